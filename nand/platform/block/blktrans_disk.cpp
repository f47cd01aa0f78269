// A disk of the block-translation layer as the front ends use it: requests
// served one at a time, cut to the queue's limits and handed to the table;
// open, release, flush and geometry through the table's hooks.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/block/blktrans_disk.h"
#include "platform/block/block_request.h"

namespace {

// Copies between a request's pieces and flat memory.
void gather(const request* rq, char* out) {
  for (const bio* b = rq->bio; b != nullptr; b = b->bi_next) {
    for (unsigned short i = 0; i < b->bi_vcnt; ++i) {
      const bio_vec& v = b->bi_io_vec[i];
      std::memcpy(out, v.bv_page + v.bv_offset, v.bv_len);
      out += v.bv_len;
    }
  }
}

void scatter(const char* in, request* rq) {
  for (bio* b = rq->bio; b != nullptr; b = b->bi_next) {
    for (unsigned short i = 0; i < b->bi_vcnt; ++i) {
      const bio_vec& v = b->bi_io_vec[i];
      std::memcpy(v.bv_page + v.bv_offset, in, v.bv_len);
      in += v.bv_len;
    }
  }
}

}  // namespace

BlockDisk::BlockDisk(mtd_blktrans_dev* dev, std::string name, uint64_t sectors,
                     std::unique_ptr<request_queue> queue)
    : name_(std::move(name)),
      sectors_(sectors),
      readonly_(dev->readonly != 0),
      queue_(std::move(queue)),
      dev_(dev) {
  info_.name = name_;
  info_.sectors = sectors_;
  info_.major = dev->tr->major;
  info_.first_minor = dev->devnum << dev->tr->part_bits;
  info_.readonly = readonly_;
  info_.mtd_name = dev->mtd != nullptr && dev->mtd->name != nullptr ? dev->mtd->name : "";
}

int BlockDisk::submit(request* rq) {
  if (rq == nullptr) return -EINVAL;
  ++waiting_;
  std::lock_guard<std::mutex> lock(mutex_);
  --waiting_;
  if (dev_ == nullptr) return -ENODEV;
  if (blk_queue_dead(queue_.get())) return -EIO;
  int ret = blk_rq_check(rq);
  if (ret != 0) return ret;
  if (rq->cmd_type == REQ_TYPE_FS) {
    if ((rq->cmd_flags & (REQ_WRITE | REQ_DISCARD)) && readonly_) return -EROFS;
    // The whole request must lie within the disk.
    if (blk_rq_pos(rq) > sectors_ || blk_rq_sectors(rq) > sectors_ - blk_rq_pos(rq)) return -EIO;
  }
  rq->q = queue_.get();
  ret = blk_split_request(queue_.get(), rq, [this](request* part) { return serve(part); });
  mtd_blktrans_ops* tr = dev_->tr;
  if (tr->background != nullptr && waiting_.load() == 0) tr->background(dev_);
  return ret;
}

int BlockDisk::serve(request* rq) {
  mtd_blktrans_ops* tr = dev_->tr;
  if (tr->do_blktrans_request != nullptr) return tr->do_blktrans_request(tr, dev_, rq);
  return serve_by_blocks(rq);
}

// Without a request hook the data moves through a bounce buffer, one block
// of the table's block size at a time.
int BlockDisk::serve_by_blocks(request* rq) {
  mtd_blktrans_ops* tr = dev_->tr;
  if (rq->cmd_type != REQ_TYPE_FS) return -EIO;
  const uint64_t first_byte = blk_rq_pos(rq) << SECTOR_SHIFT;
  const unsigned int bytes = blk_rq_bytes(rq);
  const unsigned int blksize = static_cast<unsigned int>(tr->blksize);
  if (first_byte % blksize != 0 || bytes % blksize != 0) return -EIO;
  const unsigned long block = static_cast<unsigned long>(first_byte >> tr->blkshift);
  const unsigned int blocks = bytes >> tr->blkshift;

  if (rq->cmd_flags & REQ_DISCARD) {
    return tr->discard != nullptr ? tr->discard(dev_, block, blocks) : -EOPNOTSUPP;
  }
  std::vector<char> buffer(bytes);
  if (rq_data_dir(rq) == WRITE) {
    if (tr->writesect == nullptr) return -EIO;
    gather(rq, buffer.data());
    for (unsigned int i = 0; i < blocks; ++i) {
      if (tr->writesect(dev_, block + i, buffer.data() + size_t{i} * blksize) != 0) return -EIO;
    }
    return 0;
  }
  if (tr->readsect == nullptr) return -EIO;
  for (unsigned int i = 0; i < blocks; ++i) {
    if (tr->readsect(dev_, block + i, buffer.data() + size_t{i} * blksize) != 0) return -EIO;
  }
  scatter(buffer.data(), rq);
  return 0;
}

int BlockDisk::read(sector_t sector, std::span<uint8_t> data) {
  auto req = BlockRequest::over_buffer(BlockOp::Read, sector, data);
  if (!req.ok()) return -EINVAL;
  return submit(req->get());
}

int BlockDisk::write(sector_t sector, std::span<const uint8_t> data) {
  // The write path only reads from the pieces.
  std::span<uint8_t> pieces(const_cast<uint8_t*>(data.data()), data.size());
  auto req = BlockRequest::over_buffer(BlockOp::Write, sector, pieces);
  if (!req.ok()) return -EINVAL;
  return submit(req->get());
}

int BlockDisk::discard(sector_t sector, uint64_t sectors) {
  if (!queue_flag_test(QUEUE_FLAG_DISCARD, queue_.get())) return -EOPNOTSUPP;
  if (sector > sectors_ || sectors > sectors_ - sector) return -EIO;
  const uint64_t most = std::max(queue_max_discard_sectors(queue_.get()), 1u);
  for (uint64_t done = 0; done < sectors;) {
    const auto n = static_cast<unsigned int>(std::min(most, sectors - done));
    BlockRequest req = BlockRequest::discard(sector + done, n);
    if (int ret = submit(req.get()); ret != 0) return ret;
    done += n;
  }
  return 0;
}

int BlockDisk::open() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dev_ == nullptr) return -ENXIO;
  if (openers_ == 0 && dev_->tr->open != nullptr) {
    int ret = dev_->tr->open(dev_);
    if (ret != 0) return ret;
  }
  dev_->open = ++openers_;
  return 0;
}

int BlockDisk::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (openers_ == 0) return -EINVAL;
  --openers_;
  // After a delete the table was already told (the delete released the disk).
  if (dev_ == nullptr) return 0;
  dev_->open = openers_;
  if (openers_ == 0 && dev_->tr->release != nullptr) return dev_->tr->release(dev_);
  return 0;
}

int BlockDisk::flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dev_ == nullptr) return -ENODEV;
  return dev_->tr->flush != nullptr ? dev_->tr->flush(dev_) : 0;
}

int BlockDisk::getgeo(hd_geometry* geo) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (dev_ == nullptr) return -ENODEV;
  if (dev_->tr->getgeo == nullptr) return -ENOTTY;
  return dev_->tr->getgeo(dev_, geo);
}

void BlockDisk::detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  mtd_blktrans_dev* dev = dev_;
  if (openers_ > 0 && dev->tr->release != nullptr) dev->tr->release(dev);
  blk_cleanup_queue(queue_.get());
  dev->rq = nullptr;
  dev->disk = nullptr;
  dev_ = nullptr;
  removed_.store(true);
}
