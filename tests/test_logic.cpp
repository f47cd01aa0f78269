// Logical page reads and writes over a mounted partition on the simulated
// chip: the map and the current block, retirement of a full block with its
// mapping page, the erase of a new current block, write- and erase-failure
// recovery, the wear-levelling request, and the refusals (page numbers beyond
// the map, no current block).
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "support/nftl_rig.h"

namespace {

uint32_t le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// ---------------------------------------------------------------------------
// Reads.
// ---------------------------------------------------------------------------

// A never-written page reads erased without touching the flash; a corrected
// read succeeds; an uncorrectable one reports the code.
TEST(LogicRead, UnwrittenCorrectedAndUncorrectableReads) {
  LogCapture log;
  NftlRig r;
  r.sim.chip().reset_counters();
  std::vector<uchar> buf(r.page_size(), 0x12);
  EXPECT_EQ(nand_read_logic_page(r.part, 5, buf.data()), 0u);
  EXPECT_EQ(buf, std::vector<uchar>(r.page_size(), 0xFF));
  EXPECT_EQ(r.sim.chip().counters().reads, 0u);

  ASSERT_EQ(r.write(2, 1), 0u);
  ASSERT_EQ(r.write(3, 1), 0u);
  r.sim.chip().inject_read_error(r.abs_page(r.no(r.cur()), 0), -EUCLEAN);
  EXPECT_TRUE(r.holds(2, 1));
  EXPECT_EQ(log.count("read reclaim\n"), 1u);
  r.sim.chip().inject_read_error(r.abs_page(r.no(r.cur()), 1), -EBADMSG);
  EXPECT_EQ(nand_read_logic_page(r.part, 3, buf.data()), static_cast<uint32>(-EBADMSG));
}

// ---------------------------------------------------------------------------
// Refusals.
// ---------------------------------------------------------------------------

TEST(LogicRefusal, PageNumbersBeyondTheMapAreRefusedWithoutTouchingFlash) {
  LogCapture log;
  NftlRig r;
  const uint32 pages = nyx_nftl_logic_pages(r.part);
  ASSERT_EQ(pages, 128u);  // 8 logical blocks of 16 pages
  const uint16 used = r.part->current_block_used_page;
  r.sim.chip().reset_counters();
  std::vector<uchar> buf(r.page_size(), 0x5A);
  for (uint32 lp : {pages, pages + 1, 0x0FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(nand_read_logic_page(r.part, lp, buf.data()), 1u) << lp;
    EXPECT_EQ(nand_write_logic_page(r.part, lp, buf.data()), 1u) << lp;
    EXPECT_EQ(nand_write_logic_page_no_gc(r.part, lp, buf.data()), 1u) << lp;
  }
  EXPECT_EQ(buf, std::vector<uchar>(r.page_size(), 0x5A));
  EXPECT_EQ(r.sim.chip().counters().reads + r.sim.chip().counters().programs +
                r.sim.chip().counters().erases,
            0u);
  EXPECT_EQ(r.part->current_block_used_page, used);
  // The last page of the map is still served.
  EXPECT_EQ(r.write(pages - 1, 1), 0u);
  EXPECT_TRUE(r.holds(pages - 1, 1));
}

TEST(LogicRefusal, NoFreeBlockAtRetirementLeavesNoCurrentBlockAndLaterWritesTouchNothing) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* full = r.fill_current_block(0);
  r.drain_free_list();
  EXPECT_EQ(r.write_no_gc(20, 1), 1u);
  EXPECT_EQ(log.count("no free block!!!!\n"), 1u);
  EXPECT_EQ(r.cur(), nullptr);
  EXPECT_TRUE(r.on_invalid_list(full));  // retired before the free list was asked

  r.sim.chip().reset_counters();
  EXPECT_EQ(r.write_no_gc(21, 1), 1u);
  EXPECT_EQ(r.write(22, 1), 1u);
  EXPECT_EQ(r.sim.chip().counters().programs + r.sim.chip().counters().erases, 0u);
  EXPECT_TRUE(r.holds(3, 1));  // what was written stays readable
  std::vector<uchar> buf(r.page_size());
  EXPECT_EQ(nand_read_logic_page(r.part, 20, buf.data()), 0u);
  EXPECT_EQ(buf, std::vector<uchar>(r.page_size(), 0xFF));
}

// ---------------------------------------------------------------------------
// Writes into the current block and retirement.
// ---------------------------------------------------------------------------

TEST(LogicWrite, RewriteInTheCurrentBlockCountsTheOldCopyAndReadsTheNewData) {
  LogCapture log;
  NftlRig r;
  ASSERT_EQ(r.write(3, 1), 0u);
  _phy_block_info* cur = r.cur();
  EXPECT_EQ(cur->invalid_page_count, 0);
  EXPECT_TRUE(r.maps_to(3, cur, 0));
  ASSERT_EQ(r.write(3, 2), 0u);
  EXPECT_EQ(cur->invalid_page_count, 1);
  EXPECT_TRUE(r.maps_to(3, cur, 1));
  EXPECT_EQ(r.part->part_phy_page_map->phy_page_map[1], 3u);
  EXPECT_TRUE(r.holds(3, 2));
  // The spare record names the logical page, the block's erase count and sequence number.
  const uint8_t* spare = r.raw_spare(r.no(cur), 1);
  EXPECT_EQ(get_logic_page_from_oob(spare), 3u);
  EXPECT_EQ(get_erase_count_from_oob(spare), cur->erase_count);
  EXPECT_EQ(get_block_used_count_from_oob(spare), r.part->current_block_used_count);
}

TEST(LogicWrite, FullBlockIsRetiredWithItsMappingPageAndTheLeastWornFreeBlockFollows) {
  LogCapture log;
  NftlRig r(64);
  // The least worn free block sits in the middle of the free list.
  std::vector<_phy_block_info*> frees;
  while (_phy_block_info* b = out_phy_block_from_free_list(r.part)) frees.push_back(b);
  for (size_t i = 0; i < frees.size(); ++i) {
    frees[i]->erase_count = static_cast<uint16>(i == frees.size() / 2 ? 2 : 7 + i % 3);
    put_phy_block_to_free_list(r.part, frees[i]);
  }
  _phy_block_info* least = frees[frees.size() / 2];
  const uint16 free_before = r.part->free_block_num;

  _phy_block_info* full = r.fill_current_block(100);
  const uint32 count = r.part->current_block_used_count;
  EXPECT_EQ(r.part->current_block_used_page, 63);
  ASSERT_EQ(r.write(7, 1), 0u);

  // Mapping page: the reverse map, little-endian, and the special spare record.
  const uint8_t* main = r.raw_main(r.no(full), 63);
  for (uint32 i = 0; i < 63; ++i) EXPECT_EQ(le32(main + 4 * i), 100 + i) << i;
  EXPECT_EQ(le32(main + 4 * 63), 0xFFFFFFFFu);
  const uint8_t* spare = r.raw_spare(r.no(full), 63);
  EXPECT_EQ(get_special_data_from_oob(spare), NYX_TAG_MAPPING_PAGE);
  EXPECT_EQ(get_block_used_count_from_oob(spare), count);
  EXPECT_EQ(get_erase_count_from_oob(spare), full->erase_count);

  EXPECT_TRUE(r.on_invalid_list(full));
  EXPECT_EQ(full->invalid_page_count, 1);
  EXPECT_EQ(r.cur(), least);
  EXPECT_EQ(least->erase_count, 3);
  EXPECT_EQ(static_cast<uint32>(least->block_used_count), count + 1);
  EXPECT_EQ(r.part->free_block_num, free_before - 1);
  EXPECT_TRUE(r.maps_to(7, least, 0));
  EXPECT_FALSE(log.contains("invaild_page num error"));

  // Everything survives a restart, which rebuilds the maps from the flash.
  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  for (uint32 i = 0; i < 63; ++i) EXPECT_TRUE(r.holds(100 + i, 1)) << i;
  EXPECT_TRUE(r.holds(7, 1));
}

TEST(LogicWrite, RewritingTheLastValidPageOfAFullBlockFreesItAtOnce) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* full = r.cur();
  for (int i = 0; i < 15; ++i) ASSERT_EQ(r.write(0, i), 0u);  // pages 0-14, only page 14 valid
  ASSERT_EQ(r.write(1, 1), 0u);                               // retires the block
  EXPECT_TRUE(r.on_invalid_list(full));
  EXPECT_EQ(full->invalid_page_count, 15);
  const uint16 free_before = r.part->free_block_num;

  ASSERT_EQ(r.write(0, 99), 0u);
  EXPECT_FALSE(r.on_invalid_list(full));
  EXPECT_TRUE(r.on_free_list(full));
  EXPECT_EQ(r.part->free_block_num, free_before + 1);
  EXPECT_TRUE(r.holds(0, 99));
}

TEST(LogicWrite, StaleStoredCountIsReplacedByTheRecountAtRetirement) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* full = r.fill_current_block(0);
  full->invalid_page_count = 4;  // nothing in the block is invalid yet
  ASSERT_EQ(r.write(40, 1), 0u);
  EXPECT_EQ(log.count("part_current_used_block invaild_page num error:[1] [5]!!\n"), 1u);
  EXPECT_EQ(full->invalid_page_count, 1);
}

TEST(LogicWrite, ReverseMapEntryBeyondTheMapCountsAsInvalidWithoutIndexingTheMap) {
  LogCapture log;
  NftlRig r;
  ASSERT_EQ(r.write(0, 1), 0u);
  ASSERT_EQ(r.write(0, 2), 0u);  // page 0 is now invalid
  // As the mount leaves a page whose spare record names no page of this partition.
  r.part->part_phy_page_map->phy_page_map[0] = 0x0FFFFFFF;
  _phy_block_info* full = r.fill_current_block(10);
  ASSERT_EQ(r.write(40, 1), 0u);
  EXPECT_EQ(full->invalid_page_count, 2);
  EXPECT_FALSE(log.contains("invaild_page num error"));
}

TEST(LogicWrite, WearLevellingIsRequestedOnceAnErasedBlockPassesHalfItsRatedCycles) {
  LogCapture log;
  NftlRig r;
  ASSERT_EQ(r.part->s_wl.erase_threshold, 1500);
  r.fill_current_block(0);
  r.set_free_erase_counts(1499);
  ASSERT_EQ(r.write(30, 1), 0u);
  EXPECT_EQ(r.cur()->erase_count, 1500);
  EXPECT_EQ(r.part->s_wl.s_wl_status, 0);

  r.fill_current_block(40);
  r.set_free_erase_counts(1500);
  ASSERT_EQ(r.write(60, 1), 0u);
  EXPECT_EQ(r.cur()->erase_count, 1501);
  EXPECT_EQ(r.part->s_wl.s_wl_status, 1);
}

// ---------------------------------------------------------------------------
// Erase failures.
// ---------------------------------------------------------------------------

TEST(LogicEraseFailure, BlockThatFailsToEraseIsMarkedBadAndTheNextGetsTheSameSequenceNumber) {
  LogCapture log;
  NftlRig r;
  r.fill_current_block(0);
  _phy_block_info* first = r.free_head();
  _phy_block_info* second = first->free_next;
  const uint32 count = r.part->current_block_used_count;
  const uint16 free_before = r.part->free_block_num;
  r.sim.chip().fail_erase_at(r.no(first));

  ASSERT_EQ(r.write(20, 1), 0u);
  EXPECT_EQ(log.count("nand_write_logic_page_no_gc erase error!\n"), 1u);
  EXPECT_TRUE(r.is_bad(first));
  EXPECT_FALSE(r.on_free_list(first) || r.on_invalid_list(first));
  EXPECT_EQ(r.cur(), second);
  EXPECT_EQ(static_cast<uint32>(second->block_used_count), count + 1);
  EXPECT_EQ(r.part->free_block_num, free_before - 2);
  EXPECT_TRUE(r.holds(20, 1));
  EXPECT_TRUE(r.holds(14, 1));
}

TEST(LogicEraseFailure, FirstWriteAfterMountMovesOnWhenTheCurrentBlockFailsToErase) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* mounted = r.cur();
  _phy_block_info* next = r.free_head();
  r.sim.chip().fail_erase_at(r.no(mounted));
  ASSERT_EQ(r.write(1, 1), 0u);
  EXPECT_TRUE(r.is_bad(mounted));
  EXPECT_EQ(r.cur(), next);
  EXPECT_EQ(next->block_used_count, 0);
  EXPECT_TRUE(r.holds(1, 1));
}

// ---------------------------------------------------------------------------
// Write failures and their recovery.
// ---------------------------------------------------------------------------

TEST(LogicWriteFailure, WrittenPagesMoveToAFreshBlockAndTheFailedBlockIsMarkedBad) {
  LogCapture log;
  NftlRig r;
  const uint32 lps[] = {0, 1, 2, 1, 3};  // page 1 is invalid
  for (uint32 lp : lps) ASSERT_EQ(r.write(lp, 1), 0u);
  ASSERT_EQ(r.write(1, 2), 0u);  // page 5; pages 1 and 3 invalid
  _phy_block_info* failed = r.cur();
  _phy_block_info* fresh = r.free_head();
  ASSERT_EQ(failed->invalid_page_count, 2);

  r.sim.chip().fail_nth_program(1);
  ASSERT_EQ(r.write(4, 1), 0u);
  EXPECT_EQ(log.count("nand_write_logic_page_no_gc write error2!\n"), 1u);
  EXPECT_TRUE(r.is_bad(failed));
  EXPECT_FALSE(r.on_free_list(failed) || r.on_invalid_list(failed));
  EXPECT_EQ(r.cur(), fresh);
  EXPECT_EQ(fresh->block_used_count, failed->block_used_count + 1);
  EXPECT_EQ(fresh->invalid_page_count, 2);
  for (auto [lp, page] : {std::pair{0, 0}, {2, 2}, {3, 4}, {1, 5}, {4, 6}})
    EXPECT_TRUE(r.maps_to(lp, fresh, page)) << lp;
  // The copies carry the fresh block's sequence number.
  EXPECT_EQ(get_block_used_count_from_oob(r.raw_spare(r.no(fresh), 2)),
            static_cast<uint32>(fresh->block_used_count));
  for (int restart = 0; restart < 2; ++restart) {
    for (uint32 lp : {0u, 2u, 3u, 4u}) EXPECT_TRUE(r.holds(lp, 1)) << lp;
    EXPECT_TRUE(r.holds(1, 2));
    ASSERT_EQ(r.sim.reattach(), 0);
    r.part = r.sim.part;
  }
}

TEST(LogicWriteFailure, FailedRecoveryKeepsTheOldCopyMappedAndCounted) {
  LogCapture log;
  NftlRig r;
  ASSERT_EQ(r.write(0, 1), 0u);
  ASSERT_EQ(r.write(1, 1), 0u);
  ASSERT_EQ(r.write(0, 2), 0u);  // page 2; page 0 invalid
  _phy_block_info* cur = r.cur();
  r.drain_free_list();
  r.sim.chip().fail_nth_program(1);

  EXPECT_EQ(r.write(0, 3), 1u);
  EXPECT_EQ(log.count("no free block\n"), 1u);
  EXPECT_EQ(r.cur(), cur);
  EXPECT_TRUE(r.maps_to(0, cur, 2));
  EXPECT_EQ(cur->invalid_page_count, 1);
  EXPECT_EQ(r.part->part_phy_page_map->phy_page_map[3], NYX_NO_LOGIC_PAGE);
  EXPECT_EQ(r.part->current_block_used_page, 3);
  EXPECT_TRUE(r.holds(0, 2));

  // With free blocks again, the next write recovers from the damaged page.
  r.refill_free_list();
  ASSERT_EQ(r.write(0, 4), 0u);
  EXPECT_NE(r.cur(), cur);
  EXPECT_TRUE(r.is_bad(cur));
  EXPECT_TRUE(r.holds(0, 4));
  EXPECT_TRUE(r.holds(1, 1));
  EXPECT_EQ(r.cur()->invalid_page_count, 2);  // pages 0 and 2
}

TEST(LogicWriteFailure, RecoveryEraseFailuresTakeFurtherBlocksUntilTheReserve) {
  LogCapture log;
  NftlRig r;
  ASSERT_EQ(r.write(0, 1), 0u);
  _phy_block_info* first = r.free_head();
  _phy_block_info* second = first->free_next;
  r.sim.chip().fail_erase_at(r.no(first));
  r.sim.chip().fail_nth_program(1);
  ASSERT_EQ(r.write(1, 1), 0u);
  EXPECT_EQ(log.count("do_write_error erase error!\n"), 1u);
  EXPECT_TRUE(r.is_bad(first));
  EXPECT_EQ(r.cur(), second);
  EXPECT_TRUE(r.holds(0, 1));
  EXPECT_TRUE(r.holds(1, 1));

  // Down to the reserve (free blocks at most a quarter of the start threshold):
  // one failed erase ends the recovery.
  log.clear();
  r.part->gc_strategy.start_gc_free_blocks = static_cast<uint16>(4 * r.part->free_block_num);
  r.part->gc_strategy.stop_gc_free_blocks = static_cast<uint16>(4 * r.part->free_block_num + 2);
  r.sim.chip().fail_erase_at(r.no(r.free_head()));
  r.sim.chip().fail_nth_program(1);
  EXPECT_EQ(r.write_no_gc(2, 1), 1u);
  EXPECT_EQ(log.count("do_write_error erase error!\n"), 1u);
  EXPECT_EQ(log.count("no free block\n"), 1u);
  EXPECT_EQ(r.cur(), second);
}

TEST(LogicWriteFailure, UnreadablePageInTheFailedBlockDoesNotCondemnTheFreshBlock) {
  LogCapture log;
  NftlRig r;
  for (uint32 lp = 0; lp < 4; ++lp) ASSERT_EQ(r.write(lp, 1), 0u);
  _phy_block_info* failed = r.cur();
  _phy_block_info* fresh = r.free_head();
  const uint16 free_before = r.part->free_block_num;
  r.sim.chip().inject_read_error(r.abs_page(r.no(failed), 1), -EBADMSG);
  r.sim.chip().fail_nth_program(1);

  ASSERT_EQ(r.write(4, 1), 0u);
  EXPECT_EQ(r.cur(), fresh);
  EXPECT_FALSE(r.is_bad(fresh));
  EXPECT_EQ(r.part->free_block_num, free_before - 1);
  for (uint32 lp : {0u, 2u, 3u, 4u}) EXPECT_TRUE(r.holds(lp, 1)) << lp;
  EXPECT_TRUE(r.maps_to(1, fresh, 1));
}

TEST(LogicWriteFailure, PagesPastAnUnreadableRecordAreMovedToo) {
  LogCapture log;
  NftlRig r;
  ASSERT_EQ(r.write(0, 1), 0u);
  ASSERT_EQ(r.write(1, 1), 0u);
  // Page 2 gets a spare record that is neither a logical page nor a special
  // value; the mount skips it and goes on with page 3.
  const uint16 block = r.no(r.cur());
  std::vector<uint8_t> data(r.page_size(), 0x33);
  std::vector<uint8_t> oob(r.sim.chip().geometry().oob_size, 0xFF);
  oob[2] = 0x80;
  oob[3] = oob[4] = oob[5] = 0x00;
  ASSERT_EQ(r.sim.chip().program_page(r.abs_page(block, 2), data.data(), oob.data()), 0);
  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  ASSERT_EQ(r.part->current_block_used_page, 3);
  ASSERT_EQ(r.write(3, 1), 0u);
  ASSERT_EQ(r.write(4, 1), 0u);

  r.sim.chip().fail_nth_program(1);
  ASSERT_EQ(r.write(5, 1), 0u);
  EXPECT_NE(r.no(r.cur()), block);
  for (uint32 lp : {0u, 1u, 3u, 4u, 5u})
    EXPECT_TRUE(r.maps_to(lp, r.cur(), static_cast<uint16>(lp))) << lp;

  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  for (uint32 lp : {0u, 1u, 3u, 4u, 5u}) EXPECT_TRUE(r.holds(lp, 1)) << lp;
  EXPECT_EQ(r.part->current_block_used_page, 6);
}

TEST(LogicWriteFailure, MappingPageGoesToTheReplacementBlock) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* failed = r.fill_current_block(0);
  _phy_block_info* replacement = r.free_head();
  _phy_block_info* next = replacement->free_next;
  r.sim.chip().fail_program_at(r.abs_page(r.no(failed), 15));

  ASSERT_EQ(r.write(15, 1), 0u);
  EXPECT_EQ(log.count("nand_write_logic_page_no_gc write error!\n"), 1u);
  EXPECT_TRUE(r.is_bad(failed));
  EXPECT_TRUE(r.on_invalid_list(replacement));
  EXPECT_EQ(replacement->invalid_page_count, 1);
  EXPECT_EQ(replacement->block_used_count, failed->block_used_count + 1);
  const uint8_t* spare = r.raw_spare(r.no(replacement), 15);
  EXPECT_EQ(get_special_data_from_oob(spare), NYX_TAG_MAPPING_PAGE);
  EXPECT_EQ(get_block_used_count_from_oob(spare),
            static_cast<uint32>(replacement->block_used_count));
  const uint8_t* main = r.raw_main(r.no(replacement), 15);
  for (uint32 i = 0; i < 15; ++i) {
    EXPECT_EQ(le32(main + 4 * i), i);
    EXPECT_TRUE(r.maps_to(i, replacement, static_cast<uint16>(i)));
  }
  EXPECT_EQ(r.cur(), next);
  EXPECT_EQ(next->block_used_count, replacement->block_used_count + 1);
  EXPECT_TRUE(r.maps_to(15, next, 0));

  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  for (uint32 lp = 0; lp < 16; ++lp) EXPECT_TRUE(r.holds(lp, 1)) << lp;
}

}  // namespace
