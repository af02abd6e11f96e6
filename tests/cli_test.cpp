// fwrelay-sim's library: the scenario parser's diagnostics, the runner's account of each relay,
// and the output formats.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "tools/default_scenario.h"
#include "tools/output.h"
#include "tools/replay.h"
#include "tools/runner.h"
#include "relay/relay.h"
#include "tools/scenario.h"

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
        EXPECT_EQ(std::string(e.what()).rfind("s.yaml:" + std::to_string(bad.line) + ":", 0), 0U) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Parser, ScenarioErrors,
    testing::Values(
        BadScenario{"BadYaml", "steps: [\n  - load: true\n", 2, 3, "illegal block entry"},
        BadScenario{"BadYamlIndent", "steps:\n  - load: true\n   unload: true\n", 3, 4, "end of sequence"},
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
        BadScenario{"BadTaBehaviour", "ta_service:\n  behaviour: first:x\nsteps: []\n", 2, 14, "not a TA behaviour"},
        BadScenario{"FaultWithoutMode", "faults:\n  - {operation: ExAllocatePool2}\nsteps: []\n", 2, 5,
                    "exactly one of nth, from, always"},
        BadScenario{"FaultCountedFromOne", "faults:\n  - {operation: X, nth: 0}\nsteps: []\n", 2, 25, "from 1"},
        BadScenario{"EventTwoSources", "steps:\n  - event: {raw: '00', request: '01'}\n", 2, 12, "exactly one of"},
        BadScenario{"UnknownExpectation", "steps: []\nexpect: {relays: 1}\n", 2, 10, "unknown key 'relays'"},
        BadScenario{"MissingBufferFile", "steps:\n  - event: {file: no-such-file.bin}\n", 2, 19,
                    "cannot open buffer file"},
        BadScenario{"Empty", "", 1, 1, "empty"}),
    [](const testing::TestParamInfo<BadScenario>& param) { return std::string(param.param.name); });

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
    EXPECT_EQ(last["relayed"], 3);
    EXPECT_EQ(last["dropped"], 1);
    EXPECT_EQ(last["passed"], true);
}

TEST_F(DefaultRun, MermaidIsASequenceDiagramWithTheThreeParties)
{
    std::ostringstream out;
    fwtool::WriteMermaid(out, Result());
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
    ASSERT_EQ(r.expectations.size(), 2U);
    EXPECT_FALSE(r.ExpectationsMet()); // acks: 3
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

} // namespace
