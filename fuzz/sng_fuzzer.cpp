// Fuzz target for the SNG reader and writer. Every input is read; every
// picture the reader accepts is written, read back and compared with the
// original, record by record. The comparison allows for what the format
// cannot carry: the text gains the blank after "text:", gamma keeps two
// decimals, a palette without histogram values next to rows of colours is
// not written, samples that the bit depth gives no digits read back as 0,
// and alpha is written only with the alpha flag. Pictures whose rows cannot
// be written at all (rows of no pixels, samples wider than the bit depth
// allows) are only written, not compared.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sng/sng.h"

namespace {

void check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "round trip broken: %s\n", what);
  std::abort();
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

bool rows_can_be_written(const sng& picture) {
  if (picture.width() == 0 && picture.height() > 0) return false;
  if (rows_hold_indices(picture)) return true;
  const unsigned digits = sample_digits(picture);
  const bool alpha = picture.chunk_IHDR().alpha;
  for (const auto& row : picture.chunk_IMAGE().rows)
    for (const color_t& pixel : row) {
      const pcolor& c = pixel.color;
      if (!fits(c.r, digits) || !fits(c.g, digits) || !fits(c.b, digits) ||
          (alpha && !fits(c.a, digits)))
        return false;
    }
  return true;
}

float gamma_as_written(float gamma) {
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", static_cast<double>(gamma));
  return parse_gAMA(text).gamma;
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
  for (auto& row : image.rows)
    for (color_t& pixel : row) {
      if (sample_digits(picture) == 0) pixel.color = pcolor();
      if (!picture.chunk_IHDR().alpha) pixel.color.a = 0;
    }
  return image;
}

void check_round_trip(const sng& picture) {
  const std::string text = picture.to_raw_string();
  check(text.size() >= 2 && text.compare(text.size() - 2, 2, "}\n") == 0,
        "text does not end with a closing line");
  if (!rows_can_be_written(picture)) return;
  try {
    const sng back(text);
    check(back.chunk_IHDR() == picture.chunk_IHDR(), "header");
    check(
        back.chunk_gAMA().gamma == gamma_as_written(picture.chunk_gAMA().gamma),
        "gamma");
    check(back.chunk_PLTE() == palette_as_written(picture), "palette");
    check(back.chunk_hIST() == picture.chunk_hIST(), "histogram");
    check(back.chunk_tIME() == picture.chunk_tIME(), "time");
    check(back.chunk_tEXt() == text_as_written(picture), "text");
    check(back.chunk_IMAGE() == rows_as_written(picture), "rows");
    check(back.chunk_private() == picture.chunk_private(), "private values");
  } catch (const sng::parse_error&) {
    check(false, "written text does not read back");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    check_round_trip(sng(text));
  } catch (const sng::parse_error&) {
  }
  return 0;
}
