#include "memory_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zez::testing {

namespace {

struct FileNode {
  std::string bytes;
  std::optional<IoError> refusal;  // set for entries that are not regular files
};

struct DirNode {
  std::map<std::string, std::shared_ptr<FileNode>> entries;
};

struct Fault {
  FaultOp op;
  int countdown;
  std::string only_file;
  std::optional<IoError> error;  // empty for a short or torn write
  size_t accepted = 0;
  std::optional<IoError> then_error;  // a torn write: the next write's error
};

}  // namespace

struct MemoryPlatform::State {
  std::map<std::string, DirNode> dirs;
  std::vector<Fault> faults;
  size_t read_limit = 0;
  uint64_t counts[FAULT_OP_COUNT] = {};
  uint64_t fired_count = 0;

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
};

namespace {

using State = MemoryPlatform::State;

bool can_read(OpenMode m) { return m == OpenMode::ReadOnly || m == OpenMode::ReadAppendCreate; }
bool can_write(OpenMode m) { return m != OpenMode::ReadOnly; }

class MemoryFile final : public File {
 public:
  MemoryFile(std::shared_ptr<State> state, std::string name, std::shared_ptr<FileNode> node,
             OpenMode mode)
      : state_(std::move(state)), name_(std::move(name)), node_(std::move(node)), mode_(mode) {}

  Result<size_t, IoError> read(uint8_t* dst, size_t n) override {
    if (auto f = state_->take(FaultOp::Read, name_)) return *f->error;
    auto r = copy_out(dst, n, pos_);
    if (r.ok()) pos_ += r.value();
    return r;
  }

  Result<size_t, IoError> read_at(uint8_t* dst, size_t n, uint64_t offset) override {
    if (auto f = state_->take(FaultOp::ReadAt, name_)) return *f->error;
    return copy_out(dst, n, offset);
  }

  Result<size_t, IoError> copy_out(uint8_t* dst, size_t n, uint64_t offset) {
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
    // Every writing mode appends.
    node_->bytes.append(reinterpret_cast<const char*>(src), k);
    return k;
  }

  Result<Unit, IoError> seek(uint64_t offset) override {
    pos_ = offset;
    return Unit{};
  }

  Result<Unit, IoError> skip(uint64_t delta) override {
    pos_ += delta;
    return Unit{};
  }

  Result<uint64_t, IoError> size() override {
    if (auto f = state_->take(FaultOp::Size, name_)) return *f->error;
    return uint64_t{node_->bytes.size()};
  }

  Result<Unit, IoError> truncate(uint64_t size) override {
    if (auto f = state_->take(FaultOp::Truncate, name_)) return *f->error;
    if (!can_write(mode_)) return IoError::os(EBADF);
    node_->bytes.resize(size);
    return Unit{};
  }

 private:
  std::shared_ptr<State> state_;
  std::string name_;
  std::shared_ptr<FileNode> node_;
  OpenMode mode_;
  uint64_t pos_ = 0;
};

class MemoryDirectory final : public Directory {
 public:
  MemoryDirectory(std::shared_ptr<State> state, std::string path)
      : state_(std::move(state)), path_(std::move(path)) {}

  Result<std::vector<std::string>, IoError> list() override {
    std::vector<std::string> out;
    for (const auto& [name, node] : dir().entries) out.push_back(name);
    return out;
  }

  Result<std::unique_ptr<File>, IoError> open(const std::string& name, OpenMode mode) override {
    if (auto f = state_->take(FaultOp::Open, name)) return *f->error;
    auto& entries = dir().entries;
    auto it = entries.find(name);
    if (it == entries.end()) {
      if (mode == OpenMode::ReadOnly || mode == OpenMode::Append) return IoError::os(ENOENT);
      it = entries.emplace(name, std::make_shared<FileNode>()).first;
    }
    if (it->second->refusal) return *it->second->refusal;
    return std::unique_ptr<File>(std::make_unique<MemoryFile>(state_, name, it->second, mode));
  }

 private:
  DirNode& dir() { return state_->dirs[path_]; }

  std::shared_ptr<State> state_;
  std::string path_;
};

}  // namespace

MemoryPlatform::MemoryPlatform() : state_(std::make_shared<State>()) {}
MemoryPlatform::~MemoryPlatform() = default;

Result<std::unique_ptr<Directory>, IoError> MemoryPlatform::open_directory(
    const std::string& path) {
  state_->dirs[path];  // created when missing
  return std::unique_ptr<Directory>(std::make_unique<MemoryDirectory>(state_, path));
}

std::optional<std::string> MemoryPlatform::contents(const std::string& dir,
                                                    const std::string& name) const {
  auto d = state_->dirs.find(dir);
  if (d == state_->dirs.end()) return std::nullopt;
  auto f = d->second.entries.find(name);
  if (f == d->second.entries.end() || f->second->refusal) return std::nullopt;
  return f->second->bytes;
}

bool MemoryPlatform::exists(const std::string& dir, const std::string& name) const {
  auto d = state_->dirs.find(dir);
  return d != state_->dirs.end() && d->second.entries.count(name) != 0;
}

void MemoryPlatform::put(const std::string& dir, const std::string& name, std::string bytes) {
  auto node = std::make_shared<FileNode>();
  node->bytes = std::move(bytes);
  state_->dirs[dir].entries[name] = std::move(node);
}

void MemoryPlatform::put_special(const std::string& dir, const std::string& name,
                                 IoError error) {
  auto node = std::make_shared<FileNode>();
  node->refusal = std::move(error);
  state_->dirs[dir].entries[name] = std::move(node);
}

std::vector<std::string> MemoryPlatform::names(const std::string& dir) const {
  std::vector<std::string> out;
  auto d = state_->dirs.find(dir);
  if (d == state_->dirs.end()) return out;
  for (const auto& [name, node] : d->second.entries) out.push_back(name);
  return out;
}

void MemoryPlatform::fail(FaultOp op, int nth, IoError error, std::string only_file) {
  state_->faults.push_back(Fault{op, nth, std::move(only_file), std::move(error), 0, std::nullopt});
}

void MemoryPlatform::short_write(int nth, size_t accepted, std::string only_file) {
  state_->faults.push_back(Fault{FaultOp::Write, nth, std::move(only_file), std::nullopt, accepted, std::nullopt});
}

void MemoryPlatform::torn_write(int nth, size_t accepted, IoError error) {
  state_->faults.push_back(Fault{FaultOp::Write, nth, {}, std::nullopt, accepted, std::move(error)});
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
