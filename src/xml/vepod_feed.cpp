// The mapping of RSS 2.0, RDF and Atom elements onto the feed model, fed by the strict reader.
//
// It works on names alone, with their usual prefixes ("itunes:duration", "rdf:RDF"); the reader
// hands over names of known namespaces with those prefixes whatever the document binds them to.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

#include "util/vepod_util.h"
#include "xml/vepod_feed_parts.h"
#include "xml/vepod_reader.h"
#include "xml/vepod_xml.h"

namespace {

using std::string_view;
using namespace vepod_feed_values;

// The element names the mapping acts on, recognised once per start tag.
enum elem_kind : uint8_t {
  e_other,
  e_item,
  e_entry,
  e_title,
  e_guid,
  e_id,
  e_link,
  e_url,
  e_image,
  e_itunes_image,
  e_enclosure,
  e_duration,  // itunes:duration, duration
  e_date,      // pubdate, published, issued and the Dublin Core dates
  e_updated,   // Atom: dates an episode only when nothing says when it was published
  e_channel,
  e_description,
  e_content_encoded,
  e_content,   // Atom
  e_summary,   // Atom
  e_subtitle,  // Atom
  e_itunes_summary,
  e_itunes_author,
  e_managing_editor,
  e_dc_creator,
  e_author,  // RSS: a text; Atom: holds a name
  e_name,
  e_language,  // language, dc:language
  e_explicit,
  e_show_type,
  e_complete,
  e_new_feed_url,
  e_feed_guid,
  e_funding,
  e_person,
  e_season,
  e_podcast_season,
  e_episode,
  e_podcast_episode,
  e_episode_type,
  e_chapters,     // podcast:chapters, a link to a chapters file
  e_psc_chapter,  // a chapter written in the feed
  e_transcript,
  e_alternate,
  e_alt_source,
  e_thumbnail,
  e_media_description,  // Media RSS show notes, the last source of an episode's description
  e_live_item,          // podcast:liveItem: nothing inside speaks for the channel
};

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

// The value of the first attribute named name, or an empty view.
string_view attr(const vepod_xml_tag &tag, string_view name) {
  for (int i = 0; i < tag.nattrs; i++) {
    if (vepod_ci_eq(tag.attrs[i].name, name)) return tag.attrs[i].value;
  }
  return {};
}

// Makes room for one more entry of a bounded list, which grows by doubling: the new entry, cleared,
// or NULL when memory runs out (the list stays as it was).
template <typename T>
T *append(T *&list, int32_t &count) {
  if ((count & (count - 1)) == 0) {
    size_t room = count ? size_t(count) * 2 : 1;
    auto *grown = static_cast<T *>(vepod_realloc(list, room * sizeof(T)));
    if (!grown) return nullptr;
    list = grown;
  }
  T *entry = &list[count++];
  *entry = T{};
  return entry;
}

// Whether episode a is kept over b when only one of them can be: a dated one over an undated one,
// the newer of two dated ones, and among equals the earlier in the document.
bool kept_over(const vepod_item &a, const vepod_item &b) {
  bool a_dated = a.mtime_ms != -1, b_dated = b.mtime_ms != -1;
  if (a_dated != b_dated) return a_dated;
  if (a_dated && a.mtime_ms != b.mtime_ms) return a.mtime_ms > b.mtime_ms;
  return a.index < b.index;
}

class feed_mapper final : public vepod_xml_consumer {
 public:
  feed_mapper(vepod_feed *feed, vepod_detail detail)
      : feed_(feed),
        details_(detail != vepod_detail::light),
        borrow_(detail == vepod_detail::all_borrowed) {
    namespaces = k_namespaces;
    namespace_count = std::size(k_namespaces);
  }
  ~feed_mapper() { vepod_person_clear(person_); }
  feed_mapper(const feed_mapper &) = delete;
  feed_mapper &operator=(const feed_mapper &) = delete;

  vepod_xml_status start(const vepod_xml_tag &tag, vepod_xml_want *want) override;
  vepod_xml_status end(int depth, const char *text, size_t len) override;
  // Names the items without an identifier after their media URL, so that they keep one identity
  // across fetches.
  vepod_xml_status finish();
  // Whether the document's root element was a feed's, whatever came after it.
  bool read_feed_root() const { return format_ != vepod_format_none; }

 private:
  vepod_xml_status refuse(const char *why) {
    message = why;
    return vepod_xml_invalid;
  }
  vepod_xml_status out_of_memory() {
    message = "out of memory";
    return vepod_xml_out_of_memory;
  }
  vepod_xml_status root(const vepod_xml_tag &tag);
  vepod_xml_status take_enclosure(const vepod_xml_tag &tag, bool atom_link);
  vepod_xml_status take_feed_image(const vepod_xml_tag &tag);
  // Everything beyond the title, image and media of feeds and episodes.
  vepod_xml_status feed_start(const vepod_xml_tag &tag, elem_kind kind, vepod_xml_want *want);
  vepod_xml_status item_start(const vepod_xml_tag &tag, elem_kind kind, vepod_xml_want *want);
  vepod_xml_status feed_end(elem_kind kind, int depth, string_view text);
  vepod_xml_status item_end(elem_kind kind, int depth, string_view text);
  vepod_xml_status start_person(const vepod_xml_tag &tag, vepod_xml_want *want);
  vepod_xml_status end_person(int depth, string_view text);
  vepod_xml_status take_funding(const vepod_xml_tag &tag, vepod_xml_want *want);
  vepod_xml_status take_transcript(const vepod_xml_tag &tag);
  vepod_xml_status take_chapter(const vepod_xml_tag &tag);
  vepod_xml_status take_alternate(const vepod_xml_tag &tag);
  vepod_xml_status take_alternate_source(const vepod_xml_tag &tag);
  // Whether an element at depth is a direct child of the channel (the root in Atom).
  bool channel_child(int depth) const {
    return atom() ? depth == 1 : depth >= 2 && kinds_[depth - 1] == e_channel;
  }
  // Every text of the model enters through these two: made well-formed UTF-8 here, once, so that
  // answers write it as it is and an id handed back compares equal to the one listed. A text cut
  // from a well-formed document already is.
  char *model_text(string_view text) const {
    return well_formed_utf8 ? vepod_strndup(text) : vepod_strndup_utf8(text);
  }
  // A URL as feeds write it, without the blanks around it.
  char *model_url(string_view text) const { return model_text(vepod_trim_blanks(text)); }
  // A copy of text cut from the feed's blocks, which only well-formed documents use.
  char *block_text(string_view text) const {
    auto *copy = static_cast<char *>(vepod_blocks_alloc(feed_->blocks, text.size() + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
  }
  // Whether a field is one of the current episode's own texts, which its blocks hold when it has
  // them.
  bool in_blocks(char **field) const {
    auto *at = reinterpret_cast<const char *>(field);
    return item_ && item_->in_blocks && at >= reinterpret_cast<const char *>(item_) &&
           at < reinterpret_cast<const char *>(item_ + 1);
  }
  // A copy of text for field, and the release of what a field held.
  char *copy_for(char **field, string_view text) const {
    return in_blocks(field) ? block_text(text) : model_text(text);
  }
  void release(char **field) const {
    if (!in_blocks(field)) std::free(*field);
  }
  // Stores a copy of text in an empty field.
  vepod_xml_status take_text(char **field, const char *text, size_t len) {
    if (*field) return vepod_xml_ok;
    *field = copy_for(field, {text, len});
    return *field ? vepod_xml_ok : out_of_memory();
  }
  vepod_xml_status take_url(char **field, const char *text, size_t len) {
    if (*field) return vepod_xml_ok;
    *field = copy_for(field, vepod_trim_blanks({text, len}));
    return *field ? vepod_xml_ok : out_of_memory();
  }
  // A member several elements give, each with a rank (1 first): a better rank replaces what a
  // worse one gave; among equals the first stays. `have` is the rank of what the field holds, 0
  // for nothing.
  static bool may_take(uint8_t have, uint8_t rank) { return have == 0 || rank < have; }
  vepod_xml_status take_ranked(char **field, uint8_t &have, uint8_t rank, string_view text,
                               bool url) {
    if (!may_take(have, rank)) return vepod_xml_ok;
    if (url) text = vepod_trim_blanks(text);
    if (text.empty()) return vepod_xml_ok;
    char *copy = copy_for(field, text);
    if (!copy) return out_of_memory();
    release(field);
    *field = copy;
    have = rank;
    return vepod_xml_ok;
  }
  // Show notes of the given rank (the caller checked that they may be taken): borrowed from the
  // document where the parse borrows and the reader says where they lie, else copied.
  vepod_xml_status take_description(vepod_item_heavy &h, uint8_t rank, string_view text) {
    if (text.empty()) return vepod_xml_ok;
    const bool borrow = borrow_ && run.data;
    char *copy = nullptr;
    if (!borrow && !(copy = item_->in_blocks ? block_text(text) : model_text(text))) {
      return out_of_memory();
    }
    if (!h.description_borrowed && !item_->in_blocks) std::free(h.description);
    h.description_borrowed = borrow;
    if (borrow) {
      h.description = const_cast<char *>(run.data);
      h.description_references = run.references;
      h.description_len = uint32_t(run.len);
      h.description_decoded_len = uint32_t(run.decoded_len);
    } else {
      h.description = copy;
      h.description_references = false;
    }
    item_ranks_.description = rank;
    return vepod_xml_ok;
  }
  // A copy of an attribute's value into an empty field; empty values give nothing.
  vepod_xml_status take_attr(char **field, string_view value, bool url) {
    if (url) value = vepod_trim_blanks(value);
    if (*field || value.empty()) return vepod_xml_ok;
    *field = copy_for(field, value);
    return *field ? vepod_xml_ok : out_of_memory();
  }
  // The current item's heavy members, made on first use; NULL when memory runs out.
  vepod_item_heavy *heavy() {
    if (item_->heavy) return item_->heavy;
    if (!item_->in_blocks) {
      item_->heavy = static_cast<vepod_item_heavy *>(vepod_calloc(1, sizeof(vepod_item_heavy)));
    } else if (void *room = vepod_blocks_alloc(feed_->blocks, sizeof(vepod_item_heavy))) {
      item_->heavy = new (room) vepod_item_heavy{};
    }
    return item_->heavy;
  }
  bool atom() const { return format_ == vepod_format_atom; }
  void item_done();

  vepod_feed *feed_;
  // Whether episodes keep their heavy members (show notes and the lists), and whether show notes
  // that are one run of the document are borrowed from it.
  bool details_;
  bool borrow_;
  vepod_item *item_ = nullptr;
  // Ranks of what the ranked members of the feed and of the current item hold.
  struct ranks {
    uint8_t description, author, image, season, episode, date;
  };
  ranks feed_ranks_{}, item_ranks_{};
  // A person waits for its name, the element's text, from its start tag to its end; depth -1
  // when none waits.
  vepod_person person_{};
  int person_depth_ = -1;
  bool person_in_item_ = false;
  // The funding link whose text is being read, by depth; -1 when none.
  int funding_depth_ = -1;
  // The current item's alternate that the latest alternateEnclosure start tag made, -1 when it
  // made none: its source children join it.
  int32_t alternate_ = -1;
  const vepod_item *alternate_item_ = nullptr;
  int32_t format_ = vepod_format_none;
  // The depth of the podcast:liveItem being read outside an episode, -1 when none.
  int live_depth_ = -1;
  int32_t items_seen_ = 0;
  // Once vepod_max_items are kept: their slots, ordered so that the one to give up is on top.
  int32_t heap_[vepod_max_items];
  bool heap_built_ = false;
  elem_kind kinds_[vepod_xml_max_depth] = {};
};

vepod_xml_status feed_mapper::root(const vepod_xml_tag &tag) {
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
  return vepod_xml_ok;
}

// An episode's media file comes whole from its first enclosure with a URL: an RSS enclosure or an
// Atom link whose rel is "enclosure". Pairing one enclosure's URL with another's length or type
// would describe a file that does not exist.
vepod_xml_status feed_mapper::take_enclosure(const vepod_xml_tag &tag, bool atom_link) {
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
  if (!enclosure || !url || vepod_trim_blanks(url->value).empty()) return vepod_xml_ok;
  if (!(item_->url = copy_for(&item_->url, vepod_trim_blanks(url->value)))) return out_of_memory();
  if (type && !type->value.empty() &&
      !(item_->enclosure_type = copy_for(&item_->enclosure_type, type->value))) {
    return out_of_memory();
  }
  item_->size = size;
  return vepod_xml_ok;
}

// Each non-empty href of a feed-level itunes:image replaces the cover.
vepod_xml_status feed_mapper::take_feed_image(const vepod_xml_tag &tag) {
  for (int i = 0; i < tag.nattrs; i++) {
    if (!vepod_ci_eq(tag.attrs[i].name, "href") || vepod_trim_blanks(tag.attrs[i].value).empty()) {
      continue;
    }
    std::free(feed_->image);
    if (!(feed_->image = model_url(tag.attrs[i].value))) return out_of_memory();
  }
  return vepod_xml_ok;
}

vepod_xml_status feed_mapper::feed_start(const vepod_xml_tag &tag, elem_kind kind,
                                         vepod_xml_want *want) {
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
      return vepod_xml_ok;
    case e_subtitle:
      if (top && atom()) *want = vepod_xml_want_text;
      return vepod_xml_ok;
    case e_name:
      // An Atom feed's author is the name inside its author element.
      if (atom() && tag.depth == 2 && kinds_[1] == e_author) *want = vepod_xml_want_text;
      return vepod_xml_ok;
    case e_link:
      if (!top || feed_->link) return vepod_xml_ok;
      // The site: an RSS link's text, or a link to the alternate page (in Atom also one without a
      // rel, which means the same).
      if (string_view rel = attr(tag, "rel");
          vepod_ci_eq(rel, "alternate") || (atom() && rel.empty())) {
        return take_attr(&feed_->link, attr(tag, "href"), true);
      }
      if (!atom() && tag.nattrs == 0) *want = vepod_xml_want_text;
      return vepod_xml_ok;
    case e_funding:
      return take_funding(tag, want);
    case e_person:
      return start_person(tag, want);
    case e_alternate:
      alternate_ = -1;
      return vepod_xml_ok;
    default:
      return vepod_xml_ok;
  }
}

vepod_xml_status feed_mapper::feed_end(elem_kind kind, int depth, string_view text) {
  ranks &r = feed_ranks_;
  const bool top = channel_child(depth);
  switch (kind) {
    case e_description:
      return top ? take_ranked(&feed_->description, r.description, 1, text, false) : vepod_xml_ok;
    case e_itunes_summary:
      return top ? take_ranked(&feed_->description, r.description, 2, text, false) : vepod_xml_ok;
    case e_subtitle:
      return top ? take_ranked(&feed_->description, r.description, 3, text, false) : vepod_xml_ok;
    case e_itunes_author:
      return top ? take_ranked(&feed_->author, r.author, 1, text, false) : vepod_xml_ok;
    case e_managing_editor:
      return top ? take_ranked(&feed_->author, r.author, 2, text, false) : vepod_xml_ok;
    case e_dc_creator:
      return top ? take_ranked(&feed_->author, r.author, 3, text, false) : vepod_xml_ok;
    case e_name:
      if (atom() && depth == 2 && kinds_[1] == e_author) {
        return take_ranked(&feed_->author, r.author, 4, text, false);
      }
      return vepod_xml_ok;
    case e_language:
      return top ? take_text(&feed_->language, text.data(), text.size()) : vepod_xml_ok;
    case e_feed_guid:
      return top ? take_text(&feed_->feed_guid, text.data(), text.size()) : vepod_xml_ok;
    case e_link:
      return top && !atom() ? take_url(&feed_->link, text.data(), text.size()) : vepod_xml_ok;
    case e_explicit:
      if (top && feed_->is_explicit < 0) feed_->is_explicit = explicit_flag(text);
      return vepod_xml_ok;
    case e_show_type:
      if (top && feed_->show_type == vepod_show_none) feed_->show_type = show_type(text);
      return vepod_xml_ok;
    case e_complete:
      if (top && vepod_ci_eq(text, "yes")) feed_->complete = true;
      return vepod_xml_ok;
    case e_new_feed_url:
      // Only an address a client can move to; the text is NUL-terminated and trimmed.
      if (top && !feed_->new_feed_url && vepod_url_is_http(text.data())) {
        return take_url(&feed_->new_feed_url, text.data(), text.size());
      }
      return vepod_xml_ok;
    case e_funding:
      if (depth != funding_depth_) return vepod_xml_ok;
      funding_depth_ = -1;
      return take_text(&feed_->funding[feed_->nfunding - 1].text, text.data(), text.size());
    case e_person:
      return end_person(depth, text);
    default:
      return vepod_xml_ok;
  }
}

vepod_xml_status feed_mapper::item_start(const vepod_xml_tag &tag, elem_kind kind,
                                         vepod_xml_want *want) {
  ranks &r = item_ranks_;
  auto want_if = [want](bool wanted) {
    if (wanted) *want = vepod_xml_want_text;
    return vepod_xml_ok;
  };
  // Show notes: a parse that borrows them takes them where they lie when they are one run.
  auto want_notes = [this, want](bool wanted) {
    if (details_ && wanted) *want = borrow_ ? vepod_xml_want_run : vepod_xml_want_text;
    return vepod_xml_ok;
  };
  switch (kind) {
    case e_enclosure:
      return item_->url ? vepod_xml_ok : take_enclosure(tag, false);
    case e_link: {
      if (atom() && !item_->url) {
        if (vepod_xml_status status = take_enclosure(tag, true)) return status;
      }
      if (item_->link) return vepod_xml_ok;
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
      if (item_->chapters_url || vepod_trim_blanks(attr(tag, "url")).empty()) return vepod_xml_ok;
      if (vepod_xml_status status = take_attr(&item_->chapters_url, attr(tag, "url"), true)) {
        return status;
      }
      return take_attr(&item_->chapters_type, attr(tag, "type"), false);
    case e_transcript:
      return details_ ? take_transcript(tag) : vepod_xml_ok;
    case e_psc_chapter:
      return details_ ? take_chapter(tag) : vepod_xml_ok;
    case e_alternate:
      return take_alternate(tag);
    case e_alt_source:
      return take_alternate_source(tag);
    case e_person:
      return details_ ? start_person(tag, want) : vepod_xml_ok;
    default:
      return vepod_xml_ok;
  }
}

vepod_xml_status feed_mapper::item_end(elem_kind kind, int depth, string_view text) {
  ranks &r = item_ranks_;
  switch (kind) {
    case e_link:
      return atom() ? vepod_xml_ok : take_url(&item_->link, text.data(), text.size());
    case e_content_encoded:
    case e_content:
    case e_description:
    case e_summary:
    case e_itunes_summary:
    case e_media_description: {
      if (!details_ || (kind == e_summary && !atom())) return vepod_xml_ok;
      uint8_t rank = kind == e_content_encoded || kind == e_content ? 1
                     : kind == e_itunes_summary                     ? 3
                     : kind == e_media_description                  ? 4
                                                                    : 2;
      if (!may_take(r.description, rank)) return vepod_xml_ok;
      vepod_item_heavy *h = heavy();
      return h ? take_description(*h, rank, text) : out_of_memory();
    }
    case e_itunes_author:
      return take_ranked(&item_->author, r.author, 1, text, false);
    case e_dc_creator:
      return take_ranked(&item_->author, r.author, 2, text, false);
    case e_author:
      return atom() ? vepod_xml_ok : take_ranked(&item_->author, r.author, 3, text, false);
    case e_name:
      if (depth > 1 && kinds_[depth - 1] == e_author) {
        return take_ranked(&item_->author, r.author, 3, text, false);
      }
      return vepod_xml_ok;
    case e_season:
    case e_podcast_season: {
      uint8_t rank = kind == e_season ? 1 : 2;
      int64_t season = whole_number(text);
      if (season >= 0 && may_take(r.season, rank)) {
        item_->season = season;
        r.season = rank;
      }
      return vepod_xml_ok;
    }
    case e_episode:
    case e_podcast_episode: {
      uint8_t rank = kind == e_episode ? 1 : 2;
      double episode = decimal_number(text);
      if (episode >= 0 && may_take(r.episode, rank)) {
        item_->episode = episode;
        r.episode = rank;
      }
      return vepod_xml_ok;
    }
    case e_episode_type:
      if (item_->episode_type == vepod_episode_none) item_->episode_type = episode_type(text);
      return vepod_xml_ok;
    case e_explicit:
      if (item_->is_explicit < 0) item_->is_explicit = explicit_flag(text);
      return vepod_xml_ok;
    case e_person:
      return end_person(depth, text);
    default:
      return vepod_xml_ok;
  }
}

// A person's attributes are copied at its start tag (the reader reuses their room) and the person
// joins its list when its end brings the name; one without a name is dropped.
vepod_xml_status feed_mapper::start_person(const vepod_xml_tag &tag, vepod_xml_want *want) {
  vepod_person_clear(person_);
  person_depth_ = -1;
  if (tag.self_closing) return vepod_xml_ok;
  int32_t count = item_ ? (item_->heavy ? item_->heavy->npersons : 0) : feed_->npersons;
  if (count >= vepod_max_persons) return vepod_xml_ok;
  for (char **field : {&person_.role, &person_.group}) {
    string_view value = attr(tag, field == &person_.role ? "role" : "group");
    if (vepod_xml_status status = take_attr(field, value, false)) return status;
    for (char *c = *field; c && *c; c++)
      *c = char(vepod_ascii_lower(static_cast<unsigned char>(*c)));
  }
  if (vepod_xml_status status = take_attr(&person_.img, attr(tag, "img"), true)) return status;
  if (vepod_xml_status status = take_attr(&person_.href, attr(tag, "href"), true)) return status;
  person_depth_ = tag.depth;
  person_in_item_ = item_ != nullptr;
  *want = vepod_xml_want_text;
  return vepod_xml_ok;
}

vepod_xml_status feed_mapper::end_person(int depth, string_view text) {
  if (depth != person_depth_) return vepod_xml_ok;
  person_depth_ = -1;
  if (person_in_item_ != (item_ != nullptr)) return vepod_xml_ok;
  vepod_item_heavy *h = item_ ? heavy() : nullptr;
  if (item_ && !h) return out_of_memory();
  vepod_person *&list = h ? h->persons : feed_->persons;
  int32_t &count = h ? h->npersons : feed_->npersons;
  if (count >= vepod_max_persons) return vepod_xml_ok;
  if (!(person_.name = model_text(text))) return out_of_memory();
  vepod_person *person = append(list, count);
  if (!person) return out_of_memory();
  *person = person_;
  person_ = vepod_person{};
  return vepod_xml_ok;
}

// A funding link needs its URL; the text that names it may follow.
vepod_xml_status feed_mapper::take_funding(const vepod_xml_tag &tag, vepod_xml_want *want) {
  string_view url = vepod_trim_blanks(attr(tag, "url"));
  funding_depth_ = -1;
  if (url.empty() || feed_->nfunding >= vepod_max_funding) return vepod_xml_ok;
  vepod_funding *funding = append(feed_->funding, feed_->nfunding);
  if (!funding) return out_of_memory();
  if (!(funding->url = model_url(url))) return out_of_memory();
  if (!tag.self_closing) {
    funding_depth_ = tag.depth;
    *want = vepod_xml_want_text;
  }
  return vepod_xml_ok;
}

vepod_xml_status feed_mapper::take_transcript(const vepod_xml_tag &tag) {
  string_view url = vepod_trim_blanks(attr(tag, "url"));
  if (url.empty()) return vepod_xml_ok;
  vepod_item_heavy *h = heavy();
  if (!h) return out_of_memory();
  if (h->ntranscripts >= vepod_max_transcripts) return vepod_xml_ok;
  vepod_transcript *t = append(h->transcripts, h->ntranscripts);
  if (!t) return out_of_memory();
  vepod_xml_status status = take_attr(&t->url, url, true);
  if (!status) status = take_attr(&t->type, attr(tag, "type"), false);
  if (!status) status = take_attr(&t->language, attr(tag, "language"), false);
  if (!status) status = take_attr(&t->rel, attr(tag, "rel"), false);
  return status;
}

// A chapter without a readable start has no place in the list and is skipped.
vepod_xml_status feed_mapper::take_chapter(const vepod_xml_tag &tag) {
  int64_t start = npt_ms(vepod_trim_blanks(attr(tag, "start")));
  if (start < 0) return vepod_xml_ok;
  vepod_item_heavy *h = heavy();
  if (!h) return out_of_memory();
  if (h->nchapters >= vepod_max_chapters) return vepod_xml_ok;
  vepod_chapter *c = append(h->chapters, h->nchapters);
  if (!c) return out_of_memory();
  c->start_ms = start;
  vepod_xml_status status = take_attr(&c->title, attr(tag, "title"), false);
  if (!status) status = take_attr(&c->href, attr(tag, "href"), true);
  if (!status) status = take_attr(&c->image, attr(tag, "image"), true);
  return status;
}

vepod_xml_status feed_mapper::take_alternate(const vepod_xml_tag &tag) {
  alternate_ = -1;
  if (!details_) return vepod_xml_ok;
  vepod_item_heavy *h = heavy();
  if (!h) return out_of_memory();
  if (h->nalternates >= vepod_max_alternates) return vepod_xml_ok;
  vepod_alternate *a = append(h->alternates, h->nalternates);
  if (!a) return out_of_memory();
  alternate_ = h->nalternates - 1;
  alternate_item_ = item_;
  a->length = whole_number(attr(tag, "length"));
  a->bitrate = decimal_number(attr(tag, "bitrate"));
  a->height = whole_number(attr(tag, "height"));
  string_view is_default = attr(tag, "default");
  a->is_default = vepod_ci_eq(is_default, "true") ? 1 : vepod_ci_eq(is_default, "false") ? 0 : -1;
  vepod_xml_status status = take_attr(&a->type, attr(tag, "type"), false);
  if (!status) status = take_attr(&a->lang, attr(tag, "lang"), false);
  if (!status) status = take_attr(&a->title, attr(tag, "title"), false);
  if (!status) status = take_attr(&a->rel, attr(tag, "rel"), false);
  if (!status) status = take_attr(&a->codecs, attr(tag, "codecs"), false);
  return status;
}

vepod_xml_status feed_mapper::take_alternate_source(const vepod_xml_tag &tag) {
  // The alternate must be this item's: a stray end tag may have ended the item it belongs to.
  if (alternate_ < 0 || alternate_item_ != item_ || !item_->heavy ||
      alternate_ >= item_->heavy->nalternates || kinds_[tag.depth - 1] != e_alternate) {
    return vepod_xml_ok;
  }
  vepod_alternate &a = item_->heavy->alternates[alternate_];
  string_view uri = vepod_trim_blanks(attr(tag, "uri"));
  if (uri.empty() || a.nsources >= vepod_max_sources_per_alternate) return vepod_xml_ok;
  vepod_alternate_source *source = append(a.sources, a.nsources);
  if (!source) return out_of_memory();
  vepod_xml_status status = take_attr(&source->uri, uri, true);
  if (!status) status = take_attr(&source->content_type, attr(tag, "contentType"), false);
  return status;
}

vepod_xml_status feed_mapper::start(const vepod_xml_tag &tag, vepod_xml_want *want) {
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
    if (live_depth_ >= 0) return vepod_xml_ok;
    if (kind == e_live_item && !tag.self_closing) {
      live_depth_ = tag.depth;
      *want = vepod_xml_want_end;
      return vepod_xml_ok;
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
      return vepod_xml_ok;
    }
    return kind == e_itunes_image ? take_feed_image(tag) : feed_start(tag, kind, want);
  }
  return item_start(tag, kind, want);
}

vepod_xml_status feed_mapper::end(int depth, const char *text, size_t len) {
  elem_kind kind = kinds_[depth];
  if (item_ && (kind == e_item || kind == e_entry)) {
    item_done();
    item_ranks_ = {};
    return vepod_xml_ok;
  }
  if (!item_ && live_depth_ >= 0) {
    if (depth == live_depth_) live_depth_ = -1;
    return vepod_xml_ok;
  }
  if (!text) return vepod_xml_ok;
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
      return vepod_xml_ok;
    }
    case e_date:
    case e_updated: {
      // Any publication date over an update; among equals the first that reads as a date.
      uint8_t rank = kind == e_date ? 1 : 2;
      if (!may_take(item_ranks_.date, rank)) return vepod_xml_ok;
      int64_t ms = vepod_parse_date(text);
      if (ms != -1) {
        item_->mtime_ms = ms;
        item_ranks_.date = rank;
      }
      return vepod_xml_ok;
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
  if (kept_over(read, items[oldest])) {
    std::pop_heap(heap_, heap_ + vepod_max_items, worse);
    vepod_item_clear(&items[oldest]);
    items[oldest] = read;
    std::push_heap(heap_, heap_ + vepod_max_items, worse);
  } else {
    vepod_item_clear(&read);
  }
  read = vepod_item{};
}

vepod_xml_status feed_mapper::finish() {
  feed_->format = format_;
  if (item_) item_done();
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
  return vepod_xml_ok;
}

}  // namespace

vepod_feed_status vepod_feed_parse(const void *data, size_t len, vepod_feed *feed, char *err,
                                   size_t err_size, vepod_detail detail, bool *feed_root) {
  if (err && err_size) err[0] = '\0';
  if (feed_root) *feed_root = false;
  if (!feed) return vepod_feed_invalid;
  *feed = vepod_feed{};
  const char *message = nullptr;
  vepod_xml_status status = vepod_xml_invalid;
  if (!data || len == 0) {
    message = "empty feed body";
  } else if (len > vepod_max_document) {
    message = "feed larger than 16 MiB";
  } else if (!(feed->items = static_cast<vepod_item *>(
                   vepod_calloc(vepod_max_items + 1, sizeof(vepod_item))))) {
    message = "out of memory";
    status = vepod_xml_out_of_memory;
  } else {
    feed_mapper mapper(feed, detail);
    status = vepod_xml_read(static_cast<const unsigned char *>(data), len, mapper, err, err_size);
    if (status == vepod_xml_ok) {
      status = mapper.finish();
      message = mapper.message;
    }
    if (feed_root) *feed_root = mapper.read_feed_root();
  }
  if (status == vepod_xml_ok) return vepod_feed_ok;
  // The episode being read when the parse stopped is not counted yet.
  if (feed->items) vepod_item_clear(&feed->items[feed->nitems]);
  vepod_feed_free(feed);
  if (message) vepod_put_err(err, err_size, "%s", message);
  return status == vepod_xml_out_of_memory ? vepod_feed_out_of_memory : vepod_feed_invalid;
}
