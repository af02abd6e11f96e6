// The framework model's deletion hold and its once-per-object rule for WdfObjectDelete. The
// driver here is a few local callbacks: a control device with a target under it, both recording
// their cleanup and destroy.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/rtl.h"
#include "platform/wdfdevice.h"
#include "platform/wdfdriver.h"
#include "platform/wdfiotarget.h"
#include "sim/framework.h"
#include "sim/kernel.h"
#include "sim/platform.h"

namespace {

std::mutex eventsMutex;
std::vector<std::string>* events = nullptr;
WDFOBJECT controlDevice = nullptr;

void Record(const char* what, WDFOBJECT object)
{
    std::lock_guard lock(eventsMutex);
    events->push_back(std::string(what) + (object == controlDevice ? " control" : " other"));
}

VOID WDFAPI Cleanup(WDFOBJECT object)
{
    Record("cleanup", object);
}

VOID WDFAPI Destroy(WDFOBJECT object)
{
    Record("destroy", object);
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    config.DriverInitFlags = WdfDriverInitNonPnpDriver;
    return WdfDriverCreate(driverObject, registryPath, nullptr, &config, nullptr);
}

class DeletionHoldTest : public testing::Test {
protected:
    DeletionHoldTest()
    {
        events = &events_;
        platform_.Verifier().SetEcho(false);
    }
    ~DeletionHoldTest() override { events = nullptr; }

    void SetUp() override
    {
        ASSERT_EQ(Fx().LoadDriver(Entry), STATUS_SUCCESS);
        UNICODE_STRING sddl;
        RtlInitUnicodeString(&sddl, u"D:P");
        PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(WdfGetDriver(), &sddl);
        ASSERT_NE(init, nullptr);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtCleanupCallback = Cleanup;
        attributes.EvtDestroyCallback = Destroy;
        ASSERT_EQ(WdfDeviceCreate(&init, &attributes, &control_), STATUS_SUCCESS);
        controlDevice = control_;
        WdfControlFinishInitializing(control_);
        ASSERT_EQ(WdfIoTargetCreate(control_, &attributes, &target_), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        Fx().ReleaseDeletionHold();
        EXPECT_TRUE(Fx().UnloadDriver());
        platform_.Shutdown();
    }

    std::vector<std::string> Events()
    {
        std::lock_guard lock(eventsMutex);
        return events_;
    }

    sim::FrameworkModel& Fx() { return platform_.Framework(); }

    sim::Platform platform_;
    std::vector<std::string> events_;
    WDFDEVICE control_ = nullptr;
    WDFIOTARGET target_ = nullptr;
};

struct HoldCase {
    const char* name;
    sim::DeletionPhase phase;
    bool liveWhileHeld;
    std::vector<std::string> eventsWhileHeld;
};

class DeletionHoldPhaseTest : public DeletionHoldTest, public testing::WithParamInterface<HoldCase> {};

TEST_P(DeletionHoldPhaseTest, StopsTheDeleterAtItsPhaseUntilReleased)
{
    const HoldCase& c = GetParam();
    Fx().HoldDeletion(control_, c.phase);
    std::atomic<bool> returned{false};
    sim::SimThread deleter(platform_, "deleter", [&] {
        WdfObjectDelete(control_);
        returned = true;
    });
    ASSERT_TRUE(platform_.Sched().RunUntil([&] { return Fx().DeletionHeld(); }, sim::kTicksPerSecond));
    platform_.Sched().Settle();

    EXPECT_FALSE(returned);
    EXPECT_EQ(Fx().IsLive(control_), c.liveWhileHeld);
    EXPECT_EQ(Events(), c.eventsWhileHeld);

    Fx().ReleaseDeletionHold();
    deleter.Join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(Fx().DeletionHeld());
    EXPECT_FALSE(Fx().IsLive(control_));
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"cleanup other", "cleanup control", "destroy other", "destroy control"}));
    EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();
}

INSTANTIATE_TEST_SUITE_P(Phases, DeletionHoldPhaseTest,
                         testing::Values(HoldCase{"BeforeCleanup", sim::DeletionPhase::BeforeCleanup, true, {}},
                                         HoldCase{
                                             "AfterDestroy",
                                             sim::DeletionPhase::AfterDestroy,
                                             false,
                                             {"cleanup other", "cleanup control", "destroy other", "destroy control"}}),
                         [](const testing::TestParamInfo<HoldCase>& param) { return std::string(param.param.name); });

// The framework asserts when WdfObjectDelete is called twice on one object; a child being
// deleted with its parent has had no call of its own yet.
TEST_F(DeletionHoldTest, ASecondDeleteDuringTheDeletionIsRecordedButAChildsFirstIsNot)
{
    Fx().HoldDeletion(control_, sim::DeletionPhase::BeforeCleanup);
    sim::SimThread deleter(platform_, "deleter", [&] { WdfObjectDelete(control_); });
    ASSERT_TRUE(platform_.Sched().RunUntil([&] { return Fx().DeletionHeld(); }, sim::kTicksPerSecond));

    WdfObjectDelete(target_);
    EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();

    WdfObjectDelete(control_);
    auto records = platform_.Verifier().Records();
    ASSERT_EQ(records.size(), 1U) << platform_.Verifier().Describe();
    EXPECT_EQ(records[0].operation, "WdfObjectDelete");
    EXPECT_NE(records[0].message.find("called again"), std::string::npos) << records[0].message;
    platform_.Verifier().Clear();

    Fx().ReleaseDeletionHold();
    deleter.Join();
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"cleanup other", "cleanup control", "destroy other", "destroy control"}));
}

TEST_F(DeletionHoldTest, AHoldOnAnotherObjectLetsThisDeletionThrough)
{
    Fx().HoldDeletion(target_, sim::DeletionPhase::BeforeCleanup);
    WdfObjectDelete(control_); // deletes the target as a child: the hold is for its own deletion
    EXPECT_FALSE(Fx().DeletionHeld());
    EXPECT_FALSE(Fx().IsLive(target_));
    EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();
}

} // namespace
