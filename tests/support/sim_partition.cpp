// A simulated chip with one attached partition, for the translation layer's tests.
#include "support/sim_partition.h"

#include <stdexcept>

SimPartition::SimPartition(const nandsim::Options& options, std::string name) {
  auto chip = nandsim::NandChip::create_in_memory(options);
  if (!chip.ok()) throw std::runtime_error("simulated chip: " + chip.message());
  chip_ = std::move(chip).value();
  nandsim::PartitionSpec part_def;
  part_def.name = std::move(name);
  part_def.offset = 0;
  part_def.size = options.geometry.data_size();
  auto partition = nandsim::MtdPartition::create(*chip_, part_def, 0);
  if (!partition.ok()) throw std::runtime_error("partition: " + partition.message());
  partition_ = std::move(partition).value();
}

SimPartition::~SimPartition() { detach(); }

mtd_info* SimPartition::mtd() { return partition_->mtd(); }

int SimPartition::attach() {
  detach();
  nyx_nftl_part_t* attached = nullptr;
  int ret = nyx_nftl_part_attach(mtd(), &attached);
  if (ret == 0) part = attached;
  return ret;
}

void SimPartition::detach() {
  if (part != nullptr) {
    nyx_nftl_part_detach(part);
    part = nullptr;
  }
}

int SimPartition::reattach() {
  detach();
  return attach();
}

nandsim::Options small_chip(uint32_t blocks, uint32_t pages_per_block, uint32_t page_size,
                            uint32_t oob_size) {
  nandsim::Options options;
  options.geometry.blocks = blocks;
  options.geometry.pages_per_block = pages_per_block;
  options.geometry.page_size = page_size;
  options.geometry.oob_size = oob_size;
  return options;
}
