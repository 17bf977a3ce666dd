// Runs a command while a TLS front (support/tls_front.h) listens on port
// 18361 of this network, with "--ca" and the front's CA certificate added to
// its arguments; exits as the command did. Tests outside C++ (the gallery in
// a browser) reach the service through the shipped front so.
// Usage: behind_tls_front COMMAND [ARGUMENT...]
#include <sys/wait.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "support/programs.h"
#include "support/tls_front.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: behind_tls_front COMMAND [ARGUMENT...]\n", stderr);
    return 2;
  }
  if (const std::string lacking = tls_front::missing(); !lacking.empty()) {
    std::fprintf(stderr, "behind_tls_front: %s\n", lacking.c_str());
    return 1;
  }
  try {
    const tls_front front;
    std::vector<std::string> command(argv + 1, argv + argc);
    command.insert(command.end(), {"--ca", front.ca_file().string()});
    const pid_t pid = start_program(command, {});
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return 1;
    return WEXITSTATUS(status);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "behind_tls_front: %s\n", error.what());
    return 1;
  }
}
