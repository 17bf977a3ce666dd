#include "web/limits.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace web {
namespace {

// The number in the environment variable `name`, when it is a whole number
// from 1 to below `bound`.
std::optional<long> test_number(const char* name, long bound) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  const std::string_view text = value;
  long number = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), number);
  if (error != std::errc() || end != text.data() + text.size() || number < 1 ||
      number >= bound)
    return std::nullopt;
  return number;
}

}  // namespace

timing process_timing() {
  timing result;
  const auto stall_ms =
      test_number("QUARN_WEB_TEST_STALL_MS", result.stall.count());
  if (stall_ms) {
    result.headers = result.stall = std::chrono::milliseconds(*stall_ms);
    result.transfer = 10 * result.stall;
  }
  return result;
}

std::size_t process_budget_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGE_SIZE);
  std::size_t budget = default_budget_bytes;
  if (pages > 0 && page_size > 0)
    budget = std::min(budget, static_cast<std::size_t>(pages) *
                                  static_cast<std::size_t>(page_size) / 8);
  const auto mib =
      test_number("QUARN_WEB_TEST_BUDGET_MIB", static_cast<long>(budget >> 20));
  return mib ? static_cast<std::size_t>(*mib) << 20 : budget;
}

}  // namespace web
