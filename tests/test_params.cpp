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
  ASSERT_EQ(sim.chip().program_page(uint64_t(block) * g.pages_per_block, data.data(), oob.data()),
            0);
}

nandsim::Options with_bad_blocks(nandsim::Options options, std::vector<uint32_t> bad) {
  options.factory_bad_blocks = std::move(bad);
  return options;
}

// ---------------------------------------------------------------------------
// part_param_init / part_param_exit.
// ---------------------------------------------------------------------------
// Values left from an earlier use are cleared; the maps start erased, the
// collection copy zeroed, the queue's nodes numbered; exit frees and clears.
TEST(PartParamInit, ClearsStaleValuesAndExitReleases) {
  SimPartition sim(small_chip(40, 16));
  RawRecord raw(sim.mtd());
  nyx_nftl_part_t& part = raw.part;
  part.free_block_num = 32;
  part.blocks = 5;
  part.bad_block = 2;
  part.total_reads = 9;
  part.s_wl.s_wl_status = 1;
  part.free_head.free_next = &raw.table[3];
  part.invalid_page_head.invalid_page_prev = &raw.table[3];
  part.block_used_head.block_used_next = &raw.table[3];
  part.prio_gc.prio_gc_node[4].prio_type = 2;

  uint32 logic = raw.sectors_per_block() * 8;
  ASSERT_EQ(part_param_init(&part, 7, logic, raw.sectors_per_block() * 32), 0);
  EXPECT_EQ(part.part_start_phy_block, &raw.table[7]);
  EXPECT_EQ(part.blocks + part.bad_block + part.free_block_num + part.total_reads, 0u);
  EXPECT_EQ(part.s_wl.s_wl_status, 0);
  EXPECT_EQ(part.part_current_used_block, nullptr);
  for (const _phy_block_info* head :
       {&part.free_head, &part.invalid_page_head, &part.block_used_head}) {
    EXPECT_EQ(head->free_next, nullptr);
    EXPECT_EQ(head->invalid_page_prev, nullptr);
    EXPECT_EQ(head->block_used_next, nullptr);
  }
  const uchar* map = reinterpret_cast<const uchar*>(part.part_logic_page_map);
  for (size_t i = 0; i < logic / 4 * sizeof(_nand_page); ++i) ASSERT_EQ(map[i], 0xFF) << i;
  const uchar* reverse = reinterpret_cast<const uchar*>(part.part_phy_page_map);
  for (size_t i = 0; i < sizeof(_phy_page_mapping); ++i) ASSERT_EQ(reverse[i], 0xFF) << i;
  const uchar* for_gc = reinterpret_cast<const uchar*>(part.part_phy_page_map_for_gc);
  for (size_t i = 0; i < sizeof(_phy_page_mapping); ++i) ASSERT_EQ(for_gc[i], 0) << i;
  for (int i = 0; i < NYX_PRIO_GC_NODES; ++i) {
    EXPECT_EQ(part.prio_gc.prio_gc_node[i].gc_no, i);
    EXPECT_EQ(part.prio_gc.prio_gc_node[i].prio_type, 0);
  }

  part_param_exit(&part);
  EXPECT_EQ(part.part_logic_page_map, nullptr);
  EXPECT_EQ(part.temp_page_buf, nullptr);
  part_param_exit(&part);  // a second exit finds nothing to free
}

TEST(PartParamInit, EachAllocationFailureGivesMinus12) {
  SimPartition sim(small_chip(40, 16));
  for (unsigned n = 1; n <= 5; ++n) {
    RawRecord raw(sim.mtd());
    kalloc_fail_nth(n);
    EXPECT_EQ(part_param_init(&raw.part, 0, raw.sectors_per_block() * 8, 0), n <= 4 ? -12 : 0)
        << "allocation " << n;
    kalloc_fail_nth(0);
    // What was allocated stays referenced; RawRecord's part_param_exit frees it.
  }
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
  ASSERT_EQ(
      part_param_init(&raw.part, 0, raw.sectors_per_block() * 8, raw.sectors_per_block() * 32), 0);
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

// The probe walks bad blocks until the first good one or the partition's
// block count; it never passes the device's last block.
TEST(HeadMarkProbe, WalksBadBlocksWithinTheRange) {
  struct Case {
    uint32 bad;           // blocks 0..bad-1 are bad
    uint32 logic_blocks;  // capacity in blocks, 0: unlimited
    uint32 backup_blocks;
    uint16 end, blocks;
  };
  for (Case c : {Case{40, 0, 0, 39, 40}, Case{40, 3, 2, 4, 5}, Case{3, 0, 0, 3, 3}}) {
    std::vector<uint32_t> bad(c.bad);
    for (uint32_t i = 0; i < c.bad; ++i) bad[i] = i;
    SimPartition sim(with_bad_blocks(small_chip(40, 16), bad));
    RawRecord raw(sim.mtd());
    ASSERT_EQ(part_param_init(&raw.part, 0, raw.sectors_per_block() * c.logic_blocks,
                              raw.sectors_per_block() * c.backup_blocks),
              0);
    EXPECT_EQ(is_no_use_device(&raw.part), 1u);
    EXPECT_EQ(raw.part.part_end_phy_block, &raw.table[c.end]) << c.bad << "/" << c.logic_blocks;
    EXPECT_EQ(raw.part.blocks, c.blocks);
    EXPECT_EQ(raw.table[40].info, 0) << "the end record is never touched";
  }
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

TEST(Attach, RefusesShapesTheRecordsCannotHold) {
  nyx_nftl_part_t* out = kUntouched;
  struct Shape {
    uint32 erasesize, writesize, blocks = 100, oobavail = 38;
  };
  for (Shape s : {Shape{131072, 2048, 1024, 9},  // fewer than ten spare bytes
                  Shape{131072, 2048, 16},       // too few blocks
                  Shape{16384, 512, 65536},      // too many blocks
                  Shape{3 * 65536, 2048},        // erase size not a power of two
                  Shape{131072, 256},            // page smaller than a sector
                  Shape{131072, 131072 + 1},     // page not whole sectors
                  Shape{131072, 512},            // 256 pages: reverse map larger than a page
                  Shape{1 << 21, 1024},          // 2048 pages in a block
                  Shape{0, 2048}}) {
    mtd_info mtd = geometry_only(uint64_t(s.blocks) * (s.erasesize ? s.erasesize : 1), s.erasesize,
                                 s.writesize, s.oobavail);
    EXPECT_EQ(nyx_nftl_part_attach(&mtd, &out), -1) << s.erasesize << "/" << s.writesize;
  }
  EXPECT_EQ(out, kUntouched);

  SimPartition sim(small_chip(40, 16));
  mtd_info narrow = *sim.mtd();  // ten spare bytes are enough
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
  const nand_chip_t* chip = sim.part->nand_chip;
  EXPECT_EQ(chip->bytes_user_date, 62);
  EXPECT_EQ(chip->sector_per_page, 4);
  EXPECT_EQ(log.count("nftl start40,32\n"), 1u);
  EXPECT_EQ(sim.part->logic_cap_in_sects, 256u * 8);
  const _phy_block_info& end = chip->nand_block_info[40];  // the end record stays blank
  EXPECT_EQ(end.phy_block.blkNO_in_chip, 40);
  EXPECT_EQ(end.info | end.erase_count | end.invalid_page_count, 0);
  EXPECT_EQ(end.free_next, nullptr);
  EXPECT_EQ(end.invalid_page_next, nullptr);
}

// Each block carries one logical page fewer than it has pages (the mapping
// page). With 4 pages per block the reserve rule alone would promise more
// logical pages than the blocks' data pages; the capacity is lowered to fit,
// leaving 8 blocks of room.
TEST(AttachCapacity, SmallBlocksGetACapacityTheFlashCanHold) {
  SimPartition sim(small_chip(300, 4, 512, 64));
  LogCapture log;
  ASSERT_EQ(sim.attach(), 0);
  EXPECT_EQ(log.count("nftl start300,37\n"), 1u);
  const uint32 logical_blocks = sim.part->logic_cap_in_sects / 4;
  EXPECT_EQ(logical_blocks, (300u - 9u) * 3u / 4u);
  EXPECT_LE(logical_blocks * 4u, (300u - 1u - 8u) * 3u);
  EXPECT_EQ(sim.part->backup_cap_in_sects, 4u * (sim.part->blocks - logical_blocks));
  ASSERT_NE(sim.part->part_current_used_block,
            nullptr);  // every page written: the logic model's capacity test
}

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
  EXPECT_EQ(log.count("create_part_list_first.\n"), 1u)
      << "a marked partition is not formatted again";
  EXPECT_EQ(log.count("nftl ok!\n"), 2u);
}

}  // namespace
