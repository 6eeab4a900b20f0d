// The transport a command runs on, and what it learnt about each URL it fetched.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "commands/cli.h"
#include "vepod.h"

namespace {

// Why a body that arrived is of no use: "" for a feed or a page announcing feeds, else the
// reader's own message about it as a feed.
std::string body_problem(const std::string &url, const std::string &body) {
  char message[512] = "";
  char *json = nullptr;
  if (vepod_parse_feed(body.data(), body.size(), &json, message, sizeof message) == 0) {
    std::free(json);
    return {};
  }
  char *links = nullptr;
  if (vepod_discover_feeds(body.data(), body.size(), url.c_str(), &links, nullptr, 0) == 0) {
    bool some = std::strcmp(links, "[]") != 0;
    std::free(links);
    if (some) return {};
  }
  return std::string("not a feed: ") + message;
}

}  // namespace

int code_for_status(int status) {
  return status == 404 || status == 410   ? VEPOD_ERR_NOT_FOUND
         : status == 401 || status == 403 ? VEPOD_ERR_ACCESS
         : status == 429                  ? VEPOD_ERR_RATE_LIMITED
         : status >= 500                  ? VEPOD_ERR_TRANSPORT
                                          : VEPOD_ERR_NO_DATA;
}

bool read_file(const std::string &path, std::string &data, std::string &error, size_t max_bytes) {
  bool use_stdin = path == "-";
  std::FILE *file = use_stdin ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  data.clear();
  char chunk[65536];
  size_t n;
  errno = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (n > max_bytes - data.size()) {
      error = path + ": larger than " + std::to_string(max_bytes >> 20) + " MiB";
      break;
    }
    data.append(chunk, n);
  }
  bool ok = error.empty() && !std::ferror(file);
  if (error.empty() && !ok)
    error = path + ": " + (errno != 0 ? std::strerror(errno) : "read error");
  if (!use_stdin) std::fclose(file);
  return ok;
}

namespace {

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t done = write(fd, data.data(), data.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data.remove_prefix(static_cast<size_t>(done));
  }
  return true;
}

}  // namespace

bool write_whole_file(const std::string &path, std::string_view data, std::string &error) {
  std::error_code ec;
  // Through every link to the file it names (weakly: the file itself may not exist yet).
  const std::filesystem::path target = std::filesystem::weakly_canonical(path, ec);
  if (ec) {
    error = path + ": " + ec.message();
    return false;
  }
  struct stat st {};
  const bool exists = stat(target.c_str(), &st) == 0;
  auto fail = [&](const std::string &what) {
    error = what + ": " + std::strerror(errno);
    return false;
  };
  if (exists && !S_ISREG(st.st_mode)) {
    int fd = open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return fail(path);
    bool written = write_all(fd, data);
    int saved = errno;
    if (close(fd) != 0 || !written) {
      if (!written) errno = saved;
      return fail(path);
    }
    return true;
  }
  std::string temporary =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  int fd = mkstemp(temporary.data());
  if (fd < 0) return fail(target.parent_path().string());
  // The file keeps its mode; a new one gets the usual one.
  mode_t mask = umask(0);
  umask(mask);
  bool written = fchmod(fd, exists ? st.st_mode & 07777 : 0666 & ~mask) == 0 &&
                 write_all(fd, data) && fsync(fd) == 0;
  int saved = errno;
  if (close(fd) != 0 || !written || rename(temporary.c_str(), target.c_str()) != 0) {
    if (!written) errno = saved;
    saved = errno;
    unlink(temporary.c_str());
    errno = saved;
    return fail(path);
  }
  return true;
}

std::unique_ptr<store> open_store(const options &o, store::access mode) {
  return std::make_unique<store>(o.db.empty() ? default_store_path() : o.db, mode);
}

session::~session() {
  vepod_set_io(nullptr);
  if (!offline_.empty()) vepod_fake_reset();
}

int session::open(const options &o, store *bodies, bool library_max_age) {
  if (o.max_age >= 0 && library_max_age) vepod_cache_set_max_age(o.max_age);
  if (o.offline.empty()) {
    http_options http;
    http.timeout_ms = o.timeout_ms;
    http.connect_timeout_ms = std::min(o.timeout_ms, http.connect_timeout_ms);
    http.user_agent = std::string("vepod/") + VEPOD_TOOL_VERSION;
    if (o.max_age >= 0) http.max_age_s = o.max_age;
    http_ = std::make_unique<http_transport>(std::move(http), bodies);
    vepod_set_io(http_->io());
    return k_exit_ok;
  }
  for (const auto &[url, path] : o.offline) {
    std::string data, error;
    if (!read_file(path, data, error)) return report(o.command, k_exit_failure, error);
    if (vepod_fake_set(url.c_str(), 200, data.c_str()) != 0)
      return report(o.command, k_exit_failure, "out of memory");
    offline_[url] = std::move(data);
  }
  vepod_use_fake();
  return k_exit_ok;
}

int session::fetch(const options &o, const std::string &url, std::string &page) {
  if (http_ == nullptr) {
    auto found = offline_.find(url);
    if (found == offline_.end())
      return report(o.command, k_exit_network, "no --offline file for " + redact_url(url));
    page = found->second;
    return k_exit_ok;
  }
  const tervala_io *io = http_->io();
  char *body = nullptr, *error = nullptr;
  int status = 0;
  if (io->get(io->ctx, url.c_str(), &body, &status, &error) != 0) {
    std::string message = "transport failure for " + redact_url(url) + ": " +
                          (error != nullptr ? error : "(no message)");
    io->free(io->ctx, error);
    return report(o.command, k_exit_network, message);
  }
  if (body != nullptr) page = body;
  io->free(io->ctx, body);
  if (status >= 200 && status <= 299) return k_exit_ok;
  return report(o.command, exit_for(code_for_status(status)),
                "HTTP " + std::to_string(status) + " from " + redact_url(url));
}

std::string session::cause(const std::string &url) {
  if (http_ == nullptr) {
    auto found = offline_.find(url);
    if (found == offline_.end()) return "no route (no --offline file for it)";
    return body_problem(url, found->second);
  }
  fetch_outcome outcome;
  if (!http_->outcome(url, outcome)) return {};
  if (!outcome.answered) return outcome.error;
  if (outcome.status < 200 || outcome.status > 299) return "HTTP " + std::to_string(outcome.status);
  return body_problem(url, outcome.body);
}

std::vector<std::string> session::failures(const std::vector<std::string> &urls) {
  std::vector<std::string> lines;
  for (const std::string &url : urls)
    if (std::string why = cause(url); !why.empty()) lines.push_back(redact_url(url) + ": " + why);
  return lines;
}

std::string session::moved_to(const std::string &url) {
  fetch_outcome outcome;
  if (http_ == nullptr || !http_->outcome(url, outcome)) return {};
  return outcome.moved_to;
}

void session::prefetch(const std::vector<std::string> &urls, int jobs,
                       const std::function<void(size_t)> &ready) {
  if (http_ != nullptr) return http_->prefetch(urls, jobs, ready);
  for (size_t i = 0; i < urls.size(); i++) ready(i);
}

void session::forget(const std::string &url) {
  if (http_ != nullptr) http_->forget(url);
}

bool session::outcome(const std::string &url, fetch_outcome &out) {
  return http_ != nullptr && http_->outcome(url, out);
}
