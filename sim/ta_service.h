// Host platform: the TA service: a kernel driver of the platform's own that registers the
// service interface and answers IOCTL_TA_SEND.
//
// The service reads the 48-byte input record, reads the request through RequestAddress and
// writes the response through ResponseAddress, never past ResponseLength. Both addresses must
// lie inside live pool allocations: anything else is a driver fault, reported to the verifier
// and refused without touching memory. What the service answers is chosen per test.
//
// Threads: HandleIoctl runs on the thread that sends (the framework calls it from
// WdfIoTargetSendIoctlSynchronously) and may block there; every other method may be called from
// any registered thread. The observers take only this model's leaf mutex, so scheduler
// predicates may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/ntbase.h"
#include "sim/leaf_lock.h"
#include "sim/scheduler.h"

namespace sim {

class Platform;

// The TA service's side of its interface, as the service documents it. Written here and nowhere
// else on this side: a driver that composes the control code or lays out the record differently
// must meet a service that does not share its mistake.
namespace ta {

// {3FA24EF8-153B-4B8A-A039-670377B93E05}: the device-interface class the service registers.
inline constexpr GUID kInterfaceClassGuid = {
    0x3FA24EF8, 0x153B, 0x4B8A, {0xA0, 0x39, 0x67, 0x03, 0x77, 0xB9, 0x3E, 0x05}};

// The one I/O control code the service answers, composed as the I/O manager lays control codes
// out: device type in bits 16-31, required access in 14-15, function in 2-13, transfer method
// in 0-1.
constexpr ULONG ControlCode(ULONG deviceType, ULONG function, ULONG method, ULONG access)
{
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
inline constexpr ULONG kDeviceType = 0x56;
inline constexpr ULONG kSendFunction = 1;
inline constexpr ULONG kMethodBuffered = 0;
inline constexpr ULONG kWriteAccess = 2;
inline constexpr ULONG kSendCode = ControlCode(kDeviceType, kSendFunction, kMethodBuffered, kWriteAccess);

// The input record, 48 bytes of little-endian 64-bit words, and the 16-byte output record.
inline constexpr ULONG kInputSize = 48;
inline constexpr ULONG kOutputSize = 16;
inline constexpr std::size_t kReserved0Offset = 0;
inline constexpr std::size_t kReserved1Offset = 8;
inline constexpr std::size_t kRequestAddressOffset = 16;
inline constexpr std::size_t kRequestLengthOffset = 24;
inline constexpr std::size_t kResponseAddressOffset = 32;
inline constexpr std::size_t kResponseLengthOffset = 40;

// The little-endian 64-bit word at `offset` of `record`.
ULONG64 ReadWord(const std::uint8_t* record, std::size_t offset);

} // namespace ta

// How the service answers one request.
struct TaBehaviour {
    enum class Kind {
        Echo,
        Fixed,
        WriteFirst,
        Fail,
        Block,
        IgnoreCancel
    };

    Kind kind = Kind::Echo;
    std::vector<std::uint8_t> bytes;  // Fixed: the answer
    std::size_t count = 0;            // WriteFirst: how many pattern bytes
    NTSTATUS status = STATUS_SUCCESS; // Fail: the completion status

    // The request's bytes, min(RequestLength, ResponseLength) of them.
    static TaBehaviour Echo();
    // min(bytes.size(), ResponseLength) bytes of a fixed answer.
    static TaBehaviour Fixed(std::vector<std::uint8_t> bytes);
    // min(n, ResponseLength) bytes of ResponsePattern().
    static TaBehaviour WriteFirst(std::size_t n);
    // Writes nothing and completes with `status`.
    static TaBehaviour Fail(NTSTATUS status);
    // Holds the request until Release()/ReleaseAll() (then answers as Echo) or until the sender
    // cancels it (then completes with STATUS_CANCELLED, having written nothing).
    static TaBehaviour Block();
    // Holds the request as Block does, but a cancellation does not end it: only Release() or
    // ReleaseAll() does (then it answers as Echo). A service that never looks at cancellation:
    // whoever waits for the request, a close or a deletion of the target included, waits until
    // the service lets go.
    static TaBehaviour IgnoreCancel();

    std::string Describe() const;
};

// One IOCTL as the service saw it.
struct TaRequest {
    Ticks time = 0; // virtual time of arrival
    std::u16string link;
    ULONG ioctlCode = 0;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    std::vector<std::uint8_t> input; // the input record's bytes, at most 48
    // The record's words as the service reads them from those bytes.
    ULONG64 reserved0 = 0; // the two leading words, which must be zero
    ULONG64 reserved1 = 0;
    ULONG64 requestAddress = 0;
    ULONG64 requestLength = 0;
    ULONG64 responseAddress = 0;
    std::vector<std::uint8_t> request; // read through RequestAddress, unless not kept
    ULONG64 responseLength = 0;
    std::optional<TaBehaviour> behaviour; // none when the request was refused before answering
    std::size_t responseWritten = 0;      // bytes written through ResponseAddress
    NTSTATUS status = STATUS_PENDING;     // STATUS_PENDING while blocked
};

class TaServiceModel {
public:
    static constexpr const char16_t* kDefaultLink = u"\\??\\ROOT#TASERVICE#0000#{3fa24ef8-153b-4b8a-a039-670377b93e05}";

    explicit TaServiceModel(Platform& platform);
    ~TaServiceModel();
    TaServiceModel(const TaServiceModel&) = delete;
    TaServiceModel& operator=(const TaServiceModel&) = delete;

    // Releases every blocked request, and makes later Block and IgnoreCancel answers return at
    // once. Idempotent.
    void Shutdown();

    // Registers the service interface under `link`. Ignored while the service is present.
    void Arrive(const std::u16string& link = kDefaultLink);
    // Closes the framework's targets on the interface (cancelling sends in flight), then
    // removes the interface. Ignored while the service is absent.
    void Depart();
    bool Present() const;
    std::u16string Link() const;

    // Called by the framework model from WdfIoTargetSendIoctlSynchronously. `input` and `output`
    // are the system buffers. `cancelled` is evaluated under the scheduler mutex while a request
    // blocks; the framework notifies the scheduler after it cancels.
    NTSTATUS HandleIoctl(const std::u16string& link, ULONG ioctlCode, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG_PTR* information,
                         const std::function<bool()>& cancelled);

    // The answer for every request without a queued one (Echo at first).
    void SetBehaviour(TaBehaviour behaviour);
    // Answers for the next requests, first queued first used.
    void QueueBehaviour(TaBehaviour behaviour);

    // Whether each request's record keeps a copy of its bytes (at first it does); its addresses
    // and lengths are kept either way. The copy is a whole pass over the request area, as costly
    // as one of the relay's own copies of it, so a long run that never reads the bytes turns it
    // off.
    void SetRequestBytesKept(bool keep);

    std::vector<TaRequest> Requests() const;
    std::size_t RequestCount() const;
    // Forgets the requests seen so far (long runs keep memory flat this way). False, and
    // nothing forgotten, while a request is still being answered or held.
    bool ClearRequests();
    // Requests held by Block or IgnoreCancel and not yet released (or, for Block, cancelled).
    std::size_t Blocked() const;
    // Releases the longest-blocked request; false if none was blocked.
    bool Release();
    // Releases every blocked request; returns how many.
    std::size_t ReleaseAll();

    // The byte WriteFirst writes at `index`; never zero, so it stands out in a zeroed buffer.
    static std::uint8_t ResponsePattern(std::size_t index);
    // The byte the service writes at `index` of the 16-byte output record on success.
    static std::uint8_t OutputPattern(std::size_t index);

private:
    enum class Outcome {
        Released,
        Cancelled
    };

    TaBehaviour NextBehaviour();
    bool AreasUsable(ULONG64 requestAddress, ULONG64 requestLength, ULONG64 responseAddress, ULONG64 responseLength);
    Outcome Hold(std::size_t index, const std::function<bool()>& cancelled);
    std::size_t Answer(const TaBehaviour& behaviour, const std::uint8_t* request, std::size_t requestLength,
                       std::uint8_t* response, std::size_t room);
    NTSTATUS Complete(std::size_t index, const TaBehaviour& behaviour, std::size_t written, NTSTATUS status);

    Platform& platform_;
    mutable LeafLock mutex_; // leaf, takes the pool's and the verifier's under it: guards all below
    bool present_ = false;
    std::u16string link_;
    TaBehaviour default_;
    std::deque<TaBehaviour> queued_;
    std::vector<TaRequest> requests_;
    std::vector<TaRequest> spares_;   // cleared records, whose memory new ones reuse
    std::deque<std::size_t> blocked_; // indexes into requests_, longest-blocked first
    std::set<std::size_t> released_;  // released and not yet resumed
    bool shutDown_ = false;
    bool keepRequestBytes_ = true;
};

} // namespace sim
