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

/* A real player performs an HTTP GET here. Bodies and error texts are handed to the library and
 * come back through `release`. */
static int get(void *ctx, const char *url, char **body_out, int *status_out, char **error_out) {
  (void)ctx;
  if (strcmp(url, feed_url) != 0) {
    *status_out = 404;
    *body_out = strdup("not found");
    return 0;
  }
  *body_out = strdup(feed);
  if (*body_out == NULL) {
    *error_out = strdup("out of memory");
    return -1;
  }
  *status_out = 200;
  return 0;
}

static void release(void *ctx, void *p) {
  (void)ctx;
  free(p);
}

/* Prints an operation's answer, or the library's error text. */
static int show(const char *step, int code, const char *out) {
  if (code != 0) {
    fprintf(stderr, "%s failed (%d): %s\n", step, code, vepod_last_error());
    return 1;
  }
  printf("%s: %s\n", step, out);
  return 0;
}

int main(void) {
  static char out[16384];
  static tervala_io io = {NULL, get, NULL, release};
  char settings[256];
  char entry[512];
  int failed = 0;

  printf("library %s, runtime type %s\n", vepod_version(), vepod_runtime_type());
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
