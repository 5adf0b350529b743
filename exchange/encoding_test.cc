#include "exchange/encoding.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

#include "exchange/tile_schedule.h"
#if __has_include("exchange/diagnostic.h")
#include "exchange/diagnostic.h"
#define TESSEL_HAVE_DIAGNOSTIC 1
#endif

namespace tessel::exchange {
namespace {

using encoding::append_receive_events_record;
using encoding::append_sender_message;
using encoding::build_scheduled_program;
using encoding::emit_sender_words;
using encoding::normalized_exchange_address_words;
using encoding::ResumeInput;
using encoding::SenderMessageState;
using K = ReceiveEventKind;

const ReceiveEvent kSource130{130, xpic_word(0x42, 0), K::Source};
const ReceiveEvent kPointer130{130, pic_word(0x200, 0), K::Pointer};

ReceiveEvent source(uint32_t cycle) {
  return {cycle, xpic_word(0x42, 0), K::Source};
}
ReceiveEvent teardown(uint32_t cycle) {
  return {cycle, xpic_word(0x640, 0), K::Teardown};
}
ReceiveEvent pointer(uint32_t cycle) {
  return {cycle, pic_word(0x200, 0), K::Pointer};
}
ReceiveEvent format(uint32_t cycle, uint32_t value) {
  return {cycle, pic_word(0x40000 | value, 0), K::Format};
}

template <class T>
Chunked<T> chunked(std::initializer_list<T> values) {
  return Chunked<T>(values);
}

// A 100-word message from word address 0x10: Explicit(64) + Offset(36).
ScheduledSenderRow hundred_word_row(uint32_t start) {
  ScheduledSenderRow row;
  row.words = {kSync3Word, explicit_word(64, 1) | (0x10 << 3), offset_word(36, 1), kReturnWord};
  row.start = start;
  row.end = start + 100;
  return row;
}

ScheduledSenderRow short_row(uint32_t start, uint32_t words, uint32_t operand = 0) {
  ScheduledSenderRow row;
  row.words = {kSync3Word, with_address_operand(explicit_word(words, 1), operand), kReturnWord};
  row.start = start;
  row.end = start + words;
  return row;
}

std::vector<uint32_t> encode_fresh(std::initializer_list<ScheduledSenderRow> rows,
                                   std::initializer_list<ReceiveEvent> events, uint32_t horizon) {
  const auto built = build_scheduled_program(Chunked<ScheduledSenderRow>(rows),
                                             Chunked<ReceiveEvent>(events), horizon, {});
  EXPECT_TRUE(built.has_value()) << built.error().display();
  return built ? built->words.to_vector() : std::vector<uint32_t>{};
}

void expect_schedule_error(const auto& result, const char* phrase) {
  ASSERT_FALSE(result.has_value()) << "expected " << phrase;
  EXPECT_TRUE(result.error().is_schedule(phrase)) << result.error().display();
}

TEST(BuildScheduledProgram, EmptyTilePadsToItsHorizon) {
  EXPECT_EQ(encode_fresh({}, {}, 0), (std::vector<uint32_t>{0x43a00000}));
  EXPECT_EQ(encode_fresh({}, {}, 10), (std::vector<uint32_t>{0x40a00009, 0x43a00000}));
  EXPECT_EQ(encode_fresh({}, {}, 0x100001),
            (std::vector<uint32_t>{0x40a7ffff, 0x40a7ffff, 0x40a00000, 0x43a00000}));
}

TEST(BuildScheduledProgram, FarEventsWaitInDelayWordsFirst) {
  // XPIC 5000 cycles out: Delay(904), then the control absorbs 4096 cycles.
  EXPECT_EQ(encode_fresh({}, {source(5000)}, 5000),
            (std::vector<uint32_t>{0x40a00387, 0x67ffc042, 0x43a00000}));
  // PIC 300 cycles out: Delay(172), then delay field 127.
  EXPECT_EQ(encode_fresh({}, {pointer(300)}, 300),
            (std::vector<uint32_t>{delay_word(172), pic_word(0x200, 127), 0x43a00000}));
}

TEST(BuildScheduledProgram, SimultaneousControlsAtAnEvenWordIndex) {
  // Nine cycles before the PicPair; one Delay would leave it at index 1, so
  // Delay(8) + Delay(1). The PicPair then runs up to the horizon (11 words).
  EXPECT_EQ(encode_fresh({}, {source(10), pointer(10)}, 20),
            (std::vector<uint32_t>{0x40a00007, 0x40a00000, 0xf1400000, 0x01080200, 0x43a00000}));
  // The PicPair stops one cycle before the next control.
  EXPECT_EQ(encode_fresh({}, {source(10), pointer(10), teardown(15)}, 20),
            (std::vector<uint32_t>{0x40a00007, 0x40a00000, 0xf0800000, 0x01080200,
                                   xpic_word(0x640, 0), delay_word(5), 0x43a00000}));
}

TEST(BuildScheduledProgram, IncompatibleSimultaneousControlsFailBeforeEncoding) {
  for (const auto& events :
       {chunked({pointer(10), pointer(10)}), chunked({source(10), teardown(10)}),
        chunked({source(10), pointer(10), teardown(10)})}) {
    expect_schedule_error(build_scheduled_program({}, events, 20, {}),
                          "incompatible simultaneous receive controls");
  }
}

TEST(BuildScheduledProgram, SenderRowWithoutControlsInside) {
  EXPECT_EQ(encode_fresh({hundred_word_row(100)}, {}, 200),
            (std::vector<uint32_t>{0x40a00063, 0x7fe00081, offset_word(36, 1), 0x43a00000}));
}

TEST(BuildScheduledProgram, ControlsInsideAMessageRideOnItsSends) {
  // Source at 130: 29 words first, then a Pic send of 64 words that issues
  // the control at 130, then the last 7 words.
  EXPECT_EQ(encode_fresh({hundred_word_row(100)}, {kSource130}, 200),
            (std::vector<uint32_t>{0x40a00063, 0x7b800081, 0x77f00042, 0x70c00001, 0x43a00000}));
  // Source and pointer at 130: a PicPair send from word address 0x10 + 29.
  EXPECT_EQ(encode_fresh({hundred_word_row(100)}, {kSource130, kPointer130}, 200),
            (std::vector<uint32_t>{0x40a00063, 0x7b800081, 0xf7e00169, 0x01080200, 0x70c00001,
                                   0x43a00000}));
  // A PIC control rides on the send with bit 19 set.
  const ReceiveEvent format_start = format(150, 1);
  EXPECT_EQ(encode_fresh({hundred_word_row(100)}, {format_start}, 200),
            (std::vector<uint32_t>{0x40a00063, with_short_send_word_count(0x7fe00081, 49),
                                   pic_send_word(51, 0x80000 | 0x40001), 0x43a00000}));
}

TEST(BuildScheduledProgram, ContinuationLeavesTheNextPairAligned) {
  // Source at 110 (single), pair at 150. After Delay, Explicit(9) and the Pic
  // send the word count would be odd, so the continuation is one cycle
  // shorter and the remaining cycle goes into an Offset word before the
  // PicPair.
  const auto words =
      encode_fresh({hundred_word_row(100)}, {source(110), source(150), pointer(150)}, 200);
  ASSERT_EQ(words.size(), 7u);
  EXPECT_EQ(words[1], with_short_send_word_count(0x7fe00081, 9));
  EXPECT_EQ(words[2], pic_send_word(39, pic_send_operand_for_xpic(0x42)));
  EXPECT_EQ(words[3], offset_word(1, 1));
  EXPECT_EQ(words[4], pic_pair_first_word(0x200, 51, 0x10 + 49, 1));
  EXPECT_EQ(words[5], pic_pair_second_word(0x42, 0x200));
}

TEST(ReceiveEventsRecord, Errors) {
  const struct Case {
    const char* phrase;
    uint32_t cursor;
    uint64_t prefill;  // words already emitted (their parity matters)
    std::vector<ReceiveEvent> events;
    uint32_t bound;
  } cases[] = {
      {"receive event order", 10, 0, {source(5)}, 20},
      {"receive control issue interval", 10, 0, {source(10)}, 20},
      {"receive timed event", 0, 0, {ReceiveEvent{5, delay_word(3), K::Source}}, 20},
      {"receive control at phase entry", 0, 0, {source(0), pointer(0)}, 20},
      {"plan delay order", 10, 0, {source(10), pointer(10)}, 20},
      {"SENDPICP instruction alignment", 9, 1, {source(10), pointer(10)}, 20},
      {"SENDPICP instruction alignment", 8, 0, {source(10), pointer(10)}, 20},
      {"empty SENDPICP interval", 0, 0, {source(10), pointer(10)}, 9},
      {"receive control order", 0, 0, {source(10), pointer(10)}, 8},
      {"SENDPICP XPIC control", 0, 0, {pointer(10), format(10, 1)}, 20},
      {"SENDPICP PIC control", 0, 0, {source(10), teardown(10)}, 20},
      {"plan delay order", 0, 0, {source(10)}, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phrase);
    Chunked<uint32_t> words;
    for (uint64_t i = 0; i < c.prefill; ++i) words.push(delay_word(1));
    Chunked<ReceiveEvent> events;
    events.extend(c.events);
    uint32_t cursor = c.cursor;
    expect_schedule_error(
        append_receive_events_record(words, cursor, events, 0, events.len(), c.bound, true, {}),
        c.phrase);
  }
}

TEST(ReceiveEventsRecord, CheckpointsAfterEveryGroup) {
  Chunked<uint32_t> words;
  Chunked<Checkpoint> checkpoints;
  const auto events = chunked({source(10), pointer(10), teardown(40)});
  uint32_t cursor = 0;
  ASSERT_TRUE(append_receive_events_record(words, cursor, events, 0, 3, 50, true,
                                           encoding::CheckpointSink{&checkpoints, 7})
                  .has_value());
  EXPECT_EQ(cursor, 50u);
  ASSERT_EQ(checkpoints.len(), 2u);
  EXPECT_EQ(checkpoints[0], (Checkpoint{true, 39, 7, 2, 4, 39}));
  EXPECT_EQ(checkpoints[1], (Checkpoint{false, 0, 7, 3, 5, 40}));
}

TEST(SenderMessage, Errors) {
  ScheduledSenderRow two_initial = short_row(0, 4);
  two_initial.words[2] = explicit_word(2, 1);
  two_initial.words[3] = kReturnWord;
  ScheduledSenderRow offset_only = short_row(0, 4);
  offset_only.words[1] = offset_word(4, 1);
  ScheduledSenderRow long_end = short_row(0, 10);
  long_end.end = 12;
  ScheduledSenderRow short_end = short_row(0, 10);
  short_end.end = 5;

  const struct Case {
    const char* phrase;
    ScheduledSenderRow row;
    uint32_t cursor;
    std::vector<ReceiveEvent> events;
  } cases[] = {
      {"plan delay order", short_row(5, 4), 6, {}},
      {"multiple initial sends", two_initial, 0, {}},
      {"sender payload", offset_only, 0, {}},
      {"send control at phase entry", short_row(0, 4), 0, {source(0)}},
      {"send control order", short_row(5, 4), 0, {source(5)}},
      {"unencodable initial send control", short_row(5, 4), 0, {source(6)}},
      {"send control beyond payload", short_row(0, 10), 0, {source(11)}},
      {"empty receive-control continuation", short_end, 0, {source(6)}},
      {"sender payload horizon", long_end, 0, {}},
      {"SENDPICP operand", short_row(0, 10, 0x3ffff), 0, {source(5), pointer(5)}},
      {"SENDPICP instruction alignment", short_row(0, 10), 0, {source(2), pointer(2)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phrase);
    Chunked<uint32_t> words;
    Chunked<ReceiveEvent> events;
    events.extend(c.events);
    uint32_t cursor = c.cursor;
    expect_schedule_error(append_sender_message(words, cursor, c.row, events, 0, events.len()),
                          c.phrase);
  }
}

TEST(EmitSenderWords, ChunksAndAlignment) {
  const uint32_t initial = explicit_word(64, 3) | (0x20 << 3);
  struct Case {
    uint64_t prefill;
    bool started;
    uint32_t count;
    bool align;
    std::vector<uint32_t> expected;
  };
  const Case cases[] = {
      {0, false, 29, false, {with_short_send_word_count(initial, 29)}},
      // Parity: one more word, split off the front of the last chunk.
      {0, false, 29, true, {with_short_send_word_count(initial, 1), offset_word(28, 3)}},
      {1, false, 29, true, {with_short_send_word_count(initial, 29)}},
      {0, false, 100, false, {initial, offset_word(36, 3)}},
      {0, true, 4100, false, {offset_word(4096, 3), offset_word(4, 3)}},
      {1, true, 4100, true, {offset_word(4096, 3), offset_word(1, 3), offset_word(3, 3)}},
      {1, true, 0, false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    Chunked<uint32_t> words;
    for (uint64_t i = 0; i < c.prefill; ++i) words.push(delay_word(1));
    uint32_t cursor = 1000;
    SenderMessageState message{initial, 3, 5000, c.started ? 7u : 0u, c.started};
    ASSERT_TRUE(emit_sender_words(words, cursor, message, c.count, c.align).has_value());
    EXPECT_EQ(words.copy_range(c.prefill, words.len()), c.expected);
    EXPECT_EQ(cursor, 1000 + c.count);
    EXPECT_EQ(message.remaining, 5000 - c.count);
    EXPECT_TRUE(message.started || c.count == 0);
  }

  const struct {
    const char* phrase;
    uint64_t prefill;
    bool started;
    uint32_t count;
    bool align;
  } errors[] = {
      {"sender payload overflow", 0, true, 5001, false},
      {"unencodable initial send control", 0, false, 0, false},
      {"SENDPICP instruction alignment", 1, true, 0, true},
      {"SENDPICP instruction alignment", 0, true, 1, true},
  };
  for (const auto& e : errors) {
    SCOPED_TRACE(e.phrase);
    Chunked<uint32_t> words;
    for (uint64_t i = 0; i < e.prefill; ++i) words.push(delay_word(1));
    uint32_t cursor = 0;
    SenderMessageState message{initial, 3, 5000, 0, e.started};
    expect_schedule_error(emit_sender_words(words, cursor, message, e.count, e.align), e.phrase);
  }
}

TEST(NormalizedAddressWords, ClearsAddressesOnly) {
  const std::vector<uint32_t> in{
      0x7fe00009,                              // Explicit: operand cleared
      0x61914123,                              // PIC pointer: value cleared
      0x60040001,                              // format control: kept
      pic_send_word(3, 0x80000 | 0x123),       // Pic send with a pointer: cleared
      pic_send_word(3, 0x80000 | 0x40001),     // Pic send with a format: kept
      pic_send_word(3, 0x42),                  // Pic send with an XPIC control: kept
      pic_pair_first_word(0x200, 4, 0x2d, 1),  // sending PicPair: operand cleared
      pic_pair_second_word(0x42, 0x200),       // ... and its pointer
      pic_pair_first_word(0x40001, 4, 0, 0),   // receiving PicPair with a format
      pic_pair_second_word(0x42, 0x40001),     // ... kept
      offset_word(36, 1),                      // kept
  };
  const std::vector<uint32_t> expected{
      0x7fe00001,
      0x61900000,
      0x60040001,
      pic_send_word(3, 0x80000),
      pic_send_word(3, 0x80000 | 0x40001),
      pic_send_word(3, 0x42),
      pic_pair_first_word(0x200, 4, 0, 1),
      pic_pair_second_word(0x42, 0),
      pic_pair_first_word(0x40001, 4, 0, 0),
      pic_pair_second_word(0x42, 0x40001),
      offset_word(36, 1),
  };
  EXPECT_EQ(normalized_exchange_address_words(in), expected);
  // A PicPair in the last position has no second word to clear.
  EXPECT_EQ(normalized_exchange_address_words(std::vector<uint32_t>{0xf0000009}),
            std::vector<uint32_t>{0xf0000001});
}

TEST(IncrementalEncoding, AppendingARowAtTheEndResumesFromTheLastRow) {
  TileProgramSchedule s;
  for (uint32_t i = 0; i < 300; ++i) {
    s.insert_sender_row(i, short_row(10 * i + 1, 5));
    s.insert_receive_event_sorted(source(10 * i + 8));
  }
  s.horizon = 3000;
  const SharedEncodedSchedule before = *s.encoded();
  const uint64_t old_checkpoints = before->checkpoints.len();

  s.insert_sender_row(300, short_row(3001, 5));
  s.raise_horizon(3006);
  const auto after = s.encoded();
  ASSERT_TRUE(after.has_value()) << after.error().display();

  // Every checkpoint up to the last old one is reused; the old tail (padding
  // and Return) is replaced, and the words before it stay shared.
  const Checkpoint& last_old = before->checkpoints[old_checkpoints - 1];
  for (uint64_t k = 0; k < old_checkpoints; ++k) {
    EXPECT_EQ((*after)->checkpoints[k], before->checkpoints[k]);
  }
  for (uint64_t k = 0; k + 1 < last_old.word_count / 128; ++k) {
    EXPECT_TRUE((*after)->words.shares_chunk_with(before->words, k)) << k;
  }
  EXPECT_TRUE((*after)->checkpoints.shares_chunk_with(before->checkpoints, 0));

  const auto fresh = build_scheduled_program(s.sender_rows, s.receive_events, s.horizon, {});
  ASSERT_TRUE(fresh.has_value());
  EXPECT_EQ(**after, *fresh);
}

// ---------------------------------------------------------------------------
// Differential: tile schedules edited the way the phase program builder edits
// them (copy, invalidate, insert at sorted positions, remove superseded
// events, raise the horizon, sometimes discard the copy), encoded at random
// points. The resumed encoding must equal the encoding from scratch, error
// for error, word for word and checkpoint for checkpoint.

class Editor {
 public:
  explicit Editor(uint64_t seed) : rng_(seed) {}

  uint32_t pick(uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_);
  }
  bool chance(uint32_t percent) { return pick(0, 99) < percent; }

  // A cycle near the tile's current horizon, sometimes far back or far on.
  uint32_t cycle_near(const TileProgramSchedule& s) {
    const uint32_t h = s.horizon;
    switch (pick(0, 9)) {
      case 0:
        return pick(0, h + 20);
      case 1:
        return h + pick(0x80000, 0x180000);
      default:
        return h + pick(0, 150);
    }
  }

  ReceiveEvent random_event(uint32_t cycle) {
    switch (pick(0, 5)) {
      case 0:
        return {cycle, xpic_word(pick(0, 0x1fff) & ~0x640u, pick(0, 4095)), K::Source};
      case 1:
        return {cycle, xpic_word(0x640, pick(0, 4095)), K::Teardown};
      case 2:
        return {cycle, pic_word(pick(0, 0x3ffff), pick(0, 127)), K::Pointer};
      case 3:
        return {cycle, pic_word(0x40000 | pick(0, 2), 0), K::Format};
      case 4:
        return {cycle, xpic_word(0x2000 | pick(0, 0x1fff), 0), K::PairedSource};
      default:
        return {cycle, pic_word(pick(0, 0x3ffff), 0), K::PairedPointer};
    }
  }

  // One builder-like change. Returns false if the change did not apply.
  bool change(TileProgramSchedule& s) {
    switch (pick(0, 9)) {
      case 0:
      case 1:
      case 2: {  // a sender row
        const uint32_t start = cycle_near(s);
        const uint32_t words = chance(80) ? pick(1, 150) : pick(151, 4148);
        ScheduledSenderRow row;
        row.words = {kSync3Word, with_address_operand(explicit_word(std::min(words, 64u), 3),
                                                      pick(0, 0x3ffff))};
        uint32_t k = 2;
        if (words > 64) row.words[k++] = offset_word(words - 64, 3);
        row.words[k] = kReturnWord;
        row.start = start;
        row.end = start + words;
        const uint64_t i = s.rows_starting_before(start);
        if (i > 0 && s.sender_rows[i - 1].end > start) return false;
        if (i < s.sender_rows.len() && s.sender_rows[i].start < row.end) return false;
        s.insert_sender_row(i, row);
        s.raise_horizon(row.end + pick(0, 3));
        return true;
      }
      case 3:
      case 4:
      case 5:
      case 6: {  // an ordinary receive: source (+ pointer), teardown later
        const uint32_t at = cycle_near(s);
        const uint32_t len = pick(1, 80);
        s.insert_receive_event_sorted(source(at));
        if (chance(70))
          s.insert_receive_event_sorted(
              {at + pick(0, 3), pic_word(pick(0, 0xffff), 0), K::Pointer});
        s.insert_receive_event_sorted(teardown(at + len));
        s.raise_horizon(at + len + pick(0, 60));
        return true;
      }
      case 7: {  // a random event, possibly an unencodable one
        // Often on the cycle of an existing event, to grow simultaneous groups.
        const bool join = !s.receive_events.empty() && chance(40);
        const uint32_t at =
            join
                ? s.receive_events[pick(0, static_cast<uint32_t>(s.receive_events.len() - 1))].cycle
                : cycle_near(s);
        const ReceiveEvent e = random_event(at);
        s.insert_receive_event_sorted(e);
        s.raise_horizon(e.cycle + pick(0, 10));
        return true;
      }
      case 8: {  // a superseded event goes
        if (s.receive_events.empty()) return false;
        s.remove_receive_event(pick(0, static_cast<uint32_t>(s.receive_events.len() - 1)));
        return true;
      }
      default: {  // a blocked tile: only the horizon moves
        s.invalidate();
        s.raise_horizon(s.horizon + pick(0, 40));
        return true;
      }
    }
  }

 private:
  std::mt19937_64 rng_;
};

struct Outcome {
  bool ok = false;
  std::string error;
  std::vector<uint32_t> words;
  std::vector<Checkpoint> checkpoints;
};

Outcome outcome(const std::expected<SharedEncodedSchedule, ExchangeError>& r) {
  if (!r) return {false, r.error().display(), {}, {}};
  return {true, {}, (*r)->words.to_vector(), (*r)->checkpoints.to_vector()};
}

Outcome outcome(const std::expected<EncodedSchedule, ExchangeError>& r) {
  if (!r) return {false, r.error().display(), {}, {}};
  return {true, {}, r->words.to_vector(), r->checkpoints.to_vector()};
}

TEST(IncrementalEncoding, ResumedEqualsFromScratchUnderBuilderEdits) {
  uint64_t compared = 0;
  uint64_t succeeded = 0;
  uint64_t resumed = 0;
  for (uint64_t seed = 1; seed <= 40; ++seed) {
    Editor editor(seed);
    TileProgramSchedule tile;
    for (int step = 0; step < 400; ++step) {
      // Staging encodes the current program first so the copy can resume.
      if (editor.chance(50)) (void)tile.encoded();
      TileProgramSchedule copy = tile;
      const int edits = static_cast<int>(editor.pick(1, 3));
      for (int e = 0; e < edits; ++e) editor.change(copy);

      if (editor.chance(60)) {
        const SharedEncodedSchedule base = copy.encoding ? nullptr : copy.previous_encoding;
        const auto encoded = copy.encoded();
        // Resumed from a checkpoint: the new words share their first chunk.
        const bool from_checkpoint =
            base && encoded && (*encoded)->words.shares_chunk_with(base->words, 0);
        const Outcome incremental = outcome(encoded);
        const Outcome scratch = outcome(
            build_scheduled_program(copy.sender_rows, copy.receive_events, copy.horizon, {}));
        ASSERT_EQ(incremental.ok, scratch.ok) << "seed " << seed << " step " << step << ": "
                                              << incremental.error << " / " << scratch.error;
        ASSERT_EQ(incremental.error, scratch.error) << "seed " << seed << " step " << step;
        ASSERT_EQ(incremental.words, scratch.words) << "seed " << seed << " step " << step;
        ASSERT_TRUE(incremental.checkpoints == scratch.checkpoints)
            << "seed " << seed << " step " << step;
        ++compared;
        resumed += from_checkpoint ? 1 : 0;
        if (incremental.ok) {
          ++succeeded;
#ifdef TESSEL_HAVE_DIAGNOSTIC
          const auto valid = validate_tile_program(0, copy, incremental.words);
          ASSERT_TRUE(valid.has_value())
              << "seed " << seed << " step " << step << ": " << valid.error().display();
#endif
        }
      }

      // Like the builder's encodability check: a change that does not encode
      // is mostly discarded, but a deferred placement may still keep it.
      if (copy.encoded().has_value() || editor.chance(5)) tile = copy;
    }
  }
  // The generator must keep exercising both outcomes and real resumes.
  std::printf("compared %llu, encoded %llu, resumed from a checkpoint %llu\n",
              static_cast<unsigned long long>(compared), static_cast<unsigned long long>(succeeded),
              static_cast<unsigned long long>(resumed));
  EXPECT_GT(compared, 3000u);
  EXPECT_GT(succeeded, compared / 5);
  EXPECT_LT(succeeded, compared);
  EXPECT_GT(resumed, compared / 6);
}

}  // namespace
}  // namespace tessel::exchange
