// Host platform: WMI layer: data blocks, method dispatch, notification thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/ntbase.h"

namespace sim {

class Platform;

class WmiModel {
public:
    explicit WmiModel(Platform& platform);
    ~WmiModel();
    WmiModel(const WmiModel&) = delete;
    WmiModel& operator=(const WmiModel&) = delete;

    // Stops this model's threads, if any. Idempotent.
    void Shutdown();

    // Used by the framework model at driver unload (keep this signature): notification
    // callbacks still installed on blocks the driver holds, or still running, as verifier records.
    void ReportHeld(const std::string& when) const;

private:
    Platform& platform_;
};

}  // namespace sim
