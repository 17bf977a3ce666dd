// The names under which quarn-web answers. A browser names the server it
// means in every request's Host header; a page of another site whose name
// is made to resolve to quarn-web's address (DNS rebinding) names that
// other site, and gets 421 instead of the gallery.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace web {

// A name quarn-web is known under (--host), with the port a browser puts
// after it; an empty port stands for quarn-web's own.
struct host_name {
  std::string name;
  std::string port;
};

// Accepts as Host, compared without regard to letter case:
//  - the address quarn-web listens on, and "localhost" when that address is
//    a loopback one, each with quarn-web's port;
//  - the local address a request arrived at, with quarn-web's port, so that
//    a server listening on every address (0.0.0.0, ::) answers under each
//    of them;
//  - each name given with --host: with its own port when it has one, with
//    quarn-web's port otherwise.
// A name that stands with port 80 is accepted without it too, as browsers
// leave the default port out. IPv6 addresses stand in brackets.
class host_names {
 public:
  host_names(const std::string& listen_host, int port,
             const std::vector<host_name>& names);

  // Whether the Host header `host` names quarn-web for a request that
  // arrived at `local_address`.
  bool accept(std::string_view host, const std::string& local_address) const;

 private:
  // `name` with `port` as a Host header gives it.
  static std::vector<std::string> spellings(const std::string& name,
                                            const std::string& port);

  std::string port_;
  std::set<std::string> accepted_;
};

}  // namespace web
