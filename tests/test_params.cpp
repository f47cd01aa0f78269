// Partition parameters and bring-up: part_param_init's initial values and
// its allocation failures, the head-mark probe, and nyx_nftl_part_attach's
// geometry checks, reserve rule, chip record, block table and clean-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "support/sim_partition.h"

namespace {

// A partition record over a simulated chip's MTD device, with the chip
// record and block table that bring-up would build, but no parameters yet.
class RawRecord {
 public:
  explicit RawRecord(mtd_info* mtd) {
    uint32 blocks = static_cast<uint32>(mtd->size / mtd->erasesize);
    chip.bytes_per_page = static_cast<uint16>(mtd->writesize);
    chip.bytes_user_date = static_cast<uchar>(mtd->oobavail);
    chip.blk_per_chip = static_cast<uint16>(blocks);
    chip.pages_per_blk = static_cast<uint16>(mtd->erasesize / mtd->writesize);
    chip.sector_per_page = static_cast<uchar>(mtd->writesize / 512);
    chip.bitmap_per_page = chip.sector_per_page;
    chip.max_erase_times = 3000;
    table.resize(blocks + 1);
    for (uint32 i = 0; i <= blocks; ++i) {
      table[i] = _phy_block_info{};
      if (i < blocks) {
        table[i].info = 0xFFFF;
        table[i].erase_count = 0xFFFF;
        table[i].block_used_count = -1;
      }
      table[i].phy_block.blkNO_in_chip = static_cast<uint16>(i);
    }
    chip.nand_block_info = table.data();
    part.mtd = mtd;
    part.nand_chip = &chip;
  }
  ~RawRecord() { part_param_exit(&part); }

  uint32 sectors_per_block() const { return uint32(chip.pages_per_blk) * chip.sector_per_page; }

  nand_chip_t chip{};
  nyx_nftl_part_t part{};
  std::vector<_phy_block_info> table;
};

// Programs page 0 of `block` with a spare record whose first two bytes are
// `b0`, `b1` and whose other bytes are 0xFF.
void write_mark(SimPartition& sim, uint32 block, uchar b0, uchar b1) {
  const nandsim::Geometry& g = sim.chip().geometry();
  std::vector<uint8_t> data(g.page_size, 0);
  std::vector<uint8_t> oob(g.oob_size, 0xFF);
  oob[g.spare_offset] = b0;
  oob[g.spare_offset + 1] = b1;
  ASSERT_EQ(sim.chip().program_page(uint64_t(block) * g.pages_per_block, data.data(), oob.data()), 0);
}

nandsim::Options with_bad_blocks(nandsim::Options options, std::vector<uint32_t> bad) {
  options.factory_bad_blocks = std::move(bad);
  return options;
}

// ---------------------------------------------------------------------------
// part_param_init / part_param_exit.
// ---------------------------------------------------------------------------
TEST(PartParamInit, SetsEveryInitialValue) {
  SimPartition sim(small_chip(40, 16));
  RawRecord raw(sim.mtd());
  nyx_nftl_part_t& part = raw.part;
  part.free_block_num = 32;
  part.blocks = 5;
  part.bad_block = 2;
  part.total_reads = 9;
  part.total_write = 9;
  part.s_wl.s_wl_status = 1;
  part.free_head.free_next = &raw.table[3];
  part.invalid_page_head.invalid_page_prev = &raw.table[3];
  part.block_used_head.block_used_next = &raw.table[3];
  part.prio_gc.prio_gc_node[4].prio_type = 2;

  uint32 logic = raw.sectors_per_block() * 8;
  ASSERT_EQ(part_param_init(&part, 0, logic, raw.sectors_per_block() * 32), 0);

  EXPECT_NE(part.temp_page_buf, nullptr);
  EXPECT_EQ(part.part_start_blk_NO.blkNO_in_chip, 0);
  EXPECT_EQ(part.logic_cap_in_sects, logic);
  EXPECT_EQ(part.backup_cap_in_sects, raw.sectors_per_block() * 32);
  EXPECT_EQ(part.blocks, 0);
  EXPECT_EQ(part.bad_block, 0);
  EXPECT_EQ(part.free_block_num, 0);
  EXPECT_EQ(part.part_start_phy_block, &raw.table[0]);
  EXPECT_EQ(part.part_end_phy_block, nullptr);

  const uchar* map = reinterpret_cast<const uchar*>(part.part_logic_page_map);
  uint32 pages = logic / 4;
  for (size_t i = 0; i < pages * sizeof(_nand_page); ++i) ASSERT_EQ(map[i], 0xFF) << i;
  const uchar* reverse = reinterpret_cast<const uchar*>(part.part_phy_page_map);
  for (size_t i = 0; i < sizeof(_phy_page_mapping); ++i) ASSERT_EQ(reverse[i], 0xFF) << i;
  const uchar* for_gc = reinterpret_cast<const uchar*>(part.part_phy_page_map_for_gc);
  for (size_t i = 0; i < sizeof(_phy_page_mapping); ++i) ASSERT_EQ(for_gc[i], 0) << i;

  EXPECT_EQ(part.total_reads, 0u);
  EXPECT_EQ(part.total_write, 0u);
  EXPECT_EQ(part.s_wl.erase_threshold, 1500);
  EXPECT_EQ(part.s_wl.erase_span, 187);
  EXPECT_EQ(part.s_wl.s_wl_status, 0);
  EXPECT_EQ(part.part_current_used_block, nullptr);
  for (const _phy_block_info* head : {&part.free_head, &part.invalid_page_head, &part.block_used_head}) {
    EXPECT_EQ(head->free_next, nullptr);
    EXPECT_EQ(head->invalid_page_next, nullptr);
    EXPECT_EQ(head->invalid_page_prev, nullptr);
    EXPECT_EQ(head->block_used_next, nullptr);
    EXPECT_EQ(head->block_used_prev, nullptr);
  }
  EXPECT_EQ(part.current_block_used_page, 0xFFFF);
  EXPECT_EQ(part.current_block_used_count, 0xFFFFFFFFu);

  EXPECT_EQ(part.prio_gc.gc_num, 0);
  EXPECT_EQ(part.prio_gc.prio_type_now, 0);
  for (int i = 0; i < NYX_PRIO_GC_NODES; ++i) {
    const _prio_gc_node& node = part.prio_gc.prio_gc_node[i];
    EXPECT_EQ(node.gc_no, i);
    EXPECT_EQ(node.prio_type, 0);
    EXPECT_EQ(node.phy_block_info, nullptr);
    EXPECT_EQ(node.prio_gc_next, nullptr);
    EXPECT_EQ(node.prio_gc_prev, nullptr);
  }
  EXPECT_EQ(part.prio_gc.prio_gc_head.gc_no, 255);
  EXPECT_EQ(part.prio_gc.prio_gc_head.prio_type, 0);
  EXPECT_EQ(part.prio_gc.prio_gc_head.prio_gc_next, nullptr);

  EXPECT_EQ(part.nand_erase_superblk, &nand_erase_superblk);
  EXPECT_EQ(part.nand_read_page, &nand_read_page);
  EXPECT_EQ(part.nand_write_page, &nand_write_page);
  EXPECT_EQ(part.nand_copy_page, &nand_copy_page);
  EXPECT_EQ(part.nand_is_blk_good, &nand_is_blk_good);
  EXPECT_EQ(part.nand_mark_bad_blk, &nand_mark_bad_blk);
  EXPECT_EQ(part.nand_write_logic_page, &nand_write_logic_page);
  EXPECT_EQ(part.nand_read_logic_page, &nand_read_logic_page);
}

TEST(PartParamInit, StartBlockNamesItsTableEntry) {
  SimPartition sim(small_chip(40, 16));
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 7, 0, 0), 0);
  EXPECT_EQ(raw.part.part_start_blk_NO.blkNO_in_chip, 7);
  EXPECT_EQ(raw.part.part_start_phy_block, &raw.table[7]);
}

TEST(PartParamInit, EachAllocationFailureGivesMinus12) {
  SimPartition sim(small_chip(40, 16));
  for (unsigned n = 1; n <= 4; ++n) {
    RawRecord raw(sim.mtd());
    kalloc_fail_nth(n);
    EXPECT_EQ(part_param_init(&raw.part, 0, raw.sectors_per_block() * 8, 0), -12) << "allocation " << n;
    kalloc_fail_nth(0);
    // What was allocated stays referenced; RawRecord's part_param_exit frees it.
  }
  RawRecord raw(sim.mtd());
  kalloc_fail_nth(5);
  EXPECT_EQ(part_param_init(&raw.part, 0, raw.sectors_per_block() * 8, 0), 0);
  kalloc_fail_nth(0);
}

TEST(PartParamInit, ExitReleasesAndClears) {
  SimPartition sim(small_chip(40, 16));
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 0, 64, 0), 0);
  part_param_exit(&raw.part);
  EXPECT_EQ(raw.part.part_logic_page_map, nullptr);
  EXPECT_EQ(raw.part.temp_page_buf, nullptr);
  part_param_exit(&raw.part);  // a second exit finds nothing to free
}

// ---------------------------------------------------------------------------
// Head-mark probe.
// ---------------------------------------------------------------------------
TEST(HeadMarkProbe, CapacityBelowOneBlockNeedsFormatWithoutFlashAccess) {
  SimPartition sim(small_chip(40, 16));
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 0, raw.sectors_per_block() - 5, 4), 0);
  sim.chip().reset_counters();
  EXPECT_EQ(is_no_use_device(&raw.part), 1u);
  EXPECT_EQ(raw.part.total_reads, 0u);
  EXPECT_EQ(sim.chip().counters().reads, 0u);
  EXPECT_EQ(raw.part.part_end_phy_block, nullptr);
}

TEST(HeadMarkProbe, MarkBehindBadBlocksMovesTheStartPastIt) {
  SimPartition sim(with_bad_blocks(small_chip(40, 16), {0, 1}));
  write_mark(sim, 2, 0xAA, 0xEE);
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 0, raw.sectors_per_block() * 8, raw.sectors_per_block() * 32), 0);
  EXPECT_EQ(is_no_use_device(&raw.part), 0u);
  EXPECT_EQ(raw.part.part_start_phy_block, &raw.table[3]);
  EXPECT_EQ(raw.part.part_end_phy_block, &raw.table[2]);
  EXPECT_EQ(raw.table[0].info, NYX_BLOCK_BAD);
  EXPECT_EQ(raw.table[1].info, NYX_BLOCK_BAD);
  EXPECT_EQ(raw.table[2].info, NYX_BLOCK_UNSCANNED);
  EXPECT_EQ(raw.part.blocks, 2);
}

TEST(HeadMarkProbe, ErasedOrOtherFirstGoodBlockNeedsFormat) {
  SimPartition sim(small_chip(40, 16));
  write_mark(sim, 1, 0xAA, 0xEE);  // only the first good block counts
  {
    RawRecord raw(sim.mtd());
    ASSERT_EQ(part_param_init(&raw.part, 0, 0, 0), 0);
    EXPECT_EQ(is_no_use_device(&raw.part), 1u);
    EXPECT_EQ(raw.part.part_start_phy_block, &raw.table[0]);
    EXPECT_EQ(raw.part.part_end_phy_block, &raw.table[0]);
  }
  write_mark(sim, 0, 0xAA, 0xCC);  // an end mark is no head mark
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 0, 0, 0), 0);
  EXPECT_EQ(is_no_use_device(&raw.part), 1u);
}

TEST(HeadMarkProbe, AllBadDeviceStopsAtTheLastBlock) {
  std::vector<uint32_t> all(40);
  for (uint32_t i = 0; i < 40; ++i) all[i] = i;
  SimPartition sim(with_bad_blocks(small_chip(40, 16), all));
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 0, 0, 0), 0);  // unlimited: walks to the device's end
  EXPECT_EQ(is_no_use_device(&raw.part), 1u);
  EXPECT_EQ(raw.part.part_end_phy_block, &raw.table[39]);
  EXPECT_EQ(raw.part.blocks, 40);
  EXPECT_EQ(raw.table[39].info, NYX_BLOCK_BAD);
  EXPECT_EQ(raw.table[40].info, 0) << "the end record is never touched";
}

TEST(HeadMarkProbe, AllBadRangeStopsAfterTotalBlocks) {
  std::vector<uint32_t> all(40);
  for (uint32_t i = 0; i < 40; ++i) all[i] = i;
  SimPartition sim(with_bad_blocks(small_chip(40, 16), all));
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 0, raw.sectors_per_block() * 3, raw.sectors_per_block() * 2), 0);
  EXPECT_EQ(is_no_use_device(&raw.part), 1u);
  EXPECT_EQ(raw.part.part_end_phy_block, &raw.table[4]);
  EXPECT_EQ(raw.part.blocks, 5);
  EXPECT_EQ(raw.table[5].info, NYX_BLOCK_UNSCANNED);
}

TEST(HeadMarkProbe, ZeroLogicalCapacityWalksToTheFirstGoodBlock) {
  SimPartition sim(with_bad_blocks(small_chip(40, 16), {0, 1, 2}));
  RawRecord raw(sim.mtd());
  ASSERT_EQ(part_param_init(&raw.part, 0, 0, 0), 0);
  EXPECT_EQ(is_no_use_device(&raw.part), 1u);
  EXPECT_EQ(raw.part.part_end_phy_block, &raw.table[3]);
  EXPECT_EQ(raw.part.blocks, 3);
}

TEST(BlockTableHelpers, LastValidAndAddress) {
  SimPartition sim(small_chip(40, 16));
  RawRecord raw(sim.mtd());
  EXPECT_EQ(is_last_phy_block(&raw.table[39], &raw.part), 1u);
  EXPECT_EQ(is_last_phy_block(&raw.table[38], &raw.part), 0u);
  EXPECT_EQ(is_phy_block_valid(&raw.table[39], &raw.part), 1u);
  EXPECT_EQ(is_phy_block_valid(&raw.table[40], &raw.part), 0u);
  EXPECT_EQ(get_phy_block_addr(&raw.part, 17), &raw.table[17]);
}

// ---------------------------------------------------------------------------
// Bring-up.
// ---------------------------------------------------------------------------
// An MTD device with geometry only; bring-up must refuse it before any call.
mtd_info geometry_only(uint64_t size, uint32 erasesize, uint32 writesize, uint32 oobavail = 38) {
  mtd_info mtd{};
  mtd.type = MTD_NANDFLASH;
  mtd.size = size;
  mtd.erasesize = erasesize;
  mtd.writesize = writesize;
  mtd.oobsize = 64;
  mtd.oobavail = oobavail;
  return mtd;
}

nyx_nftl_part_t* const kUntouched = reinterpret_cast<nyx_nftl_part_t*>(0x1);

TEST(Attach, RefusesTooFewSpareBytesOrBlocks) {
  nyx_nftl_part_t* out = kUntouched;
  mtd_info few_spare = geometry_only(1024ull * 131072, 131072, 2048, 9);
  EXPECT_EQ(nyx_nftl_part_attach(&few_spare, &out), -1);
  mtd_info sixteen = geometry_only(16ull * 131072, 131072, 2048);
  EXPECT_EQ(nyx_nftl_part_attach(&sixteen, &out), -1);
  mtd_info too_many = geometry_only(65536ull * 16384, 16384, 512);
  EXPECT_EQ(nyx_nftl_part_attach(&too_many, &out), -1);
  EXPECT_EQ(out, kUntouched);
}

TEST(Attach, RefusesShapesTheRecordsCannotHold) {
  nyx_nftl_part_t* out = kUntouched;
  struct Shape {
    uint32 erasesize, writesize;
  };
  for (Shape s : {Shape{3 * 65536, 2048},     // erase size not a power of two
                  Shape{131072, 256},         // page smaller than a sector
                  Shape{131072, 131072 + 1},  // page not whole sectors
                  Shape{131072, 512},         // 256 pages: reverse map larger than a page
                  Shape{1 << 21, 1024},       // 2048 pages in a block
                  Shape{0, 2048}}) {
    mtd_info mtd = geometry_only(uint64_t(100) * (s.erasesize ? s.erasesize : 1), s.erasesize, s.writesize);
    EXPECT_EQ(nyx_nftl_part_attach(&mtd, &out), -1) << s.erasesize << "/" << s.writesize;
  }
  EXPECT_EQ(out, kUntouched);
}

TEST(Attach, TenSpareBytesAreEnough) {
  SimPartition sim(small_chip(40, 16));
  mtd_info narrow = *sim.mtd();  // same device, reporting fewer free OOB bytes
  narrow.oobavail = 10;
  nyx_nftl_part_t* part = nullptr;
  ASSERT_EQ(nyx_nftl_part_attach(&narrow, &part), 0);
  EXPECT_EQ(part->nand_chip->bytes_user_date, 10);
  nyx_nftl_part_detach(part);
}

TEST(Attach, ChipRecordFromGeometry) {
  SimPartition sim(small_chip(40, 64, 2048, 64));
  LogCapture log;
  ASSERT_EQ(sim.attach(), 0);
  nyx_nftl_part_t* part = sim.part;
  const nand_chip_t* chip = part->nand_chip;
  EXPECT_EQ(part->mtd, sim.mtd());
  EXPECT_EQ(chip->bytes_per_page, 2048);
  EXPECT_EQ(chip->bytes_user_date, 62);
  EXPECT_EQ(chip->blk_per_chip, 40);
  EXPECT_EQ(chip->pages_per_blk, 64);
  EXPECT_EQ(chip->sector_per_page, 4);
  EXPECT_EQ(chip->bitmap_per_page, 4);
  EXPECT_EQ(chip->max_erase_times, 3000);
  EXPECT_EQ(log.count("nftl start40,32\n"), 1u);
  EXPECT_EQ(part->logic_cap_in_sects, 256u * 8);
  EXPECT_STREQ(part->nyx_nftl_lock.name, "&part->nyx_nftl_lock");

  const _phy_block_info& end = chip->nand_block_info[40];
  EXPECT_EQ(end.phy_block.blkNO_in_chip, 40);
  EXPECT_EQ(end.info, 0);
  EXPECT_EQ(end.erase_count, 0);
  EXPECT_EQ(end.block_used_count, 0);
  EXPECT_EQ(end.invalid_page_count, 0);
  EXPECT_EQ(end.free_next, nullptr);
  EXPECT_EQ(end.invalid_page_next, nullptr);
  EXPECT_EQ(end.block_used_next, nullptr);
  for (uint16 i = 0; i < 40; ++i) EXPECT_EQ(chip->nand_block_info[i].phy_block.blkNO_in_chip, i);
}

struct ReserveCase {
  uint32 blocks;
  uint32 reserve;
};

class AttachReserve : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(AttachReserve, SplitsLogicalAndReserveBlocks) {
  const ReserveCase c = GetParam();
  SimPartition sim(small_chip(c.blocks, 16, 512, 64));
  LogCapture log;
  ASSERT_EQ(sim.attach(), 0);
  EXPECT_EQ(log.count("nftl start" + std::to_string(c.blocks) + "," + std::to_string(c.reserve) + "\n"), 1u);
  EXPECT_EQ(sim.part->logic_cap_in_sects, 16u * (c.blocks - c.reserve));
}

// Each block carries one logical page fewer than it has pages (the mapping
// page). With 4 pages per block the reserve rule alone would promise more
// logical pages than the blocks' data pages; the capacity is lowered to fit,
// leaving 8 blocks of room, and the whole disk stays writable.
TEST(AttachCapacity, SmallBlocksGetACapacityTheFlashCanHold) {
  SimPartition sim(small_chip(300, 4, 512, 64));
  LogCapture log;
  ASSERT_EQ(sim.attach(), 0);
  EXPECT_EQ(log.count("nftl start300,37\n"), 1u);
  const uint32 logical_blocks = sim.part->logic_cap_in_sects / 4;
  EXPECT_EQ(logical_blocks, (300u - 9u) * 3u / 4u);
  EXPECT_LE(logical_blocks * 4u, (300u - 1u - 8u) * 3u);
  EXPECT_EQ(sim.part->backup_cap_in_sects, 4u * (sim.part->blocks - logical_blocks));
  ASSERT_NE(sim.part->part_current_used_block, nullptr);

  std::vector<uchar> page(512);
  for (uint32 lp = 0; lp < nyx_nftl_logic_pages(sim.part); ++lp) {
    std::fill(page.begin(), page.end(), static_cast<uchar>(lp));
    ASSERT_EQ(nand_write_logic_page(sim.part, lp, page.data()), 0u) << "logical page " << lp;
  }
  for (uint32 lp = 0; lp < nyx_nftl_logic_pages(sim.part); lp += 7) {
    ASSERT_EQ(nand_read_logic_page(sim.part, lp, page.data()), 0u);
    EXPECT_EQ(page[0], static_cast<uchar>(lp));
  }
}

INSTANTIATE_TEST_SUITE_P(Blocks, AttachReserve,
                         ::testing::Values(ReserveCase{17, 8}, ReserveCase{32, 16}, ReserveCase{33, 32},
                                           ReserveCase{263, 32}, ReserveCase{264, 33},
                                           ReserveCase{2048, 256}));

TEST(Attach, EveryAllocationFailureReleasesAndGivesMinus12) {
  SimPartition sim(small_chip(40, 16));
  LogCapture quiet;
  unsigned failures = 0;
  for (unsigned n = 1; n < 50; ++n) {
    nyx_nftl_part_t* out = kUntouched;
    kalloc_fail_nth(n);
    int ret = nyx_nftl_part_attach(sim.mtd(), &out);
    kalloc_fail_nth(0);
    if (ret == 0) {
      ASSERT_NE(out, kUntouched);
      nyx_nftl_part_detach(out);
      break;
    }
    EXPECT_EQ(ret, -12) << "allocation " << n;
    EXPECT_EQ(out, kUntouched);
    ++failures;
  }
  // Partition record, chip record, block table and part_param_init's four.
  EXPECT_GE(failures, 7u);
}

TEST(Attach, DetachAndReattachKeepTheFormat) {
  SimPartition sim(small_chip(40, 16));
  LogCapture log;
  ASSERT_EQ(sim.attach(), 0);
  EXPECT_EQ(log.count("create_part_list_first.\n"), 1u);
  ASSERT_EQ(sim.reattach(), 0);
  EXPECT_EQ(log.count("create_part_list_first.\n"), 1u) << "a marked partition is not formatted again";
  EXPECT_EQ(log.count("nftl ok!\n"), 2u);
}

}  // namespace
