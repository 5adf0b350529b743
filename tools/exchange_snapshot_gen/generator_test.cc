#include "tools/exchange_snapshot_gen/generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <unordered_map>

#include "codegen/exchange/driver.h"
#include "codegen/exchange/pending.h"
#include "codegen/exchange/validate.h"
#include "tools/exchange_snapshot_gen/snapshot_writer.h"

namespace tessel::snapshot_gen {
namespace {

using codegen::exchange::ExchangeItemWidth;
using codegen::exchange::ExchangeScheduleProblem;
using codegen::exchange::ExchangeScheduleTransfer;
using codegen::exchange::for_each_span_element;

constexpr Workload kAllWorkloads[] = {Workload::Halo,   Workload::AllToAll, Workload::Broadcast,
                                      Workload::Reduce, Workload::Repeat,   Workload::Paired,
                                      Workload::Mixed};
constexpr uint16_t kTileCounts[] = {1, 2, 3, 47, 64, 1472};
constexpr uint64_t kSeeds[] = {1, 2, 0x5eed5eed5eedull};

GeneratorOptions options(Workload w, uint16_t tiles, uint64_t seed, uint32_t phases = 3,
                         uint32_t transfers = 150) {
  return GeneratorOptions{tiles, phases, transfers, seed, w};
}

std::string label(const GeneratorOptions& o) {
  return fmt::format("{} tiles={} seed={}", workload_name(o.workload), o.tiles, o.seed);
}

// What width selection needs of an ordinary transfer to offer a paired one:
// at least 128 even words, 8-byte aligned sources, a partner inside the
// phase, and destinations that form whole partner pairs at one 8-byte aligned
// address, the source pair excluded.
bool paired_eligible(const ExchangeScheduleTransfer& t, uint16_t tiles) {
  if (t.width != ExchangeItemWidth::Word32 || t.words < 128 || t.words % 2 != 0) return false;
  if (!std::ranges::all_of(t.source_addresses, [](uint32_t a) { return a % 8 == 0; })) {
    return false;
  }
  if ((t.source ^ 1u) >= tiles || t.destinations.empty()) return false;
  std::map<uint32_t, std::vector<codegen::exchange::ExchangeScheduleDestination>> groups;
  for (const auto& d : t.destinations) groups[d.tile / 2u].push_back(d);
  for (const auto& [pair, members] : groups) {
    if (members.size() != 2 || (members[0].tile ^ 1u) != members[1].tile) return false;
    if (pair == t.source / 2u) return false;
    if (members[0].address % 8 != 0 || members[0].address != members[1].address) return false;
  }
  return true;
}

struct Hazards {
  uint64_t read_after_write = 0;
  uint64_t write_after_read = 0;
  uint64_t write_after_write = 0;
  uint64_t loopbacks = 0;
};

// Memory hazards between transfers of one phase, in transfer order, at the
// granularity the scheduler reasons in: memory elements of a tile.
Hazards scan_hazards(const ExchangeScheduleProblem& problem) {
  enum : uint8_t { kRead = 1, kWritten = 2 };
  std::unordered_map<uint64_t, uint8_t> seen;
  const auto key = [](uint16_t tile, codegen::exchange::ExchangeMemoryElement e) {
    return (uint64_t{tile} << 40) | (uint64_t{e.upper} << 32) | e.index;
  };
  Hazards h;
  for (const auto& t : problem.transfers) {
    std::vector<std::pair<uint64_t, uint8_t>> touched;
    bool raw = false, war = false, waw = false;
    for (uint32_t s : t.source_addresses) {
      for_each_span_element(s, t.words, [&](auto e) {
        const auto it = seen.find(key(t.source, e));
        raw |= it != seen.end() && (it->second & kWritten);
        touched.emplace_back(key(t.source, e), kRead);
        return true;
      });
    }
    for (const auto& d : t.destinations) {
      for_each_span_element(d.address, t.words, [&](auto e) {
        const auto it = seen.find(key(d.tile, e));
        war |= it != seen.end() && (it->second & kRead);
        waw |= it != seen.end() && (it->second & kWritten);
        touched.emplace_back(key(d.tile, e), kWritten);
        return true;
      });
      h.loopbacks += d.tile == t.source;
    }
    h.read_after_write += raw;
    h.write_after_read += war;
    h.write_after_write += waw;
    for (const auto& [k, how] : touched) seen[k] |= how;
  }
  return h;
}

// The properties every generated snapshot has, for every family, tile count
// and seed: it validates, its phases are numbered 0.., every payload stays in
// tile memory, paired transfers can actually be assembled (partner inside the
// phase, destinations in whole partner pairs), and a tile without a partner
// never sends a transfer that width selection would try to pair.
TEST(SnapshotGenerator, EveryFamilyValidatesAtEveryTileCount) {
  for (Workload w : kAllWorkloads) {
    for (uint16_t tiles : kTileCounts) {
      for (uint64_t seed : kSeeds) {
        const GeneratorOptions o = options(w, tiles, seed);
        SCOPED_TRACE(label(o));
        const auto snapshot = generate_snapshot(o);
        const auto valid = snapshot.validate();
        ASSERT_TRUE(valid.has_value()) << valid.error().display();
        EXPECT_EQ(snapshot.schema_version, 3u);
        EXPECT_EQ(snapshot.tile_count, tiles);
        ASSERT_EQ(snapshot.phases.size(), o.phases);
        for (uint32_t p = 0; p < o.phases; ++p) {
          const auto& phase = snapshot.phases[p];
          EXPECT_EQ(phase.phase, p);
          if (tiles == 1) {
            EXPECT_TRUE(phase.transfers.empty());
            continue;
          }
          // Approximate, but of the order asked for.
          EXPECT_GE(phase.transfers.size(), o.transfers / 2);
          EXPECT_LE(phase.transfers.size(), 2 * o.transfers);
          for (const auto& t : phase.transfers) {
            for (uint32_t s : t.source_addresses) EXPECT_LE(s + 4 * t.words, kMemoryEnd);
            for (const auto& d : t.destinations) EXPECT_LE(d.address + 4 * t.words, kMemoryEnd);
            if (t.width == ExchangeItemWidth::Paired64) {
              EXPECT_LT(t.source ^ 1u, tiles);
              EXPECT_EQ(t.words % 4, 0u) << "paired receive controls could coincide";
              std::map<uint32_t, int> pairs;
              for (const auto& d : t.destinations) ++pairs[d.tile / 2u];
              EXPECT_FALSE(pairs.contains(t.source / 2u));
              for (const auto& [pair, n] : pairs) EXPECT_EQ(n, 2) << "pair " << pair;
            }
            if (tiles % 2 == 1 && t.source == tiles - 1) {
              const bool pairable =
                  t.width == ExchangeItemWidth::Word32 && t.words >= 128 && t.words % 2 == 0 &&
                  std::ranges::all_of(t.source_addresses, [](uint32_t a) { return a % 8 == 0; });
              EXPECT_FALSE(pairable) << "transfer from the unpartnered last tile";
            }
          }
        }
      }
    }
  }
}

TEST(SnapshotGenerator, OutputIsAFunctionOfTheSeed) {
  for (Workload w : kAllWorkloads) {
    SCOPED_TRACE(workload_name(w));
    const auto first = generate_validated_json(options(w, 64, 7));
    const auto again = generate_validated_json(options(w, 64, 7));
    const auto other = generate_validated_json(options(w, 64, 8));
    ASSERT_TRUE(first && again && other);
    EXPECT_EQ(*first, *again);
    EXPECT_NE(*first, *other);

    // Each phase has its own stream: more phases leave the earlier ones alone.
    const auto two = generate_snapshot(options(w, 64, 7, 2));
    const auto four = generate_snapshot(options(w, 64, 7, 4));
    EXPECT_EQ(two.phases[0], four.phases[0]);
    EXPECT_EQ(two.phases[1], four.phases[1]);
  }
}

TEST(SnapshotGenerator, HaloSendsStripsBetweenGridNeighbours) {
  const auto snapshot = generate_snapshot(options(Workload::Halo, 4, 1, 1, 4));
  ASSERT_EQ(snapshot.phases.size(), 1u);
  const auto& transfers = snapshot.phases[0].transfers;
  ASSERT_EQ(transfers.size(), 4u);
  // 2x2 grid: every tile has two neighbours, four of the eight strips are sent.
  for (const auto& t : transfers) {
    ASSERT_EQ(t.destinations.size(), 1u);
    const uint16_t a = t.source, b = t.destinations[0].tile;
    EXPECT_TRUE((a ^ b) == 1 || (a ^ b) == 2) << a << "->" << b;
    EXPECT_LT(t.source_addresses[0], kWriteAreaBegin);
    EXPECT_GE(t.destinations[0].address, kWriteAreaBegin);
  }
}

TEST(SnapshotGenerator, PairedFamilyOffersPairedAlternativesAndNativePairs) {
  for (uint16_t tiles : {4, 5, 47, 64, 1472}) {
    for (uint64_t seed : kSeeds) {
      const GeneratorOptions o = options(Workload::Paired, tiles, seed, 2, 100);
      SCOPED_TRACE(label(o));
      const auto snapshot = generate_snapshot(o);
      for (const auto& phase : snapshot.phases) {
        uint64_t eligible = 0, native = 0;
        for (const auto& t : phase.transfers) {
          eligible += paired_eligible(t, tiles);
          native += t.width == ExchangeItemWidth::Paired64;
        }
        EXPECT_GE(eligible, phase.transfers.size() / 2);
        EXPECT_GE(native, 1u);
      }
    }
  }
}

// The mixed family reuses buffers so that every kind of hazard occurs in
// every phase; the single families keep sends and receives in separate areas
// and so never read what the phase writes or overwrite what it reads.
TEST(SnapshotGenerator, OnlyTheMixedFamilyCreatesMemoryHazards) {
  for (Workload w : kAllWorkloads) {
    for (uint16_t tiles : {2, 3, 47, 64, 1472}) {
      for (uint64_t seed : kSeeds) {
        const GeneratorOptions o = options(w, tiles, seed, 2, 100);
        SCOPED_TRACE(label(o));
        for (const auto& phase : generate_snapshot(o).phases) {
          const Hazards h = scan_hazards(phase);
          if (w == Workload::Mixed) {
            EXPECT_GT(h.read_after_write, 0u);
            EXPECT_GT(h.write_after_read, 0u);
            EXPECT_GT(h.write_after_write, 0u);
            EXPECT_GT(h.loopbacks, 0u);
          } else {
            EXPECT_EQ(h.read_after_write, 0u);
            EXPECT_EQ(h.write_after_read, 0u);
            EXPECT_EQ(h.loopbacks, 0u);
          }
        }
      }
    }
  }
}

// Validation admits transfers the scheduler cannot carry out (a paired
// transfer to a lone tile of a pair, say); what the generator writes must also
// schedule and pass the independent check of the lowered phase.
TEST(SnapshotGenerator, EveryFamilySchedules) {
  for (Workload w : kAllWorkloads) {
    for (uint16_t tiles : {1, 2, 5, 16, 47, 64, 1472}) {
      const GeneratorOptions o = options(w, tiles, 3, 2, tiles >= 47 ? 120 : 30);
      SCOPED_TRACE(label(o));
      for (const auto& phase : generate_snapshot(o).phases) {
        const auto lowered = codegen::exchange::schedule_exchange_problem(tiles, phase);
        ASSERT_TRUE(lowered.has_value()) << lowered.error().display();
        const auto checked = codegen::exchange::validate_exchange_schedule(tiles, phase, *lowered);
        EXPECT_TRUE(checked.has_value()) << checked.error().display();
        // Scheduling is a pure function of the problem.
        const auto again = codegen::exchange::schedule_exchange_problem(tiles, phase);
        ASSERT_TRUE(again.has_value());
        EXPECT_TRUE(codegen::exchange::identical_output(*lowered, *again));
      }
    }
  }
}

TEST(SnapshotGenerator, EmptyRequestsGiveEmptyButValidSnapshots) {
  for (const GeneratorOptions& o :
       {options(Workload::Mixed, 64, 1, 0, 100), options(Workload::Broadcast, 64, 1, 2, 0),
        options(Workload::Mixed, 1472, 3, 1, 1)}) {
    SCOPED_TRACE(label(o));
    const auto json = generate_validated_json(o);
    ASSERT_TRUE(json.has_value()) << json.error().display();
  }
  EXPECT_EQ(*generate_validated_json(options(Workload::Mixed, 64, 1, 0, 100)),
            "{\"schema_version\":3,\"tile_count\":64,\"phases\":[]}\n");
  EXPECT_EQ(generate_snapshot(options(Workload::Halo, 64, 1, 2, 0)).phases[1].transfers.size(), 0u);
}

TEST(SnapshotGenerator, OrdinaryOnlyKeepsTheShapesWithoutPairedTransfers) {
  GeneratorOptions o = options(Workload::Paired, 64, 1, 2, 48);
  const auto native = generate_snapshot(o);
  o.ordinary_only = true;
  const auto ordinary = generate_snapshot(o);
  ASSERT_EQ(native.phases.size(), ordinary.phases.size());
  bool had_paired = false;
  for (std::size_t p = 0; p < native.phases.size(); ++p) {
    ASSERT_EQ(native.phases[p].transfers.size(), ordinary.phases[p].transfers.size());
    for (std::size_t i = 0; i < native.phases[p].transfers.size(); ++i) {
      auto expected = native.phases[p].transfers[i];
      had_paired |= expected.width == codegen::exchange::ExchangeItemWidth::Paired64;
      expected.width = codegen::exchange::ExchangeItemWidth::Word32;
      EXPECT_EQ(ordinary.phases[p].transfers[i], expected);
    }
  }
  EXPECT_TRUE(had_paired);
}

// The bundled examples are what their documented commands write; a change of
// the random stream or of a family shows up here and needs them regenerated.
TEST(SnapshotGenerator, BundledExamplesAreReproducible) {
  const auto read = [](const std::string& name) {
    std::ifstream in(std::string(TESSEL_EXAMPLES_DIR) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const auto small_mixed = generate_validated_json(options(Workload::Mixed, 64, 1, 4, 100));
  GeneratorOptions ordinary = options(Workload::Paired, 64, 1, 2, 48);
  ordinary.ordinary_only = true;
  const auto paired = generate_validated_json(ordinary);
  ASSERT_TRUE(small_mixed && paired);
  EXPECT_EQ(read("small_mixed.json"), *small_mixed);
  EXPECT_EQ(read("paired.json"), *paired);
}

TEST(SnapshotWriter, WritesTheObjectFormOneTransferPerLine) {
  codegen::exchange::ExchangeScheduleSnapshot snapshot{3, 4, {}};
  snapshot.phases.push_back({7, {{0, {4096}, {{1, 8192}}, 16, ExchangeItemWidth::Word32}}});
  snapshot.phases.push_back(
      {9, {{2, {0, 1024}, {{0, 64}, {1, 64}}, 128, ExchangeItemWidth::Paired64}}});
  EXPECT_EQ(snapshot_json(snapshot),
            "{\"schema_version\":3,\"tile_count\":4,\"phases\":[\n"
            "{\"phase\":7,\"transfers\":[\n"
            "{\"source\":0,\"source_addresses\":[4096],\"destinations\":[{\"tile\":1,\"address\":"
            "8192}],\"words\":16,\"width\":\"Word32\"}]},\n"
            "{\"phase\":9,\"transfers\":[\n"
            "{\"source\":2,\"source_addresses\":[0,1024],\"destinations\":[{\"tile\":0,\"address\":"
            "64},{\"tile\":1,\"address\":64}],\"words\":128,\"width\":\"Paired64\"}]}]}\n");
}

TEST(SnapshotGenerator, WorkloadNamesRoundTrip) {
  for (Workload w : kAllWorkloads) EXPECT_EQ(parse_workload(workload_name(w)), w);
  EXPECT_EQ(parse_workload("Halo"), std::nullopt);
  EXPECT_EQ(parse_workload(""), std::nullopt);
}

}  // namespace
}  // namespace tessel::snapshot_gen
