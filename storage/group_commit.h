// Group commit: puts that arrive while a batch is being committed wait and
// go together into the next one, so that concurrent stores share one write
// and one flush of the journal.
//
// Each put stages its picture complete under a staging name on its own
// thread. The thread that commits a batch numbers its puts, renames each
// into place, writes one journal record per picture and flushes the
// journal once, then appends the batch's index lines and lists the
// pictures; only then are the puts answered. Committing runs without mtx;
// one batch at a time, so the index, the journal and the list keep the
// same order. Checkpoints start the next journal file once one holds
// enough, flush the file system and remove the older files.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "port/mutex.h"
#include "storage/file_system.h"
#include "storage/internal.h"
#include "storage/journal.h"
#include "storage/storage.h"

// Wakes one waiting thread, once. The waking thread lets go of it last, so
// that the woken one may end it as soon as it returns from wait().
class wake_signal {
 public:
  void wait() EXCLUDES(mutex_);
  void give() EXCLUDES(mutex_);

 private:
  port::mutex mutex_;
  port::condition_variable given_;
  bool set_ GUARDED_BY(mutex_) = false;
};

// One picture on its way into the store: staged complete under a staging
// name by its own thread, then numbered, renamed into place, journaled and
// indexed by whichever thread commits the batch it is part of. The staged
// file goes with the put unless it was renamed into place.
struct pending_put {
  pending_put(file_system& files, const std::string& text)
      : files(files), text(text) {}
  pending_put(const pending_put&) = delete;
  pending_put& operator=(const pending_put&) = delete;
  ~pending_put();

  file_system& files;
  const std::string& text;
  // Set by the put's own thread before it is queued.
  std::uint64_t text_sum = 0;  // journal::text_checksum of text
  bool in_journal = false;     // the text goes into the journal
  std::string staged_path;
  // Set by the committing thread; the put's own thread reads them once
  // woken.
  std::string id;                  // empty while not numbered
  bool placed = false;             // renamed to its identifier's name
  std::uint64_t index_offset = 0;  // where its index line goes
  bool stored = false;             // durable and listed
  bool done = false;               // its batch is committed or has failed
  // Given once the put is done, or when its thread is to commit the next
  // batch.
  wake_signal woken;
};

// Commits the store's puts in batches, into its journal, index and list.
// Owned by the store; every thread may queue puts.
class group_commit {
 public:
  // Commits on `files` into `list`, which mtx guards, checkpointing the
  // journal by `limits`; `index_elsewhere` when the index is on another
  // file system than db_dir.
  group_commit(file_system& files, const journal_limits& limits,
               catalogue& list, bool index_elsewhere);

  // Starts the first journal file after `generations`, the journal files
  // left in db_dir, oldest first, and retires those once everything is on
  // disk. Throws sng_storage::init_error.
  void start(const std::vector<std::uint64_t>& generations) EXCLUDES(mtx);

  // Queues `put` and returns once its batch is committed or has failed,
  // committing batches itself when no other thread does.
  void wait_for_batch(pending_put& put) EXCLUDES(mtx);

 private:
  // The journal file new batches go to.
  struct active_journal {
    std::optional<journal::writer> file;
    std::uint64_t generation = 0;
    std::chrono::steady_clock::time_point first_record;
    // Of the pictures in files of their own that the journal names: what
    // a replay would read back to check them.
    std::uint64_t named_bytes = 0;
  };

  // Commits the queued puts as one batch and wakes their threads but the
  // one of `own`, whatever fails (a put that cannot be committed fails);
  // lets go of mtx while the files are written. Starts the next journal
  // when a checkpoint is due and returns its generation, whose predecessors
  // are to be retired, or 0.
  std::uint64_t commit_queue(const pending_put& own) REQUIRES(mtx);
  // Commits `batch` and lists the puts it stored, as commit_queue; a
  // failure to allocate fails the puts not yet stored.
  std::uint64_t commit_and_list(std::vector<pending_put*>& batch) REQUIRES(mtx);
  // Puts the last puts of `batch` back in the queue when the batch holds
  // more text than one batch may (keeping at least one).
  void defer_past_batch_bound(std::vector<pending_put*>& batch) REQUIRES(mtx);
  // Makes room in the list for `batch`, so that listing it once committed
  // cannot fail, and returns its entries, ready to list.
  std::unordered_set<std::string> make_room_to_list(
      const std::vector<pending_put*>& batch) REQUIRES(mtx);
  // Renames the numbered puts of `batch` into place (durably, for pictures
  // flushed in their own files), journals them durably and indexes them;
  // returns whether the puts placed were journaled, and so are stored.
  // Committing thread only.
  bool commit_batch(const std::vector<pending_put*>& batch) EXCLUDES(mtx);
  // Appends the records of the placed puts of `batch` to the journal and
  // flushes it; on failure cuts it back and returns false.
  bool journal_batch(const std::vector<pending_put*>& batch) EXCLUDES(mtx);
  // Whether the journal is due for a checkpoint. Committing thread only.
  bool checkpoint_due() const;
  // Starts a checkpoint when one is due; returns the generation of the
  // journal begun, whose predecessors are then retired, or 0 for none.
  std::uint64_t start_checkpoint_if_due() EXCLUDES(mtx);
  // Starts the next journal file; the older ones stay until a checkpoint
  // retires them. Committing thread only; false when it cannot.
  bool start_next_journal() EXCLUDES(mtx);
  // Flushes the file system, then removes the journal files older than
  // `generation`, whose pictures and index lines are then on disk.
  void retire_journals_before(std::uint64_t generation) EXCLUDES(mtx);

  file_system& files_;
  const journal_limits limits_;
  const bool index_elsewhere_;
  catalogue& list_ GUARDED_BY(mtx);  // the store's

  // Used by the committing thread only.
  active_journal journal_;
  // Index lines of journaled puts whose append failed; the next batch
  // appends them first.
  std::string owed_lines_;

  // Puts waiting for the next batch.
  std::vector<pending_put*> queue_ GUARDED_BY(mtx);
  bool committing_ GUARDED_BY(mtx) = false;  // a thread commits batches
  // Journal files not yet retired, the active one last.
  std::deque<std::uint64_t> journal_generations_ GUARDED_BY(mtx);
};
