// The reboot notification chain.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/kernel/reboot.h"

namespace {

std::vector<std::string> g_calls;  // "name:action", in call order
void* g_data = nullptr;

struct Handler {
  notifier_block nb{};
  std::string name;
  int result;
  Handler(std::string n, int priority, int r = NOTIFY_DONE) : name(std::move(n)), result(r) {
    nb.priority = priority;
    nb.notifier_call = [](notifier_block* b, unsigned long action, void* data) {
      auto* h = reinterpret_cast<Handler*>(b);
      g_calls.push_back(h->name + ":" + std::to_string(action));
      g_data = data;
      return h->result;
    };
    EXPECT_EQ(register_reboot_notifier(&nb), 0);
  }
  ~Handler() { unregister_reboot_notifier(&nb); }
};

}  // namespace

TEST(RebootTest, RunsByPriorityThenRegistrationAndReturnsTheLastResult) {
  g_calls.clear();
  EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_DONE);  // empty chain
  Handler low("low", -5, 3), zero_a("zero-a", 0, 1), high("high", 10), zero_b("zero-b", 0);
  char cmd[] = "now";
  EXPECT_EQ(kernel_restart_prepare(cmd), 3);  // nonzero results do not stop the chain
  const std::string r = ":" + std::to_string(SYS_RESTART);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"high" + r, "zero-a" + r, "zero-b" + r, "low" + r}));
  EXPECT_EQ(g_data, cmd);
}

TEST(RebootTest, StopMaskEndsTheChain) {
  g_calls.clear();
  Handler stopper("stopper", 1, NOTIFY_BAD), never("never", 0);
  EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_BAD);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"stopper:" + std::to_string(SYS_HALT)}));
}

TEST(RebootTest, RegistrationIsCheckedBothWays) {
  g_calls.clear();
  Handler h("h", 0);
  EXPECT_EQ(register_reboot_notifier(&h.nb), -EEXIST);
  EXPECT_EQ(unregister_reboot_notifier(&h.nb), 0);
  EXPECT_EQ(unregister_reboot_notifier(&h.nb), -ENOENT);
  run_reboot_notifiers(SYS_HALT);
  EXPECT_TRUE(g_calls.empty());
  EXPECT_EQ(register_reboot_notifier(&h.nb), 0);  // registered again, it runs again
  run_reboot_notifiers(SYS_HALT);
  EXPECT_EQ(g_calls.size(), 1u);
}
