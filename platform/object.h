// Object manager: references and handles.
#pragma once

#include "platform/annotations.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#else

EXTERN_C_START

_IRQL_requires_max_(DISPATCH_LEVEL) LONG_PTR FASTCALL ObfDereferenceObject(_In_ PVOID Object);

_IRQL_requires_max_(DISPATCH_LEVEL) LONG_PTR FASTCALL ObfReferenceObject(_In_ PVOID Object);

#define ObDereferenceObject(Object) ObfDereferenceObject(Object)
#define ObReferenceObject(Object) ObfReferenceObject(Object)

_IRQL_requires_max_(APC_LEVEL) NTSTATUS NTAPI
    ObReferenceObjectByHandle(_In_ HANDLE Handle, _In_ ACCESS_MASK DesiredAccess, _In_opt_ POBJECT_TYPE ObjectType,
                              _In_ KPROCESSOR_MODE AccessMode, _Out_ PVOID* Object,
                              _Out_opt_ POBJECT_HANDLE_INFORMATION HandleInformation);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSYSAPI NTSTATUS NTAPI ZwClose(_In_ HANDLE Handle);

EXTERN_C_END

#endif // _KERNEL_MODE
