// Expected<T, E>: a value or an error, for operations whose failure is an
// ordinary outcome (a configuration that does not parse) rather than a bug.
// Nothing here throws except value()/error() called on the wrong side, which
// is a programming error.
#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace kelvo {

template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<std::decay_t<E>> MakeUnexpected(E&& error) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <typename T, typename E>
class Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Unexpected<E> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace kelvo
