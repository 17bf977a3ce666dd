// Cost of storing and fetching pictures through the store, fsyncs included,
// and of the file each small picture costs the file system.
// The store works in a scratch directory under the system's temporary
// directory, so the figures are those of that file system.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "client/sng_text.h"
#include "storage/storage.h"

namespace {

// A new empty directory, made the working directory for the whole run and
// removed when the program ends.
class scratch_directory {
 public:
  scratch_directory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quarn-bench-XXXXXX")
            .string();
    if (::mkdtemp(pattern.data()) == nullptr || ::chdir(pattern.c_str()) != 0)
      std::abort();
    path_ = pattern;
  }
  ~scratch_directory() { std::filesystem::remove_all(path_); }

 private:
  std::filesystem::path path_;
};

void enter_scratch_directory() { static scratch_directory directory; }

sng_storage* store() {
  enter_scratch_directory();
  return sng_storage::instance();
}

// A picture of `side` x `side` pixels of varied colours.
sng square_picture(int side) {
  return sng(
      client::sng_text({.width = side, .height = side, .random_seed = 7919}));
}

// A 1 x 1 and a 1024 x 1024 picture, in wall-clock time (the syncs wait
// rather than compute), median of five runs.
void picture_sizes(benchmark::internal::Benchmark* bench) {
  bench->Arg(1)
      ->Arg(1024)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->Repetitions(5)
      ->ReportAggregatesOnly(true);
}

void store_put_item(benchmark::State& state) {
  const sng picture = square_picture(static_cast<int>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(store()->put_item(picture));
}
BENCHMARK(store_put_item)->Apply(picture_sizes);

void store_get_item(benchmark::State& state) {
  const std::string id =
      store()->put_item(square_picture(static_cast<int>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(store()->get_item(id));
}
BENCHMARK(store_get_item)->Apply(picture_sizes);

// Writes `text` to a new file `staged`, closes it and renames it to `name`.
bool create_file(const std::string& staged, const std::string& name,
                 const std::string& text) {
  const int fd =
      ::open(staged.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) ==
                       static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && written &&
         ::rename(staged.c_str(), name.c_str()) == 0;
}

// The floor under every small putpic, without the store: what it asks of
// the file system for each picture of a 1 x 1 picture's size. Create a file
// under a staging name, write 165 bytes, close it and rename it to a name of
// its own, in a directory that keeps every file, as db/ does. No flush: a
// batch of small pictures is flushed once, in the journal.
void create_small_file(benchmark::State& state) {
  enter_scratch_directory();
  std::filesystem::create_directory("files");
  const std::string text(165, '7');
  // Kept for the whole program, whose end removes the files: deleting them
  // between runs would make the next run's creations slower (file systems
  // avoid reusing inodes deleted just before), which the store never does.
  static long count = 0;
  for (auto _ : state) {
    const std::string name = "files/" + std::to_string(count++);
    if (!create_file(name + ".staged", name, text)) {
      state.SkipWithError("cannot create a file in the scratch directory");
      break;
    }
  }
}
BENCHMARK(create_small_file)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
