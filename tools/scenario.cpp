#include "tools/scenario.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/exceptions.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "sim/faults.h"
#include "tools/text.h"
#include "tools/yaml_tree.h"

namespace fwtool {

namespace {

// Deeper than the deepest scenario structure (steps, a step, an event, its ta mapping...).
constexpr int kMaxNesting = 16;

// Letters to insert, delete or change to turn one name into another.
std::size_t EditDistance(std::string_view a, std::string_view b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The line (from 0) where a second YAML document starts: a document marker ("---", or content
// after an end marker "...") at the start of a line once the first document has content.
std::optional<int> SecondDocumentLine(const std::string& text)
{
    bool content = false;
    bool ended = false;
    int number = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string_view line(text.data() + start, end - start);
        const auto marker = [&](std::string_view m) {
            return line.substr(0, 3) == m && (line.size() == 3 || line[3] == ' ' || line[3] == '\t' || line[3] == '\r');
        };
        const std::size_t first = line.find_first_not_of(" \t\r");
        const bool blank = first == std::string_view::npos || line[first] == '#';
        if (marker("---")) {
            if (content || ended) {
                return number;
            }
            const std::size_t rest = line.find_first_not_of(" \t\r", 3);
            content = rest != std::string_view::npos && line[rest] != '#';
        } else if (marker("...")) {
            ended = content;
        } else if (!blank && line[0] != '%') {
            if (ended) {
                return number;
            }
            content = true;
        }
        start = end + 1;
        ++number;
    }
    return std::nullopt;
}

// The YAML parser's complaint in the program's own words: what is wrong and what to look at.
std::string YamlProblem(const std::string& message)
{
    namespace E = YAML::ErrorMsg;
    struct Wording {
        const char* parser;
        const char* ours;
    };
    static const Wording kWordings[] = {
        {E::END_OF_MAP, "a mapping cannot go on here: check the indentation, and that each key ends in ':'"},
        {E::END_OF_MAP_FLOW, "a '{' mapping is not closed with '}' (or a ',' is missing between its entries)"},
        {E::END_OF_SEQ, "a list cannot go on here: check the indentation (an item's keys line up under its first)"},
        {E::END_OF_SEQ_FLOW, "a '[' list is not closed with ']' (or a ',' is missing between its items)"},
        {E::BLOCK_ENTRY, "a list item ('- ') cannot stand here: check the indentation"},
        {E::MAP_KEY, "a key cannot stand here: check the indentation"},
        {E::MAP_VALUE, "a ':' cannot stand here: quote text that holds ': ', or check the indentation"},
        {E::FLOW_END, "a closing ']' or '}' without its opening one"},
        {E::UNKNOWN_TOKEN, "text YAML cannot read here"},
        {E::EOF_IN_SCALAR, "a quoted text is not closed before the end of the file"},
        {E::DOC_IN_SCALAR, "a document marker ('---' or '...') inside a text"},
        {E::CHAR_IN_SCALAR, "a character a plain text cannot hold here: quote the text"},
        {E::TAB_IN_INDENTATION, "a tab in the indentation: YAML indents with spaces only"},
        {E::INVALID_ESCAPE, "an escape a double-quoted text does not know (write '\\\\' for a backslash)"},
        {E::INVALID_HEX, "a \\x, \\u or \\U escape without its hex digits"},
        {E::INVALID_UNICODE, "a \\u or \\U escape that is not a character"},
        {E::CHAR_IN_BLOCK,
         "text after a block scalar's '|' or '>' on the same line (its text goes on the lines below)"},
        {E::ZERO_INDENT_IN_BLOCK, "a block scalar ('|' or '>') without indented lines"},
        {E::UNKNOWN_ANCHOR, "an alias (*name) with no anchor (&name) before it"},
        {E::ALIAS_NOT_FOUND, "'*' without an alias name"},
        {E::ANCHOR_NOT_FOUND, "'&' without an anchor name"},
        {E::CHAR_IN_ALIAS, "a character an alias name cannot hold"},
        {E::CHAR_IN_ANCHOR, "a character an anchor name cannot hold"},
        {E::MULTIPLE_ANCHORS, "two anchors on one value"},
        {E::MULTIPLE_ALIASES, "two aliases on one value"},
        {E::MULTIPLE_TAGS, "two tags on one value"},
        {E::ALIAS_CONTENT, "an alias cannot have content of its own"},
    };
    for (const Wording& wording : kWordings) {
        if (message.rfind(wording.parser, 0) == 0) {
            return std::string("not valid YAML: ") + wording.ours;
        }
    }
    if (message.find("directive") != std::string::npos || message.find("tag") != std::string::npos) {
        return "not valid YAML: a '%' directive or '!' tag a scenario cannot use";
    }
    return "not valid YAML here";
}

// The TA behaviours that take no argument.
std::optional<sim::TaBehaviour> PlainTaBehaviour(const std::string& kind)
{
    if (kind == "echo") {
        return sim::TaBehaviour::Echo();
    }
    if (kind == "block") {
        return sim::TaBehaviour::Block();
    }
    if (kind == "ignore_cancel") {
        return sim::TaBehaviour::IgnoreCancel();
    }
    return std::nullopt;
}

// Reads one scenario document, turning every problem into a ScenarioError at the node that
// caused it.
class Reader {
public:
    Reader(const std::string& text, std::string file) : file_(std::move(file))
    {
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            lines_.push_back(line);
        }
    }

    [[noreturn]] void Fail(const YamlNode& node, const std::string& message) const
    {
        const YAML::Mark mark = node.Mark();
        FailAt(mark.is_null() ? 0 : mark.line, mark.is_null() ? 0 : mark.column, message);
    }

    [[noreturn]] void FailAt(int line0, int column0, const std::string& message) const
    {
        ScenarioError error(file_, line0 + 1, column0 + 1, message);
        if (line0 >= 0 && static_cast<std::size_t>(line0) < lines_.size()) {
            error.source = lines_[static_cast<std::size_t>(line0)];
        }
        throw error;
    }

    // Keys written twice in one mapping (the YAML library keeps the first silently), and nesting
    // deeper than any scenario needs.
    void CheckStructure(const YamlNode& node, int depth) const
    {
        if (depth > kMaxNesting) {
            Fail(node, "nested more than " + std::to_string(kMaxNesting) + " levels deep; a scenario needs far fewer");
        }
        if (node.IsMap()) {
            std::map<std::string, YAML::Mark> seen;
            for (const auto& entry : node) {
                if (entry.first.IsScalar()) {
                    auto [it, inserted] = seen.emplace(entry.first.Scalar(), entry.first.Mark());
                    if (!inserted) {
                        Fail(entry.first, "duplicate key " + Quoted(entry.first.Scalar()) + " (first given at line " +
                                              std::to_string(it->second.line + 1) + ")");
                    }
                }
                CheckStructure(entry.second, depth + 1);
            }
        } else if (node.IsSequence()) {
            for (std::size_t i = 0; i < node.size(); ++i) {
                CheckStructure(node.Item(i), depth + 1);
            }
        }
    }

    // Rejects keys outside `allowed`, at the key's own position.
    void CheckKeys(const YamlNode& map, const std::string& what, const std::set<std::string>& allowed) const
    {
        if (!map.IsMap()) {
            Fail(map, what + " must be a mapping");
        }
        for (const auto& entry : map) {
            if (!entry.first.IsScalar()) {
                Fail(entry.first, what + " keys must be plain words");
            }
            const std::string key = entry.first.Scalar();
            if (allowed.count(key) == 0) {
                std::string list;
                for (const auto& a : allowed) {
                    list += (list.empty() ? "" : ", ") + a;
                }
                Fail(entry.first, "unknown key " + Quoted(key) + " in " + what + " (expected one of: " + list + ")");
            }
        }
    }

    std::string String(const YamlNode& node, const std::string& what) const
    {
        if (!node.IsScalar()) {
            Fail(node, what + " must be a string");
        }
        return node.Scalar();
    }

    bool Bool(const YamlNode& node, const std::string& what) const
    {
        // YAML's own two words only: yes, on, True and their kind mean true to some readers
        // and a string to others.
        const std::string text = node.IsScalar() ? node.Scalar() : "";
        if (text == "true") {
            return true;
        }
        if (text == "false") {
            return false;
        }
        Fail(node, what + " must be true or false" + (node.IsScalar() ? " (" + Quoted(text) + " is not)" : ""));
    }

    std::uint64_t Unsigned(const YamlNode& node, const std::string& what, std::uint64_t max = UINT32_MAX) const
    {
        std::string error = "must be a whole number such as 3";
        const std::optional<std::uint64_t> value =
            node.IsScalar() ? ParseCount(node.Scalar(), max, &error) : std::nullopt;
        if (!value) {
            Fail(node, what + " " + error);
        }
        return *value;
    }

    // A count where "all" (or nothing) means 0 = every one.
    unsigned CountOrAll(const YamlNode& node, const std::string& what, unsigned nullValue, unsigned max) const
    {
        if (node.IsNull()) {
            return nullValue;
        }
        if (node.IsScalar() && (node.Scalar() == "all")) {
            return 0;
        }
        if (node.IsScalar() && (node.Scalar() == "true")) {
            return nullValue;
        }
        const auto value = static_cast<unsigned>(Unsigned(node, what, max));
        if (value == 0) {
            Fail(node, what + " must be at least 1 (or 'all')");
        }
        return value;
    }

    sim::Ticks Time(const YamlNode& node, const std::string& what) const
    {
        std::string error = "must be a time such as 2.5, 2.5s, 300ms or 1min";
        const std::optional<sim::Ticks> ticks = node.IsScalar() ? ParseTime(node.Scalar(), &error) : std::nullopt;
        if (!ticks) {
            Fail(node, what + " " + error);
        }
        return *ticks;
    }

    NTSTATUS Status(const YamlNode& node, const std::string& what) const
    {
        std::optional<NTSTATUS> status = node.IsScalar() ? ParseStatus(node.Scalar()) : std::nullopt;
        if (!status) {
            Fail(node, what + " must be a status name such as STATUS_UNSUCCESSFUL or 0x and up to 8 hex digits such "
                              "as 0xC0000001 (fwrelay-sim --list-statuses names them)");
        }
        return *status;
    }

    // A status that stands for a failure: a success status there would turn the failure into a
    // success without a word.
    NTSTATUS FailureStatus(const YamlNode& node, const std::string& what) const
    {
        const NTSTATUS status = Status(node, what);
        if (std::optional<std::string> problem = NotAFailure(status)) {
            Fail(node, what + ": " + *problem);
        }
        return status;
    }

    Bytes Hex(const YamlNode& node, const std::string& what) const
    {
        if (node.IsNull()) {
            return {};
        }
        if (!node.IsScalar()) {
            Fail(node, what + " must be hex text");
        }
        TextProblem problem;
        std::optional<Bytes> bytes = ParseHex(node.Scalar(), &problem);
        if (!bytes) {
            int line0 = 0;
            int column0 = 0;
            Locate(node, problem.offset, &line0, &column0);
            FailAt(line0, column0, what + ": " + problem.message);
        }
        return *bytes;
    }

    sim::TaBehaviour Ta(const YamlNode& node, const std::string& what) const
    {
        if (node.IsScalar()) {
            std::string error;
            std::optional<sim::TaBehaviour> behaviour = ParseTaBehaviour(node.Scalar(), &error);
            if (!behaviour) {
                Fail(node, what + ": " + error);
            }
            return *behaviour;
        }
        CheckKeys(node, what, {"echo", "block", "ignore_cancel", "fixed", "first", "fail"});
        if (node.size() != 1) {
            Fail(node, what + " takes exactly one of echo, block, ignore_cancel, fixed, first, fail");
        }
        const auto entry = *node.begin();
        const std::string kind = entry.first.Scalar();
        if (std::optional<sim::TaBehaviour> plain = PlainTaBehaviour(kind)) {
            if (!entry.second.IsNull() && !(entry.second.IsScalar() && entry.second.Scalar() == "true")) {
                Fail(entry.second, what + " '" + kind + "' takes no value");
            }
            return *plain;
        }
        if (kind == "fixed") {
            return sim::TaBehaviour::Fixed(Hex(entry.second, what + " fixed answer"));
        }
        if (kind == "first") {
            return sim::TaBehaviour::WriteFirst(
                static_cast<std::size_t>(Unsigned(entry.second, what + " first", kMaxBufferSize)));
        }
        return sim::TaBehaviour::Fail(FailureStatus(entry.second, what + " fail status"));
    }

    sim::SizeQuery SizeQuery(const YamlNode& node) const
    {
        const std::string what = "size_query";
        if (node.IsScalar()) {
            if (node.Scalar() != "pending") {
                Fail(node, what + " must be 'pending', {succeed: SIZE} or {fail: STATUS, size: SIZE}");
            }
            return sim::SizeQuery::Pending();
        }
        CheckKeys(node, what, {"succeed", "fail", "size"});
        if (node["succeed"]) {
            if (node["fail"] || node["size"]) {
                Fail(node, what + ": 'succeed' stands alone");
            }
            return sim::SizeQuery::Succeed(
                static_cast<ULONG>(Unsigned(node["succeed"], what + " succeed", kMaxBufferSize)));
        }
        if (!node["fail"]) {
            Fail(node, what + " needs 'succeed' or 'fail'");
        }
        const ULONG size =
            node["size"] ? static_cast<ULONG>(Unsigned(node["size"], what + " size", kMaxBufferSize)) : 0;
        return sim::SizeQuery::Fail(FailureStatus(node["fail"], what + " fail"), size);
    }

    FirmwareSpec Firmware(const YamlNode& node) const
    {
        CheckKeys(
            node, "firmware",
            {"present", "appear_at", "register_failures", "register_status", "size_query", "get_request_consumes"});
        FirmwareSpec spec;
        if (node["present"]) {
            spec.present = Bool(node["present"], "firmware present");
        }
        if (node["appear_at"]) {
            spec.appearAt = Time(node["appear_at"], "firmware appear_at");
        }
        if (node["register_failures"]) {
            spec.registerFailures =
                static_cast<unsigned>(Unsigned(node["register_failures"], "register_failures", kMaxRegisterFailures));
        }
        if (node["register_status"]) {
            spec.registerStatus = FailureStatus(node["register_status"], "register_status");
        }
        if (node["size_query"]) {
            spec.sizeQuery = SizeQuery(node["size_query"]);
        }
        if (node["get_request_consumes"]) {
            spec.getRequestConsumes = Bool(node["get_request_consumes"], "firmware get_request_consumes");
        }
        return spec;
    }

    FaultSpec Fault(const YamlNode& node) const
    {
        CheckKeys(node, "fault", {"operation", "nth", "from", "always", "status"});
        FaultSpec fault;
        if (!node["operation"]) {
            Fail(node, "fault needs an 'operation' (a platform call such as ExAllocatePool2)");
        }
        fault.operation = String(node["operation"], "fault operation");
        if (std::optional<std::string> problem = CheckFaultOperation(fault.operation)) {
            Fail(node["operation"], *problem);
        }
        const int modes = (node["nth"] ? 1 : 0) + (node["from"] ? 1 : 0) + (node["always"] ? 1 : 0);
        if (modes != 1) {
            Fail(node, "fault needs exactly one of nth, from, always");
        }
        if (node["nth"]) {
            fault.mode = FaultSpec::Mode::Nth;
            fault.n = Unsigned(node["nth"], "fault nth", kMaxCallNumber);
        } else if (node["from"]) {
            fault.mode = FaultSpec::Mode::From;
            fault.n = Unsigned(node["from"], "fault from", kMaxCallNumber);
        } else {
            if (!Bool(node["always"], "fault always")) {
                Fail(node["always"], "fault always must be true (leave the fault out otherwise)");
            }
            fault.mode = FaultSpec::Mode::Always;
        }
        if (fault.mode != FaultSpec::Mode::Always && fault.n == 0) {
            Fail(node[fault.mode == FaultSpec::Mode::Nth ? "nth" : "from"], "calls are counted from 1");
        }
        if (node["status"]) {
            fault.status = FailureStatus(node["status"], "fault status");
        }
        return fault;
    }

    EventSpec Event(const YamlNode& node) const
    {
        static const std::set<std::string> kKeys = {"label",    "request",   "response", "response_size",
                                                    "trailer",  "pad_to",    "raw",      "file",
                                                    "hex_file", "no_buffer", "ta"};
        CheckKeys(node, "event", kKeys);
        EventSpec event;
        if (node["label"]) {
            event.label = String(node["label"], "event label");
        }
        if (node["ta"]) {
            event.ta = Ta(node["ta"], "event ta");
        }
        const bool built =
            node["request"] || node["response"] || node["response_size"] || node["trailer"] || node["pad_to"];
        const int sources = (built ? 1 : 0) + (node["raw"] ? 1 : 0) + (node["file"] ? 1 : 0) +
                            (node["hex_file"] ? 1 : 0) + (node["no_buffer"] ? 1 : 0);
        if (sources != 1) {
            Fail(node, "an event takes exactly one of: request/response fields, raw, file, hex_file, no_buffer");
        }
        if (node["no_buffer"]) {
            if (!Bool(node["no_buffer"], "no_buffer")) {
                Fail(node["no_buffer"], "no_buffer must be true (leave it out otherwise)");
            }
            event.withBuffer = false;
        } else if (node["raw"]) {
            event.buffer = Hex(node["raw"], "raw");
        } else if (node["file"] || node["hex_file"]) {
            const bool hex = static_cast<bool>(node["hex_file"]);
            const YamlNode path = hex ? node["hex_file"] : node["file"];
            event.buffer = BufferFile(path, hex);
        } else {
            if (node["response"] && node["response_size"]) {
                Fail(node, "give either response or response_size, not both");
            }
            const Bytes request = node["request"] ? Hex(node["request"], "request") : Bytes{};
            Bytes response = node["response"] ? Hex(node["response"], "response") : Bytes{};
            if (node["response_size"]) {
                response.assign(
                    static_cast<std::size_t>(Unsigned(node["response_size"], "response_size", kMaxBufferSize)), 0);
            }
            const Bytes trailer = node["trailer"] ? Hex(node["trailer"], "trailer") : Bytes{0, 0, 0, 0};
            const auto padTo =
                node["pad_to"] ? static_cast<std::size_t>(Unsigned(node["pad_to"], "pad_to", kMaxBufferSize)) : 0;
            event.buffer = sim::FirmwareModel::BuildExchangeBuffer(request, response, trailer, padTo);
        }
        return event;
    }

    // An event's buffer file, relative to the scenario's. A file that cannot be read is an error
    // here, with its cause and the path it resolved to; a mistake inside it is an error there.
    Bytes BufferFile(const YamlNode& node, bool hex) const
    {
        const std::string key = hex ? "hex_file" : "file";
        const std::string written = String(node, key);
        if (written.empty()) {
            Fail(node, key + ": the path is empty");
        }
        std::filesystem::path resolved = written;
        if (resolved.is_relative()) {
            resolved = std::filesystem::path(file_).parent_path() / resolved;
        }
        try {
            return LoadBufferFile(resolved.string(), hex);
        }
        catch (const LocatedError& e) {
            const std::string where =
                resolved.string() == written ? "" : " (resolved to " + EscapeForTerminal(resolved.string()) + ")";
            if (e.line == 0) {
                Fail(node, "buffer file " + Quoted(written) + where + ": " + e.message);
            }
            const YAML::Mark mark = node.Mark();
            LocatedError inside(e.file, e.line, e.column,
                                e.message + " (the buffer file of the event at " + EscapeForTerminal(file_) + ":" +
                                    std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1) + ")");
            inside.source = e.source;
            throw inside;
        }
    }

    // Devices and the TA service as the steps before this one leave them, so that a step that
    // refers to one that is not there is an error rather than a step that does nothing.
    struct Presence {
        std::uint64_t devices = 0;
        bool ta = false;
        int taLine = 0; // where the TA service arrived, 0: present from the start
    };

    void CheckPresence(const YamlNode& node, const Step& step, Presence* presence) const
    {
        switch (step.kind) {
        case StepKind::AddDevice:
            presence->devices += step.count;
            break;
        case StepKind::RemoveDevice: {
            const YamlNode value = node["remove_device"];
            if (presence->devices == 0) {
                Fail(value, "remove_device: no device is present at this step (add_device adds one)");
            }
            if (step.count > presence->devices) {
                Fail(value, "remove_device: " + std::to_string(step.count) + " device(s), but only " +
                                std::to_string(presence->devices) + " present at this step ('all' removes every one)");
            }
            presence->devices -= step.count == 0 ? presence->devices : step.count;
            break;
        }
        case StepKind::TaArrive:
            if (presence->ta) {
                Fail(node["ta_arrive"],
                     "ta_arrive: the TA service is present already (" +
                         (presence->taLine == 0 ? std::string("ta_service present: true")
                                                : "arrived at line " + std::to_string(presence->taLine)) +
                         "); ta_depart first");
            }
            presence->ta = true;
            presence->taLine = step.line;
            break;
        case StepKind::TaDepart:
            if (!presence->ta) {
                Fail(node["ta_depart"], "ta_depart: the TA service is not present at this step (ta_arrive brings it)");
            }
            presence->ta = false;
            break;
        default:
            break;
        }
    }

    Step ParseStep(const YamlNode& node, sim::Ticks previous) const
    {
        static const std::map<std::string, StepKind> kActions = {
            {"load", StepKind::Load},
            {"unload", StepKind::Unload},
            {"add_device", StepKind::AddDevice},
            {"remove_device", StepKind::RemoveDevice},
            {"ta_arrive", StepKind::TaArrive},
            {"ta_depart", StepKind::TaDepart},
            {"ta_behaviour", StepKind::TaBehaviour},
            {"ta_release", StepKind::TaRelease},
            {"event", StepKind::Event},
            {"firmware", StepKind::Firmware},
            {"fault", StepKind::Fault},
            {"clear_faults", StepKind::ClearFaults},
        };
        static const std::set<std::string> kAllowed = [] {
            std::set<std::string> allowed = {"at"};
            for (const auto& [name, kind] : kActions) {
                allowed.insert(name);
            }
            return allowed;
        }();
        CheckKeys(node, "step", kAllowed);
        Step step;
        step.line = node.Mark().line + 1;
        step.at = previous;
        if (node["at"]) {
            step.at = Time(node["at"], "at");
            if (step.at < previous) {
                Fail(node["at"], "steps must be in time order (the step before is at " +
                                     std::to_string(static_cast<double>(previous) / sim::kTicksPerSecond) + "s)");
            }
        }
        bool hasAction = false;
        std::string actionName;
        for (const auto& entry : node) {
            if (entry.first.Scalar() == "at") {
                continue;
            }
            if (hasAction) {
                Fail(entry.first, "one action per step ('" + actionName + "' is already given)");
            }
            actionName = entry.first.Scalar();
            hasAction = true;
            step.kind = kActions.at(actionName);
            const YamlNode value = entry.second;
            switch (step.kind) {
            case StepKind::AddDevice:
                step.count = CountOrAll(value, "add_device", 1, kMaxDevicesPerStep);
                if (step.count == 0) {
                    Fail(value, "add_device takes a number of devices");
                }
                break;
            case StepKind::RemoveDevice:
                step.count = CountOrAll(value, "remove_device", 1, kMaxDevicesPerStep);
                break;
            case StepKind::TaRelease:
                step.count = CountOrAll(value, "ta_release", 1, kMaxReleasesPerStep);
                break;
            case StepKind::TaBehaviour:
                step.ta = Ta(value, "ta_behaviour");
                break;
            case StepKind::Event:
                step.event = Event(value);
                break;
            case StepKind::Firmware:
                step.firmware = Firmware(value);
                break;
            case StepKind::Fault:
                step.fault = Fault(value);
                break;
            default:
                if (!value.IsNull() && !(value.IsScalar() && value.Scalar() == "true")) {
                    Fail(value, "'" + actionName + "' takes no value (write '" + actionName + ": true')");
                }
                break;
            }
        }
        if (!hasAction) {
            Fail(node, "a step needs an action such as event, add_device or ta_arrive");
        }
        return step;
    }

    Scenario Parse(const YamlNode& root) const
    {
        Scenario scenario;
        scenario.file = file_;
        if (root.IsNull()) {
            Fail(root, "the scenario is empty");
        }
        CheckKeys(root, "the scenario", {"name", "description", "firmware", "ta_service", "faults", "steps", "expect"});
        if (root["name"]) {
            scenario.name = String(root["name"], "name");
        }
        if (root["description"]) {
            scenario.description = String(root["description"], "description");
        }
        if (root["firmware"]) {
            scenario.firmware = Firmware(root["firmware"]);
        }
        if (const YamlNode ta = root["ta_service"]) {
            CheckKeys(ta, "ta_service", {"present", "behaviour"});
            if (ta["present"]) {
                scenario.taPresent = Bool(ta["present"], "ta_service present");
            }
            if (ta["behaviour"]) {
                scenario.taBehaviour = Ta(ta["behaviour"], "ta_service behaviour");
            }
        }
        if (const YamlNode faults = root["faults"]) {
            if (!faults.IsSequence()) {
                Fail(faults, "faults must be a list");
            }
            for (std::size_t i = 0; i < faults.size(); ++i) {
                scenario.faults.push_back(Fault(faults.Item(i)));
            }
        }
        const YamlNode steps = root["steps"];
        if (!steps) {
            Fail(root, "the scenario needs 'steps'");
        }
        if (!steps.IsSequence()) {
            Fail(steps, "steps must be a list");
        }
        sim::Ticks previous = 0;
        Presence presence;
        presence.ta = scenario.taPresent;
        scenario.steps.reserve(steps.size());
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const YamlNode node = steps.Item(i);
            scenario.steps.push_back(ParseStep(node, previous));
            previous = scenario.steps.back().at;
            CheckPresence(node, scenario.steps.back(), &presence);
        }
        if (const YamlNode expect = root["expect"]) {
            const auto& keys = ExpectationKeys();
            CheckKeys(expect, "expect", std::set<std::string>(keys.begin(), keys.end()));
            for (const auto& entry : expect) {
                const std::string key = entry.first.Scalar();
                scenario.expect[key] = Unsigned(entry.second, "expected " + key, key == "left_loaded" ? 1 : UINT32_MAX);
                scenario.expectOrder.push_back(key);
            }
        }
        return scenario;
    }

private:
    // The source position of character `offset` of a scalar's value: exact for one-line plain
    // or quoted scalars and for block scalars, the scalar's start otherwise.
    void Locate(const YamlNode& node, std::size_t offset, int* line0, int* column0) const
    {
        const YAML::Mark mark = node.Mark();
        *line0 = mark.line;
        *column0 = mark.column;
        const std::string& value = node.Scalar();
        if (mark.is_null() || static_cast<std::size_t>(mark.line) >= lines_.size()) {
            return;
        }
        const std::string& source = lines_[static_cast<std::size_t>(mark.line)];
        const auto start = static_cast<std::size_t>(mark.column);
        if (value.find('\n') == std::string::npos && start < source.size()) {
            const std::size_t quote = (source[start] == '"' || source[start] == '\'') ? 1 : 0;
            if (source.compare(start + quote, value.size(), value) == 0) {
                *column0 = static_cast<int>(start + quote + offset);
            }
            return;
        }
        if (start < source.size() && (source[start] == '|' || source[start] == '>')) {
            int lineInValue = 0;
            int columnInValue = 0;
            LineAndColumn(value, offset, &lineInValue, &columnInValue);
            const auto sourceLine = static_cast<std::size_t>(mark.line) + static_cast<std::size_t>(lineInValue);
            if (sourceLine < lines_.size()) {
                const std::size_t indent = lines_[sourceLine].find_first_not_of(' ');
                *line0 = static_cast<int>(sourceLine);
                *column0 = static_cast<int>((indent == std::string::npos ? 0 : indent)) + columnInValue - 1;
            }
        }
    }

    std::string file_;
    std::vector<std::string> lines_;
};

} // namespace

const char* StepKindName(StepKind kind)
{
    switch (kind) {
    case StepKind::Load:
        return "load";
    case StepKind::Unload:
        return "unload";
    case StepKind::AddDevice:
        return "add_device";
    case StepKind::RemoveDevice:
        return "remove_device";
    case StepKind::TaArrive:
        return "ta_arrive";
    case StepKind::TaDepart:
        return "ta_depart";
    case StepKind::TaBehaviour:
        return "ta_behaviour";
    case StepKind::TaRelease:
        return "ta_release";
    case StepKind::Event:
        return "event";
    case StepKind::Firmware:
        return "firmware";
    case StepKind::Fault:
        return "fault";
    case StepKind::ClearFaults:
        return "clear_faults";
    }
    return "?";
}

const std::vector<std::string>& ExpectationKeys()
{
    static const std::vector<std::string> keys = {
        "events", "lost",        "ignored",        "relayed", "handed_back", "unchanged", "dropped",
        "acks",   "ta_requests", "register_calls", "pending", "left_loaded", "pool_left", "verifier_records"};
    return keys;
}

std::optional<sim::TaBehaviour> ParseTaBehaviour(const std::string& text, std::string* error)
{
    const std::size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    const std::string argument = colon == std::string::npos ? "" : text.substr(colon + 1);
    const bool hasArgument = colon != std::string::npos;
    if (std::optional<sim::TaBehaviour> plain = PlainTaBehaviour(kind); plain && !hasArgument) {
        return plain;
    }
    if (kind == "fixed" && hasArgument) {
        TextProblem problem;
        std::optional<Bytes> bytes = ParseHex(argument, &problem);
        if (!bytes) {
            *error = "fixed answer: " + problem.message;
            return std::nullopt;
        }
        return sim::TaBehaviour::Fixed(*bytes);
    }
    if (kind == "first" && hasArgument) {
        std::string problem;
        if (std::optional<std::uint64_t> count = ParseCount(argument, kMaxBufferSize, &problem)) {
            return sim::TaBehaviour::WriteFirst(static_cast<std::size_t>(*count));
        }
        *error = "first: the count " + problem;
        return std::nullopt;
    }
    if (kind == "fail" && hasArgument) {
        std::optional<NTSTATUS> status = ParseStatus(argument);
        if (!status) {
            *error = "fail: " + Quoted(argument) +
                     " is not a status (a name such as STATUS_UNSUCCESSFUL, or 0x and "
                     "up to 8 hex digits)";
            return std::nullopt;
        }
        if (std::optional<std::string> problem = NotAFailure(*status)) {
            *error = "fail: " + *problem;
            return std::nullopt;
        }
        return sim::TaBehaviour::Fail(*status);
    }
    *error = Quoted(text) + " is not a TA behaviour (echo, block, ignore_cancel, fixed:HEX, first:N, fail:STATUS)";
    return std::nullopt;
}

std::optional<sim::Ticks> ParseTime(const std::string& text, std::string* error)
{
    struct Unit {
        const char* suffix;
        double ticks;
    };
    static constexpr Unit kUnits[] = {{"min", 60.0 * sim::kTicksPerSecond},
                                      {"ms", sim::kTicksPerMillisecond},
                                      {"us", 10.0},
                                      {"s", sim::kTicksPerSecond}};
    std::string number = text;
    double scale = sim::kTicksPerSecond;
    for (const Unit& unit : kUnits) {
        const std::string suffix = unit.suffix;
        if (number.size() > suffix.size() &&
            number.compare(number.size() - suffix.size(), suffix.size(), suffix) == 0) {
            number.resize(number.size() - suffix.size());
            scale = unit.ticks;
            break;
        }
    }
    // Whole seconds (or units) as a count is written, then an optional decimal fraction.
    const std::size_t point = number.find('.');
    const std::string fraction = point == std::string::npos ? "" : number.substr(point + 1);
    if (point != std::string::npos &&
        (fraction.empty() || fraction.find_first_not_of("0123456789") != std::string::npos)) {
        *error = "must be a time such as 2.5, 2.5s, 300ms or 1min (" + Quoted(text) + " is not)";
        return std::nullopt;
    }
    std::string problem;
    const std::optional<std::uint64_t> whole = ParseCount(number.substr(0, point), UINT32_MAX, &problem);
    if (!whole) {
        *error = problem.find("whole number") != std::string::npos
                     ? "must be a time such as 2.5, 2.5s, 300ms or 1min (" + Quoted(text) + " is not)"
                     : problem;
        return std::nullopt;
    }
    const double value = static_cast<double>(*whole) + (fraction.empty() ? 0.0 : std::stod("0." + fraction));
    if (value * scale > 1e17) {
        *error = "is too far in the future";
        return std::nullopt;
    }
    return static_cast<sim::Ticks>(std::llround(value * scale));
}

Scenario ParseScenario(const std::string& text, const std::string& file)
{
    Reader reader(text, file);
    if (std::optional<TextProblem> problem = CheckUtf8Text(text)) {
        int line = 0;
        int column = 0;
        LineAndColumn(text, problem->offset, &line, &column);
        reader.FailAt(line - 1, column - 1, problem->message);
    }
    if (std::optional<int> line = SecondDocumentLine(text)) {
        reader.FailAt(*line, 0, "a second YAML document; a scenario file holds exactly one (remove the '---')");
    }
    std::optional<YamlTree> tree;
    try {
        // The first document only: the parser's document loop never ends on some inputs (a lone
        // "," allocates until memory runs out), and one document is all a scenario may hold.
        tree.emplace(text);
    }
    catch (const YAML::DeepRecursion& e) {
        reader.FailAt(e.mark.is_null() ? 0 : e.mark.line, e.mark.is_null() ? 0 : e.mark.column,
                      "nested too deeply for a scenario");
    }
    catch (const YAML::ParserException& e) {
        reader.FailAt(e.mark.is_null() ? 0 : e.mark.line, e.mark.is_null() ? 0 : e.mark.column, YamlProblem(e.msg));
    }
    try {
        const YamlNode root = tree->Root();
        reader.CheckStructure(root, 0);
        return reader.Parse(root);
    }
    catch (const YAML::Exception& shape) {
        // A document shape the checks above did not foresee still gets a position, not a crash.
        reader.FailAt(shape.mark.is_null() ? 0 : shape.mark.line, shape.mark.is_null() ? 0 : shape.mark.column,
                      "a value of a shape the scenario cannot hold here");
    }
}

Scenario LoadScenarioFile(const std::string& path)
{
    if (path == "-") {
        return ParseScenario(ReadInputText(std::cin, kStdinName, kMaxInputBytes, "a scenario"), kStdinName);
    }
    const std::string text = ReadInputFile(path, kMaxInputBytes, "a scenario");
    return ParseScenario(text, path);
}

std::optional<std::string> CheckFaultOperation(const std::string& operation)
{
    const auto& known = sim::FailableOperations();
    if (std::find(known.begin(), known.end(), operation) != known.end()) {
        return std::nullopt;
    }
    std::string list;
    for (std::string_view name : known) {
        list += (list.empty() ? "" : ", ") + std::string(name);
    }
    if (operation.empty()) {
        return "fault operation is empty; operations that can fail: " + list;
    }
    std::string_view nearest;
    std::size_t best = SIZE_MAX;
    for (std::string_view name : known) {
        const std::size_t distance = EditDistance(operation, name);
        if (distance < best) {
            best = distance;
            nearest = name;
        }
    }
    std::string message =
        Quoted(operation) + " is not an operation the platform can fail, so the fault could never fire";
    if (best <= 3) {
        message += "; did you mean " + std::string(nearest) + "?";
    } else {
        message += "; operations that can fail: " + list;
    }
    return message;
}

std::string ListOperations()
{
    std::string out;
    for (std::string_view name : sim::FailableOperations()) {
        out += std::string(name) + "\n";
    }
    return out;
}

std::string ListStatuses()
{
    std::string out;
    for (const auto& [name, value] : KnownStatuses()) {
        // The two top bits of a status say what it is.
        static const char* const kSeverity[] = {"success", "informational", "warning", "error"};
        const char* severity = kSeverity[static_cast<std::uint32_t>(value) >> 30];
        char line[96];
        std::snprintf(line, sizeof line, "%-32s 0x%08X  %s%s\n", name.c_str(), static_cast<unsigned>(value), severity,
                      NT_SUCCESS(value) ? " (not a failure)" : "");
        out += line;
    }
    return out;
}

std::string ListBehaviours()
{
    return "echo           writes the request's bytes, at most the response length\n"
           "fixed:HEX      writes the given bytes, at most the response length\n"
           "first:N        writes N pattern bytes (0x80, 0x81, ...), at most the response length\n"
           "fail:STATUS    writes nothing and completes with STATUS, a failure status\n"
           "block          holds the request until a ta_release step (then answers as echo) or until the\n"
           "               target is closed (then completes it as cancelled)\n"
           "ignore_cancel  holds the request like block, but only a ta_release step ends it\n";
}

} // namespace fwtool
