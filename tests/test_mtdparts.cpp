// Tests of the mtdparts partition list and of splitting a chip by it.
#include <gtest/gtest.h>

#include "platform/nand_sim.h"

using namespace nandsim;

namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kChip = 128 * kMiB;
constexpr uint64_t kErase = 128 * kKiB;

std::vector<PartitionSpec> parse_ok(std::string_view text, uint64_t chip = kChip,
                                    uint64_t erase = kErase) {
  auto parts = parse_mtdparts(text, chip, erase);
  EXPECT_TRUE(parts.ok()) << text << ": " << parts.error();
  return parts.ok() ? parts.value() : std::vector<PartitionSpec>{};
}

std::string parse_error(std::string_view text, uint64_t chip = kChip, uint64_t erase = kErase) {
  auto parts = parse_mtdparts(text, chip, erase);
  EXPECT_FALSE(parts.ok()) << text << " was accepted";
  return parts.ok() ? std::string() : parts.error();
}

void expect_part(const PartitionSpec& p, const char* name, uint64_t offset, uint64_t size,
                 bool read_only = false) {
  EXPECT_EQ(p.name, name);
  EXPECT_EQ(p.offset, offset) << name;
  EXPECT_EQ(p.size, size) << name;
  EXPECT_EQ(p.read_only, read_only) << name;
}

#define EXPECT_ERROR_HAS(text, fragment)                                   \
  do {                                                                     \
    std::string error_ = parse_error(text);                                \
    EXPECT_NE(error_.find(fragment), std::string::npos) << text << " -> " << error_; \
  } while (0)

}  // namespace

TEST(MtdpartsParse, ConsecutivePartitionsAndTheRest) {
  auto parts = parse_ok("32M(system),16M(cache),16M(NFTL_Part),-(userdata)");
  ASSERT_EQ(parts.size(), 4u);
  expect_part(parts[0], "system", 0, 32 * kMiB);
  expect_part(parts[1], "cache", 32 * kMiB, 16 * kMiB);
  expect_part(parts[2], "NFTL_Part", 48 * kMiB, 16 * kMiB);
  expect_part(parts[3], "userdata", 64 * kMiB, 64 * kMiB);
}

TEST(MtdpartsParse, DeviceIdOffsetsSuffixesAndReadOnly) {
  auto parts = parse_ok("gpmi-nand:1m(a),512K@4M(b)ro,0x40000(c:d),-@126M(e)");
  ASSERT_EQ(parts.size(), 4u);
  expect_part(parts[0], "a", 0, kMiB);
  expect_part(parts[1], "b", 4 * kMiB, 512 * kKiB, true);
  expect_part(parts[2], "c:d", 4 * kMiB + 512 * kKiB, 256 * kKiB);
  expect_part(parts[3], "e", 126 * kMiB, 2 * kMiB);

  parts = parse_ok("mtdparts=nand0:131072(one),256k(two)\n");
  ASSERT_EQ(parts.size(), 2u);
  expect_part(parts[0], "one", 0, kErase);
  expect_part(parts[1], "two", kErase, 2 * kErase);

  parts = parse_ok("1g(big)", 2 * 1024 * kMiB);
  ASSERT_EQ(parts.size(), 1u);
  expect_part(parts[0], "big", 0, 1024 * kMiB);

  parts = parse_ok("-(all)");
  ASSERT_EQ(parts.size(), 1u);
  expect_part(parts[0], "all", 0, kChip);
}

TEST(MtdpartsParse, MalformedTextSaysWhere) {
  EXPECT_ERROR_HAS("", "empty");
  EXPECT_ERROR_HAS("   ", "empty");
  EXPECT_ERROR_HAS("abc(x)", "position 1");
  EXPECT_ERROR_HAS("1M(a),xyz(b)", "position 7");
  EXPECT_ERROR_HAS("1M(a)1M(b)", "position 6");
  EXPECT_ERROR_HAS("1M(a)rw", "position 6");
  EXPECT_ERROR_HAS("1M", "expected '('");
  EXPECT_ERROR_HAS("1M@(a)", "offset");
  EXPECT_ERROR_HAS("1M(system", "not closed");
  EXPECT_ERROR_HAS("1M(a),", "last ','");
  EXPECT_ERROR_HAS("99999999999999999999(a)", "too large");
  EXPECT_ERROR_HAS("99999999999G(a)", "too large");
  EXPECT_ERROR_HAS(":1M(a)", "device id");
  EXPECT_ERROR_HAS("a:1M(x);b:1M(y)", "one device");
}

TEST(MtdpartsParse, LayoutErrorsNameThePartition) {
  EXPECT_ERROR_HAS("1M()", "empty partition name");
  EXPECT_ERROR_HAS("1M(a),0(b)", "'b' has size 0");
  EXPECT_ERROR_HAS("100k(a)", "not a multiple of the erase size");
  EXPECT_ERROR_HAS("1M@64k(a)", "offset of partition 'a'");
  EXPECT_ERROR_HAS("2M(a),1M@1M(b)", "'b' overlaps partition 'a'");
  EXPECT_ERROR_HAS("1M@4M(a),4M@1M(b)", "'b' overlaps partition 'a'");
  EXPECT_ERROR_HAS("1M@4M(a),1M@0(b)", "'b' at offset 0 bytes lies before partition 'a'");
  EXPECT_ERROR_HAS("1M@4M(a),1M(b),1M@2M(c)", "'c' at offset 2097152 bytes lies before");
  EXPECT_ERROR_HAS("200M(a)", "beyond the chip");
  EXPECT_ERROR_HAS("1M@128M(a)", "beyond the chip");
  EXPECT_ERROR_HAS("-(a),1M(b)", "'a' takes the rest");
  EXPECT_ERROR_HAS("128M(a),-(b)", "no room left for partition 'b'");
  std::string error = parse_error("1M(a)", kChip, 0);
  EXPECT_NE(error.find("erase size"), std::string::npos) << error;
}

TEST(MtdpartsSplit, BuildsIndexedPartitionsOverTheChip) {
  Options o;
  o.geometry.pages_per_block = 4;
  o.geometry.blocks = 32;  // 8 KiB blocks, 256 KiB chip
  auto chip = NandChip::create_in_memory(o);
  ASSERT_TRUE(chip.ok()) << chip.error();
  auto parts = split_partitions(*chip.value(), "nand0:64k(system)ro,32k(cache),-(userdata)");
  ASSERT_TRUE(parts.ok()) << parts.error();
  ASSERT_EQ(parts.value().size(), 3u);

  MtdPartition& system = *parts.value()[0];
  EXPECT_EQ(system.part_def().name, "system");
  EXPECT_EQ(system.first_block(), 0u);
  EXPECT_EQ(system.block_count(), 8u);
  EXPECT_EQ(system.mtd()->index, 0);
  EXPECT_EQ(system.mtd()->flags & MTD_WRITEABLE, 0u);
  EXPECT_EQ(&system.chip(), chip.value().get());

  MtdPartition& userdata = *parts.value()[2];
  EXPECT_STREQ(userdata.mtd()->name, "userdata");
  EXPECT_EQ(userdata.mtd()->index, 2);
  EXPECT_EQ(userdata.first_block(), 12u);
  EXPECT_EQ(userdata.block_count(), 20u);
  EXPECT_EQ(userdata.mtd()->size, 20u * 8 * kKiB);
  EXPECT_EQ(userdata.mtd()->flags & MTD_WRITEABLE, MTD_WRITEABLE);

  auto bad = split_partitions(*chip.value(), "64k(a),512k(b)");
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(bad.error().find("beyond the chip"), std::string::npos) << bad.error();
}
