// Fuzz target: the mtdparts parser over arbitrary text and chip shapes.
//
// Input: byte 0 picks how the chip is described:
//   even: erase size 2^(9 + b1 % 16) bytes, chip of u16 (bytes 2-3) blocks;
//   odd:  erase size u32 (bytes 1-4, 0 included) and chip size u64 (bytes 5-12),
//         both arbitrary.
// The rest is the partition list. A list the parser accepts must describe
// partitions in chip order that are non-empty, whole erase blocks, inside the
// chip and apart from each other, with names that are not empty; written
// back in canonical form (size@offset(name)[ro]) it must parse to the same
// list.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "platform/mtd/mtdparts.h"
#include "platform/mtd/nand_sim.h"

namespace {

std::string canonical(const std::vector<nandsim::PartitionDef>& parts) {
  std::string text;
  for (const auto& p : parts) {
    if (!text.empty()) text += ',';
    text += std::to_string(p.size) + "@" + std::to_string(p.offset) + "(" + p.name + ")";
    if (p.read_only) text += "ro";
  }
  return text;
}

void check_layout(const std::vector<nandsim::PartitionDef>& parts, uint64_t chip_size,
                  uint64_t erasesize) {
  fuzz::require(!parts.empty(), "an accepted list has a partition");
  for (size_t i = 0; i < parts.size(); ++i) {
    const nandsim::PartitionDef& p = parts[i];
    fuzz::require(!p.name.empty(), "names are not empty");
    fuzz::require(p.name.find(')') == std::string::npos, "a name ends at ')'");
    fuzz::require(p.size != 0, "sizes are not 0");
    fuzz::require(p.offset % erasesize == 0, "offsets are whole erase blocks");
    fuzz::require(p.size % erasesize == 0, "sizes are whole erase blocks");
    fuzz::require(p.offset <= chip_size && p.size <= chip_size - p.offset,
                  "partitions lie inside the chip");
    if (i > 0) {
      const nandsim::PartitionDef& before = parts[i - 1];
      // In chip order and apart: each starts where the one before it ends or later.
      fuzz::require(before.offset + before.size <= p.offset,
                    "partitions are in chip order and do not overlap");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  uint64_t erasesize;
  uint64_t chip_size;
  if ((in.u8() & 1) == 0) {
    erasesize = uint64_t{1} << (9 + in.u8() % 16);
    chip_size = erasesize * in.u16();
  } else {
    erasesize = in.u32();
    chip_size = in.u64();
  }
  std::string_view text = in.rest();

  auto parsed = nandsim::parse_mtdparts(text, chip_size, erasesize);
  if (!parsed.ok()) {
    fuzz::require(!parsed.message().empty(), "a refusal says why");
    return 0;
  }
  const std::vector<nandsim::PartitionDef>& parts = parsed.value();
  check_layout(parts, chip_size, erasesize);

  // The canonical form names every field, and no name holds its ')': two
  // lists with the same canonical form are the same partitions.
  const std::string text_again = canonical(parts);
  auto again = nandsim::parse_mtdparts(text_again, chip_size, erasesize);
  fuzz::require(again.ok(), "the canonical form of an accepted list is accepted");
  fuzz::require(canonical(again.value()) == text_again,
                "the canonical form parses to the same partitions");
  return 0;
}
