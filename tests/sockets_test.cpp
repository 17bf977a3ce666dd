#include "net/sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fresh_directory.h"

namespace {

// A client on one end of a socket pair; the test plays the peer on the other.
struct connected_pair {
  std::unique_ptr<client> service_side;
  int peer = -1;

  connected_pair() {
    int fds[2];
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    service_side = std::make_unique<client>(fds[0], sockaddr{});
    peer = fds[1];
  }
  ~connected_pair() {
    if (peer >= 0) ::close(peer);
  }
  void send(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
              ::send(peer, bytes.data(), bytes.size(), 0));
  }
  std::string receive_all_pending() {
    std::string result;
    char chunk[4096];
    ssize_t count;
    while ((count = ::recv(peer, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
      result.append(chunk, static_cast<std::size_t>(count));
    return result;
  }
};

TEST(receive_string, keeps_carriage_returns_and_stops_at_the_line_feed) {
  connected_pair pair;
  pair.send("list\r\nnext\n");
  EXPECT_EQ("list\r", pair.service_side->receiveString());
  EXPECT_FALSE(pair.service_side->isClosed());
  EXPECT_EQ("next", pair.service_side->receiveString());
}

TEST(receive_string, returns_an_empty_line_for_a_bare_line_feed) {
  connected_pair pair;
  pair.send("\n");
  EXPECT_EQ("", pair.service_side->receiveString());
  EXPECT_FALSE(pair.service_side->isClosed());
}

TEST(receive_string, returns_an_unterminated_last_line_and_sets_closed) {
  connected_pair pair;
  pair.send("abc");
  ::shutdown(pair.peer, SHUT_WR);
  EXPECT_EQ("abc", pair.service_side->receiveString());
  EXPECT_TRUE(pair.service_side->isClosed());
}

TEST(receive_string, returns_empty_and_sets_closed_at_shutdown) {
  connected_pair pair;
  ::shutdown(pair.peer, SHUT_WR);
  EXPECT_EQ("", pair.service_side->receiveString());
  EXPECT_TRUE(pair.service_side->isClosed());
}

TEST(receive_string, passes_zero_bytes_and_high_bytes_through) {
  connected_pair pair;
  pair.send(std::string("a\0\xff\x80z\n", 6));
  EXPECT_EQ(std::string("a\0\xff\x80z", 5), pair.service_side->receiveString());
}

TEST(receive_string, accepts_a_line_of_exactly_the_limit) {
  connected_pair pair;
  std::string line(max_line_bytes, 'x');
  std::thread writer([&] { pair.send(line + "\nrest\n"); });
  EXPECT_EQ(line, pair.service_side->receiveString());
  EXPECT_EQ("rest", pair.service_side->receiveString());
  writer.join();
}

TEST(receive_string, refuses_a_line_one_byte_over_the_limit) {
  connected_pair pair;
  std::thread writer([&] { pair.send(std::string(max_line_bytes + 1, 'x')); });
  EXPECT_THROW(pair.service_side->receiveString(), client::limit_error);
  writer.join();
}

TEST(receive_string, waits_for_a_first_byte_past_the_stall_and_the_deadline) {
  connected_pair pair;
  pair.service_side->setTiming(
      {std::chrono::milliseconds(10), std::chrono::milliseconds(20)});
  std::thread late_writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    pair.send("late\n");
  });
  EXPECT_EQ("late", pair.service_side->receiveString());
  late_writer.join();
}

TEST(receive_all, returns_the_lines_each_with_its_line_feed) {
  connected_pair pair;
  pair.send("one\ntwo\nthree\n");
  EXPECT_EQ("one\ntwo\n", pair.service_side->receiveAll(2));
  EXPECT_EQ("three", pair.service_side->receiveString());
}

TEST(receive_all, counts_lines_missing_after_shutdown_as_empty) {
  connected_pair pair;
  pair.send("one\n");
  ::shutdown(pair.peer, SHUT_WR);
  EXPECT_EQ("one\n\n", pair.service_side->receiveAll(2));
  EXPECT_TRUE(pair.service_side->isClosed());
}

TEST(receive_all, fills_a_huge_count_after_shutdown_without_waiting) {
  connected_pair pair;
  ::shutdown(pair.peer, SHUT_WR);
  EXPECT_EQ(std::string(1'000'000, '\n'),
            pair.service_side->receiveAll(1'000'000));
}

TEST(receive_all, receives_nothing_for_a_count_of_zero_or_less) {
  connected_pair pair;
  pair.send("kept\n");
  EXPECT_EQ("", pair.service_side->receiveAll(0));
  EXPECT_EQ("", pair.service_side->receiveAll(-5));
  EXPECT_EQ("kept", pair.service_side->receiveString());
}

TEST(receive_all, refuses_a_block_over_its_budget) {
  connected_pair pair;
  pair.send("12345\n12345\n");
  EXPECT_EQ("12345\n", pair.service_side->receiveAll(1, 6));
  EXPECT_THROW(pair.service_side->receiveAll(1, 5), client::limit_error);
}

// Why `action` ended the connection as stalled; nothing when it did not.
template <class Action>
std::optional<client::stall_error::reason> stall_of(Action action) {
  try {
    action();
  } catch (const client::stall_error& stall) {
    return stall.why();
  }
  return std::nullopt;
}

TEST(transfer, fails_when_the_peer_sends_nothing_for_the_stall_time) {
  connected_pair pair;
  pair.service_side->setTiming(
      {std::chrono::milliseconds(50), std::chrono::seconds(10)});
  pair.service_side->beginTransfer();
  EXPECT_EQ(client::stall_error::reason::receive_stalled,
            stall_of([&] { pair.service_side->receiveAll(1); }));
}

TEST(transfer, fails_at_its_deadline_though_lines_keep_coming) {
  connected_pair pair;
  pair.service_side->setTiming(
      {std::chrono::milliseconds(300), std::chrono::milliseconds(400)});
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (int i = 0; i < 100 && !done; ++i) {
      pair.send("line\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  pair.service_side->beginTransfer();
  EXPECT_EQ(client::stall_error::reason::deadline_passed,
            stall_of([&] { pair.service_side->receiveAll(100); }));
  done = true;
  trickle.join();
}

TEST(send, puts_exactly_the_bytes_on_the_wire) {
  connected_pair pair;
  pair.service_side->sendStringEndl("");
  pair.service_side->sendString("");
  pair.service_side->sendString("ab");
  pair.service_side->sendStringEndl("cd");
  EXPECT_EQ("\nabcd\n", pair.receive_all_pending());
}

TEST(send, fails_with_send_once_the_peer_has_gone) {
  std::signal(SIGPIPE, SIG_IGN);
  connected_pair pair;
  ::close(pair.peer);
  pair.peer = -1;
  try {
    for (int i = 0; i < 100; ++i) pair.service_side->sendStringEndl("x");
    FAIL() << "send did not fail";
  } catch (const excHandler& failure) {
    EXPECT_EQ("send", failure.getFuncName());
  }
}

TEST(send, fails_when_the_peer_reads_nothing_for_the_stall_time) {
  connected_pair pair;
  pair.service_side->setTiming(
      {std::chrono::milliseconds(100), std::chrono::seconds(10)});
  EXPECT_EQ(client::stall_error::reason::send_stalled, stall_of([&] {
              pair.service_side->sendString(std::string(8 * 1024 * 1024, 'x'));
            }));
}

TEST(send, goes_on_while_the_peer_reads_slowly) {
  connected_pair pair;
  pair.service_side->setTiming(
      {std::chrono::milliseconds(200), std::chrono::seconds(10)});
  const std::string text(2 * 1024 * 1024, 'x');
  std::size_t received = 0;
  std::thread slow_reader([&] {
    char chunk[64 * 1024];
    ssize_t count;
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      count = ::recv(pair.peer, chunk, sizeof chunk, 0);
      received += count > 0 ? static_cast<std::size_t>(count) : 0;
    } while (count > 0 && received < text.size());
  });
  pair.service_side->sendString(text);
  slow_reader.join();
  EXPECT_EQ(text.size(), received);
}

TEST(send, fails_at_its_deadline_though_the_peer_keeps_reading) {
  connected_pair pair;
  pair.service_side->setTiming(
      {std::chrono::seconds(1), std::chrono::milliseconds(1200)});
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    char chunk[64 * 1024];
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (::recv(pair.peer, chunk, sizeof chunk, MSG_DONTWAIT) == 0) break;
    }
  });
  EXPECT_EQ(client::stall_error::reason::deadline_passed, stall_of([&] {
              pair.service_side->sendString(std::string(16 * 1024 * 1024, 'x'));
            }));
  done = true;
  trickle.join();
}

// Keeps the sum of what a client reports to its memory hook.
struct memory_account {
  std::ptrdiff_t held = 0;
  client::memory_hook hook() {
    return [this](std::ptrdiff_t bytes) { held += bytes; };
  }
};

TEST(memory_hook, sees_the_buffer_only_while_input_waits_in_it) {
  memory_account account;
  {
    connected_pair pair;
    pair.service_side->setMemoryHook(account.hook());
    pair.send("first\nsecond");
    EXPECT_EQ("first", pair.service_side->receiveString());
    EXPECT_GT(pair.service_side->heldBytes(), 0u);
    EXPECT_EQ(account.held,
              static_cast<std::ptrdiff_t>(pair.service_side->heldBytes()));
    pair.send("\n");
    EXPECT_EQ("second", pair.service_side->receiveString());
    EXPECT_EQ(0u, pair.service_side->heldBytes());
    EXPECT_EQ(0, account.held);
    pair.send("third\nfourth");
    pair.service_side->receiveString();
  }
  EXPECT_EQ(0, account.held);
}

TEST(memory_hook, hands_the_block_over_by_its_capacity_within_its_budget) {
  memory_account account;
  connected_pair pair;
  pair.service_side->setMemoryHook(account.hook());
  const std::string line(999, 'x');
  constexpr int lines = 300;
  constexpr std::size_t budget = lines * 1000;
  std::thread writer([&] {
    for (int i = 0; i < lines; ++i) pair.send(line + "\n");
  });
  const std::string block = pair.service_side->receiveAll(lines, budget);
  writer.join();
  EXPECT_EQ(budget, block.size());
  EXPECT_LE(block.capacity(), budget);
  EXPECT_EQ(account.held,
            static_cast<std::ptrdiff_t>(block.capacity() +
                                        pair.service_side->heldBytes()));
}

TEST(memory_hook, a_refusal_ends_the_receive_and_frees_what_it_took) {
  struct refused {};
  memory_account account;
  connected_pair pair;
  pair.service_side->setMemoryHook([&](std::ptrdiff_t bytes) {
    if (account.held + bytes > 1024 * 1024) throw refused();
    account.held += bytes;
  });
  const std::string line(2 * 1024 * 1024, 'x');
  std::thread writer(
      [&] { ::send(pair.peer, line.data(), line.size(), MSG_NOSIGNAL); });
  EXPECT_THROW(pair.service_side->receiveString(), refused);
  EXPECT_EQ(account.held,
            static_cast<std::ptrdiff_t>(pair.service_side->heldBytes()));
  pair.service_side.reset();  // ends the writer's send
  writer.join();
}

TEST(server, refuses_a_port_held_by_a_live_listener) {
  server first(18361, 8);
  try {
    server second(18361, 8);
    FAIL() << "second bind succeeded";
  } catch (const excHandler& failure) {
    EXPECT_EQ("bind", failure.getFuncName());
  }
}

// Descriptors closed by a timer's signal, while accept keeps failing for want
// of descriptors: one for the connection, two for the sanitizers' checks
// (which is also why no thread can do it).
int descriptors_to_give_back[3];
void give_descriptors_back(int) {
  for (int descriptor : descriptors_to_give_back) ::close(descriptor);
}

TEST(server, goes_on_accepting_once_descriptors_are_back) {
  run_in_fresh_directory([] {
    server listener(18363, 8);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(18363);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(0, ::connect(peer, reinterpret_cast<sockaddr*>(&address),
                           sizeof address));
    // Takes every descriptor the process may still open.
    rlimit limit{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &limit));
    limit.rlim_cur = static_cast<rlim_t>(peer) + 16;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &limit));
    std::vector<int> taken;
    for (int copy; (copy = ::dup(peer)) != -1;) taken.push_back(copy);
    const int exhausted = errno;
    for (int& descriptor : descriptors_to_give_back) {
      descriptor = taken.back();
      taken.pop_back();
    }
    std::signal(SIGALRM, give_descriptors_back);
    const itimerval in_100_ms{{0, 0}, {0, 100'000}};
    ::setitimer(ITIMER_REAL, &in_100_ms, nullptr);
    const bool accepted = listener.acceptConnection() != nullptr;
    for (int descriptor : taken) ::close(descriptor);
    EXPECT_EQ(EMFILE, exhausted);
    EXPECT_TRUE(accepted);
  });
}

TEST(server, uses_only_the_low_16_bits_of_the_port) {
  server listener(18362 + 65536, 8);
  try {
    server second(18362, 8);
    FAIL() << "port 18362 was not taken";
  } catch (const excHandler& failure) {
    EXPECT_EQ("bind", failure.getFuncName());
  }
}

}  // namespace
