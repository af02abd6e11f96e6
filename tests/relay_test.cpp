// One firmware event through the real driver: fetch, validation, the TA service, write-back,
// hand-back and acknowledgement, as the firmware and the TA service see them.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>

#include "support/driver_fixture.h"
#include "support/wire.h"

namespace {

using fwtest::Bytes;
using fwtest::Pattern;
using sim::FirmwareModel;
using sim::TaBehaviour;
namespace fw = sim::firmware;
namespace wire = fwtest::wire;

// The driver provides at least this much room for every fetch.

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes U32(std::uint32_t value)
{
    Bytes bytes(4);
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

class RelayTest : public fwtest::DriverTest {
protected:
    void SetUp() override { LoadWithService(); }

    std::size_t CallsOf(ULONG method) const
    {
        std::size_t n = 0;
        for (const auto& call : firmware.Calls()) {
            n += call.methodId == method ? 1 : 0;
        }
        return n;
    }
};

TEST_F(RelayTest, EchoWritesTheResponseBackAndKeepsEverythingElse)
{
    const Bytes request = Pattern(10, 1);
    const Bytes response = Pattern(20, 100);
    const Bytes trailer = {0xDE, 0xAD, 0xBE, 0xEF};
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(request, response, trailer, 64);
    ta.SetBehaviour(TaBehaviour::Echo());

    ASSERT_TRUE(RaiseAndWait(buffer));

    auto handedBack = firmware.HandedBack();
    ASSERT_EQ(handedBack.size(), 1U);
    Bytes expected = buffer;
    // Echo writes min(10, 20) bytes of the request at the start of the response area.
    std::memcpy(expected.data() + 8 + 10, request.data(), 10);
    EXPECT_EQ(handedBack[0], expected);
    EXPECT_EQ(firmware.AckCount(), 1U);

    auto requests = ta.Requests();
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0].ioctlCode, sim::ta::kSendCode);
    EXPECT_EQ(requests[0].inputLength, 48U);
    EXPECT_EQ(requests[0].outputLength, 16U);
    EXPECT_EQ(requests[0].status, STATUS_SUCCESS);
    EXPECT_EQ(requests[0].request, request);
    EXPECT_EQ(requests[0].requestLength, 10U);
    EXPECT_EQ(requests[0].responseLength, 20U);
}

TEST_F(RelayTest, WithoutTargetTheBufferGoesBackByteForByte)
{
    // The last device goes, and with it the control device and the target.
    framework.RemoveDevice(framework.PnpDevices().front());
    platform.Sched().Settle();
    ASSERT_EQ(Context()->ServiceTarget, nullptr);
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(7, 3), Pattern(9, 50), {1, 2, 3, 4}, 100);

    ASSERT_TRUE(RaiseAndWait(buffer));

    ASSERT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(firmware.HandedBack()[0], buffer);
    EXPECT_EQ(ta.RequestCount(), 0U);
}

TEST_F(RelayTest, PartialAnswerLeavesTheRestOfTheResponseAreaAsDelivered)
{
    const Bytes response = Pattern(20, 100);
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(10, 1), response);
    ta.SetBehaviour(TaBehaviour::WriteFirst(5));

    ASSERT_TRUE(RaiseAndWait(buffer));

    const Bytes back = firmware.HandedBack().at(0);
    for (std::size_t i = 0; i < 20; ++i) {
        std::uint8_t expected = i < 5 ? sim::TaServiceModel::ResponsePattern(i) : response[i];
        EXPECT_EQ(back[18 + i], expected) << "response byte " << i;
    }
}

TEST_F(RelayTest, FailingServiceStillHandsBackWhatTheAreaHolds)
{
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(6, 9));
    ta.SetBehaviour(TaBehaviour::Fail(STATUS_DEVICE_NOT_READY));

    ASSERT_TRUE(RaiseAndWait(buffer));

    ASSERT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(firmware.HandedBack()[0], buffer);
}

// The record as the service reads it from its 48 bytes, for lengths below and above 16 bits.
// Beyond 16408 bytes only a firmware that answers the size query with a size can deliver the
// buffer.
class InputRecordTest : public RelayTest, public testing::WithParamInterface<std::size_t> {};

TEST_P(InputRecordTest, CarriesZeroWordsBothAddressesAndZeroExtendedLengths)
{
    const std::size_t responseLength = GetParam();
    const Bytes request = Pattern(3, 1);
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(request, Bytes(responseLength, 0x5A));
    if (buffer.size() > wire::kFetchMinimum) {
        firmware.SetSizeQuery(sim::SizeQuery::Succeed(static_cast<ULONG>(buffer.size())));
    }
    ta.SetBehaviour(TaBehaviour::WriteFirst(responseLength));
    ASSERT_TRUE(RaiseAndWait(buffer));

    const auto r = ta.Requests().at(0);
    ASSERT_EQ(r.input.size(), 48U);
    auto word = [&](std::size_t offset) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < 8; ++i) {
            value |= static_cast<std::uint64_t>(r.input[offset + i]) << (8 * i);
        }
        return value;
    };
    EXPECT_EQ(word(0), 0U);
    EXPECT_EQ(word(8), 0U);
    EXPECT_EQ(word(24), 3U);
    EXPECT_EQ(word(40), responseLength);
    EXPECT_NE(word(16), 0U);
    EXPECT_NE(word(32), 0U);
    EXPECT_NE(word(16), word(32));
    // Read through the address at 16, the request; written through the one at 32, the response.
    EXPECT_EQ(r.request, request);
    EXPECT_EQ(r.responseWritten, responseLength);
    const Bytes back = firmware.HandedBack().at(0);
    ASSERT_EQ(back.size(), buffer.size());
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + 7, buffer.begin())) << "the request area changed";
    for (std::size_t i = 0; i < responseLength; ++i) {
        ASSERT_EQ(back[11 + i], sim::TaServiceModel::ResponsePattern(i)) << "response byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(ResponseLengths, InputRecordTest, testing::Values(20, 0x3FF0, 0x10001),
                         testing::PrintToStringParamName());

// Buffers that fail validation at their exact boundary, and the last that passes.
struct ValidationCase {
    const char* name;
    Bytes buffer;
    bool relayed;
};

class ValidationTest : public RelayTest, public testing::WithParamInterface<ValidationCase> {};

TEST_P(ValidationTest, DropsOnlyWhatFailsTheLengthChecks)
{
    ASSERT_TRUE(RaiseAndWait(GetParam().buffer));

    EXPECT_EQ(firmware.AckCount(), 1U);
    EXPECT_EQ(firmware.HandedBack().size(), GetParam().relayed ? 1U : 0U);
    EXPECT_EQ(ta.RequestCount(), GetParam().relayed ? 1U : 0U);
    if (GetParam().relayed) {
        EXPECT_EQ(firmware.HandedBack()[0].size(), GetParam().buffer.size());
    }
}

// RequestLength 10 and ResponseLength 20 need 10 + 20 + 12 = 42 bytes.
Bytes Sized(std::size_t dataLength)
{
    Bytes full = FirmwareModel::BuildExchangeBuffer(Pattern(10, 1), Pattern(20, 2));
    full.resize(dataLength);
    return full;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ValidationTest,
    testing::Values(ValidationCase{"Empty", {}, false}, ValidationCase{"ThreeBytes", {1, 0, 0}, false},
                    ValidationCase{"OnlyRequestLength", U32(0), false},
                    ValidationCase{"NoRoomForResponseLength", Concat({U32(2), Bytes{1, 2, 3, 4, 5}}), false},
                    ValidationCase{"ExactlyEnough", Sized(42), true}, ValidationCase{"OneShort", Sized(41), false},
                    ValidationCase{"RequestLengthNearFourGigabytes", Concat({U32(0xFFFFFFF8U), Bytes(64, 0)}), false},
                    ValidationCase{"ResponseLengthNearFourGigabytes", Concat({U32(0), U32(0xFFFFFFFCU), Bytes(64, 0)}),
                                   false},
                    ValidationCase{"EmptyAreas", Concat({U32(0), U32(0), Bytes(4, 7)}), true},
                    ValidationCase{"EmptyRequest", Concat({U32(0), U32(3), Bytes{9, 9, 9}, Bytes(4, 7)}), true},
                    ValidationCase{"EmptyResponse", Concat({U32(3), Bytes{9, 9, 9}, U32(0), Bytes(4, 7)}), true}),
    [](const testing::TestParamInfo<ValidationCase>& param) { return std::string(param.param.name); });

TEST_F(RelayTest, EmptyAreasReachTheServiceAsAddressZeroLengthZero)
{
    const Bytes buffer = Concat({U32(0), U32(6), Pattern(6, 40), Bytes(4, 0)});
    ta.SetBehaviour(TaBehaviour::Fixed({1, 2, 3, 4, 5, 6}));

    ASSERT_TRUE(RaiseAndWait(buffer));

    auto r = ta.Requests().at(0);
    EXPECT_EQ(r.requestAddress, 0U);
    EXPECT_TRUE(r.request.empty());
    Bytes expected = Concat({U32(0), U32(6), Bytes{1, 2, 3, 4, 5, 6}, Bytes(4, 0)});
    EXPECT_EQ(firmware.HandedBack().at(0), expected);
}

// The buffer provided for the fetch, from the size query's answer.
struct SizingCase {
    const char* name;
    sim::SizeQuery query;
    std::size_t pending;
    ULONG provided;
    bool relayed;
};

class SizingTest : public RelayTest, public testing::WithParamInterface<SizingCase> {};

TEST_P(SizingTest, ProvidesTheReportedSizeOnlyWhenTheQuerySucceedsWithAtLeastTheMinimum)
{
    firmware.SetSizeQuery(GetParam().query);
    ASSERT_TRUE(RaiseAndWait(
        FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2), {0, 0, 0, 0}, GetParam().pending)));

    ULONG fetchSize = 0;
    for (const auto& call : firmware.Calls()) {
        if (call.methodId == fw::kGetRequest && call.outSizeOnEntry != 0) {
            fetchSize = call.outSizeOnEntry;
        }
    }
    EXPECT_EQ(fetchSize, GetParam().provided);
    EXPECT_EQ(firmware.HandedBack().size(), GetParam().relayed ? 1U : 0U);
    EXPECT_EQ(firmware.AckCount(), 1U);
    // What the fetch could not take stays with the firmware.
    EXPECT_EQ(firmware.PendingCount(), GetParam().relayed ? 0U : 1U);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, SizingTest,
    testing::Values(
        // As WMI answers: the query fails with the size needed, which the driver never believes, so
        // every fetch gets 16408 bytes and a larger request is dropped.
        SizingCase{"WmiSmallRequest", sim::SizeQuery::Pending(), 64, wire::kFetchMinimum, true},
        SizingCase{"WmiExactlyMinimum", sim::SizeQuery::Pending(), wire::kFetchMinimum, wire::kFetchMinimum, true},
        SizingCase{"WmiOnePastMinimum", sim::SizeQuery::Pending(), wire::kFetchMinimum + 1, wire::kFetchMinimum, false},
        SizingCase{"WmiLarge", sim::SizeQuery::Pending(), 30000, wire::kFetchMinimum, false},
        // Firmware stacks that answer the query with success and a size.
        SizingCase{"SucceedsLarge", sim::SizeQuery::Succeed(30000), 30000, 30000, true},
        SizingCase{"SucceedsSmall", sim::SizeQuery::Succeed(100), 100, wire::kFetchMinimum, true},
        SizingCase{"SucceedsExactlyMinimum", sim::SizeQuery::Succeed(wire::kFetchMinimum), 200, wire::kFetchMinimum,
                   true},
        // A failed query is never believed, whatever it reports: this 30000-byte request does
        // not fit the 16408 bytes provided and the fetch fails.
        SizingCase{"FailsReportingLarge", sim::SizeQuery::Fail(STATUS_BUFFER_TOO_SMALL, 30000), 30000,
                   wire::kFetchMinimum, false},
        SizingCase{"FailsReportingLargeSmallRequest", sim::SizeQuery::Fail(STATUS_BUFFER_TOO_SMALL, 30000), 64,
                   wire::kFetchMinimum, true}),
    [](const testing::TestParamInfo<SizingCase>& param) { return std::string(param.param.name); });

TEST_F(RelayTest, RequestTooLargeForTheFetchIsDroppedAndBlocksTheOnesBehindIt)
{
    // The firmware keeps what it could not deliver at the head of its queue: each later event
    // meets it first, and the small request behind it waits.
    firmware.QueueRequest(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2), {0, 0, 0, 0}, 30000));
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 3), Pattern(8, 4))));

    const auto calls = firmware.Calls();
    ASSERT_GE(calls.size(), 3U);
    const auto& query = calls[calls.size() - 3];
    const auto& fetch = calls[calls.size() - 2];
    EXPECT_EQ(query.methodId, fw::kGetRequest);
    EXPECT_EQ(query.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(query.outSizeReturned, 30000U);
    EXPECT_EQ(fetch.outSizeOnEntry, wire::kFetchMinimum);
    EXPECT_EQ(fetch.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(fetch.outSizeReturned, 30000U);
    EXPECT_EQ(calls.back().methodId, fw::kAcknowledge);
    EXPECT_TRUE(firmware.HandedBack().empty());
    EXPECT_EQ(ta.RequestCount(), 0U);
    EXPECT_EQ(firmware.PendingCount(), 2U);
}

TEST_F(RelayTest, FirmwareConsumingOnGetRequestLosesEveryRequestToTheSizeQuery)
{
    // The size query runs the method; this firmware lets the request go right then, and the
    // query has no room for it. The fetch that follows finds nothing.
    firmware.SetGetRequestConsumes(true);
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2))));
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 3), Pattern(8, 4))));

    EXPECT_EQ(firmware.RequestsLost(), 2U);
    EXPECT_EQ(firmware.PendingCount(), 0U);
    EXPECT_TRUE(firmware.HandedBack().empty());
    EXPECT_EQ(ta.RequestCount(), 0U);
    EXPECT_EQ(firmware.AckCount(), 2U);
}

TEST_F(RelayTest, FailedFetchIsOnlyAcknowledged)
{
    firmware.RaiseEventWithoutBuffer();
    ASSERT_TRUE(RunUntil([&] { return firmware.AckCount() == 1; }));

    EXPECT_EQ(CallsOf(fw::kSetResponse), 0U);
    EXPECT_EQ(CallsOf(fw::kGetRequest), 2U);
    EXPECT_EQ(ta.RequestCount(), 0U);
}

TEST_F(RelayTest, DataLengthBeyondTheProvidedBufferIsDropped)
{
    // The platform claims more bytes than the driver provided: nothing past the allocation
    // may be read or handed back.
    firmware.ReportDataLength(wire::kFetchMinimum + 64);
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2))));

    EXPECT_EQ(CallsOf(fw::kSetResponse), 0U);
    EXPECT_EQ(ta.RequestCount(), 0U);
}

// Each of the relay's three allocations fails in turn; the event is dropped and acknowledged.
class AllocationFailureTest : public RelayTest, public testing::WithParamInterface<int> {};

TEST_P(AllocationFailureTest, DropsAndReleasesWhatWasTaken)
{
    platform.Faults().ResetCounts();
    platform.Faults().FailNth("ExAllocatePool2", static_cast<std::uint64_t>(GetParam()));

    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2))));

    EXPECT_EQ(CallsOf(fw::kSetResponse), 0U);
    EXPECT_EQ(ta.RequestCount(), 0U);
    EXPECT_EQ(platform.Faults().Count("ExAllocatePool2"), static_cast<std::uint64_t>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(ExchangeRequestResponse, AllocationFailureTest, testing::Values(1, 2, 3),
                         testing::PrintToStringParamName());

TEST_F(RelayTest, NullContextDoesNothingAtAll)
{
    std::size_t before = firmware.Calls().size();
    FirmwareEventCallback(nullptr, nullptr);
    EXPECT_EQ(firmware.Calls().size(), before);
}

TEST_F(RelayTest, EveryAllocationIsPagedTaggedAndFreedBeforeTheAcknowledgement)
{
    auto before = platform.Pool().AllocationsByTag();
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(8, 1), Pattern(8, 2))));
    auto after = platform.Pool().AllocationsByTag();

    std::uint64_t relayAllocations = 0;
    for (const auto& [tag, count] : after) {
        relayAllocations += count - before[tag];
    }
    EXPECT_EQ(relayAllocations, 3U);
    for (ULONG tag : {wire::Tag("TEMP"), wire::Tag("TARQ"), wire::Tag("TARP")}) {
        EXPECT_EQ(after[tag] - before[tag], 1U) << sim::Verifier::TagText(tag);
    }
    // Only the channel's name copy is still held between events.
    auto live = fwtest::DriversOwn(platform.Pool().Live());
    ASSERT_EQ(live.size(), 1U);
    EXPECT_EQ(live[0].tag, wire::Tag("WMIN"));
    EXPECT_EQ(live[0].flags, wire::kPagedPool);
}

TEST(ExchangeBufferUnit, WriteBackRefusesLayoutsBeyondDataLength)
{
    EXCHANGE_LAYOUT layout{10, 4, 20, 14, 18};
    UCHAR buffer[64] = {};
    UCHAR area[20] = {};
    EXPECT_FALSE(WriteBackExchangeBuffer(buffer, 41, &layout, area, area));
    EXPECT_TRUE(WriteBackExchangeBuffer(buffer, 42, &layout, area, area));
    EXPECT_FALSE(WriteBackExchangeBuffer(buffer, 42, &layout, nullptr, area));
}

// ---- One relay as the firmware, the pool and the TA service see it ----
//
// Everything below compares with values written out from the interfaces (support/wire.h), so a
// driver that sends another method id, size, tag, pool type or record layout fails here even
// when a model would accept it.

std::vector<std::uint32_t> LiveTags(const sim::FirmwareCall& call)
{
    std::vector<std::uint32_t> tags;
    for (const auto& block : fwtest::DriversOwn(call.livePool)) {
        tags.push_back(block.tag);
    }
    return tags;
}

TEST_F(RelayTest, EachFirmwareCallOfAnEventFindsOnlyThePoolItsStepNeeds)
{
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(10, 1), Pattern(20, 2), {1, 2, 3, 4}, 100);
    ASSERT_TRUE(firmware.ClearCalls());

    ASSERT_TRUE(RaiseAndWait(buffer));

    struct Step {
        const char* what;
        ULONG method;
        ULONG inSize;
        ULONG outSizeOnEntry;
        std::vector<std::uint32_t> live; // oldest first
    };
    const std::uint32_t name = wire::Tag("WMIN");
    const std::uint32_t exchange = wire::Tag("TEMP");
    const std::vector<Step> steps = {
        {"size query", wire::kGetRequest, 0, 0, {name}},
        {"fetch", wire::kGetRequest, 0, wire::kFetchMinimum, {name, exchange}},
        // The request copy and the response area are gone before the buffer goes back.
        {"hand-back", wire::kSetResponse, 100, 100, {name, exchange}},
        // And the exchange buffer before the event is acknowledged.
        {"acknowledgement", wire::kAcknowledge, 4, 4, {name}},
    };
    const auto calls = firmware.Calls();
    ASSERT_EQ(calls.size(), steps.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(steps[i].what);
        EXPECT_EQ(calls[i].methodId, steps[i].method);
        EXPECT_EQ(calls[i].inSize, steps[i].inSize);
        EXPECT_EQ(calls[i].outSizeOnEntry, steps[i].outSizeOnEntry);
        EXPECT_EQ(LiveTags(calls[i]), steps[i].live);
        for (const auto& block : calls[i].livePool) {
            EXPECT_EQ(block.flags, wire::kPagedPool) << sim::Verifier::TagText(block.tag);
        }
    }
    EXPECT_EQ(calls[1].livePool.back().size, wire::kFetchMinimum);
    EXPECT_EQ(fwtest::DriversOwn(calls[0].livePool).front().size, 40U); // the instance name's copy
}

// What the TA service finds behind the input record, looked up while the request is inside it.
struct ServiceView {
    ULONG ioctlCode = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    Bytes record;
    std::optional<sim::PoolAllocation> requestBlock;
    std::optional<sim::PoolAllocation> responseBlock;
    Bytes request;
    Bytes response;
};

class ServiceViewTest : public RelayTest {
protected:
    // Every send is looked at (and may be changed by `touch`) as it reaches the service, which
    // then answers as configured.
    void WatchSends(std::function<void(std::uint8_t* request, std::uint8_t* response)> touch = {})
    {
        framework.SetIoctlHandlerForTest([this, touch](const std::u16string& link, ULONG code, const void* input,
                                                       ULONG inputLength, void* output, ULONG outputLength,
                                                       ULONG_PTR* information, const std::function<bool()>& cancelled) {
            ServiceView view;
            view.ioctlCode = code;
            view.inputLength = inputLength;
            view.outputLength = outputLength;
            const auto* record = static_cast<const std::uint8_t*>(input);
            view.record.assign(record, record + std::min<ULONG>(inputLength, wire::kTaSendInputSize));
            if (view.record.size() == wire::kTaSendInputSize) {
                auto* request = reinterpret_cast<std::uint8_t*>(wire::Word(view.record, wire::kRequestAddress));
                auto* response = reinterpret_cast<std::uint8_t*>(wire::Word(view.record, wire::kResponseAddress));
                const auto requestLength = wire::Word(view.record, wire::kRequestLength);
                const auto responseLength = wire::Word(view.record, wire::kResponseLength);
                view.requestBlock = platform.Pool().Containing(request, requestLength);
                view.responseBlock = platform.Pool().Containing(response, responseLength);
                if (view.requestBlock && view.responseBlock) {
                    view.request.assign(request, request + requestLength);
                    view.response.assign(response, response + responseLength);
                    if (touch) {
                        touch(request, response);
                    }
                }
            }
            views.push_back(view);
            return ta.HandleIoctl(link, code, input, inputLength, output, outputLength, information, cancelled);
        });
    }

    std::vector<ServiceView> views; // written on the WMI thread, read once the event is acknowledged
};

TEST_F(ServiceViewTest, EachAreaReachesTheServiceInAPagedBlockOfItsOwn)
{
    const Bytes request = Pattern(10, 1);
    const Bytes response = Pattern(20, 100);
    WatchSends();

    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(request, response)));

    ASSERT_EQ(views.size(), 1U);
    const ServiceView& view = views[0];
    EXPECT_EQ(view.ioctlCode, wire::kTaSend);
    EXPECT_EQ(view.inputLength, wire::kTaSendInputSize);
    EXPECT_EQ(view.outputLength, wire::kTaSendOutputSize);
    ASSERT_EQ(view.record.size(), wire::kTaSendInputSize);
    EXPECT_EQ(wire::Word(view.record, wire::kReserved0), 0U);
    EXPECT_EQ(wire::Word(view.record, wire::kReserved1), 0U);
    EXPECT_EQ(wire::Word(view.record, wire::kRequestLength), 10U);
    EXPECT_EQ(wire::Word(view.record, wire::kResponseLength), 20U);

    struct Area {
        const char* what;
        const std::optional<sim::PoolAllocation>& block;
        std::size_t addressOffset;
        std::uint32_t tag;
        const Bytes& seen;
        const Bytes& expected;
    };
    for (const Area& area :
         {Area{"request", view.requestBlock, wire::kRequestAddress, wire::Tag("TARQ"), view.request, request},
          Area{"response", view.responseBlock, wire::kResponseAddress, wire::Tag("TARP"), view.response, response}}) {
        SCOPED_TRACE(area.what);
        ASSERT_TRUE(area.block.has_value()) << "the address is not inside one live pool block";
        EXPECT_EQ(area.block->address, wire::Word(view.record, area.addressOffset)) << "not the start of a block";
        EXPECT_EQ(area.block->tag, area.tag) << sim::Verifier::TagText(area.block->tag);
        EXPECT_EQ(area.block->flags, wire::kPagedPool);
        EXPECT_EQ(area.block->size, area.expected.size());
        EXPECT_EQ(area.seen, area.expected);
    }
}

TEST_F(ServiceViewTest, TheOutputRecordReachesTheFrameworkZeroed)
{
    WatchSends();
    ASSERT_TRUE(RaiseAndWait(FirmwareModel::BuildExchangeBuffer(Pattern(4, 1), Pattern(4, 2))));

    const auto outputs = framework.SendOutputsOnEntry();
    ASSERT_EQ(outputs.size(), 1U);
    EXPECT_EQ(outputs[0], Bytes(wire::kTaSendOutputSize, 0));
}

TEST_F(ServiceViewTest, WhatTheServiceWritesIntoEitherAreaGoesBackToTheFirmware)
{
    // A TA service may write into the request it was given as well; the firmware gets both areas
    // back as the service left them, and every other byte as it delivered it.
    const Bytes buffer = FirmwareModel::BuildExchangeBuffer(Pattern(6, 1), Pattern(8, 50), {7, 7, 7, 7}, 40);
    WatchSends([](std::uint8_t* request, std::uint8_t*) {
        for (std::size_t i = 0; i < 6; ++i) {
            request[i] = static_cast<std::uint8_t>(0xC0 + i);
        }
    });
    ta.SetBehaviour(TaBehaviour::Fixed({0x11, 0x22}));

    ASSERT_TRUE(RaiseAndWait(buffer));

    Bytes expected = buffer;
    for (std::size_t i = 0; i < 6; ++i) {
        expected[4 + i] = static_cast<std::uint8_t>(0xC0 + i);
    }
    expected[4 + 6 + 4] = 0x11;
    expected[4 + 6 + 4 + 1] = 0x22;
    ASSERT_EQ(firmware.HandedBack().size(), 1U);
    EXPECT_EQ(firmware.HandedBack()[0], expected);
}

} // namespace
