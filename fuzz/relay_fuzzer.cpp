// Arbitrary firmware behaviour through the real relay, the slow and deep target: each input is
// one firmware event in a whole life of its own (platform started, driver loaded, one device,
// TA service present or not, the event raised and delivered by the WMI layer's thread, the
// device removed, the driver unloaded, the platform stopped). Inputs are those of
// relay_input.h, shared with relay_fast_fuzzer.
//
// Afterwards: no verifier record, nothing in pool but the channel's name copy, the event
// acknowledged exactly once, at most one buffer handed back and it differs from the delivered
// one only in the response area, and after unload nothing in pool at all. A platform per input
// keeps inputs independent and covers what one long-lived machine cannot: the relay without a
// service target, start-up and unload around every event.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "driver/driver.h"
#include "relay/relay.h"
#include "relay_input.h"
#include "require.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/platform.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"
#include "support/invariants.h"
#include "support/wire.h"

namespace {

using fwfuzz::Require;

void RunOne(const fwfuzz::RelayInput& input)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    platform.Pool().SetCapacity(fwfuzz::kPoolCapacity);
    sim::FirmwareModel& firmware = platform.Firmware();
    sim::TaServiceModel& ta = platform.TaService();
    sim::FrameworkModel& framework = platform.Framework();
    firmware.SetPresent(true);
    firmware.SetSizeQuery(input.sizeQuery);
    firmware.ReportDataLength(input.dataLength);
    if (input.taPresent) {
        ta.Arrive();
        ta.SetBehaviour(input.ta);
    }

    Require(NT_SUCCESS(framework.LoadDriver(DriverEntry)), "start-up failed");
    Require(NT_SUCCESS(framework.AddDevice()), "device add failed");
    platform.Sched().Settle();

    platform.Faults().ResetCounts();
    if (input.failCall != 0) {
        platform.Faults().FailGlobalNth(input.failCall);
    }
    firmware.RaiseEvent(input.buffer);
    platform.Sched().Settle();
    platform.Faults().ClearRules();

    Require(platform.Verifier().Clean(), [&] { return "verifier after the event: " + platform.Verifier().Describe(); });
    Require(platform.Pool().LiveCount() == 1 && platform.Pool().Live()[0].tag == fwtest::wire::Tag("WMIN"),
            [&] { return "pool after the event: " + platform.Pool().LeakReport(); });
    auto audit = fwtest::AuditRelays(platform);
    Require(audit.faults.empty(), [&] { return audit.faults.front(); });
    // An acknowledgement turned away by an injected failure never reaches the firmware; the audit
    // has already matched the firmware's count against the attempts that reached it.
    Require(audit.delivered == 1 && audit.refused == 0 && audit.acknowledged == 1 &&
                (input.failCall != 0 || firmware.AckCount() == 1),
            [&] {
                return "the event was not acknowledged exactly once: delivered " + std::to_string(audit.delivered) +
                       ", refused " + std::to_string(audit.refused) + ", acknowledgement attempts " +
                       std::to_string(audit.acknowledged) + ", acknowledgements counted " +
                       std::to_string(firmware.AckCount()) + ", injected " +
                       (platform.Faults().Injected().empty() ? std::string("none")
                                                             : platform.Faults().Injected().front());
            });
    const auto handedBack = firmware.HandedBack();
    Require(handedBack.size() <= 1, "more than one buffer handed back");
    auto changed = fwtest::CheckHandedBack({input.buffer}, handedBack);
    Require(changed.empty(), [&] { return changed.front(); });

    fwfuzz::UnloadAndRequireNothingLeft(platform);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto input = fwfuzz::DecodeRelayInput(data, size);
    if (!input) {
        return -1; // not worth keeping in the corpus
    }
    RunOne(*input);
    return 0;
}
