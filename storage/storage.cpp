#include "storage/storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

#include "sng/strlib.h"

const char* const db_name = "./quarn.db";
const char* const db_dir = "./db";
const char* const ext = ".sng";

std::mutex mtx;

std::unique_ptr<sng_storage> sng_storage::self;

namespace {

using work = store_failure::work;

std::atomic<store_failure_hook> failure_hook{nullptr};

// Reports that `step` on `file` failed with the current errno.
void report_errno(work during, std::string_view step, std::string_view file) {
  report_store_failure(during, step, file, errno);
}

// Permission bits of new files and of db_dir; the file-creation mask applies.
constexpr mode_t file_mode = 0666;
constexpr mode_t dir_mode = 0770;

// Start of the names pictures are staged under in db_dir until they are
// complete; no identifier starts so.
constexpr const char* staging_prefix = ".staged-";

// The directory that holds db_name and db_dir.
constexpr const char* working_dir = ".";

// Free space kept on the file system that holds db_dir for everything else
// on the machine, since pictures are never deleted: the smaller of 1 GiB and
// 5% of the file system's size. A picture that would leave less free space
// is not stored (write_error).
constexpr std::uint64_t max_reserve_bytes = std::uint64_t{1} << 30;
constexpr std::uint64_t reserve_percent_of_size = 5;

// An open file descriptor, closed when it goes out of scope unless close()
// closed it first.
class descriptor {
 public:
  explicit descriptor(int fd) : fd_(fd) {}
  ~descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  descriptor(descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  // Closes now; false when closing reported an error.
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

// White space as a stream in the classic locale skips it between words.
bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// The value of a hexadecimal digit in either case, or -1.
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Lower-case hexadecimal digits followed by ext: the only names the store
// ever gives a picture.
bool has_identifier_form(const std::string& id) {
  const std::string_view ending(ext);
  if (id.size() <= ending.size() || !id.ends_with(ending)) return false;
  return std::all_of(id.begin(), id.end() - ending.size(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
}

std::string identifier_of(int number) {
  char digits[8];  // the largest int has eight hexadecimal digits
  char* end =
      std::to_chars(std::begin(digits), std::end(digits), number, 16).ptr;
  return std::string(digits, end) + ext;
}

// Writes all of `bytes`, continuing after partial writes; false on failure.
bool write_all(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written =
        ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Everything `fd` holds, read in as few calls as its `size` in bytes allows;
// nothing when reading fails.
std::optional<std::string> read_all(int fd, off_t size) {
  // One byte beyond the size takes the read that meets the end of the file.
  std::string text(static_cast<std::size_t>(size) + 1, '\0');
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) text.resize(text.size() * 2);
    const ssize_t got = ::read(fd, text.data() + filled, text.size() - filled);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    filled += static_cast<std::size_t>(got);
  }
  text.resize(filled);
  return text;
}

// A picture file opened for reading, with its path and status.
struct picture_file {
  std::string path;
  descriptor file;
  struct stat status;
};

// The picture file at `path`, opened without following a symbolic link and
// without waiting for a writer of a FIFO. Throws not_found_error only when no
// file has that name, and read_error when one exists but cannot be opened
// (no descriptors left, no permission, a symbolic link) or is not a regular
// file.
picture_file open_picture(const std::string& path) {
  picture_file picture{
      path,
      descriptor(
          ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)),
      {}};
  if (!picture.file.valid()) {
    const int error = errno;
    report_store_failure(work::reading, "open", path, error);
    if (error == ENOENT) throw sng_storage::not_found_error{};
    throw sng_storage::read_error{};
  }
  if (::fstat(picture.file.get(), &picture.status) != 0) {
    report_errno(work::reading, "fstat", path);
    throw sng_storage::read_error{};
  }
  if (!S_ISREG(picture.status.st_mode)) {
    report_store_failure(work::reading, "open", path, "not a regular file");
    throw sng_storage::read_error{};
  }
  return picture;
}

// The text of `picture`, its last line ended by a line feed when it lacks
// one. Throws read_error when it cannot be read.
std::string read_picture(const picture_file& picture) {
  std::optional<std::string> text =
      read_all(picture.file.get(), picture.status.st_size);
  if (!text) {
    report_errno(work::reading, "read", picture.path);
    throw sng_storage::read_error{};
  }
  if (!text->empty() && text->back() != '\n') text->push_back('\n');
  return std::move(*text);
}

// The picture in `text`, read from `path`; a text that does not parse is
// reported before its sng::parse_error passes on.
sng parse_stored(const std::string& text, const std::string& path,
                 const sng::reserve_memory& reserve) {
  try {
    return sng(text, reserve);
  } catch (const sng::parse_error&) {
    report_store_failure(work::reading, "parse", path, "not an SNG picture");
    throw;
  }
}

// Flushes the directory entries of `path` to disk.
bool sync_directory(const char* path) {
  descriptor directory(::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return directory.valid() && ::fsync(directory.get()) == 0 &&
         directory.close();
}

// The file system that holds db_dir: the bytes an unprivileged writer may
// still use, and the reserve kept free of pictures.
struct disk_space {
  std::uint64_t available;
  std::uint64_t reserve;
};

// Nothing, with errno set, when statvfs fails.
std::optional<disk_space> db_disk_space() {
  struct statvfs file_system {};
  if (::statvfs(db_dir, &file_system) != 0) return std::nullopt;
  const std::uint64_t size =
      std::uint64_t{file_system.f_blocks} * file_system.f_frsize;
  return disk_space{
      std::uint64_t{file_system.f_bavail} * file_system.f_frsize,
      std::min(max_reserve_bytes, size / 100 * reserve_percent_of_size)};
}

// Whether the file system that holds db_dir has room for `bytes` more, for
// an unprivileged writer, beyond its reserve; false when that cannot be told.
bool has_room_beyond_reserve(std::size_t bytes) {
  const std::optional<disk_space> space = db_disk_space();
  if (!space) {
    report_errno(work::writing, "statvfs", db_dir);
    return false;
  }
  if (space->available >= space->reserve + bytes) return true;
  report_store_failure(work::writing, "reserve", db_dir,
                       std::to_string(space->available) + " bytes free, " +
                           std::to_string(space->reserve) + " kept free and " +
                           std::to_string(bytes) + " to write");
  return false;
}

// db_name opened with `flags`; a missing index is created empty, and its
// directory entry made durable, as an append would create it. An existing
// index is never truncated. Invalid on failure.
descriptor open_index(int flags) {
  descriptor index(::open(db_name, flags | O_CLOEXEC));
  if (index.valid() || errno != ENOENT) return index;
  descriptor created(::open(db_name, flags | O_CREAT | O_CLOEXEC, file_mode));
  if (created.valid() && !sync_directory(working_dir)) return descriptor(-1);
  return created;
}

// Removes the staged files that a process ended while storing left in
// db_dir: no identifier names them. What cannot be removed stays, unused.
void remove_leftover_staged_files() {
  const std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(db_dir),
                                                      ::closedir);
  if (!directory) return;
  while (const dirent* entry = ::readdir(directory.get()))
    if (std::string_view(entry->d_name).starts_with(staging_prefix))
      ::unlinkat(::dirfd(directory.get()), entry->d_name, 0);
}

// Writes `text` under a new temporary name of its own in db_dir and flushes
// it to disk; returns that name. No identifier has such a name, so no fetch
// can reach a picture before it is complete. The file is created afresh,
// never through a symbolic link or over a file planted under that name.
// Throws write_error, leaving no file.
std::string stage_picture(const std::string& text) {
  static std::atomic<unsigned long> staged_count{0};
  const std::string path =
      make_filename(staging_prefix + std::to_string(++staged_count));
  descriptor file(::open(path.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         file_mode));
  if (!file.valid()) {
    report_errno(work::writing, "open", path);
    throw sng_storage::write_error{};
  }
  const char* const failed_step = !write_all(file.get(), text)   ? "write"
                                  : ::fdatasync(file.get()) != 0 ? "fdatasync"
                                  : !file.close()                ? "close"
                                                                 : nullptr;
  if (failed_step != nullptr) {
    report_errno(work::writing, failed_step, path);
    ::unlink(path.c_str());
    throw sng_storage::write_error{};
  }
  return path;
}

// Whether the non-empty file `fd` of `size` bytes ends with a line feed;
// false also when its last byte cannot be read.
bool ends_with_line_feed(int fd, off_t size) {
  char last = 0;
  return ::pread(fd, &last, 1, size - 1) == 1 && last == '\n';
}

// Reports why appending `wanted` bytes to the index failed, `written` being
// what the write call returned; errno is that of the failed call.
void report_index_failure(ssize_t written, std::size_t wanted) {
  if (written < 0)
    report_errno(work::writing, "write", db_name);
  else if (static_cast<std::size_t>(written) < wanted)
    report_store_failure(work::writing, "write", db_name,
                         "only " + std::to_string(written) + " of " +
                             std::to_string(wanted) + " bytes written");
  else
    report_errno(work::writing, "fdatasync", db_name);
}

// Appends `lines` to the index and flushes them to disk, whole or not at
// all: on any failure the index is cut back to its previous size and false
// returned.
bool append_to_index(const std::string& lines) {
  descriptor index(open_index(O_RDWR | O_APPEND));
  if (!index.valid()) {
    report_errno(work::writing, "open", db_name);
    return false;
  }
  struct stat status {};
  if (::fstat(index.get(), &status) != 0) {
    report_errno(work::writing, "fstat", db_name);
    return false;
  }
  const off_t size = status.st_size;
  // An index edited by hand, or cut short, may lack its last line feed; two
  // identifiers must never run together.
  const std::string block = size > 0 && !ends_with_line_feed(index.get(), size)
                                ? "\n" + lines
                                : lines;
  // One write call, so that a killed process leaves the lines whole or not at
  // all; a short write is a failure, not something to continue. Once the
  // lines are on disk, closing cannot lose them.
  const ssize_t written = ::write(index.get(), block.data(), block.size());
  if (written == static_cast<ssize_t>(block.size()) &&
      ::fdatasync(index.get()) == 0)
    return true;
  report_index_failure(written, block.size());
  // Takes back whatever part of the lines reached the file.
  if (::ftruncate(index.get(), size) == 0) ::fdatasync(index.get());
  return false;
}

}  // namespace

sng_storage::pending_put::~pending_put() {
  if (!staged_path.empty() && !placed) ::unlink(staged_path.c_str());
}

// Moves each numbered put of `batch` from its staged name to its
// identifier's name, then makes the renames and the index lines durable with
// one directory sync and one index write and sync for the whole batch.
// Returns whether the index holds every placed put; a put placed but not
// indexed stays complete and unlisted, as after a crash.
bool sng_storage::commit_batch(const std::vector<pending_put*>& batch) {
  std::string lines;
  for (pending_put* put : batch) {
    if (put->id.empty()) {
      report_store_failure(work::writing, "number", put->staged_path,
                           "every identifier is used up");
      continue;
    }
    if (::rename(put->staged_path.c_str(), make_filename(put->id).c_str()) !=
        0) {
      report_errno(work::writing, "rename", put->staged_path);
      continue;
    }
    put->placed = true;
    lines += put->id;
    lines += '\n';
  }
  if (lines.empty()) return false;
  if (!sync_directory(db_dir)) {
    report_errno(work::writing, "fsync", db_dir);
    return false;
  }
  return append_to_index(lines);
}

sng_storage* sng_storage::instance() {
  // A static local is initialised exactly once even when several threads
  // arrive together, and when the constructor throws, `self` stays empty and
  // the next call tries again. The process ends without destroying the store
  // (the service leaves through std::_Exit), so connection threads may use it
  // until the very end.
  static sng_storage* const store =
      (self = std::make_unique<sng_storage>(passkey{})).get();
  return store;
}

sng_storage::sng_storage(passkey) {
  descriptor index(open_index(O_RDONLY));
  if (!index.valid()) {
    report_errno(work::opening, "open", db_name);
    throw init_error{};
  }
  if (!init_dir()) throw init_error{};
  remove_leftover_staged_files();
  struct stat status {};
  if (::fstat(index.get(), &status) != 0) {
    report_errno(work::opening, "fstat", db_name);
    throw init_error{};
  }
  const std::optional<std::string> text = read_all(index.get(), status.st_size);
  if (!text) {
    report_errno(work::opening, "read", db_name);
    throw init_error{};
  }
  auto at = text->begin();
  for (;;) {
    at = std::find_if_not(at, text->end(), is_space);
    if (at == text->end()) break;
    const auto end = std::find_if(at, text->end(), is_space);
    const std::string id(at, end);
    counter_ = std::max(counter_, extract_id(id));
    record(id);
    at = end;
  }
}

std::vector<std::string> sng_storage::get_all_items() const {
  std::lock_guard<std::mutex> lock(mtx);
  return items_;
}

std::size_t sng_storage::count() const {
  std::lock_guard<std::mutex> lock(mtx);
  return items_.size();
}

sng sng_storage::get_item(const std::string& id) const {
  check_listed(id);
  // A listed picture's file is complete and never changes again, so reading
  // and parsing it need no lock.
  const picture_file file = open_picture(make_filename(id));
  return parse_stored(read_picture(file), file.path, [](std::size_t) {});
}

fetched_picture sng_storage::fetch_item(const std::string& id,
                                        const fetch_hooks& hooks) const {
  check_listed(id);
  const std::string path = make_filename(id);
  // A symbolic link put in the file's place has an identity of its own.
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    std::optional<fetched_picture> hit;
    {
      std::lock_guard<std::mutex> lock(mtx);
      hit = cache_.find(id, file_identity::of(status));
    }
    if (hit) {
      hooks.reserve_text(hit->text->size());
      return *std::move(hit);
    }
  }
  const picture_file file = open_picture(path);
  std::shared_ptr<const sng> picture;
  {
    // The text read is one byte longer than the file when it ends in none.
    hooks.reserve(static_cast<std::size_t>(file.status.st_size) + 1);
    const std::string text = read_picture(file);
    picture = std::make_shared<const sng>(
        parse_stored(text, file.path, hooks.reserve));
  }
  hooks.reserve_text(picture->raw_size());
  auto text = std::make_shared<const std::string>(picture->to_raw_string());
  const int lines = count_lines(*text);
  const fetched_picture item{std::move(picture), std::move(text), lines};
  std::lock_guard<std::mutex> lock(mtx);
  cache_.remember(id, file_identity::of(file.status), item);
  return item;
}

std::string sng_storage::put_item(const sng& picture) {
  return put_text(picture.to_raw_string());
}

std::string sng_storage::put_text(const std::string& sng_text) {
  pending_put put;
  try {
    if (!has_room_beyond_reserve(sng_text.size())) throw write_error{};
    put.staged_path = stage_picture(sng_text);
  } catch (const write_error&) {
    std::lock_guard<std::mutex> lock(mtx);
    std::string used_up;
    take_identifier(used_up);  // a failed store uses up its number
    throw;
  }
  // Puts that arrive while a batch is being committed wait and go together
  // into the next one, so that concurrent stores share their syncs.
  std::unique_lock<std::mutex> lock(mtx);
  queue_.push_back(&put);
  while (!put.done) {
    if (committing_)
      committed_.wait(lock);
    else
      commit_queue(lock);
  }
  if (!put.stored) throw write_error{};
  return put.id;
}

void sng_storage::commit_queue(std::unique_lock<std::mutex>& lock) {
  committing_ = true;
  const std::vector<pending_put*> batch = std::exchange(queue_, {});
  try {
    for (pending_put* put : batch) take_identifier(put->id);
    // Only one batch is committed at a time, so the index and the list keep
    // the same order; the list learns of a picture only once it is durable.
    lock.unlock();
    const bool indexed = commit_batch(batch);
    lock.lock();
    for (pending_put* put : batch)
      if (indexed && put->placed) {
        record(put->id);
        put->stored = true;
      }
  } catch (...) {
    // Out of memory, as a rule: the puts not yet stored fail, and the next
    // batch is committed as usual.
    report_store_failure(work::writing, "commit", db_name, "out of memory");
  }
  if (!lock.owns_lock()) lock.lock();
  for (pending_put* put : batch) put->done = true;
  committing_ = false;
  committed_.notify_all();
}

bool sng_storage::take_identifier(std::string& id) {
  if (counter_ == INT_MAX) return false;
  id = identifier_of(++counter_);
  return true;
}

void sng_storage::record(const std::string& id) {
  items_.push_back(id);
  try {
    listed_.insert(id);
  } catch (...) {
    items_.pop_back();
    throw;
  }
}

void sng_storage::check_listed(const std::string& id) const {
  if (!has_identifier_form(id) || !lists(id)) throw not_found_error{};
}

bool sng_storage::lists(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mtx);
  return listed_.contains(id);
}

int extract_id(const std::string& id) {
  const std::string_view number(id.data(), std::min(id.find('.'), id.size()));
  auto at = number.begin();
  const bool negative = at != number.end() && *at == '-';
  if (at != number.end() && (*at == '-' || *at == '+')) ++at;
  // Digits past the int range leave the value at the nearest limit.
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  long long value = 0;
  for (; at != number.end() && hex_digit(*at) >= 0; ++at)
    value = std::min(value * 16 + hex_digit(*at), limit);
  return static_cast<int>(negative ? -value : value);
}

bool init_dir() {
  struct stat status {};
  if (::stat(db_dir, &status) == 0) {
    if (S_ISDIR(status.st_mode)) return true;
    report_store_failure(work::opening, "stat", db_dir, ENOTDIR);
    return false;
  }
  if (errno != ENOENT) {
    report_errno(work::opening, "stat", db_dir);
    return false;
  }
  if (::mkdir(db_dir, dir_mode) != 0) {
    report_errno(work::opening, "mkdir", db_dir);
    return false;
  }
  if (!sync_directory(working_dir)) {
    report_errno(work::opening, "fsync", working_dir);
    return false;
  }
  return true;
}

std::string make_filename(const std::string& id) {
  return std::string(db_dir) + "/" + id;
}

std::optional<std::uint64_t> disk_reserve_bytes() {
  const std::optional<disk_space> space = db_disk_space();
  if (!space) return std::nullopt;
  return space->reserve;
}

void set_store_failure_hook(store_failure_hook hook) { failure_hook = hook; }

void report_store_failure(store_failure::work during, std::string_view step,
                          std::string_view file, int error) {
  char buffer[256];
  report_store_failure(
      during, step, file,
      std::string_view(::strerror_r(error, buffer, sizeof buffer)));
}

void report_store_failure(store_failure::work during, std::string_view step,
                          std::string_view file, std::string_view cause) {
  if (const store_failure_hook hook = failure_hook.load())
    hook(store_failure{during, step, file, cause});
}
