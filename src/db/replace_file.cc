#include "db/replace_file.h"

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <vector>

namespace zez {

uint64_t space_for_file(uint64_t bytes) {
  constexpr uint64_t BLOCK = 4096;
  const uint64_t blocks = bytes / BLOCK + (bytes % BLOCK != 0) + 1;
  const uint64_t on_disk = blocks > UINT64_MAX / BLOCK ? UINT64_MAX : blocks * BLOCK;
  const uint64_t spare = on_disk / 100;
  return on_disk > UINT64_MAX - spare ? UINT64_MAX : on_disk + spare;
}

namespace {

// Bytes copied per read: few system calls, memory that does not grow with
// the file.
constexpr size_t COPY_CHUNK = size_t(1) << 20;
// Bytes asked of one system copy: large, so few calls, but bounded so that
// no count overflows.
constexpr uint64_t MAX_SYSTEM_COPY = uint64_t(1) << 30;

// Removes a file this call made and no longer wants; when that fails, the
// error tells the operator what is left over.
void remove_own_file(Directory& dir, const std::string& name, const std::string& shown,
                     ReplaceError& error) {
  if (!dir.remove(name).ok()) error.cause.append(" (").append(shown).append(" is left over)");
}

bool is_one_of(const IoError& e, std::initializer_list<int> codes) {
  return std::find(codes.begin(), codes.end(), e.os_code()) != codes.end();
}

// Whether copy_from() says the system cannot copy between the two files.
bool no_system_copy(const IoError& e) {
  return is_one_of(e, {ENOSYS, EXDEV, EINVAL, EBADF, ENOTSUP, EOPNOTSUPP});
}

}  // namespace

Result<Unit, IoError> copy_range(File& src, File& dst, uint64_t from, uint64_t to) {
  uint64_t at = from;
  // The system's own copy first; through a buffer when it cannot.
  while (at < to) {
    auto moved = dst.copy_from(src, at, size_t(std::min<uint64_t>(to - at, MAX_SYSTEM_COPY)));
    if (!moved.ok()) {
      if (no_system_copy(moved.error())) break;
      return std::move(moved).error();
    }
    if (moved.value() == 0) return IoError::unexpected_eof();
    at += moved.value();
  }
  if (at == to) return Unit{};
  std::vector<uint8_t> buf(size_t(std::min<uint64_t>(COPY_CHUNK, to - at)));
  while (at < to) {
    const size_t n = size_t(std::min<uint64_t>(buf.size(), to - at));
    auto r = read_exact_at(src, buf.data(), n, at);
    if (!r.ok()) return r;
    auto w = write_all(dst, buf.data(), n, IoError::write_zero());
    if (!w.ok()) return w;
    at += n;
  }
  return Unit{};
}

std::string ReplaceError::display() const {
  std::string text = file;
  text.append(": ").append(what).append(": ").append(cause);
  return text;
}

Result<Unit, ReplaceError> save_copy(File& src, uint64_t from, uint64_t to, Directory& dir,
                                     const std::string& name, const std::string& shown) {
  Result<Unit, ReplaceError> done = Unit{};
  {
    auto out = dir.open(name, OpenMode::CreateTruncate);
    if (!out.ok()) {
      // Nothing of ours may stand under the name: a failed open made no file,
      // or an empty one, which goes.
      ReplaceError e = ReplaceError::of(shown, "cannot create", out.error());
      if (dir.entry_type(name).ok()) remove_own_file(dir, name, shown, e);
      return e;
    }
    auto copied = copy_range(src, *out.value(), from, to);
    if (!copied.ok()) {
      done = ReplaceError::of(shown, "cannot copy", copied.error());
    } else if (auto synced = out.value()->sync(); !synced.ok()) {
      done = ReplaceError::of(shown, "cannot sync", synced.error());
    }
  }
  if (!done.ok()) {
    ReplaceError e = done.error();
    remove_own_file(dir, name, shown, e);
    return e;
  }
  auto dir_synced = dir.sync();
  if (!dir_synced.ok()) {
    ReplaceError e = ReplaceError::of(shown, "cannot sync its directory", dir_synced.error());
    remove_own_file(dir, name, shown, e);
    return e;
  }
  return Unit{};
}

namespace {

// The steps up to the rename, on the open temporary file.
Result<uint64_t, ReplaceError> prepare(Directory& dir, const Replacement& r, File& out) {
  auto written = r.write(out);
  if (!written.ok()) return written.error();
  // The owner and mode go first, so that the sync below covers them too.
  if (r.owner_from) {
    auto owned = copy_owner_and_mode(*r.owner_from, out);
    if (!owned.ok()) {
      return ReplaceError::of(r.temp, "cannot take the owner and mode of " + r.name, owned.error());
    }
  }
  auto synced = out.sync();
  if (!synced.ok()) return ReplaceError::of(r.temp, "cannot sync", synced.error());
  if (r.verify) {
    auto reader = dir.open(r.temp, OpenMode::ReadOnly);
    if (!reader.ok()) return ReplaceError::of(r.temp, "cannot open", reader.error());
    auto checked = r.verify(*reader.value(), written.value());
    if (!checked.ok()) return checked.error();
  }
  return written.value();
}

// Whether the file system refuses a hard link for a reason a copy does not
// share: another file system, no hard links at all, too many links, or a
// file the caller may not link.
bool link_refused(const IoError& e) {
  return is_one_of(e, {EXDEV, EPERM, EMLINK, ENOTSUP, EOPNOTSUPP, ENOSYS});
}

// Keeps the whole old file under the backup name, on stable storage. A hard
// link costs no space and no copying: after the rename, the old file is
// reachable only through the backup, and nothing writes to it again. Its
// data may not have reached the disk yet (the engine never syncs), so it
// is synced as a copy would be. When the file system refuses the link, the
// bytes are copied, after a check that the copy fits: the caller counted
// the space for the replacement only.
Result<Unit, ReplaceError> keep_old_file(Directory& dir, const Replacement& r) {
  auto old = dir.open(r.name, OpenMode::ReadOnly);
  if (!old.ok()) return ReplaceError::of(r.name, "cannot read", old.error());
  auto linked = dir.link(r.name, *r.backup_dir, r.backup_name);
  if (linked.ok()) {
    Result<Unit, ReplaceError> synced = Unit{};
    if (auto s = old.value()->sync(); !s.ok()) {
      synced = ReplaceError::of(r.name, "cannot sync", s.error());
    } else if (auto d = r.backup_dir->sync(); !d.ok()) {
      synced = ReplaceError::of(r.backup_shown, "cannot sync its directory", d.error());
    }
    if (!synced.ok()) {
      ReplaceError e = synced.error();
      remove_own_file(*r.backup_dir, r.backup_name, r.backup_shown, e);
      return e;
    }
    return Unit{};
  }
  // A failed link makes no name, so there is nothing to remove.
  if (!link_refused(linked.error())) {
    return ReplaceError::of(r.backup_shown, "cannot link", linked.error());
  }
  auto old_size = old.value()->size();
  if (!old_size.ok()) return ReplaceError::of(r.name, "cannot read", old_size.error());
  auto free = r.backup_dir->free_space();
  if (!free.ok()) return ReplaceError::of(r.backup_shown, "cannot learn the free space", free.error());
  const uint64_t needed = space_for_file(old_size.value());
  if (free.value() < needed) {
    std::string cause = "the file system refuses a hard link (";
    cause.append(linked.error().display()).append(") and a copy needs ");
    cause.append(std::to_string(needed)).append(" bytes, ");
    cause.append(std::to_string(free.value())).append(" are free");
    return ReplaceError{r.backup_shown, "not enough free space", std::move(cause)};
  }
  return save_copy(*old.value(), 0, old_size.value(), *r.backup_dir, r.backup_name,
                   r.backup_shown);
}

// Whether a rename that reported a failure took place all the same: the
// temporary name is gone. Unknown counts as not renamed.
bool renamed_anyway(Directory& dir, const std::string& temp) {
  auto info = dir.entry_type(temp);
  return !info.ok() && info.error().os_code() == ENOENT;
}

}  // namespace

Result<uint64_t, ReplaceFailure> replace_file(Directory& dir, const Replacement& r) {
  uint64_t size = 0;
  bool backed_up = false;
  {
    auto opened = dir.open(r.temp, OpenMode::CreateTruncate);
    if (!opened.ok()) {
      return ReplaceFailure{ReplaceError::of(r.temp, "cannot create", opened.error())};
    }
    auto prepared = prepare(dir, r, *opened.value());
    if (!prepared.ok()) {
      ReplaceError e = prepared.error();
      opened.value().reset();
      remove_own_file(dir, r.temp, r.temp, e);
      return ReplaceFailure{std::move(e)};
    }
    size = prepared.value();
  }
  if (r.backup_dir && dir.entry_type(r.name).ok()) {
    auto saved = keep_old_file(dir, r);
    if (!saved.ok()) {
      ReplaceError e = saved.error();
      remove_own_file(dir, r.temp, r.temp, e);
      return ReplaceFailure{std::move(e)};
    }
    backed_up = true;
  }
  auto renamed = dir.rename(r.temp, r.name);
  if (!renamed.ok() && !renamed_anyway(dir, r.temp)) {
    ReplaceError e = ReplaceError::of(r.temp, "cannot rename", renamed.error());
    remove_own_file(dir, r.temp, r.temp, e);
    // The old file is untouched, so its copy protects nothing.
    if (backed_up) remove_own_file(*r.backup_dir, r.backup_name, r.backup_shown, e);
    return ReplaceFailure{std::move(e)};
  }
  auto dir_synced = dir.sync();
  if (!dir_synced.ok()) {
    return ReplaceFailure{ReplaceError::of(r.name, "cannot sync the directory", dir_synced.error()),
                          true};
  }
  return size;
}

}  // namespace zez
