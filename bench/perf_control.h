// Limits a profiler to the measured phases: when NYX_BENCH_PERF_CTL names
// the control FIFO of `perf record --control=fifo:CTL[,ACK] -D -1`, the
// benchmark enables the profiler at the start of each measured phase and
// disables it at the end (waiting for perf's acknowledgement when
// NYX_BENCH_PERF_ACK names the ACK FIFO). Without them it does nothing.
#pragma once

namespace bench {

void profiler_enable();
void profiler_disable();

}  // namespace bench
