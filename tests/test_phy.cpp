// Flash access: the spare record and mapping page codecs, and the six
// physical operations over a fake MTD device that records every call.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"

namespace {

// ---------------------------------------------------------------------------
// Spare record.
// ---------------------------------------------------------------------------
TEST(SpareRecord, ErasedBufferReadsAsErasedNotAsLogicalPage) {
  uchar spare[16];
  std::memset(spare, 0xFF, sizeof spare);
  EXPECT_EQ(get_special_data_from_oob(spare), 0xFFFFFFFFu);
  EXPECT_EQ(get_logic_page_from_oob(spare), 0x0FFFFFFFu);
  EXPECT_EQ(get_erase_count_from_oob(spare), 0xFFFF);
  EXPECT_EQ(get_block_used_count_from_oob(spare), 0xFFFFFFFFu);
  EXPECT_FALSE(is_logic_page_tag(get_special_data_from_oob(spare)));
}

TEST(SpareRecord, LogicalPageIsBigEndianAndLeavesTailBytes) {
  uchar spare[16];
  std::memset(spare, 0x5A, sizeof spare);
  set_oob_logic_page(nullptr, spare, 0x123456, 0x01020304, 0xA0B1);
  const uchar expected[16] = {0xC0, 0x12, 0x34, 0x56, 0xA0, 0xB1, 0x01, 0x02,
                              0x03, 0x04, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A};
  EXPECT_EQ(0, std::memcmp(spare, expected, 16));
  EXPECT_EQ(get_logic_page_from_oob(spare), 0x123456u);
  EXPECT_EQ(get_erase_count_from_oob(spare), 0xA0B1);
  EXPECT_EQ(get_block_used_count_from_oob(spare), 0x01020304u);
  EXPECT_TRUE(is_logic_page_tag(get_special_data_from_oob(spare)));
}

TEST(SpareRecord, TopLogicalPageBitsGoIntoByteZero) {
  uchar spare[16] = {};
  set_oob_logic_page(nullptr, spare, 0x0ABCDEF1, 0xFFFFFFFE, 0);
  EXPECT_EQ(spare[0], 0xCA);
  EXPECT_EQ(get_logic_page_from_oob(spare), 0x0ABCDEF1u);
  EXPECT_EQ(get_block_used_count_from_oob(spare), 0xFFFFFFFEu);
  set_oob_logic_page(nullptr, spare, 0, 0, 0);
  EXPECT_EQ(get_special_data_from_oob(spare), 0xC0000000u);
  EXPECT_TRUE(is_logic_page_tag(0xC0000000u));
}

TEST(SpareRecord, SpecialValuesAreStoredUnchanged) {
  for (uint32 special : {NYX_TAG_MAPPING_PAGE, NYX_TAG_HEAD_MARK, NYX_TAG_END_MARK}) {
    uchar spare[16];
    std::memset(spare, 0x11, sizeof spare);
    set_oob_special_page(nullptr, spare, special, 42, 7);
    EXPECT_EQ(spare[0], 0xAA);
    EXPECT_EQ(get_special_data_from_oob(spare), special);
    EXPECT_EQ(get_erase_count_from_oob(spare), 7);
    EXPECT_EQ(get_block_used_count_from_oob(spare), 42u);
    EXPECT_EQ(spare[10], 0x11);
    EXPECT_FALSE(is_logic_page_tag(special));
  }
}

TEST(SpareRecord, OneTopBitIsNeitherLogicalNorSpecial) {
  for (uint32 tag : {0x80123456u, 0x40123456u, 0x00000001u, 0x3FFFFFFFu}) {
    EXPECT_FALSE(is_logic_page_tag(tag)) << std::hex << tag;
  }
  EXPECT_TRUE(is_logic_page_tag(0xFFFFFFFEu));
}

TEST(SpareRecord, BadFlagLooksAtTheTagWordOnly) {
  uchar spare[16] = {};
  spare[4] = 0xFF;
  EXPECT_EQ(get_bad_flag_from_oob(spare), 0);
  spare[3] = 1;
  EXPECT_EQ(get_bad_flag_from_oob(spare), 1);
}

// ---------------------------------------------------------------------------
// Mapping page.
// ---------------------------------------------------------------------------
_phy_page_mapping patterned_map() {
  _phy_page_mapping map;
  for (uint32 i = 0; i < NYX_MAX_PAGES_PER_BLK; ++i) map.phy_page_map[i] = 0x01000000u * (i % 7) + i * 3;
  map.block_used_count = 0x11223344;
  return map;
}

_phy_page_mapping erased_map() {
  _phy_page_mapping map;
  std::memset(&map, 0xFF, sizeof map);
  return map;
}

uint32 le32_at(const std::vector<uchar>& page, size_t at) {
  return uint32(page[at]) | uint32(page[at + 1]) << 8 | uint32(page[at + 2]) << 16 |
         uint32(page[at + 3]) << 24;
}

TEST(MappingPage, SmallPageCarriesOnlyTheFirstEntries) {
  _phy_page_mapping map = patterned_map();
  std::vector<uchar> page(2048 + 8, 0x5A);  // guard bytes after the page
  nyx_nftl_encode_mapping_page(&map, page.data(), 2048);
  for (uint32 i = 0; i < 512; ++i) ASSERT_EQ(le32_at(page, 4 * i), map.phy_page_map[i]) << i;
  for (size_t k = 2048; k < page.size(); ++k) EXPECT_EQ(page[k], 0x5A);

  _phy_page_mapping back = erased_map();
  nyx_nftl_decode_mapping_page(page.data(), 2048, &back);
  for (uint32 i = 0; i < 512; ++i) ASSERT_EQ(back.phy_page_map[i], map.phy_page_map[i]);
  for (uint32 i = 512; i < NYX_MAX_PAGES_PER_BLK; ++i) ASSERT_EQ(back.phy_page_map[i], 0xFFFFFFFFu);
  EXPECT_EQ(back.block_used_count, -1);
}

TEST(MappingPage, LargePageCarriesTheReservedWordThenErasedBytes) {
  _phy_page_mapping map = patterned_map();
  std::vector<uchar> page(8192, 0);
  nyx_nftl_encode_mapping_page(&map, page.data(), 8192);
  EXPECT_EQ(le32_at(page, 4 * 1023), map.phy_page_map[1023]);
  EXPECT_EQ(le32_at(page, 4096), 0x11223344u);
  for (size_t k = 4100; k < page.size(); ++k) ASSERT_EQ(page[k], 0xFF) << k;

  _phy_page_mapping back = erased_map();
  nyx_nftl_decode_mapping_page(page.data(), 8192, &back);
  EXPECT_EQ(0, std::memcmp(&back, &map, sizeof map));
}

TEST(MappingPage, ExactPageCarriesAllEntriesButNotTheReservedWord) {
  _phy_page_mapping map = patterned_map();
  std::vector<uchar> page(4096, 0);
  nyx_nftl_encode_mapping_page(&map, page.data(), 4096);
  _phy_page_mapping back = erased_map();
  nyx_nftl_decode_mapping_page(page.data(), 4096, &back);
  EXPECT_EQ(0, std::memcmp(back.phy_page_map, map.phy_page_map, sizeof map.phy_page_map));
  EXPECT_EQ(back.block_used_count, -1);
}

TEST(MappingPage, EntryBytesAreLittleEndian) {
  _phy_page_mapping map = erased_map();
  map.phy_page_map[1] = 0xA1B2C3D4;
  std::vector<uchar> page(512, 0);
  nyx_nftl_encode_mapping_page(&map, page.data(), 512);
  EXPECT_EQ(page[4], 0xD4);
  EXPECT_EQ(page[5], 0xC3);
  EXPECT_EQ(page[6], 0xB2);
  EXPECT_EQ(page[7], 0xA1);
  EXPECT_EQ(page[0], 0xFF);
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
    uint32 reads_seen = 0;
    uint32 writes_seen = 0;
  };

  mtd_info info{};
  nand_ecclayout layout{};
  std::vector<Call> calls;
  std::map<uint64_t, std::vector<uint8_t>> data;
  std::map<uint64_t, std::vector<uint8_t>> spare;
  int read_result = 0;
  int write_result = 0;
  int erase_result = 0;
  int isbad_result = 0;
  int markbad_result = 0;
  erase_info last_erase{};
  const nyx_nftl_part_t* watched = nullptr;  // counters seen during each call

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
      FakeMtd* f = self(m);
      f->last_erase = *e;
      f->record("erase", e->addr, e->len, nullptr, nullptr);
      return f->erase_result;
    };
    info.read = [](mtd_info* m, uint64_t from, size_t len, size_t* retlen, uint8_t* buf) {
      FakeMtd* f = self(m);
      f->record("read", from, len, nullptr, buf);
      f->fill(from, buf, nullptr, len);
      *retlen = len;
      return f->read_result;
    };
    info.write = [](mtd_info* m, uint64_t to, size_t len, size_t* retlen, const uint8_t* buf) {
      FakeMtd* f = self(m);
      f->record("write", to, len, nullptr, buf);
      f->data[to].assign(buf, buf + len);
      *retlen = len;
      return f->write_result;
    };
    info.read_oob = [](mtd_info* m, uint64_t from, mtd_oob_ops* ops) {
      FakeMtd* f = self(m);
      f->record("read_oob", from, ops->len, ops, ops->datbuf);
      f->fill(from, ops->datbuf, ops->oobbuf, ops->len);
      return f->read_result;
    };
    info.write_oob = [](mtd_info* m, uint64_t to, mtd_oob_ops* ops) {
      FakeMtd* f = self(m);
      f->record("write_oob", to, ops->len, ops, ops->datbuf);
      if (ops->datbuf != nullptr) f->data[to].assign(ops->datbuf, ops->datbuf + ops->len);
      if (ops->oobbuf != nullptr) f->spare[to].assign(ops->oobbuf, ops->oobbuf + ops->ooblen);
      return f->write_result;
    };
    info.block_isbad = [](mtd_info* m, uint64_t ofs) {
      FakeMtd* f = self(m);
      f->record("block_isbad", ofs, 0, nullptr, nullptr);
      return f->isbad_result;
    };
    info.block_markbad = [](mtd_info* m, uint64_t ofs) {
      FakeMtd* f = self(m);
      f->record("block_markbad", ofs, 0, nullptr, nullptr);
      return f->markbad_result;
    };
  }

  static FakeMtd* self(mtd_info* m) { return static_cast<FakeMtd*>(m->priv); }

  void record(const char* op, uint64_t addr, size_t len, const mtd_oob_ops* ops, const void* buf) {
    Call call;
    call.op = op;
    call.addr = addr;
    call.len = len;
    if (ops != nullptr) call.ops = *ops;
    call.buf = buf;
    if (watched != nullptr) {
      call.reads_seen = watched->total_reads;
      call.writes_seen = watched->total_write;
    }
    calls.push_back(call);
  }

  void fill(uint64_t from, uint8_t* buf, uint8_t* oob, size_t len) {
    if (buf != nullptr) {
      auto it = data.find(from);
      if (it == data.end()) {
        std::memset(buf, 0xFF, len);
      } else {
        std::memcpy(buf, it->second.data(), len);
      }
    }
    if (oob != nullptr) {
      auto it = spare.find(from);
      if (it == spare.end()) {
        std::memset(oob, 0xFF, 16);
      } else {
        std::memcpy(oob, it->second.data(), 16);
      }
    }
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
    mtd.watched = &part;
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

TEST_F(PhysicalOps, ReadWithSpareUsesAutoOobRequestAt64BitAddress) {
  ASSERT_GT(kBlock40000Page3, 0x100000000ull);
  _physic_op_par p = par(40000, 3, main.data(), spare.data());
  LogCapture log;
  EXPECT_EQ(nand_read_page(&part, &p), 0);
  ASSERT_EQ(mtd.calls.size(), 1u);
  const FakeMtd::Call& c = mtd.calls[0];
  EXPECT_EQ(c.op, "read_oob");
  EXPECT_EQ(c.addr, kBlock40000Page3);
  EXPECT_EQ(c.ops.mode, MTD_OOB_AUTO);
  EXPECT_EQ(c.ops.len, kWrite);
  EXPECT_EQ(c.ops.ooblen, 16u);
  EXPECT_EQ(c.ops.ooboffs, 6u);
  EXPECT_EQ(c.ops.datbuf, main.data());
  EXPECT_EQ(c.ops.oobbuf, spare.data());
  EXPECT_EQ(part.total_reads, 1u);
  EXPECT_EQ(c.reads_seen, 1u) << "the counter grows before the device is called";
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PhysicalOps, SpareOnlyReadPassesNoMainBuffer) {
  _physic_op_par p = par(2, 0, nullptr, spare.data());
  nand_read_page(&part, &p);
  ASSERT_EQ(mtd.calls.size(), 1u);
  EXPECT_EQ(mtd.calls[0].op, "read_oob");
  EXPECT_EQ(mtd.calls[0].ops.datbuf, nullptr);
  EXPECT_EQ(mtd.calls[0].ops.oobbuf, spare.data());
}

TEST_F(PhysicalOps, ReadAndWriteWithoutSpareUsePlainCalls) {
  _physic_op_par p = par(40000, 3, main.data(), nullptr);
  nand_read_page(&part, &p);
  nand_write_page(&part, &p);
  ASSERT_EQ(mtd.calls.size(), 2u);
  EXPECT_EQ(mtd.calls[0].op, "read");
  EXPECT_EQ(mtd.calls[0].addr, kBlock40000Page3);
  EXPECT_EQ(mtd.calls[0].len, kWrite);
  EXPECT_EQ(mtd.calls[0].buf, main.data());
  EXPECT_EQ(mtd.calls[1].op, "write");
  EXPECT_EQ(mtd.calls[1].addr, kBlock40000Page3);
  EXPECT_EQ(mtd.calls[1].len, kWrite);
  EXPECT_EQ(part.total_reads, 1u);
  EXPECT_EQ(part.total_write, 1u);
}

TEST_F(PhysicalOps, WriteWithSpareUsesTheSameRequest) {
  _physic_op_par p = par(40000, 3, main.data(), spare.data());
  EXPECT_EQ(nand_write_page(&part, &p), 0);
  ASSERT_EQ(mtd.calls.size(), 1u);
  const FakeMtd::Call& c = mtd.calls[0];
  EXPECT_EQ(c.op, "write_oob");
  EXPECT_EQ(c.addr, kBlock40000Page3);
  EXPECT_EQ(c.ops.mode, MTD_OOB_AUTO);
  EXPECT_EQ(c.ops.len, kWrite);
  EXPECT_EQ(c.ops.ooblen, 16u);
  EXPECT_EQ(c.ops.ooboffs, 6u);
  EXPECT_EQ(c.writes_seen, 1u);
}

TEST_F(PhysicalOps, CorrectedReadIsReturnedAndLogged) {
  mtd.read_result = -EUCLEAN;
  _physic_op_par p = par(1, 1, main.data(), spare.data());
  LogCapture log;
  EXPECT_EQ(nand_read_page(&part, &p), -117);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"read reclaim\n"});
}

TEST_F(PhysicalOps, FailedReadLogsAddressBlockAndPage) {
  mtd.read_result = -EBADMSG;
  _physic_op_par p = par(40000, 3, main.data(), spare.data());
  LogCapture log;
  EXPECT_EQ(nand_read_page(&part, &p), -74);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"nyx_ops_read_page failed: 138801800 40000 3\n"});
  mtd.read_result = -EIO;
  p.spare_data_addr = nullptr;
  EXPECT_EQ(nand_read_page(&part, &p), -5);
  EXPECT_EQ(log.count("nyx_ops_read_page failed: 138801800 40000 3\n"), 2u);
  EXPECT_EQ(part.total_reads, 2u) << "failed reads count too";
}

TEST_F(PhysicalOps, FailedWriteIsReturnedCountedAndNotLogged) {
  mtd.write_result = -EIO;
  _physic_op_par p = par(5, 5, main.data(), spare.data());
  LogCapture log;
  EXPECT_EQ(nand_write_page(&part, &p), -5);
  EXPECT_EQ(nand_write_page(&part, &p), -5);
  EXPECT_EQ(part.total_write, 2u);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PhysicalOps, EraseNamesTheWholeBlock) {
  _physic_op_par p = par(40000, 7, nullptr, nullptr);
  mtd.erase_result = -EIO;
  EXPECT_EQ(nand_erase_superblk(&part, &p), -5);
  EXPECT_EQ(mtd.last_erase.mtd, &mtd.info);
  EXPECT_EQ(mtd.last_erase.addr, 40000ull * kErase);
  EXPECT_EQ(mtd.last_erase.len, kErase);
  EXPECT_EQ(mtd.last_erase.callback, nullptr);
  EXPECT_EQ(mtd.last_erase.fail_addr, 0u);
  EXPECT_EQ(part.total_reads + part.total_write, 0u);
}

TEST_F(PhysicalOps, GoodBlockTestTakesEveryNonzeroAnswerAsBad) {
  _physic_op_par p = par(40000, 3, nullptr, nullptr);
  EXPECT_EQ(nand_is_blk_good(&part, &p), 1);
  EXPECT_EQ(mtd.calls.back().addr, 40000ull * kErase);
  mtd.isbad_result = 1;
  EXPECT_EQ(nand_is_blk_good(&part, &p), 0);
  mtd.isbad_result = -EIO;
  EXPECT_EQ(nand_is_blk_good(&part, &p), 0);
}

TEST_F(PhysicalOps, MarkBadLooksAtTheLowByte) {
  _physic_op_par p = par(40000, 3, nullptr, nullptr);
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

TEST_F(PageCopy, CorrectedReadCountsAsSuccess) {
  mtd.read_result = -EUCLEAN;
  LogCapture log;
  EXPECT_EQ(nand_copy_page(&part, &src, &dst, main.data(), 12, 3), 0);
  EXPECT_EQ(log.count("read reclaim\n"), 1u);
  EXPECT_EQ(dest_data(), std::vector<uint8_t>(kWrite, 0x3C));
}

TEST_F(PageCopy, FailedReadStillWritesAndReportsFailure) {
  mtd.read_result = -EBADMSG;
  LogCapture log;
  EXPECT_NE(nand_copy_page(&part, &src, &dst, main.data(), 12, 3), 0);
  EXPECT_EQ(dest_data().size(), kWrite) << "the destination page is written anyway";
  EXPECT_EQ(part.total_write, 1u);
}

TEST_F(PageCopy, FailedWriteReportsFailure) {
  mtd.write_result = -EIO;
  EXPECT_NE(nand_copy_page(&part, &src, &dst, main.data(), 12, 3), 0);
  EXPECT_EQ(part.total_reads, 1u);
  EXPECT_EQ(part.total_write, 1u);
}

}  // namespace
