// Whole files in and out: read with a bound, written through a temporary file renamed over, and
// deleted without following a link.

#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

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

removal remove_file(const std::string &file, bool dry_run, uint64_t &bytes, std::string &error) {
  const std::filesystem::path path(file);
  if (!path.is_absolute()) {
    // Recorded by an older vepod relative to a folder it did not note: which file is unknown.
    error = "recorded without its folder, so which file it is is not known";
    return removal::not_a_file;
  }
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  const std::string name = path.filename().string();
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir < 0) {
    if (errno == ENOENT) return removal::gone_already;
    error = errno == ELOOP || errno == ENOTDIR
                ? "its folder is not a folder (a link is not followed)"
                : std::strerror(errno);
    return errno == ELOOP || errno == ENOTDIR ? removal::not_a_file : removal::failed;
  }
  struct stat st {};
  removal outcome = removal::failed;
  if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    outcome = errno == ENOENT ? removal::gone_already : removal::failed;
    error = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    outcome = removal::not_a_file;
    error = S_ISLNK(st.st_mode) ? "a link is there now, not the downloaded file"
                                : "something other than a file is there now";
  } else {
    bytes = static_cast<uint64_t>(st.st_size);
    if (dry_run) {
      outcome = removal::would_delete;
    } else if (unlinkat(dir, name.c_str(), 0) == 0) {
      outcome = removal::deleted;
    } else {
      error = std::strerror(errno);
    }
  }
  close(dir);
  return outcome;
}
