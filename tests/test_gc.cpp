// Reclamation over a mounted partition on the simulated chip: one collection
// step on a victim, the threshold-driven step with its step sizes and its
// start/stop hysteresis, whole-victim collection (gc_one, gc_all), the
// priority reclaim queue with its retire and wear-levelling types, and the
// wear-levelling check that feeds the queue.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/nftl_rig.h"

namespace {

// A partition whose only full block (returned) holds logical pages
// 100 .. 100 + P - 2 at pages 0 .. P - 2, of which the first `stale` have been
// rewritten since: the block has `stale` + 1 invalid pages.
_phy_block_info* make_victim(NftlRig& r, uint16_t stale) {
  _phy_block_info* victim = r.fill_current_block(100);
  r.write_no_gc(1, 1);  // retires the victim
  for (uint16_t i = 0; i < stale; ++i) r.write_no_gc(100 + i, 2);
  EXPECT_EQ(victim->invalid_page_count, stale + 1);
  EXPECT_EQ(r.invalid_head(), victim);
  return victim;
}

// Every logical page of make_victim still reads its newest data.
void expect_victim_data(NftlRig& r, uint16_t stale) {
  for (uint32 i = 0; i + 1 < r.P(); ++i) {
    EXPECT_TRUE(r.holds(100 + i, i < stale ? 2 : 1)) << "logical page " << 100 + i;
  }
}

// Makes the next garbage_collect run a step: a cycle starts at the current
// free-block count, and ends well above it.
void arm_cycle(NftlRig& r) {
  r.part->gc_strategy.start_gc_free_blocks = r.part->free_block_num;
  r.part->gc_strategy.stop_gc_free_blocks = static_cast<uint16>(r.part->free_block_num + 10);
  r.part->gc_strategy.process = 1;
}

// ---------------------------------------------------------------------------
// One step on a victim.
// ---------------------------------------------------------------------------

TEST(GcStep, MovesTheFirstValidPagesInPageOrderAndReturnsTheVictimToTheList) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 5);  // pages 5 .. 14 valid
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 4), 0u);
  for (uint32 lp = 105; lp < 109; ++lp) EXPECT_EQ(r.map(lp).blkNO_in_chip, r.no(r.cur())) << lp;
  EXPECT_TRUE(r.maps_to(109, victim, 9));
  EXPECT_EQ(victim->invalid_page_count, 10);
  EXPECT_EQ(r.invalid_head(), victim);
  EXPECT_FALSE(log.contains("invaild_page num error"));
  expect_victim_data(r, 5);

  // Collected whole, the victim is freed in the same step.
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 65535), 0u);
  EXPECT_TRUE(r.on_free_list(victim));
  EXPECT_FALSE(r.on_invalid_list(victim));
  EXPECT_EQ(victim->invalid_page_count, 16);
  expect_victim_data(r, 5);
}

// A given victim that is the current block is left alone; an empty list
// or a given block that is not listed is an error.
TEST(GcStep, CurrentBlockEmptyListOrUnlistedBlockAreRefused) {
  LogCapture log;
  NftlRig r;
  EXPECT_EQ(garbage_collect_first(r.part, nullptr, 65535), 1u);
  EXPECT_EQ(garbage_collect_first(r.part, r.free_head(), 65535), 1u);
  EXPECT_EQ(log.count("garbage_collect_first error!!\n"), 2u);
  make_victim(r, 3);
  _phy_block_info* cur = r.cur();
  const uint16 used = r.part->current_block_used_page;
  r.sim.chip().reset_counters();
  EXPECT_EQ(garbage_collect_first(r.part, cur, 65535), 0u);
  EXPECT_EQ(r.sim.chip().counters().reads, 0u);
  EXPECT_EQ(r.part->current_block_used_page, used);
  EXPECT_EQ(r.cur(), cur);
}

// A victim without a mapping page, or with an unreadable one, is not acted
// on and leaves every list.
TEST(GcStep, VictimWithoutReadableMappingPageIsLeftOutOfEveryList) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 4);
  r.sim.chip().inject_read_error(r.abs_page(r.no(victim), 15), -EBADMSG);
  const uint16 used = r.part->current_block_used_page;
  EXPECT_EQ(garbage_collect_first(r.part, nullptr, 65535), 1u);
  EXPECT_EQ(r.part->current_block_used_page, used);  // nothing moved
  EXPECT_FALSE(r.on_invalid_list(victim) || r.on_free_list(victim));
  expect_victim_data(r, 4);

  // A block on the invalid-page list whose last page is still erased.
  _phy_block_info* fake = out_phy_block_from_free_list(r.part);
  fake->invalid_page_count = 3;
  put_phy_block_to_invalid_page_list(r.part, fake);
  EXPECT_EQ(garbage_collect_first(r.part, nullptr, 65535), 1u);
  EXPECT_EQ(log.count("garbage_collect_first cannot find PHY_MAPPING_PAGE ffffffff !!\n"), 1u);
  EXPECT_FALSE(r.on_invalid_list(fake) || r.on_free_list(fake));
}

TEST(GcStep, UnreadableValidPageIsNotMovedAndStillReportsTheError) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 4);  // pages 4 .. 14 valid
  r.sim.chip().inject_read_error(r.abs_page(r.no(victim), 6), -EBADMSG);
  EXPECT_EQ(garbage_collect_first(r.part, nullptr, 65535), 1u);
  EXPECT_EQ(r.map(104).blkNO_in_chip, r.no(r.cur()));  // moved before the damaged page
  EXPECT_EQ(r.map(105).blkNO_in_chip, r.no(r.cur()));
  EXPECT_TRUE(r.maps_to(106, victim, 6));
  EXPECT_TRUE(r.maps_to(107, victim, 7));
  EXPECT_FALSE(r.on_invalid_list(victim) || r.on_free_list(victim));
  std::vector<uchar> buf(r.page_size());
  EXPECT_EQ(nand_read_logic_page(r.part, 106, buf.data()), static_cast<uint32>(-EBADMSG));
  EXPECT_TRUE(r.holds(104, 1));
  EXPECT_TRUE(r.holds(107, 1));
}

TEST(GcStep, FailedMoveReturnsTheVictimToTheListForALaterStep) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 4);  // pages 4 .. 14 valid
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 2), 0u);
  r.drain_free_list();
  r.sim.chip().fail_nth_program(1);
  EXPECT_EQ(garbage_collect_first(r.part, nullptr, 65535), 1u);
  EXPECT_EQ(log.count("no free block\n"), 1u);
  EXPECT_TRUE(r.on_invalid_list(victim));
  EXPECT_EQ(victim->invalid_page_count, 7);  // the two pages moved before
  expect_victim_data(r, 4);

  r.refill_free_list();
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 65535), 0u);
  EXPECT_TRUE(r.on_free_list(victim));
  expect_victim_data(r, 4);
}

TEST(GcStep, MovedPageSurvivesAWriteFailureOfItsCopy) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 4);
  _phy_block_info* cur = r.cur();
  r.sim.chip().fail_nth_program(1);
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 65535), 0u);
  EXPECT_EQ(log.count("nand_write_logic_page_no_gc write error2!\n"), 1u);
  EXPECT_TRUE(r.is_bad(cur));
  EXPECT_TRUE(r.on_free_list(victim));
  expect_victim_data(r, 4);
  EXPECT_TRUE(r.holds(1, 1));
}

TEST(GcStep, MovedPageSurvivesTheRetirementOfTheCurrentBlock) {
  LogCapture log;
  NftlRig r;
  make_victim(r, 4);
  // Three pages short of the mapping page: the third move retires the block.
  while (r.part->current_block_used_page < r.P() - 3) r.write_no_gc(0, 7);
  _phy_block_info* filling = r.cur();
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 65535), 0u);
  EXPECT_TRUE(r.on_invalid_list(filling));
  EXPECT_NE(r.cur(), filling);
  expect_victim_data(r, 4);
}

TEST(GcStep, StoredCountBelowTheRecountIsCorrectedSoTheVictimIsFreed) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 10);  // 11 invalid, 5 valid
  r.set_invalid_count(victim, 10);
  // gc_one must run out of victims within a few rounds (bounded here so that
  // a victim picked again and again fails the test instead of hanging it).
  int rounds = 0;
  while (gc_one(r.part) == 0 && rounds < 5) ++rounds;
  ASSERT_EQ(rounds, 1);
  EXPECT_EQ(gc_all(r.part), 0u);
  EXPECT_EQ(log.count("garbage_collect_first invaild_page num error:[11] [10]!!\n"), 1u);
  EXPECT_EQ(log.count("gc all end\n"), 1u);
  EXPECT_TRUE(r.on_free_list(victim));
  expect_victim_data(r, 10);
}

TEST(GcStep, StoredCountAboveTheRecountNeverFreesAVictimHoldingValidPages) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 10);  // 11 invalid, 5 valid
  r.set_invalid_count(victim, 15);
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 1), 0u);
  EXPECT_EQ(victim->invalid_page_count, 12);
  EXPECT_TRUE(r.on_invalid_list(victim));
  // Fill the flash with other data; the victim's pages must all survive.
  for (uint32 round = 0; round < 40; ++round) {
    for (uint32 lp = 0; lp < 20; ++lp) ASSERT_EQ(r.write(lp, round), 0u);
  }
  expect_victim_data(r, 10);
}

// ---------------------------------------------------------------------------
// The threshold-driven step.
// ---------------------------------------------------------------------------

struct StepSizeCase {
  uint16_t invalid;  // of the head block, with 64 pages per block
  uint16_t gc_page;
};

class GcStepSize : public ::testing::TestWithParam<StepSizeCase> {};

TEST_P(GcStepSize, FollowsTheHeadBlocksInvalidPages) {
  LogCapture log;
  NftlRig r(64);
  _phy_block_info* victim = make_victim(r, static_cast<uint16_t>(GetParam().invalid - 1));
  arm_cycle(r);
  const uint16 free = r.part->free_block_num;
  ASSERT_EQ(garbage_collect(r.part), 0u);
  EXPECT_EQ(r.part->gc_strategy.process, 0);
  EXPECT_EQ(r.part->gc_strategy.gc_page, GetParam().gc_page);
  const std::string wrong1 = "something is wrong 1! " + std::to_string(free) + ":" +
                             std::to_string(GetParam().invalid) + "\n";
  EXPECT_EQ(log.count(wrong1), GetParam().gc_page == 65535 ? 1u : 0u);
  if (GetParam().gc_page == 65535) {
    EXPECT_TRUE(r.on_free_list(victim));
  } else {
    EXPECT_EQ(victim->invalid_page_count, GetParam().invalid + GetParam().gc_page);
  }
}

INSTANTIATE_TEST_SUITE_P(Boundaries, GcStepSize,
                         ::testing::Values(StepSizeCase{40, 4}, StepSizeCase{32, 4},
                                           StepSizeCase{31, 8}, StepSizeCase{16, 8},
                                           StepSizeCase{15, 16}, StepSizeCase{8, 16},
                                           StepSizeCase{7, 65535}, StepSizeCase{2, 65535}));

TEST(GcCycle, FewFreeBlocksCollectTheWholeVictim) {
  LogCapture log;
  NftlRig r(64);
  _phy_block_info* victim = make_victim(r, 39);
  const uint16 free = r.part->free_block_num;
  r.part->gc_strategy.start_gc_free_blocks = static_cast<uint16>(2 * free);
  r.part->gc_strategy.stop_gc_free_blocks = static_cast<uint16>(2 * free + 2);
  ASSERT_EQ(garbage_collect(r.part), 0u);
  EXPECT_EQ(log.count("something is wrong 2! " + std::to_string(free) + ":40\n"), 1u);
  EXPECT_EQ(r.part->gc_strategy.gc_page, 65535);
  EXPECT_TRUE(r.on_free_list(victim));
}

TEST(GcCycle, StartsAtTheStartThresholdRunsUntilTheStopThresholdThenRests) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 10);
  _gc_strategy* gc = &r.part->gc_strategy;
  const uint16 free = r.part->free_block_num;

  // Above the start threshold and idle: nothing.
  gc->start_gc_free_blocks = static_cast<uint16>(free - 1);
  gc->stop_gc_free_blocks = static_cast<uint16>(free + 5);
  r.sim.chip().reset_counters();
  EXPECT_EQ(garbage_collect(r.part), 0u);
  EXPECT_EQ(gc->process, 1);
  EXPECT_EQ(r.sim.chip().counters().reads, 0u);
  EXPECT_EQ(victim->invalid_page_count, 11);

  // At the start threshold a cycle starts and a step runs (4 pages: 11 >= 16/2).
  gc->start_gc_free_blocks = free;
  EXPECT_EQ(garbage_collect(r.part), 0u);
  EXPECT_EQ(gc->process, 0);
  EXPECT_EQ(victim->invalid_page_count, 15);

  // Free blocks above the start threshold: the running cycle goes on.
  gc->start_gc_free_blocks = static_cast<uint16>(free - 3);
  EXPECT_EQ(garbage_collect(r.part), 0u);
  EXPECT_TRUE(r.on_free_list(victim));
  EXPECT_EQ(gc->process, 0);

  // At the stop threshold the cycle ends without a step.
  gc->stop_gc_free_blocks = r.part->free_block_num;
  gc->gc_page = 9;
  r.sim.chip().reset_counters();
  EXPECT_EQ(garbage_collect(r.part), 0u);
  EXPECT_EQ(gc->process, 1);
  EXPECT_EQ(gc->gc_page, 0);
  EXPECT_EQ(gc->flag_gc_block, 0);
  EXPECT_EQ(r.sim.chip().counters().reads, 0u);
  expect_victim_data(r, 10);
}

TEST(GcCycle, RunningCycleWithNothingToCollectFailsTheWriteThatWasStillMade) {
  LogCapture log;
  NftlRig r;
  arm_cycle(r);
  EXPECT_EQ(r.write(3, 1), 1u);
  EXPECT_TRUE(r.holds(3, 1));
}

TEST(GcCycle, HostWritesKeepTheFreeListAboveTheStartThreshold) {
  LogCapture log;
  NftlRig r;
  // 128 logical pages over 39 blocks: rewrite them until collection has run
  // many cycles.
  for (uint32 round = 0; round < 12; ++round) {
    for (uint32 lp = 0; lp < 128; ++lp) {
      ASSERT_EQ(r.write((lp * 37 + round) % 128, round), 0u) << round << " " << lp;
    }
  }
  EXPECT_GE(r.part->free_block_num, r.part->gc_strategy.start_gc_free_blocks / 2);
  for (uint32 lp = 0; lp < 128; ++lp) {
    // The last round wrote (lp * 37 + 11) % 128 with version 11.
    EXPECT_TRUE(r.holds(lp, 11)) << lp;
  }
  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  for (uint32 lp = 0; lp < 128; ++lp) EXPECT_TRUE(r.holds(lp, 11)) << lp;
}

// ---------------------------------------------------------------------------
// Whole-victim collection.
// ---------------------------------------------------------------------------

TEST(GcOne, NeedsTenInvalidPagesAtTheHead) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 8);  // 9 invalid
  r.sim.chip().reset_counters();
  EXPECT_EQ(gc_one(r.part), 1u);
  EXPECT_EQ(r.sim.chip().counters().reads, 0u);
  EXPECT_EQ(victim->invalid_page_count, 9);

  r.write_no_gc(108, 2);  // 10 invalid
  EXPECT_EQ(gc_one(r.part), 0u);
  EXPECT_EQ(log.count("gc_one ok!\n"), 1u);
  EXPECT_TRUE(r.on_free_list(victim));
  EXPECT_EQ(gc_one(r.part), 1u);  // the filled block has 1 invalid page
  expect_victim_data(r, 9);
}

TEST(GcOne, FailedCollectionIsReportedButCountsAsAttempted) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 12);
  r.sim.chip().inject_read_error(r.abs_page(r.no(victim), 15), -EBADMSG);
  EXPECT_EQ(gc_one(r.part), 0u);
  EXPECT_EQ(log.count("gc_one error!\n"), 1u);
  EXPECT_EQ(gc_all(r.part), 0u);  // the list is now empty
  EXPECT_EQ(log.count("gc all end\n"), 1u);
}

// ---------------------------------------------------------------------------
// The priority reclaim queue.
// ---------------------------------------------------------------------------

TEST(PrioQueue, HoldsTenRequestsOnceEachInArrivalOrder) {
  LogCapture log;
  NftlRig r;
  _prio_gc* q = &r.part->prio_gc;
  // Eleven free blocks (never the current one), queued in free-list order.
  std::vector<_phy_block_info*> blocks;
  for (_phy_block_info* b = r.free_head(); blocks.size() < 11; b = b->free_next)
    blocks.push_back(b);
  for (int i = 0; i < 10; ++i) add_prio_gc(r.part, blocks[i], NYX_PRIO_WEAR_LEVEL);
  EXPECT_EQ(get_empty_gc_node(q), nullptr);
  add_prio_gc(r.part, blocks[10], NYX_PRIO_WEAR_LEVEL);  // the eleventh is dropped
  EXPECT_EQ(search_gc_node(q, blocks[10]), nullptr);
  add_prio_gc(r.part, blocks[3], NYX_PRIO_RETIRE);
  EXPECT_EQ(q->gc_num, 10);
  EXPECT_EQ(search_gc_node(q, blocks[3])->prio_type, NYX_PRIO_WEAR_LEVEL);

  // Served first in, first out; none of these blocks is full, so each fails.
  for (int i = 0; i < 10; ++i) {
    log.clear();
    EXPECT_EQ(do_prio_gc(r.part), 1u);
    EXPECT_EQ(log.count("do_prio_gc block:" + std::to_string(r.no(blocks[i])) + ", type:2\n"), 1u);
    EXPECT_EQ(log.count("garbage_collect_first error!!\n"), 1u);
    EXPECT_EQ(q->gc_num, 9 - i);
  }
  for (const _prio_gc_node& node : q->prio_gc_node) EXPECT_EQ(node.prio_type, NYX_PRIO_FREE);
  EXPECT_EQ(q->prio_gc_head.prio_gc_next, nullptr);
}

TEST(PrioQueue, NodesAreReusedLowestIndexFirstAndUnlinkedFromTheMiddle) {
  LogCapture log;
  NftlRig r;
  _prio_gc* q = &r.part->prio_gc;
  for (uint16 b = 1; b <= 3; ++b) add_prio_gc(r.part, r.block(b), NYX_PRIO_WEAR_LEVEL);
  _prio_gc_node* middle = search_gc_node(q, r.block(2));
  ASSERT_EQ(middle->gc_no, 1);
  EXPECT_EQ(del_from_gc_list(q, middle), middle);
  middle->prio_type = NYX_PRIO_FREE;
  EXPECT_EQ(q->gc_num, 2);
  _prio_gc_node* first = q->prio_gc_head.prio_gc_next;
  EXPECT_EQ(first->prio_gc_next->phy_block_info, r.block(3));
  EXPECT_EQ(first->prio_gc_next->prio_gc_prev, first);
  EXPECT_EQ(get_empty_gc_node(q), middle);
  add_prio_gc(r.part, r.block(7), NYX_PRIO_WEAR_LEVEL);  // goes to the tail
  EXPECT_EQ(first->prio_gc_next->prio_gc_next->phy_block_info, r.block(7));
}

TEST(PrioQueue, EmptyQueueAndCurrentBlockRequestsDoNothing) {
  LogCapture log;
  NftlRig r;
  log.clear();
  r.sim.chip().reset_counters();
  EXPECT_EQ(do_prio_gc(r.part), 0u);
  add_prio_gc(r.part, r.cur(), NYX_PRIO_RETIRE);
  EXPECT_EQ(do_prio_gc(r.part), 0u);
  EXPECT_EQ(r.part->prio_gc.gc_num, 0);
  EXPECT_EQ(get_empty_gc_node(&r.part->prio_gc), &r.part->prio_gc.prio_gc_node[0]);
  EXPECT_TRUE(log.text().empty());
  EXPECT_EQ(r.sim.chip().counters().reads + r.sim.chip().counters().erases, 0u);
  EXPECT_FALSE(r.is_bad(r.cur()));
}

TEST(PrioQueue, RetireMarksTheBlockBadAndLeavesTheFreeCount) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 12);  // 3 valid pages to move
  r.fill_current_block(50);
  r.write_no_gc(70, 1);  // a new current block with room for the moves
  const uint16 free_before = r.part->free_block_num;
  add_prio_gc(r.part, victim, NYX_PRIO_RETIRE);
  EXPECT_EQ(do_prio_gc(r.part), 0u);
  EXPECT_TRUE(r.is_bad(victim));
  EXPECT_FALSE(r.on_free_list(victim) || r.on_invalid_list(victim));
  EXPECT_EQ(r.part->free_block_num, free_before);
  expect_victim_data(r, 12);
}

TEST(PrioQueue, RetireIsHeldBackWhileValidPagesRemain) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 10);
  r.part->prio_gc.prio_type_now = NYX_PRIO_RETIRE;
  EXPECT_EQ(garbage_collect_first(r.part, victim, 2), 0u);
  r.part->prio_gc.prio_type_now = 0;
  EXPECT_FALSE(r.is_bad(victim));
  EXPECT_TRUE(r.on_invalid_list(victim));
  expect_victim_data(r, 10);
}

TEST(PrioQueue, MappedReadServesOneRequestAndUnmappedReadNone) {
  LogCapture log;
  NftlRig r;
  _phy_block_info* victim = make_victim(r, 3);
  add_prio_gc(r.part, victim, NYX_PRIO_WEAR_LEVEL);
  std::vector<uchar> buf(r.page_size());
  EXPECT_EQ(nand_read_logic_page(r.part, 50, buf.data()), 0u);  // never written
  EXPECT_EQ(r.part->prio_gc.gc_num, 1);
  EXPECT_TRUE(r.holds(1, 1));
  EXPECT_EQ(r.part->prio_gc.gc_num, 0);
  EXPECT_EQ(log.count("do_prio_gc block:" + std::to_string(r.no(victim)) + ", type:2\n"), 1u);
  EXPECT_TRUE(r.on_free_list(victim));
  expect_victim_data(r, 3);

  // A request that fails makes the read that served it report failure.
  add_prio_gc(r.part, r.free_head(), NYX_PRIO_WEAR_LEVEL);
  EXPECT_EQ(nand_read_logic_page(r.part, 1, buf.data()), 1u);
  EXPECT_EQ(buf, r.pattern(1, 1));
}

// ---------------------------------------------------------------------------
// Static wear levelling.
// ---------------------------------------------------------------------------

// Puts free blocks with the given erase counts on the invalid-page list, in
// that list order; returns them.
std::vector<_phy_block_info*> invalid_list_with_erase_counts(NftlRig& r,
                                                             std::vector<uint16_t> counts) {
  std::vector<_phy_block_info*> blocks;
  for (size_t i = 0; i < counts.size(); ++i) {
    _phy_block_info* b = out_phy_block_from_free_list(r.part);
    b->erase_count = counts[i];
    b->invalid_page_count = static_cast<uint16>(12 - i);  // keeps the given order
    put_phy_block_to_invalid_page_list(r.part, b);
    blocks.push_back(b);
  }
  return blocks;
}

TEST(WearLevelling, QueuesTheFirstLeastWornBlockWhenTheSpreadReachesTheSpan) {
  LogCapture log;
  NftlRig r;
  std::vector<_phy_block_info*> blocks = invalid_list_with_erase_counts(r, {7, 3, 9, 3});
  r.part->s_wl.erase_span = 5;
  EXPECT_EQ(do_static_wear_leveling(r.part), 0u);  // not armed yet
  r.part->s_wl.s_wl_status = 1;
  r.part->s_wl.erase_span = 7;  // spread 6 below the span
  EXPECT_EQ(do_static_wear_leveling(r.part), 0u);
  EXPECT_EQ(r.part->prio_gc.gc_num, 0);

  r.part->s_wl.erase_span = 5;
  EXPECT_EQ(do_static_wear_leveling(r.part), 0u);
  EXPECT_EQ(do_static_wear_leveling(r.part), 0u);  // queued once only
  ASSERT_EQ(r.part->prio_gc.gc_num, 1);
  const _prio_gc_node* node = r.part->prio_gc.prio_gc_head.prio_gc_next;
  EXPECT_EQ(node->phy_block_info, blocks[1]);
  EXPECT_EQ(node->prio_type, NYX_PRIO_WEAR_LEVEL);
}

TEST(WearLevelling, OneListedBlockIsQueuedOnlyWithAZeroSpan) {
  LogCapture log;
  NftlRig r;
  r.part->s_wl.s_wl_status = 1;
  EXPECT_EQ(do_static_wear_leveling(r.part), 0u);  // empty list
  std::vector<_phy_block_info*> blocks = invalid_list_with_erase_counts(r, {4});
  for (uint16 span : {1, 0}) {
    r.part->s_wl.erase_span = span;
    EXPECT_EQ(do_static_wear_leveling(r.part), 0u);
    ASSERT_EQ(r.part->prio_gc.gc_num, span == 0 ? 1 : 0);
  }
  EXPECT_EQ(r.part->prio_gc.prio_gc_head.prio_gc_next->phy_block_info, blocks[0]);
}

}  // namespace
