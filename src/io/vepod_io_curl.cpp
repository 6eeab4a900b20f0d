// The library carries no network code: hosts supply their own transport (the command-line host
// under tools/ brings one), so the built-in network transport is absent.

#include "io/vepod_io.h"

const tervala_io *vepod_io_curl() { return nullptr; }
