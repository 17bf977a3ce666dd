// The exchanges of quarn's line protocol: list, getpic and putpic. Each
// function checks its arguments, connects, runs one exchange and returns the
// answer. Every "ERROR(...)" answer becomes a refusal saying in words what
// went wrong; a service that cannot be reached, stalls or answers something
// else is a failure. The functions share no state: threads may call them at
// once, each exchange on a connection of its own.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "client/memory.h"
#include "client/tls.h"
#include "stego/stego.h"

namespace client {

// The client an exchange is made for, when the caller acts for another (as
// quarn-web does for each browser): its address and port as the caller's
// socket saw them, and the caller's own address and port that it reached.
struct proxied_client {
  std::string address;
  int port = 0;
  std::string local_address;
  int local_port = 0;
};

struct service_address {
  std::string host;
  std::string port;
  // What to trust when the service is reached through TLS (a TLS front);
  // none: in the clear.
  std::shared_ptr<const tls_context> tls = nullptr;
  // When set, every connection to a service on the same host (reached over
  // loopback) begins with a PROXY line (version 1) naming this client, so
  // that the service counts the client's password guesses, not the
  // caller's. A service elsewhere takes PROXY lines from nobody, so none is
  // sent to it.
  std::optional<proxied_client> on_behalf_of = std::nullopt;
};

// Throws usage_error unless `port` is a number from 1 to 65535.
void check_port(const std::string& port);

// A picture the service stored: its identifier and, when the secret was
// hidden in its pixels, one position per byte of the secret.
struct stored_picture {
  std::string id;
  std::vector<pixel> positions;
};

// The identifiers of the stored pictures, oldest first.
std::vector<std::string> list_pictures(const service_address& service);

// The SNG text of the picture `id`, offering `passwords` in order. Throws
// usage_error for an identifier or password the protocol cannot carry.
// `reserve` is told of the memory the answer takes as it arrives.
std::string fetch_picture(const service_address& service, const std::string& id,
                          const std::vector<std::string>& passwords,
                          const reserve_memory& reserve = {});

// Throws as store_picture does for `secret` and `password`, without a
// picture: a cheap check to make before converting one.
void check_store_arguments(const std::string& secret,
                           const std::optional<std::string>& password);

// Stores the picture `sng_text` (lines ended by line feeds) with `secret`:
// guarded by `password` when there is one, hidden in its pixels otherwise.
// Throws usage_error for a secret or password the protocol or the stored
// picture cannot carry, and over_limit, before connecting, for a command
// line or an upload past the service's limits. `reserve` is told of the
// memory of the picture read to check it before it is sent.
stored_picture store_picture(const service_address& service,
                             const std::string& sng_text,
                             const std::string& secret,
                             const std::optional<std::string>& password,
                             const reserve_memory& reserve = {});

}  // namespace client
