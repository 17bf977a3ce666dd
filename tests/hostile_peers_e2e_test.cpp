// Peers that hold descriptors, stall or do not read, against the real binary.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/line_client.h"
#include "support/log_pattern.h"
#include "support/pictures.h"
#include "support/service_process.h"

namespace {

using clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The time left until `moment`; none once it has passed.
milliseconds left_until(clock::time_point moment) {
  return std::max(milliseconds(0),
                  std::chrono::ceil<milliseconds>(moment - clock::now()));
}

// Whether the service closes `c` within `wait`.
bool closes_within(line_client& c, milliseconds wait) {
  pollfd entry{c.descriptor(), POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(wait.count())) > 0 &&
         c.closed_by_peer();
}

// Whether a new client is answered within a few seconds; connections that
// have just ended may still hold their places for a moment.
bool serves_a_new_client() {
  const auto give_up = std::chrono::steady_clock::now() + milliseconds(5000);
  do {
    try {
      line_client c;
      c.send_line("frob");
      if (c.line() == "Unknown command") return true;
    } catch (const std::runtime_error&) {
      std::this_thread::sleep_for(milliseconds(50));
    }
  } while (std::chrono::steady_clock::now() < give_up);
  return false;
}

class few_descriptors : public ::testing::Test {
 protected:
  static constexpr rlim_t descriptor_limit = 64;
  service_process service{service_options{{}, descriptor_limit}};
};

TEST_F(few_descriptors, keeps_serving_after_more_connections_than_descriptors) {
  std::vector<std::unique_ptr<line_client>> held;
  for (int i = 0; i < 200; ++i) held.push_back(std::make_unique<line_client>());
  EXPECT_TRUE(service.running());
  held.clear();
  EXPECT_TRUE(serves_a_new_client());
  EXPECT_EQ(std::string::npos, service.error_output().find("Socket error"));
}

TEST_F(few_descriptors, closes_connections_past_its_cap_and_serves_the_rest) {
  constexpr int connections = 80;
  std::vector<std::unique_ptr<line_client>> clients;
  for (int i = 0; i < connections; ++i)
    clients.push_back(std::make_unique<line_client>());
  for (auto& c : clients) {
    try {
      c->send_line("frob");
    } catch (const std::runtime_error&) {
      // already closed and reset by the service
    }
  }
  int served = 0;
  int closed = 0;
  for (auto& c : clients) {
    if (c->closed_by_peer()) {
      ++closed;
    } else {
      EXPECT_EQ("Unknown command", c->line());
      ++served;
    }
  }
  EXPECT_GT(closed, connections - static_cast<int>(descriptor_limit));
  EXPECT_GE(served, connections / 2);
  EXPECT_TRUE(service.running());
  EXPECT_TRUE(logged(service, "WARN", "connection_cap_reached",
                     "connection_cap=[0-9]* refused=[1-9]*"));
}

TEST_F(few_descriptors,
       serves_as_many_connections_as_its_cap_and_not_one_more) {
  const std::string started = service.log_line("started");
  const std::string cap_field = "connection_cap=";
  const std::size_t at = started.find(cap_field);
  ASSERT_NE(std::string::npos, at) << started;
  const int cap = std::stoi(started.substr(at + cap_field.size()));
  std::vector<std::unique_ptr<line_client>> served;
  for (int i = 0; i < cap; ++i) {
    served.push_back(std::make_unique<line_client>());
    served.back()->send_line("frob");
    ASSERT_EQ("Unknown command", served.back()->line()) << "connection " << i;
  }
  line_client one_too_many;
  one_too_many.send_line("frob");
  EXPECT_TRUE(one_too_many.closed_by_peer());
}

// A service whose stall time is shortened to `stall` (and its deadline to ten
// times that) through its test setting.
class stalled_peers : public ::testing::Test {
 protected:
  static constexpr milliseconds stall{500};
  static constexpr milliseconds deadline = 10 * stall;
  service_process service{service_options{
      {"QUARN_TEST_STALL_MS=" + std::to_string(stall.count())}, {}}};
};

TEST_F(stalled_peers, drops_a_peer_that_does_not_read_its_picture) {
  // Larger than what the service's send buffer and a small receive buffer
  // hold together.
  const std::string picture = rgb_picture(1024, 1024);
  line_client uploader;
  uploader.send_line("putpic secret password");
  uploader.send_block(picture);
  const std::string id = uploader.line();

  line_client reader(16 * 1024);
  reader.send_line("getpic " + id + " password");
  pollfd answer_begins{reader.descriptor(), POLLIN, 0};
  ASSERT_EQ(1, ::poll(&answer_begins, 1, 10000));
  line_client other;
  other.send_line("frob");
  EXPECT_EQ("Unknown command", other.line());
  std::this_thread::sleep_for(4 * stall);
  EXPECT_LT(reader.bytes_until_closed(), picture.size());
  EXPECT_TRUE(logged(service, "WARN", "peer_dropped",
                     "reason=send_stalled peer=127.0.0.1:[0-9]*"));
}

TEST_F(stalled_peers, drops_a_command_line_that_stops_arriving) {
  line_client c;
  c.send("getpic 1.sn");
  EXPECT_TRUE(closes_within(c, 4 * stall));
  EXPECT_TRUE(logged(service, "WARN", "peer_dropped",
                     "reason=receive_stalled peer=127.0.0.1:[0-9]*"));
}

TEST_F(stalled_peers, drops_a_line_that_trickles_in_past_its_deadline) {
  line_client c;
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  while (!closed && std::chrono::steady_clock::now() - start < 2 * deadline) {
    c.send("x");
    closed = closes_within(c, stall / 5);
  }
  EXPECT_TRUE(closed);
  EXPECT_GE(std::chrono::steady_clock::now() - start, deadline / 2);
  EXPECT_TRUE(logged(service, "WARN", "peer_dropped",
                     "reason=deadline_passed peer=127.0.0.1:[0-9]*"));
}

TEST_F(stalled_peers,
       drops_a_line_gone_silent_at_its_deadline_not_a_stall_later) {
  line_client c;
  const clock::time_point start = clock::now();
  // A byte each fifth of the stall time, the last one a tenth of the stall
  // time before the deadline, then nothing.
  const clock::time_point last_byte = start + deadline - stall / 10;
  while (clock::now() < last_byte) {
    c.send("x");
    ASSERT_FALSE(closes_within(c, std::min(stall / 5, left_until(last_byte))));
  }
  c.send("x");
  EXPECT_TRUE(closes_within(c, left_until(start + deadline + stall / 2)));
  EXPECT_TRUE(logged(service, "WARN", "peer_dropped",
                     "reason=deadline_passed peer=127.0.0.1:[0-9]*"));
}

TEST_F(stalled_peers, keeps_a_connection_that_sends_nothing) {
  line_client c;
  std::this_thread::sleep_for(3 * stall);
  c.send_line("frob");
  EXPECT_EQ("Unknown command", c.line());
}

// 16 MiB for all connections together: one job may hold 15 MiB.
class small_budget : public ::testing::Test {
 protected:
  service_process service{service_options{{"QUARN_TEST_BUDGET_MIB=16"}, {}}};
};

TEST_F(small_budget, stores_uploads_that_do_not_fit_at_once_in_turn) {
  // Each 2.9 MB upload holds about 6 MiB while it is parsed and stored.
  constexpr int uploads = 6;
  std::vector<std::string> answers(uploads);
  std::vector<std::thread> clients;
  for (int i = 0; i < uploads; ++i)
    clients.emplace_back([&answers, i] {
      line_client c;
      c.send_line("putpic s" + std::to_string(i) + " p");
      c.send_block(rgb_picture(700, 600));
      answers[i] = c.line();
    });
  for (auto& t : clients) t.join();
  for (const std::string& answer : answers)
    EXPECT_TRUE(answer.ends_with(".sng")) << answer;
  line_client c;
  c.send_line("list");
  EXPECT_EQ(std::to_string(uploads), c.line());
}

TEST_F(small_budget, refuses_a_picture_larger_than_one_job_may_hold) {
  line_client c;
  c.send_line("putpic s p");
  std::thread sender([&c] {
    try {
      c.send_block(rgb_picture(1500, 1200));  // 12.6 MB, and its pixels
    } catch (const std::runtime_error&) {     // refused before the end
    }
  });
  EXPECT_EQ("ERROR(LIMIT)", c.line());
  EXPECT_TRUE(c.closed_by_peer());
  sender.join();
  EXPECT_TRUE(logged(service, "WARN", "request_over_limit",
                     "limit=memory peer=127.0.0.1:[0-9]*"));
}

}  // namespace
