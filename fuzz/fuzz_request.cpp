// Fuzz target: the block request path with arbitrary offsets, lengths and
// flags.
//
// The translation table is registered once per process, under a test clock
// that never moves (so each disk's worker makes one pass and then sleeps:
// runs are repeatable). Each input gets a fresh in-memory chip whose one
// partition, "cache", becomes a disk through the MTD registry, so a crash
// reproduces from its input alone. The input:
//
//   byte 0   geometry: 512- or 2048-byte pages (bit 0), 8 or 16 pages per
//            block (bit 1), 40 + (b >> 2) % 8 blocks
//   byte 1   bit 0: at the end, remove the device, add it again (a fresh
//            mount of the same flash) and compare the whole disk with the model
//   then up to 40 operations, each an operation byte and its arguments:
//     0 write, 1 read, 7 write then read back: through BlockDisk::submit,
//       over pieces of 1..8 sectors laid out contiguous, scattered or
//       mixed, in bios of 1..n pieces
//     2 discard through BlockDisk::submit (also in op 4, by its flag)
//     3 flush; 5 read the whole disk; 6 open or release the disk
//     4 a request built by hand (type, flags, start, byte length, pieces
//       and bios that need not agree with the length) handed straight to
//       the table's do_blktrans_request, which must refuse by itself what
//       the layer would have refused
//   Starts range over the disk, its last sectors, just past its end and
//   extreme values (near 2^64 included); lengths over 0..64 sectors and
//   values around the queue's limits and the disk's size.
//
// A model holds what every sector must read: 0xFF until written, then the
// data of the last successful write; 0xFF again once a discard covered its
// whole page. After the fresh mount a sector so discarded may read anything
// it held before (the copies of a trimmed page stay on the flash, and the
// scan may map one again): those sectors are not compared then. Reads that succeed must match it; a
// refused request must change nothing; a well-formed request inside the
// disk must succeed (the chip has no faults); one outside the disk, or one
// the driver cannot serve as it stands, must be refused.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "nyx_nftl/nyx_nftl.h"
#include "platform/block/blktrans_disk.h"
#include "platform/block/block_request.h"
#include "platform/kernel/ktime.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/mtdparts.h"
#include "platform/mtd/nand_sim.h"

namespace {

constexpr uint32_t kMaxOps = 40;
constexpr uint32_t kMaxSubmitSectors = 2048;  // memory a submitted request may cover
constexpr uint32_t kMaxDirectPieces = 72;     // past the queue's 64 segments now and then
constexpr char kPartitionName[] = "cache";

// The partition's disk, found by its MTD device's name.
std::shared_ptr<BlockDisk> find_disk() {
  for (const BlockDiskInfo& info : blktrans_list_disks()) {
    if (info.mtd_name == kPartitionName) return blktrans_find_disk(info.name);
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Requests from the input.
// ---------------------------------------------------------------------------

uint64_t start_from(fuzz::ByteReader& in, uint64_t capacity) {
  static constexpr uint64_t kExtreme[] = {
      ~uint64_t{0},      ~uint64_t{0} - 1,        ~uint64_t{0} - 7,    uint64_t{1} << 55,
      uint64_t{1} << 32, (uint64_t{1} << 32) - 1, (uint64_t{1} << 23), ~uint64_t{0} >> 9};
  const uint8_t how = in.u8() % 4;
  if (how == 0) return in.u16() % (capacity + 1);
  if (how == 1) return capacity - std::min<uint64_t>(capacity, in.u8() % 17);
  if (how == 2) return capacity + in.u8();
  const uint8_t pick = in.u8();
  return pick < 0x80 ? kExtreme[pick % 8] : in.u64();
}

uint32_t sectors_from(fuzz::ByteReader& in, uint64_t capacity) {
  const uint8_t b = in.u8();
  if (b < 200) return b % 65;
  const uint32_t cap = static_cast<uint32_t>(std::min<uint64_t>(capacity, kMaxSubmitSectors));
  const uint32_t kAround[] = {0, 1, 255, 256, 511, 512, 513, 1024, cap, cap + 1, cap - 1, 2048};
  return std::min(kAround[b % 12], kMaxSubmitSectors);
}

// How the data of a request lies in memory.
struct Layout {
  uint32_t piece_sectors;   // 1..8
  size_t pieces_per_bio;    // 0: all in one bio
  uint8_t follows_pattern;  // which pages follow the one before them
};

Layout layout_from(fuzz::ByteReader& in) {
  const uint8_t b = in.u8();
  return Layout{1u + (b & 7), static_cast<size_t>(b >> 5), in.u8()};
}

PageBuffer buffer_for(uint64_t bytes, const Layout& layout) {
  const size_t pages = std::max<size_t>(1, (bytes + PAGE_SIZE - 1) / PAGE_SIZE);
  const uint8_t pattern = layout.follows_pattern;
  if ((pattern & 3) == 0) return PageBuffer::contiguous(pages);
  if ((pattern & 3) == 1) return PageBuffer::scattered(pages);
  return PageBuffer(pages, [pattern](size_t i) { return ((pattern >> (i % 6 + 2)) & 1) != 0; });
}

// Data of a write: depends on the write and the position.
void fill_data(std::vector<uint8_t>& out, uint32_t stamp) {
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>(stamp * 0x9E + (i >> 9) * 31 + i * 7);
  }
}

bool in_disk(uint64_t start, uint64_t sectors, uint64_t capacity) {
  return start <= capacity && sectors <= capacity - start;
}

class Session {
 public:
  explicit Session(fuzz::ByteReader& in) : in_(in) {}

  // Adds the partition's MTD device: the table's add hook makes the disk.
  void add(nandsim::MtdPartition& partition) {
    partition_ = &partition;
    fuzz::require(add_mtd_device(partition.mtd()) == 0, "the MTD device is added");
    disk_ = find_disk();
    fuzz::require(disk_ != nullptr, "a fresh chip's partition becomes a disk");
    if (model_.empty()) {
      model_.assign(disk_->capacity() * SECTOR_SIZE, 0xFF);
      trimmed_.assign(disk_->capacity(), 0);
    } else {
      remounted_ = true;
    }
    fuzz::require(disk_->capacity() == capacity(), "the disk keeps its capacity");
    open_ = false;
  }
  // Removes it again: the remove hook flushes the cache and ends the disk.
  void remove() {
    fuzz::require(del_mtd_device(partition_->mtd()) == 0, "the MTD device is removed");
    fuzz::require(find_disk() == nullptr, "the disk is gone with its device");
    disk_.reset();
  }

  void run_ops() {
    uint32_t stamp = 1;
    for (uint32_t n = 0; n < kMaxOps && !in_.empty(); ++n, ++stamp) {
      const uint8_t op = in_.u8() % 8;
      switch (op) {
        case 0:
        case 7:
          submit_write(stamp, op == 7);
          break;
        case 1:
          submit_read(start_from(in_, capacity()), sectors_from(in_, capacity()), layout_from(in_));
          break;
        case 2:
          submit_discard();
          break;
        case 3:
          fuzz::require(disk_->flush() == 0, "a flush of a healthy chip succeeds");
          break;
        case 4:
          direct_request(stamp);
          break;
        case 5:
          read_whole_disk();
          break;
        case 6:
          fuzz::require((open_ ? disk_->release() : disk_->open()) == 0,
                        "the disk opens, and its last release succeeds");
          open_ = !open_;
          break;
      }
    }
  }

  void read_whole_disk() {
    const uint64_t cap = capacity();
    for (uint64_t at = 0; at < cap; at += kMaxSubmitSectors) {
      const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(kMaxSubmitSectors, cap - at));
      submit_read(at, n, Layout{8, 0, 0});
    }
  }

 private:
  // The model: what every sector must read, 0xFF until written, then the
  // data of the last successful write.
  uint64_t capacity() const { return model_.size() / SECTOR_SIZE; }
  void model_write(uint64_t sector, const uint8_t* bytes, uint64_t count) {
    if (count > 0) std::memcpy(model_.data() + sector * SECTOR_SIZE, bytes, count * SECTOR_SIZE);
    std::fill_n(trimmed_.begin() + static_cast<long>(sector), count, 0);
  }
  // A discard accepted by the disk: its whole pages read erased.
  void model_discard(uint64_t sector, uint64_t count) {
    auto* blk = nyx_nftl_blk_of(static_cast<mtd_blktrans_dev*>(disk_->queue()->queuedata));
    const uint64_t spp = blk->nyx_nftl_part->nand_chip->sector_per_page;
    const uint64_t first = (sector + spp - 1) / spp * spp, end = (sector + count) / spp * spp;
    for (uint64_t s = first; s < end; ++s) {
      std::fill_n(model_.begin() + static_cast<long>(s * SECTOR_SIZE), SECTOR_SIZE, 0xFF);
      trimmed_[s] = 1;
    }
  }
  bool model_matches(uint64_t sector, const uint8_t* bytes, uint64_t count) const {
    for (uint64_t i = 0; i < count; ++i) {
      if (remounted_ && trimmed_[sector + i]) continue;
      const uint8_t* want = model_.data() + (sector + i) * SECTOR_SIZE;
      if (std::memcmp(want, bytes + i * SECTOR_SIZE, SECTOR_SIZE) != 0) return false;
    }
    return true;
  }

  void submit_write(uint32_t stamp, bool read_back) {
    const uint64_t start = start_from(in_, capacity());
    const uint32_t sectors = sectors_from(in_, capacity());
    const Layout layout = layout_from(in_);
    std::vector<uint8_t> data(uint64_t{sectors} * SECTOR_SIZE);
    fill_data(data, stamp);
    const int ret = submit(BlockOp::Write, start, layout, data);
    if (!in_disk(start, sectors, capacity())) {
      fuzz::require(ret != 0, "a write past the disk's end is refused");
      return;
    }
    fuzz::require(ret == 0, "a write inside the disk succeeds");
    model_write(start, data.data(), sectors);
    if (read_back) submit_read(start, sectors, layout);
  }

  void submit_read(uint64_t start, uint32_t sectors, const Layout& layout) {
    std::vector<uint8_t> got(uint64_t{sectors} * SECTOR_SIZE);
    const int ret = submit(BlockOp::Read, start, layout, got);
    if (!in_disk(start, sectors, capacity())) {
      fuzz::require(ret != 0, "a read past the disk's end is refused");
      return;
    }
    fuzz::require(ret == 0, "a read inside the disk succeeds");
    fuzz::require(model_matches(start, got.data(), sectors), "a read returns what was written");
  }

  // A read or write through BlockDisk::submit over pieces laid out as
  // `layout` says, in bios of pieces_per_bio each; `data` is what a write
  // carries and receives what a read returns.
  int submit(BlockOp op, uint64_t start, const Layout& layout, std::vector<uint8_t>& data) {
    PageBuffer buf = buffer_for(data.size(), layout);
    buf.copy_in(data);
    auto pieces = buf.pieces(data.size(), layout.piece_sectors * SECTOR_SIZE);
    fuzz::require(pieces.ok(), "the harness cuts valid pieces");
    auto req = BlockRequest::over_pieces(op, start, pieces.value(), layout.pieces_per_bio);
    fuzz::require(req.ok(), "the harness builds a valid request");
    const int ret = disk_->submit(req->get());
    fuzz::require(buf.guards_intact(), "a request touches only its pages");
    buf.copy_out(data);
    return ret;
  }

  void submit_discard() {
    const uint64_t start = start_from(in_, capacity());
    const uint32_t sectors = sectors_from(in_, capacity());
    BlockRequest req = BlockRequest::discard(start, sectors);
    const int ret = disk_->submit(req.get());
    if (!in_disk(start, sectors, capacity())) {
      fuzz::require(ret != 0, "a discard past the end is refused");
      return;
    }
    fuzz::require(ret == 0, "a discard inside the disk succeeds");
    model_discard(start, sectors);
  }

  // A request put together field by field and handed to the driver without
  // the layer's checks and cutting.
  void direct_request(uint32_t stamp) {
    const uint8_t type_byte = in_.u8();
    const int cmd_type = (type_byte & 3) != 3 ? REQ_TYPE_FS : type_byte >> 2;
    const uint8_t flag_byte = in_.u8();
    unsigned int cmd_flags = flag_byte & REQ_WRITE;
    if (flag_byte & 0x80) cmd_flags |= REQ_DISCARD;
    if (flag_byte & 0x40) cmd_flags |= uint32_t{flag_byte} << 8;  // bits the driver does not know
    const uint64_t start = start_from(in_, capacity());
    const uint32_t piece_count = in_.u8() % (kMaxDirectPieces + 1);
    const Layout layout = layout_from(in_);
    const uint32_t piece_bytes = layout.piece_sectors * SECTOR_SIZE;
    const uint32_t total = piece_count * piece_bytes;
    // The length the request claims, against the `total` bytes its bios
    // carry: as much, less, more, any u32, not whole sectors, or nothing.
    const uint8_t len_how = in_.u8();
    const uint32_t k = len_how >> 3;
    const uint32_t less = total - std::min(total, k * SECTOR_SIZE);
    const uint32_t claims[] = {total, less, total + (1 + k) * SECTOR_SIZE, 0, total + 1 + k, 0};
    const uint32_t data_len = len_how % 6 == 3 ? in_.u32() : claims[len_how % 6];

    PageBuffer buf = buffer_for(total, layout);
    std::vector<uint8_t> data(buf.size());
    fill_data(data, stamp);
    buf.copy_in(data);
    auto pieces = buf.pieces(total, piece_bytes);
    fuzz::require(pieces.ok(), "the harness cuts valid pieces");
    std::vector<bio_vec> vecs;
    for (auto& p : pieces.value())
      vecs.push_back({p.data(), static_cast<unsigned int>(p.size()), 0});
    // Bios of pieces_per_bio pieces each (0: all in one); a discard without
    // pieces gets one bio that carries none.
    const size_t per_bio = layout.pieces_per_bio == 0 ? vecs.size() + 1 : layout.pieces_per_bio;
    const bool empty_discard = (cmd_flags & REQ_DISCARD) && vecs.empty();
    std::vector<bio> bios;
    sector_t at = start;
    for (size_t i = 0; i < vecs.size() || (empty_discard && bios.empty()); i += per_bio) {
      bio& b = bios.emplace_back();
      b.bi_sector = at;
      b.bi_io_vec = vecs.empty() ? nullptr : &vecs[i];
      b.bi_vcnt = static_cast<unsigned short>(std::min(per_bio, vecs.size() - i));
      for (unsigned short j = 0; j < b.bi_vcnt; ++j) b.bi_size += vecs[i + j].bv_len;
      if (vecs.empty()) b.bi_size = data_len;
      at += b.bi_size / SECTOR_SIZE;
    }
    for (size_t i = 0; i + 1 < bios.size(); ++i) bios[i].bi_next = &bios[i + 1];

    request rq{};
    rq.q = disk_->queue();
    rq.cmd_type = cmd_type;
    rq.cmd_flags = cmd_flags;
    rq.__sector = start;
    rq.__data_len = data_len;
    rq.bio = bios.empty() ? nullptr : &bios.front();
    rq.biotail = bios.empty() ? nullptr : &bios.back();

    const uint64_t sectors = data_len / SECTOR_SIZE;
    const bool discard = (cmd_flags & REQ_DISCARD) != 0;  // its pieces, if any, are ignored
    const bool must_fail = cmd_type != REQ_TYPE_FS || data_len % SECTOR_SIZE != 0 ||
                           !in_disk(start, sectors, capacity()) || (!discard && total < data_len);
    // Beyond the queue's segment limit the driver may map too little of the
    // request and refuse it; within it, a request it must take it serves.
    const bool must_succeed =
        !must_fail && (discard || blk_rq_count_segments(rq.q, &rq) <= queue_max_segments(rq.q));

    auto* dev = static_cast<mtd_blktrans_dev*>(rq.q->queuedata);
    const int ret = nyx_nftl_tr.do_blktrans_request(&nyx_nftl_tr, dev, &rq);
    fuzz::require(buf.guards_intact(), "a request touches only its pages");
    if (ret != 0) {
      fuzz::require(!must_succeed, "a well-formed request inside the disk succeeds");
      return;
    }
    fuzz::require(!must_fail, "the driver refuses what is not a request it can serve");
    // The request covers the first data_len bytes of its pieces, which are
    // the buffer's first bytes in page order.
    buf.copy_out(data);
    if (discard) {
      model_discard(start, sectors);
    } else if (cmd_flags & REQ_WRITE) {
      model_write(start, data.data(), sectors);
    } else {
      fuzz::require(model_matches(start, data.data(), sectors),
                    "a direct read returns what was written");
    }
  }

  fuzz::ByteReader& in_;
  nandsim::MtdPartition* partition_ = nullptr;
  std::shared_ptr<BlockDisk> disk_;
  std::vector<uint8_t> model_;
  std::vector<uint8_t> trimmed_;  // per sector: its whole page discarded since written
  bool remounted_ = false;
  bool open_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silence_kernel_log();
  // A clock that never moves: each worker makes its first pass and sleeps
  // until it is stopped.
  static KernelTestClock clock;
  fuzz::require(init_nyx_nftl() == 0, "the translation table registers");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::ByteReader in(data, size);
  const uint8_t geometry = in.u8();
  const uint8_t flags = in.u8();

  nandsim::Options options;
  options.geometry.page_size = (geometry & 1) ? 2048 : 512;
  options.geometry.pages_per_block = (geometry & 2) ? 16 : 8;
  options.geometry.oob_size = 64;
  options.geometry.blocks = 40 + (geometry >> 2) % 8;
  auto made = nandsim::NandChip::create_in_memory(options);
  fuzz::require(made.ok(), "the fuzz geometry is a valid chip");
  std::unique_ptr<nandsim::NandChip> chip = std::move(made).value();
  auto made_partition =
      nandsim::MtdPartition::create(*chip, {kPartitionName, 0, chip->geometry().data_size()}, 0);
  fuzz::require(made_partition.ok(), "the whole chip is a valid partition");
  nandsim::MtdPartition& partition = *made_partition.value();

  Session session(in);
  session.add(partition);
  session.run_ops();
  if (flags & 1) {
    session.remove();
    session.add(partition);
    session.read_whole_disk();
  }
  session.remove();
  return 0;
}
