// Arbitrary bytes as a scenario file. The parser's contract: a Scenario, or a ScenarioError
// that names a place in the input; never another exception, a crash or a hang.
#include <cstdint>
#include <string>

#include "tools/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        fwtool::Scenario scenario = fwtool::ParseScenario(text, "fuzz.yaml");
        (void)scenario;
    }
    catch (const fwtool::ScenarioError& error) {
        if (error.line < 1 || error.column < 1) {
            __builtin_trap(); // a problem must point into the input
        }
        (void)fwtool::DescribeError(error); // the echoed line and caret, whatever the line holds
    }
    return 0;
}
