// Running the listener's player: its command line split as a shell would split it, and never
// run by a shell.

#include "core/player.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char **environ;

bool split_command_line(const std::string &text, std::vector<std::string> &words,
                        std::string &error) {
  wordexp_t expanded{};
  // WRDE_NOCMD: $(...) and backquotes are refused, not run; WRDE_UNDEF: an unset variable is an
  // error rather than nothing.
  int rc = wordexp(text.c_str(), &expanded, WRDE_NOCMD | WRDE_UNDEF);
  if (rc == 0) {
    words.assign(expanded.we_wordv, expanded.we_wordv + expanded.we_wordc);
    wordfree(&expanded);
    if (words.empty()) error = "it names no program";
    return !words.empty();
  }
  if (rc == WRDE_NOSPACE) wordfree(&expanded);
  error = rc == WRDE_BADCHAR  ? "it holds one of | & ; < > ( ) { } or a line break unquoted"
          : rc == WRDE_CMDSUB ? "it holds a command substitution, which is never run"
          : rc == WRDE_BADVAL ? "it names a variable that is not set"
          : rc == WRDE_SYNTAX ? "its quotes do not close"
                              : "out of memory";
  return false;
}

namespace {

// Whether `program` is an executable file in one of PATH's folders.
bool on_path(const std::string &program) {
  const char *path = std::getenv("PATH");
  std::string folders = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= folders.size();) {
    size_t end = folders.find(':', at);
    if (end == std::string::npos) end = folders.size();
    std::string folder = folders.substr(at, end - at);
    if (folder.empty()) folder = std::string(".");  // a literal draws GCC 12's -Wrestrict
    std::error_code ec;
    const std::filesystem::path candidate = std::filesystem::path(folder) / program;
    if (std::filesystem::is_regular_file(candidate, ec) && access(candidate.c_str(), X_OK) == 0)
      return true;
    at = end + 1;
  }
  return false;
}

}  // namespace

std::vector<std::string> default_player() {
  static const std::vector<std::vector<std::string>> k_players = {
      {"mpv", "--no-video"},
      {"ffplay", "-nodisp", "-autoexit", "-loglevel", "warning"},
      {"cvlc", "--play-and-exit"},
      {"mpg123"},
  };
  for (const std::vector<std::string> &player : k_players)
    if (on_path(player.front())) return player;
  return {};
}

int run_player(const std::vector<std::string> &words, std::string &error) {
  std::vector<char *> argv;
  for (const std::string &w : words) argv.push_back(const_cast<char *>(w.c_str()));
  argv.push_back(nullptr);
  struct sigaction ignore {
  }, old_int{}, old_quit{};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &old_int);
  sigaction(SIGQUIT, &ignore, &old_quit);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  int status = 0;
  if (rc == 0)
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGQUIT, &old_quit, nullptr);
  if (rc != 0) {
    error = "cannot start " + words.front() + ": " + std::strerror(rc);
    return -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
