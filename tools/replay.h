// `fwrelay-sim replay`: one raw exchange buffer through the driver, and what became of it.
#pragma once

#include <ostream>

#include "tools/runner.h"

namespace fwtool {

// Firmware present, one device, the TA service present with `answer` (absent with `noTarget`),
// then one event carrying `buffer`.
Scenario ReplayScenario(const Bytes& buffer, const sim::TaBehaviour& answer, bool noTarget);

// The verdict, the TA service's input record decoded with the request bytes, and the buffer
// handed back with every changed byte marked.
void WriteReplayReport(std::ostream& out, const RunResult& result);

} // namespace fwtool
