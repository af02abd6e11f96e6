#include "sim/objects.h"

#include "sim/arena.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/platform.h"

namespace sim {

void* KernelObject::operator new(std::size_t size)
{
    void* p = GuestVisibleAllocate(size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void KernelObject::operator delete(void* p)
{
    GuestVisibleFree(p);
}

std::string KernelObject::Describe() const
{
    return type_ + " '" + label_ + "' at " + Verifier::Pointer(this);
}

ObjectManager::ObjectManager(Platform& platform) : platform_(platform) {}

ObjectManager::~ObjectManager() = default;

void ObjectManager::InsertObject(std::unique_ptr<KernelObject> object)
{
    std::lock_guard lock(mutex_);
    object->references_ = 1;
    const void* key = object.get();
    objects_[key] = std::move(object);
}

KernelObject* ObjectManager::Lookup(const void* p, const char* operation) const
{
    KernelObject* last = last_.load(std::memory_order_acquire);
    if (last != nullptr && static_cast<const void*>(last) == p && !last->deleted_.load(std::memory_order_acquire)) {
        return last;
    }
    std::string problem;
    KernelObject* object = nullptr;
    {
        std::lock_guard lock(mutex_);
        KernelObject* found = nullptr;
        if (auto it = objects_.find(p); it != objects_.end()) {
            found = it->second.get();
            last_.store(found, std::memory_order_release);
        }
        if (found == nullptr) {
            problem = "not a kernel object (bug check 0xC4)";
        } else if (found->deleted_) {
            problem = "object used after its last reference was released (" + found->Describe() + ")";
        } else {
            object = found;
        }
    }
    if (object == nullptr) {
        platform_.Verifier().Report(operation, Verifier::Pointer(p), 0, problem);
    }
    return object;
}

bool ObjectManager::IsLive(const void* p) const
{
    std::lock_guard lock(mutex_);
    auto it = objects_.find(p);
    return it != objects_.end() && !it->second->deleted_;
}

LONG_PTR ObjectManager::ReferenceCount(const void* p) const
{
    std::lock_guard lock(mutex_);
    auto it = objects_.find(p);
    return it == objects_.end() ? 0 : it->second->references_;
}

LONG_PTR ObjectManager::Reference(const void* p, const char* operation)
{
    KernelObject* object = Lookup(p, operation);
    if (object == nullptr) {
        return 0;
    }
    std::lock_guard lock(mutex_);
    return ++object->references_;
}

LONG_PTR ObjectManager::Dereference(const void* p, const char* operation)
{
    KernelObject* object = Lookup(p, operation);
    if (object == nullptr) {
        return 0;
    }
    LONG_PTR remaining = 0;
    {
        std::lock_guard lock(mutex_);
        if (object->references_ <= 0) {
            remaining = -1;
        } else {
            remaining = --object->references_;
            if (remaining == 0) {
                object->deleted_ = true;
            }
        }
    }
    if (remaining < 0) {
        platform_.Verifier().Report(operation, object->Describe(), 0,
                                    "release of an object with no reference held (bug check 0xC4, 0x3F)");
        return 0;
    }
    if (remaining == 0) {
        object->OnLastReference();
    }
    return remaining;
}

namespace {
thread_local std::string tlsProcess; // "" is the system process
} // namespace

ProcessContext::ProcessContext(std::string process) : previous_(std::move(tlsProcess))
{
    tlsProcess = process == kSystem ? std::string() : std::move(process);
}

ProcessContext::~ProcessContext()
{
    tlsProcess = std::move(previous_);
}

std::string ProcessContext::Current()
{
    return tlsProcess.empty() ? kSystem : tlsProcess;
}

HANDLE ObjectManager::CreateHandle(KernelObject* object, ACCESS_MASK grantedAccess, bool kernelHandle)
{
    std::lock_guard lock(mutex_);
    ++object->references_;
    // Kernel handles have the high bit set; keep them recognisable in traces. The model numbers
    // process handles the same way, so a trace reads alike whichever kind the driver made.
    auto value = static_cast<std::uintptr_t>(0xFFFF800000000000ULL | (nextHandle_++ * 4));
    auto handle = reinterpret_cast<HANDLE>(value);
    handles_[handle] = OpenHandle{object, grantedAccess, kernelHandle ? std::string() : ProcessContext::Current()};
    return handle;
}

KernelObject* ObjectManager::FindHandleLocked(HANDLE handle, std::string* problem) const
{
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        *problem = "invalid handle";
        return nullptr;
    }
    const std::string& owner = it->second.process;
    if (!owner.empty() && owner != ProcessContext::Current()) {
        *problem = "handle of process '" + owner + "' (made without OBJ_KERNEL_HANDLE) used in process '" +
                   ProcessContext::Current() + "', whose handle table does not hold it";
        return nullptr;
    }
    return it->second.object;
}

NTSTATUS ObjectManager::ReferenceByHandle(HANDLE handle, const char* operation, KernelObject** object,
                                          const char* objectType)
{
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        KernelObject* found = FindHandleLocked(handle, &problem);
        if (found != nullptr && objectType != nullptr && found->Type() != objectType) {
            return STATUS_OBJECT_TYPE_MISMATCH; // documented, and no misuse of the handle itself
        }
        if (found != nullptr) {
            ++found->references_;
            *object = found;
            return STATUS_SUCCESS;
        }
    }
    platform_.Verifier().Report(operation, Verifier::Pointer(handle), 0, problem + " (bug check 0xC4, 0x3C)");
    return STATUS_INVALID_HANDLE;
}

NTSTATUS ObjectManager::CloseHandle(HANDLE handle, const char* operation)
{
    KernelObject* object = nullptr;
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        object = FindHandleLocked(handle, &problem);
        if (object != nullptr) {
            handles_.erase(handle);
        }
    }
    if (object == nullptr) {
        platform_.Verifier().Report(
            operation, Verifier::Pointer(handle), 0,
            "close of " + (problem == "invalid handle" ? "a handle that is not open" : problem) + " (bug check 0x93)");
        return STATUS_INVALID_HANDLE;
    }
    Dereference(object, operation);
    return STATUS_SUCCESS;
}

std::size_t ObjectManager::OpenHandleCount() const
{
    std::lock_guard lock(mutex_);
    return handles_.size();
}

std::vector<ObjectManager::HandleRecord> ObjectManager::OpenHandles() const
{
    std::lock_guard lock(mutex_);
    std::vector<HandleRecord> result;
    for (const auto& [handle, open] : handles_) {
        result.push_back(HandleRecord{handle, open.object->Type(), open.grantedAccess, open.process});
    }
    return result;
}

void ObjectManager::ReportHeld(const std::string& when) const
{
    std::vector<std::string> held;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [handle, open] : handles_) {
            held.push_back("handle " + Verifier::Pointer(handle) + " to " + open.object->Describe() + " still open");
        }
        for (const auto& [key, object] : objects_) {
            if (!object->deleted_ && object->references_ > 0 && object->Type() != "Driver") {
                held.push_back(object->Describe() + " still referenced (" + std::to_string(object->references_) +
                               " references)");
            }
        }
    }
    for (const auto& text : held) {
        platform_.Verifier().Report(when, "", 0, text);
    }
}

std::vector<const KernelObject*> ObjectManager::LiveObjects() const
{
    std::lock_guard lock(mutex_);
    std::vector<const KernelObject*> result;
    for (const auto& [key, object] : objects_) {
        if (!object->deleted_) {
            result.push_back(object.get());
        }
    }
    return result;
}

} // namespace sim

using sim::Platform;

EXTERN_C LONG_PTR ObfDereferenceObject(PVOID Object)
{
    sim::RequireIrqlAtMost("ObfDereferenceObject", DISPATCH_LEVEL);
    return Platform::Current().Objects().Dereference(Object, "ObfDereferenceObject");
}

EXTERN_C LONG_PTR ObfReferenceObject(PVOID Object)
{
    sim::RequireIrqlAtMost("ObfReferenceObject", DISPATCH_LEVEL);
    return Platform::Current().Objects().Reference(Object, "ObfReferenceObject");
}

// The object types a driver can name: each is the KernelObject type string of its objects.
struct _OBJECT_TYPE {
    const char* name;
};

namespace {
_OBJECT_TYPE fileObjectType{"File"};
_OBJECT_TYPE threadObjectType{"Thread"};
POBJECT_TYPE fileObjectTypePointer = &fileObjectType;
POBJECT_TYPE threadObjectTypePointer = &threadObjectType;
} // namespace

// NOLINTBEGIN(cppcoreguidelines-avoid-non-const-global-variables): the kernel's exported names (extern "C", declared in
// platform/object.h)
POBJECT_TYPE* IoFileObjectType = &fileObjectTypePointer;
POBJECT_TYPE* PsThreadType = &threadObjectTypePointer;
// NOLINTEND(cppcoreguidelines-avoid-non-const-global-variables)

EXTERN_C NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                            KPROCESSOR_MODE AccessMode, PVOID* Object,
                                            POBJECT_HANDLE_INFORMATION HandleInformation)
{
    (void)HandleInformation;
    sim::RequireIrqlAtMost("ObReferenceObjectByHandle", APC_LEVEL);
    auto& platform = Platform::Current();
    platform.Kernel().RecordThreadAccess("ObReferenceObjectByHandle", DesiredAccess);
    NTSTATUS injected = STATUS_SUCCESS;
    if (platform.Faults().Check("ObReferenceObjectByHandle", STATUS_INVALID_HANDLE, &injected)) {
        return injected;
    }
    if (AccessMode != KernelMode) {
        platform.Verifier().Report("ObReferenceObjectByHandle", sim::Verifier::Pointer(Handle), 0,
                                   "kernel handle referenced with UserMode access");
    }
    sim::KernelObject* object = nullptr;
    NTSTATUS status = platform.Objects().ReferenceByHandle(Handle, "ObReferenceObjectByHandle", &object,
                                                           ObjectType == nullptr ? nullptr : ObjectType->name);
    if (NT_SUCCESS(status)) {
        *Object = object;
    }
    return status;
}

EXTERN_C NTSTATUS ZwClose(HANDLE Handle)
{
    sim::RequireIrqlAtMost("ZwClose", PASSIVE_LEVEL);
    return Platform::Current().Objects().CloseHandle(Handle, "ZwClose");
}
