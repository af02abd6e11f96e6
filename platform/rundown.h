// Run-down protection: lets a teardown path wait for every user of a resource to leave and
// refuse new users from the moment the wait begins.
#pragma once

#include "platform/annotations.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#else

typedef struct _EX_RUNDOWN_REF {
    union {
        volatile ULONG_PTR Count;
        volatile PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

EXTERN_C_START

_IRQL_requires_max_(APC_LEVEL) VOID FASTCALL ExInitializeRundownProtection(_Out_ PEX_RUNDOWN_REF RunRef);

_Must_inspect_result_ _IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN FASTCALL ExAcquireRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);

_IRQL_requires_max_(DISPATCH_LEVEL) VOID FASTCALL ExReleaseRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);

_IRQL_requires_max_(APC_LEVEL) VOID FASTCALL ExWaitForRundownProtectionRelease(_Inout_ PEX_RUNDOWN_REF RunRef);

_IRQL_requires_max_(APC_LEVEL) VOID FASTCALL ExReInitializeRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);

EXTERN_C_END

#endif // _KERNEL_MODE
