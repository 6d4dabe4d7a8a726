// The per-cell build loop shared by the builder commands (pics and PDK), and
// the small pieces of Python control flow around it.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

#include "lumencad/export.hpp"
#include "lumencad/function.hpp"

namespace lumencad {
namespace nb = nanobind;

// Where one cell's outputs go and how its console line starts.
struct CellTarget {
  nb::object label;       // console prefix before the cell name, e.g. "[picyml] "
  nb::object gds_path;    // str
  nb::object ports_path;  // str
  nb::object log_path;    // str
};

enum class OnError { Continue, Stop };

struct BuildLoopSteps {
  // Computes the cell's output paths, creating folders where the command does.
  std::function<CellTarget(nb::handle cell_name)> target;
  // Builds the cell's component; None means the cell produced nothing.
  std::function<nb::object(nb::handle cell_name)> build;
};

// The worker processes that build a command's cells when the module's
// settings `s` ask for them (`jobs` above 1, or a `scheduler` address; see
// lumencad.core.workers). Spawned workers start when this is made, each
// preparing itself with the module's `_prepare_worker(*setup)` while the
// command sets up; forked workers start at `prepared`, building with the
// command's own build callable. They are ended when this is destroyed
// (run_build_loop lets them finish first when it gets through).
class LUMENCAD_API WorkerPool {
 public:
  WorkerPool(nb::handle module, nb::handle setup, OnError on_error);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // False when the cells are built in this process.
  bool active() const { return pool_.is_valid() && !pool_.is_none(); }
  nb::handle get() const { return pool_; }
  // The command has set up; `build` builds a cell by name as its loop does.
  void prepared(nb::handle build);
  // Lets the workers finish and waits for them.
  void close();

 private:
  nb::object pool_;
};

// Builds every cell that iterating `cell_names` yields: one console line per
// cell on the module's `sys.stdout`, the build's output and any traceback in
// the cell's log file (opened once per cell), then its GDS file (used only
// when its records are complete) and its ports file, each replaced whole so
// that a failed write leaves the previous file intact. A cell whose build or
// writing fails is handled by the failure policy and also reported on
// `sys.stderr` as "FAILED <cell>: <last error line> (log: <log path>)".
// Always ends by counting the cells on `sys.stderr` ("3 cells built, 1
// failed.") and raising the module's `typer.Exit`: 0 after the whole loop, 1
// when a cell failed under OnError::Stop, 2 when a cell built to None.
// Temporary files that dead processes left in an output folder are removed
// the first time the run meets that folder. Errors outside the failure
// policy (opening a log file, interrupts) propagate with the standard
// streams restored.
//
// With an active `workers` pool the cells are built by its workers with the
// module's `_build_cell`: the same files, and the same console lines in the
// same order, a cell's line appearing once it and every cell before it are
// done. The first cell (in order) that ends the run stops the hand-out of
// cells; cells already running finish and are reported after it. A cell
// whose worker died fails, its log file saying so.
[[noreturn]] LUMENCAD_API void run_build_loop(nb::handle module, nb::handle cell_names,
                                              const BuildLoopSteps& steps, OnError on_error,
                                              WorkerPool& workers);

// Defines `_build_cell(build, cell_name, gds_path: str, ports_path: str,
// log_path: str)` on a builder module: builds one cell in a worker process
// with `build` (what the module's `_prepare_worker` returned) and writes its
// files as the loop does; returns (status, detail, message) with status
// "built", "failed" or "none", the failure's last line and its text.
LUMENCAD_API void define_cell_builder(nb::module_& m);

// Writes "warning: <message>" and a line end to the module's sys.stderr.
LUMENCAD_API void print_warning(nb::handle module, nb::handle message);

// The failure policy given on the command line, stripped and lower-cased;
// raises ValueError naming the given value unless it is "continue" or "stop".
LUMENCAD_API nb::object normalize_on_error(nb::handle on_error);

// The policy a normalised value stands for: Stop for "stop", else Continue.
LUMENCAD_API OnError on_error_policy(nb::handle normalized);

// Raises the module's `typer.Exit` with the exit code `code`.
[[noreturn]] LUMENCAD_API void raise_exit(nb::handle module, int code);

// A PDK name lower-cased, then stripped.
LUMENCAD_API nb::object normalize_pdk_name(nb::handle pdk);

// The settings' PDK name (`settings.pdk.name`) as the default of a command's
// `pdk` parameter: a str or None, else TypeError "Expected str, got <type>".
LUMENCAD_API nb::object default_pdk_name(nb::handle settings);

// Runs `body` inside the context manager `manager` with the semantics of a
// Python `with` statement. Returns false when the manager's __exit__
// suppressed an exception raised by `body`.
LUMENCAD_API bool run_in_context(nb::handle manager, const std::function<void()>& body);

// The arguments of a builder command as its validator returns them.
struct BuilderArgs {
  nb::object path, pdk_name, on_error;
};

// Calls the module's validator `validator_name` (looked up at call time)
// with the command's three arguments and unpacks the triple it returns.
LUMENCAD_API BuilderArgs validate_builder_args(nb::handle module, const char* validator_name,
                                               const nb::handle* args);

// A builder command and the function that validates its arguments.
struct BuilderCommand {
  const char* name;
  const char* doc;
  FunctionImpl impl;
  // Annotation of `path` ("str" makes it a checked str parameter); nullptr
  // leaves it unannotated and unchecked.
  const char* path_annotation;
  const char* return_annotation;
  const char* validator_name;
  FunctionImpl validator;
};

// Defines the validator `(path: str, pdk: str, on_error: str)` and then the
// command `(path, pdk: str = <the settings' PDK>, on_error: str = "continue")`
// on `m`, and stores under the command's name what the module's `app.command()`
// makes of it.
LUMENCAD_API void define_builder_command(nb::module_& m, const BuilderCommand& command);

}  // namespace lumencad
