// A mounted partition on a small simulated chip, with the probes the tests of
// the write path and of reclamation share: page patterns, logical reads and
// writes, list membership, raw page and spare access, and a way to take the
// free list out of play.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "support/sim_partition.h"

class NftlRig {
 public:
  // `pages` per block, `blocks` in the chip, 2048-byte pages.
  explicit NftlRig(uint32_t pages = 16, uint32_t blocks = 40) : sim(small_chip(blocks, pages)) {
    if (sim.attach() != 0) throw std::runtime_error("attach failed");
    part = sim.part;
  }

  uint16_t P() const { return part->nand_chip->pages_per_blk; }
  uint32_t page_size() const { return part->nand_chip->bytes_per_page; }

  // Data of version `version` of logical page `lp`.
  std::vector<uchar> pattern(uint32_t lp, uint32_t version) const {
    std::vector<uchar> data(page_size());
    for (size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<uchar>(lp * 131 + version * 29 + i * 7 + (i >> 8));
    }
    return data;
  }

  uint32 write(uint32_t lp, uint32_t version) {
    std::vector<uchar> data = pattern(lp, version);
    return nand_write_logic_page(part, lp, data.data());
  }
  uint32 write_no_gc(uint32_t lp, uint32_t version) {
    std::vector<uchar> data = pattern(lp, version);
    return nand_write_logic_page_no_gc(part, lp, data.data());
  }
  // Whether logical page `lp` reads back successfully as `version`.
  bool holds(uint32_t lp, uint32_t version) {
    std::vector<uchar> data(page_size());
    if (nand_read_logic_page(part, lp, data.data()) != 0) return false;
    return data == pattern(lp, version);
  }

  _phy_block_info* block(uint16_t n) { return get_phy_block_addr(part, n); }
  _phy_block_info* cur() { return part->part_current_used_block; }
  uint16_t no(const _phy_block_info* b) const { return b->phy_block.blkNO_in_chip; }
  _nand_page map(uint32_t lp) const { return part->part_logic_page_map[lp]; }
  bool maps_to(uint32_t lp, const _phy_block_info* b, uint16_t page) const {
    return map(lp).blkNO_in_chip == no(b) && map(lp).Page_NO == page;
  }

  bool on_free_list(const _phy_block_info* b) const {
    for (const _phy_block_info* x = part->free_head.free_next; x != nullptr; x = x->free_next) {
      if (x == b) return true;
    }
    return false;
  }
  bool on_invalid_list(const _phy_block_info* b) const {
    for (const _phy_block_info* x = part->invalid_page_head.invalid_page_next; x != nullptr;
         x = x->invalid_page_next) {
      if (x == b) return true;
    }
    return false;
  }
  _phy_block_info* free_head() { return part->free_head.free_next; }
  _phy_block_info* invalid_head() { return part->invalid_page_head.invalid_page_next; }

  uint64_t abs_page(uint16_t block_no, uint16_t page) const {
    return uint64_t(block_no) * P() + page;
  }
  const uint8_t* raw_main(uint16_t block_no, uint16_t page) {
    return sim.chip().raw_page(abs_page(block_no, page));
  }
  const uint8_t* raw_spare(uint16_t block_no, uint16_t page) {
    return raw_main(block_no, page) + page_size() + sim.chip().geometry().spare_offset;
  }
  bool is_bad(const _phy_block_info* b) { return sim.chip().is_bad(no(b)); }

  // Takes every block off the free list and keeps it aside.
  void drain_free_list() {
    while (_phy_block_info* b = out_phy_block_from_free_list(part)) drained_.push_back(b);
  }
  // Puts the blocks drain_free_list took back on the free list.
  void refill_free_list() {
    for (_phy_block_info* b : drained_) put_phy_block_to_free_list(part, b);
    drained_.clear();
  }
  // Gives every free block the erase count `count` (the free list's order
  // follows erase counts).
  void set_free_erase_counts(uint16_t count) {
    drain_free_list();
    for (_phy_block_info* b : drained_) b->erase_count = count;
    refill_free_list();
  }
  // Refiles a listed full block under a new invalid-page count.
  void set_invalid_count(_phy_block_info* b, uint16_t count) {
    out_phy_block_from_invalid_page_list_by_block(part, b);
    b->invalid_page_count = count;
    put_phy_block_to_invalid_page_list(part, b);
  }

  // Fills the current block up to its mapping page with writes of logical
  // pages first, first + 1, ...; returns the block.
  _phy_block_info* fill_current_block(uint32_t first, uint32_t version = 1) {
    _phy_block_info* b = cur();
    while (part->current_block_used_page < P() - 1) {
      write_no_gc(first++, version);
    }
    return b;
  }

  SimPartition sim;
  nyx_nftl_part_t* part = nullptr;

 private:
  std::vector<_phy_block_info*> drained_;
};
