// The input format shared by the two relay fuzzers, so that either one replays the other's
// corpus. One input is one firmware event:
//
//   byte 0      size query: 0 answers with the pending size, 1 succeeds, 2 fails (value % 3)
//   bytes 1-4   the size the query reports (little-endian), for kinds 1 and 2
//   byte 5      the failure status of kind 2, and of a failing TA service
//   byte 6      low nibble % 3: 0 DataLength as written; 1 bytes 7-10 as DataLength;
//               2 written size + (int8)byte 7.
//               high nibble: 0 no fault; N fails the Nth fallible platform call of the event
//   bytes 7-10  DataLength override
//   byte 11     TA service (value % 5): absent, echo, a fixed answer, the first byte-12 bytes, fail
//   byte 12     bytes written by "first", length of the fixed answer
//   bytes 13-   the exchange buffer the firmware delivers
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "platform/ntbase.h"
#include "require.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/platform.h"
#include "sim/ta_service.h"

namespace fwfuzz {

inline constexpr std::size_t kHeaderSize = 13;
// The fuzzed machine has 64 MiB of pool: a firmware-chosen size above it is refused as on a
// small machine, and no input makes the host copy gigabytes for what it hands back.
inline constexpr std::size_t kPoolCapacity = std::size_t{64} << 20;

struct RelayInput {
    sim::SizeQuery sizeQuery;
    std::optional<ULONG> dataLength; // what the firmware reports after the fetch, if not the truth
    unsigned failCall = 0;           // 0: nothing fails; N: the Nth fallible call of the event
    bool taPresent = false;
    sim::TaBehaviour ta;
    std::vector<std::uint8_t> buffer;
};

inline std::uint32_t ReadU32(const std::uint8_t* p)
{
    std::uint32_t value = 0;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Null for inputs shorter than the header.
inline std::optional<RelayInput> DecodeRelayInput(const std::uint8_t* data, std::size_t size)
{
    static constexpr NTSTATUS kStatuses[] = {STATUS_BUFFER_TOO_SMALL, STATUS_UNSUCCESSFUL, STATUS_NOT_FOUND,
                                             STATUS_INSUFFICIENT_RESOURCES, static_cast<NTSTATUS>(0x80000005)};
    if (size < kHeaderSize) {
        return std::nullopt;
    }
    RelayInput input;
    const NTSTATUS failure = kStatuses[data[5] % std::size(kStatuses)];
    input.buffer.assign(data + kHeaderSize, data + size);

    switch (data[0] % 3) {
    case 1:
        input.sizeQuery = sim::SizeQuery::Succeed(ReadU32(data + 1));
        break;
    case 2:
        input.sizeQuery = sim::SizeQuery::Fail(failure, ReadU32(data + 1));
        break;
    default:
        break;
    }
    switch ((data[6] & 0x0F) % 3) {
    case 1:
        input.dataLength = ReadU32(data + 7);
        break;
    case 2:
        input.dataLength =
            static_cast<ULONG>(input.buffer.size() + static_cast<std::size_t>(static_cast<std::int8_t>(data[7])));
        break;
    default:
        break;
    }
    input.failCall = data[6] >> 4;
    const unsigned taKind = data[11] % 5;
    input.taPresent = taKind != 0;
    switch (taKind) {
    case 2:
        input.ta = sim::TaBehaviour::Fixed(std::vector<std::uint8_t>(data[12], 0xC3));
        break;
    case 3:
        input.ta = sim::TaBehaviour::WriteFirst(data[12]);
        break;
    case 4:
        input.ta = sim::TaBehaviour::Fail(failure);
        break;
    default:
        input.ta = sim::TaBehaviour::Echo();
        break;
    }
    return input;
}

// The end of a machine's life in both relay targets: every device removed, the driver unloaded,
// the platform stopped, and nothing left behind.
inline void UnloadAndRequireNothingLeft(sim::Platform& platform)
{
    for (WDFDEVICE device : platform.Framework().PnpDevices()) {
        platform.Framework().RemoveDevice(device);
    }
    platform.Sched().Settle();
    Require(platform.Framework().UnloadDriver(), "unload refused");
    platform.Shutdown();
    Require(platform.Verifier().Clean(), [&] { return "verifier after unload: " + platform.Verifier().Describe(); });
    Require(platform.Pool().LiveCount() == 0, [&] { return "pool after unload: " + platform.Pool().LeakReport(); });
}

} // namespace fwfuzz
