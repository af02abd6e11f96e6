// Run-time library, debug print and run-down protection.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/debug.h"
#include "platform/rtl.h"
#include "platform/rundown.h"
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

EXTERN_C ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...)
{
    // A small formatter for what kernel code prints: printf conversions plus %wZ.
    std::string out;
    va_list args;
    va_start(args, Format);
    for (const char* p = Format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            continue;
        }
        if (p[0] == 'w' && p[1] == 'Z') {
            ++p;
            auto* text = va_arg(args, PCUNICODE_STRING);
            out += text != nullptr ? sim::Narrow(*text) : std::string("(null)");
            continue;
        }
        std::string spec(start, 1);
        while (*p != '\0' && std::strchr("0123456789.-+ #lhzj", *p) != nullptr) {
            spec += *p++;
        }
        if (*p == '\0') {
            out += spec; // a format that ends inside a conversion
            break;
        }
        spec += *p;
        char buffer[64];
        bool understood = true;
        switch (*p) {
        case 'x':
        case 'X':
        case 'u':
        case 'd':
        case 'i':
        case 'c':
            if (spec.find("ll") != std::string::npos) {
                std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, long long));
            } else if (spec.find('z') != std::string::npos) {
                std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, std::size_t));
            } else {
                // A kernel long is 32 bits: "%lx" takes a ULONG, which the host formats as int.
                spec.erase(std::remove(spec.begin(), spec.end(), 'l'), spec.end());
                std::snprintf(buffer, sizeof buffer, spec.c_str(), va_arg(args, int));
            }
            out += buffer;
            break;
        case 'p':
            std::snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
            out += buffer;
            break;
        case 's': {
            const char* text = va_arg(args, const char*);
            out += text != nullptr ? text : "(null)";
            break;
        }
        default:
            understood = false;
            break;
        }
        if (!understood) {
            // The argument's type is unknown, so no later argument can be read safely: the rest
            // of the format is shown as written.
            out += spec;
            out += p + 1;
            break;
        }
    }
    va_end(args);
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "[component %u level %u] ", ComponentId, Level);
    Platform::Current().AddDebugOutput(out);
    Platform::Current().Trace().Add("driver", "kernel", "DbgPrintEx", prefix + out);
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
