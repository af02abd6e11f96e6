// The host platform reuses memory from one event to the next (kept pool blocks, cleared logs'
// records, trace entries) so that a long run costs no heap call per event. What it reuses must
// never show what it held before, and the checks that now look at several ranges at once must
// still name the right one.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pool.h"
#include "sim/firmware.h"
#include "sim/leaf_lock.h"
#include "sim/platform.h"
#include "sim/ta_service.h"
#include "support/pool_guards.h"
#include "support/wire.h"

namespace {

namespace wire = fwtest::wire;
constexpr ULONG kTag = wire::Tag("TEST");

TEST(PoolReuse, AFreedBlockOfTheSameSizeComesBackZeroedAndItsOldPointerIsStale)
{
    sim::Platform platform;
    for (ULONG flags : {0U, static_cast<ULONG>(POOL_FLAG_UNINITIALIZED)}) {
        auto* first = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED | flags, 4096, kTag));
        ASSERT_NE(first, nullptr);
        std::memset(first, 0xAB, 4096);
        ExFreePoolWithTag(first, kTag);

        auto* second = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED | flags, 4096, kTag));
        ASSERT_NE(second, nullptr);
        // Zero-filled, or the pool's uninitialised pattern; never the last owner's bytes.
        const unsigned char expected = flags == 0 ? 0x00 : 0xCD;
        for (std::size_t i = 0; i < 4096; ++i) {
            ASSERT_EQ(second[i], expected) << "byte " << i;
        }
        ExFreePoolWithTag(second, kTag);
        EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    }

    // A pointer freed once stays freed, whether or not its memory was kept for reuse.
    void* stale = ExAllocatePool2(POOL_FLAG_NON_PAGED, 512, kTag);
    ExFreePoolWithTag(stale, kTag);
    ExFreePoolWithTag(stale, kTag);
    EXPECT_NE(platform.Verifier().Describe().find("freed twice"), std::string::npos) << platform.Verifier().Describe();
}

TEST(PoolReuse, AWriteOutsideAKeptBlockIsStillFoundWhenItIsFreed)
{
    sim::Platform platform;
    void* warm = ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTag);
    ExFreePoolWithTag(warm, kTag);
    auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTag));
    ASSERT_NE(p, nullptr);
    fwtest::AllowPoolOverrun(p + 100);
    p[100] = 0; // a guard byte
    ExFreePoolWithTag(p, kTag);
    EXPECT_NE(platform.Verifier().Describe().find("write outside the 100-byte allocation"), std::string::npos)
        << platform.Verifier().Describe();
}

struct RangesCase {
    const char* name;
    std::size_t firstOffset, firstLength; // into a 64-byte block
    std::size_t secondOffset, secondLength;
    std::optional<std::size_t> overrun; // FirstOverrun's answer
    std::optional<std::size_t> outside; // FirstOutside's answer
};

class PoolRangesTest : public testing::TestWithParam<RangesCase> {};

TEST_P(PoolRangesTest, NameTheFirstRangeThatFails)
{
    const RangesCase& c = GetParam();
    sim::Platform platform;
    auto* block = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    ASSERT_NE(block, nullptr);
    const sim::PoolModel::Range first{block + c.firstOffset, c.firstLength};
    const sim::PoolModel::Range second{block + c.secondOffset, c.secondLength};
    EXPECT_EQ(platform.Pool().FirstOverrun({first, second}), c.overrun);
    EXPECT_EQ(platform.Pool().FirstOutside({first, second}), c.outside);
    ExFreePoolWithTag(block, kTag);
}

INSTANTIATE_TEST_SUITE_P(Cases, PoolRangesTest,
                         testing::Values(RangesCase{"BothInside", 0, 64, 60, 4, std::nullopt, std::nullopt},
                                         RangesCase{"FirstRunsPastTheEnd", 8, 57, 0, 4, 0, 0},
                                         RangesCase{"SecondRunsPastTheEnd", 0, 4, 63, 2, 1, 1},
                                         RangesCase{"BothRunPastTheEnd", 1, 64, 2, 63, 0, 0},
                                         RangesCase{"EmptyAtTheEndIsInside", 64, 0, 0, 64, std::nullopt, std::nullopt}),
                         [](const testing::TestParamInfo<RangesCase>& param) { return std::string(param.param.name); });

TEST(PoolRanges, NoRangeAtNullIsNoRangeButBytesAtNullAreOutsideThePool)
{
    sim::Platform platform;
    EXPECT_EQ(platform.Pool().FirstOutside({{nullptr, 0}}), std::nullopt);
    EXPECT_EQ(platform.Pool().FirstOutside({{nullptr, 0}, {nullptr, 8}}), std::optional<std::size_t>(1));
    // Memory the pool never gave out does not overrun a pool block: it is not the pool's.
    std::array<unsigned char, 16> stack{};
    EXPECT_EQ(platform.Pool().FirstOverrun({{stack.data(), 1000}}), std::nullopt);
    EXPECT_EQ(platform.Pool().FirstOutside({{stack.data(), 1}}), std::optional<std::size_t>(0));
}

TEST(TraceReuse, AClearedTraceShowsOnlyWhatWasRecordedAfterIt)
{
    sim::Platform platform;
    sim::Trace& trace = platform.Trace();
    trace.Clear();
    trace.Record("test", "kernel", "long", "{} then {} then {}",
                 {sim::TraceArg::Text(), sim::TraceArg::Decimal(1), sim::TraceArg::Decimal(2)}, STATUS_UNSUCCESSFUL,
                 "a text longer than any short string keeps inside itself");
    trace.Clear();
    trace.Record("test", "kernel", "short", "{}", {sim::TraceArg::Text()}, std::nullopt, "ab");
    trace.RecordPair({"test", "kernel", "first", sim::TraceDetail("n {}", sim::TraceArg::Decimal(7))},
                     {"kernel", "test", "second", sim::TraceDetail("{}", sim::TraceArg::Text()), STATUS_SUCCESS, "cd"});

    const auto events = trace.Events();
    ASSERT_EQ(events.size(), 3U);
    EXPECT_EQ(events[0].operation, "short");
    EXPECT_EQ(events[0].detail, "ab");
    EXPECT_FALSE(events[0].status.has_value());
    EXPECT_EQ(events[1].detail, "n 7");
    EXPECT_FALSE(events[1].status.has_value());
    EXPECT_EQ(events[2].detail, "cd");
    EXPECT_EQ(events[2].status, std::optional<NTSTATUS>(STATUS_SUCCESS));
    // The pair's records follow each other.
    EXPECT_EQ(events[2].sequence, events[1].sequence + 1);
    EXPECT_EQ(trace.Size(), 3U);
}

TEST(FirmwareReuse, AClearedLogsRecordShowsThePoolAsTheNewCallFoundIt)
{
    sim::Platform platform;
    sim::FirmwareModel& firmware = platform.Firmware();
    std::vector<void*> blocks;
    for (SIZE_T size : {32U, 33U, 34U}) {
        blocks.push_back(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag));
    }
    std::array<UCHAR, 4> signature{};
    ULONG out = 0;
    firmware.ExecuteMethod(sim::firmware::kAcknowledge, 0, &out, signature.data());
    ASSERT_EQ(firmware.Calls().size(), 1U);
    EXPECT_EQ(firmware.Calls()[0].livePool.size(), 3U);

    ASSERT_TRUE(firmware.ClearCalls());
    EXPECT_TRUE(firmware.Calls().empty());
    ExFreePoolWithTag(blocks[0], kTag);
    ExFreePoolWithTag(blocks[2], kTag);
    out = 7;
    firmware.ExecuteMethod(sim::firmware::kAcknowledge, 0, &out, signature.data());
    const auto calls = firmware.Calls();
    ASSERT_EQ(calls.size(), 1U);
    ASSERT_EQ(calls[0].livePool.size(), 1U);
    EXPECT_EQ(calls[0].livePool[0].size, 33U);
    EXPECT_EQ(calls[0].outSizeOnEntry, 7U);
    EXPECT_EQ(calls[0].status, STATUS_INVALID_PARAMETER); // no signature
    ExFreePoolWithTag(blocks[1], kTag);
}

TEST(TaServiceReuse, AClearedLogsRecordShowsOnlyTheNewRequestsBytes)
{
    sim::Platform platform;
    sim::TaServiceModel& ta = platform.TaService();
    ta.Arrive();
    auto* request = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    auto* response = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    ASSERT_NE(request, nullptr);
    ASSERT_NE(response, nullptr);
    std::memset(request, 0x77, 64);
    auto send = [&](ULONG64 requestLength, ULONG inputLength) {
        std::array<std::uint8_t, wire::kTaSendInputSize> input{};
        const ULONG64 words[] = {
            0, 0, reinterpret_cast<ULONG64>(request), requestLength, reinterpret_cast<ULONG64>(response), 64};
        std::memcpy(input.data(), words, sizeof words); // little-endian, as the service reads them
        std::array<std::uint8_t, wire::kTaSendOutputSize> output{};
        ULONG_PTR information = 0;
        return ta.HandleIoctl(sim::TaServiceModel::kDefaultLink, wire::kTaSend, input.data(), inputLength,
                              output.data(), static_cast<ULONG>(output.size()), &information, {});
    };

    ASSERT_EQ(send(64, wire::kTaSendInputSize), STATUS_SUCCESS);
    ASSERT_TRUE(ta.ClearRequests());
    ASSERT_EQ(send(3, wire::kTaSendInputSize), STATUS_SUCCESS);
    ASSERT_TRUE(ta.ClearRequests());
    // Refused for its short input, in the record the 3-byte request left: nothing of it may show.
    ASSERT_EQ(send(64, 8), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(ta.Requests().size(), 1U);
    EXPECT_TRUE(ta.Requests()[0].request.empty());
    EXPECT_EQ(ta.Requests()[0].input.size(), 8U);

    ASSERT_TRUE(ta.ClearRequests());
    ASSERT_EQ(send(3, wire::kTaSendInputSize), STATUS_SUCCESS);
    ASSERT_EQ(send(64, 8), STATUS_BUFFER_TOO_SMALL);
    const auto requests = ta.Requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0].request, std::vector<std::uint8_t>(3, 0x77));
    EXPECT_EQ(requests[0].input.size(), wire::kTaSendInputSize);
    EXPECT_EQ(requests[0].link, sim::TaServiceModel::kDefaultLink);
    EXPECT_TRUE(requests[1].request.empty());
    EXPECT_EQ(requests[1].input.size(), 8U);
    EXPECT_EQ(requests[1].status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(requests[1].behaviour.has_value());
    ExFreePoolWithTag(request, kTag);
    ExFreePoolWithTag(response, kTag);
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

TEST(FaultInjectorReuse, OneNameFromTwoAddressesIsOneOperation)
{
    sim::Platform platform;
    sim::FaultInjector& faults = platform.Faults();
    // Two buffers with the same text: the injector knows a name by its address after the first
    // call, and must still count both as the one operation.
    const std::string one = "ExAllocatePool2";
    const std::string two(one.begin(), one.end()); // its own buffer, at another address
    faults.FailNth("ExAllocatePool2", 2);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(faults.Check(one.c_str(), STATUS_INSUFFICIENT_RESOURCES, &status));
    EXPECT_TRUE(faults.Check(two.c_str(), STATUS_INSUFFICIENT_RESOURCES, &status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(faults.Count("ExAllocatePool2"), 2U);
    EXPECT_EQ(faults.CallLog(), (std::vector<std::string>{"ExAllocatePool2", "ExAllocatePool2"}));
}

TEST(LeafLock, ExcludesConcurrentHolders)
{
    sim::LeafLock lock;
    std::uint64_t counter = 0; // plain: only the lock orders the increments
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard guard(lock);
                counter = counter + 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
    EXPECT_TRUE(lock.try_lock());
    EXPECT_FALSE(lock.try_lock());
    lock.unlock();
}

} // namespace
