#include "codec/encoding.h"

#include <gtest/gtest.h>

#include <bit>
#include <random>
#include <string>
#include <vector>

#include "codec/byte_order.h"
#include "db/link_path.h"
#include "test_values.h"

namespace zez {
namespace {

// "08 01 00" -> the bytes 08 01 00.
std::string hex(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(char(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::string encode(const Value& v) {
  std::string out;
  encode_value(v, out);
  return out;
}

Result<Value, CodecError> decode(const std::string& bytes, size_t* cursor) {
  return decode_value(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), cursor);
}

Result<Value, CodecError> decode(const std::string& bytes) {
  size_t cursor = 0;
  return decode(bytes, &cursor);
}

// The error text of decoding `bytes`, or "ok".
std::string decode_error(const std::string& bytes) {
  auto r = decode(bytes);
  return r.ok() ? "ok" : r.error().display();
}

// ---- golden bytes

struct Golden {
  const char* name;
  Value (*make)();
  const char* bytes;
};

const Golden GOLDEN[] = {
    {"map_of_array",
     [] {
       Array a;
       a.push_back(Value::integer(1));
       a.push_back(Value::text("hi"));
       return Value::map(map_of("a", Value::array(std::move(a))));
     },
     "08 01000000 01000000 61 07 02000000 02 0100000000000000 04 02000000 6869"},
    {"link_with_local", [] { return Value::link("a/b", map_of("x", Value::boolean(true))); },
     "05 03000000 612F62 01000000 01000000 78 0101"},
    {"float", [] { return Value::floating(1.5); }, "03 000000000000F83F"},
    {"int_negative", [] { return Value::integer(-2); }, "02 FEFFFFFFFFFFFFFF"},
    {"date", [] { return Value::date(20000); }, "09 204E0000"},
    {"time", [] { return Value::time(0xA1B2C3D4); }, "0A D4C3B2A1"},
    {"date_time", [] { return Value::date_time(0x0102030405060708); }, "0B 0807060504030201"},
    {"null", [] { return Value::null(); }, "00"},
    {"tombstone", [] { return Value::tombstone(); }, "0C"},
    {"bool_false", [] { return Value::boolean(false); }, "01 00"},
    {"empty_text", [] { return Value::text(""); }, "04 00000000"},
    {"empty_link", [] { return Value::link(""); }, "05 00000000 00000000"},
    {"blob", [] { return Value::blob(std::string("\x00\xFF", 2)); }, "06 02000000 00FF"},
    {"empty_array", [] { return Value::array(); }, "07 00000000"},
    {"empty_map", [] { return Value::empty_map(); }, "08 00000000"},
    {"tombstone_in_array",
     [] {
       Array a;
       a.push_back(Value::tombstone());
       return Value::array(std::move(a));
     },
     "07 01000000 0C"},
};

class EncodingGolden : public ::testing::TestWithParam<Golden> {};

TEST_P(EncodingGolden, EncodesToTheseBytes) {
  EXPECT_EQ(encode(GetParam().make()), hex(GetParam().bytes));
}

TEST_P(EncodingGolden, DecodesBackToTheSameBytesAndConsumesAll) {
  const std::string bytes = hex(GetParam().bytes);
  size_t cursor = 0;
  auto r = decode(bytes, &cursor);
  ASSERT_TRUE(r.ok()) << r.error().display();
  EXPECT_EQ(cursor, bytes.size());
  EXPECT_EQ(encode(r.value()), bytes);
}

TEST_P(EncodingGolden, EveryShorterPrefixEndsUnexpectedly) {
  const std::string bytes = hex(GetParam().bytes);
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_EQ(decode_error(bytes.substr(0, n)), "unexpected end of buffer") << "prefix " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Values, EncodingGolden, ::testing::ValuesIn(GOLDEN),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(EncodingGolden, WorkedExamplesHaveTheirSizes) {
  EXPECT_EQ(encode(GOLDEN[0].make()).size(), 31u);
  EXPECT_EQ(encode(GOLDEN[1].make()).size(), 19u);
}

// ---- decoder errors and the order of its checks

struct BadInput {
  const char* name;
  const char* bytes;
  const char* error;
};

constexpr char END[] = "unexpected end of buffer";
constexpr char UTF8[] = "invalid UTF-8 in text field";

const BadInput BAD_INPUTS[] = {
    {"empty", "", END},
    {"type_0d", "0D", "unknown type byte: 0x0D"},
    {"type_ff", "FF", "unknown type byte: 0xFF"},
    {"type_ab_before_missing_payload", "AB", "unknown type byte: 0xAB"},
    {"bool_without_byte", "01", END},
    {"int_with_three_bytes", "02 010203", END},
    {"date_with_three_bytes", "09 010203", END},
    {"text_length_cut", "04 0100", END},
    {"text_bytes_short_before_utf8_check", "04 02000000 FF", END},
    {"text_not_utf8", "04 01000000 FF", UTF8},
    {"blob_bytes_short", "06 03000000 0000", END},
    {"map_key_not_utf8", "08 01000000 01000000 FF 00", UTF8},
    {"map_key_checked_before_value_is_read", "08 01000000 01000000 FF", UTF8},
    {"map_value_unknown_type", "08 01000000 01000000 61 0D", "unknown type byte: 0x0D"},
    {"map_missing_second_entry", "08 02000000 01000000 61 00", END},
    {"array_announces_two_holds_one", "07 02000000 00", END},
    {"array_element_unknown_before_end", "07 02000000 0E", "unknown type byte: 0x0E"},
    {"link_path_not_utf8_before_local", "05 01000000 FF", UTF8},
    {"link_local_key_not_utf8", "05 00000000 01000000 01000000 C0 00", UTF8},
    {"link_without_local", "05 01000000 61", END},
    {"nested_text_not_utf8", "07 01000000 08 01000000 01000000 61 04 01000000 80", UTF8},
    {"array_of_max_count", "07 FFFFFFFF 00 00", END},
    {"map_of_max_count", "08 FFFFFFFF 00000000 00", END},
    {"link_local_of_max_count", "05 00000000 FFFFFFFF", END},
    {"text_of_max_length", "04 FFFFFFFF 6161", END},
};

class DecodeError : public ::testing::TestWithParam<BadInput> {};

TEST_P(DecodeError, ReportsExactText) {
  EXPECT_EQ(decode_error(hex(GetParam().bytes)), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Inputs, DecodeError, ::testing::ValuesIn(BAD_INPUTS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DecodeError, EveryUnassignedTypeByteIsRejectedWithThatByte) {
  for (int b = 0x0D; b <= 0xFF; ++b) {
    std::string bytes = hex("00 00000000 00000000");
    bytes[0] = char(b);
    auto r = decode(bytes);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), CodecError::Kind::UnknownType);
    EXPECT_EQ(r.error().type_byte(), b);
  }
}

TEST(DecodeError, CursorAtOrPastTheEndIsUnexpectedEnd) {
  const std::string bytes = hex("00");
  for (size_t start : {size_t(1), size_t(5)}) {
    size_t cursor = start;
    EXPECT_EQ(decode(bytes, &cursor).error().kind(), CodecError::Kind::UnexpectedEnd);
  }
}

// ---- what the decoder accepts

TEST(Decode, TrailingBytesAreNotLookedAt) {
  const std::string bytes = hex("00 FF");
  size_t cursor = 0;
  auto r = decode(bytes, &cursor);
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().is(Kind::Null));
  EXPECT_EQ(cursor, 1u);
}

TEST(Decode, StartsAtTheCursorAndStopsAfterTheValue) {
  const std::string bytes = hex("FF 09 204E0000 0D");
  size_t cursor = 1;
  auto r = decode(bytes, &cursor);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().as_date(), 20000u);
  EXPECT_EQ(cursor, 6u);
}

TEST(Decode, AnyNonZeroBoolByteIsTrueAndReencodesAsOne) {
  auto r = decode(hex("01 02"));
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r.value().as_bool());
  EXPECT_EQ(encode(r.value()), hex("01 01"));
}

TEST(Decode, DuplicateMapKeyKeepsOneEntryWithTheLaterValue) {
  auto r =
      decode(hex("08 02000000 01000000 61 02 0100000000000000 01000000 61 02 0200000000000000"));
  ASSERT_TRUE(r.ok());
  const Map& m = r.value().as_map();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m.find("a")->as_int(), 2);
}

TEST(Decode, DuplicateKeyInLinkLocalKeepsTheLaterValue) {
  auto r = decode(hex("05 00000000 02000000 01000000 78 00 01000000 78 0C"));
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().as_link().local.size(), 1u);
  EXPECT_TRUE(r.value().as_link().local.find("x")->is(Kind::Tombstone));
}

TEST(Decode, FloatBitsSurviveUnchanged) {
  for (uint64_t bits : {0x8000000000000000ull, 0x7FF0000000000001ull, 0xFFF8000000000123ull,
                        0x7FF8000000000000ull, 0x0000000000000001ull, 0x7FF0000000000000ull}) {
    const std::string bytes = encode(Value::floating(std::bit_cast<double>(bits)));
    auto r = decode(bytes);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::bit_cast<uint64_t>(r.value().as_float()), bits);
    EXPECT_EQ(bytes.substr(1), encode(Value::date_time(bits)).substr(1));
  }
}

// ---- nesting depth

// `levels` arrays, each holding the next, around a Null.
std::string nested_arrays(int levels) {
  std::string out;
  for (int i = 0; i < levels; ++i) out += hex("07 01000000");
  return out + hex("00");
}

TEST(DecodeDepth, AcceptsExactlyTheLimit) {
  auto r = decode(nested_arrays(MAX_NESTING_DEPTH));
  ASSERT_TRUE(r.ok()) << r.error().display();
  EXPECT_EQ(encode(r.value()), nested_arrays(MAX_NESTING_DEPTH));
}

TEST(DecodeDepth, RefusesOneLevelMore) {
  EXPECT_EQ(decode(nested_arrays(MAX_NESTING_DEPTH + 1)).error().kind(), CodecError::Kind::TooDeep);
}

TEST(DecodeDepth, RefusesFarDeeperInputWithoutExhaustingTheStack) {
  EXPECT_EQ(decode_error(nested_arrays(1000000)), "value nested deeper than 256 levels");
}

TEST(DecodeDepth, MapsAndLinkLocalsCountAsLevels) {
  // Alternating map and link levels: map {"k": link("", {"k": ...})}.
  auto build = [](int levels) {
    std::string out;
    for (int i = 0; i < levels; ++i) {
      out += i % 2 ? hex("05 00000000 01000000 01000000 6B") : hex("08 01000000 01000000 6B");
    }
    return out + hex("00");
  };
  EXPECT_TRUE(decode(build(MAX_NESTING_DEPTH)).ok());
  EXPECT_EQ(decode(build(MAX_NESTING_DEPTH + 1)).error().kind(), CodecError::Kind::TooDeep);
}

TEST(DecodeDepth, ScalarsAtTheLimitAreNotALevel) {
  std::string bytes;
  for (int i = 0; i < MAX_NESTING_DEPTH; ++i) bytes += hex("07 01000000");
  EXPECT_EQ(decode_error(bytes + hex("0D")), "unknown type byte: 0x0D");
  EXPECT_EQ(decode_error(bytes + hex("04 01000000 61")), "ok");
  EXPECT_EQ(decode_error(bytes + hex("07 00000000")), "value nested deeper than 256 levels");
}

// ---- random round trip

class RandomValues {
 public:
  explicit RandomValues(uint64_t seed) : rng_(seed) {}

  Value make(int depth) {
    const int kind = pick(depth > 0 ? 13 : 10);
    switch (kind) {
      case 0:
        return Value::null();
      case 1:
        return Value::tombstone();
      case 2:
        return Value::boolean(pick(2));
      case 3:
        return Value::integer(static_cast<int64_t>(rng_()));
      case 4:
        return Value::floating(std::bit_cast<double>(rng_()));
      case 5:
        return Value::text(make_text());
      case 6: {
        std::string b(pick(20), '\0');
        for (char& c : b) c = char(rng_());
        return Value::blob(std::move(b));
      }
      case 7:
        return Value::date(static_cast<uint32_t>(rng_()));
      case 8:
        return Value::time(static_cast<uint32_t>(rng_()));
      case 9:
        return Value::date_time(rng_());
      case 10: {
        Array a;
        for (int n = pick(6); n > 0; --n) a.push_back(make(depth - 1));
        return Value::array(std::move(a));
      }
      case 11:
        return Value::map(make_map(depth - 1));
      default:
        return Value::link(make_text(), make_map(depth - 1));
    }
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }

  std::string make_text() {
    static const char* const PIECES[] = {
        "a", "key", "\"", "\xC3\xA9", "\xE2\x80\x8B", "\xF0\x9F\x98\x80", "", "/"};
    std::string s;
    for (int n = pick(5); n > 0; --n) s += PIECES[pick(8)];
    return s;
  }

  // Up to 40 entries, so that some maps pass the size at which they start
  // hashing their keys.
  Map make_map(int depth) {
    Map m;
    for (int n = pick(3) == 0 ? pick(40) : pick(4); n > 0; --n) {
      m.insert(make_text() + std::to_string(pick(50)), make(depth));
    }
    return m;
  }

  std::mt19937_64 rng_;
};

TEST(DecodeRoundTrip, RandomNestedValuesReencodeToTheSameBytes) {
  RandomValues gen(20240601);
  for (int i = 0; i < 2000; ++i) {
    const Value v = gen.make(4);
    // The decoder keeps entries in the order it reads them, so a decoded map
    // re-encodes in the order of the bytes it came from.
    const std::string bytes = encode(v);
    size_t cursor = 0;
    auto r = decode(bytes, &cursor);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(cursor, bytes.size());
    ASSERT_EQ(encode(r.value()), bytes);
    ASSERT_EQ(encode(v.copy()), bytes);
  }
}

// ---- link pre-check

bool holds_link(const Value& v) {
  switch (v.kind()) {
    case Kind::Link:
      return true;
    case Kind::Array:
      for (const Value& e : v.as_array()) {
        if (holds_link(e)) return true;
      }
      return false;
    case Kind::Map:
      for (const auto& [k, e] : v.as_map()) {
        if (holds_link(e)) return true;
      }
      return false;
    default:
      return false;
  }
}

// The pre-check may say "maybe" too often, never "no" wrongly: for every
// random value and every cut of its encoding that still decodes, a value
// holding a link must be flagged.
TEST(MayHoldLink, NeverMissesALinkThatDecodes) {
  RandomValues gen(777);
  int flagged_without_link = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string bytes = encode(gen.make(4));
    for (size_t cut = 0; cut <= bytes.size(); cut += 1 + cut / 8) {
      size_t cursor = 0;
      auto r = decode(bytes.substr(0, cut), &cursor);
      const bool maybe = may_hold_link(reinterpret_cast<const uint8_t*>(bytes.data()), cut);
      if (r.ok() && holds_link(r.value())) {
        ASSERT_TRUE(maybe) << "cut " << cut;
      }
      if (r.ok() && !holds_link(r.value()) && maybe) ++flagged_without_link;
    }
  }
  // Plain values are the common case the check exists for.
  EXPECT_LT(flagged_without_link, 1000);
}

// "Decodes, and holds no link" without a decode must never be said of bytes
// that do not decode, nor of a value with a link: checked on random values,
// their cuts, and copies with one byte made 0xFF (never valid in UTF-8).
// Whole link-free values must be recognised, or the shortcut is useless.
TEST(DecodesWithoutLink, AgreesWithTheDecoder) {
  RandomValues gen(4242);
  int recognised = 0;
  int link_free = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string bytes = encode(gen.make(4));
    auto agrees = [&](const std::string& b) {
      size_t cursor = 0;
      auto r = decode(b, &cursor);
      const bool said = decodes_without_link(reinterpret_cast<const uint8_t*>(b.data()), b.size());
      if (said) {
        EXPECT_TRUE(r.ok() && !holds_link(r.value()));
      }
      return said;
    };
    for (size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 8) agrees(bytes.substr(0, cut));
    for (size_t at = 0; at < bytes.size(); at += 1 + at / 4) {
      std::string damaged = bytes;
      damaged[at] = char(0xFF);
      agrees(damaged);
    }
    size_t cursor = 0;
    auto whole = decode(bytes, &cursor);
    if (whole.ok() && !holds_link(whole.value())) {
      ++link_free;
      recognised += agrees(bytes);
    }
  }
  EXPECT_GT(link_free, 100);
  EXPECT_EQ(recognised, link_free);
}

// The links found in the bytes must be those of the decoded value, in its
// order, and none for bytes that do not decode: on random values, their
// cuts and damaged copies, and on maps that repeat a key, which a decode
// collapses into one entry.
TEST(ExtractEncodedLinks, AgreesWithDecodingThenExtracting) {
  auto agrees = [](const std::string& b) {
    size_t cursor = 0;
    auto r = decode(b, &cursor);
    const auto found = extract_encoded_links(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    EXPECT_EQ(found, r.ok() ? extract_links(r.value()) : std::vector<OutgoingLink>());
    return found.size();
  };
  RandomValues gen(77);
  size_t links = 0;
  for (int i = 0; i < 1500; ++i) {
    const std::string bytes = encode(gen.make(4));
    links += agrees(bytes);
    for (size_t cut = 0; cut < bytes.size(); cut += 1 + cut / 8) agrees(bytes.substr(0, cut));
    for (size_t at = 0; at < bytes.size(); at += 1 + at / 4) {
      std::string damaged = bytes;
      damaged[at] = char(0xFF);
      agrees(damaged);
    }
  }
  EXPECT_GT(links, 50u);
  // {"a": Link "x/1", "a": 5}, {"a": 5, "a": Link "x/1"}, and the link twice.
  const std::string link = hex("05 03000000") + "x/1" + hex("00000000");
  const std::string five = hex("02 0500000000000000");
  const std::string a = hex("01000000") + "a";
  for (const auto& [first, second] : {std::pair{link, five}, {five, link}, {link, link}}) {
    EXPECT_EQ(agrees(hex("08 02000000") + a + first + a + second), second == link ? 1u : 0u);
  }
}

TEST(MayHoldLink, PlainRecordWhoseLengthsHoldTheLinkByteIsNotFlagged) {
  // "title" is 5 bytes long, so its length field holds the Link type byte.
  Map m;
  m.insert("title", Value::text("hello"));
  m.insert("n", Value::integer(0x0505050505));
  const std::string bytes = encode(Value::map(std::move(m)));
  EXPECT_FALSE(may_hold_link(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  const std::string empty = encode(Value::array(Array{}));
  EXPECT_FALSE(may_hold_link(reinterpret_cast<const uint8_t*>(empty.data()), empty.size()));
  const std::string with_link = encode(Value::link("a/b"));
  EXPECT_TRUE(may_hold_link(reinterpret_cast<const uint8_t*>(with_link.data()), with_link.size()));
}

// ---- UTF-8

TEST(Utf8, AcceptsEveryScalarValueEncoding) {
  auto utf8 = [](uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
      s += char(cp);
    } else if (cp < 0x800) {
      s += char(0xC0 | cp >> 6);
      s += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += char(0xE0 | cp >> 12);
      s += char(0x80 | (cp >> 6 & 0x3F));
      s += char(0x80 | (cp & 0x3F));
    } else {
      s += char(0xF0 | cp >> 18);
      s += char(0x80 | (cp >> 12 & 0x3F));
      s += char(0x80 | (cp >> 6 & 0x3F));
      s += char(0x80 | (cp & 0x3F));
    }
    return s;
  };
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      EXPECT_FALSE(is_valid_utf8(utf8(cp))) << std::hex << cp;
    } else {
      ASSERT_TRUE(is_valid_utf8(utf8(cp))) << std::hex << cp;
    }
  }
}

TEST(Utf8, TwoByteStringsAreValidExactlyWhenTheyAreScalarValues) {
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const bool expected =
          (a < 0x80 && b < 0x80) || (a >= 0xC2 && a <= 0xDF && b >= 0x80 && b <= 0xBF);
      const char s[2] = {char(a), char(b)};
      ASSERT_EQ(is_valid_utf8(std::string_view(s, 2)), expected) << a << " " << b;
    }
  }
}

TEST(Utf8, RejectsMalformedSequences) {
  for (const char* bad : {"C0 80", "C1 BF", "E0 80 80", "E0 9F BF", "ED A0 80", "ED BF BF",
                          "F0 80 80 80", "F0 8F BF BF", "F4 90 80 80", "F5 80 80 80", "FF", "80",
                          "E2 82", "F0 9F 98", "E2 28 A1", "F0 9F 28 80"}) {
    const std::string s = hex(bad);
    EXPECT_FALSE(is_valid_utf8(s)) << bad;
    // Behind a run of ASCII long enough for the eight-byte fast path.
    for (size_t lead : {7u, 8u, 9u, 16u}) {
      EXPECT_FALSE(is_valid_utf8(std::string(lead, 'a') + s + "abcdefgh")) << bad << lead;
    }
  }
}

// ---- the size check

TEST(SizeCheck, FindsTheItemLongerThanTheLimitWhereverItIs) {
  struct Case {
    Value value;
    std::string_view what;
    uint64_t size;
  };
  Case cases[] = {
      {Value::text("abcd"), "text", 4},
      {Value::blob("abcde"), "blob", 5},
      {Value::array(), "", 0},
      {Value::map(map_of("x", Value::map(map_of("long", Value::null())))), "map key", 4},
      {Value::map(map_of("x", Value::link("a/b/c"))), "link path", 5},
      {Value::link("a", map_of("k", Value::text("wxyz"))), "text", 4},
  };
  Array four;
  for (int i = 0; i < 4; ++i) four.push_back(Value::null());
  Array holder;
  holder.push_back(Value::array(std::move(four)));
  cases[2] = {Value::array(std::move(holder)), "array", 4};
  for (const Case& c : cases) {
    auto found = find_longer_than(c.value, 3);
    ASSERT_TRUE(found.has_value()) << c.what;
    EXPECT_EQ(found->what, c.what);
    EXPECT_EQ(found->size, c.size);
    EXPECT_FALSE(find_longer_than(c.value, c.size).has_value()) << c.what;
  }
}

TEST(SizeCheck, CountsMapAndLocalEntries) {
  Map m;
  for (const char* k : {"a", "b", "c"}) m.insert(k, Value::null());
  EXPECT_EQ(find_longer_than(Value::map(m.copy()), 2)->what, "map");
  EXPECT_EQ(find_longer_than(Value::link("", std::move(m)), 2)->what, "link local map");
}

TEST(SizeCheck, OrdinaryValuesFitAndTheMessageNamesTheLimit) {
  EXPECT_FALSE(find_oversized(GOLDEN[0].make()).has_value());
  EXPECT_FALSE(find_oversized(GOLDEN[1].make()).has_value());
  EXPECT_EQ(oversized_message("text", 4294967296u),
            "text of length 4294967296 exceeds the limit of 4294967295");
  EXPECT_TRUE(fits_length_field(0xFFFFFFFFu));
  EXPECT_FALSE(fits_length_field(0x100000000u));
}

// ---- bounded reads

TEST(ByteCursor, ReadsWhatIsThereAndShortReadsTakeNothing) {
  const std::string bytes = hex("03 00 00 00 61 62 63 ff ff ff ff 07");
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  ByteCursor in{data, data + bytes.size()};
  const uint8_t* field;
  uint32_t size;
  ASSERT_TRUE(in.read_field(&field, &size));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(field), size), "abc");
  // A length far past the end (and near the top of its range) is refused.
  const uint8_t* before = in.pos;
  uint64_t u64;
  EXPECT_FALSE(in.read_field(&field, &size));
  EXPECT_FALSE(in.read_u64(&u64));
  EXPECT_FALSE(in.skip(6));
  EXPECT_EQ(in.pos, before);
  uint32_t u32;
  uint8_t u8;
  ASSERT_TRUE(in.read_u32(&u32));
  EXPECT_EQ(u32, 0xFFFFFFFFu);
  ASSERT_TRUE(in.read_u8(&u8));
  EXPECT_EQ(u8, 7);
  EXPECT_FALSE(in.read_u8(&u8));
  EXPECT_FALSE(in.read_u32(&u32));
  EXPECT_EQ(in.remaining(), 0u);
}

}  // namespace
}  // namespace zez
