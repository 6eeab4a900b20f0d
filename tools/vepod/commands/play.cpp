// `vepod play`: hands an episode's file, or its stream URL, to the listener's player and waits for
// it. The player's command line is split as a shell would split it, and never run by a shell.

#include <filesystem>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "core/player.h"
#include "vepod.h"

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
