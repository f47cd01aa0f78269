// Kernel threads: created stopped, started by a wake-up, sleeping on the
// scheduler clock, woken early, and stopped with their result.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/kthread.h"
#include "platform/ktime.h"
#include "platform/reboot.h"

namespace {

// A worker like the translation layer's: passes separated by sleeps of
// `period` ticks until asked to stop. Records what each sleep returned.
struct Worker {
  long period = 100;
  std::atomic<int> passes{0};
  std::mutex mutex;
  std::vector<long> sleep_results;
  int result = 42;
};

int worker_fn(void* arg) {
  auto* w = static_cast<Worker*>(arg);
  while (!kthread_should_stop()) {
    w->passes.fetch_add(1);
    set_current_state(TASK_INTERRUPTIBLE);
    long left = schedule_timeout(w->period);
    std::lock_guard<std::mutex> lock(w->mutex);
    w->sleep_results.push_back(left);
  }
  return w->result;
}

std::vector<long> sleep_results(Worker& w) {
  std::lock_guard<std::mutex> lock(w.mutex);
  return w.sleep_results;
}

}  // namespace

TEST(KthreadMtTest, ThreadDoesNotRunBeforeItIsWoken) {
  KernelTestClock clock;
  Worker w;
  task_struct* task = kthread_create_on_node(worker_fn, &w, NUMA_NO_NODE, "idle");
  ASSERT_FALSE(IS_ERR_OR_NULL(task));
  // Stopped before its first wake-up, its function never runs.
  EXPECT_EQ(kthread_stop(task), -EINTR);
  EXPECT_EQ(w.passes.load(), 0);
}

TEST(KthreadMtTest, NameIsFormattedAndCut) {
  Worker w;
  task_struct* task = kthread_create_on_node(worker_fn, &w, NUMA_NO_NODE, "%sd", "nyx_nftl");
  ASSERT_FALSE(IS_ERR_OR_NULL(task));
  char comm[TASK_COMM_LEN];
  EXPECT_STREQ(get_task_comm(comm, task), "nyx_nftld");
  kthread_stop(task);
  task = kthread_create_on_node(worker_fn, &w, NUMA_NO_NODE, "%s-%d", "a_rather_long_name", 7);
  EXPECT_STREQ(get_task_comm(comm, task), "a_rather_long_n");
  kthread_stop(task);
}

TEST(KthreadMtTest, StopWakesASleepingThreadEarlyAndReturnsItsResult) {
  KernelTestClock clock;  // never moves: only a wake-up ends a sleep
  Worker w;
  task_struct* task = kthread_create_on_node(worker_fn, &w, NUMA_NO_NODE, "worker");
  ASSERT_FALSE(IS_ERR_OR_NULL(task));
  EXPECT_EQ(wake_up_process(task), 1);
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  EXPECT_EQ(kthread_stop(task), 42);
  EXPECT_EQ(w.passes.load(), 1);
  ASSERT_EQ(sleep_results(w).size(), 1u);
  EXPECT_EQ(sleep_results(w)[0], 100);  // woken with the whole period left
}

TEST(KthreadMtTest, SleepEndsWhenTheClockPassesTheDeadline) {
  KernelTestClock clock;
  Worker w;
  task_struct* task = kthread_create_on_node(worker_fn, &w, NUMA_NO_NODE, "worker");
  wake_up_process(task);
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  clock.advance_jiffies(99);  // one tick short: the sleep goes on
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  EXPECT_EQ(kthread_sleep_count(task), 1u);
  EXPECT_EQ(w.passes.load(), 1);
  clock.advance_jiffies(1);
  ASSERT_TRUE(kthread_wait_asleep(task, 2));
  EXPECT_EQ(w.passes.load(), 2);
  EXPECT_EQ(sleep_results(w), (std::vector<long>{0}));  // timed out
  kthread_stop(task);
}

TEST(KthreadMtTest, WakeUpEndsASleepEarly) {
  KernelTestClock clock;
  Worker w;
  task_struct* task = kthread_create_on_node(worker_fn, &w, NUMA_NO_NODE, "worker");
  wake_up_process(task);
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  clock.advance_jiffies(30);
  EXPECT_EQ(wake_up_process(task), 1);
  ASSERT_TRUE(kthread_wait_asleep(task, 2));
  EXPECT_EQ(sleep_results(w), (std::vector<long>{70}));
  kthread_stop(task);
}

TEST(KthreadMtTest, AutoAdvanceLetsTimeFlyWhileThreadsSleep) {
  KernelTestClock clock;
  clock.set_auto_advance(true);
  struct Counter {
    int sleeps = 0;
  } counter;
  const uint64_t start = get_jiffies_64();
  task_struct* task = kthread_create_on_node(
      [](void* arg) {
        auto* c = static_cast<Counter*>(arg);
        for (; c->sleeps < 10; ++c->sleeps) {
          set_current_state(TASK_INTERRUPTIBLE);
          schedule_timeout(100);
        }
        return 0;
      },
      &counter, NUMA_NO_NODE, "flier");
  wake_up_process(task);
  ASSERT_TRUE(kthread_wait_exit(task));
  EXPECT_EQ(kthread_stop(task), 0);
  // Ten sleeps, each of which moved the clock by its 100 ticks.
  EXPECT_EQ(counter.sleeps, 10);
  EXPECT_EQ(get_jiffies_64(), start + 1000);
}

TEST(KthreadMtTest, FunctionThatEndsByItselfKeepsItsResultForStop) {
  KernelTestClock clock;
  task_struct* task = kthread_create_on_node([](void*) { return -7; }, nullptr, NUMA_NO_NODE, "short");
  wake_up_process(task);
  ASSERT_TRUE(kthread_wait_exit(task));
  EXPECT_FALSE(kthread_wait_asleep(task, 1));  // it never sleeps
  EXPECT_EQ(kthread_stop(task), -7);
}

TEST(KthreadMtTest, ThreadKnowsItIsAKernelThread) {
  struct Seen {
    task_struct* current = nullptr;
    bool stop_before = true;
  } seen;
  task_struct* task = kthread_create_on_node(
      [](void* arg) {
        auto* s = static_cast<Seen*>(arg);
        s->current = get_current();
        s->stop_before = kthread_should_stop();
        set_current_state(TASK_INTERRUPTIBLE);
        while (!kthread_should_stop()) schedule();
        return 0;
      },
      &seen, NUMA_NO_NODE, "self");
  wake_up_process(task);
  ASSERT_TRUE(kthread_wait_asleep(task, 1));
  kthread_stop(task);
  EXPECT_EQ(seen.current, task);
  EXPECT_FALSE(seen.stop_before);
}

TEST(KthreadMtTest, RebootHandlerStopsAWorker) {
  // The shutdown path: a reboot notification stops the device's worker.
  KernelTestClock clock;
  struct Device {
    notifier_block nb{};
    task_struct* thread = nullptr;
    int stopped_with = 0;
  } dev;
  Worker w;
  w.result = 0;
  dev.thread = kthread_create_on_node(worker_fn, &w, NUMA_NO_NODE, "worker");
  wake_up_process(dev.thread);
  ASSERT_TRUE(kthread_wait_asleep(dev.thread, 1));
  dev.nb.notifier_call = [](notifier_block* nb, unsigned long, void*) {
    auto* d = reinterpret_cast<Device*>(nb);
    d->stopped_with = kthread_stop(d->thread);
    d->thread = nullptr;
    return NOTIFY_OK;
  };
  dev.stopped_with = -1;
  ASSERT_EQ(register_reboot_notifier(&dev.nb), 0);
  EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_OK);
  EXPECT_EQ(dev.thread, nullptr);
  EXPECT_EQ(dev.stopped_with, 0);
  unregister_reboot_notifier(&dev.nb);
}
