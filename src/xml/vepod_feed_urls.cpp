// The URLs of a parsed feed as the operations hand them out: resolved against the feed's own URL,
// and only absolute http(s) ones.

#include <cstdlib>
#include <initializer_list>

#include "util/vepod_url.h"
#include "xml/vepod_xml.h"

namespace {

// Removes the transcripts and alternate sources whose URL was dropped: they are nothing without it.
void drop_without_url(vepod_item_heavy &h) {
  int32_t kept = 0;
  for (int32_t k = 0; k < h.ntranscripts; k++) {
    vepod_transcript &t = h.transcripts[k];
    if (t.url) {
      h.transcripts[kept++] = t;
    } else {
      for (char *text : {t.type, t.language, t.rel}) std::free(text);
    }
  }
  h.ntranscripts = kept;
  if (kept == 0) {
    std::free(h.transcripts);
    h.transcripts = nullptr;
  }
  for (int32_t k = 0; k < h.nalternates; k++) {
    vepod_alternate &alternate = h.alternates[k];
    kept = 0;
    for (int32_t j = 0; j < alternate.nsources; j++) {
      vepod_alternate_source &source = alternate.sources[j];
      if (source.uri) {
        alternate.sources[kept++] = source;
      } else {
        std::free(source.content_type);
      }
    }
    alternate.nsources = kept;
    if (kept == 0) {
      std::free(alternate.sources);
      alternate.sources = nullptr;
    }
  }
}

}  // namespace

bool vepod_feed_resolve_urls(vepod_feed *feed, const char *base) {
  const bool base_is_http = vepod_url_is_http(base);
  // Each URL becomes absolute http(s), or goes: nothing else is safe to hand a player.
  auto resolve = [base, base_is_http](char *&url) {
    if (!url) return true;
    if (*url && !vepod_url_has_scheme(url) && base_is_http) {
      char *absolute = vepod_resolve_url(url, base);
      if (!absolute) return false;
      std::free(url);
      url = absolute;
    }
    if (!vepod_url_is_http(url)) {
      std::free(url);
      url = nullptr;
    }
    return true;
  };
  auto resolve_persons = [&resolve](vepod_person *persons, int32_t n) {
    for (int32_t i = 0; i < n; i++) {
      if (!resolve(persons[i].img) || !resolve(persons[i].href)) return false;
    }
    return true;
  };
  if (!resolve(feed->image) || !resolve(feed->link) ||
      !resolve_persons(feed->persons, feed->npersons)) {
    return false;
  }
  for (int32_t i = 0; i < feed->nfunding; i++) {
    if (!resolve(feed->funding[i].url)) return false;
  }
  for (int32_t i = 0; i < feed->nitems; i++) {
    vepod_item &item = feed->items[i];
    if (!resolve(item.url) || !resolve(item.image) || !resolve(item.link) ||
        !resolve(item.chapters_url)) {
      return false;
    }
    vepod_item_heavy *h = item.heavy;
    if (!h) continue;
    for (int32_t k = 0; k < h->ntranscripts; k++) {
      if (!resolve(h->transcripts[k].url)) return false;
    }
    if (!resolve_persons(h->persons, h->npersons)) return false;
    for (int32_t k = 0; k < h->nchapters; k++) {
      if (!resolve(h->chapters[k].href) || !resolve(h->chapters[k].image)) return false;
    }
    for (int32_t k = 0; k < h->nalternates; k++) {
      vepod_alternate &alternate = h->alternates[k];
      for (int32_t j = 0; j < alternate.nsources; j++) {
        if (!resolve(alternate.sources[j].uri)) return false;
      }
    }
    drop_without_url(*h);
  }
  return true;
}
