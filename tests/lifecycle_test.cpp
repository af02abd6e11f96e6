// The whole driver: start-up in every order of events, devices coming and going, and unload
// leaving nothing behind.
#include <atomic>
#include <cstdint>
#include <cstdio>

#include "support/driver_fixture.h"
#include "support/wire.h"

namespace {

using fwtest::Bytes;
using fwtest::Pattern;
using sim::FirmwareModel;

class LifecycleTest : public fwtest::DriverTest {
protected:
    std::uint64_t Calls(const char* operation) { return platform.Faults().Count(operation); }
    std::size_t WmiBlocksHeld()
    {
        std::size_t n = 0;
        for (const auto* object : platform.Objects().LiveObjects()) {
            n += dynamic_cast<const sim::WmiBlock*>(object) != nullptr ? 1U : 0U;
        }
        return n;
    }
    bool StartUpMessagePrinted(NTSTATUS status)
    {
        char expected[96];
        std::snprintf(expected, sizeof expected, "DriverEntry failed 0x%x for driver ", static_cast<unsigned>(status));
        for (const auto& line : platform.DebugOutput()) {
            if (line.rfind(expected, 0) == 0 && line.find("\\Services\\fwrelay") != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(LifecycleTest, StartUpCreatesTheFrameworkObjectsAsConfigured)
{
    firmware.SetPresent(true);
    ASSERT_EQ(framework.LoadDriver(DriverEntry), STATUS_SUCCESS);

    auto version = framework.BoundVersion();
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(version->major, 1U);
    EXPECT_EQ(version->minor, 15U);

    auto config = framework.DriverConfig();
    ASSERT_TRUE(config.has_value());
    EXPECT_TRUE(config->deviceAddCallback);
    EXPECT_TRUE(config->unloadCallback);
    EXPECT_EQ(config->driverInitFlags, 0U);
    EXPECT_EQ(config->driverPoolTag, 0U);
    EXPECT_EQ(config->attributes.contextTypeName, "DriverContext");
    EXPECT_EQ(config->attributes.executionLevel, WdfExecutionLevelInheritFromParent);
    EXPECT_EQ(config->attributes.synchronizationScope, WdfSynchronizationScopeInheritFromParent);
    EXPECT_FALSE(config->attributes.cleanupCallback || config->attributes.destroyCallback);

    WDFDEVICE control = framework.ControlDevice();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(Context()->ControlDevice, control);
    EXPECT_EQ(framework.ControlDeviceSddl(control), "D:P");
    EXPECT_TRUE(framework.ControlFinished(control));
    auto attributes = framework.Attributes(control);
    ASSERT_TRUE(attributes.has_value());
    EXPECT_TRUE(attributes->cleanupCallback);
    EXPECT_FALSE(attributes->destroyCallback);
    EXPECT_TRUE(attributes->contextTypeName.empty());

    ASSERT_EQ(framework.AddDevice(), STATUS_SUCCESS);
    auto device = framework.Attributes(framework.PnpDevices().front());
    ASSERT_TRUE(device.has_value());
    EXPECT_TRUE(device->destroyCallback);
    EXPECT_FALSE(device->cleanupCallback);
    EXPECT_EQ(device->executionLevel, WdfExecutionLevelInheritFromParent);
    EXPECT_EQ(device->synchronizationScope, WdfSynchronizationScopeInheritFromParent);

    EXPECT_EQ(platform.Pnp().RegistrationCount(), 1U);
    EXPECT_TRUE(firmware.Registered());
    EXPECT_EQ(Context()->RetryThread, nullptr);
    EXPECT_FALSE(Context()->RetryActive);
    EXPECT_EQ(Context()->DeviceCount, 1);
    EXPECT_TRUE(platform.DebugOutput().empty());
}

TEST_F(LifecycleTest, FirmwareAbsentAtStartUpIsOpenedLaterByTheOneWorker)
{
    firmware.AppearAt(4 * sim::kTicksPerSecond);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(platform.Kernel().LiveSystemThreads(), 1U);
    EXPECT_FALSE(firmware.Registered());

    ASSERT_TRUE(RunUntil([&] { return firmware.Registered(); }));
    EXPECT_EQ(platform.Sched().Now(), 4 * sim::kTicksPerSecond);
    EXPECT_EQ(platform.Kernel().ThreadsCreated(), 1U);

    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2));
    ASSERT_TRUE(RaiseAndWait(buffer));
    EXPECT_EQ(firmware.HandedBack().at(0), buffer);
}

TEST_F(LifecycleTest, ServicePresentBeforeStartUpIsHeldOnceRegistrationReturns)
{
    firmware.SetPresent(true);
    ta.Arrive();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_NE(Context()->ServiceTarget, nullptr);

    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2));
    ASSERT_TRUE(RaiseAndWait(buffer));
    EXPECT_EQ(ta.RequestCount(), 1U);
}

TEST_F(LifecycleTest, ExistingServiceReportedTwiceKeepsTheSecondTarget)
{
    firmware.SetPresent(true);
    platform.Pnp().SetDuplicateExistingArrivals(true);
    ta.Arrive();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    platform.Sched().Settle();
    EXPECT_NE(Context()->ServiceTarget, nullptr);
    EXPECT_EQ(framework.LiveObjectCount(sim::FxType::IoTarget), 2U);
}

// Each start-up step failing ends start-up with that step's status.
struct StartUpFailure {
    const char* name;
    const char* operation;
    NTSTATUS injected;
    NTSTATUS expected;
    bool firmwarePresent;
    std::uint64_t registrations; // IoRegisterPlugPlayNotification calls made
};

class StartUpFailureTest : public LifecycleTest, public testing::WithParamInterface<StartUpFailure> {};

TEST_P(StartUpFailureTest, EndsStartUpWithTheStepsStatusAndLeavesNothing)
{
    const auto& p = GetParam();
    firmware.SetPresent(p.firmwarePresent);
    ta.Arrive();
    platform.Faults().FailAlways(p.operation, p.injected);

    EXPECT_EQ(framework.LoadDriver(DriverEntry), p.expected);

    EXPECT_FALSE(framework.Loaded());
    EXPECT_TRUE(StartUpMessagePrinted(p.expected)) << testing::PrintToString(platform.DebugOutput());
    EXPECT_EQ(Calls("IoRegisterPlugPlayNotification"), p.registrations);
    EXPECT_EQ(platform.Pnp().RegistrationCount(), 0U);
    EXPECT_EQ(WmiBlocksHeld(), 0U);
    EXPECT_EQ(firmware.RegisterCalls(), 0U);
    EXPECT_EQ(platform.Kernel().LiveSystemThreads(), 0U);
    EXPECT_EQ(framework.LiveObjectCount(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StartUpFailureTest,
    testing::Values(StartUpFailure{"DriverCreate", "WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES,
                                   STATUS_INSUFFICIENT_RESOURCES, true, 0},
                    StartUpFailure{"NoControlDeviceInit", "WdfControlDeviceInitAllocate", STATUS_UNSUCCESSFUL,
                                   STATUS_INSUFFICIENT_RESOURCES, true, 0},
                    StartUpFailure{"ControlDeviceCreate", "WdfDeviceCreate", STATUS_INVALID_DEVICE_STATE,
                                   STATUS_INVALID_DEVICE_STATE, true, 0},
                    StartUpFailure{"InterfaceRegistration", "IoRegisterPlugPlayNotification",
                                   STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES, true, 1},
                    StartUpFailure{"ChannelAndWorker", "IoCreateSystemThread", STATUS_INSUFFICIENT_RESOURCES,
                                   STATUS_INSUFFICIENT_RESOURCES, false, 1}),
    [](const testing::TestParamInfo<StartUpFailure>& param) { return std::string(param.param.name); });

TEST_F(LifecycleTest, InterfaceRegistrationFailureNeverOpensTheChannel)
{
    firmware.SetPresent(true);
    platform.Faults().FailAlways("IoRegisterPlugPlayNotification", STATUS_ACCESS_DENIED);
    EXPECT_EQ(framework.LoadDriver(DriverEntry), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Calls("IoWMIOpenBlock"), 0U);
}

TEST_F(LifecycleTest, EveryFallibleStartUpCallFailingLeavesACleanMachine)
{
    // Count the fallible calls of a whole start-up with the firmware absent (so the worker
    // path is taken too), then fail each one in turn on a fresh load.
    firmware.SetPresent(false);
    ta.Arrive();
    ASSERT_EQ(framework.LoadDriver(DriverEntry), STATUS_SUCCESS);
    const auto calls = platform.Faults().CallLog();
    ASSERT_EQ(framework.AddDevice(), STATUS_SUCCESS);
    RemoveDevicesAndUnload();
    ASSERT_FALSE(framework.Loaded());

    for (std::uint64_t n = 1; n <= calls.size(); ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n) + " (" + calls[n - 1] + ")");
        platform.Faults().ClearRules();
        platform.Faults().ResetCounts();
        platform.Faults().FailGlobalNth(n);
        NTSTATUS status = framework.LoadDriver(DriverEntry);
        platform.Faults().ClearRules();
        if (NT_SUCCESS(status)) {
            ASSERT_EQ(framework.AddDevice(), STATUS_SUCCESS);
            RemoveDevicesAndUnload();
        }
        EXPECT_FALSE(framework.Loaded());
        EXPECT_EQ(platform.Pool().LiveCount(), 0U) << platform.Pool().LeakReport();
        EXPECT_EQ(platform.Pnp().RegistrationCount(), 0U);
        EXPECT_EQ(WmiBlocksHeld(), 0U);
        EXPECT_EQ(platform.Kernel().LiveSystemThreads(), 0U);
        EXPECT_EQ(platform.Objects().OpenHandleCount(), 0U);
        EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    }
}

TEST_F(LifecycleTest, LastDeviceTakesTheControlDeviceButTheChannelStaysOpen)
{
    firmware.SetPresent(true);
    ta.Arrive();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_NE(Context()->ServiceTarget, nullptr);

    framework.RemoveDevice(framework.PnpDevices().front());
    platform.Sched().Settle();

    EXPECT_EQ(Context()->DeviceCount, 0);
    EXPECT_EQ(Context()->ControlDevice, nullptr);
    EXPECT_EQ(framework.ControlDevice(), nullptr);
    EXPECT_EQ(Context()->InterfaceNotificationEntry, nullptr);
    EXPECT_EQ(platform.Pnp().RegistrationCount(), 0U);
    EXPECT_EQ(Context()->ServiceTarget, nullptr);
    EXPECT_TRUE(firmware.Registered());

    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2));
    ASSERT_TRUE(RaiseAndWait(buffer));
    EXPECT_EQ(firmware.HandedBack().at(0), buffer);
    EXPECT_EQ(ta.RequestCount(), 0U);
}

TEST_F(LifecycleTest, OneOfTwoDevicesGoingKeepsTheControlDevice)
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(framework.AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->DeviceCount, 2);

    framework.RemoveDevice(framework.PnpDevices().front());
    EXPECT_EQ(Context()->DeviceCount, 1);
    EXPECT_NE(framework.ControlDevice(), nullptr);
    EXPECT_EQ(platform.Pnp().RegistrationCount(), 1U);
}

TEST_F(LifecycleTest, FailedDeviceCreationLeavesTheCountAndTheControlDevice)
{
    firmware.SetPresent(true);
    ASSERT_EQ(framework.LoadDriver(DriverEntry), STATUS_SUCCESS);
    platform.Faults().FailAlways("WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(framework.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    platform.Faults().ClearRules();

    EXPECT_EQ(Context()->DeviceCount, 0);
    EXPECT_NE(framework.ControlDevice(), nullptr);

    ASSERT_EQ(framework.AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->DeviceCount, 1);
}

TEST_F(LifecycleTest, A256thDeviceIsRefusedInsteadOfWrappingTheCount)
{
    firmware.SetPresent(true);
    ASSERT_EQ(framework.LoadDriver(DriverEntry), STATUS_SUCCESS);
    for (int i = 0; i < 255; ++i) {
        ASSERT_EQ(framework.AddDevice(), STATUS_SUCCESS) << "device " << i;
    }
    EXPECT_EQ(Context()->DeviceCount, 255);

    EXPECT_EQ(framework.AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Context()->DeviceCount, 255);
    EXPECT_EQ(framework.PnpDevices().size(), 255U);
    EXPECT_NE(framework.ControlDevice(), nullptr);

    auto devices = framework.PnpDevices();
    for (std::size_t i = 0; i + 1 < devices.size(); ++i) {
        framework.RemoveDevice(devices[i]);
    }
    EXPECT_EQ(Context()->DeviceCount, 1);
    EXPECT_NE(framework.ControlDevice(), nullptr);
}

TEST_F(LifecycleTest, DevicesAddedAndRemovedConcurrentlyKeepAnExactCount)
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS); // one device that lives throughout
    WDFDEVICE anchor = framework.PnpDevices().front();

    std::atomic<int> added{0};
    sim::SimThread adder(platform, "pnp add", [&] {
        for (int i = 0; i < 50; ++i) {
            if (NT_SUCCESS(framework.AddDevice())) {
                ++added;
            }
        }
    });
    sim::SimThread remover(platform, "pnp remove", [&] {
        int removed = 0;
        while (removed < 50) {
            for (WDFDEVICE device : framework.PnpDevices()) {
                if (device != anchor && removed < 50) {
                    framework.RemoveDevice(device);
                    ++removed;
                }
            }
            platform.Sched().Settle();
        }
    });
    adder.Join();
    remover.Join();

    EXPECT_EQ(added.load(), 50);
    EXPECT_EQ(Context()->DeviceCount, 1);
    EXPECT_NE(framework.ControlDevice(), nullptr);
}

// Lets a held deletion go on when a test ends early, before the thread running it is joined.
struct HoldRelease {
    sim::FrameworkModel& framework;
    ~HoldRelease() { framework.ReleaseDeletionHold(); }
};

// The last device's destroy is deleting the control device when another device is added and
// destroyed: that destroy brings the count to 0 a second time and must find nothing to delete,
// whether the first deletion has not run the cleanup yet or has already destroyed the device.
class ControlDeviceHandOffTest : public LifecycleTest, public testing::WithParamInterface<sim::DeletionPhase> {
protected:
    std::size_t DeletesOf(WDFDEVICE device)
    {
        char handle[24];
        std::snprintf(handle, sizeof handle, "0x%llx",
                      static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(device)));
        std::size_t n = 0;
        for (const auto& event : platform.Trace().Find("WdfObjectDelete")) {
            n += event.from == "driver" && event.detail == handle ? 1U : 0U;
        }
        return n;
    }
};

TEST_P(ControlDeviceHandOffTest, IsDeletedOnceWhileAnotherDeviceComesAndGoes)
{
    firmware.SetPresent(true);
    ta.Arrive();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    platform.Sched().Settle();
    ASSERT_NE(Context()->ServiceTarget, nullptr);
    const WDFDEVICE control = framework.ControlDevice();
    const WDFDEVICE first = framework.PnpDevices().front();

    framework.HoldDeletion(control, GetParam());
    sim::SimThread lastDestroy(platform, "pnp remove", [&] { framework.RemoveDevice(first); });
    HoldRelease release{framework};
    ASSERT_TRUE(RunUntil([&] { return framework.DeletionHeld(); }));
    EXPECT_EQ(Context()->DeviceCount, 0);

    WDFDEVICE second = nullptr;
    ASSERT_EQ(framework.AddDevice(&second), STATUS_SUCCESS);
    EXPECT_EQ(Context()->DeviceCount, 1);
    framework.RemoveDevice(second);
    EXPECT_EQ(Context()->DeviceCount, 0);

    framework.ReleaseDeletionHold();
    lastDestroy.Join();
    platform.Sched().Settle();

    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    EXPECT_EQ(DeletesOf(control), 1U);
    EXPECT_FALSE(framework.IsLive(control));
    EXPECT_EQ(Context()->ControlDevice, nullptr);
    EXPECT_EQ(Context()->InterfaceNotificationEntry, nullptr);
    EXPECT_EQ(platform.Pnp().RegistrationCount(), 0U);
    EXPECT_EQ(Context()->ServiceTarget, nullptr);
    EXPECT_EQ(framework.LiveObjectCount(sim::FxType::IoTarget), 0U);
    EXPECT_TRUE(firmware.Registered());
}

INSTANTIATE_TEST_SUITE_P(FirstDeletion, ControlDeviceHandOffTest,
                         testing::Values(sim::DeletionPhase::BeforeCleanup, sim::DeletionPhase::AfterDestroy),
                         [](const testing::TestParamInfo<sim::DeletionPhase>& param) {
                             return param.param == sim::DeletionPhase::BeforeCleanup ? std::string("BeforeCleanup")
                                                                                     : std::string("AfterDestroy");
                         });

// An arrival that runs after the last destroy has taken the control device, before its cleanup
// has unregistered the notification, has no parent for a target: it opens none, passes the
// framework no handle, and its status says why.
TEST_F(LifecycleTest, AnArrivalWhileTheControlDeviceGoesOpensNoTarget)
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const WDFDEVICE control = framework.ControlDevice();
    const WDFDEVICE device = framework.PnpDevices().front();

    framework.HoldDeletion(control, sim::DeletionPhase::BeforeCleanup);
    sim::SimThread lastDestroy(platform, "pnp remove", [&] { framework.RemoveDevice(device); });
    HoldRelease release{framework};
    ASSERT_TRUE(RunUntil([&] { return framework.DeletionHeld(); }));

    const std::size_t delivered = platform.Pnp().CallbacksDelivered();
    ta.Arrive();
    ASSERT_TRUE(RunUntil([&] { return platform.Pnp().CallbacksDelivered() == delivered + 1; }));
    platform.Sched().Settle();
    auto changes = platform.Trace().Find("DeviceInterfaceChange");
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ(changes.back().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Calls("WdfIoTargetCreate"), 0U);
    EXPECT_EQ(Context()->ServiceTarget, nullptr);

    framework.ReleaseDeletionHold();
    lastDestroy.Join();
    platform.Sched().Settle();
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    EXPECT_FALSE(framework.IsLive(control));
    EXPECT_EQ(platform.Pnp().RegistrationCount(), 0U);
    EXPECT_EQ(framework.LiveObjectCount(sim::FxType::IoTarget), 0U);
}

TEST_F(LifecycleTest, UnloadWithTheWorkerRetryingSendsNoUnregister)
{
    firmware.SetPresent(false);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    platform.Sched().AdvanceBy(3 * sim::kTicksPerSecond + 1);
    RemoveDevicesAndUnload();

    EXPECT_EQ(firmware.UnregisterCalls(), 0U);
    EXPECT_EQ(platform.Kernel().LiveSystemThreads(), 0U);
    EXPECT_EQ(platform.Objects().OpenHandleCount(), 0U);
}

TEST_F(LifecycleTest, UnloadWithTheChannelOpenUnregistersOnceAndReleasesTheBlocks)
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    RemoveDevicesAndUnload();

    EXPECT_EQ(firmware.UnregisterCalls(), 1U);
    EXPECT_EQ(WmiBlocksHeld(), 0U);
    EXPECT_FALSE(framework.Loaded());
    EXPECT_EQ(WdfGetDriver(), nullptr);
}

TEST_F(LifecycleTest, UnloadIsRefusedWhileADeviceLives)
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_FALSE(framework.UnloadDriver());
    EXPECT_TRUE(framework.Loaded());
    EXPECT_EQ(firmware.UnregisterCalls(), 0U);
}

TEST_F(LifecycleTest, AWholeLifeInOrder)
{
    // Load before the firmware, device added, service arrives, requests relayed, service leaves
    // and comes back, device removed, unload.
    firmware.AppearAt(2 * sim::kTicksPerSecond);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return firmware.Registered(); }));
    ta.Arrive();
    platform.Sched().Settle();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2))));
    }
    ta.Depart();
    ta.Arrive();
    platform.Sched().Settle();
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2))));
    EXPECT_EQ(ta.RequestCount(), 4U);
    RemoveDevicesAndUnload();
    EXPECT_EQ(firmware.AckCount(), 4U);
    EXPECT_EQ(firmware.UnregisterCalls(), 1U);
}

// ---- A whole life as the firmware, the pool and the WMI layer see it ----

namespace wire = fwtest::wire;

TEST_F(LifecycleTest, EveryFirmwareMethodGetsTheSizesItExpectsAndEveryFreePassesTagZero)
{
    LoadWithService();
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2), {0, 0, 0, 0}, 64)));
    RemoveDevicesAndUnload();

    // Register, one event (size query, fetch, hand-back, acknowledgement), unregister.
    struct Expected {
        ULONG method;
        ULONG inSize;
        ULONG outSizeOnEntry;
    };
    const std::vector<Expected> expected = {
        {wire::kRegister, 4, 4},      {wire::kGetRequest, 0, 0},  {wire::kGetRequest, 0, wire::kFetchMinimum},
        {wire::kSetResponse, 64, 64}, {wire::kAcknowledge, 4, 4}, {wire::kUnregister, 4, 4}};
    const auto calls = firmware.Calls();
    ASSERT_EQ(calls.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i));
        EXPECT_EQ(calls[i].methodId, expected[i].method);
        EXPECT_EQ(calls[i].inSize, expected[i].inSize);
        EXPECT_EQ(calls[i].outSizeOnEntry, expected[i].outSizeOnEntry);
    }
    EXPECT_EQ(firmware.SignatureMismatches(), 0U);

    // The blocks went method first, event last; nothing else was opened.
    const auto released = platform.Wmi().ReleasedBlocks();
    ASSERT_EQ(released.size(), 2U);
    EXPECT_TRUE(wire::SameGuid(released[0], wire::kMethodBlock));
    EXPECT_TRUE(wire::SameGuid(released[1], wire::kEventBlock));

    // The name copy, and the exchange buffer, request copy and response area of the event.
    const auto frees = platform.Pool().FreesByTagPassed();
    ASSERT_EQ(frees.size(), 1U) << "a free passed a tag other than 0";
    EXPECT_EQ(frees.begin()->first, 0U);
    EXPECT_EQ(frees.begin()->second, 4U);
}

// A firmware may accept the registration with a success status other than STATUS_SUCCESS;
// the channel is open all the same, at start-up and when the worker registers.
struct AcceptedRegistration {
    const char* name;
    NTSTATUS status;
    bool firmwareLate;
};

class AcceptedRegistrationTest : public LifecycleTest, public testing::WithParamInterface<AcceptedRegistration> {};

TEST_P(AcceptedRegistrationTest, OpensTheChannelOnce)
{
    firmware.AcceptRegisterWith(GetParam().status);
    if (GetParam().firmwareLate) {
        firmware.AppearAt(3 * sim::kTicksPerSecond);
    } else {
        firmware.SetPresent(true);
    }
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return firmware.Registered() && platform.Kernel().LiveSystemThreads() == 0; }));
    platform.Sched().AdvanceBy(20 * sim::kTicksPerSecond);

    EXPECT_EQ(firmware.RegisterCalls(), 1U);
    EXPECT_EQ(platform.Kernel().ThreadsCreated(), GetParam().firmwareLate ? 1U : 0U);
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2))));
    EXPECT_EQ(firmware.HandedBack().size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(
    SuccessStatuses, AcceptedRegistrationTest,
    testing::Values(AcceptedRegistration{"InformationalAtStartUp", static_cast<NTSTATUS>(0x40000000), false},
                    AcceptedRegistration{"PendingAtStartUp", static_cast<NTSTATUS>(0x00000103), false},
                    AcceptedRegistration{"InformationalByTheWorker", static_cast<NTSTATUS>(0x40000000), true},
                    AcceptedRegistration{"OneByTheWorker", static_cast<NTSTATUS>(0x00000001), true}),
    [](const testing::TestParamInfo<AcceptedRegistration>& param) { return std::string(param.param.name); });

// Unload arrives while the worker is inside METHOD_REGISTER: the channel it is opening must be
// left alone until the worker has returned, and only then be unregistered and released.
TEST_F(LifecycleTest, UnloadTouchesTheChannelOnlyAfterTheWorkerHasReturned)
{
    sim::Gate registering(platform);
    std::atomic<bool> held{false};
    firmware.OnRegister([&] {
        if (!held.exchange(true)) {
            registering.Wait();
        }
    });
    firmware.AppearAt(2 * sim::kTicksPerSecond);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return firmware.RegisterCalls() == 1; }));
    for (WDFDEVICE device : framework.PnpDevices()) {
        framework.RemoveDevice(device);
    }

    bool unloaded = false;
    sim::SimThread unload(platform, "unload", [&] { unloaded = framework.UnloadDriver(); });
    platform.Sched().Settle();

    // Unload is waiting for the worker, which is still inside the firmware.
    EXPECT_EQ(firmware.UnregisterCalls(), 0U);
    EXPECT_EQ(firmware.Calls().size(), 1U);
    EXPECT_TRUE(platform.Wmi().ReleasedBlocks().empty());
    EXPECT_EQ(platform.Pool().FreesByTagPassed().size(), 0U) << "the name copy was freed under the worker";

    registering.Open();
    unload.Join();
    EXPECT_TRUE(unloaded);
    const auto calls = firmware.Calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(calls[0].methodId, wire::kRegister);
    EXPECT_EQ(calls[1].methodId, wire::kUnregister);
    EXPECT_EQ(platform.Wmi().ReleasedBlocks().size(), 2U);
}

} // namespace
