// The authoritative snapshot decoder: a byte-at-a-time streaming reader whose
// error texts and positions are part of the program's observable behaviour.
//
// Position rule: an error is reported at the last character examined, whether
// consumed or only peeked. The cursor therefore keeps `examined_`, which is
// always `pos_` (nothing peeked past the consumed prefix) or `pos_ + 1` (the
// character at `pos_` has been peeked); line and column are derived from it
// only when an error is reported.
//
// Records nest at most seven deep (snapshot, phases, phase, transfers,
// transfer, destinations, destination), so their recursion is bounded by the
// schema; unknown values are skipped by an iterative loop with an explicit
// frame stack. The nesting limit (fewer than 128 open arrays and objects)
// applies to both.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "codegen/exchange/snapshot_reader.h"

namespace tessel::codegen::exchange::detail {
namespace {

constexpr int kDepthLimit = 128;

// Shortest round-trip digits of `value`, written without an exponent, with
// ".0" appended when no fraction digit remains (1e20 -> "100000000000000000000.0").
std::string float_text(double value) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  std::string out;
  if (!sci.empty() && sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  const int n = static_cast<int>(digits.size());
  if (exponent >= n - 1) {
    out += digits;
    out.append(static_cast<size_t>(exponent - (n - 1)), '0');
    out += ".0";
  } else if (exponent >= 0) {
    out += digits.substr(0, static_cast<size_t>(exponent + 1));
    out.push_back('.');
    out += digits.substr(static_cast<size_t>(exponent + 1));
  } else {
    out += "0.";
    out.append(static_cast<size_t>(-exponent - 1), '0');
    out += digits;
  }
  return out;
}

// Decodes one code point of valid UTF-8 at `s[i]`, advancing `i`.
uint32_t next_code_point(std::string_view s, size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  const int len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
  uint32_t cp = b0 & (0x7F >> len);
  for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += static_cast<size_t>(len);
  return cp;
}

// A decoded string as a debug string literal shows it: quoted, with quotes,
// backslashes and control characters escaped.
std::string debug_quoted(std::string_view s) {
  std::string out = "\"";
  size_t i = 0;
  while (i < s.size()) {
    const size_t start = i;
    const uint32_t cp = next_code_point(s, i);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          out += fmt::format("\\u{{{:x}}}", cp);
        } else {
          out.append(s.substr(start, i - start));
        }
    }
  }
  out.push_back('"');
  return out;
}

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    auto cont = [&](size_t k) {
      return i + k < n && (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
    };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      if (!cont(1)) return false;
      i += 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      if (!cont(1) || !cont(2)) return false;
      const auto b1 = static_cast<unsigned char>(s[i + 1]);
      if (b0 == 0xE0 && b1 < 0xA0) return false;   // overlong
      if (b0 == 0xED && b1 >= 0xA0) return false;  // surrogate
      i += 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      if (!cont(1) || !cont(2) || !cont(3)) return false;
      const auto b1 = static_cast<unsigned char>(s[i + 1]);
      if (b0 == 0xF0 && b1 < 0x90) return false;   // overlong
      if (b0 == 0xF4 && b1 >= 0x90) return false;  // beyond U+10FFFF
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

void push_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int hex_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_digit(int c) {
  return c >= '0' && c <= '9';
}

// Powers of ten as correctly rounded doubles, 1e0 to 1e308. A number's value
// is composed from its significand by one multiplication or division with
// them (not a correctly rounded conversion); the floating-point values shown
// in messages are defined by exactly that composition.
const std::array<double, 309>& powers_of_ten() {
  static const std::array<double, 309> table = [] {
    std::array<double, 309> t{};
    for (int i = 0; i < 309; ++i)
      t[static_cast<size_t>(i)] = std::strtod(fmt::format("1e{}", i).c_str(), nullptr);
    return t;
  }();
  return table;
}

// A JSON number as the reader classifies it.
struct Number {
  enum class Kind { Unsigned, Negative, Float } kind = Kind::Unsigned;
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0;

  std::string unexpected() const {
    switch (kind) {
      case Kind::Unsigned:
        return fmt::format("integer `{}`", u);
      case Kind::Negative:
        return fmt::format("integer `{}`", i);
      case Kind::Float:
        break;
    }
    return fmt::format("floating point `{}`", float_text(f));
  }
};

template <class R>
struct RecordShape;

template <>
struct RecordShape<ExchangeScheduleSnapshot> {
  static constexpr std::array<std::string_view, 3> names{"schema_version", "tile_count", "phases"};
  static constexpr std::string_view expecting = "struct ExchangeScheduleSnapshot";
};
template <>
struct RecordShape<ExchangeScheduleProblem> {
  static constexpr std::array<std::string_view, 2> names{"phase", "transfers"};
  static constexpr std::string_view expecting = "struct ExchangeScheduleProblem";
};
template <>
struct RecordShape<ExchangeScheduleTransfer> {
  static constexpr std::array<std::string_view, 5> names{"source", "source_addresses",
                                                         "destinations", "words", "width"};
  static constexpr std::string_view expecting = "struct ExchangeScheduleTransfer";
};
template <>
struct RecordShape<ExchangeScheduleDestination> {
  static constexpr std::array<std::string_view, 2> names{"tile", "address"};
  static constexpr std::string_view expecting = "struct ExchangeScheduleDestination";
};

class StreamDecoder {
 public:
  explicit StreamDecoder(std::string_view input) : in_(input) {}

  std::expected<ExchangeScheduleSnapshot, std::string> run() {
    ExchangeScheduleSnapshot snapshot;
    if (parse_value(snapshot)) {
      if (skip_ws() < 0) return snapshot;
      fail("trailing characters");
    }
    return std::unexpected(error_text());
  }

 private:
  // ---- cursor --------------------------------------------------------------

  int peek() {
    if (pos_ >= in_.size()) return -1;
    examined_ = pos_ + 1;
    return static_cast<unsigned char>(in_[pos_]);
  }
  void eat() { ++pos_; }
  int next() {
    if (pos_ >= in_.size()) return -1;
    examined_ = pos_ + 1;
    return static_cast<unsigned char>(in_[pos_++]);
  }
  // Skips JSON whitespace and peeks the next character (-1 at the end).
  int skip_ws() {
    while (pos_ < in_.size()) {
      const char c = in_[pos_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') {
        examined_ = pos_ + 1;
        return static_cast<unsigned char>(c);
      }
      ++pos_;
    }
    examined_ = pos_;
    return -1;
  }

  bool fail(std::string message) {
    message_ = std::move(message);
    error_at_ = examined_;
    return false;
  }

  std::string error_text() const {
    size_t line = 1;
    size_t column = 0;
    if (error_at_ > 0) {
      const std::string_view seen = in_.substr(0, error_at_);
      line += static_cast<size_t>(std::count(seen.begin(), seen.end(), '\n'));
      const size_t last = error_at_ - 1;
      if (seen[last] != '\n') {
        const size_t nl = seen.rfind('\n');
        column = nl == std::string_view::npos ? last + 1 : last - nl;
      }
    }
    return fmt::format("{} at line {} column {}", message_, line, column);
  }

  bool enter() {
    if (--depth_left_ == 0) return fail("recursion limit exceeded");
    return true;
  }
  void leave() { ++depth_left_; }

  // ---- scalars ---------------------------------------------------------------

  bool parse_ident(std::string_view rest) {
    for (char expected : rest) {
      const int c = next();
      if (c < 0) return fail("EOF while parsing a value");
      if (c != static_cast<unsigned char>(expected)) return fail("expected ident");
    }
    return true;
  }

  bool parse_hex4(uint32_t& out) {
    out = 0;
    for (int k = 0; k < 4; ++k) {
      const int c = next();
      if (c < 0) return fail("EOF while parsing a string");
      const int v = hex_value(c);
      if (v < 0) return fail("invalid escape");
      out = (out << 4) | static_cast<uint32_t>(v);
    }
    return true;
  }

  // After the opening quote: decodes into scratch_ up to and including the
  // closing quote, then requires the decoded bytes to be UTF-8.
  bool parse_string() {
    scratch_.clear();
    for (;;) {
      const size_t start = pos_;
      while (pos_ < in_.size()) {
        const auto c = static_cast<unsigned char>(in_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++pos_;
      }
      if (pos_ > start) {
        examined_ = pos_;
        scratch_.append(in_.substr(start, pos_ - start));
      }
      const int c = next();
      if (c < 0) return fail("EOF while parsing a string");
      if (c == '"') break;
      if (c != '\\')
        return fail("control character (\\u0000-\\u001F) found while parsing a string");
      const int e = next();
      switch (e) {
        case -1:
          return fail("EOF while parsing a string");
        case '"':
          scratch_.push_back('"');
          break;
        case '\\':
          scratch_.push_back('\\');
          break;
        case '/':
          scratch_.push_back('/');
          break;
        case 'b':
          scratch_.push_back('\b');
          break;
        case 'f':
          scratch_.push_back('\f');
          break;
        case 'n':
          scratch_.push_back('\n');
          break;
        case 'r':
          scratch_.push_back('\r');
          break;
        case 't':
          scratch_.push_back('\t');
          break;
        case 'u': {
          uint32_t cp = 0;
          if (!parse_hex4(cp)) return false;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return fail("lone leading surrogate in hex escape");
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            const int b = next();
            if (b < 0) return fail("EOF while parsing a string");
            if (b != '\\') return fail("unexpected end of hex escape");
            const int u = next();
            if (u < 0) return fail("EOF while parsing a string");
            if (u != 'u') return fail("unexpected end of hex escape");
            uint32_t low = 0;
            if (!parse_hex4(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail("lone leading surrogate in hex escape");
            cp = (((cp - 0xD800) << 10) | (low - 0xDC00)) + 0x10000;
          }
          push_utf8(scratch_, cp);
          break;
        }
        default:
          return fail("invalid escape");
      }
    }
    if (!valid_utf8(scratch_)) return fail("invalid unicode code point");
    return true;
  }

  // After the opening quote of a string whose content is not used: escapes
  // and control characters are checked, the bytes themselves are not.
  bool ignore_string() {
    for (;;) {
      while (pos_ < in_.size()) {
        const auto c = static_cast<unsigned char>(in_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20) break;
        ++pos_;
      }
      examined_ = std::max(examined_, pos_);
      const int c = next();
      if (c < 0) return fail("EOF while parsing a string");
      if (c == '"') return true;
      if (c != '\\')
        return fail("control character (\\u0000-\\u001F) found while parsing a string");
      const int e = next();
      switch (e) {
        case -1:
          return fail("EOF while parsing a string");
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
          break;
        case 'u': {
          uint32_t ignored = 0;
          if (!parse_hex4(ignored)) return false;
          break;
        }
        default:
          return fail("invalid escape");
      }
    }
  }

  // significand * 10^exponent, composed as described at powers_of_ten().
  bool from_parts(bool positive, uint64_t significand, int exponent, Number& out) {
    const auto& pow10 = powers_of_ten();
    double f = static_cast<double>(significand);
    for (;;) {
      const unsigned magnitude =
          exponent < 0 ? 0u - static_cast<unsigned>(exponent) : static_cast<unsigned>(exponent);
      if (magnitude < pow10.size()) {
        if (exponent >= 0) {
          f *= pow10[magnitude];
          if (std::isinf(f)) return fail("number out of range");
        } else {
          f /= pow10[magnitude];
        }
        break;
      }
      if (f == 0.0) break;
      if (exponent >= 0) return fail("number out of range");
      f /= 1e308;
      exponent += 308;
    }
    out.kind = Number::Kind::Float;
    out.f = positive ? f : -f;
    return true;
  }

  static bool overflows_u64(uint64_t value, uint64_t digit) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    return value >= kMax / 10 && (value > kMax / 10 || digit > kMax % 10);
  }

  bool parse_exponent(bool positive, uint64_t significand, int starting, Number& out) {
    eat();  // 'e' or 'E'
    bool positive_exp = true;
    const int sign = peek();
    if (sign == '+') {
      eat();
    } else if (sign == '-') {
      eat();
      positive_exp = false;
    }
    const int first = next();
    if (first < 0) return fail("EOF while parsing a value");
    if (!is_digit(first)) return fail("invalid number");
    int32_t exp = first - '0';
    while (is_digit(peek())) {
      const int digit = in_[pos_] - '0';
      eat();
      constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
      if (exp >= kMax / 10 && (exp > kMax / 10 || digit > kMax % 10)) {
        // The exponent alone no longer fits: the value is zero or too large.
        if (significand != 0 && positive_exp) return fail("number out of range");
        while (is_digit(peek())) eat();
        out.kind = Number::Kind::Float;
        out.f = positive ? 0.0 : -0.0;
        return true;
      }
      exp = exp * 10 + digit;
    }
    const int64_t wide = positive_exp ? int64_t{starting} + exp : int64_t{starting} - exp;
    const int final_exp = static_cast<int>(std::clamp<int64_t>(
        wide, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
    return from_parts(positive, significand, final_exp, out);
  }

  bool parse_decimal(bool positive, uint64_t significand, int exponent, Number& out) {
    eat();  // '.'
    int after = 0;
    while (is_digit(peek())) {
      const auto digit = static_cast<uint64_t>(in_[pos_] - '0');
      if (overflows_u64(significand, digit)) {
        // Further fraction digits cannot change the significand.
        while (is_digit(peek())) eat();
        if ((peek() | 0x20) == 'e')
          return parse_exponent(positive, significand, exponent + after, out);
        return from_parts(positive, significand, exponent + after, out);
      }
      eat();
      significand = significand * 10 + digit;
      --after;
    }
    if (after == 0) return fail(peek() < 0 ? "EOF while parsing a value" : "invalid number");
    if ((peek() | 0x20) == 'e') return parse_exponent(positive, significand, exponent + after, out);
    return from_parts(positive, significand, exponent + after, out);
  }

  bool parse_long_integer(bool positive, uint64_t significand, Number& out) {
    int exponent = 0;
    for (;;) {
      const int c = peek();
      if (is_digit(c)) {
        eat();
        ++exponent;
      } else if (c == '.') {
        return parse_decimal(positive, significand, exponent, out);
      } else if ((c | 0x20) == 'e') {
        return parse_exponent(positive, significand, exponent, out);
      } else {
        return from_parts(positive, significand, exponent, out);
      }
    }
  }

  bool parse_number_tail(bool positive, uint64_t significand, Number& out) {
    const int c = peek();
    if (c == '.') return parse_decimal(positive, significand, 0, out);
    if (c >= 0 && (c | 0x20) == 'e') return parse_exponent(positive, significand, 0, out);
    if (positive) {
      out.kind = Number::Kind::Unsigned;
      out.u = significand;
      return true;
    }
    const auto negated = static_cast<int64_t>(uint64_t{0} - significand);
    if (negated >= 0) {  // -0, or below the signed 64-bit range
      out.kind = Number::Kind::Float;
      out.f = -static_cast<double>(significand);
    } else {
      out.kind = Number::Kind::Negative;
      out.i = negated;
    }
    return true;
  }

  // Reads a number whose sign (if any) has been consumed.
  bool parse_number(bool positive, Number& out) {
    const int c = next();
    if (c < 0) return fail("EOF while parsing a value");
    if (c == '0') {
      if (is_digit(peek())) return fail("invalid number");
      return parse_number_tail(positive, 0, out);
    }
    if (!is_digit(c)) return fail("invalid number");
    uint64_t significand = static_cast<uint64_t>(c - '0');
    for (;;) {
      const int d = peek();
      if (!is_digit(d)) return parse_number_tail(positive, significand, out);
      const auto digit = static_cast<uint64_t>(d - '0');
      if (overflows_u64(significand, digit)) return parse_long_integer(positive, significand, out);
      eat();
      significand = significand * 10 + digit;
    }
  }

  // The value at the peeked character `c` is of the wrong type: reads it far
  // enough to describe it and reports "invalid type". Always fails.
  bool invalid_type(std::string_view expected) {
    const int c = peek();
    std::string unexpected;
    switch (c) {
      case 'n':
        eat();
        if (!parse_ident("ull")) return false;
        unexpected = "null";
        break;
      case 't':
        eat();
        if (!parse_ident("rue")) return false;
        unexpected = "boolean `true`";
        break;
      case 'f':
        eat();
        if (!parse_ident("alse")) return false;
        unexpected = "boolean `false`";
        break;
      case '-': {
        eat();
        Number n;
        if (!parse_number(false, n)) return false;
        unexpected = n.unexpected();
        break;
      }
      case '"':
        eat();
        if (!parse_string()) return false;
        unexpected = "string " + debug_quoted(scratch_);
        break;
      case '[':
        unexpected = "sequence";
        break;
      case '{':
        unexpected = "map";
        break;
      default:
        if (!is_digit(c)) return fail("expected value");
        Number n;
        if (!parse_number(true, n)) return false;
        unexpected = n.unexpected();
    }
    return fail(fmt::format("invalid type: {}, expected {}", unexpected, expected));
  }

  template <class T>
  bool parse_unsigned(T& out, std::string_view name) {
    const int c = skip_ws();
    if (c < 0) return fail("EOF while parsing a value");
    Number n;
    if (c == '-') {
      eat();
      if (!parse_number(false, n)) return false;
    } else if (is_digit(c)) {
      if (!parse_number(true, n)) return false;
    } else {
      return invalid_type(name);
    }
    switch (n.kind) {
      case Number::Kind::Unsigned:
        if (n.u > std::numeric_limits<T>::max()) break;
        out = static_cast<T>(n.u);
        return true;
      case Number::Kind::Negative:
        break;
      case Number::Kind::Float:
        return fail(fmt::format("invalid type: {}, expected {}", n.unexpected(), name));
    }
    return fail(fmt::format("invalid value: {}, expected {}", n.unexpected(), name));
  }

  // ---- skipping unknown values -------------------------------------------------

  bool ignore_number() {
    if (peek() == '-') eat();
    const int c = next();
    if (c == '0') {
      if (is_digit(peek())) return fail("invalid number");
    } else if (is_digit(c)) {
      while (is_digit(peek())) eat();
    } else {
      return fail("invalid number");
    }
    if (peek() == '.') {
      eat();
      if (!is_digit(peek())) return fail("invalid number");
      while (is_digit(peek())) eat();
    }
    const int e = peek();
    if (e >= 0 && (e | 0x20) == 'e') {
      eat();
      const int sign = peek();
      if (sign == '+' || sign == '-') eat();
      if (!is_digit(next())) return fail("invalid number");
      while (is_digit(peek())) eat();
    }
    return true;
  }

  // After '{' or ',' inside a skipped object: a key and its colon.
  bool ignore_key(int c) {
    if (c < 0) return fail("EOF while parsing a value");
    if (c != '"') return fail("key must be a string");
    eat();
    return ignore_string() && parse_colon();
  }

  // Skips one value of any type, checking its syntax. Skipped values do not
  // count towards the nesting limit of the records; the walk is iterative, so
  // any depth is safe: `frames` holds the open arrays and objects.
  bool ignore_value() {
    std::string& frames = frames_;
    frames.clear();
    for (;;) {
      // A value is expected here.
      const int c = skip_ws();
      bool opened = false;
      switch (c) {
        case -1:
          return fail("EOF while parsing a value");
        case 'n':
          eat();
          if (!parse_ident("ull")) return false;
          break;
        case 't':
          eat();
          if (!parse_ident("rue")) return false;
          break;
        case 'f':
          eat();
          if (!parse_ident("alse")) return false;
          break;
        case '"':
          eat();
          if (!ignore_string()) return false;
          break;
        case '[':
        case '{': {
          eat();
          frames.push_back(static_cast<char>(c));
          const int inner = skip_ws();
          if (inner == (c == '[' ? ']' : '}')) {
            eat();
            frames.pop_back();
            break;
          }
          if (inner < 0)
            return fail(c == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
          if (c == '{' && !ignore_key(inner)) return false;
          opened = true;
          break;
        }
        default:
          if (c != '-' && !is_digit(c)) return fail("expected value");
          if (!ignore_number()) return false;
      }
      if (opened) continue;
      // A value is complete: close frames until one continues with ','.
      for (;;) {
        if (frames.empty()) return true;
        const char frame = frames.back();
        const int d = skip_ws();
        if (d < 0)
          return fail(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
        if (d == ',') {
          eat();
          if (frame == '{' && !ignore_key(skip_ws())) return false;
          break;
        }
        if (d != (frame == '[' ? ']' : '}')) {
          return fail(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
        }
        eat();
        frames.pop_back();
      }
    }
  }

  // ---- records and sequences ------------------------------------------------------

  bool parse_colon() {
    const int c = skip_ws();
    if (c == ':') {
      eat();
      return true;
    }
    return fail(c < 0 ? "EOF while parsing an object" : "expected `:`");
  }

  bool parse_value(uint16_t& out) { return parse_unsigned(out, "u16"); }
  bool parse_value(uint32_t& out) { return parse_unsigned(out, "u32"); }

  bool width_variant(ExchangeItemWidth& out) {
    if (scratch_ == "Word32") {
      out = ExchangeItemWidth::Word32;
    } else if (scratch_ == "Paired64") {
      out = ExchangeItemWidth::Paired64;
    } else {
      return fail(fmt::format("unknown variant `{}`, expected `Word32` or `Paired64`", scratch_));
    }
    return true;
  }

  bool parse_value(ExchangeItemWidth& out) {
    int c = skip_ws();
    if (c < 0) return fail("EOF while parsing a value");
    if (c == '"') {
      eat();
      return parse_string() && width_variant(out);
    }
    if (c != '{') return fail("expected value");
    if (!enter()) return false;
    eat();
    c = skip_ws();
    if (c < 0) return fail("EOF while parsing a value");
    if (c != '"') return invalid_type("variant identifier");
    eat();
    if (!parse_string() || !width_variant(out) || !parse_colon()) return false;
    c = skip_ws();
    if (c < 0) return fail("EOF while parsing a value");
    if (c != 'n') return invalid_type("unit");
    eat();
    if (!parse_ident("ull")) return false;
    leave();
    c = skip_ws();
    if (c == '}') {
      eat();
      return true;
    }
    return fail(c < 0 ? "EOF while parsing an object" : "expected value");
  }

  template <class T>
  bool parse_value(std::vector<T>& out) {
    int c = skip_ws();
    if (c < 0) return fail("EOF while parsing a value");
    if (c != '[') return invalid_type("a sequence");
    if (!enter()) return false;
    eat();
    for (bool first = true;; first = false) {
      c = skip_ws();
      if (c < 0) return fail("EOF while parsing a list");
      if (c == ']') break;
      if (!first) {
        if (c != ',') return fail("expected `,` or `]`");
        eat();
        c = skip_ws();
        if (c < 0) return fail("EOF while parsing a value");
        if (c == ']') return fail("trailing comma");
      }
      out.emplace_back();
      if (!parse_value(out.back())) return false;
    }
    eat();
    leave();
    return true;
  }

  bool parse_field(ExchangeScheduleSnapshot& r, size_t i) {
    switch (i) {
      case 0:
        return parse_value(r.schema_version);
      case 1:
        return parse_value(r.tile_count);
      default:
        return parse_value(r.phases);
    }
  }
  bool parse_field(ExchangeScheduleProblem& r, size_t i) {
    return i == 0 ? parse_value(r.phase) : parse_value(r.transfers);
  }
  bool parse_field(ExchangeScheduleTransfer& r, size_t i) {
    switch (i) {
      case 0:
        return parse_value(r.source);
      case 1:
        return parse_value(r.source_addresses);
      case 2:
        return parse_value(r.destinations);
      case 3:
        return parse_value(r.words);
      default:
        return parse_value(r.width);
    }
  }
  bool parse_field(ExchangeScheduleDestination& r, size_t i) {
    return i == 0 ? parse_value(r.tile) : parse_value(r.address);
  }

  template <class R>
  bool parse_value(R& out) {
    const int c = skip_ws();
    if (c < 0) return fail("EOF while parsing a value");
    if (c != '[' && c != '{') return invalid_type(RecordShape<R>::expecting);
    if (!enter()) return false;
    eat();
    if (!(c == '[' ? record_array(out) : record_object(out))) return false;
    leave();
    return true;
  }

  template <class R>
  bool record_array(R& out) {
    constexpr auto& names = RecordShape<R>::names;
    for (size_t i = 0; i < names.size(); ++i) {
      int c = skip_ws();
      if (c < 0) return fail("EOF while parsing a list");
      if (c == ']') {
        return fail(fmt::format("invalid length {}, expected {} with {} elements", i,
                                RecordShape<R>::expecting, names.size()));
      }
      if (i > 0) {
        if (c != ',') return fail("expected `,` or `]`");
        eat();
        c = skip_ws();
        if (c < 0) return fail("EOF while parsing a value");
        if (c == ']') return fail("trailing comma");
      }
      if (!parse_field(out, i)) return false;
    }
    int c = skip_ws();
    if (c == ']') {
      eat();
      return true;
    }
    if (c < 0) return fail("EOF while parsing a list");
    if (c == ',') {
      eat();
      c = skip_ws();
      return fail(c == ']' ? "trailing comma" : "trailing characters");
    }
    return fail("trailing characters");
  }

  template <class R>
  bool record_object(R& out) {
    constexpr auto& names = RecordShape<R>::names;
    uint32_t seen = 0;
    for (bool first = true;; first = false) {
      int c = skip_ws();
      if (c < 0) return fail("EOF while parsing an object");
      if (c == '}') break;
      if (!first) {
        if (c != ',') return fail("expected `,` or `}`");
        eat();
        c = skip_ws();
        if (c < 0) return fail("EOF while parsing a value");
      }
      if (c == '}') return fail("trailing comma");
      if (c != '"') return fail("key must be a string");
      eat();
      if (!parse_string()) return false;
      const auto found = std::find(names.begin(), names.end(), std::string_view(scratch_));
      const auto index = static_cast<size_t>(found - names.begin());
      if (found != names.end() && (seen >> index & 1u) != 0) {
        // The record's end is looked for before the error is placed, so it
        // points at whatever follows the key (usually its ':').
        skip_ws();
        return fail(fmt::format("duplicate field `{}`", *found));
      }
      if (!parse_colon()) return false;
      if (found == names.end()) {
        if (!ignore_value()) return false;
        continue;
      }
      seen |= 1u << index;
      if (!parse_field(out, index)) return false;
    }
    for (size_t i = 0; i < names.size(); ++i) {
      if ((seen >> i & 1u) == 0) return fail(fmt::format("missing field `{}`", names[i]));
    }
    eat();  // '}'
    return true;
  }

  std::string_view in_;
  size_t pos_ = 0;
  size_t examined_ = 0;
  int depth_left_ = kDepthLimit;
  std::string scratch_;
  std::string frames_;
  std::string message_;
  size_t error_at_ = 0;
};

}  // namespace

std::expected<ExchangeScheduleSnapshot, std::string> stream_decode_snapshot(std::string_view json) {
  return StreamDecoder(json).run();
}

}  // namespace tessel::codegen::exchange::detail
