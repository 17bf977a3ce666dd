// One TCP connection to a quarn service, used by one thread. Every wait is
// bounded: when the service makes no progress for io_timeout, the call throws
// failure instead of hanging. Received bytes are buffered, so reading a line
// or a block costs a few system calls however many bytes it holds.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "client/memory.h"

namespace client {

// Longest wait for the service to accept a connection, take bytes or send
// some. Past it the command fails.
constexpr std::chrono::seconds io_timeout{30};

// Most bytes of one answer the client buffers. Past it the command fails; no
// answer of a quarn service comes near it.
constexpr std::size_t max_answer_bytes = 256 * 1024 * 1024;

class connection {
 public:
  // Connects to `host` (a name or an address) at `port`; throws failure
  // when no address of the host accepts the connection. `reserve` is told of
  // every block the connection allocates for what it receives.
  connection(const std::string& host, const std::string& port,
             reserve_memory reserve = {});
  ~connection();
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // "host:port", for messages.
  const std::string& peer() const { return peer_; }
  // Whether the service was reached at a loopback address (127.0.0.0/8,
  // ::1, or 127.0.0.0/8 mapped into IPv6).
  bool reached_over_loopback() const;

  // Sends all of `bytes`. Stops early, without a failure, when the service
  // has closed the connection: it may have answered first, and the answer
  // read next tells. Throws failure on any other error.
  void send(std::string_view bytes);

  // The next line, without its line feed. Throws failure when the service
  // closes the connection first.
  std::string read_line();
  // The next `count` lines, each with its line feed. Throws failure when the
  // service closes the connection first.
  std::string read_lines(std::size_t count);

 private:
  // Waits until the socket is ready for `events`; throws failure after
  // io_timeout.
  void wait_for(short events);
  // Receives more bytes into the buffer; false when the service has closed
  // the connection.
  bool fill();
  // The next `bytes` received bytes, taken out of the buffer.
  std::string take(std::size_t bytes);
  [[noreturn]] void closed_early() const;

  std::string peer_;
  reserve_memory reserve_;
  int descriptor_ = -1;
  // Received bytes; those before consumed_ have been returned already.
  std::string pending_;
  std::size_t consumed_ = 0;
};

}  // namespace client
