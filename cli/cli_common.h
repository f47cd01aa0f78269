// What the nyx-nftl subcommands share: how a command reports its outcome, the
// image options every command that opens an image takes, the partition names,
// the system's log lines kept out of normal output, and the progress bar.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "nand_stack.h"
#include "platform/kernel/kernel.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/mtdparts.h"
#include "platform/mtd/nand_sim.h"
#include "platform/status.h"

namespace cli {

// Options of the whole tool, before the subcommand.
struct GlobalOptions {
  bool verbose = false;  // show the system's log lines
};

// A subcommand: CLI11 fills its options, then `run` does the work and
// returns how it went. main() prints a failure's message, if it has one (a
// command that printed its own report of the failure returns none), and
// exits with the code of its kind (exit_code below).
struct Command {
  CLI::App* app = nullptr;
  std::function<Status()> run;
};

// The exit code of a command's outcome: 0 ok, 2 a wrong command line
// (usage), 1 every other failure (a problem found, or the operation failed).
int exit_code(const Status& status);

// ---------------------------------------------------------------------------
// Image options (image_options.cpp).
// ---------------------------------------------------------------------------

struct ImageArgs {
  std::string path;
  uint32_t page_size = 2048;
  uint32_t oob_size = 64;
  uint32_t pages_per_block = 64;
  uint32_t spare_offset = 2;
  std::optional<uint32_t> blocks;  // unset: derived from the file size
  std::string mtdparts = frontend::kDefaultMtdparts;
  // The translation layer's collection policy, by name (add_image_options
  // sets the layer's default); empty: the default.
  std::string gc_policy;
};

// Adds the IMAGE argument and the geometry and --mtdparts options to `app`.
void add_image_options(CLI::App* app, ImageArgs& args, bool image_required = true);
// Adds only the geometry options (mkimage has its own size options).
void add_geometry_options(CLI::App* app, ImageArgs& args);

// The geometry of the arguments, with `blocks` as given.
nandsim::Geometry geometry_of(const ImageArgs& args, uint32_t blocks);

// The partition list `mtdparts` placed on a chip of geometry `g`. A list that
// is wrong whatever the chip (its syntax, sizes no multiple of the erase
// size, overlaps, order) is a usage error; one that does not fit this chip
// is not.
Result<std::vector<nandsim::PartitionDef>> parse_partition_list(const std::string& mtdparts,
                                                                const nandsim::Geometry& g);

// Checks the image file against the geometry (the block count derived from
// the file size when not given) and the partition list, and returns the
// options to open it with. Every mismatch is a clear error; nothing is
// opened.
Result<frontend::ImageOptions> resolve_image(const ImageArgs& args, nandsim::OpenMode mode);

// "128M", "65536k", "134217728": bytes, or a usage error.
Result<uint64_t> parse_size(const std::string& text);
// Whether the IMAGE argument names a Linux MTD device (/dev/mtdN[=NAME]).
bool is_device(const ImageArgs& args);

// Opens the image as resolve_image describes, partitions split, or the
// device (read only, writes kept in memory, unless `mode` is ReadWrite);
// nothing attached.
Result<std::unique_ptr<frontend::NandStack>> open_stack(const ImageArgs& args,
                                                        nandsim::OpenMode mode);

// ---------------------------------------------------------------------------
// Partitions (partitions.cpp).
// ---------------------------------------------------------------------------

// The disk base name the translation layer gives a partition ("system",
// "cache", "media", "data"), or empty for a partition it does not serve.
std::string disk_base_name(std::string_view mtd_name);
// The debug class of a partition ("nyx_nftl", "nyx_userdata"), or empty.
std::string debug_class_name(std::string_view mtd_name);

// Usage errors unless the translation layer serves the partition, or gives
// it a debug class.
Status check_served(std::string_view mtd_name);
Status check_debug_class(std::string_view mtd_name);

// Finds a partition by its MTD name ("userdata") or its disk name ("data").
// A name the partition list does not hold is a usage error listing them.
Result<const frontend::StackPart*> find_partition(frontend::NandStack& stack,
                                                  std::string_view name);

// Whether the partition's first good block carries the head mark, read
// through the MTD device without attaching (an attach formats a partition
// without one). Error when no good block could be read.
Result<bool> probe_head_mark(mtd_info* mtd);

// ---------------------------------------------------------------------------
// The system's log lines (log_output.cpp).
// ---------------------------------------------------------------------------

// While it lives, the system's log lines go nowhere, or to stderr with
// --verbose; they stay available to the command through lines()/text().
class SystemLog {
 public:
  explicit SystemLog(bool verbose);
  ~SystemLog();
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;

  std::string text() const;
  std::vector<std::string> lines() const;
  void clear();
  // Also hands every log text to `observer` (progress reports use this).
  void observe(std::function<void(std::string_view)> observer);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// ---------------------------------------------------------------------------
// Progress bar on stderr (progress.cpp).
// ---------------------------------------------------------------------------

// Draws "label [#####     ]  42%" on stderr when it is a terminal; does
// nothing otherwise.
class Progress {
 public:
  Progress(std::string label, uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void update(uint64_t done);
  void finish();

 private:
  std::string label_;
  uint64_t total_;
  bool enabled_;
  int last_percent_ = -1;
  bool finished_ = false;
};

// ---------------------------------------------------------------------------
// The nbdkit plugin serve runs (plugin_path.cpp).
// ---------------------------------------------------------------------------

// The plugin's absolute path: $NYX_NFTL_PLUGIN when set, else the plugin
// installed with this tool, else the build tree's. Error when the chosen or
// every candidate is missing, naming where it looked.
Result<std::string> find_plugin();
// That order, in words, for serve's --help.
std::string plugin_lookup_help();

// ---------------------------------------------------------------------------
// The subcommands (one file each, or per group).
// ---------------------------------------------------------------------------

Command add_mkimage(CLI::App& app, const GlobalOptions& global);
Command add_info(CLI::App& app, const GlobalOptions& global);
Command add_export(CLI::App& app, const GlobalOptions& global);
Command add_import(CLI::App& app, const GlobalOptions& global);
Command add_trim(CLI::App& app, const GlobalOptions& global);
Command add_check(CLI::App& app, const GlobalOptions& global);
Command add_debug(CLI::App& app, const GlobalOptions& global);
Command add_selftest(CLI::App& app, const GlobalOptions& global);
Command add_wear(CLI::App& app, const GlobalOptions& global);
Command add_serve(CLI::App& app, const GlobalOptions& global);

}  // namespace cli

namespace cli {

// The image arguments narrowed to the one partition `part_def` (an mtdparts list
// of it alone, at its offset), so that starting the stack brings up no other
// partition: an unformatted neighbour is never formatted behind the user's
// back.
ImageArgs only_partition(const ImageArgs& args, const nandsim::PartitionDef& part_def);

}  // namespace cli

namespace cli {

// The partition named `name` (MTD or disk name) of the image, looked up on a
// private mapping.
Result<nandsim::PartitionDef> lookup_partition(const ImageArgs& args, std::string_view name);

}  // namespace cli
