// The block layer and the block-translation layer: checking requests, the
// scatter mapping's limits, queue limits and the cutting of requests to
// them; tables offered MTD devices, disks added, named and removed, and
// requests, open, release and flush served through a table's hooks. The
// runs a real table makes of each layout are the core's tests (test_block_mt).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/block/blktrans.h"
#include "platform/block/blktrans_disk.h"
#include "platform/block/block_request.h"
#include "platform/kernel/kernel.h"

namespace {

using Names = std::vector<std::string>;
using Sizes = std::vector<unsigned>;
using Served = std::vector<std::pair<sector_t, unsigned>>;  // sector, sectors (0: a read)

// A buffer of layout.size() + 1 pages: '+' where a page follows the one
// before it in memory, '|' where it does not.
PageBuffer laid_out(const std::string& layout) {
  return PageBuffer(layout.size() + 1, [layout](size_t i) { return layout[i] == '+'; });
}

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 512);
  return v;
}

// Calls fn(start, length) for every piece of a request, bio after bio.
template <class Fn>
void for_each_piece(request* rq, Fn&& fn) {
  for (bio* b = rq->bio; b != nullptr; b = b->bi_next) {
    for (unsigned short i = 0; i < b->bi_vcnt; ++i) {
      fn(b->bi_io_vec[i].bv_page + b->bi_io_vec[i].bv_offset, b->bi_io_vec[i].bv_len);
    }
  }
}

}  // namespace

TEST(BlockRequest, PiecesAndLengthsMustAgree) {
  std::vector<uint8_t> data(2 * 4096 + 1024);
  auto req = BlockRequest::over_buffer(BlockOp::Write, 40, data);
  request* rq = req->get();
  ASSERT_EQ(rq->bio->bi_vcnt, 3);  // cut into pages from the first byte on
  EXPECT_EQ(blk_rq_check(rq), 0);
  rq->__data_len = 8192;  // pieces say 9216
  EXPECT_EQ(blk_rq_check(rq), -EINVAL);
  rq->__data_len = 9216;
  rq->bio->bi_io_vec[1].bv_len = 4000;  // pieces not of whole sectors, though their total is
  rq->bio->bi_io_vec[2] = {data.data(), 1120, 0};
  EXPECT_EQ(blk_rq_check(rq), -EINVAL);
  EXPECT_EQ(blk_rq_check(BlockRequest::discard(64, 24).get()), 0);  // no pieces to agree with
}

TEST(BlockMapping, AdjacentPiecesMakeOneEntryWithinTheQueueLimits) {
  const std::tuple<const char*, size_t, size_t, unsigned, unsigned short, Sizes> rows[] = {
      // layout, piece size, pieces per bio, max segment size, max segments: entries
      {"+|+", 1024, 1, 0, 0, {8192, 8192}},     // runs across bios
      {"+++", 4096, 0, 8192, 0, {8192, 8192}},  // up to the segment size
      {"|||", 4096, 0, 0, 2, {4096, 4096}},     // never more entries than allowed, no old end
  };
  std::vector<scatterlist> table(8);  // one table for all
  sg_init_table(table.data(), 8);
  for (const auto& [layout, piece, per_bio, segment_size, segments, lengths] : rows) {
    SCOPED_TRACE(layout);
    request_queue q;
    if (segment_size != 0) blk_queue_max_segment_size(&q, segment_size);
    if (segments != 0) blk_queue_max_segments(&q, segments);
    PageBuffer buf = laid_out(layout);
    auto req =
        BlockRequest::over_pieces(BlockOp::Read, 0, buf.pieces(buf.size(), piece).value(), per_bio);
    ASSERT_EQ(blk_rq_map_sg(&q, req->get(), table.data()), int(lengths.size()));
    for (size_t i = 0, offset = 0; i < lengths.size(); offset += lengths[i++]) {
      EXPECT_EQ(table[i].length, lengths[i]) << i;
      EXPECT_EQ(sg_virt(&table[i]), buf.page(offset / 4096).data() + offset % 4096) << i;
      EXPECT_EQ(sg_is_last(&table[i]), i + 1 == lengths.size()) << i;
    }
    EXPECT_EQ(blk_rq_count_segments(&q, req->get()),
              buf.size() / lengths[0]);  // whatever the limit
  }
}

TEST(BlockQueue, RequestsAreCutToTheLimitsReadBeforeEachCut) {
  struct Row {
    const char* layout;
    unsigned max_sectors;
    unsigned short max_segments, then_segments;  // the limit a driver sets after each part
    int fail_at;                                 // the part that fails with -EIO, or -1
    Sizes parts;
  };
  const Row rows[] = {
      {"|||||||", 0, 0, 0, -1, {8 * 4096}},  // within the limits: whole
      {"+++", 12, 0, 0, -1, {6144, 6144, 4096}},
      {"|||+|||", 0, 3, 0, -1, {3 * 4096, 4 * 4096, 4096}},  // pages 3 and 4 share a segment
      {"|||||", 0, 1, 4, -1, {4096, 4 * 4096, 4096}},
      {"+++", 8, 0, 0, 1, {4096, 4096}},  // the first failure ends it
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.layout);
    request_queue lq;
    if (r.max_sectors != 0) blk_queue_max_hw_sectors(&lq, r.max_sectors);
    if (r.max_segments != 0) blk_queue_max_segments(&lq, r.max_segments);
    PageBuffer buf = laid_out(r.layout);
    const auto data = pattern(buf.size());
    buf.copy_in(data);
    Sizes parts;
    std::vector<uint8_t> joined;
    auto req = buf.request_for(BlockOp::Write, 1000, buf.size());
    int ret = blk_split_request(&lq, req->get(), [&](request* part) {
      EXPECT_EQ(blk_rq_pos(part), 1000 + joined.size() / 512);
      parts.push_back(blk_rq_bytes(part));
      for_each_piece(part,
                     [&](uint8_t* at, unsigned len) { joined.insert(joined.end(), at, at + len); });
      if (r.then_segments != 0) blk_queue_max_segments(&lq, r.then_segments);
      return int(parts.size()) - 1 == r.fail_at ? -EIO : 0;
    });
    EXPECT_EQ(ret, r.fail_at < 0 ? 0 : -EIO);
    EXPECT_EQ(parts, r.parts);
    if (r.fail_at < 0) {
      EXPECT_EQ(joined, data);  // every byte once, in order
    }
  }
  request_queue q;
  BlockRequest discard = BlockRequest::discard(0, 4096);  // discards are never cut
  EXPECT_EQ(
      blk_split_request(&q, discard.get(), [](request* rq) { return int(blk_rq_sectors(rq)); }),
      4096);
}

// ---------------------------------------------------------------------------
// The block-translation layer.
// ---------------------------------------------------------------------------

namespace {

struct TableState {
  Names offered, removed;  // MTD names offered to add_mtd; disks given to remove_dev
  bool remove_calls_del = true;
  int opens = 0, releases = 0;
  std::deque<mtd_blktrans_dev> devs;
  Served served;
};
TableState* g_state = nullptr;

mtd_blktrans_ops make_table(const char* name, int major) {
  mtd_blktrans_ops tr{};
  std::snprintf(tr.name, sizeof tr.name, "%s", name);
  tr.major = major;
  tr.part_bits = 2;
  tr.blksize = 512;
  tr.do_blktrans_request = [](mtd_blktrans_ops*, mtd_blktrans_dev*, request* req) {
    const bool counted = rq_data_dir(req) == WRITE || (req->cmd_flags & REQ_DISCARD);
    g_state->served.emplace_back(blk_rq_pos(req), counted ? blk_rq_sectors(req) : 0);
    return 0;
  };
  // A table without writesect makes read-only disks.
  tr.writesect = [](mtd_blktrans_dev*, unsigned long, char*) { return 0; };
  tr.flush = [](mtd_blktrans_dev*) { return 7; };
  tr.open = [](mtd_blktrans_dev*) { return ++g_state->opens, 0; };
  tr.release = [](mtd_blktrans_dev*) { return ++g_state->releases, 0; };
  tr.add_mtd = [](mtd_blktrans_ops* tr, mtd_info* mtd) {
    g_state->offered.push_back(mtd->name);
    mtd_blktrans_dev& dev = g_state->devs.emplace_back();
    dev.tr = tr;
    dev.mtd = mtd;
    dev.devnum = mtd->index;
    dev.size = mtd->size / tr->blksize;
    EXPECT_EQ(add_mtd_blktrans_dev(&dev), 0);
  };
  tr.remove_dev = [](mtd_blktrans_dev* dev) {
    g_state->removed.push_back(dev->disk_name);
    // Without the delete, the layer deletes the disk itself.
    EXPECT_EQ(g_state->remove_calls_del ? del_mtd_blktrans_dev(dev) : 0, 0);
  };
  return tr;
}

class Blktrans : public ::testing::Test {
 protected:
  void SetUp() override { g_state = &state; }
  void TearDown() override {
    for (mtd_blktrans_ops* table : registered) deregister_mtd_blktrans(table);
    for (auto& mtd : mtds) del_mtd_device(&mtd);
    EXPECT_TRUE(blktrans_list_disks().empty());
    g_state = nullptr;
  }
  mtd_info* add_mtd(const char* name, int index, uint64_t size = 64 * 1024) {
    mtd_info& mtd = mtds.emplace_back();
    mtd.type = MTD_NANDFLASH;
    mtd.name = name;
    mtd.index = index;
    mtd.size = size;
    EXPECT_EQ(add_mtd_device(&mtd), 0);
    return &mtd;
  }
  void register_table(mtd_blktrans_ops* table) {
    ASSERT_EQ(register_mtd_blktrans(table), 0);
    registered.push_back(table);
  }
  // The table `tr` registered over one MTD device: its disk.
  std::shared_ptr<BlockDisk> one_disk(uint64_t size = 64 * 1024) {
    register_table(&tr);
    add_mtd("m", 0, size);
    return blktrans_find_disk("data");
  }
  Names disk_names() {
    Names names;
    for (const auto& info : blktrans_list_disks()) names.push_back(info.name);
    return names;
  }

  TableState state;
  mtd_blktrans_ops tr = make_table("data", 250), big = make_table("big", 252);
  std::vector<mtd_blktrans_ops*> registered;
  std::deque<mtd_info> mtds;
};

}  // namespace

TEST_F(Blktrans, RegistrationAddingNamingAndRemovalOfDisks) {
  add_mtd("second", 5);
  add_mtd("first", 1);
  add_mtd("absent", 2)->type = MTD_ABSENT;   // never offered
  EXPECT_EQ(add_mtd("clash", 5)->index, 0);  // a taken index: the lowest free one
  EXPECT_EQ(add_mtd_device(&mtds[0]), -EEXIST);
  register_table(&tr);
  EXPECT_EQ(state.offered, (Names{"clash", "first", "second"}));  // in index order
  std::snprintf(tr.name, sizeof tr.name, "cache");  // the table's name at the add counts
  add_mtd("after", 3);
  EXPECT_EQ(disk_names(), (Names{"data", "data1", "data2", "cache"}));
  const BlockDiskInfo info = blktrans_list_disks()[3];
  EXPECT_EQ(std::make_tuple(info.mtd_name, info.sectors, info.first_minor),
            std::make_tuple("after", 128u, 12));  // devnum 3, 4 minors a disk
  ASSERT_EQ(del_mtd_device(&mtds[3]), 0);
  EXPECT_EQ(state.removed, (Names{"data"}));
  std::snprintf(tr.name, sizeof tr.name, "data");
  add_mtd("again", 9);  // a freed name is taken again
  EXPECT_EQ(disk_names(), (Names{"data1", "data2", "cache", "data"}));

  mtd_blktrans_ops same_major = make_table("other", 250), odd = make_table("odd", 251);
  odd.blksize = 1000;
  EXPECT_EQ(register_mtd_blktrans(&tr), -EBUSY);
  EXPECT_EQ(register_mtd_blktrans(&same_major), -EBUSY);
  EXPECT_EQ(register_mtd_blktrans(&odd), -EINVAL);
  EXPECT_EQ(deregister_mtd_blktrans(&odd), -ENOENT);

  // A second table, of 4096-byte blocks: offered every device; its disks'
  // capacity still counts 512-byte sectors.
  big.blksize = 4096;
  register_table(&big);
  auto disk = blktrans_find_disk("big3");
  EXPECT_EQ(disk->capacity(), 128u);

  // Deregistering removes the table's disks only; they refuse what comes after.
  auto gone = blktrans_find_disk("cache");
  ASSERT_EQ(deregister_mtd_blktrans(&tr), 0);
  EXPECT_EQ(state.removed, (Names{"data", "data1", "data2", "cache", "data"}));
  EXPECT_EQ(disk_names(), (Names{"big", "big1", "big2", "big3"}));
  uint8_t sector[512] = {};
  EXPECT_EQ(std::make_tuple(gone->removed(), gone->read(0, sector), gone->open(), gone->flush()),
            std::make_tuple(true, -ENODEV, -ENXIO, -ENODEV));
  state.offered.clear();
  add_mtd("late", 4);  // no longer offered to the deregistered table
  EXPECT_EQ(state.offered, (Names{"late"}));
  // A disk that remove_dev leaves behind is deleted by the layer.
  state.remove_calls_del = false;
  LogCapture log;
  ASSERT_EQ(deregister_mtd_blktrans(&big), 0);
  registered.clear();
  EXPECT_TRUE(blktrans_list_disks().empty());
  EXPECT_TRUE(log.contains("disk big behind"));
}

TEST_F(Blktrans, RequestsReachTheTableOnlyWithinTheDiskAndCutToItsLimits) {
  auto disk = one_disk(64 * 512);
  std::vector<uint8_t> data(3 * 4096), two(1024);
  ASSERT_EQ(disk->write(16, data), 0);
  EXPECT_EQ(disk->discard(0, 8), -EOPNOTSUPP);  // the table has no discard entry

  EXPECT_EQ(disk->read(63, two), -EIO);  // the last sector and one past the end
  EXPECT_EQ(disk->read(64, std::span(two).first(512)), -EIO);
  EXPECT_EQ(disk->read(0, std::span(two).first(100)), -EINVAL);
  auto bad = BlockRequest::over_buffer(BlockOp::Read, 0, two);
  bad->get()->__data_len = 512;  // pieces say 1024
  EXPECT_EQ(disk->submit(bad->get()), -EINVAL);
  EXPECT_EQ(disk->read(62, two), 0);  // the last two sectors
  blk_queue_max_hw_sectors(disk->queue(), 8);
  ASSERT_EQ(disk->write(20, std::span(data).first(20 * 512)), 0);
  EXPECT_EQ(state.served, (Served{{16, 24}, {62, 0}, {20, 8}, {28, 8}, {36, 4}}));
}

// A table with a discard entry gets a queue that announces discard; a long
// discard goes out in requests of the queue's discard limit.
TEST_F(Blktrans, DiscardsAreAnnouncedAndCutToTheQueueLimit) {
  tr.discard = [](mtd_blktrans_dev*, unsigned long, unsigned int) { return 0; };
  auto disk = one_disk(64 * 512);
  EXPECT_TRUE(queue_flag_test(QUEUE_FLAG_DISCARD, disk->queue()));
  blk_queue_max_discard_sectors(disk->queue(), 24);
  ASSERT_EQ(disk->discard(4, 60), 0);
  EXPECT_EQ(disk->discard(4, 61), -EIO);
  EXPECT_EQ(state.served, (Served{{4, 24}, {28, 24}, {52, 12}}));
}

TEST_F(Blktrans, FirstOpenLastReleaseAndFlushReachTheTable) {
  auto disk = one_disk();
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(disk->release(), 0);
  EXPECT_EQ(std::make_pair(state.opens, state.releases), std::make_pair(1, 0));
  ASSERT_EQ(disk->release(), 0);
  EXPECT_EQ(disk->release(), -EINVAL);  // not open
  EXPECT_EQ(state.releases, 1);
  EXPECT_EQ(disk->flush(), 7);  // the table's result
  tr.flush = nullptr;
  EXPECT_EQ(disk->flush(), 0);
  // Deleted while open: released once, and the opener's release reaches nothing.
  ASSERT_EQ(disk->open(), 0);
  ASSERT_EQ(del_mtd_device(&mtds[0]), 0);
  EXPECT_EQ(disk->release(), 0);
  EXPECT_EQ(state.releases, 2);
}
