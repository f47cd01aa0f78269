// What the translation layer's tests share: a partition on a simulated chip
// with probes into its records and a builder of raw flash states, the one
// pattern every test writes (pages and sectors alike), a walker of the block
// lists, a device record with its cache over a partition, and a model of a
// disk's sectors that knows which writes are durable.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "nyx_nftl/nyx_nftl_check.h"
#include "platform/mtd/mtd_partition.h"
#include "platform/mtd/nand_sim.h"

constexpr uint32_t kSectorBytes = 512;

inline nandsim::Options small_chip(uint32_t blocks, uint32_t pages_per_block,
                                   uint32_t page_size = 2048, uint32_t oob_size = 64) {
  nandsim::Options options;
  options.geometry = {page_size, oob_size, pages_per_block, blocks, 2};
  return options;
}
// The collection policy named by NYX_GC_POLICY ("standard", "greedy"; unset:
// the default), so that the same nets run under each policy.
nyx_nftl_attach_options test_attach_options();

// The low `n` bytes of `value`, least significant first, and back: test
// data is the same bytes on every host, whatever its byte order.
inline void put_le(uint8_t* out, uint64_t value, size_t n) {
  for (size_t i = 0; i < n; ++i) out[i] = uint8_t(value >> (8 * i));
}
inline uint64_t get_le(const uint8_t* in, size_t n) {
  uint64_t value = 0;
  for (size_t i = n; i-- > 0;) value = value << 8 | in[i];
  return value;
}

// Version `version` of item `key` (a logical page or a sector): bytes 0-3
// name the key, 4-7 the version (little-endian), the rest derive from both;
// version 0 is the never-written item, all 0xFF.
void stamp(uint8_t* out, size_t size, uint32_t key, uint32_t version);
inline std::vector<uint8_t> stamped(size_t size, uint32_t key, uint32_t version) {
  std::vector<uint8_t> bytes(size);
  stamp(bytes.data(), size, key, version);
  return bytes;
}
// The version `bytes` hold of `key`: 0 erased, -1 bytes of no version of it.
int64_t stamp_version(const uint8_t* bytes, size_t size, uint32_t key);

// Block numbers of a list in list order (the back links checked).
std::vector<int> free_list(const nyx_nftl_part_t* part);
std::vector<int> invalid_list(const nyx_nftl_part_t* part);
inline bool has(const std::vector<int>& list, int n) {
  return std::find(list.begin(), list.end(), n) != list.end();
}
std::string joined(const std::vector<std::string>& lines);

// Spare records: a data page holding `lp`, a special tag.
std::vector<uchar> logic_record(uint32 lp, uint32 count);
std::vector<uchar> special_record(uint32 tag, uint32 count);

// One MTD partition over a whole fresh in-memory chip, and a partition
// record attached to it (format on first use, then the mount scan).
class Rig {
 public:
  explicit Rig(const nandsim::Options& options, std::string name = "NFTL_Part",
               bool attach_now = true);
  explicit Rig(uint32_t blocks = 40, uint32_t pages = 16) : Rig(small_chip(blocks, pages)) {}
  ~Rig() { detach(); }

  int attach(const nyx_nftl_attach_options& options = test_attach_options()) {
    detach();
    return nyx_nftl_part_attach(mtd(), &part, &options);
  }
  void detach() {
    nyx_nftl_part_detach(part);
    part = nullptr;
  }
  int reattach() {  // as after a restart, quietly
    LogCapture quiet;
    return attach();
  }

  nandsim::NandChip& chip() { return *chip_; }
  mtd_info* mtd() { return partition_->mtd(); }
  uint16_t P() const { return part->nand_chip->pages_per_blk; }
  uint32_t page_size() const { return part->nand_chip->bytes_per_page; }
  _phy_block_info* blk(uint32_t n) { return &part->nand_chip->nand_block_info[n]; }
  _phy_block_info* cur() { return part->part_current_used_block; }
  static uint16_t no(const _phy_block_info* b) { return b->phy_block.blkNO_in_chip; }
  const _nand_page& map(uint32_t lp) const { return part->part_logic_page_map[lp]; }
  bool maps_to(uint32_t lp, uint32_t block, uint32_t page) const {
    return map(lp).blkNO_in_chip == block && map(lp).Page_NO == page;
  }
  uint64_t abs(uint32_t block, uint32_t page) const { return uint64_t(block) * P() + page; }
  // The 16 bytes of a page's spare record as stored.
  std::vector<uint8_t> raw_spare(uint32_t block, uint32_t page) {
    const std::vector<uint8_t> raw = chip().raw_page(abs(block, page));
    const size_t at = page_size() + chip().geometry().spare_offset;
    return std::vector<uint8_t>(raw.begin() + at, raw.begin() + at + 16);
  }
  std::string problems() { return joined(nyx_nftl_check(part)); }

  // Version `version` of logical page `lp` through the write path (with or
  // without its collection step); whether it reads back as that version.
  uint32 write(uint32_t lp, uint32_t version, bool gc = true) {
    std::vector<uint8_t> data = stamped(page_size(), lp, version);
    return gc ? nand_write_logic_page(part, lp, data.data())
              : nand_write_logic_page_no_gc(part, lp, data.data());
  }
  bool holds(uint32_t lp, uint32_t version) {
    std::vector<uint8_t> data(page_size());
    return nand_read_logic_page(part, lp, data.data()) == 0 &&
           data == stamped(page_size(), lp, version);
  }
  // Writes lp first, first + 1, ... until only the mapping page of the
  // current block is left; returns the block.
  _phy_block_info* fill(uint32_t first, uint32_t version = 1) {
    _phy_block_info* b = cur();
    while (part->current_block_used_page < P() - 1) write(first++, version, false);
    return b;
  }

  // Raw pages through the partition's physical write; a torn program leaves
  // the page damaged (uncorrectable until its block is erased).
  int program(uint16 block, uint16 page, std::vector<uchar> main, std::vector<uchar> spare,
              bool torn = false);
  // Version `version` of `lp` with a record of sequence number `count`.
  void data_page(uint16 block, uint16 page, uint32 lp, uint32 count, uint32 version,
                 bool torn = false) {
    program(block, page, stamped(page_size(), lp, version), logic_record(lp, count), torn);
  }
  // Data pages holding lps[i] (version count), then the mapping page naming
  // `reverse` (lps by default).
  void full_block(uint16 block, uint32 count, const std::vector<uint32>& lps,
                  bool torn_mapping = false, std::vector<uint32> reverse = {});
  // Logical pages base, base + 1, ... for the data pages of one block.
  std::vector<uint32> run(uint32 base) const {
    std::vector<uint32> lps(P() - 1);
    for (uint32 i = 0; i < lps.size(); ++i) lps[i] = base + i;
    return lps;
  }

  nyx_nftl_part_t* part = nullptr;

 private:
  std::unique_ptr<nandsim::NandChip> chip_;
  std::unique_ptr<nandsim::MtdPartition> partition_;
};

// A device record and its sector cache over a Rig's partition, without the
// block-translation layer. Reads, writes and flushes go through the record's
// entries with the partition's lock held, as the request path calls them;
// drop() throws the records away unflushed, as a power loss does.
class Disk {
 public:
  explicit Disk(const nandsim::Options& options = small_chip(40, 16));
  ~Disk() { drop(); }

  int attach();  // the partition and a fresh device record
  void drop();
  bool ready() { return rig.part != nullptr && rig.cur() != nullptr; }
  nyx_nftl_part_t* part() { return rig.part; }
  nandsim::NandChip& chip() { return rig.chip(); }
  uint32_t sectors() const { return rig.part->logic_cap_in_sects; }
  uint32_t spp() const { return rig.part->nand_chip->sector_per_page; }

  uint32 write(uint32_t sector, uint32_t count, uint8_t* data) {
    return locked([&] { return blk->write_data(blk, sector, count, data); });
  }
  uint32 read(uint32_t sector, uint32_t count, uint8_t* data) {
    return locked([&] { return blk->read_data(blk, sector, count, data); });
  }
  uint32 flush() {
    return locked([&] { return blk->flush_write_cache(blk); });
  }
  uint32 trim(uint32_t sector, uint32_t count) {
    return locked([&] { return nand_trim(blk, sector, count); });
  }
  void worker_pass() {  // wear levelling, one collection step, one reclaim
    locked([&] {
      do_static_wear_leveling(part());
      garbage_collect(part());
      return do_prio_gc(part());
    });
  }
  std::string check() {
    std::string problems;
    locked([&] { return (problems = rig.problems(), 0u); });
    return problems;
  }
  template <class Op>
  uint32 locked(Op op) {
    mutex_lock(&rig.part->nyx_nftl_lock);
    const uint32 ret = op();
    mutex_unlock(&rig.part->nyx_nftl_lock);
    return ret;
  }

  Rig rig;
  nyx_nftl_blk_t* blk = nullptr;
};

// Every write of a disk gets an id and writes stamp(sector, id) into each of
// its sectors. Per sector the model keeps the ids written, in order, and how
// many of them a successful flush made durable.
class SectorModel {
 public:
  explicit SectorModel(uint32_t sectors)
      : history_(sectors), durable_(sectors, 0), trimmed_at_(sectors, 0), trim_attaches_(sectors) {}
  uint32_t next_id() { return ++last_id_; }
  uint32_t size() const { return static_cast<uint32_t>(history_.size()); }
  // The bytes of a new write of `count` sectors from `first`, recorded
  // before the write is issued (a write cut short may still leave them).
  std::vector<uint8_t> wrote(uint32_t first, uint32_t count);
  void flushed() {  // every write recorded so far is durable
    for (uint32_t s : pending_) durable_[s] = history_[s].size();
    pending_.clear();
  }
  // A trim of `count` sectors from `first`: the sectors of the whole pages
  // (of `spp` sectors) in the run read erased from now on, and until a write
  // after the trim is durable a power loss may bring back any write before it.
  void trimmed(uint32_t first, uint32_t count, uint32_t spp);
  void attached() { ++attaches_; }  // an attach with the power on, inside the workload
  // After a power loss: the last durable write or a later one, or erased
  // while nothing durable was written. Empty, or what is wrong.
  std::string check_after_cut(uint32_t sector, const uint8_t* bytes) const;
  // With the power on: the newest write (a trimmed sector as after a cut).
  std::string check_latest(uint32_t sector, const uint8_t* bytes) const;
  // After a verified re-attach: what each sector holds now (`ids`).
  void settle(const std::vector<uint32_t>& ids);

 private:
  std::vector<std::vector<uint32_t>> history_;
  std::vector<size_t> durable_;
  std::vector<size_t> trimmed_at_;       // 1 + writes before the last trim; 0: none since settled
  std::vector<uint32_t> trim_attaches_;  // attaches_ at the last trim
  uint32_t attaches_ = 0;
  std::vector<uint32_t> pending_;
  uint32_t last_id_ = 0;
};
