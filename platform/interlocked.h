// Interlocked operations. On the host they are the compiler's sequentially consistent atomics,
// which is at least as strong as the full barriers the kernel's interlocked routines give.
#pragma once

#include "platform/ntbase.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
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
