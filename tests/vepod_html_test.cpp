// Show notes as the terminal shows them: HTML through gumbo to wrapped, sanitised text.

#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "vepod.h"
#include "view/html_text.h"

namespace {

struct html_case {
  const char *name;
  const char *html;
  size_t width;
  const char *text;
};

TEST(ShowNotes, LayOutBlocksListsAndLinks) {
  const html_case cases[] = {
      {"paragraphs and line breaks", "<p>One <b>bold</b>\n  word.</p><p>Two<br>lines</p>", 0,
       "One bold word.\n\nTwo\nlines\n"},
      {"text outside any element", "plain &amp; simple", 0, "plain & simple\n"},
      {"nested lists", "<ul><li>a<ul><li>b</li></ul></li><li>c</li></ul><p>after</p>", 0,
       "\u2022 a\n  \u2022 b\n\u2022 c\n\nafter\n"},
      {"a paragraph inside an item stays under its bullet",
       "<ul><li><p>one</p><p>two</p></li></ul>", 0, "\u2022 one\n\n  two\n"},
      {"links show their URL unless the text is the URL",
       "<a href='https://x.example/a'>site</a> <a "
       "href='https://x.example/b'>https://x.example/b</a>"
       " <a href='javascript:alert(1)'>js</a>",
       0, "site <https://x.example/a> https://x.example/b js\n"},
      {"scripts and styles say nothing, images their alt text",
       "<style>p{}</style><script>alert(1)</script><img src=x alt='Cover'><img src=y>", 0,
       "[Cover]\n"},
      {"preformatted text keeps its lines", "<pre>a  b\n  c</pre>", 0, "a  b\n  c\n"},
      {"wrapped at the width", "<p>aaa bbb ccc ddd</p>", 7, "aaa bbb\nccc ddd\n"},
      {"a word wider than the line is cut", "<p>abcdefghij</p>", 4, "abcd\nefgh\nij\n"},
      {"wide characters count two columns", "<p>\u65e5\u672c \u8a9e\u8a71</p>", 4,
       "\u65e5\u672c\n\u8a9e\u8a71\n"},
      {"bullets wrap under their text", "<ul><li>aaa bbb</li></ul>", 6, "\u2022 aaa\n  bbb\n"},
      {"nothing to show", "<p> </p><script>x</script>", 0, ""},
      {"a link holding only a line break", "Hello <a href=\"https://example.org/\"><br></a>", 0,
       "Hello\n<https://example.org/>\n"},
      {"a link whose text goes on after a line break",
       "<a href='https://x.example/'>one<br>two</a>", 0, "one\ntwo <https://x.example/>\n"},
  };
  for (const html_case &c : cases) EXPECT_EQ(html_to_text(c.html, c.width), c.text) << c.name;
}

TEST(ShowNotes, NothingReachesTheTerminalRaw) {
  // An escape sequence, a C1 control and a bidi override from a feed would act on the terminal.
  std::string text = html_to_text(
      "<p>a\x1b[2Jb\xc2\x9b"
      "c\u202ed</p><pre>e\x07"
      "f</pre>",
      0);
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
  EXPECT_EQ(text.find("\u202e"), std::string::npos) << text;
  EXPECT_NE(text.find("[2Jb"), std::string::npos) << text;
}

TEST(ShowNotes, DeepNestingAndBrokenMarkupAreRead) {
  std::string deep;
  for (int i = 0; i < 2000; i++) deep += "<div><ul><li>";
  deep += "bottom";
  EXPECT_NE(html_to_text(deep, 80).find("bottom"), std::string::npos);
  EXPECT_EQ(html_to_text("<p>open <b>never <i>closed", 0), "open never closed\n");
  EXPECT_EQ(html_to_text(std::string("a\0b\xff", 4), 0), "ab\xef\xbf\xbd\n");
}

// Every episode's notes of every feed the project carries render, at every width.
TEST(ShowNotes, EveryCarriedFeedRenders) {
  std::string folders = VEPOD_FEED_FOLDERS;
  size_t notes = 0;
  for (size_t at = 0; at <= folders.size();) {
    size_t end = std::min(folders.find(':', at), folders.size());
    for (const auto &file : std::filesystem::directory_iterator(folders.substr(at, end - at))) {
      std::ifstream in(file.path(), std::ios::binary);
      std::stringstream data;
      data << in.rdbuf();
      const std::string feed = data.str();
      char *json = nullptr;
      if (vepod_parse_feed(feed.data(), feed.size(), &json, nullptr, 0) != 0) continue;
      yyjson_doc *doc = yyjson_read(json, std::strlen(json), 0);
      std::free(json);
      ASSERT_NE(doc, nullptr);
      size_t index, max;
      yyjson_val *item;
      yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "items"), index, max, item) {
        yyjson_val *description = yyjson_obj_get(item, "description");
        if (!yyjson_is_str(description)) continue;
        notes++;
        for (size_t width : {0, 20, 80}) {
          SCOPED_TRACE(file.path().string() + " width " + std::to_string(width));
          EXPECT_NO_THROW(html_to_text(yyjson_get_str(description), width));
        }
      }
      yyjson_doc_free(doc);
    }
    at = end + 1;
  }
  EXPECT_GT(notes, 0u);
}

// Notes a hostile feed writes to exhaust the parser or the terminal: each comes back bounded,
// read as plain text where the parser would not cope.
TEST(ShowNotes, HostileNotesStayBounded) {
  auto repeat = [](const std::string &piece, size_t n) {
    std::string out;
    out.reserve(piece.size() * n);
    for (size_t i = 0; i < n; i++) out += piece;
    return out;
  };
  const struct {
    const char *name;
    std::string html;
    size_t most_output;
  } cases[] = {
      {"open formatting elements", repeat("<b>", 300000) + "x", 16},
      {"a table and open italics", "<table>" + repeat("<i>", 20000) + "x", 16},
      {"unclosed divisions", repeat("<div>", 100000) + "x", 16},
      {"nested objects", repeat("<object>", 300000) + "x", 16},
      {"deep lists of many items", repeat("<ul>", 99) + repeat("<li>x", 100000), 3000000},
      {"notes larger than the parser is given", "<p>" + repeat("a b ", 1 << 19) + "</p>", 3000000},
      {"tags without an end", repeat("<a", 500000), 16},
  };
  for (const auto &c : cases) {
    std::string text = html_to_text(c.html, 80);
    EXPECT_LE(text.size(), c.most_output) << c.name;
  }
  // Past the bounds the text is still there, without its tags.
  EXPECT_EQ(html_to_text(repeat("<div>", 1000) + "deep &amp; down", 80), "deep & down\n");
  // Notes read as plain text are handled in pieces: no character is cut in two where one ends,
  // whatever its length, and each line of the source stays a paragraph of its own.
  for (const std::string ch : {"\u00e9", "\u20ac", "\U0001F3A7"}) {
    std::string text = html_to_text("<i>" + repeat(ch, (1 << 20) / ch.size() + 7) + "</i>\nend", 0);
    EXPECT_EQ(text.find("\ufffd"), std::string::npos) << ch;
    EXPECT_EQ(text.substr(text.size() - 5), "\nend\n") << ch;
  }
  // List items indent no deeper than eight levels.
  std::string lists = html_to_text(repeat("<ul>", 20) + "<li>x", 0);
  EXPECT_EQ(lists, std::string(16, ' ') + "\u2022 x\n");
}

TEST(ShowNotes, LongWordsWrapInPieces) {
  std::string word(1 << 20, 'w');
  std::string text = html_to_text("<p>" + word + "</p>", 64);
  EXPECT_EQ(text.size(), word.size() + word.size() / 64);
  EXPECT_EQ(text.substr(0, 65), std::string(64, 'w') + "\n");
  // Given to a sink, the same text comes in pieces of about 64 KiB: never held whole twice.
  std::string joined;
  size_t largest = 0;
  html_to_text("<p>" + word + "</p>", 64, [&](std::string_view piece) {
    largest = std::max(largest, piece.size());
    joined.append(piece);
  });
  EXPECT_EQ(joined, text);
  EXPECT_LE(largest, (64 << 10) + 65);
}

}  // namespace
