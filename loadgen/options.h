// The load generator's command line.
#pragma once

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

#include "loadgen/failure.h"
#include "loadgen/workload.h"

namespace loadgen {

// The whole of `text` as a number; throws failure naming `option` otherwise.
template <typename number>
number parse_number(std::string_view text, const char* option) {
  number value{};
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size())
    throw failure(std::string("bad value for ") + option + ": " +
                  std::string(text));
  return value;
}

struct settings {
  std::string host = "127.0.0.1";
  int port = 18360;
  int connections = 8;
  int idle_connections = 0;  // opened before the run, silent throughout
  scenario kind = scenario::getpic;
  std::size_t picture_bytes = 512 * 1024;  // of SNG text
  int picture_side = 0;  // pixels of a square picture; 0: picture_bytes
  double duration_s = 10;
  bool help = false;
  bool version = false;
};

// Reads the options; throws failure naming the first bad one.
settings parse_options(int argc, char** argv);

std::string usage();

}  // namespace loadgen
