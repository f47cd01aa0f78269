// What the fuzz targets share: a forward reader over the fuzzer's input
// (every read past the end yields a fixed default, so any input is a whole
// description), the silenced kernel log, and a check that ends the run with
// a message when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "platform/kernel/kernel.h"

namespace fuzz {

class ByteReader {
 public:
  ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return pos_ >= size_; }
  size_t left() const { return empty() ? 0 : size_ - pos_; }

  // The next byte, or `otherwise` once the input is used up.
  uint8_t u8(uint8_t otherwise = 0) { return empty() ? otherwise : data_[pos_++]; }
  // Little-endian integers of the next bytes (missing bytes read as 0). The
  // low part is read first in its own statement: the operands of | may be
  // evaluated in either order.
  uint16_t u16() {
    const uint16_t low = u8();
    return static_cast<uint16_t>(low | u8() << 8);
  }
  uint32_t u32() {
    const uint32_t low = u16();
    return low | uint32_t{u16()} << 16;
  }
  uint64_t u64() {
    const uint64_t low = u32();
    return low | uint64_t{u32()} << 32;
  }

  // Up to `n` bytes copied into `out`; the rest of `out` is left as it is.
  size_t bytes(uint8_t* out, size_t n) {
    size_t take = n < left() ? n : left();
    for (size_t i = 0; i < take; ++i) out[i] = data_[pos_ + i];
    pos_ += take;
    return take;
  }
  // The rest of the input.
  std::string_view rest() {
    std::string_view r(reinterpret_cast<const char*>(data_) + pos_, left());
    pos_ = size_;
    return r;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// The translation layer logs every step; a fuzzer run would drown in it.
// NYX_FUZZ_LOG=1 keeps the log, to follow a reproducer step by step.
inline void silence_kernel_log() {
  const char* keep = std::getenv("NYX_FUZZ_LOG");
  if (keep != nullptr && *keep == '1') return;
  kernel_log_set_sink([](std::string_view) {});
}

// Ends the run (libFuzzer records the input as a crash) when `ok` is false.
inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace fuzz
