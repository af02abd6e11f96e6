#include "sim/kernel.h"

#include <algorithm>
#include <limits>
#include <system_error>

#include "sim/image_loader.h"
#include "sim/irql.h"
#include "sim/objects.h"
#include "sim/platform.h"

namespace sim {

namespace {

// The thread object behind a system thread's handle: a dispatcher object, signalled when the
// thread has finished.
class ThreadObject : public KernelObject {
public:
    explicit ThreadObject(std::string name) : KernelObject("Thread", std::move(name)) {}
};

// Kernel intervals: negative is relative to now, positive is an absolute system time (100 ns
// units since 1601), which the virtual clock reaches at virtual time (interval - boot time). A
// time before now lies in the past: the wait times out at once. Saturates instead of wrapping for
// intervals no caller could mean.
Ticks DeadlineOf(LONGLONG interval, Ticks now)
{
    constexpr Ticks kMax = std::numeric_limits<Ticks>::max();
    if (interval >= 0) {
        const Ticks virtualDeadline = interval - KernelModel::kSystemTimeAtBoot;
        return virtualDeadline < now ? now : virtualDeadline;
    }
    Ticks delay = interval == std::numeric_limits<LONGLONG>::min() ? kMax : -interval;
    return delay > kMax - now ? kMax : now + delay;
}

std::string IntervalText(LONGLONG interval)
{
    return interval < 0 ? "relative " + std::to_string(-interval) + " x 100ns" : "absolute " + std::to_string(interval);
}

} // namespace

// ---- SimThread ----

SimThread::SimThread(Platform& platform, std::string name, std::function<void()> body)
    : scheduler_(platform.Sched()), name_(std::move(name))
{
    Scheduler::ThreadState* token = scheduler_.ReserveThread(name_);
    try {
        thread_ = std::thread([this, token, body = std::move(body)] {
            scheduler_.AdoptReservation(token);
            body();
            {
                std::lock_guard lock(scheduler_.Mutex());
                finished_ = true;
                scheduler_.NotifyLocked();
            }
            scheduler_.UnregisterCurrentThread();
        });
    }
    catch (...) {
        // A reservation that no thread adopts would keep the machine busy for ever.
        scheduler_.CancelReservation(token);
        throw;
    }
}

SimThread::~SimThread()
{
    Join();
}

void SimThread::Join()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        std::unique_lock lock(scheduler_.Mutex());
        scheduler_.WaitUntil(lock, [this] { return finished_; });
    }
    thread_.join();
}

bool SimThread::Finished() const
{
    std::lock_guard lock(scheduler_.Mutex());
    return finished_;
}

// ---- Gate ----

Gate::Gate(Platform& platform) : scheduler_(platform.Sched()) {}

void Gate::Open()
{
    std::lock_guard lock(scheduler_.Mutex());
    open_ = true;
    scheduler_.NotifyLocked();
}

bool Gate::Wait(std::optional<Ticks> deadline)
{
    std::unique_lock lock(scheduler_.Mutex());
    return scheduler_.WaitUntil(
        lock, [this] { return open_; }, deadline);
}

bool Gate::IsOpen() const
{
    std::lock_guard lock(scheduler_.Mutex());
    return open_;
}

// ---- KernelModel ----

struct KernelModel::SystemThread {
    ThreadObject* object = nullptr;
    bool running = true; // false once the routine has returned: the thread object is signalled
    std::unique_ptr<SimThread> thread;
};

namespace {
// The system thread the calling thread is, if any (a thread waiting on itself would hang).
thread_local const void* tlsThreadObject = nullptr;
} // namespace

KernelModel::KernelModel(Platform& platform) : platform_(platform) {}

KernelModel::~KernelModel()
{
    Shutdown();
}

void KernelModel::Shutdown()
{
    // A system thread may start another one, so repeat until nothing is left to join.
    for (;;) {
        WaitForAllThreads();
        std::vector<std::unique_ptr<SimThread>> joinable;
        {
            std::lock_guard lock(mutex_);
            for (auto& record : threads_) {
                if (record->thread) {
                    joinable.push_back(std::move(record->thread));
                }
            }
        }
        if (joinable.empty()) {
            return;
        }
        for (auto& thread : joinable) {
            thread->Join();
        }
    }
}

bool KernelModel::AllStoppedLocked() const
{
    return starting_ == 0 &&
           std::none_of(threads_.begin(), threads_.end(), [](const auto& record) { return record->running; });
}

bool KernelModel::WaitForAllThreads(std::optional<Ticks> deadline)
{
    std::unique_lock lock(platform_.Sched().Mutex());
    return platform_.Sched().WaitUntil(
        lock,
        [this] {
            std::lock_guard inner(mutex_);
            return AllStoppedLocked();
        },
        deadline);
}

std::size_t KernelModel::LiveSystemThreads() const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(threads_.begin(), threads_.end(), [](const auto& record) { return record->running; }));
}

std::size_t KernelModel::ThreadsCreated() const
{
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void KernelModel::LetExitingThreadsFinish()
{
    // The image goes only after the threads IoCreateSystemThread started have exited (their
    // reference on the driver object keeps it): a thread on its way out is let finish. One
    // that is still blocked, sleeping or waiting, outlives the driver and is reported.
    if (LiveSystemThreads() != 0) {
        platform_.Sched().Settle();
    }
}

void KernelModel::ReportHeld(const std::string& when) const
{
    std::vector<std::string> running;
    {
        std::lock_guard lock(mutex_);
        for (const auto& record : threads_) {
            if (record->running) {
                running.push_back(record->object->Describe());
            }
        }
    }
    for (const auto& text : running) {
        platform_.Verifier().Report(when, text, 0, "system thread still running at driver unload (bug check 0xCE)");
    }
}

KernelModel::SystemThread* KernelModel::FindLocked(const void* object) const
{
    for (const auto& record : threads_) {
        if (record->object == object) {
            return record.get();
        }
    }
    return nullptr;
}

void KernelModel::RecordThreadAccess(const char* operation, ACCESS_MASK access)
{
    std::lock_guard lock(mutex_);
    threadAccess_.emplace_back(operation, access);
}

std::vector<std::pair<std::string, ACCESS_MASK>> KernelModel::ThreadAccessRequested() const
{
    std::lock_guard lock(mutex_);
    return threadAccess_;
}

NTSTATUS KernelModel::CreateSystemThread(PVOID ioObject, PHANDLE threadHandle, ACCESS_MASK desiredAccess,
                                         const OBJECT_ATTRIBUTES* attributes, HANDLE processHandle,
                                         PKSTART_ROUTINE startRoutine, PVOID startContext)
{
    constexpr const char* kOperation = "IoCreateSystemThread";
    RequireIrqlAtMost(kOperation, PASSIVE_LEVEL);
    NTSTATUS status = STATUS_SUCCESS;
    auto fail = [&](NTSTATUS failure, const std::string& detail) {
        platform_.Trace().Add("driver", "kernel", kOperation, detail, failure);
        return failure;
    };
    if (platform_.Faults().Check(kOperation, STATUS_INSUFFICIENT_RESOURCES, &status)) {
        return fail(status, "injected failure");
    }
    if (threadHandle == nullptr || startRoutine == nullptr) {
        platform_.Verifier().Report(kOperation, "", 0, "null ThreadHandle or StartRoutine");
        return fail(STATUS_INVALID_PARAMETER, "null argument");
    }
    if (processHandle != nullptr) {
        // A driver thread belongs to the system process; another process would run the
        // driver's code in that process's context.
        platform_.Verifier().Report(kOperation, Verifier::Pointer(processHandle), 0,
                                    "ProcessHandle must be NULL for a driver-created thread");
        return fail(STATUS_INVALID_PARAMETER, "process handle given");
    }
    KernelObject* object = platform_.Objects().Lookup(ioObject, kOperation);
    if (object == nullptr) {
        return fail(STATUS_INVALID_PARAMETER, "IoObject is not a live object");
    }
    if (dynamic_cast<_DRIVER_OBJECT*>(object) == nullptr) {
        platform_.Verifier().Report(kOperation, object->Describe(), 0,
                                    "IoObject is not a driver object (bug check 0x148)");
        return fail(STATUS_INVALID_PARAMETER, "IoObject is not a driver object");
    }

    // The I/O manager's reference keeps the driver image loaded until the thread has exited.
    platform_.Objects().Reference(object, kOperation);
    std::string name;
    {
        std::lock_guard lock(mutex_);
        name = "system thread " + std::to_string(threads_.size() + starting_ + 1);
        ++starting_;
    }
    // The thread's own reference (from Insert) keeps its object alive while it runs, whatever
    // the driver does with the handle; the handle holds a second one.
    auto* threadObject = platform_.Objects().Insert(std::make_unique<ThreadObject>(name));
    SystemThread* record = nullptr;
    {
        std::lock_guard lock(mutex_);
        threads_.push_back(std::make_unique<SystemThread>());
        record = threads_.back().get();
        record->object = threadObject;
    }
    // The handle is granted what was asked for. Without OBJ_KERNEL_HANDLE it goes to the table of
    // the process the caller runs in, which the kernel's documentation of IoCreateSystemThread
    // and PsCreateSystemThread forbids outside the system process: that process's code could
    // then use or close it.
    const bool kernelHandle = attributes != nullptr && (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
    if (!kernelHandle && ProcessContext::Current() != ProcessContext::kSystem) {
        platform_.Verifier().Report(kOperation, threadObject->Describe(), 0,
                                    "called in process '" + ProcessContext::Current() +
                                        "' without OBJ_KERNEL_HANDLE: the thread handle lands in that process");
    }
    HANDLE handle = platform_.Objects().CreateHandle(threadObject, desiredAccess, kernelHandle);
    platform_.Trace().Add("driver", "kernel", kOperation, name + " for " + object->Label(), STATUS_SUCCESS);

    std::unique_ptr<SimThread> thread;
    try {
        thread = std::make_unique<SimThread>(platform_, name, [this, record, object, startRoutine, startContext] {
            RunSystemThread(*record, object, startRoutine, startContext);
        });
    }
    catch (const std::system_error&) {
        // The host could not start a thread: everything above is undone, and the driver sees
        // the status the kernel fails with when it runs out of resources.
        (void)platform_.Objects().CloseHandle(handle, kOperation);
        {
            std::lock_guard lock(mutex_);
            std::erase_if(threads_, [record](const auto& entry) { return entry.get() == record; });
            --starting_;
        }
        platform_.Objects().Dereference(threadObject, kOperation);
        platform_.Objects().Dereference(object, kOperation);
        return fail(STATUS_INSUFFICIENT_RESOURCES, name + ": the host could not start a thread");
    }
    {
        std::lock_guard lock(mutex_);
        record->thread = std::move(thread);
        --starting_;
    }
    platform_.Sched().Notify();
    *threadHandle = handle;
    return STATUS_SUCCESS;
}

void KernelModel::RunSystemThread(SystemThread& record, KernelObject* driver, PKSTART_ROUTINE routine, PVOID context)
{
    tlsThreadObject = record.object;
    CallIntoDriver("SystemThreadStart", routine, context);
    if (CurrentIrql() != PASSIVE_LEVEL) {
        platform_.Verifier().Report("IoCreateSystemThread", record.object->Describe(), 0,
                                    "system thread returned at IRQL " + std::to_string(CurrentIrql()));
    }
    platform_.Trace().Add("driver", "kernel", "SystemThreadExit", record.object->Label());
    platform_.Objects().Dereference(driver, "IoCreateSystemThread");
    platform_.Objects().Dereference(record.object, "IoCreateSystemThread");
    {
        std::lock_guard lock(mutex_);
        record.running = false;
    }
    tlsThreadObject = nullptr;
    platform_.Sched().Notify();
}

bool KernelModel::BeginRundownWait(const void* ref)
{
    std::lock_guard lock(mutex_);
    if (std::find(rundownWaits_.begin(), rundownWaits_.end(), ref) != rundownWaits_.end()) {
        return false;
    }
    rundownWaits_.push_back(ref);
    return true;
}

void KernelModel::EndRundownWait(const void* ref)
{
    std::lock_guard lock(mutex_);
    auto it = std::find(rundownWaits_.begin(), rundownWaits_.end(), ref);
    if (it != rundownWaits_.end()) {
        rundownWaits_.erase(it);
    }
}

NTSTATUS KernelModel::DelayExecution(const LARGE_INTEGER* interval)
{
    constexpr const char* kOperation = "KeDelayExecutionThread";
    RequireIrqlAtMost(kOperation, APC_LEVEL);
    if (interval == nullptr) {
        platform_.Verifier().Report(kOperation, "", 0, "null Interval");
        return STATUS_INVALID_PARAMETER;
    }
    const LONGLONG value = interval->QuadPart;
    const Ticks now = platform_.Sched().Now();
    const Ticks deadline = DeadlineOf(value, now);
    if (value > 0 && deadline == now) {
        // Legal, and returns at once; but no driver means a delay that ends before it starts: a
        // positive number where a relative (negative) interval was meant.
        platform_.Verifier().Report(
            kOperation, std::to_string(value), 0,
            "absolute time already in the past (returns at once); a relative delay is negative");
    }
    platform_.Trace().Add("driver", "kernel", kOperation, IntervalText(value), STATUS_SUCCESS);
    if (value == 0 || deadline == now) {
        return STATUS_SUCCESS;
    }
    std::unique_lock lock(platform_.Sched().Mutex());
    platform_.Sched().WaitUntil(
        lock, [] { return false; }, deadline);
    return STATUS_SUCCESS;
}

NTSTATUS KernelModel::WaitForSingleObject(PVOID object, const LARGE_INTEGER* timeout)
{
    constexpr const char* kOperation = "KeWaitForSingleObject";
    // A zero time-out, or an absolute one already past, tests the state and returns.
    const bool poll =
        timeout != nullptr &&
        (timeout->QuadPart == 0 ||
         (timeout->QuadPart > 0 && DeadlineOf(timeout->QuadPart, platform_.Sched().Now()) == platform_.Sched().Now()));
    RequireIrqlAtMost(kOperation, poll ? DISPATCH_LEVEL : APC_LEVEL);
    KernelObject* kernelObject = platform_.Objects().Lookup(object, kOperation);
    if (kernelObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SystemThread* record = nullptr;
    {
        std::lock_guard lock(mutex_);
        record = FindLocked(object);
    }
    if (record == nullptr) {
        platform_.Verifier().Report(kOperation, kernelObject->Describe(), 0, "not a dispatcher object");
        return STATUS_INVALID_PARAMETER;
    }
    if (object == tlsThreadObject) {
        platform_.Verifier().Report(kOperation, kernelObject->Describe(), 0,
                                    "a thread waits for its own termination (hangs forever)");
        if (timeout == nullptr) {
            return STATUS_INVALID_PARAMETER; // rather than hang the host
        }
    }

    auto signalled = [this, record] {
        std::lock_guard lock(mutex_);
        return !record->running;
    };
    bool done = false;
    if (poll) {
        done = signalled();
    } else {
        std::optional<Ticks> deadline;
        if (timeout != nullptr) {
            deadline = DeadlineOf(timeout->QuadPart, platform_.Sched().Now());
        }
        std::unique_lock lock(platform_.Sched().Mutex());
        done = platform_.Sched().WaitUntil(lock, signalled, deadline);
    }
    NTSTATUS status = done ? STATUS_SUCCESS : STATUS_TIMEOUT;
    platform_.Trace().Add("driver", "kernel", kOperation,
                          kernelObject->Label() + (timeout == nullptr ? "" : ", " + IntervalText(timeout->QuadPart)),
                          status);
    return status;
}

} // namespace sim

using sim::Platform;

EXTERN_C NTSTATUS IoCreateSystemThread(PVOID IoObject, PHANDLE ThreadHandle, ULONG DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                       PKSTART_ROUTINE StartRoutine, PVOID StartContext)
{
    (void)ClientId;
    Platform::Current().Kernel().RecordThreadAccess("IoCreateSystemThread", DesiredAccess);
    return Platform::Current().Kernel().CreateSystemThread(IoObject, ThreadHandle, DesiredAccess, ObjectAttributes,
                                                           ProcessHandle, StartRoutine, StartContext);
}

EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    (void)WaitMode;
    (void)Alertable;
    return Platform::Current().Kernel().DelayExecution(Interval);
}

EXTERN_C NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                        BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    return Platform::Current().Kernel().WaitForSingleObject(Object, Timeout);
}
