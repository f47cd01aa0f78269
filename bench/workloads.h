// The benchmark's workloads and what one measured phase of each yields.
//
//   W1  sequential fill: every logical page once, in order.
//   W2  uniform random: after W1, 3 x capacity page writes at
//       page = ((r >> 32) * N) >> 32, r from splitmix64 seeded 42.
//   W3  hot/cold: after W1, 3 x capacity page writes; 80% of them uniform
//       in the first N/5 pages, the rest uniform in the others.
//   W4  small writes: after W1, 3 x capacity worth of single 512-byte
//       sector writes at random sectors.
//   R1  reads: after W1 and W2, every logical page read once in a random
//       order (a shuffle driven by the same generator).
//   M1  attach: a full chip (after a sequential fill) released and brought
//       up again; the bring-up is measured.
// Host writes are whole pages (all sectors of one page, page aligned)
// through the device record's sector write entry, each under the partition
// mutex; every measured phase ends with a flush of the write cache. Every
// run starts from a freshly formatted chip.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench_device.h"
#include "platform/mtd/nand_sim.h"
#include "platform/splitmix64.h"

namespace bench {

constexpr uint64_t kSeed = 42;

// One measured phase (one run).
struct PhaseResult {
  uint64_t host_ops = 0;       // sector calls made
  uint64_t host_bytes = 0;     // bytes written or read by the host
  nandsim::Counters counters;  // chip counters over the phase
  FlashTraffic traffic;
  uint32_t ec_min = 0;
  uint32_t ec_max = 0;
  uint32_t free_min = 0;  // free blocks seen after host operations
  uint32_t free_max = 0;
  double free_mean = 0;    // mean over the host operations
  uint32_t free_end = 0;   // after the phase
  uint64_t gc_cycles = 0;  // collection cycles started during the phase
  uint32_t moves_max = 0;  // pages the collector moved for one host operation: the largest
  uint32_t moves_p99 = 0;  // and the 99th percentile
  double wall_s = 0;
  double cpu_s = 0;
  LogCounts logs;
};

// A workload with all its runs.
struct WorkloadResult {
  std::string name;
  std::string what;
  bool writes = true;
  std::vector<PhaseResult> runs;
  bool repeatable = true;  // every run gave the same flash counters
};

struct BenchConfig {
  nandsim::Geometry chip;         // W1..R1
  nandsim::Geometry attach_chip;  // M1
  int runs = 3;
  std::vector<std::string> only;         // workloads to run; empty: all
  uint16_t gc_policy = NYX_GC_STANDARD;  // the collection policy of W1..R1 and M1
  ChipStorage storage;                   // where the chips' bytes live
};

// The default chip: 2048-byte pages, 64-byte OOB, 64 pages per block, 1024 blocks.
nandsim::Geometry default_chip();

// Runs workload `name` ("W1".."W4", "R1") `config.runs` times.
WorkloadResult run_workload(const std::string& name, const BenchConfig& config);

// M1: fills a chip of `config.attach_chip`, then releases and brings the
// partition up `config.runs` times, measuring each bring-up. `memory`
// receives the records' sizes after the last bring-up.
WorkloadResult run_attach(const BenchConfig& config, BenchDevice::Memory* memory,
                          nandsim::Geometry* measured_chip);

std::vector<std::string> all_workloads();

}  // namespace bench
