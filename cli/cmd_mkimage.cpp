// mkimage: a blank (erased) image of a given geometry and size, with factory
// bad blocks if asked; with --format, every partition the translation layer
// serves is formatted too (head mark written, ready to attach).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli_common.h"
#include "nyx_nftl/nyx_nftl.h"
#include "platform/mtd/mtd_partition.h"

namespace cli {

namespace {

struct MkimageArgs {
  ImageArgs image;
  std::string size;  // main-data bytes, with an optional k/M/G suffix
  std::optional<uint32_t> blocks;
  std::vector<uint32_t> bad_blocks;
  double bad_rate = 0;
  uint64_t seed = 1;
  bool force = false;
  bool format = false;
};

// The chip the options describe, every option checked: they describe the
// chip to make, so a wrong size, geometry, bad block or partition list is a
// wrong command line.
Result<nandsim::Options> chip_options(const MkimageArgs& args) {
  // Default: the default chip, 1024 blocks of 128 KiB (128 MiB of data).
  uint32_t blocks = 1024;
  nandsim::Geometry g = geometry_of(args.image, 1);
  if (std::string why = g.validate(); !why.empty()) return Status::Usage("bad geometry: " + why);
  if (args.blocks.has_value()) {
    blocks = *args.blocks;
  } else if (!args.size.empty()) {
    auto size = parse_size(args.size);
    if (!size.ok()) return size.status();
    if (size.value() == 0 || size.value() % g.erase_size() != 0 ||
        size.value() / g.erase_size() > UINT32_MAX) {
      return Status::Usage("size " + args.size + " is not a whole number of " +
                           std::to_string(g.erase_size()) + "-byte erase blocks");
    }
    blocks = static_cast<uint32_t>(size.value() / g.erase_size());
  }

  nandsim::Options options;
  options.geometry = geometry_of(args.image, blocks);
  options.factory_bad_blocks = args.bad_blocks;
  options.factory_bad_rate = args.bad_rate;
  options.seed = args.seed;
  if (std::string why = options.geometry.validate(); !why.empty()) {
    return Status::Usage("bad geometry: " + why);
  }
  for (uint32_t block : args.bad_blocks) {
    if (block >= blocks) {
      return Status::Usage("bad block " + std::to_string(block) + " is beyond the chip's " +
                           std::to_string(blocks) + " blocks");
    }
  }
  if (!(args.bad_rate >= 0 && args.bad_rate <= 1)) {
    return Status::Usage("--bad-rate " + std::to_string(args.bad_rate) + " is not between 0 and 1");
  }
  // The list is read whatever it is for; with --format it must fit the chip.
  auto parts = parse_partition_list(args.image.mtdparts, options.geometry);
  if (!parts.ok() && (args.format || parts.status().IsUsage())) {
    return Status::Usage(parts.message());
  }
  return options;
}

// Fills the created chip: syncs it, formats the served partitions with
// --format, and reports what was made.
Status make_chip(const MkimageArgs& args, nandsim::NandChip& chip) {
  const std::string cannot_write = "cannot write " + args.image.path + ": ";
  if (Status synced = chip.sync(); !synced.ok()) return synced.prefixed(cannot_write);
  if (args.format) {
    // The attach formats a partition that carries no head mark; the
    // partition record is dropped right after, so only the format stays.
    auto parts = nandsim::split_partitions(chip, args.image.mtdparts);
    if (!parts.ok()) return parts.status();
    for (auto& part : parts.value()) {
      const std::string& name = part->part_def().name;
      if (disk_base_name(name).empty()) continue;
      nyx_nftl_part_t* record = nullptr;
      if (int ret = nyx_nftl_part_attach(part->mtd(), &record); ret != 0) {
        return Status::FromErrno(
            -ret, "cannot format partition " + name + ": error " + std::to_string(ret));
      }
      const bool ready = record->part_current_used_block != nullptr;
      nyx_nftl_part_detach(record);
      if (!ready) {
        return Status::InvalidArgument("partition " + name + " is too small to be served");
      }
      std::printf("formatted %s\n", name.c_str());
    }
    if (Status synced = chip.sync(); !synced.ok()) return synced.prefixed(cannot_write);
  }
  const nandsim::Geometry& made = chip.geometry();
  uint32_t bad = 0;
  for (uint32_t b = 0; b < made.blocks; ++b) bad += chip.is_bad(b) ? 1 : 0;
  std::printf(
      "created %s: %u blocks of %u pages of %u+%u bytes, %llu bytes of data "
      "(%llu bytes raw), %u factory bad blocks\n",
      args.image.path.c_str(), made.blocks, made.pages_per_block, made.page_size, made.oob_size,
      static_cast<unsigned long long>(made.data_size()),
      static_cast<unsigned long long>(made.image_size()), bad);
  return Status::Ok();
}

Status run_mkimage(const MkimageArgs& args, const GlobalOptions& global) {
  auto options = chip_options(args);
  if (!options.ok()) return options.status();
  SystemLog log(global.verbose);

  // The file is made here first (O_EXCL), so that a failure later removes
  // only a file this run created; with --force an existing file is taken
  // over and, whatever happens, never removed.
  const std::string& path = args.image.path;
  struct stat created {};
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && !(errno == EEXIST && args.force)) {
    const int err = errno;
    if (err == EEXIST)
      return Status::InvalidArgument(path + " exists; use --force to overwrite it");
    return Status::FromErrno(err, "cannot create " + path + ": " + std::strerror(err));
  }
  if (fd >= 0) {
    const bool known = ::fstat(fd, &created) == 0;
    ::close(fd);
    if (!known) created = {};
  }
  auto remove_created = [&] {
    struct stat now {};
    if (fd >= 0 && ::stat(path.c_str(), &now) == 0 && now.st_dev == created.st_dev &&
        now.st_ino == created.st_ino) {
      ::unlink(path.c_str());
    }
  };

  auto chip = nandsim::NandChip::create_image(path, options.value());
  if (!chip.ok()) {
    // Held by another process: it is theirs now, whoever made it.
    if (!chip.status().IsBusy()) remove_created();
    return chip.status().prefixed("cannot create " + path + ": ");
  }
  // The chip is built beside the name and renamed over it: the file this
  // run made is now the chip's.
  if (fd >= 0 && ::stat(path.c_str(), &created) != 0) created = {};
  Status made = make_chip(args, *chip.value());
  chip.value().reset();
  if (!made.ok()) remove_created();
  return made;
}

}  // namespace

Command add_mkimage(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<MkimageArgs>();
  CLI::App* sub = app.add_subcommand("mkimage", "Create a blank (erased) NAND image");
  sub->add_option("IMAGE", args->image.path, "Image file to create")->required();
  add_geometry_options(sub, args->image);
  auto* size = sub->add_option("--size", args->size,
                               "Data bytes (k/M/G suffix), a whole number of blocks "
                               "(default 128M)");
  auto* blocks = sub->add_option("--blocks", args->blocks, "Erase blocks in the chip");
  size->excludes(blocks);
  sub->add_option("--bad-blocks", args->bad_blocks, "Factory bad blocks (comma-separated)")
      ->delimiter(',');
  sub->add_option("--bad-rate", args->bad_rate, "Fraction of blocks marked bad at random")
      ->check(CLI::Range(0.0, 1.0));
  sub->add_option("--seed", args->seed, "Seed of the random bad blocks")->capture_default_str();
  sub->add_flag("--force", args->force, "Overwrite an existing file");
  sub->add_option("--mtdparts", args->image.mtdparts,
                  "Partition list for --format (mtdparts syntax)")
      ->capture_default_str();
  sub->add_flag("--format", args->format,
                "Also format every partition the translation layer serves");
  return {sub, [args, &global] { return run_mkimage(*args, global); }};
}

}  // namespace cli
