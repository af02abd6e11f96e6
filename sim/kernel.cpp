#include "sim/kernel.h"

#include "sim/platform.h"

namespace sim {

KernelModel::KernelModel(Platform& platform) : platform_(platform) {}

KernelModel::~KernelModel() = default;

void KernelModel::Shutdown() {}

std::size_t KernelModel::LiveSystemThreads() const { return 0; }
void KernelModel::ReportHeld(const std::string&) const {}

}  // namespace sim
