// A host platform with the real driver in it, and the checks every driver test ends with: a
// clean verifier and nothing left in pool once the driver has unloaded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "relay/relay.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/image_loader.h"
#include "sim/kernel.h"
#include "sim/platform.h"
#include "sim/pnp.h"
#include "sim/strings.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"
#include "target/target.h"
#include "wmi/wmi.h"

namespace fwtest {

using Bytes = std::vector<std::uint8_t>;

// Bytes 0, 1, 2, ... (mod 251) starting at `seed`: recognisable and different per area.
Bytes Pattern(std::size_t length, std::uint8_t seed);

// The driver's own blocks among `blocks`: without the entry glue's, which an image holds.
std::vector<sim::PoolAllocation> DriversOwn(std::vector<sim::PoolAllocation> blocks);

// FWRELAY_IMAGE: the x64 fwrelay.sys the driver tests run in place of the linked driver, or "".
std::string ImageUnderTest();
// Loads the driver under test through the framework's entry glue: the one linked into the test,
// or the image ImageUnderTest() names, freshly mapped into `*image` (which must stay mapped until
// the driver has unloaded and the platform is shut down).
NTSTATUS LoadDriverUnderTest(sim::FrameworkModel& framework, std::unique_ptr<sim::DriverImage>* image);

class DriverTest : public testing::Test {
protected:
    void TearDown() override;

    // Loads the driver through the framework's entry glue and, as the PnP manager does for
    // the device the driver is installed on, adds one device. The driver is the one linked into
    // the test, or, when FWRELAY_IMAGE names an x64 fwrelay.sys, that image, freshly mapped.
    NTSTATUS Load();
    // Removes every PnP device, then unloads; expects the unload to be possible.
    void RemoveDevicesAndUnload();
    // Firmware present, driver loaded with its device, TA service arrived and its target held.
    void LoadWithService();
    PDriverContext Context() const;
    // The driver under test is an image (FWRELAY_IMAGE), not the one linked into the test.
    bool RunsImage() const { return image_ != nullptr; }

    // Raises one event with this buffer and runs until the firmware has `acks` more
    // acknowledgements (or a virtual minute has passed).
    bool RaiseAndWait(const Bytes& exchangeBuffer);
    bool RunUntil(const std::function<bool()>& condition, sim::Ticks limit = 60 * sim::kTicksPerSecond);

    sim::Platform platform;
    sim::FirmwareModel& firmware = platform.Firmware();
    sim::TaServiceModel& ta = platform.TaService();
    sim::FrameworkModel& framework = platform.Framework();
    // Set by tests that expect verifier records and check them themselves.
    bool expectVerifierRecords = false;

private:
    // Declared after the platform: destroyed before it, and so never while the driver can still
    // run (TearDown has unloaded it and shut the platform down).
    std::unique_ptr<sim::DriverImage> image_;
};

} // namespace fwtest
