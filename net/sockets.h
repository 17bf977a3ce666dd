// The service's sockets: the listener (server) and one accepted connection
// (client). Every failed system call throws excHandler with the call's name;
// nothing is printed. Objects are never copied; a client is shared only
// through std::shared_ptr<client> and used by one thread at a time.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <functional>
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

// How long a connection waits for its peer. A line that has begun to arrive,
// a transfer (client::beginTransfer) or an answer being sent that makes no
// progress for `stall` ends the connection; so does a line or a transfer
// that is not whole within `deadline` of its start.
struct peer_timing {
  std::chrono::milliseconds stall = stall_timeout;
  std::chrono::milliseconds deadline = transfer_deadline;
};

// One accepted connection. Reads ahead into a buffer of its own, so lines
// cost one receive call per buffer, not per byte; the buffer is freed
// whenever a line ends with nothing more received, so a connection waiting
// for its next command holds none.
class client : public socket_t {
 public:
  // A request past one of the protocol's limits: a line longer than
  // max_line_bytes or a block larger than its budget here, and in the
  // service a picture text longer than it writes. The service answers
  // "ERROR(LIMIT)" and closes the connection.
  class limit_error {};

  // The peer stalled: it sent or read nothing for the stall time, or a line
  // or transfer was not whole by its deadline. The service closes the
  // connection.
  class stall_error {
   public:
    enum class reason { receive_stalled, send_stalled, deadline_passed };
    explicit stall_error(reason why) : why_(why) {}
    reason why() const { return why_; }

   private:
    reason why_;
  };

  // Called with +n before the client takes n bytes of memory (its read-ahead
  // buffer, or more capacity for a line or block it is building) and with -n
  // once it has freed them. It may block, which leaves the socket unread and
  // so holds the peer back, or throw, which ends the receive at hand. Calls
  // with -n must not throw: they come from destructors too.
  using memory_hook = std::function<void(std::ptrdiff_t)>;

  client(int descriptor, sockaddr peer);
  ~client();

  void setTiming(peer_timing timing);
  const peer_timing& timing() const;
  void setMemoryHook(memory_hook hook);
  // Bytes the client holds now (its read-ahead buffer). The strings it has
  // returned, reported to the hook by their capacity, are the caller's.
  std::size_t heldBytes() const;

  // One line without its line feed. At the peer's shutdown, returns what has
  // come of the line so far (maybe empty) and sets the closed flag. Waits
  // without limit for the line's first byte; after it, throws stall_error
  // when the peer stalls or the line misses its deadline. Throws excHandler
  // "recv" or "poll" when those calls fail, and limit_error past
  // max_line_bytes.
  std::string receiveString();

  // `lines` lines, each followed by "\n"; lines missing after the peer's
  // shutdown count as empty. Throws limit_error once the result would pass
  // `max_bytes`; its capacity never does.
  std::string receiveAll(int lines, std::size_t max_bytes = SIZE_MAX);

  // Until endTransfer, every wait for the peer's data, the first byte's
  // included, ends the connection with stall_error after the stall time, and
  // all of them together once the deadline counted from now has passed.
  void beginTransfer();
  void endTransfer();

  // The peer's address, as accept gave it.
  const sockaddr& peer() const;

  // Whether the connection becomes readable within 100 ms.
  bool canRead();

  // Sends every byte; throws excHandler "send" when a call fails, and
  // stall_error when the peer reads nothing for the stall time or the
  // whole text is not taken within the deadline.
  void sendString(const std::string& text);
  // Sends the text and a line feed.
  void sendStringEndl(const std::string& text);

  // Ends the sending side, then reads and discards what the peer still sends
  // for a short while, so that unread input does not turn the close into a
  // reset that destroys the last answer before the peer has read it.
  void lingerClose();

 private:
  using clock = std::chrono::steady_clock;

  // Appends the next line without its line feed to `out`; at the peer's
  // shutdown, what came of it, setting the closed flag as receiveString
  // does. Throws limit_error past max_line_bytes or when `out` would pass
  // `max_size`.
  void appendLine(std::string& out, std::size_t max_size);
  // Builds a string with `build`; when that throws, reports the string's
  // memory as freed.
  template <typename build_fn>
  std::string build(build_fn build);
  // Makes room in `text` for `size` bytes; throws limit_error past
  // `max_size`.
  void makeRoom(std::string& text, std::size_t size, std::size_t max_size);
  // Refills the buffer; returns false at the peer's shutdown.
  bool fill();
  // fill() for an empty buffer while no deadline runs.
  bool fillBetweenCommands();
  // Waits, within a line or a transfer, until the peer's data can be read:
  // at most the stall time and never past the deadline, throwing
  // stall_error when either passes.
  void waitForInput();
  // Throws stall_error once the line or transfer under way is past its
  // deadline.
  void keepDeadline() const;
  void takeBuffer();
  void releaseBuffer();
  void sendParts(iovec* parts, std::size_t count);
  // Waits until the peer can take more: at most the stall time and never
  // past `deadline`, throwing stall_error when either passes.
  void waitForOutput(clock::time_point deadline);
  void account(std::ptrdiff_t bytes);

  sockaddr peer_;
  peer_timing timing_;
  memory_hook memory_hook_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;  // first unread byte in buffer_
  std::size_t end_ = 0;    // one past the last received byte
  // While a line or a transfer is under way: when it must be whole.
  std::optional<clock::time_point> deadline_;
};
