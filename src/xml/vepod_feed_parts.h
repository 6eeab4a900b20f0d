// What the feed mapping (vepod_feed.cpp) shares with the files it is split into: the readers of
// values written as text, the release of a person, and the blocks episodes' texts are cut from.
#pragma once

#include <cstdint>
#include <string_view>

#include "xml/vepod_xml.h"

namespace vepod_feed_values {

// An enclosure length as the C library's strtoll reads it, when it is 1 to 2^62 - 1; else -1.
int64_t enclosure_length(std::string_view text);
bool is_digit(char c);
// A whole number of at most 15 digits and nothing else; -1 otherwise.
int64_t whole_number(std::string_view text);
// A number written as digits with an optional decimal part ("315.5"); -1 otherwise. Read without
// the C library's locale, which a host may have set to a decimal comma.
double decimal_number(std::string_view text);
// A chapter start in Normal Play Time ("HH:MM:SS", "MM:SS" or "SS", each with an optional
// fraction) as milliseconds; -1 when the text is not one.
int64_t npt_ms(std::string_view text);
// 1 for yes, true or explicit; 0 for no, false or clean; -1 for anything else.
int8_t explicit_flag(std::string_view text);
int8_t episode_type(std::string_view text);
int8_t show_type(std::string_view text);

}  // namespace vepod_feed_values

// Releases what a person owns and clears it; the list of n persons and the list itself.
void vepod_person_clear(vepod_person &p);
void vepod_persons_free(vepod_person *persons, int32_t n);

// Cuts n bytes (aligned for any record the model holds) from the newest of a chain of blocks,
// adding a block when it lacks the room: NULL when memory runs out.
void *vepod_blocks_alloc(vepod_model_block *&blocks, size_t n);
// Releases a chain of blocks.
void vepod_blocks_free(vepod_model_block *blocks);
