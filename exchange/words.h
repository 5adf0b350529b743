#pragma once
// Exchange instruction words: the fixed 32-bit layouts every tile program is
// made of, the shorthands that build them and the classifier that reads them
// back. Everything here is constexpr and allocation-free.
//
// The classifier's rule order is part of the format. Several layouts overlap
// as bit patterns (a PicPair first word would also pass later tests), so the
// topology, the encoder and the decoder must all classify through
// `classify_word` and never test a kind on its own out of order.
//
// Field helpers take a word that is already known to be of the kind they
// name; on any other word their result is meaningless but harmless.
#include <array>
#include <cstdint>

namespace tessel::exchange {

// A program fragment as assembled for one transfer: Sync 3 first, Return
// last, zeros after the Return.
using Row = std::array<uint32_t, 9>;

inline constexpr uint32_t kSync3Word = 0x41800003;
inline constexpr uint32_t kReturnWord = 0x43a00000;

// Longest wait one Delay word can express.
inline constexpr uint32_t kMaxDelayCycles = 0x80000;
// Longest message of an Explicit (initial) send word and of an Offset word.
inline constexpr uint32_t kMaxExplicitWords = 64;
inline constexpr uint32_t kMaxOffsetWords = 4096;
// Largest delay field of an incoming control; a control absorbs field + 1
// cycles of waiting before it takes effect.
inline constexpr uint32_t kMaxPicDelayField = 127;
inline constexpr uint32_t kMaxXpicDelayField = 4095;

// ---------------------------------------------------------------------------
// Shorthands. Arguments outside the stated ranges produce garbage words; the
// callers check ranges first because the checks decide which error wins.

// Waits `cycles` cycles, 1 <= cycles <= 0x80000.
constexpr uint32_t delay_word(uint32_t cycles) {
  return 0x40a00000u | (cycles - 1);
}

// Incoming control on the XPIC stream: value bits 0-13, delay field 0..4095.
constexpr uint32_t xpic_word(uint32_t value, uint32_t delay_field) {
  return 0x64000000u | (delay_field << 14) | value;
}

// Incoming control on the PIC stream: value bits 0-18; the delay field is
// taken modulo 128, which is how receiver rows fold the tile row in.
constexpr uint32_t pic_word(uint32_t value, uint32_t delay_field) {
  return 0x60000000u | ((delay_field % 128) << 19) | value;
}

// Initial send of 1..64 words with send control `control` and operand 0.
constexpr uint32_t explicit_word(uint32_t words, uint32_t control) {
  return 0x78000000u | ((words - 1) << 21) | control;
}

// Continuation send of 1..4096 words; the 12-bit count is split into a low
// half in bits 21-26 and a high half in bits 14-19.
constexpr uint32_t offset_word(uint32_t words, uint32_t control) {
  const uint32_t k = words - 1;
  return 0x70000000u | ((k & 0x3f) << 21) | ((k << 8) & 0xfc000u) | control;
}

constexpr uint32_t sync_word(uint32_t value) {
  return 0x41800000u | (value & 0xff);
}

// Send of 1..64 words that also issues one incoming control; `operand` is
// built by pic_send_operand_for_pic / pic_send_operand_for_xpic.
constexpr uint32_t pic_send_word(uint32_t words, uint32_t operand) {
  return 0x70100000u | ((words - 1) << 21) | operand;
}
constexpr uint32_t pic_send_operand_for_pic(uint32_t pic_value) {
  return (pic_value & 0x7ffff) | (1u << 19);
}
constexpr uint32_t pic_send_operand_for_xpic(uint32_t xpic_value) {
  return (xpic_value & 0x1fff) | (((xpic_value >> 13) & 1) << 18);
}

// The two words of a PicPair ("SENDPICP") send that issues a PIC and an XPIC
// control at once. The control arguments may be full control words or bare
// values: only their value bits are used.
constexpr uint32_t pic_pair_first_word(uint32_t pic_control, uint32_t words, uint32_t operand,
                                       uint32_t control) {
  return 0xf0000000u | ((pic_control << 9) & 0x8000000u) | ((words - 1) << 21) | (operand << 3) |
         control;
}
constexpr uint32_t pic_pair_second_word(uint32_t xpic_control, uint32_t pic_control) {
  return (xpic_control << 18) | (pic_control & 0x3ffff);
}

// ---------------------------------------------------------------------------
// Classification, in the fixed rule order.

enum class WordKind : uint8_t {
  Return,
  Delay,
  Xpic,      // incoming control, XPIC stream
  Pic,       // incoming control, PIC stream
  PicPair,   // send, two words
  SendPic,   // send carrying one incoming control
  Explicit,  // initial send
  Offset,    // continuation send
  Sync,
  Unknown,
};

constexpr WordKind classify_word(uint32_t w) {
  if (w == kReturnWord) return WordKind::Return;
  if (w >= 0x40a00000u && w <= 0x40a7ffffu) return WordKind::Delay;
  if (w >= 0x64000000u && w <= 0x67ffffffu) return WordKind::Xpic;
  if (w >= 0x60000000u && w <= 0x63ffffffu) return WordKind::Pic;
  if (w >= 0xf0000000u) return WordKind::PicPair;
  if ((w & 0xf8100000u) == 0x70100000u) return WordKind::SendPic;
  if (w >= 0x78000000u && w <= 0x7fffffffu) return WordKind::Explicit;
  if ((w & 0xf8100000u) == 0x70000000u) return WordKind::Offset;
  if (w >= 0x41800000u && w <= 0x418000ffu) return WordKind::Sync;
  return WordKind::Unknown;
}

constexpr bool is_incoming_control(WordKind kind) {
  return kind == WordKind::Xpic || kind == WordKind::Pic;
}
constexpr bool is_send(WordKind kind) {
  return kind == WordKind::PicPair || kind == WordKind::SendPic || kind == WordKind::Explicit ||
         kind == WordKind::Offset;
}
// Number of words an instruction occupies in the program (a PicPair is two).
constexpr uint32_t instruction_words(WordKind kind) {
  return kind == WordKind::PicPair ? 2 : 1;
}

// ---------------------------------------------------------------------------
// Fields.

// Delay: count field and the cycles it waits.
constexpr uint32_t delay_field(uint32_t w) {
  return w & 0x7ffff;
}

// Incoming controls.
constexpr uint32_t xpic_value(uint32_t w) {
  return w & 0x3fff;
}
constexpr uint32_t xpic_delay_field(uint32_t w) {
  return (w >> 14) & 0xfff;
}
constexpr uint32_t pic_value(uint32_t w) {
  return w & 0x7ffff;
}
constexpr uint32_t pic_delay_field(uint32_t w) {
  return (w >> 19) & 0x7f;
}
constexpr uint32_t with_xpic_delay_field(uint32_t w, uint32_t field) {
  return (w & ~(0xfffu << 14)) | ((field & 0xfff) << 14);
}
constexpr uint32_t with_pic_delay_field(uint32_t w, uint32_t field) {
  return (w & ~(0x7fu << 19)) | ((field & 0x7f) << 19);
}

// Sends. Payload words of an Explicit, SendPic or PicPair (first) word.
constexpr uint32_t short_send_word_count(uint32_t w) {
  return ((w >> 21) & 0x3f) + 1;
}
// Payload words of an Offset word: 12-bit count, low six bits in 21-26, high
// six bits in 14-19.
constexpr uint32_t offset_word_count(uint32_t w) {
  return ((w >> 21) & 0x3f) + ((w >> 8) & 0xfc0) + 1;
}
// Payload words of any send word (chooses the Offset layout by classifying).
constexpr uint32_t send_word_count(uint32_t w) {
  return classify_word(w) == WordKind::Offset ? offset_word_count(w) : short_send_word_count(w);
}
constexpr uint32_t with_short_send_word_count(uint32_t w, uint32_t words) {
  return (w & ~(0x3fu << 21)) | (((words - 1) & 0x3f) << 21);
}

// Send control (bits 0-2) of an Explicit, Offset or PicPair first word:
// 1/2 one direction, 3 both, +4 paired 64-bit; 0 on a receiver's PicPair.
constexpr uint32_t send_control(uint32_t w) {
  return w & 7;
}
inline constexpr uint32_t kPairedSendControlBit = 4;

// 18-bit address operand of an Explicit or PicPair first word, in units of
// 4 bytes (8 for a paired send).
constexpr uint32_t address_operand(uint32_t w) {
  return (w >> 3) & 0x3ffff;
}
constexpr uint32_t with_address_operand(uint32_t w, uint32_t operand) {
  return (w & ~(0x3ffffu << 3)) | ((operand & 0x3ffff) << 3);
}
// 11-bit operand of an Offset word.
constexpr uint32_t offset_operand(uint32_t w) {
  return (w >> 3) & 0x7ff;
}

// SendPic: raw operand, and the incoming control it carries.
constexpr uint32_t pic_send_raw_operand(uint32_t w) {
  return w & 0x3ffff;
}
constexpr bool pic_send_carries_pic(uint32_t w) {
  return (w & (1u << 19)) != 0;
}
// PIC value (bits 0-18) when pic_send_carries_pic, else the XPIC value (bits
// 0-12 with bit 18 of the word moved to bit 13).
constexpr uint32_t pic_send_control_value(uint32_t w) {
  return pic_send_carries_pic(w) ? (w & 0x7ffff) : ((w & 0x1fff) | (((w >> 18) & 1) << 13));
}

// PicPair: the two controls carried by a first word and its second word.
constexpr uint32_t pic_pair_xpic_value(uint32_t second) {
  return second >> 18;
}
constexpr uint32_t pic_pair_pic_value(uint32_t first, uint32_t second) {
  return (second & 0x3ffff) | (((first >> 27) & 1) << 18);
}

constexpr uint32_t sync_value(uint32_t w) {
  return w & 0xff;
}

// Cycles an instruction takes, starting from the cycle it issues at.
constexpr uint32_t word_cycles(uint32_t w) {
  switch (classify_word(w)) {
    case WordKind::Delay:
      return delay_field(w) + 1;
    case WordKind::Xpic:
      return xpic_delay_field(w) + 1;
    case WordKind::Pic:
      return pic_delay_field(w) + 1;
    case WordKind::PicPair:
    case WordKind::SendPic:
    case WordKind::Explicit:
      return short_send_word_count(w);
    case WordKind::Offset:
      return offset_word_count(w);
    case WordKind::Return:
    case WordKind::Sync:
    case WordKind::Unknown:
      return 0;
  }
  return 0;
}

}  // namespace tessel::exchange
