// Flash access: the physical operations' requests over a fake MTD device
// that records every call and answers queued results, and page copies on the
// simulated chip.
#include <gtest/gtest.h>

#include <cerrno>
#include <deque>

#include "support/rig.h"

namespace {

// Records every call as a line and answers the queued results in turn (0
// once none is left); reads hand back whatever the buffers held.
struct FakeMtd {
  static int call(mtd_info* m, const char* op, uint64_t at, const mtd_oob_ops* ops = nullptr) {
    FakeMtd* self = static_cast<FakeMtd*>(m->priv);
    char text[96];
    std::snprintf(text, sizeof text, "%s %llx", op, (unsigned long long)at);
    std::string line = text;
    if (ops != nullptr)
      line += " " + std::to_string(ops->len) + "+" + std::to_string(ops->ooblen) + "@" +
              std::to_string(ops->ooboffs) + (ops->mode == MTD_OOB_AUTO ? " auto" : "") +
              (ops->datbuf ? " main" : "") + (ops->oobbuf ? " spare" : "");
    self->calls.push_back(line);
    const int result = self->results.empty() ? 0 : self->results.front();
    if (!self->results.empty()) self->results.pop_front();
    return result;
  }
  FakeMtd() {
    info.erasesize = 131072;
    info.writesize = 2048;
    layout.oobfree[0] = {6, 38};
    info.ecclayout = &layout;
    info.priv = this;
    info.erase = [](mtd_info* m, erase_info* e) {
      return call(m, e->len == 131072 ? "erase" : "?", e->addr);
    };
    info.read = [](mtd_info* m, uint64_t at, size_t, size_t*, uint8_t*) {
      return call(m, "read", at);
    };
    info.write = [](mtd_info* m, uint64_t at, size_t, size_t*, const uint8_t*) {
      return call(m, "write", at);
    };
    info.read_oob = [](mtd_info* m, uint64_t at, mtd_oob_ops* ops) {
      return call(m, "read_oob", at, ops);
    };
    info.write_oob = [](mtd_info* m, uint64_t at, mtd_oob_ops* ops) {
      return call(m, "write_oob", at, ops);
    };
    info.block_isbad = [](mtd_info* m, uint64_t at) { return call(m, "isbad", at); };
    info.block_markbad = [](mtd_info* m, uint64_t at) { return call(m, "markbad", at); };
  }
  mtd_info info{};
  nand_ecclayout layout{};
  std::vector<std::string> calls;
  std::deque<int> results;
};

// A page is one request at its 64-bit address (block 40000 page 3 lies past
// 4 GiB), a block's operations address the whole block; reads and writes
// count, failed reads are logged; a bad-block test that fails says bad, a
// mark's answer counts by its low byte; a read is tried up to three times.
TEST(PhysicalOps, RequestsResultsAndTries) {
  FakeMtd mtd;
  nand_chip_t chip{};
  nyx_nftl_part_t part{};
  chip.bitmap_per_page = 4;
  part.mtd = &mtd.info;
  part.nand_chip = &chip;
  nyx_nftl_ops_init(&part);
  std::vector<uchar> main(2048), spare(16);
  LogCapture log;
  auto op = [&](bool with_main, bool with_spare) {
    return nyx_nftl_page_par(&part, 40000, 3, with_main ? main.data() : nullptr,
                             with_spare ? spare.data() : nullptr);
  };
  _physic_op_par both = op(true, true), main_only = op(true, false), spare_only = op(false, true);
  mtd.results = {0,    0, 0,     0,    0,        -EUCLEAN, -EBADMSG, -EIO,     -EIO,     0, 1,
                 -EIO, 0, 0x100, -EIO, -EBADMSG, -EUCLEAN, -EBADMSG, -EBADMSG, -EBADMSG, 0};
  EXPECT_EQ(nand_read_page(&part, &both) | nand_write_page(&part, &both) |
                nand_read_page(&part, &main_only) | nand_write_page(&part, &main_only) |
                nand_read_page(&part, &spare_only),
            0);
  EXPECT_EQ(log.text(), "");
  EXPECT_EQ(nand_read_page(&part, &both), -EUCLEAN);
  EXPECT_EQ(nand_read_page(&part, &both), -EBADMSG);
  EXPECT_EQ(nand_write_page(&part, &both), -EIO);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "read reclaim\n", "nyx_ops_read_page failed: 138801800 40000 3\n"}));
  EXPECT_EQ(part.total_reads * 10 + part.total_write, 53u);
  EXPECT_EQ(nand_erase_superblk(&part, &both), -EIO);
  EXPECT_EQ(nand_is_blk_good(&part, &both), 1);
  EXPECT_EQ(nand_is_blk_good(&part, &both), 0);
  EXPECT_EQ(nand_is_blk_good(&part, &both), 0) << "an error is no good answer";
  EXPECT_EQ(nand_mark_bad_blk(&part, &both), 0);
  EXPECT_EQ(nand_mark_bad_blk(&part, &both), 0) << "the low byte tells";
  EXPECT_EQ(nand_mark_bad_blk(&part, &both), 1);
  EXPECT_EQ(nand_read_page_tries(&part, &both), -EUCLEAN);
  EXPECT_EQ(nand_read_page_tries(&part, &both), -EBADMSG);
  EXPECT_EQ(mtd.results, std::deque<int>{0}) << "three tries, no more";
  const std::string p = " 138801800 2048+16@6 auto", b = " 138800000";
  EXPECT_EQ(
      std::vector<std::string>(mtd.calls.begin(), mtd.calls.begin() + 5),
      (std::vector<std::string>{"read_oob" + p + " main spare", "write_oob" + p + " main spare",
                                "read 138801800", "write 138801800", "read_oob" + p + " spare"}));
  EXPECT_EQ(mtd.calls[8] + mtd.calls[12], "erase" + b + "markbad" + b);
}

// A copy stamps the destination's counts into the source's record, its
// tail bytes kept; a corrected read counts as success, a failed read still
// writes the destination, and a failed write fails the copy.
TEST(PhysicalOps, CopiesStampTheirCounts) {
  Rig r;
  std::vector<uchar> record = logic_record(0x77, 5), buf(2048), expected = record;
  record[12] = expected[12] = 0xE0;
  set_oob_logic_page(nullptr, expected.data(), 0x77, 12, 3);
  for (auto [src, read, write, failed] : {std::tuple{10, 0, false, false},
                                          {12, -EUCLEAN, false, false},
                                          {14, -EBADMSG, false, true},
                                          {16, 0, true, true}}) {
    r.program(src, 4, stamped(2048, 0x77, 5), record);
    if (read) r.chip().inject_read_error(r.abs(src, 4), read);
    if (write) r.chip().fail_nth_program(1);
    const uint64_t programs = r.chip().counters().programs;
    _physic_op_par a = nyx_nftl_page_par(r.part, src, 4, nullptr, nullptr);
    _physic_op_par b = nyx_nftl_page_par(r.part, src + 1, 4, nullptr, nullptr);
    EXPECT_EQ(nand_copy_page(r.part, &a, &b, buf.data(), 12, 3) != 0, failed) << src;
    EXPECT_EQ(r.chip().counters().programs, programs + 1)
        << "the write is issued whatever the read gave";
    EXPECT_TRUE(failed ||
                std::equal(expected.begin(), expected.end(), r.raw_spare(src + 1, 4).begin()))
        << src;
    r.chip().clear_faults();
  }
}

}  // namespace
