// The scheduler's wake-ups arrive when the state changes, not at the next safety-net poll.
//
// A wait that only ends at the poll costs 50 ms of real time; each case below hands control back
// and forth many times and must finish in a fraction of what polling would take, so a lost or
// misdirected notification fails it rather than only slowing the suite down.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "sim/kernel.h"
#include "sim/platform.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 40;
// Polling would need kRounds x 50 ms = 2 s; notifications need microseconds per round.
constexpr auto kBudget = std::chrono::milliseconds(500);

class WakeupTest : public testing::Test {
protected:
    // Sets `flag` under the scheduler mutex and notifies, as the models do.
    void Set(int& flag, int value)
    {
        {
            std::lock_guard lock(sched.Mutex());
            flag = value;
        }
        sched.Notify();
    }
    void WaitFor(int& flag, int value)
    {
        std::unique_lock lock(sched.Mutex());
        ASSERT_TRUE(sched.WaitUntil(
            lock, [&] { return flag == value; }, sched.Now() + sim::kTicksPerSecond));
    }

    sim::Platform platform;
    sim::Scheduler& sched = platform.Sched();
};

TEST_F(WakeupTest, PingPongBetweenTwoThreadsNeverWaitsForThePoll)
{
    int ping = 0;
    int pong = 0;
    const auto start = Clock::now();
    sim::SimThread partner(platform, "partner", [&] {
        for (int round = 1; round <= kRounds; ++round) {
            WaitFor(ping, round);
            Set(pong, round);
        }
    });
    for (int round = 1; round <= kRounds; ++round) {
        Set(ping, round);
        WaitFor(pong, round);
    }
    partner.Join();
    EXPECT_LT(Clock::now() - start, kBudget);
    EXPECT_EQ(sched.Now(), 0) << "nobody was idle long enough for the clock to move";
}

TEST_F(WakeupTest, SettleReturnsAsSoonAsTheLastThreadBlocks)
{
    // The partner does one step per request and then blocks: the settler must learn of the
    // block itself, which no state change of the partner's announces.
    int request = 0;
    int done = 0;
    sim::SimThread partner(platform, "partner", [&] {
        for (int round = 1; round <= kRounds; ++round) {
            WaitFor(request, round);
            std::lock_guard lock(sched.Mutex());
            done = round;
        }
    });
    const auto start = Clock::now();
    for (int round = 1; round <= kRounds; ++round) {
        Set(request, round);
        sched.Settle();
        std::lock_guard lock(sched.Mutex());
        ASSERT_EQ(done, round) << "Settle returned before the partner had blocked again";
    }
    EXPECT_LT(Clock::now() - start, kBudget);
    partner.Join();
}

TEST_F(WakeupTest, AThreadEndingWakesTheThreadsThatJoinIt)
{
    const auto start = Clock::now();
    for (int round = 0; round < kRounds; ++round) {
        sim::SimThread quick(platform, "quick", [] {});
        quick.Join();
    }
    EXPECT_LT(Clock::now() - start, kBudget);
}

TEST_F(WakeupTest, AClockMoveWakesEveryDeadlineThatItReaches)
{
    // Two sleepers with different deadlines: each wakes at its own virtual time, promptly.
    std::vector<sim::Ticks> woke(2, -1);
    const auto start = Clock::now();
    {
        sim::SimThread early(platform, "early", [&] {
            std::unique_lock lock(sched.Mutex());
            sched.WaitUntil(
                lock, [] { return false; }, 10);
            woke[0] = sched.Now();
        });
        sim::SimThread late(platform, "late", [&] {
            std::unique_lock lock(sched.Mutex());
            sched.WaitUntil(
                lock, [] { return false; }, 20);
            woke[1] = sched.Now();
        });
        early.Join();
        late.Join();
    }
    EXPECT_EQ(woke[0], 10);
    EXPECT_EQ(woke[1], 20);
    EXPECT_LT(Clock::now() - start, kBudget);
}

TEST_F(WakeupTest, AThreadWaitingForASignalIsWokenBySignal)
{
    // The platform's idle WMI and PnP threads wait for a signal, so every Notify() below finds
    // only the other side of the exchange counted; a notification passed by wrongly, or a signal
    // that failed to reach its waiter, would fall back on the poll.
    int request = 0;
    int done = 0;
    const auto start = Clock::now();
    sim::SimThread partner(platform, "partner", [&] {
        for (int round = 1; round <= kRounds; ++round) {
            {
                std::unique_lock lock(sched.Mutex());
                sched.WaitForSignal(lock, [&] { return request == round; });
            }
            Set(done, round);
        }
    });
    for (int round = 1; round <= kRounds; ++round) {
        {
            std::lock_guard lock(sched.Mutex());
            request = round;
        }
        sched.Signal();
        WaitFor(done, round);
    }
    partner.Join();
    EXPECT_LT(Clock::now() - start, kBudget);
}

TEST_F(WakeupTest, AnUnregisteredThreadWaitingForASignalIsWokenByNotify)
{
    // A thread the scheduler does not know waits on the shared condition variable, which a
    // Notify() reaches only while some waiter is counted: such a wait must count itself.
    int flag = 0;
    bool woken = false;
    const auto start = Clock::now();
    std::thread outsider([&] {
        std::unique_lock lock(sched.Mutex());
        sched.WaitForSignal(lock, [&] { return flag == 1; });
        woken = true;
    });
    // Long enough for the outsider to block in most runs; the check holds either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Set(flag, 1);
    outsider.join();
    EXPECT_TRUE(woken);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(45)) << "woken by the poll, not the notification";
}

} // namespace
