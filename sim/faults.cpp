#include "sim/faults.h"

namespace sim {

void FaultInjector::FailNth(const std::string& operation, std::uint64_t n, std::optional<NTSTATUS> status)
{
    std::lock_guard lock(mutex_);
    rules_.emplace(operation, Rule{n, false, status});
}

void FaultInjector::FailFrom(const std::string& operation, std::uint64_t n, std::optional<NTSTATUS> status)
{
    std::lock_guard lock(mutex_);
    rules_.emplace(operation, Rule{n, true, status});
}

void FaultInjector::FailAlways(const std::string& operation, std::optional<NTSTATUS> status)
{
    FailFrom(operation, 1, status);
}

void FaultInjector::FailGlobalNth(std::uint64_t n)
{
    std::lock_guard lock(mutex_);
    global_ = Rule{n, false, std::nullopt};
}

void FaultInjector::FailGlobalFrom(std::uint64_t n)
{
    std::lock_guard lock(mutex_);
    global_ = Rule{n, true, std::nullopt};
}

void FaultInjector::ClearRules()
{
    std::lock_guard lock(mutex_);
    rules_.clear();
    global_.reset();
}

bool FaultInjector::Check(const char* operation, NTSTATUS defaultStatus, NTSTATUS* status)
{
    std::lock_guard lock(mutex_);
    std::uint64_t n = ++counts_[operation];
    log_.emplace_back(operation);
    std::uint64_t global = log_.size();
    auto matches = [](const Rule& rule, std::uint64_t index) {
        return rule.onwards ? index >= rule.first : index == rule.first;
    };
    bool fail = false;
    std::optional<NTSTATUS> chosen;
    auto range = rules_.equal_range(operation);
    for (auto it = range.first; it != range.second; ++it) {
        if (matches(it->second, n)) {
            fail = true;
            chosen = it->second.status;
        }
    }
    if (global_ && matches(*global_, global)) {
        fail = true;
    }
    if (fail) {
        *status = chosen.value_or(defaultStatus);
        injected_.push_back(std::string(operation) + "#" + std::to_string(n));
    }
    return fail;
}

std::uint64_t FaultInjector::Count(const std::string& operation) const
{
    std::lock_guard lock(mutex_);
    auto it = counts_.find(operation);
    return it == counts_.end() ? 0 : it->second;
}

std::uint64_t FaultInjector::TotalCount() const
{
    std::lock_guard lock(mutex_);
    return log_.size();
}

std::vector<std::string> FaultInjector::CallLog() const
{
    std::lock_guard lock(mutex_);
    return log_;
}

std::vector<std::string> FaultInjector::Injected() const
{
    std::lock_guard lock(mutex_);
    return injected_;
}

void FaultInjector::ResetCounts()
{
    std::lock_guard lock(mutex_);
    counts_.clear();
    log_.clear();
    injected_.clear();
}

}  // namespace sim
