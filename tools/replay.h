// `fwrelay-sim replay`: one raw exchange buffer through the driver, and what became of it.
#pragma once

#include <cstddef>
#include <ostream>

#include "tools/runner.h"

namespace fwtool {

// Firmware present, one device, the TA service present with `answer` (absent with `noTarget`),
// then one event carrying `buffer`.
Scenario ReplayScenario(const Bytes& buffer, const sim::TaBehaviour& answer, bool noTarget);

// The verdict, the TA service's input record decoded with the request bytes, and the buffer
// handed back with every changed byte marked. Each dump shows at most `maxRows` rows of 16
// bytes (0: every row) and says how to see the rest.
inline constexpr std::size_t kReplayDumpRows = 32;
void WriteReplayReport(std::ostream& out, const RunResult& result, std::size_t maxRows = kReplayDumpRows);

} // namespace fwtool
