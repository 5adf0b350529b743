#pragma once
// The records every part of the scheduler and the benchmark passes around:
// one phase's transfers (the input of scheduling), the lowered per-tile
// programs of a phase (its output), and the scheduler's error value.
#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "exchange/error.h"

namespace tessel::codegen::exchange {

using tessel::exchange::ExchangeError;

// Stored in one byte; the value is also the exponent of the alignment mask.
enum class ExchangeItemWidth : uint8_t { Word32 = 0, Paired64 = 1 };

// 3 for Word32, 7 for Paired64.
constexpr uint32_t alignment_mask(ExchangeItemWidth width) {
  return 4u * static_cast<uint32_t>(width) + 3u;
}
const char* width_name(ExchangeItemWidth width);

struct ExchangeScheduleDestination {
  uint16_t tile = 0;
  uint32_t address = 0;
  friend bool operator==(const ExchangeScheduleDestination&,
                         const ExchangeScheduleDestination&) = default;
};

struct ExchangeScheduleTransfer {
  uint16_t source = 0;
  std::vector<uint32_t> source_addresses;  // one per Repeat iteration
  std::vector<ExchangeScheduleDestination> destinations;
  uint32_t words = 0;  // 32-bit words, also for Paired64
  ExchangeItemWidth width = ExchangeItemWidth::Word32;
  friend bool operator==(const ExchangeScheduleTransfer&,
                         const ExchangeScheduleTransfer&) = default;
};

struct ExchangeScheduleProblem {
  uint32_t phase = 0;
  std::vector<ExchangeScheduleTransfer> transfers;
  friend bool operator==(const ExchangeScheduleProblem&, const ExchangeScheduleProblem&) = default;
};

class ExchangeLoweringError;

struct ExchangeScheduleSnapshot {
  uint32_t schema_version = 0;
  uint16_t tile_count = 0;
  std::vector<ExchangeScheduleProblem> phases;

  // Whole-snapshot validation: schema, tile count, distinct phase ids and every
  // per-transfer rule; the first failure is returned. Defined in pending.cc.
  std::expected<void, ExchangeLoweringError> validate() const;
  friend bool operator==(const ExchangeScheduleSnapshot&,
                         const ExchangeScheduleSnapshot&) = default;
};

enum class ExchangeActivityKind : uint8_t { Send = 0, Receive = 1, PartnerBusy = 2 };
const char* activity_kind_name(ExchangeActivityKind kind);

struct ExchangeActivity {
  uint32_t transfer = 0;
  uint32_t start = 0;
  uint32_t end = 0;         // exclusive
  uint32_t memory_end = 0;  // >= end
  uint32_t address = 0;
  uint32_t words = 0;
  uint16_t destinations = 0;
  ExchangeActivityKind kind = ExchangeActivityKind::Send;
  bool paired = false;
  friend bool operator==(const ExchangeActivity&, const ExchangeActivity&) = default;
};

struct ExchangeRowPatch {
  uint32_t position = 0;
  std::vector<uint32_t> words;
  friend bool operator==(const ExchangeRowPatch&, const ExchangeRowPatch&) = default;
};

// Every per-tile sequence has exactly tile_count entries.
struct PhysicalExchangePhase {
  std::vector<bool> active;
  std::vector<std::vector<uint32_t>> programs;
  std::vector<uint32_t> incoming_bases;
  std::vector<uint32_t> tile_horizons;
  std::vector<std::vector<ExchangeActivity>> activities;
  std::vector<std::vector<ExchangeRowPatch>> repeat_patches;
  uint32_t phase = 0;
  uint32_t horizon = 0;
  uint64_t neighborhood_improvements = 0;
  uint32_t initial_horizon = 0;
  uint32_t endpoint_lower_bound = 0;
  bool reused = false;
  friend bool operator==(const PhysicalExchangePhase&, const PhysicalExchangePhase&) = default;
};

// The benchmark's notion of two runs agreeing: the figures reported beside the
// schedule (improvements, initial horizon, bound, reuse) are left out.
bool identical_output(const PhysicalExchangePhase& a, const PhysicalExchangePhase& b);

// Payload types of the wider code generator's storage errors.
enum class OperandRole : uint8_t { Lhs, Rhs, Output };
enum class BlockMajorOrder : uint8_t { RowMajor, ColumnMajor };

class StorageError {
 public:
  enum class Kind : uint8_t {
    WrongShard,
    InvalidView,
    MatrixRank,
    AmpBlock,
    BlockMajorBlock,
    Overflow
  };
  static StorageError wrong_shard() { return StorageError(Kind::WrongShard); }
  static StorageError invalid_view() { return StorageError(Kind::InvalidView); }
  static StorageError matrix_rank() { return StorageError(Kind::MatrixRank); }
  static StorageError amp_block(OperandRole role) {
    StorageError e(Kind::AmpBlock);
    e.role_ = role;
    return e;
  }
  static StorageError block_major_block(BlockMajorOrder order) {
    StorageError e(Kind::BlockMajorBlock);
    e.order_ = order;
    return e;
  }
  static StorageError overflow() { return StorageError(Kind::Overflow); }

  Kind kind() const { return kind_; }
  std::string display() const;
  std::string debug() const;
  friend bool operator==(const StorageError&, const StorageError&) = default;

 private:
  explicit StorageError(Kind kind) : kind_(kind) {}
  Kind kind_;
  OperandRole role_ = OperandRole::Lhs;
  BlockMajorOrder order_ = BlockMajorOrder::RowMajor;
};

class ExchangeLoweringError {
 public:
  enum class Kind : uint8_t {
    Exchange,
    Storage,
    UnplacedShard,
    InvalidDestination,
    UnalignedPayload,
    SizeMismatch,
    Overflow,
    IncompatibleRepeatRows,
    DiagnosticTile,
    InvalidSnapshot,
    Invariant,
  };

  // Implicit: exchange-library errors travel upwards as the Exchange variant.
  ExchangeLoweringError(ExchangeError error) : kind_(Kind::Exchange), payload_(error) {}
  ExchangeLoweringError(StorageError error) : kind_(Kind::Storage), payload_(error) {}

  static ExchangeLoweringError unplaced_shard() {
    return ExchangeLoweringError(Kind::UnplacedShard);
  }
  static ExchangeLoweringError invalid_destination() {
    return ExchangeLoweringError(Kind::InvalidDestination);
  }
  static ExchangeLoweringError unaligned_payload() {
    return ExchangeLoweringError(Kind::UnalignedPayload);
  }
  static ExchangeLoweringError size_mismatch() { return ExchangeLoweringError(Kind::SizeMismatch); }
  static ExchangeLoweringError overflow() { return ExchangeLoweringError(Kind::Overflow); }
  static ExchangeLoweringError incompatible_repeat_rows() {
    return ExchangeLoweringError(Kind::IncompatibleRepeatRows);
  }
  static ExchangeLoweringError diagnostic_tile(uint16_t tile) {
    ExchangeLoweringError e(Kind::DiagnosticTile);
    e.payload_ = tile;
    return e;
  }
  static ExchangeLoweringError invalid_snapshot(std::string text) {
    ExchangeLoweringError e(Kind::InvalidSnapshot);
    e.payload_ = std::move(text);
    return e;
  }
  static ExchangeLoweringError invariant(std::string text) {
    ExchangeLoweringError e(Kind::Invariant);
    e.payload_ = std::move(text);
    return e;
  }

  Kind kind() const { return kind_; }
  // Payload accessors; valid only for the matching kind.
  const ExchangeError& exchange_error() const { return std::get<ExchangeError>(payload_); }
  const StorageError& storage_error() const { return std::get<StorageError>(payload_); }
  uint16_t tile() const { return std::get<uint16_t>(payload_); }
  const std::string& text() const { return std::get<std::string>(payload_); }

  std::string display() const;
  std::string debug() const;
  friend bool operator==(const ExchangeLoweringError&, const ExchangeLoweringError&) = default;

 private:
  explicit ExchangeLoweringError(Kind kind) : kind_(kind) {}
  Kind kind_;
  std::variant<std::monostate, ExchangeError, StorageError, uint16_t, std::string> payload_;
};

template <typename T>
using LoweringResult = std::expected<T, ExchangeLoweringError>;

}  // namespace tessel::codegen::exchange

template <>
struct fmt::formatter<tessel::codegen::exchange::ExchangeLoweringError>
    : fmt::formatter<std::string_view> {
  auto format(const tessel::codegen::exchange::ExchangeLoweringError& e,
              fmt::format_context& ctx) const {
    return fmt::formatter<std::string_view>::format(e.display(), ctx);
  }
};
