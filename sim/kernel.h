// Host platform: system threads, delays and waits on the virtual clock.
#pragma once

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

private:
    Platform& platform_;
};

}  // namespace sim
