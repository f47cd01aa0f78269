// The whole stack as the NBD export runs it, with threads meeting: one image,
// four disks with their workers running, several clients writing, reading
// and flushing at once (as multi-conn NBD clients do), the debug attributes
// read beside them, then an orderly shutdown and a fresh start that must find
// every byte written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nand_stack.h"
#include "platform/block/blktrans_disk.h"
#include "platform/kernel/device_class.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/ktime.h"

namespace {

constexpr const char* kParts = "8M(system),8M(cache),8M(NFTL_Part),-(userdata)";
const char* const kDisks[] = {"system", "cache", "media", "data"};

class StackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/nyx-stack.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    options_.path = dir_ + "/nand.img";
    options_.geometry.blocks = 256;  // 32 MiB: four partitions of 64 blocks
    options_.mtdparts = kParts;
    nandsim::Options chip;
    chip.geometry = options_.geometry;
    auto created = nandsim::NandChip::create_image(options_.path, chip);
    ASSERT_TRUE(created.ok()) << created.message();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<frontend::NandStack> start() {
    auto stack = frontend::NandStack::open(options_);
    EXPECT_TRUE(stack.ok()) << stack.message();
    if (!stack.ok()) return nullptr;
    Status started = stack.value()->start();
    EXPECT_TRUE(started.ok()) << started.message();
    return std::move(stack).value();
  }

  std::string dir_;
  frontend::ImageOptions options_;
};

// What a client wrote: sector -> the byte that fills it.
using DiskModel = std::map<uint64_t, uint8_t>;

void client(BlockDisk& disk, uint32_t seed, int ops, DiskModel& model, std::atomic<int>& failures) {
  std::mt19937 rng(seed);
  const uint64_t sectors = disk.capacity();
  std::vector<uint8_t> buf;
  for (int i = 0; i < ops; ++i) {
    const uint32_t count = 1 + rng() % 24;
    const uint64_t start = rng() % (sectors - count);
    buf.assign(size_t(count) * 512, 0);
    switch (rng() % 4) {
      case 0:
      case 1: {
        const auto fill = static_cast<uint8_t>(rng());
        std::fill(buf.begin(), buf.end(), fill);
        if (disk.write(start, buf) != 0) {
          ++failures;
          break;
        }
        for (uint32_t s = 0; s < count; ++s) model[start + s] = fill;
        break;
      }
      case 2: {
        if (disk.read(start, buf) != 0) {
          ++failures;
          break;
        }
        for (uint32_t s = 0; s < count; ++s) {
          auto it = model.find(start + s);
          const uint8_t want = it == model.end() ? 0xFF : it->second;
          if (buf[size_t(s) * 512] != want || buf[size_t(s) * 512 + 511] != want) ++failures;
        }
        break;
      }
      default:
        if (disk.flush() != 0) ++failures;
    }
  }
}

TEST_F(StackTest, ClientsWorkersAndDebugAttributesMeetAndEveryWriteSurvivesARestart) {
  LogCapture quiet;  // the system's log lines, kept out of the test output
  std::map<std::string, DiskModel> models;
  {
    // Time flies while the workers sleep, so they run pass after pass
    // (idle flushes, collection steps) while the clients work.
    KernelTestClock clock;
    clock.set_auto_advance(true);
    auto stack = start();
    ASSERT_NE(stack, nullptr);
    ASSERT_EQ(stack->disks().size(), 4u);

    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    uint32_t seed = 1;
    for (const char* name : kDisks) {
      auto disk = stack->disk(name);
      ASSERT_NE(disk, nullptr) << name;
      ASSERT_EQ(disk->open(), 0);
      DiskModel& model = models[name];
      threads.emplace_back(
          [disk, seed, &model, &failures] { client(*disk, seed, 400, model, failures); });
      ++seed;
    }
    std::thread debug_reader([&] {
      std::string out;
      while (!done.load()) {
        for (const char* cls : {"nyx_nftl", "nyx_userdata"}) {
          for (const char* attr : {"part", "list"}) {
            if (class_attr_read(cls, attr, &out) != 0) ++failures;
          }
        }
        std::this_thread::yield();
      }
    });
    for (auto& t : threads) t.join();
    done = true;
    debug_reader.join();
    EXPECT_EQ(failures.load(), 0);
    for (const char* name : kDisks) EXPECT_EQ(stack->disk(name)->release(), 0);
    Status stopped = stack->shutdown();
    EXPECT_TRUE(stopped.ok()) << stopped.message();
  }

  // A fresh start over the same image finds every write.
  auto stack = start();
  ASSERT_NE(stack, nullptr);
  std::vector<uint8_t> sector(512);
  for (const char* name : kDisks) {
    auto disk = stack->disk(name);
    ASSERT_NE(disk, nullptr);
    for (const auto& [s, fill] : models[name]) {
      ASSERT_EQ(disk->read(s, sector), 0);
      ASSERT_EQ(sector[0], fill) << name << " sector " << s;
      ASSERT_EQ(sector[511], fill) << name << " sector " << s;
    }
  }
  EXPECT_TRUE(stack->shutdown().ok());
}

}  // namespace
