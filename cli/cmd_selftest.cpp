// selftest: the flash self-tests of a partition (test0, raw pages block by
// block; test1, every logical page written and read back). Both destroy the
// partition's contents, so they run only with --yes.
#include <cstdio>

#include "cli_common.h"
#include "part_stats.h"

namespace cli {

namespace {

struct SelftestArgs {
  ImageArgs image;
  std::string partition;
  int test = 0;
  bool yes = false;
};

Status run_selftest(const SelftestArgs& args, const GlobalOptions& global) {
  if (!args.yes) {
    return Status::Usage("selftest destroys the contents of partition " + args.partition +
                         "; add --yes to run it");
  }
  SystemLog log(global.verbose);
  auto part_def = lookup_partition(args.image, args.partition);
  if (!part_def.ok()) return part_def.status();
  if (Status served = check_served(part_def.value().name); !served.ok()) return served;
  auto stack =
      open_stack(only_partition(args.image, part_def.value()), nandsim::OpenMode::ReadWrite);
  if (!stack.ok()) return stack.status();
  auto attached = AttachedPart::attach(stack.value()->parts().front().mtd);
  if (!attached.ok()) return attached.status();
  // The tests need only the device record's partition.
  auto blk = std::make_unique<nyx_nftl_blk_t>();
  blk->nyx_nftl_part = attached.value().get();
  const uint32 blocks = attached.value().get()->nand_chip->blk_per_chip;
  std::fprintf(stderr, "running test%d on %s (%u blocks)...\n", args.test,
               part_def.value().name.c_str(), blocks);
  log.clear();
  // Progress from the tests' own lines: one per block for test0, one per
  // 256 logical pages written for test1.
  const uint32 pages = nyx_nftl_logic_pages(attached.value().get());
  Progress progress("test" + std::to_string(args.test),
                    args.test == 0 ? blocks : (pages + 255) / 256);
  uint64_t steps = 0;
  log.observe([&](std::string_view text) {
    const bool step = args.test == 0
                          ? (text.starts_with("ok block") || text.starts_with("bad block") ||
                             text.starts_with("error block"))
                          : text == "1/";
    if (step) progress.update(++steps);
  });
  const int ret = nand_test(blk.get(), static_cast<uchar>(args.test), blocks);
  log.observe(nullptr);
  progress.finish();
  if (ret != 0) return Status::FromErrno(-ret, "nand_test failed: error " + std::to_string(ret));
  // The tests report through their log lines (on stderr with --verbose);
  // what failed is printed whatever, then a summary.
  uint32_t good = 0, bad = 0, failed = 0;
  for (const std::string& line : log.lines()) {
    if (line.starts_with("error block:") || line.starts_with("error page:")) {
      ++failed;
      std::fputs(line.c_str(), stdout);
    }
    good += line.starts_with("ok block") ? 1 : 0;
    bad += line.starts_with("bad block") ? 1 : 0;
  }
  if (Status down = stack.value()->shutdown(); !down.ok()) return down;
  if (args.test == 0) {
    std::printf("test0 %s: %u of %u blocks written and read back, %u bad blocks skipped\n",
                failed != 0 ? "FAILED" : "passed", good, blocks - bad, bad);
  } else if (failed != 0) {
    std::printf("test1 FAILED: a logical page did not read back\n");
  } else {
    std::printf("test1 passed: %u logical pages written and read back\n", pages);
  }
  // Pages that did not read back what was written: the flash failed, as
  // the lines above tell.
  return failed != 0 ? Status::IOError("") : Status::Ok();
}

}  // namespace

Command add_selftest(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<SelftestArgs>();
  CLI::App* sub = app.add_subcommand(
      "selftest", "Run a flash self-test on a partition (DESTROYS its contents; needs --yes)");
  add_image_options(sub, args->image);
  sub->add_option("-p,--partition", args->partition, "Partition: MTD name or disk name")
      ->required();
  sub->add_option("--test", args->test, "0: raw pages of every block; 1: every logical page")
      ->check(CLI::IsMember({0, 1}))
      ->capture_default_str();
  sub->add_flag("--yes", args->yes, "Confirm that the partition's contents may be destroyed");
  return {sub, [args, &global] { return run_selftest(*args, global); }};
}

}  // namespace cli
