// The one way a load-generator run goes wrong: a wrong answer, a lost or
// silent connection, or a bad option. Thrown by value; the run then ends
// with a non-zero exit status and the message on standard error.
#pragma once

#include <string>
#include <utility>

namespace loadgen {

class failure {
 public:
  explicit failure(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

}  // namespace loadgen
