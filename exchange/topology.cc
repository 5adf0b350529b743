#include "exchange/topology.h"

#include <fmt/ranges.h>

#include <algorithm>
#include <bitset>
#include <cstdlib>
#include <utility>

#include "support/checked.h"
#include "support/events.h"
#include "support/result.h"

namespace tessel::exchange {
namespace {

constexpr const char* kTarget = "tessel_exchange";
constexpr uint16_t kTarnTiles = 1472;

// Fields of a physical identifier x = row * 64 + column.
constexpr int32_t lane_bit(uint16_t x) {
  return x & 1;
}
constexpr int32_t pair_bit(uint16_t x) {
  return (x >> 1) & 1;
}
constexpr int32_t column_group(uint16_t x) {
  return (x >> 2) & 15;
}
constexpr int32_t half(uint16_t x) {
  return column_group(x) >> 3;
}
constexpr int32_t group_offset(uint16_t x) {
  return column_group(x) & 7;
}
constexpr int32_t mirrored_position(uint16_t x) {
  const int32_t group = column_group(x);
  return group < 8 ? group : 15 - group;
}
// The timing formula sees five row bits, receiver rows six.
constexpr int32_t timing_row(uint16_t x) {
  return (x >> 6) & 31;
}
constexpr uint32_t receiver_row(uint16_t x) {
  return (x >> 6) & 63u;
}

constexpr int32_t lane_code(uint16_t b) {
  const bool same_lane = half(b) == lane_bit(b);
  if (pair_bit(b) == 0) return same_lane ? 1 : 5;
  return same_lane ? 2 : 4;
}

// Fills a row front to back. Words past the ninth are counted but dropped,
// so a row that would overflow is detected where the order of checks says.
class RowWriter {
 public:
  void push(uint32_t word) {
    if (size_ < row_.size()) row_[size_] = word;
    ++size_;
  }
  // Delay words of at most kMaxDelayCycles each, longest first.
  void push_delays(uint64_t cycles) {
    while (cycles > 0) {
      const uint64_t n = std::min<uint64_t>(cycles, kMaxDelayCycles);
      push(delay_word(static_cast<uint32_t>(n)));
      cycles -= n;
    }
  }
  uint64_t size() const { return size_; }
  const Row& row() const { return row_; }

 private:
  Row row_{};
  uint64_t size_ = 0;
};

constexpr bool valid_count(uint32_t count) {
  return count >= 1 && count <= kMaxTransferWords;
}

// The receive-side words shared by point-to-point and multicast rows after
// the source-selecting XPIC: stream teardown, receive pointer and the wait
// for the payload to land.
void push_receive_tail(RowWriter& w, uint32_t pointer_value, uint16_t receiver_physical,
                       uint32_t count) {
  const uint32_t rr = receiver_row(receiver_physical);
  if (count <= 51) {
    w.push(xpic_word(0x640, count - 1));
    w.push(pic_word(pointer_value, 2 * rr - count + 51));
    w.push(delay_word(count + 5));
  } else {
    w.push(pic_word(pointer_value, 2 * rr + 51));
    w.push(xpic_word(0x640, count == 52 ? 0 : count - 53));
    w.push(delay_word(57));
  }
}

void push_sends(RowWriter& w, uint32_t count, uint32_t control) {
  w.push(explicit_word(std::min(count, kMaxExplicitWords), control));
  if (count > kMaxExplicitWords) w.push(offset_word(count - kMaxExplicitWords, control));
}

// Receivers must be in range and distinct.
bool valid_receivers(std::span<const uint16_t> receivers, uint64_t tile_count) {
  std::vector<bool> seen(tile_count, false);
  for (uint16_t r : receivers) {
    if (r >= tile_count || seen[r]) return false;
    seen[r] = true;
  }
  return true;
}

// A timed incoming control of a paired receiver row.
struct PairedEvent {
  enum class Kind : uint8_t { PairedSource, PairedTeardown, Format, PairedPointer };
  int64_t cycle;
  uint32_t word;
  Kind kind;
};

}  // namespace

std::expected<Topology, ExchangeError> Topology::create(std::vector<uint16_t> physical_tiles) {
  if (physical_tiles.empty()) return std::unexpected(ExchangeError::receiver_set());
  std::bitset<65536> seen;
  for (uint16_t id : physical_tiles) {
    if (seen.test(id)) return std::unexpected(ExchangeError::receiver_set());
    seen.set(id);
  }
  return Topology(std::move(physical_tiles));
}

uint16_t Topology::tarn_physical(uint16_t logical) {
  const uint32_t p = logical >> 1;
  const uint32_t q = p / 23;
  const uint32_t e = p % 23;
  const uint32_t row = (q % 2 == 0) ? e : 22 - e;
  const uint32_t column = 4 * (q >> 1) + 2 * (logical & 1u) + (q & 1);
  return static_cast<uint16_t>(row * 64 + column);
}

std::expected<Topology, ExchangeError> Topology::tarn_prefix(uint16_t n) {
  std::vector<uint16_t> ids(n);
  for (uint16_t logical = 0; logical < n; ++logical) ids[logical] = tarn_physical(logical);
  return create(std::move(ids));
}

const Topology& Topology::tarn() {
  static const Topology topology = tarn_prefix(kTarnTiles).value();
  return topology;
}

std::expected<uint16_t, ExchangeError> Topology::physical(uint16_t logical) const {
  if (logical >= physical_tiles_.size()) return std::unexpected(ExchangeError::tile(logical));
  return physical_tiles_[logical];
}

Direction Topology::direction(uint16_t a, uint16_t b) {
  const int32_t delta =
      6 * (mirrored_position(b) - mirrored_position(a) - (lane_bit(a) ^ half(a))) + lane_code(b);
  return Direction{static_cast<uint8_t>(delta > 0 ? 1 : 2), delta};
}

int32_t Topology::time_to_mux(uint16_t a, uint16_t b) {
  const int32_t delta = direction(a, b).delta;
  const int32_t k = half(a) == half(b) ? group_offset(a) + 1 : 16 - group_offset(a);
  return std::abs(delta) + 2 * (timing_row(a) - timing_row(b)) +
         4 * (mirrored_position(a) - mirrored_position(b)) + 8 * half(a) - column_group(b) + k - 31;
}

std::expected<uint16_t, ExchangeError> Topology::paired_logical(uint16_t logical) const {
  if (logical >= physical_tiles_.size()) return std::unexpected(ExchangeError::tile(logical));
  const uint16_t partner = physical_tiles_[logical] ^ 2;
  const auto it = std::find(physical_tiles_.begin(), physical_tiles_.end(), partner);
  if (it == physical_tiles_.end()) return std::unexpected(ExchangeError::tile(logical));
  return static_cast<uint16_t>(it - physical_tiles_.begin());
}

std::expected<AssembledPointToPoint, ExchangeError> Topology::point_to_point(
    uint16_t sender_logical, uint16_t receiver_logical, uint32_t count) const {
  if (!valid_count(count)) return std::unexpected(ExchangeError::count(count));
  if (sender_logical == receiver_logical) return std::unexpected(ExchangeError::duplicate_tile());
  const uint16_t s = TESSEL_TRY(physical(sender_logical));
  const uint16_t r = TESSEL_TRY(physical(receiver_logical));
  const int32_t h = time_to_mux(s, r);
  const uint32_t d = direction(s, r).code;
  if (h >= 113) return std::unexpected(ExchangeError::schedule("sender delay"));

  // The sender starts at cycle 112 - h, so the receiver's XPIC with its fixed
  // delay field of 112 switches the multiplexer exactly h cycles after that.
  RowWriter sender;
  sender.push(kSync3Word);
  if (h != 112) sender.push(delay_word(static_cast<uint32_t>(112 - h)));
  push_sends(sender, count, d);
  const int64_t tail = static_cast<int64_t>(h) - count - 106;
  if (tail > 0) sender.push(delay_word(static_cast<uint32_t>(tail)));
  sender.push(kReturnWord);

  RowWriter receiver;
  receiver.push(kSync3Word);
  receiver.push(xpic_word(0, 112));
  push_receive_tail(receiver, 0, r, count);
  receiver.push(kReturnWord);

  AssembledPointToPoint out;
  out.sender = sender.row();
  out.receiver.patch_index = 1;
  std::copy_n(receiver.row().begin(), out.receiver.words.size(), out.receiver.words.begin());

  TESSEL_EVENT(kTarget, "assembled point-to-point exchange", ("sender_logical", sender_logical),
               ("receiver_logical", receiver_logical), ("count", count));
  return out;
}

std::expected<AssembledMulticast, ExchangeError> Topology::multicast(
    uint16_t sender_logical, std::span<const uint16_t> receiver_logicals, uint32_t count,
    uint32_t schedule_offset) const {
  if (!valid_count(count)) return std::unexpected(ExchangeError::count(count));
  const uint16_t s = TESSEL_TRY(physical(sender_logical));
  if (receiver_logicals.empty() ||
      (receiver_logicals.size() == 1 && receiver_logicals[0] == sender_logical)) {
    return std::unexpected(ExchangeError::receiver_set());
  }
  if (!valid_receivers(receiver_logicals, tile_count())) {
    return std::unexpected(ExchangeError::receiver_set());
  }

  int32_t earliest_mux = time_to_mux(s, physical_tiles_[receiver_logicals[0]]);
  for (uint16_t r : receiver_logicals) {
    earliest_mux = std::min(earliest_mux, time_to_mux(s, physical_tiles_[r]));
  }
  // Start late enough that no receiver has to switch before the sync.
  const auto start = support::checked_add<uint32_t>(
      static_cast<uint32_t>(std::max<int32_t>(0, -earliest_mux)), schedule_offset);
  if (!start || *start > 4095) {
    return std::unexpected(ExchangeError::schedule("multicast start cycle"));
  }
  const uint32_t h = *start;
  const uint32_t control =
      receiver_logicals.size() == 1 ? direction(s, physical_tiles_[receiver_logicals[0]]).code : 3;

  RowWriter sender;
  sender.push(kSync3Word);
  if (h > 0) sender.push(delay_word(h));
  push_sends(sender, count, control);
  if (h + count < 6) sender.push(delay_word(6 - h - count));
  sender.push(kReturnWord);

  AssembledMulticast out;
  out.sender = sender.row();
  out.receivers.reserve(receiver_logicals.size());
  for (uint16_t r_logical : receiver_logicals) {
    const uint16_t r = physical_tiles_[r_logical];
    const int64_t k = static_cast<int64_t>(time_to_mux(s, r)) + h;
    if (k > 4095) return std::unexpected(ExchangeError::schedule("multicast receive cycle"));
    RowWriter receiver;
    receiver.push(kSync3Word);
    receiver.push(xpic_word(s & 0x1fffu, static_cast<uint32_t>(k)));
    push_receive_tail(receiver, 0x14000, r, count);
    receiver.push(kReturnWord);
    out.receivers.push_back(receiver.row());
  }

  TESSEL_EVENT(kTarget, "assembled multicast exchange", ("sender_logical", sender_logical),
               ("receiver_logical", receiver_logicals), ("count", count),
               ("schedule_offset", schedule_offset));
  return out;
}

std::expected<AssembledMulticast, ExchangeError> Topology::paired_multicast(
    uint16_t sender_logical, std::span<const uint16_t> receiver_logicals, uint32_t count) const {
  if (!valid_count(count) || count < kMaxExplicitWords) {
    return std::unexpected(ExchangeError::count(count));
  }
  if (receiver_logicals.empty() || receiver_logicals.size() % 2 != 0) {
    return std::unexpected(ExchangeError::receiver_set());
  }
  std::vector<uint16_t> set(receiver_logicals.begin(), receiver_logicals.end());
  std::sort(set.begin(), set.end());
  const auto contains = [&set](uint16_t logical) {
    return std::binary_search(set.begin(), set.end(), logical);
  };
  if (std::adjacent_find(set.begin(), set.end()) != set.end() || contains(sender_logical)) {
    return std::unexpected(ExchangeError::receiver_set());
  }
  const uint16_t s = TESSEL_TRY(physical(sender_logical));
  const auto sender_partner = paired_logical(sender_logical);
  if (!sender_partner) return std::unexpected(ExchangeError::tile(sender_logical));
  if (contains(*sender_partner)) return std::unexpected(ExchangeError::receiver_set());
  for (uint16_t r : receiver_logicals) {
    const auto partner = paired_logical(r);
    if (!partner || !contains(*partner)) return std::unexpected(ExchangeError::receiver_set());
  }

  AssembledMulticast out = TESSEL_TRY(multicast(sender_logical, receiver_logicals, count, 0));
  const uint32_t control =
      receiver_logicals.size() > 2
          ? 7
          : kPairedSendControlBit + direction(s, physical_tiles_[receiver_logicals[0]]).code;
  TESSEL_TRY(set_sender_control(out.sender, control));

  int32_t earliest = INT32_MAX;
  for (uint16_t r_logical : receiver_logicals) {
    const uint16_t r = physical_tiles_[r_logical];
    earliest = std::min(earliest, std::max(time_to_mux(s, r), time_to_mux(s, r ^ 2)));
  }
  out.receivers.clear();
  for (uint16_t r_logical : receiver_logicals) {
    out.receivers.push_back(
        TESSEL_TRY(paired_receiver_row(sender_logical, r_logical, count, earliest)));
  }
  return out;
}

std::expected<Row, ExchangeError> Topology::paired_receiver_row(uint16_t sender_logical,
                                                                uint16_t receiver_logical,
                                                                uint32_t count,
                                                                int32_t earliest) const {
  const uint16_t s = TESSEL_TRY(physical(sender_logical));
  const uint16_t r = TESSEL_TRY(physical(receiver_logical));
  const uint16_t r_partner = r ^ 2;
  const int32_t mux = time_to_mux(s, r);
  const int32_t partner_mux = time_to_mux(s, r_partner);

  // Shift every receiver of the transfer so that the earliest of them still
  // switches at cycle 1 or later.
  const int64_t shift = std::max<int64_t>(0, 1 - static_cast<int64_t>(earliest));
  const int64_t p = std::max(mux, partner_mux) + shift;
  if (p < 0) return std::unexpected(ExchangeError::schedule("paired source timing"));

  // The pair's source is selected by whichever of the two tiles the stream
  // reaches first; the other one only formats and points.
  std::array<PairedEvent, 5> events;
  size_t n = 0;
  if (mux < partner_mux) {
    events[n++] = {p, 0x64002000u | ((s & 0x1fffu) ^ (r & 2u)), PairedEvent::Kind::PairedSource};
    events[n++] = {p + count, 0x64002640u, PairedEvent::Kind::PairedTeardown};
  }
  const int64_t u = p + 2 * static_cast<int64_t>(receiver_row(r)) + 51;
  events[n++] = {u, 0x60040000u | direction(s, r).code, PairedEvent::Kind::Format};
  events[n++] = {u + 2, 0x60000000u, PairedEvent::Kind::PairedPointer};
  events[n++] = {u + count, 0x60040000u, PairedEvent::Kind::Format};

  // Stable insertion sort by cycle: at most five events, no allocation.
  for (size_t i = 1; i < n; ++i) {
    for (size_t j = i; j > 0 && events[j - 1].cycle > events[j].cycle; --j) {
      std::swap(events[j - 1], events[j]);
    }
  }
  for (size_t i = 1; i < n; ++i) {
    if (events[i - 1].cycle == events[i].cycle) {
      return std::unexpected(ExchangeError::schedule("paired receive coincident controls"));
    }
  }
  const int64_t last = events[n - 1].cycle;
  if (last > 0xfffffff8) {
    return std::unexpected(ExchangeError::schedule("paired receive horizon overflow"));
  }
  const int64_t horizon = last + 7;

  RowWriter w;
  w.push(kSync3Word);
  int64_t cursor = 0;
  for (size_t i = 0; i < n; ++i) {
    const int64_t c = events[i].cycle;
    const uint32_t word = events[i].word;
    if (c < cursor) return std::unexpected(ExchangeError::schedule("receive event order"));
    if (c == cursor) {
      return std::unexpected(ExchangeError::schedule("receive control issue interval"));
    }
    const WordKind kind = classify_word(word);
    if (!is_incoming_control(kind)) {
      return std::unexpected(ExchangeError::schedule("receive timed event"));
    }
    const bool pic = kind == WordKind::Pic;
    // The control's own delay field absorbs up to this many cycles.
    const int64_t absorbed = pic ? kMaxPicDelayField + 1 : kMaxXpicDelayField + 1;
    if (c - cursor > absorbed) {
      w.push_delays(static_cast<uint64_t>(c - absorbed - cursor));
      cursor = c - absorbed;
    }
    const int64_t field = c - cursor - 1;
    if (pic) {
      if (field > kMaxPicDelayField) {
        return std::unexpected(ExchangeError::schedule("PIC delay advance overflow"));
      }
      w.push(with_pic_delay_field(word, static_cast<uint32_t>(field)));
    } else {
      if (field > kMaxXpicDelayField) {
        return std::unexpected(ExchangeError::schedule("XPIC delay advance overflow"));
      }
      w.push(with_xpic_delay_field(word, static_cast<uint32_t>(field)));
    }
    cursor = c;
  }
  w.push_delays(static_cast<uint64_t>(horizon - cursor));
  w.push(kReturnWord);
  if (w.size() > Row{}.size()) {
    return std::unexpected(ExchangeError::schedule("paired receive row capacity"));
  }
  return w.row();
}

std::expected<void, ExchangeError> set_sender_control(Row& row, uint32_t control) {
  if (control < 1 || control > 7) return std::unexpected(ExchangeError::schedule("send control"));
  Row patched = row;
  bool any = false;
  for (uint32_t& w : patched) {
    const bool explicit_send = (w & 0xf8000000u) == 0x78000000u;
    const bool offset_send = (w & 0xf8100000u) == 0x70000000u;
    const bool pair_send = w >= 0xf0000000u && (w & 3u) != 0;
    if (explicit_send || offset_send || pair_send) {
      w = (w & ~7u) | control;
      any = true;
    }
  }
  if (!any) return std::unexpected(ExchangeError::schedule("sender payload"));
  row = patched;
  return {};
}

std::expected<void, ExchangeError> patch_sender_address(Row& row, uint32_t address) {
  const auto it = std::find_if(row.begin(), row.end(),
                               [](uint32_t w) { return (w & 0xf8000000u) == 0x78000000u; });
  if (it == row.end()) return std::unexpected(ExchangeError::address(address));
  const uint32_t unit = (send_control(*it) & kPairedSendControlBit) != 0 ? 8 : 4;
  if (address % unit != 0 || address / unit > 0x3ffff) {
    return std::unexpected(ExchangeError::address(address));
  }
  *it = with_address_operand(*it, address / unit);
  return {};
}

std::expected<Row, ExchangeError> finalize_point_receiver(const PointReceiverTemplate& receiver,
                                                          uint16_t sender_physical) {
  if (receiver.patch_index >= receiver.words.size() || sender_physical >= 8192) {
    return std::unexpected(ExchangeError::schedule("point receiver patch index"));
  }
  Row row{};
  std::copy(receiver.words.begin(), receiver.words.end(), row.begin());
  uint32_t& w = row[receiver.patch_index];
  w = (w & ~0x1fffu) | sender_physical;
  return row;
}

}  // namespace tessel::exchange
