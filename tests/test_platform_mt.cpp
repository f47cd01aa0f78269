// The platform with threads meeting: the requests of one disk are served one
// at a time and deleting a disk waits for the request in progress; kernel
// threads are created stopped, started by a wake-up, sleep on the scheduler
// clock, are woken early and stopped with their result; unregistering a
// device class waits for the attribute operation in progress.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>
#include <vector>

#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"
#include "platform/kernel/device_class.h"
#include "platform/kernel/kthread.h"
#include "platform/kernel/ktime.h"

namespace {

constexpr int kThreads = 4;
std::atomic<int> g_active;
std::atomic<bool> g_overlap, g_in_hook, g_in_remove_dev, g_hook_finished;
std::function<bool()> g_hold;  // the first request waits in the hook until this holds
mtd_blktrans_dev g_dev;

class BlktransMt : public ::testing::Test {
 protected:
  void SetUp() override {
    g_active = 0;
    g_overlap = g_in_hook = g_in_remove_dev = g_hook_finished = false;
    std::snprintf(tr.name, sizeof tr.name, "data");
    tr.major = 250;
    tr.blksize = 512;
    tr.do_blktrans_request = [](mtd_blktrans_ops*, mtd_blktrans_dev* dev, request*) {
      if (++g_active > 1) g_overlap = true;
      if (!g_in_hook.exchange(true)) {
        while (!g_hold()) std::this_thread::yield();
        for (int i = 0; i < 1000; ++i) std::this_thread::yield();
        EXPECT_NE(dev->mtd, nullptr);  // the record is still alive
        g_hook_finished = true;
      }
      --g_active;
      return 0;
    };
    tr.writesect = [](mtd_blktrans_dev*, unsigned long, char*) { return 0; };
    tr.add_mtd = [](mtd_blktrans_ops* tr, mtd_info* mtd) {
      g_dev = mtd_blktrans_dev{};
      g_dev.tr = tr;
      g_dev.mtd = mtd;
      g_dev.size = 1024;
      EXPECT_EQ(add_mtd_blktrans_dev(&g_dev), 0);
    };
    tr.remove_dev = [](mtd_blktrans_dev* dev) {
      g_in_remove_dev = true;
      EXPECT_EQ(del_mtd_blktrans_dev(dev), 0);
      EXPECT_EQ(g_hook_finished.load(), g_in_hook.load());  // no request left in the hook
    };
    ASSERT_EQ(register_mtd_blktrans(&tr), 0);
    mtd.type = MTD_NANDFLASH;
    mtd.name = "mtd0";
    ASSERT_EQ(add_mtd_device(&mtd), 0);
    disk = blktrans_find_disk("data");
  }
  void TearDown() override {
    deregister_mtd_blktrans(&tr);
    del_mtd_device(&mtd);
  }

  mtd_blktrans_ops tr{};
  mtd_info mtd{};
  std::shared_ptr<BlockDisk> disk;
};

}  // namespace

TEST_F(BlktransMt, RequestsOfOneDiskAreServedOneAtATime) {
  // The first request holds the disk until the others queue up behind it
  // (or, were the disk not serialised, come in beside it).
  g_hold = [this] { return disk->waiting() >= kThreads - 1 || g_active > 1; };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<uint8_t> buf(4096);
      for (int i = 0; i < 25; ++i) EXPECT_EQ(disk->read(t * 25 + i, buf), 0);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_FALSE(g_overlap.load());
}

TEST_F(BlktransMt, DeleteWaitsForTheRequestInProgress) {
  g_hold = [] { return g_in_remove_dev.load(); };
  std::thread reader([&] {
    std::vector<uint8_t> buf(512);
    EXPECT_EQ(disk->read(0, buf), 0);
  });
  while (!g_in_hook) std::this_thread::yield();
  EXPECT_EQ(del_mtd_device(&mtd), 0);  // its remove_dev checks the hook had finished
  reader.join();
}

// A worker like the translation layer's: passes separated by sleeps of 100
// ticks until asked to stop. Records what each sleep returned (read once
// the thread is stopped).
static int worker(void* arg) {
  while (!kthread_should_stop()) {
    set_current_state(TASK_INTERRUPTIBLE);
    static_cast<std::vector<long>*>(arg)->push_back(schedule_timeout(100));
  }
  return 42;
}

TEST(KthreadMt, ThreadsSleepUntilTheDeadlineOrAWakeUpAndStopWithTheirResult) {
  KernelTestClock clock;  // moves only when told
  std::vector<long> sleep_results;
  task_struct* idle = kthread_create_on_node(worker, &sleep_results, NUMA_NO_NODE, "idle");
  EXPECT_EQ(kthread_stop(idle), -EINTR);  // stopped before its first wake-up: never ran

  task_struct* task = kthread_create_on_node(worker, &sleep_results, NUMA_NO_NODE, "worker");
  EXPECT_EQ(wake_up_process(task), 1);
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  clock.advance_jiffies(99);  // one tick short: the sleep goes on
  EXPECT_TRUE(kthread_wait_asleep(task, 1));
  clock.advance_jiffies(1);
  EXPECT_TRUE(kthread_wait_asleep(task, 2));
  clock.advance_jiffies(30);
  EXPECT_EQ(wake_up_process(task), 1);
  EXPECT_TRUE(kthread_wait_asleep(task, 3));

  EXPECT_EQ(kthread_stop(task), 42);
  // Timed out, woken with 70 ticks left, stopped with the whole period left.
  EXPECT_EQ(sleep_results, (std::vector<long>{0, 70, 100}));
}

static std::atomic<bool> g_in_show{false}, g_unregister_started{false}, g_show_finished{false};

static ssize_t slow_show(device_class*, class_attribute*, char* buf) {
  g_in_show = true;
  while (!g_unregister_started) std::this_thread::yield();
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  g_show_finished = true;
  buf[0] = 'k';
  return 1;
}

static class_attribute g_attrs[] = {{"part", 0444, slow_show, nullptr},
                                    {nullptr, 0, nullptr, nullptr}};

TEST(DeviceClassMt, UnregisterWaitsForTheOperationInProgress) {
  char name[] = "nyx_mt";
  device_class cls{name, g_attrs};
  ASSERT_EQ(class_register(&cls), 0);
  std::thread reader([] {
    std::string text;
    EXPECT_EQ(class_attr_read("nyx_mt", "part", &text), 0);
    EXPECT_EQ(text, "k");
  });
  while (!g_in_show) std::this_thread::yield();
  g_unregister_started = true;
  class_unregister(&cls);
  EXPECT_TRUE(g_show_finished.load());
  reader.join();
  std::string text;
  EXPECT_EQ(class_attr_read("nyx_mt", "part", &text), -ENOENT);
}
