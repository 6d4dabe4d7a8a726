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
#include "lumencad/unpack.hpp"

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
  // A signal handler that raises ends the write; its exception goes on.
  int err =
      write_all(fd, data, static_cast<std::size_t>(size), [] { return PyErr_CheckSignals() != 0; });
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
// redirected: truncated when the cell's build starts (one open serves the
// build and the writing of its files), or appended to (`append`) by a parent
// noting that the worker building the cell died. UTF-8 whatever the locale,
// with what cannot be encoded escaped, so that no name or message fails a
// cell. On an exceptional path the destructor restores the streams and closes
// the file, reporting failures of its own as unraisable.
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

// --- one cell ------------------------------------------------------------------

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

// str(exception), or `fallback` when the exception cannot say.
nb::object exception_text(nb::handle exception, nb::handle fallback) {
  PyObject* text = PyObject_Str(exception.ptr());
  if (text) return nb::steal(text);
  PyErr_Clear();
  return nb::borrow(fallback);
}

// What became of a cell.
struct CellResult {
  enum class Kind { Built, Failed, Missing, Died, Skipped };
  Kind kind = Kind::Built;
  nb::object detail;   // one line saying what went wrong
  nb::object message;  // the failure's text, shown when it stops the run
};

constexpr const char kMissingDetail[] = "get_component returned None";

// Builds one cell with its log file standing in for the standard streams:
// the build's output, the success line and any traceback go there. A cell
// that built is then written: its GDS file (used only when its records are
// complete) and its ports file, each replaced whole.
CellResult build_cell(nb::handle module, nb::handle cell_name, const CellTarget& target,
                      const std::function<nb::object(nb::handle)>& build) {
  nb::str name = nb::str(cell_name);
  nb::object failure;
  bool missing = false;
  {
    CellLog log(module, target.log_path, false);
    log.redirect();
    try {
      nb::object component = build(cell_name);
      log.write(concat({nb::str("SUCCESS: Succesfully built '"), name, nb::str(".gds'.\n")}));
      missing = component.is_none();
      if (!missing) {
        write_gds_replacing(component, target.gds_path);
        nb::object ports = module_global(module, "_try_get_ports")(component);
        write_text_replacing(target.ports_path, cached("json", "dumps")(ports));
      }
    } catch (...) {
      failure = log_failure(log);
    }
    log.close();
  }
  CellResult result;
  if (failure) {
    result.kind = CellResult::Kind::Failed;
    result.detail = last_error_line(failure);
    result.message = exception_text(failure, result.detail);
  } else if (missing) {
    result.kind = CellResult::Kind::Missing;
    result.detail = nb::str(kMissingDetail);
  }
  return result;
}

// --- console lines and the run's end ---------------------------------------------

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

// The start of a cell's console line, e.g. "[picyml] ring... ".
void announce(nb::handle module, const CellTarget& target, nb::handle name) {
  print_to(module, "stdout", concat({target.label, name, nb::str("... ")}));
}

// How the run goes on after a cell.
enum class Verdict { Next, Stop, Missing };

bool ends_run(const CellResult& result, OnError on_error) {
  using Kind = CellResult::Kind;
  return result.kind == Kind::Missing ||
         (on_error == OnError::Stop && (result.kind == Kind::Failed || result.kind == Kind::Died));
}

// Ends the cell's console line, reports a failure on standard error and
// counts the cell.
Verdict report(nb::handle module, Tally& tally, nb::handle name, const CellTarget& target,
               const CellResult& result, OnError on_error) {
  if (result.kind == CellResult::Kind::Built) {
    ++tally.built;
    print_to(module, "stdout", concat({nb::str("SUCCESS. -> "), target.gds_path, nb::str("\n")}));
    return Verdict::Next;
  }
  ++tally.failed;
  print_to(module, "stdout", "FAILED.\n");
  report_failure(module, failure_line(name, result.detail, target.log_path));
  if (result.kind == CellResult::Kind::Missing) return Verdict::Missing;
  return ends_run(result, on_error) ? Verdict::Stop : Verdict::Next;
}

// Counts the cells on standard error ("3 cells built, 1 failed."), then ends
// the command with `code`; a stop (code 1) first prints the failure's text.
[[noreturn]] void end_run(nb::handle module, const Tally& tally, int code,
                          nb::handle stop_message = nb::handle()) {
  flush_stdout(module);
  if (code == 1) print_to(module, "stderr", concat({stop_message, nb::str("\n")}));
  std::string count = std::to_string(tally.built) + (tally.built == 1 ? " cell" : " cells") +
                      " built, " + std::to_string(tally.failed) + " failed.\n";
  print_to(module, "stderr", count.c_str());
  raise_exit(module, code);
}

// Removes the temporary files that dead processes left in an output folder,
// the first time the run meets the folder (before any cell writes there).
class StaleTempSweeper {
 public:
  void operator()(const CellTarget& target) {
    for (nb::handle path : {target.gds_path, target.ports_path}) {
      std::string folder = parent_folder(fs_bytes(path));
      if (swept_.insert(folder).second) remove_stale_temp_files(folder, getpid());
    }
  }

 private:
  std::unordered_set<std::string> swept_;
};

// --- the loop in this process --------------------------------------------------------

[[noreturn]] void run_sequential(nb::handle module, nb::handle cell_names,
                                 const BuildLoopSteps& steps, OnError on_error) {
  Tally tally;
  StaleTempSweeper sweep;
  for (nb::handle item : cell_names) {
    nb::object cell_name = nb::borrow(item);
    CellTarget target = steps.target(cell_name);
    sweep(target);
    nb::str name = nb::str(cell_name);
    announce(module, target, name);
    CellResult result = build_cell(module, cell_name, target, steps.build);
    Verdict verdict = report(module, tally, name, target, result, on_error);
    if (verdict == Verdict::Missing) end_run(module, tally, 2);
    if (verdict == Verdict::Stop) end_run(module, tally, 1, result.message);
  }
  end_run(module, tally, 0);
}

// --- the loop over worker processes ---------------------------------------------------

// The outcome a worker sent: (status, detail, message).
CellResult result_of(nb::handle outcome) {
  static const std::pair<const char*, CellResult::Kind> kinds[] = {
      {"built", CellResult::Kind::Built},     {"failed", CellResult::Kind::Failed},
      {"none", CellResult::Kind::Missing},    {"died", CellResult::Kind::Died},
      {"skipped", CellResult::Kind::Skipped},
  };
  nb::object status = item(outcome, nb::int_(0));
  CellResult result;
  bool known = false;
  for (const auto& [text, kind] : kinds) {
    if (PyUnicode_Check(status.ptr()) &&
        PyUnicode_CompareWithASCIIString(status.ptr(), text) == 0) {
      result.kind = kind;
      known = true;
    }
  }
  if (!known) {
    PyErr_Format(PyExc_ValueError, "Unknown build outcome %R", status.ptr());
    throw nb::python_error();
  }
  result.detail = item(outcome, nb::int_(1));
  result.message = item(outcome, nb::int_(2));
  return result;
}

// A cell whose worker died: its log says so after what the build wrote.
void note_death(nb::handle module, const CellTarget& target, const CellResult& result) {
  CellLog log(module, target.log_path, true);
  log.write(concat({nb::str("ERROR\n"), result.detail, nb::str("\n")}));
  log.close();
}

// A cell handed to the workers, in the order of the run.
struct SentCell {
  nb::object cell_name;
  nb::str name;
  CellTarget target;
  bool announced = false;
  bool done = false;
  CellResult result;
};

// The loop of run_sequential with the builds on workers: cells are handed out
// in order, and each one's console line is printed once it and every cell
// before it are done, so that the console reads as in a sequential run. The
// first cell (in order) whose outcome ends the run stops the hand-out; cells
// already running finish and are reported after it.
[[noreturn]] void run_on_workers(nb::handle module, nb::handle cell_names,
                                 const BuildLoopSteps& steps, OnError on_error,
                                 WorkerPool& workers) {
  constexpr std::size_t kNoEnd = static_cast<std::size_t>(-1);
  nb::object names = checked(PyObject_GetIter(cell_names.ptr()));
  bool exhausted = false;
  std::vector<SentCell> cells;
  std::size_t reported = 0;  // cells[0, reported) are on the console
  std::size_t end_at = kNoEnd;
  Tally tally;
  StaleTempSweeper sweep;
  int code = 0;
  nb::object stop_message;
  for (;;) {
    while (!exhausted && end_at == kNoEnd && truthy(workers.get().attr("room")())) {
      PyObject* next = PyIter_Next(names.ptr());
      if (!next) {
        if (PyErr_Occurred()) throw nb::python_error();
        exhausted = true;
        break;
      }
      SentCell cell;
      cell.cell_name = nb::steal(next);
      cell.target = steps.target(cell.cell_name);
      sweep(cell.target);
      cell.name = nb::str(cell.cell_name);
      workers.get().attr("submit")(cells.size(), cell.cell_name, cell.target.gds_path,
                                   cell.target.ports_path, cell.target.log_path);
      cells.push_back(std::move(cell));
    }

    for (; reported < cells.size(); ++reported) {
      SentCell& cell = cells[reported];
      // Up to the cell that ends the run every cell is built, so its start
      // may show while it builds; after it, a cell may yet be skipped.
      if (!cell.announced && reported <= end_at) {
        announce(module, cell.target, cell.name);
        cell.announced = true;
      }
      if (!cell.done) break;
      if (cell.result.kind == CellResult::Kind::Skipped) continue;
      if (!cell.announced) announce(module, cell.target, cell.name);
      Verdict verdict = report(module, tally, cell.name, cell.target, cell.result, on_error);
      if (reported == end_at) {
        code = verdict == Verdict::Missing ? 2 : 1;
        stop_message = cell.result.message;
      }
    }
    if (reported == cells.size() && (exhausted || end_at != kNoEnd)) break;

    for (nb::handle arrived : workers.get().attr("wait")()) {
      std::size_t index = nb::cast<std::size_t>(item(arrived, nb::int_(0)));
      SentCell& cell = cells.at(index);
      cell.result = result_of(item(arrived, nb::int_(1)));
      cell.done = true;
      if (cell.result.kind == CellResult::Kind::Died) note_death(module, cell.target, cell.result);
      if (ends_run(cell.result, on_error) && (end_at == kNoEnd || index < end_at)) {
        end_at = index;
        workers.get().attr("stop_after")(index);
      }
    }
  }
  workers.close();
  end_run(module, tally, code, stop_message);
}

// _build_cell(build, cell_name, gds_path, ports_path, log_path): one cell in a
// worker process, built with `build` (what _prepare_worker returned).
nb::object build_cell_in_worker(nb::handle module, const nb::handle* args) {
  nb::handle build = args[0];
  CellTarget target;
  target.gds_path = nb::borrow(args[2]);
  target.ports_path = nb::borrow(args[3]);
  target.log_path = nb::borrow(args[4]);
  CellResult result = build_cell(module, args[1], target,
                                 [build](nb::handle name) { return nb::object(build(name)); });
  static const char* const statuses[] = {"built", "failed", "none", "died", "skipped"};
  nb::object none = nb::none();
  return nb::make_tuple(statuses[static_cast<int>(result.kind)],
                        result.detail ? result.detail : none,
                        result.message ? result.message : none);
}

}  // namespace

WorkerPool::WorkerPool(nb::handle module, nb::handle setup, OnError on_error)
    : pool_(cached("lumencad.core.workers", "open_pool")(
          module_global(module, "s"), module.attr("__name__"), setup, on_error == OnError::Stop)) {}

// Failures of its own while an error is on its way are reported as unraisable.
WorkerPool::~WorkerPool() {
  if (!active()) return;
  PyObject* result = PyObject_CallMethod(pool_.ptr(), "terminate", nullptr);
  if (result)
    Py_DECREF(result);
  else
    PyErr_WriteUnraisable(pool_.ptr());
}

void WorkerPool::prepared(nb::handle build) {
  if (active()) pool_.attr("prepared")(build);
}

void WorkerPool::close() {
  if (!active()) return;
  pool_.attr("close")();
  pool_ = nb::none();
}

void run_build_loop(nb::handle module, nb::handle cell_names, const BuildLoopSteps& steps,
                    OnError on_error, WorkerPool& workers) {
  if (workers.active()) run_on_workers(module, cell_names, steps, on_error, workers);
  run_sequential(module, cell_names, steps, on_error);
}

void define_cell_builder(nb::module_& m) {
  def_function(m, {"_build_cell",
                   {{"build"},
                    {"cell_name"},
                    {"gds_path", "str", Check::Str},
                    {"ports_path", "str", Check::Str},
                    {"log_path", "str", Check::Str}},
                   nullptr,
                   nullptr,
                   build_cell_in_worker});
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

BuilderArgs validate_builder_args(nb::handle module, const char* validator_name,
                                  const nb::handle* args) {
  nb::object triple[3];
  unpack(module_global(module, validator_name)(args[0], args[1], args[2]), triple, 3);
  return {triple[0], triple[1], triple[2]};
}

}  // namespace lumencad
