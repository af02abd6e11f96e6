#include "sim/pnp.h"

#include "sim/platform.h"

namespace sim {

PnpModel::PnpModel(Platform& platform) : platform_(platform) {}

PnpModel::~PnpModel() = default;

void PnpModel::Shutdown() {}

}  // namespace sim
