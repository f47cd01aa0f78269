// nbd-probe: sends single NBD requests exactly as given, with libnbd's
// client-side checks (alignment, bounds) turned off, so the tests can see
// what the server itself answers to requests a careful client never sends.
//
// Usage: nbd-probe URI read|write|write-fua|flush|write-flush-hold|write-hold
//                  [OFFSET COUNT [BYTE]]
// Writes fill COUNT bytes with BYTE (default 0xa5); reads print the first
// and last byte read ("first=XX last=XX"). Prints "ok" or "error ERRNO-NAME:
// message" and exits 0 on success, 1 on a server error, 2 on bad usage.
// The -hold operations write (and flush), print "ok" and then keep the
// connection open until killed: the server can be crashed while a client
// is still connected, so closing the connection flushes nothing.
#include <libnbd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

int report(nbd_handle* nbd) {
  const int err = nbd_get_errno();
  const char* name = err == 0 ? "none" : strerrorname_np(err);
  std::printf("error %s: %s\n", name != nullptr ? name : "other", nbd_get_error());
  nbd_close(nbd);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: nbd-probe URI read|write|write-fua|flush [OFFSET COUNT [BYTE]]\n");
    return 2;
  }
  const std::string op = argv[2];
  const uint64_t offset = argc > 3 ? std::strtoull(argv[3], nullptr, 0) : 0;
  const size_t count = argc > 4 ? std::strtoull(argv[4], nullptr, 0) : 0;
  const int byte = argc > 5 ? static_cast<int>(std::strtol(argv[5], nullptr, 0)) : 0xa5;

  nbd_handle* nbd = nbd_create();
  if (nbd == nullptr) {
    std::fprintf(stderr, "nbd-probe: %s\n", nbd_get_error());
    return 2;
  }
  if (nbd_set_strict_mode(nbd, 0) == -1 || nbd_connect_uri(nbd, argv[1]) == -1) return report(nbd);

  std::vector<uint8_t> buffer(count, static_cast<uint8_t>(byte));
  int ret = 0;
  if (op == "read") {
    ret = nbd_pread(nbd, buffer.data(), count, offset, 0);
    if (ret == 0 && count > 0) std::printf("first=%02x last=%02x\n", buffer.front(), buffer.back());
  } else if (op == "write" || op == "write-fua") {
    ret =
        nbd_pwrite(nbd, buffer.data(), count, offset, op == "write-fua" ? LIBNBD_CMD_FLAG_FUA : 0);
  } else if (op == "flush") {
    ret = nbd_flush(nbd, 0);
  } else if (op == "write-flush-hold" || op == "write-hold") {
    ret = nbd_pwrite(nbd, buffer.data(), count, offset, 0);
    if (ret == 0 && op == "write-flush-hold") ret = nbd_flush(nbd, 0);
    if (ret == -1) return report(nbd);
    std::printf("ok\n");
    std::fflush(stdout);
    for (;;) pause();
  } else {
    std::fprintf(stderr, "nbd-probe: unknown operation %s\n", op.c_str());
    nbd_close(nbd);
    return 2;
  }
  if (ret == -1) return report(nbd);
  std::printf("ok\n");
  nbd_shutdown(nbd, 0);
  nbd_close(nbd);
  return 0;
}
