// check: attach every served partition on a private mapping and run the
// consistency checker on it; each problem is reported, and any problem makes
// the command fail (corruption: exit code 1). Unformatted partitions are
// reported and not attached.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "cli_common.h"
#include "nyx_nftl/nyx_nftl_check.h"
#include "part_stats.h"

namespace cli {

namespace {

struct CheckArgs {
  ImageArgs image;
  bool json = false;
};

Status run_check(const CheckArgs& args, const GlobalOptions& global) {
  SystemLog log(global.verbose);
  auto stack = open_stack(args.image, nandsim::OpenMode::Private);
  if (!stack.ok()) return stack.status();
  const auto& parts = stack.value()->parts();
  nlohmann::json out;
  out["image"] = args.image.path;
  out["partitions"] = nlohmann::json::array();
  size_t problem_count = 0;
  Progress progress("check", parts.size());
  size_t done = 0;
  std::string text;
  for (const auto& part : parts) {
    const std::string& name = part.name;
    nlohmann::json p;
    p["name"] = name;
    std::vector<std::string> problems;  // the lines that report them
    uint32 found = 0;                   // the problems, those only counted included
    std::string status;
    if (disk_base_name(name).empty()) {
      status = "not served";
    } else if (auto marked = probe_head_mark(part.mtd); !marked.ok()) {
      status = "error";
      problems.push_back(marked.message());
    } else if (!marked.value()) {
      status = "unformatted";
    } else if (auto attached = AttachedPart::attach(part.mtd); !attached.ok()) {
      status = "error";
      problems.push_back(attached.message());
    } else {
      uint32 mapping_pages = 0;
      problems = nyx_nftl_check(attached.value().get(), &mapping_pages, &found);
      status = problems.empty() ? "clean" : "problems";
      p["mapping_pages_read"] = mapping_pages;
    }
    if (status == "error") found = 1;
    p["status"] = status;
    p["problems"] = problems;
    p["problem_count"] = found;
    out["partitions"].push_back(p);
    problem_count += found;

    text += name + ": " + status;
    if (status == "not served") text += " (name not accepted by the translation layer)";
    if (status == "unformatted") text += " (no head mark; nothing to check)";
    if (found != 0) text += ", " + std::to_string(found) + " problem(s)";
    if (found > problems.size()) text += " (long runs of one kind counted, not listed)";
    text += "\n";
    for (const auto& problem : problems) text += "  " + problem + "\n";
    progress.update(++done);
  }
  progress.finish();
  out["problems"] = problem_count;
  if (args.json) {
    std::printf("%s\n", out.dump(2).c_str());
  } else {
    std::fputs(text.c_str(), stdout);
    std::printf("%s\n", problem_count == 0
                            ? "no problems found"
                            : (std::to_string(problem_count) + " problem(s) found").c_str());
  }
  // The problems are in the report printed above.
  return problem_count == 0 ? Status::Ok() : Status::Corruption("");
}

}  // namespace

Command add_check(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<CheckArgs>();
  CLI::App* sub = app.add_subcommand("check", "Check every partition's consistency (read-only)");
  add_image_options(sub, args->image);
  sub->add_flag("--json", args->json, "Print JSON");
  return {sub, [args, &global] { return run_check(*args, global); }};
}

}  // namespace cli
