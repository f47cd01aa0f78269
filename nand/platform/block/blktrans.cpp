// The registry of MTD devices, translation tables and disks, and the adding
// and deleting of disks.
#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/kernel/kernel.h"

namespace {

// Recursive: the hooks called under it come back with add_mtd_blktrans_dev
// and del_mtd_blktrans_dev.
std::recursive_mutex g_registry;
std::vector<mtd_info*> g_mtds;                    // by index
std::vector<mtd_blktrans_ops*> g_tables;          // in order of registration
std::vector<std::shared_ptr<BlockDisk>> g_disks;  // in order of adding

using RegistryLock = std::lock_guard<std::recursive_mutex>;

bool contains(const auto& items, const auto& item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

// The registered disk of `dev`, or null.
std::shared_ptr<BlockDisk> disk_of(const mtd_blktrans_dev* dev) {
  for (const auto& disk : g_disks) {
    if (dev->disk == disk.get()) return disk;
  }
  return nullptr;
}

bool name_taken(const std::string& name) {
  return std::any_of(g_disks.begin(), g_disks.end(),
                     [&](const auto& disk) { return disk->name() == name; });
}

void offer(mtd_blktrans_ops* tr, mtd_info* mtd) {
  if (tr->add_mtd != nullptr && mtd->type != MTD_ABSENT) tr->add_mtd(tr, mtd);
}

}  // namespace

// The registry's access to the disks' device records (its lock held).
struct BlktransRegistry {
  static bool devnum_taken(const mtd_blktrans_ops* tr, int devnum) {
    return std::any_of(g_disks.begin(), g_disks.end(), [&](const auto& disk) {
      return disk->dev_->tr == tr && disk->dev_->devnum == devnum;
    });
  }

  // Has the table remove every listed disk that is still registered, then
  // deletes what the table left behind.
  static void remove_disks(const std::vector<std::shared_ptr<BlockDisk>>& disks) {
    for (const auto& disk : disks) {
      if (!contains(g_disks, disk)) continue;
      mtd_blktrans_dev* dev = disk->dev_;
      if (dev->tr->remove_dev != nullptr) dev->tr->remove_dev(dev);
      if (contains(g_disks, disk)) {
        printk("blktrans: remove_dev left disk %s behind; deleting it\n", disk->name().c_str());
        del_mtd_blktrans_dev(dev);
      }
    }
  }

  // The registered disks whose device record satisfies `pick`.
  template <class Pick>
  static std::vector<std::shared_ptr<BlockDisk>> disks_where(Pick pick) {
    std::vector<std::shared_ptr<BlockDisk>> out;
    for (const auto& disk : g_disks) {
      if (pick(disk->dev_)) out.push_back(disk);
    }
    return out;
  }

  static void detach(BlockDisk& disk) { disk.detach(); }
};

int register_mtd_blktrans(mtd_blktrans_ops* tr) {
  if (tr == nullptr) return -EINVAL;
  if (tr->blksize <= 0 || (tr->blksize & (tr->blksize - 1)) != 0) return -EINVAL;
  RegistryLock lock(g_registry);
  for (const mtd_blktrans_ops* other : g_tables) {
    if (other == tr || other->major == tr->major) return -EBUSY;
  }
  tr->blkshift = __builtin_ctz(static_cast<unsigned int>(tr->blksize));
  g_tables.push_back(tr);
  const std::vector<mtd_info*> devices = g_mtds;
  for (mtd_info* mtd : devices) {
    if (contains(g_mtds, mtd) && contains(g_tables, tr)) offer(tr, mtd);
  }
  return 0;
}

int deregister_mtd_blktrans(mtd_blktrans_ops* tr) {
  RegistryLock lock(g_registry);
  auto it = std::find(g_tables.begin(), g_tables.end(), tr);
  if (it == g_tables.end()) return -ENOENT;
  g_tables.erase(it);
  BlktransRegistry::remove_disks(
      BlktransRegistry::disks_where([tr](const mtd_blktrans_dev* dev) { return dev->tr == tr; }));
  return 0;
}

int add_mtd_blktrans_dev(mtd_blktrans_dev* dev) {
  if (dev == nullptr || dev->tr == nullptr) return -EINVAL;
  mtd_blktrans_ops* tr = dev->tr;
  RegistryLock lock(g_registry);
  if (dev->disk != nullptr) return -EBUSY;

  const int max_devnum = 1 << (MINORBITS - tr->part_bits);
  if (dev->devnum == -1) {
    int devnum = 0;
    while (devnum < max_devnum && BlktransRegistry::devnum_taken(tr, devnum)) ++devnum;
    dev->devnum = devnum;
  }
  if (dev->devnum < 0 || dev->devnum >= max_devnum ||
      BlktransRegistry::devnum_taken(tr, dev->devnum))
    return -EBUSY;

  const std::string base(tr->name, strnlen(tr->name, sizeof tr->name));
  if (base.empty()) return -EINVAL;
  if (kalloc_should_fail()) return -ENOMEM;
  std::string name = base;
  for (unsigned int n = 1; name_taken(name); ++n) name = base + std::to_string(n);

  if (tr->writesect == nullptr) dev->readonly = 1;
  auto queue = blk_alloc_queue();
  blk_queue_logical_block_size(queue.get(), static_cast<unsigned int>(tr->blksize));
  queue->queuedata = dev;
  request_queue* rq = queue.get();
  // A table with a discard entry gets a queue that announces discard, as
  // large as one request's byte count can describe.
  if (tr->discard != nullptr) {
    queue_flag_set_unlocked(QUEUE_FLAG_DISCARD, rq);
    blk_queue_max_discard_sectors(rq, UINT_MAX >> SECTOR_SHIFT);
  }
  const uint64_t sectors =
      (uint64_t{dev->size} * static_cast<uint64_t>(tr->blksize)) >> SECTOR_SHIFT;
  auto disk = std::make_shared<BlockDisk>(dev, name, sectors, std::move(queue));

  std::snprintf(dev->disk_name, sizeof dev->disk_name, "%s", name.c_str());
  dev->rq = rq;
  dev->disk = disk.get();
  dev->open = 0;
  g_disks.push_back(std::move(disk));
  if (tr->update_blktrans_sysinfo != nullptr) tr->update_blktrans_sysinfo(dev);
  return 0;
}

int del_mtd_blktrans_dev(mtd_blktrans_dev* dev) {
  if (dev == nullptr) return -EINVAL;
  RegistryLock lock(g_registry);
  std::shared_ptr<BlockDisk> disk = disk_of(dev);
  if (!disk) return -EINVAL;
  g_disks.erase(std::find(g_disks.begin(), g_disks.end(), disk));
  BlktransRegistry::detach(*disk);
  return 0;
}

int add_mtd_device(mtd_info* mtd) {
  if (mtd == nullptr) return -EINVAL;
  RegistryLock lock(g_registry);
  if (contains(g_mtds, mtd)) return -EEXIST;
  auto index_taken = [](int index) {
    return std::any_of(g_mtds.begin(), g_mtds.end(),
                       [&](const mtd_info* m) { return m->index == index; });
  };
  if (mtd->index < 0 || index_taken(mtd->index)) {
    int index = 0;
    while (index_taken(index)) ++index;
    mtd->index = index;
  }
  g_mtds.insert(
      std::upper_bound(g_mtds.begin(), g_mtds.end(), mtd,
                       [](const mtd_info* a, const mtd_info* b) { return a->index < b->index; }),
      mtd);
  const std::vector<mtd_blktrans_ops*> tables = g_tables;
  for (mtd_blktrans_ops* tr : tables) {
    if (contains(g_tables, tr) && contains(g_mtds, mtd)) offer(tr, mtd);
  }
  return 0;
}

int del_mtd_device(mtd_info* mtd) {
  RegistryLock lock(g_registry);
  auto it = std::find(g_mtds.begin(), g_mtds.end(), mtd);
  if (it == g_mtds.end()) return -ENODEV;
  BlktransRegistry::remove_disks(BlktransRegistry::disks_where(
      [mtd](const mtd_blktrans_dev* dev) { return dev->mtd == mtd; }));
  g_mtds.erase(std::find(g_mtds.begin(), g_mtds.end(), mtd));
  return 0;
}

std::shared_ptr<BlockDisk> blktrans_find_disk(std::string_view name) {
  RegistryLock lock(g_registry);
  for (const auto& disk : g_disks) {
    if (disk->name() == name) return disk;
  }
  return nullptr;
}

std::vector<BlockDiskInfo> blktrans_list_disks() {
  RegistryLock lock(g_registry);
  std::vector<BlockDiskInfo> out;
  for (const auto& disk : g_disks) out.push_back(disk->info());
  return out;
}
