// The command loop over the wire, against the real binary.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/line_client.h"
#include "support/log_pattern.h"
#include "support/pictures.h"
#include "support/service_process.h"

namespace {

class command_loop : public ::testing::Test {
 protected:
  service_process service;
};

TEST_F(command_loop, answers_unknown_command_to_other_case_and_stray_bytes) {
  line_client c;
  for (const char* line :
       {"EXIT", "Exit", " exit", "   ", "exit\r", "frob", "\xff\x01"}) {
    c.send_line(line);
    EXPECT_EQ("Unknown command", c.line()) << line;
  }
  c.send(std::string("ex\0it\n", 6));
  EXPECT_EQ("Unknown command", c.line());
}

TEST_F(command_loop, closes_on_exit_with_or_without_further_words) {
  for (const char* line : {"exit", "exit now please"}) {
    line_client c;
    c.send_line(line);
    EXPECT_TRUE(c.closed_by_peer()) << line;
  }
}

TEST_F(command_loop, closes_on_an_empty_line_without_an_answer) {
  line_client c;
  c.send("\nfrob\n");
  EXPECT_TRUE(c.closed_by_peer());
}

TEST_F(command_loop, answers_a_last_line_ended_by_shutdown_then_closes) {
  line_client c;
  c.send("frob");
  c.shutdown_write();
  EXPECT_EQ("Unknown command", c.line());
  EXPECT_TRUE(c.closed_by_peer());
}

TEST_F(command_loop, answers_commands_sent_in_one_burst_in_order) {
  line_client c;
  c.send("a\nb\nc\nexit\n");
  for (int i = 0; i < 3; ++i) EXPECT_EQ("Unknown command", c.line());
  EXPECT_TRUE(c.closed_by_peer());
}

TEST_F(command_loop, serves_a_client_while_another_sends_nothing) {
  line_client idle;
  idle.send("partial line without end");
  line_client busy;
  busy.send_line("frob");
  EXPECT_EQ("Unknown command", busy.line());
}

TEST_F(command_loop, refuses_an_overlong_line_and_goes_on_serving) {
  {
    line_client c;
    c.send(std::string(5 * 1024 * 1024, 'x') + "\n");
    EXPECT_EQ("ERROR(LIMIT)", c.line());
    EXPECT_TRUE(c.closed_by_peer());
  }
  line_client next;
  next.send_line("frob");
  EXPECT_EQ("Unknown command", next.line());
}

TEST_F(command_loop, survives_a_client_that_vanishes_with_unread_answers) {
  {
    line_client c;
    std::string burst;
    for (int i = 0; i < 20000; ++i) burst += "frob\n";
    c.send(burst);
  }
  line_client next;
  next.send_line("frob");
  EXPECT_EQ("Unknown command", next.line());
}

TEST_F(command_loop, answers_at_once_with_a_thousand_idle_connections) {
  std::vector<std::unique_ptr<line_client>> idle;
  for (int i = 0; i < 1000; ++i)
    idle.push_back(std::make_unique<line_client>());
  line_client c;
  c.send_line("frob");
  EXPECT_EQ("Unknown command", c.line());
}

TEST_F(command_loop, closes_an_http_post_unanswered_and_runs_none_of_it) {
  const std::string picture = rgb_picture(2, 2);
  const std::string body =
      "putpic secret password\n" +
      std::to_string(std::count(picture.begin(), picture.end(), '\n')) + "\n" +
      picture;
  line_client browser;
  browser.send(
      "POST / HTTP/1.1\r\nHost: 127.0.0.1:18360\r\n"
      "Content-Type: text/plain\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ(0u, browser.bytes_until_closed());
  EXPECT_TRUE(
      logged(service, "WARN", "foreign_protocol", "peer=127.0.0.1:[0-9]*"));
  line_client c;
  c.send_line("list");
  EXPECT_EQ("0", c.line());
}

TEST_F(command_loop, closes_at_a_request_line_or_host_header_unanswered) {
  for (const char* request :
       {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
        "OPTIONS / HTTP/1.1\nlist\n", "Host: 127.0.0.1:18360\r\nlist\n"}) {
    line_client c;
    c.send(request);
    EXPECT_EQ(0u, c.bytes_until_closed()) << request;
  }
  line_client c;
  c.send("list\nGET / HTTP/1.1\r\nlist\n");
  EXPECT_EQ("0", c.line());
  EXPECT_TRUE(c.closed_by_peer());
}

TEST_F(command_loop, answers_lines_short_of_http_as_before) {
  line_client c;
  for (const char* line :
       {"GET", "GET /", "POST x", "FROB", "get / HTTP/1.1", "Hostname: x"}) {
    c.send_line(line);
    EXPECT_EQ("Unknown command", c.line()) << line;
  }
  c.send_line("getpic x HTTP/1.1");
  EXPECT_EQ("ERROR(NOTFOUND)", c.line());
}

TEST(service_start, logs_its_port_directory_pictures_and_limits_once_bound) {
  service_process service;
  service.restart(
      [&] { std::ofstream(service.dir() / "quarn.db") << "1.sng\n2.sng\n"; });
  const std::string line = service.log_line("started");
  EXPECT_TRUE(matches(
      line, time_stamp_pattern + " INFO started port=18360 directory=" +
                std::filesystem::canonical(service.dir()).string() +
                " pictures=2 descriptor_limit=[0-9]* connection_cap=[0-9]*"
                " memory_budget_bytes=[0-9]* request_memory_bytes=[0-9]*"
                " stall_timeout_ms=60000 transfer_deadline_ms=600000"
                " disk_reserve_bytes=[0-9]*"))
      << line;
}

TEST(service_start, reports_a_taken_port_on_standard_error) {
  service_process holder;
  std::string error_output;
  EXPECT_EQ(1, run_service_to_exit(holder.dir(), error_output));
  EXPECT_EQ("Socket error: bind\n", error_output);
}

}  // namespace
