// The simulated NAND chip: storage (memory or a mapped raw image), NAND
// program/erase physics, counters and device time, fault injection and power
// cuts, and the MTD devices (whole chip and partitions) that front it.
#include "platform/mtd/nand_sim.h"
#include "platform/mtd/sim_mtd_device.h"
#include "platform/mtd/writer_lock.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <unordered_map>

// Image files past 2 GiB need a 64-bit off_t on 32-bit hosts too.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace nandsim {

namespace {

// Per-page state bits.
constexpr uint8_t kProgrammed = 0x01;     // programmed since its last erase
constexpr uint8_t kUnknown = 0x02;        // not known yet (image opened from a file)
constexpr uint8_t kDamaged = 0x04;        // torn or failed program/erase: reads -EBADMSG
constexpr uint8_t kFailProgram = 0x08;    // fail_program_at: every program fails
constexpr uint8_t kReadCorrected = 0x10;  // inject_read_error(-EUCLEAN)
constexpr uint8_t kReadDamaged = 0x20;    // inject_read_error(-EBADMSG)
constexpr uint8_t kReadFaults = kReadCorrected | kReadDamaged;
constexpr uint8_t kUnstable =
    0x40;  // cut while charging: reads erased, its next program is damaged

// Per-block fault bits.
constexpr uint8_t kFailErase = 0x01;  // fail_erase_at: every erase fails
constexpr uint8_t kGrownBad = 0x02;   // grow_bad_block: programs and erases fail

std::string errno_text(int err) { return std::strerror(err); }

std::string validate_options(const Options& options) {
  std::string geometry_error = options.geometry.validate();
  if (!geometry_error.empty()) return geometry_error;
  const Timing& t = options.timing;
  if (!(std::isfinite(t.read_us) && t.read_us >= 0) ||
      !(std::isfinite(t.program_us) && t.program_us >= 0) ||
      !(std::isfinite(t.erase_us) && t.erase_us >= 0)) {
    return "read, program and erase times must be finite and not negative";
  }
  if (!(std::isfinite(t.bus_mb_s) && t.bus_mb_s > 0)) {
    return "bus rate " + std::to_string(t.bus_mb_s) + " MB/s must be positive";
  }
  if (!(options.factory_bad_rate >= 0 && options.factory_bad_rate <= 1)) {
    return "factory bad-block rate " + std::to_string(options.factory_bad_rate) +
           " is not between 0 and 1";
  }
  for (uint32_t block : options.factory_bad_blocks) {
    if (block >= options.geometry.blocks) {
      return "factory bad block " + std::to_string(block) + " is beyond the chip's " +
             std::to_string(options.geometry.blocks) + " blocks";
    }
  }
  return {};
}

// Whether any byte differs from the erased value 0xFF.
bool has_programmed_bytes(const uint8_t* bytes, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    if (word != ~uint64_t(0)) return true;
  }
  for (; i < n; i++) {
    if (bytes[i] != 0xFF) return true;
  }
  return false;
}

void and_into(uint8_t* dst, const uint8_t* src, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] &= src[i];
}

}  // namespace

// ---------------------------------------------------------------------------
// Geometry
// ---------------------------------------------------------------------------

std::string Geometry::validate() const {
  if (page_size < 512 || page_size > 16384 || page_size % 512 != 0) {
    return "page size " + std::to_string(page_size) +
           " is not a multiple of 512 between 512 and 16384";
  }
  if (pages_per_block < 1 || pages_per_block > 1024) {
    return "pages per block " + std::to_string(pages_per_block) + " is not between 1 and 1024";
  }
  if (uint64_t(pages_per_block) * 4 > page_size) {
    return "pages per block " + std::to_string(pages_per_block) +
           " is too many for the page size " + std::to_string(page_size) +
           " (4 x pages per block must not exceed it: a block's reverse map fills one page)";
  }
  if (blocks < 1 || blocks > 65535) {
    return "block count " + std::to_string(blocks) + " is not between 1 and 65535";
  }
  if (spare_offset < 2) {
    return "spare offset " + std::to_string(spare_offset) +
           " must be at least 2 (OOB bytes 0-1 hold the bad-block marker)";
  }
  if (uint64_t(spare_offset) + 16 > oob_size) {
    return "OOB size " + std::to_string(oob_size) +
           " is too small for the 16-byte spare record at OOB byte " + std::to_string(spare_offset);
  }
  // The simulation's choice: real chips have far less OOB than main data;
  // the cap keeps a typo from asking for a giant image.
  if (oob_size > page_size) {
    return "OOB size " + std::to_string(oob_size) + " exceeds the page size " +
           std::to_string(page_size);
  }
  return {};
}

// ---------------------------------------------------------------------------
// Chip state
// ---------------------------------------------------------------------------

struct NandChip::Impl {
  Options options;
  OpenMode mode = OpenMode::ReadWrite;
  bool file_backed = false;
  int fd = -1;
  // The chip's bytes. An image that fits the mapping limit is mapped whole
  // (every image, on a 64-bit host, by default). A larger one is mapped in
  // chunks of whole blocks, as many at a time as the limit allows, the one
  // used longest ago making room for the next: a 32-bit process serves
  // images larger than its address space. In private mode a block changed
  // while chunked is first copied to memory, where it stays: a private
  // mapping forgets its changes when it is unmapped.
  struct Mapping {
    uint8_t* base = nullptr;
    uint64_t offset = 0;  // file offset of base
    uint64_t length = 0;
    uint64_t chunk = 0;  // chunked: which chunk it holds
    uint64_t used = 0;   // chunked: when it was last reached
    void unmap() {
      if (base != nullptr) munmap(base, size_t(length));
      base = nullptr;
    }
  };
  Mapping image;                  // mapped whole: the image or the memory
  std::vector<Mapping> chunks;    // chunked: the mapped chunks (none mapped whole)
  Mapping* reached = nullptr;     // chunked: the chunk of the block reached last
  uint32_t blocks_per_chunk = 0;  // 0: mapped whole
  uint64_t reaches = 0;
  int map_prot = 0;
  int map_share = 0;
  std::unordered_map<uint32_t, std::vector<uint8_t>> private_blocks;

  // Geometry, widened once.
  uint32_t page_size = 0;
  uint32_t oob_size = 0;
  uint32_t pages_per_block = 0;
  uint32_t blocks = 0;
  uint64_t raw_page = 0;
  uint64_t raw_block = 0;
  uint64_t total_pages = 0;

  // Device time, in ns: fixed part of each operation and cost per byte.
  double read_ns = 0;
  double program_ns = 0;
  double erase_ns = 0;
  double ns_per_byte = 0;

  std::vector<uint8_t> page_state;
  std::vector<uint8_t> block_faults;
  std::vector<Counters> per_block;
  Counters totals;

  std::mt19937_64 rng;
  uint64_t nth_program = 0;  // 0: not armed
  uint64_t nth_erase = 0;
  double program_fail_rate = 0;
  double erase_fail_rate = 0;
  double p_corrected = 0;
  double p_uncorrectable = 0;

  bool cut_armed = false;
  uint64_t cut_remaining = 0;
  CutKind cut_kind = CutKind::Clean;
  bool off = false;
  uint64_t mutating = 0;

  mutable std::mutex mu;
  MtdDevice whole;

  // Runs `change` on the chip's state under the lock: the body of every
  // fault and power setter.
  template <class Change>
  void locked(Change&& change) {
    std::lock_guard<std::mutex> lock(mu);
    change(*this);
  }

  ~Impl() {
    image.unmap();
    for (Mapping& chunk : chunks) chunk.unmap();
    if (fd >= 0) close(fd);
  }

  void init(const Options& opts, OpenMode open_mode, uint8_t initial_state) {
    options = opts;
    mode = open_mode;
    const Geometry& g = options.geometry;
    page_size = g.page_size;
    oob_size = g.oob_size;
    pages_per_block = g.pages_per_block;
    blocks = g.blocks;
    raw_page = g.raw_page_size();
    raw_block = g.raw_block_size();
    total_pages = g.total_pages();
    read_ns = options.timing.read_us * 1000.0;
    program_ns = options.timing.program_us * 1000.0;
    erase_ns = options.timing.erase_us * 1000.0;
    ns_per_byte = 1000.0 / options.timing.bus_mb_s;
    page_state.assign(total_pages, initial_state);
    block_faults.assign(blocks, 0);
    per_block.assign(blocks, Counters{});
    rng.seed(options.seed);
  }

  // Plans how the image is mapped: whole when it fits `limit` (0: the
  // host's choice), else in chunks of about 4 MiB, as many as fit.
  void plan_mapping(uint64_t limit, int prot, int share) {
    if (limit == 0) limit = sizeof(void*) >= 8 ? ~uint64_t(0) : uint64_t(512) << 20;
    map_prot = prot;
    map_share = share;
    if (options.geometry.image_size() <= limit) return;
    blocks_per_chunk =
        uint32_t(std::max<uint64_t>(1, std::min(limit / 4, uint64_t(4) << 20) / raw_block));
    chunks.resize(std::max<uint64_t>(2, limit / (uint64_t(blocks_per_chunk) * raw_block)));
  }
  // Maps `length` bytes of the file from `offset` into `m`; false (errno
  // set) when the host cannot.
  bool map(Mapping& m, uint64_t offset, uint64_t length) {
    m.unmap();
    if (uint64_t(size_t(length)) != length) {
      errno = ENOMEM;
      return false;
    }
    void* mem = mmap(nullptr, size_t(length), map_prot, map_share, fd, off_t(offset));
    if (mem == MAP_FAILED) return false;
    m.base = static_cast<uint8_t*>(mem);
    m.offset = offset;
    m.length = length;
    return true;
  }
  // Makes the bytes of `block` reachable through block_bytes() and
  // page_bytes() until the next call; with `change`, for a change. False
  // (errno set) when its chunk cannot be mapped.
  bool reach(uint32_t block, bool change = false) {
    if (blocks_per_chunk == 0 || private_blocks.count(block) != 0) return true;
    const uint64_t chunk = block / blocks_per_chunk;
    Mapping* m = &chunks[0];
    for (Mapping& c : chunks) {
      if (c.base != nullptr && c.chunk == chunk) {
        m = &c;
        break;
      }
      if (c.base == nullptr || c.used < m->used) m = &c;  // else the one used longest ago
    }
    if (m->base == nullptr || m->chunk != chunk) {
      // From the host page the chunk's first block begins in.
      const uint64_t host_page = uint64_t(sysconf(_SC_PAGESIZE));
      const uint64_t first = chunk * blocks_per_chunk * raw_block;
      const uint64_t end = std::min<uint64_t>((chunk + 1) * blocks_per_chunk, blocks) * raw_block;
      if (!map(*m, first / host_page * host_page, end - first / host_page * host_page))
        return false;
      m->chunk = chunk;
    }
    m->used = ++reaches;
    reached = m;
    if (change && mode == OpenMode::Private) {
      const uint8_t* bytes = m->base + (uint64_t(block) * raw_block - m->offset);
      private_blocks.emplace(block, std::vector<uint8_t>(bytes, bytes + raw_block));
    }
    return true;
  }
  uint8_t* block_bytes(uint32_t block) {
    if (blocks_per_chunk == 0) return image.base + uint64_t(block) * raw_block;
    if (!private_blocks.empty()) {
      auto copy = private_blocks.find(block);
      if (copy != private_blocks.end()) return copy->second.data();
    }
    return reached->base + (uint64_t(block) * raw_block - reached->offset);
  }
  uint8_t* page_bytes(uint64_t page) {
    if (blocks_per_chunk == 0) return image.base + page * raw_page;
    return block_bytes(block_of(page)) + page % pages_per_block * raw_page;
  }
  // Flushes what is mapped of a file to it.
  bool msync_all() {
    auto flushed = [](const Mapping& m) {
      return m.base == nullptr || msync(m.base, size_t(m.length), MS_SYNC) == 0;
    };
    return flushed(image) && std::all_of(chunks.begin(), chunks.end(), flushed);
  }
  // Sets every byte of the chip to 0xFF (an erased chip).
  bool erase_all() {
    for (uint32_t block = 0; block < blocks; block++) {
      if (!reach(block, true)) return false;
      std::memset(block_bytes(block), 0xFF, raw_block);
    }
    return true;
  }
  uint32_t block_of(uint64_t page) const { return uint32_t(page / pages_per_block); }

  // A uniform draw in [0, 1), the same for a seed on every platform.
  double uniform() { return double(rng() >> 11) * 0x1.0p-53; }
  bool chance(double p) { return p > 0 && uniform() < p; }

  void add_time(uint32_t block, double ns) {
    uint64_t t = uint64_t(std::llround(ns));
    totals.device_time_ns += t;
    per_block[block].device_time_ns += t;
  }
  void count_read(uint32_t block, uint64_t bytes) {
    totals.reads++;
    per_block[block].reads++;
    add_time(block, read_ns + double(bytes) * ns_per_byte);
  }
  void count_program(uint32_t block, uint64_t bytes) {
    totals.programs++;
    per_block[block].programs++;
    add_time(block, program_ns + double(bytes) * ns_per_byte);
  }
  void count_erase(uint32_t block) {
    totals.erases++;
    per_block[block].erases++;
    add_time(block, erase_ns);
  }

  // Settles the state of a page of an opened image at its first program.
  void resolve_unknown(uint64_t page) {
    uint8_t& state = page_state[page];
    if ((state & kUnknown) == 0) return;
    state &= uint8_t(~kUnknown);
    if (has_programmed_bytes(page_bytes(page), raw_page)) state |= kProgrammed;
  }

  // Clears a random subset of the bits a program of `src` would clear.
  void tear_into(uint8_t* dst, const uint8_t* src, size_t n) {
    uint64_t bits = 0;
    for (size_t i = 0; i < n; i++) {
      if (i % 8 == 0) bits = rng();
      uint8_t would_clear = uint8_t(dst[i] & ~src[i]);
      dst[i] &= uint8_t(~(would_clear & uint8_t(bits >> (8 * (i % 8)))));
    }
  }

  void tear_program(uint64_t page, const uint8_t* data, const uint8_t* oob, uint32_t oob_offset,
                    uint32_t oob_len) {
    uint8_t* raw = page_bytes(page);
    if (data != nullptr) tear_into(raw, data, page_size);
    if (oob_len > 0) tear_into(raw + page_size + oob_offset, oob, oob_len);
    page_state[page] |= kProgrammed | kDamaged;
  }

  // A failed or cut erase: a random subset of the pages is erased and every
  // page of the block reads back damaged.
  void tear_erase(uint32_t block) {
    uint64_t first = uint64_t(block) * pages_per_block;
    uint64_t bits = 0;
    for (uint32_t p = 0; p < pages_per_block; p++) {
      if (p % 64 == 0) bits = rng();
      uint8_t& state = page_state[first + p];
      if ((bits >> (p % 64)) & 1) {
        std::memset(page_bytes(first + p), 0xFF, raw_page);
        state &= uint8_t(~(kProgrammed | kUnknown));
      }
      state |= kDamaged;
    }
  }

  // An erase cut with the cells partly discharged: every page reads erased
  // and is unstable until the block is erased in full.
  void unstable_erase(uint32_t block) {
    std::memset(block_bytes(block), 0xFF, raw_block);
    uint64_t first = uint64_t(block) * pages_per_block;
    for (uint32_t p = 0; p < pages_per_block; p++)
      page_state[first + p] = uint8_t((page_state[first + p] & kFailProgram) | kUnstable);
  }

  // Flips one to three bits of a buffer handed back by a damaged read.
  void flip_bits(uint8_t* buf, size_t n) {
    if (buf == nullptr || n == 0) return;
    uint64_t r = rng();
    int flips = 1 + int(r % 3);
    for (int i = 0; i < flips; i++) {
      uint64_t bit = rng() % (uint64_t(n) * 8);
      buf[bit / 8] ^= uint8_t(1u << (bit % 8));
    }
  }

  // Counts a mutating operation and fires an armed power cut. True when
  // this operation is the one at the cut.
  bool reaches_cut() {
    mutating++;
    if (!cut_armed) return false;
    if (cut_remaining > 0) {
      cut_remaining--;
      return false;
    }
    cut_armed = false;
    off = true;
    return true;
  }

  static bool countdown(uint64_t& n) {
    if (n == 0) return false;
    return --n == 0;
  }

  int read(uint64_t page, uint8_t* data, uint8_t* oob, uint32_t oob_offset, uint32_t oob_len) {
    if (oob == nullptr) oob_len = 0;
    if (page >= total_pages || (data == nullptr && oob_len == 0) ||
        uint64_t(oob_offset) + oob_len > oob_size) {
      return -EINVAL;
    }
    std::lock_guard<std::mutex> lock(mu);
    if (off) return -EIO;
    if (!reach(block_of(page))) return -ENOMEM;
    count_read(block_of(page), (data != nullptr ? page_size : 0) + uint64_t(oob_len));
    const uint8_t* raw = page_bytes(page);
    if (data != nullptr) std::memcpy(data, raw, page_size);
    if (oob_len > 0) std::memcpy(oob, raw + page_size + oob_offset, oob_len);

    uint8_t state = page_state[page];
    if (state & kDamaged) return -EBADMSG;  // handed back as stored
    int ret = 0;
    if (state & kReadDamaged) {
      ret = -EBADMSG;
    } else if (state & kReadCorrected) {
      ret = -EUCLEAN;
    } else if (p_corrected > 0 || p_uncorrectable > 0) {
      double u = uniform();
      if (u < p_uncorrectable) {
        ret = -EBADMSG;
      } else if (u < p_uncorrectable + p_corrected) {
        ret = -EUCLEAN;
      }
    }
    if (ret == -EBADMSG) {
      if (data != nullptr) {
        flip_bits(data, page_size);
      } else {
        flip_bits(oob, oob_len);
      }
    }
    return ret;
  }

  int program(uint64_t page, const uint8_t* data, const uint8_t* oob, uint32_t oob_offset,
              uint32_t oob_len) {
    if (oob == nullptr) oob_len = 0;
    if (page >= total_pages || (data == nullptr && oob_len == 0) ||
        uint64_t(oob_offset) + oob_len > oob_size) {
      return -EINVAL;
    }
    std::lock_guard<std::mutex> lock(mu);
    if (off) return -EIO;
    if (mode == OpenMode::ReadOnly) return -EROFS;
    uint32_t block = block_of(page);
    if (!reach(block, true)) return -ENOMEM;
    uint64_t bytes = (data != nullptr ? page_size : 0) + uint64_t(oob_len);
    if (reaches_cut()) {
      if (cut_kind == CutKind::TornProgram) {
        count_program(block, bytes);
        resolve_unknown(page);
        tear_program(page, data, oob, oob_offset, oob_len);
      } else if (cut_kind == CutKind::Unstable) {
        count_program(block, bytes);
        resolve_unknown(page);
        // A page already programmed keeps what it holds; an erased one
        // stays erased, but unstable.
        if ((page_state[page] & kProgrammed) == 0) page_state[page] |= kUnstable;
      }
      return -EIO;
    }
    count_program(block, bytes);
    resolve_unknown(page);

    // Every armed fault is consumed by this program, whatever else happens.
    bool fail = (page_state[page] & kFailProgram) != 0;
    fail |= (block_faults[block] & kGrownBad) != 0;
    fail |= countdown(nth_program);
    fail |= chance(program_fail_rate);

    if (page_state[page] & kProgrammed) {
      totals.double_programs++;
      per_block[block].double_programs++;
      if (!options.allow_double_program) return -EIO;
    }
    if (fail) {
      tear_program(page, data, oob, oob_offset, oob_len);
      return -EIO;
    }
    uint8_t* raw = page_bytes(page);
    if (data != nullptr) and_into(raw, data, page_size);
    if (oob_len > 0) and_into(raw + page_size + oob_offset, oob, oob_len);
    page_state[page] |= kProgrammed;
    // The program reports success, but what it stored does not hold.
    if (page_state[page] & kUnstable) page_state[page] |= kDamaged;
    return 0;
  }

  int erase(uint32_t block) {
    if (block >= blocks) return -EINVAL;
    std::lock_guard<std::mutex> lock(mu);
    if (off) return -EIO;
    if (mode == OpenMode::ReadOnly) return -EROFS;
    if (!reach(block, true)) return -ENOMEM;
    if (reaches_cut()) {
      if (cut_kind == CutKind::TornErase) {
        count_erase(block);
        tear_erase(block);
      } else if (cut_kind == CutKind::Unstable) {
        count_erase(block);
        unstable_erase(block);
      }
      return -EIO;
    }
    count_erase(block);
    bool fail = (block_faults[block] & (kFailErase | kGrownBad)) != 0;
    fail |= countdown(nth_erase);
    fail |= chance(erase_fail_rate);
    if (fail) {
      tear_erase(block);
      return -EIO;
    }
    std::memset(block_bytes(block), 0xFF, raw_block);
    uint64_t first = uint64_t(block) * pages_per_block;
    for (uint32_t p = 0; p < pages_per_block; p++) page_state[first + p] &= kFailProgram;
    return 0;
  }

  int mark_bad(uint32_t block) {
    if (block >= blocks) return -EINVAL;
    std::lock_guard<std::mutex> lock(mu);
    if (off) return -EIO;
    if (mode == OpenMode::ReadOnly) return -EROFS;
    if (!reach(block, true)) return -ENOMEM;
    if (reaches_cut()) return -EIO;  // never torn: it is not a page program
    // The simulation's choice: the marker is one OOB byte programmed in
    // place; it costs a program's time but is neither counted as a page
    // program nor tracked as one (so it is never a double program).
    add_time(block, program_ns + ns_per_byte);
    block_bytes(block)[page_size] = 0x00;
    return 0;
  }

  int isbad(uint32_t block) {
    if (block >= blocks) return -EINVAL;
    std::lock_guard<std::mutex> lock(mu);
    if (off) return -EIO;
    if (!reach(block)) return -ENOMEM;
    return block_bytes(block)[page_size] != 0xFF ? 1 : 0;
  }

  // Marks the factory bad blocks of an erased chip; false (errno set) when
  // a chunk cannot be mapped.
  bool apply_factory_bad_blocks() {
    auto mark = [this](uint32_t block) {
      if (!reach(block, true)) return false;
      block_bytes(block)[page_size] = 0x00;
      return true;
    };
    for (uint32_t block : options.factory_bad_blocks) {
      if (!mark(block)) return false;
    }
    if (options.factory_bad_rate > 0) {
      // A stream of its own, so the fault draws do not depend on the rate.
      std::mt19937_64 factory(options.seed ^ 0x9E3779B97F4A7C15ull);
      for (uint32_t block = 0; block < blocks; block++) {
        if (double(factory() >> 11) * 0x1.0p-53 < options.factory_bad_rate && !mark(block))
          return false;
      }
    }
    return true;
  }
};

// ---------------------------------------------------------------------------
// Creation and opening
// ---------------------------------------------------------------------------

NandChip::NandChip(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
  init_mtd_device(impl_->whole, *this, "nand0", 0, 0, impl_->blocks,
                  impl_->mode == OpenMode::ReadOnly);
}

NandChip::~NandChip() = default;

Result<std::unique_ptr<NandChip>> NandChip::create_in_memory(const Options& options) {
  std::string invalid = validate_options(options);
  if (!invalid.empty()) return Status::InvalidArgument("invalid chip options: " + invalid);
  auto impl = std::make_unique<Impl>();
  impl->init(options, OpenMode::ReadWrite, 0);
  // Memory is mapped whole: a chip larger than the address space needs an
  // image file.
  const uint64_t size = options.geometry.image_size();
  impl->map_prot = PROT_READ | PROT_WRITE;
  impl->map_share = MAP_PRIVATE | MAP_ANONYMOUS;
  if (!impl->map(impl->image, 0, size)) {
    return Status::IOError("cannot allocate " + std::to_string(size) +
                           " bytes for the simulated chip: " + errno_text(errno) +
                           " (use an image file)");
  }
  impl->erase_all();
  impl->apply_factory_bad_blocks();
  return std::unique_ptr<NandChip>(new NandChip(std::move(impl)));
}

namespace {

// A file descriptor closed when it goes out of scope, and a file removed
// unless kept: what create_image holds while it builds the new image.
struct TempImage {
  std::string path;
  int fd = -1;
  bool keep = false;
  ~TempImage() {
    if (fd >= 0) close(fd);
    if (!keep && !path.empty()) unlink(path.c_str());
  }
};

}  // namespace

Result<std::unique_ptr<NandChip>> NandChip::create_image(const std::string& path,
                                                         const Options& options) {
  std::string invalid = validate_options(options);
  if (!invalid.empty()) return Status::InvalidArgument("invalid chip options: " + invalid);
  // The file the name leads to (through symlinks) is the one replaced.
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::weakly_canonical(path, ec);
  if (ec)
    return Status::FromErrno(ec.value(), "cannot create image '" + path + "': " + ec.message());

  // An existing image is replaced only once its writer's lock is held, so
  // an image a server or another command is writing is never touched.
  TempImage old_image;
  old_image.keep = true;
  old_image.fd = open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (old_image.fd >= 0) {
    if (Status locked = lock_writer(old_image.fd, "image '" + path + "'"); !locked.ok()) {
      return locked;
    }
  } else if (errno != ENOENT) {
    const int err = errno;
    return Status::FromErrno(err, "cannot open image '" + path + "': " + errno_text(err));
  }

  // The new image is built beside it and renamed over the name when
  // complete: a failure leaves the old file (or no file) as it was, and a
  // reader that has the old file mapped keeps it.
  auto impl = std::make_unique<Impl>();
  impl->init(options, OpenMode::ReadWrite, 0);
  impl->file_backed = true;
  TempImage temp;
  temp.path = (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  temp.fd = mkostemp(temp.path.data(), O_CLOEXEC);
  if (temp.fd < 0) {
    const int err = errno;
    temp.path.clear();
    return Status::FromErrno(err, "cannot create image '" + path + "': " + errno_text(err));
  }
  const mode_t mask = umask(0);
  umask(mask);
  (void)fchmod(temp.fd, 0666 & ~mask);
  if (Status locked = lock_writer(temp.fd, "image '" + path + "'"); !locked.ok()) return locked;
  uint64_t size = options.geometry.image_size();
  if (ftruncate(temp.fd, off_t(size)) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot size image '" + path + "' to " + std::to_string(size) +
                                      " bytes: " + errno_text(err));
  }
  impl->fd = temp.fd;  // the chip closes it from now on
  temp.fd = -1;
  impl->plan_mapping(options.map_limit, PROT_READ | PROT_WRITE, MAP_SHARED);
  if ((impl->blocks_per_chunk == 0 && !impl->map(impl->image, 0, size)) || !impl->erase_all() ||
      !impl->apply_factory_bad_blocks()) {
    return Status::IOError("cannot map image '" + path + "': " + errno_text(errno));
  }
  if (!impl->msync_all() || fsync(impl->fd) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot write image '" + path + "': " + errno_text(err));
  }
  if (rename(temp.path.c_str(), target.c_str()) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot create image '" + path + "': " + errno_text(err));
  }
  temp.keep = true;
  return std::unique_ptr<NandChip>(new NandChip(std::move(impl)));
}

Result<std::unique_ptr<NandChip>> NandChip::open_image(const std::string& path,
                                                       const Options& options, OpenMode mode) {
  std::string invalid = validate_options(options);
  if (!invalid.empty()) return Status::InvalidArgument("invalid chip options: " + invalid);
  auto impl = std::make_unique<Impl>();
  // The pages of an existing image are judged at their first program.
  impl->init(options, mode, kUnknown);
  impl->file_backed = true;
  int flags = (mode == OpenMode::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  impl->fd = open(path.c_str(), flags);
  if (impl->fd < 0) {
    int err = errno;
    if (mode == OpenMode::ReadWrite && (err == EACCES || err == EROFS || err == EPERM)) {
      return Status::ReadOnly("cannot open image '" + path + "' for writing: " + errno_text(err) +
                              " (the file is read-only; open it in read-only or private mode)");
    }
    return Status::FromErrno(err, "cannot open image '" + path + "': " + errno_text(err));
  }
  if (mode == OpenMode::ReadWrite) {
    if (Status locked = lock_writer(impl->fd, "image '" + path + "'"); !locked.ok()) return locked;
  }
  struct stat st;
  if (fstat(impl->fd, &st) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot stat image '" + path + "': " + errno_text(err));
  }
  if (!S_ISREG(st.st_mode)) {
    return Status::InvalidArgument("image '" + path + "' is not a regular file");
  }
  uint64_t expected = options.geometry.image_size();
  uint64_t actual = uint64_t(st.st_size);
  if (actual != expected) {
    // Too short an image has lost its end; too long a one is not of this
    // geometry.
    std::string message = "image '" + path + "' is " + std::to_string(actual) +
                          " bytes but the geometry needs exactly " + std::to_string(expected) +
                          " bytes (" + (actual < expected ? "truncated" : "oversized") + " image)";
    if (actual < expected) return Status::Corruption(std::move(message));
    return Status::InvalidArgument(std::move(message));
  }
  int prot = mode == OpenMode::ReadOnly ? PROT_READ : PROT_READ | PROT_WRITE;
  int share = mode == OpenMode::ReadWrite ? MAP_SHARED : MAP_PRIVATE;
  impl->plan_mapping(options.map_limit, prot, share);
  if (impl->blocks_per_chunk == 0 ? !impl->map(impl->image, 0, expected) : !impl->reach(0)) {
    return Status::IOError("cannot map image '" + path + "': " + errno_text(errno));
  }
  // The simulation's choice: an existing image keeps the bad-block markers
  // it has; the factory list and rate apply only when a chip is created.
  return std::unique_ptr<NandChip>(new NandChip(std::move(impl)));
}

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------

const Geometry& NandChip::geometry() const { return impl_->options.geometry; }
OpenMode NandChip::mode() const { return impl_->mode; }
mtd_info* NandChip::mtd() { return &impl_->whole.info; }

int NandChip::read_page(uint64_t page, uint8_t* data, uint8_t* oob) {
  return impl_->read(page, data, oob, 0, impl_->oob_size);
}

int NandChip::program_page(uint64_t page, const uint8_t* data, const uint8_t* oob) {
  return impl_->program(page, data, oob, 0, impl_->oob_size);
}

int NandChip::read_page_range(uint64_t page, uint8_t* data, uint8_t* oob, uint32_t oob_offset,
                              uint32_t oob_len) {
  return impl_->read(page, data, oob, oob_offset, oob_len);
}

int NandChip::program_page_range(uint64_t page, const uint8_t* data, const uint8_t* oob,
                                 uint32_t oob_offset, uint32_t oob_len) {
  return impl_->program(page, data, oob, oob_offset, oob_len);
}

int NandChip::erase_block(uint32_t block) { return impl_->erase(block); }

bool NandChip::is_bad(uint32_t block) {
  if (block >= impl_->blocks) return true;
  std::lock_guard<std::mutex> lock(impl_->mu);
  // A block the host cannot reach is not one to use.
  return !impl_->reach(block) || impl_->block_bytes(block)[impl_->page_size] != 0xFF;
}

int NandChip::mark_bad(uint32_t block) { return impl_->mark_bad(block); }

int NandChip::block_isbad(uint32_t block) { return impl_->isbad(block); }

std::vector<uint8_t> NandChip::raw_page(uint64_t page) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (page >= impl_->total_pages || !impl_->reach(impl_->block_of(page))) return {};
  const uint8_t* bytes = impl_->page_bytes(page);
  return std::vector<uint8_t>(bytes, bytes + impl_->raw_page);
}

Status NandChip::sync() {
  if (!impl_->file_backed || impl_->mode != OpenMode::ReadWrite) return Status::Ok();
  auto failed = [] {
    return Status::IOError("cannot flush the image to disk: " + errno_text(errno));
  };
  if (impl_->blocks_per_chunk == 0) {  // mapped whole: the mapping never moves
    if (!impl_->msync_all()) return failed();
    return Status::Ok();
  }
  // Chunks unmapped before left their changes in the page cache.
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (!impl_->msync_all()) return failed();
  }
  if (fdatasync(impl_->fd) != 0) return failed();
  return Status::Ok();
}

Counters NandChip::counters() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->totals;
}

Counters NandChip::block_counters(uint32_t block) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (block >= impl_->blocks) return Counters{};
  return impl_->per_block[block];
}

void NandChip::reset_counters() {
  impl_->locked([](Impl& s) {
    s.totals = Counters{};
    std::fill(s.per_block.begin(), s.per_block.end(), Counters{});
  });
}

// ---------------------------------------------------------------------------
// Faults and power
// ---------------------------------------------------------------------------

void NandChip::fail_program_at(uint64_t page) {
  impl_->locked([page](Impl& s) {
    if (page < s.total_pages) s.page_state[page] |= kFailProgram;
  });
}

void NandChip::fail_erase_at(uint32_t block) {
  impl_->locked([block](Impl& s) {
    if (block < s.blocks) s.block_faults[block] |= kFailErase;
  });
}

void NandChip::fail_nth_program(uint64_t n) {
  impl_->locked([n](Impl& s) { s.nth_program = n; });
}

void NandChip::fail_nth_erase(uint64_t n) {
  impl_->locked([n](Impl& s) { s.nth_erase = n; });
}

void NandChip::set_program_fail_rate(double p) {
  impl_->locked([p](Impl& s) { s.program_fail_rate = p; });
}

void NandChip::set_erase_fail_rate(double p) {
  impl_->locked([p](Impl& s) { s.erase_fail_rate = p; });
}

void NandChip::grow_bad_block(uint32_t block) {
  impl_->locked([block](Impl& s) {
    if (block < s.blocks) s.block_faults[block] |= kGrownBad;
  });
}

void NandChip::inject_read_error(uint64_t page, int code) {
  impl_->locked([page, code](Impl& s) {
    if (page >= s.total_pages) return;
    uint8_t& state = s.page_state[page];
    state &= uint8_t(~kReadFaults);
    if (code == -EUCLEAN) state |= kReadCorrected;
    if (code == -EBADMSG) state |= kReadDamaged;
  });
}

void NandChip::set_bitflip_rates(double p_corrected, double p_uncorrectable) {
  impl_->locked([=](Impl& s) {
    s.p_corrected = p_corrected;
    s.p_uncorrectable = p_uncorrectable;
  });
}

// Clears every armed fault, injected read errors and a pending power cut
// included. What already happened stays: damaged pages keep reading
// -EBADMSG until erased, and a chip whose power is off stays off.
void NandChip::clear_faults() {
  impl_->locked([](Impl& s) {
    constexpr uint8_t kPageFaults = kFailProgram | kReadFaults;
    for (uint8_t& state : s.page_state) state &= uint8_t(~kPageFaults);
    std::fill(s.block_faults.begin(), s.block_faults.end(), 0);
    s.nth_program = 0;
    s.nth_erase = 0;
    s.program_fail_rate = 0;
    s.erase_fail_rate = 0;
    s.p_corrected = 0;
    s.p_uncorrectable = 0;
    s.cut_armed = false;
  });
}

void NandChip::power_cut_after(uint64_t n, CutKind kind) {
  impl_->locked([n, kind](Impl& s) {
    s.cut_armed = true;
    s.cut_remaining = n;
    s.cut_kind = kind;
  });
}

bool NandChip::powered_off() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->off;
}

void NandChip::power_on() {
  impl_->locked([](Impl& s) { s.off = false; });
}

// Every program, erase and mark-bad that reached the chip, failed ones and
// the one at a power cut included.
uint64_t NandChip::mutating_ops() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->mutating;
}

bool NandChip::is_damaged(uint64_t page) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return page < impl_->total_pages && (impl_->page_state[page] & kDamaged) != 0;
}

}  // namespace nandsim
