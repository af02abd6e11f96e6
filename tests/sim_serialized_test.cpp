// The scheduler's serialized mode, which fwrelay-sim runs in: one registered thread at a time,
// handed over at blocking points in a fixed order, so that the same simulation makes the same
// steps in the same order on every run.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/scheduler.h"

namespace {

struct Steps {
    std::vector<std::string> order; // "thread:step" in the order the steps ran
    int mostAtOnce = 0;             // most threads seen running a step together
    sim::Ticks end = 0;
};

// Four threads each take `steps` steps, sleeping one virtual tick (or waiting for a neighbour's
// step) between steps, so that at every virtual time several of them are ready together.
Steps RunWorkers(bool serialized, int steps)
{
    sim::Scheduler scheduler;
    sim::ThreadRegistration test(scheduler, "test");
    if (serialized) {
        scheduler.SetSerialized();
    }
    Steps run;
    std::mutex recordMutex;
    std::atomic<int> running{0};
    int finished = 0; // under the scheduler mutex
    int handoffs = 0; // under the scheduler mutex: thread 0 hands one to thread 1 per step
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        sim::Scheduler::ThreadState* token = scheduler.ReserveThread("worker " + std::to_string(t));
        threads.emplace_back([&, t, token] {
            scheduler.AdoptReservation(token);
            for (int step = 0; step < steps; ++step) {
                const int now = ++running;
                {
                    std::lock_guard lock(recordMutex);
                    run.order.push_back(std::to_string(t) + ":" + std::to_string(step));
                    run.mostAtOnce = std::max(run.mostAtOnce, now);
                }
                // A little real work, so that unserialized threads would overlap.
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                --running;
                std::unique_lock lock(scheduler.Mutex());
                if (t == 0) {
                    ++handoffs;
                    scheduler.NotifyLocked();
                }
                if (t == 1) {
                    scheduler.WaitUntil(lock, [&handoffs, step] { return handoffs > step; });
                } else {
                    scheduler.WaitUntil(
                        lock, [] { return false; }, scheduler.Now() + 1);
                }
            }
            {
                std::lock_guard lock(scheduler.Mutex());
                ++finished;
                scheduler.NotifyLocked();
            }
            scheduler.UnregisterCurrentThread();
        });
    }
    {
        std::unique_lock lock(scheduler.Mutex());
        EXPECT_TRUE(scheduler.WaitUntil(
            lock, [&finished] { return finished == kThreads; }, 10'000));
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    run.end = scheduler.Now();
    return run;
}

TEST(SerializedScheduler, OneThreadAtATimeInTheSameOrderEveryRun)
{
    const Steps first = RunWorkers(true, 40);
    ASSERT_EQ(first.order.size(), 4U * 40U);
    EXPECT_EQ(first.mostAtOnce, 1);
    // Virtual time still moves by the same rule: one tick per step of the sleeping threads.
    EXPECT_EQ(first.end, 40);
    for (int repeat = 0; repeat < 15; ++repeat) {
        const Steps again = RunWorkers(true, 40);
        EXPECT_EQ(again.mostAtOnce, 1);
        ASSERT_EQ(again.order, first.order) << "run " << repeat << " took its steps in another order";
    }
}

TEST(SerializedScheduler, UnserializedModeTakesTheSameStepsOnTheSameClock)
{
    // The default stays truly concurrent, which the stress tests rely on; the steps taken and
    // the clock are the same, only their order may differ.
    const Steps run = RunWorkers(false, 40);
    EXPECT_EQ(run.order.size(), 4U * 40U);
    EXPECT_EQ(run.end, 40);
    // Four threads released together at each of 40 ticks, each sleeping 50 us in its step: a
    // scheduler that ran them one at a time would never see two steps at once.
    EXPECT_GT(run.mostAtOnce, 1);
}

TEST(SerializedScheduler, ClockMovesWakeOnlyTheTokenHolder)
{
    // A thread waiting for something that does not come stays asleep while the token's holder
    // moves the clock: waking it would only send it back to sleep, two trips through the kernel
    // each time. It still wakes at the safety-net poll, a few times at most in this run.
    sim::Scheduler scheduler;
    sim::ThreadRegistration test(scheduler, "test");
    scheduler.SetSerialized();
    bool done = false;     // under the scheduler mutex
    bool finished = false; // under the scheduler mutex
    long switches = 0;     // the waiter's voluntary context switches while it waited
    sim::Scheduler::ThreadState* token = scheduler.ReserveThread("waiter");
    std::thread waiter([&] {
        scheduler.AdoptReservation(token);
        rusage before{};
        getrusage(RUSAGE_THREAD, &before);
        std::unique_lock lock(scheduler.Mutex());
        scheduler.WaitUntil(lock, [&done] { return done; });
        rusage after{};
        getrusage(RUSAGE_THREAD, &after);
        switches = after.ru_nvcsw - before.ru_nvcsw;
        finished = true;
        lock.unlock();
        scheduler.UnregisterCurrentThread();
    });
    scheduler.Settle();
    for (int i = 0; i < 2000; ++i) {
        scheduler.AdvanceBy(1);
    }
    {
        std::unique_lock lock(scheduler.Mutex());
        done = true;
        EXPECT_TRUE(scheduler.WaitUntil(
            lock, [&finished] { return finished; }, scheduler.Now() + 1000));
    }
    waiter.join();
    EXPECT_EQ(scheduler.Now(), 2000);
    EXPECT_LT(switches, 100) << "the waiter was woken by clock moves it could not act on";
}

TEST(SerializedScheduler, ItsThreadsShareOneCpuAndLeaveWithTheirOwn)
{
    // One thread runs at a time, so one CPU serves them all and a hand-over never has to wake
    // another; a thread that leaves (the test's own) gets back the CPUs it had.
    cpu_set_t before{};
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof before, &before), 0);
    {
        sim::Scheduler scheduler;
        sim::ThreadRegistration test(scheduler, "test");
        scheduler.SetSerialized();
        cpu_set_t during{};
        ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof during, &during), 0);
        EXPECT_EQ(CPU_COUNT(&during), 1);
        bool done = false; // under the scheduler mutex
        bool sameCpu = false;
        sim::Scheduler::ThreadState* token = scheduler.ReserveThread("worker");
        std::thread worker([&] {
            scheduler.AdoptReservation(token);
            cpu_set_t mine{};
            const bool read = pthread_getaffinity_np(pthread_self(), sizeof mine, &mine) == 0;
            {
                std::lock_guard lock(scheduler.Mutex());
                sameCpu = read && CPU_EQUAL(&mine, &during);
                done = true;
            }
            scheduler.UnregisterCurrentThread();
        });
        {
            std::unique_lock lock(scheduler.Mutex());
            EXPECT_TRUE(scheduler.WaitUntil(
                lock, [&done] { return done; }, scheduler.Now() + 1000));
        }
        worker.join();
        EXPECT_TRUE(sameCpu);
    }
    cpu_set_t after{};
    ASSERT_EQ(pthread_getaffinity_np(pthread_self(), sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

} // namespace
