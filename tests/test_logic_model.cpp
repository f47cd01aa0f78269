// Model-based tests of the logical page layer: seeded random sequences of
// whole-page writes and reads, remounts, garbage collection (through the
// write path, the worker's pass and the debug entries), wear-levelling
// reclaim and injected program and erase failures, compared after every
// step with a plain in-memory model of the disk, with the consistency
// checker run alongside. Also scenarios: the newest copy of every page wins
// across remounts (a power loss at a block's retirement included); a failed
// write or collection step leaves every page readable and every block
// accounted for; every logical page of the disk can be written; partitions
// too small to mount refuse writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl_check.h"
#include "support/sim_partition.h"

namespace {

// --- Page contents --------------------------------------------------------

// Version 0 is the never-written page (all 0xFF). Any other version gives a
// page whose first 8 bytes name its logical page and version and whose other
// bytes derive from both, so a wrong read says which write it came from.
std::vector<uchar> page_image(uint32 size, uint32 logic_page, uint32 version) {
  std::vector<uchar> page(size, 0xFF);
  if (version == 0) return page;
  uint32 x = (logic_page + 1) * 2654435761u ^ version * 2246822519u;
  for (auto& byte : page) {
    x = x * 1664525u + 1013904223u;
    byte = static_cast<uchar>(x >> 24);
  }
  for (int i = 0; i < 4; ++i) {
    page[i] = static_cast<uchar>(logic_page >> (8 * i));
    page[4 + i] = static_cast<uchar>(version >> (8 * i));
  }
  return page;
}

std::string describe_content(const std::vector<uchar>& page) {
  if (std::all_of(page.begin(), page.end(), [](uchar b) { return b == 0xFF; }))
    return "erased (0xFF)";
  uint32 logic_page = 0, version = 0;
  for (int i = 0; i < 4; ++i) {
    logic_page |= uint32(page[i]) << (8 * i);
    version |= uint32(page[4 + i]) << (8 * i);
  }
  std::ostringstream text;
  text << "stamped logical page " << logic_page << " version " << version;
  if (page_image(page.size(), logic_page, version) != page) text << " (body damaged)";
  return text.str();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines)
    all += "  " + line + (line.empty() || line.back() != '\n' ? "\n" : "");
  return all;
}

// --- The model and its driver ---------------------------------------------

struct Shape {
  uint32 blocks;
  uint32 pages_per_block;
  uint32 page_size;
};

nandsim::Options chip_options(const Shape& shape) {
  return small_chip(shape.blocks, shape.pages_per_block, shape.page_size,
                    shape.page_size == 512 ? 32 : 64);
}

// Drives one partition and a model of its logical pages: for each page the
// versions a read may return (a version stands for its page image, see
// page_image; version 0 is the never-written page). A write that returned 0 leaves exactly its
// own version; a write that returned 1 may or may not have happened, so its
// version joins those the page may show, until the next successful write.
class ModelDriver {
 public:
  ModelDriver(const Shape& shape, uint64_t seed) : sim_(chip_options(shape)), rng_(seed) {}

  // Attaches and prepares the model; false (with a failure recorded) when
  // the partition does not come up ready.
  bool start() {
    if (!attach()) return false;
    page_size_ = part()->nand_chip->bytes_per_page;
    pages_ = nyx_nftl_logic_pages(part());
    model_.assign(pages_, std::vector<uint32>{0});
    return true;
  }

  nyx_nftl_part_t* part() { return sim_.part; }
  nandsim::NandChip& chip() { return sim_.chip(); }
  uint32 pages() const { return pages_; }
  std::mt19937_64& rng() { return rng_; }
  uint32 failed_writes() const { return failed_writes_; }
  void set_faults_expected(bool expected) { faults_expected_ = expected; }
  // Lowers the wear-levelling thresholds so that reclaim requests come
  // within a short run (they are set again at every attach).
  void set_wear_levelling(uint16 threshold, uint16 span) {
    wl_threshold_ = threshold;
    wl_span_ = span;
    apply_wear_levelling();
  }

  // Writes a new version of `logic_page` and reads it back.
  void write(uint32 logic_page) {
    const uint32 version = next_version_++;
    auto image = page_image(page_size_, logic_page, version);
    const uint32 ret = nand_write_logic_page(part(), logic_page, image.data());
    if (ret == 0) {
      model_[logic_page] = {version};
    } else {
      model_[logic_page].push_back(version);
      ++failed_writes_;
      if (!faults_expected_)
        ADD_FAILURE() << "write of logical page " << logic_page << " version " << version
                      << " returned " << ret << context();
    }
    if (!chip().powered_off()) verify(logic_page);
  }

  // Reads `logic_page` and compares it with the model.
  void verify(uint32 logic_page) {
    std::vector<uchar> buf(page_size_, 0x5A);
    const uint32 ret = nand_read_logic_page(part(), logic_page, buf.data());
    EXPECT_EQ(ret, 0u) << "read of logical page " << logic_page << context();
    for (uint32 version : model_[logic_page]) {
      if (buf == page_image(page_size_, logic_page, version)) return;
    }
    std::ostringstream expected;
    for (uint32 version : model_[logic_page]) expected << " " << version;
    ADD_FAILURE() << "logical page " << logic_page << " reads " << describe_content(buf)
                  << "; expected version(s)" << expected.str() << context();
  }

  void verify_all() {
    for (uint32 n = 0; n < pages_ && !::testing::Test::HasFailure(); ++n) verify(n);
  }

  // One pass of the background worker's reclamation work.
  void worker_pass() {
    EXPECT_EQ(do_static_wear_leveling(part()), 0u);
    const uint32 gc = garbage_collect(part());
    if (!faults_expected_) {
      EXPECT_EQ(gc, 0u) << "garbage_collect" << context();
    }
    // A reclaim request whose block was freed while it waited fails; the
    // worker only logs that, and so does this pass.
    do_prio_gc(part());
  }

  void check_consistent(const char* when) {
    auto problems = nyx_nftl_check(part());
    if (!problems.empty())
      ADD_FAILURE() << "inconsistent " << when << ":\n" << joined(problems) << context();
  }

  // Detaches and attaches again, as after a restart, then compares every page.
  // Every other remount attaches under the other collection policy: the
  // policy is not part of the format, so the disk must come back whole.
  bool remount() {
    chip().clear_faults();
    policy_ = policy_ == NYX_GC_STANDARD ? NYX_GC_GREEDY : NYX_GC_STANDARD;
    if (!attach()) return false;
    check_consistent("after remount");
    verify_all();
    return !::testing::Test::HasFailure();
  }

  void note_step(uint64_t step) {
    tally_log();
    step_ = step;
  }

  // How many log lines of the run so far contained `fragment`.
  uint32 logged(const std::string& fragment) {
    tally_log();
    return tally_[fragment];
  }

 private:
  bool attach() {
    const int ret = sim_.attach(nyx_nftl_attach_options{policy_});
    if (ret != 0) {
      ADD_FAILURE() << "attach returned " << ret << context();
      return false;
    }
    if (part()->part_current_used_block == nullptr) {
      ADD_FAILURE() << "the partition is not ready after attach" << context();
      return false;
    }
    apply_wear_levelling();
    return true;
  }

  void apply_wear_levelling() {
    if (wl_threshold_ == 0 || part() == nullptr) return;
    part()->s_wl.erase_threshold = wl_threshold_;
    part()->s_wl.erase_span = wl_span_;
  }

  // Counts the log lines of interest since the last tally, then forgets them
  // (the log of one step is kept for failure messages).
  void tally_log() {
    for (const auto& line : log_.lines()) {
      for (const char* fragment : kTallied) {
        if (line.find(fragment) != std::string::npos) ++tally_[fragment];
      }
    }
    log_.clear();
  }

  std::string context() const {
    std::ostringstream text;
    text << "\n  at step " << step_ << " (collection policy " << nyx_nftl_gc_policy_name(policy_)
         << "); log of the step:\n";
    for (const auto& line : log_.lines()) text << "    " << line;
    return text.str();
  }

  SimPartition sim_;
  std::mt19937_64 rng_;
  LogCapture log_;
  uint32 page_size_ = 0;
  uint32 pages_ = 0;
  std::vector<std::vector<uint32>> model_;
  uint32 next_version_ = 1;
  uint32 failed_writes_ = 0;
  bool faults_expected_ = false;
  uint16 wl_threshold_ = 0;
  uint16 wl_span_ = 0;
  uint64_t step_ = 0;
  std::map<std::string, uint32> tally_;
  uint16 policy_ = test_attach_options().gc_policy;

 public:
  // Log lines that show which paths a run went through, or that must stay silent.
  static constexpr const char* kTallied[] = {"write error", "erase error", "invaild_page num error",
                                             "more than pages_per_blk", "error 22"};
};

// --- The randomized run ---------------------------------------------------

struct ModelCase {
  Shape shape;
  uint64_t seed;
  uint32 steps;
  uint32 check_every;   // run the checker every this many steps
  bool prefill;         // write every logical page once before the run
  bool remounts;        // detach and attach at random points
  uint32 fault_budget;  // injected program/erase failures (0: none)
};

std::string case_name(const ::testing::TestParamInfo<ModelCase>& info) {
  const ModelCase& c = info.param;
  std::ostringstream name;
  name << "b" << c.shape.blocks << "_p" << c.shape.pages_per_block << "_s" << c.shape.page_size
       << "_seed" << c.seed << (c.prefill ? "_full" : "") << (c.fault_budget ? "_faults" : "");
  return name.str();
}

class LogicModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(LogicModelTest, MatchesTheModelAfterEveryStep) {
  const ModelCase& c = GetParam();
  ModelDriver driver(c.shape, c.seed);
  ASSERT_TRUE(driver.start());
  driver.set_wear_levelling(1, 2);
  driver.set_faults_expected(c.fault_budget > 0);
  auto& rng = driver.rng();
  auto below = [&](uint64_t n) { return static_cast<uint32>(rng() % n); };

  const uint32 pages = driver.pages();
  const uint32 hot = std::max<uint32>(pages / 8, 4);
  if (c.prefill) {
    for (uint32 n = 0; n < pages; ++n) {
      driver.note_step(0);
      driver.write(n);
      if (n % 256 == 0) driver.check_consistent("during the fill");
      if (HasFailure()) return;
    }
  }

  uint32 faults_left = c.fault_budget;
  for (uint64_t step = 1; step <= c.steps; ++step) {
    driver.note_step(step);
    const uint32 roll = below(1000);
    if (roll < 650) {
      driver.write(below(100) < 70 ? below(hot) : below(pages));
    } else if (roll < 900) {
      driver.verify(below(pages));
    } else if (roll < 975) {
      driver.worker_pass();
    } else if (roll < 978) {
      gc_one(driver.part());
    } else if (roll < 979) {
      EXPECT_EQ(gc_all(driver.part()), 0u);
    } else if (roll < 983 && c.remounts) {
      if (!driver.remount()) return;
    } else if (faults_left > 0) {
      --faults_left;
      if (below(3) == 0)
        driver.chip().fail_nth_erase(1 + below(4));
      else
        driver.chip().fail_nth_program(1 + below(40));
    }
    if (step % c.check_every == 0) driver.check_consistent("after the step");
    if (HasFailure()) return;
  }
  driver.note_step(c.steps + 1);
  driver.chip().clear_faults();
  driver.check_consistent("at the end");
  driver.verify_all();
  if (c.remounts && !HasFailure()) driver.remount();
  // The layer's own consistency messages must stay silent; injected faults
  // must have reached the recovery paths.
  EXPECT_EQ(driver.logged("invaild_page num error"), 0u);
  EXPECT_EQ(driver.logged("more than pages_per_blk"), 0u);
  EXPECT_EQ(driver.logged("error 22"), 0u);
  if (c.fault_budget > 0) {
    EXPECT_GT(driver.logged("write error") + driver.logged("erase error"), 0u);
  }
}

std::vector<ModelCase> model_cases() {
  std::vector<ModelCase> cases;
  // Longer runs for larger blocks, so that collection cycles come round.
  const Shape small[] = {{32, 16, 2048}, {40, 4, 512}, {40, 16, 512}, {40, 64, 2048}};
  for (const Shape& shape : small) {
    const uint32 steps = shape.pages_per_block == 64 ? 6000 : 4000;
    cases.push_back({shape, 1, steps, 1, false, true, 0});
    cases.push_back({shape, 3, steps, 1, true, true, 0});
  }
  // 300 blocks: the checker runs every 10 steps to keep the cases short.
  const Shape large[] = {{300, 16, 512}, {300, 64, 512}};
  for (const Shape& shape : large) {
    cases.push_back({shape, 1, 3000, 10, false, true, 0});
    cases.push_back({shape, 2, 3000, 10, true, true, 0});
  }
  // Injected failures: each failed program or erase retires a block, so the
  // budget stays well inside the spare blocks (15 more than needed on 40
  // blocks). 32 blocks have none to lose (a remount would find fewer than 15
  // spare blocks), so they run without faults.
  cases.push_back({{40, 16, 512}, 11, 4000, 1, false, true, 8});
  cases.push_back({{40, 4, 512}, 12, 4000, 1, false, true, 8});
  cases.push_back({{40, 64, 2048}, 14, 6000, 1, true, true, 8});
  cases.push_back({{300, 16, 512}, 15, 3000, 10, true, true, 12});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, LogicModelTest, ::testing::ValuesIn(model_cases()), case_name);

// --- Newest copy across remounts ------------------------------------------

// Scenario tests keep the kernel log quiet (the driver still captures it).
class Scenario : public ::testing::Test {
 protected:
  void SetUp() override {
    kernel_log_set_sink([](std::string_view) {});
  }
  void TearDown() override { kernel_log_set_sink({}); }
};

TEST_F(Scenario, NewestCopyWinsAcrossRemounts) {
  ModelDriver driver({40, 16, 2048}, 7);
  ASSERT_TRUE(driver.start());
  const uint32 pages = driver.pages();  // 128; 15 data pages per block
  // Every page once: eight full blocks and part of a ninth.
  for (uint32 n = 0; n < pages; ++n) driver.write(n);
  ASSERT_TRUE(driver.remount());
  // Rewrite every third page, and a few pages twice inside one block, so
  // that copies lie in older full blocks, in one block at two pages, and in
  // the current block.
  for (uint32 n = 0; n < pages; n += 3) driver.write(n);
  for (uint32 n : {5u, 6u, 5u, 7u, 6u, 5u}) driver.write(n);
  driver.check_consistent("before the second remount");
  ASSERT_TRUE(driver.remount());
  for (uint32 n = 1; n < pages; n += 4) driver.write(n);
  for (uint32 round = 0; round < 40; ++round) driver.write(round % 9);
  ASSERT_TRUE(driver.remount());
  ASSERT_TRUE(driver.remount());  // a remount with no write in between changes nothing
  EXPECT_EQ(driver.failed_writes(), 0u);
}

// The power fails right after a block's mapping page is written, before the
// next block is erased: the mount then finds every data block full and takes
// a fresh block from the free list. Pages written after that must still win
// over their copies in the full blocks at the next mount.
TEST_F(Scenario, NewestCopyWinsAfterPowerLossAtBlockRetirement) {
  ModelDriver driver({40, 16, 2048}, 8);
  ASSERT_TRUE(driver.start());
  driver.set_faults_expected(true);
  nyx_nftl_part_t* part = driver.part();
  const uint32 P = part->nand_chip->pages_per_blk;
  // Fill blocks until only the mapping page of the current block is left.
  for (uint32 n = 0; part->current_block_used_page != P - 1 || n < 3 * (P - 1); ++n)
    driver.write(n % 40);
  ASSERT_EQ(part->current_block_used_page, P - 1);
  // The next write programs the mapping page, then the power goes.
  driver.chip().power_cut_after(1, nandsim::CutKind::Clean);
  driver.write(3);  // may fail; the model accepts either version
  driver.chip().power_on();
  ASSERT_TRUE(driver.remount());
  // The newest full block's pages, rewritten into the block the mount took,
  // then that block filled and retired too.
  for (uint32 round = 0; round < 2 * P; ++round) driver.write(round % 40);
  driver.check_consistent("before the remount");
  ASSERT_TRUE(driver.remount());
}

// --- Failed writes ----------------------------------------------------------

// A page write fails while no free block is left for the recovery: the write
// reports failure and the page keeps a readable copy (old or new), whether
// its old copy lies in a full block or in the current block. Once blocks are
// free again, writes and a remount work as before.
TEST_F(Scenario, WithoutRecoveryKeepsAReadableCopy) {
  ModelDriver driver({40, 16, 2048}, 9);
  ASSERT_TRUE(driver.start());
  driver.set_faults_expected(true);
  for (uint32 n = 0; n < 20; ++n) driver.write(n);  // 0..14 in a full block, 15..19 current
  nyx_nftl_part_t* part = driver.part();
  std::vector<_phy_block_info*> held;
  while (_phy_block_info* block = out_phy_block_from_free_list(part)) held.push_back(block);
  ASSERT_FALSE(held.empty());

  driver.chip().fail_nth_program(1);
  driver.write(3);
  EXPECT_EQ(driver.failed_writes(), 1u);
  driver.check_consistent("after a failed write over a full block's page");
  driver.chip().fail_nth_program(1);
  driver.write(17);
  EXPECT_EQ(driver.failed_writes(), 2u);
  driver.check_consistent("after a failed write over a current block's page");

  for (_phy_block_info* block : held) put_phy_block_to_free_list(part, block);
  driver.check_consistent("with the free blocks back");
  for (uint32 n : {3u, 17u, 3u, 30u}) driver.write(n);
  EXPECT_EQ(driver.failed_writes(), 2u);
  driver.check_consistent("after writing again");
  ASSERT_TRUE(driver.remount());
}

// --- Collection steps that cannot finish -----------------------------------

bool on_invalid_page_list(nyx_nftl_part_t* part, const _phy_block_info* block) {
  for (auto* b = part->invalid_page_head.invalid_page_next; b != nullptr;
       b = b->invalid_page_next) {
    if (b == block) return true;
  }
  return false;
}
bool on_free_list(nyx_nftl_part_t* part, const _phy_block_info* block) {
  for (auto* b = part->free_head.free_next; b != nullptr; b = b->free_next) {
    if (b == block) return true;
  }
  return false;
}

// A collection step whose page move fails (the write fails and no free block
// is left for its recovery) must not lose its victim: the victim still holds
// valid pages and belongs back on the invalid-page list, where a later step
// can finish it. Left on no list it is out of circulation until a remount,
// even once every page in it is invalid.
TEST_F(Scenario, FailedStepKeepsItsVictimListed) {
  ModelDriver driver({40, 16, 2048}, 11);
  ASSERT_TRUE(driver.start());
  driver.set_faults_expected(true);
  for (uint32 n = 0; n < 20; ++n) driver.write(n);  // block A: 0..14, full; 15..19 current
  nyx_nftl_part_t* part = driver.part();
  _phy_block_info* victim = part->invalid_page_head.invalid_page_next;
  ASSERT_NE(victim, nullptr);
  std::vector<_phy_block_info*> held;
  while (_phy_block_info* block = out_phy_block_from_free_list(part)) held.push_back(block);

  driver.chip().fail_nth_program(1);
  EXPECT_EQ(garbage_collect_first(part, nullptr, 65535), 1u);
  for (_phy_block_info* block : held) put_phy_block_to_free_list(part, block);
  EXPECT_TRUE(on_invalid_page_list(part, victim));
  driver.check_consistent("after a failed collection step");
  driver.verify_all();
  // Every page of the victim rewritten: it must come back to the free list.
  for (uint32 n = 0; n < 15; ++n) driver.write(n);
  EXPECT_TRUE(on_free_list(part, victim));
}

// A victim whose stored invalid_page_count is lower than its recount: once
// its valid pages have moved, the recount (pages_per_blk) must be what
// decides, so that the victim is freed and gc_all comes to an end instead of
// picking the emptied victim again and again.
TEST_F(Scenario, EndsWhenAStoredCountIsTooLow) {
  ModelDriver driver({40, 16, 2048}, 12);
  ASSERT_TRUE(driver.start());
  for (uint32 n = 0; n < 15; ++n) driver.write(n);  // block A full
  for (uint32 n = 0; n < 10; ++n) driver.write(n);  // 10 of its pages rewritten: count 11
  nyx_nftl_part_t* part = driver.part();
  _phy_block_info* victim = part->invalid_page_head.invalid_page_next;
  ASSERT_NE(victim, nullptr);
  ASSERT_EQ(victim->invalid_page_count, 11u);
  victim->invalid_page_count = 10;  // one short, still worth a gc_one
  uint32 rounds = 0;
  while (rounds < 5 && gc_one(part) == 0) ++rounds;
  EXPECT_LT(rounds, 5u) << "gc_one keeps picking the emptied victim";
  EXPECT_TRUE(on_free_list(part, victim));
  driver.check_consistent("after collecting");
  driver.verify_all();
}

// --- Capacity ---------------------------------------------------------------

// Every logical page of the disk can be written once. A block holds
// pages_per_blk - 1 logical pages (its last page is the mapping page), so the
// logical capacity must leave room for that as well as for collection.
TEST_F(Scenario, EveryLogicalPageCanBeWritten) {
  const Shape shapes[] = {{300, 4, 512}, {300, 8, 512}, {300, 16, 512}, {40, 4, 512}};
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(::testing::Message()
                 << shape.blocks << " blocks of " << shape.pages_per_block << " pages");
    ModelDriver driver(shape, 10);
    ASSERT_TRUE(driver.start());
    driver.set_faults_expected(true);  // counted below rather than one by one
    uint32 first_failure = 0;
    for (uint32 n = 0; n < driver.pages(); ++n) {
      driver.write(n);
      if (driver.failed_writes() > 0) {
        first_failure = n;
        break;
      }
    }
    EXPECT_EQ(driver.failed_writes(), 0u)
        << "the write of logical page " << first_failure << " of " << driver.pages() << " failed";
    driver.check_consistent("after writing every page");
  }
}

// --- Partitions too small to mount ----------------------------------------

// 17 to 31 blocks attach, but the reserve rule leaves fewer than 15 spare
// blocks: the partition is not ready and refuses writes without touching
// the flash; never-written pages still read as 0xFF.
TEST(SmallPartitionTest, TooFewSpareBlocksAttachButRefuseWrites) {
  kernel_log_set_sink([](std::string_view) {});
  for (uint32 blocks : {17u, 31u}) {
    SCOPED_TRACE(blocks);
    SimPartition sim(small_chip(blocks, 16, 2048));
    ASSERT_EQ(sim.attach(), 0);
    nyx_nftl_part_t* part = sim.part;
    EXPECT_EQ(part->part_current_used_block, nullptr);
    const auto before = sim.chip().counters();
    auto image = page_image(part->nand_chip->bytes_per_page, 0, 1);
    EXPECT_EQ(nand_write_logic_page(part, 0, image.data()), 1u);
    EXPECT_EQ(sim.chip().counters().programs, before.programs);
    EXPECT_EQ(sim.chip().counters().erases, before.erases);
    std::vector<uchar> buf(part->nand_chip->bytes_per_page, 0);
    EXPECT_EQ(nand_read_logic_page(part, 0, buf.data()), 0u);
    EXPECT_EQ(buf, page_image(part->nand_chip->bytes_per_page, 0, 0));
  }
  SimPartition sim(small_chip(32, 16, 2048));
  ASSERT_EQ(sim.attach(), 0);
  EXPECT_NE(sim.part->part_current_used_block, nullptr);  // 32 blocks leave exactly 15 spare
  kernel_log_set_sink({});
}

}  // namespace
