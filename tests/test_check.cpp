// The consistency checker the nets run after every step: silent on healthy
// partitions, reading one mapping page per full block and writing nothing,
// and naming each kind of corruption planted into a used partition.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "support/rig.h"

namespace {

std::string S(uint32 n) { return std::to_string(n); }

// 40 blocks of 16 pages: every logical page written, then a skewed rewrite,
// so that full blocks with valid and invalid pages, freed blocks and a
// partly written current block all exist.
struct Used : Rig {
  Used() {
    LogCapture quiet;
    for (uint32 n = 0; n < 128; ++n) EXPECT_EQ(write(n, 1), 0u);
    for (uint32 i = 0; i < 300; ++i) EXPECT_EQ(write((i * 7) % 32, 2 + i), 0u);
    for (uint32 i = 0; i < 5; ++i) EXPECT_EQ(write(127 - i, 1000 + i), 0u);
  }
  uint32 in_full_block() {  // a mapped logical page whose copy lies in a full block
    for (uint32 n = 0;; ++n)
      if (map(n).blkNO_in_chip != NYX_UNMAPPED_BLOCK && blk(map(n).blkNO_in_chip) != cur())
        return n;
  }
  std::vector<_phy_block_info*> list(bool free_one) {
    std::vector<_phy_block_info*> blocks;
    for (int n : free_one ? free_list(part) : invalid_list(part)) blocks.push_back(blk(n));
    return blocks;
  }
};

TEST(Checker, IsSilentOnAHealthyPartitionAndReadsOneMappingPagePerFullBlock) {
  EXPECT_NE(joined(nyx_nftl_check(nullptr)).find("partition record is null"), std::string::npos);
  Used r;
  r.chip().reset_counters();
  uint32 read = 0;
  EXPECT_EQ(joined(nyx_nftl_check(r.part, &read)), "");
  EXPECT_EQ(read, invalid_list(r.part).size());
  EXPECT_EQ(r.chip().counters().reads, read);
  EXPECT_EQ(r.chip().counters().programs + r.chip().counters().erases, 0u);
  // Trimmed pages whose copies stay on the flash are no problem.
  for (uint32 n : {r.in_full_block(), r.part->part_phy_page_map->phy_page_map[0], 127u})
    EXPECT_EQ(nand_trim_logic_page(r.part, n), 0u);
  EXPECT_EQ(joined(nyx_nftl_check(r.part)), "");
}

struct Corruption {
  const char* name;
  std::function<std::string(Used&, nyx_nftl_part_t*)> plant;  // returns what the report names
};
void PrintTo(const Corruption& c, std::ostream* os) { *os << c.name; }

const Corruption kCorruptions[] = {
    {"MapEntryNamingAnotherPageOfItsBlock",
     [](Used& r, nyx_nftl_part_t* p) {
       _nand_page& e = p->part_logic_page_map[r.in_full_block()];
       e.Page_NO = static_cast<uint16>((e.Page_NO + 1) % 15);
       return "maps to page " + S(e.Page_NO) + " of block " + S(e.blkNO_in_chip) +
              ", whose reverse-map entry";
     }},
    {"FullBlockInvalidCountOff",  // lowering the last block's count keeps the order
     [](Used& r, nyx_nftl_part_t*) {
       _phy_block_info* last = r.list(false).back();
       const uint32 count = last->invalid_page_count--;
       return "full block " + S(r.no(last)) + ": invalid_page_count is " + S(count - 1) +
              " but a recount gives " + S(count);
     }},
    {"FreeBlockNumOffByOne",
     [](Used& r, nyx_nftl_part_t* p) {
       const uint32 length = r.list(true).size();
       p->free_block_num = static_cast<uint16>(length + 1);
       return "free_block_num is " + S(length + 1) + " but the free list holds " + S(length) +
              " blocks";
     }},
    // A full block holding a stale copy of a page whose valid copy lies in
    // another full block, made newer: the mount would prefer the stale copy.
    {"StaleCopyThatWouldWinAtRemount",
     [](Used& r, nyx_nftl_part_t* p) {
       for (_phy_block_info* stale : r.list(false)) {
         std::vector<uchar> page(r.page_size());
         _physic_op_par op = nyx_nftl_page_par(p, r.no(stale), 15, page.data(), nullptr);
         EXPECT_EQ(p->nand_read_page(p, &op), 0);
         _phy_page_mapping reverse;
         nyx_nftl_decode_mapping_page(page.data(), r.page_size(), &reverse);
         for (uint32 i = 0; i < 15; ++i) {
           _phy_block_info* valid = r.blk(r.map(reverse.phy_page_map[i]).blkNO_in_chip);
           if (valid == stale || valid == r.cur()) continue;
           stale->block_used_count = valid->block_used_count + 1;
           return "its stale copy at page " + S(i) + " of block " + S(r.no(stale)) +
                  " (block_used_count";
         }
       }
       return std::string("<no stale copy in one full block of a page valid in another>");
     }},
    // Unmapped as a trim unmaps, but not marked trimmed: a lost page.
    {"PageUnmappedWithoutATrim",
     [](Used& r, nyx_nftl_part_t* p) {
       const uint32 n = r.in_full_block();
       const _nand_page was = r.map(n);
       EXPECT_EQ(nand_trim_logic_page(p, n), 0u);
       nyx_nftl_set_page_trimmed(p, n, false);
       return "logical page " + S(n) + " is unmapped but page " + S(was.Page_NO) + " of block " +
              S(was.blkNO_in_chip) + " holds a copy";
     }},
    {"MappedPageMarkedTrimmed",
     [](Used& r, nyx_nftl_part_t* p) {
       nyx_nftl_set_page_trimmed(p, r.in_full_block(), true);
       return "logical page " + S(r.in_full_block()) + " is mapped but still marked trimmed";
     }},
};

class CorruptionTest : public ::testing::TestWithParam<Corruption> {};

TEST_P(CorruptionTest, IsReported) {
  Used r;
  ASSERT_EQ(r.problems(), "");
  const std::string fragment = GetParam().plant(r, r.part);
  const std::vector<std::string> problems = nyx_nftl_check(r.part);
  EXPECT_NE(joined(problems).find(fragment), std::string::npos)
      << fragment << " in:" << joined(problems);
  EXPECT_LT(problems.size(), 40u) << "long runs of one kind are summarised";
}

// Many map entries naming the wrong page: past the lines of a kind, the
// problems are counted on one line, and the count covers them all.
TEST(Checker, CountsEveryProblemListedOrNot) {
  Used r;
  for (uint32 n = 0; n < 128; ++n) {
    _nand_page& e = r.part->part_logic_page_map[n];
    if (e.blkNO_in_chip != NYX_UNMAPPED_BLOCK && r.blk(e.blkNO_in_chip) != r.cur())
      e.Page_NO = static_cast<uint16>((e.Page_NO + 1) % 15);
  }
  uint32 found = 0;
  const std::vector<std::string> lines = nyx_nftl_check(r.part, nullptr, &found);
  uint32 counted = 0;
  for (const std::string& line : lines) {
    int more = 0;
    counted += std::sscanf(line.c_str(), "... and %d more", &more) == 1 ? more : 1;
  }
  EXPECT_GT(found, lines.size() + 16) << joined(lines);
  EXPECT_EQ(found, counted) << joined(lines);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CorruptionTest, ::testing::ValuesIn(kCorruptions),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
