// Runs a scenario against the real driver in the host platform and explains what became of
// each firmware event.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/trace.h"
#include "sim/verifier.h"
#include "tools/scenario.h"

namespace fwtool {

// One delivery of the firmware event to the driver's callback, and what the relay made of it.
struct Relay {
    enum class Outcome {
        Forwarded, // the TA service got the request; the buffer went back
        NoTarget,  // no service target held: the buffer went back as fetched
        Dropped,   // nothing went back
        Ignored,   // the callback found the channel closed and did nothing
    };

    Outcome outcome = Outcome::Dropped;
    sim::Ticks time = 0;
    std::uint64_t firstSequence = 0;      // trace sequence of the delivery
    std::string reason;                   // why it was dropped or ignored
    std::optional<std::size_t> event;     // index into RunResult::events of the buffer fetched
    std::optional<std::size_t> delivered; // index into RunResult::events whose notification this was
    std::optional<ULONG> bufferSize;      // the buffer the driver provided for the fetch
    std::optional<ULONG> dataLength;      // what the fetch reported
    std::optional<sim::TaRequest> ta;     // what the TA service received
    std::optional<NTSTATUS> sendStatus;
    std::optional<Bytes> handedBack;           // kept unless the run was asked to drop bytes once shown
    std::optional<std::size_t> handedBackSize; // what went back, whether or not the bytes are kept
    std::optional<std::size_t> changedBytes;   // bytes that differ from the buffer as raised
    bool acknowledged = false;
};

const char* OutcomeName(Relay::Outcome outcome);

// One event the scenario raised, and what became of it.
struct RaisedEvent {
    std::string label;
    sim::Ticks time = 0;
    std::optional<Bytes> buffer;            // none: raised with nothing pending
    bool lost = false;                      // raised while no notification callback was installed
    bool lostByFault = false;               // or dropped by the WMI layer under an injected fault
    bool droppedBeforeDelivery = false;     // the block was released before the notification ran
    std::optional<std::size_t> deliveredAs; // index into RunResult::relays
    std::optional<std::size_t> fetchedBy;   // the relay that fetched this event's buffer
};

// What became of an event, in words: "relayed by relay 2 (forwarded)", "lost: ...", ...
std::string EventFate(const struct RunResult& result, std::size_t index);

// The driver's retry worker ended without opening the firmware channel.
struct RetryGaveUp {
    sim::Ticks time = 0;
    std::size_t attempts = 0;
};

struct Expectation {
    std::string key;
    std::uint64_t expected = 0;
    std::uint64_t actual = 0;
    bool met() const { return expected == actual; }
};

// A deadlock the host platform found: nothing could move any more.
struct Deadlock {
    sim::Ticks time = 0;
    struct Thread {
        std::string name;
        std::string call;   // the driver's call the thread is in ("WdfIoTargetClose"), or its last one
        std::string reason; // what it waits for, in the host platform's words; empty when unknown
    };
    std::vector<Thread> threads;
};

struct RunResult {
    std::string name;
    std::string description;
    std::vector<sim::TraceEvent> trace; // every call, when the run kept them (RunOptions::keepTrace)
    std::vector<RaisedEvent> events;
    std::vector<Relay> relays;
    std::size_t eventsLost = 0; // raised while no callback was installed
    unsigned acks = 0;
    unsigned registerCalls = 0;
    std::size_t taRequests = 0;
    std::size_t poolHighWater = 0;
    std::map<std::uint32_t, std::size_t> poolHighWaterByTag; // bytes, by pool tag
    std::size_t poolLeftAtEnd = 0;
    bool loadedAtEnd = false; // the driver was still loaded when the run ended (it refused to unload)
    std::optional<RetryGaveUp> retryGaveUp;
    std::vector<sim::VerifierRecord> verifier;
    std::vector<std::string> notes;             // things the runner did or could not do
    std::vector<std::string> checkedOperations; // every fallible operation the run asked the fault injector about
    std::vector<Expectation> expectations;
    sim::Ticks endTime = 0;
    std::optional<Deadlock> deadlock; // the run ended in a deadlock (exit status 3)
    std::optional<int> interruptedBy; // the signal that stopped the run (exit status 128 + signal)
    // A run of a Windows image (--image): its path, and the deepest stack it used under each
    // entry point the host called it through, in bytes (0: no call into the host measured).
    std::string image;
    std::map<std::string, std::size_t> stackUse;

    // The run ended before its steps were done; its expectations were not checked.
    bool Unfinished() const { return deadlock.has_value() || interruptedBy.has_value(); }
    std::size_t Count(Relay::Outcome outcome) const;
    std::size_t HandedBack() const;
    std::size_t Unchanged() const;    // handed back byte for byte as delivered
    std::size_t PendingAtEnd() const; // buffers no relay ever fetched
    // The value of an expectation key (see ExpectationKeys()).
    std::uint64_t Value(const std::string& key) const;
    bool ExpectationsMet() const;
    // 0 clean, 1 verifier records or unmet expectations. A driver left loaded or pool left held
    // is an unmet expectation unless the scenario expects it (left_loaded, pool_left). A deadlock
    // is kExitDeadlock; an interrupted run 128 + the signal, as a shell reports it.
    int ExitCode() const;
};

inline constexpr int kExitDeadlock = 3;

// Receives a run as it happens: each call in order, each relay once it is complete (when the
// next delivery begins, or at the end), and the end. Text and JSON are written this way, so a
// long run shows its output as it goes and keeps no history it has written.
class RunSink {
public:
    virtual ~RunSink() = default;
    // `relay`: the relay whose delivery the call belongs to (the WMI thread's calls from one
    // delivery to the next); `opens`: the call is that delivery. result.relays[*relay] exists but
    // is complete only at RelayClosed.
    virtual void Call(const RunResult& result, const sim::TraceEvent& call, std::optional<std::size_t> relay,
                      bool opens) = 0;
    virtual void RelayClosed(const RunResult& result, std::size_t relay) = 0;
    // The summary is complete (or, for a run that did not finish, complete up to where it stopped).
    virtual void End(const RunResult& result) = 0;
};

// Feeds a finished result, whose trace was kept, to a sink as the run would have.
void Replay(const RunResult& result, RunSink& sink);

// Called after each step with the steps done, the steps in all and the virtual time.
using Progress = std::function<void(std::size_t done, std::size_t total, sim::Ticks now)>;

struct RunOptions {
    Progress progress;
    RunSink* sink = nullptr;
    // result.trace keeps every call (a diagram needs them all); otherwise calls go to the sink only.
    bool keepTrace = true;
    // Relays keep the bytes handed back and the TA service's request after the sink saw them.
    bool keepBytes = true;
    // Read after each step: a signal number once the run should stop (SIGINT, SIGTERM).
    const std::atomic<int>* interrupt = nullptr;
    // Set: a deadlock ends the run with its report (result.deadlock, the sink's End) and then this
    // is called, on whichever thread found it; it must not return (the program exits). Unset: the
    // host platform's own report and abort.
    std::function<void(const RunResult&)> onDeadlock;
    // Set: the x64 Windows image (fwrelay.sys) at this path runs in place of the driver linked
    // into the program, freshly mapped at each load.
    std::string image;
};

RunResult RunScenario(const Scenario& scenario, const RunOptions& options);
RunResult RunScenario(const Scenario& scenario, const Progress& progress = {});

// Host addresses in rendered text replaced by identifiers in order of first appearance
// ("ptr#1", "ptr#2"...), so that two runs print the same text. Framework handles are already
// stable and stay as they are.
class StableIds {
public:
    std::string Apply(const std::string& text);

private:
    std::map<std::string, std::size_t> ids_;
};

// Which bound of the exchange buffer's layout `buffer`, fetched into a `bufferSize`-byte
// allocation with `dataLength` reported, breaks; nullopt when it breaks none.
std::optional<std::string> ExplainValidation(const Bytes& buffer, ULONG bufferSize, ULONG dataLength);

} // namespace fwtool
