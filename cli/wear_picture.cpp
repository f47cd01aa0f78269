// Drawing the wear picture. Both renderers share the layout (a grid of
// square cells, then the legend below it) and the colours; the PNG writes
// its legend's text with a small built-in 3x5 pixel font.
#include "wear_picture.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <map>

namespace cli {

namespace {

struct Rgb {
  uint8_t r, g, b;
};

constexpr int kCell = 14;  // cell side, pixels
constexpr int kGap = 2;    // between cells
constexpr int kMargin = 10;
constexpr int kTitleHeight = 24;
constexpr int kLegendHeight = 120;

int columns_for(uint32_t blocks) {
  if (blocks <= 64) return 16;
  if (blocks <= 1024) return 32;
  return 64;
}

// Erase-count ramp: green (least worn) through yellow to red (most worn).
Rgb ramp(double t) {
  t = std::clamp(t, 0.0, 1.0);
  if (t < 0.5) {
    const double u = t / 0.5;
    return {static_cast<uint8_t>(46 + u * (241 - 46)), static_cast<uint8_t>(160 + u * (196 - 160)),
            static_cast<uint8_t>(67 + u * (15 - 67))};
  }
  const double u = (t - 0.5) / 0.5;
  return {static_cast<uint8_t>(241 + u * (192 - 241)), static_cast<uint8_t>(196 + u * (57 - 196)),
          static_cast<uint8_t>(15 + u * (43 - 15))};
}

Rgb lighter(Rgb c) {
  return {static_cast<uint8_t>(c.r + (255 - c.r) * 0.6),
          static_cast<uint8_t>(c.g + (255 - c.g) * 0.6),
          static_cast<uint8_t>(c.b + (255 - c.b) * 0.6)};
}

constexpr Rgb kBad{0, 0, 0};
constexpr Rgb kHeadMark{120, 90, 160};
constexpr Rgb kOther{160, 160, 160};
constexpr Rgb kCurrentBorder{30, 90, 230};
constexpr Rgb kFreeBorder{110, 110, 110};
constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kText{20, 20, 20};

double position(const PartStats& s, uint32_t erase_count) {
  if (s.erase_max == s.erase_min || erase_count < s.erase_min) return 0;
  return double(erase_count - s.erase_min) / double(s.erase_max - s.erase_min);
}

Rgb fill_of(const PartStats& s, const BlockState& b) {
  switch (b.kind) {
    case BlockKind::Bad:
      return kBad;
    case BlockKind::HeadMark:
      return kHeadMark;
    case BlockKind::Other:
      return kOther;
    case BlockKind::Free:
      return lighter(ramp(position(s, b.erase_count)));
    case BlockKind::Current:
    case BlockKind::Full:
      return ramp(position(s, b.erase_count));
  }
  return kOther;
}

std::string hex(Rgb c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "#%02x%02x%02x", c.r, c.g, c.b);
  return buf;
}

struct Layout {
  int columns;
  int rows;
  int grid_width;
  int width;
  int height;
  int legend_top;
};

Layout layout_for(const PartStats& s) {
  Layout l{};
  const uint32_t blocks = static_cast<uint32_t>(s.blocks.size());
  l.columns = columns_for(blocks);
  l.rows = static_cast<int>((blocks + l.columns - 1) / l.columns);
  l.grid_width = l.columns * (kCell + kGap) - kGap;
  l.width = std::max(l.grid_width, 420) + 2 * kMargin;
  l.legend_top = kMargin + kTitleHeight + l.rows * (kCell + kGap) + kMargin;
  l.height = l.legend_top + kLegendHeight;
  return l;
}

std::map<BlockKind, uint32_t> kind_counts(const PartStats& s) {
  std::map<BlockKind, uint32_t> counts;
  for (const auto& b : s.blocks) ++counts[b.kind];
  return counts;
}

std::string kind_counts_text(const PartStats& s) {
  auto counts = kind_counts(s);
  return "full " + std::to_string(counts[BlockKind::Full]) + ", current " +
         std::to_string(counts[BlockKind::Current]) + ", free " +
         std::to_string(counts[BlockKind::Free]) + ", bad " +
         std::to_string(counts[BlockKind::Bad]) + ", head mark " +
         std::to_string(counts[BlockKind::HeadMark]) +
         (counts[BlockKind::Other] != 0 ? ", other " + std::to_string(counts[BlockKind::Other])
                                        : "");
}

std::string erase_text(const PartStats& s) {
  char buf[96];
  std::snprintf(buf, sizeof buf, "erase count min %u, mean %.1f, max %u", s.erase_min, s.erase_mean,
                s.erase_max);
  return buf;
}

std::string xml_escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// A 3x5 pixel font for the PNG legend: each glyph five rows of three bits.
// ---------------------------------------------------------------------------
const std::array<uint8_t, 5>* glyph(char c) {
  static const std::map<char, std::array<uint8_t, 5>> font = {
      {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}},
      {'3', {7, 1, 7, 1, 7}}, {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}},
      {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}}, {'8', {7, 5, 7, 5, 7}},
      {'9', {7, 5, 7, 1, 7}}, {'A', {2, 5, 7, 5, 5}}, {'B', {6, 5, 6, 5, 6}},
      {'C', {7, 4, 4, 4, 7}}, {'D', {6, 5, 5, 5, 6}}, {'E', {7, 4, 6, 4, 7}},
      {'F', {7, 4, 6, 4, 4}}, {'G', {7, 4, 5, 5, 7}}, {'H', {5, 5, 7, 5, 5}},
      {'I', {7, 2, 2, 2, 7}}, {'J', {1, 1, 1, 5, 7}}, {'K', {5, 5, 6, 5, 5}},
      {'L', {4, 4, 4, 4, 7}}, {'M', {5, 7, 7, 5, 5}}, {'N', {6, 5, 5, 5, 5}},
      {'O', {7, 5, 5, 5, 7}}, {'P', {7, 5, 7, 4, 4}}, {'Q', {7, 5, 5, 7, 1}},
      {'R', {7, 5, 6, 5, 5}}, {'S', {7, 4, 7, 1, 7}}, {'T', {7, 2, 2, 2, 2}},
      {'U', {5, 5, 5, 5, 7}}, {'V', {5, 5, 5, 5, 2}}, {'W', {5, 5, 7, 7, 5}},
      {'X', {5, 5, 2, 5, 5}}, {'Y', {5, 5, 2, 2, 2}}, {'Z', {7, 1, 2, 4, 7}},
      {'.', {0, 0, 0, 0, 2}}, {',', {0, 0, 0, 2, 4}}, {'(', {1, 2, 2, 2, 1}},
      {')', {4, 2, 2, 2, 4}}, {'-', {0, 0, 7, 0, 0}}, {':', {0, 2, 0, 2, 0}},
      {'_', {0, 0, 0, 0, 7}},
  };
  auto it = font.find(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return it == font.end() ? nullptr : &it->second;
}

class Raster {
 public:
  Raster(int width, int height)
      : width_(width), height_(height), pixels_(size_t(width) * height * 3, 255) {}

  void set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    uint8_t* p = &pixels_[(size_t(y) * width_ + x) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
  }
  void fill(int x, int y, int w, int h, Rgb c) {
    for (int j = 0; j < h; ++j)
      for (int i = 0; i < w; ++i) set(x + i, y + j, c);
  }
  void frame(int x, int y, int w, int h, int thickness, Rgb c) {
    fill(x, y, w, thickness, c);
    fill(x, y + h - thickness, w, thickness, c);
    fill(x, y, thickness, h, c);
    fill(x + w - thickness, y, thickness, h, c);
  }
  // Text in the 3x5 font at `scale` pixels per font pixel.
  void text(int x, int y, const std::string& s, Rgb c, int scale = 2) {
    for (char ch : s) {
      if (const auto* g = glyph(ch)) {
        for (int row = 0; row < 5; ++row)
          for (int col = 0; col < 3; ++col)
            if ((*g)[row] & (4 >> col)) fill(x + col * scale, y + row * scale, scale, scale, c);
      }
      x += 4 * scale;
    }
  }
  int width() const { return width_; }
  int height() const { return height_; }
  const uint8_t* row(int y) const { return &pixels_[size_t(y) * width_ * 3]; }

 private:
  int width_, height_;
  std::vector<uint8_t> pixels_;
};

}  // namespace

// Long because the SVG document is written top to bottom in one place:
// header, legend, the block grid and the histogram, in drawing order.
std::string render_wear_svg(const WearPicture& picture) {
  const PartStats& s = picture.stats;
  const Layout l = layout_for(s);
  std::string svg;
  svg += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(l.width) +
         "\" height=\"" + std::to_string(l.height) +
         "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  svg += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
  svg += "<text x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(kMargin + 14) +
         "\" font-size=\"15\" font-weight=\"bold\">Wear of " + xml_escape(picture.title) + ": " +
         std::to_string(s.blocks.size()) + " blocks</text>\n";
  for (size_t i = 0; i < s.blocks.size(); ++i) {
    const BlockState& b = s.blocks[i];
    const int x = kMargin + static_cast<int>(i % l.columns) * (kCell + kGap);
    const int y = kMargin + kTitleHeight + static_cast<int>(i / l.columns) * (kCell + kGap);
    std::string stroke;
    if (b.kind == BlockKind::Free) {
      stroke = " stroke=\"" + hex(kFreeBorder) + "\" stroke-width=\"1\" stroke-dasharray=\"2,1\"";
    } else if (b.kind == BlockKind::Current) {
      stroke = " stroke=\"" + hex(kCurrentBorder) + "\" stroke-width=\"3\"";
    }
    svg += "<rect class=\"block\" data-block=\"" + std::to_string(b.number) + "\" data-kind=\"" +
           block_kind_name(b.kind) + "\" data-erase=\"" + std::to_string(b.erase_count) +
           "\" x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
           std::to_string(kCell) + "\" height=\"" + std::to_string(kCell) + "\" fill=\"" +
           hex(fill_of(s, b)) + "\"" + stroke + "><title>block " + std::to_string(b.number) + ": " +
           block_kind_name(b.kind) + ", erased " + std::to_string(b.erase_count) + " times, " +
           std::to_string(b.invalid_pages) + " invalid pages</title></rect>\n";
    if (b.kind == BlockKind::Bad) {
      svg += "<path d=\"M" + std::to_string(x + 2) + " " + std::to_string(y + 2) + " L" +
             std::to_string(x + kCell - 2) + " " + std::to_string(y + kCell - 2) + " M" +
             std::to_string(x + kCell - 2) + " " + std::to_string(y + 2) + " L" +
             std::to_string(x + 2) + " " + std::to_string(y + kCell - 2) +
             "\" stroke=\"#ffffff\" stroke-width=\"1.5\"/>\n";
    }
  }
  // Legend: the ramp with its end values, the kinds with their counts.
  const int top = l.legend_top;
  svg += "<defs><linearGradient id=\"ramp\">";
  for (int i = 0; i <= 4; ++i) {
    svg += "<stop offset=\"" + std::to_string(i * 25) + "%\" stop-color=\"" + hex(ramp(i / 4.0)) +
           "\"/>";
  }
  svg += "</linearGradient></defs>\n";
  svg += "<g class=\"legend\">\n";
  svg += "<text x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(top + 12) + "\">" +
         erase_text(s) + "</text>\n";
  svg += "<rect x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(top + 20) +
         "\" width=\"200\" height=\"12\" fill=\"url(#ramp)\"/>\n";
  svg += "<text x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(top + 46) + "\">" +
         std::to_string(s.erase_min) + "</text>\n";
  svg += "<text x=\"" + std::to_string(kMargin + 200) + "\" y=\"" + std::to_string(top + 46) +
         "\" text-anchor=\"end\">" + std::to_string(s.erase_max) + "</text>\n";
  auto counts = kind_counts(s);
  struct Swatch {
    BlockKind kind;
    std::string label;
  };
  const Swatch swatches[] = {{BlockKind::Full, "full"},
                             {BlockKind::Current, "current"},
                             {BlockKind::Free, "free"},
                             {BlockKind::Bad, "bad"},
                             {BlockKind::HeadMark, "head mark"}};
  int x = kMargin;
  for (const Swatch& sw : swatches) {
    BlockState sample{0, sw.kind, s.erase_min, 0};
    std::string stroke;
    if (sw.kind == BlockKind::Free)
      stroke = " stroke=\"" + hex(kFreeBorder) + "\" stroke-dasharray=\"2,1\"";
    if (sw.kind == BlockKind::Current)
      stroke = " stroke=\"" + hex(kCurrentBorder) + "\" stroke-width=\"3\"";
    svg += "<rect x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(top + 60) + "\" width=\"" +
           std::to_string(kCell) + "\" height=\"" + std::to_string(kCell) + "\" fill=\"" +
           hex(fill_of(s, sample)) + "\"" + stroke + "/>\n";
    svg += "<text x=\"" + std::to_string(x + kCell + 4) + "\" y=\"" + std::to_string(top + 72) +
           "\">" + sw.label + " " + std::to_string(counts[sw.kind]) + "</text>\n";
    x += 95;
  }
  svg += "<text x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(top + 100) + "\">" +
         std::to_string(s.good_blocks) + " good blocks; " + kind_counts_text(s) + "</text>\n";
  svg += "</g>\n</svg>\n";
  return svg;
}

Status write_wear_png(const WearPicture& picture, std::FILE* out, const std::string& name) {
  const PartStats& s = picture.stats;
  const Layout l = layout_for(s);
  Raster r(l.width, l.height);
  r.text(kMargin, kMargin + 2, "WEAR OF " + picture.title, kText, 2);
  for (size_t i = 0; i < s.blocks.size(); ++i) {
    const BlockState& b = s.blocks[i];
    const int x = kMargin + static_cast<int>(i % l.columns) * (kCell + kGap);
    const int y = kMargin + kTitleHeight + static_cast<int>(i / l.columns) * (kCell + kGap);
    r.fill(x, y, kCell, kCell, fill_of(s, b));
    if (b.kind == BlockKind::Free) r.frame(x, y, kCell, kCell, 1, kFreeBorder);
    if (b.kind == BlockKind::Current) r.frame(x, y, kCell, kCell, 3, kCurrentBorder);
    if (b.kind == BlockKind::Bad) {
      for (int k = 2; k < kCell - 2; ++k) {
        r.set(x + k, y + k, kWhite);
        r.set(x + kCell - 1 - k, y + k, kWhite);
      }
    }
  }
  const int top = l.legend_top;
  r.text(kMargin, top, erase_text(s), kText, 2);
  for (int i = 0; i < 200; ++i) r.fill(kMargin + i, top + 16, 1, 12, ramp(i / 199.0));
  r.text(kMargin, top + 32, std::to_string(s.erase_min), kText, 2);
  const std::string max_text = std::to_string(s.erase_max);
  r.text(kMargin + 200 - int(max_text.size()) * 8, top + 32, max_text, kText, 2);
  auto counts = kind_counts(s);
  const std::pair<BlockKind, const char*> swatches[] = {{BlockKind::Full, "FULL"},
                                                        {BlockKind::Current, "CURRENT"},
                                                        {BlockKind::Free, "FREE"},
                                                        {BlockKind::Bad, "BAD"},
                                                        {BlockKind::HeadMark, "HEAD"}};
  int x = kMargin;
  for (const auto& [kind, label] : swatches) {
    BlockState sample{0, kind, s.erase_min, 0};
    r.fill(x, top + 50, kCell, kCell, fill_of(s, sample));
    if (kind == BlockKind::Free) r.frame(x, top + 50, kCell, kCell, 1, kFreeBorder);
    if (kind == BlockKind::Current) r.frame(x, top + 50, kCell, kCell, 3, kCurrentBorder);
    r.text(x + kCell + 4, top + 52, std::string(label) + " " + std::to_string(counts[kind]), kText,
           2);
    x += 95;
  }

  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, &info);
    return Status::IOError("cannot set up the PNG writer");
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return Status::IOError("writing " + name + " failed");
  }
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(r.width()), static_cast<png_uint_32>(r.height()),
               8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  // The numbers also travel as text chunks, for tools that read them.
  std::string title = picture.title, erase = erase_text(s), kinds = kind_counts_text(s);
  png_text texts[3] = {};
  texts[0].compression = PNG_TEXT_COMPRESSION_NONE;
  texts[0].key = const_cast<char*>("Title");
  texts[0].text = title.data();
  texts[1].compression = PNG_TEXT_COMPRESSION_NONE;
  texts[1].key = const_cast<char*>("Comment");
  texts[1].text = erase.data();
  texts[2].compression = PNG_TEXT_COMPRESSION_NONE;
  texts[2].key = const_cast<char*>("Description");
  texts[2].text = kinds.data();
  png_set_text(png, info, texts, 3);
  png_write_info(png, info);
  for (int y = 0; y < r.height(); ++y) png_write_row(png, const_cast<png_bytep>(r.row(y)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::ferror(out) != 0) return Status::IOError("writing " + name + " failed");
  return Status::Ok();
}

std::string wear_histogram(const PartStats& s, uint32_t buckets) {
  std::vector<uint32_t> counts;
  const uint32_t span = s.erase_max - s.erase_min + 1;
  buckets = std::max<uint32_t>(1, std::min(buckets, span));
  const uint32_t width = (span + buckets - 1) / buckets;
  counts.assign(buckets, 0);
  uint32_t most = 0;
  for (const auto& b : s.blocks) {
    if (b.kind == BlockKind::Bad || b.kind == BlockKind::HeadMark || b.kind == BlockKind::Other) {
      continue;
    }
    uint32_t k = (b.erase_count - s.erase_min) / width;
    if (k >= buckets) k = buckets - 1;
    most = std::max(most, ++counts[k]);
  }
  std::string out =
      "erase counts of " + std::to_string(s.counted_blocks) + " blocks (free, current, full):\n";
  constexpr int kBar = 50;
  for (uint32_t k = 0; k < buckets; ++k) {
    const uint32_t lo = s.erase_min + k * width;
    const uint32_t hi = lo + width - 1;
    char label[48];
    if (width == 1) {
      std::snprintf(label, sizeof label, "%10u", lo);
    } else {
      std::snprintf(label, sizeof label, "%4u-%-5u", lo, hi);
    }
    const int len =
        most == 0 ? 0 : static_cast<int>((uint64_t(counts[k]) * kBar + most - 1) / most);
    out += std::string(label) + " | " + std::string(static_cast<size_t>(len), '#') + " " +
           std::to_string(counts[k]) + "\n";
  }
  return out;
}

}  // namespace cli
