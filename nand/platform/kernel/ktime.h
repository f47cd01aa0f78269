// The kernel's clocks: the monotonic clock (ktime_get_ts) and the scheduler
// tick clock (jiffies, HZ ticks a second). Both follow the process's
// monotonic clock, or, while a KernelTestClock lives, a clock that only the
// test moves, so rules such as "flush after 7 idle seconds" are tested without
// sleeping.
//
// The kernel's `struct timespec` is the C library's (seconds in tv_sec,
// nanoseconds in tv_nsec). Monotonic time counts from boot, so its seconds
// stay far within 32 bits, as on the kernel's 32-bit systems.
#pragma once

#include <time.h>

#include <cstdint>

constexpr unsigned long HZ = 100;
constexpr int64_t NSEC_PER_SEC = 1000000000;
constexpr int64_t NSEC_PER_JIFFY = NSEC_PER_SEC / HZ;

// Monotonic time now.
void ktime_get_ts(struct timespec* ts);
int64_t ktime_get_ns();

// Scheduler ticks since boot (of the test clock while one is installed).
uint64_t get_jiffies_64();
// Rounded up, and in 64 bits: a long is 32 bits on a 32-bit host, where
// msecs * HZ would wrap after about 12 hours.
inline unsigned long msecs_to_jiffies(unsigned int msecs) {
  return static_cast<unsigned long>((uint64_t{msecs} * HZ + 999) / 1000);
}
// Saturates at the largest count of milliseconds an unsigned int holds.
inline unsigned int jiffies_to_msecs(unsigned long ticks) {
  const uint64_t msecs = uint64_t{ticks} * (1000 / HZ);
  return msecs > UINT32_MAX ? UINT32_MAX : static_cast<unsigned int>(msecs);
}

// A clock for tests. While it lives, ktime_get_ts, get_jiffies_64 and every
// sleep in schedule_timeout (kthread.h) follow it: a sleeping thread wakes
// when the test moves the clock past its deadline (or something wakes it).
// One at a time (a second one stops the program with a message, as a
// mistake of the test that installs it); install it before starting threads that sleep, since a
// sleep begun on one clock is measured on whichever clock is current.
class KernelTestClock {
 public:
  // The clock starts at `start_sec` seconds of monotonic time.
  explicit KernelTestClock(int64_t start_sec = 1000);
  ~KernelTestClock();
  KernelTestClock(const KernelTestClock&) = delete;
  KernelTestClock& operator=(const KernelTestClock&) = delete;

  int64_t now_ns() const;
  void set(int64_t sec, int64_t nsec = 0);
  void advance_ns(int64_t ns);
  void advance_sec(int64_t sec) { advance_ns(sec * NSEC_PER_SEC); }
  void advance_jiffies(uint64_t ticks) { advance_ns(static_cast<int64_t>(ticks) * NSEC_PER_JIFFY); }

  // When on, a sleep in schedule_timeout that is not already woken moves the
  // clock to its deadline itself and returns at once (time flies while
  // threads sleep).
  void set_auto_advance(bool on);
};

// For the scheduler (kthread.cpp).
bool ktime_test_clock_active();
bool ktime_test_clock_auto_advance();
// Moves the test clock forward to `ns` if it is behind.
void ktime_test_clock_advance_to(int64_t ns);
// Called after every move of the test clock, and when it is installed or removed.
void ktime_set_clock_listener(void (*listener)());
