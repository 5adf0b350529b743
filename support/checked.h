#pragma once
// Checked and saturating integer arithmetic. Checked forms return nullopt on
// overflow so that callers can turn it into their own error value.
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>

namespace tessel::support {

template <std::integral T>
constexpr std::optional<T> checked_add(T a, T b) {
  T r;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

template <std::integral T>
constexpr std::optional<T> checked_sub(T a, T b) {
  T r;
  if (__builtin_sub_overflow(a, b, &r)) return std::nullopt;
  return r;
}

template <std::integral T>
constexpr std::optional<T> checked_mul(T a, T b) {
  T r;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

template <std::integral T>
constexpr T saturating_add(T a, T b) {
  T r;
  if (__builtin_add_overflow(a, b, &r))
    return b < 0 ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
  return r;
}

template <std::integral T>
constexpr T saturating_sub(T a, T b) {
  T r;
  if (__builtin_sub_overflow(a, b, &r))
    return b < 0 ? std::numeric_limits<T>::max() : std::numeric_limits<T>::min();
  return r;
}

template <std::integral T>
constexpr T saturating_mul(T a, T b) {
  T r;
  if (__builtin_mul_overflow(a, b, &r)) {
    return ((a < 0) != (b < 0)) ? std::numeric_limits<T>::min() : std::numeric_limits<T>::max();
  }
  return r;
}

}  // namespace tessel::support
