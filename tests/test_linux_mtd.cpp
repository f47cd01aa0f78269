// The Linux MTD backend's host-side parts: device specs on command lines,
// the sysfs listing, and the refusals of what is not a NAND MTD device.
// The device itself runs in the real-kernel rig (vm/tests).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/mtd/linux_mtd.h"

namespace {

TEST(LinuxMtdSpec, PathsNamesAndRefusals) {
  struct Row {
    const char* text;
    bool device;  // looks like a device
    bool ok;      // parses
    const char* path;
    const char* name;
  } rows[] = {
      {"/dev/mtd3", true, true, "/dev/mtd3", ""},
      {"/dev/mtd12=userdata", true, true, "/dev/mtd12", "userdata"},
      {"/dev/mtd0=NFTL_Part=x", true, true, "/dev/mtd0", "NFTL_Part=x"},
      {"/dev/mtdblock3", false, true, "/dev/mtdblock3", ""},
      {"/dev/mtd", false, true, "/dev/mtd", ""},
      {"nand.img", false, true, "nand.img", ""},
      {"/dev/mtd3=", true, false, "", ""},
      {"=userdata", false, false, "", ""},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(linuxmtd::looks_like_device(r.text), r.device) << r.text;
    auto spec = linuxmtd::parse_device_spec(r.text);
    ASSERT_EQ(spec.ok(), r.ok) << r.text;
    if (!r.ok) {
      EXPECT_TRUE(spec.status().IsInvalidArgument()) << r.text;
      continue;
    }
    EXPECT_EQ(spec.value().path, r.path) << r.text;
    EXPECT_EQ(spec.value().name, r.name) << r.text;
  }
}

TEST(LinuxMtdList, ReadsSysfsInIndexOrderWithoutReadOnlyTwins) {
  const std::filesystem::path root = std::filesystem::temp_directory_path() / "nyx-sysfs-test";
  std::filesystem::remove_all(root);
  auto device = [&](const std::string& dir, const std::string& name, const std::string& type,
                    const std::string& size) {
    std::filesystem::create_directories(root / dir);
    std::ofstream(root / dir / "name") << name << "\n";
    std::ofstream(root / dir / "type") << type << "\n";
    std::ofstream(root / dir / "size") << size << "\n";
  };
  device("mtd10", "userdata", "nand", "67108864");
  device("mtd2", "NAND simulator partition 2", "nand", "16777216");
  device("mtd2ro", "NAND simulator partition 2", "nand", "16777216");
  device("mtd0", "boot", "nor", "1048576");
  auto listed = linuxmtd::list_devices(root.string());
  ASSERT_TRUE(listed.ok()) << listed.message();
  ASSERT_EQ(listed.value().size(), 3u);
  EXPECT_EQ(listed.value()[0].path, "/dev/mtd0");
  EXPECT_EQ(listed.value()[0].type, "nor");
  EXPECT_EQ(listed.value()[1].name, "NAND simulator partition 2");
  EXPECT_EQ(listed.value()[2].index, 10);
  EXPECT_EQ(listed.value()[2].size, 67108864u);
  std::filesystem::remove_all(root);

  auto missing = linuxmtd::list_devices(root.string());
  ASSERT_FALSE(missing.ok());
  EXPECT_TRUE(missing.status().IsNotFound());
}

TEST(LinuxMtdOpen, WhatIsNotANandMtdDeviceIsRefusedWithItsKind) {
  auto absent = linuxmtd::LinuxMtdDevice::open({"/dev/mtd9999", ""}, linuxmtd::Mode::Private);
  ASSERT_FALSE(absent.ok());
  EXPECT_TRUE(absent.status().IsNotFound()) << absent.message();
  EXPECT_NE(absent.message().find("/dev/mtd9999"), std::string::npos);

  // A character device that answers no MTD ioctl.
  auto null = linuxmtd::LinuxMtdDevice::open({"/dev/null", ""}, linuxmtd::Mode::Private);
  ASSERT_FALSE(null.ok());
  EXPECT_TRUE(null.status().IsInvalidArgument()) << null.message();
  EXPECT_NE(null.message().find("not an MTD device"), std::string::npos) << null.message();
}

}  // namespace
