#include "support/fresh_directory.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

// Exit statuses of the scenario's process.
constexpr int scenario_passed = 0;
constexpr int scenario_failed = 1;
constexpr int scenario_threw = 2;
constexpr int directory_unusable = 3;

int run_scenario(const std::string& dir,
                 const std::function<void()>& scenario) {
  if (::chdir(dir.c_str()) != 0) return directory_unusable;
  try {
    scenario();
  } catch (...) {
    ADD_FAILURE() << "the scenario let an exception through";
    return scenario_threw;
  }
  return ::testing::Test::HasFailure() ? scenario_failed : scenario_passed;
}

}  // namespace

void run_in_fresh_directory(const std::function<void()>& scenario) {
  std::string dir =
      (std::filesystem::temp_directory_path() / "quarn-store-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const int status = run_scenario(dir, scenario);
    std::cout.flush();
    std::fflush(nullptr);
    // Leaves at once: the parent's test framework must not run on here.
    std::_Exit(status);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  std::filesystem::remove_all(dir);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == scenario_passed)
      << "the scenario's process ended with wait status " << status;
}
