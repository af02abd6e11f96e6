// Driver lifecycle: start-up, the control device, the count of PnP devices, and unload.
//
// DeviceCount is updated only by compare-exchange: device add and device destroy run on
// different PnP threads, and an 8-bit count must never wrap to 0 under live devices (that would
// delete the control device, and with it the service target, while devices remain).
#include "driver/driver.h"

#include "target/target.h"
#include "wmi/wmi.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(INIT, CreateControlDevice)
#pragma alloc_text(PAGE, EvtDeviceAdd)
#pragma alloc_text(PAGE, EvtDeviceDestroy)
#pragma alloc_text(PAGE, EvtControlDeviceCleanup)
#pragma alloc_text(PAGE, EvtDriverUnload)
#endif

// DeviceCount is one word, so that a device's arrival and departure and the adds under way are
// seen together. The low byte counts live devices. The next byte counts adds between taking
// their slot and the return of WdfDeviceCreate: a destroy that finds one under way does not
// delete the control device under a device that is about to live. It hands the deletion on
// instead (DEVICE_DELETION_OWED): the add that succeeds takes it over with its device, whose
// destroy deletes; if every add under way fails, the last one deletes. An add that fails with no
// device having lived meanwhile deletes nothing.
#define DEVICE_COUNT_LIMIT 255
#define DEVICE_COUNT_LIVE 0x000000FF
#define DEVICE_ADD_ONE 0x00000100
#define DEVICE_ADDS_UNDER_WAY 0x0000FF00
#define DEVICE_DELETION_OWED 0x00010000

typedef enum _DEVICE_COUNT_CHANGE {
    DeviceAddStarting,
    DeviceAddSucceeded,
    DeviceAddFailed,
    DeviceDestroyed
} DEVICE_COUNT_CHANGE;

// Applies Change to DeviceCount in one compare-exchange. Returns FALSE, changing nothing, when
// an add starts with 255 devices live or being added. *DeleteControlDevice receives whether the
// change has left the control device to the caller to delete (FALSE when nothing changed).
static BOOLEAN ChangeDeviceCount(_Inout_ PDriverContext Context, _In_ DEVICE_COUNT_CHANGE Change,
                                 _Out_ PBOOLEAN DeleteControlDevice)
{
    LONG observed = InterlockedCompareExchange(&Context->DeviceCount, 0, 0);

    *DeleteControlDevice = FALSE;

    for (;;) {
        LONG next;
        BOOLEAN deleteControlDevice = FALSE;
        LONG before;

        switch (Change) {
        case DeviceAddStarting:
            if ((observed & DEVICE_COUNT_LIVE) + ((observed & DEVICE_ADDS_UNDER_WAY) / DEVICE_ADD_ONE) >=
                DEVICE_COUNT_LIMIT) {
                return FALSE;
            }
            next = observed + DEVICE_ADD_ONE;
            break;
        case DeviceAddSucceeded:
            // The new device's destroy will see the count reach 0 itself.
            next = ((observed - DEVICE_ADD_ONE) + 1) & ~DEVICE_DELETION_OWED;
            break;
        case DeviceAddFailed:
            next = observed - DEVICE_ADD_ONE;
            if ((next & (DEVICE_COUNT_LIVE | DEVICE_ADDS_UNDER_WAY)) == 0) {
                deleteControlDevice = (next & DEVICE_DELETION_OWED) != 0;
                next = 0;
            }
            break;
        case DeviceDestroyed:
        default:
            next = observed - 1;
            if ((next & DEVICE_COUNT_LIVE) == 0) {
                if ((next & DEVICE_ADDS_UNDER_WAY) == 0) {
                    deleteControlDevice = TRUE;
                } else {
                    next |= DEVICE_DELETION_OWED;
                }
            }
            break;
        }

        before = InterlockedCompareExchange(&Context->DeviceCount, next, observed);
        if (before == observed) {
            *DeleteControlDevice = deleteControlDevice;
            return TRUE;
        }
        observed = before;
    }
}

// Deleting the control device runs EvtControlDeviceCleanup, which releases the interface
// registration and the service target. Whoever takes the handle out of ControlDevice deletes it:
// a device added and destroyed while an earlier last destroy is still deleting it brings the
// count to 0 again, and must find nothing left to delete. An interface arrival still running
// finds ControlDevice null and opens no target; the cleanup waits for it before going on.
static VOID DeleteControlDevice(_Inout_ PDriverContext Context)
{
    WDFDEVICE controlDevice = static_cast<WDFDEVICE>(
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&Context->ControlDevice), nullptr));

    if (controlDevice != nullptr) {
        WdfObjectDelete(controlDevice);
    }
}

_Use_decl_annotations_
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;
    WDF_DRIVER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFDRIVER driver = nullptr;
    PDriverContext context;

    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    config.EvtDriverUnload = EvtDriverUnload;

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DriverContext);

    status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    context = GetDriverContext(driver);
    context->ControlDevice = nullptr;
    context->InterfaceNotificationEntry = nullptr;
    context->ServiceTarget = nullptr;
    InitializeFirmwareChannel(context);
    context->DeviceCount = 0;
    context->RetryThread = nullptr;
    context->RetryActive = FALSE;
    ExInitializeRundownProtection(&context->TargetRundown);
    ExInitializeRundownProtection(&context->RetryRundown);

    status = CreateControlDevice(driver, context);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WdfControlFinishInitializing(context->ControlDevice);

    // From here on the service target may be opened at any moment, also for a TA service that
    // is already present. On a failure below the framework deletes the control device, whose
    // cleanup releases the registration and any target.
    status = RegisterInterfaceNotification(WdfDriverWdmGetDriverObject(driver), context);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    if (NT_SUCCESS(OpenFirmwareChannel(context))) {
        return status;
    }

    // The firmware is not ready yet; only a worker that cannot be started fails start-up.
    return StartRetryWorker(DriverObject, context);
}

_Use_decl_annotations_
NTSTATUS CreateControlDevice(WDFDRIVER Driver, PDriverContext Context)
{
    NTSTATUS status;
    UNICODE_STRING sddl;
    PWDFDEVICE_INIT deviceInit;
    WDF_OBJECT_ATTRIBUTES attributes;

    RtlInitUnicodeString(&sddl, ControlDeviceSddlText);

    deviceInit = WdfControlDeviceInitAllocate(Driver, &sddl);
    if (deviceInit == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EvtControlDeviceCleanup;

    status = WdfDeviceCreate(&deviceInit, &attributes, &Context->ControlDevice);
    if (!NT_SUCCESS(status)) {
        // A control-device init structure that did not become a device is ours to free.
        WdfDeviceInitFree(deviceInit);
        Context->ControlDevice = nullptr;
    }
    return status;
}

_Use_decl_annotations_
NTSTATUS EvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    NTSTATUS status;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFDEVICE device;
    PDriverContext context;
    BOOLEAN deleteControlDevice;

    PAGED_CODE();

    context = GetDriverContext(Driver);

    if (!ChangeDeviceCount(context, DeviceAddStarting, &deleteControlDevice)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    // The destroy callback, not a cleanup callback: it runs once the device object is gone.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtDestroyCallback = EvtDeviceDestroy;

    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);

    // A failed add leaves the count of live devices as it was, but the last device may have
    // been destroyed meanwhile and left the control device to this add.
    (VOID) ChangeDeviceCount(context, NT_SUCCESS(status) ? DeviceAddSucceeded : DeviceAddFailed, &deleteControlDevice);
    if (deleteControlDevice) {
        DeleteControlDevice(context);
    }
    return status;
}

_Use_decl_annotations_
VOID EvtDeviceDestroy(WDFOBJECT Device)
{
    PDriverContext context;
    BOOLEAN deleteControlDevice;

    PAGED_CODE();
    UNREFERENCED_PARAMETER(Device);

    context = GetDriverContext(WdfGetDriver());

    (VOID) ChangeDeviceCount(context, DeviceDestroyed, &deleteControlDevice);
    if (deleteControlDevice) {
        DeleteControlDevice(context);
    }
}

_Use_decl_annotations_
VOID EvtControlDeviceCleanup(WDFOBJECT Device)
{
    PDriverContext context;

    PAGED_CODE();
    UNREFERENCED_PARAMETER(Device);

    context = GetDriverContext(WdfGetDriver());

    // The framework deletes the control device itself when start-up fails after creating it, or
    // when the driver unloads with no device left to delete it; the handle goes here then. After
    // DeleteControlDevice it is already null.
    (VOID) InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&context->ControlDevice), nullptr);

    // No arrival runs or starts after this.
    UnregisterInterfaceNotification(&context->InterfaceNotificationEntry);

    // The targets are children of this device and are destroyed once this returns; their sends
    // in flight were cancelled when the framework disposed of them. Wait for every relay that
    // read a target to be done with it, and let no later relay read one.
    ExWaitForRundownProtectionRelease(&context->TargetRundown);

    CloseServiceTarget(&context->ServiceTarget);
}

_Use_decl_annotations_
VOID EvtDriverUnload(WDFDRIVER Driver)
{
    PDriverContext context;

    PAGED_CODE();

    context = GetDriverContext(Driver);
    if (context == nullptr) {
        return;
    }

    // The worker must have ended before the channel it may be opening is closed.
    StopRetryWorker(context);
    CloseFirmwareChannel(context);
}
