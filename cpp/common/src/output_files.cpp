// Plain file-system work behind the builders' output files.
#include "lumencad/output_files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace lumencad {
namespace {

constexpr unsigned char kEndlibType = 0x04;
constexpr unsigned char kNoData = 0x00;
constexpr const char kTempTag[] = ".tmp-";
constexpr std::size_t kTempTagLength = sizeof(kTempTag) - 1;

std::string record_at(std::size_t offset) { return "the record at byte " + std::to_string(offset); }

// read() that resumes after signals; returns what read() returns.
ssize_t read_some(int fd, unsigned char* buffer, std::size_t size) {
  ssize_t got;
  do {
    got = read(fd, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

// The pid in a temporary file name made by temp_sibling_path
// (".stem.tmp-<pid>" plus an optional extension), or 0 for any other name.
long temp_file_pid(const char* name) {
  if (name[0] != '.') return 0;
  std::string text(name);
  std::size_t tag = text.rfind(kTempTag);
  if (tag == std::string::npos || tag < 2) return 0;  // the stem must not be empty
  std::size_t pos = tag + kTempTagLength, digits = 0;
  long pid = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    if (++digits > 9) return 0;  // beyond any pid
    pid = pid * 10 + (text[pos] - '0');
    ++pos;
  }
  if (digits == 0) return 0;
  if (pos < text.size() && (text[pos] != '.' || text.find('.', pos + 1) != std::string::npos))
    return 0;
  return pid;
}

}  // namespace

void GdsRecordWalker::feed(const unsigned char* data, std::size_t size) {
  while (size > 0 && problem_.empty()) {
    if (record_left_ > 0) {
      std::size_t take = std::min(size, record_left_);
      record_left_ -= take;
      offset_ += take;
      data += take;
      size -= take;
      if (record_left_ == 0) header_fill_ = 0;
      continue;
    }
    if (header_fill_ == 0) record_start_ = offset_;
    header_[header_fill_++] = *data++;
    ++offset_;
    --size;
    if (header_fill_ < 4) continue;
    std::size_t length = (static_cast<std::size_t>(header_[0]) << 8) | header_[1];
    if (length < 4 || length % 2 != 0) {
      problem_ = record_at(record_start_) + " has an invalid length " + std::to_string(length);
      return;
    }
    last_is_endlib_ = header_[2] == kEndlibType && header_[3] == kNoData;
    record_left_ = length - 4;
    if (record_left_ == 0) header_fill_ = 0;
  }
}

GdsCheck GdsRecordWalker::finish() const {
  GdsCheck check;
  if (!problem_.empty())
    check.problem = problem_;
  else if (offset_ == 0)
    check.problem = "the file is empty";
  else if (header_fill_ != 0)
    check.problem = "the file ends inside " + record_at(record_start_);
  else if (!last_is_endlib_)
    check.problem = "the last record, at byte " + std::to_string(record_start_) + ", is not ENDLIB";
  else
    check.complete = true;
  return check;
}

GdsCheck check_gds_file(const char* path, int* read_errno) {
  *read_errno = 0;
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *read_errno = errno;
    return GdsCheck{};
  }
  GdsRecordWalker walker;
  unsigned char buffer[16384];
  for (;;) {
    ssize_t got = read_some(fd, buffer, sizeof buffer);
    if (got < 0) {
      *read_errno = errno;
      close(fd);
      return GdsCheck{};
    }
    if (got == 0) break;
    walker.feed(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  return walker.finish();
}

std::string temp_sibling_path(const std::string& path, long pid) {
  std::size_t slash = path.rfind('/');
  std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  // A leading dot belongs to the name, not to an extension.
  std::size_t dot = start + 1 < path.size() ? path.rfind('.') : std::string::npos;
  if (dot == std::string::npos || dot < start + 1) dot = path.size();
  return path.substr(0, start) + "." + path.substr(start, dot - start) + kTempTag +
         std::to_string(pid) + path.substr(dot);
}

std::string parent_folder(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

int probe_write_errno(const std::string& folder, long pid) {
  std::string probe = folder + "/.space-probe" + kTempTag + std::to_string(pid);
  int fd;
  do {
    fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  // Larger than one block, so that a nearly full disk shows as full.
  static const unsigned char zeros[65536] = {};
  int err = write_all(fd, zeros, sizeof zeros);
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  unlink(probe.c_str());
  return err;
}

void remove_stale_temp_files(const std::string& folder, long self_pid) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_type == DT_DIR) continue;
    long pid = temp_file_pid(entry->d_name);
    if (pid <= 0 || pid == self_pid) continue;
    // Only a process that is certainly gone: EPERM means alive, but not ours.
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      unlinkat(dirfd(dir), entry->d_name, 0);
  }
  closedir(dir);
}

int regular_file_mode(const char* path) {
  struct stat info;
  if (lstat(path, &info) != 0 || !S_ISREG(info.st_mode)) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

int open_log_file(const char* path, bool append) {
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (append ? O_APPEND : O_TRUNC);
  bool replaced = false;
  for (;;) {
    int fd = open(path, flags, 0666);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    if (errno != ELOOP || replaced) return -1;
    // ELOOP with O_NOFOLLOW: most likely a link at `path` itself.
    struct stat info;
    if (lstat(path, &info) != 0 || !S_ISLNK(info.st_mode)) {
      errno = ELOOP;
      return -1;
    }
    if (unlink(path) != 0 && errno != ENOENT) return -1;
    replaced = true;
  }
}

int write_all(int fd, const void* data, std::size_t size, bool (*interrupted)()) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    ssize_t written = write(fd, bytes, size);
    if (written > 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      if (interrupted && interrupted()) return EINTR;
    } else {
      return written < 0 ? errno : EIO;
    }
  }
  return 0;
}

}  // namespace lumencad
