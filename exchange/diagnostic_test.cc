#include "exchange/diagnostic.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "exchange/tile_schedule.h"
#include "exchange/timing.h"
#include "exchange/words.h"
#include "support/events.h"

namespace tessel::exchange {
namespace {

using Words = std::vector<uint32_t>;

PlanProgramDiagnostic decode(const Words& words, std::optional<uint32_t> base = std::nullopt) {
  auto result = diagnose_plan_program(words, base);
  EXPECT_TRUE(result.has_value()) << result.error().debug();
  return result.value_or(PlanProgramDiagnostic{});
}

std::string decode_error(const Words& words, std::optional<uint32_t> base = std::nullopt) {
  auto result = diagnose_plan_program(words, base);
  if (result) return "decoded";
  return std::string(result.error().phrase());
}

TEST(DiagnosePlanProgram, EmptyProgramHasNoInstructions) {
  const PlanProgramDiagnostic d = decode({});
  EXPECT_TRUE(d.instructions.empty());
  EXPECT_EQ(d.horizon, 0u);
  EXPECT_EQ(d.word_count, 0u);
  EXPECT_EQ(d.render(), "");
}

// One word (or one PicPair) decoded alone: its rendered line carries the
// operation with every field and its cycle span.
TEST(DiagnosePlanProgram, DecodesEachWordKind) {
  struct Case {
    Words words;
    const char* line;
  };
  const Case cases[] = {
      {{0x43a00000}, "word+0 cycles=0..0 Return\n"},
      {{0x40a00000}, "word+0 cycles=0..1 Delay\n"},
      {{0x40a7ffff}, "word+0 cycles=0..524288 Delay\n"},
      {{0x641c0000},
       "word+0 cycles=0..113 IncomingControl(IncomingControl { stream: Xpic, value: 0 })\n"},
      {{0x61914000},
       "word+0 cycles=0..51 IncomingControl(IncomingControl { stream: Pic, value: 81920 })\n"},
      {{0xf0000000, 0x00004000},
       "word+0 cycles=0..1 Send { encoding: PicPair, words: 1, raw_operand: 0, send_control: "
       "Some(0), "
       "controls: [IncomingControl { stream: Xpic, value: 0 }, IncomingControl { stream: Pic, "
       "value: 16384 }] }\n"},
      // Bit 27 of the first word is bit 18 of the PIC value; operand and
      // control sit in bits 3-20 and 0-2; the XPIC value in bits 18-31.
      {{0xf8200015, 0x00140003},
       "word+0 cycles=0..2 Send { encoding: PicPair, words: 2, raw_operand: 2, send_control: "
       "Some(5), "
       "controls: [IncomingControl { stream: Xpic, value: 5 }, IncomingControl { stream: Pic, "
       "value: 262147 }] }\n"},
      {{0x703c0001},
       "word+0 cycles=0..2 Send { encoding: Pic, words: 2, raw_operand: 1, send_control: None, "
       "controls: [IncomingControl { stream: Pic, value: 262145 }] }\n"},
      {{0x70140005},
       "word+0 cycles=0..1 Send { encoding: Pic, words: 1, raw_operand: 5, send_control: None, "
       "controls: [IncomingControl { stream: Xpic, value: 8197 }] }\n"},
      {{0x7fe00001},
       "word+0 cycles=0..64 Send { encoding: Explicit, words: 64, raw_operand: 0, send_control: "
       "Some(1), "
       "controls: [] }\n"},
      {{0x78000013},
       "word+0 cycles=0..1 Send { encoding: Explicit, words: 1, raw_operand: 2, send_control: "
       "Some(3), "
       "controls: [] }\n"},
      {{0x74600001},
       "word+0 cycles=0..36 Send { encoding: Offset, words: 36, raw_operand: 0, send_control: "
       "Some(1), "
       "controls: [] }\n"},
      {{offset_word(4096, 2) | (5 << 3)},
       "word+0 cycles=0..4096 Send { encoding: Offset, words: 4096, raw_operand: 5, send_control: "
       "Some(2), "
       "controls: [] }\n"},
      {{0x41800003}, "word+0 cycles=0..0 Sync(3)\n"},
      {{0x41800100}, "word+0 cycles=0..0 Unknown(1098907904)\n"},
      {{0x12345678}, "word+0 cycles=0..0 Unknown(305419896)\n"},
  };
  for (const Case& c : cases) {
    const PlanProgramDiagnostic d = decode(c.words);
    EXPECT_EQ(d.render(), c.line);
    ASSERT_EQ(d.instructions.size(), 1u) << c.line;
    EXPECT_EQ(d.word_count, c.words.size());
    EXPECT_EQ(d.horizon, d.instructions[0].end_cycle);
  }
}

TEST(DiagnosePlanProgram, PicPairRecordMatchesTheWords) {
  const PlanProgramDiagnostic d = decode({0xf0000000, 0x00004000});
  ASSERT_EQ(d.instructions.size(), 1u);
  const DecodedPlanInstruction want{
      PlanSend{SendEncoding::PicPair,
               1,
               0,
               uint8_t{0},
               {{IncomingControlStream::Xpic, 0}, {IncomingControlStream::Pic, 16384}}},
      std::nullopt, 0, 0, 1};
  EXPECT_EQ(d.instructions[0], want);
  EXPECT_EQ(d.word_count, 2u);
  EXPECT_EQ(d.horizon, 1u);
}

TEST(DiagnosePlanProgram, RendersAProgramWithAndWithoutAddresses) {
  // A PicPair takes two words, so the instruction after it is at word 3.
  const Words program = {0x41800003, 0xf0000000, 0x00004000, 0x40a0008b, 0x78000001, 0x43a00000};
  EXPECT_EQ(decode(program).render(),
            "word+0 cycles=0..0 Sync(3)\n"
            "word+1 cycles=0..1 Send { encoding: PicPair, words: 1, raw_operand: 0, send_control: "
            "Some(0), controls: [IncomingControl { stream: Xpic, value: 0 }, IncomingControl { "
            "stream: Pic, value: 16384 }] }\n"
            "word+3 cycles=1..141 Delay\n"
            "word+4 cycles=141..142 Send { encoding: Explicit, words: 1, raw_operand: 0, "
            "send_control: Some(1), controls: [] }\n"
            "word+5 cycles=142..142 Return\n");
  const PlanProgramDiagnostic at = decode(program, 0x1000);
  EXPECT_EQ(at.instructions[2].address, std::optional<uint32_t>(0x100c));
  EXPECT_EQ(at.render(),
            "0x01000 cycles=0..0 Sync(3)\n"
            "0x01004 cycles=0..1 Send { encoding: PicPair, words: 1, raw_operand: 0, send_control: "
            "Some(0), controls: [IncomingControl { stream: Xpic, value: 0 }, IncomingControl { "
            "stream: Pic, value: 16384 }] }\n"
            "0x0100c cycles=1..141 Delay\n"
            "0x01010 cycles=141..142 Send { encoding: Explicit, words: 1, raw_operand: 0, "
            "send_control: Some(1), controls: [] }\n"
            "0x01014 cycles=142..142 Return\n");
  // At least five digits, more when the address needs them.
  EXPECT_EQ(decode({0x43a00000}, 0xabcdef0).render(), "0xabcdef0 cycles=0..0 Return\n");
}

TEST(DiagnosePlanProgram, ReportsTruncationAndOverflow) {
  EXPECT_EQ(decode_error({0xf0000000}), "truncated SENDPICP payload");
  EXPECT_EQ(decode_error({0x41800003, 0x40a00000, 0xffffffff}), "truncated SENDPICP payload");

  // 8192 full Delays end exactly at 2^32: one cycle too far.
  Words delays(8191, 0x40a7ffff);
  EXPECT_EQ(decode(delays).horizon, 0xfff80000u);
  delays.push_back(0x40a7ffff);
  EXPECT_EQ(decode_error(delays), "diagnostic event horizon overflow");
  // The overflowing cycle wins over an overflowing address of the same word.
  EXPECT_EQ(decode_error(delays, 0xffffffffu - 4 * 8191 + 1), "diagnostic event horizon overflow");
  delays.pop_back();
  EXPECT_EQ(decode_error(delays, 0xffffffffu - 4 * 8190), "decoded");
  EXPECT_EQ(decode_error(delays, 0xffffffffu - 4 * 8190 + 1), "diagnostic row address overflow");

  EXPECT_EQ(decode_error({0x43a00000}, 0xffffffff), "decoded");
  EXPECT_EQ(decode_error({0x41800003, 0x43a00000}, 0xfffffffc), "diagnostic row address overflow");
  // A zero-cycle word at the last cycle is fine.
  Words at_end(8191, 0x40a7ffff);
  at_end.push_back(0x40a7fffe);
  at_end.push_back(0x43a00000);
  EXPECT_EQ(decode(at_end).horizon, 0xffffffffu);
}

// --- validate_tile_program ---------------------------------------------------

ReceiveEvent event(uint32_t cycle, uint32_t word) {
  return ReceiveEvent{cycle, word, receive_event_kind(word)};
}

ScheduledSenderRow sender_row(uint32_t start, uint32_t end) {
  return ScheduledSenderRow{Row{}, start, end};
}

TileProgramSchedule schedule_of(std::vector<ScheduledSenderRow> rows,
                                std::vector<ReceiveEvent> events, uint32_t horizon) {
  TileProgramSchedule s;
  for (const auto& r : rows) s.sender_rows.push(r);
  for (const auto& e : events) s.receive_events.push(e);
  s.horizon = horizon;
  return s;
}

std::string validate(const TileProgramSchedule& schedule, const Words& words) {
  auto result = validate_tile_program(7, schedule, words);
  if (result) return "ok";
  return std::string(result.error().phrase());
}

// Sends one word at 140..141.
const Words kSender = {0x41800003, 0x40a0008b, 0x78000001, 0x43a00000};
// Xpic 0 at 113, teardown Xpic 0x640 at 114, Pic 0 at 165; ends at 170.
const Words kReceiver = {0x41800003, 0x641c0000, 0x64000640, 0x61900000, 0x40a00004, 0x43a00000};
const std::vector<ReceiveEvent> kReceiverEvents = {event(113, 0x641c0000), event(114, 0x64000640),
                                                   event(165, 0x61900000)};

TEST(ValidateTileProgram, AcceptsProgramsThatMatchTheirSchedule) {
  auto sender = validate_tile_program(3, schedule_of({sender_row(140, 141)}, {}, 141), kSender);
  ASSERT_TRUE(sender.has_value());
  EXPECT_EQ(*sender, decode(kSender));
  EXPECT_EQ(validate(schedule_of({}, kReceiverEvents, 170), kReceiver), "ok");

  // A receiver's PicPair (send control 0) only issues controls at start + 1;
  // equal-cycle controls compare in (stream, value) order on both sides.
  const Words pair = {0x41800003, 0x40a00009, 0xf0000000, 0x00140100, 0x43a00000};
  EXPECT_EQ(validate(schedule_of({}, {event(11, 0x60000100), event(11, 0x64000005)}, 11), pair),
            "ok");

  // Explicit + Offset back to back cover one row exactly.
  const Words long_send = {0x41800003, 0x40a0008b, 0x7fe00001, 0x74600001, 0x43a00000};
  EXPECT_EQ(validate(schedule_of({sender_row(140, 240)}, {}, 240), long_send), "ok");
}

TEST(ValidateTileProgram, ChecksRunInOrder) {
  // Decoding errors come back unchanged.
  EXPECT_EQ(validate(schedule_of({}, {}, 0), {0x41800003, 0xf0000000}),
            "truncated SENDPICP payload");
  // The horizon is compared before anything else: this program also has an
  // unknown word and no matching events or rows.
  Words broken = kSender;
  broken.insert(broken.begin() + 1, 0x12345678);
  EXPECT_EQ(validate(schedule_of({}, kReceiverEvents, 142), broken),
            "encoded tile horizon mismatch");
  EXPECT_EQ(validate(schedule_of({sender_row(140, 141)}, {}, 142), kSender),
            "encoded tile horizon mismatch");
  // Unknown words before the controls.
  EXPECT_EQ(validate(schedule_of({}, kReceiverEvents, 141), broken),
            "unknown encoded exchange instruction");
  // Controls before the sends.
  EXPECT_EQ(validate(schedule_of({}, {event(5, 0x64000001)}, 141), kSender),
            "encoded incoming-control mismatch");
  // Row coverage before stray sends.
  EXPECT_EQ(validate(schedule_of({sender_row(10, 20)}, {}, 141), kSender),
            "encoded sender interval mismatch");
  EXPECT_EQ(validate(schedule_of({}, {}, 141), kSender), "unexpected encoded outgoing interval");
}

TEST(ValidateTileProgram, IncomingControlsMustMatchExactly) {
  struct Case {
    std::vector<ReceiveEvent> events;
    const char* why;
  };
  const Case cases[] = {
      {{event(113, 0x641c0000), event(114, 0x64000640), event(164, 0x61900000)}, "cycle"},
      {{event(113, 0x641c0000), event(114, 0x64000640)}, "missing"},
      {{event(113, 0x641c0000), event(114, 0x64000640), event(165, 0x61900000),
        event(166, 0x61900000)},
       "extra"},
      {{event(113, 0x641c0001), event(114, 0x64000640), event(165, 0x61900000)}, "value"},
      // The stream follows the event kind: a PIC kind reads 19 value bits.
      {{ReceiveEvent{113, 0x641c0000, ReceiveEventKind::Pointer}, event(114, 0x64000640),
        event(165, 0x61900000)},
       "stream"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validate(schedule_of({}, c.events, 170), kReceiver),
              "encoded incoming-control mismatch")
        << c.why;
  }
  // The event's delay field does not take part: only the value bits do.
  EXPECT_EQ(validate(schedule_of({},
                                 {event(113, 0x64000000), event(114, 0x64000640),
                                  ReceiveEvent{165, 0x60000000, ReceiveEventKind::Pointer}},
                                 170),
                     kReceiver),
            "ok");
}

TEST(ValidateTileProgram, ControlMismatchIsReportedAsAnEvent) {
  struct Recorder : support::events::Receiver {
    std::vector<support::events::Event> seen;
    void receive(const support::events::Event& e) override { seen.push_back(e); }
  } recorder;
  support::events::set_receiver(&recorder);
  const std::string result =
      validate(schedule_of({}, {event(113, 0x641c0000), event(114, 0x64000640)}, 170), kReceiver);
  support::events::set_receiver(nullptr);
  EXPECT_EQ(result, "encoded incoming-control mismatch");
  ASSERT_EQ(recorder.seen.size(), 1u);
  const auto& e = recorder.seen[0];
  EXPECT_EQ(e.target, "tessel_exchange::diagnostic");
  EXPECT_EQ(e.message, "encoded incoming controls differ from the phase schedule");
  std::vector<std::string> names, values;
  for (const auto& f : e.fields) {
    names.emplace_back(f.name);
    values.push_back(f.value);
  }
  EXPECT_EQ(names,
            (std::vector<std::string>{"tile", "first_mismatch", "actual_len", "expected_len",
                                      "actual", "expected", "actual_window", "expected_window"}));
  EXPECT_EQ(values[0], "7");
  EXPECT_EQ(values[1], "2");
  EXPECT_EQ(values[2], "3");
  EXPECT_EQ(values[3], "2");
  EXPECT_EQ(values[4], "Some((165, IncomingControl { stream: Pic, value: 0 }))");
  EXPECT_EQ(values[5], "None");
}

TEST(ValidateTileProgram, SendsMustCoverEachSenderRowExactly) {
  // Explicit 64 at 140..204, one idle cycle, Offset 36 at 205..241.
  const Words gap = {0x41800003, 0x40a0008b, 0x7fe00001, 0x40a00000, 0x74600001, 0x43a00000};
  const Words two = {0x41800003, 0x40a0008b, 0x78000001, 0x40a00008, 0x78000001, 0x43a00000};
  struct Case {
    Words words;
    std::vector<ScheduledSenderRow> rows;
    uint32_t horizon;
    const char* want;
  };
  const Case cases[] = {
      {kSender, {sender_row(139, 141)}, 141, "encoded sender interval mismatch"},
      {kSender, {sender_row(140, 142)}, 141, "encoded sender interval mismatch"},
      {kSender,
       {sender_row(140, 141), sender_row(141, 150)},
       141,
       "encoded sender interval mismatch"},
      {gap, {sender_row(140, 241)}, 241, "encoded sender interval mismatch"},
      {gap, {sender_row(140, 204), sender_row(205, 241)}, 241, "ok"},
      {two, {sender_row(140, 141), sender_row(150, 151)}, 151, "ok"},
      // The check does not lean on the rows being sorted.
      {two, {sender_row(150, 151), sender_row(140, 141)}, 151, "ok"},
      // Each send must lie inside some row.
      {two, {sender_row(140, 141)}, 151, "unexpected encoded outgoing interval"},
      {two, {sender_row(150, 151)}, 151, "unexpected encoded outgoing interval"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(validate(schedule_of(c.rows, {}, c.horizon), c.words), c.want)
        << testing::PrintToString(c.words);
  }
  // A Pic send has no send control and is outgoing.
  const Words pic_send = {0x41800003, 0x703c0001, 0x43a00000};
  const std::vector<ReceiveEvent> carried = {event(1, 0x60040001)};
  EXPECT_EQ(validate(schedule_of({}, carried, 2), pic_send),
            "unexpected encoded outgoing interval");
  EXPECT_EQ(validate(schedule_of({sender_row(0, 2)}, carried, 2), pic_send), "ok");
}

}  // namespace
}  // namespace tessel::exchange
