// Host platform: WMI layer: data blocks, method dispatch, notification thread.
#pragma once

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

private:
    Platform& platform_;
};

}  // namespace sim
