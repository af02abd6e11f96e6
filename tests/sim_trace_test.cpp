// The trace: typed records rendered only when read, with stable identifiers for objects known
// by address, so that two runs of the same life render the same text.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/platform.h"
#include "sim/ta_service.h"

namespace {

using sim::TraceArg;

struct RenderCase {
    const char* name;
    const char* format;
    std::vector<TraceArg> args;
    std::string text;
    std::string expected;
};

const GUID kGuid = {0x3FA24EF8, 0x153B, 0x4B8A, {0xA0, 0x39, 0x67, 0x03, 0x77, 0xB9, 0x3E, 0x05}};

class TraceRenderTest : public testing::TestWithParam<RenderCase> {};

TEST_P(TraceRenderTest, RendersEachKindInPlace)
{
    sim::Platform platform;
    const RenderCase& c = GetParam();
    // Record takes an initializer list; up to three values cover every case here.
    const auto& a = c.args;
    const TraceArg none = TraceArg::Decimal(0);
    switch (a.size()) {
    case 0:
        platform.Trace().Record("driver", "kernel", "Op", c.format, {}, std::nullopt, c.text);
        break;
    case 1:
        platform.Trace().Record("driver", "kernel", "Op", c.format, {a[0]}, std::nullopt, c.text);
        break;
    case 2:
        platform.Trace().Record("driver", "kernel", "Op", c.format, {a[0], a[1]}, std::nullopt, c.text);
        break;
    default:
        platform.Trace().Record("driver", "kernel", "Op", c.format, {a[0], a[1], a.size() > 2 ? a[2] : none},
                                std::nullopt, c.text);
        break;
    }
    auto events = platform.Trace().Events();
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0].detail, c.expected);
    EXPECT_EQ(events[0].from, "driver");
    EXPECT_EQ(events[0].to, "kernel");
    EXPECT_EQ(events[0].operation, "Op");
    EXPECT_EQ(events[0].thread, "test");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TraceRenderTest,
    testing::Values(
        RenderCase{"Plain", "no values", {}, "", "no values"},
        RenderCase{"Decimal",
                   "in {}, out {} -> {}",
                   {TraceArg::Decimal(0), TraceArg::Decimal(16408), TraceArg::Decimal(4294967295ULL)},
                   "",
                   "in 0, out 16408 -> 4294967295"},
        RenderCase{"Hex", "access {}", {TraceArg::Hex(0x10)}, "", "access 0x10"},
        RenderCase{"Status", "{}", {TraceArg::Status(static_cast<NTSTATUS>(0xC000009A))}, "", "0xC000009A"},
        RenderCase{"Tag", "tag '{}'", {TraceArg::Tag('T' | ('E' << 8) | ('M' << 16) | ('P' << 24))}, "", "tag 'TEMP'"},
        RenderCase{"UnprintableTag", "'{}'", {TraceArg::Tag(0x00414201)}, "", "'?BA?'"},
        RenderCase{"Handle", "{}", {TraceArg::Handle(std::uint64_t{0x1a})}, "", "0x1a"},
        RenderCase{"Guid", "{}", {TraceArg::Guid(kGuid)}, "", "{3FA24EF8-153B-4B8A-A039-670377B93E05}"},
        RenderCase{"Text", "{} then {}", {TraceArg::Text(), TraceArg::Decimal(7)}, "link", "link then 7"},
        RenderCase{"NullObject", "{}", {TraceArg::Object("block", nullptr)}, "", "NULL"},
        RenderCase{"MissingValueKeepsBraces", "{} and {}", {TraceArg::Decimal(1)}, "", "1 and {}"}),
    [](const testing::TestParamInfo<RenderCase>& param) { return std::string(param.param.name); });

TEST(TraceIdentifiers, CountPerKindInOrderOfFirstAppearance)
{
    sim::Platform platform;
    int a = 0;
    int b = 0;
    int c = 0;
    auto record = [&](const char* kind, const void* p) {
        platform.Trace().Record("kernel", "driver", "Op", "{}", {TraceArg::Object(kind, p)});
    };
    record("block", &b);
    record("block", &a);
    record("context", &a); // a kind of its own: numbered apart from blocks
    record("block", &b);
    record("block", &c);
    std::vector<std::string> details;
    for (const auto& event : platform.Trace().Events()) {
        details.push_back(event.detail);
    }
    EXPECT_EQ(details, (std::vector<std::string>{"block#1", "block#2", "context#1", "block#1", "block#3"}));

    // Find numbers as Events does: from the start of the trace, whatever the operation asked.
    platform.Trace().Record("kernel", "driver", "Other", "{}", {TraceArg::Object("block", &c)});
    auto found = platform.Trace().Find("Other");
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].detail, "block#3");

    // After Clear the numbering starts again.
    platform.Trace().Clear();
    record("block", &c);
    EXPECT_EQ(platform.Trace().Events().at(0).detail, "block#1");

    // Take replaces what it is given (reusing its strings) and numbers on from one Take to the
    // next; a kind is its text, wherever its literal lives.
    static const char kBlock[] = "block";
    record(kBlock, &a);
    std::vector<sim::TraceEvent> taken(5);
    taken[1].detail = "left from before";
    platform.Trace().Take(taken);
    ASSERT_EQ(taken.size(), 2U);
    EXPECT_EQ(taken[0].detail, "block#1");
    EXPECT_EQ(taken[1].detail, "block#2");
    record("block", &c);
    platform.Trace().Take(taken);
    ASSERT_EQ(taken.size(), 1U);
    EXPECT_EQ(taken[0].detail, "block#1");
    EXPECT_EQ(taken[0].operation, "Op");
}

// One whole life: load, a device, the TA service, two events, removal, unload. Returns each
// thread's rendered records in order.
std::map<std::string, std::vector<std::string>> RenderedLife()
{
    sim::Platform platform;
    platform.Firmware().SetPresent(true);
    platform.TaService().Arrive();
    EXPECT_TRUE(NT_SUCCESS(platform.Framework().LoadDriver(DriverEntry)));
    EXPECT_TRUE(NT_SUCCESS(platform.Framework().AddDevice()));
    platform.Sched().Settle();
    platform.Firmware().RaiseEvent(sim::FirmwareModel::BuildExchangeBuffer({1, 2, 3}, {0, 0, 0, 0}));
    platform.Sched().Settle();
    platform.Firmware().RaiseEvent({0xFF, 0xFF, 0xFF, 0x7F});
    platform.Sched().Settle();
    for (WDFDEVICE device : platform.Framework().PnpDevices()) {
        platform.Framework().RemoveDevice(device);
    }
    platform.Sched().Settle();
    EXPECT_TRUE(platform.Framework().UnloadDriver());
    platform.Shutdown();
    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();

    std::map<std::string, std::vector<std::string>> byThread;
    for (const auto& e : platform.Trace().Events()) {
        byThread[e.thread].push_back(e.from + ">" + e.to + " " + e.operation + " " + e.detail + " " +
                                     (e.status ? sim::Trace::StatusText(*e.status) : std::string("-")));
    }
    return byThread;
}

TEST(TraceIdentifiers, TwoRunsRenderTheSameTextAndNoHostAddress)
{
    const auto first = RenderedLife();
    const auto second = RenderedLife();
    EXPECT_EQ(first, second);

    // Host addresses are long hex numbers; framework handles (0x5f0000000010, ...) are the
    // framework model's own numbering and stay.
    const std::regex hostAddress("0x(?!5f0{6})[0-9a-fA-F]{9,}");
    bool sawBlock = false;
    bool sawContext = false;
    for (const auto& [thread, lines] : first) {
        for (const auto& line : lines) {
            EXPECT_FALSE(std::regex_search(line, hostAddress)) << thread << ": " << line;
            sawBlock = sawBlock || line.find("block#") != std::string::npos;
            sawContext = sawContext || line.find("context#1") != std::string::npos;
        }
    }
    EXPECT_TRUE(sawBlock);
    EXPECT_TRUE(sawContext);
}

} // namespace
