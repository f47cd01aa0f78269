// The three ordered block lists of a partition, threaded through the block
// records themselves and anchored in head records of the partition:
//   free list              free_next, single;     erase_count ascending
//   invalid-page list      invalid_page_*, double; invalid_page_count descending
//   block-used-count list  block_used_*, double;  block_used_count ascending
// An inserted block goes ahead of blocks with an equal key. On the doubly
// linked lists the first block's back link names the head record, whose own
// back link stays null. Nothing is allocated here.
#include "nyx_nftl.h"
#include "nyx_nftl_links.h"

// ---------------------------------------------------------------------------
// Free list.
// ---------------------------------------------------------------------------
int add_free_list(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = &part->free_head;
  while (true) {
    _phy_block_info* next = pos->free_next;
    if (next == nullptr) {
      pos->free_next = block;
      block->free_next = nullptr;
      return 0;
    }
    if (next->erase_count >= block->erase_count) {
      block->free_next = next;
      pos->free_next = block;
      return 0;
    }
    pos = next;
  }
}

_phy_block_info* del_free_list(nyx_nftl_part_t* part) {
  _phy_block_info* first = part->free_head.free_next;
  if (first == nullptr) return nullptr;
  part->free_head.free_next = first->free_next;
  return first;
}

int put_phy_block_to_free_list(nyx_nftl_part_t* part, _phy_block_info* block) {
  block->free_next = nullptr;
  add_free_list(part, block);
  part->free_block_num++;
  return 0;
}

_phy_block_info* out_phy_block_from_free_list(nyx_nftl_part_t* part) {
  _phy_block_info* first = del_free_list(part);
  if (first == nullptr) return nullptr;
  first->free_next = nullptr;
  if (part->free_block_num > 0) part->free_block_num--;
  return first;
}

// ---------------------------------------------------------------------------
// Invalid-page list.
// ---------------------------------------------------------------------------
// Start hints of the invalid-page list (invalid_count_first): slot c names a
// block on the list whose count falls in slot c (counts above pages_per_blk
// share the last slot), kept as the first such block. A hint is used only
// once it checks out against the list itself; the list being in order, a
// checked hint gives the very place the walk from the head would reach, or a
// later place to start that walk from (the head when no hint checks out). So
// the order never depends on the hints, which only spare the walks (about
// 900 blocks on the default 128 MiB chip, at every full block, and a run of
// equal counts at nearly every page write).
namespace {

// Slot count, or 0 when the geometry leaves the hints unused.
uint32 hint_slots(const nyx_nftl_part_t* part) {
  if (part->nand_chip == nullptr) return 0;
  uint32 pages = part->nand_chip->pages_per_blk;
  return pages <= NYX_MAX_PAGES_PER_BLK ? pages + 2 : 0;
}

uint32 slot_of(uint32 slots, uint16 count) { return count < slots - 1 ? count : slots - 1; }

bool on_invalid_list(const _phy_block_info* block) { return block->invalid_page_prev != nullptr; }

// The hint of slot k, when it names a block on the list with a count of
// that slot; else null.
_phy_block_info* checked_hint(nyx_nftl_part_t* part, uint32 slots, uint32 k) {
  _phy_block_info* hint = part->invalid_count_first[k];
  if (hint == nullptr || !on_invalid_list(hint) || slot_of(slots, hint->invalid_page_count) != k) {
    return nullptr;
  }
  return hint;
}

// Records `block`, just linked in, as the first of its slot when it is.
void hint_linked(nyx_nftl_part_t* part, _phy_block_info* block) {
  const uint32 slots = hint_slots(part);
  if (slots == 0) return;
  const uint32 k = slot_of(slots, block->invalid_page_count);
  _phy_block_info* prev = block->invalid_page_prev;
  if (prev == &part->invalid_page_head || slot_of(slots, prev->invalid_page_count) != k) {
    part->invalid_count_first[k] = block;
  }
}

// Drops the hint of `block`'s slot when it names `block`, which is about to
// leave its place: the next block takes over when it shares the slot.
void hint_unlinking(nyx_nftl_part_t* part, _phy_block_info* block) {
  const uint32 slots = hint_slots(part);
  if (slots == 0) return;
  const uint32 k = slot_of(slots, block->invalid_page_count);
  if (part->invalid_count_first[k] != block) return;
  _phy_block_info* next = block->invalid_page_next;
  part->invalid_count_first[k] =
      next != nullptr && slot_of(slots, next->invalid_page_count) == k ? next : nullptr;
}

// Sets every hint again from the list (after a count rise beyond
// pages_per_blk, which the hints do not follow).
void rebuild_hints(nyx_nftl_part_t* part) {
  const uint32 slots = hint_slots(part);
  if (slots == 0) return;
  for (uint32 k = 0; k < slots; ++k) part->invalid_count_first[k] = nullptr;
  for (_phy_block_info* b = part->invalid_page_head.invalid_page_next; b != nullptr;
       b = b->invalid_page_next) {
    hint_linked(part, b);
  }
}

constexpr auto kInvalidNext = &_phy_block_info::invalid_page_next;
constexpr auto kInvalidPrev = &_phy_block_info::invalid_page_prev;
constexpr auto kUsedNext = &_phy_block_info::block_used_next;
constexpr auto kUsedPrev = &_phy_block_info::block_used_prev;

// Links `block` in right after `pos` (the head or a listed block).
void link_after(_phy_block_info* pos, _phy_block_info* block) {
  nyx_links::link_after(pos, block, kInvalidNext, kInvalidPrev);
}

// Where an insertion of a block with `count` invalid pages may start its
// walk: a listed block with more invalid pages (every block before it has
// at least as many, the list being in order), or the head.
_phy_block_info* insertion_start(nyx_nftl_part_t* part, uint16 count) {
  const uint32 slots = hint_slots(part);
  if (slots == 0 || count >= slots - 1) return &part->invalid_page_head;
  // The first block with at most `count`: the new block goes right before it.
  for (uint32 k = count + 1; k-- > 0;) {
    _phy_block_info* first = checked_hint(part, slots, k);
    if (first == nullptr) continue;
    _phy_block_info* prev = first->invalid_page_prev;
    if (prev == &part->invalid_page_head || prev->invalid_page_count > count) return prev;
    break;  // not the first of its kind: look above instead
  }
  // None found: start from the nearest slot above.
  for (uint32 k = uint32(count) + 1; k < slots; ++k) {
    _phy_block_info* above = checked_hint(part, slots, k);
    if (above != nullptr) return above;
  }
  return &part->invalid_page_head;
}

}  // namespace

int add_block_invalid_list(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = insertion_start(part, block->invalid_page_count);
  while (true) {
    _phy_block_info* next = pos->invalid_page_next;
    if (next == nullptr || next->invalid_page_count <= block->invalid_page_count) {
      link_after(pos, block);
      hint_linked(part, block);
      return 0;
    }
    pos = next;
  }
}

_phy_block_info* del_block_invalid_list(nyx_nftl_part_t* part) {
  _phy_block_info* head = &part->invalid_page_head;
  _phy_block_info* first = head->invalid_page_next;
  if (first == nullptr) return nullptr;
  hint_unlinking(part, first);
  nyx_links::splice_out(first, kInvalidNext, kInvalidPrev);
  return first;
}

_phy_block_info* del_block_invalid_list_by_block(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = part->invalid_page_head.invalid_page_next;
  while (pos != nullptr && pos != block) pos = pos->invalid_page_next;
  if (pos == nullptr) return nullptr;
  hint_unlinking(part, block);
  nyx_links::unlink(block, kInvalidNext, kInvalidPrev);
  return block;
}

int put_phy_block_to_invalid_page_list(nyx_nftl_part_t* part, _phy_block_info* block) {
  block->invalid_page_next = nullptr;
  block->invalid_page_prev = nullptr;
  int ret = add_block_invalid_list(part, block);
  if (ret != 0) printk("add invalid_list error !\n");
  return ret;
}

_phy_block_info* out_phy_block_from_invalid_page_list(nyx_nftl_part_t* part) {
  _phy_block_info* first = del_block_invalid_list(part);
  if (first == nullptr) return nullptr;
  first->invalid_page_next = nullptr;
  first->invalid_page_prev = nullptr;
  return first;
}

_phy_block_info* out_phy_block_from_invalid_page_list_by_block(nyx_nftl_part_t* part,
                                                               _phy_block_info* block) {
  _phy_block_info* removed = del_block_invalid_list_by_block(part, block);
  if (removed != nullptr) {
    removed->invalid_page_next = nullptr;
    removed->invalid_page_prev = nullptr;
  }
  return removed;
}

int phy_block_from_invalid_page_incr(nyx_nftl_part_t* part, _phy_block_info* block) {
  uint16 pages_per_blk = part->nand_chip->pages_per_blk;
  _phy_block_info* head = &part->invalid_page_head;

  if (block->invalid_page_next == nullptr && block->invalid_page_prev == nullptr) {
    // Not listed (current block, collection victim, free or out of service).
    block->invalid_page_count++;
    if (block->invalid_page_count > pages_per_blk) {
      printk("invalid_page_count more than pages_per_blk 0!!\n");
    }
    return 0;
  }

  hint_unlinking(part, block);
  block->invalid_page_count++;
  if (block->invalid_page_count > pages_per_blk) {
    printk("invalid_page_count more than pages_per_blk 1!!\n");
  }

  // Move ahead of predecessors with strictly fewer invalid pages; blocks with
  // an equal count keep their place in front. The list being in order, those
  // predecessors are the blocks that had the block's old count, so the block
  // goes right before the first of them when its hint checks out.
  const uint16 count = block->invalid_page_count;
  _phy_block_info* prev = block->invalid_page_prev;
  if (prev == nullptr) return 0;  // stale forward link only: not on the list
  if (prev == head || prev->invalid_page_count >= count) {
    hint_linked(part, block);
    return 0;
  }
  const uint32 slots = hint_slots(part);
  if (slots != 0 && count < slots - 1) {
    _phy_block_info* first = checked_hint(part, slots, count - 1u);
    if (first != nullptr && first != block) {
      // The first of them when what precedes it had more (the block itself,
      // already counted up, does not tell).
      _phy_block_info* before = first->invalid_page_prev;
      if (before != block && (before == head || before->invalid_page_count >= count)) {
        nyx_links::splice_out(block, kInvalidNext, kInvalidPrev);
        link_after(before, block);
        hint_linked(part, block);
        return 0;
      }
    }
  }
  while (true) {
    prev = block->invalid_page_prev;
    if (prev == nullptr || prev == head) break;
    if (prev->invalid_page_count >= block->invalid_page_count) break;
    // Exchange the block with its predecessor.
    _phy_block_info* before = prev->invalid_page_prev;
    nyx_links::splice_out(block, kInvalidNext, kInvalidPrev);
    link_after(before, block);
  }
  rebuild_hints(part);
  return 0;
}

int adjust_invaild_list(nyx_nftl_part_t* part) {
  uint16 pages_per_blk = part->nand_chip->pages_per_blk;
  while (true) {
    _phy_block_info* first = part->invalid_page_head.invalid_page_next;
    if (first == nullptr || first->invalid_page_count != pages_per_blk) return 0;
    del_block_invalid_list(part);
    first->invalid_page_next = nullptr;
    first->invalid_page_prev = nullptr;
    // Not erased here: a free block is erased when it is taken for writing.
    put_phy_block_to_free_list(part, first);
  }
}

// ---------------------------------------------------------------------------
// Block-used-count list.
// ---------------------------------------------------------------------------
int add_block_count_list(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = &part->block_used_head;
  while (true) {
    _phy_block_info* next = pos->block_used_next;
    if (next == nullptr || next->block_used_count >= block->block_used_count) {
      nyx_links::link_after(pos, block, kUsedNext, kUsedPrev);
      return 0;
    }
    pos = next;
  }
}

_phy_block_info* del_block_count_list(nyx_nftl_part_t* part) {
  _phy_block_info* first = part->block_used_head.block_used_next;
  if (first == nullptr) return nullptr;
  nyx_links::splice_out(first, kUsedNext, kUsedPrev);
  return first;
}

_phy_block_info* del_block_count_by_block(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = part->block_used_head.block_used_next;
  while (pos != nullptr && pos != block) pos = pos->block_used_next;
  if (pos == nullptr) return nullptr;
  nyx_links::unlink(block, kUsedNext, kUsedPrev);
  return block;
}

// ---------------------------------------------------------------------------
// Printing into the kernel log.
// ---------------------------------------------------------------------------
void print_free_list(nyx_nftl_part_t* part) {
  printk("free list: \n");
  for (_phy_block_info* b = part->free_head.free_next; b != nullptr; b = b->free_next) {
    printk("block NO:%4d; erase_count:%3d; ", b->phy_block.blkNO_in_chip, b->erase_count);
    printk("block_used_count:%4d\n", b->block_used_count);
  }
}

void print_block_invalid_list(nyx_nftl_part_t* part) {
  printk("invalid_page_count list: \n");
  for (_phy_block_info* b = part->invalid_page_head.invalid_page_next; b != nullptr;
       b = b->invalid_page_next) {
    printk("block NO:%4d; erase_count:%3d; ", b->phy_block.blkNO_in_chip, b->erase_count);
    printk("block_used_count:%4d; invalid_page_count:%3d\n", b->block_used_count,
           b->invalid_page_count);
  }
}

void print_block_count_list(nyx_nftl_part_t* part) {
  printk("block_used_count list: \n");
  for (_phy_block_info* b = part->block_used_head.block_used_next; b != nullptr;
       b = b->block_used_next) {
    printk("block NO: %d ", b->phy_block.blkNO_in_chip);
    printk("block_used_count: %d \n", b->block_used_count);
  }
}
