// The transport choice: one locked setter for vepod_set_io, vepod_use_curl and vepod_use_fake, read
// at the start of every exported operation.

#include "io/vepod_io.h"
#include "util/vepod_platform.h"

namespace {

vepod_lock g_io_lock;
const tervala_io *g_io_override;

}  // namespace

void vepod_io_install(const tervala_io *io) {
  vepod_lock_guard hold(g_io_lock);
  g_io_override = io;
}

const tervala_io *vepod_io_current() {
  {
    vepod_lock_guard hold(g_io_lock);
    if (g_io_override) return g_io_override;
    if (const tervala_io *net = vepod_io_curl()) return net;
  }
  return vepod_io_fake();
}
