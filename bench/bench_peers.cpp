// expat and pugixml extracting what vepod_parse_feed extracts, and the check that they agree.
//
// Both feed one mapping (the same elements, the same precedence as the library's): expat through
// its callbacks, pugixml by walking its tree in document order.

#include "bench_peers.h"

#include <expat.h>
#include <yyjson.h>

#include <cstring>
#include <pugixml.hpp>
#include <string_view>
#include <unordered_map>

namespace bench {
namespace {

using std::string_view;

enum kind : uint8_t {
  k_other,
  k_item,
  k_channel,
  k_title,
  k_guid,
  k_id,
  k_link,
  k_url,
  k_image,
  k_itunes_image,
  k_thumbnail,
  k_enclosure,
  k_date,
  k_updated,
  k_duration,
  k_description,
  k_content,
  k_summary,
  k_subtitle,
  k_itunes_summary,
  k_media_description,
  k_itunes_author,
  k_managing_editor,
  k_dc_creator,
  k_author,
  k_name,
  k_season,
  k_podcast_season,
  k_episode,
  k_podcast_episode,
  k_explicit,
};

kind classify(string_view name) {
  struct known {
    string_view name;
    kind k;
  };
  static constexpr known k_known[] = {
      {"item", k_item},
      {"entry", k_item},
      {"channel", k_channel},
      {"title", k_title},
      {"guid", k_guid},
      {"id", k_id},
      {"link", k_link},
      {"url", k_url},
      {"image", k_image},
      {"itunes:image", k_itunes_image},
      {"media:thumbnail", k_thumbnail},
      {"enclosure", k_enclosure},
      {"pubDate", k_date},
      {"published", k_date},
      {"dc:date", k_date},
      {"updated", k_updated},
      {"itunes:duration", k_duration},
      {"description", k_description},
      {"content:encoded", k_content},
      {"content", k_content},
      {"summary", k_summary},
      {"subtitle", k_subtitle},
      {"itunes:summary", k_itunes_summary},
      {"media:description", k_media_description},
      {"itunes:author", k_itunes_author},
      {"managingEditor", k_managing_editor},
      {"dc:creator", k_dc_creator},
      {"author", k_author},
      {"name", k_name},
      {"itunes:season", k_season},
      {"podcast:season", k_podcast_season},
      {"itunes:episode", k_episode},
      {"podcast:episode", k_podcast_episode},
      {"itunes:explicit", k_explicit},
  };
  for (const known &k : k_known) {
    if (k.name == name) return k.k;
  }
  return k_other;
}

string_view trim(string_view s) {
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

int64_t whole_number(string_view s) {
  if (s.empty() || s.size() > 15) return -1;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

double decimal_number(string_view s) {
  size_t dot = s.find('.');
  int64_t whole = whole_number(s.substr(0, dot));
  if (whole < 0 || dot == string_view::npos) return double(whole);
  string_view part = s.substr(dot + 1);
  int64_t fraction = whole_number(part);
  if (fraction < 0) return -1;
  double scale = 1;
  for (size_t i = 0; i < part.size(); i++) scale *= 10;
  return double(whole) + double(fraction) / scale;
}

int8_t explicit_flag(string_view s) {
  if (s == "yes" || s == "true" || s == "explicit") return 1;
  if (s == "no" || s == "false" || s == "clean") return 0;
  return -1;
}

bool may_take(uint8_t have, uint8_t rank) { return have == 0 || rank < have; }

void take_ranked(std::string &field, uint8_t &have, uint8_t rank, string_view text) {
  if (!may_take(have, rank) || text.empty()) return;
  field.assign(text);
  have = rank;
}

void take_first(std::string &field, string_view text) {
  if (field.empty()) field.assign(text);
}

// The mapping both peers feed: start tags with a way to look up their attributes, and the trimmed
// text of the elements whose text start asked for.
class mapper {
 public:
  explicit mapper(peer_feed &feed) : f_(feed) {}

  // Whether the element's text is wanted at its end.
  template <typename Attr>
  bool start(string_view name, int depth, Attr attr) {
    if (depth == 0) {
      f_.atom = name == "feed";
      kinds_[0] = k_other;
      return false;
    }
    kind k = classify(name);
    kinds_[depth] = k;
    if (!item_) {
      if (k == k_item) {
        item_ = &f_.items.emplace_back();
        return false;
      }
      return feed_start(k, depth, attr);
    }
    return item_start(k, depth, attr);
  }

  void end(int depth, string_view text) {
    kind k = kinds_[depth];
    if (k == k_item) {
      if (item_) item_ = nullptr;
      return;
    }
    text = trim(text);
    if (text.empty()) return;
    if (!item_) return feed_end(k, depth, text);
    peer_item &it = *item_;
    switch (k) {
      case k_title:
        return take_first(it.title, text);
      case k_guid:
      case k_id:
        return take_first(it.id, text);
      case k_duration:
        return take_first(it.duration, text);
      case k_date:
        return take_ranked(it.date, it.date_rank, 1, text);
      case k_updated:
        return take_ranked(it.date, it.date_rank, 2, text);
      case k_link:
        if (!f_.atom) take_first(it.link, text);
        return;
      case k_content:
        return take_ranked(it.description, it.description_rank, 1, text);
      case k_description:
      case k_summary:
        return take_ranked(it.description, it.description_rank, 2, text);
      case k_itunes_summary:
        return take_ranked(it.description, it.description_rank, 3, text);
      case k_media_description:
        return take_ranked(it.description, it.description_rank, 4, text);
      case k_itunes_author:
        return take_ranked(it.author, it.author_rank, 1, text);
      case k_dc_creator:
        return take_ranked(it.author, it.author_rank, 2, text);
      case k_author:
      case k_name:
        return take_ranked(it.author, it.author_rank, 3, text);
      case k_season:
      case k_podcast_season: {
        uint8_t rank = k == k_season ? 1 : 2;
        int64_t season = whole_number(text);
        if (season >= 0 && may_take(it.season_rank, rank)) {
          it.season = int32_t(season);
          it.season_rank = rank;
        }
        return;
      }
      case k_episode:
      case k_podcast_episode: {
        uint8_t rank = k == k_episode ? 1 : 2;
        double episode = decimal_number(text);
        if (episode >= 0 && may_take(it.episode_rank, rank)) {
          it.episode = episode;
          it.episode_rank = rank;
        }
        return;
      }
      case k_explicit:
        if (it.is_explicit < 0) it.is_explicit = explicit_flag(text);
        return;
      default:
        return;
    }
  }

 private:
  bool top(int depth) const {
    return f_.atom ? depth == 1 : depth >= 2 && kinds_[depth - 1] == k_channel;
  }

  template <typename Attr>
  bool feed_start(kind k, int depth, Attr attr) {
    switch (k) {
      case k_title:
      case k_url:
        return true;
      case k_itunes_image:
        if (string_view href = trim(attr("href")); !href.empty()) f_.image.assign(href);
        return false;
      case k_description:
      case k_itunes_summary:
      case k_itunes_author:
      case k_managing_editor:
      case k_dc_creator:
        return top(depth);
      case k_subtitle:
        return top(depth) && f_.atom;
      case k_name:
        return f_.atom && depth == 2 && kinds_[1] == k_author;
      case k_link: {
        if (!top(depth) || !f_.link.empty()) return false;
        string_view rel = attr("rel");
        if (rel == "alternate" || (f_.atom && rel.empty())) {
          f_.link.assign(trim(attr("href")));
          return false;
        }
        return !f_.atom && !attr.any();
      }
      default:
        return false;
    }
  }

  void feed_end(kind k, int depth, string_view text) {
    switch (k) {
      case k_title:
        return take_first(f_.title, text);
      case k_url:
        if (kinds_[depth - 1] == k_image) take_first(f_.image, text);
        return;
      case k_description:
        return take_ranked(f_.description, f_.description_rank, 1, text);
      case k_itunes_summary:
        return take_ranked(f_.description, f_.description_rank, 2, text);
      case k_subtitle:
        return take_ranked(f_.description, f_.description_rank, 3, text);
      case k_itunes_author:
        return take_ranked(f_.author, author_rank_, 1, text);
      case k_managing_editor:
        return take_ranked(f_.author, author_rank_, 2, text);
      case k_dc_creator:
        return take_ranked(f_.author, author_rank_, 3, text);
      case k_name:
        return take_ranked(f_.author, author_rank_, 4, text);
      case k_link:
        return take_first(f_.link, text);
      default:
        return;
    }
  }

  // The first enclosure with a URL gives the media file whole.
  template <typename Attr>
  void take_enclosure(Attr attr, bool atom_link) {
    if (atom_link && attr("rel") != "enclosure") return;
    string_view url = trim(attr(atom_link ? "href" : "url"));
    if (url.empty()) return;
    item_->url.assign(url);
    item_->enclosure_type.assign(attr("type"));
    int64_t size = whole_number(attr("length"));
    item_->size = size > 0 ? size : -1;
  }

  template <typename Attr>
  bool item_start(kind k, int depth, Attr attr) {
    peer_item &it = *item_;
    switch (k) {
      case k_title:
      case k_guid:
      case k_duration:
      case k_date:
      case k_updated:
        return true;
      case k_id:
        return f_.atom;
      case k_enclosure:
        if (it.url.empty()) take_enclosure(attr, false);
        return false;
      case k_link: {
        if (f_.atom && it.url.empty()) take_enclosure(attr, true);
        if (!it.link.empty()) return false;
        string_view href = attr("href");
        string_view rel = attr("rel");
        if (rel == "alternate" || (f_.atom && rel.empty())) {
          it.link.assign(trim(href));
          return false;
        }
        return !f_.atom && href.empty();
      }
      case k_itunes_image:
        take_ranked(it.image, it.image_rank, 1, trim(attr("href")));
        return false;
      case k_thumbnail:
        take_ranked(it.image, it.image_rank, 2, trim(attr("url")));
        return false;
      case k_content:
        return may_take(it.description_rank, 1);
      case k_description:
        return may_take(it.description_rank, 2);
      case k_summary:
        return f_.atom && may_take(it.description_rank, 2);
      case k_itunes_summary:
        return may_take(it.description_rank, 3);
      case k_media_description:
        return may_take(it.description_rank, 4);
      case k_itunes_author:
        return may_take(it.author_rank, 1);
      case k_dc_creator:
        return may_take(it.author_rank, 2);
      case k_author:
        return !f_.atom && may_take(it.author_rank, 3);
      case k_name:
        return kinds_[depth - 1] == k_author && may_take(it.author_rank, 3);
      case k_season:
        return may_take(it.season_rank, 1);
      case k_podcast_season:
        return may_take(it.season_rank, 2);
      case k_episode:
        return may_take(it.episode_rank, 1);
      case k_podcast_episode:
        return may_take(it.episode_rank, 2);
      case k_explicit:
        return it.is_explicit < 0;
      default:
        return false;
    }
  }

  peer_feed &f_;
  peer_item *item_ = nullptr;
  uint8_t author_rank_ = 0;
  kind kinds_[64] = {};
};

// MARK: expat

// The state machine over expat's callbacks: the open elements' depth, and for each the element
// whose text it adds to (the innermost that wants its text), whose text is gathered in a buffer.
struct expat_state {
  explicit expat_state(peer_feed &feed) : map(feed) {}
  mapper map;
  int depth = -1;
  int sink[64];
  std::string text[64];
};

struct expat_attrs {
  const XML_Char **atts;
  string_view operator()(string_view name) const {
    for (const XML_Char **a = atts; *a; a += 2) {
      if (name == *a) return a[1];
    }
    return {};
  }
  bool any() const { return *atts != nullptr; }
};

void XMLCALL expat_start(void *data, const XML_Char *name, const XML_Char **atts) {
  auto &s = *static_cast<expat_state *>(data);
  int d = ++s.depth;
  bool wants = s.map.start(name, d, expat_attrs{atts});
  s.sink[d] = wants ? d : d > 0 ? s.sink[d - 1] : -1;
  if (wants) s.text[d].clear();
}

void XMLCALL expat_end(void *data, const XML_Char *) {
  auto &s = *static_cast<expat_state *>(data);
  int d = s.depth--;
  s.map.end(d, s.sink[d] == d ? string_view(s.text[d]) : string_view());
}

void XMLCALL expat_text(void *data, const XML_Char *text, int len) {
  auto &s = *static_cast<expat_state *>(data);
  if (s.depth >= 0 && s.sink[s.depth] >= 0) s.text[s.sink[s.depth]].append(text, size_t(len));
}

// MARK: pugixml

struct pugi_attrs {
  pugi::xml_node node;
  string_view operator()(const char *name) const { return node.attribute(name).value(); }
  bool any() const { return bool(node.first_attribute()); }
};

// The element's text: its text and CDATA children, joined.
void gather(pugi::xml_node node, std::string &out) {
  out.clear();
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    pugi::xml_node_type type = child.type();
    if (type == pugi::node_pcdata || type == pugi::node_cdata) {
      out += child.value();
    } else if (type == pugi::node_element) {
      std::string inner;
      gather(child, inner);
      out += inner;
    }
  }
}

void walk(pugi::xml_node node, int depth, mapper &map, std::string &text) {
  bool wants = map.start(node.name(), depth, pugi_attrs{node});
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element) walk(child, depth + 1, map, text);
  }
  if (wants) {
    gather(node, text);
    map.end(depth, text);
  } else {
    map.end(depth, {});
  }
}

// MARK: Check

std::string json_text(yyjson_val *obj, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  return s ? s : "";
}

std::string differ(const char *what, const std::string &ours, const std::string &peer) {
  return std::string(what) + ": library \"" + ours.substr(0, 80) + "\", peer \"" +
         peer.substr(0, 80) + "\"";
}

}  // namespace

bool expat_extract(const std::string &doc, peer_feed &out) {
  out = peer_feed{};
  expat_state state(out);
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetUserData(parser, &state);
  XML_SetElementHandler(parser, expat_start, expat_end);
  XML_SetCharacterDataHandler(parser, expat_text);
  bool ok = XML_Parse(parser, doc.data(), int(doc.size()), XML_TRUE) == XML_STATUS_OK;
  XML_ParserFree(parser);
  return ok;
}

bool pugixml_extract(const std::string &doc, peer_feed &out) {
  out = peer_feed{};
  pugi::xml_document tree;
  if (!tree.load_buffer(doc.data(), doc.size(), pugi::parse_default, pugi::encoding_utf8)) {
    return false;
  }
  mapper map(out);
  std::string text;
  walk(tree.document_element(), 0, map, text);
  return true;
}

std::string disagreement(const std::string &json, const peer_feed &peer) {
  yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
  if (!doc) return "the library's answer is not JSON";
  yyjson_val *root = yyjson_doc_get_root(doc);
  std::string why;
  auto check = [&why](const char *what, const std::string &ours, const std::string &theirs) {
    if (why.empty() && ours != theirs) why = differ(what, ours, theirs);
  };
  check("feed title", json_text(root, "title"), peer.title);
  check("feed image", json_text(root, "image"), peer.image);
  check("feed link", json_text(root, "link"), peer.link);
  check("feed description", json_text(root, "description"), peer.description);
  std::unordered_map<std::string, const peer_item *> by_id;
  for (const peer_item &it : peer.items) by_id.emplace(it.id, &it);
  yyjson_val *items = yyjson_obj_get(root, "items");
  size_t expected = peer.items.size() < 500 ? peer.items.size() : 500;
  if (yyjson_arr_size(items) != expected) {
    why = "the library keeps " + std::to_string(yyjson_arr_size(items)) + " episodes of " +
          std::to_string(peer.items.size());
  }
  size_t i, n;
  yyjson_val *item;
  yyjson_arr_foreach(items, i, n, item) {
    if (!why.empty()) break;
    std::string id = json_text(item, "id");
    auto found = by_id.find(id);
    if (found == by_id.end()) {
      why = "episode id \"" + id + "\" not found by the peer";
      break;
    }
    const peer_item &p = *found->second;
    if (expected == peer.items.size() && &p != &peer.items[i]) why = "episode order differs";
    check("episode title", json_text(item, "title"), p.title);
    check("episode url", json_text(item, "url"), p.url);
    check("episode description", json_text(item, "description"), p.description);
    check("episode link", json_text(item, "link"), p.link);
    check("episode image", json_text(item, "image"), p.image);
    yyjson_val *season = yyjson_obj_get(item, "season");
    yyjson_val *episode = yyjson_obj_get(item, "episode");
    yyjson_val *flag = yyjson_obj_get(item, "explicit");
    check("episode season", season ? std::to_string(yyjson_get_sint(season)) : "-1",
          std::to_string(p.season));
    check("episode number", episode ? std::to_string(yyjson_get_num(episode)) : "-1.000000",
          std::to_string(p.episode));
    check("episode explicit", flag ? std::to_string(int(yyjson_get_bool(flag))) : "-1",
          std::to_string(int(p.is_explicit)));
  }
  yyjson_doc_free(doc);
  return why;
}

}  // namespace bench
