// Fuzz target for the SNG reader and writer. Every input is read, counting
// the memory the reader holds against what it reserved; every picture the
// reader accepts is measured, written, read back and compared with the
// original, record by record (fuzz/round_trip.h).
#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "fuzz/round_trip.h"
#include "sng/sng.h"

namespace {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

// What the reader may hold beyond the memory it reserved.
constexpr std::size_t unreserved_allowance = 64 * 1024;

// The bytes allocated and not yet freed since counting began, and the bytes
// the reader reserved. The sanitizer calls the hooks on every allocation.
struct memory_count {
  bool counting = false;
  std::ptrdiff_t live = 0;
  std::size_t reserved = 0;
} memory;

void count_allocation(const volatile void*, std::size_t bytes) {
  if (!memory.counting) return;
  memory.live += static_cast<std::ptrdiff_t>(bytes);
  if (memory.live >
      static_cast<std::ptrdiff_t>(memory.reserved + unreserved_allowance)) {
    memory.counting = false;
    check(false, "the reader holds more than it reserved");
  }
}

void count_release(const volatile void* block) {
  if (memory.counting)
    memory.live -=
        static_cast<std::ptrdiff_t>(__sanitizer_get_allocated_size(block));
}

// Reads `text`, counting what the reader holds; checks that the picture's
// own count of its memory covers what it holds at the end.
sng read_counting(const std::string& text) {
  memory = memory_count{true, 0, 0};
  try {
    sng picture(text, [](std::size_t bytes) { memory.reserved += bytes; });
    memory.counting = false;
    check(memory.live <= static_cast<std::ptrdiff_t>(picture.memory_size()),
          "the picture holds more than memory_size() says");
    return picture;
  } catch (...) {
    memory.counting = false;
    throw;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  __sanitizer_install_malloc_and_free_hooks(count_allocation, count_release);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const std::optional<std::string> fault =
        round_trip_fault(read_counting(text));
    check(!fault, fault ? fault->c_str() : "");
  } catch (const sng::parse_error&) {
  }
  return 0;
}
