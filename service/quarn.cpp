// The connection loop: one command line at a time, dispatched through the
// command table to its handler, with the memory the connection holds taken
// from the process's budget. Local proxies may name the client they act for
// before the first command; a line of another protocol closes the connection.
#include "service/quarn.h"

#include <climits>
#include <cstdlib>

#include "service/foreign_protocol.h"
#include "service/log.h"
#include "service/proxy_line.h"
#include "sng/strlib.h"

namespace {

// What a connection's commands share: the memory it holds, and the client it
// serves: its peer, or the client that local proxies named in PROXY lines
// before the first command.
struct session {
  memory_account& account;
  proxy_chain chain;
  const client_address& served() const { return chain.served(); }
};

// What the connection loop does after a command.
enum class after { next_command, end_connection };

using handler = after (*)(std::shared_ptr<client>&,
                          const std::vector<std::string>&, session&);

struct command {
  const char* name;
  handler run;
};

// The protocol's commands, compared in this order with the whole first word.
const command commands[] = {
    {"list",
     [](std::shared_ptr<client>& connection, const std::vector<std::string>&,
        session& state) {
       send_list(connection, state.account);
       return after::next_command;
     }},
    {"getpic",
     [](std::shared_ptr<client>& connection,
        const std::vector<std::string>& words, session& state) {
       get_picture(connection, words, state.account, state.served());
       return after::next_command;
     }},
    {"putpic",
     [](std::shared_ptr<client>& connection,
        const std::vector<std::string>& words, session& state) {
       put_picture(connection, words, state.account);
       return after::next_command;
     }},
    {"exit", [](std::shared_ptr<client>&, const std::vector<std::string>&,
                session&) { return after::end_connection; }},
};

after execute(std::shared_ptr<client>& connection,
              const std::vector<std::string>& words, session& state) {
  for (const command& entry : commands)
    if (words[0] == entry.name) return entry.run(connection, words, state);
  connection->sendStringEndl("Unknown command");
  return after::next_command;
}

// Memory the words of `line` take once split: one string object per word,
// and at most the line's bytes for the words too long to live inside theirs.
std::size_t word_list_bytes(const std::string& line) {
  return count_pieces(line, ' ') * sizeof(std::string) + line.size();
}

// Reads one command line and executes it. A PROXY line of local proxies is
// taken without an answer; a malformed one, or one too many, ends the
// connection, and so does a line of another protocol, before any later line
// is read.
after run_next_command(std::shared_ptr<client>& connection, session& state) {
  const std::string line = connection->receiveString();
  if (line.empty()) return after::end_connection;
  switch (state.chain.take(line)) {
    case proxy_chain::verdict::taken:
      return after::next_command;
    case proxy_chain::verdict::refused:
      log_line(log_level::warn, "malformed_proxy_line")
          .field("peer", state.served().text())
          .write();
      return after::end_connection;
    case proxy_chain::verdict::command:
      break;
  }
  if (is_foreign_protocol_line(line)) {
    log_line(log_level::warn, "foreign_protocol")
        .field("peer", state.served().text())
        .write();
    return after::end_connection;
  }
  state.account.take(word_list_bytes(line));
  return execute(connection, split(line, ' '), state);
}

// Reports what the connection takes for received data to `account` while it
// lives, and stops before the account goes.
class memory_reporting {
 public:
  memory_reporting(client& connection, memory_account& account)
      : connection_(connection) {
    connection.setMemoryHook([&account](std::ptrdiff_t bytes) {
      if (bytes > 0)
        account.take(static_cast<std::size_t>(bytes));
      else
        account.give_back(static_cast<std::size_t>(-bytes));
    });
  }
  ~memory_reporting() { connection_.setMemoryHook({}); }
  memory_reporting(const memory_reporting&) = delete;
  memory_reporting& operator=(const memory_reporting&) = delete;

 private:
  client& connection_;
};

// Answers a request past a limit and closes the connection. `limit` says
// which: "size" for the protocol's limits on lines, uploads and picture
// texts, "memory" for what one request may hold of the memory budget.
void refuse_over_limit(client& connection, std::string_view limit,
                       const client_address& served) {
  log_line(log_level::warn, "request_over_limit")
      .field("limit", limit)
      .field("peer", served.text())
      .write();
  try {
    connection.sendStringEndl("ERROR(LIMIT)");
    connection.lingerClose();
  } catch (...) {
  }
}

const char* stall_reason(client::stall_error::reason why) {
  switch (why) {
    case client::stall_error::reason::receive_stalled:
      return "receive_stalled";
    case client::stall_error::reason::send_stalled:
      return "send_stalled";
    case client::stall_error::reason::deadline_passed:
      return "deadline_passed";
  }
  return "stalled";
}

}  // namespace

void client_thread(std::shared_ptr<client> connection) {
  memory_account account(process_budget(), connection->timing().deadline);
  const memory_reporting reporting(*connection, account);
  session state{account,
                proxy_chain(client_address::of_peer(connection->peer()))};
  try {
    while (!connection->isClosed()) {
      if (run_next_command(connection, state) == after::end_connection) return;
      // What the command held is freed by now; the client's own buffer is
      // all that may stay.
      account.hold(connection->heldBytes());
    }
  } catch (const client::limit_error&) {
    refuse_over_limit(*connection, "size", state.served());
  } catch (const memory_budget::limit_error&) {
    refuse_over_limit(*connection, "memory", state.served());
  } catch (const client::stall_error& stall) {
    log_line(log_level::warn, "peer_dropped")
        .field("reason", stall_reason(stall.why()))
        .field("peer", state.served().text())
        .write();
  } catch (...) {
    // Transport failures, a wait for memory past its time and anything a
    // handler lets through end this connection without a word.
  }
}

std::string int_to_string(int value) { return std::to_string(value); }

int string_to_int(const std::string& text) {
  // atoi without its undefined behaviour: values beyond int are clamped.
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}
