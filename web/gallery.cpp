#include "web/gallery.h"

#include <charconv>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <semaphore>
#include <string_view>

#include "client/errors.h"
#include "client/pictures.h"
#include "client/positions.h"
#include "client/sng_convert.h"
#include "net/limits.h"
#include "web/assets.h"
#include "web/memory_budget.h"
#include "web/png_cache.h"

namespace web {
namespace {

using httplib::Request;
using httplib::Response;
using json = nlohmann::json;

// Largest request body quarn-web reads, in bytes: the largest SNG text the
// service takes (the PNG file of a picture it can store is smaller than its
// SNG text), a secret as long as a protocol line, and room for the form's
// framing. Past it the request is answered 413.
constexpr std::size_t max_request_bytes =
    max_upload_bytes + max_line_bytes + 64 * 1024;

// What a 413 for the size of the request says.
const std::string too_large = "the request is larger than the " +
                              std::to_string(max_request_bytes) +
                              " bytes quarn-web accepts";

// The eight bytes every PNG file starts with.
constexpr std::string_view png_signature = "\x89PNG\r\n\x1a\n";

// How long a browser may keep an unprotected picture without asking again:
// a year, the most HTTP caches are meant to keep anything.
constexpr std::string_view unchanging = "public, max-age=31536000, immutable";

// What the gallery's handlers share.
struct gallery {
  explicit gallery(const gallery_settings& settings)
      : service(settings.service),
        hosts(settings.hosts),
        times(settings.times),
        budget(settings.budget_bytes, settings.times.room_wait),
        // The cache takes an eighth of the budget at most, so that kept
        // pictures leave the rest to conversions.
        pngs(std::min(png_cache_bytes, settings.budget_bytes / 8),
             std::min(largest_cached_png, settings.budget_bytes / 32)) {}

  const client::service_address service;
  const host_names hosts;
  const timing times;
  memory_budget budget;
  png_cache pngs;
  std::counting_semaphore<max_forms_in_flight> form_slots{max_forms_in_flight};
};

// A request answered with an HTTP error status of quarn-web's own choosing.
class http_error {
 public:
  http_error(int status, std::string message)
      : status_(status), message_(std::move(message)) {}
  int status() const { return status_; }
  const std::string& message() const { return message_; }

 private:
  int status_;
  std::string message_;
};

void send_json(Response& res, const json& body) {
  // Text hidden in pixels is any bytes; what is not UTF-8 shows as U+FFFD.
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace),
                  "application/json");
}

void send_error(Response& res, int status, const std::string& message) {
  res.status = status;
  send_json(res, {{"error", message}});
}

// What the request asked of the service; an "ERROR(...)" answer means
// something else to each.
enum class exchange { listing, fetching, storing };

struct reason_status {
  std::string_view reason;
  int fetching;
  int storing;
};

// The status of each "ERROR(reason)" answer that a request may have caused;
// any other answer is the service's fault (502).
constexpr reason_status reason_statuses[] = {
    {"PASSWORD", 403, 502}, {"NOTFOUND", 404, 502}, {"LIMIT", 413, 413},
    {"ARG", 502, 400},      {"PARSE", 502, 400},    {"STEGO", 502, 400},
};

int status_for(const std::string& reason, exchange kind) {
  for (const reason_status& entry : reason_statuses)
    if (entry.reason == reason && kind != exchange::listing)
      return kind == exchange::fetching ? entry.fetching : entry.storing;
  return 502;
}

// Runs `work`, which answers the request, and answers every failure it
// throws as an error with its status.
template <class Work>
void respond(Response& res, exchange kind, Work work) {
  try {
    work();
  } catch (const http_error& error) {
    send_error(res, error.status(), error.message());
  } catch (const memory_budget::exhausted&) {
    send_error(res, 503,
               "quarn-web has no memory free for this request now; try "
               "again shortly");
  } catch (const client::usage_error& error) {
    send_error(res, 400, error.message());
  } catch (const client::over_limit& error) {
    send_error(res, 413, error.message());
  } catch (const client::refusal& error) {
    send_error(res, status_for(error.reason(), kind), error.message());
  } catch (const client::failure& error) {
    send_error(res, 502, error.message());
  }
}

// Runs `convert`, a conversion of a picture, turning its failure into an
// http_error with `status`.
template <class Convert>
auto converting(int status, Convert convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const client::failure& error) {
    throw http_error(status, error.message());
  }
}

// --------------------------------------------------------------- forms

using form = std::map<std::string, httplib::MultipartFormData>;

// The fields of the request's multipart/form-data body, read within the
// limits of size and time, its memory taken from `memory`.
form read_form(const Request& req, const httplib::ContentReader& reader,
               std::chrono::milliseconds longest, held_memory& memory) {
  if (!req.is_multipart_form_data())
    throw http_error(415, "send the fields as multipart/form-data");
  form fields;
  std::string* content = nullptr;
  std::string duplicate;
  std::size_t received = 0;
  bool too_slow = false;
  const auto deadline = std::chrono::steady_clock::now() + longest;
  const client::reserve_memory reserve = memory.reserve();
  const bool complete = reader(
      [&](const httplib::MultipartFormData& part) {
        too_slow = std::chrono::steady_clock::now() > deadline;
        if (too_slow) return false;
        const auto [entry, added] = fields.try_emplace(part.name, part);
        if (!added) duplicate = part.name;
        content = &entry->second.content;
        return added;
      },
      [&](const char* data, std::size_t length) {
        received += length;
        too_slow = std::chrono::steady_clock::now() > deadline;
        if (too_slow || received > max_request_bytes) return false;
        client::make_room(*content, length, reserve);
        content->append(data, length);
        return true;
      });
  if (complete) return fields;
  if (too_slow) throw http_error(408, "the request took too long to arrive");
  if (received > max_request_bytes) throw http_error(413, too_large);
  if (!duplicate.empty())
    throw http_error(400,
                     "the form has two fields named \"" + duplicate + "\"");
  throw http_error(400, "the form could not be read");
}

// Reads the request's form, waits for a form slot and answers with
// `work(fields, memory)`, as respond does. The slot is taken only once the
// body has arrived, so that slow bodies hold none. Every error closes the
// connection: the body may not have been read to its end.
template <class Work>
void respond_to_form(gallery& shared, const Request& req, Response& res,
                     const httplib::ContentReader& reader, exchange kind,
                     Work work) {
  respond(res, kind, [&] {
    held_memory memory(shared.budget);
    const form fields = read_form(req, reader, shared.times.transfer, memory);
    if (!shared.form_slots.try_acquire_for(shared.times.room_wait))
      throw http_error(503, "quarn-web is busy with other forms; try again");
    struct slot_holder {
      gallery& shared;
      ~slot_holder() { shared.form_slots.release(); }
    } holder{shared};
    work(fields, memory);
  });
  if (res.status >= 400) res.set_header("Connection", "close");
}

const httplib::MultipartFormData& required(const form& fields,
                                           const std::string& name) {
  const auto found = fields.find(name);
  if (found == fields.end())
    throw http_error(400, "the form lacks the field \"" + name + "\"");
  return found->second;
}

// The password field; an empty one, as a form sends an empty box, is none.
std::optional<std::string> password(const form& fields) {
  const auto found = fields.find("password");
  if (found == fields.end() || found->second.content.empty())
    return std::nullopt;
  return found->second.content;
}

std::vector<std::string> passwords(const form& fields) {
  const auto given = password(fields);
  return given ? std::vector<std::string>{*given} : std::vector<std::string>();
}

// ------------------------------------------------------------ pictures

// The PNG of the picture `id`, fetched with `passwords`; the text fetched
// is freed before it returns.
std::string fetch_png(const client::service_address& service,
                      const std::string& id,
                      const std::vector<std::string>& passwords,
                      held_memory& memory) {
  const std::string text =
      client::fetch_picture(service, id, passwords, memory.reserve());
  std::ostream ignored_notes(nullptr);  // the picture itself shows them
  return converting(422, [&] {
    return client::png_of(text, "the picture " + id, ignored_notes,
                          memory.reserve());
  });
}

// The PNG of the picture `id`, holding from the budget only its own bytes.
shared_png convert_picture(gallery& shared,
                           const client::service_address& service,
                           const std::string& id,
                           const std::vector<std::string>& passwords) {
  held_memory memory(shared.budget);
  std::string png = fetch_png(service, id, passwords, memory);
  png.shrink_to_fit();
  memory.keep_only(png.capacity());
  return std::make_shared<const converted_png>(std::move(png),
                                               std::move(memory));
}

// Answers with `png`, which the answer keeps until it has been sent.
void send_png(Response& res, const shared_png& png) {
  res.set_content_provider(
      png->bytes.size(), "image/png",
      [png](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        return sink.write(png->bytes.data() + offset, length);
      });
}

// Whether an If-None-Match header, a list of entity tags or "*", names
// `etag`. A weak tag names the same bytes here: the bytes never change.
bool names_tag(std::string_view if_none_match, std::string_view etag) {
  while (!if_none_match.empty()) {
    const std::size_t comma = if_none_match.find(',');
    std::string_view tag = if_none_match.substr(0, comma);
    if_none_match.remove_prefix(std::min(comma, if_none_match.size() - 1) + 1);
    while (tag.starts_with(' ') || tag.starts_with('\t')) tag.remove_prefix(1);
    while (tag.ends_with(' ') || tag.ends_with('\t')) tag.remove_suffix(1);
    if (tag.starts_with("W/")) tag.remove_prefix(2);
    if (tag == "*" || tag == etag) return true;
  }
  return false;
}

// Answers with the PNG of an unprotected picture, which never changes:
// cached by browsers for good, and 304 to a browser that has it already.
void send_unchanging(const Request& req, Response& res, const shared_png& png) {
  res.headers.erase("Cache-Control");
  res.set_header("Cache-Control", std::string(unchanging));
  res.set_header("ETag", png->etag);
  if (names_tag(req.get_header_value("If-None-Match"), png->etag))
    res.status = 304;
  else
    send_png(res, png);
}

// The picture `id`, fetched with the form's password and read.
sng read_picture(const client::service_address& service, const std::string& id,
                 const form& fields, held_memory& memory) {
  const std::string text =
      client::fetch_picture(service, id, passwords(fields), memory.reserve());
  return client::parse_sng(text, "the picture " + id, memory.reserve());
}

// Whether `picture` is guarded by a password.
bool is_protected(const sng& picture) {
  return !picture.private_("PASW").empty();
}

// The secret a picture stored with a password keeps in its text chunk.
std::string secret_of(const sng& picture, const std::string& id) {
  if (!is_protected(picture))
    throw http_error(400, id + " is not protected by a password: its secret "
                               "is hidden in its pixels, and its positions "
                               "read it back");
  if (picture.keyword() != "flag")
    throw http_error(400, id + " keeps no secret in its text");
  // Two blanks stand before the secret: the one the layout puts after
  // "text:", which reading keeps, and the one the service adds when it reads
  // the stored picture. A secret, one word of a command line, never starts
  // with a blank of its own.
  constexpr std::size_t blanks_before = 2;
  const std::string text = picture.text();
  const std::size_t start =
      std::min(text.find_first_not_of(' '), blanks_before);
  return text.substr(std::min(start, text.size()));
}

// ------------------------------------------------------------ handlers

// The service, asked for the browser that sent `req`: named to it by the
// address of the socket's peer, never by a header, which anyone can write.
client::service_address for_browser(const client::service_address& service,
                                    const Request& req) {
  client::service_address asked = service;
  asked.on_behalf_of = client::proxied_client{req.remote_addr, req.remote_port,
                                              req.local_addr, req.local_port};
  return asked;
}

void send_list(const client::service_address& service, Response& res) {
  send_json(res, {{"ids", client::list_pictures(service)}});
}

// The SNG text to upload for the file the form sent: a PNG file converted,
// SNG text without its comments.
std::string upload_text(const httplib::MultipartFormData& file,
                        const std::string& secret, bool pixel_mode,
                        held_memory& memory) {
  const std::string name = file.filename.empty() ? "the file" : file.filename;
  if (!file.content.starts_with(png_signature)) {
    std::string text = client::sng_upload_text(file.content, memory.reserve());
    if (!client::has_sng_header(text))
      throw http_error(400, name +
                                " is neither a PNG file nor SNG text: "
                                "quarn-web stores PNG pictures and SNG text");
    return text;
  }
  std::ostream ignored_notes(nullptr);  // the stored picture shows them
  return converting(400, [&] {
    return client::png_upload_text(file.content, name, secret, pixel_mode,
                                   ignored_notes, memory.reserve());
  });
}

void store(const client::service_address& service, const form& fields,
           held_memory& memory, Response& res) {
  const httplib::MultipartFormData& file = required(fields, "file");
  const std::string& secret = required(fields, "secret").content;
  const std::optional<std::string> guard = password(fields);
  client::check_store_arguments(secret, guard);
  const client::stored_picture stored =
      client::store_picture(service, upload_text(file, secret, !guard, memory),
                            secret, guard, memory.reserve());
  json answer{{"id", stored.id}};
  if (!guard) answer["positions"] = client::format_positions(stored.positions);
  send_json(res, answer);
}

void reveal(const client::service_address& service, const std::string& id,
            const form& fields, held_memory& memory, Response& res) {
  const std::vector<pixel> positions =
      client::required_positions(required(fields, "positions").content);
  std::optional<sng> picture;
  try {
    picture.emplace(read_picture(service, id, fields, memory));
  } catch (const client::refusal& refused) {
    if (refused.reason() != "PASSWORD" || password(fields)) throw;
    throw http_error(403, "cannot read " + id +
                              ": it is protected by a password, and "
                              "unlocking it in the gallery shows its secret");
  }
  json answer{{"text", converting(400, [&] {
                 return client::hidden_text(*picture, positions);
               })}};
  if (is_protected(*picture))
    answer["note"] = id +
                     " is protected by a password: its secret is kept in its "
                     "text, and unlocking it in the gallery shows it";
  send_json(res, answer);
}

// ------------------------------------------------------------- serving

// The length a request announces for its body; 0 when it announces none.
std::uint64_t announced_length(const Request& req) {
  const std::string value = req.get_header_value("Content-Length");
  std::uint64_t length = 0;
  std::from_chars(value.data(), value.data() + value.size(), length);
  return length;
}

// Refused before their body is read: a request for a host quarn-web is not
// (a page of another site whose name resolves to this address); a body
// announced past the bound; a POST with a query string, which might carry a
// password in its URL; and a form posted from a page of another site, which
// is none of the gallery's.
httplib::Server::HandlerResponse screen(const host_names& hosts,
                                        const Request& req, Response& res) {
  if (!hosts.accept(req.get_header_value("Host"), req.local_addr))
    send_error(res, 421,
               "quarn-web does not answer under the host this request "
               "names; start it with --host NAME to add a name");
  else if (announced_length(req) > max_request_bytes)
    send_error(res, 413, too_large);
  else if (req.method != "POST")
    return httplib::Server::HandlerResponse::Unhandled;
  else if (req.target.find('?') != std::string::npos)
    send_error(res, 400, "send the fields in the request body, not the URL");
  else if (req.has_header("Origin") &&
           req.get_header_value("Origin") !=
               "http://" + req.get_header_value("Host"))
    send_error(res, 403, "forms posted from another site are refused");
  else
    return httplib::Server::HandlerResponse::Unhandled;
  res.set_header("Connection", "close");
  return httplib::Server::HandlerResponse::Handled;
}

// One line per request on standard error: method, path and status. Bodies,
// where passwords travel, and query strings are never written.
void log_request(const Request& req, const Response& res) {
  std::string path = req.path;
  for (char& c : path)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  std::cerr << req.method + " " + path + " " + std::to_string(res.status) +
                   "\n";
}

void serve_asset(httplib::Server& server, const std::string& path,
                 std::string_view content, const std::string& type) {
  server.Get(path, [content, type](const Request&, Response& res) {
    res.set_content(content.data(), content.size(), type);
  });
}

// Routes POST `pattern` to `work(req, fields, memory, res)` for the form.
template <class Work>
void post_form(httplib::Server& server, const std::shared_ptr<gallery>& shared,
               const std::string& pattern, exchange kind, Work work) {
  server.Post(pattern,
              [shared, kind, work](const Request& req, Response& res,
                                   const httplib::ContentReader& reader) {
                respond_to_form(*shared, req, res, reader, kind,
                                [&](const form& fields, held_memory& memory) {
                                  work(req, fields, memory, res);
                                });
              });
}

}  // namespace

void set_up_gallery(httplib::Server& server, const gallery_settings& settings) {
  const auto shared = std::make_shared<gallery>(settings);
  server.set_payload_max_length(max_request_bytes);
  server.set_default_headers(
      {{"Content-Security-Policy",
        "default-src 'self'; img-src 'self' blob:; base-uri 'none'; "
        "form-action 'self'; frame-ancestors 'none'"},
       {"X-Content-Type-Options", "nosniff"},
       {"Referrer-Policy", "no-referrer"},
       {"Cross-Origin-Resource-Policy", "same-origin"},
       {"Cache-Control", "no-store"}});
  const auto screen_request = [shared](const Request& req, Response& res) {
    return screen(shared->hosts, req, res);
  };
  server.set_pre_routing_handler(screen_request);
  server.set_expect_100_continue_handler([screen_request](const Request& req,
                                                          Response& res) {
    return screen_request(req, res) == httplib::Server::HandlerResponse::Handled
               ? res.status
               : 100;
  });
  server.set_logger(log_request);
  server.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty())
      send_error(res, res.status,
                 res.status == 413   ? too_large
                 : res.status == 404 ? "no such page"
                                     : "the request could not be read");
  });
  server.set_exception_handler(
      [](const Request&, Response& res, std::exception_ptr) {
        send_error(res, 500, "quarn-web failed (out of memory?)");
      });

  serve_asset(server, "/", assets::index_html, "text/html; charset=utf-8");
  serve_asset(server, "/gallery.css", assets::gallery_css,
              "text/css; charset=utf-8");
  serve_asset(server, "/gallery.js", assets::gallery_js,
              "text/javascript; charset=utf-8");
  serve_asset(server, "/favicon.svg", assets::favicon_svg, "image/svg+xml");

  server.Get("/api/pictures", [shared](const Request& req, Response& res) {
    respond(res, exchange::listing,
            [&] { send_list(for_browser(shared->service, req), res); });
  });
  server.Get(R"(/pictures/([^/]+)\.png)",
             [shared](const Request& req, Response& res) {
               respond(res, exchange::fetching, [&] {
                 const std::string id = req.matches[1];
                 send_unchanging(req, res, shared->pngs.get(id, [&] {
                   return convert_picture(
                       *shared, for_browser(shared->service, req), id, {});
                 }));
               });
             });
  post_form(server, shared, R"(/pictures/([^/]+)\.png)", exchange::fetching,
            [shared](const Request& req, const form& fields, held_memory&,
                     Response& res) {
              send_png(res, convert_picture(*shared,
                                            for_browser(shared->service, req),
                                            req.matches[1], passwords(fields)));
            });
  post_form(server, shared, R"(/pictures/([^/]+)/secret)", exchange::fetching,
            [shared](const Request& req, const form& fields,
                     held_memory& memory, Response& res) {
              const std::string id = req.matches[1];
              send_json(
                  res,
                  {{"secret",
                    secret_of(read_picture(for_browser(shared->service, req),
                                           id, fields, memory),
                              id)}});
            });
  post_form(server, shared, "/pictures", exchange::storing,
            [shared](const Request& req, const form& fields,
                     held_memory& memory, Response& res) {
              store(for_browser(shared->service, req), fields, memory, res);
            });
  post_form(server, shared, R"(/pictures/([^/]+)/reveal)", exchange::fetching,
            [shared](const Request& req, const form& fields,
                     held_memory& memory, Response& res) {
              reveal(for_browser(shared->service, req), req.matches[1], fields,
                     memory, res);
            });
}

}  // namespace web
