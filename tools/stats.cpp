#include "tools/stats.h"

#include <cstdio>

#include "sim/verifier.h"
#include "tools/output.h"

namespace fwtool {

namespace {

std::string StatusKey(const std::optional<NTSTATUS>& status)
{
    return status ? StatusName(*status) : "-";
}

void Line(std::ostream& out, const std::string& label, std::size_t value)
{
    char text[160];
    std::snprintf(text, sizeof text, "  %-44s %8zu\n", label.c_str(), value);
    out << text;
}

bool RetryWorker(const sim::TraceEvent& call)
{
    return call.thread.rfind("system thread", 0) == 0;
}

} // namespace

void Stats::Call(const RunResult& /*result*/, const sim::TraceEvent& call, std::optional<std::size_t> /*relay*/,
                 bool /*opens*/)
{
    ++calls_[call.operation][StatusKey(call.status)];
    if (RetryWorker(call)) {
        retryRegisterCalls_ += call.operation == "METHOD_REGISTER" ? 1U : 0U;
        retrySleeps_ += call.operation == "KeDelayExecutionThread" ? 1U : 0U;
    }
    if (call.time != instant_) {
        instant_ = call.time;
        callsThisInstant_ = 0;
    }
    if (++callsThisInstant_ > mostCalls_) {
        mostCalls_ = callsThisInstant_;
        mostCallsAt_ = call.time;
    }
}

Stats::Instants Stats::EventInstants(const RunResult& result) const
{
    // Events are raised in time order, so the ones sharing an instant are neighbours.
    Instants instants;
    std::size_t run = 0;
    for (std::size_t i = 0; i <= result.events.size(); ++i) {
        if (i < result.events.size() && i > 0 && result.events[i].time == result.events[i - 1].time) {
            ++run;
            continue;
        }
        if (run > 0) {
            instants.eventsSharing += run + 1;
            ++instants.crowdedInstants;
            instants.mostEvents = std::max(instants.mostEvents, run + 1);
        }
        run = 0;
    }
    if (instants.mostEvents == 0 && !result.events.empty()) {
        instants.mostEvents = 1;
    }
    return instants;
}

void Stats::WriteText(std::ostream& out, const RunResult& result) const
{
    out << "\nStatistics\n";
    out << "Calls by operation and returned status:\n";
    for (const auto& [operation, statuses] : calls_) {
        std::size_t total = 0;
        std::string detail;
        for (const auto& [status, count] : statuses) {
            total += count;
            detail += (detail.empty() ? "" : ", ") + std::to_string(count) + " " +
                      (status == "-" ? std::string("without a status") : status);
        }
        char head[128];
        std::snprintf(head, sizeof head, "  %-34s %8zu  ", operation.c_str(), total);
        out << head << detail << "\n";
    }
    out << "Relays by outcome:\n";
    for (Relay::Outcome outcome :
         {Relay::Outcome::Forwarded, Relay::Outcome::NoTarget, Relay::Outcome::Dropped, Relay::Outcome::Ignored}) {
        Line(out, OutcomeName(outcome), result.Count(outcome));
    }
    out << "Retry worker:\n";
    Line(out, "METHOD_REGISTER attempts", retryRegisterCalls_);
    Line(out, "waits between attempts", retrySleeps_);
    out << "Pool high-water mark by tag (bytes):\n";
    for (const auto& [tag, bytes] : result.poolHighWaterByTag) {
        Line(out, "'" + sim::Verifier::TagText(tag) + "'", bytes);
    }
    const Instants instants = EventInstants(result);
    out << "Virtual instants:\n";
    Line(out, "events raised at an instant with another", instants.eventsSharing);
    Line(out, "instants with more than one event", instants.crowdedInstants);
    Line(out, "most events at one instant", instants.mostEvents);
    Line(out, "most calls at one instant (at " + Seconds(mostCallsAt_) + ")", mostCalls_);
}

nlohmann::json Stats::Json(const RunResult& result) const
{
    nlohmann::json operations = nlohmann::json::array();
    for (const auto& [operation, statuses] : calls_) {
        std::size_t total = 0;
        nlohmann::json byStatus = nlohmann::json::object();
        for (const auto& [status, count] : statuses) {
            total += count;
            byStatus[status == "-" ? "none" : status] = count;
        }
        operations.push_back({{"operation", operation}, {"calls", total}, {"statuses", byStatus}});
    }
    nlohmann::json relays = nlohmann::json::object();
    for (Relay::Outcome outcome :
         {Relay::Outcome::Forwarded, Relay::Outcome::NoTarget, Relay::Outcome::Dropped, Relay::Outcome::Ignored}) {
        relays[OutcomeName(outcome)] = result.Count(outcome);
    }
    nlohmann::json pool = nlohmann::json::object();
    for (const auto& [tag, bytes] : result.poolHighWaterByTag) {
        pool[sim::Verifier::TagText(tag)] = bytes;
    }
    const Instants instants = EventInstants(result);
    return {{"type", "stats"},
            {"operations", operations},
            {"relays", relays},
            {"retry_register_attempts", retryRegisterCalls_},
            {"retry_waits", retrySleeps_},
            {"pool_high_water_by_tag", pool},
            {"events_sharing_an_instant", instants.eventsSharing},
            {"instants_with_several_events", instants.crowdedInstants},
            {"most_events_at_one_instant", instants.mostEvents},
            {"most_calls_at_one_instant", mostCalls_},
            {"most_calls_at", static_cast<double>(mostCallsAt_) / sim::kTicksPerSecond}};
}

} // namespace fwtool
