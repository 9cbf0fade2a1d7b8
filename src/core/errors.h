#pragma once
// Typed errors of the core.  The binding maps each kind to the Python exception
// of the same meaning, with the message unchanged.
#include <stdexcept>
#include <string>

namespace kalvex {

enum class ErrorKind { Value, Type, NotImplemented, ZeroDivision, Overflow, Index, Runtime };

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

 private:
  ErrorKind kind_;
};

[[noreturn]] inline void fail(ErrorKind kind, const std::string& message) { throw Error(kind, message); }

// Where torch decides what is valid, its own call is made for the error it
// raises, so that callers see torch's error type and message; the result is
// not used.  check_with_torch: a call that refuses only some arguments.
// torch_refusal: a call known to refuse them.
template <typename Call>
void check_with_torch(Call&& call) {
  (void)call();
}

template <typename Call>
[[noreturn]] void torch_refusal(Call&& call) {
  (void)call();
  fail(ErrorKind::Runtime, "internal error: torch accepted a call made for its refusal");
}

}  // namespace kalvex
