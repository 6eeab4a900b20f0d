// The fake transport: an in-process tervala_io that answers from routes set by the host.

#include <cstddef>

#include <cstdlib>
#include <cstring>

#include "io/vepod_io.h"
#include "util/vepod_alloc.h"
#include "util/vepod_platform.h"
#include "util/vepod_text.h"

namespace {

struct fake_route {
  char *url;
  int32_t status;
  char *body;          // answers with this when set
  char *fail_message;  // else fails with this, or with the default text
  int32_t calls;
};

constexpr const char *k_default_failure = "fake: transport failure";
// What a transport's get returns when no response arrived (any non-zero value would do).
constexpr int k_no_response = -1;
constexpr size_t k_first_capacity = 8;

vepod_lock g_fake_lock;
fake_route *g_routes;
size_t g_nroutes;
size_t g_caproutes;
int g_fake_total;

// With g_fake_lock held: the route of url, or NULL.
fake_route *find_route(const char *url) {
  for (size_t i = 0; i < g_nroutes; i++) {
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
    size_t capacity = g_caproutes == 0 ? k_first_capacity : g_caproutes * 2;
    auto *grown = static_cast<fake_route *>(vepod_realloc(g_routes, sizeof(fake_route) * capacity));
    if (!grown) return nullptr;
    g_routes = grown;
    g_caproutes = capacity;
  }
  fake_route *route = &g_routes[g_nroutes];
  *route = fake_route{};
  route->url = vepod_strdup(url);
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
    *error_out = vepod_strdup("fake: no route for this URL");
    return k_no_response;
  }
  route->calls++;
  if (!route->body) {
    *error_out = vepod_strdup(route->fail_message ? route->fail_message : k_default_failure);
    return k_no_response;
  }
  *body_out = vepod_strdup(route->body);
  if (!*body_out) {
    *error_out = vepod_strdup("fake: out of memory");
    return k_no_response;
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

void vepod_fake_clear() {
  vepod_lock_guard hold(g_fake_lock);
  for (size_t i = 0; i < g_nroutes; i++) {
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

vepod_code vepod_fake_answer(const char *url, int status, const char *body) {
  if (!url || !body) return VEPOD_ERR_BAD_INPUT;
  vepod_lock_guard hold(g_fake_lock);
  fake_route *route = upsert(url);
  if (!route) return VEPOD_ERR_NO_DATA;
  route->body = vepod_strdup(body);
  if (!route->body) return VEPOD_ERR_NO_DATA;
  route->status = status;
  return VEPOD_OK;
}

vepod_code vepod_fake_refuse(const char *url, const char *message) {
  if (!url) return VEPOD_ERR_BAD_INPUT;
  vepod_lock_guard hold(g_fake_lock);
  fake_route *route = upsert(url);
  if (!route) return VEPOD_ERR_NO_DATA;
  route->fail_message = vepod_strdup(message ? message : k_default_failure);
  return route->fail_message ? VEPOD_OK : VEPOD_ERR_NO_DATA;
}

int vepod_fake_count(const char *url) {
  vepod_lock_guard hold(g_fake_lock);
  if (!url) return g_fake_total;
  const fake_route *route = find_route(url);
  return route ? route->calls : 0;
}
