#include "storage/group_commit.h"

#include <fcntl.h>

#include <algorithm>
#include <thread>
#include <utility>

#include "storage/index_file.h"
#include "storage/internal.h"
#include "storage/layout.h"

namespace {

using work = store_failure::work;

// The most picture text one batch writes to the journal; the puts queued
// beyond it wait for the next batch (a single larger picture goes alone).
// Bounds the journal past its checkpoint limit.
constexpr std::size_t max_batch_bytes = std::size_t{64} << 20;

}  // namespace

void wake_signal::wait() {
  port::mutex_lock lock(mutex_);
  while (!set_) given_.wait(mutex_);
}

void wake_signal::give() {
  port::mutex_lock lock(mutex_);
  set_ = true;
  given_.notify_one();
}

group_commit::group_commit(file_system& files, const journal_limits& limits,
                           catalogue& list, bool index_elsewhere)
    : files_(files),
      limits_(limits),
      index_elsewhere_(index_elsewhere),
      list_(list) {}

void group_commit::start(const std::vector<std::uint64_t>& generations) {
  {
    port::mutex_lock lock(mtx);
    journal_generations_.assign(generations.begin(), generations.end());
  }
  if (!generations.empty()) journal_.generation = generations.back();
  if (!start_next_journal()) throw sng_storage::init_error{};
  if (!generations.empty()) retire_journals_before(journal_.generation);
}

pending_put::~pending_put() {
  if (!staged_path.empty() && !placed) files.unlink(staged_path.c_str());
}

// Moves each numbered put of `batch` from its staged name to its
// identifier's name and makes it durable with one journal write and flush
// for the whole batch, then appends the batch's index lines; pictures flushed
// in their own files need their renames flushed too, with one directory
// flush. Each record names the offset its line goes to, so that start-up
// tells a line a crash tore or lost from lines written by anyone else. A put
// placed but not journaled stays complete and unlisted, as after a crash.
bool group_commit::commit_batch(const std::vector<pending_put*>& batch) {
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

bool group_commit::journal_batch(const std::vector<pending_put*>& batch) {
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

bool group_commit::checkpoint_due() const {
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
bool group_commit::start_next_journal() {
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
    port::mutex_lock lock(mtx);
    journal_generations_.push_back(generation);
  }
  journal_.file.emplace(std::move(*next));
  journal_.generation = generation;
  journal_.named_bytes = 0;
  return true;
}

void group_commit::retire_journals_before(std::uint64_t generation) {
  if (files_.sync_file_system(db_dir) != 0 ||
      (index_elsewhere_ && files_.sync_file_system(working_dir) != 0)) {
    report_errno(work::writing, "syncfs", db_dir);
    return;
  }
  std::vector<std::uint64_t> retired;
  {
    port::mutex_lock lock(mtx);
    while (!journal_generations_.empty() &&
           journal_generations_.front() < generation) {
      retired.push_back(journal_generations_.front());
      journal_generations_.pop_front();
    }
  }
  for (const std::uint64_t old : retired)
    files_.unlink(make_filename(journal::file_name(old)).c_str());
}

// The thread that commits a batch wakes only that batch's threads, and hands
// the next batch to the first put left waiting.
void group_commit::wait_for_batch(pending_put& put) {
  std::uint64_t retire_before = 0;
  pending_put* next = nullptr;
  {
    port::mutex_lock lock(mtx);
    queue_.push_back(&put);
    if (committing_) {
      lock.unlock();
      put.woken.wait();
      if (put.done) return;
      lock.lock();  // woken to commit the next batch
    }
    committing_ = true;
    while (!put.done)
      retire_before = std::max(retire_before, commit_queue(put));
    next = queue_.empty() ? nullptr : queue_.front();
    committing_ = next != nullptr;
  }
  if (next != nullptr) next->woken.give();
  // The flush waits for every file written so far; the other puts need not
  // wait for it.
  if (retire_before != 0) retire_journals_before(retire_before);
}

std::uint64_t group_commit::commit_queue(const pending_put& own) {
  // Stores that arrive together go into one batch: the threads ready to run
  // queue theirs before this one takes the queue. Else, with fewer CPUs than
  // storing threads, the first of them would commit alone while the rest
  // wait for the next flush.
  mtx.unlock();
  std::this_thread::yield();
  mtx.lock();
  std::vector<pending_put*> batch = std::exchange(queue_, {});
  const std::uint64_t retire_before = commit_and_list(batch);
  mtx.unlock();
  // A woken put's thread may end it at once, so it is not touched after.
  for (pending_put* put : batch) {
    put->done = true;
    if (put != &own) put->woken.give();
  }
  mtx.lock();
  return retire_before;
}

std::uint64_t group_commit::commit_and_list(std::vector<pending_put*>& batch) {
  std::uint64_t retire_before = 0;
  try {
    defer_past_batch_bound(batch);
    for (pending_put* put : batch) list_.take_identifier(put->id);
    std::unordered_set<std::string> entries = make_room_to_list(batch);
    // Only one batch is committed at a time, so the index, the journal and
    // the list keep the same order; the list learns of a picture only once
    // it is durable.
    mtx.unlock();
    bool committed = false;
    try {
      committed = commit_batch(batch);
    } catch (...) {
      mtx.lock();
      throw;
    }
    retire_before = start_checkpoint_if_due();
    mtx.lock();
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
  return retire_before;
}

std::unordered_set<std::string> group_commit::make_room_to_list(
    const std::vector<pending_put*>& batch) {
  list_.make_room_for(batch.size());
  std::unordered_set<std::string> entries;
  for (const pending_put* put : batch) entries.insert(put->id);
  return entries;
}

std::uint64_t group_commit::start_checkpoint_if_due() {
  try {
    if (checkpoint_due() && start_next_journal()) return journal_.generation;
  } catch (...) {
    // Out of memory: the checkpoint waits for a later batch; what this
    // batch committed stays committed.
    report_store_failure(work::writing, "checkpoint", db_name, "out of memory");
  }
  return 0;
}

void group_commit::defer_past_batch_bound(std::vector<pending_put*>& batch) {
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
