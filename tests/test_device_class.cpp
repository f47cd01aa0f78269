// Device classes: registration by name and the outside access to their
// attributes, with the permission bits and the missing operations.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kernel/device_class.h"

namespace {

std::string g_stored;  // what the last store received, and whether it was terminated
bool g_stored_terminated = false;

ssize_t show_hello(device_class* cls, class_attribute*, char* buf) {
  return std::sprintf(buf, "hello from %s\n", cls->name);
}
ssize_t show_fails(device_class*, class_attribute*, char*) { return -EBUSY; }
ssize_t show_too_much(device_class*, class_attribute*, char* buf) {
  std::memset(buf, 'x', 4096);
  return 5000;  // more than the buffer: only the buffer counts
}
ssize_t store_text(device_class*, class_attribute*, const char* buf, size_t count) {
  g_stored.assign(buf, count);
  g_stored_terminated = buf[count] == '\0';
  return static_cast<ssize_t>(count);
}
ssize_t store_fails(device_class*, class_attribute*, const char*, size_t) { return -EINVAL; }

class_attribute g_attrs[] = {
    {"hello", 0444, show_hello, nullptr},
    {"table", 0444, nullptr, store_text},
    {"open", 0644, show_hello, store_text},
    {"secret", 0000, show_hello, nullptr},
    {"broken", 0644, show_fails, store_fails},
    {"flood", 0444, show_too_much, nullptr},
    {nullptr, 0, nullptr, nullptr},
};

class DeviceClassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_stored.clear();
    ASSERT_EQ(class_register(&cls), 0);
  }
  void TearDown() override { class_unregister(&cls); }

  char name[9] = "nyx_test";
  device_class cls{name, g_attrs};
};

}  // namespace

TEST_F(DeviceClassTest, NameCanBeRegisteredOnceAndIsFreedByUnregister) {
  char same_name[9] = "nyx_test";
  device_class twin{same_name, g_attrs};
  EXPECT_EQ(class_register(&twin), -EEXIST);
  device_class nameless{nullptr, g_attrs};
  EXPECT_EQ(class_register(&nameless), -EINVAL);
  class_unregister(&twin);  // not registered: nothing happens
  EXPECT_EQ(class_list(), (std::vector<std::string>{"nyx_test"}));
  class_unregister(&cls);
  std::string text;
  EXPECT_EQ(class_attr_read("nyx_test", "hello", &text), -ENOENT);
  EXPECT_EQ(class_register(&twin), 0);
  class_unregister(&twin);
  ASSERT_EQ(class_register(&cls), 0);
}

TEST_F(DeviceClassTest, ReadReturnsTheShowTextCutToOnePage) {
  std::string text;
  ASSERT_EQ(class_attr_read("nyx_test", "hello", &text), 0);
  EXPECT_EQ(text, "hello from nyx_test\n");
  ASSERT_EQ(class_attr_read("nyx_test", "flood", &text), 0);
  EXPECT_EQ(text.size(), 4096u);
}

TEST_F(DeviceClassTest, WriteReachesStoreTerminatedAndCutToOnePage) {
  EXPECT_EQ(class_attr_write("nyx_test", "table", "100", false), -EACCES);  // 0444
  EXPECT_TRUE(g_stored.empty());
  ASSERT_EQ(class_attr_write("nyx_test", "table", "100", true), 0);  // privileged
  EXPECT_EQ(g_stored, "100");
  EXPECT_TRUE(g_stored_terminated);
  ASSERT_EQ(class_attr_write("nyx_test", "open", std::string(5000, 'a'), false), 0);
  EXPECT_EQ(g_stored.size(), 4095u);
  EXPECT_TRUE(g_stored_terminated);
}

TEST_F(DeviceClassTest, RefusalsAndErrors) {
  std::string text = "untouched";
  EXPECT_EQ(class_attr_read("nyx_test", "table", &text), -EIO);       // no show
  EXPECT_EQ(class_attr_write("nyx_test", "hello", "x", true), -EIO);  // no store
  EXPECT_EQ(class_attr_read("nyx_test", "secret", &text), -EACCES);
  EXPECT_EQ(text, "untouched");
  ASSERT_EQ(class_attr_read("nyx_test", "secret", &text, true), 0);
  EXPECT_EQ(class_attr_read("nyx_test", "broken", &text), -EBUSY);
  EXPECT_EQ(class_attr_write("nyx_test", "broken", "1", false), -EINVAL);
  EXPECT_EQ(class_attr_read("nyx_none", "hello", &text), -ENOENT);
  EXPECT_EQ(class_attr_read("nyx_test", "none", &text), -ENOENT);
  EXPECT_EQ(class_attr_write("nyx_none", "table", "1", true), -ENOENT);
}

TEST_F(DeviceClassTest, ListsClassesAndAttributes) {
  char other_name[8] = "aaa_cls";
  device_class other{other_name, nullptr};
  ASSERT_EQ(class_register(&other), 0);
  EXPECT_EQ(class_list(), (std::vector<std::string>{"aaa_cls", "nyx_test"}));
  std::vector<class_attr_info> attrs;
  ASSERT_EQ(class_attr_list("aaa_cls", &attrs), 0);
  EXPECT_TRUE(attrs.empty());
  ASSERT_EQ(class_attr_list("nyx_test", &attrs), 0);
  ASSERT_EQ(attrs.size(), 6u);
  EXPECT_EQ(attrs[1].name, "table");
  EXPECT_EQ(attrs[1].mode, 0444);
  EXPECT_FALSE(attrs[1].can_show);
  EXPECT_TRUE(attrs[1].can_store);
  EXPECT_EQ(class_attr_list("nyx_none", &attrs), -ENOENT);
  class_unregister(&other);
}
