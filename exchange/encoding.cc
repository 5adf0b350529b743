#include "exchange/encoding.h"

#include <algorithm>
#include <array>
#include <utility>

#include "exchange/words.h"
#include "support/checked.h"
#include "support/result.h"

namespace tessel::exchange {
namespace encoding {
namespace {

using Fail = std::unexpected<ExchangeError>;

Fail fail(const char* phrase) {
  return Fail(ExchangeError::schedule(phrase));
}

uint32_t saturating_pred(uint32_t cycle) {
  return cycle == 0 ? 0 : cycle - 1;
}

// Delay words, each at most 0x80000 cycles, bringing the cursor to `target`.
void pad_to(Chunked<uint32_t>& words, uint32_t& cursor, uint32_t target) {
  while (cursor < target) {
    const uint32_t cycles = std::min(target - cursor, kMaxDelayCycles);
    words.push(delay_word(cycles));
    cursor += cycles;
  }
}

bool is_pic_event(const ReceiveEvent& event) {
  return !is_xpic_event(event.kind);
}

// End of the group of equal-cycle events that starts at `i`.
uint64_t group_end(const Chunked<ReceiveEvent>& events, uint64_t i, uint64_t last) {
  uint64_t j = i + 1;
  while (j < last && events[j].cycle == events[i].cycle) ++j;
  return j;
}

// Number of events whose cycle is at most `cycle`.
uint64_t events_through(const Chunked<ReceiveEvent>& events, uint32_t cycle) {
  uint64_t lo = 0;
  uint64_t hi = events.len();
  while (lo < hi) {
    const uint64_t mid = lo + (hi - lo) / 2;
    if (events[mid].cycle > cycle) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo;
}

bool valid_group(const Chunked<ReceiveEvent>& events, uint64_t i, uint64_t j) {
  const uint64_t size = j - i;
  if (size > 2) return false;
  return size == 1 || compatible_simultaneous_events(events[i].kind, events[i + 1].kind);
}

// The PIC and the XPIC control word of two simultaneous events.
struct PairControls {
  uint32_t pic = 0;
  uint32_t xpic = 0;
};

std::expected<PairControls, ExchangeError> pair_controls(const ReceiveEvent& a,
                                                         const ReceiveEvent& b) {
  if (is_pic_event(a) && is_pic_event(b)) return fail("SENDPICP XPIC control");
  if (!is_pic_event(a) && !is_pic_event(b)) return fail("SENDPICP PIC control");
  if (a.cycle != b.cycle) return fail("SENDPICP event time");
  return is_pic_event(a) ? PairControls{a.word, b.word} : PairControls{b.word, a.word};
}

std::expected<void, ExchangeError> append_single_control(Chunked<uint32_t>& words, uint32_t& cursor,
                                                         const ReceiveEvent& event) {
  const uint32_t c = event.cycle;
  if (c < cursor) return fail("receive event order");
  if (c == cursor) return fail("receive control issue interval");
  const WordKind kind = classify_word(event.word);
  if (kind != WordKind::Pic && kind != WordKind::Xpic) return fail("receive timed event");
  // A control's delay field absorbs up to 128 (PIC) or 4096 (XPIC) cycles of
  // waiting; anything longer goes into Delay words first.
  const uint32_t reach = kind == WordKind::Pic ? kMaxPicDelayField + 1 : kMaxXpicDelayField + 1;
  if (c - cursor > reach) pad_to(words, cursor, c - reach);
  const uint32_t field = c - cursor - 1;
  if (kind == WordKind::Pic) {
    if (field > kMaxPicDelayField) return fail("PIC delay advance overflow");
    words.push(with_pic_delay_field(event.word, field));
  } else {
    if (field > kMaxXpicDelayField) return fail("XPIC delay advance overflow");
    words.push(with_xpic_delay_field(event.word, field));
  }
  cursor = c;
  return {};
}

// Delay words covering `cycles` such that the word count ends even, each as
// long as possible while leaving at least one cycle to every later one.
std::expected<void, ExchangeError> pad_aligned(Chunked<uint32_t>& words, uint32_t& cursor,
                                               uint32_t cycles) {
  if (cycles == 0 && words.len() % 2 == 1) return fail("SENDPICP instruction alignment");
  uint32_t count = cycles / kMaxDelayCycles + (cycles % kMaxDelayCycles != 0 ? 1 : 0);
  if ((words.len() + count) % 2 == 1) ++count;
  if (cycles < count) return fail("SENDPICP instruction alignment");
  uint32_t left = cycles;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t later = count - k - 1;
    const uint32_t d = std::min(kMaxDelayCycles, left - later);
    words.push(delay_word(d));
    cursor += d;
    left -= d;
  }
  return {};
}

std::expected<void, ExchangeError> append_pair_control(Chunked<uint32_t>& words, uint32_t& cursor,
                                                       const ReceiveEvent& a, const ReceiveEvent& b,
                                                       uint32_t limit, bool align_pairs) {
  const uint32_t c = a.cycle;
  if (c == 0) return fail("receive control at phase entry");
  if (c - 1 < cursor) return fail("plan delay order");
  // The PicPair issues one cycle before its controls take effect.
  if (align_pairs) {
    TESSEL_TRY(pad_aligned(words, cursor, c - 1 - cursor));
  } else {
    pad_to(words, cursor, c - 1);
  }
  if (limit < cursor) return fail("receive control order");
  if (limit == cursor) return fail("empty SENDPICP interval");
  const PairControls controls = TESSEL_TRY(pair_controls(a, b));
  const uint32_t n = std::min<uint32_t>(limit - cursor, kMaxExplicitWords);
  words.push(pic_pair_first_word(controls.pic, n, 0, 0));
  words.push(pic_pair_second_word(controls.xpic, controls.pic));
  cursor += n;
  return {};
}

}  // namespace

std::expected<void, ExchangeError> append_receive_events_record(
    Chunked<uint32_t>& words, uint32_t& cursor, const Chunked<ReceiveEvent>& events, uint64_t first,
    uint64_t last, uint32_t bound, bool align_pairs, CheckpointSink sink) {
  for (uint64_t i = first; i < last;) {
    const uint64_t j = group_end(events, i, last);
    if (j - i > 2) return fail("incompatible simultaneous receive controls");
    const uint32_t limit = j < last ? saturating_pred(events[j].cycle) : bound;
    const bool pair = j - i == 2;
    if (pair) {
      TESSEL_TRY(append_pair_control(words, cursor, events[i], events[i + 1], limit, align_pairs));
    } else {
      TESSEL_TRY(append_single_control(words, cursor, events[i]));
    }
    if (sink.checkpoints) {
      // The limit only matters for a PicPair; a single control's checkpoint
      // keeps 0 so that equal encodings have equal checkpoints.
      sink.checkpoints->push(
          Checkpoint{pair, pair ? limit : 0, sink.next_row, j, words.len(), cursor});
    }
    i = j;
  }
  if (bound < cursor) return fail("plan delay order");
  pad_to(words, cursor, bound);
  return {};
}

std::expected<void, ExchangeError> emit_sender_words(Chunked<uint32_t>& words, uint32_t& cursor,
                                                     SenderMessageState& message, uint32_t count,
                                                     bool align) {
  if (count > message.remaining) return fail("sender payload overflow");
  if (count == 0) {
    if (!message.started) return fail("unencodable initial send control");
    if (align && words.len() % 2 == 1) return fail("SENDPICP instruction alignment");
    return {};
  }

  // Greedy chunks: the initial send carries at most 64 words, every Offset
  // word at most 4096. A message is at most 64 + 8 * 4096 words, so a few
  // chunks suffice.
  std::array<uint32_t, 16> chunks{};
  size_t n = 0;
  uint32_t left = count;
  const uint32_t first_max = message.started ? kMaxOffsetWords : kMaxExplicitWords;
  chunks[n] = std::min(left, first_max);
  left -= chunks[n++];
  while (left > 0) {
    chunks[n] = std::min(left, kMaxOffsetWords);
    left -= chunks[n++];
  }
  if (align && (words.len() + n) % 2 == 1) {
    // One more word fixes the parity: split off a one-word chunk in front of
    // the last chunk that can spare it.
    size_t k = n;
    while (k > 0 && chunks[k - 1] <= 1) --k;
    if (k == 0) return fail("SENDPICP instruction alignment");
    const size_t split = k - 1;
    std::move_backward(chunks.begin() + static_cast<std::ptrdiff_t>(split) + 1,
                       chunks.begin() + static_cast<std::ptrdiff_t>(n),
                       chunks.begin() + static_cast<std::ptrdiff_t>(n) + 1);
    chunks[split + 1] = chunks[split] - 1;
    chunks[split] = 1;
    ++n;
  }

  for (size_t k = 0; k < n; ++k) {
    const uint32_t chunk = chunks[k];
    if (!message.started) {
      if (!message.initial_send || chunk < 1 || chunk > kMaxExplicitWords)
        return fail("initial send size");
      words.push(with_short_send_word_count(*message.initial_send, chunk));
      message.started = true;
    } else {
      words.push(offset_word(chunk, message.control));
    }
    cursor += chunk;
    message.sent += chunk;
    message.remaining -= chunk;
  }
  if (align && words.len() % 2 == 1) return fail("SENDPICP instruction alignment");
  return {};
}

std::expected<void, ExchangeError> append_sender_message(Chunked<uint32_t>& words, uint32_t& cursor,
                                                         const ScheduledSenderRow& row,
                                                         const Chunked<ReceiveEvent>& events,
                                                         uint64_t first, uint64_t last) {
  if (row.start < cursor) return fail("plan delay order");
  pad_to(words, cursor, row.start);

  std::optional<uint32_t> initial;
  uint32_t payload = 0;
  for (const uint32_t w : row.words) {
    const WordKind kind = classify_word(w);
    uint32_t add = 0;
    if (kind == WordKind::Explicit) {
      if (initial) return fail("multiple initial sends");
      initial = w;
      add = short_send_word_count(w);
    } else if (kind == WordKind::Offset) {
      add = offset_word_count(w);
    } else {
      continue;
    }
    const std::optional<uint32_t> sum = support::checked_add(payload, add);
    if (!sum) return fail("sender payload overflow");
    payload = *sum;
  }
  if (!initial) return fail("sender payload");
  const uint32_t control = send_control(*initial);
  const uint32_t source_operand = address_operand(*initial);

  SenderMessageState message{initial, control, payload, 0, false};
  for (uint64_t i = first; i < last;) {
    const uint64_t j = group_end(events, i, last);
    if (j - i > 2) return fail("incompatible simultaneous receive controls");
    const bool pair = j - i == 2;
    const uint32_t u = events[i].cycle;
    if (u == 0) return fail("send control at phase entry");
    if (u - 1 < cursor) return fail("send control order");
    if (u - cursor - 1 >= message.remaining) return fail("send control beyond payload");
    // The control rides on a send issued one cycle before it takes effect.
    TESSEL_TRY(emit_sender_words(words, cursor, message, u - cursor - 1, pair));

    const uint32_t until = j < last ? saturating_pred(events[j].cycle) : row.end;
    if (until < cursor) return fail("send control order");
    uint32_t x = until - cursor;
    const bool next_pair = j < last && group_end(events, j, last) - j == 2;
    const uint64_t emitting = pair ? 2 : 1;
    // Leave the next PicPair an even word index to start at.
    if (next_pair && x > 1 && (words.len() + emitting) % 2 == 1) --x;
    const uint32_t y = std::min({x, message.remaining, kMaxExplicitWords});
    if (y == 0) return fail("empty receive-control continuation");

    if (!pair) {
      const ReceiveEvent& e = events[i];
      const uint32_t operand = is_pic_event(e) ? pic_send_operand_for_pic(pic_value(e.word))
                                               : pic_send_operand_for_xpic(xpic_value(e.word));
      words.push(pic_send_word(y, operand));
    } else {
      const std::optional<uint32_t> z = support::checked_add(source_operand, message.sent);
      if (!z) return fail("SENDPICP source overflow");
      if (*z > 0x3ffff) return fail("SENDPICP operand");
      const PairControls controls = TESSEL_TRY(pair_controls(events[i], events[i + 1]));
      words.push(pic_pair_first_word(controls.pic, y, *z, control));
      words.push(pic_pair_second_word(controls.xpic, controls.pic));
    }
    cursor += y;
    message.remaining -= y;
    message.sent += y;
    i = j;
  }

  if (!message.started) {
    if (message.remaining == 0) return fail("initial send size");
    const uint32_t n = std::min(message.remaining, kMaxExplicitWords);
    words.push(with_short_send_word_count(*initial, n));
    message.started = true;
    cursor += n;
    message.remaining -= n;
    message.sent += n;
  }
  while (message.remaining > 0) {
    const uint32_t n = std::min(message.remaining, kMaxOffsetWords);
    words.push(offset_word(n, control));
    cursor += n;
    message.remaining -= n;
    message.sent += n;
  }
  if (cursor != row.end) return fail("sender payload horizon");
  return {};
}

std::expected<EncodedSchedule, ExchangeError> build_scheduled_program(
    const Chunked<ScheduledSenderRow>& sender_rows, const Chunked<ReceiveEvent>& events,
    uint32_t horizon, const ResumeInput& resume) {
  const uint64_t event_count = events.len();
  const uint64_t row_count = sender_rows.len();
  const EncodedSchedule* previous = resume.previous_encoding.get();

  // Validate the simultaneous groups that may have changed; never split a
  // group, since an event added to it changes what it must be.
  uint64_t z = 0;
  if (previous) {
    z = std::min(event_count, resume.dirty_events);
    while (z > 0 && z < event_count && events[z - 1].cycle == events[z].cycle) --z;
  }
  for (uint64_t i = z; i < event_count;) {
    const uint64_t j = group_end(events, i, event_count);
    if (!valid_group(events, i, j)) return fail("incompatible simultaneous receive controls");
    i = j;
  }

  EncodedSchedule out;
  uint32_t cursor = 0;
  uint64_t row = 0;
  uint64_t event = 0;
  if (previous) {
    const Chunked<Checkpoint>& checkpoints = previous->checkpoints;
    // Checkpoints are emitted with non-decreasing next_row and next_event, so
    // the ones untouched by the change form a prefix.
    uint64_t lo = 0;
    uint64_t hi = checkpoints.len();
    while (lo < hi) {
      const uint64_t mid = lo + (hi - lo) / 2;
      const Checkpoint& cp = checkpoints[mid];
      if (cp.next_row <= resume.dirty_rows && cp.next_event <= resume.dirty_events) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    for (uint64_t k = lo; k-- > 0;) {
      const Checkpoint& cp = checkpoints[k];
      if (cp.next_row > row_count || cp.next_event > event_count) continue;
      const uint32_t next_start =
          cp.next_row < row_count ? sender_rows[cp.next_row].start : horizon;
      if (cp.cycle > next_start) continue;
      const bool has_next_event = cp.next_event < event_count;
      if (has_next_event && !(cp.cycle < events[cp.next_event].cycle)) continue;
      if (cp.next_event >= 1 && !(events[cp.next_event - 1].cycle < next_start)) continue;
      if (cp.pair_group) {
        // The PicPair's length was bounded by what followed it; it must be
        // bounded the same way now.
        uint32_t limit = next_start;
        if (has_next_event && events[cp.next_event].cycle < next_start) {
          limit = saturating_pred(events[cp.next_event].cycle);
        }
        if (limit != cp.pair_limit) continue;
      }
      out.words = previous->words;
      out.words.truncate(cp.word_count);
      out.checkpoints = checkpoints;
      out.checkpoints.truncate(k + 1);
      cursor = cp.cycle;
      row = cp.next_row;
      event = cp.next_event;
      break;
    }
  }

  for (; row < row_count; ++row) {
    const ScheduledSenderRow& r = sender_rows[row];
    const uint64_t before = std::max(event, events_through(events, r.start));
    TESSEL_TRY(append_receive_events_record(out.words, cursor, events, event, before, r.start, true,
                                            CheckpointSink{&out.checkpoints, row}));
    event = before;
    const uint64_t inside = std::max(event, events_through(events, r.end));
    TESSEL_TRY(append_sender_message(out.words, cursor, r, events, before, inside));
    event = inside;
    out.checkpoints.push(Checkpoint{false, 0, row + 1, inside, out.words.len(), cursor});
  }
  TESSEL_TRY(append_receive_events_record(out.words, cursor, events, event, event_count, horizon,
                                          true, CheckpointSink{&out.checkpoints, row_count}));
  out.words.push(kReturnWord);
  return out;
}

std::vector<uint32_t> normalized_exchange_address_words(std::span<const uint32_t> words) {
  std::vector<uint32_t> out(words.begin(), words.end());
  constexpr uint32_t kSendOperand = 0x3ffffu << 3;
  constexpr uint32_t kPointerValue = 0x3ffffu;
  for (size_t i = 0; i < out.size();) {
    const uint32_t w = out[i];
    if (w >= 0xf0000000u) {
      if (send_control(w) != 0) out[i] &= ~kSendOperand;
      // Bit 27 is bit 18 of the PIC value: clear means a receive pointer.
      if ((w & 0x8000000u) == 0 && i + 1 < out.size()) out[i + 1] &= ~kPointerValue;
      i += 2;
      continue;
    }
    if (w >= 0x78000000u && w <= 0x7fffffffu) {
      out[i] &= ~kSendOperand;
    } else if ((w & 0xfc040000u) == 0x60000000u || (w & 0xf81c0000u) == 0x70180000u) {
      out[i] &= ~kPointerValue;
    }
    ++i;
  }
  return out;
}

}  // namespace encoding

std::expected<SharedEncodedSchedule, ExchangeError> TileProgramSchedule::encoded() const {
  if (encoding) return encoding;
  auto built = encoding::build_scheduled_program(
      sender_rows, receive_events, horizon,
      encoding::ResumeInput{previous_encoding, dirty_rows, dirty_events});
  if (!built) return std::unexpected(built.error());
  encoding = std::make_shared<const EncodedSchedule>(std::move(*built));
  return encoding;
}

}  // namespace tessel::exchange
