// Building the project tree and the command that prints it.
#include "functions.hpp"

#include <utility>

#include "lumencad/build_loop.hpp"
#include "lumencad/handles.hpp"
#include "lumencad/mapping.hpp"
#include "lumencad/pyobject.hpp"
#include "lumencad/unpack.hpp"
#include "safe_yaml.hpp"

namespace lumencad::tree {

namespace {

nb::object os_path(const char* name) { return cached("os.path", name); }

bool equals(nb::handle a, const char* text) {
  return truthy(checked(PyObject_RichCompare(a.ptr(), nb::str(text).ptr(), Py_EQ)));
}

// text + suffix, as the interpreter's `+` computes it.
nb::object plus(nb::handle text, const char* suffix) {
  return checked(PyNumber_Add(text.ptr(), nb::str(suffix).ptr()));
}

nb::dict record(nb::handle defaults) {
  nb::dict cell;
  cell["defaults"] = defaults;
  return cell;
}

// What the steps inside the project's scope collect.
struct Collected {
  nb::object cells;     // source -> cell name -> record, cleaned
  nb::object repo_dir;  // the project root holding the build folder
};

// The cells of the project at `path` and of the active PDK, each with its
// defaults (and model), grouped by source and cleaned for output.
void collect(nb::handle module, nb::handle path, nb::handle none_str, nb::handle pdk_cell_names,
             Collected& out) {
  nb::object mods = module_global(module, "import_python_modules")(path);
  nb::object yamls = module_global(module, "get_yaml_paths")(path);
  module_global(module, "register_cells")();
  nb::object pdk = module_global(module, "pl").attr("get_active_pdk")();
  nb::object get_args = module_global(module, "get_args");

  nb::dict python_entries;
  nb::object get_cells = module_global(module, "get_cells");
  for (nb::handle mod : mods) {
    nb::object file = mod.attr("__file__");
    nb::dict group;
    for_each_item(get_cells(mod), [&](nb::handle name, nb::handle factory) {
      set_item(group, name, record(get_args(factory)));
    });
    set_item(python_entries, file, group);
  }

  nb::dict pdk_group;
  nb::object pdk_cells = checked(
      PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), pdk.attr("cells").ptr()));
  for_each_item(pdk_cells, [&](nb::handle name, nb::handle factory) {
    set_item(pdk_group, name, record(get_args(factory)));
  });
  if (truthy(pdk_cell_names)) {
    nb::dict kept;
    for_each_item(pdk_group, [&](nb::handle name, nb::handle cell) {
      if (contains(pdk_cell_names, name)) set_item(kept, name, cell);
    });
    pdk_group = kept;
  }
  nb::object models = pdk.attr("models");
  for_each_item(pdk_group, [&](nb::handle name, nb::handle cell) {
    if (!contains(models, name)) return;
    nb::dict model;
    model["name"] = name;
    model["defaults"] = get_args(item(models, name));
    set_item(cell, nb::str("model"), model);
  });

  nb::dict yaml_entries;
  nb::object cell_name = module_global(module, "get_yaml_cell_name");
  for (nb::handle pic : yamls) {
    nb::dict group;
    set_item(group, cell_name(pic), record(nb::dict()));
    set_item(yaml_entries, pic, group);
  }

  // Pics first; a Python module's entry replaces a pic's of the same key.
  nb::dict by_source = nb::borrow<nb::dict>(checked(PyDict_Copy(yaml_entries.ptr())));
  if (PyDict_Update(by_source.ptr(), python_entries.ptr()) < 0) throw nb::python_error();
  nb::dict cells;
  cells["pdk"] = pdk_group;
  nb::object relpath = os_path("relpath");
  for_each_item(by_source, [&](nb::handle source, nb::handle group) {
    set_item(cells, relpath(source, path), group);
  });

  out.cells =
      module_global(module, "_remove_empty_defaults")(cells, nb::arg("none_str") = none_str);
  out.repo_dir = module_global(module, "find_atelier_project_dir")();
}

// Ports and source of every cell; a project cell named like a PDK cell takes
// that cell's place in the "pdk" group.
void add_ports(nb::handle module, const Collected& collected) {
  nb::handle cells = collected.cells, repo_dir = collected.repo_dir;
  nb::object pdk_cells = item(cells, "pdk");
  nb::object pdk_ports = module_global(module, "_pdk_name_to_ports");
  for (nb::handle name : pdk_cells) {
    nb::object cell = item(pdk_cells, name);
    set_item(cell, nb::str("ports"), pdk_ports(repo_dir, name));
    set_item(cell, nb::str("source"), nb::str("pdk"));
  }
  nb::object source_ports = module_global(module, "_source_to_ports");
  for (nb::handle source : nb::list(cells)) {
    if (equals(source, "pdk")) continue;
    nb::object group = item(cells, source);
    for (nb::handle name : nb::list(group)) {
      nb::object cell = item(group, name);
      set_item(cell, nb::str("ports"), source_ports(repo_dir, source, name));
      set_item(cell, nb::str("source"), source);
      if (contains(pdk_cells, name)) set_item(pdk_cells, name, group.attr("pop")(name));
    }
  }
}

// Record key and file suffix of each build output of a cell.
constexpr std::pair<const char*, const char*> kOutputs[] = {
    {"gds", ".gds"}, {"logs", ".log"}, {"drc", ".lyrdb"}};

// The tree by cell: "pdk" and "custom", each cell with the paths of its build
// outputs as the builders lay them out.
nb::dict by_cell(nb::handle cells) {
  nb::dict pdk_group, custom_group;
  nb::object join = os_path("join"), dirname = os_path("dirname");
  for_each_item(cells, [&](nb::handle source, nb::handle group) {
    const bool pdk = equals(source, "pdk");
    nb::object folder = dirname(source);
    for_each_item(group, [&](nb::handle name, nb::handle cell) {
      for (const auto& [key, suffix] : kOutputs) {
        nb::object file = plus(name, suffix);
        set_item(cell, nb::str(key), pdk ? join("pdk", folder, file) : join(folder, file));
      }
      set_item(pdk ? pdk_group : custom_group, name, cell);
    });
  });
  nb::dict result;
  result["pdk"] = pdk_group;
  result["custom"] = custom_group;
  return result;
}

}  // namespace

nb::object build_tree(nb::handle module, const nb::handle* args) {
  nb::handle by = args[2], key = args[3], none_str = args[4], pdk_cell_names = args[5];
  auto [checked_path, pdk_name] = unpack2(module_global(module, "validate_args")(args[0], args[1]));
  nb::object path = os_path("abspath")(checked_path);
  nb::object dirpath = os_path("dirname")(path);

  PyObject* sys_path = PySys_GetObject("path");  // borrowed
  if (!sys_path) throw nb::python_error();
  if (!contains(sys_path, dirpath)) nb::handle(sys_path).attr("insert")(0, dirpath);

  // Inside this scope the project is the one that holds `path`: the project
  // root, and the pics registered by default, follow the folder listed
  // rather than the working directory.
  Collected collected;
  nb::object scope = cached("lumencad.core.shared", "project_of")(path);
  if (!run_in_context(scope, [&] { collect(module, path, none_str, pdk_cell_names, collected); })) {
    PyErr_SetString(PyExc_RuntimeError, "The project scope swallowed an error.");
    throw nb::python_error();
  }
  add_ports(module, collected);

  nb::object select_key = module_global(module, "select_key");
  if (equals(by, "file")) return safe_dump_sorted(select_key(collected.cells, key));
  if (equals(by, "cell")) return safe_dump_sorted(select_key(by_cell(collected.cells), key));
  PyErr_Format(PyExc_RuntimeError, "by should either be 'cell' or 'file'. Got: %R.", by.ptr());
  throw nb::python_error();
}

nb::object tree_command(nb::handle module, const nb::handle* args) {
  nb::object text;
  nb::object environment = module_global(module, "cli_environment")();
  bool completed = run_in_context(environment, [&] {
    nb::object by = args[2].attr("lower")().attr("strip")();
    if (!equals(by, "cell") && !equals(by, "file")) {
      PyErr_Format(PyExc_ValueError, "by should be 'cell' or 'file'. Got: %U.", by.ptr());
      throw nb::python_error();
    }
    text = module_global(module, "_tree")(args[0], args[1], by, args[3], args[4]);
  });
  // Without text (the environment swallowed a failure, or the worker gave
  // something else) there is nothing to print.
  if (!completed || !PyUnicode_Check(text.ptr())) raise_exit(module, 2);
  cached("builtins", "print")(text);
  return nb::none();
}

}  // namespace lumencad::tree
