// Discovery of the TA service through device-interface notifications, and the framework I/O
// target the relay sends to.
//
// ServiceTarget is written here with one interlocked pointer exchange, after the new target is
// fully open, and read by relays on the WMI notification thread; a relay sees the old target
// or the new one, never a partly opened one.
#include "target/target.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, RegisterInterfaceNotification)
#pragma alloc_text(PAGE, InterfaceChangeCallback)
#pragma alloc_text(PAGE, OpenServiceTarget)
#pragma alloc_text(PAGE, CloseServiceTarget)
#pragma alloc_text(PAGE, UnregisterInterfaceNotification)
#endif

static BOOLEAN IsSameGuid(_In_ const GUID* Left, _In_ const GUID* Right)
{
    return RtlCompareMemory(Left, Right, sizeof(GUID)) == sizeof(GUID);
}

_Use_decl_annotations_
NTSTATUS RegisterInterfaceNotification(PDRIVER_OBJECT DriverObject, PDriverContext Context)
{
    NTSTATUS status;
    PVOID entry = nullptr;

    // TA services already present are reported to the callback before this call returns.
    status = IoRegisterPlugPlayNotification(
        EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
        const_cast<GUID*>(&ServiceInterfaceGuid), DriverObject, InterfaceChangeCallback, nullptr, &entry);
    if (NT_SUCCESS(status)) {
        Context->InterfaceNotificationEntry = entry;
    }
    return status;
}

// Runs on the PnP notification thread, and on the start-up thread for interfaces present at
// registration. An arrival may be reported twice; each one opens a target of its own.
_Use_decl_annotations_
NTSTATUS InterfaceChangeCallback(PVOID NotificationStructure, PVOID Context)
{
    PDEVICE_INTERFACE_CHANGE_NOTIFICATION notification =
        static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(NotificationStructure);
    PDriverContext context;

    PAGED_CODE();
    UNREFERENCED_PARAMETER(Context);

    context = GetDriverContext(WdfGetDriver());
    if (context == nullptr) {
        return STATUS_SUCCESS;
    }

    if (!IsSameGuid(&notification->InterfaceClassGuid, &ServiceInterfaceGuid)) {
        return STATUS_SUCCESS;
    }
    // Removals are ignored: the framework closes a target whose device goes away, and a
    // held target stays held until the control device goes.
    if (!IsSameGuid(&notification->Event, &GUID_DEVICE_INTERFACE_ARRIVAL)) {
        return STATUS_SUCCESS;
    }

    return OpenServiceTarget(context, notification->SymbolicLinkName, &context->ServiceTarget);
}

_Use_decl_annotations_
NTSTATUS OpenServiceTarget(PDriverContext Context, PCUNICODE_STRING SymbolicLinkName, WDFIOTARGET* Target)
{
    NTSTATUS status;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_IO_TARGET_OPEN_PARAMS openParams;
    WDFDEVICE controlDevice;
    WDFIOTARGET target = nullptr;

    PAGED_CODE();

    // The last device's destroy may have taken the control device already; its cleanup waits
    // for this callback and then releases everything, so there is nothing to open a target on.
    controlDevice = static_cast<WDFDEVICE>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Context->ControlDevice), nullptr, nullptr));
    if (controlDevice == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }

    // A child of the control device: it goes with it, also when it is replaced below.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    status = WdfIoTargetCreate(controlDevice, &attributes, &target);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&openParams, SymbolicLinkName, SERVICE_TARGET_DESIRED_ACCESS);
    openParams.ShareAccess = SERVICE_TARGET_SHARE_ACCESS;

    status = WdfIoTargetOpen(target, &openParams);
    if (!NT_SUCCESS(status)) {
        WdfObjectDelete(target);
        return status;
    }

    // A target held before stays open until the control device is deleted; relays that read it
    // may still be sending on it.
    (VOID) InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Target), target);
    return status;
}

_Use_decl_annotations_
VOID CloseServiceTarget(WDFIOTARGET* Target)
{
    WDFIOTARGET target;

    PAGED_CODE();

    target = static_cast<WDFIOTARGET>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(Target), nullptr));
    if (target != nullptr) {
        // The object itself goes with the control device.
        WdfIoTargetClose(target);
    }
}

_Use_decl_annotations_
VOID UnregisterInterfaceNotification(PVOID* Entry)
{
    PAGED_CODE();

    if (*Entry != nullptr) {
        // The Ex variant returns only once no callback for the entry runs any more.
        (VOID) IoUnregisterPlugPlayNotificationEx(*Entry);
        *Entry = nullptr;
    }
}
