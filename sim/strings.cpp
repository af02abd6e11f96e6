#include "sim/strings.h"

#include <cstdio>
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
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                  g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return buffer;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace sim
