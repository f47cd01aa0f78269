// The kernel services as one thread sees them: the clocks and
// schedule_timeout, the reboot notification chain, device classes and the
// outside access to their attributes. Threads meeting: test_platform_mt.cpp.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/device_class.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/kthread.h"
#include "platform/kernel/ktime.h"
#include "platform/kernel/reboot.h"

TEST(Clock, JiffiesFollowTheClockAndScheduleTimeoutSleepsOnlyAnInterruptibleTask) {
  KernelTestClock clock(5000);  // never moves unless told: a real sleep would not end
  EXPECT_EQ(get_jiffies_64(), 500000u);

  set_current_state(TASK_RUNNING);
  EXPECT_EQ(schedule_timeout(100), 100);
  set_current_state(TASK_INTERRUPTIBLE);
  EXPECT_EQ(wake_up_process(get_current()), 1);
  EXPECT_EQ(schedule_timeout(100), 100);         // the wake-up was not lost
  EXPECT_EQ(wake_up_process(get_current()), 0);  // running already

  clock.set_auto_advance(true);  // time flies to the deadline
  set_current_state(TASK_INTERRUPTIBLE);
  EXPECT_EQ(schedule_timeout(100), 0);
  EXPECT_EQ(get_jiffies_64(), 500100u);
  EXPECT_EQ(schedule_timeout(100), 100);  // running again after the sleep
}

namespace {

std::string g_calls;  // "name:action " for each handler called, in call order

struct Handler : notifier_block {
  const char* name;
  int result;
  Handler(const char* n, int prio, int r = NOTIFY_DONE)
      : notifier_block{call, nullptr, prio}, name(n), result(r) {
    EXPECT_EQ(register_reboot_notifier(this), 0);
  }
  ~Handler() { unregister_reboot_notifier(this); }
  static int call(notifier_block* nb, unsigned long action, void* data) {
    auto* h = static_cast<Handler*>(nb);
    g_calls += std::string(h->name) + ":" + std::to_string(action) + (data ? "+ " : " ");
    return h->result;
  }
};

}  // namespace

TEST(Reboot, HandlersRunByPriorityThenRegistrationUntilOneStopsTheChain) {
  Handler low("low", -5, 3), zero_a("zero-a", 0, 1), high("high", 10), zero_b("zero-b", 0);
  char cmd[] = "now";
  g_calls.clear();
  EXPECT_EQ(kernel_restart_prepare(cmd), 3);  // results that do not stop it: the last one
  const std::string r = ":" + std::to_string(SYS_RESTART) + "+ ";
  EXPECT_EQ(g_calls, "high" + r + "zero-a" + r + "zero-b" + r + "low" + r);

  Handler stopper("stopper", 1, NOTIFY_BAD);
  EXPECT_EQ(register_reboot_notifier(&stopper), -EEXIST);
  g_calls.clear();
  EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_BAD);
  EXPECT_EQ(g_calls,
            "high:" + std::to_string(SYS_HALT) + " stopper:" + std::to_string(SYS_HALT) + " ");
  EXPECT_EQ(unregister_reboot_notifier(&stopper), 0);
  EXPECT_EQ(unregister_reboot_notifier(&stopper), -ENOENT);
  EXPECT_EQ(register_reboot_notifier(&stopper), 0);  // registered again, it runs again
  EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_BAD);
}

namespace {

std::string g_stored;  // what the last store received, up to its terminator

ssize_t show(device_class* cls, class_attribute* attr, char* buf) {
  if (attr->name[0] == 'b') return -EBUSY;
  if (attr->name[0] == 'f') return std::memset(buf, 'x', 4096), 5000;  // more than the page
  return std::sprintf(buf, "hello from %s\n", cls->name);
}
ssize_t store(device_class*, class_attribute* attr, const char* buf, size_t count) {
  if (attr->name[0] == 'b') return -EINVAL;
  g_stored = buf;
  return static_cast<ssize_t>(count);
}

class_attribute g_attrs[] = {
    {"hello", 0444, show, nullptr}, {"table", 0444, nullptr, store},
    {"open", 0644, show, store},    {"secret", 0000, show, nullptr},
    {"broken", 0644, show, store},  {"flood", 0444, show, nullptr},
    {nullptr, 0, nullptr, nullptr},
};

}  // namespace

TEST(DeviceClass, AttributesAreReadAndWrittenWithinTheirPermissionsAndOnePage) {
  char name[] = "nyx_test", same_name[] = "nyx_test";
  device_class cls{name, g_attrs}, twin{same_name, g_attrs};
  ASSERT_EQ(class_register(&cls), 0);
  EXPECT_EQ(class_register(&twin), -EEXIST);

  std::string text = "untouched";
  const std::pair<int, int> rows[] = {
      {class_attr_read("nyx_test", "table", &text), -EIO},       // no show
      {class_attr_write("nyx_test", "hello", "x", true), -EIO},  // no store
      {class_attr_read("nyx_test", "secret", &text), -EACCES},
      {class_attr_write("nyx_test", "table", "100", false), -EACCES},  // 0444
      {class_attr_read("nyx_test", "broken", &text), -EBUSY},
      {class_attr_write("nyx_test", "broken", "1", false), -EINVAL},
      {class_attr_read("nyx_none", "hello", &text), -ENOENT},
      {class_attr_read("nyx_test", "none", &text), -ENOENT},
  };
  for (size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i].first, rows[i].second) << i;
  EXPECT_EQ(text + g_stored, "untouched");
  ASSERT_EQ(class_attr_read("nyx_test", "secret", &text, true), 0);  // privileged
  EXPECT_EQ(text, "hello from nyx_test\n");
  ASSERT_EQ(class_attr_read("nyx_test", "flood", &text), 0);
  EXPECT_EQ(text.size(), 4096u);  // no more than the page
  ASSERT_EQ(class_attr_write("nyx_test", "table", "100", true), 0);
  EXPECT_EQ(g_stored, "100");
  ASSERT_EQ(class_attr_write("nyx_test", "open", std::string(5000, 'a'), false), 0);
  EXPECT_EQ(g_stored.size(), 4095u);  // cut to a page, with its terminator

  class_unregister(&twin);  // not registered: nothing happens
  class_unregister(&cls);
  EXPECT_EQ(class_attr_read("nyx_test", "hello", &text), -ENOENT);
}
