#include "support/tls_front.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/private_network.h"
#include "support/programs.h"

namespace {

namespace fs = std::filesystem;

fs::path make_temp_dir() {
  std::string pattern =
      (fs::temp_directory_path() / "quarn-tls-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string whole_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Runs the openssl tool with `arguments`, its output in `dir`; throws with
// what it said when it fails.
void openssl(const fs::path& dir, std::vector<std::string> arguments) {
  const fs::path output = dir / "openssl.out";
  arguments.insert(arguments.begin(), "openssl");
  if (!run_program(arguments, output))
    throw std::runtime_error("openssl " + arguments[1] +
                             " failed: " + whole_file(output));
}

// Whether something accepts TCP connections on 127.0.0.1:`port`.
bool accepts_connections(int port) {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool accepted =
      ::connect(descriptor, reinterpret_cast<sockaddr*>(&address),
                sizeof address) == 0;
  ::close(descriptor);
  return accepted;
}

}  // namespace

std::string tls_front::missing() {
  std::string lacking;
  if (::access(QUARN_STUNNEL, X_OK) != 0)
    lacking += QUARN_STUNNEL " (Debian's package stunnel4) ";
  if (!run_program({"openssl", "version"}, "/dev/null"))
    lacking += "the openssl tool (Debian's package openssl) ";
  return lacking.empty() ? "" : "missing: " + lacking;
}

tls_front::tls_front() : dir_(make_temp_dir()) {
  try {
    if (accepts_connections(port))
      throw std::runtime_error("port 18361 is already in use");
    make_certificates();
    write_configuration();
    pid_ = start_program({QUARN_STUNNEL, (dir_ / "quarn-tls.conf").string()},
                         dir_ / "stunnel.log");
    wait_until_listening();
  } catch (...) {
    clean_up();
    throw;
  }
}

tls_front::~tls_front() { clean_up(); }

void tls_front::clean_up() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

std::string tls_front::log() const { return whole_file(dir_ / "stunnel.log"); }

void tls_front::make_certificates() const {
  const auto in_dir = [this](const char* name) {
    return (dir_ / name).string();
  };
  const std::vector<std::string> new_key = {
      "-newkey", "ec",    "-pkeyopt", "ec_paramgen_curve:P-256",
      "-nodes",  "-days", "1"};
  std::vector<std::string> ca = {
      "req",  "-x509",          "-keyout", in_dir("ca.key"),
      "-out", in_dir("ca.pem"), "-subj",   "/CN=quarn test CA"};
  ca.insert(ca.end(), new_key.begin(), new_key.end());
  openssl(dir_, ca);
  std::vector<std::string> server = {
      "req",     "-x509",
      "-CA",     in_dir("ca.pem"),
      "-CAkey",  in_dir("ca.key"),
      "-keyout", in_dir("privkey.pem"),
      "-out",    in_dir("fullchain.pem"),
      "-subj",   "/CN=localhost",
      "-addext", std::string("subjectAltName=") + server_names,
      "-addext", "basicConstraints=critical,CA:FALSE"};
  server.insert(server.end(), new_key.begin(), new_key.end());
  openssl(dir_, server);
}

// The shipped configuration, with the certificate and key that systemd
// would hand over replaced by the throw-away ones.
void tls_front::write_configuration() const {
  std::istringstream shipped(whole_file(QUARN_TLS_CONFIGURATION));
  std::ostringstream configuration;
  for (std::string line; std::getline(shipped, line);) {
    if (line.starts_with("cert = "))
      line = "cert = " + (dir_ / "fullchain.pem").string();
    else if (line.starts_with("key = "))
      line = "key = " + (dir_ / "privkey.pem").string();
    configuration << line << '\n';
  }
  std::ofstream(dir_ / "quarn-tls.conf") << configuration.str();
}

void tls_front::wait_until_listening() {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!accepts_connections(port)) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("stunnel exited at start: " + log());
    }
    if (std::chrono::steady_clock::now() >= deadline)
      throw std::runtime_error("stunnel did not listen within 10 s: " + log());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void service_behind_tls_front::SetUp() {
  if (const std::string lacking = tls_front::missing(); !lacking.empty())
    GTEST_SKIP() << lacking;
  if (!can_bind_address("192.0.2.7"))
    GTEST_SKIP() << "no documentation network is local here";
  front.emplace();
}
