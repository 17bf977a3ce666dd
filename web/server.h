// quarn-web's HTTP server: cpp-httplib's server, serving each connection
// itself so that no client can hold it for long. A connection is served on
// one of worker_threads threads from its first request to its close:
//   - one client address has at most connections_per_address open at once;
//     a connection past that is closed at once, unanswered;
//   - a request's line and headers must arrive within timing::headers of
//     its first byte; a connection that makes no progress for timing::stall
//     is closed, and an answer must be taken within timing::transfer;
//   - TCP_NODELAY is set, so that an answer written in two parts is not held
//     back until the client acknowledges the first;
//   - an answer with "Connection: close" closes its connection, so that the
//     unread body of a refused request is never read as the next request.
// The server's post-routing handler is its own.
#pragma once

#include <httplib.h>

#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "web/limits.h"

namespace web {

// The connections open per client, each client at most `per_client` at
// once. A connection whose client has closed its side is on its way out and
// no longer counts: a client that closes one connection and opens the next
// at once is not refused while the server has yet to see the first one go.
// Holds an entry only for a client with a connection admitted, so it holds
// at most as many as connections are served at once. Any thread.
class connection_counts {
 public:
  explicit connection_counts(std::size_t per_client)
      : per_client_(per_client) {}

  // One admitted connection; it is counted until the admission goes, which
  // must be before its socket is closed.
  class admission {
   public:
    admission(connection_counts& counts, std::string client, int socket)
        : counts_(&counts), client_(std::move(client)), socket_(socket) {}
    admission(admission&& other) noexcept
        : counts_(std::exchange(other.counts_, nullptr)),
          client_(std::move(other.client_)),
          socket_(other.socket_) {}
    admission& operator=(admission&&) = delete;
    ~admission() {
      if (counts_ != nullptr) counts_->release(client_, socket_);
    }

   private:
    connection_counts* counts_;
    std::string client_;
    int socket_;
  };

  // An admission for the connection `socket` of `client`; nothing when the
  // client has per_client connections open already.
  std::optional<admission> admit(const std::string& client, int socket);

 private:
  void release(const std::string& client, int socket);

  const std::size_t per_client_;
  std::mutex mutex_;  // guards admitted_
  // The sockets of the admitted connections, by client.
  std::unordered_map<std::string, std::vector<int>> admitted_;
};

class guarded_server : public httplib::Server {
 public:
  explicit guarded_server(const timing& timing);

  // Binds to `host`:`port` as bind_to_port does, with a backlog of
  // listen_backlog instead of httplib's five; false when that fails.
  bool bind(const std::string& host, int port);

 private:
  bool process_and_close_socket(socket_t sock) override;

  timing timing_;
  connection_counts connections_{connections_per_address};
};

}  // namespace web
