// Where a downloaded episode goes: DIR/<feed title>/<date> <episode title>.<ext>, with every
// component made safe for the file systems episodes end up on (including memory cards and
// players formatted FAT or exFAT).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// One component of a path, in bytes: NAME_MAX on Linux and the common file systems.
inline constexpr size_t k_max_name_bytes = 255;

// Room kept in every episode file name for the ".part" suffix of a download in progress.
inline constexpr std::string_view k_part_suffix = ".part";

// `text` as one file name: '/', '\\' and the characters FAT refuses (: * ? " < > |) become '_';
// the characters terminal_text replaces (C0, DEL, C1, bidi controls) and the line and paragraph
// separators become spaces, bytes that are not UTF-8 become '_'; runs of spaces fold to one;
// leading spaces and dots and trailing spaces and dots go, a leading '-' becomes '_'; at most
// `max_bytes` bytes, cut on a code point boundary; device names (CON, NUL, COM1, CONIN$, ...) get
// a '_' after them. "" when nothing is left.
std::string safe_file_name(std::string_view text, size_t max_bytes = k_max_name_bytes);

// The file extension for a media file, without the dot, lowercase: from the last segment of the
// URL's path when it is one of the audio, video, image and document extensions the program knows
// and agrees with the MIME type (an audio type and ".mp4", say; a type that names no kind of
// media, or none, agrees with any), otherwise from the MIME type (parameters and case ignored).
// "" when neither tells: never an extension a file manager would run (".exe", ".lnk", ...).
std::string media_extension(std::string_view url, std::string_view mime_type);

// dir/<feed title>/<date> <episode title>.<extension>, each part through safe_file_name. An empty
// date leaves the date and its space out, an empty extension the dot; a title with nothing safe
// in it becomes "Untitled". A copy number above 1 follows the title as " (N)", for an episode
// whose name another episode holds already. The file name leaves room for k_part_suffix within
// k_max_name_bytes.
std::filesystem::path episode_path(const std::filesystem::path &dir, std::string_view feed_title,
                                   std::string_view date, std::string_view episode_title,
                                   std::string_view extension, unsigned copy = 1);
