// Downloading media files with libcurl, several at once: each into "<dest>.part", renamed to dest
// only when the transfer is whole; an existing .part is resumed; Ctrl-C leaves it resumable.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One running transfer as a progress display sees it.
struct transfer_progress {
  std::string label;  // as given: the episode's title, or the file's name
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  bool shown = false;  // the body is arriving: the transfer has a line
  uint64_t done = 0;   // the whole file so far
  uint64_t fresh = 0;  // what this transfer brought
  int64_t total = -1;  // the announced whole size; -1 when none was announced
};

// Where downloads report their progress; the view draws it. One thread only.
class progress_display {
 public:
  virtual ~progress_display() = default;
  // The running transfers, in the order they started, as they move on.
  virtual void update(const std::vector<const transfer_progress *> &running) = 0;
  // A transfer whose file arrived whole, `size` bytes in all.
  virtual void complete(const transfer_progress &p, uint64_t size, bool resumed) = 0;
  // Takes the running transfers' lines away, so that others' messages start on a clean line.
  virtual void erase() = 0;
};

// The default for download_options::max_size: 2 GiB, above any audio episode and most video.
inline constexpr uint64_t k_default_max_download = uint64_t{2} << 30;

struct download_options {
  uint64_t max_size = k_default_max_download;  // refused beyond this, announced or received
  std::string user_agent;                      // "": "vepod/<version of this program>"
  long connect_timeout_ms = 10000;
  // A transfer slower than 1 kB/s for this long is given up (the .part stays); there is no
  // limit on the whole transfer, which may rightly take hours.
  long stall_timeout_s = 60;
  // Where the transfer's progress goes (the view draws it: view/progress.h); nullptr: silent.
  progress_display *progress = nullptr;
  std::string label;  // named on the progress line; the file name of dest when empty
  // The validator (ETag or Last-Modified) the existing .part's bytes came with, as
  // download_result::validator gave it: the .part is resumed only with one, sent as If-Range, and
  // is started afresh without.
  std::string validator;
};

enum class download_status {
  complete,       // dest holds the whole file, the .part is gone
  interrupted,    // SIGINT; the .part holds what arrived (the program exits 130)
  http_error,     // the server answered neither 2xx nor a usable 416; a .part is left as it was
  network_error,  // libcurl failed (connection, time-out, redirects); the .part is resumable
  incomplete,     // the transfer ended short of the announced size; the .part is resumable
  too_large,      // announced or received beyond max_size; no .part is left
  file_error,     // the .part or dest could not be created, written or renamed
};

struct download_result {
  download_status status = download_status::file_error;
  long http_status = 0;      // of the final response, 0 when none arrived
  uint64_t size = 0;         // bytes in dest when complete, else in the .part (0: none)
  int64_t expected = -1;     // the announced whole size, -1 when none was announced
  bool resumed = false;      // the server continued an existing .part (206)
  std::string content_type;  // of the final response, "" when it had none
  std::string validator;     // of the response the .part's bytes came with ("" when it had none):
                             // keep it with the .part for a later resume
  std::string message;       // one line for the user when not complete: "HTTP 404", curl's
                             // error text, "larger than the 2.0 GiB limit", ...
};

// Downloads `url` (http or https; up to 20 redirects followed) to `dest`, creating dest's folder.
// The folders above dest's folder may be links; links in place of dest's folder, the .part or
// dest are never followed: the folder is a file_error, a .part that is not resumed is replaced
// (one that is must be a regular file with no other name), and dest is never replaced by the
// rename (a file or link with its name makes it a file_error).
// Complete means: the final response was 2xx (or 416 for a .part that already holds the whole
// file), and the bytes received equal the announced size (Content-Length, or the total of
// Content-Range), or, with none announced, the transfer finished without error. A .part is
// resumed with "Range: bytes=N-" and If-Range (download_options::validator); a 200 answer to it
// starts over from the first byte. SIGINT
// during the call stops the transfer (see interrupt_scope); after one, within the same scope,
// the call returns interrupted at once. curl_global_init must have run. Throws only
// std::bad_alloc.
download_result download_file(const std::string &url, const std::filesystem::path &dest,
                              const download_options &options);

// Downloads at once, over one multi handle (connections to a host are reused from one file to
// the next). One thread only; curl_global_init must have run.
class download_pool {
 public:
  // Transfers at once to one host, as browsers do: episodes of many feeds share one host.
  static constexpr int k_max_per_host = 6;

  // At most `jobs` transfers at once, their progress handed to `progress` (nullptr: silent). The
  // options' own `progress` is not used.
  download_pool(int jobs, progress_display *progress);
  ~download_pool();
  download_pool(const download_pool &) = delete;
  download_pool &operator=(const download_pool &) = delete;

  // Whether a transfer from `url` may start now: fewer than `jobs` run, and fewer than
  // k_max_per_host from its host.
  bool has_room(const std::string &url) const;
  // Starts downloading `url` to `dest` as download_file does; `id` comes back with its result. One
  // that cannot start ends at once, and the next wait returns it.
  void start(size_t id, const std::string &url, const std::filesystem::path &dest,
             const download_options &options);
  // Transfers started and not yet returned by wait.
  size_t running() const;
  // Runs the transfers until at least one has ended and returns the ended ones, with the
  // progress lines taken away so that the caller's lines start clean. Empty when none runs.
  // After a SIGINT (within an interrupt_scope) every running transfer ends interrupted.
  std::vector<std::pair<size_t, download_result>> wait();

 private:
  struct engine;
  int jobs_;
  std::unique_ptr<engine> engine_;
};

// While one lives, SIGINT sets a flag instead of ending the process: download_file returns
// interrupted and interrupt_requested() turns true. download_file holds one itself; a caller
// that downloads several files holds one around all of them, so a Ctrl-C between two files is
// seen too. Scopes nest; the outermost restores the previous handler. One thread only.
class interrupt_scope {
 public:
  interrupt_scope();
  ~interrupt_scope();
  interrupt_scope(const interrupt_scope &) = delete;
  interrupt_scope &operator=(const interrupt_scope &) = delete;
};

// Whether SIGINT arrived since the outermost interrupt_scope began.
bool interrupt_requested();
