// The block layer: request building, scatter mapping with run merging, the
// page-wise mapping iterator, queue limits and the cutting of requests to
// those limits.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/block/blkdev.h"
#include "platform/block/block_request.h"
#include "platform/kernel/kernel.h"

namespace {

struct Piece {
  uint8_t* addr;
  size_t length;
};

std::vector<Piece> walk(scatterlist* sg, unsigned nents,
                        unsigned flags = SG_MITER_ATOMIC | SG_MITER_FROM_SG) {
  std::vector<Piece> pieces;
  sg_mapping_iter miter;
  sg_miter_start(&miter, sg, nents, flags);
  while (sg_miter_next(&miter)) pieces.push_back({static_cast<uint8_t*>(miter.addr), miter.length});
  sg_miter_stop(&miter);
  return pieces;
}

// A buffer of layout.size() + 1 pages: '+' where a page follows the one
// before it in memory, '|' where it does not.
PageBuffer laid_out(const std::string& layout) {
  return PageBuffer(layout.size() + 1, [layout](size_t i) { return layout[i] == '+'; });
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Building requests.
// ---------------------------------------------------------------------------

TEST(BlockRequestTest, BufferIsCutIntoPagesAndPiecesSpreadOverBios) {
  std::vector<uint8_t> data(2 * 4096 + 1024);
  auto req = BlockRequest::over_buffer(BlockOp::Write, 40, data);
  ASSERT_TRUE(req.ok()) << req.message();
  request* rq = req->get();
  EXPECT_EQ(rq_data_dir(rq), WRITE);
  EXPECT_EQ(blk_rq_sectors(rq), 18u);
  EXPECT_EQ(blk_rq_cur_sectors(rq), 8u);
  ASSERT_EQ(rq->bio->bi_vcnt, 3);
  EXPECT_EQ(rq->bio->bi_io_vec[1].bv_page, data.data() + 4096);
  EXPECT_EQ(rq->bio->bi_io_vec[2].bv_len, 1024u);
  EXPECT_EQ(blk_rq_check(rq), 0);

  auto buf = PageBuffer::scattered(5);
  auto pieces = buf.pieces(5 * 4096);
  ASSERT_TRUE(pieces.ok()) << pieces.message();
  auto spread = BlockRequest::over_pieces(BlockOp::Read, 100, pieces.value(), 2);
  ASSERT_TRUE(spread.ok());
  std::vector<sector_t> bio_sectors;
  std::vector<unsigned short> bio_vecs;
  for (bio* b = spread->get()->bio; b != nullptr; b = b->bi_next) {
    bio_sectors.push_back(b->bi_sector);
    bio_vecs.push_back(b->bi_vcnt);
  }
  EXPECT_EQ(bio_sectors, (std::vector<sector_t>{100, 116, 132}));
  EXPECT_EQ(bio_vecs, (std::vector<unsigned short>{2, 2, 1}));
  EXPECT_EQ(spread->get()->biotail->bi_sector, 132u);
}

TEST(BlockRequestTest, RefusesOrFindsMalformedPieces) {
  std::vector<uint8_t> data(8192);
  EXPECT_FALSE(BlockRequest::over_buffer(BlockOp::Read, 0, std::span(data).first(1000)).ok());
  std::vector<std::span<uint8_t>> too_long = {std::span(data)};
  EXPECT_FALSE(BlockRequest::over_pieces(BlockOp::Read, 0, too_long).ok());
  std::vector<std::span<uint8_t>> empty_piece = {std::span(data).first(0)};
  auto refused = BlockRequest::over_pieces(BlockOp::Read, 0, empty_piece);
  ASSERT_FALSE(refused.ok());
  EXPECT_TRUE(refused.status().IsInvalidArgument()) << refused.status().ToString();

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

TEST(BlockRequestTest, ZeroLengthAndDiscardRequests) {
  auto empty = BlockRequest::over_buffer(BlockOp::Read, 7, {});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->get()->bio, nullptr);
  EXPECT_EQ(blk_rq_cur_sectors(empty->get()), 0u);
  request_queue q;
  std::vector<scatterlist> table(2);
  sg_init_table(table.data(), 2);
  EXPECT_EQ(blk_rq_map_sg(&q, empty->get(), table.data()), 0);

  BlockRequest discard = BlockRequest::discard(64, 24);
  request* rq = discard.get();
  EXPECT_TRUE(rq->cmd_flags & REQ_DISCARD);
  EXPECT_EQ(blk_rq_cur_sectors(rq), 24u);  // no pieces: the current segment is the whole bio
  EXPECT_EQ(blk_rq_check(rq), 0);
}

TEST(PageBufferTest, PiecesOfBadSizesAreRefused) {
  auto buf = PageBuffer::contiguous(2);
  for (auto [bytes, piece_size] : {std::pair<size_t, size_t>{3 * 4096, 4096},
                                   {1000, 512},
                                   {4096, 0},
                                   {4096, 1000},
                                   {4096, 8192}}) {
    auto pieces = buf.pieces(bytes, piece_size);
    ASSERT_FALSE(pieces.ok()) << bytes << " in pieces of " << piece_size;
    EXPECT_TRUE(pieces.status().IsInvalidArgument()) << pieces.status().ToString();
    auto req = buf.request_for(BlockOp::Read, 0, bytes, piece_size);
    ASSERT_FALSE(req.ok());
    EXPECT_EQ(req.message(), pieces.message());
  }
  auto pieces = buf.pieces(8192, 1024);
  ASSERT_TRUE(pieces.ok()) << pieces.message();
  EXPECT_EQ(pieces.value().size(), 8u);
}

TEST(PageBufferTest, CopiesRoundTripAndGuardsCatchOverruns) {
  PageBuffer buf = laid_out("+|");  // the layouts themselves show in the mapping tests
  std::vector<uint8_t> in = pattern(buf.size()), out(buf.size());
  buf.copy_in(in);
  buf.copy_out(out);
  EXPECT_EQ(in, out);
  EXPECT_TRUE(buf.guards_intact());
  buf.page(1).data()[4096] = 0;  // first byte of the guard page
  EXPECT_FALSE(buf.guards_intact());
}

// ---------------------------------------------------------------------------
// Scatter mapping and the mapping iterator.
// ---------------------------------------------------------------------------

TEST(MapSgTest, AdjacentPiecesMergeIntoOneEntryPerRunWithinTheLimits) {
  struct Case {
    const char* layout;
    size_t piece_size, pieces_per_bio;
    unsigned max_segment_size;
    unsigned short max_segments;
    std::vector<unsigned> lengths;
    unsigned segments;  // as counted, whatever the entry limit
  };
  const Case cases[] = {
      {"+++", 4096, 0, 0, 0, {16384}, 1},
      {"|||", 4096, 0, 0, 0, {4096, 4096, 4096, 4096}, 4},
      {"+|++", 1024, 0, 0, 0, {8192, 12288}, 2},
      {"+++", 4096, 1, 0, 0, {16384}, 1},          // across bios
      {"+++", 4096, 1, 8192, 0, {8192, 8192}, 2},  // not beyond the segment size
      {"|||", 4096, 0, 0, 2, {4096, 4096}, 4},     // never more entries than allowed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.layout);
    request_queue q;
    if (c.max_segment_size != 0) blk_queue_max_segment_size(&q, c.max_segment_size);
    if (c.max_segments != 0) blk_queue_max_segments(&q, c.max_segments);
    PageBuffer buf = laid_out(c.layout);
    auto pieces = buf.pieces(buf.size(), c.piece_size);
    ASSERT_TRUE(pieces.ok()) << pieces.message();
    auto req = BlockRequest::over_pieces(BlockOp::Read, 0, pieces.value(), c.pieces_per_bio);
    ASSERT_TRUE(req.ok());
    std::vector<scatterlist> table(8);
    sg_init_table(table.data(), 8);
    ASSERT_EQ(blk_rq_map_sg(&q, req->get(), table.data()), int(c.lengths.size()));
    size_t offset = 0;
    for (size_t i = 0; i < c.lengths.size(); ++i) {
      EXPECT_EQ(table[i].length, c.lengths[i]) << i;
      EXPECT_EQ(sg_virt(&table[i]), buf.page(offset / 4096).data() + offset % 4096) << i;
      EXPECT_EQ(sg_is_last(&table[i]), i + 1 == c.lengths.size()) << i;
      offset += c.lengths[i];
    }
    EXPECT_EQ(table[c.lengths.size()].length, 0u);  // untouched
    EXPECT_EQ(blk_rq_count_segments(&q, req->get()), c.segments);
  }
}

TEST(MapSgTest, ReusedTableLosesTheOldEndMark) {
  request_queue q;
  std::vector<scatterlist> table(8);
  sg_init_table(table.data(), 8);
  auto one = PageBuffer::contiguous(1);
  ASSERT_EQ(blk_rq_map_sg(&q, one.request_for(BlockOp::Read, 0, 4096)->get(), table.data()), 1);
  auto three = PageBuffer::scattered(3);
  ASSERT_EQ(blk_rq_map_sg(&q, three.request_for(BlockOp::Read, 0, 3 * 4096)->get(), table.data()),
            3);
  EXPECT_EQ(walk(table.data(), 8).size(), 3u);
}

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

TEST(MiterTest, SkipsEmptyEntriesAndStopsAfterNentsOrAtTheEndMark) {
  auto buf = PageBuffer::scattered(4);
  scatterlist sg[4];
  sg_init_table(sg, 4);
  for (int i = 0; i < 4; ++i) sg_set_page(&sg[i], buf.page(i).data(), i == 1 ? 0 : 1024, 512);
  auto pieces = walk(sg, 4);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_EQ(pieces[1].addr, buf.page(2).data() + 512);
  EXPECT_EQ(pieces[1].length, 1024u);
  EXPECT_EQ(walk(sg, 3).size(), 2u);
  sg_mark_end(&sg[2]);
  EXPECT_EQ(walk(sg, 4).size(), 2u);
}

// ---------------------------------------------------------------------------
// Queue limits and flags.
// ---------------------------------------------------------------------------

TEST(QueueTest, SettersApplyTheKernelMinimums) {
  LogCapture log;
  request_queue q;
  blk_queue_max_hw_sectors(&q, 4096);
  EXPECT_EQ(queue_max_hw_sectors(&q), 4096u);
  EXPECT_EQ(queue_max_sectors(&q), 1024u);  // the layer's own cap
  blk_queue_max_hw_sectors(&q, 1);
  EXPECT_EQ(queue_max_hw_sectors(&q), 8u);
  blk_queue_max_segments(&q, 0);
  EXPECT_EQ(queue_max_segments(&q), 1);
  blk_queue_max_segment_size(&q, 512);
  EXPECT_EQ(queue_max_segment_size(&q), 4096u);
  EXPECT_EQ(log.count("blk_queue_max_hw_sectors: set to minimum 8\n"), 1u);
  EXPECT_EQ(log.count("blk_queue_max_segment_size: set to minimum 4096\n"), 1u);
  blk_queue_physical_block_size(&q, 256);
  EXPECT_EQ(queue_physical_block_size(&q), 512u);  // never below the logical size
}

TEST(QueueTest, FlagsCleanupAndNestedInterruptFlag) {
  request_queue q;
  unsigned long outer, inner;
  spin_lock_irqsave(q.queue_lock, outer);
  local_irq_save(inner);
  queue_flag_set(QUEUE_FLAG_NONROT, &q);
  local_irq_restore(inner);
  EXPECT_TRUE(irqs_disabled());
  spin_unlock_irqrestore(q.queue_lock, outer);
  EXPECT_FALSE(irqs_disabled());
  EXPECT_TRUE(blk_queue_nonrot(&q));
  blk_cleanup_queue(&q);
  EXPECT_TRUE(blk_queue_dead(&q));
}

// ---------------------------------------------------------------------------
// Cutting requests to the limits.
// ---------------------------------------------------------------------------

namespace {

struct ServedPart {
  sector_t sector;
  unsigned int bytes;
  unsigned int segments;
};

// Cuts `rq` to the limits of `q`, recording the parts and the bytes they hold.
struct Recorder {
  request_queue q;
  std::vector<ServedPart> parts;
  std::vector<uint8_t> joined;
  int fail_at = -1;  // index of the part to fail with -EIO
  std::function<void()> between;
  request* first_seen = nullptr;

  int split(request* rq) {
    return blk_split_request(&q, rq, [this](request* part) {
      if (first_seen == nullptr) first_seen = part;
      parts.push_back({blk_rq_pos(part), blk_rq_bytes(part), blk_rq_count_segments(&q, part)});
      for (bio* b = part->bio; b != nullptr; b = b->bi_next) {
        for (unsigned short i = 0; i < b->bi_vcnt; ++i) {
          const bio_vec& v = b->bi_io_vec[i];
          joined.insert(joined.end(), v.bv_page + v.bv_offset, v.bv_page + v.bv_offset + v.bv_len);
        }
      }
      if (between) between();
      return static_cast<int>(parts.size()) - 1 == fail_at ? -EIO : 0;
    });
  }
  std::vector<unsigned> sizes() const {
    std::vector<unsigned> s;
    for (const auto& p : parts) s.push_back(p.bytes);
    return s;
  }
};

}  // namespace

TEST(SplitTest, RequestWithinTheLimitsIsServedWhole) {
  Recorder rec;
  auto buf = PageBuffer::scattered(8);
  auto req = buf.request_for(BlockOp::Write, 0, buf.size());
  EXPECT_EQ(rec.split(req->get()), 0);
  EXPECT_EQ(rec.first_seen, req->get());
  EXPECT_EQ(rec.parts.size(), 1u);
}

TEST(SplitTest, LongRequestIsCutAtMaxSectorsInsidePieces) {
  Recorder rec;
  blk_queue_max_hw_sectors(&rec.q, 12);  // 6144 bytes: one and a half pages
  auto buf = PageBuffer::contiguous(4);
  const auto data = pattern(buf.size());
  buf.copy_in(data);
  ASSERT_EQ(rec.split(buf.request_for(BlockOp::Write, 1000, buf.size())->get()), 0);
  EXPECT_EQ(rec.sizes(), (std::vector<unsigned>{6144, 6144, 4096}));
  sector_t expected_sector = 1000;
  for (const auto& part : rec.parts) {
    EXPECT_EQ(part.sector, expected_sector);
    EXPECT_EQ(part.segments, 1u);
    expected_sector += part.bytes / 512;
  }
  EXPECT_EQ(rec.joined, data);  // every byte once, in order
}

TEST(SplitTest, TooManySegmentsAreCutBeforeTheNextSegment) {
  Recorder rec;
  blk_queue_max_segments(&rec.q, 3);
  PageBuffer buf = laid_out("|||+|||");  // pages 3-4 adjacent: 7 segments
  const auto data = pattern(buf.size());
  buf.copy_in(data);
  ASSERT_EQ(rec.split(buf.request_for(BlockOp::Read, 0, buf.size())->get()), 0);
  EXPECT_EQ(rec.sizes(),
            (std::vector<unsigned>{3 * 4096, 4 * 4096, 4096}));  // 3, 4 share a segment
  EXPECT_EQ(rec.joined, data);
}

TEST(SplitTest, LimitsAreReadAfreshBeforeEachCut) {
  Recorder rec;
  blk_queue_max_segments(&rec.q, 1);
  rec.between = [&] { blk_queue_max_segments(&rec.q, 4); };  // as a driver's queue set-up would
  auto buf = PageBuffer::scattered(6);
  ASSERT_EQ(rec.split(buf.request_for(BlockOp::Read, 0, buf.size())->get()), 0);
  EXPECT_EQ(rec.sizes(), (std::vector<unsigned>{4096, 4 * 4096, 4096}));
}

TEST(SplitTest, FirstFailingPartEndsTheRequest) {
  Recorder rec;
  blk_queue_max_hw_sectors(&rec.q, 8);
  rec.fail_at = 1;
  auto buf = PageBuffer::contiguous(4);
  EXPECT_EQ(rec.split(buf.request_for(BlockOp::Write, 0, buf.size())->get()), -EIO);
  EXPECT_EQ(rec.parts.size(), 2u);
}

TEST(SplitTest, DiscardsAndOtherRequestsAreNeverCut) {
  Recorder rec;
  blk_queue_max_hw_sectors(&rec.q, 8);
  BlockRequest discard = BlockRequest::discard(0, 4096);
  EXPECT_EQ(rec.split(discard.get()), 0);
  auto buf = PageBuffer::contiguous(4);
  auto other = buf.request_for(BlockOp::Read, 0, buf.size());
  other->get()->cmd_type = REQ_TYPE_BLOCK_PC;
  EXPECT_EQ(rec.split(other->get()), 0);
  EXPECT_EQ(rec.sizes(), (std::vector<unsigned>{4096 * 512, 4 * 4096}));
}
