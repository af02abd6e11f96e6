// The registration retry worker on the virtual clock: attempts one second apart, at most 600,
// stopped and joined by unload.
#include <chrono>

#include "support/driver_fixture.h"
#include "support/wire.h"

namespace {

class RetryTest : public fwtest::DriverTest {
protected:
    // Opens of the method block: one per attempt that reached the firmware's blocks.
    std::uint64_t MethodBlockOpens() { return platform.Faults().Count("IoWMIOpenBlock"); }
    bool WorkerRunning() { return platform.Kernel().LiveSystemThreads() != 0; }
    // The worker reads the flag with interlocked operations; so must the test.
    bool RetryActive() { return __atomic_load_n(&Context()->RetryActive, __ATOMIC_SEQ_CST) != FALSE; }
    sim::Ticks Now() { return platform.Sched().Now(); }
};

TEST_F(RetryTest, FirmwareReadyAtStartUpNeedsNoWorker)
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->RetryThread, nullptr);
    EXPECT_FALSE(RetryActive());
    EXPECT_EQ(platform.Kernel().ThreadsCreated(), 0U);
    EXPECT_TRUE(firmware.Registered());
}

TEST_F(RetryTest, FirmwareReadyAfterFiveFailedAttemptsOpensAtTheSixth)
{
    firmware.AppearAt(6 * sim::kTicksPerSecond);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_NE(Context()->RetryThread, nullptr);
    EXPECT_TRUE(RetryActive());

    ASSERT_TRUE(RunUntil([&] { return firmware.Registered(); }));
    EXPECT_EQ(Now(), 6 * sim::kTicksPerSecond);
    ASSERT_TRUE(RunUntil([&] { return !WorkerRunning(); }));

    // Start-up's attempt, five failed retries, and the sixth that opened both blocks.
    EXPECT_EQ(MethodBlockOpens(), 1U + 5U + 2U);
    platform.Sched().AdvanceBy(10 * sim::kTicksPerSecond);
    EXPECT_EQ(MethodBlockOpens(), 8U);
    EXPECT_EQ(firmware.RegisterCalls(), 1U);
    EXPECT_EQ(platform.Kernel().ThreadsCreated(), 1U);
    // The handle stays held until unload, which closes it; the flag stays as the worker left it.
    EXPECT_NE(Context()->RetryThread, nullptr);
    EXPECT_TRUE(RetryActive());
}

TEST_F(RetryTest, FirmwareNeverReadyGetsExactly600AttemptsQuickly)
{
    firmware.SetPresent(false);
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return !WorkerRunning(); }, 3600 * sim::kTicksPerSecond));
    auto elapsed = std::chrono::steady_clock::now() - started;

    EXPECT_EQ(MethodBlockOpens(), 1U + 600U);
    EXPECT_EQ(Now(), 600 * sim::kTicksPerSecond);
    EXPECT_LT(elapsed, std::chrono::seconds(2)) << "ten virtual minutes must not cost real time";

    // The worker has ended by itself; unload still closes its handle (checked by unload).
    RemoveDevicesAndUnload();
    EXPECT_EQ(platform.Objects().OpenHandleCount(), 0U);
    EXPECT_EQ(firmware.UnregisterCalls(), 0U);
}

TEST_F(RetryTest, UnloadDuringTheSleepEndsTheWorkerWithoutAnotherAttempt)
{
    firmware.SetPresent(false);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    platform.Sched().Settle(); // the worker sleeps towards its first attempt
    ASSERT_TRUE(WorkerRunning());
    firmware.SetPresent(true); // an attempt now would succeed: none may be made

    RemoveDevicesAndUnload();

    EXPECT_EQ(MethodBlockOpens(), 1U);
    EXPECT_FALSE(WorkerRunning());
    EXPECT_EQ(firmware.RegisterCalls(), 0U);
    EXPECT_EQ(firmware.UnregisterCalls(), 0U);
    EXPECT_LE(Now(), 1 * sim::kTicksPerSecond);
}

TEST_F(RetryTest, UnloadAfterTheChannelOpenedByRetryUnregistersOnce)
{
    firmware.AppearAt(3 * sim::kTicksPerSecond);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return firmware.Registered() && !WorkerRunning(); }));

    RemoveDevicesAndUnload();

    EXPECT_EQ(firmware.UnregisterCalls(), 1U);
    EXPECT_FALSE(firmware.Registered());
}

TEST_F(RetryTest, RegisterRefusedTwiceIsRetriedUntilAccepted)
{
    firmware.SetPresent(true);
    firmware.FailRegister(3);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_TRUE(RunUntil([&] { return firmware.Registered(); }));
    EXPECT_EQ(firmware.RegisterCalls(), 4U);
    EXPECT_EQ(Now(), 3 * sim::kTicksPerSecond);
}

TEST_F(RetryTest, RegisterAnsweringMoreThanOfferedIsRetriedThoughTheFirmwareRegistered)
{
    // The WMI layer answers STATUS_BUFFER_TOO_SMALL after the method has run: the firmware holds
    // a registration the driver does not know of, and the worker registers again a second later.
    firmware.SetPresent(true);
    platform.Faults().FailNth("FirmwareMethodOutput", 1);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(firmware.Registered());
    EXPECT_EQ(Context()->MethodBlock, nullptr);
    ASSERT_TRUE(RunUntil([&] { return firmware.RegisterCalls() == 2U && !WorkerRunning(); }));
    EXPECT_NE(Context()->MethodBlock, nullptr);
    EXPECT_EQ(firmware.UnregisterCalls(), 0U);
    EXPECT_EQ(Now(), sim::kTicksPerSecond);
}

// ---- The worker as the kernel's handle table and clock see it ----

TEST_F(RetryTest, TheWorkersHandleHasFullAccessAndItSleepsRelativeSeconds)
{
    firmware.AppearAt(3 * sim::kTicksPerSecond);
    ASSERT_EQ(Load(), STATUS_SUCCESS);

    const auto handles = platform.Objects().OpenHandles();
    ASSERT_EQ(handles.size(), 1U);
    EXPECT_EQ(handles[0].objectType, "Thread");
    EXPECT_EQ(handles[0].grantedAccess, fwtest::wire::kThreadAllAccess);

    // Attempts at 1 s, 2 s and 3 s after start-up: each sleep is one relative second.
    ASSERT_TRUE(RunUntil([&] { return firmware.Registered(); }));
    EXPECT_EQ(Now(), 3 * sim::kTicksPerSecond);
    const auto delays = platform.Trace().Find("KeDelayExecutionThread");
    EXPECT_EQ(delays.size(), 3U);
}

} // namespace
