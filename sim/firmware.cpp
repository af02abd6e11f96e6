#include "sim/firmware.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "sim/platform.h"
#include "sim/strings.h"
#include "sim/wmi.h"
#include "wmi/wmi.h"

namespace sim {

namespace {

std::string MethodName(ULONG methodId)
{
    switch (methodId) {
    case METHOD_REGISTER:
        return "METHOD_REGISTER";
    case METHOD_UNREGISTER:
        return "METHOD_UNREGISTER";
    case METHOD_ACKNOWLEDGE:
        return "METHOD_ACKNOWLEDGE";
    case METHOD_SET_RESPONSE:
        return "METHOD_SET_RESPONSE";
    case METHOD_GET_REQUEST:
        return "METHOD_GET_REQUEST";
    default:
        return "method " + std::to_string(methodId);
    }
}

void AppendU32(std::vector<std::uint8_t>& out, std::size_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

} // namespace

FirmwareModel::FirmwareModel(Platform& platform) : platform_(platform) {}

FirmwareModel::~FirmwareModel() = default;

void FirmwareModel::Shutdown() {}

void FirmwareModel::SetPresent(bool present)
{
    std::lock_guard guard(mutex_);
    present_ = present;
    appearAt_.reset();
}

void FirmwareModel::AppearAt(Ticks when)
{
    std::lock_guard guard(mutex_);
    present_ = false;
    appearAt_ = when;
}

bool FirmwareModel::Present() const
{
    // Evaluated against the clock on every look, so the moment of appearance depends on
    // virtual time only, never on which thread looks first.
    const Ticks now = platform_.Sched().Now();
    std::lock_guard guard(mutex_);
    return present_ || (appearAt_ && now >= *appearAt_);
}

bool FirmwareModel::ProvidesBlock(const GUID& guid) const
{
    return (SameGuid(guid, FirmwareMethodGuid) || SameGuid(guid, FirmwareEventGuid)) && Present();
}

NTSTATUS FirmwareModel::ExecuteMethod(ULONG methodId, ULONG inSize, PULONG outSize, PUCHAR buffer)
{
    FirmwareCall call;
    call.time = platform_.Sched().Now();
    call.methodId = methodId;
    call.inSize = inSize;
    call.outSizeOnEntry = *outSize;
    call.status = STATUS_PENDING;
    call.livePool = platform_.Pool().Live();
    std::size_t index = 0;
    {
        // Recorded on entry so that the log keeps the order in which calls began, also when a
        // register hook makes calls of its own.
        std::lock_guard guard(mutex_);
        index = calls_.size();
        calls_.push_back(call);
    }
    NTSTATUS status = STATUS_WMI_ITEMID_NOT_FOUND;
    switch (methodId) {
    case METHOD_REGISTER:
    case METHOD_UNREGISTER:
    case METHOD_ACKNOWLEDGE:
        status = ShortMethod(methodId, inSize, outSize, buffer);
        break;
    case METHOD_SET_RESPONSE:
        status = SetResponse(inSize, outSize, buffer);
        break;
    case METHOD_GET_REQUEST:
        status = GetRequest(inSize, outSize, buffer);
        break;
    default:
        break;
    }
    {
        std::lock_guard guard(mutex_);
        calls_[index].outSizeReturned = *outSize;
        calls_[index].status = status;
    }
    platform_.Trace().Add("driver", "firmware", MethodName(methodId),
                          "in " + std::to_string(inSize) + ", out " + std::to_string(call.outSizeOnEntry) + " -> " +
                              std::to_string(*outSize),
                          status);
    platform_.Sched().Notify();
    return status;
}

NTSTATUS FirmwareModel::ShortMethod(ULONG methodId, ULONG inSize, PULONG outSize, const UCHAR* buffer)
{
    *outSize = 0;
    bool signatureOk = inSize == METHOD_SIGNATURE_SIZE;
    if (signatureOk) {
        ULONG value = 0;
        for (ULONG i = 0; i < METHOD_SIGNATURE_SIZE; ++i) {
            value |= static_cast<ULONG>(buffer[i]) << (8 * i);
        }
        signatureOk = value == MethodSignature;
    }
    std::function<void()> hook;
    {
        std::lock_guard guard(mutex_);
        if (methodId == METHOD_REGISTER) {
            ++registerCalls_;
            hook = onRegister_;
        } else if (methodId == METHOD_UNREGISTER) {
            ++unregisterCalls_;
        }
        if (!signatureOk) {
            ++signatureMismatches_;
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (hook) {
        hook();
    }
    std::lock_guard guard(mutex_);
    switch (methodId) {
    case METHOD_REGISTER:
        if (failRegister_ > 0) {
            --failRegister_;
            return failRegisterStatus_;
        }
        registered_ = true;
        return acceptRegisterStatus_;
    case METHOD_UNREGISTER:
        registered_ = false;
        break;
    default:
        ++ackCount_;
        break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FirmwareModel::GetRequest(ULONG inSize, PULONG outSize, PUCHAR buffer)
{
    if (inSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(mutex_);
    if (buffer == nullptr) {
        switch (sizeQuery_.kind) {
        case SizeQuery::Kind::Pending:
            *outSize = pending_.empty() ? 0 : static_cast<ULONG>(pending_.front().size());
            return STATUS_SUCCESS;
        case SizeQuery::Kind::Succeed:
            *outSize = sizeQuery_.reportedSize;
            return STATUS_SUCCESS;
        case SizeQuery::Kind::Fail:
            *outSize = sizeQuery_.reportedSize;
            return sizeQuery_.status;
        }
    }
    if (pending_.empty()) {
        *outSize = 0;
        return STATUS_NOT_FOUND;
    }
    const std::vector<std::uint8_t>& head = pending_.front();
    const auto required = static_cast<ULONG>(head.size());
    if (required > *outSize) {
        *outSize = required;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!head.empty()) {
        std::memcpy(buffer, head.data(), head.size()); // an empty vector's data() may be null
    }
    *outSize = reportDataLength_.value_or(required);
    pending_.pop_front();
    return STATUS_SUCCESS;
}

NTSTATUS FirmwareModel::SetResponse(ULONG inSize, PULONG outSize, const UCHAR* buffer)
{
    std::vector<std::uint8_t> received;
    if (inSize > 0) {
        received.assign(buffer, buffer + inSize);
    }
    *outSize = 0;
    std::lock_guard guard(mutex_);
    handedBack_.push_back(std::move(received));
    return STATUS_SUCCESS;
}

void FirmwareModel::FailRegister(unsigned count, NTSTATUS status)
{
    std::lock_guard guard(mutex_);
    failRegister_ = count;
    failRegisterStatus_ = status;
}

void FirmwareModel::OnRegister(std::function<void()> hook)
{
    std::lock_guard guard(mutex_);
    onRegister_ = std::move(hook);
}

void FirmwareModel::AcceptRegisterWith(NTSTATUS status)
{
    std::lock_guard guard(mutex_);
    acceptRegisterStatus_ = status;
}

bool FirmwareModel::Registered() const
{
    return Locked(registered_);
}

unsigned FirmwareModel::RegisterCalls() const
{
    return Locked(registerCalls_);
}

unsigned FirmwareModel::UnregisterCalls() const
{
    return Locked(unregisterCalls_);
}

unsigned FirmwareModel::AckCount() const
{
    return Locked(ackCount_);
}

unsigned FirmwareModel::SignatureMismatches() const
{
    return Locked(signatureMismatches_);
}

void FirmwareModel::QueueRequest(std::vector<std::uint8_t> exchangeBuffer)
{
    std::lock_guard guard(mutex_);
    pending_.push_back(std::move(exchangeBuffer));
}

void FirmwareModel::RaiseEvent(std::vector<std::uint8_t> exchangeBuffer)
{
    const std::size_t size = exchangeBuffer.size();
    QueueRequest(std::move(exchangeBuffer));
    platform_.Trace().Add("firmware", "kernel", "RaiseEvent", std::to_string(size) + "-byte exchange buffer pending");
    FireEvent();
}

void FirmwareModel::RaiseEventWithoutBuffer()
{
    platform_.Trace().Add("firmware", "kernel", "RaiseEvent", "no exchange buffer pending");
    FireEvent();
}

void FirmwareModel::FireEvent()
{
    {
        std::lock_guard guard(mutex_);
        ++eventsRaised_;
    }
    platform_.Wmi().FireEvent(FirmwareEventGuid);
}

std::size_t FirmwareModel::PendingCount() const
{
    std::lock_guard guard(mutex_);
    return pending_.size();
}

std::size_t FirmwareModel::EventsRaised() const
{
    return Locked(eventsRaised_);
}

void FirmwareModel::SetSizeQuery(SizeQuery query)
{
    std::lock_guard guard(mutex_);
    sizeQuery_ = query;
}

void FirmwareModel::ReportDataLength(std::optional<ULONG> length)
{
    std::lock_guard guard(mutex_);
    reportDataLength_ = length;
}

std::vector<std::vector<std::uint8_t>> FirmwareModel::HandedBack() const
{
    return Locked(handedBack_);
}

std::vector<FirmwareCall> FirmwareModel::Calls() const
{
    return Locked(calls_);
}

std::vector<std::vector<std::uint8_t>> FirmwareModel::TakeHandedBack()
{
    std::lock_guard guard(mutex_);
    return std::exchange(handedBack_, {});
}

bool FirmwareModel::ClearCalls()
{
    // A call in progress completes its record by index, so only a quiet log may go.
    std::lock_guard guard(mutex_);
    if (std::any_of(calls_.begin(), calls_.end(), [](const FirmwareCall& c) { return c.status == STATUS_PENDING; })) {
        return false;
    }
    calls_.clear();
    return true;
}

std::vector<std::uint8_t> FirmwareModel::BuildExchangeBuffer(const std::vector<std::uint8_t>& request,
                                                             const std::vector<std::uint8_t>& response,
                                                             std::vector<std::uint8_t> trailer, std::size_t padTo)
{
    std::vector<std::uint8_t> out;
    out.reserve(std::max(padTo, 8 + request.size() + response.size() + trailer.size()));
    AppendU32(out, request.size());
    out.insert(out.end(), request.begin(), request.end());
    AppendU32(out, response.size());
    out.insert(out.end(), response.begin(), response.end());
    out.insert(out.end(), trailer.begin(), trailer.end());
    if (out.size() < padTo) {
        out.resize(padTo, 0);
    }
    return out;
}

} // namespace sim
