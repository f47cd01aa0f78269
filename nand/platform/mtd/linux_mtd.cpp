// The Linux MTD character device behind the platform's MTD interface: the
// ioctl calls, the private overlay of a reader, and the sysfs descriptions.
#include "platform/mtd/linux_mtd.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <unordered_map>

#include "platform/kernel/kernel.h"
#include "platform/mtd/writer_lock.h"

namespace linuxmtd {

namespace {

// The kernel's MTD character device ABI (include/uapi/mtd/mtd-abi.h),
// declared here rather than included: the kernel header defines names that
// the platform's own MTD interface uses too (nand_oobfree, MTD_NANDFLASH).
namespace abi {

struct mtd_info_user {
  uint8_t type;
  uint32_t flags;
  uint32_t size;
  uint32_t erasesize;
  uint32_t writesize;
  uint32_t oobsize;
  uint64_t padding;
};
static_assert(sizeof(mtd_info_user) == 32);

struct erase_info_user64 {
  uint64_t start;
  uint64_t length;
};

struct mtd_oob_buf {
  uint32_t start;
  uint32_t length;
  unsigned char* ptr;
};

struct mtd_write_req {
  uint64_t start;
  uint64_t len;
  uint64_t ooblen;
  uint64_t usr_data;
  uint64_t usr_oob;
  uint8_t mode;
  uint8_t padding[7];
};
static_assert(sizeof(mtd_write_req) == 48);

struct mtd_read_req_ecc_stats {
  uint32_t uncorrectable_errors;
  uint32_t corrected_bitflips;
  uint32_t max_bitflips;
};

struct mtd_read_req {
  uint64_t start;
  uint64_t len;
  uint64_t ooblen;
  uint64_t usr_data;
  uint64_t usr_oob;
  uint8_t mode;
  uint8_t padding[7];
  mtd_read_req_ecc_stats ecc_stats;
};
static_assert(sizeof(mtd_read_req) == 64);

struct mtd_ecc_stats {
  uint32_t corrected;
  uint32_t failed;
  uint32_t badblocks;
  uint32_t bbtblocks;
};

struct oobfree_user {
  uint32_t offset;
  uint32_t length;
};

struct nand_ecclayout_user {
  uint32_t eccbytes;
  uint32_t eccpos[64];
  uint32_t oobavail;
  oobfree_user oobfree[8];
};

constexpr uint8_t kTypeNand = 4;
constexpr uint8_t kOpsAutoOob = 1;

constexpr unsigned long kMemGetInfo = _IOR('M', 1, mtd_info_user);
constexpr unsigned long kMemReadOob = _IOWR('M', 4, mtd_oob_buf);
constexpr unsigned long kMemGetBadBlock = _IOW('M', 11, long long);
constexpr unsigned long kMemSetBadBlock = _IOW('M', 12, long long);
constexpr unsigned long kEccGetLayout = _IOR('M', 17, nand_ecclayout_user);
constexpr unsigned long kEccGetStats = _IOR('M', 18, mtd_ecc_stats);
constexpr unsigned long kMemErase64 = _IOW('M', 20, erase_info_user64);
constexpr unsigned long kMemWrite = _IOWR('M', 24, mtd_write_req);
constexpr unsigned long kMemRead = _IOWR('M', 26, mtd_read_req);

}  // namespace abi

std::string errno_text(int err) { return std::strerror(err); }

// The first line of a sysfs attribute, or empty.
std::string read_attribute(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (in) std::getline(in, line);
  return line;
}

bool parse_u64(const std::string& text, uint64_t* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

// The N of "/dev/mtdN" (or of "mtdN"), or -1.
int device_index(std::string_view path) {
  const size_t slash = path.rfind('/');
  std::string_view base = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (base.substr(0, 3) != "mtd" || base.size() == 3) return -1;
  int n = 0;
  for (char c : base.substr(3)) {
    if (c < '0' || c > '9' || n > 100000) return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

Result<DeviceRef> parse_device_ref(std::string_view text) {
  DeviceRef ref;
  const size_t eq = text.find('=');
  ref.path = std::string(text.substr(0, eq));
  if (eq != std::string_view::npos) ref.name = std::string(text.substr(eq + 1));
  if (ref.path.empty())
    return Status::InvalidArgument("empty device path in \"" + std::string(text) + "\"");
  if (eq != std::string_view::npos && ref.name.empty()) {
    return Status::InvalidArgument("empty partition name in \"" + std::string(text) + "\"");
  }
  return ref;
}

bool looks_like_device(std::string_view text) {
  const std::string_view path = text.substr(0, text.find('='));
  return path.substr(0, 8) == "/dev/mtd" && device_index(path) >= 0;
}

Result<std::vector<DeviceEntry>> list_devices(const std::string& sysfs_root) {
  std::vector<DeviceEntry> found;
  // /sys/class/mtd holds mtdN and mtdNro; only mtdN are listed.
  for (int index = 0; index < 4096; ++index) {
    const std::string dir = sysfs_root + "/mtd" + std::to_string(index);
    if (::access(dir.c_str(), F_OK) != 0) continue;
    DeviceEntry e;
    e.index = index;
    e.path = "/dev/mtd" + std::to_string(index);
    e.name = read_attribute(dir + "/name");
    e.type = read_attribute(dir + "/type");
    parse_u64(read_attribute(dir + "/size"), &e.size);
    found.push_back(std::move(e));
  }
  if (found.empty() && ::access(sysfs_root.c_str(), F_OK) != 0) {
    return Status::NotFound(sysfs_root + " does not exist: this kernel has no MTD devices");
  }
  return found;
}

// ---------------------------------------------------------------------------
// The device.
// ---------------------------------------------------------------------------

struct LinuxMtdDevice::Impl {
  int fd = -1;
  Mode mode = Mode::ReadWrite;
  std::string path;
  std::string name;
  uint32_t writesize = 0;
  uint32_t erasesize = 0;
  uint32_t oobsize = 0;
  uint32_t oobavail = 0;
  uint64_t size = 0;
  nand_ecclayout layout{};
  mtd_info info{};
  bool have_memread = true;

  // A reader's writes: per block, whether it was erased here, and the pages
  // programmed here (main data, then the free OOB bytes), and the blocks
  // marked bad here.
  struct PageImage {
    std::vector<uint8_t> main;
    std::vector<uint8_t> oob;
  };
  struct BlockOverlay {
    bool erased = false;
    std::unordered_map<uint32_t, PageImage> pages;
  };
  std::unordered_map<uint32_t, BlockOverlay> overlay;
  std::set<uint32_t> marked_bad;

  ~Impl() {
    if (fd >= 0) ::close(fd);
  }

  bool page_aligned(uint64_t addr) const { return addr < size && addr % writesize == 0; }
  bool block_aligned(uint64_t addr) const { return addr < size && addr % erasesize == 0; }
  uint32_t block_of(uint64_t addr) const { return uint32_t(addr / erasesize); }
  uint32_t page_in_block(uint64_t addr) const { return uint32_t((addr % erasesize) / writesize); }

  // --- The device itself ---------------------------------------------------

  // A read's ECC outcome as the platform's MTD interface reports it.
  static int ecc_result(bool uncorrectable_seen, bool corrected_seen) {
    return uncorrectable_seen ? -EBADMSG : corrected_seen ? -EUCLEAN : 0;
  }

  int device_read(uint64_t addr, uint8_t* data, uint8_t* oob, size_t ooblen) {
    if (have_memread) {
      abi::mtd_read_req req{};
      req.start = addr;
      req.len = data != nullptr ? writesize : 0;
      req.ooblen = oob != nullptr ? ooblen : 0;
      req.usr_data = reinterpret_cast<uintptr_t>(data);
      req.usr_oob = reinterpret_cast<uintptr_t>(oob);
      req.mode = abi::kOpsAutoOob;
      const int r = ::ioctl(fd, abi::kMemRead, &req);
      const int err = r < 0 ? errno : 0;
      if (err == ENOTTY) {
        have_memread = false;
        printk(
            "linux_mtd: %s: MEMREAD is not supported by this kernel; reading with pread, "
            "MEMREADOOB and ECCGETSTATS instead\n",
            path.c_str());
      } else {
        // The kernel reads the whole request or fails it (it hands the
        // lengths back as they were asked, not as they were read).
        if (err != 0 && err != EUCLEAN && err != EBADMSG) return -err;
        return ecc_result(err == EBADMSG || req.ecc_stats.uncorrectable_errors > 0,
                          err == EUCLEAN || req.ecc_stats.corrected_bitflips > 0);
      }
    }
    return fallback_read(addr, data, oob, ooblen);
  }

  // pread for the main data, MEMREADOOB for the spare bytes (the first free
  // run of the OOB layout), and the ECC outcome from the device's counters.
  int fallback_read(uint64_t addr, uint8_t* data, uint8_t* oob, size_t ooblen) {
    abi::mtd_ecc_stats before{};
    abi::mtd_ecc_stats after{};
    if (::ioctl(fd, abi::kEccGetStats, &before) < 0) return -errno;
    if (data != nullptr) {
      const ssize_t n = ::pread(fd, data, writesize, static_cast<off_t>(addr));
      if (n < 0) return -errno;
      if (size_t(n) != writesize) return -EIO;
    }
    if (oob != nullptr && ooblen > 0) {
      if (ooblen > layout.oobfree[0].length) return -EOPNOTSUPP;  // a split free area
      if (addr > UINT32_MAX) return -EOPNOTSUPP;                  // MEMREADOOB addresses 4 GiB
      abi::mtd_oob_buf buf{};
      buf.start = static_cast<uint32_t>(addr + layout.oobfree[0].offset);
      buf.length = static_cast<uint32_t>(ooblen);
      buf.ptr = oob;
      if (::ioctl(fd, abi::kMemReadOob, &buf) < 0) return -errno;
      if (buf.length != ooblen) return -EIO;
    }
    if (::ioctl(fd, abi::kEccGetStats, &after) < 0) return -errno;
    return ecc_result(after.failed != before.failed, after.corrected != before.corrected);
  }

  int device_write(uint64_t addr, const uint8_t* data, const uint8_t* oob, size_t ooblen) {
    abi::mtd_write_req req{};
    req.start = addr;
    req.len = data != nullptr ? writesize : 0;
    req.ooblen = oob != nullptr ? ooblen : 0;
    req.usr_data = reinterpret_cast<uintptr_t>(data);
    req.usr_oob = reinterpret_cast<uintptr_t>(oob);
    req.mode = abi::kOpsAutoOob;
    if (::ioctl(fd, abi::kMemWrite, &req) < 0) return -errno;
    return 0;
  }

  // --- Reads and writes through the overlay ---------------------------------

  int read(uint64_t addr, uint8_t* data, uint8_t* oob, size_t ooblen) {
    auto block = overlay.find(block_of(addr));
    if (block != overlay.end()) {
      auto page = block->second.pages.find(page_in_block(addr));
      if (page != block->second.pages.end()) {
        if (data != nullptr) std::memcpy(data, page->second.main.data(), writesize);
        if (oob != nullptr) std::memcpy(oob, page->second.oob.data(), ooblen);
        return 0;
      }
      if (block->second.erased) {
        if (data != nullptr) std::memset(data, 0xFF, writesize);
        if (oob != nullptr) std::memset(oob, 0xFF, ooblen);
        return 0;
      }
    }
    return device_read(addr, data, oob, ooblen);
  }

  int write(uint64_t addr, const uint8_t* data, const uint8_t* oob, size_t ooblen) {
    if (mode == Mode::ReadWrite) return device_write(addr, data, oob, ooblen);
    // A reader keeps the page in memory, programmed over what the page held
    // (NAND programming only clears bits).
    PageImage image;
    image.main.assign(writesize, 0xFF);
    image.oob.assign(oobavail, 0xFF);
    const int ret = read(addr, image.main.data(), image.oob.data(), oobavail);
    if (ret != 0 && ret != -EUCLEAN) {
      std::fill(image.main.begin(), image.main.end(), 0xFF);
      std::fill(image.oob.begin(), image.oob.end(), 0xFF);
    }
    if (data != nullptr) {
      for (uint32_t i = 0; i < writesize; ++i) image.main[i] &= data[i];
    }
    for (size_t i = 0; oob != nullptr && i < ooblen && i < image.oob.size(); ++i)
      image.oob[i] &= oob[i];
    overlay[block_of(addr)].pages[page_in_block(addr)] = std::move(image);
    return 0;
  }

  int erase(uint64_t addr) {
    if (mode == Mode::Private) {
      BlockOverlay& block = overlay[block_of(addr)];
      block.erased = true;
      block.pages.clear();
      return 0;
    }
    abi::erase_info_user64 e{addr, erasesize};
    return ::ioctl(fd, abi::kMemErase64, &e) < 0 ? -errno : 0;
  }

  int isbad(uint64_t addr) {
    if (marked_bad.count(block_of(addr)) != 0) return 1;
    long long ofs = static_cast<long long>(addr);
    const int r = ::ioctl(fd, abi::kMemGetBadBlock, &ofs);
    if (r < 0) return errno == EOPNOTSUPP ? 0 : -errno;  // no bad blocks on this device
    return r != 0 ? 1 : 0;
  }

  int markbad(uint64_t addr) {
    if (mode == Mode::Private) {
      marked_bad.insert(block_of(addr));
      return 0;
    }
    long long ofs = static_cast<long long>(addr);
    return ::ioctl(fd, abi::kMemSetBadBlock, &ofs) < 0 ? -errno : 0;
  }
};

namespace {

LinuxMtdDevice::Impl* impl_of(mtd_info* mtd) {
  return static_cast<LinuxMtdDevice::Impl*>(mtd->priv);
}

bool oob_request_valid(const LinuxMtdDevice::Impl* d, const mtd_oob_ops* ops) {
  if (ops->mode != MTD_OOB_AUTO) return false;  // the layer places its record automatically
  if (ops->datbuf != nullptr && ops->len != d->writesize) return false;
  if (ops->ooblen > 0 && (ops->oobbuf == nullptr || ops->ooblen > d->oobavail ||
                          ops->ooboffs != d->layout.oobfree[0].offset)) {
    return false;
  }
  return ops->datbuf != nullptr || ops->ooblen > 0;
}

int op_erase(mtd_info* mtd, erase_info* instr) {
  if (instr == nullptr) return -EINVAL;
  LinuxMtdDevice::Impl* d = impl_of(mtd);
  const int ret =
      instr->len == d->erasesize && d->block_aligned(instr->addr) ? d->erase(instr->addr) : -EINVAL;
  instr->state = ret == 0 ? MTD_ERASE_DONE : MTD_ERASE_FAILED;
  instr->fail_addr = ret == 0 || ret == -EINVAL ? MTD_FAIL_ADDR_UNKNOWN : instr->addr;
  if (ret != -EINVAL && instr->callback != nullptr) instr->callback(instr);
  return ret;
}

int op_read(mtd_info* mtd, uint64_t from, size_t len, size_t* retlen, uint8_t* buf) {
  LinuxMtdDevice::Impl* d = impl_of(mtd);
  if (retlen != nullptr) *retlen = 0;
  if (buf == nullptr || len != d->writesize || !d->page_aligned(from)) return -EINVAL;
  const int ret = d->read(from, buf, nullptr, 0);
  if (retlen != nullptr && (ret == 0 || ret == -EUCLEAN || ret == -EBADMSG)) *retlen = len;
  return ret;
}

int op_write(mtd_info* mtd, uint64_t to, size_t len, size_t* retlen, const uint8_t* buf) {
  LinuxMtdDevice::Impl* d = impl_of(mtd);
  if (retlen != nullptr) *retlen = 0;
  if (buf == nullptr || len != d->writesize || !d->page_aligned(to)) return -EINVAL;
  const int ret = d->write(to, buf, nullptr, 0);
  if (retlen != nullptr && ret == 0) *retlen = len;
  return ret;
}

// A page with its OOB bytes, read or written: the request checked, then
// served; its lengths are reported once the bytes moved (a read that met ECC
// trouble moved them too, and says so in its result).
int oob_request(mtd_info* mtd, uint64_t at, mtd_oob_ops* ops, bool is_read) {
  if (ops == nullptr) return -EINVAL;
  LinuxMtdDevice::Impl* d = impl_of(mtd);
  ops->retlen = 0;
  ops->oobretlen = 0;
  if (!d->page_aligned(at) || !oob_request_valid(d, ops)) return -EINVAL;
  uint8_t* oob = ops->ooblen > 0 ? ops->oobbuf : nullptr;
  const int ret = is_read ? d->read(at, ops->datbuf, oob, ops->ooblen)
                          : d->write(at, ops->datbuf, oob, ops->ooblen);
  if (ret == 0 || (is_read && (ret == -EUCLEAN || ret == -EBADMSG))) {
    ops->retlen = ops->datbuf != nullptr ? ops->len : 0;
    ops->oobretlen = ops->ooblen;
  }
  return ret;
}

int op_read_oob(mtd_info* mtd, uint64_t from, mtd_oob_ops* ops) {
  return oob_request(mtd, from, ops, true);
}

int op_write_oob(mtd_info* mtd, uint64_t to, mtd_oob_ops* ops) {
  return oob_request(mtd, to, ops, false);
}

int op_block_isbad(mtd_info* mtd, uint64_t ofs) {
  LinuxMtdDevice::Impl* d = impl_of(mtd);
  return d->block_aligned(ofs) ? d->isbad(ofs) : -EINVAL;
}

int op_block_markbad(mtd_info* mtd, uint64_t ofs) {
  LinuxMtdDevice::Impl* d = impl_of(mtd);
  return d->block_aligned(ofs) ? d->markbad(ofs) : -EINVAL;
}

// Every write has reached the chip when its ioctl returns: nothing to sync.
void op_sync(mtd_info*) {}

// The size, the names and the free OOB bytes: sysfs and the kernel's OOB
// layout, where MEMGETINFO does not tell them.
Status describe(LinuxMtdDevice::Impl* d, const DeviceRef& ref, int index,
                const std::string& sysfs_root) {
  const std::string dir = sysfs_root + "/mtd" + std::to_string(index);
  uint64_t value = 0;
  if (index >= 0 && parse_u64(read_attribute(dir + "/size"), &value)) d->size = value;
  d->name = !ref.name.empty() ? ref.name : index >= 0 ? read_attribute(dir + "/name") : "";

  abi::nand_ecclayout_user layout{};
  if (::ioctl(d->fd, abi::kEccGetLayout, &layout) == 0) {
    d->layout.eccbytes = layout.eccbytes;
    d->layout.oobavail = layout.oobavail;
    for (int i = 0; i < MTD_MAX_OOBFREE_ENTRIES; ++i) {
      d->layout.oobfree[i] = nand_oobfree{layout.oobfree[i].offset, layout.oobfree[i].length};
    }
    d->oobavail = layout.oobavail;
  } else if (index >= 0 && parse_u64(read_attribute(dir + "/oobavail"), &value)) {
    d->oobavail = static_cast<uint32_t>(value);
    d->layout.oobavail = d->oobavail;
    d->layout.oobfree[0] = nand_oobfree{0, d->oobavail};
  }
  if (d->oobavail < 16) {
    return Status::InvalidArgument(ref.path + " has " + std::to_string(d->oobavail) +
                                   " free OOB bytes per page; the spare record needs 16");
  }
  return Status::Ok();
}

void fill_mtd_info(LinuxMtdDevice::Impl* d, int index) {
  mtd_info& m = d->info;
  m.type = MTD_NANDFLASH;
  m.flags = MTD_WRITEABLE;
  m.size = d->size;
  m.erasesize = d->erasesize;
  m.writesize = d->writesize;
  m.oobsize = d->oobsize;
  m.oobavail = d->oobavail;
  m.name = d->name.c_str();
  m.index = index;
  m.ecclayout = &d->layout;
  m.erase = op_erase;
  m.read = op_read;
  m.write = op_write;
  m.read_oob = op_read_oob;
  m.write_oob = op_write_oob;
  m.block_isbad = op_block_isbad;
  m.block_markbad = op_block_markbad;
  m.sync = op_sync;
  m.priv = d;
}

}  // namespace

Result<std::unique_ptr<LinuxMtdDevice>> LinuxMtdDevice::open(const DeviceRef& ref, Mode mode,
                                                             const std::string& sysfs_root) {
  auto d = std::make_unique<Impl>();
  d->mode = mode;
  d->path = ref.path;
  const int index = device_index(ref.path);
  d->fd = ::open(ref.path.c_str(), (mode == Mode::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (d->fd < 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot open " + ref.path + ": " + errno_text(err));
  }
  if (mode == Mode::ReadWrite) {
    if (Status locked = nandsim::lock_writer(d->fd, ref.path); !locked.ok()) return locked;
  }
  abi::mtd_info_user info{};
  if (::ioctl(d->fd, abi::kMemGetInfo, &info) < 0) {
    const int err = errno;
    return Status::InvalidArgument(ref.path +
                                   " is not an MTD device (MEMGETINFO: " + errno_text(err) + ")");
  }
  if (info.type != abi::kTypeNand) {
    return Status::InvalidArgument(ref.path + " is not a NAND device (MTD type " +
                                   std::to_string(info.type) + ")");
  }
  if (info.writesize == 0 || info.erasesize == 0 || info.erasesize % info.writesize != 0) {
    return Status::InvalidArgument(ref.path + " reports a page size of " +
                                   std::to_string(info.writesize) + " and an erase size of " +
                                   std::to_string(info.erasesize));
  }
  d->writesize = info.writesize;
  d->erasesize = info.erasesize;
  d->oobsize = info.oobsize;
  d->size = info.size;
  if (Status described = describe(d.get(), ref, index, sysfs_root); !described.ok())
    return described;
  fill_mtd_info(d.get(), index);
  return std::unique_ptr<LinuxMtdDevice>(new LinuxMtdDevice(std::move(d)));
}

LinuxMtdDevice::LinuxMtdDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
LinuxMtdDevice::~LinuxMtdDevice() = default;

mtd_info* LinuxMtdDevice::mtd() { return &impl_->info; }
const std::string& LinuxMtdDevice::name() const { return impl_->name; }

}  // namespace linuxmtd
