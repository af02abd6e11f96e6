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
#include "sim/irql.h"
#include "sim/platform.h"
#include "sim/strings.h"

namespace sim {

using fx::AsHandle;
using fx::Key;
using fx::kHandleBase;
using fx::kHandleStep;

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
    NTSTATUS status = deviceAdd(AsHandle<WDFDRIVER>(driver), AsHandle<PWDFDEVICE_INIT>(initKey));
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
    if (sddl == nullptr || sddl->Buffer == nullptr || sddl->Length == 0) {
        Report(kOp, 0, "SDDLString must be a non-empty UNICODE_STRING");
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
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        return Finish(kOp, "injected", status);
    }
    if (init == nullptr || *init == nullptr || device == nullptr) {
        Report(kOp, 0, "NULL DeviceInit or Device (bug check)");
        return Finish(kOp, "", STATUS_INVALID_PARAMETER);
    }
    Creation creation;
    status = ReadAttributes(kOp, attributes, &creation);
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, "", status);
    }
    if (creation.parent != 0) {
        Report(kOp, 0, "DeviceAttributes->ParentObject must be NULL: a device's parent is the driver");
        return Finish(kOp, "", STATUS_INVALID_PARAMETER);
    }
    const std::uint64_t initKey = Key(*init);
    std::string problem;
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
        } else if (!ParentAcceptsChildrenLocked(driver_)) {
            problem = "no live WDFDRIVER to own the device";
            status = STATUS_INVALID_DEVICE_STATE;
        } else {
            DeviceInit& record = it->second;
            handle = InsertLocked(FxType::Device, driver_, creation);
            Object& object = *objects_.at(handle);
            object.control = record.control;
            object.sddl = record.sddl;
            control = record.control;
            record.state = InitState::Consumed;
            record.device = handle;
        }
    }
    if (!problem.empty()) {
        platform_.Verifier().Report(kOp, HandleText(initKey), 0, problem);
        return Finish(kOp, problem, status);
    }
    *init = nullptr;
    *device = AsHandle<WDFDEVICE>(handle);
    return Finish(kOp, std::string(control ? "control" : "PnP") + " WDFDEVICE " + HandleText(handle), STATUS_SUCCESS);
}

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
