// quarn-web's limits on its clients and on itself. docs/web.md states them
// for people; tests shorten some of the times (process_timing).
#pragma once

#include <chrono>
#include <cstddef>

namespace web {

// Connections one client may have open at once. Past it a new connection is
// closed at once, unanswered. A client is its socket's peer address: an IPv4
// address (an IPv4-mapped IPv6 address counts as its IPv4 address), or the
// /64 prefix of an IPv6 address, the least that one holder of IPv6
// addresses gets.
constexpr std::size_t connections_per_address = 2;

// Threads that serve connections, each one connection from its first
// request to its close. Connections beyond them wait, accepted, for a free
// thread.
constexpr std::size_t worker_threads = 32;

// Connections the kernel completes and holds for quarn-web to accept. A
// client that connects while as many wait has its connection refused or
// delayed.
constexpr int listen_backlog = 128;

// Requests one kept-alive connection may carry; the answer to the last one
// closes it.
constexpr std::size_t requests_per_connection = 100;

// A kept-alive connection that brings no new request for this long is
// closed.
constexpr std::chrono::seconds keep_alive_timeout{5};

// Form requests (POST) converted or exchanged with the service at once. A
// form takes its slot once its body has arrived whole; past the limit it
// waits for a slot as for memory (timing::room_wait), then gets 503.
constexpr int max_forms_in_flight = 4;

// Memory that all conversions in flight may hold together, the pictures
// fetched from the service and the PNGs being sent or kept in the cache
// included: 512 MiB, or an eighth of the machine's memory where that is
// less.
constexpr std::size_t default_budget_bytes = std::size_t{512} << 20;

// Converted PNGs of unprotected pictures kept for their next request, in
// bytes, and the largest one kept; the least recently asked for go first.
constexpr std::size_t png_cache_bytes = std::size_t{64} << 20;
constexpr std::size_t largest_cached_png = std::size_t{16} << 20;

// How long quarn-web waits for its clients, and for room of its own, before
// it gives up.
struct timing {
  // A request's line and headers must arrive whole within this time of its
  // first byte; otherwise its connection is closed.
  std::chrono::milliseconds headers{std::chrono::seconds(10)};
  // A connection whose client sends nothing of a request, or takes nothing
  // of an answer, for this long is closed.
  std::chrono::milliseconds stall{std::chrono::seconds(10)};
  // A request body must arrive whole within this time of the request's
  // start (past it: 408), and an answer must be taken whole within this time
  // of its first byte (past it the connection is closed).
  std::chrono::milliseconds transfer{std::chrono::minutes(10)};
  // A request waits at most this long for memory or a form slot; past it:
  // 503.
  std::chrono::milliseconds room_wait{std::chrono::seconds(5)};
};

// The timing of this process. Test-only: QUARN_WEB_TEST_STALL_MS, a number
// of milliseconds below the stall time, makes the headers and stall times
// that and the transfer time ten times that, so that tests of slow clients
// take seconds.
timing process_timing();

// The memory budget of this process. Test-only: QUARN_WEB_TEST_BUDGET_MIB, a
// number of mebibytes below the budget, makes it that small.
std::size_t process_budget_bytes();

}  // namespace web
