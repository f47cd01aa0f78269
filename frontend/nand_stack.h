// The whole storage stack behind a front end: the flash (a NAND image file
// split into MTD partitions by an mtdparts list, or Linux MTD devices,
// /dev/mtdN), the MTD device registry and the translation layer's operation
// table, which turns every accepted partition into a disk of the
// block-translation layer.
//
// The platform's registries (MTD devices, translation tables, reboot
// notification) are process-wide, so one NandStack serves a process at a
// time. Shutdown is orderly: the reboot notification flushes every device's
// cache and stops its worker, then the table is deregistered (removing every
// disk), the MTD devices are withdrawn and the image is synced and unmapped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"
#include "platform/mtd/linux_mtd.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/nand_sim.h"
#include "platform/status.h"

namespace frontend {

constexpr const char* kDefaultMtdparts = "32M(system),16M(cache),16M(NFTL_Part),-(userdata)";

struct ImageOptions {
  std::string path;
  nandsim::Geometry geometry;  // the default chip unless told otherwise
  std::string mtdparts = kDefaultMtdparts;
  nandsim::OpenMode mode = nandsim::OpenMode::ReadWrite;
  uint16_t gc_policy = 0;  // the translation layer's collection policy (NYX_GC_*)
};

// Linux MTD devices to serve.
struct DeviceOptions {
  std::vector<linuxmtd::DeviceRef> devices;  // each /dev/mtdN, optionally under a name
  // Also every NAND device whose own name the translation layer accepts
  // (as the add path would be offered them), besides those above.
  bool all_mtd = false;
  // ReadWrite: the devices are written and locked against other writers;
  // Private: read only, the layer's writes stay in memory.
  linuxmtd::Mode mode = linuxmtd::Mode::ReadWrite;
  uint16_t gc_policy = 0;
  std::string sysfs_root = "/sys/class/mtd";
};

// One MTD partition of the stack: of the image's chip, or a Linux device.
struct StackPart {
  std::string name;  // the name it is served under
  mtd_info* mtd = nullptr;
  uint64_t offset = 0;  // bytes from the chip's start (a device: 0)
  uint64_t size = 0;    // bytes
  uint32_t first_block = 0;
  uint32_t block_count = 0;
  bool read_only = false;
  std::string device;  // "/dev/mtdN" for a Linux device, empty for an image's partition
};

// The beginnings of the MTD names the translation layer serves, joined by
// ", " (for messages and help texts).
std::string served_names();
// The disk names the translation layer gives them, joined by ", ".
std::string served_disk_names();

// The translation layer's collection policies by name ("standard" first, the
// default); and the same joined by `separator`.
std::vector<std::string> gc_policy_names();
std::string gc_policy_names(std::string_view separator);

// A disk size for people: "56 MiB", "12 KiB", "700 bytes".
std::string human_size(uint64_t bytes);

// The block count of an image file of `file_size` bytes under `geometry`
// (its block count ignored): whole raw erase blocks, the main bytes and the
// OOB of every page. Anything else is an error whose message, which follows
// the image's name, says the geometry is wrong or the image truncated.
Result<uint32_t> blocks_of_image(uint64_t file_size, const nandsim::Geometry& geometry);

class NandStack {
 public:
  // Opens the image and splits it into partitions; nothing is attached yet.
  static Result<std::unique_ptr<NandStack>> open(const ImageOptions& options);
  // Opens the devices; nothing is attached yet. Not found when --all-mtd
  // finds no device the layer accepts and none was named.
  static Result<std::unique_ptr<NandStack>> open_devices(const DeviceOptions& options);

  ~NandStack();
  NandStack(const NandStack&) = delete;
  NandStack& operator=(const NandStack&) = delete;

  // Registers the partitions as MTD devices and the translation layer's
  // operation table: every accepted partition is attached (formatted on
  // first use) and gets a disk with its worker running.
  Status start();
  // The orderly shutdown described above; idempotent. Reports a failed
  // flush or sync (everything is still torn down).
  Status shutdown();

  std::vector<BlockDiskInfo> disks() const;
  std::shared_ptr<BlockDisk> disk(std::string_view name) const;

  // The partitions, in chip (or command-line) order.
  const std::vector<StackPart>& parts() const { return parts_; }
  // The image's chip; null for Linux devices.
  nandsim::NandChip* chip() { return chip_.get(); }

 private:
  NandStack() = default;

  uint16_t gc_policy_ = 0;
  std::unique_ptr<nandsim::NandChip> chip_;
  std::vector<std::unique_ptr<nandsim::MtdPartition>> partitions_;
  std::vector<std::unique_ptr<linuxmtd::LinuxMtdDevice>> devices_;
  std::vector<StackPart> parts_;
  bool mtd_added_ = false;
  bool table_registered_ = false;
};

}  // namespace frontend
