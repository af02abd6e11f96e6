// Virtual time and the idle rule that drives it.
//
// Every thread that takes part in a simulation (the test's own thread, the platform's WMI and
// PnP threads, system threads the driver creates) is registered here. A registered thread is
// *busy* unless it is blocked in WaitUntil() with a predicate that is false and a deadline
// that has not been reached. When every registered thread is idle and auto-advance is on, the
// clock jumps to the earliest deadline any of them waits for. When every thread is idle and no
// deadline is pending, nothing can ever move again: the scheduler reports the deadlock with the
// state of every thread and aborts, instead of hanging a test run. A program that would rather
// report the hang in its own words and exit installs a handler (SetDeadlockHandler()).
//
// All blocking in the host platform goes through WaitUntil() under the one scheduler mutex, so
// that "idle" is decided atomically. Code that changes state a predicate reads must hold the
// mutex, or a leaf mutex of its own that predicates may take, and call Notify() afterwards
// (Signal() for state a WaitForSignal() predicate reads).
//
// Serialized mode (opt-in, SetSerialized()): one registered thread runs at a time. It holds the
// run token until it blocks in WaitUntil() (or unregisters); the token then passes to the next
// runnable thread in registration order after it, and a thread just started waits for the token
// before its first step. Which thread runs next then depends only on the simulation's own state,
// so two runs of the same scenario make the same calls in the same order. The default keeps real
// concurrency, which is what the stress tests need.
//
// Lock rules: the scheduler mutex may be taken first and a component's leaf mutex inside it
// (predicates do that); never the other way round, so Notify() and WaitUntil() are never
// called while a leaf mutex is held. No lock is held while driver code runs.
#pragma once

#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Virtual time in the kernel's unit, 100 ns, counted from the start of the simulation.
using Ticks = std::int64_t;
inline constexpr Ticks kTicksPerSecond = 10'000'000;
inline constexpr Ticks kTicksPerMillisecond = 10'000;

// What the scheduler knows when nothing can move any more: the virtual time, and each registered
// thread with what it waits for.
struct DeadlockReport {
    struct Thread {
        std::string name;
        bool blocked = false;
        bool withDeadline = false;
        const char* reason = nullptr; // the waiter's own words (WaitUntil's `why`), or null
    };
    Ticks now = 0;
    std::vector<Thread> threads;
};
// Called on the thread that found the deadlock, with the scheduler's mutex held and every other
// registered thread blocked. It must not return (it exits the process); if it does, the
// scheduler aborts as it would without one.
using DeadlockHandler = std::function<void(const DeadlockReport&)>;

class Scheduler {
public:
    struct ThreadState;

    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    std::mutex& Mutex() { return mutex_; }

    // Registers the calling thread as busy until Unregister(). Registration is per thread.
    void RegisterCurrentThread(const std::string& name);
    void UnregisterCurrentThread();

    // Reserves a busy slot for a thread that is about to be started, so that the system cannot
    // look idle between the spawn and the new thread's first step. The new thread calls
    // AdoptReservation() with the token before doing anything else.
    ThreadState* ReserveThread(const std::string& name);
    void AdoptReservation(ThreadState* token);
    // Gives back a reservation whose thread could not be started.
    void CancelReservation(ThreadState* token);

    // Blocks the calling thread until pred() holds (returns true) or virtual time reaches the
    // deadline (returns false). The lock must hold Mutex(). pred() runs under the mutex. `why`
    // (a string literal) says what the thread waits for, should it never come (DeadlockReport).
    bool WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& pred,
                   std::optional<Ticks> deadline = std::nullopt, const char* why = nullptr);
    // The same without a deadline, for a thread whose predicate only a Signal() can make true:
    // an idle service thread waiting for its queue. Notify() passes such a waiter by.
    void WaitForSignal(std::unique_lock<std::mutex>& lock, const std::function<bool()>& pred);

    // Wakes the waiters whose predicate now holds. Call after a state change, without holding
    // Mutex(); NotifyLocked() is the variant for callers that hold it. Predicates are evaluated
    // here, on the notifying thread, so a state change that wakes nobody costs no thread switch.
    // When every blocked thread waits for a signal, Notify() returns without taking the mutex:
    // the change cannot be what they wait for.
    void Notify();
    void NotifyLocked();
    // Notify() that also reaches the waiters in WaitForSignal(): call it after the change their
    // predicates read (a queue that may have become non-empty, a stop).
    void Signal();

    // Virtual time now. Lock-free: callable with or without the mutex, also in predicates.
    Ticks Now() const;

    void SetAutoAdvance(bool on);
    bool AutoAdvance() const;

    // Called from a registered test thread that holds no platform lock.
    // Settle: waits until every other registered thread is idle; never moves the clock.
    void Settle();
    // AdvanceBy: moves the clock forward by `delta`, stopping at each deadline on the way so
    // that every thread runs at its own time, and settles at the end.
    void AdvanceBy(Ticks delta);
    // RunUntil: lets the simulation run (advancing time when idle, if auto-advance is on) until
    // pred() holds or virtual time reaches `limit`. Returns pred().
    bool RunUntil(const std::function<bool()>& pred, Ticks limit);

    // Name of the calling thread as registered ("" if unregistered). The reference stays valid
    // for the life of the process, after the thread has gone too.
    static const std::string& CurrentThreadName();
    static bool CurrentThreadRegistered();

    // Real-time patience before a system with no possible progress is declared deadlocked.
    void SetDeadlockTimeout(std::chrono::milliseconds timeout);
    // Replaces the report on standard error and the abort (an empty handler restores them).
    void SetDeadlockHandler(DeadlockHandler handler);

    // Turns serialized mode on (see above). Called from a registered thread, which keeps running
    // with the token; the others must have gone idle first, so this settles before switching.
    void SetSerialized();
    bool Serialized() const;

private:
    bool AllIdleLocked() const;
    bool OthersIdleLocked(const ThreadState* self) const;
    bool IsIdleLocked(const ThreadState& t) const;
    std::optional<Ticks> NextDeadlineLocked() const;
    [[noreturn]] void ReportDeadlockLocked() const;
    // Wakes each blocked thread other than `self` whose predicate holds or whose deadline has
    // come, and the unregistered waiters. WakeAllLocked: everyone, after the clock or the set of
    // threads changed.
    void WakeReadyLocked(const ThreadState* self);
    void WakeAllLocked();
    // Moves a thread's state out of threads_ to retired_: a thread handing the token over posts
    // its successor after releasing the mutex, so the successor's state must outlive its thread.
    void RetireLocked(const ThreadState* t);
    // Serialized mode: whether `t` could run now, the next such thread after `after` in
    // registration order, handing the token over (advancing the clock when every thread is idle),
    // and waiting until the calling thread holds the token.
    bool RunnableLocked(const ThreadState& t) const;
    ThreadState* NextRunnableLocked(const ThreadState* after);
    // Returns the new holder to wake (null when none, or when it is `self` again); the caller
    // posts it, after releasing the mutex when it is about to sleep anyway.
    ThreadState* PassTokenLocked(const ThreadState* self);
    // Serialized mode: the calling thread, holding the token, moves to the CPU the mode runs on.
    void PinLocked(ThreadState* self) const;
    void AwaitTokenLocked(std::unique_lock<std::mutex>& lock, ThreadState* self);

    bool Wait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& pred, std::optional<Ticks> deadline,
              const char* why = nullptr);

    mutable std::mutex mutex_;
    // Threads in WaitUntil(), registered or not: Notify() has someone to wake only while this
    // is non-zero. Changed under mutex_, read by Notify() without it.
    std::atomic<std::size_t> notifiable_{0};
    std::condition_variable cv_; // waiters that are not registered
    std::size_t unregisteredWaiters_ = 0;
    std::list<ThreadState> threads_;
    std::list<ThreadState> retired_; // unregistered threads' states, kept until the scheduler goes
    // Written only under mutex_; read without it, so Now() is safe inside predicates and by
    // code that already holds the mutex.
    std::atomic<Ticks> now_{0};
    bool autoAdvance_ = true;
    std::atomic<bool> serialized_{false}; // written under mutex_, read by Notify() without it
    ThreadState* holder_ = nullptr;       // serialized mode: the thread that may run
    // Serialized mode: the one CPU its threads share (-1: none). Only one of them runs at a time,
    // so they never need two; on one CPU a hand-over is a switch there, where a wake-up of a
    // thread on another CPU interrupts that CPU (and, in a virtual machine, wakes it up first):
    // 100,000 events on an idle 2-core machine, 6.8 s of wall time against 2.7 s.
    int cpu_ = -1;
    std::chrono::milliseconds deadlockTimeout_{10000};
    DeadlockHandler deadlockHandler_;
};

// A registered thread's own wake-up. A post is kept until the thread next looks, so it needs no
// lock to be seen: one given after the thread let go of the scheduler's mutex, but before it fell
// asleep, ends that sleep at once. That is what lets a thread handing the run token over wake its
// successor after releasing the mutex, so that the successor does not wake only to block on the
// mutex the other still holds (two more trips through the kernel per hand-over).
class Wakeup {
public:
    void Post() noexcept;
    // Releases `lock`, then posts `handOver` (may be null), sleeps until a post of its own (one
    // given before the call counts) or until `timeout`, and takes `lock` again. It may return
    // early: callers look at their state again, as after a condition variable's wait.
    void Wait(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout, Wakeup* handOver) noexcept;

private:
    static constexpr std::uint32_t kIdle = 0;
    static constexpr std::uint32_t kPosted = 1;
    static constexpr std::uint32_t kSleeping = 2;
    std::atomic<std::uint32_t> state_{kIdle};
};

struct Scheduler::ThreadState {
    const std::string* name = nullptr; // interned: lives as long as the process
    bool blocked = false;
    bool settling = false;
    const std::function<bool()>* pred = nullptr;
    std::optional<Ticks> deadline;
    const char* why = nullptr;
    bool pinTried = false; // serialized mode: the move to its CPU was tried
    bool pinned = false;   // and made; `affinity` is what the thread had before, given back when it leaves
    cpu_set_t affinity{};
    Wakeup wake; // this thread's own, so that a notification wakes only it
};

// RAII registration of the calling thread.
class ThreadRegistration {
public:
    ThreadRegistration(Scheduler& scheduler, const std::string& name);
    ~ThreadRegistration();
    ThreadRegistration(const ThreadRegistration&) = delete;
    ThreadRegistration& operator=(const ThreadRegistration&) = delete;

private:
    Scheduler& scheduler_;
};

} // namespace sim
