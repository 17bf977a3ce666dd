#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <latch>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/storage.h"
#include "support/fresh_directory.h"
#include "support/pictures.h"

namespace {

using words = std::vector<std::string>;

bool is_prefix(const words& prefix, const words& whole) {
  return prefix.size() <= whole.size() &&
         std::equal(prefix.begin(), prefix.end(), whole.begin());
}

// Takes list copies and checks that each one extends the one before, which
// makes every copy a prefix of the last one.
class snapshot_checker {
 public:
  const words& take() {
    words next = sng_storage::instance()->get_all_items();
    EXPECT_TRUE(is_prefix(last_, next));
    last_ = std::move(next);
    return last_;
  }
  const words& last() const { return last_; }

 private:
  words last_;
};

words index_words() {
  std::ifstream in("quarn.db");
  return words(std::istream_iterator<std::string>(in), {});
}

TEST(store, sixteen_threads_storing_at_once_see_one_store_and_whole_lists) {
  run_in_fresh_directory([] {
    constexpr int writers = 16;
    constexpr int pictures_each = 4;
    const sng red(rgb_picture(1, 1, "ff0000"));
    std::latch start(writers + 1);
    std::atomic<int> writers_left{writers};
    std::vector<sng_storage*> stores(writers + 1);
    std::vector<words> stored(writers);
    std::vector<snapshot_checker> checkers(writers + 1);
    std::vector<std::thread> threads;

    for (int w = 0; w < writers; ++w)
      threads.emplace_back([&, w] {
        start.arrive_and_wait();
        stores[w] = sng_storage::instance();
        for (int k = 0; k < pictures_each; ++k) {
          const std::string id = stores[w]->put_item(red);
          stored[w].push_back(id);
          const words& listed = checkers[w].take();
          EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), id));
        }
        --writers_left;
      });
    // A reader that fetches the newest listed picture while others store.
    threads.emplace_back([&] {
      start.arrive_and_wait();
      stores[writers] = sng_storage::instance();
      while (writers_left > 0) {
        const words& listed = checkers[writers].take();
        if (listed.empty()) continue;
        EXPECT_EQ(red.to_raw_string(),
                  stores[writers]->get_item(listed.back()).to_raw_string());
      }
    });
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(writers + 1, std::count(stores.begin(), stores.end(), stores[0]));
    const words final_list = sng_storage::instance()->get_all_items();
    EXPECT_EQ(final_list, index_words());
    std::set<std::string> expected;
    for (const words& ids : stored) expected.insert(ids.begin(), ids.end());
    EXPECT_EQ(std::size_t{writers * pictures_each}, expected.size());
    EXPECT_EQ(expected,
              std::set<std::string>(final_list.begin(), final_list.end()));
    EXPECT_EQ(expected.size(), final_list.size());
    for (const snapshot_checker& checker : checkers)
      EXPECT_TRUE(is_prefix(checker.last(), final_list));
  });
}

TEST(store, threads_fetching_while_others_store_each_get_the_stored_text) {
  run_in_fresh_directory([] {
    constexpr int readers = 6;
    constexpr int fetches_each = 40;
    sng_storage* const store = sng_storage::instance();
    std::vector<std::string> texts;
    std::vector<std::string> ids;
    for (int side = 1; side <= 3; ++side) {
      texts.push_back(sng(rgb_picture(side, side, "ff0000")).to_raw_string());
      ids.push_back(store->put_text(texts.back()));
    }
    std::latch start(readers + 1);
    std::vector<std::thread> threads;
    // A writer meanwhile: storing and fetching share the store's lock.
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int n = 0; n < 20; ++n) store->put_text(texts[0]);
    });
    for (int r = 0; r < readers; ++r)
      threads.emplace_back([&, r] {
        start.arrive_and_wait();
        for (int k = 0; k < fetches_each; ++k) {
          const std::size_t i = (r + k) % ids.size();
          const fetched_picture fetched = store->fetch_item(ids[i]);
          EXPECT_EQ(texts[i], *fetched.text);
          EXPECT_EQ(texts[i], fetched.picture->to_raw_string());
        }
      });
    for (std::thread& thread : threads) thread.join();
  });
}

}  // namespace
