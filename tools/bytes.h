// Byte strings as people type them (hex with separators), as files hold them (binary or hex
// text), and as the program shows them (hex dumps with changed bytes marked); NTSTATUS values by
// name or number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/ntbase.h"

namespace fwtool {

using Bytes = std::vector<std::uint8_t>;

// A failed parse: what is wrong and at which character of the input (0-based).
struct TextProblem {
    std::size_t offset = 0;
    std::string message;
};

// Limits on what a scenario or a buffer file may ask for (docs/scenarios.md lists them).
inline constexpr std::uint64_t kMaxBufferSize = 16U << 20;       // an exchange buffer, response area, size query
inline constexpr std::uint64_t kMaxInputBytes = 64U << 20;       // a scenario or buffer file as read
inline constexpr unsigned kMaxDevicesPerStep = 64;               // add_device / remove_device
inline constexpr unsigned kMaxReleasesPerStep = 1000;            // ta_release
inline constexpr std::uint64_t kMaxRegisterFailures = 1'000'000; // firmware register_failures
inline constexpr std::uint64_t kMaxCallNumber = UINT32_MAX;      // fault nth / from
inline constexpr const char* kStdinName = "<stdin>";

// A problem in an input file, printed as "file:line:column: error: message" (line and column
// 1-based; without a position when line is 0), with the source line when it is known.
struct LocatedError : std::runtime_error {
    LocatedError(std::string file, int line, int column, const std::string& message);

    std::string file;
    int line = 0;
    int column = 0;
    std::string message;
    std::string source; // the line the error is on, if known
};

// what(), then the source line and a caret under the column when there is one.
std::string DescribeError(const LocatedError& error);

// Where `text` stops being UTF-8 (or holds a NUL byte, the sign of a binary file), if it does.
std::optional<TextProblem> CheckUtf8Text(const std::string& text);

// Reads a whole input: a regular file or a pipe, at most `limit` bytes. Directories, devices
// and longer inputs are LocatedErrors that say so; `what` names the expected content.
std::string ReadInputFile(const std::string& path, std::uint64_t limit, const std::string& what);
std::string ReadInputText(std::istream& in, const std::string& name, std::uint64_t limit, const std::string& what);

// Hex digits in pairs. Whitespace, ':', '-', '_' and ',' separate freely; "0x" may prefix a
// group; '#' starts a comment that runs to the end of the line.
std::optional<Bytes> ParseHex(const std::string& text, TextProblem* problem);

// Whether a file's contents are UTF-8 text without control characters (then read as hex,
// after a byte-order mark if one leads) rather than raw bytes.
bool LooksLikeHexText(const Bytes& contents);

// Reads a buffer file ("-": standard input): hex text when `forceHex` or when it looks like hex,
// raw bytes otherwise.
// Throws LocatedError.
Bytes LoadBufferFile(const std::string& path, bool forceHex);

// 1-based line and column of `offset` in `text`.
void LineAndColumn(const std::string& text, std::size_t offset, int* line, int* column);

// Sixteen bytes a row with offsets; with `before`, bytes that differ from it are bracketed and
// rows with no change between unchanged neighbours are folded. At most `maxRows` rows are shown
// (0: all), then a line says how many bytes were left out and *cut, when given, is set.
std::string HexDump(const Bytes& bytes, const Bytes* before = nullptr, std::size_t maxRows = 0, bool* cut = nullptr);
std::string HexString(const Bytes& bytes, std::size_t limit = 32);

// "STATUS_NOT_FOUND" or 0xC0000225: a name, or 0x and one to eight hex digits.
std::optional<NTSTATUS> ParseStatus(const std::string& text);
// Why `status` cannot stand for a failure (it is a success or informational status), if it cannot.
std::optional<std::string> NotAFailure(NTSTATUS status);
// The statuses known by name, in the headers' order of their values.
std::vector<std::pair<std::string, NTSTATUS>> KnownStatuses();

// A count or size as every numeric field takes it: decimal digits without a sign or a leading
// zero, at most `max`. Otherwise nullopt, with *error saying what is wrong in words that follow
// the field's name ("must not be negative").
std::optional<std::uint64_t> ParseCount(const std::string& text, std::uint64_t max, std::string* error);

// Why a file could not be opened, in words, from its errno value.
std::string OpenFailure(int error);
// The status's name when it has one in the platform headers, else its hex value.
std::string StatusName(NTSTATUS status);

} // namespace fwtool
