#include "sim/irql.h"

#include "sim/platform.h"

namespace sim {

namespace {
thread_local KIRQL tlsIrql = PASSIVE_LEVEL;
}

KIRQL CurrentIrql()
{
    return tlsIrql;
}

void SetCurrentIrql(KIRQL irql)
{
    tlsIrql = irql;
}

void RequireIrqlAtMost(const char* operation, KIRQL maximum)
{
    if (tlsIrql > maximum) {
        Platform::Current().Verifier().Report(operation, "", 0,
                                              "called at IRQL " + std::to_string(tlsIrql) + ", above the maximum " +
                                                  std::to_string(maximum));
    }
}

ScopedIrql::ScopedIrql(KIRQL irql) : previous_(tlsIrql)
{
    tlsIrql = irql;
}

ScopedIrql::~ScopedIrql()
{
    tlsIrql = previous_;
}

} // namespace sim

EXTERN_C KIRQL KeGetCurrentIrql(VOID)
{
    return sim::CurrentIrql();
}

EXTERN_C VOID HostCheckPagedCode(PCSTR Function)
{
    if (sim::CurrentIrql() > APC_LEVEL) {
        sim::Platform::Current().Verifier().Report("PAGED_CODE", Function, 0,
                                                   "pageable code ran above APC_LEVEL (bug check 0xD1)");
    }
}
