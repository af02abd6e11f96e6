// Host platform: the platform firmware behind the ACPI-WMI mapping device.
//
// A stateful fake of the firmware side of the method block and the event block: it checks the
// method signature, keeps a FIFO of pending exchange buffers, answers the size query as a test
// configures it, keeps what is handed back, counts acknowledgements, and raises the event
// through the WMI model. Every method call that reaches it is recorded in order.
//
// Everything here may be read from any thread and inside scheduler predicates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/ntbase.h"
#include "sim/pool.h"
#include "sim/scheduler.h"

namespace sim {

class Platform;

// One call of a firmware method, as the firmware saw it.
struct FirmwareCall {
    Ticks time = 0;
    ULONG methodId = 0;
    ULONG inSize = 0;
    ULONG outSizeOnEntry = 0;
    ULONG outSizeReturned = 0;
    NTSTATUS status = STATUS_SUCCESS;
    // The pool's live blocks as the call reached the firmware, oldest first: what a pool dump
    // at a breakpoint on the method would show.
    std::vector<PoolAllocation> livePool;
};

// How METHOD_GET_REQUEST answers when it is called without a buffer.
struct SizeQuery {
    enum class Kind {
        Pending,
        Succeed,
        Fail
    };
    Kind kind = Kind::Pending;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG reportedSize = 0;

    // Success with the size of the oldest pending buffer (0 when none is pending).
    static SizeQuery Pending() { return {}; }
    static SizeQuery Succeed(ULONG size) { return {Kind::Succeed, STATUS_SUCCESS, size}; }
    static SizeQuery Fail(NTSTATUS failure, ULONG size) { return {Kind::Fail, failure, size}; }
};

class FirmwareModel {
public:
    explicit FirmwareModel(Platform& platform);
    ~FirmwareModel();
    FirmwareModel(const FirmwareModel&) = delete;
    FirmwareModel& operator=(const FirmwareModel&) = delete;

    // Stops this model's threads, if any. Idempotent.
    void Shutdown();

    // Presence of both blocks. AppearAt makes them absent until virtual time `when`.
    void SetPresent(bool present);
    void AppearAt(Ticks when);
    bool Present() const;
    // Whether a block of this GUID can be opened now.
    bool ProvidesBlock(const GUID& guid) const;

    // Runs a method after the WMI layer has checked the object, the instance name and the
    // buffer; `buffer` is null only when both sizes are 0.
    NTSTATUS ExecuteMethod(ULONG methodId, ULONG inSize, PULONG outSize, PUCHAR buffer);

    // Registration.
    void FailRegister(unsigned count, NTSTATUS status = STATUS_UNSUCCESSFUL);
    // The status an accepted METHOD_REGISTER answers with (success, or another non-negative one).
    void AcceptRegisterWith(NTSTATUS status);
    // Runs inside every METHOD_REGISTER call, before its outcome is decided, with no lock held.
    void OnRegister(std::function<void()> hook);
    bool Registered() const;
    unsigned RegisterCalls() const;
    unsigned UnregisterCalls() const;
    unsigned AckCount() const;
    unsigned SignatureMismatches() const;

    // Pending exchange buffers.
    void RaiseEvent(std::vector<std::uint8_t> exchangeBuffer);
    void RaiseEventWithoutBuffer();
    void QueueRequest(std::vector<std::uint8_t> exchangeBuffer);
    std::size_t PendingCount() const;
    std::size_t EventsRaised() const;

    // METHOD_GET_REQUEST behaviour.
    void SetSizeQuery(SizeQuery query);
    // A firmware that reports this DataLength after a fetch instead of the true size.
    void ReportDataLength(std::optional<ULONG> length);

    // Buffers received through METHOD_SET_RESPONSE, in order.
    std::vector<std::vector<std::uint8_t>> HandedBack() const;
    std::vector<FirmwareCall> Calls() const;
    // Long runs (benchmarks) move the handed-back buffers out instead of copying them, and drop
    // the call log, so that memory stays flat however many events pass.
    std::vector<std::vector<std::uint8_t>> TakeHandedBack();
    // False, and nothing cleared, while a call is in progress.
    bool ClearCalls();

    // u32 RequestLength, request, u32 ResponseLength, response, trailer, then zeros up to padTo.
    static std::vector<std::uint8_t> BuildExchangeBuffer(const std::vector<std::uint8_t>& request,
                                                         const std::vector<std::uint8_t>& response,
                                                         std::vector<std::uint8_t> trailer = {0, 0, 0, 0},
                                                         std::size_t padTo = 0);

private:
    template <class T> T Locked(const T& field) const
    {
        std::lock_guard guard(mutex_);
        return field;
    }
    NTSTATUS ShortMethod(ULONG methodId, ULONG inSize, PULONG outSize, const UCHAR* buffer);
    NTSTATUS GetRequest(ULONG inSize, PULONG outSize, PUCHAR buffer);
    NTSTATUS SetResponse(ULONG inSize, PULONG outSize, const UCHAR* buffer);
    void FireEvent();

    Platform& platform_;
    mutable std::mutex mutex_; // leaf: guards everything below
    bool present_ = true;
    std::optional<Ticks> appearAt_;
    bool registered_ = false;
    unsigned failRegister_ = 0;
    NTSTATUS failRegisterStatus_ = STATUS_UNSUCCESSFUL;
    NTSTATUS acceptRegisterStatus_ = STATUS_SUCCESS;
    std::function<void()> onRegister_;
    unsigned registerCalls_ = 0;
    unsigned unregisterCalls_ = 0;
    unsigned ackCount_ = 0;
    unsigned signatureMismatches_ = 0;
    std::size_t eventsRaised_ = 0;
    std::deque<std::vector<std::uint8_t>> pending_;
    SizeQuery sizeQuery_;
    std::optional<ULONG> reportDataLength_;
    std::vector<std::vector<std::uint8_t>> handedBack_;
    std::vector<FirmwareCall> calls_;
};

} // namespace sim
