// Host platform: system threads, delays and waits on the virtual clock.
//
// IoCreateSystemThread runs the driver's routine on a real thread that is registered with the
// scheduler, so that a thread sleeping in KeDelayExecutionThread is "idle" and lets virtual time
// jump to its deadline. The thread object is a dispatcher object that KeWaitForSingleObject can
// wait on; it is signalled once the routine has returned and the I/O manager's reference on the
// driver object has been dropped, so a joiner that then unloads the driver sees the final counts.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/object.h"
#include "platform/thread.h"
#include "sim/leaf_lock.h"
#include "sim/scheduler.h"

namespace sim {

class Platform;
class KernelObject;

// A real thread that takes part in the simulation. Its scheduler slot is reserved before the
// thread starts, so the clock cannot jump between the spawn and the body's first step, and it is
// released only after the body has returned. Tests use it to run driver calls concurrently.
class SimThread {
public:
    SimThread(Platform& platform, std::string name, std::function<void()> body);
    // Joins if nobody has.
    ~SimThread();
    SimThread(const SimThread&) = delete;
    SimThread& operator=(const SimThread&) = delete;

    // Waits on the scheduler (so virtual time may advance) until the body has returned, then
    // joins the real thread. Idempotent; never call it from the thread itself.
    void Join();
    // Whether the body has returned.
    bool Finished() const;
    const std::string& Name() const { return name_; }

private:
    Scheduler& scheduler_;
    std::string name_;
    bool finished_ = false; // guarded by the scheduler mutex
    std::thread thread_;
};

// A one-shot gate on the scheduler: threads that Wait() are idle until someone Open()s it.
// Tests use it to hold a driver callback or a system thread at a chosen point.
class Gate {
public:
    explicit Gate(Platform& platform);
    void Open();
    // Returns true once open; false if `deadline` came first.
    bool Wait(std::optional<Ticks> deadline = std::nullopt);
    bool IsOpen() const;

private:
    Scheduler& scheduler_;
    bool open_ = false; // guarded by the scheduler mutex
};

class KernelModel {
public:
    // The system time (100 ns units since 1601-01-01) at virtual time 0: 2026-01-01 00:00 UTC.
    // An absolute time-out or delay below it lies in the past.
    static constexpr Ticks kSystemTimeAtBoot = 134'116'992'000'000'000;

    explicit KernelModel(Platform& platform);
    ~KernelModel();
    KernelModel(const KernelModel&) = delete;
    KernelModel& operator=(const KernelModel&) = delete;

    // Waits for every system thread to return (virtual time may advance meanwhile) and joins
    // them. A thread that can never return is reported by the scheduler as a deadlock.
    // Idempotent.
    void Shutdown();

    // Used by the framework model at driver unload (keep these signatures):
    std::size_t LiveSystemThreads() const;
    void ReportHeld(const std::string& when) const; // live system threads, as verifier records
    // Before the unload checks: waits for system threads that are running (not blocked) to return.
    void LetExitingThreadsFinish();

    // System threads started since the platform came up, finished or not.
    std::size_t ThreadsCreated() const;
    // The access masks drivers asked for on thread handles, in call order, each with the
    // operation that asked ("IoCreateSystemThread", "ObReferenceObjectByHandle").
    void RecordThreadAccess(const char* operation, ACCESS_MASK access);
    std::vector<std::pair<std::string, ACCESS_MASK>> ThreadAccessRequested() const;
    // Scheduler wait until no system thread runs; false if `deadline` came first.
    bool WaitForAllThreads(std::optional<Ticks> deadline = std::nullopt);

    // The C entry points of platform/thread.h.
    NTSTATUS CreateSystemThread(PVOID ioObject, PHANDLE threadHandle, ACCESS_MASK desiredAccess,
                                const OBJECT_ATTRIBUTES* attributes, HANDLE processHandle, PKSTART_ROUTINE startRoutine,
                                PVOID startContext);
    NTSTATUS DelayExecution(const LARGE_INTEGER* interval);
    NTSTATUS WaitForSingleObject(PVOID object, const LARGE_INTEGER* timeout);

    // ExWaitForRundownProtectionRelease supports one waiter per reference: Begin returns false
    // when another thread already waits on `ref`; End is called when a wait returns.
    bool BeginRundownWait(const void* ref);
    void EndRundownWait(const void* ref);

private:
    struct SystemThread;

    SystemThread* FindLocked(const void* object) const;
    bool AllStoppedLocked() const;
    void RunSystemThread(SystemThread& record, KernelObject* driver, PKSTART_ROUTINE routine, PVOID context);

    Platform& platform_;
    mutable LeafLock mutex_; // leaf: guards the fields below
    std::vector<std::unique_ptr<SystemThread>> threads_;
    std::size_t starting_ = 0; // threads spawned whose SimThread is not yet stored
    std::vector<std::pair<std::string, ACCESS_MASK>> threadAccess_;
    std::vector<const void*> rundownWaits_;
};

} // namespace sim
