// The fake transport: an in-process tervala_io that answers from routes set by the host.

#include <cstdlib>
#include <cstring>

#include "io/vepod_io.h"
#include "util/vepod_util.h"

namespace {

struct fake_route {
  char *url;
  int32_t status;
  char *body;          // answers with this when set
  char *fail_message;  // else fails with this, or with the default text
  int32_t calls;
};

constexpr const char *k_default_failure = "fake: transport failure";
constexpr int k_first_capacity = 8;

vepod_lock g_fake_lock;
fake_route *g_routes;
int g_nroutes;
int g_caproutes;
int g_fake_total;

// With g_fake_lock held: the route of url, or NULL.
fake_route *find_route(const char *url) {
  for (int i = 0; i < g_nroutes; i++) {
    if (std::strcmp(g_routes[i].url, url) == 0) return &g_routes[i];
  }
  return nullptr;
}

// With g_fake_lock held: the route of url, emptied of its answer, or a new one; NULL when memory
// runs out (the table is then unchanged).
fake_route *upsert(const char *url) {
  if (fake_route *route = find_route(url)) {
    std::free(route->body);
    std::free(route->fail_message);
    route->body = nullptr;
    route->fail_message = nullptr;
    return route;
  }
  if (g_nroutes == g_caproutes) {
    int capacity = g_caproutes == 0 ? k_first_capacity : g_caproutes * 2;
    auto *grown =
        static_cast<fake_route *>(vepod_realloc(g_routes, sizeof(fake_route) * size_t(capacity)));
    if (!grown) return nullptr;
    g_routes = grown;
    g_caproutes = capacity;
  }
  fake_route *route = &g_routes[g_nroutes];
  *route = fake_route{};
  route->url = xstrdup_u(url);
  if (!route->url) return nullptr;
  g_nroutes++;
  return route;
}

int fake_get(void *, const char *url, char **body_out, int *status_out, char **error_out) {
  *body_out = nullptr;
  *error_out = nullptr;
  *status_out = 0;
  vepod_lock_guard hold(g_fake_lock);
  g_fake_total++;
  fake_route *route = url ? find_route(url) : nullptr;
  if (!route) {
    *error_out = xstrdup_u("fake: no route for this URL");
    return -1;
  }
  route->calls++;
  if (!route->body) {
    *error_out = xstrdup_u(route->fail_message ? route->fail_message : k_default_failure);
    return -1;
  }
  *body_out = xstrdup_u(route->body);
  if (!*body_out) {
    *error_out = xstrdup_u("fake: out of memory");
    return -1;
  }
  *status_out = route->status;
  return 0;
}

int fake_post(void *ctx, const char *url, const void *, const void *, char **body_out,
              int *status_out, char **error_out) {
  return fake_get(ctx, url, body_out, status_out, error_out);
}

void fake_free(void *, void *p) { std::free(p); }

constexpr tervala_io g_fake_io = {nullptr, fake_get, fake_post, fake_free};

}  // namespace

const tervala_io *vepod_io_fake() { return &g_fake_io; }

extern "C" {

VEPOD_API void vepod_fake_reset(void) {
  vepod_lock_guard hold(g_fake_lock);
  for (int i = 0; i < g_nroutes; i++) {
    std::free(g_routes[i].url);
    std::free(g_routes[i].body);
    std::free(g_routes[i].fail_message);
  }
  std::free(g_routes);
  g_routes = nullptr;
  g_nroutes = 0;
  g_caproutes = 0;
  g_fake_total = 0;
}

VEPOD_API int vepod_fake_set(const char *url, int status, const char *body) {
  if (!url || !body) return -8;
  vepod_lock_guard hold(g_fake_lock);
  fake_route *route = upsert(url);
  if (!route) return -5;
  route->body = xstrdup_u(body);
  if (!route->body) return -5;
  route->status = status;
  return 0;
}

VEPOD_API int vepod_fake_fail(const char *url, const char *message) {
  if (!url) return -8;
  vepod_lock_guard hold(g_fake_lock);
  fake_route *route = upsert(url);
  if (!route) return -5;
  route->fail_message = xstrdup_u(message ? message : k_default_failure);
  return route->fail_message ? 0 : -5;
}

VEPOD_API int vepod_fake_calls(const char *url) {
  vepod_lock_guard hold(g_fake_lock);
  if (!url) return g_fake_total;
  const fake_route *route = find_route(url);
  return route ? route->calls : 0;
}

}  // extern "C"
