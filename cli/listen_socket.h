// The listening sockets serve hands to nbdkit (socket activation): a unix
// socket that replaces only a stale socket of its own user, or a TCP socket
// on a chosen address, whose port is known before nbdkit starts.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/status.h"

namespace cli {

struct ListenSocket {
  int fd = -1;
  std::string unix_path;  // the socket file, for a unix socket
  dev_t dev = 0;          // the socket file's identity once bound
  ino_t ino = 0;
  std::string host;  // TCP: the address as given, and the port taken
  uint16_t port = 0;
};

// The default unix socket: $XDG_RUNTIME_DIR/nyx-nftl.sock, else
// /tmp/nyx-nftl-<uid>/nyx-nftl.sock in a directory only this user may
// enter (made on first use; refused when someone else owns it or may write
// it).
Result<std::string> default_socket_path();

// Checks what is at `path` without changing it: nothing, or a stale socket
// of this user, is fine; a socket a live server answers on, one of another
// user, or anything that is not a socket is refused.
Status check_unix_path(const std::string& path);

// Removes a stale socket at `path` (after check_unix_path) and listens
// there; the socket file is made for this user alone (mode 0600).
Result<ListenSocket> listen_unix(const std::string& path);

// Whether every address `host` resolves to is a loopback address.
Result<bool> is_loopback(const std::string& host);

// Listens on `host`:`port` (port 0: one the kernel picks).
Result<ListenSocket> listen_tcp(const std::string& host, uint16_t port);

// Whether the file at `path` is still the socket `sock` made.
bool same_socket_file(const ListenSocket& sock, const std::string& path);

}  // namespace cli
