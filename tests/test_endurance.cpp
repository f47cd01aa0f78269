// Endurance: long seeded runs over a small partition, writing at least 20
// times the disk's capacity in sector writes of mixed sizes, with program and
// erase failures injected at a rate, factory bad blocks, blocks that go bad
// for good during the run, correctable bit
// flips on every read and uncorrectable ones while the disk is read back and
// attached again. At every re-attach (once per capacity written) nothing
// acknowledged may be lost, every block that failed must be retired (marked
// bad and out of every list and of the map), and the checker must be clean.
// The figures are printed: retired blocks and the lowest free-block count.
//
// Bit flips on the request path: a read whose bit errors were corrected
// returns the data unchanged; an uncorrectable read fails the request with
// -5 (through do_nftltrans_request, as a disk read), also on later reads of
// the same page (the cache never keeps what failed), and never answers
// wrong data.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"
#include "platform/kernel/ktime.h"
#include "platform/mtd/mtd_partition.h"
#include "support/disk_model.h"

namespace {

// Counts log lines while it lives, keeping none.
class LogCounter {
 public:
  explicit LogCounter(std::vector<std::string> lines)
      : lines_(std::move(lines)), counts_(lines_.size()) {
    previous_ = kernel_log_set_sink([this](std::string_view text) {
      for (size_t i = 0; i < lines_.size(); ++i) counts_[i] += text == lines_[i];
    });
  }
  ~LogCounter() { kernel_log_set_sink(std::move(previous_)); }
  size_t count(size_t i) const { return counts_[i]; }

 private:
  std::vector<std::string> lines_;
  std::vector<size_t> counts_;
  log_sink_fn previous_;
};

// ---------------------------------------------------------------------------
// Long runs with failing programs and erases.
// ---------------------------------------------------------------------------

struct EnduranceCase {
  uint64_t seed;
  double program_fail_rate;
  double erase_fail_rate;
  std::vector<uint32_t> factory_bad;
};

void PrintTo(const EnduranceCase& c, std::ostream* os) {
  *os << "seed " << c.seed << ", program failures " << c.program_fail_rate << ", erase failures "
      << c.erase_fail_rate << ", " << c.factory_bad.size() << " factory bad blocks";
}

class Endurance : public ::testing::TestWithParam<EnduranceCase> {};

// Every block marked bad since the chip was made is out of use: on no list,
// not the block being filled, named by no map entry.
std::string check_retired(DiskRig& rig, const std::vector<uint32_t>& factory_bad,
                          uint32_t* retired) {
  nyx_nftl_part_t* part = rig.part();
  const uint32_t blocks = part->nand_chip->blk_per_chip;
  std::vector<bool> listed(blocks, false);
  for (_phy_block_info* b = part->free_head.free_next; b != nullptr; b = b->free_next) {
    listed[b->phy_block.blkNO_in_chip] = true;
  }
  for (_phy_block_info* b = part->invalid_page_head.invalid_page_next; b != nullptr;
       b = b->invalid_page_next) {
    listed[b->phy_block.blkNO_in_chip] = true;
  }
  std::vector<bool> mapped(blocks, false);
  for (uint32_t lp = 0; lp < nyx_nftl_logic_pages(part); ++lp) {
    const uint16 block = part->part_logic_page_map[lp].blkNO_in_chip;
    if (block < blocks) mapped[block] = true;
  }
  *retired = 0;
  for (uint32_t b = 0; b < blocks; ++b) {
    if (!rig.chip().is_bad(b)) continue;
    if (std::find(factory_bad.begin(), factory_bad.end(), b) == factory_bad.end()) ++*retired;
    if (listed[b]) return "bad block " + std::to_string(b) + " is on a list";
    if (mapped[b]) return "bad block " + std::to_string(b) + " holds a mapped page";
    if (part->part_current_used_block == &part->nand_chip->nand_block_info[b]) {
      return "bad block " + std::to_string(b) + " is the block being filled";
    }
  }
  return {};
}

// Reads the whole disk back and compares it with the newest writes. A read
// that fails (an uncorrectable bit error) is tried again; one that succeeds
// must hold exactly the newest data. Counts the failed reads.
std::string verify_disk(DiskRig& rig, const SectorModel& model, uint32_t* failed_reads) {
  const uint32_t spp = rig.sectors_per_page();
  std::vector<uint8_t> page(size_t{spp} * kSectorBytes);
  for (uint32_t first = 0; first < rig.sectors(); first += spp) {
    int tries = 0;
    while (rig.read(first, spp, page.data()) != 0) {
      ++*failed_reads;
      if (++tries == 50) return "sectors " + std::to_string(first) + ".. never read back";
    }
    for (uint32_t i = 0; i < spp; ++i) {
      std::string problem = model.check_latest(first + i, &page[size_t{i} * kSectorBytes]);
      if (!problem.empty()) return problem;
    }
  }
  return {};
}

TEST_P(Endurance, NothingAcknowledgedIsLostAndFailedBlocksAreRetired) {
  const EnduranceCase& c = GetParam();
  LogCounter log({"nand_write_logic_page_no_gc write error2!\n",
                  "nand_write_logic_page_no_gc write error!\n",
                  "nand_write_logic_page_no_gc erase error!\n", "do_write_error erase error!\n",
                  "read reclaim\n"});
  nandsim::Options options = small_chip(64, 16);
  options.seed = c.seed;
  options.factory_bad_blocks = c.factory_bad;
  DiskRig rig(options);
  ASSERT_TRUE(rig.ready());
  rig.part()->s_wl.erase_threshold = 4;
  rig.part()->s_wl.erase_span = 3;
  nandsim::NandChip& chip = rig.chip();
  chip.set_program_fail_rate(c.program_fail_rate);
  chip.set_erase_fail_rate(c.erase_fail_rate);
  chip.set_bitflip_rates(0.02, 0);

  SectorModel model(rig.sectors());
  std::mt19937_64 rng(c.seed);
  const uint32_t capacity = rig.sectors();
  const uint32_t spp = rig.sectors_per_page();
  uint64_t written = 0;
  uint64_t next_reattach = capacity;
  uint32_t min_free = rig.part()->free_block_num;
  uint32_t reattaches = 0;
  uint32_t failed_reads = 0;
  uint32_t retired = 0;
  uint32_t grown = 0;
  std::vector<uint32_t> grown_blocks;

  while (written < 20ull * capacity) {
    const uint32_t action = static_cast<uint32_t>(rng() % 100);
    if (action < 80) {
      // Mixed sizes and alignments, most of them in a hot eighth of the disk.
      const uint32_t region = rng() % 100 < 60 ? capacity / 8 : capacity;
      uint32_t first = static_cast<uint32_t>(rng() % region);
      uint32_t count = 1;
      const uint32_t kind = static_cast<uint32_t>(rng() % 4);
      if (kind == 1) count = 1 + static_cast<uint32_t>(rng() % spp);
      if (kind == 2) {
        first -= first % spp;
        count = spp;
      }
      if (kind == 3) count = 2 + static_cast<uint32_t>(rng() % (4 * spp));
      if (first + count > capacity) count = capacity - first;
      const uint32_t id = model.next_id();
      std::vector<uint8_t> data(size_t{count} * kSectorBytes);
      for (uint32_t i = 0; i < count; ++i)
        fill_sector(&data[size_t{i} * kSectorBytes], first + i, id);
      model.wrote(first, count, id);
      ASSERT_EQ(rig.write(first, count, data.data()), 0u)
          << "write at " << first << " after " << written;
      written += count;
    } else if (action < 88) {
      ASSERT_EQ(rig.flush(), 0u);
      model.flushed();
    } else if (action < 94) {
      rig.worker_pass();
    } else {
      const uint32_t first = static_cast<uint32_t>(rng() % capacity);
      const uint32_t count =
          std::min<uint32_t>(1 + static_cast<uint32_t>(rng() % (2 * spp)), capacity - first);
      std::vector<uint8_t> data(size_t{count} * kSectorBytes);
      ASSERT_EQ(rig.read(first, count, data.data()), 0u);
      for (uint32_t i = 0; i < count; ++i) {
        ASSERT_EQ(model.check_latest(first + i, &data[size_t{i} * kSectorBytes]), "");
      }
    }
    if (rig.part()->free_block_num < min_free) min_free = rig.part()->free_block_num;

    // Twice in the run a good block goes bad for good (every program and
    // erase of it fails from then on), whatever it holds.
    if (grown < 2 && written >= (grown + 1) * 7ull * capacity) {
      uint32_t b = 1 + static_cast<uint32_t>(rng() % 63);
      while (chip.is_bad(b)) b = 1 + b % 63;
      chip.grow_bad_block(b);
      grown_blocks.push_back(b);
      ++grown;
    }

    if (written >= next_reattach) {
      next_reattach += capacity;
      ++reattaches;
      ASSERT_EQ(rig.flush(), 0u);
      model.flushed();
      rig.drop();
      // The mount and the read-back see uncorrectable bit errors as well:
      // the mount reads again what fails, the read path reports it.
      chip.set_bitflip_rates(0.02, 0.005);
      ASSERT_EQ(rig.attach(), 0);
      ASSERT_TRUE(rig.ready()) << "re-attach " << reattaches << ", good blocks "
                               << rig.part()->blocks;
      chip.set_bitflip_rates(0.02, 0);
      ASSERT_EQ(joined_lines(rig.check()), "") << "re-attach " << reattaches;
      ASSERT_EQ(check_retired(rig, c.factory_bad, &retired), "") << "re-attach " << reattaches;
      rig.part()->s_wl.erase_threshold = 4;
      rig.part()->s_wl.erase_span = 3;
      chip.set_bitflip_rates(0.02, 0.005);
      ASSERT_EQ(verify_disk(rig, model, &failed_reads), "") << "re-attach " << reattaches;
      chip.set_bitflip_rates(0.02, 0);
      if (rig.part()->free_block_num < min_free) min_free = rig.part()->free_block_num;
    }
  }

  const size_t failures = log.count(0) + log.count(1) + log.count(2) + log.count(3);
  std::printf(
      "endurance, seed %llu: %llu sectors written (%.1f times the capacity of %u), %u "
      "re-attaches, %zu program and erase failures, %u blocks retired, %zu factory bad, "
      "lowest free-block count %u, %zu corrected reads, %u uncorrectable reads reported\n",
      static_cast<unsigned long long>(c.seed), static_cast<unsigned long long>(written),
      double(written) / capacity, capacity, reattaches, failures, retired, c.factory_bad.size(),
      min_free, log.count(4), failed_reads);
  EXPECT_GE(reattaches, 20u);
  EXPECT_GE(failures, 3u) << "the rates must make blocks fail";
  EXPECT_GE(retired, failures) << "every failed block is marked bad";
  // A grown bad block is retired once it is written or erased again; by the
  // end of the run, every one has been.
  for (uint32_t b : grown_blocks) EXPECT_TRUE(chip.is_bad(b)) << "grown bad block " << b;
  EXPECT_GT(log.count(4), 0u);
  EXPECT_GT(failed_reads, 0u);
  EXPECT_EQ(chip.counters().double_programs, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Endurance,
                         ::testing::Values(EnduranceCase{11, 1.2e-4, 1e-3, {7, 23, 50}},
                                           EnduranceCase{12, 1e-4, 1.5e-3, {2, 3, 41}},
                                           EnduranceCase{13, 1.5e-4, 8e-4, {30}},
                                           EnduranceCase{14, 1e-4, 1e-3, {}},
                                           EnduranceCase{15, 1.2e-4, 1.2e-3, {1, 62, 63}}),
                         [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

// ---------------------------------------------------------------------------
// Bit flips on the request path.
// ---------------------------------------------------------------------------

// One chip, one partition served as the disk "media", the table registered,
// on a test clock that stands still (the worker sleeps between passes).
class DiskStack {
 public:
  DiskStack() {
    auto chip = nandsim::NandChip::create_in_memory(small_chip(40, 16));
    if (!chip.ok()) throw std::runtime_error(chip.message());
    chip_ = std::move(chip).value();
    auto split = nandsim::split_partitions(*chip_, "-(NFTL_Part)");
    if (!split.ok()) throw std::runtime_error(split.message());
    partitions_ = std::move(split).value();
    add_mtd_device(partitions_[0]->mtd());
    if (init_nyx_nftl() != 0) throw std::runtime_error("registration");
    disk = blktrans_find_disk("media");
    if (!disk) throw std::runtime_error("no disk");
    blk = static_cast<nyx_nftl_blk_t*>(disk->queue()->queuedata);
  }
  ~DiskStack() {
    disk.reset();
    cleanup_nyx_nftl();
    del_mtd_device(partitions_[0]->mtd());
  }
  DiskStack(const DiskStack&) = delete;
  DiskStack& operator=(const DiskStack&) = delete;

  nandsim::NandChip& chip() { return *chip_; }
  // The chip page that holds logical page `lp` now.
  uint64_t chip_page(uint32_t lp) {
    mutex_lock(&blk->nyx_nftl_part->nyx_nftl_lock);
    const _nand_page entry = blk->nyx_nftl_part->part_logic_page_map[lp];
    mutex_unlock(&blk->nyx_nftl_part->nyx_nftl_lock);
    return uint64_t(entry.blkNO_in_chip) * 16 + entry.Page_NO;
  }

  KernelTestClock clock;
  std::shared_ptr<BlockDisk> disk;
  nyx_nftl_blk_t* blk = nullptr;

 private:
  std::unique_ptr<nandsim::NandChip> chip_;
  std::vector<std::unique_ptr<nandsim::MtdPartition>> partitions_;
};

std::vector<uint8_t> sectors_of(uint32_t first, uint32_t count, uint32_t id) {
  std::vector<uint8_t> data(size_t{count} * kSectorBytes);
  for (uint32_t i = 0; i < count; ++i) fill_sector(&data[size_t{i} * kSectorBytes], first + i, id);
  return data;
}

// A page whose read is corrected answers its data; one that cannot be read
// fails the request with -5 every time, also when it was asked for before
// (nothing of it was kept in the cache), and answers its data again once the
// error is gone. A partial write into it fails too, and leaves the rest of the
// page as it was.
TEST(BitFlips, UncorrectableReadFailsTheRequestAndIsNeverServedFromTheCache) {
  LogCapture quiet;
  DiskStack stack;
  BlockDisk& disk = *stack.disk;
  ASSERT_EQ(disk.write(0, sectors_of(0, 64, 1)), 0);  // logical pages 0 .. 15
  ASSERT_EQ(disk.flush(), 0);

  std::vector<uint8_t> back(4 * kSectorBytes);
  stack.chip().inject_read_error(stack.chip_page(2), -EUCLEAN);
  ASSERT_EQ(disk.read(8, back), 0);
  EXPECT_EQ(back, sectors_of(8, 4, 1)) << "a corrected read answers the data unchanged";

  stack.chip().inject_read_error(stack.chip_page(5), -EBADMSG);
  EXPECT_EQ(disk.read(20, back), -EIO);
  EXPECT_EQ(disk.read(20, back), -EIO) << "the failed page was not cached";
  std::vector<uint8_t> one(kSectorBytes);
  EXPECT_EQ(disk.read(21, one), -EIO) << "any sector of the page";
  EXPECT_EQ(disk.read(16, back), 0) << "the pages around it read";
  EXPECT_EQ(back, sectors_of(16, 4, 1));
  EXPECT_EQ(disk.write(22, sectors_of(22, 1, 2)), -EIO) << "a partial write needs the page";

  stack.chip().clear_faults();
  ASSERT_EQ(disk.read(20, back), 0);
  EXPECT_EQ(back, sectors_of(20, 4, 1)) << "the good data, not the bits of the failed read";

  // A whole-page write does not need the old page and moves it on.
  stack.chip().inject_read_error(stack.chip_page(6), -EBADMSG);
  EXPECT_EQ(disk.write(24, sectors_of(24, 4, 3)), 0);
  ASSERT_EQ(disk.read(24, back), 0);
  EXPECT_EQ(back, sectors_of(24, 4, 3));
}

// With bit flips on every read at random, each read of the disk either
// answers exactly what was written or fails with -5.
TEST(BitFlips, RandomFlipsNeverChangeTheDataAnswered) {
  LogCapture quiet;
  DiskStack stack;
  BlockDisk& disk = *stack.disk;
  const uint32_t sectors = static_cast<uint32_t>(disk.capacity());
  ASSERT_EQ(disk.write(0, sectors_of(0, sectors, 7)), 0);
  ASSERT_EQ(disk.flush(), 0);

  stack.chip().set_bitflip_rates(0.1, 0.05);
  std::mt19937 rng(5);
  uint32_t answered = 0, failed = 0;
  for (int i = 0; i < 3000; ++i) {
    const uint32_t first = rng() % sectors;
    const uint32_t count = std::min<uint32_t>(1 + rng() % 9, sectors - first);
    std::vector<uint8_t> back(size_t{count} * kSectorBytes);
    const int ret = disk.read(first, back);
    if (ret == 0) {
      ++answered;
      ASSERT_EQ(back, sectors_of(first, count, 7)) << "read of " << count << " at " << first;
    } else {
      ++failed;
      ASSERT_EQ(ret, -EIO);
    }
  }
  EXPECT_GT(answered, 1000u);
  EXPECT_GT(failed, 50u);
  stack.chip().set_bitflip_rates(0, 0);
  std::vector<uint8_t> all(size_t{sectors} * kSectorBytes);
  ASSERT_EQ(disk.read(0, all), 0);
  EXPECT_EQ(all, sectors_of(0, sectors, 7));
}

}  // namespace
