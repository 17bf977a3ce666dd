// Two connected ends of a stream socket, for a client against a fake peer
// in one process. Each end's owner closes it.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

struct socket_pair {
  socket_pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ours = fds[0];
    theirs = fds[1];
  }
  int ours;
  int theirs;
};
