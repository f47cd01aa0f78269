// The wear picture of a partition: one cell per block, coloured by erase
// count on a ramp, with bad, free, current, full and head-mark blocks told
// apart, and a legend with the numbers. Rendered as SVG text or as a PNG;
// also a text histogram of the erase counts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "part_stats.h"
#include "platform/status.h"

namespace cli {

struct WearPicture {
  std::string title;  // e.g. "userdata (disk data)"
  PartStats stats;
};

std::string render_wear_svg(const WearPicture& picture);
// Writes the picture as a PNG to `out`, named `name` in errors.
Status write_wear_png(const WearPicture& picture, std::FILE* out, const std::string& name);
// Erase counts in up to `buckets` ranges, one bar per range, good blocks only.
std::string wear_histogram(const PartStats& stats, uint32_t buckets = 10);

}  // namespace cli
