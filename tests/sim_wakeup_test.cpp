// The scheduler's wake-ups arrive when the state changes, not at the next safety-net poll.
//
// A wait that only ends at the poll costs 50 ms of real time; each case below hands control back
// and forth many times and must finish in a fraction of what polling would take, so a lost or
// misdirected notification fails it rather than only slowing the suite down.
#include <gtest/gtest.h>

#include <atomic>
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

    // How a PingPong() wakes its partner and waits for the answer.
    enum class Wake {
        // Both sides wait in WaitUntil() and wake each other with Notify().
        Notify,
        // The partner waits in WaitUntil() and is woken by Notify(); this thread waits for the
        // answer outside the scheduler. A thread that blocks in WaitUntil() wakes every waiter
        // whose test holds, which would wake the partner even if the notification had not.
        NotifyAlone,
        // As NotifyAlone, but the partner waits in WaitForSignal() and is woken by Signal().
        SignalAlone,
    };

    // kRounds exchanges with a partner thread: this thread sets `ping` and wakes the partner,
    // which answers.
    void PingPong(Wake wake)
    {
        int ping = 0;
        int pong = 0;
        std::atomic<int> answered{0};
        sim::SimThread partner(platform, "partner", [&] {
            for (int round = 1; round <= kRounds; ++round) {
                if (wake == Wake::SignalAlone) {
                    std::unique_lock lock(sched.Mutex());
                    sched.WaitForSignal(lock, [&] { return ping == round; });
                } else {
                    WaitFor(ping, round);
                }
                if (wake == Wake::Notify) {
                    Set(pong, round);
                } else {
                    answered = round;
                }
            }
        });
        for (int round = 1; round <= kRounds; ++round) {
            {
                std::lock_guard lock(sched.Mutex());
                ping = round;
            }
            if (wake == Wake::SignalAlone) {
                sched.Signal();
            } else {
                sched.Notify();
            }
            if (wake == Wake::Notify) {
                WaitFor(pong, round);
            } else {
                while (answered.load() != round) {
                    std::this_thread::yield();
                }
            }
        }
        partner.Join();
    }

    sim::Platform platform;
    sim::Scheduler& sched = platform.Sched();
};

TEST_F(WakeupTest, PingPongBetweenTwoThreadsNeverWaitsForThePoll)
{
    const auto start = Clock::now();
    PingPong(Wake::Notify);
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
    // A signal that failed to reach its waiter would leave it to the poll.
    const auto start = Clock::now();
    PingPong(Wake::SignalAlone);
    EXPECT_LT(Clock::now() - start, kBudget);
}

TEST_F(WakeupTest, AThreadInWaitUntilIsWokenByANotificationAlone)
{
    // The platform's idle WMI and PnP threads wait for a signal, so each Notify() here finds
    // only the partner counted; a notification passed by wrongly would leave it to the poll.
    const auto start = Clock::now();
    PingPong(Wake::NotifyAlone);
    EXPECT_LT(Clock::now() - start, kBudget);
}

TEST_F(WakeupTest, AnUnregisteredThreadWaitingForASignalIsWokenByNotify)
{
    // A thread the scheduler does not know waits on the shared condition variable, which a
    // Notify() reaches only while some waiter is counted: such a wait must count itself.
    int flag = 0;
    bool looked = false;
    bool woken = false;
    std::thread outsider([&] {
        std::unique_lock lock(sched.Mutex());
        sched.WaitForSignal(lock, [&] {
            looked = true;
            return flag == 1;
        });
        woken = true;
    });
    // The outsider looks at its test and goes to sleep under the mutex without letting go of
    // it: once this thread holds the mutex after the first look, the outsider is asleep.
    for (;;) {
        {
            std::lock_guard lock(sched.Mutex());
            if (looked) {
                break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto start = Clock::now();
    Set(flag, 1);
    outsider.join();
    EXPECT_TRUE(woken);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(45)) << "woken by the poll, not the notification";
}

// A thread's own wake-up keeps a post until the thread looks: a post given after the thread let
// go of the mutex but before it slept must end that sleep at once, or a hand-over made after
// releasing the mutex would be lost until the poll.
TEST(Wakeup, APostGivenBeforeTheSleepEndsItAtOnceAndIsUsedOnce)
{
    std::mutex mutex;
    std::unique_lock lock(mutex);
    sim::Wakeup self;
    sim::Wakeup other;
    self.Post();
    auto start = Clock::now();
    self.Wait(lock, std::chrono::seconds(5), &other);
    EXPECT_LT(Clock::now() - start, kBudget);
    EXPECT_TRUE(lock.owns_lock());
    // The hand-over posted `other` before this thread slept: its wait ends at once as well.
    start = Clock::now();
    other.Wait(lock, std::chrono::seconds(5), nullptr);
    EXPECT_LT(Clock::now() - start, kBudget);
    // Each post ends one wait: with none left, the next wait runs to its timeout.
    start = Clock::now();
    self.Wait(lock, std::chrono::milliseconds(20), nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

} // namespace
