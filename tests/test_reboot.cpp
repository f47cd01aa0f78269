// The reboot notification chain.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/reboot.h"

namespace {

struct Handler {
  notifier_block nb{};
  std::string name;
  int result = NOTIFY_DONE;
  std::vector<std::string>* calls = nullptr;
  unsigned long action = 0;
  void* data = nullptr;
};

int record(notifier_block* nb, unsigned long action, void* data) {
  auto* h = reinterpret_cast<Handler*>(nb);
  h->calls->push_back(h->name);
  h->action = action;
  h->data = data;
  return h->result;
}

class RebootTest : public ::testing::Test {
 protected:
  Handler& make(const std::string& name, int priority, int result = NOTIFY_DONE) {
    handlers.push_back(std::make_unique<Handler>());
    Handler& h = *handlers.back();
    h.nb.notifier_call = record;
    h.nb.priority = priority;
    h.name = name;
    h.result = result;
    h.calls = &calls;
    EXPECT_EQ(register_reboot_notifier(&h.nb), 0);
    return h;
  }

  void TearDown() override {
    for (auto& h : handlers) unregister_reboot_notifier(&h->nb);
  }

  std::vector<std::unique_ptr<Handler>> handlers;
  std::vector<std::string> calls;
};

}  // namespace

TEST_F(RebootTest, EmptyChainIsDone) { EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_DONE); }

TEST_F(RebootTest, HighestPriorityFirstEqualPrioritiesInRegistrationOrder) {
  make("low", -5);
  make("zero-a", 0);
  make("high", 10);
  make("zero-b", 0);
  run_reboot_notifiers(SYS_POWER_OFF);
  EXPECT_EQ(calls, (std::vector<std::string>{"high", "zero-a", "zero-b", "low"}));
}

TEST_F(RebootTest, ReturnsTheLastResultAndPassesActionAndData) {
  Handler& first = make("first", 1, 1);
  make("second", 0, 3);
  char cmd[] = "now";
  EXPECT_EQ(kernel_restart_prepare(cmd), 3);  // a nonzero result does not stop the chain
  EXPECT_EQ(first.action, SYS_RESTART);
  EXPECT_EQ(first.data, cmd);
  EXPECT_EQ(calls.size(), 2u);
}

TEST_F(RebootTest, StopMaskEndsTheChain) {
  make("stopper", 1, NOTIFY_BAD);
  make("never", 0);
  EXPECT_EQ(run_reboot_notifiers(SYS_HALT), NOTIFY_BAD);
  EXPECT_EQ(calls, (std::vector<std::string>{"stopper"}));
}

TEST_F(RebootTest, RegistrationIsCheckedBothWays) {
  Handler& h = make("h", 0);
  EXPECT_EQ(register_reboot_notifier(&h.nb), -EEXIST);
  EXPECT_EQ(unregister_reboot_notifier(&h.nb), 0);
  EXPECT_EQ(unregister_reboot_notifier(&h.nb), -ENOENT);
  run_reboot_notifiers(SYS_HALT);
  EXPECT_TRUE(calls.empty());
  // Registered again, it runs again.
  EXPECT_EQ(register_reboot_notifier(&h.nb), 0);
  run_reboot_notifiers(SYS_HALT);
  EXPECT_EQ(calls.size(), 1u);
}
