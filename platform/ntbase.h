// Basic kernel types, status codes, GUIDs and counted strings, with their Windows sizes.
#pragma once

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#else

#define EXTERN_C extern "C"
#define EXTERN_C_START                                                                                                 \
    extern "C"                                                                                                         \
    {
#define EXTERN_C_END }
// The Windows x64 calling convention, where the kit names one (NTAPI, FASTCALL, WDFAPI) and on
// every callback type: on an x86-64 host the kernel routines, the framework's routines and the
// callbacks they call use it, so that a driver linked into the host and the x64 Windows image
// (which knows no other) call the same host routines and are called through the same types. On
// x64 the kit's __stdcall, __fastcall and __cdecl all mean this one convention.
#if defined(__x86_64__)
#define NTAPI __attribute__((ms_abi))
#else
#define NTAPI
#endif
#define FASTCALL NTAPI
#define WDFAPI NTAPI
#define NTSYSAPI
#define NTKERNELAPI
#define FORCEINLINE inline
#define DECLSPEC_RESTRICT
#ifndef _In_
#define _In_
#endif

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef unsigned char UCHAR;
typedef UCHAR* PUCHAR;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef short SHORT;
typedef unsigned short USHORT;
typedef USHORT* PUSHORT;
typedef int LONG;
typedef LONG* PLONG;
typedef unsigned int ULONG;
typedef ULONG* PULONG;
typedef long long LONGLONG;
typedef LONGLONG* PLONGLONG;
typedef unsigned long long ULONGLONG;
typedef unsigned long long ULONG64;
typedef ULONG64* PULONG64;
typedef long long LONG_PTR;
typedef unsigned long long ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef char16_t WCHAR; // UTF-16 code unit, as on Windows; wchar_t is 32 bits here
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef ULONG ACCESS_MASK;
typedef CHAR KPROCESSOR_MODE;

typedef enum _MODE {
    KernelMode = 0,
    UserMode = 1,
    MaximumMode = 2
} MODE;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
typedef const GUID* LPCGUID;

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes in use, no terminator counted
    USHORT MaximumLength; // bytes of Buffer
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _FILE_OBJECT FILE_OBJECT, *PFILE_OBJECT;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_ATTRIBUTES OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef struct _CLIENT_ID CLIENT_ID, *PCLIENT_ID;
typedef struct _OBJECT_HANDLE_INFORMATION OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;
typedef struct _MDL MDL, *PMDL;

typedef NTSTATUS NTAPI DRIVER_INITIALIZE(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2 && sizeof(WCHAR) == 2);
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID) && sizeof(ULONG64) == 8 && sizeof(LARGE_INTEGER) == 8);
static_assert(sizeof(GUID) == 16 && sizeof(UNICODE_STRING) == 16);

#define UNREFERENCED_PARAMETER(P) ((void)(P))

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INVALID_SECURITY_DESCR ((NTSTATUS)0xC0000079L)
#define STATUS_INTEGER_OVERFLOW ((NTSTATUS)0xC0000095L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_REQUEST_NOT_ACCEPTED ((NTSTATUS)0xC00000D0L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_DRIVER_INTERNAL_ERROR ((NTSTATUS)0xC0000183L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_WMI_GUID_NOT_FOUND ((NTSTATUS)0xC0000295L)
#define STATUS_WMI_INSTANCE_NOT_FOUND ((NTSTATUS)0xC0000296L)
#define STATUS_WMI_ITEMID_NOT_FOUND ((NTSTATUS)0xC0000297L)
#define STATUS_WMI_GUID_DISCONNECTED ((NTSTATUS)0xC0000301L)

#define GENERIC_READ (0x80000000L)
#define GENERIC_WRITE (0x40000000L)
#define SYNCHRONIZE (0x00100000L)
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_OPEN 0x00000001
#define FILE_NON_DIRECTORY_FILE 0x00000040

#define CTL_CODE(DeviceType, Function, Method, Access)                                                                 \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS (0x0001)
#define FILE_WRITE_ACCESS (0x0002)

#endif // _KERNEL_MODE
