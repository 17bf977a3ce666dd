// The ways a load-generator run goes wrong: a wrong answer, a lost or silent
// connection, or a bad option. Thrown by value; quarn-bench then ends with a
// non-zero exit status and the message on standard error. The two kinds a
// hostile scenario reports as outcomes rather than as errors have classes of
// their own, so that they can be caught apart.
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

// The service closed or reset the connection, or refused it.
class peer_closed : public failure {
 public:
  using failure::failure;
};

// A wait passed its limit or the connection's deadline.
class timed_out : public failure {
 public:
  using failure::failure;
};

}  // namespace loadgen
