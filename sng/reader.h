// The SNG reader's steps, for the reader and its tests: one step per chunk
// kind, the digit rule of pixel samples, and the small word functions the
// steps share. Nothing outside sng/ uses them: a picture is read through
// sng::sng (sng/sng.h).
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "sng/sng.h"

// `word` without one trailing colon or semicolon.
std::string _(const std::string& word);

// One integer read from `in` as a 64-bit value and cut to T's low bits; 0
// (with `in` failed) when no number can be read there.
template <class T>
T get_num(std::istringstream& in) {
  long long value = 0;
  in >> value;
  return static_cast<T>(value);
}

// One step per chunk kind. parse_IMAGE decodes every row and tests none of
// them against a header.
sng_IHDR parse_IHDR(const std::string& body);
sng_gAMA parse_gAMA(const std::string& body);
sng_PLTE parse_PLTE(const std::string& body);
sng_hIST parse_hIST(const std::string& body);
sng_tIME parse_tIME(const std::string& body);
sng_tEXt parse_tEXt(const std::string& body);
sng_IMAGE parse_IMAGE(const std::string& body, unsigned char bitdepth,
                      bool palette);

// The digit rule: one sample of `bits` / 4 hexadecimal digits from
// `position`, advanced past the digits read; a missing digit shifts in a
// zero, and any character counts as a digit ('0' to '9' their value, every
// other character its signed code minus 'a' plus 10).
std::uint32_t hex2byte(std::string::const_iterator& position,
                       const std::string::const_iterator& end,
                       unsigned char bits);
// One direct pixel of `word`: red, green and blue, then alpha only when
// characters remain.
color_t hex2color(const std::string& word, unsigned char bitdepth);
