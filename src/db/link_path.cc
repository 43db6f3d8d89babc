#include "db/link_path.h"

#include <charconv>

#include "codec/encoding.h"

namespace zez {

namespace {

constexpr std::string_view SELF_KEY = "$self";
constexpr std::string_view SELF_KEY_PREFIX = "$self.";

// Cuts `text` at every `sep`; empty pieces count, and text without `sep` is
// one piece.
std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t at = text.find(sep);
    out.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return out;
    text.remove_prefix(at + 1);
  }
}

// ---- Link extraction --------------------------------------------------

// The walk keeps the source path as one string and appends/cuts segments in
// place, instead of a list of segments joined at every link. Recursion is
// bounded: every value reaching the engine is at most MAX_NESTING_DEPTH deep.
// It walks a Value, or hears an encoded value's walk (walk_links).
class LinkWalker final : public EncodedLinkVisitor {
 public:
  explicit LinkWalker(std::vector<OutgoingLink>& out) : out_(out) {}

  void walk(const Value& v) {
    switch (v.kind()) {
      case Kind::Array: {
        const Array& a = v.as_array();
        for (size_t i = 0; i < a.size(); ++i) {
          enter_index(i);
          walk(a[i]);
          leave();
        }
        return;
      }
      case Kind::Map:
        walk_entries(v.as_map());
        return;
      case Kind::Link:
        link(v.as_link().path);
        walk_entries(v.as_link().local);
        return;
      case Kind::Null:
      case Kind::Tombstone:
      case Kind::Bool:
      case Kind::Int:
      case Kind::Float:
      case Kind::Text:
      case Kind::Blob:
      case Kind::Date:
      case Kind::Time:
      case Kind::DateTime:
        return;
    }
  }

  void enter_index(size_t index) override {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, index).ptr;
    enter_key(std::string_view(digits, size_t(end - digits)));
  }

  void enter_key(std::string_view segment) override {
    saved_.push_back(path_.size());
    // The segment count, not the text, decides the separator: a first
    // segment may itself be empty.
    if (saved_.size() > 1) path_ += '/';
    path_ += segment;
  }

  void leave() override {
    path_.resize(saved_.back());
    saved_.pop_back();
  }

  // Only the collection and the key-part of the path matter here.
  void link(std::string_view path) override {
    const std::optional<LinkPathParts> parts = split_link_path(path);
    if (!parts || !is_backlinked(*parts)) return;
    out_.push_back(OutgoingLink{std::string(parts->collection), std::string(parts->key), path_});
  }

 private:
  void walk_entries(const Map& m) {
    for (const auto& [key, child] : m) {
      enter_key(key);
      walk(child);
      leave();
    }
  }

  std::vector<OutgoingLink>& out_;
  std::string path_;
  std::vector<size_t> saved_;  // the path's length before each segment entered
};

}  // namespace

std::optional<LinkPathParts> split_link_path(std::string_view path) {
  const size_t first = path.find('/');
  if (first == std::string_view::npos) return std::nullopt;
  LinkPathParts parts{path.substr(0, first), path.substr(first + 1), std::nullopt};
  const size_t second = parts.key.find('/');
  if (second != std::string_view::npos) {
    parts.fields = parts.key.substr(second + 1);
    parts.key = parts.key.substr(0, second);
  }
  return parts;
}

std::vector<std::string_view> field_pieces(const LinkPathParts& parts) {
  if (!parts.fields) return {};
  return split(*parts.fields, '/');
}

bool is_backlinked(const LinkPathParts& parts) {
  return !parts.collection.empty() && parts.collection.find('\0') == std::string_view::npos &&
         !parts.key.starts_with('$');
}

bool is_self_key(std::string_view key) { return key == SELF_KEY; }

std::optional<std::string_view> self_key_path(std::string_view key) {
  if (!key.starts_with(SELF_KEY_PREFIX)) return std::nullopt;
  return key.substr(SELF_KEY_PREFIX.size());
}

std::vector<std::string_view> dotted_pieces(std::string_view dotted) { return split(dotted, '.'); }

std::vector<OutgoingLink> extract_links(const Value& v) {
  std::vector<OutgoingLink> out;
  LinkWalker(out).walk(v);
  return out;
}

std::vector<OutgoingLink> extract_encoded_links(const uint8_t* data, size_t size) {
  if (!may_hold_link(data, size)) return {};
  std::vector<OutgoingLink> out;
  LinkWalker walker(out);
  if (walk_links(data, size, walker)) return out;
  // The walk cannot say; the decoder can.
  size_t cursor = 0;
  auto value = decode_value(data, size, &cursor);
  if (!value.ok()) return {};
  return extract_links(value.value());
}

}  // namespace zez
