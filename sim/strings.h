// Conversions between the platform's UTF-16 counted strings and host strings.
#pragma once

#include <string>

#include "platform/ntbase.h"

namespace sim {

std::string Narrow(const UNICODE_STRING& text);
std::u16string Wide(const std::string& text);
std::string Narrow(const std::u16string& text);
std::string GuidText(const GUID& guid);
bool SameGuid(const GUID& a, const GUID& b);

} // namespace sim
