// Host platform: the kernel's image loader (see image_loader.h for the contract). The offsets are
// the documented PE32+ format's (the Windows PE format reference: DOS header, COFF file header,
// optional header, section table, import directory, base relocation table).
#include "sim/image_loader.h"

#include "sim/image_arm64.h"
#include "sim/irql.h"
#include "sim/platform.h"
#include "sim/special_pool.h"

#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string_view>

namespace sim {

namespace {

constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kScnExecute = 0x20000000;
constexpr std::uint32_t kScnRead = 0x40000000;
constexpr std::uint32_t kScnWrite = 0x80000000;
constexpr unsigned kDirectoryImport = 1;
constexpr unsigned kDirectoryBaseReloc = 5;
constexpr unsigned kRelBasedAbsolute = 0;
constexpr unsigned kRelBasedDir64 = 10;

template <class T> bool Read(const std::vector<std::uint8_t>& file, std::size_t offset, T* value)
{
    if (offset > file.size() || file.size() - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(value, file.data() + offset, sizeof(T));
    return true;
}

int Protection(std::uint32_t characteristics)
{
    int protection = 0;
    if ((characteristics & kScnRead) != 0) {
        protection |= PROT_READ;
    }
    if ((characteristics & kScnWrite) != 0) {
        protection |= PROT_WRITE;
    }
    if ((characteristics & kScnExecute) != 0) {
        protection |= PROT_EXEC;
    }
    return protection;
}

std::string Hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// The mapped images, for the fault handler, which may take no lock: a few slots of atomics.
constexpr std::size_t kImageSlots = 16;
std::atomic<const DriverImage*> images[kImageSlots];
std::atomic<unsigned> emulatedImages{0}; // how many of them run on the emulated CPU

void RegisterImage(const DriverImage* image)
{
    for (auto& slot : images) {
        const DriverImage* expected = nullptr;
        if (slot.compare_exchange_strong(expected, image)) {
            return;
        }
    }
}

void UnregisterImage(const DriverImage* image)
{
    for (auto& slot : images) {
        const DriverImage* expected = image;
        slot.compare_exchange_strong(expected, nullptr);
    }
}

const DriverImage* ImageAt(std::uintptr_t address, std::size_t length)
{
    for (auto& slot : images) {
        const DriverImage* image = slot.load();
        if (image != nullptr && image->Contains(address) && image->Contains(address + length - 1)) {
            return image;
        }
    }
    return nullptr;
}

void WriteText(const char* text)
{
    std::size_t length = std::strlen(text);
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0) {
            return;
        }
        text += written;
        length -= static_cast<std::size_t>(written);
    }
}

void WriteHex(std::uint64_t value)
{
    char text[19] = "0x";
    int digits = 16;
    while (digits > 1 && ((value >> ((digits - 1) * 4)) & 0xF) == 0) {
        --digits;
    }
    for (int i = 0; i < digits; ++i) {
        text[2 + i] = "0123456789abcdef"[(value >> ((digits - 1 - i) * 4)) & 0xF];
    }
    text[2 + digits] = '\0';
    WriteText(text);
}

// A call into, or a read of, INIT after it was discarded: what a machine would bug check on.
bool ReportDiscardedInit(std::uintptr_t address, std::uintptr_t from)
{
    for (auto& slot : images) {
        const DriverImage* image = slot.load();
        if (image == nullptr || !image->InDiscardedInit(address)) {
            continue;
        }
        char symbol[160];
        image->SymbolAt(address, symbol, sizeof symbol);
        WriteText("*** VERIFIER: driver image: access to discarded INIT at ");
        WriteHex(address);
        WriteText(" (");
        WriteText(symbol[0] != '\0' ? symbol : "no symbol");
        WriteText(", image ");
        WriteText(image->Path().c_str());
        WriteText("), from ");
        WriteHex(from);
        if (image->Contains(from)) {
            image->SymbolAt(from, symbol, sizeof symbol);
            WriteText(" (");
            WriteText(symbol);
            WriteText(")");
        }
        WriteText(": the kernel frees INIT once DriverEntry has returned\n");
        return true;
    }
    return false;
}

void WriteDecimal(std::uint64_t value)
{
    char text[24];
    char* end = text + sizeof text - 1;
    *end = '\0';
    char* at = end;
    do {
        *--at = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    WriteText(at);
}

// A load or store on a special pool page that nothing may touch: past a block's end, into a block
// freed not long ago, or into pages given back. What a machine would bug check on at once.
bool ReportSpecialPoolFault(std::uintptr_t address, std::uintptr_t rip, bool write)
{
    SpecialPoolHit hit;
    if (!SpecialPoolBlockAt(address, &hit)) {
        return false;
    }
    using What = SpecialPoolHit::What;
    WriteText("*** VERIFIER: special pool: ");
    WriteText(hit.what == What::Overrun        ? "overrun"
              : hit.what == What::UseAfterFree ? "use after free"
                                               : "access to pool pages freed earlier and given back");
    WriteText(write ? " (write) at " : " (read) at ");
    WriteHex(address);
    WriteText(" by ");
    if (const DriverImage* image = ImageAt(rip, 1); image != nullptr) {
        char symbol[160];
        image->SymbolAt(rip, symbol, sizeof symbol);
        WriteText(symbol[0] != '\0' ? symbol : "no symbol");
        WriteText(" at ");
        WriteHex(rip);
        WriteText(" (image ");
        WriteText(image->Path().c_str());
        WriteText(")");
    } else {
        WriteText("host code at ");
        WriteHex(rip);
    }
    if (hit.what != What::AgedOutOrFree) {
        WriteText(": ");
        WriteDecimal(hit.size);
        WriteText("-byte block at ");
        WriteHex(hit.block);
        WriteText(", tag '");
        char tag[5] = {};
        for (int i = 0; i < 4; ++i) {
            const auto c = static_cast<char>((hit.tag >> (8 * i)) & 0xFF);
            tag[i] = c >= 0x20 && c < 0x7F ? c : '.';
        }
        WriteText(tag);
        WriteText("'");
        if (hit.what == What::Overrun) {
            WriteText(", ");
            WriteDecimal(address - (hit.block + hit.size));
            WriteText(" bytes past its end");
        } else if (address >= hit.block && address < hit.block + hit.size) {
            WriteText(", at offset ");
            WriteDecimal(address - hit.block);
        }
    }
    WriteText("\n");
    return true;
}

struct sigaction previousSegv;

// PAGED_CODE() assertions the fault handler stepped over on this thread, for the call-in to
// report once it returns: the handler may neither allocate nor lock. Trivially initialised, so
// that reaching it from the handler runs no constructor.
struct PendingAssertions {
    static constexpr unsigned kSlots = 8;
    std::uintptr_t at[kSlots];
    KIRQL irql[kSlots];
    unsigned count; // beyond kSlots only counted
};
thread_local PendingAssertions tlsAssertions;

// The innermost call into an image running on this thread.
thread_local CallIn* tlsInnermost = nullptr;

// mov r64, cr8: REX with R set (cr8) and W, B as they come; 0F 20; ModRM mod 11, reg 000.
void OnSegv(int signal, siginfo_t* info, void* context)
{
#if defined(__x86_64__)
    auto* uc = static_cast<ucontext_t*>(context);
    const auto rip = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    // A call into INIT faults at its target: the caller is the return address on the stack.
    // (Read only then: for any other fault the stack pointer may be what faulted.)
    std::uintptr_t caller = rip;
    const DriverImage* executing = ImageAt(rip, 1);
    if (executing != nullptr && executing->InDiscardedInit(rip)) {
        std::memcpy(&caller, reinterpret_cast<const void*>(uc->uc_mcontext.gregs[REG_RSP]), sizeof caller);
    }
    if (executing != nullptr && executing->Emulated()) {
        // Its code is not executable on the host: only the emulated CPU may run it.
        char symbol[160];
        executing->SymbolAt(rip, symbol, sizeof symbol);
        WriteText("*** VERIFIER: driver image: the host called Arm64 code natively at ");
        WriteHex(rip);
        WriteText(" (");
        WriteText(symbol);
        WriteText("): a call into the image that does not go through CallIntoDriver\n");
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(SIGABRT, &fallback, nullptr);
        abort();
    }
    // The page fault's error code: bit 1 set for a write.
    const bool write = (uc->uc_mcontext.gregs[REG_ERR] & 2) != 0;
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    if (ReportDiscardedInit(rip, caller) || ReportDiscardedInit(address, rip) ||
        ReportSpecialPoolFault(address, rip, write)) {
        // Ends the run, as the bug check would; the report above says why.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(SIGABRT, &fallback, nullptr);
        abort();
    }
    if (ImageAt(rip, 4) != nullptr) {
        const auto* code = reinterpret_cast<const std::uint8_t*>(rip);
        if ((code[0] & 0xF2) == 0x40 && (code[0] & 0x04) != 0 && code[1] == 0x0F && code[2] == 0x20 &&
            (code[3] & 0xF8) == 0xC0) {
            static constexpr int kRegisters[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
                                                   REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                                   REG_R12, REG_R13, REG_R14, REG_R15};
            const unsigned target = (code[3] & 7U) | ((code[0] & 1U) << 3);
            uc->uc_mcontext.gregs[kRegisters[target]] = static_cast<greg_t>(CurrentIrql());
            uc->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(rip) + 4;
            return;
        }
    }
    // int 0x2c, the kernel's assertion failure (NT_ASSERT; the Debug image's PAGED_CODE() ends in
    // it), which user mode takes as a protection fault: noted, and the image goes on after it, as
    // a debugger continuing past the assertion would let it.
    if (ImageAt(rip, 2) != nullptr) {
        const auto* code = reinterpret_cast<const std::uint8_t*>(rip);
        if (code[0] == 0xCD && code[1] == 0x2C) {
            NoteImageAssertion(rip);
            uc->uc_mcontext.gregs[REG_RIP] = static_cast<greg_t>(rip) + 2;
            return;
        }
    }
#endif
    // Not ours: as if this handler were not there.
    if ((previousSegv.sa_flags & SA_SIGINFO) != 0 && previousSegv.sa_sigaction != nullptr) {
        previousSegv.sa_sigaction(signal, info, context);
        return;
    }
    if (previousSegv.sa_handler != SIG_DFL && previousSegv.sa_handler != SIG_IGN) {
        previousSegv.sa_handler(signal);
        return;
    }
    // The default action: restore it and let the fault recur.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

void Report(const char* entryPoint, const std::string& object, const std::string& message)
{
    if (Platform* platform = Platform::TryCurrent()) {
        platform->Verifier().Report(entryPoint, object, 0, message);
    }
}

std::string Symbol(const DriverImage& image, std::uintptr_t address)
{
    char symbol[160];
    image.SymbolAt(address, symbol, sizeof symbol);
    return symbol[0] != '\0' ? std::string(symbol) : "image+" + Hex(address - image.Base());
}

} // namespace

CallIn::CallIn(const char* entryPoint, const void* routine, std::uintptr_t stackPointer) : entryPoint_(entryPoint)
{
    const auto address = reinterpret_cast<std::uintptr_t>(routine);
    image_ = ImageAt(address, 1);
    if (image_ == nullptr) {
        return;
    }
    stackPointer_ = stackPointer;
    lowest_ = stackPointer;
    emulated_ = image_->Emulated();
    outer_ = tlsInnermost;
    tlsInnermost = this;
    const KIRQL irql = CurrentIrql();
    if (irql > APC_LEVEL && image_->InPageable(address)) {
        Report(entryPoint_, Symbol(*image_, address),
               "pageable code called at IRQL " + std::to_string(irql) +
                   ": the routine lies in a PAGE section, which may be paged out above APC_LEVEL");
    }
}

CallIn::~CallIn()
{
    if (image_ == nullptr) {
        return;
    }
    tlsInnermost = outer_;
    const PendingAssertions pending = tlsAssertions;
    tlsAssertions.count = 0;
    for (unsigned i = 0; i < std::min(pending.count, PendingAssertions::kSlots); ++i) {
        Report(entryPoint_, Symbol(*image_, pending.at[i]),
               std::string("PAGED_CODE() assertion (") + (emulated_ ? "BRK #0xF001" : "int 0x2c") + ") at IRQL " +
                   std::to_string(pending.irql[i]) +
                   ": pageable code ran above APC_LEVEL; execution went on past the assertion");
    }
    if (pending.count > PendingAssertions::kSlots) {
        Report(entryPoint_, "",
               std::to_string(pending.count - PendingAssertions::kSlots) +
                   " more PAGED_CODE() assertion(s) under this call");
    }
    const std::size_t used = stackPointer_ - lowest_;
    if (Platform* platform = Platform::TryCurrent()) {
        platform->RecordStackUse(entryPoint_, used);
    }
    if (used > kImageStackBudget) {
        Report(entryPoint_, "",
               "the image used " + std::to_string(used) +
                   " bytes of stack from the call-in to its deepest host call, past the budget of " +
                   std::to_string(kImageStackBudget) + " bytes");
    }
}

void NoteImageStackDepth(const void* frame)
{
    CallIn* callIn = tlsInnermost;
    if (callIn == nullptr || callIn->emulated_) {
        return;
    }
    const std::uintptr_t imageStackPointer = reinterpret_cast<std::uintptr_t>(frame) + 2 * sizeof(void*);
    if (imageStackPointer < callIn->lowest_) {
        callIn->lowest_ = imageStackPointer;
    }
}

void NoteEmulatedStackPointer(std::uintptr_t stackPointer, bool entry)
{
    CallIn* callIn = tlsInnermost;
    if (callIn == nullptr || !callIn->emulated_) {
        return;
    }
    if (entry) {
        callIn->stackPointer_ = stackPointer;
        callIn->lowest_ = stackPointer;
    } else if (stackPointer < callIn->lowest_) {
        callIn->lowest_ = stackPointer;
    }
}

void NoteImageAssertion(std::uintptr_t address)
{
    PendingAssertions& pending = tlsAssertions;
    if (pending.count < PendingAssertions::kSlots) {
        pending.at[pending.count] = address;
        pending.irql[pending.count] = CurrentIrql();
    }
    ++pending.count;
}

void InstallImageFaultHandler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousSegv);
    });
}

std::unique_ptr<DriverImage> DriverImage::Load(const std::string& path, const ImportResolver& resolve,
                                               std::string* error)
{
    auto fail = [&](const std::string& why) {
        *error = path + ": " + why;
        return nullptr;
    };
    // One read of the whole file: every driver test maps the image afresh, and a character at a
    // time through the stream's iterator was a sixth of an image test's instructions.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    const std::streamoff fileSize = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    std::vector<std::uint8_t> file(fileSize > 0 ? static_cast<std::size_t>(fileSize) : 0);
    if (fileSize < 0 || !in.seekg(0) || !in.read(reinterpret_cast<char*>(file.data()), fileSize)) {
        return fail("cannot be read");
    }

    std::uint32_t peOffset = 0;
    std::uint32_t signature = 0;
    std::uint16_t machine = 0;
    std::uint16_t sectionCount = 0;
    std::uint16_t optionalSize = 0;
    std::uint16_t magic = 0;
    if (file.size() < 2 || file[0] != 'M' || file[1] != 'Z' || !Read(file, 0x3C, &peOffset) ||
        !Read(file, peOffset, &signature) || signature != 0x00004550) {
        return fail("not a PE image");
    }
    const std::size_t coff = peOffset + 4;
    const std::size_t optional = coff + 20;
    if (!Read(file, coff, &machine) || !Read(file, coff + 2, &sectionCount) || !Read(file, coff + 16, &optionalSize) ||
        !Read(file, optional, &magic)) {
        return fail("truncated headers");
    }
    if ((machine != DriverImage::kMachineAmd64 && machine != DriverImage::kMachineArm64) || magic != kMagicPe32Plus) {
        return fail("not a PE32+ x64 or Arm64 image (machine " + Hex(machine) + ")");
    }
    if (machine == DriverImage::kMachineArm64 && !arm64::Available()) {
        return fail("an Arm64 image runs only on the emulated CPU, and this build has none (configure with "
                    "libunicorn-dev installed)");
    }
    std::uint32_t entry = 0;
    std::uint64_t preferredBase = 0;
    std::uint32_t sectionAlignment = 0;
    std::uint32_t sizeOfImage = 0;
    std::uint32_t sizeOfHeaders = 0;
    std::uint32_t directoryCount = 0;
    if (!Read(file, optional + 16, &entry) || !Read(file, optional + 24, &preferredBase) ||
        !Read(file, optional + 32, &sectionAlignment) || !Read(file, optional + 56, &sizeOfImage) ||
        !Read(file, optional + 60, &sizeOfHeaders) || !Read(file, optional + 108, &directoryCount)) {
        return fail("truncated optional header");
    }
    auto directory = [&](unsigned index, std::uint32_t* rva, std::uint32_t* size) {
        *rva = 0;
        *size = 0;
        return index >= directoryCount || (Read(file, optional + 112 + std::size_t{index} * 8, rva) &&
                                           Read(file, optional + 116 + std::size_t{index} * 8, size));
    };
    const long page = sysconf(_SC_PAGESIZE);
    if (sectionAlignment == 0 || (sectionAlignment & (sectionAlignment - 1)) != 0 || sectionAlignment % page != 0 ||
        sizeOfImage == 0 || sizeOfHeaders > sizeOfImage || sizeOfHeaders > file.size()) {
        return fail("section alignment " + Hex(sectionAlignment) + " or image size the host cannot map");
    }

    std::unique_ptr<DriverImage> image(new DriverImage());
    image->path_ = path;
    image->preferredBase_ = preferredBase;
    image->size_ = sizeOfImage;
    image->entry_ = entry;
    image->machine_ = machine;
    // Any free address, aligned as the sections require: an alignment beyond the page needs room.
    image->mapped_ = sizeOfImage + sectionAlignment;
    image->mapping_ = mmap(nullptr, image->mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (image->mapping_ == MAP_FAILED) {
        image->mapping_ = nullptr;
        return fail("no memory to map it");
    }
    const auto start = reinterpret_cast<std::uintptr_t>(image->mapping_);
    image->base_ = (start + sectionAlignment - 1) & ~static_cast<std::uintptr_t>(sectionAlignment - 1);
    auto* base = reinterpret_cast<std::uint8_t*>(image->base_);
    std::memcpy(base, file.data(), sizeOfHeaders);
    auto inImage = [&](std::uint64_t rva, std::uint64_t length) {
        return rva <= sizeOfImage && length <= sizeOfImage - rva;
    };

    const std::size_t table = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::size_t header = table + std::size_t{i} * 40;
        char name[9] = {};
        std::uint32_t virtualSize = 0;
        std::uint32_t rva = 0;
        std::uint32_t rawSize = 0;
        std::uint32_t rawOffset = 0;
        std::uint32_t characteristics = 0;
        if (header + 40 > file.size() || !Read(file, header + 8, &virtualSize) || !Read(file, header + 12, &rva) ||
            !Read(file, header + 16, &rawSize) || !Read(file, header + 20, &rawOffset) ||
            !Read(file, header + 36, &characteristics)) {
            return fail("truncated section table");
        }
        std::memcpy(name, file.data() + header, 8);
        const std::uint32_t copy = std::min(rawSize, virtualSize);
        const std::uint64_t rounded =
            (static_cast<std::uint64_t>(virtualSize) + sectionAlignment - 1) & ~std::uint64_t{sectionAlignment - 1};
        if (rva % sectionAlignment != 0 || !inImage(rva, rounded) || rawOffset > file.size() ||
            file.size() - rawOffset < copy) {
            return fail(std::string("section ") + name + " lies outside the image or the file");
        }
        std::memcpy(base + rva, file.data() + rawOffset, copy);
        image->sections_.push_back({name, rva, static_cast<std::uint32_t>(rounded), characteristics});
        if (image->sections_.back().name == "INIT") {
            image->initStart_ = rva;
            image->initEnd_ = static_cast<std::uint32_t>(rva + rounded);
        }
    }

    // Base relocations: the image runs wherever the host mapped it.
    const std::uint64_t delta = image->base_ - preferredBase;
    std::uint32_t relocRva = 0;
    std::uint32_t relocSize = 0;
    if (!directory(kDirectoryBaseReloc, &relocRva, &relocSize) || !inImage(relocRva, relocSize)) {
        return fail("bad base relocation directory");
    }
    for (std::uint32_t offset = 0; offset + 8 <= relocSize;) {
        std::uint32_t pageRva = 0;
        std::uint32_t blockSize = 0;
        std::memcpy(&pageRva, base + relocRva + offset, 4);
        std::memcpy(&blockSize, base + relocRva + offset + 4, 4);
        if (blockSize < 8 || blockSize > relocSize - offset) {
            return fail("bad base relocation block at " + Hex(relocRva + offset));
        }
        for (std::uint32_t e = 8; e + 2 <= blockSize; e += 2) {
            std::uint16_t item = 0;
            std::memcpy(&item, base + relocRva + offset + e, 2);
            const unsigned type = item >> 12;
            const std::uint64_t target = pageRva + (item & 0xFFFU);
            if (type == kRelBasedAbsolute) {
                continue;
            }
            if (type != kRelBasedDir64 || !inImage(target, 8)) {
                return fail("unsupported base relocation type " + std::to_string(type) + " at " + Hex(target));
            }
            std::uint64_t value = 0;
            std::memcpy(&value, base + target, 8);
            value += delta;
            std::memcpy(base + target, &value, 8);
        }
        offset += blockSize;
    }

    // Imports, by name only, before any section becomes read-only.
    std::uint32_t importRva = 0;
    std::uint32_t importSize = 0;
    if (!directory(kDirectoryImport, &importRva, &importSize) || !inImage(importRva, importSize)) {
        return fail("bad import directory");
    }
    auto text = [&](std::uint64_t rva) -> std::string {
        if (!inImage(rva, 1)) {
            return {};
        }
        const auto* s = reinterpret_cast<const char*>(base + rva);
        return std::string(s, strnlen(s, sizeOfImage - rva));
    };
    for (std::uint32_t d = importRva; importSize != 0 && inImage(d, 20); d += 20) {
        std::uint32_t lookup = 0;
        std::uint32_t nameRva = 0;
        std::uint32_t address = 0;
        std::memcpy(&lookup, base + d, 4);
        std::memcpy(&nameRva, base + d + 12, 4);
        std::memcpy(&address, base + d + 16, 4);
        if (lookup == 0 && nameRva == 0 && address == 0) {
            break;
        }
        const std::string module = text(nameRva);
        for (std::uint64_t slot = 0;; slot += 8) {
            std::uint64_t thunk = 0;
            if (!inImage((lookup != 0 ? lookup : address) + slot, 8) || !inImage(address + slot, 8)) {
                return fail("import table of " + module + " runs outside the image");
            }
            std::memcpy(&thunk, base + (lookup != 0 ? lookup : address) + slot, 8);
            if (thunk == 0) {
                break;
            }
            if ((thunk >> 63) != 0) {
                return fail("imports ordinal " + std::to_string(thunk & 0xFFFF) + " from " + module +
                            ": the host resolves imports by name only");
            }
            const std::string name = text(thunk + 2); // past the hint
            const void* routine = resolve(module, name);
            if (routine == nullptr) {
                return fail("imports " + module + "!" + name + ", which the host does not provide");
            }
            if (image->Emulated()) {
                // The emulated CPU reaches the host routine at its own address.
                arm64::ExposeHostRoutine(routine, module + "!" + name);
            }
            std::memcpy(base + address + slot, &routine, 8);
        }
    }

    // Protections last: headers read-only, each section as its characteristics say.
    if (mprotect(base, sizeOfHeaders, PROT_READ) != 0) {
        return fail("cannot protect the headers");
    }
    for (const Section& section : image->sections_) {
        // An emulated image's code is never executable on the host: a native call into it faults.
        const int protection = Protection(section.characteristics) & (image->Emulated() ? ~PROT_EXEC : ~0);
        if (section.size != 0 && mprotect(base + section.rva, section.size, protection) != 0) {
            return fail("cannot protect section " + section.name);
        }
    }
    error->clear();
    InstallImageFaultHandler();
    RegisterImage(image.get());
    if (image->Emulated()) {
        arm64::Attach(*image);
        emulatedImages.fetch_add(1);
    }
    return image;
}

DriverImage::~DriverImage()
{
    if (mapping_ != nullptr) {
        if (Emulated()) {
            arm64::Detach(*this);
            emulatedImages.fetch_sub(1);
        }
        UnregisterImage(this);
        munmap(mapping_, mapped_);
    }
}

// A C++ function's decorated name as the map gives it, `?Name@Scope@@<signature>`, read as
// `Scope::Name`, the name a report's reader looks for in the sources. Special names (`??`:
// constructors, operators) and undecorated C names stay as they are.
namespace {
std::string Undecorated(std::string_view name)
{
    const std::size_t end = name.find("@@");
    if (name.size() < 2 || name[0] != '?' || name[1] == '?' || end == std::string_view::npos) {
        return std::string(name);
    }
    std::string readable;
    std::string_view parts = name.substr(1, end - 1);
    while (!parts.empty()) {
        const std::size_t at = parts.rfind('@');
        const std::string_view part = at == std::string_view::npos ? parts : parts.substr(at + 1);
        readable += readable.empty() ? "" : "::";
        readable += part;
        parts = at == std::string_view::npos ? std::string_view() : parts.substr(0, at);
    }
    return readable;
}
} // namespace

bool DriverImage::LoadSymbols(const std::string& mapPath)
{
    // lld-link's map: " SSSS:OOOOOOOO       Name       Rva+Base        Object", Rva+Base at the
    // preferred base.
    std::ifstream in(mapPath);
    if (!in) {
        return false;
    }
    // Split by hand: every driver test maps the image afresh, and sscanf over each line of the
    // map was a third of an image test's instructions.
    auto field = [](std::string_view line, std::size_t* at) {
        auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
        while (*at < line.size() && blank(line[*at])) {
            ++*at;
        }
        const std::size_t start = *at;
        while (*at < line.size() && !blank(line[*at])) {
            ++*at;
        }
        return line.substr(start, *at - start);
    };
    auto sectionAndOffset = [](std::string_view text) {
        return text.find(':') != std::string_view::npos && std::all_of(text.begin(), text.end(), [](char c) {
                   return c == ':' || std::isxdigit(static_cast<unsigned char>(c)) != 0;
               });
    };
    std::string line;
    while (std::getline(in, line)) {
        std::size_t at = 0;
        const std::string_view section = field(line, &at);
        const std::string_view name = field(line, &at);
        const std::string_view rvaPlusBase = field(line, &at);
        unsigned long long address = 0;
        const char* const end = rvaPlusBase.data() + rvaPlusBase.size();
        const auto parsed = std::from_chars(rvaPlusBase.data(), end, address, 16);
        if (sectionAndOffset(section) && !name.empty() && parsed.ec == std::errc() && parsed.ptr == end &&
            address >= preferredBase_ && address - preferredBase_ < size_) {
            symbols_.emplace_back(static_cast<std::uint32_t>(address - preferredBase_), Undecorated(name));
        }
    }
    std::sort(symbols_.begin(), symbols_.end());
    return !symbols_.empty();
}

void DriverImage::SymbolAt(std::uintptr_t address, char* out, std::size_t size) const
{
    out[0] = '\0';
    if (!Contains(address) || size < 32) {
        return;
    }
    const auto rva = static_cast<std::uint32_t>(address - base_);
    const std::pair<std::uint32_t, std::string>* best = nullptr;
    for (const auto& symbol : symbols_) { // no allocation: safe in a signal handler
        if (symbol.first > rva) {
            break;
        }
        best = &symbol;
    }
    if (best == nullptr) {
        return;
    }
    std::size_t used = std::min(best->second.size(), size - 20);
    std::memcpy(out, best->second.data(), used);
    std::uint32_t offset = rva - best->first;
    out[used++] = '+';
    out[used++] = '0';
    out[used++] = 'x';
    char digits[9];
    int count = 0;
    do {
        digits[count++] = "0123456789abcdef"[offset & 0xF];
        offset >>= 4;
    } while (offset != 0);
    while (count > 0) {
        out[used++] = digits[--count];
    }
    out[used] = '\0';
}

bool DriverImage::InPageable(std::uintptr_t address) const
{
    return std::any_of(sections_.begin(), sections_.end(), [&](const Section& section) {
        return section.name.rfind("PAGE", 0) == 0 && address >= base_ + section.rva &&
               address < base_ + section.rva + section.size;
    });
}

void DriverImage::DiscardInit()
{
    initDiscarded_ = true;
    // No emulated CPU may still map the pages when they go.
    arm64::DiscardInit(*this);
    for (const Section& section : sections_) {
        if (section.name == "INIT" && section.size != 0) {
            mprotect(reinterpret_cast<void*>(base_ + section.rva), section.size, PROT_NONE);
        }
    }
}

const DriverImage* LoadedImageAt(std::uintptr_t address)
{
    return ImageAt(address, 1);
}

bool InEmulatedImage(std::uintptr_t address)
{
    if (emulatedImages.load(std::memory_order_relaxed) == 0) {
        return false;
    }
    const DriverImage* image = ImageAt(address, 1);
    return image != nullptr && image->Emulated();
}

std::uint64_t CallEmulated(std::uintptr_t routine, const std::uint64_t* args, std::size_t count)
{
    return arm64::Call(routine, args, count);
}

} // namespace sim
