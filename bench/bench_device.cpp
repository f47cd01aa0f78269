// The benchmark's device: chip, partition and device record, the traffic
// probes on the partition's physical operations, and the log tally.
#include "bench_device.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace bench {

namespace {

// The device whose probes are installed. The probes are plain function
// pointers in the partition record, so they find their device here; the
// benchmark runs one device at a time.
BenchDevice* g_active = nullptr;

int write_probe(nyx_nftl_part_t* /*part*/, _physic_op_par* p) { return g_active->probed_write(p); }
int read_probe(nyx_nftl_part_t* /*part*/, _physic_op_par* p) { return g_active->probed_read(p); }

}  // namespace

BenchDevice::BenchDevice(const nandsim::Geometry& geometry, uint16_t gc_policy,
                         const ChipStorage& storage) {
  if (g_active != nullptr) throw std::logic_error("one benchmark device at a time");
  nandsim::Options options;
  options.geometry = geometry;
  options.map_limit = storage.map_limit;
  if (!storage.image_dir.empty())
    image_path_ = storage.image_dir + "/nyx-bench-" + std::to_string(getpid()) + ".img";
  auto chip = image_path_.empty() ? nandsim::NandChip::create_in_memory(options)
                                  : nandsim::NandChip::create_image(image_path_, options);
  if (!chip.ok()) throw std::runtime_error("simulated chip: " + chip.message());
  chip_ = std::move(chip).value();
  nandsim::PartitionDef part_def;
  part_def.name = "NFTL_Part";
  part_def.offset = 0;
  part_def.size = geometry.data_size();
  auto partition = nandsim::MtdPartition::create(*chip_, part_def, 0);
  if (!partition.ok()) throw std::runtime_error("partition: " + partition.message());
  partition_ = std::move(partition).value();
  blk_ = kzalloc_record<nyx_nftl_blk_t>();
  if (blk_ == nullptr) throw std::runtime_error("device record");
  blk_->mbd.mtd = partition_->mtd();
  blk_->attach_options.gc_policy = gc_policy;
  g_active = this;
  attach();
}

BenchDevice::~BenchDevice() {
  nyx_nftl_part_release(blk_);
  kfree_record(blk_);
  g_active = nullptr;
  partition_.reset();
  chip_.reset();
  if (!image_path_.empty()) unlink(image_path_.c_str());
}

void BenchDevice::attach() {
  const int ret = nyx_nftl_initialize(blk_);
  if (ret != 0) throw std::runtime_error("bring-up failed: " + std::to_string(ret));
  if (part()->part_current_used_block == nullptr)
    throw std::runtime_error("no current block after mount");
  install_probes();
}

void BenchDevice::detach() { nyx_nftl_part_release(blk_); }

void BenchDevice::install_probes() {
  part()->nand_write_page = write_probe;
  part()->nand_read_page = read_probe;
  const uint32_t pages = part()->nand_chip->pages_per_blk;
  traffic_.victim_valid_histogram.assign(pages, 0);
  last_read_lp_ = NYX_NO_LOGIC_PAGE;
  victim_seq_.assign(part()->nand_chip->blk_per_chip, -1);
}

uint32_t BenchDevice::write_sectors(uint32_t first_sector, uint32_t count, uint8_t* data) {
  mutex_lock(&part()->nyx_nftl_lock);
  const uint32_t ret = blk_->write_data(blk_, first_sector, count, data);
  mutex_unlock(&part()->nyx_nftl_lock);
  return ret;
}

uint32_t BenchDevice::read_sectors(uint32_t first_sector, uint32_t count, uint8_t* data) {
  mutex_lock(&part()->nyx_nftl_lock);
  const uint32_t ret = blk_->read_data(blk_, first_sector, count, data);
  mutex_unlock(&part()->nyx_nftl_lock);
  return ret;
}

uint32_t BenchDevice::trim_sectors(uint32_t first_sector, uint32_t count) {
  mutex_lock(&part()->nyx_nftl_lock);
  const uint32_t ret = nand_trim(blk_, first_sector, count);
  mutex_unlock(&part()->nyx_nftl_lock);
  return ret;
}

uint32_t BenchDevice::flush() {
  mutex_lock(&part()->nyx_nftl_lock);
  const uint32_t ret = blk_->flush_write_cache(blk_);
  mutex_unlock(&part()->nyx_nftl_lock);
  return ret;
}

void BenchDevice::reset_counters() {
  chip_->reset_counters();
  const size_t pages = traffic_.victim_valid_histogram.size();
  traffic_ = FlashTraffic{};
  traffic_.victim_valid_histogram.assign(pages, 0);
  last_read_lp_ = NYX_NO_LOGIC_PAGE;
  std::fill(victim_seq_.begin(), victim_seq_.end(), -1);
}

void BenchDevice::erase_count_range(uint32_t* min, uint32_t* max) {
  nyx_nftl_part_t* p = part();
  *min = UINT32_MAX;
  *max = 0;
  // The head-marked block before the partition's first block is not used.
  const _phy_block_info* first = p->part_start_phy_block;
  const _phy_block_info* table = p->nand_chip->nand_block_info;
  for (uint32_t b = static_cast<uint32_t>(first - table); b < p->nand_chip->blk_per_chip; ++b) {
    const _phy_block_info& rec = table[b];
    if (rec.info == NYX_BLOCK_BAD || rec.erase_count == 0xFFFF) continue;
    if (rec.erase_count < *min) *min = rec.erase_count;
    if (rec.erase_count > *max) *max = rec.erase_count;
  }
  if (*min == UINT32_MAX) *min = 0;
}

BenchDevice::Memory BenchDevice::memory() {
  nyx_nftl_part_t* p = part();
  const nand_chip_t* chip = p->nand_chip;
  Memory m;
  m.partition_record = sizeof(nyx_nftl_part_t) + sizeof(nand_chip_t);
  m.block_table = sizeof(_phy_block_info) * (uint64_t(chip->blk_per_chip) + 1);
  m.logical_map = sizeof(_nand_page) * uint64_t(nyx_nftl_logic_pages(p));
  m.reverse_maps = 2 * sizeof(_phy_page_mapping);
  m.page_buffers = 2 * uint64_t(chip->bytes_per_page);
  m.device_record = sizeof(nyx_nftl_blk_t);
  m.cache_buffers = uint64_t(blk_->cache.cache_totals) * chip->bytes_per_page;
  return m;
}

int BenchDevice::probed_write(_physic_op_par* p) {
  const int ret = nand_write_page(part(), p);
  if (p->spare_data_addr == nullptr) {
    traffic_.other_programs++;
    return ret;
  }
  const uint32 tag = get_special_data_from_oob(p->spare_data_addr);
  if (tag == NYX_TAG_MAPPING_PAGE) {
    traffic_.mapping_programs++;
  } else if (is_logic_page_tag(tag)) {
    traffic_.data_programs++;
    // The collector reads a valid page and writes it straight back as the
    // same logical page; the host's writes are never preceded so.
    if (get_logic_page_from_oob(p->spare_data_addr) == last_read_lp_) traffic_.gc_moves++;
    last_read_lp_ = NYX_NO_LOGIC_PAGE;
  } else {
    traffic_.other_programs++;
  }
  return ret;
}

int BenchDevice::probed_read(_physic_op_par* p) {
  const int ret = nand_read_page(part(), p);
  if (p->spare_data_addr == nullptr) {
    traffic_.data_reads++;
    return ret;
  }
  const uint32 tag = get_special_data_from_oob(p->spare_data_addr);
  if (tag == NYX_TAG_MAPPING_PAGE && p->main_data_addr != nullptr) {
    traffic_.mapping_reads++;
    note_victim(p->phy_page.blkNO_in_chip, p->main_data_addr,
                get_block_used_count_from_oob(p->spare_data_addr));
    last_read_lp_ = NYX_NO_LOGIC_PAGE;
  } else {
    traffic_.data_reads++;
    last_read_lp_ =
        is_logic_page_tag(tag) ? get_logic_page_from_oob(p->spare_data_addr) : NYX_NO_LOGIC_PAGE;
  }
  return ret;
}

// The valid pages of a new victim, counted from its mapping page against the
// live map as the collector counts them.
void BenchDevice::note_victim(uint16 block, const uchar* mapping_page, uint32_t sequence) {
  // A victim is known by its block and the block's sequence number, so a
  // partly walked victim picked again later is not counted twice.
  if (block < victim_seq_.size()) {
    if (victim_seq_[block] == int64_t{sequence}) return;
    victim_seq_[block] = sequence;
  }
  nyx_nftl_part_t* p = part();
  const uint32_t pages = p->nand_chip->pages_per_blk;
  const uint32_t logical = nyx_nftl_logic_pages(p);
  uint32_t valid = 0;
  for (uint32_t i = 0; i + 1 < pages; ++i) {
    // Entry i of the mapping page: 32-bit little-endian at byte 4i.
    const uchar* e4 = mapping_page + 4 * i;
    const uint32_t lp =
        uint32_t(e4[0]) | uint32_t(e4[1]) << 8 | uint32_t(e4[2]) << 16 | uint32_t(e4[3]) << 24;
    if (lp >= logical) continue;
    const _nand_page& e = p->part_logic_page_map[lp];
    if (e.blkNO_in_chip == block && e.Page_NO == i) ++valid;
  }
  traffic_.victims++;
  traffic_.victim_valid_sum += valid;
  if (valid < traffic_.victim_valid_min) traffic_.victim_valid_min = valid;
  if (valid > traffic_.victim_valid_max) traffic_.victim_valid_max = valid;
  if (valid < traffic_.victim_valid_histogram.size()) traffic_.victim_valid_histogram[valid]++;
}

// ---------------------------------------------------------------------------
// Log tally.
// ---------------------------------------------------------------------------

struct LogTally::State {
  std::mutex mu;
  LogCounts counts;
};

LogTally::LogTally() : state_(std::make_shared<State>()) {
  std::shared_ptr<State> state = state_;
  previous_ = kernel_log_set_sink([state](std::string_view text) {
    std::string key;
    for (char c : text) {
      if (std::isdigit(static_cast<unsigned char>(c)) == 0 && c != '\n') key.push_back(c);
    }
    std::lock_guard<std::mutex> lock(state->mu);
    state->counts[key]++;
  });
}

LogTally::~LogTally() { kernel_log_set_sink(previous_); }

LogCounts LogTally::take() {
  std::lock_guard<std::mutex> lock(state_->mu);
  LogCounts out;
  out.swap(state_->counts);
  return out;
}

}  // namespace bench
