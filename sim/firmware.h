// Host platform: the platform firmware behind the ACPI-WMI mapping device.
#pragma once

namespace sim {

class Platform;

class FirmwareModel {
public:
    explicit FirmwareModel(Platform& platform);
    ~FirmwareModel();
    FirmwareModel(const FirmwareModel&) = delete;
    FirmwareModel& operator=(const FirmwareModel&) = delete;

    // Stops this model's threads, if any. Idempotent.
    void Shutdown();

private:
    Platform& platform_;
};

}  // namespace sim
