// `vepod show REF`: one episode's details as the library reads them from its feed, laid out by the
// view (view/show.cpp).

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "commands/commands.h"
#include "vepod.h"

int cmd_show(const options &o) {
  if (o.args.size() != 1) return usage_error(o, "takes one episode reference (3.12)");
  std::unique_ptr<store> db;
  std::vector<picked_episode> chosen;
  if (int rc = choose_episodes(o, db, false, chosen, store::access::read)) return rc;
  const picked_episode &p = chosen.front();
  session net;
  // A read-only database still answers from the feeds it keeps; what is fetched is not kept.
  if (int rc = open_session(o, net, o.offline.empty() ? db.get() : nullptr)) return rc;
  // The library answers an entry's own path with that entry and every detail the feed gives.
  json_doc entry = read_json(p.item.entry);
  std::string path = text_member(yyjson_doc_get_root(entry.get()), "path");
  // The library keeps a thread's latest answer until the thread asks for another or ends: asked
  // on a thread of its own, the answer of a large entry is not held twice.
  answer details;
  std::thread([&] { details = call_list(make_settings({p.feed.url}), path); }).join();
  // One episode of a feed is all that is shown: the library's copy of the feed's body is not
  // needed once the answer is there, and the answer is read in place, so that the notes of a
  // large feed are laid out in the room this leaves.
  vepod_cache_clear();
  json_doc doc = read_json_in_place(details.json);
  yyjson_val *d = yyjson_arr_get(yyjson_doc_get_root(doc.get()), 0);
  // An episode the feed no longer carries: what the database keeps of it is all there is.
  if (details.code == VEPOD_ERR_NOT_FOUND && details.error.starts_with("folder not found")) {
    if (o.json) {
      print_json(stdout, p.item.entry, o.pretty);
    } else {
      print_details(stdout, p, nullptr);
      print_no_longer_carried();
    }
    return k_exit_ok;
  }
  if (details.code != 0 || d == nullptr) {
    // What the database holds is still shown; the failure is said after it.
    if (!o.json) print_details(stdout, p, nullptr);
    return report(o.command, details.code != 0 ? exit_for(details.problem()) : k_exit_nothing,
                  "no details from the feed: " +
                      (details.code != 0 ? details.error : std::string("episode not listed")));
  }
  if (o.json) {
    print_json(stdout, write_json(d), o.pretty);
    return k_exit_ok;
  }
  print_details(stdout, p, d);
  return k_exit_ok;
}
