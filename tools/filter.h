// Which parts of a run a report shows: relays by number, calls by party and thread, and a window
// of virtual time. The summary always covers the whole run.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>

#include "sim/scheduler.h"
#include "sim/trace.h"

namespace fwtool {

struct RunResult;

struct Filter {
    std::set<std::size_t> relays;  // from 1; empty: every relay
    std::set<std::string> parties; // a call is shown when its caller or callee is one of them
    std::set<std::string> threads;
    std::optional<sim::Ticks> from; // inclusive
    std::optional<sim::Ticks> to;   // inclusive

    bool Active() const;
    // A call, with the relay (index from 0) whose delivery it belongs to.
    bool PassCall(const sim::TraceEvent& call, std::optional<std::size_t> relay) const;
    // A relay (index from 0) by its number and delivery time.
    bool PassRelay(const RunResult& result, std::size_t relay) const;
    // An event by the relays it met (its delivery or the fetch of its buffer) and when it was raised.
    bool PassEvent(const RunResult& result, std::size_t event) const;
};

// Each returns an error message, or "" when `text` was taken into `filter`.
// "4", "4,7", "4-7,9": relay numbers from 1.
std::string ParseRelayFilter(const std::string& text, Filter* filter);
// "driver,firmware": names from the timeline's from and to columns.
std::string ParsePartyFilter(const std::string& text, Filter* filter);
// "wmi", "test,pnp", "system thread 1".
std::string ParseThreadFilter(const std::string& text, Filter* filter);
// A virtual time as a scenario writes it ("4s", "1.5s", "250ms", "0"; no unit is seconds).
std::string ParseTimeBound(const std::string& text, std::optional<sim::Ticks>* bound);

} // namespace fwtool
