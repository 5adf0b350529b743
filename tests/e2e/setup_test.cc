// The command line and everything before the first phase runs, checked by
// running the executable.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/e2e/harness.h"

namespace tessel::e2e {
namespace {

const std::string kMinimal =
    "{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [\n"
    "{\"phase\": 7, \"transfers\": [\n"
    "{\"source\": 0, \"source_addresses\": [4096], \"destinations\": [{\"tile\": 1, \"address\": "
    "8192}], \"words\": 16, \"width\": \"Word32\"}\n"
    "]}]}\n";

TEST(CommandLine, HelpAndVersionExitZero) {
  const RunResult version = run_bench({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "tessel-tests 0.1.0\n");
  const RunResult help = run_bench({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* text :
       {"Replay and validate production exchange scheduling without TESSEL hardware", "SNAPSHOT",
        "PHASES", "WARMUP", "ITERATIONS", "RELOCATE_BY", "DUMP_TILE", "--first-iteration-only",
        "--select-widths", "--replay-cache",
        "JSON snapshot written by tessel-trivial-test --export-exchange-schedule"}) {
    EXPECT_NE(help.out.find(text), std::string::npos) << text;
  }
}

TEST(CommandLine, UsageErrorsExitTwoWithoutRunning) {
  const std::string snap = write_temp("usage.json", kMinimal);
  const std::vector<std::vector<std::string>> cases = {
      {},
      {snap, "--unknown"},
      {snap, "--phase", "-1"},
      {snap, "--phase", "4294967296"},
      {snap, "--relocate-by", "4294967296"},
      {snap, "--relocate-by", "-1"},
      {snap, "--iterations", "abc"},
      {snap, "--iterations", "0x10"},
      {snap, "--warmup", "-1"},
      {snap, "--warmup", "18446744073709551616"},
      {snap, "--dump-tile", "1.5"},
      {snap, "--warmup", "1", "--warmup", "2"},
      {snap, "--iterations", "1", "--iterations", "1"},
      {snap, "--select-widths", "--select-widths"},
      {snap, "--replay-cache", "--replay-cache"},
      {snap, "--first-iteration-only", "--first-iteration-only"},
      {snap, "--relocate-by", "4", "--relocate-by", "4"},
      {snap, "--dump-tile", "0", "--dump-tile", "1"},
      {snap, snap},
  };
  for (const auto& args : cases) {
    const RunResult r = run_bench(args);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(r.status, 2) << joined << "\n" << r.err;
    EXPECT_EQ(r.out, "") << joined;
    EXPECT_NE(r.err, "") << joined;
  }
}

TEST(Setup, HeaderLine) {
  const std::string snap = write_temp("minimal.json", kMinimal);
  struct Case {
    std::vector<std::string> extra;
    std::string header_tail;
  };
  const std::vector<Case> cases = {
      {{}, "tiles=4 phases=1 warmup=0 iterations=1 repeatAware=true\n"},
      {{"--first-iteration-only", "--warmup", "3", "--iterations", "+5"},
       "tiles=4 phases=1 warmup=3 iterations=5 repeatAware=false\n"},
      {{"--phase", "7"}, "tiles=4 phases=1 warmup=0 iterations=1 repeatAware=true\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {snap};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const RunResult r = run_bench(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1), "snapshot=" + snap + " " + c.header_tail);
  }
  const std::string empty =
      write_temp("empty_phases.json", R"({"schema_version":3,"tile_count":1,"phases":[]})");
  const RunResult r = run_bench({empty});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find('\n') + 1),
            "snapshot=" + empty + " tiles=1 phases=0 warmup=0 iterations=1 repeatAware=true\n");
}

TEST(Setup, FailuresReportExactlyAndPrintNothing) {
  const std::string snap = write_temp("fail.json", kMinimal);
  const std::string missing =
      (std::filesystem::temp_directory_path() / "no-such-dir/x.json").string();
  const std::string dir = std::filesystem::temp_directory_path().string();
  const std::string invalid = write_temp(
      "invalid.json",
      R"({"schema_version":3,"tile_count":4,"phases":[{"phase":1,"transfers":[)"
      R"({"source":0,"source_addresses":[4096],"destinations":[{"tile":1,"address":8192}],)"
      R"("words":0,"width":"Word32"}]}]})");
  const std::string no_sources = write_temp(
      "no_sources.json", R"({"schema_version":3,"tile_count":4,"phases":[{"phase":1,"transfers":[)"
                         R"({"source":0,"destinations":[],"words":4,"width":"Word32"}]}]})");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      // The iterations check comes before the file is opened.
      {{missing, "--iterations", "0"}, "Error: --iterations must be nonzero\n"},
      {{missing},
       "Error: open " + missing + "\n\nCaused by:\n    No such file or directory (os error 2)\n"},
      {{dir}, "Error: parse " + dir + "\n\nCaused by:\n    Is a directory (os error 21)\n"},
      {{no_sources},
       "Error: parse " + no_sources +
           "\n\nCaused by:\n    missing field `source_addresses` at line 1 column "
           "126\n"},
      {{invalid},
       "Error: invalid exchange-schedule snapshot: phase 1 transfer 0 has invalid word count 0\n"},
      {{snap, "--phase", "9"}, "Error: snapshot does not contain phase 9\n"},
      {{snap, "--phase", "7", "--phase", "7"}, "Error: --phase contains a duplicate phase ID\n"},
      {{snap, "--phase", "9", "--phase", "9"}, "Error: --phase contains a duplicate phase ID\n"},
  };
  for (const Case& c : cases) {
    const RunResult r = run_bench(c.args);
    EXPECT_EQ(r.status, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "") << c.err;
  }
}

// Hostile or malformed files end with a parse report and status 1, never a
// crash, a hang or partial output.
TEST(Setup, BadInputNeverCrashes) {
  const std::string deep =
      "{\"schema_version\":3,\"tile_count\":4,\"phases\":" + std::string(5000, '[') +
      std::string(5000, ']') + "}";
  const std::vector<std::pair<std::string, std::string>> inputs = {
      {"empty", ""},
      {"blank", "  \n\t "},
      {"truncated", kMinimal.substr(0, kMinimal.size() / 2)},
      {"not_utf8",
       "{\"schema_version\":3,\"tile_count\":4,\"phases\":[{\"phase\":1,\"transfers\":[{"
       "\"source\":0,\"source_addresses\":[0],\"destinations\":[{\"tile\":1,\"address\":0}],"
       "\"words\":4,\"width\":\"Word\xff\xfe\"}]}]}"},
      {"deep", deep},
      {"huge_number",
       R"({"schema_version":340282366920938463463374607431768211456,"tile_count":4,"phases":[]})"},
      {"negative", R"({"schema_version":3,"tile_count":-4,"phases":[]})"},
      {"fraction", R"({"schema_version":3.0,"tile_count":4,"phases":[]})"},
      {"string_number", R"({"schema_version":"3","tile_count":4,"phases":[]})"},
      {"short_array", R"([3, 4])"},
      {"trailing", R"({"schema_version":3,"tile_count":4,"phases":[]} x)"},
      {"bare_value", "42"},
      {"nul_bytes", std::string("{\0\0\0", 4)},
  };
  for (const auto& [name, content] : inputs) {
    const std::string path = write_temp(name + ".json", content);
    const RunResult r = run_bench({path});
    EXPECT_EQ(r.status, 1) << name << ": " << r.err;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_EQ(r.err.rfind("Error: parse " + path + "\n\nCaused by:\n    ", 0), 0u)
        << name << ": " << r.err;
  }
  // Unknown fields are skipped whatever their depth.
  const std::string junk = write_temp(
      "deep_junk.json", "{\"schema_version\":3,\"tile_count\":4,\"junk\":" +
                            std::string(100000, '[') + std::string(100000, ']') + ",\"phases\":[]}");
  const RunResult skipped = run_bench({junk});
  EXPECT_EQ(skipped.status, 0) << skipped.err;
  EXPECT_EQ(skipped.out.rfind("snapshot=" + junk + " tiles=4 phases=0 ", 0), 0u) << skipped.out;

  const RunResult empty = run_bench({write_temp("empty.json", "")});
  EXPECT_NE(empty.err.find("EOF while parsing a value at line 1 column 0"), std::string::npos)
      << empty.err;
}

}  // namespace
}  // namespace tessel::e2e
