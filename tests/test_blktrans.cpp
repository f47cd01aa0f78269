// The block-translation layer: tables offered MTD devices, disks added,
// named and removed, and requests, open, release and flush served through a
// table's hooks.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/block_request.h"
#include "platform/blktrans.h"
#include "platform/kernel.h"

namespace {

// The fake table's device record: the layer's record first, then a RAM disk.
struct FakeDev {
  mtd_blktrans_dev mbd{};
  std::vector<uint8_t> storage;
};

struct Served {
  sector_t sector;
  unsigned int sectors;
  bool write;
};

struct TableState {
  std::vector<std::string> offered;  // MTD names offered to add_mtd
  std::vector<std::string> removed;  // disk names given to remove_dev
  std::deque<std::string> names;     // written into tr->name before each add
  bool remove_calls_del = true;
  int last_add_result = 0;
  std::vector<std::unique_ptr<FakeDev>> devs;

  std::vector<Served> served;
  int request_result = 0;
  int open_calls = 0, release_calls = 0, flush_calls = 0, background_calls = 0;
  int open_result = 0;
  std::vector<std::pair<unsigned long, unsigned int>> discards;
};

TableState* g_state = nullptr;

FakeDev* fake(mtd_blktrans_dev* dev) { return reinterpret_cast<FakeDev*>(dev); }

void fake_add_mtd(mtd_blktrans_ops* tr, mtd_info* mtd) {
  g_state->offered.push_back(mtd->name);
  if (!g_state->names.empty()) {
    std::snprintf(tr->name, sizeof tr->name, "%s", g_state->names.front().c_str());
    g_state->names.pop_front();
  }
  auto dev = std::make_unique<FakeDev>();
  dev->mbd.tr = tr;
  dev->mbd.mtd = mtd;
  dev->mbd.devnum = mtd->index;
  dev->mbd.size = static_cast<unsigned long>(mtd->size / static_cast<uint64_t>(tr->blksize));
  dev->storage.assign(mtd->size, 0);
  g_state->last_add_result = add_mtd_blktrans_dev(&dev->mbd);
  if (g_state->last_add_result == 0) g_state->devs.push_back(std::move(dev));
}

void fake_remove_dev(mtd_blktrans_dev* dev) {
  g_state->removed.push_back(dev->disk_name);
  if (!g_state->remove_calls_del) return;  // the layer deletes the disk after us
  EXPECT_EQ(del_mtd_blktrans_dev(dev), 0);
  EXPECT_EQ(dev->disk, nullptr);
  EXPECT_EQ(dev->rq, nullptr);
  std::erase_if(g_state->devs, [dev](const auto& d) { return &d->mbd == dev; });
}

void move_data(FakeDev* dev, request* req) {
  uint8_t* at = dev->storage.data() + (blk_rq_pos(req) << 9);
  for (bio* b = req->bio; b != nullptr; b = b->bi_next) {
    for (unsigned short i = 0; i < b->bi_vcnt; ++i) {
      const bio_vec& v = b->bi_io_vec[i];
      if (rq_data_dir(req) == WRITE) {
        std::memcpy(at, v.bv_page + v.bv_offset, v.bv_len);
      } else {
        std::memcpy(v.bv_page + v.bv_offset, at, v.bv_len);
      }
      at += v.bv_len;
    }
  }
}

int fake_request(mtd_blktrans_ops* tr, mtd_blktrans_dev* dev, request* req) {
  EXPECT_EQ(tr, dev->tr);
  EXPECT_EQ(req->q, dev->rq);
  g_state->served.push_back({blk_rq_pos(req), blk_rq_sectors(req), rq_data_dir(req) == WRITE});
  if (g_state->request_result != 0) return g_state->request_result;
  move_data(fake(dev), req);
  return 0;
}

int fake_readsect(mtd_blktrans_dev* dev, unsigned long block, char* buf) {
  g_state->served.push_back({block, 1, false});
  std::memcpy(buf, fake(dev)->storage.data() + block * 512, 512);
  return 0;
}

int fake_writesect(mtd_blktrans_dev* dev, unsigned long block, char* buf) {
  g_state->served.push_back({block, 1, true});
  std::memcpy(fake(dev)->storage.data() + block * 512, buf, 512);
  return 0;
}

int fake_discard(mtd_blktrans_dev*, unsigned long block, unsigned int blocks) {
  g_state->discards.push_back({block, blocks});
  return 0;
}

int fake_open(mtd_blktrans_dev*) {
  ++g_state->open_calls;
  return g_state->open_result;
}

int fake_release(mtd_blktrans_dev*) {
  ++g_state->release_calls;
  return 0;
}

int fake_flush(mtd_blktrans_dev*) {
  ++g_state->flush_calls;
  return 7;
}

void fake_background(mtd_blktrans_dev*) { ++g_state->background_calls; }

mtd_blktrans_ops make_table(const char* name, int major) {
  mtd_blktrans_ops tr{};
  std::snprintf(tr.name, sizeof tr.name, "%s", name);
  tr.major = major;
  tr.part_bits = 2;
  tr.blksize = 512;
  tr.do_blktrans_request = fake_request;
  tr.writesect = fake_writesect;
  tr.flush = fake_flush;
  tr.open = fake_open;
  tr.release = fake_release;
  tr.add_mtd = fake_add_mtd;
  tr.remove_dev = fake_remove_dev;
  return tr;
}

class BlktransTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_state = &state;
    tr = make_table("data", 250);
  }

  void TearDown() override {
    for (mtd_blktrans_ops* table : registered) deregister_mtd_blktrans(table);
    for (auto& mtd : mtds) del_mtd_device(mtd.get());
    EXPECT_TRUE(blktrans_list_disks().empty());
    g_state = nullptr;
  }

  mtd_info* new_mtd(const char* name, int index, uint64_t size = 64 * 1024,
                    unsigned char type = MTD_NANDFLASH) {
    auto mtd = std::make_unique<mtd_info>();
    mtd->type = type;
    mtd->name = name;
    mtd->index = index;
    mtd->size = size;
    mtds.push_back(std::move(mtd));
    return mtds.back().get();
  }

  mtd_info* add_mtd(const char* name, int index, uint64_t size = 64 * 1024) {
    mtd_info* mtd = new_mtd(name, index, size);
    EXPECT_EQ(add_mtd_device(mtd), 0);
    return mtd;
  }

  void register_table(mtd_blktrans_ops* table) {
    ASSERT_EQ(register_mtd_blktrans(table), 0);
    registered.push_back(table);
  }

  std::vector<std::string> disk_names() {
    std::vector<std::string> names;
    for (const auto& info : blktrans_list_disks()) names.push_back(info.name);
    return names;
  }

  // A further table that lives as long as the test.
  mtd_blktrans_ops& new_table(const char* name, int major) {
    tables.push_back(make_table(name, major));
    return tables.back();
  }

  TableState state;
  mtd_blktrans_ops tr;
  std::deque<mtd_blktrans_ops> tables;
  std::vector<mtd_blktrans_ops*> registered;
  std::vector<std::unique_ptr<mtd_info>> mtds;
};

using Names = std::vector<std::string>;

}  // namespace

// ---------------------------------------------------------------------------
// Registration and the MTD registry.
// ---------------------------------------------------------------------------

TEST_F(BlktransTest, OffersDevicesPresentAtRegistrationAndAddedLater) {
  add_mtd("before", 0);
  mtd_info* absent = new_mtd("absent", 1, 4096, MTD_ABSENT);
  ASSERT_EQ(add_mtd_device(absent), 0);
  register_table(&tr);
  EXPECT_EQ(state.offered, (Names{"before"}));
  add_mtd("after", 2);
  EXPECT_EQ(state.offered, (Names{"before", "after"}));
  EXPECT_EQ(disk_names(), (Names{"data", "data1"}));
}

TEST_F(BlktransTest, OffersDevicesInIndexOrder) {
  add_mtd("second", 5);
  add_mtd("first", 1);
  register_table(&tr);
  EXPECT_EQ(state.offered, (Names{"first", "second"}));
}

TEST_F(BlktransTest, MtdDeviceKeepsAFreeIndexAndGetsTheLowestFreeOtherwise) {
  mtd_info* a = add_mtd("a", 3);
  mtd_info* b = add_mtd("b", 3);
  mtd_info* c = add_mtd("c", -1);
  EXPECT_EQ(a->index, 3);
  EXPECT_EQ(b->index, 0);
  EXPECT_EQ(c->index, 1);
  EXPECT_EQ(add_mtd_device(a), -EEXIST);
  EXPECT_EQ(add_mtd_device(nullptr), -EINVAL);
  mtd_info stranger{};
  EXPECT_EQ(del_mtd_device(&stranger), -ENODEV);
}

TEST_F(BlktransTest, RegistrationFillsBlkshiftAndRefusesClashes) {
  register_table(&tr);
  EXPECT_EQ(tr.blkshift, 9);
  EXPECT_EQ(register_mtd_blktrans(&tr), -EBUSY);
  mtd_blktrans_ops same_major = make_table("other", 250);
  EXPECT_EQ(register_mtd_blktrans(&same_major), -EBUSY);
  mtd_blktrans_ops odd_size = make_table("odd", 251);
  odd_size.blksize = 1000;
  EXPECT_EQ(register_mtd_blktrans(&odd_size), -EINVAL);
  mtd_blktrans_ops& big = new_table("big", 252);
  big.blksize = 4096;
  register_table(&big);
  EXPECT_EQ(big.blkshift, 12);
  mtd_blktrans_ops never = make_table("never", 253);
  EXPECT_EQ(deregister_mtd_blktrans(&never), -ENOENT);
}

// ---------------------------------------------------------------------------
// Adding, naming and removing disks.
// ---------------------------------------------------------------------------

TEST_F(BlktransTest, DiskNameIsTheTableNameAtTheAddMadeUnique) {
  register_table(&tr);
  state.names = {"system", "data", "data", "cache", "data"};
  mtd_info* first_data = nullptr;
  for (int i = 0; i < 5; ++i) {
    mtd_info* mtd = add_mtd("part", i);
    if (i == 1) first_data = mtd;
  }
  EXPECT_EQ(disk_names(), (Names{"system", "data", "data1", "cache", "data2"}));
  EXPECT_STREQ(tr.name, "data");
  EXPECT_STREQ(state.devs[2]->mbd.disk_name, "data1");

  // A freed name is used again.
  ASSERT_EQ(del_mtd_device(first_data), 0);
  state.names = {"data"};
  add_mtd("again", 9);
  EXPECT_EQ(disk_names(), (Names{"system", "data1", "cache", "data2", "data"}));
}

TEST_F(BlktransTest, DiskInfoDescribesTheDisk) {
  register_table(&tr);
  add_mtd("NFTL_Part", 3, 1 << 20);
  auto infos = blktrans_list_disks();
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].name, "data");
  EXPECT_EQ(infos[0].sectors, 2048u);
  EXPECT_EQ(infos[0].major, 250);
  EXPECT_EQ(infos[0].first_minor, 12);  // devnum 3, 4 minors a disk
  EXPECT_FALSE(infos[0].readonly);
  EXPECT_EQ(infos[0].mtd_name, "NFTL_Part");
  auto disk = blktrans_find_disk("data");
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->capacity(), 2048u);
  EXPECT_EQ(state.devs[0]->mbd.disk, disk.get());
  EXPECT_EQ(state.devs[0]->mbd.rq, disk->queue());
  EXPECT_EQ(disk->queue()->queuedata, &state.devs[0]->mbd);
  EXPECT_EQ(blktrans_find_disk("data1"), nullptr);
}

TEST_F(BlktransTest, SizeCountsBlocksOfTheTableBlockSize) {
  mtd_blktrans_ops& big = new_table("big", 252);
  big.blksize = 4096;
  register_table(&big);
  add_mtd("m", 0, 40960);  // the fake sets size = 10 blocks of 4096
  auto disk = blktrans_find_disk("big");
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->capacity(), 80u);
  EXPECT_EQ(queue_logical_block_size(disk->queue()), 4096u);
}

TEST_F(BlktransTest, DevnumIsUniqueWithinATable) {
  FakeDev a, b, c;
  for (FakeDev* d : {&a, &b, &c}) {
    d->mbd.tr = &tr;
    d->mbd.size = 8;
  }
  a.mbd.devnum = 0;
  b.mbd.devnum = 0;
  c.mbd.devnum = -1;
  ASSERT_EQ(add_mtd_blktrans_dev(&a.mbd), 0);
  EXPECT_EQ(add_mtd_blktrans_dev(&b.mbd), -EBUSY);
  EXPECT_EQ(add_mtd_blktrans_dev(&a.mbd), -EBUSY);  // added already
  ASSERT_EQ(add_mtd_blktrans_dev(&c.mbd), 0);
  EXPECT_EQ(c.mbd.devnum, 1);
  b.mbd.devnum = 1 << 18;  // beyond the minor numbers of 4-minor disks
  EXPECT_EQ(add_mtd_blktrans_dev(&b.mbd), -EBUSY);
  EXPECT_EQ(del_mtd_blktrans_dev(&b.mbd), -EINVAL);
  EXPECT_EQ(del_mtd_blktrans_dev(&a.mbd), 0);
  EXPECT_EQ(del_mtd_blktrans_dev(&c.mbd), 0);
}

TEST_F(BlktransTest, AddFailsCleanlyWhenTheDiskCannotBeAllocated) {
  register_table(&tr);
  kalloc_fail_nth(1);
  add_mtd("m", 0);
  kalloc_fail_nth(0);
  EXPECT_EQ(state.last_add_result, -ENOMEM);
  EXPECT_TRUE(blktrans_list_disks().empty());
}

TEST_F(BlktransTest, DeregisterRemovesEveryDiskOfTheTable) {
  mtd_blktrans_ops& other = new_table("other", 251);
  register_table(&tr);
  add_mtd("a", 0);
  add_mtd("b", 1);
  state.names = {"other"};
  register_table(&other);  // offered a and b: "other", "other1" (tr->name of `other` stays)
  auto kept = blktrans_find_disk("data");
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(blktrans_list_disks().size(), 4u);

  ASSERT_EQ(deregister_mtd_blktrans(&tr), 0);
  registered.erase(registered.begin());
  EXPECT_EQ(state.removed, (Names{"data", "data1"}));
  EXPECT_EQ(disk_names(), (Names{"other", "other1"}));
  EXPECT_TRUE(kept->removed());
  uint8_t sector[512] = {};
  EXPECT_EQ(kept->read(0, sector), -ENODEV);
  EXPECT_EQ(kept->open(), -ENXIO);
  EXPECT_EQ(kept->flush(), -ENODEV);
  // Devices added later are no longer offered to it.
  state.offered.clear();
  add_mtd("c", 2);
  EXPECT_EQ(state.offered, (Names{"c"}));
}

TEST_F(BlktransTest, DeletingAnMtdDeviceRemovesOnlyItsDisks) {
  register_table(&tr);
  mtd_info* a = add_mtd("a", 0);
  add_mtd("b", 1);
  ASSERT_EQ(del_mtd_device(a), 0);
  EXPECT_EQ(state.removed, (Names{"data"}));
  EXPECT_EQ(disk_names(), (Names{"data1"}));
}

TEST_F(BlktransTest, DiskLeftBehindByRemoveDevIsDeletedByTheLayer) {
  register_table(&tr);
  mtd_info* a = add_mtd("a", 0);
  state.remove_calls_del = false;
  LogCapture log;
  ASSERT_EQ(del_mtd_device(a), 0);
  EXPECT_TRUE(blktrans_list_disks().empty());
  EXPECT_TRUE(log.contains("disk data behind"));
  EXPECT_EQ(state.devs[0]->mbd.disk, nullptr);
}

// ---------------------------------------------------------------------------
// Requests.
// ---------------------------------------------------------------------------

TEST_F(BlktransTest, WriteThenReadThroughTheRequestHook) {
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  std::vector<uint8_t> data(3 * 4096);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251);
  ASSERT_EQ(disk->write(16, data), 0);

  auto buf = PageBuffer::scattered(3);
  auto req = buf.request_for(BlockOp::Read, 16, 3 * 4096);
  ASSERT_TRUE(req.ok());
  ASSERT_EQ(disk->submit(req->get()), 0);
  std::vector<uint8_t> back(data.size());
  buf.copy_out(back);
  EXPECT_EQ(back, data);
  ASSERT_EQ(state.served.size(), 2u);
  EXPECT_TRUE(state.served[0].write);
  EXPECT_EQ(state.served[1].sector, 16u);
  EXPECT_EQ(state.served[1].sectors, 24u);
}

TEST_F(BlktransTest, RequestsBeyondTheDiskOrMalformedNeverReachTheTable) {
  register_table(&tr);
  add_mtd("m", 0, 64 * 512);
  auto disk = blktrans_find_disk("data");
  std::vector<uint8_t> two(1024);
  EXPECT_EQ(disk->read(63, two), -EIO);  // last sector plus one past the end
  EXPECT_EQ(disk->read(64, std::span(two).first(512)), -EIO);
  EXPECT_EQ(disk->read(62, two), 0);  // the last two sectors
  EXPECT_EQ(disk->read(0, std::span(two).first(100)), -EINVAL);

  auto req = BlockRequest::over_buffer(BlockOp::Read, 0, two);
  req->get()->__data_len = 512;  // pieces say 1024
  EXPECT_EQ(disk->submit(req->get()), -EINVAL);
  EXPECT_EQ(state.served.size(), 1u);
}

TEST_F(BlktransTest, RequestsAreCutToTheQueueLimits) {
  register_table(&tr);
  add_mtd("m", 0, 1 << 20);
  auto disk = blktrans_find_disk("data");
  blk_queue_max_hw_sectors(disk->queue(), 8);
  std::vector<uint8_t> data(32 * 512, 0x5A);
  ASSERT_EQ(disk->write(100, data), 0);
  ASSERT_EQ(state.served.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(state.served[i].sector, 100 + 8 * i);
    EXPECT_EQ(state.served[i].sectors, 8u);
  }
  EXPECT_EQ(state.devs[0]->storage[(100 + 31) * 512], 0x5A);
  EXPECT_EQ(state.devs[0]->storage[(100 + 32) * 512], 0x00);
}

TEST_F(BlktransTest, FailingPieceEndsTheRequestWithItsResult) {
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  blk_queue_max_hw_sectors(disk->queue(), 8);
  state.request_result = -EIO;
  std::vector<uint8_t> data(32 * 512);
  EXPECT_EQ(disk->write(0, data), -EIO);
  EXPECT_EQ(state.served.size(), 1u);
}

TEST_F(BlktransTest, DeadQueueRefusesRequests) {
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  blk_cleanup_queue(state.devs[0]->mbd.rq);
  uint8_t sector[512];
  EXPECT_EQ(disk->read(0, sector), -EIO);
  EXPECT_TRUE(state.served.empty());
}

TEST_F(BlktransTest, TableWithoutWritesectGivesReadOnlyDisks) {
  tr.writesect = nullptr;
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  EXPECT_TRUE(disk->readonly());
  EXPECT_EQ(state.devs[0]->mbd.readonly, 1);
  uint8_t sector[512] = {};
  EXPECT_EQ(disk->write(0, sector), -EROFS);
  EXPECT_EQ(disk->discard(0, 8), -EROFS);
  EXPECT_EQ(disk->read(0, sector), 0);
  EXPECT_EQ(state.served.size(), 1u);
}

TEST_F(BlktransTest, WithoutRequestHookDataMovesBlockByBlock) {
  tr.do_blktrans_request = nullptr;
  tr.readsect = fake_readsect;
  tr.discard = fake_discard;
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  std::vector<uint8_t> data(3 * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 512 + 1);
  ASSERT_EQ(disk->write(5, data), 0);
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(disk->read(5, back), 0);
  EXPECT_EQ(back, data);
  ASSERT_EQ(state.served.size(), 6u);
  EXPECT_EQ(state.served[2].sector, 7u);
  EXPECT_TRUE(state.served[2].write);
  EXPECT_FALSE(state.served[3].write);
  ASSERT_EQ(disk->discard(8, 16), 0);
  ASSERT_EQ(state.discards.size(), 1u);
  EXPECT_EQ(state.discards[0], (std::pair<unsigned long, unsigned int>{8, 16}));
}

TEST_F(BlktransTest, BackgroundRunsWhenNoRequestIsWaiting) {
  tr.background = fake_background;
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  uint8_t sector[512];
  ASSERT_EQ(disk->read(0, sector), 0);
  ASSERT_EQ(disk->read(1, sector), 0);
  EXPECT_EQ(state.background_calls, 2);
}

// ---------------------------------------------------------------------------
// Open, release, flush.
// ---------------------------------------------------------------------------

TEST_F(BlktransTest, FirstOpenAndLastReleaseReachTheTable) {
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(disk->open(), 0);
  EXPECT_EQ(state.open_calls, 1);
  EXPECT_EQ(state.devs[0]->mbd.open, 2);
  ASSERT_EQ(disk->release(), 0);
  EXPECT_EQ(state.release_calls, 0);
  ASSERT_EQ(disk->release(), 0);
  EXPECT_EQ(state.release_calls, 1);
  EXPECT_EQ(disk->release(), -EINVAL);
  EXPECT_EQ(state.release_calls, 1);
}

TEST_F(BlktransTest, FailedOpenLeavesTheDiskClosed) {
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  state.open_result = -EIO;
  EXPECT_EQ(disk->open(), -EIO);
  EXPECT_EQ(disk->release(), -EINVAL);
  state.open_result = 0;
  EXPECT_EQ(disk->open(), 0);
  EXPECT_EQ(state.open_calls, 2);
  EXPECT_EQ(disk->release(), 0);
}

TEST_F(BlktransTest, DeletingAnOpenDiskReleasesItOnce) {
  register_table(&tr);
  mtd_info* m = add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(del_mtd_device(m), 0);
  EXPECT_EQ(state.release_calls, 1);
  EXPECT_EQ(disk->release(), 0);  // the opener lets go: nothing more reaches the table
  EXPECT_EQ(state.release_calls, 1);
}

TEST_F(BlktransTest, FlushReturnsTheTableResult) {
  register_table(&tr);
  add_mtd("m", 0);
  auto disk = blktrans_find_disk("data");
  EXPECT_EQ(disk->flush(), 7);
  EXPECT_EQ(state.flush_calls, 1);
  hd_geometry geo{};
  EXPECT_EQ(disk->getgeo(&geo), -ENOTTY);
  tr.flush = nullptr;
  EXPECT_EQ(disk->flush(), 0);
}
