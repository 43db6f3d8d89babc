// One target key that N records link to, half of them then deleted: the
// time per delete, the time of the first backlinks() after a reopen (which
// replays the whole backlink file), and, beside it, the time the engine's
// scanner takes just to read that file, all in processor time.
// Standalone; not part of the tests.
//
//   g++ -O2 -std=c++20 -I src bench/hot_target.cc build/engine/libengine.a -o build/hot_target
//   build/hot_target /tmp/hot-target 5000 20000 100000 1000000
//
// Prints one line per N: rows, microseconds per delete, milliseconds for
// the first backlinks() after reopen, milliseconds to scan the file, and
// the ratio of the two. Deletes may be capped (MAX_TIMED_DELETES in the
// environment) for builds where they take too long; the rest of the half
// is then left out and the reopen is not measured.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/backlink_file.h"
#include "db/database.h"

namespace {

// Processor time of this process (user and system): on a machine shared
// with other work, wall-clock time mostly measures the others.
struct Clock {
  using time_point = double;
  static double now() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
  }
};

double seconds_since(double start) { return Clock::now() - start; }

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "failed: %s\n", what);
    std::exit(1);
  }
}

std::string key_of(long i) { return "task-" + std::to_string(i); }

void run(const std::string& dir, long n, long max_deletes) {
  std::filesystem::remove_all(dir);
  auto opened = zez::Database::open(dir);
  check(opened.ok(), "open");
  std::unique_ptr<zez::Database> db = std::move(opened).value();
  db->begin();
  for (long i = 0; i < n; ++i) {
    check(db->set("tasks", key_of(i), zez::Value::link("users/hot")).ok(), "set");
  }
  check(db->commit().ok(), "commit");

  long deletes = 0;
  const auto deleting = Clock::now();
  for (long i = 0; i < n && deletes < max_deletes; i += 2, ++deletes) {
    check(db->remove("tasks", key_of(i)).ok(), "delete");
  }
  const double per_delete_us = seconds_since(deleting) * 1e6 / double(deletes);
  db.reset();
  const bool whole_half = deletes == (n + 1) / 2;

  const std::string path = dir + "/users.qbl";
  auto directory = zez::system_platform().open_directory(dir);
  check(directory.ok(), "directory");
  auto file = directory.value()->open("users.qbl", zez::OpenMode::ReadOnly);
  check(file.ok(), "file");
  long records = 0;
  const auto scanning = Clock::now();
  zez::ScanEnd end = zez::scan_backlink_file(*file.value(), [&](const zez::BacklinkRecordView&) {
    ++records;
    return true;
  });
  const double scan_ms = seconds_since(scanning) * 1e3;
  check(end.stop == zez::ScanStop::End, "scan");

  double first_query_ms = 0;
  if (whole_half) {
    auto reopened = zez::Database::open(dir);
    check(reopened.ok(), "reopen");
    const auto querying = Clock::now();
    auto rows = reopened.value()->backlinks("users", "hot");
    first_query_ms = seconds_since(querying) * 1e3;
    check(rows.ok() && long(rows.value().size()) == n / 2, "rows after reopen");
  }
  std::printf("%9ld rows  %8.2f us/delete (%ld timed)  ", n, per_delete_us, deletes);
  if (whole_half) {
    std::printf("first backlinks() %9.1f ms  scan %8.1f ms (%ld records)  ratio %.2f\n",
                first_query_ms, scan_ms, records, first_query_ms / scan_ms);
  } else {
    std::printf("reopen not measured (deletes capped)\n");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DIR N...\n", argv[0]);
    return 2;
  }
  const char* cap = std::getenv("MAX_TIMED_DELETES");
  const long max_deletes = cap ? std::atol(cap) : __LONG_MAX__;
  for (int i = 2; i < argc; ++i) run(argv[1], std::atol(argv[i]), max_deletes);
  if (!std::getenv("KEEP")) std::filesystem::remove_all(argv[1]);
  return 0;
}
