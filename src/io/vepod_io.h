// The built-in transports.
#pragma once

#include "vepod.h"

// The fake transport: answers from routes set through the vepod_fake_* exports.
const tervala_io *vepod_io_fake();

// The network transport of this build: none, so NULL.
const tervala_io *vepod_io_curl();
