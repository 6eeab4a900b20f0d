// `vepod download`: picks episodes from the database, has the download core fetch them, and
// prints each one's result as it comes.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "episode_download.h"

namespace {

// One episode's result as a line: the file on standard output, a failure on standard error.
// Returns the exit code a failure calls for, else 0.
int print_download(const options &o, const episode_download &r) {
  switch (r.outcome) {
    case episode_outcome::already_there:
      std::printf("already downloaded: %s\n", terminal_text(r.path).c_str());
      return 0;
    case episode_outcome::downloaded:
      std::printf("%s\n", terminal_text(r.path).c_str());
      return 0;
    case episode_outcome::failed:
      return report(o.command, r.exit, r.title + ": " + r.error);
    case episode_outcome::transfer_failed:
      return report(o.command, r.exit, shown_url(r.url) + ": " + r.error);
    case episode_outcome::interrupted:
      return report(o.command, k_exit_interrupted,
                    "interrupted; 'vepod download' again resumes " + r.path);
  }
  return 0;
}

}  // namespace

int cmd_download(const options &o) {
  std::unique_ptr<store> db;
  std::vector<picked_episode> chosen;
  if (int rc = choose_episodes(o, db, true, chosen)) return rc;
  download_plan plan;
  plan.out_dir = o.out_dir;
  if (plan.out_dir.empty()) plan.out_dir = db->setting("download-dir");
  if (plan.out_dir.empty()) plan.out_dir = ".";
  plan.utc = o.utc;
  plan.offline = o.offline;

  session net;
  if (int rc = net.open(o, o.offline.empty() ? db.get() : nullptr)) return rc;
  plan.how.max_size = static_cast<uint64_t>(o.max_size);
  plan.how.connect_timeout_ms = std::min(o.timeout_ms, plan.how.connect_timeout_ms);
  // --timeout bounds a stall too, never a long transfer that keeps moving.
  plan.how.stall_timeout_s = std::max(1L, o.timeout_ms / 1000);
  int done = 0, failed = 0, last_exit = k_exit_ok;
  const std::vector<episode_download> results =
      download_episodes(*db, chosen, plan, [&](const episode_download &r) {
        if (int exit = print_download(o, r)) last_exit = exit;
      });
  for (const episode_download &r : results) {
    if (r.outcome == episode_outcome::interrupted) return k_exit_interrupted;
    if (r.outcome == episode_outcome::downloaded) done++;
    if (r.outcome == episode_outcome::failed || r.outcome == episode_outcome::transfer_failed)
      failed++;
  }
  if (chosen.empty())
    std::printf(o.only_new || (o.args.empty() && o.episode.empty() && !o.all)
                    ? "no new episodes to download (choose others with a reference such as 3.12, "
                      "--feed N --episode M or --all)\n"
                    : "nothing to download\n");
  if (failed == 0) return k_exit_ok;
  return done == 0 ? last_exit : k_exit_partial;
}
