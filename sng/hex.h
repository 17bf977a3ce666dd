// Hexadecimal samples as the SNG reader and writer handle them.
#pragma once

#include <type_traits>

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
