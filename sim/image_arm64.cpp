// Host platform: the emulated Arm64 CPU (see image_arm64.h for the contract).
#include "sim/image_arm64.h"

#include "sim/arena.h"
#include "sim/image_loader.h"
#include "sim/platform.h"

#if defined(FWRELAY_HAVE_UNICORN)

#include <pthread.h>
#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "platform/ntbase.h"

namespace sim::arm64 {

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kGuestStack = std::size_t{256} << 10;
constexpr std::size_t kStackArguments = 8; // read past X7 for every host call
constexpr std::uint32_t kScnExecute = 0x20000000;
constexpr std::uint32_t kScnRead = 0x40000000;
constexpr std::uint32_t kScnWrite = 0x80000000;

using HostRoutine = std::uint64_t(NTAPI*)(std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                                          std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                                          std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t,
                                          std::uint64_t);

struct Shared {
    std::shared_mutex mutex; // images and routines
    // Each attached image with a number of its own: a new image may get an old one's address.
    std::vector<std::pair<const DriverImage*, std::uint64_t>> images;
    std::uint64_t attachments = 0;
    std::unordered_map<std::uintptr_t, std::string> routines;
    std::atomic<std::uint64_t> generation{1};
    // The guest-execution lock: one CPU runs guest code at a time.
    std::mutex guest;
    std::atomic<unsigned> handOverEvery{0};
    std::atomic<std::uint64_t> seed{0};
    std::atomic<std::uint64_t> handOvers{0};
    std::atomic<std::uint64_t> seededCpus{0};
    // Where a call into the image returns to: a page no CPU maps, so the return is a fetch
    // that fails there.
    std::uintptr_t sentinel = 0;
};

Shared& State()
{
    static Shared* shared = [] {
        auto* s = new Shared();
        void* page = mmap(nullptr, kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        s->sentinel = page == MAP_FAILED ? 0x10 : reinterpret_cast<std::uintptr_t>(page);
        if (const char* text = std::getenv("FWRELAY_ARM64_SEED"); text != nullptr && *text != '\0') {
            s->seed = std::strtoull(text, nullptr, 0);
            s->handOverEvery = 16;
        }
        return s;
    }();
    return *shared;
}

std::string Hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// "fwrelay.sys+0x1234 (Name+0x10)", "host routine Name", or the bare address.
std::string Where(std::uint64_t address)
{
    if (const DriverImage* image = LoadedImageAt(address)) {
        char symbol[160];
        image->SymbolAt(address, symbol, sizeof symbol);
        std::string text =
            image->Path().substr(image->Path().find_last_of('/') + 1) + "+" + Hex(address - image->Base());
        return symbol[0] != '\0' ? text + " (" + symbol + ")" : text;
    }
    Shared& s = State();
    std::shared_lock lock(s.mutex);
    if (const auto it = s.routines.find(address); it != s.routines.end()) {
        return "host routine " + it->second;
    }
    if (Arena::Contains(reinterpret_cast<const void*>(address))) {
        return Hex(address) + " (arena+" + Hex(address - Arena::Base()) + ")";
    }
    return Hex(address);
}

[[noreturn]] void EndRun(const std::string& what)
{
    std::string text = "*** VERIFIER: driver image (Arm64): " + what + "\n";
    if (const std::uint64_t seed = State().seed.load(); State().handOverEvery.load() != 0) {
        text += "*** the guest lock was handed over with seed " + Hex(seed) + " (FWRELAY_ARM64_SEED)\n";
    }
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
    std::abort();
}

std::uint32_t Protection(std::uint32_t characteristics)
{
    std::uint32_t protection = 0;
    protection |= (characteristics & kScnRead) != 0 ? UC_PROT_READ : 0;
    protection |= (characteristics & kScnWrite) != 0 ? UC_PROT_WRITE : 0;
    protection |= (characteristics & kScnExecute) != 0 ? UC_PROT_EXEC : 0;
    return protection;
}

class Engine {
public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    std::uint64_t Call(std::uintptr_t target, const std::uint64_t* args, std::size_t count);

private:
    enum class Stop {
        None,
        Returned,
        HostCall,
        Fault,
        Break
    };
    struct Mapped {
        const DriverImage* image;
        std::uint64_t attachment;
        std::uintptr_t base;
        struct Range {
            std::uintptr_t start;
            std::size_t size;
            std::uint32_t protection;
        };
        std::vector<Range> ranges;
        std::uintptr_t initStart;
        std::size_t initSize;
        bool initUnmapped;
    };

    static bool OnInvalid(uc_engine* uc, uc_mem_type type, std::uint64_t address, int size, std::int64_t value,
                          void* self);
    static void OnInterrupt(uc_engine* uc, std::uint32_t number, void* self);
    static void OnAccess(uc_engine* uc, uc_mem_type type, std::uint64_t address, int size, std::int64_t value,
                         void* self);
    static void OnBlock(uc_engine* uc, std::uint64_t address, std::uint32_t size, void* self);

    void Sync();
    bool MapHostStack(std::uint64_t address);
    std::uint64_t Reg(int reg) const;
    void SetReg(int reg, std::uint64_t value);
    std::uint64_t HostCall(std::uint64_t routine);
    void Fail(const std::string& what);

    uc_engine* uc_ = nullptr;
    std::uint64_t generation_ = 0;
    std::vector<Mapped> mapped_;
    void* stack_ = nullptr;
    std::uintptr_t stackTop_ = 0;
    int depth_ = 0;
    std::uintptr_t hostStackLow_ = 0;    // the host thread's stack
    std::uintptr_t hostStackMapped_ = 0; // mapped from here to its top
    std::uintptr_t hostStackTop_ = 0;
    std::mt19937_64 random_;
    bool blockHook_ = false;

    Stop stop_ = Stop::None;
    std::uint64_t stopAddress_ = 0;
    std::uint64_t stopPc_ = 0;
    uc_mem_type stopType_ = UC_MEM_READ;
    std::uint32_t stopInterrupt_ = 0;
};

Engine::Engine()
{
    uc_err err = uc_open(UC_ARCH_ARM64, UC_MODE_ARM, &uc_);
    if (err == UC_ERR_OK) {
        // The kit's compiler emits the Armv8.1 atomics (LSE), which the default model lacks.
        err = uc_ctl_set_cpu_model(uc_, UC_CPU_ARM64_MAX);
    }
    stack_ = GuestVisibleAllocate(kGuestStack);
    if (err != UC_ERR_OK || stack_ == nullptr || !Arena::Active()) {
        EndRun(std::string("the emulated CPU cannot start: ") + (err != UC_ERR_OK ? uc_strerror(err) : "no arena"));
    }
    stackTop_ = (reinterpret_cast<std::uintptr_t>(stack_) + kGuestStack - 64) & ~std::uintptr_t{15};
    // The arena is data: readable and writable, never executable.
    err = uc_mem_map_ptr(uc_, Arena::Base(), Arena::kSize, UC_PROT_READ | UC_PROT_WRITE,
                         reinterpret_cast<void*>(Arena::Base()));
    if (err != UC_ERR_OK) {
        EndRun(std::string("cannot map the arena: ") + uc_strerror(err));
    }
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        std::size_t size = 0;
        pthread_attr_getstack(&attributes, &low, &size);
        pthread_attr_destroy(&attributes);
        hostStackLow_ = reinterpret_cast<std::uintptr_t>(low);
        hostStackTop_ = hostStackLow_ + size;
        hostStackMapped_ = hostStackTop_;
    }
    uc_hook hook = 0;
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&OnInvalid), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&OnInterrupt), this, 1, 0);
    uc_hook_add(uc_, &hook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(&OnAccess), this, 1, 0);
}

Engine::~Engine()
{
    if (uc_ != nullptr) {
        uc_close(uc_);
    }
    GuestVisibleFree(stack_);
}

std::uint64_t Engine::Reg(int reg) const
{
    std::uint64_t value = 0;
    uc_reg_read(uc_, reg, &value);
    return value;
}

void Engine::SetReg(int reg, std::uint64_t value)
{
    uc_reg_write(uc_, reg, &value);
}

void Engine::Fail(const std::string& what)
{
    EndRun(what + "; X30 (LR) " + Where(Reg(UC_ARM64_REG_LR)));
}

// Brings this CPU's view of the images up to date: runs only on the CPU's own thread, under the
// guest lock, so no CPU executes while an image's pages change.
void Engine::Sync()
{
    Shared& s = State();
    const std::uint64_t generation = s.generation.load();
    if (generation == generation_) {
        return;
    }
    std::shared_lock lock(s.mutex);
    // Images gone: their pages may be someone else's now.
    std::erase_if(mapped_, [&](Mapped& m) {
        if (std::find(s.images.begin(), s.images.end(), std::pair(m.image, m.attachment)) != s.images.end()) {
            return false;
        }
        for (const Mapped::Range& range : m.ranges) {
            uc_mem_unmap(uc_, range.start, range.size);
        }
        return true;
    });
    for (const auto& [image, attachment] : s.images) {
        auto it = std::find_if(mapped_.begin(), mapped_.end(),
                               [&, attachment = attachment](const Mapped& m) { return m.attachment == attachment; });
        if (it == mapped_.end()) {
            Mapped m{image, attachment, image->Base(), {}, 0, 0, false};
            const std::size_t headers = image->Sections().empty() ? kPage : image->Sections().front().rva;
            m.ranges.push_back({image->Base(), headers, UC_PROT_READ});
            for (const DriverImage::Section& section : image->Sections()) {
                if (section.size == 0) {
                    continue;
                }
                m.ranges.push_back({image->Base() + section.rva, section.size, Protection(section.characteristics)});
                if (section.name == "INIT") {
                    m.initStart = image->Base() + section.rva;
                    m.initSize = section.size;
                }
            }
            for (const Mapped::Range& range : m.ranges) {
                if (uc_mem_map_ptr(uc_, range.start, range.size, range.protection,
                                   reinterpret_cast<void*>(range.start)) != UC_ERR_OK) {
                    EndRun("cannot map " + Where(range.start) + " into the emulated CPU");
                }
            }
            mapped_.push_back(std::move(m));
            it = std::prev(mapped_.end());
        }
        if (image->InitDiscarded() && !it->initUnmapped && it->initSize != 0) {
            uc_mem_unmap(uc_, it->initStart, it->initSize);
            std::erase_if(it->ranges, [&](const Mapped::Range& r) { return r.start == it->initStart; });
            it->initUnmapped = true;
        }
    }
    generation_ = generation;
}

// A host object on this thread's stack handed to the driver (a string, a notification record):
// the pages from it up to what is already mapped. Only a frame that is live can be handed over,
// and every page above the host's stack pointer exists.
bool Engine::MapHostStack(std::uint64_t address)
{
    if (address < hostStackLow_ || address >= hostStackMapped_) {
        return false;
    }
    const std::uintptr_t low = address & ~(kPage - 1);
    if (uc_mem_map_ptr(uc_, low, hostStackMapped_ - low, UC_PROT_READ | UC_PROT_WRITE, reinterpret_cast<void*>(low)) !=
        UC_ERR_OK) {
        return false;
    }
    hostStackMapped_ = low;
    return true;
}

bool Engine::OnInvalid(uc_engine* uc, uc_mem_type type, std::uint64_t address, int, std::int64_t, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    Shared& s = State();
    if (type == UC_MEM_FETCH_UNMAPPED) {
        if (address == s.sentinel) {
            engine->stop_ = Stop::Returned;
            return false;
        }
        std::shared_lock lock(s.mutex);
        if (s.routines.count(address) != 0) {
            engine->stop_ = Stop::HostCall;
            engine->stopAddress_ = address;
            return false;
        }
    } else if ((type == UC_MEM_READ_UNMAPPED || type == UC_MEM_WRITE_UNMAPPED) && engine->MapHostStack(address)) {
        return true;
    }
    engine->stop_ = Stop::Fault;
    engine->stopType_ = type;
    engine->stopAddress_ = address;
    std::uint64_t pc = 0;
    uc_reg_read(uc, UC_ARM64_REG_PC, &pc);
    engine->stopPc_ = pc;
    return false;
}

// Every load and store of guest code (the hook also makes the CPU keep its PC exact, so that a
// fault names its own instruction, not its block): a pool block's guard or a freed block ends
// the run, as the special pool's fault would.
void Engine::OnAccess(uc_engine* uc, uc_mem_type type, std::uint64_t address, int size, std::int64_t, void*)
{
    std::string what;
    if (!ArenaAccessFault(address, static_cast<std::size_t>(size), &what)) {
        return;
    }
    std::uint64_t pc = 0;
    uc_reg_read(uc, UC_ARM64_REG_PC, &pc);
    EndRun(std::string(type == UC_MEM_WRITE ? "write" : "read") + " of " + std::to_string(size) + " byte(s) at " +
           Hex(address) + " by " + Where(pc) + ": " + what);
}

void Engine::OnInterrupt(uc_engine* uc, std::uint32_t number, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    engine->stop_ = Stop::Break;
    engine->stopInterrupt_ = number;
    std::uint64_t pc = 0;
    uc_reg_read(uc, UC_ARM64_REG_PC, &pc);
    engine->stopPc_ = pc;
    uc_emu_stop(uc);
}

void Engine::OnBlock(uc_engine*, std::uint64_t, std::uint32_t, void* self)
{
    auto* engine = static_cast<Engine*>(self);
    Shared& s = State();
    const unsigned every = s.handOverEvery.load(std::memory_order_relaxed);
    if (every != 0 && engine->random_() % every == 0) {
        // Only at a block boundary: an exclusive pair or an LSE instruction is never split.
        s.guest.unlock();
        s.handOvers.fetch_add(1, std::memory_order_relaxed);
        sched_yield();
        s.guest.lock();
        engine->Sync(); // what changed meanwhile (a discarded INIT) before the next block
    }
}

// Through one integer signature on purpose: clang's function-type sanitizer would flag every call.
FWRELAY_NO_FUNCTION_SANITIZER std::uint64_t Engine::HostCall(std::uint64_t routine)
{
    std::uint64_t a[8 + kStackArguments] = {};
    for (int i = 0; i < 8; ++i) {
        a[i] = Reg(UC_ARM64_REG_X0 + i);
    }
    const std::uint64_t sp = Reg(UC_ARM64_REG_SP);
    NoteEmulatedStackPointer(sp, false);
    if (Arena::Contains(reinterpret_cast<const void*>(sp), kStackArguments * 8)) {
        std::memcpy(a + 8, reinterpret_cast<const void*>(sp), kStackArguments * 8);
    }
    // Every argument is an integer or a pointer: one signature calls them all, and a routine
    // reads only the arguments it has.
    const auto host = reinterpret_cast<HostRoutine>(routine);
    return host(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10], a[11], a[12], a[13], a[14], a[15]);
}

std::uint64_t Engine::Call(std::uintptr_t target, const std::uint64_t* args, std::size_t count)
{
    Shared& s = State();
    // A call made while the image is in a host call (a callback from inside a host routine):
    // below the caller's frames, and the caller's registers restored after.
    uc_context* saved = nullptr;
    std::uint64_t sp = stackTop_;
    if (depth_ > 0) {
        uc_context_alloc(uc_, &saved);
        uc_context_save(uc_, saved);
        sp = (Reg(UC_ARM64_REG_SP) - 64) & ~std::uint64_t{15};
    }
    if (count > 8) {
        sp = (sp - (count - 8) * 8) & ~std::uint64_t{15};
        std::memcpy(reinterpret_cast<void*>(sp), args + 8, (count - 8) * 8);
    }
    for (std::size_t i = 0; i < std::min<std::size_t>(count, 8); ++i) {
        SetReg(UC_ARM64_REG_X0 + static_cast<int>(i), args[i]);
    }
    SetReg(UC_ARM64_REG_SP, sp);
    SetReg(UC_ARM64_REG_LR, s.sentinel);
    NoteEmulatedStackPointer(sp, true);
    ++depth_;
    if (!blockHook_ && s.handOverEvery.load() != 0) {
        // Each CPU's stream from the seed and the order in which CPUs first ran guest code, not
        // from an address, which moves from run to run: the printed seed has to give the same
        // choices again.
        random_.seed(s.seed.load() ^ (0x9E3779B97F4A7C15ULL * (s.seededCpus.fetch_add(1) + 1)));
        uc_hook hook = 0;
        uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(&OnBlock), this, 1, 0);
        blockHook_ = true;
    }
    std::uint64_t pc = target;
    for (;;) {
        stop_ = Stop::None;
        uc_err err = UC_ERR_OK;
        {
            std::lock_guard lock(s.guest);
            Sync();
            err = uc_emu_start(uc_, pc, 0, 0, 0);
        }
        if (stop_ == Stop::Returned) {
            break;
        }
        if (stop_ == Stop::HostCall) {
            const std::uint64_t result = HostCall(stopAddress_);
            SetReg(UC_ARM64_REG_X0, result);
            pc = Reg(UC_ARM64_REG_LR);
            continue;
        }
        if (stop_ == Stop::Break) {
            std::uint32_t instruction = 0;
            uc_mem_read(uc_, stopPc_, &instruction, sizeof instruction);
            if ((instruction & 0xFFE0001FU) != 0xD4200000U) { // not BRK: the PC is past it
                stopPc_ -= 4;
                uc_mem_read(uc_, stopPc_, &instruction, sizeof instruction);
            }
            const unsigned code = (instruction & 0xFFE0001FU) == 0xD4200000U ? (instruction >> 5) & 0xFFFF : ~0U;
            if (code == 0xF001) {
                // The kit's NT_ASSERT (the Debug image's PAGED_CODE() ends in it): the call-in
                // records it, and the image goes on past it as a debugger would let it.
                NoteImageAssertion(stopPc_);
                pc = stopPc_ + 4;
                continue;
            }
            const char* what = code == 0xF000   ? "break (BRK #0xF000)"
                               : code == 0xF003 ? "fast fail (BRK #0xF003)"
                               : code == ~0U    ? "exception"
                                                : "BRK";
            Fail(std::string(what) + " " + (code != ~0U ? Hex(code) : Hex(stopInterrupt_)) + " at " + Where(stopPc_));
        }
        if (stop_ == Stop::Fault) {
            // The access hook keeps the PC exact: it is the faulting instruction. A fetch names
            // its caller by the link register: the host's own call-in, or the image.
            const bool fetch = stopType_ == UC_MEM_FETCH_UNMAPPED || stopType_ == UC_MEM_FETCH_PROT;
            const std::uint64_t lr = Reg(UC_ARM64_REG_LR);
            const std::string by = !fetch             ? "by " + Where(Reg(UC_ARM64_REG_PC))
                                   : lr == s.sentinel ? "called by the host's call-in"
                                                      : "called from " + Where(lr);
            const DriverImage* image = LoadedImageAt(stopAddress_);
            std::string what = fetch ? "fetch" : "access";
            what += stopType_ == UC_MEM_WRITE_UNMAPPED || stopType_ == UC_MEM_WRITE_PROT ? " (write)" : "";
            if (image != nullptr && image->InDiscardedInit(stopAddress_)) {
                EndRun(what + " of discarded INIT at " + Where(stopAddress_) + ", " + by +
                       ": the kernel frees INIT once DriverEntry has returned");
            }
            EndRun(what + " of unmapped or protected " + Where(stopAddress_) + ", " + by);
        }
        Fail(std::string("the emulated CPU stopped: ") + uc_strerror(err) + " at " + Where(Reg(UC_ARM64_REG_PC)));
    }
    --depth_;
    const std::uint64_t result = Reg(UC_ARM64_REG_X0);
    if (saved != nullptr) {
        uc_context_restore(uc_, saved);
        uc_context_free(saved);
    }
    return result;
}

Engine& ThisThread()
{
    thread_local Engine engine;
    return engine;
}

} // namespace

bool Available()
{
    return true;
}

void Attach(const DriverImage& image)
{
    Arena::Activate();
    Shared& s = State();
    std::unique_lock lock(s.mutex);
    s.images.emplace_back(&image, ++s.attachments);
    s.generation.fetch_add(1);
}

void Detach(const DriverImage& image)
{
    Shared& s = State();
    std::lock_guard guest(s.guest);
    std::unique_lock lock(s.mutex);
    std::erase_if(s.images, [&](const auto& attached) { return attached.first == &image; });
    s.generation.fetch_add(1);
}

void DiscardInit(const DriverImage&)
{
    // Every CPU unmaps INIT before it runs again: none is running now (the lock is held).
    Shared& s = State();
    s.guest.lock();
    s.generation.fetch_add(1);
    s.guest.unlock();
}

void ExposeHostRoutine(const void* routine, const std::string& name)
{
    Shared& s = State();
    std::unique_lock lock(s.mutex);
    s.routines.emplace(reinterpret_cast<std::uintptr_t>(routine), name);
}

std::uint64_t Call(std::uintptr_t target, const std::uint64_t* args, std::size_t count)
{
    return ThisThread().Call(target, args, count);
}

void SetHandOver(std::uint64_t seed, unsigned every)
{
    State().seed = seed;
    State().handOverEvery = every;
}

std::uint64_t HandOvers()
{
    return State().handOvers.load();
}

} // namespace sim::arm64

#else // without the emulated CPU: an Arm64 image is refused at load

namespace sim::arm64 {
bool Available()
{
    return false;
}
void Attach(const DriverImage&) {}
void Detach(const DriverImage&) {}
void DiscardInit(const DriverImage&) {}
void ExposeHostRoutine(const void*, const std::string&) {}
std::uint64_t Call(std::uintptr_t, const std::uint64_t*, std::size_t)
{
    std::abort();
}
void SetHandOver(std::uint64_t, unsigned) {}
std::uint64_t HandOvers()
{
    return 0;
}
} // namespace sim::arm64

#endif
