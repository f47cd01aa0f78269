// The format and the mount scan: the thresholds and refusals by spare
// blocks, and flash states the nets do not build, laid out page by page on a
// freshly formatted chip of 40 blocks of 16 pages (block 0 head-marked),
// then attached again: marks, odd records, partly written blocks, the
// replay of an interrupted write-error recovery, torn and damaged pages.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>

#include "support/rig.h"

namespace {

// Collection thresholds from the spare blocks (the reserve leaves R - 1 of
// them after the head mark); fewer than 15, or no more blocks than logical
// ones, leave the partition without a current block, refusing writes
// untouched while unwritten pages still read erased.
TEST(MountThresholds, FollowTheSpareBlocks) {
  struct Row {
    uint32 blocks, page_size, bad;
    uint16 start, stop;  // 0: refused
    const char* line;
  };
  for (const Row& r :
       {Row{30, 2048, 0, 0, 0, "this part not enough free block 29 , 15!!\n"},
        Row{40, 2048, 32, 0, 0, "this part not enough data block!!\n"},
        Row{32, 2048, 0, 8, 10, "second 31,16\n"}, Row{648, 512, 0, 10, 53, "second 647,567\n"},
        Row{1608, 512, 0, 25, 133, "second 1607,1407\n"}}) {
    SCOPED_TRACE(r.blocks);
    nandsim::Options options = small_chip(r.blocks, 16, r.page_size);
    for (uint32 b = 1; b <= r.bad; ++b) options.factory_bad_blocks.push_back(b);
    Rig rig(options, "NFTL_Part", false);
    LogCapture log;
    ASSERT_EQ(rig.attach(), 0) << "the scan's outcome does not stop bring-up";
    EXPECT_EQ(log.count(r.line), 1u);
    EXPECT_EQ(log.count("nftl ok!\n"), r.start ? 1u : 0u);
    if (r.start != 0) {
      EXPECT_EQ(rig.part->gc_strategy.start_gc_free_blocks, r.start);
      EXPECT_EQ(rig.part->gc_strategy.stop_gc_free_blocks, r.stop);
      EXPECT_EQ(rig.part->gc_low_mark, 6);
      continue;
    }
    EXPECT_EQ(rig.cur(), nullptr);
    const auto before = rig.chip().counters();
    EXPECT_EQ(rig.write(0, 1), 1u);
    EXPECT_EQ(rig.chip().counters().programs + rig.chip().counters().erases,
              before.programs + before.erases);
    EXPECT_TRUE(rig.holds(0, 0));
  }
}

struct FlashState {
  const char* name;
  std::function<void(Rig&)> build;
  std::function<void(Rig&, LogCapture&)> check;
  const char* report = "";  // what the checker says of the state
};
void PrintTo(const FlashState& state, std::ostream* os) { *os << state.name; }

class Mount : public ::testing::TestWithParam<FlashState> {};

TEST_P(Mount, AttachesAsExpected) {
  Rig r;
  r.chip().reset_counters();
  GetParam().build(r);
  LogCapture log;
  r.detach();
  ASSERT_EQ(r.attach(), 0);
  GetParam().check(r, log);
  EXPECT_EQ(r.problems(), GetParam().report);
  EXPECT_EQ(r.chip().counters().double_programs, 0u);
}

void end_mark(Rig& r, uint16 block, bool damaged) {
  std::vector<uchar> spare(NYX_SPARE_BYTES, 0xFF);
  set_oob_mark(spare.data(), NYX_TAG_END_MARK);
  r.program(block, 0, std::vector<uchar>(r.page_size()), spare);
  if (damaged) r.chip().inject_read_error(r.abs(block, 0), -EBADMSG);
}

// The blocks past an end mark are not the partition's, also when the mark's
// page reads back damaged.
void check_end_mark(Rig& r, LogCapture&) {
  EXPECT_EQ(r.part->blocks, 24);
  EXPECT_EQ(r.part->part_end_phy_block, r.blk(25));
  EXPECT_EQ(r.blk(25)->info, NYX_BLOCK_UNSCANNED);
  EXPECT_EQ(r.cur(), r.blk(24));
  EXPECT_FALSE(has(free_list(r.part), 30));
}

// Block 5 (sequence 4) was being filled when the write of its page 4 failed;
// the recovery into block 6 (sequence 5) had copied pages 0 and 1 when the
// power went. A full block (3) applied before them leaves its own reverse
// map, entry 1 marked as none: the replay copies block 5's pages all the same.
void interrupted_recovery(Rig& r) {
  std::vector<uint32> reverse = r.run(40);
  reverse[1] = NYX_NO_LOGIC_PAGE;
  r.full_block(3, 2, r.run(40), false, reverse);
  for (uint16 i = 0; i < 5; ++i) r.data_page(5, i, 10 + i, 4, 4);
  for (uint16 i = 0; i < 2; ++i) r.data_page(6, i, 10 + i, 5, 4);
}

const FlashState kStates[] = {
    // The fresh format: a later scan erases and programs nothing.
    {"Fresh", [](Rig&) {},
     [](Rig& r, LogCapture& log) {
       for (uint16 page = 0; page < 16; ++page)
         EXPECT_TRUE(oob_is_head_mark(r.raw_spare(0, page).data()));
       EXPECT_EQ(r.part->part_start_phy_block, r.blk(1));
       EXPECT_EQ(r.part->blocks, 39);
       EXPECT_EQ(r.cur(), r.blk(39));
       EXPECT_EQ(r.part->current_block_used_count, 0u);
       EXPECT_EQ(r.part->free_block_num, 38);
       EXPECT_EQ(r.chip().counters().erases + r.chip().counters().programs, 0u);
       EXPECT_EQ(log.lines(), (std::vector<std::string>{"nftl start40,32\n", "first\n",
                                                        "second 39,8\n", "nftl ok!\n"}));
     }},
    {"EndMark", [](Rig& r) { end_mark(r, 25, false); }, check_end_mark},
    {"DamagedEndMark", [](Rig& r) { end_mark(r, 25, true); }, check_end_mark},
    // Reverse-map entries that name no page of the partition hold nothing:
    // invalid pages of their own block, as the write path counts them.
    {"EntriesBeyondTheMap",
     [](Rig& r) {
       std::vector<uint32> reverse = r.run(70);
       reverse[0] = 128;  // the first page past the map
       reverse[1] = 0x0FFFFFFF;
       reverse[2] = NYX_NO_LOGIC_PAGE;
       reverse[3] = 0x7FFFFFFF;
       r.full_block(3, 5, r.run(70), false, reverse);
       r.data_page(5, 0, 131, 6, 6);
       r.data_page(5, 1, 75, 6, 6);
     },
     [](Rig& r, LogCapture&) {
       EXPECT_TRUE(r.holds(70, 0) && r.holds(74, 5) && r.holds(75, 6));
       EXPECT_EQ(r.blk(3)->invalid_page_count, 6);
       EXPECT_EQ(r.blk(5)->invalid_page_count, 1);
     }},
    // No two of them are an interrupted recovery: the newest is the current
    // block, the others salvaged (their pages written again) and freed. The
    // first of those writes leaves the current block: its page moves to a
    // fresh block numbered two above it, and it is erased and freed too.
    {"ThreePartlyWrittenBlocks",
     [](Rig& r) {
       for (uint16 i = 0; i < 2; ++i) r.data_page(5, i, 1 + i, 3, 3);
       r.data_page(6, 0, 3, 4, 4);
       r.data_page(7, 0, 4, 5, 5);
     },
     [](Rig& r, LogCapture& log) {
       EXPECT_EQ(log.count("muti current used block\n"), 1u);
       EXPECT_EQ(log.count("leave_found_block: 1 pages from block 7 to block " +
                           std::to_string(r.no(r.cur())) + "\n"),
                 1u);
       EXPECT_EQ(r.cur()->block_used_count, 7);
       EXPECT_EQ(r.part->current_block_used_page, 4);
       for (uint32 lp = 1; lp <= 4; ++lp)
         EXPECT_TRUE(r.maps_to(lp, r.no(r.cur()), lp % 4) && r.holds(lp, lp < 3 ? 3 : lp + 1));
       for (int b : {5, 6, 7}) EXPECT_TRUE(has(free_list(r.part), b)) << b;
     }},
    // The replay copies the older block's written pages but the failed one
    // into the newer block and retires the older on the flash.
    {"InterruptedRecovery", interrupted_recovery,
     [](Rig& r, LogCapture&) {
       EXPECT_EQ(r.cur(), r.blk(6));
       EXPECT_EQ(r.part->current_block_used_count, 5u);
       EXPECT_EQ(r.part->current_block_used_page, 4);
       for (uint32 i = 0; i < 4; ++i) EXPECT_TRUE(r.maps_to(10 + i, 6, i) && r.holds(10 + i, 4));
       EXPECT_TRUE(r.holds(14, 0));
       EXPECT_EQ(get_block_used_count_from_oob(r.raw_spare(6, 3).data()), 5u);
       EXPECT_TRUE(r.chip().is_bad(5));
       EXPECT_EQ(r.reattach(), 0);
       EXPECT_EQ(r.part->bad_block, 1);
       EXPECT_TRUE(r.maps_to(13, 6, 3));
     }},
    // When the newer block cannot be erased, it is retired and the older
    // block goes on as the current block.
    {"InterruptedRecoveryFailedErase",
     [](Rig& r) {
       interrupted_recovery(r);
       r.chip().fail_erase_at(6);
     },
     [](Rig& r, LogCapture& log) {
       r.chip().clear_faults();
       EXPECT_EQ(log.count("do_write_error_in_create_list erase error!\n"), 1u);
       EXPECT_EQ(r.cur(), r.blk(5));
       EXPECT_EQ(r.part->current_block_used_page, 5);
       EXPECT_TRUE(r.chip().is_bad(6) && r.holds(10, 4));
     }},
    // Pages the scan could not read (torn at an earlier power loss, passed
    // over since) are copied as dead pages, and the copy goes on past them.
    {"ReplayPastUnreadablePages",
     [](Rig& r) {
       for (uint16 i = 0; i < 5; ++i) r.data_page(5, i, 10 + i, 4, 4, i == 2 || i == 4);
       r.data_page(6, 0, 10, 5, 4);
     },
     [](Rig& r, LogCapture&) {
       EXPECT_EQ(r.cur(), r.blk(6));
       EXPECT_EQ(r.part->current_block_used_page, 4);
       EXPECT_TRUE(r.holds(10, 4) && r.holds(11, 4) && r.holds(12, 0) && r.maps_to(13, 6, 3));
       EXPECT_EQ(get_special_data_from_oob(r.raw_spare(6, 2).data()), NYX_TAG_DEAD_PAGE);
     }},
    // A current block taken from the free list is newer than every block.
    {"FreshCurrentBlock",
     [](Rig& r) {
       r.full_block(2, 7, r.run(0));
       r.full_block(3, 4, r.run(20));
     },
     [](Rig& r, LogCapture&) {
       EXPECT_EQ(r.cur(), r.blk(39));
       EXPECT_EQ(r.part->current_block_used_count, 8u) << "one above the newest data block";
     }},
    // A partly written block older than a full block is a leftover, not the
    // current block (its copy of lp 7 would win over the full block's).
    {"PartlyWrittenBlockOlderThanAFullBlock",
     [](Rig& r) {
       std::vector<uint32> lps = r.run(30);
       lps[1] = 7;
       r.full_block(3, 9, lps);
       r.data_page(5, 0, 7, 8, 8);
       r.data_page(5, 1, 50, 8, 8);
     },
     [](Rig& r, LogCapture&) {
       EXPECT_NE(r.cur(), r.blk(5));
       EXPECT_EQ(r.part->current_block_used_count, 10u);
       EXPECT_TRUE(r.holds(7, 9) && r.holds(50, 8));
       EXPECT_TRUE(has(free_list(r.part), 5));
     }},
    // A damaged page whose record reads erased was programmed all the same:
    // the walk goes past it. Nothing more is programmed into a block found
    // partly written: the first write (not the attach) moves its valid page
    // to a fresh block numbered two above it and erases and frees it; with
    // no free block for that the write is refused, nothing programmed.
    {"DamagedPageThatReadsErased",
     [](Rig& r) {
       r.data_page(5, 0, 10, 4, 4);
       r.data_page(5, 1, 11, 4, 4, true);
       r.program(5, 2, std::vector<uchar>(r.page_size()), std::vector<uchar>(16, 0xFF));
       r.chip().inject_read_error(r.abs(5, 2), -EBADMSG);
     },
     [](Rig& r, LogCapture&) {
       EXPECT_EQ(r.cur(), r.blk(5));
       EXPECT_EQ(r.part->current_block_used_page, 3);
       EXPECT_EQ(r.blk(5)->invalid_page_count, 2) << "the two damaged pages hold nothing";
       EXPECT_EQ(r.chip().counters().programs + r.chip().counters().erases, 3u) << "attach wrote";
       r.chip().reset_counters();
       std::vector<_phy_block_info*> taken;
       while (_phy_block_info* b = out_phy_block_from_free_list(r.part)) taken.push_back(b);
       EXPECT_EQ(r.write(40, 1), 1u);
       EXPECT_EQ(r.chip().counters().programs + r.chip().counters().erases, 0u);
       for (_phy_block_info* b : taken) put_phy_block_to_free_list(r.part, b);
       EXPECT_EQ(r.write(40, 1), 0u);
       EXPECT_EQ(r.chip().counters().programs, 2u);
       EXPECT_EQ(r.chip().counters().erases, 2u);
       EXPECT_EQ(r.cur()->block_used_count, 6);
       EXPECT_TRUE(r.maps_to(10, r.no(r.cur()), 0) && r.maps_to(40, r.no(r.cur()), 1));
       EXPECT_TRUE(has(free_list(r.part), 5) && r.holds(10, 4) && r.holds(11, 0));
     }},
};

INSTANTIATE_TEST_SUITE_P(States, Mount, ::testing::ValuesIn(kStates),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
