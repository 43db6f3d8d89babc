#include "memory_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <set>

namespace zez::testing {

namespace {

struct DirNode;

// Bytes held by every file that still exists, linked or only held open, as
// a file system counts its used blocks.
struct Usage {
  uint64_t used = 0;
};

// One directory entry: a file's bytes, a subdirectory, or an entry that
// refuses to be opened.
struct FileNode {
  FileType type = FileType::Regular;
  std::string bytes;
  std::optional<IoError> refusal;  // set for entries that are not regular files
  std::shared_ptr<DirNode> dir;    // set for subdirectories
  std::string link_target;         // for a symbolic link: the path it holds
  OwnerAndMode owner{0, 0, 0644};
  std::shared_ptr<Usage> usage;
  // While power cuts are tracked: the bytes as of the last sync.
  std::string synced;

  explicit FileNode(std::shared_ptr<Usage> u) : usage(std::move(u)) {}
  FileNode(const FileNode&) = delete;
  FileNode& operator=(const FileNode&) = delete;
  ~FileNode() { usage->used -= bytes.size(); }
  void append(const char* src, size_t n) {
    bytes.append(src, n);
    usage->used += n;
  }
  void resize(size_t n) {
    usage->used = usage->used - bytes.size() + n;
    bytes.resize(n);
  }
};

struct DirNode {
  std::map<std::string, std::shared_ptr<FileNode>> entries;
  // While power cuts are tracked: the entries as of the last sync.
  std::map<std::string, std::shared_ptr<FileNode>> synced_entries;
  OwnerAndMode owner{0, 0, 0755};
  // Directory handle -> whether its lock is exclusive.
  std::map<const void*, bool> locks;
};

struct Fault {
  FaultOp op;
  int countdown;
  std::string only_file;
  std::optional<IoError> error;  // empty for a short or torn write
  size_t accepted = 0;
  std::optional<IoError> then_error;  // a torn write: the next write's error
  bool skip_sync = false;             // a sync that reports success and keeps nothing
};

constexpr uint64_t DEFAULT_FREE_SPACE = uint64_t(1) << 40;

// The pieces of a path: "/a//b/./c" and "a/b/c" both name a, b, c under
// the one root.
std::vector<std::string> path_pieces(const std::string& path) {
  std::vector<std::string> pieces;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    std::string piece = path.substr(at, slash - at);
    if (!piece.empty() && piece != ".") pieces.push_back(std::move(piece));
    at = slash + 1;
  }
  return pieces;
}

// The directory `path` names, or the error the system would give: ENOENT
// for a missing piece, ENOTDIR for a piece that is not a directory.
Result<std::shared_ptr<DirNode>, IoError> walk(const std::shared_ptr<DirNode>& root,
                                               const std::string& path) {
  std::shared_ptr<DirNode> at = root;
  // The directories walked through, for "..", which leaves the root as it is.
  std::vector<std::shared_ptr<DirNode>> above;
  for (const std::string& piece : path_pieces(path)) {
    if (piece == "..") {
      if (!above.empty()) at = above.back(), above.pop_back();
      continue;
    }
    above.push_back(at);
    auto entry = at->entries.find(piece);
    if (entry == at->entries.end()) return IoError::os(ENOENT);
    if (!entry->second->dir) return IoError::os(ENOTDIR);
    at = entry->second->dir;
  }
  return at;
}

// The entry a symbolic link in the directory `dir_path` leads to, followed
// as the system follows links (at most 40 of them, ELOOP beyond); ENOENT
// when it leads nowhere.
Result<std::shared_ptr<FileNode>, IoError> follow(const std::shared_ptr<DirNode>& root,
                                                  std::string dir_path,
                                                  std::shared_ptr<FileNode> node) {
  constexpr int MAX_LINKS = 40;
  for (int hops = 0; node->type == FileType::Symlink && !node->refusal; ++hops) {
    if (hops == MAX_LINKS) return IoError::os(ELOOP);
    const std::string& target = node->link_target;
    const std::string full = !target.empty() && target[0] == '/' ? target : dir_path + "/" + target;
    const size_t slash = full.rfind('/');
    std::string parent = full.substr(0, slash);
    auto dir = walk(root, parent);
    if (!dir.ok()) return std::move(dir).error();
    auto it = dir.value()->entries.find(full.substr(slash + 1));
    if (it == dir.value()->entries.end()) return IoError::os(ENOENT);
    node = it->second;
    dir_path = std::move(parent);
  }
  return node;
}

std::shared_ptr<DirNode> find_dir(const std::shared_ptr<DirNode>& root, const std::string& path) {
  auto found = walk(root, path);
  return found.ok() ? found.value() : nullptr;
}

}  // namespace

struct MemoryPlatform::State {
  std::shared_ptr<Usage> usage = std::make_shared<Usage>();
  std::shared_ptr<DirNode> root = std::make_shared<DirNode>();
  std::optional<uint64_t> capacity;
  bool capacity_reported = true;
  std::vector<Fault> faults;
  size_t read_limit = 0;
  uint64_t free_space = DEFAULT_FREE_SPACE;
  std::optional<IoError> link_refusal;
  uint64_t counts[FAULT_OP_COUNT] = {};
  uint64_t fired_count = 0;
  uint32_t umask = 022;
  uint32_t uid = 0;  // the user the calls run as: 0 may give files any owner
  uint32_t gid = 0;
  bool tracking = false;
  std::function<void()> on_change;
  bool in_hook = false;

  // Tells the hook that a file's bytes or a directory's entries changed.
  void changed() {
    if (!tracking || !on_change || in_hook) return;
    in_hook = true;
    on_change();
    in_hook = false;
  }

  // Counts the call and returns the fault planned for it, if any.
  std::optional<Fault> take(FaultOp op, const std::string& name) {
    ++counts[static_cast<int>(op)];
    std::optional<Fault> fired;
    for (auto it = faults.begin(); it != faults.end();) {
      // Every matching plan counts this call, whether or not another fires.
      if (it->op == op && (it->only_file.empty() || it->only_file == name) &&
          --it->countdown <= 0 && !fired) {
        fired = *it;
        ++fired_count;
        it = faults.erase(it);
        if (fired->then_error) {
          it = faults.insert(it, Fault{FaultOp::Write, 1, {}, fired->then_error, 0, std::nullopt});
          ++it;
        }
      } else {
        ++it;
      }
    }
    return fired;
  }

  // The error of the fault planned for this call, if any.
  std::optional<IoError> failure(FaultOp op, const std::string& name) {
    auto f = take(op, name);
    if (f && f->error) return *f->error;
    return std::nullopt;
  }

  std::shared_ptr<FileNode> new_node() {
    auto made = std::make_shared<FileNode>(usage);
    made->owner.uid = uid;
    made->owner.gid = gid;
    return made;
  }

  // What chown allows: only root gives a file another owner or group.
  std::optional<IoError> refuse_owner(const OwnerAndMode& now, const OwnerAndMode& to) const {
    if (uid != 0 && (now.uid != to.uid || now.gid != to.gid)) return IoError::os(EPERM);
    return std::nullopt;
  }

  std::shared_ptr<FileNode> new_dir_node(uint32_t mode) {
    auto made = new_node();
    made->type = FileType::Directory;
    made->dir = std::make_shared<DirNode>();
    made->owner.mode = mode;
    made->dir->owner = made->owner;
    return made;
  }

  // mkdir -p: the directory `path` names, made with its missing parents.
  Result<std::shared_ptr<DirNode>, IoError> make_dirs(const std::string& path) {
    std::shared_ptr<DirNode> at = root;
    for (const std::string& piece : path_pieces(path)) {
      auto entry = at->entries.find(piece);
      if (entry == at->entries.end()) {
        entry = at->entries.emplace(piece, new_dir_node(0755)).first;
      }
      if (!entry->second->dir) return IoError::os(ENOTDIR);
      at = entry->second->dir;
    }
    return at;
  }

  std::shared_ptr<DirNode> dir(const std::string& path) {
    auto made = make_dirs(path);
    return made.ok() ? made.value() : nullptr;
  }

  // Bytes a write of n may still add.
  size_t room_for(size_t n) const {
    if (!capacity) return n;
    const uint64_t left = *capacity > usage->used ? *capacity - usage->used : 0;
    return size_t(std::min<uint64_t>(n, left));
  }
};

namespace {

using State = MemoryPlatform::State;

// The longest entry name the usual file systems take (NAME_MAX).
bool is_too_long(const std::string& name) { return name.size() > 255; }

bool can_read(OpenMode m) { return m == OpenMode::ReadOnly || m == OpenMode::ReadAppendCreate; }
bool can_write(OpenMode m) { return m != OpenMode::ReadOnly; }
bool may_create(OpenMode m) { return m != OpenMode::ReadOnly && m != OpenMode::Append; }

class MemoryFile final : public File {
 public:
  MemoryFile(std::shared_ptr<State> state, std::string name, std::shared_ptr<FileNode> node,
             OpenMode mode)
      : state_(std::move(state)), name_(std::move(name)), node_(std::move(node)), mode_(mode) {}

  Result<size_t, IoError> read_at(uint8_t* dst, size_t n, uint64_t offset) override {
    if (auto f = state_->take(FaultOp::ReadAt, name_)) return *f->error;
    if (!can_read(mode_)) return IoError::os(EBADF);
    const std::string& b = node_->bytes;
    if (offset >= b.size()) return size_t{0};
    size_t k = std::min<uint64_t>(n, b.size() - offset);
    if (state_->read_limit != 0) k = std::min(k, state_->read_limit);
    std::memcpy(dst, b.data() + offset, k);
    return k;
  }

  Result<size_t, IoError> write(const uint8_t* src, size_t n) override {
    size_t k = n;
    if (auto f = state_->take(FaultOp::Write, name_)) {
      if (f->error) return *f->error;
      k = std::min(n, f->accepted);
      if (f->then_error) k = std::min(k, n - 1);
    }
    if (!can_write(mode_)) return IoError::os(EBADF);
    // A full file system takes what fits, then refuses.
    const size_t room = state_->room_for(k);
    if (room == 0 && k > 0) return IoError::os(ENOSPC);
    k = room;
    // Every writing mode appends.
    node_->append(reinterpret_cast<const char*>(src), k);
    if (k > 0) state_->changed();
    return k;
  }

  // Moves the bytes as read_at() then write() would, with their faults.
  Result<size_t, IoError> copy_from(File& src, uint64_t offset, size_t n) override {
    if (dynamic_cast<MemoryFile*>(&src) == nullptr) return IoError::os(EXDEV);
    std::string buf(n, '\0');
    auto got = src.read_at(reinterpret_cast<uint8_t*>(buf.data()), n, offset);
    if (!got.ok() || got.value() == 0) return got;
    auto put = write(reinterpret_cast<const uint8_t*>(buf.data()), got.value());
    if (put.ok() && put.value() == 0) return IoError::write_zero();
    return put;
  }

  Result<uint64_t, IoError> size() override {
    if (auto f = state_->take(FaultOp::Size, name_)) return *f->error;
    return uint64_t{node_->bytes.size()};
  }

  Result<Unit, IoError> truncate(uint64_t size) override {
    if (auto f = state_->take(FaultOp::Truncate, name_)) return *f->error;
    if (!can_write(mode_)) return IoError::os(EBADF);
    if (size > node_->bytes.size() && state_->room_for(size - node_->bytes.size()) <
                                          size - node_->bytes.size()) {
      return IoError::os(ENOSPC);
    }
    node_->resize(size_t(size));
    state_->changed();
    return Unit{};
  }

  Result<Unit, IoError> sync() override {
    auto f = state_->take(FaultOp::Sync, name_);
    if (f && f->error) return *f->error;
    if (state_->tracking && !(f && f->skip_sync)) node_->synced = node_->bytes;
    return Unit{};
  }

  Result<OwnerAndMode, IoError> owner_and_mode() override {
    if (auto e = state_->failure(FaultOp::Stat, name_)) return *e;
    return node_->owner;
  }

  Result<FileId, IoError> identity() override {
    if (auto e = state_->failure(FaultOp::Stat, name_)) return *e;
    return FileId{1, uint64_t(reinterpret_cast<uintptr_t>(node_.get()))};
  }

  Result<Unit, IoError> set_owner_and_mode(const OwnerAndMode& to) override {
    if (auto e = state_->failure(FaultOp::SetOwner, name_)) return *e;
    if (auto e = state_->refuse_owner(node_->owner, to)) return *e;
    node_->owner = OwnerAndMode{to.uid, to.gid, to.mode & 07777};
    return Unit{};
  }

 private:
  std::shared_ptr<State> state_;
  std::string name_;
  std::shared_ptr<FileNode> node_;
  OpenMode mode_;
};

class MemoryDirectory final : public Directory {
 public:
  MemoryDirectory(std::shared_ptr<State> state, std::string path, std::shared_ptr<DirNode> node)
      : state_(std::move(state)), path_(std::move(path)), node_(std::move(node)) {}
  ~MemoryDirectory() override { node_->locks.erase(this); }

  Result<std::vector<std::string>, IoError> list() override {
    std::vector<std::string> out;
    for (const auto& [name, node] : node_->entries) out.push_back(name);
    return out;
  }

  Result<std::unique_ptr<File>, IoError> open(const std::string& name, OpenMode mode) override {
    if (auto f = state_->take(FaultOp::Open, name)) return *f->error;
    auto& entries = node_->entries;
    auto it = entries.find(name);
    if (it == entries.end()) {
      if (!may_create(mode)) return IoError::os(ENOENT);
      if (is_too_long(name)) return IoError::os(ENAMETOOLONG);
      it = entries.emplace(name, state_->new_node()).first;
      if (mode == OpenMode::CreateTruncate) it->second->owner.mode = 0600;
      state_->changed();
    }
    std::shared_ptr<FileNode> target = it->second;
    if (target->type == FileType::Symlink && mode == OpenMode::CreateTruncate) {
      return IoError::os(ELOOP);
    }
    // A link is followed; a creating mode never creates what it names.
    auto followed = follow(state_->root, path_, target);
    if (!followed.ok()) return std::move(followed).error();
    target = std::move(followed).value();
    FileNode& node = *target;
    if (node.refusal) return *node.refusal;
    if (node.type == FileType::Directory) return IoError::os(EISDIR);
    if (mode == OpenMode::CreateTruncate && !node.bytes.empty()) {
      node.resize(0);
      state_->changed();
    }
    return std::unique_ptr<File>(std::make_unique<MemoryFile>(state_, name, target, mode));
  }

  Result<std::unique_ptr<Directory>, IoError> open_subdirectory(const std::string& name,
                                                                bool create) override {
    if (auto e = state_->failure(FaultOp::Open, name)) return *e;
    auto it = node_->entries.find(name);
    if (it == node_->entries.end()) {
      if (!create) return IoError::os(ENOENT);
      if (is_too_long(name)) return IoError::os(ENAMETOOLONG);
      it = node_->entries.emplace(name, state_->new_dir_node(0700)).first;
      state_->changed();
    }
    if (it->second->type == FileType::Symlink) return IoError::os(ELOOP);
    if (!it->second->dir) return IoError::os(ENOTDIR);
    return std::unique_ptr<Directory>(
        std::make_unique<MemoryDirectory>(state_, path_ + "/" + name, it->second->dir));
  }

  Result<EntryInfo, IoError> entry_type(const std::string& name) override {
    if (auto e = state_->failure(FaultOp::Stat, name)) return *e;
    auto it = node_->entries.find(name);
    if (it == node_->entries.end()) return IoError::os(ENOENT);
    const FileNode& node = *it->second;
    return EntryInfo{node.type, node.type == FileType::Regular ? uint64_t{node.bytes.size()} : 0};
  }

  Result<Unit, IoError> rename(const std::string& from, const std::string& to) override {
    if (auto e = state_->failure(FaultOp::Rename, from)) return *e;
    auto& entries = node_->entries;
    auto source = entries.find(from);
    if (source == entries.end()) return IoError::os(ENOENT);
    if (is_too_long(to)) return IoError::os(ENAMETOOLONG);
    if (from == to) return Unit{};
    auto target = entries.find(to);
    if (target != entries.end()) {
      bool source_is_dir = source->second->type == FileType::Directory;
      bool target_is_dir = target->second->type == FileType::Directory;
      if (target_is_dir && !source_is_dir) return IoError::os(EISDIR);
      if (source_is_dir && !target_is_dir) return IoError::os(ENOTDIR);
      if (target_is_dir && !target->second->dir->entries.empty()) return IoError::os(ENOTEMPTY);
    }
    entries[to] = source->second;
    entries.erase(from);
    state_->changed();
    return Unit{};
  }

  Result<Unit, IoError> remove(const std::string& name) override {
    if (auto e = state_->failure(FaultOp::Remove, name)) return *e;
    auto it = node_->entries.find(name);
    if (it == node_->entries.end()) return IoError::os(ENOENT);
    if (it->second->type == FileType::Directory) return IoError::os(EISDIR);
    node_->entries.erase(it);
    state_->changed();
    return Unit{};
  }

  Result<Unit, IoError> remove_directory(const std::string& name) override {
    if (auto e = state_->failure(FaultOp::Remove, name)) return *e;
    auto it = node_->entries.find(name);
    if (it == node_->entries.end()) return IoError::os(ENOENT);
    if (it->second->type != FileType::Directory) return IoError::os(ENOTDIR);
    if (!it->second->dir->entries.empty()) return IoError::os(ENOTEMPTY);
    node_->entries.erase(it);
    state_->changed();
    return Unit{};
  }

  Result<Unit, IoError> link(const std::string& name, Directory& to_dir,
                             const std::string& to_name) override {
    if (auto e = state_->failure(FaultOp::Link, name)) return *e;
    auto* to = dynamic_cast<MemoryDirectory*>(&to_dir);
    if (to == nullptr || to->state_ != state_) return IoError::os(EXDEV);
    auto it = node_->entries.find(name);
    if (it == node_->entries.end()) return IoError::os(ENOENT);
    if (it->second->type == FileType::Directory) return IoError::os(EPERM);
    if (to->node_->entries.count(to_name) != 0) return IoError::os(EEXIST);
    if (is_too_long(to_name)) return IoError::os(ENAMETOOLONG);
    if (state_->link_refusal) return *state_->link_refusal;
    to->node_->entries.emplace(to_name, it->second);
    state_->changed();
    return Unit{};
  }

  Result<Unit, IoError> sync() override {
    auto f = state_->take(FaultOp::Sync, path_);
    if (f && f->error) return *f->error;
    if (state_->tracking && !(f && f->skip_sync)) node_->synced_entries = node_->entries;
    return Unit{};
  }

  Result<OwnerAndMode, IoError> owner_and_mode() override {
    if (auto e = state_->failure(FaultOp::Stat, path_)) return *e;
    return node_->owner;
  }

  Result<Unit, IoError> set_owner_and_mode(const OwnerAndMode& to) override {
    if (auto e = state_->failure(FaultOp::SetOwner, path_)) return *e;
    if (auto e = state_->refuse_owner(node_->owner, to)) return *e;
    node_->owner = OwnerAndMode{to.uid, to.gid, to.mode & 07777};
    return Unit{};
  }

  Result<uint64_t, IoError> free_space() override {
    if (auto e = state_->failure(FaultOp::Stat, path_)) return *e;
    if (state_->capacity && state_->capacity_reported) return state_->room_for(SIZE_MAX);
    return state_->free_space;
  }

  Result<DirectoryId, IoError> identity() override {
    return DirectoryId{0, uint64_t(reinterpret_cast<uintptr_t>(node_.get()))};
  }

  Result<LockStatus, IoError> lock_shared() override { return lock(false); }
  Result<LockStatus, IoError> lock_exclusive() override { return lock(true); }

 private:
  // Any other holder blocks an exclusive lock; another exclusive holder
  // blocks a shared one. This handle's own lock is converted.
  Result<LockStatus, IoError> lock(bool exclusive) {
    if (auto e = state_->failure(FaultOp::Lock, path_)) return *e;
    for (const auto& [holder, holds_exclusive] : node_->locks) {
      if (holder != this && (exclusive || holds_exclusive)) return LockStatus::WouldBlock;
    }
    node_->locks[this] = exclusive;
    return LockStatus::Acquired;
  }

  std::shared_ptr<State> state_;
  std::string path_;
  std::shared_ptr<DirNode> node_;
};

}  // namespace

MemoryPlatform::MemoryPlatform() : state_(std::make_shared<State>()) {}
MemoryPlatform::~MemoryPlatform() = default;

Result<std::unique_ptr<Directory>, IoError> MemoryPlatform::open_directory(
    const std::string& path) {
  auto made = state_->make_dirs(path);
  if (!made.ok()) return std::move(made).error();
  return std::unique_ptr<Directory>(
      std::make_unique<MemoryDirectory>(state_, path, std::move(made).value()));
}

Result<std::unique_ptr<Directory>, IoError> MemoryPlatform::open_existing_directory(
    const std::string& path) {
  auto found = walk(state_->root, path);
  if (!found.ok()) return std::move(found).error();
  return std::unique_ptr<Directory>(
      std::make_unique<MemoryDirectory>(state_, path, std::move(found).value()));
}

std::optional<std::string> MemoryPlatform::contents(const std::string& dir,
                                                    const std::string& name) const {
  auto d = find_dir(state_->root, dir);
  if (!d) return std::nullopt;
  auto f = d->entries.find(name);
  if (f == d->entries.end() || f->second->type != FileType::Regular || f->second->refusal) {
    return std::nullopt;
  }
  return f->second->bytes;
}

bool MemoryPlatform::exists(const std::string& dir, const std::string& name) const {
  auto d = find_dir(state_->root, dir);
  return d && d->entries.count(name) != 0;
}

void MemoryPlatform::put(const std::string& dir, const std::string& name, std::string bytes) {
  auto node = state_->new_node();
  node->append(bytes.data(), bytes.size());
  state_->dir(dir)->entries[name] = std::move(node);
}

void MemoryPlatform::put_special(const std::string& dir, const std::string& name, IoError error,
                                 FileType type) {
  auto node = state_->new_node();
  node->type = type;
  node->refusal = std::move(error);
  state_->dir(dir)->entries[name] = std::move(node);
}

void MemoryPlatform::put_symlink(const std::string& dir, const std::string& name,
                                 std::string target) {
  auto node = state_->new_node();
  node->type = FileType::Symlink;
  node->link_target = std::move(target);
  state_->dir(dir)->entries[name] = std::move(node);
}

std::vector<std::string> MemoryPlatform::names(const std::string& dir) const {
  std::vector<std::string> out;
  auto d = find_dir(state_->root, dir);
  if (!d) return out;
  for (const auto& [name, node] : d->entries) out.push_back(name);
  return out;
}

void MemoryPlatform::set_free_space(uint64_t bytes) {
  state_->free_space = bytes;
  state_->capacity.reset();
}

void MemoryPlatform::set_capacity(uint64_t bytes, bool reported) {
  state_->capacity = bytes;
  state_->capacity_reported = reported;
}

uint64_t MemoryPlatform::used_bytes() const { return state_->usage->used; }

void MemoryPlatform::refuse_links(std::optional<IoError> error) {
  state_->link_refusal = std::move(error);
}

void MemoryPlatform::fail(FaultOp op, int nth, IoError error, std::string only_file) {
  state_->faults.push_back(Fault{op, nth, std::move(only_file), std::move(error), 0, std::nullopt});
}

void MemoryPlatform::short_write(int nth, size_t accepted, std::string only_file) {
  state_->faults.push_back(
      Fault{FaultOp::Write, nth, std::move(only_file), std::nullopt, accepted, std::nullopt});
}

void MemoryPlatform::torn_write(int nth, size_t accepted, IoError error) {
  state_->faults.push_back(
      Fault{FaultOp::Write, nth, {}, std::nullopt, accepted, std::move(error)});
}

void MemoryPlatform::limit_reads(size_t n) { state_->read_limit = n; }

void MemoryPlatform::clear_faults() {
  state_->faults.clear();
  state_->read_limit = 0;
}

uint64_t MemoryPlatform::count(FaultOp op) const { return state_->counts[static_cast<int>(op)]; }

}  // namespace zez::testing

namespace zez::testing {
uint64_t MemoryPlatform::faults_fired() const { return state_->fired_count; }
}  // namespace zez::testing

namespace zez::testing {

namespace {

// What a power cut would leave, worked out on a tree: the unsynced files and
// directories in one fixed order, so that a cut can name one of them.
struct Unsynced {
  std::vector<const FileNode*> files;
  std::vector<const DirNode*> dirs;
};

void find_unsynced(const DirNode& dir, Unsynced& out, std::set<const void*>& seen) {
  if (!seen.insert(&dir).second) return;
  if (dir.entries != dir.synced_entries) out.dirs.push_back(&dir);
  for (const auto* entries : {&dir.entries, &dir.synced_entries}) {
    for (const auto& [name, node] : *entries) {
      if (node->dir) {
        find_unsynced(*node->dir, out, seen);
      } else if (seen.insert(node.get()).second && node->bytes != node->synced) {
        out.files.push_back(node.get());
      }
    }
  }
}

// The bytes a power cut leaves of a file: what was synced stays; of what
// was not, `loss` decides.
std::string bytes_after_cut(const FileNode& f, MemoryPlatform::Loss loss) {
  constexpr size_t PAGE = 4096;
  const std::string& now = f.bytes;
  size_t same = 0;
  while (same < now.size() && same < f.synced.size() && now[same] == f.synced[same]) ++same;
  switch (loss) {
    case MemoryPlatform::Loss::None:
      return now;
    case MemoryPlatform::Loss::Whole:
      return f.synced;
    case MemoryPlatform::Loss::CutAtPage:
      return now.substr(0, std::max(same, now.size() / PAGE * PAGE));
    case MemoryPlatform::Loss::ZeroFilled:
      return now.substr(0, same) + std::string(now.size() - same, '\0');
  }
  return now;
}

struct TreeCopier {
  const MemoryPlatform::PowerCut& cut;
  const Unsynced& unsynced;
  std::shared_ptr<Usage> usage;
  std::map<const void*, std::shared_ptr<FileNode>> copied;  // hard links stay one file

  bool chosen_file(const FileNode* f) const {
    auto it = std::find(unsynced.files.begin(), unsynced.files.end(), f);
    if (it == unsynced.files.end()) return false;
    return cut.only_file < 0 || it - unsynced.files.begin() == cut.only_file;
  }
  bool chosen_dir(const DirNode* d) const {
    auto it = std::find(unsynced.dirs.begin(), unsynced.dirs.end(), d);
    if (it == unsynced.dirs.end()) return false;
    return cut.only_dir < 0 || it - unsynced.dirs.begin() == cut.only_dir;
  }

  std::shared_ptr<DirNode> copy_dir(const DirNode& from) {
    auto to = std::make_shared<DirNode>();
    to->owner = from.owner;
    const bool undo = cut.undo_entries && chosen_dir(&from);
    for (const auto& [name, node] : undo ? from.synced_entries : from.entries) {
      to->entries[name] = copy_node(*node);
    }
    return to;
  }

  std::shared_ptr<FileNode> copy_node(const FileNode& from) {
    auto known = copied.find(&from);
    if (known != copied.end()) return known->second;
    auto to = std::make_shared<FileNode>(usage);
    copied[&from] = to;
    to->type = from.type;
    to->refusal = from.refusal;
    to->link_target = from.link_target;
    to->owner = from.owner;
    if (from.dir) to->dir = copy_dir(*from.dir);
    const std::string bytes =
        bytes_after_cut(from, chosen_file(&from) ? cut.data : MemoryPlatform::Loss::None);
    to->append(bytes.data(), bytes.size());
    return to;
  }
};

void mark_synced(DirNode& dir) {
  dir.synced_entries = dir.entries;
  for (auto& [name, node] : dir.entries) {
    node->synced = node->bytes;
    if (node->dir) mark_synced(*node->dir);
  }
}

void describe_tree(const DirNode& dir, const std::string& path, std::string& out,
                   std::map<const void*, size_t>& ids) {
  out += path + "/ " + std::to_string(dir.owner.uid) + ":" + std::to_string(dir.owner.gid) + " " +
         std::to_string(dir.owner.mode) + "\n";
  for (const auto& [name, node] : dir.entries) {
    if (node->dir) {
      describe_tree(*node->dir, path + "/" + name, out, ids);
      continue;
    }
    auto [id, fresh] = ids.emplace(node.get(), ids.size());
    out += path + "/" + name + " #" + std::to_string(id->second) + " " +
           std::to_string(int(node->type)) + " " + node->link_target + " " +
           std::to_string(node->owner.mode) + " " + std::to_string(node->bytes.size()) + "\n";
    if (fresh) out += node->bytes + "\n";
  }
}

}  // namespace

void MemoryPlatform::track_power_cuts() {
  mark_synced(*state_->root);
  state_->tracking = true;
}

void MemoryPlatform::on_change(std::function<void()> hook) { state_->on_change = std::move(hook); }

void MemoryPlatform::skip_sync(int nth) {
  Fault f{FaultOp::Sync, nth, {}, std::nullopt, 0, std::nullopt};
  f.skip_sync = true;
  state_->faults.push_back(std::move(f));
}

std::pair<int, int> MemoryPlatform::unsynced() const {
  Unsynced u;
  std::set<const void*> seen;
  find_unsynced(*state_->root, u, seen);
  return {int(u.files.size()), int(u.dirs.size())};
}

std::unique_ptr<MemoryPlatform> MemoryPlatform::after_power_cut(const PowerCut& cut) const {
  Unsynced u;
  std::set<const void*> seen;
  find_unsynced(*state_->root, u, seen);
  auto after = std::make_unique<MemoryPlatform>();
  TreeCopier copier{cut, u, after->state_->usage, {}};
  after->state_->root = copier.copy_dir(*state_->root);
  after->state_->umask = state_->umask;
  return after;
}

std::string MemoryPlatform::tree_text() const {
  std::string out;
  std::map<const void*, size_t> ids;
  describe_tree(*state_->root, "", out, ids);
  return out;
}

void MemoryPlatform::set_umask(uint32_t mask) { state_->umask = mask & 0777; }

void MemoryPlatform::act_as(uint32_t uid, uint32_t gid) {
  state_->uid = uid;
  state_->gid = gid;
}

uint32_t MemoryPlatform::new_directory_mode() { return 0777 & ~state_->umask; }

}  // namespace zez::testing
