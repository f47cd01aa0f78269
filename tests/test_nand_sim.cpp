// Tests of the simulated NAND chip: program/erase physics, bad-block
// markers, image files, faults, power cuts, counters and the MTD devices.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/nand_sim.h"

using namespace nandsim;

namespace {

constexpr uint32_t kPage = 2048;
constexpr uint32_t kOob = 64;

Options small_options(uint32_t blocks = 16, uint32_t pages_per_block = 8) {
  Options o;
  o.geometry.page_size = kPage;
  o.geometry.oob_size = kOob;
  o.geometry.pages_per_block = pages_per_block;
  o.geometry.blocks = blocks;
  return o;
}

std::unique_ptr<NandChip> make_chip(const Options& o) {
  auto chip = NandChip::create_in_memory(o);
  EXPECT_TRUE(chip.ok()) << chip.error();
  return std::move(chip).value();
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : v) {
    x = x * 1664525u + 1013904223u;
    b = uint8_t(x >> 24);
  }
  return v;
}

std::vector<uint8_t> filled(size_t n, uint8_t value) { return std::vector<uint8_t>(n, value); }

// The stored bytes of a page: main data, then the whole OOB area.
std::vector<uint8_t> stored(NandChip& chip, uint64_t page) {
  const uint8_t* raw = chip.raw_page(page);
  return std::vector<uint8_t>(raw, raw + kPage + kOob);
}

size_t bit_difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t bits = 0;
  for (size_t i = 0; i < a.size(); i++) bits += std::popcount(unsigned(a[i] ^ b[i]));
  return bits;
}

// A temporary file under /tmp, removed when done.
class TempFile {
 public:
  TempFile() {
    char name[] = "/tmp/nand_sim_test_XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  ~TempFile() { unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

uint64_t file_hash(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  uint64_t h = 1469598103934665603ull;
  char c;
  while (in.get(c)) h = (h ^ uint8_t(c)) * 1099511628211ull;
  return h;
}

uint64_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Geometry and options
// ---------------------------------------------------------------------------

TEST(Geometry, DefaultsDescribeA128MiBChip) {
  Geometry g;
  EXPECT_EQ(g.validate(), "");
  EXPECT_EQ(g.data_size(), 128ull << 20);
  EXPECT_EQ(g.image_size(), uint64_t(2048 + 64) * 64 * 1024);
}

TEST(Geometry, ValidateNamesWhatIsWrong) {
  auto check = [](auto edit, const char* fragment) {
    Geometry g;
    edit(g);
    std::string error = g.validate();
    EXPECT_NE(error.find(fragment), std::string::npos) << error;
  };
  check([](Geometry& g) { g.page_size = 1000; }, "page size 1000");
  check([](Geometry& g) { g.page_size = 256; }, "page size 256");
  check([](Geometry& g) { g.page_size = 32768; }, "page size 32768");
  check([](Geometry& g) { g.pages_per_block = 0; }, "pages per block 0");
  check([](Geometry& g) { g.pages_per_block = 2048; }, "pages per block 2048");
  check([](Geometry& g) { g.page_size = 512; g.pages_per_block = 256; }, "4 x pages per block");
  check([](Geometry& g) { g.blocks = 0; }, "block count 0");
  check([](Geometry& g) { g.blocks = 70000; }, "block count 70000");
  check([](Geometry& g) { g.spare_offset = 1; }, "spare offset 1");
  check([](Geometry& g) { g.oob_size = 16; }, "OOB size 16");
  check([](Geometry& g) { g.spare_offset = 49; }, "16-byte spare record");

  Geometry edge;
  edge.page_size = 512;
  edge.pages_per_block = 128;
  edge.oob_size = 18;
  edge.blocks = 65535;
  EXPECT_EQ(edge.validate(), "");
}

TEST(Geometry, ChipCreationRefusesBadOptions) {
  Options o = small_options();
  o.geometry.page_size = 1000;
  auto chip = NandChip::create_in_memory(o);
  ASSERT_FALSE(chip.ok());
  EXPECT_NE(chip.error().find("page size 1000"), std::string::npos);

  o = small_options();
  o.factory_bad_blocks = {16};
  chip = NandChip::create_in_memory(o);
  ASSERT_FALSE(chip.ok());
  EXPECT_NE(chip.error().find("factory bad block 16"), std::string::npos);

  o = small_options();
  o.timing.bus_mb_s = 0;
  EXPECT_FALSE(NandChip::create_in_memory(o).ok());
}

// ---------------------------------------------------------------------------
// Program physics
// ---------------------------------------------------------------------------

TEST(Program, WrittenPageReadsBackAndUntouchedPagesStayErased) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 1);
  auto oob = pattern(kOob, 2);
  ASSERT_EQ(chip->program_page(9, data.data(), oob.data()), 0);

  std::vector<uint8_t> got(kPage), got_oob(kOob);
  ASSERT_EQ(chip->read_page(9, got.data(), got_oob.data()), 0);
  EXPECT_EQ(got, data);
  EXPECT_EQ(got_oob, oob);
  ASSERT_EQ(chip->read_page(8, got.data(), got_oob.data()), 0);
  EXPECT_EQ(got, filled(kPage, 0xFF));
  EXPECT_EQ(got_oob, filled(kOob, 0xFF));
}

TEST(Program, SecondProgramAndsWhenAllowed) {
  Options o = small_options();
  o.allow_double_program = true;
  auto chip = make_chip(o);
  auto a = pattern(kPage, 3);
  auto b = pattern(kPage, 4);
  ASSERT_EQ(chip->program_page(0, a.data(), nullptr), 0);
  ASSERT_EQ(chip->program_page(0, b.data(), nullptr), 0);
  std::vector<uint8_t> got(kPage);
  ASSERT_EQ(chip->read_page(0, got.data(), nullptr), 0);
  for (size_t i = 0; i < kPage; i++) ASSERT_EQ(got[i], a[i] & b[i]) << i;
  EXPECT_EQ(chip->counters().double_programs, 1u);
  EXPECT_EQ(chip->counters().programs, 2u);
}

TEST(Program, SecondProgramIsRefusedAndChangesNothing) {
  auto chip = make_chip(small_options());
  auto a = pattern(kPage, 5);
  ASSERT_EQ(chip->program_page(3, a.data(), nullptr), 0);
  auto before = stored(*chip, 3);
  auto zeros = filled(kPage, 0);
  EXPECT_EQ(chip->program_page(3, zeros.data(), zeros.data()), -EIO);
  EXPECT_EQ(stored(*chip, 3), before);
  EXPECT_EQ(chip->counters().double_programs, 1u);
  EXPECT_EQ(chip->block_counters(0).double_programs, 1u);
  EXPECT_FALSE(chip->is_damaged(3));
}

TEST(Program, OobRangeProgramLeavesTheOtherOobBytes) {
  auto chip = make_chip(small_options());
  auto record = pattern(16, 6);
  auto data = pattern(kPage, 7);
  ASSERT_EQ(chip->program_page_range(1, data.data(), record.data(), 2, 16), 0);
  auto raw = stored(*chip, 1);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), raw.begin()));
  EXPECT_EQ(raw[kPage + 0], 0xFF);
  EXPECT_EQ(raw[kPage + 1], 0xFF);
  EXPECT_TRUE(std::equal(record.begin(), record.end(), raw.begin() + kPage + 2));
  for (uint32_t i = 18; i < kOob; i++) EXPECT_EQ(raw[kPage + i], 0xFF) << i;

  std::vector<uint8_t> back(16);
  ASSERT_EQ(chip->read_page_range(1, nullptr, back.data(), 2, 16), 0);
  EXPECT_EQ(back, record);
}

TEST(Program, RefusesRequestsOutsideTheChip) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 8);
  uint64_t pages = chip->geometry().total_pages();
  EXPECT_EQ(chip->program_page(pages, data.data(), nullptr), -EINVAL);
  EXPECT_EQ(chip->read_page(pages, data.data(), nullptr), -EINVAL);
  EXPECT_EQ(chip->program_page(0, nullptr, nullptr), -EINVAL);
  EXPECT_EQ(chip->program_page_range(0, nullptr, data.data(), 60, 5), -EINVAL);
  EXPECT_EQ(chip->counters().programs, 0u);
  EXPECT_EQ(chip->counters().reads, 0u);
}

// ---------------------------------------------------------------------------
// Erase
// ---------------------------------------------------------------------------

TEST(Erase, ErasesTheWholeBlockOnlyAndAllowsReprogramming) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 9);
  auto oob = pattern(kOob, 10);
  for (uint64_t page = 8; page < 24; page++) {
    ASSERT_EQ(chip->program_page(page, data.data(), oob.data()), 0);
  }
  ASSERT_EQ(chip->erase_block(1), 0);
  for (uint64_t page = 8; page < 16; page++) {
    EXPECT_EQ(stored(*chip, page), filled(kPage + kOob, 0xFF)) << page;
  }
  std::vector<uint8_t> neighbour(data);
  neighbour.insert(neighbour.end(), oob.begin(), oob.end());
  for (uint64_t page = 16; page < 24; page++) EXPECT_EQ(stored(*chip, page), neighbour);

  EXPECT_EQ(chip->program_page(8, data.data(), oob.data()), 0);
  EXPECT_EQ(chip->counters().double_programs, 0u);
  EXPECT_EQ(chip->erase_block(16), -EINVAL);
}

// ---------------------------------------------------------------------------
// Bad-block markers
// ---------------------------------------------------------------------------

TEST(BadBlocks, FactoryListIsMarkedInOobByteZero) {
  Options o = small_options();
  o.factory_bad_blocks = {2, 7};
  auto chip = make_chip(o);
  for (uint32_t b = 0; b < 16; b++) {
    bool bad = b == 2 || b == 7;
    EXPECT_EQ(chip->is_bad(b), bad) << b;
    EXPECT_EQ(chip->block_isbad(b), bad ? 1 : 0) << b;
  }
  EXPECT_EQ(chip->raw_page(2 * 8)[kPage], 0x00);
  EXPECT_EQ(chip->raw_page(2 * 8 + 1)[kPage], 0xFF);
  EXPECT_EQ(chip->block_isbad(16), -EINVAL);
}

TEST(BadBlocks, FactoryRateIsReproducibleForASeed) {
  auto bad_set = [](uint64_t seed) {
    Options o = small_options(1024, 1);
    o.geometry.page_size = 512;
    o.geometry.oob_size = 18;
    o.factory_bad_rate = 0.1;
    o.seed = seed;
    auto chip = make_chip(o);
    std::set<uint32_t> bad;
    for (uint32_t b = 0; b < 1024; b++) {
      if (chip->is_bad(b)) bad.insert(b);
    }
    return bad;
  };
  auto first = bad_set(42);
  EXPECT_EQ(first, bad_set(42));
  EXPECT_NE(first, bad_set(43));
  EXPECT_GT(first.size(), 50u);
  EXPECT_LT(first.size(), 160u);
}

TEST(BadBlocks, MarkBadProgramsZeroWithoutADoubleProgram) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 11);
  auto oob = filled(kOob, 0xC3);
  oob[0] = 0xFF;  // a good block's marker
  ASSERT_EQ(chip->program_page(24, data.data(), oob.data()), 0);
  ASSERT_EQ(chip->block_isbad(3), 0);
  ASSERT_EQ(chip->mark_bad(3), 0);
  EXPECT_EQ(chip->block_isbad(3), 1);
  EXPECT_TRUE(chip->is_bad(3));
  auto raw = stored(*chip, 24);
  EXPECT_EQ(raw[kPage], 0x00);
  EXPECT_EQ(raw[kPage + 1], 0xC3);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), raw.begin()));
  EXPECT_EQ(chip->counters().double_programs, 0u);
  EXPECT_EQ(chip->mark_bad(16), -EINVAL);
}

// ---------------------------------------------------------------------------
// Image files
// ---------------------------------------------------------------------------

TEST(Image, RoundTripKeepsDataMarkersAndLayout) {
  TempFile file;
  Options o = small_options();
  o.factory_bad_blocks = {5};
  auto data = pattern(kPage, 12);
  auto oob = pattern(kOob, 13);
  {
    auto chip = NandChip::create_image(file.path(), o);
    ASSERT_TRUE(chip.ok()) << chip.error();
    ASSERT_EQ(chip.value()->program_page(10, data.data(), oob.data()), 0);
    ASSERT_EQ(chip.value()->mark_bad(6), 0);
    ASSERT_TRUE(chip.value()->sync().ok());
  }
  EXPECT_EQ(file_size(file.path()), o.geometry.image_size());

  // Raw layout: page after page, each main data then the whole OOB.
  std::ifstream in(file.path(), std::ios::binary);
  std::vector<uint8_t> raw(kPage + kOob);
  in.seekg(std::streamoff(10 * (kPage + kOob)));
  in.read(reinterpret_cast<char*>(raw.data()), std::streamsize(raw.size()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), raw.begin()));
  EXPECT_TRUE(std::equal(oob.begin(), oob.end(), raw.begin() + kPage));

  auto chip = NandChip::open_image(file.path(), o, OpenMode::ReadWrite);
  ASSERT_TRUE(chip.ok()) << chip.error();
  std::vector<uint8_t> got(kPage), got_oob(kOob);
  ASSERT_EQ(chip.value()->read_page(10, got.data(), got_oob.data()), 0);
  EXPECT_EQ(got, data);
  EXPECT_EQ(got_oob, oob);
  EXPECT_TRUE(chip.value()->is_bad(5));
  EXPECT_TRUE(chip.value()->is_bad(6));
  EXPECT_FALSE(chip.value()->is_bad(4));
}

TEST(Image, OpenedPagesAreJudgedByTheirContentAtFirstProgram) {
  TempFile file;
  Options o = small_options();
  auto data = pattern(kPage, 14);
  {
    auto chip = NandChip::create_image(file.path(), o);
    ASSERT_TRUE(chip.ok());
    auto oob = filled(kOob, 0xFF);
    oob[40] = 0x7F;  // a page programmed in its OOB alone
    ASSERT_EQ(chip.value()->program_page(0, data.data(), nullptr), 0);
    ASSERT_EQ(chip.value()->program_page(1, nullptr, oob.data()), 0);
  }
  auto chip = NandChip::open_image(file.path(), o, OpenMode::ReadWrite);
  ASSERT_TRUE(chip.ok());
  EXPECT_EQ(chip.value()->program_page(0, data.data(), nullptr), -EIO);
  EXPECT_EQ(chip.value()->program_page(1, data.data(), nullptr), -EIO);
  EXPECT_EQ(chip.value()->program_page(2, data.data(), nullptr), 0);
  EXPECT_EQ(chip.value()->counters().double_programs, 2u);
}

TEST(Image, PrivateModeNeverReachesTheFile) {
  TempFile file;
  Options o = small_options();
  {
    auto chip = NandChip::create_image(file.path(), o);
    ASSERT_TRUE(chip.ok());
    auto data = pattern(kPage, 15);
    ASSERT_EQ(chip.value()->program_page(3, data.data(), nullptr), 0);
  }
  uint64_t before = file_hash(file.path());
  {
    auto chip = NandChip::open_image(file.path(), o, OpenMode::Private);
    ASSERT_TRUE(chip.ok()) << chip.error();
    auto data = pattern(kPage, 16);
    ASSERT_EQ(chip.value()->erase_block(0), 0);
    ASSERT_EQ(chip.value()->program_page(3, data.data(), nullptr), 0);
    ASSERT_EQ(chip.value()->mark_bad(9), 0);
    std::vector<uint8_t> got(kPage);
    ASSERT_EQ(chip.value()->read_page(3, got.data(), nullptr), 0);
    EXPECT_EQ(got, data);  // the chip itself sees its changes
    ASSERT_TRUE(chip.value()->sync().ok());
  }
  EXPECT_EQ(file_hash(file.path()), before);
}

TEST(Image, ReadOnlyModeRefusesEveryChange) {
  TempFile file;
  Options o = small_options();
  auto data = pattern(kPage, 17);
  {
    auto chip = NandChip::create_image(file.path(), o);
    ASSERT_TRUE(chip.ok());
    ASSERT_EQ(chip.value()->program_page(0, data.data(), nullptr), 0);
  }
  uint64_t before = file_hash(file.path());
  auto chip = NandChip::open_image(file.path(), o, OpenMode::ReadOnly);
  ASSERT_TRUE(chip.ok()) << chip.error();
  NandChip& c = *chip.value();
  EXPECT_EQ(c.program_page(1, data.data(), nullptr), -EROFS);
  EXPECT_EQ(c.erase_block(0), -EROFS);
  EXPECT_EQ(c.mark_bad(0), -EROFS);
  std::vector<uint8_t> got(kPage);
  ASSERT_EQ(c.read_page(0, got.data(), nullptr), 0);
  EXPECT_EQ(got, data);

  mtd_info* mtd = c.mtd();
  EXPECT_EQ(mtd->flags & MTD_WRITEABLE, 0u);
  size_t retlen = 0;
  EXPECT_EQ(mtd->write(mtd, 0, kPage, &retlen, data.data()), -EROFS);
  erase_info ei{};
  ei.mtd = mtd;
  ei.len = mtd->erasesize;
  EXPECT_EQ(mtd->erase(mtd, &ei), -EROFS);
  EXPECT_EQ(mtd->block_markbad(mtd, 0), -EROFS);
  EXPECT_EQ(file_hash(file.path()), before);
}

TEST(Image, WrongSizedImagesAreRefusedWithBothSizes) {
  TempFile file;
  Options o = small_options();
  ASSERT_TRUE(NandChip::create_image(file.path(), o).ok());
  uint64_t expected = o.geometry.image_size();
  std::string expected_text = std::to_string(expected);

  ASSERT_EQ(truncate(file.path().c_str(), off_t(expected - 1)), 0);
  auto chip = NandChip::open_image(file.path(), o, OpenMode::ReadWrite);
  ASSERT_FALSE(chip.ok());
  EXPECT_NE(chip.error().find("truncated"), std::string::npos) << chip.error();
  EXPECT_NE(chip.error().find(expected_text), std::string::npos) << chip.error();
  EXPECT_NE(chip.error().find(std::to_string(expected - 1)), std::string::npos);

  ASSERT_EQ(truncate(file.path().c_str(), off_t(expected + 512)), 0);
  chip = NandChip::open_image(file.path(), o, OpenMode::Private);
  ASSERT_FALSE(chip.ok());
  EXPECT_NE(chip.error().find("oversized"), std::string::npos) << chip.error();
  EXPECT_NE(chip.error().find(std::to_string(expected + 512)), std::string::npos);

  EXPECT_FALSE(NandChip::open_image("/tmp/nand_sim_test_missing_image", o, OpenMode::ReadOnly).ok());
}

TEST(Image, ReadOnlyFileCannotBeOpenedForWriting) {
  TempFile file;
  Options o = small_options();
  ASSERT_TRUE(NandChip::create_image(file.path(), o).ok());
  ASSERT_EQ(chmod(file.path().c_str(), 0444), 0);
  auto attempt = [&]() {
    auto chip = NandChip::open_image(file.path(), o, OpenMode::ReadWrite);
    return chip.ok() ? std::string() : chip.error();
  };
  if (geteuid() != 0) {
    std::string error = attempt();
    EXPECT_NE(error.find("read-only"), std::string::npos) << error;
  } else {
    // Root ignores file permissions: try as an unprivileged user.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      std::string error = attempt();
      _exit(error.find("read-only") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot drop privileges";
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  // The same file opens fine without write access.
  EXPECT_TRUE(NandChip::open_image(file.path(), o, OpenMode::ReadOnly).ok());
  EXPECT_TRUE(NandChip::open_image(file.path(), o, OpenMode::Private).ok());
}

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------

TEST(Faults, FailedProgramTearsThePageUntilErase) {
  auto chip = make_chip(small_options());
  chip->fail_program_at(4);
  auto zeros = filled(kPage, 0x00);
  EXPECT_EQ(chip->program_page(4, zeros.data(), nullptr), -EIO);
  EXPECT_TRUE(chip->is_damaged(4));
  auto raw = stored(*chip, 4);
  size_t cleared = 0;
  for (uint32_t i = 0; i < kPage; i++) cleared += 8 - std::popcount(unsigned(raw[i]));
  EXPECT_GT(cleared, 0u);              // some bits went
  EXPECT_LT(cleared, kPage * 8u);      // but not all of them
  EXPECT_EQ(raw[kPage], 0xFF);         // no OOB was given

  std::vector<uint8_t> got(kPage);
  EXPECT_EQ(chip->read_page(4, got.data(), nullptr), -EBADMSG);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), raw.begin()));  // as stored
  EXPECT_EQ(chip->counters().programs, 1u);

  ASSERT_EQ(chip->erase_block(0), 0);
  EXPECT_FALSE(chip->is_damaged(4));
  EXPECT_EQ(chip->read_page(4, got.data(), nullptr), 0);
  EXPECT_EQ(chip->program_page(4, zeros.data(), nullptr), -EIO);  // every time
  EXPECT_EQ(chip->program_page(5, zeros.data(), nullptr), 0);
}

TEST(Faults, FailedEraseLeavesTheBlockPartlyErasedAndDamaged) {
  auto chip = make_chip(small_options(4, 64));
  auto zeros = filled(kPage, 0x00);
  for (uint64_t page = 64; page < 128; page++) {
    ASSERT_EQ(chip->program_page(page, zeros.data(), nullptr), 0);
  }
  chip->fail_erase_at(1);
  EXPECT_EQ(chip->erase_block(1), -EIO);
  size_t erased = 0;
  std::vector<uint8_t> got(kPage);
  for (uint64_t page = 64; page < 128; page++) {
    EXPECT_TRUE(chip->is_damaged(page));
    EXPECT_EQ(chip->read_page(page, got.data(), nullptr), -EBADMSG);
    if (stored(*chip, page) == filled(kPage + kOob, 0xFF)) erased++;
  }
  EXPECT_GT(erased, 0u);
  EXPECT_LT(erased, 64u);
  EXPECT_EQ(chip->erase_block(1), -EIO);  // every time
  EXPECT_EQ(chip->counters().erases, 2u);

  chip->clear_faults();
  ASSERT_EQ(chip->erase_block(1), 0);
  EXPECT_EQ(chip->read_page(64, got.data(), nullptr), 0);
  EXPECT_FALSE(chip->is_damaged(127));
}

TEST(Faults, NthProgramAndNthEraseFailOnce) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 18);
  chip->fail_nth_program(3);
  EXPECT_EQ(chip->program_page(0, data.data(), nullptr), 0);
  EXPECT_EQ(chip->program_page(1, data.data(), nullptr), 0);
  EXPECT_EQ(chip->program_page(2, data.data(), nullptr), -EIO);
  EXPECT_EQ(chip->program_page(3, data.data(), nullptr), 0);
  EXPECT_TRUE(chip->is_damaged(2));
  EXPECT_FALSE(chip->is_damaged(1));

  chip->fail_nth_erase(2);
  EXPECT_EQ(chip->erase_block(4), 0);
  EXPECT_EQ(chip->erase_block(5), -EIO);
  EXPECT_EQ(chip->erase_block(5), 0);
  chip->fail_nth_erase(1);
  EXPECT_EQ(chip->erase_block(6), -EIO);
}

TEST(Faults, RatesAreDeterministicForTheSeed) {
  auto outcomes = [](uint64_t seed) {
    Options o = small_options(64, 8);
    o.seed = seed;
    auto chip = make_chip(o);
    chip->set_program_fail_rate(0.3);
    chip->set_erase_fail_rate(0.3);
    auto data = pattern(kPage, 19);
    std::vector<int> results;
    for (uint64_t page = 0; page < 256; page++) {
      results.push_back(chip->program_page(page, data.data(), nullptr));
    }
    for (uint32_t block = 32; block < 64; block++) results.push_back(chip->erase_block(block));
    return results;
  };
  auto first = outcomes(7);
  EXPECT_EQ(first, outcomes(7));
  EXPECT_NE(first, outcomes(8));
  size_t failures = size_t(std::count(first.begin(), first.end(), -EIO));
  EXPECT_GT(failures, 40u);   // about 0.3 * 288
  EXPECT_LT(failures, 140u);
}

TEST(Faults, GrownBadBlockFailsProgramsAndErases) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 20);
  chip->grow_bad_block(2);
  EXPECT_EQ(chip->program_page(16, data.data(), nullptr), -EIO);
  EXPECT_EQ(chip->program_page(23, data.data(), nullptr), -EIO);
  EXPECT_EQ(chip->erase_block(2), -EIO);
  EXPECT_EQ(chip->erase_block(2), -EIO);
  EXPECT_EQ(chip->program_page(24, data.data(), nullptr), 0);
  EXPECT_EQ(chip->erase_block(3), 0);
  EXPECT_FALSE(chip->is_bad(2));  // marking it is the caller's business
}

TEST(Faults, InjectedReadErrorsLastUntilErase) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 21);
  auto oob = pattern(kOob, 22);
  ASSERT_EQ(chip->program_page(1, data.data(), oob.data()), 0);
  ASSERT_EQ(chip->program_page(2, data.data(), oob.data()), 0);
  chip->inject_read_error(1, -EUCLEAN);
  chip->inject_read_error(2, -EBADMSG);
  auto before = stored(*chip, 2);

  std::vector<uint8_t> got(kPage), got_oob(kOob);
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(chip->read_page(1, got.data(), got_oob.data()), -EUCLEAN);
    EXPECT_EQ(got, data);
    EXPECT_EQ(got_oob, oob);
    EXPECT_EQ(chip->read_page(2, got.data(), nullptr), -EBADMSG);
    size_t flipped = bit_difference(got, data);
    EXPECT_GE(flipped, 1u);
    EXPECT_LE(flipped, 3u);
  }
  EXPECT_EQ(stored(*chip, 2), before);  // the flips are in the copy only
  EXPECT_EQ(chip->read_page(0, got.data(), nullptr), 0);

  ASSERT_EQ(chip->erase_block(0), 0);
  EXPECT_EQ(chip->read_page(1, got.data(), nullptr), 0);
  EXPECT_EQ(chip->read_page(2, got.data(), nullptr), 0);
  EXPECT_EQ(got, filled(kPage, 0xFF));
}

TEST(Faults, BitflipRatesApplyPerRead) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 23);
  ASSERT_EQ(chip->program_page(0, data.data(), nullptr), 0);
  std::vector<uint8_t> got(kPage);

  chip->set_bitflip_rates(1.0, 0.0);
  EXPECT_EQ(chip->read_page(0, got.data(), nullptr), -EUCLEAN);
  EXPECT_EQ(got, data);
  chip->set_bitflip_rates(0.0, 1.0);
  EXPECT_EQ(chip->read_page(0, got.data(), nullptr), -EBADMSG);
  EXPECT_GE(bit_difference(got, data), 1u);
  std::vector<uint8_t> spare(16);
  EXPECT_EQ(chip->read_page_range(0, nullptr, spare.data(), 2, 16), -EBADMSG);
  EXPECT_NE(spare, filled(16, 0xFF));

  auto sequence = [&](uint64_t seed) {
    Options o = small_options();
    o.seed = seed;
    auto c = make_chip(o);
    c->set_bitflip_rates(0.2, 0.2);
    std::vector<int> results;
    std::vector<uint8_t> buf(kPage);
    for (int i = 0; i < 200; i++) results.push_back(c->read_page(0, buf.data(), nullptr));
    return results;
  };
  auto first = sequence(3);
  EXPECT_EQ(first, sequence(3));
  EXPECT_GT(std::count(first.begin(), first.end(), -EUCLEAN), 10);
  EXPECT_GT(std::count(first.begin(), first.end(), -EBADMSG), 10);
  EXPECT_GT(std::count(first.begin(), first.end(), 0), 60);
}

TEST(Faults, ClearFaultsDisarmsEverything) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 24);
  chip->fail_program_at(0);
  chip->fail_erase_at(1);
  chip->fail_nth_program(1);
  chip->fail_nth_erase(1);
  chip->set_program_fail_rate(1.0);
  chip->set_erase_fail_rate(1.0);
  chip->grow_bad_block(2);
  chip->inject_read_error(3, -EBADMSG);
  chip->set_bitflip_rates(0.5, 0.5);
  chip->power_cut_after(0, CutKind::Clean);
  chip->clear_faults();

  EXPECT_EQ(chip->program_page(0, data.data(), nullptr), 0);
  EXPECT_EQ(chip->erase_block(1), 0);
  EXPECT_EQ(chip->program_page(16, data.data(), nullptr), 0);
  std::vector<uint8_t> got(kPage);
  for (int i = 0; i < 20; i++) EXPECT_EQ(chip->read_page(3, got.data(), nullptr), 0);
  EXPECT_FALSE(chip->powered_off());
}

// ---------------------------------------------------------------------------
// Power cuts
// ---------------------------------------------------------------------------

TEST(PowerCut, CleanCutKeepsEarlierOperationsAndRefusesLaterOnes) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 25);
  ASSERT_EQ(chip->program_page(8, data.data(), nullptr), 0);
  uint64_t base = chip->mutating_ops();
  chip->power_cut_after(3, CutKind::Clean);
  EXPECT_EQ(chip->program_page(0, data.data(), nullptr), 0);
  EXPECT_EQ(chip->program_page(1, data.data(), nullptr), 0);
  EXPECT_EQ(chip->erase_block(1), 0);
  EXPECT_FALSE(chip->powered_off());
  EXPECT_EQ(chip->program_page(2, data.data(), nullptr), -EIO);  // the cut
  EXPECT_TRUE(chip->powered_off());
  EXPECT_EQ(chip->mutating_ops(), base + 4);

  std::vector<uint8_t> got(kPage);
  EXPECT_EQ(chip->read_page(0, got.data(), nullptr), -EIO);
  EXPECT_EQ(chip->block_isbad(0), -EIO);
  EXPECT_EQ(chip->erase_block(2), -EIO);
  EXPECT_EQ(chip->mark_bad(2), -EIO);
  mtd_info* mtd = chip->mtd();
  EXPECT_EQ(mtd->block_isbad(mtd, 0), -EIO);

  chip->power_on();
  EXPECT_FALSE(chip->powered_off());
  ASSERT_EQ(chip->read_page(0, got.data(), nullptr), 0);
  EXPECT_EQ(got, data);
  ASSERT_EQ(chip->read_page(1, got.data(), nullptr), 0);
  EXPECT_EQ(got, data);
  EXPECT_EQ(chip->read_page(8, got.data(), nullptr), 0);
  EXPECT_EQ(got, filled(kPage, 0xFF));  // the erase before the cut happened
  EXPECT_EQ(chip->read_page(2, got.data(), nullptr), 0);
  EXPECT_EQ(got, filled(kPage, 0xFF));  // the program at the cut did not
  EXPECT_EQ(chip->program_page(2, data.data(), nullptr), 0);
}

TEST(PowerCut, TornProgramDamagesThePageUntilErase) {
  auto chip = make_chip(small_options());
  auto zeros = filled(kPage, 0x00);
  chip->power_cut_after(0, CutKind::TornProgram);
  EXPECT_EQ(chip->program_page(5, zeros.data(), zeros.data()), -EIO);
  EXPECT_TRUE(chip->powered_off());
  chip->power_on();
  EXPECT_TRUE(chip->is_damaged(5));
  auto raw = stored(*chip, 5);
  EXPECT_NE(raw, filled(kPage + kOob, 0xFF));
  EXPECT_NE(raw, filled(kPage + kOob, 0x00));
  std::vector<uint8_t> got(kPage);
  EXPECT_EQ(chip->read_page(5, got.data(), nullptr), -EBADMSG);
  EXPECT_EQ(chip->read_page(5, got.data(), nullptr), -EBADMSG);
  ASSERT_EQ(chip->erase_block(0), 0);
  EXPECT_EQ(chip->read_page(5, got.data(), nullptr), 0);
  EXPECT_EQ(got, filled(kPage, 0xFF));
}

TEST(PowerCut, TornProgramDropsAnEraseAtTheCut) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 26);
  ASSERT_EQ(chip->program_page(0, data.data(), nullptr), 0);
  chip->power_cut_after(0, CutKind::TornProgram);
  EXPECT_EQ(chip->erase_block(0), -EIO);
  chip->power_on();
  std::vector<uint8_t> got(kPage);
  EXPECT_EQ(chip->read_page(0, got.data(), nullptr), 0);
  EXPECT_EQ(got, data);
}

TEST(PowerCut, TornEraseDamagesEveryPageOfTheBlock) {
  auto chip = make_chip(small_options(4, 64));
  auto data = pattern(kPage, 27);
  for (uint64_t page = 0; page < 64; page++) {
    ASSERT_EQ(chip->program_page(page, data.data(), nullptr), 0);
  }
  chip->power_cut_after(0, CutKind::TornErase);
  EXPECT_EQ(chip->erase_block(0), -EIO);
  chip->power_on();
  size_t erased = 0, kept = 0;
  std::vector<uint8_t> got(kPage);
  for (uint64_t page = 0; page < 64; page++) {
    EXPECT_EQ(chip->read_page(page, got.data(), nullptr), -EBADMSG);
    if (got == filled(kPage, 0xFF)) erased++;
    if (got == data) kept++;
  }
  EXPECT_GT(erased, 0u);
  EXPECT_GT(kept, 0u);
  EXPECT_EQ(erased + kept, 64u);
  ASSERT_EQ(chip->erase_block(0), 0);
  EXPECT_EQ(chip->read_page(7, got.data(), nullptr), 0);
}

TEST(PowerCut, MarkBadAtTheCutIsDropped) {
  auto chip = make_chip(small_options());
  chip->power_cut_after(0, CutKind::TornProgram);
  EXPECT_EQ(chip->mark_bad(3), -EIO);
  chip->power_on();
  EXPECT_EQ(chip->block_isbad(3), 0);
}

// ---------------------------------------------------------------------------
// Counters and device time
// ---------------------------------------------------------------------------

TEST(Counters, CountOperationsAndDeviceTime) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 28);
  auto oob = pattern(kOob, 29);
  std::vector<uint8_t> spare(16);
  // 40 MB/s: 25 ns per byte.
  ASSERT_EQ(chip->program_page(8, data.data(), oob.data()), 0);  // 200 us + 2112 * 25 ns
  ASSERT_EQ(chip->read_page(8, data.data(), oob.data()), 0);     // 25 us + 2112 * 25 ns
  ASSERT_EQ(chip->read_page_range(9, nullptr, spare.data(), 2, 16), 0);  // 25 us + 400 ns
  ASSERT_EQ(chip->erase_block(2), 0);                            // 2000 us

  Counters total = chip->counters();
  EXPECT_EQ(total.programs, 1u);
  EXPECT_EQ(total.reads, 2u);
  EXPECT_EQ(total.erases, 1u);
  EXPECT_EQ(total.double_programs, 0u);
  EXPECT_EQ(total.device_time_ns, 252800u + 77800u + 25400u + 2000000u);

  Counters b1 = chip->block_counters(1);
  EXPECT_EQ(b1.programs, 1u);
  EXPECT_EQ(b1.reads, 2u);
  EXPECT_EQ(b1.erases, 0u);
  EXPECT_EQ(b1.device_time_ns, 252800u + 77800u + 25400u);
  EXPECT_EQ(chip->block_counters(2).erases, 1u);
  EXPECT_EQ(chip->block_counters(2).device_time_ns, 2000000u);

  chip->reset_counters();
  EXPECT_EQ(chip->counters().device_time_ns, 0u);
  EXPECT_EQ(chip->block_counters(1).reads, 0u);
}

TEST(Counters, FailedOperationsCountAndTimingIsConfigurable) {
  Options o = small_options();
  o.timing = Timing{10, 100, 1000, 20};  // 50 ns per byte
  auto chip = make_chip(o);
  auto data = pattern(kPage, 30);
  chip->fail_program_at(0);
  chip->fail_erase_at(3);
  EXPECT_EQ(chip->program_page(0, data.data(), nullptr), -EIO);
  EXPECT_EQ(chip->erase_block(3), -EIO);
  EXPECT_EQ(chip->read_page(0, data.data(), nullptr), -EBADMSG);
  Counters c = chip->counters();
  EXPECT_EQ(c.programs, 1u);
  EXPECT_EQ(c.erases, 1u);
  EXPECT_EQ(c.reads, 1u);
  EXPECT_EQ(c.device_time_ns, (100000u + 2048u * 50) + 1000000u + (10000u + 2048u * 50));
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

TEST(Mtd, ChipDeviceDescribesTheGeometry) {
  auto chip = make_chip(small_options());
  mtd_info* mtd = chip->mtd();
  EXPECT_STREQ(mtd->name, "nand0");
  EXPECT_EQ(mtd->index, 0);
  EXPECT_EQ(mtd->type, MTD_NANDFLASH);
  EXPECT_EQ(mtd->flags & MTD_WRITEABLE, MTD_WRITEABLE);
  EXPECT_EQ(mtd->size, 16u * 8 * kPage);
  EXPECT_EQ(mtd->erasesize, 8u * kPage);
  EXPECT_EQ(mtd->writesize, kPage);
  EXPECT_EQ(mtd->oobsize, kOob);
  EXPECT_EQ(mtd->oobavail, kOob - 2);
  ASSERT_NE(mtd->ecclayout, nullptr);
  EXPECT_EQ(mtd->ecclayout->oobfree[0].offset, 2u);
  EXPECT_EQ(mtd->ecclayout->oobfree[0].length, kOob - 2);
  EXPECT_NE(mtd->priv, nullptr);
  EXPECT_NE(mtd->sync, nullptr);
}

TEST(Mtd, PartitionTranslatesAddressesAndPlacesTheSpareRecord) {
  Options o = small_options();
  o.geometry.spare_offset = 6;
  auto chip = make_chip(o);
  MtdPartition part(*chip, PartitionSpec{"NFTL_Part", 4 * 8 * kPage, 8 * 8 * kPage, false}, 3);
  mtd_info* mtd = part.mtd();
  EXPECT_STREQ(mtd->name, "NFTL_Part");
  EXPECT_EQ(mtd->index, 3);
  EXPECT_EQ(mtd->size, 8u * 8 * kPage);
  EXPECT_EQ(mtd->oobavail, kOob - 6);
  EXPECT_EQ(mtd->ecclayout->oobfree[0].offset, 6u);
  EXPECT_EQ(part.first_block(), 4u);
  EXPECT_EQ(part.block_count(), 8u);

  auto data = pattern(kPage, 31);
  auto record = pattern(16, 32);
  uint64_t addr = 1 * mtd->erasesize + 2 * mtd->writesize;  // block 1, page 2
  mtd_oob_ops ops = spare_ops(data.data(), record.data(), 6);
  ASSERT_EQ(mtd->write_oob(mtd, addr, &ops), 0);
  EXPECT_EQ(ops.retlen, kPage);
  EXPECT_EQ(ops.oobretlen, 16u);

  auto raw = stored(*chip, (4 + 1) * 8 + 2);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), raw.begin()));
  for (uint32_t i = 0; i < 6; i++) EXPECT_EQ(raw[kPage + i], 0xFF);
  EXPECT_TRUE(std::equal(record.begin(), record.end(), raw.begin() + kPage + 6));
  EXPECT_EQ(raw[kPage + 22], 0xFF);

  // Spare-only read: no main buffer, len still writesize.
  std::vector<uint8_t> spare(16, 0);
  mtd_oob_ops read_ops = spare_ops(nullptr, spare.data(), 6);
  ASSERT_EQ(mtd->read_oob(mtd, addr, &read_ops), 0);
  EXPECT_EQ(spare, record);
  EXPECT_EQ(read_ops.retlen, 0u);
  EXPECT_EQ(read_ops.oobretlen, 16u);

  std::vector<uint8_t> got(kPage);
  size_t retlen = 0;
  ASSERT_EQ(mtd->read(mtd, addr, kPage, &retlen, got.data()), 0);
  EXPECT_EQ(got, data);
  EXPECT_EQ(retlen, kPage);

  // Plain write at the partition's last page lands in chip block 11.
  uint64_t last = mtd->size - mtd->writesize;
  ASSERT_EQ(mtd->write(mtd, last, kPage, &retlen, data.data()), 0);
  EXPECT_EQ(stored(*chip, 12 * 8 - 1)[0], data[0]);
  EXPECT_EQ(chip->block_counters(11).programs, 1u);
}

TEST(Mtd, PartitionRefusesBadRequests) {
  auto chip = make_chip(small_options());
  MtdPartition part(*chip, PartitionSpec{"cache", 2 * 8 * kPage, 2 * 8 * kPage, false}, 0);
  mtd_info* mtd = part.mtd();
  auto data = pattern(kPage, 33);
  auto record = pattern(16, 34);
  size_t retlen = 7;

  EXPECT_EQ(mtd->write(mtd, mtd->size, kPage, &retlen, data.data()), -EINVAL);  // past the end
  EXPECT_EQ(retlen, 0u);
  EXPECT_EQ(mtd->write(mtd, 100, kPage, &retlen, data.data()), -EINVAL);        // misaligned
  EXPECT_EQ(mtd->write(mtd, 0, kPage - 1, &retlen, data.data()), -EINVAL);      // short
  EXPECT_EQ(mtd->read(mtd, mtd->size, kPage, &retlen, data.data()), -EINVAL);
  EXPECT_EQ(mtd->read(mtd, 512, kPage, &retlen, data.data()), -EINVAL);

  mtd_oob_ops ops = spare_ops(data.data(), record.data(), 0);
  EXPECT_EQ(mtd->write_oob(mtd, 0, &ops), -EINVAL);  // AUTO over the marker bytes
  ops = spare_ops(data.data(), record.data(), kOob - 15);
  EXPECT_EQ(mtd->write_oob(mtd, 0, &ops), -EINVAL);  // past the OOB area
  ops = spare_ops(data.data(), record.data());
  ops.len = 512;
  EXPECT_EQ(mtd->write_oob(mtd, 0, &ops), -EINVAL);  // main length with a main buffer
  ops = spare_ops(nullptr, nullptr, 2, 0);
  EXPECT_EQ(mtd->read_oob(mtd, 0, &ops), -EINVAL);   // nothing to transfer
  ops = spare_ops(data.data(), record.data());
  EXPECT_EQ(mtd->read_oob(mtd, mtd->size, &ops), -EINVAL);

  EXPECT_EQ(erase_at(mtd, 0, mtd->erasesize / 2), -EINVAL);
  EXPECT_EQ(erase_at(mtd, kPage, mtd->erasesize), -EINVAL);
  EXPECT_EQ(erase_at(mtd, mtd->size, mtd->erasesize), -EINVAL);
  EXPECT_EQ(mtd->block_isbad(mtd, mtd->size), -EINVAL);
  EXPECT_EQ(mtd->block_isbad(mtd, kPage), -EINVAL);
  EXPECT_EQ(mtd->block_markbad(mtd, mtd->size), -EINVAL);
  Counters c = chip->counters();
  EXPECT_EQ(c.programs + c.reads + c.erases, 0u);  // nothing reached the chip

  // PLACE mode may address any OOB byte; the raw marker is there to see.
  std::vector<uint8_t> marker(2);
  ops = spare_ops(nullptr, marker.data(), 0, 2);
  ops.mode = MTD_OOB_PLACE;
  EXPECT_EQ(mtd->read_oob(mtd, 0, &ops), 0);
  EXPECT_EQ(marker, filled(2, 0xFF));
}

TEST(Mtd, PartitionEraseAndBadBlocksTranslate) {
  auto chip = make_chip(small_options());
  MtdPartition part(*chip, PartitionSpec{"userdata", 8 * 8 * kPage, 8 * 8 * kPage, false}, 1);
  mtd_info* mtd = part.mtd();
  auto data = pattern(kPage, 35);
  for (uint64_t page = 8 * 8; page < 10 * 8; page++) {
    ASSERT_EQ(chip->program_page(page, data.data(), nullptr), 0);
  }

  static int callbacks = 0;
  callbacks = 0;
  erase_info ei{};
  ei.mtd = mtd;
  ei.addr = mtd->erasesize;  // partition block 1 = chip block 9
  ei.len = mtd->erasesize;
  ei.callback = [](erase_info*) { callbacks++; };
  ASSERT_EQ(mtd->erase(mtd, &ei), 0);
  EXPECT_EQ(ei.state, MTD_ERASE_DONE);
  EXPECT_EQ(callbacks, 1);
  EXPECT_EQ(stored(*chip, 9 * 8)[0], 0xFF);
  EXPECT_EQ(stored(*chip, 8 * 8)[0], data[0]);  // chip block 8 untouched

  chip->fail_erase_at(10);
  erase_info failed{};
  EXPECT_EQ(erase_at(mtd, 2 * mtd->erasesize, mtd->erasesize, &failed), -EIO);
  EXPECT_EQ(failed.state, MTD_ERASE_FAILED);
  EXPECT_EQ(failed.fail_addr, 2 * mtd->erasesize);

  EXPECT_EQ(mtd->block_isbad(mtd, 3 * mtd->erasesize), 0);
  EXPECT_EQ(mtd->block_markbad(mtd, 3 * mtd->erasesize), 0);
  EXPECT_EQ(mtd->block_isbad(mtd, 3 * mtd->erasesize), 1);
  EXPECT_TRUE(chip->is_bad(11));
  EXPECT_FALSE(chip->is_bad(3));
}

TEST(Mtd, ReadOnlyPartitionRefusesChangesButReads) {
  auto chip = make_chip(small_options());
  auto data = pattern(kPage, 36);
  ASSERT_EQ(chip->program_page(0, data.data(), nullptr), 0);
  MtdPartition part(*chip, PartitionSpec{"system", 0, 4 * 8 * kPage, true}, 0);
  mtd_info* mtd = part.mtd();
  EXPECT_EQ(mtd->flags & MTD_WRITEABLE, 0u);
  size_t retlen = 0;
  EXPECT_EQ(mtd->write(mtd, kPage, kPage, &retlen, data.data()), -EROFS);
  auto record = pattern(16, 37);
  mtd_oob_ops ops = spare_ops(data.data(), record.data());
  EXPECT_EQ(mtd->write_oob(mtd, kPage, &ops), -EROFS);
  EXPECT_EQ(erase_at(mtd, 0, mtd->erasesize), -EROFS);
  EXPECT_EQ(mtd->block_markbad(mtd, 0), -EROFS);
  std::vector<uint8_t> got(kPage);
  EXPECT_EQ(mtd->read(mtd, 0, kPage, &retlen, got.data()), 0);
  EXPECT_EQ(got, data);
  EXPECT_EQ(chip->mutating_ops(), 1u);
}

TEST(Mtd, ReadErrorsPassThroughWithTheirData) {
  auto chip = make_chip(small_options());
  MtdPartition part(*chip, PartitionSpec{"p", 8 * kPage, 8 * kPage, false}, 0);
  mtd_info* mtd = part.mtd();
  auto data = pattern(kPage, 38);
  auto record = pattern(16, 39);
  mtd_oob_ops ops = spare_ops(data.data(), record.data());
  ASSERT_EQ(mtd->write_oob(mtd, 0, &ops), 0);
  chip->inject_read_error(8, -EUCLEAN);
  std::vector<uint8_t> got(kPage), spare(16);
  ops = spare_ops(got.data(), spare.data());
  EXPECT_EQ(mtd->read_oob(mtd, 0, &ops), -EUCLEAN);
  EXPECT_EQ(got, data);
  EXPECT_EQ(spare, record);
  EXPECT_EQ(ops.retlen, kPage);
  ASSERT_EQ(mtd->write_oob(mtd, 0, &ops), -EIO);  // a second program
  EXPECT_EQ(ops.retlen, 0u);
}

TEST(Mtd, PartitionsOfOneChipWorkFromSeveralThreads) {
  auto chip = make_chip(small_options(16, 8));
  MtdPartition a(*chip, PartitionSpec{"a", 0, 8 * 8 * kPage, false}, 0);
  MtdPartition b(*chip, PartitionSpec{"b", 8 * 8 * kPage, 8 * 8 * kPage, false}, 1);
  auto worker = [](mtd_info* mtd, uint32_t seed, int* failures) {
    for (int round = 0; round < 3; round++) {
      for (uint64_t addr = 0; addr < mtd->size; addr += mtd->erasesize) {
        if (erase_at(mtd, addr, mtd->erasesize) != 0) ++*failures;
      }
      for (uint64_t addr = 0; addr < mtd->size; addr += mtd->writesize) {
        auto data = pattern(mtd->writesize, seed + uint32_t(addr / mtd->writesize));
        size_t retlen = 0;
        if (mtd->write(mtd, addr, mtd->writesize, &retlen, data.data()) != 0) ++*failures;
        std::vector<uint8_t> got(mtd->writesize);
        if (mtd->read(mtd, addr, mtd->writesize, &retlen, got.data()) != 0 || got != data) {
          ++*failures;
        }
      }
    }
  };
  int failures_a = 0, failures_b = 0;
  std::thread ta(worker, a.mtd(), 100, &failures_a);
  std::thread tb(worker, b.mtd(), 900, &failures_b);
  ta.join();
  tb.join();
  EXPECT_EQ(failures_a, 0);
  EXPECT_EQ(failures_b, 0);
  Counters c = chip->counters();
  EXPECT_EQ(c.programs, 3u * 128);
  EXPECT_EQ(c.reads, 3u * 128);
  EXPECT_EQ(c.erases, 3u * 16);
  EXPECT_EQ(c.double_programs, 0u);
}
