// Service target: discovery of the TA service and the I/O target the relay sends to.
#pragma once

#include "driver/fwrelay.h"

// {3FA24EF8-153B-4B8A-A039-670377B93E05}: the TA service's device-interface class.
inline constexpr GUID ServiceInterfaceGuid = {
    0x3fa24ef8, 0x153b, 0x4b8a, {0xa0, 0x39, 0x67, 0x03, 0x77, 0xb9, 0x3e, 0x05}};

// How the TA service is opened.
inline constexpr ACCESS_MASK SERVICE_TARGET_DESIRED_ACCESS = GENERIC_READ | GENERIC_WRITE;
inline constexpr ULONG SERVICE_TARGET_SHARE_ACCESS = FILE_SHARE_READ | FILE_SHARE_WRITE;

EXTERN_C_START

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    RegisterInterfaceNotification(_In_ PDRIVER_OBJECT DriverObject, _In_ PDriverContext Context);

DRIVER_NOTIFICATION_CALLBACK_ROUTINE InterfaceChangeCallback;

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    OpenServiceTarget(_In_ PDriverContext Context, _In_ PCUNICODE_STRING SymbolicLinkName, _Inout_ WDFIOTARGET* Target);

_IRQL_requires_max_(PASSIVE_LEVEL) VOID CloseServiceTarget(_Inout_ WDFIOTARGET* Target);

_IRQL_requires_max_(PASSIVE_LEVEL) VOID UnregisterInterfaceNotification(_Inout_ PVOID* Entry);

EXTERN_C_END
