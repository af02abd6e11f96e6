// The TA service model: what it reads, what it writes (and what it leaves alone), and how a
// held request ends.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/pool.h"
#include "sim/platform.h"
#include "sim/pnp.h"
#include "sim/strings.h"
#include "sim/ta_service.h"

namespace {

using sim::TaBehaviour;
using sim::TaServiceModel;

constexpr ULONG kTag = 'T' | ('S' << 8) | ('T' << 16) | ('A' << 24);
constexpr std::uint8_t kUntouched = 0x5C;

// Device type 0x56, function 1, buffered, write access.
constexpr ULONG kSendCode = 0x00568004;

// The input record as a sender lays it out: six 64-bit words, each written little-endian at
// its offset (0, 8, 16, 24, 32, 40).
struct SendRecord {
    ULONG64 Reserved0 = 0;
    ULONG64 Reserved1 = 0;
    ULONG64 RequestAddress = 0;
    ULONG64 RequestLength = 0;
    ULONG64 ResponseAddress = 0;
    ULONG64 ResponseLength = 0;

    std::array<std::uint8_t, 48> Bytes() const
    {
        std::array<std::uint8_t, 48> bytes{};
        const ULONG64 words[] = {Reserved0, Reserved1, RequestAddress, RequestLength, ResponseAddress, ResponseLength};
        for (std::size_t w = 0; w < 6; ++w) {
            for (std::size_t i = 0; i < 8; ++i) {
                bytes[w * 8 + i] = static_cast<std::uint8_t>(words[w] >> (8 * i));
            }
        }
        return bytes;
    }
};
using OutputRecord = std::array<std::uint8_t, 16>;

// Names a parameterised case after its `name` field.
struct CaseName {
    template <class Case> std::string operator()(const testing::TestParamInfo<Case>& param) const
    {
        return param.param.name;
    }
};

// The driver's side of one send: a request copy and a response area in pool, the input record
// pointing at them, and the output record.
class TaServiceTest : public testing::Test {
protected:
    void SetUp() override { ta().Arrive(); }

    void TearDown() override
    {
        FreeAreas();
        EXPECT_EQ(platform_.Pool().LiveCount(), 0U);
        EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();
    }

    TaServiceModel& ta() { return platform_.TaService(); }

    // Request bytes 1, 2, 3...; the response area pre-filled with kUntouched so that every
    // byte the service writes is visible.
    void MakeAreas(ULONG requestLength, ULONG responseLength)
    {
        FreeAreas();
        request_ = static_cast<std::uint8_t*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, requestLength, kTag));
        response_ = static_cast<std::uint8_t*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, responseLength, kTag));
        ASSERT_NE(request_, nullptr);
        ASSERT_NE(response_, nullptr);
        for (ULONG i = 0; i < requestLength; ++i) {
            request_[i] = static_cast<std::uint8_t>(i + 1);
        }
        std::memset(response_, kUntouched, responseLength);
        input_ = SendRecord{0,
                            0,
                            reinterpret_cast<ULONG64>(request_),
                            requestLength,
                            reinterpret_cast<ULONG64>(response_),
                            responseLength};
        responseSize_ = responseLength;
    }

    void FreeAreas()
    {
        if (request_ != nullptr) {
            ExFreePoolWithTag(request_, kTag);
            request_ = nullptr;
        }
        if (response_ != nullptr) {
            ExFreePoolWithTag(response_, kTag);
            response_ = nullptr;
        }
    }

    // What one send hands back. Each sender has its own, as each real send has its own IRP.
    struct Sent {
        NTSTATUS status = STATUS_PENDING;
        OutputRecord output{};
        ULONG_PTR information = 0xDEAD;

        bool OutputUntouched() const { return output == OutputRecord{}; }
    };

    NTSTATUS SendInto(Sent& sent, const SendRecord& input, const std::function<bool()>& cancelled)
    {
        sent = Sent{};
        const auto bytes = input.Bytes();
        sent.status = ta().HandleIoctl(TaServiceModel::kDefaultLink, kSendCode, bytes.data(), 48, sent.output.data(),
                                       16, &sent.information, cancelled);
        return sent.status;
    }

    NTSTATUS Send() { return SendInto(sent_, input_, {}); }

    // How many leading response bytes differ from kUntouched, after checking the rest are intact.
    std::size_t ResponseWrittenPrefix() const
    {
        std::size_t prefix = 0;
        while (prefix < responseSize_ && response_[prefix] != kUntouched) {
            ++prefix;
        }
        for (std::size_t i = prefix; i < responseSize_; ++i) {
            EXPECT_EQ(response_[i], kUntouched) << "response byte " << i << " written after a gap";
        }
        return prefix;
    }

    // Runs a send of the current input record on a registered thread of its own.
    std::thread SendOnThread(Sent* sent, const std::function<bool()>& cancelled = {})
    {
        auto* token = platform_.Sched().ReserveThread("sender");
        return std::thread([this, token, sent, cancelled, input = input_] {
            platform_.Sched().AdoptReservation(token);
            SendInto(*sent, input, cancelled);
            platform_.Sched().UnregisterCurrentThread();
        });
    }

    void WaitBlocked(std::size_t count)
    {
        ASSERT_TRUE(platform_.Sched().RunUntil([&] { return ta().Blocked() == count; }, 10 * sim::kTicksPerSecond));
    }

    // A send of a 4-byte request and an 8-byte response area on a thread of its own, to a
    // service with `behaviour` that holds it; cancelled by the sender once the service holds it.
    std::thread SendHeldThenCancelled(TaBehaviour behaviour, Sent* sent, std::atomic<bool>* cancel)
    {
        ta().SetBehaviour(std::move(behaviour));
        MakeAreas(4, 8);
        std::thread sender = SendOnThread(sent, [cancel] { return cancel->load(); });
        WaitBlocked(1);
        *cancel = true;
        platform_.Sched().Notify();
        return sender;
    }

    sim::Platform platform_;
    std::uint8_t* request_ = nullptr;
    std::uint8_t* response_ = nullptr;
    std::size_t responseSize_ = 0;
    SendRecord input_{};
    Sent sent_;
};

struct AnswerCase {
    const char* name;
    TaBehaviour behaviour;
    ULONG requestLength;
    ULONG responseLength;
    std::vector<std::uint8_t> expected; // the response prefix written; the rest stays untouched
};

class TaAnswerTest : public TaServiceTest, public testing::WithParamInterface<AnswerCase> {};

std::vector<std::uint8_t> Pattern(std::size_t n)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < n; ++i) {
        bytes.push_back(TaServiceModel::ResponsePattern(i));
    }
    return bytes;
}

TEST_P(TaAnswerTest, WritesOnlyItsShareOfTheResponse)
{
    const AnswerCase& c = GetParam();
    ta().SetBehaviour(c.behaviour);
    MakeAreas(c.requestLength, c.responseLength);
    ASSERT_EQ(Send(), STATUS_SUCCESS);

    ASSERT_EQ(ResponseWrittenPrefix(), c.expected.size());
    EXPECT_EQ(std::vector<std::uint8_t>(response_, response_ + c.expected.size()), c.expected);
    for (std::size_t i = 0; i < c.requestLength; ++i) {
        ASSERT_EQ(request_[i], i + 1) << "request byte " << i << " changed";
    }
    EXPECT_EQ(sent_.information, 16U);
    for (std::size_t i = 0; i < sent_.output.size(); ++i) {
        EXPECT_EQ(sent_.output[i], TaServiceModel::OutputPattern(i));
    }
    auto requests = ta().Requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].responseWritten, c.expected.size());
    EXPECT_EQ(requests[0].status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Behaviours, TaAnswerTest,
    testing::Values(AnswerCase{"EchoShorterRequest", TaBehaviour::Echo(), 3, 8, {1, 2, 3}},
                    AnswerCase{"EchoTruncatedToResponse", TaBehaviour::Echo(), 10, 4, {1, 2, 3, 4}},
                    AnswerCase{"FixedShorter", TaBehaviour::Fixed({9, 8, 7}), 4, 8, {9, 8, 7}},
                    AnswerCase{"FixedTruncated", TaBehaviour::Fixed({9, 8, 7, 6, 5}), 4, 2, {9, 8}},
                    AnswerCase{"WriteFirst", TaBehaviour::WriteFirst(5), 4, 16, Pattern(5)},
                    AnswerCase{"WriteFirstClamped", TaBehaviour::WriteFirst(40), 4, 16, Pattern(16)},
                    AnswerCase{"WriteFirstNone", TaBehaviour::WriteFirst(0), 4, 16, {}}),
    CaseName());

TEST_F(TaServiceTest, EchoIntoAnAreaOverlappingTheRequestCopiesTheRequestAsSent)
{
    MakeAreas(8, 8);
    input_.ResponseAddress = input_.RequestAddress + 2; // a faulty driver's record
    input_.ResponseLength = 6;
    ASSERT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<std::uint8_t>(request_, request_ + 8), (std::vector<std::uint8_t>{1, 2, 1, 2, 3, 4, 5, 6}));
}

TEST_F(TaServiceTest, FailWritesNothing)
{
    ta().SetBehaviour(TaBehaviour::Fail(STATUS_DEVICE_NOT_READY));
    MakeAreas(8, 8);
    EXPECT_EQ(Send(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(ResponseWrittenPrefix(), 0U);
    EXPECT_TRUE(sent_.OutputUntouched());
    EXPECT_EQ(sent_.information, 0U);
}

TEST_F(TaServiceTest, RecordsTheInputRecordAndTheRequest)
{
    MakeAreas(6, 32);
    input_.Reserved0 = 0x1111;
    input_.Reserved1 = 0x2222;
    ASSERT_EQ(Send(), STATUS_SUCCESS);

    auto requests = ta().Requests();
    ASSERT_EQ(requests.size(), 1U);
    const sim::TaRequest& r = requests[0];
    EXPECT_EQ(r.link, TaServiceModel::kDefaultLink);
    EXPECT_EQ(r.ioctlCode, kSendCode);
    ASSERT_EQ(r.input.size(), 48U);
    const auto bytes = input_.Bytes();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), r.input.begin()));
    EXPECT_EQ(r.reserved0, 0x1111U);
    EXPECT_EQ(r.reserved1, 0x2222U);
    EXPECT_EQ(r.requestAddress, reinterpret_cast<ULONG64>(request_));
    EXPECT_EQ(r.requestLength, 6U);
    EXPECT_EQ(r.responseAddress, reinterpret_cast<ULONG64>(response_));
    EXPECT_EQ(r.request, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(r.responseLength, 32U);
    ASSERT_TRUE(r.behaviour.has_value());
    EXPECT_EQ(r.behaviour->kind, TaBehaviour::Kind::Echo);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
}

// A run that never reads the request's bytes can have the log skip copying them: the answer
// still reads the whole request, and the record keeps where it was and how long.
TEST_F(TaServiceTest, RequestBytesNotKeptStillAnswerWholeAndRecordTheAreas)
{
    MakeAreas(6, 32);
    ta().SetRequestBytesKept(false);
    ASSERT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(sent_.information, 16U);
    ASSERT_EQ(ResponseWrittenPrefix(), 6U);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(response_[i], i + 1) << "response byte " << i;
    }
    ta().SetRequestBytesKept(true);
    ASSERT_EQ(Send(), STATUS_SUCCESS);

    auto requests = ta().Requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].requestAddress, reinterpret_cast<ULONG64>(request_));
    EXPECT_EQ(requests[0].requestLength, 6U);
    EXPECT_EQ(requests[0].responseWritten, 6U);
    EXPECT_TRUE(requests[0].request.empty());
    EXPECT_EQ(requests[1].request, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST_F(TaServiceTest, QueuedBehavioursComeFirstThenTheDefault)
{
    ta().SetBehaviour(TaBehaviour::Fail(STATUS_UNSUCCESSFUL));
    ta().QueueBehaviour(TaBehaviour::WriteFirst(2));
    ta().QueueBehaviour(TaBehaviour::Echo());
    MakeAreas(4, 4);
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(Send(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Send(), STATUS_UNSUCCESSFUL);

    std::vector<TaBehaviour::Kind> used;
    for (const auto& r : ta().Requests()) {
        used.push_back(r.behaviour->kind);
    }
    EXPECT_EQ(used, (std::vector<TaBehaviour::Kind>{TaBehaviour::Kind::WriteFirst, TaBehaviour::Kind::Echo,
                                                    TaBehaviour::Kind::Fail, TaBehaviour::Kind::Fail}));
}

struct RefusalCase {
    const char* name;
    ULONG ioctl;
    ULONG inputLength;
    ULONG outputLength;
    bool absent;
    NTSTATUS expected;
};

class TaRefusalTest : public TaServiceTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(TaRefusalTest, TouchesNothingAndKeepsTheQueuedAnswer)
{
    const RefusalCase& c = GetParam();
    if (c.absent) {
        ta().Depart();
    }
    ta().QueueBehaviour(TaBehaviour::WriteFirst(4));
    MakeAreas(4, 8);
    const auto bytes = input_.Bytes();
    EXPECT_EQ(ta().HandleIoctl(TaServiceModel::kDefaultLink, c.ioctl, bytes.data(), c.inputLength, sent_.output.data(),
                               c.outputLength, &sent_.information, {}),
              c.expected);
    EXPECT_EQ(ResponseWrittenPrefix(), 0U);
    EXPECT_TRUE(sent_.OutputUntouched());
    EXPECT_EQ(sent_.information, 0U);
    auto requests = ta().Requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].status, c.expected);
    EXPECT_FALSE(requests[0].behaviour.has_value());

    // The refused call did not use up the answer queued for the real one.
    if (!c.absent) {
        ASSERT_EQ(Send(), STATUS_SUCCESS);
        EXPECT_EQ(ResponseWrittenPrefix(), 4U);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, TaRefusalTest,
    testing::Values(RefusalCase{"OtherFunction", 0x00568008, 48, 16, false, STATUS_INVALID_DEVICE_REQUEST},
                    RefusalCase{"ReadAccess", 0x00564004, 48, 16, false, STATUS_INVALID_DEVICE_REQUEST},
                    RefusalCase{"AnyAccess", 0x00560004, 48, 16, false, STATUS_INVALID_DEVICE_REQUEST},
                    RefusalCase{"OtherDeviceType", 0x00578004, 48, 16, false, STATUS_INVALID_DEVICE_REQUEST},
                    RefusalCase{"DirectTransfer", 0x00568005, 48, 16, false, STATUS_INVALID_DEVICE_REQUEST},
                    RefusalCase{"ShortInput", kSendCode, 47, 16, false, STATUS_BUFFER_TOO_SMALL},
                    RefusalCase{"ShortOutput", kSendCode, 48, 15, false, STATUS_BUFFER_TOO_SMALL},
                    RefusalCase{"ServiceAbsent", kSendCode, 48, 16, true, STATUS_NO_SUCH_DEVICE}),
    CaseName());

struct BadAreaCase {
    const char* name;
    void (*corrupt)(SendRecord& input);
};

class TaBadAreaTest : public TaServiceTest, public testing::WithParamInterface<BadAreaCase> {};

TEST_P(TaBadAreaTest, IsFlaggedAndRefused)
{
    platform_.Verifier().SetEcho(false);
    MakeAreas(8, 8);
    GetParam().corrupt(input_);
    EXPECT_EQ(Send(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ResponseWrittenPrefix(), 0U);
    EXPECT_TRUE(sent_.OutputUntouched());
    auto records = platform_.Verifier().Records();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_NE(records[0].message.find("TA service given an address range outside any allocation"), std::string::npos);
    platform_.Verifier().Clear();
}

INSTANTIATE_TEST_SUITE_P(
    Areas, TaBadAreaTest,
    testing::Values(BadAreaCase{"RequestPastItsAllocation", [](SendRecord& in) { in.RequestLength = 9; }},
                    BadAreaCase{"ResponsePastItsAllocation", [](SendRecord& in) { in.ResponseLength = 9; }},
                    BadAreaCase{"ResponseStartsInsideEndsOutside",
                                [](SendRecord& in) {
                                    in.ResponseAddress += 4;
                                    in.ResponseLength = 5;
                                }},
                    BadAreaCase{"RequestNullWithLength", [](SendRecord& in) { in.RequestAddress = 0; }},
                    BadAreaCase{"ResponseOnTheStack",
                                [](SendRecord& in) {
                                    static std::uint8_t notPool[8];
                                    in.ResponseAddress = reinterpret_cast<ULONG64>(notPool);
                                }}),
    CaseName());

TEST_F(TaServiceTest, NoAreaIsFine)
{
    MakeAreas(8, 8);
    input_.RequestAddress = 0;
    input_.RequestLength = 0;
    input_.ResponseAddress = 0;
    input_.ResponseLength = 0;
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(ResponseWrittenPrefix(), 0U);
    EXPECT_TRUE(ta().Requests()[0].request.empty());
}

TEST_F(TaServiceTest, BlockedRequestIsReleasedFromAnotherThreadAndEchoes)
{
    ta().QueueBehaviour(TaBehaviour::Block());
    MakeAreas(4, 8);
    auto* token = platform_.Sched().ReserveThread("releaser");
    std::thread releaser([&] {
        platform_.Sched().AdoptReservation(token);
        {
            std::unique_lock lock(platform_.Sched().Mutex());
            platform_.Sched().WaitUntil(lock, [&] { return ta().Blocked() == 1; });
        }
        // Still held: nothing written yet.
        EXPECT_EQ(response_[0], kUntouched);
        EXPECT_EQ(ta().Requests().at(0).status, STATUS_PENDING);
        EXPECT_TRUE(ta().Release());
        platform_.Sched().UnregisterCurrentThread();
    });
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    releaser.join();
    EXPECT_EQ(ResponseWrittenPrefix(), 4U);
    EXPECT_EQ(response_[3], 4);
    EXPECT_EQ(ta().Blocked(), 0U);
    EXPECT_FALSE(ta().Release());
    EXPECT_EQ(ta().Requests()[0].behaviour->kind, TaBehaviour::Kind::Block);
}

TEST_F(TaServiceTest, CancelledBlockedRequestWritesNothing)
{
    std::atomic<bool> cancel{false};
    Sent sent;
    std::thread sender = SendHeldThenCancelled(TaBehaviour::Block(), &sent, &cancel);
    sender.join();

    EXPECT_EQ(sent.status, STATUS_CANCELLED);
    EXPECT_EQ(ResponseWrittenPrefix(), 0U);
    EXPECT_TRUE(sent.OutputUntouched());
    EXPECT_EQ(sent.information, 0U);
    EXPECT_EQ(ta().Blocked(), 0U);
    EXPECT_EQ(ta().Requests()[0].status, STATUS_CANCELLED);
    EXPECT_FALSE(ta().Release()) << "a cancelled request must leave the blocked list";
}

// A service that never looks at cancellation: the sender's cancel changes nothing, and only
// the service itself (a release) ends the request.
TEST_F(TaServiceTest, IgnoringCancellationHoldsUntilReleased)
{
    std::atomic<bool> cancel{false};
    Sent sent;
    std::thread sender = SendHeldThenCancelled(TaBehaviour::IgnoreCancel(), &sent, &cancel);
    platform_.Sched().AdvanceBy(60 * sim::kTicksPerSecond);

    EXPECT_EQ(ta().Blocked(), 1U);
    EXPECT_EQ(ta().Requests().at(0).status, STATUS_PENDING);
    EXPECT_EQ(sent.status, STATUS_PENDING);
    EXPECT_EQ(ResponseWrittenPrefix(), 0U);
    EXPECT_TRUE(ta().Release());
    sender.join();
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(ResponseWrittenPrefix(), 4U);
    EXPECT_EQ(ta().Requests().at(0).behaviour->kind, TaBehaviour::Kind::IgnoreCancel);
}

TEST_F(TaServiceTest, ReleaseFreesTheLongestBlockedFirst)
{
    ta().SetBehaviour(TaBehaviour::Block());
    MakeAreas(4, 8);
    std::atomic<bool> cancelSecond{false};
    Sent first;
    Sent second;
    std::thread a = SendOnThread(&first);
    WaitBlocked(1);
    std::thread b = SendOnThread(&second, [&] { return cancelSecond.load(); });
    WaitBlocked(2);

    EXPECT_TRUE(ta().Release());
    a.join();
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(ta().Blocked(), 1U);
    cancelSecond = true;
    platform_.Sched().Notify();
    b.join();
    EXPECT_EQ(second.status, STATUS_CANCELLED);
}

TEST_F(TaServiceTest, ShutdownReleasesBlockedAndLaterBlocksPassThrough)
{
    ta().SetBehaviour(TaBehaviour::Block());
    MakeAreas(4, 8);
    Sent first;
    Sent second;
    std::thread a = SendOnThread(&first);
    // Released together, two echoes into one area would race: the second names no areas.
    input_ = SendRecord{};
    std::thread b = SendOnThread(&second);
    WaitBlocked(2);
    ta().Shutdown();
    a.join();
    b.join();
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(ResponseWrittenPrefix(), 4U);
    EXPECT_EQ(Send(), STATUS_SUCCESS);
    EXPECT_EQ(ta().Blocked(), 0U);
}

TEST_F(TaServiceTest, BuffersFreedWhileHeldAreFlaggedNotWritten)
{
    platform_.Verifier().SetEcho(false);
    ta().QueueBehaviour(TaBehaviour::Block());
    MakeAreas(4, 8);
    Sent sent;
    std::thread sender = SendOnThread(&sent);
    WaitBlocked(1);
    FreeAreas();
    ta().Release();
    sender.join();
    EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(platform_.Verifier().Count(), 1U) << platform_.Verifier().Describe();
    platform_.Verifier().Clear();
}

TEST_F(TaServiceTest, ArriveAndDepartAreTracedAndChangePresence)
{
    EXPECT_TRUE(ta().Present());
    EXPECT_TRUE(platform_.Pnp().InterfacePresent(TaServiceModel::kDefaultLink));
    ta().Depart();
    EXPECT_FALSE(ta().Present());
    EXPECT_FALSE(platform_.Pnp().InterfacePresent(TaServiceModel::kDefaultLink));
    const std::u16string other = u"\\??\\ROOT#TASERVICE#0001#{3fa24ef8-153b-4b8a-a039-670377b93e05}";
    ta().Arrive(other);
    EXPECT_TRUE(ta().Present());
    EXPECT_EQ(ta().Link(), other);
    EXPECT_TRUE(platform_.Pnp().InterfacePresent(other));
    MakeAreas(4, 4);
    EXPECT_EQ(Send(), STATUS_NO_SUCH_DEVICE) << "a send on the old link must not reach the new instance";

    auto adds = platform_.Trace().Find("AddInterface");
    auto removes = platform_.Trace().Find("RemoveInterface");
    ASSERT_EQ(adds.size(), 2U);
    ASSERT_EQ(removes.size(), 1U);
    EXPECT_EQ(adds[0].from, "ta");
    EXPECT_EQ(adds[0].to, "pnp");
    EXPECT_NE(adds[1].detail.find("0001"), std::string::npos);
    EXPECT_LT(adds[0].sequence, removes[0].sequence);
    EXPECT_LT(removes[0].sequence, adds[1].sequence);
}

// The service's side of the interface is the documented one, whatever the driver defines.
TEST(TaServiceInterface, IsTheDocumentedOne)
{
    EXPECT_EQ(sim::ta::kSendCode, kSendCode);
    EXPECT_EQ(sim::ta::ControlCode(0x56, 1, 0, 2), 0x00568004U);
    EXPECT_EQ(sim::ta::ControlCode(0x22, 0x800, 3, 0), 0x00222003U);
    EXPECT_EQ(sim::GuidText(sim::ta::kInterfaceClassGuid), "{3FA24EF8-153B-4B8A-A039-670377B93E05}");
    EXPECT_EQ(sim::ta::kInputSize, 48U);
    EXPECT_EQ(sim::ta::kOutputSize, 16U);
    const std::uint8_t record[16] = {1, 2, 3, 4, 5, 6, 7, 8, 0xF0, 0, 0, 0, 0, 0, 0, 0x80};
    EXPECT_EQ(sim::ta::ReadWord(record, 0), 0x0807060504030201ULL);
    EXPECT_EQ(sim::ta::ReadWord(record, 8), 0x80000000000000F0ULL);
}

} // namespace
