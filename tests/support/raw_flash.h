// A partition on a fresh chip of 40 blocks of 16 pages, and the means to
// build flash states page by page with hand-made spare records (then
// re-attach and look at what the mount made of them).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "support/sim_partition.h"

inline constexpr uint16 kRawFlashPages = 16;

// Spare records of a data page holding `lp`, and of a mapping page.
inline std::vector<uchar> logic_record(uint32 lp, uint32 count, uint16 erase = 1) {
  std::vector<uchar> spare(NYX_SPARE_BYTES, 0xFF);
  set_oob_logic_page(nullptr, spare.data(), lp, count, erase);
  return spare;
}
inline std::vector<uchar> mapping_record(uint32 count) {
  std::vector<uchar> spare(NYX_SPARE_BYTES, 0xFF);
  set_oob_special_page(nullptr, spare.data(), NYX_TAG_MAPPING_PAGE, count, 1);
  return spare;
}

class RawFlashTest : public ::testing::Test {
 protected:
  RawFlashTest() : sim(small_chip(40, kRawFlashPages)) {
    LogCapture quiet;
    EXPECT_EQ(sim.attach(), 0);
  }

  nyx_nftl_part_t* part() { return sim.part; }
  _phy_block_info* blk(uint32 n) { return &sim.part->nand_chip->nand_block_info[n]; }
  const _nand_page& map(uint32 lp) { return sim.part->part_logic_page_map[lp]; }
  uint16 page_size() { return sim.part->nand_chip->bytes_per_page; }
  uint64_t abs_page(uint32 block, uint32 page) { return uint64_t(block) * kRawFlashPages + page; }
  const uint8_t* raw_page(uint32 block, uint32 page) {
    return sim.chip().raw_page(abs_page(block, page));
  }
  const uint8_t* raw_spare(uint32 block, uint32 page) {
    const nandsim::Geometry& g = sim.chip().geometry();
    return raw_page(block, page) + g.page_size + g.spare_offset;
  }

  // Programs one page through the partition's physical write; its result.
  int program(uint16 block, uint16 page, std::vector<uchar> main, std::vector<uchar> spare) {
    _physic_op_par p{};
    p.phy_page.blkNO_in_chip = block;
    p.phy_page.Page_NO = page;
    p.page_bitmap = sim.part->nand_chip->bitmap_per_page;
    p.main_data_addr = main.data();
    p.spare_data_addr = spare.data();
    return sim.part->nand_write_page(sim.part, &p);
  }

  // The main data of a mapping page whose entries are `entries`, then none.
  std::vector<uchar> mapping_main(const std::vector<uint32>& entries) {
    _phy_page_mapping rmap;
    std::memset(&rmap, 0xFF, sizeof rmap);
    std::copy(entries.begin(), entries.end(), rmap.phy_page_map);
    std::vector<uchar> page(page_size());
    nyx_nftl_encode_mapping_page(&rmap, page.data(), page_size());
    return page;
  }

  int reattach() {
    LogCapture quiet;
    return sim.reattach();
  }

  bool on_free_list(uint32 n) {
    for (_phy_block_info* b = part()->free_head.free_next; b != nullptr; b = b->free_next) {
      if (b == blk(n)) return true;
    }
    return false;
  }
  bool on_invalid_list(uint32 n) {
    for (auto* b = part()->invalid_page_head.invalid_page_next; b != nullptr;
         b = b->invalid_page_next) {
      if (b == blk(n)) return true;
    }
    return false;
  }

  SimPartition sim;
};
