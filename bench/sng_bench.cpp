// Throughput of the SNG reader and writer on 1024 x 1024 pictures, in bytes
// of SNG text per second, and the cost of measuring the written text.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "client/sng_text.h"
#include "sng/sng.h"

namespace {

constexpr int side = 1024;

// A side x side picture with random pixels, written by the writer so that
// the reader sees the layout it sees in service.
std::string picture_text(int bitdepth, bool alpha, bool palette) {
  const int samples = alpha ? 4 : 3;
  client::picture_spec spec{.width = side,
                            .height = side,
                            .bitdepth = bitdepth,
                            .using_words = alpha ? "alpha color" : "color",
                            .pixel = std::string(samples * bitdepth / 4, '0'),
                            .random_seed = 42};
  if (palette) {
    spec.using_words = "color palette";
    spec.pixel = "00";
    spec.palette = client::palette_entries(256);
    spec.chunks = "hIST {\n\t1\n}\n";
  }
  return sng(client::sng_text(spec)).to_raw_string();
}

const std::string& rgb8() {
  static const std::string text = picture_text(8, false, false);
  return text;
}

const std::string& rgba16() {
  static const std::string text = picture_text(16, true, false);
  return text;
}

// Rows read at bit depth 8 under a later header of bit depth 4: their
// samples need more digits than the header gives, so the length of the
// written text is measured pixel by pixel.
const std::string& wide_samples() {
  static const std::string text =
      rgb8() + "IHDR { width " + std::to_string(side) + " height " +
      std::to_string(side) + " bitdepth 4 using color }\n";
  return text;
}

const std::string& palette8() {
  static const std::string text = picture_text(8, false, true);
  return text;
}

void read(benchmark::State& state, const std::string& (*text)()) {
  const std::string& input = text();
  for (auto _ : state) {
    sng picture(input);
    benchmark::DoNotOptimize(picture);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<std::int64_t>(input.size()));
}

void write(benchmark::State& state, const std::string& (*text)()) {
  const sng picture(text());
  std::int64_t bytes = 0;
  for (auto _ : state) {
    const std::string output = picture.to_raw_string();
    bytes += static_cast<std::int64_t>(output.size());
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(bytes);
}

void raw_size(benchmark::State& state, const std::string& (*text)()) {
  const sng picture(text());
  for (auto _ : state) benchmark::DoNotOptimize(picture.raw_size());
}

BENCHMARK_CAPTURE(read, rgb8_1024x1024, rgb8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(read, rgba16_1024x1024, rgba16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(read, palette_1024x1024, palette8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write, rgb8_1024x1024, rgb8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write, rgba16_1024x1024, rgba16)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write, palette_1024x1024, palette8)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(write, wide_samples_1024x1024, wide_samples)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(raw_size, rgb8_1024x1024, rgb8)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(raw_size, wide_samples_1024x1024, wide_samples)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
