// The load generator's command line.
#pragma once

#include <charconv>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "client/connection.h"
#include "client/tls.h"
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
  int port = 18360;  // 18361 with --tls
  // What to trust with --tls and --ca FILE; none: the clear.
  std::shared_ptr<const client::tls_context> tls;
  int connections = 8;
  int idle_connections = 0;  // opened before the run, silent throughout
  scenario kind = scenario::getpic;
  std::size_t picture_bytes = 512 * 1024;  // of SNG text
  int picture_side = 0;  // pixels of a square picture; 0: picture_bytes
  double duration_s = 10;
  bool help = false;
  bool version = false;
};

// Reads the options; throws failure naming the first bad one. With --tls it
// reads the certificate authorities to trust.
settings parse_options(int argc, char** argv);

// A connection to the service that `options` name, through TLS with --tls;
// throws as client::connection does.
client::connection connect_to_service(const settings& options);

std::string usage();

}  // namespace loadgen
