#include "core/episode_download.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "core/filename.h"
#include "core/library.h"
#include "core/text.h"
#include "core/url.h"
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

// Offline, the media comes from the local file routed for its URL, through the same
// .part-and-rename as a download.
download_result copy_offline(const download_plan &plan, const std::string &url,
                             const std::filesystem::path &dest) {
  download_result result;
  for (const auto &[route, file] : plan.offline) {
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

// The first name for the episode's file that nothing else has, neither the file nor its .part:
// episodes of one day may share a title (a feed's parts, re-runs), another feed may share the
// folder's name, and files may be there that no download made. Empty when none is free.
std::filesystem::path free_name(store &db, const download_plan &plan, const picked_episode &p,
                                const std::string &extension, const partial_download *own) {
  const subscription &s = p.feed;
  const episode &e = p.item;
  const std::string day = date_text(e.published_ms, plan.utc);
  for (unsigned copy = 1; copy <= k_max_copies; copy++) {
    std::filesystem::path candidate = episode_path(
        plan.out_dir, s.title.empty() ? "Untitled" : s.title, day, e.title, extension, copy);
    std::filesystem::path candidate_part = candidate;
    candidate_part += k_part_suffix;
    const bool own_part = own != nullptr && candidate_part.string() == own->file;
    if (db.file_taken(candidate.string(), e.id) || name_in_use(candidate) ||
        (name_in_use(candidate_part) && !own_part))
      continue;
    return candidate;
  }
  return {};
}

// An episode ready to download: where its file goes and what to take away if it fails.
struct prepared_download {
  const picked_episode *pick = nullptr;
  episode_download result;
  std::filesystem::path dest;
  download_options how;
  partial_download started;
  // The folders this download makes, innermost first, to take away again if it fails.
  std::vector<std::filesystem::path> made;
};

episode_download named(const picked_episode &p) {
  episode_download r;
  r.ref = episode_ref(p.item);
  r.title = p.item.title;
  return r;
}

// After the transfer (or the --offline copy): the database learns of the whole file, or of the
// validator a resumable .part now goes with.
void finish_one(store &db, const download_plan &plan, prepared_download &d,
                const download_result &got) {
  episode_download &r = d.result;
  const episode &e = d.pick->item;
  const bool online = plan.offline.empty();
  r.resumed = got.resumed;
  if (got.status != download_status::complete && online) {
    // What the .part now holds came with this validator: the next run may continue it.
    d.started.validator = got.validator;
    store::transaction t(db);
    db.set_partial(e.id, d.started);
    t.commit();
  }
  if (got.status == download_status::interrupted) {
    r.outcome = episode_outcome::interrupted;
    r.problem = failure::interrupted("interrupted");
    r.path = d.started.file;
    r.bytes = got.size;
    return;
  }
  if (got.status != download_status::complete) {
    r.outcome = episode_outcome::transfer_failed;
    r.problem = got.status == download_status::file_error ? failure::other(got.message)
                : got.status == download_status::http_error
                    ? failure::http(static_cast<int>(got.http_status), got.message)
                    : failure::transport(got.message);
    r.bytes = got.size;
    return;
  }
  store::transaction t(db);
  db.mark_downloaded(e.id, static_cast<int64_t>(std::time(nullptr)), d.dest.string());
  t.commit();
  r.outcome = episode_outcome::downloaded;
  r.path = d.dest.string();
  r.bytes = got.size;
}

// Everything before the transfer: the media URL, the file's name, the .part recorded in the
// database. True when the transfer is to run; false with `out.result` final otherwise (already
// there, failed, or copied from an --offline file).
bool prepare_one(store &db, const download_plan &plan, const picked_episode &p,
                 prepared_download &out) {
  const subscription &s = p.feed;
  const episode &e = p.item;
  out.pick = &p;
  episode_download &r = out.result;
  r = named(p);
  if (e.downloaded >= 0 && std::filesystem::exists(e.file)) {
    r.outcome = episode_outcome::already_there;
    r.path = e.file;
    std::error_code ec;
    r.bytes = std::filesystem::file_size(e.file, ec);
    if (ec) r.bytes = 0;
    return false;
  }
  auto fail = [&r](std::string error) {
    r.outcome = episode_outcome::failed;
    r.problem = failure::other(std::move(error));
    return false;
  };
  std::string resolved, error;
  if (!stream_url_of(e, s.url, resolved, error)) return fail(error);
  if (!check_url(resolved, r.url, error))
    return fail("the media URL " + redact_url(resolved) + " " + error);
  // A .part is continued only when this episode's own download left it, for the same media.
  partial_download recorded;
  const bool have = db.partial(e.id, recorded);
  const bool resumable = have && recorded.media_url == r.url && recorded.size == e.size;
  out.dest =
      free_name(db, plan, p, media_extension(r.url, enclosure_type(e)), have ? &recorded : nullptr);
  if (out.dest.empty()) return fail("no free file name");
  std::filesystem::path part = out.dest;
  part += k_part_suffix;
  std::error_code ec;
  for (std::filesystem::path f = out.dest.parent_path();
       !f.empty() && f != f.parent_path() && !std::filesystem::exists(f, ec); f = f.parent_path())
    out.made.push_back(f);
  out.how = plan.how;
  out.how.label = e.title;
  out.how.validator = resumable && part.string() == recorded.file ? recorded.validator : "";
  if (!plan.offline.empty()) {
    finish_one(db, plan, out, copy_offline(plan, r.url, out.dest));
    return false;
  }
  // The database knows of the .part before the transfer starts: no other episode takes the name.
  out.started = {part.string(), r.url, out.how.validator, e.size};
  store::transaction t(db);
  db.set_partial(e.id, out.started);
  t.commit();
  return true;
}

}  // namespace

bool plan_downloads(const preferences &p, store &db, download_plan &plan, failure &why) {
  plan.out_dir = p.download_dir;
  if (plan.out_dir.empty()) plan.out_dir = db.setting("download-dir");
  // A string, not a literal: GCC 12 warns (-Wrestrict) wrongly on assigning a short literal.
  if (plan.out_dir.empty()) plan.out_dir = std::string(".");
  // The database records where files went: a relative path would name another file from another
  // folder (for play and clean).
  std::error_code ec;
  plan.out_dir = std::filesystem::absolute(plan.out_dir, ec).lexically_normal().string();
  if (ec) {
    why = failure::other(p.download_dir + ": " + ec.message());
    return false;
  }
  plan.utc = p.utc;
  plan.offline = p.offline;
  plan.jobs = p.download_jobs;
  plan.how.max_size = p.max_size;
  plan.how.user_agent = p.user_agent;
  plan.how.connect_timeout_ms = std::min(p.timeout_ms, plan.how.connect_timeout_ms);
  // The time-out bounds a stall too, never a long transfer that keeps moving.
  plan.how.stall_timeout_s = std::max(1L, p.timeout_ms / 1000);
  return true;
}

std::vector<episode_download> download_episodes(
    store &db, const std::vector<picked_episode> &chosen, const download_plan &plan,
    const std::function<void(const episode_download &)> &done) {
  std::vector<episode_download> results;
  // A Ctrl-C between two files is seen too, not only one during a transfer.
  interrupt_scope ctrl_c;
  download_pool pool(plan.jobs, plan.how.progress);
  std::vector<prepared_download> prepared(chosen.size());
  auto report = [&](const episode_download &r) {
    results.push_back(r);
    done(results.back());
  };
  size_t next = 0;
  bool waiting = false;  // prepared[next] is ready and waits for room
  // After a Ctrl-C nothing starts, and the running transfers end interrupted.
  while ((next < chosen.size() && !interrupt_requested()) || pool.running() > 0) {
    // Episodes start in order while there is room for their host and for the whole run.
    while (next < chosen.size() && !interrupt_requested()) {
      prepared_download &d = prepared[next];
      if (!waiting && !prepare_one(db, plan, chosen[next], d)) {
        report(d.result);
        next++;
        continue;
      }
      waiting = true;
      if (!pool.has_room(d.result.url)) break;
      pool.start(next, d.result.url, d.dest, d.how);
      waiting = false;
      next++;
    }
    for (auto &[id, got] : pool.wait()) {
      finish_one(db, plan, prepared[id], got);
      report(prepared[id].result);
    }
  }
  // Folders made for a file that failed go again when nothing stayed in them: one that keeps a
  // resumable .part, or another episode's file, stays (remove takes empty folders only). Not
  // before every transfer has ended, since another may be about to write into one.
  for (const prepared_download &d : prepared) {
    if (d.result.outcome != episode_outcome::transfer_failed) continue;
    std::error_code ec;
    for (const std::filesystem::path &f : d.made)
      if (!std::filesystem::remove(f, ec)) break;
  }
  return results;
}
