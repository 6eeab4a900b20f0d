// The transport a command runs on, and what it learnt about each URL it fetched.

#include "core/session.h"

#include <algorithm>

#include "core/files.h"
#include "core/url.h"
#include "vepod.h"

session::~session() {
  vepod_set_io(nullptr);
  if (!offline_.empty()) vepod_fake_reset();
}

failure session::open(const preferences &p, store *bodies, bool library_max_age) {
  if (p.max_age >= 0 && library_max_age) vepod_cache_set_max_age(p.max_age);
  if (p.offline.empty()) {
    http_options http;
    http.timeout_ms = p.timeout_ms;
    http.connect_timeout_ms = std::min(p.timeout_ms, http.connect_timeout_ms);
    if (!p.user_agent.empty()) http.user_agent = p.user_agent;
    if (p.max_age >= 0) http.max_age_s = p.max_age;
    http_ = std::make_unique<http_transport>(std::move(http), bodies);
    vepod_set_io(http_->io());
    return {};
  }
  for (const auto &[url, path] : p.offline) {
    std::string data, error;
    if (!read_file(path, data, error)) return failure::other(error);
    if (vepod_fake_set(url.c_str(), 200, data.c_str()) != 0) return failure::other("out of memory");
    offline_[url] = std::move(data);
  }
  vepod_use_fake();
  return {};
}

failure session::fetch(const std::string &url, std::string &page) {
  if (http_ == nullptr) {
    auto found = offline_.find(url);
    if (found == offline_.end())
      return failure::transport("no --offline file for " + redact_url(url));
    page = found->second;
    return {};
  }
  const tervala_io *io = http_->io();
  char *body = nullptr, *error = nullptr;
  int status = 0;
  if (io->get(io->ctx, url.c_str(), &body, &status, &error) != 0) {
    std::string message = "transport failure for " + redact_url(url) + ": " +
                          (error != nullptr ? error : "(no message)");
    io->free(io->ctx, error);
    return failure::transport(message);
  }
  if (body != nullptr) page = body;
  io->free(io->ctx, body);
  if (status >= 200 && status <= 299) return {};
  return failure::http(status, "HTTP " + std::to_string(status) + " from " + redact_url(url));
}

std::string session::unrouted(const std::string &url) const {
  if (http_ != nullptr || offline_.contains(url)) return {};
  return "no route (no --offline file for it)";
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
