// Attaching a partition for inspection and reading its numbers out of the
// partition record and its block table.
#include "part_stats.h"

#include <algorithm>

namespace cli {

Result<AttachedPart> AttachedPart::attach(mtd_info* mtd) {
  nyx_nftl_part_t* part = nullptr;
  int ret = nyx_nftl_part_attach(mtd, &part);
  if (ret == -1) {
    return Status::InvalidArgument("the partition does not qualify for the translation layer");
  }
  if (ret != 0) return Status::FromErrno(-ret, "attach failed with error " + std::to_string(ret));
  return AttachedPart(part);
}

AttachedPart::~AttachedPart() {
  if (part_ != nullptr) nyx_nftl_part_detach(part_);
}

const char* block_kind_name(BlockKind kind) {
  switch (kind) {
    case BlockKind::Bad:
      return "bad";
    case BlockKind::Free:
      return "free";
    case BlockKind::Current:
      return "current";
    case BlockKind::Full:
      return "full";
    case BlockKind::HeadMark:
      return "head mark";
    case BlockKind::Other:
      return "other";
  }
  return "other";
}

PartStats collect_stats(const nyx_nftl_part_t* part) {
  PartStats s;
  const nand_chip_t* chip = part->nand_chip;
  s.total_blocks = chip->blk_per_chip;
  s.pages_per_block = chip->pages_per_blk;
  s.page_size = chip->bytes_per_page;
  s.logic_sectors = part->logic_cap_in_sects;
  s.reserve_sectors = part->backup_cap_in_sects;
  const uint64_t sectors_per_block = uint64_t(chip->sector_per_page) * chip->pages_per_blk;
  s.reserve_blocks =
      sectors_per_block == 0 ? 0 : static_cast<uint32_t>(s.reserve_sectors / sectors_per_block);
  s.start_gc_free_blocks = part->gc_strategy.start_gc_free_blocks;
  s.stop_gc_free_blocks = part->gc_strategy.stop_gc_free_blocks;
  s.free_blocks = part->free_block_num;
  if (part->part_current_used_block != nullptr) {
    s.has_current = true;
    s.current_block = part->part_current_used_block->phy_block.blkNO_in_chip;
    s.current_page = part->current_block_used_page;
  }
  // Blocks before the scan's start that are not bad hold the head mark.
  const _phy_block_info* table = chip->nand_block_info;
  const uint32_t start = part->part_start_phy_block != nullptr
                             ? static_cast<uint32_t>(part->part_start_phy_block - table)
                             : 0;

  uint64_t erase_sum = 0;
  bool first = true;
  for (uint32_t i = 0; i < s.total_blocks; ++i) {
    const _phy_block_info& b = table[i];
    BlockState state{i, BlockKind::Other, b.erase_count, b.invalid_page_count};
    if (b.info == NYX_BLOCK_BAD) {
      state.kind = BlockKind::Bad;
    } else if (&b == part->part_current_used_block) {
      state.kind = BlockKind::Current;
    } else if (i < start) {
      state.kind = BlockKind::HeadMark;
    } else if (b.info == NYX_BLOCK_FREE) {
      state.kind = BlockKind::Free;
    } else if (b.info == NYX_BLOCK_DATA) {
      state.kind = BlockKind::Full;
    }
    s.blocks.push_back(state);
    switch (state.kind) {
      case BlockKind::Bad:
        ++s.bad_blocks;
        break;
      case BlockKind::Current:
        ++s.data_blocks;
        break;
      case BlockKind::Full:
        ++s.data_blocks;
        ++s.full_blocks;
        break;
      default:
        break;
    }
    if (state.kind == BlockKind::Bad) continue;
    ++s.good_blocks;
    // The head-mark block is never erased by the write path and keeps no
    // erase count of its own; it stays out of the wear numbers.
    if (state.kind == BlockKind::HeadMark || state.kind == BlockKind::Other) continue;
    ++s.counted_blocks;
    erase_sum += state.erase_count;
    if (first || state.erase_count < s.erase_min) s.erase_min = state.erase_count;
    if (first || state.erase_count > s.erase_max) s.erase_max = state.erase_count;
    first = false;
  }
  s.erase_mean = s.counted_blocks == 0 ? 0 : double(erase_sum) / s.counted_blocks;
  return s;
}

}  // namespace cli
