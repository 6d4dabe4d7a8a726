// lumencad.core.cli.build_pics: builds every pic file and Python cell of a
// project's pics folder into GDS, ports and log files.
#include <nanobind/nanobind.h>

#include <optional>

#include "lumencad/build_loop.hpp"
#include "lumencad/function.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/module.hpp"
#include "lumencad/pyobject.hpp"

namespace nb = nanobind;
using namespace lumencad;

namespace {

constexpr const char* kBuildPicsDoc =
    "Build GDS from pics directory.\n"
    "\n"
    "    Args:\n"
    "        path: path to pics directory.\n"
    "        pdk: process design kit.\n"
    "        on_error: what to do on error.\n"
    "    ";

constexpr Py_ssize_t kPicSuffixLength = 8;  // ".pic.yml"

nb::object os_path(const char* name) { return cached("os.path", name); }

// value[:-count], as Python slices it.
nb::object drop_last(nb::handle value, Py_ssize_t count) {
  return checked(PySequence_GetSlice(value.ptr(), 0, -count));
}

nb::object items_of(nb::handle mapping) { return mapping.attr("items")(); }

// The list filed under `key`, created empty on first use.
nb::handle list_under(nb::dict& map, nb::handle key) {
  PyObject* found = PyDict_GetItemWithError(map.ptr(), key.ptr());
  if (found) return found;
  if (PyErr_Occurred()) throw nb::python_error();
  nb::list fresh;
  map[key] = fresh;
  return PyDict_GetItemWithError(map.ptr(), key.ptr());
}

// The value under `key`, or a null handle (borrowed from the dict).
nb::handle lookup(const nb::dict& map, nb::handle key) {
  PyObject* found = PyDict_GetItemWithError(map.ptr(), key.ptr());
  if (!found && PyErr_Occurred()) throw nb::python_error();
  return found;
}

template <typename... Args>
nb::object format(const char* fmt, Args... args) {
  return checked(PyUnicode_FromFormat(fmt, args.ptr()...));
}

// A copy of `first` updated with `second`.
nb::dict merged(const nb::dict& first, const nb::dict& second) {
  nb::object copy = nb::steal(PyDict_Copy(first.ptr()));
  if (!copy || PyDict_Update(copy.ptr(), second.ptr()) != 0) throw nb::python_error();
  return nb::borrow<nb::dict>(copy);
}

[[noreturn]] void raise_duplicate(nb::handle name, nb::handle first, nb::handle second) {
  PyErr_SetObject(PyExc_ValueError,
                  format("Duplicate cell %R: defined in %S and in %S.", name, first, second).ptr());
  throw nb::python_error();
}

nb::object validate_build_pics_args(nb::handle, const nb::handle* args) {
  nb::handle path = args[0], pdk = args[1];
  nb::object on_error = normalize_on_error(args[2]);
  if (!truthy(os_path("exists")(path))) throw nb::value_error("Path does not exist.");
  nb::object pics_path = os_path("abspath")(path);
  if (truthy(os_path("isfile")(pics_path))) pics_path = os_path("dirname")(pics_path);
  return nb::make_tuple(pics_path, normalize_pdk_name(pdk), on_error);
}

nb::object get_yaml_cells(nb::handle module, const nb::handle* args) {
  nb::handle folder = args[0], paths = args[1];
  nb::object yaml_paths = module_global(module, "get_yaml_paths")(folder, nb::arg("paths") = paths);
  nb::object cell_name_of = module_global(module, "get_yaml_cell_name");
  nb::list yaml_names;
  for (nb::handle path : yaml_paths) yaml_names.append(cell_name_of(path));

  nb::object make_cell = module_global(module, "cell_from_yaml_template");
  nb::dict cells;
  nb::iterator paths_it = nb::iter(yaml_paths);
  for (nb::handle name : yaml_names) {
    PyObject* next = PyIter_Next(paths_it.ptr());
    if (!next) {
      if (PyErr_Occurred()) throw nb::python_error();
      break;
    }
    nb::object path = nb::steal(next);
    nb::handle filed = list_under(cells, path);
    nb::object cell = make_cell(path, name);
    cell.attr("__name__") = name;
    nb::borrow<nb::list>(filed).append(cell);
  }
  return cells;
}

nb::object get_python_cells(nb::handle module, const nb::handle* args) {
  nb::object folder = os_path("abspath")(args[0]);
  nb::object modules = module_global(module, "import_python_modules")(folder);
  nb::object found = module_global(module, "_get_cells")(modules);
  nb::dict cells;
  for (nb::handle cell : found.attr("values")()) {
    nb::object parts = cell.attr("__module__").attr("split")(".");
    Py_ssize_t count = nb::len(parts);
    if (count < 2) continue;  // a module outside any package is never built
    nb::list join_args;
    join_args.append(folder);
    for (Py_ssize_t i = 1; i < count; ++i) join_args.append(parts[i]);
    nb::object path = concat(os_path("join")(*nb::tuple(join_args)), ".py");
    nb::borrow<nb::list>(list_under(cells, path)).append(cell);
  }
  return cells;
}

// The cells to build and where each came from, registered in the PDK.
struct Project {
  nb::object pics_path, pdk_name, on_error, out_dir, log_dir, pdk;
  nb::dict cells, cell_paths;
  // Source folder -> (gds, ports, log) output folders, made on first use.
  nb::dict output_folders;
};

void validate_project(nb::handle module, const nb::handle* args, Project& project) {
  BuilderArgs validated = validate_builder_args(module, "_validate_build_pics_args", args);
  project.pics_path = validated.path;
  project.pdk_name = validated.pdk_name;
  project.on_error = validated.on_error;
  nb::object parent = os_path("dirname")(project.pics_path);
  project.out_dir = os_path("join")(parent, "build", "gds");
  project.log_dir = os_path("join")(parent, "build", "log");
}

void collect_project(nb::handle module, Project& project) {
  project.pdk = module_global(module, "import_pdk")(project.pdk_name);

  nb::object yaml_files = module_global(module, "get_yaml_cells")(project.pics_path);
  nb::object python_files = module_global(module, "get_python_cells")(project.pics_path);

  // Two sources of one cell name would leave one of them silently unbuilt.
  nb::dict python_cells, python_cell_paths, yaml_cells, yaml_cell_paths;
  for (nb::handle entry : items_of(python_files)) {
    nb::object source = entry[0];
    for (nb::handle cell : entry[1]) {
      nb::object name = cell.attr("__name__");
      nb::handle seen = lookup(python_cell_paths, name);
      if (seen && !seen.equal(source)) raise_duplicate(name, seen, source);
      python_cell_paths[name] = source;
      python_cells[name] = cell;
    }
  }
  for (nb::handle entry : items_of(yaml_files)) {
    nb::object source = entry[0];
    nb::object name = drop_last(os_path("basename")(source), kPicSuffixLength);
    nb::handle seen = lookup(yaml_cell_paths, name);
    if (seen) raise_duplicate(name, seen, source);
    yaml_cell_paths[name] = source;
    for (nb::handle cell : entry[1]) yaml_cells[name] = cell;
  }

  // Pics first; a Python cell replaces a pic of the same name in place.
  project.cells = merged(yaml_cells, python_cells);
  project.cell_paths = merged(yaml_cell_paths, python_cell_paths);

  // Replacements that may be meant, but should not go unseen. The PDK's own
  // cells are those it held when first seen, before any project's.
  nb::object own = cached("lumencad.core.pdk", "note_pdk")(project.pdk).attr("own");
  for (auto item : project.cells) {
    nb::handle name = item.first;
    nb::handle source = lookup(project.cell_paths, name);
    nb::handle pic = lookup(yaml_cell_paths, name);
    if (pic && lookup(python_cell_paths, name))
      print_warning(module, format("Python cell %R in %S replaces the pic %S", name, source, pic));
    int shadows = PySequence_Contains(own.ptr(), name.ptr());
    if (shadows < 0) throw nb::python_error();
    if (shadows)
      print_warning(module, format("cell %R in %S shadows cell %R of PDK %R", name, source, name,
                                   project.pdk_name));
  }

  // register_cells(**cells): the callee gets its own dict, never the one built here.
  nb::object register_cells = project.pdk.attr("register_cells");
  nb::object keywords = nb::steal(PyDict_Copy(project.cells.ptr()));
  if (!keywords) throw nb::python_error();
  nb::tuple no_args;
  PyObject* registered = PyObject_Call(register_cells.ptr(), no_args.ptr(), keywords.ptr());
  if (!registered) throw nb::python_error();
  Py_DECREF(registered);
}

// The output folders of the cells of one source folder, mirroring it below
// the pics folder; made once per run (a stat settles those that exist).
nb::handle output_folders(Project& project, nb::handle cell_path) {
  nb::object source = os_path("dirname")(cell_path);
  nb::handle known = lookup(project.output_folders, source);
  if (known) return known;
  nb::object rel = os_path("dirname")(os_path("relpath")(cell_path, project.pics_path));
  nb::object gds = os_path("join")(project.out_dir, rel);
  nb::tuple folders =
      nb::make_tuple(gds, os_path("join")(gds, "ports"), os_path("join")(project.log_dir, rel));
  nb::object& makedirs = cached("os", "makedirs");
  for (nb::handle folder : folders)
    if (!truthy(os_path("isdir")(folder))) makedirs(folder, nb::arg("exist_ok") = true);
  project.output_folders[source] = folders;
  return lookup(project.output_folders, source);
}

// Output paths of one cell, mirroring its source folder below the pics folder.
CellTarget pic_target(Project& project, nb::handle cell_name) {
  PyObject* found = PyObject_GetItem(project.cell_paths.ptr(), cell_name.ptr());
  if (!found) throw nb::python_error();
  nb::object cell_path = nb::steal(found);
  nb::handle folders = output_folders(project, cell_path);
  nb::object join = os_path("join");
  CellTarget target;
  target.gds_path = join(item(folders, nb::int_(0)), concat(cell_name, ".gds"));
  nb::object stem = drop_last(os_path("basename")(target.gds_path), 4);
  target.ports_path = join(item(folders, nb::int_(1)), concat(stem, ".json"));
  target.log_path = join(item(folders, nb::int_(2)), concat(cell_name, ".log"));
  bool python = truthy(cell_path.attr("endswith")(".py"));
  target.label = nb::str(python ? "[python] " : "[picyml] ");
  return target;
}

nb::object build_pics(nb::handle module, const nb::handle* args) {
  Project project;
  std::optional<WorkerPool> workers;
  nb::object environment = module_global(module, "cli_environment")(false, false);
  bool set_up = run_in_context(environment, [&] {
    validate_project(module, args, project);
    // Workers prepare themselves while this process collects the cells.
    workers.emplace(module, nb::make_tuple(project.pics_path, project.pdk_name),
                    on_error_policy(project.on_error));
    collect_project(module, project);
    workers->prepared(project.pdk.attr("get_component"));
  });
  if (!set_up) return nb::none();

  BuildLoopSteps steps;
  steps.target = [&](nb::handle cell_name) { return pic_target(project, cell_name); };
  steps.build = [&](nb::handle cell_name) {
    return nb::object(project.pdk.attr("get_component")(cell_name));
  };
  run_build_loop(module, project.cells, steps, on_error_policy(project.on_error), *workers);
}

// _prepare_worker(path, pdk): readies a worker process to build the project's
// cells as the command does (PDK imported, cells collected and registered);
// returns what builds a cell by name.
nb::object prepare_worker(nb::handle module, const nb::handle* args) {
  Project project;
  nb::object policy = nb::str("continue");
  const nb::handle command_args[3] = {args[0], args[1], policy};
  validate_project(module, command_args, project);
  collect_project(module, project);
  return project.pdk.attr("get_component");
}

}  // namespace

LUMENCAD_MODULE(build_pics, m) {
  for (const char* name : {"json", "os", "sys", "traceback", "typer"})
    m.attr(name) = nb::module_::import_(name);
  nb::object settings = nb::module_::import_("lumencad.settings").attr("SETTINGS");
  m.attr("s") = settings;
  m.attr("_try_get_ports") = nb::module_::import_("lumencad.core.netlist").attr("_try_get_ports");
  nb::module_ shared = nb::module_::import_("lumencad.core.shared");
  m.attr("cli_environment") = shared.attr("cli_environment");
  m.attr("_get_cells") = shared.attr("get_cells");
  for (const char* name :
       {"get_yaml_cell_name", "get_yaml_paths", "import_pdk", "import_python_modules"})
    m.attr(name) = shared.attr(name);
  m.attr("cell_from_yaml_template") =
      nb::module_::import_("polyloom.read.from_yaml_template").attr("cell_from_yaml_template");
  nb::object app = nb::module_::import_("lumencad.core.cli.app").attr("app");
  m.attr("app") = app;

  // Handles the command uses on every cell, looked up once here.
  for (const char* name :
       {"abspath", "basename", "dirname", "exists", "isdir", "isfile", "join", "relpath"})
    cached("os.path", name);
  cached("os", "makedirs");
  cached("io", "open");
  cached("json", "dumps");
  cached("traceback", "print_exception");
  cached("traceback", "format_exception_only");
  cached("lumencad.core.pdk", "note_pdk");

  def_function(m, {"get_yaml_cells",
                   {{"folder"}, {"paths", nullptr, Check::None, nb::none()}},
                   nullptr,
                   nullptr,
                   get_yaml_cells});
  def_function(m, {"get_python_cells", {{"folder"}}, nullptr, nullptr, get_python_cells});
  define_builder_command(m, {"build_pics", kBuildPicsDoc, build_pics, "str", nullptr,
                             "_validate_build_pics_args", validate_build_pics_args});
  def_function(m, {"_prepare_worker",
                   {{"path", "str", Check::Str}, {"pdk", "str", Check::Str}},
                   nullptr,
                   nullptr,
                   prepare_worker});
  define_cell_builder(m);
}
