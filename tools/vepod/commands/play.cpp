// `vepod play`: hands an episode's file, or its stream URL, to the listener's player and waits for
// it. The player's command line is split as a shell would split it, and never run by a shell.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wordexp.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "vepod.h"

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

// The player when none is configured: the first of these found on PATH, with what makes it play
// audio and end when the episode does.
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

// Runs `words` with the terminal, waits and answers its exit status (128 + the signal that ended
// it), or -1 with `error` set when it could not start. Meanwhile Ctrl-C is the player's: vepod
// ignores it, the way a shell waits for its job.
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
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WIFEXITED(status) ? WEXITSTATUS(status) : k_exit_failure;
}

}  // namespace

int cmd_play(const options &o) {
  if (o.args.size() != 1) return usage_error(o, "takes one episode reference, such as 3.12");
  std::unique_ptr<store> db;
  std::vector<picked_episode> chosen;
  if (int rc = choose_episodes(o, db, false, chosen)) return rc;
  const picked_episode &p = chosen.front();

  std::vector<std::string> player;
  std::string configured = db->setting("player"), error;
  if (!configured.empty()) {
    if (!split_command_line(configured, player, error))
      return report(o.command, k_exit_failure,
                    "the player '" + terminal_text(configured) +
                        "' is not a command line: " + error + " (see 'vepod config player')");
  } else {
    player = default_player();
    if (player.empty())
      return report(o.command, k_exit_failure,
                    "no player found (mpv, ffplay, cvlc, mpg123): name one with 'vepod config "
                    "player COMMAND'");
  }

  // The downloaded file when it is still there, else the stream; a file's path is absolute, so
  // that no player reads it as an option.
  std::string what;
  std::error_code ec;
  if (p.item.downloaded >= 0 && std::filesystem::symlink_status(p.item.file, ec).type() ==
                                    std::filesystem::file_type::regular)
    what = std::filesystem::absolute(p.item.file, ec).string();
  if (what.empty()) {
    session net;
    if (int rc = open_session(o, net, o.offline.empty() ? db.get() : nullptr)) return rc;
    answer stream = call_stream_url(make_settings({p.feed.url}).c_str(), p.item.entry);
    if (stream.code != VEPOD_OK) return fail(o.command, stream.problem());
    json_doc doc = read_json(stream.json);
    std::string why;
    const std::string resolved = text_member(yyjson_doc_get_root(doc.get()), "url");
    if (!check_url(resolved, what, why))
      return report(o.command, k_exit_failure, "the stream URL " + shown_url(resolved) + " " + why);
  }
  print_playing(p);
  player.push_back(what);
  const int status = run_player(player, error);
  if (status < 0) return report(o.command, k_exit_failure, error);
  if (status == 0 && (o.mark || db->setting("mark-played-after-play") == "on")) {
    store::transaction t(*db);
    db->mark_played(p.item.id, true, now_s());
    t.commit();
  }
  return status;
}
