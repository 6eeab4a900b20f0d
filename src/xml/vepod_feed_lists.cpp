// The podcast namespace's lists as the feed mapping reads them: persons, funding links,
// transcripts, chapters written in the feed, and alternate enclosures with their sources.

#include <string_view>

#include "xml/vepod_feed_mapper.h"

namespace vepod_feed_mapping {

using namespace vepod_feed_values;

// A person's attributes are copied at its start tag (the reader reuses their room) and the person
// joins its list when its end brings the name; one without a name is dropped.
vepod_code feed_mapper::start_person(const vepod_xml_tag &tag, vepod_xml_want *want) {
  vepod_person_clear(person_);
  person_depth_ = -1;
  if (tag.self_closing) return VEPOD_OK;
  int32_t count = item_ ? (item_->heavy ? item_->heavy->npersons : 0) : feed_->npersons;
  if (count >= vepod_max_persons) return VEPOD_OK;
  for (char **field : {&person_.role, &person_.group}) {
    string_view value = attr(tag, field == &person_.role ? "role" : "group");
    if (vepod_code status = take_attr(field, value, false)) return status;
    for (char *c = *field; c && *c; c++)
      *c = char(vepod_ascii_lower(static_cast<unsigned char>(*c)));
  }
  if (vepod_code status = take_attr(&person_.img, attr(tag, "img"), true)) return status;
  if (vepod_code status = take_attr(&person_.href, attr(tag, "href"), true)) return status;
  person_depth_ = tag.depth;
  person_in_item_ = item_ != nullptr;
  *want = vepod_xml_want_text;
  return VEPOD_OK;
}

vepod_code feed_mapper::end_person(int depth, string_view text) {
  if (depth != person_depth_) return VEPOD_OK;
  person_depth_ = -1;
  if (person_in_item_ != (item_ != nullptr)) return VEPOD_OK;
  vepod_item_heavy *h = item_ ? heavy() : nullptr;
  if (item_ && !h) return out_of_memory();
  vepod_person *&list = h ? h->persons : feed_->persons;
  int32_t &count = h ? h->npersons : feed_->npersons;
  if (count >= vepod_max_persons) return VEPOD_OK;
  if (!(person_.name = model_text(text))) return out_of_memory();
  vepod_person *person = append(list, count);
  if (!person) return out_of_memory();
  *person = person_;
  person_ = vepod_person{};
  return VEPOD_OK;
}

// A funding link needs its URL; the text that names it may follow.
vepod_code feed_mapper::take_funding(const vepod_xml_tag &tag, vepod_xml_want *want) {
  string_view url = vepod_trim_blanks(attr(tag, "url"));
  funding_depth_ = -1;
  if (url.empty() || feed_->nfunding >= vepod_max_funding) return VEPOD_OK;
  vepod_funding *funding = append(feed_->funding, feed_->nfunding);
  if (!funding) return out_of_memory();
  if (!(funding->url = model_url(url))) return out_of_memory();
  if (!tag.self_closing) {
    funding_depth_ = tag.depth;
    *want = vepod_xml_want_text;
  }
  return VEPOD_OK;
}

vepod_code feed_mapper::take_transcript(const vepod_xml_tag &tag) {
  string_view url = vepod_trim_blanks(attr(tag, "url"));
  if (url.empty()) return VEPOD_OK;
  vepod_item_heavy *h = heavy();
  if (!h) return out_of_memory();
  if (h->ntranscripts >= vepod_max_transcripts) return VEPOD_OK;
  vepod_transcript *t = append(h->transcripts, h->ntranscripts);
  if (!t) return out_of_memory();
  vepod_code status = take_attr(&t->url, url, true);
  if (!status) status = take_attr(&t->type, attr(tag, "type"), false);
  if (!status) status = take_attr(&t->language, attr(tag, "language"), false);
  if (!status) status = take_attr(&t->rel, attr(tag, "rel"), false);
  return status;
}

// A chapter without a readable start has no place in the list and is skipped.
vepod_code feed_mapper::take_chapter(const vepod_xml_tag &tag) {
  int64_t start = npt_ms(vepod_trim_blanks(attr(tag, "start")));
  if (start < 0) return VEPOD_OK;
  vepod_item_heavy *h = heavy();
  if (!h) return out_of_memory();
  if (h->nchapters >= vepod_max_chapters) return VEPOD_OK;
  vepod_chapter *c = append(h->chapters, h->nchapters);
  if (!c) return out_of_memory();
  c->start_ms = start;
  vepod_code status = take_attr(&c->title, attr(tag, "title"), false);
  if (!status) status = take_attr(&c->href, attr(tag, "href"), true);
  if (!status) status = take_attr(&c->image, attr(tag, "image"), true);
  return status;
}

vepod_code feed_mapper::take_alternate(const vepod_xml_tag &tag) {
  alternate_ = -1;
  if (!details_) return VEPOD_OK;
  vepod_item_heavy *h = heavy();
  if (!h) return out_of_memory();
  if (h->nalternates >= vepod_max_alternates) return VEPOD_OK;
  vepod_alternate *a = append(h->alternates, h->nalternates);
  if (!a) return out_of_memory();
  alternate_ = h->nalternates - 1;
  alternate_item_ = item_;
  a->length = whole_number(attr(tag, "length"));
  a->bitrate = decimal_number(attr(tag, "bitrate"));
  a->height = whole_number(attr(tag, "height"));
  string_view is_default = attr(tag, "default");
  a->is_default = vepod_ci_eq(is_default, "true") ? 1 : vepod_ci_eq(is_default, "false") ? 0 : -1;
  vepod_code status = take_attr(&a->type, attr(tag, "type"), false);
  if (!status) status = take_attr(&a->lang, attr(tag, "lang"), false);
  if (!status) status = take_attr(&a->title, attr(tag, "title"), false);
  if (!status) status = take_attr(&a->rel, attr(tag, "rel"), false);
  if (!status) status = take_attr(&a->codecs, attr(tag, "codecs"), false);
  return status;
}

vepod_code feed_mapper::take_alternate_source(const vepod_xml_tag &tag) {
  // The alternate must be this item's: a stray end tag may have ended the item it belongs to.
  if (alternate_ < 0 || alternate_item_ != item_ || !item_->heavy ||
      alternate_ >= item_->heavy->nalternates || kinds_[tag.depth - 1] != e_alternate) {
    return VEPOD_OK;
  }
  vepod_alternate &a = item_->heavy->alternates[alternate_];
  string_view uri = vepod_trim_blanks(attr(tag, "uri"));
  if (uri.empty() || a.nsources >= vepod_max_sources_per_alternate) return VEPOD_OK;
  vepod_alternate_source *source = append(a.sources, a.nsources);
  if (!source) return out_of_memory();
  vepod_code status = take_attr(&source->uri, uri, true);
  if (!status) status = take_attr(&source->content_type, attr(tag, "contentType"), false);
  return status;
}

}  // namespace vepod_feed_mapping
