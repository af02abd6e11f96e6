// The lock of a model's own state: held briefly (some bookkeeping, at most a copy of what a call
// passed), never across a wait, a callback into the driver or a call that can block, and taken
// on every boundary call. The firmware and the TA service take the pool's lock under their own,
// and the pool's takes nothing under it. The scheduler's mutex may be held while a leaf lock is
// taken (a wake-up test reads model state), never the other way round.
//
// Boundary calls take several of these each, so their cost is most of the host platform's cost
// per event. A pthread mutex pays a library call and an atomic read-modify-write on both lock
// and unlock; this lock pays one exchange to take and a plain release store to give back. A
// waiter spins briefly and then yields its CPU: holders never block, so it is never long.
//
// Under ThreadSanitizer it is a std::mutex, so that the sanitizer keeps modelling it as a lock
// and reports an inversion of lock order, which it cannot see in a lock built from atomics.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#if defined(__SANITIZE_THREAD__)
#define FWRELAY_LEAF_LOCK_IS_MUTEX 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FWRELAY_LEAF_LOCK_IS_MUTEX 1
#endif
#endif

namespace sim {

#ifdef FWRELAY_LEAF_LOCK_IS_MUTEX
using LeafLock = std::mutex;
#else
class LeafLock {
public:
    LeafLock() = default;
    LeafLock(const LeafLock&) = delete;
    LeafLock& operator=(const LeafLock&) = delete;

    void lock() noexcept
    {
        if (!held_.exchange(true, std::memory_order_acquire)) {
            return;
        }
        LockContended();
    }
    bool try_lock() noexcept
    {
        return !held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_acquire);
    }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    void LockContended() noexcept
    {
        for (unsigned spins = 0;; ++spins) {
            // Read until free before trying again, so waiters do not bounce the line between CPUs.
            while (held_.load(std::memory_order_relaxed)) {
                if (spins < kSpinsBeforeYield) {
                    ++spins;
#if defined(__x86_64__) || defined(__i386__)
                    __builtin_ia32_pause();
#endif
                } else {
                    std::this_thread::yield();
                }
            }
            if (!held_.exchange(true, std::memory_order_acquire)) {
                return;
            }
        }
    }

    static constexpr unsigned kSpinsBeforeYield = 100;
    std::atomic<bool> held_{false};
};
#endif

} // namespace sim
