#include "sim/firmware.h"

#include "sim/platform.h"

namespace sim {

FirmwareModel::FirmwareModel(Platform& platform) : platform_(platform) {}

FirmwareModel::~FirmwareModel() = default;

void FirmwareModel::Shutdown() {}

}  // namespace sim
