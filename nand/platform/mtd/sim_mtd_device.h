// The MTD device the simulated chip offers over a range of its blocks (the
// whole chip, or one partition): the record behind an mtd_info's `priv` and
// the operation table that serves it. Internal to the simulation: users reach
// it through NandChip::mtd() and MtdPartition::mtd().
#pragma once

#include <cstdint>
#include <string>

#include "platform/mtd/mtd.h"

namespace nandsim {

class NandChip;

// The MTD device over a range of whole blocks of a chip; the mtd_info's
// priv points here. It lives inside a heap record and never moves.
struct MtdDevice {
  NandChip* chip = nullptr;
  uint32_t first_block = 0;
  uint64_t first_page = 0;
  uint64_t size = 0;
  uint32_t writesize = 0;
  uint32_t erasesize = 0;
  uint32_t oob_size = 0;
  uint32_t spare_offset = 0;
  bool read_only = false;
  std::string name;
  nand_ecclayout layout{};
  mtd_info info{};
};

// Fills `device` (and its mtd_info) for blocks first_block .. first_block +
// block_count - 1 of `chip`.
void init_mtd_device(MtdDevice& device, NandChip& chip, std::string name, int index,
                     uint32_t first_block, uint32_t block_count, bool read_only);

}  // namespace nandsim
