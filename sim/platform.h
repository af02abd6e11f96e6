// The host platform: one instance stands in for the machine a driver is loaded on.
//
// A test or the command-line program creates a Platform, which becomes the current one for
// the platform's C entry points (ExAllocatePool2, WdfDriverCreate, ...). Only one exists at a
// time. The creating thread is registered with the scheduler as the "test" thread.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/objects.h"
#include "sim/pool.h"
#include "sim/scheduler.h"
#include "sim/trace.h"
#include "sim/verifier.h"

namespace sim {

class WmiModel;
class FirmwareModel;
class KernelModel;
class PnpModel;
class FrameworkModel;
class TaServiceModel;

class Platform {
public:
    Platform();
    ~Platform();
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;

    // The platform the C entry points act on. Aborts with a message if none exists.
    static Platform& Current();
    static Platform* TryCurrent();

    sim::Scheduler& Sched() { return scheduler_; }
    sim::Verifier& Verifier() { return verifier_; }
    sim::FaultInjector& Faults() { return faults_; }
    sim::PoolModel& Pool() { return *pool_; }
    sim::Trace& Trace() { return trace_; }
    sim::ObjectManager& Objects() { return *objects_; }
    sim::WmiModel& Wmi() { return *wmi_; }
    sim::FirmwareModel& Firmware() { return *firmware_; }
    sim::KernelModel& Kernel() { return *kernel_; }
    sim::PnpModel& Pnp() { return *pnp_; }
    sim::FrameworkModel& Framework() { return *framework_; }
    sim::TaServiceModel& TaService() { return *ta_; }

    // DbgPrintEx output, one entry per call, formatted.
    void AddDebugOutput(std::string line);
    std::vector<std::string> DebugOutput() const;

    // The deepest stack an image used under each entry point the host called it through
    // (CallIntoDriver), in bytes, 0 where it made no call into the host; none for the linked
    // driver, which runs on the host's own frames.
    void RecordStackUse(const std::string& entryPoint, std::size_t bytes);
    std::map<std::string, std::size_t> StackUse() const;

    // Stops the platform's own threads (WMI and PnP notification threads) after letting them
    // drain. Idempotent; the destructor calls it.
    void Shutdown();

private:
    sim::Scheduler scheduler_;
    sim::Verifier verifier_;
    sim::FaultInjector faults_;
    sim::Trace trace_;
    std::unique_ptr<ThreadRegistration> testThread_;
    std::unique_ptr<sim::PoolModel> pool_;
    std::unique_ptr<sim::ObjectManager> objects_;
    std::unique_ptr<sim::KernelModel> kernel_;
    std::unique_ptr<sim::WmiModel> wmi_;
    std::unique_ptr<sim::FirmwareModel> firmware_;
    std::unique_ptr<sim::PnpModel> pnp_;
    std::unique_ptr<sim::FrameworkModel> framework_;
    std::unique_ptr<sim::TaServiceModel> ta_;
    mutable std::mutex debugMutex_;
    std::vector<std::string> debugOutput_;
    mutable std::mutex stackMutex_;
    std::map<std::string, std::size_t> stackUse_;
    bool shutDown_ = false;
};

} // namespace sim
