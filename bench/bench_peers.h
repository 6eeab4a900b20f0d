// The peers the feed export is measured against: expat and pugixml, each extracting the members
// vepod_parse_feed gives from the same elements with the same precedence, into decoded strings
// (they write no JSON). The check compares their findings with the library's answer, so that the
// benchmarks compare the same work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct peer_item {
  std::string title, id, url, enclosure_type, description, link, image, author, date, duration;
  int64_t size = -1;
  int32_t season = -1;
  double episode = -1;
  int8_t is_explicit = -1;
  // Ranks of what the ranked members hold (1 first, 0 for nothing).
  uint8_t description_rank = 0, image_rank = 0, author_rank = 0, season_rank = 0, episode_rank = 0,
          date_rank = 0;
};

struct peer_feed {
  std::string title, image, link, description, author;
  uint8_t description_rank = 0;
  bool atom = false;
  std::vector<peer_item> items;
};

// False when the parser refuses the document.
bool expat_extract(const std::string &doc, peer_feed &out);
bool pugixml_extract(const std::string &doc, peer_feed &out);

// Empty when the library's answer for doc agrees with the peer's findings on the feed's title,
// image, link and description and on each episode's title, id, url, description, link, image,
// season, episode and explicit (episodes matched by id: the library keeps at most 500); else what
// differs first.
std::string disagreement(const std::string &json, const peer_feed &peer);

}  // namespace bench
