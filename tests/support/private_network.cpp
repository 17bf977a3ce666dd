#include "support/private_network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "support/programs.h"

namespace {

// The networks made local on `lo`, whose addresses tests use as clients
// that are not loopback.
const char* const documentation_networks[] = {"192.0.2.0/24", "198.51.100.0/24",
                                              "203.0.113.0/24"};

void say(const std::string& text) {
  const std::string line = "quarn tests: " + text + "\n";
  [[maybe_unused]] const ssize_t ignored =
      ::write(STDERR_FILENO, line.data(), line.size());
}

bool write_file(const char* path, const std::string& text) {
  const int descriptor = ::open(path, O_WRONLY | O_CLOEXEC);
  if (descriptor < 0) return false;
  const bool whole = ::write(descriptor, text.data(), text.size()) ==
                     static_cast<ssize_t>(text.size());
  ::close(descriptor);
  return whole;
}

// Makes this user root of a new user namespace, as `unshare -r` does, so
// that it may make a network namespace and set it up.
bool become_root_of_a_user_namespace() {
  const std::string uid = std::to_string(::geteuid());
  const std::string gid = std::to_string(::getegid());
  return ::unshare(CLONE_NEWUSER) == 0 &&
         write_file("/proc/self/setgroups", "deny") &&
         write_file("/proc/self/uid_map", "0 " + uid + " 1") &&
         write_file("/proc/self/gid_map", "0 " + gid + " 1");
}

// Enters a new network namespace: directly where the process may (root),
// otherwise as root of a new user namespace. On failure, the error.
int enter_network_namespace() {
  if (::unshare(CLONE_NEWNET) == 0) return 0;
  const int direct_error = errno;
  if (become_root_of_a_user_namespace() && ::unshare(CLONE_NEWNET) == 0)
    return 0;
  return direct_error;
}

bool bring_loopback_up() {
  const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (descriptor < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ::ioctl(descriptor, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  up = up && ::ioctl(descriptor, SIOCSIFFLAGS, &request) == 0;
  ::close(descriptor);
  return up;
}

bool make_documentation_networks_local() {
  for (const char* network : documentation_networks)
    if (!run_program({"ip", "route", "add", "local", network, "dev", "lo"}))
      return false;
  return true;
}

// Held by every process on the machine's network from its first test until
// it ends, so that such processes use the service's fixed port in turn.
class fixed_port_lock : public ::testing::Environment {
 public:
  void SetUp() override {
    const int descriptor =
        ::open(QUARN_TEST_PORT_LOCK, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    ASSERT_GE(descriptor, 0) << "cannot open " QUARN_TEST_PORT_LOCK;
    // Left open: the lock goes with the process.
    ASSERT_EQ(0, ::flock(descriptor, LOCK_EX)) << std::strerror(errno);
  }
};

bool enter_private_network() {
  if (const int error = enter_network_namespace(); error != 0) {
    say(std::string("no network namespace of their own (") +
        std::strerror(error) +
        "): tests that start the service run one process at a time, "
        "holding " QUARN_TEST_PORT_LOCK);
    // gtest owns its environments.
    ::testing::AddGlobalTestEnvironment(
        std::make_unique<fixed_port_lock>().release());
    return false;
  }
  if (!bring_loopback_up()) say("cannot bring lo up in the test's network");
  if (!make_documentation_networks_local())
    say("`ip route add local ... dev lo` failed (is iproute2 installed?): "
        "tests from addresses other than loopback are skipped");
  return true;
}

}  // namespace

bool on_private_network() {
  static const bool entered = enter_private_network();
  return entered;
}

bool can_bind_address(const char* address) {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  const bool bound =
      ::inet_pton(AF_INET, address, &local.sin_addr) == 1 &&
      ::bind(descriptor, reinterpret_cast<const sockaddr*>(&local),
             sizeof local) == 0;
  ::close(descriptor);
  return bound;
}
