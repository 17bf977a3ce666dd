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

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/private_network.h"
#include "support/service_process.h"

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

// quarn-web on port 18371 in front of the service at `service_port`; what
// it writes to standard error is kept in a file.
class web_process {
 public:
  explicit web_process(const std::string& service_port = "18360") {
    char pattern[] = "/tmp/quarn-web-log-XXXXXX";
    const int log = ::mkstemp(pattern);
    log_ = pattern;
    const std::string listen = "127.0.0.1:" + std::to_string(web_port);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(log, 2);
      ::execl(QUARN_WEB_BINARY, QUARN_WEB_BINARY, "--listen", listen.c_str(),
              "-p", service_port.c_str(), static_cast<char*>(nullptr));
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

TEST_F(web_gallery, wrong_passwords_are_counted_per_browser_address) {
  if (!can_bind_address("192.0.2.7"))
    GTEST_SKIP() << "no documentation network is local here";
  post_json("/pictures",
            {{"file", encode(test_picture(4, 4))},
             {"secret", "s"},
             {"password", "letmein"}},
            200);
  const auto status = [](httplib::Client& browser, const std::string& word) {
    const httplib::Result result =
        browser.Post("/pictures/1.sng.png", form({{"password", word}}));
    return result ? result->status : 0;
  };
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
          {{{"file", "\x89PNG\r\n\x1a\n broken"}, {"secret", "s"}},
           "picture: Read Error"},
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

// A raw connection to quarn-web, for requests no HTTP client would send.
class raw_connection {
 public:
  raw_connection() {
    descriptor_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
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

 private:
  int descriptor_ = -1;
};

TEST_F(web_gallery, a_body_past_the_bound_is_refused_unread) {
  raw_connection connection;
  connection.send(
      "POST /pictures HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
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
  const web_process web("1");
  httplib::Client http("127.0.0.1", web_port);
  const httplib::Result result = http.Get("/api/pictures");
  ASSERT_TRUE(result);
  EXPECT_EQ(502, result->status);
  EXPECT_TRUE(json::parse(result->body)["error"].get<std::string>().starts_with(
      "cannot reach quarn at 127.0.0.1:1: "));
}

}  // namespace
