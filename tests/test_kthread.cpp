// The clocks (real and test), error pointers, and schedule_timeout as the
// calling thread sees it.
#include <gtest/gtest.h>

#include <cerrno>

#include "platform/kernel/kernel.h"
#include "platform/kernel/kthread.h"
#include "platform/kernel/ktime.h"

TEST(ClockTest, RealClockTicksAtHzAndConversionsRoundUp) {
  const uint64_t j = get_jiffies_64();
  EXPECT_LE(j, static_cast<uint64_t>(ktime_get_ns() / NSEC_PER_JIFFY));
  EXPECT_EQ(msecs_to_jiffies(1000), 100u);
  EXPECT_EQ(msecs_to_jiffies(1), 1u);
  EXPECT_EQ(jiffies_to_msecs(100), 1000u);
}

TEST(ClockTest, TestClockGovernsTimeAndJiffies) {
  KernelTestClock clock(5000);
  EXPECT_EQ(get_jiffies_64(), 500000u);
  clock.advance_ns(1500000000);
  struct timespec ts;
  ktime_get_ts(&ts);
  EXPECT_EQ(ts.tv_sec, 5001);
  EXPECT_EQ(ts.tv_nsec, 500000000);
  clock.advance_jiffies(50);
  EXPECT_EQ(get_jiffies_64(), 500200u);
  // A second clock is a mistake of the test: it stops the program.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(KernelTestClock second, "a KernelTestClock is already installed");
}

TEST(ScheduleTimeoutTest, OnlyAnInterruptibleTaskSleepsAndAWakeBeforeTheSleepIsKept) {
  KernelTestClock clock;  // never moves: a real sleep would not end
  set_current_state(TASK_RUNNING);
  EXPECT_EQ(schedule_timeout(100), 100);
  set_current_state(TASK_INTERRUPTIBLE);
  EXPECT_EQ(wake_up_process(get_current()), 1);
  EXPECT_EQ(schedule_timeout(100), 100);         // the wake-up was not lost
  EXPECT_EQ(wake_up_process(get_current()), 0);  // running already
  LogCapture log;
  set_current_state(TASK_INTERRUPTIBLE);
  EXPECT_EQ(schedule_timeout(-1), 0);
  EXPECT_TRUE(log.contains("schedule_timeout: wrong timeout value"));
}

TEST(ScheduleTimeoutTest, AutoAdvanceMovesTheClockToTheDeadline) {
  KernelTestClock clock;
  clock.set_auto_advance(true);
  const uint64_t before = get_jiffies_64();
  const unsigned long sleeps = kthread_sleep_count(get_current());
  set_current_state(TASK_INTERRUPTIBLE);
  EXPECT_EQ(schedule_timeout(100), 0);
  EXPECT_EQ(get_jiffies_64(), before + 100);
  EXPECT_EQ(kthread_sleep_count(get_current()), sleeps + 1);
  EXPECT_EQ(schedule_timeout(100), 100);  // running again after the sleep
}

TEST(KthreadTest, CreationFailsWhenTheRecordCannotBeAllocated) {
  kalloc_fail_nth(1);
  task_struct* task = kthread_create_on_node([](void*) { return 0; }, nullptr, NUMA_NO_NODE, "x");
  kalloc_fail_nth(0);
  ASSERT_TRUE(IS_ERR(task));
  EXPECT_EQ(PTR_ERR(task), -ENOMEM);
  EXPECT_EQ(kthread_stop(get_current()), -EINVAL);  // not a kernel thread
}
