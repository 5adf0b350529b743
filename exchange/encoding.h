#pragma once
// The tile program encoder: turns one tile's schedule (sender rows with
// absolute start and end cycles, timed incoming-control events, horizon)
// into the tile's instruction word stream.
//
// What it promises
// - Receive controls are issued at exactly their cycles, with Delay words in
//   between; two controls of one cycle become one PicPair word issued the
//   cycle before, at an even word index.
// - Every sender row becomes one message whose sends are split around the
//   tile's own receive controls falling inside it (Pic and PicPair sends
//   carry those controls), covering exactly [start, end) of the row.
// - The program ends with Return exactly at the tile's horizon.
// - Incremental: the encoder records a checkpoint after every event group and
//   every sender row, and a re-encoding resumes from the last checkpoint that
//   the change did not touch. The result is word for word the encoding built
//   from scratch; the words and checkpoints before the resume point stay
//   shared with the previous encoding (Chunked), so appending at the end of a
//   long tile program costs only the tail.
//
// Every failure is ExchangeError::Schedule with a fixed phrase; partial words
// are discarded and nothing else changes.
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "exchange/chunked.h"
#include "exchange/error.h"
#include "exchange/tile_schedule.h"
#include "exchange/timing.h"

namespace tessel::exchange::encoding {

// What a re-encoding may resume from: the last encoding and the first sender
// row and receive event that may have changed since it was built.
struct ResumeInput {
  SharedEncodedSchedule previous_encoding;
  uint64_t dirty_rows = 0;
  uint64_t dirty_events = 0;
};

// Encodes a whole tile program ending at `horizon`.
std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(
    const Chunked<ScheduledSenderRow>& sender_rows, const Chunked<ReceiveEvent>& events,
    uint32_t horizon, const ResumeInput& resume);

// Where the checkpoints of an event record go: each group's checkpoint gets
// `next_row` and the index after the group. No checkpoints without a target.
struct CheckpointSink {
  Chunked<Checkpoint>* checkpoints = nullptr;
  uint64_t next_row = 0;
};

// Encodes events [first, last) of `events` (sorted by cycle, groups of one or
// two valid simultaneous controls) from `cursor`, then pads with Delay words
// up to `bound`. With `align_pairs` every PicPair starts at an even word
// index.
std::expected<void, ExchangeError> append_receive_events_record(
    Chunked<uint32_t>& words, uint32_t& cursor, const Chunked<ReceiveEvent>& events, uint64_t first,
    uint64_t last, uint32_t bound, bool align_pairs, CheckpointSink sink);

// Encodes one sender row as one message from `cursor`; events [first, last)
// are the tile's receive events with row.start < cycle <= row.end.
std::expected<void, ExchangeError> append_sender_message(Chunked<uint32_t>& words, uint32_t& cursor,
                                                         const ScheduledSenderRow& row,
                                                         const Chunked<ReceiveEvent>& events,
                                                         uint64_t first, uint64_t last);

// The state of the message being emitted by append_sender_message.
struct SenderMessageState {
  std::optional<uint32_t> initial_send;  // the row's Explicit word
  uint32_t control = 0;                  // send control of continuation words
  uint32_t remaining = 0;                // payload words still to send
  uint32_t sent = 0;                     // payload words sent so far
  bool started = false;                  // the initial send word was emitted
};

// Emits `count` payload words of the current message: the initial send word
// first (at most 64 words), Offset words of at most 4096 words after it. With
// `align` the emitted word count is made even, so that a PicPair can follow.
std::expected<void, ExchangeError> emit_sender_words(Chunked<uint32_t>& words, uint32_t& cursor,
                                                     SenderMessageState& message, uint32_t count,
                                                     bool align);

// A copy of a program with every address field cleared (source operands of
// sends and receive pointer values), for comparing programs across
// relocations. Counts, controls, delays and format controls stay.
std::vector<uint32_t> normalized_exchange_address_words(std::span<const uint32_t> words);

}  // namespace tessel::exchange::encoding
