#include "sim/trace.h"

#include <cstdio>

namespace sim {

void Trace::Add(std::string from, std::string to, std::string operation, std::string detail,
                std::optional<NTSTATUS> status)
{
    Ticks now = scheduler_.Now();
    std::string thread = Scheduler::CurrentThreadName();
    std::lock_guard lock(mutex_);
    if (!enabled_) {
        return;
    }
    events_.push_back(TraceEvent{++sequence_, now, std::move(thread), std::move(from), std::move(to),
                                 std::move(operation), std::move(detail), status});
}

std::vector<TraceEvent> Trace::Events() const
{
    std::lock_guard lock(mutex_);
    return events_;
}

std::vector<TraceEvent> Trace::Find(const std::string& operation) const
{
    std::lock_guard lock(mutex_);
    std::vector<TraceEvent> result;
    for (const auto& e : events_) {
        if (e.operation == operation) {
            result.push_back(e);
        }
    }
    return result;
}

void Trace::Clear()
{
    std::lock_guard lock(mutex_);
    events_.clear();
}

void Trace::SetEnabled(bool enabled)
{
    std::lock_guard lock(mutex_);
    enabled_ = enabled;
}

std::string Trace::StatusText(NTSTATUS status)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
    return buffer;
}

} // namespace sim
