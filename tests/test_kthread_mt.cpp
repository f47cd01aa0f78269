// Kernel threads: created stopped, started by a wake-up, sleeping on the
// scheduler clock, woken early, and stopped with their result.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "platform/kernel/kthread.h"
#include "platform/kernel/ktime.h"
#include "platform/kernel/reboot.h"

namespace {

// A worker like the translation layer's: passes separated by sleeps of 100
// ticks until asked to stop. Records what each sleep returned.
struct Worker {
  std::atomic<int> passes{0};
  std::mutex mutex;
  std::vector<long> sleep_results;

  std::vector<long> results() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleep_results;
  }
  static int run(void* arg) {
    auto* w = static_cast<Worker*>(arg);
    while (!kthread_should_stop()) {
      w->passes.fetch_add(1);
      set_current_state(TASK_INTERRUPTIBLE);
      long left = schedule_timeout(100);
      std::lock_guard<std::mutex> lock(w->mutex);
      w->sleep_results.push_back(left);
    }
    return 42;
  }
};

}  // namespace

TEST(KthreadMtTest, ThreadDoesNotRunBeforeItIsWokenAndNameIsFormattedAndCut) {
  KernelTestClock clock;
  Worker w;
  task_struct* task =
      kthread_create_on_node(Worker::run, &w, NUMA_NO_NODE, "%s-%d", "a_rather_long_name", 7);
  ASSERT_FALSE(IS_ERR_OR_NULL(task));
  char comm[TASK_COMM_LEN];
  EXPECT_STREQ(get_task_comm(comm, task), "a_rather_long_n");
  EXPECT_EQ(kthread_stop(task), -EINTR);  // stopped before its first wake-up
  EXPECT_EQ(w.passes.load(), 0);
}

TEST(KthreadMtTest, SleepEndsAtTheDeadlineOrAtAWakeUpAndStopEndsIt) {
  KernelTestClock clock;  // moves only when told
  Worker w;
  task_struct* task = kthread_create_on_node(Worker::run, &w, NUMA_NO_NODE, "worker");
  ASSERT_FALSE(IS_ERR_OR_NULL(task));
  EXPECT_EQ(wake_up_process(task), 1);
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  clock.advance_jiffies(99);  // one tick short: the sleep goes on
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  EXPECT_EQ(kthread_sleep_count(task), 1u);
  EXPECT_EQ(w.passes.load(), 1);
  clock.advance_jiffies(1);
  ASSERT_TRUE(kthread_wait_asleep(task, 2));
  clock.advance_jiffies(30);
  EXPECT_EQ(wake_up_process(task), 1);
  ASSERT_TRUE(kthread_wait_asleep(task, 3));
  EXPECT_EQ(kthread_stop(task), 42);
  EXPECT_EQ(w.passes.load(), 3);
  // Timed out, woken with 70 ticks left, stopped with the whole period left.
  EXPECT_EQ(w.results(), (std::vector<long>{0, 70, 100}));
}

TEST(KthreadMtTest, AutoAdvanceLetsTimeFlyWhileThreadsSleep) {
  KernelTestClock clock;
  clock.set_auto_advance(true);
  const uint64_t start = get_jiffies_64();
  static int sleeps;
  sleeps = 0;
  task_struct* task = kthread_create_on_node(
      [](void*) {
        for (; sleeps < 10; ++sleeps) {
          set_current_state(TASK_INTERRUPTIBLE);
          schedule_timeout(100);
        }
        return -7;
      },
      nullptr, NUMA_NO_NODE, "flier");
  wake_up_process(task);
  ASSERT_TRUE(kthread_wait_exit(task));
  EXPECT_FALSE(kthread_wait_asleep(task, 11));  // ended by itself
  EXPECT_EQ(kthread_stop(task), -7);            // and keeps its result for stop
  EXPECT_EQ(sleeps, 10);
  EXPECT_EQ(get_jiffies_64(), start + 1000);
}

TEST(KthreadMtTest, RebootHandlerStopsAWorker) {
  // The shutdown path: a reboot notification stops the device's worker.
  KernelTestClock clock;
  struct Device {
    notifier_block nb{};
    task_struct* thread = nullptr;
    int stopped_with = -1;
  } dev;
  Worker w;
  dev.thread = kthread_create_on_node(Worker::run, &w, NUMA_NO_NODE, "worker");
  wake_up_process(dev.thread);
  ASSERT_TRUE(kthread_wait_asleep(dev.thread, 1));
  dev.nb.notifier_call = [](notifier_block* nb, unsigned long, void*) {
    auto* d = reinterpret_cast<Device*>(nb);
    d->stopped_with = kthread_stop(d->thread);
    return NOTIFY_OK;
  };
  ASSERT_EQ(register_reboot_notifier(&dev.nb), 0);
  EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_OK);
  EXPECT_EQ(dev.stopped_with, 42);
  unregister_reboot_notifier(&dev.nb);
}
