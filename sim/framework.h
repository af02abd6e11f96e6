// Host platform: the driver framework: objects, driver, devices, I/O targets, loader, PnP manager.
#pragma once

namespace sim {

class Platform;

class FrameworkModel {
public:
    explicit FrameworkModel(Platform& platform);
    ~FrameworkModel();
    FrameworkModel(const FrameworkModel&) = delete;
    FrameworkModel& operator=(const FrameworkModel&) = delete;

    // Stops this model's threads, if any. Idempotent.
    void Shutdown();

private:
    Platform& platform_;
};

}  // namespace sim
