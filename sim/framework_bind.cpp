// Host platform, the framework loader's side of an x64 Windows image: WDFLDR.SYS's
// WdfVersionBind and WdfVersionUnbind, the driver globals and the 1.15 function table, and the
// kernel routines the image imports from ntoskrnl.exe.
//
// Contract (fxldr.h in the framework source: WDF_BIND_INFO and the two exports;
// src/framework/kmdf/src/librarycommon/fxlibrarycommon.cpp: the loader writes the table's address
// through FuncTable; the kit's wdfglobals.h: WDF_DRIVER_GLOBALS, whose Driver the kit's
// WdfGetDriver() reads inline): the bind checks the record's size, version 1.15, component and
// function count, hands back the globals with DisplaceDriverUnload set (the glue then puts its
// own unload first and unbinds after the framework's) and fills the table. Every entry the
// driver uses leads to the framework model with the globals first and the documented arguments
// after; every other entry leads to a verifier record naming the index and the function (the
// names of the kit's wdffuncenum.h), never to a crash or a silent success.
#include <array>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <utility>

#include "platform/debug.h"
#include "platform/object.h"
#include "platform/pnp.h"
#include "platform/pool.h"
#include "platform/rtl.h"
#include "platform/rundown.h"
#include "platform/thread.h"
#include "platform/wmi.h"
#include "sim/framework.h"
#include "sim/framework_internal.h"
#include "sim/image_arm64.h"
#include "sim/image_loader.h"
#include "sim/objects.h"
#include "sim/platform.h"
#include "sim/pool.h"
#include "sim/special_pool.h"
#include "sim/strings.h"

namespace sim {

namespace {

// fxldr.h, WDF_BIND_INFO (version 1) with its WDF_VERSION.
struct KitBindInfo {
    ULONG Size;
    const WCHAR* Component;
    struct {
        ULONG Major;
        ULONG Minor;
        ULONG Build;
    } Version;
    ULONG FuncCount;
    void* FuncTable; // where the loader writes the table's address
    PVOID Module;
};
static_assert(sizeof(KitBindInfo) == 48 && offsetof(KitBindInfo, FuncCount) == 28 &&
              offsetof(KitBindInfo, FuncTable) == 32);

constexpr const char* kFunctionNames[] = {
#include "sim/wdf_function_names.inc"
};
constexpr std::size_t kFunctionCount = sizeof(kFunctionNames) / sizeof(kFunctionNames[0]);
static_assert(kFunctionCount == 444, "KMDF 1.15's table (wdffuncenum.h: WdfFunctionTableNumEntries)");

FrameworkModel& Fx()
{
    return Platform::Current().Framework();
}

// An entry the model does not provide: the record names it; NTSTATUS callers see a failure.
template <std::size_t Index> ULONG_PTR NTAPI UnprovidedEntry()
{
    NoteImageStackDepth(__builtin_frame_address(0));
    Platform::Current().Verifier().Report(std::string("WdfFunctions_01015[") + std::to_string(Index) + "]", "", 0,
                                          std::string(kFunctionNames[Index]) +
                                              " called: the framework model does not provide it");
    return static_cast<ULONG_PTR>(static_cast<LONG_PTR>(STATUS_NOT_IMPLEMENTED));
}

template <std::size_t... I> constexpr std::array<const void*, kFunctionCount> UnprovidedTable(std::index_sequence<I...>)
{
    return {reinterpret_cast<const void*>(&UnprovidedEntry<I>)...};
}

// The entries the driver uses: the globals first, then the documented arguments.
NTSTATUS NTAPI DriverCreateEntry(PWDF_DRIVER_GLOBALS globals, PDRIVER_OBJECT driverObject,
                                 PCUNICODE_STRING registryPath, PWDF_OBJECT_ATTRIBUTES attributes,
                                 PWDF_DRIVER_CONFIG config, WDFDRIVER* driver)
{
    NTSTATUS status = Fx().DriverCreate(driverObject, registryPath, attributes, config, driver);
    if (NT_SUCCESS(status)) {
        Fx().PublishDriver(globals);
    }
    return status;
}
PDRIVER_OBJECT NTAPI DriverWdmGetDriverObjectEntry(PWDF_DRIVER_GLOBALS, WDFDRIVER driver)
{
    return Fx().DriverWdmGetDriverObject(driver);
}
PVOID NTAPI ObjectGetTypedContextWorkerEntry(PWDF_DRIVER_GLOBALS, WDFOBJECT object,
                                             PCWDF_OBJECT_CONTEXT_TYPE_INFO typeInfo)
{
    return Fx().GetTypedContext(object, typeInfo);
}
VOID NTAPI ObjectDeleteEntry(PWDF_DRIVER_GLOBALS, WDFOBJECT object)
{
    Fx().ObjectDelete(object);
}
NTSTATUS NTAPI DeviceInitAssignNameEntry(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init, PCUNICODE_STRING name)
{
    return Fx().DeviceInitAssignName(init, name);
}
VOID NTAPI DeviceInitSetCharacteristicsEntry(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init, ULONG characteristics,
                                             BOOLEAN orInValues)
{
    Fx().DeviceInitSetCharacteristics(init, characteristics, orInValues);
}
NTSTATUS NTAPI DeviceCreateEntry(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT* init, PWDF_OBJECT_ATTRIBUTES attributes,
                                 WDFDEVICE* device)
{
    return Fx().DeviceCreate(init, attributes, device);
}
VOID NTAPI DeviceInitFreeEntry(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT init)
{
    Fx().DeviceInitFree(init);
}
PWDFDEVICE_INIT NTAPI ControlDeviceInitAllocateEntry(PWDF_DRIVER_GLOBALS, WDFDRIVER driver, const UNICODE_STRING* sddl)
{
    return Fx().ControlDeviceInitAllocate(driver, sddl);
}
VOID NTAPI ControlFinishInitializingEntry(PWDF_DRIVER_GLOBALS, WDFDEVICE device)
{
    Fx().ControlFinishInitializing(device);
}
NTSTATUS NTAPI IoTargetCreateEntry(PWDF_DRIVER_GLOBALS, WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes,
                                   WDFIOTARGET* target)
{
    return Fx().IoTargetCreate(device, attributes, target);
}
NTSTATUS NTAPI IoTargetOpenEntry(PWDF_DRIVER_GLOBALS, WDFIOTARGET target, PWDF_IO_TARGET_OPEN_PARAMS params)
{
    return Fx().IoTargetOpen(target, params);
}
VOID NTAPI IoTargetCloseEntry(PWDF_DRIVER_GLOBALS, WDFIOTARGET target)
{
    Fx().IoTargetClose(target);
}
NTSTATUS NTAPI IoTargetSendIoctlSynchronouslyEntry(PWDF_DRIVER_GLOBALS, WDFIOTARGET target, WDFREQUEST request,
                                                   ULONG ioctlCode, PWDF_MEMORY_DESCRIPTOR input,
                                                   PWDF_MEMORY_DESCRIPTOR output, PWDF_REQUEST_SEND_OPTIONS options,
                                                   PULONG_PTR bytesReturned)
{
    return Fx().IoTargetSendIoctlSynchronously(target, request, ioctlCode, input, output, options, bytesReturned);
}

struct ProvidedEntry {
    std::size_t index; // wdffuncenum.h
    const void* routine;
};
const ProvidedEntry kProvided[] = {
    {116, Measured<&DriverCreateEntry>()},
    {118, Measured<&DriverWdmGetDriverObjectEntry>()},
    {202, Measured<&ObjectGetTypedContextWorkerEntry>()},
    {208, Measured<&ObjectDeleteEntry>()},
    {67, Measured<&DeviceInitAssignNameEntry>()},
    {70, Measured<&DeviceInitSetCharacteristicsEntry>()},
    {75, Measured<&DeviceCreateEntry>()},
    {54, Measured<&DeviceInitFreeEntry>()},
    {25, Measured<&ControlDeviceInitAllocateEntry>()},
    {27, Measured<&ControlFinishInitializingEntry>()},
    {167, Measured<&IoTargetCreateEntry>()},
    {168, Measured<&IoTargetOpenEntry>()},
    {170, Measured<&IoTargetCloseEntry>()},
    {186, Measured<&IoTargetSendIoctlSynchronouslyEntry>()},
};

// The framework's unload routine, which it puts in the DRIVER_OBJECT at WdfDriverCreate
// (src/framework/shared/core/fxdriver.cpp, FxDriver::Initialize) and the glue calls first.
VOID NTAPI FrameworkDriverUnload(PDRIVER_OBJECT)
{
    NoteImageStackDepth(__builtin_frame_address(0));
    Fx().RunFrameworkUnload();
}

NTSTATUS NTAPI VersionBind(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, KitBindInfo* bindInfo,
                           PWDF_DRIVER_GLOBALS* globals)
{
    return Fx().Bind(driverObject, registryPath, bindInfo, globals);
}

NTSTATUS NTAPI VersionUnbind(PUNICODE_STRING registryPath, KitBindInfo* bindInfo, PWDF_DRIVER_GLOBALS globals)
{
    return Fx().Unbind(registryPath, bindInfo, globals);
}

// The kernel's memcpy and memset, called with the Windows convention.
PVOID NTAPI KernelMemcpy(PVOID destination, const VOID* source, SIZE_T length)
{
    return std::memcpy(destination, source, length);
}
PVOID NTAPI KernelMemset(PVOID destination, int value, SIZE_T length)
{
    return std::memset(destination, value, length);
}
// The Arm64 kit reads the IRQL through this import (x64 reads CR8 inline).
KIRQL NTAPI KernelGetCurrentIrql()
{
    return KeGetCurrentIrql();
}

} // namespace

const void* HostImport(const std::string& module, const std::string& name)
{
    struct Export {
        const char* module;
        const char* name;
        const void* routine;
    };
    static const Export kExports[] = {
        {"ntoskrnl.exe", "DbgPrint", reinterpret_cast<const void*>(&KernelDbgPrint)},
        {"ntoskrnl.exe", "DbgPrintEx", reinterpret_cast<const void*>(&DbgPrintEx)},
        {"ntoskrnl.exe", "ExAcquireRundownProtection", Measured<&ExAcquireRundownProtection>()},
        {"ntoskrnl.exe", "ExAllocatePool2", Measured<&ExAllocatePool2>()},
        {"ntoskrnl.exe", "ExFreePoolWithTag", Measured<&ExFreePoolWithTag>()},
        {"ntoskrnl.exe", "ExInitializeRundownProtection", Measured<&ExInitializeRundownProtection>()},
        {"ntoskrnl.exe", "ExReInitializeRundownProtection", Measured<&ExReInitializeRundownProtection>()},
        {"ntoskrnl.exe", "ExReleaseRundownProtection", Measured<&ExReleaseRundownProtection>()},
        {"ntoskrnl.exe", "ExWaitForRundownProtectionRelease", Measured<&ExWaitForRundownProtectionRelease>()},
        {"ntoskrnl.exe", "IoCreateSystemThread", Measured<&IoCreateSystemThread>()},
        {"ntoskrnl.exe", "IoRegisterPlugPlayNotification", Measured<&IoRegisterPlugPlayNotification>()},
        {"ntoskrnl.exe", "IoUnregisterPlugPlayNotificationEx", Measured<&IoUnregisterPlugPlayNotificationEx>()},
        {"ntoskrnl.exe", "KeGetCurrentIrql", Measured<&KernelGetCurrentIrql>()},
        {"ntoskrnl.exe", "IoWMIExecuteMethod", Measured<&IoWMIExecuteMethod>()},
        {"ntoskrnl.exe", "IoWMIOpenBlock", Measured<&IoWMIOpenBlock>()},
        {"ntoskrnl.exe", "IoWMISetNotificationCallback", Measured<&IoWMISetNotificationCallback>()},
        {"ntoskrnl.exe", "KeDelayExecutionThread", Measured<&KeDelayExecutionThread>()},
        {"ntoskrnl.exe", "KeWaitForSingleObject", Measured<&KeWaitForSingleObject>()},
        {"ntoskrnl.exe", "ObReferenceObjectByHandle", Measured<&ObReferenceObjectByHandle>()},
        {"ntoskrnl.exe", "ObfDereferenceObject", Measured<&ObfDereferenceObject>()},
        {"ntoskrnl.exe", "RtlCompareMemory", Measured<&RtlCompareMemory>()},
        {"ntoskrnl.exe", "RtlInitUnicodeString", Measured<&RtlInitUnicodeString>()},
        {"ntoskrnl.exe", "ZwClose", Measured<&ZwClose>()},
        {"ntoskrnl.exe", "memcpy", Measured<&KernelMemcpy>()},
        {"ntoskrnl.exe", "memset", Measured<&KernelMemset>()},
        {"WDFLDR.SYS", "WdfVersionBind", Measured<&VersionBind>()},
        {"WDFLDR.SYS", "WdfVersionUnbind", Measured<&VersionUnbind>()},
    };
    for (const Export& e : kExports) {
        // Module names compare without regard to case, as the kernel's loader compares them.
        if (strcasecmp(e.module, module.c_str()) == 0 && name == e.name) {
            return e.routine;
        }
    }
    return nullptr;
}

NTSTATUS FrameworkModel::Bind(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, void* record,
                              PWDF_DRIVER_GLOBALS* globals)
{
    static constexpr const char* kOp = "WdfVersionBind";
    auto* bindInfo = static_cast<KitBindInfo*>(record);
    platform_.Trace().Add("driver", "framework", kOp, registryPath != nullptr ? Narrow(*registryPath) : "");
    std::string problem;
    if (bindInfo == nullptr || globals == nullptr || driverObject == nullptr) {
        problem = "NULL DriverObject, BindInfo or ComponentGlobals";
    } else if (bindInfo->Size != sizeof(KitBindInfo)) {
        problem = "WDF_BIND_INFO.Size " + std::to_string(bindInfo->Size);
    } else if (bindInfo->Version.Major != 1 || bindInfo->Version.Minor != 15) {
        problem = "version " + std::to_string(bindInfo->Version.Major) + "." + std::to_string(bindInfo->Version.Minor) +
                  " where the model provides 1.15";
    } else if (bindInfo->Component == nullptr || std::u16string(bindInfo->Component) != u"KmdfLibrary") {
        problem = "component is not KmdfLibrary";
    } else if (bindInfo->FuncCount != kFunctionCount) {
        problem = "FuncCount " + std::to_string(bindInfo->FuncCount) + " where 1.15's table has " +
                  std::to_string(kFunctionCount);
    } else if (bindInfo->FuncTable == nullptr) {
        problem = "NULL FuncTable";
    }
    if (problem.empty()) {
        std::lock_guard lock(mutex_);
        if (driverObject != driverObject_ || !driverEntryThread_) {
            problem = "not called from the entry point of the driver being loaded";
        }
    }
    if (!problem.empty()) {
        platform_.Verifier().Report(kOp, "", 0, problem);
        return STATUS_INVALID_PARAMETER;
    }
    static const std::array<const void*, kFunctionCount> unprovided =
        UnprovidedTable(std::make_index_sequence<kFunctionCount>());
    {
        std::lock_guard lock(mutex_);
        functionTable_.assign(unprovided.begin(), unprovided.end());
        for (const ProvidedEntry& entry : kProvided) {
            functionTable_[entry.index] = entry.routine;
        }
        if (image_ != nullptr && image_->Emulated()) {
            // The emulated CPU reaches each entry at its host address.
            for (std::size_t i = 0; i < kFunctionCount; ++i) {
                arm64::ExposeHostRoutine(functionTable_[i], kFunctionNames[i]);
            }
            arm64::ExposeHostRoutine(reinterpret_cast<const void*>(&FrameworkDriverUnload), "FrameworkDriverUnload");
        }
        globals_ = MakeGuestVisible<WDF_DRIVER_GLOBALS>();
        std::snprintf(globals_->DriverName, sizeof globals_->DriverName, "%s", "fwrelay");
        globals_->DisplaceDriverUnload = TRUE;
        *globals = globals_.get();
        const void* const* table = functionTable_.data();
        std::memcpy(bindInfo->FuncTable, &table, sizeof table);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FrameworkModel::Unbind(PUNICODE_STRING, void* record, PWDF_DRIVER_GLOBALS globals)
{
    static constexpr const char* kOp = "WdfVersionUnbind";
    platform_.Trace().Add("driver", "framework", kOp, "");
    std::uint64_t driver = 0;
    {
        std::lock_guard lock(mutex_);
        if (record == nullptr || globals == nullptr || globals != globals_.get()) {
            platform_.Verifier().Report(kOp, "", 0, "BindInfo or ComponentGlobals not those of the bind");
            return STATUS_INVALID_PARAMETER;
        }
        driver = driver_;
    }
    // After a failed DriverEntry the unbind deletes what the driver created, with no
    // EvtDriverUnload (fxlibrarycommon.cpp, FxLibraryCommonUnregisterClient).
    if (driver != 0) {
        DeleteTree(driver, "unbind");
    }
    std::lock_guard lock(mutex_);
    driver_ = 0;
    version_.reset();
    unbound_ = true;
    return STATUS_SUCCESS;
}

void FrameworkModel::PublishDriver(PWDF_DRIVER_GLOBALS globals)
{
    std::lock_guard lock(mutex_);
    if (globals == globals_.get() && globals_ != nullptr) {
        globals_->Driver = fx::AsHandle<WDFDRIVER>(driver_);
        if (driverObject_ != nullptr) {
            driverObject_->SetKitDriverUnload(reinterpret_cast<PVOID>(&FrameworkDriverUnload));
        }
    }
}

NTSTATUS FrameworkModel::LoadDriver(DriverImage& image, std::u16string registryPath)
{
    {
        std::lock_guard lock(mutex_);
        image_ = &image;
        unbound_ = false;
    }
    if (image.Emulated()) {
        // The emulated CPU sees only the arena: the driver's pool blocks come from it, and every
        // access of the driver is checked against them there.
        if (platform_.Pool().Placement() != PlacementKind::Arena) {
            platform_.Pool().PlaceWith(MakeArenaPlacement());
        }
    } else if (platform_.Pool().Placement() == PlacementKind::Host) {
        // No sanitizer sees the image's own loads and stores: its blocks lie on pages of their own,
        // so that an overrun or a use after free faults at once.
        if (auto special = MakeSpecialPool(); special != nullptr) {
            platform_.Pool().PlaceWith(std::move(special));
        } else {
            std::fputs(
                "fwrelay: no address space for special pool, or four in use at once already: the image's blocks lie in "
                "host memory\n",
                stderr);
        }
    }
    NTSTATUS status = LoadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(image.EntryPoint()), std::move(registryPath));
    if (NT_SUCCESS(status)) {
        // The kernel frees INIT once the entry point has succeeded.
        image.DiscardInit();
        platform_.Trace().Add("kernel", "driver", "discard INIT", "");
    } else {
        std::lock_guard lock(mutex_);
        image_ = nullptr;
    }
    return status;
}

} // namespace sim
