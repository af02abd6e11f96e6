// How a run is shown: a timeline for people, JSON lines for programs, a Mermaid sequence
// diagram for documents.
#pragma once

#include <ostream>
#include <string>

#include "tools/runner.h"

namespace fwtool {

enum class Format {
    Text,
    Json,
    Mermaid
};

// "text", "json" or "mermaid".
bool ParseFormat(const std::string& text, Format* format);

// One line per call across a boundary, with its virtual time.
// Virtual time as the timeline shows it: seconds with six decimals.
std::string Seconds(sim::Ticks ticks);

void WriteTimeline(std::ostream& out, const RunResult& result);
// Counts, every relay's outcome, drop reasons, pool, verifier verdict and expectations.
void WriteSummary(std::ostream& out, const RunResult& result);
// One JSON object per call ("type": "call"), per relay ("type": "relay"), then one summary.
void WriteJsonLines(std::ostream& out, const RunResult& result);
void WriteMermaid(std::ostream& out, const RunResult& result);

// The whole report for a run in the chosen format.
void WriteReport(std::ostream& out, const RunResult& result, Format format);

} // namespace fwtool
