// The simulated NAND chip: the default device under the translation layer.
//
// Storage (memory or a raw image file, identical) and the OOB bytes follow
// the image format of nand/nyx_nftl/FORMAT.md: pages with their whole OOB
// area, the bad-block marker in OOB byte 0 of a block's first page, and the
// free bytes from `spare_offset` on, which the MTD device reports as
// oobfree[0] = {spare_offset, oob_size - spare_offset}. No ECC bytes are
// kept.
//
// NAND physics: a program can only clear bits (new = old AND data); a page is
// programmed at most once between erases (a second program is counted and,
// unless allowed, refused with -EIO); an erase sets the whole block to 0xFF.
//
// Faults (all deterministic for a given seed): failing programs and erases
// (a given page or block, the N-th operation, or a rate), grown bad blocks,
// bit flips on read (-EUCLEAN: corrected, data intact; -EBADMSG: data
// damaged), and a power cut after N mutating operations, optionally tearing
// the operation at the cut. A page damaged by a torn or failed program or
// erase reads back with -EBADMSG until its block is erased again; a page left
// unstable by a cut (CutKind::Unstable) reads erased until it is programmed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mtd/mtd.h"
#include "platform/status.h"

namespace nandsim {

struct Geometry {
  uint32_t page_size = 2048;      // main bytes per page: 512..16384, a multiple of 512
  uint32_t oob_size = 64;         // OOB bytes per page
  uint32_t pages_per_block = 64;  // 1..1024, with 4 * pages_per_block <= page_size
  uint32_t blocks = 1024;         // erase blocks in the chip
  uint32_t spare_offset = 2;      // first OOB byte of the spare record (>= 2)

  uint64_t raw_page_size() const { return uint64_t(page_size) + oob_size; }
  uint64_t raw_block_size() const { return raw_page_size() * pages_per_block; }
  uint64_t image_size() const { return raw_block_size() * blocks; }
  uint64_t erase_size() const { return uint64_t(page_size) * pages_per_block; }
  uint64_t data_size() const { return erase_size() * blocks; }  // MTD size
  uint64_t total_pages() const { return uint64_t(pages_per_block) * blocks; }

  // Empty when the geometry is usable, else what is wrong.
  std::string validate() const;
};

// Datasheet-typical timing; device time accumulates without sleeping.
struct Timing {
  double read_us = 25;      // array to register
  double program_us = 200;  // register to array
  double erase_us = 2000;
  double bus_mb_s = 40;  // transfer rate between host and register, 10^6 bytes/s
};

struct Counters {
  uint64_t reads = 0;            // page reads (main, spare or both)
  uint64_t programs = 0;         // page programs
  uint64_t erases = 0;           // block erases
  uint64_t double_programs = 0;  // programs of a page already programmed since its erase
  uint64_t device_time_ns = 0;   // simulated device time
};

enum class CutKind {
  Clean,        // the operation at the cut does not happen
  TornProgram,  // a program at the cut clears a random subset of its bits
  TornErase,    // an erase at the cut sets only part of the block to 0xFF
  // Cells left partly charged: a program at the cut leaves its page reading
  // erased (0xFF, no ECC error), an erase at the cut leaves every page of
  // the block so; the next program of such a page stores data that reads
  // back -EBADMSG until the block is erased in full.
  Unstable,
};

struct Options {
  Geometry geometry;
  Timing timing;
  uint64_t seed = 1;
  bool allow_double_program = false;         // false: a second program fails with -EIO
  std::vector<uint32_t> factory_bad_blocks;  // marked bad when a chip is created
  double factory_bad_rate = 0;               // fraction of blocks marked bad at creation
  // The most of an image file mapped at once: a larger image is mapped in
  // chunks of whole blocks, as many as fit in this many bytes, the one used
  // longest ago unmapped for the next. 0: the host's choice (no limit on a
  // 64-bit host, 512 MiB on a 32-bit one).
  uint64_t map_limit = 0;
};

enum class OpenMode {
  ReadWrite,  // changes reach the file
  Private,    // copy-on-write mapping: nothing ever reaches the file
  ReadOnly,   // every program, erase or mark-bad is refused with -EROFS
};

class NandChip {
 public:
  // A chip in memory, erased, with the factory bad blocks of `options`.
  static Result<std::unique_ptr<NandChip>> create_in_memory(const Options& options);
  // Creates a raw image file of an erased chip with the factory bad blocks
  // of `options`, mapped read-write and holding the writer's lock
  // (writer_lock.h). The image is built beside `path` and renamed over it
  // when complete, so a failure leaves what was there; an existing image
  // is replaced only when no other process is writing it (Busy otherwise).
  static Result<std::unique_ptr<NandChip>> create_image(const std::string& path,
                                                        const Options& options);
  // Opens an existing raw image; its size must equal the geometry's image
  // size. ReadWrite takes the writer's lock (Busy when another process
  // holds it); Private and ReadOnly take none and never write the file.
  static Result<std::unique_ptr<NandChip>> open_image(const std::string& path,
                                                      const Options& options, OpenMode mode);

  ~NandChip();
  NandChip(const NandChip&) = delete;
  NandChip& operator=(const NandChip&) = delete;

  const Geometry& geometry() const;
  OpenMode mode() const;

  // The whole chip as one MTD device (name "nand0", index 0).
  mtd_info* mtd();

  // Raw access by absolute page number (block * pages_per_block + page).
  // `oob` covers the whole OOB area. Results are MTD codes.
  int read_page(uint64_t page, uint8_t* data, uint8_t* oob);
  int program_page(uint64_t page, const uint8_t* data, const uint8_t* oob);
  int erase_block(uint32_t block);
  bool is_bad(uint32_t block);
  int mark_bad(uint32_t block);
  // The same with an OOB transfer of `oob_len` bytes starting at OOB byte
  // `oob_offset` (what the MTD devices use); `data` or `oob` may be null.
  // A program leaves the OOB bytes outside the range as they are.
  int read_page_range(uint64_t page, uint8_t* data, uint8_t* oob, uint32_t oob_offset,
                      uint32_t oob_len);
  int program_page_range(uint64_t page, const uint8_t* data, const uint8_t* oob,
                         uint32_t oob_offset, uint32_t oob_len);
  // The device's bad-block test: 1 bad, 0 good, -EINVAL for a block beyond
  // the chip, -EIO while the power is off. (is_bad() reads the marker
  // directly, whatever the power state, and counts nothing.)
  int block_isbad(uint32_t block);
  // A copy of the raw bytes of a page (main data then OOB), for
  // inspection; empty for a page beyond the chip.
  std::vector<uint8_t> raw_page(uint64_t page) const;
  // Flushes a file-backed image to disk.
  Status sync();

  // Counters, for the chip and per block.
  Counters counters() const;
  Counters block_counters(uint32_t block) const;
  void reset_counters();

  // Fault injection.
  void fail_program_at(uint64_t page);   // every program of this page fails
  void fail_erase_at(uint32_t block);    // every erase of this block fails
  void fail_nth_program(uint64_t n);     // the n-th program from now fails (1 = next)
  void fail_nth_erase(uint64_t n);       // the n-th erase from now fails
  void set_program_fail_rate(double p);  // each program fails with probability p
  void set_erase_fail_rate(double p);    // each erase fails with probability p
  void grow_bad_block(uint32_t block);   // programs and erases of the block fail from now on
  // Reads of `page` answer `code` (-EUCLEAN or -EBADMSG) until the block is erased.
  void inject_read_error(uint64_t page, int code);
  // Each read answers -EUCLEAN with probability p_corrected (data intact) or
  // -EBADMSG with probability p_uncorrectable (returned data has flipped bits).
  void set_bitflip_rates(double p_corrected, double p_uncorrectable);
  void clear_faults();

  // Power cut: after `n` more mutating operations (program, erase, mark-bad)
  // the power goes; the operation at the cut is dropped or torn as `kind`
  // says and fails, and every later operation, reads included, fails with
  // -EIO until power_on(). The storage keeps exactly what was done.
  void power_cut_after(uint64_t n, CutKind kind);
  bool powered_off() const;
  void power_on();
  // Mutating operations since creation (what power_cut_after counts).
  uint64_t mutating_ops() const;

  // Whether the page currently reads back damaged (-EBADMSG).
  bool is_damaged(uint64_t page) const;

 private:
  struct Impl;
  explicit NandChip(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace nandsim
