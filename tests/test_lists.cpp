// The three block lists: ordered insertion and its ties, removal from the
// head and by block, the invalid-page count rise with its re-ordering, the
// sweep of fully invalid blocks to the free list, and the print-outs. After
// every operation each list is walked both ways and checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nyx_nftl/nyx_nftl.h"

namespace {

class BlockLists : public ::testing::Test {
 protected:
  static constexpr int kBlocks = 12;

  BlockLists() : table(kBlocks + 1) {
    chip.pages_per_blk = 128;
    chip.blk_per_chip = kBlocks;
    chip.nand_block_info = table.data();
    for (int i = 0; i <= kBlocks; ++i) {
      table[i] = _phy_block_info{};
      table[i].phy_block.blkNO_in_chip = static_cast<uint16>(i);
      table[i].block_used_count = -1;
    }
    part.nand_chip = &chip;
  }

  _phy_block_info* b(int n) { return &table[n]; }

  // Block numbers of the free list, checking its order and its count.
  std::vector<int> free_list() {
    std::vector<int> order;
    const _phy_block_info* prev = nullptr;
    for (const _phy_block_info* x = part.free_head.free_next; x != nullptr; x = x->free_next) {
      if (prev != nullptr) {
        EXPECT_LE(prev->erase_count, x->erase_count) << "free list order";
      }
      order.push_back(x->phy_block.blkNO_in_chip);
      prev = x;
      if (order.size() > kBlocks) {
        ADD_FAILURE() << "free list loops";
        break;
      }
    }
    return order;
  }

  // Walks a doubly linked list forward and back; checks back links, the
  // head's null back link, the order, and that the backward walk mirrors the
  // forward one.
  template <class Next, class Prev, class InOrder>
  std::vector<int> walk_double(_phy_block_info* head, Next next, Prev prev, InOrder in_order) {
    std::vector<int> forward;
    EXPECT_EQ(prev(head), nullptr) << "the head's back link stays null";
    _phy_block_info* last = head;
    for (_phy_block_info* x = next(head); x != nullptr; x = next(x)) {
      EXPECT_EQ(prev(x), last) << "back link of block " << x->phy_block.blkNO_in_chip;
      if (last != head) {
        EXPECT_TRUE(in_order(last, x)) << "order at block " << x->phy_block.blkNO_in_chip;
      }
      forward.push_back(x->phy_block.blkNO_in_chip);
      last = x;
      if (forward.size() > kBlocks) {
        ADD_FAILURE() << "list loops";
        return forward;
      }
    }
    std::vector<int> backward;
    for (_phy_block_info* x = last; x != head && x != nullptr; x = prev(x)) {
      backward.insert(backward.begin(), x->phy_block.blkNO_in_chip);
    }
    EXPECT_EQ(backward, forward) << "backward walk";
    return forward;
  }

  std::vector<int> invalid_list() {
    return walk_double(
        &part.invalid_page_head, [](_phy_block_info* x) { return x->invalid_page_next; },
        [](_phy_block_info* x) { return x->invalid_page_prev; },
        [](_phy_block_info* a, _phy_block_info* z) {
          return a->invalid_page_count >= z->invalid_page_count;
        });
  }

  std::vector<int> count_list() {
    return walk_double(
        &part.block_used_head, [](_phy_block_info* x) { return x->block_used_next; },
        [](_phy_block_info* x) { return x->block_used_prev; },
        [](_phy_block_info* a, _phy_block_info* z) {
          return a->block_used_count <= z->block_used_count;
        });
  }

  // Puts blocks with the given invalid page counts on the invalid-page list,
  // in that order, using blocks 0, 1, 2, ...
  void fill_invalid(const std::vector<uint16>& counts) {
    for (size_t i = 0; i < counts.size(); ++i) {
      b(int(i))->invalid_page_count = counts[i];
      put_phy_block_to_invalid_page_list(&part, b(int(i)));
    }
  }

  std::vector<uint16> invalid_counts() {
    std::vector<uint16> counts;
    for (int n : invalid_list()) counts.push_back(b(n)->invalid_page_count);
    return counts;
  }

  nand_chip_t chip{};
  nyx_nftl_part_t part{};
  std::vector<_phy_block_info> table;
};

using V = std::vector<int>;

// ---------------------------------------------------------------------------
// Free list.
// ---------------------------------------------------------------------------
TEST_F(BlockLists, FreeListLeastWornFirstAndNewestOfEqualsFirst) {
  b(1)->erase_count = 5;  // U
  b(2)->erase_count = 3;  // V
  b(3)->erase_count = 5;  // W
  put_phy_block_to_free_list(&part, b(1));
  put_phy_block_to_free_list(&part, b(2));
  put_phy_block_to_free_list(&part, b(3));
  EXPECT_EQ(free_list(), (V{2, 3, 1}));
  EXPECT_EQ(part.free_block_num, 3);

  EXPECT_EQ(out_phy_block_from_free_list(&part), b(2));
  EXPECT_EQ(b(2)->free_next, nullptr);
  EXPECT_EQ(part.free_block_num, 2);
  EXPECT_EQ(free_list(), (V{3, 1}));
}

TEST_F(BlockLists, FreeListInsertsAtEndAndInMiddle) {
  for (int n : {4, 5, 6}) b(n)->erase_count = static_cast<uint16>(n * 10);
  b(7)->erase_count = 55;
  b(8)->erase_count = 0xFFFF;  // compared unsigned: the largest
  for (int n : {8, 4, 5, 6, 7}) put_phy_block_to_free_list(&part, b(n));
  EXPECT_EQ(free_list(), (V{4, 5, 7, 6, 8}));
  EXPECT_EQ(part.free_block_num, 5);
}

TEST_F(BlockLists, EmptyFreeListGivesNullAndKeepsCount) {
  EXPECT_EQ(out_phy_block_from_free_list(&part), nullptr);
  EXPECT_EQ(part.free_block_num, 0);
  EXPECT_EQ(del_free_list(&part), nullptr);
}

TEST_F(BlockLists, PlainAddAndDelLeaveTheCountAndCountNeverGoesNegative) {
  b(1)->erase_count = 1;
  b(2)->erase_count = 2;
  add_free_list(&part, b(2));
  add_free_list(&part, b(1));
  EXPECT_EQ(part.free_block_num, 0);
  EXPECT_EQ(free_list(), (V{1, 2}));

  _phy_block_info* first = del_free_list(&part);
  EXPECT_EQ(first, b(1));
  EXPECT_EQ(first->free_next, b(2)) << "del leaves the removed block's link";
  EXPECT_EQ(part.free_block_num, 0);

  EXPECT_EQ(out_phy_block_from_free_list(&part), b(2));
  EXPECT_EQ(part.free_block_num, 0);
  EXPECT_EQ(free_list(), V{});
}

TEST_F(BlockLists, PutClearsAStaleFreeLink) {
  b(1)->free_next = b(9);  // left over from an earlier del_free_list
  put_phy_block_to_free_list(&part, b(1));
  EXPECT_EQ(free_list(), V{1});
}

TEST_F(BlockLists, FreeCountWrapsAt16Bits) {
  part.free_block_num = 0xFFFF;
  put_phy_block_to_free_list(&part, b(1));
  EXPECT_EQ(part.free_block_num, 0);
}

// ---------------------------------------------------------------------------
// Invalid-page list.
// ---------------------------------------------------------------------------
TEST_F(BlockLists, InvalidListMostInvalidFirstAndNewestOfEqualsFirst) {
  b(1)->invalid_page_count = 2;  // U
  b(2)->invalid_page_count = 7;  // V
  b(3)->invalid_page_count = 7;  // W
  for (int n : {1, 2, 3}) EXPECT_EQ(put_phy_block_to_invalid_page_list(&part, b(n)), 0);
  EXPECT_EQ(invalid_list(), (V{3, 2, 1}));
}

TEST_F(BlockLists, InvalidListInsertsAtEndAndMiddle) {
  fill_invalid({10, 5, 1, 7});
  EXPECT_EQ(invalid_list(), (V{0, 3, 1, 2}));
}

TEST_F(BlockLists, PutClearsStaleInvalidLinks) {
  b(5)->invalid_page_next = b(6);
  b(5)->invalid_page_prev = b(7);
  put_phy_block_to_invalid_page_list(&part, b(5));
  EXPECT_EQ(invalid_list(), V{5});
  EXPECT_EQ(b(5)->invalid_page_next, nullptr);
  EXPECT_EQ(b(5)->invalid_page_prev, &part.invalid_page_head);
}

TEST_F(BlockLists, DelFirstLeavesLinksOutClearsThem) {
  fill_invalid({9, 8, 7});
  _phy_block_info* first = del_block_invalid_list(&part);
  EXPECT_EQ(first, b(0));
  EXPECT_EQ(first->invalid_page_next, b(1)) << "del leaves the removed block's links";
  EXPECT_EQ(first->invalid_page_prev, &part.invalid_page_head);
  EXPECT_EQ(invalid_list(), (V{1, 2}));

  _phy_block_info* out = out_phy_block_from_invalid_page_list(&part);
  EXPECT_EQ(out, b(1));
  EXPECT_EQ(out->invalid_page_next, nullptr);
  EXPECT_EQ(out->invalid_page_prev, nullptr);
  EXPECT_EQ(invalid_list(), V{2});

  EXPECT_EQ(out_phy_block_from_invalid_page_list(&part), b(2));
  EXPECT_EQ(invalid_list(), V{});
  EXPECT_EQ(out_phy_block_from_invalid_page_list(&part), nullptr);
  EXPECT_EQ(del_block_invalid_list(&part), nullptr);
}

TEST_F(BlockLists, RemoveByBlockFromFirstMiddleAndLast) {
  fill_invalid({9, 8, 7, 6});
  EXPECT_EQ(out_phy_block_from_invalid_page_list_by_block(&part, b(1)), b(1));
  EXPECT_EQ(invalid_list(), (V{0, 2, 3}));
  EXPECT_EQ(del_block_invalid_list_by_block(&part, b(3)), b(3));
  EXPECT_EQ(b(3)->invalid_page_next, nullptr);
  EXPECT_EQ(b(3)->invalid_page_prev, nullptr);
  EXPECT_EQ(invalid_list(), (V{0, 2}));
  EXPECT_EQ(del_block_invalid_list_by_block(&part, b(0)), b(0));
  EXPECT_EQ(invalid_list(), V{2});
  EXPECT_EQ(b(2)->invalid_page_prev, &part.invalid_page_head);
}

TEST_F(BlockLists, RemoveByBlockNotOnTheListChangesNothing) {
  EXPECT_EQ(del_block_invalid_list_by_block(&part, b(4)), nullptr);
  fill_invalid({3, 2});
  // A block carrying stale links that point into the list is still not on it.
  b(6)->invalid_page_prev = b(0);
  b(6)->invalid_page_next = b(1);
  EXPECT_EQ(out_phy_block_from_invalid_page_list_by_block(&part, b(6)), nullptr);
  EXPECT_EQ(b(6)->invalid_page_prev, b(0));
  EXPECT_EQ(invalid_list(), (V{0, 1}));
}

TEST_F(BlockLists, RisingCountDoesNotPassEqualBlocks) {
  fill_invalid({7, 7, 6});  // order 1, 0, 2 (the later 7 went first)
  EXPECT_EQ(invalid_list(), (V{1, 0, 2}));
  phy_block_from_invalid_page_incr(&part, b(2));
  EXPECT_EQ(invalid_list(), (V{1, 0, 2}));
  EXPECT_EQ(invalid_counts(), (std::vector<uint16>{7, 7, 7}));
}

TEST_F(BlockLists, RisingCountPassesTheBlockAhead) {
  fill_invalid({7, 7, 6});  // order 1, 0, 2
  phy_block_from_invalid_page_incr(&part, b(0));
  EXPECT_EQ(invalid_list(), (V{0, 1, 2}));
  EXPECT_EQ(invalid_counts(), (std::vector<uint16>{8, 7, 6}));
  EXPECT_EQ(b(0)->invalid_page_prev, &part.invalid_page_head);
}

TEST_F(BlockLists, RisingCountPassesARunOfSmallerBlocks) {
  fill_invalid({5, 4, 4, 4, 2});  // order 0, 3, 2, 1, 4
  EXPECT_EQ(invalid_list(), (V{0, 3, 2, 1, 4}));
  phy_block_from_invalid_page_incr(&part, b(1));  // 4 -> 5: passes 2 and 3, not 0
  EXPECT_EQ(invalid_list(), (V{0, 1, 3, 2, 4}));
  phy_block_from_invalid_page_incr(&part, b(1));  // 5 -> 6: becomes first
  EXPECT_EQ(invalid_list(), (V{1, 0, 3, 2, 4}));
  phy_block_from_invalid_page_incr(&part, b(4));  // 2 -> 3: last stays last
  EXPECT_EQ(invalid_list(), (V{1, 0, 3, 2, 4}));
}

TEST_F(BlockLists, RisingCountOfTheLastBlockRelinksTheTail) {
  fill_invalid({3, 2});
  phy_block_from_invalid_page_incr(&part, b(1));
  phy_block_from_invalid_page_incr(&part, b(1));
  EXPECT_EQ(invalid_list(), (V{1, 0}));
  EXPECT_EQ(b(0)->invalid_page_next, nullptr);
}

TEST_F(BlockLists, RisingCountOfAnUnlistedBlockOnlyCounts) {
  fill_invalid({3});
  b(7)->invalid_page_count = 100;
  LogCapture log;
  phy_block_from_invalid_page_incr(&part, b(7));
  EXPECT_EQ(b(7)->invalid_page_count, 101);
  EXPECT_EQ(invalid_list(), V{0});
  EXPECT_EQ(b(7)->invalid_page_next, nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(BlockLists, CountsAbovePagesPerBlockAreLoggedAndKept) {
  fill_invalid({128});
  b(7)->invalid_page_count = 128;
  LogCapture log;
  phy_block_from_invalid_page_incr(&part, b(0));
  phy_block_from_invalid_page_incr(&part, b(7));
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{"invalid_page_count more than pages_per_blk 1!!\n",
                                      "invalid_page_count more than pages_per_blk 0!!\n"}));
  EXPECT_EQ(b(0)->invalid_page_count, 129);
  EXPECT_EQ(b(7)->invalid_page_count, 129);
}

TEST_F(BlockLists, SweepMovesWhollyInvalidHeadBlocksToFreeList) {
  fill_invalid({128, 128, 90});  // order 1, 0, 2
  b(1)->erase_count = 9;
  b(0)->erase_count = 4;
  part.free_block_num = 0;
  EXPECT_EQ(adjust_invaild_list(&part), 0);
  EXPECT_EQ(invalid_list(), V{2});
  EXPECT_EQ(b(2)->invalid_page_prev, &part.invalid_page_head);
  EXPECT_EQ(free_list(), (V{0, 1}));
  EXPECT_EQ(part.free_block_num, 2);
  for (int n : {0, 1}) {
    EXPECT_EQ(b(n)->invalid_page_next, nullptr);
    EXPECT_EQ(b(n)->invalid_page_prev, nullptr);
  }
}

TEST_F(BlockLists, SweepStopsAtACountAbovePagesPerBlock) {
  fill_invalid({129, 128});
  adjust_invaild_list(&part);
  EXPECT_EQ(invalid_list(), (V{0, 1}));
  EXPECT_EQ(part.free_block_num, 0);
}

TEST_F(BlockLists, SweepOfEmptyOrNotFullListDoesNothing) {
  EXPECT_EQ(adjust_invaild_list(&part), 0);
  fill_invalid({127});
  adjust_invaild_list(&part);
  EXPECT_EQ(invalid_list(), V{0});
  EXPECT_EQ(free_list(), V{});
}

TEST_F(BlockLists, SweepEmptiesAListOfOnlyFullBlocks) {
  fill_invalid({128, 128, 128});
  adjust_invaild_list(&part);
  EXPECT_EQ(invalid_list(), V{});
  EXPECT_EQ(free_list().size(), 3u);
  EXPECT_EQ(part.free_block_num, 3);
}

// ---------------------------------------------------------------------------
// Block-used-count list.
// ---------------------------------------------------------------------------
TEST_F(BlockLists, CountListAscendingSignedAndNewestOfEqualsFirst) {
  b(0)->block_used_count = 10;
  b(1)->block_used_count = -3;
  b(2)->block_used_count = 10;
  b(3)->block_used_count = 0x7FFFFFFF;
  b(4)->block_used_count = static_cast<sint32>(0x80000000u);
  for (int n : {0, 1, 2, 3, 4}) add_block_count_list(&part, b(n));
  EXPECT_EQ(count_list(), (V{4, 1, 2, 0, 3}));
}

TEST_F(BlockLists, CountListRemovalFromHeadAndByBlock) {
  for (int n : {0, 1, 2, 3}) {
    b(n)->block_used_count = n;
    add_block_count_list(&part, b(n));
  }
  _phy_block_info* first = del_block_count_list(&part);
  EXPECT_EQ(first, b(0));
  EXPECT_EQ(first->block_used_next, b(1)) << "del leaves the removed block's links";
  EXPECT_EQ(count_list(), (V{1, 2, 3}));

  EXPECT_EQ(del_block_count_by_block(&part, b(2)), b(2));
  EXPECT_EQ(b(2)->block_used_next, nullptr);
  EXPECT_EQ(b(2)->block_used_prev, nullptr);
  EXPECT_EQ(count_list(), (V{1, 3}));
  EXPECT_EQ(del_block_count_by_block(&part, b(2)), nullptr);
  EXPECT_EQ(del_block_count_by_block(&part, b(3)), b(3));
  EXPECT_EQ(count_list(), V{1});
  EXPECT_EQ(del_block_count_list(&part), b(1));
  EXPECT_EQ(count_list(), V{});
  EXPECT_EQ(del_block_count_list(&part), nullptr);
  EXPECT_EQ(del_block_count_by_block(&part, b(1)), nullptr);
}

TEST_F(BlockLists, ListsAreIndependent) {
  b(1)->erase_count = 1;
  b(1)->invalid_page_count = 1;
  b(1)->block_used_count = 1;
  put_phy_block_to_free_list(&part, b(1));
  put_phy_block_to_invalid_page_list(&part, b(1));
  add_block_count_list(&part, b(1));
  out_phy_block_from_invalid_page_list(&part);
  EXPECT_EQ(free_list(), V{1});
  EXPECT_EQ(count_list(), V{1});
  EXPECT_EQ(invalid_list(), V{});
}

// ---------------------------------------------------------------------------
// Print-outs.
// ---------------------------------------------------------------------------
TEST_F(BlockLists, EmptyListsPrintTheirTitleAlone) {
  LogCapture log;
  print_free_list(&part);
  print_block_invalid_list(&part);
  print_block_count_list(&part);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"free list: \n", "invalid_page_count list: \n",
                                                   "block_used_count list: \n"}));
}

TEST_F(BlockLists, ListsPrintEveryBlockInOrder) {
  b(3)->erase_count = 7;
  b(3)->block_used_count = 12;
  b(3)->invalid_page_count = 5;
  b(10)->erase_count = 2;
  b(10)->block_used_count = -1;
  b(10)->invalid_page_count = 40;
  put_phy_block_to_free_list(&part, b(3));
  put_phy_block_to_free_list(&part, b(10));
  put_phy_block_to_invalid_page_list(&part, b(3));
  put_phy_block_to_invalid_page_list(&part, b(10));
  add_block_count_list(&part, b(3));
  add_block_count_list(&part, b(10));

  LogCapture log;
  print_free_list(&part);
  EXPECT_EQ(log.text(),
            "free list: \n"
            "block NO:  10; erase_count:  2; block_used_count:  -1\n"
            "block NO:   3; erase_count:  7; block_used_count:  12\n");
  log.clear();
  print_block_invalid_list(&part);
  EXPECT_EQ(log.text(),
            "invalid_page_count list: \n"
            "block NO:  10; erase_count:  2; block_used_count:  -1; invalid_page_count: 40\n"
            "block NO:   3; erase_count:  7; block_used_count:  12; invalid_page_count:  5\n");
  log.clear();
  print_block_count_list(&part);
  EXPECT_EQ(log.text(),
            "block_used_count list: \n"
            "block NO: 10 block_used_count: -1 \n"
            "block NO: 3 block_used_count: 12 \n");
}

}  // namespace
