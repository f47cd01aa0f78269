// The filesystem-like workloads' view of the disk, in 4 KiB blocks: the
// 64 KiB extents W5 trims, and W6's filesystem (its metadata region, its
// block groups and allocator, its files, and the writeback stream of
// several files at once). Bookkeeping only: the workloads turn the requests
// into sector writes and trims.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/splitmix64.h"

namespace bench {

constexpr uint32_t kFsBlockBytes = 4096;

// A run of `count` blocks from block `start`.
struct Extent {
  uint32_t start = 0;
  uint32_t count = 0;
};

// `wanted` of the numbers 0 .. total - 1, drawn without replacement (a
// partial Fisher-Yates shuffle), in the order drawn.
std::vector<uint32_t> draw_without_replacement(uint32_t total, uint32_t wanted, SplitMix64& rng);

// W6's filesystem on a disk of `blocks` blocks, as the stream of requests
// it sends the disk. The disk is laid out as
//
//   [metadata region: group bitmaps | inode table | journal] [data area]
//
// the metadata region 1/64 of the disk (half of it the journal, one bitmap
// block for each of the 16 block groups the data area is cut into, the rest
// the inode table). A file is given a random block group and a random inode
// block; its blocks are allocated when it is created, first fit from the
// start of its group (past the disk's end, on from the data area's start),
// so free space fragments and a new file fills holes of whatever size it
// meets.
//
// 4 to 8 files are written at once (the count drawn anew when one ends),
// round robin, each turn one writer's next 4 to 16 blocks (16 to 64 KiB, as
// writeback sends a dirty file's pages), a request per contiguous run. A
// create writes the whole new file, in order; a rewrite overwrites a random
// run of a file in place (length uniform from 1 block to the whole file).
// A delete takes no writer: the file's extents are trimmed and given back
// at once.
//
// Metadata: a create or delete writes the next journal block (circularly),
// the file's inode block and its group's bitmap block; a rewrite starts, and
// every 8th chunk of a writer ends, with the journal and inode blocks. The
// metadata region is never trimmed.
//
// Which operation starts when a writer's slot is free: a create while the
// data area is below 40% full (or, until `filled()`, below 50%), else a
// create, rewrite or delete alike; a delete instead of a create that would
// take it past 60%. A file being written is neither rewritten nor deleted.
class FileChurn {
 public:
  // Write the blocks of `extent`, or (trim) say they hold nothing.
  struct Request {
    bool trim = false;
    Extent extent;
  };

  FileChurn(uint32_t blocks, uint64_t seed);

  Request next();
  // The data area has once been half full of files.
  bool filled() const { return filled_; }

 private:
  struct File {
    std::vector<Extent> extents;  // in the file's order
    uint32_t blocks = 0;
    uint32_t group = 0;
    uint32_t inode_block = 0;
    bool busy = false;  // a writer has it
  };
  struct Writer {
    uint32_t file = 0;  // index in files_
    std::vector<Extent> todo;
    size_t next = 0;  // first extent of todo not wholly written
    uint32_t chunks = 0;
  };

  void step();
  bool start_operation();
  void create(uint32_t blocks);
  void rewrite(uint32_t file);
  void remove(uint32_t file);
  // Writes the writer's next chunk; false once it has nothing left.
  bool write_chunk(Writer& w);
  void update_metadata(const File& f, bool bitmap);
  int idle_file();
  uint32_t random_size();
  std::vector<Extent> allocate(uint32_t blocks, uint32_t goal);

  uint32_t data_start_;
  uint32_t data_blocks_;
  uint32_t group_blocks_;
  uint32_t inode_blocks_;
  uint32_t journal_start_;
  uint32_t journal_blocks_;
  uint32_t journal_next_ = 0;

  std::vector<bool> used_;  // per block of the disk
  uint32_t used_blocks_ = 0;
  bool filled_ = false;
  std::vector<File> files_;
  std::vector<Writer> writers_;
  size_t turn_ = 0;  // the writer whose chunk is next
  uint32_t wanted_writers_ = 0;
  std::deque<Request> pending_;
  SplitMix64 rng_;
};

}  // namespace bench
