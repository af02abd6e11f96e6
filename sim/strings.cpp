#include "sim/strings.h"

#include <cstdint>
#include <cstring>

namespace sim {

std::string Narrow(const UNICODE_STRING& text)
{
    if (text.Buffer == nullptr) {
        return {};
    }
    return Narrow(std::u16string(text.Buffer, text.Length / sizeof(WCHAR)));
}

std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        out += (c < 0x80) ? static_cast<char>(c) : '?';
    }
    return out;
}

std::u16string Wide(const std::string& text)
{
    std::u16string out;
    for (char c : text) {
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return out;
}

std::string GuidText(const GUID& g)
{
    // "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", without a format string: every
    // firmware event's trace records show a GUID.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(38);
    const auto hex = [&text](std::uint64_t value, int digits) {
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
            text += kDigits[(value >> shift) & 0xF];
        }
    };
    text += '{';
    hex(g.Data1, 8);
    text += '-';
    hex(g.Data2, 4);
    text += '-';
    hex(g.Data3, 4);
    text += '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) {
            text += '-';
        }
        hex(g.Data4[i], 2);
    }
    text += '}';
    return text;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace sim
