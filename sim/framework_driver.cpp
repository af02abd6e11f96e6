// Host platform, the framework's driver object and the loader glue.
//
// Contract: LoadDriver creates the DRIVER_OBJECT, binds framework 1.15 and calls DriverEntry on
// the calling thread; WdfDriverCreate is accepted once, from that thread, for that object. When
// DriverEntry fails the framework unbinds: the WDFDRIVER tree is deleted without EvtDriverUnload,
// the unload checks run and the DRIVER_OBJECT is released. UnloadDriver refuses while a device or a
// PnP registration remains; otherwise EvtDriverUnload, deletion of the WDFDRIVER tree, the unload
// checks and the release of the DRIVER_OBJECT, in that order.
#include "sim/framework.h"

#include "platform/debug.h"
#include "sim/framework_internal.h"
#include "sim/image_loader.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/platform.h"
#include "sim/pnp.h"
#include "sim/strings.h"
#include "sim/wmi.h"

namespace sim {

using fx::AsHandle;
using fx::CopyText;
using fx::ValidUnicodeString;

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
        driverGlobal_ = 0; // a new load has fresh driver globals
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
    NTSTATUS status = CallIntoDriver("DriverEntry", entry, driverObject, &path);
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

    bool image = false;
    {
        std::lock_guard lock(mutex_);
        image = image_ != nullptr;
    }
    // An image's entry glue prints the message and unbinds itself.
    if (!image) {
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "DriverEntry failed 0x%x for driver %wZ\n", status, &path);
    }
    platform_.Trace().Add("kernel", "framework", "unbind", "DriverEntry failed");
    // Unbinding deletes the WDFDRIVER with whatever it owns and calls no EvtDriverUnload
    // (src/framework/kmdf/src/librarycommon/fxlibrarycommon.cpp,
    // FxLibraryCommonUnregisterClient: Driver->DeleteObject()).
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
    bool nonPnp = false;
    {
        std::lock_guard lock(mutex_);
        if (!loaded_) {
            blocker = "no driver is loaded";
        }
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
        // The registration holds a reference on the driver object, so the image cannot go; the
        // model keeps it loaded, and names each registration the driver leaked.
        blocker = std::to_string(platform_.Pnp().RegistrationCount()) + " PnP notification registration(s) held";
        platform_.Pnp().ReportHeld("UnloadDriver");
    }
    if (blocker.empty()) {
        // The I/O manager unloads a driver once: a second caller that passed the checks above
        // while the first was running finds the unload claimed.
        std::lock_guard lock(mutex_);
        if (unloading_) {
            blocker = "an unload is already under way";
        }
        unloading_ = true;
    }
    if (!blocker.empty()) {
        platform_.Trace().Add("test", "kernel", "UnloadDriver", "refused: " + blocker, STATUS_INVALID_DEVICE_STATE);
        return false;
    }
    platform_.Trace().Add("test", "kernel", "UnloadDriver", "");

    PDRIVER_OBJECT driverObject = nullptr;
    bool image = false;
    {
        std::lock_guard lock(mutex_);
        driverObject = driverObject_;
        image = image_ != nullptr;
    }
    if (image) {
        // The kernel calls the DRIVER_OBJECT's unload routine: the entry glue's, which runs the
        // framework's (RunFrameworkUnload) and then unbinds.
        auto* unloadRoutine = reinterpret_cast<VOID(NTAPI*)(PDRIVER_OBJECT)>(driverObject->KitDriverUnload());
        if (unloadRoutine != nullptr) {
            CallIntoDriver("DriverUnload", unloadRoutine, driverObject);
        }
        std::lock_guard lock(mutex_);
        if (!unbound_) {
            platform_.Verifier().Report("UnloadDriver", "", 0, "the image's unload did not call WdfVersionUnbind");
        }
        image_ = nullptr;
        globals_.reset();
        functionTable_.clear();
    } else {
        RunFrameworkUnload();
    }
    {
        std::lock_guard lock(mutex_);
        driver_ = 0;
        loaded_ = false;
        unloading_ = false;
        version_.reset();
    }
    RunUnloadChecks("driver unload");
    ReleaseDriverObject();
    return true;
}

void FrameworkModel::RunFrameworkUnload()
{
    std::uint64_t driver = 0;
    PFN_WDF_DRIVER_UNLOAD unload = nullptr;
    {
        std::lock_guard lock(mutex_);
        driver = driver_;
        unload = unload_;
    }
    if (unload != nullptr && driver != 0) {
        platform_.Trace().Add("framework", "driver", "EvtDriverUnload", HandleText(driver));
        CallIntoDriver("EvtDriverUnload", unload, AsHandle<WDFDRIVER>(driver));
    }
    // EvtDriverUnload first, then the WDFDRIVER is deleted with what it still owns (a non-PnP
    // driver's control devices): src/framework/shared/core/fxdriver.cpp, FxDriver::Unload.
    if (driver != 0) {
        DeleteTree(driver, "driver unload");
    }
    std::lock_guard lock(mutex_);
    driver_ = 0;
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

PVOID FrameworkModel::ContextOf(WDFOBJECT object) const
{
    std::lock_guard lock(mutex_);
    const Object* found = FindLocked(fx::Key(object));
    return found != nullptr ? found->context.get() : nullptr;
}

std::optional<DriverConfigRecord> FrameworkModel::DriverConfig() const
{
    std::lock_guard lock(mutex_);
    return config_;
}

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
    // The order and statuses of src/framework/shared/core/fxdriverapi.cpp, WdfDriverCreate: the
    // framework traces these failures and returns the status without a verifier break.
    if (config->Size != sizeof(WDF_DRIVER_CONFIG)) {
        return Finish(kOp, "WDF_DRIVER_CONFIG.Size " + std::to_string(config->Size), STATUS_INFO_LENGTH_MISMATCH);
    }
    // WdfDriverInitCompanion (0x4) is for user-mode drivers only.
    constexpr ULONG kValidInitFlags = WdfDriverInitNonPnpDriver | WdfDriverInitNoDispatchOverride | 0x4;
    if ((config->DriverInitFlags & ~kValidInitFlags) != 0) {
        return Finish(kOp, "invalid DriverInitFlags", STATUS_INVALID_PARAMETER);
    }
    if (!ValidUnicodeString(*registryPath)) {
        return Finish(kOp, "malformed RegistryPath", STATUS_INVALID_PARAMETER);
    }
    {
        std::lock_guard lock(mutex_);
        if (driverCreated_) {
            return Finish(kOp, "called a second time", STATUS_DRIVER_INTERNAL_ERROR);
        }
    }
    if (driver != nullptr) {
        *driver = nullptr;
    }
    if ((config->DriverInitFlags & WdfDriverInitNoDispatchOverride) == 0 &&
        (config->DriverInitFlags & WdfDriverInitNonPnpDriver) != 0 && config->EvtDriverDeviceAdd != nullptr) {
        return Finish(kOp, "non-PnP driver with EvtDriverDeviceAdd", STATUS_INVALID_PARAMETER);
    }
    Creation creation;
    status = ReadAttributes(attributes, kParentNotAllowed | kExecutionLevelAllowed | kSynchronizationScopeAllowed,
                            &creation);
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, "DriverAttributes", status);
    }

    std::string problem;
    std::uint64_t handle = 0;
    {
        std::lock_guard lock(mutex_);
        if (driverEntryThread_ != std::this_thread::get_id()) {
            problem = "called outside DriverEntry";
            status = STATUS_INVALID_DEVICE_STATE;
        } else if (driverCreated_) {
            status = STATUS_DRIVER_INTERNAL_ERROR; // a second call raced the first
        } else if (driverObject != driverObject_) {
            problem = "DriverObject is not the one passed to DriverEntry";
            status = STATUS_INVALID_PARAMETER;
        } else {
            handle = InsertLocked(FxType::Driver, 0, creation);
            driver_ = handle;
            driverGlobal_ = handle;
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
    }
    if (!NT_SUCCESS(status)) {
        return Finish(kOp, problem, status);
    }
    if (driver != nullptr) {
        *driver = AsHandle<WDFDRIVER>(handle);
    }
    return Finish(kOp, "WDFDRIVER " + HandleText(handle), STATUS_SUCCESS);
}

// src/framework/shared/core/fxdriverapi.cpp, WdfDriverCreate, stores the handle in
// WdfDriverGlobals->Driver, which the kit's inline WdfGetDriver reads; FxDriver::Unload
// (fxdriver.cpp) clears only the framework's internal pointer, so a late call still gets the
// handle, now dead. The model returns it too, and records the call.
WDFDRIVER FrameworkModel::GetDriver() const
{
    // Not traced: the kit reads the driver globals inline.
    std::uint64_t handle = 0;
    bool gone = false;
    {
        std::lock_guard lock(mutex_);
        handle = driverGlobal_;
        gone = handle != 0 && FindLocked(handle) == nullptr;
    }
    if (gone) {
        platform_.Verifier().Report("WdfGetDriver", HandleText(handle), 0,
                                    "called after the WDFDRIVER was deleted: the handle it returns is dead");
    }
    return AsHandle<WDFDRIVER>(handle);
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
