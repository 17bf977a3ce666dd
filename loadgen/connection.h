// One TCP connection to the service, with a read buffer of its own, so that
// an answer costs one receive call per buffer, not per byte. Every wait is
// bounded: a service that stops answering fails the run instead of hanging
// it. A connection belongs to one thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace loadgen {

struct connection_settings {
  // Longest wait for any progress: the connection accepted, bytes taken by a
  // send, bytes received. Past it the call throws timed_out.
  std::chrono::milliseconds wait_limit{30000};
  // Kernel receive buffer asked for before connecting, in bytes; 0 keeps the
  // system's. A small one makes a peer that does not read hold back the
  // service's answer at once.
  int receive_buffer_bytes = 0;
};

class connection {
 public:
  using clock = std::chrono::steady_clock;

  // Connects to host:port (IPv4) with Nagle's delay switched off, as Redis
  // clients do; throws peer_closed when refused, timed_out past the wait
  // limit, failure otherwise.
  connection(const std::string& host, int port,
             const connection_settings& settings = {});
  // Takes over a connected descriptor (used by tests with socket pairs).
  explicit connection(int descriptor);
  ~connection();
  connection(connection&& other) noexcept;
  connection& operator=(connection&&) = delete;
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;

  // From now on every wait also ends at `deadline` (none: only the wait
  // limit bounds it); past it the call throws timed_out.
  void set_deadline(std::optional<clock::time_point> deadline) {
    deadline_ = deadline;
  }

  // Sends every byte; throws peer_closed when the service has closed or
  // reset the connection, timed_out or failure.
  void send_all(std::string_view bytes);

  // The next line without its line feed; throws peer_closed at end of
  // stream.
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

  // Reads and drops whatever comes until the peer closes the connection;
  // true then, false when a wait passes the wait limit or the deadline.
  bool drains_to_close();

 private:
  // Appends bytes up to and including the next line feed to `out`.
  void read_through_newline(std::string& out);
  // Receives more bytes into the buffer; throws peer_closed at end of
  // stream.
  void fill();
  // Waits until the descriptor is ready for `events`, within the wait limit
  // and the deadline.
  void wait_for(short events) const;

  int descriptor_;
  std::chrono::milliseconds wait_limit_;
  std::optional<clock::time_point> deadline_;
  // Made at the first receive, so that idle connections cost no buffer.
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;  // first unread byte in buffer_
  std::size_t end_ = 0;    // one past the last received byte
};

}  // namespace loadgen
