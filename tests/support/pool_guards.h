// Under AddressSanitizer the host pool poisons each block's guard bytes, so a write past a block
// faults by itself. Tests about what the pool finds when such a block is freed lift the poison
// from the byte they overwrite first.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define FWTEST_POOL_GUARDS_POISONED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FWTEST_POOL_GUARDS_POISONED 1
#endif
#endif
#ifdef FWTEST_POOL_GUARDS_POISONED
#include <sanitizer/asan_interface.h>
#endif

namespace fwtest {

inline void AllowPoolOverrun(unsigned char* guardByte)
{
#ifdef FWTEST_POOL_GUARDS_POISONED
    ASAN_UNPOISON_MEMORY_REGION(guardByte, 1);
#else
    (void)guardByte;
#endif
}

} // namespace fwtest
