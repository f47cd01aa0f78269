// The power-cut campaign: a seeded workload of sector writes of mixed sizes
// and alignments, flushes, reads and worker passes over a small partition
// (blocks fill and retire, garbage collection and wear-levelling reclaim
// run, injected program and erase failures are recovered) is cut off after
// each operation of the flash in turn, in three ways: the operation at the
// cut is dropped, or it is a program that is torn, or an erase that is torn.
// After every cut the partition is attached again on the same chip without
// anything written out, and must keep the promise:
//   - the attach succeeds and the partition is ready, the checker is clean;
//   - every sector holds its last durable write or a later one (a write is
//     durable once a flush that began after it returned success), or reads
//     erased when nothing written to it was durable; never older content,
//     never bytes that were not written to it;
//   - no page is ever programmed twice between erases;
//   - the partition goes on working: a few more writes, a flush and another
//     re-attach bring back exactly what was written.
//
// Figures are printed per variant: cut points tried, passed, failed, and
// each failure's seed and cut point. Environment:
//   NYX_PC_SEED=<n>    the workload's seed (default: one per variant)
//   NYX_PC_K=<k>       run only cut point k (operation k of the workload is
//                      the one at the cut), to replay a failure
//   NYX_PC_J=<j>       with NYX_PC_K: cut the attach after the cut at its
//                      operation j as well
//   NYX_PC_NESTED=<n>  cut again inside one writing attach in n (default 4)
//   NYX_PC_STRIDE=<s>  only every s-th cut point (a quick look at a long
//                      workload)
//   NYX_PC_VERBOSE=1   keep the translation layer's log (with NYX_PC_K)
//   NYX_PC_POINTS=<n>  a longer workload: at least n operations, every one a
//                      cut point (default 5200; 300 under ASan, spread over
//                      a shorter workload)
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/disk_model.h"

#if defined(__SANITIZE_ADDRESS__)
#define NYX_PC_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NYX_PC_SANITIZED 1
#endif
#endif

namespace {

using nandsim::CutKind;

#ifdef NYX_PC_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// 40 blocks of 16 pages of 2048 bytes (4 sectors): 128 logical pages, 512
// sectors; collection starts at 8 free blocks.
constexpr uint32_t kBlocks = 40;
constexpr uint32_t kPagesPerBlock = 16;
constexpr uint64_t kDefaultOps = 5200;
constexpr uint64_t kSanitizedOps = 1500;
constexpr uint64_t kSanitizedPoints = 300;
constexpr size_t kListedFailures = 20;

uint64_t env_number(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::strtoull(text, nullptr, 10);
}

// The translation layer's log is silenced unless NYX_PC_VERBOSE is set (for
// a replayed cut point).
class QuietLog {
 public:
  QuietLog()
      : previous_(std::getenv("NYX_PC_VERBOSE") != nullptr
                      ? kernel_log_set_sink({})
                      : kernel_log_set_sink([](std::string_view) {})) {}
  ~QuietLog() { kernel_log_set_sink(std::move(previous_)); }

 private:
  log_sink_fn previous_;
};

nandsim::Options chip_options(uint64_t seed) {
  nandsim::Options options = small_chip(kBlocks, kPagesPerBlock);
  options.seed = seed;
  return options;
}

// After every attach: wear levelling is asked for early and with a narrow
// span, so that static wear levelling feeds the priority queue within the
// short workload; the greedy policy's low mark is raised for the same
// reason (the reclaims keep the small partition's free blocks above its
// real mark of 6, and the sanitized workload is short).
void lower_wear_levelling(DiskRig& rig) {
  rig.part()->s_wl.erase_threshold = 1;
  rig.part()->s_wl.erase_span = 1;
  rig.part()->gc_low_mark = 20;
}

// ---------------------------------------------------------------------------
// The workload.
// ---------------------------------------------------------------------------

struct Workload {
  uint64_t seed = 1;
  uint64_t ops = kDefaultOps;  // runs until the flash has done this many operations
};

class WorkloadRun {
 public:
  // `check_reads`: compare what the workload reads with the model. The
  // uncut run does; a cut run repeats it exactly up to the cut (the reads
  // still run: a read can start a reclaim step), so it can skip the compare.
  WorkloadRun(DiskRig& rig, SectorModel& model, const Workload& w, bool check_reads)
      : rig_(rig),
        model_(model),
        w_(w),
        check_reads_(check_reads),
        rng_(w.seed),
        start_ops_(rig.chip().mutating_ops()) {}

  // Runs until the workload's operations are done or the power is gone.
  // Empty, or what went wrong while the power was on.
  std::string run() {
    while (ops_done() < w_.ops && !rig_.chip().powered_off()) {
      // A cycle: the standard policy's flag, or the greedy policy's low mark reached.
      const nyx_nftl_part_t* p = rig_.part();
      const bool collecting = p->gc_policy == NYX_GC_GREEDY ? p->free_block_num <= p->gc_low_mark
                                                            : p->gc_strategy.process == 0;
      if (collecting && !collecting_) ++gc_cycles_;
      collecting_ = collecting;
      inject_faults();
      const uint32_t action = pick(100);
      std::string error;
      if (action < 72) {
        error = write_step();
      } else if (action < 82) {
        error = flush_step();
      } else if (action < 92) {
        error = read_step();
      } else {
        rig_.worker_pass();
      }
      if (!error.empty()) return error;
    }
    return {};
  }

  uint64_t ops_done() const { return rig_.chip().mutating_ops() - start_ops_; }
  uint32_t gc_cycles() const { return gc_cycles_; }

 private:
  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
  bool powered() const { return !rig_.chip().powered_off(); }

  // One program failure early (a data page, or a page that collection
  // moves), one erase failure (a block taken for writing), one more program
  // failure at a mapping page, all at fixed points of the workload.
  void inject_faults() {
    const uint64_t done = ops_done();
    if (!program_fault_ && done >= w_.ops / 4) {
      rig_.chip().fail_nth_program(1);
      program_fault_ = true;
    }
    if (!erase_fault_ && done >= w_.ops / 2) {
      rig_.chip().fail_nth_erase(1);
      erase_fault_ = true;
    }
    const nyx_nftl_part_t* part = rig_.part();
    if (!mapping_fault_ && done >= w_.ops * 7 / 10 && part->part_current_used_block != nullptr &&
        part->current_block_used_page == part->nand_chip->pages_per_blk - 1) {
      rig_.chip().fail_nth_program(1);  // the next program is the mapping page
      mapping_fault_ = true;
    }
  }

  // A run of sectors: single sectors, parts of a page, aligned whole pages
  // and longer runs that start and end inside pages; most of them in a hot
  // region at the start of the disk, so that blocks age unevenly.
  void choose_run(uint32_t* first, uint32_t* count) {
    const uint32_t spp = rig_.sectors_per_page();
    const uint32_t sectors = rig_.sectors();
    const uint32_t region = pick(100) < 60 ? sectors / 8 : sectors;
    const uint32_t kind = pick(100);
    if (kind < 30) {
      *first = pick(region);
      *count = 1;
    } else if (kind < 50) {
      const uint32_t page = pick(region / spp);
      const uint32_t offset = pick(spp - 1);
      *first = page * spp + offset;
      *count = 1 + pick(spp - 1 - offset);
    } else if (kind < 75) {
      *first = pick(region / spp) * spp;
      *count = spp;
    } else {
      *first = pick(region);
      *count = 2 + pick(3 * spp);
    }
    if (*first + *count > sectors) *count = sectors - *first;
  }

  std::string write_step() {
    uint32_t first = 0, count = 0;
    choose_run(&first, &count);
    const uint32_t id = model_.next_id();
    std::vector<uint8_t> data(size_t{count} * kSectorBytes);
    for (uint32_t i = 0; i < count; ++i)
      fill_sector(&data[size_t{i} * kSectorBytes], first + i, id);
    model_.wrote(first, count, id);
    const uint32 ret = rig_.write(first, count, data.data());
    if (ret != 0 && powered()) {
      return "write of " + std::to_string(count) + " sectors at " + std::to_string(first) +
             " failed with the power on";
    }
    return {};
  }

  std::string flush_step() {
    const uint32 ret = rig_.flush();
    if (ret == 0) {
      // A flush cannot have succeeded if the power went during it.
      if (!powered()) return "a flush returned success although the power went during it";
      model_.flushed();
    } else if (powered()) {
      return "flush failed with the power on";
    }
    return {};
  }

  std::string read_step() {
    uint32_t first = 0, count = 0;
    choose_run(&first, &count);
    std::vector<uint8_t> data(size_t{count} * kSectorBytes);
    const uint32 ret = rig_.read(first, count, data.data());
    if (!powered() || !check_reads_) return {};
    if (ret != 0)
      return "read of " + std::to_string(count) + " sectors at " + std::to_string(first) +
             " failed";
    for (uint32_t i = 0; i < count; ++i) {
      std::string problem = model_.check_latest(first + i, &data[size_t{i} * kSectorBytes]);
      if (!problem.empty()) return "while running: " + problem;
    }
    return {};
  }

  DiskRig& rig_;
  SectorModel& model_;
  Workload w_;
  bool check_reads_;
  std::mt19937_64 rng_;
  uint64_t start_ops_;
  uint32_t gc_cycles_ = 0;  // collection cycles seen starting
  bool collecting_ = false;
  bool program_fault_ = false;
  bool erase_fault_ = false;
  bool mapping_fault_ = false;
};

// ---------------------------------------------------------------------------
// Checks after a power loss.
// ---------------------------------------------------------------------------

// Re-attaches, then checks readiness, the checker and every sector against
// `check` (which returns a problem or nothing). Fills `ids` with the write
// each sector holds.
template <class Check>
std::string reattach_and_read(DiskRig& rig, const char* when, Check check,
                              std::vector<uint32_t>* ids) {
  if (rig.attach() != 0) return std::string(when) + ": the attach failed";
  if (!rig.ready()) return std::string(when) + ": the partition is not ready (no current block)";
  const std::vector<std::string> problems = rig.check();
  if (!problems.empty())
    return std::string(when) + ": the checker reports:" + joined_lines(problems);

  const uint32_t spp = rig.sectors_per_page();
  std::vector<uint8_t> page(size_t{spp} * kSectorBytes);
  ids->assign(rig.sectors(), 0);
  for (uint32_t first = 0; first < rig.sectors(); first += spp) {
    if (rig.read(first, spp, page.data()) != 0) {
      return std::string(when) + ": reading sectors " + std::to_string(first) + ".. failed";
    }
    for (uint32_t i = 0; i < spp; ++i) {
      const uint8_t* bytes = &page[size_t{i} * kSectorBytes];
      std::string problem = check(first + i, bytes);
      if (!problem.empty()) return std::string(when) + ": " + problem;
      (*ids)[first + i] = static_cast<uint32_t>(sector_write_id(bytes, first + i));
    }
  }
  if (rig.chip().counters().double_programs != 0) {
    return std::string(when) + ": a page was programmed twice without an erase";
  }
  return {};
}

// After the cut: power back, the records dropped without a flush, attach,
// the promise; then a few more writes, a flush, another attach, and every
// sector must hold its newest write.
// `attach_ops` (when given) receives the number of flash operations the
// first attach made (the mount writes when it replays a recovery or salvages
// a block).
std::string verify_after_cut(DiskRig& rig, SectorModel& model, uint64_t salt,
                             uint64_t* attach_ops = nullptr) {
  rig.chip().power_on();
  rig.drop();
  std::vector<uint32_t> ids;
  const uint64_t ops_before = rig.chip().mutating_ops();
  std::string problem = reattach_and_read(
      rig, "after the cut",
      [&](uint32_t s, const uint8_t* bytes) { return model.check_after_cut(s, bytes); }, &ids);
  if (attach_ops != nullptr) *attach_ops = rig.chip().mutating_ops() - ops_before;
  if (!problem.empty()) return problem;
  model.settle(ids);

  // The partition goes on working from the state the mount left.
  std::mt19937_64 rng(salt);
  const uint32_t spp = rig.sectors_per_page();
  for (int i = 0; i < 24; ++i) {
    uint32_t first = static_cast<uint32_t>(rng() % rig.sectors());
    uint32_t count = i % 3 == 0 ? 1 : spp;
    if (i % 3 != 0) first -= first % spp;
    if (first + count > rig.sectors()) count = rig.sectors() - first;
    const uint32_t id = model.next_id();
    std::vector<uint8_t> data(size_t{count} * kSectorBytes);
    for (uint32_t j = 0; j < count; ++j)
      fill_sector(&data[size_t{j} * kSectorBytes], first + j, id);
    model.wrote(first, count, id);
    if (rig.write(first, count, data.data()) != 0) return "after the cut: a new write failed";
  }
  if (rig.flush() != 0) return "after the cut: the flush of new writes failed";
  model.flushed();
  rig.drop();
  return reattach_and_read(
      rig, "after new writes and another attach",
      [&](uint32_t s, const uint8_t* bytes) { return model.check_latest(s, bytes); }, &ids);
}

// ---------------------------------------------------------------------------
// The campaign.
// ---------------------------------------------------------------------------

const char* kind_name(CutKind kind) {
  switch (kind) {
    case CutKind::Clean:
      return "Clean";
    case CutKind::TornProgram:
      return "TornProgram";
    case CutKind::TornErase:
      return "TornErase";
  }
  return "?";
}

// One cut point: a fresh chip, the workload until operation k is cut (k = 0:
// the whole workload, then the power goes), and the checks. With `j` > 0 the
// power goes a second time, at operation j of the attach that follows (one
// that writes), before the checks.
std::string run_cut_point(const Workload& w, CutKind kind, uint64_t k, uint64_t j = 0,
                          uint64_t* attach_ops = nullptr) {
  DiskRig rig(chip_options(w.seed));
  lower_wear_levelling(rig);
  SectorModel model(rig.sectors());
  if (k > 0) rig.chip().power_cut_after(k - 1, kind);
  WorkloadRun run(rig, model, w, /*check_reads=*/false);
  std::string problem = run.run();
  if (!problem.empty()) return problem;
  if (k > 0 && !rig.chip().powered_off())
    return "the workload ended before operation " + std::to_string(k);
  if (j > 0) {
    rig.chip().power_on();
    rig.drop();
    rig.chip().power_cut_after(j - 1, kind);
    rig.attach();
    if (!rig.chip().powered_off())
      return "the attach ended before its operation " + std::to_string(j);
  }
  return verify_after_cut(rig, model, w.seed * 1000003 + k, attach_ops);
}

struct Figures {
  uint64_t tried = 0;
  uint64_t passed = 0;
  std::vector<std::pair<uint64_t, std::string>> failures;
};

void run_campaign(CutKind kind, uint64_t default_seed) {
  QuietLog quiet;
  Workload w;
  w.seed = env_number("NYX_PC_SEED", default_seed);
  const uint64_t points_wanted = env_number("NYX_PC_POINTS", 0);
  w.ops = points_wanted != 0 ? points_wanted : (kSanitized ? kSanitizedOps : kDefaultOps);

  // The whole workload once, uncut: it must run clean, and it counts the
  // operations (its own end, with the power lost there, is checked too).
  uint64_t total = 0;
  {
    LogCapture log;
    DiskRig rig(chip_options(w.seed));
    lower_wear_levelling(rig);
    const uint64_t erases_before = rig.chip().counters().erases;
    SectorModel model(rig.sectors());
    WorkloadRun run(rig, model, w, /*check_reads=*/true);
    const std::string problem = run.run();
    ASSERT_EQ(problem, "") << "uncut workload, seed " << w.seed;
    total = run.ops_done();

    // What the workload went through, so that its cut points cover it.
    const uint64_t erases = rig.chip().counters().erases - erases_before;
    const size_t data_failures = log.count("nand_write_logic_page_no_gc write error2!\n");
    const size_t mapping_failures = log.count("nand_write_logic_page_no_gc write error!\n");
    const size_t erase_failures = log.count("nand_write_logic_page_no_gc erase error!\n");
    size_t reclaims = 0;
    for (const std::string& line : log.lines()) reclaims += line.rfind("do_prio_gc block:", 0) == 0;
    std::printf(
        "workload, seed %llu: %llu flash operations, %llu blocks erased for writing, "
        "%u collection cycles, %zu priority reclaims, recovered failures: %zu data page "
        "programs, %zu mapping page programs, %zu erases\n",
        static_cast<unsigned long long>(w.seed), static_cast<unsigned long long>(total),
        static_cast<unsigned long long>(erases), run.gc_cycles(), reclaims, data_failures,
        mapping_failures, erase_failures);
    EXPECT_GT(erases, 2u * kBlocks) << "blocks are filled and reused";
    EXPECT_GE(run.gc_cycles(), 1u);
    EXPECT_GE(reclaims, 1u);
    EXPECT_EQ(data_failures, 1u);
    EXPECT_EQ(mapping_failures, 1u);
    EXPECT_EQ(erase_failures, 1u);
    ASSERT_EQ(verify_after_cut(rig, model, w.seed), "") << "power lost after the whole workload";
  }
  ASSERT_GE(total, w.ops);

  std::vector<uint64_t> points;
  const uint64_t only = env_number("NYX_PC_K", 0);
  if (only != 0) {
    points.push_back(only);
  } else if (kSanitized && points_wanted == 0) {
    for (uint64_t i = 0; i < kSanitizedPoints; ++i)
      points.push_back(1 + i * total / kSanitizedPoints);
  } else {
    const uint64_t stride = env_number("NYX_PC_STRIDE", 1);
    for (uint64_t k = 1; k <= total; k += stride) points.push_back(k);
  }

  // Where the attach after a cut writes (a replayed recovery, a salvaged
  // block), the power is cut again at each of its operations in turn, for
  // one such cut point in `nested_every` (all of them with NYX_PC_NESTED=1).
  const uint64_t nested_every = env_number("NYX_PC_NESTED", kSanitized ? 16 : 4);
  const uint64_t only_j = env_number("NYX_PC_J", 0);
  Figures figures;
  Figures nested;
  uint64_t writing_attaches = 0;
  for (uint64_t k : points) {
    ++figures.tried;
    uint64_t attach_ops = 0;
    std::string problem =
        only_j != 0 ? run_cut_point(w, kind, k, only_j) : run_cut_point(w, kind, k, 0, &attach_ops);
    if (!problem.empty()) {
      figures.failures.emplace_back(k, std::move(problem));
      continue;
    }
    ++figures.passed;
    if (attach_ops == 0) continue;
    if (writing_attaches++ % nested_every != 0) continue;
    for (uint64_t j = 1; j <= attach_ops; ++j) {
      ++nested.tried;
      problem = run_cut_point(w, kind, k, j);
      if (problem.empty()) {
        ++nested.passed;
      } else {
        nested.failures.emplace_back(k, "(and j " + std::to_string(j) + ") " + problem);
      }
    }
  }

  std::printf(
      "power-cut campaign, %s cuts, seed %llu, %llu operations: %llu cut points tried, "
      "%llu passed, %zu failed\n",
      kind_name(kind), static_cast<unsigned long long>(w.seed),
      static_cast<unsigned long long>(total), static_cast<unsigned long long>(figures.tried),
      static_cast<unsigned long long>(figures.passed), figures.failures.size());
  for (size_t i = 0; i < figures.failures.size() && i < kListedFailures; ++i) {
    std::printf(
        "  failed: seed %llu k %llu (replay: NYX_PC_SEED=%llu NYX_PC_K=%llu "
        "--gtest_filter=*%s*): %s\n",
        static_cast<unsigned long long>(w.seed),
        static_cast<unsigned long long>(figures.failures[i].first),
        static_cast<unsigned long long>(w.seed),
        static_cast<unsigned long long>(figures.failures[i].first), kind_name(kind),
        figures.failures[i].second.c_str());
  }
  if (figures.failures.size() > kListedFailures) {
    std::printf("  ... and %zu more failures\n", figures.failures.size() - kListedFailures);
  }
  std::printf(
      "  cut again during a writing attach (%llu cut points had one, every %llu-th tried): "
      "%llu cut points tried, %llu passed, %zu failed\n",
      static_cast<unsigned long long>(writing_attaches),
      static_cast<unsigned long long>(nested_every), static_cast<unsigned long long>(nested.tried),
      static_cast<unsigned long long>(nested.passed), nested.failures.size());
  for (size_t i = 0; i < nested.failures.size() && i < kListedFailures; ++i) {
    std::printf(
        "  failed: seed %llu k %llu %s (replay: NYX_PC_SEED=%llu NYX_PC_K=%llu NYX_PC_J=<j> "
        "--gtest_filter=*%s*)\n",
        static_cast<unsigned long long>(w.seed),
        static_cast<unsigned long long>(nested.failures[i].first),
        nested.failures[i].second.c_str(), static_cast<unsigned long long>(w.seed),
        static_cast<unsigned long long>(nested.failures[i].first), kind_name(kind));
  }
  std::fflush(stdout);
  EXPECT_TRUE(figures.failures.empty()) << figures.failures.size() << " cut points failed";
  EXPECT_TRUE(nested.failures.empty())
      << nested.failures.size() << " cut points in an attach failed";
  if (only == 0 && points_wanted == 0) {
    EXPECT_GE(figures.tried,
              kSanitized ? kSanitizedPoints : 5000u / env_number("NYX_PC_STRIDE", 1));
  }
}

TEST(PowerCut, CleanCutAtEveryOperation) { run_campaign(CutKind::Clean, 1); }
TEST(PowerCut, TornProgramAtEveryOperation) { run_campaign(CutKind::TornProgram, 2); }
TEST(PowerCut, TornEraseAtEveryOperation) { run_campaign(CutKind::TornErase, 3); }

}  // namespace
