// The image options of every command that opens an image: the file, its
// geometry (the default chip unless told otherwise, the block count derived
// from the file size) and its partition list, checked before anything opens.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "cli_common.h"
#include "nyx_nftl/nyx_nftl.h"
#include "platform/mtd/mtdparts.h"

namespace cli {

void add_geometry_options(CLI::App* app, ImageArgs& args) {
  app->add_option("--page-size", args.page_size, "Main bytes per page")
      ->capture_default_str()
      ->group("Geometry");
  app->add_option("--oob-size", args.oob_size, "OOB bytes per page")
      ->capture_default_str()
      ->group("Geometry");
  app->add_option("--pages-per-block", args.pages_per_block, "Pages per erase block")
      ->capture_default_str()
      ->group("Geometry");
  app->add_option("--spare-offset", args.spare_offset,
                  "First OOB byte of the translation layer's spare record")
      ->capture_default_str()
      ->group("Geometry");
}

void add_image_options(CLI::App* app, ImageArgs& args, bool image_required) {
  app->add_option("IMAGE", args.path,
                  "Raw NAND image (pages with their OOB), or a Linux MTD device "
                  "/dev/mtdN[=NAME] (served as NAME; its geometry comes from the kernel)")
      ->required(image_required);
  add_geometry_options(app, args);
  app->add_option("--blocks", args.blocks, "Erase blocks in the chip (default: from the file size)")
      ->group("Geometry");
  app->add_option("--mtdparts", args.mtdparts, "Partition list, Linux mtdparts syntax")
      ->capture_default_str()
      ->group("Geometry");
  args.gc_policy = frontend::gc_policy_names().front();
  app->add_option(
         "--gc-policy", args.gc_policy,
         "Collection policy of the attached partitions: " + frontend::gc_policy_names(" or ") +
             " (not part of the format: an image serves under either)")
      ->capture_default_str()
      ->check(CLI::IsMember(frontend::gc_policy_names()));
}

nandsim::Geometry geometry_of(const ImageArgs& args, uint32_t blocks) {
  nandsim::Geometry g;
  g.page_size = args.page_size;
  g.oob_size = args.oob_size;
  g.pages_per_block = args.pages_per_block;
  g.spare_offset = args.spare_offset;
  g.blocks = blocks;
  return g;
}

namespace {

std::string describe(const nandsim::Geometry& g) {
  return std::to_string(g.page_size) + "+" + std::to_string(g.oob_size) + " bytes per page, " +
         std::to_string(g.pages_per_block) + " pages per block (" +
         std::to_string(g.raw_block_size()) + " raw bytes per block)";
}

}  // namespace

Result<std::vector<nandsim::PartitionDef>> parse_partition_list(const std::string& mtdparts,
                                                                const nandsim::Geometry& g) {
  const std::string bad_list = "bad --mtdparts \"" + mtdparts + "\": ";
  // Read on the largest chip first: what fails there (the syntax, sizes that
  // are no multiple of the erase size, overlaps, the order) is wrong
  // whatever the chip.
  const uint64_t largest = UINT64_MAX / g.erase_size() * g.erase_size();
  auto alone = nandsim::parse_mtdparts(mtdparts, largest, g.erase_size());
  if (!alone.ok()) return Status::Usage(bad_list + alone.message());
  auto parts = nandsim::parse_mtdparts(mtdparts, g.data_size(), g.erase_size());
  if (!parts.ok()) return parts.status().prefixed(bad_list);
  return parts;
}

Result<frontend::ImageOptions> resolve_image(const ImageArgs& args, nandsim::OpenMode mode) {
  struct stat st {};
  if (::stat(args.path.c_str(), &st) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot open image " + args.path + ": " + std::strerror(err));
  }
  if (!S_ISREG(st.st_mode)) {
    return Status::InvalidArgument("image " + args.path + " is not a regular file");
  }
  const uint64_t file_size = static_cast<uint64_t>(st.st_size);

  // The geometry is checked with one block first, so a bad page size is
  // reported as such before any size arithmetic: the options alone are
  // wrong, whatever the file.
  nandsim::Geometry g = geometry_of(args, args.blocks.value_or(1));
  if (std::string why = g.validate(); !why.empty()) return Status::Usage("bad geometry: " + why);

  if (args.blocks.has_value()) {
    if (g.image_size() != file_size) {
      std::string message = "image " + args.path + " is " + std::to_string(file_size) +
                            " bytes, but " + std::to_string(*args.blocks) + " blocks of " +
                            describe(g) + " need " + std::to_string(g.image_size()) +
                            " bytes: wrong geometry or truncated image";
      // Shorter than the blocks asked for: the image has lost its end.
      if (file_size < g.image_size()) return Status::Corruption(std::move(message));
      return Status::InvalidArgument(std::move(message));
    }
  } else {
    auto blocks = frontend::blocks_of_image(file_size, g);
    if (!blocks.ok()) return blocks.status().prefixed("image " + args.path + " ");
    g.blocks = blocks.value();
    // A valid geometry that does not fit this file (too many blocks).
    if (std::string why = g.validate(); !why.empty()) {
      return Status::InvalidArgument("image " + args.path + ": " + why);
    }
  }

  // The partition list is parsed here too, so its error names the option.
  auto parts = parse_partition_list(args.mtdparts, g);
  if (!parts.ok()) return parts.status();

  frontend::ImageOptions options;
  options.path = args.path;
  options.geometry = g;
  options.mtdparts = args.mtdparts;
  options.mode = mode;
  // The option's values are checked by the parser: the name is known here.
  nyx_nftl_gc_policy_by_name(args.gc_policy.c_str(), &options.gc_policy);
  return options;
}

bool is_device(const ImageArgs& args) { return linuxmtd::looks_like_device(args.path); }

Result<std::unique_ptr<frontend::NandStack>> open_stack(const ImageArgs& args,
                                                        nandsim::OpenMode mode) {
  if (is_device(args)) {
    auto ref = linuxmtd::parse_device_ref(args.path);
    if (!ref.ok()) return Status::Usage("bad device " + args.path + ": " + ref.message());
    frontend::DeviceOptions options;
    options.devices = {ref.value()};
    // What only reads the image maps it privately; so a device is only read.
    options.mode =
        mode == nandsim::OpenMode::ReadWrite ? linuxmtd::Mode::ReadWrite : linuxmtd::Mode::Private;
    nyx_nftl_gc_policy_by_name(args.gc_policy.c_str(), &options.gc_policy);
    return frontend::NandStack::open_devices(options);
  }
  auto options = resolve_image(args, mode);
  if (!options.ok()) return options.status();
  auto stack = frontend::NandStack::open(options.value());
  if (!stack.ok()) return stack.status().prefixed("cannot open image " + args.path + ": ");
  return std::move(stack).value();
}

Result<uint64_t> parse_size(const std::string& text) {
  size_t pos = 0;
  uint64_t value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    const uint64_t digit = static_cast<uint64_t>(text[pos] - '0');
    if (value > (UINT64_MAX - digit) / 10) {
      return Status::Usage("size \"" + text + "\" is too large");
    }
    value = value * 10 + digit;
    ++pos;
  }
  if (pos == 0) return Status::Usage("size \"" + text + "\" is not a number");
  uint64_t unit = 1;
  if (pos < text.size()) {
    switch (text[pos]) {
      case 'k':
      case 'K':
        unit = 1ull << 10;
        break;
      case 'm':
      case 'M':
        unit = 1ull << 20;
        break;
      case 'g':
      case 'G':
        unit = 1ull << 30;
        break;
      default:
        return Status::Usage("size \"" + text + "\" has an unknown suffix");
    }
    ++pos;
  }
  if (pos != text.size()) return Status::Usage("size \"" + text + "\" has trailing characters");
  if (value > UINT64_MAX / unit) return Status::Usage("size \"" + text + "\" is too large");
  return value * unit;
}

}  // namespace cli
