#include "sim/ta_service.h"

#include "sim/platform.h"

namespace sim {

TaServiceModel::TaServiceModel(Platform& platform) : platform_(platform) {}

TaServiceModel::~TaServiceModel() = default;

void TaServiceModel::Shutdown() {}

}  // namespace sim
