// fwrelay-sim as a user meets it: the program's exit status, standard output and standard error
// for its conventions and mistakes, and the examples' output, byte for byte against
// tests/golden/. Set FWRELAY_UPDATE_GOLDEN=1 to rewrite the golden files after an intended change.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "sim/framework.h"
#include "support/driver_fixture.h"

namespace {

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs fwrelay-sim from the source directory with `args` (shell words), `input` on standard
// input, and standard output to `outPath` (a scratch file unless given).
Outcome RunTool(const std::string& args, const std::string& input = "", std::string outPath = "")
{
    // ctest runs each test as its own process, two at a time: the scratch files are per process.
    const std::string dir = testing::TempDir() + "/cli_process_" + std::to_string(getpid());
    const std::string in = dir + "_in";
    const std::string err = dir + "_err";
    const bool captured = outPath.empty();
    if (captured) {
        outPath = dir + "_out";
    }
    std::ofstream(in, std::ios::binary) << input;
    const std::string command = std::string("cd '") + FWRELAY_SOURCE_DIR + "' && '" + FWRELAY_SIM_PATH + "' " + args +
                                " <'" + in + "' >'" + outPath + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    Outcome outcome;
    outcome.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = captured ? ReadFile(outPath) : "";
    outcome.err = ReadFile(err);
    for (const std::string& scratch : {in, err, captured ? outPath : std::string()}) {
        if (!scratch.empty()) {
            std::remove(scratch.c_str());
        }
    }
    return outcome;
}

std::string ManyEvents(int events, bool device)
{
    std::string yaml = "firmware: {present: true}\nta_service: {present: true}\nsteps:\n";
    if (device) {
        yaml += "  - add_device: 1\n";
    }
    for (int i = 0; i < events; ++i) {
        yaml += "  - {at: " + std::to_string(i + 1) + "s, event: {request: '01 02', response_size: 2}}\n";
    }
    return yaml;
}

struct Case {
    const char* name;
    std::string args;
    std::string input;
    int exit;
    std::string outHas; // "" : nothing asked
    std::string errHas; // "" : standard error must be empty
    std::string outLacks = "";
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << "fwrelay-sim " << c.args;
}

class Conventions : public testing::TestWithParam<Case> {};

TEST_P(Conventions, ExitStatusAndMessages)
{
    const Case& c = GetParam();
    const Outcome o = RunTool(c.args, c.input);
    EXPECT_EQ(o.exit, c.exit) << o.err;
    if (!c.outHas.empty()) {
        EXPECT_NE(o.out.find(c.outHas), std::string::npos) << o.out.substr(0, 2000);
    }
    if (c.errHas.empty()) {
        EXPECT_EQ(o.err, "");
    } else {
        EXPECT_NE(o.err.find(c.errHas), std::string::npos) << o.err;
    }
    if (!c.outLacks.empty()) {
        EXPECT_EQ(o.out.find(c.outLacks), std::string::npos) << o.out.substr(0, 2000);
    }
}

const char* kStdinDecimal = "steps:\n  - add_device: 010\n";

INSTANTIATE_TEST_SUITE_P(
    Program, Conventions,
    testing::Values(
        Case{"Version", "--version", "", 0, " (JSON schema 2)\n", ""}, Case{"Help", "--help", "", 0, "replay", ""},
        Case{"HelpCommand", "help", "", 0, "Exit status", ""},
        Case{"HelpOfReplay", "help replay", "", 0, "--dump-all", ""},
        Case{"ReplayHelp", "replay --help", "", 0, "--dump-all", ""},
        Case{"HelpOfNothing", "help frobnicate", "", 2, "", "fwrelay-sim: error: no command 'frobnicate'"},
        Case{"UnknownOption", "--frobnicate", "", 2, "", "fwrelay-sim: error: unknown option '--frobnicate'"},
        Case{"HelpOfHelp", "help help", "", 0, "command", ""},
        // The option library's complaints come in the program's words.
        Case{"FormatTwice", "-f json -f text", "", 2, "", "fwrelay-sim: error: --format is given more than once\n"},
        Case{"UnknownFormat", "-f xml", "", 2, "", "fwrelay-sim: error: --format: 'xml' is not one of text"},
        Case{"OptionWithoutValue", "--detail", "", 2, "", "fwrelay-sim: error: --detail needs a value\n"},
        Case{"TwoScenarios", "a.yaml b.yaml", "", 2, "", "fwrelay-sim: error: unexpected argument 'b.yaml'"},
        Case{"ReplayWithoutFile", "replay", "", 2, "", "fwrelay-sim: error: replay needs a buffer file"},
        // Arguments that used to be dropped without a word.
        Case{"EmptyScenarioPath", "''", "", 2, "", "fwrelay-sim: error: the scenario path is empty"},
        Case{"EmptyBufferPath", "replay ''", "", 2, "", "fwrelay-sim: error: replay: the buffer file's path is empty"},
        Case{"ScenarioWithReplay", "examples/default.yaml replay examples/echo.hex", "", 2, "",
             "fwrelay-sim: error: a scenario file and 'replay' cannot go together"},
        Case{"NoTargetWithAnAnswer", "replay examples/echo.hex --no-target --ta first:2", "", 2, "",
             "fwrelay-sim: error: --ta answers for the TA service, which --no-target keeps away"},
        Case{"ReplayFailingWithSuccess", "replay examples/echo.hex --ta fail:STATUS_SUCCESS", "", 2, "",
             "STATUS_SUCCESS is a success status"},
        Case{"ReplayHexWithByteOrderMark", "replay -",
             "\xEF\xBB\xBF"
             "01000000 aa 01000000 00 00000000",
             0, "Verdict: forwarded", ""},
        // Listings.
        Case{"ListOperations", "--list-operations", "", 0, "\nWdfIoTargetSendIoctlSynchronously\n", ""},
        Case{"ListStatuses", "--list-statuses", "", 0, "STATUS_UNSUCCESSFUL              0xC0000001  error\n", ""},
        Case{"ListBehaviours", "--list-behaviours", "", 0, "\nignore_cancel  ", ""},
        Case{"ListingWithAnotherOption", "--list-statuses -q", "", 2, "", "stands alone"},
        // Conflicting options are refused, not silently dropped.
        Case{"FormatBeforeReplay", "-f json replay examples/echo.hex", "", 2, "",
             "fwrelay-sim: error: --format belongs to a scenario run"},
        Case{"CheckWithReplay", "--check replay examples/echo.hex", "", 2, "", "fwrelay-sim: error: --check belongs"},
        Case{"ScenarioWithPrintDefault", "examples/default.yaml --print-default", "", 2, "",
             "fwrelay-sim: error: --print-default"},
        Case{"CheckWithFormat", "--check -f json examples/default.yaml", "", 2, "", "fwrelay-sim: error: --check"},
        Case{"DetailWithoutMermaid", "--detail full", "", 2, "", "--detail applies to --format mermaid only"},
        Case{"SummaryOnlyMermaid", "-q -f mermaid", "", 2, "", "fwrelay-sim: error: --summary-only"},
        // Standard input, and inputs that are not scenario files.
        Case{"ScenarioFromStdin", "-", ManyEvents(1, true), 0, "Result: PASS", ""},
        Case{"CheckFromStdin", "--check -", ManyEvents(2, true), 0, "<stdin>: 3 step(s), no problem found", ""},
        Case{"Directory", "examples", "", 2, "", "examples: error: is a directory"},
        Case{"Device", "/dev/zero", "", 2, "", "/dev/zero: error: is a device"},
        Case{"ErrorWithSourceLineAndCaret", "-", kStdinDecimal, 2, "",
             "<stdin>:2:17: error: add_device must be written in decimal without leading zeros (010)\n"
             "  - add_device: 010\n"
             "                ^\n"},
        Case{"Misspelt operation", "-", "faults: [{operation: IoWMIExecuteMetod, nth: 1}]\nsteps: []\n", 2, "",
             "did you mean IoWMIExecuteMethod?"},
        Case{"NotUtf8", "-", "name: \"\xff\"\nsteps: []\n", 2, "", "<stdin>:1:8: error: byte 0xff is not UTF-8"},
        // An honest result.
        Case{"NoDeviceEverAdded", "-", ManyEvents(1, false), 1, "Result: FAIL", ""},
        Case{"SummaryOnly", "-q examples/no-target.yaml", "", 0, "Summary of 'no-target'", "", "[   1.000000s]"},
        Case{"JsonSummaryOnly", "-q -f json examples/no-target.yaml", "", 0, "\"type\":\"summary\"", "",
             "\"type\":\"call\""},
        // Outputs that outgrow a Mermaid renderer say so; the compact one stays small.
        Case{"FullMermaidTooLarge", "-f mermaid --detail full -", ManyEvents(45, true), 0, "sequenceDiagram",
             "fwrelay-sim: warning: the diagram has"},
        Case{"CompactMermaidFits", "-f mermaid -", ManyEvents(45, true), 0, "sequenceDiagram", ""},
        Case{"ReplayFromStdin", "replay -", "01000000 aa 01000000 00 00000000", 0, "Verdict: forwarded", ""},
        Case{"ReplayOfADirectory", "replay examples", "", 2, "", "examples: error: is a directory"},
        // The run-time tools: in the help, and their mistakes refused with the program's words.
        Case{"HelpListsTheTools", "--help", "", 0, "--dump-buffers", ""},
        Case{"HelpOfDiff", "help diff", "", 0, "before", ""},
        Case{"RelayZero", "--relay 0", "", 2, "", "fwrelay-sim: error: --relay takes relay numbers from 1"},
        Case{"RelayBackwards", "--relay 7-4", "", 2, "", "('7-4' is not one)"},
        Case{"UnknownParty", "--party driver,cpu", "", 2, "", "--party: no party 'cpu'"},
        Case{"NotATime", "--from soon", "", 2, "",
             "--from: must be a time such as 2.5, 2.5s, 300ms or 1min ('soon' is not)"},
        Case{"WindowBackwards", "--from 9s --to 4s", "", 2, "", "--to 4s comes before --from 9s"},
        Case{"FilterOnADiagram", "-f mermaid --relay 1", "", 2, "", "--relay applies to text and json"},
        Case{"StatsWithReplay", "--stats replay examples/echo.hex", "", 2, "", "--stats belongs to a scenario run"},
        Case{"DumpToNowhere", "--dump-buffers /nonexistent/dir", "", 2, "", "--dump-buffers: /nonexistent/dir:"},
        Case{"DiffOfYaml", "diff examples/default.yaml examples/default.yaml", "", 2, "",
             "examples/default.yaml:1:1: error: not a JSON line"},
        Case{"DiffOfACutRun", "diff tests/golden/default.jsonl /dev/null", "", 2, "", "no run record"},
        Case{"DiffOfARunWithItself", "diff tests/golden/default.jsonl tests/golden/default.jsonl", "", 0,
             "No difference", ""},
        Case{"UnloadRefusedSaysWhy", "-", "firmware: {present: true}\nsteps:\n  - add_device: 1\n  - unload: true\n", 0,
             "unload refused: control device 0x5f0000000030 still exists", ""},
        // (No device ever came, so the driver never deletes its control device and cannot unload.)
        Case{"ExpectationsInFileOrder", "-q -", "firmware: {present: true}\nsteps: []\nexpect: {events: 0, acks: 0}\n",
             1, "  ok   events: expected 0, got 0\n  ok   acks: expected 0, got 0\n", ""},
        // A label's control characters never reach the terminal raw.
        Case{"ControlCharactersEscaped", "-",
             "steps:\n  - event: {label: \"a\\eb\\nc\", request: '01', response_size: 1}\n", 1, "a\\x1bb\\nc", "",
             "a\x1b"}),
    [](const testing::TestParamInfo<Case>& param) {
        std::string name = param.param.name;
        for (char& c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

TEST(Program, AWriteErrorIsAFailure)
{
    const Outcome o = RunTool("examples/default.yaml", "", "/dev/full");
    EXPECT_EQ(o.exit, 2);
    EXPECT_NE(o.err.find("fwrelay-sim: error: cannot write the output"), std::string::npos) << o.err;
}

// A long run stopped by SIGTERM once its output has begun, and one whose reader goes away: both
// end with the status the help promises.
TEST(Program, AnInterruptedRunAndAClosedPipeEndAsDocumented)
{
    const std::string dir = testing::TempDir() + "/cli_stop_" + std::to_string(getpid());
    std::ofstream(dir + ".yaml") << ManyEvents(20000, true);
    const std::string sim = std::string("'") + FWRELAY_SIM_PATH + "' '" + dir + ".yaml'";
    const std::string interrupted = "{ " + sim + " > '" + dir + ".out' & pid=$!; while [ ! -s '" + dir +
                                    ".out' ]; do sleep 0.05; done; kill -TERM $pid; wait $pid; echo $? > '" + dir +
                                    ".status'; }";
    ASSERT_EQ(std::system(interrupted.c_str()), 0);
    EXPECT_EQ(ReadFile(dir + ".status"), "143\n");
    const std::string out = ReadFile(dir + ".out");
    EXPECT_NE(out.find("\nResult: INTERRUPTED by SIGTERM at "), std::string::npos) << out.substr(out.size() - 500);
    EXPECT_NE(out.find("Expectations: not checked"), std::string::npos);

    const std::string piped = "{ " + sim + " 2> '" + dir + ".err'; echo $? > '" + dir + ".status'; } | true";
    ASSERT_EQ(std::system(piped.c_str()), 0);
    EXPECT_EQ(ReadFile(dir + ".status"), "2\n");
    EXPECT_NE(ReadFile(dir + ".err").find("fwrelay-sim: error: cannot write the output"), std::string::npos);
    for (const char* suffix : {".yaml", ".out", ".status", ".err"}) {
        std::remove((dir + suffix).c_str());
    }
}

// ---- Every example, twice, in every format, against its golden file ----

struct Golden {
    std::string name; // golden file name
    std::string args;
    int exit = 0;
};

void PrintTo(const Golden& g, std::ostream* os)
{
    *os << "fwrelay-sim " << g.args;
}

// With FWRELAY_IMAGE (the "image" label) the same table runs the x64 image: fwrelay-sim gets
// --image, and the output must equal the golden file once WithoutWhatTheImageAdds has taken out
// what an image run has beyond the linked driver's, which is what the image itself brings (the
// framework's entry library linked into it, and the kernel's loader) and nothing else:
//  - their own calls, WdfVersionBind, WdfVersionUnbind and discard INIT: the timeline lines and
//    JSON call records, and every JSON record's sequence number, which counts them (the golden
//    file's numbers too, so the order of the records is still compared, not their numbering);
//  - the entry library's copy of the registry path in pool (its length and terminator): that
//    much more in the pool high-water mark, one block more held when a run stops loaded;
//  - the report on the image: its path and the deepest stack use per entry point ("Image:" and
//    the lines indented under it, in Mermaid as a note; the summary's "image" in JSON).
// The --stats outputs count calls by operation and at the most crowded instant, which those calls
// change in ways the output does not take apart; they, and diff (no driver), stay linked-only.
// Subtracts `delta` from the number that ends each match of `pattern` (group 2; group 1 before
// it), keeping a right-aligned column (`aligned`) in its width.
std::string Subtract(const std::string& line, const std::regex& pattern, long delta, bool aligned)
{
    std::string result;
    std::size_t from = 0;
    for (std::sregex_iterator it(line.begin(), line.end(), pattern), end; it != end; ++it) {
        std::string text = (*it)[1].str() + std::to_string(std::stol((*it)[2].str()) - delta);
        const auto width = static_cast<std::size_t>(it->length());
        const auto column = static_cast<std::size_t>((*it)[1].length());
        while (aligned && text.size() < width) {
            text.insert(column, " ");
        }
        result += line.substr(from, static_cast<std::size_t>(it->position()) - from) + text;
        from = static_cast<std::size_t>(it->position() + it->length());
    }
    return result + line.substr(from);
}

std::string WithoutWhatTheImageAdds(const std::string& output)
{
    static const std::regex ownCall(
        R"((-> [a-z]+ +|->>[A-Za-z]+: )(WdfVersionBind|WdfVersionUnbind|discard INIT)( |$))");
    static const std::regex ownRecord(
        R"re(^\{.*"operation":"(WdfVersionBind|WdfVersionUnbind|discard INIT)".*"type":"call"\}$)re");
    static const std::regex highWater(R"((pool high-water mark \(bytes\) *|"pool_high_water_bytes":)([0-9]+))");
    static const std::regex held(R"((driver loaded, |"pool_left":|"pool_left_at_end":)([0-9]+))");
    const long copyBytes = static_cast<long>(
        (std::char_traits<char16_t>::length(sim::FrameworkModel::kDefaultRegistryPath) + 1) * sizeof(char16_t));
    static const std::regex imageReport(R"(^( *%% )?Image: )");
    std::istringstream in(output);
    std::string normalised;
    std::string reportIndent; // while inside the image report: what its lines start with
    for (std::string line; std::getline(in, line);) {
        if (!reportIndent.empty() && line.starts_with(reportIndent)) {
            continue;
        }
        reportIndent.clear();
        std::smatch report;
        if (std::regex_search(line, report, imageReport)) {
            reportIndent = report[1].str() + "  ";
            continue;
        }
        if (std::regex_search(line, ownCall) || std::regex_search(line, ownRecord)) {
            continue;
        }
        if (const std::size_t at = line.find("\"image\":{"); at != std::string::npos) {
            std::size_t end = at + 9;
            for (int depth = 0; end < line.size() && (depth != 0 || line[end] != '}'); ++end) {
                depth += line[end] == '{' ? 1 : line[end] == '}' ? -1 : 0;
            }
            line.erase(at, end + 2 - at); // the object and the comma after it
        }
        line = Subtract(line, highWater, copyBytes, true);
        if (line.find("driver loaded, ") != std::string::npos || line.find("\"left_loaded\":1") != std::string::npos) {
            line = Subtract(line, held, 1, false);
        }
        normalised += line + "\n";
    }
    return normalised;
}

std::string WithoutSequenceNumbers(const std::string& output)
{
    static const std::regex sequence(R"("sequence":[0-9]+)");
    return std::regex_replace(output, sequence, "\"sequence\":#");
}

class GoldenOutput : public testing::TestWithParam<Golden> {};

TEST_P(GoldenOutput, TwoRunsAreByteIdenticalAndMatchTheGoldenFile)
{
    const Golden& g = GetParam();
    const std::string image = fwtest::ImageUnderTest();
    std::string args = g.args;
    if (!image.empty()) {
        if (args.starts_with("diff ") || args.find("--stats") != std::string::npos) {
            GTEST_SKIP() << "linked driver only";
        }
        const std::size_t at = args.starts_with("replay ") ? 7 : 0;
        args.insert(at, "--image '" + image + "' ");
    }
    const Outcome first = RunTool(args);
    const Outcome second = RunTool(args);
    ASSERT_EQ(first.exit, g.exit) << first.err;
    EXPECT_EQ(first.err, "");
    ASSERT_EQ(first.out, second.out) << "two runs of '" << args << "' differ";
    const std::string path = std::string(FWRELAY_SOURCE_DIR) + "/tests/golden/" + g.name;
    const char* update = std::getenv("FWRELAY_UPDATE_GOLDEN");
    if (update != nullptr && std::string(update) == "1" && image.empty()) {
        std::ofstream(path, std::ios::binary) << first.out;
        return;
    }
    std::string golden = ReadFile(path);
    ASSERT_FALSE(golden.empty()) << path << " is missing; FWRELAY_UPDATE_GOLDEN=1 writes it";
    const std::string now = image.empty() ? first.out : WithoutSequenceNumbers(WithoutWhatTheImageAdds(first.out));
    if (!image.empty()) {
        golden = WithoutSequenceNumbers(golden);
    }
    if (golden != now) {
        // The first differing line says more than two whole files.
        std::istringstream a(golden);
        std::istringstream b(now);
        std::string lineA;
        std::string lineB;
        int line = 0;
        while (true) {
            ++line;
            const bool moreA = static_cast<bool>(std::getline(a, lineA));
            const bool moreB = static_cast<bool>(std::getline(b, lineB));
            if (!moreA || !moreB || lineA != lineB) {
                FAIL() << path << ":" << line << " differs (FWRELAY_UPDATE_GOLDEN=1 rewrites it on purpose)\n"
                       << "  golden: " << (moreA ? lineA : "<end>") << "\n  now:    " << (moreB ? lineB : "<end>");
            }
        }
    }
}

std::vector<Golden> GoldenCases()
{
    std::vector<Golden> cases;
    for (const char* example : {"default", "device-churn", "fault-injection", "firmware-late", "large-requests",
                                "malformed-buffers", "no-target", "ta-failures"}) {
        const std::string file = std::string("examples/") + example + ".yaml";
        cases.push_back({std::string(example) + ".txt", file});
        cases.push_back({std::string(example) + ".jsonl", file + " -f json"});
        cases.push_back({std::string(example) + ".mmd", file + " -f mermaid"});
    }
    cases.push_back({"default-full.mmd", "examples/default.yaml -f mermaid --detail full"});
    cases.push_back({"replay-echo.txt", "replay examples/echo.hex --ta first:5"});
    cases.push_back({"replay-echo.jsonl", "replay examples/echo.hex --ta first:5 -f json"});
    cases.push_back({"default-stats.txt", "examples/default.yaml -q --stats"});
    cases.push_back({"default-stats.jsonl", "examples/default.yaml -q --stats -f json"});
    cases.push_back({"default-relay2-driver.txt", "examples/default.yaml --relay 2 --party driver,firmware"});
    cases.push_back({"default-window.jsonl", "examples/default.yaml -f json --from 6s --to 7s --thread wmi"});
    cases.push_back({"replay-echo.yaml", "replay examples/echo.hex --ta first:5 --emit-scenario"});
    cases.push_back(
        {"diff-default-ta-failures.txt", "diff tests/golden/default.jsonl tests/golden/ta-failures.jsonl", 1});
    // A deadlock reports the timeline, the blocked calls and the summary, and exits with 3.
    for (const char* format : {"txt", "jsonl", "mmd"}) {
        const std::string flag =
            std::string(format) == "txt" ? "" : std::string(" -f ") + (format[0] == 'j' ? "json" : "mermaid");
        cases.push_back({std::string("ta-ignores-cancel.") + format, "examples/ta-ignores-cancel.yaml" + flag, 3});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Examples, GoldenOutput, testing::ValuesIn(GoldenCases()),
                         [](const testing::TestParamInfo<Golden>& param) {
                             std::string name = param.param.name;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// ---- The README's promises ----

TEST(Readme, FirstCommandBuildsOnlyTheProgramAndTheCommandsSayHowLongTheyTake)
{
    const std::string readme = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/README.md");
    const std::size_t block = readme.find("```sh\n");
    ASSERT_NE(block, std::string::npos);
    const std::size_t lineEnd = readme.find('\n', block + 6);
    const std::string first = readme.substr(block + 6, lineEnd - block - 6);
    // Building every test first kept a newcomer waiting many minutes for the first timeline.
    EXPECT_NE(first.find("cmake --build --preset default --target fwrelay-sim &&"), std::string::npos) << first;
    EXPECT_NE(first.find("./build/default/fwrelay-sim"), std::string::npos) << first;
    const std::string prose = readme.substr(lineEnd, readme.find("## ", lineEnd) - lineEnd);
    EXPECT_NE(prose.find("minutes on an idle 2-core machine"), std::string::npos) << "the first command's duration";
    EXPECT_NE(prose.find("minutes on an idle 2-core machine and up to an hour"), std::string::npos)
        << "test-all's duration";
}

TEST(Readme, TestAllLeavesTheDeveloperBuildsSettingsAlone)
{
    // Configuring build/default with extra options (benchmarks, fuzzers) changed the developer's
    // own build behind their back; anything extra gets a build folder of its own.
    std::string text = ReadFile(std::string(FWRELAY_SOURCE_DIR) + "/scripts/test-all");
    ASSERT_FALSE(text.empty()) << "scripts/test-all is missing";
    // A command continued on the next line is one command.
    for (std::size_t at = text.find("\\\n"); at != std::string::npos; at = text.find("\\\n", at)) {
        text.replace(at, 2, " ");
    }
    std::istringstream script(text);
    std::size_t presetConfigures = 0;
    for (std::string line; std::getline(script, line);) {
        if (line.find("cmake --preset") != std::string::npos) {
            ++presetConfigures;
            EXPECT_EQ(line.find(" -D"), std::string::npos) << line;
        }
        EXPECT_EQ(line.find("-B build/default"), std::string::npos) << line;
    }
    EXPECT_GE(presetConfigures, 1U) << "test-all no longer configures the presets";
}

} // namespace
