#include "db/database.h"

#include <new>
#include <optional>
#include <unordered_set>
#include <utility>

#include "codec/encoding.h"
#include "codec/keyed_hash.h"
#include "db/collection.h"
#include "db/database_files.h"
#include "db/record_file.h"

namespace zez {

namespace {

// A collection name becomes a file name unchanged, so it must not be able to
// name a file outside the database directory or be cut short by the system.
Result<std::string, StorageError> file_name_for(std::string_view collection,
                                                std::string_view suffix) {
  if (auto fault = collection_name_fault(collection)) {
    return StorageError::io(IoError::message(std::string(*fault)));
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
    uint64_t h = keyed_hash(l.target_collection);
    h = fold_keyed_hash(h, l.target_key);
    return size_t(fold_keyed_hash(h, l.source_path));
  }
};
using LinkSet = std::unordered_set<OutgoingLink, OutgoingLinkHash>;

// Appends to `ops` the backlink changes one write makes: every old link
// that is not among the new ones is removed, then every new link that is not
// among the old ones is added. Each list is visited whole, so a link listed
// twice changes twice.
void diff_links(std::string_view collection, std::string_view key,
                const std::vector<OutgoingLink>& old_links,
                const std::vector<OutgoingLink>& new_links, std::vector<PendingBacklinkOp>& ops) {
  auto emit = [&](BacklinkChange kind, const OutgoingLink& l) {
    // Writes refuse such links, but a record stored before may hold one:
    // it was never indexed, so there is nothing to take out.
    if (!can_have_files(l.target_collection)) return;
    ops.push_back(
        PendingBacklinkOp{kind, l.target_collection, l.target_key,
                          Backlink{std::string(collection), std::string(key), l.source_path}});
  };
  // A new record, or one whose links all go: nothing to compare, and no
  // sets to build.
  if (old_links.empty() || new_links.empty()) {
    for (const OutgoingLink& l : old_links) emit(BacklinkChange::Remove, l);
    for (const OutgoingLink& l : new_links) emit(BacklinkChange::Add, l);
    return;
  }
  LinkSet old_set(old_links.begin(), old_links.end());
  LinkSet new_set(new_links.begin(), new_links.end());
  for (const OutgoingLink& l : old_links) {
    if (!new_set.contains(l)) emit(BacklinkChange::Remove, l);
  }
  for (const OutgoingLink& l : new_links) {
    if (!old_set.contains(l)) emit(BacklinkChange::Add, l);
  }
}

}  // namespace

Database::Database(std::string dir, std::unique_ptr<Directory> directory)
    : dir_(std::move(dir)), directory_(std::move(directory)) {}

Result<std::unique_ptr<Database>, StorageError> Database::open(const std::string& path,
                                                               Platform& platform) {
  auto directory = platform.open_directory(path);
  if (!directory.ok()) return StorageError::io(std::move(directory).error());
  auto locked = directory.value()->lock_shared();
  // A failure to lock is swallowed: a file system without locks cannot keep
  // maintenance out either, and refusing every open there would keep users
  // from their data instead.
  if (locked.ok() && locked.value() == LockStatus::WouldBlock) {
    return StorageError::io(IoError::message("directory is being repaired, compacted or loaded"));
  }
  return open_on_locked_directory(std::move(directory).value(), path);
}

Result<std::unique_ptr<Database>, StorageError> Database::open_on_locked_directory(
    std::unique_ptr<Directory> directory, std::string path) {
  std::unique_ptr<Database> db(new Database(std::move(path), std::move(directory)));
  auto files = list_database_files(*db->directory_);
  if (!files.ok()) return StorageError::io(std::move(files).error());
  for (DatabaseFile& file : files.value()) {
    if (!file.loaded_at_open()) continue;
    auto loaded = Collection::load(*db->directory_, file.name, &db->cache_budget_);
    if (!loaded.ok()) return StorageError::io(std::move(loaded).error());
    db->collections_[std::move(file.collection)] = std::move(loaded).value();
  }
  return db;
}

// Records first, then the backlink changes still queued, so that after a
// reopen the backlink files agree with the records. Both best effort: there
// is no one left to report a failure to.
// A destructor cannot report a failure, and running out of memory here must
// not end the process (this runs when a Python object is collected). A
// successful push allocates nothing, but its error does; applying the queued
// backlink changes allocates throughout, and where memory runs out the rest
// are dropped, as after a failed write.
Database::~Database() {
  for (auto& [name, collection] : collections_) {
    std::lock_guard<std::mutex> guard(collection->mutex());
    try {
      (void)collection->push();  // failure ignored, see above
    } catch (const std::bad_alloc&) {
    }
  }
  try {
    (void)write_queued_backlinks(true);  // failures ignored, see above
  } catch (const std::bad_alloc&) {
  }
}

Collection* Database::find_open_collection(std::string_view name) {
  if (last_collection_ != nullptr && name == last_collection_name_) return last_collection_;
  auto found = collections_.find(name);
  if (found == collections_.end()) return nullptr;
  last_collection_name_.assign(name);
  last_collection_ = found->second.get();
  return last_collection_;
}

Result<Collection*, StorageError> Database::open_collection(std::string_view name) {
  if (Collection* open = find_open_collection(name)) return open;
  auto file_name = file_name_for(name, RECORD_SUFFIX);
  if (!file_name.ok()) return std::move(file_name).error();
  auto loaded = Collection::load(*directory_, file_name.value(), &cache_budget_);
  if (!loaded.ok()) return StorageError::io(std::move(loaded).error());
  std::shared_ptr<Collection> collection = std::move(loaded).value();
  collection->set_in_transaction(in_transaction_);
  collections_.emplace(std::string(name), std::move(collection));
  return find_open_collection(name);
}

void Database::prefetch(std::string_view collection, std::string_view key) {
  Collection* c = find_open_collection(collection);
  if (c == nullptr) return;
  std::lock_guard<std::mutex> guard(c->mutex());
  c->prefetch(key);
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

Result<Unit, StorageError> Database::apply_backlink_batch(std::vector<PendingBacklinkOp>& ops,
                                                          size_t from, size_t to, ChangeIn where) {
  auto index = open_backlink_index(ops[from].target_collection);
  if (!index.ok()) return std::move(index).error();
  std::vector<BacklinkIndex::Change> changes;
  changes.reserve(to - from);
  for (size_t i = from; i < to; ++i) {
    changes.push_back({ops[i].kind, ops[i].target_key, &ops[i].record});
  }
  Result<Unit, IoError> applied = Unit{};
  switch (where) {
    case ChangeIn::FileAndMemory:
      applied = index.value()->apply(changes);
      break;
    case ChangeIn::File:
      applied = index.value()->write(changes);
      break;
    case ChangeIn::Memory:
      index.value()->make_in_memory(changes);
      break;
  }
  if (!applied.ok()) return StorageError::io(std::move(applied).error());
  return Unit{};
}

namespace {

// A commit's changes mostly target a few collections in long runs; one write
// per run instead of one per change is what makes a large commit cheap. The
// cap bounds the memory one batch's records take. The end of the batch that
// starts at `from`.
size_t batch_end(const std::vector<PendingBacklinkOp>& ops, size_t from, size_t end) {
  constexpr size_t MAX_BATCH = 4096;
  size_t to = from + 1;
  while (to < end && to - from < MAX_BATCH &&
         ops[to].target_collection == ops[from].target_collection) {
    ++to;
  }
  return to;
}

}  // namespace

Result<Unit, StorageError> Database::apply_backlink_ops(std::vector<PendingBacklinkOp>& ops,
                                                        size_t begin, size_t end, size_t* done,
                                                        ChangeIn where, bool past_failures) {
  std::optional<StorageError> first_failure;
  *done = begin;
  for (size_t from = begin; from < end;) {
    const size_t to = batch_end(ops, from, end);
    auto applied = apply_backlink_batch(ops, from, to, where);
    if (!applied.ok()) {
      if (!past_failures) return applied;
      if (!first_failure) first_failure = std::move(applied).error();
    } else if (!first_failure) {
      *done = to;
    }
    from = to;
  }
  if (first_failure) return std::move(*first_failure);
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

Result<Unit, StorageError> Database::get_encoded(std::string_view collection, std::string_view key,
                                                 std::string& out) {
  auto c = open_collection(collection);
  if (!c.ok()) return std::move(c).error();
  std::lock_guard<std::mutex> guard(c.value()->mutex());
  return c.value()->read_encoded(key, out);
}

Result<Unit, StorageError> Database::set(std::string_view collection, std::string_view key,
                                         Value value) {
  if (auto too_long = find_oversized(value)) return StorageError::io(IoError::message(*too_long));
  std::string encoded;
  encode_value(value, encoded);
  return set_encoded(collection, key, encoded, extract_links(value));
}

Result<Unit, StorageError> Database::set_encoded(std::string_view collection, std::string_view key,
                                                 std::string_view encoded,
                                                 const std::vector<OutgoingLink>& new_links) {
  // Checked before anything is stored: a link the index cannot take would
  // leave the record stored but missing from backlinks() for good.
  for (const OutgoingLink& link : new_links) {
    if (auto fault = collection_files_fault(link.target_collection)) {
      return StorageError::io(IoError::message("link target " + std::move(*fault)));
    }
  }
  auto c = open_collection(collection);
  if (!c.ok()) return std::move(c).error();
  const uint64_t record_size = RECORD_FRAMING + uint64_t(key.size()) + encoded.size();
  if (in_transaction_) {
    bool pushes;
    {
      std::lock_guard<std::mutex> guard(c.value()->mutex());
      pushes = c.value()->append_would_push(record_size);
    }
    // Nothing is stored when the transaction cannot go out with its
    // backlinks: the caller can try again, or commit.
    if (pushes) {
      auto out = push_transaction_out();
      if (!out.ok()) return out;
    }
  }
  std::vector<OutgoingLink> old_links;
  std::optional<StorageError> push_failure;
  {
    // The old value, for its links, and the new record under one lock and
    // one hash of the key.
    std::lock_guard<std::mutex> guard(c.value()->mutex());
    const uint64_t hash = KeyIndex::hash(key);
    std::string scratch;
    auto read = c.value()->read_stored(key, hash, scratch, true);
    if (read.ok()) {
      const std::string_view old = read.value().bytes;
      if (read.value().may_hold_links) {
        old_links = extract_encoded_links(reinterpret_cast<const uint8_t*>(old.data()), old.size());
      }
    } else if (read.error().kind() == StorageError::Kind::Io && read.error().io_error().is_os()) {
      // The system failed the read, so the stored value may well hold
      // links: replacing it now would leave their backlinks behind for good.
      // Nothing is written; the caller can try again.
      return std::move(read).error();
    } else if (read.error().kind() != StorageError::Kind::KeyNotFound &&
               c.value()->dropped_value_may_hold_links(key, hash)) {
      // A value written in this session, dropped from the cache, was whole
      // when written: if it now reads cut short or undecodable, the file
      // changed under us, and its links are as unknown as after a failed
      // read. The same refusal.
      return std::move(read).error();
    }
    // Any other failure (a missing key, a record cut short or undecodable)
    // means there are no old links: the value is replaced all the same.
    auto written = c.value()->write_encoded(key, hash, encoded, !new_links.empty());
    if (!written.ok()) {
      WriteFailure& failure = written.error();
      if (!failure.record_stored) return StorageError::io(std::move(failure.error));
      // The record is stored and reaches the file with the next push; its
      // backlinks must follow it, or the index would stay wrong for good.
      push_failure = StorageError::io(std::move(failure.error));
    }
  }
  if (cache_budget_.held > cache_budget_.limit) shed_value_caches();
  auto changed = change_backlinks(collection, key, old_links, new_links);
  if (in_transaction_ && record_size >= WRITE_BUFFER_SIZE && !push_failure) {
    // The record went to the file directly: its backlinks follow at once.
    // A failure leaves them queued for commit, which reports it.
    (void)write_queued_backlinks();
  }
  if (push_failure) return std::move(*push_failure);
  return changed;
}

void Database::shed_value_caches() {
  // Each shed frees a block, but may move values it cannot drop into new
  // ones: stop after as many sheds as there were blocks.
  size_t blocks_left = 0;
  for (auto& [name, collection] : collections_) {
    blocks_left += collection->cache_block_count();
  }
  while (cache_budget_.held > cache_budget_.limit && blocks_left-- > 0) {
    Collection* oldest = nullptr;
    uint64_t oldest_birth = 0;
    for (auto& [name, collection] : collections_) {
      std::lock_guard<std::mutex> guard(collection->mutex());
      auto birth = collection->oldest_cache_block_birth();
      if (birth && (oldest == nullptr || *birth < oldest_birth)) {
        oldest = collection.get();
        oldest_birth = *birth;
      }
    }
    if (oldest == nullptr) return;
    std::lock_guard<std::mutex> guard(oldest->mutex());
    oldest->shed_oldest_cache_block();
  }
}

Result<Unit, StorageError> Database::remove(std::string_view collection, std::string_view key) {
  return set(collection, key, Value::tombstone());
}

// Outside a transaction each change is made at once, stopping at the first
// failure; inside one they are queued for commit.
Result<Unit, StorageError> Database::change_backlinks(std::string_view collection,
                                                      std::string_view key,
                                                      const std::vector<OutgoingLink>& old_links,
                                                      const std::vector<OutgoingLink>& new_links) {
  if (old_links.empty() && new_links.empty()) return Unit{};
  if (in_transaction_) {
    diff_links(collection, key, old_links, new_links, pending_backlinks_);
    return Unit{};
  }
  std::vector<PendingBacklinkOp> ops;
  diff_links(collection, key, old_links, new_links, ops);
  size_t done = 0;
  return apply_backlink_ops(ops, 0, ops.size(), &done, ChangeIn::FileAndMemory);
}

Result<Unit, StorageError> Database::push_transaction_out() {
  for (auto& [name, collection] : collections_) {
    std::lock_guard<std::mutex> guard(collection->mutex());
    auto pushed = collection->push();
    if (!pushed.ok()) return StorageError::io(std::move(pushed).error());
  }
  return write_queued_backlinks();
}

Result<Unit, StorageError> Database::write_queued_backlinks(bool past_failures) {
  size_t done = 0;
  auto written = apply_backlink_ops(pending_backlinks_, pending_in_files_,
                                    pending_backlinks_.size(), &done, ChangeIn::File,
                                    past_failures);
  pending_in_files_ = done;
  return written;
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
  // Every change that reaches its file is then made in memory, in queue
  // order; the failed one and every one after it stay queued, so the next
  // commit retries them and none is dropped.
  auto written = write_queued_backlinks();
  size_t made = 0;
  (void)apply_backlink_ops(pending_backlinks_, 0, pending_in_files_, &made,
                           ChangeIn::Memory);  // cannot fail: each index is open
  pending_backlinks_.erase(pending_backlinks_.begin(),
                           pending_backlinks_.begin() + ptrdiff_t(pending_in_files_));
  pending_in_files_ = 0;
  if (!written.ok()) return written;
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
