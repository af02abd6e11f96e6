// Framework devices and control devices.
#pragma once

#include "platform/wdfobject.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#include <wdf.h>
#else

EXTERN_C_START

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT* DeviceInit, _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         _Out_ WDFDEVICE* Device);

_IRQL_requires_max_(DISPATCH_LEVEL) VOID WdfDeviceInitFree(_In_ PWDFDEVICE_INIT DeviceInit);

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
PWDFDEVICE_INIT WdfControlDeviceInitAllocate(_In_ WDFDRIVER Driver, _In_ const UNICODE_STRING* SDDLString);

_IRQL_requires_max_(DISPATCH_LEVEL) VOID WdfControlFinishInitializing(_In_ WDFDEVICE Device);

EXTERN_C_END

#endif // _KERNEL_MODE
