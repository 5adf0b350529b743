#include "tools/exchange_schedule_bench/arguments.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <limits>

namespace tessel::bench {

std::optional<uint64_t> parse_decimal(const std::string& text, uint64_t max) {
  std::size_t i = 0;
  if (i < text.size() && text[i] == '+') ++i;
  if (i == text.size()) return std::nullopt;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = uint64_t(c - '0');
    if (value > (max - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

namespace {

// CLI11's own integer conversion accepts hexadecimal, octal and wrapped
// negatives ("-1" as 2^64 - 1); every number here is plain decimal, so values
// are taken as text, checked here and converted after parsing.
CLI::Validator decimal(uint64_t max, const char* type_name) {
  return CLI::Validator(
      [max, type_name](std::string& text) -> std::string {
        if (parse_decimal(text, max)) return {};
        return fmt::format("invalid value '{}': expected {} (0 to {})", text, type_name, max);
      },
      "", type_name);
}

constexpr uint64_t kU32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU64 = std::numeric_limits<uint64_t>::max();

}  // namespace

std::variant<Arguments, int> parse_command_line(int argc, const char* const* argv) {
  CLI::App app(kCommandAbout, kCommandName);
  app.set_version_flag("-V,--version", fmt::format("{} {}", kCommandName, kCommandVersion),
                       "Print version");
  app.set_help_flag("-h,--help", "Print help");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw)->group("Arguments");

  std::string snapshot;
  std::vector<std::string> phases;
  std::string warmup = "0", iterations = "1", relocate_by = "0", dump_tile;
  bool first_iteration_only = false, select_widths = false, replay_cache = false;

  app.add_option("SNAPSHOT", snapshot,
                 "JSON snapshot written by tessel-trivial-test --export-exchange-schedule")
      ->required()
      ->type_name("SNAPSHOT");
  app.add_option("--phase", phases, "Restrict the benchmark to these physical exchange phase IDs")
      ->type_name("PHASES")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false)
      ->check(decimal(kU32, "u32"));
  app.add_option("--warmup", warmup, "Untimed scheduler/codegen runs before measurement")
      ->type_name("WARMUP")
      ->capture_default_str()
      ->check(decimal(kU64, "u64"));
  app.add_option("--iterations", iterations, "Timed scheduler/codegen runs per selected phase")
      ->type_name("ITERATIONS")
      ->capture_default_str()
      ->check(decimal(kU64, "u64"));
  app.add_flag("--first-iteration-only", first_iteration_only,
               "Ignore sender addresses after the first Repeat iteration. This reproduces the "
               "unsafe scheduler behavior used before Repeat-aware memory-element hazard checking");
  app.add_flag("--select-widths", select_widths,
               "Include the production comparison of ordinary and paired transfers");
  app.add_flag("--replay-cache", replay_cache,
               "Populate the production recipe cache before timing, then measure replay");
  app.add_option("--relocate-by", relocate_by,
                 "Relocate every source/destination by this many bytes after cache warmup")
      ->type_name("RELOCATE_BY")
      ->capture_default_str()
      ->check(decimal(kU32, "u32"));
  // A switch given twice is as much a usage error as any repeated argument.
  for (CLI::Option* flag : {app.get_option("--first-iteration-only"),
                            app.get_option("--select-widths"), app.get_option("--replay-cache")}) {
    flag->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  }
  CLI::Option* dump = app.add_option("--dump-tile", dump_tile,
                                     "Decode the generated exchange program for this logical tile")
                          ->type_name("DUMP_TILE")
                          ->check(decimal(kU64, "u64"));

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // help or version: printed, status 0
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kUsageErrorStatus;
  }

  Arguments args;
  args.snapshot = snapshot;
  for (const std::string& p : phases) args.phases.push_back(uint32_t(*parse_decimal(p, kU32)));
  args.warmup = *parse_decimal(warmup, kU64);
  args.iterations = *parse_decimal(iterations, kU64);
  args.first_iteration_only = first_iteration_only;
  args.select_widths = select_widths;
  args.replay_cache = replay_cache;
  args.relocate_by = uint32_t(*parse_decimal(relocate_by, kU32));
  if (dump->count() > 0) args.dump_tile = *parse_decimal(dump_tile, kU64);
  return args;
}

}  // namespace tessel::bench
