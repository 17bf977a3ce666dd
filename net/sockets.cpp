#include "net/sockets.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

namespace {

// Bytes taken from the socket per receive call.
constexpr std::size_t read_ahead_bytes = 64 * 1024;

// How long, and for how many bytes, lingerClose drains the peer's input.
constexpr int linger_ms = 2000;
constexpr std::size_t linger_max_bytes = 64 * 1024 * 1024;

// How long canRead waits for the descriptor to become readable.
constexpr int can_read_wait_ms = 100;

// How long accepting pauses when the process or the system is short of
// descriptors or memory, so that connections ending meanwhile free some.
constexpr std::chrono::milliseconds accept_pause{20};

// Whether a failed accept concerns the listening socket itself, which no
// retry can mend.
bool listener_failed(int error) {
  return error == EBADF || error == EINVAL || error == ENOTSOCK ||
         error == EFAULT;
}

// Whether a failed accept concerns only the connection it was taking: the
// peer went away, the network or a firewall refused it, or a signal came.
// Linux reports the new connection's pending network errors through accept.
bool peer_failed(int error) {
  switch (error) {
    case ECONNABORTED:
    case EINTR:
    case EAGAIN:
    case EPERM:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// Waits for `descriptor` to become readable; returns false when
// `timeout_ms` (or -1 for no limit) passed first. Throws excHandler "poll".
bool wait_readable(int descriptor, int timeout_ms) {
  pollfd entry{descriptor, POLLIN, 0};
  int ready = ::poll(&entry, 1, timeout_ms);
  if (ready == -1) throw excHandler("poll");
  return ready > 0;
}

}  // namespace

socket_t::socket_t(int descriptor) : descriptor_(descriptor) {}

socket_t::~socket_t() {
  closed_ = true;
  ::close(descriptor_);
}

bool socket_t::isClosed() const { return closed_; }

server::server(int port, int backlog)
    : socket_t(::socket(AF_INET, SOCK_STREAM, 0)), address_{} {
  if (descriptor_ == -1) throw excHandler("socket");
  int on = 1;
  if (::setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1)
    throw excHandler("setsockopt");
  address_.sin_family = AF_INET;
  address_.sin_addr.s_addr = htonl(INADDR_ANY);
  address_.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address_),
             sizeof address_) == -1)
    throw excHandler("bind");
  if (::listen(descriptor_, backlog) == -1) throw excHandler("listen");
}

std::shared_ptr<client> server::acceptConnection() {
  for (;;) {
    sockaddr peer{};
    socklen_t length = sizeof peer;
    const int descriptor = ::accept(descriptor_, &peer, &length);
    if (descriptor != -1) {
      // Answers are written in one or two sends each; without this a short
      // second send can wait for the peer's delayed acknowledgement.
      int on = 1;
      ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      try {
        return std::make_shared<client>(descriptor, peer);
      } catch (const std::bad_alloc&) {
        ::close(descriptor);
        std::this_thread::sleep_for(accept_pause);
        continue;
      }
    }
    // Past a failure that concerns one connection, the next one is taken at
    // once; any other (short of descriptors or memory) waits a little first.
    const int error = errno;
    if (listener_failed(error)) throw excHandler("accept");
    if (!peer_failed(error)) std::this_thread::sleep_for(accept_pause);
  }
}

client::client(int descriptor, sockaddr peer)
    : socket_t(descriptor), peer_(peer) {}

void client::setIdleTimeout(std::optional<std::chrono::milliseconds> timeout) {
  idle_timeout_ = timeout;
}

void client::waitReadable() {
  if (!idle_timeout_) return;
  if (!wait_readable(descriptor_, static_cast<int>(idle_timeout_->count())))
    throw excHandler("recv");
}

bool client::fill() {
  if (!buffer_)
    buffer_ = std::make_unique_for_overwrite<char[]>(read_ahead_bytes);
  waitReadable();
  ssize_t received = ::recv(descriptor_, buffer_.get(), read_ahead_bytes, 0);
  if (received == -1) throw excHandler("recv");
  begin_ = 0;
  end_ = static_cast<std::size_t>(received);
  return received > 0;
}

void client::appendLine(std::string& out) {
  const std::size_t start = out.size();
  for (;;) {
    if (begin_ == end_ && !fill()) {
      if (canRead()) closed_ = true;
      return;
    }
    const char* data = buffer_.get() + begin_;
    const std::size_t available = end_ - begin_;
    const auto* newline =
        static_cast<const char*>(std::memchr(data, '\n', available));
    const std::size_t taken = newline != nullptr
                                  ? static_cast<std::size_t>(newline - data)
                                  : available;
    if (out.size() - start + taken > max_line_bytes) throw limit_error();
    out.append(data, taken);
    begin_ += taken;
    if (newline != nullptr) {
      ++begin_;
      return;
    }
  }
}

std::string client::receiveString() {
  std::string line;
  appendLine(line);
  return line;
}

std::string client::receiveAll(int lines, std::size_t max_bytes) {
  std::string block;
  int received = 0;
  for (; received < lines && !closed_; ++received) {
    appendLine(block);
    block += '\n';
    if (block.size() > max_bytes) throw limit_error();
  }
  // Lines that never came after the peer's shutdown count as empty.
  if (received < lines) {
    const auto missing = static_cast<std::size_t>(lines - received);
    if (block.size() + missing > max_bytes) throw limit_error();
    block.append(missing, '\n');
  }
  return block;
}

void client::lingerClose() {
  ::shutdown(descriptor_, SHUT_WR);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(linger_ms);
  std::size_t drained = 0;
  while (drained < linger_max_bytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 ||
        !wait_readable(descriptor_, static_cast<int>(left.count())))
      break;
    if (!fill()) break;
    drained += end_ - begin_;
  }
  begin_ = end_ = 0;
  closed_ = true;
}

bool client::canRead() { return wait_readable(descriptor_, can_read_wait_ms); }

void client::sendString(const std::string& text) {
  const char* data = text.data();
  std::size_t sent = 0;
  while (sent < text.size()) {
    ssize_t count = ::send(descriptor_, data + sent, text.size() - sent, 0);
    if (count == -1) throw excHandler("send");
    sent += static_cast<std::size_t>(count);
  }
}

void client::sendStringEndl(const std::string& text) {
  // The text and its line feed go out in one call; a partial send finishes
  // the rest with sendString.
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                    {&newline, 1}};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = 2;
  ssize_t count = ::sendmsg(descriptor_, &message, 0);
  if (count == -1) throw excHandler("send");
  const std::size_t total = text.size() + 1;
  const std::size_t sent = static_cast<std::size_t>(count);
  if (sent < text.size())
    sendString(text.substr(sent) + '\n');
  else if (sent < total)
    sendString("\n");
}
