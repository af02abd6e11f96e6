// The exchange-buffer rules alone (sizing, validation, write-back) against a reference written
// here from the documented byte layout, with no constant taken from the driver:
//
//   offset 0             u32 RequestLength
//   offset 4             Request, RequestLength bytes
//   offset 4 + RL        u32 ResponseLength, at any alignment
//   offset 8 + RL        Response, ResponseLength bytes
//   offset 8 + RL + RsL  a 4-byte trailer, inside DataLength, never read or written
//
// Input:
//   bytes 0-3    the size query's status (little-endian, signed)
//   bytes 4-7    the size it reports
//   bytes 8-11   a DataLength claim, used when byte 13 is odd (else DataLength is what was written)
//   byte 12      extra bytes provided beyond what was written (low 6 bits; the pool zero-fills them)
//   byte 14      how much shorter DataLength is at write-back (low 4 bits)
//   byte 15      the TA service's bytes (pattern seed); bit 7: no request copy, bit 6: no response copy
//   bytes 16-    the bytes the firmware wrote
//
// Under AddressSanitizer every byte the driver must not touch is poisoned while it runs:
// validation may read only the two length fields, write-back may write only from offset 0 to
// the end of the response area. A read or write anywhere else is reported as a finding.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "relay/relay.h"
#include "require.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kInputHeader = 16;
constexpr std::uint64_t kMinimumProvided = 16408; // 0x4018

using fwfuzz::Require;

std::uint32_t LoadU32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void StoreU32(std::uint8_t* p, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// ---- The reference, from the layout ----

std::uint64_t ReferenceProvided(std::int32_t queryStatus, std::uint32_t reported)
{
    return queryStatus >= 0 && reported >= kMinimumProvided ? reported : kMinimumProvided;
}

struct ReferenceLayout {
    std::uint64_t requestLength = 0;
    std::uint64_t responseLength = 0;
};

// Nothing past what was provided exists; every sum in 64 bits.
std::optional<ReferenceLayout> ReferenceValidate(const Bytes& buffer, std::uint64_t dataLength)
{
    if (dataLength > buffer.size() || dataLength < 4) {
        return std::nullopt;
    }
    ReferenceLayout layout;
    layout.requestLength = LoadU32(buffer.data());
    if (dataLength < layout.requestLength + 8) {
        return std::nullopt;
    }
    layout.responseLength = LoadU32(buffer.data() + 4 + layout.requestLength);
    if (dataLength < layout.requestLength + layout.responseLength + 12) {
        return std::nullopt;
    }
    return layout;
}

// ---- Poisoning: only the bytes the rule allows stay addressable ----

class Guarded {
public:
    explicit Guarded(const Bytes& contents) : size_(contents.size())
    {
        // At least one byte, so that an empty buffer still has an address that is poisoned.
        memory_ = static_cast<std::uint8_t*>(std::malloc(size_ == 0 ? 1 : size_));
        if (size_ != 0) {
            std::memcpy(memory_, contents.data(), size_);
        }
    }
    ~Guarded()
    {
        ASAN_UNPOISON_MEMORY_REGION(memory_, size_ == 0 ? 1 : size_);
        std::free(memory_);
    }
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    std::uint8_t* Data() { return memory_; }
    Bytes Contents()
    {
        ASAN_UNPOISON_MEMORY_REGION(memory_, size_ == 0 ? 1 : size_);
        return Bytes(memory_, memory_ + size_);
    }
    // Poisons everything, then opens [begin, end) (AddressSanitizer may open a few bytes more
    // at the granule edges, never fewer).
    void Only(std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> open)
    {
        ASAN_POISON_MEMORY_REGION(memory_, size_ == 0 ? 1 : size_);
        for (const auto& [begin, end] : open) {
            if (begin < end && end <= size_) {
                ASAN_UNPOISON_MEMORY_REGION(memory_ + begin, end - begin);
            }
        }
    }

private:
    std::size_t size_;
    std::uint8_t* memory_;
};

Bytes Pattern(std::size_t length, std::uint8_t seed)
{
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<std::uint8_t>(std::size_t{seed} * 31U + i * 7U + 1U);
    }
    return bytes;
}

void RunOne(const std::uint8_t* data, std::size_t size)
{
    const auto queryStatus = static_cast<std::int32_t>(LoadU32(data));
    const std::uint32_t reported = LoadU32(data + 4);
    const Bytes written(data + kInputHeader, data + size);
    Bytes provided = written;
    provided.resize(written.size() + (data[12] & 0x3F), 0);
    const std::uint64_t dataLength = (data[13] & 1) != 0 ? LoadU32(data + 8) : written.size();
    const unsigned shorter = data[14] & 0x0F;
    const std::uint8_t seed = data[15];
    const bool noRequestCopy = (seed & 0x80) != 0;
    const bool noResponseCopy = (seed & 0x40) != 0;

    // Sizing.
    const ULONG allocation = ComputeExchangeBufferSize(queryStatus, reported);
    Require(allocation == ReferenceProvided(queryStatus, reported), [&] {
        return "sizing: status " + std::to_string(queryStatus) + " size " + std::to_string(reported) + " gave " +
               std::to_string(allocation);
    });

    // Validation reads the first length field only if DataLength covers it, and the second only
    // if DataLength covers it at the place the first one names.
    const auto expected = ReferenceValidate(provided, dataLength);
    Guarded buffer(provided);
    const std::uint64_t firstLength = provided.size() >= 4 ? LoadU32(provided.data()) : 0;
    buffer.Only({{0, dataLength >= 4 ? 4 : 0}, {4 + firstLength, dataLength >= firstLength + 8 ? 8 + firstLength : 0}});
    EXCHANGE_LAYOUT layout{};
    const BOOLEAN valid = ValidateExchangeBuffer(buffer.Data(), static_cast<ULONG>(provided.size()),
                                                 static_cast<ULONG>(dataLength), &layout);
    Require((valid != FALSE) == expected.has_value(), [&] {
        return std::string("validation ") + (valid != FALSE ? "accepted" : "dropped") + " a buffer the layout " +
               (expected ? "accepts" : "drops") + " (DataLength " + std::to_string(dataLength) + ", provided " +
               std::to_string(provided.size()) + ")";
    });
    Require(buffer.Contents() == provided, "validation changed the buffer");
    if (!expected) {
        return;
    }
    const std::uint64_t requestLength = expected->requestLength;
    const std::uint64_t responseLength = expected->responseLength;
    Require(layout.RequestLength == requestLength && layout.RequestOffset == 4 &&
                layout.ResponseLength == responseLength && layout.ResponseLengthOffset == 4 + requestLength &&
                layout.ResponseOffset == 8 + requestLength,
            "validation placed the areas elsewhere than the layout does");

    // Write-back of what the TA service left in the two copies, with DataLength as the relay
    // passes it (or shorter, to exercise the repeated bound check).
    const Bytes request = Pattern(static_cast<std::size_t>(requestLength), seed);
    const Bytes response = Pattern(static_cast<std::size_t>(responseLength), static_cast<std::uint8_t>(seed ^ 0x5A));
    const std::uint64_t writeBackLength = dataLength >= shorter ? dataLength - shorter : 0;
    const bool expectWritten = writeBackLength >= requestLength + responseLength + 12 &&
                               !(noRequestCopy && requestLength != 0) && !(noResponseCopy && responseLength != 0);
    Bytes reference = provided;
    if (expectWritten) {
        StoreU32(reference.data(), static_cast<std::uint32_t>(requestLength));
        std::copy(request.begin(), request.end(), reference.begin() + 4);
        StoreU32(reference.data() + 4 + requestLength, static_cast<std::uint32_t>(responseLength));
        std::copy(response.begin(), response.end(), reference.begin() + static_cast<std::ptrdiff_t>(8 + requestLength));
    }
    buffer.Only({{0, expectWritten ? 8 + requestLength + responseLength : 0}});
    const BOOLEAN wroteBack =
        WriteBackExchangeBuffer(buffer.Data(), static_cast<ULONG>(writeBackLength), &layout,
                                noRequestCopy ? nullptr : request.data(), noResponseCopy ? nullptr : response.data());
    Require((wroteBack != FALSE) == expectWritten, [&] {
        return std::string("write-back ") + (wroteBack != FALSE ? "wrote" : "refused") + " with DataLength " +
               std::to_string(writeBackLength) + " for lengths " + std::to_string(requestLength) + " and " +
               std::to_string(responseLength);
    });
    Require(buffer.Contents() == reference, "write-back left bytes other than the layout's");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < kInputHeader) {
        return -1;
    }
    RunOne(data, size);
    return 0;
}
