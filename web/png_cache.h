// The PNGs of unprotected pictures, kept for their next request: a picture
// stored without a password never changes. Any thread.
#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "web/memory_budget.h"

namespace web {

// A picture's PNG as it is sent: its bytes, their entity tag, and the memory
// they hold from the budget for as long as the cache or an answer keeps
// them.
struct converted_png {
  converted_png(std::string png, held_memory memory);

  std::string bytes;
  // A quoted hash of the bytes, for ETag and If-None-Match.
  std::string etag;
  held_memory memory;
};
using shared_png = std::shared_ptr<const converted_png>;

// Keeps at most `capacity` bytes of PNGs, none larger than `largest`; the
// least recently asked for go first. Requests for a picture that is not kept
// while another request converts it wait for that conversion and share its
// result, so that a picture is converted once however many ask at once.
class png_cache {
 public:
  png_cache(std::size_t capacity, std::size_t largest)
      : capacity_(capacity), largest_(largest) {}

  // The PNG of the picture `id`: a kept one, or the one `convert` makes.
  // Throws what `convert` throws, to every request that waited for it.
  shared_png get(const std::string& id,
                 const std::function<shared_png()>& convert);

 private:
  struct entry {
    shared_png png;
    std::list<std::string>::iterator place;  // in by_use_
  };

  // Ends the conversion of `id`, keeping `png` when it is small enough.
  void finish(const std::string& id, const shared_png& png);

  const std::size_t capacity_;
  const std::size_t largest_;
  std::mutex mutex_;  // guards the members below
  std::unordered_map<std::string, entry> kept_;
  std::list<std::string> by_use_;  // kept identifiers, most recent first
  std::size_t kept_bytes_ = 0;
  std::unordered_map<std::string, std::shared_future<shared_png>> converting_;
};

}  // namespace web
