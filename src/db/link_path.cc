#include "db/link_path.h"

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
class LinkWalker {
 public:
  explicit LinkWalker(std::vector<OutgoingLink>& out) : out_(out) {}

  void walk(const Value& v) {
    switch (v.kind()) {
      case Kind::Array: {
        const Array& a = v.as_array();
        for (size_t i = 0; i < a.size(); ++i) walk_child(std::to_string(i), a[i]);
        return;
      }
      case Kind::Map:
        walk_entries(v.as_map());
        return;
      case Kind::Link:
        add_link(v.as_link().path);
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

 private:
  void walk_entries(const Map& m) {
    for (const auto& [key, child] : m) walk_child(key, child);
  }

  void walk_child(std::string_view segment, const Value& child) {
    const size_t saved = path_.size();
    // The segment count, not the text, decides the separator: a first
    // segment may itself be empty.
    if (segments_ > 0) path_ += '/';
    path_ += segment;
    ++segments_;
    walk(child);
    --segments_;
    path_.resize(saved);
  }

  // Only the collection and the key-part of the path matter here.
  void add_link(std::string_view path) {
    const std::optional<LinkPathParts> parts = split_link_path(path);
    if (!parts || !is_backlinked(*parts)) return;
    out_.push_back(OutgoingLink{std::string(parts->collection), std::string(parts->key), path_});
  }

  std::vector<OutgoingLink>& out_;
  std::string path_;
  size_t segments_ = 0;
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

}  // namespace zez
