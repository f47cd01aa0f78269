// The sector cache: the node pool and its two lists, the cutting of sector
// runs into page operations, partial-page merging, the two push-out points
// of the write list, whole-page writes past the cache, reads served from
// dirty pages, the flush, and zero-length runs.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/blk_rig.h"

namespace {

std::vector<uchar> page_on_flash(BlkRig& r, uint32_t lp) {
  std::vector<uchar> buf(r.page_size());
  EXPECT_EQ(nand_read_logic_page(r.part(), lp, buf.data()), 0u);
  return buf;
}

// The flash page that holds logical page `lp`.
uint64_t flash_page_of(BlkRig& r, uint32_t lp) {
  const _nand_page entry = r.part()->part_logic_page_map[lp];
  return r.rig.abs_page(entry.blkNO_in_chip, entry.Page_NO);
}

void write_whole_page(BlkRig& r, uint32_t lp, uint32_t seed) {
  std::vector<uchar> data = r.sectors(r.sectors_per_page(), seed);
  ASSERT_EQ(nand_write(r.blk, lp * r.sectors_per_page(), r.sectors_per_page(), data.data()), 0u);
}

// One sector written into sector 1 of logical page `lp`.
uint32 write_one_sector(BlkRig& r, uint32_t lp, uint32_t seed) {
  std::vector<uchar> data = r.sectors(1, seed);
  return nand_write(r.blk, lp * r.sectors_per_page() + 1, 1, data.data());
}

_cache_node* node(BlkRig& r, int i) { return &r.cache()->cache_node[i]; }

// ---------------------------------------------------------------------------
// The store.
// ---------------------------------------------------------------------------

TEST(CacheStore, InitWithoutMemoryFailsAndLeavesTheEntriesUnset) {
  NftlRig rig;
  nyx_nftl_blk_t* blk = kzalloc_record<nyx_nftl_blk_t>();
  ASSERT_NE(blk, nullptr);
  blk->nyx_nftl_part = rig.part;
  kalloc_fail_nth(1);
  EXPECT_EQ(cache_init(blk), 1);
  kalloc_fail_nth(0);
  EXPECT_EQ(blk->cache.cache_buf, nullptr);
  EXPECT_EQ(blk->read_data, nullptr);
  EXPECT_EQ(blk->write_data, nullptr);
  EXPECT_EQ(blk->flush_write_cache, nullptr);
  kfree_record(blk);
}

// Lists keep insertion order and unlink both ways; a search stays on its own
// list; free nodes are found lowest first.
TEST(CacheStore, ListsSearchesAndFreeNodes) {
  BlkRig r;
  _cache* c = r.cache();
  for (int i : {3, 1, 2}) {
    node(r, i)->page_no = 100 + i;
    add_to_cache_read_list_tail(c, node(r, i));
  }
  EXPECT_EQ(r.read_list(), (std::vector<uint32_t>{103, 101, 102}));
  EXPECT_EQ(del_from_cache_read_list(c, node(r, 1)), node(r, 1));
  EXPECT_EQ(c->cache_read_nums, 2);
  EXPECT_EQ(node(r, 3)->cache_read_next, node(r, 2));
  EXPECT_EQ(node(r, 2)->cache_read_prev, node(r, 3));
  EXPECT_EQ(node(r, 1)->cache_info, 0x00FF);
  EXPECT_EQ(node(r, 1)->cache_read_next, nullptr);
  EXPECT_EQ(get_empty_cahce_node(c), node(r, 0));

  node(r, 0)->page_no = node(r, 5)->page_no = 102;
  add_to_cache_write_list_tail(c, node(r, 0));
  add_to_cache_write_list_tail(c, node(r, 5));
  EXPECT_EQ(search_from_cache_read_list(c, 102), node(r, 2));
  EXPECT_EQ(search_from_cache_write_list(c, 102), node(r, 0));
  EXPECT_EQ(search_from_cache_read_list(c, 41), nullptr);
  EXPECT_EQ(get_empty_cahce_node(c), node(r, 1));
  del_from_cache_write_list(c, node(r, 0));
  del_from_cache_write_list(c, node(r, 5));
  del_from_cache_read_list(c, node(r, 2));
  EXPECT_EQ(search_from_cache_read_list(c, 102), nullptr);
  EXPECT_EQ(search_from_cache_write_list(c, 102), nullptr);
  EXPECT_EQ(c->cache_write_head.cache_write_next, nullptr);
  EXPECT_EQ(c->cache_write_nums, 0);
}

// ---------------------------------------------------------------------------
// Cutting runs at page boundaries.
// ---------------------------------------------------------------------------

TEST(CacheSplit, TenSectorsFromSectorFiveMergeHeadAndTailAndWriteTheMiddlePage) {
  BlkRig r;
  LogCapture log;
  ASSERT_EQ(r.sectors_per_page(), 4u);
  std::vector<uchar> data = r.sectors(10, 1);
  r.chip().reset_counters();
  ASSERT_EQ(nand_write(r.blk, 5, 10, data.data()), 0u);

  // Page 1 holds sectors 1..3 (0x0103) and page 3 sectors 0..2 (0x0003),
  // both dirty; page 2 (0x0004) went straight to flash.
  EXPECT_EQ(r.write_list(), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(r.chip().counters().programs, 1u);
  _cache_node* head = search_from_cache_write_list(r.cache(), 1);
  _cache_node* tail = search_from_cache_write_list(r.cache(), 3);
  ASSERT_NE(head, nullptr);
  ASSERT_NE(tail, nullptr);
  std::vector<uchar> erased(512, 0xFF);
  EXPECT_EQ(std::memcmp(head->buf, erased.data(), 512), 0);
  EXPECT_EQ(std::memcmp(head->buf + 512, data.data(), 1536), 0);
  EXPECT_EQ(std::memcmp(tail->buf, data.data() + 3584, 1536), 0);
  EXPECT_EQ(std::memcmp(tail->buf + 1536, erased.data(), 512), 0);
  std::vector<uchar> middle = page_on_flash(r, 2);
  EXPECT_TRUE(std::equal(middle.begin(), middle.end(), data.begin() + 1536));

  std::vector<uchar> back(data.size());
  ASSERT_EQ(nand_read(r.blk, 5, 10, back.data()), 0u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(log.text(), "");
}

TEST(CacheSplit, PageOperationsCarryFirstSectorAndCountInTheirBitmap) {
  LogCapture log;
  BlkRig r;
  for (uint32_t lp = 1; lp <= 3; ++lp) write_whole_page(r, lp, lp);
  std::vector<uchar> data = r.sectors(10, 2);

  // The merge of page 1 needs the page from flash: make that read fail.
  r.chip().inject_read_error(flash_page_of(r, 1), -EBADMSG);
  EXPECT_NE(nand_write(r.blk, 5, 10, data.data()), 0u);
  EXPECT_EQ(log.count("error3 bitmap 103!\n"), 1u);
  // The later pages were still done; the run reports the head's failure
  // although its last page succeeded.
  EXPECT_EQ(r.write_list(), (std::vector<uint32_t>{3}));
  r.chip().clear_faults();

  log.clear();
  nand_flush_write_cache(r.blk);
  r.chip().inject_read_error(flash_page_of(r, 3), -EBADMSG);
  EXPECT_NE(nand_write(r.blk, 5, 10, data.data()), 0u);
  EXPECT_EQ(log.count("error3 bitmap 3!\n"), 1u);
  EXPECT_EQ(r.write_list(), (std::vector<uint32_t>{1}));
}

// Zero-length runs touch nothing, but a write stamps its time, as a failed
// one does.
TEST(CacheSplit, ZeroLengthOrFailedWritesStillStampTheirTime) {
  KernelTestClock clock(5000);
  BlkRig r;
  r.chip().reset_counters();
  EXPECT_EQ(nand_op(0, r.blk, 3, 0, nullptr), 0u);
  EXPECT_EQ(nand_op(1, r.blk, 3, 0, nullptr), 0u);
  EXPECT_EQ(r.blk->ts_write_start.tv_sec, 0);
  EXPECT_EQ(nand_write(r.blk, 3, 0, nullptr), 0u);
  EXPECT_EQ(r.blk->ts_write_start.tv_sec, 5000);
  EXPECT_EQ(r.chip().counters().reads + r.chip().counters().programs, 0u);
  EXPECT_EQ(get_empty_cahce_node(r.cache()), node(r, 0));
  clock.set(6000, 0);
  LogCapture log;
  EXPECT_EQ(nand_write(r.blk, r.part()->logic_cap_in_sects, 4, r.sectors(4, 4).data()),
            1u);  // beyond the disk
  EXPECT_EQ(r.blk->ts_write_start.tv_sec, 6000);
}

TEST(CacheSplit, RunsReachingPastTheDiskAreRefusedBeforeAnyPageMoves) {
  LogCapture log;
  BlkRig r;
  const unsigned long capacity = r.part()->logic_cap_in_sects;
  std::vector<uchar> data = r.sectors(8, 7);
  r.chip().reset_counters();
  // Past the end, across the end, and a start whose 32-bit page number would
  // wrap around onto page 0.
  EXPECT_EQ(nand_write(r.blk, capacity, 1, data.data()), 1u);
  EXPECT_EQ(nand_write(r.blk, capacity - 4, 8, data.data()), 1u);
  EXPECT_EQ(nand_write(r.blk, 0xFFFFFFFFul, 8, data.data()), 1u);
  EXPECT_EQ(nand_read(r.blk, capacity - 1, 2, data.data()), 1u);
  EXPECT_EQ(r.chip().counters().reads + r.chip().counters().programs, 0u);
  EXPECT_TRUE(r.write_list().empty());
  // The last sectors of the disk are within it.
  EXPECT_EQ(nand_write(r.blk, capacity - 8, 8, data.data()), 0u);
}

// ---------------------------------------------------------------------------
// The write list's bound.
// ---------------------------------------------------------------------------

TEST(CachePushOut, AMissPushesOutOnlyWhenSixteenPagesAreDirty) {
  BlkRig r;
  r.chip().reset_counters();
  for (uint32_t lp = 0; lp < 15; ++lp) ASSERT_EQ(write_one_sector(r, lp, lp), 0u);
  EXPECT_EQ(r.cache()->cache_write_nums, 15);
  EXPECT_EQ(r.chip().counters().programs, 0u);

  ASSERT_EQ(write_one_sector(r, 15, 15), 0u);
  EXPECT_EQ(r.cache()->cache_write_nums, 16);
  EXPECT_EQ(r.chip().counters().programs, 0u);

  const uint16 first_node = search_from_cache_write_list(r.cache(), 0)->cache_no;
  ASSERT_EQ(write_one_sector(r, 16, 16), 0u);
  EXPECT_EQ(r.cache()->cache_write_nums, 16);
  EXPECT_EQ(r.chip().counters().programs, 1u);
  EXPECT_EQ(search_from_cache_write_list(r.cache(), 0), nullptr);
  EXPECT_EQ(search_from_cache_write_list(r.cache(), 16)->cache_no, first_node);
  std::vector<uchar> flushed = page_on_flash(r, 0);
  std::vector<uchar> expected(r.page_size(), 0xFF);
  std::vector<uchar> sector = r.sectors(1, 0);
  std::copy(sector.begin(), sector.end(), expected.begin() + 512);
  EXPECT_EQ(flushed, expected);
}

TEST(CachePushOut, AReadListHitPushesOutWhenItBringsTheListToSixteen) {
  BlkRig r;
  write_whole_page(r, 20, 9);
  std::vector<uchar> page(r.page_size());
  ASSERT_EQ(nand_read(r.blk, 20 * 4, 4, page.data()), 0u);
  EXPECT_EQ(r.read_list(), (std::vector<uint32_t>{20}));
  for (uint32_t lp = 0; lp < 15; ++lp) ASSERT_EQ(write_one_sector(r, lp, lp), 0u);

  r.chip().reset_counters();
  ASSERT_EQ(write_one_sector(r, 20, 77), 0u);
  EXPECT_EQ(r.chip().counters().reads, 0u);     // merged into the clean copy
  EXPECT_EQ(r.chip().counters().programs, 1u);  // page 0 pushed out
  EXPECT_EQ(r.cache()->cache_write_nums, 15);
  EXPECT_TRUE(r.read_list().empty());
  std::vector<uint32_t> expected;
  for (uint32_t lp = 1; lp < 15; ++lp) expected.push_back(lp);
  expected.push_back(20);
  EXPECT_EQ(r.write_list(), expected);
}

TEST(CachePushOut, AFailedPushOutOnAMissDropsTheCurrentWrite) {
  LogCapture log;
  BlkRig r;
  for (uint32_t lp = 0; lp < 16; ++lp) ASSERT_EQ(write_one_sector(r, lp, lp), 0u);
  r.chip().set_program_fail_rate(1.0);
  std::vector<uchar> data = r.sectors(1, 5);
  EXPECT_EQ(nand_write(r.blk, 40 * 4, 1, data.data()), 1u);
  EXPECT_EQ(log.count("error2 bitmap 1!\n"), 1u);
  EXPECT_EQ(r.cache()->cache_write_nums, 15);
  EXPECT_EQ(search_from_cache_write_list(r.cache(), 40), nullptr);
  r.chip().clear_faults();
}

// ---------------------------------------------------------------------------
// Whole pages and reads.
// ---------------------------------------------------------------------------

TEST(CacheWholePage, AWholePageDropsCachedCopiesWithoutWritingThem) {
  BlkRig r;
  ASSERT_EQ(write_one_sector(r, 5, 1), 0u);
  write_whole_page(r, 6, 2);
  std::vector<uchar> page(r.page_size());
  ASSERT_EQ(nand_read(r.blk, 6 * 4, 4, page.data()), 0u);
  ASSERT_EQ(r.write_list(), (std::vector<uint32_t>{5}));
  ASSERT_EQ(r.read_list(), (std::vector<uint32_t>{6}));

  r.chip().reset_counters();
  write_whole_page(r, 5, 3);
  write_whole_page(r, 6, 4);
  EXPECT_EQ(r.chip().counters().programs, 2u);  // only the new pages
  EXPECT_TRUE(r.write_list().empty());
  EXPECT_TRUE(r.read_list().empty());

  r.chip().reset_counters();
  ASSERT_EQ(nand_read(r.blk, 5 * 4, 4, page.data()), 0u);
  EXPECT_EQ(r.chip().counters().reads, 1u);  // a miss
  EXPECT_EQ(page, r.sectors(4, 3));
}

TEST(CacheRead, ADirtyPageIsServedFromMemory) {
  BlkRig r;
  write_whole_page(r, 7, 1);
  ASSERT_EQ(write_one_sector(r, 7, 2), 0u);
  r.chip().reset_counters();
  std::vector<uchar> page(r.page_size());
  ASSERT_EQ(nand_read(r.blk, 7 * 4, 4, page.data()), 0u);
  EXPECT_EQ(r.chip().counters().reads, 0u);
  std::vector<uchar> expected = r.sectors(4, 1);
  std::vector<uchar> sector = r.sectors(1, 2);
  std::copy(sector.begin(), sector.end(), expected.begin() + 512);
  EXPECT_EQ(page, expected);
  EXPECT_EQ(r.write_list(), (std::vector<uint32_t>{7}));
  EXPECT_TRUE(r.read_list().empty());
}

TEST(CacheRead, TheLeastRecentlyReadCleanPageIsReusedFirst) {
  BlkRig r;
  std::vector<uchar> sector(512);
  for (uint32_t lp = 0; lp < 32; ++lp) ASSERT_EQ(nand_read(r.blk, lp * 4, 1, sector.data()), 0u);
  ASSERT_EQ(nand_read(r.blk, 0, 1, sector.data()), 0u);  // hit: page 0 becomes the newest
  ASSERT_EQ(nand_read(r.blk, 32 * 4, 1, sector.data()), 0u);
  std::vector<uint32_t> list = r.read_list();
  ASSERT_EQ(list.size(), 32u);
  EXPECT_EQ(list.front(), 2u);
  EXPECT_EQ(list[list.size() - 2], 0u);
  EXPECT_EQ(list.back(), 32u);
}

TEST(CacheRead, APageThatFailedToReadIsNotServedFromTheCacheLater) {
  BlkRig r;
  write_whole_page(r, 9, 6);
  r.chip().inject_read_error(flash_page_of(r, 9), -EBADMSG);
  std::vector<uchar> page(r.page_size());
  EXPECT_NE(nand_read(r.blk, 9 * 4, 4, page.data()), 0u);
  EXPECT_TRUE(r.read_list().empty());
  r.chip().clear_faults();

  r.chip().reset_counters();
  ASSERT_EQ(nand_read(r.blk, 9 * 4, 4, page.data()), 0u);
  EXPECT_EQ(r.chip().counters().reads, 1u);
  EXPECT_EQ(page, r.sectors(4, 6));
}

// ---------------------------------------------------------------------------
// Flush.
// ---------------------------------------------------------------------------

TEST(CacheFlush, WritesDirtyPagesOldestFirstAndEmptiesTheList) {
  BlkRig r;
  LogCapture log;
  r.chip().reset_counters();
  EXPECT_EQ(nand_flush_write_cache(r.blk), 0u);  // an empty list flushes quietly
  EXPECT_EQ(r.chip().counters().programs, 0u);
  EXPECT_TRUE(log.lines().empty());
  for (uint32_t lp : {3u, 1u, 2u}) ASSERT_EQ(write_one_sector(r, lp, lp), 0u);
  ASSERT_EQ(write_one_sector(r, 3, 9), 0u);  // page 3 becomes the newest
  r.chip().reset_counters();
  EXPECT_EQ(nand_flush_write_cache(r.blk), 0u);
  EXPECT_EQ(r.chip().counters().programs, 3u);
  EXPECT_TRUE(r.write_list().empty());
  EXPECT_EQ(get_empty_cahce_node(r.cache()), node(r, 0));
  const _nand_page* map = r.part()->part_logic_page_map;
  ASSERT_EQ(map[1].blkNO_in_chip, map[3].blkNO_in_chip);
  ASSERT_EQ(map[2].blkNO_in_chip, map[3].blkNO_in_chip);
  EXPECT_LT(map[1].Page_NO, map[2].Page_NO);
  EXPECT_LT(map[2].Page_NO, map[3].Page_NO);
}

TEST(CacheFlush, AFailedWriteIsReportedAfterEveryPageWasTried) {
  LogCapture log;
  BlkRig r;
  for (uint32_t lp = 0; lp < 3; ++lp) ASSERT_EQ(write_one_sector(r, lp, lp), 0u);
  r.chip().set_program_fail_rate(1.0);
  EXPECT_NE(nand_flush_write_cache(r.blk), 0u);
  r.chip().clear_faults();
  EXPECT_EQ(log.count("nand_flush_write_cache write error\n"), 1u);
  EXPECT_TRUE(r.write_list().empty());
  EXPECT_EQ(r.cache()->cache_write_nums, 0);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(node(r, i)->cache_info, 0x00FF) << i;
}

}  // namespace
