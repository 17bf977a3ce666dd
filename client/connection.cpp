#include "client/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "client/errors.h"

namespace client {
namespace {

// Bytes of the buffer at its first receive; an answer longer than what
// remains of it doubles it.
constexpr std::size_t first_buffer_bytes = 256 * 1024;

// A socket connected to one of the addresses of `host`; throws, saying why
// none accepted the connection, otherwise.
int connect_to_host(const std::string& host, const std::string& port,
                    const connection_settings& settings) {
  const std::string failed = "cannot reach quarn at " + host + ":" + port;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
  if (status != 0) throw failure(failed + ": " + ::gai_strerror(status));
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(
      found, &::freeaddrinfo);
  int error = 0;
  for (const addrinfo* address = found; address != nullptr;
       address = address->ai_next) {
    const int descriptor = connect_socket(*address, settings);
    if (descriptor >= 0) return descriptor;
    error = errno;
  }
  const std::string reason = failed + ": " + std::strerror(error);
  if (error == ECONNREFUSED || error == ECONNRESET) throw peer_closed(reason);
  if (error == ETIMEDOUT) throw timed_out(reason);
  throw failure(reason);
}

std::string duration_text(std::chrono::milliseconds wait) {
  return wait.count() % 1000 == 0
             ? std::to_string(wait.count() / 1000) + " seconds"
             : std::to_string(wait.count()) + " ms";
}

}  // namespace

connection::connection(const std::string& host, const std::string& port,
                       const connection_settings& settings,
                       reserve_memory reserve)
    : transport_(connect_to_host(host, port, settings)),
      peer_(host + ":" + port),
      reserve_(std::move(reserve)),
      wait_limit_(settings.wait_limit) {
  if (!settings.tls) return;
  transport_.start_tls(*settings.tls, host);
  while (const short events = transport_.handshake(peer_)) wait_for(events);
}

connection::connection(int descriptor, const connection_settings& settings)
    : transport_(descriptor),
      peer_("descriptor " + std::to_string(descriptor)),
      wait_limit_(settings.wait_limit) {}

bool connection::reached_over_loopback() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(descriptor(), reinterpret_cast<sockaddr*>(&address),
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

void connection::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const transfer sent = transport_.send_some(bytes);
    bytes.remove_prefix(sent.bytes);
    if (sent.ended)
      throw peer_closed("the service at " + peer_ + " closed the connection");
    if (sent.error != 0)
      throw failure("cannot send to " + peer_ + ": " +
                    std::strerror(sent.error));
    if (sent.bytes == 0) wait_for(POLLOUT);
  }
}

std::string connection::read_line() {
  const std::size_t end = line_end(0);
  std::string line(buffer_.data() + begin_, end);
  begin_ += end + 1;
  return line;
}

void connection::read_lines(std::size_t count, std::string& out) {
  std::size_t taken = 0;
  for (; count > 0; --count) taken = line_end(taken) + 1;
  if (out.empty() && begin_ + taken == end_) {
    buffer_.resize(end_);
    buffer_.erase(0, begin_);
    out.swap(buffer_);
    buffer_.clear();
    begin_ = end_ = 0;
    return;
  }
  make_room(out, taken, reserve_);
  out.append(buffer_.data() + begin_, taken);
  begin_ += taken;
}

void connection::read_bytes(std::size_t count, std::string& out) {
  while (end_ - begin_ < count)
    if (!fill()) closed_early();
  out.append(buffer_.data() + begin_, count);
  begin_ += count;
}

bool connection::read_expected(std::string_view expected) {
  while (!expected.empty()) {
    if (begin_ == end_ && !fill()) closed_early();
    const std::size_t compared = std::min(expected.size(), end_ - begin_);
    if (std::memcmp(buffer_.data() + begin_, expected.data(), compared) != 0)
      return false;
    begin_ += compared;
    expected.remove_prefix(compared);
  }
  return true;
}

bool connection::has_input_or_closed() {
  return begin_ != end_ ||
         transport_.wait_ready(POLLIN, std::chrono::milliseconds(0));
}

bool connection::at_end() { return begin_ == end_ && !fill(); }

std::size_t connection::bytes_until_closed() {
  std::size_t dropped = 0;
  do {
    dropped += end_ - begin_;
    begin_ = end_;
  } while (fill());
  return dropped;
}

std::size_t connection::line_end(std::size_t from) {
  for (;;) {
    const char* unread = buffer_.data() + begin_;
    if (const void* found =
            std::memchr(unread + from, '\n', end_ - begin_ - from))
      return static_cast<std::size_t>(static_cast<const char*>(found) - unread);
    from = end_ - begin_;
    if (!fill()) closed_early();
  }
}

bool connection::fill() {
  make_room_to_receive();
  for (;;) {
    wait_for(POLLIN);
    const transfer received =
        transport_.receive_some(buffer_.data() + end_, buffer_.size() - end_);
    if (received.bytes > 0) {
      end_ += received.bytes;
      return true;
    }
    if (received.ended) return false;
    if (received.error != 0)
      throw failure("cannot receive from " + peer_ + ": " +
                    std::strerror(received.error));
  }
}

void connection::make_room_to_receive() {
  if (begin_ == end_) begin_ = end_ = 0;
  if (end_ < buffer_.size()) return;
  const std::size_t unread = end_ - begin_;
  // Moving costs no more than what was read since the buffer last filled,
  // or is all that is left once the buffer has its largest size.
  if (begin_ > 0 && (begin_ >= unread || buffer_.size() >= max_answer_bytes)) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, unread);
    begin_ = 0;
    end_ = unread;
    return;
  }
  if (buffer_.size() >= max_answer_bytes)
    throw failure("the answer of " + peer_ + " is larger than " +
                  std::to_string(max_answer_bytes >> 20) + " MiB");
  const std::size_t size = buffer_.empty()
                               ? first_buffer_bytes
                               : std::min(2 * buffer_.size(), max_answer_bytes);
  make_room(buffer_, size - buffer_.size(), reserve_);
  buffer_.resize(size);
}

void connection::wait_for(short events) {
  std::chrono::milliseconds wait = wait_limit_;
  bool deadline_first = false;
  if (deadline_) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - clock::now());
    if (left < wait) {
      wait = std::max(left, std::chrono::milliseconds(0));
      deadline_first = true;
    }
  }
  if (transport_.wait_ready(events, wait)) return;
  if (deadline_first)
    throw timed_out("the service at " + peer_ +
                    " did not answer by the deadline");
  throw timed_out("the service at " + peer_ + " did not respond for " +
                  duration_text(wait_limit_));
}

void connection::closed_early() const {
  throw peer_closed("the service at " + peer_ +
                    " closed the connection before answering in full");
}

}  // namespace client
