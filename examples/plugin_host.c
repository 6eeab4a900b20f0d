/*
 * A player that loads the podcast source library as a plug-in at run time: by file name, with
 * LoadLibrary on Windows (dlopen elsewhere), resolving each function by its plain name. It serves a
 * feed file through the library's fake transport and lists it as a player's folder view does.
 *
 * usage: plugin_host LIBRARY FEED_FILE
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

/* Only the types and constants: every function is looked up in the loaded library. */
#include <vepod.h>

static const char *const feed_url = "https://feeds.example.com/harbor-lights.rss";

typedef void (*any_fn)(void);

#if defined(_WIN32)
typedef HMODULE library;
static library load(const char *path) { return LoadLibraryA(path); }
static any_fn find(library lib, const char *name) { return (any_fn)GetProcAddress(lib, name); }
static void unload(library lib) { FreeLibrary(lib); }
#else
typedef void *library;
static library load(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
/* POSIX lets a dlsym result be read as a function pointer; ISO C only through its bytes. */
static any_fn find(library lib, const char *name) {
  void *symbol = dlsym(lib, name);
  any_fn fn;
  memcpy(&fn, &symbol, sizeof fn);
  return fn;
}
static void unload(library lib) { dlclose(lib); }
#endif

/* The whole file as a NUL-terminated text from malloc, or NULL. */
static char *read_file(const char *path) {
  FILE *f = fopen(path, "rb");
  char *text = NULL;
  size_t size = 0;
  size_t room = 0;
  if (f == NULL) return NULL;
  for (;;) {
    size_t n;
    if (room - size < 4096) {
      char *grown = realloc(text, room + 65536);
      if (grown == NULL) break;
      text = grown;
      room += 65536;
    }
    n = fread(text + size, 1, room - size - 1, f);
    size += n;
    if (n == 0) {
      int ok = !ferror(f);
      fclose(f);
      if (!ok) break;
      text[size] = '\0';
      return text;
    }
  }
  fclose(f);
  free(text);
  return NULL;
}

/* Prints the "name" values of a listing's JSON, one a line, and returns how many there were. */
static int print_names(const char *json) {
  static const char key[] = "\"name\":\"";
  int count = 0;
  const char *p = json;
  while ((p = strstr(p, key)) != NULL) {
    const char *end = p += sizeof key - 1;
    while (*end != '\0' && *end != '"') end += end[0] == '\\' && end[1] != '\0' ? 2 : 1;
    printf("  %.*s\n", (int)(end - p), p);
    count++;
    p = end;
  }
  return count;
}

int main(int argc, char **argv) {
  const char *(*version)(void);
  int (*use_fake)(void);
  int (*fake_set)(const char *, int, const char *);
  int (*list)(const char *, const char *, char *, int32_t);
  const char *(*result_json)(void);
  const char *(*last_error)(void);
  const vepod_handler_table *(*get_table)(void);
  char settings[256];
  static char out[65536];
  library lib;
  char *feed;
  int code;
  int episodes;

  if (argc != 3) {
    fprintf(stderr, "usage: plugin_host LIBRARY FEED_FILE\n");
    return 2;
  }
  feed = read_file(argv[2]);
  if (feed == NULL) {
    fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  lib = load(argv[1]);
  if (lib == NULL) {
    fprintf(stderr, "cannot load %s\n", argv[1]);
    free(feed);
    return 1;
  }
  version = (const char *(*)(void))find(lib, "vepod_version");
  use_fake = (int (*)(void))find(lib, "vepod_use_fake");
  fake_set = (int (*)(const char *, int, const char *))find(lib, "vepod_fake_set");
  list = (int (*)(const char *, const char *, char *, int32_t))find(lib, "vepod_list");
  result_json = (const char *(*)(void))find(lib, "vepod_result_json");
  last_error = (const char *(*)(void))find(lib, "vepod_last_error");
  get_table = (const vepod_handler_table *(*)(void))find(lib, "verch_get");
  if (!version || !use_fake || !fake_set || !list || !result_json || !last_error || !get_table) {
    fprintf(stderr, "%s lacks a function this host calls\n", argv[1]);
    unload(lib);
    free(feed);
    return 1;
  }
  printf("loaded %s: version %s, runtime type %s\n", argv[1], version(), get_table()->runtime_type);

  use_fake();
  code = fake_set(feed_url, 200, feed);
  free(feed); /* the route keeps its own copy */
  snprintf(settings, sizeof settings, "{\"URL\":\"%s\"}", feed_url);
  if (code == VEPOD_OK) code = list(settings, "", out, sizeof out);
  if (code == VEPOD_OK) {
    printf("feeds:\n");
    print_names(out);
    code = list(settings, feed_url, out, sizeof out);
  }
  if (code == VEPOD_OK || code == VEPOD_ERR_BUFFER_TOO_SMALL) {
    printf("episodes:\n");
    episodes = print_names(result_json());
    printf("%d episodes\n", episodes);
    code = episodes > 0 ? VEPOD_OK : VEPOD_ERR_NO_DATA;
  } else {
    fprintf(stderr, "listing failed (%d): %s\n", code, last_error());
  }
  unload(lib);
  return code == VEPOD_OK ? 0 : 1;
}
