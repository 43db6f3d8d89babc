// Debug text of values, with the float and quoted-text forms it is built on.
#include "codec/text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "codec/value.h"

namespace zez {

namespace {

#include "codec/unicode_tables.inc"

// Scientific form is used from this decimal exponent up and below the other.
constexpr int SCIENTIFIC_FROM_EXPONENT = 16;
constexpr int SCIENTIFIC_BELOW_EXPONENT = -4;

constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

void append_escape(std::string& out, char32_t cp) {
  char buf[8];
  auto r = std::to_chars(buf, buf + sizeof buf, static_cast<uint32_t>(cp), 16);
  out += "\\u{";
  out.append(buf, r.ptr);
  out += '}';
}

// Decodes the sequence at p (at least one byte before end); sets *len to its
// length. A malformed sequence yields U+FFFD and a length of 1.
char32_t next_code_point(const unsigned char* p, const unsigned char* end, int* len) {
  const unsigned char lead = p[0];
  int n;
  char32_t cp;
  if (lead >= 0xC2 && lead < 0xE0) {
    n = 2, cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    n = 3, cp = lead & 0x0F;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    n = 4, cp = lead & 0x07;
  } else {
    *len = 1;
    return REPLACEMENT_CHARACTER;
  }
  if (end - p < n) n = 0;
  for (int i = 1; i < n; ++i) {
    if ((p[i] & 0xC0) != 0x80) n = 0;
    if (n) cp = cp << 6 | (p[i] & 0x3F);
  }
  const char32_t min_for_length[] = {0, 0, 0x80, 0x800, 0x10000};
  if (n == 0 || cp < min_for_length[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    *len = 1;
    return REPLACEMENT_CHARACTER;
  }
  *len = n;
  return cp;
}

void append_ascii(std::string& out, unsigned char c) {
  static constexpr std::pair<char, const char*> SHORT_ESCAPES[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\t', "\\t"}, {'\r', "\\r"}, {'\n', "\\n"}, {'\0', "\\0"}};
  for (const auto& [plain, escaped] : SHORT_ESCAPES) {
    if (c == static_cast<unsigned char>(plain)) {
      out += escaped;
      return;
    }
  }
  if (c < 0x20 || c == 0x7F) {
    append_escape(out, c);
  } else {
    out += static_cast<char>(c);
  }
}

void append_quoted(std::string& out, std::string_view utf8) {
  out += '"';
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p < end) {
    if (*p < 0x80) {
      append_ascii(out, *p++);
      continue;
    }
    int len;
    const char32_t cp = next_code_point(p, end, &len);
    if (must_escape(cp) || (cp == REPLACEMENT_CHARACTER && len == 1)) {
      append_escape(out, cp);
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<size_t>(len));
    }
    p += len;
  }
  out += '"';
}

// Lays out the shortest round-trip digits of a finite x (from std::to_chars
// in scientific form, which gives them with their decimal exponent).
void append_float(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return;
  }
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<size_t>(r.ptr - buf));
  const size_t e_at = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_at);
  const int exponent = std::atoi(std::string(sci.substr(e_at + 1)).c_str());
  if (mantissa.front() == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits(mantissa);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const bool scientific =
      exponent >= SCIENTIFIC_FROM_EXPONENT || (x != 0 && exponent < SCIENTIFIC_BELOW_EXPONENT);
  if (scientific) {
    out += digits[0];
    if (digits.size() > 1) out.append(".").append(digits, 1);
    out += 'e';
    out += std::to_string(exponent);
  } else if (exponent < 0) {
    out.append("0.").append(static_cast<size_t>(-exponent - 1), '0').append(digits);
  } else {
    const size_t int_digits = static_cast<size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
      out.append(digits).append(int_digits - digits.size(), '0').append(".0");
    } else {
      out.append(digits, 0, int_digits).append(".").append(digits, int_digits);
    }
  }
}

// A list in brackets or braces: `open`, the items separated by ", ", `close`.
template <class It, class AppendItem>
void append_list(std::string& out, char open, It first, It last, char close,
                 AppendItem append_item) {
  out += open;
  for (It it = first; it != last; ++it) {
    if (it != first) out += ", ";
    append_item(*it);
  }
  out += close;
}

void append_debug(std::string& out, const Value& v);

void append_map_entries(std::string& out, const Map& m) {
  append_list(out, '{', m.begin(), m.end(), '}', [&](const Map::Entry& e) {
    append_quoted(out, e.first);
    out += ": ";
    append_debug(out, e.second);
  });
}

// Recursion is bounded: values never nest deeper than MAX_NESTING_DEPTH.
void append_debug(std::string& out, const Value& v) {
  static constexpr const char* NAMES[] = {"Null", "Tombstone", "Bool",     "Int",   "Float",
                                          "Text", "Blob",      "Date",     "Time",  "DateTime",
                                          "Array", "Map",      "Link"};
  out += NAMES[kind_index(v.kind())];
  if (v.is(Kind::Null) || v.is(Kind::Tombstone)) return;
  out += '(';
  switch (v.kind()) {
    case Kind::Null:
    case Kind::Tombstone:
      break;
    case Kind::Bool:
      out += v.as_bool() ? "true" : "false";
      break;
    case Kind::Int:
      out += std::to_string(v.as_int());
      break;
    case Kind::Float:
      append_float(out, v.as_float());
      break;
    case Kind::Text:
      append_quoted(out, v.as_text());
      break;
    case Kind::Blob:
      append_list(out, '[', v.as_blob().begin(), v.as_blob().end(), ']',
                  [&](char c) { out += std::to_string(static_cast<unsigned char>(c)); });
      break;
    case Kind::Date:
      out += std::to_string(v.as_date());
      break;
    case Kind::Time:
      out += std::to_string(v.as_time());
      break;
    case Kind::DateTime:
      out += std::to_string(v.as_date_time());
      break;
    case Kind::Array:
      append_list(out, '[', v.as_array().begin(), v.as_array().end(), ']',
                  [&](const Value& e) { append_debug(out, e); });
      break;
    case Kind::Map:
      append_map_entries(out, v.as_map());
      break;
    case Kind::Link:
      out += "Link { path: ";
      append_quoted(out, v.as_link().path);
      out += ", local: ";
      append_map_entries(out, v.as_link().local);
      out += " }";
      break;
  }
  out += ')';
}

}  // namespace

bool must_escape(char32_t cp) {
  if (cp > 0x10FFFF) return true;
  const uint32_t* const last = std::end(ESCAPE_BOUNDARIES);
  const auto at = std::upper_bound(std::begin(ESCAPE_BOUNDARIES), last, uint32_t(cp));
  return (at - std::begin(ESCAPE_BOUNDARIES)) % 2 == 1;
}

std::string quote_text(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  append_quoted(out, utf8);
  return out;
}

std::string float_text(double x) {
  std::string out;
  append_float(out, x);
  return out;
}

std::string Value::debug_text() const {
  std::string out;
  append_debug(out, *this);
  return out;
}

}  // namespace zez
