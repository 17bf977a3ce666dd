// The memory the SNG reader holds, against what it reserves and what the
// picture reports, and the memory the writer takes to measure a text. This
// program replaces the global allocation functions to count the bytes held.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "sng/sng.h"
#include "support/pictures.h"

namespace {

// Bytes allocated and not yet freed since counting began, and the most they
// went beyond what the reader had reserved at the time.
struct memory_count {
  bool counting = false;
  std::ptrdiff_t live = 0;
  std::ptrdiff_t reserved = 0;
  std::ptrdiff_t worst_excess = 0;
} memory;

void count(void* block, int sign) {
  if (!memory.counting || block == nullptr) return;
  // The allocator keeps a word before each block.
  const auto bytes = malloc_usable_size(block) + sizeof(void*);
  memory.live += sign * static_cast<std::ptrdiff_t>(bytes);
  memory.worst_excess =
      std::max(memory.worst_excess, memory.live - memory.reserved);
}

}  // namespace

void* operator new(std::size_t bytes) {
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) throw std::bad_alloc();
  count(block, 1);
  return block;
}

void operator delete(void* block) noexcept {
  count(block, -1);
  std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
  operator delete(block);
}

namespace {

// Reads `text` while counting; the picture's own count and what it holds.
struct counted_read {
  std::size_t memory_size;
  std::ptrdiff_t held;
};

counted_read read_counting(const std::string& text) {
  memory = memory_count{true, 0, 0, 0};
  const sng picture(text, [](std::size_t bytes) {
    memory.reserved += static_cast<std::ptrdiff_t>(bytes);
  });
  memory.counting = false;
  return {picture.memory_size(), memory.live};
}

std::string repeated(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += piece;
  return text;
}

// A 512 x 512 picture at bit depth 8 with `chunks` added before its rows.
std::string picture(const std::string& chunks) {
  return sng_text(
      {.width = 512, .height = 512, .pixel = "a0b1c2", .chunks = chunks});
}

// Honest pictures and texts made to make the reader take much memory for
// little text, each about a megabyte.
std::vector<std::string> large_texts() {
  std::string private_values;
  for (int i = 0; i < 50000; ++i)
    private_values += "private " + std::to_string(i) + " {\"\"}";
  return {
      picture(""),
      sng_text({.width = 512,
                .height = 512,
                .bitdepth = 16,
                .using_words = "alpha",
                .pixel = "0123456789abcdef"}),
      sng_text({.width = 1024, .height = 1024, .pixel = "f"}),
      sng_text({.width = 1, .height = 1000000, .pixel = "f"}),
      // Rows decoded before the header, and rows widened by a character
      // that is no hexadecimal digit.
      "IMAGE {\n" + repeated(repeated("ffffff ", 512) + "\n", 512) +
          "}\nIHDR { width 512 height 512 }",
      sng_text({.width = 512,
                .height = 512,
                .rows = repeated(repeated("a0b1c2 ", 511) + "z\n", 512)}),
      sng_text({.width = 512,
                .height = 512,
                .using_words = "",
                .pixel = "00",
                .palette = repeated(" 1 2 3", 200000)}),
      picture("hIST {" + repeated(" 1", 500000) + "}"),
      picture("tEXt { keyword k text " + std::string(1 << 20, 'x') + " }"),
      "IHDR { " + repeated("width ", 200000) + "}" + picture(""),
      picture(private_values),
      picture("private k {\"" + std::string(1 << 20, 'x') +
              "\"} private k {\"short\"}"),
      picture(std::string(1 << 20, 'n') + " {x}"),
  };
}

TEST(reader_memory, never_holds_more_than_it_reserved_plus_64_kib) {
  for (const std::string& text : large_texts()) {
    read_counting(text);
    EXPECT_LE(memory.worst_excess, 64 * 1024) << text.substr(0, 60);
  }
}

TEST(reader_memory, reports_at_least_what_the_picture_holds) {
  for (const std::string& text : large_texts()) {
    const counted_read read = read_counting(text);
    EXPECT_GE(static_cast<std::ptrdiff_t>(read.memory_size), read.held)
        << text.substr(0, 60);
    // Close to it: within a few per cent and the picture object itself.
    EXPECT_LE(read.memory_size, 1.1 * read.held + sizeof(sng))
        << text.substr(0, 60);
  }
}

TEST(writer_memory, measures_a_text_without_memory_that_grows_with_it) {
  for (const std::string& text : large_texts()) {
    const sng picture(text);
    memory = memory_count{true, 0, 0, 0};
    const std::size_t size = picture.raw_size();
    memory.counting = false;
    EXPECT_GT(size, 0u);
    EXPECT_LE(memory.worst_excess, 4 * 1024) << text.substr(0, 60);
  }
}

}  // namespace
