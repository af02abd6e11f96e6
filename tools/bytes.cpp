#include "tools/bytes.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "tools/text.h"

namespace fwtool {

namespace {

struct NamedStatus {
    const char* name;
    NTSTATUS value;
};

#define FWTOOL_STATUS(name)                                                                                            \
    {                                                                                                                  \
#name, name                                                                                                    \
    }
constexpr NamedStatus kStatuses[] = {
    FWTOOL_STATUS(STATUS_SUCCESS),
    FWTOOL_STATUS(STATUS_TIMEOUT),
    FWTOOL_STATUS(STATUS_PENDING),
    FWTOOL_STATUS(STATUS_UNSUCCESSFUL),
    FWTOOL_STATUS(STATUS_NOT_IMPLEMENTED),
    FWTOOL_STATUS(STATUS_INFO_LENGTH_MISMATCH),
    FWTOOL_STATUS(STATUS_INVALID_HANDLE),
    FWTOOL_STATUS(STATUS_INVALID_PARAMETER),
    FWTOOL_STATUS(STATUS_NO_SUCH_DEVICE),
    FWTOOL_STATUS(STATUS_INVALID_DEVICE_REQUEST),
    FWTOOL_STATUS(STATUS_ACCESS_DENIED),
    FWTOOL_STATUS(STATUS_BUFFER_TOO_SMALL),
    FWTOOL_STATUS(STATUS_OBJECT_TYPE_MISMATCH),
    FWTOOL_STATUS(STATUS_OBJECT_NAME_NOT_FOUND),
    FWTOOL_STATUS(STATUS_SHARING_VIOLATION),
    FWTOOL_STATUS(STATUS_DELETE_PENDING),
    FWTOOL_STATUS(STATUS_INTEGER_OVERFLOW),
    FWTOOL_STATUS(STATUS_INSUFFICIENT_RESOURCES),
    FWTOOL_STATUS(STATUS_DEVICE_NOT_READY),
    FWTOOL_STATUS(STATUS_IO_TIMEOUT),
    FWTOOL_STATUS(STATUS_NOT_SUPPORTED),
    FWTOOL_STATUS(STATUS_REQUEST_NOT_ACCEPTED),
    FWTOOL_STATUS(STATUS_CANCELLED),
    FWTOOL_STATUS(STATUS_DRIVER_INTERNAL_ERROR),
    FWTOOL_STATUS(STATUS_INVALID_DEVICE_STATE),
    FWTOOL_STATUS(STATUS_NOT_FOUND),
    FWTOOL_STATUS(STATUS_WMI_GUID_NOT_FOUND),
    FWTOOL_STATUS(STATUS_WMI_INSTANCE_NOT_FOUND),
    FWTOOL_STATUS(STATUS_WMI_ITEMID_NOT_FOUND),
    FWTOOL_STATUS(STATUS_WMI_GUID_DISCONNECTED),
};
#undef FWTOOL_STATUS

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsSeparator(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0 || c == ':' || c == '-' || c == '_' || c == ',';
}

std::string Hex2(std::uint8_t b)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02x", b);
    return text;
}

} // namespace

LocatedError::LocatedError(std::string path, int lineNumber, int columnNumber, const std::string& text)
    : std::runtime_error(
          EscapeForTerminal(path) +
          (lineNumber > 0 ? ":" + std::to_string(lineNumber) + ":" + std::to_string(columnNumber) : std::string()) +
          ": error: " + text),
      file(std::move(path)), line(lineNumber), column(columnNumber), message(text)
{}

std::string DescribeError(const LocatedError& error)
{
    std::string text = error.what();
    if (!error.source.empty() && error.column > 0) {
        const SourceExcerpt excerpt = ExcerptAround(error.source, static_cast<std::size_t>(error.column));
        text += "\n" + excerpt.line + "\n" + excerpt.caret;
    }
    return text;
}

std::optional<TextProblem> CheckUtf8Text(const std::string& text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0) {
            return TextProblem{i, "a NUL byte: this is a binary file, not text"};
        }
        char32_t code = 0;
        const std::size_t length = DecodeUtf8(text, i, &code);
        if (length == 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02x", c);
            return TextProblem{i,
                               std::string("byte ") + hex + " is not UTF-8 text; scenarios and labels must be UTF-8"};
        }
        i += length;
    }
    return std::nullopt;
}

std::string ReadInputText(std::istream& in, const std::string& name, std::uint64_t limit, const std::string& what)
{
    std::string text;
    char chunk[65536];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (text.size() > limit) {
            throw LocatedError(name, 0, 0,
                               "longer than " + std::to_string(limit >> 20) + " MiB; too large for " + what);
        }
    }
    if (in.bad()) {
        throw LocatedError(name, 0, 0, "could not be read");
    }
    return text;
}

std::string OpenFailure(int error)
{
    switch (error) {
    case ENOENT:
        return "no such file";
    case ELOOP:
        return "a loop of symbolic links (or too many of them in a row)";
    case EACCES:
    case EPERM:
        return "permission denied";
    case ENOTDIR:
        return "a part of the path is not a directory";
    case ENAMETOOLONG:
        return "the path is too long";
    default:
        return std::strerror(error);
    }
}

std::string ReadInputFile(const std::string& path, std::uint64_t limit, const std::string& what)
{
    if (path.empty()) {
        throw LocatedError("''", 0, 0, "the path is empty; give " + what + " file");
    }
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error || status.type() == std::filesystem::file_type::not_found) {
        throw LocatedError(path, 0, 0, "cannot open: " + OpenFailure(error ? error.value() : ENOENT));
    }
    if (status.type() == std::filesystem::file_type::directory) {
        throw LocatedError(path, 0, 0, "is a directory; give " + what + " file");
    }
    if (status.type() != std::filesystem::file_type::regular && status.type() != std::filesystem::file_type::fifo) {
        throw LocatedError(path, 0, 0, "is a device or socket, not a file; give " + what + " file");
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw LocatedError(path, 0, 0, "cannot open: " + OpenFailure(errno != 0 ? errno : EACCES));
    }
    return ReadInputText(in, path, limit, what);
}

std::optional<Bytes> ParseHex(const std::string& text, TextProblem* problem)
{
    Bytes out;
    std::optional<std::size_t> pendingAt; // offset of an unpaired high nibble
    int high = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '#') {
            while (i < text.size() && text[i] != '\n') {
                ++i;
            }
            continue;
        }
        const bool groupStart = !pendingAt && (i == 0 || IsSeparator(text[i - 1]));
        if (groupStart && c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
            ++i;
            continue;
        }
        if (IsSeparator(c)) {
            if (pendingAt) {
                *problem = {*pendingAt, "odd number of hex digits in a group"};
                return std::nullopt;
            }
            continue;
        }
        const int value = HexValue(c);
        if (value < 0) {
            // The whole character, escaped: a byte of a longer one, or a control byte, would
            // garble the message.
            char32_t code = 0;
            const std::size_t length = std::max<std::size_t>(DecodeUtf8(text, i, &code), 1);
            *problem = {i, Quoted(text.substr(i, length)) + " is not a hex digit"};
            return std::nullopt;
        }
        if (pendingAt) {
            out.push_back(static_cast<std::uint8_t>(high * 16 + value));
            pendingAt.reset();
        } else {
            high = value;
            pendingAt = i;
        }
    }
    if (pendingAt) {
        *problem = {*pendingAt, "odd number of hex digits"};
        return std::nullopt;
    }
    return out;
}

std::size_t ByteOrderMarkLength(const std::string& text)
{
    return text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
}

bool LooksLikeHexText(const Bytes& contents)
{
    // Text (UTF-8, a byte-order mark and non-ASCII comments included) is taken for hex, so that a
    // typo is reported rather than the file being relayed as raw bytes; a binary buffer almost
    // always holds a zero or control byte, or bytes that are not UTF-8.
    const std::string text(contents.begin(), contents.end());
    if (CheckUtf8Text(text)) {
        return false;
    }
    bool anyDigit = false;
    for (std::uint8_t b : contents) {
        const char c = static_cast<char>(b);
        if (b == 0x7F || (b < 0x20 && c != '\n' && c != '\r' && c != '\t')) {
            return false;
        }
        anyDigit = anyDigit || HexValue(c) >= 0;
    }
    return anyDigit;
}

void LineAndColumn(const std::string& text, std::size_t offset, int* line, int* column)
{
    *line = 1;
    *column = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++*line;
            *column = 1;
        } else {
            ++*column;
        }
    }
}

Bytes LoadBufferFile(const std::string& path, bool forceHex)
{
    const std::string raw = path == "-" ? ReadInputText(std::cin, kStdinName, kMaxInputBytes, "an exchange buffer")
                                        : ReadInputFile(path, kMaxInputBytes, "an exchange buffer");
    Bytes bytes(raw.begin(), raw.end());
    if (forceHex || LooksLikeHexText(bytes)) {
        // A byte-order mark is what some editors put before UTF-8 text; it says nothing about
        // the bytes.
        const std::size_t mark = ByteOrderMarkLength(raw);
        TextProblem problem;
        std::optional<Bytes> parsed = ParseHex(raw.substr(mark), &problem);
        problem.offset += mark;
        if (!parsed) {
            int line = 0;
            int column = 0;
            LineAndColumn(raw, problem.offset, &line, &column);
            LocatedError located(path, line, column, problem.message);
            const std::size_t start = raw.rfind('\n', problem.offset == 0 ? 0 : problem.offset - 1);
            const std::size_t from = start == std::string::npos || problem.offset == 0 ? 0 : start + 1;
            located.source = raw.substr(from, raw.find('\n', from) - from);
            throw located;
        }
        bytes = std::move(*parsed);
    }
    if (bytes.size() > kMaxBufferSize) {
        throw LocatedError(path, 0, 0,
                           std::to_string(bytes.size()) + " bytes; an exchange buffer is at most " +
                               std::to_string(kMaxBufferSize) + " bytes");
    }
    return bytes;
}

std::string HexDump(const Bytes& bytes, const Bytes* before, std::size_t maxRows, bool* cut)
{
    constexpr std::size_t kRow = 16;
    auto changed = [&](std::size_t i) {
        return before != nullptr && (i >= before->size() || (*before)[i] != bytes[i]);
    };
    auto rowChanged = [&](std::size_t row) {
        for (std::size_t i = row; i < std::min(row + kRow, bytes.size()); ++i) {
            if (changed(i)) {
                return true;
            }
        }
        return false;
    };
    std::ostringstream out;
    bool folded = false;
    std::size_t shown = 0;
    for (std::size_t row = 0; row < bytes.size(); row += kRow) {
        if (maxRows != 0 && shown == maxRows) {
            out << "     ... " << bytes.size() - row << " more byte(s) not shown\n";
            if (cut != nullptr) {
                *cut = true;
            }
            break;
        }
        // Long stretches that nothing touched say nothing; keep their neighbours for context.
        const bool keep = before == nullptr || row == 0 || row + kRow >= bytes.size() || rowChanged(row) ||
                          rowChanged(row - kRow) || rowChanged(row + kRow);
        if (!keep) {
            if (!folded) {
                out << "     ...\n";
            }
            folded = true;
            continue;
        }
        folded = false;
        ++shown;
        char offset[32];
        std::snprintf(offset, sizeof offset, "%06zx ", row);
        out << offset;
        for (std::size_t i = row; i < row + kRow && i < bytes.size(); ++i) {
            out << (changed(i) ? "[" + Hex2(bytes[i]) + "]" : " " + Hex2(bytes[i]) + " ");
        }
        out << "\n";
    }
    return out.str();
}

std::string HexString(const Bytes& bytes, std::size_t limit)
{
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < limit; ++i) {
        out += (i == 0 ? "" : " ") + Hex2(bytes[i]);
    }
    if (bytes.size() > limit) {
        out += " ... (" + std::to_string(bytes.size()) + " bytes)";
    }
    return out;
}

std::optional<NTSTATUS> ParseStatus(const std::string& text)
{
    for (const NamedStatus& named : kStatuses) {
        if (text == named.name) {
            return named.value;
        }
    }
    // A status code is written as the headers write it: 0x and up to eight hex digits.
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') ||
        !std::all_of(text.begin() + 2, text.end(), [](char c) { return HexValue(c) >= 0; })) {
        return std::nullopt;
    }
    return static_cast<NTSTATUS>(static_cast<std::uint32_t>(std::stoul(text.substr(2), nullptr, 16)));
}

std::optional<std::string> NotAFailure(NTSTATUS status)
{
    if (NT_SUCCESS(status)) {
        return StatusName(status) + " is a success status; a failure needs an error or warning status such as " +
               "STATUS_UNSUCCESSFUL";
    }
    return std::nullopt;
}

std::vector<std::pair<std::string, NTSTATUS>> KnownStatuses()
{
    std::vector<std::pair<std::string, NTSTATUS>> list;
    for (const NamedStatus& named : kStatuses) {
        list.emplace_back(named.name, named.value);
    }
    return list;
}

std::optional<std::uint64_t> ParseCount(const std::string& text, std::uint64_t max, std::string* error)
{
    const std::size_t digits = text.find_first_not_of("0123456789");
    if (!text.empty() && digits == std::string::npos) {
        if (text.size() > 1 && text[0] == '0') {
            // YAML would read 010 as octal: a count here is always decimal.
            *error = "must be written in decimal without leading zeros (" + text + ")";
            return std::nullopt;
        }
        if (text.size() <= 20) {
            errno = 0;
            const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
            if (errno == 0 && value <= max) {
                return value;
            }
        }
        *error = "must be at most " + std::to_string(max);
        return std::nullopt;
    }
    const bool signedDigits = text.size() > 1 && text.find_first_not_of("0123456789", 1) == std::string::npos;
    if (signedDigits && text[0] == '-') {
        *error = "must not be negative";
    } else if (signedDigits && text[0] == '+') {
        *error = "must be written without a sign (" + text.substr(1) + ", not " + text + ")";
    } else if (text.size() > 2 && text[0] == '0' && std::string("xXoObB").find(text[1]) != std::string::npos) {
        *error = "must be written in decimal (" + Quoted(text) + " is not)";
    } else {
        *error = "must be a whole number such as 3 (" + Quoted(text) + " is not)";
    }
    return std::nullopt;
}

std::string StatusName(NTSTATUS status)
{
    for (const NamedStatus& named : kStatuses) {
        if (named.value == status) {
            return named.name;
        }
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace fwtool
