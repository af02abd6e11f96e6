// Object manager: references and handles.
#pragma once

#include "platform/annotations.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#else

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES;
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48);

#define OBJ_KERNEL_HANDLE 0x00000200L

#define InitializeObjectAttributes(p, n, a, r, s)                                                                      \
    {                                                                                                                  \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                                       \
        (p)->RootDirectory = r;                                                                                        \
        (p)->Attributes = a;                                                                                           \
        (p)->ObjectName = n;                                                                                           \
        (p)->SecurityDescriptor = s;                                                                                   \
        (p)->SecurityQualityOfService = nullptr;                                                                       \
    }

EXTERN_C_START

extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* PsThreadType;

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
