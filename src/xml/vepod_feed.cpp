// The mapping of RSS 2.0, RDF and Atom elements onto the feed model, fed by the strict reader.
//
// It works on names alone, with their usual prefixes ("itunes:duration", "rdf:RDF"); the reader
// hands over names of known namespaces with those prefixes whatever the document binds them to.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "util/vepod_alloc.h"
#include "util/vepod_date.h"
#include "util/vepod_text.h"
#include "util/vepod_url.h"
#include "util/vepod_utf8.h"
#include "xml/vepod_feed_mapper.h"
#include "xml/vepod_feed_parts.h"
#include "xml/vepod_reader.h"
#include "xml/vepod_xml.h"

namespace vepod_feed_mapping {

using namespace vepod_feed_values;

namespace {

// Looked up by first letter: this runs for every start tag of a document.
elem_kind classify(string_view name) {
  struct known {
    string_view name;
    elem_kind kind;
  };
  static constexpr known k_a[] = {{"author", e_author}};
  static constexpr known k_c[] = {
      {"channel", e_channel}, {"content", e_content}, {"content:encoded", e_content_encoded}};
  static constexpr known k_d[] = {
      {"description", e_description}, {"duration", e_duration},    {"dc:date", e_date},
      {"dc:creator", e_dc_creator},   {"dc:language", e_language}, {"dcterms:issued", e_date},
      {"dcterms:created", e_date},    {"dcterms:modified", e_date}};
  static constexpr known k_e[] = {{"entry", e_entry}, {"enclosure", e_enclosure}};
  static constexpr known k_i[] = {{"item", e_item},
                                  {"id", e_id},
                                  {"image", e_image},
                                  {"itunes:image", e_itunes_image},
                                  {"itunes:duration", e_duration},
                                  {"issued", e_date},
                                  {"itunes:summary", e_itunes_summary},
                                  {"itunes:author", e_itunes_author},
                                  {"itunes:explicit", e_explicit},
                                  {"itunes:type", e_show_type},
                                  {"itunes:complete", e_complete},
                                  {"itunes:new-feed-url", e_new_feed_url},
                                  {"itunes:season", e_season},
                                  {"itunes:episode", e_episode},
                                  {"itunes:episodetype", e_episode_type}};
  static constexpr known k_m[] = {{"managingeditor", e_managing_editor},
                                  {"media:thumbnail", e_thumbnail},
                                  {"media:description", e_media_description}};
  static constexpr known k_n[] = {{"name", e_name}};
  static constexpr known k_p[] = {{"pubdate", e_date},
                                  {"published", e_date},
                                  {"podcast:guid", e_feed_guid},
                                  {"podcast:funding", e_funding},
                                  {"podcast:person", e_person},
                                  {"podcast:season", e_podcast_season},
                                  {"podcast:episode", e_podcast_episode},
                                  {"podcast:chapters", e_chapters},
                                  {"podcast:transcript", e_transcript},
                                  {"podcast:alternateenclosure", e_alternate},
                                  {"podcast:source", e_alt_source},
                                  {"podcast:liveitem", e_live_item},
                                  {"psc:chapter", e_psc_chapter}};
  static constexpr known k_s[] = {{"summary", e_summary}, {"subtitle", e_subtitle}};
  static constexpr known k_t[] = {{"title", e_title}};
  static constexpr known k_g[] = {{"guid", e_guid}};
  static constexpr known k_l[] = {{"link", e_link}, {"language", e_language}};
  static constexpr known k_u[] = {{"url", e_url}, {"updated", e_updated}};
  std::span<const known> candidates;
  switch (vepod_ascii_lower(static_cast<unsigned char>(name[0]))) {
    case 'a':
      candidates = k_a;
      break;
    case 'c':
      candidates = k_c;
      break;
    case 'd':
      candidates = k_d;
      break;
    case 'e':
      candidates = k_e;
      break;
    case 'g':
      candidates = k_g;
      break;
    case 'i':
      candidates = k_i;
      break;
    case 'l':
      candidates = k_l;
      break;
    case 'm':
      candidates = k_m;
      break;
    case 'n':
      candidates = k_n;
      break;
    case 'p':
      candidates = k_p;
      break;
    case 's':
      candidates = k_s;
      break;
    case 't':
      candidates = k_t;
      break;
    case 'u':
      candidates = k_u;
      break;
    default:
      return e_other;
  }
  for (const known &k : candidates) {
    if (k.name.size() == name.size() && vepod_ci_eq(name, k.name)) return k.kind;
  }
  return e_other;
}

// The vocabularies whose names the mapping reads, by their usual prefixes.
constexpr vepod_xml_namespace k_namespaces[] = {
    {"http://www.w3.org/2005/Atom", ""},
    {"http://purl.org/rss/1.0/", ""},
    {"http://www.itunes.com/dtds/podcast-1.0.dtd", "itunes"},
    {"http://purl.org/dc/elements/1.1/", "dc"},
    {"http://purl.org/dc/terms/", "dcterms"},
    {"http://www.w3.org/1999/02/22-rdf-syntax-ns#", "rdf"},
    {"http://purl.org/rss/1.0/modules/content/", "content"},
    {"http://search.yahoo.com/mrss/", "media"},
    {"https://podcastindex.org/namespace/1.0", "podcast"},
    {"https://github.com/Podcastindex-org/podcast-namespace/blob/main/docs/1.0.md", "podcast"},
    {"http://podlove.org/simple-chapters", "psc"},
};

// Whether episode a is kept over b when only one of them can be: a dated one over an undated one,
// the newer of two dated ones, and among equals the earlier in the document.
bool kept_over(const vepod_item &a, const vepod_item &b) {
  bool a_dated = a.mtime_ms != -1, b_dated = b.mtime_ms != -1;
  if (a_dated != b_dated) return a_dated;
  if (a_dated && a.mtime_ms != b.mtime_ms) return a.mtime_ms > b.mtime_ms;
  return a.index < b.index;
}

}  // namespace

feed_mapper::feed_mapper(vepod_feed *feed, vepod_detail detail)
    : feed_(feed),
      details_(detail != vepod_detail::light),
      borrow_(detail == vepod_detail::all_borrowed) {
  namespaces = k_namespaces;
  namespace_count = std::size(k_namespaces);
}

vepod_code feed_mapper::root(const vepod_xml_tag &tag) {
  if (vepod_ci_eq(tag.name, "feed")) {
    format_ = vepod_format_atom;
  } else if (vepod_ci_eq(tag.name, "rss")) {
    format_ = vepod_format_rss2;
  } else if (vepod_ci_eq(tag.name, "rdf:RDF")) {
    format_ = vepod_format_rdf;
  } else {
    return refuse("root element is not <rss>, <rdf:RDF> or <feed>");
  }
  if (tag.self_closing) return refuse("self-closing root");
  return VEPOD_OK;
}

// An episode's media file comes whole from its first enclosure with a URL: an RSS enclosure or an
// Atom link whose rel is "enclosure". Pairing one enclosure's URL with another's length or type
// would describe a file that does not exist.
vepod_code feed_mapper::take_enclosure(const vepod_xml_tag &tag, bool atom_link) {
  string_view url_name = atom_link ? "href" : "url";
  const vepod_xml_attr *url = nullptr, *type = nullptr;
  bool enclosure = !atom_link;
  int64_t size = -1;
  for (int i = 0; i < tag.nattrs; i++) {
    const vepod_xml_attr &a = tag.attrs[i];
    if (vepod_ci_eq(a.name, url_name)) {
      // An Atom link's last href counts, an enclosure's first non-empty url.
      if (atom_link || !url || vepod_trim_blanks(url->value).empty()) url = &a;
    } else if (vepod_ci_eq(a.name, "type")) {
      if (!type || type->value.empty()) type = &a;
    } else if (vepod_ci_eq(a.name, "length") && !a.value.empty()) {
      int64_t length = enclosure_length(a.value);
      if (length > 0) size = length;
    } else if (atom_link && vepod_ci_eq(a.name, "rel")) {
      enclosure = enclosure || vepod_ci_eq(a.value, "enclosure");
    }
  }
  if (!enclosure || !url || vepod_trim_blanks(url->value).empty()) return VEPOD_OK;
  if (!(item_->url = copy_for(&item_->url, vepod_trim_blanks(url->value)))) return out_of_memory();
  if (type && !type->value.empty() &&
      !(item_->enclosure_type = copy_for(&item_->enclosure_type, type->value))) {
    return out_of_memory();
  }
  item_->size = size;
  return VEPOD_OK;
}

// Each non-empty href of a feed-level itunes:image replaces the cover.
vepod_code feed_mapper::take_feed_image(const vepod_xml_tag &tag) {
  for (int i = 0; i < tag.nattrs; i++) {
    if (!vepod_ci_eq(tag.attrs[i].name, "href") || vepod_trim_blanks(tag.attrs[i].value).empty()) {
      continue;
    }
    std::free(feed_->image);
    if (!(feed_->image = model_url(tag.attrs[i].value))) return out_of_memory();
  }
  return VEPOD_OK;
}

vepod_code feed_mapper::feed_start(const vepod_xml_tag &tag, elem_kind kind, vepod_xml_want *want) {
  const bool top = channel_child(tag.depth);
  switch (kind) {
    case e_description:
    case e_itunes_summary:
    case e_itunes_author:
    case e_managing_editor:
    case e_dc_creator:
    case e_language:
    case e_explicit:
    case e_show_type:
    case e_complete:
    case e_new_feed_url:
    case e_feed_guid:
      if (top) *want = vepod_xml_want_text;
      return VEPOD_OK;
    case e_subtitle:
      if (top && atom()) *want = vepod_xml_want_text;
      return VEPOD_OK;
    case e_name:
      // An Atom feed's author is the name inside its author element.
      if (atom() && tag.depth == 2 && kinds_[1] == e_author) *want = vepod_xml_want_text;
      return VEPOD_OK;
    case e_link:
      if (!top || feed_->link) return VEPOD_OK;
      // The site: an RSS link's text, or a link to the alternate page (in Atom also one without a
      // rel, which means the same).
      if (string_view rel = attr(tag, "rel");
          vepod_ci_eq(rel, "alternate") || (atom() && rel.empty())) {
        return take_attr(&feed_->link, attr(tag, "href"), true);
      }
      if (!atom() && tag.nattrs == 0) *want = vepod_xml_want_text;
      return VEPOD_OK;
    case e_funding:
      return take_funding(tag, want);
    case e_person:
      return start_person(tag, want);
    case e_alternate:
      alternate_ = -1;
      return VEPOD_OK;
    default:
      return VEPOD_OK;
  }
}

vepod_code feed_mapper::feed_end(elem_kind kind, int depth, string_view text) {
  ranks &r = feed_ranks_;
  const bool top = channel_child(depth);
  switch (kind) {
    case e_description:
      return top ? take_ranked(&feed_->description, r.description, 1, text, false) : VEPOD_OK;
    case e_itunes_summary:
      return top ? take_ranked(&feed_->description, r.description, 2, text, false) : VEPOD_OK;
    case e_subtitle:
      return top ? take_ranked(&feed_->description, r.description, 3, text, false) : VEPOD_OK;
    case e_itunes_author:
      return top ? take_ranked(&feed_->author, r.author, 1, text, false) : VEPOD_OK;
    case e_managing_editor:
      return top ? take_ranked(&feed_->author, r.author, 2, text, false) : VEPOD_OK;
    case e_dc_creator:
      return top ? take_ranked(&feed_->author, r.author, 3, text, false) : VEPOD_OK;
    case e_name:
      if (atom() && depth == 2 && kinds_[1] == e_author) {
        return take_ranked(&feed_->author, r.author, 4, text, false);
      }
      return VEPOD_OK;
    case e_language:
      return top ? take_text(&feed_->language, text.data(), text.size()) : VEPOD_OK;
    case e_feed_guid:
      return top ? take_text(&feed_->feed_guid, text.data(), text.size()) : VEPOD_OK;
    case e_link:
      return top && !atom() ? take_url(&feed_->link, text.data(), text.size()) : VEPOD_OK;
    case e_explicit:
      if (top && feed_->is_explicit < 0) feed_->is_explicit = explicit_flag(text);
      return VEPOD_OK;
    case e_show_type:
      if (top && feed_->show_type == vepod_show_none) feed_->show_type = show_type(text);
      return VEPOD_OK;
    case e_complete:
      if (top && vepod_ci_eq(text, "yes")) feed_->complete = true;
      return VEPOD_OK;
    case e_new_feed_url:
      // Only an address a client can move to; the text is NUL-terminated and trimmed.
      if (top && !feed_->new_feed_url && vepod_url_is_http(text.data())) {
        return take_url(&feed_->new_feed_url, text.data(), text.size());
      }
      return VEPOD_OK;
    case e_funding:
      if (depth != funding_depth_) return VEPOD_OK;
      funding_depth_ = -1;
      return take_text(&feed_->funding[feed_->nfunding - 1].text, text.data(), text.size());
    case e_person:
      return end_person(depth, text);
    default:
      return VEPOD_OK;
  }
}

vepod_code feed_mapper::item_start(const vepod_xml_tag &tag, elem_kind kind, vepod_xml_want *want) {
  ranks &r = item_ranks_;
  auto want_if = [want](bool wanted) {
    if (wanted) *want = vepod_xml_want_text;
    return VEPOD_OK;
  };
  // Show notes: a parse that borrows them takes them where they lie when they are one run.
  auto want_notes = [this, want](bool wanted) {
    if (details_ && wanted) *want = borrow_ ? vepod_xml_want_run : vepod_xml_want_text;
    return VEPOD_OK;
  };
  switch (kind) {
    case e_enclosure:
      return item_->url ? VEPOD_OK : take_enclosure(tag, false);
    case e_link: {
      if (atom() && !item_->url) {
        if (vepod_code status = take_enclosure(tag, true)) return status;
      }
      if (item_->link) return VEPOD_OK;
      string_view href = attr(tag, "href");
      // An Atom link without a rel is an alternate too.
      if (string_view rel = attr(tag, "rel");
          vepod_ci_eq(rel, "alternate") || (atom() && rel.empty())) {
        return take_attr(&item_->link, href, true);
      }
      // An RSS link's text is the episode's page.
      return want_if(!atom() && href.empty());
    }
    case e_itunes_image:
      return take_ranked(&item_->image, r.image, 1, attr(tag, "href"), true);
    case e_thumbnail:
      return take_ranked(&item_->image, r.image, 2, attr(tag, "url"), true);
    case e_content_encoded:
    case e_content:
      return want_notes(may_take(r.description, 1));
    case e_description:
      return want_notes(may_take(r.description, 2));
    case e_summary:
      return want_notes(atom() && may_take(r.description, 2));
    case e_itunes_summary:
      return want_notes(may_take(r.description, 3));
    case e_media_description:
      return want_notes(may_take(r.description, 4));
    case e_itunes_author:
      return want_if(may_take(r.author, 1));
    case e_dc_creator:
      return want_if(may_take(r.author, 2));
    case e_author:
      // An Atom author holds a name; an RSS author is a text.
      return want_if(!atom() && may_take(r.author, 3));
    case e_name:
      // An author's name; in RSS that is an atom:author inside an item, whose e-mail and URI are
      // no part of it.
      return want_if(kinds_[tag.depth - 1] == e_author && may_take(r.author, 3));
    case e_season:
      return want_if(may_take(r.season, 1));
    case e_podcast_season:
      return want_if(may_take(r.season, 2));
    case e_episode:
      return want_if(may_take(r.episode, 1));
    case e_podcast_episode:
      return want_if(may_take(r.episode, 2));
    case e_episode_type:
      return want_if(item_->episode_type == vepod_episode_none);
    case e_explicit:
      return want_if(item_->is_explicit < 0);
    case e_chapters:
      if (item_->chapters_url || vepod_trim_blanks(attr(tag, "url")).empty()) return VEPOD_OK;
      if (vepod_code status = take_attr(&item_->chapters_url, attr(tag, "url"), true)) {
        return status;
      }
      return take_attr(&item_->chapters_type, attr(tag, "type"), false);
    case e_transcript:
      return details_ ? take_transcript(tag) : VEPOD_OK;
    case e_psc_chapter:
      return details_ ? take_chapter(tag) : VEPOD_OK;
    case e_alternate:
      return take_alternate(tag);
    case e_alt_source:
      return take_alternate_source(tag);
    case e_person:
      return details_ ? start_person(tag, want) : VEPOD_OK;
    default:
      return VEPOD_OK;
  }
}

vepod_code feed_mapper::item_end(elem_kind kind, int depth, string_view text) {
  ranks &r = item_ranks_;
  switch (kind) {
    case e_link:
      return atom() ? VEPOD_OK : take_url(&item_->link, text.data(), text.size());
    case e_content_encoded:
    case e_content:
    case e_description:
    case e_summary:
    case e_itunes_summary:
    case e_media_description: {
      if (!details_ || (kind == e_summary && !atom())) return VEPOD_OK;
      uint8_t rank = kind == e_content_encoded || kind == e_content ? 1
                     : kind == e_itunes_summary                     ? 3
                     : kind == e_media_description                  ? 4
                                                                    : 2;
      if (!may_take(r.description, rank)) return VEPOD_OK;
      vepod_item_heavy *h = heavy();
      return h ? take_description(*h, rank, text) : out_of_memory();
    }
    case e_itunes_author:
      return take_ranked(&item_->author, r.author, 1, text, false);
    case e_dc_creator:
      return take_ranked(&item_->author, r.author, 2, text, false);
    case e_author:
      return atom() ? VEPOD_OK : take_ranked(&item_->author, r.author, 3, text, false);
    case e_name:
      if (depth > 1 && kinds_[depth - 1] == e_author) {
        return take_ranked(&item_->author, r.author, 3, text, false);
      }
      return VEPOD_OK;
    case e_season:
    case e_podcast_season: {
      uint8_t rank = kind == e_season ? 1 : 2;
      int64_t season = whole_number(text);
      if (season >= 0 && may_take(r.season, rank)) {
        item_->season = season;
        r.season = rank;
      }
      return VEPOD_OK;
    }
    case e_episode:
    case e_podcast_episode: {
      uint8_t rank = kind == e_episode ? 1 : 2;
      double episode = decimal_number(text);
      if (episode >= 0 && may_take(r.episode, rank)) {
        item_->episode = episode;
        r.episode = rank;
      }
      return VEPOD_OK;
    }
    case e_episode_type:
      if (item_->episode_type == vepod_episode_none) item_->episode_type = episode_type(text);
      return VEPOD_OK;
    case e_explicit:
      if (item_->is_explicit < 0) item_->is_explicit = explicit_flag(text);
      return VEPOD_OK;
    case e_person:
      return end_person(depth, text);
    default:
      return VEPOD_OK;
  }
}

vepod_code feed_mapper::start(const vepod_xml_tag &tag, vepod_xml_want *want) {
  if (tag.depth == 0) return root(tag);
  elem_kind kind = classify(tag.name);
  kinds_[tag.depth] = kind;
  switch (kind) {
    case e_title:
    case e_guid:
    case e_duration:
    case e_date:
    case e_updated:
    case e_url:
      *want = vepod_xml_want_text;
      break;
    case e_id:
      if (atom()) *want = vepod_xml_want_text;
      break;
    case e_item:
    case e_entry:
      *want = vepod_xml_want_end;  // either name ends the current item, whatever the format
      break;
    default:
      break;
  }
  if (!item_) {
    if (live_depth_ >= 0) return VEPOD_OK;
    if (kind == e_live_item && !tag.self_closing) {
      live_depth_ = tag.depth;
      *want = vepod_xml_want_end;
      return VEPOD_OK;
    }
    if (kind == (atom() ? e_entry : e_item)) {
      // Read into the slot after the kept ones; item_done decides whether it stays.
      vepod_item &item = feed_->items[feed_->nitems];
      item = vepod_item{};
      item.size = item.mtime_ms = item.duration_s = -1;
      // The first vepod_max_items are kept until others replace them: only their texts are cut
      // from blocks, so that replaced ones leave no more than that in them.
      item.in_blocks = borrow_ && well_formed_utf8 && items_seen_ < vepod_max_items;
      item.index = items_seen_++;
      // A self-closing one has no end: it stays current until an episode's end tag.
      item_ = &item;
      return VEPOD_OK;
    }
    return kind == e_itunes_image ? take_feed_image(tag) : feed_start(tag, kind, want);
  }
  return item_start(tag, kind, want);
}

vepod_code feed_mapper::end(int depth, const char *text, size_t len) {
  elem_kind kind = kinds_[depth];
  if (item_ && (kind == e_item || kind == e_entry)) {
    item_done();
    item_ranks_ = {};
    return VEPOD_OK;
  }
  if (!item_ && live_depth_ >= 0) {
    if (depth == live_depth_) live_depth_ = -1;
    return VEPOD_OK;
  }
  if (!text) return VEPOD_OK;
  if (!item_) {
    if (kind == e_title) return take_text(&feed_->title, text, len);
    // An image's link is the site's address, never the picture.
    if (kind == e_url && depth > 1 && kinds_[depth - 1] == e_image) {
      return take_url(&feed_->image, text, len);
    }
    return feed_end(kind, depth, {text, len});
  }
  switch (kind) {
    case e_title:
      return take_text(&item_->title, text, len);
    case e_guid:
    case e_id:
      return take_text(&item_->id, text, len);
    case e_duration: {
      int64_t seconds = vepod_duration_seconds(text);
      if (seconds >= 0) item_->duration_s = seconds;
      return VEPOD_OK;
    }
    case e_date:
    case e_updated: {
      // Any publication date over an update; among equals the first that reads as a date.
      uint8_t rank = kind == e_date ? 1 : 2;
      if (!may_take(item_ranks_.date, rank)) return VEPOD_OK;
      int64_t ms = vepod_parse_date(text);
      if (ms != -1) {
        item_->mtime_ms = ms;
        item_ranks_.date = rank;
      }
      return VEPOD_OK;
    }
    default:
      return item_end(kind, depth, {text, len});
  }
}

// Keeps the episode just read while fewer than vepod_max_items are kept; after that it replaces
// the oldest kept one when it is newer, so that a feed written oldest first still shows its latest
// episodes. The heap holds the kept slots with the one to give up first on top.
void feed_mapper::item_done() {
  item_ = nullptr;
  if (feed_->nitems < vepod_max_items) {
    feed_->nitems++;
    return;
  }
  vepod_item *items = feed_->items;
  auto worse = [items](int32_t a, int32_t b) { return kept_over(items[a], items[b]); };
  if (!heap_built_) {
    for (int32_t i = 0; i < vepod_max_items; i++) heap_[i] = i;
    std::make_heap(heap_, heap_ + vepod_max_items, worse);
    heap_built_ = true;
  }
  vepod_item &read = items[vepod_max_items];
  int32_t oldest = heap_[0];
  bool keep = kept_over(read, items[oldest]);
  const vepod_item &dropped = keep ? items[oldest] : read;
  if (dropped.heavy && !references_ok(*dropped.heavy)) faulty_ = true;
  if (keep) {
    std::pop_heap(heap_, heap_ + vepod_max_items, worse);
    vepod_item_clear(&items[oldest]);
    items[oldest] = read;
    std::push_heap(heap_, heap_ + vepod_max_items, worse);
  } else {
    vepod_item_clear(&read);
  }
  read = vepod_item{};
}

vepod_code feed_mapper::finish() {
  feed_->format = format_;
  if (item_) item_done();
  if (faulty_) return refuse(k_faulty_reference);
  if (heap_built_) {
    std::sort(feed_->items, feed_->items + feed_->nitems,
              [](const vepod_item &a, const vepod_item &b) { return a.index < b.index; });
  }
  for (int32_t i = 0; i < feed_->nitems; i++) feed_->items[i].index = i;
  for (int32_t i = 0; i < feed_->nitems; i++) {
    vepod_item &item = feed_->items[i];
    if ((item.id && item.id[0]) || !item.url || !item.url[0]) continue;
    uint64_t h = vepod_fnv1a(item.url, std::strlen(item.url), vepod_fnv1a_basis);
    char id[24];
    std::snprintf(id, sizeof id, "enc:%016llx", static_cast<unsigned long long>(h));
    if (!item.in_blocks) std::free(item.id);
    if (!(item.id = item.in_blocks ? block_text(id) : vepod_strdup(id))) return out_of_memory();
    item.id_fallback = 1;
  }
  return VEPOD_OK;
}

}  // namespace vepod_feed_mapping

vepod_code vepod_feed_parse(const void *data, size_t len, vepod_feed *feed, vepod_failure *failure,
                            vepod_detail detail, bool *feed_root) {
  *failure = vepod_failure{};
  if (feed_root) *feed_root = false;
  if (!feed) {
    vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "no feed record");
    return failure->code;
  }
  *feed = vepod_feed{};
  if (!data || len == 0) {
    vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "empty document");
  } else if (len > vepod_max_document) {
    vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "feed larger than 16 MiB");
  } else if (!(feed->items = static_cast<vepod_item *>(
                   vepod_calloc(vepod_max_items + 1, sizeof(vepod_item))))) {
    vepod_failure_oom(failure);
  } else {
    vepod_feed_mapping::feed_mapper mapper(feed, detail);
    if (vepod_xml_read(static_cast<const unsigned char *>(data), len, mapper, failure) ==
            VEPOD_OK &&
        mapper.finish() != VEPOD_OK) {
      vepod_failure_set(failure, VEPOD_ERR_NO_DATA, "%s", mapper.message);
      failure->out_of_memory = mapper.memory_exhausted;
    }
    if (feed_root) *feed_root = mapper.read_feed_root();
  }
  if (failure->code == VEPOD_OK) return VEPOD_OK;
  // The episode being read when the parse stopped is not counted yet.
  if (feed->items) vepod_item_clear(&feed->items[feed->nitems]);
  vepod_feed_free(feed);
  return failure->code;
}
