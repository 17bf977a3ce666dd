#include "storage/storage.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "sng/strlib.h"
#include "storage/group_commit.h"
#include "storage/internal.h"
#include "storage/journal.h"
#include "storage/layout.h"
#include "storage/recovery.h"

std::unique_ptr<sng_storage> sng_storage::self;

port::mutex mtx;

namespace {

using work = store_failure::work;

std::atomic<store_failure_hook> failure_hook{nullptr};

// Free space kept on the file system that holds db_dir for everything else
// on the machine, since pictures are never deleted: the smaller of 1 GiB and
// 5% of the file system's size. A picture that would leave less free space
// is not stored (write_error).
constexpr std::uint64_t max_reserve_bytes = std::uint64_t{1} << 30;
constexpr std::uint64_t reserve_percent_of_size = 5;

// The text of `picture`, its last line ended by a line feed when it lacks
// one. Throws read_error when it cannot be read.
std::string read_picture(file_system& files, const picture_file& picture) {
  std::optional<std::string> text =
      read_all(files, picture.file.get(), picture.status.st_size);
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

// The free space kept on a file system of `space`.
std::uint64_t reserve_of(const file_system::space& space) {
  return std::min(max_reserve_bytes,
                  space.size / 100 * reserve_percent_of_size);
}

// Whether the file system that holds db_dir has room for `bytes` more, for
// an unprivileged writer, beyond its reserve; false when that cannot be told.
bool has_room_beyond_reserve(file_system& files, std::uint64_t bytes) {
  const std::optional<file_system::space> space = files.space_of(db_dir);
  if (!space) {
    report_errno(work::writing, "statvfs", db_dir);
    return false;
  }
  const std::uint64_t reserve = reserve_of(*space);
  if (space->available >= reserve + bytes) return true;
  report_store_failure(work::writing, "reserve", db_dir,
                       std::to_string(space->available) + " bytes free, " +
                           std::to_string(reserve) + " kept free and " +
                           std::to_string(bytes) + " to write");
  return false;
}

// What storing a picture of `text_bytes` takes on disk: its file and its
// journal record, which holds the text too when `in_journal`.
std::uint64_t stored_bytes(std::size_t text_bytes, bool in_journal) {
  constexpr std::size_t longest_id = sizeof("ffffffff.sng");
  return (in_journal ? 2 : 1) * std::uint64_t{text_bytes} +
         journal::head_bytes + longest_id;
}

}  // namespace

picture_file open_picture(file_system& files, const std::string& path) {
  picture_file picture{
      path,
      descriptor(files, files.open(path.c_str(),
                                   O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0)),
      {}};
  if (!picture.file.valid()) {
    const int error = errno;
    report_store_failure(work::reading, "open", path, error);
    if (error == ENOENT) throw sng_storage::not_found_error{};
    throw sng_storage::read_error{};
  }
  if (files.fstat(picture.file.get(), &picture.status) != 0) {
    report_errno(work::reading, "fstat", path);
    throw sng_storage::read_error{};
  }
  if (!S_ISREG(picture.status.st_mode)) {
    report_store_failure(work::reading, "open", path, "not a regular file");
    throw sng_storage::read_error{};
  }
  return picture;
}

std::string stage_picture(file_system& files, const std::string& text,
                          bool flush) {
  const std::string path = new_staging_path();
  descriptor file(
      files, files.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW,
                        file_mode));
  if (!file.valid()) {
    report_errno(work::writing, "open", path);
    throw sng_storage::write_error{};
  }
  iovec part = part_of(text);
  const char* const failed_step =
      !write_all(files, file.get(), {&part, 1}, 0) ? "write"
      : flush && files.fdatasync(file.get()) != 0  ? "fdatasync"
      : !file.close()                              ? "close"
                                                   : nullptr;
  if (failed_step != nullptr) {
    report_errno(work::writing, failed_step, path);
    files.unlink(path.c_str());
    throw sng_storage::write_error{};
  }
  return path;
}

sng_storage* sng_storage::instance() {
  // A static local is initialised exactly once even when several threads
  // arrive together, and when the constructor throws, `self` stays empty and
  // the next call tries again. The process ends without destroying the store
  // (the service leaves through std::_Exit), so connection threads may use it
  // until the very end.
  static sng_storage* const store =
      (self = std::make_unique<sng_storage>(passkey{}, file_system::posix(),
                                            journal_limits{}))
          .get();
  return store;
}

std::unique_ptr<sng_storage> sng_storage::open(file_system& files,
                                               const journal_limits& limits) {
  return std::make_unique<sng_storage>(passkey{}, files, limits);
}

// What the store keeps behind its face.
struct sng_storage::state {
  state(file_system& files, const journal_limits& limits,
        recovered_store& found)
      : list(std::move(found.list)),
        commits(files, limits, list, found.index_elsewhere) {}

  // Throws not_found_error unless `id` has the identifier form and is
  // listed.
  void check_listed(const std::string& id) const EXCLUDES(mtx) {
    if (!has_identifier_form(id)) throw not_found_error{};
    port::mutex_lock lock(mtx);
    if (!list.lists(id)) throw not_found_error{};
  }

  catalogue list GUARDED_BY(mtx);
  picture_cache cache GUARDED_BY(mtx);

  group_commit commits;  // commits puts into list
};

sng_storage::sng_storage(passkey, file_system& files,
                         const journal_limits& limits)
    : files_(files), limits_(limits) {
  recovered_store found = recover(files_);
  state_ = std::make_unique<state>(files_, limits_, found);
  state_->commits.start(found.journal_generations);
}

sng_storage::~sng_storage() = default;

std::vector<std::string> sng_storage::get_all_items() const {
  port::mutex_lock lock(mtx);
  return state_->list.items();
}

std::size_t sng_storage::count() const {
  port::mutex_lock lock(mtx);
  return state_->list.items().size();
}

sng sng_storage::get_item(const std::string& id) const {
  state_->check_listed(id);
  // A listed picture's file is complete and never changes again, so reading
  // and parsing it need no lock.
  const picture_file file = open_picture(files_, make_filename(id));
  return parse_stored(read_picture(files_, file), file.path,
                      [](std::size_t) {});
}

fetched_picture sng_storage::fetch_item(const std::string& id,
                                        const fetch_hooks& hooks) const {
  state_->check_listed(id);
  const std::string path = make_filename(id);
  // A symbolic link put in the file's place has an identity of its own.
  struct stat status {};
  if (files_.lstat(path.c_str(), &status) == 0) {
    std::optional<fetched_picture> hit;
    {
      port::mutex_lock lock(mtx);
      hit = state_->cache.find(id, file_identity::of(status));
    }
    if (hit) {
      hooks.reserve_text(hit->text->size());
      return *std::move(hit);
    }
  }
  const picture_file file = open_picture(files_, path);
  std::shared_ptr<const sng> picture;
  {
    // The text read is one byte longer than the file when it ends in none.
    hooks.reserve(static_cast<std::size_t>(file.status.st_size) + 1);
    const std::string text = read_picture(files_, file);
    picture = std::make_shared<const sng>(
        parse_stored(text, file.path, hooks.reserve));
  }
  const std::size_t size = picture->raw_size();
  hooks.reserve_text(size);
  auto text = std::make_shared<const std::string>(picture->to_raw_string(size));
  const int lines = count_lines(*text);
  const fetched_picture item{std::move(picture), std::move(text), lines};
  // What the cache lets go is freed once the lock is released: a large
  // picture's memory goes back to the system with a system call.
  std::vector<fetched_picture> evicted;
  port::mutex_lock lock(mtx);
  evicted = state_->cache.remember(id, file_identity::of(file.status), item);
  return item;
}

std::string sng_storage::put_item(const sng& picture) {
  return put_text(picture.to_raw_string());
}

std::string sng_storage::put_text(const std::string& sng_text) {
  pending_put put{files_, sng_text};
  put.in_journal = sng_text.size() <= limits_.journaled_text;
  try {
    if (!has_room_beyond_reserve(files_,
                                 stored_bytes(sng_text.size(), put.in_journal)))
      throw write_error{};
    put.text_sum = journal::text_checksum(sng_text);
    put.staged_path = stage_picture(files_, sng_text, !put.in_journal);
  } catch (const write_error&) {
    port::mutex_lock lock(mtx);
    std::string used_up;
    state_->list.take_identifier(used_up);  // a failed store uses up its number
    throw;
  }
  state_->commits.wait_for_batch(put);
  if (!put.stored) throw write_error{};
  return put.id;
}

void catalogue::add(const std::string& id) {
  items_.push_back(id);
  try {
    listed_.insert(id);
  } catch (...) {
    items_.pop_back();
    throw;
  }
}

void catalogue::make_room_for(std::size_t count) {
  count += items_.size();
  if (count > items_.capacity())
    items_.reserve(std::max(count, 2 * items_.capacity()));
  if (count > listed_.bucket_count() * listed_.max_load_factor())
    listed_.reserve(2 * count);
}

void catalogue::add_entry(entry&& entry) {
  items_.push_back(entry.value());
  listed_.insert(std::move(entry));
}

void catalogue::count(int number) { counter_ = std::max(counter_, number); }

bool catalogue::take_identifier(std::string& id) {
  if (counter_ == INT_MAX) return false;
  id = identifier_of(++counter_);
  return true;
}

std::optional<std::uint64_t> disk_reserve_bytes() {
  // Before the store first opens, db_dir may not exist yet; it will be made
  // in the working directory.
  file_system& files = file_system::posix();
  std::optional<file_system::space> space = files.space_of(db_dir);
  if (!space) space = files.space_of(working_dir);
  if (!space) return std::nullopt;
  return reserve_of(*space);
}

void set_store_failure_hook(store_failure_hook hook) { failure_hook = hook; }

void report_errno(work during, std::string_view step, std::string_view file) {
  report_store_failure(during, step, file, errno);
}

void fail_opening(std::string_view step, std::string_view file) {
  report_errno(work::opening, step, file);
  throw sng_storage::init_error{};
}

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
