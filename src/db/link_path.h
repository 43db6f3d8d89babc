// A link's path and the links a value holds. The grammar of a path is read
// here only, by its two readers: backlink extraction (which record a link
// names, to keep a backlink for it) and resolution (which record to read
// when following it).
//
//   path      := collection "/" key-part ("/" field)*
//   key-part  := "$self"                 -- the starting record's key
//              | "$self." dotted         -- the Text found at `dotted` in the
//                                           starting record, cut at "."
//              | any other text          -- the key itself (may be empty or
//                                           begin with "$")
//
// with no escaping. The two readers keep different rules for a key-part
// beginning with "$": extraction lists no such link (is_backlinked), as the
// key names no fixed record; resolution treats only "$self" and "$self."
// specially (is_self_key, self_key_path), so "users/$x" names the record
// whose key is "$x".
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/value.h"

namespace zez {

// A path cut at its first two "/".
struct LinkPathParts {
  std::string_view collection;  // before the first "/"; may be empty
  std::string_view key;         // the key-part, up to the next "/" or the end
  // The text after the key-part's "/", when there is one: "c/k" has no
  // fields, "c/k/" one empty field.
  std::optional<std::string_view> fields;
};

// The parts of `path`; nothing when it holds no "/" (too few pieces).
std::optional<LinkPathParts> split_link_path(std::string_view path);

// The fields of the path, cut at every "/" (empty pieces count); none when
// the path has no fields.
std::vector<std::string_view> field_pieces(const LinkPathParts& parts);

// Extraction's rule: the link names one fixed record. Not when the
// collection piece is empty, or the key-part starts with "$" ("$self",
// "$self.…" and any other). Whether that collection can have a backlink
// file is can_have_files()' to say (database_files.h).
bool is_backlinked(const LinkPathParts& parts);

// Resolution's rules. The key-part "$self" stands for the starting record's
// key.
bool is_self_key(std::string_view key);
// The dotted path of a "$self." key-part; nothing for any other key-part.
std::optional<std::string_view> self_key_path(std::string_view key);
// The pieces of a dotted path, cut at every "." (empty pieces count).
std::vector<std::string_view> dotted_pieces(std::string_view dotted);

// One link found inside a value.
struct OutgoingLink {
  std::string target_collection;
  std::string target_key;
  std::string source_path;
  bool operator==(const OutgoingLink&) const = default;
};

// The links a value holds that is_backlinked() accepts, depth first (array
// elements in order, map and `local` entries in map order, a link before the
// links in its own `local`).
std::vector<OutgoingLink> extract_links(const Value& v);

// Lists the link to `path` in `out`, with the source path `source_path()`
// gives, when is_backlinked() accepts it: the one rule for every finder of
// links. The source path is made only for a link that is listed.
template <typename SourcePath>
void append_if_backlinked(std::string_view path, SourcePath&& source_path,
                          std::vector<OutgoingLink>& out) {
  const std::optional<LinkPathParts> parts = split_link_path(path);
  if (!parts || !is_backlinked(*parts)) return;
  out.push_back(
      OutgoingLink{std::string(parts->collection), std::string(parts->key), source_path()});
}

// One step of the way from a value's root down to something inside it: a
// map key or an array index.
struct PathStep {
  std::string_view key;
  size_t index;
  bool is_index;
};

// A source path: the steps from the root, each a key or an index in
// decimal, joined by "/".
std::string source_path_of(const std::vector<PathStep>& steps);

// Appends to `out` what extract_links() lists for the entries of `local`,
// the map of a Link that sits at the end of `steps` inside the value being
// written. For an encoder that meets the links as it writes them and so
// needs no walk afterwards.
void append_local_links(const std::vector<PathStep>& steps, const Map& local,
                        std::vector<OutgoingLink>& out);

// extract_links() of the value data[0, size) decodes to, found without
// building the value where the bytes allow; none when they do not decode (a
// value that cannot be read has no links to take back).
std::vector<OutgoingLink> extract_encoded_links(const uint8_t* data, size_t size);

}  // namespace zez
