// The firmware channel: open and close, full release on every failure, and the exclusion of
// relays from the channel's release.
#include <algorithm>
#include <atomic>
#include <string>
#include <utility>

#include "support/driver_fixture.h"
#include "support/wire.h"

namespace {

using fwtest::Bytes;
using fwtest::Pattern;
using sim::FirmwareModel;
namespace wire = fwtest::wire;

// The channel on a context of its own, without the rest of the driver.
class ChannelTest : public testing::Test {
protected:
    void SetUp() override
    {
        InitializeFirmwareChannel(&context);
        ExInitializeRundownProtection(&context.TargetRundown);
        platform.Firmware().SetPresent(true);
    }

    void TearDown() override
    {
        CloseFirmwareChannel(&context);
        platform.Shutdown();
        EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
        EXPECT_EQ(platform.Pool().LiveCount(), 0U) << platform.Pool().LeakReport();
        EXPECT_TRUE(LiveBlocks().empty());
    }

    void ExpectClosed()
    {
        EXPECT_EQ(context.MethodBlock, nullptr);
        EXPECT_EQ(context.EventBlock, nullptr);
        EXPECT_EQ(context.InstanceName.Buffer, nullptr);
        EXPECT_EQ(context.InstanceName.Length, 0);
        EXPECT_EQ(context.InstanceName.MaximumLength, 0);
        EXPECT_EQ(platform.Pool().LiveCount(), 0U);
        EXPECT_TRUE(LiveBlocks().empty());
    }

    std::vector<const sim::KernelObject*> LiveBlocks()
    {
        std::vector<const sim::KernelObject*> blocks;
        for (const auto* object : platform.Objects().LiveObjects()) {
            if (dynamic_cast<const sim::WmiBlock*>(object) != nullptr) {
                blocks.push_back(object);
            }
        }
        return blocks;
    }

    bool RunUntil(const std::function<bool()>& condition)
    {
        return platform.Sched().RunUntil(condition, platform.Sched().Now() + 60 * sim::kTicksPerSecond);
    }

    sim::Platform platform;
    DriverContext context{};
};

TEST_F(ChannelTest, OpenRegistersAndDeliversEventsToTheRelay)
{
    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    EXPECT_TRUE(platform.Firmware().Registered());
    // "ACPI\PNP0C14\PSMI_0": 19 UTF-16 characters, 38 bytes, in a 40-byte paged copy.
    ASSERT_EQ(context.InstanceName.Length, 38);
    EXPECT_EQ(context.InstanceName.MaximumLength, 40);
    EXPECT_EQ(std::u16string(context.InstanceName.Buffer, 19), std::u16string(u"ACPI\\PNP0C14\\PSMI_0"));
    ASSERT_EQ(platform.Pool().Live().size(), 1U);
    EXPECT_EQ(platform.Pool().Live()[0].tag, wire::Tag("WMIN"));
    EXPECT_EQ(platform.Pool().Live()[0].size, 40U);
    EXPECT_EQ(platform.Pool().Live()[0].flags, wire::kPagedPool);

    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2));
    platform.Firmware().RaiseEvent(buffer);
    ASSERT_TRUE(RunUntil([&] { return platform.Firmware().AckCount() == 1; }));
    EXPECT_EQ(platform.Firmware().HandedBack().at(0), buffer);
}

// What the WMI layer and the firmware see of an open, one event and a close: the blocks by
// GUID and access, then every method call with its id and sizes, in order.
TEST_F(ChannelTest, TheOtherSideSeesTheDocumentedConversation)
{
    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    std::vector<std::pair<std::string, ULONG>> blocks;
    for (const auto* object : LiveBlocks()) {
        const auto* block = dynamic_cast<const sim::WmiBlock*>(object);
        blocks.emplace_back(sim::GuidText(block->Guid()), block->Access());
    }
    std::sort(blocks.begin(), blocks.end());
    EXPECT_EQ(blocks,
              (std::vector<std::pair<std::string, ULONG>>{{"{71FA4E39-6913-49D2-86F3-5EEFC37852FE}", 0x10},
                                                          {"{91B2631C-A148-451B-8D3A-314FDDFE9D14}", 0x100004}}));

    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2));
    platform.Firmware().RaiseEvent(buffer);
    ASSERT_TRUE(RunUntil([&] { return platform.Firmware().AckCount() == 1; }));
    CloseFirmwareChannel(&context);

    struct Call {
        ULONG method;
        ULONG in;
        ULONG outOnEntry;
        NTSTATUS status;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> calls;
    for (const auto& call : platform.Firmware().Calls()) {
        calls.push_back({call.methodId, call.inSize, call.outSizeOnEntry, call.status});
    }
    const auto size = static_cast<ULONG>(buffer.size());
    EXPECT_EQ(calls, (std::vector<Call>{{1, 4, 4, STATUS_SUCCESS},
                                        {6, 0, 0, STATUS_BUFFER_TOO_SMALL},
                                        {6, 0, 16408, STATUS_SUCCESS},
                                        {5, size, size, STATUS_SUCCESS},
                                        {3, 4, 4, STATUS_SUCCESS},
                                        {2, 4, 4, STATUS_SUCCESS}}));
    EXPECT_EQ(platform.Firmware().SignatureMismatches(), 0U);
    EXPECT_FALSE(platform.Firmware().Registered());
}

TEST_F(ChannelTest, SecondOpenIsRefusedAndChangesNothing)
{
    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    DriverContext before = context;

    EXPECT_EQ(OpenFirmwareChannel(&context), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(context.MethodBlock, before.MethodBlock);
    EXPECT_EQ(context.EventBlock, before.EventBlock);
    EXPECT_EQ(context.InstanceName.Buffer, before.InstanceName.Buffer);
    EXPECT_EQ(platform.Firmware().RegisterCalls(), 1U);
    EXPECT_EQ(OpenFirmwareChannel(nullptr), STATUS_UNSUCCESSFUL);
}

TEST_F(ChannelTest, AbsentFirmwareLeavesTheChannelClosed)
{
    platform.Firmware().SetPresent(false);
    EXPECT_FALSE(NT_SUCCESS(OpenFirmwareChannel(&context)));
    ExpectClosed();
}

TEST_F(ChannelTest, RegisterFailureClosesAndALaterOpenStartsAgain)
{
    platform.Firmware().FailRegister(1, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(OpenFirmwareChannel(&context), STATUS_DEVICE_NOT_READY);
    ExpectClosed();

    EXPECT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    EXPECT_EQ(platform.Firmware().RegisterCalls(), 2U);
    EXPECT_TRUE(platform.Firmware().Registered());
}

TEST_F(ChannelTest, NameCopyFailureReleasesTheMethodBlock)
{
    platform.Faults().FailNth("ExAllocatePool2", 1);
    EXPECT_EQ(OpenFirmwareChannel(&context), STATUS_INSUFFICIENT_RESOURCES);
    ExpectClosed();
    EXPECT_EQ(platform.Firmware().RegisterCalls(), 0U);
}

TEST_F(ChannelTest, EveryFailurePointOfAnOpenLeavesTheChannelClosed)
{
    // One clean open and close to count the fallible calls an open makes.
    platform.Faults().ResetCounts();
    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    const auto calls = platform.Faults().CallLog();
    CloseFirmwareChannel(&context);
    ASSERT_GE(calls.size(), 5U);

    for (bool onwards : {false, true}) {
        for (std::uint64_t n = 1; n <= calls.size(); ++n) {
            SCOPED_TRACE(std::string(onwards ? "every call from " : "call ") + std::to_string(n) + " (" + calls[n - 1] +
                         ")");
            platform.Faults().ResetCounts();
            platform.Faults().ClearRules();
            onwards ? platform.Faults().FailGlobalFrom(n) : platform.Faults().FailGlobalNth(n);

            NTSTATUS status = OpenFirmwareChannel(&context);

            EXPECT_FALSE(NT_SUCCESS(status));
            ExpectClosed();
            EXPECT_FALSE(platform.Firmware().Registered());
        }
    }
    platform.Faults().ClearRules();
}

TEST_F(ChannelTest, PlatformStatusesComeBackUnchanged)
{
    struct Case {
        const char* operation;
        NTSTATUS status;
    };
    for (const Case& c :
         {Case{"IoWMIOpenBlock", STATUS_WMI_GUID_NOT_FOUND}, Case{"IoWMISetNotificationCallback", STATUS_ACCESS_DENIED},
          Case{"IoWMIExecuteMethod", STATUS_WMI_INSTANCE_NOT_FOUND}}) {
        SCOPED_TRACE(c.operation);
        platform.Faults().ClearRules();
        platform.Faults().FailAlways(c.operation, c.status);
        EXPECT_EQ(OpenFirmwareChannel(&context), c.status);
        ExpectClosed();
    }
    platform.Faults().ClearRules();
}

TEST_F(ChannelTest, EventRaisedWhileRegisteringIsDelivered)
{
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2));
    platform.Firmware().OnRegister([&] { platform.Firmware().RaiseEvent(buffer); });

    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return platform.Firmware().AckCount() == 1; }));
    EXPECT_EQ(platform.Firmware().HandedBack().size(), 1U);
}

TEST_F(ChannelTest, CloseUnregistersOnceAndReleasesEverything)
{
    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    CloseFirmwareChannel(&context);
    EXPECT_EQ(platform.Firmware().UnregisterCalls(), 1U);
    EXPECT_FALSE(platform.Firmware().Registered());
    ExpectClosed();

    // Released blocks deliver nothing more.
    platform.Firmware().RaiseEvent(FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2)));
    platform.Sched().Settle();
    EXPECT_EQ(platform.Firmware().AckCount(), 0U);
}

TEST_F(ChannelTest, CloseOfAChannelNeverOpenedCallsAndFreesNothing)
{
    CloseFirmwareChannel(&context);
    EXPECT_TRUE(platform.Firmware().Calls().empty());
    EXPECT_EQ(platform.Pool().TotalAllocations(), 0U);
}

TEST_F(ChannelTest, LateCallbackOfAReleasedBlockFindsTheChannelClosed)
{
    // The WMI layer picks up a delivery, then the channel closes before the callback starts:
    // the callback must not use the released method block or name copy.
    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);
    platform.Wmi().HoldDeliveries(true);
    platform.Firmware().RaiseEvent(FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2)));
    ASSERT_TRUE(RunUntil([&] { return platform.Wmi().DeliveriesHeld() == 1; }));

    CloseFirmwareChannel(&context);
    platform.Wmi().HoldDeliveries(false);
    ASSERT_TRUE(RunUntil([&] { return platform.Wmi().EventsDelivered() == 1; }));

    EXPECT_EQ(platform.Firmware().AckCount(), 0U);
    EXPECT_EQ(platform.Firmware().HandedBack().size(), 0U);
}

// Close on one thread while a relay is blocked inside the TA service on the WMI thread.
class CloseDuringRelayTest : public fwtest::DriverTest {};

TEST_F(CloseDuringRelayTest, CloseWaitsForTheRelayAndItsAcknowledgement)
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ta.Arrive();
    ta.SetBehaviour(sim::TaBehaviour::Block());
    platform.Sched().Settle(); // the PnP thread has opened the target
    ASSERT_NE(Context()->ServiceTarget, nullptr);
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(6, 1), Pattern(6, 2));
    firmware.RaiseEvent(buffer);
    ASSERT_TRUE(RunUntil([&] { return ta.Blocked() == 1; }));

    PDriverContext context = Context();
    std::atomic<bool> closed{false};
    sim::SimThread closer(platform, "closer", [&] {
        CloseFirmwareChannel(context);
        closed = true;
    });
    platform.Sched().Settle();

    // Close has told the firmware and now waits for the relay.
    EXPECT_FALSE(closed);
    EXPECT_EQ(firmware.UnregisterCalls(), 1U);
    EXPECT_EQ(firmware.AckCount(), 0U);

    ta.Release();
    closer.Join();

    EXPECT_TRUE(closed);
    EXPECT_EQ(firmware.AckCount(), 1U);
    ASSERT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(context->MethodBlock, nullptr);
    EXPECT_EQ(context->EventBlock, nullptr);
    EXPECT_EQ(context->InstanceName.Buffer, nullptr);
}

// The retry worker as the kernel and the firmware see it: a thread handle with full thread
// access, one attempt a second on the virtual clock, and the reference unload waits on.
class RetryWorkerBoundaryTest : public fwtest::DriverTest {};

TEST_F(RetryWorkerBoundaryTest, RetriesOnceASecondOnAThreadWithFullAccess)
{
    firmware.AppearAt(3 * sim::kTicksPerSecond + 1);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return firmware.Registered(); }));
    // Attempts at 1 s, 2 s and 3 s find no blocks; the one at 4 s registers.
    EXPECT_EQ(platform.Sched().Now(), 4 * sim::kTicksPerSecond);
    EXPECT_EQ(firmware.RegisterCalls(), 1U);
    EXPECT_EQ(platform.Trace().Find("KeDelayExecutionThread").size(), 4U);
    RemoveDevicesAndUnload();

    const std::vector<std::pair<std::string, ACCESS_MASK>> fullAccess = {
        {"IoCreateSystemThread", wire::kThreadAllAccess}, {"ObReferenceObjectByHandle", wire::kThreadAllAccess}};
    EXPECT_EQ(platform.Kernel().ThreadAccessRequested(), fullAccess);
}

// ---- The channel as the WMI layer and the firmware see it ----

TEST_F(ChannelTest, TheCallbackGetsTheContextAndTheMethodsTheInstanceName)
{
    ASSERT_EQ(OpenFirmwareChannel(&context), STATUS_SUCCESS);

    EXPECT_EQ(platform.Wmi().NotificationContexts(wire::kEventBlock), std::vector<PVOID>{&context});
    EXPECT_TRUE(platform.Wmi().NotificationContexts(wire::kMethodBlock).empty());
    EXPECT_EQ(platform.Wmi().NotificationCallback(wire::kEventBlock), &FirmwareEventCallback);
    EXPECT_EQ(platform.Wmi().NotificationCallback(wire::kMethodBlock), nullptr);
    ASSERT_EQ(context.InstanceName.Length, 38);
    EXPECT_EQ(context.InstanceName.MaximumLength, 40);
    EXPECT_EQ(std::u16string(context.InstanceName.Buffer, 19), std::u16string(wire::kInstanceName));
    const auto calls = platform.Firmware().Calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(calls[0].methodId, wire::kRegister);
    ASSERT_EQ(calls[0].livePool.size(), 1U);
    EXPECT_EQ(calls[0].livePool[0].tag, wire::Tag("WMIN"));
    EXPECT_EQ(calls[0].livePool[0].size, 40U);
    EXPECT_EQ(calls[0].livePool[0].flags, wire::kPagedPool);
}

// Whichever way the channel ends, the method block goes before the event block, and the name
// copy is freed with tag 0.
struct ReleaseCase {
    const char* name;
    std::function<void(sim::Platform&)> arrange;
    bool opens;
    std::vector<GUID> released;
};

class ChannelReleaseTest : public ChannelTest, public testing::WithParamInterface<ReleaseCase> {};

TEST_P(ChannelReleaseTest, ReleasesTheMethodBlockFirst)
{
    GetParam().arrange(platform);
    EXPECT_EQ(NT_SUCCESS(OpenFirmwareChannel(&context)), GetParam().opens);
    platform.Faults().ClearRules();
    CloseFirmwareChannel(&context);

    const auto released = platform.Wmi().ReleasedBlocks();
    ASSERT_EQ(released.size(), GetParam().released.size());
    for (std::size_t i = 0; i < released.size(); ++i) {
        EXPECT_TRUE(wire::SameGuid(released[i], GetParam().released[i])) << "release " << i;
    }
    for (const auto& [tag, count] : platform.Pool().FreesByTagPassed()) {
        EXPECT_EQ(tag, 0U) << count << " frees passed a tag";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, ChannelReleaseTest,
    testing::Values(
        ReleaseCase{"ClosedAfterOpening", [](sim::Platform&) {}, true, {wire::kMethodBlock, wire::kEventBlock}},
        ReleaseCase{"RegisterRefused",
                    [](sim::Platform& p) { p.Firmware().FailRegister(1); },
                    false,
                    {wire::kMethodBlock, wire::kEventBlock}},
        ReleaseCase{"CallbackRefused",
                    [](sim::Platform& p) { p.Faults().FailAlways("IoWMISetNotificationCallback"); },
                    false,
                    {wire::kMethodBlock, wire::kEventBlock}},
        ReleaseCase{"EventBlockMissing",
                    [](sim::Platform& p) { p.Faults().FailNth("IoWMIOpenBlock", 2); },
                    false,
                    {wire::kMethodBlock}}),
    [](const testing::TestParamInfo<ReleaseCase>& param) { return std::string(param.param.name); });

} // namespace
