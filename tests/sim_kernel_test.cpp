// System threads, delays and waits on the virtual clock, through the kernel entry points.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/debug.h"
#include "platform/object.h"
#include "platform/thread.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/platform.h"

namespace {

using sim::kTicksPerSecond;
constexpr sim::Ticks kBoot = sim::KernelModel::kSystemTimeAtBoot;

LARGE_INTEGER Interval(LONGLONG value)
{
    LARGE_INTEGER interval{};
    interval.QuadPart = value;
    return interval;
}

// An object of a type the kernel cannot wait on or start threads for.
struct OtherObject : sim::KernelObject {
    OtherObject() : sim::KernelObject("Other", "not a driver") {}
};

class KernelTest : public testing::Test {
protected:
    void SetUp() override { driver_ = platform_.Objects().Insert(std::make_unique<_DRIVER_OBJECT>("test")); }

    void TearDown() override
    {
        platform_.Kernel().Shutdown();
        EXPECT_EQ(platform_.Objects().ReferenceCount(driver_), 1);
        platform_.Objects().Dereference(driver_, "test");
        EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();
    }

    // Starts `routine` on a system thread and returns a referenced pointer to its thread object,
    // the handle already closed: the join sequence drivers use.
    PVOID Start(PKSTART_ROUTINE routine, PVOID context)
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(
            IoCreateSystemThread(driver_, &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
            STATUS_SUCCESS);
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        return thread;
    }

    sim::Platform platform_;
    _DRIVER_OBJECT* driver_ = nullptr;
};

struct Observed {
    _DRIVER_OBJECT* driver = nullptr;
    std::string thread;
    KIRQL irql = 0xFF;
    LONG_PTR driverReferences = 0;
};

VOID NTAPI Observe(PVOID context)
{
    auto* seen = static_cast<Observed*>(context);
    seen->thread = sim::Scheduler::CurrentThreadName();
    seen->irql = KeGetCurrentIrql();
    seen->driverReferences = sim::Platform::Current().Objects().ReferenceCount(seen->driver);
}

VOID NTAPI WaitAtGate(PVOID context)
{
    static_cast<sim::Gate*>(context)->Wait();
}

TEST_F(KernelTest, RoutineRunsAtPassiveHoldingTheDriverAndSignalsItsObject)
{
    Observed seen;
    seen.driver = driver_;
    PVOID thread = Start(Observe, &seen);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

    EXPECT_EQ(seen.thread, "system thread 1");
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_EQ(seen.driverReferences, 2);                       // the I/O manager's reference while the thread runs
    EXPECT_EQ(platform_.Objects().ReferenceCount(driver_), 1); // dropped before the object is signalled
    EXPECT_EQ(platform_.Kernel().LiveSystemThreads(), 0U);
    EXPECT_EQ(platform_.Kernel().ThreadsCreated(), 1U);

    // A signalled object stays signalled: a second wait and a poll both succeed.
    LARGE_INTEGER poll = Interval(0);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_FALSE(platform_.Objects().IsLive(thread));
    EXPECT_EQ(platform_.Objects().OpenHandleCount(), 0U);
    EXPECT_EQ(platform_.Trace().Find("IoCreateSystemThread").size(), 1U);
}

TEST_F(KernelTest, ThreadObjectOutlivesTheHandleWhileTheThreadRuns)
{
    sim::Gate gate(platform_);
    HANDLE handle = nullptr;
    ASSERT_EQ(IoCreateSystemThread(driver_, &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitAtGate, &gate),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ObDereferenceObject(thread); // the driver holds nothing now; the running thread still does

    platform_.Sched().Settle();
    EXPECT_TRUE(platform_.Objects().IsLive(thread));
    EXPECT_EQ(platform_.Kernel().LiveSystemThreads(), 1U);
    EXPECT_FALSE(platform_.Kernel().WaitForAllThreads(platform_.Sched().Now() + kTicksPerSecond));

    gate.Open();
    EXPECT_TRUE(platform_.Kernel().WaitForAllThreads());
    EXPECT_FALSE(platform_.Objects().IsLive(thread));
}

struct CreateFailure {
    const char* name;
    NTSTATUS expected;
    std::size_t records;
    bool nonDriverObject = false;
    bool processHandle = false;
    bool nullRoutine = false;
    bool injectFault = false;
    KIRQL irql = PASSIVE_LEVEL;
};

class CreateFailureTest : public KernelTest, public testing::WithParamInterface<CreateFailure> {};

TEST_P(CreateFailureTest, LeavesHandleUntouchedAndStartsNothing)
{
    const CreateFailure& c = GetParam();
    platform_.Verifier().SetEcho(false);
    if (c.injectFault) {
        platform_.Faults().FailNth("IoCreateSystemThread", 1);
    }
    auto* other = platform_.Objects().Insert(std::make_unique<OtherObject>());
    Observed seen;
    seen.driver = driver_;
    auto* sentinel = reinterpret_cast<HANDLE>(0x1234);
    HANDLE handle = sentinel;
    NTSTATUS status = STATUS_SUCCESS;
    {
        sim::ScopedIrql irql(c.irql);
        status = IoCreateSystemThread(c.nonDriverObject ? static_cast<PVOID>(other) : driver_, &handle,
                                      THREAD_ALL_ACCESS, nullptr, c.processHandle ? sentinel : nullptr, nullptr,
                                      c.nullRoutine ? nullptr : Observe, &seen);
    }
    EXPECT_EQ(status, c.expected);
    EXPECT_EQ(handle, sentinel);
    EXPECT_EQ(platform_.Kernel().ThreadsCreated(), 0U);
    EXPECT_TRUE(seen.thread.empty());
    EXPECT_EQ(platform_.Verifier().Take().size(), c.records);
    platform_.Objects().Dereference(other, "test");
}

INSTANTIATE_TEST_SUITE_P(Rules, CreateFailureTest,
                         testing::Values(CreateFailure{"InjectedFault", STATUS_INSUFFICIENT_RESOURCES, 0, false, false,
                                                       false, true},
                                         CreateFailure{"NotADriverObject", STATUS_INVALID_PARAMETER, 1, true},
                                         CreateFailure{"ProcessHandleGiven", STATUS_INVALID_PARAMETER, 1, false, true},
                                         CreateFailure{"NullRoutine", STATUS_INVALID_PARAMETER, 1, false, false, true},
                                         CreateFailure{"RaisedIrqlAndFault", STATUS_INSUFFICIENT_RESOURCES, 1, false,
                                                       false, false, true, APC_LEVEL}),
                         [](const testing::TestParamInfo<CreateFailure>& param) { return param.param.name; });

// Who may use a thread handle, and as what: the handle's table follows OBJ_KERNEL_HANDLE and the
// creating thread's process; the reference checks the object type it is given.
struct HandleUse {
    const char* name;
    bool kernelHandle;        // OBJ_KERNEL_HANDLE in the ObjectAttributes
    const char* createdIn;    // the process the creating thread runs in
    const char* usedIn;       // the process the referencing (and closing) thread runs in
    POBJECT_TYPE* objectType; // what the reference asks for; null for any type
    NTSTATUS expected;        // of ObReferenceObjectByHandle
    std::size_t records;      // verifier records over creation, reference and close
};

void PrintTo(const HandleUse& c, std::ostream* os)
{
    *os << c.name;
}

class HandleUseTest : public KernelTest, public testing::WithParamInterface<HandleUse> {};

TEST_P(HandleUseTest, FollowsTheHandlesTableAndTheObjectType)
{
    const HandleUse& c = GetParam();
    platform_.Verifier().SetEcho(false);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, c.kernelHandle ? OBJ_KERNEL_HANDLE : 0, nullptr, nullptr);
    Observed seen;
    seen.driver = driver_;
    HANDLE handle = nullptr;
    {
        sim::ProcessContext process(c.createdIn);
        ASSERT_EQ(
            IoCreateSystemThread(driver_, &handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, Observe, &seen),
            STATUS_SUCCESS);
    }
    {
        sim::ProcessContext process(c.usedIn);
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, c.objectType == nullptr ? nullptr : *c.objectType,
                                            KernelMode, &thread, nullptr),
                  c.expected);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            ObDereferenceObject(thread);
        } else {
            EXPECT_EQ(thread, nullptr);
        }
        EXPECT_EQ(ZwClose(handle), c.expected == STATUS_INVALID_HANDLE ? STATUS_INVALID_HANDLE : STATUS_SUCCESS);
    }
    if (platform_.Objects().OpenHandleCount() != 0) {
        sim::ProcessContext process(c.createdIn);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS) << "the creating process can still close it";
    }
    EXPECT_TRUE(platform_.Kernel().WaitForAllThreads()); // `seen` is the thread's until it returns
    EXPECT_EQ(platform_.Verifier().Take().size(), c.records);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HandleUseTest,
    testing::Values(
        HandleUse{"SystemHandleInTheSystemProcess", false, "System", "System", PsThreadType, STATUS_SUCCESS, 0},
        HandleUse{"KernelHandleInAnApplication", true, "System", "app", PsThreadType, STATUS_SUCCESS, 0},
        HandleUse{"SystemHandleInAnApplication", false, "System", "app", nullptr, STATUS_INVALID_HANDLE, 2},
        HandleUse{"ApplicationHandleInTheSystemProcess", false, "app", "System", nullptr, STATUS_INVALID_HANDLE, 3},
        HandleUse{"KernelHandleMadeInAnApplication", true, "app", "System", nullptr, STATUS_SUCCESS, 0},
        HandleUse{"WrongObjectType", true, "System", "System", IoFileObjectType, STATUS_OBJECT_TYPE_MISMATCH, 0}),
    [](const auto& param) { return std::string(param.param.name); });

struct Sleeper {
    int count;
    LONGLONG interval;
    std::vector<sim::Ticks> wakeTimes;
};

VOID NTAPI SleepRepeatedly(PVOID context)
{
    auto* sleeper = static_cast<Sleeper*>(context);
    for (int i = 0; i < sleeper->count; ++i) {
        LARGE_INTEGER interval = Interval(sleeper->interval);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        sleeper->wakeTimes.push_back(sim::Platform::Current().Sched().Now());
    }
}

TEST_F(KernelTest, SixHundredOneSecondSleepsTakeNoRealTime)
{
    Sleeper sleeper{600, -kTicksPerSecond, {}};
    const auto started = std::chrono::steady_clock::now();
    PVOID thread = Start(SleepRepeatedly, &sleeper);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);

    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(platform_.Sched().Now(), 600 * kTicksPerSecond);
    ASSERT_EQ(sleeper.wakeTimes.size(), 600U);
    for (std::size_t i = 0; i < sleeper.wakeTimes.size(); ++i) {
        ASSERT_EQ(sleeper.wakeTimes[i], static_cast<sim::Ticks>(i + 1) * kTicksPerSecond);
    }
}

TEST_F(KernelTest, ConcurrentSleepersWakeAtTheirOwnDeadlines)
{
    Sleeper fast{3, -kTicksPerSecond, {}};
    Sleeper slow{2, -(3 * kTicksPerSecond) / 2, {}};
    PVOID first = Start(SleepRepeatedly, &fast);
    PVOID second = Start(SleepRepeatedly, &slow);
    EXPECT_EQ(KeWaitForSingleObject(first, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(second, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(first);
    ObDereferenceObject(second);

    EXPECT_EQ(fast.wakeTimes, (std::vector<sim::Ticks>{kTicksPerSecond, 2 * kTicksPerSecond, 3 * kTicksPerSecond}));
    EXPECT_EQ(slow.wakeTimes, (std::vector<sim::Ticks>{15 * kTicksPerSecond / 10, 3 * kTicksPerSecond}));
}

struct DelayCase {
    const char* name;
    LONGLONG interval;
    sim::Ticks end;
    const char* record; // expected verifier message, or nullptr
    KIRQL irql = PASSIVE_LEVEL;
};

class DelayTest : public KernelTest, public testing::WithParamInterface<DelayCase> {};

TEST_P(DelayTest, EndsAtTheExpectedVirtualTime)
{
    const DelayCase& c = GetParam();
    platform_.Verifier().SetEcho(false);
    LARGE_INTEGER interval = Interval(c.interval);
    {
        sim::ScopedIrql irql(c.irql);
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    }
    EXPECT_EQ(platform_.Sched().Now(), c.end);
    auto records = platform_.Verifier().Take();
    if (c.record == nullptr) {
        EXPECT_TRUE(records.empty()) << records.front().message;
    } else {
        ASSERT_EQ(records.size(), 1U);
        EXPECT_NE(records[0].message.find(c.record), std::string::npos) << records[0].message;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Intervals, DelayTest,
    testing::Values(DelayCase{"Relative", -250 * sim::kTicksPerMillisecond, 250 * sim::kTicksPerMillisecond, nullptr},
                    DelayCase{"Zero", 0, 0, nullptr},
                    // A positive interval is a system time: a small one lies in the past, so the
                    // call returns at once (and is flagged: a relative delay was surely meant).
                    DelayCase{"SmallPositiveIsPast", 5 * kTicksPerSecond, 0, "absolute time already in the past"},
                    DelayCase{"AbsoluteInTheFuture", kBoot + 5 * kTicksPerSecond, 5 * kTicksPerSecond, nullptr},
                    DelayCase{"AtApcLevel", -kTicksPerSecond, kTicksPerSecond, nullptr, APC_LEVEL},
                    DelayCase{"AtDispatchLevel", -kTicksPerSecond, kTicksPerSecond, "above the maximum",
                              DISPATCH_LEVEL}),
    [](const testing::TestParamInfo<DelayCase>& param) { return param.param.name; });

TEST_F(KernelTest, WaitTimeoutsOnARunningThread)
{
    sim::Gate gate(platform_);
    PVOID thread = Start(WaitAtGate, &gate);
    struct {
        LONGLONG timeout;
        sim::Ticks end;
    } const cases[] = {
        {0, 0},                                             // poll
        {7 * kTicksPerSecond, 0},                           // a small positive value: an absolute time long past
        {-5 * kTicksPerSecond, 5 * kTicksPerSecond},        // relative
        {kBoot + 7 * kTicksPerSecond, 7 * kTicksPerSecond}, // absolute system time
        {kBoot + 3 * kTicksPerSecond, 7 * kTicksPerSecond}, // absolute, already past
    };
    for (const auto& c : cases) {
        LARGE_INTEGER timeout = Interval(c.timeout);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
        EXPECT_EQ(platform_.Sched().Now(), c.end) << c.timeout;
    }
    {
        // A poll is allowed at DISPATCH_LEVEL.
        sim::ScopedIrql irql(DISPATCH_LEVEL);
        LARGE_INTEGER poll = Interval(0);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    }
    gate.Open();
    LARGE_INTEGER generous = Interval(-kTicksPerSecond);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &generous), STATUS_SUCCESS);
    EXPECT_EQ(platform_.Sched().Now(), 7 * kTicksPerSecond);
    ObDereferenceObject(thread);
}

struct SelfWait {
    sim::Gate* ready;
    HANDLE handle = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
};

VOID NTAPI WaitForSelf(PVOID context)
{
    auto* self = static_cast<SelfWait*>(context);
    self->ready->Wait();
    PVOID thread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(self->handle, 0, nullptr, KernelMode, &thread, nullptr))) {
        self->status = KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(thread);
    }
}

TEST_F(KernelTest, WaitMisuseIsRecorded)
{
    platform_.Verifier().SetEcho(false);
    auto* other = platform_.Objects().Insert(std::make_unique<OtherObject>());
    int notAnObject = 0;
    EXPECT_EQ(KeWaitForSingleObject(driver_, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeWaitForSingleObject(other, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(KeWaitForSingleObject(&notAnObject, Executive, KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER);
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 3U);
    EXPECT_NE(records[0].message.find("not a dispatcher object"), std::string::npos);
    EXPECT_NE(records[2].message.find("not a kernel object"), std::string::npos);
    platform_.Objects().Dereference(other, "test");

    // A thread that waits for its own end would hang the machine.
    sim::Gate ready(platform_);
    SelfWait self{&ready};
    ASSERT_EQ(
        IoCreateSystemThread(driver_, &self.handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitForSelf, &self),
        STATUS_SUCCESS);
    ready.Open();
    EXPECT_TRUE(platform_.Kernel().WaitForAllThreads());
    EXPECT_EQ(self.status, STATUS_INVALID_PARAMETER);
    records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_NE(records[0].message.find("its own termination"), std::string::npos);
    EXPECT_EQ(records[0].thread, "system thread 1");
    EXPECT_EQ(ZwClose(self.handle), STATUS_SUCCESS);
}

TEST_F(KernelTest, RunningThreadIsReportedAtUnloadUntilItEnds)
{
    platform_.Verifier().SetEcho(false);
    sim::Gate gate(platform_);
    PVOID thread = Start(WaitAtGate, &gate);
    platform_.Kernel().ReportHeld("unload");
    auto records = platform_.Verifier().Take();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].operation, "unload");
    EXPECT_NE(records[0].message.find("0xCE"), std::string::npos);

    gate.Open();
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    platform_.Kernel().ReportHeld("unload");
    EXPECT_TRUE(platform_.Verifier().Take().empty());
}

VOID NTAPI SleepTenSeconds(PVOID context)
{
    (void)context;
    LARGE_INTEGER interval = Interval(-10 * kTicksPerSecond);
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

VOID NTAPI StartSleeper(PVOID context)
{
    HANDLE handle = nullptr;
    if (NT_SUCCESS(IoCreateSystemThread(context, &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SleepTenSeconds,
                                        nullptr))) {
        ZwClose(handle);
    }
}

TEST_F(KernelTest, ShutdownWaitsForThreadsStartedByThreads)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(
        IoCreateSystemThread(driver_, &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, StartSleeper, driver_),
        STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    platform_.Kernel().Shutdown();
    EXPECT_EQ(platform_.Kernel().ThreadsCreated(), 2U);
    EXPECT_EQ(platform_.Kernel().LiveSystemThreads(), 0U);
    EXPECT_EQ(platform_.Sched().Now(), 10 * kTicksPerSecond);
}

TEST_F(KernelTest, SimThreadJoinWaitsOnTheVirtualClock)
{
    std::atomic<bool> woke{false};
    sim::SimThread sleeper(platform_, "sleeper", [&woke] {
        LARGE_INTEGER interval = Interval(-2 * kTicksPerSecond);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        woke = sim::Scheduler::CurrentThreadName() == "sleeper";
    });
    sleeper.Join();
    EXPECT_TRUE(sleeper.Finished());
    EXPECT_TRUE(woke);
    EXPECT_EQ(platform_.Sched().Now(), 2 * kTicksPerSecond);
    sleeper.Join(); // idempotent
}

} // namespace

// What kernel code prints reaches the debug output as the kernel would format it, and a format
// the formatter cannot follow never makes it read past the format or take the wrong argument.
TEST(DebugPrint, FormatsAsTheKernelAndStopsWhereItCannotFollow)
{
    struct Case {
        const char* name;
        std::function<void()> print;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"integers", [] { DbgPrintEx(0, 0, "%u %lx %08X %llu %zu", 7U, 0xABCDU, 0x1FU, 1ULL << 40, std::size_t{9}); },
         "7 abcd 0000001F 1099511627776 9"},
        {"null string", [] { DbgPrintEx(0, 0, "[%s]", static_cast<const char*>(nullptr)); }, "[(null)]"},
        {"ends inside a conversion", [] { DbgPrintEx(0, 0, "50%l"); }, "50%l"},
        {"kernel sizes", [] { DbgPrintEx(0, 0, "%lx %I64x %Id %ws", 0xFFFFFFFF12345678ULL, 1ULL << 36, -3LL, u"w"); },
         "12345678 1000000000 -3 w"},
        {"unknown conversion", [] { DbgPrintEx(0, 0, "%Q then %u", 1ULL, 2U); }, "%Q then %u"},
    };
    for (const Case& c : cases) {
        sim::Platform platform;
        c.print();
        const auto output = platform.DebugOutput();
        ASSERT_EQ(output.size(), 1U) << c.name;
        EXPECT_EQ(output[0], c.expected) << c.name;
    }
}
