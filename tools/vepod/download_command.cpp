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

// The MIME type the feed gave the episode's media, from its listing entry.
std::string enclosure_type(const episode &e) {
  json_doc doc = read_json(e.entry);
  return text_member(yyjson_doc_get_root(doc.get()), "enclosure_type");
}

// Whether anything has the name, a link (even a dangling one) included.
bool name_in_use(const std::filesystem::path &path) {
  std::error_code ec;
  return std::filesystem::symlink_status(path, ec).type() != std::filesystem::file_type::not_found;
}

// Copy numbers tried before giving up on finding a free name.
constexpr unsigned k_max_copies = 1000;

// With --offline the media comes from the local file routed for its URL, through the same
// .part-and-rename as a download.
download_result copy_offline(const options &o, const std::string &url,
                             const std::filesystem::path &dest) {
  download_result result;
  for (const auto &[route, file] : o.offline) {
    if (route != url) continue;
    std::error_code ec;
    std::filesystem::create_directories(dest.parent_path(), ec);
    if (!ec && std::filesystem::is_symlink(dest.parent_path(), ec))
      ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    std::filesystem::path partial = dest;
    partial += k_part_suffix;
    if (!ec) std::filesystem::remove(partial, ec);  // a link there goes, unfollowed
    if (!ec) std::filesystem::copy_file(file, partial, ec);
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
  if (!o.args.empty()) return usage_error(o, "takes no arguments (choose with --feed)");
  std::unique_ptr<store> db;
  std::vector<subscription> feeds;
  if (int rc = choose_feeds(o, db, feeds)) return rc;

  session net;
  if (int rc = net.open(o, o.offline.empty() ? db.get() : nullptr)) return rc;
  download_options how;
  how.max_size = static_cast<uint64_t>(o.max_size);
  how.connect_timeout_ms = std::min(o.timeout_ms, how.connect_timeout_ms);
  // --timeout bounds a stall too, never a long transfer that keeps moving.
  how.stall_timeout_s = std::max(1L, o.timeout_ms / 1000);
  interrupt_scope ctrl_c;
  int done = 0, failed = 0, last_exit = k_exit_ok;
  for (const subscription &s : feeds) {
    std::vector<episode> chosen;
    if (int rc = choose_episodes(o, *db, s, chosen)) {
      failed++;
      last_exit = rc;
      continue;
    }
    for (const episode &e : chosen) {
      if (e.downloaded >= 0 && std::filesystem::exists(e.file)) {
        std::printf("already downloaded: %s\n", terminal_text(e.file).c_str());
        continue;
      }
      std::string resolved, url, error;
      if (!stream_url_of(e, s.url, resolved, error)) {
        failed++;
        last_exit = report(o.command, k_exit_failure, e.title + ": " + error);
        continue;
      }
      if (!check_url(resolved, url, error)) {
        failed++;
        last_exit = report(o.command, k_exit_failure,
                           e.title + ": the media URL " + redact_url(resolved) + " " + error);
        continue;
      }
      // A .part is continued only when this episode's own download left it, for the same media.
      partial_download recorded;
      const bool have = db->partial(e.id, recorded);
      const bool resumable = have && recorded.media_url == url && recorded.size == e.size;
      // Episodes of one day may share a title (a feed's parts, re-runs), another feed may share
      // the folder's name, and files may be there that no download made: each episode takes the
      // first name that nothing else has, neither the file nor its .part.
      std::filesystem::path dest, part;
      const std::string extension = media_extension(url, enclosure_type(e));
      const std::string day = date_text(e.published_ms, o.utc);
      for (unsigned copy = 1; copy <= k_max_copies; copy++) {
        std::filesystem::path candidate = episode_path(
            o.out_dir, s.title.empty() ? "Untitled" : s.title, day, e.title, extension, copy);
        std::filesystem::path candidate_part = candidate;
        candidate_part += k_part_suffix;
        bool own_part = have && candidate_part.string() == recorded.file;
        if (db->file_taken(candidate.string(), e.id) || name_in_use(candidate) ||
            (name_in_use(candidate_part) && !own_part))
          continue;
        dest = std::move(candidate);
        part = std::move(candidate_part);
        break;
      }
      if (dest.empty()) {
        failed++;
        last_exit = report(o.command, k_exit_failure, e.title + ": no free file name");
        continue;
      }
      how.label = e.title;
      how.validator = resumable && part.string() == recorded.file ? recorded.validator : "";
      partial_download started{part.string(), url, how.validator, e.size};
      if (o.offline.empty()) {
        store::transaction t(*db);
        db->set_partial(e.id, started);
        t.commit();
      }
      download_result got =
          o.offline.empty() ? download_file(url, dest, how) : copy_offline(o, url, dest);
      if (got.status != download_status::complete && o.offline.empty()) {
        // What the .part now holds came with this validator: the next run may continue it.
        started.validator = got.validator;
        store::transaction t(*db);
        db->set_partial(e.id, started);
        t.commit();
      }
      if (got.status == download_status::interrupted)
        return report(o.command, k_exit_interrupted,
                      "interrupted; 'vepod download' again resumes " + part.string());
      if (got.status != download_status::complete) {
        failed++;
        last_exit = report(o.command,
                           got.status == download_status::file_error          ? k_exit_failure
                           : got.http_status == 404 || got.http_status == 410 ? k_exit_nothing
                                                                              : k_exit_network,
                           redact_url(url) + ": " + got.message);
        continue;
      }
      store::transaction t(*db);
      db->mark_downloaded(e.id, static_cast<int64_t>(std::time(nullptr)), dest.string());
      t.commit();
      std::printf("%s\n", terminal_text(dest.string()).c_str());
      done++;
    }
  }
  if (done == 0 && failed == 0) std::printf("nothing to download\n");
  if (failed == 0) return k_exit_ok;
  return done == 0 ? last_exit : k_exit_partial;
}
