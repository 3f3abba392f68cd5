// base/, the lowest layer: errors, coding, UTF-8, I/O, LZ4, channels, threads, locks.
//
// The two kinds of failure: IoError values for an environment that refuses (a file
// that cannot be opened, a short file), and the Panic exception for a broken format
// or invariant. Nothing else throws.
//
//   Result<Header> h = read_header(in);
//   if (!h) return h.error();   // the caller decides what an I/O error means
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace zel {

// An operating-system error code, or the end of a file reached before a read
// was complete.
class IoError {
 public:
  static IoError from_errno(int code) { return IoError(code); }
  static IoError unexpected_eof() { return IoError(0); }

  bool is_eof() const { return code_ == 0; }
  int code() const { return code_; }  // 0 for an early end of file

  // "No such file or directory (os error 2)" or "failed to fill whole buffer".
  std::string to_string() const;
  // `Os { code: 2, kind: NotFound, message: "No such file or directory" }` or
  // `Error { kind: UnexpectedEof, message: "failed to fill whole buffer" }`.
  std::string debug() const;

 private:
  explicit IoError(int code) : code_(code) {}
  int code_;
};

// A value or the IoError that prevented it. Must be checked.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(IoError err) : v_(err) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T&& take() { return std::get<0>(std::move(v_)); }
  const IoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, IoError> v_;
};

// Success, or the IoError of an operation that returns nothing.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(IoError err) : err_(err), failed_(true) {}
  static Status success() { return Status(); }

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const IoError& error() const { return err_; }

 private:
  IoError err_ = IoError::unexpected_eof();
  bool failed_ = false;
};

// What a fatal failure is about, for callers that tell some apart: input that is not a
// .zel stream at all, or anything else (a broken format or invariant).
enum class Fault { Broken, NotAStream };

// A fatal failure: a format or invariant violation. It ends the current operation;
// the Python boundary turns it into PanicException, a system thread ends on it.
class Panic : public std::exception {
 public:
  explicit Panic(std::string message, std::string brief = {}, Fault fault = Fault::Broken)
      : message_(std::move(message)), brief_(std::move(brief)), fault_(fault) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  // The message on one line, for tools that show it to a person.
  const std::string& brief() const { return brief_.empty() ? message_ : brief_; }
  Fault fault() const { return fault_; }

 private:
  std::string message_;
  std::string brief_;
  Fault fault_;
};

[[noreturn]] void panic(std::string message);

// "assertion `left == right` failed: <what>\n  left: <left>\n right: <right>" (without
// ": <what>" when `what` is empty), briefly "<what>: <left>, expected <right>".
[[noreturn]] void assert_eq_failed(std::string_view what, std::string_view left,
                                   std::string_view right, Fault fault = Fault::Broken);
// The same for `left != right`.
[[noreturn]] void assert_ne_failed(std::string_view left, std::string_view right);

// Panics with "called `Result::unwrap()` on an `Err` value: <debug form>" when the
// status failed.
void unwrap(const Status& status);

template <class T>
T unwrap(Result<T>&& result) {
  if (!result) unwrap(Status(result.error()));
  return result.take();
}

}  // namespace zel
