// Test harness for talking to the real quarn binary: a service started in a
// fresh temporary directory, and a line-oriented client for 127.0.0.1:18360.
// A process that links it runs on a network of its own
// (support/private_network.h).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// How to start the service: entries ("NAME=value") added to its environment,
// and a descriptor limit (soft and hard, as `prlimit --nofile=N:N` sets it).
struct service_options {
  std::vector<std::string> environment;
  std::optional<rlim_t> descriptor_limit;
};

// A quarn process with a working directory of its own. Starting waits until
// the port accepts connections and the service has logged its start (its
// store is then open); destruction kills the process and removes the
// directory and what it wrote to standard error.
class service_process {
 public:
  explicit service_process(service_options options = {});
  ~service_process();
  service_process(const service_process&) = delete;
  service_process& operator=(const service_process&) = delete;

  // Kills the service and starts it again in the same directory, calling
  // `while_stopped` in between: files the service keeps are changed there,
  // not while it runs.
  void restart(const std::function<void()>& while_stopped = [] {});

  // Whether the process has not ended.
  bool running();
  // What the service has written to standard error since it last started.
  std::string error_output() const;
  // The first log line of `event` (the word after the level), waiting for it
  // up to 10 s; empty when none came.
  std::string log_line(const std::string& event) const;

  const std::filesystem::path& dir() const { return dir_; }
  // The whole content of a file under the service's directory.
  std::string read_file(const std::filesystem::path& relative) const;

 private:
  void start();
  void stop();

  service_options options_;
  std::filesystem::path dir_;
  std::filesystem::path error_file_;
  pid_t pid_ = -1;
};

// Whether `service` logged `event` at `level` (its first line of that event,
// waited for as service_process::log_line waits) with fields that match
// `fields`, a wildcard pattern (support/log_pattern.h).
bool logged(const service_process& service, const std::string& level,
            const std::string& event, const std::string& fields);

// Runs the binary in `dir` until it exits; returns its exit status and puts
// what it wrote to standard error in `error_output`.
int run_service_to_exit(const std::filesystem::path& dir,
                        std::string& error_output);

// A plain TCP connection to the service. Every wait is bounded (10 s), and a
// test fails instead of hanging.
class line_client {
 public:
  // A receive buffer of about `receive_buffer_bytes`, when above 0, is set
  // before connecting, so that a client that does not read holds little.
  explicit line_client(int receive_buffer_bytes = 0);
  // Connects from `local_address` (IPv4), such as 192.0.2.7 on the test's
  // own network, so that the service sees a peer that is not loopback.
  explicit line_client(const std::string& local_address,
                       int receive_buffer_bytes = 0);
  ~line_client();
  line_client(const line_client&) = delete;
  line_client& operator=(const line_client&) = delete;

  void send(const std::string& bytes);
  // Sends `text` and a line feed.
  void send_line(const std::string& text);
  // Sends a line count and the block of lines, as putpic expects.
  void send_block(const std::string& text);
  void shutdown_write();

  // The next line without its line feed; fails the test at end of stream.
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

  int descriptor() const { return descriptor_; }

 private:
  bool fill();

  int descriptor_ = -1;
  std::string pending_;
};
