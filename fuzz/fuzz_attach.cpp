// Fuzz target: attaching a partition over arbitrary flash contents, then
// using it.
//
// The input describes a small chip (512-byte pages) and what is on it:
//
//   byte 0   geometry: pages per block 4, 8 or 16 (b % 3); OOB size 18, 20,
//            24 or 32 (b / 3 % 4); spare record right after the bad-block
//            marker or at the end of the OOB area (b / 12 % 2)
//   byte 1   blocks: 17 + b % 32
//   byte 2   mode: bit 0 raw image, bit 1 leave block 0 as described (else
//            it carries the head mark), bit 2 attach a second time after
//            the operations, bit 3 bit flips on reads at a rate
//   raw mode: the bytes that follow fill the OOB area of every page in
//            order, then the main data of each block's last page (its
//            mapping page when the block is full); what the input does not
//            cover stays erased.
//   structured mode: seven bytes per block, expanded into pages with
//            records that look like the translation layer's own, so the
//            fuzzer reaches the deep paths of the mount scan:
//              kind   bits 0-2: 0 erased, 1 bad, 2 head mark, 3 end mark,
//                     4 and 6 full data block, 5 partly written block,
//                     7 raw spare records for page 0 and the last page;
//                     bit 3 damaged records (tags from the input), bit 4 a
//                     page that reads uncorrectable, bit 5 one that reads
//                     corrected, bit 6 programs of the block fail, bit 7
//                     erases of the block fail
//              seq    sequence number (small offsets, or extreme values)
//              erase  erase count (byte x 12; 0xFF for 0xFFFF)
//              lp0, stride  logical pages base + i * stride, mostly in range
//              fill   pages written in a partly written block; for a full
//                     block, bits of mapping-page trouble (entries that
//                     disagree with the spare records, an erased sequence
//                     field, entries out of range)
//              extra  the raw spare bytes' seed for kind 7
// Then, in both modes, operations on the attached partition (logical writes
// and reads, collection steps, priority reclaim, wear levelling, the
// consistency checker), one per byte. None of this may crash, hang, leak or
// touch memory out of bounds; the checker's findings on garbage flash are
// not failures (it runs only to exercise its code).
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "nyx_nftl/nyx_nftl.h"
#include "nyx_nftl/nyx_nftl_check.h"
#include "platform/mtd/nand_sim.h"

namespace {

constexpr uint32_t kPageSize = 512;
constexpr uint32_t kMaxOps = 48;

// The attach's capacity rules (reserve, and the fit of small blocks), so
// that the generated logical page numbers mostly fall inside the map.
uint32_t expected_logic_pages(uint32_t blocks, uint32_t pages) {
  uint32_t reserve = blocks / 8 < 32 ? 32 : blocks / 8;
  if (reserve >= blocks) reserve = blocks / 2;
  uint32_t logical = blocks - reserve;
  if (blocks - 1 - logical >= 15) {
    uint32_t fit = (blocks - 9) * (pages - 1) / pages;
    if (logical > fit) logical = fit;
  }
  return logical * pages;
}

nandsim::Geometry geometry_from(uint8_t geometry_byte, uint8_t blocks_byte) {
  static constexpr uint32_t kPages[] = {4, 8, 16};
  static constexpr uint32_t kOob[] = {18, 20, 24, 32};
  nandsim::Geometry g;
  g.page_size = kPageSize;
  g.pages_per_block = kPages[geometry_byte % 3];
  g.oob_size = kOob[geometry_byte / 3 % 4];
  g.spare_offset = (geometry_byte / 12 % 2) == 0 ? 2 : g.oob_size - NYX_SPARE_BYTES;
  g.blocks = 17 + blocks_byte % 32;
  return g;
}

// Writes the pages of the image: each page is programmed once, and pages left
// wholly erased are not programmed at all (as on a real chip).
struct ImageWriter {
  explicit ImageWriter(nandsim::NandChip& c)
      : chip(c), main(c.geometry().page_size, 0xFF), oob(c.geometry().oob_size, 0xFF) {}

  uint8_t* spare() { return oob.data() + chip.geometry().spare_offset; }
  // Programs page `page` of `block` with the buffers, then erases them again.
  void program(uint32_t block, uint32_t page) {
    auto erased = [](const std::vector<uint8_t>& v) {
      return std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == 0xFF; });
    };
    if (!erased(main) || !erased(oob))
      chip.program_page(uint64_t{block} * chip.geometry().pages_per_block + page, main.data(),
                        oob.data());
    std::fill(main.begin(), main.end(), 0xFF);
    std::fill(oob.begin(), oob.end(), 0xFF);
  }

  nandsim::NandChip& chip;
  std::vector<uint8_t> main, oob;
};

void fill_raw(nandsim::NandChip& chip, fuzz::ByteReader& in) {
  const nandsim::Geometry& g = chip.geometry();
  ImageWriter w(chip);
  // The OOB areas first (they decide how every block is seen), then the
  // main data of each block's last page, kept aside until the block's
  // pages are programmed together.
  std::vector<uint8_t> oobs(g.total_pages() * g.oob_size, 0xFF);
  in.bytes(oobs.data(), oobs.size());
  for (uint64_t page = 0; page < g.total_pages(); ++page) {
    std::memcpy(w.oob.data(), &oobs[page * g.oob_size], g.oob_size);
    if ((page + 1) % g.pages_per_block == 0) in.bytes(w.main.data(), g.page_size);
    w.program(static_cast<uint32_t>(page / g.pages_per_block), page % g.pages_per_block);
  }
}

struct BlockPlan {
  uint8_t kind, seq, erase, lp0, stride, fill, extra;
};

uint32_t sequence_of(uint8_t seq) {
  static constexpr uint32_t kExtreme[] = {0,          1,          0x7FFFFFFF, 0x80000000,
                                          0xFFFFFFFE, 0xFFFFFFFF, 0x00FFFFFF, 0x40000000};
  return seq < 0xF0 ? 1000 + seq : kExtreme[seq & 7];
}

uint16_t erase_count_of(uint8_t erase) {
  return erase == 0xFF ? 0xFFFF : static_cast<uint16_t>(erase * 12);
}

// Expands one block's plan into its pages.
void fill_block(nandsim::NandChip& chip, uint32_t block, const BlockPlan& plan) {
  const uint32_t pages = chip.geometry().pages_per_block;
  // Now and then one beyond the map.
  const uint32_t lp_range = expected_logic_pages(chip.geometry().blocks, pages) + 2;
  const bool damaged = plan.kind & 0x08;
  const uint32_t sequence = sequence_of(plan.seq);
  const uint16_t erase_count = erase_count_of(plan.erase);
  ImageWriter w(chip);
  auto lp_at = [&](uint32_t i) { return (plan.lp0 + i * (plan.stride | 1)) % lp_range; };
  // A damaged record: a tag made from the input (marks, the mapping tag,
  // stray values), to test how the readers classify what they do not expect.
  auto damaged_tag = [&](uint32_t i) {
    static constexpr uint32_t kTags[] = {NYX_TAG_MAPPING_PAGE, NYX_TAG_HEAD_MARK, NYX_TAG_END_MARK,
                                         NYX_TAG_ERASED,       0x00000000,        0xC0FFFFFF,
                                         0x3FFFFFFF,           0xAAAA0000};
    return kTags[(plan.extra + i) % 8];
  };
  auto data_page = [&](uint32_t i) {
    if (damaged && (plan.extra >> (i % 8)) & 1) {
      set_oob_special_page(nullptr, w.spare(), damaged_tag(i), sequence, erase_count);
    } else {
      set_oob_logic_page(nullptr, w.spare(), lp_at(i), sequence, erase_count);
    }
    std::memset(w.main.data(), static_cast<int>(lp_at(i) & 0xFF), 16);  // something to read back
    w.program(block, i);
  };

  switch (plan.kind & 7) {
    case 0:  // erased
      break;
    case 1:  // factory bad
      w.oob[0] = 0x00;
      w.program(block, 0);
      break;
    case 2:  // head mark on every page
      for (uint32_t i = 0; i < pages; ++i) {
        set_oob_mark(w.spare(), NYX_TAG_HEAD_MARK);
        w.program(block, i);
      }
      break;
    case 3:  // end mark on page 0
      set_oob_mark(w.spare(), NYX_TAG_END_MARK);
      w.program(block, 0);
      break;
    case 4:
    case 6: {  // full: data pages, then the mapping page
      for (uint32_t i = 0; i + 1 < pages; ++i) data_page(i);
      _phy_page_mapping map;
      std::memset(&map, 0xFF, sizeof map);
      for (uint32_t i = 0; i + 1 < pages; ++i) {
        map.phy_page_map[i] = lp_at(i);
        if (plan.fill & 0x01) map.phy_page_map[i] = lp_at(i + plan.fill / 4);  // disagrees
        if ((plan.fill & 0x08) && i == plan.extra % pages) map.phy_page_map[i] = 0x0FFFFFFF;
      }
      nyx_nftl_encode_mapping_page(&map, w.main.data(), kPageSize);
      set_oob_special_page(nullptr, w.spare(), NYX_TAG_MAPPING_PAGE,
                           (plan.fill & 0x02) ? 0xFFFFFFFF : sequence, erase_count);
      if (plan.fill & 0x04) std::memset(w.main.data(), 0xFF, kPageSize);  // mapping data lost
      w.program(block, pages - 1);
      break;
    }
    case 5:  // partly written: a candidate for the current block
      for (uint32_t i = 0; i < plan.fill % pages; ++i) data_page(i);
      break;
    case 7: {  // raw records for page 0 and the last page
      uint32_t x = plan.extra * 0x01000193u + plan.lp0;
      for (uint32_t page : {0u, pages - 1}) {
        for (uint32_t b = 0; b < NYX_SPARE_BYTES; ++b) {
          x = x * 1103515245u + 12345u;
          w.spare()[b] = static_cast<uint8_t>(x >> 16);
        }
        if (page == 0) w.spare()[0] |= 0xC0;  // looks like data to the classifier
        set_oob_special_page(nullptr, w.spare(), get_special_data_from_oob(w.spare()), sequence,
                             get_erase_count_from_oob(w.spare()));
        w.program(block, page);
      }
      break;
    }
  }
}

// Faults of the block, armed once the image is written.
void arm_faults(nandsim::NandChip& chip, uint32_t block, const BlockPlan& plan) {
  const uint32_t pages = chip.geometry().pages_per_block;
  const uint64_t first = uint64_t{block} * pages;
  if (plan.kind & 0x10) chip.inject_read_error(first + plan.seq % pages, -EBADMSG);
  if (plan.kind & 0x20) chip.inject_read_error(first + plan.erase % pages, -EUCLEAN);
  if (plan.kind & 0x40) chip.fail_program_at(first + plan.fill % pages);
  if (plan.kind & 0x80) chip.fail_erase_at(block);
}

void fill_structured(nandsim::NandChip& chip, fuzz::ByteReader& in, bool head_mark_first) {
  std::vector<BlockPlan> plans(chip.geometry().blocks);
  for (BlockPlan& p : plans) {
    // An input that runs out leaves the remaining blocks erased.
    p = BlockPlan{in.u8(), in.u8(), in.u8(), in.u8(), in.u8(), in.u8(), in.u8()};
  }
  if (head_mark_first) plans[0].kind = 2;
  for (uint32_t b = 0; b < plans.size(); ++b) fill_block(chip, b, plans[b]);
  for (uint32_t b = 0; b < plans.size(); ++b) arm_faults(chip, b, plans[b]);
}

// One operation on the attached partition per input byte (and its argument).
void exercise(nyx_nftl_part_t* part, fuzz::ByteReader& in) {
  const uint32_t pages = nyx_nftl_logic_pages(part);
  std::vector<uchar> buf(part->nand_chip->bytes_per_page);
  for (uint32_t n = 0; n < kMaxOps && !in.empty(); ++n) {
    const uint8_t op = in.u8();
    const uint8_t arg = in.u8();
    const uint32_t lp = pages == 0 ? arg : arg % (pages + 1);  // one beyond the map now and then
    switch (op % 8) {
      case 0:
      case 1:
      case 2:
        std::memset(buf.data(), op ^ arg, buf.size());
        nand_write_logic_page(part, lp, buf.data());
        break;
      case 3:
        nand_read_logic_page(part, lp, buf.data());
        break;
      case 4:
        garbage_collect(part);
        break;
      case 5:
        gc_one(part);
        break;
      case 6:
        if (arg & 1) {
          do_prio_gc(part);
        } else {
          do_static_wear_leveling(part);
        }
        break;
      case 7:
        (void)nyx_nftl_check(part);
        break;
    }
  }
}

void attach_and_use(nandsim::NandChip& chip, fuzz::ByteReader& in) {
  nyx_nftl_part_t* part = nullptr;
  if (nyx_nftl_part_attach(chip.mtd(), &part) != 0) return;
  (void)nyx_nftl_check(part);
  exercise(part, in);
  nyx_nftl_part_detach(part);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_kernel_log();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const uint8_t geometry_byte = in.u8();
  const uint8_t blocks_byte = in.u8();
  const uint8_t mode = in.u8();

  nandsim::Options options;
  options.geometry = geometry_from(geometry_byte, blocks_byte);
  options.seed = 1 + geometry_byte;
  auto made = nandsim::NandChip::create_in_memory(options);
  fuzz::require(made.ok(), "the fuzz geometry is a valid chip");
  std::unique_ptr<nandsim::NandChip> chip = std::move(made).value();

  if (mode & 1) {
    fill_raw(*chip, in);
  } else {
    fill_structured(*chip, in, (mode & 2) == 0);
  }
  if (mode & 8) chip->set_bitflip_rates(0.02, 0.01);

  attach_and_use(*chip, in);
  if (mode & 4) attach_and_use(*chip, in);
  return 0;
}
