// Fault injection. Every fallible platform operation asks Check() first; a rule can fail the
// Nth call of a named operation, every call from the Nth on, or every call, with the
// operation's documented failure status unless the rule names another. Calls are counted per
// operation and logged in order, so a sweep can enumerate every failure point of a scenario.
// Faults of the machine itself (CheckMachineFault: a lost event, a firmware answer too long) are
// named and counted the same way but stay out of that log.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ntbase.h"
#include "sim/leaf_lock.h"

namespace sim {

// The platform operations that ask Check() before they act, and the machine faults that ask
// CheckMachineFault(), i.e. every name a rule can fail. Sorted; a rule naming anything else can
// never fire.
const std::vector<std::string_view>& FailableOperations();

class FaultInjector {
public:
    // n counts from 1.
    void FailNth(const std::string& operation, std::uint64_t n, std::optional<NTSTATUS> status = std::nullopt);
    void FailFrom(const std::string& operation, std::uint64_t n, std::optional<NTSTATUS> status = std::nullopt);
    void FailAlways(const std::string& operation, std::optional<NTSTATUS> status = std::nullopt);
    // Across all operations: fail the Nth fallible call of any kind, or every one from the Nth on.
    void FailGlobalNth(std::uint64_t n);
    void FailGlobalFrom(std::uint64_t n);
    void ClearRules();

    // Returns true when this call must fail; *status then holds the status to fail with.
    // `operation` must be a string literal: it is known by its address after its first call.
    bool Check(const char* operation, NTSTATUS defaultStatus, NTSTATUS* status);
    // A fault of the machine itself rather than the failure of a call the driver makes (an event
    // the WMI layer loses, a firmware answer longer than the room offered): counted per name for
    // the rules that name it, but neither logged among the calls nor subject to the global rules,
    // so a sweep over the driver's fallible calls sees the same calls with or without it. The
    // same holds for a call the driver does not make: the framework entry library's allocation.
    bool CheckMachineFault(const char* fault, NTSTATUS defaultStatus, NTSTATUS* status);

    std::uint64_t Count(const std::string& operation) const;
    std::uint64_t TotalCount() const;
    std::vector<std::string> CallLog() const;  // operation names in call order
    std::vector<std::string> Injected() const; // "operation#n" for each failure injected
    void ResetCounts();

private:
    struct Rule {
        std::uint64_t first = 0;
        bool onwards = false;
        std::optional<NTSTATUS> status;
    };
    struct Operation {
        std::string name;
        std::uint64_t count = 0;
    };
    // Check() runs on every fallible call, so it looks names up without building strings and
    // logs an operation's index rather than a copy of its name.
    std::size_t OperationIndexLocked(const char* operation);
    // The named rules' verdict on call `n` of `name`; records an injection.
    bool MatchRulesLocked(std::string_view name, std::uint64_t n, bool globalMatched, NTSTATUS defaultStatus,
                          NTSTATUS* status);

    mutable LeafLock mutex_;
    std::multimap<std::string, Rule, std::less<>> rules_;
    std::optional<Rule> global_;
    std::map<std::string, std::size_t, std::less<>> index_; // name -> operations_ index
    std::vector<Operation> operations_;
    // Callers pass their operation's name as a literal, so most lookups are settled by its
    // address: no string comparisons on the path every fallible call takes.
    struct Known {
        const char* address = nullptr;
        std::uint32_t index = 0;
    };
    // Direct-mapped by the literal's address, so a lookup is one compare however many
    // operations the run has met.
    static constexpr std::size_t kSlots = 128;
    static std::size_t Slot(const char* address)
    {
        const auto bits = reinterpret_cast<std::uintptr_t>(address);
        return (bits ^ (bits >> 7) ^ (bits >> 14)) % kSlots;
    }
    std::array<Known, kSlots> byAddress_{};
    std::vector<std::uint32_t> log_; // operations_ indexes in call order
    std::vector<std::string> injected_;
};

} // namespace sim
