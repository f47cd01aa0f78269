// Bring-up of a partition and of a block device over it: the shapes refused,
// the reserve rule and the capacity it leaves, allocation failures at every
// step. The flash self-tests run through the command-line tool's tests.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/kernel/device_class.h"
#include "support/rig.h"

namespace {

bool has_class(const std::string& name) {
  const std::vector<std::string> names = class_list();
  return std::find(names.begin(), names.end(), name) != names.end();
}

// A device record over a partition of its own, brought up by initialize().
struct Device {
  Device(const nandsim::Options& options, std::string name) : rig(options, std::move(name), false) {
    blk->mbd.mtd = rig.mtd();
  }
  ~Device() {
    nyx_nftl_part_release(blk);
    kfree_record(blk);
  }
  int initialize() { return nyx_nftl_initialize(blk); }
  Rig rig;
  nyx_nftl_blk_t* blk = kzalloc_record<nyx_nftl_blk_t>();
};

// Shapes the records cannot hold are refused before any allocation.
TEST(Attach, RefusesShapesTheRecordsCannotHold) {
  struct Shape {
    uint32 erasesize, writesize, blocks = 100, oobavail = 38;
  };
  for (Shape s : {Shape{131072, 2048, 1024, 15},  // fewer free OOB bytes than the record
                  Shape{131072, 2048, 16},        // too few blocks
                  Shape{16384, 512, 65536},       // too many blocks
                  Shape{3 * 65536, 2048},         // erase size not a power of two
                  Shape{131072, 256},             // page smaller than a sector
                  Shape{131072, 131072 + 1},      // page not whole sectors
                  Shape{131072, 512},             // reverse map larger than a page
                  Shape{1 << 21, 1024},           // 2048 pages in a block
                  Shape{0, 2048}}) {
    mtd_info mtd{};
    mtd.type = MTD_NANDFLASH;
    mtd.size = uint64_t(s.blocks) * std::max(s.erasesize, 1u);
    mtd.erasesize = s.erasesize;
    mtd.writesize = s.writesize;
    mtd.oobavail = s.oobavail;
    nyx_nftl_part_t* out = nullptr;
    kalloc_fail_nth(1);
    EXPECT_EQ(nyx_nftl_part_attach(&mtd, &out), -1) << s.erasesize << "/" << s.writesize;
    kalloc_fail_nth(0);
    EXPECT_EQ(out, nullptr);
  }
  Rig narrow(small_chip(40, 16), "NFTL_Part", false);
  narrow.mtd()->oobavail = 16;  // the record's 16 bytes are enough
  EXPECT_EQ(narrow.reattach(), 0);
}

// The reserve is an eighth of the blocks, at least 32, half of a partition
// too small for that; with few pages per block it grows until the logical
// pages fit the data pages with 8 blocks of room. The disk's capacity is
// what is left, and every logical page of it can be written.
TEST(Reserve, SplitsThePartitionAndLeavesACapacityTheFlashHolds) {
  struct Row {
    uint32 blocks, pages, reserve, logical_blocks;
  };
  for (const Row& r :
       {Row{17, 16, 8, 9}, Row{32, 16, 16, 16}, Row{33, 16, 32, 1}, Row{263, 16, 32, 231},
        Row{264, 16, 33, 231}, Row{2048, 16, 256, 1792}, Row{300, 16, 37, 263},
        Row{300, 8, 37, 254}, Row{300, 4, 37, 218}, Row{40, 4, 32, 8}}) {
    SCOPED_TRACE(std::to_string(r.blocks) + " blocks of " + std::to_string(r.pages) + " pages");
    LogCapture log;
    Device dev(small_chip(r.blocks, r.pages, 512, 32), "cache");
    ASSERT_EQ(dev.initialize(), 0);
    EXPECT_EQ(
        log.count("nftl start" + std::to_string(r.blocks) + "," + std::to_string(r.reserve) + "\n"),
        1u);
    nyx_nftl_part_t* part = dev.blk->nyx_nftl_part;
    EXPECT_EQ(dev.blk->mbd.size, r.logical_blocks * r.pages);
    EXPECT_EQ(part->logic_cap_in_sects, dev.blk->mbd.size);
    if (r.blocks != 300 && r.pages > 4) continue;
    std::vector<uchar> page(512);
    for (uint32 lp = 0; lp < nyx_nftl_logic_pages(part); ++lp)
      ASSERT_EQ(nand_write_logic_page(part, lp, page.data()), 0u) << lp;
    EXPECT_EQ(joined(nyx_nftl_check(part)), "");
  }
}

// Every failed allocation of a device's bring-up fails it cleanly with
// -ENOMEM, or (the class's name) costs only the debug class.
TEST(BringUp, EveryFailedAllocationFailsCleanlyOrOnlyCostsTheClass) {
  LogCapture log;
  int refused = 0;
  for (unsigned n = 1; n <= 40; ++n) {
    Device dev(small_chip(20, 16), "NFTL_Part");
    log.clear();
    kalloc_fail_nth(n);
    const int ret = dev.initialize();
    kalloc_fail_nth(0);
    if (ret != 0) {
      EXPECT_EQ(ret, -ENOMEM) << n;
      EXPECT_EQ(dev.blk->nyx_nftl_part, nullptr) << n;
      EXPECT_FALSE(has_class("nyx_nftl"));
      ++refused;
      continue;
    }
    EXPECT_NE(dev.blk->cache.cache_buf, nullptr);
    const bool class_failed = log.contains(" class register nand_class fail!\n");
    EXPECT_EQ(has_class("nyx_nftl"), !class_failed);
    if (!class_failed) break;
  }
  EXPECT_GE(refused, 7);  // partition, chip record, table, four of the parameters', the cache
}

}  // namespace
