#include "tool/publish.h"

#include <algorithm>
#include <cerrno>

#include "db/database_files.h"

namespace zez::tool {

Result<Unit, IoError> put_marker(Directory& dir, std::string_view command) {
  const std::string text =
      cat({"zezavezud ", command, " is writing into this directory; while this file is here, the ",
           command, " has not finished\n"});
  auto f = dir.open(std::string(LOAD_MARKER), OpenMode::CreateTruncate);
  if (!f.ok()) return std::move(f).error();
  return write_all(*f.value(), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                   IoError::write_zero());
}

Result<Unit, IoError> remove_marker(Directory& dir) {
  auto removed = dir.remove(std::string(LOAD_MARKER));
  if (!removed.ok()) return removed;
  return dir.sync();
}

namespace {

// Removes every file of `dir`, the subdirectory `name` of `parent`, then
// `dir` itself. The marker goes last, so that what a failure leaves is still
// marked for the next run to remove.
Result<Unit, IoError> remove_directory_and_files(Directory& parent, const std::string& name,
                                                 Directory& dir) {
  auto names = dir.list();
  if (!names.ok()) return std::move(names).error();
  std::stable_partition(names.value().begin(), names.value().end(),
                        [](const std::string& n) { return n != LOAD_MARKER; });
  for (const std::string& n : names.value()) {
    auto removed = dir.remove(n);
    if (!removed.ok()) return removed;
  }
  // Not forced: undone by a power cut, the removal leaves the marked
  // directory, which the next run removes again.
  return parent.remove_directory(name);
}

}  // namespace

Result<Publisher, Failure> Publisher::open(Platform& platform, const std::string& path,
                                           std::string_view command, std::string_view done) {
  const size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return Failure{path + ": cannot build a database in place of /"};
  const std::string trimmed = path.substr(0, end + 1);
  const size_t slash = trimmed.rfind('/');
  Publisher p;
  p.command_ = std::string(command);
  p.done_ = std::string(done);
  p.path_ = path;
  p.name_ = trimmed.substr(slash + 1);  // all of it when there is no slash: npos + 1 == 0
  p.parent_path_ = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
  if (p.name_ == "." || p.name_ == "..") {
    return Failure{path + ": name the directory by its own name: a " + p.command_ +
                   " renames the database it built onto it, and cannot rename onto \".\" or "
                   "\"..\" (nothing was changed)"};
  }
  p.temp_ = temp_name_of(p.name_);
  p.temp_path_ = trimmed.substr(0, slash + 1) + p.temp_;
  auto opened = platform.open_directory(p.parent_path_);
  if (!opened.ok()) return Failure{p.parent_path_ + ": " + opened.error().display()};
  p.parent_ = std::move(opened).value();
  return p;
}

Result<uint64_t, Failure> Publisher::find_leftover() {
  auto info = parent_->entry_type(temp_);
  if (!info.ok() && info.error().os_code() == ENOENT) return uint64_t(0);
  if (!info.ok()) return Failure{temp_path_ + ": " + info.error().display()};
  const std::string unchanged = "; nothing was changed";
  if (info.value().type != FileType::Directory) {
    return Failure{temp_path_ + " is in the way and is not a directory left by a " + command_ +
                   unchanged};
  }
  auto dir = parent_->open_subdirectory(temp_, false);
  if (!dir.ok()) return Failure{temp_path_ + ": " + dir.error().display() + unchanged};
  if (auto refused = lock_temp(*dir.value(), false)) return *refused;
  auto inside = dir.value()->list();
  if (!inside.ok()) return Failure{temp_path_ + ": " + inside.error().display() + unchanged};
  // An empty one holds nothing to lose (the last step of a removal failed).
  if (!inside.value().empty() && !dir.value()->entry_type(std::string(LOAD_MARKER)).ok()) {
    // The marker goes only once every file is synced, right before the
    // rename: a run cut off between the two left a complete database,
    // which goes where it was meant to go (DIR is missing or empty here).
    const bool only_database_files =
        std::all_of(inside.value().begin(), inside.value().end(),
                    [](const std::string& n) { return database_file_of(n).has_value(); });
    if (!only_database_files) {
      return Failure{temp_path_ + " is there without the \"" + std::string(LOAD_MARKER) +
                     "\" marker and holds files other than a database's; move it away" +
                     unchanged};
    }
    dir.value().reset();
    return finish_leftover();
  }
  uint64_t bytes = 0;
  for (const std::string& name : inside.value()) {
    auto entry = dir.value()->entry_type(name);
    if (entry.ok() && entry.value().type == FileType::Regular) bytes += entry.value().size;
  }
  leftover_ = std::move(dir).value();
  return bytes;
}

Failure Publisher::finish_leftover() {
  const std::string held = temp_path_ + " held the complete database of a " + command_ +
                          " cut off just before its last step";
  auto renamed = parent_->rename(temp_, name_);
  if (!renamed.ok()) {
    return Failure{held + ", and cannot be renamed onto " + path_ + " (" +
                   renamed.error().display() + "); nothing was changed"};
  }
  auto synced = parent_->sync();
  return Failure{held + ": it is now " + path_ +
                 (synced.ok() ? "" : " (the rename may not yet survive a power cut: " +
                                         synced.error().display() + ")") +
                 "; nothing else was " + done_ + " (" + path_ + " is no longer empty)"};
}

std::optional<Failure> Publisher::lock_temp(Directory& dir, bool made) {
  auto locked = dir.lock_exclusive();
  if (!locked.ok()) {
    // Made by this run, it is still empty: it goes.
    if (made) (void)parent_->remove_directory(temp_);
    return Failure{temp_path_ + ": cannot lock it (" + locked.error().display() +
                   "); nothing was changed"};
  }
  if (locked.value() == LockStatus::WouldBlock) {
    // Another run's, even one made at the same moment: it stays.
    return Failure{temp_path_ + " is in use: another " + command_ +
                   " is running; nothing was changed"};
  }
  return std::nullopt;
}

Result<std::unique_ptr<Directory>, Failure> Publisher::hold_target(Platform& platform) {
  auto info = parent_->entry_type(name_);
  if (!info.ok() && info.error().os_code() == ENOENT) return std::unique_ptr<Directory>();
  auto held = open_for_writing(platform, path_);
  if (!held.ok()) return held.error();
  auto names = held.value()->list();
  if (!names.ok()) return Failure{path_ + ": " + names.error().display()};
  if (!names.value().empty()) {
    return Failure{path_ + " is not empty; nothing was changed"};
  }
  return held;
}

Result<Directory*, Failure> Publisher::make_temp(uint64_t needed, Console& console) {
  auto leftover = find_leftover();
  if (!leftover.ok()) return leftover.error();
  // The marker and the new directory's own blocks besides the files.
  needed = saturating_add(needed, 2 * space_for_file(0));
  const uint64_t freed = leftover.value();
  auto space = check_free_space(*parent_, needed > freed ? needed - freed : 0, command_, path_);
  if (!space.ok()) return space.error();
  if (leftover_) {
    auto removed = remove_directory_and_files(*parent_, temp_, *leftover_);
    if (!removed.ok()) {
      return Failure{temp_path_ + ": cannot remove this leftover of a " + command_ +
                     " that did not finish: " + removed.error().display() + "; nothing was " +
                     done_};
    }
    leftover_.reset();
    console.err("note: removed " + temp_path_ + ", left by a " + command_ +
                " that did not finish");
  }
  Directory& parent = *parent_;
  auto made = parent.open_subdirectory(temp_, true);
  if (!made.ok()) return Failure{temp_path_ + ": cannot make it: " + made.error().display()};
  if (auto refused = lock_temp(*made.value(), true)) return *refused;
  temp_dir_ = std::move(made).value();
  // Nothing is forced yet: a power cut that undoes the new directory, or
  // its entries, leaves nothing, or a directory that is empty or marked,
  // which the next run removes. Only its end is forced, in publish().
  auto marked = put_marker(*temp_dir_, command_);
  if (!marked.ok()) {
    return Failure{temp_path_ + ": cannot mark it as a " + command_ + " in progress: " +
                   marked.error().display() + abandon()};
  }
  return temp_dir_.get();
}

std::string Publisher::abandon() {
  if (remove_directory_and_files(*parent_, temp_, *temp_dir_).ok()) {
    return "; nothing was written to the target";
  }
  return "; " + temp_path_ + " is left over, with its marker, and the next " + command_ +
         " removes it";
}

Result<Unit, Failure> Publisher::publish() {
  auto unmarked = remove_marker(*temp_dir_);
  if (!unmarked.ok()) {
    return Failure{temp_path_ + ": cannot remove the marker: " + unmarked.error().display() +
                   abandon()};
  }
  auto renamed = parent_->rename(temp_, name_);
  if (!renamed.ok()) {
    return Failure{path_ + ": cannot rename " + temp_path_ + " onto it: " +
                   renamed.error().display() + "; the complete database stays in " + temp_path_};
  }
  auto parent_synced = parent_->sync();
  if (!parent_synced.ok()) {
    return Failure{path_ + ": " + done_ + ", but " + parent_path_ +
                   " cannot be synced (" + parent_synced.error().display() +
                   "): the rename may not survive a power cut"};
  }
  return Unit{};
}

}  // namespace zez::tool
