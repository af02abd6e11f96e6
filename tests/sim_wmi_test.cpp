// The WMI layer and the firmware behind it, driven through the kernel's WMI entry points with
// no driver: block presence and access, method dispatch, the firmware's answers, and event
// delivery on the WMI thread, including a callback that starts after its block was released.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/object.h"
#include "platform/pool.h"
#include "platform/wmi.h"
#include "relay/relay.h"
#include "sim/firmware.h"
#include "sim/irql.h"
#include "sim/platform.h"
#include "sim/strings.h"
#include "sim/wmi.h"
#include "wmi/wmi.h"

namespace {

using sim::FirmwareModel;
using sim::SizeQuery;

constexpr ULONG kTag = 'T' | ('W' << 8) | ('M' << 16) | ('I' << 24);
constexpr GUID kOtherGuid = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

struct CaseName {
    template <class Case> std::string operator()(const testing::TestParamInfo<Case>& param) const
    {
        return param.param.name;
    }
};

// What one notification callback saw. The WMI thread writes, the test thread reads.
struct Receiver {
    std::mutex mutex;
    std::vector<std::string> threads;
    std::vector<GUID> guids;
    bool blockLiveAtCall = true;
    PVOID block = nullptr;
    bool gated = false; // wait (on the virtual scheduler) until `open` before returning
    bool open = false;

    std::size_t Calls()
    {
        std::lock_guard guard(mutex);
        return threads.size();
    }
    std::pair<std::string, GUID> Call(std::size_t i)
    {
        std::lock_guard guard(mutex);
        return {threads.at(i), guids.at(i)};
    }
    bool BlockLiveAtCall()
    {
        std::lock_guard guard(mutex);
        return blockLiveAtCall;
    }
};

VOID NTAPI RecordEvent(PVOID wnode, PVOID context)
{
    auto* receiver = static_cast<Receiver*>(context);
    auto& platform = sim::Platform::Current();
    {
        std::lock_guard guard(receiver->mutex);
        receiver->threads.push_back(sim::Scheduler::CurrentThreadName());
        receiver->guids.push_back(static_cast<PWNODE_EVENT_ITEM>(wnode)->WnodeHeader.Guid);
        receiver->blockLiveAtCall = platform.Objects().IsLive(receiver->block);
    }
    std::unique_lock lock(platform.Sched().Mutex());
    platform.Sched().WaitUntil(lock, [receiver] {
        std::lock_guard guard(receiver->mutex);
        return !receiver->gated || receiver->open;
    });
}

std::vector<UCHAR> Signature(ULONG value)
{
    return {static_cast<UCHAR>(value), static_cast<UCHAR>(value >> 8), static_cast<UCHAR>(value >> 16),
            static_cast<UCHAR>(value >> 24)};
}

class WmiTest : public testing::Test {
protected:
    void TearDown() override
    {
        platform_.Sched().Settle();
        EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();
    }

    PVOID Open(const GUID& guid, ULONG access)
    {
        PVOID block = nullptr;
        EXPECT_EQ(IoWMIOpenBlock(&guid, access, &block), STATUS_SUCCESS);
        return block;
    }

    NTSTATUS Execute(PVOID block, ULONG method, std::vector<UCHAR>& buffer, ULONG inSize, ULONG* outSize)
    {
        return IoWMIExecuteMethod(block, &name_, method, inSize, outSize, buffer.empty() ? nullptr : buffer.data());
    }

    NTSTATUS Short(PVOID block, ULONG method, ULONG signature = MethodSignature)
    {
        std::vector<UCHAR> buffer = Signature(signature);
        ULONG out = METHOD_SIGNATURE_SIZE;
        NTSTATUS status = Execute(block, method, buffer, METHOD_SIGNATURE_SIZE, &out);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(out, 0U) << "methods 1 to 3 return no output";
        }
        return status;
    }

    // An event block with RecordEvent installed for `receiver`.
    PVOID Subscribe(Receiver& receiver)
    {
        PVOID block = Open(FirmwareEventGuid, WMIGUID_NOTIFICATION);
        receiver.block = block;
        EXPECT_EQ(IoWMISetNotificationCallback(block, RecordEvent, &receiver), STATUS_SUCCESS);
        return block;
    }

    FirmwareModel& firmware() { return platform_.Firmware(); }
    sim::WmiModel& wmi() { return platform_.Wmi(); }

    // Declared before the platform so that they outlive its WMI thread.
    Receiver first_;
    Receiver second_;
    UNICODE_STRING name_{FIRMWARE_INSTANCE_NAME_LENGTH, FIRMWARE_INSTANCE_NAME_LENGTH,
                         const_cast<PWSTR>(FirmwareInstanceNameText)};
    sim::Platform platform_;
};

// ---- Opening blocks ----

TEST_F(WmiTest, OpenReturnsANewReferencedObjectPerCallWhilePresent)
{
    PVOID a = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    PVOID b = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(platform_.Objects().ReferenceCount(a), 1);
    ObfDereferenceObject(a);
    EXPECT_FALSE(platform_.Objects().IsLive(a));
    EXPECT_TRUE(platform_.Objects().IsLive(b));
    ObfDereferenceObject(b);

    PVOID none = &name_;
    EXPECT_EQ(IoWMIOpenBlock(&kOtherGuid, WMIGUID_EXECUTE, &none), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
    firmware().SetPresent(false);
    none = &name_;
    EXPECT_EQ(IoWMIOpenBlock(&FirmwareEventGuid, WMIGUID_NOTIFICATION, &none), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
}

TEST_F(WmiTest, BlocksAppearAtTheirVirtualTime)
{
    firmware().AppearAt(5 * sim::kTicksPerSecond);
    PVOID block = nullptr;
    EXPECT_EQ(IoWMIOpenBlock(&FirmwareMethodGuid, WMIGUID_EXECUTE, &block), STATUS_WMI_GUID_NOT_FOUND);
    platform_.Sched().AdvanceBy(5 * sim::kTicksPerSecond - 1);
    EXPECT_FALSE(firmware().Present());
    platform_.Sched().AdvanceBy(1);
    EXPECT_TRUE(firmware().Present());
    block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    ASSERT_NE(block, nullptr);

    // A provider that goes away disconnects the blocks already open.
    firmware().SetPresent(false);
    EXPECT_EQ(Short(block, METHOD_ACKNOWLEDGE), STATUS_WMI_GUID_DISCONNECTED);
    EXPECT_TRUE(firmware().Calls().empty());
    ObfDereferenceObject(block);
}

struct InjectedFault {
    const char* name;
    const char* operation;
    std::optional<NTSTATUS> status;
    NTSTATUS expected;
};

class WmiFaultTest : public WmiTest, public testing::WithParamInterface<InjectedFault> {};

TEST_P(WmiFaultTest, FailsTheFirstCallOnly)
{
    const InjectedFault& fault = GetParam();
    platform_.Faults().FailNth(fault.operation, 1, fault.status);
    PVOID block = nullptr;
    auto call = [&] {
        if (std::strcmp(fault.operation, "IoWMIOpenBlock") == 0) {
            block = &name_;
            NTSTATUS status = IoWMIOpenBlock(&FirmwareEventGuid, WMIGUID_EXECUTE | WMIGUID_NOTIFICATION, &block);
            if (!NT_SUCCESS(status)) {
                EXPECT_EQ(block, nullptr);
            }
            return status;
        }
        if (std::strcmp(fault.operation, "IoWMISetNotificationCallback") == 0) {
            return IoWMISetNotificationCallback(block, RecordEvent, &first_);
        }
        return Short(block, METHOD_ACKNOWLEDGE);
    };
    if (std::strcmp(fault.operation, "IoWMIOpenBlock") != 0) {
        block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE | WMIGUID_NOTIFICATION);
    }
    EXPECT_EQ(call(), fault.expected);
    EXPECT_EQ(call(), STATUS_SUCCESS);
    EXPECT_EQ(firmware().AckCount(), std::strcmp(fault.operation, "IoWMIExecuteMethod") == 0 ? 1U : 0U);
    ObfDereferenceObject(block);
}

INSTANTIATE_TEST_SUITE_P(
    DocumentedStatus, WmiFaultTest,
    testing::Values(InjectedFault{"Open", "IoWMIOpenBlock", std::nullopt, STATUS_WMI_GUID_NOT_FOUND},
                    InjectedFault{"Execute", "IoWMIExecuteMethod", std::nullopt, STATUS_WMI_GUID_DISCONNECTED},
                    InjectedFault{"ExecuteChosen", "IoWMIExecuteMethod", STATUS_WMI_GUID_NOT_FOUND,
                                  STATUS_WMI_GUID_NOT_FOUND},
                    InjectedFault{"SetCallback", "IoWMISetNotificationCallback", std::nullopt, STATUS_UNSUCCESSFUL}),
    CaseName());

// ---- Method dispatch: what the WMI layer turns away, with or without a verifier record ----

struct Misuse {
    const char* name;
    ULONG access;
    void (*arrange)(WmiTest& test, PVOID& block, UNICODE_STRING& name, ULONG& method, std::vector<UCHAR>& buffer,
                    ULONG*& outSize);
    NTSTATUS expected;
    const char* record; // nullptr: no verifier record expected
};

class WmiMisuseTest : public WmiTest, public testing::WithParamInterface<Misuse> {};

TEST_P(WmiMisuseTest, IsRefused)
{
    const Misuse& misuse = GetParam();
    platform_.Verifier().SetEcho(false);
    PVOID block = Open(FirmwareMethodGuid, misuse.access);
    PVOID opened = block;
    UNICODE_STRING name = name_;
    ULONG method = METHOD_ACKNOWLEDGE;
    std::vector<UCHAR> buffer = Signature(MethodSignature);
    ULONG out = METHOD_SIGNATURE_SIZE;
    ULONG* outSize = &out;
    misuse.arrange(*this, block, name, method, buffer, outSize);
    EXPECT_EQ(IoWMIExecuteMethod(block, &name, method, METHOD_SIGNATURE_SIZE, outSize,
                                 buffer.empty() ? nullptr : buffer.data()),
              misuse.expected);
    EXPECT_EQ(firmware().AckCount(), 0U);
    auto records = platform_.Verifier().Take();
    if (misuse.record == nullptr) {
        EXPECT_TRUE(records.empty()) << records.front().message;
    } else {
        ASSERT_EQ(records.size(), 1U);
        EXPECT_NE(records[0].message.find(misuse.record), std::string::npos) << records[0].message;
    }
    for (PVOID held : {opened, block}) {
        if (platform_.Objects().IsLive(held)) {
            ObfDereferenceObject(held);
        }
        if (block == opened) {
            break;
        }
    }
}

constexpr ULONG kExecute = WMIGUID_EXECUTE;

INSTANTIATE_TEST_SUITE_P(
    Rules, WmiMisuseTest,
    testing::Values(
        Misuse{"NotOpenedForExecute", WMIGUID_NOTIFICATION, [](auto&, auto&, auto&, auto&, auto&, auto&) {},
               STATUS_ACCESS_DENIED, nullptr},
        Misuse{"OtherInstance", kExecute,
               [](auto&, auto&, UNICODE_STRING& name, auto&, auto&, auto&) { name.Length -= 2; },
               STATUS_WMI_INSTANCE_NOT_FOUND, nullptr},
        Misuse{"EventBlockHasNoMethods", kExecute,
               [](WmiTest&, PVOID& block, auto&, auto&, auto&, auto&) {
                   ObfDereferenceObject(block);
                   IoWMIOpenBlock(&FirmwareEventGuid, kExecute, &block);
               },
               STATUS_WMI_ITEMID_NOT_FOUND, nullptr},
        Misuse{"UnknownMethod", kExecute, [](auto&, auto&, auto&, ULONG& method, auto&, auto&) { method = 4; },
               STATUS_WMI_ITEMID_NOT_FOUND, nullptr},
        Misuse{"WrongSignature", kExecute,
               [](auto&, auto&, auto&, auto&, std::vector<UCHAR>& buffer, auto&) { buffer[3] ^= 0xFF; },
               STATUS_INVALID_PARAMETER, nullptr},
        Misuse{"ReleasedBlock", kExecute,
               [](WmiTest&, PVOID& block, auto&, auto&, auto&, auto&) { ObfDereferenceObject(block); },
               STATUS_INVALID_HANDLE, "after its last reference"},
        Misuse{"NotABlock", kExecute, [](WmiTest&, PVOID& block, auto&, auto&, auto&, auto&) { block = &block; },
               STATUS_INVALID_HANDLE, "not a kernel object"},
        Misuse{"NullOutSize", kExecute, [](auto&, auto&, auto&, auto&, auto&, ULONG*& outSize) { outSize = nullptr; },
               STATUS_INVALID_PARAMETER, "null OutBufferSize"},
        Misuse{"NullBuffer", kExecute,
               [](auto&, auto&, auto&, auto&, std::vector<UCHAR>& buffer, auto&) { buffer.clear(); },
               STATUS_INVALID_PARAMETER, "null buffer"}),
    CaseName());

// One buffer carries input and output, so it must hold the larger of the two sizes.
TEST_F(WmiTest, PoolBufferMustHoldTheLargerOfBothSizes)
{
    platform_.Verifier().SetEcho(false);
    PVOID block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    auto* buffer = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_PAGED, METHOD_SIGNATURE_SIZE, kTag));
    std::memcpy(buffer, Signature(MethodSignature).data(), METHOD_SIGNATURE_SIZE);
    ULONG out = 8;
    EXPECT_EQ(IoWMIExecuteMethod(block, &name_, METHOD_ACKNOWLEDGE, METHOD_SIGNATURE_SIZE, &out, buffer),
              STATUS_INVALID_PARAMETER);
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_NE(records[0].message.find("smaller than the sizes passed"), std::string::npos);
    out = METHOD_SIGNATURE_SIZE;
    EXPECT_EQ(IoWMIExecuteMethod(block, &name_, METHOD_ACKNOWLEDGE, METHOD_SIGNATURE_SIZE, &out, buffer),
              STATUS_SUCCESS);
    EXPECT_EQ(firmware().AckCount(), 1U);
    ExFreePoolWithTag(buffer, kTag);
    ObfDereferenceObject(block);
}

TEST_F(WmiTest, ExecuteAboveApcLevelIsRecorded)
{
    platform_.Verifier().SetEcho(false);
    PVOID block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    {
        sim::ScopedIrql raised(DISPATCH_LEVEL);
        Short(block, METHOD_ACKNOWLEDGE);
    }
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].operation, "IoWMIExecuteMethod");
    ObfDereferenceObject(block);
}

// ---- The firmware's methods ----

TEST_F(WmiTest, RegistrationFollowsTheFirmwaresAnswers)
{
    PVOID block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    firmware().FailRegister(2, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Short(block, METHOD_REGISTER), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Short(block, METHOD_REGISTER, MethodSignature + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Short(block, METHOD_REGISTER), STATUS_DEVICE_NOT_READY);
    EXPECT_FALSE(firmware().Registered());
    EXPECT_EQ(Short(block, METHOD_REGISTER), STATUS_SUCCESS);
    EXPECT_TRUE(firmware().Registered());
    EXPECT_EQ(Short(block, METHOD_ACKNOWLEDGE), STATUS_SUCCESS);
    EXPECT_EQ(Short(block, METHOD_UNREGISTER), STATUS_SUCCESS);
    EXPECT_FALSE(firmware().Registered());
    EXPECT_EQ(firmware().RegisterCalls(), 4U);
    EXPECT_EQ(firmware().UnregisterCalls(), 1U);
    EXPECT_EQ(firmware().AckCount(), 1U);
    EXPECT_EQ(firmware().SignatureMismatches(), 1U);

    auto calls = firmware().Calls();
    ASSERT_EQ(calls.size(), 6U);
    EXPECT_EQ(calls[0].methodId, METHOD_REGISTER);
    EXPECT_EQ(calls[0].inSize, METHOD_SIGNATURE_SIZE);
    EXPECT_EQ(calls[0].outSizeOnEntry, METHOD_SIGNATURE_SIZE);
    EXPECT_EQ(calls[0].outSizeReturned, 0U);
    EXPECT_EQ(calls[1].status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(calls[5].methodId, METHOD_UNREGISTER);
    EXPECT_EQ(platform_.Trace().Find("METHOD_REGISTER").size(), 4U);
    ObfDereferenceObject(block);
}

struct SizeQueryCase {
    const char* name;
    SizeQuery query;
    std::size_t pendingSize; // 0: nothing pending
    NTSTATUS status;
    ULONG reported;
};

class SizeQueryTest : public WmiTest, public testing::WithParamInterface<SizeQueryCase> {};

TEST_P(SizeQueryTest, AnswersAsConfigured)
{
    const SizeQueryCase& c = GetParam();
    firmware().SetSizeQuery(c.query);
    if (c.pendingSize != 0) {
        firmware().QueueRequest(std::vector<std::uint8_t>(c.pendingSize, 7));
    }
    PVOID block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    std::vector<UCHAR> none;
    ULONG out = 0;
    EXPECT_EQ(Execute(block, METHOD_GET_REQUEST, none, 0, &out), c.status);
    EXPECT_EQ(out, c.reported);
    EXPECT_EQ(firmware().PendingCount(), c.pendingSize != 0 ? 1U : 0U) << "a size query consumes nothing";
    ObfDereferenceObject(block);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, SizeQueryTest,
    testing::Values(SizeQueryCase{"PendingNothing", SizeQuery::Pending(), 0, STATUS_SUCCESS, 0},
                    SizeQueryCase{"PendingHead", SizeQuery::Pending(), 30000, STATUS_SUCCESS, 30000},
                    SizeQueryCase{"Succeed", SizeQuery::Succeed(100), 30000, STATUS_SUCCESS, 100},
                    SizeQueryCase{"Fail", SizeQuery::Fail(STATUS_UNSUCCESSFUL, 30000), 0, STATUS_UNSUCCESSFUL, 30000}),
    CaseName());

TEST_F(WmiTest, FetchHandsOutPendingBuffersInOrder)
{
    PVOID block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    std::vector<UCHAR> buffer(EXCHANGE_BUFFER_MINIMUM, 0xAA);
    ULONG out = EXCHANGE_BUFFER_MINIMUM;
    EXPECT_EQ(Execute(block, METHOD_GET_REQUEST, buffer, 0, &out), STATUS_NOT_FOUND);

    auto big = FirmwareModel::BuildExchangeBuffer({1, 2, 3}, {4, 5}, {9, 9, 9, 9}, EXCHANGE_BUFFER_MINIMUM + 8);
    auto small = FirmwareModel::BuildExchangeBuffer({6}, {}, {}, 0);
    EXPECT_EQ(small, (std::vector<std::uint8_t>{1, 0, 0, 0, 6, 0, 0, 0, 0}));
    firmware().QueueRequest(big);
    firmware().QueueRequest(small);

    out = EXCHANGE_BUFFER_MINIMUM;
    EXPECT_EQ(Execute(block, METHOD_GET_REQUEST, buffer, 0, &out), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(out, big.size()) << "the required size is written back";
    EXPECT_EQ(firmware().PendingCount(), 2U);
    EXPECT_EQ(buffer[0], 0xAA) << "nothing written on failure";

    buffer.assign(big.size(), 0xAA);
    out = static_cast<ULONG>(buffer.size());
    EXPECT_EQ(Execute(block, METHOD_GET_REQUEST, buffer, 0, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, big.size());
    EXPECT_EQ(buffer, big);

    // A firmware that overstates DataLength still writes only its own bytes.
    firmware().ReportDataLength(50000);
    buffer.assign(64, 0xAA);
    out = 64;
    EXPECT_EQ(Execute(block, METHOD_GET_REQUEST, buffer, 0, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, 50000U);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), buffer.begin()));
    EXPECT_EQ(buffer[small.size()], 0xAA);
    EXPECT_EQ(firmware().PendingCount(), 0U);

    std::vector<UCHAR> input(4, 0);
    out = 0;
    EXPECT_EQ(Execute(block, METHOD_GET_REQUEST, input, 4, &out), STATUS_INVALID_PARAMETER) << "takes no input";
    ObfDereferenceObject(block);
}

TEST_F(WmiTest, HandedBackBuffersAreKeptByteForByte)
{
    PVOID block = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    auto first = FirmwareModel::BuildExchangeBuffer({1, 2}, {3, 4, 5}, {0xDE, 0xAD, 0xBE, 0xEF}, 100);
    std::vector<UCHAR> buffer = first;
    ULONG out = static_cast<ULONG>(buffer.size());
    EXPECT_EQ(Execute(block, METHOD_SET_RESPONSE, buffer, static_cast<ULONG>(buffer.size()), &out), STATUS_SUCCESS);
    EXPECT_EQ(out, 0U);
    buffer.assign(12, 0x11);
    out = 12;
    EXPECT_EQ(Execute(block, METHOD_SET_RESPONSE, buffer, 12, &out), STATUS_SUCCESS);
    auto handed = firmware().HandedBack();
    ASSERT_EQ(handed.size(), 2U);
    EXPECT_EQ(handed[0], first);
    EXPECT_EQ(handed[1], std::vector<std::uint8_t>(12, 0x11));
    ObfDereferenceObject(block);
}

// ---- Event delivery ----

TEST_F(WmiTest, EventsReachTheInstalledCallbackOnTheWmiThread)
{
    PVOID block = Subscribe(first_);
    PVOID replaced = Subscribe(second_);
    EXPECT_EQ(IoWMISetNotificationCallback(replaced, RecordEvent, &first_), STATUS_SUCCESS);
    firmware().RaiseEvent(FirmwareModel::BuildExchangeBuffer({1}, {2}));
    platform_.Sched().Settle();
    EXPECT_EQ(second_.Calls(), 0U) << "the callback was replaced";
    ASSERT_EQ(first_.Calls(), 2U) << "one delivery per event block";
    EXPECT_EQ(first_.Call(0).first, "wmi");
    EXPECT_TRUE(sim::SameGuid(first_.Call(1).second, FirmwareEventGuid));
    EXPECT_EQ(wmi().EventsDelivered(), 2U);
    EXPECT_EQ(firmware().PendingCount(), 1U);

    // Releasing a block stops its deliveries; with none left the event is lost.
    ObfDereferenceObject(replaced);
    firmware().RaiseEventWithoutBuffer();
    platform_.Sched().Settle();
    EXPECT_EQ(first_.Calls(), 3U);
    ObfDereferenceObject(block);
    firmware().RaiseEventWithoutBuffer();
    platform_.Sched().Settle();
    EXPECT_EQ(first_.Calls(), 3U);
    EXPECT_EQ(wmi().EventsLost(), 1U);
    EXPECT_EQ(firmware().EventsRaised(), 3U);
    auto events = platform_.Trace().Find("WmiEvent");
    ASSERT_EQ(events.size(), 3U);
    EXPECT_NE(events[2].detail.find("lost"), std::string::npos);
}

TEST_F(WmiTest, ReleaseBeforePickUpDropsTheQueuedDelivery)
{
    first_.gated = true;
    PVOID block = Subscribe(first_);
    firmware().RaiseEventWithoutBuffer();
    platform_.Sched().Settle(); // the first callback now waits for its gate
    firmware().RaiseEventWithoutBuffer();
    EXPECT_EQ(wmi().PendingDeliveries(), 1U);
    EXPECT_TRUE(wmi().CallbackInFlight());
    ObfDereferenceObject(block);
    {
        std::lock_guard guard(first_.mutex);
        first_.open = true;
    }
    platform_.Sched().Notify();
    platform_.Sched().Settle();
    EXPECT_EQ(first_.Calls(), 1U);
    EXPECT_EQ(wmi().EventsDelivered(), 1U);
    EXPECT_EQ(wmi().EventsLost(), 1U);
    EXPECT_FALSE(wmi().CallbackInFlight());
}

TEST_F(WmiTest, HeldDeliveryCallsBackAfterTheBlockWasReleased)
{
    PVOID block = Subscribe(first_);
    wmi().HoldDeliveries(true);
    firmware().RaiseEventWithoutBuffer();
    platform_.Sched().Settle();
    EXPECT_EQ(wmi().DeliveriesHeld(), 1U);
    EXPECT_TRUE(wmi().CallbackInFlight());
    EXPECT_EQ(first_.Calls(), 0U);

    // The release neither waits for nor cancels the delivery already picked up.
    ObfDereferenceObject(block);
    platform_.Verifier().SetEcho(false);
    wmi().ReportHeld("unload");
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_NE(records[0].message.find("still running"), std::string::npos);

    wmi().HoldDeliveries(false);
    platform_.Sched().Settle();
    ASSERT_EQ(first_.Calls(), 1U);
    EXPECT_FALSE(first_.BlockLiveAtCall());
    EXPECT_EQ(wmi().DeliveriesHeld(), 0U);
    EXPECT_EQ(wmi().EventsDelivered(), 1U);
}

TEST_F(WmiTest, InstalledCallbackIsReportedAsHeld)
{
    platform_.Verifier().SetEcho(false);
    PVOID block = Subscribe(first_);
    PVOID plain = Open(FirmwareEventGuid, WMIGUID_NOTIFICATION);
    wmi().ReportHeld("unload");
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_NE(records[0].message.find("still installed"), std::string::npos);
    EXPECT_EQ(records[0].object, static_cast<sim::KernelObject*>(block)->Describe());
    ObfDereferenceObject(plain);
    ObfDereferenceObject(block);
    wmi().ReportHeld("unload");
    EXPECT_TRUE(platform_.Verifier().Clean());
}

TEST_F(WmiTest, ShutdownDeliversWhatIsQueued)
{
    PVOID block = Subscribe(first_);
    wmi().HoldDeliveries(true);
    for (int i = 0; i < 3; ++i) {
        firmware().RaiseEventWithoutBuffer();
    }
    wmi().Shutdown();
    EXPECT_EQ(first_.Calls(), 3U);
    ObfDereferenceObject(block);
}

TEST_F(WmiTest, EventRaisedDuringRegistrationIsDelivered)
{
    PVOID methods = Open(FirmwareMethodGuid, WMIGUID_EXECUTE);
    PVOID events = Subscribe(first_);
    firmware().OnRegister([this] { firmware().RaiseEvent(FirmwareModel::BuildExchangeBuffer({1}, {1})); });
    EXPECT_EQ(Short(methods, METHOD_REGISTER), STATUS_SUCCESS);
    platform_.Sched().Settle();
    EXPECT_EQ(first_.Calls(), 1U);
    EXPECT_EQ(firmware().PendingCount(), 1U);
    ObfDereferenceObject(events);
    ObfDereferenceObject(methods);
}

} // namespace
