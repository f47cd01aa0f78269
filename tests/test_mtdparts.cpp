// Tests of the mtdparts partition list and of splitting a chip by it.
#include <gtest/gtest.h>

#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/nand_sim.h"

using namespace nandsim;

namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;
constexpr uint64_t kChip = 128 * kMiB;
constexpr uint64_t kErase = 128 * kKiB;

struct Part {
  const char* name;
  uint64_t offset, size;
  bool read_only;
};

struct GoodCase {
  const char* text;
  uint64_t chip;
  std::vector<Part> parts;
};

}  // namespace

TEST(MtdpartsParse, GoodListsGiveTheirLayout) {
  const GoodCase cases[] = {
      {"32M(system),16M(cache),16M(NFTL_Part),-(userdata)",
       kChip,
       {{"system", 0, 32 * kMiB, false},
        {"cache", 32 * kMiB, 16 * kMiB, false},
        {"NFTL_Part", 48 * kMiB, 16 * kMiB, false},
        {"userdata", 64 * kMiB, 64 * kMiB, false}}},
      {"gpmi-nand:1m(a),512K@4M(b)ro,0x40000(c:d),-@126M(e)",
       kChip,
       {{"a", 0, kMiB, false},
        {"b", 4 * kMiB, 512 * kKiB, true},
        {"c:d", 4 * kMiB + 512 * kKiB, 256 * kKiB, false},
        {"e", 126 * kMiB, 2 * kMiB, false}}},
      {"mtdparts=nand0:131072(one),256k(two)\n",
       kChip,
       {{"one", 0, kErase, false}, {"two", kErase, 2 * kErase, false}}},
      {"1g(big)", 2 * 1024 * kMiB, {{"big", 0, 1024 * kMiB, false}}},
      {"-(all)", kChip, {{"all", 0, kChip, false}}},
  };
  for (const auto& c : cases) {
    auto parts = parse_mtdparts(c.text, c.chip, kErase);
    ASSERT_TRUE(parts.ok()) << c.text << ": " << parts.message();
    ASSERT_EQ(parts.value().size(), c.parts.size()) << c.text;
    for (size_t i = 0; i < c.parts.size(); ++i) {
      const PartitionSpec& got = parts.value()[i];
      EXPECT_EQ(got.name, c.parts[i].name) << c.text;
      EXPECT_EQ(got.offset, c.parts[i].offset) << c.text << " " << got.name;
      EXPECT_EQ(got.size, c.parts[i].size) << c.text << " " << got.name;
      EXPECT_EQ(got.read_only, c.parts[i].read_only) << c.text << " " << got.name;
    }
  }
}

TEST(MtdpartsParse, BadListsSayWhatAndWhere) {
  const std::pair<const char*, const char*> cases[] = {
      // Malformed text: where.
      {"", "empty"},
      {"   ", "empty"},
      {"abc(x)", "position 1"},
      {"1M(a),xyz(b)", "position 7"},
      {"1M(a)1M(b)", "position 6"},
      {"1M(a)rw", "position 6"},
      {"1M", "expected '('"},
      {"1M@(a)", "offset"},
      {"1M(system", "not closed"},
      {"1M(a),", "last ','"},
      {"99999999999999999999(a)", "too large"},
      {"99999999999G(a)", "too large"},
      {":1M(a)", "device id"},
      {"a:1M(x);b:1M(y)", "one device"},
      // Layout errors: which partition.
      {"1M()", "empty partition name"},
      {"1M(a),0(b)", "'b' has size 0"},
      {"100k(a)", "not a multiple of the erase size"},
      {"1M@64k(a)", "offset of partition 'a'"},
      {"2M(a),1M@1M(b)", "'b' overlaps partition 'a'"},
      {"1M@4M(a),4M@1M(b)", "'b' overlaps partition 'a'"},
      {"1M@4M(a),1M@0(b)", "'b' at offset 0 bytes lies before partition 'a'"},
      {"1M@4M(a),1M(b),1M@2M(c)", "'c' at offset 2097152 bytes lies before"},
      {"200M(a)", "beyond the chip"},
      {"1M@128M(a)", "beyond the chip"},
      {"-(a),1M(b)", "'a' takes the rest"},
      {"128M(a),-(b)", "no room left for partition 'b'"},
  };
  for (const auto& [text, fragment] : cases) {
    auto parts = parse_mtdparts(text, kChip, kErase);
    ASSERT_FALSE(parts.ok()) << text << " was accepted";
    EXPECT_NE(parts.message().find(fragment), std::string::npos)
        << text << " -> " << parts.message();
  }
  auto no_erase_size = parse_mtdparts("1M(a)", kChip, 0);
  ASSERT_FALSE(no_erase_size.ok());
  EXPECT_NE(no_erase_size.message().find("erase size"), std::string::npos)
      << no_erase_size.message();
}

TEST(MtdpartsSplit, BuildsIndexedPartitionsOverTheChip) {
  Options o;
  o.geometry.pages_per_block = 4;
  o.geometry.blocks = 32;  // 8 KiB blocks, 256 KiB chip
  auto chip = NandChip::create_in_memory(o);
  ASSERT_TRUE(chip.ok()) << chip.message();
  auto parts = split_partitions(*chip.value(), "nand0:64k(system)ro,32k(cache),-(userdata)");
  ASSERT_TRUE(parts.ok()) << parts.message();
  ASSERT_EQ(parts.value().size(), 3u);

  MtdPartition& system = *parts.value()[0];
  EXPECT_EQ(system.block_count(), 8u);
  EXPECT_EQ(system.mtd()->flags & MTD_WRITEABLE, 0u);
  EXPECT_EQ(&system.chip(), chip.value().get());
  MtdPartition& userdata = *parts.value()[2];
  EXPECT_STREQ(userdata.mtd()->name, "userdata");
  EXPECT_EQ(userdata.mtd()->index, 2);
  EXPECT_EQ(userdata.first_block(), 12u);
  EXPECT_EQ(userdata.mtd()->size, 20u * 8 * kKiB);
  EXPECT_EQ(userdata.mtd()->flags & MTD_WRITEABLE, MTD_WRITEABLE);

  auto bad = split_partitions(*chip.value(), "64k(a),512k(b)");
  ASSERT_FALSE(bad.ok());
  EXPECT_TRUE(bad.status().IsInvalidArgument()) << bad.status().ToString();
  EXPECT_NE(bad.message().find("beyond the chip"), std::string::npos) << bad.message();
}

TEST(MtdpartsSplit, APartitionOutsideTheChipOrOffTheBlocksIsRefused) {
  Options o;
  o.geometry.pages_per_block = 4;
  o.geometry.blocks = 32;  // 8 KiB blocks, 256 KiB chip
  auto chip = NandChip::create_in_memory(o);
  ASSERT_TRUE(chip.ok()) << chip.message();
  const PartitionSpec bad[] = {
      {"empty", 0, 0, false},
      {"unaligned", 4 * kKiB, 8 * kKiB, false},
      {"ragged", 0, 12 * kKiB, false},
      {"beyond", 248 * kKiB, 16 * kKiB, false},
      {"after", 264 * kKiB, 8 * kKiB, false},
  };
  for (const PartitionSpec& part_def : bad) {
    auto part = MtdPartition::create(*chip.value(), part_def, 0);
    ASSERT_FALSE(part.ok()) << part_def.name;
    EXPECT_TRUE(part.status().IsInvalidArgument()) << part.status().ToString();
    EXPECT_NE(part.message().find("'" + part_def.name + "'"), std::string::npos) << part.message();
  }
  auto whole = MtdPartition::create(*chip.value(), {"whole", 0, 256 * kKiB, false}, 3);
  ASSERT_TRUE(whole.ok()) << whole.message();
  EXPECT_EQ(whole.value()->block_count(), 32u);
  EXPECT_EQ(whole.value()->mtd()->index, 3);
}
