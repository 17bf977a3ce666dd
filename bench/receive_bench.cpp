// How fast a connection takes lines off a socket: client::receiveString and
// client::receiveAll over a Unix socket pair, fed by a thread of its own.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "net/sockets.h"

namespace {

// Bytes of lines queued per send by the feeding thread.
constexpr std::size_t feed_block_bytes = 256 * 1024;

// A line of `bytes` bytes, line feed included, that looks like a row of
// 8-bit RGB pixels.
std::string pixel_row(std::size_t bytes) {
  std::string line;
  while (line.size() + 1 < bytes) line += "a1b2c3 ";
  line.resize(bytes - 1);
  return line + '\n';
}

std::string repeated_lines(const std::string& line) {
  std::string block;
  while (block.size() < feed_block_bytes) block += line;
  return block;
}

// Sends `block` over and over until the other end is closed.
void feed(int descriptor, const std::string& block) {
  for (;;) {
    std::size_t sent = 0;
    while (sent < block.size()) {
      const ssize_t count = ::send(descriptor, block.data() + sent,
                                   block.size() - sent, MSG_NOSIGNAL);
      if (count <= 0) return;
      sent += static_cast<std::size_t>(count);
    }
  }
}

// Runs `receive` on a client whose peer endlessly sends `line`; `line_count`
// is the number of lines one call of `receive` takes.
template <typename receive_fn>
void receive_lines(benchmark::State& state, const std::string& line,
                   int line_count, receive_fn receive) {
  int descriptors[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, descriptors) != 0) {
    state.SkipWithError("socketpair failed");
    return;
  }
  std::thread feeder(feed, descriptors[1], repeated_lines(line));
  {
    client reader(descriptors[0], sockaddr{});
    for (auto _ : state) benchmark::DoNotOptimize(receive(reader));
  }  // closing the reader's end stops the feeder
  feeder.join();
  ::close(descriptors[1]);
  state.SetBytesProcessed(state.iterations() * line_count *
                          static_cast<std::int64_t>(line.size()));
}

// One line of state.range(0) bytes per call: 64 is a command line, 1912 a
// pixel row of a 512 KiB picture, 65536 a long row.
void receive_string(benchmark::State& state) {
  receive_lines(state, pixel_row(static_cast<std::size_t>(state.range(0))), 1,
                [](client& reader) { return reader.receiveString(); });
}
BENCHMARK(receive_string)->Arg(64)->Arg(1912)->Arg(65536)->UseRealTime();

// The pixel rows of a 512 KiB picture (274 rows of 1912 bytes) per call, as
// putpic receives an upload.
void receive_all_picture_rows(benchmark::State& state) {
  constexpr int rows = 274;
  receive_lines(state, pixel_row(1912), rows,
                [](client& reader) { return reader.receiveAll(rows); });
}
BENCHMARK(receive_all_picture_rows)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
