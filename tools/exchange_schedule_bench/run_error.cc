#include "tools/exchange_schedule_bench/run_error.h"

#include <fmt/format.h>

#include <cstring>

namespace tessel::bench {

std::string RunError::report() const {
  if (!cause_) return message_;
  // Every line of a multi-line cause keeps the four-space indent.
  std::string indented = "    ";
  for (char c : *cause_) {
    indented += c;
    if (c == '\n') indented += "    ";
  }
  return fmt::format("{}\n\nCaused by:\n{}", message_, indented);
}

std::string os_error_text(int error_number) {
  return fmt::format("{} (os error {})", std::strerror(error_number), error_number);
}

}  // namespace tessel::bench
