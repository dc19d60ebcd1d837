#pragma once

#include <exception>
#include <string>
#include <utility>
#include <variant>

namespace glimra {

// The one error value of the helper: every failure that reaches the host
// application travels as a GlimraFailure inside an `error` event. The codes
// and messages are tabled in failure_catalog.h.
struct GlimraFailure {
  std::string code;
  std::string message;

  friend bool operator==(const GlimraFailure&, const GlimraFailure&) = default;
};

// Carries a GlimraFailure out of code that has no result to return it in,
// such as the run of a listening mode, which otherwise never returns.
class GlimraError : public std::exception {
 public:
  explicit GlimraError(GlimraFailure failure) : failure_(std::move(failure)) {}
  const GlimraFailure& failure() const noexcept { return failure_; }
  const char* what() const noexcept override { return failure_.message.c_str(); }

 private:
  GlimraFailure failure_;
};

// The outcome of an operation that can fail: its value or a GlimraFailure.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : outcome_(std::move(value)) {}
  Result(GlimraFailure failure) : outcome_(std::move(failure)) {}

  bool ok() const { return std::holds_alternative<T>(outcome_); }
  const T& value() const { return std::get<T>(outcome_); }
  T& value() { return std::get<T>(outcome_); }
  const GlimraFailure& failure() const { return std::get<GlimraFailure>(outcome_); }

 private:
  std::variant<T, GlimraFailure> outcome_;
};

}  // namespace glimra
