#pragma once

#include <string>
#include <utility>
#include <variant>

namespace zefra::base {

// What a caller may decide on; every other failure is only reported.
enum class ErrorKind {
  kOther,
  kLimitExceeded,  // a message larger than its side of the protocol takes
  kRefused,        // the serving side closed before it opened: it will not serve us
  kUnreachable,    // nobody serves the name, or connecting failed
  kNotUtf8,        // text that is not UTF-8 where only text goes
  kUnavailable,    // a facility this process could not start
};

// A failure at a module boundary: the errno (0 when none applies), a
// sentence that says what failed and why, and its kind.
struct Error {
  int code = 0;
  std::string message;
  ErrorKind kind = ErrorKind::kOther;
};

Error errnoError(const std::string& what, int err);  // "what: strerror(err)"

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Error error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

struct Ok {};
using Status = Result<Ok>;

}  // namespace zefra::base

// Every layer speaks in these, so they are named in zefra itself too.
namespace zefra {
using base::errnoError;
using base::Error;
using base::Ok;
using base::Result;
using base::Status;
}  // namespace zefra
