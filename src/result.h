// Result-or-message: the error type of every fallible operation.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tavisk {

// Wraps an error value so that Result<T, E> can be built from it unambiguously.
template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& e) {
  return {std::forward<E>(e)};
}

inline Failure<std::string> fail(const char* message) { return {std::string(message)}; }

template <class T, class E = std::string>
class Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> f) : state_(std::in_place_index<1>, E(std::move(f.error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }

  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

}  // namespace tavisk
