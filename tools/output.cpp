#include "tools/output.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace fwtool {

namespace {

std::string Hex32(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// The firmware model names the method; the driver called it through IoWMIExecuteMethod.
std::string CallText(const sim::TraceEvent& e)
{
    std::string text = e.operation.rfind("METHOD_", 0) == 0 ? "IoWMIExecuteMethod " + e.operation : e.operation;
    if (!e.detail.empty()) {
        text += " " + e.detail;
    }
    return text;
}

std::string StatusSuffix(const std::optional<NTSTATUS>& status)
{
    if (!status) {
        return "";
    }
    const std::string name = StatusName(*status);
    return " -> " + Hex32(*status) + (name[0] == 'S' && *status != STATUS_SUCCESS ? " " + name : "");
}

std::string EventName(const RunResult& result, const Relay& relay)
{
    if (!relay.event) {
        return "";
    }
    return " (" + result.events[*relay.event].label + ")";
}

std::string RelayText(const RunResult& result, const Relay& relay)
{
    std::string text = OutcomeName(relay.outcome);
    if (relay.outcome == Relay::Outcome::Forwarded && relay.ta) {
        text += ": TA " + (relay.ta->behaviour ? relay.ta->behaviour->Describe() : std::string("refused")) + ", " +
                std::to_string(relay.ta->responseWritten) + " response byte(s) written, status " +
                StatusName(relay.sendStatus.value_or(relay.ta->status));
        if (relay.handedBack && relay.event && result.events[*relay.event].buffer) {
            const Bytes& before = *result.events[*relay.event].buffer;
            std::size_t changed = 0;
            for (std::size_t i = 0; i < relay.handedBack->size(); ++i) {
                changed += i >= before.size() || before[i] != (*relay.handedBack)[i] ? 1U : 0U;
            }
            text += ", " + std::to_string(changed) + " byte(s) changed";
        }
    } else if (!relay.reason.empty()) {
        text += ": " + relay.reason;
    }
    if (!relay.acknowledged && relay.outcome != Relay::Outcome::Ignored) {
        text += " (not acknowledged)";
    }
    return text;
}

void Row(std::ostream& out, const std::string& label, std::uint64_t value, const std::string& extra = "")
{
    char text[64];
    std::snprintf(text, sizeof text, "  %-38s %8llu", label.c_str(), static_cast<unsigned long long>(value));
    out << text << extra << "\n";
}

nlohmann::json RelayJson(const RunResult& result, std::size_t index)
{
    const Relay& relay = result.relays[index];
    nlohmann::json j = {{"type", "relay"},
                        {"index", index + 1},
                        {"time", static_cast<double>(relay.time) / sim::kTicksPerSecond},
                        {"outcome", OutcomeName(relay.outcome)},
                        {"reason", relay.reason},
                        {"acknowledged", relay.acknowledged}};
    if (relay.event) {
        j["event"] = result.events[*relay.event].label;
    }
    if (relay.dataLength) {
        j["data_length"] = *relay.dataLength;
    }
    if (relay.ta) {
        j["ta_request"] = HexString(relay.ta->request, 4096);
        j["ta_response_written"] = relay.ta->responseWritten;
        j["ta_status"] = Hex32(relay.ta->status);
    }
    return j;
}

} // namespace

bool ParseFormat(const std::string& text, Format* format)
{
    static const std::map<std::string, Format> kFormats = {
        {"text", Format::Text}, {"json", Format::Json}, {"mermaid", Format::Mermaid}};
    auto it = kFormats.find(text);
    if (it == kFormats.end()) {
        return false;
    }
    *format = it->second;
    return true;
}

void WriteTimeline(std::ostream& out, const RunResult& result)
{
    std::map<std::uint64_t, std::size_t> relayAt;
    for (std::size_t i = 0; i < result.relays.size(); ++i) {
        relayAt[result.relays[i].firstSequence] = i;
    }
    for (const sim::TraceEvent& e : result.trace) {
        if (auto it = relayAt.find(e.sequence); it != relayAt.end()) {
            const Relay& relay = result.relays[it->second];
            out << "---------------- relay " << it->second + 1 << EventName(result, relay) << ": "
                << RelayText(result, relay) << "\n";
        }
        char head[128];
        std::snprintf(head, sizeof head, "[%11.6fs] %-15s %-9s -> %-9s ",
                      static_cast<double>(e.time) / sim::kTicksPerSecond, e.thread.c_str(), e.from.c_str(),
                      e.to.c_str());
        out << head << CallText(e) << StatusSuffix(e.status) << "\n";
    }
}

void WriteSummary(std::ostream& out, const RunResult& result)
{
    out << "\nSummary" << (result.name.empty() ? "" : " of '" + result.name + "'") << ", ended at "
        << Seconds(result.endTime) << "\n";
    Row(out, "events raised", result.events.size());
    Row(out, "events lost (no callback installed)", result.eventsLost);
    Row(out, "deliveries to the driver", result.relays.size());
    Row(out, "relayed to the TA service", result.Count(Relay::Outcome::Forwarded));
    Row(out, "handed back without the TA service", result.Count(Relay::Outcome::NoTarget));
    Row(out, "dropped", result.Count(Relay::Outcome::Dropped));
    Row(out, "ignored (channel closed)", result.Count(Relay::Outcome::Ignored));
    Row(out, "handed back", result.HandedBack());
    Row(out, "handed back unchanged", result.Unchanged());
    Row(out, "acknowledgements", result.acks);
    Row(out, "TA service requests", result.taRequests);
    Row(out, "METHOD_REGISTER calls", result.registerCalls);
    Row(out, "pool high-water mark (bytes)", result.poolHighWater);
    if (!result.relays.empty()) {
        out << "Relays:\n";
        for (std::size_t i = 0; i < result.relays.size(); ++i) {
            const Relay& relay = result.relays[i];
            out << "  " << i + 1 << ". [" << Seconds(relay.time) << "]" << EventName(result, relay) << " "
                << RelayText(result, relay) << "\n";
        }
    }
    if (!result.notes.empty()) {
        out << "Notes:\n";
        for (const std::string& note : result.notes) {
            out << "  " << note << "\n";
        }
    }
    if (result.poolLeftAtEnd != 0) {
        out << "Pool: " << result.poolLeftAtEnd << " allocation(s) still held after unload\n";
    }
    if (result.verifier.empty()) {
        out << "Verifier: clean, no platform rule broken\n";
    } else {
        out << "Verifier: " << result.verifier.size() << " record(s)\n";
        for (const sim::VerifierRecord& r : result.verifier) {
            out << "  " << r.operation << ": " << r.message << " [object " << (r.object.empty() ? "-" : r.object)
                << ", tag '" << sim::Verifier::TagText(r.tag) << "', thread '" << r.thread << "']\n";
        }
    }
    if (!result.expectations.empty()) {
        out << "Expectations: " << (result.ExpectationsMet() ? "all met" : "NOT MET") << "\n";
        for (const Expectation& e : result.expectations) {
            out << "  " << (e.met() ? "ok  " : "FAIL") << " " << e.key << ": expected " << e.expected << ", got "
                << e.actual << "\n";
        }
    }
    out << "Result: " << (result.ExitCode() == 0 ? "PASS" : "FAIL") << "\n";
}

void WriteJsonLines(std::ostream& out, const RunResult& result)
{
    for (const sim::TraceEvent& e : result.trace) {
        nlohmann::json j = {
            {"type", "call"},  {"sequence", e.sequence},   {"time", static_cast<double>(e.time) / sim::kTicksPerSecond},
            {"ticks", e.time}, {"thread", e.thread},       {"from", e.from},
            {"to", e.to},      {"operation", e.operation}, {"detail", e.detail}};
        if (e.status) {
            j["status"] = Hex32(*e.status);
        }
        out << j.dump() << "\n";
    }
    for (std::size_t i = 0; i < result.relays.size(); ++i) {
        out << RelayJson(result, i).dump() << "\n";
    }
    nlohmann::json verifier = nlohmann::json::array();
    for (const sim::VerifierRecord& r : result.verifier) {
        verifier.push_back({{"operation", r.operation},
                            {"object", r.object},
                            {"tag", sim::Verifier::TagText(r.tag)},
                            {"thread", r.thread},
                            {"message", r.message}});
    }
    nlohmann::json summary = {{"type", "summary"},
                              {"scenario", result.name},
                              {"end_time", static_cast<double>(result.endTime) / sim::kTicksPerSecond},
                              {"pool_high_water_bytes", result.poolHighWater},
                              {"pool_left_at_end", result.poolLeftAtEnd},
                              {"verifier", verifier},
                              {"notes", result.notes},
                              {"passed", result.ExitCode() == 0}};
    for (const std::string& key : ExpectationKeys()) {
        summary[key] = result.Value(key);
    }
    nlohmann::json expectations = nlohmann::json::array();
    for (const Expectation& e : result.expectations) {
        expectations.push_back({{"key", e.key}, {"expected", e.expected}, {"actual", e.actual}, {"met", e.met()}});
    }
    summary["expectations"] = expectations;
    out << summary.dump() << "\n";
}

void WriteMermaid(std::ostream& out, const RunResult& result)
{
    struct Participant {
        const char* side;
        const char* id;
        const char* label;
    };
    static constexpr Participant kParticipants[] = {
        {"test", "Scenario", "Scenario"},
        {"firmware", "Firmware", "Firmware"},
        {"kernel", "Kernel", "Kernel"},
        {"driver", "Driver", "Driver"},
        {"framework", "Framework", "Framework"},
        {"ta", "TA", "TA service"},
        {"pnp", "PnP", "PnP"},
    };
    std::set<std::string> used = {"firmware", "driver", "ta"};
    for (const sim::TraceEvent& e : result.trace) {
        used.insert(e.from);
        used.insert(e.to);
    }
    std::map<std::string, std::string> ids;
    out << "sequenceDiagram\n";
    for (const Participant& p : kParticipants) {
        ids[p.side] = p.id;
        if (used.count(p.side) != 0) {
            out << "    participant " << p.id << " as " << p.label << "\n";
        }
    }
    // ';' ends a statement and '#' starts an entity in Mermaid message text: both become entities.
    auto clean = [](const std::string& text) {
        std::string cleaned;
        for (char c : text) {
            cleaned += c == ';' ? std::string("#59;") : c == '#' ? std::string("#35;") : std::string(1, c);
        }
        return cleaned.size() > 90 ? cleaned.substr(0, 87) + "..." : cleaned;
    };
    std::map<std::uint64_t, std::size_t> relayAt;
    for (std::size_t i = 0; i < result.relays.size(); ++i) {
        relayAt[result.relays[i].firstSequence] = i;
    }
    std::optional<sim::Ticks> shownTime;
    for (const sim::TraceEvent& e : result.trace) {
        const std::string from = ids.count(e.from) != 0 ? ids[e.from] : "Kernel";
        const std::string to = ids.count(e.to) != 0 ? ids[e.to] : "Kernel";
        if (!shownTime || *shownTime != e.time) {
            out << "    Note over Firmware,Driver: t = " << Seconds(e.time) << "\n";
            shownTime = e.time;
        }
        if (auto it = relayAt.find(e.sequence); it != relayAt.end()) {
            out << "    Note over Driver: relay " << it->second + 1 << " "
                << clean(OutcomeName(result.relays[it->second].outcome)) << "\n";
        }
        out << "    " << from << "->>" << to << ": " << clean(CallText(e) + StatusSuffix(e.status)) << "\n";
    }
    std::ostringstream summary;
    WriteSummary(summary, result);
    std::istringstream lines(summary.str());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            out << "    %% " << line << "\n";
        }
    }
}

void WriteReport(std::ostream& out, const RunResult& result, Format format)
{
    switch (format) {
    case Format::Text:
        WriteTimeline(out, result);
        WriteSummary(out, result);
        break;
    case Format::Json:
        WriteJsonLines(out, result);
        break;
    case Format::Mermaid:
        WriteMermaid(out, result);
        break;
    }
}

std::string Seconds(sim::Ticks ticks)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6fs", static_cast<double>(ticks) / sim::kTicksPerSecond);
    return text;
}

} // namespace fwtool
