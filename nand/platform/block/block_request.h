// Building block requests over caller memory, for the front ends and the
// tests: a request over a buffer cut into 4096-byte pages, or over a list of
// pieces that may or may not follow each other in memory, and a buffer of
// pages laid out with or without gaps between them, so that the merging of
// adjacent pages into runs is exercised for real.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "platform/block/blkdev.h"
#include "platform/status.h"

enum class BlockOp { Read, Write, Discard };

// A request and the bios and pieces it points to. Movable, not copyable; the
// memory it describes belongs to the caller and must outlive it.
class BlockRequest {
 public:
  // A read or a write of `pieces`, in order, from `sector` on. Each piece is
  // a whole number of sectors, at most one 4096-byte page, and becomes one
  // bio_vec whose frame starts at the piece. The pieces go into bios of
  // `pieces_per_bio` pieces each (0: all in one bio). No pieces: a request of
  // zero length without bios.
  static Result<BlockRequest> over_pieces(BlockOp op, sector_t sector,
                                          std::span<const std::span<uint8_t>> pieces,
                                          size_t pieces_per_bio = 0);
  // A read or a write of `data` (a whole number of sectors) cut into
  // 4096-byte pages from its first byte on; the last page may be shorter.
  static Result<BlockRequest> over_buffer(BlockOp op, sector_t sector, std::span<uint8_t> data);
  // A discard of `sectors` sectors: one bio without pieces.
  static BlockRequest discard(sector_t sector, unsigned int sectors);

  BlockRequest(BlockRequest&&) noexcept = default;
  BlockRequest& operator=(BlockRequest&&) noexcept = default;
  BlockRequest(const BlockRequest&) = delete;
  BlockRequest& operator=(const BlockRequest&) = delete;

  request* get() { return &rq_; }
  const request* get() const { return &rq_; }

 private:
  BlockRequest() = default;
  void link();

  request rq_{};
  std::vector<bio> bios_;
  std::vector<bio_vec> vecs_;
  std::vector<size_t> vecs_per_bio_;
};

// Pages of 4096 bytes in one allocation, placed so that page i + 1 follows
// page i in memory exactly when the layout says so; elsewhere a guard page
// filled with 0xA5 separates them. Pages start zero-filled.
class PageBuffer {
 public:
  // `follows(i)` tells whether page i + 1 is placed right after page i.
  PageBuffer(size_t pages, const std::function<bool(size_t)>& follows);
  static PageBuffer contiguous(size_t pages);
  static PageBuffer scattered(size_t pages);  // no page follows the one before it

  PageBuffer(PageBuffer&&) noexcept = default;
  PageBuffer& operator=(PageBuffer&&) noexcept = default;

  size_t page_count() const { return pages_.size(); }
  size_t size() const { return pages_.size() * PAGE_SIZE; }
  std::span<uint8_t> page(size_t i) { return {pages_.at(i), PAGE_SIZE}; }

  // The first `bytes` bytes (a whole number of sectors) as pieces of at most
  // `piece_size` bytes (a multiple of 512, at most 4096) that never cross a
  // page. Sizes that break these rules are an invalid argument.
  Result<std::vector<std::span<uint8_t>>> pieces(size_t bytes, size_t piece_size = PAGE_SIZE);
  // A request over the first `bytes` bytes, in pieces of `piece_size`.
  Result<BlockRequest> request_for(BlockOp op, sector_t sector, size_t bytes,
                                   size_t piece_size = PAGE_SIZE);

  // Copies between the pages, in page order, and flat memory.
  void copy_in(std::span<const uint8_t> data);
  void copy_out(std::span<uint8_t> data) const;

  // Whether every guard page still holds 0xA5 (nothing wrote past a page).
  bool guards_intact() const;

 private:
  std::vector<uint8_t> storage_;
  std::vector<uint8_t*> pages_;
  std::vector<uint8_t*> guards_;
};
