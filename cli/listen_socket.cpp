// Listening sockets for serve: stale unix sockets replaced, live or foreign
// ones refused, TCP ports known before nbdkit takes them over.
#include "listen_socket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {

namespace {

std::string errno_text(int err) { return std::strerror(err); }

// A directory only this user can write: owned by the user, no write bit for
// group or others.
Status check_private_dir(const std::string& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    const int err = errno;
    return Status::FromErrno(err, "cannot use " + dir + ": " + errno_text(err));
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
    return Status::InvalidArgument(dir +
                                   " is not a directory of this user's alone; "
                                   "give the socket's place with --socket PATH");
  }
  return Status::Ok();
}

Result<sockaddr_un> unix_address(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    return Status::Usage("socket path \"" + path + "\" is empty or longer than " +
                         std::to_string(sizeof(addr.sun_path) - 1) + " bytes");
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

}  // namespace

Result<std::string> default_socket_path() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
    if (check_private_dir(runtime).ok()) return std::string(runtime) + "/nyx-nftl.sock";
  }
  const std::string dir = "/tmp/nyx-nftl-" + std::to_string(::geteuid());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    const int err = errno;
    return Status::FromErrno(err, "cannot create " + dir + ": " + errno_text(err));
  }
  if (Status ok = check_private_dir(dir); !ok.ok()) return ok;
  return dir + "/nyx-nftl.sock";
}

Status check_unix_path(const std::string& path) {
  auto addr = unix_address(path);
  if (!addr.ok()) return addr.status();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err == ENOENT) return Status::Ok();
    return Status::FromErrno(err, "cannot use socket " + path + ": " + errno_text(err));
  }
  if (!S_ISSOCK(st.st_mode)) {
    return Status::InvalidArgument(path + " exists and is not a socket; it is left alone");
  }
  if (st.st_uid != ::geteuid()) {
    return Status::Busy("socket " + path + " belongs to another user (uid " +
                        std::to_string(st.st_uid) + "); choose another --socket");
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Status::IOError("cannot make a unix socket: " + errno_text(errno));
  const int connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&addr.value()), sizeof(sockaddr_un));
  const int err = errno;
  ::close(fd);
  if (connected == 0) {
    return Status::Busy("socket " + path + " is being served by another process");
  }
  if (err != ECONNREFUSED) {
    return Status::IOError("cannot tell whether socket " + path + " is in use: " + errno_text(err));
  }
  return Status::Ok();  // nobody listens: a leftover of a server that stopped
}

Result<ListenSocket> listen_unix(const std::string& path) {
  if (Status ok = check_unix_path(path); !ok.ok()) return ok;
  auto addr = unix_address(path);
  if (!addr.ok()) return addr.status();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    const int err = errno;
    return Status::FromErrno(err, "cannot remove stale socket " + path + ": " + errno_text(err));
  }
  ListenSocket sock;
  sock.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock.fd < 0) return Status::IOError("cannot make a unix socket: " + errno_text(errno));
  const mode_t mask = ::umask(077);
  const int bound =
      ::bind(sock.fd, reinterpret_cast<const sockaddr*>(&addr.value()), sizeof(sockaddr_un));
  const int err = errno;
  ::umask(mask);
  struct stat st {};
  if (bound != 0 || ::listen(sock.fd, SOMAXCONN) != 0 || ::stat(path.c_str(), &st) != 0) {
    const int why = bound != 0 ? err : errno;
    ::close(sock.fd);
    return Status::FromErrno(why, "cannot listen on " + path + ": " + errno_text(why));
  }
  sock.unix_path = path;
  sock.dev = st.st_dev;
  sock.ino = st.st_ino;
  return sock;
}

namespace {

struct AddrInfo {
  addrinfo* list = nullptr;
  ~AddrInfo() {
    if (list != nullptr) ::freeaddrinfo(list);
  }
};

Status resolve(const std::string& host, uint16_t port, AddrInfo& out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &out.list);
  if (rc != 0) return Status::Usage("--bind " + host + ": " + ::gai_strerror(rc));
  return Status::Ok();
}

bool loopback(const sockaddr* sa) {
  if (sa->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
  }
  if (sa->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace

Result<bool> is_loopback(const std::string& host) {
  AddrInfo info;
  if (Status ok = resolve(host, 0, info); !ok.ok()) return ok;
  for (const addrinfo* ai = info.list; ai != nullptr; ai = ai->ai_next) {
    if (!loopback(ai->ai_addr)) return false;
  }
  return true;
}

Result<ListenSocket> listen_tcp(const std::string& host, uint16_t port) {
  AddrInfo info;
  if (Status ok = resolve(host, port, info); !ok.ok()) return ok;
  const addrinfo* ai = info.list;
  ListenSocket sock;
  sock.fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
  if (sock.fd < 0) return Status::IOError("cannot make a TCP socket: " + errno_text(errno));
  const int on = 1;
  (void)::setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_storage bound{};
  socklen_t len = sizeof(bound);
  if (::bind(sock.fd, ai->ai_addr, ai->ai_addrlen) != 0 || ::listen(sock.fd, SOMAXCONN) != 0 ||
      ::getsockname(sock.fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
    const int err = errno;
    ::close(sock.fd);
    return Status::FromErrno(
        err, "cannot listen on " + host + " port " + std::to_string(port) + ": " + errno_text(err));
  }
  sock.host = host;
  sock.port =
      ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                        : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  return sock;
}

bool same_socket_file(const ListenSocket& sock, const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == sock.dev &&
         st.st_ino == sock.ino;
}

}  // namespace cli
