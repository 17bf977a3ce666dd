#include "support/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/line_client.h"
#include "support/log_pattern.h"
#include "support/private_network.h"

namespace {

// Entered before main, while the process has one thread: a user namespace
// can only be entered then, and a network namespace holds for the thread
// that enters it and the threads and processes it starts afterwards.
[[maybe_unused]] const bool private_network = on_private_network();

constexpr int wait_ms = 10000;

// Whether something accepts connections on the service's port.
bool port_answers() {
  try {
    line_client probe;
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

std::filesystem::path make_temp_dir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "quarn-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string whole_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The calling process's environment with `extra` entries added.
std::vector<std::string> environment_with(
    const std::vector<std::string>& extra) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry)
    entries.emplace_back(*entry);
  entries.insert(entries.end(), extra.begin(), extra.end());
  return entries;
}

// Starts the binary in `dir` with standard error on `error_fd` (when not
// -1). Everything the child needs is prepared before the fork.
pid_t spawn_service(const std::filesystem::path& dir, int error_fd,
                    const service_options& options = {}) {
  std::vector<std::string> environment = environment_with(options.environment);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  char* const argv[] = {const_cast<char*>(QUARN_BINARY), nullptr};
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    if (error_fd >= 0) ::dup2(error_fd, 2);
    if (options.descriptor_limit) {
      const rlimit limit{*options.descriptor_limit, *options.descriptor_limit};
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(127);
    }
    ::execve(QUARN_BINARY, argv, envp.data());
    ::_exit(127);
  }
  return pid;
}

}  // namespace

service_process::service_process(service_options options)
    : options_(std::move(options)),
      dir_(make_temp_dir()),
      error_file_(dir_.string() + ".stderr") {
  start();
}

service_process::~service_process() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
  std::filesystem::remove(error_file_, ignored);
}

bool service_process::running() {
  if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

std::string service_process::error_output() const {
  return whole_file(error_file_);
}

namespace {

// The first line of `output` whose third word is `event`; empty when none
// is.
std::string line_of_event(const std::string& output, const std::string& event) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string time, level, name;
    if (words >> time >> level >> name && name == event) return line;
  }
  return "";
}

}  // namespace

std::string service_process::log_line(const std::string& event) const {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    std::string line = line_of_event(error_output(), event);
    if (!line.empty() || std::chrono::steady_clock::now() >= deadline)
      return line;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool logged(const service_process& service, const std::string& level,
            const std::string& event, const std::string& fields) {
  return matches(service.log_line(event),
                 time_stamp_pattern + " " + level + " " + event + " " + fields);
}

void service_process::restart(const std::function<void()>& while_stopped) {
  stop();
  while_stopped();
  start();
}

void service_process::start() {
  if (port_answers())
    throw std::runtime_error("port 18360 is already in use by another process");
  const int error_fd = ::open(error_file_.c_str(),
                              O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (error_fd == -1) throw std::runtime_error("cannot open the error file");
  pid_ = spawn_service(dir_, error_fd, options_);
  ::close(error_fd);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (port_answers()) {
      // The start-up line comes once the store is open too, so that a test
      // that stops the service finds the files it keeps.
      if (log_line("started").empty())
        throw std::runtime_error("quarn did not log its start");
      return;
    }
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("quarn exited at start (port taken?)");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  throw std::runtime_error("quarn did not start listening");
}

void service_process::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string service_process::read_file(
    const std::filesystem::path& relative) const {
  return whole_file(dir_ / relative);
}

int run_service_to_exit(const std::filesystem::path& dir,
                        std::string& error_output) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = spawn_service(dir, pipe_fds[1]);
  ::close(pipe_fds[1]);
  error_output.clear();
  char chunk[256];
  ssize_t count;
  while ((count = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0)
    error_output.append(chunk, static_cast<std::size_t>(count));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
