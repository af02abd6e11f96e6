// What the other side of each boundary expects, written out from the interfaces themselves and
// never taken from the driver's headers: a test that compares against these fails when the
// driver sends something else, even if a model happens to share the driver's mistake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/ntbase.h"

namespace fwtest::wire {

// Firmware method ids of the method block.
inline constexpr ULONG kRegister = 1;
inline constexpr ULONG kUnregister = 2;
inline constexpr ULONG kAcknowledge = 3;
inline constexpr ULONG kSetResponse = 5;
inline constexpr ULONG kGetRequest = 6;

// The smallest buffer the driver offers for a fetch.
inline constexpr ULONG kFetchMinimum = 16408;

// The exchange buffer: a 4-byte RequestLength, the request, a 4-byte ResponseLength, the
// response, and a 4-byte trailer.
inline constexpr std::size_t kLengthField = 4;
inline constexpr std::size_t kExchangeOverhead = 3 * 4;

// {71FA4E39-6913-49D2-86F3-5EEFC37852FE} and {91B2631C-A148-451B-8D3A-314FDDFE9D14}.
inline constexpr GUID kMethodBlock = {0x71FA4E39, 0x6913, 0x49D2, {0x86, 0xF3, 0x5E, 0xEF, 0xC3, 0x78, 0x52, 0xFE}};
inline constexpr GUID kEventBlock = {0x91B2631C, 0xA148, 0x451B, {0x8D, 0x3A, 0x31, 0x4F, 0xDD, 0xFE, 0x9D, 0x14}};
// {3FA24EF8-153B-4B8A-A039-670377B93E05}: the TA service's interface class.
inline constexpr GUID kServiceInterface = {
    0x3FA24EF8, 0x153B, 0x4B8A, {0xA0, 0x39, 0x67, 0x03, 0x77, 0xB9, 0x3E, 0x05}};

inline constexpr char16_t kInstanceName[] = u"ACPI\\PNP0C14\\PSMI_0";

// Device type 0x56, function 1, METHOD_BUFFERED, FILE_WRITE_ACCESS.
inline constexpr ULONG kTaSend = 0x00568004;
inline constexpr ULONG kTaSendInputSize = 48;
inline constexpr ULONG kTaSendOutputSize = 16;
// Byte offsets of the input record's 8-byte little-endian words.
inline constexpr std::size_t kReserved0 = 0;
inline constexpr std::size_t kReserved1 = 8;
inline constexpr std::size_t kRequestAddress = 16;
inline constexpr std::size_t kRequestLength = 24;
inline constexpr std::size_t kResponseAddress = 32;
inline constexpr std::size_t kResponseLength = 40;

inline constexpr std::uint64_t kPagedPool = 0x100;
inline constexpr ACCESS_MASK kThreadAllAccess = 0x001FFFFF;

// A pool tag as its four letters read in a pool dump.
constexpr std::uint32_t Tag(const char (&letters)[5])
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(letters[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(letters[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(letters[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(letters[3])) << 24;
}

// An image's entry glue keeps a copy of the registry path from load to unload; it is the kit's
// block, not the driver's, and only image runs have it.
inline constexpr std::uint32_t kEntryGlueTag = Tag("FtSb");

inline bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// The little-endian 8-byte word at `offset` of a record.
inline std::uint64_t Word(const std::uint8_t* record, std::size_t offset)
{
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        value |= static_cast<std::uint64_t>(record[offset + i]) << (8 * i);
    }
    return value;
}

inline std::uint64_t Word(const std::vector<std::uint8_t>& record, std::size_t offset)
{
    return Word(record.data(), offset);
}

} // namespace fwtest::wire
