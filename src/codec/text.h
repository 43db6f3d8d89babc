// The texts by which values appear inside messages (see Value::debug_text).
#pragma once

#include <string>
#include <string_view>

namespace zez {

// A double quote, the characters of `utf8`, a double quote. Inside, `"` and
// `\` are written \" and \\; tab, carriage return, line feed and NUL as \t,
// \r, \n and \0; any other character that is not printable (control,
// format, surrogate, private-use, unassigned, separators other than U+0020)
// or that is Grapheme_Extend as \u{hex}, lowercase, without leading zeros.
// Everything else, non-ASCII included, is written as it is; ' is not escaped.
// `utf8` must be valid UTF-8; a byte that does not start a well-formed
// sequence is shown as \u{fffd}.
std::string quote_text(std::string_view utf8);

// A binary64 number as the shortest digits that read back to it: NaN, inf,
// -inf; scientific (1e16, 1.5e-7, 2.5e300) when the magnitude is at least
// 1e16 or below 1e-4 but not zero; otherwise plain decimal with at least one
// digit after the point (1.0, 0.0001, -0.0, 0.30000000000000004).
std::string float_text(double x);

// True when quote_text writes the code point as \u{...}.
bool must_escape(char32_t cp);

}  // namespace zez
