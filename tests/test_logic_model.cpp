// The randomized model test of the logical page layer: seeded sequences of
// whole-page writes, trims and reads, remounts (every other one under the other
// collection policy: the policy is not part of the format), collection
// through the write path, the worker's pass and the debug entries,
// wear-levelling reclaim and injected program and erase failures, compared
// after every step with a plain model of the disk, the consistency checker
// run alongside, and the layer's own consistency messages kept silent.
#include <gtest/gtest.h>

#include <random>

#include "support/rig.h"

namespace {

struct ModelCase {
  uint32 blocks, pages_per_block, page_size;
  uint64_t seed;
  uint32 steps;
  uint32 check_every;   // the checker every this many steps
  bool prefill;         // every logical page written once first
  uint32 fault_budget;  // injected program/erase failures
};

// One partition and, for each logical page, the versions a read may return
// (0: never written). A write that returned 0 leaves its own version; one
// that returned 1 may or may not have happened, so its version joins the
// others until the next successful write. A trimmed page reads erased; after
// a remount it may read erased or as any version written to it before, until
// it is written again.
class ModelDriver {
 public:
  explicit ModelDriver(const ModelCase& c)
      : rig_(small_chip(c.blocks, c.pages_per_block, c.page_size, c.page_size == 512 ? 32 : 64),
             "NFTL_Part", false),
        faults_expected_(c.fault_budget > 0),
        rng(c.seed) {}

  bool start() {
    model_.assign(attach() ? nyx_nftl_logic_pages(part()) : 0, std::vector<uint32>{0});
    history_.assign(model_.size(), {});
    trimmed_.assign(model_.size(), false);
    return !model_.empty();
  }
  nyx_nftl_part_t* part() { return rig_.part; }
  nandsim::NandChip& chip() { return rig_.chip(); }
  uint32 pages() const { return static_cast<uint32>(model_.size()); }

  void write(uint32 lp) {
    const uint32 ret = rig_.write(lp, ++version_);
    if (ret == 0) model_[lp].clear();
    if (ret == 0) trimmed_[lp] = false;
    model_[lp].push_back(version_);
    history_[lp].push_back(version_);
    if (ret != 0 && !faults_expected_) ADD_FAILURE() << "write of page " << lp << where();
    verify(lp);
  }
  void trim(uint32 first, uint32 count) {
    for (uint32 lp = first; lp < std::min(first + count, pages()); ++lp) {
      EXPECT_EQ(nand_trim_logic_page(part(), lp), 0u) << "trim of page " << lp << where();
      model_[lp].assign(1, 0);
      trimmed_[lp] = true;
      verify(lp);
    }
  }
  // Collects and erases the trimmed pages' copies: only those in the current
  // block may come back after that.
  void make_trims_last() {
    uint32 kept = 0;
    EXPECT_TRUE(gc_trimmed(part(), &kept) == 0 || faults_expected_) << where();
    const nyx_nftl_part_t* p = part();
    std::vector<bool> in_current(pages(), false);
    for (uint32 i = 0; p->part_current_used_block && i < p->current_block_used_page; ++i)
      if (p->part_phy_page_map->phy_page_map[i] < pages())
        in_current[p->part_phy_page_map->phy_page_map[i]] = true;
    for (uint32 lp = 0; lp < pages(); ++lp)
      if (trimmed_[lp] && !in_current[lp] && !faults_expected_) history_[lp].clear();
  }
  int64_t read_version(uint32 lp) {
    std::vector<uchar> buf(rig_.page_size(), 0x5A);
    EXPECT_EQ(nand_read_logic_page(part(), lp, buf.data()), 0u) << "read of " << lp << where();
    return stamp_version(buf.data(), buf.size(), lp);
  }
  void verify(uint32 lp) {
    const int64_t got = read_version(lp);
    if (std::find(model_[lp].begin(), model_[lp].end(), got) == model_[lp].end())
      ADD_FAILURE() << "logical page " << lp << " reads version " << got << ", not the last of "
                    << ::testing::PrintToString(model_[lp]) << where();
  }
  void verify_all() {
    for (uint32 n = 0; n < pages() && !::testing::Test::HasFailure(); ++n) verify(n);
  }
  // The worker's reclamation pass. A reclaim request whose block was freed
  // while it waited fails; the worker only logs that.
  void worker_pass() {
    EXPECT_EQ(do_static_wear_leveling(part()), 0u);
    EXPECT_TRUE(garbage_collect(part()) == 0 || faults_expected_) << where();
    do_prio_gc(part());
  }
  void check(const char* when) { EXPECT_EQ(rig_.problems(), "") << when << where(); }
  // A restart under the other policy; every page must come back.
  bool remount() {
    chip().clear_faults();
    policy_ = policy_ == NYX_GC_STANDARD ? NYX_GC_GREEDY : NYX_GC_STANDARD;
    if (!attach()) return false;
    for (uint32 lp = 0; lp < pages(); ++lp) {
      if (!trimmed_[lp]) continue;
      model_[lp] = history_[lp];
      model_[lp].push_back(0);
    }
    check("after remount");
    verify_all();
    // A trimmed page the scan mapped again is an ordinary page from now on.
    for (uint32 lp = 0; lp < pages(); ++lp) {
      const int64_t got = trimmed_[lp] ? read_version(lp) : 0;
      if (got > 0) model_[lp].assign(1, static_cast<uint32>(got));
      if (got > 0) trimmed_[lp] = false;
    }
    return !::testing::Test::HasFailure();
  }
  void note_step(uint64_t step) { step_ = step; }
  LogCapture log;

 private:
  bool attach() {
    const int ret = rig_.attach(nyx_nftl_attach_options{policy_});
    EXPECT_TRUE(ret == 0 && rig_.cur() != nullptr) << "attach returned " << ret << where();
    if (ret != 0 || rig_.cur() == nullptr) return false;
    part()->s_wl.erase_threshold = 1;  // wear levelling asked for early
    part()->s_wl.erase_span = 2;
    return true;
  }
  std::string where() const {
    return " at step " + std::to_string(step_) + " (" + nyx_nftl_gc_policy_name(policy_) +
           " policy)";
  }

  Rig rig_;
  std::vector<std::vector<uint32>> model_;
  std::vector<std::vector<uint32>> history_;  // every version written to each page
  std::vector<bool> trimmed_;                 // trimmed since its last successful write
  uint32 version_ = 0;
  uint64_t step_ = 0;
  uint16 policy_ = test_attach_options().gc_policy;
  bool faults_expected_;

 public:
  std::mt19937_64 rng;
};

class LogicModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(LogicModelTest, MatchesTheModelAfterEveryStep) {
  const ModelCase& c = GetParam();
  ModelDriver driver(c);
  ASSERT_TRUE(driver.start());
  auto below = [&](uint64_t n) { return static_cast<uint32>(driver.rng() % n); };
  const uint32 pages = driver.pages(), hot = std::max<uint32>(pages / 8, 4);
  for (uint32 n = 0; c.prefill && n < pages && !HasFailure(); ++n) {
    driver.note_step(0);
    driver.write(n);
    if (n % 256 == 0) driver.check("during the fill");
  }
  uint32 faults_left = c.fault_budget;
  for (uint64_t step = 1; step <= c.steps && !HasFailure(); ++step) {
    driver.note_step(step);
    const uint32 roll = below(1000);
    if (roll < 610) {
      driver.write(below(100) < 70 ? below(hot) : below(pages));
    } else if (roll < 650) {
      driver.trim(below(100) < 70 ? below(hot) : below(pages), 1 + below(8));
    } else if (roll < 900) {
      driver.verify(below(pages));
    } else if (roll < 975) {
      driver.worker_pass();
    } else if (roll < 978) {
      gc_one(driver.part());
    } else if (roll < 979) {
      EXPECT_EQ(gc_all(driver.part()), 0u);
    } else if (roll < 980) {
      driver.make_trims_last();
    } else if (roll < 984) {
      if (!driver.remount()) return;
    } else if (faults_left > 0) {
      --faults_left;
      if (below(3) == 0)
        driver.chip().fail_nth_erase(1 + below(4));
      else
        driver.chip().fail_nth_program(1 + below(40));
    }
    if (step % c.check_every == 0) driver.check("after the step");
  }
  if (HasFailure()) return;
  driver.note_step(c.steps + 1);
  driver.chip().clear_faults();
  driver.check("at the end");
  driver.verify_all();
  driver.remount();
  for (const char* inconsistency :
       {"invaild_page num error", "more than pages_per_blk", "error 22"})
    EXPECT_FALSE(driver.log.contains(inconsistency)) << inconsistency;
  EXPECT_EQ(driver.log.contains("write error") || driver.log.contains("erase error"),
            c.fault_budget > 0);
}

std::vector<ModelCase> model_cases() {
  std::vector<ModelCase> cases;
  // Longer runs for larger blocks, so that collection cycles come round.
  for (auto [b, p, s] : {std::tuple{32, 16, 2048}, {40, 4, 512}, {40, 16, 512}, {40, 64, 2048}}) {
    cases.push_back({uint32(b), uint32(p), uint32(s), 1, p == 64 ? 6000u : 4000u, 1, false, 0});
    cases.push_back({uint32(b), uint32(p), uint32(s), 3, p == 64 ? 6000u : 4000u, 1, true, 0});
  }
  // 300 blocks: the checker every 10 steps keeps the cases short.
  for (uint32 p : {16, 64}) {
    cases.push_back({300, p, 512, 1, 3000, 10, false, 0});
    cases.push_back({300, p, 512, 2, 3000, 10, true, 0});
  }
  // Each failed program or erase retires a block: the budget stays well
  // inside the spare blocks (32 blocks have none to lose).
  cases.push_back({40, 16, 512, 11, 4000, 1, false, 8});
  cases.push_back({40, 4, 512, 12, 4000, 1, false, 8});
  cases.push_back({40, 64, 2048, 14, 6000, 1, true, 8});
  cases.push_back({300, 16, 512, 15, 3000, 10, true, 12});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, LogicModelTest, ::testing::ValuesIn(model_cases()));

}  // namespace
