#include "client/tls.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "client/errors.h"
#include "client/transport.h"

namespace client {
namespace {

// The reason OpenSSL gives for the first error it queued, which it then
// forgets with the rest: the system's words for a failed system call.
std::string openssl_reason() {
  const unsigned long error = ERR_get_error();
  ERR_clear_error();
  if (ERR_SYSTEM_ERROR(error)) return std::strerror(ERR_GET_REASON(error));
  const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
  return reason != nullptr ? reason : "no reason given";
}

// Sends like OpenSSL's own socket BIO, but with MSG_NOSIGNAL: a service
// that has gone away makes the send fail rather than raise SIGPIPE, which
// would end the whole program.
int send_without_signal(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  int descriptor = -1;
  BIO_get_fd(bio, &descriptor);
  const ssize_t sent =
      ::send(descriptor, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
  if (sent < 0 && BIO_sock_should_retry(-1)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

// OpenSSL's socket BIO with send_without_signal for its writes.
BIO_METHOD* socket_without_signals() {
  static BIO_METHOD* const method = [] {
    const BIO_METHOD* socket = BIO_s_socket();
    BIO_METHOD* made = BIO_meth_new(BIO_TYPE_SOCKET, "socket, no SIGPIPE");
    if (made == nullptr) return made;
    BIO_meth_set_write(made, send_without_signal);
    BIO_meth_set_read(made, BIO_meth_get_read(socket));
    BIO_meth_set_ctrl(made, BIO_meth_get_ctrl(socket));
    BIO_meth_set_create(made, BIO_meth_get_create(socket));
    BIO_meth_set_destroy(made, BIO_meth_get_destroy(socket));
    return made;
  }();
  return method;
}

bool is_ip_address(const std::string& host) {
  in6_addr bytes{};
  return ::inet_pton(AF_INET, host.c_str(), &bytes) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), &bytes) == 1;
}

// Whether the service answered the handshake with something that is no TLS
// at all, such as a line of quarn's own protocol.
bool not_tls(unsigned long error) {
  const int reason = ERR_GET_REASON(error);
  return ERR_GET_LIB(error) == ERR_LIB_SSL &&
         (reason == SSL_R_WRONG_VERSION_NUMBER ||
          reason == SSL_R_PACKET_LENGTH_TOO_LONG);
}

// What went wrong in a handshake that failed with `kind` (SSL_get_error).
std::string handshake_failure(ssl_st* session, int kind,
                              const std::string& peer) {
  const long verified = SSL_get_verify_result(session);
  if (verified != X509_V_OK) {
    ERR_clear_error();
    return "the certificate of the service at " + peer +
           " does not verify: " + X509_verify_cert_error_string(verified);
  }
  if (not_tls(ERR_peek_error())) {
    ERR_clear_error();
    return "the service at " + peer + " does not speak TLS";
  }
  if (kind == SSL_ERROR_SYSCALL || kind == SSL_ERROR_ZERO_RETURN) {
    const int error = errno;
    ERR_clear_error();
    return "the service at " + peer + " closed the connection in the " +
           "TLS handshake" +
           (error != 0 ? std::string(": ") + std::strerror(error) : "");
  }
  return "the TLS handshake with the service at " + peer +
         " failed: " + openssl_reason();
}

}  // namespace

void tls_context::free_context::operator()(ssl_ctx_st* context) const {
  SSL_CTX_free(context);
}

tls_context::tls_context(const std::string& ca_file)
    : context_(SSL_CTX_new(TLS_client_method())) {
  if (!context_) throw failure("cannot set up TLS: " + openssl_reason());
  SSL_CTX_set_min_proto_version(get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(get(), SSL_VERIFY_PEER, nullptr);
  // Sends go record by record, each reported as it leaves; a connection
  // that ends without TLS's closing alert just ends, as quarn's answers
  // carry their own lengths. Receives take in up to 64 KiB of records at a
  // time, not one record in two reads of the socket (header, then body).
  SSL_CTX_set_mode(get(), SSL_MODE_ENABLE_PARTIAL_WRITE |
                              SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_options(get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_read_ahead(get(), 1);
  SSL_CTX_set_default_read_buffer_len(get(), 64 * 1024);
  if (ca_file.empty()) {
    if (SSL_CTX_set_default_verify_paths(get()) != 1)
      throw failure("cannot read the system's trusted certificates: " +
                    openssl_reason());
  } else if (SSL_CTX_load_verify_locations(get(), ca_file.c_str(), nullptr) !=
             1) {
    throw failure("cannot read certificate authorities from " + ca_file + ": " +
                  openssl_reason());
  }
}

std::shared_ptr<const tls_context> trust_for_options(
    bool tls, const std::optional<std::string>& ca_file) {
  if (!tls) {
    if (ca_file) throw usage_error("--ca is given without --tls");
    return nullptr;
  }
  return std::make_shared<const tls_context>(ca_file.value_or(""));
}

void tls_session::free_session::operator()(ssl_st* session) const {
  // TLS's closing alert, so that the front sees an orderly end; sent if
  // the socket takes it now, never waited for.
  if (SSL_is_init_finished(session) == 1) SSL_shutdown(session);
  ERR_clear_error();
  SSL_free(session);
}

tls_session::tls_session(const tls_context& context, int descriptor,
                         const std::string& host)
    : session_(SSL_new(context.get())) {
  BIO_METHOD* const method = socket_without_signals();
  BIO* socket = session_ && method ? BIO_new(method) : nullptr;
  if (socket == nullptr)
    throw failure("cannot set up TLS: " + openssl_reason());
  BIO_set_fd(socket, descriptor, BIO_NOCLOSE);
  SSL_set_bio(session_.get(), socket, socket);
  const bool named =
      is_ip_address(host)
          ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(session_.get()),
                                          host.c_str()) == 1
          : SSL_set_tlsext_host_name(session_.get(), host.c_str()) == 1 &&
                SSL_set1_host(session_.get(), host.c_str()) == 1;
  if (!named)
    throw failure("cannot check the certificate of " + host + ": " +
                  openssl_reason());
  SSL_set_connect_state(session_.get());
}

bool tls_session::handshake(const std::string& peer) {
  ERR_clear_error();
  const int result = SSL_do_handshake(session_.get());
  if (result == 1) return true;
  if (waits(result)) return false;
  throw failure(handshake_failure(session_.get(),
                                  SSL_get_error(session_.get(), result), peer));
}

bool tls_session::established() const {
  return SSL_is_init_finished(session_.get()) == 1;
}

transfer tls_session::send_some(std::string_view bytes) {
  ERR_clear_error();
  std::size_t sent = 0;
  const int result =
      SSL_write_ex(session_.get(), bytes.data(), bytes.size(), &sent);
  if (result == 1) return {.bytes = sent};
  return stopped(result);
}

transfer tls_session::receive_some(char* into, std::size_t room) {
  ERR_clear_error();
  std::size_t received = 0;
  const int result = SSL_read_ex(session_.get(), into, room, &received);
  if (result == 1) return {.bytes = received};
  return stopped(result);
}

bool tls_session::can_receive() {
  ERR_clear_error();
  char byte;
  std::size_t peeked = 0;
  const int result = SSL_peek_ex(session_.get(), &byte, 1, &peeked);
  // An end or a failure is for the receive that follows to tell.
  return result == 1 || !waits(result);
}

bool tls_session::waits(int result) {
  switch (SSL_get_error(session_.get(), result)) {
    case SSL_ERROR_WANT_READ:
      wanted_ = POLLIN;
      return true;
    case SSL_ERROR_WANT_WRITE:
      wanted_ = POLLOUT;
      return true;
    default:
      return false;
  }
}

transfer tls_session::stopped(int result) {
  if (waits(result)) return {};
  const int kind = SSL_get_error(session_.get(), result);
  const int error = errno;
  ERR_clear_error();
  if (kind == SSL_ERROR_ZERO_RETURN ||
      (kind == SSL_ERROR_SYSCALL &&
       (error == 0 || error == EPIPE || error == ECONNRESET)))
    return {.ended = true};
  // Any other failure of TLS itself: a record that does not decrypt, an
  // alert from the front.
  return {.error = kind == SSL_ERROR_SYSCALL ? error : EPROTO};
}

}  // namespace client
