// Framework driver object.
#pragma once

#include "platform/wdfobject.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#include <wdf.h>
#else

typedef NTSTATUS WDFAPI EVT_WDF_DRIVER_DEVICE_ADD(_In_ WDFDRIVER Driver, _Inout_ PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID WDFAPI EVT_WDF_DRIVER_UNLOAD(_In_ WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(_Out_ PWDF_DRIVER_CONFIG Config,
                                        _In_opt_ PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    __builtin_memset(Config, 0, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

// The driver's framework globals (the kit's wdfglobals.h): what the framework's loader hands the
// entry glue at bind; the kit's WdfGetDriver() reads Driver inline.
#define WDF_DRIVER_GLOBALS_NAME_LEN (32)
typedef struct _WDF_DRIVER_GLOBALS {
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[WDF_DRIVER_GLOBALS_NAME_LEN];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

EXTERN_C_START

_Must_inspect_result_ _IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS WDFAPI WdfDriverCreate(_In_ PDRIVER_OBJECT DriverObject, _In_ PCUNICODE_STRING RegistryPath,
                                _In_opt_ PWDF_OBJECT_ATTRIBUTES DriverAttributes, _In_ PWDF_DRIVER_CONFIG DriverConfig,
                                _Out_opt_ WDFDRIVER* Driver);

// The framework driver of the loaded driver (the kit reads it from the driver globals).
WDFDRIVER WDFAPI WdfGetDriver(VOID);

_IRQL_requires_max_(DISPATCH_LEVEL) PDRIVER_OBJECT WDFAPI WdfDriverWdmGetDriverObject(_In_ WDFDRIVER Driver);

EXTERN_C_END

#endif // _KERNEL_MODE
