// Kernel services the translation layer expects of its platform, as small
// user-space stand-ins with the kernel's names: the kernel log, zero-filling
// allocation and the mutex. Threads, clocks, reboot notification and device
// classes live beside this file in their own headers.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>
#include <new>
#include <string>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// Kernel log. printk formats like printf and hands the text, exactly as
// formatted, to the current sink. The default sink writes to stderr; set
// NYX_NFTL_LOG=<path> to append to a file instead, or NYX_NFTL_LOG=off.
// ---------------------------------------------------------------------------
int printk(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

using log_sink_fn = std::function<void(std::string_view text)>;

// Replaces the log sink for the whole process; returns the previous one.
// An empty function restores the default sink.
log_sink_fn kernel_log_set_sink(log_sink_fn sink);

// Collects every log text while it lives (tests assert on it). Nested
// captures restore the previous sink when they end.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far, concatenated.
  std::string text() const;
  // Each printk call's text, in order.
  std::vector<std::string> lines() const;
  // How many printk texts equal `line` exactly.
  size_t count(std::string_view line) const;
  // Whether any printk text contains `fragment`.
  bool contains(std::string_view fragment) const;
  void clear();

 private:
  struct State;
  State* state_;
  log_sink_fn previous_;
};

// ---------------------------------------------------------------------------
// Allocation. kzalloc returns zero-filled memory or null; kfree releases it.
// kzalloc_record<T>() value-initialises a record (zero-filled for plain
// records) and is released with kfree_record. Tests can make the N-th
// allocation from now fail to exercise the -ENOMEM paths.
// ---------------------------------------------------------------------------
void* kzalloc(size_t size);
void kfree(const void* p);

// Makes allocation number n (1 = the next one) fail; 0 disarms.
void kalloc_fail_nth(unsigned n);
// True when the armed failure fires for this allocation (used by kzalloc and
// kzalloc_record; the counter advances on every call).
bool kalloc_should_fail();

template <class T>
T* kzalloc_record() {
  if (kalloc_should_fail()) return nullptr;
  return new (std::nothrow) T();
}

template <class T>
void kfree_record(T* p) {
  delete p;
}

// ---------------------------------------------------------------------------
// Mutex. A zero-filled `struct mutex` is a valid unlocked mutex, so records
// holding one can be allocated zero-filled; mutex_init names it.
// ---------------------------------------------------------------------------
struct mutex {
  pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
  const char* name = nullptr;
};

void mutex_init_named(mutex* lock, const char* name);
#define mutex_init(lock) mutex_init_named((lock), #lock)
void mutex_lock(mutex* lock);
void mutex_unlock(mutex* lock);
