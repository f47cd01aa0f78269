// Tests of the consistency checker: it finds nothing on healthy partitions,
// reads one mapping page per full block and changes no record, and it names
// each kind of corruption planted into a live record.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl_check.h"
#include "support/sim_partition.h"

namespace {

// A page whose bytes derive from its logical page and version.
std::vector<uchar> page_image(uint32 size, uint32 logic_page, uint32 version) {
  std::vector<uchar> page(size);
  uint32 x = (logic_page + 1) * 2654435761u ^ (version + 1) * 2246822519u;
  for (auto& byte : page) {
    x = x * 1664525u + 1013904223u;
    byte = static_cast<uchar>(x >> 24);
  }
  return page;
}

bool mentions(const std::vector<std::string>& problems, const std::string& fragment) {
  for (const auto& line : problems) {
    if (line.find(fragment) != std::string::npos) return true;
  }
  return false;
}

std::string joined(const std::vector<std::string>& problems) {
  std::string all;
  for (const auto& line : problems) all += "  " + line + "\n";
  return all;
}

std::vector<_phy_block_info*> free_list(nyx_nftl_part_t* part) {
  std::vector<_phy_block_info*> blocks;
  for (auto* b = part->free_head.free_next; b != nullptr; b = b->free_next) blocks.push_back(b);
  return blocks;
}

std::vector<_phy_block_info*> invalid_list(nyx_nftl_part_t* part) {
  std::vector<_phy_block_info*> blocks;
  for (auto* b = part->invalid_page_head.invalid_page_next; b != nullptr; b = b->invalid_page_next)
    blocks.push_back(b);
  return blocks;
}

uint16 block_no(const _phy_block_info* block) { return block->phy_block.blkNO_in_chip; }

// 40 blocks of 16 pages of 2048 bytes: 128 logical pages, 31 spare blocks.
class CheckerTest : public ::testing::Test {
 public:
  CheckerTest() : sim_(small_chip(40, 16, 2048)) {}

  void SetUp() override {
    kernel_log_set_sink([](std::string_view) {});
    ASSERT_EQ(sim_.attach(), 0);
    part_ = sim_.part;
    ASSERT_NE(part_->part_current_used_block, nullptr);
    P_ = part_->nand_chip->pages_per_blk;
  }
  void TearDown() override { kernel_log_set_sink({}); }

  void write(uint32 logic_page, uint32 version) {
    auto page = page_image(part_->nand_chip->bytes_per_page, logic_page, version);
    ASSERT_EQ(nand_write_logic_page(part_, logic_page, page.data()), 0u)
        << "logical page " << logic_page;
  }

  // A used partition: every logical page written, then a skewed rewrite
  // pattern, so that full blocks with valid and invalid pages, freed blocks
  // and a part-written current block all exist.
  void use_partition() {
    const uint32 pages = nyx_nftl_logic_pages(part_);
    for (uint32 n = 0; n < pages; ++n) ASSERT_NO_FATAL_FAILURE(write(n, 1));
    for (uint32 i = 0; i < 300; ++i) ASSERT_NO_FATAL_FAILURE(write((i * 7) % (pages / 4), 2 + i));
    for (uint32 i = 0; i < 5; ++i) ASSERT_NO_FATAL_FAILURE(write(pages - 1 - i, 1000 + i));
    ASSERT_GE(invalid_list(part_).size(), 3u);
    ASSERT_GE(free_list(part_).size(), 2u);
    ASSERT_GT(part_->current_block_used_page, 1u);
  }

  // A mapped logical page whose copy lies in a full block.
  uint32 page_in_full_block() {
    const uint32 pages = nyx_nftl_logic_pages(part_);
    for (uint32 n = 0; n < pages; ++n) {
      const uint16 b = part_->part_logic_page_map[n].blkNO_in_chip;
      if (b != NYX_UNMAPPED_BLOCK &&
          &part_->nand_chip->nand_block_info[b] != part_->part_current_used_block)
        return n;
    }
    ADD_FAILURE() << "no logical page lies in a full block";
    return 0;
  }

  std::vector<std::string> check() { return nyx_nftl_check(part_); }

  SimPartition sim_;
  nyx_nftl_part_t* part_ = nullptr;
  uint32 P_ = 0;
};

TEST_F(CheckerTest, FreshPartitionIsConsistentAndNullIsReported) {
  uint32 read = 99;
  auto problems = nyx_nftl_check(part_, &read);
  EXPECT_TRUE(problems.empty()) << joined(problems);
  EXPECT_EQ(read, 0u);  // no full block yet
  EXPECT_TRUE(mentions(nyx_nftl_check(nullptr), "partition record is null"));
}

// A used partition checks clean, before and after a remount; the check reads
// one mapping page per full block and changes no record and nothing on flash.
TEST_F(CheckerTest, UsedPartitionIsConsistentReadsOneMappingPagePerFullBlockAndChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(use_partition());
  const auto device_before = sim_.chip().counters();
  const uint32 reads_before = part_->total_reads;
  const uint32 blocks = part_->nand_chip->blk_per_chip;
  const auto* table = reinterpret_cast<const uchar*>(part_->nand_chip->nand_block_info);
  const std::vector<uchar> table_before(table, table + sizeof(_phy_block_info) * (blocks + 1));
  const auto* map = reinterpret_cast<const uchar*>(part_->part_logic_page_map);
  const std::vector<uchar> map_before(map, map + sizeof(_nand_page) * nyx_nftl_logic_pages(part_));
  const auto* reverse = reinterpret_cast<const uchar*>(part_->part_phy_page_map);
  const std::vector<uchar> reverse_before(reverse, reverse + sizeof(_phy_page_mapping));
  const uchar* scratch = part_->temp_page_buf;
  const std::vector<uchar> scratch_before(scratch, scratch + part_->nand_chip->bytes_per_page);
  nyx_nftl_part_t record_before;
  std::memcpy(static_cast<void*>(&record_before), part_, sizeof record_before);

  uint32 read = 0;
  auto problems = nyx_nftl_check(part_, &read);
  ASSERT_TRUE(problems.empty()) << joined(problems);
  EXPECT_EQ(read, invalid_list(part_).size());
  EXPECT_EQ(part_->total_reads - reads_before, read);
  EXPECT_EQ(sim_.chip().counters().reads - device_before.reads, read);
  EXPECT_EQ(sim_.chip().counters().programs, device_before.programs);
  EXPECT_EQ(sim_.chip().counters().erases, device_before.erases);
  EXPECT_EQ(std::vector<uchar>(table, table + table_before.size()), table_before);
  EXPECT_EQ(std::vector<uchar>(map, map + map_before.size()), map_before);
  EXPECT_EQ(std::vector<uchar>(reverse, reverse + reverse_before.size()), reverse_before);
  EXPECT_EQ(std::vector<uchar>(scratch, scratch + scratch_before.size()), scratch_before);
  record_before.total_reads = part_->total_reads;  // only the read counter may move
  EXPECT_EQ(std::memcmp(static_cast<const void*>(&record_before), part_, sizeof record_before), 0);

  ASSERT_EQ(sim_.reattach(), 0);
  part_ = sim_.part;
  problems = check();
  EXPECT_TRUE(problems.empty()) << joined(problems);
}

TEST_F(CheckerTest, FullBlockWithoutMappingPage) {
  // A few blocks written; the free list still holds blocks erased at the
  // format. One of them moved onto the invalid-page list has no mapping page.
  for (uint32 n = 0; n < 3 * (P_ - 1); ++n) ASSERT_NO_FATAL_FAILURE(write(n, 1));
  _phy_block_info* erased = out_phy_block_from_free_list(part_);
  ASSERT_NE(erased, nullptr);
  ASSERT_EQ(erased->block_used_count, -1);  // never written since the format
  erased->invalid_page_count = 0;
  put_phy_block_to_invalid_page_list(part_, erased);
  auto problems = check();
  EXPECT_TRUE(mentions(problems, "full block " + std::to_string(block_no(erased)) +
                                     ": its last page (page " + std::to_string(P_ - 1) +
                                     ") is not a mapping page (spare tag 0xffffffff)"))
      << joined(problems);
}

// --- Corruptions planted into a used partition, one kind per case. --------
// Each case corrupts a record and returns the fragments the report must hold.

using Fragments = std::vector<std::string>;
std::string S(uint32 n) { return std::to_string(n); }

struct Corruption {
  const char* name;
  Fragments (*plant)(CheckerTest& t, nyx_nftl_part_t* part, uint32 P);
};

Fragments stale_copy_that_would_win(CheckerTest& t, nyx_nftl_part_t* part, uint32 P) {
  // Logical page n's valid copy lies in full block V; an older copy of it
  // lies in another full block S. Giving S a later sequence number than V
  // makes the mount scan prefer the older copy.
  _phy_block_info* table = part->nand_chip->nand_block_info;
  for (auto* stale_block : invalid_list(part)) {
    std::vector<uchar> page(part->nand_chip->bytes_per_page);
    uchar spare[NYX_SPARE_BYTES];
    _physic_op_par par{};
    par.phy_page.Page_NO = static_cast<uint16>(P - 1);
    par.phy_page.blkNO_in_chip = block_no(stale_block);
    par.page_bitmap = part->nand_chip->bitmap_per_page;
    par.main_data_addr = page.data();
    par.spare_data_addr = spare;
    if (part->nand_read_page(part, &par) != 0) break;
    _phy_page_mapping reverse;
    nyx_nftl_decode_mapping_page(page.data(), part->nand_chip->bytes_per_page, &reverse);
    for (uint32 p = 0; p + 1 < P; ++p) {
      const uint32 n = reverse.phy_page_map[p];
      if (n >= nyx_nftl_logic_pages(part)) continue;
      _phy_block_info* valid_block = &table[part->part_logic_page_map[n].blkNO_in_chip];
      if (valid_block == stale_block || valid_block == part->part_current_used_block) continue;
      stale_block->block_used_count = valid_block->block_used_count + 1;
      return {"logical page " + S(n) + ": its stale copy at page " + S(p) + " of block " +
                  S(block_no(stale_block)),
              "would win over the valid copy"};
    }
  }
  (void)t;
  return {"<setup: no stale copy in one full block of a page whose valid copy is in another>"};
}

#define CASE(kind, ...)                                       \
  {#kind,                                                     \
   []([[maybe_unused]] CheckerTest& t, nyx_nftl_part_t* part, \
      [[maybe_unused]] uint32 P) -> Fragments { __VA_ARGS__ }},
const Corruption kCorruptions[] = {
    CASE(MapEntryNamingAnotherPageOfItsBlock, const uint32 n = t.page_in_full_block();
         _nand_page& e = part->part_logic_page_map[n];
         e.Page_NO = static_cast<uint16>((e.Page_NO + 1) % (P - 1));
         return {"logical page " + S(n) + " maps to page " + S(e.Page_NO) + " of block " +
                 S(e.blkNO_in_chip) +
                 ", whose reverse-map entry names"};) CASE(MapEntryNamingTheMappingPage,
                                                           const uint32 n = t.page_in_full_block();
                                                           part->part_logic_page_map[n].Page_NO =
                                                               static_cast<uint16>(P - 1);
                                                           return {"logical page " + S(n) +
                                                                       " maps to page " + S(P - 1),
                                                                   "which is not a data page"};)
        CASE(
            MapEntryBeyondTheLastBlock, const uint32 n = t.page_in_full_block();
            part->part_logic_page_map[n].blkNO_in_chip = part->nand_chip->blk_per_chip; return {
                "logical page " + S(n) + " maps to block " + S(part->nand_chip->blk_per_chip) +
                ", beyond the last block"};)
            CASE(MapEntryNamingAFreeBlock, const uint32 n = t.page_in_full_block();
                 part->part_logic_page_map[n].blkNO_in_chip = block_no(free_list(part).front());
                 return {"logical page " + S(n) + " maps to page", "which is on the free list"};)
                CASE(
                    MapEntryNamingAnUnwrittenPageOfTheCurrentBlock,
                    const uint32 n = t.page_in_full_block();
                    part->part_logic_page_map[n].blkNO_in_chip =
                        block_no(part->part_current_used_block);
                    part->part_logic_page_map[n].Page_NO = part->current_block_used_page; return {
                        "logical page " + S(n) + " maps to page " +
                            S(part->current_block_used_page) + " of the current block",
                        "which is not written yet"};)
                    CASE(MapEntryWithReservedByteChanged,
                         part->part_logic_page_map[3].page_status = 0;
                         return {"logical page 3: the map entry's reserved page_status is 0x00"};)
                        CASE(UnmappedPageStillHeldOnFlash, const uint32 n = t.page_in_full_block();
                             part->part_logic_page_map[n].blkNO_in_chip = NYX_UNMAPPED_BLOCK;
                             return {"logical page " + S(n) + " is unmapped but page"};)
                            CASE(
                                FullBlockInvalidCountOff,
                                _phy_block_info* last =
                                    invalid_list(part).back();  // lowering the last keeps the order
                                const uint16 stored = last->invalid_page_count;
                                last->invalid_page_count = static_cast<uint16>(stored - 1);
                                return {"full block " + S(block_no(last)) +
                                        ": invalid_page_count is " + S(stored - 1u) +
                                        " but a recount gives " +
                                        S(stored)};) CASE(CurrentBlockInvalidCountOff,
                                                          _phy_block_info* current =
                                                              part->part_current_used_block;
                                                          current->invalid_page_count =
                                                              static_cast<uint16>(
                                                                  current->invalid_page_count + 1);
                                                          return {"the current block " +
                                                                  S(block_no(current)) +
                                                                  ": invalid_page_count is"};)
                                CASE(
                                    InvalidCountAbovePagesPerBlock,
                                    _phy_block_info* first = invalid_list(part).front();
                                    first->invalid_page_count = static_cast<uint16>(P + 1); return {
                                        "block " + S(block_no(first)) +
                                        " on the invalid-page list has invalid_page_count " +
                                        S(P + 1) + " above pages_per_blk"};)
                                    CASE(
                                        FreeBlockNumOffByOne,
                                        const uint32 length = free_list(part).size();
                                        part->free_block_num = static_cast<uint16>(length + 1);
                                        return {
                                            "free_block_num is " + S(length + 1) +
                                            " but the free list holds " + S(length) + " blocks"};)
                                        CASE(
                                            FreeListOutOfOrder, auto b =
                                                                    free_list(part);
                                            b[0]->erase_count =
                                                static_cast<uint16>(b[1]->erase_count + 1);
                                            return {
                                                "free list order: block " + S(block_no(b[1])) +
                                                " (erase_count " + S(b[1]->erase_count) +
                                                ") follows block " +
                                                S(block_no(
                                                    b[0]))};) CASE(FreeListLoop,
                                                                   auto b = free_list(part);
                                                                   b.back()->free_next = b.front();
                                                                   return {"free list: loops back "
                                                                           "to block " +
                                                                           S(block_no(b.front()))};)
                                            CASE(
                                                FreeListLinkOutsideTheTable,
                                                free_list(part).back()->free_next =
                                                    &part->invalid_page_head;
                                                return {
                                                    "free list: the link after block",
                                                    "points outside the block table"};)
                                                CASE(
                                                    InvalidListBrokenBackLink,
                                                    auto b =
                                                        invalid_list(part);
                                                    b[1]->invalid_page_prev =
                                                        &part->invalid_page_head;
                                                    return {
                                                        "invalid-page list: block " +
                                                        S(block_no(b[1])) +
                                                        "'s back link names the list head instead "
                                                        "of block " +
                                                        S(block_no(b[0]))};)
                                                    CASE(InvalidListHeadBackLinkSet,
                                                         part->invalid_page_head.invalid_page_prev =
                                                             invalid_list(part).back();
                                                         return {"invalid-page list: the head's "
                                                                 "back link is set"};)
                                                        CASE(
                                                            InvalidListOutOfOrder,
                                                            auto b = invalid_list(
                                                                part);  // relink with the last
                                                                        // block first
                                                            b.insert(b.begin(), b.back());
                                                            b.pop_back();
                                                            if (b[0]->invalid_page_count >=
                                                                b[1]->invalid_page_count) return {
                                                                "<setup needs distinct counts>"};
                                                            _phy_block_info* previous =
                                                                &part->invalid_page_head;
                                                            for (auto* x
                                                                 : b) {
                                                              previous->invalid_page_next = x;
                                                              x->invalid_page_prev = previous;
                                                              previous = x;
                                                            } previous->invalid_page_next = nullptr;
                                                            return {
                                                                "invalid-page list order: block " +
                                                                S(block_no(b[1]))};)
                                                            CASE(InvalidListLoop,
                                                                 auto b = invalid_list(part);
                                                                 b.back()->invalid_page_next =
                                                                     b.front();
                                                                 return {"invalid-page list: loops "
                                                                         "back to block " +
                                                                         S(block_no(b.front()))};)
                                                                CASE(BlockOnBothLists,
                                                                     _phy_block_info* full =
                                                                         invalid_list(part).back();
                                                                     full->free_next =
                                                                         part->free_head.free_next;
                                                                     part->free_head.free_next =
                                                                         full;
                                                                     part->free_block_num++;
                                                                     return {"block " +
                                                                             S(block_no(full)) +
                                                                             " is on both the free "
                                                                             "list and the "
                                                                             "invalid-page list"};)
                                                                    CASE(
                                                                        CurrentBlockOnTheFreeList,
                                                                        _phy_block_info* current =
                                                                            part->part_current_used_block;
                                                                        current->free_next =
                                                                            part->free_head
                                                                                .free_next;
                                                                        part->free_head.free_next =
                                                                            current;
                                                                        part->free_block_num++;
                                                                        return {
                                                                            "the current block " +
                                                                            S(block_no(current)) +
                                                                            " is on the free "
                                                                            "list"};)
                                                                        CASE(
                                                                            CurrentBlockOnTheInvalidPageList,
                                                                            _phy_block_info* current =
                                                                                part->part_current_used_block;
                                                                            _phy_block_info* last =
                                                                                invalid_list(part)
                                                                                    .back();
                                                                            last->invalid_page_next =
                                                                                current;
                                                                            current
                                                                                ->invalid_page_prev =
                                                                                last;
                                                                            return {"the current "
                                                                                    "block " +
                                                                                    S(block_no(
                                                                                        current)) +
                                                                                    " is on the "
                                                                                    "invalid-page "
                                                                                    "list"};)
                                                                            CASE(
                                                                                StaleFreeLinkOnUnlistedBlock,
                                                                                _phy_block_info*
                                                                                    full =
                                                                                        invalid_list(
                                                                                            part)
                                                                                            .front();
                                                                                full->free_next =
                                                                                    free_list(part)
                                                                                        .front();
                                                                                return {
                                                                                    "block " +
                                                                                    S(block_no(
                                                                                        full)) +
                                                                                    " is not on "
                                                                                    "the free list "
                                                                                    "but its "
                                                                                    "free_next "
                                                                                    "names"};)
                                                                                CASE(
                                                                                    StaleInvalidLinkOnFreeBlock,
                                                                                    _phy_block_info*
                                                                                        free_block =
                                                                                            free_list(
                                                                                                part)
                                                                                                .front();
                                                                                    free_block
                                                                                        ->invalid_page_prev =
                                                                                        &part->invalid_page_head;
                                                                                    return {
                                                                                        "block " +
                                                                                        S(block_no(
                                                                                            free_block)) +
                                                                                        " is not "
                                                                                        "on the "
                                                                                        "invalid-"
                                                                                        "page list "
                                                                                        "but its "
                                                                                        "links are "
                                                                                        "set"};)
                                                                                    CASE(
                                                                                        CurrentReverseMapEntryBeyondWritePosition,
                                                                                        const uint32 u =
                                                                                            part->current_block_used_page;
                                                                                        part->part_phy_page_map
                                                                                            ->phy_page_map
                                                                                                [u] =
                                                                                            7;
                                                                                        return {
                                                                                            "curren"
                                                                                            "t "
                                                                                            "block"
                                                                                            " " +
                                                                                            S(block_no(
                                                                                                part->part_current_used_block)) +
                                                                                            ": "
                                                                                            "revers"
                                                                                            "e-map "
                                                                                            "entry"
                                                                                            " " +
                                                                                            S(u) +
                                                                                            " is "
                                                                                            "0x0000"
                                                                                            "000"
                                                                                            "7"};)
                                                                                        CASE(
                                                                                            CurrentReverseMapEntryChanged,
                                                                                            // Page
                                                                                            // 0 of
                                                                                            // the
                                                                                            // current
                                                                                            // block:
                                                                                            // the
                                                                                            // logical
                                                                                            // page
                                                                                            // it
                                                                                            // names
                                                                                            // loses
                                                                                            // its
                                                                                            // copy.
                                                                                            const uint32 held =
                                                                                                part->part_phy_page_map
                                                                                                    ->phy_page_map
                                                                                                        [0];
                                                                                            if (held >=
                                                                                                nyx_nftl_logic_pages(
                                                                                                    part)) return {
                                                                                                "<s"
                                                                                                "et"
                                                                                                "up"
                                                                                                ": "
                                                                                                "pa"
                                                                                                "ge"
                                                                                                " 0"
                                                                                                " o"
                                                                                                "f "
                                                                                                "th"
                                                                                                "e "
                                                                                                "cu"
                                                                                                "rr"
                                                                                                "en"
                                                                                                "t "
                                                                                                "bl"
                                                                                                "oc"
                                                                                                "k "
                                                                                                "ho"
                                                                                                "ld"
                                                                                                "s "
                                                                                                "no"
                                                                                                " p"
                                                                                                "ag"
                                                                                                "e"
                                                                                                ">"};
                                                                                            const uint32 at =
                                                                                                part->part_logic_page_map
                                                                                                    [held]
                                                                                                        .Page_NO;
                                                                                            part->part_phy_page_map
                                                                                                ->phy_page_map
                                                                                                    [at] =
                                                                                                held +
                                                                                                1;
                                                                                            return {
                                                                                                "lo"
                                                                                                "gi"
                                                                                                "ca"
                                                                                                "l "
                                                                                                "pa"
                                                                                                "ge"
                                                                                                " " +
                                                                                                S(held) +
                                                                                                " m"
                                                                                                "ap"
                                                                                                "s "
                                                                                                "to"
                                                                                                " p"
                                                                                                "ag"
                                                                                                "e"
                                                                                                " " +
                                                                                                S(at) +
                                                                                                " o"
                                                                                                "f "
                                                                                                "bl"
                                                                                                "oc"
                                                                                                "k"
                                                                                                " " +
                                                                                                S(block_no(
                                                                                                    part->part_current_used_block)) +
                                                                                                ", "
                                                                                                "wh"
                                                                                                "os"
                                                                                                "e "
                                                                                                "re"
                                                                                                "ve"
                                                                                                "rs"
                                                                                                "e-"
                                                                                                "ma"
                                                                                                "p "
                                                                                                "en"
                                                                                                "tr"
                                                                                                "y "
                                                                                                "na"
                                                                                                "me"
                                                                                                "s "
                                                                                                "lo"
                                                                                                "gi"
                                                                                                "ca"
                                                                                                "l "
                                                                                                "pa"
                                                                                                "ge"
                                                                                                " " +
                                                                                                S(held +
                                                                                                  1)};)
                                                                                            CASE(
                                                                                                WritePositionBeyondTheLastDataPage,
                                                                                                part->current_block_used_page =
                                                                                                    static_cast<
                                                                                                        uint16>(
                                                                                                        P);
                                                                                                return {
                                                                                                    "current_block_used_page is " +
                                                                                                    S(P) +
                                                                                                    ", beyond the last data page"};)
                                                                                                CASE(
                                                                                                    CurrentSequenceNumberMismatch,
                                                                                                    part->current_block_used_count +=
                                                                                                    1;
                                                                                                    return {
                                                                                                        "has block_used_count",
                                                                                                        "but current_block_used_count is"};){
                                                                                                    "StaleCopyThatWouldWinAtRemount",
                                                                                                    stale_copy_that_would_win},
    CASE(ReclaimQueueCountOff, part->prio_gc.gc_num = 1;
         return {"reclaim queue: gc_num is 1 but 0 nodes are queued"};)
        CASE(ReclaimNodeInUseButNotQueued,
             part->prio_gc.prio_gc_node[3].prio_type = NYX_PRIO_WEAR_LEVEL;
             return {"reclaim queue: node 3 is not queued but has type 2"};)
            CASE(ReclaimQueueBlockQueuedTwice, _phy_block_info* block = invalid_list(part).back();
                 add_prio_gc(part, block, NYX_PRIO_WEAR_LEVEL);
                 // Link a second node naming the same block by hand (add_prio_gc refuses).
                 _prio_gc_node* second = &part->prio_gc.prio_gc_node[5];
                 second->prio_type = NYX_PRIO_WEAR_LEVEL; second->phy_block_info = block;
                 add_to_gc_list_tail(&part->prio_gc, second);
                 return {"reclaim queue: block " + S(block_no(block)) + " is queued twice"};)
                CASE(ManyBrokenEntriesAreSummarised,
                     for (uint32 n = 0; n < nyx_nftl_logic_pages(part); ++n)
                         part->part_logic_page_map[n]
                             .page_status = 0x11;
                     return {"more map entry problems not listed"};)};
#undef CASE

class CorruptionTest : public CheckerTest, public ::testing::WithParamInterface<Corruption> {};

TEST_P(CorruptionTest, IsReported) {
  ASSERT_NO_FATAL_FAILURE(use_partition());
  auto problems = check();
  ASSERT_TRUE(problems.empty()) << joined(problems);
  for (const auto& fragment : GetParam().plant(*this, part_, P_)) {
    problems = check();
    EXPECT_TRUE(mentions(problems, fragment)) << "expected \"" << fragment << "\" in:\n"
                                              << joined(problems);
  }
  EXPECT_LT(problems.size(), 40u);  // long runs of one kind are summarised
}

INSTANTIATE_TEST_SUITE_P(Kinds, CorruptionTest, ::testing::ValuesIn(kCorruptions),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
