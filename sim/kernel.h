// Host platform: system threads, delays and waits on the virtual clock.
#pragma once

#include <cstddef>
#include <string>

#include "platform/ntbase.h"

namespace sim {

class Platform;

class KernelModel {
public:
    explicit KernelModel(Platform& platform);
    ~KernelModel();
    KernelModel(const KernelModel&) = delete;
    KernelModel& operator=(const KernelModel&) = delete;

    // Stops this model's threads, if any. Idempotent.
    void Shutdown();

    // Used by the framework model at driver unload (keep these signatures):
    std::size_t LiveSystemThreads() const;
    void ReportHeld(const std::string& when) const;  // live system threads, as verifier records

private:
    Platform& platform_;
};

}  // namespace sim
