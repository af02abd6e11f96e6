// One scenario run as the program makes it: the report written as the run goes, SIGINT and
// SIGTERM ending it with what ran so far, and a deadlock reported rather than aborted.
#pragma once

#include <iosfwd>
#include <string>

#include "tools/output.h"
#include "tools/runner.h"

namespace fwtool {

struct SessionOptions {
    ReportOptions report;
    bool stats = false;        // --stats: the run's statistics after the report
    std::string dumpDirectory; // --dump-buffers: every fetched and handed-back buffer as a hex file
    std::string image;         // --image: the x64 fwrelay.sys to run in place of the linked driver
};

// Runs `scenario`, writing to `out`; returns the exit status the run calls for (RunResult::ExitCode,
// or 2 when a buffer could not be dumped). A deadlock does not return: it ends the process with
// kExitDeadlock once the report is written.
int RunSession(const Scenario& scenario, const SessionOptions& options, const Progress& progress, std::ostream& out);

} // namespace fwtool
