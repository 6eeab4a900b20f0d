// `vepod download`: picks episodes from the database, has the download core fetch them, and
// prints each one's result as it comes. `vepod update --download` runs the same after updating.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "core/episode_download.h"
#include "view/progress.h"

namespace {

// How messages name an episode: its reference and its title.
std::string episode_name(const episode_download &r) { return r.ref + " " + terminal_text(r.title); }

// One episode's result as a line: the file on standard output, a failure on standard error.
// Returns the exit code a failure calls for, else 0.
int print_download(const options &o, const episode_download &r) {
  switch (r.outcome) {
    case episode_outcome::already_there:
    case episode_outcome::downloaded:
      print_downloaded(r);
      return 0;
    case episode_outcome::failed:
      return report(o.command, exit_for(r.problem), episode_name(r) + ": " + r.problem.text);
    case episode_outcome::transfer_failed:
      return report(o.command, exit_for(r.problem),
                    episode_name(r) + ": " + shown_url(r.url) + ": " + r.problem.text);
    case episode_outcome::interrupted:
      return report(o.command, exit_for(r.problem),
                    "interrupted: " + episode_name(r) + "; 'vepod download' resumes it from " +
                        terminal_text(r.path));
  }
  return 0;
}

}  // namespace

int download_chosen(const options &o, store &db, const std::vector<picked_episode> &chosen) {
  download_plan plan;
  failure why;
  if (!plan_downloads(preferences_of(o), db, plan, why)) return fail(o.command, why);
  terminal_progress lines(stderr);
  plan.how.progress = &lines;
  int done = 0, failed = 0, last_exit = k_exit_ok;
  const std::vector<episode_download> results =
      download_episodes(db, chosen, plan, [&](const episode_download &r) {
        if (int exit = print_download(o, r)) last_exit = exit;
      });
  for (const episode_download &r : results) {
    if (r.outcome == episode_outcome::interrupted) return exit_for(r.problem);
    if (r.outcome == episode_outcome::downloaded) done++;
    if (r.outcome == episode_outcome::failed || r.outcome == episode_outcome::transfer_failed)
      failed++;
  }
  if (failed == 0) return k_exit_ok;
  return done == 0 ? last_exit : k_exit_partial;
}

namespace {

// Whether 'vepod download' without a choice takes the episode: a new one, or one whose download
// was cut short (its .part waits for it whether or not it is new).
bool downloads_by_default(store &db, const episode &e) {
  if (e.downloaded >= 0) return false;
  if (e.is_new && e.played < 0) return true;
  partial_download part;
  std::error_code ec;
  return db.partial(e.id, part) && std::filesystem::symlink_status(part.file, ec).type() ==
                                       std::filesystem::file_type::regular;
}

}  // namespace

std::vector<picked_episode> default_downloads(store &db) {
  std::vector<picked_episode> chosen;
  for (const subscription &s : db.subscriptions())
    for (episode &e : db.episodes(s.id, false, -1))
      if (downloads_by_default(db, e)) chosen.push_back({s, std::move(e)});
  return chosen;
}

int cmd_download(const options &o) {
  std::unique_ptr<store> db;
  std::vector<picked_episode> chosen;
  // Without a choice of their own: every episode, of which those downloads_by_default takes.
  const bool by_default = o.args.empty() && o.episode.empty() && !o.all;
  options every = o;
  if (by_default && !o.only_new) every.all = true;
  if (int rc = choose_episodes(every, db, true, chosen)) return rc;
  if (by_default)
    std::erase_if(chosen,
                  [&db](const picked_episode &p) { return !downloads_by_default(*db, p.item); });
  if (chosen.empty()) {
    print_nothing_to_download(by_default);
    return k_exit_ok;
  }
  session net;
  if (int rc = open_session(o, net, o.offline.empty() ? db.get() : nullptr)) return rc;
  return download_chosen(o, *db, chosen);
}
