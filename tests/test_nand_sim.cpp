// The simulated NAND chip (option refusals, program/erase physics, bad-block
// markers, faults and power cuts; its image files and their modes are the
// command-line tool's and the NBD export's tests), the refusals
// of the MTD devices in front of it, the mtdparts list that lays out its
// partitions, and the Linux MTD backend's host-side parts (the device itself
// runs in the real-kernel rig).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <vector>

#include "platform/mtd/linux_mtd.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/nand_sim.h"

using namespace nandsim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kPage = 2048, kOob = 64;
constexpr uint64_t kBlock = 8 * kPage, kKiB = 1024, kMiB = 1024 * kKiB;
const Bytes kErasedRaw(kPage + kOob, 0xFF);

Options small_options(uint32_t pages_per_block = 8) {
  Options o;
  o.geometry = Geometry{kPage, kOob, pages_per_block, 16, 2};
  return o;
}

std::unique_ptr<NandChip> make_chip(const Options& o = small_options()) {
  return std::move(NandChip::create_in_memory(o)).value();
}

Bytes pattern(size_t n, uint32_t seed) {
  Bytes v(n);
  for (auto& b : v) b = uint8_t((seed = seed * 1664525u + 1013904223u) >> 24);
  return v;
}

int read_result(NandChip& chip, uint64_t page, Bytes* out = nullptr) {
  Bytes got(kPage);
  int ret = chip.read_page(page, got.data(), nullptr);
  if (out != nullptr) *out = got;
  return ret;
}

int erase_at(mtd_info* mtd, uint64_t addr, uint64_t len) {
  erase_info ei{mtd, addr, len, 0, 0, nullptr};
  return mtd->erase(mtd, &ei);
}

}  // namespace

TEST(NandSim, OptionRefusalsNameWhatIsWrong) {
  const std::pair<std::function<void(Options&)>, const char*> rows[] = {
      {[](Options& o) { o.geometry.page_size = 1000; }, "page size 1000"},
      {[](Options& o) { o.geometry.pages_per_block = 0; }, "pages per block 0"},
      {[](Options& o) { o.geometry.pages_per_block = 513; }, "4 x pages per block"},
      {[](Options& o) { o.geometry.blocks = 65536; }, "block count 65536"},
      {[](Options& o) { o.geometry.spare_offset = 49; }, "16-byte spare record"},
      {[](Options& o) { o.geometry.oob_size = 4096; }, "exceeds the page size"},
      {[](Options& o) { o.timing.bus_mb_s = 0; }, "must be positive"},
      {[](Options& o) { o.factory_bad_rate = 1.5; }, "not between 0 and 1"},
      {[](Options& o) { o.factory_bad_blocks = {16}; }, "factory bad block 16"},
  };
  for (const auto& [edit, fragment] : rows) {
    Options o = small_options();
    edit(o);
    auto chip = NandChip::create_in_memory(o);
    EXPECT_TRUE(chip.status().IsInvalidArgument()) << fragment;
    EXPECT_NE(chip.message().find(fragment), std::string::npos) << chip.message();
  }
  // Every limit at its edge.
  EXPECT_EQ((Geometry{512, 18, 128, 65535, 2}).validate(), "");
}

TEST(NandSim, ProgramsClearBitsOncePerEraseAndMarkersLiveInOobByteZero) {
  Options o = small_options();
  o.allow_double_program = true;
  auto anding = make_chip(o);
  auto a = pattern(kPage, 3), b = pattern(kPage, 4), got = a;
  ASSERT_EQ(anding->program_page(0, a.data(), nullptr) | anding->program_page(0, b.data(), nullptr),
            0);
  ASSERT_EQ(read_result(*anding, 0, &got), 0);
  for (size_t i = 0; i < kPage; i++) ASSERT_EQ(got[i], a[i] & b[i]) << i;

  auto chip = make_chip();
  ASSERT_EQ(chip->program_page(3, a.data(), nullptr) | chip->program_page(8, a.data(), nullptr), 0);
  const Bytes before = chip->raw_page(3);
  Bytes zeros(kPage + kOob, 0);
  EXPECT_EQ(chip->program_page(3, zeros.data(), zeros.data()), -EIO);
  EXPECT_EQ(chip->raw_page(3), before);

  // Any marker but 0xFF in OOB byte 0 of a block's first page makes it bad;
  // mark_bad clears that byte alone and is no page program.
  const uint8_t markers[] = {0xFF, 0x00, 0x7F, 0xFE};
  for (uint32_t block = 4; block < 8; block++) {
    ASSERT_EQ(chip->program_page_range(block * 8, nullptr, &markers[block - 4], 0, 1), 0);
    EXPECT_EQ(chip->block_isbad(block), block == 4 ? 0 : 1) << block;
  }
  Bytes expected = chip->raw_page(8);
  expected[kPage] = 0x00;
  ASSERT_EQ(chip->mark_bad(1), 0);
  EXPECT_EQ(chip->raw_page(8), expected);
  EXPECT_EQ(chip->block_isbad(1), 1);
  EXPECT_EQ(chip->counters().double_programs, 1u);  // the one refused above
}

TEST(NandSim, InjectedFaultsAndPowerCutsDamageTheirPagesUntilAnErase) {
  auto chip = make_chip(small_options(64));
  auto data = pattern(kPage, 25);
  Bytes zeros(kPage + kOob, 0), got;
  chip->fail_nth_program(3);
  chip->fail_nth_erase(2);
  std::vector<int> results;
  for (uint64_t page : {0, 1, 2, 3})
    results.push_back(chip->program_page(page, data.data(), nullptr));
  for (uint32_t block : {2, 3, 3}) results.push_back(chip->erase_block(block));
  chip->grow_bad_block(2);
  results.push_back(chip->program_page(130, data.data(), nullptr));
  results.push_back(chip->erase_block(2));
  results.push_back(read_result(*chip, 2));  // the failed program damaged its page
  EXPECT_EQ(results, (std::vector<int>{0, 0, -EIO, 0, 0, -EIO, 0, -EIO, -EIO, -EBADMSG}));
  chip->clear_faults();

  // A clean cut: what came before it happened, the operation at it did not,
  // and everything fails until the power is back.
  chip->power_cut_after(1, CutKind::Clean);
  EXPECT_EQ(chip->program_page(5, data.data(), nullptr), 0);
  EXPECT_EQ(chip->program_page(6, data.data(), nullptr), -EIO);
  for (int ret :
       {read_result(*chip, 0), chip->block_isbad(0), chip->mark_bad(9), chip->erase_block(9)})
    EXPECT_EQ(ret, -EIO);
  chip->power_on();
  EXPECT_EQ(chip->raw_page(6), kErasedRaw);
  EXPECT_EQ(chip->block_isbad(9), 0);

  // A torn (or failed) program leaves some of its bits and damages its page
  // alone.
  chip->power_cut_after(0, CutKind::TornProgram);
  EXPECT_EQ(chip->program_page(7, zeros.data(), zeros.data()), -EIO);
  chip->power_on();
  EXPECT_EQ(read_result(*chip, 7, &got), -EBADMSG);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), chip->raw_page(7).begin()));  // as stored
  EXPECT_TRUE(got != Bytes(kPage, 0xFF) && got != Bytes(kPage, 0));            // some bits, not all
  EXPECT_EQ(read_result(*chip, 5), 0);

  // A torn (or failed) erase leaves erased and kept pages, all damaged.
  for (uint64_t page = 64; page < 128; page++)
    ASSERT_EQ(chip->program_page(page, data.data(), nullptr), 0);
  chip->power_cut_after(0, CutKind::TornErase);
  EXPECT_EQ(chip->erase_block(1), -EIO);
  chip->power_on();
  size_t erased = 0, kept = 0;
  for (uint64_t page = 64; page < 128; page++) {
    EXPECT_EQ(read_result(*chip, page, &got), -EBADMSG);
    erased += chip->raw_page(page) == kErasedRaw;
    kept += got == data;
  }
  EXPECT_TRUE(erased > 0 && kept > 0 && erased + kept == 64) << erased << " " << kept;

  // Unstable cells: a cut program or erase leaves its pages reading erased,
  // without an error; the next program there succeeds but reads back
  // damaged until the block is erased.
  ASSERT_EQ(chip->program_page(256, data.data(), nullptr), 0);
  for (int op = 0; op < 2; ++op) {
    chip->power_cut_after(0, CutKind::Unstable);
    EXPECT_EQ(op ? chip->erase_block(4) : chip->program_page(8, data.data(), nullptr), -EIO);
    chip->power_on();
  }
  for (uint64_t page : {8, 256}) {
    EXPECT_EQ(read_result(*chip, page), 0);
    EXPECT_EQ(chip->raw_page(page), kErasedRaw);
    EXPECT_EQ(chip->program_page(page, data.data(), nullptr), 0);
    EXPECT_EQ(read_result(*chip, page), -EBADMSG);
  }
  ASSERT_EQ(chip->erase_block(0) | chip->erase_block(1) | chip->erase_block(4), 0);
  EXPECT_FALSE(chip->is_damaged(7) || chip->is_damaged(8) || chip->is_damaged(64) ||
               chip->is_damaged(256));
  EXPECT_EQ(chip->program_page(2, data.data(), nullptr), 0);
}

// An image file past 4 GiB (sparse: only the two blocks used are written),
// mapped whole as the host chooses and in chunks, three blocks' worth at a
// time: the first and last pages land at their own offsets in the file and
// read back, in each mode. A private chip keeps its changes in memory
// however its chunks are unmapped, and never writes the file. (On a 32-bit
// host the host's choice is itself chunks.)
TEST(NandSim, ImagesPast4GiBReachEveryPageMappedWholeOrInChunks) {
  Options o;
  o.geometry = Geometry{kPage, kOob, 64, 32768, 2};
  const uint64_t raw_page = o.geometry.raw_page_size(), last = o.geometry.total_pages() - 1;
  ASSERT_GT(o.geometry.image_size(), uint64_t(1) << 32);
  std::string path = ::testing::TempDir() + "nyx-big-XXXXXX";
  const int fd = mkstemp(path.data());
  ASSERT_EQ(ftruncate(fd, off_t(o.geometry.image_size())), 0);
  auto at = [&](uint64_t offset) {
    Bytes got(raw_page);
    EXPECT_EQ(pread(fd, got.data(), got.size(), off_t(offset)), ssize_t(raw_page));
    return got;
  };
  for (uint64_t limit : {uint64_t(0), 3 * o.geometry.raw_block_size()}) {
    for (OpenMode mode : {OpenMode::ReadWrite, OpenMode::Private}) {
      SCOPED_TRACE("limit " + std::to_string(limit) +
                   (mode == OpenMode::Private ? ", private" : ""));
      o.map_limit = limit;
      std::vector<Bytes> in_file = {at(0), at(last * raw_page)};
      {
        auto chip = std::move(NandChip::open_image(path, o, mode)).value();
        const uint32_t seed = uint32_t(limit) + 4 * uint32_t(mode);  // new bytes in each pass
        const std::vector<Bytes> data = {pattern(kPage + kOob, seed + 1),
                                         pattern(kPage + kOob, seed + 2)};
        for (int i : {0, 1}) {
          const uint64_t page = i == 0 ? 0 : last;
          ASSERT_EQ(chip->erase_block(uint32_t(page / 64)), 0);
          ASSERT_EQ(chip->program_page(page, data[i].data(), data[i].data() + kPage), 0);
          // The sparse middle reads zeros; its chunk takes another's room.
          EXPECT_EQ(chip->block_isbad(100 + i), 1);
        }
        for (int i : {0, 1}) EXPECT_EQ(chip->raw_page(i == 0 ? 0 : last), data[i]);
        ASSERT_TRUE(chip->sync().ok());
        if (mode == OpenMode::ReadWrite) in_file = data;
      }
      EXPECT_EQ(at(0), in_file[0]);
      EXPECT_EQ(at(last * raw_page), in_file[1]);
      // Where a 32-bit offset would have put the last page.
      EXPECT_EQ(at(last * raw_page & 0xFFFFFFFF), Bytes(raw_page, 0));
    }
  }
  close(fd);
  unlink(path.c_str());
}

// ---------------------------------------------------------------------------
// MTD devices and partitions
// ---------------------------------------------------------------------------

TEST(MtdDevice, BadRequestsAndReadOnlyChangesAreRefusedBeforeTheChip) {
  auto chip = make_chip();
  auto part =
      std::move(MtdPartition::create(*chip, {"cache", 2 * kBlock, 2 * kBlock, false}, 0)).value();
  mtd_info* mtd = part->mtd();
  Bytes data(kPage), record(16);
  size_t retlen = 7;
  auto oob_op = [&](mtd_oob_mode_t mode, uint32_t ooboffs, size_t len) {
    mtd_oob_ops ops{mode, len, 0, 16, 0, ooboffs, data.data(), record.data()};
    return mtd->write_oob(mtd, 0, &ops);
  };
  const std::pair<std::function<int()>, const char*> refused[] = {
      {[&] { return mtd->write(mtd, mtd->size, kPage, &retlen, data.data()); }, "past the end"},
      {[&] { return mtd->write(mtd, 512, kPage, &retlen, data.data()); }, "misaligned"},
      {[&] { return mtd->read(mtd, 0, kPage - 1, &retlen, data.data()); }, "short"},
      {[&] { return oob_op(MTD_OOB_AUTO, 0, kPage); }, "AUTO over the marker bytes"},
      {[&] { return oob_op(MTD_OOB_PLACE, kOob - 15, kPage); }, "past the OOB area"},
      {[&] { return oob_op(MTD_OOB_AUTO, 2, 512); }, "main length with a main buffer"},
      {[&] { return erase_at(mtd, 0, kBlock / 2); }, "part of a block"},
  };
  for (const auto& [call, what] : refused) EXPECT_EQ(call(), -EINVAL) << what;
  EXPECT_EQ(retlen, 0u);
  Counters c = chip->counters();
  EXPECT_EQ(c.programs + c.reads + c.erases, 0u);

  auto ro = std::move(MtdPartition::create(*chip, {"system", 0, 2 * kBlock, true}, 1)).value();
  mtd = ro->mtd();
  EXPECT_EQ(std::make_tuple(mtd->write(mtd, 0, kPage, &retlen, data.data()),
                            oob_op(MTD_OOB_AUTO, 2, kPage), erase_at(mtd, 0, kBlock),
                            mtd->block_markbad(mtd, 0)),
            std::make_tuple(-EROFS, -EROFS, -EROFS, -EROFS));
  EXPECT_EQ(chip->mutating_ops(), 0u);
}

TEST(Mtdparts, GoodListsGiveTheirLayout) {
  const std::pair<const char*, const char*> rows[] = {
      // list: each partition as name@offset+size in KiB
      {"32M(system),16M(cache),-(userdata)",
       "system@0+32768 cache@32768+16384 userdata@49152+81920"},
      {"gpmi-nand:1m(a),512K@4M(b)ro,0x40000(c:d),-@126M(e)",
       "a@0+1024 b@4096+512ro c:d@4608+256 e@129024+2048"},
      {" mtdparts=nand0:131072(one),256k(two)\n", "one@0+128 two@128+256"},
  };
  for (const auto& [text, layout] : rows) {
    auto parts = parse_mtdparts(text, 128 * kMiB, 128 * kKiB);
    std::string got;
    for (const PartitionDef& p : parts.value()) {
      got += (got.empty() ? "" : " ") + p.name + "@" + std::to_string(p.offset / kKiB) + "+" +
             std::to_string(p.size / kKiB) + (p.read_only ? "ro" : "");
    }
    EXPECT_EQ(got, layout) << text;
  }
}

TEST(Mtdparts, BadListsSayWhatAndWhere) {
  const std::pair<const char*, const char*> rows[] = {
      {"  ", "empty"},
      {"1M(a),xyz(b)", "position 7"},
      {"1M(system", "not closed"},
      {"99999999999999999999(a)", "too large"},
      {"1M()", "empty partition name"},
      {"1M(a),0(b)", "'b' has size 0"},
      {"100k(a)", "size of partition 'a' (102400 bytes) is not a multiple of the erase"},
      {"1M@64k(a)", "offset of partition 'a'"},
      {"2M(a),1M@1M(b)", "'b' overlaps partition 'a'"},
      {"1M@4M(a),1M@0(b)", "'b' at offset 0 bytes lies before partition 'a'"},
      {"200M(a)", "ends beyond the chip"},
      {"-(a),1M(b)", "'a' takes the rest"},
      {"128M(a),-(b)", "no room left for partition 'b'"},
  };
  for (const auto& [text, fragment] : rows) {
    auto parts = parse_mtdparts(text, 128 * kMiB, 128 * kKiB);
    EXPECT_TRUE(parts.status().IsInvalidArgument()) << text << " was accepted";
    EXPECT_NE(parts.message().find(fragment), std::string::npos)
        << text << " -> " << parts.message();
  }
  EXPECT_FALSE(parse_mtdparts("1M(a)", 128 * kMiB, 0).ok());
}

TEST(Mtdparts, SplitBuildsIndexedPartitionsOfWholeBlocks) {
  auto chip = make_chip();  // 16 blocks of 16 KiB
  auto parts = split_partitions(*chip, "nand0:32k(system)ro,16k(cache),-(userdata)");
  ASSERT_EQ(parts.value().size(), 3u);
  const mtd_info* userdata = parts.value()[2]->mtd();
  // The last one takes the rest; the first one is read-only.
  EXPECT_EQ(std::make_tuple(userdata->index, parts.value()[2]->first_block(), userdata->size,
                            userdata->flags, parts.value()[0]->mtd()->flags),
            std::make_tuple(2, 3u, 13 * kBlock, MTD_WRITEABLE, 0u));

  EXPECT_FALSE(MtdPartition::create(*chip, {"ragged", 0, kBlock + 4 * kKiB, false}, 0).ok());
}

TEST(LinuxMtd, DeviceArgumentsAndWhatIsNoMtdDevice) {
  const std::tuple<const char*, bool, const char*> rows[] = {
      // text, looks like a device, "path|name" parsed ("": refused)
      {"/dev/mtd0=NFTL_Part=x", true, "/dev/mtd0|NFTL_Part=x"},
      {"/dev/mtdblock3", false, "/dev/mtdblock3|"},
      {"/dev/mtd3=", true, ""},
  };
  for (const auto& [text, device, parsed] : rows) {
    EXPECT_EQ(linuxmtd::looks_like_device(text), device) << text;
    auto ref = linuxmtd::parse_device_ref(text);
    EXPECT_EQ(ref.ok() ? ref.value().path + "|" + ref.value().name : std::string(), parsed);
  }

  auto null = linuxmtd::LinuxMtdDevice::open({"/dev/null", ""}, linuxmtd::Mode::Private);
  EXPECT_NE(null.message().find("not an MTD device"), std::string::npos) << null.message();
}
