// Requests, the request queue, scatter-gather mapping, the page-wise mapping
// iterator and the cutting of requests to the queue's limits.
#include "platform/block/blkdev.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/kernel/kernel.h"

namespace {

// Calls fn(const bio_vec&) for every piece of a request, bio after bio.
template <class Fn>
void for_each_piece(const request* rq, Fn&& fn) {
  for (const bio* b = rq->bio; b != nullptr; b = b->bi_next) {
    for (unsigned short i = 0; i < b->bi_vcnt; ++i) fn(b->bi_io_vec[i]);
  }
}

uint8_t* piece_start(const bio_vec& v) { return v.bv_page + v.bv_offset; }

// Whether a piece starting at `start` of `len` bytes joins the segment that
// ends at `segment_end` and holds `segment_len` bytes: it must follow it in
// memory and the joined segment must stay within the segment size.
bool joins_segment(const queue_limits& limits, const uint8_t* segment_end, unsigned int segment_len,
                   const uint8_t* start, unsigned int len) {
  return limits.cluster && segment_end == start &&
         static_cast<uint64_t>(segment_len) + len <= limits.max_segment_size;
}

queue_limits read_limits(request_queue* q) {
  unsigned long flags;
  spin_lock_irqsave(q->queue_lock, flags);
  queue_limits limits = q->limits;
  spin_unlock_irqrestore(q->queue_lock, flags);
  return limits;
}

}  // namespace

unsigned int blk_rq_cur_bytes(const request* rq) {
  const bio* first = rq->bio;
  if (first == nullptr) return 0;
  if (first->bi_vcnt == 0) return first->bi_size;  // data-less, such as a discard
  return first->bi_io_vec[0].bv_len;
}

// ---------------------------------------------------------------------------
// Queue.
// ---------------------------------------------------------------------------

request_queue::request_queue() : queue_lock(&__queue_lock) {
  limits.bounce_pfn = static_cast<unsigned long>(BLK_BOUNCE_HIGH >> PAGE_SHIFT);
  limits.max_hw_sectors = BLK_SAFE_MAX_SECTORS;
  limits.max_sectors = BLK_SAFE_MAX_SECTORS;
  limits.max_segment_size = BLK_MAX_SEGMENT_SIZE;
  limits.physical_block_size = SECTOR_SIZE;
  limits.logical_block_size = SECTOR_SIZE;
  limits.max_segments = BLK_MAX_SEGMENTS;
  limits.cluster = true;
}

std::unique_ptr<request_queue> blk_alloc_queue() { return std::make_unique<request_queue>(); }

void blk_cleanup_queue(request_queue* q) {
  unsigned long flags;
  spin_lock_irqsave(q->queue_lock, flags);
  queue_flag_set(QUEUE_FLAG_DEAD, q);
  spin_unlock_irqrestore(q->queue_lock, flags);
}

void queue_flag_set(unsigned int flag, request_queue* q) { q->queue_flags |= 1ul << flag; }

void queue_flag_set_unlocked(unsigned int flag, request_queue* q) { queue_flag_set(flag, q); }

void queue_flag_clear(unsigned int flag, request_queue* q) { q->queue_flags &= ~(1ul << flag); }

bool queue_flag_test(unsigned int flag, const request_queue* q) {
  return (q->queue_flags >> flag) & 1ul;
}

void blk_queue_bounce_limit(request_queue* q, uint64_t max_addr) {
  q->limits.bounce_pfn = static_cast<unsigned long>(max_addr >> PAGE_SHIFT);
}

void blk_queue_max_discard_sectors(request_queue* q, unsigned int max_discard_sectors) {
  q->limits.max_discard_sectors = max_discard_sectors;
}

void blk_queue_max_hw_sectors(request_queue* q, unsigned int max_hw_sectors) {
  if ((static_cast<uint64_t>(max_hw_sectors) << SECTOR_SHIFT) < PAGE_SIZE) {
    max_hw_sectors = 1u << (PAGE_SHIFT - SECTOR_SHIFT);
    printk("%s: set to minimum %u\n", __func__, max_hw_sectors);
  }
  q->limits.max_hw_sectors = max_hw_sectors;
  q->limits.max_sectors = std::min(max_hw_sectors, BLK_DEF_MAX_SECTORS);
}

void blk_queue_physical_block_size(request_queue* q, unsigned int size) {
  q->limits.physical_block_size = std::max(size, q->limits.logical_block_size);
}

void blk_queue_logical_block_size(request_queue* q, unsigned int size) {
  q->limits.logical_block_size = size;
  if (q->limits.physical_block_size < size) q->limits.physical_block_size = size;
}

void blk_queue_max_segments(request_queue* q, unsigned short max_segments) {
  if (max_segments == 0) {
    max_segments = 1;
    printk("%s: set to minimum %u\n", __func__, unsigned{max_segments});
  }
  q->limits.max_segments = max_segments;
}

void blk_queue_max_segment_size(request_queue* q, unsigned int max_size) {
  if (max_size < PAGE_SIZE) {
    max_size = PAGE_SIZE;
    printk("%s: set to minimum %u\n", __func__, max_size);
  }
  q->limits.max_segment_size = max_size;
}

// ---------------------------------------------------------------------------
// Scatter-gather mapping.
// ---------------------------------------------------------------------------

void sg_init_table(scatterlist* sgl, unsigned int nents) {
  if (nents == 0) return;
  std::fill(sgl, sgl + nents, scatterlist{});
  sg_mark_end(&sgl[nents - 1]);
}

void sg_set_page(scatterlist* sg, uint8_t* page, unsigned int len, unsigned int offset) {
  sg->page = page;
  sg->offset = offset;
  sg->length = len;
}

int blk_rq_map_sg(request_queue* q, request* rq, scatterlist* sglist) {
  const queue_limits& limits = q->limits;
  const unsigned int max_entries = std::max<unsigned int>(limits.max_segments, 1);
  scatterlist* sg = nullptr;
  unsigned int used = 0;
  bool full = false;
  for_each_piece(rq, [&](const bio_vec& v) {
    if (full || v.bv_len == 0) return;
    if (sg != nullptr && joins_segment(limits, sg->page + sg->offset + sg->length, sg->length,
                                       piece_start(v), v.bv_len)) {
      sg->length += v.bv_len;
      return;
    }
    if (used == max_entries) {
      full = true;  // the rest stays unmapped; the caller sees the short mapping
      return;
    }
    if (sg == nullptr) {
      sg = sglist;
    } else {
      sg->end = false;
      ++sg;
    }
    sg_set_page(sg, v.bv_page, v.bv_len, v.bv_offset);
    ++used;
  });
  if (sg != nullptr) sg_mark_end(sg);
  return static_cast<int>(used);
}

unsigned int blk_rq_count_segments(const request_queue* q, const request* rq) {
  unsigned int segments = 0;
  const uint8_t* segment_end = nullptr;
  unsigned int segment_len = 0;
  for_each_piece(rq, [&](const bio_vec& v) {
    if (v.bv_len == 0) return;
    if (segments == 0 ||
        !joins_segment(q->limits, segment_end, segment_len, piece_start(v), v.bv_len)) {
      ++segments;
      segment_len = 0;
    }
    segment_len += v.bv_len;
    segment_end = piece_start(v) + v.bv_len;
  });
  return segments;
}

// ---------------------------------------------------------------------------
// Mapping iterator.
// ---------------------------------------------------------------------------

void sg_miter_start(sg_mapping_iter* miter, scatterlist* sgl, unsigned int nents,
                    unsigned int flags) {
  *miter = sg_mapping_iter{};
  miter->__sg = sgl;
  miter->__nents = sgl != nullptr ? nents : 0;
  miter->__flags = flags;
}

bool sg_miter_next(sg_mapping_iter* miter) {
  sg_miter_stop(miter);
  // Move past exhausted entries.
  while (miter->__nents > 0 && miter->__offset >= miter->__sg->length) {
    if (miter->__nents == 1 || sg_is_last(miter->__sg)) {
      miter->__nents = 0;
      break;
    }
    ++miter->__sg;
    --miter->__nents;
    miter->__offset = 0;
  }
  if (miter->__nents == 0) return false;

  const scatterlist* sg = miter->__sg;
  const size_t position = size_t{sg->offset} + miter->__offset;  // from the entry's first frame
  const size_t in_frame = position % PAGE_SIZE;
  miter->page = sg->page + (position - in_frame);
  miter->addr = miter->page + in_frame;
  miter->length = std::min<size_t>(PAGE_SIZE - in_frame, sg->length - miter->__offset);
  miter->consumed = miter->length;
  miter->__mapped = true;
  return true;
}

void sg_miter_stop(sg_mapping_iter* miter) {
  if (!miter->__mapped) return;
  // A walk into the pages (SG_MITER_TO_SG) would flush the data cache here;
  // there is none in user space.
  miter->__offset += static_cast<unsigned int>(std::min(miter->consumed, miter->length));
  miter->page = nullptr;
  miter->addr = nullptr;
  miter->length = 0;
  miter->consumed = 0;
  miter->__mapped = false;
}

// ---------------------------------------------------------------------------
// Checking and cutting requests.
// ---------------------------------------------------------------------------

int blk_rq_check(const request* rq) {
  if (rq->__data_len % SECTOR_SIZE != 0) return -EINVAL;
  if (rq->cmd_flags & REQ_DISCARD) return 0;
  uint64_t total = 0;
  bool well_formed = true;
  for_each_piece(rq, [&](const bio_vec& v) {
    if (v.bv_page == nullptr || v.bv_len == 0 || v.bv_len % SECTOR_SIZE != 0 ||
        uint64_t{v.bv_offset} + v.bv_len > PAGE_SIZE) {
      well_formed = false;
    }
    total += v.bv_len;
  });
  if (!well_formed || total != rq->__data_len) return -EINVAL;
  return 0;
}

int blk_split_request(request_queue* q, request* rq, const std::function<int(request*)>& serve) {
  const bool data_request =
      rq->cmd_type == REQ_TYPE_FS && !(rq->cmd_flags & REQ_DISCARD) && rq->__data_len != 0;
  if (!data_request) return serve(rq);

  queue_limits limits = read_limits(q);
  if (blk_rq_sectors(rq) <= limits.max_sectors &&
      blk_rq_count_segments(q, rq) <= limits.max_segments) {
    return serve(rq);
  }

  std::vector<bio_vec> pieces;
  for_each_piece(rq, [&](const bio_vec& v) { pieces.push_back(v); });

  size_t index = 0;
  unsigned int used_of_piece = 0;  // bytes of pieces[index] already handed on
  sector_t sector = blk_rq_pos(rq);
  std::vector<bio_vec> part;
  while (index < pieces.size()) {
    limits = read_limits(q);
    const uint64_t max_bytes =
        uint64_t{std::max(limits.max_sectors, 1u << (PAGE_SHIFT - SECTOR_SHIFT))} << SECTOR_SHIFT;
    const unsigned int max_segments = std::max<unsigned int>(limits.max_segments, 1);

    part.clear();
    uint64_t bytes = 0;
    unsigned int segments = 0;
    const uint8_t* segment_end = nullptr;
    unsigned int segment_len = 0;
    while (index < pieces.size() && bytes < max_bytes) {
      const bio_vec& v = pieces[index];
      uint8_t* start = piece_start(v) + used_of_piece;
      const unsigned int take = static_cast<unsigned int>(
          std::min<uint64_t>(v.bv_len - used_of_piece, max_bytes - bytes));
      if (segments == 0 || !joins_segment(limits, segment_end, segment_len, start, take)) {
        if (segments == max_segments) break;
        ++segments;
        segment_len = 0;
      }
      part.push_back(bio_vec{v.bv_page, take, v.bv_offset + used_of_piece});
      segment_len += take;
      segment_end = start + take;
      bytes += take;
      used_of_piece += take;
      if (used_of_piece == v.bv_len) {
        ++index;
        used_of_piece = 0;
      }
    }

    bio part_bio{};
    part_bio.bi_sector = sector;
    part_bio.bi_size = static_cast<unsigned int>(bytes);
    part_bio.bi_vcnt = static_cast<unsigned short>(part.size());
    part_bio.bi_io_vec = part.data();
    request part_rq = *rq;
    part_rq.q = q;
    part_rq.__sector = sector;
    part_rq.__data_len = static_cast<unsigned int>(bytes);
    part_rq.bio = &part_bio;
    part_rq.biotail = &part_bio;
    int ret = serve(&part_rq);
    if (ret != 0) return ret;
    sector += bytes >> SECTOR_SHIFT;
  }
  return 0;
}
