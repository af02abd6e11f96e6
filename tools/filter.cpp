#include "tools/filter.h"

#include <vector>

#include "tools/runner.h"
#include "tools/scenario.h"

namespace fwtool {

namespace {

const std::set<std::string>& Parties()
{
    static const std::set<std::string> parties = {"test", "firmware", "kernel", "driver", "framework", "ta", "pnp"};
    return parties;
}

std::vector<std::string> Split(const std::string& text)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) {
            return parts;
        }
        start = comma + 1;
    }
}

// A relay number: decimal digits only, from 1.
std::optional<std::size_t> RelayNumber(const std::string& text)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
        text[0] == '0') {
        return std::nullopt;
    }
    return static_cast<std::size_t>(std::stoul(text));
}

bool InWindow(const Filter& filter, sim::Ticks time)
{
    return (!filter.from || time >= *filter.from) && (!filter.to || time <= *filter.to);
}

} // namespace

bool Filter::Active() const
{
    return !relays.empty() || !parties.empty() || !threads.empty() || from || to;
}

bool Filter::PassCall(const sim::TraceEvent& call, std::optional<std::size_t> relay) const
{
    if (!relays.empty() && (!relay || relays.count(*relay + 1) == 0)) {
        return false;
    }
    if (!parties.empty() && parties.count(call.from) == 0 && parties.count(call.to) == 0) {
        return false;
    }
    if (!threads.empty() && threads.count(call.thread) == 0) {
        return false;
    }
    return InWindow(*this, call.time);
}

bool Filter::PassRelay(const RunResult& result, std::size_t relay) const
{
    if (!relays.empty() && relays.count(relay + 1) == 0) {
        return false;
    }
    // Every delivery runs on the WMI notification thread, between the driver and the firmware.
    if (!threads.empty() && threads.count("wmi") == 0) {
        return false;
    }
    if (!parties.empty() && parties.count("driver") == 0 && parties.count("firmware") == 0) {
        return false;
    }
    return InWindow(*this, result.relays[relay].time);
}

bool Filter::PassEvent(const RunResult& result, std::size_t event) const
{
    const RaisedEvent& e = result.events[event];
    if (!relays.empty()) {
        const bool met = (e.deliveredAs && relays.count(*e.deliveredAs + 1) != 0) ||
                         (e.fetchedBy && relays.count(*e.fetchedBy + 1) != 0);
        if (!met) {
            return false;
        }
    }
    if (!parties.empty() && parties.count("firmware") == 0) {
        return false;
    }
    if (!threads.empty() && threads.count("test") == 0) {
        return false;
    }
    return InWindow(*this, e.time);
}

std::string ParseRelayFilter(const std::string& text, Filter* filter)
{
    for (const std::string& part : Split(text)) {
        const std::size_t dash = part.find('-');
        const auto first = RelayNumber(part.substr(0, dash));
        const auto last = dash == std::string::npos ? first : RelayNumber(part.substr(dash + 1));
        if (!first || !last || *last < *first) {
            return "--relay takes relay numbers from 1, separated by commas, or ranges such as 4-7 ('" + part +
                   "' is not one)";
        }
        if (*last - *first > 1'000'000) {
            return "--relay range '" + part + "' is wider than 1000000 relays";
        }
        for (std::size_t n = *first; n <= *last; ++n) {
            filter->relays.insert(n);
        }
    }
    return "";
}

std::string ParsePartyFilter(const std::string& text, Filter* filter)
{
    for (const std::string& part : Split(text)) {
        if (Parties().count(part) == 0) {
            return "--party: no party '" + part + "' (parties: driver, firmware, framework, kernel, pnp, ta, test)";
        }
        filter->parties.insert(part);
    }
    return "";
}

std::string ParseThreadFilter(const std::string& text, Filter* filter)
{
    for (const std::string& part : Split(text)) {
        if (part.empty()) {
            return "--thread takes thread names separated by commas: test, wmi, pnp, system thread N";
        }
        filter->threads.insert(part);
    }
    return "";
}

std::string ParseTimeBound(const std::string& text, std::optional<sim::Ticks>* bound)
{
    // The same time syntax as a scenario's `at:`, so that a bound can be copied from the file.
    std::string error;
    const std::optional<sim::Ticks> ticks = ParseTime(text, &error);
    if (!ticks) {
        return error;
    }
    *bound = *ticks;
    return "";
}

} // namespace fwtool
