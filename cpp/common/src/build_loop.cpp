// The per-cell build loop of the builder commands.
#include "lumencad/build_loop.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <unordered_set>

#include "lumencad/checks.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/output_files.hpp"
#include "lumencad/pyobject.hpp"

namespace lumencad {
namespace {

// --- Python errors -------------------------------------------------------

// The C++ exception being handled, as a Python error (call inside a catch).
nb::python_error current_as_python_error() {
  set_python_error_from_current_exception();
  return nb::python_error();
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

// A path as the file system takes it (file-system encoded bytes).
std::string fs_bytes(nb::handle path) {
  nb::object encoded = nb::steal(PyUnicode_EncodeFSDefault(path.ptr()));
  if (!encoded) throw nb::python_error();
  return std::string(PyBytes_AS_STRING(encoded.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
}

nb::object fs_text(const std::string& path) {
  PyObject* text =
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (!text) throw nb::python_error();
  return nb::steal(text);
}

// OSError (or the subclass the errno maps to) naming `path`.
[[noreturn]] void raise_errno(int err, nb::handle path) {
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
  throw nb::python_error();
}

// Gives `tmp` the permission bits of the file it replaces, then moves it over
// `target` in one step; on failure `tmp` is removed.
void replace_with(const std::string& tmp, const std::string& target) {
  int mode = regular_file_mode(target.c_str());
  if (mode >= 0 && chmod(tmp.c_str(), static_cast<mode_t>(mode)) != 0) {
    int err = errno;
    unlink(tmp.c_str());
    raise_errno(err, fs_text(tmp));
  }
  if (std::rename(tmp.c_str(), target.c_str()) != 0) {
    int err = errno;
    unlink(tmp.c_str());
    errno = err;
    PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, fs_text(tmp).ptr(), fs_text(target).ptr());
    throw nb::python_error();
  }
}

// Writes the ASCII text `text` to `path` through a temporary sibling, so that
// `path` holds either its previous content or all of `text`.
void write_text_replacing(nb::handle path, nb::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) throw nb::python_error();
  std::string tmp = temp_sibling_path(fs_bytes(path), getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) raise_errno(errno, fs_text(tmp));
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
    unlink(tmp.c_str());
    throw nb::python_error();
  }
  if (err != 0) {
    unlink(tmp.c_str());
    raise_errno(err, fs_text(tmp));
  }
  replace_with(tmp, fs_bytes(path));
}

// Has the component write its GDS file to a temporary sibling and moves that
// over `path` only when it is complete: a failing or short write never
// replaces a good layout. A writer that returns without writing anything
// leaves `path` as it was.
void write_gds_replacing(nb::handle component, nb::handle path) {
  std::string target = fs_bytes(path);
  std::string tmp = temp_sibling_path(target, getpid());
  unlink(tmp.c_str());  // a leftover of an earlier process with this pid is no output
  nb::object tmp_text = fs_text(tmp);
  try {
    component.attr("write_gds")(tmp_text);
  } catch (nb::python_error& error) {
    unlink(tmp.c_str());
    // A writer's OS error names the temporary file it was given: report it
    // for the layout the run was asked for.
    if (error.matches(PyExc_OSError)) {
      nb::handle value = error.value();
      nb::object code = value.attr("errno");
      if (PyLong_Check(code.ptr()) && value.attr("filename").equal(tmp_text))
        raise_errno(static_cast<int>(PyLong_AsLong(code.ptr())), path);
    }
    throw;
  } catch (...) {
    unlink(tmp.c_str());
    throw;
  }
  int read_errno = 0;
  GdsCheck check = check_gds_file(tmp.c_str(), &read_errno);
  if (read_errno == ENOENT) return;
  if (!check.complete) {
    // Writers may stop short without a word (gdstk drops errno): ask the
    // folder why, while the short file still holds its space.
    int why = read_errno != 0 ? read_errno : probe_write_errno(parent_folder(target), getpid());
    unlink(tmp.c_str());
    if (why != 0) raise_errno(why, path);
    PyErr_Format(PyExc_OSError, "Incomplete GDS output for %S: %s", path.ptr(),
                 check.problem.c_str());
    throw nb::python_error();
  }
  replace_with(tmp, target);
}

// A cell's log file, standing in for sys.stdout and sys.stderr while
// redirected: truncated for the build, or appended to (`append`) with the
// output of writing the cell's files. UTF-8 whatever the locale, with what
// cannot be encoded escaped, so that no name or message fails a cell. On an
// exceptional path the destructor restores the streams and closes the file,
// reporting failures of its own as unraisable.
class CellLog {
 public:
  CellLog(nb::handle module, nb::handle path, bool append) {
    sys_ = module_global(module, "sys");
    int fd = open_log_file(fs_bytes(path).c_str(), append);
    if (fd < 0) raise_errno(errno, path);
    file_ = cached("io", "open")(fd, append ? "a" : "w", nb::arg("encoding") = "utf-8",
                                 nb::arg("errors") = "backslashreplace");
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

// --- failures and the run's end ---------------------------------------------

// Handles the exception being thrown (call inside a catch): an ordinary
// exception is written to the log after "ERROR" and returned; interrupts and
// exit requests go on.
nb::object log_failure(CellLog& log) {
  nb::python_error error = current_as_python_error();
  if (!error.matches(PyExc_Exception)) throw error;
  nb::object failure = nb::borrow(error.value());
  log.write(nb::str("ERROR\n"));
  cached("traceback", "print_exception")(failure, nb::arg("file") = log.file());
  return failure;
}

// The last line of the exception as traceback.format_exception_only gives it.
nb::object last_error_line(nb::handle exception) {
  nb::object lines = cached("traceback", "format_exception_only")(exception);
  nb::object text = nb::str("").attr("join")(lines).attr("rstrip")();
  nb::object parts = text.attr("splitlines")();
  return nb::len(parts) > 0 ? nb::object(parts[nb::len(parts) - 1]) : text;
}

// Console lines on standard error come after what standard output holds so far.
void flush_stdout(nb::handle module) {
  nb::object out = module_global(module, "sys").attr("stdout");
  if (!out.is_none()) out.attr("flush")();
}

// "<cell>: <what went wrong> (log: <log path>)"
nb::object failure_line(nb::handle name, nb::handle detail, nb::handle log_path) {
  return concat({name, nb::str(": "), detail, nb::str(" (log: "), log_path, nb::str(")")});
}

// "FAILED " and the failure line on standard error.
void report_failure(nb::handle module, nb::handle line) {
  flush_stdout(module);
  print_to(module, "stderr", concat({nb::str("FAILED "), line, nb::str("\n")}));
}

struct Tally {
  std::size_t built = 0, failed = 0;
};

// Counts the cells on standard error ("3 cells built, 1 failed."), then ends
// the command with `code`.
[[noreturn]] void end_run(nb::handle module, const Tally& tally, int code) {
  std::string count = std::to_string(tally.built) + (tally.built == 1 ? " cell" : " cells") +
                      " built, " + std::to_string(tally.failed) + " failed.\n";
  flush_stdout(module);
  print_to(module, "stderr", count.c_str());
  raise_exit(module, code);
}

}  // namespace

void run_build_loop(nb::handle module, nb::handle cell_names, const BuildLoopSteps& steps,
                    OnError on_error) {
  nb::object stopped_by;  // the exception of the cell that ended the run
  nb::object stopped_line;
  Tally tally;
  std::unordered_set<std::string> swept;  // output folders cleared of stale temporaries
  for (nb::handle item : cell_names) {
    nb::object cell_name = nb::borrow(item);
    CellTarget target = steps.target(cell_name);
    for (nb::handle path : {target.gds_path, target.ports_path}) {
      std::string folder = parent_folder(fs_bytes(path));
      if (swept.insert(folder).second) remove_stale_temp_files(folder, getpid());
    }
    nb::str name = nb::str(cell_name);
    print_to(module, "stdout", concat({target.label, name, nb::str("... ")}));

    nb::object component, failure;
    {
      CellLog log(module, target.log_path, false);
      log.redirect();
      try {
        component = steps.build(cell_name);
        log.write(concat({nb::str("SUCCESS: Succesfully built '"), name, nb::str(".gds'.\n")}));
      } catch (...) {
        failure = log_failure(log);
      }
      log.close();
    }
    if (!failure && component.is_none()) {
      print_to(module, "stdout", "FAILED.\n");
      ++tally.failed;
      report_failure(module,
                     failure_line(name, nb::str("get_component returned None"), target.log_path));
      end_run(module, tally, 2);
    }
    // The console says SUCCESS only once the files are there: a failure to
    // write them fails the cell like a failed build.
    if (!failure) {
      CellLog log(module, target.log_path, true);
      log.redirect();
      try {
        write_gds_replacing(component, target.gds_path);
        nb::object ports = module_global(module, "_try_get_ports")(component);
        write_text_replacing(target.ports_path, cached("json", "dumps")(ports));
      } catch (...) {
        failure = log_failure(log);
      }
      log.close();
    }

    if (failure) {
      ++tally.failed;
      nb::object line = failure_line(name, last_error_line(failure), target.log_path);
      if (on_error == OnError::Stop) {
        stopped_by = std::move(failure);
        stopped_line = std::move(line);
        break;
      }
      print_to(module, "stdout", "FAILED.\n");
      report_failure(module, line);
      continue;
    }
    ++tally.built;
    print_to(module, "stdout", concat({nb::str("SUCCESS. -> "), target.gds_path, nb::str("\n")}));
  }

  if (stopped_by) {
    print_to(module, "stdout", "FAILED.\n");
    report_failure(module, stopped_line);
    print_to(module, "stderr", concat({nb::str(stopped_by), nb::str("\n")}));
    end_run(module, tally, 1);
  }
  end_run(module, tally, 0);
}

void print_warning(nb::handle module, nb::handle message) {
  print_to(module, "stderr", concat({nb::str("warning: "), message, nb::str("\n")}));
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

void raise_exit(nb::handle module, int code) {
  nb::object exit = module_global(module, "typer").attr("Exit")(code);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exit.ptr())), exit.ptr());
  throw nb::python_error();
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
    if (truthy(suppress)) return false;
    throw error;
  }
  exit(manager, nb::none(), nb::none(), nb::none());
  return true;
}

void define_builder_command(nb::module_& m, const BuilderCommand& command) {
  nb::object default_pdk = default_pdk_name(m.attr("s"));
  def_function(
      m,
      {command.validator_name,
       {{"path", "str", Check::Str}, {"pdk", "str", Check::Str}, {"on_error", "str", Check::Str}},
       nullptr,
       nullptr,
       command.validator});
  Check path_check = command.path_annotation ? Check::Str : Check::None;
  nb::object function = def_function(m, {command.name,
                                         {{"path", command.path_annotation, path_check},
                                          {"pdk", "str", Check::Str, default_pdk},
                                          {"on_error", "str", Check::Str, nb::str("continue")}},
                                         command.return_annotation,
                                         command.doc,
                                         command.impl});
  m.attr(command.name) = m.attr("app").attr("command")()(function);
}

}  // namespace lumencad
