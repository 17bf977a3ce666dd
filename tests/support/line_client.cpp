#include "support/line_client.h"

#include <sys/socket.h>

#include <chrono>
#include <stdexcept>

#include "client/errors.h"
#include "client/line_protocol.h"

namespace {

constexpr std::chrono::seconds wait_limit{10};

// What `call` returns; a failure of the connection becomes the test's
// std::runtime_error.
template <typename call_fn>
auto translated(call_fn call) {
  try {
    return call();
  } catch (const client::error& failure) {
    throw std::runtime_error(failure.message());
  }
}

client::connection connect(const std::string& local_address,
                           int receive_buffer_bytes) {
  return translated([&] {
    return client::connection("127.0.0.1", "18360",
                              {.wait_limit = wait_limit,
                               .receive_buffer_bytes = receive_buffer_bytes,
                               .local_address = local_address});
  });
}

}  // namespace

line_client::line_client(int receive_buffer_bytes)
    : link_(connect("", receive_buffer_bytes)) {}

line_client::line_client(const std::string& local_address,
                         int receive_buffer_bytes)
    : link_(connect(local_address, receive_buffer_bytes)) {}

void line_client::send(const std::string& bytes) {
  translated([&] { link_.send(bytes); });
}

void line_client::send_line(const std::string& text) { send(text + "\n"); }

void line_client::send_block(const std::string& text) {
  send(client::block(text));
}

void line_client::shutdown_write() { ::shutdown(descriptor(), SHUT_WR); }

std::string line_client::line() {
  return translated([&] { return link_.read_line(); });
}

std::string line_client::bytes(std::size_t count) {
  std::string received;
  translated([&] { link_.read_bytes(count, received); });
  return received;
}

std::string line_client::block() {
  const std::string count_line = line();
  const auto count = client::line_count(count_line);
  if (!count)
    throw std::runtime_error("expected a line count, got \"" + count_line +
                             "\"");
  std::string text;
  translated([&] { link_.read_lines(*count, text); });
  return text;
}

bool line_client::closed_by_peer() {
  try {
    return link_.at_end();
  } catch (const client::error&) {
    return false;
  }
}

std::size_t line_client::bytes_until_closed() {
  return translated([&] { return link_.bytes_until_closed(); });
}
