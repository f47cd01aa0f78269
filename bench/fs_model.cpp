// The filesystem-like workloads' extents and files.
#include "fs_model.h"

#include <utility>

namespace bench {

namespace {

constexpr uint32_t kSmallestFile = 16 * 1024 / kFsBlockBytes;
constexpr uint32_t kLargestFile = 4 * 1024 * 1024 / kFsBlockBytes;

}  // namespace

std::vector<uint32_t> draw_without_replacement(uint32_t total, uint32_t wanted, SplitMix64& rng) {
  std::vector<uint32_t> pool(total);
  for (uint32_t i = 0; i < total; ++i) pool[i] = i;
  for (uint32_t i = 0; i < wanted && i < total; ++i) {
    std::swap(pool[i], pool[i + rng.below(total - i)]);
  }
  pool.resize(wanted < total ? wanted : total);
  return pool;
}

FileChurn::FileChurn(uint32_t blocks, uint64_t seed) : used_(blocks, false), rng_(seed) {}

FileChurn::Op FileChurn::create() { return create_sized(random_size()); }

FileChurn::Op FileChurn::next() {
  const uint64_t low = uint64_t(used_.size()) * 2 / 5;
  const uint64_t high = uint64_t(used_.size()) * 3 / 5;
  if (files_.empty() || used_blocks_ < low) return create();
  switch (rng_.below(3)) {
    case 0: {
      const uint32_t size = random_size();
      return used_blocks_ + size > high ? remove() : create_sized(size);
    }
    case 1:
      return rewrite();
    default:
      return remove();
  }
}

FileChurn::Op FileChurn::create_sized(uint32_t blocks) {
  files_.push_back(allocate(blocks));
  return {Kind::kCreate, files_.back()};
}

FileChurn::Op FileChurn::rewrite() { return {Kind::kRewrite, files_[rng_.below(files_.size())]}; }

FileChurn::Op FileChurn::remove() {
  const uint32_t i = rng_.below(files_.size());
  Op op{Kind::kDelete, std::move(files_[i])};
  files_[i] = std::move(files_.back());
  files_.pop_back();
  release(op.extents);
  return op;
}

// Even odds for each doubling from the smallest size up, uniform within it:
// small files are many, large ones hold most of the bytes.
uint32_t FileChurn::random_size() {
  uint32_t octaves = 0;
  while ((kSmallestFile << octaves) < kLargestFile) ++octaves;
  const uint32_t base = kSmallestFile << rng_.below(octaves);
  return base + rng_.below(base + 1);
}

// Next fit: the first free blocks from where the last allocation ended,
// wrapping at the disk's end, so that in time every block is written.
std::vector<Extent> FileChurn::allocate(uint32_t blocks) {
  std::vector<Extent> extents;
  const uint32_t total = uint32_t(used_.size());
  uint32_t pos = cursor_;
  for (uint32_t scanned = 0; blocks > 0 && scanned < total; ++scanned) {
    if (!used_[pos]) {
      used_[pos] = true;
      ++used_blocks_;
      --blocks;
      if (!extents.empty() && extents.back().start + extents.back().count == pos) {
        extents.back().count++;
      } else {
        extents.push_back({pos, 1});
      }
    }
    pos = pos + 1 == total ? 0 : pos + 1;
  }
  cursor_ = pos;
  return extents;
}

void FileChurn::release(const std::vector<Extent>& extents) {
  for (const Extent& e : extents) {
    for (uint32_t b = e.start; b < e.start + e.count; ++b) used_[b] = false;
    used_blocks_ -= e.count;
  }
}

}  // namespace bench
