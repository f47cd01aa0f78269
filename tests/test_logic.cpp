// Logical pages and reclamation on a mounted partition, for what the nets
// cannot reach or pin: refusals, exact thresholds and step sizes of both
// collection policies, the reclaim queue, recoveries from write failures in
// states the nets do not build, and their log lines.
#include <gtest/gtest.h>

#include <cerrno>

#include "support/rig.h"

namespace {

uint64_t flash_ops(Rig& r) {
  const nandsim::Counters c = r.chip().counters();
  return c.reads + c.programs + c.erases;
}
bool listed(Rig& r, const _phy_block_info* b) {
  return has(free_list(r.part), r.no(b)) || has(invalid_list(r.part), r.no(b));
}

// The only full block (returned) holds logical pages 100, 101, ... of which
// the first `stale` were written again since: stale + 1 invalid pages.
_phy_block_info* make_victim(Rig& r, uint16_t stale) {
  _phy_block_info* victim = r.fill(100);
  r.write(1, 1, false);
  for (uint16_t i = 0; i < stale; ++i) r.write(100 + i, 2, false);
  EXPECT_EQ(victim->invalid_page_count, stale + 1);
  return victim;
}
void expect_victim_data(Rig& r, uint16_t stale) {
  for (uint32 i = 0; i + 1 < r.P(); ++i)
    EXPECT_TRUE(r.holds(100 + i, i < stale ? 2 : 1)) << 100 + i;
}

// Page numbers beyond the map, and a write position past the mapping page,
// are refused, flash untouched; unwritten pages read erased without the
// flash; a corrected read succeeds, an uncorrectable one reports its code.
TEST(LogicPages, RefusalsAndReads) {
  Rig r;
  LogCapture log;
  std::vector<uchar> buf(r.page_size(), 0x5A);
  r.chip().reset_counters();
  for (uint32 lp : {128u, 129u, 0x0FFFFFFFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(nand_read_logic_page(r.part, lp, buf.data()) &
                  nand_write_logic_page(r.part, lp, buf.data()) &
                  nand_write_logic_page_no_gc(r.part, lp, buf.data()),
              1u)
        << lp;
  }
  EXPECT_EQ(buf, std::vector<uchar>(r.page_size(), 0x5A));
  EXPECT_TRUE(r.holds(5, 0));
  r.part->current_block_used_page = r.P();  // a write position past the mapping page
  EXPECT_EQ(r.write(5, 1), 1u);
  r.part->current_block_used_page = 0;
  EXPECT_EQ(flash_ops(r), 0u);
  ASSERT_EQ(r.write(127, 1) | r.write(2, 1), 0u);
  r.chip().inject_read_error(r.abs(r.no(r.cur()), 0), -EUCLEAN);
  EXPECT_TRUE(r.holds(127, 1));
  EXPECT_EQ(log.count("read reclaim\n"), 1u);
  r.chip().inject_read_error(r.abs(r.no(r.cur()), 1), -EBADMSG);
  EXPECT_EQ(nand_read_logic_page(r.part, 2, buf.data()), static_cast<uint32>(-EBADMSG));
}

// A failed page write moves the block's written pages, at their page
// numbers, to a block newer than the failed one, which is marked bad and
// left on no list. A page that cannot be read is moved as read (it does not
// condemn one fresh block after another); one that holds no logical page
// (torn at an earlier power loss) becomes a dead page, not a copy of its
// torn record, and the pages after it move too.
TEST(WriteFailure, WrittenPagesMoveToANewerBlock) {
  Rig r;
  LogCapture log;
  for (uint32 lp : {0, 1}) ASSERT_EQ(r.write(lp, 1), 0u);
  const uint16_t failed_no = r.no(r.cur());  // the block table is new at each attach
  r.chip().power_cut_after(0, nandsim::CutKind::TornProgram);
  EXPECT_NE(r.write(2, 1), 0u);
  r.chip().power_on();
  ASSERT_EQ(r.reattach(), 0);
  ASSERT_EQ(r.part->current_block_used_page, 3);
  // Resumed in as found (the first write would otherwise leave the block):
  // the recovery must still bear a torn page among the pages it moves.
  ASSERT_EQ(r.part->current_block_found_written, 1);
  r.part->current_block_found_written = 0;
  for (uint32 lp : {3, 1, 4}) ASSERT_EQ(r.write(lp, lp == 1 ? 2 : 1), 0u);
  _phy_block_info* failed = r.blk(failed_no);
  r.chip().inject_read_error(r.abs(failed_no, 1), -EBADMSG);
  const std::vector<int> free = free_list(r.part);
  r.chip().fail_nth_program(1);
  ASSERT_EQ(r.write(5, 1), 0u);
  EXPECT_EQ(log.count("nand_write_logic_page_no_gc write error2!\n"), 2u) << "torn, then failed";
  EXPECT_TRUE(r.chip().is_bad(failed_no) && !listed(r, failed));
  EXPECT_EQ(r.cur(), r.blk(free[0])) << "the first fresh block serves";
  EXPECT_EQ(r.cur()->block_used_count, failed->block_used_count + 1);
  EXPECT_EQ(r.cur()->invalid_page_count, 2);
  for (auto [lp, page] : {std::pair{1, 4}, {3, 3}, {4, 5}, {5, 6}})
    EXPECT_TRUE(r.maps_to(lp, free[0], page)) << lp;
  EXPECT_EQ(get_special_data_from_oob(r.raw_spare(free[0], 2).data()), NYX_TAG_DEAD_PAGE);
  EXPECT_EQ(get_block_used_count_from_oob(r.raw_spare(free[0], 3).data()),
            r.part->current_block_used_count);
  r.chip().clear_faults();
  ASSERT_EQ(r.reattach(), 0);
  for (uint32 lp : {0, 3, 4, 5}) EXPECT_TRUE(r.holds(lp, 1)) << lp;
  EXPECT_TRUE(r.holds(1, 2) && r.holds(2, 0));
  EXPECT_EQ(r.problems(), "");
}

// A recovery whose fresh block fails to erase takes the next, until the free
// blocks are down to a quarter of the start threshold. The maps follow a
// page only once it is on the flash: a write whose recovery fails leaves its
// old copy mapped and counted valid; the next write recovers.
TEST(WriteFailure, FailedRecoveriesKeepTheOldCopy) {
  Rig r;
  LogCapture log;
  for (uint32 v : {1, 2}) ASSERT_EQ(r.write(0, v), 0u);
  const std::vector<int> free = free_list(r.part);
  r.chip().fail_erase_at(free[0]);
  r.chip().fail_nth_program(1);
  ASSERT_EQ(r.write(1, 1), 0u);
  EXPECT_TRUE(r.chip().is_bad(free[0]) && r.cur() == r.blk(free[1]));
  r.part->gc_strategy.start_gc_free_blocks = static_cast<uint16>(4 * r.part->free_block_num);
  r.chip().fail_erase_at(free[2]);
  r.chip().fail_nth_program(1);
  EXPECT_EQ(r.write(0, 3, false), 1u);
  EXPECT_EQ(log.count("do_write_error erase error!\n"), 2u);
  EXPECT_EQ(log.count("no free block\n"), 1u);
  EXPECT_TRUE(r.cur() == r.blk(free[1]) && r.maps_to(0, free[1], 1) && r.holds(0, 2));
  EXPECT_EQ(r.cur()->invalid_page_count, 1);
  EXPECT_EQ(r.part->current_block_used_page, 3);
  r.part->gc_strategy.start_gc_free_blocks = 8;
  ASSERT_EQ(r.write(0, 4), 0u);
  EXPECT_TRUE(r.chip().is_bad(free[1]) && r.holds(0, 4) && r.holds(1, 1));
  EXPECT_EQ(r.cur()->invalid_page_count, 2);
  EXPECT_EQ(r.problems(), "");
}

// ---------------------------------------------------------------------------
// Collection.
// ---------------------------------------------------------------------------

// A valid page that cannot be read is not moved: it stays mapped where it is
// (reads keep reporting the error) and the victim leaves the lists. A step
// whose move fails (no free block for the recovery) puts its victim back on
// the list, where a later step finishes it.
TEST(GcStep, VictimsOfFailedStepsWaitWhereTheyCanBeFinished) {
  Rig r;
  _phy_block_info* victim = make_victim(r, 4);
  ASSERT_EQ(garbage_collect_first(r.part, nullptr, 2), 0u);
  std::vector<_phy_block_info*> taken;  // no free block left for the move
  while (_phy_block_info* b = out_phy_block_from_free_list(r.part)) taken.push_back(b);
  r.chip().fail_nth_program(1);
  EXPECT_EQ(garbage_collect_first(r.part, nullptr, 65535), 1u);
  EXPECT_TRUE(has(invalid_list(r.part), r.no(victim)));
  EXPECT_EQ(victim->invalid_page_count, 7);
  for (_phy_block_info* b : taken) put_phy_block_to_free_list(r.part, b);
  r.chip().inject_read_error(r.abs(r.no(victim), 7), -EBADMSG);
  EXPECT_EQ(garbage_collect_first(r.part, nullptr, 65535), 1u);
  EXPECT_TRUE(r.maps_to(107, r.no(victim), 7) && !listed(r, victim));
  EXPECT_EQ(r.map(106).blkNO_in_chip, r.no(r.cur())) << "moved before the unreadable page";
  std::vector<uchar> buf(r.page_size());
  EXPECT_EQ(nand_read_logic_page(r.part, 107, buf.data()), static_cast<uint32>(-EBADMSG));
  r.chip().clear_faults();
  expect_victim_data(r, 4);
}

// The recount replaces a wrong stored count: one too low would bring the
// emptied victim back again and again (gc_all never ending), one too high
// would free it with valid pages in it. Retiring the current block recounts
// too.
TEST(GcStep, TheRecountReplacesAStoredCount) {
  for (uint16 stored : {10, 15}) {
    Rig r;
    LogCapture log;
    _phy_block_info* victim = make_victim(r, 10);  // 11 invalid
    out_phy_block_from_invalid_page_list_by_block(r.part, victim);
    victim->invalid_page_count = stored;
    put_phy_block_to_invalid_page_list(r.part, victim);
    int rounds = 0;
    while (rounds < 5 && gc_one(r.part) == 0) ++rounds;
    EXPECT_EQ(rounds, 1) << stored;
    const std::string counts = std::to_string(stored) + "]!!\n";
    EXPECT_EQ(log.count("garbage_collect_first invaild_page num error:[11] [" + counts), 1u);
    EXPECT_TRUE(has(free_list(r.part), r.no(victim)));
    expect_victim_data(r, 10);
    _phy_block_info* full = r.fill(0);
    full->invalid_page_count = 4;
    ASSERT_EQ(r.write(40, 1), 0u);
    EXPECT_EQ(log.count("part_current_used_block invaild_page num error:[1] [5]!!\n"), 1u);
    EXPECT_EQ(full->invalid_page_count, 1);
  }
}

// The standard policy's step by the head block's invalid pages (64 pages a
// block): 4 from half the pages, 8 from a quarter, 16 from an eighth, else
// the whole victim; the whole victim too at half the start threshold.
TEST(GcPolicy, StandardStepSizes) {
  for (auto [invalid, gc_page, half] : {std::tuple{40, 4, 0},
                                        {32, 4, 0},
                                        {31, 8, 0},
                                        {16, 8, 0},
                                        {15, 16, 0},
                                        {8, 16, 0},
                                        {7, 65535, 0},
                                        {40, 65535, 1}}) {
    Rig r(40, 64);
    LogCapture log;
    _phy_block_info* victim = make_victim(r, invalid - 1);
    const uint16 free = r.part->free_block_num;
    r.part->gc_strategy = {uint16(half ? 2 * free : free), uint16(free + 10), 1, 0, 0};
    ASSERT_EQ(garbage_collect(r.part), 0u);
    EXPECT_EQ(r.part->gc_strategy.gc_page, gc_page) << invalid;
    EXPECT_EQ(victim->invalid_page_count, std::min(invalid + gc_page, 64)) << invalid;
    const std::string line = "something is wrong " + std::string(half ? "2! " : "1! ") +
                             std::to_string(free) + ":" + std::to_string(invalid) + "\n";
    EXPECT_EQ(log.count(line), gc_page == 65535 ? 1u : 0u) << line;
  }
}

// The greedy policy collects only at its mark, from the head block, moving
// per call ceil(valid / room) + 1 pages plus one per block below the mark,
// at most 16; the whole victim at half the mark.
TEST(GcPolicy, GreedyStepsHoldTheMark) {
  // Stale pages of the victim, free blocks below the mark (-1: one above
  // it, 99: half the mark), pages moved.
  for (auto [stale, below, gc_page] :
       {std::tuple{31, 0, 3}, {8, 2, 10}, {2, 0, 16}, {31, -1, 0}, {31, 99, 65535}}) {
    Rig r(40, 64);
    r.part->gc_policy = NYX_GC_GREEDY;
    _phy_block_info* victim = make_victim(r, stale);
    const int free = r.part->free_block_num;
    r.part->gc_low_mark = static_cast<uint16>(below == 99 ? 2 * free : free + below);
    r.part->gc_strategy.gc_page = 0;
    ASSERT_EQ(garbage_collect(r.part), 0u);
    EXPECT_EQ(r.part->gc_strategy.gc_page, gc_page) << stale << "/" << below;
    EXPECT_EQ(victim->invalid_page_count, std::min(stale + 1 + gc_page, 64));
  }
}

// ---------------------------------------------------------------------------
// The priority reclaim queue.
// ---------------------------------------------------------------------------

// A request for the current block is dropped untouched; one to retire a
// block waits until every valid page has left it, then marks it bad.
TEST(PrioQueue, CurrentBlockIsDroppedAndRetirementWaitsForTheLastValidPage) {
  Rig r;
  LogCapture log;
  _phy_block_info* victim = make_victim(r, 12);
  add_prio_gc(r.part, r.cur(), NYX_PRIO_RETIRE);
  r.chip().reset_counters();
  EXPECT_EQ(do_prio_gc(r.part), 0u);
  EXPECT_EQ(r.part->prio_gc.gc_num, 0);
  EXPECT_EQ(log.text(), "");
  EXPECT_EQ(flash_ops(r), 0u);
  r.part->prio_gc.prio_type_now = NYX_PRIO_RETIRE;
  EXPECT_EQ(garbage_collect_first(r.part, victim, 2), 0u);
  r.part->prio_gc.prio_type_now = NYX_PRIO_FREE;
  EXPECT_TRUE(!r.chip().is_bad(r.no(victim)) && has(invalid_list(r.part), r.no(victim)));
  add_prio_gc(r.part, victim, NYX_PRIO_RETIRE);
  EXPECT_EQ(do_prio_gc(r.part), 0u);
  EXPECT_TRUE(r.chip().is_bad(r.no(victim)) && !listed(r, victim));
  expect_victim_data(r, 12);
}

}  // namespace
