#pragma once
// Structured events: a target, a message and named fields. Nothing receives
// them unless a receiver is installed; the benchmark never installs one.
//
// Cost when disabled: TESSEL_EVENT tests one global pointer and evaluates
// neither the message nor the field values, so it may sit in hot loops.
#include <fmt/format.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessel::support::events {

struct Field {
  std::string_view name;
  std::string value;
};

struct Event {
  std::string_view target;
  std::string_view message;
  std::vector<Field> fields;
};

class Receiver {
 public:
  virtual ~Receiver() = default;
  virtual void receive(const Event& event) = 0;
};

namespace detail {
inline Receiver* g_receiver = nullptr;
}

// Installs `receiver` (nullptr removes it) and returns the previous one.
Receiver* set_receiver(Receiver* receiver);

inline bool enabled() {
  return detail::g_receiver != nullptr;
}

void emit(Event event);

template <typename T>
Field field(std::string_view name, const T& value) {
  return Field{name, fmt::format("{}", value)};
}

}  // namespace tessel::support::events

// TESSEL_EVENT("tessel_exchange", "assembled multicast exchange",
//              ("sender_logical", s), ("count", n));
#define TESSEL_EVENT_FIELD_(pair) ::tessel::support::events::field pair
#define TESSEL_EVENT(target, message, ...)                              \
  do {                                                                  \
    if (::tessel::support::events::enabled()) [[unlikely]] {            \
      ::tessel::support::events::emit(::tessel::support::events::Event{ \
          (target), (message), {TESSEL_EVENT_FIELDS_(__VA_ARGS__)}});   \
    }                                                                   \
  } while (0)

// Expands up to eight ("name", value) pairs into Field initialisers.
#define TESSEL_EVENT_NARGS_(...) \
  TESSEL_EVENT_NARGS_I_(__VA_ARGS__ __VA_OPT__(, ) 8, 7, 6, 5, 4, 3, 2, 1, 0)
#define TESSEL_EVENT_NARGS_I_(a1, a2, a3, a4, a5, a6, a7, a8, n, ...) n
#define TESSEL_EVENT_CAT_(a, b) TESSEL_EVENT_CAT_I_(a, b)
#define TESSEL_EVENT_CAT_I_(a, b) a##b
#define TESSEL_EVENT_FIELDS_(...) \
  TESSEL_EVENT_CAT_(TESSEL_EVENT_F, TESSEL_EVENT_NARGS_(__VA_ARGS__))(__VA_ARGS__)
#define TESSEL_EVENT_F0()
#define TESSEL_EVENT_F1(a) TESSEL_EVENT_FIELD_(a)
#define TESSEL_EVENT_F2(a, ...) TESSEL_EVENT_FIELD_(a), TESSEL_EVENT_F1(__VA_ARGS__)
#define TESSEL_EVENT_F3(a, ...) TESSEL_EVENT_FIELD_(a), TESSEL_EVENT_F2(__VA_ARGS__)
#define TESSEL_EVENT_F4(a, ...) TESSEL_EVENT_FIELD_(a), TESSEL_EVENT_F3(__VA_ARGS__)
#define TESSEL_EVENT_F5(a, ...) TESSEL_EVENT_FIELD_(a), TESSEL_EVENT_F4(__VA_ARGS__)
#define TESSEL_EVENT_F6(a, ...) TESSEL_EVENT_FIELD_(a), TESSEL_EVENT_F5(__VA_ARGS__)
#define TESSEL_EVENT_F7(a, ...) TESSEL_EVENT_FIELD_(a), TESSEL_EVENT_F6(__VA_ARGS__)
#define TESSEL_EVENT_F8(a, ...) TESSEL_EVENT_FIELD_(a), TESSEL_EVENT_F7(__VA_ARGS__)
