// Reclamation: garbage collection moves the valid pages of the block with the
// most invalid pages to the current block, in bounded steps started and
// stopped by free-block thresholds, and hands the block back to the lists,
// which free it once every page is invalid. Also the priority reclaim queue
// (blocks to reclaim whole ahead of the others, then retire or return to
// circulation) and static wear levelling, which feeds that queue with the
// least-worn full block.
//
// Every function runs with the partition's lock held by its caller; the
// scratch buffers temp_page_buf and part_phy_page_map_for_gc rely on it.

#include <cstring>
#include <vector>

#include "nyx_nftl.h"
#include "nyx_nftl_links.h"

namespace {

constexpr uint16 kWholeBlock = 65535;
constexpr uint16 kGcOneMinInvalid = 10;

// Decodes the reverse-map entries of the data pages (0 to pages - 2) of a
// mapping page's main data, entry i little-endian at byte 4i: the only
// entries the collector looks at. The rest of the record is left as it was.
// The geometry check at bring-up keeps 4 x pages within the page; entries
// past the page's end would be left as they were.
void decode_data_page_entries(const uchar* page, uint32 page_size, uint16 pages,
                              _phy_page_mapping* map) {
  for (uint32 i = 0; i + 1 < pages && 4 * i + 4 <= page_size; ++i) {
    const uchar* b = page + 4 * i;
    map->phy_page_map[i] =
        uint32(b[0]) | (uint32(b[1]) << 8) | (uint32(b[2]) << 16) | (uint32(b[3]) << 24);
  }
}

}  // namespace

// Kept whole: one collection step, victim to lists, reads as the steps of a
// single procedure (take the victim, read its map, recount, move, hand back).
uint32 garbage_collect_first(nyx_nftl_part_t* part, _phy_block_info* block, uint16 page_num) {
  const uint16 pages = part->nand_chip->pages_per_blk;
  if (block != nullptr && block == part->part_current_used_block) return 0;

  _phy_block_info* victim = block != nullptr
                                ? out_phy_block_from_invalid_page_list_by_block(part, block)
                                : out_phy_block_from_invalid_page_list(part);
  if (victim == nullptr) {
    printk("garbage_collect_first error!!\n");
    return 1;
  }
  const uint16 victim_no = victim->phy_block.blkNO_in_chip;

  // Erased until read: a read that fails outright (the power gone) fills
  // nothing in, and the victim then has no mapping page to act on.
  uchar spare[NYX_SPARE_BYTES];
  std::memset(spare, 0xFF, sizeof spare);
  _physic_op_par op;
  op = nyx_nftl_page_par(part, victim_no, static_cast<uint16>(pages - 1), part->temp_page_buf,
                         spare);
  const int map_read = nand_read_page_tries(part, &op);
  const uint32 tag = get_special_data_from_oob(spare);
  if (tag != NYX_TAG_MAPPING_PAGE) {
    printk("garbage_collect_first cannot find PHY_MAPPING_PAGE %x !!\n", tag);
    return 1;
  }
  // A mapping page that reads back damaged is not acted on: the victim stays
  // out of every list with its pages where they are, as for a missing one.
  if (!nand_read_ok(map_read)) return 1;
  decode_data_page_entries(part->temp_page_buf, part->nand_chip->bytes_per_page, pages,
                           part->part_phy_page_map_for_gc);
  const uint32* reverse = part->part_phy_page_map_for_gc->phy_page_map;

  uint16 invalid = 1;  // the mapping page
  for (uint16 i = 0; i + 1 < pages; ++i) {
    if (!is_valid_page(part, victim_no, i, reverse[i])) invalid = static_cast<uint16>(invalid + 1);
  }
  if (invalid != victim->invalid_page_count) {
    printk("garbage_collect_first invaild_page num error:[%d] [%d]!!\n", invalid,
           victim->invalid_page_count);
    print_block_invalid_list(part);
    // The recount replaces the stored count. A count left too low would bring
    // a fully moved victim back to the list short of pages_per_blk, to be
    // picked again and again with nothing to move (gc_all would never end);
    // one left too high would free the victim while valid pages remain in it.
    victim->invalid_page_count = invalid;
  }

  uint16 i = 0;
  for (; i + 1 < pages; ++i) {
    const uint32 lp = reverse[i];
    if (!is_valid_page(part, victim_no, i, lp)) continue;
    op = nyx_nftl_page_par(part, victim_no, i, part->temp_page_buf, spare);
    // A page that reads back damaged is not moved: a copy would carry the
    // damage as good data. It stays mapped where it is, so reading it keeps
    // reporting the error, and the victim stays out of every list: back on
    // the list it would head it again and stop every later step at the same
    // page.
    if (!nand_read_ok(nand_read_page_tries(part, &op))) return 1;
    const uint32 ret = nand_write_logic_page_no_gc(part, lp, part->temp_page_buf);
    page_num = static_cast<uint16>(page_num - 1);
    if (ret != 0) {
      // The page stays where it was, valid. The victim goes back on the list
      // (by its count, which only the pages moved so far raised), so that a
      // later step can finish it; left on no list it would stay out of
      // circulation even once every page in it became invalid.
      put_phy_block_to_invalid_page_list(part, victim);
      return 1;
    }
    if (page_num == 0) break;
  }
  const bool walked_to_end = i + 1 >= pages;
  if (walked_to_end) part->gc_strategy.flag_gc_block = 0;

  // A block to retire is marked bad only once every valid page has left it.
  if (block != nullptr && part->prio_gc.prio_type_now == NYX_PRIO_RETIRE && walked_to_end) {
    op = nyx_nftl_page_par(part, victim_no, 0, nullptr, nullptr);
    part->nand_mark_bad_blk(part, &op);
    return 0;
  }
  put_phy_block_to_invalid_page_list(part, victim);
  adjust_invaild_list(part);
  return 0;
}

// ---------------------------------------------------------------------------
// The greedy policy.
//
// The standard policy (below) starts a cycle when free blocks fall to
// start_gc_free_blocks (an eighth of the spare blocks) and runs it until they
// reach stop_gc_free_blocks (two thirds of them). Blocks held free are spare
// room taken from the full blocks, whose victims then still hold many valid
// pages: on the default chip (127 spare blocks) free blocks stay around 35 to
// 40 and a victim holds about 53 valid pages of 63, a write amplification of
// about 6.2 under uniform random writes.
//
// The greedy policy lets the full blocks use nearly all of the spare room. It
// collects only while free blocks are at or below a low mark (gc_low_mark, set
// by the mount scan), always from the block with the most invalid pages (the
// invalid-page list's head), and moves per call just enough pages to hold the
// free count at the mark: freeing a victim with v valid of its P - 1 data
// pages costs v moves and gains P - 1 - v pages of room, so ceil(v / (P - 1 -
// v)) moves per host page keep the count level; one more absorbs the rounding
// and the mapping pages. Every call is bounded: at most kGreedyMaxStep pages,
// or one whole victim (at most P - 1 pages) once free blocks fall to half the
// mark, as the standard policy does below half its start.
//
// The mark covers what may be taken before collection catches up: the next
// current block when a block fills, a replacement when its erase fails, a
// write-error recovery (which gives up at a quarter of start_gc_free_blocks),
// a whole-block reclaim from the priority queue, and the block a collection
// step's own moves fill. The policy is not part of the format: it only
// decides when and how much to move, through the same operations.
// ---------------------------------------------------------------------------
namespace {

constexpr uint16 kGreedyMaxStep = 16;

uint32 garbage_collect_greedy(nyx_nftl_part_t* part) {
  const uint16 free = part->free_block_num;
  const uint16 mark = part->gc_low_mark;
  if (free > mark) return 0;
  const _phy_block_info* head = part->invalid_page_head.invalid_page_next;
  const uint16 pages = part->nand_chip->pages_per_blk;
  // Nothing to gain from a victim without an invalid data page.
  if (head == nullptr || head->invalid_page_count <= 1) return 0;
  uint16 step = kWholeBlock;
  if (free > mark / 2 && head->invalid_page_count < pages) {
    const uint32 valid = pages - head->invalid_page_count;  // data pages still valid
    const uint32 room = (pages - 1u) - valid;               // >= 1: one invalid data page at least
    // Below the mark the victim's own figure is optimistic (part of the
    // victim may already be moved, its room partly spent): one more page per
    // block of shortfall brings the count back.
    const uint32 level = (valid + room - 1) / room + 1 + (mark - free);
    step = static_cast<uint16>(level < kGreedyMaxStep ? level : kGreedyMaxStep);
  }
  part->gc_strategy.gc_page = step;
  if (garbage_collect_first(part, nullptr, step) == 0) return 0;
  printk("garbage_collect_first wrong! %d\n", part->free_block_num);
  return 1;
}

uint32 garbage_collect_standard(nyx_nftl_part_t* part);

}  // namespace

const char* nyx_nftl_gc_policy_name(uint16 policy) {
  switch (policy) {
    case NYX_GC_STANDARD:
      return "standard";
    case NYX_GC_GREEDY:
      return "greedy";
    default:
      return nullptr;
  }
}

bool nyx_nftl_gc_policy_by_name(const char* name, uint16* policy) {
  for (uint16 p = 0; p < NYX_GC_POLICIES; ++p) {
    if (name != nullptr && std::strcmp(name, nyx_nftl_gc_policy_name(p)) == 0) {
      *policy = p;
      return true;
    }
  }
  return false;
}

uint32 garbage_collect(nyx_nftl_part_t* part) {
  return part->gc_policy == NYX_GC_GREEDY ? garbage_collect_greedy(part)
                                          : garbage_collect_standard(part);
}

namespace {

// The standard policy: a cycle from start_gc_free_blocks to
// stop_gc_free_blocks, steps of 4, 8 or 16 pages by the victim's invalid
// pages, whole victims when the victim or the free blocks run low.
uint32 garbage_collect_standard(nyx_nftl_part_t* part) {
  _gc_strategy* gc = &part->gc_strategy;
  const uint16 free = part->free_block_num;
  if (free <= gc->start_gc_free_blocks) {
    gc->process = 0;
  } else if (gc->process != 0) {
    return 0;
  }
  if (gc->stop_gc_free_blocks <= free) {
    gc->flag_gc_block = 0;
    gc->process = 1;
    gc->gc_page = 0;
    return 0;
  }
  if (gc->flag_gc_block == 0) {
    const _phy_block_info* head = part->invalid_page_head.invalid_page_next;
    if (head == nullptr) return 1;
    const uint16 n = head->invalid_page_count;
    const uint16 pages = part->nand_chip->pages_per_blk;
    if (n >= pages / 2) {
      gc->gc_page = 4;
    } else if (n >= pages / 4) {
      gc->gc_page = 8;
    } else if (n >= pages / 8) {
      gc->gc_page = 16;
    } else {
      printk("something is wrong 1! %d:%d\n", free, n);
      gc->gc_page = kWholeBlock;
    }
    if (free <= gc->start_gc_free_blocks / 2) {
      printk("something is wrong 2! %d:%d\n", free, n);
      gc->gc_page = kWholeBlock;
    }
  }
  if (garbage_collect_first(part, nullptr, gc->gc_page) == 0) return 0;
  printk("garbage_collect_first wrong! %d\n", part->free_block_num);
  return 1;
}

}  // namespace

uint32 gc_one(nyx_nftl_part_t* part) {
  const _phy_block_info* head = part->invalid_page_head.invalid_page_next;
  if (head == nullptr || head->invalid_page_count < kGcOneMinInvalid) return 1;
  if (garbage_collect_first(part, nullptr, kWholeBlock) != 0) {
    printk("gc_one error!\n");
  } else {
    printk("gc_one ok!\n");
  }
  return 0;
}

// Ends: every round takes the head victim off the list for good (freed once
// all its pages are invalid, which the recount in garbage_collect_first makes
// exact, or left out after a failure), while the blocks the moved pages fill
// join the list with no invalid page but their mapping page.
uint32 gc_all(nyx_nftl_part_t* part) {
  while (gc_one(part) == 0) {
  }
  printk("gc all end\n");
  return 0;
}

// ---------------------------------------------------------------------------
// Making trims last.
//
// A trim only unmaps pages in memory; their copies stay on the flash, where
// the next mount scan finds them again (in full blocks, and in blocks freed
// but not erased yet). gc_trimmed removes them: every full block holding a
// copy of a trimmed page is collected (its valid pages moved), and every
// free block that still holds pages of such a block is erased. Only the
// current block cannot be emptied; its copies are counted.
// ---------------------------------------------------------------------------

namespace {

// Whether the reverse-map entries `reverse` of `count` pages name a trimmed
// page.
bool names_trimmed_page(const nyx_nftl_part_t* part, const uint32* reverse, uint32 count) {
  for (uint32 i = 0; i < count; ++i) {
    if (reverse[i] < nyx_nftl_logic_pages(part) && nyx_nftl_page_trimmed(part, reverse[i]))
      return true;
  }
  return false;
}

// Whether `block`'s mapping page (when it has a readable one) names a
// trimmed page. `page` is one page of scratch.
bool full_block_holds_trimmed(nyx_nftl_part_t* part, _phy_block_info* block, uchar* page) {
  const uint16 pages = part->nand_chip->pages_per_blk;
  uchar spare[NYX_SPARE_BYTES];
  std::memset(spare, 0xFF, sizeof spare);
  _physic_op_par op;
  op = nyx_nftl_page_par(part, block->phy_block.blkNO_in_chip, static_cast<uint16>(pages - 1), page,
                         spare);
  if (!nand_read_ok(nand_read_page_tries(part, &op))) return false;
  if (get_special_data_from_oob(spare) != NYX_TAG_MAPPING_PAGE) return false;
  _phy_page_mapping reverse;
  std::memset(&reverse, 0xFF, sizeof reverse);
  decode_data_page_entries(page, part->nand_chip->bytes_per_page, pages, &reverse);
  return names_trimmed_page(part, reverse.phy_page_map, pages - 1u);
}

}  // namespace

uint32 gc_trimmed(nyx_nftl_part_t* part, uint32* kept) {
  const uint16 pages = part->nand_chip->pages_per_blk;
  std::vector<uchar> page(part->nand_chip->bytes_per_page);
  // Collecting fills the current block, which may then hold trimmed copies
  // as a full block: each pass looks again, until one finds nothing.
  for (uint32 pass = 0; pass <= part->nand_chip->blk_per_chip; ++pass) {
    std::vector<_phy_block_info*> holders;
    for (_phy_block_info* b = part->invalid_page_head.invalid_page_next; b != nullptr;
         b = b->invalid_page_next) {
      if (full_block_holds_trimmed(part, b, page.data())) holders.push_back(b);
    }
    if (holders.empty()) break;
    for (_phy_block_info* b : holders) {
      if (b->invalid_page_prev == nullptr) continue;  // left the list meanwhile
      if (garbage_collect_first(part, b, kWholeBlock) != 0) return 1;
    }
  }
  // Free blocks are erased when taken for writing; those still holding
  // trimmed copies are erased now. The list is rebuilt by erase count.
  std::vector<_phy_block_info*> free_blocks;
  while (_phy_block_info* b = out_phy_block_from_free_list(part)) free_blocks.push_back(b);
  for (_phy_block_info* b : free_blocks) {
    if (full_block_holds_trimmed(part, b, page.data())) {
      _physic_op_par op;
      op = nyx_nftl_page_par(part, b->phy_block.blkNO_in_chip, 0, nullptr, nullptr);
      const int ret = part->nand_erase_superblk(part, &op);
      b->erase_count = static_cast<uint16>(b->erase_count + 1);
      if (ret != 0) {
        printk("gc_trimmed erase error! block %d\n", b->phy_block.blkNO_in_chip);
        part->nand_mark_bad_blk(part, &op);
        continue;
      }
    }
    put_phy_block_to_free_list(part, b);
  }
  *kept = 0;
  const _phy_block_info* cur = part->part_current_used_block;
  for (uint16 i = 0; cur != nullptr && i < part->current_block_used_page && i + 1 < pages; ++i) {
    *kept += names_trimmed_page(part, &part->part_phy_page_map->phy_page_map[i], 1) ? 1 : 0;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Priority reclaim queue.
// ---------------------------------------------------------------------------

_prio_gc_node* get_empty_gc_node(_prio_gc* prio_gc) {
  for (int i = 0; i < NYX_PRIO_GC_NODES; ++i) {
    if (prio_gc->prio_gc_node[i].prio_type == NYX_PRIO_FREE) return &prio_gc->prio_gc_node[i];
  }
  return nullptr;
}

_prio_gc_node* search_gc_node(_prio_gc* prio_gc, _phy_block_info* block) {
  for (_prio_gc_node* node = prio_gc->prio_gc_head.prio_gc_next; node != nullptr;
       node = node->prio_gc_next) {
    if (node->phy_block_info == block) return node;
  }
  return nullptr;
}

int add_to_gc_list_tail(_prio_gc* prio_gc, _prio_gc_node* gc_node) {
  nyx_links::link_at_tail(&prio_gc->prio_gc_head, gc_node, &_prio_gc_node::prio_gc_next,
                          &_prio_gc_node::prio_gc_prev);
  prio_gc->gc_num = static_cast<uint16>(prio_gc->gc_num + 1);
  return 0;
}

_prio_gc_node* del_from_gc_list(_prio_gc* prio_gc, _prio_gc_node* gc_node) {
  // A node that is not queued has no predecessor: nothing to unlink.
  if (gc_node->prio_gc_prev == nullptr) return gc_node;
  nyx_links::unlink(gc_node, &_prio_gc_node::prio_gc_next, &_prio_gc_node::prio_gc_prev);
  if (prio_gc->gc_num > 0) prio_gc->gc_num = static_cast<uint16>(prio_gc->gc_num - 1);
  return gc_node;
}

void add_prio_gc(nyx_nftl_part_t* part, _phy_block_info* block, uint16 type) {
  _prio_gc* queue = &part->prio_gc;
  if (search_gc_node(queue, block) != nullptr) return;
  _prio_gc_node* node = get_empty_gc_node(queue);
  if (node == nullptr) return;
  node->phy_block_info = block;
  node->prio_type = type;
  node->prio_gc_next = nullptr;
  node->prio_gc_prev = nullptr;
  add_to_gc_list_tail(queue, node);
}

uint32 do_prio_gc(nyx_nftl_part_t* part) {
  _prio_gc* queue = &part->prio_gc;
  _prio_gc_node* node = queue->prio_gc_head.prio_gc_next;
  if (node == nullptr) return 0;
  del_from_gc_list(queue, node);
  _phy_block_info* block = node->phy_block_info;
  if (block == part->part_current_used_block) {
    node->prio_type = NYX_PRIO_FREE;
    node->phy_block_info = nullptr;
    return 0;
  }
  queue->prio_type_now = node->prio_type;
  printk("do_prio_gc block:%d, type:%d\n", block->phy_block.blkNO_in_chip, node->prio_type);
  const uint32 ret = garbage_collect_first(part, block, kWholeBlock);
  node->prio_type = NYX_PRIO_FREE;
  node->phy_block_info = nullptr;
  queue->prio_type_now = NYX_PRIO_FREE;
  return ret;
}

uint32 do_static_wear_leveling(nyx_nftl_part_t* part) {
  if (part->s_wl.s_wl_status != 1) return 0;
  _phy_block_info* block = part->invalid_page_head.invalid_page_next;
  if (block == nullptr) return 0;
  uint16 largest = block->erase_count;
  uint16 smallest = block->erase_count;
  _phy_block_info* cold = block;
  for (; block != nullptr; block = block->invalid_page_next) {
    if (block->erase_count > largest) {
      largest = block->erase_count;
    } else if (block->erase_count < smallest) {
      smallest = block->erase_count;
      cold = block;
    }
  }
  if (static_cast<int>(largest) - static_cast<int>(smallest) < part->s_wl.erase_span) return 0;
  add_prio_gc(part, cold, NYX_PRIO_WEAR_LEVEL);
  return 0;
}
