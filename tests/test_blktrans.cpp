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

#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"
#include "platform/block/block_request.h"
#include "platform/kernel/kernel.h"

namespace {

using Names = std::vector<std::string>;

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
  Names offered;                  // MTD names offered to add_mtd
  Names removed;                  // disk names given to remove_dev
  std::deque<std::string> names;  // written into tr->name before each add
  bool remove_calls_del = true;
  int last_add_result = 0;
  std::vector<std::unique_ptr<FakeDev>> devs;
  std::vector<Served> served;
  int request_result = 0, open_result = 0;
  int open_calls = 0, release_calls = 0, background_calls = 0;
};
TableState* g_state = nullptr;

uint8_t* storage_at(mtd_blktrans_dev* dev, unsigned long sector) {
  return reinterpret_cast<FakeDev*>(dev)->storage.data() + sector * 512;
}

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
  std::erase_if(g_state->devs, [dev](const auto& d) { return &d->mbd == dev; });
}

int fake_request(mtd_blktrans_ops*, mtd_blktrans_dev* dev, request* req) {
  EXPECT_EQ(req->q, dev->rq);
  g_state->served.push_back({blk_rq_pos(req), blk_rq_sectors(req), rq_data_dir(req) == WRITE});
  if (g_state->request_result != 0) return g_state->request_result;
  uint8_t* at = storage_at(dev, blk_rq_pos(req));
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
  return 0;
}

int fake_readsect(mtd_blktrans_dev* dev, unsigned long block, char* buf) {
  g_state->served.push_back({block, 1, false});
  std::memcpy(buf, storage_at(dev, block), 512);
  return 0;
}

int fake_writesect(mtd_blktrans_dev* dev, unsigned long block, char* buf) {
  g_state->served.push_back({block, 1, true});
  std::memcpy(storage_at(dev, block), buf, 512);
  return 0;
}

mtd_blktrans_ops make_table(const char* name, int major) {
  mtd_blktrans_ops tr{};
  std::snprintf(tr.name, sizeof tr.name, "%s", name);
  tr.major = major;
  tr.part_bits = 2;
  tr.blksize = 512;
  tr.do_blktrans_request = fake_request;
  tr.writesect = fake_writesect;
  tr.flush = [](mtd_blktrans_dev*) { return 7; };
  tr.open = [](mtd_blktrans_dev*) { return ++g_state->open_calls, g_state->open_result; };
  tr.release = [](mtd_blktrans_dev*) { return ++g_state->release_calls, 0; };
  tr.add_mtd = fake_add_mtd;
  tr.remove_dev = fake_remove_dev;
  return tr;
}

class BlktransTest : public ::testing::Test {
 protected:
  void SetUp() override { g_state = &state; }
  void TearDown() override {
    for (mtd_blktrans_ops* table : registered) deregister_mtd_blktrans(table);
    for (auto& mtd : mtds) del_mtd_device(mtd.get());
    EXPECT_TRUE(blktrans_list_disks().empty());
    g_state = nullptr;
  }

  mtd_info* new_mtd(const char* name, int index, uint64_t size = 64 * 1024,
                    unsigned char type = MTD_NANDFLASH) {
    mtds.push_back(std::make_unique<mtd_info>());
    mtd_info* mtd = mtds.back().get();
    mtd->type = type;
    mtd->name = name;
    mtd->index = index;
    mtd->size = size;
    return mtd;
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
  // The table `tr` registered over one MTD device: its disk.
  std::shared_ptr<BlockDisk> one_disk(uint64_t size = 64 * 1024) {
    register_table(&tr);
    add_mtd("m", 0, size);
    return blktrans_find_disk("data");
  }
  Names disk_names() {
    Names names;
    for (const auto& info : blktrans_list_disks()) names.push_back(info.name);
    return names;
  }

  TableState state;
  mtd_blktrans_ops tr = make_table("data", 250);
  std::deque<mtd_blktrans_ops> tables;  // further tables that live as long as the test
  std::vector<mtd_blktrans_ops*> registered;
  std::vector<std::unique_ptr<mtd_info>> mtds;
};

}  // namespace

// ---------------------------------------------------------------------------
// Registration and the MTD registry.
// ---------------------------------------------------------------------------

TEST_F(BlktransTest, OffersDevicesPresentAtRegistrationInIndexOrderAndAddedLater) {
  add_mtd("second", 5);
  add_mtd("first", 1);
  ASSERT_EQ(add_mtd_device(new_mtd("absent", 2, 4096, MTD_ABSENT)), 0);
  register_table(&tr);
  EXPECT_EQ(state.offered, (Names{"first", "second"}));
  add_mtd("after", 3);
  EXPECT_EQ(state.offered, (Names{"first", "second", "after"}));
  EXPECT_EQ(disk_names(), (Names{"data", "data1", "data2"}));
  auto info = blktrans_list_disks().front();
  EXPECT_EQ(info.sectors, 128u);
  EXPECT_EQ(info.first_minor, 4);  // devnum 1, 4 minors a disk
  EXPECT_EQ(info.mtd_name, "first");
  auto disk = blktrans_find_disk("data");
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(state.devs[0]->mbd.disk, disk.get());
  EXPECT_EQ(disk->queue()->queuedata, &state.devs[0]->mbd);
}

TEST_F(BlktransTest, MtdDeviceKeepsAFreeIndexAndGetsTheLowestFreeOtherwise) {
  mtd_info* a = add_mtd("a", 3);
  mtd_info* b = add_mtd("b", 3);
  mtd_info* c = add_mtd("c", -1);
  EXPECT_EQ(a->index, 3);
  EXPECT_EQ(b->index, 0);
  EXPECT_EQ(c->index, 1);
  EXPECT_EQ(add_mtd_device(a), -EEXIST);
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
  EXPECT_EQ(deregister_mtd_blktrans(&odd_size), -ENOENT);

  // A 4096-byte table: its disk's capacity still counts 512-byte sectors.
  mtd_blktrans_ops& big = tables.emplace_back(make_table("big", 252));
  big.blksize = 4096;
  register_table(&big);
  EXPECT_EQ(big.blkshift, 12);
  state.names = {"data", "big"};  // the first add goes to `tr`, the second to `big`
  add_mtd("m", 0, 40960);
  auto disk = blktrans_find_disk("big");
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->capacity(), 80u);
  EXPECT_EQ(queue_logical_block_size(disk->queue()), 4096u);
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
  EXPECT_STREQ(state.devs[2]->mbd.disk_name, "data1");
  // A freed name is used again.
  ASSERT_EQ(del_mtd_device(first_data), 0);
  state.names = {"data"};
  add_mtd("again", 9);
  EXPECT_EQ(disk_names(), (Names{"system", "data1", "cache", "data2", "data"}));
}

TEST_F(BlktransTest, DevnumIsUniqueWithinATable) {
  FakeDev a, b, c;
  for (auto [d, devnum] : {std::pair{&a, 0}, {&b, 0}, {&c, -1}}) {
    d->mbd.tr = &tr;
    d->mbd.size = 8;
    d->mbd.devnum = devnum;
  }
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

TEST_F(BlktransTest, DeletingAnMtdDeviceOrDeregisteringRemovesOnlyTheirDisks) {
  mtd_blktrans_ops& other = tables.emplace_back(make_table("other", 251));
  register_table(&tr);
  mtd_info* a = add_mtd("a", 0);
  add_mtd("b", 1);
  add_mtd("c", 2);
  ASSERT_EQ(del_mtd_device(a), 0);
  EXPECT_EQ(state.removed, (Names{"data"}));
  register_table(&other);  // offered b and c
  auto kept = blktrans_find_disk("data1");
  ASSERT_NE(kept, nullptr);
  ASSERT_EQ(deregister_mtd_blktrans(&tr), 0);
  registered.erase(registered.begin());
  EXPECT_EQ(state.removed, (Names{"data", "data1", "data2"}));
  EXPECT_EQ(disk_names(), (Names{"other", "other1"}));
  EXPECT_TRUE(kept->removed());
  uint8_t sector[512] = {};
  EXPECT_EQ(kept->read(0, sector), -ENODEV);
  EXPECT_EQ(kept->open(), -ENXIO);
  EXPECT_EQ(kept->flush(), -ENODEV);
  state.offered.clear();
  add_mtd("d", 3);  // no longer offered to the deregistered table
  EXPECT_EQ(state.offered, (Names{"d"}));
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
  auto disk = one_disk();
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

TEST_F(BlktransTest, RequestsBeyondTheDiskMalformedOrOnADeadQueueNeverReachTheTable) {
  auto disk = one_disk(64 * 512);
  std::vector<uint8_t> two(1024);
  EXPECT_EQ(disk->read(63, two), -EIO);  // last sector plus one past the end
  EXPECT_EQ(disk->read(64, std::span(two).first(512)), -EIO);
  EXPECT_EQ(disk->read(0, std::span(two).first(100)), -EINVAL);
  auto req = BlockRequest::over_buffer(BlockOp::Read, 0, two);
  req->get()->__data_len = 512;  // pieces say 1024
  EXPECT_EQ(disk->submit(req->get()), -EINVAL);
  EXPECT_EQ(disk->read(62, two), 0);  // the last two sectors
  EXPECT_EQ(state.served.size(), 1u);
  blk_cleanup_queue(state.devs[0]->mbd.rq);
  EXPECT_EQ(disk->read(0, two), -EIO);
  EXPECT_EQ(state.served.size(), 1u);
}

TEST_F(BlktransTest, RequestsAreCutToTheQueueLimitsAndAFailingPieceEndsThem) {
  auto disk = one_disk(1 << 20);
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
  state.request_result = -EIO;
  EXPECT_EQ(disk->write(0, data), -EIO);
  EXPECT_EQ(state.served.size(), 5u);
}

TEST_F(BlktransTest, TableWithoutWritesectGivesReadOnlyDisks) {
  tr.writesect = nullptr;
  auto disk = one_disk();
  EXPECT_TRUE(disk->readonly());
  uint8_t sector[512] = {};
  EXPECT_EQ(disk->write(0, sector), -EROFS);
  EXPECT_EQ(disk->discard(0, 8), -EROFS);
  EXPECT_EQ(disk->read(0, sector), 0);
  EXPECT_EQ(state.served.size(), 1u);
}

TEST_F(BlktransTest, WithoutRequestHookDataMovesBlockByBlockThenBackgroundRuns) {
  tr.do_blktrans_request = nullptr;
  tr.readsect = fake_readsect;
  tr.discard = [](mtd_blktrans_dev*, unsigned long block, unsigned int blocks) {
    g_state->served.push_back({block, blocks, true});
    return 0;
  };
  tr.background = [](mtd_blktrans_dev*) { ++g_state->background_calls; };
  auto disk = one_disk();
  std::vector<uint8_t> data(3 * 512);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i / 512 + 1);
  ASSERT_EQ(disk->write(5, data), 0);
  std::vector<uint8_t> back(data.size());
  ASSERT_EQ(disk->read(5, back), 0);
  EXPECT_EQ(back, data);
  ASSERT_EQ(disk->discard(8, 16), 0);
  ASSERT_EQ(state.served.size(), 7u);
  EXPECT_EQ(state.served[2].sector, 7u);
  EXPECT_TRUE(state.served[2].write);
  EXPECT_FALSE(state.served[3].write);
  EXPECT_EQ(state.served[6].sector, 8u);
  EXPECT_EQ(state.served[6].sectors, 16u);
  EXPECT_EQ(state.background_calls, 3);  // after each request
}

// ---------------------------------------------------------------------------
// Open, release, flush.
// ---------------------------------------------------------------------------

TEST_F(BlktransTest, FirstOpenLastReleaseAndFlushReachTheTable) {
  auto disk = one_disk();
  state.open_result = -EIO;
  EXPECT_EQ(disk->open(), -EIO);
  EXPECT_EQ(disk->release(), -EINVAL);  // the failed open left it closed
  state.open_result = 0;
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(disk->open(), 0);
  EXPECT_EQ(state.open_calls, 2);
  ASSERT_EQ(disk->release(), 0);
  EXPECT_EQ(state.release_calls, 0);
  ASSERT_EQ(disk->release(), 0);
  EXPECT_EQ(state.release_calls, 1);
  EXPECT_EQ(disk->release(), -EINVAL);
  EXPECT_EQ(disk->flush(), 7);  // the table's result
  tr.flush = nullptr;
  EXPECT_EQ(disk->flush(), 0);
  // Deleted while open: released once, and the opener's release reaches nothing.
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(del_mtd_device(mtds[0].get()), 0);
  EXPECT_EQ(state.release_calls, 2);
  EXPECT_EQ(disk->release(), 0);
  EXPECT_EQ(state.release_calls, 2);
}
