// The three block lists against a plain model of each, over long random runs
// of every list operation: the free list (erase counts ascending, a block
// inserted ahead of equals, free_block_num kept), the invalid-page list
// (invalid counts descending, inserted ahead of equals, a count rise passing
// only strictly smaller blocks, counts beyond pages_per_blk logged, the
// sweep of wholly invalid head blocks to the free list), the block-used-count
// list (ascending signed, ahead of equals), and count rises of unlisted
// blocks. Once more with the invalid-page list's start hints scribbled over
// between steps, which must change nothing but the speed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/rig.h"

namespace {

constexpr int kBlocks = 48;
constexpr uint16 kPages = 16;

class ListModel : public ::testing::Test {
 protected:
  ListModel() : part(std::make_unique<nyx_nftl_part_t>()), table(kBlocks + 1) {
    chip.pages_per_blk = kPages;
    chip.blk_per_chip = kBlocks;
    chip.nand_block_info = table.data();
    for (int i = 0; i <= kBlocks; ++i) table[i].phy_block.blkNO_in_chip = static_cast<uint16>(i);
    part->nand_chip = &chip;
  }

  // Inserts n before the first block `ahead` says n goes ahead of.
  template <class Ahead>
  static void insert(std::vector<int>& list, int n, Ahead ahead) {
    list.insert(std::find_if(list.begin(), list.end(), [&](int m) { return ahead(n, m); }), n);
  }
  void rise(int n) {  // the model of a count rise of listed block n
    auto at = std::find(invalid.begin(), invalid.end(), n);
    for (;
         at != invalid.begin() && table[*(at - 1)].invalid_page_count < table[n].invalid_page_count;
         --at)
      std::iter_swap(at - 1, at);
  }
  bool on(const std::vector<int>& list, int n) { return has(list, n); }

  void expect_lists(int step) {
    ASSERT_EQ(free_list(part.get()), free) << "free list, step " << step;
    ASSERT_EQ(part->free_block_num, free.size()) << "step " << step;
    ASSERT_EQ(invalid_list(part.get()), invalid) << "invalid-page list, step " << step;
    std::vector<int> used;
    const _phy_block_info* prev = &part->block_used_head;
    for (const _phy_block_info* b = prev->block_used_next; b && used.size() <= kBlocks;
         prev = b, b = b->block_used_next) {
      ASSERT_EQ(b->block_used_prev, prev) << "step " << step;
      used.push_back(b->phy_block.blkNO_in_chip);
    }
    ASSERT_EQ(used, count) << "block-used-count list, step " << step;
  }

  void run(uint32_t seed, bool scribble) {
    LogCapture log;
    std::mt19937 rng(seed);
    size_t rises_logged[2] = {0, 0};  // unlisted, listed
    for (int step = 0; step < 20000; ++step) {
      const int n = int(rng() % kBlocks);
      _phy_block_info* b = &table[n];
      const bool unused = !on(free, n) && !on(invalid, n);
      switch (rng() % 9) {
        case 0:
          if (!unused) break;
          b->erase_count = static_cast<uint16>(rng() % 5 == 0 ? 0xFFFF : rng() % 8);
          put_phy_block_to_free_list(part.get(), b);
          insert(free, n,
                 [&](int x, int m) { return table[m].erase_count >= table[x].erase_count; });
          break;
        case 1: {
          _phy_block_info* first = out_phy_block_from_free_list(part.get());
          ASSERT_EQ(first, free.empty() ? nullptr : &table[free.front()]);
          if (first == nullptr) break;
          EXPECT_EQ(first->free_next, nullptr);
          free.erase(free.begin());
          break;
        }
        case 2:
        case 3:
          if (!unused) break;
          b->invalid_page_count = static_cast<uint16>(rng() % (kPages + 3));
          EXPECT_EQ(put_phy_block_to_invalid_page_list(part.get(), b), 0);
          insert(invalid, n, [&](int x, int m) {
            return table[m].invalid_page_count <= table[x].invalid_page_count;
          });
          break;
        case 4: {
          const bool listed = on(invalid, n);
          if (listed && b->invalid_page_count >= kPages + 2) break;
          const uint16 before = b->invalid_page_count;
          phy_block_from_invalid_page_incr(part.get(), b);
          ASSERT_EQ(b->invalid_page_count, before + 1);
          rises_logged[listed] += b->invalid_page_count > kPages;
          if (listed) rise(n);
          break;
        }
        case 5:
          if (rng() % 2 == 0) {
            ASSERT_EQ(out_phy_block_from_invalid_page_list(part.get()),
                      invalid.empty() ? nullptr : &table[invalid.front()]);
            if (!invalid.empty()) invalid.erase(invalid.begin());
          } else {
            ASSERT_EQ(out_phy_block_from_invalid_page_list_by_block(part.get(), b),
                      on(invalid, n) ? b : nullptr);
            if (on(invalid, n)) invalid.erase(std::find(invalid.begin(), invalid.end(), n));
          }
          break;
        case 6:
          EXPECT_EQ(adjust_invaild_list(part.get()), 0);
          while (!invalid.empty() && table[invalid.front()].invalid_page_count == kPages) {
            const int m = invalid.front();
            invalid.erase(invalid.begin());
            insert(free, m,
                   [&](int x, int k) { return table[k].erase_count >= table[x].erase_count; });
          }
          break;
        case 7:
          if (on(count, n)) break;
          b->block_used_count = static_cast<sint32>(rng() % 9) - 2;
          add_block_count_list(part.get(), b);
          insert(count, n, [&](int x, int m) {
            return table[m].block_used_count >= table[x].block_used_count;
          });
          break;
        default:
          if (rng() % 2 == 0) {
            ASSERT_EQ(del_block_count_list(part.get()),
                      count.empty() ? nullptr : &table[count.front()]);
            if (!count.empty()) count.erase(count.begin());
          } else {
            ASSERT_EQ(del_block_count_by_block(part.get(), b), on(count, n) ? b : nullptr);
            if (on(count, n)) count.erase(std::find(count.begin(), count.end(), n));
          }
      }
      if (scribble && step % 7 == 0) {
        for (_phy_block_info*& hint : part->invalid_count_first) {
          const int pick = int(rng() % (kBlocks + 1));
          hint = pick == kBlocks ? nullptr : &table[pick];
        }
      }
      expect_lists(step);
      if (HasFatalFailure()) return;
    }
    EXPECT_GT(rises_logged[0] * rises_logged[1], 0u);
    EXPECT_EQ(log.count("invalid_page_count more than pages_per_blk 0!!\n"), rises_logged[0]);
    EXPECT_EQ(log.count("invalid_page_count more than pages_per_blk 1!!\n"), rises_logged[1]);
  }

  nand_chip_t chip{};
  std::unique_ptr<nyx_nftl_part_t> part;
  std::vector<_phy_block_info> table;
  std::vector<int> free, invalid, count;
};

TEST_F(ListModel, EveryOperationKeepsTheOrderOfTheModel) { run(1, false); }
TEST_F(ListModel, ScribbledHintsChangeNothing) { run(7, true); }

}  // namespace
