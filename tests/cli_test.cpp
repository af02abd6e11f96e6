// fwrelay-sim's library: the scenario parser's diagnostics, the runner's account of each relay,
// and the output formats.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <map>
#include <algorithm>
#include <sstream>

#include "tools/default_scenario.h"
#include "tools/output.h"
#include "tools/replay.h"
#include "tools/runner.h"
#include "tools/stats.h"
#include "relay/relay.h"
#include "tools/scenario.h"
#include "tools/text.h"
#include "sim/faults.h"

namespace {

using fwtool::Bytes;
using fwtool::Relay;
using fwtool::Scenario;
using fwtool::StepKind;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---- Parser diagnostics ----

struct BadScenario {
    const char* name;
    const char* yaml;
    int line;
    int column;
    const char* message; // a part of the message
};

class ScenarioErrors : public testing::TestWithParam<BadScenario> {};

TEST_P(ScenarioErrors, ReportLineColumnAndCause)
{
    const BadScenario& bad = GetParam();
    try {
        fwtool::ParseScenario(bad.yaml, "s.yaml");
        FAIL() << "parsed without complaint";
    }
    catch (const fwtool::ScenarioError& e) {
        EXPECT_EQ(e.file, "s.yaml");
        EXPECT_EQ(e.line, bad.line) << e.what();
        EXPECT_EQ(e.column, bad.column) << e.what();
        EXPECT_NE(e.message.find(bad.message), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).rfind(
                      "s.yaml:" + std::to_string(bad.line) + ":" + std::to_string(bad.column) + ": error: ", 0),
                  0U)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parser, ScenarioErrors,
    testing::Values(
        BadScenario{"BadYaml", "steps: [\n  - load: true\n", 2, 3,
                    "not valid YAML: a list item ('- ') cannot stand here"},
        BadScenario{"BadYamlIndent", "steps:\n  - load: true\n   unload: true\n", 3, 4,
                    "not valid YAML: a list cannot go on here"},
        BadScenario{"UnknownTopKey", "stpes: []\n", 1, 1, "unknown key 'stpes'"},
        BadScenario{"UnknownStepKey", "steps:\n  - at: 1s\n    evnt: {}\n", 3, 5, "unknown key 'evnt' in step"},
        BadScenario{"UnknownEventKey", "steps:\n  - event: {request: '01', colour: red}\n", 2, 28,
                    "unknown key 'colour' in event"},
        BadScenario{"WrongTypeBool", "firmware:\n  present: maybe\nsteps: []\n", 2, 12, "true or false"},
        BadScenario{"WrongTypeCount", "steps:\n  - add_device: two\n", 2, 17, "whole number"},
        BadScenario{"WrongTypeSteps", "steps: {load: true}\n", 1, 8, "steps must be a list"},
        BadScenario{"BadHexDigit", "steps:\n  - event: {request: \"01 0g\", response_size: 2}\n", 2, 27,
                    "'g' is not a hex digit"},
        BadScenario{"OddHexPlain", "steps:\n  - event:\n      request: 01 2\n", 3, 19, "odd number"},
        BadScenario{"BadHexInBlock", "steps:\n  - event:\n      raw: |\n        00 11\n        22 x3\n", 5, 12,
                    "'x' is not a hex digit"},
        BadScenario{"NegativeTime", "steps:\n  - at: -2s\n    load: true\n", 2, 9, "must not be negative"},
        BadScenario{"NegativeCount", "steps:\n  - ta_release: -1\n", 2, 17, "must not be negative"},
        BadScenario{"TimeWithoutNumber", "steps:\n  - at: soon\n    load: true\n", 2, 9, "must be a time"},
        BadScenario{"OutOfOrder", "steps:\n  - at: 2s\n    load: true\n  - at: 1s\n    unload: true\n", 4, 9,
                    "time order"},
        BadScenario{"TwoActions", "steps:\n  - ta_arrive: true\n    ta_depart: true\n", 3, 5, "one action per step"},
        BadScenario{"NoAction", "steps:\n  - at: 1s\n", 2, 5, "needs an action"},
        BadScenario{"BadStatus", "firmware:\n  register_status: STATUS_NOPE\nsteps: []\n", 2, 20, "status name"},
        BadScenario{"BadTaBehaviour", "ta_service:\n  behaviour: first:x\nsteps: []\n", 2, 14,
                    "first: the count must be a whole number"},
        BadScenario{"FaultWithoutMode", "faults:\n  - {operation: ExAllocatePool2}\nsteps: []\n", 2, 5,
                    "exactly one of nth, from, always"},
        BadScenario{"FaultCountedFromOne", "faults:\n  - {operation: ExAllocatePool2, nth: 0}\nsteps: []\n", 2, 39,
                    "from 1"},
        // Mistakes that used to change what was tested without a word.
        BadScenario{"MisspeltFaultOperation", "faults:\n  - {operation: ExAlocatePool2, nth: 1}\nsteps: []\n", 2, 17,
                    "did you mean ExAllocatePool2?"},
        BadScenario{"UnknownFaultOperation", "steps:\n  - fault: {operation: Frobnicate, always: true}\n", 2, 24,
                    "operations that can fail: ExAllocatePool2"},
        BadScenario{"EmptyFaultOperation", "faults:\n  - {operation: '', nth: 1}\nsteps: []\n", 2, 17,
                    "fault operation is empty"},
        BadScenario{"FaultWithSuccessStatus",
                    "faults:\n  - {operation: ExAllocatePool2, nth: 1, status: STATUS_SUCCESS}\nsteps: []\n", 2, 50,
                    "STATUS_SUCCESS is a success status"},
        BadScenario{"DuplicateTopKey", "name: a\nname: b\nsteps: []\n", 2, 1,
                    "duplicate key 'name' (first given at line 1)"},
        BadScenario{"DuplicateStepKey", "steps:\n  - at: 1s\n    at: 2s\n    load: true\n", 3, 5, "duplicate key 'at'"},
        BadScenario{"SecondDocument", "steps: []\n---\nsteps: [{load: true}]\n", 2, 1, "second YAML document"},
        // The parser's document loop never ends on this one; the program must not follow it.
        BadScenario{"LoneComma", ",", 1, 1, "the scenario is empty"},
        BadScenario{"ContentAfterDocumentEnd", "steps: []\n...\nsteps: []\n", 3, 1, "second YAML document"},
        BadScenario{"OctalCount", "steps:\n  - add_device: 010\n", 2, 17, "decimal"},
        BadScenario{"HexCount", "steps:\n  - add_device: 0x10\n", 2, 17, "decimal"},
        BadScenario{"HugeDeviceCount", "steps:\n  - add_device: 4294967295\n", 2, 17, "at most 64"},
        BadScenario{"HugeResponseArea", "steps:\n  - event: {request: '01', response_size: 16777217}\n", 2, 43,
                    "at most 16777216"},
        BadScenario{"HugeSizeQuery", "firmware:\n  size_query: {succeed: 4294967295}\nsteps: []\n", 2, 25,
                    "at most 16777216"},
        BadScenario{"LabelNotUtf8", "steps:\n  - event: {label: \"caf\xe9\", no_buffer: true}\n", 2, 24, "not UTF-8"},
        BadScenario{"OverlongUtf8", "name: \"\xc0\xaf\"\nsteps: []\n", 1, 8, "not UTF-8"},
        BadScenario{"DeepNesting", "steps: [[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]\n", 1, 24,
                    "nested more than 16"},
        BadScenario{"BufferFileIsADirectory", "steps:\n  - event: {file: .}\n", 2, 19,
                    "buffer file '.': is a directory"},
        BadScenario{"EventTwoSources", "steps:\n  - event: {raw: '00', request: '01'}\n", 2, 12, "exactly one of"},
        BadScenario{"UnknownExpectation", "steps: []\nexpect: {relays: 1}\n", 2, 10, "unknown key 'relays'"},
        BadScenario{"MissingBufferFile", "steps:\n  - event: {file: no-such-file.bin}\n", 2, 19,
                    "buffer file 'no-such-file.bin': cannot open: no such file"},
        BadScenario{"Empty", "", 1, 1, "empty"},
        // One number syntax, YAML's two booleans, failures that fail, steps that refer to what is there.
        BadScenario{"BooleanYes", "firmware:\n  present: yes\nsteps: []\n", 2, 12, "true or false ('yes' is not)"},
        BadScenario{"BooleanCapitalised", "firmware: {present: True}\nsteps: []\n", 1, 21, "true or false"},
        BadScenario{"TimeInHex", "steps:\n  - at: 0x10\n    load: true\n", 2, 9, "at must be written in decimal"},
        BadScenario{"TimeWithExponent", "steps:\n  - at: 1e3\n    load: true\n", 2, 9, "must be a time"},
        BadScenario{"TimeWithSign", "steps:\n  - at: +2s\n    load: true\n", 2, 9, "without a sign (2, not +2)"},
        BadScenario{"CountWithSign", "steps:\n  - add_device: +5\n", 2, 17, "without a sign (5, not +5)"},
        BadScenario{"StatusInDecimal", "firmware: {register_status: 3221225473}\nsteps: []\n", 1, 29, "status name"},
        BadScenario{"TaFailWithSuccess", "ta_service: {behaviour: {fail: STATUS_SUCCESS}}\nsteps: []\n", 1, 32,
                    "STATUS_SUCCESS is a success status"},
        BadScenario{"TaFailTextWithPending", "steps:\n  - ta_behaviour: fail:STATUS_PENDING\n", 2, 19,
                    "STATUS_PENDING is a success status"},
        BadScenario{"RegisterStatusSuccess", "firmware: {register_status: 0x0}\nsteps: []\n", 1, 29, "success status"},
        BadScenario{"RemoveMoreDevicesThanAdded", "steps:\n  - add_device: 1\n  - remove_device: 5\n", 3, 20,
                    "5 device(s), but only 1 present"},
        BadScenario{"RemoveWithoutDevice", "steps:\n  - remove_device: all\n", 2, 20, "no device is present"},
        BadScenario{"SecondTaArrive", "ta_service: {present: true}\nsteps:\n  - ta_arrive: true\n", 3, 16,
                    "present already (ta_service present: true)"},
        BadScenario{"TaDepartWithoutService", "steps:\n  - ta_depart: true\n", 2, 16, "not present"},
        BadScenario{"EmptyBufferFilePath", "steps:\n  - event: {file: ''}\n", 2, 19, "file: the path is empty"},
        BadScenario{"UnclosedFlowMapping", "steps: [{load: true\n", 2, 1,
                    "not valid YAML: a '{' mapping is not closed"},
        BadScenario{"NonAsciiHexDigit", "steps:\n  - event: {request: \"01 \xc3\xa9\"}\n", 2, 26,
                    "request: '\xc3\xa9' is not a hex digit"},
        BadScenario{"StrayColon", "name: a: b\nsteps: []\n", 1, 8, "not valid YAML: a ':' cannot stand here"}),
    [](const testing::TestParamInfo<BadScenario>& param) { return std::string(param.param.name); });

TEST(Parser, ErrorsShowTheSourceLineWithACaret)
{
    try {
        fwtool::ParseScenario("steps:\n  - add_device: two\n", "s.yaml");
        FAIL() << "parsed without complaint";
    }
    catch (const fwtool::ScenarioError& e) {
        EXPECT_EQ(fwtool::DescribeError(e),
                  "s.yaml:2:17: error: add_device must be a whole number such as 3 ('two' is not)\n"
                  "  - add_device: two\n"
                  "                ^");
    }
}

// The source line under an error: escaped, cut around the error, the caret placed by cells.
TEST(Parser, EchoedLinesAreEscapedCutAndMeasuredInCells)
{
    struct Echo {
        const char* name;
        std::string source;
        int column; // of the error's byte, from 1
        std::string line;
        std::string caret;
    };
    const std::string longLine = std::string(5000, 'a') + "Z" + std::string(5000, 'b');
    const Echo cases[] = {
        {"WideCharacters",
         "ab\xe6\x97\xa5\xe6\x9c\xac"
         "x",
         9,
         "ab\xe6\x97\xa5\xe6\x9c\xac"
         "x",
         "      ^"},
        {"EscapeSequence", "a\x1b[31mb", 7, "a\\x1b[31mb", std::string(9, ' ') + "^"},
        {"BinaryBytes", "\xff\xfeZ", 3, "\\xff\\xfeZ", std::string(8, ' ') + "^"},
        {"BidiOverride",
         "a\xe2\x80\xae"
         "b",
         5, "a\\u{202E}b", std::string(9, ' ') + "^"},
        {"Tab", "\tx", 2, "\tx", "\t^"},
        {"PastTheEnd", "ab", 3, "ab", "  ^"},
        {"LongLine", longLine, 5001, "..." + std::string(30, 'a') + "Z" + std::string(63, 'b') + "...",
         std::string(33, ' ') + "^"},
    };
    for (const Echo& c : cases) {
        fwtool::LocatedError error("f.yaml", 1, c.column, "m");
        error.source = c.source;
        EXPECT_EQ(fwtool::DescribeError(error),
                  "f.yaml:1:" + std::to_string(c.column) + ": error: m\n" + c.line + "\n" + c.caret)
            << c.name;
    }
    // Values quoted in messages are escaped and cut too.
    EXPECT_EQ(fwtool::Quoted(std::string(100, 'k') + "\n"), "'" + std::string(40, 'k') + "...'");
    EXPECT_EQ(fwtool::Quoted("a\rb"), "'a\\x0db'");
}

TEST(Parser, BinaryAndAbsurdlyNestedInputGetAClearLocatedError)
{
    struct Case {
        const char* name;
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"NulByte", std::string("steps: []\n\0\x01\x02", 13), "NUL byte"},
        {"NestedPastTheLibrarysLimit", std::string(5000, '[') + std::string(5000, ']'), "nested too deeply"},
        {"NestedMappings",
         [] {
             std::string text = "steps: [";
             for (int i = 0; i < 30; ++i) {
                 text += "{a: ";
             }
             return text + "1" + std::string(30, '}') + "]";
         }(),
         "nested more than"},
    };
    for (const Case& c : cases) {
        try {
            fwtool::ParseScenario(c.text, "s.yaml");
            ADD_FAILURE() << c.name << ": parsed without complaint";
        }
        catch (const fwtool::ScenarioError& e) {
            EXPECT_NE(e.message.find(c.message), std::string::npos) << c.name << ": " << e.what();
            EXPECT_GE(e.line, 1) << c.name;
        }
    }
}

TEST(Parser, FaultOperationsAreThoseThePlatformCanFail)
{
    for (std::string_view name : sim::FailableOperations()) {
        EXPECT_FALSE(fwtool::CheckFaultOperation(std::string(name))) << name;
    }
    EXPECT_NE(fwtool::CheckFaultOperation("wdfiotargetopen")->find("did you mean WdfIoTargetOpen?"), std::string::npos);
    EXPECT_NE(fwtool::CheckFaultOperation("KeBugCheckEx")->find("operations that can fail"), std::string::npos);
    // Every operation a run asks the fault injector about is one a scenario may name.
    for (const char* example : {"default", "fault-injection", "device-churn", "firmware-late"}) {
        const fwtool::RunResult r = fwtool::RunScenario(
            fwtool::LoadScenarioFile(std::string(FWRELAY_SOURCE_DIR) + "/examples/" + example + ".yaml"));
        EXPECT_FALSE(r.checkedOperations.empty()) << example;
        for (const std::string& name : r.checkedOperations) {
            EXPECT_FALSE(fwtool::CheckFaultOperation(name)) << example << ": " << name << " is not listed";
        }
    }
}

TEST(Parser, InputFilesMustBeRegularFilesOfBoundedSize)
{
    struct Case {
        const char* path;
        const char* message;
    };
    for (const Case& c : {Case{"/", "is a directory"}, Case{"/dev/zero", "is a device"},
                          Case{"/no/such/scenario.yaml", "no such file"}}) {
        try {
            fwtool::LoadScenarioFile(c.path);
            ADD_FAILURE() << c.path << " accepted";
        }
        catch (const fwtool::LocatedError& e) {
            EXPECT_NE(e.message.find(c.message), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()), std::string(c.path) + ": error: " + e.message);
        }
        EXPECT_THROW(fwtool::LoadBufferFile(c.path, false), fwtool::LocatedError) << c.path;
    }
    std::istringstream endless(std::string(1U << 20, '#'));
    EXPECT_THROW(fwtool::ReadInputText(endless, "<stdin>", 1000, "a scenario"), fwtool::LocatedError);
}

TEST(Parser, ValidScenarioParsesToItsSteps)
{
    const Scenario s = fwtool::ParseScenario(R"(
name: sample
firmware:
  appear_at: 1.5s
  register_failures: 2
  register_status: 0xC00000A3
  size_query: {fail: STATUS_BUFFER_TOO_SMALL, size: 30000}
ta_service: {present: true, behaviour: "fixed:0102"}
faults:
  - {operation: ExAllocatePool2, from: 4}
steps:
  - at: 250ms
    add_device: 2
  - event:
      request: "aa bb"
      response_size: 3
      trailer: "01020304"
      pad_to: 20
      ta: {fail: STATUS_DEVICE_NOT_READY}
  - at: 2
    event: {raw: "0x01000000 ff", ta: block}
  - at: 3s
    remove_device: all
  - at: 1min
    ta_release: all
expect: {relayed: 1, acks: 2}
)",
                                             "sample.yaml");
    EXPECT_EQ(s.name, "sample");
    EXPECT_EQ(s.firmware.appearAt, 15'000'000);
    EXPECT_EQ(s.firmware.registerFailures, 2U);
    EXPECT_EQ(s.firmware.registerStatus, STATUS_DEVICE_NOT_READY);
    ASSERT_TRUE(s.firmware.sizeQuery);
    EXPECT_EQ(s.firmware.sizeQuery->kind, sim::SizeQuery::Kind::Fail);
    EXPECT_EQ(s.firmware.sizeQuery->reportedSize, 30000U);
    EXPECT_TRUE(s.taPresent);
    EXPECT_EQ(s.taBehaviour.kind, sim::TaBehaviour::Kind::Fixed);
    EXPECT_EQ(s.taBehaviour.bytes, (Bytes{1, 2}));
    ASSERT_EQ(s.faults.size(), 1U);
    EXPECT_EQ(s.faults[0].mode, fwtool::FaultSpec::Mode::From);
    EXPECT_EQ(s.faults[0].n, 4U);

    ASSERT_EQ(s.steps.size(), 5U);
    EXPECT_EQ(s.steps[0].kind, StepKind::AddDevice);
    EXPECT_EQ(s.steps[0].at, 250 * sim::kTicksPerMillisecond);
    EXPECT_EQ(s.steps[0].count, 2U);
    // A step without 'at' happens when the one before it does.
    EXPECT_EQ(s.steps[1].kind, StepKind::Event);
    EXPECT_EQ(s.steps[1].at, 250 * sim::kTicksPerMillisecond);
    const Bytes built = {2, 0, 0, 0, 0xaa, 0xbb, 3, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0};
    EXPECT_EQ(s.steps[1].event.buffer, built);
    ASSERT_TRUE(s.steps[1].event.ta);
    EXPECT_EQ(s.steps[1].event.ta->kind, sim::TaBehaviour::Kind::Fail);
    EXPECT_EQ(s.steps[1].event.ta->status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(s.steps[2].at, 2 * sim::kTicksPerSecond);
    EXPECT_EQ(s.steps[2].event.buffer, (Bytes{1, 0, 0, 0, 0xff}));
    EXPECT_EQ(s.steps[2].event.ta->kind, sim::TaBehaviour::Kind::Block);
    EXPECT_EQ(s.steps[3].kind, StepKind::RemoveDevice);
    EXPECT_EQ(s.steps[3].count, 0U); // all
    EXPECT_EQ(s.steps[4].at, 60 * sim::kTicksPerSecond);
    EXPECT_EQ(s.expect.at("relayed"), 1U);
    EXPECT_EQ(s.expect.at("acks"), 2U);
}

TEST(Parser, TaBehaviourTexts)
{
    std::string error;
    EXPECT_EQ(fwtool::ParseTaBehaviour("echo", &error)->kind, sim::TaBehaviour::Kind::Echo);
    EXPECT_EQ(fwtool::ParseTaBehaviour("first:7", &error)->count, 7U);
    EXPECT_EQ(fwtool::ParseTaBehaviour("fail:0xC0000001", &error)->status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fwtool::ParseTaBehaviour("fixed:c0 ff ee", &error)->bytes, (Bytes{0xc0, 0xff, 0xee}));
    for (const char* bad : {"", "echo:1", "first:", "first:-1", "fail:STATUS_NOPE", "fixed:abc", "later"}) {
        EXPECT_FALSE(fwtool::ParseTaBehaviour(bad, &error)) << bad;
    }
}

TEST(Parser, BufferFilesAreHexOrBinaryAndPointAtTheirOwnErrors)
{
    const std::string dir = testing::TempDir();
    const std::string hexPath = dir + "/cli_test_buffer.hex";
    std::ofstream(hexPath) << "# comment with words\n0a000000 # RequestLength\n11 2Z\n";
    try {
        fwtool::LoadBufferFile(hexPath, false);
        FAIL() << "bad hex accepted";
    }
    catch (const fwtool::LocatedError& e) {
        EXPECT_EQ(e.line, 3);
        EXPECT_EQ(e.column, 5);
    }
    const std::string binPath = dir + "/cli_test_buffer.bin";
    std::ofstream(binPath, std::ios::binary) << std::string("\x01\x00\x00\x00\xff\xfe", 6);
    EXPECT_EQ(fwtool::LoadBufferFile(binPath, false), (Bytes{1, 0, 0, 0, 0xff, 0xfe}));
    std::ofstream(hexPath) << "0x01, 0x02:03-04\n";
    EXPECT_EQ(fwtool::LoadBufferFile(hexPath, false), (Bytes{1, 2, 3, 4}));
    // Text is hex whatever an editor adds: a byte-order mark, a comment that is not ASCII.
    std::ofstream(hexPath) << "\xEF\xBB\xBF# caf\xC3\xA9\n01 02\n";
    EXPECT_EQ(fwtool::LoadBufferFile(hexPath, false), (Bytes{1, 2}));
    // A scenario's buffer file that cannot be read says why, and where the path led.
    const std::string loop = dir + "/cli_test_loop.bin";
    std::remove(loop.c_str());
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    try {
        fwtool::ParseScenario("steps:\n  - event: {file: cli_test_loop.bin}\n", dir + "/s.yaml");
        FAIL() << "a symbolic link loop accepted";
    }
    catch (const fwtool::LocatedError& e) {
        EXPECT_EQ(e.message.rfind("buffer file 'cli_test_loop.bin' (resolved to /", 0), 0U) << e.message;
        EXPECT_NE(e.message.find("/cli_test_loop.bin): cannot open: a loop of symbolic links"), std::string::npos)
            << e.message;
    }
    std::remove(loop.c_str());
}

TEST(Parser, BuiltInScenarioIsTheShippedExample)
{
    EXPECT_EQ(fwtool::DefaultScenarioText(), ReadFile(FWRELAY_SOURCE_DIR "/examples/default.yaml"));
}

// ---- Runner ----

class DefaultRun : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        result_ = new fwtool::RunResult(
            fwtool::RunScenario(fwtool::ParseScenario(fwtool::DefaultScenarioText(), fwtool::kDefaultScenarioFile)));
    }
    static void TearDownTestSuite()
    {
        delete result_;
        result_ = nullptr;
    }
    static const fwtool::RunResult& Result() { return *result_; }

private:
    static fwtool::RunResult* result_;
};

fwtool::RunResult* DefaultRun::result_ = nullptr;

TEST_F(DefaultRun, YieldsTheDocumentedCounts)
{
    const fwtool::RunResult& r = Result();
    EXPECT_EQ(r.events.size(), 5U);
    EXPECT_EQ(r.relays.size(), 5U);
    EXPECT_EQ(r.Count(Relay::Outcome::Forwarded), 3U);
    EXPECT_EQ(r.Count(Relay::Outcome::NoTarget), 1U);
    EXPECT_EQ(r.Count(Relay::Outcome::Dropped), 1U);
    EXPECT_EQ(r.HandedBack(), 4U);
    EXPECT_EQ(r.Unchanged(), 1U);
    EXPECT_EQ(r.acks, 5U);
    EXPECT_EQ(r.taRequests, 3U);
    EXPECT_GE(r.poolHighWater, 16408U);
    EXPECT_EQ(r.poolLeftAtEnd, 0U);
    EXPECT_TRUE(r.verifier.empty());
    EXPECT_TRUE(r.ExpectationsMet());
    EXPECT_EQ(r.ExitCode(), 0);
}

TEST_F(DefaultRun, ExplainsEachRelayAndLinksItToItsBuffer)
{
    const auto& relays = Result().relays;
    ASSERT_EQ(relays.size(), 5U);
    EXPECT_EQ(relays[0].reason, "no service target held");
    EXPECT_EQ(relays[0].time, 4 * sim::kTicksPerSecond); // the retry worker opened the channel by then
    EXPECT_NE(relays[2].reason.find("RequestLength 65535"), std::string::npos) << relays[2].reason;
    EXPECT_FALSE(relays[2].handedBack);
    ASSERT_TRUE(relays[1].ta);
    EXPECT_EQ(relays[1].ta->request, (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    // The per-event answer reached the buffer it was written for.
    ASSERT_TRUE(relays[3].ta && relays[3].ta->behaviour);
    EXPECT_EQ(relays[3].ta->behaviour->kind, sim::TaBehaviour::Kind::Fixed);
    for (std::size_t i = 0; i < relays.size(); ++i) {
        EXPECT_EQ(relays[i].event, i);
        EXPECT_TRUE(relays[i].acknowledged);
    }
}

TEST_F(DefaultRun, JsonLinesParseAndEndWithTheSummary)
{
    std::ostringstream out;
    fwtool::WriteJsonLines(out, Result());
    std::istringstream lines(out.str());
    std::size_t calls = 0;
    nlohmann::json last;
    for (std::string line; std::getline(lines, line);) {
        last = nlohmann::json::parse(line);
        calls += last["type"] == "call" ? 1U : 0U;
    }
    EXPECT_EQ(calls, Result().trace.size());
    EXPECT_EQ(last["type"], "summary");
    EXPECT_EQ(last["counts"]["relayed"], 3);
    EXPECT_EQ(last["counts"]["dropped"], 1);
    EXPECT_EQ(last["passed"], true);
}

TEST_F(DefaultRun, MermaidIsASequenceDiagramWithTheThreeParties)
{
    std::ostringstream out;
    fwtool::WriteMermaid(out, Result(), fwtool::Detail::Full);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("sequenceDiagram\n", 0), 0U);
    for (const char* participant : {"participant Firmware", "participant Driver", "participant TA as TA service"}) {
        EXPECT_NE(text.find(participant), std::string::npos) << participant;
    }
    EXPECT_NE(text.find("Driver->>Firmware: IoWMIExecuteMethod METHOD_GET_REQUEST"), std::string::npos);
    // A bare '#' or ';' would break the diagram's syntax; the symbolic links are full of '#'.
    EXPECT_NE(text.find("ROOT#35;TASERVICE"), std::string::npos);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        for (const char* entity : {"#35;", "#59;"}) {
            for (std::size_t at; (at = line.find(entity)) != std::string::npos;) {
                line.erase(at, 4);
            }
        }
        if (line.find("->>") != std::string::npos) {
            EXPECT_EQ(line.find_first_of("#;"), std::string::npos) << line;
        }
    }
}

TEST_F(DefaultRun, TimelineShowsVirtualTimeAndTheSummary)
{
    std::ostringstream out;
    fwtool::WriteReport(out, Result(), fwtool::Format::Text);
    const std::string text = out.str();
    EXPECT_NE(text.find("[   3.000000s] system thread 1 driver    -> firmware  IoWMIExecuteMethod METHOD_REGISTER"),
              std::string::npos);
    EXPECT_NE(text.find("Verifier: clean"), std::string::npos);
    EXPECT_NE(text.find("Result: PASS"), std::string::npos);
}

struct ReplayCase {
    const char* name;
    std::string hex;
    const char* verdict; // part of the reason; "" when forwarded
};

class Replay : public testing::TestWithParam<ReplayCase> {};

TEST_P(Replay, NamesTheCheckThatFailed)
{
    fwtool::TextProblem problem;
    const Bytes buffer = *fwtool::ParseHex(GetParam().hex, &problem);
    const fwtool::RunResult r = fwtool::RunScenario(fwtool::ReplayScenario(buffer, sim::TaBehaviour::Echo(), false));
    ASSERT_EQ(r.relays.size(), 1U);
    const Relay& relay = r.relays[0];
    EXPECT_TRUE(r.verifier.empty());
    EXPECT_TRUE(relay.acknowledged);
    if (std::string(GetParam().verdict).empty()) {
        EXPECT_EQ(relay.outcome, Relay::Outcome::Forwarded) << relay.reason;
        EXPECT_TRUE(relay.handedBack);
    } else {
        EXPECT_EQ(relay.outcome, Relay::Outcome::Dropped);
        EXPECT_NE(relay.reason.find(GetParam().verdict), std::string::npos) << relay.reason;
        EXPECT_FALSE(relay.ta);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runner, Replay,
    testing::Values(ReplayCase{"ThreeBytes", "0a 00 00", "too short to hold RequestLength"},
                    ReplayCase{"RequestLengthNearWrap", "ffffffff 00000000", "puts ResponseLength outside"},
                    ReplayCase{"OneByteShort",
                               "0a000000 00010203040506070809 14000000 " + std::string(40, '0') + " 000000",
                               "42 exceeds DataLength 41"},
                    ReplayCase{"ExactlyLongEnough",
                               "0a000000 00010203040506070809 14000000 " + std::string(40, '0') + " 00000000", ""}),
    [](const testing::TestParamInfo<ReplayCase>& param) { return std::string(param.param.name); });

TEST(Runner, ReplayShowsTheRecordAndMarksChangedBytes)
{
    const Bytes buffer = sim::FirmwareModel::BuildExchangeBuffer({0x11, 0x22}, Bytes(4, 0), {9, 9, 9, 9});
    const fwtool::RunResult r =
        fwtool::RunScenario(fwtool::ReplayScenario(buffer, sim::TaBehaviour::WriteFirst(1), false));
    std::ostringstream out;
    fwtool::WriteReplayReport(out, r);
    const std::string text = out.str();
    EXPECT_NE(text.find("Verdict: forwarded"), std::string::npos) << text;
    EXPECT_NE(text.find("RequestLength    0x0000000000000002"), std::string::npos) << text;
    EXPECT_NE(text.find("ResponseLength   0x0000000000000004"), std::string::npos) << text;
    // Only the first response byte changed: offset 10 in the buffer.
    EXPECT_NE(text.find("[" + std::string(1, "0123456789abcdef"[sim::TaServiceModel::ResponsePattern(0) >> 4]) +
                        std::string(1, "0123456789abcdef"[sim::TaServiceModel::ResponsePattern(0) & 15]) + "]"),
              std::string::npos)
        << text;
    const std::regex marked(R"(\[[0-9a-f]{2}\])");
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), marked), std::sregex_iterator()), 1) << text;

    const fwtool::RunResult none = fwtool::RunScenario(fwtool::ReplayScenario(buffer, sim::TaBehaviour::Echo(), true));
    ASSERT_EQ(none.relays.size(), 1U);
    EXPECT_EQ(none.relays[0].outcome, Relay::Outcome::NoTarget);
    EXPECT_EQ(none.relays[0].handedBack, buffer);
}

TEST(Runner, FailedAllocationAndFetchAreNamedAndExpectationsDecideTheExitCode)
{
    const Scenario s = fwtool::ParseScenario(R"(
firmware: {present: true}
ta_service: {present: true}
faults: [{operation: ExAllocatePool2, nth: 2}]
steps:
  - add_device: 1
  - {at: 1s, event: {request: "01", response_size: 1}}
  - {at: 2s, event: {no_buffer: true}}
  - {at: 3s, event: {no_buffer: true}}
expect: {dropped: 2, acks: 2}
)",
                                             "inline.yaml");
    const fwtool::RunResult r = fwtool::RunScenario(s);
    ASSERT_EQ(r.relays.size(), 3U);
    EXPECT_NE(r.relays[0].reason.find("exchange buffer not allocated"), std::string::npos) << r.relays[0].reason;
    EXPECT_NE(r.relays[0].reason.find("'TEMP'"), std::string::npos) << r.relays[0].reason;
    // The buffer stayed pending, so the next relay fetches it; the last finds nothing.
    EXPECT_EQ(r.relays[1].outcome, Relay::Outcome::Forwarded);
    EXPECT_EQ(r.relays[1].event, 0U);
    EXPECT_NE(r.relays[2].reason.find("STATUS_NOT_FOUND"), std::string::npos) << r.relays[2].reason;
    EXPECT_TRUE(r.verifier.empty());
    ASSERT_EQ(r.expectations.size(), 4U); // with left_loaded and pool_left, implied
    EXPECT_FALSE(r.ExpectationsMet());    // acks: 3
    EXPECT_EQ(r.ExitCode(), 1);
}

TEST(Runner, ExplanationAgreesWithTheDriversVerdict)
{
    // Every DataLength around the boundaries of a 10 + 20 buffer, inside and outside the allocation.
    const Bytes buffer = sim::FirmwareModel::BuildExchangeBuffer(Bytes(10, 1), Bytes(20, 2));
    for (ULONG dataLength = 0; dataLength <= 50; ++dataLength) {
        for (ULONG bufferSize : {ULONG{40}, ULONG{42}, ULONG{64}}) {
            EXCHANGE_LAYOUT layout{};
            Bytes fetched(buffer);
            fetched.resize(64, 0);
            const bool accepted = ValidateExchangeBuffer(fetched.data(), bufferSize, dataLength, &layout) != FALSE;
            const std::optional<std::string> why = fwtool::ExplainValidation(buffer, bufferSize, dataLength);
            EXPECT_EQ(accepted, !why.has_value()) << dataLength << "/" << bufferSize;
            if (why) {
                EXPECT_EQ(why->find("refused by"), std::string::npos) << *why;
            }
        }
    }
}

// ---- An honest ending ----

struct Ending {
    const char* name;
    const char* yaml;
    int exitCode;
    bool loadedAtEnd;
};

class HonestEnding : public testing::TestWithParam<Ending> {};

TEST_P(HonestEnding, PassesOnlyWhenTheDriverUnloadedCleanlyOrTheScenarioExpectsOtherwise)
{
    const fwtool::RunResult r = fwtool::RunScenario(fwtool::ParseScenario(GetParam().yaml, "end.yaml"));
    EXPECT_TRUE(r.verifier.empty());
    EXPECT_EQ(r.loadedAtEnd, GetParam().loadedAtEnd);
    EXPECT_EQ(r.ExitCode(), GetParam().exitCode);
    std::ostringstream out;
    fwtool::WriteSummary(out, r);
    EXPECT_NE(out.str().find(GetParam().exitCode == 0 ? "Result: PASS" : "Result: FAIL"), std::string::npos)
        << out.str();
    if (GetParam().loadedAtEnd) {
        EXPECT_NE(out.str().find("End: the driver refused to unload"), std::string::npos) << out.str();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runner, HonestEnding,
    testing::Values(
        Ending{"NoDeviceEverAdded",
               "firmware: {present: true}\nsteps:\n  - {at: 1s, event: {request: '01', response_size: 1}}\n", 1, true},
        Ending{"NoDeviceAndTheScenarioSaysSo",
               "firmware: {present: true}\nsteps:\n  - {at: 1s, event: {request: '01', response_size: 1}}\n"
               "expect: {left_loaded: 1, pool_left: 1}\n",
               0, true},
        Ending{"DeviceAddedAndRemoved", "firmware: {present: true}\nsteps:\n  - add_device: 1\n  - remove_device: 1\n",
               0, false},
        Ending{"CleanRunWronglyExpectedToStayLoaded", "steps:\n  - add_device: 1\nexpect: {left_loaded: 1}\n", 1,
               false}),
    [](const testing::TestParamInfo<Ending>& param) { return std::string(param.param.name); });

TEST(Runner, SummaryAccountsForEveryEventAndShowsTheDescription)
{
    const fwtool::RunResult r = fwtool::RunScenario(fwtool::ParseScenario(R"(
name: fates
description: every way an event can end
firmware: {appear_at: 3s}
ta_service: {present: true}
steps:
  - add_device: 1
  - at: 1s
    event: {label: early one, request: "01", response_size: 1}
  - at: 2s
    event: {label: early two, request: "02", response_size: 1}
  - at: 5s
    event: {label: bare, no_buffer: true}
expect: {lost: 2, pending: 1}
)",
                                                                          "fates.yaml"));
    ASSERT_EQ(r.events.size(), 3U);
    EXPECT_TRUE(r.events[0].lost);
    EXPECT_EQ(r.events[0].fetchedBy, 0U); // the bare event's relay fetched the oldest buffer
    EXPECT_FALSE(r.events[1].fetchedBy);
    EXPECT_EQ(r.events[2].deliveredAs, 0U);
    EXPECT_EQ(r.PendingAtEnd(), 1U);
    EXPECT_TRUE(r.ExpectationsMet());
    std::ostringstream out;
    fwtool::WriteSummary(out, r);
    const std::string text = out.str();
    for (const char* part :
         {"  every way an event can end\n",
          "1. [1.000000s] early one: lost: no notification callback was installed; its buffer fetched "
          "by relay 1: forwarded",
          "2. [2.000000s] early two: lost: no notification callback was installed; its buffer was "
          "never fetched (still pending at the end)",
          "3. [5.000000s] bare: delivered as relay 1; no buffer of its own",
          "1. [5.000000s] (bare; fetched the buffer of 'early one') forwarded"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
}

TEST(Runner, SaysWhenTheRetryWorkerGaveUp)
{
    auto yaml = [](const std::string& end) {
        return "firmware: {present: false}\nsteps:\n  - add_device: 1\n  - {at: " + end + ", remove_device: 1}\n";
    };
    const fwtool::RunResult gaveUp = fwtool::RunScenario(fwtool::ParseScenario(yaml("700s"), "retry.yaml"));
    ASSERT_TRUE(gaveUp.retryGaveUp);
    EXPECT_EQ(gaveUp.retryGaveUp->attempts, 600U); // the driver's limit, one attempt a second
    std::ostringstream out;
    fwtool::WriteSummary(out, gaveUp);
    EXPECT_NE(out.str().find("Retry worker: gave up at"), std::string::npos) << out.str();
    // Still trying when the driver is unloaded: not giving up.
    EXPECT_FALSE(fwtool::RunScenario(fwtool::ParseScenario(yaml("10s"), "retry.yaml")).retryGaveUp);
}

TEST(Runner, ReportsProgressAfterEachStep)
{
    const Scenario s = fwtool::ParseScenario("steps:\n  - add_device: 1\n  - {at: 2s, ta_arrive: true}\n  - {at: 5s, "
                                             "remove_device: all}\n",
                                             "progress.yaml");
    std::vector<std::pair<std::size_t, sim::Ticks>> calls;
    fwtool::RunScenario(s, [&calls](std::size_t done, std::size_t total, sim::Ticks now) {
        EXPECT_EQ(total, 3U);
        calls.emplace_back(done, now);
    });
    const std::vector<std::pair<std::size_t, sim::Ticks>> expected = {
        {1, 0}, {2, 2 * sim::kTicksPerSecond}, {3, 5 * sim::kTicksPerSecond}};
    EXPECT_EQ(calls, expected);
}

// ---- Outputs ----

TEST(Output, HostAddressesBecomeStableIdentifiers)
{
    fwtool::StableIds ids;
    EXPECT_EQ(ids.Apply("block at 0x7f3e78001060 context 0x55d7260712d0"), "block at ptr#1 context ptr#2");
    EXPECT_EQ(ids.Apply("again 0x55d7260712d0, 0x7f3e78001060"), "again ptr#2, ptr#1");
    // Framework handles, statuses and I/O control codes are stable already.
    EXPECT_EQ(ids.Apply("WDFDEVICE 0x5f0000000030 -> 0xC0000001 IOCTL 0x00568004"),
              "WDFDEVICE 0x5f0000000030 -> 0xC0000001 IOCTL 0x00568004");
}

fwtool::RunResult ManyRelays(int events)
{
    std::string yaml = "firmware: {present: true}\nta_service: {present: true}\nsteps:\n  - add_device: 1\n";
    for (int i = 0; i < events; ++i) {
        yaml += "  - {at: " + std::to_string(i + 1) + "s, event: {request: '01 02', response_size: 2}}\n";
    }
    return fwtool::RunScenario(fwtool::ParseScenario(yaml, "many.yaml"));
}

TEST(Output, CompactMermaidStaysUnderTheRenderersLimitWhereFullDoesNot)
{
    const fwtool::RunResult r = ManyRelays(40);
    std::ostringstream compact;
    std::ostringstream full;
    const std::size_t compactSize = fwtool::WriteMermaid(compact, r, fwtool::Detail::Compact);
    const std::size_t fullSize = fwtool::WriteMermaid(full, r, fwtool::Detail::Full);
    EXPECT_EQ(compactSize, compact.str().size());
    EXPECT_LT(compactSize, fwtool::kMermaidDefaultLimit);
    EXPECT_GT(fullSize, fwtool::kMermaidDefaultLimit);
    EXPECT_EQ(compact.str().find("participant Framework"), std::string::npos);
    EXPECT_NE(full.str().find("participant Framework"), std::string::npos);
    EXPECT_NE(compact.str().find("Driver->>TA: IRP_MJ_DEVICE_CONTROL IOCTL 0x00568004"), std::string::npos);
}

TEST(Output, MermaidNeverCutsAStatus)
{
    const fwtool::RunResult r = ManyRelays(1);
    std::ostringstream out;
    fwtool::WriteMermaid(out, r, fwtool::Detail::Full);
    // Each call that returned a status shows it whole at the end of its message, however long.
    std::size_t checked = 0;
    std::istringstream lines(out.str());
    const std::regex status(R"( -> 0x[0-9A-F]{8}( STATUS_[A-Z_]+)?$)");
    for (std::string line; std::getline(lines, line);) {
        if (line.find("WdfIoTargetOpen") != std::string::npos || line.find("IoWMIOpenBlock") != std::string::npos) {
            EXPECT_TRUE(std::regex_search(line, status)) << line;
            ++checked;
        }
    }
    EXPECT_GE(checked, 3U);
}

TEST(Output, ReplayLimitsItsDumpsAndSaysHowToSeeAll)
{
    // Large enough to need limiting, small enough to fit the 16408 bytes a real WMI layer lets the
    // driver fetch (a larger request is dropped, and nothing would be dumped).
    const Bytes request(12 * 1024, 0x5a);
    const Bytes buffer = sim::FirmwareModel::BuildExchangeBuffer(request, Bytes(16, 0));
    const fwtool::RunResult r = fwtool::RunScenario(fwtool::ReplayScenario(buffer, sim::TaBehaviour::Echo(), false));
    std::ostringstream limited;
    fwtool::WriteReplayReport(limited, r);
    EXPECT_LT(limited.str().size(), 16U * 1024) << "dumps are limited by default";
    EXPECT_NE(limited.str().find("more byte(s) not shown"), std::string::npos);
    EXPECT_NE(limited.str().find("--dump-all"), std::string::npos);
    std::ostringstream all;
    fwtool::WriteReplayReport(all, r, 0);
    EXPECT_GT(all.str().size(), request.size() * 3);
    EXPECT_EQ(all.str().find("not shown"), std::string::npos);
}

// ---- The JSON lines follow docs/json.md ----

struct FieldRule {
    std::set<std::string> types; // "string", "integer", "number", "boolean", "array", "object", "null"
    bool optional = false;
};
using RecordRules = std::map<std::string, std::map<std::string, FieldRule>>;

// The tables of docs/json.md: "## Record `type`" then rows "| `field` | type | meaning |".
RecordRules ReadJsonSchemaDoc()
{
    RecordRules rules;
    std::istringstream doc(ReadFile(FWRELAY_SOURCE_DIR "/docs/json.md"));
    const std::regex heading(R"(^## Record `(\w+)`)");
    const std::regex row(R"(^\| `(\w+)` \| ([^|]+) \|)");
    std::string record;
    for (std::string line; std::getline(doc, line);) {
        std::smatch m;
        if (std::regex_search(line, m, heading)) {
            record = m[1];
        } else if (!record.empty() && std::regex_search(line, m, row)) {
            FieldRule rule;
            std::string type = m[2];
            rule.optional = type.find("(optional)") != std::string::npos;
            for (const char* name : {"string", "integer", "number", "boolean", "array", "object", "null"}) {
                if (type.find(name) != std::string::npos) {
                    rule.types.insert(name);
                }
            }
            rules[record][m[1]] = rule;
        }
    }
    return rules;
}

std::string JsonTypeName(const nlohmann::json& value)
{
    if (value.is_string()) {
        return "string";
    }
    if (value.is_number_integer()) {
        return "integer";
    }
    if (value.is_number()) {
        return "number";
    }
    if (value.is_boolean()) {
        return "boolean";
    }
    if (value.is_array()) {
        return "array";
    }
    return value.is_object() ? "object" : "null";
}

TEST(JsonSchema, EveryRecordOfEveryExampleMatchesTheDocument)
{
    const RecordRules rules = ReadJsonSchemaDoc();
    ASSERT_EQ(rules.size(), 6U) << "run, call, event, relay, stats, summary";
    std::set<std::string> seenTypes;
    std::set<std::string> seenOptional;
    std::vector<std::string> files = {"default",           "device-churn", "fault-injection", "firmware-late",
                                      "malformed-buffers", "no-target",    "ta-failures"};
    // And one run of the x64 image, where scripts/wdk-check has linked it (its summary names it).
    const std::string image = std::string(FWRELAY_SOURCE_DIR) + "/build/windows/x64-release/fwrelay.sys";
    const bool imageLinked = std::ifstream(image).good();
    if (imageLinked) {
        files.push_back("default");
    }
    for (std::size_t file = 0; file < files.size(); ++file) {
        const std::string& name = files[file];
        fwtool::RunOptions options;
        options.image = imageLinked && file + 1 == files.size() ? image : "";
        const fwtool::RunResult r = fwtool::RunScenario(
            fwtool::LoadScenarioFile(std::string(FWRELAY_SOURCE_DIR) + "/examples/" + name + ".yaml"), options);
        {
            // Written as the run goes, keeping nothing, the lines are those of the finished run.
            std::ostringstream streamed;
            std::ostringstream whole;
            fwtool::ReportOptions plain;
            plain.format = fwtool::Format::Json;
            const std::unique_ptr<fwtool::RunSink> sink = fwtool::MakeSink(streamed, plain);
            fwtool::RunOptions live;
            live.sink = sink.get();
            live.keepTrace = false;
            live.keepBytes = false;
            live.image = options.image;
            fwtool::RunScenario(
                fwtool::LoadScenarioFile(std::string(FWRELAY_SOURCE_DIR) + "/examples/" + name + ".yaml"), live);
            fwtool::WriteJsonLines(whole, r);
            EXPECT_EQ(streamed.str(), whole.str()) << name;
        }
        std::ostringstream out;
        fwtool::Stats stats;
        fwtool::Replay(r, stats);
        fwtool::ReportOptions json;
        json.format = fwtool::Format::Json;
        json.stats = &stats;
        fwtool::WriteReport(out, r, json);
        std::istringstream lines(out.str());
        std::vector<std::string> order;
        std::set<int> closed; // relays whose record has been written
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json record = nlohmann::json::parse(line);
            const std::string type = record.value("type", "");
            order.push_back(type);
            if (type == "relay") {
                closed.insert(record["index"].get<int>());
            } else if (type == "call" && record["relay"].is_number()) {
                EXPECT_EQ(closed.count(record["relay"].get<int>()), 0U) << name << ": a call after its relay's record";
            }
            ASSERT_EQ(rules.count(type), 1U) << name << ": undocumented record type '" << type << "'";
            seenTypes.insert(type);
            const auto& fields = rules.at(type);
            for (const auto& [key, value] : record.items()) {
                ASSERT_EQ(fields.count(key), 1U) << name << ": " << type << "." << key << " is not documented";
                EXPECT_EQ(fields.at(key).types.count(JsonTypeName(value)), 1U)
                    << name << ": " << type << "." << key << " is a " << JsonTypeName(value);
                if (fields.at(key).optional) {
                    seenOptional.insert(type + "." + key);
                }
            }
            for (const auto& [key, rule] : fields) {
                EXPECT_TRUE(rule.optional || record.contains(key)) << name << ": " << type << " lacks " << key;
            }
            if (record.contains("schema")) {
                EXPECT_EQ(record["schema"], fwtool::kJsonSchemaVersion);
            }
        }
        // run, calls with each relay after its own calls, events, summary: in that order.
        ASSERT_GE(order.size(), 2U);
        EXPECT_EQ(order.front(), "run");
        EXPECT_EQ(order.back(), "summary");
        const std::map<std::string, int> rank = {{"run", 0},   {"call", 1},  {"relay", 1},
                                                 {"event", 2}, {"stats", 3}, {"summary", 4}};
        EXPECT_TRUE(std::is_sorted(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
            return rank.at(a) < rank.at(b);
        })) << name;
    }
    EXPECT_EQ(seenTypes.size(), rules.size());
    // Each optional field documented shows up somewhere, so the document describes real output.
    for (const auto& [type, fields] : rules) {
        for (const auto& [key, rule] : fields) {
            if (rule.optional && (imageLinked || type + "." + key != "summary.image")) {
                EXPECT_EQ(seenOptional.count(type + "." + key), 1U) << type << "." << key << " never seen";
            }
        }
    }
}

TEST(JsonSchema, TextThatIsNotUtf8NeverBreaksTheStream)
{
    // Inputs are checked to be UTF-8; should anything else reach a label, the line stays valid.
    fwtool::RunResult r;
    r.name = std::string("bad \xff name");
    fwtool::RaisedEvent event;
    event.label = "\xc3";
    r.events.push_back(event);
    std::ostringstream out;
    EXPECT_NO_THROW(fwtool::WriteJsonLines(out, r));
    std::istringstream lines(out.str());
    std::vector<nlohmann::json> records;
    for (std::string line; std::getline(lines, line);) {
        ASSERT_TRUE(nlohmann::json::accept(line)) << line;
        records.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(records.size(), 3U) << out.str(); // the run, its one event, the summary
    EXPECT_EQ(records[0].value("scenario", ""), "bad \uFFFD name") << out.str();
}

} // namespace
