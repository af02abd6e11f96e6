#include "sim/pnp.h"

#include <algorithm>

#include "sim/image_loader.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/objects.h"
#include "sim/platform.h"
#include "sim/strings.h"

namespace sim {

namespace {
std::string EventText(const GUID& event)
{
    return SameGuid(event, GUID_DEVICE_INTERFACE_ARRIVAL) ? "arrival" : "removal";
}
} // namespace

PnpModel::PnpModel(Platform& platform) : platform_(platform)
{
    thread_ = std::make_unique<SimThread>(platform_, "pnp", [this] { RunNotificationThread(); });
}

PnpModel::~PnpModel()
{
    Shutdown();
}

void PnpModel::Shutdown()
{
    if (!thread_) {
        return;
    }
    {
        std::lock_guard lock(mutex_);
        held_ = false;
        stopping_ = true;
        QueueChangedLocked();
    }
    platform_.Sched().Signal();
    thread_->Join();
    thread_.reset();
}

void PnpModel::RunNotificationThread()
{
    Scheduler& sched = platform_.Sched();
    for (;;) {
        Delivery delivery;
        {
            std::unique_lock lock(sched.Mutex());
            sched.WaitForSignal(lock, [this] { return work_.load(); });
            {
                std::lock_guard inner(mutex_);
                if (queue_.empty()) {
                    if (stopping_) {
                        return; // everything queued has been delivered
                    }
                    // An unregistration took back, on another thread, the delivery whose
                    // arrival woke this one: wait for the next.
                    continue;
                }
                delivery = std::move(queue_.front());
                queue_.pop_front();
                QueueChangedLocked();
                parked_ = held_;
            }
            sched.NotifyLocked();
            sched.WaitUntil(lock, [this] {
                std::lock_guard inner(mutex_);
                return !held_;
            });
            std::lock_guard inner(mutex_);
            parked_ = false;
        }
        Deliver(delivery);
    }
}

bool PnpModel::Deliver(const Delivery& delivery)
{
    Registration* registration = delivery.registration;
    {
        std::lock_guard lock(mutex_);
        if (registration->state == State::Unregistering || registration->state == State::Removed) {
            return false;
        }
        registration->callingThreads.push_back(std::this_thread::get_id());
        ++inFlight_;
    }

    // The PnP manager owns the notification and the name; both live only for the call. The
    // characters are overwritten afterwards so a driver that keeps the pointer reads garbage
    // (and the sanitizers see a use after free) instead of a plausible name.
    std::vector<WCHAR> name(delivery.link.begin(), delivery.link.end());
    name.push_back(u'\0');
    UNICODE_STRING symbolicLink{static_cast<USHORT>(delivery.link.size() * sizeof(WCHAR)),
                                static_cast<USHORT>(name.size() * sizeof(WCHAR)), name.data()};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{1,
                                                      static_cast<USHORT>(sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION)),
                                                      delivery.event, delivery.classGuid, &symbolicLink};
    const NTSTATUS status =
        CallIntoDriver("DeviceInterfaceChange", registration->callback, &notification, registration->context);
    std::fill(name.begin(), name.end(), static_cast<WCHAR>(0xFFFF));

    {
        std::lock_guard lock(mutex_);
        auto& calling = registration->callingThreads;
        calling.erase(std::find(calling.begin(), calling.end(), std::this_thread::get_id()));
        --inFlight_;
        ++delivered_;
        callbackStatuses_.push_back(status);
    }
    platform_.Sched().Notify();
    // Drivers' statuses for arrival and removal are ignored; recorded for the conversation only.
    platform_.Trace().Add("pnp", "driver", "DeviceInterfaceChange",
                          EventText(delivery.event) + " " + Narrow(delivery.link), status);
    return true;
}

void PnpModel::QueueLocked(const GUID& event, const Interface& iface)
{
    for (auto& [key, registration] : registrations_) {
        const bool listening = registration->state == State::Registering || registration->state == State::Active;
        if (listening && SameGuid(registration->classGuid, iface.classGuid)) {
            queue_.push_back(Delivery{registration.get(), event, iface.classGuid, iface.link});
            QueueChangedLocked();
        }
    }
}

void PnpModel::AddInterface(const GUID& classGuid, const std::u16string& symbolicLink)
{
    {
        std::lock_guard lock(mutex_);
        auto same = [&](const Interface& iface) { return iface.link == symbolicLink; };
        if (std::any_of(interfaces_.begin(), interfaces_.end(), same)) {
            return; // already enabled: the PnP manager reports an arrival once per enable
        }
        interfaces_.push_back(Interface{classGuid, symbolicLink});
        QueueLocked(GUID_DEVICE_INTERFACE_ARRIVAL, interfaces_.back());
    }
    platform_.Sched().Signal();
}

void PnpModel::RemoveInterface(const std::u16string& symbolicLink)
{
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(interfaces_.begin(), interfaces_.end(),
                               [&](const Interface& iface) { return iface.link == symbolicLink; });
        if (it == interfaces_.end()) {
            return;
        }
        Interface gone = *it;
        interfaces_.erase(it);
        QueueLocked(GUID_DEVICE_INTERFACE_REMOVAL, gone);
    }
    platform_.Sched().Signal();
}

void PnpModel::BeginInterfaceRemoval(const std::u16string& symbolicLink)
{
    std::lock_guard lock(mutex_);
    for (Interface& iface : interfaces_) {
        iface.leaving = iface.leaving || iface.link == symbolicLink;
    }
}

bool PnpModel::InterfacePresent(const std::u16string& symbolicLink) const
{
    std::lock_guard lock(mutex_);
    return std::any_of(interfaces_.begin(), interfaces_.end(),
                       [&](const Interface& iface) { return iface.link == symbolicLink && !iface.leaving; });
}

bool PnpModel::Held(Registration* registration) const
{
    return registration->state != State::Removed;
}

std::size_t PnpModel::RegistrationCount() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(registrations_.begin(), registrations_.end(),
                                                  [this](const auto& entry) { return Held(entry.second.get()); }));
}

void PnpModel::ReportHeld(const std::string& when) const
{
    std::vector<std::string> held;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, registration] : registrations_) {
            if (Held(registration.get())) {
                held.push_back("PnP notification entry " + Verifier::Pointer(key) + " for interface class " +
                               GuidText(registration->classGuid));
            }
        }
    }
    for (const auto& text : held) {
        platform_.Verifier().Report(when, text, 0, "PnP notification registration still held at driver unload");
    }
}

void PnpModel::SetDuplicateExistingArrivals(bool on)
{
    std::lock_guard lock(mutex_);
    duplicateExisting_ = on;
}

void PnpModel::HoldDeliveries(bool on)
{
    {
        std::lock_guard lock(mutex_);
        held_ = on;
    }
    platform_.Sched().Notify();
}

std::size_t PnpModel::DeliveriesHeld() const
{
    std::lock_guard lock(mutex_);
    return (parked_ ? 1U : 0U) + (held_ ? queue_.size() : 0U);
}

bool PnpModel::CallbackInFlight() const
{
    std::lock_guard lock(mutex_);
    return inFlight_ > 0;
}

std::size_t PnpModel::CallbacksDelivered() const
{
    std::lock_guard lock(mutex_);
    return delivered_;
}

std::vector<NTSTATUS> PnpModel::CallbackStatuses() const
{
    std::lock_guard lock(mutex_);
    return callbackStatuses_;
}

std::vector<GUID> PnpModel::RegisteredClasses() const
{
    std::lock_guard lock(mutex_);
    return registeredClasses_;
}

NTSTATUS PnpModel::RegisterNotification(IO_NOTIFICATION_EVENT_CATEGORY category, ULONG flags, PVOID categoryData,
                                        PDRIVER_OBJECT driverObject, PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback,
                                        PVOID context, PVOID* notificationEntry)
{
    constexpr const char* kOperation = "IoRegisterPlugPlayNotification";
    RequireIrqlAtMost(kOperation, PASSIVE_LEVEL);
    auto finish = [&](NTSTATUS status, const std::string& detail) {
        platform_.Trace().Add("driver", "pnp", kOperation, detail, status);
        return status;
    };
    NTSTATUS injected = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOperation, STATUS_INSUFFICIENT_RESOURCES, &injected)) {
        return finish(injected, "injected failure");
    }
    if (category != EventCategoryDeviceInterfaceChange) {
        return finish(STATUS_NOT_SUPPORTED, "category " + std::to_string(static_cast<int>(category)));
    }
    if (categoryData == nullptr || callback == nullptr || notificationEntry == nullptr) {
        platform_.Verifier().Report(kOperation, "", 0, "null interface class, callback or NotificationEntry");
        return finish(STATUS_INVALID_PARAMETER, "null argument");
    }
    KernelObject* driver = platform_.Objects().Lookup(driverObject, kOperation);
    if (driver == nullptr) {
        return finish(STATUS_INVALID_PARAMETER, "DriverObject is not a live object");
    }
    if (dynamic_cast<_DRIVER_OBJECT*>(driver) == nullptr) {
        platform_.Verifier().Report(kOperation, driver->Describe(), 0, "DriverObject is not a driver object");
        return finish(STATUS_INVALID_PARAMETER, "DriverObject is not a driver object");
    }

    // A live registration pins the driver object until it is unregistered.
    platform_.Objects().Reference(driver, kOperation);
    auto owned = std::make_unique<Registration>();
    Registration* registration = owned.get();
    registration->classGuid = *static_cast<const GUID*>(categoryData);
    registration->callback = callback;
    registration->context = context;
    registration->driver = driver;

    std::vector<Delivery> existing;
    bool queued = false;
    {
        std::lock_guard lock(mutex_);
        registrations_[registration] = std::move(owned);
        registeredClasses_.push_back(registration->classGuid);
        if ((flags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES) != 0) {
            for (const auto& iface : interfaces_) {
                if (SameGuid(iface.classGuid, registration->classGuid)) {
                    existing.push_back(
                        Delivery{registration, GUID_DEVICE_INTERFACE_ARRIVAL, iface.classGuid, iface.link});
                }
            }
            if (duplicateExisting_) {
                queue_.insert(queue_.end(), existing.begin(), existing.end());
                QueueChangedLocked();
                queued = !existing.empty();
            }
        }
    }
    if (queued) {
        platform_.Sched().Signal();
    }
    finish(STATUS_SUCCESS, "interface class " + GuidText(registration->classGuid) + ", " +
                               std::to_string(existing.size()) + " existing");

    // Existing interfaces are reported here, on the caller's thread, before the entry is written.
    for (const auto& delivery : existing) {
        Deliver(delivery);
    }
    {
        std::lock_guard lock(mutex_);
        if (registration->state == State::Registering) {
            registration->state = State::Active;
        }
    }
    *notificationEntry = registration;
    return STATUS_SUCCESS;
}

NTSTATUS PnpModel::UnregisterNotificationEx(PVOID notificationEntry)
{
    constexpr const char* kOperation = "IoUnregisterPlugPlayNotificationEx";
    RequireIrqlAtMost(kOperation, PASSIVE_LEVEL);
    const auto self = std::this_thread::get_id();
    Registration* registration = nullptr;
    std::string problem;
    {
        std::lock_guard lock(mutex_);
        auto it = registrations_.find(notificationEntry);
        if (notificationEntry == nullptr) {
            // Typically a callback of the existing-interface pass, which runs before the entry
            // is written.
            problem = "null PnP notification entry (an entry is written only after "
                      "IoRegisterPlugPlayNotification returned)";
        } else if (it == registrations_.end()) {
            problem = "unknown PnP notification entry";
        } else if (it->second->state == State::Unregistering || it->second->state == State::Removed) {
            problem = "PnP notification entry already unregistered";
        } else {
            registration = it->second.get();
            registration->state = State::Unregistering;
            std::erase_if(queue_, [registration](const Delivery& d) { return d.registration == registration; });
            QueueChangedLocked();
        }
    }
    if (registration == nullptr) {
        platform_.Verifier().Report(kOperation, Verifier::Pointer(notificationEntry), 0, problem);
        platform_.Trace().Add("driver", "pnp", kOperation, problem, STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    // Callbacks already running elsewhere finish first; the caller's own (a callback
    // unregistering its entry) cannot be waited for.
    {
        std::unique_lock lock(platform_.Sched().Mutex());
        platform_.Sched().WaitUntil(lock, [this, registration, self] {
            std::lock_guard inner(mutex_);
            const auto& calling = registration->callingThreads;
            return std::all_of(calling.begin(), calling.end(), [self](std::thread::id id) { return id == self; });
        });
    }
    platform_.Objects().Dereference(registration->driver, kOperation);
    {
        std::lock_guard lock(mutex_);
        registration->state = State::Removed;
    }
    platform_.Sched().Notify();
    platform_.Trace().Add("driver", "pnp", kOperation, "interface class " + GuidText(registration->classGuid),
                          STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

} // namespace sim

using sim::Platform;

EXTERN_C NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory, ULONG EventCategoryFlags,
                                                 PVOID EventCategoryData, PDRIVER_OBJECT DriverObject,
                                                 PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine, PVOID Context,
                                                 PVOID* NotificationEntry)
{
    return Platform::Current().Pnp().RegisterNotification(EventCategory, EventCategoryFlags, EventCategoryData,
                                                          DriverObject, CallbackRoutine, Context, NotificationEntry);
}

EXTERN_C NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry)
{
    return Platform::Current().Pnp().UnregisterNotificationEx(NotificationEntry);
}
