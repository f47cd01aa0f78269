// A device record with its page cache over a mounted partition on a small
// simulated chip, without the block-translation layer: for the tests of the
// sector cache and of the self-tests, which work on the record directly.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "support/nftl_rig.h"

class BlkRig {
 public:
  // `pages` per block, `blocks` in the chip, 2048-byte pages (4 sectors).
  explicit BlkRig(uint32_t pages = 16, uint32_t blocks = 40) : rig(pages, blocks) {
    blk = kzalloc_record<nyx_nftl_blk_t>();
    if (blk == nullptr) throw std::runtime_error("device record");
    blk->nyx_nftl_part = rig.part;
    if (cache_init(blk) != 0) throw std::runtime_error("cache_init failed");
  }
  ~BlkRig() {
    cache_exit(blk);
    kfree_record(blk);
  }
  BlkRig(const BlkRig&) = delete;
  BlkRig& operator=(const BlkRig&) = delete;

  nyx_nftl_part_t* part() { return rig.part; }
  _cache* cache() { return &blk->cache; }
  nandsim::NandChip& chip() { return rig.sim.chip(); }
  uint32_t page_size() const { return rig.page_size(); }
  uint32_t sectors_per_page() const { return rig.part->nand_chip->sector_per_page; }

  // Pages on each list, oldest first, walking the forward links.
  std::vector<uint32_t> read_list() {
    std::vector<uint32_t> pages;
    for (_cache_node* n = cache()->cache_read_head.cache_read_next; n != nullptr;
         n = n->cache_read_next) {
      pages.push_back(n->page_no);
    }
    return pages;
  }
  std::vector<uint32_t> write_list() {
    std::vector<uint32_t> pages;
    for (_cache_node* n = cache()->cache_write_head.cache_write_next; n != nullptr;
         n = n->cache_write_next) {
      pages.push_back(n->page_no);
    }
    return pages;
  }

  // `sectors` sectors of data whose bytes depend on `seed` and the position.
  std::vector<uchar> sectors(uint32_t count, uint32_t seed) const {
    std::vector<uchar> data(size_t{count} * 512);
    for (size_t i = 0; i < data.size(); ++i)
      data[i] = static_cast<uchar>(seed * 37 + i * 11 + (i >> 9));
    return data;
  }

  NftlRig rig;
  nyx_nftl_blk_t* blk = nullptr;
};
