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
  ~StdConsole() override { clear_progress(); }

  void out(std::string_view text) override {
    clear_progress();  // both streams may be the same terminal
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  void err(std::string_view line) override {
    clear_progress();
    std::fprintf(stderr, "%.*s\n", int(line.size()), line.data());
  }
  void progress(std::string_view what, uint64_t done, uint64_t total) override {
    auto now = std::chrono::steady_clock::now();
    if (!on_terminal_ || now - started_ < std::chrono::seconds(1) ||
        now - last_drawn_ < std::chrono::milliseconds(100)) {
      return;
    }
    last_drawn_ = now;
    unsigned percent = total == 0 ? 100 : unsigned(done * 100 / total);
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
    if (line_open_) std::fputs("\r\033[K", stderr);
    line_open_ = false;
  }

  const bool on_terminal_ = ::isatty(STDERR_FILENO) == 1;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_drawn_{};
  bool line_open_ = false;
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
