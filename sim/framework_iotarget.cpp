// Host platform, framework I/O targets.
//
// Contract: a remote I/O target is a child of its device, is opened by name on an interface the
// PnP manager has present, and carries synchronous METHOD_BUFFERED IOCTLs to the TA service model
// (or a test's handler). Closing or deleting a target, and removal of the target device, cancel
// every send in flight and wait for it to return; a send that starts on a target that is not open
// fails without reaching the receiver.
#include "sim/framework.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>

#include "sim/framework_internal.h"
#include "sim/irql.h"
#include "sim/platform.h"
#include "sim/pnp.h"
#include "sim/strings.h"
#include "sim/ta_service.h"

namespace sim {

using fx::AsHandle;
using fx::CopyText;
using fx::Key;
using fx::ValidUnicodeString;

// Close, delete and removal of the target device all go through
// src/framework/shared/targets/general/fxiotargetremote.cpp, FxIoTargetRemote::Close: the state
// changes first (so that new sends fail with STATUS_INVALID_DEVICE_STATE), the sent requests are
// cancelled (FxIoTarget::_CancelSentRequests) and the caller waits for them to come back
// (WaitForSentIoToComplete).
void FrameworkModel::CloseTarget(std::uint64_t handle, IoTargetState state)
{
    {
        std::lock_guard lock(mutex_);
        Object& object = *objects_.at(handle);
        // A deleted target stays deleted; a close racing a delete must not reopen the door.
        if (object.state != IoTargetState::Deleted) {
            object.state = state;
        }
        for (auto& send : object.sends) {
            send->cancelled = true;
        }
    }
    platform_.Sched().Notify();
    std::unique_lock lock(platform_.Sched().Mutex());
    platform_.Sched().WaitUntil(
        lock,
        [&] {
            std::lock_guard leaf(mutex_);
            return objects_.at(handle)->sends.empty();
        },
        std::nullopt, "waiting for the send to complete");
}

void FrameworkModel::OnInterfaceRemoved(const std::u16string& link)
{
    std::vector<std::uint64_t> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, object] : objects_) {
            if (object->type == FxType::IoTarget && object->life != Life::Destroyed &&
                object->state == IoTargetState::Opened && object->open && object->open->name == link) {
                targets.push_back(handle);
            }
        }
    }
    for (std::uint64_t handle : targets) {
        platform_.Trace().Add("pnp", "framework", "target device removed", HandleText(handle) + " " + Narrow(link));
        CloseTarget(handle, IoTargetState::Closed);
    }
}

void FrameworkModel::SetIoctlHandlerForTest(IoctlHandler handler)
{
    std::lock_guard lock(mutex_);
    ioctlHandler_ = std::move(handler);
}

std::optional<OpenRecord> FrameworkModel::TargetOpenParams(WDFIOTARGET target) const
{
    std::lock_guard lock(mutex_);
    auto it = objects_.find(Key(target));
    if (it == objects_.end() || it->second->type != FxType::IoTarget) {
        return std::nullopt;
    }
    return it->second->open;
}

std::optional<IoTargetState> FrameworkModel::TargetState(WDFIOTARGET target) const
{
    std::lock_guard lock(mutex_);
    auto it = objects_.find(Key(target));
    if (it == objects_.end() || it->second->type != FxType::IoTarget) {
        return std::nullopt;
    }
    return it->second->state;
}

void FrameworkModel::HoldSendsAtEntry(bool hold)
{
    holdSends_ = hold;
    platform_.Sched().Notify();
}

std::size_t FrameworkModel::SendsHeldAtEntry() const
{
    return sendsHeld_;
}

void FrameworkModel::HoldOpensBeforeCommit(bool hold)
{
    holdOpens_ = hold;
    platform_.Sched().Notify();
}

std::size_t FrameworkModel::OpensHeld() const
{
    return opensHeld_;
}

void FrameworkModel::StopAtHold(const std::atomic<bool>& hold, std::atomic<std::size_t>& held)
{
    if (!hold) {
        return;
    }
    // A hold set after this look lets the call through, as if it had come a moment earlier.
    std::unique_lock lock(platform_.Sched().Mutex());
    if (hold) {
        ++held;
        platform_.Sched().NotifyLocked();
        platform_.Sched().WaitUntil(lock, [&hold] { return !hold; });
        --held;
    }
}

std::vector<std::vector<std::uint8_t>> FrameworkModel::SendOutputsOnEntry() const
{
    std::lock_guard lock(mutex_);
    // Oldest first: from the ring's next slot to its end, then from its start.
    const auto split = sendOutputsOnEntry_.begin() + static_cast<std::ptrdiff_t>(sendOutputsNext_);
    std::vector<std::vector<std::uint8_t>> inOrder(split, sendOutputsOnEntry_.end());
    inOrder.insert(inOrder.end(), sendOutputsOnEntry_.begin(), split);
    return inOrder;
}

std::size_t FrameworkModel::SendsInFlight() const
{
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [handle, object] : objects_) {
        count += object->sends.size();
    }
    return count;
}

NTSTATUS FrameworkModel::IoTargetCreate(WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET* target)
{
    static constexpr const char* kOp = "WdfIoTargetCreate";
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        return Finish(kOp, "injected", status);
    }
    if (!CheckHandle(kOp, device, FxType::Device)) {
        return Finish(kOp, HandleText(device), STATUS_INVALID_HANDLE);
    }
    if (target == nullptr) {
        Report(kOp, 0, "NULL IoTarget (bug check)");
        return Finish(kOp, "", STATUS_INVALID_PARAMETER);
    }
    // src/framework/shared/targets/general/fxiotargetapi.cpp, WdfIoTargetCreate: no execution
    // level or synchronization scope of its own; a parent, if named, must lead to this device
    // (fxiotargetremote.cpp, FxIoTargetRemote::_Create).
    Creation creation;
    status = ReadAttributes(attributes, 0, &creation);
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, "IoTargetAttributes", status);
    }
    if (creation.parent != 0 && creation.parent != Key(device)) {
        return Finish(kOp, "ParentObject is not the device", STATUS_INVALID_DEVICE_REQUEST);
    }
    std::uint64_t handle = 0;
    {
        std::lock_guard lock(mutex_);
        status = ParentAcceptsChildrenLocked(Key(device));
        if (NT_SUCCESS(status)) {
            handle = InsertLocked(FxType::IoTarget, Key(device), creation);
        }
    }
    if (handle == 0) {
        return Finish(kOp, "device is being deleted", status);
    }
    *target = AsHandle<WDFIOTARGET>(handle);
    return Finish(kOp, "WDFIOTARGET " + HandleText(handle) + " on " + HandleText(device), STATUS_SUCCESS);
}

NTSTATUS FrameworkModel::IoTargetOpen(WDFIOTARGET target, PWDF_IO_TARGET_OPEN_PARAMS params)
{
    static constexpr const char* kOp = "WdfIoTargetOpen";
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_OBJECT_NAME_NOT_FOUND, &status)) {
        return Finish(kOp, "injected", status);
    }
    if (!CheckHandle(kOp, target, FxType::IoTarget)) {
        return Finish(kOp, HandleText(target), STATUS_INVALID_HANDLE);
    }
    if (params == nullptr) {
        Report(kOp, Key(target), "NULL OpenParams (bug check)");
        return Finish(kOp, "", STATUS_INVALID_PARAMETER);
    }
    if (params->Size != sizeof(WDF_IO_TARGET_OPEN_PARAMS)) {
        return Finish(kOp, "OpenParams.Size " + std::to_string(params->Size), STATUS_INFO_LENGTH_MISMATCH);
    }
    OpenRecord record;
    record.type = params->Type;
    // Read only a name whose lengths and buffer agree; any other is refused below.
    const bool nameValid = ValidUnicodeString(params->TargetDeviceName);
    record.name = nameValid ? CopyText(params->TargetDeviceName) : std::u16string();
    record.desiredAccess = params->DesiredAccess;
    record.shareAccess = params->ShareAccess;
    record.createDisposition = params->CreateDisposition;
    record.createOptions = params->CreateOptions;
    record.queryRemoveCallback = params->EvtIoTargetQueryRemove != nullptr;
    record.removeCanceledCallback = params->EvtIoTargetRemoveCanceled != nullptr;
    record.removeCompleteCallback = params->EvtIoTargetRemoveComplete != nullptr;
    const std::string detail = HandleText(target) + " " + Narrow(record.name);

    if (record.type != WdfIoTargetOpenByName) {
        return Finish(kOp, detail + ": only open-by-name is modelled", STATUS_NOT_SUPPORTED);
    }
    // fxiotargetapi.cpp, FxIoTargetValidateOpenParams: a buffer, a length and a capacity; an
    // open of an open (or deleted) target fails in fxiotargetremote.cpp, FxIoTargetRemote::Open.
    if (!nameValid || record.name.empty() || params->TargetDeviceName.MaximumLength == 0) {
        return Finish(kOp, detail + ": bad TargetDeviceName", STATUS_INVALID_PARAMETER);
    }
    {
        std::lock_guard lock(mutex_);
        Object* object = FindLocked(Key(target));
        if (object == nullptr) {
            status = STATUS_INVALID_DEVICE_STATE;
        } else if (object->state == IoTargetState::Opened || object->state == IoTargetState::Deleted ||
                   object->life != Life::Live) {
            status = STATUS_INVALID_DEVICE_STATE; // the record of the open in force stays as it is
        } else {
            object->open = record;
            object->openNames.push_back(
                std::make_unique<const Object::OpenName>(Object::OpenName{record.name, Narrow(record.name)}));
            object->openName = object->openNames.back().get();
        }
    }
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, detail + ": already open or being deleted", status);
    }
    if (!platform_.Pnp().InterfacePresent(record.name)) {
        return Finish(kOp, detail + ": no such interface", STATUS_OBJECT_NAME_NOT_FOUND);
    }
    // Share access is not checked here: neither the framework nor the I/O manager checks it for
    // an open of a device; the device's own driver decides in its create handler.
    StopAtHold(holdOpens_, opensHeld_);
    {
        std::lock_guard lock(mutex_);
        Object* object = FindLocked(Key(target));
        if (object == nullptr || object->state == IoTargetState::Opened || object->life != Life::Live) {
            status = STATUS_INVALID_DEVICE_STATE; // lost a race with another open or a delete
        } else {
            object->state = IoTargetState::Opened;
        }
    }
    if (NT_SUCCESS(status) && !platform_.Pnp().InterfacePresent(record.name)) {
        // The device's removal began while the open was on its way: the removal's close of the
        // targets on the interface may have looked before this one was open, so the open undoes
        // itself rather than leave a target open on a device that is going.
        CloseTarget(Key(target), IoTargetState::Closed);
        return Finish(kOp, detail + ": the interface went while opening", STATUS_OBJECT_NAME_NOT_FOUND);
    }
    return Finish(kOp, detail, status);
}

void FrameworkModel::IoTargetClose(WDFIOTARGET target)
{
    static constexpr const char* kOp = "WdfIoTargetClose";
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    platform_.Trace().Add("driver", "framework", kOp, HandleText(target));
    if (!CheckHandle(kOp, target, FxType::IoTarget)) {
        return;
    }
    CloseTarget(Key(target), IoTargetState::Closed);
}

NTSTATUS FrameworkModel::IoTargetSendIoctlSynchronously(WDFIOTARGET target, WDFREQUEST request, ULONG ioctlCode,
                                                        PWDF_MEMORY_DESCRIPTOR input, PWDF_MEMORY_DESCRIPTOR output,
                                                        PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytesReturned)
{
    static constexpr const char* kOp = "WdfIoTargetSendIoctlSynchronously";
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    if (bytesReturned != nullptr) {
        *bytesReturned = 0;
    }
    // Every record of a send names the target and the control code; the text waits for a reader.
    auto finish = [&](const char* format, NTSTATUS result) {
        platform_.Trace().Record("driver", "framework", kOp, format,
                                 {TraceArg::Handle(target), TraceArg::Status(static_cast<NTSTATUS>(ioctlCode))},
                                 result);
        return result;
    };
    StopAtHold(holdSends_, sendsHeld_);
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        return finish("{} IOCTL {} injected", status);
    }
    if (!CheckHandle(kOp, target, FxType::IoTarget)) {
        return finish("{} IOCTL {}", STATUS_INVALID_HANDLE);
    }
    if (request != nullptr || options != nullptr) {
        return finish("{} IOCTL {}: only a NULL request without options is modelled", STATUS_NOT_SUPPORTED);
    }
    for (PWDF_MEMORY_DESCRIPTOR descriptor : {input, output}) {
        if (descriptor != nullptr &&
            (descriptor->Type != WdfMemoryDescriptorTypeBuffer ||
             (descriptor->u.BufferType.Buffer == nullptr && descriptor->u.BufferType.Length != 0))) {
            return finish("{} IOCTL {}: memory descriptor is not a buffer", STATUS_INVALID_PARAMETER);
        }
    }
    const ULONG inputLength = input != nullptr ? input->u.BufferType.Length : 0;
    const ULONG outputLength = output != nullptr ? output->u.BufferType.Length : 0;
    // The framework copies the input into its system buffer and the output back by the lengths
    // the descriptors state; a length past the end of the pool block its buffer lies in would
    // make it read and write another block's bytes. The model records that and sends nothing.
    if (const auto overrun = platform_.Pool().FirstOverrun(
            {{inputLength != 0 ? input->u.BufferType.Buffer : nullptr, inputLength},
             {outputLength != 0 ? output->u.BufferType.Buffer : nullptr, outputLength}})) {
        const bool isInput = *overrun == 0;
        platform_.Verifier().Report(kOp, HandleText(target), 0,
                                    std::string(isInput ? "input" : "output") + " buffer smaller than its stated " +
                                        std::to_string(isInput ? inputLength : outputLength) + " bytes");
        return finish("{} IOCTL {}: buffer smaller than its stated length", STATUS_INVALID_PARAMETER);
    }
    Send send;
    const Object::OpenName* link = nullptr;
    Object* sender = nullptr; // the target, which stays in objects_ (as a tombstone at worst)
    IoctlHandler handler;
    {
        std::lock_guard lock(mutex_);
        if (output != nullptr && outputLength != 0) {
            const auto* bytes = static_cast<const std::uint8_t*>(output->u.BufferType.Buffer);
            constexpr std::size_t kKept = 64;
            if (sendOutputsOnEntry_.size() < kKept) {
                sendOutputsOnEntry_.emplace_back(bytes, bytes + outputLength);
            } else {
                // The oldest record's memory takes the newest.
                sendOutputsOnEntry_[sendOutputsNext_].assign(bytes, bytes + outputLength);
                sendOutputsNext_ = (sendOutputsNext_ + 1) % kKept;
            }
        }
        Object* object = FindLocked(Key(target));
        if (object != nullptr && object->state == IoTargetState::Opened) {
            object->sends.push_back(&send);
            sender = object;
            link = object->openName;
            handler = ioctlHandler_;
        } else {
            status = STATUS_INVALID_DEVICE_STATE;
        }
    }
    if (!NT_SUCCESS(status)) {
        return finish("{} IOCTL {}: target not open", status);
    }
    // METHOD_BUFFERED: one system buffer carries the input in and the output back. The control
    // code's records are small, so most sends need no allocation for it. The model hands the
    // target zeros after the input; only the buffer's first systemLength bytes are ever read, so
    // only those are written.
    const std::size_t systemLength = std::max<std::size_t>({inputLength, outputLength, 1});
    std::array<unsigned char, 128> small;
    std::vector<unsigned char> large(systemLength > small.size() ? systemLength : 0, 0);
    std::span<unsigned char> system =
        large.empty() ? std::span<unsigned char>(small.data(), systemLength) : std::span<unsigned char>(large);
    if (inputLength != 0) {
        std::memcpy(system.data(), input->u.BufferType.Buffer, inputLength);
    }
    std::memset(system.data() + inputLength, 0, systemLength - inputLength);
    ULONG_PTR information = 0;
    auto cancelled = [&send] { return send.cancelled.load(); };
    // Accepted and passed on at once: nothing of the send happens between the two records.
    platform_.Trace().RecordPair(
        {"driver", "framework", kOp,
         TraceDetail("{} IOCTL {}", TraceArg::Handle(target), TraceArg::Status(static_cast<NTSTATUS>(ioctlCode)))},
        {"framework", "ta", "IRP_MJ_DEVICE_CONTROL",
         TraceDetail("{} {} IOCTL {}", TraceArg::Text(), TraceArg::Handle(target),
                     TraceArg::Status(static_cast<NTSTATUS>(ioctlCode))),
         std::nullopt, link->text});
    if (handler) {
        status = handler(link->name, ioctlCode, system.data(), inputLength, system.data(), outputLength, &information,
                         cancelled);
    } else {
        status = platform_.TaService().HandleIoctl(link->name, ioctlCode, system.data(), inputLength, system.data(),
                                                   outputLength, &information, cancelled);
    }
    if (information > outputLength) {
        platform_.Verifier().Report(kOp, HandleText(target), 0,
                                    "the target reported " + std::to_string(information) + " bytes returned for a " +
                                        std::to_string(outputLength) + "-byte output buffer");
    }
    // The caller returns what the completion says; both are recorded as the IRP completes.
    platform_.Trace().RecordPair(
        {"ta", "framework", "IRP completed", TraceDetail("information {}", TraceArg::Decimal(information)), status},
        {"driver", "framework", kOp,
         TraceDetail("{} IOCTL {} returned {} bytes", TraceArg::Handle(target),
                     TraceArg::Status(static_cast<NTSTATUS>(ioctlCode)), TraceArg::Decimal(information)),
         status});
    // The framework, not the I/O manager, completes an IOCTL it sent: it copies `Information` bytes
    // of its METHOD_BUFFERED system buffer back to the caller's output whatever the status
    // (src/framework/shared/inc/private/km/fxiotargetkm.hpp, FxIoContext::CopyParameters, called
    // from shared/core/fxrequestbase.cpp, FxRequestBase::CompleteSubmitted). Only an IRP that
    // the I/O manager completes skips the copy for an error status.
    const std::size_t copied = std::min<std::size_t>(information, outputLength);
    if (copied != 0) {
        std::memcpy(output->u.BufferType.Buffer, system.data(), copied);
    }
    {
        std::lock_guard lock(mutex_);
        std::erase(sender->sends, &send);
    }
    platform_.Sched().Notify();
    if (bytesReturned != nullptr) {
        *bytesReturned = information;
    }
    return status;
}

} // namespace sim

// ---------------------------------------------------------------------------------------------
// C entry points

using sim::Platform;

EXTERN_C NTSTATUS WdfIoTargetCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES IoTargetAttributes, WDFIOTARGET* IoTarget)
{
    return Platform::Current().Framework().IoTargetCreate(Device, IoTargetAttributes, IoTarget);
}

EXTERN_C NTSTATUS WdfIoTargetOpen(WDFIOTARGET IoTarget, PWDF_IO_TARGET_OPEN_PARAMS OpenParams)
{
    return Platform::Current().Framework().IoTargetOpen(IoTarget, OpenParams);
}

EXTERN_C VOID WdfIoTargetClose(WDFIOTARGET IoTarget)
{
    Platform::Current().Framework().IoTargetClose(IoTarget);
}

EXTERN_C NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                    PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                    PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                    PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned)
{
    return Platform::Current().Framework().IoTargetSendIoctlSynchronously(IoTarget, Request, IoctlCode, InputBuffer,
                                                                          OutputBuffer, RequestOptions, BytesReturned);
}
