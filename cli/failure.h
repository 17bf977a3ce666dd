// The tool's two failures. Each carries the one line the user reads on
// standard error; main catches both, prints that line and exits non-zero.
#pragma once

#include <string>
#include <utility>

namespace cli {

// Something went wrong while doing what was asked: a file, the network, the
// service's answer. Exit status 1.
class failure {
 public:
  explicit failure(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// The command line asks for something the tool does not do. Exit status 2.
class usage_error {
 public:
  explicit usage_error(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

}  // namespace cli
