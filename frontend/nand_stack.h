// The whole storage stack behind a front end, over one NAND image: the
// simulated chip on the image file, its MTD partitions (an mtdparts list),
// the MTD device registry and the translation layer's operation table, which
// turns every accepted partition into a disk of the block-translation layer.
//
// The platform's registries (MTD devices, translation tables, reboot
// notification) are process-wide, so one NandStack serves a process at a
// time. Shutdown is orderly: the reboot notification flushes every device's
// cache and stops its worker, then the table is deregistered (removing every
// disk), the MTD devices are withdrawn and the image is synced and unmapped.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"
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

class NandStack {
 public:
  // Opens the image and splits it into partitions; nothing is attached yet.
  static Result<std::unique_ptr<NandStack>> open(const ImageOptions& options);

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

  nandsim::NandChip& chip() { return *chip_; }
  const ImageOptions& options() const { return options_; }
  const std::vector<std::unique_ptr<nandsim::MtdPartition>>& partitions() const {
    return partitions_;
  }

 private:
  NandStack() = default;

  ImageOptions options_;
  std::unique_ptr<nandsim::NandChip> chip_;
  std::vector<std::unique_ptr<nandsim::MtdPartition>> partitions_;
  bool mtd_added_ = false;
  bool table_registered_ = false;
};

}  // namespace frontend
