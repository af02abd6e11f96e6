// The short firmware methods (register, unregister, acknowledge), each carrying the signature.
#include "wmi/wmi.h"

// Resident: the relay acknowledges every event through this on the WMI notification thread.
_Use_decl_annotations_
NTSTATUS ExecuteFirmwareMethod(PVOID MethodBlockObject, PUNICODE_STRING InstanceNameString, ULONG MethodId)
{
    UCHAR buffer[METHOD_SIGNATURE_SIZE];
    ULONG outSize = METHOD_SIGNATURE_SIZE;
    const ULONG signature = MethodSignature;

    RtlCopyMemory(buffer, &signature, sizeof(buffer));

    // The firmware may write its answer over the signature; neither the bytes nor their count
    // mean anything to the driver.
    return IoWMIExecuteMethod(MethodBlockObject, InstanceNameString, MethodId, METHOD_SIGNATURE_SIZE, &outSize, buffer);
}
