// splitmix64: a small, fast, seeded generator, the same on every machine, for
// reproducible workloads (benchmarks, seeded tests).
#pragma once

#include <cstdint>

class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n) from the high 32 bits of r: ((r >> 32) * n) >> 32.
  static uint32_t scale(uint64_t r, uint32_t n) { return uint32_t(((r >> 32) * n) >> 32); }
  uint32_t below(uint32_t n) { return scale(next(), n); }

 private:
  uint64_t state_;
};
