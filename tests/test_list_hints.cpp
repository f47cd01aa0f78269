// The invalid-page list's start hints: long random runs of every list
// operation (insertions with counts up to and beyond pages_per_blk, removals
// from the head and by block, count rises, the sweep to the free list), each
// checked against a plain model of the list's order after every step; and the
// same with the hints scribbled over between steps, which must change
// nothing but the speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"

namespace {

constexpr int kBlocks = 48;
constexpr uint16 kPagesPerBlock = 16;

class ListHints : public ::testing::Test {
 protected:
  ListHints() : part(std::make_unique<nyx_nftl_part_t>()), table(kBlocks) {
    chip.pages_per_blk = kPagesPerBlock;
    chip.blk_per_chip = kBlocks;
    chip.nand_block_info = table.data();
    for (int i = 0; i < kBlocks; ++i) {
      table[i] = _phy_block_info{};
      table[i].phy_block.blkNO_in_chip = static_cast<uint16>(i);
    }
    part->nand_chip = &chip;
  }

  // The model: block numbers in list order. An insertion goes before the
  // first block with at most its count; a rise passes the blocks before it
  // with fewer invalid pages.
  void model_insert(int n) {
    auto at = std::find_if(model.begin(), model.end(), [&](int m) {
      return table[m].invalid_page_count <= table[n].invalid_page_count;
    });
    model.insert(at, n);
  }
  void model_rise(int n) {
    auto at = std::find(model.begin(), model.end(), n);
    while (at != model.begin() &&
           table[*(at - 1)].invalid_page_count < table[n].invalid_page_count) {
      std::iter_swap(at - 1, at);
      --at;
    }
  }

  // The list walked both ways, against the model.
  void expect_matches_model(int step) {
    std::vector<int> forward;
    _phy_block_info* last = &part->invalid_page_head;
    for (_phy_block_info* x = last->invalid_page_next; x != nullptr; x = x->invalid_page_next) {
      ASSERT_EQ(x->invalid_page_prev, last) << "step " << step;
      forward.push_back(x->phy_block.blkNO_in_chip);
      ASSERT_LE(forward.size(), size_t(kBlocks)) << "the list loops, step " << step;
      last = x;
    }
    ASSERT_EQ(forward, model) << "step " << step;
  }

  bool listed(int n) const { return std::find(model.begin(), model.end(), n) != model.end(); }

  // Points every hint at a random block (listed or not) or at nothing.
  void scribble_hints(std::mt19937& rng) {
    for (_phy_block_info*& hint : part->invalid_count_first) {
      const int pick = int(rng() % (kBlocks + 1));
      hint = pick == kBlocks ? nullptr : &table[pick];
    }
  }

  void run(uint32_t seed, bool scribble) {
    LogCapture log;  // counts beyond pages_per_blk are logged
    std::mt19937 rng(seed);
    for (int step = 0; step < 20000; ++step) {
      const int n = int(rng() % kBlocks);
      switch (rng() % 6) {
        case 0:
        case 1:
          if (!listed(n)) {
            // Now and then a count beyond pages_per_blk, as a damaged count is.
            table[n].invalid_page_count = static_cast<uint16>(rng() % (kPagesPerBlock + 3));
            EXPECT_EQ(put_phy_block_to_invalid_page_list(part.get(), &table[n]), 0);
            model_insert(n);
          }
          break;
        case 2:
          if (listed(n)) {
            table[n].invalid_page_count++;
            model_rise(n);
            table[n].invalid_page_count--;
          }
          phy_block_from_invalid_page_incr(part.get(), &table[n]);
          break;
        case 3:
          if (rng() % 2 == 0) {
            _phy_block_info* first = out_phy_block_from_invalid_page_list(part.get());
            if (model.empty()) {
              EXPECT_EQ(first, nullptr);
            } else {
              EXPECT_EQ(first, &table[model.front()]);
              model.erase(model.begin());
            }
          } else {
            _phy_block_info* out =
                out_phy_block_from_invalid_page_list_by_block(part.get(), &table[n]);
            EXPECT_EQ(out, listed(n) ? &table[n] : nullptr);
            if (listed(n)) model.erase(std::find(model.begin(), model.end(), n));
          }
          break;
        case 4:
          adjust_invaild_list(part.get());
          while (!model.empty() && table[model.front()].invalid_page_count == kPagesPerBlock) {
            model.erase(model.begin());
          }
          // Freed blocks come back off the free list, unlisted.
          while (out_phy_block_from_free_list(part.get()) != nullptr) {
          }
          break;
        default:
          if (listed(n) && table[n].invalid_page_count < kPagesPerBlock) {
            table[n].invalid_page_count++;
            model_rise(n);
            table[n].invalid_page_count--;
            phy_block_from_invalid_page_incr(part.get(), &table[n]);
          }
          break;
      }
      if (scribble && step % 7 == 0) scribble_hints(rng);
      expect_matches_model(step);
      if (HasFatalFailure()) return;
    }
  }

  nand_chip_t chip{};
  std::unique_ptr<nyx_nftl_part_t> part;
  std::vector<_phy_block_info> table;
  std::vector<int> model;
};

TEST_F(ListHints, EveryOperationKeepsTheOrderOfTheWalkFromTheHead) { run(1, false); }

TEST_F(ListHints, AnotherSeed) { run(20261206, false); }

TEST_F(ListHints, ScribbledHintsChangeNothing) { run(7, true); }

}  // namespace
