// OPML, the lists of feeds podcast apps exchange: read for an import, written for an export.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "core/failure.h"
#include "core/store.h"

// An OPML file is a list of addresses: 16 MiB holds far more than any listener's, and 10,000
// subscriptions are more than anyone follows.
inline constexpr size_t k_max_opml_bytes = size_t{16} << 20;
inline constexpr size_t k_max_import = 10000;

// One outline with a feed URL, as the file gives it.
struct opml_feed {
  std::string title;  // its title, else its text; cut to store::k_max_title
  std::string url;    // its xmlUrl, podcast apps' own schemes read as the web URLs they stand for
};

// The outlines with a feed URL of `data`, in file order at any depth. `name` names the file in
// the failure's text.
failure read_opml(std::string_view data, const std::string &name, std::vector<opml_feed> &feeds);

// What an import did: how many subscriptions it added, and each outline it skipped.
struct opml_import {
  int added = 0;
  struct skip {
    size_t number = 0;  // the outline's, from 1 among those with a feed URL
    std::string title;
    std::string why;  // "its URL ...", "already subscribed (URL)"
  };
  std::vector<skip> skipped;
};

// Subscribes to each feed not followed yet, in one transaction; the newest `keep_new` episodes of
// each are left new at its first update. Throws store_error.
opml_import import_feeds(store &db, const std::vector<opml_feed> &feeds, int64_t keep_new);

// The OPML document of `all`, created at `now`: nothing in it that XML 1.0 forbids or that a
// terminal acts on, so that one hostile title cannot spoil the file or the terminal it goes to.
std::string write_opml(const std::vector<subscription> &all, std::time_t now);
