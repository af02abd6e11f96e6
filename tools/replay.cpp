#include "tools/replay.h"

#include <cstdio>
#include <cstring>
#include <string>

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

void Field(std::ostream& out, const char* name, std::size_t offset, const std::string& value, const char* note)
{
    char line[160];
    std::snprintf(line, sizeof line, "    +%-2zu %-16s %-18s  %s\n", offset, name, value.c_str(), note);
    out << line;
}

std::string Value(ULONG64 value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
    return text;
}

// The host's addresses change from run to run; whether one was given does not.
std::string Address(ULONG64 value)
{
    return value == 0 ? Value(0) : "(an address)";
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

void WriteReplayReport(std::ostream& out, const RunResult& result, std::size_t maxRows)
{
    auto dump = [maxRows](const Bytes& bytes, const Bytes* before) {
        bool cut = false;
        std::string text = HexDump(bytes, before, maxRows, &cut);
        if (cut) {
            text += "     (--dump-all shows every byte)\n";
        }
        return text;
    };
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
            Field(out, "Reserved0", 0, Value(ReadU64(ta.input, 0)), ta.reserved0 == 0 ? "zero" : "NOT ZERO");
            Field(out, "Reserved1", 8, Value(ReadU64(ta.input, 8)), ta.reserved1 == 0 ? "zero" : "NOT ZERO");
            Field(out, "RequestAddress", 16, Address(ReadU64(ta.input, 16)), "driver pool ('TARQ')");
            Field(out, "RequestLength", 24, Value(ReadU64(ta.input, 24)), "");
            Field(out, "ResponseAddress", 32, Address(ReadU64(ta.input, 32)), "driver pool ('TARP')");
            Field(out, "ResponseLength", 40, Value(ReadU64(ta.input, 40)), "");
            out << "  request bytes (" << ta.request.size() << "):\n" << dump(ta.request, nullptr);
            out << "  answer: " << (ta.behaviour ? ta.behaviour->Describe() : std::string("refused")) << ", "
                << ta.responseWritten << " response byte(s) written, completed with " << StatusName(ta.status) << "\n";
        } else {
            out << "\nTA service received nothing\n";
        }
        if (relay.handedBack) {
            out << "\nHanded back (" << relay.handedBack->size() << " bytes; changed bytes in [brackets]):\n"
                << dump(*relay.handedBack, &delivered);
        } else {
            out << "\nNothing was handed back\n";
        }
    }
    if (result.verifier.empty()) {
        out << "\nVerifier: clean, no platform rule broken\n";
        WriteImageStackUse(out, result);
    } else {
        WriteSummary(out, result);
    }
}

} // namespace fwtool
