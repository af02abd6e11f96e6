// Interlocked operations. On the host they are the compiler's sequentially consistent atomics,
// which is at least as strong as the full barriers the kernel's interlocked routines give.
#pragma once

#include "platform/ntbase.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>

// The kit defines InterlockedExchange8 only for some architectures (not Arm64) and
// InterlockedCompareExchange8 for none; the compiler intrinsics behind them exist on both Arm64
// and x64 (intrin.h, which the kit includes) and are full barriers, as the other interlocked
// routines are.
#ifndef InterlockedExchange8
#define InterlockedExchange8 _InterlockedExchange8
#endif
#ifndef InterlockedCompareExchange8
#define InterlockedCompareExchange8 _InterlockedCompareExchange8
#endif

#else

FORCEINLINE CHAR InterlockedExchange8(_Interlocked_operand_ CHAR volatile* Target, CHAR Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE CHAR InterlockedCompareExchange8(_Interlocked_operand_ CHAR volatile* Destination, CHAR ExChange,
                                             CHAR Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, ExChange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

FORCEINLINE LONG InterlockedCompareExchange(_Interlocked_operand_ LONG volatile* Destination, LONG ExChange,
                                            LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, ExChange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}
FORCEINLINE PVOID InterlockedExchangePointer(_Interlocked_operand_ PVOID volatile* Target, PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

FORCEINLINE PVOID InterlockedCompareExchangePointer(_Interlocked_operand_ PVOID volatile* Destination, PVOID ExChange,
                                                    PVOID Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, ExChange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comparand;
}

#endif // _KERNEL_MODE
