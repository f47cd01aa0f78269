// The profiler control FIFOs (see perf_control.h).
#include "perf_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

struct Fifos {
  int ctl = -1;
  int ack = -1;
  Fifos() {
    if (const char* path = std::getenv("NYX_BENCH_PERF_CTL"))
      ctl = open(path, O_WRONLY | O_CLOEXEC);
    if (const char* path = std::getenv("NYX_BENCH_PERF_ACK"))
      ack = open(path, O_RDONLY | O_CLOEXEC);
  }
};

Fifos& fifos() {
  static Fifos f;
  return f;
}

void send(const char* command) {
  Fifos& f = fifos();
  if (f.ctl < 0) return;
  if (write(f.ctl, command, std::strlen(command)) < 0) return;
  if (f.ack >= 0) {
    char reply[16];
    if (read(f.ack, reply, sizeof reply) < 0) return;
  }
}

}  // namespace

void profiler_enable() { send("enable\n"); }
void profiler_disable() { send("disable\n"); }

}  // namespace bench
