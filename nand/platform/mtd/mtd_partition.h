// One MTD partition of a simulated chip: an mtd_info whose block 0 is the
// partition's first block, and the splitting of a chip by an mtdparts list.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/mtd/mtd.h"
#include "platform/mtd/mtdparts.h"
#include "platform/mtd/nand_sim.h"
#include "platform/status.h"

namespace nandsim {

class MtdPartition {
 public:
  // Partition number `index` of `chip`. Invalid argument when `part_def` is
  // not a whole number of blocks inside the chip (parse_mtdparts never
  // yields such a part_def).
  static Result<std::unique_ptr<MtdPartition>> create(NandChip& chip, PartitionDef part_def,
                                                      int index);
  ~MtdPartition();
  MtdPartition(const MtdPartition&) = delete;
  MtdPartition& operator=(const MtdPartition&) = delete;

  mtd_info* mtd();
  const PartitionDef& part_def() const;
  NandChip& chip();
  uint32_t first_block() const;  // in chip blocks
  uint32_t block_count() const;

 private:
  struct Impl;
  // `part_def` checked by create().
  MtdPartition(NandChip& chip, PartitionDef part_def, int index);

  std::unique_ptr<Impl> impl_;
};

// Splits a chip into partitions by an mtdparts list (index 0, 1, ... in order).
Result<std::vector<std::unique_ptr<MtdPartition>>> split_partitions(NandChip& chip,
                                                                    std::string_view mtdparts);

}  // namespace nandsim
