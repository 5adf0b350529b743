#include "tools/exchange_schedule_bench/setup.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "codegen/exchange/snapshot_reader.h"

namespace tessel::bench {

using codegen::exchange::ExchangeScheduleSnapshot;

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

std::expected<ExchangeScheduleSnapshot, RunError> load_snapshot(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return std::unexpected(
        RunError::with_context(fmt::format("open {}", path), os_error_text(errno)));
  }
  auto snapshot = codegen::exchange::read_snapshot(fd.get());
  if (!snapshot) {
    return std::unexpected(RunError::with_context(fmt::format("parse {}", path), snapshot.error()));
  }
  return std::move(*snapshot);
}

}  // namespace

void keep_first_iteration_only(ExchangeScheduleSnapshot& snapshot) {
  for (auto& phase : snapshot.phases) {
    for (auto& transfer : phase.transfers) {
      auto& addresses = transfer.source_addresses;
      if (addresses.size() > 1) addresses.erase(addresses.begin() + 1, addresses.end());
    }
  }
}

std::expected<Setup, RunError> run_setup(const Arguments& args, std::FILE* out) {
  if (args.iterations == 0) return std::unexpected(RunError("--iterations must be nonzero"));

  Setup setup;
  {
    auto snapshot = load_snapshot(args.snapshot);
    if (!snapshot) return std::unexpected(std::move(snapshot).error());
    setup.snapshot = std::move(*snapshot);
  }
  if (auto valid = setup.snapshot.validate(); !valid) {
    return std::unexpected(RunError(valid.error().display()));
  }
  if (args.first_iteration_only) keep_first_iteration_only(setup.snapshot);

  const std::set<uint32_t> wanted(args.phases.begin(), args.phases.end());
  if (wanted.size() < args.phases.size()) {
    return std::unexpected(RunError("--phase contains a duplicate phase ID"));
  }
  std::set<uint32_t> present;
  for (const auto& phase : setup.snapshot.phases) present.insert(phase.phase);
  for (uint32_t id : wanted) {
    if (!present.contains(id)) {
      return std::unexpected(RunError(fmt::format("snapshot does not contain phase {}", id)));
    }
  }
  for (std::size_t i = 0; i < setup.snapshot.phases.size(); ++i) {
    if (wanted.empty() || wanted.contains(setup.snapshot.phases[i].phase)) {
      setup.selection.push_back(i);
    }
  }

  fmt::print(out, "snapshot={} tiles={} phases={} warmup={} iterations={} repeatAware={}\n",
             args.snapshot, setup.snapshot.tile_count, setup.selection.size(), args.warmup,
             args.iterations, args.first_iteration_only ? "false" : "true");
  std::fflush(out);
  return setup;
}

}  // namespace tessel::bench
