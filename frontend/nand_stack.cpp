// The storage stack behind a front end: image, partitions, MTD registry and
// the translation layer's table, with an orderly shutdown.
#include "nand_stack.h"

#include "nyx_nftl/nyx_nftl.h"
#include "platform/block/blktrans_disk.h"
#include "platform/kernel/reboot.h"
#include "platform/mtd/mtd_partition.h"

namespace frontend {

Result<std::unique_ptr<NandStack>> NandStack::open(const ImageOptions& options) {
  if (std::string why = options.geometry.validate(); !why.empty()) {
    return Status::InvalidArgument(why);
  }
  nandsim::Options chip_options;
  chip_options.geometry = options.geometry;
  auto chip = nandsim::NandChip::open_image(options.path, chip_options, options.mode);
  if (!chip.ok()) return chip.status();
  auto parts = nandsim::split_partitions(*chip.value(), options.mtdparts);
  if (!parts.ok()) return parts.status();

  std::unique_ptr<NandStack> stack(new NandStack());
  stack->options_ = options;
  stack->chip_ = std::move(chip).value();
  stack->partitions_ = std::move(parts).value();
  return stack;
}

NandStack::~NandStack() { (void)shutdown(); }

Status NandStack::start() {
  if (!mtd_added_) {
    for (auto& part : partitions_) {
      // The add path attaches each partition with these options.
      nyx_nftl_set_attach_options(part->mtd(), nyx_nftl_attach_options{options_.gc_policy});
      if (int ret = add_mtd_device(part->mtd()); ret != 0) {
        return Status::FromErrno(-ret, "cannot add MTD device " + part->part_def().name +
                                           ": error " + std::to_string(ret));
      }
    }
    mtd_added_ = true;
  }
  if (!table_registered_) {
    if (int ret = init_nyx_nftl(); ret != 0) {
      return Status::FromErrno(
          -ret, "cannot register the translation layer: error " + std::to_string(ret));
    }
    table_registered_ = true;
  }
  return Status::Ok();
}

Status NandStack::shutdown() {
  std::string problems;
  if (table_registered_) {
    // Flushes every device's cache and stops its worker.
    if (int ret = run_reboot_notifiers(SYS_HALT); ret != 0) {
      problems += "flushing the caches failed (" + std::to_string(ret) + "); ";
    }
    cleanup_nyx_nftl();
    table_registered_ = false;
  }
  if (mtd_added_) {
    for (auto& part : partitions_) {
      (void)del_mtd_device(part->mtd());
      nyx_nftl_clear_attach_options(part->mtd());
    }
    mtd_added_ = false;
  }
  if (chip_ != nullptr && chip_->mode() == nandsim::OpenMode::ReadWrite) {
    if (Status synced = chip_->sync(); !synced.ok()) problems += synced.message();
  }
  if (!problems.empty()) return Status::IOError(problems);
  return Status::Ok();
}

std::vector<BlockDiskInfo> NandStack::disks() const { return blktrans_list_disks(); }

std::shared_ptr<BlockDisk> NandStack::disk(std::string_view name) const {
  return blktrans_find_disk(name);
}

}  // namespace frontend
