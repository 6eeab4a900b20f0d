// The feed mapping's own declarations, shared by the files it is split into: the mapping itself
// (vepod_feed.cpp) and the podcast namespace's lists it reads (vepod_feed_lists.cpp).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "util/vepod_alloc.h"
#include "util/vepod_text.h"
#include "util/vepod_utf8.h"
#include "xml/vepod_feed_parts.h"
#include "xml/vepod_reader.h"
#include "xml/vepod_xml.h"

namespace vepod_feed_mapping {

using std::string_view;

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

// The value of the first attribute named name, or an empty view.
inline string_view attr(const vepod_xml_tag &tag, string_view name) {
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

class feed_mapper final : public vepod_xml_consumer {
 public:
  feed_mapper(vepod_feed *feed, vepod_detail detail);
  ~feed_mapper() { vepod_person_clear(person_); }
  feed_mapper(const feed_mapper &) = delete;
  feed_mapper &operator=(const feed_mapper &) = delete;

  vepod_code start(const vepod_xml_tag &tag, vepod_xml_want *want) override;
  vepod_code end(int depth, const char *text, size_t len) override;
  // Names the items without an identifier after their media URL, so that they keep one identity
  // across fetches.
  vepod_code finish();
  // Whether the document's root element was a feed's, whatever came after it.
  bool read_feed_root() const { return format_ != vepod_format_none; }

 private:
  vepod_code refuse(const char *why) {
    message = why;
    return VEPOD_ERR_NO_DATA;
  }
  vepod_code out_of_memory() {
    message = "out of memory";
    memory_exhausted = true;
    return VEPOD_ERR_NO_DATA;
  }
  vepod_code root(const vepod_xml_tag &tag);
  vepod_code take_enclosure(const vepod_xml_tag &tag, bool atom_link);
  vepod_code take_feed_image(const vepod_xml_tag &tag);
  // Everything beyond the title, image and media of feeds and episodes.
  vepod_code feed_start(const vepod_xml_tag &tag, elem_kind kind, vepod_xml_want *want);
  vepod_code item_start(const vepod_xml_tag &tag, elem_kind kind, vepod_xml_want *want);
  vepod_code feed_end(elem_kind kind, int depth, string_view text);
  vepod_code item_end(elem_kind kind, int depth, string_view text);
  vepod_code start_person(const vepod_xml_tag &tag, vepod_xml_want *want);
  vepod_code end_person(int depth, string_view text);
  vepod_code take_funding(const vepod_xml_tag &tag, vepod_xml_want *want);
  vepod_code take_transcript(const vepod_xml_tag &tag);
  vepod_code take_chapter(const vepod_xml_tag &tag);
  vepod_code take_alternate(const vepod_xml_tag &tag);
  vepod_code take_alternate_source(const vepod_xml_tag &tag);
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
  vepod_code take_text(char **field, const char *text, size_t len) {
    if (*field) return VEPOD_OK;
    *field = copy_for(field, {text, len});
    return *field ? VEPOD_OK : out_of_memory();
  }
  vepod_code take_url(char **field, const char *text, size_t len) {
    if (*field) return VEPOD_OK;
    *field = copy_for(field, vepod_trim_blanks({text, len}));
    return *field ? VEPOD_OK : out_of_memory();
  }
  // A member several elements give, each with a rank (1 first): a better rank replaces what a
  // worse one gave; among equals the first stays. `have` is the rank of what the field holds, 0
  // for nothing.
  static bool may_take(uint8_t have, uint8_t rank) { return have == 0 || rank < have; }
  vepod_code take_ranked(char **field, uint8_t &have, uint8_t rank, string_view text, bool url) {
    if (!may_take(have, rank)) return VEPOD_OK;
    if (url) text = vepod_trim_blanks(text);
    if (text.empty()) return VEPOD_OK;
    char *copy = copy_for(field, text);
    if (!copy) return out_of_memory();
    release(field);
    *field = copy;
    have = rank;
    return VEPOD_OK;
  }
  // Show notes of the given rank (the caller checked that they may be taken): borrowed from the
  // document where the parse borrows and the reader says where they lie, else copied. Borrowed
  // notes keep their references unread until the export writes them, so notes given up are read
  // here.
  vepod_code take_description(vepod_item_heavy &h, uint8_t rank, string_view text) {
    if (text.empty()) return VEPOD_OK;
    const bool borrow = borrow_ && run.data;
    if (!references_ok(h)) return refuse(k_faulty_reference);
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
      run = {};  // kept: the reader leaves its references to the export
    } else {
      h.description = copy;
      h.description_references = false;
    }
    item_ranks_.description = rank;
    return VEPOD_OK;
  }
  // Whether the references of borrowed show notes read as the reader reads them.
  static bool references_ok(const vepod_item_heavy &h) {
    return !h.description_borrowed || !h.description_references ||
           vepod_xml_references_ok(h.description, h.description_len);
  }
  // Why borrowed show notes given up are refused; the export reads the document again to learn
  // its first error.
  static constexpr const char *k_faulty_reference = "faulty entity reference";
  // A copy of an attribute's value into an empty field; empty values give nothing.
  vepod_code take_attr(char **field, string_view value, bool url) {
    if (url) value = vepod_trim_blanks(value);
    if (*field || value.empty()) return VEPOD_OK;
    *field = copy_for(field, value);
    return *field ? VEPOD_OK : out_of_memory();
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
  // An episode given up for a newer one had borrowed show notes with a faulty reference.
  bool faulty_ = false;
  elem_kind kinds_[vepod_xml_max_depth] = {};
};

}  // namespace vepod_feed_mapping
