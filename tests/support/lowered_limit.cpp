#include "support/lowered_limit.h"

#include <gtest/gtest.h>

lowered_limit::lowered_limit(resource which, rlim_t soft) : which_(which) {
  EXPECT_EQ(0, ::getrlimit(which_, &before_));
  const rlimit lower{soft, before_.rlim_max};
  EXPECT_EQ(0, ::setrlimit(which_, &lower));
}

lowered_limit::~lowered_limit() { ::setrlimit(which_, &before_); }
