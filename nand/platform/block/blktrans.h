// The MTD block-translation layer: translation tables (mtd_blktrans_ops)
// register here, are offered every MTD device, and turn the ones they accept
// into disks (mtd_blktrans_dev) whose requests the layer hands to the table.
// Beside it, the registry of MTD devices and of disks (found by name); the
// front ends' side of a disk is BlockDisk (blktrans_disk.h).
//
// Registry. One lock guards the MTD devices, the tables and the disks. It is
// held while a table's add_mtd and remove_dev hooks run (they may call
// add_mtd_blktrans_dev and del_mtd_blktrans_dev, and may register reboot
// notifiers or start threads), so a disk cannot be found by a front end
// before the add_mtd that created it has returned.
//
// Requests. A disk serves one request at a time: submit, open, release,
// flush and getgeo of one disk never overlap, and the table's hooks for a
// disk are called from one of those at a time (or from the registry, under
// the same per-disk lock). A request is checked (well formed, within the
// disk, not a write to a read-only disk), cut to the queue's limits, and each
// piece handed to the table's do_blktrans_request; without that hook the
// layer moves the data itself through readsect/writesect/discard, block by
// block. The result of the first failing piece (or 0) is the request's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/block/blkdev.h"
#include "platform/mtd/mtd.h"

constexpr size_t BLKTRANS_NAME_LEN = 32;       // table name, with its terminating zero
constexpr size_t BLKTRANS_DISK_NAME_LEN = 40;  // room for a table name and a number
constexpr int MINORBITS = 20;

struct mtd_blktrans_dev;
class BlockDisk;
struct BlockDiskInfo;

struct hd_geometry {
  unsigned char heads;
  unsigned char sectors;
  unsigned short cylinders;
  unsigned long start;
};

// A translation table. Hooks that are not used are null.
struct mtd_blktrans_ops {
  char name[BLKTRANS_NAME_LEN];  // base name of the next disk added; may change between adds
  int major;
  int part_bits;  // each disk has 1 << part_bits minor numbers
  int blksize;    // bytes per block of readsect/writesect/discard: a power of two
  int blkshift;   // filled by register_mtd_blktrans: log2(blksize)

  // Serves a whole request (already cut to the queue's limits); 0 or a
  // negative errno. When set, readsect/writesect/discard are not used by the layer.
  int (*do_blktrans_request)(mtd_blktrans_ops* tr, mtd_blktrans_dev* dev, request* req);
  int (*readsect)(mtd_blktrans_dev* dev, unsigned long block, char* buffer);
  // A table without writesect gets read-only disks.
  int (*writesect)(mtd_blktrans_dev* dev, unsigned long block, char* buffer);
  int (*discard)(mtd_blktrans_dev* dev, unsigned long block, unsigned int nr_blocks);
  // Called after a request when no other request is waiting for the disk.
  void (*background)(mtd_blktrans_dev* dev);
  int (*getgeo)(mtd_blktrans_dev* dev, hd_geometry* geo);
  int (*flush)(mtd_blktrans_dev* dev);
  int (*open)(mtd_blktrans_dev* dev);     // first opener
  int (*release)(mtd_blktrans_dev* dev);  // last opener gone, or the disk deleted while open
  // Called once a disk has been added.
  void (*update_blktrans_sysinfo)(mtd_blktrans_dev* dev);

  // Offered every MTD device (type other than MTD_ABSENT), present at
  // registration or added later.
  void (*add_mtd)(mtd_blktrans_ops* tr, mtd_info* mtd);
  // Asked to remove a disk of this table (its MTD device goes, or the table
  // is deregistered). It must call del_mtd_blktrans_dev; whatever disk it
  // leaves is deleted by the layer afterwards.
  void (*remove_dev)(mtd_blktrans_dev* dev);
};

// A disk of a table. The table fills tr, mtd, devnum, size and readonly
// before add_mtd_blktrans_dev; the layer fills the rest.
struct mtd_blktrans_dev {
  mtd_blktrans_ops* tr;
  mtd_info* mtd;
  int devnum;          // unique within the table; -1: the layer picks the lowest free
  unsigned long size;  // capacity in blocks of tr->blksize (sectors for 512)
  int readonly;
  int open;           // openers of the disk
  request_queue* rq;  // the disk's queue, from add to delete
  char disk_name[BLKTRANS_DISK_NAME_LEN];
  void* priv;
  BlockDisk* disk;  // the layer's record of the disk; null when not added
};

// 0; -EBUSY when the table, or another with its major, is registered;
// -EINVAL for a block size that is not a power of two. Offers every
// registered MTD device to add_mtd before returning.
int register_mtd_blktrans(mtd_blktrans_ops* tr);
// Calls remove_dev for every disk of the table, then forgets the table. 0 or -ENOENT.
int deregister_mtd_blktrans(mtd_blktrans_ops* tr);

// Creates the disk and its request queue (the kernel's default limits,
// logical block size blksize). The disk is named after tr->name as it is at
// this moment, with the lowest number that makes the name unique appended
// when the bare name is taken ("data", then "data1", "data2", ...). Returns
// 0; -EINVAL (no table, empty name), -EBUSY (added already, devnum taken or
// out of range), -ENOMEM (kalloc_fail_nth counts this allocation).
int add_mtd_blktrans_dev(mtd_blktrans_dev* dev);
// Deletes the disk: waits for the request in progress, calls the table's
// release when the disk is still open, kills the queue and forgets the disk;
// requests from then on fail with -ENODEV. dev->rq and dev->disk are cleared.
// 0, or -EINVAL when the disk was not added.
int del_mtd_blktrans_dev(mtd_blktrans_dev* dev);

// The registry of MTD devices. Adding keeps mtd->index when no other device
// has it, else gives the lowest free index, then offers the device to every
// table; 0, -EINVAL or -EEXIST (added already). Deleting has every disk over
// the device removed through its table's remove_dev; 0 or -ENODEV.
int add_mtd_device(mtd_info* mtd);
int del_mtd_device(mtd_info* mtd);

// Finds a disk by name; null when there is none.
std::shared_ptr<BlockDisk> blktrans_find_disk(std::string_view name);
// Every disk, in the order they were added.
std::vector<BlockDiskInfo> blktrans_list_disks();
