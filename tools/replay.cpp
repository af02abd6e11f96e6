#include "tools/replay.h"

#include <cstdio>
#include <cstring>

#include "relay/relay.h"
#include "tools/output.h"

namespace fwtool {

namespace {

ULONG64 ReadU64(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    ULONG64 value = 0;
    if (offset + sizeof value <= bytes.size()) {
        std::memcpy(&value, bytes.data() + offset, sizeof value);
    }
    return value;
}

void Field(std::ostream& out, const char* name, std::size_t offset, ULONG64 value, const char* note)
{
    char line[160];
    std::snprintf(line, sizeof line, "    +%-2zu %-16s 0x%016llx  %s\n", offset, name,
                  static_cast<unsigned long long>(value), note);
    out << line;
}

} // namespace

Scenario ReplayScenario(const Bytes& buffer, const sim::TaBehaviour& answer, bool noTarget)
{
    Scenario scenario;
    scenario.name = "replay";
    scenario.firmware.present = true;
    scenario.taPresent = !noTarget;
    scenario.taBehaviour = answer;
    Step load;
    load.kind = StepKind::Load;
    Step device;
    device.kind = StepKind::AddDevice;
    Step event;
    event.kind = StepKind::Event;
    event.at = sim::kTicksPerSecond;
    event.event.label = "replayed buffer";
    event.event.buffer = buffer;
    scenario.steps = {load, device, event};
    return scenario;
}

void WriteReplayReport(std::ostream& out, const RunResult& result)
{
    const Bytes delivered = result.events.empty() || !result.events[0].buffer ? Bytes{} : *result.events[0].buffer;
    out << "Exchange buffer: " << delivered.size() << " bytes delivered by the firmware\n";
    if (result.relays.empty()) {
        out << "Verdict: the event never reached the driver\n";
    }
    for (const Relay& relay : result.relays) {
        out << "Verdict: " << OutcomeName(relay.outcome) << (relay.reason.empty() ? "" : ": " + relay.reason) << "\n";
        if (relay.bufferSize && relay.dataLength) {
            out << "  fetched into a " << *relay.bufferSize << "-byte buffer, DataLength " << *relay.dataLength << "\n";
        }
        out << "  acknowledged: " << (relay.acknowledged ? "yes" : "no") << "\n";
        if (relay.ta) {
            const sim::TaRequest& ta = *relay.ta;
            char code[64];
            std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(ta.ioctlCode));
            out << "\nTA service received IOCTL " << code << " (input " << ta.inputLength << " bytes, output "
                << ta.outputLength << " bytes):\n";
            Field(out, "Reserved0", 0, ReadU64(ta.input, 0), ta.reserved0 == 0 ? "zero" : "NOT ZERO");
            Field(out, "Reserved1", 8, ReadU64(ta.input, 8), ta.reserved1 == 0 ? "zero" : "NOT ZERO");
            Field(out, "RequestAddress", 16, ReadU64(ta.input, 16), "driver pool ('TARQ')");
            Field(out, "RequestLength", 24, ReadU64(ta.input, 24), "");
            Field(out, "ResponseAddress", 32, ReadU64(ta.input, 32), "driver pool ('TARP')");
            Field(out, "ResponseLength", 40, ReadU64(ta.input, 40), "");
            out << "  request bytes (" << ta.request.size() << "):\n" << HexDump(ta.request);
            out << "  answer: " << (ta.behaviour ? ta.behaviour->Describe() : std::string("refused")) << ", "
                << ta.responseWritten << " response byte(s) written, completed with " << StatusName(ta.status) << "\n";
        } else {
            out << "\nTA service received nothing\n";
        }
        if (relay.handedBack) {
            out << "\nHanded back (" << relay.handedBack->size() << " bytes; changed bytes in [brackets]):\n"
                << HexDump(*relay.handedBack, &delivered);
        } else {
            out << "\nNothing was handed back\n";
        }
    }
    if (result.verifier.empty()) {
        out << "\nVerifier: clean, no platform rule broken\n";
    } else {
        WriteSummary(out, result);
    }
}

} // namespace fwtool
