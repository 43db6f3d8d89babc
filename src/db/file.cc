#include "db/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace zez {

Result<Unit, IoError> read_exact_at(File& f, uint8_t* dst, size_t n, uint64_t offset) {
  while (n > 0) {
    auto r = f.read_at(dst, n, offset);
    if (!r.ok()) return std::move(r).error();
    if (r.value() == 0) return IoError::unexpected_eof();
    dst += r.value();
    n -= r.value();
    offset += r.value();
  }
  return Unit{};
}

Result<Unit, IoError> write_all(File& f, const uint8_t* src, size_t n,
                                const IoError& zero_write_error) {
  while (n > 0) {
    auto r = f.write(src, n);
    if (!r.ok()) return std::move(r).error();
    if (r.value() == 0) return zero_write_error;
    src += r.value();
    n -= r.value();
  }
  return Unit{};
}

Result<Unit, AppendFailure> append_whole(File& f, const uint8_t* src, size_t n, UncutAppend uncut) {
  auto before = f.size();
  if (!before.ok()) return AppendFailure{std::move(before).error(), false, 0};
  size_t written = 0;
  while (written < n) {
    auto r = f.write(src + written, n - written);
    if (r.ok() && r.value() > 0) {
      written += r.value();
      continue;
    }
    IoError failure = r.ok() ? IoError::write_zero() : std::move(r).error();
    const bool cut_needed = written > 0 || uncut == UncutAppend::FinishAtOnce;
    // The cut's own error is dropped: the write's is the one reported.
    if (!cut_needed || f.truncate(before.value()).ok()) {
      return AppendFailure{std::move(failure), false, written};
    }
    if (uncut == UncutAppend::FinishAtOnce) {
      auto size = f.size();
      if (size.ok() && size.value() >= before.value() && size.value() - before.value() < n) {
        const size_t landed = size_t(size.value() - before.value());
        if (write_all(f, src + landed, n - landed, IoError::write_zero()).ok()) return Unit{};
      }
    }
    return AppendFailure{std::move(failure), true, written};
  }
  return Unit{};
}

Result<LockStatus, IoError> File::lock_exclusive() { return IoError::os(ENOLCK); }

Result<Unit, IoError> copy_owner_and_mode(File& from, File& to) {
  auto wanted = from.owner_and_mode();
  if (!wanted.ok()) return std::move(wanted).error();
  return to.set_owner_and_mode(wanted.value());
}

namespace {

// One system call moves at most this much; Linux caps a single read or write
// a little below 2 GiB anyway.
constexpr size_t MAX_IO_CHUNK = size_t(1) << 30;

IoError last_os_error() { return IoError::os(errno); }

// Runs a system call again while a signal interrupts it (-1 with EINTR);
// returns what its last run returned, with errno as that run left it.
template <class Call>
auto retry_on_eintr(Call call) {
  for (;;) {
    const auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

// Runs a system call that returns 0 on success, again while a signal
// interrupts it.
template <class Call>
Result<Unit, IoError> retry_on_interrupt(Call call) {
  if (retry_on_eintr(call) == 0) return Unit{};
  return last_os_error();
}

// A read or write of at most MAX_IO_CHUNK of its n bytes: the count it moved,
// which may be short (0 at the end of a file).
template <class Call>
Result<size_t, IoError> robust_transfer(size_t n, Call call) {
  const ssize_t r = retry_on_eintr([&] { return call(n < MAX_IO_CHUNK ? n : MAX_IO_CHUNK); });
  if (r >= 0) return size_t(r);
  return last_os_error();
}

constexpr mode_t PERMISSION_BITS = 07777;

IoError not_regular_file(const std::string& name) {
  return IoError::message("not a regular file: " + name);
}

// Names are opened relative to the directory handle; a separator or NUL
// would reach outside it or be cut short by the system.
bool is_plain_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

IoError invalid_name(const std::string& name) {
  return IoError::message("invalid file name: " + name);
}

// The system would stop reading the path at the NUL and work on another
// directory than the one named.
bool holds_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

IoError nul_in_path() { return IoError::message("database path must not contain a NUL character"); }

FileType type_of(mode_t mode) {
  if (S_ISREG(mode)) return FileType::Regular;
  if (S_ISDIR(mode)) return FileType::Directory;
  if (S_ISLNK(mode)) return FileType::Symlink;
  return FileType::Other;
}

// flock, never waiting: a lock held elsewhere is an answer, not a failure.
Result<LockStatus, IoError> try_flock(int fd, int operation) {
  if (retry_on_eintr([&] { return ::flock(fd, operation | LOCK_NB); }) == 0) {
    return LockStatus::Acquired;
  }
  if (errno == EWOULDBLOCK) return LockStatus::WouldBlock;
  return last_os_error();
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }  // a close failure is ignored
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Result<size_t, IoError> read_at(uint8_t* dst, size_t n, uint64_t offset) override {
    if (offset > uint64_t(LLONG_MAX)) return IoError::os(EINVAL);
    return robust_transfer(n,
                           [&](size_t chunk) { return ::pread(fd_, dst, chunk, off_t(offset)); });
  }

  Result<size_t, IoError> write(const uint8_t* src, size_t n) override {
    return robust_transfer(n, [&](size_t chunk) { return ::write(fd_, src, chunk); });
  }

  // copy_file_range: within one file system the kernel moves the pages
  // itself, so a large copy costs neither the copying through user space
  // nor, on most file systems, the dirty-page throttling of write().
  Result<size_t, IoError> copy_from(File& src, uint64_t offset, size_t n) override {
    auto* from = dynamic_cast<PosixFile*>(&src);
    if (from == nullptr) return IoError::os(ENOSYS);
    if (offset > uint64_t(LLONG_MAX)) return IoError::os(EINVAL);
    loff_t in_offset = loff_t(offset);
    return robust_transfer(n, [&](size_t chunk) {
      return ::copy_file_range(from->fd_, &in_offset, fd_, nullptr, chunk, 0);
    });
  }

  Result<uint64_t, IoError> size() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_os_error();
    return uint64_t(st.st_size);
  }

  Result<Unit, IoError> truncate(uint64_t size) override {
    if (size > uint64_t(LLONG_MAX)) return IoError::os(EINVAL);
    return retry_on_interrupt([&] { return ::ftruncate(fd_, off_t(size)); });
  }

  Result<Unit, IoError> sync() override {
    return retry_on_interrupt([&] { return ::fsync(fd_); });
  }

  Result<OwnerAndMode, IoError> owner_and_mode() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_os_error();
    return OwnerAndMode{uint32_t(st.st_uid), uint32_t(st.st_gid),
                        uint32_t(st.st_mode & PERMISSION_BITS)};
  }

  // The owner first: a change of owner clears the set-user-ID and
  // set-group-ID bits, which the mode then puts back.
  Result<Unit, IoError> set_owner_and_mode(const OwnerAndMode& to) override {
    auto now = owner_and_mode();
    if (!now.ok()) return std::move(now).error();
    if (now.value().uid != to.uid || now.value().gid != to.gid) {
      auto owned = retry_on_interrupt([&] { return ::fchown(fd_, uid_t(to.uid), gid_t(to.gid)); });
      if (!owned.ok()) return owned;
    }
    return retry_on_interrupt([&] { return ::fchmod(fd_, mode_t(to.mode & PERMISSION_BITS)); });
  }

  Result<LockStatus, IoError> lock_exclusive() override { return try_flock(fd_, LOCK_EX); }

 private:
  int fd_;
};

// The flags of an open that finds an existing file. The two modes that
// create a missing file add O_CREAT | O_EXCL only on a second try (see
// open_or_create), so that no file is ever created through a symbolic link.
int open_flags(OpenMode mode) {
  switch (mode) {
    case OpenMode::AppendCreate:
    case OpenMode::Append:
      return O_WRONLY | O_APPEND;
    case OpenMode::ReadOnly:
      return O_RDONLY;
    case OpenMode::ReadAppendCreate:
      return O_RDWR | O_APPEND;
    case OpenMode::CreateTruncate:
      return O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW;
  }
  return O_RDONLY;
}

bool creates_when_missing(OpenMode mode) {
  return mode == OpenMode::AppendCreate || mode == OpenMode::ReadAppendCreate;
}

mode_t creation_mode(OpenMode mode) { return mode == OpenMode::CreateTruncate ? 0600 : 0666; }

class PosixDirectory final : public Directory {
 public:
  explicit PosixDirectory(int fd) : fd_(fd) {}
  ~PosixDirectory() override { ::close(fd_); }
  PosixDirectory(const PosixDirectory&) = delete;
  PosixDirectory& operator=(const PosixDirectory&) = delete;

  Result<std::vector<std::string>, IoError> list() override {
    // A fresh handle on the same directory: its own position, so every
    // listing starts at the first entry.
    int fd = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_os_error();
    DIR* d = ::fdopendir(fd);
    if (d == nullptr) {
      IoError e = last_os_error();
      ::close(fd);
      return e;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
    std::vector<std::string> names;
    // readdir() ends the listing with nullptr, and sets errno only on a failure.
    for (errno = 0; struct dirent* entry = ::readdir(d); errno = 0) {
      std::string name(entry->d_name);
      if (name != "." && name != "..") names.push_back(std::move(name));
    }
    if (errno != 0) return last_os_error();
    return names;
  }

  // O_NONBLOCK keeps a FIFO from blocking the open; the file type is then
  // checked on the handle itself, so nothing can swap the entry in between.
  Result<std::unique_ptr<File>, IoError> open(const std::string& name, OpenMode mode) override {
    if (!is_plain_name(name)) return invalid_name(name);
    int fd = open_or_create(name, mode);
    if (fd < 0) {
      int code = errno;
      // A FIFO without a reader, or a socket, refuses a write-mode open with
      // ENXIO; name the real cause instead.
      struct stat st;
      if (code == ENXIO && ::fstatat(fd_, name.c_str(), &st, 0) == 0 && !S_ISREG(st.st_mode) &&
          !S_ISDIR(st.st_mode)) {
        return not_regular_file(name);
      }
      return IoError::os(code);
    }
    auto file = std::make_unique<PosixFile>(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return last_os_error();
    if (S_ISDIR(st.st_mode)) return IoError::os(EISDIR);  // only a read-only open gets here
    if (!S_ISREG(st.st_mode)) return not_regular_file(name);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return last_os_error();
    return std::unique_ptr<File>(std::move(file));
  }

  Result<std::unique_ptr<Directory>, IoError> open_subdirectory(const std::string& name,
                                                                bool create) override {
    if (!is_plain_name(name)) return invalid_name(name);
    if (create && ::mkdirat(fd_, name.c_str(), 0700) != 0 && errno != EEXIST) {
      return last_os_error();
    }
    int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return last_os_error();
    return std::unique_ptr<Directory>(std::make_unique<PosixDirectory>(fd));
  }

  Result<EntryInfo, IoError> entry_type(const std::string& name) override {
    if (!is_plain_name(name)) return invalid_name(name);
    struct stat st;
    if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return last_os_error();
    return EntryInfo{type_of(st.st_mode), uint64_t(st.st_size)};
  }

  Result<Unit, IoError> rename(const std::string& from, const std::string& to) override {
    if (!is_plain_name(from)) return invalid_name(from);
    if (!is_plain_name(to)) return invalid_name(to);
    if (::renameat(fd_, from.c_str(), fd_, to.c_str()) != 0) return last_os_error();
    return Unit{};
  }

  Result<Unit, IoError> remove(const std::string& name) override {
    if (!is_plain_name(name)) return invalid_name(name);
    if (::unlinkat(fd_, name.c_str(), 0) != 0) return last_os_error();
    return Unit{};
  }

  Result<Unit, IoError> remove_directory(const std::string& name) override {
    if (!is_plain_name(name)) return invalid_name(name);
    if (::unlinkat(fd_, name.c_str(), AT_REMOVEDIR) != 0) return last_os_error();
    return Unit{};
  }

  Result<Unit, IoError> link(const std::string& name, Directory& to_dir,
                             const std::string& to_name) override {
    if (!is_plain_name(name)) return invalid_name(name);
    if (!is_plain_name(to_name)) return invalid_name(to_name);
    auto* to = dynamic_cast<PosixDirectory*>(&to_dir);
    if (to == nullptr) return IoError::os(EXDEV);
    // No AT_SYMLINK_FOLLOW: a link names the entry itself.
    if (::linkat(fd_, name.c_str(), to->fd_, to_name.c_str(), 0) != 0) return last_os_error();
    return Unit{};
  }

  Result<Unit, IoError> sync() override {
    return retry_on_interrupt([&] { return ::fsync(fd_); });
  }

  Result<uint64_t, IoError> free_space() override {
    struct statvfs fs;
    if (::fstatvfs(fd_, &fs) != 0) return last_os_error();
    return uint64_t(fs.f_bavail) * uint64_t(fs.f_frsize);
  }

  Result<DirectoryId, IoError> identity() override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return last_os_error();
    return DirectoryId{uint64_t(st.st_dev), uint64_t(st.st_ino)};
  }

  Result<LockStatus, IoError> lock_shared() override { return try_flock(fd_, LOCK_SH); }
  Result<LockStatus, IoError> lock_exclusive() override { return try_flock(fd_, LOCK_EX); }

 private:
  // Opens the entry, for a creating mode creating it when missing; returns
  // the descriptor, or -1 with errno set. An existing file is opened without
  // O_CREAT, and a missing one is made with O_CREAT | O_EXCL, which never
  // follows a symbolic link: a dangling link named like a database file must
  // not make the engine write wherever it points. When the exclusive create
  // finds an entry after all (another opener made the file in between, or
  // the name is a dangling link), the file is opened once more without
  // creation, which fails with ENOENT for the dangling link.
  int open_or_create(const std::string& name, OpenMode mode) {
    const int flags = open_flags(mode) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = ::openat(fd_, name.c_str(), flags, creation_mode(mode));
    if (fd >= 0 || errno != ENOENT || !creates_when_missing(mode)) return fd;
    fd = ::openat(fd_, name.c_str(), flags | O_CREAT | O_EXCL, creation_mode(mode));
    if (fd >= 0 || errno != EEXIST) return fd;
    return ::openat(fd_, name.c_str(), flags);
  }

  int fd_;
};

// mkdir -p: creates the missing parents first, accepting ones that exist.
Result<Unit, IoError> create_directories(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return Unit{};
  int code = errno;
  if (code == EEXIST) return Unit{};  // a file in the way fails the open that follows
  if (code != ENOENT) return IoError::os(code);
  size_t end = path.find_last_not_of('/');
  size_t slash = end == std::string::npos ? std::string::npos : path.rfind('/', end);
  if (slash == std::string::npos || slash == 0) return IoError::os(code);
  auto parent = create_directories(path.substr(0, slash));
  if (!parent.ok()) return parent;
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return Unit{};
  return last_os_error();
}

class PosixPlatform final : public Platform {
 public:
  Result<std::unique_ptr<Directory>, IoError> open_directory(const std::string& path) override {
    if (holds_nul(path)) return nul_in_path();
    auto created = create_directories(path);
    if (!created.ok()) return std::move(created).error();
    return open_existing_directory(path);
  }

  Result<std::unique_ptr<Directory>, IoError> open_existing_directory(
      const std::string& path) override {
    if (holds_nul(path)) return nul_in_path();
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return last_os_error();
    return std::unique_ptr<Directory>(std::make_unique<PosixDirectory>(fd));
  }
};

}  // namespace

Platform& system_platform() {
  static PosixPlatform platform;
  return platform;
}

}  // namespace zez
