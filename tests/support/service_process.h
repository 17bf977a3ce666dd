// Test harness for the real quarn binary: a service started in a fresh
// temporary directory, listening on 127.0.0.1:18360, which tests talk to with
// line_client (support/line_client.h). A process that links it runs on a
// network of its own (support/private_network.h).
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
