// Pages left damaged by a power loss, and the states an interrupted write
// leaves, met again at the next attach: a program torn in the block being
// filled, at its first page or at its mapping page; an erase torn; an
// interrupted write-error recovery, of a data page or of a mapping page; a
// partly written block left over beside newer full blocks; a partition whose
// blocks have all been written once and that lost power between retiring a
// block and erasing the next. Also pages moved while they cannot be read:
// a page without a logical page becomes a dead page, and a read that fails
// once is tried again (by the mount, collection and a write-error recovery).
// Each case checks the data, the lists, the checker and that no page is
// programmed twice between erases.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl_check.h"
#include "support/nftl_rig.h"
#include "support/raw_flash.h"
#include "support/sim_partition.h"

namespace {

constexpr uint16 kPages = kRawFlashPages;

std::string problems(nyx_nftl_part_t* part) {
  std::string all;
  for (const std::string& line : nyx_nftl_check(part)) all += "\n  " + line;
  return all;
}

// Flash states with torn and damaged pages, built page by page.
class Torn : public RawFlashTest {
 protected:
  using RawFlashTest::program;

  // Programs a page of bytes `fill` (or `main`); returns the program's result.
  int program(uint16 block, uint16 page, uchar fill, std::vector<uchar> spare,
              std::vector<uchar> main = {}) {
    if (main.empty()) main.assign(page_size(), fill);
    return program(block, page, std::move(main), std::move(spare));
  }
  // A data page holding `lp`, its bytes all `fill`.
  void data_page(uint16 block, uint16 page, uint32 lp, uint32 count, uchar fill) {
    ASSERT_EQ(program(block, page, fill, logic_record(lp, count)), 0) << block << "/" << page;
  }
  // A data page whose program is torn: the page is damaged and reads back
  // uncorrectable until its block is erased.
  void torn_data_page(uint16 block, uint16 page, uint32 lp, uint32 count, uchar fill) {
    sim.chip().fail_program_at(abs_page(block, page));
    EXPECT_NE(program(block, page, fill, logic_record(lp, count)), 0);
    sim.chip().clear_faults();
    ASSERT_TRUE(sim.chip().is_damaged(abs_page(block, page)));
  }
  // The mapping page of a block whose data pages hold `lps`.
  void mapping_page(uint16 block, uint32 count, const std::vector<uint32>& lps, bool torn = false) {
    if (torn) sim.chip().fail_program_at(abs_page(block, kPages - 1));
    const int ret = program(block, kPages - 1, mapping_main(lps), mapping_record(count));
    sim.chip().clear_faults();
    ASSERT_EQ(ret != 0, torn);
  }
  // A full block: data page i holds lps[i] with bytes fills[i].
  void full_block(uint16 block, uint32 count, const std::vector<uint32>& lps,
                  const std::vector<uchar>& fills, bool torn_mapping = false) {
    ASSERT_EQ(lps.size(), kPages - 1u);
    for (uint16 i = 0; i + 1 < kPages; ++i) data_page(block, i, lps[i], count, fills[i]);
    mapping_page(block, count, lps, torn_mapping);
  }
  // base, base + 1, ... for the data pages of one block.
  template <typename T>
  static std::vector<T> run(T base) {
    std::vector<T> v;
    for (uint32 i = 0; i + 1 < kPages; ++i) v.push_back(static_cast<T>(base + i));
    return v;
  }
  static std::vector<uchar> fills(uchar base) { return run<uchar>(base); }

  // Whether logical page `lp` reads back successfully as bytes `fill`.
  bool reads(uint32 lp, uchar fill) {
    std::vector<uchar> buf(page_size());
    return nand_read_logic_page(sim.part, lp, buf.data()) == 0 &&
           buf == std::vector<uchar>(page_size(), fill);
  }
  uint32 write(uint32 lp, uchar fill) {
    std::vector<uchar> buf(page_size(), fill);
    return nand_write_logic_page(sim.part, lp, buf.data());
  }
  uint64_t double_programs() { return sim.chip().counters().double_programs; }
};

// ---------------------------------------------------------------------------
// The block being filled.
// ---------------------------------------------------------------------------

// Page 3 of the block being filled was torn: it holds nothing, the older
// copy of its logical page stays mapped, and the next write goes past it.
TEST_F(Torn, TornDataPageInTheCurrentBlockIsPassedOver) {
  full_block(2, 3, run<uint32>(10), fills(0x10));  // lp 10 .. 24, older copies
  data_page(5, 0, 10, 4, 0xA0);
  data_page(5, 1, 11, 4, 0xA1);
  data_page(5, 2, 12, 4, 0xA2);
  torn_data_page(5, 3, 13, 4, 0xA3);
  ASSERT_EQ(reattach(), 0);

  EXPECT_EQ(part()->part_current_used_block, blk(5));
  EXPECT_EQ(part()->current_block_used_page, 4) << "the torn page is not written again";
  EXPECT_EQ(blk(5)->invalid_page_count, 1) << "the torn page holds nothing";
  EXPECT_TRUE(reads(10, 0xA0));
  EXPECT_TRUE(reads(12, 0xA2));
  EXPECT_TRUE(reads(13, 0x13)) << "the write of page 3 never completed: the older copy";
  EXPECT_EQ(problems(part()), "");

  ASSERT_EQ(write(40, 0x40), 0u);
  EXPECT_EQ(map(40).blkNO_in_chip, 5);
  EXPECT_EQ(map(40).Page_NO, 4);
  EXPECT_EQ(double_programs(), 0u);
  ASSERT_EQ(reattach(), 0);
  EXPECT_TRUE(reads(40, 0x40));
  EXPECT_TRUE(reads(13, 0x13));
  EXPECT_EQ(problems(part()), "");
}

// A damaged page whose spare record reads erased (the torn bits fell in the
// main data only) is still a programmed page: the walk must not stop there
// and hand it to the next write.
TEST_F(Torn, DamagedPageThatReadsErasedIsNeverProgrammedAgain) {
  data_page(5, 0, 10, 4, 0xA0);
  data_page(5, 1, 11, 4, 0xA1);
  ASSERT_EQ(program(5, 2, 0x00, std::vector<uchar>(NYX_SPARE_BYTES, 0xFF)), 0);
  sim.chip().inject_read_error(abs_page(5, 2), -EBADMSG);
  ASSERT_EQ(reattach(), 0);

  EXPECT_EQ(part()->part_current_used_block, blk(5));
  EXPECT_EQ(part()->current_block_used_page, 3);
  ASSERT_EQ(write(40, 0x40), 0u);
  EXPECT_EQ(double_programs(), 0u);
  EXPECT_EQ(map(40).Page_NO, 3);
  EXPECT_TRUE(reads(40, 0x40));
  EXPECT_TRUE(reads(11, 0xA1));
  EXPECT_EQ(problems(part()), "");
}

// The first program into a freshly erased block was torn: nothing else was
// written there, so the block is free (erased before its next use).
TEST_F(Torn, TornFirstPageLeavesTheBlockFree) {
  full_block(2, 3, run<uint32>(10), fills(0x10));
  torn_data_page(5, 0, 10, 4, 0xA0);
  ASSERT_EQ(reattach(), 0);

  EXPECT_TRUE(on_free_list(5));
  EXPECT_NE(part()->part_current_used_block, blk(5));
  EXPECT_EQ(part()->current_block_used_count, 4u);
  EXPECT_TRUE(reads(10, 0x10));
  EXPECT_EQ(problems(part()), "");
  // Writing until block 5 is taken erases it first: no double program.
  for (uint32 i = 0; i < 39 * 15 && part()->part_current_used_block != blk(5); ++i) {
    ASSERT_EQ(write(100 + i % 20, 0x55), 0u);
  }
  ASSERT_EQ(write(100, 0x66), 0u);
  EXPECT_EQ(double_programs(), 0u);
  EXPECT_FALSE(sim.chip().is_damaged(abs_page(5, 0)));
}

// A read that fails once at the MTD device (a passing bit error, with the
// bits of the record it hands back flipped), then reads as usual.
struct FlakyDeviceRead {
  static inline int (*real)(mtd_info*, uint64_t, mtd_oob_ops*) = nullptr;
  static inline uint64_t address = 0;
  static inline int failures = 0;
  static int read_oob(mtd_info* mtd, uint64_t from, mtd_oob_ops* ops) {
    const int ret = real(mtd, from, ops);
    if (failures > 0 && from == address) {
      --failures;
      if (ops->oobbuf != nullptr) ops->oobbuf[0] ^= 0x41;
      return -EBADMSG;
    }
    return ret;
  }
};

// The mount reads a page again when a read fails: a passing error on page 0
// of a full block, or on its mapping page, must not cost the block its data
// (taken as free, or as a block with an unknown last page).
TEST_F(Torn, PassingReadErrorAtMountIsReadAgain) {
  full_block(3, 4, run<uint32>(20), fills(0x50));
  for (uint16 page : {uint16(0), uint16(kPages - 1)}) {
    mtd_info* mtd = sim.mtd();
    FlakyDeviceRead::real = mtd->read_oob;
    FlakyDeviceRead::address = abs_page(3, page) * page_size();
    FlakyDeviceRead::failures = 1;
    mtd->read_oob = FlakyDeviceRead::read_oob;
    const int ret = reattach();
    mtd->read_oob = FlakyDeviceRead::real;
    ASSERT_EQ(ret, 0);
    EXPECT_EQ(FlakyDeviceRead::failures, 0) << "page " << page << " was read";
    EXPECT_TRUE(on_invalid_list(3)) << "page " << page;
    EXPECT_TRUE(reads(20, 0x50)) << "page " << page;
    EXPECT_TRUE(reads(34, 0x5E)) << "page " << page;
    EXPECT_EQ(problems(part()), "");
  }
}

// The end mark ends the scan even when its page reads back damaged: the
// blocks past it belong to no one here, and must not be taken as free.
TEST_F(Torn, DamagedEndMarkStillEndsTheScan) {
  std::vector<uchar> spare(NYX_SPARE_BYTES, 0xFF);
  spare[0] = 0xAA;
  spare[1] = 0xCC;
  ASSERT_EQ(program(25, 0, 0x00, spare), 0);
  sim.chip().inject_read_error(abs_page(25, 0), -EBADMSG);
  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(part()->blocks, 24);
  EXPECT_EQ(part()->part_end_phy_block, blk(25));
  EXPECT_FALSE(on_free_list(25));
  EXPECT_FALSE(on_free_list(30));
}

// ---------------------------------------------------------------------------
// A torn erase.
// ---------------------------------------------------------------------------

// Block 8, an older partly written block, was being erased when the power
// went, and every page of it reads damaged. Taken for the older half of an
// interrupted recovery (its number is one below the block being filled,
// which holds fewer pages), it would have the block being filled erased and
// overwritten. It is free instead, and the block being filled keeps its data.
TEST_F(Torn, TornEraseIsNoInterruptedRecovery) {
  for (uint16 i = 0; i < 6; ++i) data_page(8, i, 30 + i, 4, static_cast<uchar>(0x30 + i));
  for (uint16 i = 0; i < kPages; ++i) sim.chip().inject_read_error(abs_page(8, i), -EBADMSG);
  data_page(5, 0, 10, 5, 0xA0);
  data_page(5, 1, 11, 5, 0xA1);
  ASSERT_EQ(reattach(), 0);

  EXPECT_EQ(part()->part_current_used_block, blk(5));
  EXPECT_EQ(part()->current_block_used_page, 2);
  EXPECT_TRUE(reads(10, 0xA0) && reads(11, 0xA1));
  EXPECT_TRUE(on_free_list(8));
  EXPECT_FALSE(sim.chip().is_bad(5) || sim.chip().is_bad(8));
  EXPECT_EQ(problems(part()), "");
}

// The same with the chip's own torn erase (a random part of the block
// erased, every page damaged).
TEST_F(Torn, RealTornEraseLeavesAFreeBlock) {
  for (uint16 i = 0; i < 6; ++i) data_page(8, i, 30 + i, 4, static_cast<uchar>(0x30 + i));
  sim.chip().power_cut_after(0, nandsim::CutKind::TornErase);
  EXPECT_NE(sim.chip().erase_block(8), 0);
  sim.chip().power_on();
  data_page(5, 0, 10, 5, 0xA0);
  ASSERT_EQ(reattach(), 0);

  EXPECT_EQ(part()->part_current_used_block, blk(5));
  EXPECT_TRUE(reads(10, 0xA0));
  EXPECT_TRUE(on_free_list(8));
  EXPECT_EQ(problems(part()), "");
}

// ---------------------------------------------------------------------------
// A torn mapping page.
// ---------------------------------------------------------------------------

// Block 3 was retired when the power went during its mapping page. Its data
// pages are sound: their spare records give the reverse map, the newer copy
// of lp 20 (page 7) wins over the older one (page 0) and over block 2's, and
// the valid pages are written again into the block being filled, so that
// block 3 can go to the free list (collection could never take a block
// without a mapping page).
TEST_F(Torn, TornMappingPageIsSalvaged) {
  full_block(2, 3, run<uint32>(20), fills(0x10));  // lp 20 .. 34, older copies
  std::vector<uint32> lps = run<uint32>(20);
  lps[7] = 20;  // page 7: a newer copy of lp 20 (lp 27 stays in block 2)
  full_block(3, 4, lps, fills(0x50), /*torn_mapping=*/true);
  ASSERT_EQ(reattach(), 0);

  EXPECT_TRUE(reads(20, 0x57)) << "the newer copy, page 7 of block 3";
  EXPECT_TRUE(reads(21, 0x51));
  EXPECT_TRUE(reads(27, 0x17)) << "block 2's copy: block 3 does not hold lp 27";
  EXPECT_TRUE(reads(34, 0x5E));
  _phy_block_info* current = part()->part_current_used_block;
  ASSERT_NE(current, nullptr);
  EXPECT_NE(current, blk(3));
  EXPECT_EQ(map(21).blkNO_in_chip, current->phy_block.blkNO_in_chip);
  EXPECT_EQ(current->block_used_count, 5);
  EXPECT_TRUE(on_free_list(3));
  EXPECT_FALSE(on_invalid_list(3));
  EXPECT_EQ(problems(part()), "");

  ASSERT_EQ(reattach(), 0);
  EXPECT_TRUE(reads(20, 0x57) && reads(27, 0x17) && reads(34, 0x5E));
  EXPECT_EQ(problems(part()), "");
}

// The write of block 3's mapping page failed and the recovery had copied
// block 3's first two pages into block 6 when the power went. Block 6 is not
// the block being filled as it stands: its copy of lp 20 (page 0) is older
// than block 3's page 7. The recovery is replayed: block 6 gets all of block
// 3's data pages, and block 3 is retired.
TEST_F(Torn, InterruptedRecoveryOfAMappingPageIsReplayed) {
  std::vector<uint32> lps = run<uint32>(20);
  lps[7] = 20;
  full_block(3, 4, lps, fills(0x50), /*torn_mapping=*/true);
  data_page(6, 0, 20, 5, 0x50);
  data_page(6, 1, 21, 5, 0x51);
  ASSERT_EQ(reattach(), 0);

  EXPECT_EQ(part()->part_current_used_block, blk(6));
  EXPECT_EQ(part()->current_block_used_page, kPages - 1) << "only the mapping page is left";
  EXPECT_EQ(part()->current_block_used_count, 5u);
  EXPECT_TRUE(sim.chip().is_bad(3));
  EXPECT_EQ(map(20).blkNO_in_chip, 6);
  EXPECT_EQ(map(20).Page_NO, 7);
  EXPECT_TRUE(reads(20, 0x57));
  EXPECT_TRUE(reads(34, 0x5E));
  EXPECT_EQ(problems(part()), "");

  ASSERT_EQ(write(50, 0x77), 0u);  // retires block 6 with its mapping page
  EXPECT_TRUE(on_invalid_list(6));
  ASSERT_EQ(reattach(), 0);
  EXPECT_TRUE(reads(20, 0x57));
  EXPECT_TRUE(reads(50, 0x77));
  EXPECT_EQ(double_programs(), 0u);
  EXPECT_EQ(problems(part()), "");
}

// ---------------------------------------------------------------------------
// Partly written blocks.
// ---------------------------------------------------------------------------

// A partly written block older than a full block cannot be the block being
// filled: every block taken for writing is newer than all others. Taken for
// it, its copy of lp 7 would win over the full block's newer one. It is
// salvaged instead: its pages that are still the newest are written again.
TEST_F(Torn, PartlyWrittenBlockOlderThanAFullBlockIsNotTheCurrentBlock) {
  std::vector<uint32> lps = run<uint32>(30);
  lps[1] = 7;
  full_block(3, 9, lps, fills(0x30));
  data_page(5, 0, 7, 2, 0xA0);
  data_page(5, 1, 50, 2, 0xA1);
  data_page(5, 2, 51, 2, 0xA2);
  ASSERT_EQ(reattach(), 0);

  EXPECT_NE(part()->part_current_used_block, blk(5));
  EXPECT_EQ(part()->current_block_used_count, 10u);
  EXPECT_EQ(map(7).blkNO_in_chip, 3);
  EXPECT_TRUE(on_free_list(5));
  for (int restart = 0; restart < 2; ++restart) {
    EXPECT_TRUE(reads(7, 0x31) && reads(50, 0xA1) && reads(51, 0xA2));
    EXPECT_EQ(problems(part()), "");
    ASSERT_EQ(reattach(), 0);
  }
}

// The replay of an interrupted recovery copies every page before the failed
// one, at its own page number: a page the scan could not read becomes a dead
// page (the copy neither stops there, dropping the pages after it, nor
// carries its torn record over as a logical page).
TEST_F(Torn, ReplayCopiesPagesPastAnUnreadablePage) {
  data_page(5, 0, 10, 4, 0xA0);
  data_page(5, 1, 11, 4, 0xA1);
  torn_data_page(5, 2, 12, 4, 0xA2);  // torn at an earlier power loss, passed over since
  data_page(5, 3, 13, 4, 0xA3);
  torn_data_page(5, 4, 14, 4, 0xA4);  // the failed write
  data_page(6, 0, 10, 5, 0xA0);       // the recovery, cut short
  ASSERT_EQ(reattach(), 0);

  EXPECT_EQ(part()->part_current_used_block, blk(6));
  EXPECT_EQ(part()->current_block_used_page, 4);
  EXPECT_TRUE(sim.chip().is_bad(5));
  EXPECT_TRUE(reads(10, 0xA0) && reads(11, 0xA1) && reads(13, 0xA3));
  EXPECT_EQ(map(13).blkNO_in_chip, 6);
  EXPECT_EQ(map(13).Page_NO, 3);
  EXPECT_EQ(map(12).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
  EXPECT_EQ(map(14).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
  EXPECT_EQ(get_special_data_from_oob(raw_spare(6, 2)), NYX_TAG_DEAD_PAGE);
  EXPECT_EQ(problems(part()), "");

  ASSERT_EQ(reattach(), 0);
  EXPECT_EQ(part()->current_block_used_page, 4);
  EXPECT_TRUE(reads(13, 0xA3));
  EXPECT_EQ(map(12).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
  EXPECT_EQ(problems(part()), "");
}

// ---------------------------------------------------------------------------
// A partition whose blocks have all been written.
// ---------------------------------------------------------------------------

// Once every block has been written, the free blocks are fully invalid full
// blocks, not erased. The power went after a block was retired and before
// the next was erased, so no block is partly written: the mount must still
// find a free block for writing (they are told apart from full blocks only
// once every block's invalid pages are counted).
TEST(TornCycled, AllBlocksWrittenAndNoBlockBeingFilled) {
  LogCapture quiet;
  NftlRig r;
  uint32 version = 1;
  for (uint32 round = 0; round < 6; ++round, ++version) {
    for (uint32 lp = 0; lp < 128; ++lp) ASSERT_EQ(r.write(lp, version), 0u);
  }
  for (uint32 b = 1; b < 40; ++b) ASSERT_GT(r.sim.chip().block_counters(b).erases, 0u) << b;
  // Up to the last data page of the block being filled, then the power goes
  // at the erase that follows the retirement.
  uint32 lp = 0;
  while (r.part->current_block_used_page != r.P() - 1) ASSERT_EQ(r.write(lp++, version), 0u);
  r.sim.chip().power_cut_after(1, nandsim::CutKind::Clean);
  EXPECT_NE(r.write(lp, version), 0u);
  r.sim.chip().power_on();

  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  ASSERT_NE(r.part->part_current_used_block, nullptr);
  EXPECT_EQ(problems(r.part), "");
  for (uint32 i = 0; i < 128; ++i) EXPECT_TRUE(r.holds(i, i < lp ? version : version - 1)) << i;
  ASSERT_EQ(r.write(lp, version), 0u);
  EXPECT_TRUE(r.holds(lp, version));
}

// ---------------------------------------------------------------------------
// Pages moved when they cannot be read.
// ---------------------------------------------------------------------------

// A write-error recovery moves a page that holds no logical page (torn at an
// earlier power loss) as a dead page: the record it reads back is torn, and
// copied as it is, it could name a logical page with a sound page.
TEST(TornMove, PageWithoutLogicalPageIsMovedAsADeadPage) {
  LogCapture quiet;
  NftlRig r;
  ASSERT_EQ(r.write(0, 1), 0u);
  ASSERT_EQ(r.write(1, 1), 0u);
  const uint16 block = r.no(r.cur());
  r.sim.chip().power_cut_after(0, nandsim::CutKind::TornProgram);
  EXPECT_NE(r.write(2, 1), 0u);
  r.sim.chip().power_on();
  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  ASSERT_EQ(r.no(r.cur()), block);
  ASSERT_EQ(r.part->current_block_used_page, 3);
  ASSERT_EQ(r.write(3, 1), 0u);

  r.sim.chip().fail_nth_program(1);
  ASSERT_EQ(r.write(4, 1), 0u);
  const uint16 fresh = r.no(r.cur());
  ASSERT_NE(fresh, block);
  EXPECT_EQ(get_special_data_from_oob(r.raw_spare(fresh, 2)), NYX_TAG_DEAD_PAGE);
  EXPECT_EQ(problems(r.part), "");

  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  for (uint32 lp : {0u, 1u, 3u, 4u}) EXPECT_TRUE(r.holds(lp, 1)) << lp;
  EXPECT_EQ(r.map(2).blkNO_in_chip, NYX_UNMAPPED_BLOCK);
  EXPECT_EQ(r.part->current_block_used_page, 5);
  EXPECT_EQ(problems(r.part), "");
  EXPECT_EQ(r.sim.chip().counters().double_programs, 0u);
}

// A read that fails once and then succeeds, as a passing bit error does: the
// partition's page read fails (with flipped bits) the first `failures` reads
// of one page.
struct FlakyPage {
  static inline uint16 block = 0;
  static inline uint16 page = 0;
  static inline int failures = 0;
  static int read(nyx_nftl_part_t* part, _physic_op_par* p) {
    const int ret = nand_read_page(part, p);
    if (failures > 0 && p->phy_page.blkNO_in_chip == block && p->phy_page.Page_NO == page) {
      --failures;
      if (p->main_data_addr != nullptr) p->main_data_addr[5] ^= 0x10;
      return -EBADMSG;
    }
    return ret;
  }
};

// Collection tries the read again: the page moves with its own data, and the
// victim goes back to circulation instead of being left out of every list.
TEST(TornMove, CollectionReadsAFailedPageAgain) {
  LogCapture quiet;
  NftlRig r;
  _phy_block_info* victim = r.fill_current_block(100);
  r.write_no_gc(1, 1);  // retires the victim
  for (uint32 i = 0; i < 10; ++i) r.write_no_gc(100 + i, 2);
  FlakyPage::block = r.no(victim);
  FlakyPage::page = 12;
  FlakyPage::failures = 1;
  r.part->nand_read_page = FlakyPage::read;
  EXPECT_EQ(garbage_collect_first(r.part, victim, 65535), 0u);
  EXPECT_EQ(FlakyPage::failures, 0);
  EXPECT_TRUE(r.on_free_list(victim));
  EXPECT_TRUE(r.holds(112, 1));
  EXPECT_EQ(problems(r.part), "");
}

// A write-error recovery tries the read again: the moved page carries its own
// data, not the flipped bits of the failed read.
TEST(TornMove, RecoveryReadsAFailedPageAgain) {
  LogCapture quiet;
  NftlRig r;
  for (uint32 lp = 0; lp < 4; ++lp) ASSERT_EQ(r.write(lp, 1), 0u);
  FlakyPage::block = r.no(r.cur());
  FlakyPage::page = 2;
  FlakyPage::failures = 1;
  r.part->nand_read_page = FlakyPage::read;
  r.sim.chip().fail_nth_program(1);
  ASSERT_EQ(r.write(4, 1), 0u);
  EXPECT_NE(r.no(r.cur()), FlakyPage::block);
  EXPECT_EQ(FlakyPage::failures, 0);
  r.part->nand_read_page = nand_read_page;
  ASSERT_EQ(r.sim.reattach(), 0);
  r.part = r.sim.part;
  for (uint32 lp = 0; lp < 5; ++lp) EXPECT_TRUE(r.holds(lp, 1)) << lp;
}

}  // namespace
