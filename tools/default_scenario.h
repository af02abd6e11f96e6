// The built-in scenario.
#pragma once

namespace fwtool {

inline constexpr const char* kDefaultScenarioFile = "<built-in default>";

// The YAML text of the scenario run when no file is given.
const char* DefaultScenarioText();

} // namespace fwtool
