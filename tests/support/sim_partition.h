// A simulated chip with one MTD partition over it and a partition record
// attached through the normal bring-up, for tests of the translation layer.
#pragma once

#include <memory>
#include <string>

#include "nyx_nftl/nyx_nftl.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/nand_sim.h"

class SimPartition {
 public:
  // A fresh in-memory chip; `options.geometry` gives its shape. The
  // partition covers the whole chip and is named `name`.
  explicit SimPartition(const nandsim::Options& options, std::string name = "NFTL_Part");
  ~SimPartition();
  SimPartition(const SimPartition&) = delete;
  SimPartition& operator=(const SimPartition&) = delete;

  nandsim::NandChip& chip() { return *chip_; }
  mtd_info* mtd();

  // Brings the partition record up (format when unmarked, then the mount
  // scan) with test_attach_options(); returns nyx_nftl_part_attach's
  // result. `part` is set on 0.
  int attach();
  // The same with the given options.
  int attach(const nyx_nftl_attach_options& options);
  // Releases the partition record (nothing is flushed: there is no cache here).
  void detach();
  // detach() then attach(), as after a restart.
  int reattach();

  nyx_nftl_part_t* part = nullptr;

 private:
  std::unique_ptr<nandsim::NandChip> chip_;
  std::unique_ptr<nandsim::MtdPartition> partition_;
};

// The attach options of the tests: the collection policy named by the
// environment variable NYX_GC_POLICY ("standard", "greedy"; unset: the
// default), so that the same nets run under each policy.
nyx_nftl_attach_options test_attach_options();

// Options for a small in-memory chip.
nandsim::Options small_chip(uint32_t blocks, uint32_t pages_per_block, uint32_t page_size = 2048,
                            uint32_t oob_size = 64);
