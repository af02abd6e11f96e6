// Host platform: the driver framework: objects, driver, devices, I/O targets, loader, PnP manager.
//
// One class, implemented by area: framework_objects.cpp (handles, attributes, contexts, deletion),
// framework_driver.cpp (WDFDRIVER and the loader), framework_device.cpp (device inits, devices and
// the PnP manager's device calls), framework_iotarget.cpp (I/O targets and their sends).
//
// Framework handles (WDFDRIVER, WDFDEVICE, WDFIOTARGET) and device init structures are opaque
// numbers that index a table here; the model never dereferences one, so a stale or forged value
// becomes a verifier record instead of a crash. Handle values are never reused, so a handle that
// outlives its object is always recognised as deleted.
//
// Deletion runs as the framework documents it: first the cleanup pass over the object and every
// descendant (children before parents; an I/O target runs its own cleanup callback, then has its
// sends cancelled and waited for, before its parent's cleanup runs), then the destroy pass
// (children before parents); each object's handle dies and its context is freed right after its
// destroy callback. A control device destroys its children right after its own cleanup
// (FxDevice::Dispose), not in the tree's destroy pass. A child created on a parent whose deletion
// has begun fails with STATUS_DELETE_PENDING (FxObject::AddChildObjectInternal). No lock is held
// while driver code runs, so callbacks may call back into the framework (a device's destroy
// callback may delete the control device).
//
// WdfGetDriver reads WdfDriverGlobals->Driver, which WdfDriverCreate sets and nothing clears
// (src/framework/shared/core/fxdriverapi.cpp, WdfGetDriver): after the WDFDRIVER is gone it
// still returns the stale handle, and the model records the late call.
//
// Threads: the loader, the PnP manager and the driver's calls run on whatever registered thread
// calls them; AddDevice and RemoveDevice may run concurrently. Blocking (close waiting for
// sends, a parent waiting for children claimed by another deleter) goes through the scheduler.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdfdevice.h"
#include "platform/wdfdriver.h"
#include "platform/wdfiotarget.h"
#include "sim/arena.h"
#include "sim/leaf_lock.h"

namespace sim {

// An object context: the driver reads and writes it, so it is guest-visible memory.
using ContextMemory = std::unique_ptr<std::max_align_t[], GuestVisibleDelete>;

class Platform;
class DriverImage;

// The host routine ntoskrnl.exe or WDFLDR.SYS exports under `name` for an image, or nullptr.
const void* HostImport(const std::string& module, const std::string& name);

enum class FxType {
    Driver,
    Device,
    IoTarget
};
const char* FxTypeName(FxType type);

// Where a held deletion stops (see FrameworkModel::HoldDeletion): with the object claimed but
// before any cleanup callback has run, or after its destroy pass, when its handle is already dead
// but the call that started the deletion has not returned yet.
enum class DeletionPhase {
    BeforeCleanup,
    AfterDestroy
};

// What the driver passed in a WDF_OBJECT_ATTRIBUTES, as recorded at creation.
struct FxAttributesRecord {
    bool supplied = false; // attributes were passed at all
    bool cleanupCallback = false;
    bool destroyCallback = false;
    WDF_EXECUTION_LEVEL executionLevel = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope = WdfSynchronizationScopeInheritFromParent;
    std::string contextTypeName; // "" without a typed context
    std::size_t contextSize = 0;
};

struct DriverConfigRecord {
    bool deviceAddCallback = false;
    bool unloadCallback = false;
    ULONG driverInitFlags = 0;
    ULONG driverPoolTag = 0;
    std::u16string registryPath;
    FxAttributesRecord attributes;
};

// The framework version the loader bound the driver to.
struct FrameworkVersion {
    ULONG major = 0;
    ULONG minor = 0;
};

enum class IoTargetState {
    Created,
    Opened,
    Closed,
    Deleted
};
const char* IoTargetStateName(IoTargetState state);

// The last WdfIoTargetOpen parameters the framework accepted for inspection (Size was right).
struct OpenRecord {
    WDF_IO_TARGET_OPEN_TYPE type = WdfIoTargetOpenUndefined;
    std::u16string name; // the framework's own copy of TargetDeviceName
    ACCESS_MASK desiredAccess = 0;
    ULONG shareAccess = 0;
    ULONG createDisposition = 0;
    ULONG createOptions = 0;
    bool queryRemoveCallback = false;
    bool removeCanceledCallback = false;
    bool removeCompleteCallback = false;
};

// Where a synchronous IOCTL goes. `input` and `output` are one METHOD_BUFFERED system buffer
// (the same address): the receiver reads its input before writing its output, as a real
// buffered IOCTL handler must. `cancelled` is evaluated under the scheduler mutex.
using IoctlHandler = std::function<NTSTATUS(const std::u16string& link, ULONG ioctlCode, const void* input,
                                            ULONG inputLength, void* output, ULONG outputLength, ULONG_PTR* information,
                                            const std::function<bool()>& cancelled)>;

class FrameworkModel {
public:
    static constexpr const char16_t* kDefaultRegistryPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\fwrelay";
    // The framework's entry library, linked into an image ahead of DriverEntry, keeps a copy of
    // the registry path in pool under this tag from load to unload. That allocation is the
    // framework's, not the driver's: the pool asks the fault injector about it under
    // kEntryLibraryAllocation, outside the driver's fallible calls, so a rule counting the
    // driver's allocations (or its calls) counts the same calls whatever entry library is linked.
    static constexpr ULONG kEntryLibraryTag = 0x62537446; // 'FtSb' in memory order
    static constexpr const char* kEntryLibraryAllocation = "EntryLibraryAllocation";

    explicit FrameworkModel(Platform& platform);
    ~FrameworkModel();
    FrameworkModel(const FrameworkModel&) = delete;
    FrameworkModel& operator=(const FrameworkModel&) = delete;

    // The model owns no thread; this cancels any send still in flight so that a sender blocked
    // at platform teardown returns. Idempotent.
    void Shutdown();

    // ---- Loader ----
    // Creates the DRIVER_OBJECT, binds framework 1.15 and calls entry on the calling thread. On
    // failure prints the start-up failure line, deletes what the driver created (no
    // EvtDriverUnload) and runs the unload checks.
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string registryPath = kDefaultRegistryPath);
    // False (and nothing called) while a device or a PnP registration remains, or while another
    // UnloadDriver runs. Otherwise EvtDriverUnload, deletion of the WDFDRIVER tree, the unload
    // checks, and the release of the DRIVER_OBJECT.
    bool UnloadDriver();
    // The same for the x64 Windows image: its entry point (the framework's entry glue) binds
    // through WdfVersionBind and calls DriverEntry; once it has succeeded INIT is discarded. The
    // image must stay mapped until the driver has unloaded.
    NTSTATUS LoadDriver(DriverImage& image, std::u16string registryPath = kDefaultRegistryPath);
    bool Loaded() const;
    std::optional<FrameworkVersion> BoundVersion() const;
    PDRIVER_OBJECT DriverObject() const;
    // The typed context of `object`, whatever its type (for a test reading an image's state).
    PVOID ContextOf(WDFOBJECT object) const;

    // ---- WDFLDR.SYS, for an image (framework_bind.cpp) ----
    NTSTATUS Bind(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, void* bindInfo,
                  PWDF_DRIVER_GLOBALS* globals);
    NTSTATUS Unbind(PUNICODE_STRING registryPath, void* bindInfo, PWDF_DRIVER_GLOBALS globals);
    // After WdfDriverCreate: the globals' Driver, and the framework's unload in the DRIVER_OBJECT.
    void PublishDriver(PWDF_DRIVER_GLOBALS globals);
    // The framework's own unload: EvtDriverUnload, then the WDFDRIVER tree is deleted.
    void RunFrameworkUnload();

    // ---- PnP manager ----
    // A fresh PnP init handed to EvtDriverDeviceAdd on the calling thread; a device created
    // from it is deleted again when the callback fails.
    NTSTATUS AddDevice(WDFDEVICE* created = nullptr);
    // Surprise-free removal: the device's cleanup pass then its destroy pass.
    void RemoveDevice(WDFDEVICE device);
    std::vector<WDFDEVICE> PnpDevices() const;
    std::vector<WDFDEVICE> ControlDevices() const;
    WDFDEVICE ControlDevice() const; // the first live control device, or NULL
    std::string ControlDeviceSddl(WDFDEVICE device) const;
    // The name the device was created with ("" when none was assigned) and its characteristics.
    std::u16string DeviceName(WDFDEVICE device) const;
    std::optional<ULONG> DeviceCharacteristics(WDFDEVICE device) const;
    bool ControlFinished(WDFDEVICE device) const;
    // Control inits allocated and neither consumed nor freed.
    std::size_t PendingControlInits() const;

    // ---- Target-device removal ----
    // Closes (cancel + wait, on the calling thread) every target open on `link`, as the
    // framework does for a removed target device when the driver gave no remove callbacks.
    void OnInterfaceRemoved(const std::u16string& link);
    // Routes synchronous IOCTLs to `handler` instead of the TA service model; empty restores it.
    void SetIoctlHandlerForTest(IoctlHandler handler);

    // ---- Observation ----
    std::optional<DriverConfigRecord> DriverConfig() const;
    std::optional<FxAttributesRecord> Attributes(WDFOBJECT object) const;
    std::size_t LiveObjectCount(FxType type) const;
    std::size_t LiveObjectCount() const;
    bool IsLive(WDFOBJECT object) const;
    std::optional<OpenRecord> TargetOpenParams(WDFIOTARGET target) const;
    std::optional<IoTargetState> TargetState(WDFIOTARGET target) const;
    std::size_t SendsInFlight() const;
    // The caller's output buffer as each synchronous send reached the framework, for the last
    // 64 sends, oldest first: what a breakpoint on the send would show.
    std::vector<std::vector<std::uint8_t>> SendOutputsOnEntry() const;
    // Race hook: while held, a synchronous send waits at its entry, before the framework has
    // looked at the target handle; lets a test delete the target's parent under a sender that
    // has read the handle but not used it yet.
    void HoldSendsAtEntry(bool hold);
    std::size_t SendsHeldAtEntry() const;
    // Race hook: while held, WdfIoTargetOpen waits after it has found the target's interface
    // present and before it marks the target open; lets a test remove the interface in between.
    void HoldOpensBeforeCommit(bool hold);
    std::size_t OpensHeld() const;
    // Race hook: the next deletion of `object` stops at `phase` until ReleaseDeletionHold(), so
    // that a test can add, remove and delete on other threads while it is under way. One hold
    // at a time; arming replaces the previous one.
    void HoldDeletion(WDFOBJECT object, DeletionPhase phase);
    bool DeletionHeld() const;
    void ReleaseDeletionHold();
    // Race hook: while held, each WdfDeviceCreate waits at its entry, before it has looked at
    // anything, so that a test can add and remove other devices while a device add is under
    // way. ReleaseHeldDeviceCreate() lets the longest-waiting call go on; turning the hold off
    // lets later calls through, not those already waiting.
    void HoldDeviceCreates(bool hold);
    std::size_t DeviceCreatesHeld() const;
    void ReleaseHeldDeviceCreate();

    // ---- The framework's C entry points land here (signatures as in platform/wdf*.h) ----
    NTSTATUS DriverCreate(PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath, PWDF_OBJECT_ATTRIBUTES attributes,
                          PWDF_DRIVER_CONFIG config, WDFDRIVER* driver);
    WDFDRIVER GetDriver() const;
    PDRIVER_OBJECT DriverWdmGetDriverObject(WDFDRIVER driver);
    PWDFDEVICE_INIT ControlDeviceInitAllocate(WDFDRIVER driver, const UNICODE_STRING* sddl);
    void DeviceInitFree(PWDFDEVICE_INIT init);
    NTSTATUS DeviceInitAssignName(PWDFDEVICE_INIT init, PCUNICODE_STRING name);
    void DeviceInitSetCharacteristics(PWDFDEVICE_INIT init, ULONG characteristics, BOOLEAN orInValues);
    NTSTATUS DeviceCreate(PWDFDEVICE_INIT* init, PWDF_OBJECT_ATTRIBUTES attributes, WDFDEVICE* device);
    void ControlFinishInitializing(WDFDEVICE device);
    PVOID GetTypedContext(WDFOBJECT object, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo);
    void ObjectDelete(WDFOBJECT object);
    NTSTATUS IoTargetCreate(WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET* target);
    NTSTATUS IoTargetOpen(WDFIOTARGET target, PWDF_IO_TARGET_OPEN_PARAMS params);
    void IoTargetClose(WDFIOTARGET target);
    NTSTATUS IoTargetSendIoctlSynchronously(WDFIOTARGET target, WDFREQUEST request, ULONG ioctlCode,
                                            PWDF_MEMORY_DESCRIPTOR input, PWDF_MEMORY_DESCRIPTOR output,
                                            PWDF_REQUEST_SEND_OPTIONS options, PULONG_PTR bytesReturned);

private:
    // Live -> Deleting (claimed by one deleter) -> CleanedUp -> Destroying (its destroy callback
    // runs: reference count zero) -> Destroyed (handle dead).
    enum class Life {
        Live,
        Deleting,
        CleanedUp,
        Destroying,
        Destroyed
    };

    struct Send {
        std::atomic<bool> cancelled{false};
    };

    struct Object {
        std::uint64_t handle = 0;
        FxType type = FxType::Driver;
        Life life = Life::Live;
        std::uint64_t parent = 0;
        std::vector<std::uint64_t> children;
        PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
        PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
        FxAttributesRecord attributes;
        PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr; // the UniqueType
        ContextMemory context;
        // Devices.
        bool control = false;
        std::string sddl;
        std::u16string deviceName;
        ULONG characteristics = 0;
        bool finished = false;
        bool deleteCalled = false; // WdfObjectDelete was called on it
        // I/O targets.
        IoTargetState state = IoTargetState::Created;
        std::optional<OpenRecord> open;
        // open->name, and its text as the trace shows it, made once at open. A send reads them
        // for its whole course while a close and a reopen on another thread may make new ones, so
        // every one made is kept with the object, which outlives every send (objects stay as
        // tombstones): a send needs no reference count.
        struct OpenName {
            std::u16string name;
            std::string text;
        };
        const OpenName* openName = nullptr;
        std::vector<std::unique_ptr<const OpenName>> openNames;
        // Sends in progress, on their callers' stacks: each leaves the list before it returns.
        std::vector<Send*> sends;
    };

    enum class InitState {
        Pending,
        Consumed,
        Freed
    };

    struct DeviceInit {
        bool control = false;
        std::string sddl;
        ULONG characteristics = 0;
        std::optional<std::u16string> name; // WdfDeviceInitAssignName
        InitState state = InitState::Pending;
        std::uint64_t device = 0; // created from this init

        // src/framework/shared/inc/private/common/fxdeviceinit.hpp, WDFDEVICE_INIT::HasName.
        bool HasName() const { return name.has_value() || (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0; }
    };
    DeviceInit* PendingInitLocked(std::uint64_t key, std::string* problem);

    // Validated creation parameters shared by every object type.
    struct Creation {
        FxAttributesRecord record;
        PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr;
        PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr;
        PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;
        std::uint64_t parent = 0; // the ParentObject the driver named (0 for none)
        // The typed context's zero-filled memory, taken before the object is made, so that a
        // size the machine cannot provide fails the creation as the framework's does.
        ContextMemory context;
    };

    NTSTATUS Finish(const char* operation, const std::string& detail, NTSTATUS status);
    void Report(const char* operation, std::uint64_t handle, const std::string& message);
    static std::string HandleText(std::uint64_t handle);
    static std::string HandleText(const void* handle);

    // Under mutex_: the object behind a live handle of the expected type, or nullptr.
    Object* FindLocked(std::uint64_t handle);
    const Object* FindLocked(std::uint64_t handle) const;
    // Looks the handle up and records the misuse when it is dead, unknown or of another type.
    // A handle whose destroy callback is running is refused unless `contextAccess` (the only call
    // the framework allows on an object with a reference count of zero).
    bool CheckHandle(const char* operation, const void* handle, std::optional<FxType> expected,
                     bool contextAccess = false);

    // Options of the attribute check, as each creating call of the framework passes them.
    static constexpr unsigned kParentNotAllowed = 0x1;
    static constexpr unsigned kExecutionLevelAllowed = 0x2;
    static constexpr unsigned kSynchronizationScopeAllowed = 0x4;
    NTSTATUS ReadAttributes(PWDF_OBJECT_ATTRIBUTES attributes, unsigned options, Creation* creation);
    NTSTATUS AllocateContext(std::size_t size, ContextMemory* context);
    // Takes the creation's context.
    std::uint64_t InsertLocked(FxType type, std::uint64_t parent, Creation& creation);
    // STATUS_SUCCESS, STATUS_DELETE_PENDING while its deletion runs, STATUS_INVALID_DEVICE_STATE
    // once it is gone.
    NTSTATUS ParentAcceptsChildrenLocked(std::uint64_t parent) const;

    // Deletes `root` and its descendants (cleanup pass, then destroy pass). Returns false when
    // another deleter already claimed it.
    bool DeleteTree(std::uint64_t root, const std::string& reason);
    void ClaimLocked(std::uint64_t handle, std::vector<std::uint64_t>* order);
    bool IsDescendant(std::uint64_t handle, std::uint64_t ancestor) const;
    // The destroy step of one claimed object, once its children are destroyed; nothing if it
    // already was.
    void DestroyObject(std::uint64_t handle);
    void WaitForChildren(std::uint64_t handle, bool destroyed);
    // Waits here while a HoldDeletion() for this root and phase is armed.
    void StopAtDeletionHold(std::uint64_t root, DeletionPhase phase);
    // WdfObjectDelete may be called once per object; false (and a verifier record) on a repeat.
    bool MarkDeleteCalled(const char* operation, std::uint64_t handle);
    // Runs the object's cleanup or destroy callback, if it has one; returns the object's type.
    FxType InvokeObjectCallback(std::uint64_t handle, bool destroyPass);
    // Waits, as a scheduler participant, while `hold` is set, counting itself in `held`.
    void StopAtHold(const std::atomic<bool>& hold, std::atomic<std::size_t>& held);
    // Moves a target to `state`, cancels its sends and waits for them to return.
    void CloseTarget(std::uint64_t handle, IoTargetState state);

    void RunUnloadChecks(const std::string& when);
    void ReleaseDriverObject();

    Platform& platform_;
    mutable LeafLock mutex_;                                   // leaf: guards everything below
    std::map<std::uint64_t, std::unique_ptr<Object>> objects_; // destroyed ones stay as tombstones
    std::map<std::uint64_t, DeviceInit> inits_;
    std::uint64_t nextHandle_ = 1;
    std::uint64_t driver_ = 0;
    std::uint64_t driverGlobal_ = 0; // WdfDriverGlobals->Driver: set by WdfDriverCreate, never cleared
    std::optional<DriverConfigRecord> config_;
    PFN_WDF_DRIVER_DEVICE_ADD deviceAdd_ = nullptr;
    PFN_WDF_DRIVER_UNLOAD unload_ = nullptr;
    PDRIVER_OBJECT driverObject_ = nullptr;
    std::optional<FrameworkVersion> version_;
    DriverImage* image_ = nullptr; // the image loaded, or NULL for a linked driver
    // What the driver reads: guest-visible, for an image on the emulated CPU.
    GuestVisiblePtr<WDF_DRIVER_GLOBALS> globals_;                                // handed out at bind
    std::vector<const void*, GuestVisibleAllocator<const void*>> functionTable_; // WdfFunctions_01015
    bool unbound_ = false;                                                       // WdfVersionUnbind was called
    std::u16string registryPath_;
    std::optional<std::thread::id> driverEntryThread_; // set while DriverEntry runs
    bool driverCreated_ = false;                       // WdfDriverCreate succeeded during this load
    bool loaded_ = false;
    bool unloading_ = false; // an UnloadDriver has passed its checks and not finished
    IoctlHandler ioctlHandler_;
    std::vector<std::vector<std::uint8_t>> sendOutputsOnEntry_; // a ring of the last 64
    std::size_t sendOutputsNext_ = 0;                           // the oldest, once the ring is full
    // Atomics, so that scheduler predicates may read them.
    std::atomic<bool> holdSends_{false};
    std::atomic<bool> holdOpens_{false};
    std::atomic<bool> deletionHeld_{false};
    std::atomic<std::size_t> sendsHeld_{0};
    std::atomic<std::size_t> opensHeld_{0};
    std::atomic<std::uint64_t> deletionHoldRoot_{0}; // 0: no hold armed
    std::atomic<DeletionPhase> deletionHoldPhase_{DeletionPhase::BeforeCleanup};
    std::atomic<bool> holdCreates_{false};
    std::atomic<std::uint64_t> createsHeld_{0};     // changed under the scheduler mutex, as is
    std::atomic<std::uint64_t> createsReleased_{0}; // the next: WdfDeviceCreate calls let go
};

} // namespace sim
