// Byte strings as people type them (hex with separators), as files hold them (binary or hex
// text), and as the program shows them (hex dumps with changed bytes marked); NTSTATUS values by
// name or number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ntbase.h"

namespace fwtool {

using Bytes = std::vector<std::uint8_t>;

// A problem in an input file, printed as "file:line:column: message" (line and column 1-based).
struct LocatedError : std::runtime_error {
    LocatedError(std::string file, int line, int column, const std::string& message);

    std::string file;
    int line = 0;
    int column = 0;
    std::string message;
};

// A failed parse: what is wrong and at which character of the input (0-based).
struct TextProblem {
    std::size_t offset = 0;
    std::string message;
};

// Hex digits in pairs. Whitespace, ':', '-', '_' and ',' separate freely; "0x" may prefix a
// group; '#' starts a comment that runs to the end of the line.
std::optional<Bytes> ParseHex(const std::string& text, TextProblem* problem);

// Whether a file's contents are printable text (then read as hex) rather than raw bytes.
bool LooksLikeHexText(const Bytes& contents);

// Reads a buffer file: hex text when `forceHex` or when it looks like hex, raw bytes otherwise.
// Throws LocatedError.
Bytes LoadBufferFile(const std::string& path, bool forceHex);

// 1-based line and column of `offset` in `text`.
void LineAndColumn(const std::string& text, std::size_t offset, int* line, int* column);

// Sixteen bytes a row with offsets; with `before`, bytes that differ from it are bracketed and
// rows with no change between unchanged neighbours are folded.
std::string HexDump(const Bytes& bytes, const Bytes* before = nullptr);
std::string HexString(const Bytes& bytes, std::size_t limit = 32);

// "STATUS_NOT_FOUND" or 0xC0000225 (decimal and negative numbers are accepted too).
std::optional<NTSTATUS> ParseStatus(const std::string& text);
// The status's name when it has one in the platform headers, else its hex value.
std::string StatusName(NTSTATUS status);

} // namespace fwtool
