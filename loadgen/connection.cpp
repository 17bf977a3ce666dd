#include "loadgen/connection.h"

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

// Longest wait for the service to accept a send or to answer; past it the
// run fails.
constexpr int answer_wait_ms = 30000;

failure system_failure(const std::string& call) {
  return failure(call + " failed: " + std::strerror(errno));
}

int connect_to(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0)
    throw failure("cannot resolve " + host);
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  const int connected = descriptor == -1 ? -1
                                         : ::connect(descriptor, found->ai_addr,
                                                     found->ai_addrlen);
  ::freeaddrinfo(found);
  if (connected == -1) {
    const failure reason = system_failure("connect to " + host + ":" + service);
    if (descriptor != -1) ::close(descriptor);
    throw reason;
  }
  int on = 1;
  ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return descriptor;
}

void wait_for(int descriptor, short events) {
  pollfd entry{descriptor, events, 0};
  const int ready = ::poll(&entry, 1, answer_wait_ms);
  if (ready == -1) throw system_failure("poll");
  if (ready == 0) throw failure("no progress from the service within 30 s");
}

}  // namespace

connection::connection(const std::string& host, int port)
    : connection(connect_to(host, port)) {}

connection::connection(int descriptor) : descriptor_(descriptor) {}

connection::~connection() {
  if (descriptor_ != -1) ::close(descriptor_);
}

connection::connection(connection&& other) noexcept
    : descriptor_(other.descriptor_),
      buffer_(std::move(other.buffer_)),
      begin_(other.begin_),
      end_(other.end_) {
  other.descriptor_ = -1;
}

void connection::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    wait_for(descriptor_, POLLOUT);
    const ssize_t sent =
        ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent == -1) throw system_failure("send");
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
  wait_for(descriptor_, POLLIN);
  const ssize_t received =
      ::recv(descriptor_, buffer_.get(), read_buffer_bytes, 0);
  if (received == -1) throw system_failure("recv");
  if (received == 0) throw failure("the service closed the connection");
  begin_ = 0;
  end_ = static_cast<std::size_t>(received);
}

}  // namespace loadgen
