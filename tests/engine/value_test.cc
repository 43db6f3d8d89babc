#include "codec/value.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "codec/text.h"
#include "test_values.h"

namespace zez {
namespace {

// ---- debug text of each kind

struct Shown {
  const char* name;
  Value (*make)();
  const char* text;
};

const Shown SHOWN[] = {
    {"null", [] { return Value::null(); }, "Null"},
    {"tombstone", [] { return Value::tombstone(); }, "Tombstone"},
    {"bool_true", [] { return Value::boolean(true); }, "Bool(true)"},
    {"bool_false", [] { return Value::boolean(false); }, "Bool(false)"},
    {"int_negative", [] { return Value::integer(-42); }, "Int(-42)"},
    {"int_min", [] { return Value::integer(INT64_MIN); }, "Int(-9223372036854775808)"},
    {"float", [] { return Value::floating(1.5); }, "Float(1.5)"},
    {"text", [] { return Value::text("a\"\n\xC3\xA9"); }, "Text(\"a\\\"\\n\xC3\xA9\")"},
    {"text_single_quote", [] { return Value::text("it's"); }, "Text(\"it's\")"},
    {"blob", [] { return Value::blob("hi"); }, "Blob([104, 105])"},
    {"blob_high_bytes", [] { return Value::blob(std::string("\x00\xFF", 2)); }, "Blob([0, 255])"},
    {"blob_empty", [] { return Value::blob(""); }, "Blob([])"},
    {"date", [] { return Value::date(20000); }, "Date(20000)"},
    {"date_max", [] { return Value::date(4294967295u); }, "Date(4294967295)"},
    {"time_max", [] { return Value::time(4294967295u); }, "Time(4294967295)"},
    {"date_time_max", [] { return Value::date_time(UINT64_MAX); },
     "DateTime(18446744073709551615)"},
    {"array",
     [] {
       Array a;
       a.push_back(Value::null());
       a.push_back(Value::boolean(true));
       return Value::array(std::move(a));
     },
     "Array([Null, Bool(true)])"},
    {"array_empty", [] { return Value::array(); }, "Array([])"},
    {"map", [] { return Value::map(map_of("k\"", Value::array())); },
     "Map({\"k\\\"\": Array([])})"},
    {"map_empty", [] { return Value::empty_map(); }, "Map({})"},
    {"link_empty", [] { return Value::link(""); }, "Link(Link { path: \"\", local: {} })"},
    {"link_with_local", [] { return Value::link("users/alice", map_of("x", Value::integer(1))); },
     "Link(Link { path: \"users/alice\", local: {\"x\": Int(1)} })"},
    {"nested",
     [] {
       Array a;
       a.push_back(Value::map(map_of("l", Value::link("a/b"))));
       a.push_back(Value::tombstone());
       return Value::array(std::move(a));
     },
     "Array([Map({\"l\": Link(Link { path: \"a/b\", local: {} })}), Tombstone])"},
};

class DebugText : public ::testing::TestWithParam<Shown> {};

TEST_P(DebugText, ShowsKindAndPayload) {
  EXPECT_EQ(GetParam().make().debug_text(), GetParam().text);
}

TEST_P(DebugText, DeepCopyShowsTheSame) {
  EXPECT_EQ(GetParam().make().copy().debug_text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Kinds, DebugText, ::testing::ValuesIn(SHOWN),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DebugText, MapEntriesFollowIterationOrder) {
  Map m;
  for (const char* k : {"a", "b", "c"}) m.insert(k, Value::null());
  std::string expected = "Map({";
  for (const Map::Entry& e : m) {
    if (expected.size() > 5) expected += ", ";
    expected += "\"" + e.first + "\": Null";
  }
  EXPECT_EQ(Value::map(std::move(m)).debug_text(), expected + "})");
}

TEST(ValueModel, InsertingAKeyTwiceKeepsOneEntryWithTheSecondValue) {
  Map m;
  m.insert("a", Value::integer(1));
  m.insert("a", Value::integer(2));
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m.find("a")->as_int(), 2);
}

// ---- float text

struct FloatCase {
  double x;
  const char* text;
};

const FloatCase FLOATS[] = {
    {1.0, "1.0"},
    {1e16, "1e16"},
    {1e-5, "1e-5"},
    {0.0001, "0.0001"},
    {std::numeric_limits<double>::quiet_NaN(), "NaN"},
    {-std::numeric_limits<double>::infinity(), "-inf"},
    {std::numeric_limits<double>::infinity(), "inf"},
    {-0.0, "-0.0"},
    {0.0, "0.0"},
    {1.5, "1.5"},
    {1.5e-7, "1.5e-7"},
    {2.5e300, "2.5e300"},
    {123456789.0, "123456789.0"},
    {0.30000000000000004, "0.30000000000000004"},
    {9999999999999998.0, "9999999999999998.0"},
    {1234567890123456.7, "1234567890123456.8"},
    {-1e16, "-1e16"},
    {1.2345e16, "1.2345e16"},
    {100.0, "100.0"},
    {0.001, "0.001"},
    {-0.00012, "-0.00012"},
    {0.00009999999999999999, "9.999999999999999e-5"},
    {5e-324, "5e-324"},
    {2.2250738585072014e-308, "2.2250738585072014e-308"},
    {1.7976931348623157e308, "1.7976931348623157e308"},
    {-1.7976931348623157e308, "-1.7976931348623157e308"},
};

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, LaysOutTheShortestDigits) {
  EXPECT_EQ(float_text(GetParam().x), GetParam().text);
  EXPECT_EQ(Value::floating(GetParam().x).debug_text(),
            std::string("Float(") + GetParam().text + ")");
}

INSTANTIATE_TEST_SUITE_P(Numbers, FloatText, ::testing::ValuesIn(FLOATS));

TEST(FloatText, NaNWithPayloadAndSignIsStillNaN) {
  EXPECT_EQ(float_text(std::bit_cast<double>(0xFFF8000000000123ull)), "NaN");
}

TEST(FloatText, ReadsBackToTheSameNumberAcrossMagnitudes) {
  // Powers and near-powers of ten on both sides of both thresholds.
  for (int e = -330; e <= 310; ++e) {
    for (double m : {1.0, 1.0000000000000002, 9.999999999999998, 3.3333333333333335}) {
      const double x = m * std::pow(10.0, e);
      if (!std::isfinite(x)) continue;
      const std::string t = float_text(x);
      double back = 0;
      auto r = std::from_chars(t.data(), t.data() + t.size(), back);
      ASSERT_EQ(r.ptr, t.data() + t.size()) << t;
      ASSERT_EQ(std::bit_cast<uint64_t>(back), std::bit_cast<uint64_t>(x)) << t;
      const bool scientific = t.find('e') != std::string::npos;
      ASSERT_EQ(scientific, std::fabs(x) >= 1e16 || (x != 0 && std::fabs(x) < 1e-4)) << t;
      if (!scientific) {
        ASSERT_NE(t.find('.'), std::string::npos) << t;
      }
    }
  }
}

// ---- quoted text

struct Quoted {
  const char* name;
  const char* text;
  const char* quoted;
};

const Quoted QUOTED[] = {
    {"empty", "", "\"\""},
    {"plain", "abc xyz", "\"abc xyz\""},
    {"fixed_escapes", "\"\\\t\r\n", "\"\\\"\\\\\\t\\r\\n\""},
    {"single_quote", "'", "\"'\""},
    {"control", "\x01\x1F\x7F", "\"\\u{1}\\u{1f}\\u{7f}\""},
    {"c1_control", "\xC2\x85", "\"\\u{85}\""},
    {"letter_e_acute", "\xC3\xA9", "\"\xC3\xA9\""},
    {"combining_acute_after_e", "e\xCC\x81", "\"e\\u{301}\""},
    {"zero_width_space", "\xE2\x80\x8B", "\"\\u{200b}\""},
    {"soft_hyphen", "\xC2\xAD", "\"\\u{ad}\""},
    {"private_use", "\xEE\x80\x80", "\"\\u{e000}\""},
    {"plane_16_private_use", "\xF4\x8F\xBF\xBD", "\"\\u{10fffd}\""},
    {"unassigned", "\xCD\xB8", "\"\\u{378}\""},
    {"noncharacter", "\xEF\xBF\xBF", "\"\\u{ffff}\""},
    {"line_separator", "\xE2\x80\xA8", "\"\\u{2028}\""},
    {"paragraph_separator", "\xE2\x80\xA9", "\"\\u{2029}\""},
    {"no_break_space", "\xC2\xA0", "\"\\u{a0}\""},
    {"ideographic_space", "\xE3\x80\x80", "\"\\u{3000}\""},
    {"emoji", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
    {"cjk", "\xE4\xB8\xAD", "\"\xE4\xB8\xAD\""},
    {"replacement_character_itself", "\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},
    {"emoji_with_variation_selector", "\xE2\x9D\xA4\xEF\xB8\x8F", "\"\xE2\x9D\xA4\\u{fe0f}\""},
    {"emoji_zwj_sequence", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9",
     "\"\xF0\x9F\x91\xA8\\u{200d}\xF0\x9F\x91\xA9\""},
    {"spacing_mark_grapheme_extend", "\xE0\xA6\xBE", "\"\\u{9be}\""},
    {"invalid_byte_shown_as_replacement",
     "a\xFF"
     "b",
     "\"a\\u{fffd}b\""},
};

class QuotedText : public ::testing::TestWithParam<Quoted> {};

TEST_P(QuotedText, EscapesWhatIsNotPrintable) {
  EXPECT_EQ(quote_text(GetParam().text), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(Texts, QuotedText, ::testing::ValuesIn(QUOTED),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QuotedText, NulIsBackslashZero) {
  EXPECT_EQ(quote_text(std::string_view("a\0b", 3)), "\"a\\0b\"");
}

TEST(QuotedText, KeysAndPathsAreQuotedTheSameWay) {
  EXPECT_EQ(Value::link("a\tb", map_of("\xE2\x80\x8B", Value::null())).debug_text(),
            "Link(Link { path: \"a\\tb\", local: {\"\\u{200b}\": Null} })");
}

TEST(QuotedText, EscapeTableBoundaries) {
  // Each pair: the last code point on one side of a boundary and the first
  // on the other.
  const std::pair<char32_t, bool> points[] = {
      {0x1F, true},     {0x20, false},    {0x7E, false},   {0x7F, true},    {0x9F, true},
      {0xA0, true},     {0xA1, false},    {0x2FF, false},  {0x300, true},   {0x36F, true},
      {0x370, false},   {0xD7FF, true},   {0xD800, true},  {0xDFFF, true},  {0xF8FF, true},
      {0xF900, false},  {0x1F600, false}, {0xE0001, true}, {0xE0100, true}, {0x10FFFF, true},
      {0x110000, true},
  };
  for (auto [cp, escaped] : points) {
    EXPECT_EQ(must_escape(cp), escaped) << std::hex << uint32_t(cp);
  }
}

}  // namespace
}  // namespace zez
