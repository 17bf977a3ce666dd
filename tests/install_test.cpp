// `cmake --install` of this build: where the programs, their manual pages,
// the systemd units and the TLS front's files go, and whether systemd takes
// the units.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "service/quarn.h"

namespace {

namespace fs = std::filesystem;

// A new empty directory, removed with what it holds.
class temporary_directory {
 public:
  temporary_directory() {
    std::string pattern =
        (fs::temp_directory_path() / "quarn-install-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~temporary_directory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  temporary_directory(const temporary_directory&) = delete;
  temporary_directory& operator=(const temporary_directory&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Runs a shell command; returns its exit status and puts what it wrote to
// standard output and standard error in `output`.
int run(const std::string& command, std::string& output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  output.clear();
  char chunk[4096];
  for (std::size_t count; (count = std::fread(chunk, 1, sizeof chunk, pipe));)
    output.append(chunk, count);
  const int status = ::pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Installs this build under `prefix`, below `destdir` when one is given;
// returns the exit status and puts what cmake wrote in `output`.
int install(const fs::path& prefix, const fs::path& destdir,
            std::string& output) {
  const std::string staging =
      destdir.empty() ? "" : "DESTDIR='" + destdir.string() + "' ";
  return run(staging +
                 "'" QUARN_CMAKE_COMMAND "' --install '" QUARN_BUILD_DIR
                 "' --prefix '" +
                 prefix.string() + "'",
             output);
}

std::string whole_file(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// The number a unit file sets `key` to (the first "key=" line).
long setting(const std::string& unit, const std::string& key) {
  const auto at = unit.find("\n" + key + "=");
  if (at == std::string::npos) return -1;
  return std::stol(unit.substr(at + key.size() + 2));
}

TEST(install, puts_programs_pages_and_unit_under_the_prefix_in_destdir) {
  const temporary_directory destdir;
  std::string output;
  ASSERT_EQ(0, install("/usr", destdir.path(), output)) << output;
  std::istringstream programs(QUARN_INSTALLED_PROGRAMS);
  for (std::string program; programs >> program;) {
    const fs::path installed = destdir.path() / "usr/bin" / program;
    EXPECT_EQ(0, ::access(installed.c_str(), X_OK)) << installed;
  }
  std::istringstream pages(QUARN_INSTALLED_PAGES);
  for (std::string page; pages >> page;) {
    const fs::path installed = destdir.path() / "usr/share/man" / page;
    EXPECT_TRUE(fs::is_regular_file(installed)) << installed;
  }
  const std::string unit =
      whole_file(destdir.path() / "usr/lib/systemd/system/quarn.service");
  EXPECT_NE(std::string::npos, unit.find("\nExecStart=/usr/bin/quarn\n"))
      << unit;
  const std::string front =
      whole_file(destdir.path() / "usr/lib/systemd/system/quarn-tls.service");
  EXPECT_NE(std::string::npos, front.find("\nExecStart=" QUARN_STUNNEL
                                          " /etc/quarn/quarn-tls.conf\n"))
      << front;
  EXPECT_TRUE(fs::is_regular_file(destdir.path() / "etc/quarn/quarn-tls.conf"));
  EXPECT_TRUE(fs::is_regular_file(destdir.path() /
                                  "usr/share/quarn/loopback-only.conf"));
}

TEST(install,
     hands_the_front_the_certificate_where_its_configuration_reads_it) {
  const temporary_directory destdir;
  std::string output;
  ASSERT_EQ(0, install("/usr", destdir.path(), output)) << output;
  const std::string unit =
      whole_file(destdir.path() / "usr/lib/systemd/system/quarn-tls.service");
  const std::string configuration =
      whole_file(destdir.path() / "etc/quarn/quarn-tls.conf");
  for (const std::string file : {"fullchain.pem", "privkey.pem"}) {
    EXPECT_NE(std::string::npos, unit.find("\nLoadCredential=" + file +
                                           ":/etc/quarn/tls/" + file + "\n"))
        << unit;
    EXPECT_NE(std::string::npos,
              configuration.find(" = /run/credentials/quarn-tls.service/" +
                                 file + "\n"))
        << configuration;
  }
}

TEST(install, gives_units_that_systemd_accepts) {
  std::string output;
  if (run("command -v systemd-analyze", output) != 0)
    GTEST_SKIP() << "systemd-analyze is missing (Debian's package systemd): "
                    "the unit is not verified";
  // Verifying checks that ExecStart names a program, so the prefix is a real
  // directory here.
  const temporary_directory prefix;
  ASSERT_EQ(0, install(prefix.path(), {}, output)) << output;
  // It passes unknown keys and values it cannot parse with a warning only.
  const fs::path units = prefix.path() / "lib/systemd/system";
  EXPECT_EQ(0, run("systemd-analyze verify '" +
                       (units / "quarn.service").string() + "'",
                   output));
  EXPECT_EQ("", output);

  // With the loopback-only drop-in in place, as an operator links it.
  fs::create_directory(units / "quarn.service.d");
  fs::copy_file(prefix.path() / "share/quarn/loopback-only.conf",
                units / "quarn.service.d/loopback-only.conf");
  EXPECT_EQ(0, run("systemd-analyze verify '" +
                       (units / "quarn.service").string() + "'",
                   output));
  EXPECT_EQ("", output);

  if (::access(QUARN_STUNNEL, X_OK) != 0)
    GTEST_SKIP() << QUARN_STUNNEL
        " is missing (Debian's package stunnel4): "
        "quarn-tls.service is not verified";
  EXPECT_EQ(0, run("systemd-analyze verify '" +
                       (units / "quarn-tls.service").string() + "'",
                   output));
  EXPECT_EQ("", output);
}

TEST(install, lets_the_unit_start_a_thread_for_every_connection_served) {
  const std::string unit = whole_file(QUARN_UNIT_TEMPLATE);
  const long descriptors = setting(unit, "LimitNOFILE");
  ASSERT_GT(descriptors, 0);
  // One thread per connection, and the accept loop's own.
  EXPECT_GT(setting(unit, "TasksMax"),
            connection_cap(static_cast<rlim_t>(descriptors)));
}

}  // namespace
