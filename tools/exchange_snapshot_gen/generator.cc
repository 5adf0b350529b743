#include "tools/exchange_snapshot_gen/generator.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "codegen/exchange/driver.h"
#include "exchange/error.h"
#include "support/result.h"
#include "tools/exchange_snapshot_gen/snapshot_writer.h"

namespace tessel::snapshot_gen {

using codegen::exchange::ExchangeItemWidth;
using codegen::exchange::ExchangeScheduleDestination;
using codegen::exchange::ExchangeScheduleTransfer;

namespace {

constexpr uint32_t kSchemaVersion = 3;
constexpr uint32_t kLowerElementBytes = 0x4000;
// A loopback destination in the write area never shares a memory element with
// a source in the read area only while the boundary is an element boundary.
static_assert(kWriteAreaBegin % kLowerElementBytes == 0 && kWriteAreaBegin < 0x80000);
static_assert(tessel::exchange::kMaxTransferWords * 4 <= kWriteAreaBegin - kReadAreaBegin);
static_assert(tessel::exchange::kMaxTransferWords * 4 <= kMemoryEnd - kWriteAreaBegin);

using Transfers = std::vector<ExchangeScheduleTransfer>;

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

// xoshiro256**: small, fast and identical everywhere, unlike the standard
// distributions whose output depends on the library.
class Rng {
 public:
  explicit Rng(uint64_t seed) {
    for (auto& s : s_) s = splitmix64(seed);
  }

  uint64_t next() {
    const uint64_t result = std::rotl(s_[1] * 5, 7) * 9;
    const uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = std::rotl(s_[3], 45);
    return result;
  }

  // Uniform in [lo, hi] without modulo bias (multiply-and-reject).
  uint64_t uniform(uint64_t lo, uint64_t hi) {
    assert(lo <= hi);
    const uint64_t range = hi - lo + 1;
    if (range == 0) return next();
    unsigned __int128 m = static_cast<unsigned __int128>(next()) * range;
    if (static_cast<uint64_t>(m) < range) {
      const uint64_t threshold = -range % range;
      while (static_cast<uint64_t>(m) < threshold) {
        m = static_cast<unsigned __int128>(next()) * range;
      }
    }
    return lo + static_cast<uint64_t>(m >> 64);
  }

  uint32_t words(uint32_t lo, uint32_t hi) { return static_cast<uint32_t>(uniform(lo, hi)); }
  bool chance(uint64_t numerator, uint64_t denominator) {
    return uniform(0, denominator - 1) < numerator;
  }

  template <typename T>
  void shuffle_prefix(std::vector<T>& values, size_t count) {
    for (size_t i = 0; i < count && i + 1 < values.size(); ++i) {
      std::swap(values[i], values[uniform(i, values.size() - 1)]);
    }
  }

 private:
  std::array<uint64_t, 4> s_{};
};

uint64_t phase_seed(uint64_t seed, uint64_t phase_index) {
  uint64_t state = seed;
  return splitmix64(state) ^ (0xd1b54a32d192ed03ull * (phase_index + 1));
}

uint32_t align_up(uint32_t value, uint32_t align) {
  return (value + align - 1) & ~(align - 1);
}

struct Area {
  uint32_t begin;
  uint32_t end;
};
constexpr Area kReadArea{kReadAreaBegin, kWriteAreaBegin};
constexpr Area kWriteArea{kWriteAreaBegin, kMemoryEnd};

// Per-tile bump allocators for one phase. A full area wraps to its start, so
// that long phases overwrite earlier buffers of the same area instead of
// leaving the tile's memory.
class TileMemory {
 public:
  TileMemory(uint16_t tiles, Rng& rng) : read_(tiles), write_(tiles) {
    for (uint16_t t = 0; t < tiles; ++t) {
      read_[t] = kReadArea.begin + 64 * rng.words(0, 63);
      write_[t] = kWriteArea.begin + 64 * rng.words(0, 63);
    }
  }

  uint32_t read(uint16_t tile, uint32_t bytes, uint32_t align = 8) {
    return bump(read_[tile], kReadArea, bytes, align);
  }
  uint32_t write(uint16_t tile, uint32_t bytes, uint32_t align = 8) {
    return bump(write_[tile], kWriteArea, bytes, align);
  }
  // One address that is free on every given tile, as a compiler lays out a
  // replicated buffer.
  uint32_t write_common(std::span<const uint16_t> tiles, uint32_t bytes, uint32_t align = 8) {
    uint32_t address = kWriteArea.begin;
    for (uint16_t t : tiles) address = std::max(address, align_up(write_[t], align));
    if (address + bytes > kWriteArea.end) address = align_up(kWriteArea.begin, align);
    for (uint16_t t : tiles) write_[t] = address + bytes;
    return address;
  }

 private:
  static uint32_t bump(uint32_t& cursor, Area area, uint32_t bytes, uint32_t align) {
    assert(bytes <= area.end - area.begin);
    uint32_t address = align_up(cursor, align);
    if (address + bytes > area.end) address = align_up(area.begin, align);
    cursor = address + bytes;
    return address;
  }

  std::vector<uint32_t> read_;
  std::vector<uint32_t> write_;
};

// Everything one phase's families share: the tile count, the random stream,
// the memory of every tile and the transfer list being built.
class PhaseBuilder {
 public:
  PhaseBuilder(uint16_t tile_count, Rng& random, Transfers& transfers)
      : tiles(tile_count),
        rng(random),
        memory(tile_count, random),
        out(transfers),
        marks_(tile_count, 0) {}

  uint16_t random_tile() { return static_cast<uint16_t>(rng.uniform(0, tiles - 1)); }
  uint16_t random_tile_except(uint16_t excluded) {
    const auto t = static_cast<uint16_t>(rng.uniform(0, tiles - 2));
    return t >= excluded ? t + 1 : t;
  }

  // `count` distinct values of [0, range) other than `excluded`, ascending.
  // Requires count <= the number of values available.
  std::vector<uint32_t> sample(uint32_t range, uint32_t count, uint32_t excluded) {
    const uint32_t available = range - (excluded < range ? 1 : 0);
    assert(count <= available);
    std::vector<uint32_t> chosen;
    chosen.reserve(count);
    if (2 * uint64_t{count} > available) {
      std::vector<uint32_t> all;
      all.reserve(available);
      for (uint32_t v = 0; v < range; ++v) {
        if (v != excluded) all.push_back(v);
      }
      rng.shuffle_prefix(all, count);
      chosen.assign(all.begin(), all.begin() + count);
    } else {
      if (marks_.size() < range) marks_.resize(range, 0);
      if (++stamp_ == 0) {
        std::fill(marks_.begin(), marks_.end(), 0);
        stamp_ = 1;
      }
      while (chosen.size() < count) {
        const auto v = static_cast<uint32_t>(rng.uniform(0, range - 1));
        if (v == excluded || marks_[v] == stamp_) continue;
        marks_[v] = stamp_;
        chosen.push_back(v);
      }
    }
    std::sort(chosen.begin(), chosen.end());
    return chosen;
  }

  std::vector<uint16_t> sample_tiles(uint32_t count, uint16_t excluded) {
    std::vector<uint16_t> tiles_out;
    for (uint32_t v : sample(tiles, count, excluded)) tiles_out.push_back(static_cast<uint16_t>(v));
    return tiles_out;
  }

  void add(uint16_t source, std::vector<uint32_t> source_addresses,
           std::vector<ExchangeScheduleDestination> destinations, uint32_t words,
           ExchangeItemWidth width = ExchangeItemWidth::Word32) {
    out.push_back(ExchangeScheduleTransfer{source, std::move(source_addresses),
                                           std::move(destinations), words, width});
  }

  void point_to_point(uint16_t source, uint32_t source_address, uint16_t destination,
                      uint32_t address, uint32_t words) {
    add(source, {source_address}, {{destination, address}}, words);
  }

  const uint16_t tiles;
  Rng& rng;
  TileMemory memory;
  Transfers& out;

 private:
  std::vector<uint32_t> marks_;
  uint32_t stamp_ = 0;
};

// Tiles on a near-square grid, row-major, each exchanging the boundary strips
// of its block with its four neighbours. Each round is one more field (array)
// with its own strip sizes; a round that would overshoot the budget exchanges
// only a random subset of the strips.
void halo(PhaseBuilder& b, uint64_t target) {
  enum Side : uint8_t { North, South, East, West };
  struct Edge {
    uint16_t from;
    uint16_t to;
    Side side;  // where the strip lies on `from`
  };
  const uint32_t n = b.tiles;
  uint32_t width = 1;
  while (width * width < n) ++width;
  std::vector<Edge> edges;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t x = i % width;
    const auto from = static_cast<uint16_t>(i);
    if (i >= width) edges.push_back({from, static_cast<uint16_t>(i - width), North});
    if (i + width < n) edges.push_back({from, static_cast<uint16_t>(i + width), South});
    if (x + 1 < width && i + 1 < n) edges.push_back({from, static_cast<uint16_t>(i + 1), East});
    if (x > 0) edges.push_back({from, static_cast<uint16_t>(i - 1), West});
  }
  if (edges.empty()) return;

  constexpr uint32_t kUnset = std::numeric_limits<uint32_t>::max();
  std::vector<uint32_t> strips(n), halos(n), picked(edges.size());
  uint64_t produced = 0;
  while (produced < target) {
    const uint32_t row_words = b.rng.words(8, 256);     // north and south strips
    const uint32_t column_words = b.rng.words(8, 256);  // east and west strips
    const std::array<uint32_t, 4> strip_words{row_words, row_words, column_words, column_words};
    const std::array<uint32_t, 4> offset{0, 4 * row_words, 8 * row_words,
                                         8 * row_words + 4 * column_words};
    const uint32_t block_bytes = 8 * (row_words + column_words);
    const auto opposite = [](Side s) { return static_cast<Side>(s ^ 1); };

    const auto count = static_cast<size_t>(std::min<uint64_t>(edges.size(), target - produced));
    for (size_t e = 0; e < picked.size(); ++e) picked[e] = static_cast<uint32_t>(e);
    if (count < edges.size()) {
      b.rng.shuffle_prefix(picked, count);
      std::sort(picked.begin(), picked.begin() + count);
    }
    std::fill(strips.begin(), strips.end(), kUnset);
    std::fill(halos.begin(), halos.end(), kUnset);
    for (size_t k = 0; k < count; ++k) {
      const Edge& e = edges[picked[k]];
      if (strips[e.from] == kUnset) strips[e.from] = b.memory.read(e.from, block_bytes);
      if (halos[e.to] == kUnset) halos[e.to] = b.memory.write(e.to, block_bytes);
      b.point_to_point(e.from, strips[e.from] + offset[e.side], e.to,
                       halos[e.to] + offset[opposite(e.side)], strip_words[e.side]);
    }
    produced += count;
  }
}

// Groups of consecutive tiles (from a random starting tile) in which every
// member sends a distinct chunk of equal size to every other member.
void alltoall(PhaseBuilder& b, uint64_t target) {
  const uint32_t n = b.tiles;
  uint64_t produced = 0;
  while (produced < target) {
    const uint64_t left = target - produced;
    uint32_t group = uint32_t{2} << b.rng.uniform(0, 3);
    while (group > 2 &&
           (group > n || uint64_t{group} * (group - 1) > std::max<uint64_t>(2, left))) {
      group /= 2;
    }
    const uint32_t chunk_words = b.rng.words(8, 256);
    const uint32_t chunk_bytes = 4 * chunk_words;
    const uint32_t first = static_cast<uint32_t>(b.rng.uniform(0, n - 1));
    std::vector<uint32_t> blocks(n / group);
    for (uint32_t i = 0; i < blocks.size(); ++i) blocks[i] = i;
    b.rng.shuffle_prefix(blocks, blocks.size());

    std::vector<uint16_t> members(group);
    std::vector<uint32_t> send(group), receive(group);
    for (uint32_t block : blocks) {
      for (uint32_t m = 0; m < group; ++m) {
        members[m] = static_cast<uint16_t>((first + block * group + m) % n);
        send[m] = b.memory.read(members[m], (group - 1) * chunk_bytes);
        receive[m] = b.memory.write(members[m], (group - 1) * chunk_bytes);
      }
      // Slot of member j's chunk in member i's buffers: members are visited
      // cyclically from i + 1, the usual all-to-all step order.
      const auto slot = [group](uint32_t i, uint32_t j) { return (j + group - i - 1) % group; };
      for (uint32_t i = 0; i < group; ++i) {
        for (uint32_t step = 1; step < group; ++step) {
          const uint32_t j = (i + step) % group;
          b.point_to_point(members[i], send[i] + slot(i, j) * chunk_bytes, members[j],
                           receive[j] + slot(j, i) * chunk_bytes, chunk_words);
        }
      }
      produced += uint64_t{group} * (group - 1);
      if (produced >= target) break;
    }
  }
}

// A few weight-holding tiles multicast blocks of weights to many tiles, half of
// the time into one replicated buffer address.
void broadcast(PhaseBuilder& b, uint64_t target) {
  const uint32_t n = b.tiles;
  const uint32_t holder_count = std::min<uint32_t>(n, 1 + b.rng.words(0, 3) + n / 256);
  const std::vector<uint16_t> holders = b.sample_tiles(holder_count, b.tiles);
  for (uint64_t k = 0; k < target; ++k) {
    const uint16_t source = holders[b.rng.uniform(0, holders.size() - 1)];
    const uint32_t fanout = std::min<uint32_t>(b.rng.words(2, 64), n - 1);
    const uint32_t words = b.rng.words(64, 2048);
    const uint32_t bytes = 4 * words;
    const std::vector<uint16_t> receivers = b.sample_tiles(fanout, source);
    std::vector<ExchangeScheduleDestination> destinations;
    destinations.reserve(receivers.size());
    if (b.rng.chance(1, 2)) {
      const uint32_t address = b.memory.write_common(receivers, bytes);
      for (uint16_t r : receivers) destinations.push_back({r, address});
    } else {
      for (uint16_t r : receivers) destinations.push_back({r, b.memory.write(r, bytes)});
    }
    b.add(source, {b.memory.read(source, bytes)}, std::move(destinations), words);
  }
}

// Batches of reducers: every contributor sends its partial result to a
// distinct slot of its reducer's buffer, then every reducer multicasts its
// (previously reduced) result back to its contributors.
void reduce(PhaseBuilder& b, uint64_t target) {
  const uint32_t n = b.tiles;
  uint64_t produced = 0;
  while (produced < target) {
    const uint32_t batch = std::min<uint32_t>(b.rng.words(1, 8), n);
    const std::vector<uint16_t> reducers = b.sample_tiles(batch, b.tiles);
    struct Group {
      uint16_t reducer;
      std::vector<uint16_t> contributors;
      uint32_t words;
    };
    std::vector<Group> groups;
    for (uint16_t reducer : reducers) {
      if (produced >= target) break;
      const uint64_t left = target - produced;
      uint32_t fan_in = std::min<uint32_t>(b.rng.words(2, 32), n - 1);
      if (left > 1) fan_in = static_cast<uint32_t>(std::min<uint64_t>(fan_in, left - 1));
      Group g{reducer, b.sample_tiles(fan_in, reducer), b.rng.words(8, 256)};
      const uint32_t bytes = 4 * g.words;
      const uint32_t slots = b.memory.write(reducer, fan_in * bytes);
      for (uint32_t i = 0; i < fan_in; ++i) {
        const uint16_t c = g.contributors[i];
        b.point_to_point(c, b.memory.read(c, bytes), reducer, slots + i * bytes, g.words);
      }
      produced += fan_in + 1;
      groups.push_back(std::move(g));
    }
    for (const Group& g : groups) {
      const uint32_t bytes = 4 * g.words;
      const uint32_t address = b.memory.write_common(g.contributors, bytes);
      std::vector<ExchangeScheduleDestination> destinations;
      for (uint16_t c : g.contributors) destinations.push_back({c, address});
      b.add(g.reducer, {b.memory.read(g.reducer, bytes)}, std::move(destinations), g.words);
    }
  }
}

// Transfers inside a Repeat loop: each iteration sends the next chunk of the
// source buffer, so the transfer reads one span per iteration.
void repeat(PhaseBuilder& b, uint64_t target) {
  const uint32_t n = b.tiles;
  for (uint64_t k = 0; k < target; ++k) {
    const uint16_t source = b.random_tile();
    const uint32_t iterations = b.rng.words(2, 8);
    const uint32_t words = b.rng.words(8, 256);
    const uint32_t stride = align_up(4 * words, 8);
    const uint32_t base = b.memory.read(source, iterations * stride);
    std::vector<uint32_t> sources(iterations);
    for (uint32_t i = 0; i < iterations; ++i) sources[i] = base + i * stride;
    const uint32_t fanout = b.rng.chance(3, 4) ? 1 : std::min<uint32_t>(b.rng.words(2, 4), n - 1);
    std::vector<ExchangeScheduleDestination> destinations;
    for (uint16_t d : b.sample_tiles(fanout, source)) {
      destinations.push_back({d, b.memory.write(d, iterations * stride)});
    }
    b.add(source, std::move(sources), std::move(destinations), words);
  }
}

// Long transfers between partner pairs: ordinary transfers that a paired
// transfer could replace (even word counts of at least 128, 8-byte aligned
// source, destinations in partner pairs at one 8-byte aligned address, neither
// the source nor its partner among them), and some native paired transfers of
// the same shape. Word counts are multiples of 4 so that the paired receive
// controls of a pair never fall on the same cycle. Without two complete pairs
// of tiles no such transfer can exist; the family then sends long ordinary
// transfers between the tiles there are.
void paired(PhaseBuilder& b, uint64_t target) {
  const uint32_t pairs = b.tiles / 2;  // logical L and L ^ 1, both present
  for (uint64_t k = 0; k < target; ++k) {
    const uint32_t words = 4 * b.rng.words(32, 512);
    const uint32_t bytes = 4 * words;
    if (pairs < 2) {
      const uint16_t source = b.random_tile();
      const uint16_t destination = b.random_tile_except(source);
      b.point_to_point(source, b.memory.read(source, bytes), destination,
                       b.memory.write(destination, bytes), words);
      continue;
    }
    const auto source = static_cast<uint16_t>(b.rng.uniform(0, 2 * pairs - 1));
    const uint32_t fanout = std::min<uint32_t>(b.rng.words(1, 4), pairs - 1);
    std::vector<ExchangeScheduleDestination> destinations;
    for (uint32_t pair : b.sample(pairs, fanout, source / 2u)) {
      const std::array<uint16_t, 2> both{static_cast<uint16_t>(2 * pair),
                                         static_cast<uint16_t>(2 * pair + 1)};
      const uint32_t address = b.memory.write_common(both, bytes);
      const bool swap = b.rng.chance(1, 2);
      destinations.push_back({both[swap ? 1 : 0], address});
      destinations.push_back({both[swap ? 0 : 1], address});
    }
    const auto width = b.rng.chance(1, 4) ? ExchangeItemWidth::Paired64 : ExchangeItemWidth::Word32;
    b.add(source, {b.memory.read(source, bytes)}, std::move(destinations), words, width);
  }
}

using Family = void (*)(PhaseBuilder&, uint64_t);
// Indexed by Workload.
constexpr std::array<Family, 6> kFamilies{halo, alltoall, broadcast, reduce, repeat, paired};
static_assert(static_cast<size_t>(Workload::Paired) == 5 &&
              static_cast<size_t>(Workload::Mixed) == 6);

// Some loopback multicasts can never be encoded: the source tile's own
// receive controls fall on its send start or the cycle after, wherever the
// transfer is placed. A compiler would not emit one, so the word count is
// raised until the transfer schedules on its own (placement elsewhere only
// removes receive controls, never adds them).
uint32_t encodable_loopback_words(uint16_t tiles, uint16_t source,
                                  const std::vector<uint16_t>& receivers, uint32_t words) {
  for (;; ++words) {
    codegen::exchange::ExchangeScheduleProblem alone{
        0, {{source, {0}, {}, words, ExchangeItemWidth::Word32}}};
    for (uint16_t r : receivers) {
      alone.transfers[0].destinations.push_back({r, r == source ? kWriteAreaBegin : 0u});
    }
    if (codegen::exchange::schedule_exchange_problem(tiles, alone)) return words;
  }
}

// Two families share the phase, and about an eighth of its transfers reuse
// buffers of the others so that every kind of memory hazard occurs: a transfer
// that forwards what an earlier one wrote (read after write), one that
// overwrites what an earlier one read (write after read) or wrote (write after
// write), and multicasts that also copy into the source tile itself, from a
// source element to a different destination element.
void mixed(PhaseBuilder& b, uint64_t target, uint32_t primary) {
  if (target <= 1) return kFamilies[primary](b, target);
  const uint64_t follow_ups = std::max<uint64_t>(target / 8, std::min<uint64_t>(4, target / 2));
  const uint64_t base_target = target - follow_ups;
  const uint32_t secondary = (primary + 1 + b.rng.words(0, 4)) % kFamilies.size();
  kFamilies[primary](b, base_target - base_target / 3);
  kFamilies[secondary](b, base_target / 3);

  Transfers& out = b.out;
  const size_t base = out.size();
  struct FollowUp {
    size_t before;  // index of the base transfer it precedes; `base` for the end
    ExchangeScheduleTransfer transfer;
  };
  std::vector<FollowUp> extra;
  const uint32_t first_kind = b.rng.words(0, 3);
  for (uint64_t k = 0; k < follow_ups; ++k) {
    const uint32_t kind = base == 0 ? 3 : (first_kind + k) % 4;
    const size_t origin = base == 0 ? 0 : b.rng.uniform(0, base - 1);
    const size_t before = base == 0 ? 0 : b.rng.uniform(origin + 1, base);
    const size_t mark = out.size();
    if (kind == 0) {  // read after write: forward a received buffer
      const ExchangeScheduleTransfer& t = out[origin];
      const ExchangeScheduleDestination d =
          t.destinations[b.rng.uniform(0, t.destinations.size() - 1)];
      const uint32_t words = t.words;
      const uint16_t next = b.random_tile_except(d.tile);
      b.point_to_point(d.tile, d.address, next, b.memory.write(next, 4 * words), words);
    } else if (kind == 1) {  // write after read: refill a buffer that was sent
      const ExchangeScheduleTransfer& t = out[origin];
      const uint16_t tile = t.source;
      const uint32_t address = t.source_addresses.front();
      const uint32_t words = b.rng.words((t.words + 1) / 2, t.words);
      const uint16_t writer = b.random_tile_except(tile);
      b.point_to_point(writer, b.memory.read(writer, 4 * words), tile, address, words);
    } else if (kind == 2) {  // write after write: overwrite a received buffer
      const ExchangeScheduleTransfer& t = out[origin];
      const ExchangeScheduleDestination d =
          t.destinations[b.rng.uniform(0, t.destinations.size() - 1)];
      const uint32_t words = b.rng.words((t.words + 1) / 2, t.words);
      const uint16_t writer = b.random_tile_except(d.tile);
      b.point_to_point(writer, b.memory.read(writer, 4 * words), d.tile, d.address, words);
    } else {  // loopback multicast: read area to write area of the source tile
      const uint16_t source = b.random_tile();
      uint32_t words = b.rng.words(8, 512);
      const uint32_t others = std::min<uint32_t>(b.rng.words(1, 3), b.tiles - 1u);
      std::vector<uint16_t> receivers = b.sample_tiles(others, source);
      receivers.insert(receivers.begin() + b.rng.uniform(0, receivers.size()), source);
      words = encodable_loopback_words(b.tiles, source, receivers, words);
      const uint32_t bytes = 4 * words;
      std::vector<ExchangeScheduleDestination> destinations;
      for (uint16_t r : receivers) destinations.push_back({r, b.memory.write(r, bytes)});
      b.add(source, {b.memory.read(source, bytes)}, std::move(destinations), words);
    }
    extra.push_back(
        {kind == 3 ? static_cast<size_t>(b.rng.uniform(0, base)) : before, std::move(out[mark])});
    out.pop_back();
  }

  std::stable_sort(extra.begin(), extra.end(),
                   [](const FollowUp& a, const FollowUp& c) { return a.before < c.before; });
  Transfers merged;
  merged.reserve(out.size() + extra.size());
  size_t next_extra = 0;
  for (size_t i = 0; i <= base; ++i) {
    while (next_extra < extra.size() && extra[next_extra].before == i) {
      merged.push_back(std::move(extra[next_extra++].transfer));
    }
    if (i < base) merged.push_back(std::move(out[i]));
  }
  out = std::move(merged);
}

// With an odd tile count the last tile has no partner, and width selection
// fails outright on any transfer from it that could otherwise be paired (even
// word count of at least 128, 8-byte aligned sources). One word less keeps
// such a transfer ordinary.
void keep_unpartnered_tile_unpaired(Transfers& transfers, uint16_t tiles) {
  if (tiles % 2 == 0) return;
  const auto last = static_cast<uint16_t>(tiles - 1);
  for (auto& t : transfers) {
    if (t.source != last || t.width != ExchangeItemWidth::Word32 || t.words < 128 ||
        t.words % 2 != 0) {
      continue;
    }
    if (std::ranges::all_of(t.source_addresses, [](uint32_t a) { return a % 8 == 0; })) {
      --t.words;
    }
  }
}

}  // namespace

std::string_view workload_name(Workload workload) {
  switch (workload) {
    case Workload::Halo:
      return "halo";
    case Workload::AllToAll:
      return "alltoall";
    case Workload::Broadcast:
      return "broadcast";
    case Workload::Reduce:
      return "reduce";
    case Workload::Repeat:
      return "repeat";
    case Workload::Paired:
      return "paired";
    case Workload::Mixed:
      return "mixed";
  }
  return "mixed";
}

std::optional<Workload> parse_workload(std::string_view name) {
  for (auto w : {Workload::Halo, Workload::AllToAll, Workload::Broadcast, Workload::Reduce,
                 Workload::Repeat, Workload::Paired, Workload::Mixed}) {
    if (workload_name(w) == name) return w;
  }
  return std::nullopt;
}

ExchangeScheduleSnapshot generate_snapshot(const GeneratorOptions& options) {
  ExchangeScheduleSnapshot snapshot;
  snapshot.schema_version = kSchemaVersion;
  snapshot.tile_count = options.tiles;
  snapshot.phases.resize(options.phases);
  uint64_t rotation_state = options.seed ^ 0x6d69786564ull;
  const uint64_t rotation = splitmix64(rotation_state) % kFamilies.size();
  for (uint32_t p = 0; p < options.phases; ++p) {
    auto& problem = snapshot.phases[p];
    problem.phase = p;
    if (options.tiles < 2) continue;
    Rng rng(phase_seed(options.seed, p));
    PhaseBuilder builder(options.tiles, rng, problem.transfers);
    problem.transfers.reserve(options.transfers + options.transfers / 8 + 64);
    if (options.workload == Workload::Mixed) {
      mixed(builder, options.transfers, static_cast<uint32_t>((rotation + p) % kFamilies.size()));
    } else {
      kFamilies[static_cast<size_t>(options.workload)](builder, options.transfers);
    }
    keep_unpartnered_tile_unpaired(problem.transfers, options.tiles);
    if (options.ordinary_only) {
      for (auto& t : problem.transfers) t.width = ExchangeItemWidth::Word32;
    }
  }
  return snapshot;
}

std::expected<std::string, ExchangeLoweringError> generate_validated_json(
    const GeneratorOptions& options) {
  const ExchangeScheduleSnapshot snapshot = generate_snapshot(options);
  TESSEL_TRY(snapshot.validate());
  return snapshot_json(snapshot);
}

}  // namespace tessel::snapshot_gen
