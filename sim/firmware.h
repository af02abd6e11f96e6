// Host platform: the platform firmware behind the ACPI-WMI mapping device.
//
// A stateful fake of the firmware side of the method block and the event block: it checks the
// method signature, keeps a FIFO of pending exchange buffers, answers the size query as a test
// configures it, keeps what is handed back, counts acknowledgements, and raises the event
// through the WMI model. Every method call that reaches it is recorded in order.
//
// Everything here may be read from any thread and inside scheduler predicates.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntbase.h"
#include "sim/leaf_lock.h"
#include "sim/pool.h"
#include "sim/scheduler.h"

namespace sim {

class Platform;

// The firmware's side of its WMI interface, as the platform documents it. Written here and
// nowhere else on this side: the driver keeps its own copy, and a mistake in it must meet a
// firmware that does not share it.
namespace firmware {

// {71FA4E39-6913-49D2-86F3-5EEFC37852FE}: the method block.
inline constexpr GUID kMethodBlockGuid = {0x71FA4E39, 0x6913, 0x49D2, {0x86, 0xF3, 0x5E, 0xEF, 0xC3, 0x78, 0x52, 0xFE}};
// {91B2631C-A148-451B-8D3A-314FDDFE9D14}: the event block.
inline constexpr GUID kEventBlockGuid = {0x91B2631C, 0xA148, 0x451B, {0x8D, 0x3A, 0x31, 0x4F, 0xDD, 0xFE, 0x9D, 0x14}};
// The one instance of the method block that the firmware answers on.
inline constexpr char16_t kInstanceName[] = u"ACPI\\PNP0C14\\PSMI_0";

// Method ids of the method block.
inline constexpr ULONG kRegister = 1;
inline constexpr ULONG kUnregister = 2;
inline constexpr ULONG kAcknowledge = 3;
inline constexpr ULONG kSetResponse = 5;
inline constexpr ULONG kGetRequest = 6;

// Methods 1, 2 and 3 take exactly this 4-byte value, little-endian. The build hands it to the
// firmware from the same setting it hands to the driver.
#ifndef FWRELAY_FIRMWARE_SIGNATURE
#error "FWRELAY_FIRMWARE_SIGNATURE must be defined by the build"
#endif
inline constexpr ULONG kSignature = FWRELAY_FIRMWARE_SIGNATURE;
inline constexpr ULONG kSignatureSize = 4;
// Methods 1, 2 and 3 answer with no output. A firmware that answers with more (the fault
// "FirmwareMethodOutput") gives these many bytes: the method id and its status.
inline constexpr ULONG kLongAnswerSize = 8;

// The exchange buffer: u32 RequestLength at 0, the request at 4, u32 ResponseLength right after
// it, the response after that, then a 4-byte trailer. Little-endian, packed.
inline constexpr std::size_t kRequestLengthOffset = 0;
inline constexpr std::size_t kRequestOffset = 4;
inline constexpr std::size_t kLengthFieldSize = 4;
inline constexpr std::size_t kTrailerSize = 4;

// The method's name as the firmware's own documentation calls it, or "METHOD_UNKNOWN" for an id
// it does not implement (the trace then shows the id in the call's detail).
const char* MethodName(ULONG methodId);

} // namespace firmware

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

    // As the WMI layer answers a call that has no room for the output: STATUS_BUFFER_TOO_SMALL
    // with the size of the oldest pending buffer; success with 0 only when nothing is pending
    // (the method's output is empty). The default.
    static SizeQuery Pending() { return {}; }
    // The two below are firmware stacks that answer the query themselves, unlike WMI: success
    // with a size, or a failure status with a size.
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

    // The data the event carries to its consumers (what the firmware's event data method
    // answers); none by default.
    void SetEventData(std::vector<std::uint8_t> data);
    // Short methods whose answer was longer than the caller's room (the fault
    // "FirmwareMethodOutput"): each ran, and its caller got STATUS_BUFFER_TOO_SMALL.
    std::size_t AnswersTooLong() const;

    // Pending exchange buffers.
    void RaiseEvent(std::vector<std::uint8_t> exchangeBuffer);
    void RaiseEventWithoutBuffer();
    void QueueRequest(std::vector<std::uint8_t> exchangeBuffer);
    std::size_t PendingCount() const;
    // Forgets every pending buffer (a long run that reuses one machine starts each event from an
    // empty queue); returns how many there were.
    std::size_t DropPending();
    std::size_t EventsRaised() const;

    // METHOD_GET_REQUEST behaviour.
    void SetSizeQuery(SizeQuery query);
    // A firmware that reports this DataLength after a fetch instead of the true size.
    void ReportDataLength(std::optional<ULONG> length);
    // A firmware whose METHOD_GET_REQUEST takes the oldest pending buffer off its queue as soon
    // as it runs, whether or not the output then fits the caller's buffer: a call without room
    // (the size query) or with too little loses the request. Off by default: the request stays
    // pending until a call with room for it has received it.
    void SetGetRequestConsumes(bool on);
    // Pending buffers consumed by a METHOD_GET_REQUEST whose caller had no room for them.
    std::size_t RequestsLost() const;

    // Buffers received through METHOD_SET_RESPONSE, in order.
    std::vector<std::vector<std::uint8_t>> HandedBack() const;
    std::vector<FirmwareCall> Calls() const;
    // Long runs (benchmarks) move the handed-back buffers out instead of copying them, and drop
    // the call log, so that memory stays flat however many events pass. `into` is emptied and
    // receives them; its memory becomes the list the next hand-backs go to, so a loop that
    // passes the same vector every time allocates no list.
    void TakeHandedBack(std::vector<std::vector<std::uint8_t>>& into);
    // Gives back buffers taken with TakeHandedBack once read: the next hand-backs copy into
    // their memory instead of allocating (and, for large ones, faulting in) fresh pages.
    // `buffers` is left empty, its own memory kept for the next TakeHandedBack.
    void Recycle(std::vector<std::vector<std::uint8_t>>& buffers);
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
    // Register runs the register hook with no lock held; the other short methods run whole
    // under the caller's acquisition.
    NTSTATUS Register(ULONG inSize, PULONG outSize, PUCHAR buffer);
    NTSTATUS UnregisterOrAcknowledgeLocked(ULONG methodId, ULONG inSize, PULONG outSize, PUCHAR buffer);
    // The output of a short method that has run and completed with `accepted`.
    NTSTATUS AnswerShortMethodLocked(ULONG methodId, NTSTATUS accepted, ULONG room, PULONG outSize, PUCHAR buffer);
    NTSTATUS GetRequestLocked(ULONG inSize, PULONG outSize, PUCHAR buffer);
    NTSTATUS SetResponseLocked(ULONG inSize, PULONG outSize, const UCHAR* buffer);
    void FireEvent();
    void KeepSpareLocked(std::vector<std::uint8_t> buffer);

    Platform& platform_;
    // Leaf, takes the pool's and the fault injector's under it: guards everything below but
    // presentFrom_.
    mutable LeafLock mutex_;
    // The virtual time from which the firmware is present: 0 present, the largest value absent.
    // Atomic and outside the mutex: the WMI layer asks on every call.
    std::atomic<Ticks> presentFrom_{0};
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
    bool getRequestConsumes_ = false;
    std::size_t requestsLost_ = 0;
    std::size_t answersTooLong_ = 0;
    std::vector<std::uint8_t> eventData_;
    std::vector<std::vector<std::uint8_t>> handedBack_;
    std::vector<std::vector<std::uint8_t>> spares_; // recycled, largest last
    // The log is the first callCount_ records. ClearCalls keeps the records past it, whose
    // live-pool lists' memory the next calls reuse.
    std::vector<FirmwareCall> calls_;
    std::size_t callCount_ = 0;
};

} // namespace sim
