// WMI data-block consumer interface.
#pragma once

#include "platform/annotations.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#include <wmistr.h>
#else

#define WMIGUID_QUERY 0x0001
#define WMIGUID_SET 0x0002
#define WMIGUID_NOTIFICATION 0x0004
#define WMIGUID_READ_DESCRIPTION 0x0008
#define WMIGUID_EXECUTE 0x0010

// The header every WMI event carries (WNODE_EVENT_ITEM is a bare header).
typedef struct _WNODE_HEADER {
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct {
            ULONG Version;
            ULONG Linkage;
        } s;
    } u1;
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    } u2;
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;
static_assert(sizeof(WNODE_HEADER) == 48);

typedef struct tagWNODE_EVENT_ITEM {
    WNODE_HEADER WnodeHeader;
} WNODE_EVENT_ITEM, *PWNODE_EVENT_ITEM;

// How an event from a data block provider arrives: the header, the instance, and the data block
// at DataBlockOffset from the start of the structure.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic" // the kit's flexible array member
typedef struct tagWNODE_SINGLE_INSTANCE {
    struct _WNODE_HEADER WnodeHeader;
    ULONG OffsetInstanceName;
    ULONG InstanceIndex;
    ULONG DataBlockOffset;
    ULONG SizeDataBlock;
    UCHAR VariableData[];
} WNODE_SINGLE_INSTANCE, *PWNODE_SINGLE_INSTANCE;
#pragma GCC diagnostic pop
static_assert(sizeof(WNODE_SINGLE_INSTANCE) == 64);

#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_EVENT_ITEM 0x00000008

typedef VOID NTAPI FWMI_NOTIFICATION_CALLBACK(PVOID Wnode, PVOID Context);
typedef FWMI_NOTIFICATION_CALLBACK* WMI_NOTIFICATION_CALLBACK;

EXTERN_C_START

_IRQL_requires_max_(APC_LEVEL) NTSTATUS NTAPI
    IoWMIOpenBlock(_In_ LPCGUID Guid, _In_ ULONG DesiredAccess, _Out_ PVOID* DataBlockObject);

_IRQL_requires_max_(APC_LEVEL) NTSTATUS NTAPI
    IoWMIExecuteMethod(_In_ PVOID DataBlockObject, _In_ PUNICODE_STRING InstanceName, _In_ ULONG MethodId,
                       _In_ ULONG InBufferSize, _Inout_ PULONG OutBufferSize, _Inout_opt_ PUCHAR InOutBuffer);

_IRQL_requires_max_(APC_LEVEL) NTSTATUS NTAPI
    IoWMISetNotificationCallback(_Inout_ PVOID Object, _In_ WMI_NOTIFICATION_CALLBACK Callback, _In_opt_ PVOID Context);

EXTERN_C_END

#endif // _KERNEL_MODE
