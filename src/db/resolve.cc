// Path resolution; the grammar of a link's path is in link_path.h. The walk
// holds every record it reads until the end of the call and moves through
// them by pointer, so only the final result is copied.

#include "db/resolve.h"

#include <algorithm>
#include <deque>
#include <string>

#include "db/link_path.h"
#include "db/text_map.h"

namespace zez {

namespace {

using Segments = std::vector<std::string_view>;

class Resolver {
 public:
  Resolver(RecordReader& reader, std::string_view collection, std::string_view key)
      : reader_(reader), start_collection_(collection), start_key_(key) {}

  Result<Value, ResolveError> run(const std::vector<std::string>& segments) {
    auto start = reader_.read(start_collection_, start_key_);
    if (!start.ok()) return ResolveError::storage(std::move(start).error());
    records_.push_back(std::move(start).value());
    auto r = resolve_in_value(&records_.back(), Segments(segments.begin(), segments.end()), 0);
    if (!r.ok()) return std::move(r).error();
    // A whole record is handed over as it is; anything inside one is copied.
    if (r.value() == &records_.back()) return std::move(records_.back());
    return r.value()->copy();
  }

 private:
  // A "$self." key already worked out in this call. `height` is how many
  // nesting levels its sub-resolution used below its own, so that reusing it
  // deeper gives the same CyclicLink as working it out again would.
  struct SelfKey {
    std::string key;
    int height;
  };

  Result<const Value*, ResolveError> resolve_in_value(const Value* v, Segments segments, int depth);
  Result<const Value*, ResolveError> follow_link(const LinkData& link, Segments& segments,
                                                 int depth);
  Result<std::string, ResolveError> self_key(std::string_view dotted);
  Result<std::string, ResolveError> work_out_self_key(std::string_view dotted);

  RecordReader& reader_;
  std::string_view start_collection_;
  std::string_view start_key_;
  // Every record read and still in use; a deque keeps their addresses put.
  std::deque<Value> records_;
  const Value null_;
  // The "$self." sub-resolution being worked out (0 = none) and the deepest
  // level reached since the outermost one began.
  int nesting_ = 0;
  int deepest_ = 0;
  // The starting record cannot change during one call, so each dotted path
  // has one answer; without this, a few records whose links carry further
  // "$self." keys make the work grow exponentially. Errors are not kept: the
  // first one ends the whole resolution.
  TextMap<SelfKey> self_keys_;
};

// The walk is a loop over segments and links; only a "$self." key recurses
// (through self_key), and its nesting is bounded.
Result<const Value*, ResolveError> Resolver::resolve_in_value(const Value* v, Segments segments,
                                                              int depth) {
  size_t next = 0;
  for (;;) {
    if (depth > MAX_LINK_DEPTH) return ResolveError::cyclic_link();
    if (next == segments.size()) {
      if (!v->is(Kind::Link)) return v;
    } else {
      const std::string_view s = segments[next];
      if (v->is(Kind::Null) || v->is(Kind::Tombstone)) return v;
      if (v->is(Kind::Map)) {
        v = v->as_map().find(s);
        if (v == nullptr) return &null_;
        ++next;
        continue;
      }
      if (!v->is(Kind::Link)) return ResolveError::field_not_found();
      if (const Value* local = v->as_link().local.find(s)) {
        v = local;
        ++next;
        continue;
      }
    }
    // `v` is a link to follow with the segments left; the next one, if any,
    // is looked up in the target, not consumed by the link.
    segments.erase(segments.begin(), segments.begin() + next);
    next = 0;
    auto target = follow_link(v->as_link(), segments, ++depth);
    if (!target.ok()) return target;
    if (target.value() == nullptr) return &null_;
    v = target.value();
  }
}

// Reads the link's target and puts the link path's field pieces in front of
// `segments`. Returns the target's value, or nullptr when the target record
// does not exist (the result is then Null, whatever segments remain).
Result<const Value*, ResolveError> Resolver::follow_link(const LinkData& link, Segments& segments,
                                                         int depth) {
  if (depth > MAX_LINK_DEPTH) return ResolveError::cyclic_link();
  const std::optional<LinkPathParts> parts = split_link_path(link.path);
  if (!parts) return ResolveError::invalid_path(link.path);

  std::string computed;
  std::string_view key = parts->key;
  if (is_self_key(key)) {
    key = start_key_;
  } else if (const std::optional<std::string_view> dotted = self_key_path(key)) {
    auto k = self_key(*dotted);
    if (!k.ok()) return std::move(k).error();
    computed = std::move(k).value();
    key = computed;
  }

  const Segments fields = field_pieces(*parts);
  segments.insert(segments.begin(), fields.begin(), fields.end());
  auto target = reader_.read(parts->collection, key);
  if (!target.ok()) {
    if (target.error().kind() == StorageError::Kind::KeyNotFound) return nullptr;
    return ResolveError::storage(std::move(target).error());
  }
  records_.push_back(std::move(target).value());
  return &records_.back();
}

Result<std::string, ResolveError> Resolver::self_key(std::string_view dotted) {
  const int level = nesting_ + 1;
  // Each sub-resolution starts again at depth 0, so a cycle through "$self."
  // keys would never meet the depth limit; the nesting is bounded instead.
  if (level > MAX_LINK_DEPTH) return ResolveError::cyclic_link();
  if (auto it = self_keys_.find(dotted); it != self_keys_.end()) {
    if (level + it->second.height > MAX_LINK_DEPTH) return ResolveError::cyclic_link();
    deepest_ = std::max(deepest_, level + it->second.height);
    return it->second.key;
  }
  const int outer_deepest = deepest_;
  deepest_ = level;
  nesting_ = level;
  auto k = work_out_self_key(dotted);
  nesting_ = level - 1;
  const int height = deepest_ - level;
  deepest_ = std::max(outer_deepest, deepest_);
  if (k.ok()) self_keys_.emplace(std::string(dotted), SelfKey{k.value(), height});
  return k;
}

// Resolves the dotted path in the starting record, from depth 0; the key is
// the Text found there.
Result<std::string, ResolveError> Resolver::work_out_self_key(std::string_view dotted) {
  auto start = reader_.read(start_collection_, start_key_);
  if (!start.ok()) return ResolveError::storage(std::move(start).error());
  // Records read for this key are let go once it is known.
  const size_t mark = records_.size();
  records_.push_back(std::move(start).value());
  auto found = resolve_in_value(&records_.back(), dotted_pieces(dotted), 0);
  Result<std::string, ResolveError> out = std::string();
  if (!found.ok()) {
    out = std::move(found).error();
  } else if (found.value()->is(Kind::Text)) {
    out = found.value()->as_text();
  } else {
    out = ResolveError::invalid_path("$self." + std::string(dotted) + " resolved to " +
                                     found.value()->debug_text() + ", expected TEXT");
  }
  records_.resize(mark);
  return out;
}

}  // namespace

Result<Value, ResolveError> resolve_path(RecordReader& reader, std::string_view collection,
                                         std::string_view key,
                                         const std::vector<std::string>& segments) {
  return Resolver(reader, collection, key).run(segments);
}

}  // namespace zez
