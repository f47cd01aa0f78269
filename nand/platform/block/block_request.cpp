// Building block requests over caller memory, and page buffers with or
// without gaps between their pages.
#include "platform/block/block_request.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr uint8_t kGuardByte = 0xA5;

void set_op(request* rq, BlockOp op) {
  rq->cmd_type = REQ_TYPE_FS;
  rq->cmd_flags = 0;
  if (op == BlockOp::Write) rq->cmd_flags |= REQ_WRITE;
  if (op == BlockOp::Discard) rq->cmd_flags |= REQ_DISCARD | REQ_WRITE;
}

}  // namespace

// ---------------------------------------------------------------------------
// BlockRequest.
// ---------------------------------------------------------------------------

void BlockRequest::link() {
  size_t first_vec = 0;
  for (size_t i = 0; i < bios_.size(); ++i) {
    bio& b = bios_[i];
    b.bi_next = i + 1 < bios_.size() ? &bios_[i + 1] : nullptr;
    b.bi_io_vec = vecs_per_bio_[i] != 0 ? &vecs_[first_vec] : nullptr;
    first_vec += vecs_per_bio_[i];
  }
  rq_.bio = bios_.empty() ? nullptr : &bios_.front();
  rq_.biotail = bios_.empty() ? nullptr : &bios_.back();
}

Result<BlockRequest> BlockRequest::over_pieces(BlockOp op, sector_t sector,
                                               std::span<const std::span<uint8_t>> pieces,
                                               size_t pieces_per_bio) {
  if (op == BlockOp::Discard) return Status::InvalidArgument("a discard carries no pieces");
  constexpr size_t kMaxPerBio = std::numeric_limits<unsigned short>::max();
  if (pieces_per_bio == 0 || pieces_per_bio > kMaxPerBio) pieces_per_bio = kMaxPerBio;

  BlockRequest r;
  set_op(&r.rq_, op);
  r.rq_.__sector = sector;
  uint64_t total = 0;
  sector_t bio_sector = sector;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::span<uint8_t>& piece = pieces[i];
    if (piece.empty() || piece.size() > PAGE_SIZE || piece.size() % SECTOR_SIZE != 0) {
      return Status::InvalidArgument("piece " + std::to_string(i) + " is not 1 to 8 whole sectors");
    }
    if (i % pieces_per_bio == 0) {
      bio b{};
      b.bi_sector = bio_sector;
      r.bios_.push_back(b);
      r.vecs_per_bio_.push_back(0);
    }
    r.vecs_.push_back(bio_vec{piece.data(), static_cast<unsigned int>(piece.size()), 0});
    bio& b = r.bios_.back();
    b.bi_size += static_cast<unsigned int>(piece.size());
    b.bi_vcnt = static_cast<unsigned short>(b.bi_vcnt + 1);
    ++r.vecs_per_bio_.back();
    bio_sector += piece.size() >> SECTOR_SHIFT;
    total += piece.size();
  }
  if (total > std::numeric_limits<unsigned int>::max()) {
    return Status::InvalidArgument("request too long");
  }
  r.rq_.__data_len = static_cast<unsigned int>(total);
  r.link();
  return r;
}

Result<BlockRequest> BlockRequest::over_buffer(BlockOp op, sector_t sector,
                                               std::span<uint8_t> data) {
  if (data.size() % SECTOR_SIZE != 0) {
    return Status::InvalidArgument("buffer is not a whole number of sectors");
  }
  std::vector<std::span<uint8_t>> pieces;
  for (size_t at = 0; at < data.size(); at += PAGE_SIZE) {
    pieces.push_back(data.subspan(at, std::min<size_t>(PAGE_SIZE, data.size() - at)));
  }
  return over_pieces(op, sector, pieces);
}

BlockRequest BlockRequest::discard(sector_t sector, unsigned int sectors) {
  BlockRequest r;
  set_op(&r.rq_, BlockOp::Discard);
  r.rq_.__sector = sector;
  r.rq_.__data_len = sectors << SECTOR_SHIFT;
  bio b{};
  b.bi_sector = sector;
  b.bi_size = r.rq_.__data_len;
  r.bios_.push_back(b);
  r.vecs_per_bio_.push_back(0);
  r.link();
  return r;
}

// ---------------------------------------------------------------------------
// PageBuffer.
// ---------------------------------------------------------------------------

PageBuffer::PageBuffer(size_t pages, const std::function<bool(size_t)>& follows) {
  size_t slots = pages;
  for (size_t i = 0; i + 1 < pages; ++i) slots += follows(i) ? 0 : 1;
  // One spare page to align the first slot to 4096 bytes.
  storage_.assign((slots + 1) * PAGE_SIZE, kGuardByte);
  uint8_t* base = storage_.data();
  base += (PAGE_SIZE - reinterpret_cast<uintptr_t>(base) % PAGE_SIZE) % PAGE_SIZE;
  uint8_t* slot = base;
  for (size_t i = 0; i < pages; ++i) {
    if (i > 0 && !follows(i - 1)) {
      guards_.push_back(slot);
      slot += PAGE_SIZE;
    }
    std::memset(slot, 0, PAGE_SIZE);
    pages_.push_back(slot);
    slot += PAGE_SIZE;
  }
}

PageBuffer PageBuffer::contiguous(size_t pages) {
  return PageBuffer(pages, [](size_t) { return true; });
}

PageBuffer PageBuffer::scattered(size_t pages) {
  return PageBuffer(pages, [](size_t) { return false; });
}

Result<std::vector<std::span<uint8_t>>> PageBuffer::pieces(size_t bytes, size_t piece_size) {
  if (bytes > size() || piece_size == 0 || piece_size > PAGE_SIZE ||
      piece_size % SECTOR_SIZE != 0 || bytes % SECTOR_SIZE != 0) {
    return Status::InvalidArgument("PageBuffer::pieces: bad size");
  }
  std::vector<std::span<uint8_t>> out;
  for (size_t at = 0; at < bytes;) {
    const size_t in_page = at % PAGE_SIZE;
    const size_t len = std::min({piece_size, PAGE_SIZE - in_page, bytes - at});
    out.push_back({pages_[at / PAGE_SIZE] + in_page, len});
    at += len;
  }
  return out;
}

Result<BlockRequest> PageBuffer::request_for(BlockOp op, sector_t sector, size_t bytes,
                                             size_t piece_size) {
  auto cut = pieces(bytes, piece_size);
  if (!cut.ok()) return cut.status();
  return BlockRequest::over_pieces(op, sector, cut.value());
}

void PageBuffer::copy_in(std::span<const uint8_t> data) {
  for (size_t at = 0; at < data.size() && at < size(); at += PAGE_SIZE) {
    std::memcpy(pages_[at / PAGE_SIZE], data.data() + at,
                std::min<size_t>(PAGE_SIZE, data.size() - at));
  }
}

void PageBuffer::copy_out(std::span<uint8_t> data) const {
  for (size_t at = 0; at < data.size() && at < size(); at += PAGE_SIZE) {
    std::memcpy(data.data() + at, pages_[at / PAGE_SIZE],
                std::min<size_t>(PAGE_SIZE, data.size() - at));
  }
}

bool PageBuffer::guards_intact() const {
  for (const uint8_t* guard : guards_) {
    if (std::any_of(guard, guard + PAGE_SIZE, [](uint8_t b) { return b != kGuardByte; }))
      return false;
  }
  return true;
}
