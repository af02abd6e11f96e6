// Per-thread IRQL. Every simulated thread runs at PASSIVE_LEVEL unless a test raises it.
#pragma once

#include "platform/annotations.h"

namespace sim {

KIRQL CurrentIrql();
void SetCurrentIrql(KIRQL irql);

// Records a verifier failure when the calling thread runs above `maximum`.
void RequireIrqlAtMost(const char* operation, KIRQL maximum);

// Raises the calling thread's IRQL for the lifetime of the object (tests of IRQL checks).
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL irql);
    ~ScopedIrql();
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL previous_;
};

} // namespace sim
