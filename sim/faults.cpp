#include "sim/faults.h"

#include <algorithm>

namespace sim {

const std::vector<std::string_view>& FailableOperations()
{
    // Each name is the one its model passes to Check() (pool, kernel, objects, PnP, WMI, framework).
    static const std::vector<std::string_view> operations = [] {
        std::vector<std::string_view> names = {
            "ExAllocatePool2",
            "FirmwareMethodOutput",
            "IoCreateSystemThread",
            "IoRegisterPlugPlayNotification",
            "IoWMIExecuteMethod",
            "IoWMIOpenBlock",
            "IoWMISetNotificationCallback",
            "ObReferenceObjectByHandle",
            "WdfControlDeviceInitAllocate",
            "WdfDeviceCreate",
            "WdfDriverCreate",
            "WdfIoTargetCreate",
            "WdfIoTargetOpen",
            "WdfIoTargetSendIoctlSynchronously",
            "WmiEventDelivery",
        };
        std::sort(names.begin(), names.end());
        return names;
    }();
    return operations;
}

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

std::size_t FaultInjector::OperationIndexLocked(const char* operation)
{
    Known& slot = byAddress_[Slot(operation)];
    if (slot.address == operation) {
        return slot.index;
    }
    const std::string_view name(operation);
    auto it = index_.find(name);
    std::size_t index = 0;
    if (it != index_.end()) {
        index = it->second;
    } else {
        operations_.push_back(Operation{std::string(name), 0});
        index = operations_.size() - 1;
        index_.emplace(std::string(name), index);
    }
    // Literals, and few: two translation units may each have their own copy of one name. Two
    // literals that share a slot take turns in it, each found by name when the other holds it.
    slot = Known{operation, static_cast<std::uint32_t>(index)};
    return index;
}

bool FaultInjector::Check(const char* operation, NTSTATUS defaultStatus, NTSTATUS* status)
{
    std::lock_guard lock(mutex_);
    const std::size_t index = OperationIndexLocked(operation);
    std::uint64_t n = ++operations_[index].count;
    log_.push_back(static_cast<std::uint32_t>(index));
    const std::uint64_t global = log_.size();
    const bool globalMatched = global_ && (global_->onwards ? global >= global_->first : global == global_->first);
    return MatchRulesLocked(operation, n, globalMatched, defaultStatus, status);
}

bool FaultInjector::CheckMachineFault(const char* fault, NTSTATUS defaultStatus, NTSTATUS* status)
{
    std::lock_guard lock(mutex_);
    const std::uint64_t n = ++operations_[OperationIndexLocked(fault)].count;
    return MatchRulesLocked(fault, n, false, defaultStatus, status);
}

bool FaultInjector::MatchRulesLocked(std::string_view name, std::uint64_t n, bool globalMatched, NTSTATUS defaultStatus,
                                     NTSTATUS* status)
{
    bool fail = globalMatched;
    std::optional<NTSTATUS> chosen;
    auto range = rules_.empty() ? std::make_pair(rules_.end(), rules_.end()) : rules_.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) {
        const Rule& rule = it->second;
        if (rule.onwards ? n >= rule.first : n == rule.first) {
            fail = true;
            chosen = rule.status;
        }
    }
    if (fail) {
        *status = chosen.value_or(defaultStatus);
        injected_.push_back(std::string(name) + "#" + std::to_string(n));
    }
    return fail;
}

std::uint64_t FaultInjector::Count(const std::string& operation) const
{
    std::lock_guard lock(mutex_);
    auto it = index_.find(operation);
    return it == index_.end() ? 0 : operations_[it->second].count;
}

std::uint64_t FaultInjector::TotalCount() const
{
    std::lock_guard lock(mutex_);
    return log_.size();
}

std::vector<std::string> FaultInjector::CallLog() const
{
    std::lock_guard lock(mutex_);
    std::vector<std::string> names;
    names.reserve(log_.size());
    for (std::uint32_t index : log_) {
        names.push_back(operations_[index].name);
    }
    return names;
}

std::vector<std::string> FaultInjector::Injected() const
{
    std::lock_guard lock(mutex_);
    return injected_;
}

void FaultInjector::ResetCounts()
{
    std::lock_guard lock(mutex_);
    for (auto& operation : operations_) {
        operation.count = 0;
    }
    log_.clear();
    injected_.clear();
}

} // namespace sim
