// Device classes: registration by name and the outside access to their
// attributes, with the permission bits and the missing operations.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/device_class.h"

namespace {

struct Seen {
  int shows = 0;
  std::string stored;
  size_t stored_count = 0;
  bool stored_terminated = false;
};
Seen g_seen;

ssize_t show_hello(device_class* cls, class_attribute*, char* buf) {
  ++g_seen.shows;
  return std::sprintf(buf, "hello from %s\n", cls->name);
}

ssize_t show_nothing(device_class*, class_attribute*, char*) {
  ++g_seen.shows;
  return 0;
}

ssize_t show_fails(device_class*, class_attribute*, char*) { return -EBUSY; }

ssize_t show_too_much(device_class*, class_attribute*, char* buf) {
  std::memset(buf, 'x', 4096);
  return 5000;  // more than the buffer: only the buffer counts
}

ssize_t store_text(device_class*, class_attribute*, const char* buf, size_t count) {
  g_seen.stored.assign(buf, count);
  g_seen.stored_count = count;
  g_seen.stored_terminated = buf[count] == '\0';
  return static_cast<ssize_t>(count);
}

ssize_t store_fails(device_class*, class_attribute*, const char*, size_t) { return -EINVAL; }

class_attribute g_attrs[] = {
    {"hello", 0444, show_hello, nullptr},
    {"quiet", 0444, show_nothing, nullptr},
    {"table", 0444, nullptr, store_text},
    {"open", 0644, show_nothing, store_text},
    {"secret", 0000, show_hello, nullptr},
    {"broken", 0644, show_fails, store_fails},
    {"flood", 0444, show_too_much, nullptr},
    {nullptr, 0, nullptr, nullptr},
};

class DeviceClassTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen = Seen{};
    ASSERT_EQ(class_register(&cls), 0);
  }
  void TearDown() override { class_unregister(&cls); }

  char name[9] = "nyx_test";
  device_class cls{name, g_attrs};
};

}  // namespace

TEST_F(DeviceClassTest, NameCanBeRegisteredOnce) {
  char same_name[9] = "nyx_test";
  device_class twin{same_name, g_attrs};
  EXPECT_EQ(class_register(&twin), -EEXIST);
  device_class nameless{nullptr, g_attrs};
  EXPECT_EQ(class_register(&nameless), -EINVAL);
  class_unregister(&twin);  // not registered: nothing happens
  EXPECT_EQ(class_list(), (std::vector<std::string>{"nyx_test"}));
  class_unregister(&cls);
  EXPECT_EQ(class_register(&twin), 0);  // the name is free again
  class_unregister(&twin);
  ASSERT_EQ(class_register(&cls), 0);
}

TEST_F(DeviceClassTest, ReadReturnsTheShowText) {
  std::string text;
  ASSERT_EQ(class_attr_read("nyx_test", "hello", &text), 0);
  EXPECT_EQ(text, "hello from nyx_test\n");
  ASSERT_EQ(class_attr_read("nyx_test", "quiet", &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(g_seen.shows, 2);
  ASSERT_EQ(class_attr_read("nyx_test", "flood", &text), 0);
  EXPECT_EQ(text.size(), 4096u);
}

TEST_F(DeviceClassTest, ReadOnlyAttributeIsWrittenOnlyByAPrivilegedCaller) {
  EXPECT_EQ(class_attr_write("nyx_test", "table", "100", false), -EACCES);
  EXPECT_TRUE(g_seen.stored.empty());
  ASSERT_EQ(class_attr_write("nyx_test", "table", "100", true), 0);
  EXPECT_EQ(g_seen.stored, "100");
  EXPECT_EQ(g_seen.stored_count, 3u);
  EXPECT_TRUE(g_seen.stored_terminated);
  ASSERT_EQ(class_attr_write("nyx_test", "open", "ab", false), 0);
  EXPECT_EQ(g_seen.stored, "ab");
}

TEST_F(DeviceClassTest, MissingOperationOrPermissionIsRefused) {
  std::string text = "untouched";
  EXPECT_EQ(class_attr_read("nyx_test", "table", &text), -EIO);  // no show
  EXPECT_EQ(class_attr_write("nyx_test", "hello", "x", true), -EIO);  // no store
  EXPECT_EQ(class_attr_read("nyx_test", "secret", &text), -EACCES);
  EXPECT_EQ(text, "untouched");
  EXPECT_EQ(g_seen.shows, 0);
  ASSERT_EQ(class_attr_read("nyx_test", "secret", &text, true), 0);
  EXPECT_EQ(text, "hello from nyx_test\n");
}

TEST_F(DeviceClassTest, OperationErrorsArePassedOn) {
  std::string text;
  EXPECT_EQ(class_attr_read("nyx_test", "broken", &text), -EBUSY);
  EXPECT_EQ(class_attr_write("nyx_test", "broken", "1", false), -EINVAL);
}

TEST_F(DeviceClassTest, UnknownClassOrAttribute) {
  std::string text;
  EXPECT_EQ(class_attr_read("nyx_none", "hello", &text), -ENOENT);
  EXPECT_EQ(class_attr_read("nyx_test", "none", &text), -ENOENT);
  EXPECT_EQ(class_attr_write("nyx_none", "table", "1", true), -ENOENT);
  std::vector<class_attr_info> attrs;
  EXPECT_EQ(class_attr_list("nyx_none", &attrs), -ENOENT);
  class_unregister(&cls);
  EXPECT_EQ(class_attr_read("nyx_test", "hello", &text), -ENOENT);
  ASSERT_EQ(class_register(&cls), 0);
}

TEST_F(DeviceClassTest, LongWritesAreCutToOnePage) {
  ASSERT_EQ(class_attr_write("nyx_test", "open", std::string(5000, 'a'), false), 0);
  EXPECT_EQ(g_seen.stored_count, 4095u);
  EXPECT_TRUE(g_seen.stored_terminated);
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
  ASSERT_EQ(attrs.size(), 7u);
  EXPECT_EQ(attrs[2].name, "table");
  EXPECT_EQ(attrs[2].mode, 0444);
  EXPECT_FALSE(attrs[2].can_show);
  EXPECT_TRUE(attrs[2].can_store);
  EXPECT_TRUE(attrs[0].can_show);
  class_unregister(&other);
}
