// IRQL levels, source annotations and code placement. On the host the annotations expand to
// nothing and PAGED_CODE() asks the host platform to check the calling thread's IRQL.
#pragma once

#include "platform/ntbase.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#else

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

#define _In_
#define _In_opt_
#define _In_reads_bytes_(size)
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_bytes_(size)
#define _Outptr_
#define _Outptr_result_maybenull_
#define _Use_decl_annotations_
#define _Must_inspect_result_
#define _Success_(expression)
#define _Function_class_(name)
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_same_
#define _When_(condition, annotation)
#define _Interlocked_operand_
#define __drv_aliasesMem
#define __drv_freesMem(kind)
#define __drv_allocatesMem(kind)

EXTERN_C_START

_IRQL_requires_max_(HIGH_LEVEL) KIRQL KeGetCurrentIrql(VOID);

// Host-only: the check behind PAGED_CODE(); records a verifier failure above APC_LEVEL.
VOID HostCheckPagedCode(_In_ PCSTR Function);

EXTERN_C_END

#define PAGED_CODE() HostCheckPagedCode(__func__)

#endif // _KERNEL_MODE
