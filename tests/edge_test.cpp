// Hostile input at every edge the firmware and the TA service control: length fields whose sums
// wrap in 32 bits, DataLength claims beyond or short of what was written, size queries at 0 and
// 0xFFFFFFFF, TA answers that fail or write nothing, events with nothing pending. Each gets its
// documented outcome, and the firmware always gets exactly one acknowledgement.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "support/driver_fixture.h"
#include "support/invariants.h"

namespace {

using fwtest::Bytes;
using fwtest::Pattern;
using sim::FirmwareModel;
using sim::SizeQuery;
using sim::TaBehaviour;

// STATUS_BUFFER_OVERFLOW, a warning: severity 2 makes it negative, so NT_SUCCESS says no.
constexpr NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005U);

Bytes Fields(std::uint32_t requestLength, std::uint32_t responseLength, std::size_t filler)
{
    // RequestLength, then `filler` bytes; ResponseLength sits where a small RequestLength puts it.
    Bytes bytes(8 + filler, 0x11);
    std::memcpy(bytes.data(), &requestLength, 4);
    if (requestLength <= filler) {
        std::memcpy(bytes.data() + 4 + requestLength, &responseLength, 4);
    }
    return bytes;
}

class EdgeTest : public fwtest::DriverTest {
protected:
    void SetUp() override { LoadWithService(); }

    // Raises `buffer`, waits for its acknowledgement, and checks what holds for every event.
    void RaiseAndAudit(const Bytes& buffer)
    {
        raised.push_back(buffer);
        ASSERT_TRUE(RaiseAndWait(buffer));
        platform.Sched().Settle();
        auto audit = fwtest::AuditRelays(platform);
        EXPECT_TRUE(audit.faults.empty()) << audit.faults.front();
        EXPECT_EQ(audit.refused, 0U);
        EXPECT_EQ(audit.acknowledged, audit.delivered);
        auto changed = fwtest::CheckHandedBack(raised, firmware.HandedBack());
        EXPECT_TRUE(changed.empty()) << changed.front();
        // Between events only the channel's name copy is held.
        EXPECT_EQ(fwtest::DriversOwn(platform.Pool().Live()).size(), 1U) << platform.Pool().LeakReport();
    }

    std::vector<Bytes> raised;
};

// ---- Length fields whose sums wrap in 32 bits, with DataLength at its largest ----

struct WrapCase {
    const char* name;
    std::uint32_t requestLength;
    std::uint32_t responseLength;
};

class LengthWrapTest : public EdgeTest, public testing::WithParamInterface<WrapCase> {};

TEST_P(LengthWrapTest, IsDroppedWithoutReadingPastTheBuffer)
{
    // 64 bytes hold every field a small length places; DataLength claims the whole allocation.
    firmware.ReportDataLength(EXCHANGE_BUFFER_MINIMUM);
    RaiseAndAudit(Fields(GetParam().requestLength, GetParam().responseLength, 56));

    EXPECT_EQ(firmware.AckCount(), 1U);
    EXPECT_TRUE(firmware.HandedBack().empty());
    EXPECT_EQ(ta.RequestCount(), 0U);
}

INSTANTIATE_TEST_SUITE_P(
    NearFourGigabytes, LengthWrapTest,
    testing::Values(
        // RequestLength + 8 wraps to a small value.
        WrapCase{"RequestWrapsCheckTwo", 0xFFFFFFF8U, 0}, WrapCase{"RequestAllOnes", 0xFFFFFFFFU, 0xFFFFFFFFU},
        // Both lengths plus 12 wrap past 2^32 to a value that DataLength covers.
        WrapCase{"ResponseWrapsCheckThree", 8, 0xFFFFFFF8U}, WrapCase{"ResponseAllOnes", 0, 0xFFFFFFFFU},
        WrapCase{"ResponseJustPastTheBuffer", 8, EXCHANGE_BUFFER_MINIMUM - 8 - 12 + 1},
        WrapCase{"RequestHalfAndResponseHalf", 0x80000000U, 0x80000000U}, WrapCase{"SignBitRequest", 0x7FFFFFFFU, 1}),
    [](const testing::TestParamInfo<WrapCase>& param) { return std::string(param.param.name); });

// What the pool sees of such a buffer: the exchange buffer and nothing else. A bound that wraps
// would let the relay ask for a response area of about 4 GiB, which the host pool refuses (a
// machine might grant it and the copy would then read far past the buffer), so the outcome
// alone does not show it.
TEST_P(LengthWrapTest, AsksThePoolForNothingButTheExchangeBuffer)
{
    firmware.ReportDataLength(16408);
    platform.Faults().ResetCounts();
    RaiseAndAudit(Fields(GetParam().requestLength, GetParam().responseLength, 56));

    EXPECT_EQ(platform.Faults().Count("ExAllocatePool2"), 1U);
}

TEST_F(EdgeTest, AreasFillingTheWholeReportedLengthAreRelayed)
{
    // The exact fit at the largest DataLength: RequestLength + ResponseLength + 12 == 16408.
    const std::uint32_t response = EXCHANGE_BUFFER_MINIMUM - 8 - 12;
    firmware.ReportDataLength(EXCHANGE_BUFFER_MINIMUM);
    RaiseAndAudit(Fields(8, response, 56));

    ASSERT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(firmware.HandedBack()[0].size(), EXCHANGE_BUFFER_MINIMUM);
    EXPECT_EQ(ta.Requests().at(0).responseLength, response);
}

// ---- DataLength claims that differ from what the firmware wrote ----

struct DataLengthCase {
    const char* name;
    ULONG dataLength;
    bool relayed;
};

class DataLengthTest : public EdgeTest, public testing::WithParamInterface<DataLengthCase> {};

TEST_P(DataLengthTest, IsBelievedOnlyWithinTheProvidedBuffer)
{
    // 10 + 20 + 12 = 42 bytes written.
    firmware.ReportDataLength(GetParam().dataLength);
    RaiseAndAudit(FirmwareModel::BuildExchangeBuffer(Pattern(10, 1), Pattern(20, 2)));

    EXPECT_EQ(firmware.AckCount(), 1U);
    ASSERT_EQ(firmware.HandedBack().size(), GetParam().relayed ? 1U : 0U);
    if (GetParam().relayed) {
        EXPECT_EQ(firmware.HandedBack()[0].size(), GetParam().dataLength);
    }
}

INSTANTIATE_TEST_SUITE_P(Claims, DataLengthTest,
                         testing::Values(DataLengthCase{"Zero", 0, false}, DataLengthCase{"Three", 3, false},
                                         DataLengthCase{"ShortOfTheFields", 41, false},
                                         DataLengthCase{"ExactlyTheProvidedBuffer", EXCHANGE_BUFFER_MINIMUM, true},
                                         DataLengthCase{"OnePastTheProvidedBuffer", EXCHANGE_BUFFER_MINIMUM + 1, false},
                                         DataLengthCase{"AllOnes", 0xFFFFFFFFU, false}),
                         [](const testing::TestParamInfo<DataLengthCase>& param) {
                             return std::string(param.param.name);
                         });

// ---- The size query at its extremes ----

struct QueryCase {
    const char* name;
    SizeQuery query;
    bool relayed;
};

class SizeQueryEdgeTest : public EdgeTest, public testing::WithParamInterface<QueryCase> {};

TEST_P(SizeQueryEdgeTest, SizesTheFetchOrDropsTheEvent)
{
    firmware.SetSizeQuery(GetParam().query);
    RaiseAndAudit(FirmwareModel::BuildExchangeBuffer(Pattern(6, 1), Pattern(6, 2)));

    EXPECT_EQ(firmware.AckCount(), 1U);
    EXPECT_EQ(firmware.HandedBack().size(), GetParam().relayed ? 1U : 0U);
}

INSTANTIATE_TEST_SUITE_P(
    Extremes, SizeQueryEdgeTest,
    testing::Values(QueryCase{"SucceedsWithZero", SizeQuery::Succeed(0), true},
                    // Believed: the driver asks pool for 4 GiB, is refused, and drops the event.
                    QueryCase{"SucceedsWithAllOnes", SizeQuery::Succeed(0xFFFFFFFFU), false},
                    QueryCase{"FailsWithZero", SizeQuery::Fail(STATUS_UNSUCCESSFUL, 0), true},
                    QueryCase{"FailsWithAllOnes", SizeQuery::Fail(STATUS_BUFFER_TOO_SMALL, 0xFFFFFFFFU), true},
                    // A warning is not a success: the minimum is provided.
                    QueryCase{"WarnsWithAllOnes", SizeQuery::Fail(kBufferOverflow, 0xFFFFFFFFU), true}),
    [](const testing::TestParamInfo<QueryCase>& param) { return std::string(param.param.name); });

// ---- TA service answers that fail, write nothing or offer too much ----

struct AnswerCase {
    const char* name;
    TaBehaviour behaviour;
    std::size_t responseLength;
    Bytes written; // what the response area holds afterwards, from its start
};

class TaAnswerTest : public EdgeTest, public testing::WithParamInterface<AnswerCase> {};

TEST_P(TaAnswerTest, HandsBackExactlyWhatTheAreaHolds)
{
    const Bytes response = Pattern(GetParam().responseLength, 80);
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(5, 1), response);
    ta.SetBehaviour(GetParam().behaviour);
    RaiseAndAudit(buffer);

    Bytes expected = buffer;
    std::copy(GetParam().written.begin(), GetParam().written.end(), expected.begin() + 8 + 5);
    ASSERT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(firmware.HandedBack()[0], expected);
    EXPECT_EQ(firmware.AckCount(), 1U);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TaAnswerTest,
    testing::Values(AnswerCase{"FailsWithCancelled", TaBehaviour::Fail(STATUS_CANCELLED), 8, {}},
                    AnswerCase{"FailsWithAWarning", TaBehaviour::Fail(kBufferOverflow), 8, {}},
                    AnswerCase{"SucceedsWritingNothing", TaBehaviour::WriteFirst(0), 8, {}},
                    AnswerCase{"EmptyFixedAnswer", TaBehaviour::Fixed({}), 8, {}},
                    AnswerCase{"AnswerLongerThanTheArea", TaBehaviour::Fixed(Bytes(32, 0xAB)), 4, Bytes(4, 0xAB)},
                    AnswerCase{"AnswerIntoAnEmptyArea", TaBehaviour::Fixed(Bytes(8, 0xAB)), 0, {}}),
    [](const testing::TestParamInfo<AnswerCase>& param) { return std::string(param.param.name); });

// ---- Events with nothing pending ----

TEST_F(EdgeTest, EventsWithNothingPendingAreEachAcknowledgedAndLeaveTheNextRelayIntact)
{
    firmware.SetSizeQuery(SizeQuery::Succeed(30000)); // the query promises what the fetch lacks
    for (int i = 0; i < 3; ++i) {
        firmware.RaiseEventWithoutBuffer();
    }
    ASSERT_TRUE(RunUntil([&] { return firmware.AckCount() == 3; }));
    firmware.SetSizeQuery(SizeQuery::Pending());
    RaiseAndAudit(FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2)));

    EXPECT_EQ(firmware.AckCount(), 4U);
    EXPECT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(ta.RequestCount(), 1U);
}

// ---- Events the WMI layer loses, and answers longer than the room offered ----

TEST_F(EdgeTest, ALostEventStrandsItsRequestUntilAnEventComesWithNothingNew)
{
    auto loseNextEvent = [&] {
        platform.Faults().FailNth("WmiEventDelivery", platform.Faults().Count("WmiEventDelivery") + 1);
    };
    const Bytes first = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2));
    const Bytes second = FirmwareModel::BuildExchangeBuffer(Pattern(6, 3), Pattern(6, 4));
    loseNextEvent();
    firmware.RaiseEvent(first);
    platform.Sched().AdvanceBy(60 * sim::kTicksPerSecond);
    platform.Sched().Settle();
    EXPECT_EQ(firmware.AckCount(), 0U);
    EXPECT_EQ(firmware.PendingCount(), 1U) << "nothing fetches a request whose event was lost";
    const auto calls = platform.Faults().CallLog();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "WmiEventDelivery"), 0) << "not a call the driver makes";

    // One request per event: the next event's relay fetches the stranded one and leaves its own.
    raised.push_back(first);
    RaiseAndAudit(second);
    EXPECT_EQ(firmware.PendingCount(), 1U);
    firmware.RaiseEventWithoutBuffer();
    ASSERT_TRUE(RunUntil([&] { return firmware.AckCount() == 2U; }));
    platform.Sched().Settle();
    EXPECT_EQ(firmware.PendingCount(), 0U);
    EXPECT_EQ(ta.RequestCount(), 2U);
    EXPECT_EQ(firmware.HandedBack().size(), 2U);
    auto changed = fwtest::CheckHandedBack(raised, firmware.HandedBack());
    EXPECT_TRUE(changed.empty()) << changed.front();
}

TEST_F(EdgeTest, AnAcknowledgementAnsweringMoreThanOfferedChangesNothingForTheNextRelay)
{
    platform.Faults().FailNth("FirmwareMethodOutput", platform.Faults().Count("FirmwareMethodOutput") + 1);
    RaiseAndAudit(FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2)));
    EXPECT_EQ(firmware.AnswersTooLong(), 1U);
    RaiseAndAudit(FirmwareModel::BuildExchangeBuffer(Pattern(4, 3), Pattern(4, 4)));
    EXPECT_EQ(firmware.AckCount(), 2U);
    EXPECT_EQ(firmware.HandedBack().size(), 2U);
}

// ---- The platform refusing the worker's thread object at unload ----

TEST(RetryWorkerEdgeTest, ThreadObjectRefusedAtUnloadStillWaitsForTheWorker)
{
    // Found by the fault sweep: without the thread object the worker was left running while
    // the driver went away.
    sim::Platform platform;
    platform.Firmware().SetPresent(false);
    ASSERT_EQ(platform.Framework().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(platform.Framework().AddDevice(), STATUS_SUCCESS);
    platform.Sched().AdvanceBy(sim::kTicksPerSecond / 2); // the worker sleeps before attempt 1
    platform.Faults().FailAlways("ObReferenceObjectByHandle");
    for (WDFDEVICE device : platform.Framework().PnpDevices()) {
        platform.Framework().RemoveDevice(device);
    }
    platform.Sched().Settle();

    ASSERT_TRUE(platform.Framework().UnloadDriver());

    EXPECT_EQ(platform.Faults().Count("ObReferenceObjectByHandle"), 1U);
    EXPECT_EQ(platform.Kernel().LiveSystemThreads(), 0U);
    EXPECT_EQ(platform.Objects().OpenHandleCount(), 0U);
    EXPECT_EQ(platform.Faults().Count("IoWMIOpenBlock"), 1U); // start-up's only: no attempt after the stop
    platform.Shutdown();
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    EXPECT_EQ(platform.Pool().LiveCount(), 0U) << platform.Pool().LeakReport();
}

// ---- A length field that ends exactly where the fetched bytes end ----
//
// RequestLength 4 to 7 bytes short of DataLength leaves no room for ResponseLength: the buffer
// must be dropped before ResponseLength is read. The buffer fills the exchange buffer exactly
// (16408 bytes), so reading ResponseLength anyway reads past the end of the pool block. Outcome
// alone cannot show that read (the bytes beyond do not pass the last check either); the
// AddressSanitizer build (the `asan` preset, which runs this file) faults on it, because the host
// pool poisons the bytes around every block there, as special pool would.
class ExactFitTest : public EdgeTest, public testing::WithParamInterface<std::uint32_t> {};

TEST_P(ExactFitTest, RequestLengthLeavingNoRoomForResponseLengthIsDroppedUnread)
{
    constexpr std::uint32_t kDataLength = 16408;
    const std::uint32_t requestLength = kDataLength - GetParam();
    Bytes buffer(kDataLength, 0x5A);
    std::memcpy(buffer.data(), &requestLength, 4);

    RaiseAndAudit(buffer);

    EXPECT_EQ(firmware.HandedBack().size(), 0U);
    EXPECT_EQ(ta.RequestCount(), 0U);
}

INSTANTIATE_TEST_SUITE_P(ShortBy, ExactFitTest, testing::Values(4U, 5U, 6U, 7U), testing::PrintToStringParamName());

// The hand-back check every relay test leans on: a buffer that changed only in its response
// area passes, a change anywhere else is reported, and a longer DataLength reads as zeros.
TEST(HandedBackCheck, AcceptsOnlyChangesInTheResponseArea)
{
    // RequestLength 3 at 0, request at 4, ResponseLength 2 at 7, response at 11, trailer at 13.
    const Bytes raised = FirmwareModel::BuildExchangeBuffer({1, 2, 3}, {4, 5}, {9, 9, 9, 9});
    struct Case {
        const char* name;
        std::function<void(Bytes&)> change;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"unchanged", [](Bytes&) {}, true},
        {"response written",
         [](Bytes& b) {
             b[11] = 0xEE;
             b[12] = 0xEF;
         },
         true},
        {"request changed", [](Bytes& b) { b[5] ^= 1; }, false},
        {"request length changed", [](Bytes& b) { b[0] = 2; }, false},
        {"response length changed", [](Bytes& b) { b[7] = 1; }, false},
        {"trailer changed", [](Bytes& b) { b[15] ^= 1; }, false},
        {"longer, zeros past the raised bytes", [](Bytes& b) { b.resize(b.size() + 8, 0); }, true},
        {"longer, a non-zero byte past the raised bytes",
         [](Bytes& b) {
             b.resize(b.size() + 8, 0);
             b.back() = 1;
         },
         false},
        {"shorter than its own areas", [](Bytes& b) { b.resize(12); }, false},
    };
    for (const Case& c : cases) {
        Bytes back = raised;
        c.change(back);
        EXPECT_EQ(fwtest::CheckHandedBack({raised}, {back}).empty(), c.accepted) << c.name;
    }
}

} // namespace
