#include "db/replace_file.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace zez {

namespace {

// Bytes copied per read: few system calls, memory that does not grow with
// the file.
constexpr size_t COPY_CHUNK = size_t(1) << 20;

// Removes a file this call made and no longer wants; when that fails, the
// error tells the operator what is left over.
void remove_own_file(Directory& dir, const std::string& name, const std::string& shown,
                     ReplaceError& error) {
  if (!dir.remove(name).ok()) error.cause.append(" (").append(shown).append(" is left over)");
}

}  // namespace

Result<Unit, IoError> copy_range(File& src, File& dst, uint64_t from, uint64_t to) {
  std::vector<uint8_t> buf(size_t(std::min<uint64_t>(COPY_CHUNK, to - from)));
  for (uint64_t at = from; at < to;) {
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
    Result<Unit, ReplaceError> saved = Unit{};
    auto old = dir.open(r.name, OpenMode::ReadOnly);
    auto old_size = old.ok() ? old.value()->size() : Result<uint64_t, IoError>(old.error());
    if (!old_size.ok()) {
      saved = ReplaceError::of(r.name, "cannot read", old_size.error());
    } else {
      saved = save_copy(*old.value(), 0, old_size.value(), *r.backup_dir, r.backup_name,
                        r.backup_shown);
    }
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
