// The connection loop: one command line at a time, dispatched through the
// command table to its handler, with the memory the connection holds taken
// from the process's budget.
#include "service/quarn.h"

#include <climits>
#include <cstdlib>

#include "service/log.h"
#include "sng/strlib.h"

namespace {

// What the connection loop does after a command.
enum class after { next_command, end_connection };

using handler = after (*)(std::shared_ptr<client>&,
                          const std::vector<std::string>&, memory_account&);

struct command {
  const char* name;
  handler run;
};

// The protocol's commands, compared in this order with the whole first word.
const command commands[] = {
    {"list",
     [](std::shared_ptr<client>& connection, const std::vector<std::string>&,
        memory_account& account) {
       send_list(connection, account);
       return after::next_command;
     }},
    {"getpic",
     [](std::shared_ptr<client>& connection,
        const std::vector<std::string>& words, memory_account& account) {
       get_picture(connection, words, account);
       return after::next_command;
     }},
    {"putpic",
     [](std::shared_ptr<client>& connection,
        const std::vector<std::string>& words, memory_account& account) {
       put_picture(connection, words, account);
       return after::next_command;
     }},
    {"exit", [](std::shared_ptr<client>&, const std::vector<std::string>&,
                memory_account&) { return after::end_connection; }},
};

after execute(std::shared_ptr<client>& connection,
              const std::vector<std::string>& words, memory_account& account) {
  for (const command& entry : commands)
    if (words[0] == entry.name) return entry.run(connection, words, account);
  connection->sendStringEndl("Unknown command");
  return after::next_command;
}

// Memory the words of `line` take once split: one string object per word,
// and at most the line's bytes for the words too long to live inside theirs.
std::size_t word_list_bytes(const std::string& line) {
  return count_pieces(line, ' ') * sizeof(std::string) + line.size();
}

// Reads one command line and executes it.
after run_next_command(std::shared_ptr<client>& connection,
                       memory_account& account) {
  const std::string line = connection->receiveString();
  if (line.empty()) return after::end_connection;
  account.take(word_list_bytes(line));
  return execute(connection, split(line, ' '), account);
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
void refuse_over_limit(client& connection, std::string_view limit) {
  log_line(log_level::warn, "request_over_limit")
      .field("limit", limit)
      .field("peer", connection.peerAddress())
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
  try {
    while (!connection->isClosed()) {
      if (run_next_command(connection, account) == after::end_connection)
        return;
      // What the command held is freed by now; the client's own buffer is
      // all that may stay.
      account.hold(connection->heldBytes());
    }
  } catch (const client::limit_error&) {
    refuse_over_limit(*connection, "size");
  } catch (const memory_budget::limit_error&) {
    refuse_over_limit(*connection, "memory");
  } catch (const client::stall_error& stall) {
    log_line(log_level::warn, "peer_dropped")
        .field("reason", stall_reason(stall.why()))
        .field("peer", connection->peerAddress())
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
