// The power-cut campaign: a seeded workload of sector writes of mixed sizes
// and alignments, trims, flushes, reads and worker passes over a small partition
// (blocks fill and retire, collection and wear-levelling reclaim run,
// injected program and erase failures are recovered) is cut off after each
// flash operation in turn: the operation at the cut dropped, a program torn,
// an erase torn, or either left with unstable cells (reading erased until a
// program there reads back damaged; that workload also remounts every 97
// operations, so that cuts land in the first writes after an attach). After
// every cut the partition is attached again without anything written out,
// and:
//   - the attach leaves it ready and the checker clean;
//   - every sector holds its last durable write or a later one (durable: a
//     flush begun after it returned success), or reads erased when nothing
//     written to it was durable; never older data or bytes not written to it;
//     a sector of a page trimmed since its last durable write may also read
//     erased or hold any earlier write to it;
//   - no page is programmed twice between erases;
//   - a few more writes, a flush and another attach bring back exactly them.
// Where the attach itself writes (a replay, a salvage), the power is cut
// again at each of its operations for one such cut point in NYX_PC_NESTED.
// Environment: NYX_PC_SEED (workload seed), NYX_PC_K (only cut point k),
// NYX_PC_J (with K: cut the attach at its operation j too), NYX_PC_NESTED
// (default 4), NYX_PC_STRIDE (every s-th cut point), NYX_PC_VERBOSE (keep
// the log), NYX_PC_POINTS (a workload of at least n operations), NYX_PC_DUMP
// (a folder: each cut point's image and what its attach reads, see
// verify_after_cut).
// The same workload, uncut and long, with faults at a rate: the endurance
// runs at the end of this file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "support/rig.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // 1500 operations, 300 cut points spread over them
#else
constexpr bool kSanitized = false;
#endif

uint64_t env(const char* name, uint64_t fallback) {
  const char* text = std::getenv(name);
  return text == nullptr || *text == '\0' ? fallback : std::strtoull(text, nullptr, 10);
}

// 40 blocks of 16 pages of 2048 bytes: 512 sectors; collection at 8 free
// blocks. Wear levelling is asked for early and narrowly, and the greedy
// policy's mark raised, so that reclaims come within the short workload.
void tune(Disk& disk) {
  disk.part()->s_wl = {1, 1, 0};
  disk.part()->gc_low_mark = 20;
}

std::unique_ptr<Disk> fresh_disk(uint64_t seed) {
  nandsim::Options options = small_chip(40, 16);
  options.seed = seed;
  auto disk = std::make_unique<Disk>(options);
  tune(*disk);
  return disk;
}

class Workload {
 public:
  // `scripted_faults`: three failures at fixed points of the run (below);
  // without them, only what the chip's own fault rates bring.
  // `remount_every`: a flush and an attach after every that many flash
  // operations (0: never), so that the first writes after an attach are cut too.
  Workload(Disk& disk, SectorModel& model, uint64_t seed, uint64_t ops, bool scripted_faults = true,
           uint64_t remount_every = 0)
      : disk_(disk),
        model_(model),
        ops_(ops),
        rng_(seed),
        start_(disk.chip().mutating_ops()),
        faults_(scripted_faults ? 0 : 3),
        remount_every_(remount_every),
        next_remount_(remount_every) {}

  // Until the operations are done or the power is gone: what went wrong
  // while the power was on. A cut run repeats the uncut one exactly up to
  // its cut (reads still run: a read can start a reclaim step), so only the
  // uncut run compares what it reads.
  std::string run(bool check_reads) {
    while (done() < ops_ && powered()) {
      if (remount_every_ && done() >= next_remount_) {
        next_remount_ += remount_every_;
        const uint32 ret = disk_.flush();
        if (ret == 0 && !powered()) return "a flush succeeded although the power went during it";
        if (ret == 0) model_.flushed();
        if (ret != 0 || disk_.attach() != 0 || !disk_.ready())
          return powered() ? "a flush or an attach failed with the power on" : "";
        model_.attached();
        tune(disk_);
      }
      const nyx_nftl_part_t* p = disk_.part();
      const bool collecting = p->gc_policy == NYX_GC_GREEDY ? p->free_block_num <= p->gc_low_mark
                                                            : p->gc_strategy.process == 0;
      gc_cycles += collecting && !collecting_;
      collecting_ = collecting;
      // A data or collection page's program fails at a quarter, a taken
      // block's erase at half, a mapping page's program from 7/10 on.
      if (faults_ == 0 && done() >= ops_ / 4) disk_.chip().fail_nth_program(++faults_);
      if (faults_ == 1 && done() >= ops_ / 2) disk_.chip().fail_nth_erase(faults_++);
      if (faults_ == 2 && done() >= ops_ * 7 / 10 && p->part_current_used_block &&
          p->current_block_used_page == p->nand_chip->pages_per_blk - 1)
        disk_.chip().fail_nth_program(faults_++ - 1);
      const uint32_t action = pick(100);
      uint32_t first, count;
      if (action < 70) {
        choose_run(&first, &count);
        std::vector<uint8_t> data = model_.wrote(first, count);
        if (disk_.write(first, count, data.data()) != 0 && powered()) return "a write failed";
      } else if (action < 74) {
        choose_run(&first, &count);
        model_.trimmed(first, count, disk_.spp());
        if (disk_.trim(first, count) != 0) return "a trim failed";
      } else if (action < 82) {
        const uint32 ret = disk_.flush();
        if (ret == 0 && !powered()) return "a flush succeeded although the power went during it";
        if (ret == 0) model_.flushed();
        if (ret != 0 && powered()) return "a flush failed with the power on";
      } else if (action < 92) {
        choose_run(&first, &count);
        std::vector<uint8_t> data(size_t{count} * kSectorBytes);
        const uint32 ret = disk_.read(first, count, data.data());
        for (uint32_t i = 0; check_reads && powered() && i < count; ++i) {
          std::string problem =
              ret ? "a read failed" : model_.check_latest(first + i, &data[i * kSectorBytes]);
          if (!problem.empty()) return "while running: " + problem;
        }
      } else {
        disk_.worker_pass();
      }
    }
    return {};
  }
  uint64_t done() const { return disk_.chip().mutating_ops() - start_; }
  uint32_t gc_cycles = 0;

 private:
  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }
  bool powered() const { return !disk_.chip().powered_off(); }

  // Single sectors, parts of a page, aligned pages and longer runs that
  // start and end inside pages; most in a hot eighth of the disk.
  void choose_run(uint32_t* first, uint32_t* count) {
    const uint32_t spp = disk_.spp(),
                   region = pick(100) < 60 ? disk_.sectors() / 8 : disk_.sectors();
    const uint32_t kind = pick(100);
    if (kind < 30) {
      *first = pick(region), *count = 1;
    } else if (kind < 50) {
      const uint32_t page = pick(region / spp), offset = pick(spp - 1);
      *first = page * spp + offset, *count = 1 + pick(spp - 1 - offset);
    } else if (kind < 75) {
      *first = pick(region / spp) * spp, *count = spp;
    } else {
      *first = pick(region), *count = 2 + pick(3 * spp);
    }
    *count = std::min(*count, disk_.sectors() - *first);
  }

  Disk& disk_;
  SectorModel& model_;
  uint64_t ops_;
  std::mt19937_64 rng_;
  uint64_t start_;
  bool collecting_ = false;
  uint32_t faults_ = 0;
  uint64_t remount_every_, next_remount_;
};

void write_file(const std::string& path, const void* bytes, size_t n) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes, 1, n, f);
    std::fclose(f);
  }
}
// Numbers as little-endian words of their size, whatever the host.
template <class Int>
void write_words(const std::string& path, const std::vector<Int>& words) {
  std::vector<uint8_t> bytes(words.size() * sizeof(Int));
  for (size_t i = 0; i < words.size(); ++i) put_le(&bytes[i * sizeof(Int)], words[i], sizeof(Int));
  write_file(path, bytes.data(), bytes.size());
}

// Attaches, then readiness, the checker, every sector against `check` and
// no double program; `ids` gets the write each sector holds.
template <class Check>
std::string reattach_and_read(Disk& disk, const std::string& when, Check check,
                              std::vector<uint32_t>* ids) {
  if (disk.attach() != 0 || !disk.ready())
    return when + ": the attach failed or left no current block";
  if (std::string problems = disk.check(); !problems.empty())
    return when + ": the checker reports:" + problems;
  std::vector<uint8_t> page(size_t{disk.spp()} * kSectorBytes);
  ids->assign(disk.sectors(), 0);
  for (uint32_t s = 0; s < disk.sectors(); ++s) {
    if (s % disk.spp() == 0 && disk.read(s, disk.spp(), page.data()) != 0)
      return when + ": a read failed";
    const uint8_t* bytes = &page[(s % disk.spp()) * kSectorBytes];
    if (std::string problem = check(s, bytes); !problem.empty()) return when + ": " + problem;
    (*ids)[s] = static_cast<uint32_t>(stamp_version(bytes, kSectorBytes, s));
  }
  return disk.chip().counters().double_programs ? when + ": a page was programmed twice" : "";
}

// Power back, the records dropped unflushed, attach and the promise; then
// new writes, a flush, another attach, and every sector its newest write.
// `attach_ops` gets the flash operations of the first attach.
// With `dump` (NYX_PC_DUMP), the chip as the cut left it goes to dump.img
// (raw pages), its damaged pages' numbers to dump.bad (64-bit words) and the
// write each sector holds after the attach to dump.ids (32-bit words), both
// little-endian, for another build's mount to attach and compare.
std::string verify_after_cut(Disk& disk, SectorModel& model, uint64_t salt,
                             uint64_t* attach_ops = nullptr, const std::string& dump = "") {
  disk.chip().power_on();
  disk.drop();
  const nandsim::Geometry& g = disk.chip().geometry();
  std::vector<uint8_t> image;
  std::vector<uint64_t> damaged;
  for (uint64_t page = 0; !dump.empty() && page < g.total_pages(); ++page) {
    const std::vector<uint8_t> raw = disk.chip().raw_page(page);
    image.insert(image.end(), raw.begin(), raw.end());
    if (disk.chip().is_damaged(page)) damaged.push_back(page);
  }
  std::vector<uint32_t> ids;
  const uint64_t before = disk.chip().mutating_ops();
  std::string problem = reattach_and_read(
      disk, "after the cut",
      [&](uint32_t s, const uint8_t* b) { return model.check_after_cut(s, b); }, &ids);
  if (attach_ops != nullptr) *attach_ops = disk.chip().mutating_ops() - before;
  if (!problem.empty()) return problem;
  if (!dump.empty()) {
    write_file(dump + ".img", image.data(), image.size());
    write_words(dump + ".bad", damaged);
    write_words(dump + ".ids", ids);
  }
  model.settle(ids);
  std::mt19937_64 rng(salt);
  for (int i = 0; i < 24; ++i) {
    uint32_t first = static_cast<uint32_t>(rng() % disk.sectors()), count = i % 3 ? disk.spp() : 1;
    first -= i % 3 ? first % disk.spp() : 0;
    count = std::min(count, disk.sectors() - first);
    std::vector<uint8_t> data = model.wrote(first, count);
    if (disk.write(first, count, data.data()) != 0) return "after the cut: a new write failed";
  }
  if (disk.flush() != 0) return "after the cut: the flush of new writes failed";
  model.flushed();
  disk.drop();
  return reattach_and_read(
      disk, "after new writes and another attach",
      [&](uint32_t s, const uint8_t* b) { return model.check_latest(s, b); }, &ids);
}

// Cells left unstable by a cut are met by the first writes after an attach:
// that campaign remounts inside its workload.
uint64_t remounts(nandsim::CutKind kind) { return kind == nandsim::CutKind::Unstable ? 97 : 0; }

// One cut point: a fresh chip, the workload until operation k is cut, and
// the checks; with j > 0 the attach after the cut is cut at its operation j.
std::string run_cut_point(uint64_t seed, uint64_t ops, nandsim::CutKind kind, uint64_t k,
                          uint64_t j, uint64_t* attach_ops = nullptr) {
  auto disk = fresh_disk(seed);
  SectorModel model(disk->sectors());
  disk->chip().power_cut_after(k - 1, kind);
  if (std::string problem = Workload(*disk, model, seed, ops, true, remounts(kind)).run(false);
      !problem.empty())
    return problem;
  if (!disk->chip().powered_off()) return "the workload ended before its cut";
  if (j > 0) {
    disk->chip().power_on();
    disk->drop();
    disk->chip().power_cut_after(j - 1, kind);
    disk->attach();
    if (!disk->chip().powered_off()) return "the attach ended before its cut";
  }
  const char* dump = std::getenv("NYX_PC_DUMP");
  return verify_after_cut(
      *disk, model, seed * 1000003 + k, attach_ops,
      dump ? std::string(dump) + "/k" + std::to_string(k) + "j" + std::to_string(j) : "");
}

// A sweep cuts a shorter workload at 300 points spread over it: the quick
// suite's run, and the whole campaign under a sanitizer.
void run_campaign(nandsim::CutKind kind, const char* name, uint64_t default_seed,
                  bool sweep = kSanitized) {
  struct Restore {
    log_sink_fn previous;
    ~Restore() { kernel_log_set_sink(std::move(previous)); }
  } restore{
      kernel_log_set_sink(std::getenv("NYX_PC_VERBOSE") ? log_sink_fn{} : [](std::string_view) {})};
  const uint64_t seed = env("NYX_PC_SEED", default_seed), wanted = env("NYX_PC_POINTS", 0);
  const uint64_t ops = wanted ? wanted : sweep ? 1500 : 5200;
  uint64_t total = 0;
  {
    // The whole workload once, uncut: it must run clean and go through
    // every path its cut points are meant to cover.
    LogCapture log;
    auto disk = fresh_disk(seed);
    const uint64_t erases = disk->chip().counters().erases;
    SectorModel model(disk->sectors());
    Workload run(*disk, model, seed, ops, true, remounts(kind));
    ASSERT_EQ(run.run(true), "") << "uncut workload, seed " << seed;
    total = run.done();
    size_t reclaims = 0, left = 0, moved = 0;
    for (const std::string& line : log.lines()) {
      reclaims += line.rfind("do_prio_gc block:", 0) == 0;
      if (line.rfind("leave_found_block: ", 0) == 0) moved += std::stoul(line.substr(19)), ++left;
    }
    std::printf(
        "workload, seed %llu: %llu flash operations, %u collection cycles, %zu reclaims, "
        "%zu partly written blocks left after an attach (%zu pages moved)\n",
        (unsigned long long)seed, (unsigned long long)total, run.gc_cycles, reclaims, left, moved);
    EXPECT_GT(disk->chip().counters().erases - erases, 80u) << "blocks are filled and reused";
    EXPECT_GE(run.gc_cycles, 1u);
    EXPECT_GE(reclaims, 1u);
    for (const char* recovered : {"write error2!\n", "write error!\n", "erase error!\n"})
      EXPECT_EQ(log.count(std::string("nand_write_logic_page_no_gc ") + recovered), 1u)
          << recovered;
    ASSERT_EQ(verify_after_cut(*disk, model, seed), "") << "power lost after the whole workload";
  }
  ASSERT_GE(total, ops);
  std::vector<uint64_t> points;
  const uint64_t only = env("NYX_PC_K", 0), only_j = env("NYX_PC_J", 0),
                 stride = env("NYX_PC_STRIDE", 1);
  for (uint64_t k = 1; k <= total; k += stride) points.push_back(k);
  if (sweep && !wanted) {
    points.clear();
    for (uint64_t i = 0; i < 300; ++i) points.push_back(1 + i * total / 300);
  }
  if (only) points = {only};
  const uint64_t nested_every = env("NYX_PC_NESTED", sweep ? 16 : 4);
  uint64_t nested = 0, writing_attaches = 0;
  std::vector<std::string> failures;
  for (uint64_t k : points) {
    uint64_t attach_ops = 0;
    std::string problem = run_cut_point(seed, ops, kind, k, only_j, only_j ? nullptr : &attach_ops);
    if (!problem.empty()) failures.push_back("k " + std::to_string(k) + ": " + problem);
    if (!problem.empty() || attach_ops == 0 || writing_attaches++ % nested_every != 0) continue;
    for (uint64_t j = 1; j <= attach_ops; ++j, ++nested)
      if (problem = run_cut_point(seed, ops, kind, k, j); !problem.empty())
        failures.push_back("k " + std::to_string(k) + " j " + std::to_string(j) + ": " + problem);
  }
  std::printf(
      "power-cut campaign, %s cuts, seed %llu: %zu cut points, %llu more inside %llu writing "
      "attaches, %zu failures (replay: NYX_PC_SEED, NYX_PC_K, NYX_PC_J)\n",
      name, (unsigned long long)seed, points.size(), (unsigned long long)nested,
      (unsigned long long)writing_attaches, failures.size());
  for (size_t i = 0; i < failures.size() && i < 20; ++i)
    std::printf("  failed: %s\n", failures[i].c_str());
  std::fflush(stdout);
  EXPECT_TRUE(failures.empty());
  EXPECT_GE(points.size(), only || wanted ? 1 : sweep ? 300 : 5000 / stride);
}

TEST(PowerCut, CleanCutAtEveryOperation) { run_campaign(nandsim::CutKind::Clean, "Clean", 1); }
TEST(PowerCut, TornProgramAtEveryOperation) {
  run_campaign(nandsim::CutKind::TornProgram, "TornProgram", 2);
}
TEST(PowerCut, TornEraseAtEveryOperation) {
  run_campaign(nandsim::CutKind::TornErase, "TornErase", 3);
}
TEST(PowerCut, UnstableCellsAtEveryOperation) {
  run_campaign(nandsim::CutKind::Unstable, "Unstable", 7);
}
TEST(PowerCutSweep, EveryKindOfCut) {
  run_campaign(nandsim::CutKind::Clean, "Clean", 4, true);
  run_campaign(nandsim::CutKind::TornProgram, "TornProgram", 5, true);
  run_campaign(nandsim::CutKind::TornErase, "TornErase", 6, true);
  run_campaign(nandsim::CutKind::Unstable, "Unstable", 8, true);
}

// Endurance: seeded runs of the workload over a larger partition for 20
// rounds, each about the disk's capacity in writes, with program and erase
// failures at a rate, factory bad blocks, two blocks going bad for good
// during the run, correctable bit flips on every read and uncorrectable ones
// while the disk is attached again and read back. At every re-attach (after
// each round) nothing acknowledged may be lost, every failed block must be
// out of use (marked bad, on no list, in no map entry) and the checker
// clean; a read either answers exactly what was written or fails, and a
// page that failed is read again.
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
  const uint32_t capacity = disk.sectors(), spp = disk.spp();
  uint32_t failed_reads = 0, retired = 0;
  std::vector<uint32_t> grown;
  std::vector<uint8_t> data(spp * kSectorBytes);
  for (uint32_t round = 1; round <= 20; ++round) {
    disk.part()->s_wl = {4, 3, 0};
    chip.set_bitflip_rates(0.02, 0);
    Workload work(disk, model, c.seed * 1000 + round, capacity / 2, false);
    ASSERT_EQ(work.run(true), "") << "round " << round;
    // Twice in the run a good block goes bad for good, whatever it holds.
    if (round % 7 == 0) {
      uint32_t b = 1 + (c.seed * round) % 63;
      while (chip.is_bad(b)) b = 1 + b % 63;
      chip.grow_bad_block(b);
      grown.push_back(b);
    }
    ASSERT_EQ(disk.flush(), 0u);
    model.flushed();
    disk.drop();
    // The mount and the read-back meet uncorrectable bit errors as well.
    chip.set_bitflip_rates(0.02, 0.005);
    ASSERT_EQ(disk.attach(), 0);
    model.attached();
    ASSERT_TRUE(disk.ready()) << "round " << round << ", good blocks " << disk.part()->blocks;
    chip.set_bitflip_rates(0.02, 0);
    ASSERT_EQ(disk.check(), "") << "round " << round;
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
    for (uint32_t first = 0; first < capacity; first += spp) {
      for (int tries = 0; disk.read(first, spp, data.data()) != 0; ++failed_reads)
        ASSERT_LT(++tries, 50) << "sectors " << first << ".. never read back";
      for (uint32_t i = 0; i < spp; ++i)
        ASSERT_EQ(model.check_latest(first + i, &data[i * kSectorBytes]), "");
    }
  }
  size_t failures = log.count("do_write_error erase error!\n");
  for (const char* line : {"write error2!\n", "write error!\n", "erase error!\n"})
    for (const char* path : {"nand_write_logic_page_no_gc ", "leave_found_block "})
      failures += log.count(std::string(path) + line);
  EXPECT_GE(failures, 3u) << "the rates must make blocks fail";
  EXPECT_GE(retired, failures) << "every failed block is marked bad";
  for (uint32_t b : grown) EXPECT_TRUE(chip.is_bad(b)) << "grown bad block " << b;
  EXPECT_GT(log.count("read reclaim\n"), 0u);
  EXPECT_GT(failed_reads, 0u);
  EXPECT_EQ(chip.counters().double_programs, 0u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Endurance,
                         ::testing::Values(EnduranceCase{11, 1.2e-4, 3e-3, {7, 23, 50}},
                                           EnduranceCase{12, 1e-4, 1.5e-3, {2, 3, 41}},
                                           EnduranceCase{14, 1e-4, 1e-3, {}},
                                           EnduranceCase{15, 1.2e-4, 1.2e-3, {1, 62, 63}}),
                         [](const auto& info) { return "seed" + std::to_string(info.param.seed); });

}  // namespace
