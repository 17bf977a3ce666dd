// The store through the real binary: limits of the machine it runs on, and
// a service killed while clients store.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sng/sng.h"
#include "support/line_client.h"
#include "support/log_pattern.h"
#include "support/lowered_limit.h"
#include "support/pictures.h"
#include "support/service_process.h"

namespace {

namespace fs = std::filesystem;
using words = std::vector<std::string>;

constexpr const char* password = "hunter22";

// Sends a password-mode putpic of `upload` on `c`; returns the answer line.
std::string putpic(line_client& c, const std::string& secret,
                   const std::string& upload) {
  c.send_line("putpic " + secret + " " + password);
  c.send_block(upload);
  return c.line();
}

std::string putpic(const std::string& secret, const std::string& upload) {
  line_client c;
  return putpic(c, secret, upload);
}

words list() {
  line_client c;
  c.send_line("list");
  const int count = std::stoi(c.line());
  words ids;
  for (int i = 0; i < count; ++i) ids.push_back(c.line());
  return ids;
}

// The text getpic answers for `id`, or its one error line.
std::string getpic(line_client& c, const std::string& id) {
  c.send_line("getpic " + id + " " + password);
  const std::string first = c.line();
  if (first.starts_with("ERROR")) return first;
  std::string text;
  for (int i = std::stoi(first); i > 0; --i) text += c.line() + "\n";
  return text;
}

std::string getpic(const std::string& id) {
  line_client c;
  return getpic(c, id);
}

TEST(store_limits, a_file_size_limit_fails_one_store_and_the_service_goes_on) {
  constexpr rlim_t limit_bytes = 16 * 1024;
  std::optional<service_process> service;
  {
    // The service started meanwhile keeps the lower limit.
    const lowered_limit limit(RLIMIT_FSIZE, limit_bytes);
    service.emplace();
  }
  EXPECT_EQ("ERROR(DBWRITE)", putpic("big", rgb_picture(64, 64)));
  EXPECT_EQ("2.sng", putpic("small", rgb_picture(2, 2)));
  EXPECT_EQ(words{"2.sng"}, list());
  const std::string logged = service->log_line("store_write_failed");
  EXPECT_TRUE(matches(logged, time_stamp_pattern +
                                  " ERROR store_write_failed step=write"
                                  " file=./db/* cause=\"File too large\""))
      << logged;
}

// A small file system of its own mounted on `dir`, seen only by this process
// and its children (the service started after the namespace was made).
class small_file_system {
 public:
  // Makes the mount namespace; false when that is not allowed (not root).
  static bool private_mounts() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }
  explicit small_file_system(const fs::path& dir, const std::string& size)
      : dir_(dir) {
    fs::create_directory(dir_);
    mounted_ = ::mount("quarn-test", dir_.c_str(), "tmpfs", 0,
                       ("size=" + size).c_str()) == 0;
  }
  ~small_file_system() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  small_file_system(const small_file_system&) = delete;
  small_file_system& operator=(const small_file_system&) = delete;

  bool mounted() const { return mounted_; }
  std::uint64_t available_bytes() const {
    struct statvfs status {};
    EXPECT_EQ(0, ::statvfs(dir_.c_str(), &status));
    return std::uint64_t{status.f_bavail} * status.f_frsize;
  }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

TEST(store_limits, stops_storing_short_of_a_full_disk_and_keeps_what_it_has) {
  if (!small_file_system::private_mounts())
    GTEST_SKIP() << "cannot mount a small file system of the test's own (a "
                    "mount namespace needs root): "
                 << std::strerror(errno);
  service_process service;
  const small_file_system db(service.dir() / "db", "4m");
  if (!db.mounted())
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);

  // About 40 kB each, a small part of the space kept free.
  const std::string upload = rgb_picture(80, 70);
  constexpr int most_pictures = 200;
  words stored;
  std::string answer;
  for (int n = 0; n < most_pictures; ++n) {
    answer = putpic("s" + std::to_string(n), upload);
    if (answer == "ERROR(DBWRITE)") break;
    stored.push_back(answer);
  }
  ASSERT_EQ("ERROR(DBWRITE)", answer);
  ASSERT_FALSE(stored.empty());
  // The disk had room for the picture several times over.
  const std::size_t picture_bytes =
      service.read_file("db/" + stored.back()).size();
  EXPECT_GT(db.available_bytes(), 4 * picture_bytes);

  EXPECT_EQ(stored, list());
  std::set<std::string> files;
  for (const auto& entry : fs::directory_iterator(service.dir() / "db"))
    if (!entry.path().filename().string().starts_with(".journal-"))
      files.insert(entry.path().filename().string());
  EXPECT_EQ(std::set<std::string>(stored.begin(), stored.end()), files);
  for (const std::string& id : stored)
    EXPECT_EQ(sng(service.read_file("db/" + id)).to_raw_string(), getpic(id))
        << id;
}

// What a client was answered: the secret of the picture stored under an
// identifier, and the text getpic returned for it, when it got that far.
struct acknowledged {
  std::string secret;
  std::string text;
};

class acknowledgements {
 public:
  void add(const std::string& id, const std::string& secret) {
    std::lock_guard<std::mutex> lock(mutex_);
    EXPECT_TRUE(by_id_.emplace(id, acknowledged{secret, ""}).second)
        << id << " answered twice";
  }
  void fetched(const std::string& id, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    by_id_[id].text = text;
  }
  // Only once every client thread is joined.
  const std::map<std::string, acknowledged>& all() const { return by_id_; }

 private:
  std::mutex mutex_;
  std::map<std::string, acknowledged> by_id_;
};

// Stores pictures with secrets of its own and fetches each one at once,
// until the connection breaks.
void store_until_cut_off(const std::string& name, acknowledgements& acks) {
  try {
    line_client c;
    for (int n = 0;; ++n) {
      const std::string secret = name + "n" + std::to_string(n);
      const std::string id = putpic(c, secret, rgb_picture(4, 4));
      ASSERT_TRUE(id.ends_with(".sng")) << id;
      acks.add(id, secret);
      acks.fetched(id, getpic(c, id));
    }
  } catch (const std::runtime_error&) {  // the service was killed
  }
}

TEST(store_crash, every_answered_picture_survives_kills_during_stores) {
  constexpr int kills = 12;
  constexpr int clients = 4;
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> storing_ms(20, 250);
  service_process service;
  acknowledgements acks;
  for (int round = 0; round < kills; ++round) {
    std::vector<std::thread> threads;
    for (int k = 0; k < clients; ++k)
      threads.emplace_back(
          store_until_cut_off,
          "r" + std::to_string(round) + "c" + std::to_string(k),
          std::ref(acks));
    std::this_thread::sleep_for(std::chrono::milliseconds(storing_ms(random)));
    service.restart();  // SIGKILL, then the service starts again
    for (std::thread& thread : threads) thread.join();
  }

  const words listed = list();
  EXPECT_EQ(listed.size(),
            std::set<std::string>(listed.begin(), listed.end()).size());
  line_client c;
  for (const std::string& id : listed) {
    const std::string text = getpic(c, id);
    EXPECT_FALSE(text.starts_with("ERROR")) << id << ": " << text;
  }
  EXPECT_FALSE(acks.all().empty());
  for (const auto& [id, ack] : acks.all()) {
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), id)) << id;
    const std::string text = getpic(c, id);
    if (ack.text.empty())
      EXPECT_NE(std::string::npos, text.find(" " + ack.secret + "\n")) << id;
    else
      EXPECT_EQ(ack.text, text) << id;
  }
  for (const auto& entry : fs::directory_iterator(service.dir() / "db"))
    EXPECT_FALSE(entry.path().filename().string().starts_with(".staged-"))
        << entry.path();
}

}  // namespace
