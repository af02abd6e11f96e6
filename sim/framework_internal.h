// Host platform, helpers shared by the framework model's source files (not part of its API).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/ntbase.h"

namespace sim::fx {

// Handles and init structures share one counter, spaced and offset so that they look like
// pointers in traces but never match one, and so that an init passed as a handle is unknown.
constexpr std::uint64_t kHandleBase = 0x00005F0000000000ULL;
constexpr std::uint64_t kHandleStep = 0x10;

inline std::uint64_t Key(const void* handle)
{
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

template <class H> H AsHandle(std::uint64_t value)
{
    return reinterpret_cast<H>(static_cast<std::uintptr_t>(value));
}

inline std::u16string CopyText(const UNICODE_STRING& text)
{
    if (text.Buffer == nullptr) {
        return {};
    }
    return std::u16string(text.Buffer, text.Length / sizeof(WCHAR));
}

// src/framework/shared/inc/private/common/fxvalidatefunctions.hpp, FxValidateUnicodeString:
// even lengths, a buffer behind any capacity, and a length within the capacity.
inline bool ValidUnicodeString(const UNICODE_STRING& text)
{
    return (text.Length & 1) == 0 && (text.MaximumLength & 1) == 0 &&
           !(text.MaximumLength > 0 && text.Buffer == nullptr) && text.Length <= text.MaximumLength;
}

inline std::string StatusHex(NTSTATUS status)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(status));
    return buffer;
}

} // namespace sim::fx
