// A progress bar on stderr for long operations; silent when stderr is not a
// terminal, so scripts and logs see no control characters.
#include <unistd.h>

#include <cstdio>

#include "cli_common.h"

namespace cli {

namespace {
constexpr int kBarWidth = 40;
}

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)), total_(total), enabled_(::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { finish(); }

void Progress::update(uint64_t done) {
  if (!enabled_ || finished_) return;
  const int percent = total_ == 0 ? 100 : static_cast<int>(done * 100 / total_);
  if (percent == last_percent_) return;
  last_percent_ = percent;
  const int filled = percent * kBarWidth / 100;
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), ' ');
  std::fprintf(stderr, "\r%s [%s] %3d%%", label_.c_str(), bar.c_str(), percent);
  std::fflush(stderr);
}

void Progress::finish() {
  if (!enabled_ || finished_) return;
  update(total_);
  std::fputc('\n', stderr);
  finished_ = true;
}

}  // namespace cli
