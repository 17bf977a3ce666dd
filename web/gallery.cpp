#include "web/gallery.h"

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string_view>

#include "client/errors.h"
#include "client/pictures.h"
#include "client/positions.h"
#include "client/sng_convert.h"
#include "net/limits.h"
#include "web/assets.h"

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

// A request body must arrive whole within this time of the handler's start,
// checked as each part's headers and each piece of content arrive; past it
// the request is answered 408. Between those moments only
// http_stall_timeout bounds a client that sends slowly.
constexpr std::chrono::minutes body_deadline{10};

// Most form requests (POST) handled at once. Past it a form is answered 503
// before its body is read, so that slow uploads leave the rest of httplib's
// workers (8 or more) to pages and pictures.
constexpr int max_forms_in_flight = 4;

// A client that sends nothing of its request, or takes nothing of an answer,
// for this long is dropped.
constexpr std::chrono::seconds http_stall_timeout{5};

// The eight bytes every PNG file starts with.
constexpr std::string_view png_signature = "\x89PNG\r\n\x1a\n";

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

// The form requests being handled, shared by the handlers of one server.
class form_slots {
 public:
  // Takes a slot, when one is free.
  bool take() {
    if (in_use_.fetch_add(1) < max_forms_in_flight) return true;
    in_use_.fetch_sub(1);
    return false;
  }
  void give_back() { in_use_.fetch_sub(1); }

 private:
  std::atomic<int> in_use_{0};
};

// Answers a form request as respond does while a slot is free, 503
// otherwise; the body of a refused request is not read, so its connection
// is closed.
template <class Work>
void respond_to_form(form_slots& slots, Response& res, exchange kind,
                     Work work) {
  if (!slots.take()) {
    send_error(res, 503, "quarn-web is busy with other forms; try again");
    res.set_header("Connection", "close");
    return;
  }
  struct slot_holder {
    form_slots& slots;
    ~slot_holder() { slots.give_back(); }
  } holder{slots};
  respond(res, kind, work);
}

using form = std::map<std::string, httplib::MultipartFormData>;

// The fields of the request's multipart/form-data body, read within the
// limits of size and time.
form read_form(const Request& req, const httplib::ContentReader& reader) {
  if (!req.is_multipart_form_data())
    throw http_error(415, "send the fields as multipart/form-data");
  form fields;
  std::string* content = nullptr;
  std::string duplicate;
  std::size_t received = 0;
  bool too_slow = false;
  const auto deadline = std::chrono::steady_clock::now() + body_deadline;
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

void send_picture(const client::service_address& service, const std::string& id,
                  const std::vector<std::string>& passwords, Response& res) {
  const std::string text = client::fetch_picture(service, id, passwords);
  std::ostream ignored_notes(nullptr);  // the picture itself shows them
  res.set_content(converting(422,
                             [&] {
                               return client::png_of(text, "the picture " + id,
                                                     ignored_notes);
                             }),
                  "image/png");
}

std::string upload_text(const httplib::MultipartFormData& file,
                        const std::string& secret, bool pixel_mode) {
  return converting(400, [&] {
    if (!file.content.starts_with(png_signature))
      return client::sng_upload_text(file.content);
    const std::string name = file.filename.empty() ? "the file" : file.filename;
    std::ostream ignored_notes(nullptr);  // the stored picture shows them
    return client::png_upload_text(file.content, name, secret, pixel_mode,
                                   ignored_notes);
  });
}

void store(const client::service_address& service, const form& fields,
           Response& res) {
  const httplib::MultipartFormData& file = required(fields, "file");
  const std::string& secret = required(fields, "secret").content;
  const std::optional<std::string> guard = password(fields);
  client::check_store_arguments(secret, guard);
  const client::stored_picture stored = client::store_picture(
      service, upload_text(file, secret, !guard), secret, guard);
  json answer{{"id", stored.id}};
  if (!guard) answer["positions"] = client::format_positions(stored.positions);
  send_json(res, answer);
}

void reveal(const client::service_address& service, const std::string& id,
            const form& fields, Response& res) {
  const std::vector<pixel> positions =
      client::required_positions(required(fields, "positions").content);
  const sng picture =
      client::parse_sng(client::fetch_picture(service, id, passwords(fields)),
                        "the picture " + id);
  send_json(res, {{"text", converting(400, [&] {
                     return client::hidden_text(picture, positions);
                   })}});
}

// ------------------------------------------------------------- serving

// The length a request announces for its body; 0 when it announces none.
std::uint64_t announced_length(const Request& req) {
  const std::string value = req.get_header_value("Content-Length");
  std::uint64_t length = 0;
  std::from_chars(value.data(), value.data() + value.size(), length);
  return length;
}

// Refused before their body is read: a body announced past the bound; a
// POST with a query string, which might carry a password in its URL; and a
// form posted from a page of another site, which is none of the gallery's.
httplib::Server::HandlerResponse screen(const Request& req, Response& res) {
  if (announced_length(req) > max_request_bytes)
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

}  // namespace

void set_up_gallery(httplib::Server& server,
                    const client::service_address& service) {
  server.set_payload_max_length(max_request_bytes);
  server.set_read_timeout(http_stall_timeout);
  server.set_write_timeout(http_stall_timeout);
  server.set_default_headers(
      {{"Content-Security-Policy",
        "default-src 'self'; img-src 'self' blob:; base-uri 'none'; "
        "form-action 'self'; frame-ancestors 'none'"},
       {"X-Content-Type-Options", "nosniff"},
       {"Referrer-Policy", "no-referrer"},
       {"Cache-Control", "no-store"}});
  server.set_pre_routing_handler(screen);
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

  server.Get("/api/pictures", [service](const Request& req, Response& res) {
    respond(res, exchange::listing,
            [&] { send_list(for_browser(service, req), res); });
  });
  server.Get(R"(/pictures/([^/]+)\.png)", [service](const Request& req,
                                                    Response& res) {
    respond(res, exchange::fetching, [&] {
      send_picture(for_browser(service, req), req.matches[1], {}, res);
    });
  });
  const auto slots = std::make_shared<form_slots>();
  server.Post(R"(/pictures/([^/]+)\.png)",
              [service, slots](const Request& req, Response& res,
                               const httplib::ContentReader& reader) {
                respond_to_form(*slots, res, exchange::fetching, [&] {
                  send_picture(for_browser(service, req), req.matches[1],
                               passwords(read_form(req, reader)), res);
                });
              });
  server.Post("/pictures",
              [service, slots](const Request& req, Response& res,
                               const httplib::ContentReader& reader) {
                respond_to_form(*slots, res, exchange::storing, [&] {
                  store(for_browser(service, req), read_form(req, reader), res);
                });
              });
  server.Post(R"(/pictures/([^/]+)/reveal)",
              [service, slots](const Request& req, Response& res,
                               const httplib::ContentReader& reader) {
                respond_to_form(*slots, res, exchange::fetching, [&] {
                  reveal(for_browser(service, req), req.matches[1],
                         read_form(req, reader), res);
                });
              });
}

}  // namespace web
