// nyx_nftl_check: a consistency checker for a live partition record.
//
// nyx_nftl_check verifies, between operations, the rules that the logical
// page layer, the block lists, garbage collection and the mount scan keep
// for one partition: the logical page map against the reverse maps (the
// current block's in memory, each full block's mapping page on flash), every
// block's invalid-page count against a recount, the free and invalid-page
// lists (order, back links, no loops, free_block_num), which lists a block is
// on, the current block's write position and reverse map, and the priority
// reclaim queue. It returns one human-readable line per problem found, up to
// 16 of each kind, then one line per kind that counts the rest; an empty
// result means the partition is consistent. It never asserts and never
// changes an in-memory record, but it does read one mapping page per full
// block through the partition's nand_read_page operation (so total_reads and
// the device's read counters grow by that many).
//
// The caller holds the partition's nyx_nftl_lock (or, in tests, owns the
// partition alone).
#pragma once

#include <string>
#include <vector>

#include "nyx_nftl.h"

// Checks `part`. When `mapping_pages_read` is given, it receives the number of
// mapping pages the check read from the flash (one per block on the
// invalid-page list); `problems_found`, the number of problems, those only
// counted included.
std::vector<std::string> nyx_nftl_check(nyx_nftl_part_t* part, uint32* mapping_pages_read = nullptr,
                                        uint32* problems_found = nullptr);
