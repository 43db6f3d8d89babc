#include "tool/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <random>
#include <string>

namespace zez {
namespace {

// The text our writer gives for the value `text` spells, or the error.
std::string echo(std::string_view text) {
  auto r = parse_json(text);
  if (!r.ok()) return "error: " + r.error().display();
  std::string out;
  JsonWriter(out).write_value(r.value());
  return out;
}

std::string written_double(double d) {
  std::string out;
  JsonWriter w(out);
  return w.write_double(d) ? out : "refused";
}

// ---- writer

TEST(JsonWriter, PlacesCommasAndColons) {
  std::string out;
  JsonWriter w(out);
  w.begin_object();
  w.write_key("a");
  w.write_int(1);
  w.write_key("b");
  w.begin_array();
  w.write_bool(true);
  w.write_null();
  w.begin_object();
  w.end_object();
  w.begin_array();
  w.end_array();
  w.write_uint(UINT64_MAX);
  w.end_array();
  w.write_key("c");
  w.write_int(INT64_MIN);
  w.end_object();
  EXPECT_EQ(out, R"({"a":1,"b":[true,null,{},[],18446744073709551615],"c":-9223372036854775808})");
}

TEST(JsonWriter, EscapesOnlyQuoteBackslashAndControlCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", R"("plain")"},
      {"\"\\/", R"("\"\\/")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f \xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80",
       "\"\x7f \xc3\xa9 \xe2\x80\xa8 \xf0\x9f\x98\x80\""},
  };
  for (const auto& [in, want] : cases) {
    std::string out;
    JsonWriter(out).write_string(in);
    EXPECT_EQ(out, want);
  }
}

TEST(JsonWriter, DoublesAlwaysShowAPointOrAnExponent) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"},       {-0.0, "-0.0"},
      {100.0, "100.0"},   {0.1, "0.1"},
      {1e16, "1e+16"},    {1.2345678901234568e20, "123456789012345683968.0"},
      {5e-324, "5e-324"}, {DBL_MAX, "1.7976931348623157e+308"},
  };
  for (const auto& [d, want] : cases) EXPECT_EQ(written_double(d), want) << d;
}

TEST(JsonWriter, RefusesNonFiniteDoublesWithoutWriting) {
  std::string out;
  JsonWriter w(out);
  w.begin_array();
  EXPECT_FALSE(w.write_double(NAN));
  EXPECT_FALSE(w.write_double(INFINITY));
  EXPECT_FALSE(w.write_double(-INFINITY));
  w.write_int(1);
  w.end_array();
  EXPECT_EQ(out, "[1]");
}

// Every finite double, written and read back, is the same bits and still a
// double. The sweep draws bit patterns, so it covers every exponent range.
TEST(JsonWriter, DoublesReadBackBitExactly) {
  std::vector<double> values = {DBL_MIN,
                                DBL_TRUE_MIN,
                                -DBL_MAX,
                                0.1 + 0.2,
                                9007199254740993.0,
                                1e22,
                                1e23,
                                2.2250738585072011e-308,
                                4.9406564584124654e-324};
  std::mt19937_64 bits(20240611);
  while (values.size() < 20000) {
    const double d = std::bit_cast<double>(bits());
    if (std::isfinite(d)) values.push_back(d);
  }
  for (double d : values) {
    auto r = parse_json(written_double(d));
    ASSERT_TRUE(r.ok()) << written_double(d);
    ASSERT_TRUE(r.value().is(Kind::Float)) << written_double(d);
    ASSERT_EQ(std::bit_cast<uint64_t>(r.value().as_float()), std::bit_cast<uint64_t>(d));
  }
}

// ---- reader

// Integers keep their exact value from -2^63 to 2^63-1, and a date-time's
// up to 2^64-1; the rest are doubles, read exactly, an underflow as a zero
// of its sign.
TEST(JsonReader, NumbersReadExactly) {
  const std::pair<const char*, const char*> cases[] = {
      {"0", "0"},
      {"-0", "0"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775808", "error: integer out of the 64-bit signed range at byte 0"},
      {R"({"$datetime":18446744073709551615})", R"({"$datetime":18446744073709551615})"},
      {R"({"$datetime":-0})", R"({"$datetime":0})"},
      {R"({"$datetime":18446744073709551616})", "error: number out of range at byte 13"},
      {"1.0", "1.0"},
      {"1E2", "100.0"},
      {"-0.0", "-0.0"},
      {"-1e-400", "-0.0"},
      {"0.0001e-320", "0.0"},
      {"100000e-330", "0.0"},
      {"30000e-328", "5e-324"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(echo(text), want) << text;
}

TEST(JsonReader, DecodesEscapesToUtf8) {
  const std::pair<const char*, std::string> cases[] = {
      {R"("\u0041\u00e9\u20AC")", "A\xc3\xa9\xe2\x82\xac"},
      {R"("\ud83d\ude00\uDBFF\uDFFF")", "\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf"},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
      {"\"raw \xf0\x9f\x98\x80\x7f\"", "raw \xf0\x9f\x98\x80\x7f"},
  };
  for (const auto& [text, want] : cases) {
    auto r = parse_json(text);
    ASSERT_TRUE(r.ok()) << text << ": " << r.error().display();
    EXPECT_EQ(r.value().as_text(), want) << text;
  }
}

TEST(JsonReader, WritesBackCanonically) {
  const std::pair<const char*, const char*> cases[] = {
      {R"( { "c" : [ 1 , -2 , 3.5 , "x" ] , "b" : { } ,"a":[ ] } )",
       R"({"a":[],"b":{},"c":[1,-2,3.5,"x"]})"},
      {"\t\r\n[true,false,null]\n", "[true,false,null]"},
      {"1e5", "1e+05"},
      {"1e2", "100.0"},
      {"[1E-7,0.5e1]", "[1e-07,5.0]"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(echo(text), want) << text;
}

TEST(JsonReader, RefusesWhatRfc8259Refuses) {
  const std::pair<std::string, const char*> cases[] = {
      {" \n", "unexpected end of text at byte 2"},
      {"[1,", "unexpected end of text at byte 3"},
      {"tru", "unexpected end of text at byte 3"},
      {"trUe", "unexpected character at byte 2"},
      {"NaN", "unexpected character at byte 0"},
      {"+1", "unexpected character at byte 0"},
      {"[01]", "invalid number at byte 1"},
      {"1.e5", "invalid number at byte 0"},
      {"1e+", "invalid number at byte 0"},
      {"[1,]", "unexpected character at byte 3"},
      {R"({"a":1,})", "unexpected character at byte 7"},
      {"[1 2]", "unexpected character at byte 3"},
      {R"({"a" 1})", "unexpected character at byte 5"},
      {"{1:2}", "unexpected character at byte 1"},
      {"[1] [2]", "trailing characters at byte 4"},
      {"[-1e309]", "number out of range at byte 1"},
      {"0.001e312", "number out of range at byte 0"},
      {"18446744073709551616", "number out of range at byte 0"},
      {R"(["abc)", "unterminated string at byte 1"},
      {R"("ab\)", "unterminated string at byte 0"},
      {R"("\u12)", "unterminated string at byte 0"},
      {R"("\ud83d\ude)", "unterminated string at byte 0"},
      {"\"a\tb\"", "control character in string at byte 2"},
      {R"("\x")", "invalid escape at byte 1"},
      {R"("\u12g4")", "invalid escape at byte 1"},
      {R"("\u1")", "invalid escape at byte 1"},
      {R"("\ud83d")", "unpaired surrogate escape at byte 1"},
      {R"("\ud83d\u0041")", "unpaired surrogate escape at byte 1"},
      {R"("x\ude00\ud83d")", "unpaired surrogate escape at byte 2"},
      {"\"ab\xc0\x80\"", "invalid utf-8 at byte 3"},                 // overlong
      {"\"\xed\xa0\x80\"", "invalid utf-8 at byte 1"},               // encoded surrogate
      {"\"a\xc3\xa9\xf5\x80\x80\x80\"", "invalid utf-8 at byte 4"},  // above U+10FFFF
      {"\"\xe2\x82\"", "invalid utf-8 at byte 1"},                   // cut short by the quote
      {"\xef\xbb\xbf[]", "unexpected character at byte 0"},          // no byte order mark
  };
  for (const auto& [text, want] : cases)
    EXPECT_EQ(echo(text), std::string("error: ") + want) << text;
}

// A text cut anywhere inside is unfinished, never something else.
TEST(JsonReader, EveryProperPrefixEndsTooSoon) {
  const std::string text = R"({"k":[1,-2.5e-3,"\u00e9\ud83d\ude00",true,null,{"":[]}]})";
  ASSERT_TRUE(parse_json(text).ok());
  for (size_t n = 0; n < text.size(); ++n) {
    auto r = parse_json(text.substr(0, n));
    ASSERT_FALSE(r.ok()) << n;
    const std::string_view m = r.error().message;
    EXPECT_TRUE(m == "unexpected end of text" || m == "unterminated string" ||
                m == "invalid number")
        << text.substr(0, n) << ": " << r.error().display();
  }
}

// The object of a line or a report is no level of its values, and its own
// keys are never tags.
TEST(JsonReader, AnObjectOfValues) {
  std::string deep = "0";
  for (int i = 0; i < MAX_NESTING_DEPTH; ++i) deep = "[" + deep + "]";
  auto r = parse_json_object(R"( {"$bytes":1,"b":[)" + deep + "]}");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().display(), "nested deeper than 256 levels at byte 273");
  r = parse_json_object(R"({"$bytes":1,"b":)" + deep + "}");
  ASSERT_TRUE(r.ok()) << r.error().display();
  EXPECT_EQ(r.value().size(), 2u);
  EXPECT_EQ(r.value().find("$bytes")->as_int(), 1);
  EXPECT_EQ(parse_json_object(R"({"$bytes":"AA=="})").value().find("$bytes")->as_text(), "AA==");
  EXPECT_EQ(parse_json_object("[]").error().display(), "unexpected character at byte 0");
  EXPECT_EQ(parse_json_object(R"({"a":1,"a":1})").error().display(),
            "a map holds a key twice at byte 7");
}

}  // namespace
}  // namespace zez
