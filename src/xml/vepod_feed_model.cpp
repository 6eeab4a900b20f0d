// The feed model's lifetime: what a record owns and its release. A record owns every text and list
// it points to, except show notes a parse for the export borrows from the document.

#include <cstdlib>

#include "xml/vepod_feed_parts.h"
#include "xml/vepod_xml.h"

void vepod_person_clear(vepod_person &p) {
  std::free(p.name);
  std::free(p.role);
  std::free(p.group);
  std::free(p.img);
  std::free(p.href);
  p = vepod_person{};
}

void vepod_persons_free(vepod_person *persons, int32_t n) {
  for (int32_t i = 0; i < n; i++) vepod_person_clear(persons[i]);
  std::free(persons);
}

void vepod_item_clear(vepod_item *item) {
  std::free(item->title);
  std::free(item->id);
  std::free(item->url);
  std::free(item->enclosure_type);
  std::free(item->image);
  std::free(item->link);
  std::free(item->author);
  std::free(item->chapters_url);
  std::free(item->chapters_type);
  if (vepod_item_heavy *h = item->heavy) {
    if (!h->description_borrowed) std::free(h->description);
    for (int32_t i = 0; i < h->ntranscripts; i++) {
      vepod_transcript &t = h->transcripts[i];
      for (char *text : {t.url, t.type, t.language, t.rel}) std::free(text);
    }
    std::free(h->transcripts);
    vepod_persons_free(h->persons, h->npersons);
    for (int32_t i = 0; i < h->nalternates; i++) {
      vepod_alternate &a = h->alternates[i];
      for (char *text : {a.type, a.lang, a.title, a.rel, a.codecs}) std::free(text);
      for (int32_t k = 0; k < a.nsources; k++) {
        std::free(a.sources[k].uri);
        std::free(a.sources[k].content_type);
      }
      std::free(a.sources);
    }
    std::free(h->alternates);
    for (int32_t i = 0; i < h->nchapters; i++) {
      vepod_chapter &c = h->chapters[i];
      for (char *text : {c.title, c.href, c.image}) std::free(text);
    }
    std::free(h->chapters);
    std::free(h);
  }
  *item = vepod_item{};
}

void vepod_feed_free(vepod_feed *feed) {
  if (!feed) return;
  std::free(feed->title);
  std::free(feed->image);
  for (char *text : {feed->description, feed->author, feed->link, feed->language,
                     feed->new_feed_url, feed->feed_guid}) {
    std::free(text);
  }
  for (int32_t i = 0; i < feed->nfunding; i++) {
    std::free(feed->funding[i].url);
    std::free(feed->funding[i].text);
  }
  std::free(feed->funding);
  vepod_persons_free(feed->persons, feed->npersons);
  for (int32_t i = 0; i < feed->nitems; i++) vepod_item_clear(&feed->items[i]);
  std::free(feed->items);
  *feed = vepod_feed{};
}
