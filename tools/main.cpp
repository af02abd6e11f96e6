// fwrelay-sim: runs the fwrelay driver in the host platform and shows every call across the
// firmware, driver and TA service boundaries.
//
// Exit status: 0 a clean run; 1 the verifier recorded something or an expectation was not met;
// 2 the scenario, the buffer file or the command line is wrong.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "tools/default_scenario.h"
#include "tools/output.h"
#include "tools/replay.h"
#include "tools/runner.h"
#include "tools/scenario.h"

namespace {

constexpr int kExitUsage = 2;

const char* kDescription =
    "Runs the fwrelay driver against a simulated firmware, kernel, framework and TA service on a virtual clock,\n"
    "and prints every call that crossed a boundary.\n\n"
    "  fwrelay-sim                       run the built-in default scenario\n"
    "  fwrelay-sim SCENARIO.yaml         run a scenario file (schema: docs/scenarios.md)\n"
    "  fwrelay-sim replay BUFFER         relay one exchange buffer (binary or hex text) and show the verdict\n\n"
    "Exit status: 0 clean run, 1 verifier records or unmet expectations, 2 bad input.";

} // namespace

static int Run(int argc, char** argv)
{
    CLI::App app(kDescription, "fwrelay-sim");
    app.require_subcommand(0, 1);

    std::string scenarioPath;
    std::string formatText = "text";
    bool printDefault = false;
    bool checkOnly = false;
    app.add_option("scenario", scenarioPath, "Scenario file (YAML); without one the built-in default runs");
    app.add_option("-f,--format", formatText, "Output: text (timeline and summary), json (JSON lines), mermaid")
        ->check(CLI::IsMember({"text", "json", "mermaid"}));
    app.add_flag("--print-default", printDefault, "Print the built-in scenario's YAML and exit");
    app.add_flag("--check", checkOnly, "Only parse the scenario; report problems and exit");

    CLI::App* replay = app.add_subcommand("replay", "Relay one raw exchange buffer through the driver");
    std::string bufferPath;
    bool forceHex = false;
    bool noTarget = false;
    std::string answerText = "echo";
    std::string replayFormat = "text";
    replay->add_option("file", bufferPath, "The exchange buffer: a binary file or hex text")->required();
    replay->add_flag("--hex", forceHex, "Read the file as hex text (otherwise detected)");
    replay->add_option("--ta", answerText, "TA service answer: echo, fixed:HEX, first:N, fail:STATUS");
    replay->add_flag("--no-target", noTarget, "No TA service: the driver holds no target");
    replay->add_option("-f,--format", replayFormat, "Output: text (verdict and dumps), json, mermaid")
        ->check(CLI::IsMember({"text", "json", "mermaid"}));

    try {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : kExitUsage;
    }

    try {
        if (replay->parsed()) {
            std::string error;
            std::optional<sim::TaBehaviour> answer = fwtool::ParseTaBehaviour(answerText, &error);
            if (!answer) {
                std::cerr << "fwrelay-sim: --ta: " << error << "\n";
                return kExitUsage;
            }
            const fwtool::Bytes buffer = fwtool::LoadBufferFile(bufferPath, forceHex);
            const fwtool::RunResult result = fwtool::RunScenario(fwtool::ReplayScenario(buffer, *answer, noTarget));
            fwtool::Format format = fwtool::Format::Text;
            fwtool::ParseFormat(replayFormat, &format);
            if (format == fwtool::Format::Text) {
                fwtool::WriteReplayReport(std::cout, result);
            } else {
                fwtool::WriteReport(std::cout, result, format);
            }
            return result.verifier.empty() ? 0 : 1;
        }

        if (printDefault) {
            std::cout << fwtool::DefaultScenarioText();
            return 0;
        }
        const fwtool::Scenario scenario =
            scenarioPath.empty() ? fwtool::ParseScenario(fwtool::DefaultScenarioText(), fwtool::kDefaultScenarioFile)
                                 : fwtool::LoadScenarioFile(scenarioPath);
        if (checkOnly) {
            std::cout << (scenarioPath.empty() ? fwtool::kDefaultScenarioFile : scenarioPath) << ": "
                      << scenario.steps.size() << " step(s), no problem found\n";
            return 0;
        }
        fwtool::Format format = fwtool::Format::Text;
        fwtool::ParseFormat(formatText, &format);
        const fwtool::RunResult result = fwtool::RunScenario(scenario);
        fwtool::WriteReport(std::cout, result, format);
        return result.ExitCode();
    }
    catch (const fwtool::LocatedError& e) {
        std::cerr << e.what() << "\n";
        return kExitUsage;
    }
}

int main(int argc, char** argv)
{
    // Whatever goes wrong on the host side is reported, never a crash.
    try {
        return Run(argc, argv);
    }
    catch (const std::exception& e) {
        std::cerr << "fwrelay-sim: " << e.what() << "\n";
    }
    catch (...) {
        std::cerr << "fwrelay-sim: unexpected failure\n";
    }
    return kExitUsage;
}
