// The system's log lines while a command runs: kept out of normal output,
// echoed to stderr with --verbose, and collected for the commands that print
// them (debug, selftest).
#include <cstdio>
#include <mutex>

#include "cli_common.h"

namespace cli {

struct SystemLog::Impl {
  std::mutex mutex;
  std::vector<std::string> lines;
  log_sink_fn previous;
  std::function<void(std::string_view)> observer;
};

SystemLog::SystemLog(bool verbose) : impl_(std::make_unique<Impl>()) {
  Impl* impl = impl_.get();
  impl_->previous = kernel_log_set_sink([impl, verbose](std::string_view text) {
    std::lock_guard<std::mutex> guard(impl->mutex);
    impl->lines.emplace_back(text);
    if (impl->observer) impl->observer(text);
    if (verbose) {
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
    }
  });
}

SystemLog::~SystemLog() { kernel_log_set_sink(std::move(impl_->previous)); }

std::string SystemLog::text() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  std::string all;
  for (const auto& line : impl_->lines) all += line;
  return all;
}

std::vector<std::string> SystemLog::lines() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->lines;
}

void SystemLog::clear() {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->lines.clear();
}

void SystemLog::observe(std::function<void(std::string_view)> observer) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->observer = std::move(observer);
}

}  // namespace cli
