#include "db/file.h"

namespace zez {

Result<Unit, IoError> read_exact(File& f, uint8_t* dst, size_t n) {
  while (n > 0) {
    auto r = f.read(dst, n);
    if (!r.ok()) return std::move(r).error();
    if (r.value() == 0) return IoError::unexpected_eof();
    dst += r.value();
    n -= r.value();
  }
  return Unit{};
}

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

}  // namespace zez
