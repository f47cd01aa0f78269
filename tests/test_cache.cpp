// The sector cache, on a device record over a partition of 2048-byte pages
// (4 sectors): runs cut at page boundaries, partial pages merged, the write
// list's bound of 16 dirty pages, runs past the disk refused, failed reads
// not kept, trims, the flush.
#include <gtest/gtest.h>

#include <cerrno>

#include "support/rig.h"

namespace {

uint64_t programs(Disk& d) { return d.chip().counters().programs; }
std::vector<uint32_t> dirty_pages(Disk& d) {
  std::vector<uint32_t> pages;
  for (_cache_node* n = d.blk->cache.cache_write_head.cache_write_next; n; n = n->cache_write_next)
    pages.push_back(n->page_no);
  return pages;
}
uint64_t flash_page_of(Disk& d, uint32_t lp) {
  return d.rig.abs(d.rig.map(lp).blkNO_in_chip, d.rig.map(lp).Page_NO);
}
uint32 write_sectors(Disk& d, uint32_t first, uint32_t count, uint32_t id) {
  std::vector<uint8_t> data = stamped(count * kSectorBytes, first, id);
  return nand_write(d.blk, first, count, data.data());
}

// Ten sectors from sector 5: the head (sectors 5-7) and the tail (12-14)
// are merged into dirty pages, the middle page goes straight to the flash;
// a failed merge read fails the run, logged with its bitmap, while the
// run's other pages are still done; so does a failed middle page of a read.
TEST(CacheRuns, AreCutAtPageBoundaries) {
  Disk d;
  LogCapture log;
  d.chip().reset_counters();
  std::vector<uint8_t> data = stamped(10 * kSectorBytes, 5, 1), back(data.size());
  ASSERT_EQ(nand_write(d.blk, 5, 10, data.data()), 0u);
  EXPECT_EQ(dirty_pages(d), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(programs(d), 1u);
  ASSERT_EQ(nand_read(d.blk, 5, 10, back.data()), 0u);
  EXPECT_EQ(back, data);
  EXPECT_EQ(log.text(), "");
  ASSERT_EQ(nand_flush_write_cache(d.blk), 0u);
  for (auto [lp, line] : {std::pair{1, "error3 bitmap 103!\n"}, {3, "error3 bitmap 3!\n"}}) {
    d.chip().inject_read_error(flash_page_of(d, lp), -EBADMSG);
    EXPECT_NE(write_sectors(d, 5, 10, 2), 0u);
    EXPECT_EQ(log.count(line), 1u);
    EXPECT_EQ(dirty_pages(d), std::vector<uint32_t>{lp == 1 ? 3u : 1u})
        << "the other end is merged";
    d.chip().clear_faults();
    ASSERT_EQ(nand_flush_write_cache(d.blk), 0u);
  }
  d.chip().inject_read_error(flash_page_of(d, 2), -EBADMSG);
  EXPECT_NE(nand_read(d.blk, 5, 10, back.data()), 0u) << "a failed middle page fails the run";
}

// A run reaching past the disk's end is refused before any page moves, also
// where a 32-bit page number would wrap around onto the first pages.
TEST(CacheRuns, PastTheDiskAreRefusedUntouched) {
  Disk d;
  const unsigned long end = d.sectors();
  std::vector<uint8_t> data(8 * kSectorBytes);
  d.chip().reset_counters();
  EXPECT_EQ(nand_write(d.blk, end, 1, data.data()), 1u);
  EXPECT_EQ(nand_write(d.blk, end - 4, 8, data.data()), 1u);
  EXPECT_EQ(nand_write(d.blk, 0xFFFFFFFFul, 8, data.data()), 1u);
  EXPECT_EQ(nand_read(d.blk, end - 1, 2, data.data()), 1u);
  EXPECT_EQ(d.chip().counters().reads + programs(d), 0u);
  EXPECT_TRUE(dirty_pages(d).empty());
  EXPECT_EQ(nand_write(d.blk, end - 8, 8, data.data()), 0u);
}

// Sixteen dirty pages are held; a miss beyond them, or a clean hit that
// brings the list to sixteen, pushes the oldest out.
TEST(CacheBound, SixteenDirtyPages) {
  Disk d;
  std::vector<uint8_t> page(2048);
  ASSERT_EQ(nand_read(d.blk, 20 * 4, 4, page.data()), 0u);  // page 20 clean in the cache
  d.chip().reset_counters();
  for (uint32_t lp = 0; lp < 16; ++lp) ASSERT_EQ(write_sectors(d, lp * 4 + 1, 1, lp), 0u);
  EXPECT_EQ(programs(d), 0u);
  ASSERT_EQ(write_sectors(d, 16 * 4 + 1, 1, 16), 0u);
  EXPECT_EQ(programs(d), 1u);
  EXPECT_EQ(dirty_pages(d).front(), 1u) << "page 0 pushed out";
  ASSERT_EQ(nand_flush_write_cache(d.blk), 0u);
  for (uint32_t lp = 0; lp < 15; ++lp) ASSERT_EQ(write_sectors(d, lp * 4 + 1, 1, lp), 0u);
  d.chip().reset_counters();
  ASSERT_EQ(write_sectors(d, 20 * 4 + 1, 1, 20), 0u);
  EXPECT_EQ(d.chip().counters().reads, 0u) << "merged into the clean copy";
  EXPECT_EQ(programs(d), 1u);
  EXPECT_EQ(dirty_pages(d).size(), 15u);
}

// A page that failed to read is not kept: the next read goes to the flash.
TEST(CacheRead, APageThatFailedToReadIsReadAgainFromTheFlash) {
  Disk d;
  ASSERT_EQ(write_sectors(d, 36, 4, 6), 0u);
  d.chip().inject_read_error(flash_page_of(d, 9), -EBADMSG);
  std::vector<uint8_t> page(2048);
  EXPECT_NE(nand_read(d.blk, 36, 4, page.data()), 0u);
  d.chip().clear_faults();
  d.chip().reset_counters();
  ASSERT_EQ(nand_read(d.blk, 36, 4, page.data()), 0u);
  EXPECT_EQ(d.chip().counters().reads, 1u);
  EXPECT_EQ(page, stamped(2048, 36, 6));
}

// A trim drops the whole pages of its run from the cache, dirty (never
// written out) or clean, and they read erased; the page it covers in part
// keeps its dirty sectors.
TEST(CacheTrim, DropsWholePagesAndKeepsPartOnes) {
  Disk d;
  std::vector<uint8_t> page(2048), erased(2048, 0xFF);
  ASSERT_EQ(nand_read(d.blk, 8, 4, page.data()), 0u);  // page 2 clean in the cache
  for (uint32_t lp : {0u, 1u, 2u}) ASSERT_EQ(write_sectors(d, lp * 4 + 1, 2, 7), 0u);
  d.chip().reset_counters();
  ASSERT_EQ(nand_trim(d.blk, 1, 11), 0u);  // page 0 in part, pages 1 and 2 whole
  EXPECT_EQ(dirty_pages(d), std::vector<uint32_t>{0});
  ASSERT_EQ(nand_flush_write_cache(d.blk), 0u);
  EXPECT_EQ(programs(d), 1u) << "only page 0 written out";
  for (uint32_t lp : {1u, 2u}) {
    ASSERT_EQ(nand_read(d.blk, lp * 4, 4, page.data()), 0u);
    EXPECT_EQ(page, erased) << "page " << lp;
  }
  ASSERT_EQ(nand_read(d.blk, 1, 2, page.data()), 0u);
  EXPECT_EQ(std::vector<uint8_t>(page.begin(), page.begin() + 1024), stamped(1024, 1, 7));
  EXPECT_EQ(nand_trim(d.blk, d.sectors() - 4, 8), 1u) << "past the disk's end";
}

// A failed write of a flush is reported after every page was tried, the
// list emptied.
TEST(CacheFlush, ReportsAFailureAfterTryingEveryPage) {
  Disk d;
  LogCapture log;
  for (uint32_t lp = 0; lp < 3; ++lp) ASSERT_EQ(write_sectors(d, lp * 4, 1, lp), 0u);
  d.chip().set_program_fail_rate(1.0);
  EXPECT_NE(nand_flush_write_cache(d.blk), 0u);
  d.chip().clear_faults();
  EXPECT_EQ(log.count("nand_flush_write_cache write error\n"), 1u);
  EXPECT_TRUE(dirty_pages(d).empty());
}

}  // namespace
