// A client of the service under test, on 127.0.0.1:18360, for tests that
// speak the protocol line by line, hostile lines included. It is the
// client's connection (client/connection.h) with a wait limit of 10 s, so
// that a test fails instead of hanging, and with what only a test does with
// it: sending any bytes, closing its sending half. Every failure is a
// std::runtime_error with the connection's words, so that a test that
// expects one catches it and one that does not shows why.
#pragma once

#include <cstddef>
#include <string>

#include "client/connection.h"

class line_client {
 public:
  // A receive buffer of about `receive_buffer_bytes`, when above 0, is set
  // before connecting, so that a client that does not read holds little.
  explicit line_client(int receive_buffer_bytes = 0);
  // Connects from `local_address` (IPv4), such as 192.0.2.7 on the test's
  // own network, so that the service sees a peer that is not loopback.
  explicit line_client(const std::string& local_address,
                       int receive_buffer_bytes = 0);

  void send(const std::string& bytes);
  // Sends `text` and a line feed.
  void send_line(const std::string& text);
  // Sends a line count and the block of lines, as putpic expects.
  void send_block(const std::string& text);
  void shutdown_write();

  // The next line without its line feed.
  std::string line();
  // Exactly `count` bytes.
  std::string bytes(std::size_t count);
  // A line count and that many lines, each with its line feed.
  std::string block();
  // Whether the service closed the connection with nothing more to read.
  bool closed_by_peer();
  // Reads until the service closes the connection; returns the number of
  // bytes read.
  std::size_t bytes_until_closed();

  int descriptor() const { return link_.descriptor(); }

 private:
  client::connection link_;
};
