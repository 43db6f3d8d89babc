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

// Walks a Value, or hears an encoded value's walk (walk_links). Recursion is
// bounded: every value reaching the engine is at most MAX_NESTING_DEPTH deep.
class LinkWalker final : public EncodedLinkVisitor {
 public:
  explicit LinkWalker(std::vector<OutgoingLink>& out) : out_(out) {}
  LinkWalker(std::vector<OutgoingLink>& out, const std::vector<PathStep>& steps)
      : out_(out), segments_(steps) {}

  // Only containers can hold links.
  void walk(const Value& v) {
    if (v.is(Kind::Array)) {
      const Array& a = v.as_array();
      for (size_t i = 0; i < a.size(); ++i) {
        enter_index(i);
        walk(a[i]);
        leave();
      }
    } else if (v.is(Kind::Map)) {
      walk_entries(v.as_map());
    } else if (v.is(Kind::Link)) {
      link(v.as_link().path);
      walk_entries(v.as_link().local);
    }
  }

  // Entering and leaving only keep the way down; the source path is
  // written out when a link needs it, as most entries lead to none.
  void enter_index(size_t index) override { segments_.push_back(PathStep{{}, index, true}); }
  void enter_key(std::string_view key) override { segments_.push_back(PathStep{key, 0, false}); }
  void leave() override { segments_.pop_back(); }

  void link(std::string_view path) override {
    append_if_backlinked(path, [this] { return source_path_of(segments_); }, out_);
  }

  void walk_entries(const Map& m) {
    for (const auto& [key, child] : m) {
      enter_key(key);
      walk(child);
      leave();
    }
  }

 private:
  std::vector<OutgoingLink>& out_;
  // A key points into the value being walked, which outlives the walk.
  std::vector<PathStep> segments_;
};

}  // namespace

// The steps' count, not their text, decides the separators: a first step
// may itself be an empty key.
std::string source_path_of(const std::vector<PathStep>& steps) {
  std::string path;
  for (const PathStep& s : steps) {
    if (&s != &steps.front()) path += '/';
    if (!s.is_index) {
      path += s.key;
      continue;
    }
    char digits[24];
    path.append(digits, std::to_chars(digits, digits + sizeof digits, s.index).ptr);
  }
  return path;
}

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
  return !parts.collection.empty() && !parts.key.starts_with('$');
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

void append_local_links(const std::vector<PathStep>& steps, const Map& local,
                        std::vector<OutgoingLink>& out) {
  LinkWalker(out, steps).walk_entries(local);
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
