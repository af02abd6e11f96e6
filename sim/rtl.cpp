// Run-time library, debug print and run-down protection.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/debug.h"
#include "platform/rtl.h"
#include "platform/rundown.h"
#include "sim/image_loader.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/platform.h"
#include "sim/strings.h"

#pragma GCC diagnostic ignored "-Wformat-nonliteral"

using sim::Platform;

EXTERN_C VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    std::size_t count = 0;
    while (SourceString[count] != 0) {
        ++count;
    }
    // The kernel caps the length at the largest even USHORT; so do we.
    std::size_t bytes = std::min<std::size_t>(count * sizeof(WCHAR), 0xFFFC);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

EXTERN_C SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const auto* a = static_cast<const unsigned char*>(Source1);
    const auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        ++i;
    }
    return i;
}

namespace {

// The variable arguments of a routine the driver calls with the Windows convention: on x86-64
// they follow the Windows layout (every argument in an 8-byte slot), which only the compiler's
// ms_abi va_list can walk; an ordinary va_list there compiles and reads the wrong places.
#if defined(__x86_64__)
using KernelVaList = __builtin_ms_va_list;
#define KERNEL_VA_START(list, last) __builtin_ms_va_start(list, last)
#define KERNEL_VA_END(list) __builtin_ms_va_end(list)
#else
using KernelVaList = va_list;
#define KERNEL_VA_START(list, last) va_start(list, last)
#define KERNEL_VA_END(list) va_end(list)
#endif

// Formats as the kernel's debug print does (its own printf: a long is 32 bits, %I64 and %ll take
// 64 bits, %I and %z take a pointer-sized integer, %wZ a PCUNICODE_STRING, %ws a wide string).
// A conversion it cannot follow ends the formatting: the argument's size is unknown, so no later
// argument can be read safely and the rest of the format is shown as written.
std::string FormatKernel(PCSTR format, KernelVaList& args)
{
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        if (p[0] == 'w' && (p[1] == 'Z' || p[1] == 's')) {
            ++p;
            std::u16string text;
            if (*p == 'Z') {
                auto* string = __builtin_va_arg(args, PCUNICODE_STRING);
                out += string != nullptr ? sim::Narrow(*string) : std::string("(null)");
                continue;
            }
            auto* wide = __builtin_va_arg(args, PCWSTR);
            if (wide == nullptr) {
                out += "(null)";
                continue;
            }
            for (; *wide != 0; ++wide) {
                text += *wide;
            }
            out += sim::Narrow(text);
            continue;
        }
        std::string flags(start, 1); // '%' and the flags, width and precision, for snprintf
        while (*p != '\0' && std::strchr("0123456789.-+ #", *p) != nullptr) {
            flags += *p++;
        }
        int bits = 32;
        std::string size; // as written, to show an unfollowed conversion
        if (std::strncmp(p, "I64", 3) == 0 || std::strncmp(p, "ll", 2) == 0) {
            size.assign(p, p[0] == 'I' ? 3 : 2);
            bits = 64;
        } else if (std::strncmp(p, "I32", 3) == 0) {
            size.assign(p, 3);
        } else if (*p == 'I' || *p == 'z') {
            size.assign(p, 1);
            bits = 64;
        } else if (*p == 'l' || *p == 'h') {
            size.assign(p, 1);
        }
        p += size.size();
        if (*p == '\0') {
            out += flags + size; // a format that ends inside a conversion
            break;
        }
        char buffer[64];
        switch (*p) {
        case 'x':
        case 'X':
        case 'u':
        case 'o':
        case 'd':
        case 'i': {
            // Every argument fills an 8-byte slot; a 32-bit one leaves the upper half undefined.
            auto slot = __builtin_va_arg(args, unsigned long long);
            bool isSigned = *p == 'd' || *p == 'i';
            std::string spec = flags + "ll" + *p;
            if (bits == 32) {
                slot = isSigned ? static_cast<unsigned long long>(static_cast<long long>(static_cast<int>(slot)))
                                : static_cast<unsigned int>(slot);
            }
            if (isSigned) {
                std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<long long>(slot));
            } else {
                std::snprintf(buffer, sizeof buffer, spec.c_str(), slot);
            }
            out += buffer;
            continue;
        }
        case 'c':
            out += static_cast<char>(__builtin_va_arg(args, unsigned long long));
            continue;
        case 'p':
            std::snprintf(buffer, sizeof buffer, "%p", __builtin_va_arg(args, void*));
            out += buffer;
            continue;
        case 's': {
            const char* text = __builtin_va_arg(args, const char*);
            out += text != nullptr ? text : "(null)";
            continue;
        }
        default:
            out += flags + size;
            out += p;
            return out;
        }
    }
    return out;
}

} // namespace

EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    sim::NoteImageStackDepth(__builtin_frame_address(0));
    KernelVaList args;
    KERNEL_VA_START(args, Format);
    std::string out = FormatKernel(Format, args);
    KERNEL_VA_END(args);
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "[component %u level %u] ", ComponentId, Level);
    Platform::Current().AddDebugOutput(out);
    Platform::Current().Trace().Add("driver", "kernel", "DbgPrintEx", prefix + out);
    return 0;
}

// What the Debug image's KdPrint calls (its PAGED_CODE() reports a wrong IRQL through it).
ULONG NTAPI sim::KernelDbgPrint(PCSTR Format, ...)
{
    sim::NoteImageStackDepth(__builtin_frame_address(0));
    KernelVaList args;
    KERNEL_VA_START(args, Format);
    std::string out = FormatKernel(Format, args);
    KERNEL_VA_END(args);
    Platform::Current().AddDebugOutput(out);
    Platform::Current().Trace().Add("driver", "kernel", "DbgPrint", out);
    return 0;
}

// ---- Run-down protection ----
// Count holds twice the number of grants; bit 0 says run-down has begun. Waiting goes through
// the scheduler, so a wait for a blocked holder is seen as idle and as a possible deadlock.
namespace {
constexpr ULONG_PTR kRundownActive = 1;

ULONG_PTR Load(PEX_RUNDOWN_REF r)
{
    return __atomic_load_n(&r->Count, __ATOMIC_SEQ_CST);
}
} // namespace

EXTERN_C VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    sim::RequireIrqlAtMost("ExInitializeRundownProtection", APC_LEVEL);
    __atomic_store_n(&RunRef->Count, 0, __ATOMIC_SEQ_CST);
}

EXTERN_C BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    sim::RequireIrqlAtMost("ExAcquireRundownProtection", DISPATCH_LEVEL);
    ULONG_PTR value = Load(RunRef);
    for (;;) {
        if ((value & kRundownActive) != 0) {
            return FALSE;
        }
        if (__atomic_compare_exchange_n(&RunRef->Count, &value, value + 2, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            return TRUE;
        }
    }
}

EXTERN_C VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    sim::RequireIrqlAtMost("ExReleaseRundownProtection", DISPATCH_LEVEL);
    // Checked and taken in one step, so that two releases of one grant racing each other are
    // caught instead of wrapping the count.
    ULONG_PTR value = Load(RunRef);
    for (;;) {
        if (value < 2) {
            Platform::Current().Verifier().Report("ExReleaseRundownProtection", sim::Verifier::Pointer(RunRef), 0,
                                                  "release of run-down protection that is not held");
            return;
        }
        if (__atomic_compare_exchange_n(&RunRef->Count, &value, value - 2, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            break;
        }
    }
    if (value - 2 == kRundownActive) {
        Platform::Current().Sched().Notify();
    }
}

EXTERN_C VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    sim::RequireIrqlAtMost("ExWaitForRundownProtectionRelease", APC_LEVEL);
    // The kernel parks its one waiter's wait block in the reference itself; a second waiter would
    // read that pointer as a count. The model flags it and lets it wait as well.
    Platform& platform = Platform::Current();
    const bool first = platform.Kernel().BeginRundownWait(RunRef);
    if (!first) {
        platform.Verifier().Report("ExWaitForRundownProtectionRelease", sim::Verifier::Pointer(RunRef), 0,
                                   "a second thread waits for run-down on a reference another thread already waits on "
                                   "(the kernel supports one waiter)");
    }
    __atomic_fetch_or(&RunRef->Count, kRundownActive, __ATOMIC_SEQ_CST);
    auto& scheduler = platform.Sched();
    {
        std::unique_lock lock(scheduler.Mutex());
        std::function<bool()> drained = [RunRef] { return Load(RunRef) == kRundownActive; };
        scheduler.WaitUntil(lock, drained);
    }
    if (first) {
        platform.Kernel().EndRundownWait(RunRef);
    }
}

EXTERN_C VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    sim::RequireIrqlAtMost("ExReInitializeRundownProtection", APC_LEVEL);
    if (Load(RunRef) != kRundownActive) {
        Platform::Current().Verifier().Report("ExReInitializeRundownProtection", sim::Verifier::Pointer(RunRef), 0,
                                              "re-initialised before run-down completed");
    }
    __atomic_store_n(&RunRef->Count, 0, __ATOMIC_SEQ_CST);
}
