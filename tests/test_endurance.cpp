// Endurance: seeded runs over a small partition writing 20 times the disk's
// capacity in sector writes of mixed sizes, with program and erase failures
// at a rate, factory bad blocks, two blocks going bad for good during the
// run, correctable bit flips on every read and uncorrectable ones while the
// disk is attached again and read back. At every re-attach (once per
// capacity written) nothing acknowledged may be lost, every failed block
// must be out of use (marked bad, on no list, in no map entry) and the
// checker clean; a read either answers exactly what was written or fails,
// and a page that failed is read again.
#include <gtest/gtest.h>

#include <random>

#include "support/rig.h"

namespace {

struct EnduranceCase {
  uint64_t seed;
  double program_fail_rate, erase_fail_rate;
  std::vector<uint32_t> factory_bad;
};

class Endurance : public ::testing::TestWithParam<EnduranceCase> {};

TEST_P(Endurance, NothingAcknowledgedIsLostAndFailedBlocksAreRetired) {
  const EnduranceCase& c = GetParam();
  LogCapture log;
  nandsim::Options options = small_chip(64, 16);
  options.seed = c.seed;
  options.factory_bad_blocks = c.factory_bad;
  Disk disk(options);
  nandsim::NandChip& chip = disk.chip();
  chip.set_program_fail_rate(c.program_fail_rate);
  chip.set_erase_fail_rate(c.erase_fail_rate);
  SectorModel model(disk.sectors());
  std::mt19937_64 rng(c.seed);
  auto below = [&](uint64_t n) { return static_cast<uint32_t>(rng() % n); };
  const uint32_t capacity = disk.sectors(), spp = disk.spp();
  uint64_t written = 0;
  uint32_t reattaches = 0, failed_reads = 0, retired = 0;
  std::vector<uint32_t> grown;
  std::vector<uint8_t> data;
  disk.part()->s_wl = {4, 3, 0};
  chip.set_bitflip_rates(0.02, 0);
  for (uint64_t next_reattach = capacity; written < 20ull * capacity;) {
    const uint32_t action = below(100);
    if (action < 80) {
      // Mixed sizes and alignments, most in a hot eighth of the disk.
      uint32_t first = below(below(100) < 60 ? capacity / 8 : capacity), count = 1;
      const uint32_t kind = below(4);
      if (kind == 1) count = 1 + below(spp);
      if (kind == 2) first -= first % spp, count = spp;
      if (kind == 3) count = 2 + below(4 * spp);
      count = std::min(count, capacity - first);
      data = model.wrote(first, count);
      ASSERT_EQ(disk.write(first, count, data.data()), 0u)
          << "at " << first << " after " << written;
      written += count;
    } else if (action < 88) {
      ASSERT_EQ(disk.flush(), 0u);
      model.flushed();
    } else if (action < 94) {
      disk.worker_pass();
    } else {
      const uint32_t first = below(capacity),
                     count = std::min<uint32_t>(1 + below(2 * spp), capacity - first);
      data.resize(count * kSectorBytes);
      ASSERT_EQ(disk.read(first, count, data.data()), 0u);
      for (uint32_t i = 0; i < count; ++i)
        ASSERT_EQ(model.check_latest(first + i, &data[i * kSectorBytes]), "");
    }
    // Twice in the run a good block goes bad for good, whatever it holds.
    if (grown.size() < 2 && written >= (grown.size() + 1) * 7ull * capacity) {
      uint32_t b = 1 + below(63);
      while (chip.is_bad(b)) b = 1 + b % 63;
      chip.grow_bad_block(b);
      grown.push_back(b);
    }
    if (written < next_reattach) continue;
    next_reattach += capacity;
    ++reattaches;
    ASSERT_EQ(disk.flush(), 0u);
    model.flushed();
    disk.drop();
    // The mount and the read-back meet uncorrectable bit errors as well.
    chip.set_bitflip_rates(0.02, 0.005);
    ASSERT_EQ(disk.attach(), 0);
    ASSERT_TRUE(disk.ready()) << "re-attach " << reattaches << ", good blocks "
                              << disk.part()->blocks;
    chip.set_bitflip_rates(0.02, 0);
    ASSERT_EQ(disk.check(), "") << "re-attach " << reattaches;
    // Every block marked bad since the chip was made is out of use.
    std::vector<int> in_use = free_list(disk.part()), full = invalid_list(disk.part());
    in_use.insert(in_use.end(), full.begin(), full.end());
    in_use.push_back(disk.rig.no(disk.rig.cur()));
    for (uint32_t lp = 0; lp < nyx_nftl_logic_pages(disk.part()); ++lp)
      in_use.push_back(disk.rig.map(lp).blkNO_in_chip);
    retired = 0;
    for (uint32_t b = 0; b < 64; ++b) {
      if (!chip.is_bad(b)) continue;
      retired += std::find(c.factory_bad.begin(), c.factory_bad.end(), b) == c.factory_bad.end();
      ASSERT_FALSE(has(in_use, b)) << "bad block " << b << " is listed, mapped or being filled";
    }
    // The whole disk against the newest writes: a failed read
    // (uncorrectable) is tried again, a successful one must be exact.
    chip.set_bitflip_rates(0.02, 0.005);
    data.resize(spp * kSectorBytes);
    for (uint32_t first = 0; first < capacity; first += spp) {
      for (int tries = 0; disk.read(first, spp, data.data()) != 0; ++failed_reads)
        ASSERT_LT(++tries, 50) << "sectors " << first << ".. never read back";
      for (uint32_t i = 0; i < spp; ++i)
        ASSERT_EQ(model.check_latest(first + i, &data[i * kSectorBytes]), "");
    }
    disk.part()->s_wl = {4, 3, 0};
    chip.set_bitflip_rates(0.02, 0);
  }
  size_t failures = log.count("do_write_error erase error!\n");
  for (const char* line : {"write error2!\n", "write error!\n", "erase error!\n"})
    failures += log.count(std::string("nand_write_logic_page_no_gc ") + line);
  EXPECT_GE(reattaches, 20u);
  EXPECT_GE(failures, 3u) << "the rates must make blocks fail";
  EXPECT_GE(retired, failures) << "every failed block is marked bad";
  for (uint32_t b : grown) EXPECT_TRUE(chip.is_bad(b)) << "grown bad block " << b;
  EXPECT_GT(log.count("read reclaim\n"), 0u);
  EXPECT_GT(failed_reads, 0u);
  EXPECT_EQ(chip.counters().double_programs, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Endurance,
                         ::testing::Values(EnduranceCase{11, 1.2e-4, 1e-3, {7, 23, 50}},
                                           EnduranceCase{12, 1e-4, 1.5e-3, {2, 3, 41}},
                                           EnduranceCase{14, 1e-4, 1e-3, {}},
                                           EnduranceCase{15, 1.2e-4, 1.2e-3, {1, 62, 63}}),
                         [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

}  // namespace
