// The benchmark's output: the figures table, the collector's account and
// the memory figure as text, or all of it as one JSON document.
#pragma once

#include <cstdio>
#include <vector>

#include "workloads.h"

namespace bench {

struct Report {
  BenchConfig config;
  std::vector<WorkloadResult> workloads;
  bool have_memory = false;
  BenchDevice::Memory memory;
  nandsim::Geometry memory_chip;  // the chip the memory figure was taken on
};

// The chip's raw bandwidths from its timing model, in 10^6 bytes per second:
// one page program (or read) with its transfer of the page and the 16-byte
// spare record.
double raw_program_mb_s(const nandsim::Geometry& g, const nandsim::Timing& t);
double raw_read_mb_s(const nandsim::Geometry& g, const nandsim::Timing& t);

void print_table(const Report& report, FILE* out);
void print_json(const Report& report, FILE* out);
// The write workloads of several reports (one per collection policy) side by
// side: write amplification, erases, erase counts, free blocks and the pages
// moved per host operation.
void print_comparison(const std::vector<Report>& reports, FILE* out);
// The workloads run with trim and without (W5, W6), each pair under each
// report's policy: write amplification, erases, pages moved per host page,
// and the ratio of the write amplifications, no-trim over trim.
void print_trim_comparison(const std::vector<Report>& reports, FILE* out);

}  // namespace bench
