// Throughput of the SNG reader and writer on 1024 x 1024 pictures, in bytes
// of SNG text per second, and the cost of measuring the written text.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "sng/sng.h"

namespace {

constexpr int side = 1024;

// Random samples of `digits` hexadecimal digits each.
std::string random_hex(std::mt19937& random, int digits) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string text;
  for (int i = 0; i < digits; ++i) text += hex[random() % 16];
  return text;
}

// A side x side picture with random pixels, written by the writer so that
// the reader sees the layout it sees in service.
std::string picture_text(int bitdepth, bool alpha, bool palette) {
  std::mt19937 random(42);
  std::string text = "IHDR { width " + std::to_string(side) + " height " +
                     std::to_string(side) + " bitdepth " +
                     std::to_string(bitdepth) + " using color" +
                     (alpha ? " alpha" : "") + (palette ? " palette" : "") +
                     " }\n";
  if (palette) {
    text += "PLTE {";
    for (int i = 0; i < 256; ++i) text += " (" + std::to_string(i) + ",1,2)";
    text += " }\nhIST { 1 }\n";
  }
  text += "IMAGE {\n";
  const int samples = alpha ? 4 : 3;
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x)
      text += palette ? random_hex(random, 2)
                      : random_hex(random, samples * bitdepth / 4) + " ";
    text += '\n';
  }
  return sng(text + "}\n").to_raw_string();
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
