// Cost of storing and fetching pictures through the store, fsyncs included.
// The store works in a scratch directory under the system's temporary
// directory, so the figures are those of that file system.
#include <benchmark/benchmark.h>
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

sng_storage* store() {
  static scratch_directory directory;
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

}  // namespace
