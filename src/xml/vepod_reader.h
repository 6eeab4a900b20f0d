// The strict XML reader: reads one document held in memory and reports its elements, in document
// order, to a consumer. It builds no tree and knows nothing of what the elements mean.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/vepod_failure.h"

// Open elements, the root included; bounds the frame stack and refuses nesting bombs.
inline constexpr int vepod_xml_max_depth = 32;
// Attributes kept per start tag; further ones are read and validated, then dropped.
inline constexpr int vepod_xml_max_attrs = 16;

struct vepod_xml_attr {
  std::string_view name;
  std::string_view value;  // decoded; empty for an attribute written without a value
};

// A start tag. Names are handed over as written, except that a prefix bound to one of the
// consumer's namespaces is replaced by that namespace's usual prefix.
struct vepod_xml_tag {
  std::string_view name;
  const vepod_xml_attr *attrs;
  int nattrs;
  int depth;  // 0 for the root
  bool self_closing;
};

// What a consumer wants to hear of an element after its start tag.
enum vepod_xml_want : uint8_t {
  vepod_xml_want_nothing = 0,
  vepod_xml_want_end = 1,
  vepod_xml_want_text = 3,  // its end, with its text
  // Its end, with its text; when that is one text run or CDATA section of a well-formed UTF-8
  // document read as it was handed over (not decoded from another encoding), only where it lies
  // (vepod_xml_consumer::run), not decoded or copied, and its references not checked (see
  // vepod_xml_consumer::run).
  vepod_xml_want_run = 7,
};

// A namespace the consumer knows by its usual prefix ("" for names that usually have none).
struct vepod_xml_namespace {
  std::string_view uri;
  std::string_view prefix;
};

// Where an element's text lies in the document, when it is one text run or CDATA section there,
// trimmed of blanks: `len` bytes, and no more than `decoded_len` once its references (if any) are
// decoded. data is NULL when the text is gathered from several runs, is not well-formed UTF-8, or
// was decoded from another encoding.
struct vepod_xml_run {
  const char *data;
  size_t len;
  size_t decoded_len;
  bool references;
};

// What the reader reports to. Each call returns VEPOD_OK to go on; any other code stops the read,
// with the consumer's `message` as the reason (and `memory_exhausted` set when memory ran out).
class vepod_xml_consumer {
 public:
  // A start tag. *want (nothing on entry) says what the consumer wants to hear of the element;
  // self-closing elements have no end, whatever it says.
  virtual vepod_code start(const vepod_xml_tag &tag, vepod_xml_want *want) = 0;
  // The end of an element opened at `depth` whose end was wanted. For a collecting element, text
  // holds its text runs
  // and those of the descendants that do not collect, joined as written and trimmed of blanks at
  // both ends, NUL-terminated at len; NULL when nothing remains. The buffer is the reader's.
  virtual vepod_code end(int depth, const char *text, size_t len) = 0;

  const vepod_xml_namespace *namespaces = nullptr;
  // Set by the reader before the first start tag: the document is well-formed UTF-8, so every name,
  // value and text handed over is too (references never decode to a surrogate). When clear, texts
  // may hold the overlong forms, encoded surrogates and values above U+10FFFF the reader lets
  // through.
  bool well_formed_utf8 = false;
  // Set before each end(): for an element that wanted vepod_xml_want_run, where its text lies in
  // the document when it is one run there (valid while the document is); end()'s text then points
  // at the run as written, not NUL-terminated, and its len is the run's decoded_len. data is NULL
  // otherwise, and end()'s text is as for vepod_xml_want_text. The run's references have not been
  // read: a consumer that keeps the run clears `run` in end() and checks them itself
  // (vepod_xml_references_ok) before relying on them; the reader checks those of a run that is not
  // kept once end() returns. A failed read may then have stopped after a faulty reference of a kept
  // run, so its error is not always the document's first: a consumer that keeps runs reads the
  // document again without vepod_xml_want_run to learn it.
  vepod_xml_run run{};
  size_t namespace_count = 0;
  const char *message = nullptr;
  bool memory_exhausted = false;

 protected:
  ~vepod_xml_consumer() = default;
};

// The predefined reference at p when it is written in lower case ("&lt;", "&gt;", "&amp;",
// "&quot;", "&apos;"), as escaped show notes write them by the thousand; room bytes lie from p on.
// Its length, with the character it stands for in *c, or 0 for any other reference. Compared as
// one 4-byte word: the reader and the export's writer both run it for every reference of a text.
inline size_t vepod_xml_predefined_ref(const char *p, size_t room, char *c) {
  constexpr auto word = [](const char(&s)[5]) {
    uint32_t w = 0;
    for (int i = 0; i < 4; i++) {
      int shift = std::endian::native == std::endian::little ? 8 * i : 8 * (3 - i);
      w |= uint32_t(static_cast<unsigned char>(s[i])) << shift;
    }
    return w;
  };
  if (room < 4) return 0;
  uint32_t w;
  std::memcpy(&w, p, 4);
  // "&lt;" and "&gt;" differ in their second byte only.
  constexpr uint32_t second = word("\0\xFF\0\0");
  if ((w & ~second) == (word("&lt;") & ~second) && (p[1] == 'l' || p[1] == 'g')) {
    *c = p[1] == 'l' ? '<' : '>';
    return 4;
  }
  if (w == word("&amp") && room >= 5 && p[4] == ';') {
    *c = '&';
    return 5;
  }
  if (room >= 6 && p[5] == ';') {
    if (w == word("&quo") && p[4] == 't') {
      *c = '"';
      return 6;
    }
    if (w == word("&apo") && p[4] == 's') {
      *c = '\'';
      return 6;
    }
  }
  return 0;
}

// Longest reference name read between '&' and ';'.
inline constexpr size_t vepod_xml_max_ref_name = 15;

// Whether every reference in a text of a document without HTML 4's named references (n bytes)
// reads as the reader reads it: what vepod_xml_want_run leaves to the consumer.
bool vepod_xml_references_ok(const char *text, size_t n);

// Reads a document of len bytes up to the end tag of its root element: UTF-8 (after an optional
// byte order mark), or what vepod_decode_document decodes when its bytes are not UTF-8. A document
// type declaration without an internal subset is skipped; when it names the RSS 0.91 DTD, HTML 4's
// named references decode too. VEPOD_OK, or VEPOD_ERR_NO_DATA with the first error in *failure,
// placed where reading stopped in the text read (the decoded one for other encodings; a decoder's
// refusal where the refused bytes start). Running out of memory and an empty document name no
// place.
vepod_code vepod_xml_read(const unsigned char *data, size_t len, vepod_xml_consumer &consumer,
                          vepod_failure *failure);
