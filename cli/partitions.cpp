// Partition names as the translation layer sees them (disk base names, debug
// classes), finding a partition by either name, and the head-mark probe that
// tells a formatted partition from a blank one without attaching it.
#include <cerrno>

#include "cli_common.h"
#include "nyx_nftl/nyx_nftl.h"
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
  // The name is the command line's, checked against its partition list.
  return Status::Usage("unknown partition \"" + std::string(name) + "\"; partitions: " + known);
}

Status check_served(std::string_view mtd_name) {
  if (!disk_base_name(mtd_name).empty()) return Status::Ok();
  return Status::Usage("partition " + std::string(mtd_name) +
                       " is not served by the translation layer (its names begin with one of " +
                       frontend::served_names() + ")");
}

Status check_debug_class(std::string_view mtd_name) {
  if (!debug_class_name(mtd_name).empty()) return Status::Ok();
  std::string with_class;
  for (const nyx_nftl_served_part& served : nyx_nftl_served_parts) {
    if (served.debug_class == nullptr) continue;
    with_class += (with_class.empty() ? "" : ", ") + std::string(served.name_prefix);
  }
  return Status::Usage("partition " + std::string(mtd_name) + " has no debug class (only " +
                       with_class + " have one)");
}

Result<bool> probe_head_mark(mtd_info* mtd) {
  const int ret = nyx_nftl_probe_head_mark(mtd);
  if (ret == 1 || ret == 0) return ret == 1;
  // Every block of the partition is marked bad.
  if (ret == -ENOSPC) return Status::Corruption("no good block");
  return Status::FromErrno(-ret,
                           "reading the first good block failed with error " + std::to_string(ret));
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
