#include "service/log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/log_pattern.h"

namespace {

// What `write` puts on standard error.
template <typename write_fn>
std::string written(write_fn write) {
  ::testing::internal::CaptureStderr();
  write();
  return ::testing::internal::GetCapturedStderr();
}

TEST(log_line, starts_with_a_utc_time_stamp_the_level_and_the_event) {
  const std::string line = written([] {
    log_line(log_level::warn, "peer_dropped")
        .field("reason", "send_stalled")
        .field("bytes", 42)
        .write();
  });
  EXPECT_TRUE(matches(line, time_stamp_pattern +
                                " WARN peer_dropped reason=send_stalled"
                                " bytes=42\n"))
      << line;
}

TEST(log_line, quotes_and_escapes_values_so_that_an_event_stays_one_line) {
  const std::string line = written([] {
    log_line(log_level::error, "store_read_failed")
        .field("file", "./db/a b\n\"c\"\\\x01")
        .field("cause", "")
        .write();
  });
  EXPECT_TRUE(line.ends_with(
      R"( ERROR store_read_failed file="./db/a b\n\"c\"\\\x01" cause="")"
      "\n"))
      << line;
}

TEST(log_throttle, lets_one_line_through_per_interval_and_counts_the_rest) {
  log_throttle throttle(std::chrono::milliseconds(100));
  EXPECT_EQ(1u, throttle.occurred());
  EXPECT_EQ(std::nullopt, throttle.occurred());
  EXPECT_EQ(std::nullopt, throttle.occurred());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(3u, throttle.occurred());
}

}  // namespace
