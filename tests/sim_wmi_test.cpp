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
#include "sim/firmware.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/platform.h"
#include "sim/strings.h"
#include "sim/wmi.h"

namespace {

using sim::FirmwareModel;
using sim::SizeQuery;
namespace fw = sim::firmware;

// The room the driver gives every fetch; the firmware knows nothing of it.
constexpr ULONG kFetchRoom = 16408;

constexpr ULONG kTag = 'T' | ('W' << 8) | ('M' << 16) | ('I' << 24);
// What IoWMIOpenBlock's documentation asks of a caller that wants notifications.
constexpr ULONG kNotify = WMIGUID_NOTIFICATION | SYNCHRONIZE;
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
    std::vector<std::vector<UCHAR>> records; // each notification's bytes, BufferSize of them
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
        const auto& header = static_cast<PWNODE_SINGLE_INSTANCE>(wnode)->WnodeHeader;
        receiver->guids.push_back(header.Guid);
        const auto* bytes = static_cast<const UCHAR*>(wnode);
        receiver->records.emplace_back(bytes, bytes + header.BufferSize);
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

    NTSTATUS Short(PVOID block, ULONG method, ULONG signature = fw::kSignature)
    {
        std::vector<UCHAR> buffer = Signature(signature);
        ULONG out = fw::kSignatureSize;
        NTSTATUS status = Execute(block, method, buffer, fw::kSignatureSize, &out);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(out, 0U) << "methods 1 to 3 return no output";
        }
        return status;
    }

    // An event block with RecordEvent installed for `receiver`.
    PVOID Subscribe(Receiver& receiver)
    {
        PVOID block = Open(fw::kEventBlockGuid, kNotify);
        receiver.block = block;
        EXPECT_EQ(IoWMISetNotificationCallback(block, RecordEvent, &receiver), STATUS_SUCCESS);
        return block;
    }

    FirmwareModel& firmware() { return platform_.Firmware(); }
    sim::WmiModel& wmi() { return platform_.Wmi(); }

    // Declared before the platform so that they outlive its WMI thread.
    Receiver first_;
    Receiver second_;
    UNICODE_STRING name_{38, 40, const_cast<PWSTR>(fw::kInstanceName)};
    sim::Platform platform_;
};

// ---- Opening blocks ----

TEST_F(WmiTest, OpenReturnsANewReferencedObjectPerCallWhilePresent)
{
    PVOID a = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    PVOID b = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
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
    EXPECT_EQ(IoWMIOpenBlock(&fw::kEventBlockGuid, kNotify, &none), STATUS_WMI_GUID_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
}

TEST_F(WmiTest, BlocksAppearAtTheirVirtualTime)
{
    firmware().AppearAt(5 * sim::kTicksPerSecond);
    PVOID block = nullptr;
    EXPECT_EQ(IoWMIOpenBlock(&fw::kMethodBlockGuid, WMIGUID_EXECUTE, &block), STATUS_WMI_GUID_NOT_FOUND);
    platform_.Sched().AdvanceBy(5 * sim::kTicksPerSecond - 1);
    EXPECT_FALSE(firmware().Present());
    platform_.Sched().AdvanceBy(1);
    EXPECT_TRUE(firmware().Present());
    block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    ASSERT_NE(block, nullptr);

    // A provider that goes away disconnects the blocks already open.
    firmware().SetPresent(false);
    EXPECT_EQ(Short(block, fw::kAcknowledge), STATUS_WMI_GUID_DISCONNECTED);
    EXPECT_TRUE(firmware().Calls().empty());
    ObfDereferenceObject(block);
}

struct InjectedFault {
    const char* name;
    const char* operation;
    std::optional<NTSTATUS> status;
    NTSTATUS expected;
    unsigned acksCounted = 0; // by the firmware, over both acknowledgements
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
            NTSTATUS status = IoWMIOpenBlock(&fw::kEventBlockGuid, WMIGUID_EXECUTE | kNotify, &block);
            if (!NT_SUCCESS(status)) {
                EXPECT_EQ(block, nullptr);
            }
            return status;
        }
        if (std::strcmp(fault.operation, "IoWMISetNotificationCallback") == 0) {
            return IoWMISetNotificationCallback(block, RecordEvent, &first_);
        }
        return Short(block, fw::kAcknowledge);
    };
    if (std::strcmp(fault.operation, "IoWMIOpenBlock") != 0) {
        block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE | kNotify);
    }
    EXPECT_EQ(call(), fault.expected);
    EXPECT_EQ(call(), STATUS_SUCCESS);
    EXPECT_EQ(firmware().AckCount(), fault.acksCounted);
    ObfDereferenceObject(block);
}

INSTANTIATE_TEST_SUITE_P(
    DocumentedStatus, WmiFaultTest,
    testing::Values(InjectedFault{"Open", "IoWMIOpenBlock", std::nullopt, STATUS_WMI_GUID_NOT_FOUND},
                    InjectedFault{"Execute", "IoWMIExecuteMethod", std::nullopt, STATUS_WMI_GUID_DISCONNECTED, 1},
                    InjectedFault{"ExecuteChosen", "IoWMIExecuteMethod", STATUS_WMI_GUID_NOT_FOUND,
                                  STATUS_WMI_GUID_NOT_FOUND, 1},
                    InjectedFault{"SetCallback", "IoWMISetNotificationCallback", std::nullopt, STATUS_UNSUCCESSFUL},
                    // The method ran (the firmware counts the acknowledgement) before its answer
                    // turned out longer than the room given.
                    InjectedFault{"AnswerTooLong", "FirmwareMethodOutput", std::nullopt, STATUS_BUFFER_TOO_SMALL, 2}),
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
    PVOID block = Open(fw::kMethodBlockGuid, misuse.access);
    PVOID opened = block;
    UNICODE_STRING name = name_;
    ULONG method = fw::kAcknowledge;
    std::vector<UCHAR> buffer = Signature(fw::kSignature);
    ULONG out = fw::kSignatureSize;
    ULONG* outSize = &out;
    misuse.arrange(*this, block, name, method, buffer, outSize);
    EXPECT_EQ(
        IoWMIExecuteMethod(block, &name, method, fw::kSignatureSize, outSize, buffer.empty() ? nullptr : buffer.data()),
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
        Misuse{"NotOpenedForExecute", kNotify, [](auto&, auto&, auto&, auto&, auto&, auto&) {}, STATUS_ACCESS_DENIED,
               nullptr},
        Misuse{"OpenedForNotificationWithoutSynchronize", WMIGUID_NOTIFICATION,
               [](auto&, auto&, auto&, auto&, auto&, auto&) {}, STATUS_ACCESS_DENIED, "without SYNCHRONIZE"},
        Misuse{"OpenedForQueryOnly", WMIGUID_QUERY, [](auto&, auto&, auto&, auto&, auto&, auto&) {},
               STATUS_ACCESS_DENIED, nullptr},
        Misuse{"OtherInstance", kExecute,
               [](auto&, auto&, UNICODE_STRING& name, auto&, auto&, auto&) { name.Length -= 2; },
               STATUS_WMI_INSTANCE_NOT_FOUND, nullptr},
        Misuse{"OneCharacterOfTheInstanceDiffers", kExecute,
               [](auto&, auto&, UNICODE_STRING& name, auto&, auto&, auto&) {
                   static std::u16string other(fw::kInstanceName);
                   other[13] = u'Q'; // ACPI\PNP0C14\QSMI_0
                   name.Buffer = other.data();
               },
               STATUS_WMI_INSTANCE_NOT_FOUND, nullptr},
        Misuse{"MethodOfAnotherNumbering", kExecute,
               [](auto&, auto&, auto&, ULONG& method, auto&, auto&) { method = 0; }, STATUS_WMI_ITEMID_NOT_FOUND,
               nullptr},
        Misuse{"EventBlockHasNoMethods", kExecute,
               [](WmiTest&, PVOID& block, auto&, auto&, auto&, auto&) {
                   ObfDereferenceObject(block);
                   IoWMIOpenBlock(&fw::kEventBlockGuid, kExecute, &block);
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
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    auto* buffer = static_cast<UCHAR*>(ExAllocatePool2(POOL_FLAG_PAGED, fw::kSignatureSize, kTag));
    std::memcpy(buffer, Signature(fw::kSignature).data(), fw::kSignatureSize);
    ULONG out = 8;
    EXPECT_EQ(IoWMIExecuteMethod(block, &name_, fw::kAcknowledge, fw::kSignatureSize, &out, buffer),
              STATUS_INVALID_PARAMETER);
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_NE(records[0].message.find("smaller than the sizes passed"), std::string::npos);
    out = fw::kSignatureSize;
    EXPECT_EQ(IoWMIExecuteMethod(block, &name_, fw::kAcknowledge, fw::kSignatureSize, &out, buffer), STATUS_SUCCESS);
    EXPECT_EQ(firmware().AckCount(), 1U);
    ExFreePoolWithTag(buffer, kTag);
    ObfDereferenceObject(block);
}

TEST_F(WmiTest, ExecuteAboveApcLevelIsRecorded)
{
    platform_.Verifier().SetEcho(false);
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    {
        sim::ScopedIrql raised(DISPATCH_LEVEL);
        Short(block, fw::kAcknowledge);
    }
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].operation, "IoWMIExecuteMethod");
    ObfDereferenceObject(block);
}

// ---- The firmware's methods ----

TEST_F(WmiTest, RegistrationFollowsTheFirmwaresAnswers)
{
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    firmware().FailRegister(2, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Short(block, fw::kRegister), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Short(block, fw::kRegister, fw::kSignature + 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Short(block, fw::kRegister), STATUS_DEVICE_NOT_READY);
    EXPECT_FALSE(firmware().Registered());
    EXPECT_EQ(Short(block, fw::kRegister), STATUS_SUCCESS);
    EXPECT_TRUE(firmware().Registered());
    EXPECT_EQ(Short(block, fw::kAcknowledge), STATUS_SUCCESS);
    EXPECT_EQ(Short(block, fw::kUnregister), STATUS_SUCCESS);
    EXPECT_FALSE(firmware().Registered());
    EXPECT_EQ(firmware().RegisterCalls(), 4U);
    EXPECT_EQ(firmware().UnregisterCalls(), 1U);
    EXPECT_EQ(firmware().AckCount(), 1U);
    EXPECT_EQ(firmware().SignatureMismatches(), 1U);

    auto calls = firmware().Calls();
    ASSERT_EQ(calls.size(), 6U);
    EXPECT_EQ(calls[0].methodId, fw::kRegister);
    EXPECT_EQ(calls[0].inSize, fw::kSignatureSize);
    EXPECT_EQ(calls[0].outSizeOnEntry, fw::kSignatureSize);
    EXPECT_EQ(calls[0].outSizeReturned, 0U);
    EXPECT_EQ(calls[1].status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(calls[5].methodId, fw::kUnregister);
    EXPECT_EQ(platform_.Trace().Find("METHOD_REGISTER").size(), 4U);

    // A register whose answer outgrows the 4 bytes offered has registered all the same; the
    // caller learns only the size the answer needs. Offered that room, it gets the answer.
    const std::uint64_t next = platform_.Faults().Count("FirmwareMethodOutput") + 1;
    platform_.Faults().FailNth("FirmwareMethodOutput", next);
    platform_.Faults().FailNth("FirmwareMethodOutput", next + 1);
    EXPECT_EQ(Short(block, fw::kRegister), STATUS_BUFFER_TOO_SMALL);
    EXPECT_TRUE(firmware().Registered());
    EXPECT_EQ(firmware().Calls().back().outSizeReturned, fw::kLongAnswerSize);
    std::vector<UCHAR> roomy = Signature(fw::kSignature);
    roomy.resize(fw::kLongAnswerSize);
    ULONG out = fw::kLongAnswerSize;
    EXPECT_EQ(Execute(block, fw::kUnregister, roomy, fw::kSignatureSize, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, fw::kLongAnswerSize);
    EXPECT_EQ(roomy, (std::vector<UCHAR>{fw::kUnregister, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(firmware().Registered());
    EXPECT_EQ(firmware().AnswersTooLong(), 1U);
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
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    std::vector<UCHAR> none;
    ULONG out = 0;
    EXPECT_EQ(Execute(block, fw::kGetRequest, none, 0, &out), c.status);
    EXPECT_EQ(out, c.reported);
    EXPECT_EQ(firmware().PendingCount(), c.pendingSize != 0 ? 1U : 0U) << "a size query consumes nothing";
    ObfDereferenceObject(block);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, SizeQueryTest,
    testing::Values(SizeQueryCase{"PendingNothing", SizeQuery::Pending(), 0, STATUS_SUCCESS, 0},
                    SizeQueryCase{"PendingHead", SizeQuery::Pending(), 30000, STATUS_BUFFER_TOO_SMALL, 30000},
                    SizeQueryCase{"PendingOneByte", SizeQuery::Pending(), 1, STATUS_BUFFER_TOO_SMALL, 1},
                    SizeQueryCase{"Succeed", SizeQuery::Succeed(100), 30000, STATUS_SUCCESS, 100},
                    SizeQueryCase{"Fail", SizeQuery::Fail(STATUS_UNSUCCESSFUL, 30000), 0, STATUS_UNSUCCESSFUL, 30000}),
    CaseName());

// A firmware whose METHOD_GET_REQUEST lets the request go as soon as it runs: a call without
// room for the output loses it, and the next call sees the one behind it.
TEST_F(WmiTest, ConsumingGetRequestLosesWhatACallWithoutRoomAskedFor)
{
    firmware().SetGetRequestConsumes(true);
    const auto first = FirmwareModel::BuildExchangeBuffer({1}, {2});
    const auto second = FirmwareModel::BuildExchangeBuffer({3, 4}, {5});
    firmware().QueueRequest(first);
    firmware().QueueRequest(second);
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);

    std::vector<UCHAR> none;
    ULONG out = 0;
    EXPECT_EQ(Execute(block, fw::kGetRequest, none, 0, &out), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(out, first.size());
    EXPECT_EQ(firmware().PendingCount(), 1U);
    EXPECT_EQ(firmware().RequestsLost(), 1U);

    std::vector<UCHAR> buffer(kFetchRoom, 0);
    out = kFetchRoom;
    EXPECT_EQ(Execute(block, fw::kGetRequest, buffer, 0, &out), STATUS_SUCCESS);
    ASSERT_EQ(out, second.size());
    EXPECT_TRUE(std::equal(second.begin(), second.end(), buffer.begin()));
    EXPECT_EQ(firmware().PendingCount(), 0U);
    EXPECT_EQ(firmware().RequestsLost(), 1U);
    ObfDereferenceObject(block);
}

TEST_F(WmiTest, FetchHandsOutPendingBuffersInOrder)
{
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    std::vector<UCHAR> buffer(kFetchRoom, 0xAA);
    ULONG out = kFetchRoom;
    EXPECT_EQ(Execute(block, fw::kGetRequest, buffer, 0, &out), STATUS_NOT_FOUND);

    auto big = FirmwareModel::BuildExchangeBuffer({1, 2, 3}, {4, 5}, {9, 9, 9, 9}, kFetchRoom + 8);
    auto small = FirmwareModel::BuildExchangeBuffer({6}, {}, {}, 0);
    EXPECT_EQ(small, (std::vector<std::uint8_t>{1, 0, 0, 0, 6, 0, 0, 0, 0}));
    firmware().QueueRequest(big);
    firmware().QueueRequest(small);

    out = kFetchRoom;
    EXPECT_EQ(Execute(block, fw::kGetRequest, buffer, 0, &out), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(out, big.size()) << "the required size is written back";
    EXPECT_EQ(firmware().PendingCount(), 2U);
    EXPECT_EQ(buffer[0], 0xAA) << "nothing written on failure";

    buffer.assign(big.size(), 0xAA);
    out = static_cast<ULONG>(buffer.size());
    EXPECT_EQ(Execute(block, fw::kGetRequest, buffer, 0, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, big.size());
    EXPECT_EQ(buffer, big);

    // A firmware that overstates DataLength still writes only its own bytes.
    firmware().ReportDataLength(50000);
    buffer.assign(64, 0xAA);
    out = 64;
    EXPECT_EQ(Execute(block, fw::kGetRequest, buffer, 0, &out), STATUS_SUCCESS);
    EXPECT_EQ(out, 50000U);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), buffer.begin()));
    EXPECT_EQ(buffer[small.size()], 0xAA);
    EXPECT_EQ(firmware().PendingCount(), 0U);

    std::vector<UCHAR> input(4, 0);
    out = 0;
    EXPECT_EQ(Execute(block, fw::kGetRequest, input, 4, &out), STATUS_INVALID_PARAMETER) << "takes no input";
    ObfDereferenceObject(block);
}

TEST_F(WmiTest, HandedBackBuffersAreKeptByteForByte)
{
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    auto first = FirmwareModel::BuildExchangeBuffer({1, 2}, {3, 4, 5}, {0xDE, 0xAD, 0xBE, 0xEF}, 100);
    std::vector<UCHAR> buffer = first;
    ULONG out = static_cast<ULONG>(buffer.size());
    EXPECT_EQ(Execute(block, fw::kSetResponse, buffer, static_cast<ULONG>(buffer.size()), &out), STATUS_SUCCESS);
    EXPECT_EQ(out, 0U);
    buffer.assign(12, 0x11);
    out = 12;
    EXPECT_EQ(Execute(block, fw::kSetResponse, buffer, 12, &out), STATUS_SUCCESS);
    auto handed = firmware().HandedBack();
    ASSERT_EQ(handed.size(), 2U);
    EXPECT_EQ(handed[0], first);
    EXPECT_EQ(handed[1], std::vector<std::uint8_t>(12, 0x11));
    ObfDereferenceObject(block);
}

TEST_F(WmiTest, HandBacksIntoReusedMemoryShowOnlyTheirOwnBytes)
{
    // The firmware copies a hand-back into memory it already has: the buffer it delivered, or
    // one given back with Recycle. A shorter hand-back must not carry the longer one's tail.
    PVOID block = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    firmware().QueueRequest(std::vector<std::uint8_t>(kFetchRoom, 0x5A));
    std::vector<UCHAR> buffer(kFetchRoom, 0);
    ULONG out = kFetchRoom;
    ASSERT_EQ(Execute(block, fw::kGetRequest, buffer, 0, &out), STATUS_SUCCESS);

    std::vector<std::vector<std::uint8_t>> handed;
    for (std::size_t length : {std::size_t{40}, std::size_t{0}, std::size_t{kFetchRoom}, std::size_t{3}}) {
        buffer.assign(std::max<std::size_t>(length, 1), static_cast<UCHAR>(length));
        out = 0;
        ASSERT_EQ(Execute(block, fw::kSetResponse, buffer, static_cast<ULONG>(length), &out), STATUS_SUCCESS);
        firmware().TakeHandedBack(handed);
        ASSERT_EQ(handed.size(), 1U);
        EXPECT_EQ(handed[0], std::vector<std::uint8_t>(length, static_cast<std::uint8_t>(length))) << length;
        firmware().Recycle(handed);
        EXPECT_TRUE(handed.empty());
    }
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
    EXPECT_TRUE(sim::SameGuid(first_.Call(1).second, fw::kEventBlockGuid));
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

TEST_F(WmiTest, EventsArriveAsSingleInstanceRecordsWithTheirDataAndTheSystemTime)
{
    const std::vector<UCHAR> data = {0xA1, 0xB2, 0xC3};
    firmware().SetEventData(data);
    platform_.Sched().AdvanceBy(3 * sim::kTicksPerSecond);
    PVOID block = Subscribe(first_);
    firmware().RaiseEventWithoutBuffer();
    platform_.Sched().AdvanceBy(sim::kTicksPerSecond); // delivered later; stamped when raised
    platform_.Sched().Settle();
    ASSERT_EQ(first_.Calls(), 1U);
    const std::vector<UCHAR>& record = first_.records.at(0);
    WNODE_SINGLE_INSTANCE wnode;
    ASSERT_GE(record.size(), sizeof wnode);
    std::memcpy(&wnode, record.data(), sizeof wnode);
    EXPECT_EQ(wnode.WnodeHeader.Flags, ULONG{WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_EVENT_ITEM});
    EXPECT_TRUE(sim::SameGuid(wnode.WnodeHeader.Guid, fw::kEventBlockGuid));
    EXPECT_EQ(wnode.WnodeHeader.u2.TimeStamp.QuadPart,
              static_cast<LONGLONG>(sim::KernelModel::kSystemTimeAtBoot + 3 * sim::kTicksPerSecond));
    EXPECT_EQ(wnode.DataBlockOffset % 8, 0U);
    EXPECT_EQ(wnode.SizeDataBlock, data.size());
    EXPECT_EQ(wnode.WnodeHeader.BufferSize, wnode.DataBlockOffset + data.size());
    EXPECT_EQ(std::vector<UCHAR>(record.begin() + wnode.DataBlockOffset, record.end()), data);
    USHORT nameLength = 0;
    ASSERT_LE(wnode.OffsetInstanceName + sizeof nameLength, wnode.DataBlockOffset);
    std::memcpy(&nameLength, record.data() + wnode.OffsetInstanceName, sizeof nameLength);
    ASSERT_LE(wnode.OffsetInstanceName + sizeof nameLength + nameLength, wnode.DataBlockOffset);
    std::u16string name(nameLength / sizeof(char16_t), u'\0');
    std::memcpy(name.data(), record.data() + wnode.OffsetInstanceName + sizeof nameLength, nameLength);
    EXPECT_EQ(name, fw::kInstanceName);
    ObfDereferenceObject(block);
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
    PVOID plain = Open(fw::kEventBlockGuid, kNotify);
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
    PVOID methods = Open(fw::kMethodBlockGuid, WMIGUID_EXECUTE);
    PVOID events = Subscribe(first_);
    firmware().OnRegister([this] { firmware().RaiseEvent(FirmwareModel::BuildExchangeBuffer({1}, {1})); });
    EXPECT_EQ(Short(methods, fw::kRegister), STATUS_SUCCESS);
    platform_.Sched().Settle();
    EXPECT_EQ(first_.Calls(), 1U);
    EXPECT_EQ(firmware().PendingCount(), 1U);
    ObfDereferenceObject(events);
    ObfDereferenceObject(methods);
}

// The firmware's side of the interface is the documented one, whatever the driver defines.
TEST(FirmwareInterface, IsTheDocumentedOne)
{
    EXPECT_EQ(sim::GuidText(fw::kMethodBlockGuid), "{71FA4E39-6913-49D2-86F3-5EEFC37852FE}");
    EXPECT_EQ(sim::GuidText(fw::kEventBlockGuid), "{91B2631C-A148-451B-8D3A-314FDDFE9D14}");
    EXPECT_EQ(sim::Narrow(std::u16string(fw::kInstanceName)), "ACPI\\PNP0C14\\PSMI_0");
    EXPECT_EQ(std::u16string(fw::kInstanceName).size(), 19U);
    const ULONG ids[] = {fw::kRegister, fw::kUnregister, fw::kAcknowledge, fw::kSetResponse, fw::kGetRequest};
    EXPECT_EQ(std::vector<ULONG>(std::begin(ids), std::end(ids)), (std::vector<ULONG>{1, 2, 3, 5, 6}));
    EXPECT_EQ(fw::kSignatureSize, 4U);
    // The exchange buffer's layout: a 4-byte length, the request, a 4-byte length, the response,
    // a 4-byte trailer, all little-endian.
    EXPECT_EQ(FirmwareModel::BuildExchangeBuffer({0xAA}, {0xBB, 0xCC}, {1, 2, 3, 4}),
              (std::vector<std::uint8_t>{1, 0, 0, 0, 0xAA, 2, 0, 0, 0, 0xBB, 0xCC, 1, 2, 3, 4}));
}

} // namespace
