#include "tools/exchange_snapshot_gen/snapshot_writer.h"

#include <iterator>

namespace tessel::snapshot_gen {

using codegen::exchange::ExchangeScheduleSnapshot;

void append_snapshot_json(const ExchangeScheduleSnapshot& snapshot, fmt::memory_buffer& out) {
  auto it = std::back_inserter(out);
  fmt::format_to(it, "{{\"schema_version\":{},\"tile_count\":{},\"phases\":[",
                 snapshot.schema_version, snapshot.tile_count);
  for (size_t p = 0; p < snapshot.phases.size(); ++p) {
    const auto& phase = snapshot.phases[p];
    fmt::format_to(it, "{}\n{{\"phase\":{},\"transfers\":[", p ? "," : "", phase.phase);
    for (size_t t = 0; t < phase.transfers.size(); ++t) {
      const auto& transfer = phase.transfers[t];
      fmt::format_to(it, "{}\n{{\"source\":{},\"source_addresses\":[{}],\"destinations\":[",
                     t ? "," : "", transfer.source, fmt::join(transfer.source_addresses, ","));
      for (size_t d = 0; d < transfer.destinations.size(); ++d) {
        fmt::format_to(it, "{}{{\"tile\":{},\"address\":{}}}", d ? "," : "",
                       transfer.destinations[d].tile, transfer.destinations[d].address);
      }
      fmt::format_to(it, "],\"words\":{},\"width\":\"{}\"}}", transfer.words,
                     codegen::exchange::width_name(transfer.width));
    }
    fmt::format_to(it, "]}}");
  }
  fmt::format_to(it, "]}}\n");
}

std::string snapshot_json(const ExchangeScheduleSnapshot& snapshot) {
  fmt::memory_buffer out;
  append_snapshot_json(snapshot, out);
  return fmt::to_string(out);
}

}  // namespace tessel::snapshot_gen
