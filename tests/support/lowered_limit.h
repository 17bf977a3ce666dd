// Lowers one of this process's resource limits for a while.
#pragma once

#include <sys/resource.h>

// Lowers the soft limit of `resource` (RLIMIT_NOFILE, RLIMIT_FSIZE, ...) to
// `soft` while it lives, and puts it back when it goes. Processes started
// meanwhile keep the lower limit.
class lowered_limit {
 public:
  using resource = decltype(RLIMIT_NOFILE);

  lowered_limit(resource which, rlim_t soft);
  ~lowered_limit();
  lowered_limit(const lowered_limit&) = delete;
  lowered_limit& operator=(const lowered_limit&) = delete;

 private:
  resource which_;
  rlimit before_{};
};
