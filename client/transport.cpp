#include "client/transport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "client/errors.h"
#include "client/tls.h"

namespace client {
namespace {

using clock = std::chrono::steady_clock;

// Whether `descriptor` becomes ready for `events` within `wait`; signals do
// not cut the wait short. -1 with errno set when poll fails.
int wait_until_ready(int descriptor, short events,
                     std::chrono::milliseconds wait) {
  const clock::time_point until = clock::now() + wait;
  for (;;) {
    pollfd entry{descriptor, events, 0};
    const int ready = ::poll(&entry, 1, static_cast<int>(wait.count()));
    if (ready >= 0 || errno != EINTR) return ready;
    wait = std::max(
        std::chrono::milliseconds(0),
        std::chrono::ceil<std::chrono::milliseconds>(until - clock::now()));
  }
}

// The error of a non-blocking connect once it has finished, or ETIMEDOUT.
int finish_connect(int descriptor, std::chrono::milliseconds wait) {
  const int ready = wait_until_ready(descriptor, POLLOUT, wait);
  if (ready < 0) return errno;
  if (ready == 0) return ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    return errno;
  return error;
}

// Binds `descriptor`, a socket of `family`, to `address`; an errno value
// when it cannot, 0 when it is bound.
int bind_to(int descriptor, int family, const std::string& address) {
  sockaddr_storage local{};
  socklen_t length = 0;
  void* bytes = nullptr;
  if (family == AF_INET) {
    auto& ipv4 = reinterpret_cast<sockaddr_in&>(local);
    bytes = &ipv4.sin_addr;
    length = sizeof ipv4;
  } else if (family == AF_INET6) {
    auto& ipv6 = reinterpret_cast<sockaddr_in6&>(local);
    bytes = &ipv6.sin6_addr;
    length = sizeof ipv6;
  }
  local.ss_family = static_cast<sa_family_t>(family);
  if (bytes == nullptr || ::inet_pton(family, address.c_str(), bytes) != 1)
    return EADDRNOTAVAIL;
  if (::bind(descriptor, reinterpret_cast<sockaddr*>(&local), length) != 0)
    return errno;
  return 0;
}

// Sets up and connects `descriptor`; an errno value when that fails.
int set_up_and_connect(int descriptor, const addrinfo& address,
                       const connection_settings& settings) {
  if (settings.receive_buffer_bytes > 0)
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF,
                 &settings.receive_buffer_bytes,
                 sizeof settings.receive_buffer_bytes);
  if (!settings.local_address.empty())
    if (const int error =
            bind_to(descriptor, address.ai_family, settings.local_address))
      return error;
  if (::connect(descriptor, address.ai_addr, address.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return errno;
    if (const int error = finish_connect(descriptor, settings.wait_limit))
      return error;
  }
  const int on = 1;
  ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return 0;
}

// What a failed send or receive means.
transfer failed(int error) {
  if (error == EAGAIN || error == EWOULDBLOCK) return {};
  if (error == EPIPE || error == ECONNRESET) return {.ended = true};
  return {.error = error};
}

}  // namespace

int connect_socket(const addrinfo& address,
                   const connection_settings& settings) {
  const int descriptor = ::socket(
      address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
      address.ai_protocol);
  if (descriptor < 0) return -1;
  const int error = set_up_and_connect(descriptor, address, settings);
  if (error == 0) return descriptor;
  ::close(descriptor);
  errno = error;
  return -1;
}

transport::transport(int descriptor) : descriptor_(descriptor) {
  const int flags = ::fcntl(descriptor_, F_GETFL);
  if (flags == -1 || ::fcntl(descriptor_, F_SETFL, flags | O_NONBLOCK) == -1) {
    const int error = errno;
    ::close(descriptor_);
    throw failure(std::string("cannot use the connection: ") +
                  std::strerror(error));
  }
}

transport::~transport() {
  tls_.reset();
  if (descriptor_ >= 0) ::close(descriptor_);
}

transport::transport(transport&& other) noexcept
    : descriptor_(other.descriptor_), tls_(std::move(other.tls_)) {
  other.descriptor_ = -1;
}

void transport::start_tls(const tls_context& context, const std::string& host) {
  tls_ = std::make_unique<tls_session>(context, descriptor_, host);
}

short transport::handshake(const std::string& peer) {
  if (!tls_ || tls_->handshake(peer)) return 0;
  return tls_->wanted();
}

transfer transport::send_some(std::string_view bytes) {
  if (tls_) return tls_->send_some(bytes);
  for (;;) {
    const ssize_t sent =
        ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent >= 0) return {.bytes = static_cast<std::size_t>(sent)};
    if (errno != EINTR) return failed(errno);
  }
}

transfer transport::receive_some(char* into, std::size_t room) {
  if (tls_) return tls_->receive_some(into, room);
  for (;;) {
    const ssize_t received = ::recv(descriptor_, into, room, 0);
    if (received > 0) return {.bytes = static_cast<std::size_t>(received)};
    if (received == 0) return {.ended = true};
    if (errno != EINTR) return failed(errno);
  }
}

bool transport::wait_ready(short events, std::chrono::milliseconds wait) {
  if (!tls_ || !tls_->established()) return socket_ready(events, wait);
  if (events != POLLIN)
    return socket_ready(tls_->wanted() != 0 ? tls_->wanted() : events, wait);
  // What comes may be TLS's own messages only, which leave nothing to read.
  const clock::time_point until = clock::now() + wait;
  while (!tls_->can_receive()) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(until - clock::now());
    if (!socket_ready(tls_->wanted(),
                      std::max(left, std::chrono::milliseconds(0))))
      return false;
  }
  return true;
}

bool transport::socket_ready(short events,
                             std::chrono::milliseconds wait) const {
  const int ready = wait_until_ready(descriptor_, events, wait);
  if (ready < 0)
    throw failure(std::string("cannot wait for the connection: ") +
                  std::strerror(errno));
  return ready > 0;
}

}  // namespace client
