// `vepod clean`: deletes the downloaded files of played episodes. Only the very files the database
// recorded are touched, and nothing is followed on the way: a link in place of the feed's folder
// or of the file is left alone.

#include <string>
#include <vector>

#include "commands/commands.h"

int cmd_clean(const options &o) {
  if (!o.args.empty()) return usage_error(o, "takes no arguments (--feed N chooses a feed)");
  options every = o;
  every.all = true;
  std::unique_ptr<store> db;
  std::vector<picked_episode> chosen;
  if (int rc = choose_episodes(every, db, false, chosen,
                               o.dry_run ? store::access::read : store::access::write))
    return rc;
  const int64_t now = now_s();
  const int64_t before = o.older_than_days < 0 ? now : now - o.older_than_days * 86400;
  uint64_t freed = 0;
  int considered = 0, removed = 0, failed = 0;
  for (const picked_episode &p : chosen) {
    const episode &e = p.item;
    if (e.downloaded < 0 || e.played < 0 || e.played > before || e.file.empty()) continue;
    considered++;
    const std::string name =
        episode_ref(e) + " " + terminal_text(e.title) + ": " + terminal_text(e.file);
    uint64_t bytes = 0;
    std::string error;
    switch (remove_file(e.file, o.dry_run, bytes, error)) {
      case removal::would_delete:
        print_cleaned("would delete", name, static_cast<int64_t>(bytes));
        freed += bytes;
        removed++;
        continue;
      case removal::deleted:
        print_cleaned("deleted", name, static_cast<int64_t>(bytes));
        freed += bytes;
        removed++;
        break;
      case removal::gone_already:
        if (o.dry_run) continue;
        print_cleaned("gone already", name, -1);
        break;
      case removal::not_a_file:  // left alone on purpose, and said so
        report(o.command, k_exit_ok, "left " + name + ": " + error);
        continue;
      case removal::failed:
        failed++;
        report(o.command, k_exit_ok, "cannot delete " + name + ": " + error);
        continue;
    }
    // The episode stays, no longer downloaded.
    store::transaction t(*db);
    db->forget_download(e.id);
    t.commit();
  }
  print_clean_summary(o.dry_run, considered, removed, freed, o.older_than_days >= 0);
  return failed == 0 ? k_exit_ok : k_exit_failure;
}
