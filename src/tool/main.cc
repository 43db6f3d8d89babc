// The maintenance program: `zezavezud check|repair|compact|stats|dump|load|backup`.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "tool/tool.h"

namespace {

// The standard streams. Progress is drawn only on a terminal, only once the
// command has run for a second (a quick command stays quiet), at most ten
// times a second, on one line that each update overwrites.
class StdConsole final : public zez::tool::Console {
 public:
  StdConsole() : progress_shown_(::isatty(STDERR_FILENO) == 1) {}
  ~StdConsole() override { clear_progress(); }

  void out(std::string_view text) override {
    clear_progress();  // both streams may be the same terminal
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void err(std::string_view line) override {
    clear_progress();
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
  }
  void progress(std::string_view what, uint64_t done, uint64_t total) override {
    if (!progress_shown_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - started_ < std::chrono::seconds(1) ||
        now - last_drawn_ < std::chrono::milliseconds(100)) {
      return;
    }
    last_drawn_ = now;
    unsigned percent = total == 0 ? 100 : unsigned(done * 100 / total);
    if (percent == last_percent_ && what == last_what_) return;
    last_percent_ = percent;
    last_what_ = std::string(what);
    std::fprintf(stderr, "\r%.*s %3u%%", int(what.size()), what.data(), percent);
    std::fflush(stderr);
    line_open_ = true;
  }
  zez::Result<size_t, zez::IoError> read_input(char* dst, size_t n) override {
    size_t got = std::fread(dst, 1, n, stdin);
    if (got == 0 && std::ferror(stdin)) return zez::IoError::os(errno);
    return got;
  }

 private:
  void clear_progress() {
    if (!line_open_) return;
    std::fputs("\r\033[K", stderr);
    line_open_ = false;
  }

  bool progress_shown_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_drawn_{};
  bool line_open_ = false;
  unsigned last_percent_ = 101;
  std::string last_what_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  StdConsole console;
  int status = zez::tool::run_tool(zez::system_platform(), args, console);
  if (std::fflush(stdout) != 0) {
    console.err("zezavezud: cannot write the output");
    status |= zez::tool::EXIT_OPERATIONAL;
  }
  return status;
}
