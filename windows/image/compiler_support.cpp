// What MSVC expands inline and clang 19 leaves as a call, for the x64 images scripts/wdk-check
// links on Linux. The kit's KeGetCurrentIrql (wdm.h, behind the debug build's PAGED_CODE) reads
// CR8 through the __readcr8 intrinsic; clang's intrin.h declares it but defines no body, so the
// image would import a name no kernel exports. A WDK build never compiles this file.
#include <ntddk.h>

#if defined(_AMD64_)
EXTERN_C unsigned long __readcr8(void)
{
    unsigned __int64 value;

    __asm__ __volatile__("movq %%cr8, %0" : "=r"(value));
    return static_cast<unsigned long>(value);
}
#endif
