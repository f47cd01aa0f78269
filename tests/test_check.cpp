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
 protected:
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
    ASSERT_EQ(nand_write_logic_page(part_, logic_page, page.data()), 0u) << "logical page " << logic_page;
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
      if (b != NYX_UNMAPPED_BLOCK && &part_->nand_chip->nand_block_info[b] != part_->part_current_used_block)
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

TEST_F(CheckerTest, FreshPartitionIsConsistent) {
  uint32 read = 99;
  auto problems = nyx_nftl_check(part_, &read);
  EXPECT_TRUE(problems.empty()) << joined(problems);
  EXPECT_EQ(read, 0u);  // no full block yet
}

TEST_F(CheckerTest, NullPartitionIsReported) {
  EXPECT_TRUE(mentions(nyx_nftl_check(nullptr), "partition record is null"));
}

TEST_F(CheckerTest, UsedPartitionIsConsistentAndReadsOneMappingPagePerFullBlock) {
  ASSERT_NO_FATAL_FAILURE(use_partition());
  const auto device_before = sim_.chip().counters();
  const uint32 reads_before = part_->total_reads;
  uint32 read = 0;
  auto problems = nyx_nftl_check(part_, &read);
  EXPECT_TRUE(problems.empty()) << joined(problems);
  EXPECT_EQ(read, invalid_list(part_).size());
  EXPECT_EQ(part_->total_reads - reads_before, read);
  EXPECT_EQ(sim_.chip().counters().reads - device_before.reads, read);
  EXPECT_EQ(sim_.chip().counters().programs, device_before.programs);
  EXPECT_EQ(sim_.chip().counters().erases, device_before.erases);
}

TEST_F(CheckerTest, ConsistentAgainAfterRemount) {
  ASSERT_NO_FATAL_FAILURE(use_partition());
  ASSERT_EQ(sim_.reattach(), 0);
  part_ = sim_.part;
  auto problems = check();
  EXPECT_TRUE(problems.empty()) << joined(problems);
}

TEST_F(CheckerTest, LeavesEveryRecordUnchanged) {
  ASSERT_NO_FATAL_FAILURE(use_partition());
  const uint32 blocks = part_->nand_chip->blk_per_chip;
  const auto* table = reinterpret_cast<const uchar*>(part_->nand_chip->nand_block_info);
  const std::vector<uchar> table_before(table, table + sizeof(_phy_block_info) * (blocks + 1));
  const auto* map = reinterpret_cast<const uchar*>(part_->part_logic_page_map);
  const std::vector<uchar> map_before(map, map + sizeof(_nand_page) * nyx_nftl_logic_pages(part_));
  const auto* reverse = reinterpret_cast<const uchar*>(part_->part_phy_page_map);
  const std::vector<uchar> reverse_before(reverse, reverse + sizeof(_phy_page_mapping));
  const std::vector<uchar> scratch_before(part_->temp_page_buf,
                                          part_->temp_page_buf + part_->nand_chip->bytes_per_page);
  nyx_nftl_part_t record_before;
  std::memcpy(static_cast<void*>(&record_before), part_, sizeof record_before);

  auto problems = check();
  ASSERT_TRUE(problems.empty()) << joined(problems);

  EXPECT_EQ(std::vector<uchar>(table, table + table_before.size()), table_before);
  EXPECT_EQ(std::vector<uchar>(map, map + map_before.size()), map_before);
  EXPECT_EQ(std::vector<uchar>(reverse, reverse + reverse_before.size()), reverse_before);
  EXPECT_EQ(std::vector<uchar>(part_->temp_page_buf,
                               part_->temp_page_buf + part_->nand_chip->bytes_per_page),
            scratch_before);
  // Only the read counter may move.
  record_before.total_reads = part_->total_reads;
  EXPECT_EQ(std::memcmp(static_cast<const void*>(&record_before), part_, sizeof record_before), 0);
}

// --- Corruptions planted into a used partition, one kind per test. --------

class CorruptionTest : public CheckerTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(CheckerTest::SetUp());
    ASSERT_NO_FATAL_FAILURE(use_partition());
    auto problems = check();
    ASSERT_TRUE(problems.empty()) << joined(problems);
  }
  void expect_reported(const std::string& fragment) {
    auto problems = check();
    EXPECT_TRUE(mentions(problems, fragment)) << "expected \"" << fragment << "\" in:\n" << joined(problems);
  }
};

TEST_F(CorruptionTest, MapEntryNamingAnotherPageOfItsBlock) {
  const uint32 n = page_in_full_block();
  _nand_page& entry = part_->part_logic_page_map[n];
  entry.Page_NO = static_cast<uint16>((entry.Page_NO + 1) % (P_ - 1));
  expect_reported("logical page " + std::to_string(n) + " maps to page " +
                  std::to_string(entry.Page_NO) + " of block " + std::to_string(entry.blkNO_in_chip) +
                  ", whose reverse-map entry names");
}

TEST_F(CorruptionTest, MapEntryNamingTheMappingPage) {
  const uint32 n = page_in_full_block();
  part_->part_logic_page_map[n].Page_NO = static_cast<uint16>(P_ - 1);
  expect_reported("logical page " + std::to_string(n) + " maps to page " + std::to_string(P_ - 1));
  expect_reported("which is not a data page");
}

TEST_F(CorruptionTest, MapEntryBeyondTheLastBlock) {
  const uint32 n = page_in_full_block();
  part_->part_logic_page_map[n].blkNO_in_chip = part_->nand_chip->blk_per_chip;
  expect_reported("logical page " + std::to_string(n) + " maps to block " +
                  std::to_string(part_->nand_chip->blk_per_chip) + ", beyond the last block");
}

TEST_F(CorruptionTest, MapEntryNamingAFreeBlock) {
  const uint32 n = page_in_full_block();
  part_->part_logic_page_map[n].blkNO_in_chip = block_no(free_list(part_).front());
  expect_reported("logical page " + std::to_string(n) + " maps to page");
  expect_reported("which is on the free list");
}

TEST_F(CorruptionTest, MapEntryNamingAnUnwrittenPageOfTheCurrentBlock) {
  const uint32 n = page_in_full_block();
  part_->part_logic_page_map[n].blkNO_in_chip = block_no(part_->part_current_used_block);
  part_->part_logic_page_map[n].Page_NO = part_->current_block_used_page;
  expect_reported("logical page " + std::to_string(n) + " maps to page " +
                  std::to_string(part_->current_block_used_page) + " of the current block");
  expect_reported("which is not written yet");
}

TEST_F(CorruptionTest, MapEntryWithReservedByteChanged) {
  part_->part_logic_page_map[3].page_status = 0;
  expect_reported("logical page 3: the map entry's reserved page_status is 0x00");
}

TEST_F(CorruptionTest, UnmappedPageStillHeldOnFlash) {
  const uint32 n = page_in_full_block();
  part_->part_logic_page_map[n].blkNO_in_chip = NYX_UNMAPPED_BLOCK;
  expect_reported("logical page " + std::to_string(n) + " is unmapped but page");
}

TEST_F(CorruptionTest, FullBlockInvalidCountOff) {
  _phy_block_info* last = invalid_list(part_).back();  // lowering the last keeps the order
  const uint16 stored = last->invalid_page_count;
  ASSERT_GT(stored, 0u);
  last->invalid_page_count = static_cast<uint16>(stored - 1);
  expect_reported("full block " + std::to_string(block_no(last)) + ": invalid_page_count is " +
                  std::to_string(stored - 1) + " but a recount gives " + std::to_string(stored));
}

TEST_F(CorruptionTest, CurrentBlockInvalidCountOff) {
  _phy_block_info* current = part_->part_current_used_block;
  current->invalid_page_count = static_cast<uint16>(current->invalid_page_count + 1);
  expect_reported("the current block " + std::to_string(block_no(current)) + ": invalid_page_count is");
}

TEST_F(CorruptionTest, InvalidCountAbovePagesPerBlock) {
  _phy_block_info* first = invalid_list(part_).front();
  first->invalid_page_count = static_cast<uint16>(P_ + 1);
  expect_reported("block " + std::to_string(block_no(first)) + " on the invalid-page list has invalid_page_count " +
                  std::to_string(P_ + 1) + " above pages_per_blk");
}

TEST_F(CorruptionTest, FreeBlockNumOffByOne) {
  const uint32 length = free_list(part_).size();
  part_->free_block_num = static_cast<uint16>(length + 1);
  expect_reported("free_block_num is " + std::to_string(length + 1) + " but the free list holds " +
                  std::to_string(length) + " blocks");
}

TEST_F(CorruptionTest, FreeListOutOfOrder) {
  auto blocks = free_list(part_);
  blocks[0]->erase_count = static_cast<uint16>(blocks[1]->erase_count + 1);
  expect_reported("free list order: block " + std::to_string(block_no(blocks[1])) + " (erase_count " +
                  std::to_string(blocks[1]->erase_count) + ") follows block " +
                  std::to_string(block_no(blocks[0])));
}

TEST_F(CorruptionTest, FreeListLoop) {
  auto blocks = free_list(part_);
  blocks.back()->free_next = blocks.front();
  expect_reported("free list: loops back to block " + std::to_string(block_no(blocks.front())));
}

TEST_F(CorruptionTest, FreeListLinkOutsideTheTable) {
  free_list(part_).back()->free_next = &part_->invalid_page_head;
  expect_reported("free list: the link after block");
  expect_reported("points outside the block table");
}

TEST_F(CorruptionTest, EndRecordLinked) {
  const uint32 end = part_->nand_chip->blk_per_chip;
  free_list(part_).back()->free_next = &part_->nand_chip->nand_block_info[end];
  expect_reported("free list: the end record (block " + std::to_string(end) + ") is linked");
}

TEST_F(CorruptionTest, InvalidListBrokenBackLink) {
  auto blocks = invalid_list(part_);
  blocks[1]->invalid_page_prev = &part_->invalid_page_head;
  expect_reported("invalid-page list: block " + std::to_string(block_no(blocks[1])) +
                  "'s back link names the list head instead of block " + std::to_string(block_no(blocks[0])));
}

TEST_F(CorruptionTest, InvalidListFirstBackLinkNull) {
  auto blocks = invalid_list(part_);
  blocks[0]->invalid_page_prev = nullptr;
  expect_reported("invalid-page list: block " + std::to_string(block_no(blocks[0])) +
                  "'s back link names null instead of the list head");
}

TEST_F(CorruptionTest, InvalidListHeadBackLinkSet) {
  part_->invalid_page_head.invalid_page_prev = invalid_list(part_).back();
  expect_reported("invalid-page list: the head's back link is set");
}

TEST_F(CorruptionTest, InvalidListOutOfOrder) {
  auto blocks = invalid_list(part_);
  _phy_block_info* last = blocks.back();
  // Swap the first and last blocks' positions by relinking: last goes first.
  blocks.pop_back();
  blocks.insert(blocks.begin(), last);
  ASSERT_LT(blocks[0]->invalid_page_count, blocks[1]->invalid_page_count) << "setup needs distinct counts";
  _phy_block_info* previous = &part_->invalid_page_head;
  for (auto* b : blocks) {
    previous->invalid_page_next = b;
    b->invalid_page_prev = previous;
    previous = b;
  }
  previous->invalid_page_next = nullptr;
  expect_reported("invalid-page list order: block " + std::to_string(block_no(blocks[1])));
}

TEST_F(CorruptionTest, InvalidListLoop) {
  auto blocks = invalid_list(part_);
  blocks.back()->invalid_page_next = blocks.front();
  expect_reported("invalid-page list: loops back to block " + std::to_string(block_no(blocks.front())));
}

TEST_F(CorruptionTest, BlockOnBothLists) {
  _phy_block_info* full = invalid_list(part_).back();
  full->free_next = part_->free_head.free_next;
  part_->free_head.free_next = full;
  part_->free_block_num++;
  expect_reported("block " + std::to_string(block_no(full)) +
                  " is on both the free list and the invalid-page list");
}

TEST_F(CorruptionTest, CurrentBlockOnTheFreeList) {
  _phy_block_info* current = part_->part_current_used_block;
  current->free_next = part_->free_head.free_next;
  part_->free_head.free_next = current;
  part_->free_block_num++;
  expect_reported("the current block " + std::to_string(block_no(current)) + " is on the free list");
}

TEST_F(CorruptionTest, CurrentBlockOnTheInvalidPageList) {
  _phy_block_info* current = part_->part_current_used_block;
  _phy_block_info* last = invalid_list(part_).back();
  last->invalid_page_next = current;
  current->invalid_page_prev = last;
  expect_reported("the current block " + std::to_string(block_no(current)) + " is on the invalid-page list");
}

TEST_F(CorruptionTest, StaleFreeLinkOnUnlistedBlock) {
  _phy_block_info* full = invalid_list(part_).front();
  full->free_next = free_list(part_).front();
  expect_reported("block " + std::to_string(block_no(full)) + " is not on the free list but its free_next names");
}

TEST_F(CorruptionTest, StaleInvalidLinkOnFreeBlock) {
  _phy_block_info* free_block = free_list(part_).front();
  free_block->invalid_page_prev = &part_->invalid_page_head;
  expect_reported("block " + std::to_string(block_no(free_block)) + " is not on the invalid-page list but its links are set");
}

TEST_F(CorruptionTest, CurrentReverseMapEntryBeyondWritePosition) {
  const uint32 u = part_->current_block_used_page;
  part_->part_phy_page_map->phy_page_map[u] = 7;
  expect_reported("current block " + std::to_string(block_no(part_->part_current_used_block)) +
                  ": reverse-map entry " + std::to_string(u) + " is 0x00000007");
}

TEST_F(CorruptionTest, CurrentReverseMapEntryChanged) {
  // Page 0 of the current block: the logical page it names loses its copy.
  const uint32 held = part_->part_phy_page_map->phy_page_map[0];
  ASSERT_LT(held, nyx_nftl_logic_pages(part_));
  ASSERT_EQ(part_->part_logic_page_map[held].blkNO_in_chip, block_no(part_->part_current_used_block));
  const uint32 at = part_->part_logic_page_map[held].Page_NO;
  part_->part_phy_page_map->phy_page_map[at] = held + 1;
  expect_reported("logical page " + std::to_string(held) + " maps to page " + std::to_string(at) +
                  " of block " + std::to_string(block_no(part_->part_current_used_block)) +
                  ", whose reverse-map entry names logical page " + std::to_string(held + 1));
}

TEST_F(CorruptionTest, WritePositionBeyondTheLastDataPage) {
  part_->current_block_used_page = static_cast<uint16>(P_);
  expect_reported("current_block_used_page is " + std::to_string(P_) + ", beyond the last data page");
}

TEST_F(CorruptionTest, CurrentSequenceNumberMismatch) {
  part_->current_block_used_count += 1;
  expect_reported("has block_used_count");
  expect_reported("but current_block_used_count is");
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

TEST_F(CorruptionTest, StaleCopyThatWouldWinAtRemount) {
  // Logical page n's valid copy lies in full block V; an older copy of it
  // lies in another full block S. Giving S a later sequence number than V
  // makes the mount scan prefer the older copy.
  _phy_block_info* table = part_->nand_chip->nand_block_info;
  for (auto* stale_block : invalid_list(part_)) {
    std::vector<uchar> page(part_->nand_chip->bytes_per_page);
    uchar spare[NYX_SPARE_BYTES];
    _physic_op_par par{};
    par.phy_page.Page_NO = static_cast<uint16>(P_ - 1);
    par.phy_page.blkNO_in_chip = block_no(stale_block);
    par.page_bitmap = part_->nand_chip->bitmap_per_page;
    par.main_data_addr = page.data();
    par.spare_data_addr = spare;
    ASSERT_EQ(part_->nand_read_page(part_, &par), 0);
    _phy_page_mapping reverse;
    nyx_nftl_decode_mapping_page(page.data(), part_->nand_chip->bytes_per_page, &reverse);
    for (uint32 p = 0; p + 1 < P_; ++p) {
      const uint32 n = reverse.phy_page_map[p];
      if (n >= nyx_nftl_logic_pages(part_)) continue;
      const _nand_page entry = part_->part_logic_page_map[n];
      _phy_block_info* valid_block = &table[entry.blkNO_in_chip];
      if (valid_block == stale_block || valid_block == part_->part_current_used_block) continue;
      stale_block->block_used_count = valid_block->block_used_count + 1;
      expect_reported("logical page " + std::to_string(n) + ": its stale copy at page " +
                      std::to_string(p) + " of block " + std::to_string(block_no(stale_block)));
      expect_reported("would win over the valid copy");
      return;
    }
  }
  FAIL() << "no stale copy in one full block of a page whose valid copy is in another";
}

TEST_F(CorruptionTest, ReclaimQueueCountOff) {
  part_->prio_gc.gc_num = 1;
  expect_reported("reclaim queue: gc_num is 1 but 0 nodes are queued");
}

TEST_F(CorruptionTest, ReclaimNodeInUseButNotQueued) {
  part_->prio_gc.prio_gc_node[3].prio_type = NYX_PRIO_WEAR_LEVEL;
  expect_reported("reclaim queue: node 3 is not queued but has type 2");
}

TEST_F(CorruptionTest, ReclaimQueueBlockQueuedTwice) {
  _phy_block_info* block = invalid_list(part_).back();
  add_prio_gc(part_, block, NYX_PRIO_WEAR_LEVEL);
  ASSERT_EQ(part_->prio_gc.gc_num, 1u);
  // Link a second node naming the same block by hand (add_prio_gc refuses).
  _prio_gc_node* second = &part_->prio_gc.prio_gc_node[5];
  second->prio_type = NYX_PRIO_WEAR_LEVEL;
  second->phy_block_info = block;
  add_to_gc_list_tail(&part_->prio_gc, second);
  expect_reported("reclaim queue: block " + std::to_string(block_no(block)) + " is queued twice");
}

TEST_F(CorruptionTest, ManyBrokenEntriesAreSummarised) {
  const uint32 pages = nyx_nftl_logic_pages(part_);
  for (uint32 n = 0; n < pages; ++n) part_->part_logic_page_map[n].page_status = 0x11;
  auto problems = check();
  EXPECT_LT(problems.size(), 40u);
  EXPECT_TRUE(mentions(problems, "more map entry problems not listed")) << joined(problems);
}

}  // namespace
