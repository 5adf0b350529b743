// Snapshot reading: the file, the simdjson fast path and the hand-off to the
// streaming decoder (json_snapshot_stream.cc), which owns every error text.
//
// The fast path may only accept what the streaming decoder would accept, with
// the same records. simdjson's stage 1 already rejects invalid UTF-8, raw
// control characters inside strings and unbalanced structure; On-Demand checks
// separators, literals and numbers as they are visited. What is left to check
// here is what the streaming decoder adds: field rules, integer widths, array
// lengths, width names, the nesting limit, a bare "-0" (simdjson reads it as
// the integer 0, the streaming decoder as a float) and trailing content. Every
// value is visited, so nothing is skipped unchecked. Any doubt means nullopt.
#include "codegen/exchange/snapshot_reader.h"

#include <fmt/format.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>

namespace tessel::codegen::exchange {
namespace {

namespace od = simdjson::ondemand;

// Open arrays and objects, the snapshot's own object included, must stay
// below this; the streaming decoder enforces the same limit.
constexpr int kDepthLimit = 128;

template <class R>
struct Fields;
template <>
struct Fields<ExchangeScheduleSnapshot> {
  static constexpr std::array<std::string_view, 3> names{"schema_version", "tile_count", "phases"};
};
template <>
struct Fields<ExchangeScheduleProblem> {
  static constexpr std::array<std::string_view, 2> names{"phase", "transfers"};
};
template <>
struct Fields<ExchangeScheduleTransfer> {
  static constexpr std::array<std::string_view, 5> names{"source", "source_addresses",
                                                         "destinations", "words", "width"};
};
template <>
struct Fields<ExchangeScheduleDestination> {
  static constexpr std::array<std::string_view, 2> names{"tile", "address"};
};

// Text of a string whose raw form (after the opening quote) has no escape;
// empty optional when it has one.
std::optional<std::string_view> plain_string(const char* raw) {
  const char* end = raw;
  while (*end != '"' && *end != '\\') ++end;
  if (*end == '\\') return std::nullopt;
  return std::string_view(raw, static_cast<size_t>(end - raw));
}

class FastDecoder {
 public:
  bool snapshot(od::document& doc, ExchangeScheduleSnapshot& out) {
    od::value root;
    if (doc.get_value().get(root) != simdjson::SUCCESS) return false;
    if (!value(root, 1, out)) return false;
    const char* location = nullptr;
    return doc.current_location().get(location) == simdjson::OUT_OF_BOUNDS;
  }

 private:
  // Decoded key of a field (escapes resolved), or nullopt on a malformed key.
  static std::optional<std::string_view> key_of(od::field& field) {
    if (auto plain = plain_string(field.key().raw())) return plain;
    std::string_view key;
    if (field.unescaped_key().get(key) != simdjson::SUCCESS) return std::nullopt;
    return key;
  }

  template <class T>
  static bool unsigned_value(od::value v, T& out) {
    uint64_t n = 0;
    if (v.get_uint64().get(n) != simdjson::SUCCESS || n > std::numeric_limits<T>::max())
      return false;
    out = static_cast<T>(n);
    return true;
  }

  bool value(od::value v, int, uint16_t& out) { return unsigned_value(v, out); }
  bool value(od::value v, int, uint32_t& out) { return unsigned_value(v, out); }

  static bool width_name(std::string_view name, ExchangeItemWidth& out) {
    if (name == "Word32") {
      out = ExchangeItemWidth::Word32;
    } else if (name == "Paired64") {
      out = ExchangeItemWidth::Paired64;
    } else {
      return false;
    }
    return true;
  }

  bool value(od::value v, int depth, ExchangeItemWidth& out) {
    od::json_type type;
    if (v.type().get(type) != simdjson::SUCCESS) return false;
    if (type == od::json_type::string) {
      std::string_view name;
      return v.get_string().get(name) == simdjson::SUCCESS && width_name(name, out);
    }
    if (type != od::json_type::object || depth >= kDepthLimit) return false;
    od::object object;
    if (v.get_object().get(object) != simdjson::SUCCESS) return false;
    int count = 0;
    for (auto item : object) {
      od::field field;
      if (std::move(item).get(field) != simdjson::SUCCESS || ++count > 1) return false;
      const auto key = key_of(field);
      if (!key || !width_name(*key, out)) return false;
      bool is_null = false;
      if (field.value().is_null().get(is_null) != simdjson::SUCCESS || !is_null) return false;
    }
    return count == 1;
  }

  template <class T>
  bool value(od::value v, int depth, std::vector<T>& out) {
    if (depth >= kDepthLimit) return false;
    od::array array;
    if (v.get_array().get(array) != simdjson::SUCCESS) return false;
    for (auto item : array) {
      od::value element;
      if (std::move(item).get(element) != simdjson::SUCCESS) return false;
      out.emplace_back();
      if (!value(element, depth + 1, out.back())) return false;
    }
    return true;
  }

  bool field(ExchangeScheduleSnapshot& r, size_t i, od::value v, int depth) {
    switch (i) {
      case 0:
        return value(v, depth, r.schema_version);
      case 1:
        return value(v, depth, r.tile_count);
      default:
        return value(v, depth, r.phases);
    }
  }
  bool field(ExchangeScheduleProblem& r, size_t i, od::value v, int depth) {
    return i == 0 ? value(v, depth, r.phase) : value(v, depth, r.transfers);
  }
  bool field(ExchangeScheduleTransfer& r, size_t i, od::value v, int depth) {
    switch (i) {
      case 0:
        return value(v, depth, r.source);
      case 1:
        return value(v, depth, r.source_addresses);
      case 2:
        return value(v, depth, r.destinations);
      case 3:
        return value(v, depth, r.words);
      default:
        return value(v, depth, r.width);
    }
  }
  bool field(ExchangeScheduleDestination& r, size_t i, od::value v, int depth) {
    return i == 0 ? value(v, depth, r.tile) : value(v, depth, r.address);
  }

  // A record at nesting depth `depth` (the snapshot is 1), as object or array.
  template <class R>
  bool value(od::value v, int depth, R& out) {
    constexpr auto& names = Fields<R>::names;
    if (depth >= kDepthLimit) return false;
    od::json_type type;
    if (v.type().get(type) != simdjson::SUCCESS) return false;
    if (type == od::json_type::array) {
      od::array array;
      if (v.get_array().get(array) != simdjson::SUCCESS) return false;
      size_t i = 0;
      for (auto item : array) {
        od::value element;
        if (std::move(item).get(element) != simdjson::SUCCESS || i == names.size()) return false;
        if (!field(out, i++, element, depth + 1)) return false;
      }
      return i == names.size();
    }
    if (type != od::json_type::object) return false;
    od::object object;
    if (v.get_object().get(object) != simdjson::SUCCESS) return false;
    uint32_t seen = 0;
    for (auto item : object) {
      od::field f;
      if (std::move(item).get(f) != simdjson::SUCCESS) return false;
      const auto key = key_of(f);
      if (!key) return false;
      const auto found = std::find(names.begin(), names.end(), *key);
      if (found == names.end()) {
        if (!skip(f.value(), depth + 1)) return false;
        continue;
      }
      const auto index = static_cast<size_t>(found - names.begin());
      if ((seen >> index & 1u) != 0) return false;
      seen |= 1u << index;
      if (!field(out, index, f.value(), depth + 1)) return false;
    }
    return seen == (1u << names.size()) - 1;
  }

  // Visits an unknown field's value completely, so that its syntax is checked
  // exactly as far as the streaming decoder checks it (or further).
  bool skip(od::value v, int depth) {
    od::json_type type;
    if (v.type().get(type) != simdjson::SUCCESS) return false;
    switch (type) {
      case od::json_type::array: {
        if (depth >= kDepthLimit) return false;
        od::array array;
        if (v.get_array().get(array) != simdjson::SUCCESS) return false;
        for (auto item : array) {
          od::value element;
          if (std::move(item).get(element) != simdjson::SUCCESS || !skip(element, depth + 1)) {
            return false;
          }
        }
        return true;
      }
      case od::json_type::object: {
        if (depth >= kDepthLimit) return false;
        od::object object;
        if (v.get_object().get(object) != simdjson::SUCCESS) return false;
        for (auto item : object) {
          od::field f;
          if (std::move(item).get(f) != simdjson::SUCCESS || !key_of(f) ||
              !skip(f.value(), depth + 1)) {
            return false;
          }
        }
        return true;
      }
      case od::json_type::string: {
        std::string_view text;
        return v.get_string().get(text) == simdjson::SUCCESS;
      }
      case od::json_type::number: {
        od::number number;
        return v.get_number().get(number) == simdjson::SUCCESS;
      }
      case od::json_type::boolean: {
        bool flag = false;
        return v.get_bool().get(flag) == simdjson::SUCCESS;
      }
      case od::json_type::null: {
        bool is_null = false;
        return v.is_null().get(is_null) == simdjson::SUCCESS && is_null;
      }
    }
    return false;
  }
};

// `data` holds `size` bytes followed by at least SIMDJSON_PADDING readable bytes.
std::optional<ExchangeScheduleSnapshot> fast_decode(const char* data, size_t size) {
  const std::string_view text(data, size);
  // A byte-order mark is not JSON; a bare "-0" is a float to the streaming
  // decoder. Both are rare enough to leave to it.
  if (text.starts_with("\xEF\xBB\xBF") || text.find("-0") != std::string_view::npos) {
    return std::nullopt;
  }
  od::parser parser;
  od::document doc;
  if (parser.iterate(data, size, size + simdjson::SIMDJSON_PADDING).get(doc) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  ExchangeScheduleSnapshot snapshot;
  if (!FastDecoder().snapshot(doc, snapshot)) return std::nullopt;
  return snapshot;
}

std::expected<ExchangeScheduleSnapshot, std::string> decode(const char* data, size_t size) {
  if (auto snapshot = fast_decode(data, size)) return std::move(*snapshot);
  return detail::stream_decode_snapshot(std::string_view(data, size));
}

}  // namespace

std::expected<ExchangeScheduleSnapshot, std::string> parse_snapshot(std::string_view json) {
  const simdjson::padded_string padded(json);
  return decode(padded.data(), padded.size());
}

std::expected<ExchangeScheduleSnapshot, std::string> read_snapshot(int fd) {
  constexpr size_t kPadding = simdjson::SIMDJSON_PADDING;
  constexpr size_t kMinChunk = size_t{1} << 16;
  struct stat info {};
  size_t capacity = kMinChunk;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    // One spare byte lets the final zero-length read happen without growing.
    capacity = static_cast<size_t>(info.st_size) + 1;
  }
  auto buffer = std::make_unique_for_overwrite<char[]>(capacity + kPadding);
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      const size_t grown = capacity * 2;
      auto bigger = std::make_unique_for_overwrite<char[]>(grown + kPadding);
      std::memcpy(bigger.get(), buffer.get(), size);
      buffer = std::move(bigger);
      capacity = grown;
    }
    const ssize_t n = ::read(fd, buffer.get() + size, capacity - size);
    if (n < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      return std::unexpected(fmt::format("{} (os error {})", std::strerror(error), error));
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  std::memset(buffer.get() + size, 0, kPadding);
  return decode(buffer.get(), size);
}

namespace detail {

std::optional<ExchangeScheduleSnapshot> fast_decode_snapshot(std::string_view json) {
  const simdjson::padded_string padded(json);
  return fast_decode(padded.data(), padded.size());
}

}  // namespace detail
}  // namespace tessel::codegen::exchange
