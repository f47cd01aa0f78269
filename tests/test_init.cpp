// A block device's partition bring-up and release: the spare-byte and
// block-count refusals, the reserve rule, the geometry handed to the
// partition, the disk's capacity, the debug class named after the
// partition, and the release of everything, also when bring-up fails part
// way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "support/sim_partition.h"

namespace {

bool has_class(const std::string& name) {
  std::vector<std::string> names = class_list();
  return std::find(names.begin(), names.end(), name) != names.end();
}

// A device record over a simulated partition, not yet brought up.
class Device {
 public:
  Device(const nandsim::Options& options, std::string name) : sim(options, std::move(name)) {
    blk = kzalloc_record<nyx_nftl_blk_t>();
    blk->mbd.mtd = sim.mtd();
  }
  ~Device() {
    nyx_nftl_part_release(blk);
    kfree_record(blk);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  int initialize() { return nyx_nftl_initialize(blk); }
  nyx_nftl_part_t* part() { return blk->nyx_nftl_part; }

  SimPartition sim;
  nyx_nftl_blk_t* blk = nullptr;
};

// 512-byte pages, 16 to a block: 16 sectors a block keep big partitions small.
nandsim::Options tiny_blocks(uint32_t blocks) { return small_chip(blocks, 16, 512, 32); }

// ---------------------------------------------------------------------------
// Refusals and the reserve rule.
// ---------------------------------------------------------------------------

TEST(InitRefusal, TooFewSpareBytesOrBlocksLeaveNothing) {
  LogCapture log;
  Device nine(small_chip(20, 16), "NFTL_Part");
  nine.sim.mtd()->oobavail = 9;
  EXPECT_EQ(nine.initialize(), -1);
  EXPECT_EQ(nine.part(), nullptr);
  EXPECT_FALSE(log.contains("nftl start"));
  Device sixteen(tiny_blocks(16), "NFTL_Part");
  EXPECT_EQ(sixteen.initialize(), -1);
  EXPECT_EQ(sixteen.part(), nullptr);
  EXPECT_FALSE(has_class("nyx_nftl"));
}

struct ReserveCase {
  uint32_t blocks;
  uint32_t reserve;
};

class InitReserve : public ::testing::TestWithParam<ReserveCase> {};

TEST_P(InitReserve, SplitsThePartitionIntoCapacityAndReserve) {
  const ReserveCase c = GetParam();
  LogCapture log;
  Device dev(tiny_blocks(c.blocks), "cache");
  ASSERT_EQ(dev.initialize(), 0);
  EXPECT_EQ(
      log.count("nftl start" + std::to_string(c.blocks) + "," + std::to_string(c.reserve) + "\n"),
      1u);
  const uint32_t sectors_per_block = 16;
  EXPECT_EQ(dev.part()->logic_cap_in_sects, (c.blocks - c.reserve) * sectors_per_block);
  EXPECT_EQ(dev.blk->mbd.size, dev.part()->logic_cap_in_sects);
}

INSTANTIATE_TEST_SUITE_P(Rule, InitReserve,
                         ::testing::Values(ReserveCase{17, 8}, ReserveCase{32, 16},
                                           ReserveCase{33, 32}, ReserveCase{263, 32},
                                           ReserveCase{264, 33}, ReserveCase{2048, 256}));

// ---------------------------------------------------------------------------
// What bring-up sets.
// ---------------------------------------------------------------------------

TEST(InitGeometry, TwoKibPagesInOneHundredTwentyEightKibBlocks) {
  Device dev(small_chip(17, 64, 2048, 64), "NFTL_Part");
  ASSERT_EQ(dev.initialize(), 0);
  EXPECT_EQ(dev.part()->nand_chip->bytes_user_date, 62);
  EXPECT_EQ(dev.part()->logic_cap_in_sects, 9u * 256);  // 256 sectors a block
  EXPECT_EQ(dev.blk->mbd.size, 9u * 256);
  EXPECT_NE(dev.blk->cache.cache_buf, nullptr);
  EXPECT_EQ(dev.blk->cache.cache_totals, 32);
}

// ---------------------------------------------------------------------------
// The debug class.
// ---------------------------------------------------------------------------

TEST(InitDebugClass, NamedAfterThePartitionWithTheFiveAttributes) {
  const std::vector<std::string> before = class_list();
  const std::vector<std::pair<std::string, std::string>> cases = {{"NFTL_Part", "nyx_nftl"},
                                                                  {"NFTL_Part2", "nyx_nftl"},
                                                                  {"userdata", "nyx_userdata"},
                                                                  {"userdata_ext", "nyx_userdata"},
                                                                  {"system", ""},
                                                                  {"cache", ""}};
  for (const auto& [part_name, class_name] : cases) {
    Device dev(small_chip(20, 16), part_name);
    ASSERT_EQ(dev.initialize(), 0) << part_name;
    if (class_name.empty()) {  // system and cache get none
      EXPECT_EQ(dev.part()->debug.name, nullptr);
      EXPECT_EQ(class_list(), before);
      continue;
    }
    EXPECT_TRUE(has_class(class_name)) << part_name;
    EXPECT_STREQ(dev.part()->debug.name, class_name.c_str());
    std::vector<class_attr_info> attrs;
    ASSERT_EQ(class_attr_list(class_name, &attrs), 0);
    ASSERT_EQ(attrs.size(), 5u);
    const char* names[] = {"part", "list", "gcall", "gcone", "table"};
    for (size_t i = 0; i < 5; ++i) {
      EXPECT_EQ(attrs[i].name, names[i]);
      EXPECT_EQ(attrs[i].mode, 0444);
      EXPECT_EQ(attrs[i].can_show, i < 4);
      EXPECT_EQ(attrs[i].can_store, i == 4);
    }
    nyx_nftl_part_release(dev.blk);
    EXPECT_FALSE(has_class(class_name)) << part_name;
  }
}

TEST(InitDebugClass, ASecondPartitionOfTheSameKindIsBroughtUpWithoutAClass) {
  LogCapture log;
  Device first(small_chip(20, 16), "NFTL_Part");
  Device second(small_chip(20, 16), "NFTL_Part1");
  ASSERT_EQ(first.initialize(), 0);
  EXPECT_EQ(log.count(" class register nand_class fail!\n"), 0u);
  EXPECT_EQ(second.initialize(), 0);
  EXPECT_EQ(log.count(" class register nand_class fail!\n"), 1u);

  // Releasing the second leaves the first one's class in place.
  nyx_nftl_part_release(second.blk);
  ASSERT_TRUE(has_class("nyx_nftl"));
  log.clear();
  std::string text = "unread";
  ASSERT_EQ(class_attr_read("nyx_nftl", "part", &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(log.count("part->nand_chip->blk_per_chip: 20 \n"), 1u);
  nyx_nftl_part_release(first.blk);
  EXPECT_FALSE(has_class("nyx_nftl"));
  EXPECT_EQ(class_attr_read("nyx_nftl", "part", &text), -ENOENT);
}

// ---------------------------------------------------------------------------
// Allocation failures.
// ---------------------------------------------------------------------------

TEST(InitAllocation, EveryFailedAllocationFailsCleanlyOrOnlyCostsTheClass) {
  LogCapture log;
  int refused = 0;
  bool completed = false;
  for (unsigned n = 1; n <= 40 && !completed; ++n) {
    Device dev(small_chip(20, 16), "NFTL_Part");
    log.clear();
    kalloc_fail_nth(n);
    const int ret = dev.initialize();
    kalloc_fail_nth(0);
    if (ret == 0) {
      ASSERT_NE(dev.part(), nullptr);
      ASSERT_NE(dev.blk->cache.cache_buf, nullptr);
      // Only the class's name buffer may have been the failed allocation.
      if (log.contains(" class register nand_class fail!\n")) {
        EXPECT_FALSE(has_class("nyx_nftl"));
      } else {
        EXPECT_TRUE(has_class("nyx_nftl"));
        completed = true;
      }
    } else {
      EXPECT_EQ(ret, -ENOMEM) << "allocation " << n;
      EXPECT_EQ(dev.part(), nullptr) << "allocation " << n;
      EXPECT_FALSE(has_class("nyx_nftl"));
      ++refused;
    }
  }
  EXPECT_TRUE(completed);
  EXPECT_GE(refused, 4);  // the records, the table, the maps and buffers, the cache
}

}  // namespace
