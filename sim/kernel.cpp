#include "sim/kernel.h"

#include "sim/platform.h"

namespace sim {

KernelModel::KernelModel(Platform& platform) : platform_(platform) {}

KernelModel::~KernelModel() = default;

void KernelModel::Shutdown() {}

}  // namespace sim
