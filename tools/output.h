// How a run is shown: a timeline for people, JSON lines for programs, a Mermaid sequence
// diagram for documents.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "tools/runner.h"

namespace fwtool {

enum class Format {
    Text,
    Json,
    Mermaid
};

// Mermaid only: the firmware, the driver and the TA service (compact), or every party with
// the framework and PnP plumbing (full).
enum class Detail {
    Compact,
    Full
};

// The version of the JSON lines' schema (docs/json.md). Raised when a field changes meaning or
// goes away; new optional fields keep it.
inline constexpr int kJsonSchemaVersion = 1;
// What a Mermaid renderer accepts by default (its maxTextSize); larger diagrams render as an error.
inline constexpr std::size_t kMermaidDefaultLimit = 50000;

struct ReportOptions {
    Format format = Format::Text;
    Detail detail = Detail::Compact;
    bool summaryOnly = false; // text: the summary; json: the run and summary records
};

// "text", "json" or "mermaid".
bool ParseFormat(const std::string& text, Format* format);

// Virtual time as the timeline shows it: seconds with six decimals.
std::string Seconds(sim::Ticks ticks);

// One line per call across a boundary, with its virtual time.
void WriteTimeline(std::ostream& out, const RunResult& result);
// Counts, every event's fate, every relay's outcome, drop reasons, pool, the driver's end,
// verifier verdict and expectations.
void WriteSummary(std::ostream& out, const RunResult& result);
// A "run" record, one per call, per event, per relay, then a "summary" (docs/json.md).
void WriteJsonLines(std::ostream& out, const RunResult& result, bool summaryOnly = false);
// Returns the number of characters written.
std::size_t WriteMermaid(std::ostream& out, const RunResult& result, Detail detail = Detail::Compact);

// The whole report for a run; returns the number of characters written.
std::size_t WriteReport(std::ostream& out, const RunResult& result, const ReportOptions& options);
std::size_t WriteReport(std::ostream& out, const RunResult& result, Format format);

} // namespace fwtool
