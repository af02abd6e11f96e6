// Driver lifecycle: start-up, the control device, PnP devices and unload.
#pragma once

#include "driver/fwrelay.h"

// "D:P": a protected, empty access list; no caller is granted access to the control device.
inline constexpr WCHAR ControlDeviceSddlText[] = {'D', ':', 'P', 0};

EXTERN_C_START

DRIVER_INITIALIZE DriverEntry;

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS CreateControlDevice(_In_ WDFDRIVER Driver, _In_ PDriverContext Context);

EVT_WDF_DRIVER_DEVICE_ADD EvtDeviceAdd;
EVT_WDF_DEVICE_CONTEXT_DESTROY EvtDeviceDestroy;
EVT_WDF_DEVICE_CONTEXT_CLEANUP EvtControlDeviceCleanup;
EVT_WDF_DRIVER_UNLOAD EvtDriverUnload;

EXTERN_C_END
