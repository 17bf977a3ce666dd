// quarn-cli end to end: the tool runs as a child process, against the real
// service started in a temporary directory or against a stand-in that gives
// canned answers. The test pictures are written and read with libpng here,
// independently of the tool.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <png.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "support/pictures.h"
#include "support/private_network.h"
#include "support/service_process.h"
#include "support/tls_front.h"

namespace {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- pictures

// A PNG as the file stores it: header, palette, transparency, rows packed
// below 8 bits and big-endian at 16.
struct png_file {
  int color_type = PNG_COLOR_TYPE_RGB;
  int bit_depth = 8;
  png_uint_32 width = 9;
  png_uint_32 height = 7;
  std::vector<png_color> palette;
  std::vector<png_byte> palette_alpha;  // tRNS of a palette picture
  bool colour_key = false;              // tRNS of a grey or RGB picture
  png_color_16 key{};
  std::vector<std::vector<png_byte>> rows;
  std::string keyword;
  std::string text;
  bool interlaced = false;
};

int channels_of(int color_type) {
  switch (color_type) {
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    case PNG_COLOR_TYPE_RGB_ALPHA:
      return 4;
  }
  return 1;
}

// Samples (or indices) by pixel, packed into rows as PNG stores them.
std::vector<std::vector<png_byte>> pack_rows(
    const png_file& picture, const std::vector<unsigned>& samples) {
  const int per_row =
      static_cast<int>(picture.width) * channels_of(picture.color_type);
  std::vector<std::vector<png_byte>> rows;
  for (png_uint_32 y = 0; y < picture.height; ++y) {
    std::vector<png_byte> row((per_row * picture.bit_depth + 7) / 8, 0);
    for (int i = 0; i < per_row; ++i) {
      const unsigned value = samples[y * per_row + i];
      if (picture.bit_depth == 16) {
        row[2 * i] = static_cast<png_byte>(value >> 8);
        row[2 * i + 1] = static_cast<png_byte>(value);
      } else {
        const int bit = i * picture.bit_depth;
        row[bit / 8] |=
            static_cast<png_byte>(value << (8 - picture.bit_depth - bit % 8));
      }
    }
    rows.push_back(row);
  }
  return rows;
}

// A test picture of `color_type` and `bit_depth`: samples spread over the
// whole range, a palette of distinct colours (all 2^depth entries below 8
// bits, 200 at 8 bits or `palette_size`), and with `transparency` a tRNS
// chunk.
png_file make_png(int color_type, int bit_depth, bool transparency,
                  unsigned palette_size = 0) {
  png_file picture;
  picture.color_type = color_type;
  picture.bit_depth = bit_depth;
  const unsigned max = (1u << bit_depth) - 1;
  unsigned range = max + 1;
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    range = palette_size ? palette_size : bit_depth == 8 ? 200 : max + 1;
    for (unsigned i = 0; i < range; ++i)
      picture.palette.push_back({static_cast<png_byte>(i),
                                 static_cast<png_byte>(255 - i),
                                 static_cast<png_byte>(i * 7 / 3)});
    if (transparency) picture.palette_alpha = {0, 128};
  }
  std::vector<unsigned> samples;
  const int count = static_cast<int>(picture.width * picture.height) *
                    channels_of(color_type);
  for (int i = 0; i < count; ++i)
    samples.push_back(static_cast<unsigned>(i * 40503u + 12345u) % range);
  if (transparency && color_type != PNG_COLOR_TYPE_PALETTE) {
    picture.colour_key = true;  // the first pixel's colour is transparent
    const auto first = static_cast<png_uint_16>(samples[0]);
    picture.key.gray = picture.key.red = first;
    picture.key.green = static_cast<png_uint_16>(samples[1 % count]);
    picture.key.blue = static_cast<png_uint_16>(samples[2 % count]);
  }
  picture.rows = pack_rows(picture, samples);
  return picture;
}

void write_png(const fs::path& path, const png_file& picture) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows;
  for (const auto& row : picture.rows)
    rows.push_back(const_cast<png_bytep>(row.data()));
  png_text text{};
  text.compression = PNG_TEXT_COMPRESSION_NONE;
  text.key = const_cast<char*>(picture.keyword.c_str());
  text.text = const_cast<char*>(picture.text.c_str());
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_set_IHDR(png, info, picture.width, picture.height, picture.bit_depth,
                 picture.color_type,
                 picture.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!picture.palette.empty())
      png_set_PLTE(png, info, picture.palette.data(),
                   static_cast<int>(picture.palette.size()));
    if (!picture.palette_alpha.empty())
      png_set_tRNS(png, info, picture.palette_alpha.data(),
                   static_cast<int>(picture.palette_alpha.size()), nullptr);
    if (picture.colour_key) png_set_tRNS(png, info, nullptr, 0, &picture.key);
    if (!picture.keyword.empty()) png_set_text(png, info, &text, 1);
    png_write_info(png, info);
    png_set_interlace_handling(png);
    png_write_image(png, rows.data());
    png_write_end(png, info);
  } else {
    ADD_FAILURE() << "libpng failed writing " << path;
  }
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

// A PNG as a person sees it: every pixel as 16-bit RGBA, whatever the file's
// colour type and bit depth, and what the file's header says.
struct decoded_png {
  int color_type = -1;
  int bit_depth = 0;
  int palette_size = 0;
  std::vector<png_uint_16> rgba;
  std::string keyword;
  std::string text;
};

decoded_png read_png(const fs::path& path) {
  decoded_png result;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    ADD_FAILURE() << "cannot open " << path;
    return result;
  }
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<png_byte> bytes;
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    png_read_info(png, info);
    result.color_type = png_get_color_type(png, info);
    result.bit_depth = png_get_bit_depth(png, info);
    png_colorp colors;
    png_get_PLTE(png, info, &colors, &result.palette_size);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    png_set_expand(png);
    png_set_gray_to_rgb(png);
    png_set_expand_16(png);
    png_set_add_alpha(png, 0xffff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    bytes.resize(std::size_t{width} * height * 8);
    std::vector<png_bytep> rows;
    for (png_uint_32 y = 0; y < height; ++y)
      rows.push_back(bytes.data() + y * width * 8);
    png_read_image(png, rows.data());
    png_read_end(png, info);
    png_textp texts;
    if (png_get_text(png, info, &texts, nullptr) > 0) {
      result.keyword = texts[0].key;
      result.text = texts[0].text;
    }
  } else {
    ADD_FAILURE() << "libpng failed reading " << path;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(file);
  for (std::size_t i = 0; i < bytes.size(); i += 2)
    result.rgba.push_back(
        static_cast<png_uint_16>(bytes[i] << 8 | bytes[i + 1]));
  return result;
}

// Every PNG colour type and bit depth, with and without a tRNS chunk where
// PNG allows one: its name, how it is made, and the colour type and bit
// depth it has after a trip through SNG.
struct png_kind {
  const char* name;
  int color_type;
  int bit_depth;
  bool transparency;
  int color_type_after;
  int bit_depth_after;
};

constexpr int grey = PNG_COLOR_TYPE_GRAY;
constexpr int grey_alpha = PNG_COLOR_TYPE_GRAY_ALPHA;
constexpr int rgb = PNG_COLOR_TYPE_RGB;
constexpr int rgba = PNG_COLOR_TYPE_RGB_ALPHA;
constexpr int palette = PNG_COLOR_TYPE_PALETTE;

const png_kind every_kind[] = {
    {"grey 1", grey, 1, false, grey, 8},
    {"grey 2", grey, 2, false, grey, 8},
    {"grey 4", grey, 4, false, grey, 8},
    {"grey 8", grey, 8, false, grey, 8},
    {"grey 16", grey, 16, false, grey, 16},
    {"grey 2 tRNS", grey, 2, true, grey_alpha, 8},
    {"grey 16 tRNS", grey, 16, true, grey_alpha, 16},
    {"grey+alpha 8", grey_alpha, 8, false, grey_alpha, 8},
    {"grey+alpha 16", grey_alpha, 16, false, grey_alpha, 16},
    {"RGB 8", rgb, 8, false, rgb, 8},
    {"RGB 16", rgb, 16, false, rgb, 16},
    {"RGB 8 tRNS", rgb, 8, true, rgba, 8},
    {"RGBA 8", rgba, 8, false, rgba, 8},
    {"RGBA 16", rgba, 16, false, rgba, 16},
    {"palette 1", palette, 1, false, palette, 8},
    {"palette 2", palette, 2, false, palette, 8},
    {"palette 4", palette, 4, false, palette, 8},
    {"palette 8", palette, 8, false, palette, 8},
    {"palette 1 tRNS", palette, 1, true, rgba, 8},
    {"palette 2 tRNS", palette, 2, true, rgba, 8},
    {"palette 4 tRNS", palette, 4, true, rgba, 8},
    {"palette 8 tRNS", palette, 8, true, rgba, 8},
};

png_file make_png(const png_kind& kind) {
  return make_png(kind.color_type, kind.bit_depth, kind.transparency);
}

// ------------------------------------------------------------ running it

struct outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// A free TCP port of 127.0.0.1 at the moment of asking.
std::string free_port() {
  const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(descriptor);
  return std::to_string(ntohs(address.sin_port));
}

// A stand-in for the service on a port of its own: it answers the first
// line of every connection with `answer`, then reads until the client
// closes, or with `hang_up` closes at once.
class fake_service {
 public:
  explicit fake_service(std::string answer, bool hang_up = false)
      : answer_(std::move(answer)), hang_up_(hang_up) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = std::to_string(ntohs(address.sin_port));
    thread_ = std::thread([this] { serve(); });
  }
  ~fake_service() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  fake_service(const fake_service&) = delete;
  fake_service& operator=(const fake_service&) = delete;

  const std::string& port() const { return port_; }

 private:
  void serve() {
    for (;;) {
      const int peer = ::accept(listener_, nullptr, nullptr);
      if (peer < 0) return;
      bool answered = false;
      char chunk[4096];
      pollfd entry{peer, POLLIN, 0};
      while (::poll(&entry, 1, 10000) > 0) {
        const ssize_t count = ::recv(peer, chunk, sizeof chunk, 0);
        if (count <= 0) break;
        if (!answered &&
            std::string(chunk, static_cast<std::size_t>(count)).find('\n') !=
                std::string::npos) {
          const std::string line = answer_ + "\n";
          ::send(peer, line.data(), line.size(), MSG_NOSIGNAL);
          answered = true;
          if (hang_up_) break;
        }
      }
      ::close(peer);
    }
  }

  std::string answer_;
  bool hang_up_;
  int listener_;
  std::string port_;
  std::thread thread_;
};

// A temporary directory for the pictures, and the tool run in it.
class cli_tool : public ::testing::Test {
 protected:
  cli_tool() {
    std::string pattern =
        (fs::temp_directory_path() / "quarn-cli-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir_ = pattern;
  }
  ~cli_tool() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  fs::path file(const std::string& name) const { return dir_ / name; }

  // Runs quarn-cli with `args` and `input` as its standard input; its output
  // and error output are kept whole.
  outcome run(const std::vector<std::string>& args,
              const std::string& input = "") const {
    const fs::path in_file = file("stdin");
    const fs::path out = file("stdout"), err = file("stderr");
    write_file(in_file, input);
    std::vector<char*> argv{const_cast<char*>(QUARN_CLI_BINARY)};
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const int in = ::open(in_file.c_str(), O_RDONLY);
      const int out_fd =
          ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err_fd =
          ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(in, 0);
      ::dup2(out_fd, 1);
      ::dup2(err_fd, 2);
      ::execv(QUARN_CLI_BINARY, argv.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(out),
            read_file(err)};
  }

  // Runs quarn-cli and expects success; returns its standard output.
  std::string run_ok(const std::vector<std::string>& args) const {
    const outcome result = run(args);
    EXPECT_EQ(0, result.status) << result.err;
    return result.out;
  }

  // Runs quarn-cli with `args` and expects it to end with `status`, having
  // written nothing but the line "quarn-cli: " `message` on standard error.
  void expect_failure(const std::vector<std::string>& args, int status,
                      const std::string& message) const {
    const outcome result = run(args);
    EXPECT_EQ(status, result.status) << message;
    EXPECT_EQ("quarn-cli: " + message + "\n", result.err);
    EXPECT_EQ("", result.out);
  }

  // What quarn-cli says, after naming what it was doing, of a service that
  // answers `answer`: the same words whether it gets, puts or lists.
  std::string words_for(const std::string& answer) const {
    write_file(file("a.sng"), rgb_picture(2, 2));
    fake_service fake(answer);
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"get", "1.sng", "--password", "pw", "-p", fake.port()},
         "cannot get 1.sng: "},
        {{"-p", fake.port(), "put", file("a.sng"), "--secret", "s"},
         "cannot store the picture: "},
        {{"-p", fake.port(), "list"}, "cannot list the pictures: "},
    };
    std::set<std::string> said;
    for (const auto& [args, action] : runs) {
      const outcome result = run(args);
      EXPECT_EQ(1, result.status);
      const std::string start = "quarn-cli: " + action;
      EXPECT_TRUE(result.err.starts_with(start) && result.err.ends_with("\n"))
          << result.err;
      said.insert(result.err.substr(start.size(),
                                    result.err.size() - start.size() - 1));
    }
    EXPECT_EQ(1u, said.size()) << answer;
    return *said.begin();
  }

 private:
  fs::path dir_;
};

// The same, with the real service running.
class cli_service : public cli_tool {
 protected:
  service_process service;

  // Stores `picture` with `secret`, hidden in its pixels, giving quarn-cli
  // `options` first; returns the identifier and the positions as put
  // printed them.
  std::pair<std::string, std::string> put_hidden(
      const fs::path& picture, const std::string& secret,
      std::vector<std::string> options = {}) {
    options.insert(options.end(), {"put", picture, "--secret", secret});
    const std::string out = run_ok(options);
    const auto line_end = out.find('\n');
    if (line_end == std::string::npos) return {};
    return {out.substr(0, line_end),
            out.substr(line_end + 1, out.size() - line_end - 2)};
  }
};

// quarn-cli on a pseudo-terminal of its own, as a person at a prompt runs
// it: the test reads what the terminal shows and types at it.
class on_terminal {
 public:
  explicit on_terminal(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(QUARN_CLI_BINARY)};
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = ::forkpty(&terminal_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      ::execv(QUARN_CLI_BINARY, argv.data());
      ::_exit(127);
    }
  }
  ~on_terminal() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (terminal_ >= 0) ::close(terminal_);
  }
  on_terminal(const on_terminal&) = delete;
  on_terminal& operator=(const on_terminal&) = delete;

  // Reads what the terminal shows until `text` has appeared; false when it
  // has not within 10 s or the tool has left the terminal.
  bool read_until(const std::string& text) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (shown_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline || !read_some())
        return false;
    }
    return true;
  }
  void type(const std::string& text) {
    EXPECT_EQ(static_cast<ssize_t>(text.size()),
              ::write(terminal_, text.data(), text.size()));
  }
  // Whether the terminal echoes what is typed.
  bool echoes() const {
    termios settings{};
    ::tcgetattr(terminal_, &settings);
    return (settings.c_lflag & ECHO) != 0;
  }
  // Reads what the terminal shows until the tool has ended; returns its
  // wait status.
  int finish() {
    read_until("the end that never comes");
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  const std::string& shown() const { return shown_; }

 private:
  // False when nothing more can come.
  bool read_some() {
    pollfd entry{terminal_, POLLIN, 0};
    if (::poll(&entry, 1, 100) == 0) return true;
    char chunk[4096];
    const ssize_t count = ::read(terminal_, chunk, sizeof chunk);
    if (count <= 0) return false;
    shown_.append(chunk, static_cast<std::size_t>(count));
    return true;
  }

  int terminal_ = -1;
  pid_t pid_ = -1;
  std::string shown_;
};

// ------------------------------------------------------------- converting

TEST_F(cli_tool, convert_keeps_the_pixels_of_every_png_colour_type) {
  for (const png_kind& kind : every_kind) {
    SCOPED_TRACE(kind.name);
    write_png(file("in.png"), make_png(kind));
    const outcome to_sng = run({"convert", file("in.png"), file("in.sng")});
    ASSERT_EQ(0, to_sng.status) << to_sng.err;
    EXPECT_EQ(kind.transparency, !to_sng.err.empty()) << to_sng.err;
    run_ok({"convert", file("in.sng"), file("out.png")});

    const decoded_png in = read_png(file("in.png"));
    const decoded_png out = read_png(file("out.png"));
    EXPECT_EQ(in.rgba, out.rgba);
    EXPECT_EQ(kind.color_type_after, out.color_type);
    EXPECT_EQ(kind.bit_depth_after, out.bit_depth);
    if (out.color_type == palette) {
      EXPECT_EQ(in.palette_size, out.palette_size);
    }
  }
}

TEST_F(cli_tool, an_interlaced_png_keeps_its_pixels) {
  png_file picture = make_png(rgba, 16, false);
  picture.interlaced = true;
  write_png(file("in.png"), picture);
  run_ok({"convert", file("in.png"), file("in.sng")});
  run_ok({"convert", file("in.sng"), file("out.png")});
  EXPECT_EQ(read_png(file("in.png")).rgba, read_png(file("out.png")).rgba);
}

TEST_F(cli_tool, histogram_counts_are_clamped_to_the_signed_16_bit_range) {
  png_file picture = make_png(palette, 1, false);
  picture.width = 256;
  picture.height = 200;  // 51200 pixels, all of them index 0
  picture.rows.assign(200, std::vector<png_byte>(32, 0));
  write_png(file("one.png"), picture);
  run_ok({"convert", file("one.png"), file("one.sng")});
  EXPECT_NE(std::string::npos,
            read_file(file("one.sng")).find("hIST {\n\t32767 1\n}\n"));
}

TEST_F(cli_tool, png_becomes_the_sng_layout_the_service_writes) {
  png_file grey2 = make_png(grey, 2, false);
  grey2.width = 2;
  grey2.height = 1;
  grey2.rows = {{0x30}};  // samples 0 and 3
  write_png(file("grey.png"), grey2);
  run_ok({"convert", file("grey.png"), file("grey.sng")});
  EXPECT_EQ(
      sng_text({.width = 2, .using_words = "", .rows = "000000 ffffff \n"}),
      read_file(file("grey.sng")));

  png_file indexed = make_png(palette, 1, false);
  indexed.width = 3;
  indexed.height = 1;
  indexed.palette = {{255, 0, 0}, {0, 0, 255}};
  indexed.rows = {{0xa0}};  // indices 1, 0, 1
  write_png(file("indexed.png"), indexed);
  run_ok({"convert", file("indexed.png"), file("indexed.sng")});
  EXPECT_EQ(sng_text({.width = 3,
                      .using_words = "color palette",
                      .palette = "\t(255,  0,  0)\n\t(  0,  0,255)\n",
                      .chunks = "hIST {\n\t1 2\n}\n",
                      .rows = "010001\n"}),
            read_file(file("indexed.sng")));

  png_file grey_alpha16 = make_png(grey_alpha, 16, false);
  grey_alpha16.width = grey_alpha16.height = 1;
  grey_alpha16.rows = {{0x12, 0x34, 0xab, 0xcd}};
  write_png(file("ga.png"), grey_alpha16);
  run_ok({"convert", file("ga.png"), file("ga.sng")});
  EXPECT_EQ(sng_text({.bitdepth = 16,
                      .using_words = "alpha",
                      .rows = "123412341234abcd \n"}),
            read_file(file("ga.sng")));
}

TEST_F(cli_tool, a_palette_with_transparency_becomes_rgba_and_says_so) {
  png_file indexed = make_png(palette, 2, true);
  indexed.width = 2;
  indexed.height = 1;
  indexed.palette = {{10, 20, 30}, {40, 50, 60}};
  indexed.palette_alpha = {0};
  indexed.rows = {{0x10}};  // indices 0, 1
  write_png(file("t.png"), indexed);
  const outcome result = run({"convert", file("t.png"), file("t.sng")});
  EXPECT_EQ(0, result.status);
  EXPECT_EQ("quarn-cli: " + file("t.png").string() +
                ": transparency from a tRNS chunk is carried as an alpha "
                "channel: converted to 8-bit RGBA\n",
            result.err);
  EXPECT_EQ(sng_text({.width = 2,
                      .using_words = "alpha color",
                      .rows = "0a141e00 28323cff \n"}),
            read_file(file("t.sng")));
}

TEST_F(cli_tool, a_grey_header_over_unequal_samples_becomes_rgb_and_says_so) {
  write_file(
      file("g.sng"),
      sng_text({.width = 2, .using_words = "", .rows = "101010 102010 \n"}));
  const outcome result = run({"convert", file("g.sng"), file("g.png")});
  EXPECT_EQ(0, result.status);
  EXPECT_EQ(
      "quarn-cli: the picture is grey by its header but its red, green and "
      "blue samples differ (hidden text does that): written as RGB to keep "
      "every bit\n",
      result.err);
  const decoded_png out = read_png(file("g.png"));
  EXPECT_EQ(rgb, out.color_type);
  EXPECT_EQ((std::vector<png_uint_16>{0x1010, 0x1010, 0x1010, 0xffff, 0x1010,
                                      0x2020, 0x1010, 0xffff}),
            out.rgba);
}

TEST_F(cli_tool, sng_that_png_cannot_hold_is_refused_with_one_line) {
  const std::pair<std::string, std::string> cases[] = {
      {sng_text({.bitdepth = 12, .using_words = "", .rows = "000 \n"}),
       "a picture of bit depth 12 cannot be written as PNG"},
      {sng_text({.width = 0, .height = 0, .using_words = ""}),
       "a picture of 0 x 0 pixels cannot be written as PNG"},
      {sng_text({.using_words = "color palette",
                 .palette = "\t(1,2,3)\n",
                 .rows = "05\n"}),
       "a pixel names palette entry 5 of a palette of 1"},
      {sng_text({.rows = "zz0000 \n"}),
       "the picture holds the sample 595, outside 0 to 255 for its bit depth"},
      {"IHDR {\n", file("S.sng").string() + " is not a valid SNG picture"},
  };
  for (const auto& [text, message] : cases) {
    write_file(file("S.sng"), text);
    expect_failure({"convert", file("S.sng"), file("S.png")}, 1, message);
    EXPECT_FALSE(fs::exists(file("S.png")));
  }
}

TEST_F(cli_tool, a_file_that_is_not_a_png_is_refused) {
  write_file(file("fake.png"), "IHDR { width: 1 }\n");
  expect_failure({"convert", file("fake.png"), file("x.sng")}, 1,
                 file("fake.png").string() + " is not a PNG file");
  expect_failure({"convert", file("none.png"), file("x.sng")}, 1,
                 "cannot read " + file("none.png").string() +
                     ": No such file or directory");
}

TEST_F(cli_tool, reveal_reads_hidden_text_from_sng_and_png_files) {
  // 'H' (0x48) in pixel 1:0, 'i' (0x69) in pixel 0:0: red keeps bits 7-6,
  // green bits 5-4, blue bits 3-0 of each byte in its low bits.
  write_file(file("h.sng"), sng_text({.width = 2, .rows = "fdf2f9 fdf0f8 \n"}));
  EXPECT_EQ("Hi\n", run_ok({"reveal", file("h.sng"), "1:0 0:0"}));
  run_ok({"convert", file("h.sng"), file("h.png")});
  EXPECT_EQ("Hi\n", run_ok({"reveal", file("h.png"), " 1:0\t0:0 "}));

  expect_failure({"reveal", file("h.sng"), "2:0"}, 1,
                 "position 2:0 lies outside the 2 x 1 picture");
}

// ---------------------------------------------------------- with a service

TEST_F(cli_service, every_png_colour_type_survives_a_trip_through_quarn) {
  for (const png_kind& kind : every_kind) {
    SCOPED_TRACE(kind.name);
    write_png(file("in.png"), make_png(kind));
    const std::string id = run_ok(
        {"put", file("in.png"), "--secret", "s3cret", "--password", "hunter2"});
    ASSERT_FALSE(id.empty());
    run_ok({"get", id.substr(0, id.size() - 1), "--password", "hunter2", "-o",
            file("out.png")});
    const decoded_png in = read_png(file("in.png"));
    const decoded_png out = read_png(file("out.png"));
    EXPECT_EQ(in.rgba, out.rgba);
    EXPECT_EQ(kind.color_type_after, out.color_type);
    EXPECT_EQ(kind.bit_depth_after, out.bit_depth);
    EXPECT_EQ("flag", out.keyword);
    EXPECT_EQ("s3cret", out.text);
  }
}

TEST_F(cli_service, hidden_text_survives_for_every_png_colour_type) {
  for (const png_kind& kind : every_kind) {
    SCOPED_TRACE(kind.name);
    write_png(file("in.png"), make_png(kind));
    const auto [id, positions] = put_hidden(file("in.png"), "Hidden!");
    ASSERT_FALSE(id.empty());
    EXPECT_EQ("Hidden!\n", run_ok({"get", id, "--positions", positions}));
    run_ok({"get", id, "-o", file("out.png")});
    EXPECT_EQ("Hidden!\n", run_ok({"reveal", file("out.png"), positions}));
    run_ok({"convert", file("out.png"), file("out.sng")});
    EXPECT_EQ("Hidden!\n", run_ok({"reveal", file("out.sng"), positions}));
  }
}

TEST_F(cli_service, a_full_palette_is_sent_as_rgb_when_text_is_hidden) {
  write_png(file("full.png"), make_png(palette, 8, false, 256));
  const outcome put = run({"put", file("full.png"), "--secret", "Hidden!"});
  ASSERT_EQ(0, put.status) << put.err;
  EXPECT_EQ("quarn-cli: " + file("full.png").string() +
                ": its palette has no room for a new colour per byte of the "
                "secret: sent as 8-bit RGB\n",
            put.err);
  const std::string positions = put.out.substr(
      put.out.find('\n') + 1, put.out.size() - put.out.find('\n') - 2);
  EXPECT_EQ("Hidden!\n", run_ok({"get", "1.sng", "--positions", positions}));
}

TEST_F(cli_service, put_sends_an_sng_file_as_it_is_and_get_prints_sng) {
  write_file(file("red.sng"), rgb_picture(2, 2, "ff0000"));
  EXPECT_EQ("1.sng\n", run_ok({"put", file("red.sng"), "--secret", "abc",
                               "--password", "pw12"}));
  const std::string text = run_ok({"get", "1.sng", "--password", "pw12"});
  EXPECT_TRUE(text.starts_with("IHDR {\n\twidth: 2\n\theight: 2\n")) << text;
  EXPECT_NE(std::string::npos,
            text.find("IMAGE {\n\tpixels hex\nff0000 ff0000 \nff0000 ff0000 "
                      "\n}\n"))
      << text;
  EXPECT_NE(std::string::npos, text.find("\tkeyword: flag\n")) << text;

  run_ok({"get", "1.sng", "--password", "pw12", "-o", file("copy.sng")});
  EXPECT_EQ(text, read_file(file("copy.sng")));
}

TEST_F(cli_service, put_takes_an_sng_file_as_the_sng_converter_writes_it) {
  const std::string file =
      std::string(QUARN_TEST_DATA) + "/rgb_from_sng_converter.sng";
  EXPECT_EQ("1.sng\n",
            run_ok({"put", file, "--secret", "abc", "--password", "pw12"}));
  EXPECT_NE(std::string::npos,
            run_ok({"get", "1.sng", "--password", "pw12"})
                .find("ff0000 00ff00 0000ff \n808080 ffffff 000000 \n"));
}

TEST_F(cli_service, put_prints_the_identifier_and_the_positions) {
  write_file(file("grey.sng"), rgb_picture(4, 4));
  const std::string out = run_ok({"put", file("grey.sng"), "--secret", "xyz"});
  std::istringstream lines(out);
  std::string id, positions, rest;
  std::getline(lines, id);
  std::getline(lines, positions);
  EXPECT_EQ("1.sng", id);
  EXPECT_FALSE(std::getline(lines, rest));
  std::istringstream words(positions);
  std::string word;
  int count = 0;
  while (words >> word) {
    EXPECT_NE(std::string::npos, word.find(':')) << word;
    ++count;
  }
  EXPECT_EQ(3, count) << positions;
}

TEST_F(cli_service, list_prints_the_identifiers_oldest_first) {
  EXPECT_EQ("", run_ok({"list"}));
  write_file(file("a.sng"), rgb_picture(2, 2));
  run_ok({"put", file("a.sng"), "--secret", "one", "--password", "pw"});
  run_ok({"put", file("a.sng"), "--secret", "two", "--password", "pw"});
  EXPECT_EQ("1.sng\n2.sng\n",
            run_ok({"list", "-h", "127.0.0.1", "-p", "18360"}));
}

// -------------------------------------------------------------- passwords

TEST_F(cli_service, passwords_come_from_files_and_standard_input) {
  write_file(file("a.sng"), rgb_picture(2, 2));
  // A two-byte password passes only whole: a carriage return kept from the
  // CR LF ending would lock it.
  write_file(file("pw"), "pw\r\nthe rest is not read\n");
  EXPECT_EQ("1.sng\n", run_ok({"put", file("a.sng"), "--secret", "s",
                               "--password-file", file("pw")}));
  EXPECT_EQ(0, run({"get", "1.sng", "--password", "pw"}).status);

  const outcome from_input =
      run({"get", "1.sng", "--password-file", "-"}, "pw\n");
  EXPECT_EQ(0, from_input.status) << from_input.err;
  EXPECT_TRUE(from_input.out.starts_with("IHDR {")) << from_input.out;
  // Every source is offered in the order given.
  EXPECT_EQ(0, run({"get", "1.sng", "--password-file", "-", "--password-file",
                    file("pw")},
                   "wrong\n")
                   .status);
}

TEST_F(cli_tool, password_files_without_a_password_are_refused) {
  write_file(file("empty"), "");
  write_file(file("blank"), "\r\npw\n");
  write_file(file("pw"), "pw\n");
  const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
      {{"get", "1.sng", "--password-file", file("empty")},
       1,
       file("empty").string() +
           " is empty; it should hold the password on its first line"},
      {{"get", "1.sng", "--password-file", file("blank")},
       1,
       "the first line of " + file("blank").string() +
           " is empty; it should hold the password"},
      {{"get", "1.sng", "--password-file", "-"},
       1,
       "standard input is empty; it should hold the password on its first "
       "line"},
      {{"get", "1.sng", "--password-file", file("none")},
       1,
       "cannot read " + file("none").string() + ": No such file or directory"},
      {{"get", "1.sng", "--password-file", "-", "--password-file", "-"},
       2,
       "standard input holds one password: --password-file - is given more "
       "than once"},
      {{"put", "a.sng", "--secret", "s", "--password-file", file("pw"),
        "--password", "pw"},
       2,
       "put takes --password or --password-file, not both"},
      {{"list", "--password-file", file("pw")},
       2,
       "list does not take --password-file"},
  };
  for (const auto& [args, status, message] : cases)
    expect_failure(args, status, message);
}

TEST_F(cli_service, a_protected_picture_is_asked_for_its_password_unshown) {
  write_file(file("a.sng"), rgb_picture(2, 2));
  run_ok({"put", file("a.sng"), "--secret", "s", "--password", "pw"});
  on_terminal get({"get", "1.sng"});
  ASSERT_TRUE(get.read_until("Password for 1.sng: ")) << get.shown();
  EXPECT_FALSE(get.echoes());
  get.type("pw\n");
  const int status = get.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << get.shown();
  // What was typed does not show: the prompt's line ends, the picture
  // follows.
  EXPECT_NE(std::string::npos,
            get.shown().find("Password for 1.sng: \r\nIHDR {"))
      << get.shown();
  EXPECT_TRUE(get.echoes());
}

TEST_F(cli_tool, a_new_password_typed_twice_differently_is_refused) {
  write_file(file("a.sng"), rgb_picture(2, 2));
  on_terminal put(
      {"put", file("a.sng"), "--secret", "s", "--password-file", "-"});
  ASSERT_TRUE(put.read_until("New password: ")) << put.shown();
  put.type("one\n");
  ASSERT_TRUE(put.read_until("The same password again: ")) << put.shown();
  put.type("two\n");
  const int status = put.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << put.shown();
  EXPECT_NE(std::string::npos,
            put.shown().find("quarn-cli: the two passwords typed differ"))
      << put.shown();
}

TEST_F(cli_tool, an_interrupted_prompt_leaves_the_terminal_echoing) {
  write_file(file("a.sng"), rgb_picture(2, 2));
  on_terminal put(
      {"put", file("a.sng"), "--secret", "s", "--password-file", "-"});
  ASSERT_TRUE(put.read_until("New password: ")) << put.shown();
  EXPECT_FALSE(put.echoes());
  put.type("\x03");  // the terminal's interrupt character, as Ctrl-C types it
  const int status = put.finish();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_TRUE(put.echoes());
}

// ----------------------------------------------------------------- errors

TEST_F(cli_service, unknown_pictures_and_wrong_passwords_are_one_line) {
  write_file(file("a.sng"), rgb_picture(2, 2));
  run_ok({"put", file("a.sng"), "--secret", "one", "--password", "letmein"});
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"get", "9.sng"}, "cannot get 9.sng: no picture has that identifier"},
      {{"get", "1.sng", "--password", "nope", "--password", "wrong"},
       "cannot get 1.sng: wrong password"},
      {{"get", "1.sng"},
       "cannot get 1.sng: the picture is protected by a password; give it "
       "with --password"},
  };
  for (const auto& [args, message] : cases) expect_failure(args, 1, message);
  EXPECT_EQ(0,
            run({"get", "1.sng", "--password", "nope", "--password", "letmein"})
                .status);
}

TEST_F(cli_service, words_the_protocol_cannot_carry_are_refused_unsent) {
  write_file(file("a.sng"), rgb_picture(2, 2));
  const std::string a = file("a.sng");
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"put", a, "--secret", "two words"},
       "the secret cannot hold a blank or a line feed: the protocol carries "
       "it as one word"},
      {{"put", a, "--secret", "line\nfeed"},
       "the secret cannot hold a blank or a line feed: the protocol carries "
       "it as one word"},
      {{"put", a, "--secret", ""}, "the secret must not be empty"},
      {{"put", a, "--secret", "s", "--password", "pass word"},
       "the password cannot hold a blank or a line feed: the protocol "
       "carries it as one word"},
      {{"put", a, "--secret", "s", "--password", "say\"cheese"},
       "the password cannot hold a double quote or \"}\": the stored "
       "picture could not keep it"},
      {{"put", a, "--secret", "a}b", "--password", "pw"},
       "a secret guarded by a password cannot hold \"}\": the stored "
       "picture's text chunk would end there"},
      {{"put", a, "--secret", "s", "--password", std::string(4097, 'p')},
       "the password is longer than 4096 bytes, the most the service stores"},
      {{"get", "1.sng", "--password", "a b"},
       "a password cannot hold a blank or a line feed: the protocol carries "
       "it as one word"},
      {{"get", "1 .sng"},
       "the identifier cannot hold a blank or a line feed: the protocol "
       "carries it as one word"},
  };
  for (const auto& [args, message] : cases) expect_failure(args, 2, message);
  EXPECT_EQ("", run_ok({"list"}));
}

TEST_F(cli_service, uploads_past_the_service_limits_are_refused_unsent) {
  write_file(file("many.sng"), std::string(1024 * 1024 + 1, '\n'));
  expect_failure({"put", file("many.sng"), "--secret", "s"}, 1,
                 "the picture's SNG text has 1048577 lines; the service "
                 "accepts at most 1048576");

  write_file(file("long.sng"), std::string(4 * 1024 * 1024 + 1, 'x'));
  expect_failure({"put", file("long.sng"), "--secret", "s"}, 1,
                 "the picture's SNG text has a line longer than 4194304 "
                 "bytes, the most the service accepts");
  EXPECT_EQ("", run_ok({"list"}));
}

TEST_F(cli_service, pictures_the_service_would_not_keep_are_refused_unsent) {
  write_file(file("empty_rows.sng"),
             sng_text({.width = 0, .height = 2, .rows = "\t\n\t\n"}));
  write_file(file("own_password.sng"), rgb_picture(2, 2) +
                                           "private PASW {\n\t\"" +
                                           std::string(4097, 'p') + "\"\n}\n");
  write_file(file("wide.sng"),
             sng_text({.width = 600, .height = 600, .bitdepth = 255}));
  const std::tuple<std::string, int, std::string> cases[] = {
      {"empty_rows.sng", 2,
       "the picture has rows but a width of 0: its rows would be stored as "
       "empty lines, which do not read back"},
      {"own_password.sng", 2,
       "the picture carries a password of its own (PASW) of 4097 bytes; the "
       "service stores at most 4096"},
      {"wide.sng", 1,
       "the picture would be stored as 68400763 bytes of SNG text; the "
       "service stores at most 67108864"},
  };
  for (const auto& [name, status, message] : cases)
    expect_failure({"put", file(name), "--secret", "s"}, status, message);
  EXPECT_EQ("", run_ok({"list"}));
}

TEST_F(cli_service, a_picture_the_service_cannot_use_is_put_into_words) {
  write_file(file("bad.sng"), "not a picture\n");
  expect_failure({"put", file("bad.sng"), "--secret", "s"}, 1,
                 "cannot store the picture: the picture's SNG text does not "
                 "parse");

  write_file(file("small.sng"), rgb_picture(2, 1));
  expect_failure({"put", file("small.sng"), "--secret", "toolong"}, 1,
                 "cannot store the picture: the secret cannot be hidden in "
                 "the picture's pixels (it needs two pixels per byte, a bit "
                 "depth of 4 or more, and in a palette picture room for one "
                 "new colour per byte)");
}

TEST_F(cli_tool, an_unreachable_service_is_one_line) {
  const std::string port = free_port();
  expect_failure(
      {"-p", port, "list"}, 1,
      "cannot reach quarn at 127.0.0.1:" + port + ": Connection refused");
}

// quarn-cli with --tls, the service behind the TLS front that quarn ships
// (support/tls_front.h).
class cli_through_tls : public cli_service {
 protected:
  void SetUp() override {
    if (const std::string lacking = tls_front::missing(); !lacking.empty())
      GTEST_SKIP() << lacking;
    front.emplace();
  }

  // `args` after the options that reach the front and trust its CA.
  std::vector<std::string> with_tls(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--tls", "--ca", front->ca_file()});
    return args;
  }

  std::optional<tls_front> front;
};

TEST_F(cli_through_tls, puts_and_gets_in_both_modes_as_in_the_clear) {
  write_png(file("in.png"), make_png(rgb, 8, false));
  const std::string guarded = run_ok(with_tls(
      {"put", file("in.png"), "--secret", "s3cret", "--password", "hunter2"}));
  ASSERT_EQ("1.sng\n", guarded);
  run_ok(with_tls(
      {"get", "1.sng", "--password", "hunter2", "-o", file("tls.png")}));
  EXPECT_EQ(read_png(file("in.png")).rgba, read_png(file("tls.png")).rgba);
  EXPECT_EQ("s3cret", read_png(file("tls.png")).text);

  const auto [id, positions] =
      put_hidden(file("in.png"), "Hidden!", with_tls({}));
  EXPECT_EQ("Hidden!\n",
            run_ok(with_tls({"get", id, "--positions", positions})));
  run_ok(with_tls({"get", id, "-o", file("tls.png")}));
  run_ok({"get", id, "-o", file("clear.png")});
  EXPECT_EQ(read_png(file("clear.png")).rgba, read_png(file("tls.png")).rgba);

  // An address is checked as an address.
  if (can_bind_address("192.0.2.1")) {
    EXPECT_EQ("1.sng\n" + id + "\n",
              run_ok(with_tls({"-h", "192.0.2.1", "list"})));
  }
}

TEST_F(cli_through_tls, a_certificate_that_does_not_verify_is_refused) {
  expect_failure({"--tls", "list"}, 1,
                 "the certificate of the service at 127.0.0.1:18361 does not "
                 "verify: unable to get local issuer certificate");
  if (can_bind_address("192.0.2.9")) {
    expect_failure(with_tls({"-h", "192.0.2.9", "list"}), 1,
                   "the certificate of the service at 192.0.2.9:18361 does "
                   "not verify: IP address mismatch");
  }
}

TEST_F(cli_through_tls, a_service_in_the_clear_is_said_to_speak_no_tls) {
  expect_failure(with_tls({"-p", "18360", "list"}), 1,
                 "the service at 127.0.0.1:18360 does not speak TLS");
}

TEST_F(cli_tool, every_error_answer_is_put_into_words_of_its_own) {
  std::set<std::string> words;
  for (const std::string reason : {"ARG", "PASSWORD", "NOTFOUND", "DBREAD",
                                   "PARSE", "STEGO", "DBWRITE", "LIMIT"}) {
    const std::string answer = "ERROR(" + reason + ")";
    const std::string said = words_for(answer);
    EXPECT_NE("the service answered " + answer, said);
    words.insert(said);
  }
  EXPECT_EQ(8u, words.size());
  EXPECT_EQ("the service answered ERROR(NEW)", words_for("ERROR(NEW)"));
  EXPECT_EQ("the service does not know the command; is it a quarn service?",
            words_for("Unknown command"));
  EXPECT_EQ("unexpected answer from the service: \"HTTP/1.1 400\"",
            words_for("HTTP/1.1 400"));
}

TEST_F(cli_tool, a_service_that_closes_early_is_one_line) {
  fake_service fake("2\nonly one line", true);
  expect_failure({"-p", fake.port(), "list"}, 1,
                 "the service at 127.0.0.1:" + fake.port() +
                     " closed the connection before answering in full");
}

TEST_F(cli_tool, command_lines_it_does_not_understand_exit_with_status_2) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "no command given; quarn-cli --help lists them"},
      {{"frob"}, "unknown command \"frob\"; quarn-cli --help lists them"},
      {{"list", "extra"}, "usage: quarn-cli list"},
      {{"put", "a.png"}, "put needs --secret TEXT"},
      {{"put", "a.png", "--secret", "s", "--password", "a", "--password", "b"},
       "put takes one --password at most"},
      {{"put", "a.gif", "--secret", "s"},
       "a.gif: the name must end in .png or .sng"},
      {{"list", "--secret", "s"}, "list does not take --secret"},
      {{"list", "--verbose"}, "unknown option --verbose"},
      {{"get", "1.sng", "-o"}, "-o needs a value"},
      {{"get", "1.sng", "-o", "a.sng", "-o", "b.sng"}, "-o is given twice"},
      {{"-p", "http", "list"},
       "the port must be a number from 1 to 65535, not \"http\""},
      {{"get", "1.sng", "--positions", "1:2 3"},
       "bad positions \"1:2 3\": write them x:y, separated by blanks"},
      {{"reveal", "a.sng", " "}, "no positions given"},
      {{"convert", "a.png"}, "usage: quarn-cli convert IN OUT"},
      {{"--ca", "ca.pem", "list"}, "--ca is given without --tls"},
  };
  for (const auto& [args, message] : cases) expect_failure(args, 2, message);
}

TEST_F(cli_tool, every_command_has_help) {
  EXPECT_TRUE(
      run_ok({"--help"})
          .starts_with("usage: quarn-cli [-h HOST] [-p PORT] COMMAND ...\n"));
  for (const std::string command :
       {"list", "put", "get", "convert", "reveal"}) {
    const std::string help = run_ok({command, "--help"});
    EXPECT_TRUE(
        help.starts_with("usage: quarn-cli [-h HOST] [-p PORT] " + command))
        << help;
  }
}

}  // namespace
