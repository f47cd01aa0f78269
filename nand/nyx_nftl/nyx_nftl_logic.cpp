// Logical pages: reading and writing one logical page through the logical
// page map and the partition's current block. A write goes to the next page
// of the current block; when only the last page is left, the block's reverse
// map is written there as its mapping page and the block is retired to the
// invalid-page list; a free block is then erased to become the current block.
// A failed page write moves the current block's pages to a fresh block
// (do_write_error), and so does the first write after an attach that found
// the current block partly written (leave_found_block). Also installs the
// partition's operation pointers.
//
// Invariants kept here, between operations:
// - A mapped logical page n with entry (page p, block b) is valid exactly
//   there: b's reverse map (its mapping page, or part_phy_page_map while b
//   is the current block) names n at p. Every other data page is invalid,
//   and a block's invalid_page_count counts them, its mapping page included.
// - In the current block, pages 0 .. current_block_used_page - 1 are written
//   and part_phy_page_map names their logical pages; its other entries are
//   0xFFFFFFFF. current_block_used_page is at most pages_per_blk - 1 (only
//   the mapping page left); 0 means the block is not yet erased for use.
// - The current block is on no list; each block taken for writing gets a
//   sequence number above every other block's (FORMAT.md).
// - Pages are programmed only into a block erased since the attach (or
//   rewritten by the mount's replay): a current block the mount found
//   partly written is left by the first write (leave_found_block).
//
// Every function runs with the partition's lock held by its caller.

#include <cstring>
#include <new>
#include <vector>

#include "nyx_nftl.h"

namespace {

// The write path's own page buffer, for the mapping page and for the pages
// that a write-error recovery moves. temp_page_buf cannot serve here: garbage
// collection hands the page it moves to the write path in temp_page_buf, and
// a mapping page or a recovery copy built there would overwrite that page
// before it is written. One buffer per thread (each partition's work is
// serialised by its lock, but different partitions may run on different
// threads), grown to the largest page seen and kept, so the write path
// allocates nothing after its first use. Null when memory runs out.
uchar* write_path_page_buf(const nyx_nftl_part_t* part) {
  thread_local std::vector<uchar> buf;
  const size_t need = part->nand_chip->bytes_per_page;
  if (buf.size() < need) {
    try {
      buf.resize(need);
    } catch (const std::bad_alloc&) {
      return nullptr;
    }
  }
  return buf.data();
}

// Invalid pages of the current block by the round-trip rule: the mapping
// page plus every data page whose logical page has moved on.
uint16 recount_current_block(const nyx_nftl_part_t* part) {
  const _phy_block_info* cur = part->part_current_used_block;
  const uint16 pages = part->nand_chip->pages_per_blk;
  uint16 invalid = 1;
  for (uint16 i = 0; i + 1 < pages; ++i) {
    if (!is_valid_page(part, cur->phy_block.blkNO_in_chip, i,
                       part->part_phy_page_map->phy_page_map[i])) {
      invalid = static_cast<uint16>(invalid + 1);
    }
  }
  return invalid;
}

// Takes the least-worn free block as the new current block, to be erased by
// the next step of the write: clears the reverse map, starts at page 0 and
// gives the block the next sequence number.
uint32 take_next_current_block(nyx_nftl_part_t* part) {
  std::memset(part->part_phy_page_map, 0xFF, sizeof(*part->part_phy_page_map));
  _phy_block_info* next = out_phy_block_from_free_list(part);
  part->part_current_used_block = next;
  if (next == nullptr) {
    printk("no free block!!!!\n");
    return 1;
  }
  part->current_block_used_page = 0;
  part->current_block_used_count += 1;
  return 0;
}

// Writes the current block's mapping page into its last page and retires the
// block to the invalid-page list, then takes the next current block.
uint32 retire_current_block(nyx_nftl_part_t* part) {
  const uint16 pages = part->nand_chip->pages_per_blk;
  for (;;) {
    // Encoded afresh on every attempt: a recovery reuses the buffer for the
    // pages it moves, and the block (erase count, sequence number) changes.
    _phy_block_info* cur = part->part_current_used_block;
    uchar* page = write_path_page_buf(part);
    if (page == nullptr) return 1;
    nyx_nftl_encode_mapping_page(part->part_phy_page_map, page, part->nand_chip->bytes_per_page);
    uchar spare[NYX_SPARE_BYTES];
    std::memset(spare, 0xFF, sizeof spare);  // bytes 10-15 stay 0xFF, as in the marks
    set_oob_special_page(part, spare, NYX_TAG_MAPPING_PAGE, part->current_block_used_count,
                         cur->erase_count);
    _physic_op_par op;
    op = nyx_nftl_page_par(part, cur->phy_block.blkNO_in_chip, part->current_block_used_page, page,
                           spare);
    const int ret = part->nand_write_page(part, &op);
    if (cur->invalid_page_count > pages) printk("invalid_page_count more than pages_per_blk 3!!\n");
    if (ret == 0) break;
    printk("nand_write_logic_page_no_gc write error!\n");
    if (do_write_error(part) != 0) return 1;
    // The mapping page goes again to the same page number of the replacement.
  }

  _phy_block_info* cur = part->part_current_used_block;
  cur->invalid_page_count = static_cast<uint16>(cur->invalid_page_count + 1);
  const uint16 recount = recount_current_block(part);
  if (recount != cur->invalid_page_count) {
    printk("part_current_used_block invaild_page num error:[%d] [%d]!!\n", recount,
           cur->invalid_page_count);
    cur->invalid_page_count = recount;
  }
  put_phy_block_to_invalid_page_list(part, cur);
  adjust_invaild_list(part);
  return take_next_current_block(part);
}

// Erases the current block before its first page is written. A block whose
// erase fails is marked bad and left on no list; the next free block takes
// its place with the same sequence number.
uint32 erase_current_block(nyx_nftl_part_t* part) {
  // Nothing is written in the block yet, whatever reverse map the mount left.
  std::memset(part->part_phy_page_map, 0xFF, sizeof(*part->part_phy_page_map));
  for (;;) {
    _phy_block_info* cur = part->part_current_used_block;
    _physic_op_par op;
    op = nyx_nftl_page_par(part, cur->phy_block.blkNO_in_chip, 0, nullptr, nullptr);
    const int ret = part->nand_erase_superblk(part, &op);
    cur->invalid_page_count = 0;
    cur->erase_count = static_cast<uint16>(cur->erase_count + 1);
    cur->block_used_count = static_cast<sint32>(part->current_block_used_count);
    if (ret == 0) break;
    part->nand_mark_bad_blk(part, &op);
    part->current_block_used_count -= 1;
    printk("nand_write_logic_page_no_gc erase error!\n");
    if (take_next_current_block(part) != 0) return 1;
  }
  const _phy_block_info* cur = part->part_current_used_block;
  if (part->s_wl.s_wl_status != 1 && cur->erase_count != 0xFFFF &&
      cur->erase_count > part->s_wl.erase_threshold) {
    part->s_wl.s_wl_status = 1;
  }
  return 0;
}

// Writes `buf` as logical page `page_no` into the next page of the current
// block and points both maps at it.
uint32 write_data_page(nyx_nftl_part_t* part, uint32 page_no, uchar* buf) {
  const uint16 pages = part->nand_chip->pages_per_blk;
  _nand_page* entry = &part->part_logic_page_map[page_no];

  // The old copy: counted now when it lies in the current block (a recovery
  // carries the count into the replacement), else after the write.
  bool old_in_current = false;
  _phy_block_info* old_block = nullptr;
  if (entry->blkNO_in_chip != NYX_UNMAPPED_BLOCK) {
    _phy_block_info* holder = get_phy_block_addr(part, entry->blkNO_in_chip);
    if (holder == part->part_current_used_block) {
      old_in_current = true;
      holder->invalid_page_count = static_cast<uint16>(holder->invalid_page_count + 1);
      if (holder->invalid_page_count > pages) {
        printk("invalid_page_count more than pages_per_blk 2 current_block_used_page:%d!!\n",
               part->current_block_used_page);
      }
    } else {
      old_block = holder;
    }
  }

  for (;;) {
    _phy_block_info* cur = part->part_current_used_block;
    uchar spare[NYX_SPARE_BYTES];
    std::memset(spare, 0xFF, sizeof spare);
    set_oob_logic_page(part, spare, page_no, part->current_block_used_count, cur->erase_count);
    _physic_op_par op;
    op = nyx_nftl_page_par(part, cur->phy_block.blkNO_in_chip, part->current_block_used_page, buf,
                           spare);
    if (part->nand_write_page(part, &op) == 0) break;
    printk("nand_write_logic_page_no_gc write error2!\n");
    if (do_write_error(part) != 0) {
      // The page never reached the flash: the maps keep naming the old copy,
      // which stays valid, so its early count is taken back.
      if (old_in_current) {
        _phy_block_info* now = part->part_current_used_block;
        now->invalid_page_count = static_cast<uint16>(now->invalid_page_count - 1);
      }
      return 1;
    }
    // Written again at the same page number of the replacement block.
  }

  // The maps follow the page only once it is on the flash: pointing them at a
  // page whose write failed would lose the old copy if the recovery failed.
  const uint16 used = part->current_block_used_page;
  entry->Page_NO = used;
  entry->blkNO_in_chip = part->part_current_used_block->phy_block.blkNO_in_chip;
  nyx_nftl_set_page_trimmed(part, page_no, false);
  part->part_phy_page_map->phy_page_map[used] = page_no;
  part->current_block_used_page = static_cast<uint16>(used + 1);

  if (old_block != nullptr) phy_block_from_invalid_page_incr(part, old_block);
  adjust_invaild_list(part);
  return 0;
}

// Moves page `page` of `from` to the same page of `to`, with `to`'s sequence
// number and erase count in its spare record. Returns nonzero only when the
// destination failed. The copy is made here rather than with nand_copy_page,
// whose result merges the source read with the destination write: a source
// page that reads back damaged would condemn one fresh block after another
// until the free list ran dry. Such a page is moved as read (its data is
// beyond recovery either way, and skipping it would leave an erased hole that
// ends the current block's pages at the next mount).
int move_page(nyx_nftl_part_t* part, _phy_block_info* from, _phy_block_info* to, uint16 page,
              uchar* buf) {
  uchar spare[NYX_SPARE_BYTES];
  _physic_op_par op;
  op = nyx_nftl_page_par(part, from->phy_block.blkNO_in_chip, page, buf, spare);
  // A read that fails uncorrectably is tried again: the copy must not carry
  // a passing bit error into the new block as sound data.
  nand_read_page_tries(part, &op);

  const uint32 lp = part->part_phy_page_map->phy_page_map[page];
  const uint32 sequence = static_cast<uint32>(to->block_used_count);
  std::memset(spare, 0xFF, sizeof spare);
  if (lp != NYX_NO_LOGIC_PAGE) {
    // The reverse map, not the spare record just read, names the page: it
    // survives a damaged read.
    set_oob_logic_page(part, spare, lp, sequence, to->erase_count);
  } else {
    // A page that holds no logical page (one the mount could not read: a
    // program torn by a power loss) becomes a dead page. Its record as read
    // is not copied: torn bits can look like a logical page record, which
    // the copy would turn into a sound page that a later mount maps.
    set_oob_special_page(part, spare, NYX_TAG_DEAD_PAGE, sequence, to->erase_count);
  }
  op = nyx_nftl_page_par(part, to->phy_block.blkNO_in_chip, page, buf, spare);
  return part->nand_write_page(part, &op);
}

// Takes a block off the free list and erases it to be written as block
// number `sequence`. A block whose erase fails is marked bad and the next
// one taken, while more than `reserve` free blocks remain. Null when no
// block is left ("no free block"); `who` names the caller in the log.
_phy_block_info* take_erased_block(nyx_nftl_part_t* part, uint32 sequence, uint32 reserve,
                                   const char* who) {
  for (;;) {
    _phy_block_info* fresh = out_phy_block_from_free_list(part);
    if (fresh == nullptr) break;
    _physic_op_par op;
    op = nyx_nftl_page_par(part, fresh->phy_block.blkNO_in_chip, 0, nullptr, nullptr);
    const int ret = part->nand_erase_superblk(part, &op);
    fresh->invalid_page_count = 0;
    fresh->erase_count = static_cast<uint16>(fresh->erase_count + 1);
    if (ret == 0) {
      fresh->block_used_count = static_cast<sint32>(sequence);
      return fresh;
    }
    part->nand_mark_bad_blk(part, &op);
    printk("%s erase error!\n", who);
    if (part->free_block_num <= reserve) break;
  }
  printk("no free block\n");
  return nullptr;
}

// The mount took the current block as it found it, partly written. A power
// loss during the program after its last written page, or during an erase of
// the block, can leave cells that read erased but do not hold what is
// programmed there, and nothing on the flash tells such a page from a sound
// erased one. So nothing more is programmed into the block: its valid pages
// move, in order, to a freshly erased block that becomes the current block,
// and the old block is erased and freed (a block with no valid page is simply
// erased again for use). The new block is numbered the old one's plus two: a
// power loss during the move leaves two partly written blocks, the newer
// holding fewer pages, which one apart the mount would take for an
// interrupted write-error recovery and replay, dropping the older block's
// last page; two apart it salvages the older block. Without a free block the
// write is refused: the block is never written into instead. 0, or 1.
uint32 leave_found_block(nyx_nftl_part_t* part) {
  _phy_block_info* old = part->part_current_used_block;
  const uint16 old_no = old->phy_block.blkNO_in_chip;
  const uint16 used = part->current_block_used_page;
  uint32* reverse = part->part_phy_page_map->phy_page_map;
  uint16 valid = 0;
  for (uint16 i = 0; i < used; ++i)
    valid = uint16(valid + is_valid_page(part, old_no, i, reverse[i]));
  if (valid == 0) {
    printk("leave_found_block: 0 pages from block %d\n", old_no);
    part->current_block_used_page = 0;  // erased again before its first page
    part->current_block_found_written = 0;
    return 0;
  }
  uchar* buf = write_path_page_buf(part);
  if (buf == nullptr) return 1;
  const uint32 sequence = static_cast<uint32>(old->block_used_count) + 2;
  _phy_block_info* fresh = nullptr;
  for (;;) {
    fresh = take_erased_block(part, sequence, 0, "leave_found_block");
    if (fresh == nullptr) return 1;
    bool moved = true;
    for (uint16 i = 0, to = 0; moved && i < used; ++i) {
      if (!is_valid_page(part, old_no, i, reverse[i])) continue;
      uchar spare[NYX_SPARE_BYTES];
      _physic_op_par from = nyx_nftl_page_par(part, old_no, i, buf, spare);
      nand_read_page_tries(part, &from);
      std::memset(spare, 0xFF, sizeof spare);
      set_oob_logic_page(part, spare, reverse[i], sequence, fresh->erase_count);
      _physic_op_par into =
          nyx_nftl_page_par(part, fresh->phy_block.blkNO_in_chip, to++, buf, spare);
      moved = part->nand_write_page(part, &into) == 0;
    }
    if (moved) break;
    _physic_op_par op;
    op = nyx_nftl_page_par(part, fresh->phy_block.blkNO_in_chip, 0, nullptr, nullptr);
    part->nand_mark_bad_blk(part, &op);
    printk("leave_found_block write error!\n");
  }
  // The maps follow the pages; the reverse map is compacted in place (a
  // page moves to a number no higher than its own).
  uint16 to = 0;
  for (uint16 i = 0; i < used; ++i) {
    const uint32 lp = reverse[i];
    reverse[i] = NYX_NO_LOGIC_PAGE;
    if (!is_valid_page(part, old_no, i, lp)) continue;
    part->part_logic_page_map[lp].blkNO_in_chip = fresh->phy_block.blkNO_in_chip;
    part->part_logic_page_map[lp].Page_NO = to;
    reverse[to++] = lp;
  }
  printk("leave_found_block: %d pages from block %d to block %d\n", to, old_no,
         fresh->phy_block.blkNO_in_chip);
  part->part_current_used_block = fresh;
  part->current_block_used_page = to;
  part->current_block_used_count = sequence;
  part->current_block_found_written = 0;

  _physic_op_par op;
  op = nyx_nftl_page_par(part, old_no, 0, nullptr, nullptr);
  const int erased = part->nand_erase_superblk(part, &op);
  old->erase_count = static_cast<uint16>(old->erase_count + 1);
  old->invalid_page_count = 0;
  if (erased != 0) {
    part->nand_mark_bad_blk(part, &op);
    printk("leave_found_block erase error!\n");
  } else {
    put_phy_block_to_free_list(part, old);
  }
  return 0;
}

}  // namespace

bool is_valid_page(const nyx_nftl_part_t* part, uint16 block_no, uint16 page, uint32 lp) {
  // Entries that are no logical page of this partition (none, or beyond the
  // map, as a damaged spare record may leave them) never index the map.
  if (lp == NYX_NO_LOGIC_PAGE || lp >= nyx_nftl_logic_pages(part)) return false;
  const _nand_page& entry = part->part_logic_page_map[lp];
  return entry.blkNO_in_chip == block_no && entry.Page_NO == page;
}

uint32 nand_read_logic_page(nyx_nftl_part_t* part, uint32 page_no, uchar* buf) {
  // A page number beyond the map is refused before it can index it.
  if (page_no >= nyx_nftl_logic_pages(part)) return 1;
  const _nand_page entry = part->part_logic_page_map[page_no];
  if (entry.blkNO_in_chip == NYX_UNMAPPED_BLOCK) {
    std::memset(buf, 0xFF, part->nand_chip->bytes_per_page);
    return 0;
  }
  uchar spare[NYX_SPARE_BYTES];
  _physic_op_par op;
  op = nyx_nftl_page_par(part, entry.blkNO_in_chip, entry.Page_NO, buf, spare);
  int ret = part->nand_read_page(part, &op);
  if (ret == -EUCLEAN) ret = 0;
  if (do_prio_gc(part) != 0) ret = 1;
  return static_cast<uint32>(ret);
}

uint32 nand_write_logic_page_no_gc(nyx_nftl_part_t* part, uint32 page_no, uchar* buf) {
  // A page number beyond the map is refused before it can index it.
  if (page_no >= nyx_nftl_logic_pages(part)) return 1;
  // Without a current block (none found at mount, or the free list ran dry
  // when one was needed) there is nowhere to write: refused, flash untouched.
  if (part->part_current_used_block == nullptr) return 1;
  const uint16 last_page = static_cast<uint16>(part->nand_chip->pages_per_blk - 1);
  // A write position past the mapping page would program into the next
  // block: refused.
  if (part->current_block_used_page > last_page) return 1;
  if (part->current_block_found_written != 0 && leave_found_block(part) != 0) return 1;

  if (part->current_block_used_page == last_page && retire_current_block(part) != 0) return 1;
  if (part->current_block_used_page == 0 && erase_current_block(part) != 0) return 1;
  return write_data_page(part, page_no, buf);
}

uint32 nand_write_logic_page(nyx_nftl_part_t* part, uint32 page_no, uchar* buf) {
  if (nand_write_logic_page_no_gc(part, page_no, buf) != 0) return 1;
  return garbage_collect(part) != 0 ? 1 : 0;
}

uint32 nand_trim_logic_page(nyx_nftl_part_t* part, uint32 page_no) {
  if (page_no >= nyx_nftl_logic_pages(part)) return 1;
  _nand_page* entry = &part->part_logic_page_map[page_no];
  if (entry->blkNO_in_chip == NYX_UNMAPPED_BLOCK) return 0;
  _phy_block_info* holder = get_phy_block_addr(part, entry->blkNO_in_chip);
  std::memset(entry, 0xFF, sizeof *entry);
  nyx_nftl_set_page_trimmed(part, page_no, true);
  // The copy stops being valid exactly as when the page is written again:
  // the current block's count rises in place, a full block moves up the
  // invalid-page list, and one left without a valid page is freed.
  phy_block_from_invalid_page_incr(part, holder);
  adjust_invaild_list(part);
  return 0;
}

uint32 do_write_error(nyx_nftl_part_t* part) {
  _phy_block_info* cur = part->part_current_used_block;
  const uint16 used = part->current_block_used_page;
  uchar* buf = write_path_page_buf(part);
  if (buf == nullptr) return 1;

  _phy_block_info* fresh = nullptr;
  for (;;) {
    fresh = take_erased_block(part, static_cast<uint32>(cur->block_used_count) + 1,
                              part->gc_strategy.start_gc_free_blocks / 4, "do_write_error");
    if (fresh == nullptr) return 1;

    // Every written page moves, not only those up to the first page without
    // a logical page: the mount may leave such a page inside the block, and
    // stopping there would drop the pages after it.
    bool moved = true;
    for (uint16 i = 0; i < used; ++i) {
      if (move_page(part, cur, fresh, i, buf) != 0) {
        moved = false;
        break;
      }
    }
    if (moved) break;
    _physic_op_par op;
    op = nyx_nftl_page_par(part, fresh->phy_block.blkNO_in_chip, 0, nullptr, nullptr);
    part->nand_mark_bad_blk(part, &op);
  }

  const uint16 cur_no = cur->phy_block.blkNO_in_chip;
  for (uint16 i = 0; i < used; ++i) {
    const uint32 lp = part->part_phy_page_map->phy_page_map[i];
    if (is_valid_page(part, cur_no, i, lp)) {
      part->part_logic_page_map[lp].blkNO_in_chip = fresh->phy_block.blkNO_in_chip;
    }
  }
  fresh->invalid_page_count = cur->invalid_page_count;

  _physic_op_par op;
  op = nyx_nftl_page_par(part, cur_no, 0, nullptr, nullptr);
  part->nand_mark_bad_blk(part, &op);

  part->part_current_used_block = fresh;
  part->current_block_used_count = static_cast<uint32>(fresh->block_used_count);
  return 0;
}

void nyx_nftl_ops_init(nyx_nftl_part_t* part) {
  part->nand_erase_superblk = nand_erase_superblk;
  part->nand_read_page = nand_read_page;
  part->nand_write_page = nand_write_page;
  part->nand_copy_page = nand_copy_page;
  part->nand_is_blk_good = nand_is_blk_good;
  part->nand_mark_bad_blk = nand_mark_bad_blk;
  part->nand_write_logic_page = nand_write_logic_page;
  part->nand_read_logic_page = nand_read_logic_page;
}
