// The monotonic and tick clocks, real or under a test's control.
#include "platform/kernel/ktime.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

std::atomic<bool> g_test_active{false};
std::atomic<bool> g_auto_advance{false};
std::atomic<int64_t> g_test_ns{0};
std::atomic<void (*)()> g_listener{nullptr};

int64_t real_monotonic_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * NSEC_PER_SEC + ts.tv_nsec;
}

void clock_changed() {
  if (auto listener = g_listener.load()) listener();
}

}  // namespace

int64_t ktime_get_ns() { return g_test_active.load() ? g_test_ns.load() : real_monotonic_ns(); }

void ktime_get_ts(struct timespec* ts) {
  const int64_t ns = ktime_get_ns();
  ts->tv_sec = static_cast<time_t>(ns / NSEC_PER_SEC);
  ts->tv_nsec = static_cast<long>(ns % NSEC_PER_SEC);
}

uint64_t get_jiffies_64() { return static_cast<uint64_t>(ktime_get_ns() / NSEC_PER_JIFFY); }

bool ktime_test_clock_active() { return g_test_active.load(); }

bool ktime_test_clock_auto_advance() { return g_auto_advance.load(); }

void ktime_test_clock_advance_to(int64_t ns) {
  int64_t current = g_test_ns.load();
  while (current < ns && !g_test_ns.compare_exchange_weak(current, ns)) {
  }
  clock_changed();
}

void ktime_set_clock_listener(void (*listener)()) { g_listener.store(listener); }

KernelTestClock::KernelTestClock(int64_t start_sec) {
  // Two clocks at once is a mistake in the test that installs them, not a
  // failure to report: the test stops here, whatever the build.
  if (g_test_active.load()) {
    std::fputs("KernelTestClock: a KernelTestClock is already installed\n", stderr);
    std::abort();
  }
  g_test_ns.store(start_sec * NSEC_PER_SEC);
  g_auto_advance.store(false);
  g_test_active.store(true);
  clock_changed();
}

KernelTestClock::~KernelTestClock() {
  g_test_active.store(false);
  g_auto_advance.store(false);
  clock_changed();
}

int64_t KernelTestClock::now_ns() const { return g_test_ns.load(); }

void KernelTestClock::set(int64_t sec, int64_t nsec) {
  g_test_ns.store(sec * NSEC_PER_SEC + nsec);
  clock_changed();
}

void KernelTestClock::advance_ns(int64_t ns) {
  g_test_ns.fetch_add(ns);
  clock_changed();
}

void KernelTestClock::set_auto_advance(bool on) {
  g_auto_advance.store(on);
  clock_changed();
}
