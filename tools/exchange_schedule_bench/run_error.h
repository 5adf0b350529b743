#pragma once
// The run's one general error value: a message, optionally wrapped in a
// context text. Its report is what the process prints after "Error: ".
#include <optional>
#include <string>

namespace tessel::bench {

class RunError {
 public:
  explicit RunError(std::string message) : message_(std::move(message)) {}
  // `context` describes what was being done; `cause` is the underlying error.
  static RunError with_context(std::string context, std::string cause) {
    RunError e(std::move(context));
    e.cause_ = std::move(cause);
    return e;
  }

  const std::string& message() const { return message_; }
  const std::optional<std::string>& cause() const { return cause_; }

  // "context\n\nCaused by:\n    cause" for a wrapped error, else the message.
  std::string report() const;

 private:
  std::string message_;
  std::optional<std::string> cause_;
};

// "<strerror> (os error N)" for an operating-system error number.
std::string os_error_text(int error_number);

}  // namespace tessel::bench
