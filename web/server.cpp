#include "web/server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace web {
namespace {

using clock = std::chrono::steady_clock;

// Bytes received from a client ahead of what httplib has asked for: it
// reads a request's line and headers one byte at a time.
constexpr std::size_t receive_buffer_bytes = 16 * 1024;

// Whether the answer being written on this thread closes its connection.
// One thread serves a connection from its first request to its close, and
// the post-routing handler runs on that thread, so the flag it sets belongs
// to the connection that thread serves.
thread_local bool closing_after_answer = false;

// The client a socket's peer is: its IPv4 address (also when mapped into
// IPv6) or its IPv6 /64 prefix, as bytes; empty when the peer is gone.
std::string client_of(int socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) !=
      0)
    return {};
  if (address.ss_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const sockaddr_in&>(address);
    return std::string(reinterpret_cast<const char*>(&ipv4.sin_addr), 4);
  }
  if (address.ss_family != AF_INET6) return {};
  const in6_addr& ipv6 =
      reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
  const char* bytes = reinterpret_cast<const char*>(ipv6.s6_addr);
  if (IN6_IS_ADDR_V4MAPPED(&ipv6)) return std::string(bytes + 12, 4);
  return std::string(bytes, 8);
}

// Whether the client has not closed its side of `socket`. Its sockets stay
// open while they are admitted, so another thread may look.
bool client_side_open(int socket) {
  pollfd entry{socket, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) == 0;
}

// The numeric address and port of one end of `socket`, as `name_of`
// (getsockname or getpeername) gives it.
template <class NameOf>
void address_and_port(int socket, NameOf name_of, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  std::array<char, NI_MAXHOST> host{};
  std::array<char, NI_MAXSERV> service{};
  if (name_of(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host.data(),
                    host.size(), service.data(), service.size(),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return;
  ip = host.data();
  port = std::atoi(service.data());
}

// One client's connection as httplib reads and writes it, with the
// deadlines of the request under way. Used by the connection's one thread.
class client_stream : public httplib::Stream {
 public:
  client_stream(socket_t socket, const timing& timing)
      : socket_(socket), timing_(timing) {}

  // Waits up to `idle` for the next request; true when it has begun to
  // arrive.
  bool next_request_arrives(std::chrono::milliseconds idle) {
    return begin_ < end_ || wait_until(POLLIN, clock::now() + idle);
  }
  // A request begins: its line and headers are due within timing::headers.
  void start_request() {
    headers_due_ = clock::now() + timing_.headers;
    answer_due_.reset();
  }
  // The request's headers have all arrived: its body is bounded by the
  // stall time alone (and by the handler's own deadline).
  void headers_read() { headers_due_.reset(); }
  // Whether the headers of the request took longer than allowed.
  bool headers_late() const { return headers_late_; }

  bool is_readable() const override {
    return begin_ < end_ || wait_until(POLLIN, read_due());
  }
  bool is_writable() const override { return wait_until(POLLOUT, write_due()); }

  ssize_t read(char* out, size_t size) override {
    if (begin_ < end_) {
      const std::size_t count = std::min(size, end_ - begin_);
      std::memcpy(out, buffer_.data() + begin_, count);
      begin_ += count;
      return static_cast<ssize_t>(count);
    }
    // A large read, of a body, goes straight to its destination.
    if (size >= buffer_.size()) return receive(out, size);
    const ssize_t received = receive(buffer_.data(), buffer_.size());
    if (received <= 0) return received;
    begin_ = 0;
    end_ = static_cast<std::size_t>(received);
    return read(out, size);
  }

  ssize_t write(const char* bytes, size_t size) override {
    if (!answer_due_) answer_due_ = clock::now() + timing_.transfer;
    for (;;) {
      if (!wait_until(POLLOUT, write_due())) return -1;
      const ssize_t sent =
          ::send(socket_, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent >= 0 || (errno != EAGAIN && errno != EINTR)) return sent;
    }
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address_and_port(socket_, ::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address_and_port(socket_, ::getsockname, ip, port);
  }
  socket_t socket() const override { return socket_; }

 private:
  // Receives up to `size` bytes into `out`, as recv does; -1 when nothing
  // came in time.
  ssize_t receive(char* out, std::size_t size) {
    for (;;) {
      if (!wait_until(POLLIN, read_due())) {
        headers_late_ = headers_due_ && clock::now() >= *headers_due_;
        return -1;
      }
      const ssize_t received = ::recv(socket_, out, size, MSG_DONTWAIT);
      if (received >= 0 || (errno != EAGAIN && errno != EINTR)) return received;
    }
  }

  clock::time_point read_due() const {
    const clock::time_point stalled = clock::now() + timing_.stall;
    return headers_due_ ? std::min(stalled, *headers_due_) : stalled;
  }
  clock::time_point write_due() const {
    const clock::time_point stalled = clock::now() + timing_.stall;
    return answer_due_ ? std::min(stalled, *answer_due_) : stalled;
  }

  // Waits until the socket is ready for `events` (POLLIN or POLLOUT) or
  // `due` has come. A client that has closed its side of the connection
  // takes nothing more: such a connection no longer counts as the client's
  // (connection_counts), so it must not go on holding a thread.
  bool wait_until(short events, clock::time_point due) const {
    if (events == POLLOUT) events |= POLLRDHUP;
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(due - clock::now());
      if (left.count() <= 0) return false;
      pollfd entry{socket_, events, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
      if (ready > 0) return (entry.revents & POLLRDHUP) == 0;
      if (ready == 0 || errno != EINTR) return false;
    }
  }

  const socket_t socket_;
  const timing timing_;
  std::optional<clock::time_point> headers_due_;
  std::optional<clock::time_point> answer_due_;
  bool headers_late_ = false;
  std::array<char, receive_buffer_bytes> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace

std::optional<connection_counts::admission> connection_counts::admit(
    const std::string& client, int socket) {
  const std::lock_guard lock(mutex_);
  std::vector<int>& sockets = admitted_[client];
  if (sockets.size() >= per_client_ &&
      static_cast<std::size_t>(std::count_if(sockets.begin(), sockets.end(),
                                             client_side_open)) >= per_client_)
    return std::nullopt;
  sockets.push_back(socket);
  return admission(*this, client, socket);
}

void connection_counts::release(const std::string& client, int socket) {
  const std::lock_guard lock(mutex_);
  const auto entry = admitted_.find(client);
  std::erase(entry->second, socket);
  if (entry->second.empty()) admitted_.erase(entry);
}

guarded_server::guarded_server(const timing& timing) : timing_(timing) {
  // httplib owns the queue it asks for.
  new_task_queue = [] {
    return std::make_unique<httplib::ThreadPool>(worker_threads).release();
  };
  set_tcp_nodelay(true);
  set_keep_alive_max_count(requests_per_connection);
  set_keep_alive_timeout(keep_alive_timeout.count());
  // Bounds the kernel's own waits too, should a call block after all.
  set_read_timeout(timing.stall);
  set_write_timeout(timing.stall);
  set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    closing_after_answer = res.get_header_value("Connection") == "close";
    if (closing_after_answer) res.headers.erase("Keep-Alive");
  });
}

bool guarded_server::bind(const std::string& host, int port) {
  // Listening again on a listening socket sets its backlog anew.
  return bind_to_port(host, port) && ::listen(svr_sock_, listen_backlog) == 0;
}

bool guarded_server::process_and_close_socket(socket_t sock) {
  bool served = false;
  const std::string client = client_of(sock);
  if (const auto admitted =
          client.empty() ? std::nullopt : connections_.admit(client, sock)) {
    client_stream stream(sock, timing_);
    for (std::size_t left = keep_alive_max_count_;
         left > 0 && svr_sock_ != INVALID_SOCKET &&
         stream.next_request_arrives(keep_alive_timeout);
         --left) {
      stream.start_request();
      closing_after_answer = false;
      bool closed = false;
      served =
          process_request(stream, left == 1, closed,
                          [&](httplib::Request&) { stream.headers_read(); });
      if (!served || closed || closing_after_answer || stream.headers_late())
        break;
    }
  }
  ::shutdown(sock, SHUT_RDWR);
  httplib::detail::close_socket(sock);
  return served;
}

}  // namespace web
