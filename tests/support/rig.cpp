#include "support/rig.h"

#include <cstdlib>
#include <stdexcept>

nyx_nftl_attach_options test_attach_options() {
  nyx_nftl_attach_options options{};
  const char* name = std::getenv("NYX_GC_POLICY");
  if (name != nullptr && *name != '\0' && !nyx_nftl_gc_policy_by_name(name, &options.gc_policy))
    throw std::runtime_error(std::string("NYX_GC_POLICY: unknown collection policy ") + name);
  return options;
}

void stamp(uint8_t* out, size_t size, uint32_t key, uint32_t version) {
  std::memset(out, 0xFF, size);
  const uint64_t x = (uint64_t(key) << 32 | version) * 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; version != 0 && i < size; i += 8) {
    const uint64_t word =
        i < 8 ? uint64_t(version) << 32 | key : (x ^ x >> 29) + i * 0xD6E8FEB86659FD93ull;
    put_le(out + i, word, std::min<size_t>(8, size - i));
  }
}

int64_t stamp_version(const uint8_t* bytes, size_t size, uint32_t key) {
  const uint32_t version = uint32_t(get_le(bytes + 4, 4));
  thread_local std::vector<uint8_t> expected;
  expected.resize(size);
  for (uint32_t v : {0u, version}) {
    stamp(expected.data(), size, key, v);
    if (std::memcmp(expected.data(), bytes, size) == 0) return v;
  }
  return -1;
}

std::vector<int> free_list(const nyx_nftl_part_t* part) {
  std::vector<int> order;
  for (auto* b = part->free_head.free_next; b && order.size() <= part->nand_chip->blk_per_chip;
       b = b->free_next)
    order.push_back(b->phy_block.blkNO_in_chip);
  return order;
}

std::vector<int> invalid_list(const nyx_nftl_part_t* part) {
  std::vector<int> order;
  const _phy_block_info* prev = &part->invalid_page_head;
  EXPECT_EQ(prev->invalid_page_prev, nullptr) << "the head's back link stays null";
  for (auto* b = prev->invalid_page_next; b && order.size() <= part->nand_chip->blk_per_chip;
       prev = b, b = b->invalid_page_next) {
    EXPECT_EQ(b->invalid_page_prev, prev) << "back link of block " << b->phy_block.blkNO_in_chip;
    order.push_back(b->phy_block.blkNO_in_chip);
  }
  return order;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  return all;
}

std::vector<uchar> logic_record(uint32 lp, uint32 count) {
  std::vector<uchar> spare(NYX_SPARE_BYTES, 0xFF);
  set_oob_logic_page(nullptr, spare.data(), lp, count, 1);
  return spare;
}

std::vector<uchar> special_record(uint32 tag, uint32 count) {
  std::vector<uchar> spare(NYX_SPARE_BYTES, 0xFF);
  set_oob_special_page(nullptr, spare.data(), tag, count, 1);
  return spare;
}

Rig::Rig(const nandsim::Options& options, std::string name, bool attach_now)
    : chip_(nandsim::NandChip::create_in_memory(options).value()),
      partition_(nandsim::MtdPartition::create(
                     *chip_, {std::move(name), 0, options.geometry.data_size(), false}, 0)
                     .value()) {
  if (attach_now && reattach() != 0) throw std::runtime_error("attach failed");
}

int Rig::program(uint16 block, uint16 page, std::vector<uchar> main, std::vector<uchar> spare,
                 bool torn) {
  if (torn) chip().fail_program_at(abs(block, page));
  _physic_op_par p = nyx_nftl_page_par(part, block, page, main.data(), spare.data());
  const int ret = part->nand_write_page(part, &p);
  chip().clear_faults();
  EXPECT_EQ(ret != 0, torn) << "program of block " << block << " page " << page;
  return ret;
}

void Rig::full_block(uint16 block, uint32 count, const std::vector<uint32>& lps, bool torn_mapping,
                     std::vector<uint32> reverse) {
  for (uint16 i = 0; i < lps.size(); ++i) data_page(block, i, lps[i], count, count);
  if (reverse.empty()) reverse = lps;
  _phy_page_mapping map;
  std::memset(&map, 0xFF, sizeof map);
  std::copy(reverse.begin(), reverse.end(), map.phy_page_map);
  std::vector<uchar> main(page_size());
  nyx_nftl_encode_mapping_page(&map, main.data(), page_size());
  program(block, P() - 1, main, special_record(NYX_TAG_MAPPING_PAGE, count), torn_mapping);
}

Disk::Disk(const nandsim::Options& options) : rig(options, "NFTL_Part", false) {
  if (attach() != 0) throw std::runtime_error("attach failed on a fresh chip");
}

int Disk::attach() {
  drop();
  if (const int ret = rig.attach(); ret != 0) return ret;
  blk = kzalloc_record<nyx_nftl_blk_t>();
  blk->nyx_nftl_part = rig.part;
  return cache_init(blk);
}

void Disk::drop() {
  if (blk != nullptr) cache_exit(blk);
  kfree_record(blk);
  blk = nullptr;
  rig.detach();
}

std::vector<uint8_t> SectorModel::wrote(uint32_t first, uint32_t count) {
  std::vector<uint8_t> data(size_t{count} * kSectorBytes);
  next_id();
  for (uint32_t i = 0; i < count; ++i) {
    stamp(&data[size_t{i} * kSectorBytes], kSectorBytes, first + i, last_id_);
    history_[first + i].push_back(last_id_);
    pending_.push_back(first + i);
  }
  return data;
}

std::string SectorModel::check_after_cut(uint32_t sector, const uint8_t* bytes) const {
  const int64_t id = stamp_version(bytes, kSectorBytes, sector);
  const std::vector<uint32_t>& ids = history_[sector];
  const size_t durable = durable_[sector];
  if (id == 0 && durable == 0) return {};
  if (durable < trimmed_at_[sector] &&
      (id == 0 || (id > 0 && std::binary_search(ids.begin(), ids.end(), id))))
    return {};
  if (id > 0 && std::binary_search(ids.begin() + long(durable ? durable - 1 : 0), ids.end(), id))
    return {};
  return "sector " + std::to_string(sector) + " holds write " + std::to_string(id) +
         " (-1: bytes never written to it, 0: erased), its last durable write is " +
         (durable ? std::to_string(ids[durable - 1]) : "none");
}

std::string SectorModel::check_latest(uint32_t sector, const uint8_t* bytes) const {
  const int64_t id = stamp_version(bytes, kSectorBytes, sector);
  const std::vector<uint32_t>& ids = history_[sector];
  // Trimmed since its last write: erased, or once an attach has run since,
  // any earlier write.
  const bool attached = trim_attaches_[sector] != attaches_;
  if (trimmed_at_[sector] == ids.size() + 1 &&
      (id == 0 || (attached && id > 0 && std::binary_search(ids.begin(), ids.end(), id))))
    return {};
  const int64_t latest = ids.empty() ? 0 : ids.back();
  if (id == latest) return {};
  return "sector " + std::to_string(sector) + " reads write " + std::to_string(id) +
         " instead of " + std::to_string(latest);
}

void SectorModel::settle(const std::vector<uint32_t>& ids) {
  for (uint32_t s = 0; s < history_.size(); ++s) {
    history_[s].assign(ids[s] != 0, ids[s]);
    durable_[s] = history_[s].size();
    trimmed_at_[s] = 0;
  }
  pending_.clear();
}

void SectorModel::trimmed(uint32_t first, uint32_t count, uint32_t spp) {
  const uint32_t begin = (first + spp - 1) / spp * spp, end = (first + count) / spp * spp;
  for (uint32_t s = begin; s < end; ++s) {
    trimmed_at_[s] = history_[s].size() + 1;
    trim_attaches_[s] = attaches_;
  }
}
