// The object manager: reference-counted kernel objects and the handle tables.
//
// Objects handed to the driver (WMI blocks, thread objects, the driver object) are pointers to
// KernelObject instances owned here. A deleted object is kept (never freed) until the platform
// goes away, so a stale pointer is recognised and reported instead of crashing the host.
//
// Handles, as the kernel's documentation of OBJECT_ATTRIBUTES, ObReferenceObjectByHandle and
// ZwClose describes them: a handle made with OBJ_KERNEL_HANDLE is a kernel handle, valid in
// every process context; one made without it lives in the handle table of the process the
// creating thread ran in (ProcessContext), and in any other process's context it names nothing:
// the use fails with STATUS_INVALID_HANDLE and is recorded. ObReferenceObjectByHandle checks the
// object's type against the ObjectType it is given (STATUS_OBJECT_TYPE_MISMATCH, no reference).
// One numbering serves both kinds.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/object.h"
#include "sim/leaf_lock.h"

namespace sim {

class Platform;

class KernelObject {
public:
    KernelObject(std::string type, std::string label) : type_(std::move(type)), label_(std::move(label)) {}
    virtual ~KernelObject() = default;
    // The driver dereferences some kernel objects (the DRIVER_OBJECT): guest-visible memory.
    static void* operator new(std::size_t size);
    static void operator delete(void* p);
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    const std::string& Type() const { return type_; }
    const std::string& Label() const { return label_; }
    std::string Describe() const;

protected:
    // Runs once, when the last reference is released, with no platform lock held.
    virtual void OnLastReference() {}

private:
    friend class ObjectManager;
    std::string type_;
    std::string label_;
    LONG_PTR references_ = 0;
    // Written under the object manager's mutex; atomic so that a repeat lookup can read it
    // without taking that mutex.
    std::atomic<bool> deleted_{false};
};

// The process whose context the calling thread runs in, for the handle rules above. Every thread
// of the machine runs in the system process ("System"); a test places one in another process for
// a scope, as a driver routine called from an application's thread would run in that
// application's process.
class ProcessContext {
public:
    static constexpr const char* kSystem = "System";
    explicit ProcessContext(std::string process);
    ~ProcessContext();
    ProcessContext(const ProcessContext&) = delete;
    ProcessContext& operator=(const ProcessContext&) = delete;
    static std::string Current();

private:
    std::string previous_;
};

class ObjectManager {
public:
    explicit ObjectManager(Platform& platform);
    ~ObjectManager();

    // Takes ownership of a new object with one reference, held by whoever asked for it.
    template <class T> T* Insert(std::unique_ptr<T> object)
    {
        T* raw = object.get();
        InsertObject(std::move(object));
        return raw;
    }

    // The live object at p, or nullptr after a verifier record naming `operation`.
    KernelObject* Lookup(const void* p, const char* operation) const;
    bool IsLive(const void* p) const;
    LONG_PTR ReferenceCount(const void* p) const;

    LONG_PTR Reference(const void* p, const char* operation);
    LONG_PTR Dereference(const void* p, const char* operation);

    // A handle to `object` with `grantedAccess`, holding a reference of its own: a kernel handle
    // when `kernelHandle`, otherwise one in the calling thread's process.
    HANDLE CreateHandle(KernelObject* object, ACCESS_MASK grantedAccess, bool kernelHandle = true);
    // Takes a reference through a handle (ObReferenceObjectByHandle semantics); `objectType`
    // null accepts any type.
    NTSTATUS ReferenceByHandle(HANDLE handle, const char* operation, KernelObject** object,
                               const char* objectType = nullptr);
    NTSTATUS CloseHandle(HANDLE handle, const char* operation);
    std::size_t OpenHandleCount() const;
    // The open handles, oldest first, with the access each was granted (what a debugger's
    // handle dump shows).
    struct HandleRecord {
        HANDLE handle = nullptr;
        std::string objectType;
        ACCESS_MASK grantedAccess = 0;
        std::string process; // "" for a kernel handle
    };
    std::vector<HandleRecord> OpenHandles() const;

    // Objects with references still held, and open handles, as verifier records (at unload).
    void ReportHeld(const std::string& when) const;
    std::vector<const KernelObject*> LiveObjects() const;

private:
    void InsertObject(std::unique_ptr<KernelObject> object);
    // The object behind an open handle, or nullptr after a verifier record: not open, or open in
    // another process's table than the calling thread's.
    KernelObject* FindHandleLocked(HANDLE handle, std::string* problem) const;

    Platform& platform_;
    mutable LeafLock mutex_;
    std::map<const void*, std::unique_ptr<KernelObject>> objects_;
    // The object found last, which an object's key (its address) names. An object stays in
    // objects_ for the platform's life (deleted ones too), so the pointer cannot dangle; a driver
    // calls on the same few objects over and over, and a repeat lookup then reads this and the
    // object's deleted_ flag without taking the mutex.
    mutable std::atomic<KernelObject*> last_{nullptr};
    struct OpenHandle {
        KernelObject* object = nullptr;
        ACCESS_MASK grantedAccess = 0;
        std::string process; // the table it lives in; "" for a kernel handle
    };
    std::map<HANDLE, OpenHandle> handles_;
    std::uint64_t nextHandle_ = 1;
};

} // namespace sim

// The kernel driver object. Opaque to the driver; owned by the object manager.
struct _DRIVER_OBJECT : sim::KernelObject {
    explicit _DRIVER_OBJECT(std::string name) : sim::KernelObject("Driver", std::move(name)) {}

    // The kit's DRIVER_OBJECT (wdm.h) has DriverUnload at 0x68 on 64-bit, and a Windows image's
    // entry glue reads and writes it there; the host's own fields end before it.
    static constexpr std::size_t kKitDriverUnload = 0x68;
    static constexpr std::size_t kKitSize = 0x150;
    void* KitDriverUnload() const
    {
        void* routine = nullptr;
        std::memcpy(&routine, reinterpret_cast<const char*>(this) + kKitDriverUnload, sizeof routine);
        return routine;
    }
    void SetKitDriverUnload(void* routine)
    {
        std::memcpy(reinterpret_cast<char*>(this) + kKitDriverUnload, &routine, sizeof routine);
    }

private:
    // Room for the kit's fields past the host's own, reached through the offsets above.
    [[maybe_unused]] unsigned char kitFields_[kKitSize - sizeof(sim::KernelObject)] = {};
};
static_assert(sizeof(sim::KernelObject) + sizeof(void*) <= _DRIVER_OBJECT::kKitDriverUnload &&
              sizeof(_DRIVER_OBJECT) >= _DRIVER_OBJECT::kKitSize);
