// TLS for the connections to a service behind a TLS front (such as the
// stunnel that quarn ships), on OpenSSL: what a client trusts, made once and
// shared by all its connections, and one session over a connected socket,
// which the connection's transport owns (client/transport.h). TLS 1.2 at the
// least; the service's certificate must chain to a trusted authority and
// name the host the client was asked to reach.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// OpenSSL's context and session.
struct ssl_ctx_st;
struct ssl_st;

namespace client {

struct transfer;

// The port of the TLS front that quarn ships (quarn-tls.service), where a
// tool asked to speak TLS connects unless told another.
constexpr int tls_front_port = 18361;

// The certificate authorities a client trusts. Any thread, once made.
class tls_context {
 public:
  // Trusts the authorities in `ca_file`, a PEM file, or the system's trust
  // store when it is empty. Throws failure saying why when the file cannot
  // be read or holds no certificate.
  explicit tls_context(const std::string& ca_file = {});

  ssl_ctx_st* get() const { return context_.get(); }

 private:
  struct free_context {
    void operator()(ssl_ctx_st* context) const;
  };
  std::unique_ptr<ssl_ctx_st, free_context> context_;
};

// What a tool trusts for its options --tls and --ca FILE: nothing without
// --tls (the clear); the authorities in FILE, or the system's when it is
// not given. Throws usage_error for --ca without --tls, and failure as
// tls_context does.
std::shared_ptr<const tls_context> trust_for_options(
    bool tls, const std::optional<std::string>& ca_file);

// One TLS session with a service over a connected, non-blocking socket that
// it does not own. One thread at a time. A call that cannot go on without
// waiting returns at once; wanted() tells what to wait for.
class tls_session {
 public:
  // A session with the service at `host`, as the user named it: a name is
  // sent in the handshake (SNI) and must be one the certificate holds; an IP
  // address must be one the certificate holds as an address. Throws failure
  // when OpenSSL cannot set one up.
  tls_session(const tls_context& context, int descriptor,
              const std::string& host);

  // Takes the handshake as far as it goes now: true once it is done.
  // Throws failure saying why it failed, naming the service `peer`: a
  // certificate that does not verify, a service that does not speak TLS.
  bool handshake(const std::string& peer);
  bool established() const;

  transfer send_some(std::string_view bytes);
  transfer receive_some(char* into, std::size_t room);
  // Whether application bytes, or the end of the session, can be received
  // without waiting; takes in what TLS sends besides (session tickets).
  bool can_receive();

  // What the last call that could not go on waits for: POLLIN or POLLOUT
  // (a send may have to receive first, and the reverse).
  short wanted() const { return wanted_; }

 private:
  struct free_session {
    void operator()(ssl_st* session) const;
  };
  // What SSL_get_error makes of `result`, the result of the last call:
  // true when the call only has to wait, false when it failed for good.
  bool waits(int result);
  // The transfer of a send or receive that moved nothing: to wait, the end
  // of the session, or a failure.
  transfer stopped(int result);

  std::unique_ptr<ssl_st, free_session> session_;
  short wanted_ = 0;
};

}  // namespace client
