// A partition attached for inspection (detached again when the holder goes)
// and the numbers the commands show about it: block kinds, erase counts,
// capacities, thresholds and the write position.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "platform/status.h"

namespace cli {

// Owns an attached partition record.
class AttachedPart {
 public:
  static Result<AttachedPart> attach(mtd_info* mtd);
  AttachedPart(AttachedPart&& other) noexcept : part_(other.part_) { other.part_ = nullptr; }
  AttachedPart& operator=(AttachedPart&&) = delete;
  AttachedPart(const AttachedPart&) = delete;
  ~AttachedPart();

  nyx_nftl_part_t* get() const { return part_; }

 private:
  explicit AttachedPart(nyx_nftl_part_t* part) : part_(part) {}
  nyx_nftl_part_t* part_;
};

enum class BlockKind { Bad, Free, Current, Full, HeadMark, Other };
const char* block_kind_name(BlockKind kind);

struct BlockState {
  uint32_t number;  // within the partition
  BlockKind kind;
  uint32_t erase_count;
  uint32_t invalid_pages;
};

struct PartStats {
  uint32_t total_blocks = 0;  // blocks of the partition's table
  uint32_t good_blocks = 0;
  uint32_t bad_blocks = 0;
  uint32_t free_blocks = 0;  // on the free list
  uint32_t data_blocks = 0;  // full blocks and the current block
  uint32_t full_blocks = 0;
  uint32_t pages_per_block = 0;
  uint32_t page_size = 0;
  uint64_t logic_sectors = 0;
  uint64_t reserve_sectors = 0;
  uint32_t reserve_blocks = 0;
  uint32_t start_gc_free_blocks = 0;
  uint32_t stop_gc_free_blocks = 0;
  bool has_current = false;
  uint32_t current_block = 0;
  uint32_t current_page = 0;    // next page the write path fills
  uint32_t counted_blocks = 0;  // free, current and full: the erase numbers' blocks
  uint32_t erase_min = 0;
  uint32_t erase_max = 0;
  double erase_mean = 0;
  std::vector<BlockState> blocks;
};

PartStats collect_stats(const nyx_nftl_part_t* part);

}  // namespace cli
