#include "sim/framework.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/debug.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/pnp.h"
#include "sim/platform.h"
#include "sim/strings.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"

namespace sim {

namespace {

// Handles and init structures share one counter, spaced and offset so that they look like
// pointers in traces but never match one, and so that an init passed as a handle is unknown.
constexpr std::uint64_t kHandleBase = 0x00005F0000000000ULL;
constexpr std::uint64_t kHandleStep = 0x10;

std::uint64_t Key(const void* handle)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

template <class H> H AsHandle(std::uint64_t value)
{
    return reinterpret_cast<H>(static_cast<std::uintptr_t>(value));
}

std::u16string CopyText(const UNICODE_STRING& text)
{
    if (text.Buffer == nullptr) {
        return {};
    }
    return std::u16string(text.Buffer, text.Length / sizeof(WCHAR));
}

std::string StatusHex(NTSTATUS status)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
    return buffer;
}

} // namespace

const char* FxTypeName(FxType type)
{
    switch (type) {
    case FxType::Driver:
        return "WDFDRIVER";
    case FxType::Device:
        return "WDFDEVICE";
    case FxType::IoTarget:
        return "WDFIOTARGET";
    }
    return "?";
}

const char* IoTargetStateName(IoTargetState state)
{
    switch (state) {
    case IoTargetState::Created:
        return "created";
    case IoTargetState::Opened:
        return "opened";
    case IoTargetState::Closed:
        return "closed";
    case IoTargetState::Deleted:
        return "deleted";
    }
    return "?";
}

FrameworkModel::FrameworkModel(Platform& platform) : platform_(platform) {}

FrameworkModel::~FrameworkModel() = default;

void FrameworkModel::Shutdown()
{
    {
        std::lock_guard lock(mutex_);
        for (auto& [handle, object] : objects_) {
            for (auto& send : object->sends) {
                send->cancelled = true;
            }
        }
    }
    platform_.Sched().Notify();
}

// ---------------------------------------------------------------------------------------------
// Helpers

NTSTATUS FrameworkModel::Finish(const char* operation, const std::string& detail, NTSTATUS status)
{
    platform_.Trace().Add("driver", "framework", operation, detail, status);
    return status;
}

void FrameworkModel::Report(const char* operation, std::uint64_t handle, const std::string& message)
{
    platform_.Verifier().Report(operation, handle == 0 ? "" : HandleText(handle), 0, message);
}

std::string FrameworkModel::HandleText(std::uint64_t handle)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(handle));
    return buffer;
}

std::string FrameworkModel::HandleText(const void* handle)
{
    return HandleText(Key(handle));
}

FrameworkModel::Object* FrameworkModel::FindLocked(std::uint64_t handle)
{
    auto it = objects_.find(handle);
    if (it == objects_.end() || it->second->life == Life::Destroyed) {
        return nullptr;
    }
    return it->second.get();
}

const FrameworkModel::Object* FrameworkModel::FindLocked(std::uint64_t handle) const
{
    return const_cast<FrameworkModel*>(this)->FindLocked(handle);
}

bool FrameworkModel::CheckHandle(const char* operation, const void* handle, std::optional<FxType> expected)
{
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        const Object* object = FindLocked(Key(handle));
        if (object == nullptr) {
            problem = "invalid or deleted framework handle";
        } else if (expected && object->type != *expected) {
            problem = std::string("wrong object type: ") + FxTypeName(object->type) + " where " +
                      FxTypeName(*expected) + " is required";
        }
    }
    if (problem.empty()) {
        return true;
    }
    platform_.Verifier().Report(operation, HandleText(handle), 0, problem);
    return false;
}

NTSTATUS FrameworkModel::ReadAttributes(const char* operation, PWDF_OBJECT_ATTRIBUTES attributes, Creation* creation)
{
    if (attributes == nullptr) {
        return STATUS_SUCCESS;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        Report(operation, 0, "WDF_OBJECT_ATTRIBUTES.Size is " + std::to_string(attributes->Size));
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    FxAttributesRecord& record = creation->record;
    record.supplied = true;
    record.cleanupCallback = attributes->EvtCleanupCallback != nullptr;
    record.destroyCallback = attributes->EvtDestroyCallback != nullptr;
    record.executionLevel = attributes->ExecutionLevel;
    record.synchronizationScope = attributes->SynchronizationScope;
    creation->cleanup = attributes->EvtCleanupCallback;
    creation->destroy = attributes->EvtDestroyCallback;
    creation->parent = Key(attributes->ParentObject);
    if (attributes->ContextTypeInfo != nullptr) {
        const WDF_OBJECT_CONTEXT_TYPE_INFO* info = attributes->ContextTypeInfo;
        creation->contextType = info->UniqueType != nullptr ? info->UniqueType : info;
        record.contextTypeName = info->ContextName != nullptr ? info->ContextName : "";
        record.contextSize = std::max<std::size_t>(info->ContextSize, attributes->ContextSizeOverride);
        if (record.contextSize == 0) {
            Report(operation, 0, "context type '" + record.contextTypeName + "' has size 0");
            return STATUS_INVALID_PARAMETER;
        }
    } else if (attributes->ContextSizeOverride != 0) {
        Report(operation, 0, "ContextSizeOverride without a ContextTypeInfo");
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

bool FrameworkModel::ParentAcceptsChildrenLocked(std::uint64_t parent) const
{
    const Object* object = FindLocked(parent);
    return object != nullptr && object->life == Life::Live;
}

std::uint64_t FrameworkModel::InsertLocked(FxType type, std::uint64_t parent, const Creation& creation)
{
    auto object = std::make_unique<Object>();
    object->handle = kHandleBase + kHandleStep * nextHandle_++;
    object->type = type;
    object->parent = parent;
    object->cleanup = creation.cleanup;
    object->destroy = creation.destroy;
    object->attributes = creation.record;
    object->contextType = creation.contextType;
    if (creation.contextType != nullptr) {
        std::size_t units = (creation.record.contextSize + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
        object->context = std::make_unique<std::max_align_t[]>(units); // value-initialised: zero-filled
    }
    std::uint64_t handle = object->handle;
    if (parent != 0) {
        objects_.at(parent)->children.push_back(handle);
    }
    objects_[handle] = std::move(object);
    return handle;
}

// ---------------------------------------------------------------------------------------------
// Deletion

void FrameworkModel::ClaimLocked(std::uint64_t handle, std::vector<std::uint64_t>* order)
{
    Object& object = *objects_.at(handle);
    object.life = Life::Deleting;
    for (std::uint64_t child : object.children) {
        // A child another thread is already deleting stays that thread's; this deleter waits
        // for it before running the parent's callbacks.
        if (objects_.at(child)->life == Life::Live) {
            ClaimLocked(child, order);
        }
    }
    order->push_back(handle);
}

void FrameworkModel::WaitForChildren(std::uint64_t handle, bool destroyed)
{
    std::unique_lock lock(platform_.Sched().Mutex());
    platform_.Sched().WaitUntil(lock, [&] {
        std::lock_guard leaf(mutex_);
        for (std::uint64_t child : objects_.at(handle)->children) {
            Life life = objects_.at(child)->life;
            if (destroyed || life == Life::Live || life == Life::Deleting) {
                return false; // destroyed children are unlinked, so any child left is pending
            }
        }
        return true;
    });
}

FxType FrameworkModel::InvokeObjectCallback(std::uint64_t handle, bool destroyPass)
{
    PFN_WDF_OBJECT_CONTEXT_CLEANUP callback = nullptr; // the destroy callback has the same signature
    FxType type = FxType::Driver;
    {
        std::lock_guard lock(mutex_);
        const Object& object = *objects_.at(handle);
        callback = destroyPass ? object.destroy : object.cleanup;
        type = object.type;
    }
    if (callback != nullptr) {
        platform_.Trace().Add("framework", "driver", destroyPass ? "EvtDestroyCallback" : "EvtCleanupCallback",
                              std::string(FxTypeName(type)) + " " + HandleText(handle));
        callback(AsHandle<WDFOBJECT>(handle));
    }
    return type;
}

bool FrameworkModel::DeleteTree(std::uint64_t root, const std::string& reason)
{
    std::vector<std::uint64_t> order; // children before parents
    {
        std::lock_guard lock(mutex_);
        Object* object = FindLocked(root);
        if (object == nullptr || object->life != Life::Live) {
            return false;
        }
        ClaimLocked(root, &order);
    }
    platform_.Trace().Add("framework", "framework", "delete", HandleText(root) + " (" + reason + ")");

    for (std::uint64_t handle : order) {
        WaitForChildren(handle, false);
        if (InvokeObjectCallback(handle, false) == FxType::IoTarget) {
            CloseTarget(handle, IoTargetState::Deleted);
        }
        {
            std::lock_guard lock(mutex_);
            objects_.at(handle)->life = Life::CleanedUp;
        }
        platform_.Sched().Notify();
    }

    for (std::uint64_t handle : order) {
        WaitForChildren(handle, true);
        InvokeObjectCallback(handle, true);
        {
            std::lock_guard lock(mutex_);
            Object& object = *objects_.at(handle);
            object.life = Life::Destroyed;
            object.context.reset();
            if (object.parent != 0) {
                auto& siblings = objects_.at(object.parent)->children;
                siblings.erase(std::remove(siblings.begin(), siblings.end(), handle), siblings.end());
            }
        }
        platform_.Sched().Notify();
    }
    return true;
}

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
    platform_.Sched().WaitUntil(lock, [&] {
        std::lock_guard leaf(mutex_);
        return objects_.at(handle)->sends.empty();
    });
}

// ---------------------------------------------------------------------------------------------
// Loader and unload

NTSTATUS FrameworkModel::LoadDriver(PDRIVER_INITIALIZE entry, std::u16string registryPath)
{
    platform_.Trace().Add("test", "kernel", "LoadDriver", Narrow(registryPath));
    {
        std::lock_guard lock(mutex_);
        if (loaded_ || driverEntryThread_) {
            platform_.Verifier().Report("LoadDriver", "", 0, "the driver is already loaded");
            return STATUS_INVALID_DEVICE_STATE;
        }
        driverEntryThread_ = std::this_thread::get_id();
    }
    PDRIVER_OBJECT driverObject = platform_.Objects().Insert(std::make_unique<_DRIVER_OBJECT>("fwrelay"));
    {
        std::lock_guard lock(mutex_);
        driverObject_ = driverObject;
        version_ = FrameworkVersion{1, 15};
        registryPath_ = std::move(registryPath);
        driverCreated_ = false;
        config_.reset();
        deviceAdd_ = nullptr;
        unload_ = nullptr;
    }
    platform_.Trace().Add("kernel", "framework", "bind", "framework version 1.15");

    UNICODE_STRING path;
    path.Buffer = registryPath_.data();
    path.Length = static_cast<USHORT>(registryPath_.size() * sizeof(WCHAR));
    path.MaximumLength = path.Length;
    platform_.Trace().Add("kernel", "driver", "DriverEntry", Narrow(path));
    NTSTATUS status = entry(driverObject, &path);
    platform_.Trace().Add("driver", "kernel", "DriverEntry returned", "", status);

    std::uint64_t driver = 0;
    {
        std::lock_guard lock(mutex_);
        driverEntryThread_.reset();
        loaded_ = NT_SUCCESS(status);
        driver = driver_;
    }
    if (NT_SUCCESS(status)) {
        return status;
    }

    DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "DriverEntry failed 0x%x for driver %wZ\n", status, &path);
    platform_.Trace().Add("kernel", "framework", "unbind", "DriverEntry failed");
    if (driver != 0) {
        DeleteTree(driver, "unbind after DriverEntry failed");
    }
    {
        std::lock_guard lock(mutex_);
        driver_ = 0;
        version_.reset();
    }
    RunUnloadChecks("driver unload");
    ReleaseDriverObject();
    return status;
}

bool FrameworkModel::UnloadDriver()
{
    std::string blocker;
    std::uint64_t driver = 0;
    PFN_WDF_DRIVER_UNLOAD unload = nullptr;
    bool nonPnp = false;
    {
        std::lock_guard lock(mutex_);
        if (!loaded_) {
            blocker = "no driver is loaded";
        }
        driver = driver_;
        unload = unload_;
        nonPnp = config_ && (config_->driverInitFlags & WdfDriverInitNonPnpDriver) != 0;
        for (const auto& [handle, object] : objects_) {
            if (blocker.empty() && object->type == FxType::Device && object->life != Life::Destroyed &&
                !(object->control && nonPnp)) {
                blocker = std::string(object->control ? "control" : "PnP") + " device " + HandleText(handle) +
                          " still exists";
            }
        }
    }
    if (blocker.empty() && platform_.Pnp().RegistrationCount() != 0) {
        blocker = std::to_string(platform_.Pnp().RegistrationCount()) + " PnP notification registration(s) held";
    }
    if (!blocker.empty()) {
        platform_.Trace().Add("test", "kernel", "UnloadDriver", "refused: " + blocker, STATUS_INVALID_DEVICE_STATE);
        return false;
    }
    platform_.Trace().Add("test", "kernel", "UnloadDriver", "");

    if (unload != nullptr && driver != 0) {
        platform_.Trace().Add("framework", "driver", "EvtDriverUnload", HandleText(driver));
        unload(AsHandle<WDFDRIVER>(driver));
    }
    // A non-PnP driver's remaining control devices go with the WDFDRIVER, after EvtDriverUnload.
    if (driver != 0) {
        DeleteTree(driver, "driver unload");
    }
    {
        std::lock_guard lock(mutex_);
        driver_ = 0;
        loaded_ = false;
        version_.reset();
    }
    RunUnloadChecks("driver unload");
    ReleaseDriverObject();
    return true;
}

void FrameworkModel::RunUnloadChecks(const std::string& when)
{
    platform_.Kernel().LetExitingThreadsFinish();
    std::size_t leakedInits = 0;
    {
        std::lock_guard lock(mutex_);
        for (auto& [key, init] : inits_) {
            if (init.control && init.state == InitState::Pending) {
                ++leakedInits;
                init.state = InitState::Freed; // report each one once
            }
        }
    }
    for (std::size_t i = 0; i < leakedInits; ++i) {
        platform_.Verifier().Report(when, "", 0,
                                    "control device init allocated and neither used by WdfDeviceCreate nor freed");
    }
    platform_.Pool().ReportLeaks(when);
    platform_.Objects().ReportHeld(when);
    platform_.Kernel().ReportHeld(when);
    platform_.Wmi().ReportHeld(when);
    platform_.Pnp().ReportHeld(when);
}

void FrameworkModel::ReleaseDriverObject()
{
    PDRIVER_OBJECT driverObject = nullptr;
    {
        std::lock_guard lock(mutex_);
        driverObject = driverObject_;
        driverObject_ = nullptr;
    }
    if (driverObject != nullptr) {
        platform_.Objects().Dereference(driverObject, "driver unload");
    }
}

bool FrameworkModel::Loaded() const
{
    std::lock_guard lock(mutex_);
    return loaded_;
}

std::optional<FrameworkVersion> FrameworkModel::BoundVersion() const
{
    std::lock_guard lock(mutex_);
    return version_;
}

PDRIVER_OBJECT FrameworkModel::DriverObject() const
{
    std::lock_guard lock(mutex_);
    return driverObject_;
}

// ---------------------------------------------------------------------------------------------
// PnP manager

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

// ---------------------------------------------------------------------------------------------
// Target-device removal and the IOCTL route

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

// ---------------------------------------------------------------------------------------------
// Observation

std::optional<DriverConfigRecord> FrameworkModel::DriverConfig() const
{
    std::lock_guard lock(mutex_);
    return config_;
}

std::optional<FxAttributesRecord> FrameworkModel::Attributes(WDFOBJECT object) const
{
    std::lock_guard lock(mutex_);
    const Object* found = FindLocked(Key(object));
    return found == nullptr ? std::nullopt : std::optional<FxAttributesRecord>(found->attributes);
}

std::size_t FrameworkModel::LiveObjectCount(FxType type) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(objects_.begin(), objects_.end(), [type](const auto& entry) {
        return entry.second->type == type && entry.second->life != Life::Destroyed;
    }));
}

std::size_t FrameworkModel::LiveObjectCount() const
{
    return LiveObjectCount(FxType::Driver) + LiveObjectCount(FxType::Device) + LiveObjectCount(FxType::IoTarget);
}

bool FrameworkModel::IsLive(WDFOBJECT object) const
{
    std::lock_guard lock(mutex_);
    return FindLocked(Key(object)) != nullptr;
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

std::size_t FrameworkModel::SendsInFlight() const
{
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [handle, object] : objects_) {
        count += object->sends.size();
    }
    return count;
}

// ---------------------------------------------------------------------------------------------
// Driver and devices

NTSTATUS FrameworkModel::DriverCreate(PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                                      PWDF_OBJECT_ATTRIBUTES attributes, PWDF_DRIVER_CONFIG config, WDFDRIVER* driver)
{
    static constexpr const char* kOp = "WdfDriverCreate";
    RequireIrqlAtMost(kOp, PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        return Finish(kOp, "injected", status);
    }
    if (driverObject == nullptr || registryPath == nullptr || config == nullptr) {
        Report(kOp, 0, "NULL DriverObject, RegistryPath or DriverConfig (bug check)");
        return Finish(kOp, "", STATUS_INVALID_PARAMETER);
    }
    if (config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        Report(kOp, 0, "WDF_DRIVER_CONFIG.Size is " + std::to_string(config->Size));
        return Finish(kOp, "", STATUS_INFO_LENGTH_MISMATCH);
    }
    Creation creation;
    status = ReadAttributes(kOp, attributes, &creation);
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, "", status);
    }
    if (creation.parent != 0) {
        Report(kOp, 0, "DriverAttributes->ParentObject must be NULL");
        return Finish(kOp, "", STATUS_INVALID_PARAMETER);
    }
    if ((config->DriverInitFlags & WdfDriverInitNonPnpDriver) != 0 && config->EvtDriverDeviceAdd != nullptr) {
        return Finish(kOp, "non-PnP driver with EvtDriverDeviceAdd", STATUS_INVALID_PARAMETER);
    }

    std::string problem;
    std::uint64_t handle = 0;
    {
        std::lock_guard lock(mutex_);
        if (driverEntryThread_ != std::this_thread::get_id()) {
            problem = "called outside DriverEntry";
            status = STATUS_INVALID_DEVICE_STATE;
        } else if (driverCreated_) {
            problem = "called a second time";
            status = STATUS_DRIVER_INTERNAL_ERROR;
        } else if (driverObject != driverObject_) {
            problem = "DriverObject is not the one passed to DriverEntry";
            status = STATUS_INVALID_PARAMETER;
        } else {
            handle = InsertLocked(FxType::Driver, 0, creation);
            driver_ = handle;
            driverCreated_ = true;
            deviceAdd_ = config->EvtDriverDeviceAdd;
            unload_ = config->EvtDriverUnload;
            config_ = DriverConfigRecord{config->EvtDriverDeviceAdd != nullptr,
                                         config->EvtDriverUnload != nullptr,
                                         config->DriverInitFlags,
                                         config->DriverPoolTag,
                                         CopyText(*registryPath),
                                         creation.record};
        }
    }
    if (!problem.empty()) {
        Report(kOp, 0, problem);
        return Finish(kOp, problem, status);
    }
    if (driver != nullptr) {
        *driver = AsHandle<WDFDRIVER>(handle);
    }
    return Finish(kOp, "WDFDRIVER " + HandleText(handle), STATUS_SUCCESS);
}

WDFDRIVER FrameworkModel::GetDriver() const
{
    // Not traced: the kit reads the driver globals inline.
    std::lock_guard lock(mutex_);
    return driver_ != 0 && FindLocked(driver_) != nullptr ? AsHandle<WDFDRIVER>(driver_) : nullptr;
}

PDRIVER_OBJECT FrameworkModel::DriverWdmGetDriverObject(WDFDRIVER driver)
{
    static constexpr const char* kOp = "WdfDriverWdmGetDriverObject";
    RequireIrqlAtMost(kOp, DISPATCH_LEVEL);
    platform_.Trace().Add("driver", "framework", kOp, HandleText(driver));
    if (!CheckHandle(kOp, driver, FxType::Driver)) {
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    return driverObject_;
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

PVOID FrameworkModel::GetTypedContext(WDFOBJECT object, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo)
{
    // Not traced: the kit implements this as an inline accessor the driver calls constantly.
    static constexpr const char* kOp = "WdfObjectGetTypedContextWorker";
    RequireIrqlAtMost(kOp, DISPATCH_LEVEL);
    if (!CheckHandle(kOp, object, std::nullopt)) {
        return nullptr;
    }
    if (typeInfo == nullptr) {
        platform_.Verifier().Report(kOp, HandleText(object), 0, "NULL TypeInfo");
        return nullptr;
    }
    PCWDF_OBJECT_CONTEXT_TYPE_INFO unique = typeInfo->UniqueType != nullptr ? typeInfo->UniqueType : typeInfo;
    std::lock_guard lock(mutex_);
    Object* found = FindLocked(Key(object));
    if (found == nullptr || found->contextType != unique) {
        return nullptr;
    }
    return found->context.get();
}

void FrameworkModel::ObjectDelete(WDFOBJECT object)
{
    static constexpr const char* kOp = "WdfObjectDelete";
    RequireIrqlAtMost(kOp, DISPATCH_LEVEL);
    platform_.Trace().Add("driver", "framework", kOp, HandleText(object));
    if (!CheckHandle(kOp, object, std::nullopt)) {
        return;
    }
    FxType type = FxType::Driver;
    bool control = false;
    {
        std::lock_guard lock(mutex_);
        const Object* found = FindLocked(Key(object));
        if (found == nullptr) {
            return; // destroyed since the check by a concurrent deleter
        }
        type = found->type;
        control = found->control;
    }
    if (type == FxType::Driver) {
        platform_.Verifier().Report(kOp, HandleText(object), 0, "a driver may not delete its WDFDRIVER");
        return;
    }
    if (type == FxType::Device && !control) {
        platform_.Verifier().Report(kOp, HandleText(object), 0,
                                    "a driver may not delete a PnP device; the framework deletes it on removal");
        return;
    }
    if (type == FxType::Device && CurrentIrql() > PASSIVE_LEVEL) {
        platform_.Verifier().Report(kOp, HandleText(object), 0, "a control device must be deleted at PASSIVE_LEVEL");
        return;
    }
    // Deleting an object whose deletion is already under way (from its own or a parent's
    // callback) is accepted and changes nothing.
    DeleteTree(Key(object), "WdfObjectDelete");
}

// ---------------------------------------------------------------------------------------------
// I/O targets

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
    Creation creation;
    status = ReadAttributes(kOp, attributes, &creation);
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, "", status);
    }
    if (creation.parent != 0 && creation.parent != Key(device)) {
        return Finish(kOp, "ParentObject is not the device", STATUS_INVALID_DEVICE_REQUEST);
    }
    std::uint64_t handle = 0;
    {
        std::lock_guard lock(mutex_);
        if (ParentAcceptsChildrenLocked(Key(device))) {
            handle = InsertLocked(FxType::IoTarget, Key(device), creation);
        }
    }
    if (handle == 0) {
        return Finish(kOp, "device is being deleted", STATUS_INVALID_DEVICE_STATE);
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
    record.name = CopyText(params->TargetDeviceName);
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
    if (record.name.empty() || (params->TargetDeviceName.Length % sizeof(WCHAR)) != 0) {
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
        }
    }
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, detail + ": already open or being deleted", status);
    }
    if (!platform_.Pnp().InterfacePresent(record.name)) {
        return Finish(kOp, detail + ": no such interface", STATUS_OBJECT_NAME_NOT_FOUND);
    }
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, other] : objects_) {
            if (handle != Key(target) && other->type == FxType::IoTarget && other->state == IoTargetState::Opened &&
                other->open && other->open->name == record.name &&
                (other->open->shareAccess == 0 || record.shareAccess == 0)) {
                status = STATUS_SHARING_VIOLATION; // an exclusive open on either side
            }
        }
        Object* object = FindLocked(Key(target));
        if (NT_SUCCESS(status)) {
            if (object == nullptr || object->state == IoTargetState::Opened || object->life != Life::Live) {
                status = STATUS_INVALID_DEVICE_STATE; // lost a race with another open or a delete
            } else {
                object->state = IoTargetState::Opened;
            }
        }
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

std::vector<std::vector<std::uint8_t>> FrameworkModel::SendOutputsOnEntry() const
{
    std::lock_guard lock(mutex_);
    return sendOutputsOnEntry_;
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
    const std::string detail = HandleText(target) + " IOCTL " + StatusHex(static_cast<NTSTATUS>(ioctlCode));
    {
        std::unique_lock lock(platform_.Sched().Mutex());
        if (holdSends_) {
            ++sendsHeld_;
            platform_.Sched().NotifyLocked();
            platform_.Sched().WaitUntil(lock, [this] { return !holdSends_; });
            --sendsHeld_;
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOp, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        return Finish(kOp, detail + " injected", status);
    }
    if (!CheckHandle(kOp, target, FxType::IoTarget)) {
        return Finish(kOp, detail, STATUS_INVALID_HANDLE);
    }
    if (request != nullptr || options != nullptr) {
        return Finish(kOp, detail + ": only a NULL request without options is modelled", STATUS_NOT_SUPPORTED);
    }
    for (PWDF_MEMORY_DESCRIPTOR descriptor : {input, output}) {
        if (descriptor != nullptr &&
            (descriptor->Type != WdfMemoryDescriptorTypeBuffer ||
             (descriptor->u.BufferType.Buffer == nullptr && descriptor->u.BufferType.Length != 0))) {
            return Finish(kOp, detail + ": memory descriptor is not a buffer", STATUS_INVALID_PARAMETER);
        }
    }
    const ULONG inputLength = input != nullptr ? input->u.BufferType.Length : 0;
    const ULONG outputLength = output != nullptr ? output->u.BufferType.Length : 0;
    if (output != nullptr && outputLength != 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(output->u.BufferType.Buffer);
        std::lock_guard lock(mutex_);
        if (sendOutputsOnEntry_.size() == 64) {
            sendOutputsOnEntry_.erase(sendOutputsOnEntry_.begin());
        }
        sendOutputsOnEntry_.emplace_back(bytes, bytes + outputLength);
    }

    auto send = std::make_shared<Send>();
    std::u16string link;
    IoctlHandler handler;
    {
        std::lock_guard lock(mutex_);
        Object* object = FindLocked(Key(target));
        if (object != nullptr && object->state == IoTargetState::Opened) {
            object->sends.push_back(send);
            link = object->open->name;
            handler = ioctlHandler_;
        } else {
            status = STATUS_INVALID_DEVICE_STATE;
        }
    }
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, detail + ": target not open", status);
    }
    platform_.Trace().Add("driver", "framework", kOp, detail);

    // METHOD_BUFFERED: one system buffer carries the input in and the output back.
    std::vector<unsigned char> system(std::max<std::size_t>({inputLength, outputLength, 1}), 0);
    if (inputLength != 0) {
        std::memcpy(system.data(), input->u.BufferType.Buffer, inputLength);
    }
    ULONG_PTR information = 0;
    auto cancelled = [send] { return send->cancelled.load(); };
    platform_.Trace().Add("framework", "ta", "IRP_MJ_DEVICE_CONTROL", Narrow(link) + " " + detail);
    if (handler) {
        status =
            handler(link, ioctlCode, system.data(), inputLength, system.data(), outputLength, &information, cancelled);
    } else {
        status = platform_.TaService().HandleIoctl(link, ioctlCode, system.data(), inputLength, system.data(),
                                                   outputLength, &information, cancelled);
    }
    platform_.Trace().Add("ta", "framework", "IRP completed", "information " + std::to_string(information), status);
    if (information > outputLength) {
        platform_.Verifier().Report(kOp, HandleText(target), 0,
                                    "the target reported " + std::to_string(information) + " bytes returned for a " +
                                        std::to_string(outputLength) + "-byte output buffer");
    }
    const std::size_t copied = std::min<std::size_t>(information, outputLength);
    if (copied != 0) {
        std::memcpy(output->u.BufferType.Buffer, system.data(), copied);
    }
    {
        std::lock_guard lock(mutex_);
        auto& sends = objects_.at(Key(target))->sends;
        sends.erase(std::remove(sends.begin(), sends.end(), send), sends.end());
    }
    platform_.Sched().Notify();
    if (bytesReturned != nullptr) {
        *bytesReturned = information;
    }
    return Finish(kOp, detail + " returned " + std::to_string(information) + " bytes", status);
}

} // namespace sim

// ---------------------------------------------------------------------------------------------
// C entry points

using sim::Platform;

EXTERN_C NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                  PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                  WDFDRIVER* Driver)
{
    return Platform::Current().Framework().DriverCreate(DriverObject, RegistryPath, DriverAttributes, DriverConfig,
                                                        Driver);
}

EXTERN_C WDFDRIVER WdfGetDriver(VOID)
{
    return Platform::Current().Framework().GetDriver();
}

EXTERN_C PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    return Platform::Current().Framework().DriverWdmGetDriverObject(Driver);
}

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

EXTERN_C PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    return Platform::Current().Framework().GetTypedContext(Handle, TypeInfo);
}

EXTERN_C VOID WdfObjectDelete(WDFOBJECT Object)
{
    Platform::Current().Framework().ObjectDelete(Object);
}

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
