// The sector cache of a block device: a pool of 32 whole-page buffers with
// a read list of clean pages and a write list of dirty pages, both in order
// of use (oldest first), and the sector read and write paths over it. Runs
// of 512-byte sectors are cut at page boundaries; whole pages go straight to
// the logical write, parts of pages are merged into a cached copy that stays
// dirty until it is pushed out of the write list (at most 16 dirty pages) or
// flushed.
//
// Every function runs with the partition's lock held by its caller; set-up
// and release run while nothing else can reach the device.
#include <cstring>

#include "nyx_nftl.h"
#include "nyx_nftl_links.h"

namespace {

constexpr uint16 kCacheNodes = NYX_CACHE_NODES;
constexpr uint16 kMaxDirtyNodes = NYX_CACHE_MAX_DIRTY;
constexpr uint32 kSectorSize = 512;

// Byte offset and length within a page of the sectors a page operation
// names: the high byte of `bitmap` is the first sector, the low byte the
// number of sectors. Pages hold at most 127 sectors (bring-up refuses larger
// pages), so the low 7 bits of each number are the whole number.
uint32 bitmap_offset(uint16 bitmap) { return ((bitmap >> 8) & 0x7F) * kSectorSize; }
uint32 bitmap_bytes(uint16 bitmap) { return (bitmap & 0x7F) * kSectorSize; }

nyx_nftl_part_t* part_of(nyx_nftl_blk_t* blk) { return blk->nyx_nftl_part; }

// Takes the oldest dirty page off the write list and writes it to flash.
// The node becomes free whatever the write's result. Returns the node (or
// null when the list is empty) and the write's result in `*result`.
_cache_node* push_out_oldest_dirty(nyx_nftl_blk_t* blk, uint32* result) {
  _cache* cache = &blk->cache;
  _cache_node* node = cache->cache_write_head.cache_write_next;
  *result = 0;
  if (node == nullptr) return nullptr;
  del_from_cache_write_list(cache, node);
  *result = nand_write_logic_page(part_of(blk), node->page_no, node->buf);
  return node;
}

// Drops page `page_no` from the cache, dirty or clean: what it holds is
// superseded (by a whole-page write) or no longer wanted (a trim).
void drop_cached_page(_cache* cache, uint32 page_no) {
  if (_cache_node* node = search_from_cache_write_list(cache, page_no)) {
    del_from_cache_write_list(cache, node);
  }
  if (_cache_node* node = search_from_cache_read_list(cache, page_no)) {
    del_from_cache_read_list(cache, node);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The store.
// ---------------------------------------------------------------------------

int cache_init(nyx_nftl_blk_t* nyx_nftl_blk) {
  _cache* cache = &nyx_nftl_blk->cache;
  const uint32 page_bytes = nyx_nftl_blk->nyx_nftl_part->nand_chip->bytes_per_page;

  cache->cache_totals = kCacheNodes;
  cache->cache_read_nums = 0;
  cache->cache_write_nums = 0;
  cache->cache_buf = nullptr;

  cache->cache_buf = static_cast<uchar*>(kzalloc(static_cast<size_t>(kCacheNodes) * page_bytes));
  if (cache->cache_buf == nullptr) return 1;

  for (_cache_node* head : {&cache->cache_read_head, &cache->cache_write_head}) {
    head->cache_read_next = nullptr;
    head->cache_read_prev = nullptr;
    head->cache_write_next = nullptr;
    head->cache_write_prev = nullptr;
  }
  for (uint16 i = 0; i < kCacheNodes; ++i) {
    _cache_node* node = &cache->cache_node[i];
    node->cache_no = i;
    node->cache_info = NYX_CACHE_NODE_FREE;
    node->page_no = 0xFFFFFFFF;
    node->cache_read_next = nullptr;
    node->cache_read_prev = nullptr;
    node->cache_write_next = nullptr;
    node->cache_write_prev = nullptr;
    node->buf = cache->cache_buf + static_cast<size_t>(i) * page_bytes;
  }

  nyx_nftl_blk->read_data = nand_read;
  nyx_nftl_blk->write_data = nand_write;
  nyx_nftl_blk->flush_write_cache = nand_flush_write_cache;
  return 0;
}

int cache_exit(nyx_nftl_blk_t* nyx_nftl_blk) {
  kfree(nyx_nftl_blk->cache.cache_buf);
  nyx_nftl_blk->cache.cache_buf = nullptr;
  return 0;
}

_cache_node* search_from_cache_read_list(_cache* cache, uint32 page) {
  for (_cache_node* node = cache->cache_read_head.cache_read_next; node != nullptr;
       node = node->cache_read_next) {
    if (node->page_no == page) return node;
  }
  return nullptr;
}

_cache_node* search_from_cache_write_list(_cache* cache, uint32 page) {
  for (_cache_node* node = cache->cache_write_head.cache_write_next; node != nullptr;
       node = node->cache_write_next) {
    if (node->page_no == page) return node;
  }
  return nullptr;
}

_cache_node* get_empty_cahce_node(_cache* cache) {
  for (uint16 i = 0; i < kCacheNodes; ++i) {
    if (cache->cache_node[i].cache_info == NYX_CACHE_NODE_FREE) return &cache->cache_node[i];
  }
  return nullptr;
}

int add_to_cache_read_list_tail(_cache* cache, _cache_node* cache_node) {
  nyx_links::link_at_tail(&cache->cache_read_head, cache_node, &_cache_node::cache_read_next,
                          &_cache_node::cache_read_prev);
  cache_node->cache_info = NYX_CACHE_NODE_CLEAN;
  cache->cache_read_nums = static_cast<uint16>(cache->cache_read_nums + 1);
  return 0;
}

int add_to_cache_write_list_tail(_cache* cache, _cache_node* cache_node) {
  nyx_links::link_at_tail(&cache->cache_write_head, cache_node, &_cache_node::cache_write_next,
                          &_cache_node::cache_write_prev);
  cache_node->cache_info = NYX_CACHE_NODE_DIRTY;
  cache->cache_write_nums = static_cast<uint16>(cache->cache_write_nums + 1);
  return 0;
}

_cache_node* del_from_cache_read_list(_cache* cache, _cache_node* cache_node) {
  nyx_links::unlink(cache_node, &_cache_node::cache_read_next, &_cache_node::cache_read_prev);
  cache_node->cache_info = NYX_CACHE_NODE_FREE;
  cache->cache_read_nums = static_cast<uint16>(cache->cache_read_nums - 1);
  return cache_node;
}

_cache_node* del_from_cache_write_list(_cache* cache, _cache_node* cache_node) {
  nyx_links::unlink(cache_node, &_cache_node::cache_write_next, &_cache_node::cache_write_prev);
  cache_node->cache_info = NYX_CACHE_NODE_FREE;
  cache->cache_write_nums = static_cast<uint16>(cache->cache_write_nums - 1);
  return cache_node;
}

// ---------------------------------------------------------------------------
// Sector I/O.
// ---------------------------------------------------------------------------

// Sector numbers fit 32 bits: a disk holds at most logic_cap_in_sects sectors.
// Whether the run of `len` sectors from `start_sector` lies within the
// disk. A run reaching past it is refused before any page is touched: the
// page numbers below are 32-bit and would otherwise wrap around onto the
// first pages of the disk.
bool run_within_disk(const nyx_nftl_blk_t* nyx_nftl_blk, unsigned long start_sector, uint32 len) {
  const uint64_t capacity = nyx_nftl_blk->nyx_nftl_part->logic_cap_in_sects;
  return start_sector <= capacity && len <= capacity - start_sector;
}

uint32 nand_read(nyx_nftl_blk_t* nyx_nftl_blk, unsigned long start_sector, uint32 len, uchar* buf) {
  if (!run_within_disk(nyx_nftl_blk, start_sector, len)) return 1;
  return nand_op(0, nyx_nftl_blk, static_cast<uint32>(start_sector), len, buf);
}

uint32 nand_write(nyx_nftl_blk_t* nyx_nftl_blk, unsigned long start_sector, uint32 len,
                  uchar* buf) {
  uint32 ret = run_within_disk(nyx_nftl_blk, start_sector, len)
                   ? nand_op(1, nyx_nftl_blk, static_cast<uint32>(start_sector), len, buf)
                   : 1;
  ktime_get_ts(&nyx_nftl_blk->ts_write_start);
  return ret;
}

// Every page of the run is handed to its page operation, in ascending order,
// whatever the pages before it returned; the run's result is the OR of all
// page results, so a failure of any page (not only the last one) fails the
// whole run and reaches the request path.
uint32 nand_op(uchar flag, nyx_nftl_blk_t* nyx_nftl_blk, uint32 start_sector, uint32 len,
               uchar* buf) {
  if (len == 0) return 0;
  auto page_op = [&](uint32 page, uint16 bitmap, uchar* data) -> uint32 {
    return flag == 0 ? nand_cache_read(nyx_nftl_blk, page, bitmap, data)
                     : nand_cache_write(nyx_nftl_blk, page, bitmap, data);
  };

  const uint32 sectors = nyx_nftl_blk->nyx_nftl_part->nand_chip->sector_per_page;
  uint32 page = start_sector / sectors;
  const uint32 first = start_sector % sectors;
  const uint32 room = sectors - first;

  if (len <= room) return page_op(page, static_cast<uint16>(first * 256 + len), buf);

  uint32 ret = page_op(page, static_cast<uint16>(first * 256 + room), buf);
  buf += room * kSectorSize;
  uint32 remaining = len - room;
  while (remaining > sectors) {
    ++page;
    ret |= page_op(page, static_cast<uint16>(sectors), buf);
    buf += sectors * kSectorSize;
    remaining -= sectors;
  }
  ++page;
  ret |= page_op(page, static_cast<uint16>(remaining), buf);
  return ret;
}

uint32 nand_cache_read(nyx_nftl_blk_t* nyx_nftl_blk, uint32 page_no, uint16 bitmap, uchar* buf) {
  _cache* cache = &nyx_nftl_blk->cache;
  const uint32 offset = bitmap_offset(bitmap);
  const uint32 bytes = bitmap_bytes(bitmap);

  // A dirty page is served from memory; the write list keeps its order.
  if (_cache_node* node = search_from_cache_write_list(cache, page_no)) {
    std::memcpy(buf, node->buf + offset, bytes);
    return 0;
  }
  // A clean hit becomes the most recently used clean page.
  if (_cache_node* node = search_from_cache_read_list(cache, page_no)) {
    del_from_cache_read_list(cache, node);
    std::memcpy(buf, node->buf + offset, bytes);
    add_to_cache_read_list_tail(cache, node);
    return 0;
  }

  _cache_node* node = get_empty_cahce_node(cache);
  if (node == nullptr) {
    node = cache->cache_read_head.cache_read_next;
    if (node != nullptr) del_from_cache_read_list(cache, node);
  }
  if (node == nullptr) {
    printk("error1 node %d,%d!\n", cache->cache_write_nums, cache->cache_read_nums);
    return 1;
  }

  node->page_no = page_no;
  uint32 ret = nand_read_logic_page(part_of(nyx_nftl_blk), page_no, node->buf);
  std::memcpy(buf, node->buf + offset, bytes);
  // A page that did not read back cleanly is not kept: cached, it would be
  // served as good data on every later read. The node stays free, so the
  // next read of the page goes to the flash again.
  if (ret == 0) add_to_cache_read_list_tail(cache, node);
  return ret;
}

uint32 nand_cache_write(nyx_nftl_blk_t* nyx_nftl_blk, uint32 page_no, uint16 bitmap, uchar* buf) {
  _cache* cache = &nyx_nftl_blk->cache;
  nyx_nftl_part_t* part = part_of(nyx_nftl_blk);

  // A whole page supersedes any cached copy and goes straight to flash.
  if (bitmap == part->nand_chip->sector_per_page) {
    drop_cached_page(cache, page_no);
    if (nand_write_logic_page(part, page_no, buf) != 0) {
      printk("error1 bitmap %x!\n", bitmap);
      return 1;
    }
    return 0;
  }

  const uint32 offset = bitmap_offset(bitmap);
  const uint32 bytes = bitmap_bytes(bitmap);

  // Dirty hit: merge and make it the most recently written page.
  if (_cache_node* node = search_from_cache_write_list(cache, page_no)) {
    del_from_cache_write_list(cache, node);
    std::memcpy(node->buf + offset, buf, bytes);
    add_to_cache_write_list_tail(cache, node);
    if (_cache_node* clean = search_from_cache_read_list(cache, page_no)) {
      del_from_cache_read_list(cache, clean);
    }
    return 0;
  }

  // Clean hit: merge, move to the write list, then push out the oldest
  // dirty page once the write list has reached its bound.
  if (_cache_node* node = search_from_cache_read_list(cache, page_no)) {
    std::memcpy(node->buf + offset, buf, bytes);
    del_from_cache_read_list(cache, node);
    add_to_cache_write_list_tail(cache, node);
    if (cache->cache_write_nums >= kMaxDirtyNodes) {
      uint32 result = 0;
      push_out_oldest_dirty(nyx_nftl_blk, &result);
      if (result != 0) {
        printk("error2 bitmap %x!\n", bitmap);
        return 1;
      }
    }
    return 0;
  }

  // Miss: a node first (pushing out the oldest dirty page when the write
  // list is full), then the page from flash, then the merge.
  _cache_node* node = nullptr;
  if (cache->cache_write_nums < kMaxDirtyNodes) {
    node = get_empty_cahce_node(cache);
    if (node == nullptr) {
      node = cache->cache_read_head.cache_read_next;
      if (node != nullptr) del_from_cache_read_list(cache, node);
    }
  } else {
    uint32 result = 0;
    node = push_out_oldest_dirty(nyx_nftl_blk, &result);
    if (result != 0) {
      printk("error2 bitmap %x!\n", bitmap);
      return 1;
    }
  }
  // With at most 16 of 32 nodes dirty a node is always found; a pool in any
  // other state is refused rather than trusted.
  if (node == nullptr) return 1;

  node->page_no = page_no;
  if (nand_read_logic_page(part, page_no, node->buf) != 0) {
    printk("error3 bitmap %x!\n", bitmap);
    return 1;
  }
  std::memcpy(node->buf + offset, buf, bytes);
  add_to_cache_write_list_tail(cache, node);
  return 0;
}

uint32 nand_flush_write_cache(nyx_nftl_blk_t* nyx_nftl_blk) {
  uint32 ret = 0;
  while (nyx_nftl_blk->cache.cache_write_head.cache_write_next != nullptr) {
    uint32 result = 0;
    push_out_oldest_dirty(nyx_nftl_blk, &result);
    ret |= result;
  }
  if (ret != 0) printk("nand_flush_write_cache write error\n");
  return ret;
}

uint32 nand_trim(nyx_nftl_blk_t* nyx_nftl_blk, unsigned long start_sector, uint32 len) {
  if (!run_within_disk(nyx_nftl_blk, start_sector, len)) return 1;
  _cache* cache = &nyx_nftl_blk->cache;
  nyx_nftl_part_t* part = part_of(nyx_nftl_blk);
  const uint64_t sectors = part->nand_chip->sector_per_page;
  const uint64_t first = (uint64_t{start_sector} + sectors - 1) / sectors;
  const uint64_t end = (uint64_t{start_sector} + len) / sectors;
  uint32 ret = 0;
  for (uint64_t page = first; page < end; ++page) {
    const uint32 page_no = static_cast<uint32>(page);
    drop_cached_page(cache, page_no);
    ret |= nand_trim_logic_page(part, page_no);
  }
  return ret;
}
