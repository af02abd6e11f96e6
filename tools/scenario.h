// A scenario: the firmware, the TA service and the machine around the driver, and what happens
// to them at which virtual time. Parsed from YAML (schema in docs/scenarios.md).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/firmware.h"
#include "sim/scheduler.h"
#include "sim/ta_service.h"
#include "tools/bytes.h"

namespace fwtool {

// Problems in a scenario, with the place they were found.
using ScenarioError = LocatedError;

struct FaultSpec {
    enum class Mode {
        Nth,
        From,
        Always
    };
    std::string operation;
    Mode mode = Mode::Nth;
    std::uint64_t n = 1;
    std::optional<NTSTATUS> status;
};

// Firmware settings; each one is applied only when given.
struct FirmwareSpec {
    std::optional<bool> present;
    std::optional<sim::Ticks> appearAt;
    std::optional<unsigned> registerFailures;
    NTSTATUS registerStatus = STATUS_UNSUCCESSFUL;
    std::optional<sim::SizeQuery> sizeQuery;
    std::optional<bool> getRequestConsumes;
};

struct EventSpec {
    std::string label;
    bool withBuffer = true;             // false: the event is raised with nothing pending
    Bytes buffer;                       // the exchange buffer the firmware delivers
    std::optional<sim::TaBehaviour> ta; // the TA service's answer to this event only
};

enum class StepKind {
    Load,
    Unload,
    AddDevice,
    RemoveDevice,
    TaArrive,
    TaDepart,
    TaBehaviour,
    TaRelease,
    Event,
    Firmware,
    Fault,
    ClearFaults,
};

struct Step {
    sim::Ticks at = 0;
    StepKind kind = StepKind::Load;
    int line = 0;       // where the step is written
    unsigned count = 1; // devices to add or remove, requests to release; 0 means all
    EventSpec event;
    sim::TaBehaviour ta;
    FirmwareSpec firmware;
    FaultSpec fault;
};

struct Scenario {
    std::string file; // for messages and for relative buffer files
    std::string name;
    std::string description;
    FirmwareSpec firmware;
    bool taPresent = false;
    sim::TaBehaviour taBehaviour;
    std::vector<FaultSpec> faults;
    std::vector<Step> steps;
    // Counts checked after the run (keys as in ExpectationKeys()).
    std::map<std::string, std::uint64_t> expect;
    std::vector<std::string> expectOrder; // the keys of `expect` in file order
};

const char* StepKindName(StepKind kind);
const std::vector<std::string>& ExpectationKeys();

// "echo", "block", "ignore_cancel", "fixed:HEX", "first:N", "fail:STATUS"; nullopt with *error
// set otherwise.
std::optional<sim::TaBehaviour> ParseTaBehaviour(const std::string& text, std::string* error);

// A time as every time field takes it: seconds as a decimal number ("2", "1.5") or with a unit
// ("250ms", "40us", "3s", "2min"); no sign, no leading zero, no exponent. Otherwise nullopt,
// with *error in words that follow the field's name.
std::optional<sim::Ticks> ParseTime(const std::string& text, std::string* error);

// Why a fault rule on `operation` could never fire (not an operation the platform can fail,
// with the nearest name when one is close), or nullopt when it can.
std::optional<std::string> CheckFaultOperation(const std::string& operation);

// What --list-operations, --list-statuses and --list-behaviours print: the operations a fault
// may name, the statuses known by name with their values and severities, the TA behaviours.
std::string ListOperations();
std::string ListStatuses();
std::string ListBehaviours();

// Throws ScenarioError. `file` names the source in messages and anchors relative buffer files.
Scenario ParseScenario(const std::string& text, const std::string& file);
// "-" reads standard input.
Scenario LoadScenarioFile(const std::string& path);

} // namespace fwtool
