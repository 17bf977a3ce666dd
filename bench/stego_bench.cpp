// Hiding the longest text a command line can carry, 4 MiB, in the pixels of
// a picture twice that size, as putpic in pixel mode does.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <random>
#include <string>

#include "client/sng_text.h"
#include "sng/sng.h"
#include "stego/stego.h"

namespace {

constexpr std::size_t text_bytes = 4 * 1024 * 1024;
constexpr int width = 4096;
constexpr int height = 2048;

// A width x height 8-bit RGB picture whose every pixel is grey.
sng grey_picture() { return sng(client::rgb_picture(width, height)); }

void stego_put_4_mib_in_8_mi_pixels(benchmark::State& state) {
  sng picture = grey_picture();
  std::mt19937 random(42);
  std::string text(text_bytes, '\0');
  for (char& c : text) c = static_cast<char>(random());
  for (auto _ : state) {
    const std::vector<pixel> positions = stego::put(picture, text);
    if (positions.size() != text.size()) state.SkipWithError("not hidden");
    benchmark::DoNotOptimize(positions.data());
  }
}
BENCHMARK(stego_put_4_mib_in_8_mi_pixels)->Unit(benchmark::kMillisecond);

}  // namespace
