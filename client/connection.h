// One connection to a quarn service, used by one thread. Received bytes are
// buffered, so that reading a line, a block or an expected answer costs a
// few system calls however many bytes it holds, and an expected answer is
// compared where it was received, without a copy. Every wait is bounded: by
// the wait limit for any progress and, when one is set, by a deadline; past
// either the call throws timed_out.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "client/memory.h"
#include "client/transport.h"

namespace client {

// Most bytes of one answer the connection buffers. Past it the read throws
// failure; no answer of a quarn service comes near it.
constexpr std::size_t max_answer_bytes = 256 * 1024 * 1024;

class connection {
 public:
  using clock = std::chrono::steady_clock;

  // Connects to `host` (a name or an address) at `port`, trying each of its
  // addresses in turn. Throws peer_closed when it is refused, timed_out when
  // it is not accepted within the wait limit, failure otherwise; each says
  // "cannot reach quarn at host:port" and why. With the settings' TLS, the
  // handshake follows, bounded by the wait limit too; a certificate that
  // does not verify for `host`, or a service that does not speak TLS, is a
  // failure that says so. `reserve` is told of every block the connection
  // allocates for what it receives.
  connection(const std::string& host, const std::string& port,
             const connection_settings& settings = {},
             reserve_memory reserve = {});
  // Takes over `descriptor`, a connected stream socket (one end of a socket
  // pair, in tests); only the settings' wait limit applies.
  explicit connection(int descriptor, const connection_settings& settings = {});
  connection(connection&&) noexcept = default;

  // "host:port", for messages.
  const std::string& peer() const { return peer_; }
  // Whether the service was reached at a loopback address (127.0.0.0/8,
  // ::1, or 127.0.0.0/8 mapped into IPv6).
  bool reached_over_loopback() const;
  // The socket, to wait on it; every byte goes through the calls below.
  int descriptor() const { return transport_.descriptor(); }

  // From now on every wait also ends at `deadline`; none: only the wait
  // limit bounds it.
  void set_deadline(std::optional<clock::time_point> deadline) {
    deadline_ = deadline;
  }

  // Sends all of `bytes`. Throws peer_closed when the service has closed or
  // reset the connection (an answer it sent before may still be read),
  // timed_out or failure.
  void send(std::string_view bytes);

  // The reads throw peer_closed when the connection ends before what they
  // read, and failure for an answer longer than max_answer_bytes.

  // The next line, without its line feed.
  std::string read_line();
  // Appends the next `count` lines, each with its line feed, to `out`. When
  // `out` is empty and they are all that has come, the buffer that holds
  // them becomes `out`, without a copy.
  void read_lines(std::size_t count, std::string& out);
  // Appends the next `count` bytes to `out`.
  void read_bytes(std::size_t count, std::string& out);
  // Reads as many bytes as `expected` holds, comparing them as they are,
  // where they were received; false at the first difference, after which
  // the connection is out of step and must be dropped.
  bool read_expected(std::string_view expected);

  // Whether the service has sent something not read yet or closed the
  // connection, without waiting.
  bool has_input_or_closed();
  // Waits for the next byte: true when the service closes the connection
  // instead, with nothing left to read; false when a byte came, which stays
  // to be read.
  bool at_end();
  // Reads and drops whatever comes until the service closes the connection;
  // returns the number of bytes dropped.
  std::size_t bytes_until_closed();

 private:
  // Where the next line feed lies, counted from the first unread byte and
  // looked for from `from` on; receives until one comes.
  std::size_t line_end(std::size_t from);
  // Receives more bytes into the buffer; false when the service has closed
  // the connection.
  bool fill();
  // Makes room after the unread bytes: moves them to the front of the
  // buffer, or grows it.
  void make_room_to_receive();
  // Waits until the transport is ready for `events`, within the wait limit
  // and the deadline.
  void wait_for(short events);
  [[noreturn]] void closed_early() const;

  transport transport_;
  std::string peer_;
  reserve_memory reserve_;
  std::chrono::milliseconds wait_limit_;
  std::optional<clock::time_point> deadline_;
  // Received bytes; those from begin_ to end_ are unread. Sized at the first
  // receive, so that an idle connection holds none.
  std::string buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace client
