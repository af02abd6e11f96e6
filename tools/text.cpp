#include "tools/text.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <vector>

namespace fwtool {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// East Asian Wide (W) and Fullwidth (F) blocks, and the emoji blocks terminals draw two cells wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Combining marks, zero-width joiners and variation selectors: drawn on the cell before.
constexpr Range kZero[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},   {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200D},   {0x20D0, 0x20FF},
    {0x302A, 0x302D}, {0x3099, 0x309A}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

template <std::size_t N> bool InRanges(const Range (&ranges)[N], char32_t code)
{
    const Range* it = std::upper_bound(std::begin(ranges), std::end(ranges), code,
                                       [](char32_t c, const Range& r) { return c < r.first; });
    return it != std::begin(ranges) && code <= std::prev(it)->last;
}

// Characters that change what the terminal does, or how the text around them reads.
bool MustEscape(char32_t code)
{
    return (code < 0x20 && code != '\t') || (code >= 0x7F && code <= 0x9F) || code == 0x200E || code == 0x200F ||
           (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

// One character of the input as it is shown: its bytes in the input, its text and its cells.
struct Shown {
    std::size_t byte;
    std::size_t bytes;
    std::string text;
    std::size_t cells;
};

// Decodes `text` one character at a time; a byte that does not start valid UTF-8 is one unit.
std::vector<Shown> Decode(std::string_view text)
{
    std::vector<Shown> units;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        char32_t code = 0;
        const std::size_t length = DecodeUtf8(text, i, &code);
        const bool valid = length != 0;
        char escaped[16];
        if (!valid) {
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            units.push_back({i, 1, escaped, 4});
            ++i;
            continue;
        }
        if (MustEscape(code)) {
            if (code < 0x80) {
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(code));
            } else {
                std::snprintf(escaped, sizeof escaped, "\\u{%04X}", static_cast<unsigned>(code));
            }
            units.push_back({i, length, escaped, std::string(escaped).size()});
        } else {
            // A tab is counted as the eight cells it takes at most.
            const std::size_t cells = code == '\t' ? 8 : static_cast<std::size_t>(CellWidth(code));
            units.push_back({i, length, std::string(text.substr(i, length)), cells});
        }
        i += length;
    }
    return units;
}

} // namespace

std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t* code)
{
    const auto c = static_cast<unsigned char>(text[at]);
    const std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    char32_t value = length == 1 ? c : length == 2 ? (c & 0x1FU) : length == 3 ? (c & 0x0FU) : (c & 0x07U);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0U) != 0x80U) {
            return 0;
        }
        value = (value << 6) | (next & 0x3FU);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8 either.
    static constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length > 1 && (value < kMinimum[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))) {
        return 0;
    }
    *code = value;
    return length;
}

int CellWidth(char32_t code)
{
    if (InRanges(kZero, code)) {
        return 0;
    }
    return InRanges(kWide, code) ? 2 : 1;
}

std::string EscapeForTerminal(std::string_view text, std::size_t maxCells)
{
    std::string out;
    std::size_t cells = 0;
    for (const Shown& unit : Decode(text)) {
        if (cells + unit.cells > maxCells) {
            return out + "...";
        }
        cells += unit.cells;
        out += unit.text;
    }
    return out;
}

std::string Quoted(std::string_view text)
{
    return "'" + EscapeForTerminal(text, 40) + "'";
}

SourceExcerpt ExcerptAround(std::string_view line, std::size_t byteColumn, std::size_t width)
{
    // Only the neighbourhood of the error is decoded: a line may be megabytes long. A character
    // takes one byte or more, so eight bytes a cell on either side leave room for zero-width marks.
    const std::size_t reach = 8 * width;
    const std::size_t error = std::min(byteColumn == 0 ? 0 : byteColumn - 1, line.size());
    std::size_t from = error > reach ? error - reach : 0;
    for (int k = 0; k < 3 && from > 0 && (static_cast<unsigned char>(line[from]) & 0xC0U) == 0x80U; ++k) {
        ++from; // start on a character, not inside one
    }
    const std::size_t to = std::min(line.size(), error + reach);
    const std::vector<Shown> units = Decode(line.substr(from, to - from));
    const std::size_t byte = error - from;
    // The character holding the error's byte; past the end of the line, the place after it.
    std::size_t at = 0;
    while (at < units.size() && units[at].byte + units[at].bytes <= byte) {
        ++at;
    }
    // Room for the line with "..." at both ends; a third of it before the error, the rest after,
    // and whatever one side does not need goes to the other.
    const std::size_t budget = width > 8 ? width - 6 : 2;
    std::size_t begin = at;
    std::size_t end = at;
    std::size_t used = at < units.size() ? units[at].cells : 1;
    if (at < units.size()) {
        ++end;
    }
    while (begin > 0 && used + units[begin - 1].cells <= budget / 3) {
        used += units[--begin].cells;
    }
    while (end < units.size() && used + units[end].cells <= budget) {
        used += units[end++].cells;
    }
    while (begin > 0 && used + units[begin - 1].cells <= budget) {
        used += units[--begin].cells;
    }
    SourceExcerpt excerpt;
    if (begin > 0 || from > 0) {
        excerpt.line = "...";
        excerpt.caret = "   ";
    }
    for (std::size_t i = begin; i < end; ++i) {
        excerpt.line += units[i].text;
        if (i < at) {
            // Tabs stay tabs so that the caret lines up whatever the terminal's tab stops.
            excerpt.caret += units[i].text == "\t" ? std::string("\t") : std::string(units[i].cells, ' ');
        }
    }
    if (end < units.size() || to < line.size()) {
        excerpt.line += "...";
    }
    excerpt.caret += "^";
    return excerpt;
}

} // namespace fwtool
