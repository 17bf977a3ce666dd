// The failures of quarn's clients. Each carries the one line a person reads;
// quarn-cli prints it on standard error, quarn-web sends it back as the
// error of a request. The classes are told apart by type because the tools
// answer them differently (exit status, HTTP status).
#pragma once

#include <string>
#include <utility>

namespace client {

// Something went wrong while doing what was asked: a file, a conversion, the
// network, an answer that is no answer of a quarn service.
class failure {
 public:
  explicit failure(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// The request asks for something the tool does not do, or gives a value the
// protocol cannot carry (a secret with a blank, a malformed position).
class usage_error {
 public:
  explicit usage_error(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// The service answered "ERROR(reason)". `reason` is the word in parentheses
// ("PASSWORD", "NOTFOUND", ...); the message says in words what went wrong.
class refusal {
 public:
  refusal(std::string reason, std::string message)
      : reason_(std::move(reason)), message_(std::move(message)) {}
  const std::string& reason() const { return reason_; }
  const std::string& message() const { return message_; }

 private:
  std::string reason_;
  std::string message_;
};

// A picture larger than the service accepts, refused before anything is
// sent: past a limit of the protocol, or too many pixels to convert.
class over_limit {
 public:
  explicit over_limit(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

}  // namespace client
