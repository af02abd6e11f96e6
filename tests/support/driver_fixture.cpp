#include "support/driver_fixture.h"

namespace fwtest {

Bytes Pattern(std::size_t length, std::uint8_t seed)
{
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((seed + i) % 251);
    }
    return bytes;
}

void DriverTest::TearDown()
{
    if (framework.Loaded()) {
        RemoveDevicesAndUnload();
    }
    platform.Shutdown();
    if (!expectVerifierRecords) {
        EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    }
    EXPECT_EQ(platform.Pool().LiveCount(), 0U) << platform.Pool().LeakReport();
}

NTSTATUS DriverTest::Load()
{
    NTSTATUS status = framework.LoadDriver(DriverEntry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return framework.AddDevice();
}

void DriverTest::RemoveDevicesAndUnload()
{
    for (WDFDEVICE device : framework.PnpDevices()) {
        framework.RemoveDevice(device);
    }
    platform.Sched().Settle();
    EXPECT_TRUE(framework.UnloadDriver()) << "the driver could not unload";
}

void DriverTest::LoadWithService()
{
    firmware.SetPresent(true);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ta.Arrive();
    platform.Sched().Settle();
    ASSERT_NE(Context()->ServiceTarget, nullptr);
}

PDriverContext DriverTest::Context() const
{
    WDFDRIVER driver = WdfGetDriver();
    return driver == nullptr ? nullptr : GetDriverContext(driver);
}

bool DriverTest::RaiseAndWait(const Bytes& exchangeBuffer)
{
    std::size_t before = firmware.AckCount();
    firmware.RaiseEvent(exchangeBuffer);
    return RunUntil([&] { return firmware.AckCount() > before; });
}

bool DriverTest::RunUntil(const std::function<bool()>& condition, sim::Ticks limit)
{
    return platform.Sched().RunUntil(condition, platform.Sched().Now() + limit);
}

} // namespace fwtest
