// Failures as values: a message and a chain of causes, outermost first.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace drel {

class Error {
 public:
  explicit Error(std::string message) { chain_.push_back(std::move(message)); }

  // An operating-system error alone: "<strerror text> (os error N)".
  static Error os(int errnum);
  // A message whose cause is an operating-system error.
  static Error os(std::string message, int errnum);

  // Wraps this error as the cause of a new outer message.
  Error context(std::string outer) &&;

  const std::string& message() const { return chain_.front(); }
  // Message and causes joined with ": ".
  std::string text() const;

  // A line printed after the error's own, such as where a report was saved instead.
  Error with_note(std::string note) && {
    note_ = std::move(note);
    return std::move(*this);
  }
  const std::string& note() const { return note_; }
  // What a program prints for it: "<program>: <text>", then "<program>: <note>" if there is one,
  // each line ended by a line feed.
  std::string printed(const std::string& program) const;

 private:
  std::vector<std::string> chain_;
  std::string note_;
};

// "<strerror text> (os error N)".
std::string os_error_text(int errnum);

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};

// Result<void>: success carries nothing.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Ok) {}
  Result(Error error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return error_; }
  Error&& error() && { return std::move(error_); }

 private:
  Error error_{""};
  bool failed_ = false;
};

}  // namespace drel
