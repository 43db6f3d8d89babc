// A Console that collects what a subcommand writes, and feeds it standard
// input from a string: the tool's tests and fuzz targets run subcommands
// through it.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "tool/tool.h"

namespace zez::tool {

class StringConsole final : public Console {
 public:
  void out(std::string_view text) override { stdout_.append(text); }
  void err(std::string_view line) override {
    stderr_.append(line);
    stderr_.push_back('\n');
  }
  void progress(std::string_view, uint64_t, uint64_t) override {}
  Result<size_t, IoError> read_input(char* dst, size_t n) override {
    size_t k = std::min(n, stdin_.size() - stdin_read_);
    stdin_.copy(dst, k, stdin_read_);
    stdin_read_ += k;
    return k;
  }
  void set_input(std::string text) { stdin_ = std::move(text), stdin_read_ = 0; }
  const std::string& stdout_text() const { return stdout_; }
  const std::string& stderr_text() const { return stderr_; }

 private:
  std::string stdout_;
  std::string stderr_;
  std::string stdin_;
  size_t stdin_read_ = 0;
};

}  // namespace zez::tool
