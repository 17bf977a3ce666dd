// The service's sockets: the listener (server) and one accepted connection
// (client). Every failed system call throws excHandler with the call's name;
// nothing is printed. Objects are never copied; a client is shared only
// through std::shared_ptr<client> and used by one thread at a time.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "net/excHandler.h"
#include "net/limits.h"

// Owns one descriptor: closed once, by the destructor.
class socket_t {
 public:
  socket_t(const socket_t&) = delete;
  socket_t& operator=(const socket_t&) = delete;

  bool isClosed() const;

 protected:
  explicit socket_t(int descriptor);
  ~socket_t();

  int descriptor_;
  bool closed_ = false;
};

class client;

// The listening IPv4 TCP socket on all addresses.
class server : public socket_t {
 public:
  // Creates, binds and listens; throws excHandler "socket", "setsockopt",
  // "bind" or "listen", with the descriptor already closed.
  server(int port, int backlog);

  // Blocks until a connection arrives. A failure that concerns one pending
  // connection is passed over, and a shortage of descriptors or memory is
  // waited out in short pauses; throws excHandler "accept" only when the
  // listening socket itself fails.
  std::shared_ptr<client> acceptConnection();

 private:
  sockaddr_in address_;
};

// One accepted connection. Reads ahead into a buffer of its own, so lines
// cost one receive call per buffer, not per byte.
class client : public socket_t {
 public:
  // A line longer than max_line_bytes, or a block larger than its budget.
  class limit_error {};

  client(int descriptor, sockaddr peer);

  // One line without its line feed. At the peer's shutdown, returns what has
  // come of the line so far (maybe empty) and sets the closed flag. Throws
  // excHandler "recv" or "poll", and limit_error past max_line_bytes.
  std::string receiveString();

  // `lines` lines, each followed by "\n"; lines missing after the peer's
  // shutdown count as empty. Throws limit_error once the result would pass
  // `max_bytes`.
  std::string receiveAll(int lines, std::size_t max_bytes = SIZE_MAX);

  // Whether the connection becomes readable within 100 ms.
  bool canRead();

  // Sends every byte; throws excHandler "send".
  void sendString(const std::string& text);
  // Sends the text and a line feed.
  void sendStringEndl(const std::string& text);

  // Ends the sending side, then reads and discards what the peer still sends
  // for a short while, so that unread input does not turn the close into a
  // reset that destroys the last answer before the peer has read it.
  void lingerClose();

  // While set, a receive that waits longer than this for data throws
  // excHandler "recv"; std::nullopt waits for ever.
  void setIdleTimeout(std::optional<std::chrono::milliseconds> timeout);

 private:
  // Appends the next line without its line feed to `out`; at the peer's
  // shutdown, what came of it, setting the closed flag as receiveString
  // does. Throws limit_error past max_line_bytes.
  void appendLine(std::string& out);
  // Refills the buffer; returns false at the peer's shutdown.
  bool fill();
  void waitReadable();

  sockaddr peer_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;  // first unread byte in buffer_
  std::size_t end_ = 0;    // one past the last received byte
  std::optional<std::chrono::milliseconds> idle_timeout_;
};
