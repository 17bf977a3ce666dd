#include "client/connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "client/errors.h"

namespace client {
namespace {

// Bytes asked of one receive call.
constexpr std::size_t receive_chunk = 64 * 1024;

constexpr int timeout_ms =
    static_cast<int>(std::chrono::milliseconds(io_timeout).count());

// Waits until `descriptor` is ready for `events`: above 0 when it is, 0
// after io_timeout, -1 (errno set) when the wait fails.
int wait_until_ready(int descriptor, short events) {
  pollfd entry{descriptor, events, 0};
  int result;
  do {
    result = ::poll(&entry, 1, timeout_ms);
  } while (result < 0 && errno == EINTR);
  return result;
}

// The error of a non-blocking connect once it has finished, or ETIMEDOUT.
int finish_connect(int descriptor) {
  const int ready = wait_until_ready(descriptor, POLLOUT);
  if (ready < 0) return errno;
  if (ready == 0) return ETIMEDOUT;
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    return errno;
  return error;
}

// A socket connected to `address`, or -1 with the reason in `reason`.
int connect_to(const addrinfo& address, std::string& reason) {
  const int descriptor = ::socket(
      address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
      address.ai_protocol);
  if (descriptor < 0) {
    reason = std::strerror(errno);
    return -1;
  }
  int error = 0;
  if (::connect(descriptor, address.ai_addr, address.ai_addrlen) != 0)
    error = errno == EINPROGRESS ? finish_connect(descriptor) : errno;
  if (error == 0) return descriptor;
  reason = std::strerror(error);
  ::close(descriptor);
  return -1;
}

}  // namespace

connection::connection(const std::string& host, const std::string& port,
                       reserve_memory reserve)
    : peer_(host + ":" + port), reserve_(std::move(reserve)) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (status != 0)
    throw failure("cannot reach quarn at " + peer_ + ": " +
                  ::gai_strerror(status));
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(
      found, &::freeaddrinfo);
  std::string reason;
  for (const addrinfo* address = found; address != nullptr && descriptor_ < 0;
       address = address->ai_next)
    descriptor_ = connect_to(*address, reason);
  if (descriptor_ < 0)
    throw failure("cannot reach quarn at " + peer_ + ": " + reason);
}

connection::~connection() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

bool connection::reached_over_loopback() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(descriptor_, reinterpret_cast<sockaddr*>(&address),
                    &length) != 0)
    return false;
  if (address.ss_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(ipv4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family != AF_INET6) return false;
  const in6_addr& ipv6 =
      reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&ipv6) ||
         (IN6_IS_ADDR_V4MAPPED(&ipv6) && ipv6.s6_addr[12] == 127);
}

void connection::wait_for(short events) {
  const int ready = wait_until_ready(descriptor_, events);
  if (ready == 0)
    throw failure("the service at " + peer_ + " did not respond for " +
                  std::to_string(io_timeout.count()) + " seconds");
  if (ready < 0)
    throw failure("cannot wait for " + peer_ + ": " + std::strerror(errno));
}

void connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent =
        ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    const int error = errno;
    if (error == EPIPE || error == ECONNRESET) return;
    if (error == EAGAIN || error == EWOULDBLOCK)
      wait_for(POLLOUT);
    else if (error != EINTR)
      throw failure("cannot send to " + peer_ + ": " + std::strerror(error));
  }
}

bool connection::fill() {
  if (consumed_ > pending_.size() / 2) {
    pending_.erase(0, consumed_);
    consumed_ = 0;
  }
  if (pending_.size() - consumed_ > max_answer_bytes)
    throw failure("the answer of " + peer_ + " is larger than " +
                  std::to_string(max_answer_bytes >> 20) + " MiB");
  for (;;) {
    const std::size_t held = pending_.size();
    make_room(pending_, receive_chunk, reserve_);
    pending_.resize(held + receive_chunk);
    const ssize_t received =
        ::recv(descriptor_, pending_.data() + held, receive_chunk, 0);
    const int error = errno;
    pending_.resize(held +
                    static_cast<std::size_t>(std::max<ssize_t>(received, 0)));
    if (received > 0) return true;
    if (received == 0 || error == ECONNRESET) return false;
    if (error == EAGAIN || error == EWOULDBLOCK)
      wait_for(POLLIN);
    else if (error != EINTR)
      throw failure("cannot receive from " + peer_ + ": " +
                    std::strerror(error));
  }
}

std::string connection::take(std::size_t bytes) {
  if (consumed_ + bytes == pending_.size()) {
    // The rest of the buffer: handed out whole, without a copy.
    pending_.erase(0, consumed_);
    consumed_ = 0;
    return std::exchange(pending_, std::string());
  }
  announce(reserve_, bytes);
  std::string taken = pending_.substr(consumed_, bytes);
  consumed_ += bytes;
  return taken;
}

void connection::closed_early() const {
  throw failure("the service at " + peer_ +
                " closed the connection before answering in full");
}

std::string connection::read_line() {
  std::size_t searched = 0;  // bytes after consumed_ known to hold no line feed
  for (;;) {
    const std::size_t end = pending_.find('\n', consumed_ + searched);
    if (end != std::string::npos) {
      std::string line = pending_.substr(consumed_, end - consumed_);
      consumed_ = end + 1;
      return line;
    }
    searched = pending_.size() - consumed_;
    if (!fill()) closed_early();
  }
}

std::string connection::read_lines(std::size_t count) {
  std::size_t taken = 0;  // bytes after consumed_ that end in a counted line
  std::size_t searched = 0;
  while (count > 0) {
    const std::size_t end = pending_.find('\n', consumed_ + searched);
    if (end == std::string::npos) {
      searched = pending_.size() - consumed_;
      if (!fill()) closed_early();
      continue;
    }
    taken = searched = end + 1 - consumed_;
    --count;
  }
  return take(taken);
}

}  // namespace client
