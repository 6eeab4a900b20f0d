// What every command shares: the one mapping from a failure to an exit code, the reporting of
// failures, the preferences and state the options name, and the URLs a fetching command takes.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <charconv>
#include <cstdlib>

#include "commands/commands.h"
#include "vepod.h"

int exit_for(const failure &f) {
  // An HTTP status counts as the library counts it, whether the library, the update or a
  // download met it.
  const int code = f.kind == failure_kind::http ? code_for_status(f.status) : f.code;
  switch (f.kind) {
    case failure_kind::none:
      return k_exit_ok;
    case failure_kind::other:
      return k_exit_failure;
    case failure_kind::transport:
      return k_exit_network;
    case failure_kind::interrupted:
      return k_exit_interrupted;
    case failure_kind::http:
    case failure_kind::library:
      break;
  }
  switch (code) {
    case VEPOD_OK:
      return k_exit_ok;
    case VEPOD_ERR_ACCESS:
    case VEPOD_ERR_RATE_LIMITED:
    case VEPOD_ERR_TRANSPORT:
      return k_exit_network;
    case VEPOD_ERR_NOT_FOUND:
    case VEPOD_ERR_NO_DATA:
      return k_exit_nothing;
    case VEPOD_ERR_BAD_INPUT:
      return k_exit_usage;
    default:
      return k_exit_failure;
  }
}

int report(std::string_view command, int exit, std::string_view message) {
  print_error(command, message);
  return exit;
}

int fail(std::string_view command, const failure &f) {
  return report(command, exit_for(f), f.text);
}

int report_sources(std::string_view command, session &net, const failure &problem,
                   const std::vector<source_failure> &failed) {
  std::vector<std::string> lines;
  for (const source_failure &f : failed) {
    // Offline, a URL without its file is named as such, not as the fake transport's refusal.
    std::string unrouted = net.unrouted(f.url);
    lines.push_back(redact_url(f.url) + ": " + (unrouted.empty() ? f.why.text : unrouted));
  }
  if (problem && lines.empty()) return fail(command, problem);
  for (const std::string &line : lines) print_error(command, line);
  if (problem) return exit_for(problem);
  return lines.empty() ? k_exit_ok : k_exit_partial;
}

int report_sources(std::string_view command, session &net, const answer &a) {
  return report_sources(command, net, a.problem(), failed_sources(a));
}

int usage_error(const options &o, const std::string &message) {
  return report(o.command, k_exit_usage, message + " (see 'vepod " + o.command + " --help')");
}

bool parse_count(std::string_view text, size_t &value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value > 0;
}

namespace {

// Downloads at once when --jobs is not given: enough to fill a line, few enough for any server.
constexpr int k_default_download_jobs = 3;

}  // namespace

preferences preferences_of(const options &o) {
  preferences p;
  p.timeout_ms = o.timeout_ms;
  p.max_age = o.max_age;
  p.jobs = o.jobs;
  p.user_agent = std::string("vepod/") + VEPOD_TOOL_VERSION;
  p.offline = o.offline;
  p.download_dir = o.out_dir;
  // update's --jobs counts feeds, not downloads.
  p.download_jobs =
      o.command == "download" && !o.jobs_text.empty() ? o.jobs : k_default_download_jobs;
  p.max_size = o.max_size;
  p.utc = o.utc;
  return p;
}

std::unique_ptr<store> open_store(const options &o, store::access mode) {
  return std::make_unique<store>(o.db.empty() ? default_store_path() : o.db, mode);
}

int open_session(const options &o, session &net, store *bodies, bool library_max_age) {
  if (failure f = net.open(preferences_of(o), bodies, library_max_age)) return fail(o.command, f);
  return k_exit_ok;
}

namespace {

// Checks every URL argument and keeps it trimmed. The two slips a URL argument most often is, a
// local file and a URL without its scheme, get a hint of their own.
int check_urls(const options &o, std::vector<std::string> &urls) {
  for (std::string &url : urls) {
    std::string checked, why;
    if (check_url(url, checked, why)) {
      url = std::move(checked);
      continue;
    }
    std::error_code ec;
    if (url.find("://") == std::string::npos && std::filesystem::is_regular_file(url, ec))
      return usage_error(o, terminal_text(url) + " is a local file: read it with 'vepod parse " +
                                terminal_text(url) +
                                "', or serve it with --offline URL=" + terminal_text(url));
    if (url.find("://") == std::string::npos && why == "is not an absolute http(s) URL")
      return usage_error(o, "'" + terminal_text(url) + "' has no scheme: add https:// ('https://" +
                                terminal_text(url) + "')");
    return usage_error(o, "'" + shown_url(url) + "' " + why);
  }
  return k_exit_ok;
}

}  // namespace

int context::open(const options &o, bool subscriptions_default, bool need_store,
                  bool library_max_age) {
  urls = o.args;
  if (int rc = check_urls(o, urls)) return rc;
  bool from_store = urls.empty() && subscriptions_default;
  if (o.offline.empty() || from_store || need_store) db = open_store(o);
  if (from_store) {
    subscribed = db->subscriptions();
    if (subscribed.empty())
      return usage_error(o, "no URL given and no subscriptions (add some with 'vepod subscribe')");
    for (const subscription &s : subscribed) urls.push_back(s.url);
  }
  return open_session(o, net, o.offline.empty() ? db.get() : nullptr, library_max_age);
}

int print_built_json(const options &o, yyjson_mut_doc *doc) {
  char *text = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, nullptr);
  yyjson_mut_doc_free(doc);
  if (text == nullptr) return report(o.command, k_exit_failure, "out of memory");
  print_json(stdout, text, o.pretty);
  std::free(text);
  return k_exit_ok;
}
