// quarn-web end to end: the real quarn-web, as a child process, in front of
// the real service, spoken to over HTTP with cpp-httplib's client. Pictures
// are written and read with libpng here, independently of the tool.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/line_client.h"
#include "support/pictures.h"
#include "support/private_network.h"
#include "support/service_process.h"
#include "support/tls_front.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr int web_port = 18371;

// ---------------------------------------------------------------- pictures

// An 8-bit RGBA picture, four bytes per pixel.
struct rgba_picture {
  unsigned width = 0;
  unsigned height = 0;
  std::vector<unsigned char> pixels;
};

rgba_picture test_picture(unsigned width, unsigned height) {
  rgba_picture picture{width, height, {}};
  for (unsigned i = 0; i < width * height * 4; ++i)
    picture.pixels.push_back(static_cast<unsigned char>(i * 37 + 11));
  return picture;
}

std::string encode(const rgba_picture& picture) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = picture.width;
  image.height = picture.height;
  image.format = PNG_FORMAT_RGBA;
  png_alloc_size_t size = 0;
  png_image_write_to_memory(&image, nullptr, &size, 0, picture.pixels.data(), 0,
                            nullptr);
  std::string bytes(size, '\0');
  EXPECT_TRUE(png_image_write_to_memory(&image, bytes.data(), &size, 0,
                                        picture.pixels.data(), 0, nullptr));
  bytes.resize(size);
  return bytes;
}

rgba_picture decode(const std::string& bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  rgba_picture picture;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    ADD_FAILURE() << "not a PNG";
    return picture;
  }
  image.format = PNG_FORMAT_RGBA;
  picture.width = image.width;
  picture.height = image.height;
  picture.pixels.resize(PNG_IMAGE_SIZE(image));
  EXPECT_TRUE(png_image_finish_read(&image, nullptr, picture.pixels.data(), 0,
                                    nullptr));
  return picture;
}

// ---------------------------------------------------------------- running

// How to start quarn-web: the service's port, more arguments, and
// entries ("NAME=value") added to its environment.
struct web_settings {
  std::string service_port = "18360";
  std::vector<std::string> arguments;
  std::vector<std::string> environment;
};

// quarn-web on port 18371 in front of the service; what it writes to
// standard error is kept in a file.
class web_process {
 public:
  explicit web_process(const web_settings& settings = {}) {
    char pattern[] = "/tmp/quarn-web-log-XXXXXX";
    const int log = ::mkstemp(pattern);
    log_ = pattern;
    std::vector<std::string> words = {QUARN_WEB_BINARY, "--listen",
                                      "127.0.0.1:" + std::to_string(web_port),
                                      "-p", settings.service_port};
    words.insert(words.end(), settings.arguments.begin(),
                 settings.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(log, 2);
      for (const std::string& entry : settings.environment)
        ::putenv(const_cast<char*>(entry.c_str()));
      ::execv(QUARN_WEB_BINARY, argv.data());
      ::_exit(127);
    }
    ::close(log);
    httplib::Client probe("127.0.0.1", web_port);
    for (int tries = 0; tries < 500 && !probe.Get("/gallery.css"); ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~web_process() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    fs::remove(log_);
  }
  web_process(const web_process&) = delete;
  web_process& operator=(const web_process&) = delete;

  std::string log() const {
    std::ifstream in(log_);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }

  // A figure of /proc/PID/status in kiB: "VmRSS", "VmHWM" (the peak).
  long memory_kib(const std::string& figure) const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with(figure + ":"))
        return std::stol(line.substr(figure.size() + 1));
    ADD_FAILURE() << "no " << figure;
    return 0;
  }

 private:
  pid_t pid_ = -1;
  fs::path log_;
};

httplib::MultipartFormDataItems form(
    const std::vector<std::pair<std::string, std::string>>& fields) {
  httplib::MultipartFormDataItems items;
  for (const auto& [name, value] : fields)
    items.push_back({name, value, name == "file" ? "picture" : "", ""});
  return items;
}

class web_gallery : public ::testing::Test {
 protected:
  service_process service;
  web_process web;
  httplib::Client http{"127.0.0.1", web_port};

  // Posts `fields` as a form; the answer must come.
  httplib::Result post(
      const std::string& path,
      const std::vector<std::pair<std::string, std::string>>& fields) {
    httplib::Result result = http.Post(path, form(fields));
    EXPECT_TRUE(result) << path;
    return result;
  }

  json post_json(const std::string& path,
                 const std::vector<std::pair<std::string, std::string>>& fields,
                 int status) {
    const httplib::Result result = post(path, fields);
    if (!result) return {};
    EXPECT_EQ(status, result->status) << result->body;
    EXPECT_EQ("application/json", result->get_header_value("Content-Type"));
    return json::parse(result->body);
  }

  json get_json(const std::string& path, int status) {
    const httplib::Result result = http.Get(path);
    if (!result) {
      ADD_FAILURE() << path;
      return {};
    }
    EXPECT_EQ(status, result->status) << result->body;
    return json::parse(result->body);
  }
};

// ------------------------------------------------------------ endpoints

TEST_F(web_gallery, serves_its_page_with_no_outside_sources) {
  for (const char* path : {"/", "/gallery.css", "/gallery.js"}) {
    const httplib::Result result = http.Get(path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(200, result->status) << path;
    EXPECT_FALSE(result->body.empty()) << path;
    EXPECT_TRUE(result->get_header_value("Content-Security-Policy")
                    .starts_with("default-src 'self';"));
  }
  const std::string page = http.Get("/")->body;
  EXPECT_NE(std::string::npos, page.find("<script src=\"/gallery.js\""));
  for (const std::string attribute : {"src=\"", "href=\""})
    for (std::size_t at = page.find(attribute); at != std::string::npos;
         at = page.find(attribute, at + 1))
      EXPECT_EQ('/', page[at + attribute.size()]) << page.substr(at, 40);
}

TEST_F(web_gallery, lists_the_pictures_oldest_first) {
  EXPECT_EQ(json::parse(R"({"ids": []})"), get_json("/api/pictures", 200));
  const std::string png = encode(test_picture(4, 4));
  post_json("/pictures", {{"file", png}, {"secret", "a"}, {"password", "p"}},
            200);
  post_json("/pictures", {{"file", png}, {"secret", "b"}}, 200);
  EXPECT_EQ(json::parse(R"({"ids": ["1.sng", "2.sng"]})"),
            get_json("/api/pictures", 200));
}

TEST_F(web_gallery, a_png_comes_back_with_identical_pixels) {
  const rgba_picture sent = test_picture(7, 5);
  EXPECT_EQ(json::parse(R"({"id": "1.sng"})"),
            post_json("/pictures",
                      {{"file", encode(sent)},
                       {"secret", "s3cret"},
                       {"password", "tr0ub4dor"}},
                      200));
  const httplib::Result result =
      post("/pictures/1.sng.png", {{"password", "tr0ub4dor"}});
  ASSERT_TRUE(result);
  EXPECT_EQ(200, result->status);
  EXPECT_EQ("image/png", result->get_header_value("Content-Type"));
  const rgba_picture back = decode(result->body);
  EXPECT_EQ(sent.width, back.width);
  EXPECT_EQ(sent.height, back.height);
  EXPECT_EQ(sent.pixels, back.pixels);
}

TEST_F(web_gallery, hidden_text_is_revealed_from_the_positions) {
  const json stored = post_json(
      "/pictures",
      {{"file", encode(test_picture(8, 8))}, {"secret", "attack@dawn"}}, 200);
  EXPECT_EQ("1.sng", stored["id"]);
  const std::string positions = stored["positions"];

  const httplib::Result picture = http.Get("/pictures/1.sng.png");
  ASSERT_TRUE(picture);
  EXPECT_EQ(200, picture->status);
  EXPECT_EQ(8u, decode(picture->body).width);

  EXPECT_EQ(
      json::parse(R"({"text": "attack@dawn"})"),
      post_json("/pictures/1.sng/reveal", {{"positions", positions}}, 200));
}

// --------------------------------------------------------------- errors

TEST_F(web_gallery, a_protected_picture_opens_only_with_its_password) {
  post_json("/pictures",
            {{"file", encode(test_picture(4, 4))},
             {"secret", "s"},
             {"password", "letmein"}},
            200);
  EXPECT_EQ(403, http.Get("/pictures/1.sng.png")->status);
  EXPECT_EQ(json::parse(R"({"error": "cannot get 1.sng: wrong password"})"),
            post_json("/pictures/1.sng.png", {{"password", "nope"}}, 403));
  post_json("/pictures/1.sng/reveal", {{"positions", "0:0"}}, 403);
}

// Stores a protected picture through quarn-web and guesses its password
// from one browser address until the right one is refused too; the service
// logs that address, and another address still opens the picture.
void expect_wrong_passwords_counted_per_browser(
    const service_process& service) {
  const auto status = [](httplib::Client& browser, const std::string& word) {
    const httplib::Result result =
        browser.Post("/pictures/1.sng.png", form({{"password", word}}));
    return result ? result->status : 0;
  };
  httplib::Client owner("127.0.0.1", web_port);
  const httplib::Result stored =
      owner.Post("/pictures", form({{"file", encode(test_picture(4, 4))},
                                    {"secret", "s"},
                                    {"password", "letmein"}}));
  ASSERT_TRUE(stored && stored->status == 200);
  httplib::Client guesser("127.0.0.1", web_port);
  guesser.set_interface("192.0.2.7");
  // Wrong passwords until the right one is refused too; a right one that
  // passes costs nothing.
  for (int wrong = 0; status(guesser, "letmein") == 200 && wrong < 320;)
    for (const int end = wrong + 8; wrong < end; ++wrong)
      EXPECT_EQ(403, status(guesser, "guess" + std::to_string(wrong)));
  EXPECT_EQ(403, status(guesser, "letmein"));
  EXPECT_TRUE(logged(service, "WARN", "password_budget_spent",
                     "peer=192.0.2.7:[0-9]* picture=1.sng"));

  httplib::Client other("127.0.0.1", web_port);
  other.set_interface("192.0.2.8");
  EXPECT_EQ(200, status(other, "letmein"));
}

TEST_F(web_gallery, wrong_passwords_are_counted_per_browser_address) {
  if (!can_bind_address("192.0.2.7"))
    GTEST_SKIP() << "no documentation network is local here";
  expect_wrong_passwords_counted_per_browser(service);
}

// quarn-web reaching the service through the TLS front that quarn ships
// (support/tls_front.h), which names quarn-web to the service in a PROXY
// line before quarn-web names the browser in its own.
class web_through_tls : public service_behind_tls_front {
 protected:
  void SetUp() override {
    service_behind_tls_front::SetUp();
    if (IsSkipped()) return;
    web.emplace(web_settings{
        .service_port = std::to_string(tls_front::port),
        .arguments = {"--tls", "--ca", front->ca_file().string()}});
  }

  std::optional<web_process> web;
};

TEST_F(web_through_tls, wrong_passwords_are_counted_per_browser_address) {
  expect_wrong_passwords_counted_per_browser(service);
}

TEST_F(web_gallery, an_unknown_picture_is_not_found) {
  EXPECT_EQ(
      json::parse(
          R"({"error": "cannot get 9.sng: no picture has that identifier"})"),
      get_json("/pictures/9.sng.png", 404));
  post_json("/pictures/9.sng/reveal", {{"positions", "0:0"}}, 404);
  get_json("/nothing", 404);
}

TEST_F(web_gallery, bad_input_is_refused_with_its_reason) {
  const std::string png = encode(test_picture(4, 4));
  const std::pair<std::vector<std::pair<std::string, std::string>>, std::string>
      uploads[] = {
          {{{"secret", "s"}}, "the form lacks the field \"file\""},
          {{{"file", png}, {"secret", "two words"}},
           "the secret cannot hold a blank or a line feed: the protocol "
           "carries it as one word"},
          {{{"file", "IHDR {\n"}, {"secret", "s"}},
           "cannot store the picture: the picture's SNG text does not parse"},
          {{{"file", png}, {"secret", "too-long-for-16-pixels"}},
           "cannot store the picture: the secret cannot be hidden in the "
           "picture's pixels (it needs two pixels per byte, a bit depth of 4 "
           "or more, and in a palette picture room for one new colour per "
           "byte)"},
          {{{"file", "GIF89a"}, {"secret", "s"}},
           "picture is neither a PNG file nor SNG text: quarn-web stores PNG "
           "pictures and SNG text"},
          {{{"file", "\x89PNG\r\n\x1a\n broken"}, {"secret", "s"}},
           "picture is a damaged PNG file: Read Error"},
      };
  for (const auto& [fields, message] : uploads)
    EXPECT_EQ(message, post_json("/pictures", fields, 400)["error"]);

  post_json("/pictures", {{"file", png}, {"secret", "s"}}, 200);
  EXPECT_EQ("bad positions \"0:0 x\": write them x:y, separated by blanks",
            post_json("/pictures/1.sng/reveal", {{"positions", "0:0 x"}},
                      400)["error"]);
  EXPECT_EQ("position 4:0 lies outside the 4 x 4 picture",
            post_json("/pictures/1.sng/reveal", {{"positions", "4:0"}},
                      400)["error"]);
}

TEST_F(web_gallery, form_fields_travel_only_in_a_form_body) {
  EXPECT_EQ(400, post("/pictures/1.sng.png?password=x", {})->status);
  const httplib::Result plain = http.Post("/pictures/1.sng.png", "password=x",
                                          "application/x-www-form-urlencoded");
  ASSERT_TRUE(plain);
  EXPECT_EQ(415, plain->status);
}

TEST_F(web_gallery, forms_posted_from_another_site_are_refused) {
  const httplib::Result result =
      http.Post("/pictures/1.sng.png", {{"Origin", "http://elsewhere.example"}},
                form({{"password", "guess"}}));
  ASSERT_TRUE(result);
  EXPECT_EQ(403, result->status);
}

TEST_F(web_gallery, passwords_never_reach_the_log) {
  post_json("/pictures",
            {{"file", encode(test_picture(4, 4))},
             {"secret", "s"},
             {"password", "hunter2-secret"}},
            200);
  post("/pictures/1.sng.png", {{"password", "hunter2-secret"}});
  http.Get("/pictures/1.sng.png?password=hunter2-secret");
  const std::string log = web.log();
  EXPECT_NE(std::string::npos, log.find("POST /pictures/1.sng.png 200\n"))
      << log;
  EXPECT_EQ(std::string::npos, log.find("hunter2")) << log;
}

// --------------------------------------------------------------- limits

TEST_F(web_gallery, an_upload_the_service_would_refuse_is_never_sent) {
  const std::string long_line =
      "IHDR {\n" + std::string(4194305, 'x') + "\n}\n";
  EXPECT_EQ(
      "the picture's SNG text has a line longer than 4194304 bytes, the most "
      "the service accepts",
      post_json("/pictures", {{"file", long_line}, {"secret", "s"}},
                413)["error"]);
  EXPECT_EQ(json::parse(R"({"ids": []})"), get_json("/api/pictures", 200));
}

// A raw connection to quarn-web, for requests no HTTP client would send,
// from the client address `source` (any address of 127.0.0.0/8 is local).
class raw_connection {
 public:
  explicit raw_connection(const char* source = "127.0.0.1") {
    descriptor_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &address.sin_addr);
    EXPECT_EQ(0, ::bind(descriptor_, reinterpret_cast<sockaddr*>(&address),
                        sizeof address));
    address.sin_port = htons(web_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, ::connect(descriptor_, reinterpret_cast<sockaddr*>(&address),
                           sizeof address));
  }
  ~raw_connection() { ::close(descriptor_); }
  raw_connection(const raw_connection&) = delete;
  raw_connection& operator=(const raw_connection&) = delete;

  void send(const std::string& bytes) {
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()),
              ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }
  // Everything quarn-web sends until it closes, waiting at most `limit`.
  std::string read_to_close(std::chrono::seconds limit) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    pollfd entry{descriptor_, POLLIN, 0};
    while (std::chrono::steady_clock::now() < deadline &&
           ::poll(&entry, 1, 100) >= 0) {
      if (!(entry.revents & POLLIN)) continue;
      char chunk[4096];
      const ssize_t count = ::recv(descriptor_, chunk, sizeof chunk, 0);
      if (count <= 0) return received;
      received.append(chunk, static_cast<std::size_t>(count));
    }
    ADD_FAILURE() << "quarn-web did not close the connection";
    return received;
  }
  // Sends what a closed connection may refuse, as a slow client goes on
  // sending until it notices.
  void offer(const std::string& bytes) {
    ::send(descriptor_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Whether quarn-web has closed the connection, waiting up to `limit`.
  bool closed_within(std::chrono::milliseconds limit) {
    pollfd entry{descriptor_, POLLIN, 0};
    char byte;
    return ::poll(&entry, 1, static_cast<int>(limit.count())) == 1 &&
           ::recv(descriptor_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
  }

 private:
  int descriptor_ = -1;
};

TEST_F(web_gallery, a_body_past_the_bound_is_refused_unread) {
  raw_connection connection;
  connection.send(
      "POST /pictures HTTP/1.1\r\nHost: 127.0.0.1:18371\r\n"
      "Connection: close\r\n"
      "Content-Type: multipart/form-data; boundary=b\r\n"
      "Content-Length: 1000000000\r\n\r\n");
  EXPECT_TRUE(connection.read_to_close(std::chrono::seconds(5))
                  .starts_with("HTTP/1.1 413 Payload Too Large\r\n"));
}

TEST_F(web_gallery, a_client_that_stalls_is_dropped) {
  raw_connection connection;
  connection.send("GET / HTTP/1.1\r\nHost: 12");
  const std::string answer = connection.read_to_close(std::chrono::seconds(15));
  EXPECT_TRUE(answer.empty() || answer.starts_with("HTTP/1.1 400 ")) << answer;
}

TEST(web_without_service, an_unreachable_service_is_a_bad_gateway) {
  const web_process web({.service_port = "1"});
  httplib::Client http("127.0.0.1", web_port);
  const httplib::Result result = http.Get("/api/pictures");
  ASSERT_TRUE(result);
  EXPECT_EQ(502, result->status);
  EXPECT_TRUE(json::parse(result->body)["error"].get<std::string>().starts_with(
      "cannot reach quarn at 127.0.0.1:1: "));
}

// ------------------------------------------------------ hosts and caching

TEST(web_hosts, a_request_for_another_host_gets_421_and_nothing_else) {
  const service_process service;
  const web_process web({.arguments = {"--host", "Gallery.example"}});
  httplib::Client http("127.0.0.1", web_port);
  const std::string png = encode(test_picture(4, 4));
  const httplib::Result foreign = http.Post(
      "/pictures",
      {{"Host", "evil.example:18371"}, {"Origin", "http://evil.example:18371"}},
      form({{"file", png}, {"secret", "s"}}));
  ASSERT_TRUE(foreign);
  EXPECT_EQ(421, foreign->status);
  for (const char* host :
       {"127.0.0.1:18371", "localhost:18371", "gallery.example:18371"}) {
    const httplib::Result named = http.Get("/api/pictures", {{"Host", host}});
    ASSERT_TRUE(named) << host;
    EXPECT_EQ(R"({"ids":[]})", named->body) << host;
  }
}

TEST_F(web_gallery, an_unprotected_picture_is_cached_for_good_and_answers_304) {
  const std::string png = encode(test_picture(4, 4));
  post_json("/pictures", {{"file", png}, {"secret", "s"}}, 200);
  const httplib::Result first = http.Get("/pictures/1.sng.png");
  ASSERT_TRUE(first);
  EXPECT_EQ("public, max-age=31536000, immutable",
            first->get_header_value("Cache-Control"));
  EXPECT_EQ("same-origin",
            first->get_header_value("Cross-Origin-Resource-Policy"));
  const std::string etag = first->get_header_value("ETag");
  ASSERT_FALSE(etag.empty());
  const httplib::Result again =
      http.Get("/pictures/1.sng.png", {{"If-None-Match", etag}});
  ASSERT_TRUE(again);
  EXPECT_EQ(304, again->status);
  EXPECT_EQ(etag, again->get_header_value("ETag"));
  EXPECT_EQ("", again->body);

  post_json("/pictures", {{"file", png}, {"secret", "s"}, {"password", "p"}},
            200);
  const httplib::Result opened =
      post("/pictures/2.sng.png", {{"password", "p"}});
  ASSERT_TRUE(opened);
  EXPECT_EQ(200, opened->status);
  EXPECT_EQ("no-store", opened->get_header_value("Cache-Control"));
  EXPECT_EQ("", opened->get_header_value("ETag"));
}

TEST_F(web_gallery, a_protected_picture_tells_its_secret_only_when_unlocked) {
  const std::string png = encode(test_picture(8, 8));
  post_json("/pictures",
            {{"file", png}, {"secret", "s3cret"}, {"password", "tr0ub4dor"}},
            200);
  post_json("/pictures", {{"file", png}, {"secret", "s"}}, 200);
  EXPECT_EQ(
      json::parse(R"({"secret": "s3cret"})"),
      post_json("/pictures/1.sng/secret", {{"password", "tr0ub4dor"}}, 200));
  post_json("/pictures/1.sng/secret", {{"password", "nope"}}, 403);
  post_json("/pictures/2.sng/secret", {}, 400);
  // Its pixels hide nothing: reading them says where the secret is.
  EXPECT_TRUE(post_json("/pictures/1.sng/reveal",
                        {{"positions", "0:0"}, {"password", "tr0ub4dor"}}, 200)
                  .contains("note"));
}

// --------------------------------------------------------- slow clients

// Three requests on one kept-alive connection, each answered at once: an
// answer written in two parts is not held back until the client
// acknowledges the first (Nagle's algorithm meets delayed acknowledgements
// after the first answer, for 40 ms each).
TEST_F(web_gallery, requests_on_a_kept_alive_connection_are_not_held_back) {
  http.set_keep_alive(true);
  ASSERT_TRUE(http.Get("/gallery.css"));
  for (int request = 0; request < 3; ++request) {
    const auto start = std::chrono::steady_clock::now();
    const httplib::Result answer = http.Get("/gallery.js");
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(answer);
    EXPECT_LT(took, std::chrono::milliseconds(30)) << "request " << request;
  }
}

// Test settings: stalls and the headers deadline of `ms` milliseconds,
// bodies due within ten times that.
std::string stalls_of(int ms) {
  return "QUARN_WEB_TEST_STALL_MS=" + std::to_string(ms);
}

TEST(web_slow_clients, headers_that_trickle_are_cut_off_and_others_are_served) {
  const service_process service;
  const web_process web({.environment = {stalls_of(1000)}});
  std::vector<std::unique_ptr<raw_connection>> slow;
  for (int i = 0; i < 8; ++i) {
    slow.push_back(std::make_unique<raw_connection>("127.0.0.2"));
    slow.back()->send("GET / HTTP/1.1\r\n");
  }
  // One address holds two connections; the others are closed at once,
  // well before the two are due.
  const auto closed = [&] {
    return std::count_if(slow.begin(), slow.end(), [](const auto& connection) {
      return connection->closed_within(std::chrono::milliseconds(0));
    });
  };
  const auto soon =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(600);
  while (closed() < 6 && std::chrono::steady_clock::now() < soon)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(6, closed());

  httplib::Client http("127.0.0.1", web_port);
  const auto start = std::chrono::steady_clock::now();
  bool served = true;
  for (int line = 0; line < 20; ++line) {  // a header line every 100 ms
    for (const auto& connection : slow) connection->offer("X-Slow: 1\r\n");
    const httplib::Result page = http.Get(line % 2 ? "/" : "/api/pictures");
    served = served && page && page->status == 200;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(served);
  // Sending all along, they were cut off once their headers were due.
  for (const auto& connection : slow)
    connection->read_to_close(std::chrono::seconds(1));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(web_slow_clients, bodies_that_trickle_hold_no_form_slot_and_end_in_408) {
  const service_process service;
  const web_process web({.environment = {stalls_of(500)}});
  const char* sources[] = {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6",
                           "127.0.0.7"};
  std::vector<std::unique_ptr<raw_connection>> slow;
  for (const char* source : sources) {
    slow.push_back(std::make_unique<raw_connection>(source));
    slow.back()->send(
        "POST /pictures HTTP/1.1\r\nHost: 127.0.0.1:18371\r\n"
        "Content-Type: multipart/form-data; boundary=b\r\n"
        "Content-Length: 100000\r\n\r\n--b\r\n"
        "Content-Disposition: form-data; name=\"secret\"\r\n\r\n");
  }
  httplib::Client http("127.0.0.1", web_port);
  const std::string png = encode(test_picture(4, 4));
  for (int step = 0; step < 60; ++step) {  // a byte every 100 ms, for 6 s
    for (const auto& connection : slow) connection->offer("x");
    if (step == 5) {
      const httplib::Result stored =
          http.Post("/pictures",
                    form({{"file", png}, {"secret", "s"}, {"password", "p"}}));
      ASSERT_TRUE(stored);
      EXPECT_EQ(200, stored->status) << stored->body;
      const httplib::Result opened =
          http.Post("/pictures/1.sng.png", form({{"password", "p"}}));
      ASSERT_TRUE(opened);
      EXPECT_EQ(200, opened->status) << opened->body;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (const auto& connection : slow)
    EXPECT_TRUE(connection->read_to_close(std::chrono::seconds(2))
                    .starts_with("HTTP/1.1 408 Request Timeout\r\n"));
}

// ----------------------------------------------------------------- memory

// The status of the answer to `request`, sent from `source`, once the
// answer has come whole.
int raw_status(const char* source, const std::string& request) {
  raw_connection connection(source);
  connection.send(request);
  const std::string answer = connection.read_to_close(std::chrono::seconds(60));
  return answer.starts_with("HTTP/1.1 ") ? std::stoi(answer.substr(9, 3)) : 0;
}

// Stores `text` with putpic, in password mode with `password` when it is
// not empty; returns the identifier.
std::string store_directly(const std::string& text,
                           const std::string& password) {
  line_client service;
  service.send_line(password.empty() ? "putpic s" : "putpic s " + password);
  service.send_block(text);
  const std::string answer = service.line();
  return answer.substr(0, answer.find(';'));
}

TEST(web_memory, parallel_conversions_stay_within_the_budget) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "sanitizers hold freed memory: measured without them";
#endif
  constexpr long budget_mib = 160;
  const service_process service;
  const web_process web({.environment = {"QUARN_WEB_TEST_BUDGET_MIB=" +
                                         std::to_string(budget_mib)}});
  // 25 MB of SNG text: 1900 x 1900 pixels of 8-bit RGB.
  const std::string text = rgb_picture(1900, 1900, "3a7bd5");
  const std::string open = store_directly(text, "");
  const std::string guarded = store_directly(text, "pw");
  const long before = web.memory_kib("VmRSS");

  const std::string form_body =
      "--b\r\nContent-Disposition: form-data; name=\"password\"\r\n\r\n"
      "pw\r\n--b--\r\n";
  const std::string requests[] = {
      "GET /pictures/" + open +
          ".png HTTP/1.1\r\nHost: 127.0.0.1:18371\r\nConnection: close\r\n\r\n",
      "POST /pictures/" + guarded +
          ".png HTTP/1.1\r\nHost: 127.0.0.1:18371\r\nConnection: close\r\n"
          "Content-Type: multipart/form-data; boundary=b\r\n"
          "Content-Length: " +
          std::to_string(form_body.size()) + "\r\n\r\n" + form_body};
  for (const std::string& request : requests) {
    std::vector<std::thread> clients;
    std::vector<int> statuses(8);
    for (int i = 0; i < 8; ++i)
      clients.emplace_back([&, i] {
        const std::string source = "127.0.1." + std::to_string(i + 1);
        statuses[i] = raw_status(source.c_str(), request);
      });
    for (std::thread& client : clients) client.join();
    for (const int status : statuses)
      EXPECT_TRUE(status == 200 || status == 503) << status;
    EXPECT_NE(statuses.end(), std::find(statuses.begin(), statuses.end(), 200));
  }
  const long peak = web.memory_kib("VmHWM");
  std::cout << "quarn-web held " << before / 1024 << " MiB, at most "
            << peak / 1024 << " MiB, with a budget of " << budget_mib
            << " MiB\n";
  EXPECT_LE(peak - before, budget_mib * 1024);
}

TEST(web_memory, a_conversion_past_the_budget_gets_503) {
  const service_process service;
  const web_process web({.environment = {"QUARN_WEB_TEST_BUDGET_MIB=1"}});
  const std::string id = store_directly(rgb_picture(400, 400), "");
  httplib::Client http("127.0.0.1", web_port);
  const httplib::Result answer = http.Get("/pictures/" + id + ".png");
  ASSERT_TRUE(answer);
  EXPECT_EQ(503, answer->status) << answer->body;
}

TEST_F(web_gallery, a_stored_picture_png_cannot_hold_gets_422) {
  const std::string id = store_directly(
      sng_text({.width = 2, .height = 2, .bitdepth = 12, .pixel = "fff000fff"}),
      "");
  const httplib::Result answer = http.Get("/pictures/" + id + ".png");
  ASSERT_TRUE(answer);
  EXPECT_EQ(422, answer->status) << answer->body;
}

}  // namespace
