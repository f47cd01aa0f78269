// Bring-up and teardown of one partition record over an MTD device: the
// geometry checks, the chip record, the block-record table, the parameters,
// the head-mark probe, the format of an unmarked partition and the mount
// scan. Whatever bring-up allocated is released again when it fails.
#include <cstring>

#include "nyx_nftl.h"

namespace {

constexpr uint32 kMinBlocks = 17;      // fewer blocks do not make a partition
constexpr uint32 kMaxBlocks = 65535;   // block numbers are 16-bit
constexpr uint32 kMinSpareBytes = 10;  // the spare record needs 10 free OOB bytes
constexpr uint16 kRatedEraseTimes = NYX_MAX_ERASE_TIMES;

// Releases whatever a partition record holds, in the reverse order of
// bring-up; fields not yet allocated are null.
void release_partition(nyx_nftl_part_t* part) {
  part_param_exit(part);
  if (part->nand_chip != nullptr) {
    kfree(part->nand_chip->nand_block_info);
    kfree_record(part->nand_chip);
  }
  kfree_record(part);
}

// Page and block shapes that the records can hold. Beyond the block count:
// a page holds whole sectors (at most 255 of them, as sector_per_page is
// 8-bit, and its size fits the 16-bit bytes_per_page), a block holds whole
// pages, at most the reverse map's 1024 of them, and the mapping page holds
// the block's whole reverse map. A power-of-two erase size makes the block
// count derived from the erase shift exact.
bool geometry_fits(const mtd_info* mtd) {
  uint32 writesize = mtd->writesize;
  uint32 erasesize = mtd->erasesize;
  if (writesize < 512 || writesize % 512 != 0 || writesize / 512 > 255 || writesize > 0xFFFF) {
    return false;
  }
  if (erasesize == 0 || (erasesize & (erasesize - 1)) != 0 || erasesize % writesize != 0) return false;
  uint32 pages_per_blk = erasesize / writesize;
  // A block needs at least one data page besides its mapping page.
  return pages_per_blk >= 2 && pages_per_blk <= NYX_MAX_PAGES_PER_BLK &&
         4 * pages_per_blk <= writesize;
}

}  // namespace

int nyx_nftl_part_attach(mtd_info* mtd, nyx_nftl_part_t** out) {
  if (mtd->oobavail < kMinSpareBytes) return -1;

  nyx_nftl_part_t* part = kzalloc_record<nyx_nftl_part_t>();
  if (part == nullptr) return -ENOMEM;
  nand_chip_t* chip = kzalloc_record<nand_chip_t>();
  if (chip == nullptr) {
    kfree_record(part);
    return -ENOMEM;
  }
  part->nand_chip = chip;
  mutex_init(&part->nyx_nftl_lock);
  part->mtd = mtd;

  chip->bytes_per_page = static_cast<uint16>(mtd->writesize);
  chip->bytes_user_date = static_cast<uchar>(mtd->oobavail);

  if (!geometry_fits(mtd)) {
    release_partition(part);
    return -1;
  }
  uint32 erase_shift = static_cast<uint32>(__builtin_ctz(mtd->erasesize));
  uint32 total_blocks = static_cast<uint32>(mtd->size >> erase_shift);
  if (total_blocks < kMinBlocks || total_blocks > kMaxBlocks) {
    release_partition(part);
    return -1;
  }

  chip->blk_per_chip = static_cast<uint16>(total_blocks);
  chip->pages_per_blk = static_cast<uint16>(mtd->erasesize / mtd->writesize);
  chip->sector_per_page = static_cast<uchar>(mtd->writesize / 512);
  chip->bitmap_per_page = chip->sector_per_page;
  chip->max_erase_times = kRatedEraseTimes;

  // Reserve: an eighth of the blocks, at least 32, but half of a partition
  // too small to spare 32.
  uint32 reserve = static_cast<uint16>(total_blocks / 8);
  if (reserve < 32) reserve = 32;
  if (reserve >= total_blocks) reserve = static_cast<uint16>(total_blocks / 2);
  part->free_block_num = static_cast<uint16>(reserve);
  printk("nftl start%d,%d\n", static_cast<int>(total_blocks), static_cast<int>(reserve));

  // Each block holds pages_per_blk - 1 logical pages (its last page is the
  // mapping page), while the capacity above counts pages_per_blk per logical
  // block. With 8 or fewer pages per block that promises more than the flash
  // holds, and writes near the end of the disk would fail for want of free
  // blocks. For a partition the mount can serve (15 spare blocks or more),
  // the logical blocks are lowered until their pages fit in the data pages
  // of all blocks but the head mark's and 8 more left as room for
  // collection. With 16 or more pages per block the rule above already
  // leaves that room and nothing changes.
  uint32 logical_blocks = total_blocks - reserve;
  if (total_blocks - 1 - logical_blocks >= 15) {
    uint32 pages_per_blk = chip->pages_per_blk;
    uint32 fit = (total_blocks - 9) * (pages_per_blk - 1) / pages_per_blk;
    if (logical_blocks > fit) {
      logical_blocks = fit;
      reserve = total_blocks - logical_blocks;
      part->free_block_num = static_cast<uint16>(reserve);
    }
  }

  auto* table = static_cast<_phy_block_info*>(kzalloc(sizeof(_phy_block_info) * (total_blocks + 1)));
  if (table == nullptr) {
    release_partition(part);
    return -ENOMEM;
  }
  std::memset(table, 0xFF, sizeof(_phy_block_info) * total_blocks);
  for (uint32 i = 0; i <= total_blocks; ++i) {
    table[i].phy_block.blkNO_in_chip = static_cast<uint16>(i);
    table[i].invalid_page_count = 0;
    table[i].invalid_page_next = nullptr;
    table[i].invalid_page_prev = nullptr;
    table[i].free_next = nullptr;
    table[i].block_used_next = nullptr;
    table[i].block_used_prev = nullptr;
  }
  chip->nand_block_info = table;

  uint32 sectors_per_block = mtd->erasesize >> 9;
  if (part_param_init(part, 0, sectors_per_block * (total_blocks - reserve),
                      sectors_per_block * reserve) != 0) {
    release_partition(part);
    return -ENOMEM;
  }

  // The scan's outcome does not stop bring-up: the record tells whether the
  // partition has a current block.
  if (is_no_use_device(part) == 1) create_part_list_first(part);
  create_part_list(part);

  *out = part;
  return 0;
}

void nyx_nftl_part_detach(nyx_nftl_part_t* part) {
  if (part == nullptr) return;
  release_partition(part);
}
