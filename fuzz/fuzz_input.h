// Fuzz targets: reading numbers and byte runs from the fuzzer's input (zeros past its end), and
// checks that stop the run with the failed condition's line, so that a finding says what broke.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qmx_fuzz {

inline void require_at(bool condition, const char* target, int line) {
  if (!condition) {
    std::fprintf(stderr, "%s: check on line %d failed\n", target, line);
    std::abort();
  }
}

class reader {
public:
  reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return position_ >= size_; }
  std::uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }
  std::uint32_t u16() { return byte() | (static_cast<std::uint32_t>(byte()) << 8); }
  std::uint32_t u32() { return u16() | (u16() << 16); }
  // Up to `n` bytes of the input (fewer at its end).
  std::string_view bytes(std::size_t n) {
    n = std::min(n, size_ - std::min(position_, size_));
    const std::string_view out(reinterpret_cast<const char*>(data_) + position_, n);
    position_ += n;
    return out;
  }

private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

} // namespace qmx_fuzz

// QMX_FUZZ_TARGET names the target in the message of a failed check.
#define require(condition) ::qmx_fuzz::require_at((condition), QMX_FUZZ_TARGET, __LINE__)
