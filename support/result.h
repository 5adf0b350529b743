#pragma once
// The one propagation helper for std::expected: evaluates to the value, or
// returns the error from the enclosing function (converting it to that
// function's error type where a conversion exists).
#include <expected>
#include <utility>

#define TESSEL_TRY(...)                                              \
  ({                                                                 \
    auto&& tessel_try_result_ = (__VA_ARGS__);                       \
    if (!tessel_try_result_) [[unlikely]]                            \
      return std::unexpected(std::move(tessel_try_result_).error()); \
    std::move(tessel_try_result_).value();                           \
  })
