// Error values carried in pointers, as the kernel returns them from
// constructors such as kthread_create_on_node: the top 4095 addresses stand
// for the negative error numbers -1 .. -4095.
#pragma once

#include <cstdint>

constexpr long MAX_ERRNO = 4095;

inline void* ERR_PTR(long error) { return reinterpret_cast<void*>(static_cast<intptr_t>(error)); }

inline long PTR_ERR(const void* ptr) { return static_cast<long>(reinterpret_cast<intptr_t>(ptr)); }

inline bool IS_ERR(const void* ptr) {
  return reinterpret_cast<uintptr_t>(ptr) >= static_cast<uintptr_t>(-MAX_ERRNO);
}

inline bool IS_ERR_OR_NULL(const void* ptr) { return ptr == nullptr || IS_ERR(ptr); }
