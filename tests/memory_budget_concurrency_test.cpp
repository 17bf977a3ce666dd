#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "service/memory_budget.h"
#include "support/log_pattern.h"

namespace {

using namespace std::chrono_literals;

// 100 bytes in all, at most 60 per job, jobs of at most 5 bytes may use a
// slice of 10 that larger ones leave alone.
class budget : public ::testing::Test {
 protected:
  memory_budget shared{100, 60, 5, 10};
};

TEST_F(budget, grants_what_fits_and_counts_it_back) {
  memory_account account(shared, 0s);
  account.take(40);
  account.hold(25);
  EXPECT_EQ(25u, shared.used());
  EXPECT_THROW(account.take(36), memory_budget::limit_error);
  EXPECT_EQ(25u, account.held());
}

TEST_F(budget, keeps_room_for_the_oldest_holder_to_grow) {
  memory_account oldest(shared, 0s);
  memory_account younger(shared, 0s);
  oldest.take(10);
  // 50 stay free for the oldest and 10 for small jobs: 30 are left.
  younger.take(30);
  EXPECT_THROW(younger.take(1), memory_budget::timeout_error);
  oldest.take(50);
  EXPECT_EQ(90u, shared.used());
}

TEST_F(budget, lets_small_jobs_use_their_slice_when_large_ones_cannot) {
  memory_account oldest(shared, 0s);
  memory_account large(shared, 0s);
  memory_account small(shared, 0s);
  oldest.take(10);
  large.take(30);
  EXPECT_THROW(large.take(5), memory_budget::timeout_error);
  small.take(5);
  EXPECT_THROW(small.take(1), memory_budget::timeout_error);
}

TEST_F(budget, wakes_a_waiting_job_when_the_oldest_gives_back) {
  memory_account oldest(shared, 0s);
  memory_account younger(shared, 10s);
  oldest.take(60);
  std::thread waiter([&] { younger.take(40); });
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(60u, shared.used());  // still waiting
  oldest.hold(0);
  waiter.join();
  EXPECT_EQ(40u, shared.used());
}

TEST_F(budget, logs_a_wait_of_a_second_or_more_once_it_ends) {
  memory_account oldest(shared, 0s);
  memory_account younger(shared, 10s);
  oldest.take(60);
  ::testing::internal::CaptureStderr();
  std::thread waiter([&] { younger.take(41); });
  std::this_thread::sleep_for(1100ms);
  oldest.hold(0);
  waiter.join();
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(
      matches(log, time_stamp_pattern +
                       " WARN memory_wait waited_ms=[1-9][0-9][0-9][0-9]*"
                       " bytes=41 budget_used_bytes=41 budget_bytes=100"
                       " outcome=granted\n"))
      << log;
}

}  // namespace
