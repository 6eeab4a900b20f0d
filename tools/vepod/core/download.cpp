// Episodes' downloads, several at once over one multi handle: each a .part file resumed with Range
// requests, renamed once complete and of the announced size, its progress handed to a display (the
// view draws it) and a clean stop on Ctrl-C.
//
// Longer than most files here: the transfers, their resume rules and the interrupt handling share
// one transfer record, and apart they would need it in a header.

#include "core/download.h"

#include "core/curl_options.h"
#include "core/text.h"
#include "core/url.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
int g_scope_depth = 0;
struct sigaction g_previous_action;

void note_interrupt(int) { g_interrupted = 1; }

// The transfers are looked at this often while none ends: often enough for a live progress line.
constexpr auto k_poll_interval = std::chrono::milliseconds(200);
// Slower than this for download_options::stall_timeout_s is a stall: a server that trickles a few
// bytes now and then must not hold a download for ever.
constexpr long k_stall_bytes_per_second = 1000;
// Redirects followed: chains of tracking prefixes in front of a media host run long; a loop
// still ends.
constexpr long k_max_redirects = 20;

struct fd_closer {
  int fd = -1;
  ~fd_closer() { reset(); }
  void reset(int next = -1) {
    if (fd >= 0) close(fd);
    fd = next;
  }
};

struct multi_deleter {
  void operator()(CURLM *multi) const { curl_multi_cleanup(multi); }
};
struct curl_deleter {
  void operator()(CURL *curl) const { curl_easy_cleanup(curl); }
};
struct slist_deleter {
  void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};

// A header of the final response (after redirects), or "" when it has none.
std::string final_header(CURL *curl, const char *name) {
  curl_header *header = nullptr;
  if (curl_easy_header(curl, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) return {};
  return header->value;
}

bool parse_number(std::string_view text, uint64_t &value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

// "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL" (a 416's form); TOTAL may be '*' (unknown: -1).
struct content_range {
  bool valid = false;
  bool whole_unsatisfied = false;  // "*/TOTAL"
  uint64_t first = 0;
  int64_t total = -1;
};

content_range parse_content_range(std::string_view text) {
  content_range range;
  if (!text.starts_with("bytes ")) return range;
  text.remove_prefix(6);
  size_t slash = text.find('/');
  if (slash == std::string_view::npos) return range;
  std::string_view span = text.substr(0, slash), total = text.substr(slash + 1);
  uint64_t number = 0;
  if (total != "*") {
    if (!parse_number(total, number) || number > INT64_MAX) return range;
    range.total = static_cast<int64_t>(number);
  }
  if (span == "*") {
    range.whole_unsatisfied = true;
    range.valid = range.total >= 0;
    return range;
  }
  size_t dash = span.find('-');
  uint64_t last = 0;
  if (dash == std::string_view::npos || !parse_number(span.substr(0, dash), range.first) ||
      !parse_number(span.substr(dash + 1), last) || last < range.first)
    return range;
  range.valid = true;
  return range;
}

enum class stop_reason { none, too_large, write_failed, wrong_range };

// Where a download writes: the episode's folder, opened without following a link, and the
// .part and final names inside it. Every file operation goes through the folder's descriptor, so
// a link planted in place of the folder, the .part or the destination is never followed.
struct place {
  fd_closer folder;
  std::filesystem::path dest, part;  // for messages
  std::string dest_name, part_name;
};

// The size of the .part; 0 when there is none or it is not a regular file.
uint64_t part_size(const place &where) {
  struct stat st {};
  if (fstatat(where.folder.fd, where.part_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(st.st_mode))
    return 0;
  return static_cast<uint64_t>(st.st_size);
}

void remove_part(const place &where) { unlinkat(where.folder.fd, where.part_name.c_str(), 0); }

// The .part to continue at `base`, or a new one for base 0. A new one replaces whatever had the
// name; one to continue must be a regular file of its own (no link, no second name elsewhere).
int open_part(const place &where, uint64_t base) {
  if (base == 0) {
    remove_part(where);
    return openat(where.folder.fd, where.part_name.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  }
  int fd = openat(where.folder.fd, where.part_name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st {};
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1)) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

// The validator a later request may send as If-Range: a strong ETag, else Last-Modified.
std::string validator_of(CURL *curl) {
  std::string etag = final_header(curl, "ETag");
  if (!etag.empty() && !etag.starts_with("W/")) return etag;
  return final_header(curl, "Last-Modified");
}

struct transfer {
  CURL *curl = nullptr;
  const place *where = nullptr;
  uint64_t offset = 0;  // the Range start asked for; 0 asks for the whole file
  uint64_t max_size = 0;
  transfer_progress *progress = nullptr;

  fd_closer file;
  bool judged = false;   // the final response's body has been looked at
  bool storing = false;  // ... and goes to the .part
  uint64_t base = 0;     // where that body starts in the file
  uint64_t written = 0;
  int64_t total = -1;
  bool resumed = false;
  std::string validator;  // of the response the body came with
  stop_reason stopped = stop_reason::none;
  int error_number = 0;

  uint64_t size() const { return base + written; }
};

bool write_all(int fd, const char *data, size_t n) {
  while (n > 0) {
    ssize_t done = write(fd, data, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

// Decides where the final response's body goes, once: a 206 continues the .part at the offset
// asked for, any other 2xx replaces it, anything else stays out of it.
bool begin_body(transfer &t) {
  t.judged = true;
  long status = 0;
  curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) return true;
  if (status == 206) {
    content_range range = parse_content_range(final_header(t.curl, "Content-Range"));
    if (!range.valid || range.whole_unsatisfied || range.first != t.offset) {
      t.stopped = stop_reason::wrong_range;
      return false;
    }
    t.base = t.offset;
    t.total = range.total;
  } else {
    curl_off_t length = -1;
    curl_easy_getinfo(t.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    t.base = 0;
    t.total = length;
  }
  if (t.total >= 0 && static_cast<uint64_t>(t.total) > t.max_size) {
    t.stopped = stop_reason::too_large;
    return false;
  }
  t.resumed = t.base > 0;
  t.validator = validator_of(t.curl);
  t.file.reset(open_part(*t.where, t.base));
  if (t.file.fd < 0 || ftruncate(t.file.fd, static_cast<off_t>(t.base)) != 0 ||
      lseek(t.file.fd, static_cast<off_t>(t.base), SEEK_SET) < 0) {
    t.error_number = errno;
    t.stopped = stop_reason::write_failed;
    return false;
  }
  t.storing = true;
  return true;
}

size_t on_write(char *data, size_t size, size_t count, void *user) {
  auto &t = *static_cast<transfer *>(user);
  size_t n = size * count;
  if (g_interrupted) return 0;
  // Called from C: nothing may propagate out of here.
  try {
    if (!t.judged && !begin_body(t)) return 0;
  } catch (const std::bad_alloc &) {
    t.error_number = ENOMEM;
    t.stopped = stop_reason::write_failed;
    return 0;
  }
  if (!t.storing) return n;
  if (n > t.max_size - t.size()) {
    t.stopped = stop_reason::too_large;
    return 0;
  }
  if (!write_all(t.file.fd, data, n)) {
    t.error_number = errno;
    t.stopped = stop_reason::write_failed;
    return 0;
  }
  t.written += n;
  return n;
}

int on_progress(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto &t = *static_cast<transfer *>(user);
  if (g_interrupted) return 1;
  if (t.storing) {
    t.progress->shown = true;
    t.progress->done = t.size();
    t.progress->fresh = t.written;
    t.progress->total = t.total;
  }
  return 0;
}

download_result failure(download_status status, std::string message) {
  download_result result;
  result.status = status;
  result.message = std::move(message);
  return result;
}

// One file's download: where it goes, and the request under way (the .part from `offset` on, 0
// for the whole file).
struct job {
  size_t id = 0;
  std::string url, host;
  download_options options;
  place where;
  transfer_progress progress;
  std::unique_ptr<CURL, curl_deleter> handle;
  std::unique_ptr<curl_slist, slist_deleter> headers;
  std::string range;
  char errbuf[CURL_ERROR_SIZE] = "";
  std::unique_ptr<transfer> t;
  bool retried = false;  // the whole file was asked for after the .part could not continue
};

// Opens the episode's folder for `dest` (see download_file); a failure when it cannot be used.
std::optional<download_result> open_place(const std::filesystem::path &dest, place &where) {
  where.dest = dest;
  where.part = dest;
  where.part += ".part";
  where.dest_name = dest.filename().string();
  where.part_name = where.part.filename().string();
  const std::filesystem::path folder = dest.has_parent_path() ? dest.parent_path() : ".";
  // The folders above the episode's are the listener's and may well be links; the episode's own
  // folder is made here and is never followed.
  std::error_code error;
  if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path(), error);
  if (!error && mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST)
    error.assign(errno, std::generic_category());
  if (error)
    return failure(download_status::file_error,
                   "cannot create " + folder.string() + ": " + error.message());
  where.folder.reset(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (where.folder.fd < 0)
    return failure(download_status::file_error,
                   "cannot use " + folder.string() + ": " +
                       (errno == ELOOP || errno == ENOTDIR ? "not a folder (a link is not followed)"
                                                           : std::strerror(errno)));
  return std::nullopt;
}

// Sets up the request for the .part from `offset` on; false when no handle or option could be
// made.
bool prepare(job &j, uint64_t offset) {
  j.handle.reset(curl_easy_init());
  j.headers.reset();
  j.errbuf[0] = '\0';
  if (!j.handle) return false;
  CURL *c = j.handle.get();
  j.t = std::make_unique<transfer>();
  j.t->curl = c;
  j.t->where = &j.where;
  j.t->offset = offset;
  j.t->max_size = j.options.max_size;
  j.t->progress = &j.progress;
  j.range = std::to_string(offset) + "-";
  curl_options option(c);
  option.set(CURLOPT_PRIVATE, &j);
  option.request(j.url.c_str(), j.errbuf).follow(k_max_redirects);
  option.set(CURLOPT_CONNECTTIMEOUT_MS, j.options.connect_timeout_ms);
  option.set(CURLOPT_LOW_SPEED_LIMIT, k_stall_bytes_per_second);
  option.set(CURLOPT_LOW_SPEED_TIME, j.options.stall_timeout_s);
  option.set(CURLOPT_USERAGENT, j.options.user_agent.empty() ? "vepod/" VEPOD_TOOL_VERSION
                                                             : j.options.user_agent.c_str());
  // The bytes of a .part continue only the very file they came from: the server sends the rest
  // when the validator still holds, else the whole file (200), which starts the .part afresh.
  if (offset > 0) {
    option.set(CURLOPT_RANGE, j.range.c_str());
    j.headers.reset(curl_slist_append(nullptr, ("If-Range: " + j.options.validator).c_str()));
    if (!j.headers) return false;
    option.set(CURLOPT_HTTPHEADER, j.headers.get());
  }
  option.set(CURLOPT_WRITEFUNCTION, &on_write);
  option.set(CURLOPT_WRITEDATA, j.t.get());
  option.set(CURLOPT_NOPROGRESS, 0L);
  option.set(CURLOPT_XFERINFOFUNCTION, &on_progress);
  option.set(CURLOPT_XFERINFODATA, j.t.get());
  return option.ok();
}

// What the ended request `j` came to, its result code `rc`. `retry_full` is set when the server
// cannot continue this .part and a request for the whole file should follow.
download_result conclude(job &j, CURLcode rc, bool &retry_full) {
  transfer &t = *j.t;
  const place &where = j.where;
  const std::filesystem::path &part = where.part;
  CURL *c = j.handle.get();
  retry_full = false;
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  // A 2xx without a body never reached the write callback.
  if (rc == CURLE_OK && !t.judged && status >= 200 && status <= 299) begin_body(t);

  download_result result;
  result.http_status = status;
  result.expected = t.total;
  result.resumed = t.resumed;
  const char *type = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type)
    result.content_type = type;
  auto finish = [&](download_status outcome, std::string message) {
    result.status = outcome;
    result.validator = t.validator;
    result.message = std::move(message);
    return result;
  };

  if (g_interrupted) {
    t.file.reset();
    result.size = part_size(where);
    return finish(download_status::interrupted, "interrupted");
  }
  switch (t.stopped) {
    case stop_reason::too_large:
      t.file.reset();
      remove_part(where);
      return finish(download_status::too_large,
                    "larger than the " + size_text(static_cast<int64_t>(j.options.max_size)) +
                        " limit" +
                        (t.total >= 0 ? " (" + size_text(t.total) + ")" : std::string()));
    case stop_reason::write_failed:
      t.file.reset();
      result.size = part_size(where);
      return finish(download_status::file_error,
                    "cannot write " + part.string() + ": " + std::strerror(t.error_number));
    case stop_reason::wrong_range:
      retry_full = true;
      return finish(download_status::network_error, "the server answered another range");
    case stop_reason::none:
      break;
  }
  if (rc != CURLE_OK) {
    t.file.reset();
    result.size = part_size(where);
    return finish(download_status::network_error, j.errbuf[0] ? j.errbuf : curl_easy_strerror(rc));
  }
  if (status == 416 && t.offset > 0) {
    // Nothing left to send: the .part may already be the whole file.
    content_range range = parse_content_range(final_header(c, "Content-Range"));
    if (!range.valid || !range.whole_unsatisfied ||
        static_cast<uint64_t>(range.total) != t.offset) {
      retry_full = true;
      return finish(download_status::http_error, "HTTP 416");
    }
    result.expected = range.total;
    t.file.reset(open_part(where, t.offset));
    t.base = t.offset;
    t.validator = j.options.validator;
  } else if (status < 200 || status > 299) {
    result.size = part_size(where);
    return finish(download_status::http_error, "HTTP " + std::to_string(status));
  }

  result.size = t.size();
  if (t.total >= 0 && t.size() != static_cast<uint64_t>(t.total)) {
    t.file.reset();
    // More than announced cannot become right by resuming.
    if (t.size() > static_cast<uint64_t>(t.total)) {
      remove_part(where);
      result.size = 0;
    }
    return finish(download_status::incomplete, "the server sent " + std::to_string(t.size()) +
                                                   " of " + std::to_string(t.total) + " bytes");
  }
  if (t.file.fd < 0 || fdatasync(t.file.fd) != 0) {
    int error_number = errno;
    return finish(download_status::file_error,
                  "cannot write " + part.string() + ": " + std::strerror(error_number));
  }
  t.file.reset();
  // Never over a file that appeared meanwhile: the caller chose a name nothing had.
  int renamed = renameat2(where.folder.fd, where.part_name.c_str(), where.folder.fd,
                          where.dest_name.c_str(), RENAME_NOREPLACE);
  if (renamed != 0 && errno == EINVAL) {
    // A file system without the flag: the name is claimed first, so that the rename can only
    // replace the empty file made for it here.
    int claim = openat(where.folder.fd, where.dest_name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    renamed = claim < 0 ? -1 : 0;
    if (claim >= 0) {
      close(claim);
      renamed = renameat(where.folder.fd, where.part_name.c_str(), where.folder.fd,
                         where.dest_name.c_str());
      if (renamed != 0) {
        int error_number = errno;
        unlinkat(where.folder.fd, where.dest_name.c_str(), 0);
        errno = error_number;
      }
    }
  }
  if (renamed != 0) {
    int error_number = errno;
    return finish(download_status::file_error, "cannot rename " + part.string() + " to " +
                                                   where.dest.string() + ": " +
                                                   std::strerror(error_number));
  }
  return finish(download_status::complete, "");
}

}  // namespace

interrupt_scope::interrupt_scope() {
  if (g_scope_depth++ > 0) return;
  g_interrupted = 0;
  struct sigaction action {};
  action.sa_handler = &note_interrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked wait returns and sees the flag
  sigaction(SIGINT, &action, &g_previous_action);
  // A program started with SIGINT ignored (nohup, a background job) keeps ignoring it.
  if (g_previous_action.sa_handler == SIG_IGN) sigaction(SIGINT, &g_previous_action, nullptr);
}

interrupt_scope::~interrupt_scope() {
  if (--g_scope_depth == 0) sigaction(SIGINT, &g_previous_action, nullptr);
}

bool interrupt_requested() { return g_interrupted != 0; }

struct download_pool::engine {
  std::unique_ptr<CURLM, multi_deleter> multi{curl_multi_init()};
  progress_display *board;  // nullptr: silent
  std::vector<std::unique_ptr<job>> running;
  std::map<std::string, int> per_host;
  std::vector<std::pair<size_t, download_result>> ended;  // that wait has not returned yet

  explicit engine(progress_display *progress) : board(progress) {}
};

download_pool::download_pool(int jobs, progress_display *progress)
    : jobs_(std::max(jobs, 1)), engine_(std::make_unique<engine>(progress)) {}

download_pool::~download_pool() {
  for (std::unique_ptr<job> &j : engine_->running)
    curl_multi_remove_handle(engine_->multi.get(), j->handle.get());
}

size_t download_pool::running() const { return engine_->running.size() + engine_->ended.size(); }

bool download_pool::has_room(const std::string &url) const {
  if (engine_->running.size() >= static_cast<size_t>(jobs_)) return false;
  auto host = engine_->per_host.find(url_host(url));
  return host == engine_->per_host.end() || host->second < k_max_per_host;
}

void download_pool::start(size_t id, const std::string &url, const std::filesystem::path &dest,
                          const download_options &options) {
  auto j = std::make_unique<job>();
  j->id = id;
  j->url = url;
  j->host = url_host(url);
  j->options = options;
  auto fail = [&](download_result result) { engine_->ended.emplace_back(id, std::move(result)); };
  if (g_interrupted) return fail(failure(download_status::interrupted, "interrupted"));
  if (std::optional<download_result> unusable = open_place(dest, j->where))
    return fail(std::move(*unusable));
  j->progress.label = options.label.empty() ? j->where.dest_name : options.label;
  // Without the validator its bytes came with, a .part cannot be shown to belong to this file.
  const bool can_resume =
      !options.validator.empty() && options.validator.find_first_of("\r\n") == std::string::npos;
  uint64_t offset = can_resume ? part_size(j->where) : 0;
  if (offset > options.max_size) offset = 0;  // it could never be completed within the limit
  if (!engine_->multi || !prepare(*j, offset) ||
      curl_multi_add_handle(engine_->multi.get(), j->handle.get()) != CURLM_OK)
    return fail(failure(download_status::network_error, "cannot start an HTTP request"));
  engine_->per_host[j->host]++;
  engine_->running.push_back(std::move(j));
}

std::vector<std::pair<size_t, download_result>> download_pool::wait() {
  engine &e = *engine_;
  CURLM *multi = e.multi.get();
  while (e.ended.empty() && !e.running.empty()) {
    int still = 0;
    if (curl_multi_perform(multi, &still) != CURLM_OK) {
      // Only a failing multi handle gets here: every transfer ends with it.
      for (std::unique_ptr<job> &j : e.running) {
        curl_multi_remove_handle(multi, j->handle.get());
        e.ended.emplace_back(j->id,
                             failure(download_status::network_error, "the HTTP engine failed"));
      }
      e.running.clear();
      e.per_host.clear();
      break;
    }
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      job *j = nullptr;
      curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &j);
      CURLcode rc = message->data.result;
      curl_multi_remove_handle(multi, j->handle.get());
      bool retry_full = false;
      download_result result = conclude(*j, rc, retry_full);
      if (retry_full && !j->retried && !g_interrupted && prepare(*j, 0) &&
          curl_multi_add_handle(multi, j->handle.get()) == CURLM_OK) {
        j->retried = true;
        continue;
      }
      if (result.status == download_status::complete && e.board != nullptr)
        e.board->complete(j->progress, result.size, result.resumed);
      e.per_host[j->host]--;
      e.ended.emplace_back(j->id, std::move(result));
      auto at = std::find_if(e.running.begin(), e.running.end(),
                             [j](const std::unique_ptr<job> &r) { return r.get() == j; });
      e.running.erase(at);
    }
    if (!e.ended.empty()) break;
    if (e.board != nullptr) {
      std::vector<const transfer_progress *> shown;
      for (const std::unique_ptr<job> &j : e.running) shown.push_back(&j->progress);
      e.board->update(shown);
    }
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(k_poll_interval.count()), nullptr);
  }
  // Whatever the caller prints next starts on a line of its own.
  if (e.board != nullptr) e.board->erase();
  return std::exchange(e.ended, {});
}

download_result download_file(const std::string &url, const std::filesystem::path &dest,
                              const download_options &options) {
  interrupt_scope scope;
  download_pool pool(1, options.progress);
  pool.start(0, url, dest, options);
  std::vector<std::pair<size_t, download_result>> ended = pool.wait();
  return ended.empty() ? failure(download_status::network_error, "the HTTP engine failed")
                       : std::move(ended.front().second);
}
