// Framework remote I/O targets and memory descriptors.
#pragma once

#include "platform/wdfobject.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#include <wdf.h>
#else

typedef enum _WDF_IO_TARGET_OPEN_TYPE {
    WdfIoTargetOpenUndefined = 0,
    WdfIoTargetOpenUseExistingDevice = 1,
    WdfIoTargetOpenByName = 2,
    WdfIoTargetOpenReopen = 3,
} WDF_IO_TARGET_OPEN_TYPE;

typedef NTSTATUS WDFAPI EVT_WDF_IO_TARGET_QUERY_REMOVE(_In_ WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_QUERY_REMOVE* PFN_WDF_IO_TARGET_QUERY_REMOVE;
typedef VOID WDFAPI EVT_WDF_IO_TARGET_REMOVE_CANCELED(_In_ WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_REMOVE_CANCELED* PFN_WDF_IO_TARGET_REMOVE_CANCELED;
typedef VOID WDFAPI EVT_WDF_IO_TARGET_REMOVE_COMPLETE(_In_ WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_REMOVE_COMPLETE* PFN_WDF_IO_TARGET_REMOVE_COMPLETE;

typedef struct _WDF_IO_TARGET_OPEN_PARAMS {
    ULONG Size;
    WDF_IO_TARGET_OPEN_TYPE Type;
    PFN_WDF_IO_TARGET_QUERY_REMOVE EvtIoTargetQueryRemove;
    PFN_WDF_IO_TARGET_REMOVE_CANCELED EvtIoTargetRemoveCanceled;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE EvtIoTargetRemoveComplete;
    PDEVICE_OBJECT TargetDeviceObject;
    PFILE_OBJECT TargetFileObject;
    UNICODE_STRING TargetDeviceName;
    ACCESS_MASK DesiredAccess;
    ULONG ShareAccess;
    ULONG FileAttributes;
    ULONG CreateDisposition;
    ULONG CreateOptions;
    PVOID EaBuffer;
    ULONG EaBufferLength;
    PLONGLONG AllocationSize;
    ULONG FileInformation;
    UNICODE_STRING FileName;
} WDF_IO_TARGET_OPEN_PARAMS, *PWDF_IO_TARGET_OPEN_PARAMS;

FORCEINLINE VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_CREATE_BY_NAME(_Out_ PWDF_IO_TARGET_OPEN_PARAMS Params,
                                                               _In_ PCUNICODE_STRING TargetDeviceName,
                                                               _In_ ACCESS_MASK DesiredAccess)
{
    __builtin_memset(Params, 0, sizeof(WDF_IO_TARGET_OPEN_PARAMS));
    Params->Size = sizeof(WDF_IO_TARGET_OPEN_PARAMS);
    Params->Type = WdfIoTargetOpenByName;
    __builtin_memcpy(&Params->TargetDeviceName, TargetDeviceName, sizeof(UNICODE_STRING));
    Params->DesiredAccess = DesiredAccess;
    Params->CreateOptions = FILE_NON_DIRECTORY_FILE;
}

FORCEINLINE VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(_Out_ PWDF_IO_TARGET_OPEN_PARAMS Params,
                                                             _In_ PCUNICODE_STRING TargetDeviceName,
                                                             _In_ ACCESS_MASK DesiredAccess)
{
    WDF_IO_TARGET_OPEN_PARAMS_INIT_CREATE_BY_NAME(Params, TargetDeviceName, DesiredAccess);
    Params->CreateDisposition = FILE_OPEN;
}

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDFMEMORY_OFFSET {
    SIZE_T BufferOffset;
    SIZE_T BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef struct _WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            PMDL Mdl;
            ULONG BufferLength;
        } MdlType;
        struct {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

FORCEINLINE VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(_Out_ PWDF_MEMORY_DESCRIPTOR Descriptor, _In_ PVOID Buffer,
                                                   _In_ ULONG BufferLength)
{
    __builtin_memset(Descriptor, 0, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

typedef struct _WDF_REQUEST_SEND_OPTIONS WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

EXTERN_C_START

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS WDFAPI WdfIoTargetCreate(_In_ WDFDEVICE Device, _In_opt_ PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                                  _Out_ WDFIOTARGET* IoTarget);

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS WDFAPI WdfIoTargetOpen(_In_ WDFIOTARGET IoTarget, _In_ PWDF_IO_TARGET_OPEN_PARAMS OpenParams);

_IRQL_requires_max_(PASSIVE_LEVEL) VOID WDFAPI WdfIoTargetClose(_In_ WDFIOTARGET IoTarget);

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS WDFAPI WdfIoTargetSendIoctlSynchronously(_In_ WDFIOTARGET IoTarget, _In_opt_ WDFREQUEST Request,
                                                  _In_ ULONG IoctlCode, _In_opt_ PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                  _In_opt_ PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                  _In_opt_ PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                  _Out_opt_ PULONG_PTR BytesReturned);

EXTERN_C_END

#endif // _KERNEL_MODE
