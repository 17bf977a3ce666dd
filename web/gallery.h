// The gallery's HTTP side: the page and the endpoints that turn requests
// into exchanges with the service. Every handler opens its own connection to
// the service; the server's threads share the service's address, the
// memory budget, the cache of converted pictures and the form slots.
//
//   GET  /                       the page (and /gallery.css, /gallery.js,
//                                /favicon.svg)
//   GET  /api/pictures           {"ids": [...]}, oldest first
//   GET  /pictures/ID.png        an unprotected picture as PNG, with an ETag
//                                and cached for a year: it never changes
//   POST /pictures/ID.png        a protected one; form field password
//   POST /pictures/ID/secret     form field password: {"secret": ...}
//   POST /pictures               form fields file, secret, [password]:
//                                {"id": ..., "positions": "x:y ..."}
//   POST /pictures/ID/reveal     form fields positions, [password]:
//                                {"text": ..., ["note": ...]}
//
// Forms are multipart/form-data, so that no password or position ever
// travels in a URL. Errors are {"error": "..."} with 400 (bad input), 403
// (wrong password, or a form posted from another site), 404 (no such
// picture), 408 (a body that takes too long), 413 (over a limit), 415 (a
// body that is no form), 421 (a Host that names no name of quarn-web), 422
// (a stored picture PNG cannot hold), 502 (the service unreachable, or
// answering an error it should not) or 503 (no memory or form slot free in
// time).
#pragma once

#include <httplib.h>

#include <cstddef>

#include "client/protocol.h"
#include "web/hosts.h"
#include "web/limits.h"

namespace web {

struct gallery_settings {
  client::service_address service;
  host_names hosts;
  timing times;
  std::size_t budget_bytes;
};

// Sets `server`'s limits, routes and error pages for the gallery.
void set_up_gallery(httplib::Server& server, const gallery_settings& settings);

}  // namespace web
