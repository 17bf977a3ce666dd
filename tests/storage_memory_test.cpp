// The store when memory runs out. This program replaces operator new so that
// a chosen allocation fails; the replacement is inert until a test arms it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <string>

#include "storage/storage.h"
#include "support/fresh_directory.h"
#include "support/pictures.h"

namespace {

// Allocations that still succeed before one throws std::bad_alloc; negative
// when none fails. Counts down to -1, so that exactly one allocation fails.
std::atomic<long> allocations_left{-1};

// Longest a scenario may run; past it the alarm ends its process and the
// test fails, instead of waiting for ever on a store that hangs.
constexpr unsigned scenario_seconds = 20;

// Out of line, so that the compiler does not pair free() with the
// new-expressions it sees inlined into operator delete.
[[gnu::noinline]] void release(void* memory) { std::free(memory); }

}  // namespace

void* operator new(std::size_t bytes) {
  if (allocations_left.load() >= 0 && allocations_left.fetch_sub(1) == 0)
    throw std::bad_alloc();
  if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }

namespace {

TEST(store, goes_on_storing_after_memory_runs_out_anywhere_in_a_put) {
  run_in_fresh_directory([] {
    ::alarm(scenario_seconds);
    const std::string text = sng(rgb_picture(1, 1, "ff0000")).to_raw_string();
    sng_storage* const store = sng_storage::instance();
    // Fails the first allocation of a put, then the second, and so on, until
    // a put needs no more allocations than are left.
    for (long allocations = 0;; ++allocations) {
      allocations_left = allocations;
      try {
        store->put_text(text);
      } catch (const sng_storage::write_error&) {
      } catch (const std::bad_alloc&) {
      }
      const bool failed_one = allocations_left < 0;
      allocations_left = -1;
      EXPECT_NO_THROW(store->put_text(text))
          << "after allocation " << allocations;
      if (!failed_one) break;
    }

    for (const std::string& id : store->get_all_items())
      EXPECT_EQ(text, *store->fetch_item(id).text) << id;
    for (const auto& entry : std::filesystem::directory_iterator("db"))
      EXPECT_FALSE(entry.path().filename().string().starts_with(".staged-"))
          << entry.path();
  });
}

}  // namespace
