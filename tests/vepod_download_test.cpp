// The command-line host's downloads against the loopback server, and the names it gives files.

#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "core/download.h"
#include "core/filename.h"
#include "view/format.h"
#include "view/progress.h"

extern char **environ;

namespace fs = std::filesystem;

namespace {

constexpr size_t k_media_size = 200000;  // the server's MEDIA_SIZE
constexpr size_t k_media_chunk = 4096;   // the server's MEDIA_CHUNK

// The server's media body for NAME (see media_bytes in the server).
std::string media_bytes(std::string_view name) {
  uint32_t seed = 2166136261u;
  for (unsigned char byte : name) seed = (seed ^ byte) * 16777619u;
  std::string body(k_media_size, '\0');
  for (size_t i = 0; i < body.size(); i++)
    body[i] = static_cast<char>((static_cast<uint32_t>(i) * 2654435761u + seed) >> 24);
  return body;
}

std::string read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// -1 when the file does not exist.
long long size_of(const fs::path &path) {
  std::error_code error;
  auto size = fs::file_size(path, error);
  return error ? -1 : static_cast<long long>(size);
}

fs::path part_of(fs::path dest) { return dest += ".part"; }

// tests/loopback_server.py in a child process, on a port of its choosing.
class LoopbackServer {
 public:
  LoopbackServer() {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
    char python[] = VEPOD_PYTHON, script[] = VEPOD_LOOPBACK_SERVER;
    char *argv[] = {python, script, nullptr};
    if (posix_spawn(&pid_, python, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    out_ = fdopen(pipe_fds[0], "r");
    char line[256] = "";
    // "serving on http://127.0.0.1:PORT (Ctrl-C stops)"
    if (out_ && std::fgets(line, sizeof line, out_)) {
      std::string text = line;
      size_t at = text.find("http://");
      if (at != std::string::npos) base_ = text.substr(at, text.find(' ', at) - at);
    }
  }
  ~LoopbackServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (out_) std::fclose(out_);
  }
  const std::string &base() const { return base_; }

 private:
  pid_t pid_ = -1;
  std::FILE *out_ = nullptr;
  std::string base_;
};

class Download : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    server_ = new LoopbackServer;
  }
  static void TearDownTestSuite() {
    delete server_;
    curl_global_cleanup();
  }
  void SetUp() override {
    ASSERT_FALSE(server_->base().empty()) << "the loopback server did not start";
    std::string pattern = (fs::temp_directory_path() / "vepod-download-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    options_.progress = nullptr;
  }
  void TearDown() override { fs::remove_all(dir_); }

  download_result fetch(const std::string &route, const fs::path &dest) {
    return download_file(server_->base() + route, dest, options_);
  }

  static LoopbackServer *server_;
  fs::path dir_;
  download_options options_;
};

LoopbackServer *Download::server_ = nullptr;

// A .part before the call: none, the first bytes of the real file, junk, the whole file, or junk
// longer than the file.
enum class before { nothing, good_start, junk, whole, too_long };
// The validator kept with that .part: none, the server's ETag for the file, or an older one.
enum class kept { none, current, stale };

// The server's ETag for /media/.../NAME of the default size (see media_etag in the server).
std::string media_etag(std::string_view name) {
  return "\"" + std::string(name) + "-" + std::to_string(k_media_size) + "\"";
}

struct outcome_case {
  const char *what;
  const char *route;
  before part;
  kept validator;
  uint64_t max_size;
  download_status status;
  long http_status;
  bool resumed;
  long long part_after;  // bytes of the .part afterwards, -1: none
};

TEST_F(Download, OutcomesByRoute) {
  constexpr uint64_t max = k_default_max_download;
  constexpr long long none = -1;
  const outcome_case cases[] = {
      {"whole file", "/media/a.mp3", before::nothing, kept::none, max, download_status::complete,
       200, false, none},
      {"redirects followed", "/redirect/308/redirect/301/media/a.mp3", before::nothing, kept::none,
       max, download_status::complete, 200, false, none},
      {"a good .part resumed", "/media/a.mp3", before::good_start, kept::current, max,
       download_status::complete, 206, true, none},
      // A .part nothing vouches for may be anyone's bytes: it is not continued.
      {"a .part without its validator starts afresh", "/media/a.mp3", before::junk, kept::none, max,
       download_status::complete, 200, false, none},
      {"a .part of another version starts afresh", "/media/a.mp3", before::junk, kept::stale, max,
       download_status::complete, 200, false, none},
      {"200 to a resume starts over", "/media/norange/a.mp3", before::junk, kept::current, max,
       download_status::complete, 200, false, none},
      {"a .part already whole (416)", "/media/a.mp3", before::whole, kept::current, max,
       download_status::complete, 416, false, none},
      {"a .part longer than the file (416, then all)", "/media/a.mp3", before::too_long,
       kept::current, max, download_status::complete, 200, false, none},
      {"no length announced", "/media/chunked/a.mp3", before::nothing, kept::none, max,
       download_status::complete, 200, false, none},
      {"a size exactly at the limit", "/media/a.mp3", before::nothing, kept::none, k_media_size,
       download_status::complete, 200, false, none},
      {"fewer bytes than the range's total", "/media/stingy/a.mp3", before::good_start,
       kept::current, max, download_status::incomplete, 206, true, 1000 + k_media_chunk},
      {"connection closed early", "/media/short/a.mp3", before::nothing, kept::none, max,
       download_status::network_error, 200, false, k_media_size / 2},
      {"announced size above the limit", "/media/a.mp3", before::nothing, kept::none,
       k_media_size - 1, download_status::too_large, 200, false, none},
      {"resumed size above the limit", "/media/a.mp3", before::good_start, kept::current,
       k_media_size - 1, download_status::too_large, 206, false, none},
      {"unannounced size above the limit", "/media/chunked/a.mp3", before::nothing, kept::none,
       100000, download_status::too_large, 200, false, none},
      {"not found", "/missing", before::nothing, kept::none, max, download_status::http_error, 404,
       false, none},
      {"a .part outlives a 404", "/missing", before::good_start, kept::current, max,
       download_status::http_error, 404, false, 1000},
      {"redirect loop", "/loop", before::nothing, kept::none, max, download_status::network_error,
       301, false, none},
  };
  const std::string body = media_bytes("a.mp3");
  for (const outcome_case &c : cases) {
    SCOPED_TRACE(c.what);
    fs::path dest = dir_ / c.what / "a.mp3";
    fs::create_directories(dest.parent_path());
    if (c.part == before::good_start) write_file(part_of(dest), body.substr(0, 1000));
    if (c.part == before::junk) write_file(part_of(dest), std::string(1000, 'x'));
    if (c.part == before::whole) write_file(part_of(dest), body);
    if (c.part == before::too_long) write_file(part_of(dest), std::string(k_media_size + 1, 'x'));
    options_.max_size = c.max_size;
    options_.validator = c.validator == kept::current ? media_etag("a.mp3")
                         : c.validator == kept::stale ? "\"a.mp3-older\""
                                                      : "";

    download_result r = fetch(c.route, dest);
    EXPECT_EQ(r.status, c.status) << r.message;
    EXPECT_EQ(r.http_status, c.http_status);
    EXPECT_EQ(r.resumed, c.resumed);
    EXPECT_EQ(size_of(part_of(dest)), c.part_after);
    if (c.status == download_status::complete) {
      EXPECT_EQ(r.size, k_media_size);
      EXPECT_EQ(r.validator, media_etag("a.mp3"));
      EXPECT_TRUE(read_file(dest) == body) << "the file differs from the server's";
      EXPECT_TRUE(r.message.empty());
    } else {
      EXPECT_EQ(size_of(dest), -1) << "an unfinished download was given the final name";
      EXPECT_FALSE(r.message.empty());
    }
    if (c.part_after > 0) {  // what is kept is the start of the real file, ready to resume
      EXPECT_TRUE(read_file(part_of(dest)) == body.substr(0, static_cast<size_t>(c.part_after)));
    }
  }
}

// What a hostile neighbour left in the download folder, leading outside it.
enum class planted { part_link, resumed_part_link, dest_link, folder_link, hard_linked_part };

// Links planted in the download folder lead outside it: none is followed, nothing outside changes.
TEST_F(Download, LinksInTheFolderAreNeverFollowed) {
  using enum planted;
  const std::string body = media_bytes("a.mp3");
  const struct {
    const char *what;
    planted plant;
    download_status status;
  } cases[] = {
      {"a .part that is a link", part_link, download_status::complete},
      {"a resumed .part that is a link", resumed_part_link, download_status::complete},
      {"a destination that is a link", dest_link, download_status::file_error},
      {"a feed folder that is a link", folder_link, download_status::file_error},
      {"a resumed .part with a second name outside", hard_linked_part, download_status::file_error},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    fs::path root = dir_ / c.what, outside = root / "outside", dest = root / "Show" / "a.mp3";
    fs::create_directories(outside);
    const fs::path victim = outside / "victim";
    write_file(victim, std::string(1000, 'v'));
    if (c.plant == folder_link) {
      fs::create_directory_symlink(outside, root / "Show");
    } else {
      fs::create_directories(dest.parent_path());
      if (c.plant == dest_link) fs::create_symlink(victim, dest);
      if (c.plant == part_link || c.plant == resumed_part_link)
        fs::create_symlink(victim, part_of(dest));
      if (c.plant == hard_linked_part) fs::create_hard_link(victim, part_of(dest));
    }
    options_.validator = c.plant == part_link ? "" : media_etag("a.mp3");
    download_result r = fetch("/media/a.mp3", dest);
    EXPECT_EQ(r.status, c.status) << r.message;
    EXPECT_EQ(read_file(victim), std::string(1000, 'v'));
    EXPECT_EQ(fs::directory_entry(outside).exists()
                  ? std::distance(fs::directory_iterator(outside), fs::directory_iterator{})
                  : 0,
              1);
    if (c.status == download_status::complete) {
      EXPECT_FALSE(fs::is_symlink(dest));
      EXPECT_TRUE(read_file(dest) == body);
    }
  }
}

TEST_F(Download, InterruptedTransferLeavesAPartThatResumes) {
  fs::path dest = dir_ / "Feed" / "slow.mp3";
  fs::path part = part_of(dest);
  {
    interrupt_scope outer;  // a SIGINT that arrives after the transfer must not end the test
    std::atomic<bool> finished = false;
    std::thread interrupter([&] {
      while (!finished && size_of(part) <= 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (!finished) kill(getpid(), SIGINT);
    });
    download_result first = fetch("/media/slow/slow.mp3", dest);
    finished = true;
    interrupter.join();
    EXPECT_EQ(first.validator, media_etag("slow.mp3"));
    options_.validator = first.validator;
    ASSERT_EQ(first.status, download_status::interrupted) << first.message;
    EXPECT_TRUE(interrupt_requested());
    // Within the scope the interruption holds: a caller's next file stops at once.
    EXPECT_EQ(fetch("/media/slow.mp3", dest).status, download_status::interrupted);
  }
  EXPECT_EQ(size_of(dest), -1);
  long long kept = size_of(part);
  ASSERT_GT(kept, 0);
  ASSERT_LT(kept, static_cast<long long>(k_media_size));

  // The same bytes from the fast route, continued where the first transfer stopped.
  download_result second = fetch("/media/slow.mp3", dest);
  ASSERT_EQ(second.status, download_status::complete) << second.message;
  EXPECT_TRUE(second.resumed);
  EXPECT_EQ(second.expected, static_cast<int64_t>(k_media_size));
  EXPECT_EQ(size_of(part), -1);
  EXPECT_TRUE(read_file(dest) == media_bytes("slow.mp3"));
}

TEST_F(Download, OffATerminalOnlyTheFinalLineIsWritten) {
  std::FILE *log = std::tmpfile();
  ASSERT_NE(log, nullptr);
  {
    terminal_progress lines(log);
    options_.progress = &lines;
    options_.label = "Episode 1";
    EXPECT_EQ(fetch("/media/b.mp3", dir_ / "b.mp3").status, download_status::complete);
    EXPECT_EQ(fetch("/missing", dir_ / "c.mp3").status, download_status::http_error);
  }
  std::rewind(log);
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), log));
  std::fclose(log);
  EXPECT_EQ(text.find('\r'), std::string::npos) << text;
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;  // one line, for the complete file
  EXPECT_EQ(text.rfind("Episode 1  200.0 kB in ", 0), 0u) << text;
}

TEST_F(Download, OnATerminalOneLineIsRedrawnWithinTheWidth) {
  int terminal = -1, reader = -1;
  winsize size{};
  size.ws_col = 60;
  size.ws_row = 24;
  ASSERT_EQ(openpty(&reader, &terminal, nullptr, nullptr, &size), 0);
  termios mode{};
  tcgetattr(terminal, &mode);
  cfmakeraw(&mode);  // the bytes as written, without "\n" turned into "\r\n"
  tcsetattr(terminal, TCSANOW, &mode);
  std::FILE *out = fdopen(terminal, "w");
  {
    terminal_progress lines(out);
    options_.progress = &lines;
    options_.label = std::string(100, 'L');
    EXPECT_EQ(fetch("/media/slow/d.mp3", dir_ / "d.mp3").status, download_status::complete);
  }
  std::fclose(out);

  std::string text;
  char buffer[4096];
  fcntl(reader, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(reader, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(reader);
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;  // one line for the file
  ASSERT_EQ(text.front(), '\r');
  for (size_t at = 0; at < text.size();) {  // every drawing fits in 60 columns
    size_t next = std::min(text.find('\r', at + 1), text.size());
    std::string drawing = text.substr(at + 1, next - at - 1);
    drawing = drawing.substr(0, drawing.find('\033'));  // up to "erase to the end of the line"
    size_t columns = 0;                                 // all ASCII but the ellipsis
    for (char c : drawing) columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    EXPECT_LT(columns, 60u) << drawing;
    EXPECT_EQ(drawing.rfind("LLL", 0), 0u) << drawing;
    at = next;
  }
  EXPECT_NE(text.find(" kB / 200.0 kB "), std::string::npos) << text;  // bytes of the total
  EXPECT_NE(text.find("/s  ETA 0:0"), std::string::npos) << text;
  EXPECT_NE(text.find("\u2026  200.0 kB in "), std::string::npos) << text;  // the final line
}

TEST(FileNames, SafeNames) {
  const std::string long_name(300, 'a');
  const struct {
    std::string_view text;
    size_t max_bytes;
    std::string_view expected;
  } cases[] = {
      {"News/Daily", 255, "News_Daily"},
      {"a:b*c?d\"e<f>g|h\\i", 255, "a_b_c_d_e_f_g_h_i"},
      {"  Spaced\t\tout \n title  ", 255, "Spaced out title"},
      {"bell\x07 del\x7f next\xc2\x85line\xe2\x80\xa8"
       "end",
       255, "bell del next line end"},
      {"..hidden", 255, "hidden"},
      {". . .x", 255, "x"},
      {"trailing dots... ", 255, "trailing dots"},
      {"...", 255, ""},
      {"", 255, ""},
      {"\xff\xfe ok", 255, "__ ok"},
      {"\xc0\xaf overlong slash", 255, "__ overlong slash"},
      {"\xed\xa0\x80 surrogate", 255, "___ surrogate"},
      {"Caf\xc3\xa9 \xe2\x88\x95 \xe6\xb7\xb1\xe5\xa4\x9c", 255,
       "Caf\xc3\xa9 \xe2\x88\x95 \xe6\xb7\xb1\xe5\xa4\x9c"},
      {long_name, 255, std::string_view(long_name).substr(0, 255)},
      {"a\xc3\xa9\xc3\xa9", 4, "a\xc3\xa9"},  // never half a character
      {"abc def", 4, "abc"},
      {"CON", 255, "CON_"},
      {"con.mp3", 255, "con_.mp3"},
      {"Lpt9.x", 255, "Lpt9_.x"},
      {"COM1", 4, "COM_"},
      {"CONSOLE", 255, "CONSOLE"},
      {"CONIN$", 255, "CONIN$_"},
      {"nul .mp3", 255, "nul_ .mp3"},
      {"COM\xc2\xb9.txt", 255, "COM\xc2\xb9_.txt"},
      {"-rf", 255, "_rf"},
      {"gpj.\xe2\x80\xae"
       "exe",
       255, "gpj. exe"},  // a bidi override
      {"csi\xc2\x9b"
       "2J",
       255, "csi 2J"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(safe_file_name(c.text, c.max_bytes), c.expected) << "input: " << c.text;
}

TEST(FileNames, Extensions) {
  const struct {
    std::string_view url, mime_type, expected;
  } cases[] = {
      {"https://h.example/ep.mp3", "", "mp3"},
      {"https://h.example/ep.MP3?x=1.ogg#f.opus", "", "mp3"},
      {"https://h.example/p/ep.m4a/download", "audio/mpeg", "mp3"},
      {"https://h.example/download.php?id=3", "audio/mpeg", "mp3"},
      {"https://h.example/episode", "audio/x-m4a", "m4a"},
      {"https://h.example/episode", "Audio/MP4; codecs=mp4a", "m4a"},
      {"https://h.example/episode", "audio/ogg", "ogg"},
      {"https://h.example/episode", "audio/opus", "opus"},
      {"https://h.example/episode", "video/mp4", "mp4"},
      {"https://h.example", "audio/mpeg", "mp3"},  // the host's dots are no extension
      {"https://h.example/file.toolong", "", ""},
      {"https://h.example/a.b/episode", "application/x-unknown", ""},
      // Only media and documents, and only when the type agrees.
      {"https://h.example/ep.mp4", "audio/mp4", "mp4"},
      {"https://h.example/ep.m4a", "audio/mpeg", "m4a"},
      {"https://h.example/ep.pdf", "application/pdf", "pdf"},
      {"https://h.example/ep.jpg", "application/octet-stream", "jpg"},
      {"https://h.example/ep.mp3", "video/mp4", "mp4"},
      {"https://h.example/ep.exe", "audio/mpeg", "mp3"},
      {"https://h.example/ep.exe", "", ""},
      {"https://h.example/ep.EXE", "application/octet-stream", ""},
      {"https://h.example/ep.lnk", "video/mp4", "mp4"},
  };
  for (std::string_view program : {"exe", "bat", "cmd", "scr", "hta", "lnk", "url", "js", "vbs",
                                   "jar", "ps1", "msi", "reg", "com", "pif", "cpl", "desktop"}) {
    const std::string url = "https://h.example/ep." + std::string(program);
    EXPECT_EQ(media_extension(url, "audio/mpeg"), "mp3") << url;
    EXPECT_EQ(media_extension(url, ""), "") << url;
  }
  for (const auto &c : cases)
    EXPECT_EQ(media_extension(c.url, c.mime_type), c.expected) << c.url << " " << c.mime_type;
}

TEST(FileNames, DatesAndPaths) {
  EXPECT_EQ(date_text(0, true), "1970-01-01");
  EXPECT_EQ(date_text(1717401600000, true), "2024-06-03");
  EXPECT_EQ(date_text(-1, true), "");
  setenv("TZ", "EST5", 1);
  tzset();
  EXPECT_EQ(date_text(1717372800000, false), "2024-06-02");  // midnight UTC is still the 2nd

  EXPECT_EQ(episode_path("/d", "News/Daily", "2024-06-03", "Ep 1: Start", "mp3"),
            fs::path("/d/News_Daily/2024-06-03 Ep 1_ Start.mp3"));
  EXPECT_EQ(episode_path("/d", "..", "", "", ""), fs::path("/d/Untitled/Untitled"));
  EXPECT_EQ(episode_path("/d", "F", "2024-06-03", "Same", "mp3", 2),
            fs::path("/d/F/2024-06-03 Same (2).mp3"));
  for (unsigned copy : {1u, 12u}) {
    fs::path long_title =
        episode_path("/d", "F", "2024-06-03", std::string(400, 'x'), "opus", copy);
    EXPECT_EQ(long_title.filename().string().size() + k_part_suffix.size(), k_max_name_bytes);
  }
}

}  // namespace
