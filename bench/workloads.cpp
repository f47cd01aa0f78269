// The workloads: preparation, the measured phase, and what it is measured by.
#include "workloads.h"

#include "fs_model.h"
#include "perf_control.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <stdexcept>

namespace bench {

namespace {

// The low `n` bytes of `value`, least significant first: the same data on
// every host.
void put_le(uint8_t* out, uint64_t value, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = uint8_t(value >> (8 * i));
}

constexpr uint32_t kSectorBytes = 512;

double cpu_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Follows the collector's state after each host operation: the range of the
// free-block count, the cycles started, and the pages moved for each
// operation (a histogram, for the largest and the 99th percentile).
class CycleWatch {
 public:
  explicit CycleWatch(BenchDevice& dev)
      : dev_(dev),
        part_(dev.part()),
        free_min_(part_->free_block_num),
        free_max_(part_->free_block_num),
        running_(part_->gc_strategy.process == 0),
        moves_seen_(dev.traffic().gc_moves) {}
  void after_op() {
    const uint64_t moves = dev_.traffic().gc_moves;
    const uint64_t moved = moves - moves_seen_;
    moves_seen_ = moves;
    if (moved >= moves_histogram_.size()) moves_histogram_.resize(moved + 1, 0);
    moves_histogram_[moved]++;
    const uint32_t free = part_->free_block_num;
    if (free < free_min_) free_min_ = free;
    if (free > free_max_) free_max_ = free;
    free_sum_ += free;
    ++ops_;
    const bool running = part_->gc_strategy.process == 0;
    if (running && !running_) ++cycles_;
    running_ = running;
  }
  void store(PhaseResult* r) const {
    r->free_min = free_min_;
    r->free_max = free_max_;
    r->gc_cycles = cycles_;
    r->free_mean = ops_ > 0 ? double(free_sum_) / double(ops_) : free_min_;
    r->free_end = part_->free_block_num;
    r->moves_max = moves_histogram_.empty() ? 0 : uint32_t(moves_histogram_.size() - 1);
    // The smallest count that at least 99% of the operations stay within.
    uint64_t seen = 0;
    for (size_t m = 0; m < moves_histogram_.size(); ++m) {
      seen += moves_histogram_[m];
      if (seen * 100 >= ops_ * 99) {
        r->moves_p99 = uint32_t(m);
        break;
      }
    }
  }

 private:
  BenchDevice& dev_;
  const nyx_nftl_part_t* part_;
  uint32_t free_min_;
  uint32_t free_max_;
  bool running_;
  uint64_t cycles_ = 0;
  uint64_t free_sum_ = 0;
  uint64_t ops_ = 0;
  uint64_t moves_seen_;
  std::vector<uint64_t> moves_histogram_;
};

// The host's page data: the same buffer, stamped with the page number and a
// running count so that no two writes carry the same bytes.
class HostPage {
 public:
  explicit HostPage(uint32_t bytes) : buf_(bytes, 0x5A) {}
  uint8_t* stamped(uint32_t page) {
    ++serial_;
    put_le(buf_.data(), page, 4);
    put_le(buf_.data() + 4, serial_, 4);
    return buf_.data();
  }
  uint8_t* data() { return buf_.data(); }

 private:
  std::vector<uint8_t> buf_;
  uint32_t serial_ = 0;
};

void check(uint32_t ret, const char* what, uint64_t index) {
  if (ret != 0) {
    throw std::runtime_error(std::string(what) + " failed at operation " + std::to_string(index));
  }
}

// Writes whole page `page`.
inline void write_page(BenchDevice& dev, HostPage& host, uint32_t spp, uint32_t page,
                       uint64_t index) {
  check(dev.write_sectors(page * spp, spp, host.stamped(page)), "page write", index);
}

// ---------------------------------------------------------------------------
// The phases. Each returns the host operations and bytes it made.
// ---------------------------------------------------------------------------

struct HostWork {
  uint64_t ops = 0;
  uint64_t bytes = 0;
};

HostWork sequential_fill(BenchDevice& dev, CycleWatch* watch) {
  const uint32_t n = dev.logical_pages();
  const uint32_t spp = dev.sectors_per_page();
  HostPage host(spp * kSectorBytes);
  for (uint32_t page = 0; page < n; ++page) {
    write_page(dev, host, spp, page, page);
    if (watch != nullptr) watch->after_op();
  }
  return {n, uint64_t(n) * spp * kSectorBytes};
}

HostWork uniform_random(BenchDevice& dev, CycleWatch* watch) {
  const uint32_t n = dev.logical_pages();
  const uint32_t spp = dev.sectors_per_page();
  HostPage host(spp * kSectorBytes);
  SplitMix64 rng(kSeed);
  const uint64_t writes = 3ull * n;
  for (uint64_t i = 0; i < writes; ++i) {
    write_page(dev, host, spp, SplitMix64::scale(rng.next(), n), i);
    if (watch != nullptr) watch->after_op();
  }
  return {writes, writes * spp * kSectorBytes};
}

HostWork hot_cold(BenchDevice& dev, CycleWatch* watch) {
  const uint32_t n = dev.logical_pages();
  const uint32_t hot = n / 5;
  const uint32_t spp = dev.sectors_per_page();
  HostPage host(spp * kSectorBytes);
  SplitMix64 rng(kSeed);
  const uint64_t writes = 3ull * n;
  for (uint64_t i = 0; i < writes; ++i) {
    const uint64_t r = rng.next();
    const uint32_t page =
        (uint32_t(r) % 100 < 80) ? SplitMix64::scale(r, hot) : hot + SplitMix64::scale(r, n - hot);
    write_page(dev, host, spp, page, i);
    if (watch != nullptr) watch->after_op();
  }
  return {writes, writes * spp * kSectorBytes};
}

HostWork small_writes(BenchDevice& dev, CycleWatch* watch) {
  const uint32_t spp = dev.sectors_per_page();
  const uint32_t sectors = dev.logical_pages() * spp;
  std::vector<uint8_t> sector(kSectorBytes, 0xA5);
  SplitMix64 rng(kSeed);
  const uint64_t writes = 3ull * sectors;
  for (uint64_t i = 0; i < writes; ++i) {
    const uint32_t s = SplitMix64::scale(rng.next(), sectors);
    put_le(sector.data(), i, 8);
    check(dev.write_sectors(s, 1, sector.data()), "sector write", i);
    if (watch != nullptr) watch->after_op();
  }
  return {writes, writes * kSectorBytes};
}

// The pages in a random order: a Fisher-Yates shuffle driven by the generator.
std::vector<uint32_t> shuffled_pages(uint32_t n) {
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  SplitMix64 rng(kSeed);
  for (uint32_t i = n; i > 1; --i) {
    const uint32_t j = SplitMix64::scale(rng.next(), i);
    std::swap(order[i - 1], order[j]);
  }
  return order;
}

HostWork random_reads(BenchDevice& dev, CycleWatch* watch, const std::vector<uint32_t>& order) {
  const uint32_t spp = dev.sectors_per_page();
  std::vector<uint8_t> buf(spp * kSectorBytes);
  uint64_t i = 0;
  for (uint32_t page : order) {
    check(dev.read_sectors(page * spp, spp, buf.data()), "page read", i++);
    if (watch != nullptr) watch->after_op();
  }
  return {order.size(), uint64_t(order.size()) * spp * kSectorBytes};
}

// ---------------------------------------------------------------------------
// The filesystem-like workloads, in 4 KiB blocks of the disk.
// ---------------------------------------------------------------------------

constexpr uint32_t kSectorsPerFsBlock = kFsBlockBytes / kSectorBytes;
constexpr uint32_t kRequestBlocks = 16;     // a write request: at most 64 KiB
constexpr uint32_t kTrimExtentBlocks = 16;  // W5 trims 64 KiB extents

uint32_t fs_blocks(BenchDevice& dev) {
  return dev.logical_pages() * dev.sectors_per_page() / kSectorsPerFsBlock;
}

// Writes and trims whole blocks and counts the host's work. A run of blocks
// goes out in requests of at most kRequestBlocks (as the block layer merges
// a file's sequential blocks), each block stamped with its number and a
// running count; a trim is one request.
class BlockIo {
 public:
  BlockIo(BenchDevice& dev, CycleWatch* watch)
      : dev_(dev), watch_(watch), buf_(kRequestBlocks * kFsBlockBytes, 0x5A) {}

  void write(Extent e) {
    while (e.count > 0) {
      const uint32_t n = e.count < kRequestBlocks ? e.count : kRequestBlocks;
      for (uint32_t i = 0; i < n; ++i) {
        put_le(&buf_[i * kFsBlockBytes], e.start + i, 4);
        put_le(&buf_[i * kFsBlockBytes + 4], ++serial_, 4);
      }
      check(dev_.write_sectors(e.start * kSectorsPerFsBlock, n * kSectorsPerFsBlock, buf_.data()),
            "block write", work_.ops);
      work_.bytes += uint64_t(n) * kFsBlockBytes;
      done();
      e.start += n;
      e.count -= n;
    }
  }
  void trim(Extent e) {
    check(dev_.trim_sectors(e.start * kSectorsPerFsBlock, e.count * kSectorsPerFsBlock), "trim",
          work_.ops);
    done();
  }
  const HostWork& work() const { return work_; }

 private:
  void done() {
    ++work_.ops;
    if (watch_ != nullptr) watch_->after_op();
  }

  BenchDevice& dev_;
  CycleWatch* watch_;
  std::vector<uint8_t> buf_;
  uint32_t serial_ = 0;
  HostWork work_;
};

// W5's state: the generator (drawing the trimmed extents, then the writes)
// and the blocks left live.
struct LiveHalf {
  SplitMix64 rng{kSeed};
  std::vector<uint32_t> blocks;
};

// Half of the disk's 64 KiB extents, drawn without replacement, are trimmed
// (`trim`) or only forgotten; the others' blocks stay live.
void trim_half(BenchDevice& dev, bool trim, LiveHalf* half) {
  const uint32_t extents = fs_blocks(dev) / kTrimExtentBlocks;
  std::vector<bool> gone(extents, false);
  BlockIo io(dev, nullptr);
  for (uint32_t x : draw_without_replacement(extents, extents / 2, half->rng)) {
    gone[x] = true;
    if (trim) io.trim({x * kTrimExtentBlocks, kTrimExtentBlocks});
  }
  for (uint32_t x = 0; x < extents; ++x) {
    if (gone[x]) continue;
    for (uint32_t b = 0; b < kTrimExtentBlocks; ++b)
      half->blocks.push_back(x * kTrimExtentBlocks + b);
  }
}

// 3 x the disk's size in single-block writes, uniform over the live blocks.
HostWork live_random_writes(BenchDevice& dev, CycleWatch* watch, LiveHalf* half) {
  BlockIo io(dev, watch);
  const uint64_t writes = 3ull * fs_blocks(dev);
  const uint32_t live = uint32_t(half->blocks.size());
  for (uint64_t i = 0; i < writes; ++i) io.write({half->blocks[half->rng.below(live)], 1});
  return io.work();
}

// W6's next request: a write, or a trim made (`trim`) or only forgotten.
void apply(BlockIo& io, const FileChurn::Request& r, bool trim) {
  if (!r.trim) {
    io.write(r.extent);
  } else if (trim) {
    io.trim(r.extent);
  }
}

// After W1 (a disk in use before), a new filesystem: the whole disk
// trimmed (`trim`), as mkfs discards a device, or only forgotten; then its
// files fill half of it.
void new_filesystem(BenchDevice& dev, FileChurn* files, bool trim) {
  BlockIo io(dev, nullptr);
  if (trim) io.trim({0, fs_blocks(dev)});
  while (!files->filled()) apply(io, files->next(), trim);
}

// The filesystem's requests until the host has written 3 x the disk's size.
HostWork churn_files(BenchDevice& dev, CycleWatch* watch, FileChurn* files, bool trim) {
  BlockIo io(dev, watch);
  const uint64_t bytes = 3ull * fs_blocks(dev) * kFsBlockBytes;
  while (io.work().bytes < bytes) apply(io, files->next(), trim);
  return io.work();
}

void flush_or_throw(BenchDevice& dev) { check(dev.flush(), "flush", 0); }

struct Definition {
  std::string name;
  std::string variant;  // W5, W6: "trim" or "no-trim"
  std::string what;
  bool writes;
  std::function<void(BenchDevice&)> prepare;
  std::function<HostWork(BenchDevice&, CycleWatch*)> measure;
};

Definition definition(const std::string& name) {
  auto fill = [](BenchDevice& dev) { sequential_fill(dev, nullptr); };
  if (name == "W1") return {name, "", "sequential fill", true, nullptr, sequential_fill};
  if (name == "W2") return {name, "", "uniform random, 3x capacity", true, fill, uniform_random};
  if (name == "W3") return {name, "", "hot/cold 80/20, 3x capacity", true, fill, hot_cold};
  if (name == "W4") return {name, "", "512 B sectors, 3x capacity", true, fill, small_writes};
  if (name == "R1") {
    // The read order is made while preparing: it is not part of the measured work.
    auto order = std::make_shared<std::vector<uint32_t>>();
    auto prepare = [order](BenchDevice& dev) {
      sequential_fill(dev, nullptr);
      uniform_random(dev, nullptr);
      *order = shuffled_pages(dev.logical_pages());
    };
    auto measure = [order](BenchDevice& dev, CycleWatch* watch) {
      return random_reads(dev, watch, *order);
    };
    return {name, "", "page reads, random order", false, prepare, measure};
  }
  throw std::invalid_argument("unknown workload " + name);
}

const char* trim_variant(bool trim) { return trim ? "trim" : "no-trim"; }

Definition live_half(bool trim) {
  auto half = std::make_shared<LiveHalf>();
  auto prepare = [half, trim](BenchDevice& dev) {
    *half = LiveHalf{};
    sequential_fill(dev, nullptr);
    trim_half(dev, trim, half.get());
  };
  auto measure = [half](BenchDevice& dev, CycleWatch* watch) {
    return live_random_writes(dev, watch, half.get());
  };
  return {"W5", trim_variant(trim), "trimmed half, 4 KiB random", true, prepare, measure};
}

Definition file_churn(bool trim) {
  auto files = std::make_shared<FileChurn>(0, kSeed);
  auto prepare = [files, trim](BenchDevice& dev) {
    *files = FileChurn(fs_blocks(dev), kSeed);
    sequential_fill(dev, nullptr);
    new_filesystem(dev, files.get(), trim);
  };
  auto measure = [files, trim](BenchDevice& dev, CycleWatch* watch) {
    return churn_files(dev, watch, files.get(), trim);
  };
  return {"W6", trim_variant(trim), "file churn 40-60% full, 3x", true, prepare, measure};
}

// W5 and W6 run with trim and without; the others once.
std::vector<Definition> definitions(const std::string& name) {
  if (name == "W5") return {live_half(true), live_half(false)};
  if (name == "W6") return {file_churn(true), file_churn(false)};
  return {definition(name)};
}

bool same_flash_work(const PhaseResult& a, const PhaseResult& b) {
  return a.counters.reads == b.counters.reads && a.counters.programs == b.counters.programs &&
         a.counters.erases == b.counters.erases &&
         a.counters.device_time_ns == b.counters.device_time_ns;
}

void finish_result(WorkloadResult* result) {
  for (const PhaseResult& r : result->runs) {
    if (!same_flash_work(r, result->runs.front())) result->repeatable = false;
  }
}

WorkloadResult run_definition(const Definition& def, const BenchConfig& config) {
  WorkloadResult result;
  result.name = def.name;
  result.variant = def.variant;
  result.what = def.what;
  result.writes = def.writes;
  for (int run = 0; run < config.runs; ++run) {
    LogTally logs;
    BenchDevice dev(config.chip, config.gc_policy, config.storage);
    if (def.prepare) {
      def.prepare(dev);
      flush_or_throw(dev);
    }
    dev.reset_counters();
    logs.take();
    CycleWatch watch(dev);
    PhaseResult r;

    profiler_enable();
    const double cpu0 = cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    HostWork work = def.measure(dev, &watch);
    flush_or_throw(dev);
    const auto wall1 = std::chrono::steady_clock::now();
    const double cpu1 = cpu_seconds();
    profiler_disable();

    r.wall_s = std::chrono::duration<double>(wall1 - wall0).count();
    r.cpu_s = cpu1 - cpu0;
    r.host_ops = work.ops;
    r.host_bytes = work.bytes;
    r.counters = dev.counters();
    r.traffic = dev.traffic();
    dev.erase_count_range(&r.ec_min, &r.ec_max);
    watch.store(&r);
    r.logs = logs.take();
    result.runs.push_back(std::move(r));
  }
  finish_result(&result);
  return result;
}

}  // namespace

nandsim::Geometry default_chip() {
  nandsim::Geometry g;
  g.page_size = 2048;
  g.oob_size = 64;
  g.pages_per_block = 64;
  g.blocks = 1024;
  return g;
}

std::vector<std::string> all_workloads() {
  return {"W1", "W2", "W3", "W4", "W5", "W6", "R1", "M1"};
}

std::vector<WorkloadResult> run_workload(const std::string& name, const BenchConfig& config) {
  std::vector<WorkloadResult> results;
  for (const Definition& def : definitions(name)) results.push_back(run_definition(def, config));
  return results;
}

WorkloadResult run_attach(const BenchConfig& config, BenchDevice::Memory* memory,
                          nandsim::Geometry* measured_chip) {
  WorkloadResult result;
  result.name = "M1";
  result.what = "attach of a full chip";
  result.writes = false;
  *measured_chip = config.attach_chip;

  LogTally logs;
  BenchDevice dev(config.attach_chip, config.gc_policy, config.storage);
  sequential_fill(dev, nullptr);
  flush_or_throw(dev);
  for (int run = 0; run < config.runs; ++run) {
    dev.detach();
    dev.reset_counters();
    logs.take();
    PhaseResult r;
    profiler_enable();
    const double cpu0 = cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    dev.attach();
    const auto wall1 = std::chrono::steady_clock::now();
    const double cpu1 = cpu_seconds();
    profiler_disable();
    r.wall_s = std::chrono::duration<double>(wall1 - wall0).count();
    r.cpu_s = cpu1 - cpu0;
    r.counters = dev.counters();
    r.traffic = dev.traffic();
    dev.erase_count_range(&r.ec_min, &r.ec_max);
    r.free_min = r.free_max = dev.part()->free_block_num;
    r.logs = logs.take();
    result.runs.push_back(std::move(r));
  }
  *memory = dev.memory();
  finish_result(&result);
  return result;
}

}  // namespace bench
