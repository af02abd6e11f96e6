#include "sim/wmi.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <typeinfo>

#include "sim/firmware.h"
#include "sim/image_loader.h"
#include "sim/irql.h"
#include "sim/kernel.h"
#include "sim/platform.h"
#include "sim/strings.h"

namespace sim {

namespace {

// Calls the WMI layer turns away before any provider sees them still belong in the conversation.
NTSTATUS Rejected(Platform& platform, const char* operation, const TraceDetail& detail, NTSTATUS status,
                  std::string_view text = {})
{
    platform.Trace().Record("driver", "kernel", operation, detail, status, text);
    return status;
}

// The kernel reads the method's buffer and the instance name; where either is pool memory it
// must lie in one allocation.
bool FitInPool(Platform& platform, const char* operation, const void* buffer, std::size_t span,
               const UNICODE_STRING& instanceName)
{
    const auto overrun = platform.Pool().FirstOverrun({{buffer, span}, {instanceName.Buffer, instanceName.Length}});
    if (!overrun) {
        return true;
    }
    const bool isBuffer = *overrun == 0;
    platform.Verifier().Report(operation, Verifier::Pointer(isBuffer ? buffer : instanceName.Buffer), 0,
                               std::string(isBuffer ? "buffer" : "instance name buffer") +
                                   " smaller than the sizes passed (" +
                                   std::to_string(isBuffer ? span : std::size_t{instanceName.Length}) + " bytes)");
    return false;
}

// The instance the firmware's method block answers on, compared code unit for code unit and by
// length: WMI matches instance names exactly.
bool IsFirmwareInstance(const UNICODE_STRING& name)
{
    static_assert(sizeof(WCHAR) == sizeof(char16_t));
    const std::u16string_view expected(firmware::kInstanceName);
    return name.Length == expected.size() * sizeof(char16_t) &&
           std::memcmp(name.Buffer, expected.data(), name.Length) == 0;
}

} // namespace

WmiBlock::WmiBlock(WmiModel& model, const GUID& guid, ULONG access)
    : KernelObject("WmiBlock", GuidText(guid)), model_(model), guid_(guid), access_(access)
{}

void WmiBlock::OnLastReference()
{
    model_.OnBlockReleased(this);
}

WmiModel::WmiModel(Platform& platform) : platform_(platform)
{
    Scheduler::ThreadState* token = platform_.Sched().ReserveThread("wmi");
    thread_ = std::thread([this, token] {
        platform_.Sched().AdoptReservation(token);
        DeliveryThread();
        platform_.Sched().UnregisterCurrentThread();
    });
}

WmiModel::~WmiModel()
{
    Shutdown();
}

void WmiModel::Shutdown()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
        QueueChangedLocked();
        hold_ = false;
    }
    Scheduler& sched = platform_.Sched();
    sched.Signal();
    {
        // Wait as a scheduler participant: the deliveries still queued may wait on the clock.
        std::unique_lock lock(sched.Mutex());
        sched.WaitUntil(lock, [this] {
            std::lock_guard guard(mutex_);
            return exited_;
        });
    }
    thread_.join();
}

WmiBlock* WmiModel::LookupBlock(PVOID object, const char* operation) const
{
    KernelObject* found = platform_.Objects().Lookup(object, operation);
    if (found == nullptr) {
        return nullptr;
    }
    // WmiBlock is final, so its exact type decides, which is cheaper to ask on every method call
    // than a dynamic_cast's walk of the class hierarchy.
    if (typeid(*found) != typeid(WmiBlock)) {
        platform_.Verifier().Report(operation, found->Describe(), 0, "not a WMI data block object");
        return nullptr;
    }
    return static_cast<WmiBlock*>(found);
}

WmiBlock* WmiModel::AdmitBlockCall(const char* operation, NTSTATUS faultStatus, PVOID object, ULONG access,
                                   const TraceDetail& detail, NTSTATUS* status)
{
    RequireIrqlAtMost(operation, APC_LEVEL);
    if (platform_.Faults().Check(operation, faultStatus, status)) {
        // A rule may name a success status; the call still fails, having found no block.
        *status = Rejected(platform_, operation, detail, NT_SUCCESS(*status) ? STATUS_INVALID_HANDLE : *status);
        return nullptr;
    }
    WmiBlock* block = LookupBlock(object, operation);
    if (block == nullptr) {
        *status = Rejected(platform_, operation, detail, STATUS_INVALID_HANDLE);
        return nullptr;
    }
    if ((block->Access() & access) == 0) {
        *status = Rejected(platform_, operation, detail, STATUS_ACCESS_DENIED);
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return block;
}

NTSTATUS WmiModel::OpenBlock(LPCGUID guid, ULONG desiredAccess, PVOID* object)
{
    constexpr const char* kOperation = "IoWMIOpenBlock";
    RequireIrqlAtMost(kOperation, APC_LEVEL);
    if (guid == nullptr || object == nullptr) {
        platform_.Verifier().Report(kOperation, "", 0, "null GUID or object pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *object = nullptr;
    const TraceDetail detail("{} access {}", TraceArg::Guid(*guid), TraceArg::Hex(desiredAccess));
    if ((desiredAccess & WMIGUID_NOTIFICATION) != 0 && (desiredAccess & SYNCHRONIZE) == 0) {
        // Recorded, not refused: the documentation states the rule, not what the kernel does.
        platform_.Verifier().Report(kOperation, GuidText(*guid), 0,
                                    "WMIGUID_NOTIFICATION without SYNCHRONIZE (IoWMIOpenBlock requires both)");
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (platform_.Faults().Check(kOperation, STATUS_WMI_GUID_NOT_FOUND, &status)) {
        return Rejected(platform_, kOperation, detail, status);
    }
    if (!platform_.Firmware().ProvidesBlock(*guid)) {
        return Rejected(platform_, kOperation, detail, STATUS_WMI_GUID_NOT_FOUND);
    }
    WmiBlock* block = platform_.Objects().Insert(std::make_unique<WmiBlock>(*this, *guid, desiredAccess));
    {
        std::lock_guard guard(mutex_);
        live_.insert(block);
    }
    *object = static_cast<KernelObject*>(block); // the object manager knows it by its base address
    platform_.Trace().Record("driver", "kernel", kOperation, "{} access {} -> {}",
                             {TraceArg::Guid(*guid), TraceArg::Hex(desiredAccess), TraceArg::Object("block", block)},
                             STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS WmiModel::ExecuteMethod(PVOID object, PUNICODE_STRING instanceName, ULONG methodId, ULONG inBufferSize,
                                 PULONG outBufferSize, PUCHAR buffer)
{
    constexpr const char* kOperation = "IoWMIExecuteMethod";
    const TraceDetail detail("method {} in {}", TraceArg::Decimal(methodId), TraceArg::Decimal(inBufferSize));
    NTSTATUS status = STATUS_SUCCESS;
    WmiBlock* block =
        AdmitBlockCall(kOperation, STATUS_WMI_GUID_DISCONNECTED, object, WMIGUID_EXECUTE, detail, &status);
    if (block == nullptr) {
        return status;
    }
    if (outBufferSize == nullptr || instanceName == nullptr ||
        (instanceName->Buffer == nullptr && instanceName->Length > 0)) {
        platform_.Verifier().Report(kOperation, block->Describe(), 0, "null OutBufferSize or instance name");
        return Rejected(platform_, kOperation, detail, STATUS_INVALID_PARAMETER);
    }
    // One buffer carries the input in and the output out, so it must hold the larger of the two.
    const std::size_t span = std::max<std::size_t>(inBufferSize, *outBufferSize);
    if (buffer == nullptr && span > 0) {
        platform_.Verifier().Report(kOperation, block->Describe(), 0, "null buffer with a non-zero size");
        return Rejected(platform_, kOperation, detail, STATUS_INVALID_PARAMETER);
    }
    if (!FitInPool(platform_, kOperation, buffer, span, *instanceName)) {
        return Rejected(platform_, kOperation, detail, STATUS_INVALID_PARAMETER);
    }
    if (!platform_.Firmware().Present()) {
        return Rejected(platform_, kOperation, detail, STATUS_WMI_GUID_DISCONNECTED);
    }
    if (!IsFirmwareInstance(*instanceName)) {
        return Rejected(platform_, kOperation,
                        TraceDetail("method {} in {} instance '{}'", TraceArg::Decimal(methodId),
                                    TraceArg::Decimal(inBufferSize), TraceArg::Text()),
                        STATUS_WMI_INSTANCE_NOT_FOUND, Narrow(*instanceName));
    }
    if (!SameGuid(block->Guid(), firmware::kMethodBlockGuid)) {
        return Rejected(platform_, kOperation,
                        TraceDetail("method {} in {} on a block without methods", TraceArg::Decimal(methodId),
                                    TraceArg::Decimal(inBufferSize)),
                        STATUS_WMI_ITEMID_NOT_FOUND);
    }
    return platform_.Firmware().ExecuteMethod(methodId, inBufferSize, outBufferSize, buffer);
}

NTSTATUS WmiModel::SetNotificationCallback(PVOID object, WMI_NOTIFICATION_CALLBACK callback, PVOID context)
{
    constexpr const char* kOperation = "IoWMISetNotificationCallback";
    const TraceDetail detail("context {}", TraceArg::Object("context", context));
    NTSTATUS status = STATUS_SUCCESS;
    WmiBlock* block = AdmitBlockCall(kOperation, STATUS_UNSUCCESSFUL, object, WMIGUID_NOTIFICATION, detail, &status);
    if (block == nullptr) {
        return status;
    }
    if (callback == nullptr) {
        platform_.Verifier().Report(kOperation, block->Describe(), 0, "null notification callback");
        return Rejected(platform_, kOperation, detail, STATUS_INVALID_PARAMETER);
    }
    bool live = false;
    {
        std::lock_guard guard(mutex_);
        live = live_.count(block) != 0;
        if (live) {
            callbacks_[block] = Installed{callback, context};
        }
    }
    if (!live) {
        // Released by another thread after the lookup above.
        platform_.Verifier().Report(kOperation, block->Describe(), 0, "block released while its callback was set");
        return Rejected(platform_, kOperation, detail, STATUS_INVALID_HANDLE);
    }
    platform_.Trace().Record(
        "driver", "kernel", kOperation, "context {} on WmiBlock '{}' at {}",
        {TraceArg::Object("context", context), TraceArg::Guid(block->Guid()), TraceArg::Object("block", block)},
        STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

void WmiModel::OnBlockReleased(const WmiBlock* block)
{
    bool hadCallback = false;
    {
        std::lock_guard guard(mutex_);
        live_.erase(block);
        hadCallback = callbacks_.erase(block) != 0;
        released_.push_back(block->Guid());
    }
    platform_.Trace().Record("driver", "kernel", "ObfDereferenceObject",
                             hadCallback ? "WmiBlock '{}' at {} released, notification callback removed"
                                         : "WmiBlock '{}' at {} released",
                             {TraceArg::Guid(block->Guid()), TraceArg::Object("block", block)});
    platform_.Sched().Notify();
}

std::size_t WmiModel::FireEvent(const GUID& guid, const std::vector<std::uint8_t>& data)
{
    // A fault of the machine, not of a call the driver makes: the WMI layer drops the event
    // before any consumer sees it, as it may when it runs short of event buffers. The provider's
    // state (a request it has pending) is untouched.
    NTSTATUS ignored = STATUS_SUCCESS;
    if (platform_.Faults().CheckMachineFault("WmiEventDelivery", STATUS_UNSUCCESSFUL, &ignored)) {
        {
            std::lock_guard guard(mutex_);
            ++lost_;
        }
        platform_.Trace().Record("firmware", "kernel", "WmiEvent", "{} lost: delivery failed (injected)",
                                 {TraceArg::Guid(guid)});
        return 0;
    }
    const Ticks raisedAt = KernelModel::kSystemTimeAtBoot + platform_.Sched().Now();
    std::size_t queued = 0;
    {
        std::lock_guard guard(mutex_);
        if (!stopping_) {
            for (const auto& [block, installed] : callbacks_) {
                if (SameGuid(block->Guid(), guid)) {
                    queue_.push_back(Queued{block, raisedAt, data});
                    QueueChangedLocked();
                    ++queued;
                }
            }
        }
        if (queued == 0) {
            ++lost_;
        }
    }
    if (queued == 0) {
        platform_.Trace().Record("firmware", "kernel", "WmiEvent", "{} lost: no notification callback installed",
                                 {TraceArg::Guid(guid)});
    } else {
        platform_.Trace().Record("firmware", "kernel", "WmiEvent", "{} queued for {} block(s)",
                                 {TraceArg::Guid(guid), TraceArg::Decimal(queued)});
    }
    platform_.Sched().Signal();
    return queued;
}

void WmiModel::DeliveryThread()
{
    Scheduler& sched = platform_.Sched();
    for (;;) {
        Queued event;
        Installed target;
        {
            std::unique_lock lock(sched.Mutex());
            sched.WaitForSignal(lock, [this] { return work_.load(); });
            bool held = false;
            {
                std::lock_guard guard(mutex_);
                if (queue_.empty()) {
                    exited_ = true;
                    return;
                }
                event = std::move(queue_.front());
                queue_.pop_front();
                QueueChangedLocked();
                // The callback and context are read at pick-up; from here on a release of the
                // block no longer stops this delivery.
                auto it = callbacks_.find(event.block);
                if (it == callbacks_.end()) {
                    ++lost_;
                } else {
                    target = it->second;
                    inFlight_ = true;
                    held = hold_;
                    held_ += held ? 1 : 0;
                }
            }
            sched.NotifyLocked();
            if (held) {
                sched.WaitUntil(lock, [this] {
                    std::lock_guard guard(mutex_);
                    return !hold_;
                });
                std::lock_guard guard(mutex_);
                --held_;
            }
        }
        const WmiBlock* block = event.block;
        if (target.callback == nullptr) {
            platform_.Trace().Record("kernel", "driver", "WmiNotification",
                                     "WmiBlock '{}' at {} released before delivery; event dropped",
                                     {TraceArg::Guid(block->Guid()), TraceArg::Object("block", block)});
            continue;
        }
        platform_.Trace().Record("kernel", "driver", "WmiNotification", "WmiBlock '{}' at {} context {}",
                                 {TraceArg::Guid(block->Guid()), TraceArg::Object("block", block),
                                  TraceArg::Object("context", target.context)});
        CallIntoDriver("WmiNotification", target.callback, BuildNotification(event), target.context);
        {
            std::lock_guard guard(mutex_);
            inFlight_ = false;
            ++delivered_;
        }
        sched.Notify();
    }
}

// What the kernel's documentation of WNODE_SINGLE_INSTANCE describes, and what a consumer of a
// data block provider's event receives: the header (GUID, WNODE_FLAG_SINGLE_INSTANCE |
// WNODE_FLAG_EVENT_ITEM, the time the event was raised as a system time), the instance name as
// a counted string at OffsetInstanceName, and the data block at DataBlockOffset, 8-byte aligned.
// The memory is the delivery thread's own and valid for the callback's duration only.
PVOID WmiModel::BuildNotification(const Queued& event)
{
    static_assert(sizeof(WCHAR) == sizeof(char16_t));
    const std::u16string_view name(firmware::kInstanceName);
    const auto nameBytes = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    const auto align8 = [](std::size_t offset) { return (offset + 7) & ~std::size_t{7}; };
    const std::size_t nameOffset = sizeof(WNODE_SINGLE_INSTANCE);
    const std::size_t dataOffset = align8(nameOffset + sizeof(USHORT) + nameBytes);
    const std::size_t total = dataOffset + event.data.size();
    notification_.assign((total + 7) / 8, 0); // 8-byte units: the header holds 64-bit fields
    auto* bytes = reinterpret_cast<std::uint8_t*>(notification_.data());
    auto* wnode = reinterpret_cast<WNODE_SINGLE_INSTANCE*>(bytes);
    wnode->WnodeHeader.BufferSize = static_cast<ULONG>(total);
    wnode->WnodeHeader.Guid = event.block->Guid();
    wnode->WnodeHeader.Flags = WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_EVENT_ITEM;
    wnode->WnodeHeader.u2.TimeStamp.QuadPart = static_cast<LONGLONG>(event.raisedAt);
    wnode->OffsetInstanceName = static_cast<ULONG>(nameOffset);
    wnode->InstanceIndex = 0;
    wnode->DataBlockOffset = static_cast<ULONG>(dataOffset);
    wnode->SizeDataBlock = static_cast<ULONG>(event.data.size());
    std::memcpy(bytes + nameOffset, &nameBytes, sizeof nameBytes);
    std::memcpy(bytes + nameOffset + sizeof nameBytes, name.data(), nameBytes);
    if (!event.data.empty()) {
        std::memcpy(bytes + dataOffset, event.data.data(), event.data.size());
    }
    return wnode;
}

void WmiModel::HoldDeliveries(bool hold)
{
    {
        std::lock_guard guard(mutex_);
        hold_ = hold && !stopping_;
    }
    platform_.Sched().Notify();
}

std::size_t WmiModel::DeliveriesHeld() const
{
    return Locked(held_);
}

std::size_t WmiModel::EventsDelivered() const
{
    return Locked(delivered_);
}

std::size_t WmiModel::EventsLost() const
{
    return Locked(lost_);
}

bool WmiModel::CallbackInFlight() const
{
    return Locked(inFlight_);
}

std::size_t WmiModel::PendingDeliveries() const
{
    std::lock_guard guard(mutex_);
    return queue_.size();
}

std::vector<PVOID> WmiModel::NotificationContexts(const GUID& guid) const
{
    std::lock_guard guard(mutex_);
    std::vector<PVOID> contexts;
    for (const auto& [block, installed] : callbacks_) {
        if (SameGuid(block->Guid(), guid)) {
            contexts.push_back(installed.context);
        }
    }
    return contexts;
}

std::vector<GUID> WmiModel::ReleasedBlocks() const
{
    return Locked(released_);
}

void WmiModel::ReportHeld(const std::string& when) const
{
    std::vector<std::string> installed;
    bool running = false;
    {
        std::lock_guard guard(mutex_);
        for (const auto& [block, callback] : callbacks_) {
            installed.push_back(block->Describe());
        }
        running = inFlight_;
    }
    for (const auto& object : installed) {
        platform_.Verifier().Report(when, object, 0, "WMI notification callback still installed at driver unload");
    }
    if (running) {
        platform_.Verifier().Report(when, "", 0, "WMI notification callback still running at driver unload");
    }
}

} // namespace sim

EXTERN_C NTSTATUS IoWMIOpenBlock(LPCGUID Guid, ULONG DesiredAccess, PVOID* DataBlockObject)
{
    return sim::Platform::Current().Wmi().OpenBlock(Guid, DesiredAccess, DataBlockObject);
}

EXTERN_C NTSTATUS IoWMIExecuteMethod(PVOID DataBlockObject, PUNICODE_STRING InstanceName, ULONG MethodId,
                                     ULONG InBufferSize, PULONG OutBufferSize, PUCHAR InOutBuffer)
{
    return sim::Platform::Current().Wmi().ExecuteMethod(DataBlockObject, InstanceName, MethodId, InBufferSize,
                                                        OutBufferSize, InOutBuffer);
}

EXTERN_C NTSTATUS IoWMISetNotificationCallback(PVOID Object, WMI_NOTIFICATION_CALLBACK Callback, PVOID Context)
{
    return sim::Platform::Current().Wmi().SetNotificationCallback(Object, Callback, Context);
}
