// Device classes with threads meeting: unregistering waits for the attribute
// operations in progress, and reads race registration changes safely.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/device_class.h"

namespace {

std::atomic<bool> g_in_show{false};
std::atomic<bool> g_unregister_started{false};
std::atomic<bool> g_show_finished{false};
std::atomic<bool> g_hold{false};

ssize_t slow_show(device_class*, class_attribute*, char* buf) {
  if (g_hold.exchange(false)) {
    g_in_show = true;
    while (!g_unregister_started) std::this_thread::yield();
    for (int i = 0; i < 1000; ++i) std::this_thread::yield();
    g_show_finished = true;
  }
  buf[0] = 'k';
  return 1;
}

class_attribute g_attrs[] = {
    {"part", 0444, slow_show, nullptr},
    {nullptr, 0, nullptr, nullptr},
};

}  // namespace

TEST(DeviceClassMtTest, UnregisterWaitsForTheOperationInProgress) {
  char name[] = "nyx_mt";
  device_class cls{name, g_attrs};
  ASSERT_EQ(class_register(&cls), 0);
  g_hold = true;
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

TEST(DeviceClassMtTest, ReadsRaceRegistrationChanges) {
  char name[] = "nyx_churn";
  device_class cls{name, g_attrs};
  std::atomic<bool> done{false};
  std::atomic<int> served{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      std::string text;
      while (!done) {
        int ret = class_attr_read("nyx_churn", "part", &text);
        EXPECT_TRUE(ret == 0 || ret == -ENOENT) << ret;
        if (ret == 0) ++served;
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    ASSERT_EQ(class_register(&cls), 0);
    std::this_thread::yield();
    class_unregister(&cls);
  }
  ASSERT_EQ(class_register(&cls), 0);
  while (served.load() == 0) std::this_thread::yield();  // at least one read got through
  done = true;
  for (auto& th : readers) th.join();
  class_unregister(&cls);
  EXPECT_GT(served.load(), 0);
}
