// A disk of the block-translation layer as the front ends use it: find it by
// name (blktrans.h), submit requests, open, release and flush it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/block/blkdev.h"
#include "platform/block/blktrans.h"

struct BlockDiskInfo {
  std::string name;
  uint64_t sectors;  // capacity in 512-byte sectors
  int major;
  int first_minor;
  bool readonly;
  std::string mtd_name;
};

// A disk as the front ends see it. Handles stay usable after the disk is
// deleted; every operation then fails with -ENODEV (open with -ENXIO).
class BlockDisk {
 public:
  BlockDisk(mtd_blktrans_dev* dev, std::string name, uint64_t sectors,
            std::unique_ptr<request_queue> queue);
  BlockDisk(const BlockDisk&) = delete;
  BlockDisk& operator=(const BlockDisk&) = delete;

  const std::string& name() const { return name_; }
  uint64_t capacity() const { return sectors_; }  // 512-byte sectors
  bool readonly() const { return readonly_; }
  BlockDiskInfo info() const { return info_; }
  bool removed() const { return removed_.load(); }
  request_queue* queue() { return queue_.get(); }
  mtd_blktrans_dev* device() { return dev_; }  // null once removed

  // Serves one request: 0 or a negative errno (-EINVAL malformed, -EIO out
  // of the disk or dead queue, -EROFS write to a read-only disk, -ENODEV
  // deleted, or the table's result).
  int submit(request* rq);
  // Requests over a buffer cut into 4096-byte pages; sizes are whole sectors.
  int read(sector_t sector, std::span<uint8_t> data);
  int write(sector_t sector, std::span<const uint8_t> data);
  // Discards `sectors` sectors from `sector`, in requests of at most the
  // queue's discard limit; -EOPNOTSUPP when the queue announces no discard.
  int discard(sector_t sector, uint64_t sectors);

  int open();
  int release();  // -EINVAL when not open
  int flush();
  int getgeo(hd_geometry* geo);  // -ENOTTY without the table's getgeo

  // Submitters waiting for their turn (for monitoring and tests).
  unsigned int waiting() const { return waiting_.load(); }

 private:
  friend struct BlktransRegistry;

  int serve(request* rq);
  int serve_by_blocks(request* rq);
  // Ends the disk (registry lock held): see del_mtd_blktrans_dev.
  void detach();

  const std::string name_;
  const uint64_t sectors_;
  const bool readonly_;
  BlockDiskInfo info_;
  std::unique_ptr<request_queue> queue_;

  mutable std::mutex mutex_;  // one request (or open, release, flush) at a time
  // Null once deleted. Changed with both the registry lock and mutex_ held,
  // so either lock is enough to read it.
  mtd_blktrans_dev* dev_;
  int openers_ = 0;
  std::atomic<bool> removed_{false};
  std::atomic<unsigned int> waiting_{0};
};
