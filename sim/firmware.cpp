#include "sim/firmware.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "sim/platform.h"
#include "sim/strings.h"
#include "sim/wmi.h"

namespace sim {

namespace {

void AppendU32(std::vector<std::uint8_t>& out, std::size_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

} // namespace

const char* firmware::MethodName(ULONG methodId)
{
    switch (methodId) {
    case kRegister:
        return "METHOD_REGISTER";
    case kUnregister:
        return "METHOD_UNREGISTER";
    case kAcknowledge:
        return "METHOD_ACKNOWLEDGE";
    case kSetResponse:
        return "METHOD_SET_RESPONSE";
    case kGetRequest:
        return "METHOD_GET_REQUEST";
    default:
        return "METHOD_UNKNOWN";
    }
}

FirmwareModel::FirmwareModel(Platform& platform) : platform_(platform) {}

FirmwareModel::~FirmwareModel() = default;

void FirmwareModel::Shutdown() {}

void FirmwareModel::SetPresent(bool present)
{
    presentFrom_.store(present ? 0 : std::numeric_limits<Ticks>::max());
}

void FirmwareModel::AppearAt(Ticks when)
{
    presentFrom_.store(when);
}

bool FirmwareModel::Present() const
{
    // Evaluated against the clock on every look, so the moment of appearance depends on
    // virtual time only, never on which thread looks first.
    return platform_.Sched().Now() >= presentFrom_.load();
}

bool FirmwareModel::ProvidesBlock(const GUID& guid) const
{
    return (SameGuid(guid, firmware::kMethodBlockGuid) || SameGuid(guid, firmware::kEventBlockGuid)) && Present();
}

NTSTATUS FirmwareModel::ExecuteMethod(ULONG methodId, ULONG inSize, PULONG outSize, PUCHAR buffer)
{
    FirmwareCall call;
    call.time = platform_.Sched().Now();
    call.methodId = methodId;
    call.inSize = inSize;
    call.outSizeOnEntry = *outSize;
    call.status = STATUS_PENDING;
    const ULONG outSizeOnEntry = call.outSizeOnEntry;
    // Into a record a cleared log left behind where there is one; the pool as the call arrives
    // goes into that record's list (the pool's lock is a leaf below this model's).
    auto recordLocked = [this, &call] {
        if (callCount_ == calls_.size()) {
            calls_.emplace_back();
        }
        FirmwareCall& record = calls_[callCount_];
        call.livePool = std::move(record.livePool);
        platform_.Pool().LiveInto(call.livePool);
        record = std::move(call);
        return callCount_++;
    };
    NTSTATUS status = STATUS_WMI_ITEMID_NOT_FOUND;
    const bool runsWhole = methodId == firmware::kGetRequest || methodId == firmware::kSetResponse ||
                           methodId == firmware::kUnregister || methodId == firmware::kAcknowledge;
    if (runsWhole) {
        // Nothing else runs inside these: the record, the method and its result under one
        // acquisition.
        std::lock_guard guard(mutex_);
        const std::size_t index = recordLocked();
        switch (methodId) {
        case firmware::kGetRequest:
            status = GetRequestLocked(inSize, outSize, buffer);
            break;
        case firmware::kSetResponse:
            status = SetResponseLocked(inSize, outSize, buffer);
            break;
        default:
            status = UnregisterOrAcknowledgeLocked(methodId, inSize, outSize, buffer);
            break;
        }
        calls_[index].outSizeReturned = *outSize;
        calls_[index].status = status;
    } else {
        std::size_t index = 0;
        {
            // Recorded on entry so that the log keeps the order in which calls began, also when
            // a register hook makes calls of its own.
            std::lock_guard guard(mutex_);
            index = recordLocked();
        }
        if (methodId == firmware::kRegister) {
            status = Register(inSize, outSize, buffer);
        }
        std::lock_guard guard(mutex_);
        calls_[index].outSizeReturned = *outSize;
        calls_[index].status = status;
    }
    const char* name = firmware::MethodName(methodId);
    if (!runsWhole && methodId != firmware::kRegister) {
        platform_.Trace().Record("driver", "firmware", name, "method {} in {}, out {} -> {}",
                                 {TraceArg::Decimal(methodId), TraceArg::Decimal(inSize),
                                  TraceArg::Decimal(outSizeOnEntry), TraceArg::Decimal(*outSize)},
                                 status);
    } else {
        platform_.Trace().Record(
            "driver", "firmware", name, "in {}, out {} -> {}",
            {TraceArg::Decimal(inSize), TraceArg::Decimal(outSizeOnEntry), TraceArg::Decimal(*outSize)}, status);
    }
    platform_.Sched().Notify();
    return status;
}

namespace {
// The three short methods take the signature as their only input.
bool SignatureOk(ULONG inSize, const UCHAR* buffer)
{
    if (inSize != firmware::kSignatureSize) {
        return false;
    }
    ULONG value = 0;
    for (ULONG i = 0; i < firmware::kSignatureSize; ++i) {
        value |= static_cast<ULONG>(buffer[i]) << (8 * i);
    }
    return value == firmware::kSignature;
}
} // namespace

NTSTATUS FirmwareModel::AnswerShortMethodLocked(ULONG methodId, NTSTATUS accepted, ULONG room, PULONG outSize,
                                                PUCHAR buffer)
{
    *outSize = 0;
    NTSTATUS tooSmall = STATUS_BUFFER_TOO_SMALL;
    if (!platform_.Faults().CheckMachineFault("FirmwareMethodOutput", STATUS_BUFFER_TOO_SMALL, &tooSmall)) {
        return accepted;
    }
    // The method has run, side effects and all; the WMI layer then finds its output larger than
    // the room the caller gave and answers with the size it needs (the kernel's documentation of
    // IoWMIExecuteMethod), handing out no part of it.
    *outSize = firmware::kLongAnswerSize;
    if (room < firmware::kLongAnswerSize || buffer == nullptr) {
        ++answersTooLong_;
        return tooSmall;
    }
    // Room enough: the answer is the method id and the status it completed with.
    const ULONG words[] = {methodId, static_cast<ULONG>(accepted)};
    static_assert(sizeof words == firmware::kLongAnswerSize);
    std::memcpy(buffer, words, sizeof words);
    return accepted;
}

NTSTATUS FirmwareModel::Register(ULONG inSize, PULONG outSize, PUCHAR buffer)
{
    const ULONG room = *outSize;
    *outSize = 0;
    std::function<void()> hook;
    {
        std::lock_guard guard(mutex_);
        ++registerCalls_;
        hook = onRegister_;
        if (!SignatureOk(inSize, buffer)) {
            ++signatureMismatches_;
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (hook) {
        hook();
    }
    std::lock_guard guard(mutex_);
    if (failRegister_ > 0) {
        --failRegister_;
        return failRegisterStatus_;
    }
    registered_ = true;
    return AnswerShortMethodLocked(firmware::kRegister, acceptRegisterStatus_, room, outSize, buffer);
}

NTSTATUS FirmwareModel::UnregisterOrAcknowledgeLocked(ULONG methodId, ULONG inSize, PULONG outSize, PUCHAR buffer)
{
    const ULONG room = *outSize;
    *outSize = 0;
    if (methodId == firmware::kUnregister) {
        ++unregisterCalls_;
    }
    if (!SignatureOk(inSize, buffer)) {
        ++signatureMismatches_;
        return STATUS_INVALID_PARAMETER;
    }
    if (methodId == firmware::kUnregister) {
        registered_ = false;
    } else {
        ++ackCount_;
    }
    return AnswerShortMethodLocked(methodId, STATUS_SUCCESS, room, outSize, buffer);
}

NTSTATUS FirmwareModel::GetRequestLocked(ULONG inSize, PULONG outSize, PUCHAR buffer)
{
    if (inSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (buffer == nullptr && sizeQuery_.kind != SizeQuery::Kind::Pending) {
        *outSize = sizeQuery_.reportedSize;
        return sizeQuery_.kind == SizeQuery::Kind::Succeed ? STATUS_SUCCESS : sizeQuery_.status;
    }
    // The room the caller gave the output; a call without a buffer has none.
    const ULONG room = buffer == nullptr ? 0 : *outSize;
    if (pending_.empty()) {
        // An empty output fits any room: only the size query succeeds here.
        *outSize = 0;
        return buffer == nullptr ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    }
    std::vector<std::uint8_t> taken;
    const std::vector<std::uint8_t>* head = &pending_.front();
    if (getRequestConsumes_) {
        // The method has run: the firmware has let the request go, wherever it ends up.
        taken = std::move(pending_.front());
        pending_.pop_front();
        head = &taken;
    }
    const auto required = static_cast<ULONG>(head->size());
    if (required > room) {
        // The WMI layer does not hand out part of an output: the caller learns the size needed.
        requestsLost_ += getRequestConsumes_ ? 1 : 0;
        *outSize = required;
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!head->empty() && buffer != nullptr) {
        // Only an empty output fits a call without a buffer; an empty vector's data() may be null.
        std::memcpy(buffer, head->data(), head->size());
    }
    *outSize = reportDataLength_.value_or(required);
    if (!getRequestConsumes_) {
        // Delivered: its memory holds what the driver hands back next.
        KeepSpareLocked(std::move(pending_.front()));
        pending_.pop_front();
    }
    return STATUS_SUCCESS;
}

NTSTATUS FirmwareModel::SetResponseLocked(ULONG inSize, PULONG outSize, const UCHAR* buffer)
{
    std::vector<std::uint8_t> received;
    if (!spares_.empty()) {
        received = std::move(spares_.back());
        spares_.pop_back();
    }
    received.assign(buffer, buffer + inSize);
    *outSize = 0;
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
    platform_.Trace().Record("firmware", "kernel", "RaiseEvent", "{}-byte exchange buffer pending",
                             {TraceArg::Decimal(size)});
    FireEvent();
}

void FirmwareModel::RaiseEventWithoutBuffer()
{
    platform_.Trace().Record("firmware", "kernel", "RaiseEvent", "no exchange buffer pending");
    FireEvent();
}

void FirmwareModel::FireEvent()
{
    std::vector<std::uint8_t> data;
    {
        std::lock_guard guard(mutex_);
        ++eventsRaised_;
        data = eventData_;
    }
    platform_.Wmi().FireEvent(firmware::kEventBlockGuid, data);
}

void FirmwareModel::SetEventData(std::vector<std::uint8_t> data)
{
    std::lock_guard guard(mutex_);
    eventData_ = std::move(data);
}

std::size_t FirmwareModel::AnswersTooLong() const
{
    return Locked(answersTooLong_);
}

std::size_t FirmwareModel::DropPending()
{
    std::lock_guard guard(mutex_);
    const std::size_t dropped = pending_.size();
    pending_.clear();
    return dropped;
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

void FirmwareModel::SetGetRequestConsumes(bool on)
{
    std::lock_guard guard(mutex_);
    getRequestConsumes_ = on;
}

std::size_t FirmwareModel::RequestsLost() const
{
    return Locked(requestsLost_);
}

std::vector<std::vector<std::uint8_t>> FirmwareModel::HandedBack() const
{
    return Locked(handedBack_);
}

std::vector<FirmwareCall> FirmwareModel::Calls() const
{
    std::lock_guard guard(mutex_);
    return {calls_.begin(), calls_.begin() + static_cast<std::ptrdiff_t>(callCount_)};
}

void FirmwareModel::TakeHandedBack(std::vector<std::vector<std::uint8_t>>& into)
{
    into.clear();
    std::lock_guard guard(mutex_);
    std::swap(into, handedBack_);
}

void FirmwareModel::Recycle(std::vector<std::vector<std::uint8_t>>& buffers)
{
    {
        std::lock_guard guard(mutex_);
        for (auto& buffer : buffers) {
            KeepSpareLocked(std::move(buffer));
        }
    }
    buffers.clear();
}

void FirmwareModel::KeepSpareLocked(std::vector<std::uint8_t> buffer)
{
    // A few are enough: one event hands back one buffer. The largest is kept, and taken first.
    constexpr std::size_t kKept = 4;
    buffer.clear();
    spares_.push_back(std::move(buffer));
    std::sort(spares_.begin(), spares_.end(), [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
    if (spares_.size() > kKept) {
        spares_.erase(spares_.begin());
    }
}

bool FirmwareModel::ClearCalls()
{
    // A call in progress completes its record by index, so only a quiet log may go.
    std::lock_guard guard(mutex_);
    const auto end = calls_.begin() + static_cast<std::ptrdiff_t>(callCount_);
    if (std::any_of(calls_.begin(), end, [](const FirmwareCall& c) { return c.status == STATUS_PENDING; })) {
        return false;
    }
    callCount_ = 0;
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
