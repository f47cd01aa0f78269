// The mtdparts partition list (Linux command-line syntax): parsing it into
// partition descriptions placed on a chip.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace nandsim {

// One partition of a chip as an mtdparts list names it.
struct PartitionDef {
  std::string name;
  uint64_t offset = 0;  // bytes from the chip's start
  uint64_t size = 0;    // bytes
  bool read_only = false;
};

// Parses a Linux mtdparts-style list, e.g.
// "32M(system),16M(cache),16M(NFTL_Part),-(userdata)": comma-separated
// <size>[@<offset>](<name>)[ro], sizes in bytes with an optional k/K, m/M or
// g/G suffix, "-" for the rest of the chip; an optional "<mtd-id>:" prefix is
// accepted and ignored. Sizes and offsets must be multiples of `erasesize`,
// partitions must not overlap and must be listed in the order they lie on
// the chip, and the layout must fit in `chip_size`.
Result<std::vector<PartitionDef>> parse_mtdparts(std::string_view text, uint64_t chip_size,
                                                 uint64_t erasesize);

}  // namespace nandsim
