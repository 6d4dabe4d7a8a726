// The per-cell build loop of the builder commands.
#include "lumencad/build_loop.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "lumencad/checks.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"

namespace lumencad {
namespace {

// --- Python errors -------------------------------------------------------

// The C++ exception being handled, as a Python error (call inside a catch).
nb::python_error current_as_python_error() {
  set_python_error_from_current_exception();
  return nb::python_error();
}

[[noreturn]] void raise_from_errno(nb::handle path) {
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
  throw nb::python_error();
}

[[noreturn]] void raise_exit(nb::handle module, int code) {
  nb::object exit = module_global(module, "typer").attr("Exit")(code);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exit.ptr())), exit.ptr());
  throw nb::python_error();
}

// --- console -------------------------------------------------------------

// Writes `text` to the module's current sys.stdout or sys.stderr, as print()
// does with end="" (nothing when the stream is None).
void print_to(nb::handle module, const char* stream, nb::handle text) {
  nb::object file = module_global(module, "sys").attr(stream);
  if (!file.is_none()) file.attr("write")(text);
}

void print_to(nb::handle module, const char* stream, const char* text) {
  print_to(module, stream, nb::str(text));
}

// --- files ---------------------------------------------------------------

nb::object fs_encode(nb::handle path) { return nb::steal(PyUnicode_EncodeFSDefault(path.ptr())); }

// "dir/name.ext" -> "dir/.name.tmp-<pid>.ext": a sibling on the same file
// system, keeping the extension so that writers pick the same format.
nb::object temp_sibling(nb::handle path) {
  PyObject* p = path.ptr();
  Py_ssize_t n = PyUnicode_GetLength(p);
  if (n < 0) throw nb::python_error();
  Py_ssize_t start = PyUnicode_FindChar(p, '/', 0, n, -1) + 1;
  Py_ssize_t dot = start + 1 < n ? PyUnicode_FindChar(p, '.', start + 1, n, -1) : -1;
  if (dot < 0) dot = n;
  nb::object head = nb::steal(PyUnicode_Substring(p, 0, start));
  nb::object stem = nb::steal(PyUnicode_Substring(p, start, dot));
  nb::object ext = nb::steal(PyUnicode_Substring(p, dot, n));
  if (!head || !stem || !ext) throw nb::python_error();
  PyObject* tmp = PyUnicode_FromFormat("%U.%U.tmp-%ld%U", head.ptr(), stem.ptr(),
                                       static_cast<long>(getpid()), ext.ptr());
  if (!tmp) throw nb::python_error();
  return nb::steal(tmp);
}

// Removes `path` if it can; leaves a pending Python error as it was.
void remove_quietly(nb::handle path) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* pending = PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
#endif
  PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
  if (encoded) {
    unlink(PyBytes_AS_STRING(encoded));
    Py_DECREF(encoded);
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(pending);
#else
  PyErr_Restore(type, value, traceback);
#endif
}

// True when `path` names nothing, not even a dangling link.
bool is_missing(nb::handle path) {
  nb::object encoded = fs_encode(path);
  if (!encoded) throw nb::python_error();
  struct stat info;
  return lstat(PyBytes_AS_STRING(encoded.ptr()), &info) != 0 && errno == ENOENT;
}

// Moves `tmp` over `target` in one step; on failure `tmp` is removed.
void replace_with(nb::handle tmp, nb::handle target) {
  nb::object from = fs_encode(tmp), to = fs_encode(target);
  if (!from || !to) {
    remove_quietly(tmp);
    throw nb::python_error();
  }
  if (std::rename(PyBytes_AS_STRING(from.ptr()), PyBytes_AS_STRING(to.ptr())) != 0) {
    int err = errno;
    remove_quietly(tmp);
    errno = err;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, tmp.ptr(), target.ptr());
    throw nb::python_error();
  }
}

// Writes the ASCII text `text` to `path` through a temporary sibling, so that
// `path` holds either its previous content or all of `text`.
void write_text_replacing(nb::handle path, nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw nb::python_error();
  nb::object tmp = temp_sibling(path);
  nb::object encoded = fs_encode(tmp);
  if (!encoded) throw nb::python_error();
  int fd = open(PyBytes_AS_STRING(encoded.ptr()), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) raise_from_errno(tmp);
  int err = 0;
  while (size > 0) {
    ssize_t written = write(fd, data, static_cast<size_t>(size));
    if (written > 0) {
      data += written;
      size -= written;
    } else if (written < 0 && errno == EINTR) {
      if (PyErr_CheckSignals() != 0) break;
    } else {
      err = written < 0 ? errno : EIO;
      break;
    }
  }
  if (close(fd) != 0 && err == 0) err = errno;
  if (PyErr_Occurred()) {  // interrupted by a signal handler that raised
    remove_quietly(tmp);
    throw nb::python_error();
  }
  if (err != 0) {
    remove_quietly(tmp);
    errno = err;
    raise_from_errno(tmp);
  }
  replace_with(tmp, path);
}

// Has the component write its GDS file to a temporary sibling, then moves it
// over `path`: a failing writer never leaves a torn layout behind. A writer
// that returns without writing anything leaves `path` as it was.
void write_gds_replacing(nb::handle component, nb::handle path) {
  nb::object tmp = temp_sibling(path);
  try {
    component.attr("write_gds")(tmp);
  } catch (...) {
    remove_quietly(tmp);
    throw;
  }
  if (is_missing(tmp)) return;
  replace_with(tmp, path);
}

// A cell's log file, standing in for sys.stdout and sys.stderr while
// redirected: opened with `mode` ("w" truncates it for the build, "a" appends
// the output of writing the cell's files). On an exceptional path the
// destructor restores the streams and closes the file, reporting failures of
// its own as unraisable.
class CellLog {
 public:
  CellLog(nb::handle module, nb::handle path, const char* mode) {
    sys_ = module_global(module, "sys");
    file_ = cached("io", "open")(path, mode);
  }

  CellLog(const CellLog&) = delete;
  CellLog& operator=(const CellLog&) = delete;

  ~CellLog() { cleanup_quietly(); }

  nb::handle file() const { return file_; }

  void write(nb::handle text) { file_.attr("write")(text); }

  void redirect() {
    saved_stdout_ = sys_.attr("stdout");
    saved_stderr_ = sys_.attr("stderr");
    sys_.attr("stdout") = file_;
    stdout_replaced_ = true;
    sys_.attr("stderr") = file_;
    stderr_replaced_ = true;
  }

  // Restores both streams, then closes the file.
  void close() {
    restore_streams();
    nb::object file = std::move(file_);
    file.attr("close")();
  }

 private:
  void restore_streams() {
    if (stdout_replaced_) {
      stdout_replaced_ = false;
      sys_.attr("stdout") = saved_stdout_;
    }
    if (stderr_replaced_) {
      stderr_replaced_ = false;
      sys_.attr("stderr") = saved_stderr_;
    }
  }

  void cleanup_quietly() noexcept {
    if (stdout_replaced_) {
      stdout_replaced_ = false;
      if (PyObject_SetAttrString(sys_.ptr(), "stdout", saved_stdout_.ptr()) != 0)
        PyErr_WriteUnraisable(sys_.ptr());
    }
    if (stderr_replaced_) {
      stderr_replaced_ = false;
      if (PyObject_SetAttrString(sys_.ptr(), "stderr", saved_stderr_.ptr()) != 0)
        PyErr_WriteUnraisable(sys_.ptr());
    }
    if (file_) {
      nb::object file = std::move(file_);
      PyObject* result = PyObject_CallMethod(file.ptr(), "close", nullptr);
      if (result)
        Py_DECREF(result);
      else
        PyErr_WriteUnraisable(file.ptr());
    }
  }

  nb::object file_, sys_, saved_stdout_, saved_stderr_;
  bool stdout_replaced_ = false;
  bool stderr_replaced_ = false;
};

nb::str concat(std::initializer_list<nb::handle> parts) {
  nb::object text = nb::str("");
  for (nb::handle part : parts) {
    PyObject* joined = PyUnicode_Concat(text.ptr(), part.ptr());
    if (!joined) throw nb::python_error();
    text = nb::steal(joined);
  }
  return nb::borrow<nb::str>(text);
}

}  // namespace

void run_build_loop(nb::handle module, nb::handle cell_names, const BuildLoopSteps& steps,
                    OnError on_error) {
  nb::object stopped_by;  // the exception of the cell that ended the run
  for (nb::handle item : cell_names) {
    nb::object cell_name = nb::borrow(item);
    CellTarget target = steps.target(cell_name);
    nb::str name = nb::str(cell_name);
    print_to(module, "stdout", concat({target.label, name, nb::str("... ")}));

    nb::object component, failure;
    {
      CellLog log(module, target.log_path, "w");
      log.redirect();
      try {
        component = steps.build(cell_name);
        log.write(concat({nb::str("SUCCESS: Succesfully built '"), name, nb::str(".gds'.\n")}));
      } catch (...) {
        nb::python_error error = current_as_python_error();
        if (!error.matches(PyExc_Exception)) throw error;
        failure = nb::borrow(error.value());
        log.write(nb::str("ERROR\n"));
        cached("traceback", "print_exception")(failure, nb::arg("file") = log.file());
      }
      log.close();
    }

    if (failure) {
      if (on_error == OnError::Stop) {
        stopped_by = std::move(failure);
        break;
      }
      print_to(module, "stdout", "FAILED.\n");
      continue;
    }
    if (component.is_none()) {
      print_to(module, "stdout", "FAILED.\n");
      raise_exit(module, 2);
    }
    print_to(module, "stdout", concat({nb::str("SUCCESS. -> "), target.gds_path, nb::str("\n")}));

    CellLog log(module, target.log_path, "a");
    log.redirect();
    write_gds_replacing(component, target.gds_path);
    nb::object ports = module_global(module, "_try_get_ports")(component);
    write_text_replacing(target.ports_path, cached("json", "dumps")(ports));
    log.close();
  }

  if (stopped_by) {
    print_to(module, "stdout", "FAILED.\n");
    print_to(module, "stderr", concat({nb::str(stopped_by), nb::str("\n")}));
    raise_exit(module, 1);
  }
  raise_exit(module, 0);
}

nb::object normalize_on_error(nb::handle on_error) {
  nb::object normalized = on_error.attr("strip")().attr("lower")();
  if (!nb::str("continue").equal(normalized) && !nb::str("stop").equal(normalized)) {
    PyErr_Format(PyExc_ValueError, "Invalid on_error %R: expected 'continue' or 'stop'.",
                 on_error.ptr());
    throw nb::python_error();
  }
  return normalized;
}

OnError on_error_policy(nb::handle normalized) {
  return nb::str("stop").equal(normalized) ? OnError::Stop : OnError::Continue;
}

nb::object normalize_pdk_name(nb::handle pdk) { return pdk.attr("lower")().attr("strip")(); }

nb::object default_pdk_name(nb::handle settings) {
  nb::object name = settings.attr("pdk").attr("name");
  if (!name.is_none() && !PyUnicode_CheckExact(name.ptr())) raise_expected("str", name);
  return name;
}

bool run_in_context(nb::handle manager, const std::function<void()>& body) {
  nb::handle type = manager.type();
  nb::object exit = type.attr("__exit__");
  type.attr("__enter__")(manager);
  try {
    body();
  } catch (...) {
    nb::python_error error = current_as_python_error();
    nb::object traceback = error.traceback();
    if (!traceback) traceback = nb::none();
    nb::object suppress = exit(manager, error.type(), error.value(), traceback);
    int suppressed = PyObject_IsTrue(suppress.ptr());
    if (suppressed < 0) throw nb::python_error();
    if (suppressed) return false;
    throw error;
  }
  exit(manager, nb::none(), nb::none(), nb::none());
  return true;
}

}  // namespace lumencad
