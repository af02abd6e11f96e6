// The framework's driver-entry glue, for the images scripts/wdk-check links on Linux only. On
// Windows the WDK's own entry library (WdfDriverEntry.lib) supplies FxDriverEntry and takes this
// file's place: windows/fwrelay.vcxproj neither compiles nor links it, and the host platform has
// its own (sim/framework_driver.cpp). It lives here, apart from the driver's sources, because it
// is the kit's part of the image, not the driver's.
//
// Written from the framework loader's contract (fxldr.h in the framework source: the version-1
// bind record WDF_BIND_INFO, WdfVersionBind, WdfVersionUnbind; fxlibrarycommon.cpp: the loader
// writes the table's address through FuncTable) and the public WDF_DRIVER_GLOBALS (wdfglobals.h:
// DisplaceDriverUnload asks the glue to put itself first in the unload chain).
//
// Its state is the kit's, not the driver's: the bind record, the registry path the unbind needs,
// and the framework's own unload routine, all written once at load and read at unload.
#include <ntddk.h>
#include <wdf.h>

EXTERN_C_START

// fxldr.h: WDF_VERSION and the version-1 WDF_BIND_INFO. The kit's public headers do not carry the
// loader's private interface, so the two records are declared here with fxldr.h's fields.
typedef struct _FX_BIND_VERSION {
    ULONG Major;
    ULONG Minor;
    ULONG Build;
} FX_BIND_VERSION;

typedef struct _FX_BIND_INFO {
    ULONG Size;
    PWCHAR Component;
    FX_BIND_VERSION Version;
    ULONG FuncCount;
    WDFFUNC* FuncTable;
    PVOID Module; // the loader's, for its own bookkeeping
} FX_BIND_INFO, *PFX_BIND_INFO;

// WDFLDR.SYS's exports (fxldr.h).
_Must_inspect_result_ NTSTATUS WdfVersionBind(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath,
                                              _Inout_ PFX_BIND_INFO BindInfo,
                                              _Out_ PWDF_DRIVER_GLOBALS* ComponentGlobals);
NTSTATUS WdfVersionUnbind(_In_ PUNICODE_STRING RegistryPath, _In_ PFX_BIND_INFO BindInfo,
                          _In_ PWDF_DRIVER_GLOBALS ComponentGlobals);

DRIVER_INITIALIZE DriverEntry;
DRIVER_INITIALIZE FxDriverEntry;
DRIVER_UNLOAD FxStubDriverUnload;

// Filled in by the loader at bind time; every framework call of the driver goes through them.
const WDFFUNC* WdfFunctions_01015 = nullptr;
PWDF_DRIVER_GLOBALS WdfDriverGlobals = nullptr;

EXTERN_C_END

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, FxDriverEntry)
#pragma alloc_text(PAGE, FxStubDriverUnload)
#endif

#define FX_STUB_POOL_TAG 'bStF'

static WCHAR KmdfComponentName[] = L"KmdfLibrary";

static FX_BIND_INFO BindInfo = {
    sizeof(FX_BIND_INFO),
    KmdfComponentName,
    {KMDF_VERSION_MAJOR, KMDF_VERSION_MINOR, 0},
    WdfFunctionTableNumEntries,
    // The loader stores the table's address through this pointer (fxlibrarycommon.cpp).
    reinterpret_cast<WDFFUNC*>(const_cast<WDFFUNC**>(&WdfFunctions_01015)),
    nullptr,
};

// The unbind at unload names the service by its registry path; the kernel's copy is gone by then.
static UNICODE_STRING RegistryPathCopy = {0, 0, nullptr};

static PDRIVER_UNLOAD FrameworkUnload = nullptr;

static VOID FreeRegistryPathCopy()
{
    if (RegistryPathCopy.Buffer != nullptr) {
        ExFreePoolWithTag(RegistryPathCopy.Buffer, FX_STUB_POOL_TAG);
        RegistryPathCopy.Buffer = nullptr;
    }
    RegistryPathCopy.Length = 0;
    RegistryPathCopy.MaximumLength = 0;
}

_Use_decl_annotations_
VOID FxStubDriverUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();

    // The framework's unload runs EvtDriverUnload and deletes the driver's objects.
    if (FrameworkUnload != nullptr) {
        FrameworkUnload(DriverObject);
        FrameworkUnload = nullptr;
    }
    if (WdfDriverGlobals != nullptr) {
        (VOID) WdfVersionUnbind(&RegistryPathCopy, &BindInfo, WdfDriverGlobals);
        WdfDriverGlobals = nullptr;
    }
    FreeRegistryPathCopy();
}

_Use_decl_annotations_
NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;

    // Zero-filled by the pool, so the copy is also terminated.
    RegistryPathCopy.Buffer =
        static_cast<PWCH>(ExAllocatePool2(POOL_FLAG_PAGED, RegistryPath->Length + sizeof(WCHAR), FX_STUB_POOL_TAG));
    if (RegistryPathCopy.Buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(RegistryPathCopy.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    RegistryPathCopy.Length = RegistryPath->Length;
    RegistryPathCopy.MaximumLength = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));

    status = WdfVersionBind(DriverObject, &RegistryPathCopy, &BindInfo, &WdfDriverGlobals);
    if (!NT_SUCCESS(status)) {
        WdfDriverGlobals = nullptr;
        FreeRegistryPathCopy();
        return status;
    }

    status = DriverEntry(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, "DriverEntry failed 0x%x for driver %wZ\n", status,
                   RegistryPath);
        (VOID) WdfVersionUnbind(&RegistryPathCopy, &BindInfo, WdfDriverGlobals);
        WdfDriverGlobals = nullptr;
        FreeRegistryPathCopy();
        return status;
    }

    // The framework asks to be told of unload through the glue, which unbinds after it.
    if (WdfDriverGlobals->DisplaceDriverUnload) {
        FrameworkUnload = DriverObject->DriverUnload;
        DriverObject->DriverUnload = FxStubDriverUnload;
    }
    return status;
}
