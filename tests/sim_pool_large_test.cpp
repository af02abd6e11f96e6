// Pool blocks large enough to get a mapping of their own keep every rule of the pool: zero-fill,
// guard bytes, double-free and wrong-tag detection, and nothing left after free. Small blocks
// are compared alongside, so the two ways of providing memory cannot drift apart.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "platform/pool.h"
#include "sim/platform.h"
#include "sim/special_pool.h"
#include "support/pool_guards.h"

namespace {

constexpr ULONG kTag = 'L' | ('A' << 8) | ('R' << 16) | ('G' << 24);

class PoolSizeTest : public testing::TestWithParam<std::size_t> {};

TEST_P(PoolSizeTest, ZeroFilledAlignedAndReturned)
{
    sim::Platform platform;
    const std::size_t size = GetParam();
    auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED, size, kTag));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0U);
    for (std::size_t i : {std::size_t{0}, size / 2, size - 1}) {
        EXPECT_EQ(p[i], 0) << "byte " << i;
    }
    p[0] = 1;
    p[size - 1] = 1; // the last byte is the block's own
    EXPECT_EQ(platform.Pool().LiveBytes(), size);
    ExFreePoolWithTag(p, kTag);
    EXPECT_EQ(platform.Pool().LiveCount(), 0U);
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

TEST_P(PoolSizeTest, WriteJustPastTheEndIsFoundAtFree)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    const std::size_t size = GetParam();
    auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED, size, kTag));
    ASSERT_NE(p, nullptr);
    fwtest::AllowPoolOverrun(p + size);
    p[size] = 0x42; // one byte into the guard
    ExFreePoolWithTag(p, 0);
    ASSERT_EQ(platform.Verifier().Records().size(), 1U);
    EXPECT_NE(platform.Verifier().Records()[0].message.find("write outside"), std::string::npos);
}

TEST_P(PoolSizeTest, SecondFreeIsADoubleFree)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    void* p = ExAllocatePool2(POOL_FLAG_PAGED, GetParam(), kTag);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, 0);
    ExFreePoolWithTag(p, 0);
    ASSERT_EQ(platform.Verifier().Records().size(), 1U);
    EXPECT_NE(platform.Verifier().Records()[0].message.find("freed twice"), std::string::npos);
}

// A block of a page or more starts a page; a smaller one lies within a page. Several blocks of
// each size are live at once, so that a placement which only happens to hold cannot pass.
TEST_P(PoolSizeTest, PlacedAsTheKernelPoolPlacesIt)
{
    sim::Platform platform;
    const std::size_t size = GetParam();
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    std::vector<void*> blocks;
    for (int i = 0; i < 8; ++i) {
        void* p = ExAllocatePool2(POOL_FLAG_PAGED, size, kTag);
        ASSERT_NE(p, nullptr);
        blocks.push_back(p);
        const auto address = reinterpret_cast<std::uintptr_t>(p);
        if (size >= page) {
            EXPECT_EQ(address % page, 0U) << size << " bytes at " << p;
        } else {
            EXPECT_LE(address % page + size, page) << size << " bytes at " << p << " cross a page";
        }
    }
    for (void* p : blocks) {
        ExFreePoolWithTag(p, kTag);
    }
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

// A write that lands past the guard bytes but still within the block's last page is found too.
TEST(PoolLarge, WriteInTheRestOfAMappedBlocksLastPageIsFoundAtFree)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    const std::size_t size = (std::size_t{1} << 20) + 3;
    auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED, size, kTag));
    ASSERT_NE(p, nullptr);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    unsigned char* last = p + (size + page - 1) / page * page - 1; // the last byte of its last page
    fwtest::AllowPoolOverrun(last);
    *last = 0x42;
    ExFreePoolWithTag(p, 0);
    ASSERT_EQ(platform.Verifier().Records().size(), 1U);
    EXPECT_NE(platform.Verifier().Records()[0].message.find("write outside"), std::string::npos);
}

// Either side of the size from which blocks are mapped, and the largest the pool provides.
INSTANTIATE_TEST_SUITE_P(Sizes, PoolSizeTest,
                         testing::Values(std::size_t{1}, std::size_t{17}, std::size_t{100}, std::size_t{4095},
                                         std::size_t{4096}, std::size_t{4097}, std::size_t{16408},
                                         std::size_t{256 << 10} - 1, std::size_t{256 << 10}, std::size_t{1 << 20} + 3,
                                         std::size_t{64} << 20),
                         testing::PrintToStringParamName());

TEST(PoolLarge, UninitializedBlocksCarryTheirPatternAtEverySize)
{
    sim::Platform platform;
    for (std::size_t size : {std::size_t{100}, std::size_t{300} << 10}) {
        auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED | POOL_FLAG_UNINITIALIZED, size, kTag));
        ASSERT_NE(p, nullptr);
        EXPECT_NE(p[0], 0);
        EXPECT_NE(p[size - 1], 0);
        ExFreePoolWithTag(p, 0);
    }
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

// Special pool, where an image run's blocks lie: each ends at most 15 bytes before an
// inaccessible page, and stays inaccessible for a while once freed, so that code no sanitizer
// watches faults at once, and the run ends with a report naming the block.
class SpecialPoolTest : public testing::Test {
protected:
    void SetUp() override
    {
        auto special = sim::MakeSpecialPool();
        ASSERT_NE(special, nullptr);
        platform.Pool().PlaceWith(std::move(special));
        platform.Verifier().SetEcho(false);
    }
    sim::Platform platform;
};

TEST_F(SpecialPoolTest, EachBlockEndsAtItsGuardPageFilledAsAsked)
{
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t size :
         {std::size_t{1}, std::size_t{17}, std::size_t{4096}, std::size_t{16408}, (std::size_t{1} << 20) + 3}) {
        for (POOL_FLAGS flags : {POOL_FLAG_NON_PAGED, POOL_FLAG_NON_PAGED | POOL_FLAG_UNINITIALIZED}) {
            auto* p = static_cast<unsigned char*>(ExAllocatePool2(flags, size, kTag));
            ASSERT_NE(p, nullptr);
            const auto address = reinterpret_cast<std::uintptr_t>(p);
            EXPECT_EQ(address % 16, 0U) << size;
            EXPECT_EQ((address + size + 15) / 16 * 16 % page, 0U) << size << " bytes do not end at a page";
            // Zero-filled, or the pattern of uninitialised pool throughout.
            const bool uninitialized = (flags & POOL_FLAG_UNINITIALIZED) != 0;
            EXPECT_EQ(p[0] != 0, uninitialized) << size;
            EXPECT_EQ(p[size - 1], p[0]) << size;
            p[size - 1] = 1;
            ExFreePoolWithTag(p, kTag);
        }
    }
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

// Writes that land in the block's pages but outside it cannot fault; the pattern there is
// checked when the block is freed.
TEST_F(SpecialPoolTest, WriteBesideTheBlockWithinItsPagesIsFoundAtFree)
{
    for (auto [size, offset, message] : {std::tuple<std::size_t, std::ptrdiff_t, const char*>{
                                             17, 17, "past the end of the 17-byte block, into the 15 bytes"},
                                         {16408, 16415, "past the end of the 16408-byte block, into the 8 bytes"},
                                         {100, -1, "before the 100-byte block"}}) {
        auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTag));
        ASSERT_NE(p, nullptr);
        p[offset] = 0x42;
        ExFreePoolWithTag(p, kTag);
        ASSERT_EQ(platform.Verifier().Records().size(), 1U) << size;
        EXPECT_NE(platform.Verifier().Records()[0].message.find(message), std::string::npos)
            << platform.Verifier().Describe();
        EXPECT_EQ(platform.Verifier().Records()[0].tag, kTag);
        platform.Verifier().Clear();
    }
}

// Each block goes back to the placement it came from: one allocated before an image chose
// special pool is freed into the host's memory, and a second free of a special pool block is
// found from the books without touching its pages.
TEST(SpecialPool, BlocksGoBackWhereTheyCameFromAndADoubleFreeIsFound)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    void* before = ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTag);
    ASSERT_NE(before, nullptr);
    platform.Pool().PlaceWith(sim::MakeSpecialPool());
    EXPECT_EQ(platform.Pool().Placement(), sim::PlacementKind::SpecialPool);
    void* after = ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTag);
    ASSERT_NE(after, nullptr);
    ExFreePoolWithTag(before, kTag);
    ExFreePoolWithTag(after, kTag);
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    ExFreePoolWithTag(after, kTag);
    ASSERT_EQ(platform.Verifier().Records().size(), 1U);
    EXPECT_NE(platform.Verifier().Records()[0].message.find("freed twice"), std::string::npos);
}

// A freed block's pages come back once as many blocks were freed after it as the quarantine
// holds, reading as zero again.
TEST_F(SpecialPoolTest, FreedPagesAreReusedOnceTheQuarantineHasMovedOn)
{
    auto* first = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    ASSERT_NE(first, nullptr);
    first[0] = 1;
    ExFreePoolWithTag(first, kTag);
    for (std::size_t i = 0; i < sim::kSpecialPoolQuarantineBlocks; ++i) {
        void* p = ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag);
        ASSERT_NE(p, first) << "reused while still in quarantine, after " << i << " frees";
        ExFreePoolWithTag(p, kTag);
    }
    auto* again = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 64, kTag));
    EXPECT_EQ(again, first);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again[0], 0);
    ExFreePoolWithTag(again, kTag);
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

struct StrayAccess {
    const char* name;
    std::size_t size;
    void (*touch)(volatile unsigned char* p, std::size_t size);
    const char* report;
};

class SpecialPoolFaultTest : public testing::TestWithParam<StrayAccess> {};

TEST_P(SpecialPoolFaultTest, FaultsAtOnceWithAReportNamingTheBlock)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::Platform platform;
            platform.Pool().PlaceWith(sim::MakeSpecialPool());
            auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, GetParam().size, kTag));
            GetParam().touch(p, GetParam().size);
        },
        GetParam().report);
}

INSTANTIATE_TEST_SUITE_P(
    Accesses, SpecialPoolFaultTest,
    testing::Values(StrayAccess{"ReadJustPastTheEnd", 16, [](volatile unsigned char* p, std::size_t n) { (void)p[n]; },
                                "special pool: overrun \\(read\\) at .* by host code .*: 16-byte block at 0x[0-9a-f]+, "
                                "tag 'LARG', 0 bytes past its end"},
                    StrayAccess{"WritePastTheSlack", 17, [](volatile unsigned char* p, std::size_t) { p[32] = 1; },
                                "overrun \\(write\\).*17-byte block.*tag 'LARG', 15 bytes past its end"},
                    StrayAccess{"WritePastALargeBlock", 16408,
                                [](volatile unsigned char* p, std::size_t n) { p[n + 8] = 1; },
                                "overrun \\(write\\).*16408-byte block.*tag 'LARG', 8 bytes past its end"},
                    StrayAccess{"ReadAfterFree", 100,
                                [](volatile unsigned char* p, std::size_t) {
                                    ExFreePoolWithTag(const_cast<unsigned char*>(p), kTag);
                                    (void)p[5];
                                },
                                "use after free \\(read\\).*100-byte block.*tag 'LARG', at offset 5"},
                    StrayAccess{"WriteAfterFreeOfALargeBlock", std::size_t{1} << 20,
                                [](volatile unsigned char* p, std::size_t n) {
                                    ExFreePoolWithTag(const_cast<unsigned char*>(p), kTag);
                                    p[n - 1] = 1;
                                },
                                "use after free \\(write\\).*1048576-byte block.*tag 'LARG', at offset 1048575"},
                    // Out of the quarantine and not handed out again (the later blocks need more
                    // pages than it has): still inaccessible.
                    StrayAccess{"ReadLongAfterFree", 64,
                                [](volatile unsigned char* p, std::size_t) {
                                    ExFreePoolWithTag(const_cast<unsigned char*>(p), kTag);
                                    for (std::size_t i = 0; i < sim::kSpecialPoolQuarantineBlocks; ++i) {
                                        ExFreePoolWithTag(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8192, kTag), kTag);
                                    }
                                    (void)p[0];
                                },
                                "access to pool pages freed earlier and given back \\(read\\)"}),
    [](const testing::TestParamInfo<StrayAccess>& access) { return std::string(access.param.name); });

} // namespace
