// Feed discovery in web pages; the entry point is the export vepod_discover_feeds (vepod.h).
#pragma once

#include "vepod.h"
