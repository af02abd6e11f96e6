#include "sim/wmi.h"

#include "sim/platform.h"

namespace sim {

WmiModel::WmiModel(Platform& platform) : platform_(platform) {}

WmiModel::~WmiModel() = default;

void WmiModel::Shutdown() {}

void WmiModel::ReportHeld(const std::string&) const {}

}  // namespace sim
