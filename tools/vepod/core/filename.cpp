#include "core/filename.h"

#include <algorithm>
#include <array>

#include "core/text.h"
#include "core/url.h"

namespace {

// Names Windows reserves for devices, with or without an extension; a card written on Linux is
// often read there.
constexpr std::string_view k_device_names[] = {
    "CON",
    "PRN",
    "AUX",
    "NUL",
    "CONIN$",
    "CONOUT$",
    "CLOCK$",
    "COM0",
    "COM1",
    "COM2",
    "COM3",
    "COM4",
    "COM5",
    "COM6",
    "COM7",
    "COM8",
    "COM9",
    "LPT0",
    "LPT1",
    "LPT2",
    "LPT3",
    "LPT4",
    "LPT5",
    "LPT6",
    "LPT7",
    "LPT8",
    "LPT9",
    // Windows reads the superscript digits as ports too.
    "COM\u00B9",
    "COM\u00B2",
    "COM\u00B3",
    "LPT\u00B9",
    "LPT\u00B2",
    "LPT\u00B3",
};

// What a file of each extension holds, as bits: a URL's extension is taken only when the media
// it names agrees with the enclosure's MIME type. Only media and documents are named: a feed must
// not make a listener's folder hold an ".exe" or ".lnk" that a double click would run.
enum media_kind : unsigned { k_audio = 1, k_video = 2, k_image = 4, k_document = 8 };

struct media_extension_kind {
  std::string_view extension;
  unsigned kinds;
};
constexpr media_extension_kind k_media_extensions[] = {
    {"mp3", k_audio},           {"m4a", k_audio},           {"m4b", k_audio},
    {"aac", k_audio},           {"oga", k_audio},           {"opus", k_audio},
    {"flac", k_audio},          {"wav", k_audio},           {"mp2", k_audio},
    {"aif", k_audio},           {"aiff", k_audio},          {"wma", k_audio},
    {"amr", k_audio},           {"spx", k_audio},           {"mka", k_audio},
    {"ogg", k_audio | k_video}, {"mp4", k_audio | k_video}, {"webm", k_audio | k_video},
    {"3gp", k_audio | k_video}, {"m4v", k_video},           {"mov", k_video},
    {"mkv", k_video},           {"ogv", k_video},           {"mpg", k_video},
    {"mpeg", k_video},          {"avi", k_video},           {"wmv", k_video},
    {"jpg", k_image},           {"jpeg", k_image},          {"png", k_image},
    {"gif", k_image},           {"webp", k_image},          {"pdf", k_document},
    {"epub", k_document},
};

struct mime_extension {
  std::string_view type, extension;
};
constexpr mime_extension k_mime_extensions[] = {
    {"audio/mpeg", "mp3"},       {"audio/mp3", "mp3"},
    {"audio/mpeg3", "mp3"},      {"audio/x-mpeg", "mp3"},
    {"audio/x-mp3", "mp3"},      {"audio/mp4", "m4a"},
    {"audio/x-m4a", "m4a"},      {"audio/m4a", "m4a"},
    {"audio/x-m4b", "m4b"},      {"audio/aac", "aac"},
    {"audio/x-aac", "aac"},      {"audio/aacp", "aac"},
    {"audio/ogg", "ogg"},        {"audio/vorbis", "ogg"},
    {"audio/x-ogg", "ogg"},      {"audio/opus", "opus"},
    {"audio/flac", "flac"},      {"audio/x-flac", "flac"},
    {"audio/wav", "wav"},        {"audio/x-wav", "wav"},
    {"audio/wave", "wav"},       {"audio/webm", "webm"},
    {"video/mp4", "mp4"},        {"video/x-m4v", "m4v"},
    {"video/quicktime", "mov"},  {"video/webm", "webm"},
    {"video/x-matroska", "mkv"}, {"video/ogg", "ogv"},
    {"application/pdf", "pdf"},  {"application/ogg", "ogg"},
    {"video/mpeg", "mpg"},       {"application/epub+zip", "epub"},
};

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

// Characters that become a space in a name: line breaks would split a listing, and the others
// are what terminal_text would not show as they are.
bool is_control(char32_t c) { return is_terminal_control(c) || c == 0x2028 || c == 0x2029; }

bool is_refused(char32_t c) {
  return c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
         c == '>' || c == '|';
}

void trim_end(std::string &name) {
  while (!name.empty() && (name.back() == ' ' || name.back() == '.')) name.pop_back();
}

// A '_' after a device name, so "con.mp3" becomes "con_.mp3".
void avoid_device_name(std::string &name, size_t max_bytes) {
  size_t stem = name.find('.');
  if (stem == std::string::npos) stem = name.size();
  // Windows ignores spaces before the extension too: "nul .mp3" is the device.
  while (stem > 0 && name[stem - 1] == ' ') stem--;
  for (std::string_view device : k_device_names) {
    if (!equal_ignoring_case(std::string_view(name).substr(0, stem), device)) continue;
    if (name.size() + 1 > max_bytes) {
      // Drop the last code point to make room.
      while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80)
        name.pop_back();
      if (!name.empty()) name.pop_back();
    }
    name.insert(std::min(stem, name.size()), 1, '_');
    trim_end(name);
    return;
  }
}

}  // namespace

std::string safe_file_name(std::string_view text, size_t max_bytes) {
  std::string name;
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    size_t length = decode_utf8(text, i, c);
    std::string_view piece = length ? text.substr(i, length) : std::string_view("_");
    i += length ? length : 1;
    if (length && (is_control(c) || c == ' ')) {
      if (name.empty() || name.back() == ' ') continue;
      piece = " ";
    } else if (length && is_refused(c)) {
      piece = "_";
    } else if (length && c == '.' && name.empty()) {
      continue;  // a leading dot would hide the file
    } else if (length && c == '-' && name.empty()) {
      piece = "_";  // a leading dash reads as an option to the commands a listener runs on it
    }
    if (name.size() + piece.size() > max_bytes) break;
    name += piece;
  }
  trim_end(name);
  avoid_device_name(name, max_bytes);
  return name;
}

namespace {

// The kinds a known extension holds; 0 for any other.
unsigned extension_kinds(std::string_view extension) {
  for (const media_extension_kind &known : k_media_extensions)
    if (equal_ignoring_case(extension, known.extension)) return known.kinds;
  return 0;
}

// The kinds a MIME type says the file holds: its top-level type, or what the extension it names
// holds; 0 when it says nothing (none, or a generic type such as application/octet-stream).
unsigned mime_kinds(std::string_view type) {
  if (type.size() > 6 && equal_ignoring_case(type.substr(0, 6), "audio/")) return k_audio;
  if (type.size() > 6 && equal_ignoring_case(type.substr(0, 6), "video/")) return k_video;
  if (type.size() > 6 && equal_ignoring_case(type.substr(0, 6), "image/")) return k_image;
  for (const mime_extension &known : k_mime_extensions)
    if (equal_ignoring_case(type, known.type)) return extension_kinds(known.extension);
  return 0;
}

}  // namespace

std::string media_extension(std::string_view url, std::string_view mime_type) {
  std::string_view type = mime_type.substr(0, mime_type.find(';'));
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  const unsigned said = mime_kinds(type);
  const std::string path_text = url_path(url);
  std::string_view path = path_text;
  std::string_view segment = path.substr(path.rfind('/') + 1);
  size_t dot = segment.rfind('.');
  if (dot != std::string_view::npos) {
    std::string_view extension = segment.substr(dot + 1);
    unsigned holds = extension_kinds(extension);
    if (holds != 0 && (said == 0 || (holds & said) != 0)) {
      std::string lower(extension);
      for (char &c : lower) c = ascii_lower(c);
      return lower;
    }
  }
  for (const mime_extension &known : k_mime_extensions)
    if (equal_ignoring_case(type, known.type)) return std::string(known.extension);
  return {};
}

std::filesystem::path episode_path(const std::filesystem::path &dir, std::string_view feed_title,
                                   std::string_view date, std::string_view episode_title,
                                   std::string_view extension, unsigned copy) {
  std::string feed = safe_file_name(feed_title);
  // Bounded, so the title always keeps most of the name.
  std::string day = safe_file_name(date, 32);
  std::string ext = safe_file_name(extension, 16);
  std::string number = copy > 1 ? " (" + std::to_string(copy) + ")" : std::string();
  size_t used = k_part_suffix.size() + (ext.empty() ? 0 : ext.size() + 1) +
                (day.empty() ? 0 : day.size() + 1) + number.size();
  std::string title = safe_file_name(episode_title, k_max_name_bytes - used);
  std::string name = day.empty() ? std::string() : day + " ";
  name += title.empty() ? "Untitled" : title;
  name += number;
  if (!ext.empty()) name += "." + ext;
  return dir / (feed.empty() ? "Untitled" : feed) / name;
}
