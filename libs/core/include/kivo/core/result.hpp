// Expected<T, E>: a value or an error, with the interface of std::expected so
// that it can become an alias of it once every compiler of the project builds
// libstdc++'s version. Result<T> is Expected<T, KivoError>.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "kivo/core/error.hpp"

namespace kivo {

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  const E& error() const& { return error_; }
  E& error() & { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class E>
Unexpected(E) -> Unexpected<E>;

// Shorthand for returning an error: `return fail(KivoError::congested());`
template <class E>
Unexpected<std::decay_t<E>> fail(E&& error) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  using value_type = T;
  using error_type = E;

  Expected() requires std::is_default_constructible_v<T> : storage_(std::in_place_index<0>) {}
  template <class U = T>
  requires std::is_constructible_v<T, U&&> &&(!std::is_same_v<std::remove_cvref_t<U>, Expected>)&&(
      !std::is_same_v<std::remove_cvref_t<U>, Unexpected<E>>)Expected(U&& value)
      : storage_(std::in_place_index<0>, std::forward<U>(value)) {}
  template <class G>
  Expected(const Unexpected<G>& error) : storage_(std::in_place_index<1>, error.error()) {}
  template <class G>
  Expected(Unexpected<G>&& error) : storage_(std::in_place_index<1>, std::move(error).error()) {}

  bool has_value() const { return storage_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return checked_value(); }
  const T& value() const& { return const_cast<Expected*>(this)->checked_value(); }
  T&& value() && { return std::move(checked_value()); }

  const E& error() const& {
    assert(!has_value());
    return std::get<1>(storage_);
  }
  E& error() & {
    assert(!has_value());
    return std::get<1>(storage_);
  }
  E&& error() && {
    assert(!has_value());
    return std::move(std::get<1>(storage_));
  }

  T& operator*() & { return std::get<0>(storage_); }
  const T& operator*() const& { return std::get<0>(storage_); }
  T&& operator*() && { return std::move(std::get<0>(storage_)); }
  T* operator->() { return &std::get<0>(storage_); }
  const T* operator->() const { return &std::get<0>(storage_); }

  template <class U>
  T value_or(U&& fallback) const& {
    return has_value() ? **this : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  T& checked_value() {
    // Reading the value of an error is a programming fault, as with
    // std::expected's bad_expected_access; fail loudly in every build.
    if (!has_value()) std::terminate();
    return std::get<0>(storage_);
  }

  std::variant<T, E> storage_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Expected() = default;
  template <class G>
  Expected(const Unexpected<G>& error) : error_(error.error()) {}
  template <class G>
  Expected(Unexpected<G>&& error) : error_(std::move(error).error()) {}

  bool has_value() const { return !error_.has_value(); }
  explicit operator bool() const { return has_value(); }
  void value() const {
    if (!has_value()) std::terminate();
  }
  const E& error() const& {
    assert(!has_value());
    return *error_;
  }
  E& error() & {
    assert(!has_value());
    return *error_;
  }
  E&& error() && {
    assert(!has_value());
    return std::move(*error_);
  }

 private:
  std::optional<E> error_;
};

template <class T>
using Result = Expected<T, KivoError>;

// The success value of Result<void>.
inline Result<void> ok() {
  return {};
}

}  // namespace kivo

// Returns the error of a Result-valued expression from the enclosing function.
#define KIVO_TRY(expr)                                                               \
  do {                                                                               \
    auto kivo_try_result_ = (expr);                                                  \
    if (!kivo_try_result_) return ::kivo::fail(std::move(kivo_try_result_).error()); \
  } while (false)
