#include "sim/scheduler.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <set>
#include <utility>

namespace sim {

namespace {
thread_local Scheduler::ThreadState* tlsThread = nullptr;

// Thread names are kept for the life of the process, one copy of each: a trace record points at
// its thread's name long after the thread has gone, and no run has more than a few names.
const std::string* Intern(const std::string& name)
{
    static std::mutex mutex;
    static std::set<std::string> names;
    std::lock_guard lock(mutex);
    return &*names.insert(name).first;
}
constexpr std::chrono::milliseconds kPollInterval{50};
long Futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout)
{
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}
} // namespace

void Wakeup::Post() noexcept
{
    if (state_.exchange(kPosted, std::memory_order_acq_rel) == kSleeping) {
        Futex(&state_, FUTEX_WAKE_PRIVATE, 1, nullptr);
    }
}

void Wakeup::Wait(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout, Wakeup* handOver) noexcept
{
    lock.unlock();
    if (handOver != nullptr) {
        handOver->Post();
    }
    // No spinning first: a hand-over comes back after the other thread's step, tens of
    // microseconds at least, and a spin that long would take CPU time from the other thread.
    std::uint32_t idle = kIdle;
    if (state_.compare_exchange_strong(idle, kSleeping, std::memory_order_acq_rel)) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
        const timespec relative{static_cast<time_t>(seconds.count()),
                                static_cast<long>(std::chrono::nanoseconds(timeout - seconds).count())};
        // Returns on a post, at the timeout, or early (a signal): the caller looks again either way.
        Futex(&state_, FUTEX_WAIT_PRIVATE, kSleeping, &relative);
    }
    // Consumed whether posted or timed out; a post that comes after this is kept for the next wait.
    state_.store(kIdle, std::memory_order_release);
    lock.lock();
}

Scheduler::Scheduler() = default;

Scheduler::~Scheduler() = default;

void Scheduler::RegisterCurrentThread(const std::string& name)
{
    std::unique_lock lock(mutex_);
    threads_.emplace_back();
    threads_.back().name = Intern(name);
    tlsThread = &threads_.back();
    if (serialized_) {
        AwaitTokenLocked(lock, tlsThread);
    }
}

void Scheduler::UnregisterCurrentThread()
{
    std::lock_guard lock(mutex_);
    if (serialized_ && holder_ == tlsThread && tlsThread != nullptr) {
        // Leaving counts as blocking for good: the token goes on, never back to this thread.
        tlsThread->blocked = true;
        tlsThread->pred = nullptr;
        tlsThread->deadline.reset();
        if (ThreadState* next = PassTokenLocked(tlsThread)) {
            next->wake.Post();
        }
    }
    if (tlsThread != nullptr && tlsThread->pinned) {
        // The thread goes on outside the simulation (a test's own thread): as it was before.
        (void)pthread_setaffinity_np(pthread_self(), sizeof tlsThread->affinity, &tlsThread->affinity);
    }
    RetireLocked(tlsThread);
    tlsThread = nullptr;
    // The threads left may all be idle now: each must look again.
    WakeAllLocked();
}

Scheduler::ThreadState* Scheduler::ReserveThread(const std::string& name)
{
    std::lock_guard lock(mutex_);
    threads_.emplace_back();
    threads_.back().name = Intern(name);
    return &threads_.back();
}

void Scheduler::CancelReservation(ThreadState* token)
{
    std::lock_guard lock(mutex_);
    RetireLocked(token);
    WakeAllLocked();
}

void Scheduler::AdoptReservation(ThreadState* token)
{
    tlsThread = token;
    std::unique_lock lock(mutex_);
    if (serialized_) {
        AwaitTokenLocked(lock, token);
    }
}

bool Scheduler::RunnableLocked(const ThreadState& t) const
{
    if (!t.blocked) {
        return true;
    }
    return (t.deadline && now_ >= *t.deadline) || (t.pred && (*t.pred)());
}

Scheduler::ThreadState* Scheduler::NextRunnableLocked(const ThreadState* after)
{
    // Round robin in registration order, starting after `after` and ending with it.
    auto start = threads_.begin();
    if (after != nullptr) {
        for (auto it = threads_.begin(); it != threads_.end(); ++it) {
            if (&*it == after) {
                start = std::next(it);
                break;
            }
        }
    }
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        if (start == threads_.end()) {
            start = threads_.begin();
        }
        if (RunnableLocked(*start)) {
            return &*start;
        }
        ++start;
    }
    return nullptr;
}

void Scheduler::RetireLocked(const ThreadState* t)
{
    for (auto it = threads_.begin(); it != threads_.end(); ++it) {
        if (&*it == t) {
            retired_.splice(retired_.end(), threads_, it);
            return;
        }
    }
}

Scheduler::ThreadState* Scheduler::PassTokenLocked(const ThreadState* self)
{
    for (;;) {
        ThreadState* next = NextRunnableLocked(self);
        if (next != nullptr) {
            holder_ = next;
            return next == self ? nullptr : next;
        }
        // Every thread is idle: the clock moves to the earliest deadline, as it does unserialized.
        std::optional<Ticks> deadline = NextDeadlineLocked();
        if (autoAdvance_ && deadline && *deadline > now_) {
            now_ = *deadline;
            continue;
        }
        // Nothing can run. A thread outside the scheduler may still change something; whoever
        // is first runnable in registration order then picks the token up (see WaitUntil).
        holder_ = nullptr;
        cv_.notify_all();
        return nullptr;
    }
}

void Scheduler::AwaitTokenLocked(std::unique_lock<std::mutex>& lock, ThreadState* self)
{
    while (holder_ != self) {
        if (holder_ == nullptr && NextRunnableLocked(nullptr) == self) {
            holder_ = self;
            break;
        }
        self->wake.Wait(lock, kPollInterval, nullptr);
    }
    PinLocked(self);
}

void Scheduler::PinLocked(ThreadState* self) const
{
    if (self->pinTried || cpu_ < 0) {
        return;
    }
    self->pinTried = true;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(static_cast<std::size_t>(cpu_), &cpus);
    // Only a matter of speed: a thread that cannot move runs where it is.
    self->pinned = pthread_getaffinity_np(pthread_self(), sizeof self->affinity, &self->affinity) == 0 &&
                   pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus) == 0;
}

bool Scheduler::IsIdleLocked(const ThreadState& t) const
{
    if (!t.blocked || t.settling) {
        return false;
    }
    if (t.deadline && now_ >= *t.deadline) {
        return false;
    }
    return !(t.pred && (*t.pred)());
}

bool Scheduler::AllIdleLocked() const
{
    for (const auto& t : threads_) {
        if (!IsIdleLocked(t)) {
            return false;
        }
    }
    return true;
}

bool Scheduler::OthersIdleLocked(const ThreadState* self) const
{
    for (const auto& t : threads_) {
        // Another settler is only waiting too; counting it busy would make two settlers wait
        // for each other for ever.
        if (&t != self && !t.settling && !IsIdleLocked(t)) {
            return false;
        }
    }
    return true;
}

std::optional<Ticks> Scheduler::NextDeadlineLocked() const
{
    std::optional<Ticks> next;
    for (const auto& t : threads_) {
        if (t.blocked && t.deadline && (!next || *t.deadline < *next)) {
            next = t.deadline;
        }
    }
    return next;
}

void Scheduler::ReportDeadlockLocked() const
{
    if (deadlockHandler_) {
        DeadlockReport report;
        report.now = now_.load();
        for (const auto& t : threads_) {
            report.threads.push_back({*t.name, t.blocked, t.deadline.has_value(), t.blocked ? t.why : nullptr});
        }
        deadlockHandler_(report);
    }
    std::fprintf(stderr,
                 "\n*** host platform: deadlock at virtual time %lld: every thread is blocked and no "
                 "deadline is pending\n",
                 static_cast<long long>(now_.load()));
    for (const auto& t : threads_) {
        std::fprintf(stderr, "    thread '%s': %s%s\n", t.name->c_str(), t.blocked ? "blocked" : "running",
                     t.deadline ? " (with deadline)" : "");
    }
    std::fflush(stderr);
    std::abort();
}

bool Scheduler::WaitUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& pred,
                          std::optional<Ticks> deadline, const char* why)
{
    // Counted before the first look at the predicate: a notifier that changes the state after
    // that look, and so must wake this thread, then finds the count non-zero (see Notify()).
    notifiable_.fetch_add(1);
    const bool satisfied = Wait(lock, pred, deadline, why);
    notifiable_.fetch_sub(1);
    return satisfied;
}

void Scheduler::WaitForSignal(std::unique_lock<std::mutex>& lock, const std::function<bool()>& pred)
{
    // An unregistered thread is woken through cv_, which only Notify() reaches when counted.
    if (tlsThread == nullptr) {
        WaitUntil(lock, pred);
        return;
    }
    Wait(lock, pred, std::nullopt);
}

bool Scheduler::Wait(std::unique_lock<std::mutex>& lock, const std::function<bool()>& pred,
                     std::optional<Ticks> deadline, const char* why)
{
    ThreadState* self = tlsThread;
    if (self != nullptr) {
        self->blocked = true;
        self->pred = &pred;
        self->deadline = deadline;
        self->why = why;
    }
    bool satisfied = false;
    auto stuckSince = std::chrono::steady_clock::time_point{};
    // Real time since this thread first found nothing able to move, counted from now on the
    // first look; a look that finds progress possible resets stuckSince.
    auto stuckFor = [&stuckSince] {
        const auto nowReal = std::chrono::steady_clock::now();
        if (stuckSince == std::chrono::steady_clock::time_point{}) {
            stuckSince = nowReal;
        }
        return nowReal - stuckSince;
    };
    for (;;) {
        if (serialized_ && self != nullptr) {
            if (holder_ == nullptr && NextRunnableLocked(nullptr) == self) {
                holder_ = self;
            }
            ThreadState* next = nullptr;
            if (holder_ == self) {
                PinLocked(self);
                if (pred()) {
                    satisfied = true;
                    break;
                }
                if (deadline && now_ >= *deadline) {
                    break;
                }
                next = PassTokenLocked(self);
                if (holder_ == self) {
                    continue; // the clock moved to this thread's own deadline
                }
            }
            if (holder_ == nullptr && !NextDeadlineLocked()) {
                if (stuckFor() > deadlockTimeout_) {
                    ReportDeadlockLocked();
                }
            } else {
                stuckSince = {};
            }
            // The successor is woken once the mutex is free, so that it can take it at once.
            self->wake.Wait(lock, kPollInterval, next != nullptr ? &next->wake : nullptr);
            continue;
        }
        if (pred()) {
            satisfied = true;
            break;
        }
        if (deadline && now_ >= *deadline) {
            break;
        }
        // This thread going idle may be what a settling thread, or the idle rule, waits for.
        WakeReadyLocked(self);
        if (self != nullptr && AllIdleLocked()) {
            std::optional<Ticks> next = NextDeadlineLocked();
            if (autoAdvance_ && next) {
                now_ = *next;
                WakeAllLocked();
                continue;
            }
            // Idle with nothing to advance to. Threads that are not registered (a sanitizer's,
            // or a test's helper) may still act, so allow some real time before giving up.
            if (stuckFor() > deadlockTimeout_ && !next) {
                ReportDeadlockLocked();
            }
        } else {
            stuckSince = {};
        }
        // The poll is only a safety net for a state change that was never notified.
        if (self != nullptr) {
            self->wake.Wait(lock, kPollInterval, nullptr);
        } else {
            ++unregisteredWaiters_;
            cv_.wait_for(lock, kPollInterval);
            --unregisteredWaiters_;
        }
    }
    if (self != nullptr) {
        self->blocked = false;
        self->pred = nullptr;
        self->deadline.reset();
        self->why = nullptr;
    }
    return satisfied;
}

void Scheduler::Notify()
{
    // A waiter counts itself before it first looks at its predicate. So either this load sees
    // the count, or the waiter's look comes after the caller's change and sees it; the fence
    // keeps the caller's change (made under a leaf lock, or to an atomic) ahead of the load.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (notifiable_.load(std::memory_order_relaxed) == 0 && !serialized_.load(std::memory_order_relaxed)) {
        return;
    }
    Signal();
}

void Scheduler::Signal()
{
    // Taking the mutex orders the caller's state change before any waiter's next look at it, so
    // a waiter that has just found its predicate false cannot miss this wake-up.
    std::lock_guard lock(mutex_);
    WakeReadyLocked(tlsThread);
}

void Scheduler::NotifyLocked()
{
    WakeReadyLocked(tlsThread);
}

void Scheduler::WakeReadyLocked(const ThreadState* self)
{
    // Serialized, a registered thread runs only when handed the token: waking it would only
    // send it back to sleep.
    if (!serialized_ || holder_ == nullptr) {
        for (auto& t : threads_) {
            if (&t != self && t.blocked && RunnableLocked(t)) {
                t.wake.Post();
            }
        }
    }
    // Unregistered waiters are not known by predicate; they look for themselves.
    if (unregisteredWaiters_ != 0) {
        cv_.notify_all();
    }
}

void Scheduler::WakeAllLocked()
{
    // Serialized, only the token's holder can act on a change; the others look again when the
    // token is handed on, and waking them would only send them back to sleep.
    if (serialized_ && holder_ != nullptr) {
        if (holder_ != tlsThread) {
            holder_->wake.Post();
        }
    } else {
        for (auto& t : threads_) {
            t.wake.Post();
        }
    }
    cv_.notify_all();
}

Ticks Scheduler::Now() const
{
    return now_.load();
}

void Scheduler::SetAutoAdvance(bool on)
{
    std::lock_guard lock(mutex_);
    autoAdvance_ = on;
    WakeAllLocked();
}

bool Scheduler::AutoAdvance() const
{
    std::lock_guard lock(mutex_);
    return autoAdvance_;
}

void Scheduler::Settle()
{
    std::unique_lock lock(mutex_);
    ThreadState* self = tlsThread;
    if (self == nullptr) {
        std::function<bool()> others = [this] { return AllIdleLocked(); };
        WaitUntil(lock, others);
        return;
    }
    std::function<bool()> others = [this, self] { return OthersIdleLocked(self); };
    self->settling = true;
    WaitUntil(lock, others);
    self->settling = false;
}

void Scheduler::AdvanceBy(Ticks delta)
{
    Ticks target = Now() + delta;
    for (;;) {
        Settle();
        std::unique_lock lock(mutex_);
        std::optional<Ticks> next = NextDeadlineLocked();
        if (next && *next <= target && *next > now_) {
            now_ = *next;
            WakeAllLocked();
            continue;
        }
        if (now_ < target) {
            now_ = target;
        }
        WakeAllLocked();
        break;
    }
    Settle();
}

bool Scheduler::RunUntil(const std::function<bool()>& pred, Ticks limit)
{
    std::unique_lock lock(mutex_);
    return WaitUntil(lock, pred, limit);
}

const std::string& Scheduler::CurrentThreadName()
{
    static const std::string unregistered;
    return tlsThread != nullptr ? *tlsThread->name : unregistered;
}

bool Scheduler::CurrentThreadRegistered()
{
    return tlsThread != nullptr;
}

void Scheduler::SetDeadlockTimeout(std::chrono::milliseconds timeout)
{
    std::lock_guard lock(mutex_);
    deadlockTimeout_ = timeout;
}

void Scheduler::SetDeadlockHandler(DeadlockHandler handler)
{
    std::lock_guard lock(mutex_);
    deadlockHandler_ = std::move(handler);
}

void Scheduler::SetSerialized()
{
    Settle();
    std::lock_guard lock(mutex_);
    // Every thread looks again, now in serialized mode: one that is runnable waits for the token.
    for (auto& t : threads_) {
        t.wake.Post();
    }
    serialized_ = true;
    holder_ = tlsThread;
    cpu_ = sched_getcpu();
    if (tlsThread != nullptr) {
        PinLocked(tlsThread);
    }
    cv_.notify_all();
}

bool Scheduler::Serialized() const
{
    std::lock_guard lock(mutex_);
    return serialized_;
}

ThreadRegistration::ThreadRegistration(Scheduler& scheduler, const std::string& name) : scheduler_(scheduler)
{
    scheduler_.RegisterCurrentThread(name);
}

ThreadRegistration::~ThreadRegistration()
{
    scheduler_.UnregisterCurrentThread();
}

} // namespace sim
