// Errors as values: every fallible core function returns a Result.
//
// Our own small type rather than std::expected: that needs C++23 and a
// compiler newer than the clang we build the fuzzer and sanitizer targets
// with on Debian 12.
#ifndef VUREL_CORE_RESULT_H_
#define VUREL_CORE_RESULT_H_

#include <string>
#include <utility>
#include <variant>

namespace vurel {

enum class ErrorCode {
  kInvalidInput,  // a file or value the caller supplied is malformed
  kInternal,      // a fault inside vurel or OpenFst
  kOverBudget,    // the work would need more memory than its budget allows
  kCancelled,     // the caller asked to stop
};

struct Error {
  ErrorCode code = ErrorCode::kInternal;
  std::string message;
};

inline Error InvalidInput(std::string message) {
  return Error{ErrorCode::kInvalidInput, std::move(message)};
}
inline Error InternalError(std::string message) {
  return Error{ErrorCode::kInternal, std::move(message)};
}

// Holds either a T or an Error. Accessing the wrong alternative is a
// programming error (std::bad_variant_access).
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T &value() & { return std::get<0>(state_); }
  const T &value() const & { return std::get<0>(state_); }
  T &&value() && { return std::get<0>(std::move(state_)); }
  T *operator->() { return &value(); }
  const T *operator->() const { return &value(); }
  T &operator*() & { return value(); }
  const T &operator*() const & { return value(); }

  const Error &error() const & { return std::get<1>(state_); }
  Error &&error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// Success or an Error, for operations without a value.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const Error &error() const { return error_; }

 private:
  Error error_;
  bool ok_ = true;
};

}  // namespace vurel

#endif  // VUREL_CORE_RESULT_H_
