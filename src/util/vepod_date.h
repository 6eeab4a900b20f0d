// Dates and durations as feeds write them (vepod_date.cpp).
#pragma once

#include <cstdint>

// Milliseconds since the epoch for an e-mail date ("Mon, 02 Jan 2006 15:04:05 -0700", also without
// weekday or seconds, with a full month name or a two- or three-digit year) or an ISO date
// ("2006-01-02T15:04:05+01:00", or reduced to "2006-01-02", "2006-01" or "2006": midnight UTC of
// the first day), years 1970 to 2100; -1 when the text cannot be read.
int64_t vepod_parse_date(const char *text);
// An episode duration in whole seconds, as vepod_parse_duration (vepod.h) documents it.
int64_t vepod_duration_seconds(const char *text);
