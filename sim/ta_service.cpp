#include "sim/ta_service.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sim/framework.h"
#include "sim/platform.h"
#include "sim/pnp.h"
#include "sim/strings.h"

namespace sim {

namespace {

std::uint8_t* AreaPointer(ULONG64 address)
{
    return reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
}

bool Holds(const TaBehaviour& behaviour)
{
    return behaviour.kind == TaBehaviour::Kind::Block || behaviour.kind == TaBehaviour::Kind::IgnoreCancel;
}

} // namespace

ULONG64 ta::ReadWord(const std::uint8_t* record, std::size_t offset)
{
    // Little-endian on the wire.
    if constexpr (std::endian::native == std::endian::little) {
        ULONG64 value = 0;
        std::memcpy(&value, record + offset, sizeof value);
        return value;
    }
    ULONG64 value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= static_cast<ULONG64>(record[offset + i]) << (8 * i);
    }
    return value;
}

TaBehaviour TaBehaviour::Echo()
{
    return TaBehaviour{};
}

TaBehaviour TaBehaviour::Fixed(std::vector<std::uint8_t> answer)
{
    TaBehaviour b;
    b.kind = Kind::Fixed;
    b.bytes = std::move(answer);
    return b;
}

TaBehaviour TaBehaviour::WriteFirst(std::size_t n)
{
    TaBehaviour b;
    b.kind = Kind::WriteFirst;
    b.count = n;
    return b;
}

TaBehaviour TaBehaviour::Fail(NTSTATUS failure)
{
    TaBehaviour b;
    b.kind = Kind::Fail;
    b.status = failure;
    return b;
}

TaBehaviour TaBehaviour::Block()
{
    TaBehaviour b;
    b.kind = Kind::Block;
    return b;
}

TaBehaviour TaBehaviour::IgnoreCancel()
{
    TaBehaviour b;
    b.kind = Kind::IgnoreCancel;
    return b;
}

std::string TaBehaviour::Describe() const
{
    switch (kind) {
    case Kind::Echo:
        return "echo";
    case Kind::Fixed:
        return "fixed(" + std::to_string(bytes.size()) + " bytes)";
    case Kind::WriteFirst:
        return "write-first(" + std::to_string(count) + ")";
    case Kind::Fail:
        return "fail(" + Trace::StatusText(status) + ")";
    case Kind::Block:
        return "block";
    case Kind::IgnoreCancel:
        return "ignore-cancel";
    }
    return "?";
}

TaServiceModel::TaServiceModel(Platform& platform) : platform_(platform) {}

TaServiceModel::~TaServiceModel() = default;

void TaServiceModel::Shutdown()
{
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
    }
    ReleaseAll();
}

void TaServiceModel::Arrive(const std::u16string& link)
{
    {
        std::lock_guard lock(mutex_);
        if (present_) {
            return;
        }
        present_ = true;
        link_ = link;
    }
    platform_.Trace().Add("ta", "pnp", "AddInterface", GuidText(ta::kInterfaceClassGuid) + " " + Narrow(link));
    platform_.Pnp().AddInterface(ta::kInterfaceClassGuid, link);
}

void TaServiceModel::Depart()
{
    std::u16string link;
    {
        // Absent from here on: a send that reaches the service while it goes away is refused.
        std::lock_guard lock(mutex_);
        if (!present_) {
            return;
        }
        present_ = false;
        link = link_;
    }
    // No open reaches the device from here on. Targets open on the interface are closed first:
    // that cancels sends held here and waits for them, as a removed target device does.
    platform_.Pnp().BeginInterfaceRemoval(link);
    platform_.Framework().OnInterfaceRemoved(link);
    platform_.Trace().Add("ta", "pnp", "RemoveInterface", Narrow(link));
    platform_.Pnp().RemoveInterface(link);
}

bool TaServiceModel::Present() const
{
    std::lock_guard lock(mutex_);
    return present_;
}

std::u16string TaServiceModel::Link() const
{
    std::lock_guard lock(mutex_);
    return link_;
}

void TaServiceModel::SetBehaviour(TaBehaviour behaviour)
{
    std::lock_guard lock(mutex_);
    default_ = std::move(behaviour);
}

void TaServiceModel::SetRequestBytesKept(bool keep)
{
    std::lock_guard lock(mutex_);
    keepRequestBytes_ = keep;
}

void TaServiceModel::QueueBehaviour(TaBehaviour behaviour)
{
    std::lock_guard lock(mutex_);
    queued_.push_back(std::move(behaviour));
}

std::vector<TaRequest> TaServiceModel::Requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

std::size_t TaServiceModel::RequestCount() const
{
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool TaServiceModel::ClearRequests()
{
    // Requests in progress are completed by their index into requests_.
    std::lock_guard lock(mutex_);
    if (std::any_of(requests_.begin(), requests_.end(),
                    [](const TaRequest& r) { return r.status == STATUS_PENDING; })) {
        return false;
    }
    // Enough for a long run that clears its log every few dozen events.
    constexpr std::size_t kKeptRecords = 64;
    for (TaRequest& request : requests_) {
        if (spares_.size() == kKeptRecords) {
            break;
        }
        spares_.push_back(std::move(request));
    }
    requests_.clear();
    return true;
}

std::size_t TaServiceModel::Blocked() const
{
    std::lock_guard lock(mutex_);
    return blocked_.size();
}

bool TaServiceModel::Release()
{
    {
        std::lock_guard lock(mutex_);
        if (blocked_.empty()) {
            return false;
        }
        released_.insert(blocked_.front());
        blocked_.pop_front();
    }
    platform_.Sched().Notify();
    return true;
}

std::size_t TaServiceModel::ReleaseAll()
{
    std::size_t count = 0;
    {
        std::lock_guard lock(mutex_);
        count = blocked_.size();
        released_.insert(blocked_.begin(), blocked_.end());
        blocked_.clear();
    }
    platform_.Sched().Notify();
    return count;
}

std::uint8_t TaServiceModel::ResponsePattern(std::size_t index)
{
    return static_cast<std::uint8_t>(0x80 + index % 0x7F);
}

std::uint8_t TaServiceModel::OutputPattern(std::size_t index)
{
    return static_cast<std::uint8_t>(0xE0 + index % 0x10);
}

NTSTATUS TaServiceModel::HandleIoctl(const std::u16string& link, ULONG ioctlCode, const void* input, ULONG inputLength,
                                     void* output, ULONG outputLength, ULONG_PTR* information,
                                     const std::function<bool()>& cancelled)
{
    if (information != nullptr) {
        *information = 0;
    }
    NTSTATUS refusal = STATUS_SUCCESS;
    std::size_t requestLength = 0;
    ULONG64 requestAddress = 0;
    ULONG64 responseAddress = 0;
    ULONG64 responseLength = 0;
    std::size_t index = 0;
    TaBehaviour behaviour;
    {
        // The request is read, checked and logged under one acquisition: the areas' check is a
        // leaf look at the pool, and nothing here calls out.
        std::lock_guard lock(mutex_);
        // Equality only: the standard comparison of char16_t strings goes a character at a time.
        const bool present = present_ && link.size() == link_.size() &&
                             std::memcmp(link.data(), link_.data(), link.size() * sizeof(char16_t)) == 0;
        index = requests_.size();
        TaRequest& record = requests_.emplace_back();
        // A cleared log's record lends its memory to this one's copies.
        if (!spares_.empty()) {
            TaRequest& spare = spares_.back();
            record.link = std::move(spare.link);
            record.input = std::move(spare.input);
            record.request = std::move(spare.request);
            record.input.clear();
            record.request.clear();
            spares_.pop_back();
        }
        record.time = platform_.Sched().Now();
        record.link.assign(link);
        record.ioctlCode = ioctlCode;
        record.inputLength = inputLength;
        record.outputLength = outputLength;
        if (input != nullptr) {
            const auto* bytes = static_cast<const std::uint8_t*>(input);
            record.input.assign(bytes, bytes + std::min<ULONG>(inputLength, ta::kInputSize));
        }

        if (!present) {
            refusal = STATUS_NO_SUCH_DEVICE;
        } else if (ioctlCode != ta::kSendCode) {
            refusal = STATUS_INVALID_DEVICE_REQUEST;
        } else if (input == nullptr || inputLength < ta::kInputSize || output == nullptr ||
                   outputLength < ta::kOutputSize) {
            refusal = STATUS_BUFFER_TOO_SMALL;
        } else {
            const std::uint8_t* words = record.input.data();
            record.reserved0 = ta::ReadWord(words, ta::kReserved0Offset);
            record.reserved1 = ta::ReadWord(words, ta::kReserved1Offset);
            record.requestAddress = ta::ReadWord(words, ta::kRequestAddressOffset);
            record.requestLength = ta::ReadWord(words, ta::kRequestLengthOffset);
            record.responseAddress = ta::ReadWord(words, ta::kResponseAddressOffset);
            record.responseLength = ta::ReadWord(words, ta::kResponseLengthOffset);
            if (!AreasUsable(record.requestAddress, record.requestLength, record.responseAddress,
                             record.responseLength)) {
                refusal = STATUS_INVALID_PARAMETER;
            } else {
                // The answer reads the driver's area; the log's copy is the only other read.
                requestLength = record.requestLength;
                if (keepRequestBytes_ && requestLength != 0) {
                    const std::uint8_t* request = AreaPointer(record.requestAddress);
                    record.request.assign(request, request + requestLength);
                }
            }
        }
        requestAddress = record.requestAddress;
        responseAddress = record.responseAddress;
        responseLength = record.responseLength;
        if (refusal == STATUS_SUCCESS) {
            behaviour = NextBehaviour();
            record.behaviour = behaviour;
        } else {
            record.status = refusal;
        }
        if (refusal == STATUS_SUCCESS && Holds(behaviour)) {
            // After shutdown nobody would release it: let it through at once.
            if (shutDown_) {
                released_.insert(index);
            } else {
                blocked_.push_back(index);
            }
        }
    }
    if (refusal != STATUS_SUCCESS) {
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "refused", {}, refusal);
        return refusal;
    }

    if (Holds(behaviour)) {
        platform_.Sched().Notify(); // Blocked() changed
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "held");
        // A service that ignores cancellation never looks at it.
        static const std::function<bool()> kNeverCancelled;
        const bool heedsCancel = behaviour.kind == TaBehaviour::Kind::Block;
        if (Hold(index, heedsCancel ? cancelled : kNeverCancelled) == Outcome::Cancelled) {
            return Complete(index, behaviour, 0, STATUS_CANCELLED);
        }
        // The driver's buffers must still be live when the held request is answered.
        if (!AreasUsable(requestAddress, requestLength, responseAddress, responseLength)) {
            return Complete(index, behaviour, 0, STATUS_INVALID_PARAMETER);
        }
    }
    if (behaviour.kind == TaBehaviour::Kind::Fail) {
        return Complete(index, behaviour, 0, behaviour.status);
    }
    std::size_t written = Answer(behaviour, AreaPointer(requestAddress), requestLength, AreaPointer(responseAddress),
                                 static_cast<std::size_t>(responseLength));
    auto* out = static_cast<std::uint8_t*>(output);
    for (std::size_t i = 0; i < ta::kOutputSize; ++i) {
        out[i] = OutputPattern(i);
    }
    if (information != nullptr) {
        *information = ta::kOutputSize;
    }
    return Complete(index, behaviour, written, STATUS_SUCCESS);
}

TaBehaviour TaServiceModel::NextBehaviour()
{
    if (queued_.empty()) {
        return default_;
    }
    TaBehaviour next = std::move(queued_.front());
    queued_.pop_front();
    return next;
}

bool TaServiceModel::AreasUsable(ULONG64 requestAddress, ULONG64 requestLength, ULONG64 responseAddress,
                                 ULONG64 responseLength)
{
    // An area at 0 of no bytes is no area; any other must lie inside one allocation.
    const auto outside = platform_.Pool().FirstOutside(
        {{AreaPointer(requestAddress), requestLength}, {AreaPointer(responseAddress), responseLength}});
    if (!outside) {
        return true;
    }
    const bool request = *outside == 0;
    platform_.Verifier().Report(
        "IOCTL_TA_SEND", Verifier::Pointer(AreaPointer(request ? requestAddress : responseAddress)), 0,
        std::string("TA service given an address range outside any allocation (") + (request ? "request" : "response") +
            " area, " + std::to_string(request ? requestLength : responseLength) + " bytes)");
    return false;
}

TaServiceModel::Outcome TaServiceModel::Hold(std::size_t index, const std::function<bool()>& cancelled)
{
    Scheduler& sched = platform_.Sched();
    std::function<bool()> resumable = [this, index, &cancelled] {
        {
            std::lock_guard lock(mutex_);
            if (released_.count(index) != 0) {
                return true;
            }
        }
        // Outside our mutex: the sender's predicate takes a lock of its own.
        return cancelled && cancelled();
    };
    {
        std::unique_lock lock(sched.Mutex());
        sched.WaitUntil(lock, resumable, std::nullopt, "in the TA service");
    }
    std::lock_guard lock(mutex_);
    // A release that raced with the cancellation wins: the service had answered by then.
    if (released_.erase(index) != 0) {
        return Outcome::Released;
    }
    std::erase(blocked_, index);
    return Outcome::Cancelled;
}

std::size_t TaServiceModel::Answer(const TaBehaviour& behaviour, const std::uint8_t* request, std::size_t requestLength,
                                   std::uint8_t* response, std::size_t room)
{
    std::size_t written = 0;
    switch (behaviour.kind) {
    case TaBehaviour::Kind::Echo:
    case TaBehaviour::Kind::Block:        // released: answers as Echo
    case TaBehaviour::Kind::IgnoreCancel: // likewise
        written = std::min(requestLength, room);
        // A faulty driver can hand areas that overlap; the copy is then as if through a buffer
        // of its own, never a forward byte loop that reads what it has just written.
        if (written != 0) {
            std::memmove(response, request, written);
        }
        break;
    case TaBehaviour::Kind::Fixed:
        written = std::min(behaviour.bytes.size(), room);
        std::copy_n(behaviour.bytes.begin(), written, response);
        break;
    case TaBehaviour::Kind::WriteFirst:
        written = std::min(behaviour.count, room);
        for (std::size_t i = 0; i < written; ++i) {
            response[i] = ResponsePattern(i);
        }
        break;
    case TaBehaviour::Kind::Fail:
        break;
    }
    return written;
}

NTSTATUS TaServiceModel::Complete(std::size_t index, const TaBehaviour& behaviour, std::size_t written, NTSTATUS status)
{
    {
        std::lock_guard lock(mutex_);
        requests_[index].responseWritten = written;
        requests_[index].status = status;
    }
    // Describe()'s words, recorded as numbers.
    const TraceArg bytes = TraceArg::Decimal(written);
    switch (behaviour.kind) {
    case TaBehaviour::Kind::Echo:
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "echo, {} response bytes written", {bytes}, status);
        break;
    case TaBehaviour::Kind::Fixed:
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "fixed({} bytes), {} response bytes written",
                                 {TraceArg::Decimal(behaviour.bytes.size()), bytes}, status);
        break;
    case TaBehaviour::Kind::WriteFirst:
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "write-first({}), {} response bytes written",
                                 {TraceArg::Decimal(behaviour.count), bytes}, status);
        break;
    case TaBehaviour::Kind::Fail:
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "fail({}), {} response bytes written",
                                 {TraceArg::Status(behaviour.status), bytes}, status);
        break;
    case TaBehaviour::Kind::Block:
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "block, {} response bytes written", {bytes}, status);
        break;
    case TaBehaviour::Kind::IgnoreCancel:
        platform_.Trace().Record("ta", "driver", "IOCTL_TA_SEND", "ignore-cancel, {} response bytes written", {bytes},
                                 status);
        break;
    }
    return status;
}

} // namespace sim
