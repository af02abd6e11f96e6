#include "sim/framework.h"

#include "sim/platform.h"

namespace sim {

FrameworkModel::FrameworkModel(Platform& platform) : platform_(platform) {}

FrameworkModel::~FrameworkModel() = default;

void FrameworkModel::Shutdown() {}

}  // namespace sim
