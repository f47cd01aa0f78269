// Tests of the simulated NAND chip: program/erase physics, bad-block
// markers, image files, faults, power cuts, counters and the MTD devices.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <fstream>
#include <functional>
#include <vector>

#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/mtdparts.h"
#include "platform/mtd/nand_sim.h"

using namespace nandsim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kPage = 2048;
constexpr uint32_t kOob = 64;

Options small_options(uint32_t blocks = 16, uint32_t pages_per_block = 8, uint64_t seed = 1) {
  Options o;
  o.geometry = Geometry{kPage, kOob, pages_per_block, blocks, 2};
  o.seed = seed;
  return o;
}

std::unique_ptr<NandChip> make_chip(const Options& o = small_options()) {
  auto chip = NandChip::create_in_memory(o);
  EXPECT_TRUE(chip.ok()) << chip.message();
  return std::move(chip).value();
}

Bytes pattern(size_t n, uint32_t seed) {
  Bytes v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) b = uint8_t((x = x * 1664525u + 1013904223u) >> 24);
  return v;
}

const Bytes kErasedPage(kPage, 0xFF);
const Bytes kErasedRaw(kPage + kOob, 0xFF);

// The stored bytes of a page: main data, then the whole OOB area.
Bytes stored(NandChip& chip, uint64_t page) {
  const uint8_t* raw = chip.raw_page(page);
  return Bytes(raw, raw + kPage + kOob);
}

size_t bit_difference(const Bytes& a, const Bytes& b) {
  size_t bits = 0;
  for (size_t i = 0; i < a.size(); i++) bits += std::popcount(unsigned(a[i] ^ b[i]));
  return bits;
}

void program_pages(NandChip& chip, uint64_t first, uint64_t end, const Bytes& data) {
  for (uint64_t page = first; page < end; page++)
    ASSERT_EQ(chip.program_page(page, data.data(), nullptr), 0);
}

// A page's main data as read; the read's result goes to *ret.
Bytes read_main(NandChip& chip, uint64_t page, int* ret = nullptr) {
  Bytes got(kPage);
  int r = chip.read_page(page, got.data(), nullptr);
  if (ret != nullptr) *ret = r;
  return got;
}
int read_result(NandChip& chip, uint64_t page) {
  int ret = 0;
  read_main(chip, page, &ret);
  return ret;
}

// A temporary image file, removed when done.
struct TempImage {
  std::string path;
  TempImage() {
    char name[] = "/tmp/nand_sim_test_XXXXXX";
    close(mkstemp(name));
    path = name;
  }
  ~TempImage() { unlink(path.c_str()); }
  uint64_t hash() const {
    std::ifstream in(path, std::ios::binary);
    uint64_t h = 1469598103934665603ull;
    for (char c; in.get(c);) h = (h ^ uint8_t(c)) * 1099511628211ull;
    return h;
  }
};

}  // namespace

TEST(Geometry, ValidateNamesWhatIsWrong) {
  const std::pair<std::function<void(Geometry&)>, const char*> cases[] = {
      {[](Geometry& g) { g.page_size = 1000; }, "page size 1000"},
      {[](Geometry& g) { g.pages_per_block = 0; }, "pages per block 0"},
      {[](Geometry& g) {
         g.page_size = 512;
         g.pages_per_block = 256;
       },
       "4 x pages per block"},
      {[](Geometry& g) { g.blocks = 70000; }, "block count 70000"},
      {[](Geometry& g) { g.oob_size = 16; }, "OOB size 16"},
      {[](Geometry& g) { g.spare_offset = 49; }, "16-byte spare record"},
  };
  for (const auto& [edit, fragment] : cases) {
    Geometry g;
    edit(g);
    EXPECT_NE(g.validate().find(fragment), std::string::npos) << fragment << ": " << g.validate();
  }
  EXPECT_EQ((Geometry{512, 18, 128, 65535, 2}).validate(), "");  // every limit at its edge
  Options o = small_options();
  o.factory_bad_blocks = {16};
  auto chip = NandChip::create_in_memory(o);
  ASSERT_FALSE(chip.ok());
  EXPECT_TRUE(chip.status().IsInvalidArgument()) << chip.status().ToString();
  EXPECT_NE(chip.message().find("factory bad block 16"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Program, erase and bad-block physics
// ---------------------------------------------------------------------------

TEST(Program, SecondProgramAndsWhenAllowedAndIsRefusedOtherwise) {
  Options o = small_options();
  o.allow_double_program = true;
  auto anding = make_chip(o);
  auto a = pattern(kPage, 3), b = pattern(kPage, 4);
  ASSERT_EQ(anding->program_page(0, a.data(), nullptr), 0);
  ASSERT_EQ(anding->program_page(0, b.data(), nullptr), 0);
  auto got = read_main(*anding, 0);
  for (size_t i = 0; i < kPage; i++) ASSERT_EQ(got[i], a[i] & b[i]) << i;
  EXPECT_EQ(anding->counters().double_programs, 1u);

  auto chip = make_chip();
  ASSERT_EQ(chip->program_page(3, a.data(), nullptr), 0);
  auto before = stored(*chip, 3);
  Bytes zeros(kPage, 0);
  EXPECT_EQ(chip->program_page(3, zeros.data(), zeros.data()), -EIO);
  EXPECT_EQ(stored(*chip, 3), before);
  EXPECT_EQ(chip->block_counters(0).double_programs, 1u);
  EXPECT_FALSE(chip->is_damaged(3));
  EXPECT_EQ(chip->program_page(16 * 8, a.data(), nullptr), -EINVAL);  // beyond the chip
}

TEST(Program, OobRangeProgramLeavesTheOtherOobBytes) {
  auto chip = make_chip();
  auto record = pattern(16, 6), data = pattern(kPage, 7);
  ASSERT_EQ(chip->program_page_range(1, data.data(), record.data(), 2, 16), 0);
  auto expected = data;
  expected.insert(expected.end(), {0xFF, 0xFF});
  expected.insert(expected.end(), record.begin(), record.end());
  expected.resize(kPage + kOob, 0xFF);
  EXPECT_EQ(stored(*chip, 1), expected);
  Bytes back(16);
  ASSERT_EQ(chip->read_page_range(1, nullptr, back.data(), 2, 16), 0);
  EXPECT_EQ(back, record);
  EXPECT_EQ(chip->program_page_range(2, nullptr, data.data(), 60, 5), -EINVAL);
}

TEST(Erase, ErasesTheWholeBlockOnlyAndAllowsReprogramming) {
  auto chip = make_chip();
  auto data = pattern(kPage, 9);
  program_pages(*chip, 8, 24, data);
  ASSERT_EQ(chip->erase_block(1), 0);
  for (uint64_t page = 8; page < 16; page++) EXPECT_EQ(stored(*chip, page), kErasedRaw);
  for (uint64_t page = 16; page < 24; page++) EXPECT_EQ(read_main(*chip, page), data);
  EXPECT_EQ(chip->program_page(8, data.data(), nullptr), 0);
  EXPECT_EQ(chip->counters().double_programs, 0u);
}

TEST(BadBlocks, FactoryMarkersAndMarkBadUseOobByteZero) {
  Options o = small_options();
  o.factory_bad_blocks = {2, 7};
  auto chip = make_chip(o);
  for (uint32_t b = 0; b < 16; b++) EXPECT_EQ(chip->block_isbad(b), b == 2 || b == 7 ? 1 : 0) << b;
  EXPECT_EQ(chip->raw_page(2 * 8)[kPage], 0x00);
  EXPECT_EQ(chip->raw_page(2 * 8 + 1)[kPage], 0xFF);

  // Marking a programmed block clears byte 0 only, without a double program.
  auto data = pattern(kPage, 11);
  Bytes oob(kOob, 0xC3);
  oob[0] = 0xFF;
  ASSERT_EQ(chip->program_page(24, data.data(), oob.data()), 0);
  auto expected = stored(*chip, 24);
  expected[kPage] = 0x00;
  ASSERT_EQ(chip->mark_bad(3), 0);
  EXPECT_EQ(chip->block_isbad(3), 1);
  EXPECT_EQ(stored(*chip, 24), expected);
  EXPECT_EQ(chip->counters().double_programs, 0u);
}

// ---------------------------------------------------------------------------
// Image files
// ---------------------------------------------------------------------------

TEST(Image, RoundTripKeepsDataMarkersLayoutAndProgrammedPages) {
  TempImage file;
  Options o = small_options();
  o.factory_bad_blocks = {5};
  auto data = pattern(kPage, 12), oob = pattern(kOob, 13);
  Bytes spare_only(kOob, 0xFF);
  spare_only[40] = 0x7F;  // a page programmed in its OOB alone
  {
    auto chip = NandChip::create_image(file.path, o);
    ASSERT_TRUE(chip.ok()) << chip.message();
    ASSERT_EQ(chip.value()->program_page(10, data.data(), oob.data()), 0);
    ASSERT_EQ(chip.value()->program_page(11, nullptr, spare_only.data()), 0);
    ASSERT_EQ(chip.value()->mark_bad(6), 0);
    ASSERT_TRUE(chip.value()->sync().ok());
  }
  // Raw layout: page after page, each main data then the whole OOB.
  std::ifstream in(file.path, std::ios::binary);
  Bytes raw(kPage + kOob);
  in.seekg(std::streamoff(10 * (kPage + kOob)));
  in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
  auto expected = data;
  expected.insert(expected.end(), oob.begin(), oob.end());
  EXPECT_EQ(raw, expected);

  auto chip = NandChip::open_image(file.path, o, OpenMode::ReadWrite);
  ASSERT_TRUE(chip.ok()) << chip.message();
  NandChip& c = *chip.value();
  EXPECT_EQ(stored(c, 10), expected);
  EXPECT_TRUE(c.is_bad(5) && c.is_bad(6) && !c.is_bad(4));
  // Pages are judged by their content: programmed ones refuse a second program.
  EXPECT_EQ(c.program_page(10, data.data(), nullptr), -EIO);
  EXPECT_EQ(c.program_page(11, data.data(), nullptr), -EIO);
  EXPECT_EQ(c.program_page(12, data.data(), nullptr), 0);
}

TEST(Image, PrivateAndReadOnlyModesNeverReachTheFile) {
  TempImage file;
  Options o = small_options();
  auto old_data = pattern(kPage, 15), new_data = pattern(kPage, 16);
  {
    auto chip = NandChip::create_image(file.path, o);
    ASSERT_TRUE(chip.ok()) << chip.message();
    ASSERT_EQ(chip.value()->program_page(3, old_data.data(), nullptr), 0);
  }
  const uint64_t before = file.hash();
  {
    auto chip = NandChip::open_image(file.path, o, OpenMode::Private);
    ASSERT_TRUE(chip.ok()) << chip.message();
    ASSERT_EQ(chip.value()->erase_block(0), 0);
    ASSERT_EQ(chip.value()->program_page(3, new_data.data(), nullptr), 0);
    ASSERT_EQ(chip.value()->mark_bad(9), 0);
    EXPECT_EQ(read_main(*chip.value(), 3), new_data);  // the chip itself sees its changes
    ASSERT_TRUE(chip.value()->sync().ok());
  }
  EXPECT_EQ(file.hash(), before);

  auto chip = NandChip::open_image(file.path, o, OpenMode::ReadOnly);
  ASSERT_TRUE(chip.ok()) << chip.message();
  NandChip& c = *chip.value();
  EXPECT_EQ(c.program_page(1, new_data.data(), nullptr), -EROFS);
  EXPECT_EQ(c.erase_block(0), -EROFS);
  EXPECT_EQ(c.mark_bad(0), -EROFS);
  EXPECT_EQ(read_main(c, 3), old_data);
  mtd_info* mtd = c.mtd();
  EXPECT_EQ(mtd->flags & MTD_WRITEABLE, 0u);
  size_t retlen = 0;
  EXPECT_EQ(mtd->write(mtd, 0, kPage, &retlen, new_data.data()), -EROFS);
  EXPECT_EQ(mtd->block_markbad(mtd, 0), -EROFS);
  EXPECT_EQ(file.hash(), before);
}

TEST(Image, WrongSizedImagesAreRefusedWithBothSizes) {
  TempImage file;
  Options o = small_options();
  ASSERT_TRUE(NandChip::create_image(file.path, o).ok());
  const uint64_t expected = o.geometry.image_size();
  for (uint64_t size : {expected - 1, expected + 512}) {
    ASSERT_EQ(truncate(file.path.c_str(), off_t(size)), 0);
    auto chip = NandChip::open_image(file.path, o, OpenMode::Private);
    ASSERT_FALSE(chip.ok());
    const std::string& error = chip.message();
    EXPECT_NE(error.find(size < expected ? "truncated" : "oversized"), std::string::npos) << error;
    // A short image has lost its end; a long one is not of this geometry.
    EXPECT_EQ(chip.status().kind(),
              size < expected ? StatusKind::kCorruption : StatusKind::kInvalidArgument);
    EXPECT_NE(error.find(std::to_string(expected)), std::string::npos) << error;
    EXPECT_NE(error.find(std::to_string(size)), std::string::npos) << error;
  }
}

TEST(Image, MissingAndUnwritableImagesSayWhichKindOfFailure) {
  Options o = small_options();
  TempImage file;
  auto missing = NandChip::open_image(file.path + ".missing", o, OpenMode::Private);
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.status().IsNotFound()) << missing.status().ToString();
  auto nowhere = NandChip::create_image(file.path + ".d/image", o);
  ASSERT_FALSE(nowhere.ok());
  EXPECT_TRUE(nowhere.status().IsNotFound()) << nowhere.status().ToString();

  ASSERT_TRUE(NandChip::create_image(file.path, o).ok());
  Options bad = o;
  bad.geometry.page_size = 1000;
  auto invalid = NandChip::open_image(file.path, bad, OpenMode::ReadOnly);
  ASSERT_FALSE(invalid.ok());
  EXPECT_TRUE(invalid.status().IsInvalidArgument()) << invalid.status().ToString();
}

TEST(Image, AReadOnlyFileOpenedForWritingIsReadOnly) {
  // Root opens a file without write permission for writing all the same.
  if (geteuid() == 0) GTEST_SKIP() << "needs a user that file permissions bind";
  Options o = small_options();
  TempImage file;
  ASSERT_TRUE(NandChip::create_image(file.path, o).ok());
  ASSERT_EQ(chmod(file.path.c_str(), 0444), 0);
  auto writable = NandChip::open_image(file.path, o, OpenMode::ReadWrite);
  ASSERT_FALSE(writable.ok());
  EXPECT_TRUE(writable.status().IsReadOnly()) << writable.status().ToString();
  EXPECT_NE(writable.message().find("the file is read-only"), std::string::npos);
  EXPECT_TRUE(NandChip::open_image(file.path, o, OpenMode::ReadOnly).ok());
}

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------

TEST(Faults, FailedProgramTearsThePageUntilErase) {
  auto chip = make_chip();
  chip->fail_program_at(4);
  Bytes zeros(kPage, 0);
  EXPECT_EQ(chip->program_page(4, zeros.data(), nullptr), -EIO);
  EXPECT_TRUE(chip->is_damaged(4));
  auto raw = stored(*chip, 4);
  int ret = 0;
  auto got = read_main(*chip, 4, &ret);
  EXPECT_EQ(ret, -EBADMSG);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), raw.begin()));  // as stored
  size_t cleared = bit_difference(got, kErasedPage);
  EXPECT_GT(cleared, 0u);          // some bits went
  EXPECT_LT(cleared, kPage * 8u);  // but not all of them
  EXPECT_EQ(raw[kPage], 0xFF);     // no OOB was given

  ASSERT_EQ(chip->erase_block(0), 0);
  EXPECT_FALSE(chip->is_damaged(4));
  EXPECT_EQ(chip->program_page(4, zeros.data(), nullptr), -EIO);  // every time
  EXPECT_EQ(chip->program_page(5, zeros.data(), nullptr), 0);
}

TEST(Faults, FailedEraseLeavesTheBlockPartlyErasedAndDamaged) {
  auto chip = make_chip(small_options(4, 64));
  Bytes zeros(kPage, 0);
  program_pages(*chip, 64, 128, zeros);
  chip->fail_erase_at(1);
  EXPECT_EQ(chip->erase_block(1), -EIO);
  size_t erased = 0;
  for (uint64_t page = 64; page < 128; page++) {
    EXPECT_EQ(read_result(*chip, page), -EBADMSG);
    erased += stored(*chip, page) == kErasedRaw;
  }
  EXPECT_GT(erased, 0u);
  EXPECT_LT(erased, 64u);
  EXPECT_EQ(chip->erase_block(1), -EIO);  // every time
  chip->clear_faults();
  ASSERT_EQ(chip->erase_block(1), 0);
  EXPECT_FALSE(chip->is_damaged(127));
}

TEST(Faults, NthOperationsFailOnceAndGrownBadBlocksAlways) {
  auto chip = make_chip();
  auto data = pattern(kPage, 18);
  chip->fail_nth_program(3);
  std::vector<int> results;
  for (uint64_t page = 0; page < 4; page++)
    results.push_back(chip->program_page(page, data.data(), nullptr));
  EXPECT_EQ(results, (std::vector<int>{0, 0, -EIO, 0}));
  EXPECT_TRUE(chip->is_damaged(2));
  chip->fail_nth_erase(2);
  EXPECT_EQ(chip->erase_block(4), 0);
  EXPECT_EQ(chip->erase_block(5), -EIO);
  EXPECT_EQ(chip->erase_block(5), 0);

  chip->grow_bad_block(2);
  EXPECT_EQ(chip->program_page(23, data.data(), nullptr), -EIO);
  EXPECT_EQ(chip->erase_block(2), -EIO);
  EXPECT_EQ(chip->erase_block(2), -EIO);
  EXPECT_EQ(chip->program_page(24, data.data(), nullptr), 0);
  EXPECT_FALSE(chip->is_bad(2));  // marking it is the caller's business
}

TEST(Faults, RatesAndFactoryBadBlocksAreDeterministicForTheSeed) {
  auto outcomes = [](uint64_t seed) {
    Options o = small_options(64, 8, seed);
    o.factory_bad_rate = 0.1;
    auto chip = make_chip(o);
    chip->set_program_fail_rate(0.3);
    chip->set_erase_fail_rate(0.3);
    auto data = pattern(kPage, 19);
    std::vector<int> results;
    for (uint64_t page = 0; page < 256; page++)
      results.push_back(chip->program_page(page, data.data(), nullptr));
    for (uint32_t block = 32; block < 64; block++) results.push_back(chip->erase_block(block));
    chip->clear_faults();
    chip->set_bitflip_rates(0.2, 0.2);
    for (int i = 0; i < 200; i++) results.push_back(read_result(*chip, 0));
    for (uint32_t block = 0; block < 64; block++) results.push_back(chip->is_bad(block) ? 1 : 2);
    return results;
  };
  auto first = outcomes(7);
  EXPECT_EQ(first, outcomes(7));
  EXPECT_NE(first, outcomes(8));
  auto count = [&](int code, size_t from, size_t to) {
    return std::count(first.begin() + from, first.begin() + to, code);
  };
  EXPECT_GT(count(-EIO, 0, 288), 40);  // about 0.3 * 288
  EXPECT_LT(count(-EIO, 0, 288), 140);
  EXPECT_GT(count(-EUCLEAN, 288, 488), 10);
  EXPECT_GT(count(-EBADMSG, 288, 488), 10);
  EXPECT_GT(count(0, 288, 488), 60);
  EXPECT_GT(count(1, 488, 552), 0);  // factory bad blocks: about 0.1 * 64
  EXPECT_LT(count(1, 488, 552), 20);
}

TEST(Faults, ReadErrorsInjectedOrByRate) {
  auto chip = make_chip();
  auto data = pattern(kPage, 21), oob = pattern(kOob, 22);
  ASSERT_EQ(chip->program_page(1, data.data(), oob.data()), 0);
  ASSERT_EQ(chip->program_page(2, data.data(), oob.data()), 0);
  chip->inject_read_error(1, -EUCLEAN);
  chip->inject_read_error(2, -EBADMSG);
  auto before = stored(*chip, 2);
  for (int i = 0; i < 2; i++) {  // they last
    Bytes got(kPage), got_oob(kOob);
    EXPECT_EQ(chip->read_page(1, got.data(), got_oob.data()), -EUCLEAN);
    EXPECT_EQ(got, data);  // corrected: intact
    EXPECT_EQ(got_oob, oob);
    int ret = 0;
    size_t flipped = bit_difference(read_main(*chip, 2, &ret), data);
    EXPECT_EQ(ret, -EBADMSG);
    EXPECT_GE(flipped, 1u);
    EXPECT_LE(flipped, 3u);
  }
  EXPECT_EQ(stored(*chip, 2), before);  // the flips are in the copy only
  chip->set_bitflip_rates(1.0, 0.0);
  EXPECT_EQ(read_result(*chip, 0), -EUCLEAN);
  chip->set_bitflip_rates(0.0, 1.0);
  Bytes spare(16);
  EXPECT_EQ(chip->read_page_range(0, nullptr, spare.data(), 2, 16), -EBADMSG);
  EXPECT_NE(spare, Bytes(16, 0xFF));  // the erased spare, flipped
  chip->set_bitflip_rates(0.0, 0.0);
  ASSERT_EQ(chip->erase_block(0), 0);  // until the erase
  EXPECT_EQ(read_result(*chip, 1), 0);
  EXPECT_EQ(read_result(*chip, 2), 0);
}

// ---------------------------------------------------------------------------
// Power cuts
// ---------------------------------------------------------------------------

TEST(PowerCut, CleanCutKeepsEarlierOperationsAndRefusesLaterOnes) {
  auto chip = make_chip();
  auto data = pattern(kPage, 25);
  ASSERT_EQ(chip->program_page(8, data.data(), nullptr), 0);
  const uint64_t base = chip->mutating_ops();
  chip->power_cut_after(3, CutKind::Clean);
  EXPECT_EQ(chip->program_page(0, data.data(), nullptr), 0);
  EXPECT_EQ(chip->program_page(1, data.data(), nullptr), 0);
  EXPECT_EQ(chip->erase_block(1), 0);
  EXPECT_FALSE(chip->powered_off());
  EXPECT_EQ(chip->program_page(2, data.data(), nullptr), -EIO);  // the cut
  EXPECT_TRUE(chip->powered_off());
  EXPECT_EQ(chip->mutating_ops(), base + 4);
  EXPECT_EQ(read_result(*chip, 0), -EIO);
  EXPECT_EQ(chip->block_isbad(0), -EIO);
  EXPECT_EQ(chip->mark_bad(2), -EIO);
  EXPECT_EQ(chip->mtd()->block_isbad(chip->mtd(), 0), -EIO);

  chip->power_on();
  EXPECT_EQ(read_main(*chip, 1), data);
  EXPECT_EQ(read_main(*chip, 8), kErasedPage);  // the erase before the cut happened
  EXPECT_EQ(read_main(*chip, 2), kErasedPage);  // the program at the cut did not
  EXPECT_EQ(chip->program_page(2, data.data(), nullptr), 0);
  EXPECT_EQ(chip->block_isbad(2), 0);  // nor the mark-bad after it
}

TEST(PowerCut, TornProgramDamagesThePageUntilEraseAndDropsOtherOperations) {
  auto chip = make_chip();
  Bytes zeros(kPage, 0);
  chip->power_cut_after(0, CutKind::TornProgram);
  EXPECT_EQ(chip->program_page(5, zeros.data(), zeros.data()), -EIO);
  EXPECT_TRUE(chip->powered_off());
  chip->power_on();
  EXPECT_TRUE(chip->is_damaged(5));
  auto raw = stored(*chip, 5);
  EXPECT_NE(raw, kErasedRaw);
  EXPECT_NE(raw, Bytes(kPage + kOob, 0));
  EXPECT_EQ(read_result(*chip, 5), -EBADMSG);
  EXPECT_EQ(read_result(*chip, 5), -EBADMSG);
  ASSERT_EQ(chip->erase_block(0), 0);
  EXPECT_EQ(read_main(*chip, 5), kErasedPage);

  // An erase or a mark-bad at a torn-program cut is simply dropped.
  auto data = pattern(kPage, 26);
  ASSERT_EQ(chip->program_page(8, data.data(), nullptr), 0);
  chip->power_cut_after(0, CutKind::TornProgram);
  EXPECT_EQ(chip->erase_block(1), -EIO);
  chip->power_on();
  EXPECT_EQ(read_main(*chip, 8), data);
  chip->power_cut_after(0, CutKind::TornProgram);
  EXPECT_EQ(chip->mark_bad(3), -EIO);
  chip->power_on();
  EXPECT_EQ(chip->block_isbad(3), 0);
}

TEST(PowerCut, TornEraseDamagesEveryPageOfTheBlock) {
  auto chip = make_chip(small_options(4, 64));
  auto data = pattern(kPage, 27);
  program_pages(*chip, 0, 64, data);
  chip->power_cut_after(0, CutKind::TornErase);
  EXPECT_EQ(chip->erase_block(0), -EIO);
  chip->power_on();
  size_t erased = 0, kept = 0;
  for (uint64_t page = 0; page < 64; page++) {
    int ret = 0;
    auto got = read_main(*chip, page, &ret);
    EXPECT_EQ(ret, -EBADMSG);
    erased += got == kErasedPage;
    kept += got == data;
  }
  EXPECT_GT(erased, 0u);
  EXPECT_GT(kept, 0u);
  EXPECT_EQ(erased + kept, 64u);
  ASSERT_EQ(chip->erase_block(0), 0);
  EXPECT_FALSE(chip->is_damaged(7));
}

// ---------------------------------------------------------------------------
// Counters and device time
// ---------------------------------------------------------------------------

TEST(Counters, CountOperationsFailedOnesIncludedAndDeviceTimePerBlock) {
  Options o = small_options();
  o.timing = Timing{10, 100, 1000, 20};  // 50 ns per byte
  auto chip = make_chip(o);
  auto data = pattern(kPage, 28), oob = pattern(kOob, 29);
  Bytes spare(16);
  chip->fail_erase_at(3);
  ASSERT_EQ(chip->program_page(8, data.data(), oob.data()), 0);          // 100 us + 2112 * 50 ns
  ASSERT_EQ(chip->read_page(8, data.data(), oob.data()), 0);             // 10 us + 2112 * 50 ns
  ASSERT_EQ(chip->read_page_range(9, nullptr, spare.data(), 2, 16), 0);  // 10 us + 800 ns
  ASSERT_EQ(chip->erase_block(2), 0);                                    // 1000 us
  ASSERT_EQ(chip->erase_block(3), -EIO);                                 // 1000 us
  Counters total = chip->counters();
  EXPECT_EQ(total.programs, 1u);
  EXPECT_EQ(total.reads, 2u);
  EXPECT_EQ(total.erases, 2u);
  const uint64_t block1_ns = 205600u + 115600u + 10800u;
  EXPECT_EQ(total.device_time_ns, block1_ns + 2 * 1000000u);
  EXPECT_EQ(chip->block_counters(1).reads, 2u);
  EXPECT_EQ(chip->block_counters(1).device_time_ns, block1_ns);
  EXPECT_EQ(chip->block_counters(3).erases, 1u);
  chip->reset_counters();
  EXPECT_EQ(chip->counters().device_time_ns, 0u);
  EXPECT_EQ(chip->block_counters(1).reads, 0u);
}

// ---------------------------------------------------------------------------
// MTD devices
// ---------------------------------------------------------------------------

namespace {

mtd_oob_ops spare_ops(uint8_t* data, uint8_t* spare, uint32_t ooboffs = 2, size_t ooblen = 16) {
  mtd_oob_ops ops{};
  ops.mode = MTD_OOB_AUTO;
  ops.len = kPage;
  ops.ooblen = ooblen;
  ops.ooboffs = ooboffs;
  ops.datbuf = data;
  ops.oobbuf = spare;
  return ops;
}

int erase_at(mtd_info* mtd, uint64_t addr, uint64_t len, erase_info* out = nullptr) {
  erase_info ei{};
  ei.mtd = mtd;
  ei.addr = addr;
  ei.len = len;
  int ret = mtd->erase(mtd, &ei);
  if (out != nullptr) *out = ei;
  return ret;
}

}  // namespace

TEST(Mtd, PartitionTranslatesAddressesAndPlacesTheSpareRecord) {
  Options o = small_options();
  o.geometry.spare_offset = 6;
  auto chip = make_chip(o);
  auto made_part = MtdPartition::create(
      *chip, PartitionSpec{"NFTL_Part", 4 * 8 * kPage, 8 * 8 * kPage, false}, 3);
  ASSERT_TRUE(made_part.ok()) << made_part.message();
  MtdPartition& part = *made_part.value();
  mtd_info* mtd = part.mtd();
  EXPECT_EQ(mtd->size, 8u * 8 * kPage);
  EXPECT_EQ(mtd->oobavail, kOob - 6);
  EXPECT_EQ(mtd->ecclayout->oobfree[0].offset, 6u);

  auto data = pattern(kPage, 31), record = pattern(16, 32);
  uint64_t addr = 1 * mtd->erasesize + 2 * mtd->writesize;  // block 1, page 2
  mtd_oob_ops ops = spare_ops(data.data(), record.data(), 6);
  ASSERT_EQ(mtd->write_oob(mtd, addr, &ops), 0);
  EXPECT_EQ(ops.retlen, kPage);
  EXPECT_EQ(ops.oobretlen, 16u);
  auto expected = data;
  expected.resize(kPage + 6, 0xFF);
  expected.insert(expected.end(), record.begin(), record.end());
  expected.resize(kPage + kOob, 0xFF);
  EXPECT_EQ(stored(*chip, (4 + 1) * 8 + 2), expected);

  // Spare-only read: no main buffer, len still writesize.
  Bytes spare(16, 0);
  mtd_oob_ops read_ops = spare_ops(nullptr, spare.data(), 6);
  ASSERT_EQ(mtd->read_oob(mtd, addr, &read_ops), 0);
  EXPECT_EQ(spare, record);
  EXPECT_EQ(read_ops.retlen, 0u);
  EXPECT_EQ(read_ops.oobretlen, 16u);

  // Plain write at the partition's last page lands in chip block 11.
  size_t retlen = 0;
  ASSERT_EQ(mtd->write(mtd, mtd->size - mtd->writesize, kPage, &retlen, data.data()), 0);
  EXPECT_EQ(read_main(*chip, 12 * 8 - 1), data);
}

TEST(Mtd, PartitionRefusesBadRequestsAndReadOnlyChangesBeforeTheChip) {
  auto chip = make_chip();
  auto made_part =
      MtdPartition::create(*chip, PartitionSpec{"cache", 2 * 8 * kPage, 2 * 8 * kPage, false}, 0);
  ASSERT_TRUE(made_part.ok()) << made_part.message();
  MtdPartition& part = *made_part.value();
  mtd_info* mtd = part.mtd();
  auto data = pattern(kPage, 33), record = pattern(16, 34);
  size_t retlen = 7;
  auto oob_op = [&](uint32_t ooboffs, size_t len, uint64_t addr) {
    auto ops = spare_ops(data.data(), record.data(), ooboffs);
    ops.len = len;
    return mtd->write_oob(mtd, addr, &ops);
  };
  const std::pair<std::function<int()>, const char*> refused[] = {
      {[&] { return mtd->write(mtd, mtd->size, kPage, &retlen, data.data()); }, "past the end"},
      {[&] { return mtd->write(mtd, 100, kPage, &retlen, data.data()); }, "misaligned"},
      {[&] { return mtd->read(mtd, 0, kPage - 1, &retlen, data.data()); }, "short"},
      {[&] { return oob_op(0, kPage, 0); }, "AUTO over the marker bytes"},
      {[&] { return oob_op(kOob - 15, kPage, 0); }, "past the OOB area"},
      {[&] { return oob_op(2, 512, 0); }, "main length with a main buffer"},
      {[&] { return erase_at(mtd, 0, mtd->erasesize / 2); }, "part of a block"},
      {[&] { return mtd->block_markbad(mtd, mtd->size); }, "markbad past the end"},
  };
  for (const auto& [call, what] : refused) EXPECT_EQ(call(), -EINVAL) << what;
  EXPECT_EQ(retlen, 0u);
  Counters c = chip->counters();
  EXPECT_EQ(c.programs + c.reads + c.erases, 0u);  // nothing reached the chip

  // PLACE mode may address any OOB byte; the raw marker is there to see.
  Bytes marker(2);
  auto ops = spare_ops(nullptr, marker.data(), 0, 2);
  ops.mode = MTD_OOB_PLACE;
  EXPECT_EQ(mtd->read_oob(mtd, 0, &ops), 0);
  EXPECT_EQ(marker, Bytes(2, 0xFF));

  auto made_ro = MtdPartition::create(*chip, PartitionSpec{"system", 0, 2 * 8 * kPage, true}, 1);
  ASSERT_TRUE(made_ro.ok()) << made_ro.message();
  MtdPartition& ro = *made_ro.value();
  mtd_info* ro_mtd = ro.mtd();
  EXPECT_EQ(ro_mtd->flags & MTD_WRITEABLE, 0u);
  EXPECT_EQ(ro_mtd->write(ro_mtd, 0, kPage, &retlen, data.data()), -EROFS);
  ops = spare_ops(data.data(), record.data());
  EXPECT_EQ(ro_mtd->write_oob(ro_mtd, 0, &ops), -EROFS);
  EXPECT_EQ(erase_at(ro_mtd, 0, ro_mtd->erasesize), -EROFS);
  EXPECT_EQ(ro_mtd->block_markbad(ro_mtd, 0), -EROFS);
  EXPECT_EQ(chip->mutating_ops(), 0u);
}

TEST(Mtd, PartitionEraseAndBadBlocksTranslate) {
  auto chip = make_chip();
  auto made_part = MtdPartition::create(
      *chip, PartitionSpec{"userdata", 8 * 8 * kPage, 8 * 8 * kPage, false}, 1);
  ASSERT_TRUE(made_part.ok()) << made_part.message();
  MtdPartition& part = *made_part.value();
  mtd_info* mtd = part.mtd();
  auto data = pattern(kPage, 35);
  program_pages(*chip, 8 * 8, 10 * 8, data);
  static int callbacks;
  callbacks = 0;
  erase_info ei{};
  ei.mtd = mtd;
  ei.addr = mtd->erasesize;  // partition block 1 = chip block 9
  ei.len = mtd->erasesize;
  ei.callback = [](erase_info*) { callbacks++; };
  ASSERT_EQ(mtd->erase(mtd, &ei), 0);
  EXPECT_EQ(ei.state, MTD_ERASE_DONE);
  EXPECT_EQ(callbacks, 1);
  EXPECT_EQ(read_main(*chip, 9 * 8), kErasedPage);
  EXPECT_EQ(read_main(*chip, 8 * 8), data);  // chip block 8 untouched

  chip->fail_erase_at(10);
  erase_info failed{};
  EXPECT_EQ(erase_at(mtd, 2 * mtd->erasesize, mtd->erasesize, &failed), -EIO);
  EXPECT_EQ(failed.state, MTD_ERASE_FAILED);
  EXPECT_EQ(failed.fail_addr, 2 * mtd->erasesize);

  EXPECT_EQ(mtd->block_markbad(mtd, 3 * mtd->erasesize), 0);
  EXPECT_EQ(mtd->block_isbad(mtd, 3 * mtd->erasesize), 1);
  EXPECT_TRUE(chip->is_bad(11));
  EXPECT_FALSE(chip->is_bad(3));
}

TEST(Mtd, ReadErrorsPassThroughWithTheirData) {
  auto chip = make_chip();
  auto made_part = MtdPartition::create(*chip, PartitionSpec{"p", 8 * kPage, 8 * kPage, false}, 0);
  ASSERT_TRUE(made_part.ok()) << made_part.message();
  MtdPartition& part = *made_part.value();
  mtd_info* mtd = part.mtd();
  auto data = pattern(kPage, 38), record = pattern(16, 39);
  mtd_oob_ops ops = spare_ops(data.data(), record.data());
  ASSERT_EQ(mtd->write_oob(mtd, 0, &ops), 0);
  chip->inject_read_error(8, -EUCLEAN);
  Bytes got(kPage), spare(16);
  ops = spare_ops(got.data(), spare.data());
  EXPECT_EQ(mtd->read_oob(mtd, 0, &ops), -EUCLEAN);
  EXPECT_EQ(got, data);
  EXPECT_EQ(spare, record);
  EXPECT_EQ(ops.retlen, kPage);
  ASSERT_EQ(mtd->write_oob(mtd, 0, &ops), -EIO);  // a second program
  EXPECT_EQ(ops.retlen, 0u);
}
