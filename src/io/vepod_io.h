// The built-in transports and the choice of the transport the exported operations run on.
#pragma once

#include "vepod.h"

// The fake transport: answers from routes set through the functions below.
const tervala_io *vepod_io_fake();

// The network transport of this build: none, so NULL.
const tervala_io *vepod_io_curl();

// Installs the transport of the exported operations for every thread; NULL restores the automatic
// choice.
void vepod_io_install(const tervala_io *io);
// The transport an exported operation would run on now: the installed one, else the network
// transport of this build, else the fake.
const tervala_io *vepod_io_current();

// MARK: Fake routes (behind the vepod_fake_* exports, which document them)

void vepod_fake_clear();
vepod_code vepod_fake_answer(const char *url, int status, const char *body);
vepod_code vepod_fake_refuse(const char *url, const char *message);
int vepod_fake_count(const char *url);
