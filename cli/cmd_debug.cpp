// debug: the debug attributes of a partition's class ("part", "list",
// "gcone", "gcall", "table START"), read or written the way an operator
// would through sysfs, printing the log lines they produce. "gcone" and
// "gcall" move data, so they change the image; the others map it privately.
#include <cstdio>

#include "cli_common.h"
#include "platform/kernel/device_class.h"

namespace cli {

namespace {

struct DebugArgs {
  ImageArgs image;
  std::string partition;
  std::string attr;
  std::string start = "0";  // "table": first logical page, hexadecimal
};

Status run_debug(const DebugArgs& args, const GlobalOptions& global) {
  SystemLog log(global.verbose);
  const bool changes = args.attr == "gcone" || args.attr == "gcall";
  auto part_def = lookup_partition(args.image, args.partition);
  if (!part_def.ok()) return part_def.status();
  if (Status has = check_debug_class(part_def.value().name); !has.ok()) return has;
  const std::string class_name = debug_class_name(part_def.value().name);
  if (changes) {
    // Collection on a blank partition would format it first: refuse.
    auto stack = open_stack(args.image, nandsim::OpenMode::Private);
    if (!stack.ok()) return stack.status();
    auto part = find_partition(*stack.value(), part_def.value().name);
    auto marked = part.ok() ? probe_head_mark(part.value()->mtd) : Result<bool>(false);
    if (!marked.ok() || !marked.value()) {
      return Status::InvalidArgument("partition " + part_def.value().name +
                                     " is unformatted; nothing to collect");
    }
  }
  auto stack = open_stack(only_partition(args.image, part_def.value()),
                          changes ? nandsim::OpenMode::ReadWrite : nandsim::OpenMode::Private);
  if (!stack.ok()) return stack.status();
  if (Status started = stack.value()->start(); !started.ok()) return started;
  // Only the attribute's own lines are printed.
  log.clear();
  int ret;
  std::string text;
  if (args.attr == "table") {
    ret = class_attr_write(class_name, "table", args.start, /*privileged=*/true);
  } else {
    ret = class_attr_read(class_name, args.attr, &text, /*privileged=*/true);
  }
  const std::string lines = log.text();
  Status down = stack.value()->shutdown();
  std::fputs(lines.c_str(), stdout);
  std::fputs(text.c_str(), stdout);
  if (ret != 0) {
    return Status::FromErrno(-ret, "attribute " + class_name + "/" + args.attr + " failed: error " +
                                       std::to_string(ret));
  }
  return down;
}

}  // namespace

Command add_debug(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<DebugArgs>();
  CLI::App* sub =
      app.add_subcommand("debug",
                         "Run a debug attribute of a partition (part, list, table: read-only; "
                         "gcone, gcall: change the image)");
  add_image_options(sub, args->image);
  sub->add_option("-p,--partition", args->partition, "Partition: MTD name or disk name")
      ->required();
  sub->add_option("ATTR", args->attr, "part, list, gcone, gcall or table")
      ->required()
      ->check(CLI::IsMember({"part", "list", "gcone", "gcall", "table"}));
  sub->add_option("START", args->start, "table: first logical page, hexadecimal")
      ->capture_default_str()
      ->check(CLI::Validator(
          [](const std::string& text) {
            const size_t digits = text.starts_with("0x") || text.starts_with("0X") ? 2 : 0;
            const bool hex =
                text.size() > digits &&
                text.find_first_not_of("0123456789abcdefABCDEF", digits) == std::string::npos;
            return hex ? std::string() : text + " is not a hexadecimal number";
          },
          "HEX"));
  return {sub, [args, &global] { return run_debug(*args, global); }};
}

}  // namespace cli
