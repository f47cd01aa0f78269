// One MTD partition of a simulated chip, and splitting a chip by an
// mtdparts list.
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/mtdparts.h"
#include "platform/mtd/sim_mtd_device.h"

#include <string>

namespace nandsim {

// ---------------------------------------------------------------------------
// Partitions
// ---------------------------------------------------------------------------

struct MtdPartition::Impl {
  NandChip* chip = nullptr;
  PartitionDef part_def;
  uint32_t first_block = 0;
  uint32_t block_count = 0;
  MtdDevice device;
};

Result<std::unique_ptr<MtdPartition>> MtdPartition::create(NandChip& chip, PartitionDef part_def,
                                                           int index) {
  const uint64_t erasesize = chip.geometry().erase_size();
  const uint64_t chip_size = chip.geometry().data_size();
  if (part_def.size == 0 || part_def.offset % erasesize != 0 || part_def.size % erasesize != 0 ||
      part_def.offset > chip_size || part_def.size > chip_size - part_def.offset) {
    return Status::InvalidArgument(
        "partition '" + part_def.name + "' (offset " + std::to_string(part_def.offset) + ", size " +
        std::to_string(part_def.size) + ") is not a whole number of blocks inside the chip");
  }
  return std::unique_ptr<MtdPartition>(new MtdPartition(chip, std::move(part_def), index));
}

MtdPartition::MtdPartition(NandChip& chip, PartitionDef part_def, int index)
    : impl_(std::make_unique<Impl>()) {
  const uint64_t erasesize = chip.geometry().erase_size();
  impl_->chip = &chip;
  impl_->first_block = uint32_t(part_def.offset / erasesize);
  impl_->block_count = uint32_t(part_def.size / erasesize);
  impl_->part_def = std::move(part_def);
  init_mtd_device(impl_->device, chip, impl_->part_def.name, index, impl_->first_block,
                  impl_->block_count, impl_->part_def.read_only);
}

MtdPartition::~MtdPartition() = default;

mtd_info* MtdPartition::mtd() { return &impl_->device.info; }
const PartitionDef& MtdPartition::part_def() const { return impl_->part_def; }
NandChip& MtdPartition::chip() { return *impl_->chip; }
uint32_t MtdPartition::first_block() const { return impl_->first_block; }
uint32_t MtdPartition::block_count() const { return impl_->block_count; }

Result<std::vector<std::unique_ptr<MtdPartition>>> split_partitions(NandChip& chip,
                                                                    std::string_view mtdparts) {
  const Geometry& g = chip.geometry();
  auto defs = parse_mtdparts(mtdparts, g.data_size(), g.erase_size());
  if (!defs.ok()) return defs.status();
  std::vector<std::unique_ptr<MtdPartition>> partitions;
  int index = 0;
  for (PartitionDef& part_def : defs.value()) {
    auto part = MtdPartition::create(chip, std::move(part_def), index++);
    if (!part.ok()) return part.status();
    partitions.push_back(std::move(part).value());
  }
  return partitions;
}

}  // namespace nandsim
