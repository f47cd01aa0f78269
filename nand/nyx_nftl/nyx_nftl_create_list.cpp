// Mounting a partition: its parameters and working memory, the head-mark
// probe, the first-time format, and the attach-time scan that rebuilds the
// logical page map, the block lists, the current write position and the
// collection thresholds from the spare records and mapping pages on flash;
// also the replay of a write-error recovery that a power loss interrupted.
#include <algorithm>
#include <cstring>
#include <vector>

#include "nyx_nftl.h"

namespace {

constexpr uint32 kUnlimitedBlocks = 0xFFFFFFFF;
constexpr uint16 kMinSpareBlocks = 15;
// The greedy collection policy's low mark on free blocks (see nyx_nftl_gc):
// room for a fresh current block, an erase failure, a write-error recovery,
// a whole-block reclaim and a collection step's own moves, with no more
// spare room held back than that. Even the smallest partition served (15
// spare blocks) has it.
constexpr uint16 kGreedyLowMark = 6;

// Reads page `page` of `block`: main data into temp_page_buf (or none when
// `with_main` is false) and the spare record into `spare`. Returns whether
// the record can be trusted. A page that still reads back uncorrectable
// after its tries was damaged by a torn program or erase (the power went
// during it), and its spare record is not acted on: the torn bits can make
// it look erased, or like a record it never was. Such a page is never
// programmed again before its block is erased.
bool read_page_record(nyx_nftl_part_t* part, uint16 block, uint16 page, uchar* spare,
                      bool with_main = true) {
  _physic_op_par p =
      nyx_nftl_page_par(part, block, page, with_main ? part->temp_page_buf : nullptr, spare);
  return nand_read_ok(nand_read_page_tries(part, &p));
}

// Whether any of a few reads of page 0 of `block`, which does not read back
// cleanly, shows the end mark: a failed read may hand back the record with
// some bits flipped, not always the same ones.
bool end_mark_seen(nyx_nftl_part_t* part, uint16 block) {
  uchar spare[NYX_SPARE_BYTES];
  for (int attempt = 0; attempt < NYX_READ_TRIES; ++attempt) {
    _physic_op_par p = nyx_nftl_page_par(part, block, 0, nullptr, spare);
    part->nand_read_page(part, &p);
    if (oob_is_end_mark(spare)) return true;
  }
  return false;
}

bool is_block_good(nyx_nftl_part_t* part, uint16 block, uchar* main, uchar* spare) {
  _physic_op_par p = nyx_nftl_page_par(part, block, 0, main, spare);
  return part->nand_is_blk_good(part, &p) == 1;
}

int erase_block(nyx_nftl_part_t* part, uint16 block) {
  _physic_op_par p = nyx_nftl_page_par(part, block, 0, nullptr, nullptr);
  return part->nand_erase_superblk(part, &p);
}

void mark_block_bad(nyx_nftl_part_t* part, uint16 block) {
  _physic_op_par p = nyx_nftl_page_par(part, block, 0, nullptr, nullptr);
  part->nand_mark_bad_blk(part, &p);
}

// The partition's size in blocks from its two capacities; unlimited when the
// logical capacity is 0.
uint32 partition_total_blocks(const nyx_nftl_part_t* part) {
  if (part->logic_cap_in_sects == 0) return kUnlimitedBlocks;
  const nand_chip_t* chip = part->nand_chip;
  uint64_t sectors = uint64_t(part->logic_cap_in_sects) + part->backup_cap_in_sects;
  return static_cast<uint32>((sectors / chip->sector_per_page) / chip->pages_per_blk);
}

void reset_reverse_map(_phy_page_mapping* map) { std::memset(map, 0xFF, sizeof *map); }

// Whether copy (page, block) is one the scan applies after copy (held_page,
// holder): blocks in ascending block_used_count (signed), among equal
// numbers the lower-numbered block later, pages of one block in ascending
// order. The last copy applied wins.
bool applied_later(const _phy_block_info* block, uint16 page, const _phy_block_info* holder,
                   uint16 held_page) {
  if (block == holder) return page > held_page;
  if (block->block_used_count != holder->block_used_count) {
    return block->block_used_count > holder->block_used_count;
  }
  return block->phy_block.blkNO_in_chip < holder->phy_block.blkNO_in_chip;
}

// Counts one more invalid page of `block`.
void count_invalid(nyx_nftl_part_t* part, _phy_block_info* block) {
  block->invalid_page_count++;
  if (block->invalid_page_count > part->nand_chip->pages_per_blk) {
    printk("invalid_page_count more than pages_per_blk!!\n");
  }
}

// Points logical page `phy_page_map[page]` at `page` of `block`, counting the
// copy it replaces as an invalid page of that copy's block. An entry that
// names no logical page of this partition (none, beyond the map, or a page
// the scan could not read) holds nothing: it counts as an invalid page of
// `block` itself, as the write path's and the collector's recounts count
// it, so that the count agrees with them from the start.
void map_update(nyx_nftl_part_t* part, _phy_block_info* block, uint16 page) {
  uint32 logic_page = part->part_phy_page_map->phy_page_map[page];
  if (logic_page >= nyx_nftl_logic_pages(part)) {
    count_invalid(part, block);
    return;
  }
  _nand_page* entry = &part->part_logic_page_map[logic_page];
  if (entry->blkNO_in_chip != NYX_UNMAPPED_BLOCK) {
    count_invalid(part, get_phy_block_addr(part, entry->blkNO_in_chip));
  }
  entry->Page_NO = page;
  entry->blkNO_in_chip = block->phy_block.blkNO_in_chip;
}

// The same for a block applied out of the scan's order (a salvaged block,
// below): its copy wins only where the scan would have applied it later
// than the copy mapped now; a copy that loses is an invalid page of
// `block`.
void map_update_by_age(nyx_nftl_part_t* part, _phy_block_info* block, uint16 page,
                       const _phy_page_mapping* reverse) {
  uint32 logic_page = reverse->phy_page_map[page];
  if (logic_page >= nyx_nftl_logic_pages(part)) {
    count_invalid(part, block);
    return;
  }
  _nand_page* entry = &part->part_logic_page_map[logic_page];
  if (entry->blkNO_in_chip != NYX_UNMAPPED_BLOCK) {
    _phy_block_info* holder = get_phy_block_addr(part, entry->blkNO_in_chip);
    if (!applied_later(block, page, holder, entry->Page_NO)) {
      count_invalid(part, block);
      return;
    }
    count_invalid(part, holder);
  }
  entry->Page_NO = page;
  entry->blkNO_in_chip = block->phy_block.blkNO_in_chip;
}

// The reverse map of `block`'s data pages as their spare records give it,
// into `reverse`: a page that is erased, unreadable or holds no logical page
// record gets no entry.
void rebuild_reverse_map(nyx_nftl_part_t* part, _phy_block_info* block,
                         _phy_page_mapping* reverse) {
  reset_reverse_map(reverse);
  uchar spare[NYX_SPARE_BYTES];
  for (uint16 i = 0; i + 1 < part->nand_chip->pages_per_blk; ++i) {
    if (!read_page_record(part, block->phy_block.blkNO_in_chip, i, spare, /*with_main=*/false))
      continue;
    uint32 tag = get_special_data_from_oob(spare);
    if (is_logic_page_tag(tag)) reverse->phy_page_map[i] = get_logic_page_from_oob(spare);
  }
}

// Takes a block off the block-used-count list for good: a block marked bad
// while the scan runs must not be handed to the invalid-page list, from which
// collection would free, erase and reuse it.
void retire_from_scan(nyx_nftl_part_t* part, _phy_block_info* block) {
  del_block_count_by_block(part, block);
}

// Moves page `page` of `from` to the same page of `to` with `to`'s sequence
// number and erase count, naming the logical page `logic_page` (the reverse
// map's entry, not the spare record read now). A page with no logical page,
// or one that cannot be read, becomes a dead page, so that no reader takes
// its torn bits for a record. Returns the program's result.
int move_page_in_scan(nyx_nftl_part_t* part, _phy_block_info* from, _phy_block_info* to,
                      uint16 page, uint32 logic_page) {
  uchar spare[NYX_SPARE_BYTES];
  const bool readable = read_page_record(part, from->phy_block.blkNO_in_chip, page, spare);
  std::memset(spare, 0xFF, sizeof spare);
  const uint32 sequence = static_cast<uint32>(to->block_used_count);
  if (readable && logic_page != NYX_NO_LOGIC_PAGE) {
    set_oob_logic_page(part, spare, logic_page, sequence, to->erase_count);
  } else {
    set_oob_special_page(part, spare, NYX_TAG_DEAD_PAGE, sequence, to->erase_count);
  }
  _physic_op_par p =
      nyx_nftl_page_par(part, to->phy_block.blkNO_in_chip, page, part->temp_page_buf, spare);
  return part->nand_write_page(part, &p);
}

// Files a block the scan found erased: on the free list, counted in `blocks`.
void file_free_block(nyx_nftl_part_t* part, _phy_block_info* block) {
  block->info = NYX_BLOCK_FREE;
  block->erase_count = 0;
  block->invalid_page_count = 0;
  put_phy_block_to_free_list(part, block);
  part->blocks++;
}

// Files a data block by the sequence number and erase count of `spare` (a
// record of one of its pages): on the block-used-count list, counted in `blocks`.
void file_data_block(nyx_nftl_part_t* part, _phy_block_info* block, const uchar* spare) {
  block->info = NYX_BLOCK_DATA;
  block->invalid_page_count = 0;
  block->block_used_count = static_cast<sint32>(get_block_used_count_from_oob(spare));
  block->erase_count = get_erase_count_from_oob(spare);
  block->block_used_next = nullptr;
  block->block_used_prev = nullptr;
  add_block_count_list(part, block);
  part->blocks++;
}

// A block whose page 0 cannot be read. A full block keeps its data whatever
// became of page 0: its mapping page, when that reads back, names the block
// and its pages. Otherwise the block holds nothing this partition wrote and
// that still counts: a torn erase leaves every page of its block unreadable,
// and a torn program of page 0 is the block's first page, so nothing else
// was written there. Such a block is free; it is erased before it is
// written again.
void classify_unreadable_first_page(nyx_nftl_part_t* part, _phy_block_info* block) {
  uchar spare[NYX_SPARE_BYTES];
  const uint16 last_page = static_cast<uint16>(part->nand_chip->pages_per_blk - 1);
  const bool readable = read_page_record(part, block->phy_block.blkNO_in_chip, last_page, spare,
                                         /*with_main=*/false);
  if (readable && get_special_data_from_oob(spare) == NYX_TAG_MAPPING_PAGE &&
      get_block_used_count_from_oob(spare) != 0xFFFFFFFF) {
    file_data_block(part, block, spare);
  } else {
    file_free_block(part, block);
  }
}

// Salvage: a data block that is neither full nor the current block, but may
// hold the newest copy of some logical pages: one whose mapping page was
// torn (its reverse map comes from its data pages' spare records instead),
// or a partly written block left over beside the current block. Its pages
// are applied by age, and once the current block is known, the pages still
// valid in it are written again through the write path (into the current
// block, which wins over every other block); the block, all of its pages
// then invalid, goes to the free list. Without this the block would stay on
// the invalid-page list with no mapping page, where collection can never
// take it.
void relocate_salvaged_block(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_page_mapping* reverse = part->part_phy_page_map_for_gc;
  rebuild_reverse_map(part, block, reverse);
  const uint16 number = block->phy_block.blkNO_in_chip;
  const uint16 pages = part->nand_chip->pages_per_blk;
  uchar spare[NYX_SPARE_BYTES];
  bool holds_valid = false;
  for (uint16 i = 0; i + 1 < pages; ++i) {
    const uint32 logic_page = reverse->phy_page_map[i];
    if (logic_page >= nyx_nftl_logic_pages(part)) continue;
    const _nand_page& entry = part->part_logic_page_map[logic_page];
    if (entry.blkNO_in_chip != number || entry.Page_NO != i) continue;
    if (!read_page_record(part, number, i, spare) ||
        nand_write_logic_page_no_gc(part, logic_page, part->temp_page_buf) != 0) {
      holds_valid = true;  // stays where it is
    }
  }
  if (holds_valid) return;  // out of every list: collection cannot take it
  block->invalid_page_count = pages;
  put_phy_block_to_invalid_page_list(part, block);
}

}  // namespace

// ---------------------------------------------------------------------------
// Parameters.
// ---------------------------------------------------------------------------
int part_param_init(nyx_nftl_part_t* part, uint16 start_block, uint32 logic_sects,
                    uint32 backup_cap_in_sects) {
  nand_chip_t* chip = part->nand_chip;

  part->temp_page_buf = static_cast<uchar*>(kzalloc(chip->bytes_per_page));
  if (part->temp_page_buf == nullptr) return -ENOMEM;

  part->part_start_blk_NO.blkNO_in_chip = start_block;
  part->logic_cap_in_sects = logic_sects;
  part->backup_cap_in_sects = backup_cap_in_sects;
  part->blocks = 0;
  part->bad_block = 0;
  part->free_block_num = 0;
  part->part_end_phy_block = nullptr;
  part->part_start_phy_block = get_phy_block_addr(part, start_block);

  size_t map_bytes = sizeof(_nand_page) * size_t(logic_sects / chip->sector_per_page);
  part->part_logic_page_map = static_cast<_nand_page*>(kzalloc(map_bytes));
  if (part->part_logic_page_map == nullptr) return -ENOMEM;
  std::memset(part->part_logic_page_map, 0xFF, map_bytes);
  const size_t logic_pages = logic_sects / chip->sector_per_page;
  part->part_trimmed_pages = static_cast<uchar*>(kzalloc((logic_pages + 7) / 8 + 1));
  if (part->part_trimmed_pages == nullptr) return -ENOMEM;

  part->part_phy_page_map = static_cast<_phy_page_mapping*>(kzalloc(sizeof(_phy_page_mapping)));
  if (part->part_phy_page_map == nullptr) return -ENOMEM;
  reset_reverse_map(part->part_phy_page_map);
  part->part_phy_page_map_for_gc =
      static_cast<_phy_page_mapping*>(kzalloc(sizeof(_phy_page_mapping)));
  if (part->part_phy_page_map_for_gc == nullptr) return -ENOMEM;

  part->total_reads = 0;
  part->total_write = 0;
  part->s_wl.erase_threshold = static_cast<uint16>(chip->max_erase_times / 2);
  part->s_wl.erase_span = static_cast<uint16>(chip->max_erase_times / 16);
  part->s_wl.s_wl_status = 0;
  part->part_current_used_block = nullptr;
  for (_phy_block_info* head :
       {&part->free_head, &part->invalid_page_head, &part->block_used_head}) {
    head->invalid_page_next = nullptr;
    head->invalid_page_prev = nullptr;
    head->free_next = nullptr;
    head->block_used_next = nullptr;
    head->block_used_prev = nullptr;
  }
  for (_phy_block_info*& hint : part->invalid_count_first) hint = nullptr;
  part->current_block_used_page = 0xFFFF;
  part->current_block_used_count = 0xFFFFFFFF;

  _prio_gc* prio = &part->prio_gc;
  prio->gc_num = 0;
  prio->prio_type_now = 0;
  for (int i = 0; i < NYX_PRIO_GC_NODES; ++i) {
    prio->prio_gc_node[i].gc_no = static_cast<uint16>(i);
    prio->prio_gc_node[i].prio_type = NYX_PRIO_FREE;
    prio->prio_gc_node[i].phy_block_info = nullptr;
    prio->prio_gc_node[i].prio_gc_next = nullptr;
    prio->prio_gc_node[i].prio_gc_prev = nullptr;
  }
  prio->prio_gc_head.gc_no = 0xFF;
  prio->prio_gc_head.prio_type = NYX_PRIO_FREE;
  prio->prio_gc_head.phy_block_info = nullptr;
  prio->prio_gc_head.prio_gc_next = nullptr;
  prio->prio_gc_head.prio_gc_prev = nullptr;

  nyx_nftl_ops_init(part);
  return 0;
}

int part_param_exit(nyx_nftl_part_t* part) {
  kfree(part->part_logic_page_map);
  part->part_logic_page_map = nullptr;
  kfree(part->part_trimmed_pages);
  part->part_trimmed_pages = nullptr;
  kfree(part->part_phy_page_map_for_gc);
  part->part_phy_page_map_for_gc = nullptr;
  kfree(part->part_phy_page_map);
  part->part_phy_page_map = nullptr;
  kfree(part->temp_page_buf);
  part->temp_page_buf = nullptr;
  return 0;
}

uint32 is_no_use_device(nyx_nftl_part_t* part) {
  uint32 total = partition_total_blocks(part);
  if (total == 0) return 1;
  part->blocks = 0;

  uchar spare[NYX_SPARE_BYTES];
  _phy_block_info* block = part->part_start_phy_block;
  // A start past the device's blocks has nothing to probe.
  if (!is_phy_block_valid(block, part)) return 1;
  while (true) {
    part->part_end_phy_block = block;
    uint16 number = block->phy_block.blkNO_in_chip;
    if (is_block_good(part, number, part->temp_page_buf, spare)) {
      read_page_record(part, number, 0, spare);
      if (oob_is_head_mark(spare)) {
        part->part_start_phy_block = block + 1;
        return 0;
      }
      return 1;
    }
    block->info = NYX_BLOCK_BAD;
    part->blocks++;
    if (is_last_phy_block(block, part) || part->blocks >= total) return 1;
    ++block;
  }
}

int nyx_nftl_probe_head_mark(mtd_info* mtd) {
  const uint64_t blocks = mtd->size / mtd->erasesize;
  std::vector<uchar> page(mtd->writesize);
  uchar spare[NYX_SPARE_BYTES];
  for (uint64_t block = 0; block < blocks; ++block) {
    const uint64_t addr = block * mtd->erasesize;
    const int bad = mtd->block_isbad(mtd, addr);
    if (bad < 0) return bad;
    if (bad != 0) continue;
    int ret = 0;
    for (int attempt = 0; attempt < NYX_READ_TRIES; ++attempt) {
      std::memset(spare, 0xFF, sizeof spare);
      mtd_oob_ops ops = nyx_nftl_page_request(mtd, page.data(), spare);
      ret = mtd->read_oob(mtd, addr, &ops);
      if (nand_read_ok(ret)) return oob_is_head_mark(spare) ? 1 : 0;
    }
    return ret;
  }
  return -ENOSPC;
}

uint32 is_last_phy_block(_phy_block_info* block, nyx_nftl_part_t* part) {
  return block->phy_block.blkNO_in_chip == part->nand_chip->blk_per_chip - 1 ? 1 : 0;
}

uint32 is_phy_block_valid(_phy_block_info* block, nyx_nftl_part_t* part) {
  return block->phy_block.blkNO_in_chip < part->nand_chip->blk_per_chip ? 1 : 0;
}

_phy_block_info* get_phy_block_addr(nyx_nftl_part_t* part, uint16 block) {
  return &part->nand_chip->nand_block_info[block];
}

// ---------------------------------------------------------------------------
// Format.
// ---------------------------------------------------------------------------
uint32 create_part_list_first(nyx_nftl_part_t* part) {
  printk("create_part_list_first.\n");
  uint32 total = partition_total_blocks(part);
  if (total == 0) return 1;
  part->blocks = 0;

  nand_chip_t* chip = part->nand_chip;
  uchar spare[NYX_SPARE_BYTES];
  _phy_block_info* block = part->part_start_phy_block;
  if (!is_phy_block_valid(block, part)) return 1;
  while (true) {
    part->part_end_phy_block = block;
    uint16 number = block->phy_block.blkNO_in_chip;
    if (!is_block_good(part, number, part->temp_page_buf, spare)) {
      block->info = NYX_BLOCK_BAD;
    } else if (erase_block(part, number) != 0) {
      block->info = NYX_BLOCK_BAD;
      mark_block_bad(part, number);
    } else {
      part->blocks++;
      block->info = NYX_BLOCK_FREE;
      block->erase_count = 0;
      if (part->blocks == 1) {
        // The first block erased carries the head mark on every page.
        set_oob_mark(spare, NYX_TAG_HEAD_MARK);
        for (uint16 page = 0; page < chip->pages_per_blk; ++page) {
          _physic_op_par p = nyx_nftl_page_par(part, number, page, part->temp_page_buf, spare);
          part->nand_write_page(part, &p);
        }
        part->part_start_phy_block = block + 1;
      }
    }
    block->invalid_page_count = 0xFFFF;
    block->free_next = nullptr;
    block->invalid_page_next = nullptr;
    block->invalid_page_prev = nullptr;
    if (is_last_phy_block(block, part) || part->blocks >= total) break;
    ++block;
  }

  if (part->blocks <= 1) return 1;
  part->blocks--;  // the head-marked block is not part of the partition

  if (total == kUnlimitedBlocks) return 0;
  _phy_block_info* next = is_last_phy_block(block, part) ? block : block + 1;
  if (is_last_phy_block(next, part)) return 1;
  if (!is_phy_block_valid(next, part)) return 0;

  // The first good block after the range that erases carries the end mark.
  for (block = next;; ++block) {
    uint16 number = block->phy_block.blkNO_in_chip;
    if (!is_block_good(part, number, part->temp_page_buf, spare)) {
      block->info = NYX_BLOCK_BAD;
    } else if (erase_block(part, number) != 0) {
      block->info = NYX_BLOCK_BAD;
      mark_block_bad(part, number);
    } else {
      set_oob_mark(spare, NYX_TAG_END_MARK);
      _physic_op_par p = nyx_nftl_page_par(part, number, 0, part->temp_page_buf, spare);
      part->nand_write_page(part, &p);
      return 0;
    }
    if (!is_phy_block_valid(block + 1, part)) return 0;
  }
}

// ---------------------------------------------------------------------------
// Mount scan, in phases: read every block's page 0 record, set the
// thresholds, apply the data blocks' mapping pages, choose the current block,
// apply the salvaged blocks and the current block, file the full blocks, take
// a fresh current block when none was found, move the salvaged blocks' valid
// pages on.
// ---------------------------------------------------------------------------
namespace {

// What the walk over the data blocks found, for the later phases.
struct ScanState {
  std::vector<_phy_block_info*> candidates;  // partly written blocks, oldest first
  std::vector<_phy_block_info*> salvaged;    // see relocate_salvaged_block
  _phy_block_info* newest_torn = nullptr;    // the newest block whose last page cannot be read
  bool have_applied = false;                 // a full or salvaged block was met
  sint32 newest_applied = 0;                 // the highest block_used_count among them
  bool replayed = false;                     // the current block was rewritten by the replay
};

// Classifies every block of the range by page 0's spare record: bad, free
// (onto the free list), data (onto the block-used-count list), head mark; an
// end mark ends the range.
void read_block_records(nyx_nftl_part_t* part) {
  uchar spare[NYX_SPARE_BYTES];
  _phy_block_info* block = part->part_start_phy_block;
  if (!is_phy_block_valid(block, part)) return;
  for (;; ++block) {
    uint16 number = block->phy_block.blkNO_in_chip;
    if (!is_block_good(part, number, nullptr, spare)) {
      block->info = NYX_BLOCK_BAD;
      block->erase_count = 0;
      part->bad_block++;
    } else {
      const bool readable = read_page_record(part, number, 0, spare, /*with_main=*/false);
      part->part_end_phy_block = block;
      // The end mark is honoured even when its page reads back damaged:
      // a torn program (which only clears bits) cannot turn any record
      // written at page 0 of a scanned block into it, and the blocks past
      // it are not this partition's.
      if (oob_is_end_mark(spare) || (!readable && end_mark_seen(part, number))) return;
      if (!readable) {
        classify_unreadable_first_page(part, block);
      } else if (get_block_used_count_from_oob(spare) == 0xFFFFFFFF) {
        file_free_block(part, block);
      } else if (oob_has_logic_tag_bits(spare)) {
        file_data_block(part, block, spare);
      } else if (oob_is_head_mark(spare)) {
        printk("do nothing\n");
      } else {
        printk("unkown page 0 spare data!!\n");
      }
    }
    if (!is_phy_block_valid(block + 1, part)) return;
  }
}

// Sets the reserve and the collection thresholds from the blocks found.
// Whether the partition has enough blocks to be served.
bool set_thresholds(nyx_nftl_part_t* part) {
  const nand_chip_t* chip = part->nand_chip;
  uint32 logic_blocks = nyx_nftl_logic_pages(part) / chip->pages_per_blk;
  printk("second %d,%d\n", part->blocks, static_cast<int>(logic_blocks));
  if (logic_blocks >= part->blocks) {
    printk("this part not enough data block!!\n");
    return false;
  }
  uint32 spare_blocks = part->blocks - logic_blocks;
  part->backup_cap_in_sects = spare_blocks * chip->pages_per_blk * chip->sector_per_page;
  if (spare_blocks < kMinSpareBlocks) {
    printk("this part not enough free block %d , %d!!\n", part->blocks,
           static_cast<int>(logic_blocks));
    return false;
  }
  _gc_strategy* gc = &part->gc_strategy;
  gc->start_gc_free_blocks = static_cast<uint16>(spare_blocks / 8 < 8 ? 8 : spare_blocks / 8);
  uint32 stop = 2 * spare_blocks / 3;
  if (stop < uint32(gc->start_gc_free_blocks) + 2) stop = gc->start_gc_free_blocks + 2;
  gc->stop_gc_free_blocks = static_cast<uint16>(stop);
  gc->flag_gc_block = 0;
  gc->process = 1;
  part->gc_low_mark = kGreedyLowMark;
  return true;
}

// Walks the data blocks, oldest first: full blocks feed the map from their
// mapping pages; partly written blocks are candidates for the current block;
// a block whose last page cannot be read had its mapping page torn, and is
// salvaged (see relocate_salvaged_block).
void apply_data_blocks(nyx_nftl_part_t* part, ScanState* scan) {
  const uint16 pages_per_blk = part->nand_chip->pages_per_blk;
  const uint16 last_page = static_cast<uint16>(pages_per_blk - 1);
  uchar spare[NYX_SPARE_BYTES];
  for (_phy_block_info* block = part->block_used_head.block_used_next; block != nullptr;
       block = block->block_used_next) {
    const bool readable = read_page_record(part, block->phy_block.blkNO_in_chip, last_page, spare);
    uint32 tag = get_special_data_from_oob(spare);
    uint32 count = get_block_used_count_from_oob(spare);
    if (!readable) {
      scan->salvaged.push_back(block);
      scan->newest_torn = block;
      scan->have_applied = true;
      scan->newest_applied = block->block_used_count;
    } else if (tag == NYX_TAG_MAPPING_PAGE && count != 0xFFFFFFFF) {
      block->invalid_page_count++;  // the mapping page
      nyx_nftl_decode_mapping_page(part->temp_page_buf, part->nand_chip->bytes_per_page,
                                   part->part_phy_page_map);
      for (uint16 i = 0; i + 1 < pages_per_blk; ++i) map_update(part, block, i);
      scan->have_applied = true;
      scan->newest_applied = block->block_used_count;
    } else if (tag == NYX_TAG_ERASED && count == 0xFFFFFFFF) {
      scan->candidates.push_back(block);
      if (scan->candidates.size() > 2) printk("muti current used block\n");
    } else {
      printk("last page unkown!!\n");
    }
  }
}

// Chooses the current block among the partly written blocks, or none. The
// block being filled is always the newest data block: every block taken for
// writing gets a sequence number above all others, so a partly written
// block older than a full block is a leftover, never the current block (its
// pages would otherwise win over newer full blocks).
// The newest partly written block may be an interrupted write-error
// recovery: the recovery copies the failed block's pages, at their own page
// numbers, into a block whose number is the failed block's plus one. Its
// partner is the next older partly written block (a data page failed) or
// the newest block whose last page cannot be read (the mapping page
// failed). Only such a pair, the newer holding fewer pages than the older,
// is replayed: the newer is erased and the older copied into it. Taken for
// the current block as it stands, the newer block's copies would win over
// the older block's later pages, some of which are newer copies of the same
// logical pages. Any other partly written block is salvaged rather than
// erased: it may hold the newest copy of a page.
_phy_block_info* choose_current_block(nyx_nftl_part_t* part, ScanState* scan) {
  if (scan->candidates.empty()) return nullptr;
  _phy_block_info* current = nullptr;
  _phy_block_info* newest = scan->candidates.back();
  if (!scan->have_applied || newest->block_used_count >= scan->newest_applied) {
    const size_t n = scan->candidates.size();
    _phy_block_info* older = n >= 2 ? scan->candidates[n - 2] : nullptr;
    _phy_block_info* torn = scan->newest_torn;
    const bool torn_is_partner =
        torn != nullptr && (older == nullptr || torn->block_used_count > older->block_used_count);
    _phy_block_info* partner = torn_is_partner ? torn : older;
    current = newest;
    if (partner != nullptr && partner->block_used_count == newest->block_used_count) {
      printk("never here!\n");
      if (!torn_is_partner) current = older;
    } else if (partner != nullptr &&
               static_cast<uint32>(partner->block_used_count) + 1 ==
                   static_cast<uint32>(newest->block_used_count) &&
               get_used_page_num(part, newest) < get_used_page_num(part, partner)) {
      uint32 used = get_used_page_num(part, partner);
      if (do_write_error_in_create_list(part, partner, newest, static_cast<uint16>(used)) == 0) {
        // The older block is retired; its pages are all in the newer one,
        // just erased and written again.
        scan->replayed = true;
        if (torn_is_partner) {
          scan->salvaged.erase(std::find(scan->salvaged.begin(), scan->salvaged.end(), torn));
        }
      } else {
        // The newer block is retired; the older one goes on as it was:
        // the current block again, or salvaged when its last page is torn.
        current = torn_is_partner ? nullptr : older;
      }
    }
  }
  // Every other partly written block still in use is salvaged.
  for (_phy_block_info* c : scan->candidates) {
    const bool retired = c->block_used_prev == nullptr;  // marked bad by the replay
    if (c != current && !retired) scan->salvaged.push_back(c);
  }
  return current;
}

// Applies the salvaged blocks' pages by age, then the current block's pages,
// which win over every other copy, and sets the write position after them.
void apply_salvaged_and_current(nyx_nftl_part_t* part, const ScanState& scan,
                                _phy_block_info* current) {
  const uint16 pages_per_blk = part->nand_chip->pages_per_blk;
  for (_phy_block_info* s : scan.salvaged) {
    s->invalid_page_count = 1;  // the last page: a torn mapping page, or none
    rebuild_reverse_map(part, s, part->part_phy_page_map);
    for (uint16 i = 0; i + 1 < pages_per_blk; ++i)
      map_update_by_age(part, s, i, part->part_phy_page_map);
  }
  if (current == nullptr) return;
  reset_reverse_map(part->part_phy_page_map);
  part->part_current_used_block = current;
  part->current_block_used_page = static_cast<uint16>(recover_current_block_mapping(part, current));
  part->current_block_used_count = static_cast<uint32>(current->block_used_count);
  // Found partly written (unless the replay has just rewritten it): the
  // first write leaves it (nand_write_logic_page_no_gc).
  part->current_block_found_written = !scan.replayed && part->current_block_used_page > 0;
  for (uint16 i = 0; i < part->current_block_used_page; ++i) map_update(part, current, i);
  if (part->current_block_used_page < current->invalid_page_count) printk("error 22!!\n");
}

// Every data block but the current and the salvaged ones is full (or out of
// use) from now on: onto the invalid-page list, fully invalid ones freed.
// This comes before a fresh current block is taken: once every block has
// been written, the free blocks are those whose pages are all invalid,
// still unerased, and only the lists tell them apart from the full blocks.
// Taken before, the free list would be empty and the partition left without
// a current block.
void file_full_blocks(nyx_nftl_part_t* part, const ScanState& scan) {
  for (_phy_block_info* block = part->block_used_head.block_used_next; block != nullptr;
       block = block->block_used_next) {
    if (block == part->part_current_used_block) continue;
    if (std::find(scan.salvaged.begin(), scan.salvaged.end(), block) != scan.salvaged.end())
      continue;
    put_phy_block_to_invalid_page_list(part, block);
  }
  adjust_invaild_list(part);
}

// Takes a free block as the current block when the scan found none (after a
// whole-victim collection when the free list is empty). A fresh current
// block gets a sequence number one above every data block's: reusing the
// newest block's number would let a later scan, which orders equal numbers
// by position, prefer an older copy of a logical page. The number comes
// from page 0 of the last block of the list (the highest, and what orders
// the list) rather than from that block's last page, which a torn write can
// leave unreadable or erased.
void take_fresh_current_block(nyx_nftl_part_t* part) {
  _phy_block_info* newest = part->block_used_head.block_used_next;
  while (newest != nullptr && newest->block_used_next != nullptr) newest = newest->block_used_next;
  uint32 next_count = newest == nullptr ? 0 : static_cast<uint32>(newest->block_used_count) + 1;

  if (part->free_head.free_next == nullptr) {
    print_free_list(part);
    print_block_invalid_list(part);
    garbage_collect_first(part, nullptr, 65535);
  }
  if (part->free_head.free_next == nullptr) return;
  // The reverse map still holds the last mapping page the scan read; a fresh
  // current block starts with no page written.
  reset_reverse_map(part->part_phy_page_map);
  part->part_current_used_block = out_phy_block_from_free_list(part);
  part->current_block_used_page = 0;
  part->current_block_used_count = next_count;
}

}  // namespace

uint32 create_part_list(nyx_nftl_part_t* part) {
  printk("first\n");
  part->blocks = 0;
  read_block_records(part);
  if (!set_thresholds(part)) return 1;

  ScanState scan;
  apply_data_blocks(part, &scan);
  _phy_block_info* current = choose_current_block(part, &scan);
  apply_salvaged_and_current(part, scan, current);
  file_full_blocks(part, scan);
  if (current == nullptr) take_fresh_current_block(part);

  // Salvaged blocks join the lists once their valid pages are written again.
  if (part->part_current_used_block != nullptr) {
    for (_phy_block_info* s : scan.salvaged) relocate_salvaged_block(part, s);
    adjust_invaild_list(part);
  }

  if (part->part_current_used_block == nullptr) return 1;
  printk("nftl ok!\n");
  return 0;
}

uint32 do_write_error_in_create_list(nyx_nftl_part_t* part, _phy_block_info* block1,
                                     _phy_block_info* block2, uint16 page_num) {
  // The replay copies block1's own written pages, so its reverse map is
  // loaded first; the map left by the scan belongs to some other block.
  reset_reverse_map(part->part_phy_page_map);
  recover_current_block_mapping(part, block1);

  uint16 number2 = block2->phy_block.blkNO_in_chip;
  int erase_ret = erase_block(part, number2);
  block2->invalid_page_count = 0;
  block2->erase_count++;
  if (erase_ret != 0) {
    mark_block_bad(part, number2);
    retire_from_scan(part, block2);
    printk("do_write_error_in_create_list erase error!\n");
    return 1;
  }

  // The last used page of block1 is the one whose write failed; it is not
  // copied. Every page before it is, at its own page number: one without a
  // logical page (unreadable at the scan) becomes a dead page rather than
  // ending the copy, which would drop the pages after it and leave an
  // erased page where the current block's written pages are walked.
  for (uint16 i = 0; i + 1 < page_num; ++i) {
    if (move_page_in_scan(part, block1, block2, i, part->part_phy_page_map->phy_page_map[i]) != 0) {
      mark_block_bad(part, number2);
      retire_from_scan(part, block2);
      printk("do_write_error_in_create_list erase error!\n");
      return 1;
    }
  }

  mark_block_bad(part, block1->phy_block.blkNO_in_chip);
  retire_from_scan(part, block1);
  return 0;
}

// A page that cannot be read counts as used: it was programmed, even if its
// torn record reads like an erased one.
uint32 get_used_page_num(nyx_nftl_part_t* part, _phy_block_info* block) {
  uchar spare[NYX_SPARE_BYTES];
  uint16 pages_per_blk = part->nand_chip->pages_per_blk;
  for (uint16 i = 0; i < pages_per_blk; ++i) {
    if (!read_page_record(part, block->phy_block.blkNO_in_chip, i, spare)) continue;
    if (get_special_data_from_oob(spare) == NYX_TAG_ERASED) return i;
  }
  return pages_per_blk;
}

// A page that cannot be read (a program torn by a power loss) holds nothing
// and gets no entry, but the walk goes on past it: it is not erased, so the
// next write must not go there.
uint32 recover_current_block_mapping(nyx_nftl_part_t* part, _phy_block_info* block) {
  uchar spare[NYX_SPARE_BYTES];
  uint16 pages_per_blk = part->nand_chip->pages_per_blk;
  uint16 i = 0;
  for (; i < pages_per_blk; ++i) {
    if (!read_page_record(part, block->phy_block.blkNO_in_chip, i, spare)) continue;
    uint32 tag = get_special_data_from_oob(spare);
    if (tag == NYX_TAG_ERASED) break;
    if (is_logic_page_tag(tag)) {
      part->part_phy_page_map->phy_page_map[i] = get_logic_page_from_oob(spare);
    } else if (oob_is_special(spare)) {
      printk("recover_current_block_mapping invalid page data!!\n");
    } else {
      printk("recover_current_block_mapping unkown page data!!\n");
    }
  }
  return i;
}

uint32 get_used_block_count(nyx_nftl_part_t* part, _phy_block_info* block) {
  uchar spare[NYX_SPARE_BYTES];
  read_page_record(part, block->phy_block.blkNO_in_chip, 0, spare);
  return get_block_used_count_from_oob(spare);
}

// Diagnostics (print_part and the flash self-tests) follow below.

namespace {

// Addresses are shown by their low 32 bits, as the lines' format holds.
unsigned int address_bits(const void* p) {
  return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(p));
}

// A block's number for the print-out; -1 stands for no block.
int block_number(const _phy_block_info* block) {
  return block != nullptr ? block->phy_block.blkNO_in_chip : -1;
}

// Sets bytes 0 to 3 of `buf` to the self-tests' stamp of `n`.
void stamp(uchar* buf, uint32 n) {
  buf[0] = static_cast<uchar>((n >> 24) + 1);
  buf[1] = static_cast<uchar>(n >> 16);
  buf[2] = static_cast<uchar>(n >> 8);
  buf[3] = static_cast<uchar>(n);
}

bool has_stamp(const uchar* buf, uint32 n) {
  uchar expected[4];
  stamp(expected, n);
  return std::memcmp(buf, expected, sizeof expected) == 0;
}

}  // namespace

void print_part(nyx_nftl_part_t* part) {
  const nand_chip_t* chip = part->nand_chip;
  printk("part->nand_chip->blk_per_chip: %d \n", chip->blk_per_chip);
  printk("part->nand_chip->bytes_per_page: %d \n", chip->bytes_per_page);
  printk("part->nand_chip->pages_per_blk: %d \n", chip->pages_per_blk);
  printk("part->part_no: %d \n", part->part_no);
  printk("part->part_attr: %d \n", part->part_attr);
  printk("part->blocks: %d \n", part->blocks);
  printk("part->bad_block: %d \n", part->bad_block);
  printk("part->backup_cap_in_sects: %d \n", static_cast<int>(part->backup_cap_in_sects));
  printk("part->free_block_num: %d \n", part->free_block_num);
  printk("part->gc_strategy.start_gc_free_blocks: %d \n", part->gc_strategy.start_gc_free_blocks);
  printk("part->gc_strategy.stop_gc_free_blocks: %d \n", part->gc_strategy.stop_gc_free_blocks);
  printk("part->gc_strategy.gc_page: %d \n", part->gc_strategy.gc_page);
  printk("part->gc_strategy.process: %d \n", part->gc_strategy.process);
  printk("part->prio_gc.prio_type : %d \n", part->prio_gc.prio_type_now);
  printk("part->logic_cap_in_sects: %d \n", static_cast<int>(part->logic_cap_in_sects));
  printk("part->total_reads : %d \n", static_cast<int>(part->total_reads));
  printk("part->total_write: %d \n", static_cast<int>(part->total_write));
  printk("part->part_start_phy_block->phy_block.blkNO_in_chip: %d \n",
         block_number(part->part_start_phy_block));
  printk("part->part_end_phy_block->phy_block.blkNO_in_chip: %d \n",
         block_number(part->part_end_phy_block));
  printk("part->part_logic_page_map: %x \n", address_bits(part->part_logic_page_map));
  printk("part->part_phy_page_map_for_gc: %x \n", address_bits(part->part_phy_page_map_for_gc));
  printk("part->part_phy_page_map: %x \n", address_bits(part->part_phy_page_map));
  printk("part->part_current_used_block: %x \n", address_bits(part->part_current_used_block));
  // Without a current block (none found at mount, or the free list ran dry)
  // the line still appears, with -1 for the missing block.
  printk("part->part_current_used_block->phy_block.blkNO_in_chip: %d \n",
         block_number(part->part_current_used_block));
  printk("part->current_block_used_page: %d \n", part->current_block_used_page);
  printk("part->current_block_used_count: %d \n", static_cast<int>(part->current_block_used_count));
  printk("part->temp_page_buf: %x \n", address_bits(part->temp_page_buf));
}

// Raw page test over the first `blocks` blocks: stamp page 0 of every good
// block, read it back and compare. A count beyond the partition is cut to
// the partition's blocks: the test never reaches past its partition.
int test0(nyx_nftl_blk_t* blk, uchar* NAND_PAGE_BUF, uint32 blocks) {
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  const nand_chip_t* chip = part->nand_chip;
  if (blocks > chip->blk_per_chip) blocks = chip->blk_per_chip;
  // The spare bytes written with each stamp are left erased; nothing reads
  // them back.
  uchar spare[64];
  std::memset(spare, 0xFF, sizeof spare);
  std::memset(NAND_PAGE_BUF, 0xFF, chip->bytes_per_page);
  int result = 0;

  for (uint32 i = 0; i < blocks; ++i) {
    _physic_op_par p = nyx_nftl_page_par(part, static_cast<uint16>(i), 0, NAND_PAGE_BUF, spare);
    if (part->nand_is_blk_good(part, &p) != 1) {
      printk("bad block :%d\n", static_cast<int>(i));
      continue;
    }
    part->nand_erase_superblk(part, &p);
    stamp(NAND_PAGE_BUF, i);
    part->nand_write_page(part, &p);
    NAND_PAGE_BUF[0] = 0xEF;
    NAND_PAGE_BUF[1] = 0xFE;
    part->nand_read_page(part, &p);
    if (has_stamp(NAND_PAGE_BUF, i)) {
      printk("ok block :%d\n", static_cast<int>(i));
    } else {
      printk("error block: %d\n", static_cast<int>(i));
      result = 1;
    }
  }
  for (uint32 i = 0; i < blocks; ++i) {
    _physic_op_par p = nyx_nftl_page_par(part, static_cast<uint16>(i), 0, NAND_PAGE_BUF, spare);
    part->nand_erase_superblk(part, &p);
  }
  printk("test0 ok ! end page: %d\n", static_cast<int>(blocks));
  return result;
}

// Logical page test: stamp and write every logical page, then read each
// back. The first mismatch ends the test with 1.
int test1(nyx_nftl_blk_t* blk, uchar* NAND_PAGE_BUF) {
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  std::memset(NAND_PAGE_BUF, 0xFF, part->nand_chip->bytes_per_page);
  const uint32 pages = part->logic_cap_in_sects / part->nand_chip->sector_per_page;
  if (pages == 0) {
    printk("\n");
    print_part(part);
    printk("test1 ok ! end page: %d\n", 0);
    return 0;
  }
  for (uint32 i = 0; i < pages; ++i) {
    stamp(NAND_PAGE_BUF, i);
    part->nand_write_logic_page(part, i, NAND_PAGE_BUF);
    if ((i & 0xFF) == 0) printk("1/");
  }
  printk("\n");
  print_part(part);
  for (uint32 i = 0; i < pages; ++i) {
    part->nand_read_logic_page(part, i, NAND_PAGE_BUF);
    if (!has_stamp(NAND_PAGE_BUF, i)) {
      printk("error page: %d,[%x][%x][%x][%x]\n", static_cast<int>(i), NAND_PAGE_BUF[0],
             NAND_PAGE_BUF[1], NAND_PAGE_BUF[2], NAND_PAGE_BUF[3]);
      return 1;
    }
  }
  printk("test1 ok ! end page: %d\n", static_cast<int>(pages));
  return 0;
}

int nand_test(nyx_nftl_blk_t* blk, uchar flag, uint32 blocks) {
  auto* buf = static_cast<uchar*>(kzalloc(blk->nyx_nftl_part->nand_chip->bytes_per_page));
  if (buf == nullptr) return -ENOMEM;
  if (flag != 0) {
    printk("test1 \n");
    test1(blk, buf);
  } else {
    printk("test0 \n");
    test0(blk, buf, blocks);
  }
  kfree(buf);
  return 0;
}
