#include "service/quarn.h"

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <system_error>
#include <thread>

#include "sng/strlib.h"

namespace {

// What the connection loop does after a command.
enum class after { next_command, end_connection };

using handler = after (*)(std::shared_ptr<client>&,
                          const std::vector<std::string>&);

struct command {
  const char* name;
  handler run;
};

// The protocol's commands, compared in this order with the whole first word.
const command commands[] = {
    {"list",
     [](std::shared_ptr<client>& connection, const std::vector<std::string>&) {
       send_list(connection);
       return after::next_command;
     }},
    {"getpic",
     [](std::shared_ptr<client>& connection,
        const std::vector<std::string>& words) {
       get_picture(connection, words);
       return after::next_command;
     }},
    {"putpic",
     [](std::shared_ptr<client>& connection,
        const std::vector<std::string>& words) {
       put_picture(connection, words);
       return after::next_command;
     }},
    {"exit",
     [](std::shared_ptr<client>&, const std::vector<std::string>&) {
       return after::end_connection;
     }},
};

after execute(std::shared_ptr<client>& connection,
              const std::vector<std::string>& words) {
  for (const command& entry : commands)
    if (words[0] == entry.name) return entry.run(connection, words);
  connection->sendStringEndl("Unknown command");
  return after::next_command;
}

// Each connection holds one descriptor; let the process hold as many as the
// system allows. Returns the limit in force.
rlim_t raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return RLIM_INFINITY;
  if (limit.rlim_cur < limit.rlim_max) {
    const rlim_t old_limit = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return old_limit;
  }
  return limit.rlim_cur;
}

// Descriptors kept free of connections, for the store's files and the
// process's own: a quarter of the limit, and at least this many.
constexpr rlim_t min_spare_descriptors = 16;

// The most connections served at once under a descriptor limit, so that
// accept and the store still find descriptors when the connections are many.
long connection_cap(rlim_t descriptor_limit) {
  const rlim_t spare = std::max(min_spare_descriptors, descriptor_limit / 4);
  if (descriptor_limit <= spare) return 1;
  return static_cast<long>(
      std::min<rlim_t>(descriptor_limit - spare, LONG_MAX));
}

// Connections served now, each by a thread of its own; a connection leaves
// the count once it is closed. Lives as long as the process, like the
// threads that update it.
std::atomic<long> connections_served{0};

// Test-only: QUARN_TEST_STALL_MS, a number of milliseconds between 1 and the
// stall timeout, shortens the stall time to that and the transfer deadline
// to ten times that, so that tests of stalled peers take seconds. Anything
// else leaves the timing as it is.
peer_timing read_peer_timing() {
  const char* value = std::getenv("QUARN_TEST_STALL_MS");
  if (value == nullptr) return {};
  char* end = nullptr;
  const long stall_ms = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || stall_ms <= 0 ||
      stall_ms > std::chrono::milliseconds(stall_timeout).count())
    return {};
  return {std::chrono::milliseconds(stall_ms),
          std::chrono::milliseconds(10 * stall_ms)};
}

// Runs the connection on a detached thread of its own. A connection past
// `cap`, or one for which no thread can be started, is dropped (and so
// closed) without an answer, and accepting goes on.
void serve(std::shared_ptr<client> connection, long cap) {
  if (connections_served.fetch_add(1) >= cap) {
    connections_served.fetch_sub(1);
    return;
  }
  try {
    std::thread([connection = std::move(connection)]() mutable {
      client_thread(std::move(connection));
      connections_served.fetch_sub(1);
    }).detach();
  } catch (const std::system_error&) {
    connections_served.fetch_sub(1);
  }
}

}  // namespace

void client_thread(std::shared_ptr<client> connection) {
  try {
    while (!connection->isClosed()) {
      const std::string line = connection->receiveString();
      if (line.empty()) return;
      if (execute(connection, split(line, ' ')) == after::end_connection)
        return;
    }
  } catch (const client::limit_error&) {
    try {
      connection->sendStringEndl("ERROR(LIMIT)");
      connection->lingerClose();
    } catch (...) {
    }
  } catch (...) {
    // Transport failures and anything a handler lets through end this
    // connection without a word.
  }
}

int run_service() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);  // past a file-size limit a write fails
  const long cap = connection_cap(raise_descriptor_limit());
  const peer_timing timing = read_peer_timing();
  try {
    server listener(quarn_port, quarn_backlog);
    for (;;) {
      std::shared_ptr<client> connection = listener.acceptConnection();
      connection->setTiming(timing);
      serve(std::move(connection), cap);
    }
  } catch (const excHandler& failure) {
    std::cerr << "Socket error: " << failure.getFuncName() << std::endl;
    return 1;
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
