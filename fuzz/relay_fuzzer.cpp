// Arbitrary firmware behaviour through the real relay. Each input is one firmware event on a
// freshly started machine (driver loaded, one device, TA service present or not):
//
//   byte 0      size query: 0 answers with the pending size, 1 succeeds, 2 fails
//   bytes 1-4   the size the query reports (little-endian), for kinds 1 and 2
//   byte 5      the failure status of kind 2, and of a failing TA service
//   byte 6      0: DataLength as written; 1: bytes 7-10 as DataLength; 2: written size + (int8)byte 7
//   bytes 7-10  DataLength override
//   byte 11     TA service: absent, echo, a fixed answer, the first byte-12 bytes, fail
//   byte 12     bytes written by "first", length of the fixed answer
//   bytes 13-   the exchange buffer the firmware delivers
//
// Afterwards: no verifier record, nothing in pool but the channel's name copy, the event
// acknowledged exactly once, at most one buffer handed back and it differs from the delivered
// one only in the response area, and after unload nothing in pool at all. A platform per input
// keeps inputs independent; starting one costs well under a millisecond.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/driver.h"
#include "relay/relay.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/platform.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"
#include "support/invariants.h"

namespace {

constexpr std::size_t kHeaderSize = 13;
constexpr NTSTATUS kStatuses[] = {STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL, STATUS_NOT_FOUND,
                                  STATUS_INSUFFICIENT_RESOURCES, static_cast<NTSTATUS>(0x80000005)};

std::uint32_t ReadU32(const std::uint8_t* p)
{
    std::uint32_t value = 0;
    std::memcpy(&value, p, sizeof value);
    return value;
}

[[noreturn]] void Finding(const std::string& what)
{
    std::fprintf(stderr, "relay_fuzzer: %s\n", what.c_str());
    std::abort();
}

void Require(bool holds, const std::string& what)
{
    if (!holds) {
        Finding(what);
    }
}

void RunOne(const std::uint8_t* data, std::size_t size)
{
    const NTSTATUS failure = kStatuses[data[5] % std::size(kStatuses)];
    const fwtest::Bytes buffer(data + kHeaderSize, data + size);

    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    sim::FirmwareModel& firmware = platform.Firmware();
    sim::TaServiceModel& ta = platform.TaService();
    sim::FrameworkModel& framework = platform.Framework();
    firmware.SetPresent(true);

    switch (data[0] % 3) {
    case 1:
        firmware.SetSizeQuery(sim::SizeQuery::Succeed(ReadU32(data + 1)));
        break;
    case 2:
        firmware.SetSizeQuery(sim::SizeQuery::Fail(failure, ReadU32(data + 1)));
        break;
    default:
        break;
    }
    switch (data[6] % 3) {
    case 1:
        firmware.ReportDataLength(ReadU32(data + 7));
        break;
    case 2:
        firmware.ReportDataLength(
            static_cast<ULONG>(buffer.size() + static_cast<std::size_t>(static_cast<std::int8_t>(data[7]))));
        break;
    default:
        break;
    }
    const unsigned taKind = data[11] % 5;
    if (taKind != 0) {
        ta.Arrive();
    }
    switch (taKind) {
    case 2:
        ta.SetBehaviour(sim::TaBehaviour::Fixed(fwtest::Bytes(data[12], 0xC3)));
        break;
    case 3:
        ta.SetBehaviour(sim::TaBehaviour::WriteFirst(data[12]));
        break;
    case 4:
        ta.SetBehaviour(sim::TaBehaviour::Fail(failure));
        break;
    default:
        break;
    }

    Require(NT_SUCCESS(framework.LoadDriver(DriverEntry)), "start-up failed");
    Require(NT_SUCCESS(framework.AddDevice()), "device add failed");
    platform.Sched().Settle();

    firmware.RaiseEvent(buffer);
    platform.Sched().Settle();

    Require(platform.Verifier().Clean(), "verifier after the event: " + platform.Verifier().Describe());
    Require(platform.Pool().LiveCount() == 1 && platform.Pool().Live()[0].tag == 0x4E494D57 /* "WMIN" */,
            "pool after the event: " + platform.Pool().LeakReport());
    auto audit = fwtest::AuditRelays(platform);
    Require(audit.faults.empty(), audit.faults.empty() ? "" : audit.faults.front());
    Require(audit.delivered == 1 && audit.refused == 0 && audit.acknowledged == 1 && firmware.AckCount() == 1,
            "the event was not acknowledged exactly once");
    const auto handedBack = firmware.HandedBack();
    Require(handedBack.size() <= 1, "more than one buffer handed back");
    auto changed = fwtest::CheckHandedBack({buffer}, handedBack);
    Require(changed.empty(), changed.empty() ? "" : changed.front());

    for (WDFDEVICE device : framework.PnpDevices()) {
        framework.RemoveDevice(device);
    }
    platform.Sched().Settle();
    Require(framework.UnloadDriver(), "unload refused");
    platform.Shutdown();
    Require(platform.Verifier().Clean(), "verifier after unload: " + platform.Verifier().Describe());
    Require(platform.Pool().LiveCount() == 0, "pool after unload: " + platform.Pool().LeakReport());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kHeaderSize) {
        return -1; // not worth keeping in the corpus
    }
    RunOne(data, size);
    return 0;
}
