// The storage stack behind a front end: the flash (image partitions or Linux
// MTD devices), the MTD registry and the translation layer's table, with an
// orderly shutdown.
#include "nand_stack.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

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
  stack->gc_policy_ = options.gc_policy;
  stack->chip_ = std::move(chip).value();
  stack->partitions_ = std::move(parts).value();
  for (const auto& p : stack->partitions_) {
    const nandsim::PartitionDef& def = p->part_def();
    stack->parts_.push_back(StackPart{def.name, p->mtd(), def.offset, def.size, p->first_block(),
                                      p->block_count(), def.read_only, ""});
  }
  return stack;
}

std::string served_names() {
  std::string names;
  for (const nyx_nftl_served_part& served : nyx_nftl_served_parts)
    names += (names.empty() ? "" : ", ") + std::string(served.name_prefix);
  return names;
}

std::string served_disk_names() {
  std::string names;
  for (const nyx_nftl_served_part& served : nyx_nftl_served_parts)
    names += (names.empty() ? "" : ", ") + std::string(served.disk_name);
  return names;
}

std::vector<std::string> gc_policy_names() {
  std::vector<std::string> names;
  for (uint16 p = 0; p < NYX_GC_POLICIES; ++p) names.emplace_back(nyx_nftl_gc_policy_name(p));
  return names;
}

std::string gc_policy_names(std::string_view separator) {
  std::string joined;
  for (const std::string& name : gc_policy_names()) {
    joined += (joined.empty() ? "" : std::string(separator)) + name;
  }
  return joined;
}

Result<uint32_t> blocks_of_image(uint64_t file_size, const nandsim::Geometry& geometry) {
  const uint64_t raw_block = geometry.raw_block_size();
  const std::string blocks_of = "raw erase blocks of " + std::to_string(raw_block) + " bytes (" +
                                std::to_string(geometry.pages_per_block) + " pages of " +
                                std::to_string(geometry.page_size) + "+" +
                                std::to_string(geometry.oob_size) + " bytes)";
  if (raw_block == 0 || file_size == 0 || file_size % raw_block != 0) {
    return Status::InvalidArgument("is " + std::to_string(file_size) +
                                   " bytes, not a whole number of " + blocks_of +
                                   ": wrong geometry or truncated image");
  }
  if (file_size / raw_block > UINT32_MAX) {
    return Status::InvalidArgument("is " + std::to_string(file_size) + " bytes, more than " +
                                   std::to_string(UINT32_MAX) + " " + blocks_of);
  }
  return static_cast<uint32_t>(file_size / raw_block);
}

std::string human_size(uint64_t bytes) {
  char text[64];
  if (bytes % (1024 * 1024) == 0) {
    std::snprintf(text, sizeof text, "%" PRIu64 " MiB", bytes / (1024 * 1024));
  } else if (bytes % 1024 == 0) {
    std::snprintf(text, sizeof text, "%" PRIu64 " KiB", bytes / 1024);
  } else {
    std::snprintf(text, sizeof text, "%" PRIu64 " bytes", bytes);
  }
  return text;
}

namespace {

// The devices named, then (with all_mtd) every other NAND device whose own
// name the translation layer accepts.
Result<std::vector<linuxmtd::DeviceRef>> devices_to_open(const DeviceOptions& options) {
  std::vector<linuxmtd::DeviceRef> refs = options.devices;
  if (!options.all_mtd) return refs;
  auto listed = linuxmtd::list_devices(options.sysfs_root);
  if (!listed.ok()) return listed.status();
  for (const linuxmtd::DeviceEntry& e : listed.value()) {
    if (e.type != "nand" || nyx_nftl_served_part_of(e.name.c_str()) == nullptr) continue;
    const bool named = std::any_of(refs.begin(), refs.end(),
                                   [&](const linuxmtd::DeviceRef& s) { return s.path == e.path; });
    if (!named) refs.push_back(linuxmtd::DeviceRef{e.path, ""});
  }
  if (refs.empty()) {
    return Status::NotFound(
        "no MTD device of this kernel is a NAND partition whose name begins "
        "with one of " +
        served_names() + " (name one with --mtd /dev/mtdN=NAME)");
  }
  return refs;
}

}  // namespace

Result<std::unique_ptr<NandStack>> NandStack::open_devices(const DeviceOptions& options) {
  auto refs = devices_to_open(options);
  if (!refs.ok()) return refs.status();
  std::unique_ptr<NandStack> stack(new NandStack());
  stack->gc_policy_ = options.gc_policy;
  for (const linuxmtd::DeviceRef& ref : refs.value()) {
    auto device = linuxmtd::LinuxMtdDevice::open(ref, options.mode, options.sysfs_root);
    if (!device.ok()) return device.status();
    mtd_info* mtd = device.value()->mtd();
    const uint32_t blocks = static_cast<uint32_t>(mtd->size / mtd->erasesize);
    stack->parts_.push_back(StackPart{device.value()->name(), mtd, 0, mtd->size, 0, blocks,
                                      options.mode == linuxmtd::Mode::Private, ref.path});
    stack->devices_.push_back(std::move(device).value());
  }
  return stack;
}

NandStack::~NandStack() { (void)shutdown(); }

Status NandStack::start() {
  if (!mtd_added_) {
    for (const StackPart& part : parts_) {
      // The add path attaches each partition with these options.
      nyx_nftl_set_attach_options(part.mtd, nyx_nftl_attach_options{gc_policy_});
      if (int ret = add_mtd_device(part.mtd); ret != 0) {
        return Status::FromErrno(
            -ret, "cannot add MTD device " + part.name + ": error " + std::to_string(ret));
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
    for (const StackPart& part : parts_) {
      (void)del_mtd_device(part.mtd);
      nyx_nftl_clear_attach_options(part.mtd);
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
