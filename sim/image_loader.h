// Host platform: the kernel's image loader, for the x64 Windows image of the driver (fwrelay.sys
// as scripts/wdk-check links it).
//
// Contract (the documented PE32+ format and what the kernel's loader does with a driver image):
// the image is mapped at whatever address the host has free, never at its preferred base (under
// ASan that range is shadow memory), each section at its alignment; the base relocations are
// applied; every import is resolved by name against the host's routines for ntoskrnl.exe and
// WDFLDR.SYS, and one the host does not provide refuses the load with its module and name, as the
// kernel refuses an image whose import is missing. The import table is written before the
// sections get their protections (it lies in read-only data). Sections are never looked up by
// name, except INIT and PAGE, which the kernel itself finds by name (INIT to discard after
// DriverEntry, PAGE to page).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/ntbase.h"

namespace sim {

// clang's function-type sanitizer reads the bytes before an indirect call's target, which for
// an image's code may be a discarded INIT page, so it is off for the call-in.
#if defined(__clang__)
#define FWRELAY_NO_FUNCTION_SANITIZER __attribute__((no_sanitize("function")))
#else
#define FWRELAY_NO_FUNCTION_SANITIZER
#endif
// The kernel's DbgPrint, which only the Debug image imports (KdPrint); formats as DbgPrintEx.
ULONG NTAPI KernelDbgPrint(PCSTR Format, ...);

// Answers the x64 Debug image's `mov reg, cr8` (its PAGED_CODE() reads the IRQL so: a privileged
// instruction, which faults here) with the calling thread's modelled IRQL, and steps over its
// `int 0x2c` (the assertion PAGED_CODE() ends in), noting it for the call-in to report. Only
// these two instructions, only inside a mapped image. An access to discarded INIT or to a special
// pool page no block may be touched at (sim/special_pool.h) ends the run with a report naming the
// address, the faulting instruction's symbol and the block; every other fault goes to the previous
// handler, so ASan's reports and ordinary crashes stay as they were. Installed once;
// async-signal-safe.
void InstallImageFaultHandler();

class DriverImage;
// The loaded image whose mapping holds `address`, or nullptr (async-signal-safe).
const DriverImage* LoadedImageAt(std::uintptr_t address);
// Whether `address` lies in an image whose code runs on the emulated CPU (an Arm64 image).
bool InEmulatedImage(std::uintptr_t address);
// A call into an emulated image: X0-X7 and the stack hold `args`, X0 comes back.
std::uint64_t CallEmulated(std::uintptr_t routine, const std::uint64_t* args, std::size_t count);

// An argument as the emulated CPU's register holds it: every argument the host passes is an
// integer, an enumeration or a pointer.
template <class T> std::uint64_t GuestWord(T value)
{
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        return reinterpret_cast<std::uintptr_t>(value);
    } else {
        return static_cast<std::uint64_t>(value);
    }
}

// A 24 KiB kernel stack shared with the kernel and the framework frames below and above the
// driver's: the driver may use this much from a call-in to its deepest call into the host.
inline constexpr std::size_t kImageStackBudget = std::size_t{6} * 1024;

// The checks of one call from the host into an image, for as long as the call runs (nested
// call-ins on a thread stack up). Inert for the linked driver, whose frames are the host's own:
// - the stack: the caller's stack pointer now; each host routine the image calls measures how
//   far below it the image has gone (NoteImageStackDepth), the deepest is recorded per entry
//   point (Platform::RecordStackUse) and, past kImageStackBudget, is a verifier record;
// - pageable code: the routine lying in a PAGE section while the thread's modelled IRQL is above
//   APC_LEVEL is a verifier record, decided here because the host knows what it calls and at
//   which IRQL (the Release image inlines and tail-calls, so a return address would not say);
// - the Debug image's PAGED_CODE() assertions (int 0x2c, which the fault handler steps over and
//   notes) that fired under the call become verifier records when it returns.
class CallIn {
public:
    CallIn(const char* entryPoint, const void* routine, std::uintptr_t stackPointer);
    ~CallIn();
    CallIn(const CallIn&) = delete;
    CallIn& operator=(const CallIn&) = delete;

private:
    friend void NoteImageStackDepth(const void* frame);

    const char* entryPoint_;
    const DriverImage* image_ = nullptr;
    std::uintptr_t stackPointer_ = 0;
    std::uintptr_t lowest_ = 0; // the lowest stack pointer the image called the host with
    CallIn* outer_ = nullptr;
    bool emulated_ = false; // the stack is the emulated CPU's (NoteEmulatedStackPointer)
    friend void NoteEmulatedStackPointer(std::uintptr_t stackPointer, bool entry);
};

// Called first by each host routine an image calls, with its own frame address: the image's
// stack pointer at the call lies just above it (the saved frame pointer, the return address).
// Ignored under a call into an emulated image, whose stack is the emulated CPU's.
void NoteImageStackDepth(const void* frame);
// The emulated CPU's stack pointer at the call-in (`entry`) and at each of its host calls.
void NoteEmulatedStackPointer(std::uintptr_t stackPointer, bool entry);
// An assertion of the image (the Debug image's PAGED_CODE()) at `address`, stepped over: the
// call-in running reports it when it returns.
void NoteImageAssertion(std::uintptr_t address);

// The calling thread's stack pointer (the caller's frame where the compiler gives no other way).
inline std::uintptr_t StackPointer()
{
#if defined(__x86_64__)
    std::uintptr_t sp = 0;
    asm volatile("mov %%rsp, %0" : "=r"(sp));
    return sp;
#else
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#endif
}

// The one way the host calls a routine of the driver (its entry point, the DRIVER_OBJECT's
// unload routine, and every callback it handed the kernel or the framework), named by the entry
// point the kernel or the framework calls it as ("EvtDriverDeviceAdd"), through the routine's
// exact type: a BOOLEAN or VOID routine leaves the upper bits of the return register undefined.
template <class R, class... A>
FWRELAY_NO_FUNCTION_SANITIZER R CallIntoDriver(const char* entryPoint, R(NTAPI* routine)(A...),
                                               std::type_identity_t<A>... args)
{
    const CallIn callIn(entryPoint, reinterpret_cast<const void*>(routine), StackPointer());
    const auto address = reinterpret_cast<std::uintptr_t>(routine);
    if (InEmulatedImage(address)) {
        const std::uint64_t words[sizeof...(A) + 1] = {GuestWord(args)..., 0};
        const std::uint64_t result = CallEmulated(address, words, sizeof...(A));
        if constexpr (std::is_pointer_v<R>) {
            return reinterpret_cast<R>(static_cast<std::uintptr_t>(result));
        } else if constexpr (!std::is_void_v<R>) {
            return static_cast<R>(result); // only the width of R: the rest of X0 is undefined
        } else {
            (void)result;
            return;
        }
    }
    return routine(args...);
}

// A host routine as an image's import or function-table entry: it measures the image's stack
// depth, then runs the routine (variadic routines measure themselves).
template <auto F> struct MeasuredCall;
template <class R, class... A, R(NTAPI* F)(A...)> struct MeasuredCall<F> {
    static R NTAPI Call(A... args)
    {
        NoteImageStackDepth(__builtin_frame_address(0));
        return F(args...);
    }
};
template <auto F> const void* Measured()
{
    return reinterpret_cast<const void*>(&MeasuredCall<F>::Call);
}

// The address of the host routine a module exports under `name`, or nullptr.
using ImportResolver = std::function<const void*(const std::string& module, const std::string& name)>;

class DriverImage {
public:
    // Maps the image at `path`; nullptr and `error` set (naming the missing import, the bad
    // header or the unsupported relocation) when the kernel would refuse it.
    static std::unique_ptr<DriverImage> Load(const std::string& path, const ImportResolver& resolve,
                                             std::string* error);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    const std::string& Path() const { return path_; }
    std::uintptr_t Base() const { return base_; }
    // The image's CPU: IMAGE_FILE_MACHINE_AMD64 (0x8664) runs natively, ARM64 (0xAA64) emulated.
    std::uint16_t Machine() const { return machine_; }
    bool Emulated() const { return machine_ == kMachineArm64; }
    static constexpr std::uint16_t kMachineAmd64 = 0x8664;
    static constexpr std::uint16_t kMachineArm64 = 0xAA64;
    std::size_t Size() const { return size_; }
    // The entry point (FxDriverEntry: the framework's entry glue).
    void* EntryPoint() const { return reinterpret_cast<void*>(base_ + entry_); }
    // Makes INIT inaccessible, as the kernel frees it once DriverEntry has succeeded.
    void DiscardInit();
    bool InitDiscarded() const { return initDiscarded_; }
    bool Contains(std::uintptr_t address) const { return address >= base_ && address < base_ + size_; }
    // Reads the linker's map beside the image (lld-link /map) for the names of its functions, so
    // that a fault in the image is reported with the symbol; false when it cannot be read.
    bool LoadSymbols(const std::string& mapPath);
    // "Name+0xOFFSET" of the function at or before `address`, or "" (async-signal-safe: writes
    // into `out`, at most `size` bytes with the terminator).
    void SymbolAt(std::uintptr_t address, char* out, std::size_t size) const;
    // Whether `address` lies in a pageable section (PAGE, PAGExxxx): the kernel may page it out.
    bool InPageable(std::uintptr_t address) const;
    bool InDiscardedInit(std::uintptr_t address) const
    {
        return initDiscarded_ && address >= base_ + initStart_ && address < base_ + initEnd_;
    }

    struct Section {
        std::string name;
        std::uint32_t rva = 0;
        std::uint32_t size = 0; // in memory, rounded up to the section alignment
        std::uint32_t characteristics = 0;
    };
    const std::vector<Section>& Sections() const { return sections_; }

private:
    DriverImage() = default;

    std::string path_;
    std::uintptr_t base_ = 0;
    std::size_t size_ = 0;   // SizeOfImage
    std::size_t mapped_ = 0; // what was mapped (with the room to align the base)
    void* mapping_ = nullptr;
    std::uint32_t entry_ = 0;
    std::uint16_t machine_ = kMachineAmd64;
    std::vector<Section> sections_;
    std::uint64_t preferredBase_ = 0;
    std::uint32_t initStart_ = 0; // INIT's range, as RVAs
    std::uint32_t initEnd_ = 0;
    std::vector<std::pair<std::uint32_t, std::string>> symbols_; // by RVA
    bool initDiscarded_ = false;
};

} // namespace sim
