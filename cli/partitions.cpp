// Partition names as the translation layer sees them (disk base names, debug
// classes), finding a partition by either name, and the head-mark probe that
// tells a formatted partition from a blank one without attaching it.
#include <cstring>
#include <vector>

#include "cli_common.h"
#include "nyx_nftl/nyx_nftl.h"
#include "platform/mtd/mtd.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/mtdparts.h"

namespace cli {

// The names come from the translation layer's table of served partitions.
std::string disk_base_name(std::string_view mtd_name) {
  const nyx_nftl_served_part* s = nyx_nftl_served_part_of(std::string(mtd_name).c_str());
  return s != nullptr ? s->disk_name : "";
}

std::string debug_class_name(std::string_view mtd_name) {
  const nyx_nftl_served_part* s = nyx_nftl_served_part_of(std::string(mtd_name).c_str());
  return s != nullptr && s->debug_class != nullptr ? s->debug_class : "";
}

Result<const frontend::StackPart*> find_partition(frontend::NandStack& stack,
                                                  std::string_view name) {
  std::string known;
  for (const frontend::StackPart& part : stack.parts()) {
    if (part.name == name) return &part;
    known += (known.empty() ? "" : ", ") + part.name;
    std::string disk = disk_base_name(part.name);
    if (!disk.empty()) known += " (disk " + disk + ")";
  }
  // A disk name matches when no MTD name did.
  for (const frontend::StackPart& part : stack.parts()) {
    std::string disk = disk_base_name(part.name);
    if (!disk.empty() && disk == name) return &part;
  }
  return Status::NotFound("unknown partition \"" + std::string(name) + "\"; partitions: " + known);
}

Result<bool> probe_head_mark(mtd_info* mtd) {
  const uint64_t blocks = mtd->size / mtd->erasesize;
  std::vector<uint8_t> page(mtd->writesize);
  uint8_t spare[NYX_SPARE_BYTES];
  for (uint64_t block = 0; block < blocks; ++block) {
    const uint64_t addr = block * mtd->erasesize;
    int bad = mtd->block_isbad(mtd, addr);
    if (bad < 0) {
      return Status::FromErrno(-bad, "bad-block test failed with error " + std::to_string(bad));
    }
    if (bad != 0) continue;
    std::memset(spare, 0xFF, sizeof spare);
    mtd_oob_ops ops{};
    ops.mode = MTD_OOB_AUTO;
    ops.len = mtd->writesize;
    ops.ooblen = NYX_SPARE_BYTES;
    ops.ooboffs = mtd->ecclayout != nullptr ? mtd->ecclayout->oobfree[0].offset : 0;
    ops.datbuf = page.data();
    ops.oobbuf = spare;
    int ret = mtd->read_oob(mtd, addr, &ops);
    if (ret != 0 && ret != -EUCLEAN) {
      return Status::FromErrno(
          -ret, "reading the first good block failed with error " + std::to_string(ret));
    }
    return oob_is_head_mark(spare);
  }
  // Every block of the partition is marked bad.
  return Status::Corruption("no good block");
}

}  // namespace cli

namespace cli {

ImageArgs only_partition(const ImageArgs& args, const nandsim::PartitionDef& part_def) {
  if (is_device(args)) return args;  // a device is one partition already
  ImageArgs narrowed = args;
  narrowed.mtdparts = std::to_string(part_def.size) + "@" + std::to_string(part_def.offset) + "(" +
                      part_def.name + ")" + (part_def.read_only ? "ro" : "");
  return narrowed;
}

}  // namespace cli

namespace cli {

Result<nandsim::PartitionDef> lookup_partition(const ImageArgs& args, std::string_view name) {
  auto stack = open_stack(args, nandsim::OpenMode::Private);
  if (!stack.ok()) return stack.status();
  auto part = find_partition(*stack.value(), name);
  if (!part.ok()) return part.status();
  const frontend::StackPart& p = *part.value();
  return nandsim::PartitionDef{p.name, p.offset, p.size, p.read_only};
}

}  // namespace cli
