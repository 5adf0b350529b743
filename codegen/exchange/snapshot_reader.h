#pragma once
// The snapshot reader: one JSON file (schema version 3) -> ExchangeScheduleSnapshot.
//
// Every record may be written as an object (fields by name, in any order,
// unknown fields skipped, duplicates and missing fields rejected) or as an
// array of its field values in field order. Errors are the reader's full text
// ending in " at line L column C", where (L, C) is the last character the
// reader examined when it found the fault, counted like a byte-at-a-time
// streaming reader would count it.
//
// Two decoders share the work. A simdjson On-Demand decode reads valid files
// at several hundred MB/s; it accepts a document only when it can prove that
// no rule is broken and otherwise gives up without a message. A hand-written
// streaming decoder then re-reads the same bytes and is the authority: it
// decides the result and produces the exact error text. Both are iterative or
// depth-bounded, so no input can exhaust the stack.
//
// Cost: the file's bytes, simdjson's structural index (4 bytes per structural
// character) and the records themselves; nothing is allocated per value.
#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "codegen/exchange/model.h"

namespace tessel::codegen::exchange {

// Decodes a whole snapshot held in memory.
std::expected<ExchangeScheduleSnapshot, std::string> parse_snapshot(std::string_view json);

// Reads the open file `fd` to its end with read(2), then decodes it. A read
// failure returns the operating system's text, "<strerror> (os error <errno>)".
// The caller opens and closes the file.
std::expected<ExchangeScheduleSnapshot, std::string> read_snapshot(int fd);

namespace detail {

// The two decoders on their own, for differential tests and benchmarks.
// The fast decoder returns nullopt whenever it cannot vouch for the document.
std::optional<ExchangeScheduleSnapshot> fast_decode_snapshot(std::string_view json);
std::expected<ExchangeScheduleSnapshot, std::string> stream_decode_snapshot(std::string_view json);

}  // namespace detail
}  // namespace tessel::codegen::exchange
