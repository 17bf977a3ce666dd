// quarn-web: a gallery of the pictures stored in a quarn service, served
// over HTTP to a browser. It is a client of the service like quarn-cli and
// never touches the service's files.
#include <httplib.h>

#include <iostream>
#include <string>

#include "client/errors.h"
#include "web/gallery.h"
#include "web/options.h"

int main(int argc, char** argv) {
  web::options options;
  try {
    options = web::parse_options(argc, argv);
  } catch (const client::usage_error& error) {
    std::cerr << "quarn-web: " << error.message() << '\n';
    return 2;
  }
  if (options.version) {
    std::cout << "quarn-web " QUARN_VERSION "\n";
    return 0;
  }
  if (options.help) {
    std::cout << web::usage;
    return 0;
  }
  httplib::Server server;
  web::set_up_gallery(server, options.service);
  const std::string address =
      options.listen_host + ":" + std::to_string(options.listen_port);
  if (!server.bind_to_port(options.listen_host, options.listen_port)) {
    std::cerr << "quarn-web: cannot listen on " << address
              << " (is the port taken?)\n";
    return 1;
  }
  std::cerr << "quarn-web: the gallery of " << options.service.host << ":"
            << options.service.port << " is at http://" << address << "/\n";
  return server.listen_after_bind() ? 0 : 1;
}
