// quarn-web: a gallery of the pictures stored in a quarn service, served
// over HTTP to a browser. It is a client of the service like quarn-cli and
// never touches the service's files.
#include <malloc.h>

#include <iostream>
#include <string>

#include "client/errors.h"
#include "web/gallery.h"
#include "web/options.h"
#include "web/server.h"

namespace {

// Blocks of this size and more are mapped on their own and unmapped when
// freed, so that the memory of a converted picture leaves the process once
// it is sent. Without a fixed threshold the allocator raises it after each
// large free and keeps freed pictures in its arenas.
constexpr int large_block_bytes = 1024 * 1024;

}  // namespace

int main(int argc, char** argv) {
  web::options options;
  try {
    options = web::parse_options(argc, argv);
  } catch (const client::usage_error& error) {
    std::cerr << "quarn-web: " << error.message() << '\n';
    return 2;
  } catch (const client::error& error) {
    std::cerr << "quarn-web: " << error.message() << '\n';
    return 1;
  }
  if (options.version) {
    std::cout << "quarn-web " QUARN_VERSION "\n";
    return 0;
  }
  if (options.help) {
    std::cout << web::usage;
    return 0;
  }
  ::mallopt(M_MMAP_THRESHOLD, large_block_bytes);
  const web::timing timing = web::process_timing();
  web::guarded_server server(timing);
  web::set_up_gallery(server,
                      {options.service,
                       web::host_names(options.listen_host, options.listen_port,
                                       options.host_names),
                       timing, web::process_budget_bytes()});
  const bool ipv6 = options.listen_host.find(':') != std::string::npos;
  const std::string address =
      (ipv6 ? "[" + options.listen_host + "]" : options.listen_host) + ":" +
      std::to_string(options.listen_port);
  if (!server.bind(options.listen_host, options.listen_port)) {
    std::cerr << "quarn-web: cannot listen on " << address
              << " (is the port taken?)\n";
    return 1;
  }
  std::cerr << "quarn-web: the gallery of " << options.service.host << ":"
            << options.service.port
            << (options.service.tls ? " (through TLS)" : "") << " is at http://"
            << address << "/\n";
  return server.listen_after_bind() ? 0 : 1;
}
