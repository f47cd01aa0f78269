// A simulated chip with one attached partition, for the translation layer's tests.
#include "support/sim_partition.h"

#include <cstdlib>
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

nyx_nftl_attach_options test_attach_options() {
  nyx_nftl_attach_options options{};
  const char* name = std::getenv("NYX_GC_POLICY");
  if (name != nullptr && *name != '\0' && !nyx_nftl_gc_policy_by_name(name, &options.gc_policy)) {
    throw std::runtime_error(std::string("NYX_GC_POLICY: unknown collection policy ") + name);
  }
  return options;
}

int SimPartition::attach() { return attach(test_attach_options()); }

int SimPartition::attach(const nyx_nftl_attach_options& options) {
  detach();
  nyx_nftl_part_t* attached = nullptr;
  int ret = nyx_nftl_part_attach(mtd(), &attached, &options);
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
