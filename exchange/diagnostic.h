#pragma once
// Reading encoded tile programs back: a decoder that turns instruction words
// into instructions with cycle spans, a text rendering of that decoding (the
// tile dump), and the check that a tile's encoded program does what its
// schedule says.
//
// The decoder classifies words in the fixed rule order of words.h, so it
// reads exactly what the encoder and the topology write. Every cycle and
// address sum is checked; an overflow is a Schedule error, never a wrap.
//
// Cost: decoding is one pass and one allocation for the instruction list (a
// send's controls are held inline). Validation sorts two control lists and
// walks the send intervals once per sender row by binary search.
#include <algorithm>
#include <array>
#include <cassert>
#include <compare>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "exchange/error.h"

namespace tessel::exchange {

struct TileProgramSchedule;

enum class IncomingControlStream : uint8_t { Pic, Xpic };

struct IncomingControl {
  IncomingControlStream stream = IncomingControlStream::Pic;
  uint32_t value = 0;
  friend auto operator<=>(const IncomingControl&, const IncomingControl&) = default;
};

enum class SendEncoding : uint8_t { Explicit, Offset, Pic, PicPair };

// The incoming controls a send word issues: none, one (Pic send) or two
// (PicPair: XPIC first, then PIC).
class SendControls {
 public:
  static constexpr size_t kCapacity = 2;

  SendControls() = default;
  SendControls(std::initializer_list<IncomingControl> controls) {
    for (const IncomingControl& c : controls) push_back(c);
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const IncomingControl& operator[](size_t i) const { return items_[i]; }
  const IncomingControl* begin() const { return items_.data(); }
  const IncomingControl* end() const { return items_.data() + size_; }
  void push_back(const IncomingControl& control) {
    assert(size_ < kCapacity);
    items_[size_++] = control;
  }

  friend bool operator==(const SendControls& a, const SendControls& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::array<IncomingControl, kCapacity> items_{};
  uint8_t size_ = 0;
};

// The operations a program can hold. PlanOperation is one of them.
struct PlanDelay {
  friend bool operator==(const PlanDelay&, const PlanDelay&) = default;
};
struct PlanSend {
  SendEncoding encoding = SendEncoding::Explicit;
  uint32_t words = 0;  // payload words
  uint32_t raw_operand = 0;
  std::optional<uint8_t> send_control;  // absent on a Pic send
  SendControls controls;
  friend bool operator==(const PlanSend&, const PlanSend&) = default;
};
struct PlanSync {
  uint8_t value = 0;
  friend bool operator==(const PlanSync&, const PlanSync&) = default;
};
struct PlanReturn {
  friend bool operator==(const PlanReturn&, const PlanReturn&) = default;
};
struct PlanUnknown {
  uint32_t word = 0;
  friend bool operator==(const PlanUnknown&, const PlanUnknown&) = default;
};

using PlanOperation =
    std::variant<PlanDelay, IncomingControl, PlanSend, PlanSync, PlanReturn, PlanUnknown>;

struct DecodedPlanInstruction {
  PlanOperation operation;
  std::optional<uint32_t> address;  // byte address of the first word, given a base
  uint32_t word_index = 0;          // index of the first word
  uint32_t start_cycle = 0;
  uint32_t end_cycle = 0;  // start + the instruction's cycles
  friend bool operator==(const DecodedPlanInstruction&, const DecodedPlanInstruction&) = default;
};

struct PlanProgramDiagnostic {
  std::vector<DecodedPlanInstruction> instructions;  // program order
  uint32_t horizon = 0;                              // end of the last instruction; 0 if none
  uint32_t word_count = 0;                           // words decoded

  // One line per instruction: "{location} cycles={start}..{end} {operation}\n"
  // with the location "0x{:05x}" (address) or "word+{}" (word index).
  std::string render() const;

  friend bool operator==(const PlanProgramDiagnostic&, const PlanProgramDiagnostic&) = default;
};

// Debugging forms used by render, e.g. "Sync(3)",
// "IncomingControl(IncomingControl { stream: Xpic, value: 0 })".
std::string debug_string(IncomingControlStream stream);
std::string debug_string(SendEncoding encoding);
std::string debug_string(const IncomingControl& control);
std::string debug_string(const PlanOperation& operation);

// Decodes `words`. With a base address every instruction also gets the byte
// address base + 4 * index. Errors (Schedule): "truncated SENDPICP payload",
// "diagnostic event horizon overflow", "diagnostic row address overflow".
std::expected<PlanProgramDiagnostic, ExchangeError> diagnose_plan_program(
    std::span<const uint32_t> words, std::optional<uint32_t> base_address);

// Checks that `words`, the encoded program of logical tile `tile`, matches
// `schedule`: the same horizon, no unknown word, the same incoming controls
// at the same cycles, and sends that exactly cover the scheduled sender rows.
// Returns the decoding. Errors (Schedule), in check order: a decoding error,
// "encoded tile horizon mismatch", "unknown encoded exchange instruction",
// "encoded incoming-control mismatch", "encoded sender interval mismatch",
// "unexpected encoded outgoing interval".
std::expected<PlanProgramDiagnostic, ExchangeError> validate_tile_program(
    uint16_t tile, const TileProgramSchedule& schedule, std::span<const uint32_t> words);

}  // namespace tessel::exchange
