#include "support/events.h"

namespace tessel::support::events {

Receiver* set_receiver(Receiver* receiver) {
  return std::exchange(detail::g_receiver, receiver);
}

void emit(Event event) {
  if (Receiver* r = detail::g_receiver) r->receive(event);
}

}  // namespace tessel::support::events
