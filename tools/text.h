// Input text shown back to the user in a terminal: escaped, measured in cells, and cut to a
// readable width around the place an error points at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fwtool {

// The length of the UTF-8 sequence at `at` with its code point in *code, or 0 when the bytes
// there are not UTF-8 (overlong forms, surrogates and values past U+10FFFF included).
std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t* code);

// The cells a terminal gives the code point: 2 for East Asian wide and fullwidth characters and
// most emoji, 0 for combining marks and zero-width joiners, 1 otherwise.
int CellWidth(char32_t code);

// `text` safe to print: control characters (C0 but tab, DEL, C1), bidirectional overrides and
// bytes that are not UTF-8 become \xNN or \u{NNNN}; tabs stay tabs. Longer than `maxCells`, it
// is cut and ends in "...".
std::string EscapeForTerminal(std::string_view text, std::size_t maxCells = SIZE_MAX);

// A value from the input inside a message: escaped, quoted, at most 40 cells.
std::string Quoted(std::string_view text);

// A source line and the caret line under it. `byteColumn` (1-based, as errors report it) is the
// error's byte in `line`; the line is escaped, cut to about `width` cells around that byte
// ("..." marks a cut), and the caret is placed by cells, so wide characters and escapes before it
// keep it under the right character.
struct SourceExcerpt {
    std::string line;
    std::string caret;
};
SourceExcerpt ExcerptAround(std::string_view line, std::size_t byteColumn, std::size_t width = 100);

} // namespace fwtool
