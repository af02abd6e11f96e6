// Device-interface registry and change notifications, through the PnP entry points.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

#include "platform/pnp.h"
#include "sim/kernel.h"
#include "sim/platform.h"
#include "sim/pnp.h"
#include "sim/strings.h"

namespace {

constexpr GUID kServiceClass = {0x1b2c3d4e, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOtherClass = {0x5e6f7a8b, 0x3333, 0x4444, {8, 7, 6, 5, 4, 3, 2, 1}};
const std::u16string kFirstLink = u"\\??\\service#1";
const std::u16string kSecondLink = u"\\??\\service#2";
const std::u16string kOtherLink = u"\\??\\other#1";

struct Seen {
    bool arrival = false;
    GUID classGuid{};
    std::u16string link;
    std::string thread;
    bool entryWritten = false;
};

// What the driver's callback would see, copied out while the notification is still valid.
struct Listener {
    PVOID entry = nullptr;
    sim::Gate* block = nullptr;          // callbacks wait here when set
    bool unregisterFromCallback = false; // the callback unregisters its own entry
    NTSTATUS unregisterStatus = STATUS_PENDING;
    NTSTATUS result = STATUS_SUCCESS;
    std::atomic<int> returned{0};
    std::mutex mutex;
    std::vector<Seen> seen;
    bool badHeader = false;
    // A duplicate arrival on the PnP thread races the registration call that writes the entry:
    // nothing orders the two, so such a callback must not read it (nor may a driver's).
    bool readEntry = true;

    std::vector<Seen> Events()
    {
        std::lock_guard lock(mutex);
        return seen;
    }
};

NTSTATUS NTAPI Notify(PVOID notificationStructure, PVOID context)
{
    auto* listener = static_cast<Listener*>(context);
    const auto* n = static_cast<DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(notificationStructure);
    Seen seen;
    seen.arrival = sim::SameGuid(n->Event, GUID_DEVICE_INTERFACE_ARRIVAL);
    seen.classGuid = n->InterfaceClassGuid;
    seen.link.assign(n->SymbolicLinkName->Buffer, n->SymbolicLinkName->Length / sizeof(WCHAR));
    seen.thread = sim::Scheduler::CurrentThreadName();
    if (listener->readEntry) {
        seen.entryWritten = listener->entry != nullptr;
    }
    {
        std::lock_guard lock(listener->mutex);
        listener->badHeader |= n->Version != 1 || n->Size != sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION) ||
                               (!seen.arrival && !sim::SameGuid(n->Event, GUID_DEVICE_INTERFACE_REMOVAL));
        listener->seen.push_back(seen);
    }
    if (listener->block != nullptr) {
        listener->block->Wait();
    }
    if (listener->unregisterFromCallback) {
        listener->unregisterStatus = IoUnregisterPlugPlayNotificationEx(listener->entry);
    }
    ++listener->returned;
    return listener->result;
}

class PnpTest : public testing::Test {
protected:
    void SetUp() override { driver_ = platform_.Objects().Insert(std::make_unique<_DRIVER_OBJECT>("test")); }

    void TearDown() override
    {
        EXPECT_EQ(pnp().RegistrationCount(), 0U);
        EXPECT_EQ(platform_.Objects().ReferenceCount(driver_), 1);
        platform_.Objects().Dereference(driver_, "test");
        EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();
    }

    sim::PnpModel& pnp() { return platform_.Pnp(); }

    NTSTATUS Register(Listener& listener, const GUID& classGuid = kServiceClass,
                      ULONG flags = PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES)
    {
        return IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, flags, const_cast<GUID*>(&classGuid),
                                              driver_, Notify, &listener, &listener.entry);
    }

    sim::Platform platform_;
    _DRIVER_OBJECT* driver_ = nullptr;
};

TEST_F(PnpTest, ExistingInterfacesAreReportedBeforeRegistrationReturns)
{
    pnp().AddInterface(kServiceClass, kFirstLink);
    pnp().AddInterface(kOtherClass, kOtherLink);
    pnp().AddInterface(kServiceClass, kSecondLink);
    platform_.Sched().Settle();

    Listener listener;
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    ASSERT_NE(listener.entry, nullptr);
    auto events = listener.Events();
    ASSERT_EQ(events.size(), 2U);
    for (const auto& e : events) {
        EXPECT_TRUE(e.arrival);
        EXPECT_TRUE(sim::SameGuid(e.classGuid, kServiceClass));
        EXPECT_EQ(e.thread, "test");  // on the registering thread...
        EXPECT_FALSE(e.entryWritten); // ...before the entry is written
    }
    EXPECT_EQ(events[0].link, kFirstLink);
    EXPECT_EQ(events[1].link, kSecondLink);
    EXPECT_FALSE(listener.badHeader);
    EXPECT_EQ(pnp().RegistrationCount(), 1U);
    EXPECT_EQ(platform_.Objects().ReferenceCount(driver_), 2); // the registration pins the driver

    platform_.Sched().Settle();
    EXPECT_EQ(listener.Events().size(), 2U); // no second report unless asked for
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
}

TEST_F(PnpTest, WithoutTheFlagExistingInterfacesAreNotReported)
{
    pnp().AddInterface(kServiceClass, kFirstLink);
    Listener listener;
    ASSERT_EQ(Register(listener, kServiceClass, 0), STATUS_SUCCESS);
    platform_.Sched().Settle();
    EXPECT_TRUE(listener.Events().empty());
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
}

TEST_F(PnpTest, LaterChangesArriveOnThePnpThreadForTheirClassOnly)
{
    Listener listener;
    listener.result = STATUS_UNSUCCESSFUL; // ignored, but recorded
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    EXPECT_TRUE(listener.Events().empty());

    pnp().AddInterface(kServiceClass, kFirstLink);
    pnp().AddInterface(kOtherClass, kOtherLink);
    pnp().AddInterface(kServiceClass, kFirstLink); // already present: no second arrival
    pnp().RemoveInterface(kFirstLink);
    pnp().RemoveInterface(kFirstLink); // already gone: nothing to report
    platform_.Sched().Settle();

    EXPECT_FALSE(pnp().InterfacePresent(kFirstLink));
    EXPECT_TRUE(pnp().InterfacePresent(kOtherLink));
    auto events = listener.Events();
    ASSERT_EQ(events.size(), 2U);
    EXPECT_TRUE(events[0].arrival);
    EXPECT_FALSE(events[1].arrival);
    for (const auto& e : events) {
        EXPECT_EQ(e.link, kFirstLink);
        EXPECT_EQ(e.thread, "pnp");
        EXPECT_TRUE(e.entryWritten);
    }
    EXPECT_EQ(pnp().CallbacksDelivered(), 2U);
    auto traced = platform_.Trace().Find("DeviceInterfaceChange");
    ASSERT_EQ(traced.size(), 2U);
    EXPECT_EQ(traced[0].status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
}

TEST_F(PnpTest, ExistingArrivalCanBeReportedTwice)
{
    pnp().SetDuplicateExistingArrivals(true);
    pnp().AddInterface(kServiceClass, kFirstLink);
    Listener listener;
    listener.readEntry = false;
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    platform_.Sched().Settle();
    auto events = listener.Events();
    ASSERT_EQ(events.size(), 2U);
    // The copy on the PnP thread races the pass on the registering thread; either may be first.
    std::multiset<std::string> threads{events[0].thread, events[1].thread};
    EXPECT_EQ(threads, (std::multiset<std::string>{"pnp", "test"}));
    for (const auto& e : events) {
        EXPECT_TRUE(e.arrival);
        EXPECT_EQ(e.link, kFirstLink);
    }
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
}

TEST_F(PnpTest, UnregisterWaitsForACallbackRunningOnAnotherThread)
{
    sim::Gate gate(platform_);
    Listener listener;
    listener.block = &gate;
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    pnp().AddInterface(kServiceClass, kFirstLink);
    ASSERT_TRUE(platform_.Sched().RunUntil([this] { return pnp().CallbackInFlight(); },
                                           platform_.Sched().Now() + sim::kTicksPerSecond));

    std::atomic<int> returnedWhenUnregistered{-1};
    sim::SimThread unregister(platform_, "unregister", [&] {
        EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
        returnedWhenUnregistered = listener.returned.load();
    });
    platform_.Sched().Settle();
    EXPECT_FALSE(unregister.Finished());
    EXPECT_EQ(platform_.Objects().ReferenceCount(driver_), 2);

    gate.Open();
    unregister.Join();
    EXPECT_EQ(returnedWhenUnregistered, 1);
    EXPECT_FALSE(pnp().CallbackInFlight());

    // Nothing reaches a removed registration.
    pnp().RemoveInterface(kFirstLink);
    platform_.Sched().Settle();
    EXPECT_EQ(listener.Events().size(), 1U);
}

TEST_F(PnpTest, UnregisterDropsADeliveryTakenButNotYetCalled)
{
    Listener listener;
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    pnp().HoldDeliveries(true);
    pnp().AddInterface(kServiceClass, kFirstLink);
    pnp().AddInterface(kServiceClass, kSecondLink);
    platform_.Sched().Settle();
    EXPECT_EQ(pnp().DeliveriesHeld(), 2U);
    EXPECT_FALSE(pnp().CallbackInFlight());

    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
    pnp().HoldDeliveries(false);
    platform_.Sched().Settle();
    EXPECT_TRUE(listener.Events().empty());
    EXPECT_EQ(pnp().DeliveriesHeld(), 0U);
}

TEST_F(PnpTest, HeldDeliveriesRunOnceReleased)
{
    Listener listener;
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    pnp().HoldDeliveries(true);
    pnp().AddInterface(kServiceClass, kFirstLink);
    platform_.Sched().Settle();
    EXPECT_EQ(pnp().DeliveriesHeld(), 1U);
    EXPECT_TRUE(listener.Events().empty());

    pnp().HoldDeliveries(false);
    platform_.Sched().Settle();
    EXPECT_EQ(listener.Events().size(), 1U);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
}

TEST_F(PnpTest, CallbackMayUnregisterItsOwnEntry)
{
    Listener listener;
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    listener.unregisterFromCallback = true;
    pnp().AddInterface(kServiceClass, kFirstLink);
    pnp().AddInterface(kServiceClass, kSecondLink);
    platform_.Sched().Settle();
    EXPECT_EQ(listener.unregisterStatus, STATUS_SUCCESS);
    EXPECT_EQ(listener.Events().size(), 1U); // the second arrival was queued but never delivered
    EXPECT_EQ(pnp().RegistrationCount(), 0U);
}

TEST_F(PnpTest, ShutdownDeliversWhatIsQueuedEvenWhenHeld)
{
    Listener listener;
    ASSERT_EQ(Register(listener), STATUS_SUCCESS);
    pnp().HoldDeliveries(true);
    pnp().AddInterface(kServiceClass, kFirstLink);
    pnp().Shutdown();
    EXPECT_EQ(listener.Events().size(), 1U);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
}

TEST_F(PnpTest, HeldRegistrationsAreReportedAtUnload)
{
    platform_.Verifier().SetEcho(false);
    Listener first;
    Listener second;
    ASSERT_EQ(Register(first), STATUS_SUCCESS);
    ASSERT_EQ(Register(second, kOtherClass), STATUS_SUCCESS);
    EXPECT_EQ(pnp().RegistrationCount(), 2U);
    pnp().ReportHeld("unload");
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 2U);
    for (const auto& r : records) {
        EXPECT_EQ(r.operation, "unload");
        EXPECT_EQ(r.message, "PnP notification registration still held at driver unload");
    }

    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(first.entry), STATUS_SUCCESS);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(second.entry), STATUS_SUCCESS);
    pnp().ReportHeld("unload");
    EXPECT_TRUE(platform_.Verifier().Take().empty());
}

// ---- Misuse and failures ----

class PnpMisuseTest;

struct Misuse {
    const char* name;
    void (*act)(PnpMisuseTest& test);
    const char* record; // expected verifier message, or nullptr for none
};

class PnpMisuseTest : public PnpTest, public testing::WithParamInterface<Misuse> {
public:
    using PnpTest::Register;
    sim::Platform& Platform() { return platform_; }
    _DRIVER_OBJECT* Driver() { return driver_; }
};

TEST_P(PnpMisuseTest, IsRefusedOrRecorded)
{
    platform_.Verifier().SetEcho(false);
    GetParam().act(*this);
    auto records = platform_.Verifier().Take();
    if (GetParam().record == nullptr) {
        EXPECT_TRUE(records.empty()) << records.front().message;
    } else {
        ASSERT_EQ(records.size(), 1U) << platform_.Verifier().Describe();
        EXPECT_NE(records[0].message.find(GetParam().record), std::string::npos) << records[0].message;
    }
}

// A callback that unregisters through the entry its registration call has not written yet.
NTSTATUS NTAPI UnregisterThroughUnwrittenEntry(PVOID notificationStructure, PVOID context)
{
    (void)notificationStructure;
    return IoUnregisterPlugPlayNotificationEx(*static_cast<PVOID*>(context));
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PnpMisuseTest,
    testing::Values(
        Misuse{"DoubleUnregister",
               [](PnpMisuseTest& test) {
                   Listener listener;
                   ASSERT_EQ(test.Register(listener), STATUS_SUCCESS);
                   EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_SUCCESS);
                   EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(listener.entry), STATUS_INVALID_PARAMETER);
               },
               "already unregistered"},
        Misuse{"UnknownEntry",
               [](PnpMisuseTest&) {
                   int notAnEntry = 0;
                   EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(&notAnEntry), STATUS_INVALID_PARAMETER);
               },
               "unknown"},
        Misuse{"UnsupportedCategory",
               [](PnpMisuseTest& test) {
                   PVOID entry = nullptr;
                   EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, nullptr, test.Driver(),
                                                            Notify, nullptr, &entry),
                             STATUS_NOT_SUPPORTED);
                   EXPECT_EQ(entry, nullptr);
               },
               nullptr},
        Misuse{"InjectedFault",
               [](PnpMisuseTest& test) {
                   test.Platform().Faults().FailNth("IoRegisterPlugPlayNotification", 1);
                   test.Platform().Pnp().AddInterface(kServiceClass, kFirstLink);
                   Listener listener;
                   EXPECT_EQ(test.Register(listener), STATUS_INSUFFICIENT_RESOURCES);
                   EXPECT_EQ(listener.entry, nullptr);
                   EXPECT_TRUE(listener.Events().empty());
                   EXPECT_EQ(test.Platform().Objects().ReferenceCount(test.Driver()), 1);
               },
               nullptr},
        Misuse{"NotADriverObject",
               [](PnpMisuseTest&) {
                   Listener listener;
                   int notADriver = 0;
                   EXPECT_EQ(IoRegisterPlugPlayNotification(
                                 EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kServiceClass),
                                 reinterpret_cast<PDRIVER_OBJECT>(&notADriver), Notify, &listener, &listener.entry),
                             STATUS_INVALID_PARAMETER);
               },
               "not a kernel object"},
        Misuse{"NullClass",
               [](PnpMisuseTest& test) {
                   Listener listener;
                   EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, nullptr,
                                                            test.Driver(), Notify, &listener, &listener.entry),
                             STATUS_INVALID_PARAMETER);
               },
               "null"},
        Misuse{"UnregisterInsideTheExistingPass",
               [](PnpMisuseTest& test) {
                   test.Platform().Pnp().AddInterface(kServiceClass, kFirstLink);
                   PVOID entry = nullptr;
                   EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                                            PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                                                            const_cast<GUID*>(&kServiceClass), test.Driver(),
                                                            UnregisterThroughUnwrittenEntry, &entry, &entry),
                             STATUS_SUCCESS);
                   EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);
               },
               "only after IoRegisterPlugPlayNotification returned"}),
    [](const testing::TestParamInfo<Misuse>& param) { return param.param.name; });

} // namespace
