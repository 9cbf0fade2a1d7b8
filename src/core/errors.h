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

}  // namespace kalvex
