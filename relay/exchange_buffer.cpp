// The exchange buffer's sizing, validation and write-back. No platform call and no state:
// the same rules serve the relay, the tests and the fuzzer.
#include "relay/relay.h"

// Every length here comes from the firmware and is untrusted. Sums are formed in 64 bits so
// that no combination of 32-bit lengths can wrap past a bound.

_Use_decl_annotations_
ULONG ComputeExchangeBufferSize(NTSTATUS QueryStatus, ULONG ReportedSize)
{
    if (NT_SUCCESS(QueryStatus) && ReportedSize >= EXCHANGE_BUFFER_MINIMUM) {
        return ReportedSize;
    }
    return EXCHANGE_BUFFER_MINIMUM;
}

_Use_decl_annotations_
BOOLEAN ValidateExchangeBuffer(const UCHAR* Buffer, ULONG BufferSize, ULONG DataLength, PEXCHANGE_LAYOUT Layout)
{
    ULONG requestLength;
    ULONG responseLength;

    // DataLength is what the platform says it wrote; never trust it past what was provided.
    if (DataLength > BufferSize) {
        return FALSE;
    }
    if (DataLength < EXCHANGE_LENGTH_FIELD_SIZE) {
        return FALSE;
    }
    RtlCopyMemory(&requestLength, Buffer, sizeof(requestLength));

    if ((ULONG64)DataLength < (ULONG64)requestLength + EXCHANGE_LENGTH_FIELDS_SIZE) {
        return FALSE;
    }
    RtlCopyMemory(&responseLength, Buffer + EXCHANGE_LENGTH_FIELD_SIZE + requestLength, sizeof(responseLength));

    if ((ULONG64)DataLength < (ULONG64)requestLength + responseLength + EXCHANGE_OVERHEAD) {
        return FALSE;
    }

    // Every offset below is now bounded by DataLength, so the 32-bit sums cannot wrap.
    Layout->RequestLength = requestLength;
    Layout->RequestOffset = EXCHANGE_LENGTH_FIELD_SIZE;
    Layout->ResponseLength = responseLength;
    Layout->ResponseLengthOffset = EXCHANGE_LENGTH_FIELD_SIZE + requestLength;
    Layout->ResponseOffset = EXCHANGE_LENGTH_FIELDS_SIZE + requestLength;
    return TRUE;
}

_Use_decl_annotations_
BOOLEAN WriteBackExchangeBuffer(UCHAR* Buffer, ULONG DataLength, const EXCHANGE_LAYOUT* Layout, const UCHAR* Request,
                                const UCHAR* Response)
{
    if ((ULONG64)DataLength < (ULONG64)Layout->RequestLength + Layout->ResponseLength + EXCHANGE_OVERHEAD) {
        return FALSE;
    }
    if ((Layout->RequestLength != 0 && Request == nullptr) || (Layout->ResponseLength != 0 && Response == nullptr)) {
        return FALSE;
    }

    RtlCopyMemory(Buffer, &Layout->RequestLength, sizeof(ULONG));
    if (Layout->RequestLength != 0) {
        RtlCopyMemory(Buffer + Layout->RequestOffset, Request, Layout->RequestLength);
    }
    RtlCopyMemory(Buffer + Layout->ResponseLengthOffset, &Layout->ResponseLength, sizeof(ULONG));
    if (Layout->ResponseLength != 0) {
        RtlCopyMemory(Buffer + Layout->ResponseOffset, Response, Layout->ResponseLength);
    }
    // The trailer and anything after it up to DataLength stay as fetched.
    return TRUE;
}
