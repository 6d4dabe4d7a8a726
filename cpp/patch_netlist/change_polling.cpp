// changed(): the watched file's modification time against the last one
// reported, kept in a small file under the temporary folder.
#include "change_polling.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "lumencad/handles.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/replace_file.hpp"

namespace lumencad::patch_service {

namespace {

constexpr Py_ssize_t kExtensionLength = 4;  // ".gds": a dot and three letters

std::string fs_bytes(nb::handle path) {
  nb::object encoded = checked(PyUnicode_EncodeFSDefault(path.ptr()));
  return std::string(PyBytes_AS_STRING(encoded.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

nb::object os_path(const char* name) { return cached("os.path", name); }

[[noreturn]] void raise_os_error(int err, nb::handle path) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
  throw nb::python_error();
}

// The whole content of `path`, or false when there is no such file.
bool read_file(nb::handle path, std::string& content) {
  std::string target = fs_bytes(path);
  int fd;
  do {
    fd = open(target.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    raise_os_error(errno, path);
  }
  char buffer[4096];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      content.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      int err = errno;
      close(fd);
      raise_os_error(err, path);
    }
  }
  close(fd);
  return true;
}

// The stored time stamp: int() of the file's stripped text, 0 without a file.
nb::object stored_stamp(nb::handle txtpath) {
  std::string content;
  if (!read_file(txtpath, content)) return nb::int_(0);
  nb::object text = checked(
      PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), nullptr));
  return checked(PyLong_FromUnicodeObject(text.attr("strip")().ptr(), 10));
}

void make_folder_of(nb::handle path) {
  nb::object folder = os_path("dirname")(path);
  // An empty folder part is the working directory, which exists.
  if (truthy(folder)) cached("os", "makedirs")(folder, nb::arg("exist_ok") = true);
}

}  // namespace

bool stays_inside(const std::string& name) {
  if (!name.empty() && name[0] == '/') return false;
  long depth = 0;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::size_t length = end - start;
    if (length == 2 && name.compare(start, 2, "..") == 0) {
      if (--depth < 0) return false;
    } else if (length != 0 && !(length == 1 && name[start] == '.')) {
      ++depth;
    }
    start = end + 1;
  }
  return true;
}

long long mtime_seconds(const std::string& path) {
  struct stat info;
  if (path.find('\0') != std::string::npos || stat(path.c_str(), &info) != 0) return 0;
  double seconds =
      static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) * 1e-9;
  return static_cast<long long>(seconds);
}

nb::object changed(nb::handle, const nb::handle* args) {
  nb::handle project_dir = args[0], file_name = args[1];
  std::string name = fs_bytes(file_name);
  // The name comes from a URL: refuse it before anything is created for it.
  if (name.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "File name %R holds a null character.", file_name.ptr());
    throw nb::python_error();
  }
  if (!stays_inside(name)) {
    PyErr_Format(PyExc_ValueError, "File name %R is not inside the project folder.",
                 file_name.ptr());
    throw nb::python_error();
  }

  nb::object path = os_path("join")(project_dir, file_name);
  nb::object stem = checked(PySequence_GetSlice(file_name.ptr(), 0, -kExtensionLength));
  nb::object txtpath =
      os_path("join")(cached("tempfile", "gettempdir")(), "layoutserver", concat(stem, ".txt"));
  make_folder_of(path);
  make_folder_of(txtpath);

  nb::object prevts = stored_stamp(txtpath);
  long long seconds = mtime_seconds(fs_bytes(path));
  nb::object ts = checked(PyLong_FromLongLong(seconds));
  int differs = PyObject_RichCompareBool(ts.ptr(), prevts.ptr(), Py_NE);
  if (differs < 0) throw nb::python_error();
  // Through a renamed temporary: a poller reading meanwhile sees a whole stamp.
  if (differs) replace_file(txtpath, std::to_string(seconds));

  nb::dict answer;
  answer["changed"] = nb::bool_(differs != 0);
  answer["ts"] = ts;
  answer["prevts"] = prevts;
  answer["path"] = path;
  return answer;
}

}  // namespace lumencad::patch_service
