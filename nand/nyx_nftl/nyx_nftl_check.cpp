// nyx_nftl_check: verifies that a live partition record is consistent
// between operations, and says precisely what is not.
//
// The checks, in the order they run:
//   1. the records exist and the geometry is usable;
//   2. the block table: record n is block n, the end record is never linked;
//   3. the free list and the invalid-page list: membership, order, back links,
//      loops, free_block_num, stale links of blocks that are on no list;
//   4. the current block: on no list, write position, its reverse map;
//   5. the mapping page of every full block (read once each);
//   6. the logical page map against the reverse maps (the round trip);
//   7. every listed block's invalid_page_count against a recount;
//   8. that a remount would pick the same copy of every logical page;
//   9. the priority reclaim queue and the collection settings.
// A link is followed only after it has been found to name a record of the
// table, so a corrupted record cannot make the checker read wild memory.

#include "nyx_nftl_check.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Detailed lines per kind of problem; beyond that they are only counted, so
// that one broken record does not bury the others.
constexpr int kDetailedLinesPerKind = 16;

enum ProblemKind {
  kGeneral,
  kTable,
  kStaleLink,
  kCurrentReverseMap,
  kMapEntry,
  kRecount,
  kNewestCopy,
  kQueue,
  kKindCount
};

class Checker {
 public:
  explicit Checker(nyx_nftl_part_t* part) : part_(part) {}

  std::vector<std::string> run(uint32* mapping_pages_read, uint32* problems_found);

 private:
  void report(ProblemKind kind, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  void summarise_suppressed();

  // Index of `block` in the table: 0..blk_per_chip (the end record), or -1
  // when the pointer names no record of the table.
  long index_of(const _phy_block_info* block) const;
  // Words for a link target in messages.
  std::string describe(const _phy_block_info* target, const _phy_block_info* head) const;

  bool check_records();
  void check_table();
  void walk_free_list();
  void walk_invalid_page_list();
  void check_membership();
  void check_current_block();
  void read_full_block_maps();
  void check_logic_map();
  void check_recounts();
  void check_newest_copies();
  void check_prio_queue();
  void check_settings();

  nyx_nftl_part_t* part_;
  std::vector<std::string> problems_;
  int lines_of_kind_[kKindCount] = {};
  int suppressed_of_kind_[kKindCount] = {};

  // Geometry, once check_records has accepted it.
  _phy_block_info* table_ = nullptr;
  uint32 blk_per_chip_ = 0;
  uint32 pages_per_blk_ = 0;
  uint32 logic_pages_ = 0;

  // Per block: list membership, and the round-trip results.
  std::vector<uint8_t> on_free_;
  std::vector<uint8_t> on_invalid_;
  std::vector<uint32> valid_pages_;
  long current_ = -1;  // index of the current block, -1 when none (or unusable)
  uint32 current_used_pages_ = 0;

  // Reverse maps of the full blocks (entries of the data pages), read from
  // their mapping pages; empty when a block is not full or its mapping page
  // could not be used.
  std::vector<std::vector<uint32>> full_maps_;
  uint32 mapping_pages_read_ = 0;
};

void Checker::report(ProblemKind kind, const char* fmt, ...) {
  if (lines_of_kind_[kind] >= kDetailedLinesPerKind) {
    ++suppressed_of_kind_[kind];
    return;
  }
  ++lines_of_kind_[kind];
  char line[512];
  va_list args;
  va_start(args, fmt);
  vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  problems_.emplace_back(line);
}

void Checker::summarise_suppressed() {
  static const char* const kNames[kKindCount] = {
      "general",   "block table", "stale link",  "current reverse map",
      "map entry", "recount",     "newest copy", "reclaim queue"};
  for (int kind = 0; kind < kKindCount; ++kind) {
    if (suppressed_of_kind_[kind] == 0) continue;
    char line[128];
    snprintf(line, sizeof line, "... and %d more %s problems not listed", suppressed_of_kind_[kind],
             kNames[kind]);
    problems_.emplace_back(line);
  }
}

long Checker::index_of(const _phy_block_info* block) const {
  if (block == nullptr) return -1;
  const uintptr_t base = reinterpret_cast<uintptr_t>(table_);
  const uintptr_t at = reinterpret_cast<uintptr_t>(block);
  if (at < base) return -1;
  const uintptr_t offset = at - base;
  if (offset % sizeof(_phy_block_info) != 0) return -1;
  const uintptr_t index = offset / sizeof(_phy_block_info);
  if (index > blk_per_chip_) return -1;
  return static_cast<long>(index);
}

std::string Checker::describe(const _phy_block_info* target, const _phy_block_info* head) const {
  if (target == nullptr) return "null";
  if (head != nullptr && target == head) return "the list head";
  const long index = index_of(target);
  if (index < 0) return "a record outside the block table";
  if (static_cast<uint32>(index) == blk_per_chip_) return "the end record";
  return "block " + std::to_string(index);
}

// 1. Without these records nothing else can be looked at. The mapping page
// must hold the reverse map of the whole block (4 bytes per page).
bool Checker::check_records() {
  if (part_ == nullptr) {
    report(kGeneral, "the partition record is null");
    return false;
  }
  const nand_chip_t* chip = part_->nand_chip;
  if (chip == nullptr) {
    report(kGeneral, "the partition has no chip record");
    return false;
  }
  if (chip->nand_block_info == nullptr) report(kGeneral, "the partition has no block table");
  if (part_->part_logic_page_map == nullptr && nyx_nftl_logic_pages(part_) != 0)
    report(kGeneral, "the partition has no logical page map");
  if (part_->part_trimmed_pages == nullptr)
    report(kGeneral, "the partition has no record of trimmed pages");
  if (part_->part_phy_page_map == nullptr)
    report(kGeneral, "the partition has no reverse map for its current block");
  if (part_->nand_read_page == nullptr)
    report(kGeneral, "the partition has no nand_read_page operation");
  if (chip->pages_per_blk == 0 || chip->pages_per_blk > NYX_MAX_PAGES_PER_BLK)
    report(kGeneral, "pages_per_blk is %u (must be 1 to %u)", chip->pages_per_blk,
           NYX_MAX_PAGES_PER_BLK);
  else if (4u * chip->pages_per_blk > chip->bytes_per_page)
    report(kGeneral, "a mapping page of %u bytes cannot hold the reverse map of %u pages",
           chip->bytes_per_page, chip->pages_per_blk);
  if (chip->sector_per_page == 0) report(kGeneral, "sector_per_page is 0");
  if (!problems_.empty()) return false;

  table_ = chip->nand_block_info;
  blk_per_chip_ = chip->blk_per_chip;
  pages_per_blk_ = chip->pages_per_blk;
  logic_pages_ = nyx_nftl_logic_pages(part_);
  on_free_.assign(blk_per_chip_, 0);
  on_invalid_.assign(blk_per_chip_, 0);
  valid_pages_.assign(blk_per_chip_, 0);
  full_maps_.assign(blk_per_chip_, {});
  return true;
}

// 2. Record n of the table describes block n; the extra end record (number
// blk_per_chip) only marks the end and is never linked on any list.
void Checker::check_table() {
  for (uint32 n = 0; n <= blk_per_chip_; ++n) {
    if (table_[n].phy_block.blkNO_in_chip != n)
      report(kTable, "block table record %u carries block number %u", n,
             table_[n].phy_block.blkNO_in_chip);
  }
  const _phy_block_info& end = table_[blk_per_chip_];
  if (end.free_next != nullptr || end.invalid_page_next != nullptr ||
      end.invalid_page_prev != nullptr)
    report(kTable, "the end record (block %u) has a free or invalid-page link set", blk_per_chip_);
}

// 3a. The free list: a singly linked chain from free_head.free_next of table
// records, erase_count ascending (16-bit), no loops, never the end record;
// free_block_num equals its length.
void Checker::walk_free_list() {
  uint32 length = 0;
  const _phy_block_info* previous = nullptr;
  for (const _phy_block_info* block = part_->free_head.free_next; block != nullptr;
       block = block->free_next) {
    const std::string after = previous ? describe(previous, nullptr) : "the list head";
    const long index = index_of(block);
    if (index < 0) {
      report(kGeneral, "free list: the link after %s points outside the block table",
             after.c_str());
      break;
    }
    if (static_cast<uint32>(index) == blk_per_chip_) {
      report(kGeneral, "free list: the end record (block %u) is linked after %s", blk_per_chip_,
             after.c_str());
      break;
    }
    if (on_free_[index]) {
      report(kGeneral, "free list: loops back to block %ld after %s", index, after.c_str());
      break;
    }
    on_free_[index] = 1;
    ++length;
    if (previous != nullptr && previous->erase_count > block->erase_count)
      report(kGeneral,
             "free list order: block %ld (erase_count %u) follows block %u (erase_count %u); "
             "erase counts must not descend",
             index, block->erase_count, previous->phy_block.blkNO_in_chip, previous->erase_count);
    previous = block;
  }
  if (length != part_->free_block_num)
    report(kGeneral, "free_block_num is %u but the free list holds %u blocks",
           part_->free_block_num, length);
}

// 3b. The invalid-page list: doubly linked from invalid_page_head, the first
// block's back link names the head, each later block's names its
// predecessor, the head's own back link is null; invalid_page_count
// descending (16-bit); no loops; never the end record.
void Checker::walk_invalid_page_list() {
  _phy_block_info* head = &part_->invalid_page_head;
  if (head->invalid_page_prev != nullptr)
    report(kGeneral, "invalid-page list: the head's back link is set (to %s)",
           describe(head->invalid_page_prev, head).c_str());
  const _phy_block_info* previous = head;
  for (const _phy_block_info* block = head->invalid_page_next; block != nullptr;
       block = block->invalid_page_next) {
    const std::string after = describe(previous, head);
    const long index = index_of(block);
    if (index < 0) {
      report(kGeneral, "invalid-page list: the link after %s points outside the block table",
             after.c_str());
      break;
    }
    if (static_cast<uint32>(index) == blk_per_chip_) {
      report(kGeneral, "invalid-page list: the end record (block %u) is linked after %s",
             blk_per_chip_, after.c_str());
      break;
    }
    if (on_invalid_[index]) {
      report(kGeneral, "invalid-page list: loops back to block %ld after %s", index, after.c_str());
      break;
    }
    on_invalid_[index] = 1;
    if (block->invalid_page_prev != previous)
      report(kGeneral, "invalid-page list: block %ld's back link names %s instead of %s", index,
             describe(block->invalid_page_prev, head).c_str(), after.c_str());
    if (previous != head && previous->invalid_page_count < block->invalid_page_count)
      report(kGeneral,
             "invalid-page list order: block %ld (%u invalid pages) follows block %u (%u invalid "
             "pages); counts must not rise",
             index, block->invalid_page_count, previous->phy_block.blkNO_in_chip,
             previous->invalid_page_count);
    previous = block;
  }
}

// 3c. A block is on at most one of the free list and the invalid-page list.
// A block that is not on a list has that list's links null (the list code
// tells "not listed" by null links, so a stale link would later corrupt the
// list). invalid_page_count never exceeds pages_per_blk on a listed block.
void Checker::check_membership() {
  for (uint32 n = 0; n < blk_per_chip_; ++n) {
    const _phy_block_info& block = table_[n];
    if (on_free_[n] && on_invalid_[n])
      report(kGeneral, "block %u is on both the free list and the invalid-page list", n);
    if (!on_free_[n] && block.free_next != nullptr)
      report(kStaleLink, "block %u is not on the free list but its free_next names %s", n,
             describe(block.free_next, nullptr).c_str());
    if (!on_invalid_[n] &&
        (block.invalid_page_next != nullptr || block.invalid_page_prev != nullptr))
      report(kStaleLink,
             "block %u is not on the invalid-page list but its links are set (next %s, prev %s)", n,
             describe(block.invalid_page_next, &part_->invalid_page_head).c_str(),
             describe(block.invalid_page_prev, &part_->invalid_page_head).c_str());
    if ((on_free_[n] || on_invalid_[n]) && block.invalid_page_count > pages_per_blk_)
      report(kGeneral, "block %u on the %s list has invalid_page_count %u above pages_per_blk %u",
             n, on_free_[n] ? "free" : "invalid-page", block.invalid_page_count, pages_per_blk_);
  }
}

// 4. The current block is a block of the table on neither list. Its write
// position is at most pages_per_blk - 1 (only the mapping page left). Its
// reverse map holds 0xFFFFFFFF for every page not written yet, the mapping
// page's entry and the unused tail included. Once its first page is written
// (position above 0) its sequence number is the partition's
// current_block_used_count. No current block at all is a valid state (no
// free block could be had); the map may then name full blocks only.
void Checker::check_current_block() {
  const _phy_block_info* current = part_->part_current_used_block;
  if (current == nullptr) return;
  const long index = index_of(current);
  if (index < 0 || static_cast<uint32>(index) == blk_per_chip_) {
    report(kGeneral, "the current block names %s", describe(current, nullptr).c_str());
    return;
  }
  current_ = index;
  if (on_free_[index]) report(kGeneral, "the current block %ld is on the free list", index);
  if (on_invalid_[index])
    report(kGeneral, "the current block %ld is on the invalid-page list", index);
  if (current->invalid_page_count > pages_per_blk_)
    report(kGeneral, "the current block %ld has invalid_page_count %u above pages_per_blk %u",
           index, current->invalid_page_count, pages_per_blk_);

  const uint32 used = part_->current_block_used_page;
  if (used > pages_per_blk_ - 1) {
    report(kGeneral,
           "current_block_used_page is %u, beyond the last data page of the current block %ld "
           "(pages_per_blk %u)",
           used, index, pages_per_blk_);
  }
  current_used_pages_ = used < pages_per_blk_ - 1 ? used : pages_per_blk_ - 1;

  const uint32* reverse = part_->part_phy_page_map->phy_page_map;
  for (uint32 page = current_used_pages_; page < NYX_MAX_PAGES_PER_BLK; ++page) {
    if (reverse[page] != NYX_NO_LOGIC_PAGE)
      report(kCurrentReverseMap,
             "current block %ld: reverse-map entry %u is 0x%08x although only pages below %u are "
             "written",
             index, page, reverse[page], used);
  }
  if (used > 0 && current->block_used_count != static_cast<sint32>(part_->current_block_used_count))
    report(kGeneral,
           "the current block %ld has block_used_count %d but current_block_used_count is %u",
           index, current->block_used_count, part_->current_block_used_count);
}

// 5. Every block on the invalid-page list is full: its last page is its
// mapping page, tagged 0xAAAAFFFF, whose main data is the block's reverse
// map. Each is read once, into buffers of this checker's own (the shared
// scratch buffer is left alone). The reads go through the partition's
// nand_read_page operation, so they count in total_reads and on the device;
// no other record changes.
void Checker::read_full_block_maps() {
  const nand_chip_t* chip = part_->nand_chip;
  std::vector<uchar> page(chip->bytes_per_page);
  uchar spare[NYX_SPARE_BYTES];
  std::vector<_phy_page_mapping> decoded(1);
  for (uint32 n = 0; n < blk_per_chip_; ++n) {
    if (!on_invalid_[n]) continue;
    std::memset(page.data(), 0xFF, page.size());
    std::memset(spare, 0xFF, sizeof spare);
    _physic_op_par par = nyx_nftl_page_par(
        part_, static_cast<uint16>(n), static_cast<uint16>(pages_per_blk_ - 1), page.data(), spare);
    const int ret = part_->nand_read_page(part_, &par);
    ++mapping_pages_read_;
    if (ret != 0 && ret != -EUCLEAN) {
      report(kGeneral, "full block %u: reading its mapping page (page %u) failed with %d", n,
             pages_per_blk_ - 1, ret);
      continue;
    }
    const uint32 tag = get_special_data_from_oob(spare);
    if (tag != NYX_TAG_MAPPING_PAGE) {
      report(kGeneral,
             "full block %u: its last page (page %u) is not a mapping page (spare tag 0x%08x)", n,
             pages_per_blk_ - 1, tag);
      continue;
    }
    nyx_nftl_decode_mapping_page(page.data(), chip->bytes_per_page, decoded.data());
    full_maps_[n].assign(decoded[0].phy_page_map, decoded[0].phy_page_map + pages_per_blk_ - 1);
  }
}

// 6. The round trip: a mapped logical page n with entry (page p, block b)
// names a data page (p < pages_per_blk - 1) of a block b of the table that is
// either the current block, with p below its write position, or a full block;
// and the reverse map of b (part_phy_page_map for the current block, the
// mapping page for a full one) has entry p == n. A free block or a block out
// of service holds nothing valid. The map's page_status byte is reserved and
// stays 0xFF. Valid pages are counted per block for the recount.
void Checker::check_logic_map() {
  const _nand_page* map = part_->part_logic_page_map;
  for (uint32 n = 0; n < logic_pages_; ++n) {
    const _nand_page entry = map[n];
    if (entry.page_status != 0xFF)
      report(kMapEntry, "logical page %u: the map entry's reserved page_status is 0x%02x, not 0xFF",
             n, entry.page_status);
    if (entry.blkNO_in_chip == NYX_UNMAPPED_BLOCK) continue;
    if (nyx_nftl_page_trimmed(part_, n))
      report(kMapEntry, "logical page %u is mapped but still marked trimmed", n);
    const uint32 block = entry.blkNO_in_chip;
    const uint32 page = entry.Page_NO;
    if (block >= blk_per_chip_) {
      report(kMapEntry, "logical page %u maps to block %u, beyond the last block %u", n, block,
             blk_per_chip_ - 1);
      continue;
    }
    if (page >= pages_per_blk_ - 1) {
      report(kMapEntry, "logical page %u maps to page %u of block %u, which is not a data page", n,
             page, block);
      continue;
    }
    uint32 reverse;
    if (current_ >= 0 && block == static_cast<uint32>(current_)) {
      if (page >= current_used_pages_) {
        report(kMapEntry,
               "logical page %u maps to page %u of the current block %u, which is not written yet "
               "(current_block_used_page %u)",
               n, page, block, part_->current_block_used_page);
        continue;
      }
      reverse = part_->part_phy_page_map->phy_page_map[page];
    } else if (on_invalid_[block]) {
      if (full_maps_[block].empty()) continue;  // already reported: no usable mapping page
      reverse = full_maps_[block][page];
    } else {
      report(kMapEntry, "logical page %u maps to page %u of block %u, which is %s", n, page, block,
             on_free_[block] ? "on the free list" : "neither current nor full (out of service)");
      continue;
    }
    if (reverse != n) {
      if (reverse == NYX_NO_LOGIC_PAGE)
        report(kMapEntry,
               "logical page %u maps to page %u of block %u, whose reverse-map entry names no "
               "logical page",
               n, page, block);
      else
        report(kMapEntry,
               "logical page %u maps to page %u of block %u, whose reverse-map entry names logical "
               "page %u",
               n, page, block, reverse);
      continue;
    }
    ++valid_pages_[block];
  }
}

// 7. invalid_page_count is the number of pages holding nothing valid: for a
// full block 1 (its mapping page) plus its data pages that fail the round
// trip; for the current block, its written pages that fail it (a current
// block not yet erased for this use, position 0, still carries its old
// count). A full block's recount needs its mapping page.
void Checker::check_recounts() {
  for (uint32 n = 0; n < blk_per_chip_; ++n) {
    if (!on_invalid_[n] || full_maps_[n].empty()) continue;
    const uint32 recount = pages_per_blk_ - valid_pages_[n];
    if (table_[n].invalid_page_count != recount)
      report(kRecount, "full block %u: invalid_page_count is %u but a recount gives %u", n,
             table_[n].invalid_page_count, recount);
  }
  if (current_ >= 0 && current_used_pages_ > 0) {
    const uint32 recount = current_used_pages_ - valid_pages_[current_];
    if (table_[current_].invalid_page_count != recount)
      report(kRecount,
             "the current block %ld: invalid_page_count is %u but a recount of its %u written "
             "pages gives %u",
             current_, table_[current_].invalid_page_count, current_used_pages_, recount);
  }
}

// 8. The mount scan rebuilds the map from the flash: full blocks in
// ascending block_used_count (signed; among equal counts the lower block
// number is applied last and wins), pages in ascending order, and the
// current block last of all. So for every valid copy of logical page n, no
// other copy of n in a full block or in the current block may be one that
// the scan would apply later; otherwise a remount would bring back an older
// copy. (Free blocks that still hold old data are left to the remount
// tests: checking them would cost a read of each.)
void Checker::check_newest_copies() {
  const _nand_page* map = part_->part_logic_page_map;
  // Whether the scan applies copy (page_a, block_a) after copy (page_b,
  // block_b), given both are full blocks or the current block.
  auto applied_later = [&](uint32 block_a, uint32 page_a, uint32 block_b, uint32 page_b) {
    const bool a_current = current_ >= 0 && block_a == static_cast<uint32>(current_);
    const bool b_current = current_ >= 0 && block_b == static_cast<uint32>(current_);
    if (block_a == block_b) return page_a > page_b;
    if (a_current != b_current) return a_current;
    const sint32 count_a = table_[block_a].block_used_count;
    const sint32 count_b = table_[block_b].block_used_count;
    if (count_a != count_b) return count_a > count_b;
    return block_a < block_b;
  };
  auto check_copy = [&](uint32 block, uint32 page, uint32 logic_page) {
    if (logic_page >= logic_pages_) return;
    const _nand_page entry = map[logic_page];
    if (entry.blkNO_in_chip == block && entry.Page_NO == page) return;  // the valid copy
    if (entry.blkNO_in_chip >= blk_per_chip_) {
      // A trimmed page keeps its copies on the flash until they are
      // collected; a remount may bring one back, as the trim allows.
      if (entry.blkNO_in_chip == NYX_UNMAPPED_BLOCK && nyx_nftl_page_trimmed(part_, logic_page))
        return;
      report(kNewestCopy,
             "logical page %u is unmapped but page %u of block %u holds a copy that a remount "
             "would map",
             logic_page, page, block);
      return;
    }
    const uint32 valid_block = entry.blkNO_in_chip;
    const uint32 valid_page = entry.Page_NO;
    const bool valid_is_current = current_ >= 0 && valid_block == static_cast<uint32>(current_);
    if (!valid_is_current && !on_invalid_[valid_block]) return;  // reported by the round trip
    if (applied_later(block, page, valid_block, valid_page))
      report(kNewestCopy,
             "logical page %u: its stale copy at page %u of block %u (block_used_count %d) would "
             "win over the valid copy at page %u of block %u (block_used_count %d) at a remount",
             logic_page, page, block, table_[block].block_used_count, valid_page, valid_block,
             table_[valid_block].block_used_count);
  };
  for (uint32 n = 0; n < blk_per_chip_; ++n) {
    for (uint32 page = 0; page < full_maps_[n].size(); ++page)
      check_copy(n, page, full_maps_[n][page]);
  }
  if (current_ >= 0) {
    for (uint32 page = 0; page < current_used_pages_; ++page)
      check_copy(static_cast<uint32>(current_), page, part_->part_phy_page_map->phy_page_map[page]);
  }
}

// 9a. The priority reclaim queue: node i of the pool has gc_no i and the
// head 0xFF; the queue is a chain of pool nodes from the head, each node's
// back link naming its predecessor (the head for the first), no loops;
// gc_num counts the chain; a queued node has type 1 or 2 and names a block
// of the table, each block at most once; a node not queued has type 0; no
// request is being served between operations (prio_type_now 0).
void Checker::check_prio_queue() {
  _prio_gc& queue = part_->prio_gc;
  _prio_gc_node* head = &queue.prio_gc_head;
  if (head->gc_no != 0xFF)
    report(kQueue, "reclaim queue: the head's gc_no is %u, not 255", head->gc_no);
  bool queued[NYX_PRIO_GC_NODES] = {};
  std::vector<uint8_t> block_queued(blk_per_chip_, 0);
  uint32 length = 0;
  const _prio_gc_node* previous = head;
  for (const _prio_gc_node* node = head->prio_gc_next; node != nullptr; node = node->prio_gc_next) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(&queue.prio_gc_node[0]);
    const uintptr_t at = reinterpret_cast<uintptr_t>(node);
    const uintptr_t offset = at - base;
    if (at < base || offset % sizeof(_prio_gc_node) != 0 ||
        offset / sizeof(_prio_gc_node) >= NYX_PRIO_GC_NODES) {
      report(kQueue, "reclaim queue: a link points outside the node pool");
      break;
    }
    const uint32 slot = static_cast<uint32>(offset / sizeof(_prio_gc_node));
    if (queued[slot]) {
      report(kQueue, "reclaim queue: loops back to node %u", slot);
      break;
    }
    queued[slot] = true;
    ++length;
    if (node->prio_gc_prev != previous)
      report(kQueue, "reclaim queue: node %u's back link does not name its predecessor", slot);
    if (node->prio_type != NYX_PRIO_RETIRE && node->prio_type != NYX_PRIO_WEAR_LEVEL)
      report(kQueue, "reclaim queue: queued node %u has type %u", slot, node->prio_type);
    const long block = index_of(node->phy_block_info);
    if (block < 0 || static_cast<uint32>(block) == blk_per_chip_) {
      report(kQueue, "reclaim queue: node %u names %s", slot,
             describe(node->phy_block_info, nullptr).c_str());
    } else if (block_queued[block]++) {
      report(kQueue, "reclaim queue: block %ld is queued twice", block);
    }
    previous = node;
  }
  if (length != queue.gc_num)
    report(kQueue, "reclaim queue: gc_num is %u but %u nodes are queued", queue.gc_num, length);
  for (uint32 slot = 0; slot < NYX_PRIO_GC_NODES; ++slot) {
    const _prio_gc_node& node = queue.prio_gc_node[slot];
    if (node.gc_no != slot) report(kQueue, "reclaim queue: node %u has gc_no %u", slot, node.gc_no);
    if (!queued[slot] && node.prio_type != NYX_PRIO_FREE)
      report(kQueue, "reclaim queue: node %u is not queued but has type %u", slot, node.prio_type);
  }
  if (queue.prio_type_now != 0)
    report(kQueue, "reclaim queue: prio_type_now is %u between operations", queue.prio_type_now);
}

// 9b. Collection and wear-levelling flags: process is 1 (idle) or 0 (a cycle
// runs); flag_gc_block is only ever cleared; s_wl_status is 0 or 1.
void Checker::check_settings() {
  const _gc_strategy& gc = part_->gc_strategy;
  if (gc.process > 1) report(kGeneral, "gc_strategy.process is %u (must be 0 or 1)", gc.process);
  if (gc.flag_gc_block != 0)
    report(kGeneral, "gc_strategy.flag_gc_block is %u (never set)", gc.flag_gc_block);
  if (part_->s_wl.s_wl_status > 1)
    report(kGeneral, "s_wl.s_wl_status is %u (must be 0 or 1)", part_->s_wl.s_wl_status);
}

std::vector<std::string> Checker::run(uint32* mapping_pages_read, uint32* problems_found) {
  if (check_records()) {
    check_table();
    walk_free_list();
    walk_invalid_page_list();
    check_membership();
    check_current_block();
    read_full_block_maps();
    check_logic_map();
    check_recounts();
    check_newest_copies();
    check_prio_queue();
    check_settings();
  }
  uint32 found = static_cast<uint32>(problems_.size());
  for (int count : suppressed_of_kind_) found += static_cast<uint32>(count);
  summarise_suppressed();
  if (mapping_pages_read != nullptr) *mapping_pages_read = mapping_pages_read_;
  if (problems_found != nullptr) *problems_found = found;
  return std::move(problems_);
}

}  // namespace

std::vector<std::string> nyx_nftl_check(nyx_nftl_part_t* part, uint32* mapping_pages_read,
                                        uint32* problems_found) {
  Checker checker(part);
  return checker.run(mapping_pages_read, problems_found);
}
