// The feed model's lifetime: what a record owns and its release. A record owns every text and list
// it points to, except show notes a parse for the export borrows from the document; the texts of
// the episodes a parse for the export keeps are cut from the record's blocks.

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#include "util/vepod_alloc.h"
#include "xml/vepod_feed_parts.h"
#include "xml/vepod_xml.h"

struct vepod_model_block {
  vepod_model_block *next;
  size_t size, used;  // bytes of room after the header
};

namespace {

// A block's header keeps what is cut from it aligned.
constexpr size_t k_block_align = alignof(std::max_align_t);
constexpr size_t k_header = (sizeof(vepod_model_block) + k_block_align - 1) & ~(k_block_align - 1);
// The first block's room; each next one is twice the last, up to the largest.
constexpr size_t k_first_block = 4096 - k_header;
constexpr size_t k_largest_block = 65536 - k_header;

}  // namespace

void *vepod_blocks_alloc(vepod_model_block *&blocks, size_t n) {
  n = (n + k_block_align - 1) & ~(k_block_align - 1);
  vepod_model_block *b = blocks;
  if (!b || b->size - b->used < n) {
    size_t room = b ? std::min(b->size * 2 + k_header, k_largest_block) : k_first_block;
    room = std::max(room, n);
    auto *grown = static_cast<vepod_model_block *>(vepod_malloc(k_header + room));
    if (!grown) return nullptr;
    *grown = {blocks, room, 0};
    blocks = b = grown;
  }
  void *at = reinterpret_cast<char *>(b) + k_header + b->used;
  b->used += n;
  return at;
}

void vepod_blocks_free(vepod_model_block *blocks) {
  while (blocks) {
    vepod_model_block *next = blocks->next;
    std::free(blocks);
    blocks = next;
  }
}

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
  const bool own = !item->in_blocks;
  if (own) {
    for (char *text : {item->title, item->id, item->url, item->enclosure_type, item->image,
                       item->link, item->author, item->chapters_url, item->chapters_type}) {
      std::free(text);
    }
  }
  if (vepod_item_heavy *h = item->heavy) {
    if (own && !h->description_borrowed) std::free(h->description);
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
    if (own) std::free(h);
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
  vepod_blocks_free(feed->blocks);
  *feed = vepod_feed{};
}
