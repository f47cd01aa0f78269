// The device a benchmark runs on: an in-memory simulated chip, one MTD
// partition over the whole chip, and a device record brought up the way the
// block device does it (nyx_nftl_initialize: attach, format on first use,
// mount scan, cache). No worker thread runs: the benchmark is the only
// caller, and it takes the partition mutex around each sector call as the
// request path does.
//
// The partition's physical read and write operations are wrapped (through
// the partition record's operation pointers, which the core reaches every
// physical access by) to sort the flash traffic into host pages, collector
// moves and mapping pages, and to look at every collection victim when its
// mapping page is read. Nothing the core does or writes changes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/nand_sim.h"

namespace bench {

// What the wrapped physical operations saw since the last reset.
struct FlashTraffic {
  uint64_t data_programs = 0;     // programs of logical pages (host and moved)
  uint64_t mapping_programs = 0;  // mapping pages written when a block fills
  uint64_t other_programs = 0;    // marks and anything else
  uint64_t gc_moves = 0;          // logical pages rewritten right after being read
  uint64_t mapping_reads = 0;     // collector steps (each reads its victim's mapping page)
  uint64_t data_reads = 0;
  uint64_t victims = 0;           // distinct victims (a step on a new block)
  uint64_t victim_valid_sum = 0;  // valid pages of each victim when first picked
  uint32_t victim_valid_min = UINT32_MAX;
  uint32_t victim_valid_max = 0;
  std::vector<uint64_t> victim_valid_histogram;  // index: valid pages at first pick
};

// Log lines the core wrote, by their text with numbers removed.
using LogCounts = std::map<std::string, uint64_t>;

// Where the chip's bytes live: in memory, or in an image file made in
// `image_dir` (removed again) and mapped as the chip maps images: whole, or
// in chunks when it exceeds `map_limit` (0: the host's choice).
struct ChipStorage {
  std::string image_dir;  // empty: in memory
  uint64_t map_limit = 0;
};

class BenchDevice {
 public:
  // A freshly erased chip of `geometry`; the partition is named "NFTL_Part".
  // Throws std::runtime_error when the chip or the bring-up fails.
  // `gc_policy`: the collection policy the partition is attached with.
  explicit BenchDevice(const nandsim::Geometry& geometry, uint16_t gc_policy = NYX_GC_STANDARD,
                       const ChipStorage& storage = {});
  ~BenchDevice();
  BenchDevice(const BenchDevice&) = delete;
  BenchDevice& operator=(const BenchDevice&) = delete;

  // Release and bring-up of the partition (the device record stays).
  void detach();
  void attach();

  // The device record's sector entries, and the trim the discard entry
  // makes (nand_trim), each under the partition mutex. Results are the
  // entries' own (0 success).
  uint32_t write_sectors(uint32_t first_sector, uint32_t count, uint8_t* data);
  uint32_t read_sectors(uint32_t first_sector, uint32_t count, uint8_t* data);
  uint32_t trim_sectors(uint32_t first_sector, uint32_t count);
  uint32_t flush();

  nyx_nftl_part_t* part() { return blk_->nyx_nftl_part; }
  nyx_nftl_blk_t* blk() { return blk_; }
  nandsim::NandChip& chip() { return *chip_; }
  uint32_t logical_pages() { return nyx_nftl_logic_pages(part()); }
  uint32_t sectors_per_page() { return part()->nand_chip->sector_per_page; }

  // Chip counters and the traffic probes, zeroed together.
  void reset_counters();
  nandsim::Counters counters() const { return chip_->counters(); }
  const FlashTraffic& traffic() const { return traffic_; }

  // Erase counts of the partition's good blocks from the block table.
  void erase_count_range(uint32_t* min, uint32_t* max);

  // Bytes of the partition's in-memory records: the allocations bring-up
  // makes for the partition and its device record.
  struct Memory {
    uint64_t partition_record = 0;  // partition and chip records
    uint64_t block_table = 0;
    uint64_t logical_map = 0;
    uint64_t reverse_maps = 0;
    uint64_t page_buffers = 0;   // scratch page and the write path's page
    uint64_t device_record = 0;  // device record with the cache's nodes
    uint64_t cache_buffers = 0;
    uint64_t total() const {
      return partition_record + block_table + logical_map + reverse_maps + page_buffers +
             device_record + cache_buffers;
    }
  };
  Memory memory();

  // The probes' hooks (called by the wrapped operations).
  int probed_write(_physic_op_par* p);
  int probed_read(_physic_op_par* p);

 private:
  void install_probes();
  void note_victim(uint16 block, const uchar* mapping_page, uint32_t sequence);

  std::string image_path_;  // removed when the device goes
  std::unique_ptr<nandsim::NandChip> chip_;
  std::unique_ptr<nandsim::MtdPartition> partition_;
  nyx_nftl_blk_t* blk_ = nullptr;
  FlashTraffic traffic_;
  uint32_t last_read_lp_ = NYX_NO_LOGIC_PAGE;
  std::vector<int64_t> victim_seq_;  // per block: sequence number when last picked
};

// Collects the core's log lines while it lives, counted by their text with
// digits dropped, so "something is wrong 1! 7:5" and "... 1! 9:6" count as one.
class LogTally {
 public:
  LogTally();
  ~LogTally();
  LogTally(const LogTally&) = delete;
  LogTally& operator=(const LogTally&) = delete;

  LogCounts take();  // the counts so far, then zero

 private:
  struct State;
  std::shared_ptr<State> state_;
  log_sink_fn previous_;
};

}  // namespace bench
