// The failures of quarn's clients. Each carries the one line a person reads;
// quarn-cli prints it on standard error, quarn-web sends it back as the
// error of a request, quarn-bench ends with it. The classes are told apart by
// type because the tools answer them differently (exit status, HTTP status,
// an outcome a hostile scenario counts).
#pragma once

#include <string>
#include <utility>

namespace client {

// What every failure below carries: the line a person reads. A tool that
// answers some kinds alike catches this base after the kinds it tells apart.
class error {
 public:
  explicit error(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Something went wrong while doing what was asked: a file, a conversion, the
// network, an answer that is no answer of a quarn service.
class failure : public error {
 public:
  using error::error;
};

// The service refused the connection, or closed or reset it.
class peer_closed : public failure {
 public:
  using failure::failure;
};

// A wait for the service passed its limit or the connection's deadline.
class timed_out : public failure {
 public:
  using failure::failure;
};

// The request asks for something the tool does not do, or gives a value the
// protocol cannot carry (a secret with a blank, a malformed position).
class usage_error : public error {
 public:
  using error::error;
};

// The service answered "ERROR(reason)". `reason` is the word in parentheses
// ("PASSWORD", "NOTFOUND", ...); the message says in words what went wrong.
class refusal : public error {
 public:
  refusal(std::string reason, std::string message)
      : error(std::move(message)), reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// A picture larger than the service accepts, refused before anything is
// sent: past a limit of the protocol, or too many pixels to convert.
class over_limit : public error {
 public:
  using error::error;
};

}  // namespace client
