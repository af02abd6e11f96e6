// The firmware channel: the two WMI blocks, the instance-name copy and the registration with
// the firmware, acquired in a fixed order and given back completely on any failure, so that the
// retry worker can simply call the open again.
//
// Exclusion with relays: ChannelRundown is run down whenever the channel is not fully open.
// The open re-arms it once the method block and the name copy are complete, just before the
// event callback is installed; every release waits it down first. The WMI layer gives no
// guarantee that releasing the event block waits for, or stops, a callback in progress.
#include "wmi/wmi.h"

#include "relay/relay.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, InitializeFirmwareChannel)
#endif

// Resident on purpose: the retry worker opens the channel long after start-up.
static VOID ReleaseFirmwareBlocks(_Inout_ PDriverContext Context)
{
    if (Context->MethodBlock != nullptr) {
        ObDereferenceObject(Context->MethodBlock);
        Context->MethodBlock = nullptr;
    }
    if (Context->EventBlock != nullptr) {
        ObDereferenceObject(Context->EventBlock);
        Context->EventBlock = nullptr;
    }
}

static VOID FreeInstanceName(_Inout_ PDriverContext Context)
{
    if (Context->InstanceName.Buffer != nullptr) {
        ExFreePoolWithTag(Context->InstanceName.Buffer, 0);
        RtlInitUnicodeString(&Context->InstanceName, nullptr);
    }
}

_Use_decl_annotations_
VOID InitializeFirmwareChannel(PDriverContext Context)
{
    Context->MethodBlock = nullptr;
    RtlInitUnicodeString(&Context->InstanceName, nullptr);
    Context->EventBlock = nullptr;

    // Closed: no relay may start until an open completes.
    ExInitializeRundownProtection(&Context->ChannelRundown);
    ExWaitForRundownProtectionRelease(&Context->ChannelRundown);
}

_Use_decl_annotations_
NTSTATUS OpenFirmwareChannel(PDriverContext Context)
{
    NTSTATUS status;
    PVOID methodBlock = nullptr;
    PVOID eventBlock = nullptr;
    PWSTR nameCopy;
    UNICODE_STRING literalName;

    if (Context == nullptr || Context->MethodBlock != nullptr || Context->EventBlock != nullptr) {
        return STATUS_UNSUCCESSFUL;
    }

    status = IoWMIOpenBlock(&FirmwareMethodGuid, WMIGUID_EXECUTE, &methodBlock);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Context->MethodBlock = methodBlock;

    RtlInitUnicodeString(&literalName, FirmwareInstanceNameText);
    nameCopy = static_cast<PWSTR>(ExAllocatePool2(POOL_FLAG_PAGED, literalName.MaximumLength, POOL_TAG_INSTANCE_NAME));
    if (nameCopy == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Release;
    }
    // The name is only ever used as a counted string: the terminator is not copied.
    RtlCopyMemory(nameCopy, literalName.Buffer, literalName.Length);
    Context->InstanceName.Length = literalName.Length;
    Context->InstanceName.MaximumLength = literalName.MaximumLength;
    Context->InstanceName.Buffer = nameCopy;

    // IoWMIOpenBlock's documentation requires SYNCHRONIZE with WMIGUID_NOTIFICATION; a kernel
    // that enforces it would refuse the notification access alone on every machine.
    status = IoWMIOpenBlock(&FirmwareEventGuid, WMIGUID_NOTIFICATION | SYNCHRONIZE, &eventBlock);
    if (!NT_SUCCESS(status)) {
        goto Release;
    }
    Context->EventBlock = eventBlock;

    // From the moment the callback is installed an event may arrive, also one raised while the
    // firmware handles METHOD_REGISTER; the method block and the name are complete by now.
    ExReInitializeRundownProtection(&Context->ChannelRundown);

    status = IoWMISetNotificationCallback(Context->EventBlock, FirmwareEventCallback, Context);
    if (!NT_SUCCESS(status)) {
        goto RunDownAndRelease;
    }

    status = ExecuteFirmwareMethod(Context->MethodBlock, &Context->InstanceName, METHOD_REGISTER);
    if (NT_SUCCESS(status)) {
        return status;
    }

RunDownAndRelease:
    ExWaitForRundownProtectionRelease(&Context->ChannelRundown);
Release:
    // A failed open gives the blocks back before the name copy.
    ReleaseFirmwareBlocks(Context);
    FreeInstanceName(Context);
    return status;
}

_Use_decl_annotations_
VOID CloseFirmwareChannel(PDriverContext Context)
{
    if (Context->MethodBlock != nullptr) {
        // Sent while the event block is still open; the answer changes nothing here.
        (VOID) ExecuteFirmwareMethod(Context->MethodBlock, &Context->InstanceName, METHOD_UNREGISTER);
    }

    // A relay in flight finishes, with its acknowledgement, before anything it uses goes away;
    // an event arriving from here on is not relayed.
    ExWaitForRundownProtectionRelease(&Context->ChannelRundown);

    // Name copy and method block first, the event block last.
    FreeInstanceName(Context);
    ReleaseFirmwareBlocks(Context);
}
