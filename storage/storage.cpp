#include "storage/storage.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <thread>
#include <utility>

#include "sng/strlib.h"
#include "storage/index_file.h"
#include "storage/internal.h"
#include "storage/journal.h"
#include "storage/layout.h"
#include "storage/recovery.h"

std::unique_ptr<sng_storage> sng_storage::self;

namespace {

// The store's one lock: it guards what sng_storage marks as guarded by mtx.
std::mutex mtx;

using work = store_failure::work;

std::atomic<store_failure_hook> failure_hook{nullptr};

// Free space kept on the file system that holds db_dir for everything else
// on the machine, since pictures are never deleted: the smaller of 1 GiB and
// 5% of the file system's size. A picture that would leave less free space
// is not stored (write_error).
constexpr std::uint64_t max_reserve_bytes = std::uint64_t{1} << 30;
constexpr std::uint64_t reserve_percent_of_size = 5;

// The most picture text one batch writes to the journal; the puts queued
// beyond it wait for the next batch (a single larger picture goes alone).
// Bounds the journal past its checkpoint limit.
constexpr std::size_t max_batch_bytes = std::size_t{64} << 20;

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

sng_storage::pending_put::~pending_put() {
  if (!staged_path.empty() && !placed) files.unlink(staged_path.c_str());
}

// Moves each numbered put of `batch` from its staged name to its
// identifier's name and makes it durable with one journal write and flush
// for the whole batch, then appends the batch's index lines; pictures flushed
// in their own files need their renames flushed too, with one directory
// flush. Each record names the offset its line goes to, so that start-up
// tells a line a crash tore or lost from lines written by anyone else. A put
// placed but not journaled stays complete and unlisted, as after a crash.
bool sng_storage::commit_batch(const std::vector<pending_put*>& batch) {
  // Lines an earlier batch owes the index go first, and while they cannot,
  // nothing more is stored.
  if (!owed_lines_.empty()) {
    if (!append_to_index(files_, owed_lines_)) return false;
    owed_lines_.clear();
  }
  std::string lines;
  bool renamed_flushed_files = false;
  for (pending_put* put : batch) {
    if (put->id.empty()) {
      report_store_failure(work::writing, "number", put->staged_path,
                           "every identifier is used up");
      continue;
    }
    if (files_.rename(put->staged_path.c_str(),
                      make_filename(put->id).c_str()) != 0) {
      report_errno(work::writing, "rename", put->staged_path);
      continue;
    }
    put->placed = true;
    renamed_flushed_files |= !put->in_journal;
    lines += put->id;
    lines += '\n';
  }
  if (lines.empty()) return false;
  if (renamed_flushed_files && files_.sync_directory(db_dir) != 0) {
    report_errno(work::writing, "fsync", db_dir);
    return false;
  }
  const std::optional<index_end> end = find_index_end(files_);
  if (!end) return false;
  std::uint64_t line_at = end->lines_at();
  for (pending_put* put : batch)
    if (put->placed) {
      put->index_offset = line_at;
      line_at += put->id.size() + 1;
    }
  if (!journal_batch(batch)) return false;
  // The batch is durable now and is answered. When its lines cannot be
  // appended, the next batch appends them first; should the process end
  // before, the next start writes them again from the records.
  if (!write_at_index_end(files_, *end, lines)) owed_lines_ = std::move(lines);
  return true;
}

bool sng_storage::journal_batch(const std::vector<pending_put*>& batch) {
  std::vector<journal::entry> entries;
  entries.reserve(batch.size());
  std::uint64_t named_bytes = 0;
  for (const pending_put* put : batch) {
    if (!put->placed) continue;
    entries.push_back({put->id, put->text, put->text_sum, put->index_offset,
                       put->in_journal});
    if (!put->in_journal) named_bytes += put->text.size();
  }
  const bool was_empty = journal_.file->records() == 0;
  if (journal_.file->append(entries)) {
    if (was_empty) journal_.first_record = std::chrono::steady_clock::now();
    journal_.named_bytes += named_bytes;
    return true;
  }
  report_errno(work::writing, "journal",
               make_filename(journal::file_name(journal_.generation)));
  // A record left whole in the file would be replayed although its put
  // failed; when it cannot be cut off, later batches go to a new file.
  if (!journal_.file->cut_back()) start_next_journal();
  return false;
}

bool sng_storage::checkpoint_due() const {
  // The journal names the lines owed to the index until they are appended.
  const journal::writer& file = *journal_.file;
  return file.records() > 0 && owed_lines_.empty() &&
         (file.bytes() + journal_.named_bytes >= limits_.bytes ||
          file.records() >= limits_.records ||
          std::chrono::steady_clock::now() - journal_.first_record >=
              limits_.age);
}

// The next file gets the next number, so that the files left after a crash
// are numbered without a gap back to the oldest one not yet retired: a gap
// can only be a retired file whose removal was lost.
bool sng_storage::start_next_journal() {
  const std::uint64_t generation = journal_.generation + 1;
  const std::string path = make_filename(journal::file_name(generation));
  descriptor file(
      files_, files_.open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW,
                          file_mode));
  if (!file.valid()) {
    report_errno(work::writing, "open", path);
    return false;
  }
  std::optional<journal::writer> next =
      journal::writer::begin(files_, std::move(file));
  if (!next || files_.sync_directory(db_dir) != 0) {
    report_errno(work::writing, "journal", path);
    files_.unlink(path.c_str());
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mtx);
    journal_generations_.push_back(generation);
  }
  journal_.file.emplace(std::move(*next));
  journal_.generation = generation;
  journal_.named_bytes = 0;
  return true;
}

void sng_storage::retire_journals_before(std::uint64_t generation) {
  if (files_.sync_file_system(db_dir) != 0 ||
      (index_elsewhere_ && files_.sync_file_system(working_dir) != 0)) {
    report_errno(work::writing, "syncfs", db_dir);
    return;
  }
  std::vector<std::uint64_t> retired;
  {
    std::lock_guard<std::mutex> lock(mtx);
    while (!journal_generations_.empty() &&
           journal_generations_.front() < generation) {
      retired.push_back(journal_generations_.front());
      journal_generations_.pop_front();
    }
  }
  for (const std::uint64_t old : retired)
    files_.unlink(make_filename(journal::file_name(old)).c_str());
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

sng_storage::sng_storage(passkey, file_system& files,
                         const journal_limits& limits)
    : files_(files), limits_(limits) {
  recovered_store found = recover(files_);
  list_ = std::move(found.list);
  index_elsewhere_ = found.index_elsewhere;
  const std::vector<std::uint64_t>& generations = found.journal_generations;
  journal_generations_.assign(generations.begin(), generations.end());
  if (!generations.empty()) journal_.generation = generations.back();
  if (!start_next_journal()) throw init_error{};
  if (!generations.empty()) retire_journals_before(journal_.generation);
}

sng_storage::~sng_storage() = default;

std::vector<std::string> sng_storage::get_all_items() const {
  std::lock_guard<std::mutex> lock(mtx);
  return list_.items();
}

std::size_t sng_storage::count() const {
  std::lock_guard<std::mutex> lock(mtx);
  return list_.items().size();
}

sng sng_storage::get_item(const std::string& id) const {
  check_listed(id);
  // A listed picture's file is complete and never changes again, so reading
  // and parsing it need no lock.
  const picture_file file = open_picture(files_, make_filename(id));
  return parse_stored(read_picture(files_, file), file.path,
                      [](std::size_t) {});
}

fetched_picture sng_storage::fetch_item(const std::string& id,
                                        const fetch_hooks& hooks) const {
  check_listed(id);
  const std::string path = make_filename(id);
  // A symbolic link put in the file's place has an identity of its own.
  struct stat status {};
  if (files_.lstat(path.c_str(), &status) == 0) {
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
  std::lock_guard<std::mutex> lock(mtx);
  evicted = cache_.remember(id, file_identity::of(file.status), item);
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
    std::lock_guard<std::mutex> lock(mtx);
    std::string used_up;
    list_.take_identifier(used_up);  // a failed store uses up its number
    throw;
  }
  wait_for_batch(put);
  if (!put.stored) throw write_error{};
  return put.id;
}

// Puts that arrive while a batch is being committed wait and go together
// into the next one, so that concurrent stores share one journal flush. The
// thread that commits a batch wakes only that batch's threads, and hands
// the next batch to the first put left waiting.
void sng_storage::wait_for_batch(pending_put& put) {
  std::unique_lock<std::mutex> lock(mtx);
  queue_.push_back(&put);
  if (committing_) {
    lock.unlock();
    put.woken.wait();
    if (put.done) return;
    lock.lock();  // woken to commit the next batch
  }
  committing_ = true;
  std::uint64_t retire_before = 0;
  while (!put.done)
    retire_before = std::max(retire_before, commit_queue(lock, put));
  pending_put* const next = queue_.empty() ? nullptr : queue_.front();
  committing_ = next != nullptr;
  lock.unlock();
  if (next != nullptr) next->woken.give();
  // The flush waits for every file written so far; the other puts need not
  // wait for it.
  if (retire_before != 0) retire_journals_before(retire_before);
}

std::uint64_t sng_storage::commit_queue(std::unique_lock<std::mutex>& lock,
                                        const pending_put& own) {
  // Stores that arrive together go into one batch: the threads ready to run
  // queue theirs before this one takes the queue. Else, with fewer CPUs than
  // storing threads, the first of them would commit alone while the rest
  // wait for the next flush.
  lock.unlock();
  std::this_thread::yield();
  lock.lock();
  std::vector<pending_put*> batch = std::exchange(queue_, {});
  std::uint64_t retire_before = 0;
  try {
    defer_past_batch_bound(batch);
    for (pending_put* put : batch) list_.take_identifier(put->id);
    std::unordered_set<std::string> entries = make_room_to_list(batch);
    // Only one batch is committed at a time, so the index, the journal and
    // the list keep the same order; the list learns of a picture only once
    // it is durable.
    lock.unlock();
    const bool committed = commit_batch(batch);
    retire_before = start_checkpoint_if_due();
    lock.lock();
    for (pending_put* put : batch)
      if (committed && put->placed) {
        list_.add_entry(entries.extract(put->id));
        put->stored = true;
      }
  } catch (...) {
    // Out of memory, as a rule: the puts not yet stored fail, and the next
    // batch is committed as usual.
    report_store_failure(work::writing, "commit", db_name, "out of memory");
  }
  if (lock.owns_lock()) lock.unlock();
  // A woken put's thread may end it at once, so it is not touched after.
  for (pending_put* put : batch) {
    put->done = true;
    if (put != &own) put->woken.give();
  }
  lock.lock();
  return retire_before;
}

std::unordered_set<std::string> sng_storage::make_room_to_list(
    const std::vector<pending_put*>& batch) {
  list_.make_room_for(batch.size());
  std::unordered_set<std::string> entries;
  for (const pending_put* put : batch) entries.insert(put->id);
  return entries;
}

std::uint64_t sng_storage::start_checkpoint_if_due() {
  try {
    if (checkpoint_due() && start_next_journal()) return journal_.generation;
  } catch (...) {
    // Out of memory: the checkpoint waits for a later batch; what this
    // batch committed stays committed.
    report_store_failure(work::writing, "checkpoint", db_name, "out of memory");
  }
  return 0;
}

void sng_storage::defer_past_batch_bound(std::vector<pending_put*>& batch) {
  std::size_t bytes = 0;
  auto past = batch.begin();
  for (; past != batch.end(); ++past) {
    bytes += (*past)->text.size();
    if (past != batch.begin() && bytes > max_batch_bytes) break;
  }
  if (past == batch.end()) return;
  queue_.assign(past, batch.end());
  batch.erase(past, batch.end());
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

void sng_storage::check_listed(const std::string& id) const {
  if (!has_identifier_form(id)) throw not_found_error{};
  std::lock_guard<std::mutex> lock(mtx);
  if (!list_.lists(id)) throw not_found_error{};
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
