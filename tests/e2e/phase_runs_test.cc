// Phase runs, the report and the cache run modes, checked by running the
// executable on snapshot files. Timing figures are masked.
#include <gtest/gtest.h>

#include <cctype>

#include "tests/e2e/harness.h"

namespace tessel::e2e {
namespace {

// Every "Ms=<digits>.<3 digits>" becomes "Ms=T".
std::string mask_timings(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t at = text.find("Ms=", i);
    if (at == std::string::npos) break;
    std::size_t end = at + 3;
    while (end < text.size() &&
           (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.')) {
      ++end;
    }
    out.append(text, i, at - i).append("Ms=T");
    i = end;
  }
  return out.append(text, i);
}

std::string snapshot(const std::string& name, uint16_t tiles, const std::string& phases) {
  return write_temp(name + ".json", "{\"schema_version\":3,\"tile_count\":" +
                                        std::to_string(tiles) + ",\"phases\":[" + phases + "]}");
}

std::string transfer(int source, const std::string& sources, const std::string& dests, int words,
                     const char* width = "Word32") {
  return "{\"source\":" + std::to_string(source) + ",\"source_addresses\":[" + sources +
         "],\"destinations\":[" + dests + "],\"words\":" + std::to_string(words) + ",\"width\":\"" +
         width + "\"}";
}

std::string dest(int tile, uint64_t address) {
  return "{\"tile\":" + std::to_string(tile) + ",\"address\":" + std::to_string(address) + "}";
}

std::string phase(int id, const std::string& transfers) {
  return "{\"phase\":" + std::to_string(id) + ",\"transfers\":[" + transfers + "]}";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

TEST(PhaseRuns, IdleTileFingerprintAndExactLine) {
  const std::string path = snapshot("idle", 1, phase(4, ""));
  const RunResult r = run_bench({path, "--iterations", "3", "--warmup", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(mask_timings(r.out),
            "snapshot=" + path +
                " tiles=1 phases=1 warmup=2 iterations=3 repeatAware=true\n"
                "phase=4 transfers=0 destinations=0 initialHorizonCycles=0 horizonCycles=0 "
                "endpointLowerBoundCycles=0 lowerBoundGapCycles=0 neighborhoodImprovements=0 "
                "rowWords=1 maximumRowWords=1 scheduleCodegenMinMs=T scheduleCodegenMedianMs=T "
                "scheduleCodegenP95Ms=T scheduleCodegenMaxMs=T validationMedianMs=T reused=false "
                "rowFingerprint=7f96a39d50763082 invariants=PASS\n"
                "totalMs=T\n");
  EXPECT_EQ(r.err, "");
}

TEST(PhaseRuns, ZeroPhasesPrintHeaderAndTotal) {
  const std::string path = snapshot("none", 3, "");
  const RunResult r = run_bench({path});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(mask_timings(r.out), "snapshot=" + path +
                                     " tiles=3 phases=0 warmup=0 iterations=1 repeatAware=true\n"
                                     "totalMs=T\n");
}

TEST(PhaseRuns, SelectionFollowsSnapshotOrderAndRunsAreDeterministic) {
  const std::string path = example("small_mixed.json");
  const RunResult all = run_bench({path, "--iterations", "2"});
  ASSERT_EQ(all.status, 0) << all.err;
  const RunResult again = run_bench({path});
  ASSERT_EQ(again.status, 0) << again.err;
  auto a = lines(mask_timings(all.out)), b = lines(mask_timings(again.out));
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 1; i < a.size(); ++i) EXPECT_EQ(a[i], b[i]);
  const RunResult picked = run_bench({path, "--phase", "3", "--phase", "1"});
  ASSERT_EQ(picked.status, 0) << picked.err;
  auto c = lines(mask_timings(picked.out));
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[1], a[2]);  // phase 1, then phase 3, whatever the option order
  EXPECT_EQ(c[2], a[4]);
  for (const auto& line : std::vector<std::string>(a.begin() + 1, a.end() - 1)) {
    EXPECT_NE(line.find(" invariants=PASS"), std::string::npos) << line;
  }
}

TEST(PhaseRuns, TileDump) {
  const std::string path = snapshot("dump", 4, phase(7, transfer(0, "4096", dest(1, 8192), 16)));
  const RunResult r = run_bench({path, "--dump-tile", "1"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto out = lines(r.out);
  ASSERT_GE(out.size(), 5u);
  EXPECT_EQ(out[1].rfind("phase=7 logicalTile=1 transfer=0 Receive cycles=", 0), 0u) << out[1];
  EXPECT_NE(out[1].find(" address=0x2000 words=16"), std::string::npos) << out[1];
  EXPECT_EQ(out[2], "phase=7 logicalTile=1");
  EXPECT_EQ(out[3].rfind("word+0 cycles=0..", 0), 0u) << out[3];
  EXPECT_EQ(out[out.size() - 2].rfind("phase=7 transfers=1", 0), 0u);

  const RunResult beyond = run_bench({path, "--dump-tile", "4"});
  EXPECT_EQ(beyond.status, 1);
  EXPECT_EQ(beyond.err, "Error: logical tile 4 is out of range\n");
  EXPECT_EQ(lines(beyond.out).size(), 1u);  // the header only
}

struct FailureCase {
  const char* name;
  std::string path;
  std::vector<std::string> args;
  std::string err;
  std::size_t lines_before;  // header and result lines printed before the failure
};

TEST(PhaseRuns, FailuresEndTheRunAfterWhatWasPrinted) {
  const std::string ok_phase = phase(1, transfer(0, "0", dest(1, 0x100), 8));
  const std::vector<FailureCase> cases = {
      {"relocation overflow",
       snapshot("reloc", 4, phase(2, transfer(0, "0", dest(1, 0xFFFFFFF0ull), 3))),
       {"--relocate-by", "16"},
       "Error: relocated address overflow\n",
       1},
      {"relocation overflow after the cache warm-up",
       snapshot("reloc_cache", 4, phase(2, transfer(0, "0", dest(1, 0xFFFFFFF0ull), 3))),
       {"--relocate-by", "16", "--replay-cache"},
       "Error: relocated address overflow\n",
       1},
      {"paired partner outside an odd phase",
       snapshot("odd_partner", 47,
                ok_phase + "," +
                    phase(2, transfer(46, "32768", dest(44, 32768) + "," + dest(45, 32768), 128,
                                      "Paired64"))),
       {},
       "Error: invalid exchange-schedule snapshot: phase 2 transfer 0 has paired partner tile 47 "
       "outside 0..47\n",
       2},
      {"width selection from the unpaired last tile",
       snapshot("odd_widths", 47,
                phase(2, transfer(46, "0", dest(2, 0x8000) + "," + dest(3, 0x8000), 128))),
       {"--select-widths"},
       "Error: logical tile 46 is out of range\n",
       1},
      {"loopback receive on its own send start",
       snapshot("loopback", 4,
                phase(2, transfer(0, "0", dest(0, 0x4000) + "," + dest(1, 0x4000), 29))),
       {},
       "Error: exchange schedule is not encodable: unencodable initial send control\n",
       1},
      {"receive pointer beyond the encodable range",
       snapshot("far", 4,
                phase(2, transfer(0, "0", dest(1, 0x100000) + "," + dest(2, 0x100000), 8))),
       {},
       "Error: tile address 0x100000 is not encodable\n",
       1},
      {"paired capture under width selection",
       snapshot("capture", 4,
                phase(2, transfer(0, "0", dest(2, 0) + "," + dest(3, 0), 128, "Paired64"))),
       {"--select-widths"},
       "Error: invalid exchange-schedule snapshot: width selection requires an ordinary-transfer "
       "capture\n",
       1},
  };
  for (const FailureCase& c : cases) {
    std::vector<std::string> args = {c.path};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const RunResult r = run_bench(args);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(lines(r.out).size(), c.lines_before) << c.name << "\n" << r.out;
  }
}

std::string field(const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) return "";
  const std::size_t from = at + key.size() + 2;
  return line.substr(from, line.find(' ', from) - from);
}

TEST(CacheModes, ReplayReusesRecipesOnlyWhenKept) {
  const std::string path = example("paired.json");
  const RunResult replay =
      run_bench({path, "--select-widths", "--replay-cache", "--relocate-by", "64"});
  ASSERT_EQ(replay.status, 0) << replay.err;
  const RunResult fresh = run_bench({path, "--select-widths", "--relocate-by", "64"});
  ASSERT_EQ(fresh.status, 0) << fresh.err;
  const RunResult direct = run_bench({path, "--relocate-by", "64", "--replay-cache"});
  ASSERT_EQ(direct.status, 0) << direct.err;
  const auto a = lines(replay.out), b = lines(fresh.out), c = lines(direct.out);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GT(a.size(), 2u);
  for (std::size_t i = 1; i + 1 < a.size(); ++i) {
    EXPECT_EQ(field(a[i], "reused"), "true") << a[i];
    EXPECT_EQ(field(a[i], "neighborhoodImprovements"), "0") << a[i];
    EXPECT_EQ(field(a[i], "initialHorizonCycles"), field(a[i], "horizonCycles")) << a[i];
    EXPECT_EQ(field(b[i], "reused"), "false") << b[i];
    EXPECT_EQ(field(c[i], "reused"), "false") << c[i];
    // The replayed schedule is the recorded one: same programs once relocated alike.
    EXPECT_EQ(field(a[i], "horizonCycles"), field(b[i], "horizonCycles"));
  }
}

}  // namespace
}  // namespace tessel::e2e
