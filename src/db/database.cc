#include "db/database.h"

#include <optional>
#include <unordered_set>
#include <utility>

#include "codec/encoding.h"
#include "db/collection.h"

namespace zez {

namespace {

constexpr std::string_view RECORD_EXTENSION = "qdb";
constexpr std::string_view RECORD_SUFFIX = ".qdb";
constexpr std::string_view BACKLINK_SUFFIX = ".qbl";

// The collection named by a directory entry, or nothing when the entry is
// not a record file. The extension is what follows the last dot, and a name
// whose only dot is its first character has none (".qdb" is not the record
// file of the empty name as far as the listing goes).
std::optional<std::string> collection_of_entry(const std::string& name) {
  size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return std::nullopt;
  if (std::string_view(name).substr(dot + 1) != RECORD_EXTENSION) return std::nullopt;
  std::string collection = name.substr(0, dot);
  if (!is_valid_utf8(collection)) return std::nullopt;
  return collection;
}

// A collection name becomes a file name unchanged, so it must not be able to
// name a file outside the database directory or be cut short by the system.
Result<std::string, StorageError> file_name_for(std::string_view collection,
                                                std::string_view suffix) {
  if (collection.find('/') != std::string_view::npos) {
    return StorageError::io(IoError::message("collection name must not contain \"/\""));
  }
  if (collection.find('\0') != std::string_view::npos) {
    return StorageError::io(IoError::message("collection name must not contain a NUL character"));
  }
  uint64_t size = uint64_t(collection.size()) + suffix.size();
  if (!fits_length_field(size)) {
    return StorageError::io(IoError::message(oversized_message("file name", size)));
  }
  std::string name(collection);
  name.append(suffix);
  return name;
}

struct OutgoingLinkHash {
  size_t operator()(const OutgoingLink& l) const {
    std::hash<std::string_view> h;
    size_t seed = h(l.target_collection);
    seed ^= h(l.target_key) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    seed ^= h(l.source_path) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
  }
};
using LinkSet = std::unordered_set<OutgoingLink, OutgoingLinkHash>;

// The backlink changes one write makes: every old link that is not among the
// new ones is removed, then every new link that is not among the old ones is
// added. Each list is visited whole, so a link listed twice changes twice.
std::vector<PendingBacklinkOp> diff_links(std::string_view collection, std::string_view key,
                                          const std::vector<OutgoingLink>& old_links,
                                          const std::vector<OutgoingLink>& new_links) {
  std::vector<PendingBacklinkOp> ops;
  if (old_links.empty() && new_links.empty()) return ops;
  LinkSet old_set(old_links.begin(), old_links.end());
  LinkSet new_set(new_links.begin(), new_links.end());
  auto emit = [&](PendingBacklinkOp::Kind kind, const OutgoingLink& l) {
    ops.push_back(PendingBacklinkOp{
        kind, l.target_collection, l.target_key,
        Backlink{std::string(collection), std::string(key), l.source_path}});
  };
  for (const OutgoingLink& l : old_links) {
    if (!new_set.contains(l)) emit(PendingBacklinkOp::Kind::Remove, l);
  }
  for (const OutgoingLink& l : new_links) {
    if (!old_set.contains(l)) emit(PendingBacklinkOp::Kind::Add, l);
  }
  return ops;
}

}  // namespace

Database::Database(std::string dir, std::unique_ptr<Directory> directory)
    : dir_(std::move(dir)), directory_(std::move(directory)) {}

Result<std::unique_ptr<Database>, StorageError> Database::open(const std::string& path,
                                                               Platform& platform) {
  auto directory = platform.open_directory(path);
  if (!directory.ok()) return StorageError::io(std::move(directory).error());
  std::unique_ptr<Database> db(new Database(path, std::move(directory).value()));
  auto names = db->directory_->list();
  if (!names.ok()) return StorageError::io(std::move(names).error());
  for (const std::string& entry : names.value()) {
    auto collection = collection_of_entry(entry);
    if (!collection) continue;
    auto loaded = Collection::load(*db->directory_, entry);
    if (!loaded.ok()) return StorageError::io(std::move(loaded).error());
    db->collections_[*collection] = std::move(loaded).value();
  }
  return db;
}

// Records first, then the backlink changes still queued, so that after a
// reopen the backlink files agree with the records. Both best effort: there
// is no one left to report a failure to.
Database::~Database() {
  for (auto& [name, collection] : collections_) {
    std::lock_guard<std::mutex> guard(collection->mutex());
    (void)collection->push();  // failure ignored, see above
  }
  std::vector<PendingBacklinkOp> queued = std::exchange(pending_backlinks_, {});
  for (PendingBacklinkOp& op : queued) {
    (void)apply_backlink_op(op);  // failure ignored, see above
  }
}

Result<std::shared_ptr<Collection>, StorageError> Database::open_collection(std::string_view name) {
  auto found = collections_.find(name);
  if (found != collections_.end()) return found->second;
  auto file_name = file_name_for(name, RECORD_SUFFIX);
  if (!file_name.ok()) return std::move(file_name).error();
  auto loaded = Collection::load(*directory_, file_name.value());
  if (!loaded.ok()) return StorageError::io(std::move(loaded).error());
  std::shared_ptr<Collection> collection = std::move(loaded).value();
  collection->set_in_transaction(in_transaction_);
  collections_.emplace(std::string(name), collection);
  return collection;
}

Result<BacklinkIndex*, StorageError> Database::open_backlink_index(std::string_view name) {
  auto found = backlink_indexes_.find(name);
  if (found != backlink_indexes_.end()) return found->second.get();
  auto file_name = file_name_for(name, BACKLINK_SUFFIX);
  if (!file_name.ok()) return std::move(file_name).error();
  auto loaded = BacklinkIndex::load(*directory_, file_name.value());
  if (!loaded.ok()) return StorageError::io(std::move(loaded).error());
  BacklinkIndex* index = loaded.value().get();
  backlink_indexes_.emplace(std::string(name), std::move(loaded).value());
  return index;
}

Result<Unit, StorageError> Database::apply_backlink_op(const PendingBacklinkOp& op) {
  auto index = open_backlink_index(op.target_collection);
  if (!index.ok()) return std::move(index).error();
  Result<Unit, IoError> done =
      op.kind == PendingBacklinkOp::Kind::Add
          ? index.value()->add(op.target_key, op.record)
          : index.value()->remove(op.target_key, op.record);
  if (!done.ok()) return StorageError::io(std::move(done).error());
  return Unit{};
}

Result<Value, StorageError> Database::get(std::string_view collection, std::string_view key) {
  auto c = open_collection(collection);
  if (!c.ok()) return std::move(c).error();
  std::lock_guard<std::mutex> guard(c.value()->mutex());
  return c.value()->read_record(key);
}

Result<Value, StorageError> Database::read(std::string_view collection, std::string_view key) {
  return get(collection, key);
}

Result<Unit, StorageError> Database::set(std::string_view collection, std::string_view key,
                                         Value value) {
  std::vector<OutgoingLink> old_links;
  {
    auto old = get(collection, key);
    if (old.ok()) {
      old_links = extract_links(old.value());
    } else if (old.error().kind() == StorageError::Kind::Io && old.error().io_error().is_os()) {
      // The system failed the read, so the stored value may well hold
      // links: replacing it now would leave their backlinks behind for good.
      // Nothing is written; the caller can try again.
      return std::move(old).error();
    }
    // Any other failure (a missing key, a record cut short or undecodable)
    // means there are no old links: the value is replaced all the same.
  }
  auto c = open_collection(collection);
  if (!c.ok()) return std::move(c).error();
  std::optional<StorageError> push_failure;
  {
    std::lock_guard<std::mutex> guard(c.value()->mutex());
    auto written = c.value()->write_record(key, value);
    if (!written.ok()) {
      WriteFailure& failure = written.error();
      if (!failure.record_stored) return StorageError::io(std::move(failure.error));
      // The record is stored and reaches the file with the next push; its
      // backlinks must follow it, or the index would stay wrong for good.
      push_failure = StorageError::io(std::move(failure.error));
    }
  }
  std::vector<PendingBacklinkOp> ops =
      diff_links(collection, key, old_links, extract_links(value));
  auto changed = change_backlinks(std::move(ops));
  if (push_failure) return std::move(*push_failure);
  return changed;
}

Result<Unit, StorageError> Database::remove(std::string_view collection, std::string_view key) {
  return set(collection, key, Value::tombstone());
}

// Outside a transaction each change is made at once, stopping at the first
// failure; inside one they are queued for commit.
Result<Unit, StorageError> Database::change_backlinks(std::vector<PendingBacklinkOp> ops) {
  if (in_transaction_) {
    for (PendingBacklinkOp& op : ops) pending_backlinks_.push_back(std::move(op));
    return Unit{};
  }
  for (PendingBacklinkOp& op : ops) {
    auto applied = apply_backlink_op(op);
    if (!applied.ok()) return applied;
  }
  return Unit{};
}

// Changes still queued (from a commit that failed) stay queued for the next
// successful commit.
void Database::begin() {
  in_transaction_ = true;
  for (auto& [name, collection] : collections_) {
    std::lock_guard<std::mutex> guard(collection->mutex());
    collection->set_in_transaction(true);
  }
}

Result<Unit, StorageError> Database::commit() {
  for (auto& [name, collection] : collections_) {
    std::lock_guard<std::mutex> guard(collection->mutex());
    auto pushed = collection->push();
    if (!pushed.ok()) return StorageError::io(std::move(pushed).error());
    collection->set_in_transaction(false);
  }
  std::vector<PendingBacklinkOp> queued = std::exchange(pending_backlinks_, {});
  for (size_t i = 0; i < queued.size(); ++i) {
    auto applied = apply_backlink_op(queued[i]);
    if (!applied.ok()) {
      // The failed change and every one after it go back to the front of the
      // queue, so the next commit retries them and none is dropped.
      std::vector<PendingBacklinkOp> rest(std::make_move_iterator(queued.begin() + i),
                                          std::make_move_iterator(queued.end()));
      for (PendingBacklinkOp& op : pending_backlinks_) rest.push_back(std::move(op));
      pending_backlinks_ = std::move(rest);
      return applied;
    }
  }
  in_transaction_ = false;
  return Unit{};
}

Result<std::vector<Backlink>, StorageError> Database::backlinks(std::string_view collection,
                                                                std::string_view key) {
  auto index = open_backlink_index(collection);
  if (!index.ok()) return std::move(index).error();
  return index.value()->query(key);
}

Result<Value, ResolveError> Database::resolve(std::string_view collection, std::string_view key,
                                              const std::vector<std::string>& segments) {
  return resolve_path(*this, collection, key, segments);
}

}  // namespace zez
