#include "exchange/diagnostic.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <tuple>
#include <utility>

#include "exchange/tile_schedule.h"
#include "exchange/timing.h"
#include "exchange/words.h"
#include "support/checked.h"
#include "support/events.h"
#include "support/result.h"

namespace tessel::exchange {

namespace {

using support::checked_add;
using support::checked_mul;

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

std::string debug_string(const PlanSend& send) {
  std::string out = fmt::format("Send {{ encoding: {}, words: {}, raw_operand: {}, send_control: ",
                                debug_string(send.encoding), send.words, send.raw_operand);
  if (send.send_control) {
    fmt::format_to(std::back_inserter(out), "Some({})", *send.send_control);
  } else {
    out += "None";
  }
  out += ", controls: [";
  for (size_t i = 0; i < send.controls.size(); ++i) {
    if (i > 0) out += ", ";
    out += debug_string(send.controls[i]);
  }
  out += "] }";
  return out;
}

// Decodes the instruction whose first word is words[i]: its operation, the
// number of words it takes and the cycles it spans.
struct DecodedWord {
  PlanOperation operation;
  uint32_t words = 1;
  uint32_t cycles = 0;
};

std::expected<DecodedWord, ExchangeError> decode_at(std::span<const uint32_t> words, size_t i) {
  const uint32_t w = words[i];
  switch (classify_word(w)) {
    case WordKind::Return:
      return DecodedWord{PlanReturn{}, 1, 0};
    case WordKind::Delay:
      return DecodedWord{PlanDelay{}, 1, delay_field(w) + 1};
    case WordKind::Xpic:
      return DecodedWord{IncomingControl{IncomingControlStream::Xpic, xpic_value(w)}, 1,
                         xpic_delay_field(w) + 1};
    case WordKind::Pic:
      return DecodedWord{IncomingControl{IncomingControlStream::Pic, pic_value(w)}, 1,
                         pic_delay_field(w) + 1};
    case WordKind::PicPair: {
      if (i + 1 >= words.size()) {
        return std::unexpected(ExchangeError::schedule("truncated SENDPICP payload"));
      }
      const uint32_t second = words[i + 1];
      PlanSend send{SendEncoding::PicPair,
                    short_send_word_count(w),
                    address_operand(w),
                    static_cast<uint8_t>(send_control(w)),
                    {IncomingControl{IncomingControlStream::Xpic, pic_pair_xpic_value(second)},
                     IncomingControl{IncomingControlStream::Pic, pic_pair_pic_value(w, second)}}};
      const uint32_t cycles = send.words;
      return DecodedWord{std::move(send), 2, cycles};
    }
    case WordKind::SendPic: {
      const IncomingControlStream stream =
          pic_send_carries_pic(w) ? IncomingControlStream::Pic : IncomingControlStream::Xpic;
      PlanSend send{SendEncoding::Pic,
                    short_send_word_count(w),
                    pic_send_raw_operand(w),
                    std::nullopt,
                    {IncomingControl{stream, pic_send_control_value(w)}}};
      const uint32_t cycles = send.words;
      return DecodedWord{std::move(send), 1, cycles};
    }
    case WordKind::Explicit: {
      PlanSend send{SendEncoding::Explicit,
                    short_send_word_count(w),
                    address_operand(w),
                    static_cast<uint8_t>(send_control(w)),
                    {}};
      const uint32_t cycles = send.words;
      return DecodedWord{std::move(send), 1, cycles};
    }
    case WordKind::Offset: {
      PlanSend send{SendEncoding::Offset,
                    offset_word_count(w),
                    offset_operand(w),
                    static_cast<uint8_t>(send_control(w)),
                    {}};
      const uint32_t cycles = send.words;
      return DecodedWord{std::move(send), 1, cycles};
    }
    case WordKind::Sync:
      return DecodedWord{PlanSync{static_cast<uint8_t>(sync_value(w))}, 1, 0};
    case WordKind::Unknown:
      break;
  }
  return DecodedWord{PlanUnknown{w}, 1, 0};
}

// An incoming control at the cycle it takes effect.
struct TimedControl {
  uint32_t cycle = 0;
  IncomingControl control;
  friend auto operator<=>(const TimedControl&, const TimedControl&) = default;
};

std::string debug_string(const TimedControl& timed) {
  return fmt::format("({}, {})", timed.cycle, debug_string(timed.control));
}

std::string element_text(const std::vector<TimedControl>& list, size_t k) {
  return k < list.size() ? fmt::format("Some({})", debug_string(list[k])) : "None";
}

// Elements k - 3 through k + 3, clipped to the list.
std::string window_text(const std::vector<TimedControl>& list, size_t k) {
  const size_t first = k >= 3 ? k - 3 : 0;
  const size_t last = std::min(list.size(), k + 4);
  std::string out = "[";
  for (size_t i = first; i < last; ++i) {
    if (i > first) out += ", ";
    out += debug_string(list[i]);
  }
  out += "]";
  return out;
}

// A send's busy window in the program, [start, end).
struct OutgoingInterval {
  uint32_t start = 0;
  uint32_t end = 0;
  SendEncoding encoding = SendEncoding::Explicit;
};

// True when some window [start, end) of `windows` contains [start, end) of
// `interval`.
bool inside_some_window(const std::vector<std::pair<uint32_t, uint32_t>>& windows,
                        bool sorted_disjoint, const OutgoingInterval& interval) {
  auto contains = [&](const std::pair<uint32_t, uint32_t>& window) {
    return window.first <= interval.start && interval.end <= window.second;
  };
  if (!sorted_disjoint) return std::any_of(windows.begin(), windows.end(), contains);
  // Sorted, disjoint windows: the last one starting at or before the interval
  // has the largest end among all that could contain it.
  const auto after = std::partition_point(windows.begin(), windows.end(), [&](const auto& window) {
    return window.first <= interval.start;
  });
  return after != windows.begin() && contains(*std::prev(after));
}

}  // namespace

std::string debug_string(IncomingControlStream stream) {
  return stream == IncomingControlStream::Pic ? "Pic" : "Xpic";
}

std::string debug_string(SendEncoding encoding) {
  switch (encoding) {
    case SendEncoding::Explicit:
      return "Explicit";
    case SendEncoding::Offset:
      return "Offset";
    case SendEncoding::Pic:
      return "Pic";
    case SendEncoding::PicPair:
      return "PicPair";
  }
  return {};
}

std::string debug_string(const IncomingControl& control) {
  return fmt::format("IncomingControl {{ stream: {}, value: {} }}", debug_string(control.stream),
                     control.value);
}

std::string debug_string(const PlanOperation& operation) {
  return std::visit(Overloaded{
                        [](const PlanDelay&) -> std::string { return "Delay"; },
                        [](const IncomingControl& c) {
                          return fmt::format("IncomingControl({})", debug_string(c));
                        },
                        [](const PlanSend& s) { return debug_string(s); },
                        [](const PlanSync& s) { return fmt::format("Sync({})", s.value); },
                        [](const PlanReturn&) -> std::string { return "Return"; },
                        [](const PlanUnknown& u) { return fmt::format("Unknown({})", u.word); },
                    },
                    operation);
}

std::string PlanProgramDiagnostic::render() const {
  std::string out;
  auto sink = std::back_inserter(out);
  for (const DecodedPlanInstruction& instruction : instructions) {
    if (instruction.address) {
      fmt::format_to(sink, "0x{:05x}", *instruction.address);
    } else {
      fmt::format_to(sink, "word+{}", instruction.word_index);
    }
    fmt::format_to(sink, " cycles={}..{} {}\n", instruction.start_cycle, instruction.end_cycle,
                   debug_string(instruction.operation));
  }
  return out;
}

std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(
    std::span<const uint32_t> words, std::optional<uint32_t> base_address) {
  PlanProgramDiagnostic diagnostic;
  diagnostic.instructions.reserve(words.size());
  uint32_t cycle = 0;
  size_t i = 0;
  while (i < words.size()) {
    DecodedWord decoded = TESSEL_TRY(decode_at(words, i));
    const auto end = checked_add(cycle, decoded.cycles);
    if (!end) return std::unexpected(ExchangeError::schedule("diagnostic event horizon overflow"));
    const auto index = static_cast<uint32_t>(i);
    std::optional<uint32_t> address;
    if (base_address) {
      const auto offset = checked_mul<uint32_t>(index, 4);
      address = offset ? checked_add(*base_address, *offset) : std::nullopt;
      if (!address) {
        return std::unexpected(ExchangeError::schedule("diagnostic row address overflow"));
      }
    }
    diagnostic.instructions.push_back(
        DecodedPlanInstruction{std::move(decoded.operation), address, index, cycle, *end});
    cycle = *end;
    i += decoded.words;
  }
  diagnostic.horizon = cycle;
  diagnostic.word_count = static_cast<uint32_t>(words.size());
  return diagnostic;
}

std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    uint16_t tile, const TileProgramSchedule& schedule, std::span<const uint32_t> words) {
  PlanProgramDiagnostic diagnostic = TESSEL_TRY(diagnose_plan_program(words, std::nullopt));
  if (diagnostic.horizon != schedule.horizon) {
    return std::unexpected(ExchangeError::schedule("encoded tile horizon mismatch"));
  }
  for (const DecodedPlanInstruction& instruction : diagnostic.instructions) {
    if (std::holds_alternative<PlanUnknown>(instruction.operation)) {
      return std::unexpected(ExchangeError::schedule("unknown encoded exchange instruction"));
    }
  }

  // What the program does: controls at the cycle they take effect, and the
  // windows of the sends this tile originates. A receiver's PicPair (send
  // control 0) only carries controls; a Pic send has no send control and
  // does count as outgoing.
  std::vector<TimedControl> actual;
  std::vector<OutgoingInterval> outgoing;
  for (const DecodedPlanInstruction& instruction : diagnostic.instructions) {
    if (const auto* control = std::get_if<IncomingControl>(&instruction.operation)) {
      actual.push_back(TimedControl{instruction.end_cycle, *control});
    } else if (const auto* send = std::get_if<PlanSend>(&instruction.operation)) {
      for (const IncomingControl& carried : send->controls) {
        actual.push_back(TimedControl{instruction.start_cycle + 1, carried});
      }
      if (send->send_control != std::optional<uint8_t>(0)) {
        outgoing.push_back(
            OutgoingInterval{instruction.start_cycle, instruction.end_cycle, send->encoding});
      }
    }
  }
  std::sort(actual.begin(), actual.end());

  // What the schedule says.
  std::vector<TimedControl> expected;
  expected.reserve(schedule.receive_events.len());
  for (const ReceiveEvent& event : schedule.receive_events) {
    expected.push_back(
        is_xpic_event(event.kind)
            ? TimedControl{event.cycle, {IncomingControlStream::Xpic, event.word & 0x3fff}}
            : TimedControl{event.cycle, {IncomingControlStream::Pic, event.word & 0x7ffff}});
  }
  std::sort(expected.begin(), expected.end());

  if (actual != expected) {
    const size_t k = static_cast<size_t>(
        std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
        actual.begin());
    TESSEL_EVENT("tessel_exchange::diagnostic",
                 "encoded incoming controls differ from the phase schedule", ("tile", tile),
                 ("first_mismatch", k), ("actual_len", actual.size()),
                 ("expected_len", expected.size()), ("actual", element_text(actual, k)),
                 ("expected", element_text(expected, k)), ("actual_window", window_text(actual, k)),
                 ("expected_window", window_text(expected, k)));
    return std::unexpected(ExchangeError::schedule("encoded incoming-control mismatch"));
  }

  // Each sender row must be covered exactly, without gaps, by the sends that
  // overlap it. The sends follow one another in program order, so their
  // starts and ends both ascend and the overlapping ones form one run.
  std::vector<std::pair<uint32_t, uint32_t>> windows;
  windows.reserve(schedule.sender_rows.len());
  for (const ScheduledSenderRow& row : schedule.sender_rows) {
    const auto first = std::partition_point(outgoing.begin(), outgoing.end(),
                                            [&](const auto& iv) { return iv.end <= row.start; });
    const auto last = std::partition_point(first, outgoing.end(),
                                           [&](const auto& iv) { return iv.start < row.end; });
    bool covered = first < last && first->start == row.start && std::prev(last)->end == row.end;
    for (auto it = first; covered && it + 1 < last; ++it) covered = it->end == (it + 1)->start;
    if (!covered) {
      return std::unexpected(ExchangeError::schedule("encoded sender interval mismatch"));
    }
    windows.emplace_back(row.start, row.end);
  }

  bool sorted_disjoint = true;
  for (size_t r = 0; r < windows.size() && sorted_disjoint; ++r) {
    sorted_disjoint = windows[r].first <= windows[r].second &&
                      (r + 1 == windows.size() || windows[r].second <= windows[r + 1].first);
  }
  for (const OutgoingInterval& interval : outgoing) {
    if (!inside_some_window(windows, sorted_disjoint, interval)) {
      return std::unexpected(ExchangeError::schedule("unexpected encoded outgoing interval"));
    }
  }
  return diagnostic;
}

}  // namespace tessel::exchange
