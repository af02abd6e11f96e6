// The host platform's own rules: pool, verifier, fault injection, virtual time.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <thread>

#include "platform/pool.h"
#include "platform/rundown.h"
#include "sim/platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define POOL_GUARDS_POISONED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOL_GUARDS_POISONED 1
#endif
#endif
#ifdef POOL_GUARDS_POISONED
#include <sanitizer/asan_interface.h>
#endif

namespace {

constexpr ULONG kTag = 'T' | ('E' << 8) | ('S' << 16) | ('T' << 24);

// Under AddressSanitizer a write past a block faults by itself (see the death test below); the
// overrun case is about what the pool finds when the block is freed, so it lifts that first.
void AllowTheOverrun(unsigned char* guardByte)
{
#ifdef POOL_GUARDS_POISONED
    ASAN_UNPOISON_MEMORY_REGION(guardByte, 1);
#else
    (void)guardByte;
#endif
}

TEST(PoolModel, ZeroFillsTracksAndFrees)
{
    sim::Platform platform;
    auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED, 64, kTag));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(p[i], 0);
    }
    EXPECT_EQ(platform.Pool().LiveBytes(), 64U);
    ExFreePoolWithTag(p, 0);
    EXPECT_EQ(platform.Pool().LiveCount(), 0U);
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

struct PoolMisuse {
    const char* name;
    void (*misuse)();
    const char* expected;
};

class PoolMisuseTest : public testing::TestWithParam<PoolMisuse> {};

TEST_P(PoolMisuseTest, IsRecorded)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    GetParam().misuse();
    auto records = platform.Verifier().Records();
    ASSERT_EQ(records.size(), 1U) << platform.Verifier().Describe();
    EXPECT_NE(records[0].message.find(GetParam().expected), std::string::npos) << records[0].message;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PoolMisuseTest,
    testing::Values(PoolMisuse{"ZeroBytes", [] { EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED, 0, kTag), nullptr); },
                               "zero-byte"},
                    PoolMisuse{"DoubleFree",
                               [] {
                                   void* p = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
                                   ExFreePoolWithTag(p, 0);
                                   ExFreePoolWithTag(p, 0);
                               },
                               "twice"},
                    PoolMisuse{"UnknownPointer",
                               [] {
                                   int local = 0;
                                   ExFreePoolWithTag(&local, 0);
                               },
                               "does not own"},
                    PoolMisuse{"WrongTag",
                               [] {
                                   void* p = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
                                   ExFreePoolWithTag(p, kTag + 1);
                               },
                               "wrong tag"},
                    PoolMisuse{"Overrun",
                               [] {
                                   auto* p = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag));
                                   AllowTheOverrun(p + 8);
                                   p[8] = 1;
                                   ExFreePoolWithTag(p, 0);
                               },
                               "outside"},
                    PoolMisuse{"Leak",
                               [] {
                                   (void)ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
                                   sim::Platform::Current().Pool().ReportLeaks("unload");
                               },
                               "leaked"}),
    [](const testing::TestParamInfo<PoolMisuse>& param) { return std::string(param.param.name); });

TEST(FaultInjector, FailsNthAndOnwardsAndCounts)
{
    sim::Platform platform;
    platform.Faults().FailNth("ExAllocatePool2", 2);
    void* a = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
    void* b = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
    void* c = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    platform.Faults().FailFrom("ExAllocatePool2", 4);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag), nullptr);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag), nullptr);
    EXPECT_EQ(platform.Faults().Count("ExAllocatePool2"), 5U);
    ExFreePoolWithTag(a, 0);
    ExFreePoolWithTag(c, 0);
}

TEST(Scheduler, AutoAdvanceJumpsToTheNextDeadlineWhenAllAreIdle)
{
    sim::Platform platform;
    auto& sched = platform.Sched();
    std::unique_lock lock(sched.Mutex());
    std::function<bool()> never = [] { return false; };
    EXPECT_FALSE(sched.WaitUntil(lock, never, 5 * sim::kTicksPerSecond));
    lock.unlock();
    EXPECT_EQ(sched.Now(), 5 * sim::kTicksPerSecond);
}

TEST(Rundown, WaitBlocksUntilEveryGrantIsReleased)
{
    sim::Platform platform;
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    auto* token = platform.Sched().ReserveThread("releaser");
    std::thread releaser([&] {
        platform.Sched().AdoptReservation(token);
        std::unique_lock lock(platform.Sched().Mutex());
        std::function<bool()> never = [] { return false; };
        platform.Sched().WaitUntil(lock, never, sim::kTicksPerSecond);
        lock.unlock();
        ExReleaseRundownProtection(&ref);
        platform.Sched().UnregisterCurrentThread();
    });
    ExWaitForRundownProtectionRelease(&ref);
    EXPECT_EQ(platform.Sched().Now(), sim::kTicksPerSecond);
    EXPECT_FALSE(ExAcquireRundownProtection(&ref));
    releaser.join();
    ExReInitializeRundownProtection(&ref);
    EXPECT_TRUE(ExAcquireRundownProtection(&ref));
    ExReleaseRundownProtection(&ref);
    EXPECT_TRUE(platform.Verifier().Clean());
}

// ---- What the pool records for a debugger ----

TEST(PoolModel, CountsFreesByTheTagTheyPass)
{
    sim::Platform platform;
    void* a = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
    void* b = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
    void* c = ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag);
    ExFreePoolWithTag(a, 0);
    ExFreePoolWithTag(b, kTag);
    ExFreePoolWithTag(c, 0);
    const std::map<std::uint32_t, std::uint64_t> expected = {{0U, 2U}, {kTag, 1U}};
    EXPECT_EQ(platform.Pool().FreesByTagPassed(), expected);
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

#ifdef POOL_GUARDS_POISONED
// Under AddressSanitizer the bytes around a block are poisoned, so even a read one byte past the
// end faults at once, as it would in special pool.
TEST(PoolModelDeathTest, ReadPastABlockFaultsUnderAddressSanitizer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::Platform platform;
            auto* p = static_cast<volatile unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED, 8, kTag));
            std::printf("%d\n", p[8]);
        },
        "use-after-poison");
}
#endif

} // namespace
