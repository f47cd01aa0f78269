// A value or an error message: how the platform and the tools return
// failures (the translation layer itself keeps the kernel's integer codes).
#pragma once

#include <optional>
#include <string>
#include <utility>

struct Error {
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Error error) : error_(std::move(error.message)) {}

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() & { return *value_; }
  T&& value() && { return std::move(*value_); }
  const T& value() const& { return *value_; }
  T* operator->() { return &*value_; }
  const std::string& error() const { return error_; }

 private:
  std::optional<T> value_;
  std::string error_;
};

// Result of an operation that produces nothing but may fail.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error.message)), failed_(true) {}
  static Status Ok() { return Status(); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool failed_ = false;
};
