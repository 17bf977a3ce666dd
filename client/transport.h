// The bytes of one connection as the system carries them: a stream socket
// that the transport owns and closes once, in the clear or through TLS
// (client/tls.h). It moves bytes without blocking and waits for the socket
// when asked; what the bytes mean and how long to wait is the connection's
// business (client/connection.h).
#pragma once

#include <netdb.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace client {

class tls_context;
class tls_session;

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
  // What to trust when the connection speaks TLS (client/tls.h); none: it
  // does not.
  std::shared_ptr<const tls_context> tls{};
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

  // From now on the bytes go through TLS with the service at `host`, as the
  // user named it, once the handshake is done. Throws failure when TLS cannot
  // be set up.
  void start_tls(const tls_context& context, const std::string& host);
  // Takes the TLS handshake as far as it goes now: 0 once it is done (at
  // once without TLS), otherwise the events to wait for before the next
  // step. Throws failure saying why the handshake failed, naming `peer`.
  short handshake(const std::string& peer);

  // Sends what of `bytes` the socket takes now.
  transfer send_some(std::string_view bytes);
  // Receives what has come, up to `room` bytes, into `into`.
  transfer receive_some(char* into, std::size_t room);
  // Whether the transport becomes ready for `events` (POLLIN, POLLOUT)
  // within `wait`: through TLS, ready to receive means that application
  // bytes or the end have come, and a send may wait to receive first.
  // Throws failure when it cannot be waited for.
  bool wait_ready(short events, std::chrono::milliseconds wait);

 private:
  // Whether the socket itself becomes ready for `events` within `wait`.
  bool socket_ready(short events, std::chrono::milliseconds wait) const;

  int descriptor_;
  std::unique_ptr<tls_session> tls_;
};

}  // namespace client
