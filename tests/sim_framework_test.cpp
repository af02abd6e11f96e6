// The framework model: loader, object tree and deletion order, handle checks, control devices,
// unload, and I/O targets with sends racing close and parent deletion. The driver here is a
// small set of local callbacks, scripted per test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pnp.h"
#include "platform/pool.h"
#include "platform/rtl.h"
#include "platform/wdfdevice.h"
#include "platform/wdfdriver.h"
#include "platform/wdfiotarget.h"
#include "sim/framework.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/pnp.h"
#include "sim/platform.h"
#include "sim/ta_service.h"

namespace {

struct NodeContext {
    int value;
    char name[24];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NodeContext, GetNode)

struct OtherContext {
    ULONG64 unused;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OtherContext, GetOther)

constexpr ULONG kTag = 'F' | ('W' << 8) | ('T' << 16) | ('T' << 24);
constexpr ULONG kIoctl = CTL_CODE(0x56, 1, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr GUID kInterfaceClass = {0x3fa24ef8, 0x153b, 0x4b8a, {0xa0, 0x39, 0x67, 0x03, 0x77, 0xb9, 0x3e, 0x05}};
const std::u16string kLink = u"\\??\\ROOT#SERVICE#0000#{3fa24ef8-153b-4b8a-a039-670377b93e05}";

// What the local driver does; each test fills in the parts it needs.
struct Script {
    std::function<NTSTATUS(PDRIVER_OBJECT, PUNICODE_STRING)> entry;
    std::function<NTSTATUS(WDFDRIVER, PWDFDEVICE_INIT)> deviceAdd;
    std::function<void(WDFDRIVER)> unload;
    std::function<void(WDFOBJECT, const std::string&)> onDestroy;
    std::mutex mutex;
    std::vector<std::string> events;

    void Record(std::string event)
    {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::vector<std::string> Events()
    {
        std::lock_guard lock(mutex);
        return events;
    }
};
Script* script = nullptr;

std::string NameOf(WDFOBJECT object)
{
    NodeContext* node = GetNode(object);
    return node != nullptr ? node->name : "?";
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    return script->entry(driverObject, registryPath);
}

NTSTATUS WDFAPI DeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT init)
{
    return script->deviceAdd ? script->deviceAdd(driver, init) : STATUS_SUCCESS;
}

VOID WDFAPI Unload(WDFDRIVER driver)
{
    script->Record("unload");
    if (script->unload) {
        script->unload(driver);
    }
}

NTSTATUS NTAPI AcceptNotification(PVOID, PVOID)
{
    return STATUS_SUCCESS;
}

VOID WDFAPI Cleanup(WDFOBJECT object)
{
    script->Record("cleanup " + NameOf(object));
}

VOID WDFAPI Destroy(WDFOBJECT object)
{
    const std::string name = NameOf(object); // the context is still readable in destroy
    script->Record("destroy " + name);
    if (script->onDestroy) {
        script->onDestroy(object, name);
    }
}

// Attributes with both callbacks and a NodeContext named `name`; set after creation by Name().
WDF_OBJECT_ATTRIBUTES NodeAttributes()
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NodeContext);
    attributes.EvtCleanupCallback = Cleanup;
    attributes.EvtDestroyCallback = Destroy;
    return attributes;
}

void Name(WDFOBJECT object, const char* name)
{
    std::strncpy(GetNode(object)->name, name, sizeof(NodeContext::name) - 1);
}

UNICODE_STRING Text(const char16_t* text)
{
    UNICODE_STRING string;
    RtlInitUnicodeString(&string, text);
    return string;
}

class FrameworkTest : public testing::Test {
protected:
    FrameworkTest()
    {
        script = &script_;
        platform_.Verifier().SetEcho(false);
    }
    ~FrameworkTest() override { script = nullptr; }

    void TearDown() override { EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe(); }

    sim::FrameworkModel& Fx() { return platform_.Framework(); }

    void FailNext(const std::string& operation)
    {
        platform_.Faults().FailNth(operation, platform_.Faults().Count(operation) + 1);
    }

    // Expects exactly one verifier record, containing `text`, and clears it.
    void ExpectOneRecord(const std::string& text, const std::string& operation = "")
    {
        auto records = platform_.Verifier().Records();
        ASSERT_EQ(records.size(), 1U) << platform_.Verifier().Describe();
        EXPECT_NE(records[0].message.find(text), std::string::npos) << records[0].message;
        if (!operation.empty()) {
            EXPECT_EQ(records[0].operation, operation);
        }
        platform_.Verifier().Clear();
    }

    // DriverEntry: WdfDriverCreate with a named context and both callbacks, unload callback set.
    void LoadDriver(ULONG flags = 0)
    {
        script_.entry = [flags](PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
            WDF_DRIVER_CONFIG config;
            WDF_DRIVER_CONFIG_INIT(&config, (flags & WdfDriverInitNonPnpDriver) != 0 ? nullptr : DeviceAdd);
            config.EvtDriverUnload = Unload;
            config.DriverInitFlags = flags;
            config.DriverPoolTag = kTag;
            WDF_OBJECT_ATTRIBUTES attributes = NodeAttributes();
            WDFDRIVER driver = nullptr;
            NTSTATUS status = WdfDriverCreate(driverObject, registryPath, &attributes, &config, &driver);
            if (NT_SUCCESS(status)) {
                Name(driver, "driver");
            }
            return status;
        };
        ASSERT_EQ(Fx().LoadDriver(Entry), STATUS_SUCCESS);
    }

    // A PnP device added through EvtDriverDeviceAdd, named `name`.
    WDFDEVICE AddDevice(const char* name)
    {
        script_.deviceAdd = [name](WDFDRIVER, PWDFDEVICE_INIT init) {
            WDF_OBJECT_ATTRIBUTES attributes = NodeAttributes();
            WDFDEVICE device = nullptr;
            NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
            if (NT_SUCCESS(status)) {
                Name(device, name);
            }
            return status;
        };
        WDFDEVICE device = nullptr;
        EXPECT_EQ(Fx().AddDevice(&device), STATUS_SUCCESS);
        return device;
    }

    WDFDEVICE CreateControlDevice(const char* name, const char16_t* sddl = u"D:P(A;;GA;;;SY)")
    {
        UNICODE_STRING text = Text(sddl);
        PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(WdfGetDriver(), &text);
        EXPECT_NE(init, nullptr);
        WDF_OBJECT_ATTRIBUTES attributes = NodeAttributes();
        WDFDEVICE device = nullptr;
        EXPECT_EQ(WdfDeviceCreate(&init, &attributes, &device), STATUS_SUCCESS);
        EXPECT_EQ(init, nullptr);
        Name(device, name);
        return device;
    }

    WDFIOTARGET CreateTarget(WDFDEVICE device, const char* name)
    {
        WDF_OBJECT_ATTRIBUTES attributes = NodeAttributes();
        WDFIOTARGET target = nullptr;
        EXPECT_EQ(WdfIoTargetCreate(device, &attributes, &target), STATUS_SUCCESS);
        Name(target, name);
        return target;
    }

    NTSTATUS Open(WDFIOTARGET target, const std::u16string& link = kLink)
    {
        UNICODE_STRING name = Text(link.c_str());
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &name, GENERIC_READ | GENERIC_WRITE);
        return WdfIoTargetOpen(target, &params);
    }

    static NTSTATUS Send(WDFIOTARGET target, void* in, ULONG inLength, void* out, ULONG outLength,
                         ULONG_PTR* bytes = nullptr)
    {
        WDF_MEMORY_DESCRIPTOR input;
        WDF_MEMORY_DESCRIPTOR output;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&input, in, inLength);
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&output, out, outLength);
        return WdfIoTargetSendIoctlSynchronously(target, nullptr, kIoctl, &input, &output, nullptr, bytes);
    }

    // A handler that holds every request until the framework cancels it.
    void BlockUntilCancelled()
    {
        Fx().SetIoctlHandlerForTest([this](const std::u16string&, ULONG, const void*, ULONG, void*, ULONG,
                                           ULONG_PTR* information, const std::function<bool()>& cancelled) {
            script_.Record("send blocked");
            auto& sched = platform_.Sched();
            std::unique_lock lock(sched.Mutex());
            sched.WaitUntil(lock, cancelled);
            lock.unlock();
            script_.Record("send cancelled");
            *information = 0;
            return STATUS_CANCELLED;
        });
    }

    // Runs a send that the target holds until cancelled, on a registered thread of its own, and
    // returns once the send is in flight; the send's status lands in *status.
    std::thread StartBlockedSend(WDFIOTARGET target, std::atomic<NTSTATUS>* status)
    {
        BlockUntilCancelled();
        auto* token = platform_.Sched().ReserveThread("sender");
        std::thread sender([this, token, target, status] {
            platform_.Sched().AdoptReservation(token);
            unsigned char in[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            unsigned char out[8] = {};
            *status = Send(target, in, sizeof in, out, sizeof out);
            platform_.Sched().UnregisterCurrentThread();
        });
        EXPECT_TRUE(platform_.Sched().RunUntil([&] { return Fx().SendsInFlight() == 1; },
                                               platform_.Sched().Now() + sim::kTicksPerSecond));
        return sender;
    }

    sim::Platform platform_;
    Script script_;
};

// ---- Loader ----

TEST_F(FrameworkTest, FailedDriverEntryPrintsTheFailureAndUnbindsWithoutUnload)
{
    script_.entry = [this](PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
        config.EvtDriverUnload = Unload;
        WDF_OBJECT_ATTRIBUTES attributes = NodeAttributes();
        WDFDRIVER driver = nullptr;
        EXPECT_EQ(WdfDriverCreate(driverObject, registryPath, &attributes, &config, &driver), STATUS_SUCCESS);
        Name(driver, "driver");
        CreateControlDevice("control");
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    EXPECT_EQ(Fx().LoadDriver(Entry), STATUS_INSUFFICIENT_RESOURCES);

    auto output = platform_.DebugOutput();
    ASSERT_EQ(output.size(), 1U);
    EXPECT_EQ(output[0], "DriverEntry failed 0xc000009a for driver "
                         "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\fwrelay\n");
    EXPECT_EQ(script_.Events(),
              (std::vector<std::string>{"cleanup control", "cleanup driver", "destroy control", "destroy driver"}));
    EXPECT_FALSE(Fx().Loaded());
    // The globals keep the dead handle; the late call is the misuse.
    EXPECT_NE(WdfGetDriver(), nullptr);
    ExpectOneRecord("WDFDRIVER was deleted", "WdfGetDriver");
    EXPECT_EQ(Fx().LiveObjectCount(), 0U);
    EXPECT_TRUE(platform_.Objects().LiveObjects().empty()) << "the DRIVER_OBJECT must be released";
}

// The bind a Windows image's entry glue asks for: a record that is not KMDF 1.15's is refused
// with a record naming the field; a good one gets the kit's globals and a full table whose every
// entry the model does not provide is a verifier record naming its index and function.
TEST_F(FrameworkTest, BindChecksTheRecordAndNamesEveryUnprovidedTableEntry)
{
    struct BindRecord { // fxldr.h, WDF_BIND_INFO version 1
        ULONG size;
        const WCHAR* component;
        ULONG major, minor, build;
        ULONG functionCount;
        void* functionTable;
        PVOID module;
    };
    struct Case {
        const char* name;
        std::function<void(BindRecord&)> change;
        const char* problem; // nullptr: the bind succeeds
    };
    const std::vector<Case> cases = {
        {"size", [](BindRecord& r) { r.size = 40; }, "Size 40"},
        {"version", [](BindRecord& r) { r.minor = 13; }, "version 1.13"},
        {"component", [](BindRecord& r) { r.component = u"KmdfLibraryX"; }, "component"},
        {"function count", [](BindRecord& r) { r.functionCount = 443; }, "FuncCount 443"},
        {"KMDF 1.15", [](BindRecord&) {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const void* const* table = nullptr;
        BindRecord record{sizeof(BindRecord), u"KmdfLibrary", 1, 15, 0, 444, &table, nullptr};
        c.change(record);
        PWDF_DRIVER_GLOBALS globals = nullptr;
        script_.entry = [&](PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
            return Fx().Bind(driverObject, registryPath, &record, &globals);
        };
        if (c.problem != nullptr) {
            EXPECT_EQ(Fx().LoadDriver(Entry), STATUS_INVALID_PARAMETER);
            ExpectOneRecord(c.problem, "WdfVersionBind");
            continue;
        }
        ASSERT_EQ(Fx().LoadDriver(Entry), STATUS_SUCCESS);
        ASSERT_NE(globals, nullptr);
        EXPECT_TRUE(globals->DisplaceDriverUnload);
        ASSERT_NE(table, nullptr);
        EXPECT_NE(table[116], table[0]) << "WdfDriverCreate leads to the model";
        const auto unprovided = reinterpret_cast<ULONG_PTR(NTAPI*)()>(const_cast<void*>(table[443]));
        EXPECT_EQ(static_cast<NTSTATUS>(unprovided()), STATUS_NOT_IMPLEMENTED);
        ExpectOneRecord("WdfDeviceOpenDevicemapKey called", "WdfFunctions_01015[443]");
        EXPECT_EQ(Fx().Unbind(nullptr, &record, globals), STATUS_SUCCESS);
        EXPECT_TRUE(Fx().UnloadDriver());
    }
}

TEST_F(FrameworkTest, LoadBindsVersionAndRecordsTheDriverConfig)
{
    LoadDriver();
    ASSERT_TRUE(Fx().BoundVersion().has_value());
    EXPECT_EQ(Fx().BoundVersion()->major, 1U);
    EXPECT_EQ(Fx().BoundVersion()->minor, 15U);
    EXPECT_FALSE(platform_.Trace().Find("bind").empty());

    auto config = Fx().DriverConfig();
    ASSERT_TRUE(config.has_value());
    EXPECT_TRUE(config->deviceAddCallback);
    EXPECT_TRUE(config->unloadCallback);
    EXPECT_EQ(config->driverPoolTag, kTag);
    EXPECT_EQ(config->attributes.contextTypeName, "NodeContext");
    EXPECT_EQ(config->attributes.contextSize, sizeof(NodeContext));
    EXPECT_TRUE(config->attributes.cleanupCallback && config->attributes.destroyCallback);

    WDFDRIVER driver = WdfGetDriver();
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(WdfDriverWdmGetDriverObject(driver), Fx().DriverObject());
    EXPECT_EQ(NameOf(driver), "driver");
    EXPECT_TRUE(Fx().UnloadDriver());
    EXPECT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();
    EXPECT_EQ(WdfGetDriver(), driver) << "the handle stays in the driver globals";
    ExpectOneRecord("WDFDRIVER was deleted", "WdfGetDriver");
}

struct DriverCreateMisuse {
    const char* name;
    std::function<NTSTATUS(PDRIVER_OBJECT, PUNICODE_STRING)> call; // made inside DriverEntry
    NTSTATUS expected;
    const char* record; // nullptr: no verifier record expected
};

class DriverCreateMisuseTest : public FrameworkTest, public testing::WithParamInterface<DriverCreateMisuse> {};

TEST_P(DriverCreateMisuseTest, FailsWithTheDocumentedStatus)
{
    NTSTATUS seen = STATUS_SUCCESS;
    script_.entry = [&seen](PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
        seen = GetParam().call(driverObject, registryPath);
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(Fx().LoadDriver(Entry), STATUS_SUCCESS);
    EXPECT_EQ(seen, GetParam().expected);
    if (GetParam().record != nullptr) {
        ExpectOneRecord(GetParam().record, "WdfDriverCreate");
    }
    EXPECT_TRUE(Fx().UnloadDriver());
}

NTSTATUS CreatePlainDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath, PWDF_OBJECT_ATTRIBUTES attributes)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, attributes, &config, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DriverCreateMisuseTest,
    testing::Values(DriverCreateMisuse{"SecondCall",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           EXPECT_EQ(CreatePlainDriver(d, r, nullptr), STATUS_SUCCESS);
                                           return CreatePlainDriver(d, r, nullptr);
                                       },
                                       STATUS_DRIVER_INTERNAL_ERROR, nullptr},
                    DriverCreateMisuse{"ParentObject",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           WDF_OBJECT_ATTRIBUTES attributes;
                                           WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
                                           attributes.ParentObject = reinterpret_cast<WDFOBJECT>(0x1000);
                                           return CreatePlainDriver(d, r, &attributes);
                                       },
                                       STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED, nullptr},
                    DriverCreateMisuse{"ConfigSize",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           WDF_DRIVER_CONFIG config;
                                           WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
                                           config.Size -= 4;
                                           return WdfDriverCreate(d, r, nullptr, &config, nullptr);
                                       },
                                       STATUS_INFO_LENGTH_MISMATCH, nullptr},
                    DriverCreateMisuse{"UnknownInitFlag",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           WDF_DRIVER_CONFIG config;
                                           WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
                                           config.DriverInitFlags = 0x8;
                                           return WdfDriverCreate(d, r, nullptr, &config, nullptr);
                                       },
                                       STATUS_INVALID_PARAMETER, nullptr},
                    DriverCreateMisuse{"OddRegistryPathLength",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           UNICODE_STRING odd = *r;
                                           odd.Length = static_cast<USHORT>(odd.Length - 1);
                                           return CreatePlainDriver(d, &odd, nullptr);
                                       },
                                       STATUS_INVALID_PARAMETER, nullptr},
                    DriverCreateMisuse{"ExecutionLevelInvalid",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           WDF_OBJECT_ATTRIBUTES attributes;
                                           WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
                                           attributes.ExecutionLevel = WdfExecutionLevelInvalid;
                                           return CreatePlainDriver(d, r, &attributes);
                                       },
                                       STATUS_WDF_OBJECT_ATTRIBUTES_INVALID, nullptr},
                    DriverCreateMisuse{"ContextOverrideSmallerThanType",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           WDF_OBJECT_ATTRIBUTES attributes;
                                           WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NodeContext);
                                           attributes.ContextSizeOverride = 1;
                                           return CreatePlainDriver(d, r, &attributes);
                                       },
                                       STATUS_WDF_OBJECT_ATTRIBUTES_INVALID, nullptr},
                    DriverCreateMisuse{"NonPnpWithDeviceAddButNoDispatchOverride",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           WDF_DRIVER_CONFIG config;
                                           WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
                                           config.DriverInitFlags =
                                               WdfDriverInitNonPnpDriver | WdfDriverInitNoDispatchOverride;
                                           return WdfDriverCreate(d, r, nullptr, &config, nullptr);
                                       },
                                       STATUS_SUCCESS, nullptr},
                    DriverCreateMisuse{"ForeignDriverObject",
                                       [](PDRIVER_OBJECT, PUNICODE_STRING r) {
                                           int local = 0;
                                           return CreatePlainDriver(reinterpret_cast<PDRIVER_OBJECT>(&local), r,
                                                                    nullptr);
                                       },
                                       STATUS_INVALID_PARAMETER, "DriverEntry"},
                    DriverCreateMisuse{"NonPnpWithDeviceAdd",
                                       [](PDRIVER_OBJECT d, PUNICODE_STRING r) {
                                           WDF_DRIVER_CONFIG config;
                                           WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
                                           config.DriverInitFlags = WdfDriverInitNonPnpDriver;
                                           return WdfDriverCreate(d, r, nullptr, &config, nullptr);
                                       },
                                       STATUS_INVALID_PARAMETER, nullptr}),
    [](const auto& param) { return std::string(param.param.name); });

// ---- Objects ----

TEST_F(FrameworkTest, TypedContextIsZeroFilledAndFoundOnlyByItsType)
{
    LoadDriver();
    WDFDEVICE device = AddDevice("device");
    WDFIOTARGET target = CreateTarget(device, "target");
    EXPECT_EQ(GetNode(target)->value, 0);
    GetNode(target)->value = 42;
    EXPECT_EQ(GetNode(target)->value, 42);
    EXPECT_NE(static_cast<void*>(GetNode(target)), static_cast<void*>(GetNode(device)));
    EXPECT_EQ(GetOther(target), nullptr);

    WDFIOTARGET bare = nullptr;
    ASSERT_EQ(WdfIoTargetCreate(device, nullptr, &bare), STATUS_SUCCESS);
    EXPECT_EQ(GetNode(bare), nullptr);
    EXPECT_FALSE(Fx().Attributes(bare)->supplied);

    Fx().RemoveDevice(device);
    EXPECT_TRUE(Fx().UnloadDriver());
}

TEST_F(FrameworkTest, DeletionRunsEveryCleanupBeforeAnyDestroyChildrenFirst)
{
    LoadDriver();
    WDFDEVICE control = CreateControlDevice("control");
    WDFDEVICE device = AddDevice("device");
    WDFIOTARGET first = CreateTarget(device, "first");
    WDFIOTARGET second = CreateTarget(device, "second");
    EXPECT_EQ(Fx().LiveObjectCount(sim::FxType::IoTarget), 2U);
    // The sanctioned place to delete the control device: the PnP device's destroy callback.
    script_.onDestroy = [control](WDFOBJECT, const std::string& name) {
        if (name == "device") {
            WdfObjectDelete(control);
        }
    };

    Fx().RemoveDevice(device);
    EXPECT_EQ(script_.Events(),
              (std::vector<std::string>{"cleanup first", "cleanup second", "cleanup device", "destroy first",
                                        "destroy second", "destroy device", "cleanup control", "destroy control"}));
    EXPECT_EQ(Fx().LiveObjectCount(sim::FxType::Device), 0U);
    EXPECT_EQ(Fx().LiveObjectCount(sim::FxType::IoTarget), 0U);
    EXPECT_FALSE(Fx().IsLive(first));
    EXPECT_FALSE(Fx().IsLive(second));
    EXPECT_TRUE(Fx().UnloadDriver());
    EXPECT_EQ(script_.Events().back(), "destroy driver");
}

struct HandleMisuse {
    const char* name;
    std::function<void(WDFDRIVER, WDFDEVICE, WDFIOTARGET deleted)> misuse;
    const char* expected;
};

class HandleMisuseTest : public FrameworkTest, public testing::WithParamInterface<HandleMisuse> {};

TEST_P(HandleMisuseTest, IsRecordedAndFailsSafely)
{
    LoadDriver();
    WDFDEVICE device = AddDevice("device");
    WDFIOTARGET deleted = CreateTarget(device, "deleted");
    WdfObjectDelete(deleted);
    ASSERT_TRUE(platform_.Verifier().Clean()) << platform_.Verifier().Describe();

    GetParam().misuse(WdfGetDriver(), device, deleted);
    ExpectOneRecord(GetParam().expected);
    EXPECT_TRUE(Fx().IsLive(device));
    Fx().RemoveDevice(device);
    EXPECT_TRUE(Fx().UnloadDriver());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, HandleMisuseTest,
    testing::Values(
        HandleMisuse{"ForgedHandle",
                     [](WDFDRIVER, WDFDEVICE, WDFIOTARGET) { WdfObjectDelete(reinterpret_cast<WDFOBJECT>(0x1234)); },
                     "invalid or deleted"},
        HandleMisuse{"DeletedTargetClosed", [](WDFDRIVER, WDFDEVICE, WDFIOTARGET target) { WdfIoTargetClose(target); },
                     "invalid or deleted"},
        HandleMisuse{"DeletedTargetSend",
                     [](WDFDRIVER, WDFDEVICE, WDFIOTARGET target) {
                         EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(target, nullptr, kIoctl, nullptr, nullptr, nullptr,
                                                                     nullptr),
                                   STATUS_INVALID_HANDLE);
                     },
                     "invalid or deleted"},
        HandleMisuse{"DeletedTargetContext",
                     [](WDFDRIVER, WDFDEVICE, WDFIOTARGET target) { EXPECT_EQ(GetNode(target), nullptr); },
                     "invalid or deleted"},
        HandleMisuse{"DeviceAsTarget",
                     [](WDFDRIVER, WDFDEVICE d, WDFIOTARGET) {
                         WDF_IO_TARGET_OPEN_PARAMS params;
                         UNICODE_STRING name = Text(kLink.c_str());
                         WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &name, GENERIC_READ);
                         EXPECT_EQ(WdfIoTargetOpen(reinterpret_cast<WDFIOTARGET>(d), &params), STATUS_INVALID_HANDLE);
                     },
                     "wrong object type"},
        HandleMisuse{"DeviceAsDriver",
                     [](WDFDRIVER, WDFDEVICE d, WDFIOTARGET) {
                         EXPECT_EQ(WdfDriverWdmGetDriverObject(reinterpret_cast<WDFDRIVER>(d)), nullptr);
                     },
                     "wrong object type"},
        HandleMisuse{"DeletePnpDevice", [](WDFDRIVER, WDFDEVICE d, WDFIOTARGET) { WdfObjectDelete(d); }, "PnP device"},
        HandleMisuse{"DeleteDriver", [](WDFDRIVER driver, WDFDEVICE, WDFIOTARGET) { WdfObjectDelete(driver); },
                     "WDFDRIVER"},
        HandleMisuse{"FinishPnpDevice", [](WDFDRIVER, WDFDEVICE d, WDFIOTARGET) { WdfControlFinishInitializing(d); },
                     "not a control device"}),
    [](const auto& param) { return std::string(param.param.name); });

// ---- Devices and inits ----

TEST_F(FrameworkTest, ControlDeviceRecordsSddlAndFinishing)
{
    LoadDriver();
    WDFDEVICE control = CreateControlDevice("control", u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    EXPECT_EQ(Fx().ControlDevice(), control);
    EXPECT_EQ(Fx().ControlDeviceSddl(control), "D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    EXPECT_FALSE(Fx().ControlFinished(control));
    WdfControlFinishInitializing(control);
    EXPECT_TRUE(Fx().ControlFinished(control));
    EXPECT_TRUE(Fx().PnpDevices().empty());
    {
        sim::ScopedIrql raised(DISPATCH_LEVEL);
        WdfObjectDelete(control);
    }
    ExpectOneRecord("PASSIVE_LEVEL", "WdfObjectDelete");
    WdfObjectDelete(control);
    EXPECT_EQ(Fx().ControlDevice(), nullptr);
    EXPECT_TRUE(Fx().UnloadDriver());
}

TEST_F(FrameworkTest, ControlInitMisuseIsRecorded)
{
    LoadDriver();
    UNICODE_STRING sddl = Text(u"D:P(A;;GA;;;SY)");

    PWDFDEVICE_INIT freed = WdfControlDeviceInitAllocate(WdfGetDriver(), &sddl);
    ASSERT_NE(freed, nullptr);
    WdfDeviceInitFree(freed);
    EXPECT_EQ(Fx().PendingControlInits(), 0U);
    WdfDeviceInitFree(freed);
    ExpectOneRecord("freed twice");

    PWDFDEVICE_INIT used = WdfControlDeviceInitAllocate(WdfGetDriver(), &sddl);
    PWDFDEVICE_INIT copy = used;
    WDFDEVICE device = nullptr;
    ASSERT_EQ(WdfDeviceCreate(&used, nullptr, &device), STATUS_SUCCESS);
    WDFDEVICE again = nullptr;
    EXPECT_EQ(WdfDeviceCreate(&copy, nullptr, &again), STATUS_INVALID_DEVICE_STATE);
    ExpectOneRecord("already used");
    WdfDeviceInitFree(copy);
    ExpectOneRecord("after a successful WdfDeviceCreate");
    WdfObjectDelete(device);

    FailNext("WdfControlDeviceInitAllocate");
    EXPECT_EQ(WdfControlDeviceInitAllocate(WdfGetDriver(), &sddl), nullptr);

    ASSERT_NE(WdfControlDeviceInitAllocate(WdfGetDriver(), &sddl), nullptr); // leaked on purpose
    EXPECT_EQ(Fx().PendingControlInits(), 1U);
    EXPECT_TRUE(Fx().UnloadDriver());
    ExpectOneRecord("neither used", "driver unload");
}

// ---- Device names and security ----

// What the driver does to a control-device init before WdfDeviceCreate, and what the framework
// then answers (src/framework/shared/core/fxdeviceapi.cpp WdfDeviceCreate, fxdeviceinit.cpp
// _AllocateControlDeviceInit, fxdeviceinitapi.cpp WdfDeviceInitAssignName and
// WdfDeviceInitSetCharacteristics).
struct NameRule {
    const char* name;
    std::function<void(PWDFDEVICE_INIT)> arrange;
    NTSTATUS expected;
    const char16_t* deviceName; // the name the created device carries
    bool autogenerated;         // FILE_AUTOGENERATED_DEVICE_NAME left on the device
};

class NameRuleTest : public FrameworkTest, public testing::WithParamInterface<NameRule> {};

TEST_P(NameRuleTest, SecurityNeedsANameOrTheAutogeneratedOne)
{
    LoadDriver();
    UNICODE_STRING sddl = Text(u"D:P");
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(WdfGetDriver(), &sddl);
    ASSERT_NE(init, nullptr);
    GetParam().arrange(init);
    WDFDEVICE device = reinterpret_cast<WDFDEVICE>(0x1);
    NTSTATUS status = WdfDeviceCreate(&init, nullptr, &device);
    EXPECT_EQ(status, GetParam().expected);
    if (NT_SUCCESS(status)) {
        EXPECT_EQ(init, nullptr);
        EXPECT_EQ(Fx().DeviceName(device), GetParam().deviceName);
        auto characteristics = Fx().DeviceCharacteristics(device);
        ASSERT_TRUE(characteristics.has_value());
        EXPECT_EQ((*characteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0, GetParam().autogenerated);
        WdfObjectDelete(device);
    } else {
        EXPECT_EQ(device, nullptr) << "the framework clears Device before it checks anything";
        EXPECT_NE(init, nullptr) << "a refused init stays the driver's to free";
        EXPECT_EQ(Fx().PendingControlInits(), 1U);
        WdfDeviceInitFree(init);
    }
    EXPECT_TRUE(Fx().UnloadDriver());
}

const UNICODE_STRING kDeviceName = {18, 18, const_cast<PWCH>(u"\\Device\\X")};

INSTANTIATE_TEST_SUITE_P(
    Framework, NameRuleTest,
    testing::Values(
        NameRule{"AsAllocated", [](PWDFDEVICE_INIT) {}, STATUS_SUCCESS, u"", true},
        NameRule{"AssignedName",
                 [](PWDFDEVICE_INIT init) { EXPECT_EQ(WdfDeviceInitAssignName(init, &kDeviceName), STATUS_SUCCESS); },
                 STATUS_SUCCESS, u"\\Device\\X", false},
        NameRule{"NameAssignedThenDropped",
                 [](PWDFDEVICE_INIT init) {
                     EXPECT_EQ(WdfDeviceInitAssignName(init, &kDeviceName), STATUS_SUCCESS);
                     EXPECT_EQ(WdfDeviceInitAssignName(init, nullptr), STATUS_SUCCESS);
                 },
                 STATUS_INVALID_SECURITY_DESCR, nullptr, false},
        NameRule{"CharacteristicsReplaced",
                 [](PWDFDEVICE_INIT init) { WdfDeviceInitSetCharacteristics(init, FILE_DEVICE_SECURE_OPEN, FALSE); },
                 STATUS_INVALID_SECURITY_DESCR, nullptr, false},
        NameRule{"CharacteristicsOredIn",
                 [](PWDFDEVICE_INIT init) { WdfDeviceInitSetCharacteristics(init, FILE_DEVICE_SECURE_OPEN, TRUE); },
                 STATUS_SUCCESS, u"", true},
        NameRule{"AutogeneratedAskedForAgainDropsTheName",
                 [](PWDFDEVICE_INIT init) {
                     EXPECT_EQ(WdfDeviceInitAssignName(init, &kDeviceName), STATUS_SUCCESS);
                     WdfDeviceInitSetCharacteristics(init, FILE_AUTOGENERATED_DEVICE_NAME, FALSE);
                 },
                 STATUS_SUCCESS, u"", true},
        NameRule{"MalformedNameIsRefusedAndChangesNothing",
                 [](PWDFDEVICE_INIT init) {
                     UNICODE_STRING odd = kDeviceName;
                     odd.Length = 17;
                     EXPECT_EQ(WdfDeviceInitAssignName(init, &odd), STATUS_INVALID_PARAMETER);
                 },
                 STATUS_SUCCESS, u"", true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(FrameworkTest, ControlInitAllocationValidatesTheSddlString)
{
    LoadDriver();
    UNICODE_STRING odd = Text(u"D:P");
    odd.Length = 3;
    EXPECT_EQ(WdfControlDeviceInitAllocate(WdfGetDriver(), &odd), nullptr);
    UNICODE_STRING longer = Text(u"D:P");
    longer.Length = static_cast<USHORT>(longer.MaximumLength + 2);
    EXPECT_EQ(WdfControlDeviceInitAllocate(WdfGetDriver(), &longer), nullptr);
    EXPECT_TRUE(platform_.Verifier().Clean()) << "the framework returns NULL without breaking in";
    EXPECT_EQ(WdfControlDeviceInitAllocate(WdfGetDriver(), nullptr), nullptr);
    ExpectOneRecord("NULL SDDLString", "WdfControlDeviceInitAllocate");
    EXPECT_EQ(Fx().PendingControlInits(), 0U);
    EXPECT_TRUE(Fx().UnloadDriver());
}

// The checks of FxValidateObjectAttributes with the options each creating call passes
// (src/framework/shared/object/fxvalidatefunctions.cpp).
struct AttributeRule {
    const char* name;
    bool forTarget; // WdfIoTargetCreate, else WdfDeviceCreate of a control device
    std::function<void(WDF_OBJECT_ATTRIBUTES*)> arrange;
    NTSTATUS expected;
};

class AttributeRuleTest : public FrameworkTest, public testing::WithParamInterface<AttributeRule> {};

TEST_P(AttributeRuleTest, FailsWithTheFrameworksStatus)
{
    LoadDriver();
    WDFDEVICE control = GetParam().forTarget ? CreateControlDevice("control") : nullptr;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    GetParam().arrange(&attributes);
    NTSTATUS status = STATUS_SUCCESS;
    WDFOBJECT created = nullptr;
    if (GetParam().forTarget) {
        WDFIOTARGET target = nullptr;
        status = WdfIoTargetCreate(control, &attributes, &target);
        created = target;
    } else {
        UNICODE_STRING sddl = Text(u"D:P");
        PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(WdfGetDriver(), &sddl);
        WDFDEVICE device = nullptr;
        status = WdfDeviceCreate(&init, &attributes, &device);
        created = device;
        if (!NT_SUCCESS(status)) {
            WdfDeviceInitFree(init);
        }
    }
    EXPECT_EQ(status, GetParam().expected);
    EXPECT_EQ(created != nullptr, NT_SUCCESS(status));
    for (WDFDEVICE device : Fx().ControlDevices()) {
        WdfObjectDelete(device);
    }
    EXPECT_TRUE(Fx().UnloadDriver());
}

INSTANTIATE_TEST_SUITE_P(
    Framework, AttributeRuleTest,
    testing::Values(
        AttributeRule{"DeviceWithParent", false,
                      [](WDF_OBJECT_ATTRIBUTES* a) { a->ParentObject = reinterpret_cast<WDFOBJECT>(WdfGetDriver()); },
                      STATUS_WDF_PARENT_ASSIGNMENT_NOT_ALLOWED},
        AttributeRule{"DeviceWithPassiveExecutionLevel", false,
                      [](WDF_OBJECT_ATTRIBUTES* a) { a->ExecutionLevel = WdfExecutionLevelPassive; }, STATUS_SUCCESS},
        AttributeRule{"DeviceWithWrongSize", false, [](WDF_OBJECT_ATTRIBUTES* a) { a->Size = 8; },
                      STATUS_INFO_LENGTH_MISMATCH},
        AttributeRule{"TargetWithExecutionLevel", true,
                      [](WDF_OBJECT_ATTRIBUTES* a) { a->ExecutionLevel = WdfExecutionLevelPassive; },
                      STATUS_WDF_EXECUTION_LEVEL_INVALID},
        AttributeRule{"TargetWithDeviceScope", true,
                      [](WDF_OBJECT_ATTRIBUTES* a) { a->SynchronizationScope = WdfSynchronizationScopeDevice; },
                      STATUS_WDF_SYNCHRONIZATION_SCOPE_INVALID},
        AttributeRule{"TargetWithScopeNone", true,
                      [](WDF_OBJECT_ATTRIBUTES* a) { a->SynchronizationScope = WdfSynchronizationScopeNone; },
                      STATUS_SUCCESS},
        AttributeRule{"TargetWithOverrideButNoType", true, [](WDF_OBJECT_ATTRIBUTES* a) { a->ContextSizeOverride = 8; },
                      STATUS_WDF_OBJECT_ATTRIBUTES_INVALID},
        // The object's size with its context (src/framework/shared/object/handleapi.cpp,
        // FxCalculateObjectTotalSize2): a context size that overflows when aligned up, and one
        // larger than the pool can give.
        AttributeRule{"TargetWithContextSizeThatOverflows", true,
                      [](WDF_OBJECT_ATTRIBUTES* a) {
                          a->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(NodeContext);
                          a->ContextSizeOverride = ~std::size_t{0} - 2;
                      },
                      STATUS_INTEGER_OVERFLOW},
        AttributeRule{"TargetWithContextLargerThanThePool", true,
                      [](WDF_OBJECT_ATTRIBUTES* a) {
                          a->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(NodeContext);
                          a->ContextSizeOverride = std::size_t{1} << 62;
                      },
                      STATUS_INSUFFICIENT_RESOURCES}),
    [](const auto& param) { return std::string(param.param.name); });

// ---- Destroy callbacks ----

// In its destroy callback an object's reference count is zero: reading its context is the only
// call the framework allows on it (src/framework/shared/inc/private/common/fxhandle.h,
// FxObjectHandleGetPtr); calls on other, live objects are fine.
TEST_F(FrameworkTest, DestroyCallbackMayOnlyReadItsOwnContext)
{
    LoadDriver();
    WDFDEVICE device = AddDevice("device");
    WDFDEVICE control = CreateControlDevice("control");
    WDFIOTARGET target = CreateTarget(control, "target");
    std::vector<std::string> seen;
    script_.onDestroy = [&](WDFOBJECT object, const std::string& name) {
        if (name == "target") {
            seen.push_back(NameOf(object)); // allowed: the context is still there
            WdfIoTargetClose(static_cast<WDFIOTARGET>(object));
        } else if (name == "device") {
            WdfObjectDelete(control); // another object: allowed, as the driver does it
        }
    };
    Fx().RemoveDevice(device);
    EXPECT_EQ(seen, std::vector<std::string>{"target"});
    ExpectOneRecord("from its destroy callback", "WdfIoTargetClose");
    EXPECT_FALSE(Fx().IsLive(target));
    EXPECT_FALSE(Fx().IsLive(control));
    EXPECT_TRUE(Fx().UnloadDriver());
}

TEST_F(FrameworkTest, AddDeviceDeletesTheDeviceOfAFailedCallbackAndFlagsAnEmptySuccess)
{
    LoadDriver();
    script_.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        WDF_OBJECT_ATTRIBUTES attributes = NodeAttributes();
        WDFDEVICE device = nullptr;
        EXPECT_EQ(WdfDeviceCreate(&init, &attributes, &device), STATUS_SUCCESS);
        Name(device, "half-made");
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    WDFDEVICE device = reinterpret_cast<WDFDEVICE>(0x1);
    EXPECT_EQ(Fx().AddDevice(&device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    EXPECT_EQ(script_.Events(), (std::vector<std::string>{"cleanup half-made", "destroy half-made"}));
    EXPECT_TRUE(Fx().PnpDevices().empty());

    script_.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        WdfDeviceInitFree(init); // the framework owns this init
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(Fx().AddDevice(), STATUS_SUCCESS);
    auto records = platform_.Verifier().Records();
    ASSERT_EQ(records.size(), 2U) << platform_.Verifier().Describe();
    EXPECT_NE(records[0].message.find("framework frees"), std::string::npos);
    EXPECT_NE(records[1].message.find("without creating a device"), std::string::npos);
    platform_.Verifier().Clear();
    EXPECT_TRUE(Fx().UnloadDriver());
}

// Every creating call fails with its documented status under injection and leaves no object.
class CreationFaultTest : public FrameworkTest, public testing::WithParamInterface<const char*> {};

TEST_P(CreationFaultTest, FailsWithInsufficientResourcesAndCreatesNothing)
{
    const std::string operation = GetParam();
    const bool atLoad = operation == "WdfDriverCreate";
    if (atLoad) {
        FailNext(operation);
        script_.entry = [](PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
            return CreatePlainDriver(driverObject, registryPath, nullptr);
        };
        EXPECT_EQ(Fx().LoadDriver(Entry), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(platform_.DebugOutput().size(), 1U);
    } else {
        LoadDriver();
        FailNext(operation);
        script_.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
            WDFDEVICE device = nullptr;
            NTSTATUS status = WdfDeviceCreate(&init, nullptr, &device);
            WDFIOTARGET target = nullptr;
            return NT_SUCCESS(status) ? WdfIoTargetCreate(device, nullptr, &target) : status;
        };
        EXPECT_EQ(Fx().AddDevice(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_TRUE(Fx().UnloadDriver());
    }
    EXPECT_EQ(Fx().LiveObjectCount(), 0U);
    EXPECT_EQ(platform_.Faults().Injected().size(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Operations, CreationFaultTest,
                         testing::Values("WdfDriverCreate", "WdfDeviceCreate", "WdfIoTargetCreate"),
                         [](const testing::TestParamInfo<const char*>& param) { return std::string(param.param); });

// ---- Unload ----

TEST_F(FrameworkTest, UnloadIsRefusedWhileADeviceOrRegistrationRemains)
{
    LoadDriver();
    WDFDEVICE device = AddDevice("device");
    WDFDEVICE control = CreateControlDevice("control");
    EXPECT_FALSE(Fx().UnloadDriver());
    Fx().RemoveDevice(device);
    EXPECT_FALSE(Fx().UnloadDriver()) << "a PnP driver's control device keeps it loaded";
    WdfObjectDelete(control);

    PVOID entry = nullptr;
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, const_cast<GUID*>(&kInterfaceClass),
                                             Fx().DriverObject(), AcceptNotification, nullptr, &entry),
              STATUS_SUCCESS);
    EXPECT_FALSE(Fx().UnloadDriver());
    auto beforeUnload = script_.Events();
    EXPECT_EQ(std::count(beforeUnload.begin(), beforeUnload.end(), "unload"), 0);
    // A leaked registration is a driver bug, not only a refusal: the record names the entry.
    auto held = platform_.Verifier().Records();
    ASSERT_EQ(held.size(), 1U) << platform_.Verifier().Describe();
    EXPECT_EQ(held[0].operation, "UnloadDriver");
    EXPECT_NE(held[0].object.find(sim::Verifier::Pointer(entry)), std::string::npos) << held[0].object;
    EXPECT_NE(held[0].message.find("PnP notification registration"), std::string::npos);
    platform_.Verifier().Clear();
    ASSERT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);

    // The unload callback forgets a pool block: the leak check names it.
    script_.unload = [](WDFDRIVER) { (void)ExAllocatePool2(POOL_FLAG_NON_PAGED, 40, kTag); };
    PDRIVER_OBJECT driverObject = Fx().DriverObject();
    EXPECT_TRUE(Fx().UnloadDriver());
    EXPECT_FALSE(Fx().Loaded());
    EXPECT_FALSE(platform_.Objects().IsLive(driverObject));
    auto events = script_.Events();
    ASSERT_GE(events.size(), 3U);
    EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
              (std::vector<std::string>{"unload", "cleanup driver", "destroy driver"}));
    auto records = platform_.Verifier().Records();
    ASSERT_EQ(records.size(), 1U) << platform_.Verifier().Describe();
    EXPECT_EQ(records[0].operation, "driver unload");
    EXPECT_EQ(records[0].tag, kTag);
    EXPECT_NE(records[0].message.find("40 bytes"), std::string::npos);
    platform_.Verifier().Clear();
    for (const auto& block : platform_.Pool().Live()) {
        ExFreePoolWithTag(reinterpret_cast<PVOID>(block.address), kTag);
    }
}

TEST_F(FrameworkTest, NonPnpDriverControlDeviceGoesAfterUnloadCallback)
{
    LoadDriver(WdfDriverInitNonPnpDriver);
    WDFDEVICE control = CreateControlDevice("control");
    CreateTarget(control, "target");
    EXPECT_EQ(Fx().AddDevice(), STATUS_INVALID_DEVICE_STATE);
    // Nothing takes a child once the deletion has begun.
    script_.onDestroy = [control](WDFOBJECT, const std::string& name) {
        if (name == "target") {
            WDFIOTARGET late = nullptr;
            EXPECT_EQ(WdfIoTargetCreate(control, nullptr, &late), STATUS_DELETE_PENDING);
            EXPECT_EQ(late, nullptr);
        }
    };
    EXPECT_TRUE(Fx().UnloadDriver());
    // The control device destroys its children right after its own cleanup.
    EXPECT_EQ(script_.Events(),
              (std::vector<std::string>{"unload", "cleanup target", "cleanup control", "destroy target",
                                        "cleanup driver", "destroy control", "destroy driver"}));
}

TEST_F(FrameworkTest, ConcurrentUnloadsRunTheUnloadOnce)
{
    LoadDriver();
    sim::Gate gate(platform_);
    script_.unload = [&gate](WDFDRIVER) { gate.Wait(); };
    std::atomic<int> unloaded{0};
    sim::SimThread first(platform_, "first", [&] { unloaded += Fx().UnloadDriver() ? 1 : 0; });
    ASSERT_TRUE(platform_.Sched().RunUntil([&] { return script_.Events().size() == 1; },
                                           platform_.Sched().Now() + sim::kTicksPerSecond));
    EXPECT_FALSE(Fx().UnloadDriver()) << "a second unload while the first runs";
    gate.Open();
    first.Join();
    EXPECT_EQ(unloaded, 1);
    EXPECT_EQ(script_.Events(), (std::vector<std::string>{"unload", "cleanup driver", "destroy driver"}));
}

// ---- I/O targets ----

class IoTargetTest : public FrameworkTest {
protected:
    void SetUp() override
    {
        platform_.Pnp().AddInterface(kInterfaceClass, kLink);
        platform_.Sched().Settle();
        LoadDriver();
        device_ = AddDevice("device");
        target_ = CreateTarget(device_, "target");
    }

    void TearDown() override
    {
        if (Fx().IsLive(device_)) {
            Fx().RemoveDevice(device_);
        }
        EXPECT_TRUE(Fx().UnloadDriver());
        FrameworkTest::TearDown();
    }

    WDFDEVICE device_ = nullptr;
    WDFIOTARGET target_ = nullptr;
};

TEST_F(IoTargetTest, OpenRecordsItsParametersAndKeepsItsOwnCopyOfTheName)
{
    std::u16string name = kLink;
    UNICODE_STRING text = Text(name.c_str());
    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &text, GENERIC_READ | GENERIC_WRITE);
    ASSERT_EQ(WdfIoTargetOpen(target_, &params), STATUS_SUCCESS);
    name.assign(name.size(), u'X'); // the caller's buffer may go away after the open

    auto record = Fx().TargetOpenParams(target_);
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->type, WdfIoTargetOpenByName);
    EXPECT_EQ(record->name, kLink);
    EXPECT_EQ(record->desiredAccess, static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(record->shareAccess, 0U);
    EXPECT_EQ(record->createDisposition, static_cast<ULONG>(FILE_OPEN));
    EXPECT_EQ(record->createOptions, static_cast<ULONG>(FILE_NON_DIRECTORY_FILE));
    EXPECT_FALSE(record->queryRemoveCallback || record->removeCanceledCallback || record->removeCompleteCallback);
    EXPECT_EQ(Fx().TargetState(target_), sim::IoTargetState::Opened);

    EXPECT_EQ(WdfIoTargetOpen(target_, &params), STATUS_INVALID_DEVICE_STATE);
    // Both opens ask for no sharing; neither the framework nor the I/O manager checks share
    // access on a device open (that is the device driver's business), so the second succeeds.
    WDFIOTARGET rival = CreateTarget(device_, "rival");
    EXPECT_EQ(Open(rival), STATUS_SUCCESS);
    EXPECT_EQ(Fx().TargetState(rival), sim::IoTargetState::Opened);
}

struct OpenFailure {
    const char* name;
    std::function<void(WDF_IO_TARGET_OPEN_PARAMS*, sim::Platform&)> arrange;
    NTSTATUS expected;
};

class OpenFailureTest : public IoTargetTest, public testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, LeavesTheTargetClosed)
{
    std::u16string name = kLink;
    UNICODE_STRING text = Text(name.c_str());
    WDF_IO_TARGET_OPEN_PARAMS params;
    WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &text, GENERIC_READ);
    GetParam().arrange(&params, platform_);
    EXPECT_EQ(WdfIoTargetOpen(target_, &params), GetParam().expected);
    EXPECT_EQ(Fx().TargetState(target_), sim::IoTargetState::Created);
    unsigned char buffer[4] = {};
    EXPECT_EQ(Send(target_, buffer, sizeof buffer, buffer, sizeof buffer), STATUS_INVALID_DEVICE_STATE);
}

const char16_t kAbsentLink[] = u"\\??\\ROOT#NOTHING#0000";

INSTANTIATE_TEST_SUITE_P(Rules, OpenFailureTest,
                         testing::Values(OpenFailure{"AbsentName",
                                                     [](WDF_IO_TARGET_OPEN_PARAMS* p, sim::Platform&) {
                                                         p->TargetDeviceName = Text(kAbsentLink);
                                                     },
                                                     STATUS_OBJECT_NAME_NOT_FOUND},
                                         OpenFailure{"WrongSize",
                                                     [](WDF_IO_TARGET_OPEN_PARAMS* p, sim::Platform&) { p->Size -= 8; },
                                                     STATUS_INFO_LENGTH_MISMATCH},
                                         OpenFailure{"InjectedDefault",
                                                     [](WDF_IO_TARGET_OPEN_PARAMS*, sim::Platform& platform) {
                                                         platform.Faults().FailNth("WdfIoTargetOpen", 1);
                                                     },
                                                     STATUS_OBJECT_NAME_NOT_FOUND},
                                         OpenFailure{"InjectedChosen",
                                                     [](WDF_IO_TARGET_OPEN_PARAMS*, sim::Platform& platform) {
                                                         platform.Faults().FailNth("WdfIoTargetOpen", 1,
                                                                                   STATUS_ACCESS_DENIED);
                                                     },
                                                     STATUS_ACCESS_DENIED}),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(IoTargetTest, SendBuffersTheRequestAndCopiesBackOnlyWhatFits)
{
    ASSERT_EQ(Open(target_), STATUS_SUCCESS);
    std::vector<unsigned char> seenInput;
    Fx().SetIoctlHandlerForTest([&seenInput](const std::u16string& link, ULONG code, const void* input,
                                             ULONG inputLength, void* output, ULONG outputLength,
                                             ULONG_PTR* information, const std::function<bool()>&) {
        EXPECT_EQ(link, kLink);
        EXPECT_EQ(code, kIoctl);
        EXPECT_EQ(input, output) << "METHOD_BUFFERED uses one system buffer";
        auto* bytes = static_cast<const unsigned char*>(input);
        seenInput.assign(bytes, bytes + inputLength);
        std::memset(output, 0xAB, outputLength);
        *information = outputLength;
        return STATUS_SUCCESS;
    });
    unsigned char in[6] = {1, 2, 3, 4, 5, 6};
    unsigned char out[4] = {};
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Send(target_, in, sizeof in, out, sizeof out, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(seenInput, std::vector<unsigned char>(in, in + sizeof in));
    EXPECT_EQ(bytes, 4U);
    EXPECT_EQ(out[0], 0xAB);
    EXPECT_EQ(out[3], 0xAB);

    // A target that claims more than the buffer holds is caught, and nothing overruns.
    Fx().SetIoctlHandlerForTest([](const std::u16string&, ULONG, const void*, ULONG, void*, ULONG,
                                   ULONG_PTR* information, const std::function<bool()>&) {
        *information = 64;
        return STATUS_SUCCESS;
    });
    EXPECT_EQ(Send(target_, in, sizeof in, out, sizeof out), STATUS_SUCCESS);
    ExpectOneRecord("64 bytes returned");

    // Completed with an error, the framework still copies back what Information counts: it, not
    // the I/O manager, completes the IOCTL it sent (fxiotargetkm.hpp, FxIoContext::CopyParameters).
    Fx().SetIoctlHandlerForTest([](const std::u16string&, ULONG, const void*, ULONG, void* output, ULONG,
                                   ULONG_PTR* information, const std::function<bool()>&) {
        std::memset(output, 0x5A, 2);
        *information = 2;
        return STATUS_INVALID_PARAMETER;
    });
    std::memset(out, 0, sizeof out);
    ULONG_PTR failedBytes = 0;
    EXPECT_EQ(Send(target_, in, sizeof in, out, sizeof out, &failedBytes), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(failedBytes, 2U);
    EXPECT_EQ(out[1], 0x5A);
    EXPECT_EQ(out[2], 0);

    // A pool buffer shorter than the length its descriptor states is neither read nor written.
    auto* pooled = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTag));
    ASSERT_NE(pooled, nullptr);
    EXPECT_EQ(Send(target_, in, sizeof in, pooled, 9), STATUS_INVALID_PARAMETER);
    ExpectOneRecord("output buffer smaller than its stated 9 bytes");
    EXPECT_EQ(Send(target_, pooled, 12, out, sizeof out), STATUS_INVALID_PARAMETER);
    ExpectOneRecord("input buffer smaller than its stated 12 bytes");
    ExFreePoolWithTag(pooled, kTag);

    WDFREQUEST request = reinterpret_cast<WDFREQUEST>(0x10);
    EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(target_, request, kIoctl, nullptr, nullptr, nullptr, nullptr),
              STATUS_NOT_SUPPORTED);
    FailNext("WdfIoTargetSendIoctlSynchronously");
    EXPECT_EQ(Send(target_, in, sizeof in, out, sizeof out), STATUS_INSUFFICIENT_RESOURCES);
}

// Sends of every size go through one system buffer, a large one included, and the framework's
// record of what each caller's output held on entry keeps the last 64 sends, oldest first.
TEST_F(IoTargetTest, LargeSendsAreBufferedWholeAndOutputsOnEntryKeepTheLast64)
{
    ASSERT_EQ(Open(target_), STATUS_SUCCESS);
    Fx().SetIoctlHandlerForTest([](const std::u16string&, ULONG, const void* input, ULONG inputLength, void* output,
                                   ULONG outputLength, ULONG_PTR* information, const std::function<bool()>&) {
        // Echoes the input, reversed, into the output.
        const auto* in = static_cast<const unsigned char*>(input);
        std::vector<unsigned char> reversed(in, in + inputLength);
        std::reverse(reversed.begin(), reversed.end());
        const std::size_t n = std::min<std::size_t>(reversed.size(), outputLength);
        std::memcpy(output, reversed.data(), n);
        *information = n;
        return STATUS_SUCCESS;
    });
    std::vector<unsigned char> in(1000);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<unsigned char>(i * 7);
    }
    std::vector<unsigned char> out(1000, 0);
    ULONG_PTR bytes = 0;
    EXPECT_EQ(Send(target_, in.data(), 1000, out.data(), 1000, &bytes), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 1000U);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), in.rbegin()));

    for (unsigned char n = 0; n < 70; ++n) {
        unsigned char one[1] = {n};
        unsigned char held[1] = {n};
        ASSERT_EQ(Send(target_, one, 1, held, 1), STATUS_SUCCESS);
    }
    const auto outputs = Fx().SendOutputsOnEntry();
    ASSERT_EQ(outputs.size(), 64U);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i], std::vector<std::uint8_t>{static_cast<std::uint8_t>(6 + i)}) << i;
    }
}

TEST_F(IoTargetTest, CloseCancelsAnInFlightSendAndWaitsForIt)
{
    ASSERT_EQ(Open(target_), STATUS_SUCCESS);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread sender = StartBlockedSend(target_, &status);

    WdfIoTargetClose(target_);
    script_.Record("close returned");
    sender.join();
    EXPECT_EQ(status.load(), STATUS_CANCELLED);
    auto events = script_.Events();
    EXPECT_EQ(std::vector<std::string>(events.end() - 2, events.end()),
              (std::vector<std::string>{"send cancelled", "close returned"}));
    EXPECT_EQ(Fx().SendsInFlight(), 0U);
    EXPECT_EQ(Fx().TargetState(target_), sim::IoTargetState::Closed);

    unsigned char buffer[4] = {};
    EXPECT_EQ(Send(target_, buffer, sizeof buffer, buffer, sizeof buffer), STATUS_INVALID_DEVICE_STATE);
    WdfIoTargetClose(target_); // closing a closed target is fine
    EXPECT_EQ(Open(target_), STATUS_SUCCESS) << "a closed target can be reopened";
}

TEST_F(IoTargetTest, DeletingTheParentCancelsTheSendBeforeTheParentCleanup)
{
    ASSERT_EQ(Open(target_), STATUS_SUCCESS);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread sender = StartBlockedSend(target_, &status);

    Fx().RemoveDevice(device_);
    sender.join();
    EXPECT_EQ(status.load(), STATUS_CANCELLED);
    EXPECT_EQ(script_.Events(), (std::vector<std::string>{"send blocked", "cleanup target", "send cancelled",
                                                          "cleanup device", "destroy target", "destroy device"}));
    EXPECT_FALSE(Fx().IsLive(target_));
    EXPECT_EQ(Fx().TargetState(target_), sim::IoTargetState::Deleted);
}

TEST_F(IoTargetTest, InterfaceRemovalClosesOnlyTargetsOnThatLink)
{
    const std::u16string otherLink = u"\\??\\ROOT#OTHER#0000";
    platform_.Pnp().AddInterface(kInterfaceClass, otherLink);
    platform_.Sched().Settle();
    WDFIOTARGET other = CreateTarget(device_, "other");
    ASSERT_EQ(Open(target_), STATUS_SUCCESS);
    ASSERT_EQ(Open(other, otherLink), STATUS_SUCCESS);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::thread sender = StartBlockedSend(target_, &status);

    Fx().OnInterfaceRemoved(kLink);
    sender.join();
    EXPECT_EQ(status.load(), STATUS_CANCELLED);
    EXPECT_EQ(Fx().TargetState(target_), sim::IoTargetState::Closed);
    EXPECT_EQ(Fx().TargetState(other), sim::IoTargetState::Opened);
}

TEST_F(IoTargetTest, AnOpenOvertakenByTheDevicesRemovalLeavesTheTargetClosed)
{
    // The open has found the interface; the service departs before the target is marked open,
    // so the departure's close finds nothing open on its link.
    platform_.TaService().Arrive();
    const std::u16string link = platform_.TaService().Link();
    Fx().HoldOpensBeforeCommit(true);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    sim::SimThread opener(platform_, "opener", [&] { status = Open(target_, link); });
    ASSERT_TRUE(platform_.Sched().RunUntil([&] { return Fx().OpensHeld() == 1; },
                                           platform_.Sched().Now() + sim::kTicksPerSecond));
    platform_.TaService().Depart();
    Fx().HoldOpensBeforeCommit(false);
    opener.Join();
    EXPECT_EQ(status.load(), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Fx().TargetState(target_), sim::IoTargetState::Closed);
    EXPECT_EQ(Open(target_, link), STATUS_OBJECT_NAME_NOT_FOUND) << "nothing opens on a departed service";
}

TEST_F(IoTargetTest, ConcurrentAddAndRemoveKeepTheTreeConsistent)
{
    script_.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        WDF_OBJECT_ATTRIBUTES attributes = NodeAttributes();
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
        WDFIOTARGET target = nullptr;
        if (NT_SUCCESS(status)) {
            Name(device, "added");
            status = WdfIoTargetCreate(device, nullptr, &target);
        }
        return status;
    };
    constexpr int kRounds = 20;
    std::mutex mutex;
    std::vector<WDFDEVICE> added;
    auto* token = platform_.Sched().ReserveThread("pnp-add");
    std::thread adder([&] {
        platform_.Sched().AdoptReservation(token);
        for (int i = 0; i < kRounds; ++i) {
            WDFDEVICE device = nullptr;
            EXPECT_EQ(Fx().AddDevice(&device), STATUS_SUCCESS);
            std::lock_guard lock(mutex);
            added.push_back(device);
        }
        platform_.Sched().UnregisterCurrentThread();
    });
    for (int removed = 0; removed < kRounds;) {
        WDFDEVICE device = nullptr;
        {
            std::lock_guard lock(mutex);
            if (!added.empty()) {
                device = added.back();
                added.pop_back();
            }
        }
        if (device != nullptr) {
            Fx().RemoveDevice(device);
            ++removed;
        } else {
            std::this_thread::yield();
        }
    }
    adder.join();
    EXPECT_EQ(Fx().PnpDevices(), std::vector<WDFDEVICE>{device_});
    EXPECT_EQ(Fx().LiveObjectCount(sim::FxType::IoTarget), 1U);
    auto events = script_.Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "destroy added"), kRounds);
}

} // namespace
