// A fingerprint of a simulated chip's whole raw storage (every page's main
// data and OOB area, block after block), for tests that pin the exact bytes
// a workload leaves on the flash.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/mtd/nand_sim.h"

// FNV-1a, 64 bits, continuing from `hash` (the offset basis by default).
inline uint64_t fnv1a64(const uint8_t* data, size_t size, uint64_t hash = 0xCBF29CE484222325ull) {
  for (size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 0x100000001B3ull;
  }
  return hash;
}

// FNV-1a 64 of the chip's raw storage, page by page in address order.
inline uint64_t raw_image_hash(const nandsim::NandChip& chip) {
  const nandsim::Geometry& g = chip.geometry();
  uint64_t hash = 0xCBF29CE484222325ull;
  for (uint64_t page = 0; page < g.total_pages(); ++page) {
    hash = fnv1a64(chip.raw_page(page), g.raw_page_size(), hash);
  }
  return hash;
}
