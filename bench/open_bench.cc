// Time to open a database of many small records, and memory per live key
// after open. Standalone; not part of the test run.
//
//   g++ -O2 -std=c++20 -I src bench/open_bench.cc build/rel/libengine.a -o build/open_bench
//   build/open_bench /tmp/open-bench-db 1000000
//
// The database is written by a child process, so that the memory it used
// does not hide the growth measured around the open.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "db/database.h"

namespace {

long resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

std::string key_of(long i) { return "user-" + std::to_string(i); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DIR RECORDS\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  long n = std::atol(argv[2]);
  std::filesystem::remove_all(dir);
  pid_t child = fork();
  if (child == 0) {
    auto db = zez::Database::open(dir);
    if (!db.ok()) return 1;
    db.value()->begin();
    for (long i = 0; i < n; ++i) {
      zez::Map m;
      m.insert("n", zez::Value::integer(i));
      m.insert("name", zez::Value::text("name " + std::to_string(i)));
      if (!db.value()->set("users", key_of(i), zez::Value::map(std::move(m))).ok()) return 1;
    }
    if (!db.value()->commit().ok()) return 1;
    return 0;
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || status != 0) return 1;
  std::printf("file: %ju bytes for %ld records\n",
              uintmax_t(std::filesystem::file_size(dir + "/users.qdb")), n);
  long before = resident_bytes();
  auto start = std::chrono::steady_clock::now();
  auto db = zez::Database::open(dir);
  auto took = std::chrono::steady_clock::now() - start;
  if (!db.ok()) return 1;
  long after = resident_bytes();
  std::printf("open: %.1f ms\n", std::chrono::duration<double, std::milli>(took).count());
  std::printf("memory: %.1f bytes per live key (RSS delta %ld bytes)\n",
              double(after - before) / double(n), after - before);
  auto v = db.value()->get("users", key_of(n / 2));
  std::printf("check: %s\n", v.ok() ? v.value().debug_text().c_str() : v.error().display().c_str());
  return 0;
}
