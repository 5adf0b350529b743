// exchange_snapshot_gen: writes a synthetic exchange-schedule snapshot for the
// benchmark, checked with the same whole-snapshot validation it applies.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/exchange_snapshot_gen/generator.h"

namespace {

using namespace tessel::snapshot_gen;

bool write_all(std::FILE* file, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
}

int write_output(const std::string& path, const std::string& text) {
  if (path == "-") {
    if (!write_all(stdout, text)) {
      fmt::print(stderr, "Error: write to standard output: {}\n", std::strerror(errno));
      return 1;
    }
    return 0;
  }
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    fmt::print(stderr, "Error: create {}: {}\n", path, std::strerror(errno));
    return 1;
  }
  const bool written = write_all(file, text);
  const int saved = errno;
  if (std::fclose(file) != 0 || !written) {
    fmt::print(stderr, "Error: write {}: {}\n", path, std::strerror(written ? errno : saved));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Generate a synthetic exchange-schedule snapshot (schema version 3)",
               "exchange_snapshot_gen"};
  GeneratorOptions options;
  std::string workload = "mixed";
  std::string output;
  app.add_option("--tiles", options.tiles, "Number of logical tiles")
      ->capture_default_str()
      ->check(CLI::Range(1, 1472));
  app.add_option("--phases", options.phases, "Number of exchange phases")
      ->capture_default_str()
      ->check(CLI::Range(0, 100000));
  app.add_option("--transfers", options.transfers, "Transfers per phase (approximate)")
      ->capture_default_str()
      ->check(CLI::Range(0, 10000000));
  app.add_option("--seed", options.seed, "Seed of the pseudo-random stream")->capture_default_str();
  app.add_option("--workload", workload, "Workload family")
      ->capture_default_str()
      ->check(
          CLI::IsMember({"halo", "alltoall", "broadcast", "reduce", "repeat", "paired", "mixed"}));
  app.add_flag("--ordinary-only", options.ordinary_only,
               "Write every transfer as Word32 (an ordinary-transfer capture for --select-widths)");
  app.add_option("-o,--output", output, "Output path, - for standard output")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : 2;
  }
  options.workload = *parse_workload(workload);

  auto json = generate_validated_json(options);
  if (!json) {
    fmt::print(stderr, "Error: {}\n", json.error().display());
    return 1;
  }
  return write_output(output, *json);
}
