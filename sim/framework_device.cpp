// Host platform, framework devices, device init structures and the PnP manager's device calls.
//
// Contract: a device is created from a device init, which is pending until WdfDeviceCreate
// consumes it or the driver frees it (control inits only; the framework owns the init it hands to
// EvtDriverDeviceAdd). Every device is a child of the WDFDRIVER. AddDevice hands a fresh PnP init
// to EvtDriverDeviceAdd and deletes a device created from it when the callback fails; RemoveDevice
// deletes a PnP device (cleanup pass, then destroy pass). A driver deletes only its control devices.
#include "sim/framework.h"

#include <algorithm>

#include "sim/framework_internal.h"
#include "sim/image_loader.h"
#include "sim/irql.h"
#include "sim/platform.h"
#include "sim/strings.h"

namespace sim {

using fx::AsHandle;
using fx::CopyText;
using fx::Key;
using fx::kHandleBase;
using fx::kHandleStep;
using fx::StatusHex;
using fx::ValidUnicodeString;

NTSTATUS FrameworkModel::AddDevice(WDFDEVICE* created)
{
    if (created != nullptr) {
        *created = nullptr;
    }
    std::uint64_t driver = 0;
    std::uint64_t initKey = 0;
    PFN_WDF_DRIVER_DEVICE_ADD deviceAdd = nullptr;
    {
        std::lock_guard lock(mutex_);
        driver = driver_;
        deviceAdd = deviceAdd_;
        if (loaded_ && driver != 0 && deviceAdd != nullptr) {
            initKey = kHandleBase + kHandleStep * nextHandle_++;
            inits_[initKey] = DeviceInit{};
        }
    }
    if (initKey == 0) {
        platform_.Trace().Add("pnp", "framework", "AddDevice", "no loaded driver with EvtDriverDeviceAdd",
                              STATUS_INVALID_DEVICE_STATE);
        return STATUS_INVALID_DEVICE_STATE;
    }
    platform_.Trace().Add("pnp", "framework", "AddDevice", "");
    platform_.Trace().Add("framework", "driver", "EvtDriverDeviceAdd", "init " + HandleText(initKey));
    NTSTATUS status = CallIntoDriver("EvtDriverDeviceAdd", deviceAdd, AsHandle<WDFDRIVER>(driver),
                                     AsHandle<PWDFDEVICE_INIT>(initKey));
    platform_.Trace().Add("driver", "framework", "EvtDriverDeviceAdd returned", "", status);

    std::uint64_t device = 0;
    {
        std::lock_guard lock(mutex_);
        DeviceInit& init = inits_.at(initKey);
        device = init.device;
        init.state = InitState::Freed; // the framework owns and frees a PnP init
    }
    if (!NT_SUCCESS(status)) {
        if (device != 0) {
            DeleteTree(device, "EvtDriverDeviceAdd failed");
        }
        return status;
    }
    if (device == 0) {
        platform_.Verifier().Report("EvtDriverDeviceAdd", HandleText(initKey), 0,
                                    "returned success without creating a device from the init");
    } else if (created != nullptr) {
        *created = AsHandle<WDFDEVICE>(device);
    }
    return status;
}

void FrameworkModel::RemoveDevice(WDFDEVICE device)
{
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        const Object* object = FindLocked(Key(device));
        if (object == nullptr || object->type != FxType::Device || object->control) {
            problem = "not a live PnP device";
        } else if (object->life != Life::Live) {
            problem = "device is already being removed";
        }
    }
    if (!problem.empty()) {
        platform_.Trace().Add("pnp", "framework", "RemoveDevice", HandleText(device) + ": " + problem,
                              STATUS_INVALID_DEVICE_STATE);
        platform_.Verifier().Report("RemoveDevice", HandleText(device), 0, problem);
        return;
    }
    platform_.Trace().Add("pnp", "framework", "RemoveDevice", HandleText(device));
    DeleteTree(Key(device), "PnP removal");
}

std::vector<WDFDEVICE> FrameworkModel::PnpDevices() const
{
    std::lock_guard lock(mutex_);
    std::vector<WDFDEVICE> result;
    for (const auto& [handle, object] : objects_) {
        if (object->type == FxType::Device && !object->control && object->life != Life::Destroyed) {
            result.push_back(AsHandle<WDFDEVICE>(handle));
        }
    }
    return result;
}

std::vector<WDFDEVICE> FrameworkModel::ControlDevices() const
{
    std::lock_guard lock(mutex_);
    std::vector<WDFDEVICE> result;
    for (const auto& [handle, object] : objects_) {
        if (object->type == FxType::Device && object->control && object->life != Life::Destroyed) {
            result.push_back(AsHandle<WDFDEVICE>(handle));
        }
    }
    return result;
}

WDFDEVICE FrameworkModel::ControlDevice() const
{
    auto devices = ControlDevices();
    return devices.empty() ? nullptr : devices.front();
}

std::string FrameworkModel::ControlDeviceSddl(WDFDEVICE device) const
{
    std::lock_guard lock(mutex_);
    const Object* object = FindLocked(Key(device));
    return object != nullptr && object->control ? object->sddl : std::string();
}

bool FrameworkModel::ControlFinished(WDFDEVICE device) const
{
    std::lock_guard lock(mutex_);
    const Object* object = FindLocked(Key(device));
    return object != nullptr && object->control && object->finished;
}

std::size_t FrameworkModel::PendingControlInits() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(inits_.begin(), inits_.end(), [](const auto& entry) {
        return entry.second.control && entry.second.state == InitState::Pending;
    }));
}

PWDFDEVICE_INIT FrameworkModel::ControlDeviceInitAllocate(WDFDRIVER driver, const UNICODE_STRING* sddl)
{
    static constexpr const char* kOp = "WdfControlDeviceInitAllocate";
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        Finish(kOp, "injected: returns NULL", status);
        return nullptr;
    }
    if (!CheckHandle(kOp, driver, FxType::Driver)) {
        Finish(kOp, "", STATUS_INVALID_HANDLE);
        return nullptr;
    }
    // src/framework/shared/core/fxdeviceinitapi.cpp, WdfControlDeviceInitAllocate: a NULL string
    // stops the machine (FxPointerNotNull); a malformed one makes the call return NULL.
    if (sddl == nullptr) {
        Report(kOp, 0, "NULL SDDLString (bug check)");
        Finish(kOp, "", STATUS_INVALID_PARAMETER);
        return nullptr;
    }
    if (!ValidUnicodeString(*sddl)) {
        Finish(kOp, "malformed SDDLString: returns NULL", STATUS_INVALID_PARAMETER);
        return nullptr;
    }
    // The framework copies an empty string as it is; no secure device can be built from it, so the
    // model refuses it here rather than guess what the kernel's SDDL parser does with it later.
    if (sddl->Length == 0) {
        Report(kOp, 0, "SDDLString is empty");
        Finish(kOp, "", STATUS_INVALID_PARAMETER);
        return nullptr;
    }
    std::uint64_t key = 0;
    {
        std::lock_guard lock(mutex_);
        key = kHandleBase + kHandleStep * nextHandle_++;
        DeviceInit init;
        init.control = true;
        init.sddl = Narrow(*sddl);
        // src/framework/shared/core/fxdeviceinit.cpp, WDFDEVICE_INIT::_AllocateControlDeviceInit:
        // a control device gets an autogenerated name unless the driver assigns one, which is why
        // an unnamed control device carrying an SDDL string can be created at all.
        init.characteristics = FILE_AUTOGENERATED_DEVICE_NAME;
        inits_[key] = init;
    }
    Finish(kOp, "init " + HandleText(key) + " SDDL " + Narrow(*sddl), STATUS_SUCCESS);
    return AsHandle<PWDFDEVICE_INIT>(key);
}

void FrameworkModel::DeviceInitFree(PWDFDEVICE_INIT init)
{
    static constexpr const char* kOp = "WdfDeviceInitFree";
    RequireIrqlAtMost(kOp, DISPATCH_LEVEL);
    platform_.Trace().Add("driver", "framework", kOp, HandleText(init));
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        auto it = inits_.find(Key(init));
        if (it == inits_.end()) {
            problem = "not a device init structure";
        } else if (!it->second.control) {
            problem = "the framework frees the init of EvtDriverDeviceAdd, not the driver";
        } else if (it->second.state == InitState::Consumed) {
            problem = "init freed after a successful WdfDeviceCreate consumed it";
        } else if (it->second.state == InitState::Freed) {
            problem = "init freed twice";
        } else {
            it->second.state = InitState::Freed;
        }
    }
    if (!problem.empty()) {
        platform_.Verifier().Report(kOp, HandleText(init), 0, problem);
    }
}

NTSTATUS FrameworkModel::DeviceCreate(PWDFDEVICE_INIT* init, PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* device)
{
    static constexpr const char* kOp = "WdfDeviceCreate";
    if (holdCreates_) {
        std::unique_lock lock(platform_.Sched().Mutex());
        if (holdCreates_) {
            const std::uint64_t ticket = createsHeld_++;
            platform_.Sched().NotifyLocked();
            platform_.Sched().WaitUntil(lock, [this, ticket] { return ticket < createsReleased_; });
        }
    }
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        return Finish(kOp, "injected", status);
    }
    if (init == nullptr || *init == nullptr || device == nullptr) {
        Report(kOp, 0, "NULL DeviceInit or Device (bug check)");
        return Finish(kOp, "", STATUS_INVALID_PARAMETER);
    }
    // The order and statuses of src/framework/shared/core/fxdeviceapi.cpp, WdfDeviceCreate.
    *device = nullptr;
    Creation creation;
    status = ReadAttributes(attributes, kParentNotAllowed | kExecutionLevelAllowed | kSynchronizationScopeAllowed,
                            &creation);
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, "DeviceAttributes", status);
    }
    const std::uint64_t initKey = Key(*init);
    std::string problem; // a misuse, recorded by the verifier
    std::string detail;  // a refusal that is no misuse
    std::uint64_t handle = 0;
    bool control = false;
    {
        std::lock_guard lock(mutex_);
        auto it = inits_.find(initKey);
        if (it == inits_.end()) {
            problem = "not a device init structure";
            status = STATUS_INVALID_PARAMETER;
        } else if (it->second.state != InitState::Pending) {
            problem = it->second.state == InitState::Consumed ? "init already used to create a device"
                                                              : "init used after it was freed";
            status = STATUS_INVALID_DEVICE_STATE;
        } else if (!it->second.sddl.empty() && !it->second.HasName()) {
            // Security needs a name to apply to: neither an assigned name nor the autogenerated
            // one. The framework only traces this, so the driver sees just the status.
            status = STATUS_INVALID_SECURITY_DESCR;
        } else if (status = ParentAcceptsChildrenLocked(driver_); !NT_SUCCESS(status)) {
            // A WDFDRIVER being deleted refuses the child without a misuse to report.
            if (status == STATUS_DELETE_PENDING) {
                detail = "WDFDRIVER is being deleted";
            } else {
                problem = "no live WDFDRIVER to own the device";
            }
        } else {
            DeviceInit& record = it->second;
            handle = InsertLocked(FxType::Device, driver_, creation);
            Object& object = *objects_.at(handle);
            object.control = record.control;
            object.sddl = record.sddl;
            object.deviceName = record.name.value_or(u"");
            object.characteristics = record.characteristics;
            control = record.control;
            record.state = InitState::Consumed;
            record.device = handle;
        }
    }
    if (!problem.empty()) {
        platform_.Verifier().Report(kOp, HandleText(initKey), 0, problem);
    }
    if (!NT_SUCCESS(status)) {
        if (detail.empty()) {
            detail = problem.empty() ? "security (SDDL) without a device name" : problem;
        }
        return Finish(kOp, detail, status);
    }
    *init = nullptr;
    *device = AsHandle<WDFDEVICE>(handle);
    return Finish(kOp, std::string(control ? "control" : "PnP") + " WDFDEVICE " + HandleText(handle), STATUS_SUCCESS);
}

void FrameworkModel::HoldDeviceCreates(bool hold)
{
    holdCreates_ = hold;
}

std::size_t FrameworkModel::DeviceCreatesHeld() const
{
    return static_cast<std::size_t>(createsHeld_ - createsReleased_);
}

void FrameworkModel::ReleaseHeldDeviceCreate()
{
    {
        std::lock_guard lock(platform_.Sched().Mutex());
        if (createsReleased_ < createsHeld_) {
            ++createsReleased_;
        }
    }
    platform_.Sched().Notify();
}

// src/framework/shared/core/fxdeviceinitapi.cpp, WdfDeviceInitAssignName, and
// fxdeviceinit.cpp, WDFDEVICE_INIT::AssignName: a name replaces the autogenerated one; NULL drops
// the name and, for anything but a PDO, does not bring the autogenerated one back.
NTSTATUS FrameworkModel::DeviceInitAssignName(PWDFDEVICE_INIT init, PCUNICODE_STRING name)
{
    static constexpr const char* kOp = "WdfDeviceInitAssignName";
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    if (name != nullptr && !ValidUnicodeString(*name)) {
        return Finish(kOp, HandleText(init) + " malformed DeviceName", STATUS_INVALID_PARAMETER);
    }
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        DeviceInit* record = PendingInitLocked(Key(init), &problem);
        if (record != nullptr) {
            if (name == nullptr) {
                record->name.reset();
            } else {
                record->name = CopyText(*name);
                record->characteristics &= ~static_cast<ULONG>(FILE_AUTOGENERATED_DEVICE_NAME);
            }
        }
    }
    if (!problem.empty()) {
        platform_.Verifier().Report(kOp, HandleText(init), 0, problem);
        return Finish(kOp, problem, STATUS_INVALID_PARAMETER);
    }
    return Finish(kOp, HandleText(init) + (name == nullptr ? " no name" : " " + Narrow(*name)), STATUS_SUCCESS);
}

// src/framework/shared/core/fxdeviceinitapi.cpp, WdfDeviceInitSetCharacteristics: without
// OrInValues the value replaces what the init had, the autogenerated name included; the framework
// always adds FILE_DEVICE_SECURE_OPEN; asking for an autogenerated name drops an assigned one.
void FrameworkModel::DeviceInitSetCharacteristics(PWDFDEVICE_INIT init, ULONG characteristics, BOOLEAN orInValues)
{
    static constexpr const char* kOp = "WdfDeviceInitSetCharacteristics";
    RequireIrqlAtMost(kOp, DISPATCH_LEVEL);
    platform_.Trace().Add("driver", "framework", kOp,
                          HandleText(init) + " " + StatusHex(static_cast<NTSTATUS>(characteristics)) +
                              (orInValues ? " or" : " set"));
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        DeviceInit* record = PendingInitLocked(Key(init), &problem);
        if (record != nullptr) {
            const ULONG value = characteristics | FILE_DEVICE_SECURE_OPEN;
            record->characteristics = orInValues ? (record->characteristics | value) : value;
            if ((characteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0) {
                record->name.reset();
            }
        }
    }
    if (!problem.empty()) {
        platform_.Verifier().Report(kOp, HandleText(init), 0, problem);
    }
}

FrameworkModel::DeviceInit* FrameworkModel::PendingInitLocked(std::uint64_t key, std::string* problem)
{
    auto it = inits_.find(key);
    if (it == inits_.end()) {
        *problem = "not a device init structure";
    } else if (it->second.state != InitState::Pending) {
        *problem = "init used after WdfDeviceCreate consumed it or it was freed";
    } else {
        return &it->second;
    }
    return nullptr;
}

std::u16string FrameworkModel::DeviceName(WDFDEVICE device) const
{
    std::lock_guard lock(mutex_);
    const Object* object = FindLocked(Key(device));
    return object != nullptr ? object->deviceName : std::u16string();
}

std::optional<ULONG> FrameworkModel::DeviceCharacteristics(WDFDEVICE device) const
{
    std::lock_guard lock(mutex_);
    const Object* object = FindLocked(Key(device));
    if (object == nullptr || object->type != FxType::Device) {
        return std::nullopt;
    }
    return object->characteristics;
}

// src/framework/shared/core/fxdevicecontrolapi.cpp, WdfControlFinishInitializing: on anything
// but a control device the framework verifier breaks in.
void FrameworkModel::ControlFinishInitializing(WDFDEVICE device)
{
    static constexpr const char* kOp = "WdfControlFinishInitializing";
    RequireIrqlAtMost(kOp, DISPATCH_LEVEL);
    platform_.Trace().Add("driver", "framework", kOp, HandleText(device));
    if (!CheckHandle(kOp, device, FxType::Device)) {
        return;
    }
    bool control = false;
    {
        std::lock_guard lock(mutex_);
        Object* object = FindLocked(Key(device));
        if (object != nullptr && object->control) {
            control = true;
            object->finished = true;
        }
    }
    if (!control) {
        platform_.Verifier().Report(kOp, HandleText(device), 0, "not a control device");
    }
}

} // namespace sim

// ---------------------------------------------------------------------------------------------
// C entry points

using sim::Platform;

EXTERN_C NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                  WDFDEVICE* Device)
{
    return Platform::Current().Framework().DeviceCreate(DeviceInit, DeviceAttributes, Device);
}

EXTERN_C VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit)
{
    Platform::Current().Framework().DeviceInitFree(DeviceInit);
}

EXTERN_C PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER Driver, const UNICODE_STRING* SDDLString)
{
    return Platform::Current().Framework().ControlDeviceInitAllocate(Driver, SDDLString);
}

EXTERN_C VOID WdfControlFinishInitializing(WDFDEVICE Device)
{
    Platform::Current().Framework().ControlFinishInitializing(Device);
}

EXTERN_C NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    return Platform::Current().Framework().DeviceInitAssignName(DeviceInit, DeviceName);
}

EXTERN_C VOID WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics,
                                              BOOLEAN OrInValues)
{
    Platform::Current().Framework().DeviceInitSetCharacteristics(DeviceInit, DeviceCharacteristics, OrInValues);
}
