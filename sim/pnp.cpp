#include "sim/pnp.h"

#include "sim/platform.h"

namespace sim {

PnpModel::PnpModel(Platform& platform) : platform_(platform) {}

PnpModel::~PnpModel() = default;

void PnpModel::Shutdown() {}

void PnpModel::AddInterface(const GUID&, const std::u16string&) {}
void PnpModel::RemoveInterface(const std::u16string&) {}
bool PnpModel::InterfacePresent(const std::u16string&) const { return false; }
std::size_t PnpModel::RegistrationCount() const { return 0; }
void PnpModel::ReportHeld(const std::string&) const {}

}  // namespace sim
