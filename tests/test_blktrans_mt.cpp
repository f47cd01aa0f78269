// The block-translation layer with threads meeting: one request at a time per
// disk, deletion waiting for the request in progress, and the registry under
// concurrent adds, deletes, lookups and requests.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"

namespace {

struct Shared {
  std::atomic<int> active{0}, max_active{0}, served{0};
  std::atomic<bool> hold_first{false};  // first request waits for the others to queue
  std::atomic<bool> hold_for_delete{false}, in_hook{false}, delete_started{false};
  std::atomic<bool> in_remove_dev{false}, hook_finished{false};
  std::shared_ptr<BlockDisk> disk;
  std::mutex devs_mutex;
  std::vector<std::unique_ptr<mtd_blktrans_dev>> devs;
};
Shared* g = nullptr;
constexpr int kThreads = 4;

int mt_request(mtd_blktrans_ops*, mtd_blktrans_dev* dev, request*) {
  const int now = ++g->active;
  int seen = g->max_active.load();
  while (now > seen && !g->max_active.compare_exchange_weak(seen, now)) {
  }
  if (g->hold_first.exchange(false)) {
    // Until the others queue up behind it (or, were the disk not serialised,
    // come in beside it).
    while (g->disk->waiting() < kThreads - 1 && g->active == 1) std::this_thread::yield();
  }
  if (g->hold_for_delete.exchange(false)) {
    g->in_hook = true;
    // Until the removal is on its way to del_mtd_blktrans_dev, which must
    // then wait for this request.
    while (!g->in_remove_dev) std::this_thread::yield();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    EXPECT_NE(dev->mtd, nullptr);  // the record is still alive
    g->hook_finished = true;
  }
  ++g->served;
  --g->active;
  return 0;
}

void mt_add_mtd(mtd_blktrans_ops* tr, mtd_info* mtd) {
  auto dev = std::make_unique<mtd_blktrans_dev>();
  dev->tr = tr;
  dev->mtd = mtd;
  dev->devnum = mtd->index;
  dev->size = 1024;
  if (add_mtd_blktrans_dev(dev.get()) != 0) return;
  std::lock_guard<std::mutex> lock(g->devs_mutex);
  g->devs.push_back(std::move(dev));
}

void mt_remove_dev(mtd_blktrans_dev* dev) {
  if (g->delete_started) g->in_remove_dev = true;
  EXPECT_EQ(del_mtd_blktrans_dev(dev), 0);
  if (g->delete_started) {
    EXPECT_TRUE(g->hook_finished.load());
  }
  std::lock_guard<std::mutex> lock(g->devs_mutex);
  std::erase_if(g->devs, [dev](const auto& d) { return d.get() == dev; });
}

class BlktransMtTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g = &shared;
    std::snprintf(tr.name, sizeof tr.name, "data");
    tr.major = 250;
    tr.part_bits = 2;
    tr.blksize = 512;
    tr.do_blktrans_request = mt_request;
    tr.writesect = [](mtd_blktrans_dev*, unsigned long, char*) { return 0; };
    tr.add_mtd = mt_add_mtd;
    tr.remove_dev = mt_remove_dev;
    ASSERT_EQ(register_mtd_blktrans(&tr), 0);
    for (int i = 0; i < kThreads; ++i) {
      names.push_back("mtd" + std::to_string(i));
      mtds[i].type = MTD_NANDFLASH;
      mtds[i].index = i;
      mtds[i].name = names.back().c_str();
    }
  }
  void TearDown() override {
    shared.disk.reset();
    deregister_mtd_blktrans(&tr);
    for (auto& m : mtds) del_mtd_device(&m);
    g = nullptr;
  }

  Shared shared;
  mtd_blktrans_ops tr{};
  mtd_info mtds[kThreads]{};
  std::deque<std::string> names;
};

}  // namespace

TEST_F(BlktransMtTest, RequestsOfOneDiskAreServedOneAtATime) {
  ASSERT_EQ(add_mtd_device(&mtds[0]), 0);
  shared.disk = blktrans_find_disk("data");
  ASSERT_NE(shared.disk, nullptr);
  constexpr int kRequests = 25;
  shared.hold_first = true;  // the first request holds the disk until the others wait
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> buf(4096);
      for (int i = 0; i < kRequests; ++i)
        EXPECT_EQ(shared.disk->read((t * kRequests + i) % 1000, buf), 0);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared.max_active.load(), 1);
  EXPECT_EQ(shared.served.load(), kThreads * kRequests);
}

TEST_F(BlktransMtTest, DeleteWaitsForTheRequestInProgress) {
  ASSERT_EQ(add_mtd_device(&mtds[0]), 0);
  auto disk = blktrans_find_disk("data");
  ASSERT_NE(disk, nullptr);
  shared.hold_for_delete = true;
  std::thread reader([&] {
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(disk->read(0, buf), 0);
  });
  while (!shared.in_hook) std::this_thread::yield();
  shared.delete_started = true;
  EXPECT_EQ(del_mtd_device(&mtds[0]), 0);  // its remove_dev checks the hook had finished
  reader.join();
  EXPECT_TRUE(shared.hook_finished.load());
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(disk->read(0, buf), -ENODEV);
}

TEST_F(BlktransMtTest, RegistryStaysConsistentUnderConcurrentChanges) {
  std::atomic<bool> done{false};
  std::atomic<int> duplicate_names{0};
  std::thread lister([&] {
    std::vector<uint8_t> buf(512);
    while (!done) {
      auto infos = blktrans_list_disks();
      std::set<std::string> unique;
      for (const auto& info : infos) unique.insert(info.name);
      if (unique.size() != infos.size()) ++duplicate_names;
      if (infos.empty()) continue;
      if (auto disk = blktrans_find_disk(infos.front().name)) {
        int ret = disk->read(0, buf);
        EXPECT_TRUE(ret == 0 || ret == -ENODEV) << ret;
      }
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> buf(1024);
      for (int round = 0; round < 40; ++round) {
        ASSERT_EQ(add_mtd_device(&mtds[t]), 0);
        std::shared_ptr<BlockDisk> mine;
        for (const auto& info : blktrans_list_disks()) {
          if (info.mtd_name == mtds[t].name) mine = blktrans_find_disk(info.name);
        }
        ASSERT_NE(mine, nullptr);
        EXPECT_EQ(mine->write(2, buf), 0);
        ASSERT_EQ(del_mtd_device(&mtds[t]), 0);
        EXPECT_TRUE(mine->removed());
      }
    });
  }
  for (auto& th : threads) th.join();
  done = true;
  lister.join();
  EXPECT_EQ(duplicate_names.load(), 0);
  EXPECT_TRUE(blktrans_list_disks().empty());
  EXPECT_TRUE(shared.devs.empty());
}
