// The block layer as a disk driver sees it: requests made of bios over pages
// of caller memory, the request queue with its limits and lock, the
// scatter-gather table that a request is mapped into, and the page-wise
// mapping iterator that walks such a table.
//
// Memory model. A "page" is a 4096-byte frame of caller memory named by the
// address of its first byte (frames need not be aligned). A bio_vec is a piece
// of one frame: bytes bv_offset .. bv_offset + bv_len of the frame at bv_page.
// All memory is low memory: a mapped address is the memory itself and stays
// valid after the mapping ends.
//
// Requests reach a driver through the block-translation layer
// (blktrans.h), which first cuts them to the queue's limits (blk_split_request
// below), so the driver never sees more sectors than max_sectors or more
// segments than max_segments. Requests are built with block_request.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/kernel/spinlock.h"

typedef uint64_t sector_t;

#ifndef PAGE_SIZE
constexpr unsigned int PAGE_SIZE = 4096;
#endif
constexpr unsigned int PAGE_SHIFT = 12;
constexpr unsigned int SECTOR_SHIFT = 9;
constexpr unsigned int SECTOR_SIZE = 512;

// ---------------------------------------------------------------------------
// Requests.
// ---------------------------------------------------------------------------

// Request types (cmd_type). Only file-system requests carry sectors.
constexpr int REQ_TYPE_FS = 1;
constexpr int REQ_TYPE_BLOCK_PC = 2;

// Request flags (cmd_flags).
constexpr unsigned int REQ_WRITE = 1u << 0;
constexpr unsigned int REQ_DISCARD = 1u << 6;

constexpr int READ = 0;
constexpr int WRITE = 1;

struct request_queue;

struct bio_vec {
  uint8_t* bv_page;        // first byte of the 4096-byte frame
  unsigned int bv_len;     // bytes of the piece
  unsigned int bv_offset;  // where the piece starts in the frame
};

struct bio {
  bio* bi_next;            // next bio of the request
  sector_t bi_sector;      // first sector
  unsigned int bi_size;    // bytes (for a discard: bytes to discard, with no vecs)
  unsigned short bi_vcnt;  // entries of bi_io_vec
  bio_vec* bi_io_vec;
};

struct request {
  request_queue* q;         // set by the layer when the request is submitted
  int cmd_type;             // REQ_TYPE_FS, ...
  unsigned int cmd_flags;   // REQ_WRITE, REQ_DISCARD
  sector_t __sector;        // first sector
  unsigned int __data_len;  // bytes
  struct bio* bio;          // first bio, or null for a request without data
  struct bio* biotail;
};

inline sector_t blk_rq_pos(const request* rq) { return rq->__sector; }
inline unsigned int blk_rq_bytes(const request* rq) { return rq->__data_len; }
inline unsigned int blk_rq_sectors(const request* rq) { return rq->__data_len >> SECTOR_SHIFT; }
// Bytes of the current segment: the first piece of the first bio (for a bio
// without pieces, such as a discard's, the whole bio).
unsigned int blk_rq_cur_bytes(const request* rq);
inline unsigned int blk_rq_cur_sectors(const request* rq) {
  return blk_rq_cur_bytes(rq) >> SECTOR_SHIFT;
}
inline int rq_data_dir(const request* rq) { return (rq->cmd_flags & REQ_WRITE) ? WRITE : READ; }

// Makes the processor's data cache consistent for the pages of a bio. There
// is no cache to maintain in user space: a no-op.
inline void bio_flush_dcache_pages(bio*) {}

// ---------------------------------------------------------------------------
// The request queue and its limits.
// ---------------------------------------------------------------------------

// Queue flags (bit numbers in queue_flags).
constexpr unsigned int QUEUE_FLAG_DEAD = 5;     // cleaned up: takes no more requests
constexpr unsigned int QUEUE_FLAG_NONROT = 12;  // non-rotational device
constexpr unsigned int QUEUE_FLAG_DISCARD = 14;

// Bounce limits. All user-space memory counts as low memory, so nothing is
// ever bounced; the limit is only recorded.
constexpr uint64_t BLK_BOUNCE_HIGH = 0xFFFFFFFFull;  // pages above low memory are bounced
constexpr uint64_t BLK_BOUNCE_ANY = ~0ull;

// Defaults of a new queue (the kernel's).
constexpr unsigned int BLK_SAFE_MAX_SECTORS = 255;
constexpr unsigned int BLK_DEF_MAX_SECTORS = 1024;
constexpr unsigned short BLK_MAX_SEGMENTS = 128;
constexpr unsigned int BLK_MAX_SEGMENT_SIZE = 65536;

struct queue_limits {
  unsigned long bounce_pfn;       // highest page frame not bounced
  unsigned int max_hw_sectors;    // what the device accepts per request
  unsigned int max_sectors;       // what the layer sends per request
  unsigned int max_segment_size;  // bytes per scatter entry
  unsigned int physical_block_size;
  unsigned int logical_block_size;
  unsigned short max_segments;       // scatter entries per request
  unsigned int max_discard_sectors;  // per discard request; 0: no discard
  bool cluster;                      // adjacent pieces may share a scatter entry
};

struct request_queue {
  request_queue();
  request_queue(const request_queue&) = delete;
  request_queue& operator=(const request_queue&) = delete;

  unsigned long queue_flags = 0;
  spinlock_t __queue_lock;
  spinlock_t* queue_lock;  // points at __queue_lock
  queue_limits limits{};
  void* queuedata = nullptr;  // the driver's device record
};

// A queue with the kernel's default limits. The block-translation layer
// creates one per disk and owns it.
std::unique_ptr<request_queue> blk_alloc_queue();
// Marks the queue dead: later requests to it fail with -EIO. The memory
// stays with its owner (the disk), which releases it when the disk goes.
void blk_cleanup_queue(request_queue* q);
inline bool blk_queue_dead(const request_queue* q) {
  return (q->queue_flags >> QUEUE_FLAG_DEAD) & 1;
}

// Queue flags, with the queue lock held (queue_flag_set) or not needed
// (queue_flag_set_unlocked: the queue is not in use yet). Both only set the bit.
void queue_flag_set(unsigned int flag, request_queue* q);
void queue_flag_set_unlocked(unsigned int flag, request_queue* q);
void queue_flag_clear(unsigned int flag, request_queue* q);
bool queue_flag_test(unsigned int flag, const request_queue* q);
inline bool blk_queue_nonrot(const request_queue* q) {
  return queue_flag_test(QUEUE_FLAG_NONROT, q);
}

// Limit setters, with the kernel's minimums (a value below one is raised and
// logged as the kernel does).
void blk_queue_bounce_limit(request_queue* q, uint64_t max_addr);
// Also sets max_sectors to min(max_hw_sectors, BLK_DEF_MAX_SECTORS); at least 8 (one page).
void blk_queue_max_hw_sectors(request_queue* q, unsigned int max_hw_sectors);
void blk_queue_physical_block_size(request_queue* q, unsigned int size);
void blk_queue_logical_block_size(request_queue* q, unsigned int size);
void blk_queue_max_segments(request_queue* q, unsigned short max_segments);  // at least 1
void blk_queue_max_segment_size(request_queue* q, unsigned int max_size);    // at least 4096
void blk_queue_max_discard_sectors(request_queue* q, unsigned int max_discard_sectors);

inline unsigned short queue_max_segments(const request_queue* q) { return q->limits.max_segments; }
inline unsigned int queue_max_discard_sectors(const request_queue* q) {
  return q->limits.max_discard_sectors;
}
inline unsigned int queue_max_hw_sectors(const request_queue* q) {
  return q->limits.max_hw_sectors;
}
inline unsigned int queue_max_sectors(const request_queue* q) { return q->limits.max_sectors; }
inline unsigned int queue_max_segment_size(const request_queue* q) {
  return q->limits.max_segment_size;
}
inline unsigned int queue_physical_block_size(const request_queue* q) {
  return q->limits.physical_block_size;
}
inline unsigned int queue_logical_block_size(const request_queue* q) {
  return q->limits.logical_block_size;
}

// ---------------------------------------------------------------------------
// Scatter-gather tables.
// ---------------------------------------------------------------------------

struct scatterlist {
  uint8_t* page;        // frame of the entry's first byte
  unsigned int offset;  // first byte within that frame
  unsigned int length;  // bytes; may run on into the following frames
  bool end;             // last entry of the table
};

// Zero-fills `nents` entries and marks the last as the end.
void sg_init_table(scatterlist* sgl, unsigned int nents);
void sg_set_page(scatterlist* sg, uint8_t* page, unsigned int len, unsigned int offset);
inline uint8_t* sg_page(const scatterlist* sg) { return sg->page; }
inline void* sg_virt(const scatterlist* sg) { return sg->page + sg->offset; }
inline bool sg_is_last(const scatterlist* sg) { return sg->end; }
inline void sg_mark_end(scatterlist* sg) { sg->end = true; }
// The next entry, or null after the end.
inline scatterlist* sg_next(scatterlist* sg) { return sg->end ? nullptr : sg + 1; }

// Maps the data of a request into `sglist` and returns the number of entries
// used (0 for a request without data). Pieces that follow each other in
// memory share one entry as long as the entry stays within the queue's
// max_segment_size; the last used entry is marked as the end. At most
// queue_max_segments(q) entries are written: the table must have that many.
// A request with more segments than that (one that did not come through
// blk_split_request) is mapped only up to the limit, so the mapped bytes fall
// short of the request, which the caller can see.
int blk_rq_map_sg(request_queue* q, request* rq, scatterlist* sglist);

// Segments blk_rq_map_sg would use for `rq` on `q`, without the
// max_segments cap.
unsigned int blk_rq_count_segments(const request_queue* q, const request* rq);

// ---------------------------------------------------------------------------
// Page-wise mapping iterator.
// ---------------------------------------------------------------------------

constexpr unsigned int SG_MITER_ATOMIC = 1u << 0;   // no sleeping between next and stop
constexpr unsigned int SG_MITER_TO_SG = 1u << 1;    // the walk writes into the pages
constexpr unsigned int SG_MITER_FROM_SG = 1u << 2;  // the walk reads from the pages

struct sg_mapping_iter {
  // The current piece, valid from sg_miter_next until the next call.
  uint8_t* page;    // its frame
  void* addr;       // its first byte
  size_t length;    // its bytes: never past the end of its frame
  size_t consumed;  // bytes the caller used; set to length by sg_miter_next

  // Position of the walk.
  scatterlist* __sg;
  unsigned int __nents;   // entries left, the current one included
  unsigned int __offset;  // bytes of the current entry already walked
  unsigned int __flags;
  bool __mapped;
};

void sg_miter_start(sg_mapping_iter* miter, scatterlist* sgl, unsigned int nents,
                    unsigned int flags);
// Advances by `consumed` and yields the next piece: at most the rest of one
// 4096-byte frame of the current entry. False at the end of the walk.
bool sg_miter_next(sg_mapping_iter* miter);
// Ends the current piece (advancing by `consumed`); the walk can go on with
// sg_miter_next.
void sg_miter_stop(sg_mapping_iter* miter);

// ---------------------------------------------------------------------------
// Cutting requests to the queue's limits.
// ---------------------------------------------------------------------------

// Checks that a request is well formed: a data request (neither discard nor
// data-less) has pieces that are each a whole number of sectors, at most one
// frame long and within their frame, and that add up to its byte length.
// 0 or -EINVAL.
int blk_rq_check(const request* rq);

// Hands `rq` to `serve` whole when it fits the queue's limits (max_sectors
// sectors, max_segments segments); else cuts it, in order, into requests that
// do, each with its own bio over the same memory, and hands over one after
// the other, reading the limits afresh before each cut. Stops at the first
// nonzero result and returns it; 0 when all were served. Only file-system data
// requests are cut; a request must have passed blk_rq_check.
int blk_split_request(request_queue* q, request* rq, const std::function<int(request*)>& serve);
