// The bytes of one connection as the system carries them: a stream socket
// that the transport owns and closes once. It moves bytes without blocking
// and waits for the socket when asked; what the bytes mean and how long to
// wait is the connection's business (client/connection.h). Another kind of
// transport, such as TLS over the socket, would offer the same calls.
#pragma once

#include <netdb.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace client {

// How a connection is opened.
struct connection_settings {
  // Longest wait for any progress: the service accepting the connection,
  // taking bytes or sending some. Past it the call throws timed_out.
  std::chrono::milliseconds wait_limit{30000};
  // Kernel receive buffer asked for before connecting, in bytes; 0 keeps the
  // system's. A small one makes a client that does not read hold back the
  // service's answer at once.
  int receive_buffer_bytes = 0;
  // The address to connect from, one of this host's; empty lets the system
  // choose.
  std::string local_address{};
};

// A socket connected to `address` as `settings` ask, non-blocking and with
// Nagle's delay switched off (every send is a whole request). Returns -1
// with errno set when it cannot be made, bound or connected; ETIMEDOUT when
// the connection is not accepted within the wait limit.
int connect_socket(const addrinfo& address,
                   const connection_settings& settings);

// How far one send or receive got.
struct transfer {
  std::size_t bytes = 0;  // moved; none when the call would have to wait
  bool ended = false;     // the peer has closed or reset the connection
  int error = 0;          // errno of any other failure; 0 when none
};

class transport {
 public:
  // Takes over `descriptor`, a connected stream socket, and makes it
  // non-blocking; throws failure when it cannot.
  explicit transport(int descriptor);
  ~transport();
  transport(transport&& other) noexcept;
  transport& operator=(transport&&) = delete;
  transport(const transport&) = delete;
  transport& operator=(const transport&) = delete;

  int descriptor() const { return descriptor_; }

  // Sends what of `bytes` the socket takes now.
  transfer send_some(std::string_view bytes);
  // Receives what has come, up to `room` bytes, into `into`.
  transfer receive_some(char* into, std::size_t room);
  // Whether the socket becomes ready for `events` (POLLIN, POLLOUT) within
  // `wait`; throws failure when it cannot be waited for.
  bool wait_ready(short events, std::chrono::milliseconds wait) const;

 private:
  int descriptor_;
};

}  // namespace client
