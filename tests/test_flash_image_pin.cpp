// Pins the exact bytes a seeded mixed workload leaves on the flash.
//
// The workload runs on a small chip (64 blocks of 16 pages of 2048 bytes)
// through the block device's sector entries: sector writes of many sizes and
// alignments (so the cache merges, pushes out and reads pages for partial
// writes), whole-page writes that bypass the cache, reads checked against a
// model of the disk, flushes, forced collections (gc_one, gc_all) and a
// release and bring-up of the partition after every round. At the end the
// whole raw chip storage (main data and OOB of every page) is hashed.
//
// kPinnedImageHash pins those on-flash bytes. A mismatch means the code now
// writes different bytes to the flash: different data, spare records,
// mapping pages, marks, or the same pages in other places or another order.
// Optimisations must never do that. A deliberate change of the format or of
// the write, collection or mount behaviour must re-record the constant (the
// failure message prints the new value) and say why in the commit message.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "platform/splitmix64.h"
#include "support/flash_hash.h"
#include "support/sim_partition.h"

namespace {

// Recorded from the workload below at commit 350836e; see the file comment
// before changing it.
constexpr uint64_t kPinnedImageHash = 0xFE2B6D3D8CE57AA3ull;

constexpr uint32_t kSector = 512;
constexpr uint64_t kSeed = 20240607;

// The block device over a fresh chip, brought up as the add hook does, with
// a model of what each sector must read back.
class PinnedDisk {
 public:
  PinnedDisk() : sim(small_chip(64, 16)) {
    blk = kzalloc_record<nyx_nftl_blk_t>();
    blk->mbd.mtd = sim.mtd();
    bring_up();
    model.assign(size_t(sectors) * kSector, 0xFF);  // never written: 0xFF
  }
  ~PinnedDisk() {
    nyx_nftl_part_release(blk);
    kfree_record(blk);
  }
  PinnedDisk(const PinnedDisk&) = delete;
  PinnedDisk& operator=(const PinnedDisk&) = delete;

  void bring_up() {
    ASSERT_EQ(nyx_nftl_initialize(blk), 0);
    ASSERT_NE(blk->nyx_nftl_part, nullptr);
    sectors = blk->nyx_nftl_part->logic_cap_in_sects;
  }
  void remount() {
    nyx_nftl_part_release(blk);
    bring_up();
  }

  nyx_nftl_part_t* part() { return blk->nyx_nftl_part; }

  void write(uint32_t first, uint32_t count, SplitMix64& rng) {
    std::vector<uint8_t> data(size_t(count) * kSector);
    for (size_t i = 0; i < data.size(); i += 8) {
      const uint64_t word = rng.next();
      std::memcpy(&data[i], &word, 8);
    }
    mutex_lock(&part()->nyx_nftl_lock);
    const uint32_t ret = blk->write_data(blk, first, count, data.data());
    mutex_unlock(&part()->nyx_nftl_lock);
    ASSERT_EQ(ret, 0u) << "write of " << count << " sectors at " << first;
    std::memcpy(&model[size_t(first) * kSector], data.data(), data.size());
  }

  void check_read(uint32_t first, uint32_t count) {
    std::vector<uint8_t> data(size_t(count) * kSector);
    mutex_lock(&part()->nyx_nftl_lock);
    const uint32_t ret = blk->read_data(blk, first, count, data.data());
    mutex_unlock(&part()->nyx_nftl_lock);
    ASSERT_EQ(ret, 0u) << "read of " << count << " sectors at " << first;
    ASSERT_EQ(std::memcmp(data.data(), &model[size_t(first) * kSector], data.size()), 0)
        << "sectors " << first << ".." << first + count - 1 << " read back wrong";
  }

  void flush() {
    mutex_lock(&part()->nyx_nftl_lock);
    const uint32_t ret = blk->flush_write_cache(blk);
    mutex_unlock(&part()->nyx_nftl_lock);
    ASSERT_EQ(ret, 0u);
  }

  void collect(bool all) {
    mutex_lock(&part()->nyx_nftl_lock);
    if (all) {
      gc_all(part());
    } else {
      gc_one(part());
    }
    mutex_unlock(&part()->nyx_nftl_lock);
  }

  SimPartition sim;
  nyx_nftl_blk_t* blk = nullptr;
  uint32_t sectors = 0;
  std::vector<uint8_t> model;
};

struct Outcome {
  uint64_t hash = 0;
  nandsim::Counters counters;
};

// The seeded workload; every read and the final read-back are checked
// against the model.
Outcome run_pinned_workload() {
  LogCapture quiet;
  PinnedDisk disk;
  SplitMix64 rng(kSeed);
  const uint32_t spp = disk.part()->nand_chip->sector_per_page;
  const uint32_t pages = disk.sectors / spp;
  for (int round = 0; round < 8; ++round) {
    for (int op = 0; op < 400; ++op) {
      const uint32_t kind = rng.below(100);
      if (kind < 55) {
        // A run of 1 to 12 sectors anywhere.
        const uint32_t first = rng.below(disk.sectors);
        const uint32_t count = std::min<uint32_t>(1 + rng.below(12), disk.sectors - first);
        disk.write(first, count, rng);
      } else if (kind < 80) {
        // One to three whole pages, page aligned.
        const uint32_t page = rng.below(pages);
        const uint32_t count = std::min<uint32_t>(1 + rng.below(3), pages - page);
        disk.write(page * spp, count * spp, rng);
      } else if (kind < 95) {
        const uint32_t first = rng.below(disk.sectors);
        const uint32_t count = std::min<uint32_t>(1 + rng.below(16), disk.sectors - first);
        disk.check_read(first, count);
      } else {
        disk.flush();
      }
      if (::testing::Test::HasFatalFailure()) return {};
    }
    disk.flush();
    if (round % 2 == 1) disk.collect(false);
    if (round == 5) disk.collect(true);
    disk.remount();
    if (::testing::Test::HasFatalFailure()) return {};
  }
  for (uint32_t s = 0; s < disk.sectors; s += 64) {
    disk.check_read(s, std::min<uint32_t>(64, disk.sectors - s));
    if (::testing::Test::HasFatalFailure()) return {};
  }
  return {raw_image_hash(disk.sim.chip()), disk.sim.chip().counters()};
}

std::string hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%016llXull", static_cast<unsigned long long>(v));
  return buf;
}

TEST(FlashImagePin, SeededWorkloadLeavesTheRecordedBytes) {
  const Outcome out = run_pinned_workload();
  ASSERT_FALSE(HasFatalFailure());
  // The workload must have reached the collector and the whole chip, or the
  // pin would cover little.
  EXPECT_GT(out.counters.erases, 64u);
  EXPECT_EQ(out.hash, kPinnedImageHash)
      << "the flash image differs from the recorded one: the code now writes different bytes.\n"
      << "computed hash " << hex(out.hash) << " (programs " << out.counters.programs << ", erases "
      << out.counters.erases << ", reads " << out.counters.reads << ").\n"
      << "Only a deliberate format or behaviour change may re-record kPinnedImageHash.";
}

// The pin is only meaningful if the bytes are a function of the workload:
// uninitialised memory reaching the flash would show here as two runs
// writing different images.
TEST(FlashImagePin, TheWorkloadWritesTheSameImageEveryTime) {
  const Outcome first = run_pinned_workload();
  ASSERT_FALSE(HasFatalFailure());
  const Outcome second = run_pinned_workload();
  ASSERT_FALSE(HasFatalFailure());
  EXPECT_EQ(first.hash, second.hash);
  EXPECT_EQ(first.counters.programs, second.counters.programs);
  EXPECT_EQ(first.counters.erases, second.counters.erases);
}

}  // namespace
