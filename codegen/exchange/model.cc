#include "codegen/exchange/model.h"

namespace tessel::codegen::exchange {

const char* width_name(ExchangeItemWidth width) {
  return width == ExchangeItemWidth::Paired64 ? "Paired64" : "Word32";
}

const char* activity_kind_name(ExchangeActivityKind kind) {
  switch (kind) {
    case ExchangeActivityKind::Send:
      return "Send";
    case ExchangeActivityKind::Receive:
      return "Receive";
    case ExchangeActivityKind::PartnerBusy:
      return "PartnerBusy";
  }
  return "?";
}

bool identical_output(const PhysicalExchangePhase& a, const PhysicalExchangePhase& b) {
  return a.phase == b.phase && a.horizon == b.horizon && a.active == b.active &&
         a.programs == b.programs && a.incoming_bases == b.incoming_bases &&
         a.tile_horizons == b.tile_horizons && a.activities == b.activities &&
         a.repeat_patches == b.repeat_patches;
}

namespace {
const char* role_name(OperandRole role) {
  switch (role) {
    case OperandRole::Lhs:
      return "Lhs";
    case OperandRole::Rhs:
      return "Rhs";
    case OperandRole::Output:
      return "Output";
  }
  return "?";
}
const char* order_name(BlockMajorOrder order) {
  return order == BlockMajorOrder::RowMajor ? "RowMajor" : "ColumnMajor";
}
}  // namespace

std::string StorageError::display() const {
  switch (kind_) {
    case Kind::WrongShard:
      return "view does not refer to the supplied shard";
    case Kind::InvalidView:
      return "view extents are not a valid subset of the shard";
    case Kind::MatrixRank:
      return "matrix storage requires a tensor of rank at least two";
    case Kind::AmpBlock:
      return fmt::format("AMP {} storage dimensions are incompatible with its block shape",
                         role_name(role_));
    case Kind::BlockMajorBlock:
      return fmt::format("block-major {} storage dimensions are incompatible with its block shape",
                         order_name(order_));
    case Kind::Overflow:
      return "tensor storage size overflowed";
  }
  return {};
}

std::string StorageError::debug() const {
  switch (kind_) {
    case Kind::WrongShard:
      return "WrongShard";
    case Kind::InvalidView:
      return "InvalidView";
    case Kind::MatrixRank:
      return "MatrixRank";
    case Kind::AmpBlock:
      return fmt::format("AmpBlock {{ role: {} }}", role_name(role_));
    case Kind::BlockMajorBlock:
      return fmt::format("BlockMajorBlock {{ order: {} }}", order_name(order_));
    case Kind::Overflow:
      return "Overflow";
  }
  return {};
}

std::string ExchangeLoweringError::display() const {
  switch (kind_) {
    case Kind::Exchange:
      return exchange_error().display();
    case Kind::Storage:
      return storage_error().display();
    case Kind::UnplacedShard:
      return "exchange refers to an unplaced shard";
    case Kind::InvalidDestination:
      return "exchange destination is not writable";
    case Kind::UnalignedPayload:
      return "exchange payload is not a nonempty whole number of words";
    case Kind::SizeMismatch:
      return "exchange source and destination byte counts differ";
    case Kind::Overflow:
      return "exchange address arithmetic overflowed";
    case Kind::IncompatibleRepeatRows:
      return "structured-repeat exchange rows have incompatible shapes";
    case Kind::DiagnosticTile:
      return fmt::format("exchange diagnostic refers to missing tile {}", tile());
    case Kind::InvalidSnapshot:
      return fmt::format("invalid exchange-schedule snapshot: {}", text());
    case Kind::Invariant:
      return fmt::format("exchange-schedule invariant failed: {}", text());
  }
  return {};
}

std::string ExchangeLoweringError::debug() const {
  using tessel::exchange::debug_quoted;
  switch (kind_) {
    case Kind::Exchange:
      return fmt::format("Exchange({})", exchange_error().debug());
    case Kind::Storage:
      return fmt::format("Storage({})", storage_error().debug());
    case Kind::UnplacedShard:
      return "UnplacedShard";
    case Kind::InvalidDestination:
      return "InvalidDestination";
    case Kind::UnalignedPayload:
      return "UnalignedPayload";
    case Kind::SizeMismatch:
      return "SizeMismatch";
    case Kind::Overflow:
      return "Overflow";
    case Kind::IncompatibleRepeatRows:
      return "IncompatibleRepeatRows";
    case Kind::DiagnosticTile:
      return fmt::format("DiagnosticTile({})", tile());
    case Kind::InvalidSnapshot:
      return fmt::format("InvalidSnapshot({})", debug_quoted(text()));
    case Kind::Invariant:
      return fmt::format("Invariant({})", debug_quoted(text()));
  }
  return {};
}

}  // namespace tessel::codegen::exchange
