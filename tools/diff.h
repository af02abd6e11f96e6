// `fwrelay-sim diff A.jsonl B.jsonl`: what changed between two runs' JSON lines, in the driver's
// terms: each relay whose outcome or reason changed, events whose fate changed, counts that
// moved, calls per operation, the verifier and the verdict.
#pragma once

#include <ostream>
#include <string>

namespace fwtool {

inline constexpr int kDiffSame = 0;
inline constexpr int kDiffDifferent = 1;

// Reads both files (schema 1 or 2) and writes the differences, or that there are none, to `out`.
// Returns kDiffSame or kDiffDifferent; throws LocatedError for a file that cannot be read or is
// not JSON lines from fwrelay-sim.
int DiffRuns(const std::string& before, const std::string& after, std::ostream& out);

} // namespace fwtool
