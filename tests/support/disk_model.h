// A block device over a simulated chip, driven the way the request path
// drives it, and a model of its sectors that knows which writes are
// durable: for the power-cut campaign and the endurance runs.
//
// DiskRig: one MTD partition over a fresh in-memory chip, attached (format
// on first use, then the mount scan), with a device record and its sector
// cache. Sector reads, writes and flushes go through the device record's
// read_data / write_data / flush_write_cache entries with the partition
// mutex held, as the request path and the flush entry call them; a worker
// pass runs wear levelling, one collection step and one priority-reclaim
// step under the mutex, as the background worker does. drop() throws the
// in-memory records away WITHOUT writing the cache out, as a power loss
// does; attach() brings the partition and a fresh device record up again on
// the same chip.
//
// SectorModel: every write gets a unique id, and a sector's bytes name the
// sector and the id of the write they come from (the rest of the sector
// derives from both), so any sector read back says exactly which write it
// holds. The model keeps, per sector, the ids written in order and how many
// of them a successful flush has made durable. After a power cut a sector
// must hold its last durable write or a later one; a sector with no durable
// write may also read erased (0xFF).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"
#include "nyx_nftl/nyx_nftl_check.h"
#include "support/sim_partition.h"

constexpr uint32_t kSectorBytes = 512;

// ---------------------------------------------------------------------------
// Sector contents.
// ---------------------------------------------------------------------------

// The bytes of sector `sector` as written by write `id` (id 0: never
// written, all 0xFF).
inline void fill_sector(uint8_t* out, uint32_t sector, uint32_t id) {
  if (id == 0) {
    std::memset(out, 0xFF, kSectorBytes);
    return;
  }
  uint64_t x = (uint64_t(sector) << 32 | id) * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  for (uint32_t i = 0; i < kSectorBytes; i += 8) {
    const uint64_t word = x + i * 0xD6E8FEB86659FD93ull;
    std::memcpy(out + i, &word, 8);
  }
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(sector >> (8 * i));
    out[4 + i] = static_cast<uint8_t>(id >> (8 * i));
  }
}

// The write id a sector's bytes come from: 0 for an erased sector, -1 when
// the bytes are no write's to this sector (wrong sector, damaged, garbage).
inline int64_t sector_write_id(const uint8_t* bytes, uint32_t sector) {
  static const std::vector<uint8_t> erased(kSectorBytes, 0xFF);
  if (std::memcmp(bytes, erased.data(), kSectorBytes) == 0) return 0;
  uint32_t named_sector = 0, id = 0;
  for (int i = 0; i < 4; ++i) {
    named_sector |= uint32_t(bytes[i]) << (8 * i);
    id |= uint32_t(bytes[4 + i]) << (8 * i);
  }
  if (named_sector != sector || id == 0) return -1;
  uint8_t expected[kSectorBytes];
  fill_sector(expected, sector, id);
  return std::memcmp(expected, bytes, kSectorBytes) == 0 ? int64_t(id) : -1;
}

// ---------------------------------------------------------------------------
// The durability model.
// ---------------------------------------------------------------------------
class SectorModel {
 public:
  explicit SectorModel(uint32_t sectors) : history_(sectors), durable_(sectors, 0) {}

  uint32_t sectors() const { return static_cast<uint32_t>(history_.size()); }

  // A new write id; ids rise, so each sector's history is sorted.
  uint32_t next_id() { return ++last_id_; }

  // Records a write of `count` sectors from `first` with id `id` (before the
  // write is issued: a write cut short may still leave its bytes).
  void wrote(uint32_t first, uint32_t count, uint32_t id) {
    for (uint32_t s = first; s < first + count; ++s) {
      history_[s].push_back(id);
      if (!pending_mark_[s]) {
        pending_mark_[s] = true;
        pending_.push_back(s);
      }
    }
  }
  // A flush returned success: every write recorded before it is durable.
  void flushed() {
    for (uint32_t s : pending_) {
      durable_[s] = history_[s].size();
      pending_mark_[s] = false;
    }
    pending_.clear();
  }

  // The id of the newest write of a sector (0 when never written).
  uint32_t latest(uint32_t sector) const {
    return history_[sector].empty() ? 0 : history_[sector].back();
  }

  // Checks sector `sector` read back as `bytes` after a power loss. Empty
  // when it holds its last durable write or a later one (or reads erased
  // while nothing written to it is durable), else what is wrong.
  std::string check_after_cut(uint32_t sector, const uint8_t* bytes) const {
    const int64_t id = sector_write_id(bytes, sector);
    const std::vector<uint32_t>& ids = history_[sector];
    const size_t durable = durable_[sector];
    if (id == 0) {
      if (durable == 0) return {};
      return "sector " + std::to_string(sector) + " reads erased, but write " +
             std::to_string(ids[durable - 1]) + " to it was durable";
    }
    if (id < 0) return "sector " + std::to_string(sector) + " holds bytes never written to it";
    const size_t from = durable == 0 ? 0 : durable - 1;
    if (std::binary_search(ids.begin() + static_cast<long>(from), ids.end(), uint32_t(id)))
      return {};
    std::string text = "sector " + std::to_string(sector) + " holds write " + std::to_string(id);
    if (std::binary_search(ids.begin(), ids.end(), uint32_t(id))) {
      text += ", older than its durable write " + std::to_string(ids[durable - 1]);
    } else {
      text += ", which never wrote it";
    }
    return text;
  }

  // Checks a sector read while the power stayed on: it must hold its newest write.
  std::string check_latest(uint32_t sector, const uint8_t* bytes) const {
    const int64_t id = sector_write_id(bytes, sector);
    if (id == int64_t(latest(sector))) return {};
    return "sector " + std::to_string(sector) + " reads write " + std::to_string(id) +
           " instead of its newest write " + std::to_string(latest(sector));
  }

  // After a power loss and a verified re-attach: the sectors hold what was
  // read back (`ids`, one per sector), and that is where they stand now.
  void settle(const std::vector<uint32_t>& ids) {
    for (uint32_t s = 0; s < sectors(); ++s) {
      history_[s].clear();
      if (ids[s] != 0) history_[s].push_back(ids[s]);
      durable_[s] = history_[s].size();
      pending_mark_[s] = false;
    }
    pending_.clear();
  }

 private:
  std::vector<std::vector<uint32_t>> history_;
  std::vector<size_t> durable_;    // how many of history_[s] are durable
  std::vector<uint32_t> pending_;  // sectors written since the last successful flush
  std::vector<bool> pending_mark_ = std::vector<bool>(history_.size(), false);
  uint32_t last_id_ = 0;
};

// ---------------------------------------------------------------------------
// The device.
// ---------------------------------------------------------------------------
class DiskRig {
 public:
  explicit DiskRig(const nandsim::Options& options) : sim_(options) {
    if (attach() != 0) throw std::runtime_error("attach failed on a fresh chip");
  }
  ~DiskRig() { drop(); }
  DiskRig(const DiskRig&) = delete;
  DiskRig& operator=(const DiskRig&) = delete;

  // Brings the partition and a device record with its cache up. Returns
  // the attach result; 0 also means a device record exists (the partition
  // may still be without a current block: see ready()).
  int attach() {
    drop();
    const int ret = sim_.attach();
    if (ret != 0) return ret;
    blk_ = kzalloc_record<nyx_nftl_blk_t>();
    if (blk_ == nullptr) throw std::runtime_error("device record");
    blk_->nyx_nftl_part = sim_.part;
    if (cache_init(blk_) != 0) throw std::runtime_error("cache_init failed");
    return 0;
  }
  // Throws the in-memory records away without writing the cache out.
  void drop() {
    if (blk_ != nullptr) {
      cache_exit(blk_);
      kfree_record(blk_);
      blk_ = nullptr;
    }
    sim_.detach();
  }

  bool ready() const {
    return sim_.part != nullptr && sim_.part->part_current_used_block != nullptr;
  }
  nyx_nftl_part_t* part() { return sim_.part; }
  nyx_nftl_blk_t* blk() { return blk_; }
  nandsim::NandChip& chip() { return sim_.chip(); }
  uint32_t sectors() const { return sim_.part->logic_cap_in_sects; }
  uint32_t sectors_per_page() const { return sim_.part->nand_chip->sector_per_page; }

  uint32 write(uint32_t sector, uint32_t count, uint8_t* data) {
    Locked lock(sim_.part);
    return blk_->write_data(blk_, sector, count, data);
  }
  uint32 read(uint32_t sector, uint32_t count, uint8_t* data) {
    Locked lock(sim_.part);
    return blk_->read_data(blk_, sector, count, data);
  }
  uint32 flush() {
    Locked lock(sim_.part);
    return blk_->flush_write_cache(blk_);
  }
  // The background worker's reclamation share of one pass.
  void worker_pass() {
    Locked lock(sim_.part);
    do_static_wear_leveling(sim_.part);
    garbage_collect(sim_.part);
    do_prio_gc(sim_.part);
  }
  std::vector<std::string> check() {
    Locked lock(sim_.part);
    return nyx_nftl_check(sim_.part);
  }

 private:
  struct Locked {
    explicit Locked(nyx_nftl_part_t* part) : part_(part) { mutex_lock(&part_->nyx_nftl_lock); }
    ~Locked() { mutex_unlock(&part_->nyx_nftl_lock); }
    nyx_nftl_part_t* part_;
  };

  SimPartition sim_;
  nyx_nftl_blk_t* blk_ = nullptr;
};

// Joins checker lines into one message.
inline std::string joined_lines(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  return all;
}
