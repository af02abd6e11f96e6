// The relay of one firmware event: fetch, validate, forward to the TA service, write back,
// hand back, acknowledge.
//
// Runs on the WMI layer's notification thread and holds it until the TA service completes.
// Nothing is cached between events: every buffer below is allocated for one event and freed
// before the handler returns. All of this code stays resident.
#include "relay/relay.h"

#include "wmi/wmi.h"

static VOID SendToService(_In_ PDriverContext Context, _In_opt_ PUCHAR RequestCopy, _In_ ULONG RequestLength,
                          _In_opt_ PUCHAR ResponseArea, _In_ ULONG ResponseLength);

// Frees a per-event buffer if one is held and forgets it.
static VOID FreeEventBuffer(_Inout_ PUCHAR* Buffer)
{
    if (*Buffer != nullptr) {
        ExFreePoolWithTag(*Buffer, 0);
        *Buffer = nullptr;
    }
}

// Pool for one area of the exchange buffer. An empty area gets no allocation (a zero-byte
// request is a pool-caller error) and is sent to the TA service as address 0, length 0.
static BOOLEAN CopyArea(_In_reads_bytes_(Length) const UCHAR* Source, _In_ ULONG Length, _In_ ULONG Tag,
                        _Outptr_result_maybenull_ PUCHAR* Copy)
{
    *Copy = nullptr;
    if (Length == 0) {
        return TRUE;
    }
    *Copy = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_PAGED, Length, Tag));
    if (*Copy == nullptr) {
        return FALSE;
    }
    RtlCopyMemory(*Copy, Source, Length);
    return TRUE;
}

_Use_decl_annotations_
VOID FirmwareEventCallback(PVOID Wnode, PVOID Context)
{
    PDriverContext context = static_cast<PDriverContext>(Context);

    UNREFERENCED_PARAMETER(Wnode);

    if (context == nullptr) {
        return;
    }

    // The channel may be closing, or not yet fully open, on another thread. Without protection
    // the method block and the name copy could be released under this relay.
    if (!ExAcquireRundownProtection(&context->ChannelRundown)) {
        return;
    }

    RelayFirmwareRequest(context);

    // Whatever became of the relay, the firmware learns that its event was handled.
    (VOID) ExecuteFirmwareMethod(context->MethodBlock, &context->InstanceName, METHOD_ACKNOWLEDGE);

    ExReleaseRundownProtection(&context->ChannelRundown);
}

// Called with channel run-down protection held, so MethodBlock and InstanceName stay valid.
_Use_decl_annotations_
VOID RelayFirmwareRequest(PDriverContext Context)
{
    NTSTATUS status;
    ULONG reportedSize = 0;
    ULONG bufferSize;
    ULONG dataLength;
    ULONG handBackSize;
    PUCHAR exchangeBuffer = nullptr;
    PUCHAR requestCopy = nullptr;
    PUCHAR responseArea = nullptr;
    EXCHANGE_LAYOUT layout;

    status =
        IoWMIExecuteMethod(Context->MethodBlock, &Context->InstanceName, METHOD_GET_REQUEST, 0, &reportedSize, nullptr);
    bufferSize = ComputeExchangeBufferSize(status, reportedSize);

    exchangeBuffer = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_PAGED, bufferSize, POOL_TAG_EXCHANGE_BUFFER));
    if (exchangeBuffer == nullptr) {
        return;
    }

    dataLength = bufferSize;
    status = IoWMIExecuteMethod(Context->MethodBlock, &Context->InstanceName, METHOD_GET_REQUEST, 0, &dataLength,
                                exchangeBuffer);
    if (!NT_SUCCESS(status)) {
        goto Drop;
    }

    if (!ValidateExchangeBuffer(exchangeBuffer, bufferSize, dataLength, &layout)) {
        goto Drop;
    }

    if (!CopyArea(exchangeBuffer + layout.RequestOffset, layout.RequestLength, POOL_TAG_REQUEST_COPY, &requestCopy)) {
        goto Drop;
    }
    if (!CopyArea(exchangeBuffer + layout.ResponseOffset, layout.ResponseLength, POOL_TAG_RESPONSE_AREA,
                  &responseArea)) {
        goto Drop;
    }

    SendToService(Context, requestCopy, layout.RequestLength, responseArea, layout.ResponseLength);

    if (!WriteBackExchangeBuffer(exchangeBuffer, dataLength, &layout, requestCopy, responseArea)) {
        goto Drop;
    }

    FreeEventBuffer(&requestCopy);
    FreeEventBuffer(&responseArea);

    // The whole buffer goes back at the length the firmware delivered; its status tells the
    // relay nothing it could act on.
    handBackSize = dataLength;
    (VOID) IoWMIExecuteMethod(Context->MethodBlock, &Context->InstanceName, METHOD_SET_RESPONSE, dataLength,
                              &handBackSize, exchangeBuffer);

Drop:
    FreeEventBuffer(&responseArea);
    FreeEventBuffer(&requestCopy);
    FreeEventBuffer(&exchangeBuffer);
}

// Forwards both areas to the TA service if one is held. The target is read once, under
// target run-down protection, so the control device's cleanup cannot close it or let its
// deletion destroy it while this send may still use the handle.
_Use_decl_annotations_
static VOID SendToService(PDriverContext Context, PUCHAR RequestCopy, ULONG RequestLength, PUCHAR ResponseArea,
                          ULONG ResponseLength)
{
    WDFIOTARGET target;
    TaSendInput input;
    TaSendOutput output;
    WDF_MEMORY_DESCRIPTOR inputDescriptor;
    WDF_MEMORY_DESCRIPTOR outputDescriptor;

    if (!ExAcquireRundownProtection(&Context->TargetRundown)) {
        return;
    }

    target = static_cast<WDFIOTARGET>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(&Context->ServiceTarget), nullptr, nullptr));
    if (target != nullptr) {
        RtlZeroMemory(&input, sizeof(input));
        input.RequestAddress = (ULONG64)(ULONG_PTR)RequestCopy;
        input.RequestLength = RequestLength;
        input.ResponseAddress = (ULONG64)(ULONG_PTR)ResponseArea;
        input.ResponseLength = ResponseLength;
        RtlZeroMemory(&output, sizeof(output));

        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&inputDescriptor, &input, sizeof(input));
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&outputDescriptor, &output, sizeof(output));

        // No time-out: the TA service answers or the target's close cancels the send. A failed
        // send still hands back whatever the response area holds.
        (VOID) WdfIoTargetSendIoctlSynchronously(target, nullptr, IOCTL_TA_SEND, &inputDescriptor, &outputDescriptor,
                                                 nullptr, nullptr);
    }

    ExReleaseRundownProtection(&Context->TargetRundown);
}
