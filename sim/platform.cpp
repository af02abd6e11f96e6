#include "sim/platform.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "sim/firmware.h"
#include "sim/framework.h"
#include "sim/kernel.h"
#include "sim/pnp.h"
#include "sim/ta_service.h"
#include "sim/wmi.h"

namespace sim {

namespace {
std::atomic<Platform*> currentPlatform{nullptr};
}

Platform::Platform() : trace_(scheduler_)
{
    Platform* expected = nullptr;
    if (!currentPlatform.compare_exchange_strong(expected, this)) {
        std::fprintf(stderr, "*** host platform: a second Platform was created while one exists\n");
        std::abort();
    }
    testThread_ = std::make_unique<ThreadRegistration>(scheduler_, "test");
    pool_ = std::make_unique<PoolModel>(*this);
    objects_ = std::make_unique<ObjectManager>(*this);
    kernel_ = std::make_unique<KernelModel>(*this);
    wmi_ = std::make_unique<WmiModel>(*this);
    firmware_ = std::make_unique<FirmwareModel>(*this);
    pnp_ = std::make_unique<PnpModel>(*this);
    framework_ = std::make_unique<FrameworkModel>(*this);
    ta_ = std::make_unique<TaServiceModel>(*this);
}

Platform::~Platform()
{
    Shutdown();
    ta_.reset();
    framework_.reset();
    pnp_.reset();
    firmware_.reset();
    wmi_.reset();
    kernel_.reset();
    objects_.reset();
    pool_.reset();
    testThread_.reset();
    currentPlatform.store(nullptr);
}

Platform& Platform::Current()
{
    Platform* platform = currentPlatform.load();
    if (platform == nullptr) {
        std::fprintf(stderr, "*** host platform: a platform call was made with no Platform in existence\n");
        std::abort();
    }
    return *platform;
}

Platform* Platform::TryCurrent()
{
    return currentPlatform.load();
}

void Platform::AddDebugOutput(std::string line)
{
    std::lock_guard lock(debugMutex_);
    debugOutput_.push_back(std::move(line));
}

std::vector<std::string> Platform::DebugOutput() const
{
    std::lock_guard lock(debugMutex_);
    return debugOutput_;
}

void Platform::RecordStackUse(const std::string& entryPoint, std::size_t bytes)
{
    std::lock_guard lock(stackMutex_);
    std::size_t& deepest = stackUse_[entryPoint];
    deepest = std::max(deepest, bytes);
}

std::map<std::string, std::size_t> Platform::StackUse() const
{
    std::lock_guard lock(stackMutex_);
    return stackUse_;
}

void Platform::Shutdown()
{
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    ta_->Shutdown();
    framework_->Shutdown();
    pnp_->Shutdown();
    wmi_->Shutdown();
    kernel_->Shutdown();
}

} // namespace sim
