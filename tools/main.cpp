// fwrelay-sim: runs the fwrelay driver in the host platform and shows every call across the
// firmware, driver and TA service boundaries.
//
// Exit status: 0 a clean run; 1 the verifier recorded something or an expectation was not met;
// 2 the scenario, the buffer file or the command line is wrong, or the output could not be written.
#include <CLI/CLI.hpp>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>

#include "tools/default_scenario.h"
#include "tools/diff.h"
#include "tools/dump.h"
#include "tools/filter.h"
#include "tools/output.h"
#include "tools/replay.h"
#include "tools/runner.h"
#include "tools/scenario.h"
#include "tools/session.h"
#include "tools/text.h"

#ifndef FWRELAY_VERSION
#define FWRELAY_VERSION "unknown"
#endif

namespace {

constexpr int kExitUsage = 2;

const char* kDescription =
    "Runs the fwrelay driver against a simulated firmware, kernel, framework and TA service on a virtual clock,\n"
    "and prints every call that crossed a boundary.\n\n"
    "  fwrelay-sim                       run the built-in default scenario\n"
    "  fwrelay-sim SCENARIO.yaml         run a scenario file (schema: docs/scenarios.md); '-' reads standard input\n"
    "  fwrelay-sim replay BUFFER         relay one exchange buffer (binary or hex text) and show the verdict\n"
    "  fwrelay-sim diff A.jsonl B.jsonl  what changed between two runs written with --format json\n"
    "  fwrelay-sim help [COMMAND]        this help, or the help of a command (replay, diff, help)\n"
    "  fwrelay-sim --list-operations     what a fault may fail; also --list-statuses, --list-behaviours\n\n"
    "Exit status: 0 clean run, 1 verifier records, unmet expectations or a driver left loaded,\n"
    "2 bad input or command line, or the output could not be written (a closed pipe too),\n"
    "3 the run deadlocked (the report shows where), 130/143 interrupted by SIGINT/SIGTERM\n"
    "(the output so far is written, with the summary). diff: 0 the same, 1 different, 2 bad input.";

int UsageError(const std::string& message)
{
    std::cerr << "fwrelay-sim: error: " << message << "\nRun 'fwrelay-sim --help' for the usage.\n";
    return kExitUsage;
}

// The first word of a list the option library put after ": " in its message.
std::string FirstArgument(const std::string& message)
{
    const std::size_t colon = message.find(": ");
    std::string rest = colon == std::string::npos ? std::string() : message.substr(colon + 2);
    if (!rest.empty() && rest[0] == '[') {
        rest = rest.substr(1, rest.find_first_of(",]") - 1);
    }
    return rest.substr(0, rest.find(' '));
}

// The option library's complaints in the program's own words. Its messages start with the option's
// name; that name and the argument it objects to are all that is kept from them.
std::string DescribeCommandLineError(const CLI::ParseError& error)
{
    const std::string message = error.what();
    const std::string option = message.substr(0, message.find(": "));
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        const std::string argument = FirstArgument(message);
        if (!argument.empty() && argument[0] == '-' && argument != "-") {
            return "unknown option " + fwtool::Quoted(argument) + " (fwrelay-sim --help lists the options)";
        }
        return "unexpected argument " + fwtool::Quoted(argument) +
               ": a run takes one scenario file, replay one buffer file, help one command";
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr) {
        if (message.find("missing") != std::string::npos) {
            return option + " needs a value";
        }
        return option + " is given more than once";
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
        return "replay needs a buffer file: fwrelay-sim replay FILE";
    }
    return "the command line cannot be read at " + fwtool::Quoted(option) + "; fwrelay-sim --help shows the usage";
}

// The output must have reached its destination: a full disk or a closed pipe is not a success.
int Finish(int code)
{
    std::cout.flush();
    if (!std::cout || std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        const int error = errno;
        std::cerr << "fwrelay-sim: error: cannot write the output"
                  << (error != 0 ? std::string(": ") + std::strerror(error) : std::string()) << "\n";
        return kExitUsage;
    }
    return code;
}

// Steps done so far on standard error, when it is a terminal and the run takes a while.
class ProgressLine {
public:
    // Not while the report streams to the same terminal: the two would overwrite each other.
    ProgressLine()
        : enabled_(isatty(STDERR_FILENO) != 0 && isatty(STDOUT_FILENO) == 0), start_(std::chrono::steady_clock::now())
    {}
    ~ProgressLine()
    {
        if (shown_) {
            std::cerr << "\r\033[K" << std::flush;
        }
    }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    fwtool::Progress Callback()
    {
        if (!enabled_) {
            return {};
        }
        return [this](std::size_t done, std::size_t total, sim::Ticks now) {
            const auto real = std::chrono::steady_clock::now();
            if (real - start_ < std::chrono::seconds(1) || real - last_ < std::chrono::milliseconds(200)) {
                return;
            }
            last_ = real;
            shown_ = true;
            std::cerr << "\rfwrelay-sim: step " << done << " of " << total << ", virtual time " << fwtool::Seconds(now)
                      << "\033[K" << std::flush;
        };
    }

private:
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_{};
};

} // namespace

static int Run(int argc, char** argv)
{
    CLI::App app(kDescription, "fwrelay-sim");
    app.require_subcommand(0, 1);
    app.set_version_flag("--version", std::string("fwrelay-sim ") + FWRELAY_VERSION + " (JSON schema " +
                                          std::to_string(fwtool::kJsonSchemaVersion) + ")");

    std::string scenarioPath;
    std::string formatText = "text";
    std::string detailText = "compact";
    bool printDefault = false;
    bool checkOnly = false;
    bool summaryOnly = false;
    CLI::Option* scenarioOption =
        app.add_option("scenario", scenarioPath, "Scenario file (YAML), '-' for standard input; default: built-in");
    CLI::Option* formatOption =
        app.add_option("-f,--format", formatText, "Output: text (timeline and summary), json (JSON lines), mermaid");
    CLI::Option* detailOption = app.add_option(
        "--detail", detailText, "Mermaid only: compact (firmware, driver, TA service) or full (every party and call)");
    CLI::Option* printOption =
        app.add_flag("--print-default", printDefault, "Print the built-in scenario's YAML and exit");
    CLI::Option* checkOption = app.add_flag("--check", checkOnly, "Only parse the scenario; report problems and exit");
    CLI::Option* quietOption = app.add_flag("-q,--summary-only", summaryOnly,
                                            "Text: only the summary; json: only the run and summary records");
    bool listOperations = false;
    bool listStatuses = false;
    bool listBehaviours = false;
    app.add_flag("--list-operations", listOperations, "List the operations a fault may fail, and exit");
    app.add_flag("--list-statuses", listStatuses, "List the statuses known by name with their values, and exit");
    app.add_flag("--list-behaviours", listBehaviours, "List the TA service's behaviours, and exit");

    std::string relayFilter;
    std::string partyFilter;
    std::string threadFilter;
    std::string fromText;
    std::string toText;
    bool stats = false;
    std::string dumpDirectory;
    CLI::Option* relayOption =
        app.add_option("--relay", relayFilter, "Text and json: only these relays' calls and records (4, 4,7, 4-7)");
    CLI::Option* partyOption = app.add_option(
        "--party", partyFilter, "Text and json: only calls to or from these parties (driver,firmware,ta,...)");
    CLI::Option* threadOption =
        app.add_option("--thread", threadFilter, "Text and json: only calls on these threads (wmi,test,pnp,...)");
    CLI::Option* fromOption = app.add_option("--from", fromText, "Text and json: only from this virtual time (4s)");
    CLI::Option* toOption = app.add_option("--to", toText, "Text and json: only up to this virtual time (9s)");
    CLI::Option* statsOption = app.add_flag(
        "--stats", stats,
        "Also count calls by operation and status, relays by outcome, retries, pool high-water by tag, instants");
    std::string imagePath;
    app.add_option(
           "--image", imagePath,
           "Run this x64 fwrelay.sys (scripts/wdk-check links it) in place of the driver built into the program")
        ->check(CLI::ExistingFile);
    CLI::Option* dumpOption = app.add_option(
        "--dump-buffers", dumpDirectory,
        "Write every fetched and handed-back exchange buffer to this directory as hex files replay reads");

    CLI::App* replay = app.add_subcommand("replay", "Relay one raw exchange buffer through the driver");
    std::string bufferPath;
    bool forceHex = false;
    bool noTarget = false;
    bool dumpAll = false;
    std::string answerText = "echo";
    std::string replayFormat = "text";
    replay->add_option("file", bufferPath, "The exchange buffer: a binary file or hex text; '-' reads standard input")
        ->required();
    replay->add_flag("--hex", forceHex, "Read the file as hex text (otherwise detected)");
    CLI::Option* taOption =
        replay->add_option("--ta", answerText, "TA service answer: echo, fixed:HEX, first:N, fail:STATUS");
    replay->add_flag("--no-target", noTarget, "No TA service: the driver holds no target");
    std::string replayImage;
    replay->add_option("--image", replayImage, "Run this x64 fwrelay.sys in place of the built-in driver")
        ->check(CLI::ExistingFile);
    replay->add_flag("--dump-all", dumpAll,
                     "Show every byte of the dumps (by default each shows its first " +
                         std::to_string(fwtool::kReplayDumpRows * 16) + " bytes)");
    CLI::Option* replayFormatOption =
        replay->add_option("-f,--format", replayFormat, "Output: text (verdict and dumps), json, mermaid");
    bool emitScenario = false;
    replay->add_flag("--emit-scenario", emitScenario,
                     "Print a one-event scenario file that replays the buffer (with --ta, --no-target), not the run");

    CLI::App* diff = app.add_subcommand("diff", "What changed between two runs' JSON lines, in the driver's terms");
    std::string diffBefore;
    std::string diffAfter;
    diff->add_option("before", diffBefore, "The first run: fwrelay-sim SCENARIO -f json > A.jsonl")->required();
    diff->add_option("after", diffAfter, "The second run, the same way")->required();

    CLI::App* help = app.add_subcommand("help", "Show the help of fwrelay-sim, or of one command");
    std::string helpTopic;
    help->add_option("command", helpTopic, "A command: replay, diff or help");

    try {
        app.parse(argc, argv);
    }
    catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);
        }
        return UsageError(DescribeCommandLineError(e));
    }

    if (help->parsed()) {
        // App::help() would show the help of the command just parsed, 'help' itself.
        if (helpTopic.empty()) {
            std::cout << app.get_formatter()->make_help(&app, "fwrelay-sim", CLI::AppFormatMode::Normal);
        } else if (helpTopic == "replay" || helpTopic == "diff" || helpTopic == "help") {
            CLI::App* command = helpTopic == "replay" ? replay : helpTopic == "diff" ? diff : help;
            std::cout << command->get_formatter()->make_help(command, helpTopic, CLI::AppFormatMode::Normal);
        } else {
            return UsageError("no command " + fwtool::Quoted(helpTopic) + " (commands: replay, diff, help)");
        }
        return Finish(0);
    }

    const int listings = (listOperations ? 1 : 0) + (listStatuses ? 1 : 0) + (listBehaviours ? 1 : 0);
    if (listings != 0) {
        if (listings > 1 || argc != 2) {
            return UsageError("a --list-... option stands alone on the command line");
        }
        std::cout << (listOperations ? fwtool::ListOperations()
                      : listStatuses ? fwtool::ListStatuses()
                                     : fwtool::ListBehaviours());
        return Finish(0);
    }

    // An empty path is a mistake (an unset variable, most often), never the built-in scenario.
    if (scenarioOption->count() != 0 && scenarioPath.empty()) {
        return UsageError("the scenario path is empty ('-' reads standard input; no path runs the built-in scenario)");
    }
    if (replay->parsed() && bufferPath.empty()) {
        return UsageError("replay: the buffer file's path is empty ('-' reads standard input)");
    }
    // Choices are checked here rather than by the option library, so that a refusal is in our words.
    for (const auto& [option, text] :
         {std::pair{formatOption, formatText}, std::pair{replayFormatOption, replayFormat}}) {
        fwtool::Format format = fwtool::Format::Text;
        if (!fwtool::ParseFormat(text, &format)) {
            return UsageError(option->get_name() + ": " + fwtool::Quoted(text) +
                              " is not one of text, json or mermaid");
        }
    }
    if (detailText != "compact" && detailText != "full") {
        return UsageError("--detail: " + fwtool::Quoted(detailText) + " is not one of compact or full");
    }

    // Options that would be silently dropped are refused instead.
    const std::initializer_list<CLI::Option*> runOptions = {relayOption, partyOption, threadOption, fromOption,
                                                            toOption,    statsOption, dumpOption};
    if (replay->parsed() || diff->parsed() || printDefault || checkOnly) {
        for (CLI::Option* option : runOptions) {
            if (option->count() != 0) {
                return UsageError(option->get_name() + " belongs to a scenario run");
            }
        }
    }
    if (diff->parsed()) {
        for (CLI::Option* option :
             {scenarioOption, formatOption, detailOption, printOption, checkOption, quietOption}) {
            if (option->count() != 0) {
                return UsageError(option->get_name() + " belongs to a scenario run, not to 'diff'");
            }
        }
    }
    if (replay->parsed()) {
        if (scenarioOption->count() != 0) {
            return UsageError("a scenario file and 'replay' cannot go together: replay relays one buffer file "
                              "(fwrelay-sim replay FILE)");
        }
        if (noTarget && taOption->count() != 0) {
            return UsageError("--ta answers for the TA service, which --no-target keeps away; give one of them");
        }
        for (CLI::Option* option : {formatOption, detailOption, printOption, checkOption, quietOption}) {
            if (option->count() != 0) {
                return UsageError(option->get_name() + " belongs to a scenario run, not to 'replay'" +
                                  (option == formatOption ? " (write it after 'replay': replay FILE -f FORMAT)" : ""));
            }
        }
    } else if (printDefault) {
        for (CLI::Option* option : {scenarioOption, formatOption, detailOption, checkOption, quietOption}) {
            if (option->count() != 0) {
                return UsageError("--print-default prints the built-in scenario and takes no " + option->get_name());
            }
        }
    } else if (checkOnly) {
        for (CLI::Option* option : {formatOption, detailOption, quietOption}) {
            if (option->count() != 0) {
                return UsageError("--check only parses the scenario; " + option->get_name() + " has nothing to show");
            }
        }
    }
    fwtool::ReportOptions options;
    fwtool::ParseFormat(formatText, &options.format);
    options.detail = detailText == "full" ? fwtool::Detail::Full : fwtool::Detail::Compact;
    options.summaryOnly = summaryOnly;
    if (detailOption->count() != 0 && options.format != fwtool::Format::Mermaid) {
        return UsageError("--detail applies to --format mermaid only");
    }
    if (summaryOnly && options.format == fwtool::Format::Mermaid) {
        return UsageError("--summary-only applies to text and json; a diagram has no summary-only form");
    }
    for (CLI::Option* option : {relayOption, partyOption, threadOption, fromOption, toOption, statsOption}) {
        if (option->count() != 0 && options.format == fwtool::Format::Mermaid) {
            return UsageError(option->get_name() + " applies to text and json; a diagram shows the whole run");
        }
    }
    {
        std::string problem;
        if (problem.empty() && relayOption->count() != 0) {
            problem = fwtool::ParseRelayFilter(relayFilter, &options.filter);
        }
        if (problem.empty() && partyOption->count() != 0) {
            problem = fwtool::ParsePartyFilter(partyFilter, &options.filter);
        }
        if (problem.empty() && threadOption->count() != 0) {
            problem = fwtool::ParseThreadFilter(threadFilter, &options.filter);
        }
        if (problem.empty() && fromOption->count() != 0) {
            problem = fwtool::ParseTimeBound(fromText, &options.filter.from);
            problem = problem.empty() ? "" : "--from: " + problem;
        }
        if (problem.empty() && toOption->count() != 0) {
            problem = fwtool::ParseTimeBound(toText, &options.filter.to);
            problem = problem.empty() ? "" : "--to: " + problem;
        }
        if (problem.empty() && options.filter.from && options.filter.to && *options.filter.to < *options.filter.from) {
            problem = "--to " + toText + " comes before --from " + fromText;
        }
        if (problem.empty() && dumpOption->count() != 0) {
            problem = fwtool::CheckDumpDirectory(dumpDirectory);
        }
        if (!problem.empty()) {
            return UsageError(problem);
        }
    }

    try {
        if (diff->parsed()) {
            const int code = fwtool::DiffRuns(diffBefore, diffAfter, std::cout);
            return Finish(code);
        }
        if (replay->parsed()) {
            std::string error;
            std::optional<sim::TaBehaviour> answer = fwtool::ParseTaBehaviour(answerText, &error);
            if (!answer) {
                return UsageError("--ta: " + error);
            }
            const fwtool::Bytes buffer = fwtool::LoadBufferFile(bufferPath, forceHex);
            if (emitScenario) {
                fwtool::WriteReplayScenario(std::cout, buffer, bufferPath == "-" ? "<stdin>" : bufferPath, answerText,
                                            noTarget);
                return Finish(0);
            }
            fwtool::RunOptions run;
            run.image = replayImage;
            const fwtool::RunResult result =
                fwtool::RunScenario(fwtool::ReplayScenario(buffer, *answer, noTarget), run);
            fwtool::Format format = fwtool::Format::Text;
            fwtool::ParseFormat(replayFormat, &format);
            if (format == fwtool::Format::Text) {
                fwtool::WriteReplayReport(std::cout, result, dumpAll ? 0 : fwtool::kReplayDumpRows);
            } else {
                fwtool::WriteReport(std::cout, result, format);
            }
            return Finish(result.verifier.empty() ? 0 : 1);
        }

        if (printDefault) {
            std::cout << fwtool::DefaultScenarioText();
            return Finish(0);
        }
        const fwtool::Scenario scenario =
            scenarioPath.empty() ? fwtool::ParseScenario(fwtool::DefaultScenarioText(), fwtool::kDefaultScenarioFile)
                                 : fwtool::LoadScenarioFile(scenarioPath);
        if (checkOnly) {
            std::cout << scenario.file << ": " << scenario.steps.size() << " step(s), no problem found\n";
            return Finish(0);
        }
        fwtool::SessionOptions session;
        session.report = options;
        session.stats = stats;
        session.dumpDirectory = dumpDirectory;
        session.image = imagePath;
        ProgressLine progress;
        const int code = fwtool::RunSession(scenario, session, progress.Callback(), std::cout);
        return Finish(code);
    }
    catch (const fwtool::LocatedError& e) {
        std::cerr << fwtool::DescribeError(e) << "\n";
        return kExitUsage;
    }
}

int main(int argc, char** argv)
{
    // A closed pipe is a write error like any other (exit status 2), not a silent death by SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    // Whatever goes wrong on the host side is reported, never a crash.
    try {
        return Run(argc, argv);
    }
    catch (const std::bad_alloc&) {
        std::cerr << "fwrelay-sim: error: out of memory\n";
    }
    catch (const std::exception& e) {
        std::cerr << "fwrelay-sim: error: " << e.what() << "\n";
    }
    catch (...) {
        std::cerr << "fwrelay-sim: error: unexpected failure\n";
    }
    return kExitUsage;
}
