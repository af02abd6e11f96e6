// The fault-injection sweep: whole lives of the driver, each run once to count its fallible
// platform calls and then again, on a fresh platform, for every call N: once failing call N only,
// once failing every call from N on. Every run must end clean: no verifier record, nothing left
// in pool once the driver is gone, every event the driver took acknowledged exactly once, and no
// handed-back byte changed outside a response area. With FWRELAY_IMAGE the lives run that x64
// image: the entry library linked into it allocates outside the driver's calls (so the failure
// points are the same as the linked driver's), and each life also runs once with that allocation
// failing.
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string_view>

#include "support/driver_fixture.h"
#include "sim/faults.h"
#include "support/invariants.h"

namespace {

using fwtest::Bytes;
using sim::kTicksPerSecond;
using sim::TaBehaviour;

// One life of the driver on a platform of its own. Every step settles, so that the order of
// fallible calls is the same in every run up to the injected failure.
class Life {
public:
    sim::Platform platform;
    sim::FirmwareModel& firmware = platform.Firmware();
    sim::TaServiceModel& ta = platform.TaService();
    sim::FrameworkModel& framework = platform.Framework();
    std::vector<Bytes> raised;
    // Declared after the platform: unmapped before it is destroyed, once RunLife has shut it down.
    std::unique_ptr<sim::DriverImage> image;

    bool Load()
    {
        bool loaded = NT_SUCCESS(fwtest::LoadDriverUnderTest(framework, &image));
        Settle();
        return loaded;
    }
    void AddDevice()
    {
        (void)framework.AddDevice();
        Settle();
    }
    void RemoveDevice(std::size_t index)
    {
        auto devices = framework.PnpDevices();
        if (index < devices.size()) {
            framework.RemoveDevice(devices[index]);
        }
        Settle();
    }
    void RemoveDevices()
    {
        for (WDFDEVICE device : framework.PnpDevices()) {
            framework.RemoveDevice(device);
        }
        Settle();
    }
    bool Unload()
    {
        RemoveDevices();
        return framework.UnloadDriver();
    }
    void Raise(std::size_t requestLength, std::size_t responseLength, std::size_t padTo = 0)
    {
        raised.push_back(fwtest::NumberedExchangeBuffer(static_cast<std::uint32_t>(raised.size() + 1), requestLength,
                                                        responseLength, padTo));
        firmware.RaiseEvent(raised.back());
        Settle();
    }
    void Settle() { platform.Sched().Settle(); }
    void RunFor(sim::Ticks span, const std::function<bool()>& until)
    {
        (void)platform.Sched().RunUntil(until, platform.Sched().Now() + span);
    }
};

struct Scenario {
    const char* name;
    std::function<void(Life&)> run;
};

const std::vector<Scenario>& Scenarios()
{
    static const std::vector<Scenario> scenarios = {
        {"FirmwarePresentAtStartUp",
         [](Life& life) {
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.Raise(16, 32);
             life.Raise(4, 8, 64);
             (void)life.Unload();
         }},
        {"FirmwareAppearsLater",
         [](Life& life) {
             life.firmware.AppearAt(2 * kTicksPerSecond);
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.RunFor(4 * kTicksPerSecond, [&] { return life.firmware.Registered(); });
             life.Raise(8, 8);
             (void)life.Unload();
         }},
        {"RegistrationRefusedThenRetried",
         [](Life& life) {
             life.firmware.FailRegister(2);
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.RunFor(4 * kTicksPerSecond, [&] { return life.firmware.Registered(); });
             life.Raise(8, 8);
             (void)life.Unload();
         }},
        {"ServicePresentBeforeStartUp",
         [](Life& life) {
             life.ta.Arrive();
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.Raise(12, 24);
             life.Raise(4, 100, 300);
             (void)life.Unload();
         }},
        {"TwoDevicesComeAndGo",
         [](Life& life) {
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.AddDevice();
             life.ta.Arrive();
             life.Settle();
             life.Raise(8, 16);
             life.RemoveDevice(0);
             life.Raise(8, 16);
             life.RemoveDevice(0);
             life.Raise(8, 16); // no control device, no target: handed back unchanged
             (void)life.Unload();
         }},
        {"ServiceArrivesAndDeparts",
         [](Life& life) {
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.ta.Arrive();
             life.Settle();
             life.Raise(8, 8);
             life.ta.Depart();
             life.Settle();
             life.Raise(8, 8);
             life.ta.Arrive();
             life.Settle();
             life.ta.SetBehaviour(TaBehaviour::WriteFirst(3));
             life.Raise(8, 8);
             (void)life.Unload();
         }},
        {"RelaysWithoutTarget",
         [](Life& life) {
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.Raise(4, 0, 40);
             life.Raise(200, 300);
             life.Raise(8, 8, 20000); // larger than the minimum: sized by the query
             (void)life.Unload();
         }},
        {"UnloadWhileTheWorkerRetries",
         [](Life& life) {
             life.firmware.SetPresent(false);
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.platform.Sched().AdvanceBy(2 * kTicksPerSecond + kTicksPerSecond / 2);
             life.Raise(8, 8); // lost: no callback installed
             (void)life.Unload();
         }},
        {"UnloadWithTheChannelOpen",
         [](Life& life) {
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             (void)life.Unload();
         }},
        {"DeviceRemovedDuringARelay",
         [](Life& life) {
             life.ta.Arrive();
             life.ta.SetBehaviour(TaBehaviour::Block());
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.Raise(8, 16); // held by the TA service until the target is torn down
             (void)life.Unload();
         }},
        {"ServiceDepartsDuringARelay",
         [](Life& life) {
             life.ta.Arrive();
             life.ta.QueueBehaviour(TaBehaviour::Block());
             if (!life.Load()) {
                 return;
             }
             life.AddDevice();
             life.Raise(8, 16);
             life.ta.Depart();
             life.Settle();
             life.Raise(8, 16);
             (void)life.Unload();
         }},
    };
    return scenarios;
}

struct Outcome {
    std::vector<std::string> faults;
    std::vector<std::string> calls; // the fallible calls of the scenario proper, in order
    std::set<std::string> asked;    // every name a rule could fail that the life asked about
    std::uint64_t entryLibraryAllocations = 0;
};

// Runs one life with `arm` applied to a fresh fault injector, then checks it. When the driver is
// still loaded at the end (a failed device add leaves the control device, which keeps it), the
// PnP manager adds a device again with nothing failing, removes it and unloads.
Outcome RunLife(const Scenario& scenario, const std::function<void(sim::FaultInjector&)>& arm)
{
    Outcome outcome;
    auto life = std::make_unique<Life>();
    life->platform.Verifier().SetEcho(false);
    life->firmware.SetPresent(true);
    arm(life->platform.Faults());

    scenario.run(*life);
    outcome.calls = life->platform.Faults().CallLog();
    outcome.entryLibraryAllocations = life->platform.Faults().Count(sim::FrameworkModel::kEntryLibraryAllocation);
    for (std::string_view name : sim::FailableOperations()) {
        if (life->platform.Faults().Count(std::string(name)) != 0) {
            outcome.asked.emplace(name);
        }
    }

    life->platform.Faults().ClearRules();
    if (life->framework.Loaded() && !life->Unload()) {
        life->AddDevice();
        if (!life->Unload()) {
            outcome.faults.push_back("the driver could not be unloaded");
        }
    }
    life->ta.Shutdown();
    life->platform.Shutdown();

    if (!life->platform.Verifier().Clean()) {
        outcome.faults.push_back("verifier: " + life->platform.Verifier().Describe());
    }
    if (!life->framework.Loaded() && life->platform.Pool().LiveCount() != 0) {
        outcome.faults.push_back("pool after unload: " + life->platform.Pool().LeakReport());
    }
    auto audit = fwtest::AuditRelays(life->platform);
    outcome.faults.insert(outcome.faults.end(), audit.faults.begin(), audit.faults.end());
    if (audit.refused != 0) {
        outcome.faults.push_back(std::to_string(audit.refused) + " deliveries refused while no channel change ran");
    }
    auto handedBack = fwtest::CheckHandedBack(life->raised, life->firmware.HandedBack());
    outcome.faults.insert(outcome.faults.end(), handedBack.begin(), handedBack.end());
    return outcome;
}

std::string Describe(const std::vector<std::string>& faults)
{
    std::string text;
    for (const auto& fault : faults) {
        text += "  " + fault + "\n";
    }
    return text;
}

class SweepTest : public testing::TestWithParam<Scenario> {};

TEST_P(SweepTest, EveryFailurePointLeavesACleanMachine)
{
    const Scenario& scenario = GetParam();
    const Outcome counted = RunLife(scenario, [](sim::FaultInjector&) {});
    ASSERT_TRUE(counted.faults.empty()) << "without injected failures:\n" << Describe(counted.faults);
    const std::uint64_t points = counted.calls.size();
    ASSERT_GT(points, 0U);
    // Only an image carries the entry library, which copies the registry path once per load.
    const bool image = !fwtest::ImageUnderTest().empty();
    EXPECT_EQ(counted.entryLibraryAllocations, image ? 1U : 0U);
    if (image) {
        const Outcome glue = RunLife(scenario, [](sim::FaultInjector& faults) {
            faults.FailNth(sim::FrameworkModel::kEntryLibraryAllocation, 1);
        });
        EXPECT_TRUE(glue.faults.empty()) << "failing the entry library's allocation:\n" << Describe(glue.faults);
        EXPECT_TRUE(glue.calls.empty()) << "the driver ran without its entry library's copy";
    }

    std::uint64_t nthSurvived = 0;
    std::uint64_t fromRuns = 0;
    std::uint64_t fromSurvived = 0;
    for (std::uint64_t n = 1; n <= points; ++n) {
        const std::string point = "call " + std::to_string(n) + " (" + counted.calls[n - 1] + ")";
        Outcome nth = RunLife(scenario, [n](sim::FaultInjector& faults) { faults.FailGlobalNth(n); });
        // The runs are deterministic up to the failure: call N is the call the count saw.
        if (nth.calls.size() < n || nth.calls[n - 1] != counted.calls[n - 1]) {
            nth.faults.push_back("call " + std::to_string(n) + " was not " + counted.calls[n - 1] + " in this run");
        }
        EXPECT_TRUE(nth.faults.empty()) << "failing only " << point << ":\n" << Describe(nth.faults);
        nthSurvived += nth.faults.empty() ? 1U : 0U;

        ++fromRuns;
        Outcome from = RunLife(scenario, [n](sim::FaultInjector& faults) { faults.FailGlobalFrom(n); });
        EXPECT_TRUE(from.faults.empty()) << "failing every call from " << point << " on:\n" << Describe(from.faults);
        fromSurvived += from.faults.empty() ? 1U : 0U;
    }
    std::printf("[ sweep    ] %-32s %3" PRIu64 " failure points; fail Nth: %" PRIu64 "/%" PRIu64
                " survived; fail from N: %" PRIu64 "/%" PRIu64 " survived\n",
                scenario.name, points, nthSurvived, points, fromSurvived, fromRuns);
}

// The other direction of the list of names a rule may fail: a name that no model asks about
// could be written in a scenario and never fire. The lives between them reach every one.
TEST(FailableOperations, AreEachAskedInSomeLife)
{
    std::set<std::string> asked;
    for (const Scenario& scenario : Scenarios()) {
        const Outcome counted = RunLife(scenario, [](sim::FaultInjector&) {});
        asked.insert(counted.asked.begin(), counted.asked.end());
    }
    for (std::string_view name : sim::FailableOperations()) {
        EXPECT_EQ(asked.count(std::string(name)), 1U) << name << " is never asked about";
    }
}

INSTANTIATE_TEST_SUITE_P(WholeLives, SweepTest, testing::ValuesIn(Scenarios()),
                         [](const testing::TestParamInfo<Scenario>& param) { return std::string(param.param.name); });

} // namespace
