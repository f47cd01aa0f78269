// The operation table of the simulated chip's MTD devices: address checks,
// then the chip's page, block and bad-block operations.
#include "platform/mtd/sim_mtd_device.h"

#include <cerrno>

#include "platform/mtd/nand_sim.h"

namespace nandsim {

// ---------------------------------------------------------------------------
// MTD devices
// ---------------------------------------------------------------------------

namespace {

MtdDevice* device_of(mtd_info* mtd) { return static_cast<MtdDevice*>(mtd->priv); }

// The chip page at device address `addr`, or false when the address is not
// the start of a page inside the device.
bool page_at(const MtdDevice* d, uint64_t addr, uint64_t* page) {
  if (addr >= d->size || addr % d->writesize != 0) return false;
  *page = d->first_page + addr / d->writesize;
  return true;
}

// Block addresses must be the start of a block inside the device (stricter
// than Linux, which rounds down: an unaligned address here is a caller bug).
bool block_at(const MtdDevice* d, uint64_t addr, uint32_t* block) {
  if (addr >= d->size || addr % d->erasesize != 0) return false;
  *block = d->first_block + uint32_t(addr / d->erasesize);
  return true;
}

bool data_returned(int ret) { return ret == 0 || ret == -EUCLEAN || ret == -EBADMSG; }

int mtd_erase(mtd_info* mtd, erase_info* instr) {
  if (instr == nullptr) return -EINVAL;
  MtdDevice* d = device_of(mtd);
  uint32_t block = 0;
  int ret;
  if (instr->len != d->erasesize || !block_at(d, instr->addr, &block)) {
    ret = -EINVAL;
  } else if (d->read_only) {
    ret = -EROFS;
  } else {
    ret = d->chip->erase_block(block);
  }
  instr->state = ret == 0 ? MTD_ERASE_DONE : MTD_ERASE_FAILED;
  instr->fail_addr = ret == 0 || ret == -EINVAL ? MTD_FAIL_ADDR_UNKNOWN : instr->addr;
  if (ret != -EINVAL && instr->callback != nullptr) instr->callback(instr);
  return ret;
}

int mtd_read(mtd_info* mtd, uint64_t from, size_t len, size_t* retlen, uint8_t* buf) {
  MtdDevice* d = device_of(mtd);
  if (retlen != nullptr) *retlen = 0;
  uint64_t page = 0;
  if (buf == nullptr || len != d->writesize || !page_at(d, from, &page)) return -EINVAL;
  int ret = d->chip->read_page_range(page, buf, nullptr, 0, 0);
  if (retlen != nullptr && data_returned(ret)) *retlen = len;
  return ret;
}

int mtd_write(mtd_info* mtd, uint64_t to, size_t len, size_t* retlen, const uint8_t* buf) {
  MtdDevice* d = device_of(mtd);
  if (retlen != nullptr) *retlen = 0;
  uint64_t page = 0;
  if (buf == nullptr || len != d->writesize || !page_at(d, to, &page)) return -EINVAL;
  if (d->read_only) return -EROFS;
  int ret = d->chip->program_page_range(page, buf, nullptr, 0, 0);
  if (retlen != nullptr && ret == 0) *retlen = len;
  return ret;
}

// Checks an OOB request. The main length is looked at only when a main
// buffer is given (spare-only requests carry len = writesize too).
bool oob_request_valid(const MtdDevice* d, const mtd_oob_ops* ops) {
  if (ops->mode != MTD_OOB_PLACE && ops->mode != MTD_OOB_AUTO && ops->mode != MTD_OOB_RAW) {
    return false;
  }
  if (ops->datbuf != nullptr && ops->len != d->writesize) return false;
  if (ops->ooblen > 0) {
    if (ops->oobbuf == nullptr) return false;
    uint64_t end = uint64_t(ops->ooboffs) + ops->ooblen;
    if (end > d->oob_size) return false;
    if (ops->mode == MTD_OOB_AUTO && ops->ooboffs < d->spare_offset) return false;
  }
  return ops->datbuf != nullptr || ops->ooblen > 0;
}

int mtd_read_oob(mtd_info* mtd, uint64_t from, mtd_oob_ops* ops) {
  if (ops == nullptr) return -EINVAL;
  MtdDevice* d = device_of(mtd);
  ops->retlen = 0;
  ops->oobretlen = 0;
  uint64_t page = 0;
  if (!page_at(d, from, &page) || !oob_request_valid(d, ops)) return -EINVAL;
  uint32_t ooblen = uint32_t(ops->ooblen);
  int ret = d->chip->read_page_range(page, ops->datbuf, ooblen > 0 ? ops->oobbuf : nullptr,
                                     ops->ooboffs, ooblen);
  if (data_returned(ret)) {
    ops->retlen = ops->datbuf != nullptr ? ops->len : 0;
    ops->oobretlen = ooblen;
  }
  return ret;
}

int mtd_write_oob(mtd_info* mtd, uint64_t to, mtd_oob_ops* ops) {
  if (ops == nullptr) return -EINVAL;
  MtdDevice* d = device_of(mtd);
  ops->retlen = 0;
  ops->oobretlen = 0;
  uint64_t page = 0;
  if (!page_at(d, to, &page) || !oob_request_valid(d, ops)) return -EINVAL;
  if (d->read_only) return -EROFS;
  uint32_t ooblen = uint32_t(ops->ooblen);
  int ret = d->chip->program_page_range(page, ops->datbuf, ooblen > 0 ? ops->oobbuf : nullptr,
                                        ops->ooboffs, ooblen);
  if (ret == 0) {
    ops->retlen = ops->datbuf != nullptr ? ops->len : 0;
    ops->oobretlen = ooblen;
  }
  return ret;
}

int mtd_block_isbad(mtd_info* mtd, uint64_t ofs) {
  MtdDevice* d = device_of(mtd);
  uint32_t block = 0;
  if (!block_at(d, ofs, &block)) return -EINVAL;
  return d->chip->block_isbad(block);
}

int mtd_block_markbad(mtd_info* mtd, uint64_t ofs) {
  MtdDevice* d = device_of(mtd);
  uint32_t block = 0;
  if (!block_at(d, ofs, &block)) return -EINVAL;
  if (d->read_only) return -EROFS;
  return d->chip->mark_bad(block);
}

void mtd_sync(mtd_info* mtd) {
  // The MTD hook has no way to report a failure; the chip's sync() does.
  (void)device_of(mtd)->chip->sync();
}

}  // namespace

void init_mtd_device(MtdDevice& device, NandChip& chip, std::string name, int index,
                     uint32_t first_block, uint32_t block_count, bool read_only) {
  const Geometry& g = chip.geometry();
  device.chip = &chip;
  device.first_block = first_block;
  device.first_page = uint64_t(first_block) * g.pages_per_block;
  device.size = g.erase_size() * block_count;
  device.writesize = g.page_size;
  device.erasesize = uint32_t(g.erase_size());
  device.oob_size = g.oob_size;
  device.spare_offset = g.spare_offset;
  device.read_only = read_only || chip.mode() == OpenMode::ReadOnly;
  device.name = std::move(name);

  device.layout = nand_ecclayout{};
  device.layout.eccbytes = 0;  // the simulation keeps no ECC bytes in the OOB area
  device.layout.oobavail = g.oob_size - g.spare_offset;
  device.layout.oobfree[0] = nand_oobfree{g.spare_offset, g.oob_size - g.spare_offset};

  mtd_info& m = device.info;
  m = mtd_info{};
  m.type = MTD_NANDFLASH;
  m.flags = device.read_only ? 0 : MTD_WRITEABLE;
  m.size = device.size;
  m.erasesize = device.erasesize;
  m.writesize = device.writesize;
  m.oobsize = g.oob_size;
  m.oobavail = device.layout.oobavail;
  m.name = device.name.c_str();
  m.index = index;
  m.ecclayout = &device.layout;
  m.erase = mtd_erase;
  m.read = mtd_read;
  m.write = mtd_write;
  m.read_oob = mtd_read_oob;
  m.write_oob = mtd_write_oob;
  m.block_isbad = mtd_block_isbad;
  m.block_markbad = mtd_block_markbad;
  m.sync = mtd_sync;
  m.priv = &device;
}

}  // namespace nandsim
