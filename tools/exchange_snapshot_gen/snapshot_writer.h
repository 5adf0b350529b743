#pragma once
// Compact JSON form of a snapshot: records as objects with their field names,
// one transfer per line, so that generated files diff and grep well while
// staying small. The reader accepts exactly this form.
#include <fmt/format.h>
#include <fmt/ranges.h>

#include <string>

#include "codegen/exchange/model.h"

namespace tessel::snapshot_gen {

void append_snapshot_json(const codegen::exchange::ExchangeScheduleSnapshot& snapshot,
                          fmt::memory_buffer& out);
std::string snapshot_json(const codegen::exchange::ExchangeScheduleSnapshot& snapshot);

}  // namespace tessel::snapshot_gen
