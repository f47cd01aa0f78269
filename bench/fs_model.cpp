// The filesystem-like workloads' extents and files.
#include "fs_model.h"

#include <algorithm>
#include <utility>

namespace bench {

namespace {

constexpr uint32_t kSmallestFile = 16 * 1024 / kFsBlockBytes;
constexpr uint32_t kLargestFile = 4 * 1024 * 1024 / kFsBlockBytes;
constexpr uint32_t kGroups = 16;
constexpr uint32_t kFewestWriters = 4;
constexpr uint32_t kMostWriters = 8;
constexpr uint32_t kSmallestChunk = 16 * 1024 / kFsBlockBytes;
constexpr uint32_t kLargestChunk = 64 * 1024 / kFsBlockBytes;
constexpr uint32_t kChunksPerUpdate = 8;

}  // namespace

std::vector<uint32_t> draw_without_replacement(uint32_t total, uint32_t wanted, SplitMix64& rng) {
  std::vector<uint32_t> pool(total);
  for (uint32_t i = 0; i < total; ++i) pool[i] = i;
  for (uint32_t i = 0; i < wanted && i < total; ++i) {
    std::swap(pool[i], pool[i + rng.below(total - i)]);
  }
  pool.resize(wanted < total ? wanted : total);
  return pool;
}

FileChurn::FileChurn(uint32_t blocks, uint64_t seed) : used_(blocks, false), rng_(seed) {
  const uint32_t metadata = std::max(blocks / 64, 2 * kGroups + 2);
  inode_blocks_ = metadata / 2 - kGroups;
  journal_start_ = metadata / 2;
  journal_blocks_ = metadata - journal_start_;
  data_start_ = metadata;
  data_blocks_ = blocks > metadata ? blocks - metadata : 0;
  group_blocks_ = data_blocks_ / kGroups;
  wanted_writers_ = kFewestWriters + rng_.below(kMostWriters - kFewestWriters + 1);
}

FileChurn::Request FileChurn::next() {
  while (pending_.empty()) step();
  const Request r = pending_.front();
  pending_.pop_front();
  return r;
}

// Brings the writers up to the count wanted, then gives the next one in
// turn a chunk.
void FileChurn::step() {
  while (writers_.size() < wanted_writers_ && start_operation()) {
  }
  if (writers_.empty()) return;
  if (turn_ >= writers_.size()) turn_ = 0;
  if (!write_chunk(writers_[turn_])) {
    ++turn_;
    return;
  }
  files_[writers_[turn_].file].busy = false;
  writers_.erase(writers_.begin() + long(turn_));
  wanted_writers_ = kFewestWriters + rng_.below(kMostWriters - kFewestWriters + 1);
}

// Starts a create, rewrite or delete; false when none can start (every file
// is being written and a create would pass 60%).
bool FileChurn::start_operation() {
  const uint64_t low = uint64_t(data_blocks_) * 2 / 5;
  const uint64_t high = uint64_t(data_blocks_) * 3 / 5;
  if (!filled_ || used_blocks_ < low) {
    create(random_size());
    return true;
  }
  int file = -1;
  switch (rng_.below(3)) {
    case 0: {
      const uint32_t size = random_size();
      if (used_blocks_ + size <= high) {
        create(size);
        return true;
      }
      break;
    }
    case 1:
      file = idle_file();
      if (file < 0) return false;
      rewrite(uint32_t(file));
      return true;
    default:
      break;
  }
  file = idle_file();
  if (file < 0) return false;
  remove(uint32_t(file));
  return true;
}

void FileChurn::create(uint32_t blocks) {
  File f;
  f.group = rng_.below(kGroups);
  f.inode_block = rng_.below(inode_blocks_);
  f.extents = allocate(blocks, data_start_ + f.group * group_blocks_);
  for (const Extent& e : f.extents) f.blocks += e.count;
  f.busy = true;
  if (used_blocks_ * 2 >= data_blocks_) filled_ = true;
  update_metadata(f, true);
  writers_.push_back({uint32_t(files_.size()), f.extents, 0, 0});
  files_.push_back(std::move(f));
}

// A random run of the file, in place: the length uniform from one block to
// the whole file, then the start uniform where it fits.
void FileChurn::rewrite(uint32_t file) {
  File& f = files_[file];
  const uint32_t length = 1 + rng_.below(f.blocks);
  uint32_t skip = rng_.below(f.blocks - length + 1);
  uint32_t left = length;
  Writer w{file, {}, 0, 0};
  for (const Extent& e : f.extents) {
    if (skip >= e.count) {
      skip -= e.count;
      continue;
    }
    const uint32_t take = std::min(e.count - skip, left);
    w.todo.push_back({e.start + skip, take});
    skip = 0;
    left -= take;
    if (left == 0) break;
  }
  f.busy = true;
  update_metadata(f, false);
  writers_.push_back(std::move(w));
}

void FileChurn::remove(uint32_t file) {
  for (const Extent& e : files_[file].extents) {
    pending_.push_back({true, e});
    for (uint32_t b = e.start; b < e.start + e.count; ++b) used_[b] = false;
    used_blocks_ -= e.count;
  }
  update_metadata(files_[file], true);
  const uint32_t last = uint32_t(files_.size() - 1);
  files_[file] = std::move(files_.back());
  files_.pop_back();
  for (Writer& w : writers_) {
    if (w.file == last) w.file = file;
  }
}

// The writer's next 4 to 16 blocks, a request per contiguous run; true when
// that was its last.
bool FileChurn::write_chunk(Writer& w) {
  uint32_t n = kSmallestChunk + rng_.below(kLargestChunk - kSmallestChunk + 1);
  while (n > 0 && w.next < w.todo.size()) {
    Extent& e = w.todo[w.next];
    const uint32_t take = std::min(n, e.count);
    pending_.push_back({false, {e.start, take}});
    e.start += take;
    e.count -= take;
    n -= take;
    if (e.count == 0) ++w.next;
  }
  if (++w.chunks % kChunksPerUpdate == 0) update_metadata(files_[w.file], false);
  return w.next == w.todo.size();
}

// The next journal block, the file's inode block and, with `bitmap`, its
// group's bitmap block.
void FileChurn::update_metadata(const File& f, bool bitmap) {
  pending_.push_back({false, {journal_start_ + journal_next_, 1}});
  journal_next_ = (journal_next_ + 1) % journal_blocks_;
  pending_.push_back({false, {kGroups + f.inode_block, 1}});
  if (bitmap) pending_.push_back({false, {f.group, 1}});
}

// A random file no writer has (the first such from a random one), or -1.
int FileChurn::idle_file() {
  if (files_.empty()) return -1;
  const uint32_t n = uint32_t(files_.size());
  const uint32_t from = rng_.below(n);
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t file = (from + i) % n;
    if (!files_[file].busy) return int(file);
  }
  return -1;
}

// Even odds for each doubling from the smallest size up, uniform within it:
// small files are many, large ones hold most of the bytes.
uint32_t FileChurn::random_size() {
  uint32_t octaves = 0;
  while ((kSmallestFile << octaves) < kLargestFile) ++octaves;
  const uint32_t base = kSmallestFile << rng_.below(octaves);
  return base + rng_.below(base + 1);
}

// First fit from `goal`: the free blocks of the data area from there on,
// wrapping at the disk's end, merged into extents. A disk too small for the
// file gives it what is free.
std::vector<Extent> FileChurn::allocate(uint32_t blocks, uint32_t goal) {
  std::vector<Extent> extents;
  const uint32_t end = uint32_t(used_.size());
  uint32_t pos = goal;
  for (uint32_t scanned = 0; blocks > 0 && scanned < data_blocks_; ++scanned) {
    if (!used_[pos]) {
      used_[pos] = true;
      ++used_blocks_;
      --blocks;
      if (!extents.empty() && extents.back().start + extents.back().count == pos) {
        extents.back().count++;
      } else {
        extents.push_back({pos, 1});
      }
    }
    pos = pos + 1 == end ? data_start_ : pos + 1;
  }
  return extents;
}

}  // namespace bench
