#pragma once
// The benchmark's command line: identity, arguments and their checks.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tessel::bench {

inline constexpr const char* kCommandName = "tessel-tests";
inline constexpr const char* kCommandVersion = "0.1.0";
inline constexpr const char* kCommandAbout =
    "Replay and validate production exchange scheduling without TESSEL hardware";

struct Arguments {
  std::string snapshot;
  std::vector<uint32_t> phases;  // command-line order, duplicates kept
  uint64_t warmup = 0;
  uint64_t iterations = 1;
  bool first_iteration_only = false;
  bool select_widths = false;
  bool replay_cache = false;
  uint32_t relocate_by = 0;
  std::optional<uint64_t> dump_tile;
};

// Exit status for command-line usage errors.
inline constexpr int kUsageErrorStatus = 2;

// Parses the process arguments. Returns the arguments, or the exit status to
// end with after the parser has printed help, version or a usage error.
std::variant<Arguments, int> parse_command_line(int argc, const char* const* argv);

// Parses an unsigned decimal integer (an optional '+', then digits) no larger
// than `max`. Hexadecimal, octal, signs and blanks are refused.
std::optional<uint64_t> parse_decimal(const std::string& text, uint64_t max);

}  // namespace tessel::bench
