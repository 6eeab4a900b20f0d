// `vepod download`: picks episodes from the database, resolves each one's stream URL through the
// library and downloads it with the download module, marking what arrived whole.

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "cli.h"
#include "download.h"
#include "filename.h"
#include "vepod.h"

namespace {

// The stream URL the library resolves for an episode recorded from `feed_url`.
bool stream_url_of(const episode &e, const std::string &feed_url, std::string &url,
                   std::string &error) {
  const std::string settings = make_settings({feed_url});
  answer stream = call_stream_url(settings.c_str(), e.entry);
  if (stream.code != VEPOD_OK) {
    error = stream.error;
    return false;
  }
  json_doc doc = read_json(stream.json);
  url = text_member(yyjson_doc_get_root(doc.get()), "url");
  return true;
}

// With --offline the media comes from the local file routed for its URL, through the same
// .part-and-rename as a download.
download_result copy_offline(const options &o, const std::string &url,
                             const std::filesystem::path &dest) {
  download_result result;
  for (const auto &[route, file] : o.offline) {
    if (route != url) continue;
    std::error_code ec;
    std::filesystem::create_directories(dest.parent_path(), ec);
    std::filesystem::path partial = dest;
    partial += k_part_suffix;
    if (!ec)
      std::filesystem::copy_file(file, partial, std::filesystem::copy_options::overwrite_existing,
                                 ec);
    if (!ec) std::filesystem::rename(partial, dest, ec);
    if (ec) {
      result.message = file + ": " + ec.message();
      return result;
    }
    result.status = download_status::complete;
    result.size = std::filesystem::file_size(dest, ec);
    return result;
  }
  result.status = download_status::network_error;
  result.message = "no route (no --offline file for it)";
  return result;
}

}  // namespace

int cmd_download(const options &o) {
  std::unique_ptr<store> db;
  std::vector<picked_episode> chosen;
  if (int rc = choose_episodes(o, db, true, chosen)) return rc;
  std::string out_dir = o.out_dir;
  if (out_dir.empty()) out_dir = db->setting("download-dir");
  if (out_dir.empty()) out_dir = ".";

  session net;
  if (int rc = net.open(o, o.offline.empty() ? db.get() : nullptr)) return rc;
  download_options how;
  how.max_size = static_cast<uint64_t>(o.max_size);
  how.connect_timeout_ms = std::min(o.timeout_ms, how.connect_timeout_ms);
  interrupt_scope ctrl_c;
  int done = 0, failed = 0, last_exit = k_exit_ok;
  for (const auto &[s, e] : chosen) {
    if (e.downloaded >= 0 && std::filesystem::exists(e.file)) {
      std::printf("already downloaded: %s\n", e.file.c_str());
      continue;
    }
    std::string url, error;
    if (!stream_url_of(e, s.url, url, error)) {
      failed++;
      last_exit = report(o.command, k_exit_failure, e.title + ": " + error);
      continue;
    }
    // Episodes of one day may share a title (a feed's parts, re-runs); each keeps its own file.
    std::filesystem::path dest;
    for (unsigned copy = 1; dest.empty() || db->file_taken(dest.string(), e.id); copy++) {
      dest =
          episode_path(out_dir, s.title.empty() ? "Untitled" : s.title,
                       date_text(e.published_ms, o.utc), e.title, media_extension(url, ""), copy);
    }
    // The folders this download makes, innermost first, to take away again if it fails.
    std::vector<std::filesystem::path> made;
    std::error_code ec;
    for (std::filesystem::path f = dest.parent_path();
         !f.empty() && f != f.parent_path() && !std::filesystem::exists(f, ec); f = f.parent_path())
      made.push_back(f);
    how.label = e.title;
    download_result got =
        o.offline.empty() ? download_file(url, dest, how) : copy_offline(o, url, dest);
    if (got.status == download_status::interrupted)
      return report(o.command, k_exit_interrupted,
                    "interrupted; 'vepod download' again resumes " + dest.string() + ".part");
    if (got.status != download_status::complete) {
      // Folders made for this file go again when nothing stayed in them; one that keeps a
      // resumable .part stays (remove takes empty folders only).
      for (const std::filesystem::path &f : made)
        if (!std::filesystem::remove(f, ec)) break;
      failed++;
      last_exit = report(o.command,
                         got.status == download_status::file_error          ? k_exit_failure
                         : got.http_status == 404 || got.http_status == 410 ? k_exit_nothing
                                                                            : k_exit_network,
                         shown_url(url) + ": " + got.message);
      continue;
    }
    store::transaction t(*db);
    db->mark_downloaded(e.id, static_cast<int64_t>(std::time(nullptr)), dest.string());
    t.commit();
    std::printf("%s\n", dest.c_str());
    done++;
  }
  if (done == 0 && failed == 0 && chosen.empty())
    std::printf(o.only_new || (o.args.empty() && o.episode.empty() && !o.all)
                    ? "no new episodes to download (choose others with a reference such as 3.12, "
                      "--feed N --episode M or --all)\n"
                    : "nothing to download\n");
  if (failed == 0) return k_exit_ok;
  return done == 0 ? last_exit : k_exit_partial;
}
