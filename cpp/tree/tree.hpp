// The project tree: every cell a project offers, grouped by source file or by
// PDK and project, as YAML text.
#pragma once

#include <nanobind/nanobind.h>

namespace lumencad::tree {

namespace nb = nanobind;

// _tree(path, pdk, by, key, none_str, pdk_cell_names): the YAML text.
nb::object build_tree(nb::handle module, const nb::handle* args);

// tree(path, pdk, by, key, none_str): the command; prints the YAML text.
nb::object tree_command(nb::handle module, const nb::handle* args);

}  // namespace lumencad::tree
