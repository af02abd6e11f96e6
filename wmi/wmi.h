// Firmware channel: the WMI blocks of the ACPI-WMI mapping device, the firmware methods,
// registration with the firmware, and the registration retry worker.
#pragma once

#include "driver/fwrelay.h"

// {71FA4E39-6913-49D2-86F3-5EEFC37852FE}: the method block, opened for execute.
inline constexpr GUID FirmwareMethodGuid = {
    0x71fa4e39, 0x6913, 0x49d2, {0x86, 0xf3, 0x5e, 0xef, 0xc3, 0x78, 0x52, 0xfe}};
// {91B2631C-A148-451B-8D3A-314FDDFE9D14}: the event block, opened for notification.
inline constexpr GUID FirmwareEventGuid = {
    0x91b2631c, 0xa148, 0x451b, {0x8d, 0x3a, 0x31, 0x4f, 0xdd, 0xfe, 0x9d, 0x14}};

// "ACPI\PNP0C14\PSMI_0", spelled out so that one definition serves both the kit (16-bit
// wchar_t) and the host (char16_t). The terminator is there only for RtlInitUnicodeString.
inline constexpr WCHAR FirmwareInstanceNameText[] = {'A', 'C', 'P',  'I', '\\', 'P', 'N', 'P', '0', 'C',
                                                     '1', '4', '\\', 'P', 'S',  'M', 'I', '_', '0', 0};

// Method ids of the method block.
inline constexpr ULONG METHOD_REGISTER = 1;
inline constexpr ULONG METHOD_UNREGISTER = 2;
inline constexpr ULONG METHOD_ACKNOWLEDGE = 3;
inline constexpr ULONG METHOD_SET_RESPONSE = 5;
inline constexpr ULONG METHOD_GET_REQUEST = 6;

// The 4-byte input and output of methods 1, 2 and 3, fixed when the driver is built.
#ifndef FWRELAY_METHOD_SIGNATURE
#error "FWRELAY_METHOD_SIGNATURE must be defined by the build"
#endif
inline constexpr ULONG MethodSignature = FWRELAY_METHOD_SIGNATURE;
inline constexpr ULONG METHOD_SIGNATURE_SIZE = sizeof(ULONG);

// Registration retries: one attempt a second, at most 600.
inline constexpr LONGLONG RETRY_INTERVAL = -10000000LL; // one second, relative, in 100 ns units
inline constexpr ULONG RETRY_LIMIT = 600;

EXTERN_C_START

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    ExecuteFirmwareMethod(_In_ PVOID MethodBlockObject, _In_ PUNICODE_STRING InstanceNameString, _In_ ULONG MethodId);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS OpenFirmwareChannel(_In_opt_ PDriverContext Context);

_IRQL_requires_max_(PASSIVE_LEVEL) VOID CloseFirmwareChannel(_In_ PDriverContext Context);

_IRQL_requires_max_(PASSIVE_LEVEL) VOID InitializeFirmwareChannel(_Out_ PDriverContext Context);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS
    StartRetryWorker(_In_ PDRIVER_OBJECT DriverObject, _In_ PDriverContext Context);

_IRQL_requires_max_(PASSIVE_LEVEL) VOID StopRetryWorker(_In_ PDriverContext Context);

KSTART_ROUTINE RegistrationRetryThread;

EXTERN_C_END
