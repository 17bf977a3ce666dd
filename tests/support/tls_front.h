// A TLS front before the service under test, as quarn-tls.service runs one:
// stunnel with the configuration quarn ships (dist/quarn-tls.conf.in), on its
// port 18361 of the test's own network (support/private_network.h), with
// throw-away certificates in place of the shipped paths: a CA of the test's
// own, made with the openssl tool, and a server certificate it signed for
// the names server_names lists. Needs Debian's stunnel4 and openssl.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "support/service_process.h"

class tls_front {
 public:
  static constexpr int port = 18361;
  // The names the server's certificate holds, as subjectAltName lists them.
  static constexpr const char* server_names =
      "DNS:localhost,IP:127.0.0.1,IP:192.0.2.1";

  // What this machine lacks to make one, for a test to skip with; empty
  // when nothing is missing.
  static std::string missing();

  // Makes the certificates and starts stunnel, returning once its port
  // accepts connections. Throws std::runtime_error when it cannot.
  tls_front();
  // Stops stunnel and removes the certificates.
  ~tls_front();
  tls_front(const tls_front&) = delete;
  tls_front& operator=(const tls_front&) = delete;

  // The CA certificate (PEM) that signed the server's.
  std::filesystem::path ca_file() const { return dir_ / "ca.pem"; }
  // What stunnel has logged.
  std::string log() const;

 private:
  void make_certificates() const;
  void write_configuration() const;
  void wait_until_listening();
  void clean_up();

  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

// Tests of the service behind a TLS front, whose clients connect from
// addresses of the test's own network: the service, then the front, which
// SetUp starts. A test is skipped, saying why, where stunnel or openssl are
// missing or the documentation networks are not local.
class service_behind_tls_front : public ::testing::Test {
 protected:
  void SetUp() override;

  service_process service;
  std::optional<tls_front> front;
};
