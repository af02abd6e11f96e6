// Discovery of the TA service and the target the relay sends to, including the exclusion of
// relays from the control device's cleanup.
#include <algorithm>
#include <chrono>

#include "support/driver_fixture.h"
#include "support/wire.h"

namespace {

using fwtest::Bytes;
using fwtest::Pattern;
using sim::FirmwareModel;
using sim::IoTargetState;

const std::u16string kSecondLink = u"\\??\\ROOT#TASERVICE#0001#{3fa24ef8-153b-4b8a-a039-670377b93e05}";
constexpr GUID kOtherClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};

class TargetTest : public fwtest::DriverTest {
protected:
    void SetUp() override
    {
        firmware.SetPresent(true);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
    }

    WDFIOTARGET Held() { return Context()->ServiceTarget; }
    std::size_t LiveTargets() { return framework.LiveObjectCount(sim::FxType::IoTarget); }
    std::optional<IoTargetState> State(WDFIOTARGET t) { return framework.TargetState(t); }
};

TEST_F(TargetTest, ArrivalOpensTheTargetWithTheServicesParameters)
{
    ta.Arrive();
    platform.Sched().Settle();
    ASSERT_NE(Held(), nullptr);

    auto params = framework.TargetOpenParams(Held());
    ASSERT_TRUE(params.has_value());
    EXPECT_EQ(params->type, WdfIoTargetOpenByName);
    EXPECT_EQ(params->name, sim::TaServiceModel::kDefaultLink);
    EXPECT_EQ(params->desiredAccess, 0xC0000000U);
    EXPECT_EQ(params->shareAccess, 3U);
    EXPECT_EQ(params->createDisposition, 1U);
    EXPECT_EQ(params->createOptions, 0x40U);
    EXPECT_FALSE(params->queryRemoveCallback || params->removeCanceledCallback || params->removeCompleteCallback);

    auto attributes = framework.Attributes(Held());
    ASSERT_TRUE(attributes.has_value());
    EXPECT_EQ(attributes->executionLevel, WdfExecutionLevelInheritFromParent);
    EXPECT_EQ(attributes->synchronizationScope, WdfSynchronizationScopeInheritFromParent);
    EXPECT_FALSE(attributes->cleanupCallback || attributes->destroyCallback);
    EXPECT_TRUE(attributes->contextTypeName.empty());
}

TEST_F(TargetTest, AnotherClassOrARemovalChangesNothing)
{
    platform.Pnp().AddInterface(kOtherClass, kSecondLink);
    platform.Sched().Settle();
    EXPECT_EQ(Held(), nullptr);
    EXPECT_EQ(LiveTargets(), 0U);

    ta.Arrive();
    platform.Sched().Settle();
    WDFIOTARGET held = Held();
    ASSERT_NE(held, nullptr);

    ta.Depart();
    platform.Sched().Settle();
    EXPECT_EQ(Held(), held);
    EXPECT_EQ(LiveTargets(), 1U);

    // The same answers when the callback is called with such notifications directly.
    UNICODE_STRING link{};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION n{1, sizeof(n), GUID_DEVICE_INTERFACE_ARRIVAL, kOtherClass, &link};
    EXPECT_EQ(InterfaceChangeCallback(&n, nullptr), STATUS_SUCCESS);
    n.InterfaceClassGuid = sim::ta::kInterfaceClassGuid;
    n.Event = GUID_DEVICE_INTERFACE_REMOVAL;
    EXPECT_EQ(InterfaceChangeCallback(&n, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Held(), held);
    EXPECT_EQ(LiveTargets(), 1U);
}

TEST_F(TargetTest, LaterArrivalReplacesTheTargetWithoutClosingTheFirst)
{
    ta.Arrive();
    platform.Sched().Settle();
    WDFIOTARGET first = Held();
    platform.Pnp().AddInterface(sim::ta::kInterfaceClassGuid, kSecondLink);
    platform.Sched().Settle();

    ASSERT_NE(Held(), first);
    EXPECT_EQ(framework.TargetOpenParams(Held())->name, kSecondLink);
    EXPECT_EQ(State(first), IoTargetState::Opened);
    EXPECT_EQ(LiveTargets(), 2U);
    platform.Pnp().RemoveInterface(kSecondLink);
}

struct OpenFailure {
    const char* operation;
    NTSTATUS status;
};

class FailedOpenTest : public TargetTest, public testing::WithParamInterface<OpenFailure> {};

TEST_P(FailedOpenTest, KeepsThePreviousTargetAndDeletesTheNewObject)
{
    ta.Arrive();
    platform.Sched().Settle();
    WDFIOTARGET first = Held();

    platform.Faults().FailAlways(GetParam().operation, GetParam().status);
    platform.Pnp().AddInterface(sim::ta::kInterfaceClassGuid, kSecondLink);
    platform.Sched().Settle();
    platform.Faults().ClearRules();

    EXPECT_EQ(Held(), first);
    EXPECT_EQ(State(first), IoTargetState::Opened);
    EXPECT_EQ(LiveTargets(), 1U);
    platform.Pnp().RemoveInterface(kSecondLink);
}

INSTANTIATE_TEST_SUITE_P(CreateOrOpen, FailedOpenTest,
                         testing::Values(OpenFailure{"WdfIoTargetCreate", STATUS_INSUFFICIENT_RESOURCES},
                                         OpenFailure{"WdfIoTargetOpen", STATUS_OBJECT_NAME_NOT_FOUND}),
                         [](const testing::TestParamInfo<OpenFailure>& param) {
                             return std::string(param.param.operation);
                         });

TEST_F(TargetTest, ReleasesOnNullFieldsDoNothing)
{
    WDFIOTARGET target = nullptr;
    PVOID entry = nullptr;
    std::size_t before = platform.Trace().Events().size();
    CloseServiceTarget(&target);
    UnregisterInterfaceNotification(&entry);
    EXPECT_EQ(platform.Trace().Events().size(), before);
}

TEST_F(TargetTest, RemovingTheLastDeviceClosesTheTargetAndUnregisters)
{
    ta.Arrive();
    platform.Sched().Settle();
    WDFIOTARGET held = Held();
    ASSERT_NE(held, nullptr);

    framework.RemoveDevice(framework.PnpDevices().front());
    platform.Sched().Settle();

    EXPECT_EQ(Context()->ServiceTarget, nullptr);
    EXPECT_EQ(Context()->InterfaceNotificationEntry, nullptr);
    EXPECT_EQ(Context()->ControlDevice, nullptr);
    EXPECT_FALSE(framework.IsLive(held));
    EXPECT_EQ(platform.Pnp().RegistrationCount(), 0U);
}

// A relay is inside the TA service when the last device goes. Deleting the control device
// cancels the send; cleanup must wait for the relay before the target is destroyed, and the
// firmware still gets its buffer back and its acknowledgement.
TEST_F(TargetTest, CleanupWaitsForARelayInsideTheService)
{
    ta.Arrive();
    ta.SetBehaviour(sim::TaBehaviour::Block());
    platform.Sched().Settle();
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(6, 1), Pattern(6, 2));
    firmware.RaiseEvent(buffer);
    ASSERT_TRUE(RunUntil([&] { return ta.Blocked() == 1; }));

    WDFDEVICE device = framework.PnpDevices().front();
    sim::SimThread remover(platform, "pnp remove", [&] { framework.RemoveDevice(device); });
    remover.Join();

    ASSERT_TRUE(RunUntil([&] { return firmware.AckCount() == 1; }));
    ASSERT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(firmware.HandedBack()[0], buffer); // cancelled: the service wrote nothing
    EXPECT_EQ(ta.Requests().at(0).status, STATUS_CANCELLED);
    EXPECT_EQ(Context()->ServiceTarget, nullptr);
    EXPECT_EQ(LiveTargets(), 0U);

    // With the control device gone, later events go back unchanged.
    ASSERT_TRUE(RaiseAndWait(buffer));
    EXPECT_EQ(firmware.HandedBack().at(1), buffer);
    EXPECT_EQ(ta.RequestCount(), 1U);
}

// The send has no time-out, so a TA service that never completes a request, not even a
// cancelled one, holds the relay for ever: the last device's removal deletes the control device,
// whose cleanup closes the target and waits for the send it cancelled. Only the service letting
// go ends it; then the removal completes and the driver can unload.
TEST_F(TargetTest, ServiceIgnoringCancellationHoldsDeviceRemovalUntilItAnswers)
{
    ta.Arrive();
    ta.SetBehaviour(sim::TaBehaviour::IgnoreCancel());
    platform.Sched().Settle();
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(6, 1), Pattern(6, 2));
    firmware.RaiseEvent(buffer);
    ASSERT_TRUE(RunUntil([&] { return ta.Blocked() == 1; }));

    WDFDEVICE device = framework.PnpDevices().front();
    sim::SimThread remover(platform, "pnp remove", [&] { framework.RemoveDevice(device); });
    platform.Sched().AdvanceBy(600 * sim::kTicksPerSecond);
    EXPECT_FALSE(remover.Finished()) << "the removal went on while the service still held the request";
    EXPECT_TRUE(platform.Wmi().CallbackInFlight());
    EXPECT_EQ(firmware.AckCount(), 0U);
    EXPECT_EQ(ta.Requests().at(0).status, STATUS_PENDING);

    ASSERT_TRUE(ta.Release());
    remover.Join();
    ASSERT_TRUE(RunUntil([&] { return firmware.AckCount() == 1; }));
    // The service's late answer reached the response area before the hand-back.
    Bytes expected = buffer;
    std::copy_n(Pattern(6, 1).begin(), 6, expected.begin() + 14);
    EXPECT_EQ(firmware.HandedBack().at(0), expected);
    EXPECT_EQ(LiveTargets(), 0U);
}

// Without the service ever letting go nothing can move again, and the host platform says so
// with the state of every thread, the WMI thread held in the send among them.
TEST_F(TargetTest, ServiceIgnoringCancellationDeadlocksDeviceRemoval)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            ta.Arrive();
            ta.SetBehaviour(sim::TaBehaviour::IgnoreCancel());
            platform.Sched().Settle();
            firmware.RaiseEvent(FirmwareModel::BuildExchangeBuffer(Pattern(6, 1), Pattern(6, 2)));
            RunUntil([&] { return ta.Blocked() == 1; });
            platform.Sched().SetDeadlockTimeout(std::chrono::milliseconds(100));
            framework.RemoveDevice(framework.PnpDevices().front());
        },
        "deadlock at virtual time [0-9]+.*thread 'wmi': blocked");
}

// A relay has read the target but not yet sent on it when the last device goes: the control
// device's deletion must not destroy the target (its handle would be dead) until the relay is
// done with it. The send then finds the target closed and the buffer goes back unchanged.
TEST_F(TargetTest, CleanupWaitsForARelayBetweenReadingTheTargetAndSending)
{
    ta.Arrive();
    platform.Sched().Settle();
    framework.HoldSendsAtEntry(true);
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(6, 1), Pattern(6, 2));
    firmware.RaiseEvent(buffer);
    ASSERT_TRUE(RunUntil([&] { return framework.SendsHeldAtEntry() == 1; }));

    WDFDEVICE device = framework.PnpDevices().front();
    sim::SimThread remover(platform, "pnp remove", [&] { framework.RemoveDevice(device); });
    platform.Sched().Settle();
    EXPECT_FALSE(remover.Finished()) << "the control device went while a relay still held its target";

    framework.HoldSendsAtEntry(false);
    remover.Join();
    ASSERT_TRUE(RunUntil([&] { return firmware.AckCount() == 1; }));
    EXPECT_EQ(firmware.HandedBack().at(0), buffer);
    EXPECT_EQ(ta.RequestCount(), 0U);
    EXPECT_EQ(LiveTargets(), 0U);
}

TEST_F(TargetTest, RelaysRunWhileTheServiceComesAndGoes)
{
    // Arrivals replace the target on the PnP thread while relays read it on the WMI thread.
    ta.SetBehaviour(sim::TaBehaviour::Echo());
    for (int round = 0; round < 20; ++round) {
        ta.Arrive();
        firmware.RaiseEvent(
            FirmwareModel::BuildExchangeBuffer(Pattern(4, static_cast<std::uint8_t>(round)), Pattern(4, 9)));
        ta.Depart();
    }
    ASSERT_TRUE(RunUntil([&] { return firmware.AckCount() == 20; }));
    EXPECT_EQ(firmware.HandedBack().size(), 20U);
}

// ---- Discovery and release as the PnP manager and the framework see them ----

namespace wire = fwtest::wire;

TEST_P(FailedOpenTest, TheCallbackReturnsTheFailureToThePnpManager)
{
    platform.Faults().FailAlways(GetParam().operation, GetParam().status);
    ta.Arrive();
    platform.Sched().Settle();
    platform.Faults().ClearRules();

    const auto statuses = platform.Pnp().CallbackStatuses();
    ASSERT_EQ(statuses.size(), 1U);
    EXPECT_EQ(statuses[0], GetParam().status);
    EXPECT_EQ(Held(), nullptr);
}

TEST_F(TargetTest, RegistersForTheServiceClassAndReportsEachArrivalsStatus)
{
    ta.Arrive();
    platform.Pnp().AddInterface(kOtherClass, kSecondLink);
    platform.Sched().Settle();

    const auto classes = platform.Pnp().RegisteredClasses();
    ASSERT_EQ(classes.size(), 1U);
    EXPECT_TRUE(wire::SameGuid(classes[0], wire::kServiceInterface));
    // Only the service's own arrival reaches the driver's callback.
    EXPECT_EQ(platform.Pnp().CallbackStatuses(), std::vector<NTSTATUS>{STATUS_SUCCESS});
    EXPECT_NE(Held(), nullptr);
    platform.Pnp().RemoveInterface(kSecondLink);
}

TEST_F(TargetTest, CloseServiceTargetClosesWhatItForgets)
{
    ta.Arrive();
    platform.Sched().Settle();
    WDFIOTARGET held = Held();
    ASSERT_NE(held, nullptr);

    // On a copy of the field, so that the driver's own cleanup still finds its target.
    WDFIOTARGET copy = held;
    CloseServiceTarget(&copy);

    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(State(held), IoTargetState::Closed);
    EXPECT_TRUE(framework.IsLive(held)) << "the object goes with the control device, not here";
}

// The callback as the PnP manager calls it, with notifications that differ from the service's
// arrival in one field, or in its last byte only.
struct NotificationCase {
    const char* name;
    GUID event;
    GUID interfaceClass;
    bool opens;
};

class NotificationTest : public TargetTest, public testing::WithParamInterface<NotificationCase> {};

TEST_P(NotificationTest, OnlyAnArrivalOfTheServiceClassOpensATarget)
{
    if (RunsImage()) {
        GTEST_SKIP() << "calls the linked driver's callback directly";
    }
    ta.Arrive(kSecondLink);
    platform.Sched().Settle();
    const WDFIOTARGET before = Held();
    const std::size_t targets = LiveTargets();

    std::u16string link = kSecondLink;
    UNICODE_STRING name{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
    DEVICE_INTERFACE_CHANGE_NOTIFICATION notification{1,
                                                      static_cast<USHORT>(sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION)),
                                                      GetParam().event, GetParam().interfaceClass, &name};
    EXPECT_EQ(InterfaceChangeCallback(&notification, nullptr), STATUS_SUCCESS);

    EXPECT_EQ(LiveTargets(), targets + (GetParam().opens ? 1U : 0U));
    EXPECT_EQ(Held() != before, GetParam().opens);
}

constexpr GUID kArrival = {0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
constexpr GUID kRemoval = {0xCB3A4005, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3F}};
constexpr GUID kNearArrival = {0xCB3A4004, 0x46F0, 0x11D0, {0xB0, 0x8F, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3E}};
constexpr GUID kNearService = {0x3FA24EF8, 0x153B, 0x4B8A, {0xA0, 0x39, 0x67, 0x03, 0x77, 0xB9, 0x3E, 0x04}};

INSTANTIATE_TEST_SUITE_P(
    Fields, NotificationTest,
    testing::Values(NotificationCase{"ServiceArrival", kArrival, wire::kServiceInterface, true},
                    NotificationCase{"ServiceRemoval", kRemoval, wire::kServiceInterface, false},
                    NotificationCase{"ArrivalOfAnotherClass", kArrival, kOtherClass, false},
                    NotificationCase{"ArrivalOfAClassDifferingInItsLastByte", kArrival, kNearService, false},
                    NotificationCase{"EventDifferingInItsLastByte", kNearArrival, wire::kServiceInterface, false}),
    [](const testing::TestParamInfo<NotificationCase>& param) { return std::string(param.param.name); });

} // namespace
