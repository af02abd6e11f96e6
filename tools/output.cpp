#include "tools/output.h"

#include <nlohmann/json.hpp>

#include "sim/image_loader.h"
#include "tools/stats.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
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

// "(label)" of the event whose notification the relay was, and of the buffer it fetched when
// that belongs to another event.
std::string EventName(const RunResult& result, const Relay& relay)
{
    std::string text;
    if (relay.delivered) {
        text = EscapeControls(result.events[*relay.delivered].label);
    }
    if (relay.event && relay.event != relay.delivered) {
        text += (text.empty() ? "" : "; ") + std::string("fetched the buffer of '") +
                EscapeControls(result.events[*relay.event].label) + "'";
    }
    return text.empty() ? "" : " (" + text + ")";
}

std::string RelayText(const RunResult& /*result*/, const Relay& relay)
{
    std::string text = OutcomeName(relay.outcome);
    if (relay.outcome == Relay::Outcome::Forwarded && relay.ta) {
        text += ": TA " + (relay.ta->behaviour ? relay.ta->behaviour->Describe() : std::string("refused")) + ", " +
                std::to_string(relay.ta->responseWritten) + " response byte(s) written, status " +
                StatusName(relay.sendStatus.value_or(relay.ta->status));
        if (relay.changedBytes) {
            text += ", " + std::to_string(*relay.changedBytes) + " byte(s) changed";
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
    std::snprintf(text, sizeof text, "  %-42s %8llu", label.c_str(), static_cast<unsigned long long>(value));
    out << text << extra << "\n";
}

double SecondsValue(sim::Ticks ticks)
{
    return static_cast<double>(ticks) / sim::kTicksPerSecond;
}

nlohmann::json OptionalIndex(const std::optional<std::size_t>& index)
{
    return index ? nlohmann::json(*index + 1) : nlohmann::json(nullptr);
}

nlohmann::json RelayJson(const RunResult& result, std::size_t index)
{
    const Relay& relay = result.relays[index];
    nlohmann::json j = {{"type", "relay"},
                        {"index", index + 1},
                        {"ticks", relay.time},
                        {"time", SecondsValue(relay.time)},
                        {"outcome", OutcomeName(relay.outcome)},
                        {"reason", relay.reason},
                        {"acknowledged", relay.acknowledged}};
    j["delivered_event"] = OptionalIndex(relay.delivered);
    j["fetched_event"] = OptionalIndex(relay.event);
    if (relay.event) {
        j["event"] = result.events[*relay.event].label;
    }
    if (relay.dataLength) {
        j["data_length"] = *relay.dataLength;
    }
    if (relay.sendStatus) {
        j["send_status"] = Hex32(*relay.sendStatus);
    }
    if (relay.ta) {
        // The bytes as hex, at most kJsonRequestBytes of them; the length says whether that is all.
        const Bytes& request = relay.ta->request;
        j["ta_request"] =
            HexString(Bytes(request.begin(),
                            request.begin() + static_cast<std::ptrdiff_t>(std::min(request.size(), kJsonRequestBytes))),
                      kJsonRequestBytes);
        j["ta_request_bytes"] = request.size();
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

namespace {

std::string TimelineLine(const sim::TraceEvent& e)
{
    char head[128];
    std::snprintf(head, sizeof head, "[%11.6fs] %-15s %-9s -> %-9s ",
                  static_cast<double>(e.time) / sim::kTicksPerSecond, e.thread.c_str(), e.from.c_str(), e.to.c_str());
    return head + EscapeControls(CallText(e)) + StatusSuffix(e.status) + "\n";
}

std::string RelayHeader(const RunResult& result, std::size_t index)
{
    const Relay& relay = result.relays[index];
    return "---------------- relay " + std::to_string(index + 1) + EventName(result, relay) + ": " +
           RelayText(result, relay) + "\n";
}

// The timeline as the run goes: a relay's lines wait for its outcome, which heads them, so at
// most one relay's lines are held at a time.
class TextSink : public RunSink {
public:
    TextSink(std::ostream& out, const ReportOptions& options) : out_(out), options_(options) {}

    void Call(const RunResult&, const sim::TraceEvent& call, std::optional<std::size_t> relay, bool opens) override
    {
        if (options_.summaryOnly) {
            return;
        }
        if (opens) {
            held_ = relay;
        }
        const bool shown = options_.filter.PassCall(call, relay);
        if (held_) {
            if (shown) {
                lines_.push_back(TimelineLine(call));
            }
        } else if (shown) {
            out_ << TimelineLine(call);
        }
    }

    void RelayClosed(const RunResult& result, std::size_t relay) override
    {
        if (options_.summaryOnly || held_ != relay) {
            return;
        }
        if (options_.filter.PassRelay(result, relay)) {
            out_ << RelayHeader(result, relay);
        }
        for (const std::string& line : lines_) {
            out_ << line;
        }
        lines_.clear();
        held_.reset();
    }

    void End(const RunResult& result) override
    {
        for (const std::string& line : lines_) {
            out_ << line;
        }
        lines_.clear();
        if (result.deadlock) {
            WriteDeadlock(out_, result);
        }
        WriteSummary(out_, result);
        if (options_.stats != nullptr) {
            options_.stats->WriteText(out_, result);
        }
        out_.flush();
    }

private:
    std::ostream& out_;
    const ReportOptions& options_;
    std::optional<std::size_t> held_;
    std::vector<std::string> lines_;
};

} // namespace

void WriteTimeline(std::ostream& out, const RunResult& result)
{
    // The timeline alone: a sink whose end writes nothing.
    class TimelineOnly : public RunSink {
    public:
        explicit TimelineOnly(std::ostream& out) : text_(out, options_) {}
        void Call(const RunResult& r, const sim::TraceEvent& c, std::optional<std::size_t> relay, bool opens) override
        {
            text_.Call(r, c, relay, opens);
        }
        void RelayClosed(const RunResult& r, std::size_t relay) override { text_.RelayClosed(r, relay); }
        void End(const RunResult&) override {}

    private:
        ReportOptions options_;
        TextSink text_;
    };
    TimelineOnly sink(out);
    Replay(result, sink);
}

void WriteDeadlock(std::ostream& out, const RunResult& result)
{
    if (!result.deadlock) {
        return;
    }
    out << "\nDeadlock at " << Seconds(result.deadlock->time)
        << ": every thread is blocked and nothing can move them on; the run stops here\n";
    for (const Deadlock::Thread& t : result.deadlock->threads) {
        out << "  " << t.name << ": ";
        if (t.call.empty() && t.reason.empty()) {
            out << "idle, waiting for work\n";
        } else {
            out << (t.call.empty() ? "no driver call" : t.call) << ", " << (t.reason.empty() ? "blocked" : t.reason)
                << "\n";
        }
    }
}

std::string SignalName(int signal)
{
    switch (signal) {
    case SIGINT:
        return "SIGINT";
    case SIGTERM:
        return "SIGTERM";
    default:
        return "signal " + std::to_string(signal);
    }
}

void WriteImageStackUse(std::ostream& out, const RunResult& result)
{
    if (result.image.empty()) {
        return;
    }
    out << "Image: " << EscapeControls(result.image) << "\n";
    out << "  deepest stack use by entry point, from the call-in to its deepest call into the host (budget "
        << sim::kImageStackBudget << " bytes):\n";
    for (const auto& [entryPoint, bytes] : result.stackUse) {
        Row(out, entryPoint, bytes, bytes == 0 ? " (made no call into the host)" : "");
    }
}

void WriteSummary(std::ostream& out, const RunResult& result)
{
    out << "\nSummary" << (result.name.empty() ? "" : " of '" + EscapeControls(result.name) + "'")
        << (result.Unfinished() ? ", stopped at " : ", ended at ") << Seconds(result.endTime) << "\n";
    if (!result.description.empty()) {
        // A folded or literal description keeps its lines, each indented under the heading.
        std::string description = result.description;
        while (!description.empty() && description.back() == '\n') {
            description.pop_back();
        }
        std::string indented;
        for (char c : description) {
            indented += c == '\n' ? std::string("\n  ") : std::string(1, c);
        }
        out << "  " << EscapeControls(indented, true) << "\n";
    }
    // Counts of relays by outcome and counts of calls are told apart by their nouns.
    Row(out, "events raised", result.events.size());
    Row(out, "events lost before any callback ran", result.eventsLost);
    Row(out, "deliveries to the driver (relays)", result.relays.size());
    Row(out, "relays forwarded to the TA service", result.Count(Relay::Outcome::Forwarded));
    Row(out, "relays handed back without the TA service", result.Count(Relay::Outcome::NoTarget));
    Row(out, "relays dropped", result.Count(Relay::Outcome::Dropped));
    Row(out, "relays ignored (channel closed)", result.Count(Relay::Outcome::Ignored));
    Row(out, "buffers handed back (METHOD_SET_RESPONSE)", result.HandedBack());
    Row(out, "buffers handed back unchanged", result.Unchanged());
    Row(out, "acknowledgements (METHOD_ACKNOWLEDGE)", result.acks);
    Row(out, "TA service requests", result.taRequests);
    Row(out, "METHOD_REGISTER calls", result.registerCalls);
    Row(out, "buffers still pending at the end", result.PendingAtEnd());
    Row(out, "pool high-water mark (bytes)", result.poolHighWater);
    WriteImageStackUse(out, result);
    if (!result.events.empty()) {
        out << "Events:\n";
        for (std::size_t i = 0; i < result.events.size(); ++i) {
            out << "  " << i + 1 << ". [" << Seconds(result.events[i].time) << "] "
                << EscapeControls(result.events[i].label) << ": " << EscapeControls(EventFate(result, i)) << "\n";
        }
    }
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
            out << "  " << EscapeControls(note) << "\n";
        }
    }
    if (result.retryGaveUp) {
        out << "Retry worker: gave up at " << Seconds(result.retryGaveUp->time) << " after "
            << result.retryGaveUp->attempts << " attempt(s); the firmware channel never opened\n";
    }
    if (result.Unfinished()) {
        out << "End: the run stopped with the driver " << (result.loadedAtEnd ? "loaded" : "not loaded") << ", "
            << result.poolLeftAtEnd << " pool allocation(s) held\n";
    } else {
        out << "End: "
            << (result.loadedAtEnd ? "the driver refused to unload and is still loaded" : "the driver unloaded");
        out << (result.poolLeftAtEnd == 0
                    ? ", no pool left held\n"
                    : ", " + std::to_string(result.poolLeftAtEnd) + " pool allocation(s) still held\n");
    }
    if (result.verifier.empty()) {
        out << "Verifier: clean, no platform rule broken\n";
    } else {
        out << "Verifier: " << result.verifier.size() << " record(s)\n";
        for (const sim::VerifierRecord& r : result.verifier) {
            out << "  " << r.operation << ": " << EscapeControls(r.message) << " [object "
                << (r.object.empty() ? "-" : r.object) << ", tag '" << sim::Verifier::TagText(r.tag) << "', thread '"
                << r.thread << "']\n";
        }
    }
    if (result.Unfinished()) {
        out << "Expectations: not checked, the run did not reach its end\n";
    } else if (!result.expectations.empty()) {
        out << "Expectations: " << (result.ExpectationsMet() ? "all met" : "NOT MET") << "\n";
        for (const Expectation& e : result.expectations) {
            out << "  " << (e.met() ? "ok  " : "FAIL") << " " << e.key << ": expected " << e.expected << ", got "
                << e.actual << "\n";
        }
    }
    if (result.interruptedBy) {
        out << "Result: INTERRUPTED by " << SignalName(*result.interruptedBy) << " at " << Seconds(result.endTime)
            << "; the output covers the run up to there\n";
    } else if (result.deadlock) {
        out << "Result: DEADLOCK at " << Seconds(result.deadlock->time) << " (exit status " << kExitDeadlock << ")\n";
    } else {
        out << "Result: " << (result.ExitCode() == 0 ? "PASS" : "FAIL") << "\n";
    }
}

namespace {

// Every input is checked to be UTF-8, so nothing needs replacing; if something ever does, the
// line stays valid JSON rather than ending the stream half-written.
void JsonLine(std::ostream& out, const nlohmann::json& j)
{
    out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

} // namespace

namespace {

nlohmann::json CallJson(const sim::TraceEvent& e, std::optional<std::size_t> relay)
{
    nlohmann::json j = {{"type", "call"},  {"sequence", e.sequence},   {"time", SecondsValue(e.time)},
                        {"ticks", e.time}, {"thread", e.thread},       {"from", e.from},
                        {"to", e.to},      {"operation", e.operation}, {"detail", e.detail}};
    j["relay"] = OptionalIndex(relay);
    if (e.status) {
        j["status"] = Hex32(*e.status);
        j["status_name"] = StatusName(*e.status);
    }
    return j;
}

nlohmann::json EventJson(const RunResult& result, std::size_t i)
{
    const RaisedEvent& event = result.events[i];
    return {{"type", "event"},
            {"index", i + 1},
            {"label", event.label},
            {"time", SecondsValue(event.time)},
            {"buffer_bytes", event.buffer ? nlohmann::json(event.buffer->size()) : nlohmann::json(nullptr)},
            {"lost", event.lost},
            {"delivered_as", OptionalIndex(event.deliveredAs)},
            {"fetched_by", OptionalIndex(event.fetchedBy)},
            {"pending_at_end", event.buffer && !event.fetchedBy},
            {"fate", EventFate(result, i)}};
}

nlohmann::json RunJson(const RunResult& result)
{
    return {{"type", "run"},
            {"schema", kJsonSchemaVersion},
            {"program", "fwrelay-sim"},
            {"scenario", result.name},
            {"description", result.description}};
}

nlohmann::json SummaryJson(const RunResult& result)
{
    nlohmann::json verifier = nlohmann::json::array();
    for (const sim::VerifierRecord& r : result.verifier) {
        verifier.push_back({{"operation", r.operation},
                            {"object", r.object},
                            {"tag", sim::Verifier::TagText(r.tag)},
                            {"thread", r.thread},
                            {"message", r.message}});
    }
    nlohmann::json summary = {{"type", "summary"},
                              {"schema", kJsonSchemaVersion},
                              {"scenario", result.name},
                              {"end_time", SecondsValue(result.endTime)},
                              {"pool_high_water_bytes", result.poolHighWater},
                              {"pool_left_at_end", result.poolLeftAtEnd},
                              {"unloaded", !result.loadedAtEnd},
                              {"verifier", verifier},
                              {"notes", result.notes},
                              {"passed", result.ExitCode() == 0}};
    summary["retry_gave_up"] = result.retryGaveUp ? nlohmann::json{{"time", SecondsValue(result.retryGaveUp->time)},
                                                                   {"attempts", result.retryGaveUp->attempts}}
                                                  : nlohmann::json(nullptr);
    summary["ended"] = result.interruptedBy ? "interrupted" : result.deadlock ? "deadlock" : "completed";
    summary["interrupted_by"] =
        result.interruptedBy ? nlohmann::json(SignalName(*result.interruptedBy)) : nlohmann::json(nullptr);
    if (result.deadlock) {
        nlohmann::json threads = nlohmann::json::array();
        for (const Deadlock::Thread& t : result.deadlock->threads) {
            threads.push_back({{"thread", t.name}, {"call", t.call}, {"reason", t.reason}});
        }
        summary["deadlock"] = {{"time", SecondsValue(result.deadlock->time)}, {"threads", threads}};
    } else {
        summary["deadlock"] = nullptr;
    }
    summary["exit_status"] = result.ExitCode();
    nlohmann::json counts = nlohmann::json::object();
    for (const std::string& key : ExpectationKeys()) {
        counts[key] = result.Value(key);
    }
    summary["counts"] = counts;
    if (!result.image.empty()) {
        nlohmann::json stack = nlohmann::json::array();
        for (const auto& [entryPoint, bytes] : result.stackUse) {
            stack.push_back({{"entry_point", entryPoint}, {"deepest_bytes", bytes}});
        }
        summary["image"] = {
            {"path", result.image}, {"stack_budget_bytes", sim::kImageStackBudget}, {"stack_use", stack}};
    }
    nlohmann::json expectations = nlohmann::json::array();
    for (const Expectation& e : result.expectations) {
        expectations.push_back({{"key", e.key}, {"expected", e.expected}, {"actual", e.actual}, {"met", e.met()}});
    }
    summary["expectations"] = expectations;
    return summary;
}

// JSON lines as the run goes: the run record first, each call as it is read, each relay once
// it is complete, then the events (whose fate is known only at the end) and the summary.
class JsonSink : public RunSink {
public:
    JsonSink(std::ostream& out, const ReportOptions& options) : out_(out), options_(options) {}

    void Call(const RunResult& result, const sim::TraceEvent& call, std::optional<std::size_t> relay,
              bool /*opens*/) override
    {
        Start(result);
        if (!options_.summaryOnly && options_.filter.PassCall(call, relay)) {
            JsonLine(out_, CallJson(call, relay));
        }
    }

    void RelayClosed(const RunResult& result, std::size_t relay) override
    {
        Start(result);
        if (!options_.summaryOnly && options_.filter.PassRelay(result, relay)) {
            JsonLine(out_, RelayJson(result, relay));
        }
    }

    void End(const RunResult& result) override
    {
        Start(result);
        if (!options_.summaryOnly) {
            for (std::size_t i = 0; i < result.events.size(); ++i) {
                if (options_.filter.PassEvent(result, i)) {
                    JsonLine(out_, EventJson(result, i));
                }
            }
        }
        if (options_.stats != nullptr) {
            JsonLine(out_, options_.stats->Json(result));
        }
        JsonLine(out_, SummaryJson(result));
        out_.flush();
    }

private:
    void Start(const RunResult& result)
    {
        if (!started_) {
            started_ = true;
            JsonLine(out_, RunJson(result));
        }
    }

    std::ostream& out_;
    const ReportOptions& options_;
    bool started_ = false;
};

} // namespace

void WriteJsonLines(std::ostream& out, const RunResult& result, bool summaryOnly)
{
    ReportOptions options;
    options.format = Format::Json;
    options.summaryOnly = summaryOnly;
    JsonSink sink(out, options);
    Replay(result, sink);
}

namespace {

// ';' ends a statement and '#' starts an entity in Mermaid message text: both become entities.
// Control characters (a newline would end the message) are shown escaped, as in the timeline.
std::string MermaidText(const std::string& text)
{
    std::string cleaned;
    for (char c : EscapeControls(text)) {
        cleaned += c == ';' ? std::string("#59;") : c == '#' ? std::string("#35;") : std::string(1, c);
    }
    return cleaned;
}

// A message: the call, shortened in its middle when long, and its status, never shortened.
std::string MermaidMessage(const sim::TraceEvent& e)
{
    constexpr std::size_t kMaxCall = 100;
    std::string call = CallText(e);
    if (call.size() > kMaxCall) {
        call = call.substr(0, kMaxCall - 3) + "...";
    }
    return MermaidText(call + StatusSuffix(e.status));
}

struct Arrow {
    std::string from; // participant ids; empty: not shown
    std::string to;
    std::string note; // shown as a note over `from` instead of an arrow
    std::string text; // the message, when not the call itself
};

// Compact: what the firmware, the driver and the TA service said to each other. The kernel's
// delivery of the event reads as the firmware's; the framework's IRP as the driver's send.
// Load, unload, devices and the TA service coming and going are notes; plumbing is left out
// unless it failed.
Arrow CompactArrow(const sim::TraceEvent& e)
{
    static const std::map<std::string, std::string> kParty = {
        {"firmware", "Firmware"}, {"driver", "Driver"}, {"ta", "TA"}};
    auto party = [](const std::string& side) {
        auto it = kParty.find(side);
        return it == kParty.end() ? std::string() : it->second;
    };
    if (!party(e.from).empty() && !party(e.to).empty()) {
        return {party(e.from), party(e.to), "", ""};
    }
    if (e.operation == "WmiNotification") {
        return {"Firmware", "Driver", "", "event notification"};
    }
    if (e.operation == "IRP_MJ_DEVICE_CONTROL") {
        const std::size_t ioctl = e.detail.find("IOCTL ");
        return {"Driver", "TA", "",
                "IRP_MJ_DEVICE_CONTROL" + (ioctl == std::string::npos ? "" : " " + e.detail.substr(ioctl))};
    }
    if (e.operation == "LoadDriver" || e.operation == "UnloadDriver" || e.operation == "AddDevice" ||
        e.operation == "RemoveDevice" || e.operation == "DriverEntry returned") {
        return {"Driver", "", e.operation, ""};
    }
    if (e.operation == "AddInterface" || e.operation == "RemoveInterface") {
        return {"TA", "", e.operation == "AddInterface" ? "arrives" : "departs", ""};
    }
    if (e.status && !NT_SUCCESS(*e.status) && (e.from == "driver" || e.to == "driver")) {
        return {"Driver", "", e.operation, ""};
    }
    return {};
}

} // namespace

std::size_t WriteMermaid(std::ostream& stream, const RunResult& result, Detail detail)
{
    std::ostringstream out;
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
    if (detail == Detail::Full) {
        for (const sim::TraceEvent& e : result.trace) {
            used.insert(e.from);
            used.insert(e.to);
        }
    }
    std::map<std::string, std::string> ids;
    out << "sequenceDiagram\n";
    for (const Participant& p : kParticipants) {
        ids[p.side] = p.id;
        if (used.count(p.side) != 0) {
            out << "    participant " << p.id << " as " << p.label << "\n";
        }
    }
    std::map<std::uint64_t, std::size_t> relayAt;
    for (std::size_t i = 0; i < result.relays.size(); ++i) {
        relayAt[result.relays[i].firstSequence] = i;
    }
    std::optional<sim::Ticks> shownTime;
    for (const sim::TraceEvent& e : result.trace) {
        Arrow arrow;
        if (detail == Detail::Full) {
            arrow.from = ids.count(e.from) != 0 ? ids[e.from] : "Kernel";
            arrow.to = ids.count(e.to) != 0 ? ids[e.to] : "Kernel";
        } else {
            arrow = CompactArrow(e);
            if (arrow.from.empty()) {
                continue;
            }
        }
        if (!shownTime || *shownTime != e.time) {
            out << "    Note over Firmware,TA: t = " << Seconds(e.time) << "\n";
            shownTime = e.time;
        }
        if (auto it = relayAt.find(e.sequence); it != relayAt.end()) {
            const Relay& relay = result.relays[it->second];
            out << "    Note over Driver: relay " << it->second + 1 << MermaidText(EventName(result, relay)) << " "
                << MermaidText(OutcomeName(relay.outcome)) << "\n";
        }
        if (!arrow.note.empty()) {
            const std::string text = arrow.note == e.operation ? MermaidMessage(e) : MermaidText(arrow.note);
            out << "    Note over " << arrow.from << ": " << text << "\n";
        } else {
            const std::string text =
                arrow.text.empty() ? MermaidMessage(e) : MermaidText(arrow.text + StatusSuffix(e.status));
            out << "    " << arrow.from << "->>" << arrow.to << ": " << text << "\n";
        }
    }
    if (result.Unfinished()) {
        out << "    Note over Firmware,TA: "
            << (result.interruptedBy ? "run interrupted by " + SignalName(*result.interruptedBy) + " here"
                                     : std::string("deadlock here: nothing can move any more"))
            << "\n";
    }
    std::ostringstream summary;
    WriteDeadlock(summary, result);
    WriteSummary(summary, result);
    std::istringstream lines(summary.str());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            out << "    %% " << line << "\n";
        }
    }
    const std::string text = out.str();
    stream << text;
    return text.size();
}

namespace {

// A diagram needs the whole run: it is drawn at the end from the trace the run kept.
class MermaidSink : public RunSink {
public:
    MermaidSink(std::ostream& out, const ReportOptions& options) : out_(out), options_(options) {}
    void Call(const RunResult&, const sim::TraceEvent&, std::optional<std::size_t>, bool) override {}
    void RelayClosed(const RunResult&, std::size_t) override {}
    void End(const RunResult& result) override
    {
        written_ = WriteMermaid(out_, result, options_.detail);
        out_.flush();
    }
    std::size_t Written() const { return written_; }

private:
    std::ostream& out_;
    const ReportOptions& options_;
    std::size_t written_ = 0;
};

} // namespace

std::unique_ptr<RunSink> MakeSink(std::ostream& out, const ReportOptions& options)
{
    switch (options.format) {
    case Format::Json:
        return std::make_unique<JsonSink>(out, options);
    case Format::Mermaid:
        return std::make_unique<MermaidSink>(out, options);
    case Format::Text:
        break;
    }
    return std::make_unique<TextSink>(out, options);
}

std::size_t WriteReport(std::ostream& out, const RunResult& result, const ReportOptions& options)
{
    CountingBuffer counting(out.rdbuf());
    std::ostream counted(&counting);
    std::unique_ptr<RunSink> sink = MakeSink(counted, options);
    Replay(result, *sink);
    counted.flush();
    return counting.Count();
}

std::size_t WriteReport(std::ostream& out, const RunResult& result, Format format)
{
    ReportOptions options;
    options.format = format;
    return WriteReport(out, result, options);
}

std::string EscapeControls(const std::string& text, bool keepNewlines)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        char escaped[16];
        if (c == '\n' && keepNewlines) {
            out += '\n';
        } else if (c == '\n' || c == '\t' || c == '\r') {
            out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            // A C1 control (U+0080 to U+009F): a terminal acts on these too.
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[++i]));
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Seconds(sim::Ticks ticks)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6fs", static_cast<double>(ticks) / sim::kTicksPerSecond);
    return text;
}

} // namespace fwtool
