// Host platform: device-interface registry and change notifications.
#pragma once

#include <cstddef>
#include <string>

#include "platform/ntbase.h"

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

    // Used by the TA service model and the framework model (keep these signatures):
    // An interface of `classGuid` becomes present under `symbolicLink`; registrations for its
    // class are told on the PnP notification thread.
    void AddInterface(const GUID& classGuid, const std::u16string& symbolicLink);
    // The interface goes away; registrations for its class are told of the removal.
    void RemoveInterface(const std::u16string& symbolicLink);
    // Whether an interface is present under this symbolic link.
    bool InterfacePresent(const std::u16string& symbolicLink) const;
    // Registrations still held by drivers, as verifier records (driver unload checks), and how many.
    std::size_t RegistrationCount() const;
    void ReportHeld(const std::string& when) const;

private:
    Platform& platform_;
};

}  // namespace sim
