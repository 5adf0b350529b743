// Encoder cost: from scratch per encoded word, and the incremental re-encoding
// after a change at the end of a long tile program, which should cost only
// the tail however long the program is.
#include <benchmark/benchmark.h>

#include "exchange/encoding.h"
#include "exchange/tile_schedule.h"

namespace tessel::exchange {
namespace {

// A receiving and sending tile: every 40 cycles an ordinary receive (source
// with pointer in one cycle, teardown later) and a short message, `events`
// receive events in all.
TileProgramSchedule busy_tile(uint64_t events) {
  TileProgramSchedule tile;
  uint32_t t = 10;
  uint64_t row = 0;
  while (tile.receive_events.len() + 3 <= events) {
    tile.insert_receive_event_sorted({t, xpic_word(0x123, 0), ReceiveEventKind::Source});
    tile.insert_receive_event_sorted({t, pic_word(0x400, 0), ReceiveEventKind::Pointer});
    tile.insert_receive_event_sorted({t + 12, xpic_word(0x640, 0), ReceiveEventKind::Teardown});
    ScheduledSenderRow sender;
    sender.words = {kSync3Word, explicit_word(20, 1), kReturnWord};
    sender.start = t + 15;
    sender.end = t + 35;
    tile.insert_sender_row(row++, sender);
    t += 40;
  }
  tile.horizon = t;
  return tile;
}

void BM_EncodeFromScratch(benchmark::State& state) {
  const TileProgramSchedule tile = busy_tile(static_cast<uint64_t>(state.range(0)));
  uint64_t words = 0;
  for (auto _ : state) {
    auto encoded =
        encoding::build_scheduled_program(tile.sender_rows, tile.receive_events, tile.horizon, {});
    if (!encoded) {
      state.SkipWithError("encoding failed");
      return;
    }
    words = encoded->words.len();
    benchmark::DoNotOptimize(encoded);
  }
  state.counters["words"] = static_cast<double>(words);
  state.counters["time_per_word"] =
      benchmark::Counter(static_cast<double>(words), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}
BENCHMARK(BM_EncodeFromScratch)->Arg(1000)->Arg(10000);

// A copy of an encoded tile gets one more receive at its end and is encoded
// again: the encoder resumes from the last checkpoint and shares the prefix.
void BM_ReencodeAfterAppendAtEnd(benchmark::State& state) {
  TileProgramSchedule tile = busy_tile(static_cast<uint64_t>(state.range(0)));
  if (!tile.encoded()) {
    state.SkipWithError("encoding failed");
    return;
  }
  const uint32_t at = tile.horizon + 5;
  for (auto _ : state) {
    TileProgramSchedule copy = tile;
    copy.insert_receive_event_sorted({at, xpic_word(0x123, 0), ReceiveEventKind::Source});
    copy.insert_receive_event_sorted({at + 8, xpic_word(0x640, 0), ReceiveEventKind::Teardown});
    copy.raise_horizon(at + 20);
    auto encoded = copy.encoded();
    if (!encoded) {
      state.SkipWithError("re-encoding failed");
      return;
    }
    benchmark::DoNotOptimize(encoded);
  }
}
BENCHMARK(BM_ReencodeAfterAppendAtEnd)->Arg(1000)->Arg(10000);

}  // namespace
}  // namespace tessel::exchange
