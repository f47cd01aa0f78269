// The writer's lock on a flash: flock(LOCK_EX | LOCK_NB) on its open file.
#include "platform/mtd/writer_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nandsim {

Status lock_writer(int fd, const std::string& what) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Status::Ok();
  const int err = errno;
  if (err == EWOULDBLOCK) {
    return Status::Busy(what +
                        " is in use by another process (a server, an import or another "
                        "command writing it); stop it first, or only read it (info, check, "
                        "export)");
  }
  return Status::IOError("cannot lock " + what + ": " + std::strerror(err));
}

Status probe_writer(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) return Status::Ok();
    if (err == EACCES || err == EROFS || err == EPERM) {
      return Status::ReadOnly("cannot open " + path + " for writing: " + std::strerror(err));
    }
    return Status::FromErrno(err, "cannot open " + path + ": " + std::strerror(err));
  }
  Status locked = lock_writer(fd, path);
  ::close(fd);  // lets the lock go with the file
  return locked;
}

}  // namespace nandsim
