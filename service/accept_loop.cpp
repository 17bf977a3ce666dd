// Start-up and the accept loop: the process's limits and budget, the
// start-up log line, and one detached thread per accepted connection, up to
// the connection cap.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>

#include "service/log.h"
#include "service/quarn.h"
#include "storage/storage.h"

namespace {

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

// Allocations from this size on get pages of their own.
constexpr int large_block_bytes = 1024 * 1024;
// Freed memory an arena keeps beyond what it uses.
constexpr int arena_keeps_bytes = 4 * large_block_bytes;

// Descriptors kept free of connections, for the store's files and the
// process's own: a quarter of the limit, and at least this many.
constexpr rlim_t min_spare_descriptors = 16;

// Connections served now, each by a thread of its own; a connection leaves
// the count once it is closed. Lives as long as the process, like the
// threads that update it.
std::atomic<long> connections_served{0};

// A test-only setting from the environment: the number in `name`, when it
// is one from 1 to `largest`.
std::optional<long> test_setting(const char* name, long largest) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  char* end = nullptr;
  const long number = std::strtol(value, &end, 10);
  if (end == value || *end != '\0' || number <= 0 || number > largest)
    return std::nullopt;
  return number;
}

// Test-only: QUARN_TEST_STALL_MS, a number of milliseconds up to the stall
// timeout, shortens the stall time to that and the transfer deadline to ten
// times that, so that tests of stalled peers take seconds.
peer_timing read_peer_timing() {
  const auto stall_ms = test_setting(
      "QUARN_TEST_STALL_MS", std::chrono::milliseconds(stall_timeout).count());
  if (!stall_ms) return {};
  return {std::chrono::milliseconds(*stall_ms),
          std::chrono::milliseconds(10 * *stall_ms)};
}

const char* store_failure_event(store_failure::work during) {
  switch (during) {
    case store_failure::work::opening:
      return "store_open_failed";
    case store_failure::work::reading:
      return "store_read_failed";
    case store_failure::work::writing:
      return "store_write_failed";
  }
  return "store_failed";
}

void log_store_failure(const store_failure& failure) {
  log_line(log_level::error, store_failure_event(failure.during))
      .field("step", failure.step)
      .field("file", failure.file)
      .field("cause", failure.cause)
      .write();
}

// A number for the log, or "unlimited" for RLIM_INFINITY.
std::string limit_text(rlim_t limit) {
  return limit == RLIM_INFINITY ? "unlimited" : std::to_string(limit);
}

// Logs, once the port is bound, where the service runs, how many pictures
// its index names and the limits it keeps. The store itself is opened by the
// first command that needs it.
void log_start(rlim_t descriptor_limit, long cap, const peer_timing& timing) {
  std::error_code no_directory;
  const std::filesystem::path directory =
      std::filesystem::current_path(no_directory);
  const std::optional<std::size_t> pictures = indexed_count();
  const std::optional<std::uint64_t> disk_reserve = disk_reserve_bytes();
  log_line(log_level::info, "started")
      .field("port", quarn_port)
      .field("directory", directory.native())
      .field("pictures", pictures ? std::to_string(*pictures) : "unknown")
      .field("descriptor_limit", limit_text(descriptor_limit))
      .field("connection_cap", cap)
      .field("memory_budget_bytes", process_budget().capacity())
      .field("request_memory_bytes", process_budget().largest_job())
      .field("stall_timeout_ms", timing.stall.count())
      .field("transfer_deadline_ms", timing.deadline.count())
      .field("disk_reserve_bytes",
             disk_reserve ? std::to_string(*disk_reserve) : "unknown")
      .write();
}

// Refusals that peers can cause at will (connections past the cap, and
// threads the system will not start while it is short of them) are logged
// at most once in this interval, with a count of those in between.
constexpr std::chrono::seconds refusal_log_interval{10};

void log_cap_reached(long cap) {
  static log_throttle throttle(refusal_log_interval);
  if (const std::optional<std::uint64_t> refused = throttle.occurred())
    log_line(log_level::warn, "connection_cap_reached")
        .field("connection_cap", cap)
        .field("refused", *refused)
        .write();
}

void log_thread_failure(const std::system_error& failure) {
  static log_throttle throttle(refusal_log_interval);
  if (const std::optional<std::uint64_t> refused = throttle.occurred())
    log_line(log_level::error, "thread_start_failed")
        .field("cause", failure.code().message())
        .field("refused", *refused)
        .write();
}

// Runs the connection on a detached thread of its own. A connection past
// `cap`, or one for which no thread can be started, is dropped (and so
// closed) without an answer, and accepting goes on.
void serve(std::shared_ptr<client> connection, long cap) {
  if (connections_served.fetch_add(1) >= cap) {
    connections_served.fetch_sub(1);
    log_cap_reached(cap);
    return;
  }
  try {
    std::thread([connection = std::move(connection)]() mutable {
      try {
        client_thread(std::move(connection));
      } catch (...) {
        // Only a failure while ending the connection (no memory left to
        // log it) gets here; it must not end the process.
      }
      connections_served.fetch_sub(1);
    }).detach();
  } catch (const std::system_error& failure) {
    connections_served.fetch_sub(1);
    log_thread_failure(failure);
  }
}

}  // namespace

long connection_cap(rlim_t descriptor_limit) {
  const rlim_t spare = std::max(min_spare_descriptors, descriptor_limit / 4);
  if (descriptor_limit <= spare) return 1;
  return static_cast<long>(
      std::min<rlim_t>(descriptor_limit - spare, LONG_MAX));
}

// Test-only: QUARN_TEST_BUDGET_MIB, a number of mebibytes up to the
// machine's budget, makes the budget that small, so that tests of many large
// uploads move little data.
memory_budget& process_budget() {
  static memory_budget budget = [] {
    const std::size_t machine = memory_budget::machine_capacity();
    const auto mib =
        test_setting("QUARN_TEST_BUDGET_MIB", static_cast<long>(machine >> 20));
    return memory_budget(mib ? static_cast<std::size_t>(*mib) << 20 : machine);
  }();
  return budget;
}

// Test-only: QUARN_TEST_REFILL_MS, a number of milliseconds up to the
// refill time, makes a failed password comparison come back after that
// long, so that tests of a spent budget wait only that.
password_budget& process_password_budget() {
  static password_budget budget([] {
    password_budget::limits limits;
    const auto refill_ms = test_setting(
        "QUARN_TEST_REFILL_MS",
        std::chrono::duration_cast<std::chrono::milliseconds>(limits.refill)
            .count());
    if (refill_ms) limits.refill = std::chrono::milliseconds(*refill_ms);
    return limits;
  }());
  return budget;
}

int run_service() {
  // Blocks of this size and more are mapped on their own and unmapped when
  // freed, so that memory the budget has given back leaves the process too.
  // Without a fixed threshold the allocator raises it after each large free,
  // and freed uploads and answers stay in its arenas.
  ::mallopt(M_MMAP_THRESHOLD, large_block_bytes);
  // Each arena keeps up to this much freed memory for the next request: a
  // smaller picture's blocks are then not handed back and faulted in again
  // every time, which tripled the time a 500 KB putpic took.
  ::mallopt(M_TRIM_THRESHOLD, arena_keeps_bytes);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);  // past a file-size limit a write fails
  set_store_failure_hook(log_store_failure);
  const rlim_t descriptor_limit = raise_descriptor_limit();
  const long cap = connection_cap(descriptor_limit);
  const peer_timing timing = read_peer_timing();
  try {
    server listener(quarn_port, quarn_backlog);
    log_start(descriptor_limit, cap, timing);
    for (;;) {
      std::shared_ptr<client> connection = listener.acceptConnection();
      connection->setTiming(timing);
      serve(std::move(connection), cap);
    }
  } catch (const excHandler& failure) {
    write_plain_line("Socket error: " + failure.getFuncName());
    return 1;
  }
}
