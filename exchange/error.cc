#include "exchange/error.h"

namespace tessel::exchange {

std::string ExchangeError::display() const {
  switch (kind_) {
    case Kind::ValidationBudgetExceeded:
      return "exchange incremental-encoding work budget exhausted";
    case Kind::Tile:
      return fmt::format("logical tile {} is out of range", tile_index());
    case Kind::DuplicateTile:
      return "exchange endpoints must be distinct";
    case Kind::Count:
      return fmt::format("exchange count {} is outside 1..={}", a_, kMaxTransferWords);
    case Kind::ReceiverSet:
      return "invalid multicast receiver set";
    case Kind::Schedule:
      return fmt::format("exchange schedule is not encodable: {}", phrase());
    case Kind::PlanOffsetRange:
      return fmt::format(
          "exchange event offset {} cycles from the phase-entry sync exceeds the encodable "
          "maximum of {} cycles",
          a_, b_);
    case Kind::Address:
      return fmt::format("tile address 0x{:x} is not encodable", a_);
    case Kind::HostPacket:
      return "host exchange address or length is not encodable";
  }
  return {};
}

std::string ExchangeError::debug() const {
  switch (kind_) {
    case Kind::ValidationBudgetExceeded:
      return "ValidationBudgetExceeded";
    case Kind::Tile:
      return fmt::format("Tile({})", tile_index());
    case Kind::DuplicateTile:
      return "DuplicateTile";
    case Kind::Count:
      return fmt::format("Count({})", a_);
    case Kind::ReceiverSet:
      return "ReceiverSet";
    case Kind::Schedule:
      return fmt::format("Schedule({})", debug_quoted(phrase()));
    case Kind::PlanOffsetRange:
      return fmt::format("PlanOffsetRange {{ cycles: {}, maximum: {} }}", a_, b_);
    case Kind::Address:
      return fmt::format("Address({})", a_);
    case Kind::HostPacket:
      return "HostPacket";
  }
  return {};
}

std::string debug_quoted(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", c);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace tessel::exchange
