// The benchmark's workloads and what one measured phase of each yields.
//
//   W1  sequential fill: every logical page once, in order.
//   W2  uniform random: after W1, 3 x capacity page writes at
//       page = ((r >> 32) * N) >> 32, r from splitmix64 seeded 42.
//   W3  hot/cold: after W1, 3 x capacity page writes; 80% of them uniform
//       in the first N/5 pages, the rest uniform in the others.
//   W4  small writes: after W1, 3 x capacity worth of single 512-byte
//       sector writes at random sectors.
//   W5  trimmed half: after W1, half of the disk's 64 KiB extents, drawn
//       without replacement, are trimmed; then 3 x capacity in 4 KiB
//       writes, uniform over the other half's 4 KiB blocks. Run with trim
//       and without (the extents only forgotten: the layer still holds them
//       live); the trim is part of the preparation.
//   W6  file churn: a filesystem's requests (bench/fs_model.h has the
//       details). After W1 (the disk was in use before), a new filesystem
//       whose mkfs trims the whole disk. Files of 16 KiB to 4 MiB (each
//       doubling of size as likely, uniform within it) are created,
//       rewritten and deleted, 4 to 8 of them written at once, round robin
//       in chunks of 16 to 64 KiB as writeback sends them, so that a flash
//       block holds pieces of several files. A file's blocks are allocated
//       first fit from the start of a random one of 16 block groups; a
//       rewrite overwrites a random run of the file in place. Each create,
//       rewrite and delete, and every 8th chunk of a file, writes a few
//       metadata blocks (journal, inode table, group bitmap) in a fixed
//       region of 1/64 of the disk, never trimmed. Once files fill half the
//       data area, creates, rewrites and deletes, equally likely, keep it
//       40% to 60% full until the host has written 3 x capacity; that churn
//       is measured. With trim, mkfs and every delete trim; without, the
//       blocks are only forgotten: the same writes either way.
//   R1  reads: after W1 and W2, every logical page read once in a random
//       order (a shuffle driven by the same generator).
//   M1  attach: a full chip (after a sequential fill) released and brought
//       up again; the bring-up is measured.
// Host writes are whole pages (all sectors of one page, page aligned; W5
// and W6 write whole 4 KiB blocks) through the device record's sector write
// entry, trims through the discard entry's nand_trim, each under the
// partition mutex; every measured phase ends with a flush of the write
// cache. Every run starts from a freshly formatted chip.
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
  std::string variant;  // W5, W6: "trim" or "no-trim"; else empty
  std::string what;
  bool writes = true;
  std::vector<PhaseResult> runs;
  bool repeatable = true;  // every run gave the same flash counters

  // The name with its variant: "W2", "W5 trim".
  std::string label() const { return variant.empty() ? name : name + " " + variant; }
};

struct BenchConfig {
  nandsim::Geometry chip;         // W1..W6, R1
  nandsim::Geometry attach_chip;  // M1
  int runs = 3;
  std::vector<std::string> only;         // workloads to run; empty: all
  uint16_t gc_policy = NYX_GC_STANDARD;  // the collection policy of every workload
  ChipStorage storage;                   // where the chips' bytes live
};

// The default chip: 2048-byte pages, 64-byte OOB, 64 pages per block, 1024 blocks.
nandsim::Geometry default_chip();

// Runs workload `name` ("W1".."W6", "R1") `config.runs` times: one result,
// or for W5 and W6 two, with trim and without.
std::vector<WorkloadResult> run_workload(const std::string& name, const BenchConfig& config);

// M1: fills a chip of `config.attach_chip`, then releases and brings the
// partition up `config.runs` times, measuring each bring-up. `memory`
// receives the records' sizes after the last bring-up.
WorkloadResult run_attach(const BenchConfig& config, BenchDevice::Memory* memory,
                          nandsim::Geometry* measured_chip);

std::vector<std::string> all_workloads();

}  // namespace bench
