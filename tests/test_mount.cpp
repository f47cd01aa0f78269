// The format and the mount scan over a simulated chip: a fresh partition,
// collection thresholds, head and end marks, refusals of small partitions,
// how full and partly written blocks rebuild the map, odd records, the
// replay of an interrupted write-error recovery, and the sequence number of
// a current block taken from the free list. Flash states are built by
// writing raw pages with hand-made spare records, then re-attaching.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "support/raw_flash.h"
#include "support/sim_partition.h"

namespace {

constexpr uint16 kPages = kRawFlashPages;  // pages per block in most tests
constexpr uint32 kLogicPages = 128;        // 40 blocks: 8 logical blocks of 16 pages

uchar data_byte(uint32 lp, uint32 count) { return static_cast<uchar>(lp * 7 + count); }

class Mount : public RawFlashTest {
 protected:
  void write_raw(uint16 block, uint16 page, const std::vector<uchar>& data,
                 std::vector<uchar> spare) {
    ASSERT_EQ(program(block, page, data, std::move(spare)), 0)
        << "block " << block << " page " << page;
  }

  void write_data_page(uint16 block, uint16 page, uint32 lp, uint32 count, uint16 erase = 1) {
    write_raw(block, page, std::vector<uchar>(page_size(), data_byte(lp, count)),
              logic_record(lp, count, erase));
  }

  // A block being filled: pages 0.. hold `lps`, the rest is erased.
  void write_partial_block(uint16 block, uint32 count, const std::vector<uint32>& lps,
                           uint16 erase = 1) {
    for (uint16 i = 0; i < lps.size(); ++i) write_data_page(block, i, lps[i], count, erase);
  }

  // A full block: data pages hold `lps` (one per data page) and the last
  // page is the mapping page with `reverse` as its entries (`lps` by default).
  void write_full_block(uint16 block, uint32 count, const std::vector<uint32>& lps,
                        std::vector<uint32> reverse = {}) {
    ASSERT_EQ(lps.size(), kPages - 1u);
    if (reverse.empty()) reverse = lps;
    write_partial_block(block, count, lps);
    write_raw(block, kPages - 1, mapping_main(reverse), mapping_record(count));
  }

  void write_mark(uint16 block, uchar b0, uchar b1, uint32 count = 0xFFFFFFFF) {
    std::vector<uchar> spare(NYX_SPARE_BYTES, 0xFF);
    set_oob_special_page(nullptr, spare.data(), (uint32(b0) << 24) | (uint32(b1) << 16) | 0xFFFF,
                         count, 0xFFFF);
    write_raw(block, 0, std::vector<uchar>(page_size(), 0), spare);
  }

  // Lp numbers base, base+1, ... for the data pages of one block.
  static std::vector<uint32> run(uint32 base) {
    std::vector<uint32> lps;
    for (uint32 i = 0; i + 1 < kPages; ++i) lps.push_back(base + i);
    return lps;
  }

  std::vector<int> invalid_list() {
    std::vector<int> order;
    _phy_block_info* prev = &part()->invalid_page_head;
    for (_phy_block_info* b = prev->invalid_page_next; b != nullptr; b = b->invalid_page_next) {
      EXPECT_EQ(b->invalid_page_prev, prev);
      order.push_back(b->phy_block.blkNO_in_chip);
      prev = b;
    }
    return order;
  }

  std::vector<int> free_list() {
    std::vector<int> order;
    for (_phy_block_info* b = part()->free_head.free_next; b != nullptr; b = b->free_next) {
      order.push_back(b->phy_block.blkNO_in_chip);
    }
    return order;
  }
};

// ---------------------------------------------------------------------------
// A fresh partition.
// ---------------------------------------------------------------------------
// The format head-marks the first block; the current block is the newest of
// the equally worn free blocks; a later scan of the marked partition erases
// and programs nothing and finds the same state.
TEST_F(Mount, FreshPartitionIsFormattedThenScanned) {
  for (uint32 page = 0; page < kPages; ++page) {
    EXPECT_EQ(raw_spare(0, page)[0], 0xAA);
    EXPECT_EQ(raw_spare(0, page)[1], 0xEE);
    EXPECT_EQ(get_block_used_count_from_oob(raw_spare(0, page)), 0xFFFFFFFFu);
  }
  sim.chip().reset_counters();
  LogCapture log;
  for (int round = 0; round < 2; ++round) {
    nyx_nftl_part_t* p = part();
    EXPECT_EQ(p->part_start_phy_block, blk(1));
    EXPECT_EQ(p->blocks, 39);
    EXPECT_EQ(p->part_current_used_block, blk(39));
    EXPECT_EQ(p->current_block_used_page, 0);
    EXPECT_EQ(p->current_block_used_count, 0u);
    EXPECT_EQ(p->free_block_num, 38);
    EXPECT_EQ(free_list().size(), 38u);
    EXPECT_FALSE(on_free_list(39));
    EXPECT_TRUE(invalid_list().empty());
    for (uint32 b = 1; b < 40; ++b) EXPECT_EQ(blk(b)->info, NYX_BLOCK_FREE);
    EXPECT_EQ(p->backup_cap_in_sects, 31u * kPages * 4);
    for (uint32 lp = 0; lp < kLogicPages; ++lp)
      ASSERT_EQ(map(lp).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
    if (round == 0) {
      ASSERT_EQ(sim.reattach(), 0);
    }
  }
  EXPECT_EQ(sim.chip().counters().erases, 0u);
  EXPECT_EQ(sim.chip().counters().programs, 0u);
  EXPECT_EQ(log.count("create_part_list_first.\n"), 0u);
  EXPECT_EQ(log.count("first\n"), 1u);
  EXPECT_EQ(log.count("second 39,8\n"), 1u);
  EXPECT_EQ(log.count("nftl ok!\n"), 1u);
}

// ---------------------------------------------------------------------------
// Collection thresholds and refusals.
// ---------------------------------------------------------------------------
struct ThresholdCase {
  uint32 blocks;
  uint32 pages;
  uint32 page_size;
  uint16 start;
  uint16 stop;
};

class MountThresholds : public ::testing::TestWithParam<ThresholdCase> {};

TEST_P(MountThresholds, DerivedFromSpareBlocks) {
  const ThresholdCase c = GetParam();
  SimPartition sim(small_chip(c.blocks, c.pages, c.page_size));
  LogCapture log;
  ASSERT_EQ(sim.attach(), 0);
  ASSERT_NE(sim.part->part_current_used_block, nullptr);
  EXPECT_EQ(sim.part->gc_strategy.start_gc_free_blocks, c.start);
  EXPECT_EQ(sim.part->gc_strategy.stop_gc_free_blocks, c.stop);
  uint32 spare = sim.part->blocks - sim.part->logic_cap_in_sects / (c.page_size / 512) / c.pages;
  EXPECT_EQ(sim.part->backup_cap_in_sects, spare * c.pages * (c.page_size / 512));
}

// The bring-up reserve leaves R - 1 spare blocks after the head mark: 32
// blocks give 15, 648 give 80, 1608 give 200.
INSTANTIATE_TEST_SUITE_P(Spare, MountThresholds,
                         ::testing::Values(ThresholdCase{32, 16, 2048, 8, 10},
                                           ThresholdCase{648, 16, 512, 10, 53},
                                           ThresholdCase{1608, 16, 512, 25, 133}));

// Fourteen spare blocks are too few; so is a partition whose bad blocks
// leave no more blocks than logical ones. Bring-up goes on without a
// current block.
TEST(MountRefusal, TooFewSpareOrDataBlocks) {
  nandsim::Options options = small_chip(40, kPages);
  for (uint32 b = 1; b <= 32; ++b) options.factory_bad_blocks.push_back(b);
  for (const nandsim::Options& o : {small_chip(30, kPages), options}) {
    SimPartition sim(o);
    LogCapture log;
    ASSERT_EQ(sim.attach(), 0) << "the scan's outcome does not stop bring-up";
    EXPECT_EQ(log.count("nftl ok!\n"), 0u);
    EXPECT_EQ(sim.part->part_current_used_block, nullptr);
    if (o.factory_bad_blocks.empty()) {
      EXPECT_EQ(log.count("this part not enough free block 29 , 15!!\n"), 1u);
      EXPECT_EQ(sim.part->backup_cap_in_sects, 14u * kPages * 4);
    } else {
      EXPECT_EQ(log.count("second 7,8\n"), 1u);
      EXPECT_EQ(log.count("this part not enough data block!!\n"), 1u);
      EXPECT_EQ(sim.part->bad_block, 32);
    }
  }
}

// ---------------------------------------------------------------------------
// Marks and bad blocks.
// ---------------------------------------------------------------------------
TEST(MountMarks, HeadMarkBehindBadBlocks) {
  nandsim::Options options = small_chip(40, kPages);
  options.factory_bad_blocks = {0, 1, 7};
  SimPartition sim(options);
  LogCapture log;
  ASSERT_EQ(sim.attach(), 0);
  const nandsim::Geometry& g = sim.chip().geometry();
  EXPECT_EQ(sim.chip().raw_page(2 * kPages)[g.page_size + g.spare_offset], 0xAA);
  for (int round = 0; round < 2; ++round) {
    _phy_block_info* table = sim.part->nand_chip->nand_block_info;
    EXPECT_EQ(sim.part->part_start_phy_block, &table[3]);
    EXPECT_EQ(table[0].info, NYX_BLOCK_BAD);
    EXPECT_EQ(table[1].info, NYX_BLOCK_BAD);
    EXPECT_EQ(table[7].info, NYX_BLOCK_BAD);
    EXPECT_EQ(sim.part->bad_block, 1) << "only bad blocks inside the scanned range count";
    EXPECT_EQ(sim.part->blocks, 36);
    EXPECT_EQ(table[7].free_next, nullptr);
    ASSERT_EQ(sim.reattach(), 0);
  }
  EXPECT_EQ(log.count("create_part_list_first.\n"), 1u);
}

TEST(MountMarks, FormatWritesAnEndMarkAfterAShortRangeAndTheScanStopsThere) {
  nandsim::Options options = small_chip(40, kPages);
  options.factory_bad_blocks = {30};
  SimPartition short_sim(options);
  ASSERT_EQ(short_sim.attach(), 0);
  nyx_nftl_part_t* p = short_sim.part;
  uint32 spb = kPages * 4;
  // A range of 30 blocks: the head-marked block and 29 more.
  p->part_start_phy_block = p->nand_chip->nand_block_info;
  p->logic_cap_in_sects = spb * 8;
  p->backup_cap_in_sects = spb * 22;
  LogCapture log;
  EXPECT_EQ(create_part_list_first(p), 0u);
  EXPECT_EQ(p->blocks, 29);
  EXPECT_EQ(p->nand_chip->nand_block_info[30].info, NYX_BLOCK_BAD);
  const nandsim::Geometry& g = short_sim.chip().geometry();
  const uint8_t* end = short_sim.chip().raw_page(31 * kPages) + g.page_size + g.spare_offset;
  EXPECT_EQ(end[0], 0xAA);
  EXPECT_EQ(end[1], 0xCC);

  ASSERT_EQ(short_sim.reattach(), 0);
  p = short_sim.part;
  _phy_block_info* table = p->nand_chip->nand_block_info;
  EXPECT_EQ(p->blocks, 29);
  EXPECT_EQ(p->bad_block, 1);
  EXPECT_EQ(p->part_end_phy_block, &table[31]);
  for (uint32 b = 32; b < 40; ++b) EXPECT_EQ(table[b].info, NYX_BLOCK_UNSCANNED) << b;
  EXPECT_EQ(p->part_current_used_block, &table[29]);
}

TEST_F(Mount, EndMarkWrittenAtABlockEndsTheScan) {
  write_mark(25, 0xAA, 0xCC);
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(part()->blocks, 24);
  EXPECT_EQ(part()->part_end_phy_block, blk(25));
  EXPECT_EQ(blk(25)->info, NYX_BLOCK_UNSCANNED);
  EXPECT_EQ(part()->part_current_used_block, blk(24));
  EXPECT_FALSE(on_free_list(30));
}

TEST_F(Mount, OddRecordsAreReportedAndLeftOut) {
  std::vector<uchar> odd(NYX_SPARE_BYTES, 0xFF);
  set_oob_special_page(nullptr, odd.data(), 0x80000001, 3, 1);
  write_raw(8, 0, std::vector<uchar>(page_size(), 0), odd);
  write_mark(9, 0xAA, 0xEE, 5);  // a head mark with a count: not free
  write_partial_block(10, 4, {20, 21});
  write_data_page(10, kPages - 1, 22, 4);  // a logical record on the last page
  LogCapture log;
  ASSERT_EQ(sim.reattach(), 0);
  EXPECT_EQ(log.count("unkown page 0 spare data!!\n"), 1u);
  EXPECT_EQ(log.count("do nothing\n"), 1u);
  EXPECT_EQ(log.count("last page unkown!!\n"), 1u);
  EXPECT_EQ(part()->blocks, 37) << "blocks 8 and 9 are neither free nor data";
  EXPECT_FALSE(on_free_list(8));
  EXPECT_FALSE(on_free_list(9));
  EXPECT_EQ(invalid_list(), std::vector<int>{10});
  EXPECT_EQ(map(20).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
}

// ---------------------------------------------------------------------------
// Rebuilding the map.
// ---------------------------------------------------------------------------
TEST_F(Mount, NewerFullBlockWinsWhateverItsPosition) {
  for (bool newer_first : {false, true}) {
    std::vector<uint32> older = run(20);
    std::vector<uint32> newer = run(40);
    older[2] = 10;
    newer[5] = 10;
    uint16 older_block = newer_first ? 12 : 3;
    uint16 newer_block = newer_first ? 3 : 12;
    write_full_block(older_block, 5, older);
    write_full_block(newer_block, 7, newer);
    ASSERT_EQ(reattach(), 0);
    EXPECT_EQ(map(10).blkNO_in_chip, newer_block);
    EXPECT_EQ(map(10).Page_NO, 5);
    EXPECT_EQ(blk(older_block)->invalid_page_count, 2);
    EXPECT_EQ(blk(newer_block)->invalid_page_count, 1);
    EXPECT_EQ(blk(older_block)->info, NYX_BLOCK_DATA);
    EXPECT_EQ(invalid_list(), (std::vector<int>{older_block, newer_block}));
    EXPECT_EQ(map(21).blkNO_in_chip, older_block);
    EXPECT_EQ(map(41).Page_NO, 1);
    EXPECT_EQ(part()->current_block_used_count, 8u);
    // Start over on a fresh format for the other order.
    for (uint16 b : {older_block, newer_block}) sim.chip().erase_block(b);
  }
}

TEST_F(Mount, SamePageTwiceInOneBlockKeepsTheLaterPage) {
  std::vector<uint32> lps = run(60);
  lps[3] = 20;
  lps[9] = 20;
  write_full_block(3, 5, lps);
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(map(20).blkNO_in_chip, 3);
  EXPECT_EQ(map(20).Page_NO, 9);
  EXPECT_EQ(blk(3)->invalid_page_count, 2);
}

// The block being filled wins over a full block of the same sequence number,
// which the order of full blocks alone would let win (block 3 is scanned
// first).
TEST_F(Mount, CurrentBlockCopyWinsOverFullBlocks) {
  std::vector<uint32> lps = run(30);
  lps[1] = 7;
  write_full_block(3, 2, lps);
  write_partial_block(5, 2, {7, 50, 51});
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(part()->part_current_used_block, blk(5));
  EXPECT_EQ(part()->current_block_used_page, 3) << "the next write goes to the first erased page";
  EXPECT_EQ(part()->current_block_used_count, 2u);
  EXPECT_EQ(map(7).blkNO_in_chip, 5);
  EXPECT_EQ(map(7).Page_NO, 0);
  EXPECT_EQ(blk(3)->invalid_page_count, 2);
  EXPECT_EQ(part()->part_phy_page_map->phy_page_map[1], 50u);
  EXPECT_EQ(part()->part_phy_page_map->phy_page_map[3], NYX_NO_LOGIC_PAGE);
  EXPECT_EQ(invalid_list(), std::vector<int>{3});
}

TEST_F(Mount, EntriesBeyondTheLogicalPagesChangeNothing) {
  std::vector<uint32> lps = run(70);
  std::vector<uint32> reverse = lps;
  reverse[0] = kLogicPages;  // first page number past the map
  reverse[1] = 0x0FFFFFFF;
  reverse[2] = NYX_NO_LOGIC_PAGE;
  reverse[3] = 0x7FFFFFFF;
  write_full_block(3, 5, lps, reverse);
  write_partial_block(5, 6, {kLogicPages + 3, 75});
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(map(70).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
  EXPECT_EQ(map(74).blkNO_in_chip, 3);
  EXPECT_EQ(map(75).blkNO_in_chip, 5) << "the current block's copy";
  EXPECT_EQ(map(75).Page_NO, 1);
  // Pages that name no logical page hold nothing: they count as invalid
  // pages of their own block, as the write path's and the collector's
  // recounts count them (the mapping page, four such entries and lp 75).
  EXPECT_EQ(blk(3)->invalid_page_count, 6);
  EXPECT_EQ(blk(5)->invalid_page_count, 1);
  EXPECT_EQ(part()->current_block_used_page, 2);
}

TEST(MountMaps, MappingPageFromSmallPagesFeedsTheMap) {
  // 512-byte pages carry 128 entries; 64 pages per block use 63 of them.
  SimPartition small(small_chip(40, 64, 512, 64));
  ASSERT_EQ(small.attach(), 0);
  nyx_nftl_part_t* p = small.part;
  _phy_page_mapping rmap;
  std::memset(&rmap, 0xFF, sizeof rmap);
  for (uint32 i = 0; i < 63; ++i) rmap.phy_page_map[i] = 100 + i;
  std::vector<uchar> main(512, 0);
  for (uint16 i = 0; i < 64; ++i) {
    std::vector<uchar> spare = logic_record(100 + i, 4, 1);
    if (i == 63) {
      nyx_nftl_encode_mapping_page(&rmap, main.data(), 512);
      set_oob_special_page(nullptr, spare.data(), NYX_TAG_MAPPING_PAGE, 4, 1);
    }
    _physic_op_par op{};
    op.phy_page.blkNO_in_chip = 6;
    op.phy_page.Page_NO = i;
    op.main_data_addr = main.data();
    op.spare_data_addr = spare.data();
    ASSERT_EQ(p->nand_write_page(p, &op), 0);
  }
  LogCapture quiet;
  ASSERT_EQ(small.reattach(), 0);
  p = small.part;
  for (uint32 i = 0; i < 63; ++i) {
    ASSERT_EQ(p->part_logic_page_map[100 + i].blkNO_in_chip, 6) << i;
    ASSERT_EQ(p->part_logic_page_map[100 + i].Page_NO, i);
  }
}

// ---------------------------------------------------------------------------
// Partly written blocks and the replay of an interrupted recovery.
// ---------------------------------------------------------------------------
// No two of them are an interrupted recovery (block 6 holds as many pages as
// block 5): the newest is the current block, and the older two are salvaged,
// their pages written again into the current block and the blocks freed;
// none is erased with its data.
TEST_F(Mount, ThreePartlyWrittenBlocks) {
  write_partial_block(5, 3, {1, 2});
  write_partial_block(6, 4, {3});
  write_partial_block(7, 5, {4});
  LogCapture log;
  ASSERT_EQ(sim.reattach(), 0);
  EXPECT_EQ(log.count("muti current used block\n"), 1u);
  EXPECT_EQ(part()->part_current_used_block, blk(7));
  EXPECT_FALSE(sim.chip().is_bad(5));
  EXPECT_FALSE(sim.chip().is_bad(6));
  EXPECT_EQ(part()->current_block_used_page, 4);
  EXPECT_EQ(map(4).Page_NO, 0);
  for (uint32 lp = 1; lp <= 3; ++lp) {
    EXPECT_EQ(map(lp).blkNO_in_chip, 7) << lp;
    EXPECT_EQ(map(lp).Page_NO, lp) << lp;
    EXPECT_EQ(raw_page(7, lp)[0], data_byte(lp, lp == 3 ? 4 : 3)) << lp;
  }
  EXPECT_TRUE(invalid_list().empty());
  EXPECT_TRUE(on_free_list(5) && on_free_list(6));
}

class Replay : public Mount {
 protected:
  // Block 5 (count 4) was being filled when the write of its page 4 failed;
  // the recovery into block 6 (count 5) had copied two pages when the power
  // went.
  Replay() {
    write_partial_block(5, 4, {10, 11, 12, 13, 14});
    write_partial_block(6, 5, {10, 11}, 2);
  }
};

TEST_F(Replay, CopiesTheOlderBlocksWrittenPagesAndRetiresIt) {
  LogCapture log;
  ASSERT_EQ(sim.reattach(), 0);
  EXPECT_EQ(log.count("do_write_error_in_create_list erase error!\n"), 0u);
  EXPECT_EQ(part()->part_current_used_block, blk(6));
  EXPECT_EQ(part()->current_block_used_count, 5u);
  EXPECT_EQ(part()->current_block_used_page, 4) << "the failed page 4 is not copied";
  for (uint32 i = 0; i < 4; ++i) {
    EXPECT_EQ(map(10 + i).blkNO_in_chip, 6) << i;
    EXPECT_EQ(map(10 + i).Page_NO, i);
    EXPECT_EQ(0, std::memcmp(raw_page(6, i), raw_page(5, i), page_size())) << i;
    EXPECT_EQ(get_block_used_count_from_oob(raw_spare(6, i)), 5u);
    EXPECT_EQ(get_erase_count_from_oob(raw_spare(6, i)), 3) << "block 6's erase count, raised";
  }
  EXPECT_EQ(get_special_data_from_oob(raw_spare(6, 4)), NYX_TAG_ERASED);
  EXPECT_EQ(map(14).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
  EXPECT_TRUE(sim.chip().is_bad(5));
  EXPECT_FALSE(on_invalid_list(5) || on_free_list(5)) << "a block marked bad is not reused";

  // The next attach sees the recovered block alone.
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(part()->part_current_used_block, blk(6));
  EXPECT_EQ(map(13).blkNO_in_chip, 6);
  EXPECT_EQ(part()->bad_block, 1);
}

TEST_F(Replay, ReplayDoesNotDependOnAFullBlocksMap) {
  // A full block scanned before the replay leaves its own map behind, with
  // entry 1 marked as none; the replay must still copy all of block 5's
  // written pages.
  std::vector<uint32> lps = run(40);
  std::vector<uint32> reverse = lps;
  reverse[1] = NYX_NO_LOGIC_PAGE;
  write_full_block(3, 2, lps, reverse);
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(part()->part_current_used_block, blk(6));
  EXPECT_EQ(part()->current_block_used_page, 4);
  EXPECT_EQ(map(13).blkNO_in_chip, 6);
  EXPECT_EQ(map(13).Page_NO, 3);
}

TEST_F(Replay, FailedEraseKeepsTheOlderBlockAndRetiresTheNewer) {
  sim.chip().fail_erase_at(6);
  LogCapture log;
  ASSERT_EQ(sim.reattach(), 0);
  EXPECT_EQ(log.count("do_write_error_in_create_list erase error!\n"), 1u);
  EXPECT_EQ(part()->part_current_used_block, blk(5));
  EXPECT_EQ(part()->current_block_used_page, 5);
  EXPECT_EQ(part()->current_block_used_count, 4u);
  EXPECT_EQ(map(10).blkNO_in_chip, 5);
  EXPECT_TRUE(sim.chip().is_bad(6));
  EXPECT_FALSE(on_invalid_list(6) || on_free_list(6));
}

TEST_F(Replay, FailedCopyKeepsTheOlderBlock) {
  sim.chip().fail_program_at(6 * kPages + 2);
  LogCapture log;
  ASSERT_EQ(sim.reattach(), 0);
  EXPECT_EQ(log.count("do_write_error_in_create_list erase error!\n"), 1u);
  EXPECT_EQ(part()->part_current_used_block, blk(5));
  EXPECT_FALSE(sim.chip().is_bad(5));
  EXPECT_TRUE(sim.chip().is_bad(6));
  EXPECT_FALSE(on_invalid_list(6));
}

// ---------------------------------------------------------------------------
// Sequence numbers.
// ---------------------------------------------------------------------------
TEST_F(Mount, BlockFromTheFreeListGetsTheNextSequenceNumber) {
  write_full_block(2, 7, run(0));
  write_full_block(3, 4, run(20));
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(part()->part_current_used_block, blk(39));
  EXPECT_EQ(part()->current_block_used_page, 0);
  EXPECT_EQ(part()->current_block_used_count, 8u) << "one above the newest data block";
}

// With the newest full block in a low-numbered block and the current block
// taken from the free list, the newest copy must win at every attach.
TEST_F(Mount, NewestCopyWinsAcrossRestarts) {
  write_full_block(2, 7, run(0));  // lp 0..14, first version
  ASSERT_EQ(reattach(), 0);
  std::vector<uchar> buf(page_size());
  for (uint32 version = 1; version <= 3; ++version) {
    for (uint32 lp = 0; lp < 15; ++lp) {
      std::fill(buf.begin(), buf.end(), data_byte(lp, 100 + version));
      ASSERT_EQ(part()->nand_write_logic_page(part(), lp, buf.data()), 0u);
    }
    // One more write retires the block just filled.
    std::fill(buf.begin(), buf.end(), 0x5A);
    ASSERT_EQ(part()->nand_write_logic_page(part(), 15 + version, buf.data()), 0u);
    ASSERT_EQ(reattach(), 0);
    for (uint32 lp = 0; lp < 15; ++lp) {
      ASSERT_EQ(part()->nand_read_logic_page(part(), lp, buf.data()), 0u);
      ASSERT_EQ(buf[0], data_byte(lp, 100 + version)) << "lp " << lp << " version " << version;
    }
  }
}

}  // namespace
