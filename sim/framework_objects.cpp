// Host platform, framework objects and their deletion.
//
// Contract: every framework object lives in one table keyed by a handle value that is never
// reused, so a stale or forged handle becomes a verifier record, not a crash. Creation reads the
// WDF_OBJECT_ATTRIBUTES (size, callbacks, typed context, parent) and links the object under its
// parent. Deletion claims the object and every live descendant, runs the cleanup pass (children
// before parents; an I/O target is closed after its own cleanup callback, before its parent's),
// then the destroy pass (children before parents), freeing each context right after its destroy
// callback; a control device's children are destroyed as soon as its own cleanup has run. A
// parent whose deletion has begun takes no child (STATUS_DELETE_PENDING). No lock is held while
// driver code runs, so callbacks may call back in. WdfObjectDelete is accepted once per object,
// as the framework asserts; a test may hold a deletion at a phase.
#include "sim/framework.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <new>

#include "sim/framework_internal.h"
#include "sim/image_loader.h"
#include "sim/irql.h"
#include "sim/platform.h"

namespace sim {

using fx::AsHandle;
using fx::Key;
using fx::kHandleBase;
using fx::kHandleStep;

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

bool FrameworkModel::CheckHandle(const char* operation, const void* handle, std::optional<FxType> expected,
                                 bool contextAccess)
{
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        const Object* object = FindLocked(Key(handle));
        if (object == nullptr) {
            problem = "invalid or deleted framework handle";
        } else if (object->life == Life::Destroying && !contextAccess) {
            // src/framework/shared/inc/private/common/fxhandle.h, FxObjectHandleGetPtr: "The only
            // DDI you can call on an object which has a ref count of zero is
            // WdfObjectGetTypedContextWorker()" - the state of an object in its destroy callback.
            // Calls on other objects (deleting the control device from a device's destroy
            // callback) are fine.
            problem = std::string("called on a ") + FxTypeName(object->type) +
                      " from its destroy callback (reference count zero); only its typed context may be read";
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

// The checks and statuses of src/framework/shared/object/fxvalidatefunctions.cpp,
// FxValidateObjectAttributes. The framework only traces these and returns the status (no
// verifier break), so neither does the model; the caller sees the failure.
NTSTATUS FrameworkModel::ReadAttributes(PWDF_OBJECT_ATTRIBUTES attributes, unsigned options, Creation* creation)
{
    if (attributes == nullptr) {
        return STATUS_SUCCESS;
    }
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    const WDF_OBJECT_CONTEXT_TYPE_INFO* info = attributes->ContextTypeInfo;
    // The 1.0 layout ends before UniqueType; both sizes are accepted.
    constexpr ULONG kTypeInfoSizeV10 = static_cast<ULONG>(offsetof(WDF_OBJECT_CONTEXT_TYPE_INFO, UniqueType));
    if (info != nullptr) {
        if (info->Size != sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO) && info->Size != kTypeInfoSizeV10) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        // A name with size 0 is allowed; a size without a name is not.
        if (info->ContextSize > 0 && info->ContextName == nullptr) {
            return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
        }
    }
    if (attributes->ContextSizeOverride > 0 &&
        (info == nullptr || attributes->ContextSizeOverride < info->ContextSize)) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    if ((options & kParentNotAllowed) != 0 && attributes->ParentObject != nullptr) {
        return STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED;
    }
    if (attributes->ExecutionLevel == WdfExecutionLevelInvalid ||
        attributes->ExecutionLevel > WdfExecutionLevelDispatch ||
        attributes->SynchronizationScope == WdfSynchronizationScopeInvalid ||
        attributes->SynchronizationScope > WdfSynchronizationScopeNone) {
        return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
    }
    if ((options & kSynchronizationScopeAllowed) == 0 &&
        attributes->SynchronizationScope != WdfSynchronizationScopeInheritFromParent &&
        attributes->SynchronizationScope != WdfSynchronizationScopeNone) {
        return STATUS_WDF_SYNCHRONIZATION_SCOPE_INVALID;
    }
    if ((options & kExecutionLevelAllowed) == 0 && attributes->ExecutionLevel != WdfExecutionLevelInheritFromParent) {
        return STATUS_WDF_EXECUTION_LEVEL_INVALID;
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
    if (info != nullptr) {
        creation->contextType = info->UniqueType != nullptr ? info->UniqueType : info;
        record.contextTypeName = info->ContextName != nullptr ? info->ContextName : "";
        record.contextSize = std::max<std::size_t>(info->ContextSize, attributes->ContextSizeOverride);
        return AllocateContext(record.contextSize, &creation->context);
    }
    return STATUS_SUCCESS;
}

// The object and its context are one pool allocation in the framework, whose size
// src/framework/shared/object/handleapi.cpp (FxCalculateObjectTotalSize2) computes: a context
// size that overflows when aligned up fails with STATUS_INTEGER_OVERFLOW, and one the pool
// cannot provide fails the allocation. The host bounds the context by the pool's capacity.
NTSTATUS FrameworkModel::AllocateContext(std::size_t size, ContextMemory* context)
{
    constexpr std::size_t kUnit = sizeof(std::max_align_t);
    if (size > std::numeric_limits<std::size_t>::max() - (kUnit - 1)) {
        return STATUS_INTEGER_OVERFLOW;
    }
    if (size > platform_.Pool().Capacity()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const std::size_t units = std::max<std::size_t>(1, (size + kUnit - 1) / kUnit);
    context->reset(static_cast<std::max_align_t*>(GuestVisibleAllocate(units * kUnit)));
    return *context != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// src/framework/shared/object/fxobject.cpp, FxObject::AddChildObjectInternal: a parent whose
// deletion has begun (its state has left FxObjectStateCreated) takes no child and the creation
// fails with STATUS_DELETE_PENDING. A parent that is gone altogether is a dead handle.
NTSTATUS FrameworkModel::ParentAcceptsChildrenLocked(std::uint64_t parent) const
{
    const Object* object = FindLocked(parent);
    if (object == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return object->life == Life::Live ? STATUS_SUCCESS : STATUS_DELETE_PENDING;
}

std::uint64_t FrameworkModel::InsertLocked(FxType type, std::uint64_t parent, Creation& creation)
{
    auto object = std::make_unique<Object>();
    object->handle = kHandleBase + kHandleStep * nextHandle_++;
    object->type = type;
    object->parent = parent;
    object->cleanup = creation.cleanup;
    object->destroy = creation.destroy;
    object->attributes = creation.record;
    object->contextType = creation.contextType;
    object->context = std::move(creation.context);
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
        CallIntoDriver(destroyPass ? "EvtDestroyCallback" : "EvtCleanupCallback", callback,
                       AsHandle<WDFOBJECT>(handle));
    }
    return type;
}

// The order of src/framework/shared/object/fxobjectstatemachine.cpp: DisposeChildrenWorker
// disposes every child (recursively) before the object's own cleanup callback runs, and
// DeletedAndDisposedWorkerLocked destroys the children (fxobject.hpp, DestroyChildren) before
// the object's last reference goes and its destroy callback runs (fxobjectstatemachine.cpp,
// FxObject::ProcessDestroy). An I/O target's dispose runs its cleanup callback, then cancels and
// waits for its I/O (shared/targets/general/fxiotarget.cpp, FxIoTarget::Dispose).
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
    StopAtDeletionHold(root, DeletionPhase::BeforeCleanup);

    for (std::size_t index = 0; index < order.size(); ++index) {
        const std::uint64_t handle = order[index];
        WaitForChildren(handle, false);
        const FxType type = InvokeObjectCallback(handle, false);
        if (type == FxType::IoTarget) {
            CloseTarget(handle, IoTargetState::Deleted);
        }
        bool control = false;
        {
            std::lock_guard lock(mutex_);
            Object& object = *objects_.at(handle);
            object.life = Life::CleanedUp;
            control = object.control;
        }
        platform_.Sched().Notify();
        if (control) {
            // src/framework/shared/core/fxdevice.cpp, FxDevice::Dispose: a control (legacy)
            // device destroys its children right after its own cleanup callback, before the
            // rest of the tree is disposed of. They precede it in `order` (children first).
            for (std::size_t child = 0; child < index; ++child) {
                if (IsDescendant(order[child], handle)) {
                    DestroyObject(order[child]);
                }
            }
        }
    }

    for (std::uint64_t handle : order) {
        DestroyObject(handle);
    }
    StopAtDeletionHold(root, DeletionPhase::AfterDestroy);
    return true;
}

bool FrameworkModel::IsDescendant(std::uint64_t handle, std::uint64_t ancestor) const
{
    std::lock_guard lock(mutex_);
    for (std::uint64_t at = objects_.at(handle)->parent; at != 0; at = objects_.at(at)->parent) {
        if (at == ancestor) {
            return true;
        }
    }
    return false;
}

void FrameworkModel::DestroyObject(std::uint64_t handle)
{
    {
        std::lock_guard lock(mutex_);
        if (objects_.at(handle)->life == Life::Destroyed) {
            return; // destroyed early with its control device's children
        }
    }
    WaitForChildren(handle, true);
    {
        std::lock_guard lock(mutex_);
        objects_.at(handle)->life = Life::Destroying;
    }
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

PVOID FrameworkModel::GetTypedContext(WDFOBJECT object, PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo)
{
    // Not traced: the kit implements this as an inline accessor the driver calls constantly.
    static constexpr const char* kOp = "WdfObjectGetTypedContextWorker";
    RequireIrqlAtMost(kOp, DISPATCH_LEVEL);
    if (!CheckHandle(kOp, object, std::nullopt, true)) {
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
    // src/framework/shared/object/fxobjectapi.cpp, WdfObjectDelete: an object marked "no delete
    // DDI" is not deleted and the framework verifier breaks in. The WDFDRIVER is one
    // (shared/core/fxdriver.cpp, FxDriver::FxDriver), and so is a PnP device
    // (shared/core/km/fxdevicekm.cpp); a control device is not.
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
    if (!MarkDeleteCalled(kOp, Key(object))) {
        return;
    }
    // Deleting an object whose deletion is already under way (from its own or a parent's
    // callback) is accepted and changes nothing.
    DeleteTree(Key(object), "WdfObjectDelete");
}

// ---------------------------------------------------------------------------------------------
// Deletion race hooks and the once-per-object rule of WdfObjectDelete

// shared/object/fxobjectstatemachine.cpp, FxObject::DeleteObject: the delete-called flag is set
// on the first call and a second one fails its assertion ("should only be called once per
// object"); deletion by a parent does not set the flag.
bool FrameworkModel::MarkDeleteCalled(const char* operation, std::uint64_t handle)
{
    {
        std::lock_guard lock(mutex_);
        Object* object = FindLocked(handle);
        if (object == nullptr) {
            return false; // destroyed since the handle check by a concurrent deleter
        }
        if (!object->deleteCalled) {
            object->deleteCalled = true;
            return true;
        }
    }
    Report(operation, handle, "called again on an object already being deleted by WdfObjectDelete");
    return false;
}

void FrameworkModel::HoldDeletion(WDFOBJECT object, DeletionPhase phase)
{
    // Phase and root are read together under the scheduler mutex, so they are written together
    // under it: a deletion never sees a new phase with the old root.
    std::lock_guard lock(platform_.Sched().Mutex());
    deletionHoldPhase_ = phase;
    deletionHoldRoot_ = Key(object);
    platform_.Sched().NotifyLocked();
}

bool FrameworkModel::DeletionHeld() const
{
    return deletionHeld_;
}

void FrameworkModel::ReleaseDeletionHold()
{
    deletionHoldRoot_ = 0;
    platform_.Sched().Notify();
}

void FrameworkModel::StopAtDeletionHold(std::uint64_t root, DeletionPhase phase)
{
    std::unique_lock lock(platform_.Sched().Mutex());
    if (deletionHoldRoot_ != root || deletionHoldPhase_ != phase) {
        return;
    }
    deletionHeld_ = true;
    platform_.Sched().NotifyLocked();
    platform_.Sched().WaitUntil(lock, [this, root] { return deletionHoldRoot_ != root; });
    deletionHeld_ = false;
}

} // namespace sim

// ---------------------------------------------------------------------------------------------
// C entry points

using sim::Platform;

EXTERN_C PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    return Platform::Current().Framework().GetTypedContext(Handle, TypeInfo);
}

EXTERN_C VOID WdfObjectDelete(WDFOBJECT Object)
{
    Platform::Current().Framework().ObjectDelete(Object);
}
