// The three ordered block lists of a partition, threaded through the block
// records themselves and anchored in head records of the partition:
//   free list              free_next, single;     erase_count ascending
//   invalid-page list      invalid_page_*, double; invalid_page_count descending
//   block-used-count list  block_used_*, double;  block_used_count ascending
// An inserted block goes ahead of blocks with an equal key. On the doubly
// linked lists the first block's back link names the head record, whose own
// back link stays null. Nothing is allocated here.
#include "nyx_nftl.h"

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
int add_block_invalid_list(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = &part->invalid_page_head;
  while (true) {
    _phy_block_info* next = pos->invalid_page_next;
    if (next == nullptr) {
      pos->invalid_page_next = block;
      block->invalid_page_next = nullptr;
      block->invalid_page_prev = pos;
      return 0;
    }
    if (next->invalid_page_count <= block->invalid_page_count) {
      block->invalid_page_next = next;
      block->invalid_page_prev = pos;
      pos->invalid_page_next = block;
      next->invalid_page_prev = block;
      return 0;
    }
    pos = next;
  }
}

_phy_block_info* del_block_invalid_list(nyx_nftl_part_t* part) {
  _phy_block_info* head = &part->invalid_page_head;
  _phy_block_info* first = head->invalid_page_next;
  if (first == nullptr) return nullptr;
  head->invalid_page_next = first->invalid_page_next;
  if (first->invalid_page_next != nullptr) first->invalid_page_next->invalid_page_prev = head;
  return first;
}

_phy_block_info* del_block_invalid_list_by_block(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = part->invalid_page_head.invalid_page_next;
  while (pos != nullptr && pos != block) pos = pos->invalid_page_next;
  if (pos == nullptr) return nullptr;
  _phy_block_info* prev = block->invalid_page_prev;
  _phy_block_info* next = block->invalid_page_next;
  prev->invalid_page_next = next;
  if (next != nullptr) next->invalid_page_prev = prev;
  block->invalid_page_next = nullptr;
  block->invalid_page_prev = nullptr;
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

  block->invalid_page_count++;
  if (block->invalid_page_count > pages_per_blk) {
    printk("invalid_page_count more than pages_per_blk 1!!\n");
  }

  // Move ahead of predecessors with strictly fewer invalid pages; blocks with
  // an equal count keep their place in front.
  while (true) {
    _phy_block_info* prev = block->invalid_page_prev;
    if (prev == nullptr || prev == head) return 0;
    if (prev->invalid_page_count >= block->invalid_page_count) return 0;
    _phy_block_info* before = prev->invalid_page_prev;
    _phy_block_info* after = block->invalid_page_next;
    before->invalid_page_next = block;
    block->invalid_page_prev = before;
    block->invalid_page_next = prev;
    prev->invalid_page_prev = block;
    prev->invalid_page_next = after;
    if (after != nullptr) after->invalid_page_prev = prev;
  }
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
    if (next == nullptr) {
      pos->block_used_next = block;
      block->block_used_next = nullptr;
      block->block_used_prev = pos;
      return 0;
    }
    if (next->block_used_count >= block->block_used_count) {
      block->block_used_next = next;
      block->block_used_prev = pos;
      pos->block_used_next = block;
      next->block_used_prev = block;
      return 0;
    }
    pos = next;
  }
}

_phy_block_info* del_block_count_list(nyx_nftl_part_t* part) {
  _phy_block_info* head = &part->block_used_head;
  _phy_block_info* first = head->block_used_next;
  if (first == nullptr) return nullptr;
  head->block_used_next = first->block_used_next;
  if (first->block_used_next != nullptr) first->block_used_next->block_used_prev = head;
  return first;
}

_phy_block_info* del_block_count_by_block(nyx_nftl_part_t* part, _phy_block_info* block) {
  _phy_block_info* pos = part->block_used_head.block_used_next;
  while (pos != nullptr && pos != block) pos = pos->block_used_next;
  if (pos == nullptr) return nullptr;
  _phy_block_info* prev = block->block_used_prev;
  _phy_block_info* next = block->block_used_next;
  prev->block_used_next = next;
  if (next != nullptr) next->block_used_prev = prev;
  block->block_used_next = nullptr;
  block->block_used_prev = nullptr;
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
