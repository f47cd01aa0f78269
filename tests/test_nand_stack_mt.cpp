// The whole stack as the NBD export runs it, with threads meeting: one image,
// four disks with their workers running, a client on each writing, reading
// and flushing at once, the debug attributes read beside them, then an
// orderly shutdown and a fresh start that must find every byte written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "nand_stack.h"
#include "platform/block/blktrans_disk.h"
#include "platform/kernel/device_class.h"
#include "platform/kernel/ktime.h"
#include "support/rig.h"

namespace {

const char* const kDisks[] = {"system", "cache", "media", "data"};

void client(BlockDisk& disk, uint32_t seed, SectorModel& model, std::atomic<int>& failures) {
  std::mt19937 rng(seed);
  for (int i = 0; i < 400; ++i) {
    const uint32_t count = 1 + rng() % 24;
    const uint32_t start = static_cast<uint32_t>(rng() % (disk.capacity() - count));
    std::vector<uint8_t> buf(size_t(count) * kSectorBytes);
    switch (rng() % 4) {
      case 0:
      case 1:
        buf = model.wrote(start, count);
        failures += disk.write(start, buf) != 0;
        break;
      case 2:
        failures += disk.read(start, buf) != 0;
        for (uint32_t s = 0; s < count; ++s)
          failures += !model.check_latest(start + s, &buf[size_t(s) * kSectorBytes]).empty();
        break;
      default:
        failures += disk.flush() != 0;
    }
  }
}

TEST(StackTest, ClientsWorkersAndDebugAttributesMeetAndEveryWriteSurvivesARestart) {
  LogCapture quiet;
  char dir[] = "/tmp/nyx-stack.XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  frontend::ImageOptions options;
  options.path = std::string(dir) + "/nand.img";
  options.geometry.blocks = 256;  // four partitions of 64 blocks
  options.mtdparts = "8M(system),8M(cache),8M(NFTL_Part),-(userdata)";
  nandsim::Options chip;
  chip.geometry = options.geometry;
  ASSERT_TRUE(nandsim::NandChip::create_image(options.path, chip).ok());
  auto start = [&] {
    auto stack = frontend::NandStack::open(options);
    EXPECT_TRUE(stack.ok() && stack.value()->start().ok());
    return stack.ok() ? std::move(stack).value() : nullptr;
  };
  std::vector<SectorModel> models;
  {
    // Time flies while the workers sleep: pass after pass (idle flushes,
    // collection steps) runs while the clients work.
    KernelTestClock clock;
    clock.set_auto_advance(true);
    auto stack = start();
    ASSERT_NE(stack, nullptr);
    std::atomic<int> failures{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (const char* name : kDisks) models.emplace_back(stack->disk(name)->capacity());
    for (uint32_t i = 0; i < 4; ++i) {
      auto disk = stack->disk(kDisks[i]);
      ASSERT_EQ(disk->open(), 0);
      threads.emplace_back(
          [disk, i, &models, &failures] { client(*disk, i + 1, models[i], failures); });
    }
    std::thread debug_reader([&] {
      std::string out;
      for (; !done.load(); std::this_thread::yield())
        for (const char* cls : {"nyx_nftl", "nyx_userdata"})
          for (const char* attr : {"part", "list"})
            failures += class_attr_read(cls, attr, &out) != 0;
    });
    for (auto& t : threads) t.join();
    done = true;
    debug_reader.join();
    EXPECT_EQ(failures.load(), 0);
    for (const char* name : kDisks) EXPECT_EQ(stack->disk(name)->release(), 0);
    EXPECT_TRUE(stack->shutdown().ok());
  }
  auto stack = start();  // a fresh start over the same image finds every write
  ASSERT_NE(stack, nullptr);
  for (uint32_t i = 0; i < 4; ++i) {
    auto disk = stack->disk(kDisks[i]);
    std::vector<uint8_t> all(disk->capacity() * kSectorBytes);
    ASSERT_EQ(disk->read(0, all), 0);
    for (uint32_t s = 0; s < disk->capacity(); ++s)
      ASSERT_EQ(models[i].check_latest(s, &all[size_t(s) * kSectorBytes]), "") << kDisks[i];
  }
  EXPECT_TRUE(stack->shutdown().ok());
  std::filesystem::remove_all(dir);
}

}  // namespace
