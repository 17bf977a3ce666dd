#include "net/sockets.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <thread>

namespace {

// Bytes taken from the socket per receive call.
constexpr std::size_t read_ahead_bytes = 64 * 1024;
// What the first receive after a command takes: every usual command line.
constexpr std::size_t first_read_bytes = 4 * 1024;

// How long, and for how many bytes, lingerClose drains the peer's input, and
// the bytes it takes per receive call.
constexpr int linger_ms = 2000;
constexpr std::size_t linger_max_bytes = 64 * 1024 * 1024;
constexpr std::size_t linger_chunk_bytes = 16 * 1024;

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

// Waits for `events` on `descriptor`; returns false when `timeout_ms` (or -1
// for no limit) passed first. Throws excHandler "poll".
bool wait_for(int descriptor, short events, int timeout_ms) {
  pollfd entry{descriptor, events, 0};
  int ready = ::poll(&entry, 1, timeout_ms);
  if (ready == -1) throw excHandler("poll");
  return ready > 0;
}

int milliseconds_of(std::chrono::milliseconds duration) {
  return static_cast<int>(duration.count());
}

// Heap bytes behind a string of `capacity`; short strings live inside the
// string object itself.
std::ptrdiff_t heap_bytes(std::size_t capacity) {
  const std::size_t inline_capacity = std::string().capacity();
  return capacity > inline_capacity ? static_cast<std::ptrdiff_t>(capacity) : 0;
}

// Gives `text` exactly `capacity`: std::string::reserve rounds a request
// below twice the old capacity up to that, but a new string is given what it
// asks for.
void reserve_exactly(std::string& text, std::size_t capacity) {
  if (capacity >= 2 * text.capacity()) {
    text.reserve(capacity);
    return;
  }
  std::string larger;
  larger.reserve(capacity);
  larger.append(text);
  text.swap(larger);
}

// Drops the first `sent` bytes of `parts`, and any empty parts at its front.
void skip_sent(iovec*& parts, std::size_t& count, std::size_t sent) {
  while (count > 0 && sent >= parts->iov_len) {
    sent -= parts->iov_len;
    ++parts;
    --count;
  }
  if (count == 0) return;
  parts->iov_base = static_cast<char*>(parts->iov_base) + sent;
  parts->iov_len -= sent;
}

// A line that is not part of a transfer has a deadline of its own, counted
// from when the line is first seen to go on past what has come; this clears
// it when the line is done, however that ends.
class line_deadline {
 public:
  explicit line_deadline(
      std::optional<std::chrono::steady_clock::time_point>& deadline)
      : deadline_(deadline), own_(!deadline) {}
  ~line_deadline() {
    if (own_) deadline_.reset();
  }
  line_deadline(const line_deadline&) = delete;
  line_deadline& operator=(const line_deadline&) = delete;

  void start(std::chrono::milliseconds limit) {
    if (!deadline_) deadline_ = std::chrono::steady_clock::now() + limit;
  }

 private:
  std::optional<std::chrono::steady_clock::time_point>& deadline_;
  bool own_;
};

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

client::~client() { releaseBuffer(); }

void client::setTiming(peer_timing timing) { timing_ = timing; }

const peer_timing& client::timing() const { return timing_; }

void client::setMemoryHook(memory_hook hook) { memory_hook_ = std::move(hook); }

std::size_t client::heldBytes() const { return buffer_ ? read_ahead_bytes : 0; }

void client::account(std::ptrdiff_t bytes) {
  if (memory_hook_ && bytes != 0) memory_hook_(bytes);
}

void client::takeBuffer() {
  if (buffer_) return;
  account(read_ahead_bytes);
  try {
    buffer_ = std::make_unique_for_overwrite<char[]>(read_ahead_bytes);
  } catch (...) {
    account(-static_cast<std::ptrdiff_t>(read_ahead_bytes));
    throw;
  }
}

void client::releaseBuffer() {
  if (!buffer_) return;
  buffer_.reset();
  begin_ = end_ = 0;
  account(-static_cast<std::ptrdiff_t>(read_ahead_bytes));
}

void client::makeRoom(std::string& text, std::size_t size,
                      std::size_t max_size) {
  if (size > max_size) throw limit_error();
  if (size <= text.capacity()) return;
  // Geometric growth keeps appending linear; the cap keeps a block that ends
  // near its budget from reserving up to twice the budget.
  const std::size_t capacity =
      std::max(size, std::min(2 * text.capacity(), max_size));
  // Both blocks are held while the text moves into the new one.
  const std::ptrdiff_t old_bytes = heap_bytes(text.capacity());
  const std::ptrdiff_t new_bytes = heap_bytes(capacity);
  account(new_bytes);
  try {
    reserve_exactly(text, capacity);
  } catch (...) {
    account(-new_bytes);
    throw;
  }
  account(-old_bytes);
}

template <typename build_fn>
std::string client::build(build_fn build) {
  std::string text;
  try {
    build(text);
  } catch (...) {
    account(-heap_bytes(text.capacity()));
    throw;
  }
  return text;
}

void client::beginTransfer() { deadline_ = clock::now() + timing_.deadline; }

void client::endTransfer() { deadline_.reset(); }

void client::keepDeadline() const {
  if (clock::now() >= *deadline_)
    throw stall_error(stall_error::reason::deadline_passed);
}

void client::waitForInput() {
  keepDeadline();
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(*deadline_ - clock::now());
  if (!wait_for(descriptor_, POLLIN,
                milliseconds_of(std::min(timing_.stall, left)))) {
    if (timing_.stall < left)
      throw stall_error(stall_error::reason::receive_stalled);
    throw stall_error(stall_error::reason::deadline_passed);
  }
}

bool client::fill() {
  // The buffer is taken only once there is something to read, so that a
  // connection waiting for its peer holds none.
  if (!buffer_) {
    if (!deadline_) return fillBetweenCommands();
    waitForInput();
    takeBuffer();
  }
  ssize_t received;
  if (!deadline_) {
    received = ::recv(descriptor_, buffer_.get(), read_ahead_bytes, 0);
  } else {
    // Within a line or a transfer the receive does not block, so that its
    // waits stay bounded, and the deadline holds even while the peer keeps
    // up; while it does, that costs no extra call.
    keepDeadline();
    while ((received = ::recv(descriptor_, buffer_.get(), read_ahead_bytes,
                              MSG_DONTWAIT)) == -1 &&
           errno == EAGAIN)
      waitForInput();
  }
  if (received == -1) throw excHandler("recv");
  begin_ = 0;
  end_ = static_cast<std::size_t>(received);
  return received > 0;
}

bool client::fillBetweenCommands() {
  // Between commands the peer may take as long as it likes. The wait is the
  // receive itself, into a small block on the stack, so that a command costs
  // no call to wait first; what arrived moves to the buffer taken then.
  char first[first_read_bytes];
  const ssize_t received = ::recv(descriptor_, first, sizeof first, 0);
  if (received == -1) throw excHandler("recv");
  if (received == 0) return false;
  takeBuffer();
  std::memcpy(buffer_.get(), first, static_cast<std::size_t>(received));
  begin_ = 0;
  end_ = static_cast<std::size_t>(received);
  return true;
}

void client::appendLine(std::string& out, std::size_t max_size) {
  line_deadline deadline(deadline_);
  const std::size_t start = out.size();
  for (;;) {
    if (begin_ == end_ && !fill()) {
      releaseBuffer();
      if (canRead()) closed_ = true;
      return;
    }
    const char* data = buffer_.get() + begin_;
    const std::size_t available = end_ - begin_;
    const auto* newline =
        static_cast<const char*>(std::memchr(data, '\n', available));
    // A line that goes on past what has come may not stall from here on and
    // must be whole by its deadline; a line already in needs no clock.
    if (newline == nullptr) deadline.start(timing_.deadline);
    const std::size_t taken = newline != nullptr
                                  ? static_cast<std::size_t>(newline - data)
                                  : available;
    if (out.size() - start + taken > max_line_bytes) throw limit_error();
    makeRoom(out, out.size() + taken, max_size);
    out.append(data, taken);
    begin_ += taken;
    if (newline != nullptr) {
      if (++begin_ == end_) releaseBuffer();
      return;
    }
  }
}

std::string client::receiveString() {
  return build([this](std::string& line) { appendLine(line, max_line_bytes); });
}

std::string client::receiveAll(int lines, std::size_t max_bytes) {
  return build([&](std::string& block) {
    int received = 0;
    for (; received < lines && !closed_; ++received) {
      appendLine(block, max_bytes);
      makeRoom(block, block.size() + 1, max_bytes);
      block += '\n';
    }
    // Lines that never came after the peer's shutdown count as empty.
    if (received < lines) {
      const auto missing = static_cast<std::size_t>(lines - received);
      makeRoom(block, block.size() + missing, max_bytes);
      block.append(missing, '\n');
    }
  });
}

void client::lingerClose() {
  ::shutdown(descriptor_, SHUT_WR);
  releaseBuffer();
  const auto deadline = clock::now() + std::chrono::milliseconds(linger_ms);
  char sink[linger_chunk_bytes];
  std::size_t drained = 0;
  while (drained < linger_max_bytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - clock::now());
    if (left.count() <= 0 ||
        !wait_for(descriptor_, POLLIN, milliseconds_of(left)))
      break;
    const ssize_t received = ::recv(descriptor_, sink, sizeof sink, 0);
    if (received <= 0) break;
    drained += static_cast<std::size_t>(received);
  }
  closed_ = true;
}

const sockaddr& client::peer() const { return peer_; }

bool client::canRead() {
  return wait_for(descriptor_, POLLIN, can_read_wait_ms);
}

void client::waitForOutput(clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
  if (left.count() <= 0)
    throw stall_error(stall_error::reason::deadline_passed);
  if (!wait_for(descriptor_, POLLOUT,
                milliseconds_of(std::min(timing_.stall, left)))) {
    if (timing_.stall < left)
      throw stall_error(stall_error::reason::send_stalled);
    throw stall_error(stall_error::reason::deadline_passed);
  }
}

void client::sendParts(iovec* parts, std::size_t count) {
  // Sends never block, so that a peer that stops reading is noticed, and
  // one that reads a trickle cannot hold the answer past the deadline;
  // while the peer keeps up, each answer goes out in one call.
  skip_sent(parts, count, 0);
  const clock::time_point deadline = clock::now() + timing_.deadline;
  while (count > 0) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = count;
    const ssize_t sent = ::sendmsg(descriptor_, &message, MSG_DONTWAIT);
    if (sent == -1) {
      if (errno != EAGAIN) throw excHandler("send");
      waitForOutput(deadline);
      continue;
    }
    skip_sent(parts, count, static_cast<std::size_t>(sent));
  }
}

void client::sendString(const std::string& text) {
  iovec part{const_cast<char*>(text.data()), text.size()};
  sendParts(&part, 1);
}

void client::sendStringEndl(const std::string& text) {
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(text.data()), text.size()},
                    {&newline, 1}};
  sendParts(parts, 2);
}
