// The block layer: request building, scatter mapping with run merging, the
// page-wise mapping iterator, queue limits and the cutting of requests to
// those limits.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <numeric>
#include <vector>

#include "platform/block_request.h"
#include "platform/blkdev.h"
#include "platform/kernel.h"

namespace {

constexpr unsigned kMaxEntries = 64;

struct Mapped {
  int count = 0;
  std::vector<scatterlist> table = std::vector<scatterlist>(kMaxEntries);
};

Mapped map(request_queue* q, BlockRequest& req) {
  Mapped m;
  sg_init_table(m.table.data(), kMaxEntries);
  m.count = blk_rq_map_sg(q, req.get(), m.table.data());
  return m;
}

struct Piece {
  uint8_t* addr;
  size_t length;
};

std::vector<Piece> walk(scatterlist* sg, unsigned nents, unsigned flags = SG_MITER_ATOMIC | SG_MITER_FROM_SG) {
  std::vector<Piece> pieces;
  sg_mapping_iter miter;
  sg_miter_start(&miter, sg, nents, flags);
  while (sg_miter_next(&miter)) pieces.push_back({static_cast<uint8_t*>(miter.addr), miter.length});
  sg_miter_stop(&miter);
  return pieces;
}

}  // namespace

// ---------------------------------------------------------------------------
// Building requests.
// ---------------------------------------------------------------------------

TEST(BlockRequestTest, BufferIsCutIntoPagesWithAShortLastPage) {
  std::vector<uint8_t> data(2 * 4096 + 1024);
  auto req = BlockRequest::over_buffer(BlockOp::Write, 40, data);
  ASSERT_TRUE(req.ok()) << req.error();
  request* rq = req->get();
  EXPECT_EQ(rq->cmd_type, REQ_TYPE_FS);
  EXPECT_EQ(rq_data_dir(rq), WRITE);
  EXPECT_EQ(blk_rq_pos(rq), 40u);
  EXPECT_EQ(blk_rq_bytes(rq), 9216u);
  EXPECT_EQ(blk_rq_sectors(rq), 18u);
  EXPECT_EQ(blk_rq_cur_sectors(rq), 8u);
  ASSERT_NE(rq->bio, nullptr);
  ASSERT_EQ(rq->bio->bi_vcnt, 3);
  EXPECT_EQ(rq->bio->bi_io_vec[1].bv_page, data.data() + 4096);
  EXPECT_EQ(rq->bio->bi_io_vec[2].bv_len, 1024u);
  EXPECT_EQ(blk_rq_check(rq), 0);
}

TEST(BlockRequestTest, RefusesPiecesThatAreNotWholeSectorsOfOnePage) {
  std::vector<uint8_t> data(8192);
  EXPECT_FALSE(BlockRequest::over_buffer(BlockOp::Read, 0, std::span(data).first(1000)).ok());
  std::vector<std::span<uint8_t>> too_long = {std::span(data)};
  EXPECT_FALSE(BlockRequest::over_pieces(BlockOp::Read, 0, too_long).ok());
  std::vector<std::span<uint8_t>> empty_piece = {std::span(data).first(0)};
  EXPECT_FALSE(BlockRequest::over_pieces(BlockOp::Read, 0, empty_piece).ok());
}

TEST(BlockRequestTest, PiecesSpreadOverBiosKeepTheirSectors) {
  auto buf = PageBuffer::scattered(5);
  auto req = BlockRequest::over_pieces(BlockOp::Read, 100, buf.pieces(5 * 4096), 2);
  ASSERT_TRUE(req.ok());
  std::vector<sector_t> bio_sectors;
  std::vector<unsigned short> bio_vecs;
  for (bio* b = req->get()->bio; b != nullptr; b = b->bi_next) {
    bio_sectors.push_back(b->bi_sector);
    bio_vecs.push_back(b->bi_vcnt);
  }
  EXPECT_EQ(bio_sectors, (std::vector<sector_t>{100, 116, 132}));
  EXPECT_EQ(bio_vecs, (std::vector<unsigned short>{2, 2, 1}));
  EXPECT_EQ(req->get()->biotail->bi_sector, 132u);
}

TEST(BlockRequestTest, ZeroLengthAndDiscardRequests) {
  auto empty = BlockRequest::over_buffer(BlockOp::Read, 7, {});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->get()->bio, nullptr);
  EXPECT_EQ(blk_rq_bytes(empty->get()), 0u);
  EXPECT_EQ(blk_rq_cur_sectors(empty->get()), 0u);

  BlockRequest discard = BlockRequest::discard(64, 24);
  request* rq = discard.get();
  EXPECT_TRUE(rq->cmd_flags & REQ_DISCARD);
  EXPECT_EQ(blk_rq_sectors(rq), 24u);
  // A discard's bio carries no pieces; its current segment is the whole bio.
  EXPECT_EQ(blk_rq_cur_sectors(rq), 24u);
  EXPECT_EQ(blk_rq_check(rq), 0);
}

TEST(BlockRequestTest, CheckFindsMalformedRequests) {
  auto buf = PageBuffer::contiguous(2);
  auto req = buf.request_for(BlockOp::Write, 0, 8192);
  ASSERT_TRUE(req.ok());
  request* rq = req->get();
  rq->__data_len = 4096;  // pieces say 8192
  EXPECT_EQ(blk_rq_check(rq), -EINVAL);
  rq->__data_len = 8192;
  rq->bio->bi_io_vec[1].bv_offset = 512;  // runs past its frame
  EXPECT_EQ(blk_rq_check(rq), -EINVAL);
  rq->bio->bi_io_vec[1].bv_offset = 0;
  rq->bio->bi_io_vec[1].bv_len = 4000;  // not whole sectors
  rq->__data_len = 8096;
  EXPECT_EQ(blk_rq_check(rq), -EINVAL);
}

TEST(PageBufferTest, LayoutFollowsThePattern) {
  PageBuffer buf(4, [](size_t i) { return i != 1; });  // 0-1 adjacent, gap, 2-3 adjacent
  EXPECT_EQ(buf.page(1).data(), buf.page(0).data() + 4096);
  EXPECT_NE(buf.page(2).data(), buf.page(1).data() + 4096);
  EXPECT_EQ(buf.page(3).data(), buf.page(2).data() + 4096);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buf.page(0).data()) % 4096, 0u);

  std::vector<uint8_t> in(buf.size()), out(buf.size());
  std::iota(in.begin(), in.end(), 0);
  buf.copy_in(in);
  buf.copy_out(out);
  EXPECT_EQ(in, out);
  EXPECT_TRUE(buf.guards_intact());
  buf.page(1).data()[4096] = 0;  // first byte of the guard page
  EXPECT_FALSE(buf.guards_intact());
}

// ---------------------------------------------------------------------------
// Scatter mapping.
// ---------------------------------------------------------------------------

TEST(MapSgTest, AdjacentPagesShareOneEntryScatteredPagesDoNot) {
  request_queue q;
  auto contiguous = PageBuffer::contiguous(4);
  auto req = contiguous.request_for(BlockOp::Read, 0, 4 * 4096);
  ASSERT_TRUE(req.ok());
  Mapped m = map(&q, req.value());
  ASSERT_EQ(m.count, 1);
  EXPECT_EQ(m.table[0].length, 16384u);
  EXPECT_EQ(sg_virt(&m.table[0]), contiguous.page(0).data());
  EXPECT_TRUE(sg_is_last(&m.table[0]));

  auto scattered = PageBuffer::scattered(4);
  auto req2 = scattered.request_for(BlockOp::Read, 0, 4 * 4096);
  ASSERT_TRUE(req2.ok());
  Mapped m2 = map(&q, req2.value());
  ASSERT_EQ(m2.count, 4);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(sg_virt(&m2.table[i]), scattered.page(i).data());
    EXPECT_EQ(m2.table[i].length, 4096u);
    EXPECT_EQ(sg_is_last(&m2.table[i]), i == 3);
  }
}

TEST(MapSgTest, MixedLayoutGivesOneEntryPerRun) {
  request_queue q;
  PageBuffer buf(5, [](size_t i) { return i != 1; });  // runs: 0-1, 2-4
  auto req = buf.request_for(BlockOp::Write, 0, 5 * 4096, 1024);  // 1024-byte pieces
  ASSERT_TRUE(req.ok());
  Mapped m = map(&q, req.value());
  ASSERT_EQ(m.count, 2);
  EXPECT_EQ(m.table[0].length, 8192u);
  EXPECT_EQ(m.table[1].length, 12288u);
  EXPECT_EQ(sg_virt(&m.table[1]), buf.page(2).data());
  EXPECT_EQ(blk_rq_count_segments(&q, req->get()), 2u);
}

TEST(MapSgTest, MergingCrossesBiosButNotTheSegmentSize) {
  request_queue q;
  auto buf = PageBuffer::contiguous(4);
  auto req = BlockRequest::over_pieces(BlockOp::Read, 0, buf.pieces(4 * 4096), 1);
  ASSERT_TRUE(req.ok());
  EXPECT_EQ(map(&q, req.value()).count, 1);

  blk_queue_max_segment_size(&q, 8192);
  Mapped m = map(&q, req.value());
  ASSERT_EQ(m.count, 2);
  EXPECT_EQ(m.table[0].length, 8192u);
  EXPECT_EQ(m.table[1].length, 8192u);
}

TEST(MapSgTest, NeverUsesMoreEntriesThanTheQueueAllows) {
  request_queue q;
  blk_queue_max_segments(&q, 2);
  auto buf = PageBuffer::scattered(4);
  auto req = buf.request_for(BlockOp::Read, 0, 4 * 4096);
  ASSERT_TRUE(req.ok());
  Mapped m = map(&q, req.value());
  EXPECT_EQ(m.count, 2);
  EXPECT_TRUE(sg_is_last(&m.table[1]));
  EXPECT_EQ(m.table[2].length, 0u);  // untouched
  EXPECT_EQ(blk_rq_count_segments(&q, req->get()), 4u);
}

TEST(MapSgTest, ReusedTableLosesTheOldEndMark) {
  request_queue q;
  std::vector<scatterlist> table(8);
  sg_init_table(table.data(), 8);
  auto one = PageBuffer::contiguous(1);
  auto req1 = one.request_for(BlockOp::Read, 0, 4096);
  ASSERT_EQ(blk_rq_map_sg(&q, req1->get(), table.data()), 1);
  auto three = PageBuffer::scattered(3);
  auto req3 = three.request_for(BlockOp::Read, 0, 3 * 4096);
  ASSERT_EQ(blk_rq_map_sg(&q, req3->get(), table.data()), 3);
  int entries = 0;
  for (scatterlist* sg = table.data(); sg != nullptr; sg = sg_next(sg)) {
    ++entries;
    if (sg_is_last(sg)) break;
  }
  EXPECT_EQ(entries, 3);
  EXPECT_EQ(walk(table.data(), 8).size(), 3u);
}

TEST(MapSgTest, RequestWithoutDataMapsNothing) {
  request_queue q;
  auto req = BlockRequest::over_buffer(BlockOp::Read, 0, {});
  ASSERT_TRUE(req.ok());
  EXPECT_EQ(map(&q, req.value()).count, 0);
}

// ---------------------------------------------------------------------------
// Mapping iterator.
// ---------------------------------------------------------------------------

TEST(MiterTest, SplitsAnEntryAtItsFrameBoundaries) {
  auto buf = PageBuffer::contiguous(3);
  scatterlist sg[1];
  sg_init_table(sg, 1);
  sg_set_page(sg, buf.page(0).data(), 8192, 1024);  // bytes 1024 .. 9215 of three frames
  auto pieces = walk(sg, 1);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[0].addr, buf.page(0).data() + 1024);
  EXPECT_EQ(pieces[0].length, 3072u);
  EXPECT_EQ(pieces[1].addr, buf.page(1).data());
  EXPECT_EQ(pieces[1].length, 4096u);
  EXPECT_EQ(pieces[2].addr, buf.page(2).data());
  EXPECT_EQ(pieces[2].length, 1024u);
}

TEST(MiterTest, WalksMappedRequestsPageByPage) {
  // Two 4096-byte pages, 16 sectors: adjacent pages come out as pieces that
  // continue each other in memory, separate pages as pieces that do not.
  request_queue q;
  for (bool adjacent : {true, false}) {
    PageBuffer buf(2, [adjacent](size_t) { return adjacent; });
    auto req = buf.request_for(BlockOp::Read, 0, 8192);
    ASSERT_TRUE(req.ok());
    Mapped m = map(&q, req.value());
    auto pieces = walk(m.table.data(), m.count, SG_MITER_ATOMIC | SG_MITER_TO_SG);
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_EQ(pieces[0].addr, buf.page(0).data());
    EXPECT_EQ(pieces[1].addr, buf.page(1).data());
    EXPECT_EQ(pieces[0].addr + pieces[0].length == pieces[1].addr, adjacent);
  }
}

TEST(MiterTest, PartlyConsumedPieceContinuesWhereTheCallerStopped) {
  auto buf = PageBuffer::contiguous(1);
  scatterlist sg[1];
  sg_init_table(sg, 1);
  sg_set_page(sg, buf.page(0).data(), 4096, 0);
  sg_mapping_iter miter;
  sg_miter_start(&miter, sg, 1, SG_MITER_FROM_SG);
  ASSERT_TRUE(sg_miter_next(&miter));
  miter.consumed = 1000;
  ASSERT_TRUE(sg_miter_next(&miter));
  EXPECT_EQ(miter.addr, buf.page(0).data() + 1000);
  EXPECT_EQ(miter.length, 3096u);
  EXPECT_FALSE(sg_miter_next(&miter));
  sg_miter_stop(&miter);
}

TEST(MiterTest, StopsAfterNentsOrAtTheEndMark) {
  auto buf = PageBuffer::scattered(4);
  scatterlist sg[4];
  sg_init_table(sg, 4);
  for (int i = 0; i < 4; ++i) sg_set_page(&sg[i], buf.page(i).data(), 4096, 0);
  EXPECT_EQ(walk(sg, 2).size(), 2u);
  sg_mark_end(&sg[2]);
  EXPECT_EQ(walk(sg, 4).size(), 3u);
  EXPECT_TRUE(walk(sg, 0).empty());
}

TEST(MiterTest, SkipsEmptyEntries) {
  auto buf = PageBuffer::scattered(2);
  scatterlist sg[3];
  sg_init_table(sg, 3);
  sg_set_page(&sg[0], buf.page(0).data(), 512, 0);
  sg_set_page(&sg[1], buf.page(0).data(), 0, 0);
  sg_set_page(&sg[2], buf.page(1).data(), 1024, 512);
  auto pieces = walk(sg, 3);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[1].addr, buf.page(1).data() + 512);
  EXPECT_EQ(pieces[1].length, 1024u);
}

// ---------------------------------------------------------------------------
// Queue limits and flags.
// ---------------------------------------------------------------------------

TEST(QueueTest, SettersApplyTheKernelMinimums) {
  LogCapture log;
  request_queue q;
  blk_queue_max_hw_sectors(&q, 512);
  EXPECT_EQ(queue_max_hw_sectors(&q), 512u);
  EXPECT_EQ(queue_max_sectors(&q), 512u);
  blk_queue_max_hw_sectors(&q, 4096);
  EXPECT_EQ(queue_max_sectors(&q), 1024u);  // the layer's own cap
  blk_queue_max_hw_sectors(&q, 1);
  EXPECT_EQ(queue_max_hw_sectors(&q), 8u);
  blk_queue_max_segments(&q, 0);
  EXPECT_EQ(queue_max_segments(&q), 1);
  blk_queue_max_segment_size(&q, 512);
  EXPECT_EQ(queue_max_segment_size(&q), 4096u);
  EXPECT_EQ(log.count("blk_queue_max_hw_sectors: set to minimum 8\n"), 1u);
  EXPECT_EQ(log.count("blk_queue_max_segment_size: set to minimum 4096\n"), 1u);

  blk_queue_physical_block_size(&q, 262144);
  EXPECT_EQ(queue_physical_block_size(&q), 262144u);
  blk_queue_physical_block_size(&q, 256);
  EXPECT_EQ(queue_physical_block_size(&q), 512u);  // never below the logical size
  blk_queue_bounce_limit(&q, BLK_BOUNCE_HIGH);
  EXPECT_EQ(q.limits.bounce_pfn, BLK_BOUNCE_HIGH >> 12);
}

TEST(QueueTest, FlagsAndCleanup) {
  request_queue q;
  unsigned long flags;
  spin_lock_irqsave(q.queue_lock, flags);
  EXPECT_TRUE(irqs_disabled());
  queue_flag_set(QUEUE_FLAG_NONROT, &q);
  spin_unlock_irqrestore(q.queue_lock, flags);
  EXPECT_FALSE(irqs_disabled());
  EXPECT_TRUE(blk_queue_nonrot(&q));
  EXPECT_EQ(q.queue_flags, 1ul << 12);
  blk_cleanup_queue(&q);
  EXPECT_TRUE(blk_queue_dead(&q));
}

TEST(QueueTest, InterruptFlagNests) {
  unsigned long outer, inner;
  local_irq_save(outer);
  local_irq_save(inner);
  local_irq_restore(inner);
  EXPECT_TRUE(irqs_disabled());
  local_irq_restore(outer);
  EXPECT_FALSE(irqs_disabled());
}

// ---------------------------------------------------------------------------
// Cutting requests to the limits.
// ---------------------------------------------------------------------------

namespace {

struct ServedPart {
  sector_t sector;
  unsigned int bytes;
  unsigned int segments;
  std::vector<uint8_t> data;
};

// Serves parts by recording them and the bytes their pieces hold.
struct Recorder {
  std::vector<ServedPart> parts;
  int fail_at = -1;  // index of the part to fail with -EIO
  std::function<void()> between;

  int operator()(request_queue* q, request* rq) {
    ServedPart p{blk_rq_pos(rq), blk_rq_bytes(rq), blk_rq_count_segments(q, rq), {}};
    for (bio* b = rq->bio; b != nullptr; b = b->bi_next) {
      for (unsigned short i = 0; i < b->bi_vcnt; ++i) {
        const bio_vec& v = b->bi_io_vec[i];
        p.data.insert(p.data.end(), v.bv_page + v.bv_offset, v.bv_page + v.bv_offset + v.bv_len);
      }
    }
    parts.push_back(std::move(p));
    if (between) between();
    return static_cast<int>(parts.size()) - 1 == fail_at ? -EIO : 0;
  }
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return v;
}

}  // namespace

TEST(SplitTest, RequestWithinTheLimitsIsServedWhole) {
  request_queue q;
  auto buf = PageBuffer::scattered(8);
  auto req = buf.request_for(BlockOp::Write, 0, 8 * 4096);
  Recorder rec;
  request* seen = nullptr;
  EXPECT_EQ(blk_split_request(&q, req->get(), [&](request* rq) {
              seen = rq;
              return rec(&q, rq);
            }),
            0);
  EXPECT_EQ(seen, req->get());
  ASSERT_EQ(rec.parts.size(), 1u);
}

TEST(SplitTest, LongRequestIsCutAtMaxSectorsInsidePieces) {
  request_queue q;
  blk_queue_max_hw_sectors(&q, 12);  // 6144 bytes: one and a half pages
  auto buf = PageBuffer::contiguous(4);
  const auto data = pattern(buf.size());
  buf.copy_in(data);
  auto req = buf.request_for(BlockOp::Write, 1000, buf.size());
  Recorder rec;
  ASSERT_EQ(blk_split_request(&q, req->get(), [&](request* rq) { return rec(&q, rq); }), 0);
  ASSERT_EQ(rec.parts.size(), 3u);
  std::vector<uint8_t> joined;
  sector_t expected_sector = 1000;
  for (const auto& part : rec.parts) {
    EXPECT_EQ(part.sector, expected_sector);
    EXPECT_LE(part.bytes, 6144u);
    EXPECT_EQ(part.segments, 1u);
    expected_sector += part.bytes / 512;
    joined.insert(joined.end(), part.data.begin(), part.data.end());
  }
  EXPECT_EQ(rec.parts[2].bytes, 4096u);
  EXPECT_EQ(joined, data);  // every byte once, in order
}

TEST(SplitTest, TooManySegmentsAreCutBeforeTheNextSegment) {
  request_queue q;
  blk_queue_max_segments(&q, 3);
  PageBuffer buf(8, [](size_t i) { return i == 3; });  // pages 3-4 adjacent: 7 segments
  const auto data = pattern(buf.size());
  buf.copy_in(data);
  auto req = buf.request_for(BlockOp::Read, 0, buf.size());
  Recorder rec;
  ASSERT_EQ(blk_split_request(&q, req->get(), [&](request* rq) { return rec(&q, rq); }), 0);
  ASSERT_EQ(rec.parts.size(), 3u);
  EXPECT_EQ(rec.parts[0].bytes, 3u * 4096);
  EXPECT_EQ(rec.parts[1].bytes, 4u * 4096);  // pages 3, 4 (one segment), 5, 6
  EXPECT_EQ(rec.parts[2].bytes, 1u * 4096);
  std::vector<uint8_t> joined;
  for (const auto& part : rec.parts) {
    EXPECT_LE(part.segments, 3u);
    joined.insert(joined.end(), part.data.begin(), part.data.end());
  }
  EXPECT_EQ(joined, data);
}

TEST(SplitTest, LimitsAreReadAfreshBeforeEachCut) {
  request_queue q;
  blk_queue_max_segments(&q, 1);
  auto buf = PageBuffer::scattered(6);
  auto req = buf.request_for(BlockOp::Read, 0, buf.size());
  Recorder rec;
  rec.between = [&] { blk_queue_max_segments(&q, 4); };  // as a driver's queue set-up would
  ASSERT_EQ(blk_split_request(&q, req->get(), [&](request* rq) { return rec(&q, rq); }), 0);
  ASSERT_EQ(rec.parts.size(), 3u);
  EXPECT_EQ(rec.parts[0].segments, 1u);
  EXPECT_EQ(rec.parts[1].segments, 4u);
  EXPECT_EQ(rec.parts[2].segments, 1u);
}

TEST(SplitTest, FirstFailingPartEndsTheRequest) {
  request_queue q;
  blk_queue_max_hw_sectors(&q, 8);
  auto buf = PageBuffer::contiguous(4);
  auto req = buf.request_for(BlockOp::Write, 0, buf.size());
  Recorder rec;
  rec.fail_at = 1;
  EXPECT_EQ(blk_split_request(&q, req->get(), [&](request* rq) { return rec(&q, rq); }), -EIO);
  EXPECT_EQ(rec.parts.size(), 2u);
}

TEST(SplitTest, DiscardsAndOtherRequestsAreNeverCut) {
  request_queue q;
  blk_queue_max_hw_sectors(&q, 8);
  BlockRequest discard = BlockRequest::discard(0, 4096);
  Recorder rec;
  EXPECT_EQ(blk_split_request(&q, discard.get(), [&](request* rq) { return rec(&q, rq); }), 0);
  auto buf = PageBuffer::contiguous(4);
  auto other = buf.request_for(BlockOp::Read, 0, buf.size());
  other->get()->cmd_type = REQ_TYPE_BLOCK_PC;
  EXPECT_EQ(blk_split_request(&q, other->get(), [&](request* rq) { return rec(&q, rq); }), 0);
  ASSERT_EQ(rec.parts.size(), 2u);
  EXPECT_EQ(rec.parts[0].bytes, 4096u * 512);
  EXPECT_EQ(rec.parts[1].bytes, 4u * 4096);
}
