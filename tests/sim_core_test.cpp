// The host platform's own rules: pool, verifier, fault injection, virtual time.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <thread>

#include "platform/pool.h"
#include "platform/rundown.h"
#include "sim/kernel.h"
#include "sim/platform.h"

#include "support/pool_guards.h"

namespace {

constexpr ULONG kTag = 'T' | ('E' << 8) | ('S' << 16) | ('T' << 24);

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

// The kernel grants pool while memory lasts; the model's capacity stands for that memory, and a
// request that does not fit beside what is live gets NULL.
TEST(PoolModel, GrantsWhileCapacityLastsThenReturnsNull)
{
    sim::Platform platform;
    EXPECT_EQ(platform.Pool().Capacity(), sim::PoolModel::kDefaultCapacity);
    void* large = ExAllocatePool2(POOL_FLAG_PAGED, SIZE_T{100} << 20, kTag);
    EXPECT_NE(large, nullptr) << "a 100 MiB request fits a machine's pool";
    ExFreePoolWithTag(large, 0);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED, SIZE_T{4} << 30, kTag), nullptr);

    platform.Pool().SetCapacity(SIZE_T{1} << 20);
    void* first = ExAllocatePool2(POOL_FLAG_PAGED, 600 << 10, kTag);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ExAllocatePool2(POOL_FLAG_PAGED, 600 << 10, kTag), nullptr) << "the two together exceed the capacity";
    void* small = ExAllocatePool2(POOL_FLAG_NON_PAGED, 400 << 10, kTag);
    EXPECT_NE(small, nullptr);
    EXPECT_EQ(platform.Pool().LiveBytes(), std::size_t{1000} << 10);
    ExFreePoolWithTag(first, 0);
    void* again = ExAllocatePool2(POOL_FLAG_PAGED, 600 << 10, kTag);
    EXPECT_NE(again, nullptr) << "freed memory is available again";
    ExFreePoolWithTag(again, 0);
    ExFreePoolWithTag(small, 0);
    EXPECT_EQ(platform.Pool().LiveBytes(), 0U);
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

struct PoolTypeCase {
    const char* name;
    POOL_FLAGS flags;
    bool granted;
};

class PoolTypeTest : public testing::TestWithParam<PoolTypeCase> {};

TEST_P(PoolTypeTest, ExactlyOnePoolTypeIsGranted)
{
    sim::Platform platform;
    void* p = ExAllocatePool2(GetParam().flags, 16, kTag);
    EXPECT_EQ(p != nullptr, GetParam().granted);
    if (p != nullptr) {
        ExFreePoolWithTag(p, 0);
    }
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PoolTypeTest,
    testing::Values(PoolTypeCase{"Paged", POOL_FLAG_PAGED, true}, PoolTypeCase{"NonPaged", POOL_FLAG_NON_PAGED, true},
                    PoolTypeCase{"NonPagedExecute", POOL_FLAG_NON_PAGED_EXECUTE, true},
                    PoolTypeCase{"PagedAndNonPaged", POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED, false},
                    PoolTypeCase{"NonPagedAndExecute", POOL_FLAG_NON_PAGED | POOL_FLAG_NON_PAGED_EXECUTE, false},
                    PoolTypeCase{"PagedAndExecute", POOL_FLAG_PAGED | POOL_FLAG_NON_PAGED_EXECUTE, false},
                    PoolTypeCase{"NoType", POOL_FLAG_UNINITIALIZED, false}),
    [](const testing::TestParamInfo<PoolTypeCase>& param) { return std::string(param.param.name); });

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
                                   fwtest::AllowPoolOverrun(p + 8);
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

// The kernel keeps its one waiter's wait block in the reference; a second thread waiting at the
// same time is a driver bug the model reports (and lets wait, so the host stays sound). A wait
// after run-down has completed is fine.
TEST(Rundown, ASecondConcurrentWaiterIsFlagged)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    EX_RUNDOWN_REF ref;
    ExInitializeRundownProtection(&ref);
    ASSERT_TRUE(ExAcquireRundownProtection(&ref));
    {
        sim::SimThread first(platform, "first waiter", [&] { ExWaitForRundownProtectionRelease(&ref); });
        sim::SimThread second(platform, "second waiter", [&] { ExWaitForRundownProtectionRelease(&ref); });
        {
            // Both waiters block; the clock reaches one second only once they have.
            std::unique_lock lock(platform.Sched().Mutex());
            std::function<bool()> never = [] { return false; };
            platform.Sched().WaitUntil(lock, never, sim::kTicksPerSecond);
        }
        ExReleaseRundownProtection(&ref);
        first.Join();
        second.Join();
    }
    auto records = platform.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].operation, "ExWaitForRundownProtectionRelease");
    EXPECT_NE(records[0].message.find("one waiter"), std::string::npos) << records[0].message;

    ExWaitForRundownProtectionRelease(&ref); // after completion: returns at once, no record
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
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

#ifdef FWTEST_POOL_GUARDS_POISONED
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

// A block lies at its placement's alignment, not at the start of its memory: the bytes before
// it, beyond its guard, fault too.
TEST(PoolModelDeathTest, ReadWellBeforeABlockFaultsUnderAddressSanitizer)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::Platform platform;
            auto* p = static_cast<volatile unsigned char*>(ExAllocatePool2(POOL_FLAG_PAGED, 100, kTag));
            std::printf("%d\n", p[-40]);
        },
        "use-after-poison");
}
#endif

} // namespace
