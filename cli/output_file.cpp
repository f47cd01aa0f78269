// Output files that never destroy an input: checked against the inputs by
// device and inode, written beside the output and renamed over it.
#include "output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/mtd/linux_mtd.h"

namespace cli {

namespace {

bool same_inode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The input among `inputs` that is the file of `st`, or null.
const std::string* input_of(const struct stat& st, const std::vector<std::string>& inputs) {
  for (const std::string& input : inputs) {
    struct stat in {};
    if (::stat(input.c_str(), &in) == 0 && same_inode(st, in)) return &input;
  }
  return nullptr;
}

Status is_input(const std::string& name, const std::string& input) {
  return Status::InvalidArgument(name + " is the input " + input +
                                 " itself (the same file); nothing written");
}

// A new file beside `target`, created with the usual permissions; its path
// in *path.
int create_temp(const std::string& target, std::string* path) {
  const std::filesystem::path t(target);
  for (int attempt = 0;; ++attempt) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "." + string at -O3.
    std::string name = ".";
    name += t.filename().string();
    name += ".nyx-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    *path = (t.parent_path() / name).string();
    const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST || attempt >= 100) return fd;
  }
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && same_inode(sa, sb);
}

std::string image_file(const std::string& image_arg) {
  if (!linuxmtd::looks_like_device(image_arg)) return image_arg;
  auto ref = linuxmtd::parse_device_ref(image_arg);
  return ref.ok() ? ref.value().path : image_arg;
}

Result<std::unique_ptr<OutputFile>> OutputFile::open(const std::string& path,
                                                     const std::vector<std::string>& inputs,
                                                     Options options) {
  std::unique_ptr<OutputFile> out(new OutputFile());
  out->force_ = options.force;
  struct stat st {};
  if (path == "-") {
    out->name_ = "standard output";
    // Standard output may itself be an input opened for appending.
    if (::fstat(STDOUT_FILENO, &st) == 0) {
      if (const std::string* input = input_of(st, inputs)) return is_input(out->name_, *input);
    }
    if (options.binary && ::isatty(STDOUT_FILENO)) {
      return Status::Usage("standard output is a terminal; redirect it, or give -o FILE");
    }
    out->stream_ = stdout;
    return out;
  }

  out->name_ = path;
  out->target_ = path;
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists) {
    if (const std::string* input = input_of(st, inputs)) return is_input("output " + path, *input);
    if (!options.force) {
      return Status::InvalidArgument(path + " exists; use --force to overwrite it");
    }
    if (!S_ISREG(st.st_mode)) {
      // A device or a pipe: written where it is.
      std::FILE* f = std::fopen(path.c_str(), "wb");
      if (f == nullptr) return out->failed("cannot open", errno);
      out->stream_ = f;
      out->in_place_ = path;
      return out;
    }
    // Through a symbolic link, the file it names is replaced.
    std::error_code ec;
    out->target_ = std::filesystem::canonical(path, ec).string();
    if (ec) return out->failed("cannot resolve", ec.value());
  } else if (errno != ENOENT) {
    return out->failed("cannot open", errno);
  } else if (struct stat link{}; ::lstat(path.c_str(), &link) == 0 && !options.force) {
    return Status::InvalidArgument(path + " exists (a dangling link); use --force to replace it");
  }

  const int fd = create_temp(out->target_, &out->temp_);
  if (fd < 0) {
    const int err = errno;
    out->temp_.clear();
    return out->failed("cannot create", err);
  }
  // A replaced file keeps its permissions.
  if (exists) (void)::fchmod(fd, st.st_mode & 07777);
  out->stream_ = ::fdopen(fd, "wb");
  if (out->stream_ == nullptr) {
    const int err = errno;
    ::close(fd);
    return out->failed("cannot create", err);
  }
  return out;
}

OutputFile::~OutputFile() {
  if (stream_ != nullptr && stream_ != stdout) std::fclose(stream_);
  if (!temp_.empty() && !committed_) ::unlink(temp_.c_str());
}

Status OutputFile::failed(const std::string& what, int err) const {
  return Status::FromErrno(err, what + " " + name_ + ": " + std::strerror(err));
}

Status OutputFile::write(const void* data, size_t n) {
  if (std::fwrite(data, 1, n, stream_) != n) return failed("writing", errno);
  return Status::Ok();
}

Status OutputFile::commit() {
  if (std::fflush(stream_) != 0) return failed("writing", errno);
  if (to_stdout()) return Status::Ok();
  if (!temp_.empty() && ::fsync(::fileno(stream_)) != 0) return failed("writing", errno);
  std::FILE* f = stream_;
  stream_ = nullptr;
  if (std::fclose(f) != 0) return failed("writing", errno);
  if (temp_.empty()) return Status::Ok();
  if (force_) {
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return failed("cannot replace", errno);
  } else if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) !=
             0) {
    const int err = errno;
    // EINVAL: a file system without the no-replace rename; checked, then
    // renamed.
    struct stat st {};
    if (err == EEXIST || (err == EINVAL && ::lstat(target_.c_str(), &st) == 0)) {
      return Status::InvalidArgument(name_ + " appeared meanwhile; use --force to overwrite it");
    }
    if (err != EINVAL) return failed("cannot create", err);
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return failed("cannot create", errno);
  }
  committed_ = true;
  return Status::Ok();
}

}  // namespace cli
