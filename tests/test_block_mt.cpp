// The block device end to end: partitions offered by the block-translation
// layer and accepted by name, the request hook (range checks, refusals, the
// merging of pages into runs of memory), the worker's idle flush, the flush,
// release, reboot and removal paths, the debug attributes through the class
// registry, the diagnostics and self-tests, and a seeded model test of
// random sector reads and writes with the workers running and orderly
// detach and re-attach in between.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "platform/block/blktrans_disk.h"
#include "platform/block/block_request.h"
#include "platform/mtd/mtd_partition.h"
#include "support/blk_rig.h"

namespace {

// ---------------------------------------------------------------------------
// A chip split into the usual partitions, the table registered.
// ---------------------------------------------------------------------------

// 64 KiB blocks: boot 1, system 32, cache 32, NFTL_Part 56, userdata 40.
constexpr const char* kParts = "64k(boot),2048k(system),2048k(cache),3584k(NFTL_Part),-(userdata)";
constexpr uint32_t kChipBlocks = 161;

class QuietLog {
 public:
  QuietLog() : previous_(kernel_log_set_sink([](std::string_view) {})) {}
  ~QuietLog() { kernel_log_set_sink(std::move(previous_)); }

 private:
  log_sink_fn previous_;
};

class SystemRig {
 public:
  explicit SystemRig(const char* parts = kParts, uint32_t blocks = kChipBlocks,
                     uint32_t pages = 32) {
    auto chip = nandsim::NandChip::create_in_memory(small_chip(blocks, pages));
    if (!chip.ok()) throw std::runtime_error(chip.message());
    chip_ = std::move(chip).value();
    auto split = nandsim::split_partitions(*chip_, parts);
    if (!split.ok()) throw std::runtime_error(split.message());
    partitions_ = std::move(split).value();
    for (auto& p : partitions_) add_mtd_device(p->mtd());
  }
  ~SystemRig() {
    cleanup_nyx_nftl();
    for (auto& p : partitions_) del_mtd_device(p->mtd());
  }
  SystemRig(const SystemRig&) = delete;
  SystemRig& operator=(const SystemRig&) = delete;

  int start() { return init_nyx_nftl(); }

  nandsim::NandChip& chip() { return *chip_; }
  mtd_info* mtd(const std::string& name) {
    for (auto& p : partitions_) {
      if (p->part_def().name == name) return p->mtd();
    }
    throw std::runtime_error("no partition " + name);
  }
  static std::shared_ptr<BlockDisk> disk(const std::string& name) {
    auto disk = blktrans_find_disk(name);
    if (!disk) throw std::runtime_error("no disk " + name);
    return disk;
  }
  // The device record behind a disk: the queue's owner.
  static nyx_nftl_blk_t* blk(const std::string& name) {
    return static_cast<nyx_nftl_blk_t*>(disk(name)->queue()->queuedata);
  }

 private:
  std::unique_ptr<nandsim::NandChip> chip_;
  std::vector<std::unique_ptr<nandsim::MtdPartition>> partitions_;
};

uint16_t dirty_pages(nyx_nftl_blk_t* blk) {
  mutex_lock(&blk->nyx_nftl_part->nyx_nftl_lock);
  uint16_t n = blk->cache.cache_write_nums;
  mutex_unlock(&blk->nyx_nftl_part->nyx_nftl_lock);
  return n;
}

std::vector<uint8_t> pattern(size_t bytes, uint32_t seed) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(seed * 101 + i * 13 + (i >> 9));
  return data;
}

// ---------------------------------------------------------------------------
// Registration.
// ---------------------------------------------------------------------------

TEST(Registration, AcceptsNandPartitionsByNameWithTheirNumbersAndBaseNames) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig;
  mtd_info nor = *rig.mtd("system");
  nor.type = MTD_NORFLASH;
  nor.index = -1;
  ASSERT_EQ(add_mtd_device(&nor), 0);
  ASSERT_EQ(rig.start(), 0);

  std::vector<std::string> names;
  for (const BlockDiskInfo& info : blktrans_list_disks()) names.push_back(info.name);
  EXPECT_EQ(names, (std::vector<std::string>{"system", "cache", "media", "data"}));
  const std::vector<std::pair<std::string, int>> numbers = {
      {"system", 0}, {"cache", 1}, {"data", 2}, {"media", 3}};
  for (const auto& [disk, part_no] : numbers) {
    nyx_nftl_blk_t* blk = SystemRig::blk(disk);
    EXPECT_EQ(blk->nyx_nftl_part->part_no, part_no) << disk;
    EXPECT_EQ(SystemRig::disk(disk)->capacity(), blk->nyx_nftl_part->logic_cap_in_sects);
    EXPECT_EQ(blk->mbd.devnum, blk->mbd.mtd->index);
    ASSERT_NE(blk->nftl_thread, nullptr);
    char comm[TASK_COMM_LEN];
    EXPECT_STREQ(get_task_comm(comm, blk->nftl_thread), "nyx_nftld");
  }
  EXPECT_EQ(log.count("mtd->name: boot\n"), 0u);
  EXPECT_EQ(log.count("mtd->name: system\n"), 1u);  // the NOR device is not even named
  EXPECT_EQ(log.count("nyx_nftl_add_mtd ok\n"), 4u);
  for (const char* base : {"system", "cache", "media", "data"}) {
    EXPECT_EQ(log.count(std::string("nyx_nftl_blk->mbd.tr.name =") + base + "\n"), 1u) << base;
  }
  EXPECT_STREQ(nyx_nftl_tr.name, "data");  // the last device added

  cleanup_nyx_nftl();
  EXPECT_TRUE(blktrans_list_disks().empty());
  EXPECT_EQ(del_mtd_device(&nor), 0);
}

TEST(Registration, APartitionThatFailsBringUpGetsNoDiskAndLeavesNothingBehind) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig("64k(boot),1024k(NFTL_Part)", 17, 32);  // 16 blocks: too small
  ASSERT_EQ(rig.start(), 0);
  EXPECT_EQ(log.count("mtd->name: NFTL_Part\n"), 1u);
  EXPECT_EQ(log.count("nyx_nftl_add_mtd ok\n"), 0u);
  EXPECT_TRUE(blktrans_list_disks().empty());
  // A handler left registered for the released record would be called here.
  EXPECT_EQ(run_reboot_notifiers(SYS_RESTART), NOTIFY_DONE);
}

TEST(Registration, EveryFailedAllocationInTheAddPathLeavesNoLeakAndNoHandler) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig("-(cache)", 32, 16);
  mtd_info* mtd = rig.mtd("cache");
  ASSERT_EQ(rig.start(), 0);
  ASSERT_NE(blktrans_find_disk("cache"), nullptr);
  ASSERT_EQ(del_mtd_device(mtd), 0);

  bool completed = false;
  int without_disk = 0;
  for (unsigned n = 1; n <= 60 && !completed; ++n) {
    log.clear();
    kalloc_fail_nth(n);
    ASSERT_EQ(add_mtd_device(mtd), 0);
    kalloc_fail_nth(0);
    std::shared_ptr<BlockDisk> disk = blktrans_find_disk("cache");
    if (log.contains("nyx_nftl_add_mtd ok\n")) {
      ASSERT_NE(disk, nullptr);
      std::vector<uint8_t> data = pattern(512, n);
      EXPECT_EQ(disk->write(3, data), 0);
      completed = true;
    } else if (log.contains("nyx_nftl_init_bounce_buf  failed\n")) {
      ASSERT_NE(disk, nullptr);  // the disk stays, with a dead queue
      std::vector<uint8_t> data(512);
      EXPECT_EQ(disk->read(0, data), -EIO);
    } else {
      EXPECT_EQ(disk, nullptr) << "allocation " << n;
      ++without_disk;
    }
    run_reboot_notifiers(SYS_RESTART);
    ASSERT_EQ(del_mtd_device(mtd), 0);
  }
  EXPECT_TRUE(completed);
  EXPECT_GE(without_disk, 4);         // record, bring-up, worker, disk
  ASSERT_EQ(add_mtd_device(mtd), 0);  // the rig removes it again
}

// ---------------------------------------------------------------------------
// The request hook, with the sector entries replaced by a recorder.
// ---------------------------------------------------------------------------

struct SectorCall {
  unsigned long sector;
  uint32 count;
  uchar* buf;
  bool write;
};
std::vector<SectorCall> g_calls;
int g_fail_call = -1;  // index of the call that fails

uint32 record(bool write, unsigned long sector, uint32 count, uchar* buf) {
  g_calls.push_back({sector, count, buf, write});
  return static_cast<int>(g_calls.size()) - 1 == g_fail_call ? 1 : 0;
}

class RequestHook : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(rig.start(), 0);
    blk = SystemRig::blk("media");
    saved_read = blk->read_data;
    saved_write = blk->write_data;
    blk->read_data = [](nyx_nftl_blk_t*, unsigned long s, uint32 n, uchar* b) {
      return record(false, s, n, b);
    };
    blk->write_data = [](nyx_nftl_blk_t*, unsigned long s, uint32 n, uchar* b) {
      return record(true, s, n, b);
    };
    g_calls.clear();
    g_fail_call = -1;
  }
  void TearDown() override {
    blk->read_data = saved_read;
    blk->write_data = saved_write;
  }
  int serve(request* rq) { return nyx_nftl_tr.do_blktrans_request(&nyx_nftl_tr, &blk->mbd, rq); }
  uint64_t capacity() const { return blk->mbd.size; }

  KernelTestClock clock;
  SystemRig rig;
  nyx_nftl_blk_t* blk = nullptr;
  uint32 (*saved_read)(nyx_nftl_blk_t*, unsigned long, uint32, uchar*) = nullptr;
  uint32 (*saved_write)(nyx_nftl_blk_t*, unsigned long, uint32, uchar*) = nullptr;
};

TEST_F(RequestHook, ARequestRunningPastTheEndIsRefusedBeforeAnythingMoves) {
  PageBuffer pages = PageBuffer::contiguous(2);
  // Its first segment (one page, 8 sectors) ends exactly at the end of the
  // disk; the second page lies beyond it.
  auto past = pages.request_for(BlockOp::Write, capacity() - 8, 8192);
  ASSERT_TRUE(past.ok());
  EXPECT_EQ(serve(past->get()), -EIO);
  auto beyond = pages.request_for(BlockOp::Read, capacity(), 4096);
  ASSERT_TRUE(beyond.ok());
  EXPECT_EQ(serve(beyond->get()), -EIO);
  EXPECT_TRUE(g_calls.empty());

  // A start near 2^64 must not wrap around into range.
  auto wrapping = pages.request_for(BlockOp::Write, ~0ull, 2048);
  ASSERT_TRUE(wrapping.ok());
  EXPECT_EQ(serve(wrapping->get()), -EIO);
  EXPECT_TRUE(g_calls.empty());

  // Discards and requests that carry no sectors are refused too.
  BlockRequest discard = BlockRequest::discard(8, 8);
  EXPECT_EQ(serve(discard.get()), -EIO);
  auto other = pages.request_for(BlockOp::Write, 8, 4096);
  ASSERT_TRUE(other.ok());
  other->get()->cmd_type = REQ_TYPE_BLOCK_PC;
  EXPECT_EQ(serve(other->get()), -EIO);
  EXPECT_TRUE(g_calls.empty());

  auto last = pages.request_for(BlockOp::Write, capacity() - 8, 4096);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(serve(last->get()), 0);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].sector, capacity() - 8);
}

// Pages next to each other in memory make one run, pages apart one run
// each, whatever the pieces the request is cut into.
TEST_F(RequestHook, RunsFollowTheLayoutOfThePages) {
  struct Case {
    size_t pages;
    bool (*follows)(size_t);
    BlockOp op;
    size_t bytes, piece;
    std::vector<std::pair<uint32, size_t>> runs;  // (sectors, first page)
  };
  const Case cases[] = {
      {2, [](size_t) { return false; }, BlockOp::Write, 8192, 4096, {{8, 0}, {8, 1}}},
      {2, [](size_t) { return true; }, BlockOp::Read, 8192, 1024, {{16, 0}}},
      {4,
       [](size_t i) { return i != 1; },
       BlockOp::Write,
       4 * 4096 - 1024,
       2048,
       {{16, 0}, {14, 2}}},
  };
  for (const Case& c : cases) {
    g_calls.clear();
    PageBuffer pages(c.pages, c.follows);
    auto rq = pages.request_for(c.op, 40, c.bytes, c.piece);
    ASSERT_TRUE(rq.ok());
    EXPECT_EQ(serve(rq->get()), 0);
    ASSERT_EQ(g_calls.size(), c.runs.size());
    unsigned long sector = 40;
    for (size_t i = 0; i < c.runs.size(); ++i) {
      EXPECT_EQ(g_calls[i].sector, sector);
      EXPECT_EQ(g_calls[i].count, c.runs[i].first);
      EXPECT_EQ(g_calls[i].buf, pages.page(c.runs[i].second).data());
      EXPECT_EQ(g_calls[i].write, c.op == BlockOp::Write);
      sector += c.runs[i].first;
    }
    EXPECT_EQ(blk->req, rq->get());
  }
  // A zero-length request makes one empty call.
  g_calls.clear();
  auto empty = BlockRequest::over_pieces(BlockOp::Write, 12, {});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(serve(empty->get()), 0);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].sector, 12u);
  EXPECT_EQ(g_calls[0].count, 0u);
}

TEST_F(RequestHook, AFailingRunEndsTheRequestWithAnError) {
  PageBuffer pages = PageBuffer::scattered(3);
  auto rq = pages.request_for(BlockOp::Write, 0, 3 * 4096);
  ASSERT_TRUE(rq.ok());
  g_fail_call = 1;
  EXPECT_EQ(serve(rq->get()), -EIO);
  EXPECT_EQ(g_calls.size(), 2u);  // the first run was handed over, the third never

  g_calls.clear();
  g_fail_call = 0;
  auto read = pages.request_for(BlockOp::Read, 0, 3 * 4096);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(serve(read->get()), -EIO);
  EXPECT_EQ(g_calls.size(), 1u);
}

// The request path sets the queue up when the add did not, and refuses the
// request when it cannot.
TEST_F(RequestHook, TheQueueIsSetUpOnTheRequestPathOrTheRequestRefused) {
  LogCapture log;
  kfree(blk->bounce_sg);
  blk->bounce_sg = nullptr;
  blk->queue = nullptr;
  PageBuffer pages = PageBuffer::contiguous(1);
  auto rq = pages.request_for(BlockOp::Write, 0, 4096);
  ASSERT_TRUE(rq.ok());
  EXPECT_EQ(serve(rq->get()), 0);
  EXPECT_NE(blk->bounce_sg, nullptr);
  EXPECT_EQ(blk->queue, blk->mbd.rq);
  EXPECT_EQ(g_calls.size(), 1u);
  EXPECT_FALSE(log.contains("already init"));

  g_calls.clear();
  kfree(blk->bounce_sg);
  blk->bounce_sg = nullptr;
  kalloc_fail_nth(1);
  EXPECT_EQ(serve(rq->get()), -EIO);
  kalloc_fail_nth(0);
  EXPECT_EQ(log.count("_nftl_init_bounce_buf  failed\n"), 1u);
  EXPECT_TRUE(blk_queue_dead(blk->mbd.rq));
  // The cleaned-up queue takes nothing more, here or through the disk.
  EXPECT_EQ(serve(rq->get()), -EIO);
  std::vector<uint8_t> data(512);
  EXPECT_EQ(SystemRig::disk("media")->read(0, data), -EIO);
  EXPECT_TRUE(g_calls.empty());
}

// ---------------------------------------------------------------------------
// The worker, flush, release, reboot and removal.
// ---------------------------------------------------------------------------

TEST(Worker, FlushesAfterMoreThanSevenIdleSeconds) {
  KernelTestClock clock(1000);
  LogCapture log;
  SystemRig rig;
  ASSERT_EQ(rig.start(), 0);
  nyx_nftl_blk_t* blk = SystemRig::blk("media");
  task_struct* worker = blk->nftl_thread;
  ASSERT_TRUE(kthread_wait_asleep(worker, 1));
  ASSERT_EQ(SystemRig::disk("media")->write(1, pattern(512, 1)), 0);
  ASSERT_EQ(dirty_pages(blk), 1);
  EXPECT_EQ(blk->ts_write_start.tv_sec, 1000);

  unsigned long sleeps = kthread_sleep_count(worker);
  clock.set(1007, 500000000);
  ASSERT_TRUE(kthread_wait_asleep(worker, sleeps + 1));
  EXPECT_EQ(dirty_pages(blk), 1);
  EXPECT_FALSE(log.contains("nyx_nftl_thread flush cache data"));

  sleeps = kthread_sleep_count(worker);
  clock.set(1008, 500000000);
  ASSERT_TRUE(kthread_wait_asleep(worker, sleeps + 1));
  EXPECT_EQ(dirty_pages(blk), 0);
  EXPECT_EQ(log.count("nyx_nftl_thread flush cache data: 1\n"), 1u);

  // An empty write list is never flushed, however long the quiet lasts.
  for (int round = 0; round < 3; ++round) {
    sleeps = kthread_sleep_count(worker);
    clock.advance_sec(100);
    ASSERT_TRUE(kthread_wait_asleep(worker, sleeps + 1));
  }
  EXPECT_FALSE(log.contains("flush cache data: 0"));
}

std::atomic<int> g_syncs{0};
void counting_sync(mtd_info*) { ++g_syncs; }

TEST(Worker, FlushWritesTheCacheAndSyncsReleaseOnlyWrites) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig;
  mtd_info* mtd = rig.mtd("NFTL_Part");
  auto original_sync = mtd->sync;
  mtd->sync = counting_sync;
  g_syncs = 0;
  ASSERT_EQ(rig.start(), 0);
  nyx_nftl_blk_t* blk = SystemRig::blk("media");
  auto disk = SystemRig::disk("media");
  ASSERT_EQ(disk->write(5, pattern(1024, 4)), 0);
  ASSERT_EQ(dirty_pages(blk), 1);
  EXPECT_EQ(disk->flush(), 0);
  EXPECT_EQ(log.count("nyx_nftl_flush cache data: 1\n"), 1u);
  EXPECT_EQ(g_syncs.load(), 1);
  EXPECT_EQ(dirty_pages(blk), 0);

  // The last release writes the cache without a sync.
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(disk->write(2, pattern(512, 6)), 0);
  EXPECT_EQ(disk->release(), 0);
  EXPECT_EQ(log.count("nyx_nftl_release flush cache data: 1\n"), 1u);
  EXPECT_EQ(dirty_pages(blk), 0);
  EXPECT_EQ(g_syncs.load(), 1);

  mtd->sync = nullptr;  // a device without sync is only flushed
  ASSERT_EQ(disk->write(9, pattern(512, 5)), 0);
  EXPECT_EQ(disk->flush(), 0);
  EXPECT_EQ(dirty_pages(blk), 0);
  mtd->sync = original_sync;
}

TEST(Worker, ARebootFlushesEveryDeviceAndStopsItsWorker) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig;
  ASSERT_EQ(rig.start(), 0);
  ASSERT_EQ(SystemRig::disk("media")->write(1, pattern(512, 7)), 0);
  ASSERT_EQ(SystemRig::disk("data")->write(1, pattern(1024, 8)), 0);
  EXPECT_EQ(run_reboot_notifiers(SYS_RESTART), 0);
  EXPECT_EQ(log.count("nyx_nftl_reboot_notifier flush cache data: 1\n"), 2u);
  EXPECT_EQ(log.count("nyx_nftl_reboot_notifier flush cache data: 0\n"), 2u);
  for (const char* name : {"system", "cache", "media", "data"}) {
    EXPECT_EQ(SystemRig::blk(name)->nftl_thread, nullptr) << name;
    EXPECT_EQ(dirty_pages(SystemRig::blk(name)), 0) << name;
  }
  // A second notification only flushes; the disks still serve requests.
  log.clear();
  ASSERT_EQ(SystemRig::disk("media")->write(3, pattern(512, 9)), 0);
  nyx_nftl_blk_t* blk = SystemRig::blk("media");
  EXPECT_EQ(nyx_nftl_reboot_notifier(&blk->nb, SYS_RESTART, nullptr), 0);
  EXPECT_EQ(log.count("nyx_nftl_reboot_notifier flush cache data: 1\n"), 1u);
  std::vector<uint8_t> back(512);
  ASSERT_EQ(SystemRig::disk("media")->read(3, back), 0);
  EXPECT_EQ(back, pattern(512, 9));
}

TEST(Worker, TheRebootHandlerPassesAFailedFlushOn) {
  KernelTestClock clock;
  QuietLog quiet;
  SystemRig rig;
  ASSERT_EQ(rig.start(), 0);
  nyx_nftl_blk_t* blk = SystemRig::blk("cache");
  ASSERT_EQ(SystemRig::disk("cache")->write(1, pattern(512, 10)), 0);
  rig.chip().set_program_fail_rate(1.0);
  EXPECT_NE(nyx_nftl_reboot_notifier(&blk->nb, SYS_RESTART, nullptr), 0);
  rig.chip().clear_faults();
  EXPECT_EQ(blk->nftl_thread, nullptr);
}

TEST(Removal, RemovalStopsTheWorkerAndKeepsWhatTheCacheHeld) {
  KernelTestClock clock;
  LogCapture log;
  SystemRig rig;
  ASSERT_EQ(rig.start(), 0);
  ASSERT_EQ(SystemRig::disk("media")->write(7, pattern(1024, 11)), 0);
  ASSERT_EQ(dirty_pages(SystemRig::blk("media")), 2);  // sectors 7 and 8 lie in two pages
  mtd_info* mtd = rig.mtd("NFTL_Part");
  ASSERT_EQ(del_mtd_device(mtd), 0);
  EXPECT_EQ(blktrans_find_disk("media"), nullptr);
  // The removed device's handler is gone with it.
  EXPECT_EQ(run_reboot_notifiers(SYS_RESTART), 0);
  EXPECT_EQ(log.count("nyx_nftl_reboot_notifier flush cache data: 0\n"), 3u);

  ASSERT_EQ(add_mtd_device(mtd), 0);
  std::vector<uint8_t> back(1024);
  ASSERT_EQ(SystemRig::disk("media")->read(7, back), 0);
  EXPECT_EQ(back, pattern(1024, 11));
}

TEST(Removal, RepeatedAddRebootAndRemoveCyclesEndCleanly) {
  // The clock stands still: a worker that missed its stop (one arriving
  // just before it went to sleep) would sleep for ever and the stop would
  // never return.
  KernelTestClock clock;
  QuietLog quiet;
  SystemRig rig("-(cache)", 32, 16);
  ASSERT_EQ(rig.start(), 0);
  mtd_info* mtd = rig.mtd("cache");
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(del_mtd_device(mtd), 0);
    ASSERT_EQ(add_mtd_device(mtd), 0);
    if (i % 2 == 0) {
      ASSERT_EQ(run_reboot_notifiers(SYS_RESTART), 0);
      ASSERT_EQ(SystemRig::blk("cache")->nftl_thread, nullptr);
    }
  }
}

// ---------------------------------------------------------------------------
// Debug attributes through the class registry.
// ---------------------------------------------------------------------------

class DebugAttributes : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(rig.start(), 0); }

  int write_table(const std::string& text) {
    log.clear();
    return class_attr_write("nyx_nftl", "table", text, /*privileged=*/true);
  }
  std::vector<std::string> table_lines() {
    std::vector<std::string> out;
    for (const std::string& line : log.lines()) {
      if (line.rfind("page:", 0) == 0) out.push_back(line);
    }
    return out;
  }

  KernelTestClock clock;
  SystemRig rig;
  LogCapture log;
};

TEST_F(DebugAttributes, PartAndListReadEmptyAndLogInstead) {
  EXPECT_EQ(class_list(), (std::vector<std::string>{"nyx_nftl", "nyx_userdata"}));
  std::string text = "unread";
  log.clear();
  ASSERT_EQ(class_attr_read("nyx_nftl", "part", &text), 0);
  EXPECT_EQ(text, "");
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[0], "part->nand_chip->blk_per_chip: 56 \n");
  EXPECT_EQ(lines[3], "part->part_no: 3 \n");
  for (const std::string& line : lines) EXPECT_EQ(line.rfind("part->", 0), 0u) << line;

  log.clear();
  text = "unread";
  ASSERT_EQ(class_attr_read("nyx_userdata", "list", &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_FALSE(log.lines().empty());
}

TEST_F(DebugAttributes, CollectionByHandYieldsEmptyText) {
  auto disk = SystemRig::disk("media");
  for (int round = 0; round < 3; ++round) {
    for (uint32_t lp = 0; lp < 40; ++lp)
      ASSERT_EQ(disk->write(lp * 4, pattern(2048, lp + round)), 0);
  }
  std::string text = "unread";
  ASSERT_EQ(class_attr_read("nyx_nftl", "gcone", &text), 0);
  EXPECT_EQ(text, "");
  ASSERT_EQ(class_attr_read("nyx_nftl", "gcall", &text), 0);
  EXPECT_EQ(text, "");
  std::vector<uint8_t> back(2048);
  for (uint32_t lp = 0; lp < 40; ++lp) {
    ASSERT_EQ(disk->read(lp * 4, back), 0);
    EXPECT_EQ(back, pattern(2048, lp + 2)) << lp;
  }
}

TEST_F(DebugAttributes, TableLogsFiveHundredTwelveEntriesFromTheWrittenPage) {
  auto disk = SystemRig::disk("media");
  ASSERT_EQ(disk->write(0x100 * 4, pattern(2048, 12)), 0);  // logical page 0x100
  const _nand_page entry = SystemRig::blk("media")->nyx_nftl_part->part_logic_page_map[0x100];

  EXPECT_EQ(class_attr_write("nyx_nftl", "table", "100"), -EACCES);  // mode 0444
  ASSERT_EQ(write_table("100"), 0);
  std::vector<std::string> lines = table_lines();
  ASSERT_EQ(lines.size(), 512u);
  char expected[64];
  std::snprintf(expected, sizeof expected, "page: 100 -> [%4x][%4x]\n", entry.blkNO_in_chip,
                entry.Page_NO);
  EXPECT_EQ(lines[0], expected);
  EXPECT_EQ(lines[1], "page: 101 -> [ffff][ffff]\n");
  EXPECT_EQ(lines[511], "page: 2ff -> [ffff][ffff]\n");
}

TEST_F(DebugAttributes, TableStaysWithinTheMapAndRefusesNonHexText) {
  // The map holds 0x300 pages.
  ASSERT_EQ(nyx_nftl_logic_pages(SystemRig::blk("media")->nyx_nftl_part), 0x300u);
  ASSERT_EQ(write_table("0x2fe\n"), 0);
  EXPECT_EQ(table_lines(), (std::vector<std::string>{"page: 2fe -> [ffff][ffff]\n",
                                                     "page: 2ff -> [ffff][ffff]\n"}));
  EXPECT_EQ(write_table("300"), -EINVAL);
  EXPECT_TRUE(table_lines().empty());
  EXPECT_TRUE(log.contains("beyond the map"));
  EXPECT_EQ(write_table("1000000000"), -EINVAL);
  EXPECT_TRUE(table_lines().empty());
  EXPECT_TRUE(log.contains("beyond the map"));
  for (const char* text : {"zz", "", "-", " \n", "x1"}) {
    EXPECT_EQ(write_table(text), -EINVAL) << text;
    EXPECT_TRUE(table_lines().empty()) << text;
    EXPECT_TRUE(log.contains("not a hexadecimal page number")) << text;
  }
}

TEST_F(DebugAttributes, AttributesRunSafelyBesideRequestsAndTheWorker) {
  QuietLog quiet;
  auto disk = SystemRig::disk("media");
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint32_t i = 0; i < 300; ++i) {
      const uint32_t sector = (i * 37) % 3000;
      if (disk->write(sector, pattern(1536, i)) != 0) ADD_FAILURE() << "write " << i;
    }
    done = true;
  });
  std::string text;
  while (!done) {
    EXPECT_EQ(class_attr_read("nyx_nftl", "part", &text), 0);
    EXPECT_EQ(class_attr_read("nyx_nftl", "list", &text), 0);
    EXPECT_EQ(class_attr_read("nyx_nftl", "gcone", &text), 0);
    EXPECT_EQ(class_attr_write("nyx_nftl", "table", "0", true), 0);
    clock.advance_sec(3);
  }
  writer.join();
}

// ---------------------------------------------------------------------------
// Diagnostics and self-tests, on a device record without the layer.
// ---------------------------------------------------------------------------

TEST(Diagnostics, PrintPartShowsMinusOneWithoutACurrentBlock) {
  BlkRig r;
  _phy_block_info* current = r.part()->part_current_used_block;
  r.part()->part_current_used_block = nullptr;
  LogCapture log;
  print_part(r.part());
  r.part()->part_current_used_block = current;
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[22], "part->part_current_used_block: 0 \n");
  EXPECT_EQ(lines[23], "part->part_current_used_block->phy_block.blkNO_in_chip: -1 \n");
}

TEST(Diagnostics, Test0SkipsBadBlocksReportsWrongOnesAndErasesEveryBlockAfterwards) {
  BlkRig r;
  const auto before = r.chip().counters();
  std::vector<uchar> buf(r.page_size());
  LogCapture log;
  // Over no blocks, or more than the partition has.
  EXPECT_EQ(test0(r.blk, buf.data(), 0), 0);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"test0 ok ! end page: 0\n"}));
  log.clear();
  EXPECT_EQ(test0(r.blk, buf.data(), 1000), 0);
  EXPECT_EQ(log.lines().back(), "test0 ok ! end page: 40\n");
  EXPECT_EQ(r.chip().counters().erases - before.erases, 80u);

  r.chip().mark_bad(1);
  log.clear();
  EXPECT_EQ(test0(r.blk, buf.data(), 3), 0);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"ok block :0\n", "bad block :1\n",
                                                   "ok block :2\n", "test0 ok ! end page: 3\n"}));
  for (uint16_t b : {0, 2}) {
    const uint8_t* raw = r.rig.raw_main(b, 0);
    EXPECT_TRUE(std::all_of(raw, raw + r.page_size(), [](uint8_t x) { return x == 0xFF; })) << b;
  }
  // A block that reads back wrong is reported; every block is still erased.
  r.chip().fail_program_at(r.rig.abs_page(3, 0));
  r.chip().reset_counters();
  log.clear();
  EXPECT_EQ(test0(r.blk, buf.data(), 5), 1);
  r.chip().clear_faults();
  EXPECT_EQ(log.count("error block: 3\n"), 1u);
  EXPECT_EQ(log.count("ok block :4\n"), 1u);
  EXPECT_EQ(log.lines().back(), "test0 ok ! end page: 5\n");
  for (uint32_t b : {0, 2, 3, 4}) EXPECT_EQ(r.chip().block_counters(b).erases, 2u) << b;
}

TEST(Diagnostics, Test1WritesAndChecksEveryLogicalPage) {
  BlkRig r(16, 52);  // 20 logical blocks of 16 pages
  ASSERT_EQ(nyx_nftl_logic_pages(r.part()), 320u);
  r.part()->logic_cap_in_sects = 300 * 4;  // the disk's first 300 pages
  std::vector<uchar> buf(r.page_size());
  LogCapture log;
  EXPECT_EQ(test1(r.blk, buf.data()), 0);
  EXPECT_EQ(log.count("1/"), 2u);
  EXPECT_EQ(log.count("test1 ok ! end page: 300\n"), 1u);
  EXPECT_EQ(log.count("part->logic_cap_in_sects: 1200 \n"), 1u);
  std::vector<uchar> page(r.page_size());
  ASSERT_EQ(nand_read_logic_page(r.part(), 258, page.data()), 0u);
  EXPECT_EQ(page[0], 1);
  EXPECT_EQ(page[1], 0);
  EXPECT_EQ(page[2], 1);
  EXPECT_EQ(page[3], 2);
  EXPECT_EQ(page[4], 0xFF);

  // A partition without pages: nothing is written.
  r.part()->logic_cap_in_sects = 0;
  r.chip().reset_counters();
  log.clear();
  EXPECT_EQ(test1(r.blk, buf.data()), 0);
  EXPECT_EQ(log.lines().back(), "test1 ok ! end page: 0\n");
  EXPECT_EQ(r.chip().counters().programs, 0u);
}

uint32_t g_reads_seen = 0;
uint32_t g_last_read = 0;
uint32 corrupt_page_seven(nyx_nftl_part_t* part, uint32 page_no, uchar* buf) {
  ++g_reads_seen;
  g_last_read = page_no;
  uint32 ret = nand_read_logic_page(part, page_no, buf);
  if (page_no == 7) buf[3] = 0x99;
  return ret;
}

TEST(Diagnostics, Test1StopsAtTheFirstMismatch) {
  BlkRig r;
  r.part()->nand_read_logic_page = corrupt_page_seven;
  g_reads_seen = 0;
  std::vector<uchar> buf(r.page_size());
  LogCapture log;
  EXPECT_EQ(test1(r.blk, buf.data()), 1);
  EXPECT_EQ(log.count("error page: 7,[1][0][0][99]\n"), 1u);
  EXPECT_EQ(g_reads_seen, 8u);
  EXPECT_EQ(g_last_read, 7u);
  EXPECT_FALSE(log.contains("test1 ok"));
}

TEST(Diagnostics, NandTestRunsTheChosenTestWithABufferOfItsOwn) {
  BlkRig r;
  LogCapture log;
  EXPECT_EQ(nand_test(r.blk, 0, 2), 0);
  EXPECT_EQ(log.lines().front(), "test0 \n");
  EXPECT_EQ(log.lines().back(), "test0 ok ! end page: 2\n");

  log.clear();
  kalloc_fail_nth(1);
  EXPECT_EQ(nand_test(r.blk, 1, 0), -ENOMEM);
  kalloc_fail_nth(0);
  EXPECT_TRUE(log.lines().empty());
}

// ---------------------------------------------------------------------------
// A model test: random sector reads and writes on two disks at once, with
// the workers running, and flushes, reboots, removals and re-adds between
// the rounds.
// ---------------------------------------------------------------------------

class DiskModel {
 public:
  DiskModel(std::string name, uint64_t sectors, uint32_t seed)
      : name_(std::move(name)), data_(sectors * 512, 0xFF), rng_(seed) {}

  const std::string& name() const { return name_; }

  // `ops` random requests on the disk named name(); false on the first
  // difference from the model (with a message in `why`).
  bool run(int ops, std::string* why) {
    auto disk = SystemRig::disk(name_);
    const uint64_t sectors = data_.size() / 512;
    for (int op = 0; op < ops; ++op) {
      const uint64_t start = pick(0, sectors - 1);
      const uint64_t count = pick(1, std::min<uint64_t>(96, sectors - start));
      const size_t bytes = count * 512;
      const size_t page_count = (bytes + 4095) / 4096;
      const int layout = static_cast<int>(pick(0, 2));
      std::vector<bool> follows(page_count);
      for (size_t i = 0; i < page_count; ++i)
        follows[i] = layout == 0 || (layout == 2 && pick(0, 1) == 1);
      PageBuffer pages(page_count, [&](size_t i) { return bool(follows[i]); });
      const size_t piece = 512 * pick(1, 8);
      const uint64_t choice = pick(0, 99);
      if (choice < 55) {
        std::vector<uint8_t> payload(bytes);
        for (auto& b : payload) b = static_cast<uint8_t>(rng_());
        pages.copy_in(payload);
        auto rq = pages.request_for(BlockOp::Write, start, bytes, piece);
        if (!rq.ok() || disk->submit(rq->get()) != 0) return fail(why, "write", start, count);
        std::copy(payload.begin(), payload.end(), data_.begin() + start * 512);
      } else if (choice < 97) {
        auto rq = pages.request_for(BlockOp::Read, start, bytes, piece);
        if (!rq.ok() || disk->submit(rq->get()) != 0) return fail(why, "read", start, count);
        std::vector<uint8_t> back(bytes);
        pages.copy_out(back);
        if (!std::equal(back.begin(), back.end(), data_.begin() + start * 512)) {
          return fail(why, "data differs", start, count);
        }
      } else if (disk->flush() != 0) {
        return fail(why, "flush", 0, 0);
      }
      if (!pages.guards_intact()) return fail(why, "guard page overwritten", start, count);
    }
    return true;
  }

  // Reads the whole disk back and compares it with the model.
  bool verify(std::string* why) {
    auto disk = SystemRig::disk(name_);
    std::vector<uint8_t> back(64 * 1024);
    for (size_t at = 0; at < data_.size(); at += back.size()) {
      const size_t bytes = std::min(back.size(), data_.size() - at);
      std::span<uint8_t> chunk(back.data(), bytes);
      if (disk->read(at / 512, chunk) != 0) return fail(why, "verify read", at / 512, bytes / 512);
      if (!std::equal(chunk.begin(), chunk.end(), data_.begin() + at)) {
        return fail(why, "verify differs", at / 512, bytes / 512);
      }
    }
    return true;
  }

 private:
  uint64_t pick(uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
  }
  bool fail(std::string* why, const char* what, uint64_t start, uint64_t count) {
    *why = name_ + ": " + what + " at sector " + std::to_string(start) + ", " +
           std::to_string(count) + " sectors";
    return false;
  }

  std::string name_;
  std::vector<uint8_t> data_;
  std::mt19937_64 rng_;
};

TEST(Model, RandomRequestsMatchTheModelAcrossFlushesRebootsAndReattach) {
  KernelTestClock clock;
  QuietLog quiet;
  SystemRig rig;
  ASSERT_EQ(rig.start(), 0);
  std::vector<DiskModel> models;
  models.emplace_back("media", SystemRig::disk("media")->capacity(), 20240601);
  models.emplace_back("data", SystemRig::disk("data")->capacity(), 7);
  const std::vector<std::string> partitions = {"NFTL_Part", "userdata"};

  std::mt19937 rng(99);
  for (int round = 0; round < 4; ++round) {
    std::atomic<int> running{static_cast<int>(models.size())};
    std::vector<std::string> why(models.size());
    std::vector<char> ok(models.size(), 1);
    std::vector<std::thread> threads;
    for (size_t m = 0; m < models.size(); ++m) {
      threads.emplace_back([&, m] {
        ok[m] = models[m].run(250, &why[m]);
        --running;
      });
    }
    // Time passes while the requests run: the workers wake, collect and,
    // after quiet spells, flush.
    while (running > 0) {
      clock.advance_sec(std::uniform_int_distribution<int>(1, 9)(rng));
      std::this_thread::yield();
    }
    for (auto& t : threads) t.join();
    for (size_t m = 0; m < models.size(); ++m)
      ASSERT_TRUE(ok[m]) << "round " << round << ": " << why[m];

    // Between rounds: an orderly shutdown of the two devices and a fresh
    // attach, which rebuilds everything from the flash.
    if (round % 2 == 1) {
      run_reboot_notifiers(SYS_RESTART);
      for (const std::string& p : partitions) ASSERT_EQ(del_mtd_device(rig.mtd(p)), 0);
      for (const std::string& p : partitions) ASSERT_EQ(add_mtd_device(rig.mtd(p)), 0);
    }
    for (DiskModel& model : models) {
      std::string reason;
      ASSERT_TRUE(model.verify(&reason)) << "round " << round << ": " << reason;
    }
  }
}

}  // namespace
