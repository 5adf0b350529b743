#pragma once
// ExchangeError: the one error value of the exchange program library
// (topology, timing, builder, encoder, decoder). Small and copyable: a tag
// plus at most two numbers or a pointer to a fixed phrase.
#include <fmt/format.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tessel::exchange {

inline constexpr uint32_t kMaxTransferWords = 4148;

class ExchangeError {
 public:
  enum class Kind : uint8_t {
    ValidationBudgetExceeded,
    Tile,
    DuplicateTile,
    Count,
    ReceiverSet,
    Schedule,
    PlanOffsetRange,
    Address,
    HostPacket,
  };

  static constexpr ExchangeError validation_budget_exceeded() {
    return ExchangeError(Kind::ValidationBudgetExceeded);
  }
  static constexpr ExchangeError tile(uint16_t logical) {
    return ExchangeError(Kind::Tile, logical);
  }
  static constexpr ExchangeError duplicate_tile() { return ExchangeError(Kind::DuplicateTile); }
  static constexpr ExchangeError count(uint32_t words) { return ExchangeError(Kind::Count, words); }
  static constexpr ExchangeError receiver_set() { return ExchangeError(Kind::ReceiverSet); }
  // `phrase` must be a string literal: the error keeps only the pointer.
  static constexpr ExchangeError schedule(const char* phrase) {
    ExchangeError e(Kind::Schedule);
    e.phrase_ = phrase;
    return e;
  }
  static constexpr ExchangeError plan_offset_range(uint32_t cycles, uint32_t maximum) {
    return ExchangeError(Kind::PlanOffsetRange, cycles, maximum);
  }
  static constexpr ExchangeError address(uint32_t byte_address) {
    return ExchangeError(Kind::Address, byte_address);
  }
  static constexpr ExchangeError host_packet() { return ExchangeError(Kind::HostPacket); }

  constexpr Kind kind() const { return kind_; }
  // Payloads; meaningful only for the matching kind.
  constexpr uint16_t tile_index() const { return static_cast<uint16_t>(a_); }
  constexpr uint32_t count_value() const { return a_; }
  constexpr uint32_t address_value() const { return a_; }
  constexpr uint32_t cycles() const { return a_; }
  constexpr uint32_t maximum() const { return b_; }
  constexpr std::string_view phrase() const { return phrase_ ? phrase_ : ""; }

  // True for the Schedule error with exactly this phrase.
  bool is_schedule(std::string_view phrase) const {
    return kind_ == Kind::Schedule && this->phrase() == phrase;
  }

  std::string display() const;
  std::string debug() const;

  friend bool operator==(const ExchangeError& x, const ExchangeError& y) {
    return x.kind_ == y.kind_ && x.a_ == y.a_ && x.b_ == y.b_ && x.phrase() == y.phrase();
  }

 private:
  constexpr explicit ExchangeError(Kind kind, uint32_t a = 0, uint32_t b = 0)
      : kind_(kind), a_(a), b_(b) {}

  Kind kind_;
  uint32_t a_ = 0;
  uint32_t b_ = 0;
  const char* phrase_ = nullptr;
};

// Debug quoting of a text: "..." with \" \\ \n \r \t and \u{..}
// escapes for other control characters.
std::string debug_quoted(std::string_view text);

}  // namespace tessel::exchange

template <>
struct fmt::formatter<tessel::exchange::ExchangeError> : fmt::formatter<std::string_view> {
  auto format(const tessel::exchange::ExchangeError& e, fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(e.display(), ctx);
  }
};
