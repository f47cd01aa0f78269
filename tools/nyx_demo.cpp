// nyx-demo: the main job until the front ends serve the disks. Creates the
// default simulated NAND image when there is none (128 MiB: 2048-byte pages,
// 64-byte OOB, 64 pages per block, 1024 blocks), splits it into the default
// partitions, attaches every partition (formatting it on first use), writes
// and reads back a few logical pages on each, checks its consistency and
// detaches.
//
// Usage: nyx-demo [image-path]   (default: nand.img in the current directory)
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "nyx_nftl/nyx_nftl_check.h"
#include "platform/nand_sim.h"

namespace {

constexpr const char* kDefaultParts = "32M(system),16M(cache),16M(NFTL_Part),-(userdata)";

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Writes a recognisable pattern to the first logical pages and reads it back.
bool exercise(nyx_nftl_part_t* part) {
  const uint32 page_size = part->nand_chip->bytes_per_page;
  const uint32 pages = std::min<uint32>(8, nyx_nftl_logic_pages(part));
  std::vector<uchar> out(page_size), in(page_size);
  for (uint32 lp = 0; lp < pages; ++lp) {
    for (uint32 i = 0; i < page_size; ++i) out[i] = static_cast<uchar>(lp * 31 + i);
    if (nand_write_logic_page(part, lp, out.data()) != 0) return false;
    if (nand_read_logic_page(part, lp, in.data()) != 0) return false;
    if (in != out) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "nand.img";
  nandsim::Options options;  // the default chip

  auto chip = file_exists(path) ? nandsim::NandChip::open_image(path, options, nandsim::OpenMode::ReadWrite)
                                : nandsim::NandChip::create_image(path, options);
  if (!chip.ok()) {
    std::fprintf(stderr, "nyx-demo: %s: %s\n", path.c_str(), chip.error().c_str());
    return 1;
  }
  auto parts = nandsim::split_partitions(*chip.value(), kDefaultParts);
  if (!parts.ok()) {
    std::fprintf(stderr, "nyx-demo: %s\n", parts.error().c_str());
    return 1;
  }

  int status = 0;
  std::printf("image %s: %u blocks of %u pages of %u+%u bytes\n", path.c_str(),
              options.geometry.blocks, options.geometry.pages_per_block,
              options.geometry.page_size, options.geometry.oob_size);
  for (auto& mtdpart : parts.value()) {
    nyx_nftl_part_t* part = nullptr;
    int ret = nyx_nftl_part_attach(mtdpart->mtd(), &part);
    if (ret != 0) {
      std::printf("%-10s attach failed: %d\n", mtdpart->spec().name.c_str(), ret);
      status = 1;
      continue;
    }
    const bool ready = part->part_current_used_block != nullptr;
    const bool io_ok = ready && exercise(part);
    const auto problems = nyx_nftl_check(part);
    std::printf("%-10s %5u good, %3u bad, %5u free blocks, %8u sectors, %s, I/O %s, check %s\n",
                mtdpart->spec().name.c_str(), part->blocks, part->bad_block, part->free_block_num,
                part->logic_cap_in_sects, ready ? "ready" : "NOT READY", io_ok ? "ok" : "FAILED",
                problems.empty() ? "clean" : "PROBLEMS");
    for (const auto& p : problems) std::printf("    %s\n", p.c_str());
    if (!ready || !io_ok || !problems.empty()) status = 1;
    nyx_nftl_part_detach(part);
  }
  if (auto synced = chip.value()->sync(); !synced.ok()) {
    std::fprintf(stderr, "nyx-demo: %s\n", synced.error().c_str());
    status = 1;
  }
  return status;
}
