// Request relay: the exchange buffer shared with the firmware and the handling of one event.
#pragma once

#include "driver/fwrelay.h"

//
// Exchange buffer, little-endian and packed:
//   0                         RequestLength (4)
//   4                         Request (RequestLength)
//   4 + RequestLength         ResponseLength (4), at any alignment
//   8 + RequestLength         Response (ResponseLength)
//   8 + RequestLength + ResponseLength   trailer (4), inside DataLength, never touched
//
inline constexpr ULONG EXCHANGE_BUFFER_MINIMUM = 0x4018; // 16408 bytes
inline constexpr ULONG EXCHANGE_LENGTH_FIELD_SIZE = sizeof(ULONG);
inline constexpr ULONG EXCHANGE_TRAILER_SIZE = 4;
inline constexpr ULONG EXCHANGE_LENGTH_FIELDS_SIZE = 8; // RequestLength and ResponseLength
inline constexpr ULONG EXCHANGE_OVERHEAD = 12;          // both length fields and the trailer

// Where the two areas of a validated buffer lie. Offsets and lengths are as fetched.
typedef struct _EXCHANGE_LAYOUT {
    ULONG RequestLength;
    ULONG RequestOffset;
    ULONG ResponseLength;
    ULONG ResponseLengthOffset;
    ULONG ResponseOffset;
} EXCHANGE_LAYOUT, *PEXCHANGE_LAYOUT;

// IOCTL_TA_SEND: device type 0x56, function 1, METHOD_BUFFERED, FILE_WRITE_ACCESS.
#define IOCTL_TA_SEND CTL_CODE(0x56, 1, METHOD_BUFFERED, FILE_WRITE_ACCESS)
static_assert(IOCTL_TA_SEND == 0x00568004);

// The IOCTL's input record. The addresses are the driver's own pool buffers, valid until the
// send returns; the TA service reads the request and writes the response through them.
typedef struct _TaSendInput {
    ULONG64 Reserved0;       // zero
    ULONG64 Reserved1;       // zero
    ULONG64 RequestAddress;  // RequestCopy
    ULONG64 RequestLength;   // zero-extended
    ULONG64 ResponseAddress; // ResponseArea
    ULONG64 ResponseLength;  // zero-extended
} TaSendInput;
static_assert(sizeof(TaSendInput) == 48);

// The IOCTL's output record: zero-filled before the send, never read.
typedef struct _TaSendOutput {
    UCHAR Data[16];
} TaSendOutput;
static_assert(sizeof(TaSendOutput) == 16);

EXTERN_C_START

// Sizing, validation and write-back touch no platform call and hold no state.

// The size of buffer to provide for the fetch, from the size query's status and reported size.
_IRQL_requires_max_(DISPATCH_LEVEL) ULONG ComputeExchangeBufferSize(_In_ NTSTATUS QueryStatus, _In_ ULONG ReportedSize);

// Checks the fetched buffer's lengths against DataLength (which must not exceed BufferSize)
// and fills Layout. Returns FALSE if the buffer must be dropped; Layout is then left unwritten.
_Success_(return != FALSE) _IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    ValidateExchangeBuffer(_In_reads_bytes_(BufferSize) const UCHAR* Buffer, _In_ ULONG BufferSize,
                           _In_ ULONG DataLength, _Out_ PEXCHANGE_LAYOUT Layout);

// Writes both areas back at their places; every other byte stays as fetched.
_IRQL_requires_max_(DISPATCH_LEVEL) BOOLEAN
    WriteBackExchangeBuffer(_Inout_updates_bytes_(DataLength) UCHAR* Buffer, _In_ ULONG DataLength,
                            _In_ const EXCHANGE_LAYOUT* Layout, _In_opt_ const UCHAR* Request,
                            _In_opt_ const UCHAR* Response);

FWMI_NOTIFICATION_CALLBACK FirmwareEventCallback;

_IRQL_requires_max_(PASSIVE_LEVEL) VOID RelayFirmwareRequest(_In_ PDriverContext Context);

EXTERN_C_END
