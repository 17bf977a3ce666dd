// The gallery's HTTP side: the page and the endpoints that turn requests
// into exchanges with the service. Every handler opens its own connection to
// the service, so the server's threads share nothing but the service's
// address.
//
//   GET  /                       the page (and /gallery.css, /gallery.js)
//   GET  /api/pictures           {"ids": [...]}, oldest first
//   GET  /pictures/ID.png        an unprotected picture as PNG
//   POST /pictures/ID.png        a protected one; form field password
//   POST /pictures               form fields file, secret, [password]:
//                                {"id": ..., "positions": "x:y ..."}
//   POST /pictures/ID/reveal     form fields positions, [password]:
//                                {"text": ...}
//
// Forms are multipart/form-data, so that no password or position ever
// travels in a URL. Errors are {"error": "..."} with 400 (bad input), 403
// (wrong password, or a form posted from another site), 404 (no such
// picture), 408 (a body that takes too long), 413 (over a limit), 415 (a
// body that is no form), 422 (a stored picture PNG cannot hold) or 502 (the
// service unreachable, or answering an error it should not).
#pragma once

#include <httplib.h>

#include "client/protocol.h"

namespace web {

// Sets `server`'s limits, routes and error pages for the service at
// `service`.
void set_up_gallery(httplib::Server& server,
                    const client::service_address& service);

}  // namespace web
