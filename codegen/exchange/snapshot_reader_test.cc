// The snapshot reader: the file format's worked example, every record in both
// forms, the exact error texts and positions, and a differential check that
// the simdjson fast path and the streaming decoder agree.
#include "codegen/exchange/snapshot_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tessel::codegen::exchange {
namespace {

using detail::fast_decode_snapshot;
using detail::stream_decode_snapshot;
using Width = ExchangeItemWidth;

constexpr std::string_view kMinimal =
    "{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [\n"
    "{\"phase\": 7, \"transfers\": [\n"
    "{\"source\": 0, \"source_addresses\": [4096], \"destinations\": [{\"tile\": 1, \"address\": "
    "8192}], \"words\": 16, \"width\": \"Word32\"}\n"
    "]}]}\n";

ExchangeScheduleSnapshot minimal_records() {
  return {3, 4, {{7, {{0, {4096}, {{1, 8192}}, 16, Width::Word32}}}}};
}

// A document whose line 2 is one transfer of phase 7.
std::string in_transfer(std::string_view transfer) {
  return "{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [{\"phase\": 7, \"transfers\": "
         "[\n" +
         std::string(transfer) + "\n]}]}";
}

TEST(SnapshotReader, ReadsTheMinimalExampleOnBothPaths) {
  EXPECT_EQ(parse_snapshot(kMinimal), minimal_records());
  EXPECT_EQ(fast_decode_snapshot(kMinimal), minimal_records());
  EXPECT_EQ(stream_decode_snapshot(kMinimal), minimal_records());
}

struct ValidCase {
  std::string json;
  ExchangeScheduleSnapshot expected;
  bool fast;  // whether the simdjson path is expected to vouch for it
};

TEST(SnapshotReader, AcceptsEveryRecordFormAndSkipsUnknownFields) {
  const ExchangeScheduleSnapshot minimal = minimal_records();
  const std::vector<ValidCase> cases = {
      {"[3, 4, [[7, [[0, [4096], [[1, 8192]], 16, \"Word32\"]]]]]", minimal, true},
      {"\t{\"phases\":[{\"transfers\":[{\"width\":{ \"Word32\" : null "
       "},\"words\":16,\"destinations\":"
       "[[1,8192]],\"source_addresses\":[4096],\"source\":0}],\"phase\":7}],\r\n\"tile_count\":4,"
       "\"schema_version\":3} \n\r\t",
       minimal, true},
      {in_transfer(
           "{\"comment\": \"extra\", \"source\": 0, \"source_addresses\": [4096], "
           "\"destinations\": [{\"tile\": 1, \"address\": 8192, \"note\": [1, {\"a\": [true, "
           "false, null, 2.5e3, \"x\\u00e9\\\"\\n\"]}, []]}], \"words\": 16, \"width\": "
           "\"Word32\", \"x\": {}}"),
       minimal, true},
      {"{\"sch\\u0065ma_version\": 3, \"tile_count\": 4, \"phases\": [[7, [[0, [4096], [[1, "
       "8192]], "
       "16, \"Word\\u00332\"]]]]}",
       minimal, true},
      // Unknown values are checked for syntax only: lone surrogates, bytes that
      // are not UTF-8, numbers no double holds, -0 and deep nesting all pass.
      {"{\"x\": [\"\\ud800\", \"\xff\xfe\", 1e999, -0, 18446744073709551616, -0.0e-5, "
       "[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]], {\"\xff\": 1}], \"schema_version\": 3, "
       "\"tile_count\": 4, \"phases\": [[7, [[0, [4096], [[1, 8192]], 16, \"Word32\"]]]]}",
       minimal, false},
      {"{\"schema_version\": 3, \"tile_count\": 1472, \"phases\": []}", {3, 1472, {}}, true},
      {"[4294967295, 65535, [[4294967295, [[65535, [], [], 0, {\"Paired64\": null}], [0, [0, "
       "4294967295], [[0, 0], [65535, 4294967295]], 4294967295, \"Paired64\"]]], [0, []]]]",
       {4294967295u,
        65535,
        {{4294967295u,
          {{65535, {}, {}, 0, Width::Paired64},
           {0, {0, 4294967295u}, {{0, 0}, {65535, 4294967295u}}, 4294967295u, Width::Paired64}}},
         {0, {}}}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(parse_snapshot(c.json), c.expected);
    EXPECT_EQ(stream_decode_snapshot(c.json), c.expected);
    const auto fast = fast_decode_snapshot(c.json);
    if (c.fast) {
      EXPECT_EQ(fast, c.expected);
    } else if (fast) {
      EXPECT_EQ(*fast, c.expected);
    }
  }
}

// Each message carries the position of the last character examined.
TEST(SnapshotReader, ReportsExactErrorsAndPositions) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[3, 4, [[7, [[0, [4096], [], 16, \"Word32",
       "EOF while parsing a string at line 1 column 40"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n ", "EOF while parsing a value at line 2 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": []} x",
       "trailing characters at line 1 column 54"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": []}\n\n}",
       "trailing characters at line 3 column 1"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [] ",
       "EOF while parsing an object at line 1 column 52"},
      {"{\"schema_version\": 3,\n", "EOF while parsing a value at line 2 column 0"},
      {"{\"schema_version\": 3, \"tile_count\": 4}", "missing field `phases` at line 1 column 38"},
      {"{\"tile_count\": 4, \"phases\": []}", "missing field `schema_version` at line 1 column 31"},
      {"{}", "missing field `schema_version` at line 1 column 2"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"schema_version\": 3}",
       "duplicate field `schema_version` at line 1 column 70"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [],}",
       "trailing comma at line 1 column 53"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], ",
       "EOF while parsing a value at line 1 column 53"},
      {"{\"schema_version\": 3 \"tile_count\": 4}", "expected `,` or `}` at line 1 column 22"},
      {"{\"schema_version\" 3}", "expected `:` at line 1 column 19"},
      {"{\"schema_version\"", "EOF while parsing an object at line 1 column 17"},
      {"{schema_version: 3}", "key must be a string at line 1 column 2"},
      {"{,}", "key must be a string at line 1 column 2"},
      {"[3, 4]",
       "invalid length 2, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 "
       "column 6"},
      {"[]",
       "invalid length 0, expected struct ExchangeScheduleSnapshot with 3 elements at line 1 "
       "column 2"},
      {"[3, 4, [], 5]", "trailing characters at line 1 column 12"},
      {"[3, 4, [],  ]", "trailing comma at line 1 column 13"},
      {"[3, 4, [] 5]", "trailing characters at line 1 column 11"},
      {"[3, 4, [], ", "trailing characters at line 1 column 11"},
      {"[3 4]", "expected `,` or `]` at line 1 column 4"},
      {"[3,]", "trailing comma at line 1 column 4"},
      {"[3, 4", "EOF while parsing a list at line 1 column 5"},
      {"\"snapshot\"",
       "invalid type: string \"snapshot\", expected struct ExchangeScheduleSnapshot at line 1 "
       "column 10"},
      {"5",
       "invalid type: integer `5`, expected struct ExchangeScheduleSnapshot at line 1 column 1"},
      {"null", "invalid type: null, expected struct ExchangeScheduleSnapshot at line 1 column 4"},
      {"false ",
       "invalid type: boolean `false`, expected struct ExchangeScheduleSnapshot at line 1 column "
       "5"},
      {"x", "expected value at line 1 column 1"},
      {"\357\273\277{}", "expected value at line 1 column 1"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": {}}",
       "invalid type: map, expected a sequence at line 1 column 50"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [5]}",
       "invalid type: integer `5`, expected struct ExchangeScheduleProblem at line 1 column 52"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": \"x\\\"y\\\\z\\n\\t\\u0001\"}",
       "invalid type: string \"x\\\"y\\\\z\\n\\t\\u{1}\", expected a sequence at line 1 column 68"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [{\"phase\": 1}]}",
       "missing field `transfers` at line 1 column 62"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [[1]]}",
       "invalid length 1, expected struct ExchangeScheduleProblem with 2 elements at line 1 column "
       "53"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [[1, [], 2]]}",
       "trailing characters at line 1 column 59"},
      {"{\"schema_version\": 3, \"tile_count\": 65536, \"phases\": []}",
       "invalid value: integer `65536`, expected u16 at line 1 column 42"},
      {"{\"schema_version\": 4294967296,",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 30"},
      {"{\"schema_version\": 4294967296",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 29"},
      {"{\"schema_version\": -1,", "invalid value: integer `-1`, expected u32 at line 1 column 22"},
      {"{\"schema_version\": 1.5,",
       "invalid type: floating point `1.5`, expected u32 at line 1 column 23"},
      {"{\"schema_version\": 1e3,",
       "invalid type: floating point `1000.0`, expected u32 at line 1 column 23"},
      {"{\"schema_version\": 1E20}",
       "invalid type: floating point `100000000000000000000.0`, expected u32 at line 1 column 24"},
      {"{\"schema_version\": 1e-7 ",
       "invalid type: floating point `0.0000001`, expected u32 at line 1 column 24"},
      {"{\"schema_version\": -0,",
       "invalid type: floating point `-0.0`, expected u32 at line 1 column 22"},
      {"{\"schema_version\": 18446744073709551616,",
       "invalid type: floating point `18446744073709552000.0`, expected u32 at line 1 column 40"},
      {"{\"schema_version\": 18446744073709551615,",
       "invalid value: integer `18446744073709551615`, expected u32 at line 1 column 40"},
      {"{\"schema_version\": -9223372036854775808,",
       "invalid value: integer `-9223372036854775808`, expected u32 at line 1 column 40"},
      {"{\"schema_version\": -9223372036854775809,",
       "invalid type: floating point `-9223372036854776000.0`, expected u32 at line 1 column 40"},
      {"{\"schema_version\": \"3\",",
       "invalid type: string \"3\", expected u32 at line 1 column 22"},
      {"{\"schema_version\": null,", "invalid type: null, expected u32 at line 1 column 23"},
      {"{\"schema_version\": true,",
       "invalid type: boolean `true`, expected u32 at line 1 column 23"},
      {"{\"schema_version\": [3],", "invalid type: sequence, expected u32 at line 1 column 20"},
      {"{\"schema_version\": {},", "invalid type: map, expected u32 at line 1 column 20"},
      {"{\"schema_version\": 01,", "invalid number at line 1 column 21"},
      {"{\"schema_version\": 1.,", "invalid number at line 1 column 22"},
      {"{\"schema_version\": 1e,", "invalid number at line 1 column 22"},
      {"{\"schema_version\": -,", "invalid number at line 1 column 21"},
      {"{\"schema_version\": 1e400,", "number out of range at line 1 column 25"},
      {"{\"schema_version\": tru}", "expected ident at line 1 column 23"},
      {"{\"schema_version\": nul", "EOF while parsing a value at line 1 column 22"},
      {"{\"schema_version\": 3,\n\"tile_count\": 65536\n}",
       "invalid value: integer `65536`, expected u16 at line 3 column 0"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": [1,]}",
       "expected value at line 1 column 68"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": {\"a\" 1}}",
       "expected `:` at line 1 column 70"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": {\"a\": 1,}}",
       "key must be a string at line 1 column 73"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": [1 2]}",
       "expected `,` or `]` at line 1 column 68"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": {\"a\": 1 2}}",
       "expected `,` or `}` at line 1 column 73"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": tru}",
       "expected ident at line 1 column 68"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": \"\\x\"}",
       "invalid escape at line 1 column 67"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": \"a\tb",
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 67"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": [{\"a\": [1, "
       "{\"b\": ",
       "EOF while parsing a value at line 1 column 81"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": [{\"a\": [1, "
       "{\"b\": 2}",
       "EOF while parsing a list at line 1 column 83"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": [{",
       "EOF while parsing an object at line 1 column 66"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": 01}",
       "invalid number at line 1 column 66"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": 1.e}",
       "invalid number at line 1 column 67"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": }",
       "expected value at line 1 column 65"},
      {"{\"sou\\xrce\": 0}", "invalid escape at line 1 column 7"},
      {"{\"sou\\u00g0\": 0}", "invalid escape at line 1 column 10"},
      {"{\"a\377\": 0}", "invalid unicode code point at line 1 column 5"},
      {"{\"a\\ud800\": 0}", "unexpected end of hex escape at line 1 column 10"},
      {"{\"a\\udc00\": 0}", "lone leading surrogate in hex escape at line 1 column 9"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comment\": \"\377\376\"}\377",
       "trailing characters at line 1 column 70"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comm\n",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {"{\"schema_version\": 3, \"tile_count\": 4, \"phases\": [], \"comm",
       "EOF while parsing a string at line 1 column 58"},
      {in_transfer("{\"source\": 0, \"destinations\": [], \"words\": 16, \"width\": \"Word32\"}"),
       "missing field `source_addresses` at line 2 column 65"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [], \"destinations\": [], \"words\": 16, "
                   "\"words\": 17, \"width\": \"Word32\"}"),
       "duplicate field `words` at line 2 column 79"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [], \"destinations\": [], \"words\": "
                   "4294967296, \"width\": \"Word32\"}"),
       "invalid value: integer `4294967296`, expected u32 at line 2 column 78"},
      {in_transfer("{\"source\": 65536, \"source_addresses\": []}"),
       "invalid value: integer `65536`, expected u16 at line 2 column 17"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [1, -1]}"),
       "invalid value: integer `-1`, expected u32 at line 2 column 41"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [1, 2,]}"),
       "trailing comma at line 2 column 41"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [1 2]}"),
       "expected `,` or `]` at line 2 column 38"},
      {in_transfer("{\"source\": 0, \"source_addresses\": {}}"),
       "invalid type: map, expected a sequence at line 2 column 35"},
      {in_transfer("{\"source\": 0, \"source_addresses\": 4096,}"),
       "invalid type: integer `4096`, expected a sequence at line 2 column 39"},
      {in_transfer("{\"source\": 0, \"source_addresses\": null}"),
       "invalid type: null, expected a sequence at line 2 column 38"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [], \"destinations\": [5]}"),
       "invalid type: integer `5`, expected struct ExchangeScheduleDestination at line 2 column "
       "57"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [], \"destinations\": [{\"tile\": 65536, "
                   "\"address\": 0}]}"),
       "invalid value: integer `65536`, expected u16 at line 2 column 70"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [], \"destinations\": [{\"tile\": 1}]}"),
       "missing field `address` at line 2 column 66"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [], \"destinations\": [{\"tile\": 1, "
                   "\"address\": 1.0}]}"),
       "invalid type: floating point `1.0`, expected u32 at line 2 column 82"},
      {in_transfer("[0, [4096], [[1, 8192]], 16]"),
       "invalid length 4, expected struct ExchangeScheduleTransfer with 5 elements at line 2 "
       "column 28"},
      {in_transfer("[0, [4096], [], 16, \"Word32\", 1]"),
       "trailing characters at line 2 column 31"},
      {in_transfer("[0, [4096], [[1]], 16, \"Word32\"]"),
       "invalid length 1, expected struct ExchangeScheduleDestination with 2 elements at line 2 "
       "column 16"},
      {in_transfer("[0, [4096], [[1, 2, 3]], 16, \"Word32\"]"),
       "trailing characters at line 2 column 21"},
      {in_transfer("[0, [4096], [], 16, \"Word64\"]"),
       "unknown variant `Word64`, expected `Word32` or `Paired64` at line 2 column 28"},
      {in_transfer("[0, [4096], [], 16, \"word32\"]"),
       "unknown variant `word32`, expected `Word32` or `Paired64` at line 2 column 28"},
      {in_transfer("[0, [4096], [], 16, {\"Word64\": null}]"),
       "unknown variant `Word64`, expected `Word32` or `Paired64` at line 2 column 29"},
      {in_transfer("[0, [4096], [], 16, {\"Word32\": 1}]"),
       "invalid type: integer `1`, expected unit at line 2 column 33"},
      {in_transfer("[0, [4096], [], 16, {\"Word32\": []}]"),
       "invalid type: sequence, expected unit at line 2 column 32"},
      {in_transfer("[0, [4096], [], 16, {\"Word32\" null}]"), "expected `:` at line 2 column 31"},
      {in_transfer("[0, [4096], [], 16, {\"Word32\": null, \"x\": 1}]"),
       "expected value at line 2 column 36"},
      {in_transfer("[0, [4096], [], 16, {\"Word32\": null ]"),
       "expected value at line 2 column 37"},
      {in_transfer("[0, [4096], [], 16, {5: null}]"),
       "invalid type: integer `5`, expected variant identifier at line 2 column 23"},
      {in_transfer("[0, [4096], [], 16, {}]"), "expected value at line 2 column 22"},
      {in_transfer("[0, [4096], [], 16, 5]"), "expected value at line 2 column 21"},
      {in_transfer("[0, [4096], [], 16, null]"), "expected value at line 2 column 21"},
      {in_transfer("[0, [4096], [], 16, true]"), "expected value at line 2 column 21"},
      {in_transfer("[0, [4096], [], 16, [\"Word32\"]]"), "expected value at line 2 column 21"},
      {in_transfer("[0, [4096], [], 16, \"Word\377\"]"),
       "invalid unicode code point at line 2 column 27"},
      {in_transfer("{\"source\": 0, \"source_addresses\": [], \"destinations\": [], \"words\": 16, "
                   "\"width\": \"Word32\", }"),
       "trailing comma at line 2 column 91"},
  };
  for (const auto& [json, message] : cases) {
    SCOPED_TRACE(json);
    const auto result = parse_snapshot(json);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), message);
    EXPECT_FALSE(fast_decode_snapshot(json).has_value());
  }
}

TEST(SnapshotReader, ReportsTruncationAtTheLastCharacterRead) {
  const size_t words = kMinimal.find("\"words\": 16");
  const size_t width = kMinimal.find("\"Word32\"");
  const std::vector<std::pair<size_t, std::string>> cases = {
      {1, "EOF while parsing an object at line 1 column 1"},
      {5, "EOF while parsing a string at line 1 column 5"},
      {18, "EOF while parsing a value at line 1 column 18"},
      {19, "EOF while parsing a value at line 1 column 19"},
      {20, "EOF while parsing an object at line 1 column 20"},
      {50, "EOF while parsing a list at line 1 column 50"},
      {51, "EOF while parsing a list at line 2 column 0"},
      {52, "EOF while parsing an object at line 2 column 1"},
      {words + 9, "EOF while parsing a value at line 3 column 99"},
      {words + 10, "EOF while parsing an object at line 3 column 100"},
      {width + 3, "EOF while parsing a string at line 3 column 115"},
      {kMinimal.size() - 2, "EOF while parsing an object at line 4 column 3"},
  };
  for (const auto& [size, message] : cases) {
    const auto prefix = kMinimal.substr(0, size);
    SCOPED_TRACE(prefix);
    const auto result = parse_snapshot(prefix);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), message);
  }
}

TEST(SnapshotReader, LimitsNestingWithoutRecursingIntoIt) {
  const auto nested = [](std::string_view open, std::string_view close, size_t depth) {
    std::string junk;
    for (size_t i = 0; i < depth; ++i) junk += open;
    junk += open == "[" ? "" : "0";
    for (size_t i = 0; i < depth; ++i) junk += close;
    return "{\"x\": " + junk + ", \"schema_version\": 3, \"tile_count\": 4, \"phases\": []}";
  };
  // Skipped values may nest to any depth: they are walked iteratively and do
  // not count towards the nesting of the records themselves.
  const ExchangeScheduleSnapshot empty{3, 4, {}};
  for (size_t depth : {size_t{126}, size_t{127}, size_t{5000}, size_t{100000}}) {
    EXPECT_EQ(parse_snapshot(nested("[", "]", depth)), empty) << depth;
    EXPECT_EQ(parse_snapshot(nested("{\"k\": ", "}", depth)), empty) << depth;
  }
  EXPECT_EQ(fast_decode_snapshot(nested("[", "]", 126)), empty);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string(5000, '['), "invalid type: sequence, expected u32 at line 1 column 2"},
      {"{\"x\": " + std::string(100000, '['), "EOF while parsing a list at line 1 column 100006"},
  };
  for (const auto& [json, message] : cases) {
    EXPECT_EQ(parse_snapshot(json).error(), message);
    EXPECT_FALSE(fast_decode_snapshot(json).has_value());
  }
}

// Writes random valid snapshots: whitespace, field order, object and array
// forms, escaped keys, both width forms and unknown fields of every kind.
class SnapshotWriter {
 public:
  // `hostile` adds unknown content that only the streaming decoder accepts.
  SnapshotWriter(uint64_t seed, bool hostile) : rng_(seed), hostile_(hostile) {}

  std::pair<std::string, ExchangeScheduleSnapshot> make() {
    out_.clear();
    ExchangeScheduleSnapshot s;
    s.schema_version = u32();
    s.tile_count = static_cast<uint16_t>(u32() & 0xFFFF);
    for (uint64_t p = pick(4); p > 0; --p) {
      ExchangeScheduleProblem problem{u32(), {}};
      for (uint64_t t = pick(4); t > 0; --t) {
        ExchangeScheduleTransfer transfer;
        transfer.source = static_cast<uint16_t>(u32() & 0xFFFF);
        for (uint64_t a = pick(3); a > 0; --a) transfer.source_addresses.push_back(u32());
        for (uint64_t d = pick(3); d > 0; --d) {
          transfer.destinations.push_back({static_cast<uint16_t>(u32() & 0xFFFF), u32()});
        }
        transfer.words = u32();
        transfer.width = pick(2) == 0 ? Width::Word32 : Width::Paired64;
        problem.transfers.push_back(std::move(transfer));
      }
      s.phases.push_back(std::move(problem));
    }
    ws();
    write(s);
    ws();
    return {out_, s};
  }

 private:
  uint64_t pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
  uint32_t u32() {
    switch (pick(4)) {
      case 0:
        return 0;
      case 1:
        return 0xFFFFFFFF;
      default:
        return static_cast<uint32_t>(rng_() >> pick(32));
    }
  }
  void ws() {
    static constexpr char kSpace[] = {' ', '\t', '\n', '\r'};
    for (uint64_t n = pick(4) == 0 ? pick(3) : 0; n > 0; --n) out_ += kSpace[pick(4)];
  }
  void key(std::string_view name) {
    out_ += '"';
    const size_t escaped = pick(8) == 0 ? pick(name.size()) : name.size();
    for (size_t i = 0; i < name.size(); ++i) {
      if (i == escaped) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(name[i]));
        out_ += buf;
      } else {
        out_ += name[i];
      }
    }
    out_ += '"';
  }
  void junk(int depth) {
    static const std::vector<std::string> kFriendly = {"null",
                                                       "true",
                                                       "false",
                                                       "0",
                                                       "17",
                                                       "2.5",
                                                       "1e3",
                                                       "-4",
                                                       "-12.5E+2",
                                                       "\"\"",
                                                       "\"a\\\"b\\\\c\\/\\b\\f\\n\\r\\t\"",
                                                       "\"\\u00e9\\ud83d\\ude00\"",
                                                       "\"caf\xc3\xa9\"",
                                                       "9223372036854775807"};
    static const std::vector<std::string> kHostile = {"-0",
                                                      "-0.0",
                                                      "1e999",
                                                      "18446744073709551616",
                                                      "\"\\udc00\"",
                                                      "\"\xff\"",
                                                      "-9223372036854775809"};
    const uint64_t kind = pick(depth > 3 ? 1 : 4);
    if (kind == 0) {
      if (hostile_ && pick(3) == 0) {
        out_ += kHostile[pick(kHostile.size())];
      } else {
        out_ += kFriendly[pick(kFriendly.size())];
      }
      return;
    }
    const bool array = kind == 1;
    out_ += array ? '[' : '{';
    for (uint64_t n = pick(4), i = 0; i < n; ++i) {
      if (i > 0) out_ += ',';
      ws();
      if (!array) {
        key(pick(2) == 0 ? "k" : "source");
        ws();
        out_ += ':';
        ws();
      }
      junk(depth + 1);
      ws();
    }
    out_ += array ? ']' : '}';
  }
  void number(uint64_t v) { out_ += std::to_string(v); }
  void value(uint16_t v) { number(v); }
  void value(uint32_t v) { number(v); }
  void value(Width w) {
    const std::string_view name = w == Width::Word32 ? "Word32" : "Paired64";
    if (pick(4) == 0) {
      out_ += '{';
      ws();
      key(name);
      ws();
      out_ += ':';
      ws();
      out_ += "null";
      ws();
      out_ += '}';
    } else {
      key(name);
    }
  }
  template <class T>
  void value(const std::vector<T>& items) {
    out_ += '[';
    for (size_t i = 0; i < items.size(); ++i) {
      if (i > 0) out_ += ',';
      ws();
      value(items[i]);
      ws();
    }
    out_ += ']';
  }
  void value(const ExchangeScheduleDestination& d) {
    record({{"tile", [&] { value(d.tile); }}, {"address", [&] { value(d.address); }}});
  }
  void value(const ExchangeScheduleTransfer& t) {
    record({{"source", [&] { value(t.source); }},
            {"source_addresses", [&] { value(t.source_addresses); }},
            {"destinations", [&] { value(t.destinations); }},
            {"words", [&] { value(t.words); }},
            {"width", [&] { value(t.width); }}});
  }
  void value(const ExchangeScheduleProblem& p) {
    record({{"phase", [&] { value(p.phase); }}, {"transfers", [&] { value(p.transfers); }}});
  }
  void write(const ExchangeScheduleSnapshot& s) {
    record({{"schema_version", [&] { value(s.schema_version); }},
            {"tile_count", [&] { value(s.tile_count); }},
            {"phases", [&] { value(s.phases); }}});
  }
  void record(std::vector<std::pair<std::string_view, std::function<void()>>> fields) {
    const bool array = pick(3) == 0;
    if (!array) {
      std::shuffle(fields.begin(), fields.end(), rng_);
      for (uint64_t n = pick(3) == 0 ? 1 + pick(2) : 0; n > 0; --n) {
        fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(pick(fields.size() + 1)),
                      {pick(2) == 0 ? "comment" : "Source", [this] { junk(0); }});
      }
    }
    out_ += array ? '[' : '{';
    for (size_t i = 0; i < fields.size(); ++i) {
      if (i > 0) out_ += ',';
      ws();
      if (!array) {
        key(fields[i].first);
        ws();
        out_ += ':';
        ws();
      }
      fields[i].second();
      ws();
    }
    out_ += array ? ']' : '}';
  }

  std::mt19937_64 rng_;
  bool hostile_;
  std::string out_;
};

TEST(SnapshotReader, FastAndStreamingPathsDecodeRandomSnapshotsAlike) {
  for (uint64_t seed = 0; seed < 400; ++seed) {
    const bool hostile = seed % 2 == 1;
    const auto [json, expected] = SnapshotWriter(seed, hostile).make();
    SCOPED_TRACE(json);
    ASSERT_EQ(stream_decode_snapshot(json), expected);
    const auto fast = fast_decode_snapshot(json);
    if (!hostile) {
      ASSERT_EQ(fast, expected);
    } else if (fast) {
      ASSERT_EQ(*fast, expected);
    }
    ASSERT_EQ(parse_snapshot(json), expected);
  }
}

// Damaged documents: the fast path may give up, but whatever it accepts the
// streaming decoder must accept with the same records.
TEST(SnapshotReader, FastPathNeverAcceptsWhatTheStreamingDecoderRejects) {
  static constexpr std::string_view kBytes = "{}[],:\"\\-0123456789.eE+nultrfas \n\t\x01\xff";
  std::mt19937_64 rng(7);
  const auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int round = 0; round < 3000; ++round) {
    std::string json = SnapshotWriter(1000 + round % 50, round % 3 == 0).make().first;
    for (size_t edits = 1 + pick(2); edits > 0 && !json.empty(); --edits) {
      const size_t at = pick(json.size());
      switch (pick(5)) {
        case 0:
          json.erase(at, 1);
          break;
        case 1:
          json.insert(at, 1, kBytes[pick(kBytes.size())]);
          break;
        case 2:
          json[at] = kBytes[pick(kBytes.size())];
          break;
        case 3:
          json.insert(at, json.substr(pick(json.size()), 1 + pick(12)));
          break;
        default:
          json.resize(at);
          break;
      }
    }
    SCOPED_TRACE(json);
    const auto stream = stream_decode_snapshot(json);
    if (const auto fast = fast_decode_snapshot(json)) {
      ASSERT_TRUE(stream.has_value()) << stream.error();
      ASSERT_EQ(*fast, *stream);
    }
    ASSERT_EQ(parse_snapshot(json), stream);
  }
}

TEST(SnapshotReader, ReadsWholeFilesAndPipes) {
  char path[] = "/tmp/snapshot_reader_testXXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, kMinimal.data(), kMinimal.size()), static_cast<ssize_t>(kMinimal.size()));
  ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
  EXPECT_EQ(read_snapshot(fd), minimal_records());
  close(fd);
  unlink(path);

  // A pipe has no size to start from, and this one outgrows the first buffer.
  auto [big, expected] = SnapshotWriter(99, false).make();
  big += std::string(300000, ' ');
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&, out = fds[1]] {
    size_t done = 0;
    while (done < big.size()) {
      const ssize_t n = write(out, big.data() + done, big.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(out);
  });
  EXPECT_EQ(read_snapshot(fds[0]), expected);
  writer.join();
  close(fds[0]);
}

TEST(SnapshotReader, ReportsReadFailuresWithTheSystemText) {
  const int fd = open("/tmp", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  const auto result = read_snapshot(fd);
  close(fd);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace tessel::codegen::exchange
