// The block device: registration of the translation table "zozove" with the
// block-translation layer, acceptance of NAND partitions as disks, the
// request path (scatter mapping, runs of contiguous memory, sector reads and
// writes under the partition's lock), the per-device background worker
// (idle flush of the write cache, wear levelling, garbage collection,
// priority reclaim), and the flush, release, reboot and removal paths.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "nyx_nftl.h"

namespace {

constexpr uint32 kSectorShift = 9;
constexpr uint32 kMinBounceBytes = 0x40000;  // 256 KiB per request at least
constexpr uint32 kBouncePagesPerRequest = 16;
constexpr uint32 kScatterEntryBytes = 4096;
constexpr int32_t kIdleFlushSeconds = 7;
// The worker's period in scheduler ticks (one second at HZ = 100).
constexpr long kWorkerPeriodJiffies = 100;
// Room for the runs of one request on the stack. A request has at most as
// many runs as scatter entries, and the queue set-up allows at most
// 16 pages of at most 64 KiB in 4 KiB entries: 256.
constexpr uint32 kMaxRuns = 256;

static_assert(offsetof(nyx_nftl_blk_t, mbd) == 0,
              "the layer's device pointer is a pointer to the device record");

nyx_nftl_blk_t* blk_of(mtd_blktrans_dev* dev) { return reinterpret_cast<nyx_nftl_blk_t*>(dev); }

nyx_nftl_blk_t* blk_of_notifier(notifier_block* nb) {
  return reinterpret_cast<nyx_nftl_blk_t*>(reinterpret_cast<char*>(nb) -
                                           offsetof(nyx_nftl_blk_t, nb));
}

// Bytes one request may carry and the scatter entries that hold them.
uint32 bounce_bytes(const nyx_nftl_blk_t* blk) {
  uint32 bytes = kBouncePagesPerRequest * blk->nyx_nftl_part->nand_chip->bytes_per_page;
  return bytes < kMinBounceBytes ? kMinBounceBytes : bytes;
}
uint32 bounce_entries(const nyx_nftl_blk_t* blk) { return bounce_bytes(blk) / kScatterEntryBytes; }

// Stops the worker and waits until it has ended.
void stop_worker(nyx_nftl_blk_t* blk) {
  if (blk->nftl_thread != nullptr) {
    kthread_stop(blk->nftl_thread);
    blk->nftl_thread = nullptr;
  }
}

// Releases a device record that never got a disk. Its reboot notification,
// if registered, is withdrawn first (withdrawing one that is not registered
// does nothing), so no handler can reach the record afterwards.
void discard_device(nyx_nftl_blk_t* blk) {
  unregister_reboot_notifier(&blk->nb);
  kfree(blk->bounce_sg);
  kfree_record(blk);
}

}  // namespace

mtd_blktrans_ops nyx_nftl_tr = {
    .name = "zozove",
    .major = 250,
    .part_bits = 2,
    .blksize = 512,
    .blkshift = 0,
    .do_blktrans_request = do_nftltrans_request,
    .readsect = nullptr,
    .writesect = nyx_nftl_writesect,
    .discard = nyx_nftl_discard,
    .background = nullptr,
    .getgeo = nullptr,
    .flush = nyx_nftl_flush,
    .open = nyx_nftl_open,
    .release = nyx_nftl_release,
    .update_blktrans_sysinfo = nullptr,
    .add_mtd = nyx_nftl_add_mtd,
    .remove_dev = nyx_nftl_remove_dev,
};

// ---------------------------------------------------------------------------
// Registration.
// ---------------------------------------------------------------------------

int init_nyx_nftl() {
  // The table carries "zozove" whenever it is registered; adds then
  // overwrite it with their disks' base names.
  std::snprintf(nyx_nftl_tr.name, sizeof nyx_nftl_tr.name, "%s", "zozove");
  return register_mtd_blktrans(&nyx_nftl_tr);
}

void cleanup_nyx_nftl() { deregister_mtd_blktrans(&nyx_nftl_tr); }

// The served partitions, in the order the add path tests their names. No
// prefix begins another, so a name matches at most one entry.
const nyx_nftl_served_part nyx_nftl_served_parts[NYX_SERVED_PARTS] = {
    {"NFTL_Part", 3, "media", "nyx_nftl"},
    {"system", 0, "system", nullptr},
    {"cache", 1, "cache", nullptr},
    {"userdata", 2, "data", "nyx_userdata"},
};

bool name_starts_with(const char* name, const char* prefix) {
  return name != nullptr && std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

const nyx_nftl_served_part* nyx_nftl_served_part_of(const char* mtd_name) {
  for (const nyx_nftl_served_part& served : nyx_nftl_served_parts) {
    if (name_starts_with(mtd_name, served.name_prefix)) return &served;
  }
  return nullptr;
}

namespace {

// Attach options by device, for the front ends (see nyx_nftl.h). Few devices
// ever have an entry; a vector under a lock is enough.
struct AttachOptionsEntry {
  const mtd_info* mtd;
  nyx_nftl_attach_options options;
};
std::mutex g_attach_options_lock;
std::vector<AttachOptionsEntry> g_attach_options;

}  // namespace

void nyx_nftl_set_attach_options(const mtd_info* mtd, const nyx_nftl_attach_options& options) {
  std::lock_guard<std::mutex> lock(g_attach_options_lock);
  for (AttachOptionsEntry& e : g_attach_options) {
    if (e.mtd == mtd) {
      e.options = options;
      return;
    }
  }
  g_attach_options.push_back({mtd, options});
}

nyx_nftl_attach_options nyx_nftl_attach_options_of(const mtd_info* mtd) {
  std::lock_guard<std::mutex> lock(g_attach_options_lock);
  for (const AttachOptionsEntry& e : g_attach_options) {
    if (e.mtd == mtd) return e.options;
  }
  return nyx_nftl_attach_options{};
}

void nyx_nftl_clear_attach_options(const mtd_info* mtd) {
  std::lock_guard<std::mutex> lock(g_attach_options_lock);
  std::erase_if(g_attach_options, [mtd](const AttachOptionsEntry& e) { return e.mtd == mtd; });
}

namespace {

// Starts the device's worker (named nyx_nftld). Whether it runs.
bool start_worker(nyx_nftl_blk_t* blk) {
  task_struct* task = kthread_create_on_node(nyx_nftl_thread, blk, NUMA_NO_NODE, "%sd", "nyx_nftl");
  if (IS_ERR_OR_NULL(task)) return false;
  blk->nftl_thread = task;
  wake_up_process(task);
  return true;
}

}  // namespace

void nyx_nftl_add_mtd(mtd_blktrans_ops* tr, mtd_info* mtd) {
  if (mtd->type != MTD_NANDFLASH) return;
  const nyx_nftl_served_part* served = nyx_nftl_served_part_of(mtd->name);
  if (served == nullptr) return;
  printk("mtd->name: %s\n", mtd->name);

  nyx_nftl_blk_t* blk = kzalloc_record<nyx_nftl_blk_t>();
  if (blk == nullptr) return;
  blk->mbd.mtd = mtd;
  blk->mbd.tr = tr;
  blk->mbd.devnum = mtd->index;
  blk->attach_options = nyx_nftl_attach_options_of(mtd);
  // The layer's read-only flag stays clear, whatever the device's writeable
  // flag: a device that refuses writes fails them at the flash.
  blk->nb.notifier_call = nyx_nftl_reboot_notifier;
  blk->nb.priority = 0;

  // A device that cannot be brought up, or gets no worker or no disk, is
  // released again, with its reboot notification withdrawn: no disk will
  // ever lead the layer to remove it.
  if (nyx_nftl_initialize(blk) != 0) {
    discard_device(blk);
    return;
  }
  blk->nyx_nftl_part->part_no = served->part_no;
  blk->nyx_nftl_part->part_attr = 0;

  if (!start_worker(blk)) {
    nyx_nftl_part_release(blk);
    discard_device(blk);
    return;
  }
  // The reboot handler uses the partition, the cache and the worker: it is
  // registered once all three exist, so a reboot during bring-up never
  // finds them half made.
  register_reboot_notifier(&blk->nb);

  std::snprintf(tr->name, sizeof tr->name, "%s", served->disk_name);
  printk("nyx_nftl_blk->mbd.tr.name =%s\n", tr->name);

  if (add_mtd_blktrans_dev(&blk->mbd) != 0) {
    printk("nftl add blk disk dev failed\n");
    // No disk, so no request has reached the cache: nothing to flush. The
    // reboot handler is withdrawn before the worker is stopped here.
    unregister_reboot_notifier(&blk->nb);
    stop_worker(blk);
    nyx_nftl_part_release(blk);
    discard_device(blk);
    return;
  }

  // A failed queue set-up leaves the disk with a dead queue, which takes no
  // requests; the disk stays until the layer removes it.
  if (nyx_nftl_init_bounce_buf(&blk->mbd, blk->mbd.rq) != 0) {
    printk("nyx_nftl_init_bounce_buf  failed\n");
    return;
  }
  printk("nyx_nftl_add_mtd ok\n");
}

void nyx_nftl_remove_dev(mtd_blktrans_dev* dev) {
  nyx_nftl_blk_t* blk = blk_of(dev);
  unregister_reboot_notifier(&blk->nb);
  del_mtd_blktrans_dev(dev);
  // The worker uses the record on every pass: it ends before the record
  // goes.
  stop_worker(blk);
  // Pages still dirty in the cache were acknowledged to their writers: they
  // reach the flash before the cache is released.
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  mutex_lock(&part->nyx_nftl_lock);
  blk->flush_write_cache(blk);
  mutex_unlock(&part->nyx_nftl_lock);
  nyx_nftl_part_release(blk);
  kfree(blk->bounce_sg);
  blk->bounce_sg = nullptr;
  kfree_record(blk);
}

// ---------------------------------------------------------------------------
// Queue set-up and requests.
// ---------------------------------------------------------------------------

int nyx_nftl_init_bounce_buf(mtd_blktrans_dev* dev, request_queue* rq) {
  nyx_nftl_blk_t* blk = blk_of(dev);
  if (blk->queue != nullptr && blk->bounce_sg != nullptr) {
    printk("_nftl_init_bounce_buf already init %x\n", kScatterEntryBytes);
    return 0;
  }
  // Without a queue (no disk) there is nothing to set up.
  if (rq == nullptr) return -EINVAL;
  blk->queue = rq;

  const uint32 bytes = bounce_bytes(blk);
  const uint32 entries = bounce_entries(blk);
  unsigned long flags;
  spin_lock_irqsave(rq->queue_lock, flags);
  if (!queue_flag_test(QUEUE_FLAG_NONROT, rq)) queue_flag_set(QUEUE_FLAG_NONROT, rq);
  blk_queue_bounce_limit(rq, BLK_BOUNCE_HIGH);
  blk_queue_max_hw_sectors(rq, bytes >> kSectorShift);
  blk_queue_physical_block_size(rq, bytes);
  blk_queue_max_segments(rq, static_cast<unsigned short>(entries));
  blk_queue_max_segment_size(rq, bytes);
  spin_unlock_irqrestore(rq->queue_lock, flags);

  blk->req = nullptr;
  blk->bounce_sg = static_cast<scatterlist*>(kzalloc(sizeof(scatterlist) * entries));
  if (blk->bounce_sg == nullptr) {
    blk_cleanup_queue(rq);
    return -ENOMEM;
  }
  sg_init_table(blk->bounce_sg, entries);
  return 0;
}

uint32 nyx_nftl_calculate_sg(nyx_nftl_blk_t* nyx_nftl_blk, uint32 total_bytes, uchar** buf_addr,
                             uint32* offset_addr, uint32 max_runs) {
  const unsigned int direction =
      rq_data_dir(nyx_nftl_blk->req) == WRITE ? SG_MITER_FROM_SG : SG_MITER_TO_SG;
  sg_mapping_iter miter;
  unsigned long flags;
  local_irq_save(flags);
  sg_miter_start(&miter, nyx_nftl_blk->bounce_sg, nyx_nftl_blk->bounce_sg_len,
                 SG_MITER_ATOMIC | direction);

  uint32 offset = 0;
  uint32 segments = 0;
  bool buf_start = false;
  while (offset < total_bytes && sg_miter_next(&miter)) {
    auto* addr = static_cast<uchar*>(miter.addr);
    if (!buf_start) {
      buf_addr[0] = addr;
      offset_addr[0] = offset;
      buf_start = true;
    } else if (addr != buf_addr[segments] + (offset - offset_addr[segments])) {
      // No room for another run: the walk ends short of the request, which
      // the caller sees in the end offset.
      if (segments + 1 >= max_runs) break;
      ++segments;
      buf_addr[segments] = addr;
      offset_addr[segments] = offset;
    }
    const uint32 left = total_bytes - offset;
    offset += miter.length < left ? static_cast<uint32>(miter.length) : left;
  }
  ++segments;
  offset_addr[segments] = offset;

  sg_miter_stop(&miter);
  local_irq_restore(flags);
  return segments;
}

int do_nftltrans_request(mtd_blktrans_ops* tr, mtd_blktrans_dev* dev, request* req) {
  nyx_nftl_blk_t* blk = blk_of(dev);
  // A queue that a failed set-up cleaned up (or a disk already deleted)
  // takes no more requests.
  if (dev->rq == nullptr || blk_queue_dead(dev->rq)) return -EIO;
  if (blk->queue == nullptr || blk->bounce_sg == nullptr) {
    if (nyx_nftl_init_bounce_buf(dev, dev->rq) != 0) {
      printk("_nftl_init_bounce_buf  failed\n");
      // Without a scatter table the request cannot be mapped.
      return -EIO;
    }
  }

  // The run lists are sized by the queue's segment limit, which the set-up
  // made the scatter table's size; a queue whose limit has grown past the
  // table (or past the lists' room) is refused rather than overrun.
  const uint32 max_segments = queue_max_segments(blk->queue);
  if (max_segments > bounce_entries(blk) || max_segments > kMaxRuns) return -EIO;
  uchar* buf_addr[kMaxRuns + 1] = {};
  uint32 offset_addr[kMaxRuns + 1] = {};
  blk->req = req;

  if (req->cmd_type != REQ_TYPE_FS) return -EIO;

  // The whole request must lie within the disk, not only its first segment:
  // a request that starts inside and runs past the end is refused before
  // anything is read or written. So is one that is not whole sectors. The
  // test is written so that a start near 2^64 cannot wrap around into range.
  const uint64_t start = blk_rq_pos(req);
  const uint64_t sectors = blk_rq_sectors(req);
  if (blk_rq_bytes(req) % 512 != 0 || start > dev->size || sectors > dev->size - start) return -EIO;

  const unsigned long block = static_cast<unsigned long>((start << kSectorShift) >> tr->blkshift);
  const uint32 count = blk_rq_bytes(req) >> kSectorShift;

  // A discard (its range checked above) goes to the table's discard entry.
  if (req->cmd_flags & REQ_DISCARD) {
    return tr->discard != nullptr ? tr->discard(dev, block, count) : -EIO;
  }

  blk->bounce_sg_len = static_cast<uint32>(blk_rq_map_sg(blk->queue, req, blk->bounce_sg));
  const uint32 total_bytes = count << tr->blkshift;
  const uint32 segments =
      nyx_nftl_calculate_sg(blk, total_bytes, buf_addr, offset_addr, max_segments);
  if (offset_addr[segments] != total_bytes) return -EIO;

  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  int ret = 0;
  mutex_lock(&part->nyx_nftl_lock);
  if (rq_data_dir(req) == WRITE) {
    bio_flush_dcache_pages(req->bio);
    for (uint32 i = 0; i < segments; ++i) {
      const uint32 run = (offset_addr[i + 1] - offset_addr[i]) >> tr->blkshift;
      if (blk->write_data(blk, block + (offset_addr[i] >> tr->blkshift), run, buf_addr[i]) != 0) {
        ret = -EIO;
        break;
      }
    }
  } else {
    for (uint32 i = 0; i < segments; ++i) {
      const uint32 run = (offset_addr[i + 1] - offset_addr[i]) >> tr->blkshift;
      if (blk->read_data(blk, block + (offset_addr[i] >> tr->blkshift), run, buf_addr[i]) != 0) {
        ret = -EIO;
        break;
      }
    }
    bio_flush_dcache_pages(req->bio);
  }
  mutex_unlock(&part->nyx_nftl_lock);
  return ret;
}

int nyx_nftl_discard(mtd_blktrans_dev* dev, unsigned long block, unsigned int nr_blocks) {
  nyx_nftl_blk_t* blk = blk_of(dev);
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  mutex_lock(&part->nyx_nftl_lock);
  const uint32 ret = nand_trim(blk, block, nr_blocks);
  mutex_unlock(&part->nyx_nftl_lock);
  return ret == 0 ? 0 : -EIO;
}

int nyx_nftl_writesect(mtd_blktrans_dev* /*dev*/, unsigned long /*block*/, char* /*buf*/) {
  return 0;
}

int nyx_nftl_open(mtd_blktrans_dev* /*mbd*/) { return 0; }

// ---------------------------------------------------------------------------
// Background worker, flush, release and reboot.
// ---------------------------------------------------------------------------

int nyx_nftl_thread(void* arg) {
  auto* blk = static_cast<nyx_nftl_blk_t*>(arg);
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  while (!kthread_should_stop()) {
    mutex_lock(&part->nyx_nftl_lock);
    if (blk->cache.cache_write_nums != 0) {
      struct timespec now;
      ktime_get_ts(&now);
      // Whole seconds since the last write, as a signed 32-bit difference.
      const int32_t idle = static_cast<int32_t>(static_cast<uint32>(now.tv_sec) -
                                                static_cast<uint32>(blk->ts_write_start.tv_sec));
      if (idle > kIdleFlushSeconds) {
        printk("nyx_nftl_thread flush cache data: %d\n", blk->cache.cache_write_nums);
        blk->flush_write_cache(blk);
      }
    }
    if (do_static_wear_leveling(part) != 0)
      printk("nyx_nftl_thread do_static_wear_leveling error!\n");
    if (garbage_collect(part) != 0) printk("nyx_nftl_thread garbage_collect error!\n");
    if (do_prio_gc(part) != 0) printk("nyx_nftl_thread do_prio_gc error!\n");
    mutex_unlock(&part->nyx_nftl_lock);

    // The stop test is made again once the thread is marked as sleeping: a
    // stop that came after the test at the top would otherwise find the
    // thread not yet asleep, and the sleep would run its whole period.
    set_current_state(TASK_INTERRUPTIBLE);
    if (kthread_should_stop()) {
      set_current_state(TASK_RUNNING);
      break;
    }
    schedule_timeout(kWorkerPeriodJiffies);
  }
  blk->nftl_thread = nullptr;
  return 0;
}

int nyx_nftl_flush(mtd_blktrans_dev* dev) {
  nyx_nftl_blk_t* blk = blk_of(dev);
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  mutex_lock(&part->nyx_nftl_lock);
  printk("nyx_nftl_flush cache data: %d\n", blk->cache.cache_write_nums);
  const int ret = static_cast<int>(blk->flush_write_cache(blk));
  mtd_info* mtd = blk->mbd.mtd;
  if (mtd->sync != nullptr) mtd->sync(mtd);
  mutex_unlock(&part->nyx_nftl_lock);
  return ret;
}

int nyx_nftl_release(mtd_blktrans_dev* mbd) {
  nyx_nftl_blk_t* blk = blk_of(mbd);
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  mutex_lock(&part->nyx_nftl_lock);
  printk("nyx_nftl_release flush cache data: %d\n", blk->cache.cache_write_nums);
  const int ret = static_cast<int>(blk->flush_write_cache(blk));
  mutex_unlock(&part->nyx_nftl_lock);
  return ret;
}

int nyx_nftl_reboot_notifier(notifier_block* nb, unsigned long /*priority*/, void* /*arg*/) {
  nyx_nftl_blk_t* blk = blk_of_notifier(nb);
  nyx_nftl_part_t* part = blk->nyx_nftl_part;
  mutex_lock(&part->nyx_nftl_lock);
  printk("nyx_nftl_reboot_notifier flush cache data: %d\n", blk->cache.cache_write_nums);
  const int ret = static_cast<int>(blk->flush_write_cache(blk));
  mutex_unlock(&part->nyx_nftl_lock);
  // The lock is free again, so the worker can finish its pass while the
  // stop waits for it.
  stop_worker(blk);
  return ret;
}
