// Host platform: device-interface registry and change notifications.
//
// Interfaces already present when a driver registers with INCLUDE_EXISTING_INTERFACES are
// reported on the registering thread before the registration call returns (the entry is not yet
// written then). Later arrivals and removals are queued and delivered on the model's one PnP
// notification thread. Unregistration (the Ex variant) stops further callbacks for the entry and
// waits for the ones running on other threads; a callback may unregister its own entry.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pnp.h"
#include "sim/leaf_lock.h"

namespace sim {

class Platform;
class SimThread;
class KernelObject;

class PnpModel {
public:
    explicit PnpModel(Platform& platform);
    ~PnpModel();
    PnpModel(const PnpModel&) = delete;
    PnpModel& operator=(const PnpModel&) = delete;

    // Releases any hold, delivers what is queued, then stops and joins the PnP thread.
    // Idempotent.
    void Shutdown();

    // Used by the TA service model and the framework model (keep these signatures):
    // An interface of `classGuid` becomes present under `symbolicLink`; registrations for its
    // class are told on the PnP notification thread.
    void AddInterface(const GUID& classGuid, const std::u16string& symbolicLink);
    // The removal of the device behind the interface has begun: from here on it refuses new
    // opens, as a device with a removal pending does, though the interface stays listed (and no
    // registration is told) until RemoveInterface.
    void BeginInterfaceRemoval(const std::u16string& symbolicLink);
    // The interface goes away; registrations for its class are told of the removal.
    void RemoveInterface(const std::u16string& symbolicLink);
    // Whether an interface is present under this symbolic link and its device takes new opens.
    bool InterfacePresent(const std::u16string& symbolicLink) const;
    // Registrations still held by drivers, as verifier records (driver unload checks), and how many.
    std::size_t RegistrationCount() const;
    void ReportHeld(const std::string& when) const;

    // With INCLUDE_EXISTING_INTERFACES, also queue each existing arrival again on the PnP thread,
    // the documented "may be reported twice".
    void SetDuplicateExistingArrivals(bool on);
    // While on, the PnP thread takes the next delivery and waits before calling back, so a test
    // can race the driver against a notification that is about to arrive.
    void HoldDeliveries(bool on);
    // Deliveries waiting because of the hold: the one the PnP thread has taken and those behind it.
    std::size_t DeliveriesHeld() const;
    // Whether a notification callback is running on any thread.
    bool CallbackInFlight() const;
    // Notification callbacks that have returned, on any thread.
    std::size_t CallbacksDelivered() const;
    // What each notification callback returned, in the order they returned (the PnP manager
    // ignores it; a debugger shows it).
    std::vector<NTSTATUS> CallbackStatuses() const;
    // The interface class of every registration made, in order, held or not.
    std::vector<GUID> RegisteredClasses() const;

    // The C entry points of platform/pnp.h.
    NTSTATUS RegisterNotification(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, PVOID categoryData,
                                  PDRIVER_OBJECT driverObject, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback,
                                  PVOID context, PVOID* notificationEntry);
    NTSTATUS UnregisterNotificationEx(PVOID notificationEntry);

private:
    enum class State {
        Registering,
        Active,
        Unregistering,
        Removed
    };
    struct Registration {
        GUID classGuid{};
        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback = nullptr;
        PVOID context = nullptr;
        KernelObject* driver = nullptr;
        State state = State::Registering;
        std::vector<std::thread::id> callingThreads; // one entry per callback running
    };
    struct Interface {
        GUID classGuid{};
        std::u16string link;
        bool leaving = false; // BeginInterfaceRemoval was called
    };
    struct Delivery {
        Registration* registration = nullptr;
        GUID event{};
        GUID classGuid{};
        std::u16string link;
    };

    void RunNotificationThread();
    void QueueLocked(const GUID& event, const Interface& iface);
    void QueueChangedLocked() { work_ = !queue_.empty() || stopping_; }
    bool Deliver(const Delivery& delivery);
    bool Held(Registration* registration) const;

    Platform& platform_;
    mutable LeafLock mutex_; // leaf: guards the fields below
    std::vector<Interface> interfaces_;
    std::map<const void*, std::unique_ptr<Registration>> registrations_; // never erased: stale entries stay known
    std::deque<Delivery> queue_;
    // !queue_.empty() || stopping_, kept beside them under the mutex (QueueChangedLocked after
    // every change to either) so that the idle notification thread's wake-up test takes no lock.
    // That thread waits for a signal: whoever may have made this true calls Signal(), not
    // Notify().
    std::atomic<bool> work_{false};
    bool duplicateExisting_ = false;
    bool held_ = false;
    bool parked_ = false; // the PnP thread holds a delivery it took while held_ was on
    bool stopping_ = false;
    std::size_t inFlight_ = 0;
    std::size_t delivered_ = 0;
    std::vector<NTSTATUS> callbackStatuses_;
    std::vector<GUID> registeredClasses_;
    std::unique_ptr<SimThread> thread_;
};

} // namespace sim
