// The conversation across the boundaries (firmware, driver, TA service, kernel, framework),
// recorded in order with virtual timestamps, for tests and for the command-line program.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntbase.h"
#include "sim/scheduler.h"

namespace sim {

struct TraceEvent {
    std::uint64_t sequence = 0;
    Ticks time = 0;
    std::string thread;
    std::string from; // "driver", "firmware", "ta", "kernel", "framework", "pnp", "test"
    std::string to;
    std::string operation;
    std::string detail;
    std::optional<NTSTATUS> status;
};

class Trace {
public:
    explicit Trace(Scheduler& scheduler) : scheduler_(scheduler) {}

    void Add(std::string from, std::string to, std::string operation, std::string detail,
             std::optional<NTSTATUS> status = std::nullopt);
    std::vector<TraceEvent> Events() const;
    // Events whose operation equals `operation`.
    std::vector<TraceEvent> Find(const std::string& operation) const;
    void Clear();
    void SetEnabled(bool enabled);

    static std::string StatusText(NTSTATUS status);

private:
    Scheduler& scheduler_;
    mutable std::mutex mutex_;
    std::vector<TraceEvent> events_;
    std::uint64_t sequence_ = 0;
    bool enabled_ = true;
};

} // namespace sim
