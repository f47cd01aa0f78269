// How the platform and the tools report failure.
//
// The platform (nand/platform/) and the tools (frontend/, cli/, nbd/,
// bench/) return a Status, or a Result<T> holding a value or a failed
// Status, as a plain value. Exceptions never cross the platform's
// interface: a constructor that can fail is a static factory returning a
// Result. The translation layer itself (nand/nyx_nftl/) keeps the kernel's
// integer codes (-EIO, -EROFS, ...); Status::FromErrno() turns such a code
// into a kind where a tool reports it.
//
// A failed Status has a kind, which tells a caller what to do about it (the
// command-line tool maps kinds to exit codes), and a message for a person.
// The message may be empty when whoever failed has reported the details
// already.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

enum class StatusKind {
  kOk,
  kInvalidArgument,  // the caller asked for something that cannot be (geometry, partition list,
                     // sizes)
  kNotFound,         // a file, partition or other named thing is not there
  kCorruption,       // the flash contents or an image are damaged or short
  kIOError,          // a read, write or other operation of the system failed
  kBusy,             // the resource is in use
  kReadOnly,         // a change was asked of something that is read-only
  kUsage,            // the command line is wrong
};

// "invalid argument", "not found", ...; "ok" for kOk.
constexpr const char* status_kind_name(StatusKind kind) {
  switch (kind) {
    case StatusKind::kOk:
      return "ok";
    case StatusKind::kInvalidArgument:
      return "invalid argument";
    case StatusKind::kNotFound:
      return "not found";
    case StatusKind::kCorruption:
      return "corruption";
    case StatusKind::kIOError:
      return "I/O error";
    case StatusKind::kBusy:
      return "busy";
    case StatusKind::kReadOnly:
      return "read-only";
    case StatusKind::kUsage:
      return "usage";
  }
  return "unknown";
}

class [[nodiscard]] Status {
 public:
  // Success.
  Status() = default;
  static Status Ok() { return Status(); }

  static Status InvalidArgument(std::string message) {
    return Status(StatusKind::kInvalidArgument, std::move(message));
  }
  static Status NotFound(std::string message) {
    return Status(StatusKind::kNotFound, std::move(message));
  }
  static Status Corruption(std::string message) {
    return Status(StatusKind::kCorruption, std::move(message));
  }
  static Status IOError(std::string message) {
    return Status(StatusKind::kIOError, std::move(message));
  }
  static Status Busy(std::string message) { return Status(StatusKind::kBusy, std::move(message)); }
  static Status ReadOnly(std::string message) {
    return Status(StatusKind::kReadOnly, std::move(message));
  }
  static Status Usage(std::string message) {
    return Status(StatusKind::kUsage, std::move(message));
  }

  // The kind of a failure with the error number `err` (errno, or a kernel
  // code negated): ENOENT and ENODEV are not found, EINVAL, ERANGE, E2BIG and
  // EFBIG invalid argument, EBADMSG and EUCLEAN corruption, EBUSY and EEXIST
  // busy, EROFS read-only, everything else an I/O error.
  static StatusKind KindOfErrno(int err) {
    switch (err) {
      case ENOENT:
      case ENODEV:
        return StatusKind::kNotFound;
      case EINVAL:
      case ERANGE:
      case E2BIG:
      case EFBIG:
        return StatusKind::kInvalidArgument;
      case EBADMSG:
      case EUCLEAN:
        return StatusKind::kCorruption;
      case EBUSY:
      case EEXIST:
        return StatusKind::kBusy;
      case EROFS:
        return StatusKind::kReadOnly;
      default:
        return StatusKind::kIOError;
    }
  }
  static Status FromErrno(int err, std::string message) {
    return Status(KindOfErrno(err), std::move(message));
  }

  bool ok() const { return kind_ == StatusKind::kOk; }
  explicit operator bool() const { return ok(); }
  StatusKind kind() const { return kind_; }
  // What went wrong, for a person; empty for success.
  const std::string& message() const { return message_; }

  bool IsInvalidArgument() const { return kind_ == StatusKind::kInvalidArgument; }
  bool IsNotFound() const { return kind_ == StatusKind::kNotFound; }
  bool IsCorruption() const { return kind_ == StatusKind::kCorruption; }
  bool IsIOError() const { return kind_ == StatusKind::kIOError; }
  bool IsBusy() const { return kind_ == StatusKind::kBusy; }
  bool IsReadOnly() const { return kind_ == StatusKind::kReadOnly; }
  bool IsUsage() const { return kind_ == StatusKind::kUsage; }

  // The same failure with `context` put before its message ("cannot open
  // image x: " + message); success stays success.
  Status prefixed(std::string_view context) const {
    if (ok()) return *this;
    return Status(kind_, std::string(context) + message_);
  }
  // The same kind without the message, for a failure whose details were
  // reported already.
  Status reported() const { return ok() ? *this : Status(kind_, std::string()); }

  // "ok", or the kind and the message ("not found: no such partition").
  std::string ToString() const {
    if (ok()) return "ok";
    std::string text = status_kind_name(kind_);
    if (!message_.empty()) text += ": " + message_;
    return text;
  }

 private:
  Status(StatusKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  StatusKind kind_ = StatusKind::kOk;
  std::string message_;
};

// A value, or the failed Status that stands in for it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  // `status` must be a failure: a success without a value is a programming
  // error, caught here in every build.
  Result(Status status) : status_(std::move(status)) {
    if (status_.ok()) {
      std::fputs("Result built from a successful Status without a value\n", stderr);
      std::abort();
    }
  }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Ok when there is a value, else the failure.
  const Status& status() const { return status_; }
  // The failure's message (empty when there is a value).
  const std::string& message() const { return status_.message(); }

  // Only with a value (ok()).
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& value() const& { return *value_; }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  std::optional<T> value_;
  Status status_;
};
