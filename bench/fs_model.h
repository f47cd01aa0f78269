// The filesystem-like workloads' view of the disk, in 4 KiB blocks: the
// 64 KiB extents W5 trims, and W6's files (their sizes, a next-fit
// allocator, and the create, rewrite and delete operations that keep the
// disk between 40% and 60% full). Bookkeeping only: the workloads turn the
// extents into sector writes and trims.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/splitmix64.h"

namespace bench {

constexpr uint32_t kFsBlockBytes = 4096;

// A run of `count` blocks from block `start`.
struct Extent {
  uint32_t start = 0;
  uint32_t count = 0;
};

// `wanted` of the numbers 0 .. total - 1, drawn without replacement (a
// partial Fisher-Yates shuffle), in the order drawn.
std::vector<uint32_t> draw_without_replacement(uint32_t total, uint32_t wanted, SplitMix64& rng);

// W6's files on a disk of `blocks` blocks.
class FileChurn {
 public:
  enum class Kind { kCreate, kRewrite, kDelete };
  // One file operation: the file's blocks, in the order they are written
  // (create, rewrite) or that it gave back (delete).
  struct Op {
    Kind kind = Kind::kCreate;
    std::vector<Extent> extents;
  };

  FileChurn(uint32_t blocks, uint64_t seed);

  // A new file of a random size, 16 KiB to 4 MiB.
  Op create();
  // The next operation: a create below 40% full, a delete where a create
  // would pass 60%, else create, rewrite or delete alike.
  Op next();
  // Blocks in use over all blocks.
  double fullness() const { return double(used_blocks_) / double(used_.size()); }

 private:
  Op create_sized(uint32_t blocks);
  Op rewrite();
  Op remove();
  uint32_t random_size();
  std::vector<Extent> allocate(uint32_t blocks);
  void release(const std::vector<Extent>& extents);

  std::vector<bool> used_;  // per block
  uint32_t used_blocks_ = 0;
  uint32_t cursor_ = 0;  // where the next allocation starts looking
  std::vector<std::vector<Extent>> files_;
  SplitMix64 rng_;
};

}  // namespace bench
