// Hexadecimal samples and stored pixels as the SNG reader, writer and model
// handle them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "sng/sng.h"

// Digits of one palette index in a pixel row, whatever the bit depth.
constexpr std::integral_constant<unsigned, 2> index_digits;

// Calls `use` with the number of hexadecimal digits per sample: as a
// compile-time constant for the common bit depths 4, 8 and 16 (1, 2 and 4
// digits), so that the per-digit loops of the pixel rows unroll, and as a
// run-time value otherwise.
template <class Use>
void with_sample_digits(unsigned digits, Use use) {
  switch (digits) {
    case 1:
      use(std::integral_constant<unsigned, 1>());
      return;
    case 2:
      use(std::integral_constant<unsigned, 2>());
      return;
    case 4:
      use(std::integral_constant<unsigned, 4>());
      return;
    default:
      use(digits);
  }
}

// Digits of one sample: its 32-bit two's complement in as many hexadecimal
// digits as it needs, at least one, padded with zeros to `digits`. Counted
// without branches, so that measuring many samples runs as vector code.
inline unsigned hex_length(std::uint32_t value, unsigned digits = 1) {
  unsigned needed = 1;
  for (unsigned shift = 4; shift < 32; shift += 4)
    needed += value >> shift != 0;
  return needed > digits ? needed : digits;
}

using pixel_layout = sng_IMAGE::layout;

template <pixel_layout Stored>
using layout_constant = std::integral_constant<pixel_layout, Stored>;

// Calls `use` with `stored` as a compile-time constant, so that the loops
// over stored pixels are made once per layout.
template <class Use>
void with_layout(pixel_layout stored, Use use) {
  switch (stored) {
    case pixel_layout::index:
      use(layout_constant<pixel_layout::index>());
      return;
    case pixel_layout::byte_samples:
      use(layout_constant<pixel_layout::byte_samples>());
      return;
    case pixel_layout::short_samples:
      use(layout_constant<pixel_layout::short_samples>());
      return;
    case pixel_layout::int_samples:
      use(layout_constant<pixel_layout::int_samples>());
      return;
  }
}

// Pixels of four samples are stored as 32-bit words in the machine's byte
// order: the word r | g << 8 | b << 16 | a << 24 for byte samples, the words
// r | g << 16 and b | a << 16 for short samples, one word per sample for int
// samples. Loops that read whole words over many pixels run as vector code.

// The largest sample a layout holds.
template <pixel_layout Stored>
constexpr std::uint32_t max_sample =
    Stored == pixel_layout::byte_samples    ? 0xff
    : Stored == pixel_layout::short_samples ? 0xffff
                                            : 0xffffffff;

// Whether the layout `Stored` holds the samples of `color`.
template <pixel_layout Stored>
bool fits(layout_constant<Stored>, const pcolor& color) noexcept {
  if constexpr (Stored == pixel_layout::int_samples) {
    return true;
  } else if constexpr (Stored == pixel_layout::index) {
    return (color.g | color.b | color.a) == 0 &&
           static_cast<std::uint32_t>(color.r) <= 0xff;
  } else {
    // Negative samples make the union of all bits negative, so too large.
    return static_cast<std::uint32_t>(color.r | color.g | color.b | color.a) <=
           max_sample<Stored>;
  }
}

using stored_samples = std::array<std::uint32_t, 4>;

// The samples of the pixel stored at `at` in the layout `Stored`: red,
// green, blue and alpha, each as its 32-bit two's complement.
template <pixel_layout Stored>
stored_samples load_samples(layout_constant<Stored>,
                            const std::uint8_t* at) noexcept {
  if constexpr (Stored == pixel_layout::index) {
    return {at[0], 0, 0, 0};
  } else if constexpr (Stored == pixel_layout::byte_samples) {
    std::uint32_t word;
    std::memcpy(&word, at, sizeof word);
    return {word & 0xff, word >> 8 & 0xff, word >> 16 & 0xff, word >> 24};
  } else if constexpr (Stored == pixel_layout::short_samples) {
    std::uint32_t words[2];
    std::memcpy(words, at, sizeof words);
    return {words[0] & 0xffff, words[0] >> 16, words[1] & 0xffff,
            words[1] >> 16};
  } else {
    stored_samples samples;
    std::memcpy(samples.data(), at, sizeof samples);
    return samples;
  }
}

// The pixel stored at `at` in the layout `Stored`, as a colour.
template <pixel_layout Stored>
pcolor load_pixel(layout_constant<Stored> stored,
                  const std::uint8_t* at) noexcept {
  const stored_samples samples = load_samples(stored, at);
  return pcolor(static_cast<std::int32_t>(samples[0]),
                static_cast<std::int32_t>(samples[1]),
                static_cast<std::int32_t>(samples[2]),
                static_cast<std::int32_t>(samples[3]));
}

// Stores `color`, whose samples fit the layout `Stored`, at `at`.
template <pixel_layout Stored>
void store_pixel(layout_constant<Stored>, std::uint8_t* at,
                 const pcolor& color) noexcept {
  const auto sample = [](std::int32_t value) {
    return static_cast<std::uint32_t>(value);
  };
  if constexpr (Stored == pixel_layout::index) {
    at[0] = static_cast<std::uint8_t>(color.r);
  } else if constexpr (Stored == pixel_layout::byte_samples) {
    const std::uint32_t word = sample(color.r) | sample(color.g) << 8 |
                               sample(color.b) << 16 | sample(color.a) << 24;
    std::memcpy(at, &word, sizeof word);
  } else if constexpr (Stored == pixel_layout::short_samples) {
    const std::uint32_t words[2] = {sample(color.r) | sample(color.g) << 16,
                                    sample(color.b) | sample(color.a) << 16};
    std::memcpy(at, words, sizeof words);
  } else {
    const std::uint32_t words[4] = {sample(color.r), sample(color.g),
                                    sample(color.b), sample(color.a)};
    std::memcpy(at, words, sizeof words);
  }
}

// The index of the pixel stored at `at`: the low byte of its red sample.
template <pixel_layout Stored>
std::uint8_t load_index(layout_constant<Stored> stored,
                        const std::uint8_t* at) noexcept {
  return static_cast<std::uint8_t>(load_samples(stored, at)[0] & 0xff);
}

// Sets the index of the pixel stored at `at`, its red sample's low byte.
template <pixel_layout Stored>
void store_index(layout_constant<Stored> stored, std::uint8_t* at,
                 std::uint8_t index) noexcept {
  pcolor color = load_pixel(stored, at);
  color.r = static_cast<std::int32_t>(
      (static_cast<std::uint32_t>(color.r) & ~0xffu) | index);
  store_pixel(stored, at, color);
}
