// Text and JSON output of the benchmark's figures.
#include "report.h"

#include <algorithm>
#include <string>

namespace bench {

namespace {

// Where the chip's bytes live, for the table's first line.
std::string storage_text(const BenchConfig& config) {
  const ChipStorage& s = config.storage;
  if (s.image_dir.empty()) return "in memory";
  if (s.map_limit != 0 && config.chip.image_size() > s.map_limit)
    return "an image file mapped in chunks, " + std::to_string(s.map_limit >> 20) +
           " MiB at a time";
  return "an image file";
}

constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = kMiB * 1024.0;
constexpr uint32_t kSpareBytes = NYX_SPARE_BYTES;

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The figures of one workload: the flash work of its first run (every run
// does the same work, see `repeatable`), the median times of all runs.
struct Figures {
  const WorkloadResult* w;
  const PhaseResult* r;
  double host_pages;  // host bytes in pages
  double wall_s;
  double cpu_s;
  double device_s;
  double wa;  // programs per host page
  double erases_per_mib;
  double host_mb_s;    // on this machine, wall time
  double cpu_mb_s;     // on this machine, CPU time
  double device_mb_s;  // what the chip's time model allows
  double moves_per_page;
  double mean_victim_valid;
};

Figures figures(const WorkloadResult& w, uint32_t page_size) {
  Figures f{};
  f.w = &w;
  f.r = &w.runs.front();
  const PhaseResult& r = *f.r;
  std::vector<double> walls, cpus;
  for (const PhaseResult& x : w.runs) {
    walls.push_back(x.wall_s);
    cpus.push_back(x.cpu_s);
  }
  f.wall_s = median(walls);
  f.cpu_s = median(cpus);
  f.device_s = double(r.counters.device_time_ns) * 1e-9;
  f.host_pages = double(r.host_bytes) / page_size;
  if (f.host_pages > 0) {
    f.wa = double(r.counters.programs) / f.host_pages;
    f.moves_per_page = double(r.traffic.gc_moves) / f.host_pages;
  }
  if (r.host_bytes > 0)
    f.erases_per_mib = double(r.counters.erases) / (double(r.host_bytes) / kMiB);
  if (f.wall_s > 0) f.host_mb_s = double(r.host_bytes) / f.wall_s / 1e6;
  if (f.cpu_s > 0) f.cpu_mb_s = double(r.host_bytes) / f.cpu_s / 1e6;
  if (f.device_s > 0) f.device_mb_s = double(r.host_bytes) / f.device_s / 1e6;
  if (r.traffic.victims > 0)
    f.mean_victim_valid = double(r.traffic.victim_valid_sum) / r.traffic.victims;
  return f;
}

std::string fixed(double v, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

void json_string(FILE* out, const std::string& s) {
  std::fputc('"', out);
  for (char c : s) {
    if (c == '"' || c == '\\') {
      std::fputc('\\', out);
      std::fputc(c, out);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      std::fprintf(out, "\\u%04x", c);
    } else {
      std::fputc(c, out);
    }
  }
  std::fputc('"', out);
}

// The run of workload `name` with `variant` in `report`, or null.
const WorkloadResult* find_run(const Report& report, const std::string& name,
                               const std::string& variant) {
  for (const WorkloadResult& w : report.workloads) {
    if (w.name == name && w.variant == variant) return &w;
  }
  return nullptr;
}

// The workloads run with trim and without, in the report's order.
std::vector<std::string> trim_pairs(const Report& report) {
  std::vector<std::string> names;
  for (const WorkloadResult& w : report.workloads) {
    if (w.variant == "trim" && find_run(report, w.name, "no-trim") != nullptr)
      names.push_back(w.name);
  }
  return names;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

// a / b as a JSON number, or null when b is 0.
std::string json_ratio(double a, double b) { return b > 0 ? fixed(a / b, 4) : "null"; }

void print_json_trim_ratios(const Report& report, FILE* out) {
  const std::vector<std::string> names = trim_pairs(report);
  if (names.empty()) return;
  const uint32_t page_size = report.config.chip.page_size;
  std::fprintf(out, ",\n  \"trim_ratios\": [");
  for (size_t i = 0; i < names.size(); ++i) {
    const Figures on = figures(*find_run(report, names[i], "trim"), page_size);
    const Figures off = figures(*find_run(report, names[i], "no-trim"), page_size);
    std::fprintf(out, "%s\n    {\"name\": ", i ? "," : "");
    json_string(out, names[i]);
    std::fprintf(out,
                 ", \"wa_no_trim_over_trim\": %s, \"erases_no_trim_over_trim\": %s, "
                 "\"moves_no_trim_over_trim\": %s}",
                 json_ratio(off.wa, on.wa).c_str(),
                 json_ratio(double(off.r->counters.erases), double(on.r->counters.erases)).c_str(),
                 json_ratio(off.moves_per_page, on.moves_per_page).c_str());
  }
  std::fprintf(out, "\n  ]");
}

}  // namespace

double raw_program_mb_s(const nandsim::Geometry& g, const nandsim::Timing& t) {
  const double us = t.program_us + double(g.page_size + kSpareBytes) / t.bus_mb_s;
  return double(g.page_size) / us;
}

double raw_read_mb_s(const nandsim::Geometry& g, const nandsim::Timing& t) {
  const double us = t.read_us + double(g.page_size + kSpareBytes) / t.bus_mb_s;
  return double(g.page_size) / us;
}

void print_table(const Report& report, FILE* out) {
  const nandsim::Geometry& g = report.config.chip;
  const nandsim::Timing timing;
  const double raw_prog = raw_program_mb_s(g, timing);
  const double raw_read = raw_read_mb_s(g, timing);
  std::fprintf(
      out,
      "nyx-bench: chip %u blocks x %u pages x %u bytes (+%u OOB), %s; %d run(s), medians;\n"
      "collection policy: %s\n",
      g.blocks, g.pages_per_block, g.page_size, g.oob_size, storage_text(report.config).c_str(),
      report.config.runs, nyx_nftl_gc_policy_name(report.config.gc_policy));
  std::fprintf(out,
               "chip timing: program %.0f us, read %.0f us, erase %.0f us, bus %.0f MB/s\n"
               "raw program bandwidth %.2f MB/s (one page program + %u-byte transfer); raw read "
               "%.2f MB/s\n\n",
               timing.program_us, timing.read_us, timing.erase_us, timing.bus_mb_s, raw_prog,
               g.page_size + kSpareBytes, raw_read);

  std::fprintf(out, "%-10s %-28s %9s %9s %9s %7s %6s %8s %9s %9s %9s %9s %9s %9s %8s %7s\n", "",
               "workload", "host pg", "programs", "reads", "erases", "WA", "er/MiB", "EC min/max",
               "wall ms", "CPU ms", "wall MB/s", "CPU MB/s", "device s", "dev MB/s", "of raw");
  for (const WorkloadResult& w : report.workloads) {
    if (w.name == "M1") continue;
    Figures f = figures(w, g.page_size);
    const PhaseResult& r = *f.r;
    const double raw = w.writes ? raw_prog : raw_read;
    std::string ec = std::to_string(r.ec_min) + "/" + std::to_string(r.ec_max);
    std::fprintf(out,
                 "%-10s %-28s %9.0f %9llu %9llu %7llu %6s %8s %9s %9.1f %9.1f %9.0f %9.0f %9.2f "
                 "%9.3f %7.1f%%%s\n",
                 w.label().c_str(), w.what.c_str(), f.host_pages,
                 static_cast<unsigned long long>(r.counters.programs),
                 static_cast<unsigned long long>(r.counters.reads),
                 static_cast<unsigned long long>(r.counters.erases),
                 w.writes ? fixed(f.wa, 3).c_str() : "-",
                 w.writes ? fixed(f.erases_per_mib, 2).c_str() : "-", ec.c_str(), f.wall_s * 1e3,
                 f.cpu_s * 1e3, f.host_mb_s, f.cpu_mb_s, f.device_s, f.device_mb_s,
                 100.0 * f.device_mb_s / raw, w.repeatable ? "" : "  (runs differ!)");
  }
  std::fprintf(
      out,
      "  host pg: host bytes / page size (W4: 512-byte writes); WA: programs per host page;\n"
      "  wall/CPU MB/s: host bytes (10^6) per second of wall or CPU time on this machine, one "
      "core;\n"
      "  dev MB/s: host bytes per second of simulated device time; of raw: dev MB/s over the\n"
      "  raw %s bandwidth.\n\n",
      "program (reads: read)");

  // The collector's account.
  std::fprintf(out, "%-10s %9s %9s %9s %9s %8s %8s %10s %8s %9s %18s %7s %11s  %s\n", "",
               "host fl.", "gc moves", "map pages", "mv/host", "gc steps", "victims", "valid/vic",
               "min/max", "WA(vic)", "free mn-mx avg end", "cycles", "mv/op p99/max", "log lines");
  for (const WorkloadResult& w : report.workloads) {
    if (!w.writes) continue;
    Figures f = figures(w, g.page_size);
    const PhaseResult& r = *f.r;
    const FlashTraffic& t = r.traffic;
    const uint32_t data_pages = g.pages_per_block - 1;
    // Each victim gives back its block, whose data pages take what the host
    // sends besides the victim's valid pages, plus the mapping page.
    const double wa_victims = f.mean_victim_valid < data_pages
                                  ? double(g.pages_per_block) / (data_pages - f.mean_victim_valid)
                                  : 0;
    std::string vrange =
        t.victims ? std::to_string(t.victim_valid_min) + "/" + std::to_string(t.victim_valid_max)
                  : "-";
    std::string free = std::to_string(r.free_min) + "-" + std::to_string(r.free_max) + " " +
                       fixed(r.free_mean, 1) + " " + std::to_string(r.free_end);
    std::string logs;
    for (const auto& [text, count] : r.logs) {
      if (!logs.empty()) logs += "; ";
      logs += std::to_string(count) + "x \"" + text + "\"";
    }
    std::string per_op = std::to_string(r.moves_p99) + "/" + std::to_string(r.moves_max);
    std::fprintf(out,
                 "%-10s %9llu %9llu %9llu %9.3f %8llu %8llu %10.2f %8s %9s %18s %7llu %11s  %s\n",
                 w.label().c_str(), static_cast<unsigned long long>(t.data_programs - t.gc_moves),
                 static_cast<unsigned long long>(t.gc_moves),
                 static_cast<unsigned long long>(t.mapping_programs), f.moves_per_page,
                 static_cast<unsigned long long>(t.mapping_reads),
                 static_cast<unsigned long long>(t.victims), f.mean_victim_valid, vrange.c_str(),
                 t.victims ? fixed(wa_victims, 3).c_str() : "-", free.c_str(),
                 static_cast<unsigned long long>(r.gc_cycles), per_op.c_str(),
                 logs.empty() ? "none" : logs.c_str());
  }
  std::fprintf(
      out,
      "  host fl.: logical pages programmed for the host (page writes, cache push-outs);\n"
      "  gc moves: pages the collector rewrote; valid/vic: valid pages of a victim when\n"
      "  first picked; WA(vic): 64 / (63 - valid/vic), the amplification those victims\n"
      "  imply; free: free blocks after host writes (min-max, mean, at the end); cycles:\n"
      "  collection cycles started; mv/op: pages the collector moved for one host operation,\n"
      "  99th percentile and largest.\n\n");

  for (const WorkloadResult& w : report.workloads) {
    if (w.name != "M1") continue;
    const nandsim::Geometry& mg = report.memory_chip;
    Figures f = figures(w, mg.page_size);
    const PhaseResult& r = *f.r;
    std::fprintf(out,
                 "M1  attach of a full %u-block chip (%.2f GiB): wall %.1f ms, CPU %.1f ms; "
                 "%llu reads, %llu programs, %llu erases, device time %.3f s; EC %u/%u%s\n",
                 mg.blocks, double(mg.data_size()) / kGiB, f.wall_s * 1e3, f.cpu_s * 1e3,
                 static_cast<unsigned long long>(r.counters.reads),
                 static_cast<unsigned long long>(r.counters.programs),
                 static_cast<unsigned long long>(r.counters.erases), f.device_s, r.ec_min, r.ec_max,
                 w.repeatable ? "" : "  (runs differ!)");
  }
  if (report.have_memory) {
    const BenchDevice::Memory& m = report.memory;
    const double gib = double(report.memory_chip.data_size()) / kGiB;
    std::fprintf(
        out,
        "memory of the partition's records on the %u-block chip: %.3f MiB, %.3f MiB per GiB of "
        "flash\n"
        "  block table %.3f, logical map %.3f, reverse maps %.3f, page buffers %.3f, cache %.3f,\n"
        "  partition+chip records %.4f, device record %.4f (MiB)\n",
        report.memory_chip.blocks, double(m.total()) / kMiB, double(m.total()) / kMiB / gib,
        double(m.block_table) / kMiB, double(m.logical_map) / kMiB, double(m.reverse_maps) / kMiB,
        double(m.page_buffers) / kMiB, double(m.cache_buffers) / kMiB,
        double(m.partition_record) / kMiB, double(m.device_record) / kMiB);
  }
}

void print_json(const Report& report, FILE* out) {
  const nandsim::Geometry& g = report.config.chip;
  const nandsim::Timing timing;
  std::fprintf(out,
               "{\n  \"chip\": {\"page_size\": %u, \"oob_size\": %u, \"pages_per_block\": %u, "
               "\"blocks\": %u},\n",
               g.page_size, g.oob_size, g.pages_per_block, g.blocks);
  std::fprintf(out,
               "  \"runs\": %d,\n  \"gc_policy\": \"%s\",\n  \"raw_program_mb_s\": %.4f,\n  "
               "\"raw_read_mb_s\": %.4f,\n",
               report.config.runs, nyx_nftl_gc_policy_name(report.config.gc_policy),
               raw_program_mb_s(g, timing), raw_read_mb_s(g, timing));
  std::fprintf(out, "  \"workloads\": [");
  bool first = true;
  for (const WorkloadResult& w : report.workloads) {
    const uint32_t page_size = w.name == "M1" ? report.memory_chip.page_size : g.page_size;
    Figures f = figures(w, page_size);
    const PhaseResult& r = *f.r;
    const FlashTraffic& t = r.traffic;
    const double raw = w.writes ? raw_program_mb_s(g, timing) : raw_read_mb_s(g, timing);
    std::fprintf(out, "%s\n    {\"name\": ", first ? "" : ",");
    first = false;
    json_string(out, w.name);
    if (!w.variant.empty())
      std::fprintf(out, ", \"trim\": %s", w.variant == "trim" ? "true" : "false");
    std::fprintf(out, ", \"what\": ");
    json_string(out, w.what);
    std::fprintf(
        out,
        ", \"writes\": %s, \"repeatable\": %s,\n     \"host_ops\": %llu, \"host_bytes\": %llu, "
        "\"host_pages\": %.1f,\n     \"programs\": %llu, \"reads\": %llu, \"erases\": %llu, "
        "\"write_amplification\": %.4f, \"erases_per_host_mib\": %.4f,\n     \"erase_count_min\": "
        "%u, "
        "\"erase_count_max\": %u,\n     \"wall_s\": %.6f, \"cpu_s\": %.6f, \"host_mb_s\": %.2f, "
        "\"host_mb_s_cpu\": %.2f,\n     \"device_s\": %.6f, \"device_mb_s\": %.4f, "
        "\"device_fraction_of_raw\": %.4f,\n",
        w.writes ? "true" : "false", w.repeatable ? "true" : "false",
        static_cast<unsigned long long>(r.host_ops), static_cast<unsigned long long>(r.host_bytes),
        f.host_pages, static_cast<unsigned long long>(r.counters.programs),
        static_cast<unsigned long long>(r.counters.reads),
        static_cast<unsigned long long>(r.counters.erases), f.wa, f.erases_per_mib, r.ec_min,
        r.ec_max, f.wall_s, f.cpu_s, f.host_mb_s, f.cpu_mb_s, f.device_s, f.device_mb_s,
        raw > 0 ? f.device_mb_s / raw : 0.0);
    std::fprintf(
        out,
        "     \"gc\": {\"data_programs\": %llu, \"gc_moves\": %llu, \"mapping_programs\": %llu, "
        "\"moves_per_host_page\": %.4f, \"steps\": %llu, \"victims\": %llu, "
        "\"mean_victim_valid\": %.3f, \"free_min\": %u, "
        "\"free_max\": %u, \"free_mean\": %.2f, \"free_end\": %u, \"cycles\": %llu, "
        "\"moves_per_op_p99\": %u, \"moves_per_op_max\": %u},\n",
        static_cast<unsigned long long>(t.data_programs),
        static_cast<unsigned long long>(t.gc_moves),
        static_cast<unsigned long long>(t.mapping_programs), f.moves_per_page,
        static_cast<unsigned long long>(t.mapping_reads),
        static_cast<unsigned long long>(t.victims), f.mean_victim_valid, r.free_min, r.free_max,
        r.free_mean, r.free_end, static_cast<unsigned long long>(r.gc_cycles), r.moves_p99,
        r.moves_max);
    std::fprintf(out, "     \"wall_s_runs\": [");
    for (size_t i = 0; i < w.runs.size(); ++i)
      std::fprintf(out, "%s%.6f", i ? ", " : "", w.runs[i].wall_s);
    std::fprintf(out, "], \"cpu_s_runs\": [");
    for (size_t i = 0; i < w.runs.size(); ++i)
      std::fprintf(out, "%s%.6f", i ? ", " : "", w.runs[i].cpu_s);
    std::fprintf(out, "],\n     \"log_lines\": {");
    bool first_log = true;
    for (const auto& [text, count] : r.logs) {
      std::fprintf(out, "%s", first_log ? "" : ", ");
      first_log = false;
      json_string(out, text);
      std::fprintf(out, ": %llu", static_cast<unsigned long long>(count));
    }
    std::fprintf(out, "}}");
  }
  std::fprintf(out, "\n  ]");
  print_json_trim_ratios(report, out);
  if (report.have_memory) {
    const BenchDevice::Memory& m = report.memory;
    const double gib = double(report.memory_chip.data_size()) / kGiB;
    std::fprintf(
        out,
        ",\n  \"memory\": {\"chip_blocks\": %u, \"total_bytes\": %llu, \"mib_per_gib\": %.4f, "
        "\"block_table\": %llu, \"logical_map\": %llu, \"reverse_maps\": %llu, \"page_buffers\": "
        "%llu, "
        "\"cache_buffers\": %llu, \"partition_record\": %llu, \"device_record\": %llu}",
        report.memory_chip.blocks, static_cast<unsigned long long>(m.total()),
        double(m.total()) / kMiB / gib, static_cast<unsigned long long>(m.block_table),
        static_cast<unsigned long long>(m.logical_map),
        static_cast<unsigned long long>(m.reverse_maps),
        static_cast<unsigned long long>(m.page_buffers),
        static_cast<unsigned long long>(m.cache_buffers),
        static_cast<unsigned long long>(m.partition_record),
        static_cast<unsigned long long>(m.device_record));
  }
  std::fprintf(out, "\n}\n");
}

void print_comparison(const std::vector<Report>& reports, FILE* out) {
  if (reports.empty()) return;
  std::fprintf(out, "collection policies side by side (%u-block chip):\n",
               reports.front().config.chip.blocks);
  std::fprintf(out, "%-10s %-10s %8s %9s %9s %18s %11s\n", "", "policy", "WA", "erases",
               "EC min/max", "free mn-mx avg", "mv/op p99/max");
  for (const WorkloadResult& first : reports.front().workloads) {
    if (!first.writes) continue;
    for (const Report& report : reports) {
      for (const WorkloadResult& w : report.workloads) {
        if (w.label() != first.label()) continue;
        Figures f = figures(w, report.config.chip.page_size);
        const PhaseResult& r = *f.r;
        std::string ec = std::to_string(r.ec_min) + "/" + std::to_string(r.ec_max);
        std::string free = std::to_string(r.free_min) + "-" + std::to_string(r.free_max) + " " +
                           fixed(r.free_mean, 1);
        std::string per_op = std::to_string(r.moves_p99) + "/" + std::to_string(r.moves_max);
        std::fprintf(out, "%-10s %-10s %8.3f %9llu %9s %18s %11s\n", w.label().c_str(),
                     nyx_nftl_gc_policy_name(report.config.gc_policy), f.wa,
                     static_cast<unsigned long long>(r.counters.erases), ec.c_str(), free.c_str(),
                     per_op.c_str());
      }
    }
  }
}

void print_trim_comparison(const std::vector<Report>& reports, FILE* out) {
  if (reports.empty() || trim_pairs(reports.front()).empty()) return;
  std::fprintf(out, "\ntrim side by side (%u-block chip):\n", reports.front().config.chip.blocks);
  std::fprintf(out, "%-10s %-10s %-8s %8s %9s %9s %14s\n", "", "policy", "trim", "WA", "erases",
               "mv/host", "WA no-trim/trim");
  for (const std::string& name : trim_pairs(reports.front())) {
    for (const Report& report : reports) {
      const WorkloadResult* on = find_run(report, name, "trim");
      const WorkloadResult* off = find_run(report, name, "no-trim");
      if (on == nullptr || off == nullptr) continue;
      const uint32_t page_size = report.config.chip.page_size;
      const Figures fon = figures(*on, page_size);
      const Figures foff = figures(*off, page_size);
      const char* policy = nyx_nftl_gc_policy_name(report.config.gc_policy);
      for (const Figures* f : {&fon, &foff}) {
        std::fprintf(out, "%-10s %-10s %-8s %8.3f %9llu %9.3f", name.c_str(), policy,
                     f->w->variant.c_str(), f->wa,
                     static_cast<unsigned long long>(f->r->counters.erases), f->moves_per_page);
        if (f == &foff) std::fprintf(out, " %14.2f", ratio(foff.wa, fon.wa));
        std::fprintf(out, "\n");
      }
    }
  }
  std::fprintf(
      out,
      "  WA: flash programs per host page; mv/host: pages collection moved per host page;\n"
      "  no-trim: the same host writes, the trims left out.\n");
}

}  // namespace bench
