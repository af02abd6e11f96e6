// Host platform: WMI layer: data blocks, method dispatch, notification thread.
//
// A data block exists only while the firmware model provides its GUID. Every IoWMIOpenBlock
// returns a new block object with one reference; ObfDereferenceObject releases it, and the last
// release uninstalls its notification callback. Releasing does not wait for a callback that
// has already been picked up: nothing documents such a guarantee, so the model lets a callback
// run, or even start, after the driver has released its block. HoldDeliveries() makes that
// window as wide as a test wants.
//
// Access rule (the kernel's documentation of IoWMIOpenBlock): a caller that asks for
// WMIGUID_NOTIFICATION must also ask for SYNCHRONIZE. An open without it is a verifier record,
// not a refusal, because the documentation does not say that the kernel refuses it.
//
// Events are delivered on one thread of the model's own, registered with the scheduler as
// "wmi", one delivery at a time, in the order they were raised. Each arrives as the kernel's
// documentation of WNODE_SINGLE_INSTANCE describes an event from a data block provider (the
// ACPI mapping's events are): header flags, the instance name, the provider's data at
// DataBlockOffset, and the time the event was raised as a system time.
//
// An event can be lost on the way (the fault "WmiEventDelivery"): no callback runs, and whatever
// the provider has pending for it stays pending.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/wmi.h"
#include "sim/leaf_lock.h"
#include "sim/objects.h"
#include "sim/scheduler.h"
#include "sim/trace.h"

namespace sim {

class Platform;
class WmiModel;

// The object behind the PVOID that IoWMIOpenBlock hands out.
class WmiBlock final : public KernelObject {
public:
    WmiBlock(WmiModel& model, const GUID& guid, ULONG access);

    const GUID& Guid() const { return guid_; }
    ULONG Access() const { return access_; }

protected:
    void OnLastReference() override;

private:
    WmiModel& model_;
    GUID guid_;
    ULONG access_;
};

class WmiModel {
public:
    explicit WmiModel(Platform& platform);
    ~WmiModel();
    WmiModel(const WmiModel&) = delete;
    WmiModel& operator=(const WmiModel&) = delete;

    // Stops the notification thread after it has delivered everything queued (a held delivery
    // is let go first). Idempotent.
    void Shutdown();

    // Used by the framework model at driver unload (keep this signature): notification
    // callbacks still installed on blocks the driver holds, or still running, as verifier records.
    void ReportHeld(const std::string& when) const;

    // The bodies of the C entry points (platform/wmi.h), argument checks included.
    NTSTATUS OpenBlock(LPCGUID guid, ULONG desiredAccess, PVOID* object);
    NTSTATUS ExecuteMethod(PVOID object, PUNICODE_STRING instanceName, ULONG methodId, ULONG inBufferSize,
                           PULONG outBufferSize, PUCHAR buffer);
    NTSTATUS SetNotificationCallback(PVOID object, WMI_NOTIFICATION_CALLBACK callback, PVOID context);

    // Raised by the provider of `guid` with its event data: queues one delivery for each open
    // block of that GUID that has a callback installed now. With none, or when a fault rule on
    // "WmiEventDelivery" fires, the event is lost. Returns the number queued.
    std::size_t FireEvent(const GUID& guid, const std::vector<std::uint8_t>& data = {});

    // While held, the notification thread picks up the next delivery (callback and context
    // already read) and waits before calling it, so a test can release the block in between.
    void HoldDeliveries(bool hold);
    std::size_t DeliveriesHeld() const; // deliveries picked up and waiting for the hold to end

    std::size_t EventsDelivered() const; // callbacks that have returned
    std::size_t EventsLost() const;      // events raised with no callback to receive them
    bool CallbackInFlight() const;       // a delivery is picked up and its callback has not returned
    std::size_t PendingDeliveries() const;

    // The context values installed with notification callbacks on live blocks of `guid`: what
    // each delivery will hand to the callback.
    std::vector<PVOID> NotificationContexts(const GUID& guid) const;
    // The callback installed on the first live block of `guid`, or nullptr: what a delivery
    // calls, for a caller that delivers on its own thread (the relay benchmark).
    WMI_NOTIFICATION_CALLBACK NotificationCallback(const GUID& guid) const;
    // The GUID of every block whose last reference has gone, in the order they went.
    std::vector<GUID> ReleasedBlocks() const;

private:
    friend class WmiBlock;

    struct Installed {
        WMI_NOTIFICATION_CALLBACK callback = nullptr;
        PVOID context = nullptr;
    };
    // One delivery: the block it goes to, when the event was raised (system time), its data.
    struct Queued {
        const WmiBlock* block = nullptr;
        Ticks raisedAt = 0;
        std::vector<std::uint8_t> data;
    };

    template <class T> T Locked(const T& field) const
    {
        std::lock_guard guard(mutex_);
        return field;
    }
    // The live WMI block at `object`, or nullptr after a verifier record (STATUS_INVALID_HANDLE).
    WmiBlock* LookupBlock(PVOID object, const char* operation) const;
    // The checks every call on an open block starts with: IRQL, injected fault, a live block,
    // and the access it was opened with. The block, or nullptr with the failure traced and in
    // *status.
    WmiBlock* AdmitBlockCall(const char* operation, NTSTATUS faultStatus, PVOID object, ULONG access,
                             const TraceDetail& detail, NTSTATUS* status);
    void OnBlockReleased(const WmiBlock* block);
    void DeliveryThread();
    // The WNODE_SINGLE_INSTANCE for one delivery, in notification_.
    PVOID BuildNotification(const Queued& event);
    void QueueChangedLocked() { work_ = stopping_ || !queue_.empty(); }

    Platform& platform_;
    mutable LeafLock mutex_;                         // leaf: guards everything below except thread_
    std::set<const WmiBlock*> live_;                 // opened and not yet released
    std::map<const WmiBlock*, Installed> callbacks_; // live blocks with a callback installed
    std::deque<Queued> queue_;
    // stopping_ || !queue_.empty(), kept beside them under the mutex (QueueChangedLocked after
    // every change to either) so that the idle delivery thread's wake-up test takes no lock.
    // That thread waits for a signal: whoever may have made this true calls Signal(), not
    // Notify().
    std::atomic<bool> work_{false};
    std::vector<GUID> released_;
    bool hold_ = false;
    bool stopping_ = false;
    bool exited_ = false;
    bool inFlight_ = false;
    std::size_t held_ = 0;
    std::size_t delivered_ = 0;
    std::size_t lost_ = 0;
    std::vector<std::uint64_t> notification_; // the delivery thread's alone: the record it hands out
    std::thread thread_;
};

} // namespace sim
