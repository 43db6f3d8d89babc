// The tagged value stored under a (collection, key).
//
// A Value owns its payload and every nested value exclusively: values form
// trees, and copying is always deep and always explicit (`copy()`), so a
// stray copy of a large tree can never hide in an innocent-looking line.
// Nothing compares two values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace zez {

// Every recursive walk of a value (decode, encode, copy, debug text, link
// extraction, Python conversion) refuses or never meets trees deeper than
// this. 256 levels cost well under 64 KiB of native stack in the deepest
// walk, so a thread with a small stack is safe.
inline constexpr int MAX_NESTING_DEPTH = 256;

// Kinds in their declared order (not the order of the encoding's type bytes).
enum class Kind : uint8_t {
  Null,
  Tombstone,
  Bool,
  Int,
  Float,
  Text,
  Blob,
  Date,
  Time,
  DateTime,
  Array,
  Map,
  Link,
};

// A kind's position among the alternatives of a value's storage.
constexpr size_t kind_index(Kind k) { return static_cast<size_t>(k); }

class Value;
class Map;
struct LinkData;

using Array = std::vector<Value>;

class Value {
 public:
  Value() : v_(std::in_place_index<kind_index(Kind::Null)>) {}
  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  ~Value();

  static Value null() { return Value(); }
  static Value tombstone();
  static Value boolean(bool b);
  static Value integer(int64_t i);
  static Value floating(double f);
  static Value text(std::string s);  // caller guarantees valid UTF-8
  static Value blob(std::string bytes);
  static Value date(uint32_t d);
  static Value time(uint32_t t);
  static Value date_time(uint64_t dt);
  static Value array(Array elements = {});
  static Value map(Map entries);
  static Value empty_map();
  static Value link(std::string path);
  static Value link(std::string path, Map local);

  // The storage holds the kinds' alternatives in the kinds' declared order
  // (checked where it is declared), so the index of the one held is its kind.
  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is(Kind k) const { return kind() == k; }

  // Payload access; calling the wrong one for the kind is a programming error.
  bool as_bool() const { return get<Kind::Bool>(); }
  int64_t as_int() const { return get<Kind::Int>(); }
  double as_float() const { return get<Kind::Float>(); }
  const std::string& as_text() const { return get<Kind::Text>(); }
  std::string& as_text() { return get<Kind::Text>(); }
  const std::string& as_blob() const { return get<Kind::Blob>(); }
  std::string& as_blob() { return get<Kind::Blob>(); }
  uint32_t as_date() const { return get<Kind::Date>(); }
  uint32_t as_time() const { return get<Kind::Time>(); }
  uint64_t as_date_time() const { return get<Kind::DateTime>(); }
  const Array& as_array() const { return get<Kind::Array>(); }
  Array& as_array() { return get<Kind::Array>(); }
  const Map& as_map() const { return *get<Kind::Map>(); }
  Map& as_map() { return *get<Kind::Map>(); }
  const LinkData& as_link() const { return *get<Kind::Link>(); }
  LinkData& as_link() { return *get<Kind::Link>(); }

  // Deep copy.
  Value copy() const;

  // The text by which a value is shown inside messages, e.g. Int(5).
  std::string debug_text() const;

 private:
  struct NullTag {};
  struct TombstoneTag {};
  using Storage =
      std::variant<NullTag, TombstoneTag, bool, int64_t, double, std::string, std::string, uint32_t,
                   uint32_t, uint64_t, Array, std::unique_ptr<Map>, std::unique_ptr<LinkData>>;
  template <Kind K>
  using Alternative = std::variant_alternative_t<kind_index(K), Storage>;
  template <Kind K>
  const Alternative<K>& get() const {
    return std::get<kind_index(K)>(v_);
  }
  template <Kind K>
  Alternative<K>& get() {
    return std::get<kind_index(K)>(v_);
  }
  template <Kind K, class... A>
  static Value make(A&&... a) {
    Value v;
    v.v_.template emplace<kind_index(K)>(std::forward<A>(a)...);
    return v;
  }
  template <Kind K, class T>
  static constexpr bool holds = std::is_same_v<Alternative<K>, T>;
  // Each kind's alternative sits at the kind's own position.
  static_assert(std::variant_size_v<Storage> == kind_index(Kind::Link) + 1);
  static_assert(holds<Kind::Null, NullTag> && holds<Kind::Tombstone, TombstoneTag>);
  static_assert(holds<Kind::Bool, bool> && holds<Kind::Int, int64_t> && holds<Kind::Float, double>);
  static_assert(holds<Kind::Text, std::string> && holds<Kind::Blob, std::string>);
  static_assert(holds<Kind::Date, uint32_t> && holds<Kind::Time, uint32_t> &&
                holds<Kind::DateTime, uint64_t>);
  static_assert(holds<Kind::Array, Array> && holds<Kind::Map, std::unique_ptr<Map>> &&
                holds<Kind::Link, std::unique_ptr<LinkData>>);

  Storage v_;
};

// A text-keyed map with unique keys and no defined order. Keys are compared
// as exact byte strings. Small maps are searched linearly; larger ones keep
// an open-addressing table of entry indexes beside the entries.
class Map {
 public:
  using Entry = std::pair<std::string, Value>;

  Map() = default;
  Map(Map&&) noexcept = default;
  Map& operator=(Map&&) noexcept = default;
  Map(const Map&) = delete;
  Map& operator=(const Map&) = delete;

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(size_t n) { entries_.reserve(n); }

  // Inserts the pair, or replaces the value of an entry with an equal key.
  void insert(std::string key, Value value);
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);

  // Iteration in the map's own order, which nothing may rely on.
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }
  // The entries, moved out, leaving the map empty. There is no mutable
  // iteration: a key changed in place would go stale in the table.
  std::vector<Entry> take_entries();

  Map copy() const;

 private:
  ptrdiff_t find_index(std::string_view key) const;
  void rebuild_table();

  std::vector<Entry> entries_;
  // Empty while the map is small; otherwise a power-of-two table whose slots
  // hold entry index + 1 (0 = free).
  std::vector<uint32_t> table_;
};

struct LinkData {
  std::string path;
  Map local;
};

}  // namespace zez
