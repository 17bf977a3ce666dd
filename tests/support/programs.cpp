#include "support/programs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace {

enum class streams { error_only, output_and_error };

// posix_spawnp of `arguments`, with standard error (and standard output
// when `which` says so) appended to `output` when it is given; -1 when it
// cannot be started.
pid_t spawn(const std::vector<std::string>& arguments,
            const std::filesystem::path& output, streams which) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!output.empty()) {
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, output.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (which == streams::output_and_error)
      ::posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO,
                                         STDOUT_FILENO);
  }
  pid_t pid = -1;
  const int error =
      ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  return error == 0 ? pid : -1;
}

}  // namespace

bool run_program(const std::vector<std::string>& arguments,
                 const std::filesystem::path& output) {
  const pid_t pid = spawn(arguments, output, streams::output_and_error);
  int status = 0;
  return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

pid_t start_program(const std::vector<std::string>& arguments,
                    const std::filesystem::path& error_output) {
  const pid_t pid = spawn(arguments, error_output, streams::error_only);
  if (pid <= 0) throw std::runtime_error("cannot start " + arguments.front());
  return pid;
}
