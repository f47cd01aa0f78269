// Flash access: the spare record and mapping page codecs, and the six
// physical operations over a fake MTD device that records every call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"

namespace {

// ---------------------------------------------------------------------------
// Spare record.
// ---------------------------------------------------------------------------
TEST(SpareRecord, LogicalPageTagIsBigEndianWithTwoTopBitsAndLeavesTailBytes) {
  uchar spare[16];
  std::memset(spare, 0xFF, sizeof spare);  // erased: not a logical page
  EXPECT_EQ(get_logic_page_from_oob(spare), 0x0FFFFFFFu);
  EXPECT_EQ(get_erase_count_from_oob(spare), 0xFFFF);
  EXPECT_FALSE(is_logic_page_tag(get_special_data_from_oob(spare)));

  std::memset(spare, 0x5A, sizeof spare);
  set_oob_logic_page(nullptr, spare, 0x123456, 0x01020304, 0xA0B1);
  const uchar expected[16] = {0xC0, 0x12, 0x34, 0x56, 0xA0, 0xB1, 0x01, 0x02,
                              0x03, 0x04, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  EXPECT_EQ(0, std::memcmp(spare, expected, 16));
  EXPECT_EQ(get_logic_page_from_oob(spare), 0x123456u);
  EXPECT_EQ(get_erase_count_from_oob(spare), 0xA0B1);
  EXPECT_EQ(get_block_used_count_from_oob(spare), 0x01020304u);
  EXPECT_TRUE(is_logic_page_tag(get_special_data_from_oob(spare)));

  set_oob_logic_page(nullptr, spare, 0x0ABCDEF1, 0xFFFFFFFE, 0);  // top page bits share byte 0
  EXPECT_EQ(spare[0], 0xCA);
  EXPECT_EQ(get_logic_page_from_oob(spare), 0x0ABCDEF1u);
  EXPECT_EQ(get_block_used_count_from_oob(spare), 0xFFFFFFFEu);
  for (uint32 tag : {0x80123456u, 0x40123456u, 0x00000001u, 0x3FFFFFFFu}) {
    EXPECT_FALSE(is_logic_page_tag(tag)) << std::hex << tag;  // one top bit is neither kind
  }
}

TEST(SpareRecord, SpecialValuesAreStoredUnchangedAndBadFlagReadsTheTagOnly) {
  for (uint32 special : {NYX_TAG_MAPPING_PAGE, NYX_TAG_HEAD_MARK, NYX_TAG_END_MARK}) {
    uchar spare[16];
    std::memset(spare, 0x11, sizeof spare);
    set_oob_special_page(nullptr, spare, special, 42, 7);
    EXPECT_EQ(get_special_data_from_oob(spare), special);
    EXPECT_EQ(get_erase_count_from_oob(spare), 7);
    EXPECT_EQ(get_block_used_count_from_oob(spare), 42u);
    EXPECT_EQ(spare[10], 0x11);
    EXPECT_FALSE(is_logic_page_tag(special));
  }
  uchar spare[16] = {};
  spare[4] = 0xFF;
  EXPECT_EQ(get_bad_flag_from_oob(spare), 0);
  spare[3] = 1;
  EXPECT_EQ(get_bad_flag_from_oob(spare), 1);
}

// ---------------------------------------------------------------------------
// Mapping page: little-endian entries, as many as the page holds, then the
// sequence number when a whole map fits, then erased bytes.
// ---------------------------------------------------------------------------
uint32 le32_at(const std::vector<uchar>& page, size_t at) {
  return uint32(page[at]) | uint32(page[at + 1]) << 8 | uint32(page[at + 2]) << 16 |
         uint32(page[at + 3]) << 24;
}

TEST(MappingPage, RoundTripsWhatEachPageSizeCarries) {
  _phy_page_mapping map;
  for (uint32 i = 0; i < NYX_MAX_PAGES_PER_BLK; ++i)
    map.phy_page_map[i] = 0x01000000u * (i % 7) + i * 3;
  map.phy_page_map[1] = 0xA1B2C3D4;
  map.block_used_count = 0x11223344;
  for (uint32 size : {2048u, 4096u, 8192u}) {
    SCOPED_TRACE(size);
    std::vector<uchar> page(size + 8, 0x5A);  // guard bytes after the page
    nyx_nftl_encode_mapping_page(&map, page.data(), size);
    EXPECT_EQ(page[4], 0xD4);
    EXPECT_EQ(page[7], 0xA1);
    const uint32 entries = std::min<uint32>(size / 4, NYX_MAX_PAGES_PER_BLK);
    for (uint32 i = 0; i < entries; ++i) ASSERT_EQ(le32_at(page, 4 * i), map.phy_page_map[i]) << i;
    if (size > 4096) {
      EXPECT_EQ(le32_at(page, 4096), 0x11223344u);
      for (size_t k = 4100; k < size; ++k) ASSERT_EQ(page[k], 0xFF) << k;
    }
    for (size_t k = size; k < page.size(); ++k) EXPECT_EQ(page[k], 0x5A);

    _phy_page_mapping back;
    std::memset(&back, 0xFF, sizeof back);
    nyx_nftl_decode_mapping_page(page.data(), size, &back);
    for (uint32 i = 0; i < NYX_MAX_PAGES_PER_BLK; ++i)
      ASSERT_EQ(back.phy_page_map[i], i < entries ? map.phy_page_map[i] : 0xFFFFFFFFu) << i;
    EXPECT_EQ(back.block_used_count, size > 4096 ? map.block_used_count : -1);
  }
}

// ---------------------------------------------------------------------------
// A fake MTD device: stores pages by address and records every call.
// ---------------------------------------------------------------------------
struct FakeMtd {
  struct Call {
    std::string op;
    uint64_t addr = 0;
    size_t len = 0;
    mtd_oob_ops ops{};
    const void* buf = nullptr;
  };

  mtd_info info{};
  nand_ecclayout layout{};
  std::vector<Call> calls;
  std::map<uint64_t, std::vector<uint8_t>> data;
  std::map<uint64_t, std::vector<uint8_t>> spare;
  int read_result = 0, write_result = 0, erase_result = 0, isbad_result = 0, markbad_result = 0;
  erase_info last_erase{};

  FakeMtd(uint32 erasesize, uint32 writesize) {
    info.type = MTD_NANDFLASH;
    info.erasesize = erasesize;
    info.writesize = writesize;
    info.oobsize = 64;
    info.oobavail = 38;
    info.size = uint64_t(erasesize) * 65535;
    layout.oobfree[0] = {6, 38};
    info.ecclayout = &layout;
    info.priv = this;
    info.erase = [](mtd_info* m, erase_info* e) {
      self(m)->last_erase = *e;
      return self(m)->record("erase", e->addr, e->len).erase_result;
    };
    info.read = [](mtd_info* m, uint64_t from, size_t len, size_t* retlen, uint8_t* buf) {
      *retlen = len;
      return self(m)
          ->record("read", from, len, nullptr, buf)
          .fill(from, buf, nullptr, len)
          .read_result;
    };
    info.write = [](mtd_info* m, uint64_t to, size_t len, size_t* retlen, const uint8_t* buf) {
      *retlen = len;
      self(m)->data[to].assign(buf, buf + len);
      return self(m)->record("write", to, len, nullptr, buf).write_result;
    };
    info.read_oob = [](mtd_info* m, uint64_t from, mtd_oob_ops* ops) {
      FakeMtd& f = self(m)->record("read_oob", from, ops->len, ops, ops->datbuf);
      return f.fill(from, ops->datbuf, ops->oobbuf, ops->len).read_result;
    };
    info.write_oob = [](mtd_info* m, uint64_t to, mtd_oob_ops* ops) {
      FakeMtd& f = self(m)->record("write_oob", to, ops->len, ops, ops->datbuf);
      if (ops->datbuf != nullptr) f.data[to].assign(ops->datbuf, ops->datbuf + ops->len);
      if (ops->oobbuf != nullptr) f.spare[to].assign(ops->oobbuf, ops->oobbuf + ops->ooblen);
      return f.write_result;
    };
    info.block_isbad = [](mtd_info* m, uint64_t ofs) {
      return self(m)->record("block_isbad", ofs, 0).isbad_result;
    };
    info.block_markbad = [](mtd_info* m, uint64_t ofs) {
      return self(m)->record("block_markbad", ofs, 0).markbad_result;
    };
  }

  static FakeMtd* self(mtd_info* m) { return static_cast<FakeMtd*>(m->priv); }

  FakeMtd& record(const char* op, uint64_t addr, size_t len, const mtd_oob_ops* ops = nullptr,
                  const void* buf = nullptr) {
    calls.push_back({op, addr, len, ops != nullptr ? *ops : mtd_oob_ops{}, buf});
    return *this;
  }

  // Reads back what was stored at `from`, erased bytes where nothing was.
  FakeMtd& fill(uint64_t from, uint8_t* buf, uint8_t* oob, size_t len) {
    auto copy = [from](auto& store, uint8_t* to, size_t n) {
      if (to == nullptr) return;
      auto it = store.find(from);
      if (it == store.end())
        std::memset(to, 0xFF, n);
      else
        std::memcpy(to, it->second.data(), n);
    };
    copy(data, buf, len);
    copy(spare, oob, 16);
    return *this;
  }
};

constexpr uint32 kErase = 131072;
constexpr uint32 kWrite = 2048;
constexpr uint64_t kBlock40000Page3 = 40000ull * kErase + 3 * kWrite;  // past 4 GiB

class PhysicalOps : public ::testing::Test {
 protected:
  PhysicalOps() : mtd(kErase, kWrite), main(kWrite, 0), spare(16, 0) {
    chip.bitmap_per_page = 4;
    chip.pages_per_blk = 64;
    part.mtd = &mtd.info;
    part.nand_chip = &chip;
  }

  _physic_op_par par(uint16 block, uint16 page, uchar* main_buf, uchar* spare_buf) {
    _physic_op_par p{};
    p.phy_page.blkNO_in_chip = block;
    p.phy_page.Page_NO = page;
    p.page_bitmap = chip.bitmap_per_page;
    p.main_data_addr = main_buf;
    p.spare_data_addr = spare_buf;
    return p;
  }

  FakeMtd mtd;
  nand_chip_t chip{};
  nyx_nftl_part_t part{};
  std::vector<uchar> main;
  std::vector<uchar> spare;
};

// Reads and writes with a spare buffer make one auto-OOB request, without
// one a plain call, at a 64-bit address; each counts.
TEST_F(PhysicalOps, ReadsAndWritesPickTheirRequestAt64BitAddresses) {
  ASSERT_GT(kBlock40000Page3, 0x100000000ull);
  _physic_op_par p = par(40000, 3, main.data(), spare.data());
  LogCapture log;
  EXPECT_EQ(nand_read_page(&part, &p), 0);
  EXPECT_EQ(nand_write_page(&part, &p), 0);
  ASSERT_EQ(mtd.calls.size(), 2u);
  for (const FakeMtd::Call& c : mtd.calls) {
    EXPECT_EQ(c.addr, kBlock40000Page3);
    EXPECT_EQ(c.ops.mode, MTD_OOB_AUTO);
    EXPECT_EQ(c.ops.len, kWrite);
    EXPECT_EQ(c.ops.ooblen, 16u);
    EXPECT_EQ(c.ops.ooboffs, 6u);
    EXPECT_EQ(c.ops.datbuf, main.data());
    EXPECT_EQ(c.ops.oobbuf, spare.data());
  }
  EXPECT_EQ(mtd.calls[0].op, "read_oob");
  EXPECT_EQ(mtd.calls[1].op, "write_oob");
  EXPECT_TRUE(log.lines().empty());

  mtd.calls.clear();
  p.spare_data_addr = nullptr;
  nand_read_page(&part, &p);
  nand_write_page(&part, &p);
  p = par(2, 0, nullptr, spare.data());
  nand_read_page(&part, &p);
  ASSERT_EQ(mtd.calls.size(), 3u);
  EXPECT_EQ(mtd.calls[0].op, "read");
  EXPECT_EQ(mtd.calls[1].op, "write");
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(mtd.calls[i].addr, kBlock40000Page3);
    EXPECT_EQ(mtd.calls[i].len, kWrite);
    EXPECT_EQ(mtd.calls[i].buf, main.data());
  }
  EXPECT_EQ(mtd.calls[2].op, "read_oob");  // spare only: no main buffer
  EXPECT_EQ(mtd.calls[2].ops.datbuf, nullptr);
  EXPECT_EQ(mtd.calls[2].ops.oobbuf, spare.data());
  EXPECT_EQ(part.total_reads, 3u);
  EXPECT_EQ(part.total_write, 2u);
}

TEST_F(PhysicalOps, FailuresAreReturnedCountedAndOnlyReadsLogged) {
  mtd.read_result = -EUCLEAN;
  _physic_op_par p = par(40000, 3, main.data(), spare.data());
  LogCapture log;
  EXPECT_EQ(nand_read_page(&part, &p), -117);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"read reclaim\n"});
  log.clear();
  mtd.read_result = -EBADMSG;
  EXPECT_EQ(nand_read_page(&part, &p), -74);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"nyx_ops_read_page failed: 138801800 40000 3\n"});
  mtd.read_result = -EIO;
  p.spare_data_addr = nullptr;
  EXPECT_EQ(nand_read_page(&part, &p), -5);
  EXPECT_EQ(log.count("nyx_ops_read_page failed: 138801800 40000 3\n"), 2u);
  EXPECT_EQ(part.total_reads, 3u) << "failed reads count too";

  log.clear();
  mtd.write_result = -EIO;
  p.spare_data_addr = spare.data();
  EXPECT_EQ(nand_write_page(&part, &p), -5);
  p.spare_data_addr = nullptr;
  EXPECT_EQ(nand_write_page(&part, &p), -5);
  EXPECT_EQ(part.total_write, 2u);
  EXPECT_TRUE(log.lines().empty());
}

// Erase names the whole block; the good-block test takes every nonzero
// answer as bad; marking bad looks at the low byte of the answer.
TEST_F(PhysicalOps, BlockOperationsAddressTheWholeBlock) {
  _physic_op_par p = par(40000, 7, nullptr, nullptr);
  mtd.erase_result = -EIO;
  EXPECT_EQ(nand_erase_superblk(&part, &p), -5);
  EXPECT_EQ(mtd.last_erase.mtd, &mtd.info);
  EXPECT_EQ(mtd.last_erase.addr, 40000ull * kErase);
  EXPECT_EQ(mtd.last_erase.len, kErase);
  EXPECT_EQ(part.total_reads + part.total_write, 0u);

  EXPECT_EQ(nand_is_blk_good(&part, &p), 1);
  EXPECT_EQ(mtd.calls.back().addr, 40000ull * kErase);
  for (int answer : {1, -EIO}) {
    mtd.isbad_result = answer;
    EXPECT_EQ(nand_is_blk_good(&part, &p), 0) << answer;
  }
  EXPECT_EQ(nand_mark_bad_blk(&part, &p), 0);
  EXPECT_EQ(mtd.calls.back().op, "block_markbad");
  EXPECT_EQ(mtd.calls.back().addr, 40000ull * kErase);
  mtd.markbad_result = 0x100;
  EXPECT_EQ(nand_mark_bad_blk(&part, &p), 0);
  mtd.markbad_result = -EIO;
  EXPECT_EQ(nand_mark_bad_blk(&part, &p), 1);
}

// Seeds page `page` of `block` in the fake with data and a spare record.
void seed_page(FakeMtd& mtd, uint16 block, uint16 page, uchar fill, const uchar* record) {
  uint64_t addr = uint64_t(block) * kErase + uint64_t(page) * kWrite;
  mtd.data[addr].assign(kWrite, fill);
  mtd.spare[addr].assign(record, record + 16);
}

class PageCopy : public PhysicalOps {
 protected:
  PageCopy() {
    uchar record[16];
    for (int i = 0; i < 16; ++i) record[i] = static_cast<uchar>(0xE0 + i);
    set_oob_logic_page(&part, record, 0x77, 5, 9);
    seed_page(mtd, 10, 4, 0x3C, record);
    src = par(10, 4, nullptr, nullptr);
    dst = par(40000, 4, nullptr, nullptr);
  }

  const std::vector<uint8_t>& dest_spare() { return mtd.spare[kBlock40000Page3 + kWrite]; }
  const std::vector<uint8_t>& dest_data() { return mtd.data[kBlock40000Page3 + kWrite]; }

  _physic_op_par src{};
  _physic_op_par dst{};
};

TEST_F(PageCopy, StampsDestinationCountsAndKeepsTheRest) {
  src.page_bitmap = 0;
  dst.page_bitmap = 0;
  EXPECT_EQ(nand_copy_page(&part, &src, &dst, main.data(), 12, 3), 0);
  ASSERT_EQ(dest_spare().size(), 16u);
  EXPECT_EQ(get_logic_page_from_oob(dest_spare().data()), 0x77u);
  EXPECT_TRUE(is_logic_page_tag(get_special_data_from_oob(dest_spare().data())));
  EXPECT_EQ(get_block_used_count_from_oob(dest_spare().data()), 12u);
  EXPECT_EQ(get_erase_count_from_oob(dest_spare().data()), 3);
  for (int i = 10; i < 16; ++i) EXPECT_EQ(dest_spare()[i], 0xE0 + i);
  EXPECT_EQ(dest_data(), std::vector<uint8_t>(kWrite, 0x3C));
  EXPECT_EQ(src.page_bitmap, 4);
  EXPECT_EQ(dst.page_bitmap, 4);
  EXPECT_EQ(part.total_reads, 1u);
  EXPECT_EQ(part.total_write, 1u);
  ASSERT_EQ(mtd.calls.size(), 2u);
  EXPECT_EQ(mtd.calls[0].ops.datbuf, main.data());
  EXPECT_EQ(mtd.calls[1].ops.datbuf, main.data());
}

// A corrected read counts as success; a failed read still writes the
// destination and reports failure, as does a failed write.
TEST_F(PageCopy, FailuresAreReported) {
  LogCapture log;
  mtd.read_result = -EUCLEAN;
  EXPECT_EQ(nand_copy_page(&part, &src, &dst, main.data(), 12, 3), 0);
  EXPECT_EQ(log.count("read reclaim\n"), 1u);
  EXPECT_EQ(dest_data(), std::vector<uint8_t>(kWrite, 0x3C));
  mtd.data.erase(kBlock40000Page3 + kWrite);
  mtd.read_result = -EBADMSG;
  EXPECT_NE(nand_copy_page(&part, &src, &dst, main.data(), 12, 3), 0);
  EXPECT_EQ(dest_data().size(), kWrite) << "the destination page is written anyway";
  mtd.read_result = 0;
  mtd.write_result = -EIO;
  EXPECT_NE(nand_copy_page(&part, &src, &dst, main.data(), 12, 3), 0);
  EXPECT_EQ(part.total_reads, 3u);
  EXPECT_EQ(part.total_write, 3u);
}

}  // namespace
