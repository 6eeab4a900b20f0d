// The download core: fetches chosen episodes' media into the download folder, records in the
// database what arrived whole or may be resumed, and returns what happened to each as data; it
// prints nothing (the progress goes to the plan's display).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/download.h"
#include "core/failure.h"
#include "core/session.h"
#include "core/store.h"

enum class episode_outcome {
  downloaded,       // the file arrived whole at `path`
  already_there,    // downloaded before and still at `path`; nothing was fetched
  failed,           // no media URL, a URL refused, or no free file name: nothing was fetched
  transfer_failed,  // the transfer from `url` failed; a resumable .part may stay
  interrupted,      // Ctrl-C: the .part at `path` is kept for the next run, and the run stops
};

// What the download of one episode did.
struct episode_download {
  std::string ref;    // the episode's reference ("3.12")
  std::string title;  // the episode's
  episode_outcome outcome = episode_outcome::failed;
  std::string url;       // the media URL, once resolved
  std::string path;      // the file, or the .part when interrupted
  uint64_t bytes = 0;    // in the file when downloaded or already there
  bool resumed = false;  // the server continued an earlier .part
  failure problem;       // when failed, transfer_failed or interrupted: why
};

struct download_plan {
  std::string out_dir;   // the folder that holds the feeds' folders
  bool utc = false;      // the dates in file names in UTC, else local time
  int jobs = 3;          // transfers at once (at most download_pool::k_max_per_host to a host)
  download_options how;  // its `progress` is where the progress of every transfer goes
  // With any, the media comes from these local files (URL, file) instead of the network, and
  // no resumable .part is recorded.
  std::vector<std::pair<std::string, std::string>> offline;
};

// The plan the preferences make: the folder (the configured download folder when they name none,
// else the current one) made absolute, so that the database records where files went; false with
// `why` when it cannot be.
bool plan_downloads(const preferences &p, store &db, download_plan &plan, failure &why);

// Downloads `chosen`, `plan.jobs` at once, starting them in order, calling `done` with each
// episode's result as it is known (that is where the caller prints), and returns them all. After
// a Ctrl-C, the running ones end interrupted and no other starts. The library's transport must be
// open (session::open). Throws store_error.
std::vector<episode_download> download_episodes(
    store &db, const std::vector<picked_episode> &chosen, const download_plan &plan,
    const std::function<void(const episode_download &)> &done);
