// --stats: what a run did, counted: calls per operation by returned status, relays by outcome,
// the retry worker's attempts, the pool's high-water mark per tag, and how crowded the virtual
// instants were.
#pragma once

#include <cstddef>
#include <map>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/runner.h"

namespace fwtool {

class Stats : public RunSink {
public:
    void Call(const RunResult& result, const sim::TraceEvent& call, std::optional<std::size_t> relay,
              bool opens) override;
    void RelayClosed(const RunResult& /*result*/, std::size_t /*relay*/) override {}
    void End(const RunResult& /*result*/) override {}

    void WriteText(std::ostream& out, const RunResult& result) const;
    // The `stats` record of the JSON lines (docs/json.md).
    nlohmann::json Json(const RunResult& result) const;

private:
    struct Instants {
        std::size_t eventsSharing = 0;   // events raised at an instant with another event
        std::size_t crowdedInstants = 0; // instants with more than one event
        std::size_t mostEvents = 0;
    };
    Instants EventInstants(const RunResult& result) const;

    // operation -> status ("-" when the call returns none) -> calls
    std::map<std::string, std::map<std::string, std::size_t>> calls_;
    std::size_t retryRegisterCalls_ = 0; // METHOD_REGISTER from the retry worker's system thread
    std::size_t retrySleeps_ = 0;        // the retry worker's waits between attempts
    sim::Ticks instant_ = -1;
    std::size_t callsThisInstant_ = 0;
    std::size_t mostCalls_ = 0;
    sim::Ticks mostCallsAt_ = 0;
};

} // namespace fwtool
