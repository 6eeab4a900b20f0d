/*
 * A minimal player-side host of the podcast source library: it supplies its own transport record
 * (here answering from memory instead of the network), then makes the calls a player makes when
 * the user adds a podcast and plays its newest episode.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vepod.h>

static const char *const feed_url = "https://feeds.example.com/garden-hour.rss";
static const char *const feed =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<rss version=\"2.0\"><channel><title>The Garden Hour</title>"
    "<item><title>Seeds</title><guid>g-1</guid><pubDate>Sat, 06 Apr 2024 09:00:00 GMT</pubDate>"
    "<enclosure url=\"https://media.example.com/g-1.mp3\" type=\"audio/mpeg\" length=\"1000\"/>"
    "</item>"
    "<item><title>Shoots</title><guid>g-2</guid><pubDate>Sat, 13 Apr 2024 09:00:00 GMT</pubDate>"
    "<enclosure url=\"https://media.example.com/g-2.mp3\" type=\"audio/mpeg\" length=\"2000\"/>"
    "</item></channel></rss>";

/* A heap copy for the library, which hands bodies and error texts back through `release`. (strdup
 * is POSIX, not C99.) */
static char *copy_text(const char *text) {
  size_t size = strlen(text) + 1;
  char *copy = malloc(size);
  if (copy != NULL) memcpy(copy, text, size);
  return copy;
}

/* A real player performs an HTTP GET here. */
static int get(void *ctx, const char *url, char **body_out, int *status_out, char **error_out) {
  (void)ctx;
  *body_out = copy_text(strcmp(url, feed_url) == 0 ? feed : "not found");
  if (*body_out == NULL) {
    *error_out = copy_text("out of memory");
    return -1;
  }
  *status_out = strcmp(url, feed_url) == 0 ? 200 : 404;
  return 0;
}

static void release(void *ctx, void *p) {
  (void)ctx;
  free(p);
}

/* Prints an operation's answer, or the library's error text. An answer larger than `out` (-9) is
 * still readable through vepod_result_json() on the same thread. */
static int show(const char *step, int code, const char *out) {
  if (code == VEPOD_ERR_BUFFER_TOO_SMALL) {
    code = VEPOD_OK;
    out = vepod_result_json();
  }
  if (code != VEPOD_OK) {
    fprintf(stderr, "%s failed (%d): %s\n", step, code, vepod_last_error());
    return 1;
  }
  printf("%s: %s\n", step, out);
  return 0;
}

int main(void) {
  /* Room for the short answers (validate, the root folder, a stream URL). An episode listing takes
   * some 600 bytes per episode and is read from vepod_result_json() when it does not fit. */
  static char out[512];
  static tervala_io io = {NULL, get, NULL, release};
  char settings[256];
  char entry[512];
  int failed = 0;

  /* The library loaded at run time must offer the interface this host was compiled against. */
  if (atoi(vepod_version()) != VEPOD_VERSION_MAJOR) {
    fprintf(stderr, "library %s, but this host needs %d.x\n", vepod_version(), VEPOD_VERSION_MAJOR);
    return 1;
  }
  printf("library %s (header %s), runtime type %s\n", vepod_version(), VEPOD_VERSION_STRING,
         vepod_runtime_type());
  vepod_set_io(&io);
  snprintf(settings, sizeof settings, "{\"URL\":\"%s\"}", feed_url);

  failed |= show("validate", vepod_validate(settings, out, sizeof out), out);
  failed |= show("root", vepod_list(settings, "", out, sizeof out), out);
  failed |= show("episodes", vepod_list(settings, feed_url, out, sizeof out), out);
  /* A listed entry carries its media URL as "locator"; this one is the newest episode's. */
  snprintf(entry, sizeof entry, "{\"locator\":\"%s\"}", "https://media.example.com/g-2.mp3");
  failed |= show("stream", vepod_stream_url(settings, entry, out, sizeof out), out);
  printf("statistics: %s\n", vepod_stats_json());

  vepod_set_io(NULL);
  return failed;
}
