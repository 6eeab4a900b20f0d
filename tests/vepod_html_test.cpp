// Show notes as the terminal shows them: HTML through gumbo to wrapped, sanitised text.

#include <gtest/gtest.h>

#include <string>

#include "html_text.h"

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

}  // namespace
