#pragma once
// Synthetic exchange-schedule snapshots shaped like what a compiler for a tiled
// machine emits in its exchange phases. Every workload family keeps addresses
// inside a tile's memory (below 0xA0000) and aligned to the transfer width,
// and never produces a transfer that the snapshot validation or the paired
// width selection would reject.
//
// Output is a pure function of the options: the pseudo-random stream is our
// own (xoshiro256** seeded through splitmix64), so the same seed gives the
// same snapshot with any standard library. Each phase draws from a stream
// derived from the seed and the phase's position, so adding phases leaves the
// earlier ones unchanged.
//
// Memory layout per tile and phase: payloads that are sent come from the read
// area [0, 0x50000) and payloads that arrive go to the write area
// [0x50000, 0xA0000), each filled by a bump allocator that wraps around when
// full. The single families therefore never read what the phase writes; only
// the mixed family deliberately reuses buffers across the two areas.
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "codegen/exchange/model.h"

namespace tessel::snapshot_gen {

using codegen::exchange::ExchangeLoweringError;
using codegen::exchange::ExchangeScheduleSnapshot;

enum class Workload : uint8_t { Halo, AllToAll, Broadcast, Reduce, Repeat, Paired, Mixed };

// "halo", "alltoall", "broadcast", "reduce", "repeat", "paired", "mixed".
std::string_view workload_name(Workload workload);
std::optional<Workload> parse_workload(std::string_view name);

// Memory areas shared by every family.
inline constexpr uint32_t kReadAreaBegin = 0x00000;
inline constexpr uint32_t kWriteAreaBegin = 0x50000;
inline constexpr uint32_t kMemoryEnd = 0xA0000;

struct GeneratorOptions {
  uint16_t tiles = 64;
  uint32_t phases = 4;
  uint32_t transfers = 200;  // per phase, approximate
  uint64_t seed = 1;
  Workload workload = Workload::Mixed;
  // Write would-be paired transfers as ordinary ones, so that the snapshot is
  // an ordinary-transfer capture that width selection accepts.
  bool ordinary_only = false;
};

// Phases are numbered 0, 1, 2, ... With one tile every phase is empty: no
// transfer can exist without a second tile.
ExchangeScheduleSnapshot generate_snapshot(const GeneratorOptions& options);

// generate_snapshot, checked with the whole-snapshot validation and rendered
// as JSON. A validation failure is a generator bug and is returned as is.
std::expected<std::string, ExchangeLoweringError> generate_validated_json(
    const GeneratorOptions& options);

}  // namespace tessel::snapshot_gen
