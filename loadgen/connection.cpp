#include "loadgen/connection.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "loadgen/failure.h"

namespace loadgen {
namespace {

// Bytes taken from the socket per receive call.
constexpr std::size_t read_buffer_bytes = 256 * 1024;

failure system_failure(const std::string& call) {
  return failure(call + " failed: " + std::strerror(errno));
}

// What a failed call means when errno says the peer went away.
bool peer_went_away(int error) {
  return error == ECONNREFUSED || error == ECONNRESET || error == EPIPE;
}

// Throws peer_closed or failure for the failed `call`, by errno.
[[noreturn]] void throw_call_failure(const std::string& call) {
  if (peer_went_away(errno))
    throw peer_closed(call + " failed: " + std::strerror(errno));
  throw system_failure(call);
}

std::string duration_text(std::chrono::milliseconds wait) {
  return wait.count() % 1000 == 0 ? std::to_string(wait.count() / 1000) + " s"
                                  : std::to_string(wait.count()) + " ms";
}

// Waits at most `wait` for `events` on the descriptor; false when the time
// ran out. Signals do not cut the wait short.
bool wait_ready(int descriptor, short events, std::chrono::milliseconds wait) {
  const auto until = connection::clock::now() + wait;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - connection::clock::now());
    pollfd entry{descriptor, events, 0};
    const int ready =
        ::poll(&entry, 1, static_cast<int>(std::max<long>(0, left.count())));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) throw system_failure("poll");
  }
}

void make_non_blocking(int descriptor) {
  const int flags = ::fcntl(descriptor, F_GETFL);
  if (flags == -1 || ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == -1)
    throw system_failure("fcntl");
}

sockaddr_in resolve(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0)
    throw failure("cannot resolve " + host);
  sockaddr_in address{};
  std::memcpy(&address, found->ai_addr, sizeof address);
  ::freeaddrinfo(found);
  return address;
}

// Connects within the wait limit; on return the descriptor is connected,
// non-blocking and has Nagle's delay switched off.
void connect_within(int descriptor, const sockaddr_in& address,
                    const connection_settings& settings,
                    const std::string& name) {
  if (settings.receive_buffer_bytes > 0)
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF,
                 &settings.receive_buffer_bytes,
                 sizeof settings.receive_buffer_bytes);
  make_non_blocking(descriptor);
  if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&address),
                sizeof address) == -1) {
    if (errno != EINPROGRESS) throw_call_failure("connect to " + name);
    if (!wait_ready(descriptor, POLLOUT, settings.wait_limit))
      throw timed_out("connect to " + name + " took over " +
                      duration_text(settings.wait_limit));
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &error, &length);
    errno = error;
    if (error != 0) throw_call_failure("connect to " + name);
  }
  int on = 1;
  ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int connect_to(const std::string& host, int port,
               const connection_settings& settings) {
  const sockaddr_in address = resolve(host, port);
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  if (descriptor == -1) throw system_failure("socket");
  try {
    connect_within(descriptor, address, settings,
                   host + ":" + std::to_string(port));
  } catch (...) {
    ::close(descriptor);
    throw;
  }
  return descriptor;
}

}  // namespace

connection::connection(const std::string& host, int port,
                       const connection_settings& settings)
    : descriptor_(connect_to(host, port, settings)),
      wait_limit_(settings.wait_limit) {}

connection::connection(int descriptor)
    : descriptor_(descriptor), wait_limit_(connection_settings{}.wait_limit) {
  make_non_blocking(descriptor_);
}

connection::~connection() {
  if (descriptor_ != -1) ::close(descriptor_);
}

connection::connection(connection&& other) noexcept
    : descriptor_(other.descriptor_),
      wait_limit_(other.wait_limit_),
      deadline_(other.deadline_),
      buffer_(std::move(other.buffer_)),
      begin_(other.begin_),
      end_(other.end_) {
  other.descriptor_ = -1;
}

void connection::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    wait_for(POLLOUT);
    const ssize_t sent =
        ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent == -1) {
      if (errno == EAGAIN || errno == EINTR) continue;
      throw_call_failure("send");
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
  }
}

std::string connection::read_line() {
  std::string line;
  read_through_newline(line);
  line.pop_back();
  return line;
}

void connection::read_lines(std::size_t count, std::string& out) {
  for (std::size_t i = 0; i < count; ++i) read_through_newline(out);
}

bool connection::read_expected(std::string_view expected) {
  while (!expected.empty()) {
    if (begin_ == end_) fill();
    const std::size_t compared = std::min(expected.size(), end_ - begin_);
    if (std::memcmp(buffer_.get() + begin_, expected.data(), compared) != 0)
      return false;
    begin_ += compared;
    expected.remove_prefix(compared);
  }
  return true;
}

bool connection::has_input_or_closed() {
  if (begin_ != end_) return true;
  pollfd entry{descriptor_, POLLIN, 0};
  return ::poll(&entry, 1, 0) != 0;
}

bool connection::drains_to_close() {
  try {
    for (;;) {
      begin_ = end_;
      fill();
    }
  } catch (const peer_closed&) {
    return true;
  } catch (const timed_out&) {
    return false;
  }
}

void connection::read_through_newline(std::string& out) {
  for (;;) {
    if (begin_ == end_) fill();
    const char* start = buffer_.get() + begin_;
    const std::size_t available = end_ - begin_;
    const auto* newline =
        static_cast<const char*>(std::memchr(start, '\n', available));
    const std::size_t taken =
        newline != nullptr ? static_cast<std::size_t>(newline - start) + 1
                           : available;
    out.append(start, taken);
    begin_ += taken;
    if (newline != nullptr) return;
  }
}

void connection::fill() {
  if (!buffer_)
    buffer_ = std::make_unique_for_overwrite<char[]>(read_buffer_bytes);
  for (;;) {
    wait_for(POLLIN);
    const ssize_t received =
        ::recv(descriptor_, buffer_.get(), read_buffer_bytes, 0);
    if (received == 0) throw peer_closed("the service closed the connection");
    if (received > 0) {
      begin_ = 0;
      end_ = static_cast<std::size_t>(received);
      return;
    }
    if (errno != EAGAIN && errno != EINTR) throw_call_failure("recv");
  }
}

void connection::wait_for(short events) const {
  std::chrono::milliseconds wait = wait_limit_;
  if (deadline_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        *deadline_ - clock::now());
    if (left < wait) {
      if (!wait_ready(descriptor_, events,
                      std::max(left, std::chrono::milliseconds(0))))
        throw timed_out("no answer from the service by the deadline");
      return;
    }
  }
  if (!wait_ready(descriptor_, events, wait))
    throw timed_out("no progress from the service within " +
                    duration_text(wait));
}

}  // namespace loadgen
