// The store on a file system in memory that loses power at a random moment:
// every write not yet flushed is lost, kept, torn, cut short before a tail
// of zeros, or kept with some of its bytes scrambled, and every change of a
// directory not yet flushed (a creation, a rename, a removal) is kept or
// lost. After each cut the store is opened again on what survived; every
// picture it answered must be there byte for byte, and the index must list
// only complete pictures, once each, in the list's order.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/layout.h"
#include "storage/storage.h"

namespace {

using words = std::vector<std::string>;

class memory_file_system final : public file_system {
 public:
  explicit memory_file_system(std::mt19937& random) : random_(random) {
    root_ = std::make_shared<inode>();
    root_->directory = true;
  }

  // The call after `calls` more calls, and every call after it, fails with
  // EIO and changes nothing: the power is gone.
  void lose_power_after(long calls) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_left_ = calls;
  }

  // What the disk holds after the power cut: for each file, its flushed
  // bytes, or all its bytes, or its flushed bytes and a part of what was
  // appended after them, alone or followed by zeros up to the file's size
  // (the size reached the disk, the data did not), or all its bytes with a
  // few of those not flushed scrambled in place (a sector half written);
  // each unflushed directory change kept or lost, and the files of a
  // directory that was lost with it. The power is back, nothing is open.
  //
  // The index (`unscrambled`) gets zeros rather than scrambled bytes: lines
  // written into it by hand while the store was closed are kept, and
  // garbage of the same length cannot be told from them.
  void restart() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, inode_ptr> names = durable_names_;
    for (const change& unflushed : unflushed_)
      if (random_() % 2 == 0) apply(names, unflushed);
    // A directory whose own entry was lost takes its files with it.
    std::erase_if(names, [&](const auto& entry) {
      const std::string parent = parent_of(entry.first);
      return !parent.empty() && !names.contains(parent);
    });
    for (const auto& [path, node] : names) {
      std::string& data = node->data;
      const std::size_t kept = node->durable.size();
      const bool appended = data.starts_with(node->durable);
      const std::size_t size = data.size();
      switch (random_() % 5) {
        case 0:
          data = node->durable;
          break;
        case 1:  // torn: the flushed bytes and a part of those appended
          if (appended) data.resize(kept + random_() % (size - kept + 1));
          break;
        case 3:  // torn, then zeros up to the size the file had
          if (appended) {
            data.resize(kept + random_() % (size - kept + 1));
            data.resize(size, '\0');
          }
          break;
        case 4:  // a few unflushed bytes scrambled
          if (path != unscrambled)
            scramble_unflushed(*node);
          else if (appended)
            data.replace(kept, size - kept, size - kept, '\0');
          break;
      }
      node->durable = data;
    }
    names_ = durable_names_ = std::move(names);
    unflushed_.clear();
    open_.clear();
    calls_left_ = -1;
  }

  // The bytes of the file `path`, if there is one.
  std::optional<std::string> contents(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = names_.find(normal(path));
    if (found == names_.end()) return std::nullopt;
    return found->second->data;
  }

  int open(const char* path, int flags, mode_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return fail(EIO);
    const std::string name = normal(path);
    inode_ptr node = find(name);
    if (!node) {
      if (!(flags & O_CREAT)) return fail(ENOENT);
      const inode_ptr parent = find(parent_of(name));
      if (!parent || !parent->directory) return fail(ENOENT);
      node = std::make_shared<inode>();
      node->number = ++inodes_;
      link(name, node);
    } else if ((flags & O_CREAT) && (flags & O_EXCL)) {
      return fail(EEXIST);
    }
    if ((flags & O_DIRECTORY) && !node->directory) return fail(ENOTDIR);
    if (node->directory && (flags & O_ACCMODE) != O_RDONLY) return fail(EISDIR);
    if (flags & O_TRUNC) touch(*node).clear();
    open_[++descriptors_] = node;
    return descriptors_;
  }
  int close(int fd) override {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_.erase(fd) == 1 ? 0 : fail(EBADF);
  }
  ssize_t pread(int fd, void* buffer, std::size_t bytes,
                off_t offset) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const inode_ptr node = opened(fd);
    if (!node || node->directory) return fail(power_is_out() ? EIO : EBADF);
    const std::string& data = node->data;
    if (static_cast<std::size_t>(offset) >= data.size()) return 0;
    const std::size_t got = std::min(bytes, data.size() - offset);
    std::memcpy(buffer, data.data() + offset, got);
    return static_cast<ssize_t>(got);
  }
  ssize_t pwritev(int fd, const iovec* parts, int count,
                  off_t offset) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const inode_ptr node = opened(fd);
    if (!node || node->directory) return fail(power_is_out() ? EIO : EBADF);
    std::string& data = touch(*node);
    std::size_t at = static_cast<std::size_t>(offset);
    for (int i = 0; i < count; ++i) {
      if (data.size() < at + parts[i].iov_len)
        data.resize(at + parts[i].iov_len);
      std::memcpy(data.data() + at, parts[i].iov_base, parts[i].iov_len);
      at += parts[i].iov_len;
    }
    return static_cast<ssize_t>(at - offset);
  }
  int fstat(int fd, struct stat* status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const inode_ptr node = opened(fd);
    return node ? describe(*node, status) : fail(power_is_out() ? EIO : EBADF);
  }
  int stat(const char* path, struct stat* status) override {
    return lstat(path, status);
  }
  int lstat(const char* path, struct stat* status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return fail(EIO);
    const inode_ptr node = find(normal(path));
    return node ? describe(*node, status) : fail(ENOENT);
  }
  int fdatasync(int fd) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const inode_ptr node = opened(fd);
    if (!node) return fail(power_is_out() ? EIO : EBADF);
    node->durable = node->data;
    return 0;
  }
  int ftruncate(int fd, off_t size) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const inode_ptr node = opened(fd);
    if (!node) return fail(power_is_out() ? EIO : EBADF);
    touch(*node).resize(static_cast<std::size_t>(size));
    return 0;
  }
  int rename(const char* from, const char* to) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return fail(EIO);
    const inode_ptr node = find(normal(from));
    if (!node) return fail(ENOENT);
    const inode_ptr replaced = find(normal(to));
    if (replaced && replaced->directory) return fail(EISDIR);
    record({{normal(to), node}, {normal(from), nullptr}});
    return 0;
  }
  int unlink(const char* path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return fail(EIO);
    const inode_ptr node = find(normal(path));
    if (!node) return fail(ENOENT);
    if (node->directory) return fail(EISDIR);
    record({{normal(path), nullptr}});
    return 0;
  }
  int mkdir(const char* path, mode_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return fail(EIO);
    if (find(normal(path))) return fail(EEXIST);
    auto node = std::make_shared<inode>();
    node->directory = true;
    node->number = ++inodes_;
    link(normal(path), node);
    return 0;
  }
  std::optional<std::vector<std::string>> names_in(const char* path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return std::nullopt;
    std::vector<std::string> names;
    const std::string directory = normal(path);
    for (const auto& [name, node] : names_)
      if (!name.empty() && parent_of(name) == directory)
        names.push_back(
            name.substr(directory.empty() ? 0 : directory.size() + 1));
    return names;
  }
  int sync_directory(const char* path) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return fail(EIO);
    const std::string directory = normal(path);
    std::vector<change> rest;
    for (change& unflushed : unflushed_)
      if (parent_of(unflushed.front().path) == directory)
        apply(durable_names_, unflushed);
      else
        rest.push_back(std::move(unflushed));
    unflushed_ = std::move(rest);
    return 0;
  }
  int sync_file_system(const char*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (power_is_out()) return fail(EIO);
    for (const change& unflushed : unflushed_) apply(durable_names_, unflushed);
    unflushed_.clear();
    for (const auto& [name, node] : names_) node->durable = node->data;
    return 0;
  }
  std::optional<space> space_of(const char*) override {
    return space{std::uint64_t{1} << 40, std::uint64_t{1} << 39};
  }

 private:
  struct inode {
    bool directory = false;
    std::string data;     // what reads see
    std::string durable;  // what survives a power cut for sure
    std::uint64_t number = 0;
    long version = 0;  // moves on with every change of data
  };
  using inode_ptr = std::shared_ptr<inode>;
  // One directory change, applied whole: a name given a file, or taken
  // (nullptr); a rename is two.
  struct effect {
    std::string path;
    inode_ptr node;
  };
  using change = std::vector<effect>;

  static std::string normal(std::string path) {
    while (path.starts_with("./")) path.erase(0, 2);
    if (path == ".") path.clear();
    while (path.ends_with('/')) path.pop_back();
    return path;
  }
  static std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
  }
  static void apply(std::map<std::string, inode_ptr>& names,
                    const change& changed) {
    for (const effect& one : changed)
      if (one.node)
        names[one.path] = one.node;
      else
        names.erase(one.path);
  }
  static int fail(int error) {
    errno = error;
    return -1;
  }
  static int describe(const inode& node, struct stat* status) {
    *status = {};
    status->st_dev = 1;
    status->st_ino = node.number;
    status->st_mode = (node.directory ? S_IFDIR : S_IFREG) | 0644;
    status->st_size = static_cast<off_t>(node.data.size());
    status->st_ctim.tv_nsec = node.version;
    return 0;
  }
  static std::string& touch(inode& node) {
    ++node.version;
    return node.data;
  }

  // Changes a few of the bytes of `node` written since its last flush,
  // keeping its length.
  void scramble_unflushed(inode& node) {
    std::string& data = node.data;
    const auto differs = std::mismatch(
        data.begin(), data.end(), node.durable.begin(), node.durable.end());
    const std::size_t from =
        static_cast<std::size_t>(differs.first - data.begin());
    if (from == data.size()) return;
    for (int n = 1 + random_() % 3; n > 0; --n)
      data[from + random_() % (data.size() - from)] ^=
          static_cast<char>(1 + random_() % 255);
  }

  // Counts a call; whether the power is out for it.
  bool power_is_out() {
    if (calls_left_ < 0) return false;
    if (calls_left_ == 0) return true;
    --calls_left_;
    return false;
  }
  inode_ptr find(const std::string& path) const {
    if (path.empty()) return root_;
    const auto found = names_.find(path);
    return found == names_.end() ? nullptr : found->second;
  }
  inode_ptr opened(int fd) {
    if (power_is_out()) return nullptr;
    const auto found = open_.find(fd);
    return found == open_.end() ? nullptr : found->second;
  }
  void link(const std::string& path, const inode_ptr& node) {
    record({{path, node}});
  }
  void record(change changed) {
    apply(names_, changed);
    unflushed_.push_back(std::move(changed));
  }

  static constexpr const char* unscrambled = "quarn.db";

  std::mt19937& random_;
  std::mutex mutex_;
  inode_ptr root_;
  std::map<std::string, inode_ptr> names_;          // what lookups see
  std::map<std::string, inode_ptr> durable_names_;  // what survives for sure
  std::vector<change> unflushed_;                   // oldest first
  std::map<int, inode_ptr> open_;
  int descriptors_ = 2;
  std::uint64_t inodes_ = 0;
  long calls_left_ = -1;  // negative: the power stays on
};

// A picture text of its own for put number `n`, of a size that varies: the
// store keeps texts as they are given.
std::string text_of(int n, std::mt19937& random) {
  return "picture " + std::to_string(n) + "\n" +
         std::string(random() % 3000, static_cast<char>('a' + n % 26)) + "\n";
}

words words_of(const std::string& text) {
  std::istringstream in(text);
  words result;
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

class store_under_power_cuts : public ::testing::TestWithParam<unsigned> {};

TEST_P(store_under_power_cuts,
       keeps_every_answered_picture_and_lists_whole_ones) {
  constexpr int power_cuts = 3;
  constexpr int writers = 3;
  constexpr int puts_each = 8;
  constexpr long most_calls_before_a_cut = 700;
  // Some pictures go into the journal and some are flushed on their own;
  // checkpoints every few pictures, so that cuts meet them too.
  const journal_limits limits{1500, 4096, 4, std::chrono::hours(1)};
  std::mt19937 random(GetParam());
  memory_file_system files(random);
  std::mutex answers_mutex;
  std::map<std::string, std::string> answered;  // identifier: text
  std::set<std::string> tried;                  // every text given to a put
  int next_text = 0;

  for (int cut = 0; cut < power_cuts; ++cut) {
    files.lose_power_after(random() % most_calls_before_a_cut);
    std::unique_ptr<sng_storage> store;
    try {
      store = sng_storage::open(files, limits);
    } catch (const sng_storage::init_error&) {
    }
    std::vector<std::string> texts;
    for (int i = 0; i < writers * puts_each; ++i)
      tried.insert(texts.emplace_back(text_of(next_text++, random)));
    std::vector<std::thread> threads;
    for (int w = 0; store && w < writers; ++w)
      threads.emplace_back([&, w] {
        for (int k = 0; k < puts_each; ++k) {
          const std::string& text = texts[w * puts_each + k];
          try {
            const std::string id = store->put_text(text);
            std::lock_guard<std::mutex> lock(answers_mutex);
            EXPECT_TRUE(answered.emplace(id, text).second) << id << " twice";
          } catch (const sng_storage::write_error&) {
          }
        }
      });
    for (std::thread& thread : threads) thread.join();
    store.reset();
    files.restart();
  }

  const std::unique_ptr<sng_storage> store = sng_storage::open(files, limits);
  const words listed = store->get_all_items();
  EXPECT_EQ(words_of(files.contents("quarn.db").value_or("")), listed);
  EXPECT_EQ(listed.size(),
            std::set<std::string>(listed.begin(), listed.end()).size());
  for (const std::string& id : listed) {
    const auto text = files.contents(make_filename(id));
    EXPECT_TRUE(text && tried.contains(*text)) << id << " is not whole";
  }
  for (const auto& [id, text] : answered) {
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), id)) << id;
    EXPECT_EQ(text, files.contents(make_filename(id)).value_or("")) << id;
  }
  EXPECT_FALSE(answered.contains(store->put_text("after\n")));
}

INSTANTIATE_TEST_SUITE_P(random_moments, store_under_power_cuts,
                         ::testing::Range(0u, 300u));

// Writes `text` as the whole of the file `path` on `files`, as an editor
// would.
void write_file(file_system& files, const char* path, const std::string& text) {
  const int fd = files.open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_LE(0, fd);
  const iovec part{const_cast<char*>(text.data()), text.size()};
  EXPECT_EQ(static_cast<ssize_t>(text.size()), files.pwritev(fd, &part, 1, 0));
  EXPECT_EQ(0, files.close(fd));
}

TEST(store_reopened,
     keeps_lines_written_into_the_index_while_closed_and_mends_torn_ones) {
  std::mt19937 random(0);
  memory_file_system files(random);
  const journal_limits limits;  // no checkpoint before the store is closed
  sng_storage::open(files, limits).reset();
  write_file(files, "quarn.db", "1.sng\n2.sng\n");
  auto store = sng_storage::open(files, limits);
  EXPECT_EQ((words{"1.sng", "2.sng"}), store->get_all_items());

  // Appended after the lines of journaled pictures.
  EXPECT_EQ("3.sng", store->put_text("three\n"));
  EXPECT_EQ("4.sng", store->put_text("four\n"));
  store.reset();
  write_file(files, "quarn.db", "1.sng\n2.sng\n3.sng\n4.sng\n9.sng\n");
  store = sng_storage::open(files, limits);
  EXPECT_EQ("1.sng\n2.sng\n3.sng\n4.sng\n9.sng\n", files.contents("quarn.db"));

  // Restored from a copy taken before a journaled picture's line, and a line
  // added: the picture's line comes after.
  EXPECT_EQ("a.sng", store->put_text("ten\n"));
  store.reset();
  write_file(files, "quarn.db", "1.sng\n2.sng\n3.sng\n4.sng\n9.sng\n7.sng\n");
  store = sng_storage::open(files, limits);
  EXPECT_EQ("1.sng\n2.sng\n3.sng\n4.sng\n9.sng\n7.sng\na.sng\n",
            files.contents("quarn.db"));

  // A line torn by a crash and the next one lost.
  EXPECT_EQ("b.sng", store->put_text("eleven\n"));
  EXPECT_EQ("c.sng", store->put_text("twelve\n"));
  store.reset();
  const std::string whole = "1.sng\n2.sng\n3.sng\n4.sng\n9.sng\n7.sng\na.sng\n";
  write_file(files, "quarn.db", whole + "b.s");
  store = sng_storage::open(files, limits);
  EXPECT_EQ(whole + "b.sng\nc.sng\n", files.contents("quarn.db"));
  EXPECT_EQ(words_of(whole + "b.sng c.sng"), store->get_all_items());
}

TEST(store_reopened, cuts_an_index_whose_torn_tail_is_zeros) {
  std::mt19937 random(0);
  memory_file_system files(random);
  const journal_limits limits;  // no checkpoint before the store is closed
  auto store = sng_storage::open(files, limits);
  EXPECT_EQ("1.sng", store->put_text("one\n"));
  EXPECT_EQ("2.sng", store->put_text("two\n"));
  EXPECT_EQ("3.sng", store->put_text("three\n"));
  store.reset();
  // The index's size reached the disk, the last two lines did not.
  write_file(files, "quarn.db", "1.sng\n" + std::string(12, '\0'));
  store = sng_storage::open(files, limits);
  EXPECT_EQ("1.sng\n2.sng\n3.sng\n", files.contents("quarn.db"));
  EXPECT_EQ((words{"1.sng", "2.sng", "3.sng"}), store->get_all_items());
}

}  // namespace
