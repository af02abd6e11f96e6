// System threads, delays and waits.
#pragma once

#include "platform/annotations.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#else

#define THREAD_ALL_ACCESS (0x001FFFFFL)

typedef enum _KWAIT_REASON {
    Executive = 0
} KWAIT_REASON;

typedef VOID NTAPI KSTART_ROUTINE(_In_ PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

EXTERN_C_START

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS NTAPI
    IoCreateSystemThread(_Inout_ PVOID IoObject, _Out_ PHANDLE ThreadHandle, _In_ ULONG DesiredAccess,
                         _In_opt_ POBJECT_ATTRIBUTES ObjectAttributes, _In_opt_ HANDLE ProcessHandle,
                         _Out_opt_ PCLIENT_ID ClientId, _In_ PKSTART_ROUTINE StartRoutine, _In_opt_ PVOID StartContext);

_IRQL_requires_max_(APC_LEVEL) NTSTATUS NTAPI
    KeDelayExecutionThread(_In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable, _In_ PLARGE_INTEGER Interval);

_IRQL_requires_max_(APC_LEVEL) NTSTATUS NTAPI
    KeWaitForSingleObject(_In_ PVOID Object, _In_ KWAIT_REASON WaitReason, _In_ KPROCESSOR_MODE WaitMode,
                          _In_ BOOLEAN Alertable, _In_opt_ PLARGE_INTEGER Timeout);

EXTERN_C_END

#endif // _KERNEL_MODE
