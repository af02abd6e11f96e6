#include "tools/diff.h"

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <vector>

#include "tools/bytes.h"

namespace fwtool {

namespace {

// What a comparison needs of one run; calls are only counted.
struct RunRecords {
    std::string scenario;
    std::vector<nlohmann::json> relays;
    std::vector<nlohmann::json> events;
    std::map<std::string, std::size_t> calls; // per operation
    std::vector<nlohmann::json> summary;      // the summary record, once read
};

RunRecords ReadRun(const std::string& path)
{
    struct stat info = {};
    if (stat(path.c_str(), &info) != 0) {
        throw LocatedError(path, 0, 0, std::string("cannot open: ") + std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode)) {
        throw LocatedError(path, 0, 0, "is a directory");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw LocatedError(path, 0, 0, std::string("cannot open: ") + std::strerror(errno));
    }
    RunRecords run;
    int number = 0;
    bool sawRun = false;
    for (std::string line; std::getline(in, line);) {
        ++number;
        nlohmann::json record;
        try {
            record = nlohmann::json::parse(line);
        }
        catch (const nlohmann::json::parse_error& e) {
            throw LocatedError(path, number, static_cast<int>(e.byte),
                               "not a JSON line (write both runs with --format json)");
        }
        const std::string type = record.is_object() ? record.value("type", "") : "";
        if (type == "run") {
            sawRun = true;
            run.scenario = record.value("scenario", "");
        } else if (type == "call") {
            ++run.calls[record.value("operation", "")];
        } else if (type == "relay") {
            run.relays.push_back(record);
        } else if (type == "event") {
            run.events.push_back(record);
        } else if (type == "summary") {
            run.summary = {record};
        } else if (type.empty()) {
            throw LocatedError(path, number, 1, "a JSON line without a type is not fwrelay-sim output");
        }
    }
    if (!sawRun || run.summary.empty()) {
        throw LocatedError(path, 0, 0,
                           std::string("not a whole fwrelay-sim run: no ") + (sawRun ? "summary" : "run") +
                               " record (write it with --format json, not cut short)");
    }
    return run;
}

std::string Text(const nlohmann::json& value)
{
    return value.is_string() ? value.get<std::string>() : value.dump();
}

// "forwarded" or "dropped: fetch failed with ...".
std::string RelayOutcome(const nlohmann::json& relay)
{
    const std::string reason = relay.value("reason", "");
    return relay.value("outcome", "?") + (reason.empty() ? "" : " (" + reason + ")");
}

class Differences {
public:
    explicit Differences(std::ostream& out) : out_(out) {}
    void Add(const std::string& line)
    {
        out_ << "  " << line << "\n";
        ++count_;
    }
    void Heading(const std::string& text) { out_ << text << ":\n"; }
    std::size_t Count() const { return count_; }

private:
    std::ostream& out_;
    std::size_t count_ = 0;
};

void CompareRelays(const RunRecords& a, const RunRecords& b, Differences& diff)
{
    const std::size_t common = std::min(a.relays.size(), b.relays.size());
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < common; ++i) {
        const nlohmann::json& x = a.relays[i];
        const nlohmann::json& y = b.relays[i];
        std::string line = "relay " + std::to_string(i + 1);
        if (x.value("outcome", "") != y.value("outcome", "") || x.value("reason", "") != y.value("reason", "")) {
            lines.push_back(line + ": " + RelayOutcome(x) + " -> " + RelayOutcome(y));
        } else if (x.value("acknowledged", false) != y.value("acknowledged", false)) {
            lines.push_back(line + ": " +
                            (y.value("acknowledged", false) ? "now acknowledged" : "no longer acknowledged"));
        } else if (x.value("ta_response_written", nlohmann::json()) !=
                       y.value("ta_response_written", nlohmann::json()) ||
                   x.value("send_status", nlohmann::json()) != y.value("send_status", nlohmann::json())) {
            lines.push_back(line + ": TA service answer " + Text(x.value("send_status", nlohmann::json())) + ", " +
                            Text(x.value("ta_response_written", nlohmann::json())) + " byte(s) -> " +
                            Text(y.value("send_status", nlohmann::json())) + ", " +
                            Text(y.value("ta_response_written", nlohmann::json())) + " byte(s)");
        }
    }
    for (std::size_t i = common; i < a.relays.size(); ++i) {
        lines.push_back("relay " + std::to_string(i + 1) + ": " + RelayOutcome(a.relays[i]) + " -> no such relay");
    }
    for (std::size_t i = common; i < b.relays.size(); ++i) {
        lines.push_back("relay " + std::to_string(i + 1) + ": no such relay -> " + RelayOutcome(b.relays[i]));
    }
    if (!lines.empty()) {
        diff.Heading("Relays");
        for (const std::string& line : lines) {
            diff.Add(line);
        }
    }
}

void CompareEvents(const RunRecords& a, const RunRecords& b, Differences& diff)
{
    std::vector<std::string> lines;
    const std::size_t common = std::min(a.events.size(), b.events.size());
    for (std::size_t i = 0; i < common; ++i) {
        const std::string x = a.events[i].value("fate", "");
        const std::string y = b.events[i].value("fate", "");
        if (x != y) {
            lines.push_back("event " + std::to_string(i + 1) + " (" + a.events[i].value("label", "") + "): " + x +
                            " -> " + y);
        }
    }
    if (a.events.size() != b.events.size()) {
        lines.push_back("events raised: " + std::to_string(a.events.size()) + " -> " + std::to_string(b.events.size()));
    }
    if (!lines.empty()) {
        diff.Heading("Events");
        for (const std::string& line : lines) {
            diff.Add(line);
        }
    }
}

// Every key of two objects, in order, with the values that differ.
void CompareObjects(const nlohmann::json& a, const nlohmann::json& b, const std::string& heading, Differences& diff)
{
    std::map<std::string, std::pair<nlohmann::json, nlohmann::json>> keys;
    if (a.is_object()) {
        for (const auto& [key, value] : a.items()) {
            keys[key].first = value;
        }
    }
    if (b.is_object()) {
        for (const auto& [key, value] : b.items()) {
            keys[key].second = value;
        }
    }
    bool headed = false;
    for (const auto& [key, values] : keys) {
        if (values.first != values.second) {
            if (!headed) {
                diff.Heading(heading);
                headed = true;
            }
            diff.Add(key + ": " + (values.first.is_null() ? "-" : Text(values.first)) + " -> " +
                     (values.second.is_null() ? "-" : Text(values.second)));
        }
    }
}

nlohmann::json CallCounts(const RunRecords& run)
{
    nlohmann::json counts = nlohmann::json::object();
    for (const auto& [operation, count] : run.calls) {
        counts[operation] = count;
    }
    return counts;
}

} // namespace

int DiffRuns(const std::string& before, const std::string& after, std::ostream& out)
{
    const RunRecords a = ReadRun(before);
    const RunRecords b = ReadRun(after);
    const nlohmann::json& summaryA = a.summary.front();
    const nlohmann::json& summaryB = b.summary.front();
    out << "--- " << before << (a.scenario.empty() ? "" : " ('" + a.scenario + "')") << "\n+++ " << after
        << (b.scenario.empty() ? "" : " ('" + b.scenario + "')") << "\n";
    Differences diff(out);
    CompareRelays(a, b, diff);
    CompareEvents(a, b, diff);
    CompareObjects(summaryA.value("counts", nlohmann::json::object()),
                   summaryB.value("counts", nlohmann::json::object()), "Counts", diff);
    CompareObjects(CallCounts(a), CallCounts(b), "Calls by operation", diff);
    nlohmann::json verdictA = {{"passed", summaryA.value("passed", false)},
                               {"verifier records", summaryA.value("verifier", nlohmann::json::array()).size()},
                               {"unloaded", summaryA.value("unloaded", true)},
                               {"ended", summaryA.value("ended", "completed")},
                               {"pool high-water bytes", summaryA.value("pool_high_water_bytes", 0)}};
    nlohmann::json verdictB = {{"passed", summaryB.value("passed", false)},
                               {"verifier records", summaryB.value("verifier", nlohmann::json::array()).size()},
                               {"unloaded", summaryB.value("unloaded", true)},
                               {"ended", summaryB.value("ended", "completed")},
                               {"pool high-water bytes", summaryB.value("pool_high_water_bytes", 0)}};
    CompareObjects(verdictA, verdictB, "Run", diff);
    if (diff.Count() == 0) {
        out << "No difference in relays, events, counts, calls or verdict\n";
        return kDiffSame;
    }
    out << diff.Count() << " difference(s)\n";
    return kDiffDifferent;
}

} // namespace fwtool
