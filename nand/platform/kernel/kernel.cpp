// The kernel log, zero-filling allocation and the mutex of the platform.
#include "platform/kernel/kernel.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

std::mutex g_log_mutex;
log_sink_fn g_log_sink;  // empty: default sink

void default_sink(std::string_view text) {
  static FILE* out = [] {
    const char* target = std::getenv("NYX_NFTL_LOG");
    if (target == nullptr || *target == '\0') return stderr;
    if (std::strcmp(target, "off") == 0) return static_cast<FILE*>(nullptr);
    FILE* f = std::fopen(target, "a");
    return f != nullptr ? f : stderr;
  }();
  if (out == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
}

std::atomic<unsigned> g_fail_countdown{0};

}  // namespace

int printk(const char* fmt, ...) {
  char small[512];
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, fmt, args);
  va_end(args);
  std::string text;
  if (n < 0) {
    va_end(copy);
    return n;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    text.assign(small, static_cast<size_t>(n));
  } else {
    text.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), fmt, copy);
    text.resize(static_cast<size_t>(n));
  }
  va_end(copy);

  std::lock_guard<std::mutex> guard(g_log_mutex);
  if (g_log_sink) {
    g_log_sink(text);
  } else {
    default_sink(text);
  }
  return n;
}

log_sink_fn kernel_log_set_sink(log_sink_fn sink) {
  std::lock_guard<std::mutex> guard(g_log_mutex);
  log_sink_fn previous = std::move(g_log_sink);
  g_log_sink = std::move(sink);
  return previous;
}

struct LogCapture::State {
  mutable std::mutex mutex;
  std::vector<std::string> lines;
};

LogCapture::LogCapture() : state_(new State) {
  State* state = state_;
  previous_ = kernel_log_set_sink([state](std::string_view text) {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->lines.emplace_back(text);
  });
}

LogCapture::~LogCapture() {
  kernel_log_set_sink(std::move(previous_));
  delete state_;
}

std::string LogCapture::text() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  std::string all;
  for (const auto& line : state_->lines) all += line;
  return all;
}

std::vector<std::string> LogCapture::lines() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->lines;
}

size_t LogCapture::count(std::string_view line) const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  size_t n = 0;
  for (const auto& l : state_->lines) n += (l == line);
  return n;
}

bool LogCapture::contains(std::string_view fragment) const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  for (const auto& l : state_->lines) {
    if (l.find(fragment) != std::string::npos) return true;
  }
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->lines.clear();
}

void kalloc_fail_nth(unsigned n) { g_fail_countdown.store(n); }

bool kalloc_should_fail() {
  unsigned current = g_fail_countdown.load();
  while (current != 0) {
    if (g_fail_countdown.compare_exchange_weak(current, current - 1)) return current == 1;
  }
  return false;
}

void* kzalloc(size_t size) {
  if (kalloc_should_fail()) return nullptr;
  return std::calloc(1, size == 0 ? 1 : size);
}

void kfree(const void* p) { std::free(const_cast<void*>(p)); }

void mutex_init_named(mutex* lock, const char* name) {
  pthread_mutex_init(&lock->m, nullptr);
  lock->name = name;
}

void mutex_lock(mutex* lock) { pthread_mutex_lock(&lock->m); }

void mutex_unlock(mutex* lock) { pthread_mutex_unlock(&lock->m); }
