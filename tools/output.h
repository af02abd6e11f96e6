// How a run is shown: a timeline for people, JSON lines for programs, a Mermaid sequence
// diagram for documents.
#pragma once

#include <cstddef>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

#include "tools/filter.h"
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
inline constexpr int kJsonSchemaVersion = 2;
// A relay record's `ta_request` shows at most this many bytes; `ta_request_bytes` says how many
// the TA service received.
inline constexpr std::size_t kJsonRequestBytes = 4096;
// What a Mermaid renderer accepts by default (its maxTextSize); larger diagrams render as an error.
inline constexpr std::size_t kMermaidDefaultLimit = 50000;

class Stats;

struct ReportOptions {
    Format format = Format::Text;
    Detail detail = Detail::Compact;
    bool summaryOnly = false; // text: the summary; json: the run and summary records
    Filter filter;            // text and json: which calls, relays and events are shown
    // Text: written after the summary; json: a `stats` record before it. It must have seen the
    // run's calls (it is a sink of its own); the report does not feed it.
    const Stats* stats = nullptr;
};

// "text", "json" or "mermaid".
bool ParseFormat(const std::string& text, Format* format);

// Virtual time as the timeline shows it: seconds with six decimals.
std::string Seconds(sim::Ticks ticks);

// Control characters shown as escapes (\n, \t, \x1b, \u0085), so that a label cannot break a
// line, a diagram or a terminal; `keepNewlines` leaves line breaks alone.
std::string EscapeControls(const std::string& text, bool keepNewlines = false);

// "SIGINT", "SIGTERM", "signal N".
std::string SignalName(int signal);

// A sink that writes the report in `options.format` as the run goes (text and JSON), or at its
// end (Mermaid). `options` must outlive it.
std::unique_ptr<RunSink> MakeSink(std::ostream& out, const ReportOptions& options);

// Where the run stopped on a deadlock: the time and each thread with the call it is blocked in.
void WriteDeadlock(std::ostream& out, const RunResult& result);

// One line per call across a boundary, with its virtual time.
void WriteTimeline(std::ostream& out, const RunResult& result);
// Counts, every event's fate, every relay's outcome, drop reasons, pool, the driver's end,
// verifier verdict and expectations.
void WriteSummary(std::ostream& out, const RunResult& result);
// A run of a Windows image: the image and the deepest stack it used per entry point (nothing
// for the linked driver).
void WriteImageStackUse(std::ostream& out, const RunResult& result);
// A "run" record, one per call, per event, per relay, then a "summary" (docs/json.md).
void WriteJsonLines(std::ostream& out, const RunResult& result, bool summaryOnly = false);
// Returns the number of characters written.
std::size_t WriteMermaid(std::ostream& out, const RunResult& result, Detail detail = Detail::Compact);

// Counts what passes through to the stream it wraps.
class CountingBuffer : public std::streambuf {
public:
    explicit CountingBuffer(std::streambuf* target) : target_(target) {}
    std::size_t Count() const { return count_; }

protected:
    int overflow(int c) override
    {
        if (c == traits_type::eof()) {
            return traits_type::not_eof(c);
        }
        ++count_;
        return target_->sputc(static_cast<char>(c));
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        count_ += static_cast<std::size_t>(n);
        return target_->sputn(s, n);
    }
    int sync() override { return target_->pubsync(); }

private:
    std::streambuf* target_;
    std::size_t count_ = 0;
};

// The whole report for a run; returns the number of characters written.
std::size_t WriteReport(std::ostream& out, const RunResult& result, const ReportOptions& options);
std::size_t WriteReport(std::ostream& out, const RunResult& result, Format format);

} // namespace fwtool
