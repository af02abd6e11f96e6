// What must hold after any run of the driver, however hostile the firmware or the platform was:
// every event the driver took was acknowledged exactly once, and every buffer handed back to the
// firmware differs from one that was raised only inside its response area.
//
// Shared by the fault sweep, the race stress test, the edge tests and the fuzzers, so none of
// them links the test framework through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {
class Platform;
}

namespace fwtest {

using Bytes = std::vector<std::uint8_t>;

// One relay as the WMI notification thread's trace shows it: the firmware methods the driver
// attempted while one event was delivered, including calls the WMI layer turned away.
struct RelayAudit {
    std::size_t delivered = 0;    // deliveries the driver's callback received
    std::size_t refused = 0;      // deliveries the driver returned from without a firmware call
    std::size_t acknowledged = 0; // METHOD_ACKNOWLEDGE attempts
    std::vector<std::string> faults;
};

// Reads the platform's trace. A delivery is refused when the driver made no firmware call for
// it (the channel was not open); otherwise its last call, and only that one, must be
// METHOD_ACKNOWLEDGE. The firmware's acknowledgement count must match the attempts that reached it.
RelayAudit AuditRelays(sim::Platform& platform);

// The firmware methods one event attempted, in order, against the relay's rule: the size query
// first, and exactly one METHOD_ACKNOWLEDGE, last. Empty when they follow it.
std::vector<std::string> CheckEventMethods(const std::vector<unsigned>& methods);

// The firmware methods attempted on one thread since the trace was last cleared, in order, and
// how many of the METHOD_ACKNOWLEDGE attempts reached the firmware. For a harness that calls the
// driver's event callback itself, without a delivery by the WMI layer.
struct MethodAttempts {
    std::vector<unsigned> methods; // calls the WMI layer turned away included
    std::size_t acknowledgementsReached = 0;
};
MethodAttempts AttemptedMethods(sim::Platform& platform, const std::string& thread);

// A description of every buffer handed back to the firmware that matches no raised buffer: same
// DataLength (the raised bytes zero-extended, as the zero-filled pool would hold them), the raised
// buffer valid within it, and every byte outside its response area equal. Empty when all match.
std::vector<std::string> CheckHandedBack(const std::vector<Bytes>& raised, const std::vector<Bytes>& handedBack);

// An exchange buffer whose request starts with `id`, so that each one raised is recognisable:
// request and response in distinct patterns, a trailer, then zeros up to `padTo`.
Bytes NumberedExchangeBuffer(std::uint32_t id, std::size_t requestLength, std::size_t responseLength,
                             std::size_t padTo = 0);

} // namespace fwtest
