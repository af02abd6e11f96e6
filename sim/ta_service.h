// Host platform: the TA service: a kernel driver answering IOCTL_TA_SEND.
#pragma once

namespace sim {

class Platform;

class TaServiceModel {
public:
    explicit TaServiceModel(Platform& platform);
    ~TaServiceModel();
    TaServiceModel(const TaServiceModel&) = delete;
    TaServiceModel& operator=(const TaServiceModel&) = delete;

    // Stops this model's threads, if any. Idempotent.
    void Shutdown();

private:
    Platform& platform_;
};

}  // namespace sim
