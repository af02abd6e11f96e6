#include "support/driver_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "support/wire.h"

namespace fwtest {

Bytes Pattern(std::size_t length, std::uint8_t seed)
{
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>((seed + i) % 251);
    }
    return bytes;
}

std::vector<sim::PoolAllocation> DriversOwn(std::vector<sim::PoolAllocation> blocks)
{
    std::erase_if(blocks, [](const sim::PoolAllocation& block) { return block.tag == wire::kEntryGlueTag; });
    return blocks;
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

std::string ImageUnderTest()
{
    const char* path = std::getenv("FWRELAY_IMAGE");
    return path != nullptr ? path : "";
}

NTSTATUS LoadDriverUnderTest(sim::FrameworkModel& framework, std::unique_ptr<sim::DriverImage>* image)
{
    const std::string path = ImageUnderTest();
    if (path.empty()) {
        return framework.LoadDriver(DriverEntry);
    }
    std::string error;
    *image = sim::DriverImage::Load(path, sim::HostImport, &error);
    if (*image == nullptr) {
        ADD_FAILURE() << error;
        return STATUS_UNSUCCESSFUL;
    }
    // The linker's map beside it names the function of a fault in the image.
    (*image)->LoadSymbols(std::filesystem::path(path).replace_extension(".map").string());
    return framework.LoadDriver(**image);
}

NTSTATUS DriverTest::Load()
{
    const NTSTATUS status = LoadDriverUnderTest(framework, &image_);
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
    if (driver == nullptr) {
        return nullptr;
    }
    // An image's context type is its own, not the one linked into the test.
    return image_ != nullptr ? static_cast<PDriverContext>(framework.ContextOf(driver)) : GetDriverContext(driver);
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
