// The translation layer's shared header: the in-memory records of a
// partition (partition record, block records, logical page map, reverse map,
// geometry, collection and wear-levelling settings, priority reclaim queue),
// the records of a served device (page cache, device record) and the
// prototypes of every unit. The on-flash format (spare record, tag words,
// mapping page, marks, dead pages) and the rules the mount relies on are
// described once, in FORMAT.md beside this header.
//
// Reading order: nyx_nftl_phy (spare record, physical operations),
// nyx_nftl_list (block lists), nyx_nftl_create_list (parameters, format,
// mount scan, diagnostics), nyx_nftl_logic (logical pages), nyx_nftl_gc
// (collection, priority reclaim, wear levelling), nyx_nftl_cache (page cache,
// sector I/O), nyx_nftl_init (bring-up, debug attributes), nyx_nftl_block
// (block device, worker); nyx_nftl_check verifies the invariants between
// operations.
//
// Results: the layer's own operations return 0 for success and 1 for
// failure; physical operations return the MTD device's code, where -EUCLEAN
// (-117, corrected) counts as success wherever a read is tested; the device
// entries return negative errno values.
//
// Locking: every operation on a live partition runs with the partition's
// `nyx_nftl_lock` held by its caller; nothing here takes a lock itself. The
// mount (parameters, format, scan) runs before the device exists, unlocked.
//
// Log lines and a few names keep the system's historical spelling
// ("unkown", "muti", "invaild", "get_empty_cahce_node", "adjust_invaild_list",
// "nftl start%d,%d"): the kernel log is read by tools and people who match
// these exact texts, so they are not to be corrected.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>

#include "platform/block/blkdev.h"
#include "platform/block/blktrans.h"
#include "platform/kernel/device_class.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/kthread.h"
#include "platform/kernel/ktime.h"
#include "platform/kernel/reboot.h"
#include "platform/kernel/spinlock.h"
#include "platform/mtd/mtd.h"

typedef unsigned char uchar;
typedef uint16_t uint16;
typedef uint32_t uint32;
typedef int32_t sint32;

// ---------------------------------------------------------------------------
// Constants.
// ---------------------------------------------------------------------------
constexpr uint32 NYX_SPARE_BYTES = 16;          // spare record transferred with a page
constexpr uint32 NYX_MAX_PAGES_PER_BLK = 1024;  // reverse-map entries
constexpr uint16 NYX_MAX_ERASE_TIMES = 3000;    // rated erase cycles of a block
// Tag words of the spare record (FORMAT.md, "Tag words").
constexpr uint32 NYX_TAG_ERASED = 0xFFFFFFFF;
constexpr uint32 NYX_TAG_MAPPING_PAGE = 0xAAAAFFFF;
constexpr uint32 NYX_TAG_HEAD_MARK = 0xAAEEFFFF;
constexpr uint32 NYX_TAG_END_MARK = 0xAACCFFFF;
constexpr uint32 NYX_TAG_DEAD_PAGE = 0xCFFFFFFF;  // a page slot that holds nothing
// Reads of one page before its failure counts (the mount, collection and the
// write path's moves): a passing bit error clears on a second read, while a
// page damaged by a torn program or erase keeps failing.
constexpr int NYX_READ_TRIES = 3;
constexpr uint32 NYX_LOGIC_PAGE_MASK = 0x0FFFFFFF;
constexpr uint16 NYX_UNMAPPED_BLOCK = 0xFFFF;     // map entry of a never-written page
constexpr uint32 NYX_NO_LOGIC_PAGE = 0xFFFFFFFF;  // reverse-map entry of no page

// Block states in `info`, as the attach-time scans found the block.
constexpr uint16 NYX_BLOCK_DATA = 0;
constexpr uint16 NYX_BLOCK_FREE = 1;
constexpr uint16 NYX_BLOCK_BAD = 0x00FF;
constexpr uint16 NYX_BLOCK_UNSCANNED = 0xFFFF;

// Collection policies, chosen per partition at attach (not part of the
// format: an image written under one attaches and serves under the other).
constexpr uint16 NYX_GC_STANDARD = 0;  // start/stop thresholds, steps of 4/8/16 pages
constexpr uint16 NYX_GC_GREEDY = 1;    // collect only at a low mark, steps sized to hold it
constexpr uint16 NYX_GC_POLICIES = 2;  // the policies are numbered 0 .. NYX_GC_POLICIES - 1

// How a partition is attached; zero-filled is the default.
struct nyx_nftl_attach_options {
  uint16 gc_policy;  // NYX_GC_STANDARD or NYX_GC_GREEDY
};

// Priority reclaim types.
constexpr uint16 NYX_PRIO_FREE = 0;
constexpr uint16 NYX_PRIO_RETIRE = 1;
constexpr uint16 NYX_PRIO_WEAR_LEVEL = 2;
constexpr int NYX_PRIO_GC_NODES = 10;

// ---------------------------------------------------------------------------
// Records.
// ---------------------------------------------------------------------------

// A block address.
struct _nand_block {
  uint16 blkNO_in_chip;
};

// One entry of the logical page map; packed to 5 bytes, since the map takes
// one per logical page. `blkNO_in_chip` 0xFFFF: never written.
struct __attribute__((packed)) _nand_page {
  uint16 Page_NO;
  uint16 blkNO_in_chip;
  uchar page_status;  // reserved, stays 0xFF
};
static_assert(sizeof(_nand_page) == 5, "map entries are 5 bytes");

// One record per erase block. Link fields are null when the block is not on
// that list (see nyx_nftl_list for the three lists and their orders).
typedef struct __phy_block {
  _nand_block phy_block;      // the block's own number, its index in the table
  uint16 info;                // scan state: 0 data, 1 free, 0x00FF bad, 0xFFFF unscanned
  uint16 invalid_page_count;  // pages holding nothing valid, mapping page included
  uint16 erase_count;
  sint32 block_used_count;  // sequence number; -1 for erased or unscanned blocks
  struct __phy_block* invalid_page_next;
  struct __phy_block* invalid_page_prev;  // previous block, or the list head
  struct __phy_block* free_next;
  struct __phy_block* block_used_next;
  struct __phy_block* block_used_prev;  // previous block, or the list head
} _phy_block_info;

// The reverse map of one block: for page i, the logical page written there,
// 0xFFFFFFFF for none. Also the main data of a full block's mapping page
// (FORMAT.md), encoded by nyx_nftl_encode_mapping_page.
typedef struct __phy_page_mapping {
  uint32 phy_page_map[NYX_MAX_PAGES_PER_BLK];
  sint32 block_used_count;  // reserved
} _phy_page_mapping;
static_assert(sizeof(_phy_page_mapping) == 4100, "the reverse map record is 4100 bytes");

typedef struct {
  uchar (*nand_erase_superblk)(struct _physic_op_par_s* p);
  uchar (*nand_read_page)(struct _physic_op_par_s* p);
  uchar (*nand_write_page)(struct _physic_op_par_s* p);
  uchar (*nand_copy_page)(struct _physic_op_par_s* a, struct _physic_op_par_s* b, uchar* buf);
  uint16 pages_per_blk;
  uint16 page_offset_in_nextblk;
  uint16* phy_conversion_table;
} _nand_safe_property;  // declared for completeness; never used

// Geometry of the MTD partition, filled at bring-up.
typedef struct {
  uchar nand_id[8];
  uchar sector_per_page;
  uchar frequence_par;
  uchar bytes_user_date;  // free spare bytes per page (oobavail)
  uchar bytes_ecc_date;
  uchar ecc_bits;
  uchar ecc_for_bytes;
  uchar two_plane_support;
  uint16 max_erase_times;
  uint16 two_plane_offset;
  uint16 pages_per_blk;
  uint16 page_offset_in_nextblk;
  uint16 blk_per_chip;
  uint16 bytes_per_page;
  uint16 bitmap_per_page;  // = sector_per_page, passed as page_bitmap
  _nand_safe_property nand_safe;
  _phy_block_info* nand_block_info;  // blk_per_chip + 1 records
} nand_chip_t;

// Garbage collection settings and state.
typedef struct {
  uint16 start_gc_free_blocks;
  uint16 stop_gc_free_blocks;
  uint16 process;        // 1 idle, 0 while a cycle runs
  uint16 flag_gc_block;  // only ever cleared
  uint16 gc_page;        // valid pages the next step may move; 65535 the whole block
} _gc_strategy;

// Static wear-levelling settings and state.
typedef struct {
  uint16 erase_threshold;
  uint16 erase_span;
  uint16 s_wl_status;  // 0 not requested, 1 requested
} _s_wl;

typedef struct __prio_gc_node {
  uint16 gc_no;      // index in the pool; 0xFF in the head
  uint16 prio_type;  // 0 free, 1 retire, 2 wear-levelling reclaim
  _phy_block_info* phy_block_info;
  struct __prio_gc_node* prio_gc_next;
  struct __prio_gc_node* prio_gc_prev;
} _prio_gc_node;

typedef struct {
  uint16 gc_num;
  uint16 prio_type_now;
  _prio_gc_node prio_gc_node[NYX_PRIO_GC_NODES];
  _prio_gc_node prio_gc_head;
} _prio_gc;

// Parameter block of every physical operation, built on the caller's stack.
typedef struct _physic_op_par_s {
  _nand_page phy_page;     // Page_NO and blkNO_in_chip name the page
  uint16 page_bitmap;      // bitmap_per_page; not consulted
  uchar* main_data_addr;   // one page, or null for a spare-only read
  uchar* spare_data_addr;  // 16 bytes, or null
} _physic_op_par;

struct nyx_nftl_part_s;
typedef struct nyx_nftl_part_s nyx_nftl_part_t;

// The partition record.
struct nyx_nftl_part_s {
  mtd_info* mtd;
  struct mutex nyx_nftl_lock;
  nand_chip_t* nand_chip;
  uchar part_no;
  uchar part_attr;
  uint16 blocks;          // good blocks found by the scan
  uint16 bad_block;       // bad blocks found by the scan
  uint16 free_block_num;  // blocks on the free list
  uint32 logic_cap_in_sects;
  uint32 backup_cap_in_sects;
  _nand_block part_start_blk_NO;
  _phy_block_info* part_start_phy_block;
  _phy_block_info* part_end_phy_block;
  _nand_page* part_logic_page_map;
  // One bit per logical page, set when a trim unmapped it and cleared when it
  // is written again. Memory only, never on the flash: it tells the checker
  // that an unmapped page whose copy remains on the flash was trimmed, not
  // lost. All clear after the mount scan.
  uchar* part_trimmed_pages;
  _phy_block_info free_head;
  _phy_block_info invalid_page_head;
  _phy_block_info block_used_head;
  _phy_page_mapping* part_phy_page_map_for_gc;
  _phy_page_mapping* part_phy_page_map;
  _phy_block_info* part_current_used_block;
  uint16 current_block_used_page;
  uint32 current_block_used_count;
  // 1 while the current block is one the mount found partly written: a power
  // loss during its next program (or an erase of it) can leave cells that
  // read erased but do not hold what is programmed there, so nothing more is
  // programmed into it; the first write moves its valid pages on
  // (nand_write_logic_page_no_gc). 0 for a block taken and erased for writing
  // since, or rewritten by the mount's write-error replay.
  uchar current_block_found_written;
  uchar* temp_page_buf;
  uint32 total_reads;
  uint32 total_write;
  _gc_strategy gc_strategy;
  uint16 gc_policy;    // NYX_GC_STANDARD or NYX_GC_GREEDY, set at attach
  uint16 gc_low_mark;  // the greedy policy's low mark on free blocks, set by the scan
  _prio_gc prio_gc;
  _s_wl s_wl;
  device_class debug;

  int (*nand_erase_superblk)(nyx_nftl_part_t* part, _physic_op_par* p);
  int (*nand_read_page)(nyx_nftl_part_t* part, _physic_op_par* p);
  int (*nand_write_page)(nyx_nftl_part_t* part, _physic_op_par* p);
  int (*nand_copy_page)(nyx_nftl_part_t* part, _physic_op_par* a, _physic_op_par* b, uchar* buf,
                        uint32 block_used_count, uint16 erase_times);
  int (*nand_is_blk_good)(nyx_nftl_part_t* part, _physic_op_par* p);
  int (*nand_mark_bad_blk)(nyx_nftl_part_t* part, _physic_op_par* p);
  uint32 (*nand_write_logic_page)(nyx_nftl_part_t* part, uint32 page_no, uchar* buf);
  uint32 (*nand_read_logic_page)(nyx_nftl_part_t* part, uint32 page_no, uchar* buf);

  // Where the invalid-page list's insertions and count rises start looking,
  // so that they need not walk from the head: entry c names a block on the
  // list with c invalid pages (entry pages_per_blk + 1: more than
  // pages_per_blk), the first of them when kept exactly, or null. Only a
  // hint: every use checks it and walks as before when it does not hold, so
  // the list's order is the same with or without it (see nyx_nftl_list).
  _phy_block_info* invalid_count_first[NYX_MAX_PAGES_PER_BLK + 2];
};

// The parameter block of a physical operation on page `page` of `block`:
// main data into or from `main` (null: spare only), spare record `spare`
// (null: main data only).
inline _physic_op_par nyx_nftl_page_par(const nyx_nftl_part_t* part, uint16 block, uint16 page,
                                        uchar* main, uchar* spare) {
  _physic_op_par p{};
  p.phy_page.Page_NO = page;
  p.phy_page.blkNO_in_chip = block;
  p.phy_page.page_status = 0xFF;
  p.page_bitmap = part->nand_chip->bitmap_per_page;
  p.main_data_addr = main;
  p.spare_data_addr = spare;
  return p;
}

// Number of logical pages of a partition.
inline uint32 nyx_nftl_logic_pages(const nyx_nftl_part_t* part) {
  return part->logic_cap_in_sects / part->nand_chip->sector_per_page;
}

// The trimmed bit of logical page `lp` (below nyx_nftl_logic_pages).
inline bool nyx_nftl_page_trimmed(const nyx_nftl_part_t* part, uint32 lp) {
  return (part->part_trimmed_pages[lp / 8] >> (lp % 8)) & 1;
}
inline void nyx_nftl_set_page_trimmed(nyx_nftl_part_t* part, uint32 lp, bool trimmed) {
  const uchar bit = static_cast<uchar>(1u << (lp % 8));
  uchar& byte = part->part_trimmed_pages[lp / 8];
  byte = static_cast<uchar>(trimmed ? byte | bit : byte & ~bit);
}

// ---------------------------------------------------------------------------
// nyx_nftl_phy: the spare record and the six physical operations. The
// encoders write bytes 0-9 of a 16-byte spare buffer and leave 10-15 alone;
// the decoders read the buffer as stored (FORMAT.md, "Spare record").
// ---------------------------------------------------------------------------
// Writes a logical page record: tag 0xC0 | lp >> 24, lp's low 24 bits.
void set_oob_logic_page(nyx_nftl_part_t* part, uchar* buf, uint32 logic_page,
                        uint32 block_used_count, uint16 erase_times);
// Writes `special_data` as the tag word, unchanged.
void set_oob_special_page(nyx_nftl_part_t* part, uchar* buf, uint32 special_data,
                          uint32 block_used_count, uint16 erase_times);
// Fills all 16 bytes with 0xFF and sets bytes 0-1 from the mark's top half.
void set_oob_mark(uchar* buf, uint32 mark);
uint32 get_special_data_from_oob(const uchar* buf);      // the tag word as stored
uint32 get_logic_page_from_oob(const uchar* buf);        // the tag word & 0x0FFFFFFF
uint16 get_erase_count_from_oob(const uchar* buf);       // bytes 4-5
uint32 get_block_used_count_from_oob(const uchar* buf);  // bytes 6-9
uchar get_bad_flag_from_oob(const uchar* buf);           // 1 unless bytes 0-3 are all zero
// Whether a tag word is a logical page record (two top bits set, not erased).
bool is_logic_page_tag(uint32 tag);
// Whether byte 0 has its two top bits set: page 0 of a data block (the mount
// takes a block as free by its erased sequence number first).
bool oob_has_logic_tag_bits(const uchar* buf);
bool oob_is_special(const uchar* buf);    // byte 0 is that of the special values
bool oob_is_head_mark(const uchar* buf);  // bytes 0-1 are the head mark's
bool oob_is_end_mark(const uchar* buf);   // bytes 0-1 are the end mark's

// Mapping page main data <-> reverse map: entry i little-endian at byte 4i,
// the reserved word at byte 4096; moves min(page_size, 4100) bytes, and the
// encoder fills the rest of a larger page with 0xFF.
void nyx_nftl_encode_mapping_page(const _phy_page_mapping* map, uchar* page, uint32 page_size);
void nyx_nftl_decode_mapping_page(const uchar* page, uint32 page_size, _phy_page_mapping* map);

// The six operations take the page or block in `p` and return the device's
// code; reads and writes count into total_reads / total_write first.
int nand_erase_superblk(nyx_nftl_part_t* part, _physic_op_par* p);  // 0 erased
// 0, -EUCLEAN (corrected, data good, "read reclaim" logged) or a failure
// (logged with the address); spare-only when main_data_addr is null.
int nand_read_page(nyx_nftl_part_t* part, _physic_op_par* p);
int nand_write_page(nyx_nftl_part_t* part, _physic_op_par* p);  // 0 written
// Copies page a to page b through `buf`, stamping the record with the given
// counts; the write is issued whatever the read gave; write | read result
// (a corrected read counts as 0).
int nand_copy_page(nyx_nftl_part_t* part, _physic_op_par* a, _physic_op_par* b, uchar* buf,
                   uint32 block_used_count, uint16 erase_times);
int nand_is_blk_good(nyx_nftl_part_t* part, _physic_op_par* p);   // 1 good, 0 bad or error
int nand_mark_bad_blk(nyx_nftl_part_t* part, _physic_op_par* p);  // 1 when the low byte is set
// Whether a read result means the data is good: 0 or -EUCLEAN.
bool nand_read_ok(int ret);
// The request that moves one whole page of `mtd` with its spare record: the
// main bytes at `main` (null: spare only) and NYX_SPARE_BYTES at `spare`,
// placed in the device's free OOB bytes. Every page read and write with a
// spare record goes through it.
mtd_oob_ops nyx_nftl_page_request(const mtd_info* mtd, uchar* main, uchar* spare);
// The one read path for readers that must not take a passing error for
// damage: reads through the partition's operation up to NYX_READ_TRIES
// times, until a read is good; returns the last result.
int nand_read_page_tries(nyx_nftl_part_t* part, _physic_op_par* p);

// ---------------------------------------------------------------------------
// nyx_nftl_list: the free list, the invalid-page list, the block-used-count
// list. Only this unit links and unlinks blocks on them; none allocates.
// ---------------------------------------------------------------------------
// Links in by erase_count ascending, ahead of equals; free_block_num untouched. 0.
int add_free_list(nyx_nftl_part_t* part, _phy_block_info* block);
// Unlinks the first block (links left as they were); null when empty.
_phy_block_info* del_free_list(nyx_nftl_part_t* part);
// Clears free_next, links in as add_free_list, raises free_block_num. 0.
int put_phy_block_to_free_list(nyx_nftl_part_t* part, _phy_block_info* block);
// Takes the least-erased block (free_next cleared, free_block_num lowered); null when empty.
_phy_block_info* out_phy_block_from_free_list(nyx_nftl_part_t* part);

// Links in by invalid_page_count descending, ahead of equals. 0.
int add_block_invalid_list(nyx_nftl_part_t* part, _phy_block_info* block);
// Unlinks the first block (links left as they were); null when empty.
_phy_block_info* del_block_invalid_list(nyx_nftl_part_t* part);
// Unlinks this block (links cleared); null when it is not on the list.
_phy_block_info* del_block_invalid_list_by_block(nyx_nftl_part_t* part, _phy_block_info* block);
// Clears the block's links and links it in; logs "add invalid_list error !" on failure.
int put_phy_block_to_invalid_page_list(nyx_nftl_part_t* part, _phy_block_info* block);
// Takes the block with the most invalid pages (links cleared); null when empty.
_phy_block_info* out_phy_block_from_invalid_page_list(nyx_nftl_part_t* part);
// Takes this block off the list (links cleared); null when it is not on it.
_phy_block_info* out_phy_block_from_invalid_page_list_by_block(nyx_nftl_part_t* part,
                                                               _phy_block_info* block);
// Counts one more invalid page; a listed block moves ahead of blocks with
// strictly fewer. A count above pages_per_blk is logged and kept. 0.
int phy_block_from_invalid_page_incr(nyx_nftl_part_t* part, _phy_block_info* block);
// Moves every head block whose count is exactly pages_per_blk to the free list. 0.
int adjust_invaild_list(nyx_nftl_part_t* part);

// Links in by block_used_count ascending (signed), ahead of equals. 0.
int add_block_count_list(nyx_nftl_part_t* part, _phy_block_info* block);
// Unlinks the first block (links left as they were); null when empty.
_phy_block_info* del_block_count_list(nyx_nftl_part_t* part);
// Unlinks this block (links cleared); null when it is not on the list.
_phy_block_info* del_block_count_by_block(nyx_nftl_part_t* part, _phy_block_info* block);

// Print the lists into the kernel log, title line first even when empty.
void print_free_list(nyx_nftl_part_t* part);
void print_block_invalid_list(nyx_nftl_part_t* part);
void print_block_count_list(nyx_nftl_part_t* part);

// ---------------------------------------------------------------------------
// nyx_nftl_create_list: parameters, head-mark probe, format, mount scan,
// diagnostics. The mount runs before the device exists and takes no lock.
// ---------------------------------------------------------------------------
// Sets capacities, working memory (maps, page buffer) and initial values,
// empties the lists and installs the operations. 0, or -ENOMEM (what was
// allocated stays referenced for part_param_exit).
int part_param_init(nyx_nftl_part_t* part, uint16 start_block, uint32 logic_sects,
                    uint32 backup_cap_in_sects);
// Frees what part_param_init allocated. 0.
int part_param_exit(nyx_nftl_part_t* part);
// 1 when the first good block carries no head mark (format needed); 0 when it
// does, with part_start_phy_block moved past it.
uint32 is_no_use_device(nyx_nftl_part_t* part);
// The same question asked of a device without a partition record, for tools
// that must not attach (an attach formats a device without the mark): 1 when
// the first good block's page 0 carries the head mark, 0 when it does not,
// -ENOSPC when every block is bad, or the device's error when a bad-block
// test fails or page 0 does not read back in NYX_READ_TRIES tries.
int nyx_nftl_probe_head_mark(mtd_info* mtd);
uint32 is_last_phy_block(_phy_block_info* block, nyx_nftl_part_t* part);  // the device's last block
uint32 is_phy_block_valid(_phy_block_info* block, nyx_nftl_part_t* part);  // number < blk_per_chip
_phy_block_info* get_phy_block_addr(nyx_nftl_part_t* part, uint16 block);  // no range check

// Formats the range: erases every good block, head-marks the first, end-marks
// the first good block after the range. 0 done, 1 too few blocks.
uint32 create_part_list_first(nyx_nftl_part_t* part);
// The mount scan: rebuilds the map, the free and invalid-page lists, the
// current block and the thresholds from the flash. 0 ready ("nftl ok!"),
// 1 too few blocks or no current block.
uint32 create_part_list(nyx_nftl_part_t* part);
// Replays an interrupted write-error recovery: block1's first page_num - 1
// pages into block2, block1 retired. 0 done, 1 block2 failed (retired).
uint32 do_write_error_in_create_list(nyx_nftl_part_t* part, _phy_block_info* block1,
                                     _phy_block_info* block2, uint16 page_num);
// The first page whose tag word reads erased, or pages_per_blk.
uint32 get_used_page_num(nyx_nftl_part_t* part, _phy_block_info* block);
// Loads the block's written pages' logical pages into part_phy_page_map;
// returns the pages walked (the first erased page, or pages_per_blk).
uint32 recover_current_block_mapping(nyx_nftl_part_t* part, _phy_block_info* block);
// The block_used_count of page 0's record.
uint32 get_used_block_count(nyx_nftl_part_t* part, _phy_block_info* block);

// Logs the partition record's main fields, one per line.
void print_part(nyx_nftl_part_t* part);

// ---------------------------------------------------------------------------
// nyx_nftl_init: one partition record brought up over an MTD device and
// released (no device record, no cache).
// ---------------------------------------------------------------------------
// Geometry checks, chip record, block table, parameters, head-mark probe,
// format when needed and the mount scan. 0, -1 when the flash does not
// qualify (nothing is left allocated), -ENOMEM. The scan's outcome (ready or
// not) is in the record.
int nyx_nftl_part_attach(mtd_info* mtd, nyx_nftl_part_t** out,
                         const nyx_nftl_attach_options* options = nullptr);
// Releases everything the attach allocated; null does nothing.
void nyx_nftl_part_detach(nyx_nftl_part_t* part);

// ---------------------------------------------------------------------------
// nyx_nftl_logic: logical pages. Callers hold the lock and pass a page
// number below nyx_nftl_logic_pages (a larger one is refused with 1).
// ---------------------------------------------------------------------------
// Reads a logical page (a never-written one as 0xFF bytes, no flash access),
// then serves one priority reclaim step. 0, the read's error code, or 1 when
// the reclaim step failed.
uint32 nand_read_logic_page(nyx_nftl_part_t* part, uint32 page_no, uchar* buf);
// Writes a logical page into the current block, retiring a full block and
// recovering from write and erase failures; never collects. A current block
// the mount found partly written is first left (its valid pages moved to a
// fresh block numbered two above it, the block erased and freed); without a
// free block for that the write is refused, nothing programmed. 0, or 1.
uint32 nand_write_logic_page_no_gc(nyx_nftl_part_t* part, uint32 page_no, uchar* buf);
// nand_write_logic_page_no_gc, then one garbage_collect call. 0, or 1 if either failed.
uint32 nand_write_logic_page(nyx_nftl_part_t* part, uint32 page_no, uchar* buf);
// Trims a logical page: its map entry becomes unmapped (it reads as 0xFF) and
// its copy is counted invalid in its block, as a rewrite would count it; a
// block left with no valid page goes to the free list. Nothing is written to
// the flash, so a remount may map the page again from a copy still there (the
// newest one the scan finds: the trimmed copy or an earlier one). An unmapped
// page is left as it is. 0, or 1 for a page number beyond the map.
uint32 nand_trim_logic_page(nyx_nftl_part_t* part, uint32 page_no);
// Moves the current block's written pages to a fresh block after a failed
// write and retires the old one. 0 replaced, 1 no usable free block.
uint32 do_write_error(nyx_nftl_part_t* part);
// Installs the partition record's eight operation pointers.
void nyx_nftl_ops_init(nyx_nftl_part_t* part);
// Whether data page `page` of block `block_no`, which a reverse map says
// holds logical page `lp`, is that page's newest copy (the map names it).
bool is_valid_page(const nyx_nftl_part_t* part, uint16 block_no, uint16 page, uint32 lp);

// ---------------------------------------------------------------------------
// nyx_nftl_gc: garbage collection, priority reclaim queue, wear levelling.
// Callers hold the lock; the scratch buffers rely on it.
// ---------------------------------------------------------------------------
// One step on one victim (`block`, or the head of the invalid-page list):
// moves up to page_num valid pages (65535: all) to the current block, then
// puts the victim back (freed when all invalid) or retires it (prio type 1).
// 0 done or `block` is current, 1 no victim / no mapping page / failed move.
uint32 garbage_collect_first(nyx_nftl_part_t* part, _phy_block_info* block, uint16 page_num);
// The threshold-driven step: between the start and stop thresholds on free
// blocks, one bounded step per call. 0, or 1 when a step failed.
uint32 garbage_collect(nyx_nftl_part_t* part);
// The policy's name ("standard", "greedy"), or null for an unknown one; the
// front ends list the names from here.
const char* nyx_nftl_gc_policy_name(uint16 policy);
// The policy named `name` into *policy. Whether the name is known.
bool nyx_nftl_gc_policy_by_name(const char* name, uint16* policy);
// One whole-victim collection. 1 when nothing is worth collecting, else 0.
uint32 gc_one(nyx_nftl_part_t* part);
// gc_one until it returns 1. 0.
uint32 gc_all(nyx_nftl_part_t* part);
// Makes the trims so far last across a remount, as far as the flash allows:
// collects every full block whose mapping page names a trimmed page and
// erases every free block that still does, so that the scan finds no copy
// of them. Copies in the current block stay; *kept gets how many of its
// pages are such copies. 0, or 1 when a collection step failed.
uint32 gc_trimmed(nyx_nftl_part_t* part, uint32* kept);

_prio_gc_node* get_empty_gc_node(_prio_gc* prio_gc);  // lowest free node, or null
// The first queued node for `block`, or null.
_prio_gc_node* search_gc_node(_prio_gc* prio_gc, _phy_block_info* block);
int add_to_gc_list_tail(_prio_gc* prio_gc, _prio_gc_node* gc_node);  // appends, gc_num + 1. 0
// Unlinks a queued node (links cleared, gc_num - 1, prio_type kept); returns it.
_prio_gc_node* del_from_gc_list(_prio_gc* prio_gc, _prio_gc_node* gc_node);
// Queues a reclaim of `block` (type 1 retire, 2 wear levelling) unless it is
// queued already or all 10 nodes are in use.
void add_prio_gc(nyx_nftl_part_t* part, _phy_block_info* block, uint16 type);
// Serves the first request whole. 0 empty, served or dropped (current
// block); else garbage_collect_first's failure.
uint32 do_prio_gc(nyx_nftl_part_t* part);
// Once armed, queues the least-worn block of the invalid-page list when the
// list's erase counts spread by erase_span or more. 0.
uint32 do_static_wear_leveling(nyx_nftl_part_t* part);

// ===========================================================================
// The block device: the sector cache and the device record, and the units
// that serve a partition as a disk.
// ===========================================================================

constexpr uint16 NYX_CACHE_NODES = 32;      // page buffers of a device's cache
constexpr uint16 NYX_CACHE_MAX_DIRTY = 16;  // dirty pages held before one is pushed out
constexpr uint16 NYX_CACHE_NODE_CLEAN = 0;  // cache_info: on the read list
constexpr uint16 NYX_CACHE_NODE_DIRTY = 1;  // cache_info: on the write list
constexpr uint16 NYX_CACHE_NODE_FREE = 0x00FF;

// One page buffer of the cache. A node is free, on the read list (clean) or
// on the write list (dirty); a node that leaves a list keeps its page number
// and contents.
typedef struct __cache_node {
  uint16 cache_no;    // index in the pool
  uint16 cache_info;  // 0x00FF free, 0 clean, 1 dirty
  uint32 page_no;     // logical page held; 0xFFFFFFFF at set-up
  uchar* buf;         // one page, inside cache_buf
  struct __cache_node* cache_read_next;
  struct __cache_node* cache_read_prev;  // previous node, or the head
  struct __cache_node* cache_write_next;
  struct __cache_node* cache_write_prev;  // previous node, or the head
} _cache_node;

// The cache of one device: the pool and its two lists, oldest first.
typedef struct {
  uint16 cache_totals;
  uint16 cache_read_nums;
  uint16 cache_write_nums;
  uchar* cache_buf;  // all node buffers, one allocation
  _cache_node cache_node[NYX_CACHE_NODES];
  _cache_node cache_read_head;   // only cache_read_next is used
  _cache_node cache_write_head;  // only cache_write_next is used
} _cache;

struct nyx_nftl_blk_s;
typedef struct nyx_nftl_blk_s nyx_nftl_blk_t;

// The device record, one per served partition. `mbd` comes first: the
// block-translation layer's pointer to its device is a pointer to this
// record.
struct nyx_nftl_blk_s {
  mtd_blktrans_dev mbd;
  request* req;              // the request being served
  request_queue* queue;      // set by the queue set-up
  scatterlist* bounce_sg;    // scatter table, null until the queue set-up
  uint32 bounce_sg_len;      // entries filled by the last request
  task_struct* nftl_thread;  // the worker, null when none runs
  nyx_nftl_part_t* nyx_nftl_part;
  notifier_block nb;               // reboot notification
  struct timespec ts_write_start;  // monotonic time of the last sector write
  spinlock_t thread_lock;          // taken by nothing
  _cache cache;
  uint32 (*read_data)(nyx_nftl_blk_t* blk, unsigned long start_sector, uint32 len, uchar* buf);
  uint32 (*write_data)(nyx_nftl_blk_t* blk, unsigned long start_sector, uint32 len, uchar* buf);
  uint32 (*flush_write_cache)(nyx_nftl_blk_t* blk);
  nyx_nftl_attach_options attach_options;  // how bring-up attaches the partition
};

// The device record of `dev`, a device of this layer's table.
inline nyx_nftl_blk_t* nyx_nftl_blk_of(mtd_blktrans_dev* dev) {
  return reinterpret_cast<nyx_nftl_blk_t*>(dev);
}

// ---------------------------------------------------------------------------
// nyx_nftl_cache: the page cache and the sector read and write paths. The
// callers hold the lock (set-up and release run before and after use).
// ---------------------------------------------------------------------------
// Allocates the 32 page buffers, empties both lists, installs read_data,
// write_data and flush_write_cache. 0, or 1 when memory runs out.
int cache_init(nyx_nftl_blk_t* nyx_nftl_blk);
// Releases the page buffers; writes nothing back. 0.
int cache_exit(nyx_nftl_blk_t* nyx_nftl_blk);
// The first node on that list holding `page`, or null.
_cache_node* search_from_cache_read_list(_cache* cache, uint32 page);
_cache_node* search_from_cache_write_list(_cache* cache, uint32 page);
_cache_node* get_empty_cahce_node(_cache* cache);  // lowest free node, or null
// Appends the node (now clean / dirty) and counts it. 0.
int add_to_cache_read_list_tail(_cache* cache, _cache_node* cache_node);
int add_to_cache_write_list_tail(_cache* cache, _cache_node* cache_node);
// Unlinks the node (now free) and uncounts it; returns it.
_cache_node* del_from_cache_read_list(_cache* cache, _cache_node* cache_node);
_cache_node* del_from_cache_write_list(_cache* cache, _cache_node* cache_node);

// Reads `len` sectors from `start_sector` into `buf`. 0, or nonzero when a
// page failed or the run passes the disk's end (refused untouched).
uint32 nand_read(nyx_nftl_blk_t* nyx_nftl_blk, unsigned long start_sector, uint32 len, uchar* buf);
// Writes `len` sectors; stamps ts_write_start whatever the result. 0 or nonzero.
uint32 nand_write(nyx_nftl_blk_t* nyx_nftl_blk, unsigned long start_sector, uint32 len, uchar* buf);
// Cuts a sector run at page boundaries into page operations (flag 0 read,
// else write). 0, or nonzero when any page operation failed.
uint32 nand_op(uchar flag, nyx_nftl_blk_t* nyx_nftl_blk, uint32 start_sector, uint32 len,
               uchar* buf);
// The sectors of `bitmap` (first sector << 8 | count) of one logical page,
// through the cache. 0, the page read's code, or 1.
uint32 nand_cache_read(nyx_nftl_blk_t* nyx_nftl_blk, uint32 page_no, uint16 bitmap, uchar* buf);
// Whole pages go straight to the flash; parts are merged into a dirty cached
// page (at most 16 dirty, oldest pushed out). 0, or 1.
uint32 nand_cache_write(nyx_nftl_blk_t* nyx_nftl_blk, uint32 page_no, uint16 bitmap, uchar* buf);
// Writes every dirty page out, oldest first; OR of the write results.
uint32 nand_flush_write_cache(nyx_nftl_blk_t* nyx_nftl_blk);
// Trims the `len` sectors from `start_sector`: every whole logical page in the
// run is dropped from the cache, dirty or clean, and trimmed
// (nand_trim_logic_page). The sectors of a page the run covers only in part
// are left as they are: a trim is advice, and honouring it there would take a
// write. 0, or 1 when the run passes the disk's end (refused untouched).
uint32 nand_trim(nyx_nftl_blk_t* nyx_nftl_blk, unsigned long start_sector, uint32 len);

// ---------------------------------------------------------------------------
// nyx_nftl_create_list: the flash self-tests (they destroy the partition's
// contents and take no lock: the caller keeps the device idle).
// ---------------------------------------------------------------------------
// Stamps, reads back and erases page 0 of the first `blocks` good blocks. 0, or 1.
int test0(nyx_nftl_blk_t* blk, uchar* NAND_PAGE_BUF, uint32 blocks);
// Writes and reads back every logical page. 0, or 1 at the first mismatch.
int test1(nyx_nftl_blk_t* blk, uchar* NAND_PAGE_BUF);
// Runs test0 (flag 0) or test1 with a buffer of its own. 0, or -ENOMEM.
int nand_test(nyx_nftl_blk_t* blk, uchar flag, uint32 blocks);

// ---------------------------------------------------------------------------
// The partitions the system serves, by the start of their MTD name: one
// table for the add path, the bring-up and the tools.
// ---------------------------------------------------------------------------
struct nyx_nftl_served_part {
  const char* name_prefix;  // MTD names beginning with this are served
  uchar part_no;            // the partition record's part_no
  const char* disk_name;    // base name of the disk
  const char* debug_class;  // the debug class's name, or null for none
};
constexpr int NYX_SERVED_PARTS = 4;
extern const nyx_nftl_served_part nyx_nftl_served_parts[NYX_SERVED_PARTS];
// The entry whose prefix begins `mtd_name` (fixed-length prefixes, no
// terminating zero compared), or null for a name the system does not serve.
const nyx_nftl_served_part* nyx_nftl_served_part_of(const char* mtd_name);
// Attach options of an MTD device, for front ends that offer it to the add
// path: set before the device is offered, read by the add path, cleared once
// the device is withdrawn. A device without an entry gets the defaults.
void nyx_nftl_set_attach_options(const mtd_info* mtd, const nyx_nftl_attach_options& options);
nyx_nftl_attach_options nyx_nftl_attach_options_of(const mtd_info* mtd);
void nyx_nftl_clear_attach_options(const mtd_info* mtd);
// Whether `name` begins with `prefix`; a null name never does.
bool name_starts_with(const char* name, const char* prefix);

// ---------------------------------------------------------------------------
// nyx_nftl_init: a device's partition brought up (attach, capacity, cache,
// debug class) and released; the debug class's attributes.
// ---------------------------------------------------------------------------
// Brings up the partition of mbd.mtd. 0, -1 the flash does not qualify,
// -ENOMEM; on failure nothing is left allocated and nyx_nftl_part is null.
int nyx_nftl_initialize(nyx_nftl_blk_t* nyx_nftl_blk);
// Withdraws the debug class, releases the cache and the partition. No flush.
void nyx_nftl_part_release(nyx_nftl_blk_t* nyx_nftl_blk);

// The attributes log into the kernel log under the partition's lock and
// yield empty text (0); "table" logs 512 map entries from a hex start page
// and consumes the whole text (count).
ssize_t show_part_struct(device_class* cls, class_attribute* attr, char* buf);
ssize_t show_list(device_class* cls, class_attribute* attr, char* buf);
ssize_t do_gc_all(device_class* cls, class_attribute* attr, char* buf);
ssize_t do_gc_one(device_class* cls, class_attribute* attr, char* buf);
ssize_t show_logic_page_table(device_class* cls, class_attribute* attr, const char* buf,
                              size_t count);
extern class_attribute nftl_class_attrs[];

// ---------------------------------------------------------------------------
// nyx_nftl_block: registration with the block-translation layer, request
// handling, the background worker, flush, release and reboot.
// ---------------------------------------------------------------------------
extern mtd_blktrans_ops nyx_nftl_tr;  // "zozove", major 250

// Registers nyx_nftl_tr; the layer then offers every MTD device. Its result.
int init_nyx_nftl();
// Deregisters the table; every disk is removed through nyx_nftl_remove_dev.
void cleanup_nyx_nftl();
// Gives a served NAND partition a device record, bring-up, worker and disk;
// anything else is ignored. A failure leaves nothing behind.
void nyx_nftl_add_mtd(mtd_blktrans_ops* tr, mtd_info* mtd);
// Removes the disk, stops the worker, flushes the cache, releases everything.
void nyx_nftl_remove_dev(mtd_blktrans_dev* dev);
// Sets the queue limits and creates the scatter table once. 0, or -ENOMEM.
int nyx_nftl_init_bounce_buf(mtd_blktrans_dev* dev, request_queue* rq);
// Serves one request: runs of contiguous memory to the sector entries under
// the partition's lock. 0, or -EIO.
int do_nftltrans_request(mtd_blktrans_ops* tr, mtd_blktrans_dev* dev, request* req);
// Walks the scatter table of the current request and cuts its first
// `total_bytes` bytes into runs of contiguous memory: run i starts at
// buf_addr[i] and covers the request's bytes offset_addr[i] to
// offset_addr[i + 1]. Both lists have room for `max_runs` runs (plus the
// end offset). Returns the number of runs.
uint32 nyx_nftl_calculate_sg(nyx_nftl_blk_t* nyx_nftl_blk, uint32 total_bytes, uchar** buf_addr,
                             uint32* offset_addr, uint32 max_runs);
// Discard entry: trims the sectors under the partition's lock (nand_trim).
// 0, or -EIO.
int nyx_nftl_discard(mtd_blktrans_dev* dev, unsigned long block, unsigned int nr_blocks);
int nyx_nftl_writesect(mtd_blktrans_dev* dev, unsigned long block, char* buf);  // 0, does nothing
int nyx_nftl_open(mtd_blktrans_dev* mbd);                                       // 0, does nothing
// The worker: every period, under the lock, an idle flush after more than
// 7 s without a write, wear levelling, one collection step, one reclaim step.
int nyx_nftl_thread(void* arg);
// Flush entry: writes the cache out, then syncs the MTD device. The flush result.
int nyx_nftl_flush(mtd_blktrans_dev* dev);
// Release entry: writes the cache out (no sync). The flush result.
int nyx_nftl_release(mtd_blktrans_dev* mbd);
// Reboot handler: writes the cache out, then stops the worker. The flush result.
int nyx_nftl_reboot_notifier(notifier_block* nb, unsigned long priority, void* arg);
