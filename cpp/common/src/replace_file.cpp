// Whole-file replacement through a uniquely named temporary sibling.
#include "lumencad/replace_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "lumencad/output_files.hpp"

namespace lumencad {
namespace {

// Temporaries of one process differ by this counter, so that threads
// replacing the same file at once never share a temporary.
std::atomic<unsigned long> temp_counter{0};

// "dir/name" -> "dir/.name.<pid>-<n>.tmp", created exclusively with mode
// 0666 less the umask; -1 with errno set when no name could be created.
int create_temp_sibling(const std::string& path, std::string& temp) {
  std::size_t slash = path.rfind('/');
  std::size_t start = slash == std::string::npos ? 0 : slash + 1;
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp = path.substr(0, start) + "." + path.substr(start) + "." + std::to_string(getpid()) + "-" +
           std::to_string(temp_counter.fetch_add(1)) + ".tmp";
    int fd;
    do {
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    // A name taken by a leftover of a dead process with this pid: try the next.
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

int replace_file_bytes(const std::string& path, const std::string& data) {
  std::string temp;
  int fd = create_temp_sibling(path, temp);
  if (fd < 0) return errno;
  int err = write_all(fd, data.data(), data.size());
  // Keep the permissions of the file being replaced; a link there is
  // replaced, not followed.
  struct stat info;
  if (err == 0 && lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      fchmod(fd, info.st_mode & 07777) != 0)
    err = errno;
  if (close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  if (err == 0 && std::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) unlink(temp.c_str());
  return err;
}

void replace_file(nb::handle path, const std::string& data) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(path.ptr(), &converted)) throw nb::python_error();
  nb::object encoded = nb::steal(converted);
  std::string target(PyBytes_AS_STRING(converted),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(converted)));
  int err = replace_file_bytes(target, data);
  if (err != 0) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
    throw nb::python_error();
  }
}

}  // namespace lumencad
