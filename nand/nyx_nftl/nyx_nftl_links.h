// The link code of the doubly linked lists that run through the records
// themselves: the invalid-page and block-used-count lists of the block
// records, the read and write lists of the cache nodes, and the priority
// reclaim queue. A list is a head record of the same type, of which only
// the forward link is used, and a pair of link members; the first record's
// back link names the head, the last record's forward link is null.
// Nothing is allocated. Which record goes where (the lists' orders) stays
// with each list's own operations.
#pragma once

namespace nyx_links {

// Links `node` in right after `pos` (the head or a linked record).
template <class T>
void link_after(T* pos, T* node, T* T::*next, T* T::*prev) {
  T* after = pos->*next;
  node->*next = after;
  node->*prev = pos;
  pos->*next = node;
  if (after != nullptr) after->*prev = node;
}

// The last record of the list that starts at `head`, or the head itself.
template <class T>
T* last_of(T* head, T* T::*next) {
  T* last = head;
  while (last->*next != nullptr) last = last->*next;
  return last;
}

// Links `node` at the end of the list that starts at `head`.
template <class T>
void link_at_tail(T* head, T* node, T* T::*next, T* T::*prev) {
  link_after(last_of(head, next), node, next, prev);
}

// Takes `node` (linked, with a predecessor) out of its list; its own links
// are left as they were.
template <class T>
void splice_out(T* node, T* T::*next, T* T::*prev) {
  T* before = node->*prev;
  T* after = node->*next;
  before->*next = after;
  if (after != nullptr) after->*prev = before;
}

// Takes `node` out of its list and clears its links.
template <class T>
void unlink(T* node, T* T::*next, T* T::*prev) {
  splice_out(node, next, prev);
  node->*next = nullptr;
  node->*prev = nullptr;
}

}  // namespace nyx_links
