// Fuzz target for the SNG reader and writer. Every input is read, counting
// the memory the reader holds against what it reserved; every picture the
// reader accepts is measured, written, read back and compared with the
// original, record by record.
//
// Every written text reads back, except that of a picture of width 0 with
// rows: a row of no pixels is an empty line, which the reader skips. The
// comparison allows for what the format cannot carry: the text gains the
// blank after "text:", gamma keeps two decimals, a palette without histogram
// values next to rows of colours is not written, samples that the bit depth
// gives no digits read back as 0, and alpha is written only with the alpha
// flag. Pictures whose samples need more digits than their bit depth gives
// read back, but into other samples, so they are not compared.
#include <sanitizer/allocator_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

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

unsigned sample_digits(const sng& picture) {
  return picture.chunk_IHDR().bitdepth >> 2;
}

bool rows_hold_indices(const sng& picture) {
  return picture.chunk_IMAGE().indexed;
}

// Whether `sample` reads back from the digits the writer gives it.
bool fits(std::int32_t sample, unsigned digits) {
  if (digits == 0 || digits >= 8) return true;
  return static_cast<std::uint32_t>(sample) >> (4 * digits) == 0;
}

bool samples_read_back(const sng& picture) {
  if (rows_hold_indices(picture)) return true;
  const unsigned digits = sample_digits(picture);
  const bool alpha = picture.chunk_IHDR().alpha;
  const sng_IMAGE& image = picture.chunk_IMAGE();
  for (std::size_t y = 0; y < image.row_count(); ++y)
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      const pcolor c = image.color(x, y);
      if (!fits(c.r, digits) || !fits(c.g, digits) || !fits(c.b, digits) ||
          (alpha && !fits(c.a, digits)))
        return false;
    }
  return true;
}

float gamma_as_written(float gamma) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(gamma));
  return sng(std::string("IHDR {\n} gAMA {") + text + "}").chunk_gAMA().gamma;
}

sng_PLTE palette_as_written(const sng& picture) {
  const bool written =
      rows_hold_indices(picture) || !picture.chunk_hIST().values.empty();
  return written ? picture.chunk_PLTE() : sng_PLTE();
}

sng_tEXt text_as_written(const sng& picture) {
  sng_tEXt text = picture.chunk_tEXt();
  if (text.keyword.empty()) return sng_tEXt();
  text.text.insert(0, " ");
  return text;
}

sng_IMAGE rows_as_written(const sng& picture) {
  sng_IMAGE image = picture.chunk_IMAGE();
  if (image.indexed) return image;
  for (std::size_t y = 0; y < image.row_count(); ++y)
    for (std::size_t x = 0; x < image.row_width(y); ++x) {
      pcolor color = image.color(x, y);
      if (sample_digits(picture) == 0) color = pcolor();
      if (!picture.chunk_IHDR().alpha) color.a = 0;
      image.set_color(x, y, color);
    }
  return image;
}

void check_round_trip(const sng& picture) {
  const std::string text = picture.to_raw_string();
  check(text.size() >= 2 && text.compare(text.size() - 2, 2, "}\n") == 0,
        "text does not end with a closing line");
  check(picture.raw_size() == text.size(), "raw_size() is not the length");
  if (!picture.reads_back()) return;
  std::optional<sng> read_back;
  try {
    read_back.emplace(text);
  } catch (const sng::parse_error&) {
    check(false, "written text does not read back");
  }
  if (!samples_read_back(picture)) return;
  const sng& back = *read_back;
  check(back.chunk_IHDR() == picture.chunk_IHDR(), "header");
  check(back.chunk_gAMA().gamma == gamma_as_written(picture.chunk_gAMA().gamma),
        "gamma");
  check(back.chunk_PLTE() == palette_as_written(picture), "palette");
  check(back.chunk_hIST() == picture.chunk_hIST(), "histogram");
  check(back.chunk_tIME() == picture.chunk_tIME(), "time");
  check(back.chunk_tEXt() == text_as_written(picture), "text");
  check(back.chunk_IMAGE() == rows_as_written(picture), "rows");
  check(back.chunk_private() == picture.chunk_private(), "private values");
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
    check_round_trip(read_counting(text));
  } catch (const sng::parse_error&) {
  }
  return 0;
}
