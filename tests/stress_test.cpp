// Races under a seeded schedule: relays run on the WMI thread while the test thread makes the TA
// service arrive and depart, changes its answers and blocks it, and a PnP thread adds and removes
// devices; then the driver unloads. The seed chooses the order of operations and where time
// passes or the machine settles; a failure names its seed. Run under ThreadSanitizer in CI.
#include <cstdio>
#include <random>

#include "support/driver_fixture.h"
#include "support/invariants.h"

#if defined(__SANITIZE_THREAD__)
#define FWRELAY_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FWRELAY_UNDER_TSAN 1
#endif
#endif

namespace {

using fwtest::Bytes;
using sim::TaBehaviour;

#ifdef FWRELAY_UNDER_TSAN
constexpr unsigned kSeeds = 150;
#else
constexpr unsigned kSeeds = 300;
#endif
constexpr unsigned kStepsPerSeed = 60;

struct StressResult {
    std::size_t raised = 0;
    std::size_t delivered = 0;
    std::size_t handedBack = 0;
    std::size_t devicesAdded = 0;
};

// One seeded life. Returns through gtest assertions; the caller scopes the seed.
void RunSeed(unsigned seed, StressResult* result)
{
    sim::Platform platform;
    platform.Verifier().SetEcho(false);
    sim::FirmwareModel& firmware = platform.Firmware();
    sim::TaServiceModel& ta = platform.TaService();
    sim::FrameworkModel& framework = platform.Framework();
    // After the platform: unmapped once the platform has been shut down below.
    std::unique_ptr<sim::DriverImage> image;
    firmware.SetPresent(true);
    std::mt19937 rng(seed);
    auto chance = [&rng](unsigned percent) { return rng() % 100 < percent; };

    ASSERT_EQ(fwtest::LoadDriverUnderTest(framework, &image), STATUS_SUCCESS);
    ASSERT_EQ(framework.AddDevice(), STATUS_SUCCESS);
    if (chance(50)) {
        ta.Arrive();
    }

    // Device churn on a thread of its own, with its own stream of choices. One device is never
    // removed by it, so the control device (and with it the target) mostly survives; the test
    // thread removes that one too in a few seeds. It never settles: two threads settling at once
    // would each wait for the other.
    const WDFDEVICE anchor = framework.PnpDevices().front();
    std::size_t added = 0;
    sim::SimThread churn(platform, "pnp churn", [&, churnSeed = seed * 7919U + 1] {
        std::mt19937 local(churnSeed);
        for (unsigned i = 0; i < kStepsPerSeed / 4; ++i) {
            if (local() % 2 == 0) {
                added += NT_SUCCESS(framework.AddDevice()) ? 1U : 0U;
            } else {
                for (WDFDEVICE device : framework.PnpDevices()) {
                    if (device != anchor) {
                        framework.RemoveDevice(device);
                        break;
                    }
                }
            }
        }
    });

    std::vector<Bytes> raised;
    bool anchorRemoved = false;
    for (unsigned step = 0; step < kStepsPerSeed; ++step) {
        switch (rng() % 9) {
        case 0:
        case 1:
        case 2:
            raised.push_back(fwtest::NumberedExchangeBuffer(static_cast<std::uint32_t>(raised.size() + 1),
                                                            4 + rng() % 40, rng() % 64, rng() % 2 ? 0 : 200));
            firmware.RaiseEvent(raised.back());
            break;
        case 3:
            ta.Arrive();
            break;
        case 4:
            ta.Depart();
            break;
        case 5: {
            static const TaBehaviour kAnswers[] = {TaBehaviour::Echo(), TaBehaviour::WriteFirst(3),
                                                   TaBehaviour::Fail(STATUS_UNSUCCESSFUL), TaBehaviour::Block()};
            ta.SetBehaviour(kAnswers[rng() % std::size(kAnswers)]);
            break;
        }
        case 6:
            (void)ta.ReleaseAll();
            break;
        case 7:
            platform.Sched().AdvanceBy(static_cast<sim::Ticks>(rng() % 50) * sim::kTicksPerMillisecond);
            break;
        default:
            if (!anchorRemoved && chance(10)) {
                framework.RemoveDevice(anchor);
                anchorRemoved = true;
            } else {
                platform.Sched().Settle();
            }
            break;
        }
    }
    churn.Join();

    // Let every relay finish: no more blocking, then release whatever still waits.
    ta.SetBehaviour(TaBehaviour::Echo());
    (void)ta.ReleaseAll();
    platform.Sched().Settle();
    for (WDFDEVICE device : framework.PnpDevices()) {
        framework.RemoveDevice(device);
    }
    platform.Sched().Settle();
    EXPECT_TRUE(framework.UnloadDriver());
    ta.Shutdown();
    platform.Shutdown();

    EXPECT_TRUE(platform.Verifier().Clean()) << platform.Verifier().Describe();
    EXPECT_EQ(platform.Pool().LiveCount(), 0U) << platform.Pool().LeakReport();
    auto audit = fwtest::AuditRelays(platform);
    EXPECT_TRUE(audit.faults.empty()) << audit.faults.front();
    // The channel was open from start-up to unload: every event reached the driver and was taken.
    EXPECT_EQ(audit.delivered, raised.size());
    EXPECT_EQ(audit.refused, 0U);
    EXPECT_EQ(firmware.AckCount(), raised.size());
    auto changed = fwtest::CheckHandedBack(raised, firmware.HandedBack());
    EXPECT_TRUE(changed.empty()) << changed.front();

    result->raised += raised.size();
    result->delivered += audit.delivered;
    result->handedBack += firmware.HandedBack().size();
    result->devicesAdded += added;
}

TEST(StressTest, RelaysSurviveServiceAndDeviceChurnAndUnload)
{
    StressResult total;
    for (unsigned seed = 1; seed <= kSeeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RunSeed(seed, &total);
        if (HasFailure()) {
            std::printf("[ stress   ] first failing seed: %u\n", seed);
            break;
        }
    }
    std::printf("[ stress   ] %u seeds x %u steps: %zu events raised, %zu delivered and acknowledged, %zu handed "
                "back, %zu devices added concurrently\n",
                kSeeds, kStepsPerSeed, total.raised, total.delivered, total.handedBack, total.devicesAdded);
}

} // namespace
