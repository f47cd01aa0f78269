// The block device with its workers running: partitions accepted by name,
// the add path's failures, the request path's refusals and queue set-up,
// the worker's idle flush, removal, the debug
// attributes through the class registry, and a seeded model test of random
// requests in every memory layout on two disks at once, the debug attributes
// read beside them, with orderly detaches and re-attaches between the rounds.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>

#include "platform/block/blktrans_disk.h"
#include "platform/block/block_request.h"
#include "platform/kernel/device_class.h"
#include "platform/kernel/ktime.h"
#include "support/rig.h"

namespace {

// A chip of 64 KiB blocks split into partitions, all offered to the layer.
class SystemRig {
 public:
  explicit SystemRig(
      const char* parts = "64k(boot),2048k(system),2048k(cache),3584k(NFTL_Part),-(userdata)",
      uint32_t blocks = 161, uint32_t pages = 32) {
    auto chip = nandsim::NandChip::create_in_memory(small_chip(blocks, pages));
    chip_ = std::move(chip).value();
    partitions_ = std::move(nandsim::split_partitions(*chip_, parts)).value();
    for (auto& p : partitions_) add_mtd_device(p->mtd());
  }
  ~SystemRig() {
    cleanup_nyx_nftl();
    for (auto& p : partitions_) del_mtd_device(p->mtd());
  }
  nandsim::NandChip& chip() { return *chip_; }
  mtd_info* mtd(const std::string& name) {
    for (auto& p : partitions_)
      if (p->part_def().name == name) return p->mtd();
    return nullptr;
  }
  static std::shared_ptr<BlockDisk> disk(const std::string& name) {
    return blktrans_find_disk(name);
  }
  static nyx_nftl_blk_t* blk(const std::string& name) {
    return static_cast<nyx_nftl_blk_t*>(disk(name)->queue()->queuedata);
  }
  static uint16_t dirty(const std::string& name) {
    nyx_nftl_blk_t* b = blk(name);
    mutex_lock(&b->nyx_nftl_part->nyx_nftl_lock);
    const uint16_t n = b->cache.cache_write_nums;
    mutex_unlock(&b->nyx_nftl_part->nyx_nftl_lock);
    return n;
  }

 private:
  std::unique_ptr<nandsim::NandChip> chip_;
  std::vector<std::unique_ptr<nandsim::MtdPartition>> partitions_;
};

std::vector<uint8_t> data(uint32_t first, uint32_t count, uint32_t id) {
  return stamped(count * kSectorBytes, first, id);
}

// Whichever allocation fails, the add leaves no disk (or a disk whose queue
// refuses everything) and no reboot handler behind.
TEST(Registration, EveryFailedAllocationInTheAddPathLeavesNothingBehind) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig("-(cache)", 32, 16);
  mtd_info* mtd = rig.mtd("cache");
  ASSERT_EQ(init_nyx_nftl(), 0);
  ASSERT_EQ(del_mtd_device(mtd), 0);
  int without_disk = 0;
  for (unsigned n = 1; n <= 60; ++n) {
    log.clear();
    kalloc_fail_nth(n);
    ASSERT_EQ(add_mtd_device(mtd), 0);
    kalloc_fail_nth(0);
    std::shared_ptr<BlockDisk> disk = blktrans_find_disk("cache");
    std::vector<uint8_t> sector(512);
    const bool done = log.contains("nyx_nftl_add_mtd ok\n");
    if (done || log.contains("nyx_nftl_init_bounce_buf  failed\n")) {
      ASSERT_NE(disk, nullptr);
      EXPECT_EQ(disk->write(3, sector), done ? 0 : -EIO) << n;
    } else {
      EXPECT_EQ(disk, nullptr) << n;
      ++without_disk;
    }
    run_reboot_notifiers(SYS_RESTART);  // a handler of a released record would crash here
    ASSERT_EQ(del_mtd_device(mtd), 0);
    if (done) break;
  }
  EXPECT_GE(without_disk, 4);  // record, bring-up, worker, disk
  ASSERT_EQ(add_mtd_device(mtd), 0);
}

// NAND partitions are served under their names. A request reaching past the
// disk's end is refused before any of its runs moves; so are discards past
// it and requests that carry no sectors. The queue is set up on the request path
// when the add did not, or the request refused.
TEST(Requests, RefusalsAndTheQueueSetUp) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig;
  mtd_info nor = *rig.mtd("system");  // only NAND partitions are taken, by name
  nor.type = MTD_NORFLASH;
  nor.index = -1;
  ASSERT_EQ(add_mtd_device(&nor), 0);
  ASSERT_EQ(init_nyx_nftl(), 0);
  EXPECT_EQ(blktrans_list_disks().size(), 4u)
      << "system, cache, media and data; not the NOR device";
  EXPECT_EQ(del_mtd_device(&nor), 0);
  nyx_nftl_blk_t* blk = SystemRig::blk("media");
  auto serve = [&](request* rq) {
    return nyx_nftl_tr.do_blktrans_request(&nyx_nftl_tr, &blk->mbd, rq);
  };
  const uint64_t end = blk->mbd.size;
  PageBuffer pages = PageBuffer::scattered(2);  // two runs
  for (uint64_t start : {end - 8, end, ~uint64_t{0}})
    EXPECT_EQ(serve(pages.request_for(BlockOp::Write, start, 8192)->get()), -EIO);
  EXPECT_EQ(serve(BlockRequest::discard(end - 8, 16).get()), -EIO);
  auto other = pages.request_for(BlockOp::Write, 8, 4096);
  other->get()->cmd_type = REQ_TYPE_BLOCK_PC;
  EXPECT_EQ(serve(other->get()), -EIO);
  std::vector<uint8_t> back(4096);
  ASSERT_EQ(SystemRig::disk("media")->read(end - 8, back), 0);
  EXPECT_EQ(back, std::vector<uint8_t>(4096, 0xFF)) << "nothing of a refused request was written";

  kfree(blk->bounce_sg);
  blk->bounce_sg = nullptr;
  blk->queue = nullptr;
  EXPECT_EQ(serve(pages.request_for(BlockOp::Write, 0, 4096)->get()), 0);
  EXPECT_EQ(blk->queue, blk->mbd.rq);
  kfree(blk->bounce_sg);
  blk->bounce_sg = nullptr;
  kalloc_fail_nth(1);
  EXPECT_EQ(serve(pages.request_for(BlockOp::Write, 0, 4096)->get()), -EIO);
  kalloc_fail_nth(0);
  EXPECT_EQ(log.count("_nftl_init_bounce_buf  failed\n"), 1u);
  EXPECT_EQ(SystemRig::disk("media")->read(0, back), -EIO) << "the dead queue takes nothing more";
}

// The worker flushes a cache left without writes for more than 7 s, and
// never an empty one.
TEST(Worker, FlushesAfterMoreThanSevenIdleSeconds) {
  KernelTestClock clock(1000);
  LogCapture log;
  SystemRig rig;
  ASSERT_EQ(init_nyx_nftl(), 0);
  task_struct* worker = SystemRig::blk("media")->nftl_thread;
  ASSERT_TRUE(kthread_wait_asleep(worker, 1));
  ASSERT_EQ(SystemRig::disk("media")->write(1, data(1, 1, 1)), 0);
  for (auto [sec, dirty] : {std::pair{1007, 1}, {1008, 0}, {1108, 0}, {1208, 0}}) {
    const unsigned long sleeps = kthread_sleep_count(worker);
    clock.set(sec, 500000000);
    ASSERT_TRUE(kthread_wait_asleep(worker, sleeps + 1));
    EXPECT_EQ(SystemRig::dirty("media"), dirty) << sec;
  }
  EXPECT_EQ(log.count("nyx_nftl_thread flush cache data: 1\n"), 1u);
  EXPECT_FALSE(log.contains("flush cache data: 0"));
}

// Removal writes the cache out and stops the worker; the device's handler
// goes with it. Repeated with a stopped clock: a worker that missed its stop
// would sleep for ever.
TEST(Removal, KeepsWhatTheCacheHeldAndEndsCleanlyEveryTime) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig;
  ASSERT_EQ(init_nyx_nftl(), 0);
  ASSERT_EQ(SystemRig::disk("media")->write(7, data(7, 2, 11)), 0);
  ASSERT_EQ(SystemRig::dirty("media"), 2);
  mtd_info* mtd = rig.mtd("NFTL_Part");
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(del_mtd_device(mtd), 0);
    EXPECT_EQ(blktrans_find_disk("media"), nullptr);
    ASSERT_EQ(add_mtd_device(mtd), 0);
    EXPECT_EQ(i % 2 ? 0 : run_reboot_notifiers(SYS_RESTART), 0);
  }
  EXPECT_EQ(log.count("nyx_nftl_reboot_notifier flush cache data: 1\n"), 0u);
  std::vector<uint8_t> back(1024);
  ASSERT_EQ(SystemRig::disk("media")->read(7, back), 0);
  EXPECT_EQ(back, data(7, 2, 11));
}

// "part" logs into the kernel log and reads empty; "table" logs 512 map entries from a hex page
// number, within the map, and refuses other text.
TEST(DebugAttributes, LogInsteadOfAnswering) {
  KernelTestClock clock;
  SystemRig rig;
  ASSERT_EQ(init_nyx_nftl(), 0);
  ASSERT_EQ(SystemRig::disk("media")->write(0x100 * 4, data(0x400, 4, 12)), 0);
  const _nand_page entry = SystemRig::blk("media")->nyx_nftl_part->part_logic_page_map[0x100];
  LogCapture log;
  std::string text = "unread";
  ASSERT_EQ(class_attr_read("nyx_nftl", "part", &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_EQ(log.lines()[3], "part->part_no: 3 \n");
  EXPECT_EQ(class_attr_write("nyx_nftl", "table", "100"), -EACCES);
  char first_text[64];
  const char* first = first_text;
  std::snprintf(first_text, sizeof first_text, "page: 100 -> [%4x][%4x]\n", entry.blkNO_in_chip,
                entry.Page_NO);
  // Text, result, entries logged, the first one, the refusal's message.
  for (auto [in, ret, count, line] : {std::tuple{"100", 0, 512, first},
                                      {"0x2fe\n", 0, 2, "page: 2fe -> [ffff][ffff]\n"},
                                      {"1000000000", -EINVAL, 0, "beyond the map"},
                                      {"zz", -EINVAL, 0, "not a hexadecimal page number"},
                                      {" \n", -EINVAL, 0, "not a hexadecimal page number"}}) {
    log.clear();
    EXPECT_EQ(class_attr_write("nyx_nftl", "table", in, true), ret) << in;
    std::vector<std::string> lines;
    for (const std::string& l : log.lines())
      if (l.rfind("page:", 0) == 0) lines.push_back(l);
    EXPECT_EQ(lines.size(), size_t(count)) << in;
    EXPECT_TRUE(log.contains(line)) << in;
    if (count) {
      EXPECT_EQ(lines.back(), "page: 2ff -> [ffff][ffff]\n");
    }
  }
}

// Random requests of any length (1 to 96 sectors) over pages laid out
// contiguously, scattered or mixed, in pieces of 512 to 4096 bytes, on two
// disks at once against a model of each, the workers collecting and
// flushing as time passes and the debug attributes read beside them;
// reboots, removals and re-adds between rounds.
std::string run_requests(const char* name, SectorModel& model, uint32_t seed, int ops) {
  auto disk = SystemRig::disk(name);
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  for (int op = 0; op < ops; ++op) {
    const uint64_t start = pick(0, disk->capacity() - 1);
    const uint64_t count = pick(1, std::min<uint64_t>(96, disk->capacity() - start));
    const size_t bytes = count * 512, layout = pick(0, 2);
    std::vector<bool> follows((bytes + 4095) / 4096);
    for (size_t i = 0; i < follows.size(); ++i)
      follows[i] = layout == 0 || (layout == 2 && pick(0, 1) == 1);
    PageBuffer pages(follows.size(), [&](size_t i) { return bool(follows[i]); });
    const size_t piece = 512 * pick(1, 8);
    const uint64_t choice = pick(0, 99);
    const std::string at = " at " + std::to_string(start) + "+" + std::to_string(count);
    std::vector<uint8_t> buf(bytes);
    if (choice < 55) {
      buf = model.wrote(uint32_t(start), uint32_t(count));
      pages.copy_in(buf);
      auto rq = pages.request_for(BlockOp::Write, start, bytes, piece);
      if (!rq.ok() || disk->submit(rq->get()) != 0) return "write" + at;
    } else if (choice < 97) {
      auto rq = pages.request_for(BlockOp::Read, start, bytes, piece);
      if (!rq.ok() || disk->submit(rq->get()) != 0) return "read" + at;
      pages.copy_out(buf);
      for (uint32_t i = 0; i < count; ++i)
        if (std::string why = model.check_latest(uint32_t(start) + i, &buf[i * 512]); !why.empty())
          return why + at;
    } else if (disk->flush() != 0) {
      return "flush failed";
    }
    if (!pages.guards_intact()) return "guard page overwritten" + at;
  }
  return {};
}

TEST(Model, RandomRequestsMatchTheModelAcrossFlushesRebootsAndReattach) {
  KernelTestClock clock;
  LogCapture quiet;
  SystemRig rig;
  ASSERT_EQ(init_nyx_nftl(), 0);
  const char* names[] = {"media", "data"};
  std::vector<SectorModel> models;
  for (const char* name : names) models.emplace_back(SystemRig::disk(name)->capacity());
  std::mt19937 rng(99);
  for (uint32_t round = 0; round < 4; ++round) {
    std::atomic<int> running{2};
    std::string why[2];
    std::vector<std::thread> threads;
    for (size_t m = 0; m < 2; ++m)
      threads.emplace_back(
          [&, m] { why[m] = run_requests(names[m], models[m], round * 2 + m, 250), --running; });
    // Time passes while the requests run: the workers wake, collect and,
    // after quiet spells, flush.
    std::string out;
    while (running > 0) {
      clock.advance_sec(std::uniform_int_distribution<int>(1, 9)(rng));
      for (const char* attr : {"part", "list"})
        EXPECT_EQ(class_attr_read("nyx_nftl", attr, &out), 0);
      std::this_thread::yield();
    }
    for (auto& t : threads) t.join();
    for (size_t m = 0; m < 2; ++m) ASSERT_EQ(why[m], "") << "round " << round;
    if (round % 2 == 1) {  // an orderly shutdown and a fresh attach from the flash
      run_reboot_notifiers(SYS_RESTART);
      for (const char* p : {"NFTL_Part", "userdata"}) ASSERT_EQ(del_mtd_device(rig.mtd(p)), 0);
      for (const char* p : {"NFTL_Part", "userdata"}) ASSERT_EQ(add_mtd_device(rig.mtd(p)), 0);
    }
    for (size_t m = 0; m < 2; ++m) {
      std::vector<uint8_t> all(models[m].size() * 512);
      ASSERT_EQ(SystemRig::disk(names[m])->read(0, all), 0);
      for (uint32_t s = 0; s < models[m].size(); ++s)
        ASSERT_EQ(models[m].check_latest(s, &all[s * 512]), "") << "round " << round;
    }
  }
}

}  // namespace
