// Pool blocks large enough to get a mapping of their own keep every rule of the pool: zero-fill,
// guard bytes, double-free and wrong-tag detection, and nothing left after free. Small blocks
// are compared alongside, so the two ways of providing memory cannot drift apart.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include <unistd.h>

#include "platform/pool.h"
#include "sim/platform.h"
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

} // namespace
