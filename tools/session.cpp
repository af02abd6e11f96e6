#include "tools/session.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <vector>

#include "tools/dump.h"
#include "tools/stats.h"

namespace fwtool {

namespace {

std::atomic<int> gStop{0};

extern "C" void OnStopSignal(int signal)
{
    gStop.store(signal);
}

// The first SIGINT or SIGTERM asks the run to stop after its current step and report; the
// handler then goes, so a second one ends the process at once.
class StopSignals {
public:
    StopSignals()
    {
        struct sigaction action = {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = static_cast<int>(SA_RESETHAND);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopSignals()
    {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction oldInt_ = {};
    struct sigaction oldTerm_ = {};
};

// Every sink sees the run; the report last, so that what it writes at the end (statistics) is
// complete.
class Tee : public RunSink {
public:
    void Add(RunSink* sink) { sinks_.push_back(sink); }
    void Call(const RunResult& result, const sim::TraceEvent& call, std::optional<std::size_t> relay,
              bool opens) override
    {
        for (RunSink* sink : sinks_) {
            sink->Call(result, call, relay, opens);
        }
    }
    void RelayClosed(const RunResult& result, std::size_t relay) override
    {
        for (RunSink* sink : sinks_) {
            sink->RelayClosed(result, relay);
        }
    }
    void End(const RunResult& result) override
    {
        for (RunSink* sink : sinks_) {
            sink->End(result);
        }
    }

private:
    std::vector<RunSink*> sinks_;
};

} // namespace

int RunSession(const Scenario& scenario, const SessionOptions& options, const Progress& progress, std::ostream& out)
{
    StopSignals signals;
    CountingBuffer counting(out.rdbuf());
    std::ostream counted(&counting);
    Stats stats;
    ReportOptions reportOptions = options.report;
    Tee tee;
    if (options.stats) {
        reportOptions.stats = &stats;
        tee.Add(&stats);
    }
    std::optional<BufferDump> dump;
    if (!options.dumpDirectory.empty()) {
        dump.emplace(options.dumpDirectory);
        tee.Add(&*dump);
    }
    std::unique_ptr<RunSink> report = MakeSink(counted, reportOptions);
    tee.Add(report.get());
    RunOptions run;
    run.sink = &tee;
    // Only a diagram needs the calls again at the end; text and JSON keep no history.
    run.keepTrace = options.report.format == Format::Mermaid;
    run.keepBytes = false;
    run.image = options.image;
    run.interrupt = &gStop;
    run.progress = [&progress, &counted](std::size_t done, std::size_t total, sim::Ticks now) {
        // Nobody reads the output any more (a closed pipe): the rest of the run would be wasted.
        if (!counted) {
            gStop.store(SIGPIPE);
        }
        if (progress) {
            progress(done, total, now);
        }
    };
    run.onDeadlock = [&counted](const RunResult& result) {
        counted.flush();
        std::fflush(stdout);
        std::_Exit(!counted ? 2 : result.ExitCode());
    };
    const RunResult result = RunScenario(scenario, run);
    counted.flush();
    if (options.report.format == Format::Mermaid && counting.Count() > kMermaidDefaultLimit) {
        std::cerr << "fwrelay-sim: warning: the diagram has " << counting.Count() << " characters, more than the "
                  << kMermaidDefaultLimit
                  << " a Mermaid renderer accepts by default (maxTextSize); it will render as an error unless "
                     "the limit is raised"
                  << (options.report.detail == Detail::Full ? "; --detail compact draws a smaller one" : "") << "\n";
    }
    if (!counted) {
        out.setstate(std::ios::badbit);
    }
    if (result.interruptedBy && *result.interruptedBy == SIGPIPE) {
        return 2;
    }
    if (dump && dump->Error()) {
        std::cerr << "fwrelay-sim: error: --dump-buffers: " << *dump->Error() << "\n";
        return 2;
    }
    return result.ExitCode();
}

} // namespace fwtool
