// Bring-up and teardown of one partition record over an MTD device: the
// geometry checks, the chip record, the block-record table, the parameters,
// the head-mark probe, the format of an unmarked partition and the mount
// scan. Whatever bring-up allocated is released again when it fails.
// Below them, a block device's bring-up and release of its partition (attach,
// capacity, page cache, debug class) and the debug class's attributes.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "nyx_nftl.h"

namespace {

constexpr uint32 kMinBlocks = 17;     // fewer blocks do not make a partition
constexpr uint32 kMaxBlocks = 65535;  // block numbers are 16-bit
// Every page transfers the whole spare record through the free OOB bytes, so
// a device must offer at least that many.
constexpr uint32 kMinSpareBytes = NYX_SPARE_BYTES;
constexpr uint16 kRatedEraseTimes = NYX_MAX_ERASE_TIMES;

// Releases whatever a partition record holds, in the reverse order of
// bring-up; fields not yet allocated are null.
void release_partition(nyx_nftl_part_t* part) {
  part_param_exit(part);
  if (part->nand_chip != nullptr) {
    kfree(part->nand_chip->nand_block_info);
    kfree_record(part->nand_chip);
  }
  kfree_record(part);
}

// Page and block shapes that the records can hold. Beyond the block count:
// a page holds whole sectors (at most 255 of them, as sector_per_page is
// 8-bit, and its size fits the 16-bit bytes_per_page), a block holds whole
// pages, at most the reverse map's 1024 of them, and the mapping page holds
// the block's whole reverse map. A power-of-two erase size makes the block
// count derived from the erase shift exact.
bool geometry_fits(const mtd_info* mtd) {
  uint32 writesize = mtd->writesize;
  uint32 erasesize = mtd->erasesize;
  if (writesize < 512 || writesize % 512 != 0 || writesize / 512 > 255 || writesize > 0xFFFF) {
    return false;
  }
  if (erasesize == 0 || (erasesize & (erasesize - 1)) != 0 || erasesize % writesize != 0)
    return false;
  uint32 pages_per_blk = erasesize / writesize;
  // A block needs at least one data page besides its mapping page.
  return pages_per_blk >= 2 && pages_per_blk <= NYX_MAX_PAGES_PER_BLK &&
         4 * pages_per_blk <= writesize;
}

}  // namespace

namespace {

// The chip record's geometry from the MTD device (blocks already checked).
void set_chip_geometry(nand_chip_t* chip, const mtd_info* mtd, uint32 total_blocks) {
  chip->bytes_per_page = static_cast<uint16>(mtd->writesize);
  chip->bytes_user_date = static_cast<uchar>(std::min<uint32>(mtd->oobavail, 0xFF));
  chip->blk_per_chip = static_cast<uint16>(total_blocks);
  chip->pages_per_blk = static_cast<uint16>(mtd->erasesize / mtd->writesize);
  chip->sector_per_page = static_cast<uchar>(mtd->writesize / 512);
  chip->bitmap_per_page = chip->sector_per_page;
  chip->max_erase_times = kRatedEraseTimes;
}

// The reserve: an eighth of the blocks, at least 32, but half of a
// partition too small to spare 32. Logs the start line.
uint32 reserve_blocks(uint32 total_blocks, uint32 pages_per_blk) {
  uint32 reserve = static_cast<uint16>(total_blocks / 8);
  if (reserve < 32) reserve = 32;
  if (reserve >= total_blocks) reserve = static_cast<uint16>(total_blocks / 2);
  printk("nftl start%d,%d\n", static_cast<int>(total_blocks), static_cast<int>(reserve));

  // Each block holds pages_per_blk - 1 logical pages (its last page is the
  // mapping page), while the capacity above counts pages_per_blk per logical
  // block. With 8 or fewer pages per block that promises more than the flash
  // holds, and writes near the end of the disk would fail for want of free
  // blocks. For a partition the mount can serve (15 spare blocks or more),
  // the logical blocks are lowered until their pages fit in the data pages
  // of all blocks but the head mark's and 8 more left as room for
  // collection. With 16 or more pages per block the rule above already
  // leaves that room and nothing changes.
  uint32 logical_blocks = total_blocks - reserve;
  if (total_blocks - 1 - logical_blocks >= 15) {
    uint32 fit = (total_blocks - 9) * (pages_per_blk - 1) / pages_per_blk;
    if (logical_blocks > fit) reserve = total_blocks - fit;
  }
  return reserve;
}

// The block-record table: records 0 .. total_blocks - 1 unscanned, and the
// end record total_blocks. Null when memory runs out.
_phy_block_info* new_block_table(uint32 total_blocks) {
  auto* table =
      static_cast<_phy_block_info*>(kzalloc(sizeof(_phy_block_info) * (total_blocks + 1)));
  if (table == nullptr) return nullptr;
  std::memset(table, 0xFF, sizeof(_phy_block_info) * total_blocks);
  for (uint32 i = 0; i <= total_blocks; ++i) {
    table[i].phy_block.blkNO_in_chip = static_cast<uint16>(i);
    table[i].invalid_page_count = 0;
    table[i].invalid_page_next = nullptr;
    table[i].invalid_page_prev = nullptr;
    table[i].free_next = nullptr;
    table[i].block_used_next = nullptr;
    table[i].block_used_prev = nullptr;
  }
  return table;
}

}  // namespace

int nyx_nftl_part_attach(mtd_info* mtd, nyx_nftl_part_t** out,
                         const nyx_nftl_attach_options* options) {
  if (mtd->oobavail < kMinSpareBytes) return -1;
  if (!geometry_fits(mtd)) return -1;
  uint32 erase_shift = static_cast<uint32>(__builtin_ctz(mtd->erasesize));
  uint32 total_blocks = static_cast<uint32>(mtd->size >> erase_shift);
  if (total_blocks < kMinBlocks || total_blocks > kMaxBlocks) return -1;

  nyx_nftl_part_t* part = kzalloc_record<nyx_nftl_part_t>();
  if (part == nullptr) return -ENOMEM;
  nand_chip_t* chip = kzalloc_record<nand_chip_t>();
  if (chip == nullptr) {
    kfree_record(part);
    return -ENOMEM;
  }
  part->nand_chip = chip;
  mutex_init(&part->nyx_nftl_lock);
  part->mtd = mtd;
  part->gc_policy = options != nullptr ? options->gc_policy : NYX_GC_STANDARD;
  set_chip_geometry(chip, mtd, total_blocks);

  const uint32 reserve = reserve_blocks(total_blocks, chip->pages_per_blk);
  part->free_block_num = static_cast<uint16>(reserve);
  chip->nand_block_info = new_block_table(total_blocks);
  if (chip->nand_block_info == nullptr) {
    release_partition(part);
    return -ENOMEM;
  }

  uint32 sectors_per_block = mtd->erasesize >> 9;
  if (part_param_init(part, 0, sectors_per_block * (total_blocks - reserve),
                      sectors_per_block * reserve) != 0) {
    release_partition(part);
    return -ENOMEM;
  }

  // The scan's outcome does not stop bring-up: the record tells whether the
  // partition has a current block.
  if (is_no_use_device(part) == 1) create_part_list_first(part);
  create_part_list(part);

  *out = part;
  return 0;
}

void nyx_nftl_part_detach(nyx_nftl_part_t* part) {
  if (part == nullptr) return;
  release_partition(part);
}

// ---------------------------------------------------------------------------
// A block device's partition: bring-up on top of the attach (capacity, page
// cache, debug class) and release, and the debug class's attributes.
// ---------------------------------------------------------------------------

namespace {

// Registers the partition's debug class under `class_name`. A failure is
// logged and bring-up goes on; a name buffer that could not be had counts as
// such a failure. The name buffer stays with the class until release.
void register_debug_class(nyx_nftl_part_t* part, const char* class_name) {
  const size_t size = std::strlen(class_name) + 1;
  auto* name = static_cast<char*>(kzalloc(size));
  if (name == nullptr) {
    printk(" class register nand_class fail!\n");
    return;
  }
  std::memcpy(name, class_name, size - 1);
  part->debug.name = name;
  part->debug.class_attrs = nftl_class_attrs;
  if (class_register(&part->debug) != 0) printk(" class register nand_class fail!\n");
}

// The partition record that holds a debug class.
nyx_nftl_part_t* part_of_class(device_class* cls) {
  return reinterpret_cast<nyx_nftl_part_t*>(reinterpret_cast<char*>(cls) -
                                            offsetof(nyx_nftl_part_t, debug));
}

}  // namespace

int nyx_nftl_initialize(nyx_nftl_blk_t* nyx_nftl_blk) {
  mtd_info* mtd = nyx_nftl_blk->mbd.mtd;
  // A partition that fails its attach leaves nothing allocated, so the
  // device record never points at a released record.
  nyx_nftl_part_t* part = nullptr;
  nyx_nftl_blk->nyx_nftl_part = nullptr;
  int ret = nyx_nftl_part_attach(mtd, &part, &nyx_nftl_blk->attach_options);
  if (ret != 0) return ret;
  nyx_nftl_blk->nyx_nftl_part = part;

  nyx_nftl_blk->mbd.size = part->logic_cap_in_sects;

  // Without its cache the device has no sector entries and cannot serve a
  // request: bring-up fails as out of memory, with everything released.
  if (cache_init(nyx_nftl_blk) != 0) {
    nyx_nftl_part_detach(part);
    nyx_nftl_blk->nyx_nftl_part = nullptr;
    return -ENOMEM;
  }

  const nyx_nftl_served_part* served = nyx_nftl_served_part_of(mtd->name);
  if (served != nullptr && served->debug_class != nullptr)
    register_debug_class(part, served->debug_class);
  return 0;
}

void nyx_nftl_part_release(nyx_nftl_blk_t* nyx_nftl_blk) {
  nyx_nftl_part_t* part = nyx_nftl_blk->nyx_nftl_part;
  if (part == nullptr) return;
  // The class lives in the partition record: it is withdrawn (which waits
  // for attribute operations in progress) and its name released before the
  // record goes. Withdrawing a class whose registration failed does nothing.
  if (part->debug.name != nullptr) {
    class_unregister(&part->debug);
    kfree(part->debug.name);
    part->debug.name = nullptr;
  }
  cache_exit(nyx_nftl_blk);
  nyx_nftl_part_detach(part);
  nyx_nftl_blk->nyx_nftl_part = nullptr;
}

// ---------------------------------------------------------------------------
// Debug attributes. Each one runs under the partition's lock, like every
// other path into the partition, so it never meets the worker or a request
// half way. Output goes to the kernel log; a read yields empty text.
// ---------------------------------------------------------------------------

ssize_t show_part_struct(device_class* cls, class_attribute* /*attr*/, char* /*buf*/) {
  nyx_nftl_part_t* part = part_of_class(cls);
  mutex_lock(&part->nyx_nftl_lock);
  print_part(part);
  mutex_unlock(&part->nyx_nftl_lock);
  return 0;
}

ssize_t show_list(device_class* cls, class_attribute* /*attr*/, char* /*buf*/) {
  nyx_nftl_part_t* part = part_of_class(cls);
  mutex_lock(&part->nyx_nftl_lock);
  print_free_list(part);
  print_block_invalid_list(part);
  mutex_unlock(&part->nyx_nftl_lock);
  return 0;
}

ssize_t do_gc_all(device_class* cls, class_attribute* /*attr*/, char* /*buf*/) {
  nyx_nftl_part_t* part = part_of_class(cls);
  mutex_lock(&part->nyx_nftl_lock);
  gc_all(part);
  mutex_unlock(&part->nyx_nftl_lock);
  return 0;
}

ssize_t do_gc_one(device_class* cls, class_attribute* /*attr*/, char* /*buf*/) {
  nyx_nftl_part_t* part = part_of_class(cls);
  mutex_lock(&part->nyx_nftl_lock);
  gc_one(part);
  mutex_unlock(&part->nyx_nftl_lock);
  return 0;
}

namespace {

constexpr uint32 kTableLines = 512;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a hexadecimal number the way "%x" does (leading blanks, an optional
// 0x, at least one digit; whatever follows is ignored), into 64 bits so that
// a number too large for a page number is seen as such. False when the text
// does not begin with a hexadecimal number.
bool parse_hex(const char* text, size_t count, uint64_t* value) {
  size_t i = 0;
  while (i < count && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n')) ++i;
  if (i + 2 < count && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      hex_digit(text[i + 2]) >= 0) {
    i += 2;
  }
  uint64_t n = 0;
  size_t digits = 0;
  for (; i < count && hex_digit(text[i]) >= 0; ++i, ++digits) {
    if (n <= 0xFFFFFFFFull) n = n * 16 + static_cast<uint64_t>(hex_digit(text[i]));
  }
  *value = n;
  return digits > 0;
}

}  // namespace

// Logs 512 entries of the logical page map from the written page on. The
// dump stays within the map: a start page near the end prints only up to
// the map's last entry; a start page beyond the map, or text that is not a
// hexadecimal number, is refused with a log line and -EINVAL.
ssize_t show_logic_page_table(device_class* cls, class_attribute* /*attr*/, const char* buf,
                              size_t count) {
  nyx_nftl_part_t* part = part_of_class(cls);
  uint64_t start = 0;
  if (!parse_hex(buf, count, &start)) {
    printk("show_logic_page_table: not a hexadecimal page number\n");
    return -EINVAL;
  }
  mutex_lock(&part->nyx_nftl_lock);
  const uint32 pages = nyx_nftl_logic_pages(part);
  if (start >= pages) {
    mutex_unlock(&part->nyx_nftl_lock);
    printk("show_logic_page_table: page %llx is beyond the map (%x pages)\n",
           static_cast<unsigned long long>(start), pages);
    return -EINVAL;
  }
  const uint32 page = static_cast<uint32>(start);
  const uint32 lines = pages - page < kTableLines ? pages - page : kTableLines;
  for (uint32 i = 0; i < lines; ++i) {
    const _nand_page entry = part->part_logic_page_map[page + i];
    printk("page:%4x -> [%4x][%4x]\n", page + i, entry.blkNO_in_chip, entry.Page_NO);
  }
  mutex_unlock(&part->nyx_nftl_lock);
  return static_cast<ssize_t>(count);
}

class_attribute nftl_class_attrs[] = {
    {"part", 0444, show_part_struct, nullptr},
    {"list", 0444, show_list, nullptr},
    {"gcall", 0444, do_gc_all, nullptr},
    {"gcone", 0444, do_gc_one, nullptr},
    {"table", 0444, nullptr, show_logic_page_table},
    {nullptr, 0, nullptr, nullptr},
};
