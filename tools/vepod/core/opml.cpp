// OPML: the outlines of an import read (pugixml), subscribed in one transaction; the export
// written.

#include "core/opml.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

#include "core/text.h"
#include "core/url.h"

namespace {

bool equals_any_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// An attribute whatever the case of its name: OPML files are written by hand and by many tools
// ("xmlUrl", "xmlurl", "XMLURL").
std::string attribute_of(const pugi::xml_node &node, std::string_view name) {
  for (const pugi::xml_attribute &a : node.attributes())
    if (equals_any_case(a.name(), name)) return a.value();
  return {};
}

// A feed URL as OPML files write it, podcast apps' own schemes read as the web URLs they stand
// for: itpc://, pcast://, podcast:// and feed:// as http://, "feed:https://..." as what follows.
std::string web_url(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  auto starts = [&text](std::string_view prefix) {
    return text.size() >= prefix.size() && equals_any_case(text.substr(0, prefix.size()), prefix);
  };
  for (std::string_view scheme : {"itpc://", "pcast://", "podcast://", "feed://"})
    if (starts(scheme)) return "http://" + std::string(text.substr(scheme.size()));
  if (starts("feed:")) text.remove_prefix(5);
  return std::string(text);
}

// "line 3, column 14" of a byte offset into `data`, as editors count them.
std::string position_of(std::string_view data, ptrdiff_t offset) {
  size_t end = std::min(static_cast<size_t>(std::max<ptrdiff_t>(offset, 0)), data.size());
  size_t line = 1, column = 1;
  for (size_t i = 0; i < end; i++) {
    if (data[i] == '\n') {
      line++;
      column = 1;
    } else if ((static_cast<unsigned char>(data[i]) & 0xC0) != 0x80) {
      column++;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// `text` with every character XML 1.0 cannot hold (what is not UTF-8, U+FFFE, U+FFFF) replaced,
// besides what terminal_text replaces: one hostile title must not make the whole
// export a document that XML readers refuse.
std::string xml_text(std::string_view text) {
  return rewrite_characters(text, [](bool valid, char32_t c, std::string &out) {
    if (!valid || (c != 0xFFFE && c != 0xFFFF)) return terminal_replacement(valid, c, out);
    out += k_replacement;
    return true;
  });
}

}  // namespace

failure read_opml(std::string_view data, const std::string &name, std::vector<opml_feed> &feeds) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_buffer(data.data(), data.size());
  if (!parsed)
    return failure::other(name + ": " + position_of(data, parsed.offset) + ": " +
                          parsed.description());
  pugi::xml_node root = doc.document_element();
  if (!equals_any_case(root.name(), "opml")) return failure::other(name + ": not an OPML document");
  // Outlines nest in folders of any depth; every one with a feed URL counts, in file order.
  std::vector<pugi::xml_node> outlines;
  std::vector<pugi::xml_node> pending;
  for (pugi::xml_node child = root.last_child(); child; child = child.previous_sibling())
    pending.push_back(child);
  while (!pending.empty()) {
    pugi::xml_node node = pending.back();
    pending.pop_back();
    if (equals_any_case(node.name(), "outline") && !attribute_of(node, "xmlUrl").empty())
      outlines.push_back(node);
    for (pugi::xml_node child = node.last_child(); child; child = child.previous_sibling())
      pending.push_back(child);
  }
  if (outlines.size() > k_max_import)
    return failure::other(name + ": " + std::to_string(outlines.size()) + " feeds, more than the " +
                          std::to_string(k_max_import) + " one import takes");
  feeds.clear();
  for (const pugi::xml_node &outline : outlines) {
    std::string title = attribute_of(outline, "title");
    if (title.empty()) title = attribute_of(outline, "text");
    feeds.push_back(
        {cut_bytes(title, store::k_max_title), web_url(attribute_of(outline, "xmlUrl"))});
  }
  return {};
}

opml_import import_feeds(store &db, const std::vector<opml_feed> &feeds, int64_t keep_new) {
  opml_import result;
  store::transaction t(db);
  std::set<std::string> seen;
  for (const subscription &s : db.subscriptions()) seen.insert(url_key(s.url));
  size_t number = 0;
  for (const opml_feed &feed : feeds) {
    number++;
    std::string url, why;
    if (!check_url(feed.url, url, why)) {
      result.skipped.push_back({number, feed.title, "its URL " + why});
      continue;
    }
    if (!seen.insert(url_key(url)).second) {
      result.skipped.push_back(
          {number, feed.title, "already subscribed (" + redact_url(url) + ")"});
      continue;
    }
    if (int64_t id = db.subscribe(url, feed.title)) db.set_first_new(id, keep_new);
    result.added++;
  }
  t.commit();
  return result;
}

std::string write_opml(const std::vector<subscription> &all, std::time_t now) {
  pugi::xml_document doc;
  pugi::xml_node decl = doc.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  pugi::xml_node opml = doc.append_child("opml");
  opml.append_attribute("version") = "2.0";
  pugi::xml_node head = opml.append_child("head");
  head.append_child("title").text() = "vepod subscriptions";
  char created[64];
  std::tm parts{};
  gmtime_r(&now, &parts);
  std::strftime(created, sizeof created, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  head.append_child("dateCreated").text() = created;
  pugi::xml_node body = opml.append_child("body");
  for (const subscription &s : all) {
    pugi::xml_node outline = body.append_child("outline");
    // Nothing XML 1.0 forbids, and nothing a terminal acts on when the document goes to standard
    // output.
    const std::string title = xml_text(s.title.empty() ? s.url : s.title);
    outline.append_attribute("type") = "rss";
    outline.append_attribute("text") = title.c_str();
    outline.append_attribute("title") = title.c_str();
    outline.append_attribute("xmlUrl") = xml_text(s.url).c_str();
  }
  std::ostringstream text;
  doc.save(text, "  ");
  return text.str();
}
