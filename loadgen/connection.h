// One TCP connection to the service, with a read buffer of its own, so that
// an answer costs one receive call per buffer, not per byte. Every wait is
// bounded: a service that stops answering fails the run instead of hanging
// it. A connection belongs to one thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace loadgen {

class connection {
 public:
  // Connects to host:port (IPv4) with Nagle's delay switched off, as Redis
  // clients do; throws failure.
  connection(const std::string& host, int port);
  // Takes over a connected descriptor (used by tests with socket pairs).
  explicit connection(int descriptor);
  ~connection();
  connection(connection&& other) noexcept;
  connection& operator=(connection&&) = delete;
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // Sends every byte; throws failure.
  void send_all(std::string_view bytes);

  // The next line without its line feed; throws failure at end of stream.
  std::string read_line();
  // Appends the next `count` lines to `out`, each with its line feed.
  void read_lines(std::size_t count, std::string& out);
  // Reads as many bytes as `expected` holds, comparing them as they come
  // without copying them; false at the first difference, after which the
  // connection is out of step and must be dropped.
  bool read_expected(std::string_view expected);

  // Whether the peer has closed the connection or sent something unasked,
  // without waiting.
  bool has_input_or_closed();

 private:
  // Appends bytes up to and including the next line feed to `out`.
  void read_through_newline(std::string& out);
  // Receives more bytes into the buffer; throws failure at end of stream.
  void fill();

  int descriptor_;
  // Made at the first receive, so that idle connections cost no buffer.
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;  // first unread byte in buffer_
  std::size_t end_ = 0;    // one past the last received byte
};

}  // namespace loadgen
