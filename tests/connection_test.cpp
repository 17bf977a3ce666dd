// The client's connection against a peer in the same process: how it reads
// what arrives, in whatever pieces, and how its waits end.
#include "client/connection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/errors.h"
#include "support/socket_pair.h"

namespace client {
namespace {

TEST(connection, reads_lines_however_the_bytes_arrive) {
  socket_pair pair;
  connection reader(pair.ours);
  connection writer(pair.theirs);
  writer.send("one\ntw");
  writer.send("o\n\nthree\r\nfour\nfi");
  writer.send("ve\n");
  EXPECT_EQ(reader.read_line(), "one");
  EXPECT_EQ(reader.read_line(), "two");
  EXPECT_EQ(reader.read_line(), "");
  std::string block = "x";
  reader.read_lines(2, block);
  EXPECT_EQ(block, "xthree\r\nfour\n");
  EXPECT_TRUE(reader.read_expected("fi"));
  EXPECT_TRUE(reader.read_expected("ve\n"));
}

TEST(connection, read_expected_stops_at_the_first_different_byte) {
  socket_pair pair;
  connection reader(pair.ours);
  connection writer(pair.theirs);
  writer.send("abcdef");
  EXPECT_FALSE(reader.read_expected("abXdef"));
}

TEST(connection, fails_when_the_peer_closes_in_the_middle_of_a_line) {
  socket_pair pair;
  connection reader(pair.ours);
  {
    connection writer(pair.theirs);
    writer.send("partial");
  }
  EXPECT_THROW(reader.read_line(), peer_closed);
}

TEST(connection, gives_up_at_its_deadline) {
  socket_pair pair;
  connection reader(pair.ours);
  connection writer(pair.theirs);
  writer.send("no line feed");
  reader.set_deadline(connection::clock::now() + std::chrono::milliseconds(50));
  EXPECT_THROW(reader.read_line(), timed_out);
}

TEST(connection, reads_a_block_longer_than_its_buffer_whatever_came_before) {
  socket_pair pair;
  connection reader(pair.ours);
  const std::string line(100 * 1024, 'x');
  std::string sent = "count\n";
  for (int i = 0; i < 40; ++i) sent += line + "\n";
  std::jthread writer([&] { connection(pair.theirs).send(sent); });
  EXPECT_EQ(reader.read_line(), "count");
  std::string block;
  reader.read_lines(40, block);
  EXPECT_EQ("count\n" + block, sent);
}

TEST(connection, tells_a_byte_that_came_from_the_end_of_the_stream) {
  socket_pair pair;
  connection reader(pair.ours);
  {
    connection writer(pair.theirs);
    writer.send("xyz");
    EXPECT_FALSE(reader.at_end());
    std::string first;
    reader.read_bytes(1, first);
    EXPECT_EQ(first, "x");
  }
  EXPECT_EQ(reader.bytes_until_closed(), 2u);
  EXPECT_TRUE(reader.at_end());
}

}  // namespace
}  // namespace client
