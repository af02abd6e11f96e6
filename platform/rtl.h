// Run-time library: counted strings and memory helpers.
#pragma once

#include "platform/annotations.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#else

#define RtlCopyMemory(Destination, Source, Length) __builtin_memcpy((Destination), (Source), (Length))
#define RtlZeroMemory(Destination, Length) __builtin_memset((Destination), 0, (Length))

EXTERN_C_START

_IRQL_requires_max_(DISPATCH_LEVEL) VOID NTAPI
    RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString, _In_opt_ PCWSTR SourceString);

_IRQL_requires_max_(DISPATCH_LEVEL) SIZE_T NTAPI
    RtlCompareMemory(_In_ const VOID* Source1, _In_ const VOID* Source2, _In_ SIZE_T Length);

EXTERN_C_END

#endif // _KERNEL_MODE
