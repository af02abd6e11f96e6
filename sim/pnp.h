// Host platform: device-interface registry and change notifications.
#pragma once

namespace sim {

class Platform;

class PnpModel {
public:
    explicit PnpModel(Platform& platform);
    ~PnpModel();
    PnpModel(const PnpModel&) = delete;
    PnpModel& operator=(const PnpModel&) = delete;

    // Stops this model's threads, if any. Idempotent.
    void Shutdown();

private:
    Platform& platform_;
};

}  // namespace sim
