// info: per partition the geometry, block counts, capacities, collection
// thresholds, write position and erase counts. A partition without its head
// mark is reported as unformatted and left alone (an attach would format
// it). The image is mapped privately: nothing reaches the file.
#include <nlohmann/json.hpp>

#include <cstdio>

#include "cli_common.h"
#include "part_stats.h"

namespace cli {

namespace {

struct InfoArgs {
  ImageArgs image;
  bool json = false;
};

nlohmann::json stats_json(const PartStats& s) {
  nlohmann::json j;
  j["good_blocks"] = s.good_blocks;
  j["bad_blocks"] = s.bad_blocks;
  j["free_blocks"] = s.free_blocks;
  j["data_blocks"] = s.data_blocks;
  j["logical_sectors"] = s.logic_sectors;
  j["logical_bytes"] = s.logic_sectors * 512;
  j["reserve_sectors"] = s.reserve_sectors;
  j["reserve_blocks"] = s.reserve_blocks;
  j["gc_start_free_blocks"] = s.start_gc_free_blocks;
  j["gc_stop_free_blocks"] = s.stop_gc_free_blocks;
  if (s.has_current) {
    j["current_block"] = s.current_block;
    j["current_page"] = s.current_page;
  } else {
    j["current_block"] = nullptr;
    j["current_page"] = nullptr;
  }
  j["erase_count"] = {{"min", s.erase_min}, {"mean", s.erase_mean}, {"max", s.erase_max}};
  return j;
}

void print_stats(const PartStats& s) {
  std::printf("  blocks:        %u good, %u bad, %u free, %u data\n", s.good_blocks, s.bad_blocks,
              s.free_blocks, s.data_blocks);
  std::printf("  capacity:      %llu sectors (%llu bytes)\n",
              static_cast<unsigned long long>(s.logic_sectors),
              static_cast<unsigned long long>(s.logic_sectors * 512));
  std::printf("  reserve:       %u blocks (%llu sectors)\n", s.reserve_blocks,
              static_cast<unsigned long long>(s.reserve_sectors));
  std::printf("  collection:    starts at %u free blocks, stops at %u\n", s.start_gc_free_blocks,
              s.stop_gc_free_blocks);
  if (s.has_current) {
    std::printf("  current block: %u, next page %u of %u\n", s.current_block, s.current_page,
                s.pages_per_block);
  } else {
    std::printf("  current block: none\n");
  }
  std::printf("  erase counts:  min %u, mean %.2f, max %u\n", s.erase_min, s.erase_mean,
              s.erase_max);
}

// The chip's geometry, or a Linux device's as the kernel gives it (the
// spare record's first byte: the first free OOB byte of its layout).
nandsim::Geometry stack_geometry(frontend::NandStack& stack) {
  if (stack.chip() != nullptr) return stack.chip()->geometry();
  const mtd_info* mtd = stack.parts().front().mtd;
  nandsim::Geometry g;
  g.page_size = mtd->writesize;
  g.oob_size = mtd->oobsize;
  g.pages_per_block = mtd->erasesize / mtd->writesize;
  g.spare_offset = mtd->ecclayout != nullptr ? mtd->ecclayout->oobfree[0].offset : 0;
  g.blocks = static_cast<uint32_t>(mtd->size / mtd->erasesize);
  return g;
}

// Long because it walks the partitions once and builds the text and the
// JSON report side by side, so the two never disagree.
Status run_info(const InfoArgs& args, const GlobalOptions& global) {
  SystemLog log(global.verbose);
  auto stack = open_stack(args.image, nandsim::OpenMode::Private);
  if (!stack.ok()) return stack.status();
  const nandsim::Geometry g = stack_geometry(*stack.value());
  nlohmann::json out;
  out["image"] = args.image.path;
  out["geometry"] = {{"page_size", g.page_size},
                     {"oob_size", g.oob_size},
                     {"pages_per_block", g.pages_per_block},
                     {"spare_offset", g.spare_offset},
                     {"blocks", g.blocks}};
  out["mtdparts"] = args.image.mtdparts;
  out["partitions"] = nlohmann::json::array();
  if (!args.json) {
    std::printf("%s %s: %u blocks of %u pages of %u+%u bytes, spare record at OOB byte %u\n",
                is_device(args.image) ? "device" : "image", args.image.path.c_str(), g.blocks,
                g.pages_per_block, g.page_size, g.oob_size, g.spare_offset);
  }

  // The first partition's failure; every one is in the listing.
  Status failure;
  for (const frontend::StackPart& part : stack.value()->parts()) {
    const std::string disk = disk_base_name(part.name);
    nlohmann::json p;
    p["name"] = part.name;
    p["disk"] = disk.empty() ? nlohmann::json(nullptr) : nlohmann::json(disk);
    p["offset"] = part.offset;
    p["size"] = part.size;
    p["first_block"] = part.first_block;
    p["blocks"] = part.block_count;
    p["page_size"] = g.page_size;
    p["pages_per_block"] = g.pages_per_block;
    if (!args.json) {
      std::printf("\npartition %s%s: blocks %u-%u (%u blocks, %llu bytes at offset 0x%llx)\n",
                  part.name.c_str(), disk.empty() ? "" : (" (disk " + disk + ")").c_str(),
                  part.first_block, part.first_block + part.block_count - 1, part.block_count,
                  static_cast<unsigned long long>(part.size),
                  static_cast<unsigned long long>(part.offset));
    }

    std::string status;
    std::optional<PartStats> stats;
    Status problem;
    if (disk.empty()) {
      status = "not served";
    } else if (auto marked = probe_head_mark(part.mtd); !marked.ok()) {
      status = "error";
      problem = marked.status();
    } else if (!marked.value()) {
      status = "unformatted";
    } else if (auto attached = AttachedPart::attach(part.mtd); !attached.ok()) {
      status = "error";
      problem = attached.status();
    } else {
      status = "formatted";
      stats = collect_stats(attached.value().get());
    }
    p["status"] = status;
    if (!problem.ok()) {
      p["error"] = problem.message();
      if (failure.ok()) failure = problem.reported();
    }
    if (stats) p.update(stats_json(*stats));
    out["partitions"].push_back(p);

    if (!args.json) {
      if (status == "not served") {
        std::printf("  not served by the translation layer (name not accepted)\n");
      } else if (status == "unformatted") {
        std::printf("  unformatted (no head mark in its first good block)\n");
      } else if (status == "error") {
        std::printf("  error: %s\n", problem.message().c_str());
      } else {
        print_stats(*stats);
      }
    }
  }
  if (args.json) std::printf("%s\n", out.dump(2).c_str());
  return failure;
}

}  // namespace

Command add_info(CLI::App& app, const GlobalOptions& global) {
  auto args = std::make_shared<InfoArgs>();
  CLI::App* sub = app.add_subcommand("info", "Show each partition's state (read-only)");
  add_image_options(sub, args->image);
  sub->add_flag("--json", args->json, "Print JSON");
  return {sub, [args, &global] { return run_info(*args, global); }};
}

}  // namespace cli
