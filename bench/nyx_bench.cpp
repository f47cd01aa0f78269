// nyx-bench: runs the workloads on the in-memory simulated chip and prints
// the figures (a table, or JSON with --json).
//
//   nyx-bench [--runs N] [--quick] [--json] [--only W1,W2,...] [--blocks N]
//             [--attach-blocks N] [--gc-policy standard|greedy|both]
//
// --quick is for CI: one run on a 128-block chip, M1 on 1024 blocks.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <utility>

#include "report.h"
#include "workloads.h"

namespace {

void usage(FILE* out) {
  std::fprintf(out,
               "usage: nyx-bench [--runs N] [--quick] [--json] [--only LIST] [--blocks N] "
               "[--attach-blocks N]\n"
               "                 [--gc-policy NAME] [--image-dir DIR [--map-limit MIB]]\n"
               "  --runs N           runs per workload; times are medians (default 3)\n"
               "  --quick            one run on a small chip (128 blocks, M1 on 1024), for CI\n"
               "  --json             machine-readable results instead of the table\n"
               "  --only LIST        comma-separated workloads: W1,W2,W3,W4,W5,W6,R1,M1 (default\n"
               "                     all); W5 (half the disk trimmed, random writes to the\n"
               "                     rest) and W6 (file churn, deletes trimmed) run with trim and\n"
               "                     without, then side by side\n"
               "  --blocks N         blocks of the workload chip (default 1024)\n"
               "  --attach-blocks N  blocks of M1's chip (default 8192, 1 GiB)\n"
               "  --gc-policy NAME   collection policy: standard (default), greedy, or both (each\n"
               "                     in turn, then the two side by side)\n"
               "  --image-dir DIR    the chips are image files made in DIR (and removed), not\n"
               "                     memory\n"
               "  --map-limit MIB    with --image-dir: an image larger than this is mapped in\n"
               "                     chunks, this much at a time (default: the host's choice,\n"
               "                     no limit on a 64-bit host)\n");
}

bool parse_count(const char* text, uint32_t min, uint32_t max, uint32_t* value) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bench::BenchConfig config;
  config.chip = bench::default_chip();
  config.attach_chip = bench::default_chip();
  config.attach_chip.blocks = 8192;
  bool json = false;
  bool quick = false;
  std::vector<uint16_t> policies = {NYX_GC_STANDARD};
  int runs = -1;
  uint32_t blocks = 0;
  uint32_t attach_blocks = 0;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    uint32_t v = 0;
    if (arg == "--json") {
      json = true;
    } else if (arg == "--quick") {
      quick = true;
    } else if (arg == "--runs" && has_value && parse_count(argv[i + 1], 1, 1000, &v)) {
      runs = static_cast<int>(v);
      ++i;
    } else if (arg == "--blocks" && has_value && parse_count(argv[i + 1], 64, 65535, &v)) {
      blocks = v;
      ++i;
    } else if (arg == "--attach-blocks" && has_value && parse_count(argv[i + 1], 64, 65535, &v)) {
      attach_blocks = v;
      ++i;
    } else if (arg == "--image-dir" && has_value) {
      config.storage.image_dir = argv[++i];
    } else if (arg == "--map-limit" && has_value && parse_count(argv[i + 1], 1, 1u << 20, &v)) {
      config.storage.map_limit = uint64_t(v) << 20;
      ++i;
    } else if (arg == "--only" && has_value) {
      std::stringstream list(argv[++i]);
      std::string name;
      while (std::getline(list, name, ',')) {
        bool known = false;
        for (const std::string& w : bench::all_workloads()) known |= (w == name);
        if (!known) {
          std::fprintf(stderr, "nyx-bench: unknown workload %s\n", name.c_str());
          return 2;
        }
        config.only.push_back(name);
      }
    } else if (arg == "--gc-policy" && has_value) {
      const std::string name = argv[++i];
      uint16_t policy = 0;
      if (name == "both") {
        policies = {NYX_GC_STANDARD, NYX_GC_GREEDY};
      } else if (nyx_nftl_gc_policy_by_name(name.c_str(), &policy)) {
        policies = {policy};
      } else {
        std::fprintf(stderr, "nyx-bench: unknown collection policy %s (standard, greedy, both)\n",
                     name.c_str());
        return 2;
      }
    } else if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "nyx-bench: bad argument %s\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (quick) {
    config.runs = 1;
    config.chip.blocks = 128;
    config.attach_chip.blocks = 1024;
  }
  if (runs > 0) config.runs = runs;
  if (blocks > 0) config.chip.blocks = blocks;
  if (attach_blocks > 0) config.attach_chip.blocks = attach_blocks;

  std::vector<bench::Report> reports;
  try {
    for (uint16_t policy : policies) {
      config.gc_policy = policy;
      bench::Report report;
      report.config = config;
      report.memory_chip = config.attach_chip;
      for (const std::string& name : bench::all_workloads()) {
        if (!config.only.empty() &&
            std::find(config.only.begin(), config.only.end(), name) == config.only.end()) {
          continue;
        }
        if (!json)
          std::fprintf(stderr, "running %s (%s)...\n", name.c_str(),
                       nyx_nftl_gc_policy_name(policy));
        if (name == "M1") {
          report.workloads.push_back(
              bench::run_attach(config, &report.memory, &report.memory_chip));
          report.have_memory = true;
        } else {
          for (bench::WorkloadResult& w : bench::run_workload(name, config))
            report.workloads.push_back(std::move(w));
        }
      }
      reports.push_back(std::move(report));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "nyx-bench: %s\n", e.what());
    return 1;
  }
  if (json) {
    // One policy: its document; several: an array of them.
    if (reports.size() > 1) std::fprintf(stdout, "[\n");
    for (size_t i = 0; i < reports.size(); ++i) {
      if (i > 0) std::fprintf(stdout, ",\n");
      bench::print_json(reports[i], stdout);
    }
    if (reports.size() > 1) std::fprintf(stdout, "]\n");
  } else {
    for (const bench::Report& report : reports) bench::print_table(report, stdout);
    if (reports.size() > 1) bench::print_comparison(reports, stdout);
    bench::print_trim_comparison(reports, stdout);
  }
  return 0;
}
