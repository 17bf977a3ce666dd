// The service behind the TLS front that quarn ships (stunnel with
// dist/quarn-tls.conf.in, support/tls_front.h), reached by the client's
// connection through TLS from addresses of the test's own network: the
// front passes the protocol on and names each client to the service, whose
// log and password budget then see that client, not loopback.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/connection.h"
#include "client/errors.h"
#include "client/line_protocol.h"
#include "client/tls.h"
#include "support/pictures.h"
#include "support/tls_front.h"

namespace {

using namespace std::chrono_literals;

const std::string port = std::to_string(tls_front::port);

class through_tls : public service_behind_tls_front {
 protected:
  void SetUp() override {
    service_behind_tls_front::SetUp();
    if (IsSkipped()) return;
    trusted =
        std::make_shared<const client::tls_context>(front->ca_file().string());
  }

  // A TLS connection to the front from `local_address`.
  client::connection from(const std::string& local_address) const {
    return client::connection(
        "127.0.0.1", port,
        {.wait_limit = 10s, .local_address = local_address, .tls = trusted});
  }

  std::shared_ptr<const client::tls_context> trusted;
};

TEST_F(through_tls, the_service_logs_the_client_the_front_names) {
  client::connection browser = from("192.0.2.7");
  browser.send("GET / HTTP/1.1\n");
  EXPECT_TRUE(browser.at_end());
  EXPECT_TRUE(
      logged(service, "WARN", "foreign_protocol", "peer=192.0.2.7:[0-9]*"))
      << service.error_output();
}

TEST_F(through_tls, wrong_passwords_are_counted_for_the_client_not_the_front) {
  client::connection owner = from("192.0.2.7");
  owner.send("putpic secret tr0ub4dor\n" + client::block(rgb_picture(2, 2)));
  const std::string id = owner.read_line();
  // Loopback, where the front connects from, is not counted: were the
  // front the client, this would pass.
  std::string guesses = "getpic " + id;
  for (int i = 0; i < 32; ++i) guesses += " wrong" + std::to_string(i);
  owner.send(guesses + " tr0ub4dor\n");
  EXPECT_EQ("ERROR(PASSWORD)", owner.read_line());
  EXPECT_TRUE(logged(service, "WARN", "password_budget_spent",
                     "peer=192.0.2.7:[0-9]* picture=" + id));

  client::connection other = from("192.0.2.8");
  other.send("getpic " + id + " tr0ub4dor\n");
  EXPECT_NE("ERROR(PASSWORD)", other.read_line());
}

TEST_F(through_tls, a_client_in_the_clear_gets_nothing_of_the_protocol) {
  client::connection plain("127.0.0.1", port, {.wait_limit = 10s});
  plain.send("list\n");
  EXPECT_EQ(0u, plain.bytes_until_closed());
}

}  // namespace
