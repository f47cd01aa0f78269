// Flash access of the translation layer: the 16-byte spare record written
// with every page and the mapping page, encoded and decoded byte by byte as
// FORMAT.md describes them; the six physical operations that turn a block
// and page number into an MTD device call; and the one read path that tries
// a failing page again.
#include "nyx_nftl.h"

// ---------------------------------------------------------------------------
// Spare record (FORMAT.md, "Spare record" and "Tag words").
// ---------------------------------------------------------------------------
namespace {

void put_be32(uchar* buf, uint32 value) {
  buf[0] = static_cast<uchar>(value >> 24);
  buf[1] = static_cast<uchar>(value >> 16);
  buf[2] = static_cast<uchar>(value >> 8);
  buf[3] = static_cast<uchar>(value);
}

void put_be16(uchar* buf, uint16 value) {
  buf[0] = static_cast<uchar>(value >> 8);
  buf[1] = static_cast<uchar>(value);
}

uint32 get_be32(const uchar* buf) {
  return (uint32(buf[0]) << 24) | (uint32(buf[1]) << 16) | (uint32(buf[2]) << 8) | uint32(buf[3]);
}

uint16 get_be16(const uchar* buf) { return static_cast<uint16>((buf[0] << 8) | buf[1]); }

void put_counts(uchar* buf, uint32 block_used_count, uint16 erase_times) {
  put_be16(buf + 4, erase_times);
  put_be32(buf + 6, block_used_count);
}

}  // namespace

void set_oob_logic_page(nyx_nftl_part_t* /*part*/, uchar* buf, uint32 logic_page,
                        uint32 block_used_count, uint16 erase_times) {
  buf[0] = static_cast<uchar>(0xC0 | (logic_page >> 24));
  buf[1] = static_cast<uchar>(logic_page >> 16);
  buf[2] = static_cast<uchar>(logic_page >> 8);
  buf[3] = static_cast<uchar>(logic_page);
  put_counts(buf, block_used_count, erase_times);
}

void set_oob_special_page(nyx_nftl_part_t* /*part*/, uchar* buf, uint32 special_data,
                          uint32 block_used_count, uint16 erase_times) {
  put_be32(buf, special_data);
  put_counts(buf, block_used_count, erase_times);
}

uint32 get_special_data_from_oob(const uchar* buf) { return get_be32(buf); }

uint32 get_logic_page_from_oob(const uchar* buf) { return get_be32(buf) & NYX_LOGIC_PAGE_MASK; }

uint16 get_erase_count_from_oob(const uchar* buf) { return get_be16(buf + 4); }

uint32 get_block_used_count_from_oob(const uchar* buf) { return get_be32(buf + 6); }

uchar get_bad_flag_from_oob(const uchar* buf) {
  return (buf[0] | buf[1] | buf[2] | buf[3]) != 0 ? 1 : 0;
}

bool is_logic_page_tag(uint32 tag) {
  // The erased value also has the two top bits set, so it is ruled out first.
  return tag != NYX_TAG_ERASED && ((tag >> 24) & 0xC0) == 0xC0;
}

bool oob_has_logic_tag_bits(const uchar* buf) { return (buf[0] & 0xC0) == 0xC0; }

bool oob_is_special(const uchar* buf) { return buf[0] == uchar(NYX_TAG_MAPPING_PAGE >> 24); }

// The marks are told by bytes 0 and 1 alone: the rest of their record is
// erased, and a mark page's later bytes carry nothing.
bool oob_is_head_mark(const uchar* buf) {
  return buf[0] == uchar(NYX_TAG_HEAD_MARK >> 24) && buf[1] == uchar(NYX_TAG_HEAD_MARK >> 16);
}

bool oob_is_end_mark(const uchar* buf) {
  return buf[0] == uchar(NYX_TAG_END_MARK >> 24) && buf[1] == uchar(NYX_TAG_END_MARK >> 16);
}

void set_oob_mark(uchar* buf, uint32 mark) {
  for (uint32 i = 0; i < NYX_SPARE_BYTES; ++i) buf[i] = 0xFF;
  buf[0] = static_cast<uchar>(mark >> 24);
  buf[1] = static_cast<uchar>(mark >> 16);
}

// ---------------------------------------------------------------------------
// Mapping page (FORMAT.md, "Mapping page"). Only min(page_size, 4100) bytes
// move.
// ---------------------------------------------------------------------------
namespace {

constexpr uint32 kMappingRecordBytes = sizeof(_phy_page_mapping);  // 4100

uint32 mapping_word(const _phy_page_mapping* map, uint32 index) {
  return index < NYX_MAX_PAGES_PER_BLK ? map->phy_page_map[index]
                                       : static_cast<uint32>(map->block_used_count);
}

void set_mapping_word(_phy_page_mapping* map, uint32 index, uint32 value) {
  if (index < NYX_MAX_PAGES_PER_BLK) {
    map->phy_page_map[index] = value;
  } else {
    map->block_used_count = static_cast<sint32>(value);
  }
}

}  // namespace

// Whole 32-bit entries are moved four bytes at a time (the mount decodes a
// mapping page per full block); a byte count that ends inside an entry
// moves the bytes of that entry that fit.
void nyx_nftl_encode_mapping_page(const _phy_page_mapping* map, uchar* page, uint32 page_size) {
  uint32 n = page_size < kMappingRecordBytes ? page_size : kMappingRecordBytes;
  uint32 k = 0;
  for (; k + 4 <= n; k += 4) {
    uint32 word = mapping_word(map, k / 4);
    page[k] = static_cast<uchar>(word);
    page[k + 1] = static_cast<uchar>(word >> 8);
    page[k + 2] = static_cast<uchar>(word >> 16);
    page[k + 3] = static_cast<uchar>(word >> 24);
  }
  for (; k < n; ++k) page[k] = static_cast<uchar>(mapping_word(map, k / 4) >> (8 * (k % 4)));
  // A page larger than the record carries 0xFF after it, the erased value,
  // so that the rest of the page programs no bits and reads as unwritten.
  for (k = n; k < page_size; ++k) page[k] = 0xFF;
}

void nyx_nftl_decode_mapping_page(const uchar* page, uint32 page_size, _phy_page_mapping* map) {
  uint32 n = page_size < kMappingRecordBytes ? page_size : kMappingRecordBytes;
  uint32 k = 0;
  for (; k + 4 <= n; k += 4) {
    set_mapping_word(map, k / 4,
                     uint32(page[k]) | (uint32(page[k + 1]) << 8) | (uint32(page[k + 2]) << 16) |
                         (uint32(page[k + 3]) << 24));
  }
  for (; k < n; ++k) {
    uint32 index = k / 4;
    uint32 shift = 8 * (k % 4);
    uint32 word = mapping_word(map, index);
    word = (word & ~(0xFFu << shift)) | (uint32(page[k]) << shift);
    set_mapping_word(map, index, word);
  }
}

// ---------------------------------------------------------------------------
// Physical operations.
// ---------------------------------------------------------------------------
namespace {

uint64_t block_address(const mtd_info* mtd, uint16 block) {
  return uint64_t(block) * mtd->erasesize;
}

uint64_t page_address(const mtd_info* mtd, const _physic_op_par* p) {
  return block_address(mtd, p->phy_page.blkNO_in_chip) +
         uint64_t(p->phy_page.Page_NO) * mtd->writesize;
}

mtd_oob_ops page_request(const mtd_info* mtd, const _physic_op_par* p) {
  return nyx_nftl_page_request(mtd, p->main_data_addr, p->spare_data_addr);
}

}  // namespace

mtd_oob_ops nyx_nftl_page_request(const mtd_info* mtd, uchar* main, uchar* spare) {
  mtd_oob_ops ops{};
  ops.mode = MTD_OOB_AUTO;
  ops.len = mtd->writesize;
  ops.ooblen = NYX_SPARE_BYTES;
  ops.ooboffs = mtd->ecclayout != nullptr ? mtd->ecclayout->oobfree[0].offset : 0;
  ops.datbuf = main;
  ops.oobbuf = spare;
  return ops;
}

int nand_erase_superblk(nyx_nftl_part_t* part, _physic_op_par* p) {
  mtd_info* mtd = part->mtd;
  erase_info instr{};
  instr.mtd = mtd;
  instr.addr = block_address(mtd, p->phy_page.blkNO_in_chip);
  instr.len = mtd->erasesize;
  instr.callback = nullptr;
  return mtd->erase(mtd, &instr);
}

int nand_read_page(nyx_nftl_part_t* part, _physic_op_par* p) {
  mtd_info* mtd = part->mtd;
  uint64_t addr = page_address(mtd, p);
  part->total_reads++;
  int ret;
  if (p->spare_data_addr != nullptr) {
    mtd_oob_ops ops = page_request(mtd, p);
    ret = mtd->read_oob(mtd, addr, &ops);
  } else {
    size_t retlen = 0;
    ret = mtd->read(mtd, addr, mtd->writesize, &retlen, p->main_data_addr);
  }
  if (ret == -EUCLEAN) {
    printk("read reclaim\n");
  } else if (ret != 0) {
    printk("nyx_ops_read_page failed: %llx %d %d\n", static_cast<unsigned long long>(addr),
           p->phy_page.blkNO_in_chip, p->phy_page.Page_NO);
  }
  return ret;
}

int nand_write_page(nyx_nftl_part_t* part, _physic_op_par* p) {
  mtd_info* mtd = part->mtd;
  uint64_t addr = page_address(mtd, p);
  part->total_write++;
  if (p->spare_data_addr != nullptr) {
    mtd_oob_ops ops = page_request(mtd, p);
    return mtd->write_oob(mtd, addr, &ops);
  }
  size_t retlen = 0;
  return mtd->write(mtd, addr, mtd->writesize, &retlen, p->main_data_addr);
}

int nand_copy_page(nyx_nftl_part_t* part, _physic_op_par* a, _physic_op_par* b, uchar* buf,
                   uint32 block_used_count, uint16 erase_times) {
  uchar spare[NYX_SPARE_BYTES];
  a->page_bitmap = part->nand_chip->bitmap_per_page;
  b->page_bitmap = part->nand_chip->bitmap_per_page;
  a->main_data_addr = buf;
  b->main_data_addr = buf;
  a->spare_data_addr = spare;
  b->spare_data_addr = spare;

  int read_ret = nand_read_page(part, a);
  uint32 logic_page = get_logic_page_from_oob(spare);
  set_oob_logic_page(part, spare, logic_page, block_used_count, erase_times);
  // The destination is written whatever the read gave; the caller learns
  // of a failed read from the result.
  int write_ret = nand_write_page(part, b);

  // No pointer to the local spare buffer outlives the call.
  a->spare_data_addr = nullptr;
  b->spare_data_addr = nullptr;
  if (read_ret == -EUCLEAN) read_ret = 0;
  return write_ret | read_ret;
}

bool nand_read_ok(int ret) { return ret == 0 || ret == -EUCLEAN; }

int nand_read_page_tries(nyx_nftl_part_t* part, _physic_op_par* p) {
  int ret = 0;
  for (int attempt = 0; attempt < NYX_READ_TRIES; ++attempt) {
    ret = part->nand_read_page(part, p);
    if (nand_read_ok(ret)) break;
  }
  return ret;
}

int nand_is_blk_good(nyx_nftl_part_t* part, _physic_op_par* p) {
  mtd_info* mtd = part->mtd;
  return mtd->block_isbad(mtd, block_address(mtd, p->phy_page.blkNO_in_chip)) == 0 ? 1 : 0;
}

int nand_mark_bad_blk(nyx_nftl_part_t* part, _physic_op_par* p) {
  mtd_info* mtd = part->mtd;
  int ret = mtd->block_markbad(mtd, block_address(mtd, p->phy_page.blkNO_in_chip));
  return (ret & 0xFF) != 0 ? 1 : 0;
}
