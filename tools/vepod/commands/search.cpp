// `vepod search`: asks a podcast directory (the iTunes Search API, or the Podcast Index) for
// podcasts by name, keeps the results for 'subscribe --result N' and shows them.

#include <algorithm>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "core/search.h"

int cmd_search(const options &o) {
  std::string terms;
  for (const std::string &word : o.args) terms += (terms.empty() ? "" : " ") + word;
  if (terms.find_first_not_of(" \t") == std::string::npos)
    return usage_error(o, "needs the words to search for");
  if (!o.directory.empty() && o.directory != "itunes" && o.directory != "podcastindex")
    return usage_error(o, "--directory is itunes or podcastindex");
  std::unique_ptr<store> db = open_store(o);
  const int64_t limit =
      o.limit < 0 ? k_default_search_results : std::min(o.limit, k_max_search_results);
  const std::string key = db->setting("podcastindex-key"),
                    secret = db->setting("podcastindex-secret");
  const bool podcastindex =
      o.directory == "podcastindex" || (o.directory.empty() && !key.empty() && !secret.empty());
  if (podcastindex && (key.empty() || secret.empty()))
    return usage_error(o,
                       "the Podcast Index needs a key and a secret: 'vepod config "
                       "podcastindex-key KEY' and 'vepod config podcastindex-secret SECRET'");
  if (podcastindex && (key + secret).find_first_of("\r\n") != std::string::npos)
    return usage_error(o, "the Podcast Index key and secret must be one line each");
  directory d = podcastindex ? podcastindex_directory(db->setting("podcastindex-url"), key, secret,
                                                      terms, limit)
                             : itunes_directory(db->setting("search-url"), terms, limit);
  std::string checked, why;
  if (!check_url(d.url, checked, why))
    return report(o.command, k_exit_usage, d.name + ": the URL " + redact_url(d.url) + " " + why);
  d.url = checked;
  std::vector<search_result> results;
  if (failure f = search_directory(d, o.timeout_ms, limit, results)) return fail(o.command, f);
  {
    store::transaction t(*db);
    db->save_search(results);
    t.commit();
  }
  if (o.json) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *list = yyjson_mut_arr(doc);
    yyjson_mut_doc_set_root(doc, list);
    for (size_t i = 0; i < results.size(); i++) {
      yyjson_mut_val *item = yyjson_mut_arr_add_obj(doc, list);
      yyjson_mut_obj_add_int(doc, item, "number", static_cast<int64_t>(i + 1));
      yyjson_mut_obj_add_strcpy(doc, item, "title", results[i].title.c_str());
      yyjson_mut_obj_add_strcpy(doc, item, "author", results[i].author.c_str());
      if (results[i].episodes >= 0)
        yyjson_mut_obj_add_int(doc, item, "episodes", results[i].episodes);
      yyjson_mut_obj_add_strcpy(doc, item, "url", results[i].url.c_str());
    }
    if (int rc = print_built_json(o, doc)) return rc;
    return results.empty() ? k_exit_nothing : k_exit_ok;
  }
  if (results.empty())
    return report(o.command, k_exit_nothing,
                  d.name + " found no podcasts for '" + terminal_text(terms) + "'");
  print_search_results(results);
  return k_exit_ok;
}
