// Plug and play device-interface change notifications.
#pragma once

#include "platform/annotations.h"

#if defined(_KERNEL_MODE)
#include <ntddk.h>
#include <initguid.h>
#include <wdmguid.h>
#else

typedef enum _IO_NOTIFICATION_EVENT_CATEGORY {
    EventCategoryReserved = 0,
    EventCategoryHardwareProfileChange = 1,
    EventCategoryDeviceInterfaceChange = 2,
    EventCategoryTargetDeviceChange = 3
} IO_NOTIFICATION_EVENT_CATEGORY;

#define PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES 0x00000001

typedef struct _DEVICE_INTERFACE_CHANGE_NOTIFICATION {
    USHORT Version;
    USHORT Size;
    GUID Event;
    GUID InterfaceClassGuid;
    PUNICODE_STRING SymbolicLinkName;
} DEVICE_INTERFACE_CHANGE_NOTIFICATION, *PDEVICE_INTERFACE_CHANGE_NOTIFICATION;
static_assert(sizeof(DEVICE_INTERFACE_CHANGE_NOTIFICATION) == 48);

inline constexpr GUID GUID_DEVICE_INTERFACE_ARRIVAL = {
    0xcb3a4004, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};
inline constexpr GUID GUID_DEVICE_INTERFACE_REMOVAL = {
    0xcb3a4005, 0x46f0, 0x11d0, {0xb0, 0x8f, 0x00, 0x60, 0x97, 0x13, 0x05, 0x3f}};

typedef NTSTATUS NTAPI DRIVER_NOTIFICATION_CALLBACK_ROUTINE(_In_ PVOID NotificationStructure,
                                                            _Inout_opt_ PVOID Context);
typedef DRIVER_NOTIFICATION_CALLBACK_ROUTINE* PDRIVER_NOTIFICATION_CALLBACK_ROUTINE;

EXTERN_C_START

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS NTAPI
    IoRegisterPlugPlayNotification(_In_ IO_NOTIFICATION_EVENT_CATEGORY EventCategory, _In_ ULONG EventCategoryFlags,
                                   _In_opt_ PVOID EventCategoryData, _In_ PDRIVER_OBJECT DriverObject,
                                   _In_ PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine,
                                   _Inout_opt_ __drv_aliasesMem PVOID Context, _Out_ PVOID* NotificationEntry);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS NTAPI IoUnregisterPlugPlayNotificationEx(_In_ PVOID NotificationEntry);

EXTERN_C_END

#endif // _KERNEL_MODE
